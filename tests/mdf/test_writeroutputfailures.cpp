// Every writer kind on an output that fails somewhere: after so many bytes, at a numbered
// write or seek call, once or from then on. A cycle whose output lost anything returns false
// with a logged error; true is only ever returned with the very bytes of an undisturbed run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfwriter.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/writerkit.h"
#include "support/writerlayout.h"

namespace {

using mdf::MdfWriterType;
using test::MemoryBuffer;

// The MDF 3 writer stores no signal data: its layout has fixed-size values only.
struct Mdf3Groups {
  mdf::IChannelGroup* engine = nullptr;
  mdf::IChannelGroup* status = nullptr;
};

Mdf3Groups AddMdf3DataGroup(mdf::MdfWriter& writer) {
  mdf::IDataGroup* data_group = writer.CreateDataGroup();
  Mdf3Groups groups;
  groups.engine = data_group->CreateChannelGroup();
  groups.engine->Description("engine");
  test::AddChannel(*groups.engine, "t", mdf::kFloatLe, 8, mdf::kMasterChannel);
  mdf::IChannel* rpm = test::AddChannel(*groups.engine, "rpm", mdf::kUnsignedLe, 2);
  mdf::IChannelConversion* conversion = writer.CreateChannelConversion(rpm);
  conversion->SetType(mdf::kLinearConversion);
  conversion->SetParameter(0, 0.0);
  conversion->SetParameter(1, 0.25);
  conversion->SetUnit("1/min");
  groups.status = data_group->CreateChannelGroup();
  test::AddChannel(*groups.status, "gear", mdf::kSignedLe, 1);
  test::AddChannel(*groups.status, "label", mdf::kLatin1Text, 12);
  return groups;
}

bool RunMdf3Cycle(mdf::MdfWriter& writer, const Mdf3Groups& groups, uint64_t samples) {
  const bool initialised = writer.InitMeasurement();
  writer.StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < samples; ++i) {
    test::ChannelOf(*groups.engine, "t")->SetChannelValue(static_cast<double>(i) / 10.0);
    test::ChannelOf(*groups.engine, "rpm")->SetChannelValue(static_cast<uint16_t>(4000 + i));
    writer.SaveSample(*groups.engine, test::SampleTime(i));
    test::ChannelOf(*groups.status, "gear")->SetChannelValue(static_cast<int8_t>(i % 7));
    test::ChannelOf(*groups.status, "label")->SetTextValue("gear " + std::to_string(i % 7), true);
    writer.SaveSample(*groups.status, test::SampleTime(i) + 1);
  }
  writer.StopMeasurement(UINT64_MAX);
  const bool finalized = writer.FinalizeMeasurement();
  return initialised && finalized;
}

struct Kind {
  const char* name;
  MdfWriterType type;
  bool compress;
};

constexpr Kind kKinds[] = {
    {"MDF 3", MdfWriterType::kMdf3Writer, false},       {"MDF 4", MdfWriterType::kMdf4Writer, false},
    {"MDF 4 zipped", MdfWriterType::kMdf4Writer, true}, {"bus logger", MdfWriterType::kMdfBusLogger, false},
    {"converter", MdfWriterType::kMdfConverter, false}, {"converter zipped", MdfWriterType::kMdfConverter, true},
};

enum class Failure { kNone, kEndsAfterBytes, kWriteCallOnce, kWriteCallOnward, kSeekCallOnce, kSeekCallOnward };

struct Outcome {
  bool finalized = false;
  bool logged_error = false;
  bool logged_bounds_error = false;  // a follow-on error that hides the real one
  std::vector<uint8_t> bytes;
  uint64_t write_calls = 0;
  uint64_t seek_calls = 0;
  bool failure_met = false;
};

/// Two cycles (the second adds a data group to the file) on an output failing as told.
Outcome WriteTwoCycles(const Kind& kind, Failure failure, uint64_t at) {
  test::LogCapture log;
  auto buffer = std::make_shared<MemoryBuffer>();
  switch (failure) {
    case Failure::kNone:
      break;
    case Failure::kEndsAfterBytes:
      buffer->SetCapacity(at);
      break;
    case Failure::kWriteCallOnce:
    case Failure::kWriteCallOnward:
      buffer->FailWriteCall(at, failure == Failure::kWriteCallOnward);
      break;
    case Failure::kSeekCallOnce:
    case Failure::kSeekCallOnward:
      buffer->FailSeekCall(at, failure == Failure::kSeekCallOnward);
      break;
  }
  Outcome run;
  {
    auto writer = mdf::CreateMdfWriter(kind.type);
    writer->Init(buffer);
    writer->CompressData(kind.compress);
    writer->WorkPeriod(test::kWaitingWorker);
    if (kind.type == MdfWriterType::kMdf3Writer) {
      run.finalized = RunMdf3Cycle(*writer, AddMdf3DataGroup(*writer), 25);
      run.finalized = RunMdf3Cycle(*writer, AddMdf3DataGroup(*writer), 8) && run.finalized;
    } else {
      run.finalized = test::RunRichCycle(*writer, test::AddRichDataGroup(*writer), 25);
      run.finalized = test::RunRichCycle(*writer, test::AddRichDataGroup(*writer), 8) && run.finalized;
    }
  }
  for (const auto& entry : log.entries) {
    if (entry.severity == mdf::MdfLogSeverity::kError) run.logged_error = true;
    if (entry.text.find("index is out of bounds") != std::string::npos) run.logged_bounds_error = true;
  }
  run.bytes = buffer->Bytes();
  run.write_calls = buffer->WriteCalls();
  run.seek_calls = buffer->SeekCalls();
  run.failure_met = buffer->FailedCalls() > 0;
  return run;
}

/// About `runs` points from 0 below `end`, the last one always among them.
std::vector<uint64_t> Sweep(uint64_t end, uint64_t runs) {
  std::vector<uint64_t> points;
  const uint64_t step = std::max<uint64_t>(1, end / runs);
  for (uint64_t at = 0; at < end; at += step) points.push_back(at);
  if (end > 0 && points.back() != end - 1) points.push_back(end - 1);
  return points;
}

TEST(WriterOutputFailures, EveryKindFailsWhereverItsOutputFails) {
  struct Mode {
    const char* name;
    Failure failure;
    bool must_fail;  // a failed seek that the next one makes good may lose nothing
  };
  const Mode modes[] = {
      {"output ends after byte", Failure::kEndsAfterBytes, true},
      {"write call fails once", Failure::kWriteCallOnce, true},
      {"write calls fail from", Failure::kWriteCallOnward, true},
      {"seek call fails once", Failure::kSeekCallOnce, false},
      {"seek calls fail from", Failure::kSeekCallOnward, true},
  };
  for (const Kind& kind : kKinds) {
    const Outcome whole = WriteTwoCycles(kind, Failure::kNone, 0);
    ASSERT_TRUE(whole.finalized) << kind.name;
    ASSERT_FALSE(whole.logged_error) << kind.name;
    for (const Mode& mode : modes) {
      uint64_t end = whole.bytes.size();
      if (mode.failure == Failure::kWriteCallOnce || mode.failure == Failure::kWriteCallOnward) end = whole.write_calls;
      if (mode.failure == Failure::kSeekCallOnce || mode.failure == Failure::kSeekCallOnward) end = whole.seek_calls;
      for (const uint64_t at : Sweep(end, 40)) {
        SCOPED_TRACE(std::string(kind.name) + ", " + mode.name + " " + std::to_string(at) + " of " +
                     std::to_string(end));
        const Outcome run = WriteTwoCycles(kind, mode.failure, at);
        if (!run.failure_met) {
          // The converter's worker runs a pass at every signal: how many calls a run makes
          // depends on when it ran, and a run may end before the failing one.
          EXPECT_TRUE(run.finalized);
        } else if (mode.must_fail) {
          EXPECT_FALSE(run.finalized);
        } else if (run.finalized) {
          EXPECT_EQ(run.bytes, whole.bytes) << "true with other bytes than the undisturbed run's";
        }
        if (!run.finalized) {
          EXPECT_TRUE(run.logged_error) << "a failed cycle says why";
          EXPECT_FALSE(run.logged_bounds_error) << "signal data of a channel block never written";
        }
      }
    }
  }
}

TEST(WriterOutputFailures, AFlushThatFailsFailsTheCycle) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    test::LogCapture log;
    auto buffer = std::make_shared<MemoryBuffer>();
    buffer->FailSyncs(true);
    auto writer = mdf::CreateMdfWriter(kind.type);
    writer->Init(buffer);
    writer->CompressData(kind.compress);
    writer->WorkPeriod(test::kWaitingWorker);
    if (kind.type == MdfWriterType::kMdf3Writer) {
      EXPECT_FALSE(RunMdf3Cycle(*writer, AddMdf3DataGroup(*writer), 5));
    } else {
      EXPECT_FALSE(test::RunRichCycle(*writer, test::AddRichDataGroup(*writer), 5));
    }
    EXPECT_TRUE(log.Contains("Close of file failed. Error: The stream buffer could not be flushed."));
  }
}

// The converter keeps its output open over a cycle: a cycle that begins before the last one
// was finalized first writes out what that one left, and fails when that cannot be done.
TEST(WriterOutputFailures, AConverterCycleFailsWhenTheOpenOutputCannotBeFlushed) {
  test::LogCapture log;
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdfConverter);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  test::AddRichDataGroup(*writer);
  ASSERT_TRUE(writer->InitMeasurement());
  test::AddRichDataGroup(*writer);
  buffer->FailSyncs(true);
  EXPECT_FALSE(writer->InitMeasurement());
  EXPECT_TRUE(log.Contains("Close of file failed. Error: The stream buffer could not be flushed."));
  buffer->FailSyncs(false);
  test::AddRichDataGroup(*writer);
  EXPECT_TRUE(writer->InitMeasurement()) << "a cycle on an output that flushes again";
}

}  // namespace
