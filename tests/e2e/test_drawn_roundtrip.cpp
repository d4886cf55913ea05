// Round trips of drawn recordings through the built logmend: each seed draws a recording as
// loggers vary them (recordingdraw.h: the start to the nanosecond in any year, local time and
// offsets, ticks and spans, optional channels, both IDE conventions, classic and FD DLCs 0 to
// 15, fixed and VLSD data bytes, every kind of event, finalized or not, frames of other buses
// multiplexed into ISO-TP messages), laid out by drawnlayout.h. All are converted in one run
// over their folder, as a user converts a day's files (with the rule that unpacks the
// multiplexed frames), and each output is compared with the model: its header's start, time
// flags and offsets, and every frame field by field, its absolute time to the nanosecond (to
// the nearest microsecond where the model's time is no whole microsecond). The outputs are read through our
// MDF library and through the independent checker, never through our bus-log reader. A
// recording that differs is reported with its seed, every way it differs and the first frame
// that shows each; DISABLED_ManyMoreSeeds runs thousands more (LOGMEND_DRAWS, LOGMEND_FIRST_DRAW)
// or replays given ones (LOGMEND_DRAW_SEEDS=17,42); LOGMEND_DRAW_REPORT names a file that gets
// every differing recording, one a line, with all it shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/logmendrun.h"
#include "support/busoutput.h"
#include "support/drawnlayout.h"
#include "support/framecompare.h"
#include "support/recordingdraw.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary
using test::DrawnRecording;
using test::FrameDifference;

constexpr uint64_t kFirstSeed = 1;
constexpr size_t kDraws = 300;
constexpr size_t kReportedRecordings = 12;  // each with all it shows; the summary counts the rest

// An unfinalized recording that ends in zeros where a 512-byte sector does: zeros a file
// system added could have completed its last record, so the bytes cannot tell and the tool
// keeps it as damage ("... cannot be told from padding"), the sound outcome there.
bool EndsLikePadding(const DrawnRecording& recording, const std::vector<uint8_t>& bytes) {
  return !recording.info.finalized && bytes.size() % 512 == 0 && bytes.back() == 0;
}

// An unfinalized recording whose last record ends, at a multiple of 8, in bytes that begin a
// block header ("#", "##", "##D"): they may be the header of a block its logger began, so the
// bytes cannot tell whether that record is whole and the tool keeps it as damage ("... cannot
// be told from a block header").
bool EndsLikeHeaderBegun(const DrawnRecording& recording, const std::vector<uint8_t>& bytes) {
  const size_t cut = bytes.size() % 8;
  if (recording.info.finalized || cut == 0 || cut > 3) return false;
  for (size_t i = 0; i < cut; ++i) {
    const uint8_t byte = bytes[bytes.size() - cut + i];
    if (i < 2 ? byte != '#' : byte < 'A' || byte > 'Z') return false;
  }
  return true;
}

std::string InputName(uint64_t seed) { return "seed_" + std::to_string(seed) + ".MF4"; }
std::string OutputName(uint64_t seed) { return "seed_" + std::to_string(seed) + "_out.MF4"; }

// How the output read by `reader` differs from the model.
std::vector<FrameDifference> Differences(const DrawnRecording& recording, const test::OutputFile& file,
                                         const std::string& reader) {
  if (!file.problem.empty()) return {{"output unreadable by " + reader, file.problem}};
  std::vector<FrameDifference> differences;
  const auto header = [&](const char* what, auto written, auto expected) {
    if (written != expected) {
      differences.push_back({std::string("header ") + what,
                             "written " + std::to_string(written) + ", expected " + std::to_string(expected)});
    }
  };
  header("start", file.start_ns, recording.info.start_ns);
  header("time flags", int{file.time_flags}, int{recording.time_flags});
  header("tz offset", int{file.tz_offset_min}, int{recording.tz_offset_min});
  header("dst offset", int{file.dst_offset_min}, int{recording.dst_offset_min});
  for (const test::OutputGroup& group : file.groups) {
    for (const test::OutputChannel& channel : group.channels) {
      if (channel.type == 2 && !std::is_sorted(channel.values.begin(), channel.values.end())) {
        differences.push_back({group.name + " order", "its samples are not in time order"});
      }
    }
  }
  std::string problem;
  const std::vector<test::BusFrame> frames = test::OutputFrames(file, problem);
  if (!problem.empty()) differences.push_back({"output layout", problem});
  for (FrameDifference& difference : test::FrameDifferences(test::ExpectedFrames(recording), frames)) {
    differences.push_back(std::move(difference));
  }
  return differences;
}

// What differs per seed: each way once, the first reader's example standing.
class Findings {
 public:
  void Note(uint64_t seed, FrameDifference difference) {
    std::vector<FrameDifference>& list = found_[seed];
    for (const FrameDifference& known : list) {
      if (known.what == difference.what) return;
    }
    list.push_back(std::move(difference));
  }
  [[nodiscard]] const std::map<uint64_t, std::vector<FrameDifference>>& BySeed() const { return found_; }

 private:
  std::map<uint64_t, std::vector<FrameDifference>> found_;
};

class DrawnRoundTrip : public LogmendRun {
 protected:
  DrawnRoundTrip() : LogmendRun(FastBase()) {}

  // Draws, converts and compares the seeds' recordings; fails with what differs.
  void RoundTrip(const std::vector<uint64_t>& seeds) {
    std::map<uint64_t, DrawnRecording> recordings;
    std::set<uint64_t> padded_like;  // kept as damage where the bytes cannot tell their end
    std::set<uint64_t> header_like;
    for (const uint64_t seed : seeds) {
      DrawnRecording recording = test::DrawRecording(seed);
      const std::vector<uint8_t> bytes = test::DrawnRecordingBytes(recording);
      Write("draws/" + InputName(seed), std::string(bytes.begin(), bytes.end()));
      if (EndsLikePadding(recording, bytes)) padded_like.insert(seed);
      if (EndsLikeHeaderBegun(recording, bytes)) header_like.insert(seed);
      recordings.emplace(seed, std::move(recording));
    }
    const test::ProgramResult run = Run({"--non-interactive", test::kMuxRule, "draws"});
    const std::vector<std::string> lines = run.Lines();

    Findings findings;
    std::map<std::string, uint64_t> checked;  // the outputs read, by path: their seeds
    bool kept_as_damage = false;              // a recording whose end the bytes cannot tell was
    for (const auto& [seed, recording] : recordings) {
      std::vector<std::string> errors;
      for (const std::string& line : lines) {
        if (line.rfind("E ", 0) == 0 && line.find("draws/" + InputName(seed)) != std::string::npos) {
          errors.push_back(line);
        }
      }
      if (!errors.empty() &&
          ((padded_like.count(seed) != 0 && errors.front().find("cannot be told from padding") != std::string::npos) ||
           (header_like.count(seed) != 0 &&
            errors.front().find("cannot be told from a block header") != std::string::npos))) {
        kept_as_damage = true;
        continue;
      }
      if (!errors.empty()) findings.Note(seed, {"conversion failed", errors.front()});
      const std::string output = "draws_out/" + OutputName(seed);
      if (!Exists(output)) {
        findings.Note(seed, {"no output", output});
        continue;
      }
      const std::string content = Read(output);
      if (test::ExpectedFrames(recording).empty()) {
        if (!content.empty()) {
          findings.Note(seed, {"output of a recording without frames", std::to_string(content.size()) + " bytes"});
        }
        continue;
      }
      const std::vector<uint8_t> bytes(content.begin(), content.end());
      for (FrameDifference& difference : Differences(recording, test::ReadOutputBack(bytes), "our MDF library")) {
        findings.Note(seed, std::move(difference));
      }
      checked.emplace(dir_.Path(output), seed);
    }
    // The independent checker reads every output too, so that a fault of our MDF library's
    // reader cannot hide one of its writer.
    size_t read_by_checker = 0;
    if (const std::string tool = test::Mdf4CheckTool(); !tool.empty()) {
      std::vector<std::string> files;
      for (const auto& entry : checked) files.push_back(entry.first);
      for (const auto& [path, file] : test::ReadOutputsWithChecker(tool, files)) {
        const uint64_t seed = checked.at(path);
        ++read_by_checker;
        for (FrameDifference& difference : Differences(recordings.at(seed), file, "mdf4check")) {
          difference.example += " [mdf4check]";
          findings.Note(seed, std::move(difference));
        }
      }
    }
    const std::string readers = std::to_string(checked.size()) + " outputs read through our MDF library, " +
                                std::to_string(read_by_checker) + " by mdf4check";
    Report(recordings, findings, readers);
    EXPECT_EQ(run.status, kept_as_damage ? 8 : 0) << run.err.substr(0, 2000);
  }

  // The first recordings that differ, each with all it shows, and a summary of them all by
  // what differs; with LOGMEND_DRAW_REPORT every one of them into that file too.
  static void Report(const std::map<uint64_t, DrawnRecording>& recordings, const Findings& findings,
                     const std::string& readers) {
    std::map<std::string, std::vector<uint64_t>> by_what;
    size_t differing = 0;
    const char* report_path = std::getenv("LOGMEND_DRAW_REPORT");
    std::ofstream report;
    if (report_path != nullptr && *report_path != '\0') report.open(report_path, std::ios::app);
    for (const auto& [seed, differences] : findings.BySeed()) {
      if (differences.empty()) continue;
      const std::string recording = recordings.at(seed).Describe();
      std::ostringstream message;
      message << recording;
      for (const FrameDifference& difference : differences) {
        message << "\n  " << difference.what << ": " << difference.example;
        by_what[difference.what].push_back(seed);
        if (report.is_open()) {
          report << seed << "\t" << difference.what << "\t" << difference.example << "\t" << recording << "\n";
        }
      }
      if (differing++ < kReportedRecordings) ADD_FAILURE() << message.str();
    }
    if (differing == 0) return;
    std::ostringstream summary;
    summary << differing << " of " << recordings.size() << " recordings differ from what was recorded (" << readers
            << "):";
    for (const auto& [what, with] : by_what) {
      summary << "\n  " << what << ": " << with.size() << " (seeds";
      for (size_t i = 0; i < with.size() && i < 8; ++i) summary << " " << with[i];
      summary << (with.size() > 8 ? " ...)" : ")");
    }
    summary << "\nReplay one with LOGMEND_DRAW_SEEDS=<seed> e2e_tests --gtest_also_run_disabled_tests"
               " --gtest_filter=DrawnRoundTrip.DISABLED_ManyMoreSeeds";
    ADD_FAILURE() << summary.str();
  }
};

// The kit itself: the independent checker reads from every finalized drawn recording the
// header's time record and, group by group, the times, fields and data bytes the model logs,
// so that what the round trip finds is the tool's doing, not the kit's.
TEST(DrawnRecordingKit, LaysOutWhatTheModelLogs) {
  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir(FastBase());
  std::map<std::string, DrawnRecording> drawn;
  for (uint64_t seed = kFirstSeed; seed < kFirstSeed + kDraws; ++seed) {
    DrawnRecording recording = test::DrawRecording(seed);
    if (!recording.info.finalized) continue;  // the checker takes the counts of an unfinalized file for 0
    drawn.emplace(dir.Write(InputName(seed), test::DrawnRecordingBytes(recording)), std::move(recording));
  }
  std::vector<std::string> files;
  for (const auto& entry : drawn) files.push_back(entry.first);
  size_t groups_checked = 0;
  for (const auto& [path, file] : test::ReadOutputsWithChecker(tool, files)) {
    const DrawnRecording& recording = drawn.at(path);
    SCOPED_TRACE(recording.Describe());
    ASSERT_EQ(file.problem, "");
    EXPECT_EQ(file.start_ns, recording.info.start_ns);
    EXPECT_EQ(file.time_flags, recording.time_flags);
    EXPECT_EQ(file.tz_offset_min, recording.tz_offset_min);
    EXPECT_EQ(file.dst_offset_min, recording.dst_offset_min);
    std::vector<const test::OutputGroup*> groups;  // the VLSD groups have no name
    for (const test::OutputGroup& group : file.groups) {
      if (!group.name.empty()) groups.push_back(&group);
    }
    ASSERT_EQ(groups.size(), recording.groups.size());
    for (size_t g = 0; g < groups.size(); ++g) {
      const test::DrawnGroup& model = recording.groups[g];
      const std::string name = test::GroupNameOf(model.kind);
      ASSERT_EQ(groups[g]->name, name);
      std::vector<const test::DrawnFrame*> frames;
      for (const test::DrawnFrame& frame : recording.frames) {
        if (frame.group == g) frames.push_back(&frame);
      }
      std::map<std::string, const test::OutputChannel*> channels;
      for (const test::OutputChannel& channel : groups[g]->channels) channels[channel.name] = &channel;
      const test::OutputChannel* time = channels["Timestamp"];
      ASSERT_NE(time, nullptr);
      EXPECT_EQ(time->conversion, 1);
      EXPECT_EQ(time->parameters, (std::vector<double>{0.0, static_cast<double>(recording.tick_ns) / 1e9}));
      for (const std::string& field : test::InputFieldsOf(model)) {
        SCOPED_TRACE(name + "." + field);
        const test::OutputChannel* channel = channels[name + "." + field];
        ASSERT_NE(channel, nullptr);
        if (field == "DataBytes") {
          ASSERT_EQ(channel->bytes.size(), frames.size());
        } else {
          ASSERT_EQ(channel->values.size(), frames.size());
        }
        for (size_t i = 0; i < frames.size(); ++i) {
          if (field != "DataBytes") {
            EXPECT_EQ(channel->values[i], test::LoggedValue(model, *frames[i], field)) << "frame " << i;
            continue;
          }
          const std::vector<uint8_t>& data = frames[i]->data;
          const std::vector<uint8_t>& logged = channel->bytes[i];
          ASSERT_GE(logged.size(), data.size());
          EXPECT_EQ(std::vector<uint8_t>(logged.begin(), logged.begin() + static_cast<std::ptrdiff_t>(data.size())),
                    data);
          const bool vlsd = model.kind == test::BusKind::kCanData && model.data == test::DataBytesForm::kVlsd;
          if (vlsd || !model.tail_garbage) {
            EXPECT_EQ(std::count(logged.begin() + static_cast<std::ptrdiff_t>(data.size()), logged.end(), 0),
                      static_cast<std::ptrdiff_t>(logged.size() - data.size()));
          }
          if (vlsd) {
            EXPECT_EQ(logged.size(), data.size());
          }
        }
      }
      for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(time->values.at(i), frames[i]->ticks);
      ++groups_checked;
    }
  }
  EXPECT_GT(groups_checked, kDraws);  // most recordings hold several groups
}

TEST_F(DrawnRoundTrip, EveryFrameAsRecorded) {
  std::vector<uint64_t> seeds;
  for (uint64_t seed = kFirstSeed; seed < kFirstSeed + kDraws; ++seed) seeds.push_back(seed);
  RoundTrip(seeds);
}

// Not in the suite: thousands of seeds from LOGMEND_FIRST_DRAW on (LOGMEND_DRAWS of them, in
// runs of 1000), or the seeds of LOGMEND_DRAW_SEEDS. Run it with --gtest_also_run_disabled_tests.
TEST_F(DrawnRoundTrip, DISABLED_ManyMoreSeeds) {
  const auto number = [](const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
  };
  std::vector<uint64_t> seeds;
  if (const char* list = std::getenv("LOGMEND_DRAW_SEEDS"); list != nullptr && *list != '\0') {
    std::istringstream in(list);
    for (std::string seed; std::getline(in, seed, ',');) seeds.push_back(std::strtoull(seed.c_str(), nullptr, 10));
    RoundTrip(seeds);
    return;
  }
  const uint64_t first = number("LOGMEND_FIRST_DRAW", 1'000'000);
  const uint64_t count = number("LOGMEND_DRAWS", 10'000);
  for (uint64_t begin = first; begin < first + count; begin += 1000) {
    seeds.clear();
    for (uint64_t seed = begin; seed < begin + 1000 && seed < first + count; ++seed) seeds.push_back(seed);
    SCOPED_TRACE("seeds " + std::to_string(begin) + " to " + std::to_string(seeds.back()));
    RoundTrip(seeds);
    std::filesystem::remove_all(dir_.Path("draws"));
    std::filesystem::remove_all(dir_.Path("draws_out"));
  }
}

}  // namespace
