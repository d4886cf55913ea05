#pragma once
// Collects library log messages for the lifetime of the object.
#include <string>
#include <vector>

#include "mdf/mdflogstream.h"

namespace test {

struct LogEntry {
  MdfLocation location;
  mdf::MdfLogSeverity severity;
  std::string text;
};

class LogCapture {
 public:
  LogCapture() {
    mdf::InstallLogCallback([this](const MdfLocation& location, mdf::MdfLogSeverity severity,
                                   const std::string& text) { entries.push_back({location, severity, text}); });
  }
  ~LogCapture() { mdf::InstallLogCallback({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  [[nodiscard]] bool Contains(const std::string& fragment) const {
    for (const auto& entry : entries) {
      if (entry.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<LogEntry> entries;
};

}  // namespace test
