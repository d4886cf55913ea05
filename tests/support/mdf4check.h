#pragma once
// The independent MDF 4 checker that tests run over the files they write, and the shell
// command runner it needs. The tests skip the check where the checker is not installed.
#include <sys/wait.h>

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

/// Runs the checker (without option) on many files in one Python process, as a sweep over
/// hundreds of outputs would spend most of its time starting Python: the checker's own file
/// is loaded as a module and its main run once per file. Gives each file's status and lines.
inline std::map<std::string, CheckResult> RunMdf4CheckOnEach(const std::string& tool,
                                                             const std::vector<std::string>& files) {
  // In single quotes on the shell's command line: the script holds none.
  static const char* const kScript = R"(import contextlib, importlib.machinery, importlib.util, io, sys
loader = importlib.machinery.SourceFileLoader("mdf4check", sys.argv[1])
check = importlib.util.module_from_spec(importlib.util.spec_from_loader("mdf4check", loader))
loader.exec_module(check)
for path in sys.argv[2:]:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = check.main(["mdf4check", path])
    print("== %d %s" % (status, path))
    sys.stdout.write(out.getvalue())
)";
  constexpr size_t kFilesPerRun = 200;  // keeps each command line short
  std::map<std::string, CheckResult> results;
  for (size_t first = 0; first < files.size(); first += kFilesPerRun) {
    std::string command = std::string("python3 -c '") + kScript + "' '" + tool + "'";
    for (size_t i = first; i < files.size() && i < first + kFilesPerRun; ++i) command += " '" + files[i] + "'";
    const CheckResult run = RunCommand(command + " 2>&1");
    std::istringstream lines(run.output);
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
    for (size_t i = first; i < files.size() && i < first + kFilesPerRun; ++i) {
      if (results.count(files[i]) == 0) results[files[i]] = {-1, run.output};  // the run ended before it
    }
  }
  return results;
}

}  // namespace test
