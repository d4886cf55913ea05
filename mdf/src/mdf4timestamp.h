#pragma once
// The 13-byte MDF4 time record inside the header and file-history blocks: ns since 1970,
// time-zone and DST offsets in minutes, and flags (bit 0 local time, bit 1 offsets valid).
#include <string>

#include "mdf/imdftimestamp.h"
#include "mdfblock.h"

namespace mdf::detail {

class Mdf4Timestamp : public IMdfTimestamp, public MdfBlock {
 public:
  static constexpr uint8_t kLocalTime = 0x01;
  static constexpr uint8_t kOffsetsValid = 0x02;

  /// A RecordedTimestamp is taken whole, flags and offsets as they are. Throws "Unknown
  /// timestamp type" for another kind; the time is taken even then.
  void SetTime(const ITimestamp& timestamp) override;
  void SetTime(uint64_t time_ns) override;
  [[nodiscard]] uint64_t GetTimeNs() const override { return time_; }
  [[nodiscard]] int16_t GetTzOffsetMin() const override { return tz_offset_; }
  [[nodiscard]] int16_t GetDstOffsetMin() const override { return dst_offset_; }
  [[nodiscard]] int GetTimeType() const override;
  [[nodiscard]] uint8_t GetTimeFlags() const override { return flags_; }
  [[nodiscard]] uint8_t Flags() const { return flags_; }

  /// Four rows: "ISO Time", "TZ Offset [min]", "DST Offset [min]", "Time Flags".
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Reads the 13 bytes at the stream position and remembers where they are.
  size_t Read(std::streambuf& buffer) override;
  /// Writes the 13 bytes in place when the record has a position, else here.
  size_t Write(std::streambuf& buffer) override;

  /// "2020-09-13 14:26:40 + 123456789 ns[GMT+1, DST+1h]": the clock time moved by the offsets.
  [[nodiscard]] std::string ToIsoText() const;

 private:
  uint64_t time_ = 0;
  int16_t tz_offset_ = 0;
  int16_t dst_offset_ = 0;
  uint8_t flags_ = 0;
};

}  // namespace mdf::detail
