// The built logmend binary started in situations of the command line's surroundings: a
// current directory that no longer exists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/logmendrun.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

class CommandLine : public LogmendRun {
 protected:
  /// Runs logmend with `args` from the folder "gone", removed after the shell entered it.
  test::ProgramResult RunInRemovedFolder(const std::vector<std::string>& args) {
    fs::create_directories(dir_.Path("gone"));
    std::vector<std::string> shell = {"-c", "cd gone && rmdir ../gone && exec \"$0\" \"$@\"", LOGMEND_BINARY};
    shell.insert(shell.end(), args.begin(), args.end());
    return test::RunProgram("/bin/sh", shell, dir_.Path(), dir_.Path());
  }
};

// getcwd fails once the current folder is removed. A relative path then has no root: it is
// refused as such (132), never reported as a failure of memory (134).
TEST_F(CommandLine, RelativePathsInARemovedFolderAreRefusedByName) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{"logs"}, 132, {"F Could not find root for logs"}},
      {{"logs/a/1.mf4"}, 132, {"F Could not find root for logs/a/1.mf4"}},
      {{"-X", "./logs/"}, 132, {"F Could not find root for ./logs/"}},
      // Relative option values are refused where they are used.
      {{"-p", "keys.json", "x"}, 129, {"E Failed to open password file at keys.json"}},
      {{"-O", "out", dir_.Path("logs")}, 129, {"E Invalid output path: out"}},
  };
  for (const auto& c : cases) {
    const test::ProgramResult result = RunInRemovedFolder(c.args);
    EXPECT_EQ(result.status, c.status) << c.args[0];
    EXPECT_EQ(result.Lines(), c.lines) << c.args[0];
    EXPECT_EQ(result.out, "") << c.args[0];
  }
}

TEST_F(CommandLine, AbsoluteInputsConvertFromARemovedFolder) {
  const RecordingInfo info;
  Write("logs/a/1.mf4", RecordingOf(info, SomeTraffic(1)));
  const test::ProgramResult result = RunInRemovedFolder({dir_.Path("logs")});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(ReadFrames(dir_.Path("logs_out/a/1_out.MF4")), Expected(info, SomeTraffic(1)));
  EXPECT_TRUE(Checked("logs_out/a/1_out.MF4"));
}

// A top-level input below a folder that does not exist is missing, like one whose folder is
// there: status 1 and its line, naming it as given, whatever form it was given in. Only an
// input that cannot be queried at all keeps 129, and says so.
TEST_F(CommandLine, InputsInAFolderThatIsNotThereAreMissingByName) {
  Write("a.mf4", RecordingOf({}, SomeTraffic(1)));
  fs::create_symlink("loop", dir_.Path("loop"));
  const std::string absolute = dir_.Path("nodir/x.mf4");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{"nodir/x.mf4"}, 1, {"E Could not find input file/folder nodir/x.mf4"}},
      {{"-X", "nodir/x.mf4"}, 1, {"E Could not find input file/folder nodir/x.mf4"}},
      {{"--verbosity=5", "nodir/x.mf4"},
       1,
       {"I 0 password(s) loaded", "E Could not find input file/folder nodir/x.mf4"}},
      {{absolute}, 1, {"E Could not find input file/folder " + absolute}},
      {{"-X", absolute}, 1, {"E Could not find input file/folder " + absolute}},
      {{"./nodir/deeper/x.mf4"}, 1, {"E Could not find input file/folder ./nodir/deeper/x.mf4"}},
      // Below a file: no such path either.
      {{"a.mf4/x.mf4"}, 1, {"E Could not find input file/folder a.mf4/x.mf4"}},
      {{"a.mf4/sub/x.mf4"}, 1, {"E Could not find input file/folder a.mf4/sub/x.mf4"}},
      {{"nodir/x.mf4", "nodir/y.mf4"},
       1,
       {"E Could not find input file/folder nodir/x.mf4", "E Could not find input file/folder nodir/y.mf4"}},
      {{"loop/x.mf4"}, 129, {"F Could not query loop/x.mf4 for information"}},
      {{"-X", "loop/x.mf4"}, 129, {"F Could not query loop/x.mf4 for information"}},
  };
  for (const auto& c : cases) {
    const test::ProgramResult result = Run(c.args);
    EXPECT_EQ(result.status, c.status) << c.args.back();
    EXPECT_EQ(result.Lines(), c.lines) << c.args.back();
    EXPECT_EQ(result.out, "") << c.args.back();
  }
  EXPECT_FALSE(Exists("nodir"));  // nothing made
}

// A backslash is a character of a name here, as everywhere on Linux: the file or folder so
// named is converted, and one that is not there is missing by that name (its line escapes the
// backslash as every log line does).
TEST_F(CommandLine, NamesWithABackslashAreNamesOfTheirOwn) {
  const RecordingInfo info;
  Write("back\\slash/r.mf4", RecordingOf(info, SomeTraffic(1)));
  Write("file\\name.mf4", RecordingOf(info, SomeTraffic(2)));
  Write("sub/in\\side.mf4", RecordingOf(info, SomeTraffic(3)));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
    std::string output;  // written, with the frames of the seed
    uint8_t seed;
  };
  const Case cases[] = {
      {{"back\\slash"}, 0, {}, "back\\slash_out/r_out.MF4", 1},
      {{dir_.Path("back\\slash")}, 0, {}, "back\\slash_out/r_out.MF4", 1},
      {{"file\\name.mf4"}, 0, {}, "file\\name_out.MF4", 2},
      {{"-X", "sub"}, 0, {}, "sub/in\\side_out.MF4", 3},
      {{"miss\\ing.mf4"}, 1, {"E Could not find input file/folder miss\\\\ing.mf4"}, "", 0},
      {{"back\\slash\\r.mf4"}, 1, {"E Could not find input file/folder back\\\\slash\\\\r.mf4"}, "", 0},
  };
  for (const auto& c : cases) {
    const test::ProgramResult result = Run(c.args);
    EXPECT_EQ(result.status, c.status) << c.args.back();
    EXPECT_EQ(result.Lines(), c.lines) << c.args.back();
    if (c.output.empty()) continue;
    EXPECT_EQ(ReadFrames(dir_.Path(c.output)), Expected(info, SomeTraffic(c.seed))) << c.args.back();
    EXPECT_TRUE(Checked(c.output));
    fs::remove(dir_.Path(c.output));
  }
}

}  // namespace
