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

}  // namespace mdf
