// Channel groups and data groups with their channel blocks: record layout, channel lists,
// links set on writing, and reading records into observers of real channels.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ca4block.h"
#include "cg4block.h"
#include "channelobserver.h"
#include "cn4block.h"
#include "dg4block.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

namespace {

using mdf::detail::Cg4Block;
using mdf::detail::ChannelObserver;
using mdf::detail::Cn4Block;
using mdf::detail::Dg4Block;
using test::Bytes;
using test::CgBlock;
using test::CgFields;
using test::CnFields;
using test::FileImage;

Cn4Block& AddChannel(Cg4Block& group, const std::string& name, uint8_t data_type, uint32_t bits) {
  auto& channel = dynamic_cast<Cn4Block&>(*group.CreateChannel());
  channel.Name(name);
  channel.DataType(data_type);
  channel.BitCount(bits);
  return channel;
}

TEST(GroupChannels, PrepareForWritingPacksTheRecord) {
  Cg4Block group;
  auto& first = AddChannel(group, "a", 0, 64);
  auto& second = AddChannel(group, "b", 0, 8);
  auto* array = dynamic_cast<mdf::detail::Ca4Block*>(second.CreateChannelArray());
  ASSERT_NE(array, nullptr);
  array->SetShape({4});
  auto& third = AddChannel(group, "c", 0, 16);
  first.Flags(0x02);
  second.Flags(0x02);
  array->SetShape({5});  // five invalidation bits for the array
  third.Flags(0x02);
  group.PrepareForWriting();
  EXPECT_EQ(first.ByteOffset(), 0U);
  EXPECT_EQ(second.ByteOffset(), 8U);
  EXPECT_EQ(third.ByteOffset(), 13U);
  EXPECT_EQ(group.NofDataBytes(), 15U);
  EXPECT_EQ(first.InvalidationBitPosition(), 0U);
  EXPECT_EQ(second.InvalidationBitPosition(), 1U);
  EXPECT_EQ(third.InvalidationBitPosition(), 6U);
  EXPECT_EQ(group.NofInvalidBytes(), 1U) << "1 + 5 + 1 bits";
  EXPECT_EQ(group.SampleBuffer().size(), 16U);

  array->SetShape({4});
  group.PrepareForWriting();
  EXPECT_EQ(third.ByteOffset(), 12U) << "8 + 1 x 4 + 2 bytes: offsets 0, 8, 12";
  EXPECT_EQ(group.NofDataBytes(), 14U);
  AddChannel(group, "d", 0, 8).Flags(0x02);
  AddChannel(group, "e", 0, 8).Flags(0x02);
  AddChannel(group, "f", 0, 8).Flags(0x02);
  group.PrepareForWriting();
  EXPECT_EQ(group.NofInvalidBytes(), 2U) << "9 invalidation bits";
}

TEST(GroupChannels, ChannelListsAndLookUps) {
  Cg4Block group;
  auto& time = AddChannel(group, "t", 4, 64);
  auto& frame = AddChannel(group, "CAN_DataFrame", 10, 64);
  auto* member = frame.CreateChannelComposition();
  member->Name("CAN_DataFrame.ID");
  member->CreateChannelComposition()->Name("CAN_DataFrame.ID.Ext");
  auto& master = AddChannel(group, "Timestamp", 4, 64);
  master.ChannelType(2);

  std::vector<std::string> names;
  for (const auto* channel : group.Channels()) names.push_back(channel->Name());
  EXPECT_EQ(names,
            (std::vector<std::string>{"t", "CAN_DataFrame", "CAN_DataFrame.ID", "CAN_DataFrame.ID.Ext", "Timestamp"}));
  EXPECT_EQ(group.Cn4List().size(), 3U);
  EXPECT_EQ(group.GetChannel(".ID"), member);
  EXPECT_EQ(group.GetOrCreateChannel("t"), &time);
  EXPECT_EQ(group.GetXChannel(time), &master) << "no default X: the master";
  EXPECT_EQ(time.RecordId(), group.RecordId());

  EXPECT_EQ(group.VlsdChannel(), nullptr);
  frame.ChannelType(1);
  EXPECT_EQ(group.VlsdChannel(), &frame);
  frame.VlsdRecordId(5);
  EXPECT_EQ(group.VlsdChannel(), nullptr);
  EXPECT_EQ(group.VlsdChannelByRecordId(5), &frame);
}

TEST(GroupChannels, WritingLinksDataLengthAndVlsdGroups) {
  test::MemoryBuffer buffer(std::vector<uint8_t>(64, 0));
  Dg4Block data_group;
  auto& first = dynamic_cast<Cg4Block&>(*data_group.CreateChannelGroup());
  auto& owner = dynamic_cast<Cg4Block&>(*data_group.CreateChannelGroup());
  auto& vlsd = dynamic_cast<Cg4Block&>(*data_group.CreateChannelGroup());
  vlsd.Flags(Cg4Block::kVlsdFlag);
  AddChannel(first, "x", 0, 8);
  auto& length = AddChannel(owner, "CAN_DataFrame.DataLength", 0, 8);
  auto& bytes = AddChannel(owner, "CAN_DataFrame.DataBytes", 10, 64);
  bytes.ChannelType(5);
  auto& payload = AddChannel(owner, "CAN_DataFrame.Payload", 10, 64);
  payload.ChannelType(1);
  payload.VlsdRecordId(3);
  ASSERT_EQ(owner.RecordId(), 2U);
  ASSERT_EQ(vlsd.RecordId(), 3U);
  data_group.Write(buffer);

  EXPECT_GT(length.FilePosition(), 0);
  EXPECT_EQ(bytes.DataLink(), length.FilePosition()) << "the maximum-length channel's length";
  EXPECT_EQ(payload.DataLink(), vlsd.FilePosition()) << "the owner's VLSD channel leads to the VLSD group";
  // Patched in the file too.
  EXPECT_EQ(test::HeaderAt(buffer.Bytes(), payload.FilePosition()).links[5], vlsd.FilePosition());
  EXPECT_EQ(test::HeaderAt(buffer.Bytes(), bytes.FilePosition()).links[5], length.FilePosition());
  EXPECT_EQ(data_group.FindParentChannelGroup(payload), &owner) << "found by identity";
  EXPECT_EQ(data_group.FindParentChannelGroup(vlsd), &vlsd);
}

TEST(GroupChannels, UnwrittenChannelsFindTheirOwnGroup) {
  Dg4Block data_group;
  auto& first = dynamic_cast<Cg4Block&>(*data_group.CreateChannelGroup());
  auto& second = dynamic_cast<Cg4Block&>(*data_group.CreateChannelGroup());
  AddChannel(first, "a", 0, 8);
  auto& b = AddChannel(second, "b", 0, 8);
  EXPECT_EQ(data_group.FindParentChannelGroup(b), &second);
  Cn4Block stranger;
  EXPECT_EQ(data_group.FindParentChannelGroup(stranger), nullptr);
}

// A data group of a fixed group (id 1) and its VLSD group (id 2). The fixed record: a u16
// master, the offset of a text in the VLSD group, the offset of bytes in signal data, a u8
// with an invalidation bit, a u8 whose data link leads nowhere; one invalidation byte.
FileImage ObservedFile() {
  const auto channel = [](uint8_t type, uint8_t data_type, uint32_t byte_offset, uint32_t bits, int64_t next) {
    CnFields cn;
    cn.links[0] = next;
    cn.type = type;
    cn.data_type = data_type;
    cn.byte_offset = byte_offset;
    cn.bit_count = bits;
    return cn;
  };
  CnFields master = channel(2, 0, 0, 16, 560);
  CnFields text = channel(1, 7, 2, 32, 720);
  text.links[5] = 232;
  CnFields bytes = channel(1, 10, 6, 32, 880);
  bytes.links[5] = 1232;
  CnFields flagged = channel(0, 0, 10, 8, 1040);
  flagged.flags = 0x02;
  CnFields ghost = channel(0, 0, 11, 8, 0);
  ghost.links[2] = 1200;
  ghost.links[5] = 5000;

  FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1272, 0, 1));
  image.Place(128, CgBlock(CgFields().Next(232).FirstCn(400).Id(1).Cycles(2).DataBytes(12).InvalidBytes(1)));
  image.Place(232, CgBlock(CgFields().Id(2).Cycles(2).Flags(1).DataBytes(5)));
  image.Place(400, test::ChannelBlock(master));
  image.Place(560, test::ChannelBlock(text));
  image.Place(720, test::ChannelBlock(bytes));
  image.Place(880, test::ChannelBlock(flagged));
  image.Place(1040, test::ChannelBlock(ghost));
  image.Place(1200, test::TextBlock("Ghost"));
  image.Place(1232, test::PlainBlock("##SD", Bytes().U32(2).Raw("hi").U32(3).Raw("xyz")));
  image.Place(1272, test::PlainBlock("##DT", Bytes()
                                                 .U8(1)
                                                 .U16(0x0102)
                                                 .U32(0)
                                                 .U32(0)
                                                 .U8(7)
                                                 .U8(9)
                                                 .U8(0)
                                                 .U8(2)
                                                 .U32(2)
                                                 .Raw("ab")
                                                 .U8(1)
                                                 .U16(0x0304)
                                                 .U32(6)
                                                 .U32(6)
                                                 .U8(8)
                                                 .U8(10)
                                                 .U8(1)
                                                 .U8(2)
                                                 .U32(3)
                                                 .Raw("cde")));
  return image;
}

TEST(GroupChannels, ObserversOfRealChannels) {
  test::LoadedGroup file(ObservedFile());
  Dg4Block& data_group = file.group;
  test::MemoryBuffer& buffer = file.buffer;
  for (const auto& group : data_group.Cg4List()) group->ReadCnList(buffer);
  auto& fixed = *data_group.Cg4List()[0];
  ASSERT_EQ(fixed.Cn4List().size(), 5U);
  const auto channel = [&fixed](size_t index) -> Cn4Block& { return *fixed.Cn4List()[index]; };
  channel(1).VlsdRecordId(2);  // as the header resolves a data link to a channel group

  test::LogCapture log;
  {
    ChannelObserver<uint16_t> master(data_group, fixed, channel(0));
    ChannelObserver<std::string> text(data_group, fixed, channel(1));
    ChannelObserver<std::vector<uint8_t>> bytes(data_group, fixed, channel(2));
    ChannelObserver<uint8_t> flagged(data_group, fixed, channel(3));
    ChannelObserver<uint8_t> ghost(data_group, fixed, channel(4));
    data_group.ReadData(buffer);

    uint64_t number = 0;
    std::string value;
    std::vector<uint8_t> array;
    EXPECT_TRUE(master.GetSampleUnsigned(1, number, 0));
    EXPECT_EQ(number, 0x0304U);
    EXPECT_TRUE(text.GetSampleText(0, value, 0));
    EXPECT_EQ(value, "ab");
    EXPECT_TRUE(text.GetSampleText(1, value, 0));
    EXPECT_EQ(value, "cde");
    EXPECT_TRUE(bytes.GetSampleByteArray(1, array));
    EXPECT_EQ(array, (std::vector<uint8_t>{'x', 'y', 'z'}));
    EXPECT_TRUE(bytes.GetSampleByteArray(0, array));
    EXPECT_EQ(array, (std::vector<uint8_t>{'h', 'i'}));
    EXPECT_TRUE(flagged.GetSampleUnsigned(0, number, 0));
    EXPECT_FALSE(flagged.GetSampleUnsigned(1, number, 0)) << "invalidation bit set";
    EXPECT_EQ(number, 8U);
    EXPECT_TRUE(ghost.GetSampleUnsigned(1, number, 0));
    EXPECT_EQ(number, 10U);
  }
  EXPECT_TRUE(channel(2).SignalData().empty()) << "the signal data is released after the read";
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "Missing data block in channel. Channel :Ghost, Data Link: 5000");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kDebug);
  EXPECT_EQ(log.entries[0].location.function, "ReadData");
  EXPECT_TRUE(data_group.SampleObservers().empty());
}

TEST(GroupChannels, ObserverBuffersAreCappedByTheData) {
  // A damaged cycle count claims 2^40 records; the data holds two.
  FileImage image;
  image.Place(64, test::DgBlock(0, 128, 400, 0, 0));
  image.Place(128, CgBlock(CgFields().FirstCn(232).Id(0).Cycles(uint64_t{1} << 40).DataBytes(4)));
  CnFields cn;
  cn.bit_count = 32;
  image.Place(232, test::ChannelBlock(cn));
  image.Place(400, test::PlainBlock("##DT", Bytes().U32(11).U32(22)));
  test::LoadedGroup file(image);
  Dg4Block& data_group = file.group;
  test::MemoryBuffer& buffer = file.buffer;
  auto& group = *data_group.Cg4List()[0];
  group.ReadCnList(buffer);
  ChannelObserver<uint32_t> observer(data_group, group, *group.Cn4List()[0]);
  EXPECT_EQ(observer.NofSlots(), 2U);
  data_group.ReadData(buffer);
  uint64_t value = 0;
  EXPECT_TRUE(observer.GetSampleUnsigned(1, value, 0));
  EXPECT_EQ(value, 22U);
  EXPECT_EQ(observer.NofSamples(), uint64_t{1} << 40) << "the group's count is still reported";
}

TEST(GroupChannels, ReadChannelListAndFindByPosition) {
  test::LoadedGroup file(ObservedFile());
  Dg4Block& data_group = file.group;
  test::MemoryBuffer& buffer = file.buffer;
  auto& group = *data_group.Cg4List()[0];
  group.ReadCnList(buffer);
  group.ReadCnList(buffer);  // read once
  EXPECT_EQ(group.Cn4List().size(), 5U);
  EXPECT_EQ(group.Cn4List()[4]->Name(), "Ghost");
  EXPECT_EQ(data_group.FindByPosition(880), group.Cn4List()[3].get());
  EXPECT_EQ(data_group.FindByPosition(1232)->BlockType(), "SD");
  EXPECT_EQ(data_group.FindByPosition(232), data_group.Cg4List()[1].get());
  EXPECT_EQ(data_group.FindParentChannelGroup(*group.Cn4List()[2]), &group);
}

TEST(GroupChannels, CyclicChannelChainEnds) {
  FileImage image;
  image.Place(64, CgBlock(CgFields().FirstCn(232)));
  image.Place(232, test::MemberChannel(392));
  image.Place(392, test::MemberChannel(232));
  test::MemoryBuffer buffer(image.Data());
  Cg4Block group;
  mdf::detail::SetStreamPosition(buffer, 64);
  group.Read(buffer);
  test::LogCapture log;
  group.ReadCnList(buffer);
  EXPECT_EQ(group.Cn4List().size(), 2U);
  EXPECT_TRUE(log.Contains("Stopped reading a cyclic block chain."));
}

}  // namespace

namespace {

TEST(GroupChannels, SignalDataIsReleasedWhenTheReadFails) {
  auto broken = test::Deflated(Bytes().U32(3).Raw("xyz").Data());
  broken[broken.size() / 2] ^= 0x44;
  CnFields first;
  first.links[0] = 392;
  first.links[5] = 560;
  first.type = 1;
  first.data_type = 10;
  first.bit_count = 32;
  CnFields second = first;
  second.links[0] = 0;
  second.links[5] = 600;
  second.byte_offset = 4;
  FileImage image;
  image.Place(64, test::DgBlock(0, 128, 700, 0, 0));
  image.Place(128, CgBlock(CgFields().FirstCn(232).Id(0).Cycles(1).DataBytes(8)));
  image.Place(232, test::ChannelBlock(first));
  image.Place(392, test::ChannelBlock(second));
  image.Place(560, test::PlainBlock("##SD", Bytes().U32(2).Raw("hi")));
  image.Place(600, test::ZippedBlock("SD", 0, 0, 7, broken));
  image.Place(700, test::PlainBlock("##DT", Bytes().U32(0).U32(0)));
  test::LoadedGroup file(image);
  Dg4Block& data_group = file.group;
  test::MemoryBuffer& buffer = file.buffer;
  auto& group = *data_group.Cg4List()[0];
  group.ReadCnList(buffer);
  ChannelObserver<std::vector<uint8_t>> good(data_group, group, *group.Cn4List()[0]);
  ChannelObserver<std::vector<uint8_t>> bad(data_group, group, *group.Cn4List()[1]);
  EXPECT_THROW(data_group.ReadData(buffer), std::runtime_error);
  EXPECT_TRUE(group.Cn4List()[0]->SignalData().empty()) << "loaded signal data does not outlive a failed read";
}

}  // namespace
