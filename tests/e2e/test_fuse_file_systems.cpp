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

TEST_P(OnFuse, AnySpellingOfAFolderGivesWhatItsStoredSpellingGives) {
  // The card stores "out" and "logs2"; the runs name them "OUT" and "LOGS2". Each spelling of a
  // name has a node of its own here: a run that renamed under one spelling and checked under
  // another would keep every input and report a file that is its own output.
  struct Case {
    std::string what;
    std::string input;   // where the recording is written
    std::string output;  // where its output lands, as stored
    std::string folder;  // the run's current folder, below the test's
    std::vector<std::string> args;
    bool on_card;  // the outputs go to the card
  };
  const std::vector<Case> cases = {
      {"outputs into a folder named otherwise",
       "src/logs/00000001.MF4",
       "card/out/logs_out/00000001_out.MF4",
       "src",
       {"-d", "-O", dir_.Path("card/OUT"), "logs"},
       true},
      {"card to card, both named otherwise",
       "card/logs2/dev/00000001.MF4",
       "card/out/LOGS2/dev/00000001_out.MF4",
       "card",
       {"-d", "-X", "-O", dir_.Path("card/OUT"), "LOGS2"},
       true},
      {"an input folder named otherwise",
       "card/logs3/dev/00000001.MF4",
       "out/LOGS3_out/dev/00000001_out.MF4",
       "card",
       {"-d", "-O", dir_.Path("out"), "LOGS3"},
       false},
  };
  fs::create_directories(dir_.Path("card/out"));
  fs::create_directories(dir_.Path("out"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.on_card && !OutputsOnCard()) continue;
    fs::create_directories(dir_.Path(c.input).substr(0, dir_.Path(c.input).rfind('/')));
    Write(c.input, RecordingOf({}, SomeTraffic(1)));
    const test::ProgramResult result = test::RunProgram(LOGMEND_BINARY, c.args, dir_.Path(c.folder), dir_.Path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.empty()) << result.err;
    EXPECT_FALSE(Exists(c.input));
    EXPECT_EQ(ReadFrames(dir_.Path(c.output)), Expected({}, SomeTraffic(1)));
    EXPECT_TRUE(Checked(c.output));
  }
}

TEST_P(OnFuse, ANameIsTakenForTheVeryFolderItReachesOrNotAtAll) {
  // exFAT keeps MICRO SIGN (U+00B5) apart from GREEK SMALL LETTER MU (U+03BC), which reaches
  // the folder "Μ" (U+039C); Unicode upper-cases all three alike, and "µ" sorts first. The run
  // names the folder "μ": the recording named like an output is that folder's, never replaced.
  if (GetParam() != test::FuseKind::kExfat) GTEST_SKIP() << "FAT folds ASCII letters only";
  const std::string capital_mu = "\xCE\x9C";
  const std::string small_mu = "\xCE\xBC";
  const std::string micro = "\xC2\xB5";
  const std::string theirs = RecordingOf({}, SomeTraffic(2));
  // Each case in a folder of its own: the driver's nodes of names a case removed would
  // otherwise answer for the next case's files from its cache for a while.
  const auto make = [&](const std::string& folder) {
    fs::create_directories(dir_.Path(folder));
    Write(folder + "/a.mf4", RecordingOf({}, SomeTraffic(1)));
    Write(folder + "/a_out.mf4", theirs);
  };
  const auto set_time = [&](const std::string& path) {
    const struct timespec recorded[2] = {{kRecordedAt, 0}, {kRecordedAt, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir_.Path(path).c_str(), recorded, 0), 0) << path;
  };
  for (const std::vector<std::string>& extra : {std::vector<std::string>{}, std::vector<std::string>{"-d"}}) {
    SCOPED_TRACE(extra.empty() ? "without -d" : "with -d");
    const std::string at = extra.empty() ? "card/plain/" : "card/deleting/";
    make(at + capital_mu);
    fs::create_directories(dir_.Path(at + micro));
    std::vector<std::string> args = extra;
    args.insert(args.end(), {"-X", dir_.Path(at + small_mu)});
    const test::ProgramResult result = RunOnCard(args);
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Output " + small_mu + "/a_out.MF4 of " + small_mu +
                                    "/a.mf4 would replace the input " + small_mu + "/a_out.mf4"))
        << result.err;
    EXPECT_TRUE(Exists(at + capital_mu + "/a.mf4"));
    EXPECT_TRUE(Read(at + capital_mu + "/a_out.mf4") == theirs || !extra.empty());
    EXPECT_EQ(Files(at + micro), std::vector<std::string>{});
  }
  {
    // Two folders alike in all the card tells of them: which one "μ" reaches cannot be told.
    const std::string at = "card/alike/";
    for (const std::string& folder : {capital_mu, micro}) {
      make(at + folder);
      for (const char* name : {"/a.mf4", "/a_out.mf4", ""}) set_time(at + folder + name);
    }
    const test::ProgramResult result = RunOnCard({"-X", dir_.Path(at + small_mu)});
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Output " + small_mu +
                                    "/a_out.MF4 is not written: which of several names alike but for case its path "
                                    "reaches cannot be told"))
        << result.err;
    for (const std::string& folder : {capital_mu, micro}) {
      SCOPED_TRACE(folder);
      EXPECT_TRUE(Read(at + folder + "/a_out.mf4") == theirs);
      EXPECT_EQ(Files(at + folder), (std::vector<std::string>{"a.mf4", "a_out.mf4"}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CardFileSystems, OnFuse, ::testing::Values(test::FuseKind::kExfat, test::FuseKind::kFat),
                         [](const ::testing::TestParamInfo<test::FuseKind>& kind) {
                           return kind.param == test::FuseKind::kExfat ? std::string("Exfat") : std::string("Fat");
                         });

}  // namespace
