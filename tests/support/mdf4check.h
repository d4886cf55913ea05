#pragma once
// The independent MDF 4 checker that tests run over the files they write, and the shell
// command runner it needs. The tests skip the check where the checker is not installed.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace test {

/// The independent MDF 4 checker; empty when it is not installed here.
inline std::string Mdf4CheckTool() {
  if (const char* path = std::getenv("LOGMEND_MDF4CHECK"); path != nullptr && *path != '\0') return path;
#ifdef LOGMEND_MDF4CHECK
  if (std::filesystem::exists(LOGMEND_MDF4CHECK)) return LOGMEND_MDF4CHECK;
#endif
  return {};
}

struct CheckResult {
  int status = -1;
  std::string output;
};

/// Runs a shell command and collects what it writes.
inline CheckResult RunCommand(const std::string& command) {
  CheckResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;) result.output.append(chunk, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

/// Runs the checker with the option ("", "--json" or "--values") on the file.
inline CheckResult RunMdf4Check(const std::string& tool, const std::string& option, const std::string& file) {
  return RunCommand("'" + tool + "' " + option + " '" + file + "' 2>&1");
}

/// Runs the Python `body` over many files in few Python processes, as a sweep over hundreds
/// of files would spend most of its time starting Python: the checker's own file is loaded
/// as the module `check`, and each run's files are `sys.argv[2:]`. The body holds no single
/// quote (it goes on the shell's command line in them). `take` (index of the run's first file,
/// index after its last, what the run printed) gets each run's output.
template <typename Take>
void RunWithChecker(const std::string& tool, const std::vector<std::string>& files, const std::string& body,
                    Take take) {
  static const char* const kLoad = R"(import contextlib, importlib.machinery, importlib.util, io, sys
loader = importlib.machinery.SourceFileLoader("mdf4check", sys.argv[1])
check = importlib.util.module_from_spec(importlib.util.spec_from_loader("mdf4check", loader))
loader.exec_module(check)
)";
  constexpr size_t kFilesPerRun = 200;  // keeps each command line short
  for (size_t first = 0; first < files.size(); first += kFilesPerRun) {
    const size_t end = std::min(files.size(), first + kFilesPerRun);
    std::string command = "python3 -c '" + (kLoad + body) + "' '" + tool + "'";
    for (size_t i = first; i < end; ++i) command += " '" + files[i] + "'";
    take(first, end, RunCommand(command + " 2>&1").output);
  }
}

/// Runs the checker (without option) on each file (RunWithChecker); gives each file's status
/// and lines.
inline std::map<std::string, CheckResult> RunMdf4CheckOnEach(const std::string& tool,
                                                             const std::vector<std::string>& files) {
  static const char* const kBody = R"(for path in sys.argv[2:]:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = check.main(["mdf4check", path])
    print("== %d %s" % (status, path))
    sys.stdout.write(out.getvalue())
)";
  std::map<std::string, CheckResult> results;
  RunWithChecker(tool, files, kBody, [&](size_t first, size_t end, const std::string& output) {
    std::istringstream lines(output);
    CheckResult* current = nullptr;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("== ", 0) == 0) {
        const size_t blank = line.find(' ', 3);
        current = &results[line.substr(blank + 1)];
        current->status = std::stoi(line.substr(3, blank - 3));
      } else if (current != nullptr) {
        current->output += line + "\n";
      }
    }
    for (size_t i = first; i < end; ++i) {
      if (results.count(files[i]) == 0) results[files[i]] = {-1, output};  // the run ended before it
    }
  });
  return results;
}

}  // namespace test
