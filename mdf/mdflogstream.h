#pragma once
// Library log messages: a log site streams its text into a temporary MdfLogStream, which
// hands it to the process-wide callbacks when the statement ends.
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

struct MdfLocation {
  int line = 0;
  int column = 0;
  std::string file;
  std::string function;
};

namespace mdf {

enum class MdfLogSeverity : uint8_t {
  kTrace = 0,
  kDebug = 1,
  kInfo = 2,
  kNotice = 3,
  kWarning = 4,
  kError = 5,
  kCritical = 6,
  kAlert = 7,
  kEmergency = 8,
};

using LocationLogFunction =
    std::function<void(const MdfLocation& location, MdfLogSeverity severity, const std::string& text)>;
using TextLogFunction =
    std::function<void(MdfLogSeverity severity, const std::string& location, const std::string& text)>;

/// Replaces the process-wide location callback; an empty function switches it off.
/// Install before any other thread uses the library: the callbacks are not locked.
void InstallLogCallback(LocationLogFunction callback);
/// Replaces the process-wide text callback (location text "file:function").
void InstallTextLogCallback(TextLogFunction callback);

class MdfLogStream : public std::ostringstream {
 public:
  MdfLogStream(MdfLocation location, MdfLogSeverity severity);
  ~MdfLogStream() override;

  MdfLogStream(const MdfLogStream&) = delete;
  MdfLogStream& operator=(const MdfLogStream&) = delete;

 protected:
  virtual void LogString(const MdfLocation& location, MdfLogSeverity severity, const std::string& text);

 private:
  MdfLocation location_;
  MdfLogSeverity severity_;
};

}  // namespace mdf

#define MDF_LOG(severity) ::mdf::MdfLogStream(MdfLocation{__LINE__, 0, __FILE__, __func__}, (severity))
#define MDF_TRACE() MDF_LOG(::mdf::MdfLogSeverity::kTrace)
#define MDF_DEBUG() MDF_LOG(::mdf::MdfLogSeverity::kDebug)
#define MDF_INFO() MDF_LOG(::mdf::MdfLogSeverity::kInfo)
#define MDF_ERROR() MDF_LOG(::mdf::MdfLogSeverity::kError)
