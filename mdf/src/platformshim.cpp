#include "platformshim.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace mdf::detail::platform {

bool LocalTime(int64_t seconds, std::tm& out) {
  // mktime() re-reads TZ on every call; do the same here so both directions
  // always agree on the zone.
  ::tzset();
  const auto t = static_cast<std::time_t>(seconds);
  return ::localtime_r(&t, &out) != nullptr;
}

bool UtcTime(int64_t seconds, std::tm& out) {
  const auto t = static_cast<std::time_t>(seconds);
  return ::gmtime_r(&t, &out) != nullptr;
}

int64_t MakeLocalTime(std::tm& fields) { return static_cast<int64_t>(std::mktime(&fields)); }

int64_t MakeUtcTime(std::tm& fields) { return static_cast<int64_t>(::timegm(&fields)); }

FileKind QueryFileKind(const std::string& utf8_path) {
  struct stat info {};
  if (::stat(utf8_path.c_str(), &info) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      return FileKind::Missing;
    }
    throw std::system_error(error, std::generic_category(), "stat " + utf8_path);
  }
  if (S_ISREG(info.st_mode)) return FileKind::Regular;
  if (S_ISDIR(info.st_mode)) return FileKind::Directory;
  return FileKind::Other;
}

int64_t FileSize(const std::string& utf8_path) {
  struct stat info {};
  if (::stat(utf8_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

std::string CodePageName(uint16_t code_page) {
  switch (code_page) {
    case 437: return "OEM United States";
    case 850: return "OEM Multilingual Latin 1";
    case 1250: return "Central European (Windows)";
    case 1251: return "Cyrillic (Windows)";
    case 1252: return "Western European (Windows)";
    case 1253: return "Greek (Windows)";
    case 1254: return "Turkish (Windows)";
    case 1255: return "Hebrew (Windows)";
    case 1256: return "Arabic (Windows)";
    case 1257: return "Baltic (Windows)";
    case 1258: return "Vietnamese (Windows)";
    case 20127: return "US-ASCII";
    case 28591: return "ISO-8859-1 Latin 1";
    case 65001: return "UTF-8";
    default: return {};
  }
}

}  // namespace mdf::detail::platform
