#pragma once
// Redirects file descriptor 2 into a pipe for the lifetime of the object, so tests see exactly
// the bytes that write(2, ...) produced. Keep what a test writes below the pipe's capacity.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace test {

class StderrCapture {
 public:
  StderrCapture() {
    if (pipe(pipe_) != 0) ADD_FAILURE() << "pipe failed";
    saved_ = dup(STDERR_FILENO);
    dup2(pipe_[1], STDERR_FILENO);
  }
  ~StderrCapture() { Text(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  /// Restores standard error and returns everything written to it meanwhile.
  std::string Text() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
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
  int pipe_[2] = {-1, -1};
  int saved_ = -1;
  std::string text_;
};

}  // namespace test
