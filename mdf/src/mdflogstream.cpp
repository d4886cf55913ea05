#include "mdf/mdflogstream.h"

#include <utility>

namespace {
// Set once at start-up by the host program; read by every log site.
mdf::LocationLogFunction& LocationLogCallback() {
  static mdf::LocationLogFunction callback;
  return callback;
}
mdf::TextLogFunction& TextLogCallback() {
  static mdf::TextLogFunction callback;
  return callback;
}
}  // namespace

namespace mdf {

void InstallLogCallback(LocationLogFunction callback) { LocationLogCallback() = std::move(callback); }

void InstallTextLogCallback(TextLogFunction callback) { TextLogCallback() = std::move(callback); }

MdfLogStream::MdfLogStream(MdfLocation location, MdfLogSeverity severity)
    : location_(std::move(location)), severity_(severity) {}

MdfLogStream::~MdfLogStream() {
  // The message is delivered from a destructor: an exception escaping here would end the
  // process, so a failing callback only loses its message.
  try {
    LogString(location_, severity_, str());
  } catch (...) {
  }
}

void MdfLogStream::LogString(const MdfLocation& location, MdfLogSeverity severity, const std::string& text) {
  if (const auto& callback = LocationLogCallback(); callback) {
    callback(location, severity, text);
  }
  if (const auto& callback = TextLogCallback(); callback) {
    callback(severity, location.file + ":" + location.function, text);
  }
}

}  // namespace mdf
