#include "platformshim.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

namespace {

constexpr size_t kLargeBlock = size_t{1} << 20;

size_t MappedSize(size_t bytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

void* ResizeBlock(void* data, size_t old_bytes, size_t new_bytes) {
  const bool was_large = data != nullptr && old_bytes >= kLargeBlock;
  if (new_bytes == 0) {
    if (was_large) {
      ::munmap(data, MappedSize(old_bytes));
    } else {
      std::free(data);
    }
    return nullptr;
  }
  if (new_bytes < kLargeBlock && !was_large) {
    return std::realloc(data, new_bytes);
  }
  void* block = nullptr;
  if (was_large && new_bytes >= kLargeBlock) {
    block = ::mremap(data, MappedSize(old_bytes), MappedSize(new_bytes), MREMAP_MAYMOVE);
    if (block == MAP_FAILED) return nullptr;
  } else {
    // Between the two kinds the bytes are copied once.
    if (new_bytes >= kLargeBlock) {
      block = ::mmap(nullptr, MappedSize(new_bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (block == MAP_FAILED) return nullptr;
    } else {
      block = std::malloc(new_bytes);
      if (block == nullptr) return nullptr;
    }
    if (data != nullptr) std::memcpy(block, data, std::min(old_bytes, new_bytes));
    ResizeBlock(data, old_bytes, 0);
  }
  return block;
}

std::string CodePageName(uint16_t code_page) {
  switch (code_page) {
    case 437:
      return "OEM United States";
    case 850:
      return "OEM Multilingual Latin 1";
    case 1250:
      return "Central European (Windows)";
    case 1251:
      return "Cyrillic (Windows)";
    case 1252:
      return "Western European (Windows)";
    case 1253:
      return "Greek (Windows)";
    case 1254:
      return "Turkish (Windows)";
    case 1255:
      return "Hebrew (Windows)";
    case 1256:
      return "Arabic (Windows)";
    case 1257:
      return "Baltic (Windows)";
    case 1258:
      return "Vietnamese (Windows)";
    case 20127:
      return "US-ASCII";
    case 28591:
      return "ISO-8859-1 Latin 1";
    case 65001:
      return "UTF-8";
    default:
      return {};
  }
}

}  // namespace mdf::detail::platform
