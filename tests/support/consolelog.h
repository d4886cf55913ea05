#pragma once
// Lets the console logger write at `threshold` for the lifetime of the object and collects
// what it wrote: Messages() gives each line without its time and ids, as "<letter> <text>".
#include <string>
#include <vector>

#include "platform/log.h"
#include "support/stderrcapture.h"

namespace test {

class ConsoleLog {
 public:
  explicit ConsoleLog(int threshold) : saved_(logThreshold()) { logSetLevel(threshold); }
  ~ConsoleLog() { logSetLevel(saved_); }
  ConsoleLog(const ConsoleLog&) = delete;
  ConsoleLog& operator=(const ConsoleLog&) = delete;

  /// Ends the capture (later lines go to standard error) and returns the lines.
  std::vector<std::string> Messages() {
    logSetLevel(saved_);
    std::vector<std::string> messages;
    const std::string text = capture_.Text();
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      messages.push_back(WithoutHeader(text.substr(start, end - start)));
      start = end + 1;
    }
    return messages;
  }

 private:
  // "MM-DD HH:MM:SS.mmm " then the process id and thread id, each right-aligned in 5 columns.
  static std::string WithoutHeader(const std::string& line) {
    constexpr size_t kTimeLength = 19;
    size_t at = kTimeLength;
    for (int field = 0; field < 2; ++field) {
      while (at < line.size() && line[at] == ' ') ++at;
      while (at < line.size() && line[at] != ' ') ++at;
    }
    return at + 1 <= line.size() ? line.substr(at + 1) : "<no header> " + line;
  }

  int saved_;
  StderrCapture capture_;
};

}  // namespace test
