#pragma once
// Collects library log messages for the lifetime of the object. A writer's worker thread
// logs too: entries are added under a lock, and read once the worker has been joined.
#include <mutex>
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
    mdf::InstallLogCallback([this](const MdfLocation& location, mdf::MdfLogSeverity severity, const std::string& text) {
      std::lock_guard lock(mutex_);
      entries.push_back({location, severity, text});
    });
  }
  ~LogCapture() { mdf::InstallLogCallback({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  [[nodiscard]] bool Contains(const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries) {
      if (entry.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<LogEntry> entries;

 private:
  mutable std::mutex mutex_;
};

}  // namespace test
