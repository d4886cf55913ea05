// The MDF 3 start time from UTC, local clock and offset times, in fixed time zones.
#include <gtest/gtest.h>

#include "mdf3timestamp.h"
#include "support/scopedtz.h"

using mdf::detail::Mdf3Timestamp;

namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;
constexpr uint64_t kNsPerMinute = 60 * kNsPerSecond;
// 2020-07-01 12:00:00 UTC, a summer day.
constexpr uint64_t kSummerNoon = 1'593'604'800 * kNsPerSecond;
// 2020-01-01 00:00:00 UTC.
constexpr uint64_t kNewYear = 1'577'836'800 * kNsPerSecond;
// Central Europe with its daylight-saving rule, independent of installed zone data.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

struct UtcCase {
  const char* zone;
  uint64_t ns;
  const char* date;
  const char* time;
  int64_t standard_offset_min;
};

TEST(Mdf3Timestamp, UtcTimeShownInTheLocalZone) {
  const UtcCase cases[] = {
      {"UTC0", kSummerNoon, "01:07:2020", "12:00:00", 0},
      // The text shows summer time; the timestamp and offset keep the standard offset.
      {kCentralEurope, kSummerNoon, "01:07:2020", "14:00:00", 60},
      {kCentralEurope, kNewYear, "01:01:2020", "01:00:00", 60},
      // Offsets of half hours are cut to whole hours.
      {"<+0530>-5:30", kNewYear, "01:01:2020", "05:30:00", 330},
  };
  for (const auto& c : cases) {
    test::ScopedTz zone(c.zone);
    for (const bool through_interface : {false, true}) {
      Mdf3Timestamp stamp;
      if (through_interface) {
        stamp.SetTime(mdf::UtcTimestamp(c.ns));
      } else {
        stamp.SetTime(c.ns);
      }
      EXPECT_EQ(stamp.Date(), c.date) << c.zone;
      EXPECT_EQ(stamp.Time(), c.time) << c.zone;
      EXPECT_EQ(stamp.GetTimeNs(), c.ns + static_cast<uint64_t>(c.standard_offset_min) * kNsPerMinute) << c.zone;
      EXPECT_EQ(stamp.UtcOffset(), c.standard_offset_min / 60) << c.zone;
      EXPECT_EQ(stamp.GetTzOffsetMin(), c.standard_offset_min / 60 * 60) << c.zone;
      EXPECT_EQ(stamp.GetDstOffsetMin(), 0);
      EXPECT_EQ(stamp.GetTimeType(), 2);
      EXPECT_EQ(stamp.TimeQuality(), 0);
      EXPECT_EQ(stamp.TimerId(), "Local PC Reference Time");
    }
  }
}

TEST(Mdf3Timestamp, LocalClockTimeIsPrintedAsItStands) {
  test::ScopedTz zone("<+0530>-5:30");  // no daylight saving: nothing is taken off
  Mdf3Timestamp stamp;
  stamp.SetTime(mdf::LocalTimestamp(kSummerNoon));
  EXPECT_EQ(stamp.Date(), "01:07:2020");
  EXPECT_EQ(stamp.Time(), "12:00:00");
  EXPECT_EQ(stamp.GetTimeNs(), kSummerNoon);
  EXPECT_EQ(stamp.UtcOffset(), 5);
  EXPECT_EQ(stamp.TimerId(), "Local PC Reference Time");
}

TEST(Mdf3Timestamp, ExplicitOffsets) {
  test::ScopedTz zone(kCentralEurope);  // the local zone plays no part
  Mdf3Timestamp stamp;
  stamp.SetTime(mdf::TimezoneTimestamp(kNewYear, 90, 60));
  EXPECT_EQ(stamp.UtcOffset(), 1);
  EXPECT_EQ(stamp.GetTimeNs(), kNewYear + 5'400'000'000'000);
  EXPECT_EQ(stamp.Date(), "01:01:2020");
  EXPECT_EQ(stamp.Time(), "02:30:00");  // both offsets move the printed time

  stamp.SetTime(mdf::TimezoneTimestamp(kNewYear, -150, 0));
  EXPECT_EQ(stamp.UtcOffset(), -2);
  EXPECT_EQ(stamp.GetTimeNs(), kNewYear - 150 * kNsPerMinute);
  EXPECT_EQ(stamp.Date(), "31:12:2019");
  EXPECT_EQ(stamp.Time(), "21:30:00");
}

TEST(Mdf3Timestamp, OtherKindsChangeNothing) {
  class Other : public mdf::ITimestamp {
   public:
    [[nodiscard]] uint64_t GetTimeNs() const override { return 42; }
    [[nodiscard]] int16_t GetTzOffsetMin() const override { return 60; }
    [[nodiscard]] int16_t GetDstOffsetMin() const override { return 0; }
    [[nodiscard]] uint64_t GetUtcTimeNs() const override { return 42; }
  };
  Mdf3Timestamp stamp;
  stamp.SetTime(Other());
  EXPECT_EQ(stamp.GetTimeNs(), 0U);
  EXPECT_EQ(stamp.Date(), "");
  EXPECT_EQ(stamp.TimerId(), "");
  EXPECT_EQ(stamp.GetTimeType(), 2);
}

}  // namespace
