#include "mdf/mdfhelper.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <stdexcept>

#include "byteorder.h"
#include "platformshim.h"

namespace mdf {
namespace {

namespace platform = detail::platform;

constexpr int64_t kNsPerSec = 1'000'000'000;
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kMsPerMinute = 60'000;
constexpr int64_t kMsPerDay = 86'400'000;
constexpr int64_t kDstNs = 3'600 * kNsPerSec;

// Seconds of the CANopen time epoch: local midnight 1984-01-01, standard time.
int64_t CanOpenEpochSec() {
  std::tm fields{};
  fields.tm_year = 84;
  fields.tm_mon = 0;
  fields.tm_mday = 1;
  fields.tm_isdst = 0;
  return platform::MakeLocalTime(fields);
}

int64_t SecondsOf(uint64_t ns) { return static_cast<int64_t>(ns / kNsPerSec); }

void AppendTwoDigits(std::string& text, int value) {
  text.push_back(static_cast<char>('0' + (value / 10) % 10));
  text.push_back(static_cast<char>('0' + value % 10));
}

// Hand-made rather than strftime() so the result never depends on the locale.
std::string DateText(const std::tm& fields) {
  std::string text;
  AppendTwoDigits(text, fields.tm_mday);
  text.push_back(':');
  AppendTwoDigits(text, fields.tm_mon + 1);
  text.push_back(':');
  text += std::to_string(static_cast<int64_t>(fields.tm_year) + 1900);
  return text;
}

std::string TimeText(const std::tm& fields) {
  std::string text;
  AppendTwoDigits(text, fields.tm_hour);
  text.push_back(':');
  AppendTwoDigits(text, fields.tm_min);
  text.push_back(':');
  AppendTwoDigits(text, fields.tm_sec);
  return text;
}

int64_t ShiftedSeconds(uint64_t ns, int16_t tz_offset_min, int16_t dst_offset_min) {
  return SecondsOf(ns) + (static_cast<int64_t>(tz_offset_min) + dst_offset_min) * 60;
}

unsigned char LowerAscii(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

int CompareNoCaseImpl(const std::string& a, const std::string& b, size_t length_a, size_t length_b) {
  const size_t common = std::min(length_a, length_b);
  for (size_t i = 0; i < common; ++i) {
    const int diff = static_cast<int>(LowerAscii(a[i])) - static_cast<int>(LowerAscii(b[i]));
    if (diff != 0) return diff;
  }
  if (length_a == length_b) return 0;
  return length_a < length_b ? -1 : 1;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One UTF-8 sequence: its code point and length, or what makes it invalid.
struct Utf8Sequence {
  char32_t code_point = 0;
  size_t length = 0;
  const char* fault = nullptr;
};

// The sequence at `i` (< text.size()): the one decoding of UTF-8 the library checks text with.
Utf8Sequence DecodeUtf8(const std::string& text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  Utf8Sequence sequence;
  char32_t smallest = 0;  // anything below needs fewer bytes: an overlong form
  if (lead < 0x80) {
    sequence.length = 1;
    sequence.code_point = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    sequence.length = 2;
    sequence.code_point = lead & 0x1F;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    sequence.length = 3;
    sequence.code_point = lead & 0x0F;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    sequence.length = 4;
    sequence.code_point = lead & 0x07;
    smallest = 0x10000;
  } else {
    sequence.fault = "invalid UTF-8 lead byte";
    return sequence;
  }
  if (text.size() - i < sequence.length) {
    sequence.fault = "truncated UTF-8 sequence";
    return sequence;
  }
  for (size_t k = 1; k < sequence.length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      sequence.fault = "invalid UTF-8 continuation byte";
      return sequence;
    }
    sequence.code_point = (sequence.code_point << 6) | (next & 0x3F);
  }
  if (sequence.code_point < smallest) {
    sequence.fault = "overlong UTF-8 sequence";
  } else if (sequence.code_point > 0x10FFFF || IsHighSurrogate(sequence.code_point) ||
             IsLowSurrogate(sequence.code_point)) {
    sequence.fault = "UTF-8 sequence outside the Unicode scalar values";
  }
  return sequence;
}

}  // namespace

uint64_t CurrentTimeNs() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());
}

uint64_t DecodeCanOpenDate(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 7) return 0;
  std::tm fields{};
  fields.tm_sec = 0;  // the seconds travel inside the millisecond field
  fields.tm_min = bytes[2] & 0x3F;
  fields.tm_hour = bytes[3] & 0x1F;
  fields.tm_mday = bytes[4] & 0x1F;
  fields.tm_mon = (bytes[5] & 0x3F) - 1;
  const int year = bytes[6] & 0x7F;
  fields.tm_year = year < 70 ? year + 100 : year;
  const int weekday = bytes[4] >> 5;
  fields.tm_wday = weekday == 7 ? 0 : weekday;
  fields.tm_yday = 0;
  fields.tm_isdst = (bytes[3] & 0x80) != 0 ? 1 : 0;

  const int64_t seconds = platform::MakeLocalTime(fields);
  const int64_t ms = detail::LoadLe16(bytes.data());
  const int64_t ns = seconds * kNsPerSec + ms * kNsPerMs;
  // Dates before 1970 in this zone cannot be represented in an unsigned time.
  return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

std::vector<uint8_t> EncodeCanOpenDate(uint64_t ns_since_1970) {
  std::vector<uint8_t> bytes(7, 0);
  std::tm fields{};
  if (!platform::LocalTime(SecondsOf(ns_since_1970), fields)) return bytes;

  const auto ms = static_cast<uint16_t>((ns_since_1970 / kNsPerMs) % kMsPerMinute);
  const int weekday = fields.tm_wday == 0 ? 7 : fields.tm_wday;
  detail::StoreLe16(bytes.data(), ms);
  bytes[2] = static_cast<uint8_t>(fields.tm_min & 0x3F);
  bytes[3] = static_cast<uint8_t>((fields.tm_hour & 0x1F) | (fields.tm_isdst > 0 ? 0x80 : 0));
  bytes[4] = static_cast<uint8_t>((fields.tm_mday & 0x1F) | (weekday << 5));
  bytes[5] = static_cast<uint8_t>((fields.tm_mon + 1) & 0x3F);
  bytes[6] = static_cast<uint8_t>(fields.tm_year % 100);
  return bytes;
}

uint64_t DecodeCanOpenTime(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 6) return 0;
  const int64_t ms = detail::LoadLe32(bytes.data());
  const int64_t days = detail::LoadLe16(bytes.data() + 4);
  // At most 65535 days plus 2^32 ms past 1984: far inside int64 ns.
  const int64_t ns = ((days * 86'400 + CanOpenEpochSec()) * 1'000 + ms) * kNsPerMs;
  return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

std::vector<uint8_t> EncodeCanOpenTime(uint64_t ns_since_1970) {
  int64_t value = static_cast<int64_t>(ns_since_1970 / kNsPerMs) - CanOpenEpochSec() * 1'000;
  if (value < 0) value = 0;  // no representation before the epoch
  const auto ms = static_cast<uint32_t>(value % kMsPerDay);
  const auto days = static_cast<uint16_t>(value / kMsPerDay);
  std::vector<uint8_t> bytes(6, 0);
  detail::StoreLe32(bytes.data(), ms);
  detail::StoreLe16(bytes.data() + 4, days);
  return bytes;
}

int64_t DstOffsetNs() {
  std::tm fields{};
  if (!platform::LocalTime(SecondsOf(CurrentTimeNs()), fields)) return 0;
  return fields.tm_isdst > 0 ? kDstNs : 0;
}

int64_t LocalUtcOffsetNs() {
  const int64_t now = SecondsOf(CurrentTimeNs());
  std::tm local{};
  std::tm utc{};
  if (!platform::LocalTime(now, local) || !platform::UtcTime(now, utc)) return 0;
  const int64_t local_seconds = platform::MakeLocalTime(local);
  // Reading the UTC clock as standard local time leaves the DST hour out, so the
  // difference is the zone's standard offset.
  utc.tm_isdst = 0;
  const int64_t utc_as_local = platform::MakeLocalTime(utc);
  return (local_seconds - utc_as_local) * kNsPerSec;
}

std::string LocalDateText(uint64_t ns_since_1970) {
  std::tm fields{};
  return platform::LocalTime(SecondsOf(ns_since_1970), fields) ? DateText(fields) : std::string{};
}

std::string LocalTimeText(uint64_t ns_since_1970) {
  std::tm fields{};
  return platform::LocalTime(SecondsOf(ns_since_1970), fields) ? TimeText(fields) : std::string{};
}

std::string UtcDateText(uint64_t ns_since_1970) {
  std::tm fields{};
  return platform::UtcTime(SecondsOf(ns_since_1970), fields) ? DateText(fields) : std::string{};
}

std::string UtcTimeText(uint64_t ns_since_1970) {
  std::tm fields{};
  return platform::UtcTime(SecondsOf(ns_since_1970), fields) ? TimeText(fields) : std::string{};
}

std::string OffsetDateText(uint64_t ns_since_1970, int16_t tz_offset_min, int16_t dst_offset_min) {
  std::tm fields{};
  return platform::UtcTime(ShiftedSeconds(ns_since_1970, tz_offset_min, dst_offset_min), fields) ? DateText(fields)
                                                                                                 : std::string{};
}

std::string OffsetTimeText(uint64_t ns_since_1970, int16_t tz_offset_min, int16_t dst_offset_min) {
  std::tm fields{};
  return platform::UtcTime(ShiftedSeconds(ns_since_1970, tz_offset_min, dst_offset_min), fields) ? TimeText(fields)
                                                                                                 : std::string{};
}

size_t Utf8CutPosition(const std::string& text, size_t max_bytes) {
  const auto is_continuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
  size_t cut = std::min(max_bytes, text.size());
  while (cut > 0 && cut < text.size() && is_continuation(text[cut])) {
    --cut;
  }
  return cut;
}

void TrimSpace(std::string& text) {
  constexpr const char* kBlanks = " \t\n\v\f\r";
  const auto last = text.find_last_not_of(kBlanks);
  if (last == std::string::npos) {
    text.clear();
    return;
  }
  text.erase(last + 1);
  text.erase(0, text.find_first_not_of(kBlanks));
}

int CompareNoCase(const std::string& a, const std::string& b) { return CompareNoCaseImpl(a, b, a.size(), b.size()); }

int CompareNoCaseN(const std::string& a, const std::string& b, size_t n) {
  return CompareNoCaseImpl(a, b, std::min(a.size(), n), std::min(b.size(), n));
}

std::string Latin1ToUtf8(const std::string& latin1) {
  std::string utf8;
  utf8.reserve(latin1.size());
  for (const char c : latin1) {
    AppendUtf8(utf8, static_cast<unsigned char>(c));
  }
  return utf8;
}

std::string WideToUtf8(const std::u16string& utf16) {
  std::string utf8;
  utf8.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (IsHighSurrogate(cp)) {
      if (i + 1 >= utf16.size() || !IsLowSurrogate(utf16[i + 1])) {
        throw std::range_error("UTF-16 high surrogate without a low surrogate");
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (IsLowSurrogate(cp)) {
      throw std::range_error("UTF-16 low surrogate without a high surrogate");
    }
    AppendUtf8(utf8, cp);
  }
  return utf8;
}

std::u16string Utf8ToWide(const std::string& utf8) {
  std::u16string utf16;
  utf16.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const Utf8Sequence sequence = DecodeUtf8(utf8, i);
    if (sequence.fault != nullptr) throw std::range_error(sequence.fault);
    char32_t cp = sequence.code_point;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      utf16.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      utf16.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      utf16.push_back(static_cast<char16_t>(cp));
    }
    i += sequence.length;
  }
  return utf16;
}

size_t Utf8ValidLength(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const Utf8Sequence sequence = DecodeUtf8(text, i);
    if (sequence.fault != nullptr) break;
    i += sequence.length;
  }
  return i;
}

int OpenFileUtf8(std::FILE*& file, const std::string& utf8_name, const std::string& utf8_mode) {
  file = nullptr;
  // An embedded NUL would silently open a different, shorter name.
  if (utf8_name.find('\0') != std::string::npos || utf8_mode.find('\0') != std::string::npos) {
    return EINVAL;
  }
  // POSIX file names are bytes, so the UTF-8 name is passed as it is.
  errno = 0;
  file = std::fopen(utf8_name.c_str(), utf8_mode.c_str());
  if (file != nullptr) return 0;
  return errno != 0 ? errno : EINVAL;
}

}  // namespace mdf
