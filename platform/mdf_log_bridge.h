#pragma once
// Routes the MDF library's log messages to the console logger. The only part of platform/
// that knows the library; link logmend_mdf_log_bridge to use it.
#include <string>

#include "mdf/mdflogstream.h"

/// The console level of a library severity: 2 and 3 info, 4 warning, 5 to 7 error, 8 fatal;
/// 0 for the severities that are dropped (0, 1 and above 8).
int mdfSeverityToLogLevel(mdf::MdfLogSeverity severity);
/// Writes one library message as "function@file:line message" when its mapped level passes
/// the threshold.
void mdfLogBridge(const MdfLocation& location, mdf::MdfLogSeverity severity, const std::string& message);
/// Installs mdfLogBridge as the library's process-wide log callback, replacing any earlier
/// one. Call it before writer threads exist: the library does not lock its callbacks.
void installMdfLogBridge();
