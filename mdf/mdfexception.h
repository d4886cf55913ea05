#pragma once
// Exceptions thrown by the block I/O. libstdc++'s ios_base::failure decorates what() with
// ": iostream error", so the library throws its own kinds whose what() is the plain text.
#include <ios>
#include <stdexcept>
#include <string>

namespace mdf {

class MdfIoFailure : public std::ios_base::failure {
 public:
  explicit MdfIoFailure(const std::string& text) : std::ios_base::failure(text), text_(text) {}
  [[nodiscard]] const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

class MdfRuntimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace mdf
