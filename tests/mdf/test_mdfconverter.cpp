// The converter kind: an output kept open over the cycle, every sample written, and a
// worker that wakes once more than 8,000,000 bytes are queued.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfwriter.h"
#include "mdfconverter.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/tempdir.h"
#include "support/writerkit.h"
#include "support/writerlayout.h"

namespace {

using mdf::MdfWriterType;
using mdf::WriterState;
using test::MemoryBuffer;
using Probe = test::WriterProbe<mdf::detail::MdfConverter>;

TEST(MdfConverter, WakesItsWorkerAboveEightMillionQueuedBytes) {
  auto buffer = std::make_shared<MemoryBuffer>();
  Probe writer;
  writer.Init(buffer);
  writer.WorkPeriod(test::kWaitingWorker);
  mdf::IDataGroup* data_group = writer.CreateDataGroup();
  mdf::IChannelGroup* large = data_group->CreateChannelGroup();
  test::AddChannel(*large, "Large", 10, 1'000'000);
  mdf::IChannelGroup* small = data_group->CreateChannelGroup();
  test::AddChannel(*small, "Small", 0, 1);
  ASSERT_TRUE(writer.InitMeasurement());
  writer.StartMeasurement(test::kStartNs);

  // StartMeasurement signals too; that signal is lost when the new worker is not waiting
  // yet. Either way its pass (an empty one) is over after a moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const uint64_t passes = writer.SavePasses();
  for (uint64_t i = 0; i < 8; ++i) writer.SaveSample(*large, test::SampleTime(i));
  EXPECT_EQ(writer.QueuedBytes(), 8'000'000U);
  // No signal went out: nothing but a signal wakes the worker within its period. A short
  // look suffices to see a wrong wake-up; it cannot make a right one fail.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(writer.SavePasses(), passes);
  EXPECT_EQ(writer.QueuedTimes().size(), 8U);

  writer.SaveSample(*small, test::SampleTime(8));  // 8,000,001 bytes
  ASSERT_TRUE(writer.WaitForSavePasses(passes + 1));
  EXPECT_TRUE(writer.QueuedTimes().empty());
  EXPECT_EQ(large->NofSamples(), 8U);
  EXPECT_EQ(writer.QueuedBytes(), 8'000'001U) << "a plain pass leaves the count";

  writer.SaveSample(*small, test::SampleTime(9));  // every further sample signals
  ASSERT_TRUE(writer.WaitForSavePasses(passes + 2));
  EXPECT_EQ(small->NofSamples(), 2U);
  writer.StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer.FinalizeMeasurement());
  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  EXPECT_EQ(read.Observer(0, "Large")->NofSamples(), 8U);
  EXPECT_EQ(read.Observer(0, "Small")->NofSamples(), 2U);
}

TEST(MdfConverter, WritesSamplesAfterTheStopTime) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdfConverter);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  const test::RichGroups groups = test::AddRichDataGroup(*writer);
  ASSERT_TRUE(writer->InitMeasurement());
  writer->StartMeasurement(test::kStartNs);
  writer->StopMeasurement(test::SampleTime(2));
  for (uint64_t i = 0; i < 6; ++i) {
    test::SetRichValues(*groups.rich, i);
    writer->SaveSample(*groups.rich, test::SampleTime(i));
    test::SetBusValues(*groups.bus, i);
    writer->SaveSample(*groups.bus, test::SampleTime(i) + 500'000);
  }
  ASSERT_TRUE(writer->FinalizeMeasurement());
  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  test::ExpectRichValues(read, 0, 6);
}

/// Cycles of 10 samples of each rich group on one converter; the queued-byte count seen
/// right after each InitMeasurement.
std::vector<uint64_t> RunConverterCycles(Probe& writer, int cycles) {
  std::vector<uint64_t> counts;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const test::RichGroups groups = test::AddRichDataGroup(writer);
    EXPECT_TRUE(writer.InitMeasurement());
    counts.push_back(writer.QueuedBytes());
    writer.StartMeasurement(test::kStartNs);
    for (uint64_t i = 0; i < 10; ++i) {
      test::SetRichValues(*groups.rich, i);
      writer.SaveSample(*groups.rich, test::SampleTime(i));
      test::SetBusValues(*groups.bus, i);
      writer.SaveSample(*groups.bus, test::SampleTime(i) + 500'000);
    }
    writer.StopMeasurement(UINT64_MAX);
    EXPECT_TRUE(writer.FinalizeMeasurement());
  }
  return counts;
}

TEST(MdfConverter, ALaterCycleKeepsTheQueuedByteCount) {
  auto buffer = std::make_shared<MemoryBuffer>();
  Probe writer;
  writer.Init(buffer);
  writer.WorkPeriod(test::kWaitingWorker);
  // 10 records of 50 bytes and 10 of 16 per cycle; plain passes leave the count.
  EXPECT_EQ(RunConverterCycles(writer, 3), (std::vector<uint64_t>{0, 660, 1320}));
  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  for (size_t cycle = 0; cycle < 3; ++cycle) test::ExpectRichValues(read, cycle, 10);
}

TEST(MdfConverter, ALaterCycleStartsItsDataListOffsetsAgainAtZero) {
  auto buffer = std::make_shared<MemoryBuffer>();
  Probe writer;
  writer.Init(buffer);
  writer.CompressData(true);
  writer.WorkPeriod(test::kWaitingWorker);
  RunConverterCycles(writer, 2);
  for (size_t cycle = 0; cycle < 2; ++cycle) {
    const test::ListLayout layout = test::ReadListLayout(buffer->Bytes(), cycle);
    ASSERT_EQ(layout.size(), 1U);
    ASSERT_EQ(layout[0].size(), 1U);
    EXPECT_EQ(layout[0][0].offset, 0U);
    EXPECT_EQ(layout[0][0].size, 660U + 20U) << "records with their 1-byte ids";
  }
  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  for (size_t cycle = 0; cycle < 2; ++cycle) test::ExpectRichValues(read, cycle, 10);
}

TEST(MdfConverter, FinalizingAFileClosedInBetweenFails) {
  test::LogCapture log;
  test::TempDir dir;
  auto file = std::make_shared<std::filebuf>();
  ASSERT_NE(file->open(dir / "converted.mf4", std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary),
            nullptr);
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdfConverter);
  writer->Init(file);
  writer->WorkPeriod(test::kWaitingWorker);
  test::AddRichDataGroup(*writer);
  ASSERT_TRUE(writer->InitMeasurement());
  // Before the start: a signal makes the worker trim (nothing, for this kind), so it never
  // touches the file while it is closed here.
  file->close();
  EXPECT_FALSE(writer->FinalizeMeasurement());
  EXPECT_TRUE(log.Contains("Failed to open the file for writing. File: "));
}

TEST(MdfConverter, WritesAFileOfItsOwn) {
  test::TempDir dir;
  const std::string path = dir / "converted.mf4";
  {
    auto file = std::make_shared<std::filebuf>();
    ASSERT_NE(file->open(path, std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary), nullptr);
    auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdfConverter);
    writer->Init(file);
    writer->WorkPeriod(test::kWaitingWorker);
    for (uint64_t cycle = 0; cycle < 3; ++cycle) {
      ASSERT_TRUE(test::RunRichCycle(*writer, test::AddRichDataGroup(*writer), 15 + cycle));
    }
    EXPECT_TRUE(file->is_open()) << "a file handed in stays open";
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const test::ReadBack read(image);
  ASSERT_TRUE(read.Ok());
  for (uint64_t cycle = 0; cycle < 3; ++cycle) test::ExpectRichValues(read, cycle, 15 + cycle);

  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  const test::CheckResult check = test::RunMdf4Check(tool, "", path);
  EXPECT_EQ(check.status, 0) << check.output;
}

}  // namespace
