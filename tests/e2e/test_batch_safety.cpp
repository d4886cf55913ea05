// Batch safety of the built logmend: a file under an output's name is always complete, "-d"
// removes an input only once its complete output is in place, and the walk never touches the
// run's own outputs; under full disks, kills at random moments, a second run at once (also
// one with the same process id, as in containers) and earlier outputs of other recordings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/logmendrun.h"
#include "support/asidenames.h"
#include "support/samebytes.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

// The bundled examples, beside the script the kit names.
const fs::path kExamples = fs::path(LOGMEND_CONVERT_EXAMPLES).parent_path().parent_path() / "examples";

/// logmend started by fork and exec in `dir`, its standard output discarded. With a limit,
/// files cannot grow beyond it; SIGXFSZ keeps its default action, which logmend itself must
/// turn into a failed write (EFBIG) as on a full disk. With `capture`, standard error is
/// collected through a pipe (a limited file would be cut). A launcher (a command that runs
/// the command after it, found on the PATH) starts logmend instead of this process.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& dir, int64_t file_size_limit = -1,
        bool capture = false, const std::vector<std::string>& launcher = {}) {
    std::vector<std::string> text = launcher;
    text.emplace_back(LOGMEND_BINARY);
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    if (capture && ::pipe(pipe_fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // Signals the test sends must reach logmend however this process was started.
      for (int signal_number = 1; signal_number < NSIG; ++signal_number) ::signal(signal_number, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const rlimit no_core{0, 0};  // SIGQUIT would leave one in the tree
      ::setrlimit(RLIMIT_CORE, &no_core);
      if (file_size_limit >= 0) {
        const rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      const int null_fd = ::open("/dev/null", O_WRONLY);
      ::dup2(null_fd, STDOUT_FILENO);
      ::dup2(capture ? pipe_fds[1] : null_fd, STDERR_FILENO);
      if (capture) ::close(pipe_fds[0]);
      if (::chdir(dir.c_str()) == 0) ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    if (capture) {
      ::close(pipe_fds[1]);
      err_fd_ = pipe_fds[0];
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) Wait();
  }

  [[nodiscard]] pid_t Pid() const { return pid_; }
  /// The exit status, or 128 + the signal that ended it; -1 when it could not be started.
  int Wait() {
    if (err_fd_ >= 0) {
      char chunk[4096];
      for (ssize_t n; (n = ::read(err_fd_, chunk, sizeof(chunk))) > 0;) err_.append(chunk, static_cast<size_t>(n));
      ::close(err_fd_);
      err_fd_ = -1;
    }
    if (pid_ <= 0) return -1;
    int status = 0;
    const pid_t waited = ::waitpid(pid_, &status, 0);
    pid_ = 0;
    if (waited <= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  /// Standard error's lines as level letter, blank and message (after Wait).
  [[nodiscard]] std::vector<std::string> Lines() const { return test::LogLines(err_); }
  [[nodiscard]] const std::string& Err() const { return err_; }

 private:
  pid_t pid_ = -1;
  int err_fd_ = -1;
  std::string err_;
};

std::string ReadFile(const fs::path& path) { return test::ReadWholeFile(path.string()); }

/// Runs logmend as the first process of a PID namespace of its own, as in a container: every
/// run so started has process id 1 there.
const std::vector<std::string> kInNewPidNamespace = {"unshare", "--pid", "--fork", "--kill-child"};

/// Whether this system lets the tests start processes in PID namespaces of their own.
bool PidNamespacesAvailable() { return std::system("unshare --pid --fork --kill-child true >/dev/null 2>&1") == 0; }

/// A file of /proc/<pid>; empty when the process is gone. Read with read(2): a process that
/// ends between the open and the read fails it with ESRCH, which a stream would throw.
std::string ProcessFile(pid_t pid, const char* file) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  ::close(fd);
  return text;
}

/// The fields of /proc/<pid>/stat after the command's name: state, parent, ...; empty when the
/// process is gone.
std::vector<std::string> ProcessStat(pid_t pid) {
  const std::string text = ProcessFile(pid, "stat");
  std::vector<std::string> fields;
  const size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return fields;
  std::istringstream rest(text.substr(name_end + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

/// Waits until `ready` holds, checking every millisecond; false after a minute without.
bool WaitUntil(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

/// The process whose parent is `parent` (the logmend a launcher started), once there is one; 0
/// when none came.
pid_t ChildOf(pid_t parent) {
  pid_t found = 0;
  WaitUntil([&] {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::vector<std::string> stat = ProcessStat(static_cast<pid_t>(std::stol(name)));
      if (stat.size() > 1 && stat[1] == std::to_string(parent)) {
        found = static_cast<pid_t>(std::stol(name));
        return true;
      }
    }
    return false;
  });
  return found;
}

/// The process id of a process in the innermost PID namespace it is in (the last "NSpid").
std::string InnermostPid(pid_t pid) {
  std::istringstream in(ProcessFile(pid, "status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("NSpid:", 0) == 0) return line.substr(line.find_last_of(" \t") + 1);
  }
  return {};
}

/// A temporary in the folder by name and identity.
struct HeldTemporary {
  std::string name;
  uint64_t inode = 0;
  bool operator==(const HeldTemporary& other) const { return name == other.name && inode == other.inode; }
};

std::vector<HeldTemporary> Temporaries(const fs::path& folder) {
  std::vector<HeldTemporary> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    struct stat info {};
    if (name.size() > 6 && name[0] == '.' && name.compare(name.size() - 5, 5, ".part") == 0 &&
        ::lstat(entry.path().c_str(), &info) == 0) {
      found.push_back({name, static_cast<uint64_t>(info.st_ino)});
    }
  }
  return found;
}

/// Stops the process (SIGSTOP) once a temporary other than those in `others` is in the
/// folder, and returns it: the temporary the process holds while it is stopped. Empty when
/// the process ended first or none came.
HeldTemporary StopWhileHolding(pid_t pid, const fs::path& folder, const std::vector<HeldTemporary>& others = {}) {
  HeldTemporary held;
  const auto is_new = [&](const HeldTemporary& temporary) {
    return std::find(others.begin(), others.end(), temporary) == others.end();
  };
  const bool seen = WaitUntil([&] {
    for (const HeldTemporary& temporary : Temporaries(folder)) {
      if (is_new(temporary)) return true;
    }
    return ProcessStat(pid).empty();
  });
  if (!seen || ::kill(pid, SIGSTOP) != 0) return {};
  // Stopped for sure before the folder is looked at again: what is there now stays.
  if (!WaitUntil([&] {
        const std::vector<std::string> stat = ProcessStat(pid);
        return stat.empty() || stat[0] == "T" || stat[0] == "Z";
      }) ||
      ProcessStat(pid).empty() || ProcessStat(pid)[0] != "T") {
    return {};
  }
  for (const HeldTemporary& temporary : Temporaries(folder)) {
    if (is_new(temporary)) held = temporary;
  }
  return held;
}

/// A recording large enough that its conversion holds the temporary for a while (about 10 MB).
const std::string& LargeRecording() {
  static const std::string bytes = [] {
    std::ostringstream out;
    test::LoggerRecordingWriter writer(out, {});
    for (uint32_t i = 0; i < 250000; ++i) {
      CanFrameRecord frame{};
      frame.time_us = 100 * (i + 1);
      frame.channel = static_cast<uint8_t>(1 + i % 2);
      frame.id = 0x100 + i % 512;
      frame.dlc = 8;
      frame.data = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 2, 3, 4, 5, 6, 7};
      writer.Add(frame);
    }
    writer.Finish();
    return out.str();
  }();
  return bytes;
}

/// Every signal whose default action ends a process but SIGKILL, which cannot be caught, the
/// crashes (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) and SIGXFSZ (a full disk); of the
/// real-time ones the first and the last.
std::vector<int> EndingSignals() {
  return {SIGHUP,    SIGINT,  SIGQUIT,   SIGTRAP, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM,  SIGTERM,
          SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,  SIGRTMIN, SIGRTMAX};
}

std::string SignalName(int signal_number) {
  const char* name = sigabbrev_np(signal_number);
  return name != nullptr ? name : "RT" + std::to_string(signal_number - SIGRTMIN);
}

/// The examples' files by their path below examples/logs/0000ABCD, with the bytes of each
/// and of its output from a run without trouble.
struct Examples {
  std::map<std::string, std::string> input;
  std::map<std::string, std::string> output;
  size_t largest_output = 0;
};

/// An input's output, relative to the tree: "logs/<p>.<ext>" gives "logs_out/<p>_out.MF4".
std::string OutputOf(const std::string& input) {
  const std::string below = input.substr(std::string("logs/").size());
  return "logs_out/" + below.substr(0, below.rfind('.')) + "_out.MF4";
}

bool IsTemporary(const fs::path& path) {
  const std::string name = path.filename().string();
  const bool part = name.size() > 5 && name[0] == '.' && name.compare(name.size() - 5, 5, ".part") == 0;
  // An output's temporary, or an input moved aside for its removal (its output is complete).
  return part || test::IsAsideName(name);
}

class BatchSafety : public LogmendRun {
 protected:
  BatchSafety() : fast_(FastBase()) {}

  void SetUp() override {
    const fs::path device = kExamples / "logs" / "0000ABCD";
    for (const auto& entry : fs::recursive_directory_iterator(device)) {
      if (!entry.is_regular_file()) continue;
      const std::string key = fs::relative(entry.path(), device).generic_string();
      examples_.input[key] = ReadFile(entry.path());
      fs::create_directories((dir_.Dir() / "reference/logs" / key).parent_path());
      fs::copy_file(entry.path(), dir_.Dir() / "reference/logs" / key);
    }
    ASSERT_EQ(examples_.input.size(), 4u);
    Child reference({"-p", Passwords(), "logs"}, dir_.Path("reference"));
    ASSERT_EQ(reference.Wait(), 0);
    for (const auto& [key, bytes] : examples_.input) {
      const std::string output = "reference/" + OutputOf("logs/" + key);
      examples_.output[key] = Read(output);
      examples_.largest_output = std::max(examples_.largest_output, examples_.output[key].size());
      ASSERT_FALSE(ReadFrames(dir_.Path(output)).empty()) << output;
      ASSERT_TRUE(Checked(output));
    }
  }

  static std::string Passwords() { return (kExamples / "passwords.json").string(); }

  /// A fresh tree in `root` with `copies` copies of the examples below logs/dev<n>/; returns
  /// the inputs relative to `root`.
  std::vector<std::string> MakeTree(const fs::path& root, int copies) {
    fs::remove_all(root);
    std::vector<std::string> inputs;
    for (int copy = 0; copy < copies; ++copy) {
      for (const auto& [key, bytes] : examples_.input) {
        const std::string input = "logs/dev" + std::to_string(copy) + "/" + key;
        fs::create_directories((root / input).parent_path());
        std::ofstream(root / input, std::ios::binary) << bytes;
        inputs.push_back(input);
      }
    }
    return inputs;
  }

  static std::string KeyOf(const std::string& input) { return input.substr(input.find('/', 5) + 1); }

  /// What must hold at any moment: an input is unchanged or gone, and gone only when its
  /// output is there; a file under an output's name is the complete output; nothing else is
  /// in the tree but temporaries (only where allowed). Returns the problems found.
  std::vector<std::string> Problems(const fs::path& root, const std::vector<std::string>& inputs,
                                    bool temporaries_allowed) {
    std::vector<std::string> problems;
    std::set<std::string> known;
    for (const std::string& input : inputs) {
      const std::string key = KeyOf(input);
      const std::string output = OutputOf(input);
      known.insert(input);
      known.insert(output);
      const bool has_input = fs::exists(root / input);
      const bool has_output = fs::exists(root / output);
      if (has_input && ReadFile(root / input) != examples_.input[key]) problems.push_back(input + " changed");
      if (!has_input && !has_output) problems.push_back(input + " gone without its output");
      if (has_output && ReadFile(root / output) != examples_.output[key]) problems.push_back(output + " incomplete");
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      const std::string path = fs::relative(entry.path(), root).generic_string();
      if (known.count(path) == 0 && !(temporaries_allowed && IsTemporary(entry.path()))) {
        problems.push_back("unexpected " + path);
      }
    }
    return problems;
  }

  static std::string Describe(const std::vector<std::string>& problems) {
    std::string text;
    for (size_t i = 0; i < problems.size() && i < 10; ++i) text += problems[i] + "\n";
    return text;
  }

  test::TempDir fast_;
  Examples examples_;
};

TEST_F(BatchSafety, AFullDiskNeverCostsAnInputAndLeavesNoPartialOutput) {
  // Every limit from nothing to past the largest output: each output is published exactly
  // when it fits, and each input that did not fit is kept with a line saying why.
  const fs::path root = fast_.Dir() / "sweep";
  constexpr size_t kStride = 1024;
  int limits = 0;
  for (size_t limit = 0; limit <= examples_.largest_output + kStride; limit += kStride, ++limits) {
    const std::vector<std::string> inputs = MakeTree(root, 1);
    Child run({"-d", "-p", Passwords(), "logs"}, root.string(), static_cast<int64_t>(limit), true);
    const int status = run.Wait();
    const std::string context = "limit " + std::to_string(limit) + "\n" + run.Err();
    const std::vector<std::string> problems = Problems(root, inputs, false);
    EXPECT_TRUE(problems.empty()) << context << Describe(problems);
    bool all_fit = true;
    for (const std::string& input : inputs) {
      const bool fits = examples_.output[KeyOf(input)].size() <= limit;
      all_fit = all_fit && fits;
      EXPECT_EQ(fs::exists(root / OutputOf(input)), fits) << input << " " << context;
      EXPECT_EQ(fs::exists(root / input), !fits) << input << " " << context;
      if (!fits) {
        const std::string line = "E Could not write output file " + OutputOf(input) + ": File too large";
        const std::vector<std::string> lines = run.Lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << "\n" << context;
      }
    }
    EXPECT_EQ(status, all_fit ? 0 : 8) << context;
  }
  EXPECT_GT(limits, 10);
  // The outputs compared equal to the reference, which the checker accepted and which reads
  // back with its frames (SetUp).
}

class KilledRuns : public BatchSafety, public ::testing::WithParamInterface<int> {};

TEST_P(KilledRuns, LeaveCompleteOutputsOrNoneAndEveryInputOrItsOutput) {
  const int signal_number = GetParam();
  constexpr int kCopies = 50;  // 200 files
  constexpr int kTrials = 3;
  const fs::path root = fast_.Dir() / "killed";

  // A run to the end, timed: the kills fall at moments inside such a run.
  std::vector<std::string> inputs = MakeTree(root, kCopies);
  const auto start = std::chrono::steady_clock::now();
  {
    Child run({"-d", "-p", Passwords(), "logs"}, root.string());
    ASSERT_EQ(run.Wait(), 0);
  }
  const auto whole = std::chrono::steady_clock::now() - start;
  std::vector<std::string> problems = Problems(root, inputs, false);
  ASSERT_TRUE(problems.empty()) << Describe(problems);
  for (const std::string& input : inputs) ASSERT_FALSE(fs::exists(root / input)) << input;

  std::mt19937 random(20240611u + static_cast<unsigned>(signal_number));
  std::uniform_real_distribution<double> moment(0.02, 0.7);
  int killed = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    inputs = MakeTree(root, kCopies);
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(whole * moment(random));
    Child run({"-d", "-p", Passwords(), "logs"}, root.string());
    std::this_thread::sleep_for(delay);
    ::kill(run.Pid(), signal_number);
    const int status = run.Wait();
    const std::string context = "signal " + std::to_string(signal_number) + " after " + std::to_string(delay.count()) +
                                " us, status " + std::to_string(status) + "\n";
    EXPECT_TRUE(status == 128 + signal_number || status == 0) << context;
    killed += status == 128 + signal_number ? 1 : 0;
    // Only SIGKILL leaves no chance to remove the temporary.
    problems = Problems(root, inputs, signal_number == SIGKILL);
    EXPECT_TRUE(problems.empty()) << context << Describe(problems);
  }
  EXPECT_GT(killed, 0) << "every run ended before its signal";

  if (signal_number != SIGKILL) return;
  // A run over what the last kill left finishes the job; leftover temporaries are no inputs. A
  // kill between an input's move to its hidden name and its removal leaves it there: the rerun
  // reports it (status 8) and never takes it for an input.
  Child rerun({"-d", "-p", Passwords(), "logs"}, root.string(), -1, true);
  const int rerun_status = rerun.Wait();
  size_t hidden = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    hidden += entry.is_regular_file() && test::IsAsideName(entry.path().filename().string()) ? 1 : 0;
  }
  size_t errors = 0;
  for (const std::string& line : rerun.Lines()) {
    if (line.rfind("E ", 0) != 0) continue;
    ++errors;
    EXPECT_NE(line.find(", the hidden name of an input that a run is removing"), std::string::npos) << line;
  }
  EXPECT_EQ(errors, hidden) << rerun.Err();
  EXPECT_EQ(rerun_status, hidden == 0 ? 0 : 8) << rerun.Err();
  problems = Problems(root, inputs, true);
  EXPECT_TRUE(problems.empty()) << Describe(problems);
  for (const std::string& input : inputs) EXPECT_FALSE(fs::exists(root / input)) << input;
}

INSTANTIATE_TEST_SUITE_P(EachSignal, KilledRuns,
                         ::testing::Values(SIGKILL, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGXCPU),
                         [](const ::testing::TestParamInfo<int>& param) {
                           const char* name = sigabbrev_np(param.param);
                           return std::string(name != nullptr ? name : "Unknown");
                         });

TEST_F(BatchSafety, TwoRunsOverOneTreeLoseNothing) {
  // Each converts what it finds; a file the other removed first is a reported failure of the
  // one that found it gone (status 1 or 8), never a loss.
  constexpr int kCopies = 50;
  const fs::path root = fast_.Dir() / "twice";
  {
    const std::vector<std::string> inputs = MakeTree(root, kCopies);
    Child first({"-d", "-p", Passwords(), "logs"}, root.string());
    Child second({"-d", "-p", Passwords(), "logs"}, root.string());
    const int first_status = first.Wait();
    const int second_status = second.Wait();
    EXPECT_EQ(first_status & ~(1 | 8), 0) << first_status;
    EXPECT_EQ(second_status & ~(1 | 8), 0) << second_status;
    const std::vector<std::string> problems = Problems(root, inputs, false);
    EXPECT_TRUE(problems.empty()) << Describe(problems);
    for (const std::string& input : inputs) EXPECT_FALSE(fs::exists(root / input)) << input;
  }
}

TEST_F(LogmendRun, AnOutputFolderInsideTheInputIsNotWalked) {
  const std::string recording = RecordingOf({}, SomeTraffic(1));
  Write("logs/a.mf4", recording);
  Write("logs/sub/b.mf4", RecordingOf({}, SomeTraffic(2)));
  fs::create_directories(dir_.Path("logs/converted"));
  for (int run = 0; run < 2; ++run) {  // the second finds the first one's outputs there
    Write("logs/a.mf4", recording);
    const test::ProgramResult result = Run({"--verbosity=4", "-d", "-O", "logs/converted", "logs"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(HasLine(result, "I Skipping logs/converted/logs_out: it holds the outputs of logs/")) << result.err;
  }
  const std::vector<std::string> expected = {"converted/logs_out/a_out.MF4", "converted/logs_out/sub/b_out.MF4"};
  EXPECT_EQ(Files("logs"), expected);
  EXPECT_EQ(ReadFrames(dir_.Path("logs/converted/logs_out/a_out.MF4")), Expected({}, SomeTraffic(1)));
  EXPECT_EQ(ReadFrames(dir_.Path("logs/converted/logs_out/sub/b_out.MF4")), Expected({}, SomeTraffic(2)));

  // With "-X" the output folder is named like the input and is just as much left alone.
  fs::remove_all(dir_.Path("logs/converted"));
  fs::create_directories(dir_.Path("logs/converted"));
  Write("logs/c.mf4", recording);
  const test::ProgramResult kept = Run({"--verbosity=4", "-X", "-O", "logs/converted", "logs"});
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_TRUE(HasLine(kept, "I Skipping logs/converted/logs: it holds the outputs of logs/")) << kept.err;
  EXPECT_TRUE(Exists("logs/converted/logs/c_out.MF4"));
  EXPECT_FALSE(Exists("logs/converted/logs/converted"));
}

TEST_F(LogmendRun, AnOutputNeverReplacesAnInputOfTheRun) {
  // "a_out.MF4" here is a recording of its own, and an input of the run: "a.mf4" would write
  // its output over it before it is read.
  const std::string mine = RecordingOf({}, SomeTraffic(1));
  const std::string theirs = RecordingOf({}, SomeTraffic(2));
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"-X", "logs"}, "E Output logs/a_out.MF4 of logs/a.mf4 would replace the input logs/a_out.MF4"},
      {{"-X", "-d", "logs"}, "E Output logs/a_out.MF4 of logs/a.mf4 would replace the input logs/a_out.MF4"},
      // Files named on the command line: no "_out" folder, so the same clash without "-X".
      {{"logs/a.mf4", "logs/a_out.MF4"}, "E Output a_out.MF4 of a.mf4 would replace the input a_out.MF4"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_.Path("logs"));
    Write("logs/a.mf4", mine);
    Write("logs/a_out.MF4", theirs);
    const test::ProgramResult result = Run(c.args);
    const std::string context = c.args[0] + " " + c.args[1] + "\n" + result.err;
    EXPECT_EQ(result.status, 8) << context;
    EXPECT_TRUE(HasLine(result, c.line)) << context;
    EXPECT_EQ(Read("logs/a.mf4"), mine) << context;
    // The other recording is converted as what it is; with "-d" it goes once that is done.
    const bool deleting = c.args[1] == "-d";
    EXPECT_EQ(Exists("logs/a_out.MF4"), !deleting) << context;
    if (!deleting) {
      EXPECT_EQ(Read("logs/a_out.MF4"), theirs) << context;
    }
    EXPECT_EQ(ReadFrames(dir_.Path("logs/a_out_out.MF4")), Expected({}, SomeTraffic(2))) << context;
  }
}

TEST_F(LogmendRun, NoSpellingOfAPathHidesAnInputOrAnOutputOfTheRun) {
  const std::string mine = RecordingOf({}, SomeTraffic(1));
  const std::string theirs = RecordingOf({}, SomeTraffic(2));
  fs::create_directory_symlink(dir_.Path(), dir_.Path("alias"));
  {
    // The output root spelled through a link to the folder the inputs lie in.
    Write("logs/a.mf4", mine);
    Write("logs/a_out.MF4", theirs);
    const test::ProgramResult result = Run({"-d", "-X", "-O", dir_.Path("alias"), "logs"});
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Output logs/a_out.MF4 of logs/a.mf4 would replace the input logs/a_out.MF4"))
        << result.err;
    EXPECT_EQ(Read("logs/a.mf4"), mine);
    EXPECT_EQ(ReadFrames(dir_.Path("logs/a_out_out.MF4")), Expected({}, SomeTraffic(2)));
  }
  {
    // Names whose output stem is "..".
    fs::remove_all(dir_.Path("logs"));
    Write("logs/...mf4", mine);
    Write("logs/.._out.MF4", theirs);
    const test::ProgramResult result = Run({"-d", "logs/...mf4", "logs/.._out.MF4"});
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Output .._out.MF4 of ...mf4 would replace the input .._out.MF4")) << result.err;
    EXPECT_EQ(Read("logs/...mf4"), mine);
    EXPECT_EQ(ReadFrames(dir_.Path("logs/.._out_out.MF4")), Expected({}, SomeTraffic(2)));
  }
  {
    // One folder named twice: the second walk finds this run's outputs and leaves them.
    fs::remove_all(dir_.Path("logs"));
    Write("logs/a.mf4", mine);
    fs::create_directory_symlink(dir_.Path("logs"), dir_.Path("link"));
    const test::ProgramResult result = Run({"--verbosity=4", "-d", "-X", "logs", "link"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(HasLine(result, "I Skipping link/a_out.MF4: it is the output of logs/a.mf4")) << result.err;
    EXPECT_EQ(Files("logs"), std::vector<std::string>{"a_out.MF4"});
    EXPECT_EQ(ReadFrames(dir_.Path("logs/a_out.MF4")), Expected({}, SomeTraffic(1)));
  }
  {
    // A folder named as an input that is another input's output folder: that input would
    // write over its files, and is not converted; the folder is converted as any other.
    fs::remove_all(dir_.Path("logs"));
    Write("logs/a.mf4", mine);
    Write("logs_out/a_out.MF4", theirs);
    const test::ProgramResult result = Run({"-d", "logs", "logs_out"});
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Outputs of logs/ would go into the input logs_out/: logs/ is not converted"))
        << result.err;
    EXPECT_EQ(Read("logs/a.mf4"), mine);
    EXPECT_FALSE(Exists("logs_out/a_out.MF4"));  // converted and removed
    EXPECT_EQ(ReadFrames(dir_.Path("logs_out_out/a_out_out.MF4")), Expected({}, SomeTraffic(2)));
  }
  {
    // The same folder named through a link: the folder it is decides, not the path's spelling.
    // Without -d the output would replace the recording there.
    fs::remove_all(dir_.Path("logs_out_out"));
    Write("logs_out/a_out.MF4", theirs);
    fs::create_directory_symlink(dir_.Path("logs_out"), dir_.Path("lo"));
    const test::ProgramResult result = Run({"logs", "lo"});
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(HasLine(result, "E Outputs of logs/ would go into the input lo/: logs/ is not converted"))
        << result.err;
    EXPECT_TRUE(Read("logs_out/a_out.MF4") == theirs);  // not printed: a whole file
    EXPECT_EQ(ReadFrames(dir_.Path("lo_out/a_out_out.MF4")), Expected({}, SomeTraffic(2)));
  }
}

TEST_F(LogmendRun, AnOutputThatCannotBeOpenedIsNamedWithTheReason) {
  Write("logs/a.mf4", RecordingOf({}, SomeTraffic(1)));
  Write("logs/sub/b.mf4", RecordingOf({}, SomeTraffic(2)));
  fs::create_directories(dir_.Path("logs_out/a_out.MF4"));  // a folder where the output goes
  Write("logs_out/sub", "a file where the output folder goes");
  const test::ProgramResult result = Run({"-d", "logs"});
  EXPECT_EQ(result.status, 8) << result.err;
  const std::vector<std::string> lines = result.Lines();
  const std::vector<std::string> expected = {
      "E Error on new file",
      "E Could not open output file logs_out/a_out.MF4: Is a directory",
      "E Error during end file callback",
      "E Error during conversion of logs/a.mf4",
      "E Could not make folder logs_out/sub: Not a directory",
      "E Error during conversion of logs/sub/b.mf4",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(Exists("logs/a.mf4"));
  EXPECT_TRUE(Exists("logs/sub/b.mf4"));
  EXPECT_EQ(Files("logs_out"), std::vector<std::string>{"sub"});
}

/// Runs stopped while they hold their temporaries, in a memory file system where there is one.
class HeldTemporaries : public LogmendRun {
 protected:
  HeldTemporaries() : fast_(FastBase()) {}
  test::TempDir fast_;
};

TEST_F(HeldTemporaries, TwoRunsWithOneProcessIdEachPublishOnlyTheirOwnFile) {
  // Containers run the tool as process 1. The first run is stopped while it holds its
  // temporary, the second (same process id) is stopped while it holds its own; the first then
  // publishes and removes its input; the second is killed before it is done.
  if (!PidNamespacesAvailable()) GTEST_SKIP() << "no PID namespaces here (unshare --pid needs root)";
  const fs::path root = fast_.Dir() / "samepid";
  fs::create_directories(root);
  fs::create_directories(root / "reference");
  std::ofstream(root / "reference/big.mf4", std::ios::binary) << LargeRecording();
  {
    Child reference({"big.mf4"}, (root / "reference").string());
    ASSERT_EQ(reference.Wait(), 0);
  }
  const std::string expected = ReadFile(root / "reference/big_out.MF4");
  ASSERT_FALSE(expected.empty());
  std::ofstream(root / "big.mf4", std::ios::binary) << LargeRecording();

  Child first({"-d", "big.mf4"}, root.string(), -1, true, kInNewPidNamespace);
  const pid_t first_pid = ChildOf(first.Pid());
  ASSERT_GT(first_pid, 0);
  const HeldTemporary first_temporary = StopWhileHolding(first_pid, root);
  ASSERT_FALSE(first_temporary.name.empty()) << "the first run ended before it could be stopped";
  Child second({"big.mf4"}, root.string(), -1, true, kInNewPidNamespace);
  const pid_t second_pid = ChildOf(second.Pid());
  ASSERT_GT(second_pid, 0);
  const HeldTemporary second_temporary = StopWhileHolding(second_pid, root, {first_temporary});
  ASSERT_FALSE(second_temporary.name.empty()) << "the second run ended before it could be stopped";
  EXPECT_EQ(InnermostPid(first_pid), "1");
  EXPECT_EQ(InnermostPid(second_pid), "1");

  ::kill(first_pid, SIGCONT);
  const int first_status = first.Wait();
  ::kill(second_pid, SIGKILL);
  second.Wait();
  EXPECT_EQ(first_status, 0) << first.Err();
  EXPECT_FALSE(fs::exists(root / "big.mf4"));
  EXPECT_TRUE(test::SameBytes(ReadFile(root / "big_out.MF4"), expected));
  // What SIGKILL left of the second run is its own temporary, nothing else.
  const std::vector<HeldTemporary> left = Temporaries(root);
  EXPECT_TRUE(left.empty() || (left.size() == 1 && left[0] == second_temporary));
}

/// A "-d" run of a large recording (started through the launcher, if any), stopped while it
/// holds its temporary, is sent each signal: it must end by it, its temporary gone and its
/// input kept.
void EndsOnEachSignalAndRemovesItsTemporary(const fs::path& root, const std::vector<int>& signals,
                                            const std::vector<std::string>& launcher) {
  fs::create_directories(root);
  const std::string recording = LargeRecording();
  std::ofstream(root / "big.mf4", std::ios::binary) << recording;
  for (const int signal_number : signals) {
    SCOPED_TRACE(SignalName(signal_number));
    Child run({"-d", "big.mf4"}, root.string(), -1, true, launcher);
    const pid_t pid = launcher.empty() ? run.Pid() : ChildOf(run.Pid());
    ASSERT_GT(pid, 0);
    const HeldTemporary held = StopWhileHolding(pid, root);
    ASSERT_FALSE(held.name.empty()) << "the run ended before it could be stopped";
    ::kill(pid, signal_number);
    ::kill(pid, SIGCONT);
    EXPECT_EQ(run.Wait(), 128 + signal_number) << run.Err();
    EXPECT_TRUE(Temporaries(root).empty());
    EXPECT_FALSE(fs::exists(root / "big_out.MF4"));
    EXPECT_EQ(ReadFile(root / "big.mf4"), recording);
  }
}

TEST_F(HeldTemporaries, ARunEndsOnEachSignalThatEndsAProcessAndRemovesItsTemporary) {
  // Batch schedulers end jobs with SIGXCPU (a CPU-time limit), SIGUSR1, SIGUSR2 or a timer's
  // signal as well as with SIGTERM.
  EndsOnEachSignalAndRemovesItsTemporary(fast_.Dir() / "ended", EndingSignals(), {});
}

TEST_F(HeldTemporaries, AsTheFirstProcessOfAPidNamespaceARunEndsOnEachSignalAndRemovesItsTemporary) {
  // Process 1 of a namespace is spared the default action of a signal: the run must end all
  // the same, as `docker stop` expects, and its temporary must go.
  if (!PidNamespacesAvailable()) GTEST_SKIP() << "no PID namespaces here (unshare --pid needs root)";
  // The way out is the same for every signal: a few of each kind.
  EndsOnEachSignalAndRemovesItsTemporary(fast_.Dir() / "init",
                                         {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGXCPU, SIGTRAP, SIGRTMAX},
                                         kInNewPidNamespace);
}

TEST_F(HeldTemporaries, ASignalRemovesTheTemporaryOnlyWhileItIsTheRunsOwnFile) {
  const fs::path root = fast_.Dir() / "planted";
  fs::create_directories(root);
  const std::string recording = LargeRecording();
  std::ofstream(root / "big.mf4", std::ios::binary) << recording;
  Child run({"-d", "big.mf4"}, root.string(), -1, true);
  const HeldTemporary held = StopWhileHolding(run.Pid(), root);
  ASSERT_FALSE(held.name.empty()) << "the run ended before it could be stopped";
  // Another process puts its own file under the temporary's name.
  std::ofstream(root / "other", std::ios::binary) << "another process's file";
  fs::rename(root / "other", root / held.name);
  ::kill(run.Pid(), SIGTERM);
  ::kill(run.Pid(), SIGCONT);
  EXPECT_EQ(run.Wait(), 128 + SIGTERM) << run.Err();
  EXPECT_EQ(ReadFile(root / held.name), "another process's file");
  EXPECT_FALSE(fs::exists(root / "big_out.MF4"));
  EXPECT_EQ(ReadFile(root / "big.mf4"), recording);
}

TEST_F(BatchSafety, WithDeleteConvertedAnEarlierOutputOfAnotherRecordingIsKept) {
  // Two upload batches of one device whose numbering restarted: day 2's 00000001.MF4 is
  // another recording than day 1's, whose output is the only copy left of it.
  const std::string key = "00000001/00000001.MF4";
  const std::string day1 = examples_.input.at(key);
  const std::string day2 = examples_.input.at("00000001/00000002.MF4");
  const std::string output = "converted/0000ABCD/00000001/00000001_out.MF4";
  Write("day1/0000ABCD/" + key, day1);
  Write("day2/0000ABCD/" + key, day2);
  fs::create_directories(dir_.Path("converted"));
  const auto run = [&](const std::vector<std::string>& args) {
    Child child(args, dir_.Path(), -1, true);
    const int status = child.Wait();
    return std::make_pair(status, child.Lines());
  };
  EXPECT_EQ(run({"-d", "-X", "-O", "converted", "day1/0000ABCD"}).first, 0);
  EXPECT_TRUE(test::SameBytes(Read(output), examples_.output.at(key)));

  const auto [status, lines] = run({"-d", "-X", "-O", "converted", "day2/0000ABCD"});
  EXPECT_EQ(status, 8);
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "E Output 0000ABCD/00000001/00000001_out.MF4 of 0000ABCD/00000001/00000001.MF4 would replace a "
                      "different file of that name"),
            lines.end());
  EXPECT_TRUE(test::SameBytes(Read(output), examples_.output.at(key)));
  EXPECT_TRUE(test::SameBytes(Read("day2/0000ABCD/" + key), day2));
  EXPECT_TRUE(Temporaries(dir_.Path("converted/0000ABCD/00000001")).empty());

  // Day 1's input again, as after a run that was ended between its rename and the removal of
  // its input: its output is the same bytes, and the input goes.
  Write("day1/0000ABCD/" + key, day1);
  EXPECT_EQ(run({"-d", "-X", "-O", "converted", "day1/0000ABCD"}).first, 0);
  EXPECT_FALSE(Exists("day1/0000ABCD/" + key));
  EXPECT_TRUE(test::SameBytes(Read(output), examples_.output.at(key)));

  // Without "-d" the input stays, and its output replaces the earlier one.
  EXPECT_EQ(run({"-X", "-O", "converted", "day2/0000ABCD"}).first, 0);
  EXPECT_TRUE(test::SameBytes(Read(output), examples_.output.at("00000001/00000002.MF4")));
  EXPECT_TRUE(test::SameBytes(Read("day2/0000ABCD/" + key), day2));
}

TEST_F(LogmendRun, InputsWithTheLongestNamesWhoseOutputsFitAreConverted) {
  // Outputs of up to 255 bytes, the longest name Linux file systems take; in a name of
  // several-byte characters the temporary's name is cut between two of them.
  const std::string recording = RecordingOf({}, SomeTraffic(1));
  std::vector<std::string> outputs;
  for (size_t length = 240; length <= 247; ++length) {
    Write("logs/" + std::string(length - 4, 'n') + ".mf4", recording);
    outputs.push_back(std::string(length - 4, 'n') + "_out.MF4");
  }
  std::string wide;
  while (wide.size() < 240) wide += "\xE2\x82\xAC";  // 3 bytes each
  Write("logs/" + wide + ".MF4", recording);
  outputs.push_back(wide + "_out.MF4");
  std::sort(outputs.begin(), outputs.end());
  const test::ProgramResult result = Run({"-d", "-X", "logs"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Files("logs"), outputs);
  for (const std::string& output : outputs) {
    EXPECT_EQ(ReadFrames(dir_.Path("logs/" + output)), Expected({}, SomeTraffic(1))) << output;
  }
}

}  // namespace
