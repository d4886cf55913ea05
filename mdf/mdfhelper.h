#pragma once
// Time and text utilities shared by the MDF library and its users; the number texts
// (FormatNumberText among them) come from numbertext.h.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mdf/numbertext.h"

namespace mdf {

/// Current system time in ns since 1970 (UTC).
uint64_t CurrentTimeNs();

/// CANopen date (7 bytes, local time). Fewer than 7 bytes decode to 0.
uint64_t DecodeCanOpenDate(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> EncodeCanOpenDate(uint64_t ns_since_1970);
/// CANopen time (uint32 ms since midnight, uint16 days since 1984-01-01 local).
/// Fewer than 6 bytes decode to 0; times before the epoch encode as 0.
uint64_t DecodeCanOpenTime(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> EncodeCanOpenTime(uint64_t ns_since_1970);

/// 3,600,000,000,000 when daylight-saving time is in effect now, else 0.
int64_t DstOffsetNs();
/// The standard (non-DST) local offset from UTC now, in ns, positive east.
int64_t LocalUtcOffsetNs();

std::string LocalDateText(uint64_t ns_since_1970);  // "%d:%m:%Y"
std::string LocalTimeText(uint64_t ns_since_1970);  // "%H:%M:%S"
std::string UtcDateText(uint64_t ns_since_1970);
std::string UtcTimeText(uint64_t ns_since_1970);
std::string OffsetDateText(uint64_t ns_since_1970, int16_t tz_offset_min, int16_t dst_offset_min);
std::string OffsetTimeText(uint64_t ns_since_1970, int16_t tz_offset_min, int16_t dst_offset_min);

void TrimSpace(std::string& text);
/// The longest length of at most `max_bytes` that ends on a UTF-8 code-point boundary, so a
/// text cut there keeps no broken sequence.
size_t Utf8CutPosition(const std::string& text, size_t max_bytes);
int CompareNoCase(const std::string& a, const std::string& b);
int CompareNoCaseN(const std::string& a, const std::string& b, size_t n);

std::string Latin1ToUtf8(const std::string& latin1);
/// Throw std::range_error on invalid input (unpaired surrogates, bad UTF-8).
std::string WideToUtf8(const std::u16string& utf16);
std::u16string Utf8ToWide(const std::string& utf8);
/// The length of the longest start of the text that is valid UTF-8 (scalar values in their
/// shortest form): the text's size when all of it is. The check of every text an MDF 4 file
/// holds.
size_t Utf8ValidLength(const std::string& text);

/// Opens a file by UTF-8 name; returns errno (0 on success). `file` is null on failure.
int OpenFileUtf8(std::FILE*& file, const std::string& utf8_name, const std::string& utf8_mode);

}  // namespace mdf
