#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/options.h"
#include "platform/log.h"
#include "support/loglines.h"
#include "support/outputcapture.h"
#include "support/tempdir.h"

namespace {

const std::string kSyntax =
    "Usage: logmend [--help] [-v|--version] [--verbosity=<n>] [--non-interactive] [-d|--delete-converted] "
    "[-X|--no-append-root] [-b|--buffer=<n>] [-p|--password-file=<file>] [--muxtp-can*=<demux mapping>]... "
    "[-O|--output-directory=<file>] [-i|--input-files=<file(s)/folder(s)>] file(s)/folder(s)";
const std::string kGlossary =
    "\n\n"
    "  --help                                   display this help and exit\n"
    "  -v, --version                            display tool version and exit\n"
    "  --verbosity=<n>                          verbosity level (0 to 4, 0=disable, 4=verbose, default=2)\n"
    "  --non-interactive                        does not print any progress output\n"
    "  -d, --delete-converted                   deletes files after conversion if specified\n"
    "  -X, --no-append-root                     do not add \"_out\" when converting folders\n"
    "  -b, --buffer=<n>                         buffer size in bytes. 0 disables and -1 takes entire file\n"
    "  -p, --password-file=<file>               path to decryption passwords file (default=passwords.json)\n"
    "  --muxtp-can*=<demux mapping>             CAN IDs to demux and their corresponding channels. "
    "E.g. \"--muxtp-can2=010#3:4:5:6\"\n"
    "  -O, --output-directory=<file>            path to output files\n"
    "  -i, --input-files=<file(s)/folder(s)>    paths to input files/folders (must have common root)\n";
const std::string kInput = " [file(s)/folder(s)]";

struct Outcome {
  bool ok;
  int status;
  std::string out;
  std::vector<std::string> log;
  int threshold;  // the console threshold the run left
};

// Each test runs in a fresh current directory; the console threshold and POSIXLY_CORRECT
// are restored afterwards.
class Options : public testing::Test {
 protected:
  void SetUp() override {
    char* old = getcwd(nullptr, 0);
    ASSERT_NE(old, nullptr);
    old_ = old;
    std::free(old);
    ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
    char* here = realpath(".", nullptr);
    ASSERT_NE(here, nullptr);
    cwd_ = std::string(here) + "/";
    std::free(here);
    unsetenv("POSIXLY_CORRECT");
  }
  void TearDown() override {
    optionsFree(options_);
    unsetenv("POSIXLY_CORRECT");
    logSetLevel(kLogThresholdOff);
    ASSERT_EQ(chdir(old_.c_str()), 0);
  }

  Outcome Parse(const std::vector<std::string>& args) {
    optionsFree(options_);
    options_ = optionsNew();
    std::vector<std::string> storage = {"logmend"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Outcome run{false, kExitStart, {}, {}, 0};
    test::StdoutCapture out;
    test::StderrCapture err;
    run.ok = parseOptions(options_, static_cast<int>(storage.size()), argv.data(), &run.status);
    run.threshold = logThreshold();
    logSetLevel(kLogThresholdOff);
    run.log = test::LogLines(err.Text());
    run.out = out.Text();
    return run;
  }

  std::vector<std::string> Inputs() const {
    std::vector<std::string> inputs;
    for (int64_t i = 0; i < options_->inputs.count; ++i) inputs.emplace_back(cStrData(&options_->inputs.items[i]));
    return inputs;
  }

  test::TempDir dir_;
  std::string old_;
  std::string cwd_;  // resolved, ending in '/'
  cOptions_t* options_ = nullptr;
};

TEST_F(Options, UsageFollowsTheArgumentCount) {
  struct Case {
    std::vector<std::string> args;
    std::string syntax_end;
  };
  const Case cases[] = {
      {{}, ""},
      {{"--help"}, ""},
      {{"--help", "--foo"}, kInput},  // help wins over an invalid option
      {{"--he", "a", "b"}, kInput + kInput},
      {{"--help", "a", "b", "c"}, kInput + "..."},
  };
  for (const auto& c : cases) {
    const Outcome run = Parse(c.args);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.status, kExitStart);
    EXPECT_EQ(run.out, kSyntax + c.syntax_end + kGlossary) << c.args.size();
    EXPECT_TRUE(run.log.empty());
  }
}

TEST_F(Options, VersionEndsTheRunWithSuccess) {
  for (const auto& args : {std::vector<std::string>{"-v"}, {"--version", "--foo"}, {"--vers", "-q", "x"}}) {
    const Outcome run = Parse(args);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.status, kExitSuccess);
    const std::string& out = run.out;
    const size_t build = out.find("\nBuild date: ");
    const size_t sha = out.find("\nGIT SHA: ");
    EXPECT_EQ(out.rfind("Version: ", 0), 0u) << out;
    EXPECT_NE(build, std::string::npos) << out;
    EXPECT_NE(sha, std::string::npos) << out;
    EXPECT_GT(sha, build);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
  }
}

TEST_F(Options, ArgumentErrorsDecideTheStatusByTheFirst) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // the error list, printed only for 134
  };
  const Case cases[] = {
      {{"--verbosity=6", "x"}, kExitInvalidArgument, ""},
      {{"--verbosity=-1", "x"}, kExitInvalidArgument, ""},
      {{"-b", "abc", "x"}, kExitInvalidArgument, ""},
      {{"-b", "12ab", "x"}, kExitInvalidArgument, ""},
      {{"x", "-b"}, kExitMissingValue, ""},
      {{"--buffer=", "x"}, kExitMissingValue, ""},  // code 5 first, though the scan sees "" as well
      {{"--buffer"}, kExitMissingValue, ""},
      {{"--no", "x"}, kExitArgumentError, "logmend: invalid option \"--no\"\n"},
      {{"--foo", "x"}, kExitArgumentError, "logmend: invalid option \"--foo\"\n"},
      {{"-q", "x"}, kExitArgumentError, "logmend: invalid option \"-q\"\n"},
      {{"--help=1", "x"}, kExitArgumentError, "logmend: invalid option \"--help=1\"\n"},
      {{"--input-files=x", "y"}, kExitArgumentError, "logmend: invalid option \"--input-files=x\"\n"},
      {{"-d", "-d", "x"}, kExitArgumentError, "logmend: extraneous option -d|--delete-converted\n"},
      {{"-b", "1", "--buffer=2", "x"}, kExitArgumentError, "logmend: excess option -b|--buffer=2\n"},
      {{"--buffer=3GB", "x"},
       kExitArgumentError,
       "logmend: integer overflow at option -b|--buffer=<n> (3GB is too large)\n"},
      {{"--verbosity", "99999999999", "x"},
       kExitArgumentError,
       "logmend: integer overflow at option --verbosity=<n> (99999999999 is too large)\n"},
      {{"-d"}, kExitArgumentError, "logmend: missing option file(s)/folder(s)\n"},
      {{"--muxtp=1", "x"}, kExitArgumentError, "logmend: invalid option \"--muxtp=1\"\n"},
      {{"--muxtp-can2", "010#3:4:5:6"}, kExitArgumentError, "logmend: invalid option \"--muxtp-can2\"\n"},
      // Later errors are listed too, whatever their code.
      {{"--foo", "-b", "abc", "x", "-b"},
       kExitArgumentError,
       "logmend: invalid option \"--foo\"\n"
       "logmend: invalid argument \"abc\" to option -b|--buffer=<n>\n"
       "logmend: option \"-b\" requires an argument\n"},
  };
  for (const auto& c : cases) {
    const Outcome run = Parse(c.args);
    EXPECT_FALSE(run.ok) << c.args[0];
    EXPECT_EQ(run.status, c.status) << c.args[0];
    EXPECT_EQ(run.out, c.out) << c.args[0];
    EXPECT_TRUE(run.log.empty()) << c.args[0];
  }
}

TEST_F(Options, TwentyOneErrorsFillTwentySlots) {
  const Outcome run = Parse({"-" + std::string(21, 'q'), "x"});
  std::string expected;
  for (int i = 0; i < 19; ++i) expected += "logmend: invalid option \"-q\"\n";
  expected += "logmend: too many errors to display\n";
  EXPECT_EQ(run.status, kExitArgumentError);
  EXPECT_EQ(run.out, expected);
}

TEST_F(Options, ValuesBecomeSettings) {
  Outcome run = Parse({"-dX", "--non-int", "-b", "0x10", "x.mf4"});
  ASSERT_TRUE(run.ok) << run.out;
  EXPECT_EQ(run.status, kExitStart);
  EXPECT_EQ(options_->settings.delete_converted, 1);
  EXPECT_EQ(options_->settings.no_append_root, 1);
  EXPECT_EQ(options_->settings.non_interactive, 1);
  EXPECT_EQ(options_->settings.buffer_size, 16);
  EXPECT_EQ(run.threshold, kLogError);  // verbosity 2

  run = Parse({"-b2KB", "-i", "x.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(options_->settings.buffer_size, 2048);
  EXPECT_EQ(options_->settings.delete_converted, 0);

  run = Parse({"-b", "-5", "x.mf4"});  // the next argument is the value, whatever it looks like
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(options_->settings.buffer_size, -5);

  run = Parse({"x.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(options_->settings.buffer_size, -1);
}

TEST_F(Options, VerbositySetsTheThreshold) {
  const std::pair<const char*, int> cases[] = {
      {"--verbosity=0", kLogThresholdOff}, {"--verbosity=1", kLogFatal}, {"--verbosity=2", kLogError},
      {"--verb=3", kLogWarning},           {"--verbosity=4", kLogInfo},  {"--verbosity=5", kLogInfo},
  };
  for (const auto& [option, threshold] : cases) {
    const Outcome run = Parse({option, "x.mf4"});
    ASSERT_TRUE(run.ok) << option;
    EXPECT_EQ(run.threshold, threshold) << option;
  }
  const Outcome run = Parse({"--verbosity=4", "x.mf4"});
  EXPECT_EQ(run.log, std::vector<std::string>{"I 0 password(s) loaded"});
}

TEST_F(Options, InputsAreRelativeToTheirCommonRoot) {
  dir_.MakeDir("sub");
  Outcome run = Parse({"a.mf4", "sub", "./b.mf4", "sub/../c.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(cStrData(&options_->common_root), cwd_);
  EXPECT_EQ(Inputs(), (std::vector<std::string>{"a.mf4", "sub/", "b.mf4", "c.mf4"}));
  ASSERT_NE(options_->input_fs, nullptr);
  EXPECT_EQ(options_->output_fs, options_->input_fs);

  run = Parse({"sub/"});  // a folder's parent is the folder above it
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(Inputs(), std::vector<std::string>{"sub/"});

  run = Parse({"/logmend-not-there"});  // directly under "/"
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(cStrData(&options_->common_root), std::string("/"));
  EXPECT_EQ(Inputs(), std::vector<std::string>{"logmend-not-there"});
}

TEST_F(Options, InputsWithoutOneRootEndWith132) {
  Outcome run = Parse({cwd_ + "a/x", cwd_ + "a/y/z"});
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.status, kExitNoCommonRoot);
  EXPECT_EQ(run.log, std::vector<std::string>{"F No common root detected for all inputs"});

  run = Parse({"/"});
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.status, kExitNoCommonRoot);
  EXPECT_EQ(run.log, std::vector<std::string>{"F Could not find root for /"});

  run = Parse({"--verbosity=0", "/"});  // the status without the message
  EXPECT_EQ(run.status, kExitNoCommonRoot);
  EXPECT_TRUE(run.log.empty());
}

// A relative input cannot be rooted while the current directory is gone (getcwd fails): it is
// refused by name with 132, never reported as a failure of memory.
TEST_F(Options, RelativeInputsWithoutACurrentDirectoryEndWith132) {
  dir_.MakeDir("gone");
  ASSERT_EQ(chdir(dir_.Path("gone").c_str()), 0);
  ASSERT_EQ(rmdir(dir_.Path("gone").c_str()), 0);
  for (const std::string input : {"logs", "logs/a.mf4", "../x/"}) {
    const Outcome run = Parse({input});
    EXPECT_FALSE(run.ok) << input;
    EXPECT_EQ(run.status, kExitNoCommonRoot) << input;
    EXPECT_EQ(run.log, std::vector<std::string>{"F Could not find root for " + input});
    EXPECT_EQ(run.out, "") << input;
  }
  const Outcome absolute = Parse({cwd_ + "x.mf4"});
  EXPECT_TRUE(absolute.ok);
  EXPECT_EQ(Inputs(), std::vector<std::string>{"x.mf4"});
}

TEST_F(Options, DoubleDashAndLoneDashArePositional) {
  Outcome run = Parse({"--", "-d", "x.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(Inputs(), (std::vector<std::string>{"-d", "x.mf4"}));
  EXPECT_EQ(options_->settings.delete_converted, 0);

  run = Parse({"-", "-X"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(Inputs(), std::vector<std::string>{"-"});
  EXPECT_EQ(options_->settings.no_append_root, 1);
}

TEST_F(Options, PosixlyCorrectStopsAtTheFirstInput) {
  Outcome run = Parse({"f.mf4", "-d"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(Inputs(), std::vector<std::string>{"f.mf4"});
  EXPECT_EQ(options_->settings.delete_converted, 1);

  setenv("POSIXLY_CORRECT", "1", 1);
  run = Parse({"f.mf4", "-d"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(Inputs(), (std::vector<std::string>{"f.mf4", "-d"}));
  EXPECT_EQ(options_->settings.delete_converted, 0);
}

TEST_F(Options, OutputDirectory) {
  dir_.MakeDir("out");
  Outcome run = Parse({"-O", "out", "x.mf4"});
  ASSERT_TRUE(run.ok);
  ASSERT_NE(options_->output_fs, nullptr);
  EXPECT_NE(options_->output_fs, options_->input_fs);
  EXPECT_EQ(cStrData(&options_->output_fs->root), cwd_ + "out/");

  run = Parse({"-O", cwd_ + "missing", "x.mf4"});
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.status, kExitStart);
  EXPECT_EQ(run.log, std::vector<std::string>{"E Invalid output path: " + cwd_ + "missing"});

  dir_.Write("file", "x");
  run = Parse({"--output-directory=file", "x.mf4"});
  EXPECT_EQ(run.status, kExitStart);
  EXPECT_EQ(run.log, std::vector<std::string>{"E Invalid output path: " + cwd_ + "file"});
}

TEST_F(Options, PasswordFile) {
  Outcome run = Parse({"-p", "missing.json", "x.mf4"});
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.status, kExitStart);
  EXPECT_EQ(run.log, std::vector<std::string>{"E Failed to open password file at " + cwd_ + "missing.json"});

  dir_.MakeDir("keys");
  run = Parse({"--password-file=keys", "x.mf4"});  // a directory is refused when opening
  EXPECT_EQ(run.status, kExitStart);
  EXPECT_EQ(run.log, std::vector<std::string>{"E Failed to open password file at " + cwd_ + "keys/"});

  dir_.Write("keys.json", "{\n  \"0000ABCD\": \"one\",\n  \"default\": \"two\"\n}\n");
  run = Parse({"--verbosity=4", "-p", "keys.json", "x.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.log, std::vector<std::string>{"I 2 password(s) loaded"});
  EXPECT_EQ(options_->settings.passwords.size, 2u);

  // The default file in the current directory; without it, no passwords and no message.
  run = Parse({"--verbosity=4", "x.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.log, std::vector<std::string>{"I 0 password(s) loaded"});
  dir_.Write("passwords.json", "\"default\": \"x\"\n");
  run = Parse({"--verbosity=4", "x.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.log, std::vector<std::string>{"I 1 password(s) loaded"});
}

TEST_F(Options, DemultiplexingRules) {
  Outcome run = Parse({"--muxtp-can2=010#3:4:5:6", "--muxtp-can3=0A0B#1:2:3:4", "x.mf4"});
  ASSERT_TRUE(run.ok);
  EXPECT_TRUE(run.log.empty());  // the bad rule is dropped before the verbosity is applied
  ASSERT_EQ(options_->demux.size, 1u);
  const cDemuxEntry_t* entry = hashMapLookup(&options_->demux, uint64_t{0x0000001000000002});
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(std::vector<int>(entry->targets, entry->targets + 4), (std::vector<int>{3, 4, 5, 6}));

  std::vector<std::string> args(63, "--muxtp-can2=010#3:4:5:6");
  args.push_back("x.mf4");
  run = Parse(args);
  EXPECT_TRUE(run.ok);
  args.insert(args.begin(), "--muxtp-can7=010#3:4:5:6");
  run = Parse(args);
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.status, kExitArgumentError);
  EXPECT_EQ(run.out, "logmend: excess option --muxtp-can*=muxtp-can2=010#3:4:5:6\n");
}

}  // namespace
