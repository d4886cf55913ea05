// A channel's variable-length values: appending them while writing, taking values out of
// records and signal data (also damaged ones), text decoding, storing the signal data in
// SD, DZ and HL blocks and loading it back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cg4block.h"
#include "cn4block.h"
#include "damage.h"
#include "mdf/filedamage.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

using mdf::detail::Cn4Block;
using namespace test;  // the test kit

namespace {

std::vector<uint8_t> Le64(uint64_t value) { return Bytes().U64(value); }

// A VLSD text channel at byte offset 0 with 64 bits whose data link holds the signal data.
FileImage SignalDataImage(uint8_t data_type, const Bytes& data_block) {
  CnFields cn;
  cn.type = 1;
  cn.data_type = data_type;
  cn.bit_count = 64;
  cn.links[2] = 4096;
  cn.links[5] = 256;
  FileImage image;
  image.Place(64, ChannelBlock(cn)).Place(256, data_block).Place(4096, TextBlock("v"));
  return image;
}

// Entries "hello\0" at 0 and Latin-1 "w\xF6rld\0" at 10.
std::vector<uint8_t> TwoEntries() {
  return Bytes().U32(6).Raw(std::string("hello\0", 6)).U32(6).Raw(std::string("w\xF6rld\0", 6));
}

Cn4Block& LoadedChannel(TestHeader& header, MemoryBuffer& buffer) {
  auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
  channel.LoadSignalData(buffer);
  return channel;
}

TEST(Cn4SignalData, AppendVlsdData) {
  Cn4Block channel;
  EXPECT_EQ(channel.AppendVlsdData({'a', 'b', 'c'}), 0u);
  EXPECT_EQ(channel.SignalData().size(), 7u);
  EXPECT_EQ(channel.AppendVlsdData({}), 7u);
  EXPECT_EQ(channel.SignalData(), (std::vector<uint8_t>{3, 0, 0, 0, 'a', 'b', 'c', 0, 0, 0, 0}));

  channel.ChannelType(1);
  channel.DataType(7);
  channel.BitCount(64);
  std::string text = "stale";
  EXPECT_TRUE(channel.GetTextValue(Le64(0), text));
  EXPECT_EQ(text, "abc");
  EXPECT_TRUE(channel.GetTextValue(Le64(7), text));
  EXPECT_EQ(text, "") << "an empty entry at the very end";
  channel.ClearData();
  EXPECT_TRUE(channel.SignalData().empty());
}

TEST(Cn4SignalData, SettersAppendEntriesAndStoreOffsets) {
  TestGroupBlock group;
  group.record_id = 5;
  auto& channel = group.AddChannel();
  EXPECT_EQ(channel.ChannelGroup(), &group);
  EXPECT_EQ(channel.RecordId(), 5u);
  EXPECT_EQ(channel.CreateChannelComposition()->ChannelGroup(), &group) << "members share the group";
  channel.ChannelType(1);
  channel.DataType(7);
  channel.BitCount(64);
  channel.ByteOffset(2);
  group.SampleBuffer().assign(12, 0xEE);

  channel.SetTextValue("x", true);
  channel.SetTextValue("ab", true);
  const std::vector<uint8_t> expected = {2, 0, 0, 0, 'x', 0, 3, 0, 0, 0, 'a', 'b', 0};
  EXPECT_EQ(channel.SignalData(), expected);
  const auto& record = group.SampleBuffer();
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 2, record.begin() + 10), Le64(6));
  EXPECT_EQ(record[0], 0xEE);
  EXPECT_EQ(record[10], 0xEE);

  // Equal values are stored again; byte arrays get no terminating zero.
  channel.SetByteArrayValue({'a', 'b'}, true);
  EXPECT_EQ(channel.SignalData().size(), expected.size() + 6);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 2, record.begin() + 10), Le64(13));

  // Reading the record back through the signal data.
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(channel.GetByteArrayValue(record, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{'a', 'b'}));

  // A fixed-length text uses the field and keeps a terminating zero.
  auto& fixed = group.AddChannel();
  fixed.DataType(6);
  fixed.BitCount(32);
  fixed.ByteOffset(8);
  fixed.SetTextValue("abcdef", true);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 8, record.begin() + 12), (std::vector<uint8_t>{'a', 'b', 'c', 0}));
  EXPECT_TRUE(fixed.SignalData().empty());
}

TEST(Cn4SignalData, InvalidationBitsFollowTheDataBytes) {
  mdf::detail::Cg4Block group;
  auto& number = dynamic_cast<Cn4Block&>(*group.CreateChannel());
  number.DataType(0);
  number.BitCount(8);
  number.Flags(0x02);
  auto& text = dynamic_cast<Cn4Block&>(*group.CreateChannel());
  text.DataType(7);  // no size: becomes a VLSD channel with a 64-bit offset
  text.Flags(0x02);
  auto& plain = dynamic_cast<Cn4Block&>(*group.CreateChannel());
  plain.DataType(0);
  plain.BitCount(8);
  group.PrepareForWriting();
  ASSERT_EQ(group.NofDataBytes(), 10u);
  ASSERT_EQ(text.InvalidationBitPosition(), 1u);
  auto& record = group.SampleBuffer();
  ASSERT_EQ(record.size(), 11u);

  number.SetUnsignedValueLe(5, false, 0);
  EXPECT_EQ(record[0], 5);
  EXPECT_EQ(record[10], 0x01);
  number.SetValid(true, 0);
  EXPECT_EQ(record[10], 0x00);

  // The caller's validity reaches the record together with the entry's offset.
  text.SetTextValue("ab", false);
  EXPECT_EQ(record[10], 0x02);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 1, record.begin() + 9), Le64(0));
  text.SetTextValue("cd", true);
  EXPECT_EQ(record[10], 0x00);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 1, record.begin() + 9), Le64(7));

  // A VLSD channel without record bits keeps the entry but cannot point at it.
  text.BitCount(0);
  text.SetByteArrayValue({1, 2}, true);
  EXPECT_EQ(record[10], 0x02);
  EXPECT_EQ(text.SignalData().size(), 20u);

  std::vector<uint8_t> read(11, 0);
  read[10] = 0x01;
  EXPECT_FALSE(number.GetValid(read, 0)) << "bit 0 of the first invalidation byte set";
  EXPECT_TRUE(text.GetValid(read, 0));
  EXPECT_TRUE(number.GetValid(read, 1)) << "element 1 uses the next bit";
  EXPECT_TRUE(plain.GetValid(read, 0)) << "without flag bit 1 always valid";
  plain.SetValid(false, 0);
  EXPECT_EQ(record[10], 0x02) << "and nothing to set";
  EXPECT_TRUE(number.GetValid(std::vector<uint8_t>(10, 0xFF), 0)) << "a record without the byte";
}

TEST(Cn4SignalData, WithoutGroupTheSampleBufferIsEmpty) {
  test::LogCapture log;
  Cn4Block channel;
  channel.ChannelType(1);
  channel.BitCount(64);
  EXPECT_EQ(channel.ChannelGroup(), nullptr);
  EXPECT_EQ(channel.RecordId(), 0u);
  channel.SetTextValue("a", true);
  EXPECT_EQ(channel.SignalData().size(), 6u) << "the entry is kept";
  EXPECT_TRUE(channel.SampleBuffer().empty());
  EXPECT_TRUE(log.Contains("Sample buffer not sized. Invalid use of function."));
}

TEST(Cn4SignalData, TextsFromSignalData) {
  MemoryBuffer buffer(SignalDataImage(6, test::PlainBlock("##SD", TwoEntries())).Data());
  TestHeader header;
  auto& channel = LoadedChannel(header, buffer);
  ASSERT_EQ(channel.SignalData().size(), 20u);

  std::string text = "stale";
  EXPECT_TRUE(channel.GetTextValue(Le64(0), text));
  EXPECT_EQ(text, "hello");
  EXPECT_TRUE(channel.GetTextValue(Le64(10), text));
  EXPECT_EQ(text, "w\xC3\xB6rld") << "Latin-1 becomes UTF-8";

  // Offsets and lengths that do not fit the signal data.
  EXPECT_FALSE(channel.GetTextValue(Le64(18), text)) << "offset 2 bytes before the end";
  EXPECT_EQ(text, "");
  EXPECT_FALSE(channel.GetTextValue(Le64(21), text));
  EXPECT_FALSE(channel.GetTextValue(Le64(uint64_t{1} << 63), text));
  EXPECT_FALSE(channel.GetTextValue(Le64(~uint64_t{0} - 1), text)) << "offset + 4 must not wrap";
  EXPECT_FALSE(channel.GetTextValue({1, 2, 3}, text)) << "record shorter than the offset";

  MemoryBuffer damaged(SignalDataImage(7, test::PlainBlock("##SD", Bytes().U32(0xFFFFFFF0).Raw("abc"))).Data());
  TestHeader other;
  auto& long_entry = LoadedChannel(other, damaged);
  std::vector<uint8_t> bytes = {9};
  EXPECT_FALSE(long_entry.GetByteArrayValue(Le64(0), bytes));
  EXPECT_TRUE(bytes.empty()) << "nothing is sized from the damaged length";
}

// An entry that the loaded signal data do not hold whole (its length, or the bytes its length
// claims, past their end) is damage of the file, logged once per load. Signal data made for
// writing are not the file's to judge.
TEST(Cn4SignalData, AnEntryPastTheLoadedSignalDataIsDamage) {
  const std::string text_of_damage = "Signal data entry exceeds its block. Channel: ";
  const auto reports = [&text_of_damage](const LogCapture& log) {
    size_t count = 0;
    for (const LogEntry& entry : log.entries) count += entry.text.rfind(text_of_damage, 0) == 0;
    return count;
  };
  {
    LogCapture log;
    mdf::FileDamage damage;
    const mdf::detail::DamageScope scope(damage);
    MemoryBuffer buffer(SignalDataImage(6, test::PlainBlock("##SD", TwoEntries())).Data());
    TestHeader header;
    auto& channel = LoadedChannel(header, buffer);
    std::string text;
    EXPECT_TRUE(channel.GetTextValue(Le64(10), text));
    EXPECT_FALSE(damage.met) << "the last entry ends where the block does";
    EXPECT_FALSE(channel.GetTextValue(Le64(18), text)) << "its length cut";
    EXPECT_TRUE(damage.met);
    EXPECT_EQ(damage.first, text_of_damage + "v, Offset: 18");
    EXPECT_FALSE(channel.GetTextValue(Le64(21), text)) << "past the end";
    EXPECT_EQ(reports(log), 1U) << "once per load";
    channel.LoadSignalData(buffer);
    EXPECT_FALSE(channel.GetTextValue(Le64(20), text));
    EXPECT_EQ(reports(log), 2U) << "a new load is judged anew";
  }
  {
    LogCapture log;
    mdf::FileDamage damage;
    const mdf::detail::DamageScope scope(damage);
    // One byte claimed past the block, as a logger that wrote the length before the bytes.
    MemoryBuffer buffer(SignalDataImage(7, test::PlainBlock("##SD", Bytes().U32(4).Raw("abc"))).Data());
    TestHeader header;
    auto& channel = LoadedChannel(header, buffer);
    std::vector<uint8_t> bytes = {9};
    EXPECT_FALSE(channel.GetByteArrayValue(Le64(0), bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(damage.first, text_of_damage + "v, Offset: 0");
  }
  {
    LogCapture log;
    mdf::FileDamage damage;
    const mdf::detail::DamageScope scope(damage);
    Cn4Block channel;  // signal data made for writing
    channel.ChannelType(1);
    channel.DataType(7);
    channel.BitCount(64);
    channel.AppendVlsdData({'a'});
    std::string text;
    EXPECT_FALSE(channel.GetTextValue(Le64(100), text));
    EXPECT_FALSE(damage.met);
    EXPECT_EQ(reports(log), 0U);
  }
}

TEST(Cn4SignalData, TextEncodingsOfFixedFields) {
  Cn4Block channel;
  channel.ByteOffset(1);
  std::string text;

  channel.DataType(8);
  channel.BitCount(40);  // 5 bytes: two whole UTF-16 units
  EXPECT_TRUE(channel.GetTextValue({0xFF, 'A', 0, 'B', 0, 'C', 0xFF}, text));
  EXPECT_EQ(text, "AB");
  channel.DataType(9);
  channel.BitCount(64);
  EXPECT_TRUE(channel.GetTextValue({0xFF, 0x00, 0xE9, 0x00, 'b', 0, 0, 0, 'c'}, text));
  EXPECT_EQ(text,
            "\xC3\xA9"
            "b")
      << "up to the first zero unit";
  EXPECT_FALSE(channel.GetTextValue({0xFF, 0xD8, 0x00, 0x00, 'x', 0, 0, 0, 0}, text)) << "unpaired surrogate";
  EXPECT_EQ(text, "");

  channel.DataType(7);
  channel.BitCount(48);
  EXPECT_TRUE(channel.GetTextValue({0, 0xC3, 0xA9, 'z', 0, 'q', 'q'}, text));
  EXPECT_EQ(text, "\xC3\xA9z");
  EXPECT_FALSE(channel.GetTextValue({0, 'a'}, text)) << "field beyond the record";
  EXPECT_EQ(text, "");

  channel.DataType(10);
  EXPECT_TRUE(channel.GetTextValue({0, 'a', 'b', 'c', 'd', 'e', 'f'}, text));
  EXPECT_EQ(text, "") << "a byte array has no text";
}

TEST(Cn4SignalData, ByteArraysOfFieldsGroupsAndMaximumLengthChannels) {
  const std::vector<uint8_t> record = {3, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  Cn4Block size;  // one unsigned byte at offset 0
  size.BitCount(8);
  Cn4Block field;
  field.ChannelType(5);
  field.DataType(10);
  field.ByteOffset(1);
  field.BitCount(64);
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(field.GetByteArrayValue(record, bytes));
  EXPECT_EQ(bytes.size(), 8u) << "without a size channel the whole field";

  field.ReferencedChannel(&size);
  EXPECT_TRUE(field.GetByteArrayValue(record, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3}));
  std::vector<uint8_t> oversized = record;
  oversized[0] = 200;
  EXPECT_TRUE(field.GetByteArrayValue(oversized, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8})) << "never beyond the field";

  // The record of a VLSD channel group is the value itself.
  Cn4Block vlsd;
  vlsd.ChannelType(1);
  vlsd.BitCount(64);
  vlsd.VlsdRecordId(2);
  EXPECT_TRUE(vlsd.GetByteArrayValue(record, bytes));
  EXPECT_EQ(bytes, record);

  Cn4Block fixed;
  fixed.ByteOffset(8);
  fixed.BitCount(32);
  EXPECT_FALSE(fixed.GetByteArrayValue(record, bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST(Cn4SignalData, LoadsZippedAndListedSignalData) {
  const std::vector<uint8_t> entries = TwoEntries();
  const std::vector<uint8_t> first(entries.begin(), entries.begin() + 10);
  const std::vector<uint8_t> second(entries.begin() + 10, entries.end());
  {
    MemoryBuffer buffer(
        SignalDataImage(6, test::ZippedBlock("SD", 0, 0, entries.size(), test::Deflated(entries))).Data());
    TestHeader header;
    EXPECT_EQ(LoadedChannel(header, buffer).SignalData(), entries);
  }
  {
    // HL -> DL -> (DZ, SD)
    MemoryBuffer buffer(SignalDataImage(6, test::HeaderList(320, 1))
                            .Place(320, test::DataList(0, {512, 640}, {0, 10}))
                            .Place(512, test::ZippedBlock("SD", 0, 0, 10, test::Deflated(first)))
                            .Place(640, test::PlainBlock("##SD", second))
                            .Data());
    TestHeader header;
    auto& channel = LoadedChannel(header, buffer);
    EXPECT_EQ(channel.SignalData(), entries);
    std::string text;
    EXPECT_TRUE(channel.GetTextValue(Le64(10), text));
    EXPECT_EQ(text, "w\xC3\xB6rld");
  }
  {
    // A plain block claiming more bytes than the file holds.
    test::LogCapture log;
    MemoryBuffer buffer(
        SignalDataImage(6, Bytes().Raw("##SD").Zeros(4).U64(uint64_t{1} << 40).U64(0).Raw("abc")).Data());
    TestHeader header;
    EXPECT_TRUE(LoadedChannel(header, buffer).SignalData().empty());
    EXPECT_TRUE(log.Contains("Signal data block exceeds the file"));
  }
  {
    // A zipped block that does not inflate delivers nothing, not zeros.
    std::vector<uint8_t> broken = test::Deflated(entries);
    broken[broken.size() / 2] ^= 0xFF;
    MemoryBuffer buffer(SignalDataImage(6, test::ZippedBlock("SD", 0, 0, entries.size(), broken)).Data());
    TestHeader header;
    auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
    EXPECT_ANY_THROW(channel.LoadSignalData(buffer));
    EXPECT_TRUE(channel.SignalData().empty());
  }
}

// A written VLSD channel holding `size` bytes of signal data in entries of up to 1000 bytes.
Cn4Block& ChannelWithSignalData(TestGroupBlock& group, MemoryBuffer& buffer, size_t size) {
  auto& channel = group.AddChannel();
  channel.ChannelType(1);
  channel.DataType(10);
  channel.BitCount(64);
  channel.Write(buffer);
  uint8_t next = 0;
  while (channel.SignalData().size() < size) {
    // Entries of 1000 bytes; the last one takes exactly what is left.
    const size_t left = size - channel.SignalData().size();
    std::vector<uint8_t> value(left >= 1008 ? 1000 : left - 4);
    for (auto& byte : value) byte = static_cast<uint8_t>(next++ * 7);
    channel.AppendVlsdData(value);
  }
  return channel;
}

std::vector<uint8_t> ReadBack(MemoryBuffer& buffer, int64_t position) {
  TestHeader header;
  auto& channel = header.ReadAt<Cn4Block>(buffer, position);
  channel.LoadSignalData(buffer);
  return channel.SignalData();
}

TEST(Cn4SignalData, StoredAsOneSdOrDzBlock) {
  for (const size_t size : {100, 101}) {
    for (const bool compress : {false, true}) {
      MemoryBuffer buffer(std::string(64, '\0'));
      TestGroupBlock group;
      auto& channel = ChannelWithSignalData(group, buffer, size);
      ASSERT_EQ(channel.SignalData().size(), size);
      EXPECT_GT(channel.WriteSignalData(buffer, compress), 0);
      const auto block = HeaderAt(buffer.Bytes(), channel.DataLink());
      const bool zipped = compress && size > 100;
      EXPECT_EQ(block.id, zipped ? "##DZ" : "##SD") << size << " " << compress;
      if (zipped) {
        const auto at = static_cast<size_t>(channel.DataLink());
        EXPECT_EQ(std::string(buffer.Bytes().begin() + at + 24, buffer.Bytes().begin() + at + 26), "SD");
        EXPECT_EQ(buffer.Bytes()[at + 26], 0) << "zip type";
        EXPECT_EQ(test::ReadU64(buffer.Bytes(), at + 32), size) << "original length";
      } else {
        EXPECT_EQ(block.length, 24 + size);
      }
      EXPECT_EQ(HeaderAt(buffer.Bytes(), channel.FilePosition()).links[5], channel.DataLink());
      EXPECT_EQ(ReadBack(buffer, channel.FilePosition()), channel.SignalData());
    }
  }
}

TEST(Cn4SignalData, LargeSignalDataIsChunkedUnderAHeaderList) {
  for (const size_t size : {size_t{4'000'000}, size_t{8'000'001}}) {
    MemoryBuffer buffer(std::string(64, '\0'));
    TestGroupBlock group;
    auto& channel = ChannelWithSignalData(group, buffer, size);
    ASSERT_EQ(channel.SignalData().size(), size);
    channel.WriteSignalData(buffer, true);
    const auto& bytes = buffer.Bytes();
    const auto top = HeaderAt(bytes, channel.DataLink());
    if (size == 4'000'000) {
      EXPECT_EQ(top.id, "##DZ");
      EXPECT_EQ(test::ReadU64(bytes, static_cast<size_t>(channel.DataLink()) + 32), size);
    } else {
      ASSERT_EQ(top.id, "##HL");
      const auto hl_at = static_cast<size_t>(channel.DataLink());
      EXPECT_EQ(bytes[hl_at + 32], 1) << "HL flags";
      EXPECT_EQ(bytes[hl_at + 34], 0) << "zip type";
      const auto list = HeaderAt(bytes, top.links[0]);
      ASSERT_EQ(list.id, "##DL");
      ASSERT_EQ(list.links.size(), 4u);
      EXPECT_EQ(list.links[0], 0);
      const auto dl_at = static_cast<size_t>(top.links[0]) + 24 + 32;
      EXPECT_EQ(bytes[dl_at], 1) << "equal length flag";
      EXPECT_EQ(test::ReadU64(bytes, dl_at + 8), 4'000'000u);
      const std::vector<uint64_t> lengths = {4'000'000, 4'000'000, 1};
      for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(HeaderAt(bytes, list.links[i + 1]).id, "##DZ");
        EXPECT_EQ(test::ReadU64(bytes, static_cast<size_t>(list.links[i + 1]) + 32), lengths[i]) << i;
      }
    }
    EXPECT_EQ(ReadBack(buffer, channel.FilePosition()), channel.SignalData()) << size;
  }
}

TEST(Cn4SignalData, ChannelsWithoutOwnSignalData) {
  MemoryBuffer buffer(std::string(64, '\0'));
  TestGroupBlock group;
  auto& empty = group.AddChannel();
  empty.ChannelType(1);
  empty.Write(buffer);
  empty.SetDataLink(buffer, 0x1234);
  EXPECT_EQ(empty.WriteSignalData(buffer, true), 0);
  EXPECT_EQ(empty.DataLink(), 0);
  EXPECT_EQ(HeaderAt(buffer.Bytes(), empty.FilePosition()).links[5], 0);

  const size_t size = buffer.Bytes().size();
  auto& grouped = group.AddChannel();
  grouped.ChannelType(1);
  grouped.VlsdRecordId(3);
  grouped.AppendVlsdData({1});
  auto& maximum = group.AddChannel();
  maximum.ChannelType(5);
  maximum.AppendVlsdData({1});
  EXPECT_EQ(grouped.WriteSignalData(buffer, false), 0);
  EXPECT_EQ(maximum.WriteSignalData(buffer, false), 0);
  EXPECT_EQ(buffer.Bytes().size(), size);
}

}  // namespace
