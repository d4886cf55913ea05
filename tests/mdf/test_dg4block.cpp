// The MDF4 data group block: channel group numbering, finalization of the last DT block,
// writing and display.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cg4block.h"
#include "dg4block.h"
#include "dt4block.h"
#include "mdf/channeltypes.h"
#include "mdf/imetadata.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

namespace {

using mdf::detail::Cg4Block;
using mdf::detail::Dg4Block;
using namespace test;  // the test kit

// An unfinalized file: the last DT block's header still claims no data; the records run to
// the end of the file.
FileImage Unfinalized(const std::vector<CgFields>& groups, uint8_t id_size, const Bytes& records) {
  FileImage image;
  int64_t position = 128;
  image.Place(64, DgBlock(0, 128, 1024, 0, id_size));
  for (size_t i = 0; i < groups.size(); ++i) {
    CgFields fields = groups[i];
    fields.next = i + 1 < groups.size() ? position + 104 : 0;
    image.Place(static_cast<size_t>(position), CgBlock(fields));
    position += 104;
  }
  image.Place(1024, PlainBlock("##DT", {}));
  image.Place(1048, records);
  return image;
}

TEST(Dg4Block, CreateChannelGroupNumbersTheGroups) {
  Dg4Block group;
  auto* first = group.CreateChannelGroup();
  EXPECT_EQ(group.RecordIdSize(), 0U);
  EXPECT_EQ(first->RecordId(), 0U);
  group.CreateChannelGroup();
  auto* third = group.CreateChannelGroup();
  EXPECT_EQ(third, group.ChannelGroups().back());
  EXPECT_EQ(group.RecordIdSize(), 1U);
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(group.ChannelGroups()[i]->RecordId(), i + 1);
    EXPECT_EQ(group.ChannelGroups()[i]->DataGroup(), &group);
  }
  while (group.ChannelGroups().size() < 255) group.CreateChannelGroup();
  EXPECT_EQ(group.RecordIdSize(), 1U);
  group.CreateChannelGroup();
  EXPECT_EQ(group.RecordIdSize(), 2U);
  EXPECT_EQ(group.ChannelGroups().back()->RecordId(), 256U);
}

TEST(Dg4Block, FindCgByRecordId) {
  Dg4Block single;
  auto* only = single.CreateChannelGroup();
  only->RecordId(7);
  EXPECT_EQ(single.FindCgByRecordId(0), only) << "a single group answers every id";

  Dg4Block several;
  several.CreateChannelGroup();
  auto* second = several.CreateChannelGroup();
  EXPECT_EQ(several.FindCgByRecordId(2), second);
  EXPECT_EQ(several.FindCgByRecordId(3), nullptr);
  EXPECT_EQ(Dg4Block().FindCgByRecordId(0), nullptr);
}

TEST(Dg4Block, ReadRecordIdBySize) {
  Dg4Block group;
  test::MemoryBuffer buffer(Bytes().U8(0x81).U16(0x0302).U32(0x07060504).U64(0x0F0E0D0C0B0A0908).Data());
  uint64_t id = 99;
  EXPECT_EQ(group.ReadRecordId(buffer, id), 0U);
  EXPECT_EQ(id, 0U);
  const std::vector<std::pair<uint8_t, uint64_t>> expected = {
      {1, 0x81}, {2, 0x0302}, {4, 0x07060504}, {8, 0x0F0E0D0C0B0A0908}};
  for (const auto& [size, value] : expected) {
    group.RecordIdSize(size);
    EXPECT_EQ(group.ReadRecordId(buffer, id), size);
    EXPECT_EQ(id, value);
  }
  EXPECT_THROW(group.ReadRecordId(buffer, id), std::ios_base::failure) << "short read";
}

TEST(Dg4Block, FinalizationCountsEveryRecordForASingleGroup) {
  const auto image = Unfinalized({CgFields().Id(7).Cycles(2).DataBytes(3)}, 0, Bytes().Raw("abcdefghijkl"));
  LoadedGroup file(image);
  file.GrowLastDt();
  EXPECT_EQ(file.group.DataSize(), 12U);
  EXPECT_TRUE(file.CountRecords(true, true));
  EXPECT_EQ(file.Cg(0).NofSamples(), 4U) << "the 4 records replace the 2 held: never added to them";
  EXPECT_EQ(file.Cg(0).NofDataBytes(), 3U) << "a fixed group keeps its sizes";
  EXPECT_TRUE(file.CountRecords(false, true));
  EXPECT_EQ(file.Cg(0).NofSamples(), 4U);
}

TEST(Dg4Block, FinalizationStopsAtAnUnknownRecordId) {
  const auto records = Bytes().U8(1).U16(0).U8(2).U8(0).U8(1).U16(0).U8(9).U16(0).U8(1).U16(0);
  const auto image = Unfinalized({CgFields().Id(1).DataBytes(2), CgFields().Id(2).Cycles(10).DataBytes(1)}, 1, records);
  LoadedGroup file(image);
  file.GrowLastDt();
  test::LogCapture log;
  EXPECT_TRUE(file.CountRecords(true, false));
  EXPECT_EQ(file.Cg(0).NofSamples(), 2U);
  EXPECT_EQ(file.Cg(1).NofSamples(), 1U) << "the one record counted replaces the 10 held";
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "Failed to find the CG block. Record ID: 9");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kDebug);
  EXPECT_EQ(log.entries[0].location.function, "FinalizeCgAndVlsdBlocks");
}

TEST(Dg4Block, FinalizationSkipsATruncatedLastRecord) {
  const auto image = Unfinalized({CgFields().Id(1).DataBytes(4)}, 1, Bytes().U8(1).U32(5).U8(1).U16(6));
  LoadedGroup file(image);
  file.GrowLastDt();
  test::LogCapture log;
  EXPECT_TRUE(file.CountRecords(true, true));
  EXPECT_EQ(file.Cg(0).NofSamples(), 1U) << "the record cut by the end of the file is no sample";
  EXPECT_TRUE(log.Contains("Truncated record"));
}

// A torn last record is cut only when its size is one its group's channels lay out (padded
// to 8 bytes); a longer size is no record a power loss tore, and stays for the read to find,
// and a whole record of such a size is damage before it.
TEST(Dg4Block, FinalizationCutsATornRecordOnlyOfASizeItsChannelsLayOut) {
  CnFields four_bytes;  // bits 0 to 31
  four_bytes.bit_count = 32;
  CnFields ninth_byte;  // bits 64 to 71
  ninth_byte.byte_offset = 8;
  ninth_byte.bit_count = 8;
  CnFields flagged = four_bytes;  // and invalidation bit 10: two invalidation bytes
  flagged.flags = mdf::kChannelInvalidationBitFlag;
  flagged.invalid_bit = 10;
  CnFields virtual_far;  // no bits in the record, wherever it says they are
  virtual_far.type = mdf::kVirtualDataChannel;
  virtual_far.byte_offset = 100;
  virtual_far.bit_count = 64;
  struct Case {
    const char* name;
    std::vector<CnFields> channels;
    uint32_t data_bytes;
    uint32_t invalid_bytes;
    bool cut;
  };
  const Case cases[] = {
      {"as many bytes as the channels", {four_bytes}, 4, 0, true},
      {"padded to 8 bytes", {four_bytes}, 8, 0, true},
      {"beyond the padding", {four_bytes}, 9, 0, false},
      {"a channel in the ninth byte, padded", {four_bytes, ninth_byte}, 16, 0, true},
      {"a channel in the ninth byte, beyond", {four_bytes, ninth_byte}, 17, 0, false},
      {"invalidation bytes of a bit", {flagged}, 4, 8, true},
      {"invalidation bytes beyond the padding", {flagged}, 4, 9, false},
      {"invalidation bytes without an invalidation bit", {four_bytes}, 4, 1, false},
      {"a virtual channel lays out nothing", {four_bytes, virtual_far}, 8, 0, true},
      {"nor does it stretch the record", {four_bytes, virtual_far}, 16, 0, false},
      {"no channels", {}, 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t size = c.data_bytes + c.invalid_bytes;
    Bytes records;
    records.Raw(std::string(size, 'a')).Raw(std::string(size / 2, 'b'));  // a whole record, then half of one
    const int64_t first_channel = c.channels.empty() ? 0 : 600;
    FileImage image = Unfinalized(
        {CgFields().FirstCn(first_channel).DataBytes(c.data_bytes).InvalidBytes(c.invalid_bytes)}, 0, records);
    for (size_t i = 0; i < c.channels.size(); ++i) {
      CnFields channel = c.channels[i];
      channel.links[0] = i + 1 < c.channels.size() ? 600 + 200 * static_cast<int64_t>(i + 1) : 0;
      image.Place(600 + 200 * i, ChannelBlock(channel));
    }
    LoadedGroup file(image);
    file.group.Cg4List()[0]->ReadCnList(file.buffer);
    file.GrowLastDt();
    EXPECT_TRUE(file.CountRecords(true, true));
    // A size that lies is damage in a whole record too: nothing is counted from it on. A
    // group without channels lays out no size to hold a whole record to.
    const bool lies = !c.cut && !c.channels.empty();
    EXPECT_EQ(file.Cg(0).NofSamples(), lies ? 0U : 1U) << "the torn record is no sample either way";
    EXPECT_EQ(file.group.DataSize(), c.cut ? size : lies ? 0U : size + size / 2);
  }
}

TEST(Dg4Block, FinalizationOfVlsdGroups) {
  // Group 1 holds offsets into the VLSD group 2, whose records carry 3 and 0 value bytes,
  // then a third one cut short by the end of the file.
  const auto records = Bytes().U8(1).U32(0).U8(2).U32(3).Raw("abc").U8(1).U32(7).U8(2).U32(0).U8(2).U32(50).Raw("xy");
  const auto image = Unfinalized({CgFields().Id(1).DataBytes(4), CgFields().Id(2).Flags(1).DataBytes(10)}, 1, records);
  LoadedGroup file(image);
  file.GrowLastDt();
  EXPECT_TRUE(file.CountRecords(true, true));
  EXPECT_EQ(file.Cg(0).NofSamples(), 2U);
  EXPECT_EQ(file.Cg(1).NofSamples(), 2U);
  EXPECT_EQ(file.Cg(1).VlsdByteCount(), 3U) << "the value bytes replace the 10 held";
  // What the cut record claims is its reader's to judge: the counting tells it.
  const mdf::StreamEnd* end = file.group.FinalizedEnd();
  ASSERT_NE(end, nullptr);
  EXPECT_TRUE(end->has_last);
  EXPECT_EQ(end->last_record_id, 2U);
  EXPECT_EQ(end->last_size, 0U);
  EXPECT_EQ(end->cut, mdf::StreamEnd::Cut::kPayload);
  EXPECT_EQ(end->cut_record_id, 2U);
  EXPECT_EQ(end->cut_length, 50U);
  EXPECT_EQ(file.group.DataSize(), records.Size() - 7) << "the torn record is cut";
}

// Zeros after the last byte a logger wrote may be padding (a file system that grew the file):
// a record that ends inside them may be a torn one they complete, which the bytes cannot tell
// from a whole one ending in zeros. Only a record that ends where the data do shows none.
TEST(Dg4Block, FinalizationNeverTakesPaddingForARecord) {
  const auto record = [](Bytes bytes, const char* data) { return bytes.U8(1).Raw(data); };
  const auto Records = [&record](size_t count) {
    Bytes bytes;
    for (size_t i = 0; i < count; ++i) bytes = record(bytes, "abcd");
    return bytes;
  };
  const struct {
    const char* name;
    Bytes records;
    uint64_t counted;
    uint64_t data_size;  // after the cut
    const char* damage;  // the error logged; null: none
  } cases[] = {
      {"a plain tear", record(record(Bytes(), "abcd"), "ab"), 1, 5, nullptr},
      {"a whole record ending in zeros where the data end", record(record(Bytes(), "abcd"), "ab").Zeros(2), 2, 10,
       nullptr},
      {"zeros after a whole record", record(Bytes(), "abcd").Zeros(7), 1, 5, nullptr},
      {"a torn record the zeros complete", record(record(Bytes(), "abcd"), "ab").Zeros(9), 1, 5,
       "The end of the records cannot be told from padding. Offset: 5"},
      {"a record id and zeros", record(Bytes(), "abcd").U8(1).Zeros(40), 1, 5,
       "The end of the records cannot be told from padding. Offset: 5"},
      {"nothing but zeros", Bytes().Zeros(30), 0, 0, nullptr},
      // The records begin at 1048: the zeros complete the last one at 2048, where a file
      // system's padding may end.
      {"a record ending in zeros where a sector ends", record(Records(199), "ab").Zeros(2), 199, 995,
       "The end of the records cannot be told from padding. Offset: 995"},
      {"a whole record where a sector ends", record(Records(199), "abcd"), 200, 1000, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CnFields four_bytes;
    four_bytes.bit_count = 32;
    FileImage image =
        Unfinalized({CgFields().Id(1).FirstCn(600).DataBytes(4), CgFields().Id(2).DataBytes(4)}, 1, c.records);
    image.Place(600, ChannelBlock(four_bytes));
    LoadedGroup file(image);
    file.group.Cg4List()[0]->ReadCnList(file.buffer);
    file.GrowLastDt();
    test::LogCapture log;
    EXPECT_TRUE(file.CountRecords(true, true));
    EXPECT_EQ(file.Cg(0).NofSamples(), c.counted);
    EXPECT_EQ(file.group.DataSize(), c.data_size);
    const bool error = log.Contains("cannot be told from padding");
    EXPECT_EQ(error, c.damage != nullptr);
    if (c.damage != nullptr) {
      EXPECT_TRUE(log.Contains(c.damage));
    }
  }
}

TEST(Dg4Block, FinalizationOfRecordsWithoutBytesEnds) {
  const auto image = Unfinalized({CgFields().Id(0).Cycles(0)}, 0, Bytes().Zeros(16));
  LoadedGroup file(image);
  file.GrowLastDt();
  test::LogCapture log;
  EXPECT_FALSE(file.CountRecords(true, true)) << "the records cannot be counted";
  EXPECT_EQ(file.Cg(0).NofSamples(), 0U);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
}

TEST(Dg4Block, WriteNewThenInPlace) {
  test::MemoryBuffer buffer(std::vector<uint8_t>(64, 0));
  Dg4Block group;
  auto* first = group.CreateChannelGroup();
  auto* second = group.CreateChannelGroup();
  auto* data = new mdf::detail::Dt4Block();
  data->SetData({1, 10, 2, 20});
  group.AddDataBlock(std::unique_ptr<mdf::detail::MdfBlock>(data));

  EXPECT_EQ(group.Write(buffer), 64U);
  // Channel groups first, then the data group, then its data.
  EXPECT_EQ(first->FilePosition(), 64);
  EXPECT_EQ(second->FilePosition(), 168);
  EXPECT_EQ(group.FilePosition(), 272);
  EXPECT_EQ(data->FilePosition(), 336);
  const auto& bytes = buffer.Bytes();
  const std::vector<uint8_t> dg(bytes.begin() + 272, bytes.begin() + 336);
  EXPECT_EQ(dg, Bytes().Raw("##DG").Zeros(4).U64(64).U64(4).U64(0).U64(64).U64(336).U64(0).U8(1).Zeros(7).Data());
  EXPECT_EQ(static_cast<const Cg4Block*>(first)->Link(0), 168) << "groups chained";

  // Written again at the end of a measurement: the cycle counts are patched in place.
  const size_t size = bytes.size();
  first->NofSamples(2);
  EXPECT_EQ(group.Write(buffer), 64U);
  EXPECT_EQ(buffer.Bytes().size(), size) << "nothing appended";
  EXPECT_EQ(buffer.Bytes()[64 + 24 + 48 + 8], 2U) << "cycle count of the first group";
}

TEST(Dg4Block, ClearDataResetsCounters) {
  Dg4Block group;
  auto* channel_group = group.CreateChannelGroup();
  channel_group->IncrementSampleCounter();
  group.ClearData();
  EXPECT_EQ(channel_group->SampleCounter(), 0U);
}

}  // namespace
