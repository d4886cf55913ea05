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
    // The writer stamps the time master with the sample's time since the start.
    EXPECT_DOUBLE_EQ(time, static_cast<double>(test::SampleTime(i) - test::kStartNs) / 1e9);
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

// Every data type an MDF 3 channel holds, in both byte orders where it has them, with the
// value of sample i.
struct Column {
  std::string name;
  uint8_t data_type;
  uint64_t bytes;
};

const std::vector<Column>& EveryDataType() {
  static const std::vector<Column> columns = {
      {"u8", mdf::kUnsignedLe, 1},    {"u16 big endian", mdf::kUnsignedBe, 2},
      {"u32", mdf::kUnsignedLe, 4},   {"u64", mdf::kUnsignedLe, 8},
      {"i8", mdf::kSignedLe, 1},      {"i16 big endian", mdf::kSignedBe, 2},
      {"i32", mdf::kSignedLe, 4},     {"i64 with a name far longer than thirty-one characters", mdf::kSignedLe, 8},
      {"f32", mdf::kFloatLe, 4},      {"f64 big endian", mdf::kFloatBe, 8},
      {"text", mdf::kLatin1Text, 16}, {"bytes", mdf::kByteArray, 4},
      {"date", mdf::kCanOpenDate, 7}, {"time of day", mdf::kCanOpenTime, 6},
  };
  return columns;
}

constexpr uint64_t kDateNs = 1'650'000'000'123'000'000ULL;  // CANopen keeps milliseconds

std::string TextOf(uint64_t i) { return "sample " + std::to_string(i); }
std::vector<uint8_t> BytesOf(uint64_t i) { return {static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1), 0xFF, 0}; }

void SetColumn(mdf::IChannel& channel, const Column& column, uint64_t i) {
  const auto n = static_cast<int64_t>(i);
  switch (column.data_type) {
    case mdf::kUnsignedLe:
    case mdf::kUnsignedBe:
      channel.SetChannelValue(0x0123456789ABCDEFULL + i);  // each width keeps its low bytes
      break;
    case mdf::kSignedLe:
    case mdf::kSignedBe:
      channel.SetChannelValue(int64_t{-100} * n - 3);
      break;
    case mdf::kFloatLe:
    case mdf::kFloatBe:
      channel.SetChannelValue(1.5 * static_cast<double>(n) - 0.25);
      break;
    case mdf::kLatin1Text:
      channel.SetTextValue(TextOf(i), true);
      break;
    case mdf::kByteArray:
      channel.SetValueFromBytes(BytesOf(i), true, 0);
      break;
    default:  // the CANopen date and time: ns since 1970
      channel.SetChannelValue(uint64_t{kDateNs + i * 86'400'000'000'000ULL});
      break;
  }
}

void ExpectColumn(const mdf::IChannelObserver& observer, const Column& column, uint64_t i) {
  SCOPED_TRACE(column.name + " sample " + std::to_string(i));
  const auto n = static_cast<int64_t>(i);
  switch (column.data_type) {
    case mdf::kUnsignedLe:
    case mdf::kUnsignedBe: {
      uint64_t value = 0;
      EXPECT_TRUE(observer.GetChannelValue(i, value));
      const uint64_t mask = column.bytes == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * column.bytes)) - 1;
      EXPECT_EQ(value, (0x0123456789ABCDEFULL + i) & mask);
      break;
    }
    case mdf::kSignedLe:
    case mdf::kSignedBe: {
      int64_t value = 0;
      EXPECT_TRUE(observer.GetChannelValue(i, value));
      EXPECT_EQ(value, column.bytes == 1 ? static_cast<int8_t>(-100 * n - 3) : -100 * n - 3);
      break;
    }
    case mdf::kFloatLe:
    case mdf::kFloatBe: {
      double value = 0;
      EXPECT_TRUE(observer.GetChannelValue(i, value));
      EXPECT_EQ(value, 1.5 * static_cast<double>(n) - 0.25);
      break;
    }
    case mdf::kLatin1Text: {
      std::string value;
      EXPECT_TRUE(observer.GetSampleText(i, value, 0));
      EXPECT_EQ(value, TextOf(i));
      break;
    }
    case mdf::kByteArray: {
      std::vector<uint8_t> value;
      EXPECT_TRUE(observer.GetByteArray(i, value));
      EXPECT_EQ(value, BytesOf(i));
      break;
    }
    default: {  // the CANopen date and time: ns since 1970, in milliseconds
      uint64_t ns = 0;
      EXPECT_TRUE(observer.GetChannelValue(i, ns));
      EXPECT_EQ(ns, kDateNs + i * 86'400'000'000'000ULL);
      break;
    }
  }
}

TEST(Mdf3Writer, RoundTripKeepsTimesValuesNamesUnitsAndConversionsOfEveryDataType) {
  constexpr uint64_t kSamples = 6;
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf3Writer);
  ASSERT_TRUE(writer->Init(buffer));
  writer->WorkPeriod(test::kWaitingWorker);
  mdf::IDataGroup* data_group = writer->CreateDataGroup();
  // A float master in seconds, and an integer master in milliseconds through a linear
  // conversion, which the writer inverts.
  mdf::IChannelGroup* values = data_group->CreateChannelGroup();
  test::AddChannel(*values, "t", mdf::kFloatLe, 8, mdf::kMasterChannel);
  for (const Column& column : EveryDataType()) {
    mdf::IChannel* channel = test::AddChannel(*values, column.name, column.data_type, column.bytes);
    if (column.data_type <= mdf::kFloatBe) channel->Unit("unit of " + column.name.substr(0, 3));
  }
  mdf::IChannelGroup* scaled = data_group->CreateChannelGroup();
  mdf::IChannel* milliseconds = test::AddChannel(*scaled, "ms", mdf::kUnsignedLe, 4, mdf::kMasterChannel);
  mdf::IChannelConversion* to_seconds = writer->CreateChannelConversion(milliseconds);
  to_seconds->SetType(mdf::kLinearConversion);
  to_seconds->SetParameter(0, 0.0);
  to_seconds->SetParameter(1, 0.001);
  to_seconds->SetUnit("s");
  mdf::IChannel* level = test::AddChannel(*scaled, "level", mdf::kUnsignedLe, 2);
  mdf::IChannelConversion* rational = writer->CreateChannelConversion(level);
  rational->SetType(mdf::kRationalConversion);
  for (uint16_t p = 0; p < 6; ++p) rational->SetParameter(p, std::vector<double>{0, 2, 1, 0, 0, 4}[p]);  // (2x + 1) / 4
  rational->SetUnit("%");

  ASSERT_TRUE(writer->InitMeasurement());
  writer->StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < kSamples; ++i) {
    for (const Column& column : EveryDataType()) SetColumn(*test::ChannelOf(*values, column.name), column, i);
    writer->SaveSample(*values, test::SampleTime(i));
    level->SetChannelValue(static_cast<uint16_t>(10 * i));
    writer->SaveSample(*scaled, test::SampleTime(i) + 250'000'000);
  }
  writer->StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer->FinalizeMeasurement());
  writer.reset();

  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  const auto* t = read.Observer(0, "t");
  const auto* ms = read.Observer(0, "ms");
  const auto* level_read = read.Observer(0, "level");
  ASSERT_TRUE(t && ms && level_read);
  EXPECT_EQ(t->Channel().Unit(), "s");
  EXPECT_EQ(ms->Channel().Unit(), "s");
  EXPECT_EQ(level_read->Channel().Unit(), "%");
  const mdf::IChannelConversion* ms_conversion = ms->Channel().ChannelConversion();
  const mdf::IChannelConversion* level_conversion = level_read->Channel().ChannelConversion();
  ASSERT_TRUE(ms_conversion && level_conversion);
  EXPECT_EQ(ms_conversion->Type(), mdf::kLinearConversion);
  EXPECT_EQ(ms_conversion->ParameterAsDouble(1), 0.001);
  EXPECT_EQ(level_conversion->Type(), mdf::kRationalConversion);
  for (uint16_t p = 0; p < 6; ++p) {
    EXPECT_EQ(level_conversion->ParameterAsDouble(p), (std::vector<double>{0, 2, 1, 0, 0, 4}[p])) << p;
  }
  for (const Column& column : EveryDataType()) {
    const auto* observer = read.Observer(0, column.name);
    ASSERT_NE(observer, nullptr) << column.name;
    EXPECT_EQ(observer->Channel().DataType(), column.data_type) << column.name;
    EXPECT_EQ(observer->Channel().Unit(),
              column.data_type <= mdf::kFloatBe ? "unit of " + column.name.substr(0, 3) : "")
        << column.name;
  }
  for (uint64_t i = 0; i < kSamples; ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    double seconds = -1;
    EXPECT_TRUE(t->GetChannelValue(i, seconds));
    EXPECT_EQ(seconds, static_cast<double>(i) / 1000.0);
    uint64_t raw = 0;
    EXPECT_TRUE(ms->GetChannelValue(i, raw));
    EXPECT_EQ(raw, i + 250);
    EXPECT_TRUE(ms->ConvertedValue(i, seconds));
    EXPECT_DOUBLE_EQ(seconds, static_cast<double>(i + 250) / 1000.0);
    double percent = 0;
    EXPECT_TRUE(level_read->ConvertedValue(i, percent));
    EXPECT_EQ(percent, (20.0 * static_cast<double>(i) + 1.0) / 4.0);
    for (const Column& column : EveryDataType()) ExpectColumn(*read.Observer(0, column.name), column, i);
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

// A reader that takes the formula as the zero-terminated text of its fixed 256-byte field
// finds the text and its zero inside the conversion block; ours reads it by its count.
TEST(Mdf3Writer, TheFormulaFieldHoldsItsZeroInsideTheConversionBlock) {
  const std::string formula = "X*2-1";
  auto buffer = std::make_shared<MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf3Writer);
  ASSERT_TRUE(writer->Init(buffer));
  writer->WorkPeriod(test::kWaitingWorker);
  mdf::IChannelGroup* group = writer->CreateDataGroup()->CreateChannelGroup();
  test::AddChannel(*group, "t", mdf::kFloatLe, 8, mdf::kMasterChannel);
  mdf::IChannel* level = test::AddChannel(*group, "level", mdf::kUnsignedLe, 2);
  mdf::IChannelConversion* conversion = writer->CreateChannelConversion(level);
  conversion->SetType(mdf::kAlgebraicConversion);
  conversion->SetFormula(formula);
  ASSERT_TRUE(writer->InitMeasurement());
  writer->StartMeasurement(test::kStartNs);
  for (uint64_t i = 0; i < 3; ++i) {
    level->SetChannelValue(static_cast<uint16_t>(i + 7));
    writer->SaveSample(*group, test::SampleTime(i));
  }
  writer->StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer->FinalizeMeasurement());
  writer.reset();

  const std::vector<uint8_t>& image = buffer->Bytes();
  test::LoadedMdf3 file(image);
  size_t conversions = 0;
  for (size_t at = 64; at + 4 <= static_cast<size_t>(file.Dg().DataLink());) {
    const size_t size = image[at + 2] | (image[at + 3] << 8);
    ASSERT_GT(size, 0U);
    if (image[at] == 'C' && image[at + 1] == 'C' && (image[at + 42] | image[at + 43] << 8) == 10) {
      ++conversions;
      constexpr size_t kField = 46;  // after the header, range, unit, type and count
      ASSERT_LE(at + kField + 256, at + size) << "the whole field lies inside the block";
      EXPECT_EQ(static_cast<size_t>(image[at + 44] | image[at + 45] << 8), formula.size());
      const auto field = image.begin() + static_cast<std::ptrdiff_t>(at + kField);
      const auto zero = std::find(field, field + 256, uint8_t{0});
      ASSERT_NE(zero, field + 256);
      EXPECT_EQ(std::string(field, zero), formula);
    }
    at += size;
  }
  EXPECT_EQ(conversions, 1U);

  const test::ReadBack read(image);
  ASSERT_TRUE(read.Ok());
  const auto* level_read = read.Observer(0, "level");
  ASSERT_NE(level_read, nullptr);
  const mdf::IChannelConversion* read_conversion = level_read->Channel().ChannelConversion();
  ASSERT_NE(read_conversion, nullptr);
  EXPECT_EQ(read_conversion->Type(), mdf::kAlgebraicConversion);
  EXPECT_EQ(read_conversion->Formula(), formula);
  for (uint64_t i = 0; i < 3; ++i) {
    uint64_t value = 0;
    EXPECT_TRUE(level_read->GetChannelValue(i, value));
    EXPECT_EQ(value, i + 7);
  }
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

// Two or more groups write one id byte before each record: an id beyond it is refused
// rather than cut to its low byte; the largest one that fits is written whole.
TEST(Mdf3Writer, ARecordIdBeyondOneByteIsRefused) {
  for (const uint64_t engine_id : {uint64_t{255}, uint64_t{258}}) {
    SCOPED_TRACE(engine_id);
    LogCapture log;
    auto buffer = std::make_shared<MemoryBuffer>();
    auto writer = mdf::CreateMdfWriter(MdfWriterType::kMdf3Writer);
    writer->Init(buffer);
    writer->WorkPeriod(test::kWaitingWorker);
    const TwoGroups groups = AddTwoGroups(*writer);
    groups.engine->RecordId(engine_id);  // 258: its low byte is the status group's id
    if (engine_id > 255) {
      EXPECT_FALSE(writer->InitMeasurement());
      EXPECT_TRUE(
          log.Contains("The record ID does not fit the record ID size of its data group. "
                       "Group: engine values, Record ID: 258, Size: 1"));
      EXPECT_TRUE(buffer->Bytes().empty()) << "nothing is written";
      continue;
    }
    ASSERT_TRUE(writer->InitMeasurement());
    writer->StartMeasurement(test::kStartNs);
    for (uint64_t i = 0; i < 3; ++i) {
      SaveEngine(*writer, groups, i);
      SaveStatus(*writer, groups, i);
    }
    writer->StopMeasurement(UINT64_MAX);
    ASSERT_TRUE(writer->FinalizeMeasurement());
    writer.reset();
    const test::ReadBack read(buffer->Bytes());
    ASSERT_TRUE(read.Ok());
    const auto* rpm = read.Observer(0, "rpm");
    const auto* gear = read.Observer(0, "gear");
    ASSERT_TRUE(rpm && gear);
    EXPECT_EQ(rpm->NofSamples(), 3U);
    EXPECT_EQ(gear->NofSamples(), 3U);
  }
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
