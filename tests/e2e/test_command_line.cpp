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

}  // namespace
