#pragma once
// What the benchmarks share beyond the file they read: a reproducible generator, the
// process's memory figures, and a run in a child process so that its peak memory is its own.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <type_traits>

namespace bench {

/// A small, fast, reproducible generator.
class XorShift {
 public:
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

 private:
  uint32_t state_ = 2463534242U;
};

inline long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

inline long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

/// `run()` in a forked child, its result handed back through a pipe; a default result when
/// the child failed. What the parent freed (generated files' buffers) is trimmed first, so
/// that it does not count for the child.
template <typename Result, typename Run>
Result RunInChild(Run&& run) {
  static_assert(std::is_trivially_copyable_v<Result>, "the result crosses a pipe as bytes");
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    malloc_trim(0);
    const Result result = run();
    const ssize_t written = write(pipe_ends[1], &result, sizeof(result));
    _exit(written == static_cast<ssize_t>(sizeof(result)) ? 0 : 1);
  }
  close(pipe_ends[1]);
  Result result;
  const ssize_t got = read(pipe_ends[0], &result, sizeof(result));
  close(pipe_ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (got != static_cast<ssize_t>(sizeof(result)) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return result;
}

}  // namespace bench
