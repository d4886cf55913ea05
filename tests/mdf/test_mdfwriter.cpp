// The measurement cycle every writer kind shares: the factory, the sample queue with its
// master values, pre-trigger trimming and stop time, leftovers at the end of a cycle, and
// what a failing output does to a cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/itimestamp.h"
#include "mdf/mdfwriter.h"
#include "mdf3writer.h"
#include "mdf4writer.h"
#include "mdfconverter.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/writerkit.h"
#include "support/writerlayout.h"

namespace {

using mdf::MdfWriterType;
using mdf::WriterState;
using test::MemoryBuffer;
using Probe = test::WriterProbe<mdf::detail::Mdf4Writer>;

TEST(MdfWriter, TheFactoryMakesEveryKind) {
  EXPECT_NE(mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer), nullptr);
  EXPECT_NE(mdf::CreateMdfWriter(MdfWriterType::kMdfBusLogger), nullptr);
  EXPECT_NE(mdf::CreateMdfWriter(MdfWriterType::kMdfConverter), nullptr);
  EXPECT_NE(dynamic_cast<mdf::detail::Mdf3Writer*>(mdf::CreateMdfWriter(MdfWriterType::kMdf3Writer).get()), nullptr);
  EXPECT_EQ(mdf::CreateMdfWriter(static_cast<MdfWriterType>(4)), nullptr);
  EXPECT_EQ(mdf::CreateMdfWriter(static_cast<MdfWriterType>(-1)), nullptr);
}

TEST(MdfWriter, ACycleNeedsAFileObject) {
  test::LogCapture log;
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  EXPECT_EQ(writer->Header(), nullptr);
  EXPECT_EQ(writer->CreateDataGroup(), nullptr);
  EXPECT_FALSE(writer->InitMeasurement());
  EXPECT_FALSE(writer->FinalizeMeasurement());
  ASSERT_EQ(log.entries.size(), 2U);
  for (const auto& entry : log.entries) {
    EXPECT_EQ(entry.text, "The MDF file is not created. Invalid use of the function.");
    EXPECT_EQ(entry.severity, mdf::MdfLogSeverity::kError);
  }
  EXPECT_EQ(log.entries[0].location.function, "InitMeasurement");
  EXPECT_EQ(log.entries[1].location.function, "FinalizeMeasurement");
}

TEST(MdfWriter, ACycleNeedsAStreamBuffer) {
  test::LogCapture log;
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  EXPECT_TRUE(writer->Init(nullptr));
  ASSERT_NE(writer->Header(), nullptr);
  test::AddRichDataGroup(*writer);
  EXPECT_FALSE(writer->InitMeasurement());
  EXPECT_FALSE(writer->FinalizeMeasurement());
  std::vector<std::string> texts;
  for (const auto& entry : log.entries) texts.push_back(entry.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Invalid use of function. Need to init the file or stream buffer first.",
                                             "Failed to open the file for writing. File: ",
                                             "Invalid use of function. Need to init the file or stream buffer first.",
                                             "Failed to open the file for writing. File: "}));
}

TEST(MdfWriter, StatesFollowTheCycle) {
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(std::make_shared<MemoryBuffer>());
  writer->WorkPeriod(test::kWaitingWorker);
  EXPECT_EQ(writer->State(), WriterState::kCreate);
  test::AddRichDataGroup(*writer);
  EXPECT_TRUE(writer->InitMeasurement());
  EXPECT_EQ(writer->State(), WriterState::kInit);
  writer->StartMeasurement(test::kStartNs);
  EXPECT_EQ(writer->State(), WriterState::kStartMeas);
  EXPECT_EQ(writer->StartTime(), test::kStartNs);
  EXPECT_EQ(writer->StopTime(), 0U);
  writer->StopMeasurement(mdf::UtcTimestamp(test::kStartNs + 9));
  EXPECT_EQ(writer->State(), WriterState::kStopMeas);
  EXPECT_EQ(writer->StopTime(), test::kStartNs + 9);
  EXPECT_TRUE(writer->FinalizeMeasurement());
  EXPECT_EQ(writer->State(), WriterState::kFinalize);
}

/// A writer on a memory buffer with the rich layout, its cycle initialised.
struct ProbeCycle {
  ProbeCycle() {
    writer.Init(buffer);
    writer.WorkPeriod(test::kWaitingWorker);
    groups = test::AddRichDataGroup(writer);
    EXPECT_TRUE(writer.InitMeasurement());
  }
  std::shared_ptr<MemoryBuffer> buffer = std::make_shared<MemoryBuffer>();
  Probe writer;
  test::RichGroups groups;
};

double MasterValue(const mdf::SampleRecord& sample) {
  double seconds = 0;
  std::memcpy(&seconds, sample.record_buffer.data(), sizeof(seconds));  // "Time" at byte 0, little endian
  return seconds;
}

TEST(MdfWriter, MasterValuesCountFromTheStartTime) {
  ProbeCycle cycle;
  const uint64_t early = test::kStartNs - 2'000'000'000;
  cycle.writer.SaveSample(*cycle.groups.rich, early);
  EXPECT_EQ(MasterValue(cycle.writer.QueuedSamples().at(0)), static_cast<double>(early) / 1e9)
      << "before the start: seconds since 1970";

  cycle.writer.StartMeasurement(test::kStartNs);
  cycle.writer.SaveSample(*cycle.groups.rich, test::kStartNs + 250'000'000);
  const auto samples = cycle.writer.QueuedSamples();
  ASSERT_EQ(samples.size(), 2U);
  EXPECT_EQ(MasterValue(samples[0]), -2.0) << "recomputed from the start time";
  EXPECT_EQ(MasterValue(samples[1]), 0.25);
  EXPECT_EQ(samples[1].record_id, cycle.groups.rich->RecordId());
  EXPECT_EQ(samples[1].timestamp, test::kStartNs + 250'000'000);
  EXPECT_TRUE(cycle.writer.FinalizeMeasurement());
}

TEST(MdfWriter, ARecordGivenWholeIsQueuedLikeTheSampleBufferWithItsMasterStamped) {
  ProbeCycle cycle;
  cycle.writer.StartMeasurement(test::kStartNs);
  std::vector<uint8_t> record = cycle.groups.rich->SampleBuffer();
  ASSERT_GT(record.size(), sizeof(double));
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(0xA0 + i);
  cycle.writer.SaveRecord(*cycle.groups.rich, test::kStartNs + 500'000'000, record.data(), record.size());
  const std::vector<uint8_t> untouched(record.begin() + sizeof(double), record.end());

  const auto samples = cycle.writer.QueuedSamples();
  ASSERT_EQ(samples.size(), 1U);
  EXPECT_EQ(samples[0].record_id, cycle.groups.rich->RecordId());
  EXPECT_EQ(samples[0].timestamp, test::kStartNs + 500'000'000);
  EXPECT_EQ(MasterValue(samples[0]), 0.5) << "the master is stamped over the caller's bytes";
  const std::vector<uint8_t> queued = samples[0].record_buffer.ToVector();
  EXPECT_EQ(std::vector<uint8_t>(queued.begin() + sizeof(double), queued.end()), untouched);
  EXPECT_EQ(record[0], 0xA0) << "the caller's record is not changed";
  EXPECT_TRUE(cycle.writer.FinalizeMeasurement());
}

TEST(MdfWriter, TheFirstTimeMasterOfAGroupGetsTheMasterValue) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  mdf::IChannelGroup* group = writer->CreateDataGroup()->CreateChannelGroup();
  test::AddChannel(*group, "Value", 0, 2);
  mdf::IChannel* angle = test::AddChannel(*group, "Angle", 4, 8, 2);
  angle->SyncType(2);  // a master, but not of time
  mdf::IChannel* first = test::AddChannel(*group, "Micros", 0, 8, 2);
  first->SyncType(1);
  mdf::IChannelConversion* micro = writer->CreateChannelConversion(first);
  micro->SetType(1);
  micro->SetParameter(0, 0.0);
  micro->SetParameter(1, 1e-6);
  mdf::IChannel* second = test::AddChannel(*group, "Seconds", 4, 8, 2);
  second->SyncType(1);

  writer->InitMeasurement();
  writer->StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < 4; ++i) writer->SaveSample(*group, test::SampleTime(i));
  writer->StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer->FinalizeMeasurement());

  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  for (uint64_t i = 0; i < 4; ++i) {
    uint64_t micros = 0;
    double seconds = -1;
    EXPECT_TRUE(read.Observer(0, "Micros")->GetChannelValue(i, micros));
    EXPECT_EQ(micros, i * 1000);
    EXPECT_TRUE(read.Observer(0, "Seconds")->GetChannelValue(i, seconds));
    EXPECT_EQ(seconds, 0.0) << "only the first time master is written";
    EXPECT_TRUE(read.Observer(0, "Angle")->GetChannelValue(i, seconds));
    EXPECT_EQ(seconds, 0.0);
  }
}

TEST(MdfWriter, SamplesBeforeTheStartOfALaterCycleKeepTheirValues) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  mdf::IChannelGroup* first = writer->CreateDataGroup()->CreateChannelGroup();
  test::AddChannel(*first, "Time", 4, 8, 2)->SyncType(1);  // master at byte 0
  ASSERT_TRUE(writer->InitMeasurement());
  writer->StartMeasurement(test::kStartNs);
  writer->SaveSample(*first, test::kStartNs);
  ASSERT_TRUE(writer->FinalizeMeasurement());

  // Same record id, another layout: a value where the first cycle had its master.
  mdf::IChannelGroup* second = writer->CreateDataGroup()->CreateChannelGroup();
  mdf::IChannel* value = test::AddChannel(*second, "Value", 0, 8);
  test::AddChannel(*second, "T", 4, 8, 2)->SyncType(1);
  ASSERT_TRUE(writer->InitMeasurement());
  value->SetChannelValue(0x1122334455667788ULL);
  writer->SaveSample(*second, test::kStartNs + 1'000'000'000);
  writer->StartMeasurement(test::kStartNs);
  writer->StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer->FinalizeMeasurement());

  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  uint64_t stored = 0;
  double seconds = 0;
  EXPECT_TRUE(read.Observer(1, "Value")->GetChannelValue(0, stored));
  EXPECT_EQ(stored, 0x1122334455667788ULL);
  EXPECT_TRUE(read.Observer(1, "T")->GetChannelValue(0, seconds));
  EXPECT_EQ(seconds, 1.0);
}

TEST(MdfWriter, TrimmingKeepsOneSampleOlderThanTheWindow) {
  struct Case {
    const char* name;
    std::optional<uint64_t> start;
    uint64_t pre_trig;
    std::vector<uint64_t> times;
    std::vector<uint64_t> kept;
  };
  const std::vector<Case> cases = {
      {"no start, no pre-trigger", std::nullopt, 0, {1, 2, 3}, {2, 3}},
      {"no start, window of 2", std::nullopt, 2, {1, 2, 3, 4, 5}, {2, 3, 4, 5}},
      {"start 10", 10, 0, {5, 8, 12, 15}, {8, 12, 15}},
      {"start 10, pre-trigger 4", 10, 4, {1, 3, 5, 8, 12}, {5, 8, 12}},
      {"window reaching before 1970", 10, 20, {1, 2, 3}, {1, 2, 3}},
      {"start at 1970-01-01T00:00:00Z", 0, 0, {0, 5, 9, 12}, {0, 5, 9, 12}},
      {"samples out of order", std::nullopt, 0, {5, 9, 4}, {5, 9, 4}},
      {"one sample", std::nullopt, 0, {7}, {7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProbeCycle cycle;
    cycle.writer.PreTrigTime(c.pre_trig);
    if (c.start.has_value()) cycle.writer.StartMeasurement(*c.start);
    for (const uint64_t time : c.times) cycle.writer.SaveSample(*cycle.groups.rich, time);
    cycle.writer.RunPass(WriterState::kInit);
    EXPECT_EQ(cycle.writer.QueuedTimes(), c.kept);
    cycle.writer.FinalizeMeasurement();
  }
}

TEST(MdfWriter, APassEndsAtTheFirstSampleAfterTheStopTime) {
  ProbeCycle cycle;
  cycle.writer.StartMeasurement(50);
  for (const uint64_t time : {90, 100, 110, 95}) {
    test::SetRichValues(*cycle.groups.rich, time);
    cycle.writer.SaveSample(*cycle.groups.rich, time);
  }
  cycle.writer.StopMeasurement(100);
  cycle.writer.RunPass(WriterState::kStopMeas);
  EXPECT_EQ(cycle.writer.QueuedTimes(), std::vector<uint64_t>{95}) << "110 dropped, 95 left queued";
  EXPECT_EQ(cycle.groups.rich->NofSamples(), 2U);
  EXPECT_TRUE(cycle.writer.FinalizeMeasurement()) << "the last pass writes 95";
  EXPECT_EQ(cycle.groups.rich->NofSamples(), 3U);
}

TEST(MdfWriter, TheLargestStopTimeDropsNothing) {
  ProbeCycle cycle;
  cycle.writer.StartMeasurement(test::kStartNs);
  for (const uint64_t time : {test::kStartNs, UINT64_MAX - 1, UINT64_MAX}) {
    cycle.writer.SaveSample(*cycle.groups.rich, time);
  }
  cycle.writer.StopMeasurement(UINT64_MAX);
  cycle.writer.RunPass(WriterState::kStopMeas);
  EXPECT_TRUE(cycle.writer.QueuedTimes().empty());
  EXPECT_EQ(cycle.groups.rich->NofSamples(), 3U);
  EXPECT_TRUE(cycle.writer.FinalizeMeasurement());
}

TEST(MdfWriter, QueuedBytesCountRecordsAndStayAfterAPlainPass) {
  ProbeCycle cycle;
  cycle.writer.StartMeasurement(test::kStartNs);
  const uint64_t record = cycle.groups.bus->SampleBuffer().size();
  ASSERT_EQ(record, 16U);
  for (uint64_t i = 0; i < 3; ++i) cycle.writer.SaveSample(*cycle.groups.bus, test::SampleTime(i));
  EXPECT_EQ(cycle.writer.QueuedBytes(), 48U);
  cycle.writer.RunPass(WriterState::kStartMeas);
  EXPECT_TRUE(cycle.writer.QueuedTimes().empty());
  EXPECT_EQ(cycle.writer.QueuedBytes(), 48U);
  EXPECT_TRUE(cycle.writer.FinalizeMeasurement());
  test::AddRichDataGroup(cycle.writer);
  EXPECT_TRUE(cycle.writer.InitMeasurement());
  EXPECT_EQ(cycle.writer.QueuedBytes(), 0U) << "a new cycle counts from 0";
  EXPECT_TRUE(cycle.writer.FinalizeMeasurement());
}

TEST(MdfWriter, SamplesLeftAtTheEndFailTheCycleAndNeverReachTheNext) {
  test::LogCapture log;
  ProbeCycle cycle;
  cycle.writer.StartMeasurement(50);
  for (const uint64_t time : {90, 110, 95}) cycle.writer.SaveSample(*cycle.groups.rich, time);
  cycle.writer.StopMeasurement(100);
  EXPECT_FALSE(cycle.writer.FinalizeMeasurement()) << "95 stays behind the dropped 110";
  EXPECT_TRUE(log.Contains("Samples were not written. Samples: 1"));
  EXPECT_TRUE(cycle.writer.QueuedTimes().empty());

  const test::RichGroups next = test::AddRichDataGroup(cycle.writer);
  EXPECT_TRUE(test::RunRichCycle(cycle.writer, next, 4));
  const test::ReadBack read(cycle.buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  EXPECT_EQ(read.Observer(0, "Counter")->NofSamples(), 1U);
  test::ExpectRichValues(read, 1, 4);
}

TEST(MdfWriter, AWorkPeriodBeyondADayIsCutToADay) {
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  EXPECT_EQ(writer->WorkPeriod(), std::chrono::seconds(10));
  writer->WorkPeriod(std::chrono::nanoseconds::max());
  EXPECT_EQ(writer->WorkPeriod(), std::chrono::hours(24));
}

TEST(MdfWriter, TheWorkerWritesEveryPeriod) {
  auto buffer = std::make_shared<MemoryBuffer>();
  Probe writer;
  writer.Init(buffer);
  writer.WorkPeriod(std::chrono::milliseconds(1));
  const test::RichGroups groups = test::AddRichDataGroup(writer);
  ASSERT_TRUE(writer.InitMeasurement());
  writer.StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < 50; ++i) {
    test::SetRichValues(*groups.rich, i);
    writer.SaveSample(*groups.rich, test::SampleTime(i));
    test::SetBusValues(*groups.bus, i);
    writer.SaveSample(*groups.bus, test::SampleTime(i) + 500'000);
  }
  // The second pass to end from here on began after the last sample was queued.
  ASSERT_TRUE(writer.WaitForSavePasses(writer.SavePasses() + 2)) << "passes of the worker's own";
  EXPECT_TRUE(writer.QueuedTimes().empty());
  writer.StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer.FinalizeMeasurement());
  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  test::ExpectRichValues(read, 0, 50);
}

// ---- Failing output ----

struct FailureRun {
  bool finalized = false;
  bool logged_error = false;
  bool logged_by_worker = false;
};

/// Two cycles of the rich layout on an output that takes `capacity` bytes.
FailureRun RunOnShortOutput(MdfWriterType type, bool compress, size_t capacity, std::vector<uint8_t>* image) {
  test::LogCapture log;
  auto buffer = std::make_shared<MemoryBuffer>();
  buffer->SetCapacity(capacity);
  FailureRun run;
  {
    auto writer = mdf::CreateMdfWriter(type);
    writer->Init(buffer);
    writer->CompressData(compress);
    writer->WorkPeriod(test::kWaitingWorker);
    run.finalized = test::RunRichCycle(*writer, test::AddRichDataGroup(*writer), 30);
    run.finalized = test::RunRichCycle(*writer, test::AddRichDataGroup(*writer), 10) && run.finalized;
  }
  for (const auto& entry : log.entries) {
    if (entry.severity == mdf::MdfLogSeverity::kError) run.logged_error = true;
    if (entry.location.function == "WorkThread") run.logged_by_worker = true;
  }
  if (image != nullptr) *image = buffer->Bytes();
  return run;
}

TEST(MdfWriter, AnOutputThatRunsShortFailsTheCycleWithALoggedError) {
  for (const auto type : {MdfWriterType::kMdf4Writer, MdfWriterType::kMdfConverter}) {
    for (const bool compress : {false, true}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(type)) + (compress ? " compressed" : " plain"));
      std::vector<uint8_t> whole;
      ASSERT_TRUE(RunOnShortOutput(type, compress, SIZE_MAX, &whole).finalized);
      // Every position inside the tree, the records and the signal data written last.
      bool worker_failed = false;
      const size_t step = std::max<size_t>(1, whole.size() / 300);
      for (size_t capacity = 0; capacity < whole.size(); capacity += step) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        const FailureRun run = RunOnShortOutput(type, compress, capacity, nullptr);
        EXPECT_FALSE(run.finalized);
        EXPECT_TRUE(run.logged_error);
        worker_failed = worker_failed || run.logged_by_worker;
      }
      const FailureRun last = RunOnShortOutput(type, compress, whole.size() - 1, nullptr);
      EXPECT_FALSE(last.finalized) << "the very last byte";
      EXPECT_TRUE(last.logged_error);
      EXPECT_TRUE(worker_failed) << "some capacities end inside the records the worker writes";
    }
  }
}

TEST(MdfWriter, AStreamThatCannotSeekFailsTheCycle) {
  test::LogCapture log;
  auto buffer = std::make_shared<MemoryBuffer>();
  buffer->FailSeeks(true);
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  EXPECT_FALSE(test::RunRichCycle(*writer, test::AddRichDataGroup(*writer), 5));
  EXPECT_FALSE(log.entries.empty());
}

}  // namespace
