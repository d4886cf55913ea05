// MDF 3 data groups: reading the record stream with 0, 1 or 2 record ids, the trigger and
// data blocks, creating channel groups, and writing the block again in place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cg3block.h"
#include "dg3block.h"
#include "dt3block.h"
#include "support/logcapture.h"
#include "support/mdf3image.h"
#include "support/memorybuffer.h"
#include "support/samplerecorder.h"
#include "tr3block.h"

namespace {

using mdf::detail::Cg3Block;
using mdf::detail::Dg3Block;
using mdf::detail::Dt3Block;
using mdf::detail::Tr3Block;
using namespace test;  // the test kit

Mdf3GroupSpec Group(uint16_t record_id, uint16_t record_size, uint32_t nof_records) {
  Mdf3GroupSpec group;
  group.record_id = record_id;
  group.record_size = record_size;
  group.nof_records = nof_records;
  return group;
}

std::vector<uint8_t> OneDataGroup(bool big_endian, uint16_t nof_ids, std::vector<Mdf3GroupSpec> groups,
                                  std::vector<uint8_t> records) {
  Mdf3FileSpec spec;
  spec.big_endian = big_endian;
  spec.data_groups.push_back({nof_ids, std::move(groups), std::move(records)});
  return Mdf3Image(spec);
}

struct StreamCase {
  const char* name;
  uint16_t nof_ids;
  std::vector<Mdf3GroupSpec> groups;
  std::vector<uint8_t> records;
  std::vector<Delivered> expected;
  bool result;
};

class RecordStream : public testing::TestWithParam<bool> {};

TEST_P(RecordStream, RecordIdsBeforeAndAfterTheRecords) {
  const std::vector<StreamCase> cases = {
      {"no ids", 0, {Group(0, 2, 2)}, {1, 2, 3, 4}, {{0, 0, {1, 2}}, {1, 0, {3, 4}}}, true},
      // A single group owns every record: its id byte is read, not compared.
      {"one group, id byte not compared",
       1,
       {Group(0, 2, 2)},
       {7, 1, 2, 9, 3, 4},
       {{0, 0, {1, 2}}, {1, 0, {3, 4}}},
       true},
      {"two ids: one before and one after",
       2,
       {Group(1, 2, 2), Group(2, 1, 1)},
       {1, 1, 2, 1, 2, 5, 2, 1, 3, 4, 1},
       {{0, 1, {1, 2}}, {0, 2, {5}}, {1, 1, {3, 4}}},
       true},
      // The third A is beyond A's count: read and not passed; B follows as its sample 0.
      {"records beyond the count",
       1,
       {Group(1, 1, 2), Group(2, 1, 2)},
       {1, 10, 1, 11, 1, 12, 2, 20},
       {{0, 1, {10}}, {1, 1, {11}}, {0, 2, {20}}},
       true},
      {"an unknown id ends the read",
       1,
       {Group(1, 1, 2), Group(2, 1, 2)},
       {1, 10, 3, 0, 2, 20, 2, 21},
       {{0, 1, {10}}},
       false},
  };
  for (const StreamCase& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    LogCapture log;
    LoadedMdf3 file(OneDataGroup(GetParam(), test_case.nof_ids, test_case.groups, test_case.records));
    Dg3Block& data_group = file.Dg();
    SampleRecorder recorder(data_group);
    EXPECT_EQ(data_group.ReadData(file.buffer), test_case.result);
    EXPECT_EQ(recorder.delivered, test_case.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, RecordStream, testing::ValuesIn(kBothByteOrders),
                         [](const auto& row) { return row.param ? "BigEndian" : "LittleEndian"; });

TEST(Dg3Block, DataSizeCountsTheRecordIds) {
  LoadedMdf3 file(OneDataGroup(false, 2, {Group(1, 3, 4), Group(2, 1, 2)}, std::vector<uint8_t>(26, 1)));
  ASSERT_EQ(file.Dg().DataBlockList().size(), 1u);
  EXPECT_EQ(file.Dg().DataSize(), 4u * (3 + 2) + 2u * (1 + 2));
  EXPECT_EQ(file.Dg().NofRecordIds(), 2);
}

TEST(Dg3Block, ARecordOfNoBytesEndsTheRead) {
  LoadedMdf3 file(OneDataGroup(false, 1, {Group(1, 1, 2), Group(2, 0, 2)}, {1, 10, 2, 1, 11, 2}));
  SampleRecorder recorder(file.Dg());
  EXPECT_TRUE(file.Dg().ReadData(file.buffer));
  EXPECT_EQ(recorder.delivered, (std::vector<Delivered>{{0, 1, {10}}}));
}

TEST(Dg3Block, NoPhantomSampleAtTheEndOfTheFile) {
  // Three records announced, two and a half in the file: only the whole ones arrive.
  std::vector<uint8_t> image = OneDataGroup(false, 0, {Group(0, 2, 3)}, {1, 2, 3, 4, 5});
  LogCapture log;
  LoadedMdf3 file(image);
  SampleRecorder recorder(file.Dg());
  EXPECT_FALSE(file.Dg().ReadData(file.buffer));
  EXPECT_EQ(recorder.delivered, (std::vector<Delivered>{{0, 0, {1, 2}}, {1, 0, {3, 4}}}));
  EXPECT_TRUE(log.Contains("End of file detected."));
}

TEST(Dg3Block, AnObserverThatAnswersFalseEndsTheRead) {
  LoadedMdf3 file(OneDataGroup(true, 0, {Group(0, 1, 3)}, {1, 2, 3}));
  SampleRecorder recorder(file.Dg());
  recorder.stop_after = 1;
  EXPECT_TRUE(file.Dg().ReadData(file.buffer));
  EXPECT_EQ(recorder.delivered.size(), 1u);
}

TEST(Dg3Block, WithoutObserversNothingIsDelivered) {
  LoadedMdf3 file(OneDataGroup(false, 0, {Group(0, 1, 3)}, {1, 2, 3}));
  EXPECT_TRUE(file.Dg().ReadData(file.buffer));
  EXPECT_EQ(file.Dg().Cg3List()[0]->SampleCounter(), 3u);  // passed over, counted
}

TEST(Dg3Block, CreateChannelGroupNumbersTheGroups) {
  Dg3Block single;
  single.CreateChannelGroup();
  EXPECT_EQ(single.ChannelGroups()[0]->RecordId(), 0u);
  EXPECT_EQ(single.NofRecordIds(), 0);

  Dg3Block three;
  for (int i = 0; i < 3; ++i) three.CreateChannelGroup();
  std::vector<uint64_t> ids;
  for (const auto* group : three.ChannelGroups()) ids.push_back(group->RecordId());
  EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(three.NofRecordIds(), 1);
}

TEST(Tr3Block, ReadsTheEventsThatFitTheBlock) {
  for (const bool big_endian : kBothByteOrders) {
    // Size 34 holds one event of the two announced.
    Mdf3Bytes bytes(big_endian);
    bytes.Header("TR", 34).U32(0).U16(2).F64(1.5).F64(0.25).F64(0.75).F64(9.0).F64(9.0).F64(9.0);
    MemoryBuffer buffer(bytes.Data());
    Mdf3Parent parent(big_endian);
    Tr3Block trigger;
    trigger.AttachToParent(&parent);
    LogCapture log;
    trigger.Read(buffer);
    ASSERT_EQ(trigger.Events().size(), 1u) << big_endian;
    EXPECT_EQ(trigger.NofEvents(), 2);
    EXPECT_DOUBLE_EQ(trigger.Events()[0].time, 1.5);
    EXPECT_DOUBLE_EQ(trigger.Events()[0].pre_time, 0.25);
    EXPECT_DOUBLE_EQ(trigger.Events()[0].post_time, 0.75);
  }
}

TEST(Tr3Block, WritesItsCommentFirstAndThenTheEvents) {
  MemoryBuffer buffer;
  Tr3Block trigger;
  trigger.Description("go");
  trigger.AddEvent({2.0, 0.5, 1.0});
  EXPECT_EQ(trigger.Write(buffer), 34u);
  const std::vector<uint8_t> expected =
      Mdf3Bytes(false).Header("TX", 7).Raw("go").Zeros(1).Header("TR", 34).U32(0).U16(1).F64(2.0).F64(0.5).F64(1.0);
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(trigger.FilePosition(), 7);
  EXPECT_EQ(trigger.Write(buffer), 34u);  // written once
  EXPECT_EQ(buffer.Bytes().size(), expected.size());
}

TEST(Dg3Block, WrittenTwiceRewritesItsCountersInPlace) {
  MemoryBuffer buffer(std::string(10, 'x'));
  Dg3Block data_group;
  data_group.CreateChannelGroup();
  data_group.CreateChannelGroup();
  data_group.Write(buffer);
  const size_t size = buffer.Bytes().size();
  EXPECT_EQ(data_group.FilePosition(), 10);
  // 28 bytes of DG, two 30-byte CGs.
  EXPECT_EQ(size, 10u + 28 + 2 * 30);
  const std::vector<uint8_t> dg(buffer.Bytes().begin() + 10, buffer.Bytes().begin() + 38);
  const std::vector<uint8_t> expected =
      Mdf3Bytes(false).Header("DG", 28).U32(0).U32(38).U32(0).U32(0).U16(2).U16(1).Zeros(4);
  EXPECT_EQ(dg, expected);

  data_group.CreateChannelGroup();  // appended by the second write; the counters change in place
  data_group.Write(buffer);
  EXPECT_EQ(buffer.Bytes().size(), size + 30);
  EXPECT_EQ(buffer.Bytes()[10 + 20], 3);
  EXPECT_EQ(buffer.Bytes()[10 + 22], 1);
}

TEST(Dg3Block, ARewrittenFileGroupKeepsItsRecordIds) {
  // Written with 2 record ids: rewriting must not make its records unreadable.
  std::vector<uint8_t> image = OneDataGroup(false, 2, {Group(1, 1, 1), Group(2, 1, 1)}, {1, 5, 1, 2, 6, 2});
  LoadedMdf3 file(image);
  file.Dg().Write(file.buffer);
  LoadedMdf3 again(file.buffer.Bytes());
  EXPECT_EQ(again.Dg().NofRecordIds(), 2);
  SampleRecorder recorder(again.Dg());
  EXPECT_TRUE(again.Dg().ReadData(again.buffer));
  EXPECT_EQ(recorder.delivered, (std::vector<Delivered>{{0, 1, {5}}, {0, 2, {6}}}));
}

TEST(Dt3Block, SizeFromTheGroupsOfItsDataGroup) {
  Dt3Block orphan;
  EXPECT_EQ(orphan.DataSize(), 0u);
  Dg3Block data_group;
  auto* a = dynamic_cast<Cg3Block*>(data_group.CreateChannelGroup());
  auto* b = dynamic_cast<Cg3Block*>(data_group.CreateChannelGroup());
  a->RecordSize(4);
  a->NofSamples(3);
  b->RecordSize(2);
  b->NofSamples(5);
  data_group.NofRecordIds(1);
  Dt3Block data;
  data.AttachToParent(&data_group);
  EXPECT_EQ(data.DataSize(), 3u * 5 + 5u * 3);
}

}  // namespace
