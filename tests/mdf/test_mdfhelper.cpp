#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "mdf/itimestamp.h"
#include "mdf/mdfhelper.h"
#include "support/scopedtz.h"
#include "support/tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kSec = 1'000'000'000;
constexpr const char* kCet = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kCetAlwaysSummer = "CET-1CEST,0/0,J365/25";  // "now" is always DST

using test::ScopedTz;

constexpr int kUtc = -2;  // isdst value that makes Ns() read the fields as UTC

// Calendar fields to ns: as local time with the given DST flag, or as UTC.
uint64_t Ns(int y, int mo, int d, int h, int mi, int s, int isdst = -1) {
  std::tm f{};
  f.tm_year = y - 1900;
  f.tm_mon = mo - 1;
  f.tm_mday = d;
  f.tm_hour = h;
  f.tm_min = mi;
  f.tm_sec = s;
  f.tm_isdst = isdst == kUtc ? 0 : isdst;
  return static_cast<uint64_t>(isdst == kUtc ? timegm(&f) : std::mktime(&f)) * kSec;
}
uint64_t UtcNs(int y, int mo, int d, int h, int mi, int s) { return Ns(y, mo, d, h, mi, s, kUtc); }

TEST(HelperCanOpenDate, DecodesYearBytesAroundTheCenturySplit) {
  ScopedTz tz("UTC");
  // 0xB043 = 45,123 ms within the minute.
  const uint64_t ns69 = mdf::DecodeCanOpenDate({0x43, 0xB0, 30, 12, 15, 6, 69});
  EXPECT_EQ(ns69, UtcNs(2069, 6, 15, 12, 30, 45) + 123'000'000);
  EXPECT_EQ(mdf::DecodeCanOpenDate({0, 0, 0, 0, 15, 6, 70}), UtcNs(1970, 6, 15, 0, 0, 0));
  // Bits outside the field masks, weekday bits included, are ignored.
  EXPECT_EQ(mdf::DecodeCanOpenDate({0x43, 0xB0, 0xC0 | 30, 0x60 | 12, 0xE0 | 15, 0xC0 | 6, 0x80 | 69}), ns69);
  EXPECT_EQ(mdf::DecodeCanOpenDate({1, 2, 3, 4, 5, 6}), 0u);  // too short
  EXPECT_EQ(mdf::DecodeCanOpenTime({1, 2, 3, 4, 5}), 0u);
}

TEST(HelperCanOpenDate, EncodesFieldsAndSundayAsSeven) {
  ScopedTz tz("UTC");
  // 2023-01-01 is a Sunday; 30.456 s within the minute is 30456 = 0x76F8 ms.
  const uint64_t sunday = UtcNs(2023, 1, 1, 10, 20, 30) + 456'000'000;
  EXPECT_EQ(mdf::EncodeCanOpenDate(sunday), (Bytes{0xF8, 0x76, 20, 10, (7 << 5) | 1, 1, 23}));
  EXPECT_EQ(mdf::EncodeCanOpenDate(UtcNs(2023, 1, 2, 0, 0, 0))[4], (1 << 5) | 2);  // Monday
}

TEST(HelperCanOpenDate, RoundTripsWithTheSummerFlagUnderCet) {
  ScopedTz tz(kCet);
  const uint64_t summer = Ns(2023, 7, 15, 14, 5, 7) + 250'000'000;
  EXPECT_EQ(mdf::EncodeCanOpenDate(summer)[3], 0x80 | 14);
  EXPECT_EQ(mdf::EncodeCanOpenDate(Ns(2023, 1, 15, 14, 5, 7))[3], 14);
  // 02:30 local occurs twice on 2023-10-29; only the flag tells the two apart.
  for (const uint64_t ns :
       {summer, Ns(2023, 1, 15, 14, 5, 7), UtcNs(2023, 10, 29, 0, 30, 0), UtcNs(2023, 10, 29, 1, 30, 0)}) {
    EXPECT_EQ(mdf::DecodeCanOpenDate(mdf::EncodeCanOpenDate(ns)), ns);
  }
}

TEST(HelperCanOpenTime, CountsFromLocalStandardMidnight1984) {
  ScopedTz tz(kCet);
  EXPECT_EQ(mdf::EncodeCanOpenTime(Ns(1984, 1, 2, 0, 0, 0)), (Bytes{0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(mdf::DecodeCanOpenTime({0, 0, 0, 0, 0, 0}), UtcNs(1983, 12, 31, 23, 0, 0));
  // 86,399,999 ms (0x05265BFF) on day 258 (0x0102), little-endian.
  EXPECT_EQ(mdf::DecodeCanOpenTime({0xFF, 0x5B, 0x26, 0x05, 0x02, 0x01}),
            Ns(1984, 1, 1, 0, 0, 0) + (258ull * 86'400 + 86'399) * kSec + 999'000'000);
  for (const uint64_t ns : {Ns(2023, 7, 15, 12, 0, 0) + 123'000'000, Ns(2023, 1, 15, 23, 59, 59) + 999'000'000}) {
    EXPECT_EQ(mdf::DecodeCanOpenTime(mdf::EncodeCanOpenTime(ns + 456)), ns);  // whole ms kept
  }
  // No representation before the epoch: clamped, not wrapped.
  EXPECT_EQ(mdf::EncodeCanOpenTime(0), Bytes(6, 0));
  EXPECT_EQ(mdf::EncodeCanOpenTime(Ns(1984, 1, 1, 0, 0, 0) - 1'000'000), Bytes(6, 0));
}

TEST(HelperTimeOffsets, StandardOffsetExcludesDaylightSaving) {
  const struct {
    const char* tz;
    int64_t dst_hours;  // -1: depends on today's date
    int64_t offset_hours;
  } zones[] = {{"UTC", 0, 0}, {kCetAlwaysSummer, 1, 1}, {kCet, -1, 1}, {"EST5", 0, -5}};
  for (const auto& zone : zones) {
    ScopedTz tz(zone.tz);
    if (zone.dst_hours >= 0) {
      EXPECT_EQ(mdf::DstOffsetNs(), zone.dst_hours * 3'600 * kSec) << zone.tz;
    }
    EXPECT_EQ(mdf::LocalUtcOffsetNs(), zone.offset_hours * 3'600 * kSec) << zone.tz;
  }
}

TEST(TimestampLocal, SubtractsZoneAndDaylightOffsets) {
  ScopedTz tz(kCetAlwaysSummer);
  const mdf::LocalTimestamp local(UtcNs(2023, 7, 15, 14, 0, 0));
  EXPECT_EQ(local.GetTzOffsetMin(), 60);
  EXPECT_EQ(local.GetDstOffsetMin(), 60);
  EXPECT_EQ(local.GetUtcTimeNs(), UtcNs(2023, 7, 15, 12, 0, 0));
  EXPECT_EQ(mdf::LocalTimestamp(1'000).GetUtcTimeNs(), 0u);  // saturates, no wrap
}

TEST(HelperDateText, FormatsLocalUtcAndOffsetTime) {
  ScopedTz tz(kCet);
  const uint64_t ns = 1'600'000'000'123'456'789;  // 2020-09-13 12:26:40 UTC
  EXPECT_EQ(mdf::UtcDateText(ns) + " " + mdf::UtcTimeText(ns), "13:09:2020 12:26:40");
  EXPECT_EQ(mdf::LocalDateText(ns) + " " + mdf::LocalTimeText(ns), "13:09:2020 14:26:40");
  EXPECT_EQ(mdf::OffsetTimeText(ns, 60, 60), "14:26:40");
  EXPECT_EQ(mdf::OffsetDateText(ns, -780, 0) + " " + mdf::OffsetTimeText(ns, -780, 0), "12:09:2020 23:26:40");
  // The sum leaves the int16 range: 60,000 min = 41 d 16 h.
  EXPECT_EQ(mdf::OffsetDateText(ns, 30'000, 30'000) + " " + mdf::OffsetTimeText(ns, 30'000, 30'000),
            "25:10:2020 04:26:40");
}

TEST(HelperFormatNumber, MatchesTable) {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    uint8_t decimals;
    bool fixed;
    const char* unit;
    const char* expected;
  } cases[] = {
      {2.0, 6, false, "", "2"},
      {2.5, 6, false, "V", "2.5 V"},
      {2.5, 0, false, "", "3"},
      {-2.5, 0, false, "", "-2"},  // half up
      {1e15, 6, false, "", "1E+15"},
      {1e-7, 6, false, "", "0"},
      {0.125, 2, false, "", "0.12"},  // printf: exact binary value, ties to even
      {1234567.25, 2, false, "", "1.23457E+06"},
      {-12345.678, 2, false, "", "-12345.7"},
      {-12345.678, 2, true, "", "-12345.70"},  // "%G" text padded to n decimals
      {2.0, 3, true, "", "2.000"},
      {0.0001234, 1, true, "", "0.0"},
      {0.5, 0, true, "", "1"},
      {1.0 / 3, 255, false, "", "0.33333333333333331483"},  // at most 20 decimals
      {kNan, 6, false, "", "nan"},
      {kNan, 0, false, "", "nan"},
      {kInf, 6, false, "", "inf"},
      {-kInf, 0, false, "", "-inf"},
      {-1e19, 0, false, "", "-1E+19"},
      {9.3e18, 0, false, "", "9.3E+18"},
      {1e300, 6, false, "", "1E+300"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mdf::FormatNumberText(c.value, c.decimals, c.fixed, c.unit), c.expected)
        << c.value << " decimals " << int{c.decimals} << (c.fixed ? " fixed" : "");
  }
}

TEST(HelperFormatNumber, IgnoresProcessLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
    GTEST_SKIP() << "no de_DE.UTF-8 locale installed";
  }
  const std::string texts = mdf::FormatNumberText(2.5, 6) + " " + mdf::FormatNumberText(1.5e15, 6);
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(texts, "2.5 1.5E+15");
}

TEST(HelperText, TrimsAndComparesAscii) {
  std::string text = " \t\n\v\f\ra b\r\n";
  mdf::TrimSpace(text);
  EXPECT_EQ(text, "a b");
  text = " \t \r\n";
  mdf::TrimSpace(text);
  EXPECT_EQ(text, "");

  EXPECT_EQ(mdf::CompareNoCase("Hello", "hELLO"), 0);
  EXPECT_LT(mdf::CompareNoCase("abc", "ABD"), 0);
  EXPECT_GT(mdf::CompareNoCase("ab", "A"), 0);
  EXPECT_LT(mdf::CompareNoCase("[", "a"), 0);        // folds to lower case, as strcasecmp
  EXPECT_NE(mdf::CompareNoCase("\xC4", "\xE4"), 0);  // Latin-1 letters are not folded
  EXPECT_EQ(mdf::CompareNoCaseN("ABCx", "abcY", 3), 0);
  EXPECT_LT(mdf::CompareNoCaseN("ab", "abc", 3), 0);
}

TEST(HelperUnicode, CutsOnlyAtCodePointBoundaries) {
  const std::string text =
      "ab\xE2\x82\xAC"
      "c";  // a, b, the euro sign (3 bytes), c
  const size_t expected[] = {0, 1, 2, 2, 2, 5, 6, 6};
  for (size_t max = 0; max < 8; ++max) EXPECT_EQ(mdf::Utf8CutPosition(text, max), expected[max]) << max;
}

TEST(HelperUnicode, ConvertsAndRejectsInvalidInput) {
  EXPECT_EQ(mdf::Latin1ToUtf8("A\x80\xE4\xFF"), "A\xC2\x80\xC3\xA4\xC3\xBF");
  const std::string utf8 = "A\xC3\xA4\xE2\x82\xAC\xEF\xBF\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
  const std::u16string utf16 = u"A\u00E4\u20AC\uFFFF\U0001F600\U0010FFFF";
  EXPECT_EQ(mdf::WideToUtf8(utf16), utf8);
  EXPECT_EQ(mdf::Utf8ToWide(utf8), utf16);

  for (const std::u16string& bad :
       {std::u16string{0xD83D}, std::u16string{0xD83D, u'A'}, std::u16string{0xDE00, 0xD83D}}) {
    EXPECT_THROW((void)mdf::WideToUtf8(bad), std::range_error);
  }
  // Stray continuation, invalid lead, overlong (2 and 3 bytes), surrogate, above
  // U+10FFFF, truncated, bad continuation.
  for (const char* bad :
       {"\x80", "\xFF", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\xE2\x28\xA1"}) {
    EXPECT_THROW((void)mdf::Utf8ToWide(bad), std::range_error) << bad;
  }
}

TEST(HelperOpenFile, OpensByUtf8NameAndReportsErrno) {
  const test::TempDir temp;
  const auto& dir = temp.Dir();
  const std::string name = (dir / "d\xC3\xA4t\xC3\xA4.txt").string();

  std::FILE* file = nullptr;
  ASSERT_EQ(mdf::OpenFileUtf8(file, name, "w"), 0);
  ASSERT_NE(file, nullptr);
  std::fputs("x", file);
  std::fclose(file);
  EXPECT_EQ(std::filesystem::file_size(name), 1u);

  file = reinterpret_cast<std::FILE*>(&file);  // a stale handle must be cleared
  EXPECT_EQ(mdf::OpenFileUtf8(file, (dir / "missing").string(), "r"), ENOENT);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(mdf::OpenFileUtf8(file, name + std::string(1, '\0') + "x", "r"), EINVAL);
}

}  // namespace
