#pragma once
// Redirects a file descriptor (and the stdio stream on it) into a pipe for the lifetime of the
// object, so tests see exactly the bytes written to it. Keep what a test writes below the
// pipe's capacity, and assert only after Text(): a failing assertion prints to stdout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace test {

class OutputCapture {
 public:
  OutputCapture(int fd, FILE* stream) : fd_(fd), stream_(stream) {
    std::fflush(stream_);
    if (pipe(pipe_) != 0) ADD_FAILURE() << "pipe failed";
    saved_ = dup(fd_);
    dup2(pipe_[1], fd_);
  }
  ~OutputCapture() { Text(); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  /// Restores the descriptor and returns everything written to it meanwhile.
  std::string Text() {
    if (saved_ >= 0) {
      std::fflush(stream_);
      dup2(saved_, fd_);
      close(saved_);
      close(pipe_[1]);
      saved_ = -1;
      char chunk[4096];
      for (ssize_t n; (n = read(pipe_[0], chunk, sizeof chunk)) > 0;) text_.append(chunk, static_cast<size_t>(n));
      close(pipe_[0]);
    }
    return text_;
  }

 private:
  int fd_;
  FILE* stream_;
  int pipe_[2] = {-1, -1};
  int saved_ = -1;
  std::string text_;
};

class StderrCapture : public OutputCapture {
 public:
  StderrCapture() : OutputCapture(STDERR_FILENO, stderr) {}
};

class StdoutCapture : public OutputCapture {
 public:
  StdoutCapture() : OutputCapture(STDOUT_FILENO, stdout) {}
};

}  // namespace test
