// MDF 3 channel groups and sample reductions: the two block sizes, the record layout for
// writing, the in-place rewrite of the record count, and the reduction data.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cg3block.h"
#include "dg3block.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "sr3block.h"
#include "support/logcapture.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"
#include "support/thrown.h"

namespace {

using mdf::detail::Cg3Block;
using mdf::detail::Dg3Block;
using mdf::detail::Sr3Block;
using namespace test;  // the test kit

Mdf3Bytes CgBlock(bool big_endian, uint16_t size, uint32_t first_sr, uint16_t record_size = 4, uint32_t records = 6) {
  Mdf3Bytes bytes(big_endian);
  bytes.Header("CG", size).U32(0).U32(0).U32(0).U16(7).U16(0).U16(record_size).U32(records);
  if (size >= 30) bytes.U32(first_sr);
  return bytes;
}

TEST(Cg3Block, ThirtyAndTwentySixByteBlocks) {
  for (const bool big_endian : kBothByteOrders) {
    SCOPED_TRACE(big_endian);
    Mdf3Parent parent(big_endian);
    // The 30-byte block links its reduction, which follows it.
    Mdf3Bytes image = CgBlock(big_endian, 30, 30);
    image.Raw(Mdf3Bytes(big_endian).Header("SR", 24).U32(0).U32(0).U32(2).F64(0.5).Data());
    MemoryBuffer buffer(image.Data());
    Cg3Block group;
    group.AttachToParent(&parent);
    EXPECT_EQ(group.Read(buffer), 30u);
    EXPECT_EQ(group.RecordId(), 7u);
    EXPECT_EQ(group.RecordSize(), 4);
    EXPECT_EQ(group.NofSamples(), 6u);
    EXPECT_EQ(group.Link(3), 30);
    group.ReadSrList(buffer);
    ASSERT_EQ(group.Sr3List().size(), 1u);
    EXPECT_EQ(group.Sr3List()[0]->NofSamples(), 2u);
    EXPECT_DOUBLE_EQ(group.Sr3List()[0]->Interval(), 0.5);

    // The 26-byte block has three links; what follows is not read as one.
    Mdf3Bytes short_image = CgBlock(big_endian, 26, 0);
    short_image.U32(26);
    MemoryBuffer short_buffer(short_image.Data());
    Cg3Block old_group;
    old_group.AttachToParent(&parent);
    EXPECT_EQ(old_group.Read(short_buffer), 26u);
    EXPECT_EQ(old_group.Links().size(), 3u);
    old_group.ReadSrList(short_buffer);
    EXPECT_TRUE(old_group.Sr3List().empty());
  }
}

TEST(Cg3Block, ChannelsArePackedByteAligned) {
  Cg3Block group;
  std::vector<mdf::IChannel*> channels;
  for (const uint32_t bits : {12u, 1u, 16u}) {
    channels.push_back(group.CreateChannel());
    channels.back()->BitCount(bits);
  }
  group.PrepareForWriting();
  EXPECT_EQ(channels[0]->ByteOffset(), 0u);
  EXPECT_EQ(channels[1]->ByteOffset(), 2u);
  EXPECT_EQ(channels[2]->ByteOffset(), 3u);
  EXPECT_EQ(group.RecordSize(), 5);
  EXPECT_EQ(group.SampleBuffer(), std::vector<uint8_t>(5, 0));
  EXPECT_EQ(group.NofChannels(), 3);
}

TEST(Cg3Block, ARecordBeyondSixteenBitsIsRefused) {
  Cg3Block group;
  for (int i = 0; i < 2; ++i) group.CreateChannel()->BitCount(8 * 40000);
  EXPECT_EQ(ThrownText([&] { group.PrepareForWriting(); }),
            "The record does not fit an MDF 3 channel group. Size: 80000");
}

TEST(Cg3Block, RewritingChangesOnlyTheRecordCount) {
  MemoryBuffer buffer(std::string(5, 'x'));
  Cg3Block group;
  group.RecordId(3);
  group.Write(buffer);
  const std::vector<uint8_t> first = buffer.Bytes();
  EXPECT_EQ(first.size(), 35u);
  group.NofSamples(7);
  group.Write(buffer);
  std::vector<uint8_t> expected = first;
  expected[5 + 22] = 7;
  EXPECT_EQ(buffer.Bytes(), expected);
}

TEST(Cg3Block, AReductionWrittenLaterIsLinkedInPlace) {
  MemoryBuffer buffer(std::string(4, 'x'));  // position 0 would be a block not written
  Cg3Block group;
  group.Write(buffer);
  group.AddSampleReduction(std::make_unique<Sr3Block>());
  group.Write(buffer);
  ASSERT_EQ(buffer.Bytes().size(), 4u + 30 + 24);
  EXPECT_EQ(buffer.Bytes()[4 + 26], 34);
  EXPECT_EQ(group.Link(3), 34);
}

TEST(Cg3Block, AShortFileBlockIsNotPatchedBeyondItsEnd) {
  // Bytes 26 to 29 of a 26-byte block belong to the next block.
  Mdf3Bytes image = CgBlock(false, 26, 0);
  image.Raw("NEXT");
  MemoryBuffer buffer(Bytes().Raw("pad").Raw(image.Data()));
  mdf::detail::SetStreamPosition(buffer, 3);
  Cg3Block group;
  group.Read(buffer);
  group.AddSampleReduction(std::make_unique<Sr3Block>());
  LogCapture log;
  group.Write(buffer);
  const std::vector<uint8_t>& bytes = buffer.Bytes();
  EXPECT_EQ(std::string(bytes.begin() + 3 + 26, bytes.begin() + 3 + 30), "NEXT");
  EXPECT_TRUE(log.Contains("The channel group has no link to sample reductions."));
}

TEST(Cg3Block, InterfaceOfAGroupWithoutName) {
  Cg3Block group;
  group.PathSeparator('.');
  EXPECT_EQ(group.PathSeparator(), '/');
  group.Name("ignored");
  EXPECT_EQ(group.Name(), "");
  group.RecordId(0x12345);
  EXPECT_EQ(group.RecordId(), 0x2345u);
  EXPECT_EQ(group.GetXChannel(*group.CreateChannel()), nullptr);
  mdf::IChannel* time = group.CreateChannel();
  time->ChannelType(mdf::kMasterChannel);
  EXPECT_EQ(group.GetXChannel(*time), time);
}

TEST(Cg3Block, ACommentIsWrittenOnceItsLinkIsFree) {
  MemoryBuffer buffer(std::string(4, 'x'));
  Cg3Block group;
  group.Description("first");
  group.Write(buffer);
  const size_t size = buffer.Bytes().size();
  EXPECT_EQ(size, 4u + 30 + 4 + 5 + 1);
  group.Description("second");
  group.Write(buffer);
  EXPECT_EQ(buffer.Bytes().size(), size);
  EXPECT_EQ(group.Description(), "second");
}

class ReductionData : public testing::TestWithParam<bool> {};

TEST_P(ReductionData, ThreeRecordsPerReducedSample) {
  const bool big_endian = GetParam();
  // A 2-byte record, two reduced samples: 6 records at the data link.
  Mdf3Bytes image = CgBlock(big_endian, 30, 30, 2, 10);
  image.Raw(Mdf3Bytes(big_endian).Header("SR", 24).U32(0).U32(54).U32(2).F64(1.0).Data());
  for (const uint16_t value : {10, 5, 15, 20, 18, 22}) image.U16(value);
  MemoryBuffer buffer(image.Data());
  Mdf3Parent parent(big_endian);
  Cg3Block group;
  group.AttachToParent(&parent);
  group.Read(buffer);
  mdf::IChannel* channel = group.CreateChannel();
  channel->BitCount(16);
  channel->DataType(big_endian ? mdf::kUnsignedBe : mdf::kUnsignedLe);
  group.ReadSrList(buffer);
  group.LoadSrData(buffer);
  const Sr3Block& reduction = *group.Sr3List().at(0);
  EXPECT_EQ(reduction.ReductionData().size(), 12u);
  mdf::SrValue<uint64_t> value;
  reduction.GetChannelValue(*channel, 1, 0, value);
  EXPECT_EQ(value.mean_value, 20u);
  EXPECT_EQ(value.min_value, 18u);
  EXPECT_EQ(value.max_value, 22u);
  EXPECT_TRUE(value.mean_valid && value.min_valid && value.max_valid);
  mdf::SrValue<double> beyond;
  beyond.mean_value = -1.0;
  reduction.GetChannelValue(*channel, 2, 0, beyond);
  EXPECT_FALSE(beyond.mean_valid);
  EXPECT_EQ(beyond.mean_value, -1.0);

  group.ResetSampleCounter();  // drops the reduction data
  mdf::SrValue<int64_t> untouched;
  untouched.max_value = 99;
  reduction.GetChannelValue(*channel, 0, 0, untouched);
  EXPECT_EQ(untouched.max_value, 99);
  EXPECT_FALSE(untouched.max_valid);
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, ReductionData, testing::ValuesIn(kBothByteOrders),
                         [](const auto& row) { return row.param ? "BigEndian" : "LittleEndian"; });

TEST(Sr3Block, ACountBeyondTheFileLoadsWhatTheFileHolds) {
  Mdf3Bytes image = CgBlock(false, 30, 30, 4, 1);
  image.Raw(Mdf3Bytes(false).Header("SR", 24).U32(0).U32(54).U32(0xFFFFFFFF).F64(1.0).Data());
  image.Zeros(24);
  MemoryBuffer buffer(image.Data());
  Cg3Block group;
  group.Read(buffer);
  group.ReadSrList(buffer);
  LogCapture log;
  group.LoadSrData(buffer);
  EXPECT_EQ(group.Sr3List().at(0)->ReductionData().size(), 24u);
  EXPECT_TRUE(log.Contains("Sample reduction data lies beyond the end of the file."));
}

TEST(Sr3Block, WrittenOnce) {
  MemoryBuffer buffer(std::string(2, 'x'));
  Sr3Block reduction;
  reduction.NofSamples(3);
  reduction.Interval(0.25);
  EXPECT_EQ(reduction.Write(buffer), 24u);
  EXPECT_EQ(buffer.Bytes(),
            std::vector<uint8_t>(Mdf3Bytes(false).Raw("xx").Header("SR", 24).U32(0).U32(0).U32(3).F64(0.25)));
  reduction.Write(buffer);
  EXPECT_EQ(buffer.Bytes().size(), 26u);
  EXPECT_EQ(reduction.SyncType(), 1);
}

}  // namespace
