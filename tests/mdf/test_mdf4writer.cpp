// Files written through the MDF 4 writer kinds: what the checker and our reader see in them,
// and the layout of the records and data blocks one cycle leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cg4block.h"
#include "dg4block.h"
#include "dt4block.h"
#include "mdf/iheader.h"
#include "mdf/itimestamp.h"
#include "mdf/mdfwriter.h"
#include "mdf4writer.h"
#include "support/bytes.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/tempdir.h"
#include "support/writerkit.h"
#include "support/writerlayout.h"

namespace {

using mdf::MdfWriterType;
using test::MemoryBuffer;

std::string KindName(MdfWriterType type) {
  switch (type) {
    case MdfWriterType::kMdf4Writer:
      return "Mdf4Writer";
    case MdfWriterType::kMdfBusLogger:
      return "BusLogger";
    case MdfWriterType::kMdfConverter:
      return "Converter";
    default:
      return "Other";
  }
}

struct WrittenFile {
  std::vector<uint8_t> image;
  bool cycles_ok = true;
};

/// `cycles` cycles of the rich layout, each in a data group of its own; cycle c saves
/// 20 + 7c samples of each group.
WrittenFile WriteRichFile(MdfWriterType type, int cycles, bool compress) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(type);
  EXPECT_TRUE(writer->Init(buffer));
  writer->CompressData(compress);
  writer->WorkPeriod(test::kWaitingWorker);
  writer->GetFile()->SetMinorVersion(11);
  WrittenFile file;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const auto groups = test::AddRichDataGroup(*writer);
    file.cycles_ok = test::RunRichCycle(*writer, groups, 20 + 7 * static_cast<uint64_t>(cycle)) && file.cycles_ok;
  }
  writer.reset();
  file.image = buffer->Bytes();
  return file;
}

class WriterKinds : public testing::TestWithParam<std::tuple<MdfWriterType, int, bool>> {};

TEST_P(WriterKinds, FilesPassTheCheckerAndReadBackEqual) {
  const auto [type, cycles, compress] = GetParam();
  const WrittenFile file = WriteRichFile(type, cycles, compress);
  ASSERT_TRUE(file.cycles_ok);

  const test::ReadBack read(file.image);
  ASSERT_TRUE(read.Ok());
  ASSERT_EQ(read.DataGroups().size(), static_cast<size_t>(cycles));
  for (int cycle = 0; cycle < cycles; ++cycle) {
    test::ExpectRichValues(read, static_cast<size_t>(cycle), 20 + 7 * static_cast<uint64_t>(cycle));
  }
  EXPECT_EQ(read.File()->Header()->StartTime(), test::kStartNs);

  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  const std::string path = dir.Write("written.mf4", file.image);
  const test::CheckResult check = test::RunMdf4Check(tool, "", path);
  EXPECT_EQ(check.status, 0) << check.output;
  // 13 values per "Rich" sample (the array has 3 elements), 4 per "Bus" sample.
  uint64_t samples = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) samples += 20 + 7 * static_cast<uint64_t>(cycle);
  EXPECT_EQ(test::ExpectCheckerAgrees(tool, path, read), 17 * samples);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, WriterKinds,
                         testing::Combine(testing::Values(MdfWriterType::kMdf4Writer, MdfWriterType::kMdfBusLogger,
                                                          MdfWriterType::kMdfConverter),
                                          testing::Values(1, 3), testing::Bool()),
                         [](const auto& row) {
                           return KindName(std::get<0>(row.param)) + "_" + std::to_string(std::get<1>(row.param)) +
                                  "Cycles" + (std::get<2>(row.param) ? "_Compressed" : "_Plain");
                         });

}  // namespace

namespace {

/// The data groups of a written image in link order, from the header at 64 on.
std::vector<int64_t> DataGroupPositions(const std::vector<uint8_t>& image) {
  std::vector<int64_t> positions;
  for (int64_t position = test::HeaderAt(image, 64).links.at(0); position > 0 && positions.size() < 100;
       position = test::HeaderAt(image, position).links.at(0)) {
    positions.push_back(position);
  }
  return positions;
}

/// A data group with one group of 10-byte records: a 64-bit counter and a 16-bit value.
struct PlainGroup {
  mdf::IChannelGroup* group = nullptr;
  mdf::IChannel* wide = nullptr;
  mdf::IChannel* narrow = nullptr;
};

PlainGroup AddPlainGroup(mdf::MdfWriter& writer, uint8_t id_size, uint64_t record_id) {
  mdf::IDataGroup* data_group = writer.CreateDataGroup();
  PlainGroup plain;
  plain.group = data_group->CreateChannelGroup();
  data_group->RecordIdSize(id_size);
  plain.group->RecordId(record_id);
  plain.wide = test::AddChannel(*plain.group, "Wide", 0, 8);
  plain.narrow = test::AddChannel(*plain.group, "Narrow", 0, 2);
  return plain;
}

bool RunPlainCycle(mdf::MdfWriter& writer, const PlainGroup& plain, uint64_t samples) {
  const bool initialised = writer.InitMeasurement();
  writer.StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < samples; ++i) {
    plain.wide->SetChannelValue(0x0101010101010101ULL * (i + 1));
    plain.narrow->SetChannelValue(static_cast<uint16_t>(0xA000 + i));
    writer.SaveSample(*plain.group, test::SampleTime(i));
  }
  writer.StopMeasurement(UINT64_MAX);
  return writer.FinalizeMeasurement() && initialised;
}

std::vector<uint8_t> PlainRecords(uint8_t id_size, uint64_t record_id, uint64_t samples) {
  test::Bytes records;
  for (uint64_t i = 0; i < samples; ++i) {
    records.Le(record_id, id_size);
    records.U64(0x0101010101010101ULL * (i + 1)).U16(static_cast<uint16_t>(0xA000 + i));
  }
  return records;
}

struct RecordIdCase {
  uint8_t id_size;
  uint64_t record_id;
};

class RecordIdLayout : public testing::TestWithParam<RecordIdCase> {};

TEST_P(RecordIdLayout, TheDtBlockHoldsTheIdThenTheRecordPerSample) {
  const auto [id_size, record_id] = GetParam();
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  const PlainGroup plain = AddPlainGroup(*writer, id_size, record_id);
  ASSERT_TRUE(RunPlainCycle(*writer, plain, 3));

  const auto& image = buffer->Bytes();
  const auto groups = DataGroupPositions(image);
  ASSERT_EQ(groups.size(), 1U);
  const int64_t dt = test::HeaderAt(image, groups[0]).links.at(2);
  const test::BlockHeader block = test::HeaderAt(image, dt);
  EXPECT_EQ(block.id, "##DT");
  EXPECT_EQ(block.length, 24 + 3 * (id_size + 10U));  // 24 + 33 = 57 with 1-byte ids
  EXPECT_EQ(test::Slice(image, static_cast<size_t>(dt) + 24, 3 * (id_size + 10U)), PlainRecords(id_size, record_id, 3));
  EXPECT_EQ(image.size(), static_cast<size_t>(dt + static_cast<int64_t>(block.length)))
      << "the records are the last bytes of the file";
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordIdLayout,
                         testing::Values(RecordIdCase{0, 0}, RecordIdCase{1, 7}, RecordIdCase{2, 5},
                                         RecordIdCase{4, 0x01020304}, RecordIdCase{8, 0x0102030405060708ULL}));

// Two groups whose record ids need 2 bytes; the size chosen before the second group was
// added is gone with it (reset to 1), unless chosen again after it.
struct WideIds {
  mdf::IDataGroup* data_group = nullptr;
  mdf::IChannelGroup* first = nullptr;
  mdf::IChannelGroup* second = nullptr;
};

WideIds AddWideIdGroups(mdf::MdfWriter& writer, bool size_chosen_again) {
  WideIds ids;
  ids.data_group = writer.CreateDataGroup();
  ids.data_group->RecordIdSize(2);
  ids.first = ids.data_group->CreateChannelGroup();
  ids.first->Name("First");
  test::AddChannel(*ids.first, "a", mdf::kUnsignedLe, 2);
  ids.second = ids.data_group->CreateChannelGroup();
  ids.second->Name("Second");
  test::AddChannel(*ids.second, "b", mdf::kUnsignedLe, 4);
  ids.first->RecordId(255);
  ids.second->RecordId(300);
  if (size_chosen_again) ids.data_group->RecordIdSize(2);
  return ids;
}

TEST(Mdf4Writer, ARecordIdBeyondTheRecordIdSizeIsRefused) {
  for (const MdfWriterType type :
       {MdfWriterType::kMdf4Writer, MdfWriterType::kMdfBusLogger, MdfWriterType::kMdfConverter}) {
    SCOPED_TRACE(KindName(type));
    test::LogCapture log;
    auto buffer = std::make_shared<MemoryBuffer>();
    auto writer = mdf::CreateMdfWriter(type);
    writer->Init(buffer);
    writer->WorkPeriod(test::kWaitingWorker);
    const WideIds ids = AddWideIdGroups(*writer, false);
    ASSERT_EQ(ids.data_group->RecordIdSize(), 1);
    EXPECT_FALSE(writer->InitMeasurement());
    EXPECT_TRUE(
        log.Contains("The record ID does not fit the record ID size of its data group. Group: Second, "
                     "Record ID: 300, Size: 1"));
    EXPECT_TRUE(buffer->Bytes().empty()) << "nothing is written";
    EXPECT_FALSE(writer->FinalizeMeasurement());
  }
}

TEST(Mdf4Writer, RecordIdsOfTheSizeChosenLastAreWrittenWhole) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  const WideIds ids = AddWideIdGroups(*writer, true);
  ASSERT_TRUE(writer->InitMeasurement());
  writer->StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < 3; ++i) {
    test::ChannelOf(*ids.first, "a")->SetChannelValue(static_cast<uint16_t>(i + 1));
    writer->SaveSample(*ids.first, test::SampleTime(i));
    test::ChannelOf(*ids.second, "b")->SetChannelValue(static_cast<uint32_t>(1000 * i));
    writer->SaveSample(*ids.second, test::SampleTime(i) + 1);
  }
  writer->StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer->FinalizeMeasurement());
  writer.reset();

  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  const auto* a = read.Observer(0, "a");
  const auto* b = read.Observer(0, "b");
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->NofSamples(), 3U);
  ASSERT_EQ(b->NofSamples(), 3U);
  for (uint64_t i = 0; i < 3; ++i) {
    uint64_t value = 0;
    EXPECT_TRUE(a->GetChannelValue(i, value));
    EXPECT_EQ(value, i + 1);
    EXPECT_TRUE(b->GetChannelValue(i, value));
    EXPECT_EQ(value, 1000 * i);
  }

  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  const std::string path = dir.Write("wide-ids.mf4", buffer->Bytes());
  const test::CheckResult check = test::RunMdf4Check(tool, "", path);
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_EQ(test::ExpectCheckerAgrees(tool, path, read), 6U);
}

TEST(Mdf4Writer, ALaterCycleLeavesTheFirstDtBlockAsItWas) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  ASSERT_TRUE(RunPlainCycle(*writer, AddPlainGroup(*writer, 1, 3), 3));
  const std::vector<uint8_t> first = buffer->Bytes();
  const int64_t first_dt = test::HeaderAt(first, DataGroupPositions(first).at(0)).links.at(2);

  ASSERT_TRUE(RunPlainCycle(*writer, AddPlainGroup(*writer, 1, 4), 5));
  const auto& image = buffer->Bytes();
  const auto groups = DataGroupPositions(image);
  ASSERT_EQ(groups.size(), 2U);
  EXPECT_EQ(test::HeaderAt(image, groups[0]).links.at(2), first_dt);
  EXPECT_EQ(test::Slice(image, static_cast<size_t>(first_dt), 24 + 33),
            test::Slice(first, static_cast<size_t>(first_dt)))
      << "the first cycle's DT block, length and records unchanged";
  const int64_t second_dt = test::HeaderAt(image, groups[1]).links.at(2);
  EXPECT_GE(second_dt, static_cast<int64_t>(first.size()));
  EXPECT_EQ(test::HeaderAt(image, second_dt).length, 24 + 5 * 11U);
  EXPECT_EQ(test::Slice(image, static_cast<size_t>(second_dt) + 24), PlainRecords(1, 4, 5));

  const test::ReadBack read(image);
  ASSERT_TRUE(read.Ok());
  EXPECT_EQ(read.Observer(0, "Narrow")->NofSamples(), 3U);
  EXPECT_EQ(read.Observer(1, "Narrow")->NofSamples(), 5U);
}

TEST(Mdf4Writer, AHeaderWithoutDataGroupsIsWrittenAlone) {
  auto buffer = std::make_shared<MemoryBuffer>();
  test::WriterProbe<mdf::detail::Mdf4Writer> writer;
  writer.Init(buffer);
  EXPECT_TRUE(writer.PrepareForWriting());
  EXPECT_TRUE(writer.InitMeasurement());
  writer.StartMeasurement(test::kStartNs);
  EXPECT_TRUE(writer.FinalizeMeasurement());
  EXPECT_TRUE(DataGroupPositions(buffer->Bytes()).empty());
  EXPECT_TRUE(test::ReadBack(buffer->Bytes()).Ok());
}

TEST(Mdf4Writer, SignalDataNeedsAHeader) {
  test::LogCapture log;
  test::WriterProbe<mdf::detail::Mdf4Writer> writer;  // no Init: no file object
  MemoryBuffer buffer;
  EXPECT_FALSE(writer.WriteSignalData(buffer));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "No header block found. File: ");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
  EXPECT_EQ(log.entries[0].location.function, "WriteSignalData");
}

TEST(Mdf4Writer, TheBusLoggerWritesTheSameBytes) {
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "plain");
    const WrittenFile mdf4 = WriteRichFile(MdfWriterType::kMdf4Writer, 3, compress);
    const WrittenFile bus_logger = WriteRichFile(MdfWriterType::kMdfBusLogger, 3, compress);
    EXPECT_TRUE(mdf4.image == bus_logger.image);
  }
}

TEST(Mdf4Writer, OnlyTheFirstCycleSetsTheHeaderStartTime) {
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(test::kWaitingWorker);
  AddPlainGroup(*writer, 0, 0);
  writer->InitMeasurement();
  writer->StartMeasurement(mdf::UtcTimestamp(test::kStartNs));
  EXPECT_EQ(writer->Header()->StartTime(), test::kStartNs);
  writer->FinalizeMeasurement();

  AddPlainGroup(*writer, 0, 0);
  writer->InitMeasurement();
  writer->StartMeasurement(mdf::UtcTimestamp(test::kStartNs + 5'000'000'000));
  EXPECT_EQ(writer->StartTime(), test::kStartNs + 5'000'000'000);
  EXPECT_EQ(writer->Header()->StartTime(), test::kStartNs) << "with two data groups";
  writer->StartMeasurement(test::kStartNs + 7);
  EXPECT_EQ(writer->Header()->StartTime(), test::kStartNs);
  EXPECT_TRUE(writer->FinalizeMeasurement());
  EXPECT_EQ(test::ReadBack(buffer->Bytes()).File()->Header()->StartTime(), test::kStartNs);
}

/// Where the records of the only DT block of an image start.
size_t RecordsStart(const std::vector<uint8_t>& image) {
  const auto groups = DataGroupPositions(image);
  return groups.empty() ? 0 : static_cast<size_t>(test::HeaderAt(image, groups[0]).links.at(2)) + 24;
}

TEST(Mdf4Writer, AnOutputEndingInsideTheRecordsCountsTheWholeOnes) {
  constexpr uint64_t kSamples = 40;
  for (const uint8_t id_size : {uint8_t{0}, uint8_t{2}}) {
    auto whole = std::make_shared<MemoryBuffer>();
    {
      auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
      writer->Init(whole);
      writer->WorkPeriod(test::kWaitingWorker);
      ASSERT_TRUE(RunPlainCycle(*writer, AddPlainGroup(*writer, id_size, 5), kSamples));
    }
    const size_t records = RecordsStart(whole->Bytes());
    ASSERT_GT(records, 0U);
    const size_t length = id_size + 10U;
    // The output ends inside the 13th record: in its id, or so many bytes into its data.
    for (const size_t partial : {size_t{0}, size_t{1}, size_t{5}}) {
      SCOPED_TRACE("id size " + std::to_string(id_size) + ", " + std::to_string(partial) + " bytes of the 13th");
      test::LogCapture log;
      auto buffer = std::make_shared<MemoryBuffer>();
      buffer->SetCapacity(records + 12 * length + partial);
      auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
      writer->Init(buffer);
      writer->WorkPeriod(test::kWaitingWorker);
      const PlainGroup plain = AddPlainGroup(*writer, id_size, 5);
      EXPECT_FALSE(RunPlainCycle(*writer, plain, kSamples));
      EXPECT_EQ(plain.group->NofSamples(), 12U) << "only the records whole in the file count";
      const bool in_data = partial >= id_size;
      const std::string text =
          "Failed to write a sample data. Written : " + std::to_string(partial - (in_data ? id_size : 0)) + "(10)";
      EXPECT_EQ(log.Contains(text), in_data) << text;
      for (const auto& entry : log.entries) {
        if (entry.text == text) {
          EXPECT_EQ(entry.location.function, "WriteSample");
        }
      }
      const auto& image = buffer->Bytes();
      ASSERT_EQ(image.size(), records + 12 * length + partial);
      EXPECT_TRUE(std::equal(image.begin() + static_cast<std::ptrdiff_t>(records), image.end(),
                             whole->Bytes().begin() + static_cast<std::ptrdiff_t>(records)))
          << "the records as far as they fit";
    }
  }
}

class ManyRecords : public testing::TestWithParam<bool> {};

TEST_P(ManyRecords, ArriveWholeAndInOrder) {
  // Enough records for several chunks of the queue, the worker writing while they come
  // in, or waiting (and readying chunks) until the stop.
  const bool writing = GetParam();
  constexpr uint64_t kSamples = 300'000;
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(buffer);
  writer->WorkPeriod(writing ? std::chrono::nanoseconds(std::chrono::milliseconds(1))
                             : std::chrono::nanoseconds(test::kWaitingWorker));
  const PlainGroup plain = AddPlainGroup(*writer, 1, 7);
  ASSERT_TRUE(RunPlainCycle(*writer, plain, kSamples));
  EXPECT_EQ(plain.group->NofSamples(), kSamples);
  const auto& image = buffer->Bytes();
  const size_t records = RecordsStart(image);
  ASSERT_GT(records, 0U);
  const std::vector<uint8_t> expected = PlainRecords(1, 7, kSamples);
  ASSERT_EQ(image.size(), records + expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.begin() + static_cast<std::ptrdiff_t>(records)));
}

INSTANTIATE_TEST_SUITE_P(Worker, ManyRecords, testing::Bool(),
                         [](const auto& row) { return std::string(row.param ? "Writing" : "Waiting"); });

}  // namespace

namespace {

/// Records that carry their variable-length bytes with them, as a VLSD channel group
/// takes them, or the group's own VLSD channel without one.
class VlsdRecords : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(VlsdRecords, ReachTheirGroupOrTheSignalDataAndReadBack) {
  const auto [with_vlsd_group, compress] = GetParam();
  auto buffer = std::make_shared<MemoryBuffer>();
  test::WriterProbe<mdf::detail::Mdf4Writer> writer;
  writer.Init(buffer);
  writer.CompressData(compress);
  writer.WorkPeriod(test::kWaitingWorker);
  mdf::IDataGroup* data_group = writer.CreateDataGroup();
  mdf::IChannelGroup* frames = data_group->CreateChannelGroup();
  frames->Name("Frames");
  test::AddChannel(*frames, "Time", 4, 8, 2)->SyncType(1);
  mdf::IChannel* payload = test::AddChannel(*frames, "Payload", 10, 8, 1);  // its offset: the last 8 bytes
  if (with_vlsd_group) {
    mdf::IChannelGroup* values = data_group->CreateChannelGroup();
    values->Name("Payloads");
    values->Flags(0x0001);
    payload->VlsdRecordId(values->RecordId());
    ASSERT_EQ(values->RecordId(), frames->RecordId() + 1);
  }
  ASSERT_TRUE(writer.InitMeasurement());
  writer.StartMeasurement(test::kStartNs);
  constexpr uint64_t kSamples = 40;
  for (uint64_t i = 0; i < kSamples; ++i) {
    mdf::SampleRecord sample(*frames, test::SampleTime(i));
    sample.vlsd_data = true;
    sample.vlsd_buffer = test::Payload(i);
    writer.Enqueue(std::move(sample));
  }
  writer.StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer.FinalizeMeasurement());

  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  const mdf::IChannelObserver* observer = read.Observer(0, "Payload");
  ASSERT_NE(observer, nullptr);
  ASSERT_EQ(observer->NofSamples(), kSamples);
  for (uint64_t i = 0; i < kSamples; ++i) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(observer->GetSampleByteArray(i, bytes));
    EXPECT_EQ(bytes, test::Payload(i)) << i;
  }

  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  const std::string path = dir.Write("vlsd.mf4", buffer->Bytes());
  const test::CheckResult check = test::RunMdf4Check(tool, "", path);
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_EQ(test::ExpectCheckerAgrees(tool, path, read), 2 * kSamples);
}

INSTANTIATE_TEST_SUITE_P(Both, VlsdRecords, testing::Combine(testing::Bool(), testing::Bool()), [](const auto& row) {
  return std::string(std::get<0>(row.param) ? "VlsdGroup" : "SignalData") +
         (std::get<1>(row.param) ? "_Compressed" : "_Plain");
});

// The same cycle written through the channel's setter and through records laid out by the
// caller with AppendVlsdValue: the same bytes, the overflow logged once and the cycle failed.
TEST(Mdf4Writer, AnOffsetTooWideForItsFieldFailsTheCycle) {
  const auto write = [](bool whole_records) {
    test::LogCapture log;
    auto buffer = std::make_shared<MemoryBuffer>();
    auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
    writer->Init(buffer);
    writer->WorkPeriod(test::kWaitingWorker);
    mdf::IChannelGroup* group = writer->CreateDataGroup()->CreateChannelGroup();
    mdf::IChannel* frame = test::AddChannel(*group, "Frame", 10, 6);
    test::AddMember(*frame, "Frame.ID", 0, 4, 0);
    mdf::IChannel* data = test::AddMember(*frame, "Frame.DataBytes", 10, 2, 4, 1);  // 16-bit offsets
    EXPECT_TRUE(writer->InitMeasurement());
    writer->StartMeasurement(test::kStartNs);
    // 1,100 entries of 60 bytes: the offsets pass 65,535 at entry 1,093.
    uint8_t record[6] = {};
    for (uint64_t i = 0; i < 1100; ++i) {
      const std::vector<uint8_t> value = test::Pattern(56, static_cast<uint8_t>(i));
      if (whole_records) {
        // An offset that does not fit leaves the last one, as it stays in the sample buffer.
        if (const std::optional<uint64_t> offset = data->AppendVlsdValue(value.data(), value.size())) {
          record[4] = static_cast<uint8_t>(*offset);
          record[5] = static_cast<uint8_t>(*offset >> 8);
        }
        writer->SaveRecord(*group, test::SampleTime(i), record, sizeof record);
      } else {
        data->SetValueFromBytes(value, true, 0);
        writer->SaveSample(*group, test::SampleTime(i));
      }
    }
    writer->StopMeasurement(UINT64_MAX);
    EXPECT_FALSE(writer->FinalizeMeasurement());
    EXPECT_EQ(std::count_if(log.entries.begin(), log.entries.end(),
                            [](const test::LogEntry& entry) {
                              return entry.text.rfind("The signal data offset does not fit the record.", 0) == 0;
                            }),
              1)
        << "logged once";
    return buffer->Bytes();
  };
  const std::vector<uint8_t> bytes = write(false);
  EXPECT_EQ(write(true), bytes);

  const test::ReadBack read(bytes);
  ASSERT_TRUE(read.Ok());
  const mdf::IChannelObserver* observer = read.Observer(0, "Frame.DataBytes");
  std::vector<uint8_t> value;
  EXPECT_TRUE(observer->GetSampleByteArray(1092, value));
  EXPECT_EQ(value, test::Pattern(56, static_cast<uint8_t>(1092))) << "the offsets that fit are whole";
}

TEST(Mdf4Writer, OnlyAVlsdChannelAppendsAValue) {
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf4Writer);
  writer->Init(std::make_shared<MemoryBuffer>());
  mdf::IChannelGroup* group = writer->CreateDataGroup()->CreateChannelGroup();
  mdf::IChannel* frame = test::AddChannel(*group, "Frame", 10, 8);
  mdf::IChannel* fixed = test::AddMember(*frame, "Frame.Fixed", 10, 4, 0);
  mdf::IChannel* vlsd = test::AddMember(*frame, "Frame.DataBytes", 10, 4, 4, 1);
  const uint8_t value[3] = {1, 2, 3};
  fixed->ReserveVlsdValues(100);  // a hint that changes no offset
  vlsd->ReserveVlsdValues(100);
  EXPECT_EQ(fixed->AppendVlsdValue(value, sizeof value), std::nullopt);
  EXPECT_EQ(vlsd->AppendVlsdValue(value, sizeof value), std::optional<uint64_t>(0));
  EXPECT_EQ(vlsd->AppendVlsdValue(nullptr, 0), std::optional<uint64_t>(7));  // the length field and the bytes
  EXPECT_EQ(vlsd->AppendVlsdValue(value, 1), std::optional<uint64_t>(11));
}

}  // namespace
