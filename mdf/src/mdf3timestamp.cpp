#include "mdf3timestamp.h"

#include "mdf/mdfhelper.h"

namespace mdf::detail {

namespace {

constexpr int64_t kNsPerHour = 3'600'000'000'000;
constexpr int64_t kNsPerMinute = 60'000'000'000;

// The offset is signed, the times are not: the sum is taken in 64-bit two's complement,
// so a time just after 1970 west of Greenwich wraps as the stored field would.
uint64_t Shifted(uint64_t ns, int64_t offset_ns) { return ns + static_cast<uint64_t>(offset_ns); }

int16_t OffsetHours(int64_t offset_ns) { return static_cast<int16_t>(offset_ns / kNsPerHour); }

}  // namespace

void Mdf3Timestamp::SetLocalPcTimer() {
  time_quality_ = 0;
  timer_id_ = "Local PC Reference Time";
}

void Mdf3Timestamp::SetTime(uint64_t time_ns) {
  date_ = LocalDateText(time_ns);
  time_ = LocalTimeText(time_ns);
  const int64_t offset = LocalUtcOffsetNs();
  timestamp_ = Shifted(time_ns, offset);
  utc_offset_ = OffsetHours(offset);
  SetLocalPcTimer();
}

void Mdf3Timestamp::SetTime(const ITimestamp& timestamp) {
  const uint64_t ns = timestamp.GetTimeNs();
  if (dynamic_cast<const UtcTimestamp*>(&timestamp) != nullptr) {
    SetTime(ns);
  } else if (dynamic_cast<const LocalTimestamp*>(&timestamp) != nullptr) {
    // Local clock time is printed as it stands.
    date_ = UtcDateText(ns);
    time_ = UtcTimeText(ns);
    timestamp_ = Shifted(ns, -DstOffsetNs());
    utc_offset_ = OffsetHours(LocalUtcOffsetNs());
    SetLocalPcTimer();
  } else if (dynamic_cast<const TimezoneTimestamp*>(&timestamp) != nullptr) {
    const int16_t tz_offset = timestamp.GetTzOffsetMin();
    const int16_t dst_offset = timestamp.GetDstOffsetMin();
    date_ = OffsetDateText(ns, tz_offset, dst_offset);
    time_ = OffsetTimeText(ns, tz_offset, dst_offset);
    timestamp_ = Shifted(ns, tz_offset * kNsPerMinute);
    utc_offset_ = static_cast<int16_t>(tz_offset / 60);
    SetLocalPcTimer();
  }
}

}  // namespace mdf::detail
