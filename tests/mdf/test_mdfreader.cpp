// The file reader: identification checks, the observer factory, and whole logger files read
// end to end from a path and from memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "cg4block.h"
#include "channelobserver.h"
#include "cn4block.h"
#include "dg4block.h"
#include "dt4block.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelarray.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/mdfreader.h"
#include "support/channelfixtures.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/loggerfile.h"
#include "support/memorybuffer.h"
#include "support/tempdir.h"

using mdf::ChannelObserverList;
using mdf::MdfReader;
using test::Bytes;
using test::MemoryBuffer;

namespace {

std::vector<uint8_t> IdOnly(const std::string& file_id, uint16_t version) {
  return test::IdentificationBlock(file_id, "4.11", version);
}

std::shared_ptr<MemoryBuffer> Buffer(std::vector<uint8_t> bytes) {
  return std::make_shared<MemoryBuffer>(std::move(bytes));
}

TEST(MdfReader, AcceptsMdfAndUnfinalizedIdsInAnyCase) {
  for (const char* id : {"MDF     ", "mdf     ", "UnFinMF ", "unfinmf "}) {
    MdfReader reader(Buffer(IdOnly(id, 411)));
    ASSERT_NE(reader.GetFile(), nullptr) << id;
    EXPECT_TRUE(reader.GetFile()->IsMdf4());
  }
  test::LogCapture log;
  for (const char* id : {"MD      ", "UnFinMX ", "HDF     "}) {
    MdfReader reader(Buffer(IdOnly(id, 411)), std::string("logs/") + id);
    EXPECT_EQ(reader.GetFile(), nullptr) << id;
    EXPECT_EQ(reader.FileHeader(), nullptr);
  }
  ASSERT_EQ(log.entries.size(), 3U);
  // A reader on a buffer names the file by the name it was given.
  EXPECT_EQ(log.entries[0].text, "This is not and MDF file. File: logs/MD      ");
  EXPECT_EQ(log.entries[2].text, "This is not and MDF file. File: logs/HDF     ");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
}

TEST(MdfReader, VersionPicksTheFileKind) {
  MdfReader mdf4(Buffer(IdOnly("MDF", 400)));
  ASSERT_NE(mdf4.GetFile(), nullptr);
  EXPECT_TRUE(mdf4.GetFile()->IsMdf4());
  MdfReader mdf3(Buffer(IdOnly("MDF", 399)));
  ASSERT_NE(mdf3.GetFile(), nullptr);
  EXPECT_FALSE(mdf3.GetFile()->IsMdf4());
}

TEST(MdfReader, UnreadableFilesGiveNoFileObjectAndNoException) {
  test::LogCapture log;
  const std::vector<std::vector<uint8_t>> inputs = {{}, Bytes().Raw("MDF     4.1"), std::vector<uint8_t>(64, 'x')};
  for (const auto& input : inputs) {
    std::unique_ptr<MdfReader> reader;
    ASSERT_NO_THROW(reader = std::make_unique<MdfReader>(Buffer(input), "in.mf4"));
    EXPECT_EQ(reader->GetFile(), nullptr);
    EXPECT_FALSE(reader->ReadEverythingButData());
  }
  EXPECT_TRUE(log.Contains("Failed to read the file information blocks. Error: Invalid number of bytes read"));
  EXPECT_TRUE(log.Contains("This is not and MDF file. File: in.mf4"));
  EXPECT_TRUE(log.Contains("No instance created. File: in.mf4"));

  MdfReader no_stream(std::shared_ptr<std::streambuf>{});
  EXPECT_EQ(no_stream.GetFile(), nullptr);
  EXPECT_FALSE(no_stream.IsOpen());
  EXPECT_TRUE(log.Contains("No stream attached. Invalid use of function"));

  MdfReader missing(std::string("/nonexistent/folder/run.mf4"));
  EXPECT_EQ(missing.GetFile(), nullptr);
  EXPECT_TRUE(log.Contains("The file couldn't be opened for reading (locked?). Filename: /nonexistent/folder/run.mf4"));
}

TEST(MdfReader, MemoryBufferCountsAsOpenAndIsOnlyFlushed) {
  auto buffer = Buffer(test::LoggerFileBuilder(false).Build());
  MdfReader reader(buffer);
  EXPECT_TRUE(reader.IsOpen());
  EXPECT_TRUE(reader.Open());
  reader.Close();
  EXPECT_TRUE(reader.IsOpen());
  EXPECT_TRUE(reader.ReadEverythingButData());
  EXPECT_EQ(reader.GetFile()->FileName(), "");
}

TEST(MdfReader, ReadDataRejectsADataGroupOfAnotherKind) {
  MdfReader reader(Buffer(test::LoggerFileBuilder(false).Build()));
  ASSERT_TRUE(reader.ReadEverythingButData());
  test::TestDataGroupBlock foreign(64);
  test::LogCapture log;
  EXPECT_FALSE(reader.ReadData(foreign));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text.rfind("Failed to read the file information blocks. Error: ", 0), 0U);
}

// The observer's value type follows the channel's data type and bytes per element.
TEST(ChannelObserverFactory, ValueTypeTable) {
  mdf::detail::Dg4Block data_group;
  mdf::IChannelGroup* group = data_group.CreateChannelGroup();
  group->NofSamples(1);
  mdf::IChannel* channel = group->CreateChannel();
  struct Row {
    uint8_t data_type;
    uint32_t bits;
    const std::type_info& expected;
  };
  using mdf::detail::ChannelObserver;
  const Row rows[] = {
      {0, 8, typeid(ChannelObserver<uint8_t>)},
      {1, 16, typeid(ChannelObserver<uint16_t>)},
      {0, 32, typeid(ChannelObserver<uint32_t>)},
      {0, 24, typeid(ChannelObserver<uint64_t>)},
      {0, 64, typeid(ChannelObserver<uint64_t>)},
      {2, 4, typeid(ChannelObserver<int8_t>)},
      {3, 16, typeid(ChannelObserver<int16_t>)},
      {2, 24, typeid(ChannelObserver<int32_t>)},
      {2, 40, typeid(ChannelObserver<int64_t>)},
      {4, 32, typeid(ChannelObserver<float>)},
      {5, 64, typeid(ChannelObserver<double>)},
      {6, 80, typeid(ChannelObserver<std::string>)},
      {9, 80, typeid(ChannelObserver<std::string>)},
      {10, 64, typeid(ChannelObserver<std::vector<uint8_t>>)},
      {12, 8, typeid(ChannelObserver<std::vector<uint8_t>>)},
      {13, 56, typeid(ChannelObserver<uint64_t>)},
      {14, 48, typeid(ChannelObserver<uint64_t>)},
  };
  for (const Row& row : rows) {
    auto* cn = dynamic_cast<mdf::detail::Cn4Block*>(channel);
    ASSERT_NE(cn, nullptr);
    cn->BitCount(row.bits);
    // Setting the type may size the channel; the bit count is what the row is about.
    cn->DataType(row.data_type);
    cn->BitCount(row.bits);
    auto observer = mdf::CreateChannelObserver(data_group, *group, *channel);
    ASSERT_NE(observer, nullptr);
    const mdf::IChannelObserver& made = *observer;
    EXPECT_EQ(typeid(made), row.expected) << int{row.data_type} << "/" << row.bits;
  }
  dynamic_cast<mdf::detail::Cn4Block*>(channel)->DataType(15);
  EXPECT_EQ(mdf::CreateChannelObserver(data_group, *group, *channel), nullptr);
  EXPECT_TRUE(data_group.SampleObservers().empty());
}

// An array larger than its record can hold sizes the buffers by the record.
TEST(ChannelObserverFactory, ArrayBeyondTheRecordIsCut) {
  mdf::detail::Dg4Block data_group;
  MemoryBuffer data(Bytes().Raw("##DT").Zeros(4).U64(24 + 16).U64(0).Zeros(16).Data());
  auto dt = std::make_unique<mdf::detail::Dt4Block>();
  dt->Read(data);
  data_group.AddDataBlock(std::move(dt));  // room for two records
  auto* group = dynamic_cast<mdf::detail::Cg4Block*>(data_group.CreateChannelGroup());
  ASSERT_NE(group, nullptr);
  group->NofSamples(2);
  group->NofDataBytes(8);
  mdf::IChannel* channel = group->CreateChannel();
  channel->DataType(0);
  channel->BitCount(8);
  channel->CreateChannelArray()->SetShape({uint64_t{1} << 40});
  auto observer = mdf::CreateChannelObserver(data_group, *group, *channel);
  // 1 byte over 2^40 elements is less than a byte per element: a 64-bit observer.
  auto* typed = dynamic_cast<mdf::detail::ChannelObserver<uint64_t>*>(observer.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->NofSlots(), 128U);
  const std::vector<uint8_t> record = {1, 2, 3, 4, 5, 6, 7, 8};
  typed->OnSample(1, group->RecordId(), record);
  uint64_t value = 0;
  EXPECT_TRUE(typed->GetSampleUnsigned(1, value, 7));
  EXPECT_EQ(value, 8U);
  EXPECT_FALSE(typed->GetSampleUnsigned(1, value, 64));
}

TEST(ChannelObserverFactory, GroupsWithoutSamplesGetNoObservers) {
  mdf::detail::Dg4Block data_group;
  for (int i = 0; i < 2; ++i) {
    mdf::IChannelGroup* group = data_group.CreateChannelGroup();
    group->CreateChannel()->DataType(0);
    group->CreateChannel()->DataType(20);  // no observer type: a null entry
  }
  ChannelObserverList observers;
  mdf::CreateObserversForDataGroup(data_group, observers);
  EXPECT_TRUE(observers.empty());

  data_group.ChannelGroups()[1]->NofSamples(3);
  mdf::CreateObserversForDataGroup(data_group, observers);
  ASSERT_EQ(observers.size(), 2U);
  EXPECT_NE(observers[0], nullptr);
  EXPECT_EQ(observers[1], nullptr);
}

// ---- End to end over the logger file ----

const mdf::IChannelObserver* Find(const ChannelObserverList& observers, const std::string& group,
                                  const std::string& channel) {
  for (const auto& observer : observers) {
    if (observer && observer->ChannelName() == channel && observer->Channel().ChannelGroup()->Name() == group) {
      return observer.get();
    }
  }
  return nullptr;
}

uint64_t Unsigned(const mdf::IChannelObserver& observer, uint64_t sample) {
  uint64_t value = 0;
  EXPECT_TRUE(observer.GetSampleUnsigned(sample, value, 0));
  return value;
}

std::vector<uint8_t> ByteArray(const mdf::IChannelObserver& observer, uint64_t sample) {
  std::vector<uint8_t> value;
  EXPECT_TRUE(observer.GetSampleByteArray(sample, value));
  return value;
}

// Reads everything and checks every observed value against the frames the file was built from.
void ExpectLoggerValues(MdfReader& reader, bool finalized_on_read) {
  ASSERT_NE(reader.GetFile(), nullptr);
  ASSERT_TRUE(reader.ReadEverythingButData());
  mdf::MdfFile& file = *reader.GetFile();
  EXPECT_EQ(file.ProgramId(), "QX");
  EXPECT_EQ(file.MainVersion(), 4);
  EXPECT_EQ(file.MinorVersion(), 11);
  EXPECT_EQ(file.FinalizedOnRead(), finalized_on_read);

  const mdf::IHeader* header = reader.FileHeader();
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->StartTime(), test::kLoggerStartTimeNs);
  EXPECT_EQ(header->Description(), "QX logger recording");
  ASSERT_EQ(header->FileHistories().size(), 1U);

  mdf::DataGroupList groups;
  file.DataGroups(groups);
  ASSERT_EQ(groups.size(), 1U);
  mdf::IDataGroup& data_group = *groups[0];
  const auto channel_groups = data_group.ChannelGroups();
  ASSERT_EQ(channel_groups.size(), 2U);
  EXPECT_EQ(channel_groups[0]->NofSamples(), test::LoggerCanFrames().size());
  EXPECT_EQ(channel_groups[1]->NofSamples(), test::LoggerLinFrames().size());

  ChannelObserverList observers;
  mdf::CreateObserversForDataGroup(data_group, observers);
  ASSERT_EQ(observers.size(), 9U);
  ASSERT_TRUE(reader.ReadData(data_group));

  const auto* can_time = Find(observers, "CAN_DataFrame", "Timestamp");
  const auto* can_id = Find(observers, "CAN_DataFrame", "CAN_DataFrame.ID");
  const auto* can_dlc = Find(observers, "CAN_DataFrame", "CAN_DataFrame.DLC");
  const auto* can_dir = Find(observers, "CAN_DataFrame", "CAN_DataFrame.Dir");
  const auto* can_data = Find(observers, "CAN_DataFrame", "CAN_DataFrame.DataBytes");
  ASSERT_TRUE(can_time && can_id && can_dlc && can_dir && can_data);
  const auto& can = test::LoggerCanFrames();
  ASSERT_EQ(can_time->NofSamples(), can.size());
  for (size_t i = 0; i < can.size(); ++i) {
    EXPECT_EQ(Unsigned(*can_time, i), can[i].time_us);
    double seconds = 0.0;
    EXPECT_TRUE(can_time->ConvertedValue(i, seconds));
    EXPECT_DOUBLE_EQ(seconds, static_cast<double>(can[i].time_us) * 1e-6);
    EXPECT_EQ(Unsigned(*can_id, i), can[i].id);
    EXPECT_EQ(Unsigned(*can_dlc, i), can[i].dlc);
    EXPECT_EQ(Unsigned(*can_dir, i), can[i].dir);
    EXPECT_EQ(ByteArray(*can_data, i), can[i].data);
  }

  const auto* lin_time = Find(observers, "LIN_Frame", "Timestamp");
  const auto* lin_id = Find(observers, "LIN_Frame", "LIN_Frame.ID");
  const auto* lin_length = Find(observers, "LIN_Frame", "LIN_Frame.DataLength");
  const auto* lin_data = Find(observers, "LIN_Frame", "LIN_Frame.DataBytes");
  ASSERT_TRUE(lin_time && lin_id && lin_length && lin_data);
  const auto& lin = test::LoggerLinFrames();
  ASSERT_EQ(lin_time->NofSamples(), lin.size());
  for (size_t i = 0; i < lin.size(); ++i) {
    EXPECT_EQ(Unsigned(*lin_time, i), lin[i].time_us);
    EXPECT_EQ(Unsigned(*lin_id, i), lin[i].id);
    EXPECT_EQ(Unsigned(*lin_length, i), lin[i].length);
    EXPECT_EQ(ByteArray(*lin_data, i), lin[i].data);
  }
}

TEST(MdfReaderEndToEnd, LoggerFileFromMemory) {
  MdfReader reader(Buffer(test::LoggerFileBuilder(false).Build()));
  ExpectLoggerValues(reader, false);
}

TEST(MdfReaderEndToEnd, LoggerFileFromPath) {
  const test::TempDir dir;
  const std::string path = dir.Write("logmend_reader_run.mf4", test::LoggerFileBuilder(false).Build());
  {
    MdfReader reader(path);
    ExpectLoggerValues(reader, false);
    EXPECT_EQ(reader.GetFile()->Name(), "logmend_reader_run");
    EXPECT_TRUE(reader.IsOpen());
    reader.Close();
    EXPECT_FALSE(reader.IsOpen());
    // A closed file is opened again for a read, and closed after it.
    EXPECT_TRUE(reader.ReadEverythingButData());
    EXPECT_FALSE(reader.IsOpen());
  }
}

TEST(MdfReaderEndToEnd, UnfinalizedTwinIsFinalizedOnRead) {
  test::LogCapture log;
  MdfReader reader(Buffer(test::LoggerFileBuilder(true).Build()));
  ExpectLoggerValues(reader, true);
  uint16_t standard_flags = 0;
  uint16_t custom_flags = 0;
  EXPECT_FALSE(reader.GetFile()->IsFinalized(standard_flags, custom_flags));
  EXPECT_EQ(standard_flags, 0x05);
  for (const auto& entry : log.entries) {
    EXPECT_LT(entry.severity, mdf::MdfLogSeverity::kError) << entry.text;
  }
}

}  // namespace
