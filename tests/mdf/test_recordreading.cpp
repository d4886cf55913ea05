// Reading the record stream of a data group across its data blocks into sample observers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cg4block.h"
#include "datablock.h"
#include "datalistblock.h"
#include "dg4block.h"
#include "mdf/isampleobserver.h"
#include "readcache.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

namespace {

using mdf::detail::Dg4Block;
using mdf::detail::ReadCache;
using namespace test;  // the test kit

struct Delivery {
  uint64_t sample;
  uint64_t record_id;
  std::vector<uint8_t> record;
  bool operator==(const Delivery& other) const {
    return sample == other.sample && record_id == other.record_id && record == other.record;
  }
};

std::ostream& operator<<(std::ostream& out, const Delivery& delivery) {
  out << "{" << delivery.sample << ", " << delivery.record_id << ", [";
  for (const auto byte : delivery.record) out << " " << static_cast<int>(byte);
  return out << " ]}";
}

class Recorder : public mdf::ISampleObserver {
 public:
  explicit Recorder(mdf::IDataGroup& group) : ISampleObserver(group) {
    DoOnSample = [this](uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) {
      deliveries.push_back({sample, record_id, record});
      return deliveries.size() != stop_after;
    };
  }
  void ListenTo(std::set<uint64_t> ids) { record_id_list_ = std::move(ids); }
  std::vector<Delivery> deliveries;
  size_t stop_after = 0;
};

TEST(RecordReading, RecordsWithoutIdUpToTheSampleCount) {
  FileImage image = test::OneGroupFile(CgFields().Id(5).Cycles(3).DataBytes(8), PlainBlock("##DT", Sequence(0, 24)));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  file.group.BuildRecordObserverMap();
  std::vector<mdf::detail::DataBlock*> blocks;
  file.group.CollectDataBlocks(blocks);
  ReadCache cache(file.group, file.group.RecordGroups(), file.group.RecordIdSize(), blocks, file.buffer);
  for (uint64_t sample = 0; sample < 3; ++sample) {
    EXPECT_TRUE(cache.ParseRecord());
  }
  EXPECT_FALSE(cache.ParseRecord());
  ASSERT_EQ(recorder.deliveries.size(), 3U);
  EXPECT_EQ(recorder.deliveries[2], (Delivery{2, 5, Sequence(16, 8)}));
}

TEST(RecordReading, OneGroupOwnsEveryRecordButObserversWantTheirIds) {
  FileImage image =
      test::OneGroupFile(CgFields().Id(7).Cycles(3).DataBytes(2),
                         PlainBlock("##DT", Bytes().U8(7).U16(0x0201).U8(5).U16(0x0403).U8(7).U16(0x0605)), 1);
  LoadedGroup file(image);
  Recorder recorder(file.group);
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 7, {1, 2}}, {2, 7, {5, 6}}}))
      << "the record with id 5 belongs to the group, counts, and is skipped";
  EXPECT_EQ(file.group.Cg4List()[0]->SampleCounter(), 3U);
}

TEST(RecordReading, UnknownRecordIdEndsTheReadWithAnError) {
  FileImage image;
  image.Place(64, DgBlock(0, 128, 336, 0, 1));
  image.Place(128, CgBlock(CgFields().Next(232).Id(1).Cycles(5).DataBytes(1)));
  image.Place(232, CgBlock(CgFields().Id(2).Cycles(5).DataBytes(1)));
  image.Place(336, PlainBlock("##DT", {1, 10, 2, 20, 3, 30, 1, 40}));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  test::LogCapture log;
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 1, {10}}, {0, 2, {20}}}));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "Parse of record failed. Error: No channel group found.");
  EXPECT_EQ(log.entries[0].location.function, "ParseRecord");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
}

// Groups 1 (10 data bytes) and 2 (3 data bytes, unobserved) over a DL of DT blocks.
FileImage TwoGroupsOverList(const std::vector<std::vector<uint8_t>>& payloads, uint64_t cycles1 = 10,
                            uint64_t cycles2 = 10) {
  FileImage image;
  image.Place(64, DgBlock(0, 128, 336, 0, 1));
  image.Place(128, CgBlock(CgFields().Next(232).Id(1).Cycles(cycles1).DataBytes(10)));
  image.Place(232, CgBlock(CgFields().Id(2).Cycles(cycles2).DataBytes(3)));
  std::vector<int64_t> links;
  std::vector<uint64_t> offsets;
  size_t position = 1024;
  uint64_t offset = 0;
  for (const auto& payload : payloads) {
    links.push_back(static_cast<int64_t>(position));
    offsets.push_back(offset);
    image.Place(position, PlainBlock("##DT", payload));
    position += (24 + payload.size() + 7) / 8 * 8;
    offset += payload.size();
  }
  image.Place(336, test::DataList(0, links, offsets));
  return image;
}

TEST(RecordReading, RecordsCrossBlockBordersAndEmptyBlocksAreSkipped) {
  const std::vector<uint8_t> record = Sequence(100, 10);
  std::vector<uint8_t> first = {2, 7, 8, 9, 1};
  first.insert(first.end(), record.begin(), record.begin() + 4);  // the record's first 4 bytes
  std::vector<uint8_t> second(record.begin() + 4, record.end());  // its other 6
  second.insert(second.end(), {2, 1, 2});                         // a group-2 record split 1 + 2
  std::vector<uint8_t> third = {3, 1};
  third.insert(third.end(), record.begin(), record.end());
  LoadedGroup file(TwoGroupsOverList({first, second, {}, third}));
  Recorder recorder(file.group);
  recorder.ListenTo({1});
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 1, record}, {1, 1, record}}))
      << "the empty third block does not end the read";
  EXPECT_EQ(file.group.Cg4List()[1]->SampleCounter(), 2U) << "skipped records still count";
}

TEST(RecordReading, UnobservedGroupIsWalkedToTheEndAndCappedByItsCount) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 4; ++i) data.insert(data.end(), {2, 0, 0, 0});
  data.push_back(1);
  const auto record = Sequence(1, 10);
  data.insert(data.end(), record.begin(), record.end());
  LoadedGroup file(TwoGroupsOverList({data}, 10, 3));
  Recorder recorder(file.group);
  recorder.ListenTo({1});
  file.group.ReadData(file.buffer);
  EXPECT_EQ(file.group.Cg4List()[1]->SampleCounter(), 3U) << "counts up to the sample count";
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 1, record}}));
}

TEST(RecordReading, RecordsBeyondTheSampleCountAreNotPassedOn) {
  FileImage image = test::OneGroupFile(CgFields().Id(0).Cycles(2).DataBytes(1), PlainBlock("##DT", {1, 2, 3, 4}));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 0, {1}}, {1, 0, {2}}}));
}

TEST(RecordReading, AnObserverCanStopTheRead) {
  FileImage image = test::OneGroupFile(CgFields().Id(0).Cycles(4).DataBytes(1), PlainBlock("##DT", {1, 2, 3, 4}));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  recorder.stop_after = 2;
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries.size(), 2U);
}

TEST(RecordReading, VlsdRecords) {
  FileImage image;
  image.Place(64, DgBlock(0, 128, 336, 0, 1));
  image.Place(128, CgBlock(CgFields().Next(232).Id(1).Cycles(3).DataBytes(4)));
  image.Place(232, CgBlock(CgFields().Id(2).Cycles(3).Flags(1)));
  image.Place(
      336, PlainBlock("##DT",
                      Bytes().U8(1).U32(0).U8(2).U32(3).Raw("abc").U8(1).U32(7).U8(2).U32(0).U8(2).U32(2).Raw("de")));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  recorder.ListenTo({2});
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 2, {'a', 'b', 'c'}}, {1, 2, {}}, {2, 2, {'d', 'e'}}}));
}

TEST(RecordReading, VlsdLengthBeyondTheDataFailsBeforeAllocating) {
  FileImage image = test::OneGroupFile(CgFields().Id(0).Cycles(3).Flags(1),
                                       PlainBlock("##DT", Bytes().U32(1).Raw("x").U32(0xFFFFFFF0).Raw("yz")));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  test::LogCapture log;
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 0, {'x'}}}));
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: End of file detected."));
}

TEST(RecordReading, RecordOfNoBytesEndsTheRead) {
  FileImage image = test::OneGroupFile(CgFields().Id(0).Cycles(3), PlainBlock("##DT", Sequence(0, 16)));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  test::LogCapture log;
  file.group.ReadData(file.buffer);  // returns: no endless loop
  EXPECT_TRUE(recorder.deliveries.empty());
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: "));
}

TEST(RecordReading, DataListOfPlainAndZippedBlocks) {
  // Group 2 (3 bytes, unobserved) runs from the DT block into the DZ block, which is thus
  // entered by skipping; the group-1 record after it comes from the inflated bytes.
  const auto record = Sequence(50, 10);
  std::vector<uint8_t> zipped_payload = {0xEE, 0xEE};
  zipped_payload.push_back(1);
  zipped_payload.insert(zipped_payload.end(), record.begin(), record.end());
  const auto compressed = test::Deflated(zipped_payload);
  FileImage image;
  image.Place(64, DgBlock(0, 128, 336, 0, 1));
  image.Place(128, CgBlock(CgFields().Next(232).Id(1).Cycles(5).DataBytes(10)));
  image.Place(232, CgBlock(CgFields().Id(2).Cycles(5).DataBytes(3)));
  image.Place(336, test::DataList(0, {512, 1024}, {0, 2}));
  image.Place(512, PlainBlock("##DT", {2, 0xEE}));
  image.Place(1024, test::ZippedBlock("DT", 0, 0, zipped_payload.size(), compressed));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  recorder.ListenTo({1});
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 1, record}}));
}

TEST(RecordReading, ZippedBlockThatDoesNotInflateIsAFailure) {
  auto broken = test::Deflated(Sequence(0, 40));
  broken[broken.size() / 2] ^= 0x5A;
  FileImage image =
      test::OneGroupFile(CgFields().Id(0).Cycles(10).DataBytes(4), test::ZippedBlock("DT", 0, 0, 40, broken));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  test::LogCapture log;
  file.group.ReadData(file.buffer);
  EXPECT_TRUE(recorder.deliveries.empty()) << "no zero bytes are delivered as records";
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: "));
}

TEST(RecordReading, BlockClaimingMoreThanTheFileHolds) {
  FileImage image = test::OneGroupFile(CgFields().Id(0).Cycles(10).DataBytes(4),
                                       Bytes().Raw("##DT").Zeros(4).U64(24 + 400).U64(0).Raw("abcdefgh"));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  test::LogCapture log;
  file.group.ReadData(file.buffer);
  EXPECT_EQ(recorder.deliveries.size(), 2U);
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: End of file detected."));
}

// A length far beyond the file: records are neither sized by it nor skipped through it.
TEST(RecordReading, ClaimedSizeBeyondTheFileIsNeitherAllocatedNorWalked) {
  constexpr uint64_t kClaimed = uint64_t{1} << 40;
  FileImage vlsd_image = test::OneGroupFile(
      CgFields().Id(0).Cycles(3).Flags(1),
      Bytes().Raw("##DT").Zeros(4).U64(24 + kClaimed).U64(0).U32(1).Raw("x").U32(0x7FFFFFFF).Raw("yz"));
  LoadedGroup vlsd(vlsd_image);
  Recorder recorder(vlsd.group);
  test::LogCapture log;
  vlsd.group.ReadData(vlsd.buffer);
  EXPECT_EQ(recorder.deliveries, (std::vector<Delivery>{{0, 0, {'x'}}}));
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: End of file detected."));

  FileImage fixed_image = test::OneGroupFile(CgFields().Id(0).Cycles(kClaimed).DataBytes(1),
                                             Bytes().Raw("##DT").Zeros(4).U64(24 + kClaimed).U64(0).Raw("abcdefgh"));
  LoadedGroup fixed(fixed_image);
  Recorder elsewhere(fixed.group);
  elsewhere.ListenTo({9});  // every record is skipped
  log.entries.clear();
  fixed.group.ReadData(fixed.buffer);
  EXPECT_EQ(fixed.group.Cg4List()[0]->SampleCounter(), 8U);
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: End of file detected."));
}

TEST(RecordReading, InvalidRecordIdSizeMakesTheRecordsUnreadable) {
  FileImage image = test::OneGroupFile(CgFields().Id(1).Cycles(2).DataBytes(1), PlainBlock("##DT", {1, 0, 0, 9}), 3);
  test::LogCapture log;
  LoadedGroup file(image);
  EXPECT_TRUE(log.Contains("Invalid record ID size. Size: 3"));
  Recorder recorder(file.group);
  file.group.ReadData(file.buffer);
  EXPECT_TRUE(recorder.deliveries.empty());
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: Invalid record ID size."));
  EXPECT_FALSE(file.CountRecords(true, true)) << "the records cannot be counted";
  EXPECT_EQ(file.group.Cg4List()[0]->NofSamples(), 2U) << "nothing counted with an invalid size";

  log.entries.clear();
  file.group.RecordIdSize(3);
  EXPECT_EQ(file.group.RecordIdSize(), 3U) << "unchanged";
  Dg4Block fresh;
  fresh.RecordIdSize(4);
  fresh.RecordIdSize(5);
  EXPECT_EQ(fresh.RecordIdSize(), 4U);
  EXPECT_TRUE(log.Contains("Invalid record ID size. Size: 5"));
}

TEST(RecordReading, NoDataBlocksLeavesObserversAndCountersAlone) {
  FileImage image;
  image.Place(64, DgBlock(0, 128, 0, 0, 0));
  image.Place(128, CgBlock(CgFields().Id(0).Cycles(2).DataBytes(1)));
  LoadedGroup file(image);
  Recorder recorder(file.group);
  file.group.Cg4List()[0]->IncrementSampleCounter();
  file.group.ReadData(file.buffer);
  EXPECT_EQ(file.group.Cg4List()[0]->SampleCounter(), 1U);
  EXPECT_TRUE(recorder.deliveries.empty());
}

TEST(RecordReading, GroupNobodyListensToIsSkippedAndCounted) {
  FileImage image = test::OneGroupFile(CgFields().Id(0).Cycles(4).DataBytes(1), PlainBlock("##DT", {1, 2, 3, 4}));
  LoadedGroup file(image);
  Recorder deaf(file.group);
  deaf.ListenTo({9});
  file.group.ReadData(file.buffer);
  EXPECT_TRUE(deaf.deliveries.empty());
  EXPECT_EQ(file.group.Cg4List()[0]->SampleCounter(), 4U) << "unobserved records are skipped and counted";
}

}  // namespace

namespace {

TEST(BlockStream, ReadsAndSkipsAcrossWindowsAndBlocks) {
  // Blocks of 300,000 (more than one read window), 0, 5, 200,000 zipped and 70,001 bytes.
  const std::vector<size_t> sizes = {300'000, 0, 5, 200'000, 70'001};
  std::vector<uint8_t> all;
  std::vector<int64_t> links;
  std::vector<uint64_t> offsets;
  FileImage image;
  size_t position = 4096;
  uint32_t state = 7;
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::vector<uint8_t> payload(sizes[i]);
    for (auto& byte : payload) {
      state = state * 1664525U + 1013904223U;
      byte = static_cast<uint8_t>(state >> 24);
    }
    const Bytes block =
        i == 3 ? test::ZippedBlock("DT", 0, 0, payload.size(), test::Deflated(payload)) : PlainBlock("##DT", payload);
    links.push_back(static_cast<int64_t>(position));
    offsets.push_back(all.size());
    image.Place(position, block);
    position += (block.Size() + 7) / 8 * 8;
    all.insert(all.end(), payload.begin(), payload.end());
  }
  image.Place(1024, test::DataList(0, links, offsets));
  test::MemoryBuffer buffer(image.Data());
  test::ListOwner owner({1024});  // the data group: link 0 leads to its data
  owner.ReadBlockList(buffer, 0);
  std::vector<mdf::detail::DataBlock*> blocks;
  owner.CollectDataBlocks(blocks);

  mdf::detail::BlockStream stream(buffer, blocks);
  ASSERT_EQ(stream.TotalSize(), all.size());
  std::mt19937 random(11);
  uint64_t offset = 0;
  while (stream.Left() > 0) {
    const uint64_t count = std::min<uint64_t>(stream.Left(), random() % 3 == 0 ? random() % 400'000 : random() % 40);
    if (random() % 2 == 0) {
      stream.SkipBytes(count);
    } else {
      std::vector<uint8_t> bytes(count);
      stream.ReadRecordBytes(bytes.data(), count);
      ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), all.begin() + static_cast<std::ptrdiff_t>(offset)))
          << "at " << offset << " count " << count;
    }
    offset += count;
    ASSERT_EQ(stream.Consumed(), offset);
  }
  uint8_t byte = 0;
  EXPECT_THROW(stream.ReadRecordBytes(&byte, 1), std::runtime_error);
  EXPECT_THROW(stream.SkipBytes(1), std::runtime_error);
}

}  // namespace
