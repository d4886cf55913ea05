#pragma once
// The few operating-system services the MDF library needs, behind one seam.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace mdf::detail::platform {

/// Broken-down local / UTC time of seconds since 1970. False when out of range.
bool LocalTime(int64_t seconds, std::tm& out);
bool UtcTime(int64_t seconds, std::tm& out);
/// Calendar fields (local time, honouring tm_isdst) to seconds since 1970 (mktime).
int64_t MakeLocalTime(std::tm& fields);
/// Calendar fields taken as UTC to seconds since 1970 (timegm).
int64_t MakeUtcTime(std::tm& fields);

enum class FileKind { Missing, Regular, Directory, Other };
/// Kind of the file system object; throws std::system_error when the query itself fails
/// for another reason than a missing path.
FileKind QueryFileKind(const std::string& utf8_path);
/// Size in bytes of a regular file, or -1.
int64_t FileSize(const std::string& utf8_path);

/// Growable memory for large arrays of values. A block of a megabyte or more is mapped
/// on its own, so that growing it moves page tables instead of copying bytes, and its
/// pages are backed by huge pages where the system offers them: filling hundreds of
/// megabytes of fresh values otherwise costs a page fault per 4 KiB (bench_unsorted,
/// bench_loggerlayout). Returns the block of `new_bytes` holding the first bytes of the
/// old one, or null when memory is short (the old block then stays); `old_bytes` is the
/// size the block was given. A size of 0 releases the block.
void* ResizeBlock(void* data, size_t old_bytes, size_t new_bytes);

/// The name of a Windows-style code page number ("UTF-8" for 65001), "" when unknown.
std::string CodePageName(uint16_t code_page);

}  // namespace mdf::detail::platform
