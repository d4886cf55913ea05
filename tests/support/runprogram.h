#pragma once
// Runs a program with arguments in a working directory and collects its exit status, standard
// output and standard error (each through a temporary file, so no pipe can fill up).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/loglines.h"

extern char** environ;

namespace test {

struct ProgramResult {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
  /// Standard error's lines as level letter, blank and message (the line header dropped).
  [[nodiscard]] std::vector<std::string> Lines() const { return LogLines(err); }
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Runs `program` with `args` in `dir`; `scratch` is a directory for the captured output.
inline ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::string& dir, const std::string& scratch) {
  const std::string out_path = scratch + "/.stdout";
  const std::string err_path = scratch + "/.stderr";
  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  ProgramResult result;
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return result;
  int wait_status = 0;
  if (waitpid(pid, &wait_status, 0) == pid) {
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  }
  result.out = ReadWholeFile(out_path);
  result.err = ReadWholeFile(err_path);
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return result;
}

}  // namespace test
