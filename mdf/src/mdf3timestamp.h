#pragma once
// The start time of an MDF 3 header in MDF 3 terms: date and time texts, a local-time
// timestamp, the UTC offset in hours, the time quality and the timer's name. The header
// reads and writes these fields itself; this class fills them from a time.
#include <cstdint>
#include <string>

#include "mdf/imdftimestamp.h"
#include "mdfblock.h"

namespace mdf::detail {

class Mdf3Timestamp : public IMdfTimestamp, public MdfBlock {
 public:
  /// The kind of the MDF 3 start time, whatever it was set from.
  static constexpr int kMdf3TimeType = 2;

  /// By the kind of the argument: UTC, local clock time or explicit offsets; any other kind
  /// changes nothing.
  void SetTime(const ITimestamp& timestamp) override;
  /// UTC ns since 1970, shown in the local time zone.
  void SetTime(uint64_t time_ns) override;
  /// The stored timestamp: ns since 1970 in local time.
  [[nodiscard]] uint64_t GetTimeNs() const override { return timestamp_; }
  [[nodiscard]] int16_t GetTzOffsetMin() const override { return static_cast<int16_t>(utc_offset_ * 60); }
  [[nodiscard]] int16_t GetDstOffsetMin() const override { return 0; }
  [[nodiscard]] int GetTimeType() const override { return kMdf3TimeType; }
  /// Local time.
  [[nodiscard]] uint8_t GetTimeFlags() const override { return 1; }

  /// The header reads the fields itself: nothing to read here.
  size_t Read(std::streambuf& /* buffer */) override { return 0; }
  /// The header writes the fields itself; a block of its own would be a stray header.
  size_t Write(std::streambuf& /* buffer */) override { return 0; }

  /// "%d:%m:%Y".
  [[nodiscard]] const std::string& Date() const { return date_; }
  void Date(const std::string& date) { date_ = date; }
  /// "%H:%M:%S".
  [[nodiscard]] const std::string& Time() const { return time_; }
  void Time(const std::string& time) { time_ = time; }
  [[nodiscard]] uint64_t Timestamp() const { return timestamp_; }
  void Timestamp(uint64_t local_ns) { timestamp_ = local_ns; }
  /// Hours east of UTC.
  [[nodiscard]] int16_t UtcOffset() const { return utc_offset_; }
  void UtcOffset(int16_t hours) { utc_offset_ = hours; }
  [[nodiscard]] uint16_t TimeQuality() const { return time_quality_; }
  void TimeQuality(uint16_t quality) { time_quality_ = quality; }
  [[nodiscard]] const std::string& TimerId() const { return timer_id_; }
  void TimerId(const std::string& timer_id) { timer_id_ = timer_id; }

 private:
  /// Time quality and timer name of a time taken from the local PC clock.
  void SetLocalPcTimer();

  std::string date_;
  std::string time_;
  uint64_t timestamp_ = 0;
  int16_t utc_offset_ = 0;
  uint16_t time_quality_ = 0;
  std::string timer_id_;
};

}  // namespace mdf::detail
