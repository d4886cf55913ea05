// The MDF4 channel group block: layout with six and seven links, records as written, counts
// patched in place, display.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cg4block.h"
#include "dg4block.h"
#include "mdf/isourceinformation.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

namespace {

using mdf::detail::ByteArray;
using mdf::detail::Cg4Block;
using namespace test;  // the test kit

TEST(Cg4Block, ReadSixAndSevenLinks) {
  const auto text = Bytes().Raw("##TX").Zeros(4).U64(32).U64(0).Text("CAN", 8);
  const auto source = Bytes().Raw("##SI").Zeros(4).U64(56).U64(3).U64(0).U64(0).U64(0).U8(2).U8(2).U8(0).Zeros(5);
  FileImage image;
  image.Place(64,
              CgBlock(CgFields().Name(512).Source(600).Id(3).Cycles(1000).Flags(0x06).DataBytes(17).InvalidBytes(2)));
  image.Place(256,
              CgBlock(CgFields().Id(4).Cycles(5).Flags(0x09).DataBytes(0x12345678).InvalidBytes(1).SeventhLink(4096)));
  image.Place(512, text);
  image.Place(600, source);
  test::MemoryBuffer buffer(image.Data());

  Cg4Block plain;
  mdf::detail::SetStreamPosition(buffer, 64);
  EXPECT_EQ(plain.Read(buffer), 104U);
  EXPECT_EQ(plain.RecordId(), 3U);
  EXPECT_EQ(plain.NofSamples(), 1000U);
  EXPECT_EQ(plain.Flags(), 0x06);
  EXPECT_EQ(plain.PathSeparator(), '/');
  EXPECT_EQ(plain.NofDataBytes(), 17U);
  EXPECT_EQ(plain.NofInvalidBytes(), 2U);
  EXPECT_EQ(plain.Name(), "CAN");
  ASSERT_NE(plain.SourceInformation(), nullptr);
  EXPECT_EQ(plain.SourceInformation()->Bus(), 2U);

  Cg4Block seven;
  mdf::detail::SetStreamPosition(buffer, 256);
  EXPECT_EQ(seven.Read(buffer), 112U);
  EXPECT_EQ(seven.Links().size(), 7U);
  EXPECT_EQ(seven.Link(6), 4096);
  EXPECT_EQ(seven.RecordId(), 4U) << "the fields follow the seventh link";
  EXPECT_EQ(seven.NofSamples(), 5U);
  EXPECT_EQ(seven.NofDataBytes(), 0x12345678U);
  EXPECT_TRUE(seven.IsVlsd());
  EXPECT_EQ(seven.VlsdByteCount(), 0x112345678U);
}

TEST(Cg4Block, WriteNewLayouts) {
  for (const uint16_t flags : {uint16_t{0}, uint16_t{8}}) {
    test::MemoryBuffer buffer(std::vector<uint8_t>(64, 0));
    Cg4Block group;
    group.RecordId(0x0102);
    group.NofSamples(9);
    group.Flags(flags);
    group.NofDataBytes(14);
    group.NofInvalidBytes(1);
    const size_t expected = flags == 8 ? 112 : 104;
    EXPECT_EQ(group.Write(buffer), expected);
    EXPECT_EQ(group.FilePosition(), 64);
    Bytes golden;
    golden.Raw("##CG").Zeros(4).U64(expected).U64(expected == 112 ? 7 : 6).Zeros(8 * (expected == 112 ? 7 : 6));
    golden.U64(0x0102).U64(9).U16(flags).U16('/').Zeros(4).U32(14).U32(1);
    EXPECT_EQ(Slice(buffer.Bytes(), 64, expected), golden.Data()) << "flags " << flags;
  }
}

TEST(Cg4Block, NameAndCommentAreWrittenBeforeTheBlock) {
  test::MemoryBuffer buffer(std::vector<uint8_t>(64, 0));
  Cg4Block group;
  group.Name("CAN_DataFrame");
  group.Description("frames");
  group.CreateSourceInformation()->Name("CAN1");
  group.Write(buffer);
  EXPECT_EQ(group.Link(2), 64) << "name TX";
  EXPECT_GT(group.Link(3), 64) << "source";
  EXPECT_GT(group.Link(5), group.Link(3)) << "comment after the source";
  EXPECT_GT(group.FilePosition(), group.Link(5));
  EXPECT_EQ(group.Description(), "frames");
}

TEST(Cg4Block, RecordsAppendedToMemory) {
  Cg4Block group;
  group.RecordId(0x0102);
  ByteArray out;
  group.AppendSample(out, 2, {0xAA, 0xBB});
  EXPECT_EQ(out, (ByteArray{0x02, 0x01, 0xAA, 0xBB}));
  out.clear();
  group.AppendSample(out, 3, {0xCC});
  EXPECT_EQ(out, (ByteArray{0x02, 0x01, 0, 0, 0, 0, 0, 0, 0xCC})) << "any other size takes 8 bytes";
  out.clear();
  group.AppendSample(out, 0, {0xDD});
  EXPECT_EQ(out, (ByteArray{0xDD}));
  EXPECT_EQ(group.SampleCounter(), 3U);
  EXPECT_EQ(group.NofSamples(), 3U);
}

TEST(Cg4Block, VlsdRecordsAppendedToMemory) {
  Cg4Block group;
  group.Flags(Cg4Block::kVlsdFlag);
  group.RecordId(4);
  group.PrepareForWriting();
  ByteArray out;
  EXPECT_EQ(group.AppendVlsdSample(out, 1, ByteArray(10, 0x11)), 0U);
  EXPECT_EQ(group.AppendVlsdSample(out, 1, {1, 2, 3}), 14U);
  EXPECT_EQ(group.VlsdByteCount(), 13U);
  EXPECT_EQ(group.NofSamples(), 2U);
  EXPECT_EQ(Slice(out, 15, 8), (ByteArray{4, 3, 0, 0, 0, 1, 2, 3}));

  Cg4Block fixed;
  fixed.NofDataBytes(8);
  fixed.AddVlsdByteCount(5);
  EXPECT_EQ(fixed.NofDataBytes(), 8U) << "only a VLSD group has a byte count";
}

TEST(Cg4Block, RecordsWrittenToTheFile) {
  test::MemoryBuffer buffer;
  Cg4Block group;
  group.RecordId(0x0201);
  group.WriteSample(buffer, 2, {7, 8});
  group.WriteSample(buffer, 4, {9});
  EXPECT_EQ(buffer.Bytes(), (ByteArray{0x01, 0x02, 7, 8, 0x01, 0x02, 0, 0, 9}));
  EXPECT_EQ(group.NofSamples(), 2U);

  test::MemoryBuffer vlsd_buffer;
  Cg4Block vlsd;
  vlsd.Flags(Cg4Block::kVlsdFlag);
  vlsd.RecordId(2);
  EXPECT_EQ(vlsd.WriteVlsdSample(vlsd_buffer, 1, {5, 6}), 0U);
  EXPECT_EQ(vlsd.WriteVlsdSample(vlsd_buffer, 1, {}), 6U);
  EXPECT_EQ(vlsd_buffer.Bytes(), (ByteArray{2, 2, 0, 0, 0, 5, 6, 2, 0, 0, 0, 0}));
  EXPECT_EQ(vlsd.VlsdByteCount(), 2U);
}

TEST(Cg4Block, ShortWritesAreNotCounted) {
  test::MemoryBuffer buffer;
  buffer.SetCapacity(3);
  Cg4Block group;
  group.RecordId(1);
  test::LogCapture log;
  EXPECT_THROW(group.WriteSample(buffer, 1, {1, 2, 3, 4}), std::runtime_error);
  EXPECT_EQ(group.NofSamples(), 0U);
  EXPECT_EQ(group.SampleCounter(), 0U);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "Failed to write a sample data. Written : 2(4)");
  EXPECT_EQ(log.entries[0].location.function, "WriteSample");

  test::MemoryBuffer vlsd_buffer;
  vlsd_buffer.SetCapacity(6);
  Cg4Block vlsd;
  vlsd.Flags(Cg4Block::kVlsdFlag);
  EXPECT_THROW(vlsd.WriteVlsdSample(vlsd_buffer, 0, {1, 2, 3}), std::runtime_error);
  EXPECT_EQ(vlsd.NofSamples(), 0U);
  EXPECT_EQ(vlsd.VlsdByteCount(), 0U);
}

TEST(Cg4Block, VlsdByteCountOnlyForVlsdGroups) {
  Cg4Block fixed;
  fixed.NofDataBytes(8);
  fixed.AddVlsdByteCount(5);
  EXPECT_EQ(fixed.NofDataBytes(), 8U);
  fixed.AddCycleCount(3);
  fixed.AddCycleCount(4);
  EXPECT_EQ(fixed.NofSamples(), 7U);
}

TEST(Cg4Block, FlagsTextAndDisplayRows) {
  EXPECT_EQ(Cg4Block::FlagsToText(7), "VLSD,Bus Event,Plain");
  EXPECT_EQ(Cg4Block::FlagsToText(6), "Bus Event,Plain");
  EXPECT_EQ(Cg4Block::FlagsToText(8), "");

  Cg4Block group;
  group.RecordId(5);
  group.Flags(3);
  std::vector<mdf::BlockProperty> rows = test::Rows(group);
  const std::vector<std::string> expected = {"Header=",          "Address=0x0",
                                             "Type=CG",          "Length=0",
                                             "Links=0",          "=",
                                             "Links=",           "Next CG=0x0",
                                             "First CN=0x0",     "Name TX=0x0",
                                             "Source SI=0x0",    "Reduction SR=0x0",
                                             "Comment MD=0x0",   "=",
                                             "Information=",     "Nof Channels=0",
                                             "Nof SR=0",         "Record ID=5",
                                             "Nof Samples=0",    "Flags=VLSD,Bus Event",
                                             "Path Separator=/", "Data Bytes=0",
                                             "Invalid Bytes=0"};
  EXPECT_EQ(test::LabelValueTexts(rows), expected);
  group.PathSeparator(0);
  rows = test::Rows(group);
  EXPECT_EQ(rows[20].value, "");
}

}  // namespace
