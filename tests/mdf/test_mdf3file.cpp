// The MDF 3 file object and reading hand-built MDF 3 files, little- and big-endian, through
// the reader and channel observers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dg3block.h"
#include "hd3block.h"
#include "idblock.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/iheader.h"
#include "mdf/mdfreader.h"
#include "mdf3file.h"
#include "mdf4file.h"
#include "support/logcapture.h"
#include "support/mdf3image.h"
#include "support/memorybuffer.h"
#include "support/readerdrive.h"

namespace {

using mdf::detail::IdBlock;
using mdf::detail::Mdf3File;
using namespace test;  // the test kit

TEST(Mdf3File, ANewFileHasTheMdf3Defaults) {
  Mdf3File file;
  EXPECT_EQ(file.Version(), "3.30");
  EXPECT_EQ(file.Id()->Version(), 330);
  EXPECT_EQ(file.Id()->CodePage(), 65001);
  EXPECT_EQ(file.Id()->FileId(), "MDF");
  EXPECT_EQ(file.Id()->ByteOrder(), 0);
  EXPECT_FALSE(file.IsMdf4());
  ASSERT_NE(file.Header(), nullptr);
  EXPECT_EQ(file.Hd3()->Version(), 330);  // inherited from the identification block
  EXPECT_EQ(file.CreateAttachment(), nullptr);
  EXPECT_FALSE(file.FinalizedOnRead());
  file.SetProgramId("MuchLongerThanEight");
  EXPECT_EQ(file.ProgramId(), "MuchLongerThanEight");
}

TEST(Mdf3File, DataGroupsAreAppendedToTheList) {
  Mdf3File file;
  for (int i = 0; i < 3; ++i) file.CreateDataGroup();
  mdf::DataGroupList list(1, nullptr);
  file.DataGroups(list);
  EXPECT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], nullptr);

  Mdf3File without_header(std::make_unique<IdBlock>());
  mdf::DataGroupList empty;
  without_header.DataGroups(empty);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(without_header.CreateDataGroup(), nullptr);
}

TEST(Mdf3File, WriteNeedsIdentificationAndHeader) {
  LogCapture log;
  Mdf3File file(std::make_unique<IdBlock>());
  MemoryBuffer buffer;
  EXPECT_FALSE(file.Write(buffer));
  EXPECT_TRUE(log.Contains("No ID or HD block defined. Invalid use of function."));
  EXPECT_TRUE(buffer.Bytes().empty());
}

TEST(Mdf3File, AFailedWriteIsReported) {
  LogCapture log;
  Mdf3File file;
  file.Hd3()->Author(std::string(10, 'a'));
  MemoryBuffer buffer;
  buffer.SetCapacity(100);  // the header does not fit
  EXPECT_FALSE(file.Write(buffer));
  ASSERT_FALSE(log.entries.empty());
  EXPECT_EQ(log.entries.back().text.rfind("Failed to write MDF3 file. Error: ", 0), 0u);
  EXPECT_EQ(log.entries.back().location.function, "Write");
}

TEST(Mdf3File, TheHeaderIsReadOnce) {
  Mdf3FileSpec spec;
  spec.author = "first";
  MemoryBuffer buffer(Mdf3Image(spec));
  Mdf3File file(std::make_unique<IdBlock>());
  file.ReadHeader(buffer);
  EXPECT_EQ(file.Header()->Author(), "first");
  file.Header()->Author("changed");
  file.ReadHeader(buffer);
  EXPECT_EQ(file.Header()->Author(), "changed");
}

TEST(Mdf3File, FindParentDataGroup) {
  Mdf3FileSpec spec;
  Mdf3GroupSpec group;
  group.record_size = 1;
  group.channels.push_back(Mdf3Channel("a", 0, 8, 0));
  spec.data_groups.push_back({0, {group}, {}});
  spec.data_groups.push_back({0, {group}, {}});
  LoadedMdf3 file(Mdf3Image(spec));
  const auto channels = file.Dg(1).ChannelGroups()[0]->Channels();
  ASSERT_EQ(channels.size(), 1u);
  EXPECT_EQ(file.file.FindParentDataGroup(*channels[0]), &file.Dg(1));

  Mdf3File written;
  auto* data_group = written.CreateDataGroup();
  mdf::IChannel* unwritten = data_group->CreateChannelGroup()->CreateChannel();
  EXPECT_EQ(written.FindParentDataGroup(*unwritten), nullptr);
}

// Two channel groups with record ids, a time channel, a linear conversion and a signed
// channel of 12 bits at bit 4.
std::vector<uint8_t> TwoGroupFile(bool big_endian) {
  Mdf3FileSpec spec;
  spec.big_endian = big_endian;
  spec.comment = "file comment";
  Mdf3GroupSpec fast;
  fast.record_id = 1;
  fast.record_size = 10;
  fast.nof_records = 2;
  fast.comment = "fast";
  fast.channels.push_back(Mdf3Channel("time", 0, 64, 3, 1));  // double time channel
  fast.channels.push_back(Mdf3LinearChannel("speed", 64, 16, 0, 10.0, 0.5, "km/h"));
  Mdf3GroupSpec slow;
  slow.record_id = 2;
  slow.record_size = 2;
  slow.nof_records = 1;
  slow.channels.push_back(Mdf3Channel("temp", 4, 12, 1));
  Mdf3Bytes records(big_endian);
  records.Raw(std::vector<uint8_t>{1}).F64(0.5).U16(100);
  records.Raw(std::vector<uint8_t>{2}).U16(static_cast<uint16_t>((0xFFE & 0xFFF) << 4));  // -2 in 12 bits
  records.Raw(std::vector<uint8_t>{1}).F64(1.5).U16(200);
  spec.data_groups.push_back({1, {fast, slow}, records.Data()});
  return Mdf3Image(spec);
}

class Mdf3Reading : public testing::TestWithParam<bool> {};

TEST_P(Mdf3Reading, EveryValueThroughTheReader) {
  auto buffer = std::make_shared<MemoryBuffer>(TwoGroupFile(GetParam()));
  mdf::MdfReader reader(buffer);
  ASSERT_NE(reader.GetFile(), nullptr);
  EXPECT_FALSE(reader.GetFile()->IsMdf4());
  ASSERT_TRUE(reader.ReadEverythingButData());
  const mdf::IHeader* header = reader.FileHeader();
  EXPECT_EQ(header->Author(), "Author");
  EXPECT_EQ(header->Description(), "file comment");
  const auto data_groups = header->DataGroups();
  ASSERT_EQ(data_groups.size(), 1u);
  mdf::IDataGroup& data_group = *data_groups[0];
  const auto groups = data_group.ChannelGroups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]->Description(), "fast");

  mdf::ChannelObserverList observers;
  mdf::CreateObserversForDataGroup(data_group, observers);
  ASSERT_EQ(observers.size(), 3u);
  ASSERT_TRUE(reader.ReadData(data_group));

  double time = 0.0;
  ASSERT_TRUE(observers[0]->GetChannelValue(1, time));
  EXPECT_DOUBLE_EQ(time, 1.5);
  double speed = 0.0;
  ASSERT_TRUE(observers[1]->ConvertedValue(1, speed));
  EXPECT_DOUBLE_EQ(speed, 110.0);  // 10 + 0.5 x 200
  EXPECT_EQ(observers[1]->Channel().Unit(), "km/h");
  int64_t temp = 0;
  ASSERT_TRUE(observers[2]->GetChannelValue(0, temp));
  EXPECT_EQ(temp, -2);
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, Mdf3Reading, testing::ValuesIn(kBothByteOrders),
                         [](const auto& row) { return row.param ? "BigEndian" : "LittleEndian"; });

TEST(Mdf3Reading, AnMdf4DataGroupIsRefused) {
  LogCapture log;
  auto buffer = std::make_shared<MemoryBuffer>(TwoGroupFile(false));
  mdf::MdfReader reader(buffer);
  ASSERT_TRUE(reader.ReadEverythingButData());
  mdf::detail::Mdf4File other;
  EXPECT_FALSE(reader.ReadData(*other.CreateDataGroup()));
  EXPECT_TRUE(log.Contains("Failed to read the file information blocks. Error: "));
}

// Every truncation and every single-byte flip of both byte orders' files: no crash, and
// either success or a logged failure.
TEST(Mdf3Reading, DamageSweep) {
  for (const bool big_endian : kBothByteOrders) {
    const std::vector<uint8_t> image = TwoGroupFile(big_endian);
    std::vector<std::vector<uint8_t>> damaged;
    for (size_t size = 0; size < image.size(); ++size) damaged.emplace_back(image.begin(), image.begin() + size);
    for (size_t at = 0; at < image.size(); ++at) {
      damaged.push_back(image);
      damaged.back()[at] ^= 0xFF;
    }
    for (const auto& bytes : damaged) {
      LogCapture log;
      mdf::MdfReader reader(std::make_shared<MemoryBuffer>(bytes));
      const ReadOutcome outcome = ReadAsUser(reader, ReadSteps{});
      if (!outcome.Succeeded()) {
        EXPECT_FALSE(log.entries.empty()) << "size " << bytes.size();
      }
    }
  }
}

}  // namespace
