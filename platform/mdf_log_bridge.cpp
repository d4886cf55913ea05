#include "platform/mdf_log_bridge.h"

#include <cstdint>

#include "platform/log.h"

int mdfSeverityToLogLevel(mdf::MdfLogSeverity severity) {
  switch (severity) {
    case mdf::MdfLogSeverity::kInfo:
    case mdf::MdfLogSeverity::kNotice:
      return kLogInfo;
    case mdf::MdfLogSeverity::kWarning:
      return kLogWarning;
    case mdf::MdfLogSeverity::kError:
    case mdf::MdfLogSeverity::kCritical:
    case mdf::MdfLogSeverity::kAlert:
      return kLogError;
    case mdf::MdfLogSeverity::kEmergency:
      return kLogFatal;
    default:
      return 0;
  }
}

void mdfLogBridge(const MdfLocation& location, mdf::MdfLogSeverity severity, const std::string& message) {
  const int level = mdfSeverityToLogLevel(severity);
  if (level == 0 || !logEnabled(level)) return;
  logWriteWithSource(location.function.c_str(), location.file.c_str(), static_cast<uint32_t>(location.line), level, "",
                     "%s", message.c_str());
}

void installMdfLogBridge() { mdf::InstallLogCallback(mdfLogBridge); }
