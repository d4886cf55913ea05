// Files written through the MDF 3 writer: the order of their blocks, the record stream with
// its record ids, the counts updated in place, and what our reader reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cg3block.h"
#include "dg3block.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/iheader.h"
#include "mdf/mdfwriter.h"
#include "mdf3writer.h"
#include "support/logcapture.h"
#include "support/mdf3image.h"
#include "support/memorybuffer.h"
#include "support/writerkit.h"
#include "support/writerlayout.h"

namespace {

using mdf::MdfWriterType;
using test::LogCapture;
using test::MemoryBuffer;

using Probe = test::WriterProbe<mdf::detail::Mdf3Writer>;

struct TwoGroups {
  mdf::IDataGroup* data_group = nullptr;
  mdf::IChannelGroup* engine = nullptr;
  mdf::IChannelGroup* status = nullptr;
};

TwoGroups AddTwoGroups(mdf::MdfWriter& writer) {
  TwoGroups groups;
  groups.data_group = writer.CreateDataGroup();
  groups.engine = groups.data_group->CreateChannelGroup();
  groups.engine->Description("engine values");
  test::AddChannel(*groups.engine, "t", mdf::kFloatLe, 8, mdf::kMasterChannel);
  mdf::IChannel* rpm = test::AddChannel(*groups.engine, "rpm", mdf::kUnsignedLe, 2);
  mdf::IChannelConversion* conversion = writer.CreateChannelConversion(rpm);
  conversion->SetType(mdf::kLinearConversion);
  conversion->SetParameter(0, 0.0);
  conversion->SetParameter(1, 0.25);
  conversion->SetUnit("1/min");
  groups.status = groups.data_group->CreateChannelGroup();
  test::AddChannel(*groups.status, "gear", mdf::kSignedLe, 1);
  test::AddChannel(*groups.status, "a long channel name of more than thirty-one characters", mdf::kUnsignedLe, 4);
  return groups;
}

void SaveEngine(mdf::MdfWriter& writer, const TwoGroups& groups, uint64_t i) {
  test::ChannelOf(*groups.engine, "t")->SetChannelValue(static_cast<double>(i) / 10.0);
  test::ChannelOf(*groups.engine, "rpm")->SetChannelValue(static_cast<uint16_t>(4000 + i));
  writer.SaveSample(*groups.engine, test::SampleTime(i));
}

void SaveStatus(mdf::MdfWriter& writer, const TwoGroups& groups, uint64_t i) {
  test::ChannelOf(*groups.status, "gear")->SetChannelValue(static_cast<int8_t>(static_cast<int64_t>(i) - 2));
  groups.status->GetChannel("a long")->SetChannelValue(static_cast<uint32_t>(i * 1000));
  writer.SaveSample(*groups.status, test::SampleTime(i) + 1);
}

std::vector<uint8_t> WriteTwoGroupFile(uint64_t samples) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf3Writer);
  EXPECT_TRUE(writer->Init(buffer));
  writer->WorkPeriod(test::kWaitingWorker);
  writer->Header()->Author("writer test");
  writer->Header()->Description("two groups");
  const TwoGroups groups = AddTwoGroups(*writer);
  EXPECT_TRUE(writer->InitMeasurement());
  writer->StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < samples; ++i) {
    SaveEngine(*writer, groups, i);
    if (i % 2 == 0) SaveStatus(*writer, groups, i);
  }
  writer->StopMeasurement(UINT64_MAX);
  EXPECT_TRUE(writer->FinalizeMeasurement());
  writer.reset();
  return buffer->Bytes();
}

TEST(Mdf3Writer, WritesAFileOurReaderReadsBackEqual) {
  const std::vector<uint8_t> image = WriteTwoGroupFile(9);
  const test::ReadBack read(image);
  ASSERT_TRUE(read.Ok());
  EXPECT_EQ(read.File()->Version(), "3.30");
  EXPECT_FALSE(read.File()->IsMdf4());
  EXPECT_EQ(read.File()->Header()->Author(), "writer test");
  EXPECT_EQ(read.File()->Header()->Description(), "two groups");
  ASSERT_EQ(read.DataGroups().size(), 1u);
  const auto groups = read.DataGroups()[0]->ChannelGroups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]->NofSamples(), 9u);
  EXPECT_EQ(groups[1]->NofSamples(), 5u);
  EXPECT_EQ(groups[0]->Description(), "engine values");

  const auto* t = read.Observer(0, "t");
  const auto* rpm = read.Observer(0, "rpm");
  const auto* gear = read.Observer(0, "gear");
  const auto* counter = read.Observer(0, "a long channel name of more than thirty-one characters");
  ASSERT_TRUE(t && rpm && gear && counter);
  EXPECT_EQ(rpm->Channel().Unit(), "1/min");
  for (uint64_t i = 0; i < 9; ++i) {
    double time = -1.0;
    double speed = -1.0;
    EXPECT_TRUE(t->GetChannelValue(i, time));
    EXPECT_DOUBLE_EQ(time, static_cast<double>(i) / 10.0);
    EXPECT_TRUE(rpm->ConvertedValue(i, speed));
    EXPECT_DOUBLE_EQ(speed, 0.25 * static_cast<double>(4000 + i));
  }
  for (uint64_t s = 0; s < 5; ++s) {
    int64_t value = 0;
    uint64_t count = 0;
    EXPECT_TRUE(gear->GetChannelValue(s, value));
    EXPECT_EQ(value, static_cast<int64_t>(2 * s) - 2);
    EXPECT_TRUE(counter->GetChannelValue(s, count));
    EXPECT_EQ(count, 2 * s * 1000);
  }
}

TEST(Mdf3Writer, BlocksInFileOrderAndRecordsWithOneIdByte) {
  const std::vector<uint8_t> image = WriteTwoGroupFile(2);
  // ID, then HD at 64 with its comment, then the data group.
  EXPECT_EQ(std::string(image.begin(), image.begin() + 8), "MDF     ");
  EXPECT_EQ(std::string(image.begin() + 8, image.begin() + 12), "3.30");
  EXPECT_EQ(std::string(image.begin() + 64, image.begin() + 66), "HD");
  test::LoadedMdf3 file(image);
  const auto& data_group = file.Dg();
  EXPECT_EQ(data_group.NofRecordIds(), 1);
  EXPECT_GT(data_group.FilePosition(), 64 + 208);
  std::vector<std::string> order;
  for (size_t at = 64; at + 4 <= static_cast<size_t>(data_group.DataLink());) {
    const std::string id(image.begin() + static_cast<std::ptrdiff_t>(at),
                         image.begin() + static_cast<std::ptrdiff_t>(at) + 2);
    order.push_back(id);
    at += image[at + 2] | (image[at + 3] << 8);
  }
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.front(), "HD");
  EXPECT_EQ(std::count(order.begin(), order.end(), "DG"), 1);
  EXPECT_EQ(std::count(order.begin(), order.end(), "CG"), 2);
  EXPECT_EQ(std::count(order.begin(), order.end(), "CN"), 4);
  EXPECT_EQ(std::count(order.begin(), order.end(), "CC"), 1);
  EXPECT_GE(std::count(order.begin(), order.end(), "TX"), 3);  // comments and the long name

  // The records: engine (id 1, 10 bytes), status (id 2, 5 bytes), engine.
  const size_t records = static_cast<size_t>(data_group.DataLink());
  ASSERT_EQ(image.size(), records + 11 + 6 + 11);
  EXPECT_EQ(image[records], 1);
  EXPECT_EQ(image[records + 11], 2);
  EXPECT_EQ(image[records + 17], 1);
}

TEST(Mdf3Writer, TwoPassesLinkTheDataOnce) {
  auto buffer = std::make_shared<MemoryBuffer>();
  Probe writer;
  writer.Init(buffer);
  writer.WorkPeriod(test::kWaitingWorker);
  const TwoGroups groups = AddTwoGroups(writer);
  ASSERT_TRUE(writer.InitMeasurement());
  writer.StartMeasurement(test::kStartNs);
  const auto* data_group = dynamic_cast<mdf::detail::Dg3Block*>(groups.data_group);
  const int64_t end_of_tree = static_cast<int64_t>(buffer->Bytes().size());
  SaveEngine(writer, groups, 0);
  writer.RunPass(mdf::WriterState::kStartMeas);
  EXPECT_EQ(data_group->DataLink(), end_of_tree);
  SaveStatus(writer, groups, 1);
  writer.RunPass(mdf::WriterState::kStartMeas);
  EXPECT_EQ(data_group->DataLink(), end_of_tree);
  // The counts are in the file after each pass, in place.
  EXPECT_EQ(groups.engine->NofSamples(), 1u);
  EXPECT_EQ(groups.status->NofSamples(), 1u);
  writer.StopMeasurement(UINT64_MAX);
  EXPECT_TRUE(writer.FinalizeMeasurement());
  EXPECT_EQ(buffer->Bytes().size(), static_cast<size_t>(end_of_tree) + 11 + 6);
}

TEST(Mdf3Writer, EachCycleWritesADataGroupOfItsOwn) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf3Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  for (uint64_t cycle = 0; cycle < 2; ++cycle) {
    auto* group = writer->CreateDataGroup()->CreateChannelGroup();
    mdf::IChannel* value = test::AddChannel(*group, "value", mdf::kUnsignedLe, 2);
    ASSERT_TRUE(writer->InitMeasurement());
    writer->StartMeasurement(test::kStartNs);
    for (uint64_t i = 0; i < 3 + cycle; ++i) {
      value->SetChannelValue(static_cast<uint16_t>(100 * cycle + i));
      writer->SaveSample(*group, test::SampleTime(i));
    }
    writer->StopMeasurement(UINT64_MAX);
    ASSERT_TRUE(writer->FinalizeMeasurement());
  }
  writer.reset();
  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  ASSERT_EQ(read.DataGroups().size(), 2u);
  for (size_t cycle = 0; cycle < 2; ++cycle) {
    const auto* value = read.Observer(cycle, "value");
    ASSERT_NE(value, nullptr);
    ASSERT_EQ(value->NofSamples(), 3 + cycle);
    for (uint64_t i = 0; i < 3 + cycle; ++i) {
      uint64_t number = 0;
      EXPECT_TRUE(value->GetChannelValue(i, number));
      EXPECT_EQ(number, 100 * cycle + i);
    }
  }
}

TEST(Mdf3Writer, PreparingWithoutDataGroupOrHeader) {
  Probe writer;
  writer.Init(std::make_shared<MemoryBuffer>());
  EXPECT_TRUE(writer.PrepareForWriting());
  EXPECT_EQ(writer.CreateChannelConversion(nullptr), nullptr);

  LogCapture log;
  Probe empty;  // no file object: no header
  EXPECT_FALSE(empty.PrepareForWriting());
  EXPECT_TRUE(log.Contains("No header  found. Invalid use of the function."));
}

TEST(Mdf3Writer, ARecordBeyondSixteenBitsFailsTheCycle) {
  LogCapture log;
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf3Writer);
  writer->Init(std::make_shared<MemoryBuffer>());
  auto* group = writer->CreateDataGroup()->CreateChannelGroup();
  for (int i = 0; i < 3; ++i) test::AddChannel(*group, "wide", mdf::kByteArray, 30000);
  EXPECT_FALSE(writer->InitMeasurement());
  EXPECT_TRUE(log.Contains("The record does not fit an MDF 3 channel group."));
  writer->FinalizeMeasurement();
}

}  // namespace
