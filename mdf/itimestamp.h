#pragma once
#include <cstdint>

namespace mdf {

/// A point in time as nanoseconds since 1970-01-01 00:00:00 UTC.
class ITimestamp {
 public:
  virtual ~ITimestamp() = default;
  /// The time in ns since 1970 as this kind keeps it.
  [[nodiscard]] virtual uint64_t GetTimeNs() const = 0;
  [[nodiscard]] virtual int16_t GetTzOffsetMin() const = 0;
  [[nodiscard]] virtual int16_t GetDstOffsetMin() const = 0;
  [[nodiscard]] virtual uint64_t GetUtcTimeNs() const = 0;
};

class UtcTimestamp : public ITimestamp {
 public:
  explicit UtcTimestamp(uint64_t utc_ns) : time_ns_(utc_ns) {}
  [[nodiscard]] uint64_t GetTimeNs() const override { return time_ns_; }
  [[nodiscard]] int16_t GetTzOffsetMin() const override { return 0; }
  [[nodiscard]] int16_t GetDstOffsetMin() const override { return 0; }
  [[nodiscard]] uint64_t GetUtcTimeNs() const override { return time_ns_; }

 private:
  uint64_t time_ns_;
};

/// A time given as local clock time (ns since 1970 as read off the local clock).
class LocalTimestamp : public ITimestamp {
 public:
  explicit LocalTimestamp(uint64_t local_ns);
  [[nodiscard]] uint64_t GetTimeNs() const override { return time_ns_; }
  [[nodiscard]] int16_t GetTzOffsetMin() const override;
  [[nodiscard]] int16_t GetDstOffsetMin() const override;
  [[nodiscard]] uint64_t GetUtcTimeNs() const override;

 private:
  uint64_t time_ns_;
};

/// A UTC time with explicit time-zone and daylight-saving offsets in minutes.
class TimezoneTimestamp : public ITimestamp {
 public:
  TimezoneTimestamp(uint64_t utc_ns, int16_t tz_offset_min, int16_t dst_offset_min)
      : time_ns_(utc_ns), tz_offset_min_(tz_offset_min), dst_offset_min_(dst_offset_min) {}
  [[nodiscard]] uint64_t GetTimeNs() const override { return time_ns_; }
  [[nodiscard]] int16_t GetTzOffsetMin() const override { return tz_offset_min_; }
  [[nodiscard]] int16_t GetDstOffsetMin() const override { return dst_offset_min_; }
  [[nodiscard]] uint64_t GetUtcTimeNs() const override { return time_ns_; }

 private:
  uint64_t time_ns_;
  int16_t tz_offset_min_;
  int16_t dst_offset_min_;
};

/// A time record as a file holds it: the ns count, both offsets and the time flags, every bit
/// kept, for a copy of one file's start into another's. Its ns count on the clock the flags
/// name (local time when bit 0 is set, whose zone is not known), so GetUtcTimeNs gives them
/// as they are: the times that count from it are on the same clock.
class RecordedTimestamp : public ITimestamp {
 public:
  RecordedTimestamp(uint64_t time_ns, int16_t tz_offset_min, int16_t dst_offset_min, uint8_t time_flags)
      : time_ns_(time_ns), tz_offset_min_(tz_offset_min), dst_offset_min_(dst_offset_min), time_flags_(time_flags) {}
  [[nodiscard]] uint64_t GetTimeNs() const override { return time_ns_; }
  [[nodiscard]] int16_t GetTzOffsetMin() const override { return tz_offset_min_; }
  [[nodiscard]] int16_t GetDstOffsetMin() const override { return dst_offset_min_; }
  [[nodiscard]] uint64_t GetUtcTimeNs() const override { return time_ns_; }
  [[nodiscard]] uint8_t GetTimeFlags() const { return time_flags_; }

 private:
  uint64_t time_ns_;
  int16_t tz_offset_min_;
  int16_t dst_offset_min_;
  uint8_t time_flags_;
};

}  // namespace mdf
