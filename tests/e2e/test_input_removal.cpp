// The built logmend where "-d" removes inputs and the walk meets the file system's refusals:
// standard descriptors closed at the start, a writer still holding its recording open,
// folders that cannot be entered or made, inputs that cannot be removed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/logmendrun.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

const fs::path kCompressedExample =
    fs::path(LOGMEND_CONVERT_EXAMPLES).parent_path().parent_path() / "examples/logs/0000ABCD/00000002/00000001.MFC";

/// logmend run in `dir` with the given standard descriptors closed (the others on /dev/null);
/// its exit status, or -1.
int RunWithClosed(const std::vector<int>& closed, const std::vector<std::string>& args, const std::string& dir) {
  std::vector<std::string> text = {LOGMEND_BINARY};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (std::find(closed.begin(), closed.end(), fd) != closed.end()) {
      posix_spawn_file_actions_addclose(&actions, fd);
    } else {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(LogmendRun, ClosedStandardDescriptorsNeverTakeLogLinesIntoAFile) {
  // The container's descriptor is closed once it is unwrapped, so the output's temporary would
  // get number 2, where every log line goes.
  const std::string recording = test::ReadWholeFile(kCompressedExample.string());
  ASSERT_FALSE(recording.empty());
  const std::vector<std::string> args = {"--verbosity=4", "--muxtp-can1=123#2:3:4:5", "-d", "-X", "r.MFC"};
  Write("reference/r.MFC", recording);
  ASSERT_EQ(RunWithClosed({}, args, dir_.Path("reference")), 0);
  const std::string expected = Read("reference/r_out.MF4");
  ASSERT_FALSE(expected.empty());
  for (const std::vector<int>& closed : std::vector<std::vector<int>>{{2}, {1, 2}, {0, 1, 2}}) {
    const std::string case_name = ::testing::PrintToString(closed);
    fs::remove_all(dir_.Path("run"));
    Write("run/r.MFC", recording);
    EXPECT_EQ(RunWithClosed(closed, args, dir_.Path("run")), 0) << case_name;
    const std::string output = Read("run/r_out.MF4");
    EXPECT_EQ(output.substr(0, 8), "MDF     ") << case_name;
    EXPECT_TRUE(output == expected) << case_name;  // not printed: a whole file
    EXPECT_TRUE(Checked("run/r_out.MF4")) << case_name;
    EXPECT_FALSE(Exists("run/r.MFC")) << case_name;
  }
}

/// Whether this file system grants leases, by which logmend tells a file still open for writing.
bool LeasesWork(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool granted = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (granted) ::fcntl(fd, F_SETLEASE, F_UNLCK);
  ::close(fd);
  return granted;
}

TEST_F(LogmendRun, ARecordingItsWriterStillHoldsOpenIsKept) {
  // A logger or uploader that appends in bursts: between two of them the file converts cleanly.
  const std::string input = Write("logs/a.mf4", RecordingOf({}, SomeTraffic(1)));
  if (!LeasesWork(input)) GTEST_SKIP() << "file leases cannot be taken here";
  const int writer = ::open(input.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const test::ProgramResult held = Run({"-d", "logs"});
  EXPECT_EQ(held.status, 8) << held.err;
  EXPECT_TRUE(HasLine(held, "E Input file logs/a.mf4 is still open for writing in another process and is kept"))
      << held.err;
  EXPECT_TRUE(Exists("logs/a.mf4"));
  EXPECT_EQ(ReadFrames(dir_.Path("logs_out/a_out.MF4")), Expected({}, SomeTraffic(1)));
  EXPECT_TRUE(Checked("logs_out/a_out.MF4"));
  ::close(writer);

  // Readers (a backup, another run converting it) keep nothing.
  const int reader = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const test::ProgramResult done = Run({"-d", "logs"});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_FALSE(Exists("logs/a.mf4"));
  ::close(reader);
}

TEST_F(LogmendRun, TheSameFileNamedTwiceIsConvertedOnceWithoutAFailure) {
  Write("f.MF4", RecordingOf({}, SomeTraffic(1)));
  const test::ProgramResult result = Run({"--verbosity=4", "-d", "f.MF4", "f.MF4"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(HasLine(result, "I Skipping f.MF4: it is the same file as f.MF4, met earlier in this run")) << result.err;
  EXPECT_FALSE(Exists("f.MF4"));
  EXPECT_EQ(ReadFrames(dir_.Path("f_out.MF4")), Expected({}, SomeTraffic(1)));
}

/// Runs logmend as an unprivileged user, for whom permissions hold (root passes them all):
/// through setpriv when this process is root. False when that cannot be done here.
bool RunUnprivileged(const std::string& dir, const std::vector<std::string>& args, test::ProgramResult* result) {
  if (::geteuid() != 0) {
    *result = test::RunProgram(LOGMEND_BINARY, args, dir, dir);
    return true;
  }
  const char* const setpriv = "/usr/bin/setpriv";
  if (::access(setpriv, X_OK) != 0) return false;
  std::vector<std::string> wrapped = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", LOGMEND_BINARY};
  wrapped.insert(wrapped.end(), args.begin(), args.end());
  *result = test::RunProgram(setpriv, wrapped, dir, dir);
  return true;
}

TEST_F(LogmendRun, RefusalsOfTheFileSystemFailTheFileWithTheirReason) {
  const fs::perms all = fs::perms::all;
  const fs::perms read_only = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
  const fs::perms listed_not_entered = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                       fs::perms::others_read;  // chmod 644 on a folder
  Write("a/locked/x.mf4", RecordingOf({}, SomeTraffic(1)));
  Write("a/open/y.mf4", RecordingOf({}, SomeTraffic(2)));
  Write("b/x.mf4", RecordingOf({}, SomeTraffic(1)));
  Write("c/x.mf4", RecordingOf({}, SomeTraffic(1)));
  fs::create_directories(dir_.Path("read-only"));
  fs::create_directories(dir_.Path("out"));
  for (const char* folder : {"", "a", "a/open", "out"}) fs::permissions(dir_.Path(folder), all);
  fs::permissions(dir_.Path("a/locked"), listed_not_entered);
  fs::permissions(dir_.Path("read-only"), read_only);
  fs::permissions(dir_.Path("c"), read_only);

  struct Case {
    std::vector<std::string> args;
    std::string line;
    std::string kept;
    std::string written;  // "" for none
  };
  const std::vector<Case> cases = {
      {{"a"}, "E Could not list folder a/locked", "a/locked/x.mf4", "a_out/open/y_out.MF4"},
      {{"-O", "read-only", "b"}, "E Could not make folder b_out: Permission denied", "b/x.mf4", ""},
      {{"-d", "-O", "out", "c"},
       "E Could not remove input file after conversion: c/x.mf4: Permission denied",
       "c/x.mf4",
       "out/c_out/x_out.MF4"},
  };
  std::vector<test::ProgramResult> results(cases.size());
  bool ran = true;
  for (size_t i = 0; i < cases.size() && ran; ++i) ran = RunUnprivileged(dir_.Path(), cases[i].args, &results[i]);
  for (const char* folder : {"a/locked", "read-only", "c"}) fs::permissions(dir_.Path(folder), all);
  if (!ran) GTEST_SKIP() << "setpriv is not installed";
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.line);
    EXPECT_EQ(results[i].status, 8) << results[i].err;
    EXPECT_TRUE(HasLine(results[i], c.line)) << results[i].err;
    EXPECT_TRUE(Exists(c.kept));
    if (!c.written.empty()) {
      EXPECT_TRUE(Checked(c.written));
    }
  }
}

// A recording without any event (one data group whose DT block holds no byte, no channel
// group) is no damage: plain or in either container it converts to the empty output of an
// input without frames, and "-d" removes it. Data that hold records still need a group.
TEST_F(LogmendRun, ARecordingWithoutAnyEventConvertsToAnEmptyOutputAndIsRemoved) {
  test::ImageSpec spec;
  spec.header_comment = test::LoggerHeaderCommentFor(RecordingInfo{});
  spec.empty_data_block = true;
  const std::vector<uint8_t> image = test::BuildLoggerImage(spec);
  const std::string empty(image.begin(), image.end());
  spec.records = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<uint8_t> ungrouped_image = test::BuildLoggerImage(spec);
  const std::string ungrouped(ungrouped_image.begin(), ungrouped_image.end());
  test::EncryptionParameters encryption;
  encryption.password = kPassword;
  encryption.device_id = kDevice;
  Write("passwords.json", "{\"0000ABCD\": \"secret\"}\n");
  const struct {
    const char* name;
    std::string content;
    int status;
  } cases[] = {
      {"plain.MF4", empty, 0},
      {"zipped.MFC", test::CompressedContainer(empty), 0},
      {"locked.MFE", test::EncryptedContainer(empty, encryption), 0},
      {"ungrouped.MF4", ungrouped, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    Write("in/" + name, c.content);
    const test::ProgramResult result = Run({"-d", "-p", "passwords.json", "in/" + name});
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(Exists("in/" + name), c.status != 0);
    const std::string output = "in/" + name.substr(0, name.size() - 4) + "_out.MF4";
    if (c.status == 0) {
      EXPECT_EQ(result.err, "");
      ASSERT_TRUE(Exists(output));
      EXPECT_EQ(Read(output), "");
    } else {
      EXPECT_NE(result.err.find("E Damaged input file " + name + ": Required link is NIL. Block: "), std::string::npos)
          << result.err;
      EXPECT_NE(result.err.find(", Type: DG, Link: first channel group"), std::string::npos) << result.err;
    }
  }
}

}  // namespace
