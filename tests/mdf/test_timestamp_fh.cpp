// The 13-byte MDF4 time record and the file-history block that embeds it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "fh4block.h"
#include "mdf/imetadata.h"
#include "mdf/mdfhelper.h"
#include "mdf4timestamp.h"
#include "support/memorybuffer.h"
#include "support/rows.h"
#include "support/scopedtz.h"

using mdf::LocalTimestamp;
using mdf::TimezoneTimestamp;
using mdf::UtcTimestamp;
using mdf::detail::Fh4Block;
using mdf::detail::Mdf4Timestamp;
using test::Bytes;
using test::MemoryBuffer;
using test::RowValue;

namespace {

constexpr uint64_t kTime = 1'600'000'000'123'456'789ULL;

using ZoneGuard = test::ScopedTz;

class OtherTimestamp : public mdf::ITimestamp {
 public:
  uint64_t GetTimeNs() const override { return 5; }
  int16_t GetTzOffsetMin() const override { return 0; }
  int16_t GetDstOffsetMin() const override { return 0; }
  uint64_t GetUtcTimeNs() const override { return 5; }
};

TEST(Mdf4Timestamp, KindsAndDisplayTextInEveryZone) {
  for (const char* zone : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    ZoneGuard guard(zone);
    Mdf4Timestamp stamp;
    stamp.SetTime(kTime);
    EXPECT_EQ(stamp.Flags(), 0);
    EXPECT_EQ(stamp.GetTimeType(), 0);
    EXPECT_EQ(stamp.ToIsoText(), "2020-09-13 12:26:40 + 123456789 ns") << zone;

    stamp.SetTime(TimezoneTimestamp(kTime, 60, 60));
    EXPECT_EQ(stamp.Flags(), 2);
    EXPECT_EQ(stamp.GetTimeType(), 3);
    EXPECT_EQ(stamp.ToIsoText(), "2020-09-13 14:26:40 + 123456789 ns[GMT+1, DST+1h]") << zone;

    stamp.SetTime(TimezoneTimestamp(kTime, -300, 0));
    EXPECT_EQ(stamp.ToIsoText(), "2020-09-13 07:26:40 + 123456789 ns[GMT-5, no DST]") << zone;

    stamp.SetTime(LocalTimestamp(kTime));
    EXPECT_EQ(stamp.Flags(), 1);
    EXPECT_EQ(stamp.GetTimeType(), 1);
    EXPECT_EQ(stamp.GetTzOffsetMin(), 0);
    EXPECT_EQ(stamp.ToIsoText(), "2020-09-13 12:26:40 + 123456789 ns [Local]") << zone;

    stamp.SetTime(UtcTimestamp(kTime));
    EXPECT_EQ(stamp.Flags(), 0);
  }
}

TEST(Mdf4Timestamp, NegativeOffsetBeforeTheEpoch) {
  Mdf4Timestamp stamp;
  stamp.SetTime(TimezoneTimestamp(60'000'000'000ULL, -120, 0));  // 00:01 UTC, 2 h west
  EXPECT_EQ(stamp.ToIsoText(), "1969-12-31 22:01:00 + 0 ns[GMT-2, no DST]");
}

TEST(Mdf4Timestamp, UnknownKindThrowsAfterTakingTheTime) {
  Mdf4Timestamp stamp;
  stamp.SetTime(TimezoneTimestamp(kTime, 60, 0));
  try {
    stamp.SetTime(OtherTimestamp());
    ADD_FAILURE() << "nothing thrown";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Unknown timestamp type");
  }
  EXPECT_EQ(stamp.GetTimeNs(), 5U);
  EXPECT_EQ(stamp.Flags(), 2);
  EXPECT_EQ(stamp.GetTzOffsetMin(), 60);
}

TEST(Mdf4Timestamp, ReadRowsAndRewriteInPlace) {
  std::vector<uint8_t> bytes(1000, 0xEE);
  const std::vector<uint8_t> record = Bytes().U64(0).U16(60).U16(0).U8(2);
  bytes.insert(bytes.end(), record.begin(), record.end());
  bytes.resize(1100, 0xEE);
  MemoryBuffer buffer(bytes);
  buffer.pubseekpos(1000);
  Mdf4Timestamp stamp;
  EXPECT_EQ(stamp.Read(buffer), 13U);
  EXPECT_EQ(stamp.GetTimeNs(), 0U);
  EXPECT_EQ(stamp.GetTzOffsetMin(), 60);
  EXPECT_EQ(stamp.GetDstOffsetMin(), 0);
  EXPECT_EQ(stamp.FilePosition(), 1000);

  std::vector<mdf::BlockProperty> rows;
  stamp.GetBlockProperty(rows);
  ASSERT_EQ(rows.size(), 4U);
  test::ExpectRowValues(rows, {{"Time Flags", "UTC,Offset"},
                               {"TZ Offset [min]", "60"},
                               {"DST Offset [min]", "0"},
                               {"ISO Time", "1970-01-01 01:00:00 + 0 ns[GMT+1, no DST]"}});

  stamp.SetTime(TimezoneTimestamp(kTime, -90, 60));
  buffer.pubseekpos(0);
  EXPECT_EQ(stamp.Write(buffer), 13U);
  const std::vector<uint8_t> rewritten = Bytes().U64(kTime).U16(0xFFA6).U16(60).U8(2);
  std::copy(rewritten.begin(), rewritten.end(), bytes.begin() + 1000);
  EXPECT_EQ(buffer.Bytes(), bytes);
}

std::vector<uint8_t> FhBytes(int64_t comment, uint64_t time) {
  return Bytes()
      .Raw("##FH")
      .Zeros(4)
      .U64(56)
      .U64(2)
      .U64(0)
      .U64(static_cast<uint64_t>(comment))
      .U64(time)
      .U16(0)
      .U16(0)
      .U8(0)
      .Zeros(3);
}

TEST(Fh4Block, NewBlockIsNowInUtc) {
  const uint64_t before = mdf::CurrentTimeNs();
  Fh4Block block;
  const uint64_t after = mdf::CurrentTimeNs();
  EXPECT_GE(block.Time(), before);
  EXPECT_LE(block.Time(), after);
  EXPECT_EQ(block.GetTimestamp()->GetTimeType(), 0);
  const auto rows = test::Rows(block);
  EXPECT_EQ(RowValue(rows, "Time Flags"), "UTC,No Offset");
  EXPECT_EQ(block.BlockType(), "FH");
}

TEST(Fh4Block, WriteBlockThenComment) {
  MemoryBuffer buffer(std::string(2045, '\0'));
  Fh4Block block;
  block.SetTime(kTime);
  block.MakeMetaData()->SetElementValue("tool_id", "QX");
  EXPECT_EQ(block.Write(buffer), 56U);
  EXPECT_EQ(block.FilePosition(), 2048);
  EXPECT_EQ(block.GetTimestamp()->GetTimeNs(), kTime);

  const std::string xml = "<FHcomment>\n  <tool_id>QX</tool_id>\n</FHcomment>\n";
  auto expected = Bytes().Zeros(2048).Data();
  const auto fh = FhBytes(2104, kTime);
  expected.insert(expected.end(), fh.begin(), fh.end());
  const std::vector<uint8_t> md = Bytes().Raw("##MD").Zeros(4).U64(24 + xml.size() + 1).U64(0).Raw(xml).Zeros(1);
  expected.insert(expected.end(), md.begin(), md.end());
  EXPECT_EQ(buffer.Bytes(), expected);

  // A second write changes nothing, the time record included.
  block.SetTime(1);
  EXPECT_EQ(block.Write(buffer), 56U);
  EXPECT_EQ(buffer.Bytes(), expected);
}

TEST(Fh4Block, ReadWithAndWithoutComment) {
  const std::string xml =
      "<FHcomment><TX>created</TX><tool_id>QX</tool_id><tool_version>1.7</tool_version></FHcomment>";
  auto file = Bytes().Zeros(64).Data();
  const auto fh = FhBytes(120, kTime);
  file.insert(file.end(), fh.begin(), fh.end());
  const std::vector<uint8_t> md = Bytes().Raw("##MD").Zeros(4).U64(24 + xml.size() + 1).U64(0).Raw(xml).Zeros(1);
  file.insert(file.end(), md.begin(), md.end());
  MemoryBuffer buffer(file);
  buffer.pubseekpos(64);
  Fh4Block block;
  EXPECT_EQ(block.Read(buffer), 24U + 16U + 13U);
  EXPECT_EQ(block.Time(), kTime);
  EXPECT_EQ(block.Link(1), 120);
  ASSERT_NE(block.MetaData(), nullptr);
  EXPECT_EQ(block.CommentTx(), "created");
  EXPECT_EQ(block.ToolId(), "QX");
  EXPECT_EQ(block.ToolVendor(), "");
  EXPECT_EQ(block.ToolVersion(), "1.7");

  const auto rows = test::Rows(block);
  test::ExpectRowValues(
      rows, {{"Next FH", "0x0"}, {"Comment MD", "0x78"}, {"ISO Time", "2020-09-13 12:26:40 + 123456789 ns"}});
  EXPECT_EQ(RowValue(rows, "Tool ID"), "QX");  // The comment's own rows follow.

  auto bare_file = Bytes().Zeros(8).Data();
  const auto bare_fh = FhBytes(0, 7);
  bare_file.insert(bare_file.end(), bare_fh.begin(), bare_fh.end());
  MemoryBuffer bare(bare_file);
  bare.pubseekpos(8);
  Fh4Block plain;
  plain.Read(bare);
  EXPECT_EQ(plain.MetaData(), nullptr);
  EXPECT_EQ(plain.CommentTx(), "");
  EXPECT_EQ(plain.ToolId(), "");
  EXPECT_EQ(plain.MakeMetaData()->XmlText(), "<FHcomment/>\n");
}

}  // namespace
