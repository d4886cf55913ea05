#pragma once
// The independent MDF 4 checker that tests run over the files they write, and the shell
// command runner it needs. The tests skip the check where the checker is not installed.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

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

}  // namespace test
