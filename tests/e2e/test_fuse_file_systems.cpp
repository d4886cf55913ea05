// The built logmend on the file systems of loggers' SD cards and USB drives, reached through
// their FUSE drivers: exFAT (exfat-fuse) and FAT (fusefat). Both ignore case, neither has an
// atomic no-replace rename nor hard links, and fusefat writes the current time on a rename.
// Skipped with a message where nothing can be mounted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/logmendrun.h"
#include "support/fusemount.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

class OnFuse : public LogmendRun, public ::testing::WithParamInterface<test::FuseKind> {
 protected:
  void SetUp() override {
    mount_ = std::make_unique<test::FuseMount>(GetParam(), dir_.Path(), dir_.Path("card"));
    if (!mount_->Mounted()) GTEST_SKIP() << "cannot mount here: " << mount_->Why();
  }
  void TearDown() override { mount_.reset(); }  // before the folder it lies in goes
  /// logmend run in the mounted folder.
  test::ProgramResult RunOnCard(const std::vector<std::string>& args) {
    return test::RunProgram(LOGMEND_BINARY, args, dir_.Path("card"), dir_.Path());
  }
  /// fusefat fails writes inside a file (EPERM), which the MDF writer makes: its outputs go to
  /// a local folder, as when recordings are converted straight off a card.
  [[nodiscard]] bool OutputsOnCard() const { return GetParam() != test::FuseKind::kFat; }

  std::unique_ptr<test::FuseMount> mount_;
};

constexpr time_t kRecordedAt = 1767225600;  // 2026-01-01T00:00:00Z

TEST_P(OnFuse, ADeleteConvertedTreeConvertsWhole) {
  struct File {
    std::string name;
    RecordingInfo info;
    uint8_t seed;
  };
  RecordingInfo second;
  second.split = 2;
  RecordingInfo next_session;
  next_session.session = 2;
  const std::vector<File> files = {
      {"logs/0000ABCD/00000001/00000001.MF4", {}, 1},
      {"logs/0000ABCD/00000001/00000002.MF4", second, 2},
      {"logs/0000ABCD/00000002/00000001.mf4", next_session, 3},
  };
  for (const File& file : files) {
    const std::string path = Write("card/" + file.name, RecordingOf(file.info, SomeTraffic(file.seed)));
    // Recorded long before the run: fusefat's rename writes the time of the rename.
    const struct timespec recorded[2] = {{kRecordedAt, 0}, {kRecordedAt, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), recorded, 0), 0) << path;
  }
  fs::create_directories(dir_.Path("out"));
  const std::string out_root = OutputsOnCard() ? "card/" : "out/";
  const test::ProgramResult result =
      OutputsOnCard() ? RunOnCard({"-d", "logs"}) : RunOnCard({"-d", "-O", dir_.Path("out"), "logs"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(result.err.empty()) << result.err;
  for (const File& file : files) {
    SCOPED_TRACE(file.name);
    EXPECT_FALSE(Exists("card/" + file.name));
    const std::string output = out_root + "logs_out" + file.name.substr(4, file.name.size() - 8) + "_out.MF4";
    EXPECT_EQ(ReadFrames(dir_.Path(output)), Expected(file.info, SomeTraffic(file.seed)));
    EXPECT_TRUE(Checked(output));
  }
  // Nothing hidden is left: no temporary, no input moved aside.
  EXPECT_EQ(Files("card/logs"), std::vector<std::string>{});
}

TEST_P(OnFuse, AnOutputNamedLikeAnotherRecordingIsRefused) {
  // Case is ignored: "a_out.MF4" is the recording "a_out.mf4", listed in the folder or named.
  struct Case {
    std::string other;
    std::vector<std::string> args;
    std::string line;  // paths below the inputs' common root
  };
  const std::vector<Case> cases = {
      {"a_out.mf4", {"-X", "logs"}, "E Output logs/a_out.MF4 of logs/a.mf4 would replace the input logs/a_out.mf4"},
      {"A_OUT.mf4",
       {"-X", "logs/a.mf4", "logs/A_OUT.mf4"},
       "E Output a_out.MF4 of a.mf4 would replace the input A_OUT.mf4"},
  };
  const std::string other = RecordingOf({}, SomeTraffic(2));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.other);
    fs::remove_all(dir_.Path("card/logs"));
    Write("card/logs/a.mf4", RecordingOf({}, SomeTraffic(1)));
    Write("card/logs/" + c.other, other);
    const test::ProgramResult result = RunOnCard(c.args);
    EXPECT_EQ(result.status & 8, 8) << result.err;
    EXPECT_TRUE(HasLine(result, c.line)) << result.err;
    EXPECT_TRUE(Read("card/logs/" + c.other) == other);  // not printed: a whole file
    EXPECT_TRUE(Exists("card/logs/a.mf4"));
    if (OutputsOnCard()) {
      EXPECT_EQ(result.status, 8) << result.err;
      const std::string stem = c.other.substr(0, c.other.size() - 4);
      EXPECT_EQ(ReadFrames(dir_.Path("card/logs/" + stem + "_out.MF4")), Expected({}, SomeTraffic(2)));
    }
  }
}

TEST_P(OnFuse, AFolderSpeltInAnotherCaseIsTheSameFolder) {
  // Each spelling of a name has a node and an inode number of its own here: the folders are
  // known by the names the card stores, so a refusal holds whatever case the command line uses.
  const std::string theirs = RecordingOf({}, SomeTraffic(2));
  {
    // The output folder of one input named as another input.
    Write("card/logs/dev/00000001.MF4", RecordingOf({}, SomeTraffic(1)));
    Write("card/LOGS_out/dev/00000001_out.mf4", theirs);  // a recording named like an output
    const test::ProgramResult result = RunOnCard({"logs", "LOGS_out"});
    EXPECT_EQ(result.status & 8, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Outputs of logs/ would go into the input LOGS_out/: logs/ is not converted"))
        << result.err;
    EXPECT_TRUE(Read("card/LOGS_out/dev/00000001_out.mf4") == theirs);  // not printed: a whole file
  }
  {
    // The output root is the inputs' folder spelt otherwise: the outputs land beside their
    // inputs, where a recording is named like one.
    Write("card/data/logs/a.mf4", RecordingOf({}, SomeTraffic(1)));
    Write("card/data/logs/a_out.mf4", theirs);
    const test::ProgramResult result = RunOnCard({"-X", "-O", dir_.Path("card/DATA"), "data/logs"});
    EXPECT_EQ(result.status & 8, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Output logs/a_out.MF4 of logs/a.mf4 would replace the input logs/a_out.mf4"))
        << result.err;
    EXPECT_TRUE(Read("card/data/logs/a_out.mf4") == theirs);
  }
  if (!OutputsOnCard()) return;
  {
    // Two recordings whose names differ only in case, converted onto the card: one output name.
    Write("src/logs/A.mf4", RecordingOf({}, SomeTraffic(1)));
    Write("src/logs/a.mf4", theirs);
    fs::create_directories(dir_.Path("card/conv"));
    const test::ProgramResult result =
        test::RunProgram(LOGMEND_BINARY, {"-d", "-O", dir_.Path("card/conv"), "logs"}, dir_.Path("src"), dir_.Path());
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Output logs_out/a_out.MF4 of logs/a.mf4 was written for logs/A.mf4 already"))
        << result.err;
    EXPECT_FALSE(Exists("src/logs/A.mf4"));
    EXPECT_TRUE(Read("src/logs/a.mf4") == theirs);
    EXPECT_EQ(Files("card/conv/logs_out"), std::vector<std::string>{"A_out.MF4"});
    EXPECT_EQ(ReadFrames(dir_.Path("card/conv/logs_out/A_out.MF4")), Expected({}, SomeTraffic(1)));
  }
}

INSTANTIATE_TEST_SUITE_P(CardFileSystems, OnFuse, ::testing::Values(test::FuseKind::kExfat, test::FuseKind::kFat),
                         [](const ::testing::TestParamInfo<test::FuseKind>& kind) {
                           return kind.param == test::FuseKind::kExfat ? std::string("Exfat") : std::string("Fat");
                         });

}  // namespace
