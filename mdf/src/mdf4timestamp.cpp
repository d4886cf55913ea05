#include "mdf4timestamp.h"

#include <cstdlib>
#include <ctime>

#include "platformshim.h"

namespace mdf::detail {

namespace {

constexpr uint64_t kNsPerSec = 1'000'000'000;

void AppendPadded(std::string& text, int64_t value, size_t width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (digits.size() < width) {
    digits.insert(0, width - digits.size(), '0');
  }
  if (value < 0) {
    text.push_back('-');
  }
  text += digits;
}

// "%Y-%m-%d %H:%M:%S" of UTC seconds, made by hand so that no locale takes part.
std::string UtcDateTimeText(int64_t seconds) {
  std::tm fields{};
  if (!platform::UtcTime(seconds, fields)) {
    return {};
  }
  std::string text;
  AppendPadded(text, static_cast<int64_t>(fields.tm_year) + 1900, 4);
  text.push_back('-');
  AppendPadded(text, fields.tm_mon + 1, 2);
  text.push_back('-');
  AppendPadded(text, fields.tm_mday, 2);
  text.push_back(' ');
  AppendPadded(text, fields.tm_hour, 2);
  text.push_back(':');
  AppendPadded(text, fields.tm_min, 2);
  text.push_back(':');
  AppendPadded(text, fields.tm_sec, 2);
  return text;
}

}  // namespace

void Mdf4Timestamp::SetTime(const ITimestamp& timestamp) {
  time_ = timestamp.GetTimeNs();
  if (dynamic_cast<const UtcTimestamp*>(&timestamp) != nullptr) {
    flags_ = 0;
    tz_offset_ = 0;
    dst_offset_ = 0;
  } else if (dynamic_cast<const LocalTimestamp*>(&timestamp) != nullptr) {
    flags_ = kLocalTime;
    tz_offset_ = 0;
    dst_offset_ = 0;
  } else if (dynamic_cast<const TimezoneTimestamp*>(&timestamp) != nullptr) {
    flags_ = kOffsetsValid;
    tz_offset_ = timestamp.GetTzOffsetMin();
    dst_offset_ = timestamp.GetDstOffsetMin();
  } else if (const auto* recorded = dynamic_cast<const RecordedTimestamp*>(&timestamp); recorded != nullptr) {
    flags_ = recorded->GetTimeFlags();
    tz_offset_ = recorded->GetTzOffsetMin();
    dst_offset_ = recorded->GetDstOffsetMin();
  } else {
    throw MdfRuntimeError("Unknown timestamp type");
  }
}

void Mdf4Timestamp::SetTime(uint64_t time_ns) {
  time_ = time_ns;
  tz_offset_ = 0;
  dst_offset_ = 0;
  flags_ = 0;
}

int Mdf4Timestamp::GetTimeType() const {
  if ((flags_ & kOffsetsValid) != 0) {
    return 3;
  }
  return (flags_ & kLocalTime) != 0 ? 1 : 0;
}

void Mdf4Timestamp::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  dest.emplace_back("ISO Time", ToIsoText());
  dest.emplace_back("TZ Offset [min]", std::to_string(tz_offset_));
  dest.emplace_back("DST Offset [min]", std::to_string(dst_offset_));
  std::string flags = (flags_ & kLocalTime) != 0 ? "Local" : "UTC";
  flags += (flags_ & kOffsetsValid) != 0 ? ",Offset" : ",No Offset";
  dest.emplace_back("Time Flags", flags);
}

size_t Mdf4Timestamp::Read(std::streambuf& buffer) {
  file_position_ = GetStreamPosition(buffer);
  ReadNumber(buffer, time_);
  ReadValue(buffer, tz_offset_);
  ReadValue(buffer, dst_offset_);
  ReadByte(buffer, flags_);
  return 13;
}

size_t Mdf4Timestamp::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    SetStreamPosition(buffer, file_position_);
  } else {
    file_position_ = GetStreamPosition(buffer);
  }
  WriteNumber(buffer, time_);
  WriteValue(buffer, tz_offset_);
  WriteValue(buffer, dst_offset_);
  WriteByte(buffer, flags_);
  return 13;
}

std::string Mdf4Timestamp::ToIsoText() const {
  // In 100-ns units, signed: a negative offset may move a small time before 1970.
  const int64_t ticks =
      static_cast<int64_t>(time_ / 100) + (static_cast<int64_t>(tz_offset_) + dst_offset_) * 600'000'000;
  std::string text = UtcDateTimeText(ticks / 10'000'000);
  text += " + " + std::to_string(time_ % kNsPerSec) + " ns";
  if ((flags_ & kOffsetsValid) != 0) {
    text += "[GMT";
    text += tz_offset_ >= 0 ? "+" : "-";
    text += std::to_string(std::abs(tz_offset_ / 60));
    text += ", ";
    text += dst_offset_ <= 0 ? "no DST]" : "DST+" + std::to_string(dst_offset_ / 60) + "h]";
  } else if ((flags_ & kLocalTime) != 0) {
    text += " [Local]";
  }
  return text;
}

}  // namespace mdf::detail
