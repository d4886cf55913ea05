// Unfinalized recordings through the whole tool where more than the last DT block was left
// for finalization: a logger writing one data group per bus that began the next group's DT
// before it wrote the length of the one it filled, counts the flags call stale in groups whose
// DT is whole, and blocks a logger appends behind its growing DT when it loses power (a
// comment, an event, a list it begins). Each converts exactly its whole frames and the input is
// removed; where the flags call the counts final, counts that differ from the records keep it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/logmendrun.h"
#include "support/runprogram.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

std::string Corpus(const std::string& name) {
  return test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name);
}

// The frames of a corpus file's finalized control, converted once.
class UnfinalizedGroups : public LogmendRun {
 protected:
  std::vector<Frame> ControlFrames(const std::string& control) {
    const std::string name = "controls/" + control;
    if (!Exists(name)) {
      dir_.MakeDir("controls");
      dir_.MakeDir("controls_out");
      Write(name, Corpus(control));
      EXPECT_EQ(Run({"-O", "controls_out", name}).status, 0) << control;
    }
    std::vector<Frame> frames =
        ReadFrames(dir_.Path("controls_out/" + control.substr(0, control.size() - 4) + "_out.MF4"));
    std::sort(frames.begin(), frames.end());
    return frames;
  }
};

// Every CAN FD frame of these files holds the bytes its DLC gives, so that only how the groups
// end decides the outcome (one with fewer bytes is damage of its own).
TEST_F(UnfinalizedGroups, EveryDataGroupConvertsItsWholeFramesAndTheInputGoesOnlyWithAllOfThem) {
  const struct {
    const char* name;
    size_t frames;  // whole in the input: all of the control's, or its first ones
    const char* control;
  } cases[] = {
      // CAN in the first data group, LIN in the second: the first's DT still 24 when the second's
      // was begun, the counts 0 (flags 0x25). Whole, torn where the second DT begins (linked, its
      // header not yet written), torn inside the second group's records.
      {"earlier-group-dt-growing-next-group-whole.MF4", 69, "earlier-group-dt-closed-counted-control.MF4"},
      {"earlier-group-dt-growing-next-dt-not-begun.MF4", 41, "earlier-group-dt-closed-counted-control.MF4"},
      {"earlier-group-dt-growing-torn-in-next-group.MF4", 50, "earlier-group-dt-closed-counted-control.MF4"},
      // Two CAN groups before the LIN group, both left growing; LIN first, then CAN.
      {"two-earlier-groups-dt-growing.MF4", 69, "earlier-group-dt-closed-counted-control.MF4"},
      {"earlier-lin-group-dt-growing.MF4", 69, "earlier-group-dt-closed-counted-control.MF4"},
      // Three data groups, the two earlier ones whole with their lengths written, every count 0
      // under flags that say the counts were not updated (0x05).
      {"three-groups-stale-counts-0.MF4", 200, "three-groups-stale-counts-0-control.MF4"},
      // A comment, and an event with its comment, appended behind the growing DT; the last record
      // before them ends in a zero byte.
      {"comment-appended-behind-growing-dt.MF4", 69, "earlier-group-dt-closed-counted-control.MF4"},
      {"event-appended-behind-growing-dt.MF4", 69, "earlier-group-dt-closed-counted-control.MF4"},
      // A list's next DT header cut within its id behind the zeros that align it; a list begun
      // behind the last DT (still growing, or closed and the file padded to 512 bytes), cut in its
      // fields and linked only once whole.
      {"torn-dt-id-behind-alignment-of-growing-dt.MF4", 51, nullptr},
      {"torn-in-chained-list-behind-growing-dt.MF4", 56, nullptr},
      {"torn-in-chained-list-behind-closed-dt-padded.MF4", 56, nullptr},
  };
  dir_.MakeDir("out");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    Write(name, Corpus(name));
    const test::ProgramResult result = Run({"-d", "-O", "out", name});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(Exists(name)) << "removed";
    EXPECT_EQ(result.err.find("E "), std::string::npos) << result.err;
    std::vector<Frame> written = ReadFrames(dir_.Path("out/" + name.substr(0, name.size() - 4) + "_out.MF4"));
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written.size(), c.frames);
    if (c.control == nullptr) continue;
    const std::vector<Frame> control = ControlFrames(c.control);
    EXPECT_TRUE(std::includes(control.begin(), control.end(), written.begin(), written.end()))
        << "every frame written is one of the control's";
    if (c.frames == control.size()) {
      EXPECT_EQ(written, control);
    }
  }
  ExpectCheckerAcceptsEach("out");
}

// The same three groups under flags that call the counts final (only the last DT's length is
// stale): their counts of 0 differ from the records, which is damage, and the input stays.
TEST_F(UnfinalizedGroups, CountsTheFlagsCallFinalThatDifferFromTheRecordsKeepTheInput) {
  std::string file = Corpus("three-groups-stale-counts-0.MF4");
  ASSERT_EQ(file[60], 0x05);
  file[60] = 0x04;
  Write("final.MF4", file);
  dir_.MakeDir("out");
  const test::ProgramResult result = Run({"-d", "-O", "out", "final.MF4"});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(Exists("final.MF4"));
  EXPECT_TRUE(HasLine(result,
                      "E Damaged input file final.MF4: Records differ from the cycle count. Group: CAN_RemoteFrame, "
                      "Record ID: 1, Cycle count: 0, Records: 4"))
      << result.err;
  std::vector<Frame> written = ReadFrames(dir_.Path("out/final_out.MF4"));
  std::sort(written.begin(), written.end());
  const std::vector<Frame> control = ControlFrames("three-groups-stale-counts-0-control.MF4");
  EXPECT_TRUE(std::includes(control.begin(), control.end(), written.begin(), written.end()));
}

}  // namespace
