// The bus-log writer: the layout of every output group checked channel by channel from the
// written file, the values and times it stores, and the ways finalize fails or writes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "buslog/io_wrapper.h"
#include "buslog/mdf_writer.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/ifilehistory.h"
#include "mdf/iheader.h"
#include "mdf/imdftimestamp.h"
#include "mdf/imetadata.h"
#include "mdf/isourceinformation.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "mdf/mdfwriter.h"
#include "support/buslogfiles.h"
#include "support/consolelog.h"
#include "support/logcapture.h"
#include "support/probestream.h"

namespace {

using test::Frame;

constexpr uint64_t kStartNs = 1'600'000'000'250'000'000;
const cFileInfo_t kStart = test::StartInfo(kStartNs);

Frame Can(uint32_t id, std::vector<uint8_t> data, double time, uint8_t dlc) {
  Frame frame = test::CanFrame(1, id, std::move(data), time);
  frame.flags.Can.DLC = dlc;
  return frame;
}

Frame Of(int32_t type, uint32_t id, double time, std::vector<uint8_t> data = {}) {
  Frame frame = test::CanFrame(2, id, std::move(data), time);
  frame.type = type;
  return frame;
}

// A written file read back through the library: its blocks and every channel's values.
class Output {
 public:
  explicit Output(const std::vector<uint8_t>& bytes) : stream_(test::MemoryStreamOf(bytes)) {
    reader_ = std::make_unique<mdf::MdfReader>(std::make_shared<cIO_wrapper>(stream_.get()));
    if (reader_->GetFile() == nullptr) return;
    read_ = reader_->ReadEverythingButData();
    reader_->GetFile()->DataGroups(groups_);
    for (mdf::IDataGroup* group : groups_) {
      mdf::CreateObserversForDataGroup(*group, observers_.emplace_back());
      read_ = reader_->ReadData(*group) && read_;
    }
  }
  [[nodiscard]] bool Read() const { return read_; }
  [[nodiscard]] const mdf::DataGroupList& Groups() const { return groups_; }
  [[nodiscard]] mdf::IChannelGroup* Group(size_t index) const { return groups_.at(index)->ChannelGroups().at(0); }
  [[nodiscard]] const mdf::IHeader* Header() const { return reader_->FileHeader(); }
  [[nodiscard]] const mdf::MdfFile* File() const { return reader_->GetFile(); }
  /// Raw unsigned value of the named channel's sample.
  [[nodiscard]] uint64_t Value(size_t group, const std::string& name, uint64_t sample) const {
    uint64_t value = 0;
    EXPECT_TRUE(Observer(group, name).GetChannelValue(sample, value)) << name;
    return value;
  }
  [[nodiscard]] std::vector<uint8_t> Bytes(size_t group, const std::string& name, uint64_t sample) const {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(Observer(group, name).GetSampleByteArray(sample, bytes)) << name;
    return bytes;
  }
  [[nodiscard]] const mdf::IChannelObserver& Observer(size_t group, const std::string& name) const {
    for (const auto& observer : observers_.at(group)) {
      if (observer && observer->ChannelName() == name) return *observer;
    }
    throw std::runtime_error("no channel " + name);
  }

 private:
  test::StreamPtr stream_;
  std::unique_ptr<mdf::MdfReader> reader_;
  bool read_ = false;
  mdf::DataGroupList groups_;
  std::vector<mdf::ChannelObserverList> observers_;
};

struct MemberLayout {
  const char* field;
  uint32_t offset;
  uint32_t bytes;
  uint8_t data_type;
  uint8_t channel_type;
};

struct GroupLayout {
  const char* name;
  uint8_t bus_type;
  uint32_t frame_bytes;
  std::vector<MemberLayout> members;
};

// The output layout: one group per kind, in the order they are written.
const std::vector<GroupLayout>& Layouts() {
  static const std::vector<GroupLayout> layouts = {
      {"CAN_DataFrame",
       2,
       20,
       {{"ID", 8, 4, 0, 0},
        {"IDE", 12, 1, 0, 0},
        {"Dir", 13, 1, 0, 0},
        {"EDL", 14, 1, 0, 0},
        {"BRS", 15, 1, 0, 0},
        {"ESI", 16, 1, 0, 0},
        {"DLC", 17, 1, 0, 0},
        {"DataLength", 18, 1, 0, 0},
        {"BusChannel", 19, 1, 0, 0},
        {"DataBytes", 20, 8, 10, 0}}},
      {"CAN_DataFrame",
       2,
       16,
       {{"ID", 8, 4, 0, 0},
        {"IDE", 12, 1, 0, 0},
        {"Dir", 13, 1, 0, 0},
        {"EDL", 14, 1, 0, 0},
        {"BRS", 15, 1, 0, 0},
        {"ESI", 16, 1, 0, 0},
        {"DLC", 17, 1, 0, 0},
        {"DataLength", 18, 1, 0, 0},
        {"BusChannel", 19, 1, 0, 0},
        {"DataBytes", 20, 4, 10, 1}}},
      {"CAN_ErrorFrame", 2, 2, {{"BusChannel", 8, 1, 0, 0}, {"ErrorType", 9, 1, 0, 0}}},
      {"CAN_RemoteFrame",
       2,
       9,
       {{"ID", 8, 4, 0, 0},
        {"IDE", 12, 1, 0, 0},
        {"Dir", 13, 1, 0, 0},
        {"DLC", 14, 1, 0, 0},
        {"DataLength", 15, 1, 0, 0},
        {"BusChannel", 16, 1, 0, 0}}},
      {"LIN_ChecksumError",
       3,
       18,
       {{"ID", 8, 4, 0, 0},
        {"Checksum", 12, 1, 0, 0},
        {"ChecksumModel", 13, 1, 0, 0},
        {"Dir", 14, 1, 0, 0},
        {"ReceivedDataByteCount", 15, 1, 0, 0},
        {"DataLength", 16, 1, 0, 0},
        {"BusChannel", 17, 1, 0, 0},
        {"DataBytes", 18, 8, 10, 0}}},
      {"LIN_Frame",
       3,
       16,
       {{"ID", 8, 4, 0, 0},
        {"Dir", 12, 1, 0, 0},
        {"ReceivedDataByteCount", 13, 1, 0, 0},
        {"DataLength", 14, 1, 0, 0},
        {"BusChannel", 15, 1, 0, 0},
        {"DataBytes", 16, 8, 10, 0}}},
      {"LIN_ReceiveError", 3, 2, {{"ID", 8, 1, 0, 0}, {"BusChannel", 9, 1, 0, 0}}},
      {"LIN_SyncError", 3, 1, {{"BusChannel", 8, 1, 0, 0}}},
      {"LIN_TransmissionError", 3, 2, {{"ID", 8, 1, 0, 0}, {"BusChannel", 9, 1, 0, 0}}},
  };
  return layouts;
}

// One record of every kind, given in the list order the writer does not write them in.
std::vector<Frame> OneOfEach() {
  Frame lin = Of(kBusMsgLinFrame, 0x7F, 6, {1, 2, 3});
  lin.flags.Lin.ReceivedDataByteCount = 3;
  lin.flags.Lin.Dir = 1;
  Frame checksum = Of(kBusMsgLinChecksumError, 0x41, 5, {9, 8});
  checksum.flags.Lin.ReceivedDataByteCount = 2;
  checksum.flags.Lin.Checksum = 0xA5;
  checksum.flags.Lin.ChecksumModel = 1;
  Frame error = Of(kBusMsgCanErrorFrame, 0, 3);
  error.flags.Error.ErrorType = kCanErrorCrc;
  Frame remote = Of(kBusMsgCanRemoteFrame, 0x80000555, 4);
  remote.flags.Can.IDE = 1;
  remote.flags.Can.DLC = 4;
  return {Of(kBusMsgLinTransmissionError, 0x7E, 9),
          Of(kBusMsgLinSyncError, 0, 8),
          Of(kBusMsgLinReceiveError, 0x12, 7),
          lin,
          checksum,
          remote,
          error,
          Can(0x123, std::vector<uint8_t>(64, 0xCD), 2, 15),
          Can(0x80000321, {1, 2, 3}, 1, 8),
          Of(kBusMsgUnknown, 0, 0)};
}

TEST(MdfWriter, WritesTheLayoutOfEveryKind) {
  const test::WrittenFile file = test::WriteBusLog(OneOfEach(), kStart, test::LoggerMetadata());
  ASSERT_TRUE(file.finalized);
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  EXPECT_EQ(out.File()->ProgramId(), "QX");
  EXPECT_EQ(out.File()->Version(), "4.11");
  const auto& layouts = Layouts();
  ASSERT_EQ(out.Groups().size(), layouts.size());
  for (size_t g = 0; g < layouts.size(); ++g) {
    const GroupLayout& layout = layouts[g];
    SCOPED_TRACE(std::to_string(g) + " " + layout.name);
    const mdf::IChannelGroup* group = out.Group(g);
    EXPECT_EQ(out.Groups()[g]->ChannelGroups().size(), 1U);
    EXPECT_EQ(group->Name(), layout.name);
    EXPECT_EQ(group->RecordId(), g + 1);  // in the order written, CAN error before CAN remote
    EXPECT_EQ(group->Flags(), 6);
    EXPECT_EQ(group->PathSeparator(), '.');
    EXPECT_EQ(group->NofSamples(), 1U);
    const mdf::ISourceInformation* source = group->SourceInformation();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->Type(), 2);
    EXPECT_EQ(source->Bus(), layout.bus_type);
    ASSERT_NE(source->MetaDataInterface(), nullptr);
    EXPECT_EQ(source->MetaDataInterface()->XmlText(),
              layout.bus_type == 2 ? "<SIcomment><TX>CAN 1</TX></SIcomment>" : "<SIcomment><TX>LIN 1</TX></SIcomment>");
    const std::vector<mdf::IChannel*> channels = group->Channels();
    ASSERT_EQ(channels.size(), 2 + layout.members.size());
    const mdf::IChannel& time = *channels[0];
    EXPECT_EQ(time.Name(), "Timestamp");
    EXPECT_EQ(time.ChannelType(), 2);
    EXPECT_EQ(time.SyncType(), 1);
    EXPECT_EQ(time.DataType(), 0);
    EXPECT_EQ(time.ByteOffset(), 0U);
    EXPECT_EQ(time.DataBytes(), 8U);
    const mdf::IChannelConversion* conversion = time.ChannelConversion();
    ASSERT_NE(conversion, nullptr);
    EXPECT_EQ(conversion->Type(), 1);
    EXPECT_EQ(conversion->Unit(), "s");
    EXPECT_EQ(conversion->ParameterAsDouble(0), 0.0);
    EXPECT_EQ(conversion->ParameterAsDouble(1), 1e-6);
    const mdf::IChannel& frame = *channels[1];
    EXPECT_EQ(frame.Name(), layout.name);
    EXPECT_EQ(frame.DataType(), 10);
    EXPECT_EQ(frame.ChannelType(), 0);
    EXPECT_EQ(frame.Flags(), 0x400U);
    EXPECT_EQ(frame.ByteOffset(), 8U);
    EXPECT_EQ(frame.DataBytes(), layout.frame_bytes);
    for (size_t m = 0; m < layout.members.size(); ++m) {
      const MemberLayout& expected = layout.members[m];
      const mdf::IChannel& member = *channels[2 + m];
      SCOPED_TRACE(expected.field);
      EXPECT_EQ(member.Name(), std::string(layout.name) + "." + expected.field);
      EXPECT_EQ(member.ByteOffset(), expected.offset);
      EXPECT_EQ(member.DataBytes(), expected.bytes);
      EXPECT_EQ(member.DataType(), expected.data_type);
      EXPECT_EQ(member.ChannelType(), expected.channel_type);
      EXPECT_EQ(member.SyncType(), 0);
      EXPECT_EQ(member.Flags(), 0x400U);
    }
  }
  test::ExpectCheckerAccepts(file.bytes);
}

TEST(MdfWriter, StoresTheValuesOfEveryKind) {
  const test::WrittenFile file = test::WriteBusLog(OneOfEach(), kStart, test::LoggerMetadata());
  ASSERT_TRUE(file.finalized);
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  // Classic CAN: DLC 8 with 3 bytes gets DataLength 8 and zero padding; bit 31 is no id bit.
  EXPECT_EQ(out.Value(0, "CAN_DataFrame.ID", 0), 0x321U);
  EXPECT_EQ(out.Value(0, "CAN_DataFrame.DLC", 0), 8U);
  EXPECT_EQ(out.Value(0, "CAN_DataFrame.DataLength", 0), 8U);
  EXPECT_EQ(out.Bytes(0, "CAN_DataFrame.DataBytes", 0), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(out.Value(0, "CAN_DataFrame.BusChannel", 0), 1U);
  EXPECT_EQ(out.Value(0, "Timestamp", 0), 1'000'000U);
  // CAN FD: DLC 15 with 64 bytes.
  EXPECT_EQ(out.Value(1, "CAN_DataFrame.DataLength", 0), 64U);
  EXPECT_EQ(out.Bytes(1, "CAN_DataFrame.DataBytes", 0), std::vector<uint8_t>(64, 0xCD));
  EXPECT_EQ(out.Value(2, "CAN_ErrorFrame.ErrorType", 0), static_cast<uint64_t>(kCanErrorCrc));
  EXPECT_EQ(out.Value(2, "CAN_ErrorFrame.BusChannel", 0), 2U);
  EXPECT_EQ(out.Value(3, "CAN_RemoteFrame.ID", 0), 0x555U);
  EXPECT_EQ(out.Value(3, "CAN_RemoteFrame.IDE", 0), 1U);
  EXPECT_EQ(out.Value(3, "CAN_RemoteFrame.DataLength", 0), 4U);
  EXPECT_EQ(out.Value(4, "LIN_ChecksumError.ID", 0), 0x01U);
  EXPECT_EQ(out.Value(4, "LIN_ChecksumError.Checksum", 0), 0xA5U);
  EXPECT_EQ(out.Value(4, "LIN_ChecksumError.ChecksumModel", 0), 1U);
  EXPECT_EQ(out.Value(4, "LIN_ChecksumError.DataLength", 0), 2U);
  EXPECT_EQ(out.Bytes(4, "LIN_ChecksumError.DataBytes", 0), (std::vector<uint8_t>{9, 8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(out.Value(5, "LIN_Frame.ID", 0), 0x3FU);  // 0x7F: six bits
  EXPECT_EQ(out.Value(5, "LIN_Frame.Dir", 0), 1U);
  EXPECT_EQ(out.Value(5, "LIN_Frame.ReceivedDataByteCount", 0), 3U);
  EXPECT_EQ(out.Value(6, "LIN_ReceiveError.ID", 0), 0x12U);
  EXPECT_EQ(out.Value(7, "LIN_SyncError.BusChannel", 0), 2U);
  EXPECT_EQ(out.Value(8, "LIN_TransmissionError.ID", 0), 0x3EU);
  EXPECT_EQ(out.Value(8, "Timestamp", 0), 9'000'000U);

  // The input's metadata and start time.
  const mdf::IHeader* header = out.Header();
  EXPECT_EQ(header->StartTime(), kStartNs);
  ASSERT_NE(header->MetaDataInterface(), nullptr);
  cMdfMetadata_t* expected = test::LoggerMetadata();
  EXPECT_EQ(header->MetaDataInterface()->XmlText(), expected->HeaderComment);
  ASSERT_EQ(header->FileHistories().size(), 1U);
  const mdf::IFileHistory* history = header->FileHistories()[0];
  EXPECT_EQ(history->Time(), expected->FileHistoryTime);
  EXPECT_EQ(history->ToolId(), "QX");
  EXPECT_EQ(history->ToolVersion(), "01.07.02");
  mdfMetadataFree(expected);
}

// On classic CAN a DLC of 9 to 15 means 8 data bytes: such a frame stays in the classic group
// with its DLC and DataLength 8, as a remote frame asks for 8; a CAN FD frame's DLC gives its
// length from the CAN FD table.
TEST(MdfWriter, AClassicFramesDlcAbove8MeansEightBytes) {
  std::vector<Frame> frames;
  for (const uint8_t dlc : {9, 12, 15}) frames.push_back(Can(0x100 + dlc, {1, 2, 3, 4, 5, 6, 7, 8}, dlc, dlc));
  Frame fd = Can(0x200, std::vector<uint8_t>(24, 0xFD), 20, 12);
  fd.flags.Can.EDL = 1;
  frames.push_back(fd);
  Frame remote = Of(kBusMsgCanRemoteFrame, 0x300, 21);
  remote.flags.Can.DLC = 12;
  frames.push_back(remote);
  const test::WrittenFile file = test::WriteBusLog(frames, kStart, test::LoggerMetadata());
  ASSERT_TRUE(file.finalized);
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  ASSERT_EQ(out.Groups().size(), 3U) << "classic, CAN FD, remote";
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(out.Value(0, "CAN_DataFrame.DLC", i), std::vector<uint64_t>({9, 12, 15})[i]);
    EXPECT_EQ(out.Value(0, "CAN_DataFrame.DataLength", i), 8U);
    EXPECT_EQ(out.Bytes(0, "CAN_DataFrame.DataBytes", i), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  }
  EXPECT_EQ(out.Value(1, "CAN_DataFrame.DataLength", 0), 24U);
  EXPECT_EQ(out.Bytes(1, "CAN_DataFrame.DataBytes", 0), std::vector<uint8_t>(24, 0xFD));
  EXPECT_EQ(out.Value(2, "CAN_RemoteFrame.DLC", 0), 12U);
  EXPECT_EQ(out.Value(2, "CAN_RemoteFrame.DataLength", 0), 8U);
  test::ExpectCheckerAccepts(file.bytes);
}

// The values of a record set through the library's setters, member by member in layout order:
// the reference for the records the writer lays out itself.
void SetThroughChannels(size_t layout, const std::vector<mdf::IChannel*>& m, const cBusMsgHelper_t& record) {
  const cCanFlags_t& can = record.Flags.Can;
  const cLinFlags_t& lin = record.Flags.Lin;
  const auto* bytes = reinterpret_cast<const uint8_t*>(cStrData(&record.DataBytes));
  const std::vector<uint8_t> data(bytes, bytes + cStrLength(&record.DataBytes));
  switch (layout) {
    case 0:  // CAN data, CAN FD
    case 1:
      m[0]->SetChannelValue(record.ID & kCanExtendedIdMask);
      m[1]->SetChannelValue(static_cast<uint8_t>(can.IDE != 0));
      m[2]->SetChannelValue(static_cast<uint8_t>(can.Dir != 0));
      m[3]->SetChannelValue(static_cast<uint8_t>(can.EDL != 0));
      m[4]->SetChannelValue(static_cast<uint8_t>(can.BRS != 0));
      m[5]->SetChannelValue(static_cast<uint8_t>(can.ESI != 0));
      m[6]->SetChannelValue(can.DLC);
      // A classic frame's DLC above 8 means 8 bytes; the CAN FD group holds frames of more.
      m[7]->SetChannelValue(
          static_cast<uint8_t>(layout == 0 ? canFrameLength(can.DLC, can.EDL) : canDlcToLength(can.DLC)));
      m[8]->SetChannelValue(record.BusChannel);
      m[9]->SetValueFromBytes(data, true, 0);
      break;
    case 2:  // CAN error
      m[0]->SetChannelValue(record.BusChannel);
      m[1]->SetChannelValue(static_cast<uint32_t>(record.Flags.Error.ErrorType));
      break;
    case 3:  // CAN remote
      m[0]->SetChannelValue(record.ID & kCanExtendedIdMask);
      m[1]->SetChannelValue(static_cast<uint8_t>(can.IDE != 0));
      m[2]->SetChannelValue(static_cast<uint8_t>(can.Dir != 0));
      m[3]->SetChannelValue(can.DLC);
      m[4]->SetChannelValue(static_cast<uint8_t>(canFrameLength(can.DLC, 0)));
      m[5]->SetChannelValue(record.BusChannel);
      break;
    case 4:  // LIN checksum error
      m[0]->SetChannelValue(record.ID & kLinIdMask);
      m[1]->SetChannelValue(lin.Checksum);
      m[2]->SetChannelValue(lin.ChecksumModel);
      m[3]->SetChannelValue(static_cast<uint8_t>(lin.Dir != 0));
      m[4]->SetChannelValue(lin.ReceivedDataByteCount);
      m[5]->SetChannelValue(lin.ReceivedDataByteCount);
      m[6]->SetChannelValue(record.BusChannel);
      m[7]->SetValueFromBytes(data, true, 0);
      break;
    case 5:  // LIN frame
      m[0]->SetChannelValue(record.ID & kLinIdMask);
      m[1]->SetChannelValue(static_cast<uint8_t>(lin.Dir != 0));
      m[2]->SetChannelValue(lin.ReceivedDataByteCount);
      m[3]->SetChannelValue(lin.ReceivedDataByteCount);
      m[4]->SetChannelValue(record.BusChannel);
      m[5]->SetValueFromBytes(data, true, 0);
      break;
    case 7:  // LIN sync error
      m[0]->SetChannelValue(record.BusChannel);
      break;
    default:  // LIN receive and transmission errors
      m[0]->SetChannelValue(record.ID & kLinIdMask);
      m[1]->SetChannelValue(record.BusChannel);
      break;
  }
}

// Records of one kind whose values reach past their fields, and a short record after a long
// one, so that stale bytes of the group's buffer would show.
std::vector<Frame> Varied(int32_t type, bool fd) {
  std::vector<Frame> frames;
  // A LIN frame's bytes beyond its field are cut; a CAN frame of more than 8 is a CAN FD one.
  std::vector<uint8_t> full = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  if (type == kBusMsgCanDataFrame) full.resize(8);
  const std::vector<std::vector<uint8_t>> payloads =
      fd ? std::vector<std::vector<uint8_t>>{std::vector<uint8_t>(64, 0xA7), std::vector<uint8_t>(12, 0x5C)}
         : std::vector<std::vector<uint8_t>>{full, {0xEE}, {}};
  for (size_t i = 0; i < payloads.size(); ++i) {
    Frame frame = Of(type, i % 2 == 0 ? 0xFFFFFFFFU : 0x80000123U, 0, payloads[i]);
    frame.channel = static_cast<uint8_t>(0xF0 + i);
    std::memset(&frame.flags, i % 2 == 0 ? 0xFF : 0x01, sizeof frame.flags);
    if (type == kBusMsgCanErrorFrame) frame.flags.Error.ErrorType = i % 2 == 0 ? kCanErrorOther : kCanErrorCrc;
    if (type == kBusMsgCanDataFrame || type == kBusMsgCanRemoteFrame) frame.flags.Can.DLC = fd ? 15 : 0x1F;
    frames.push_back(frame);
  }
  return frames;
}

// Entries of every size from 1 byte to a whole chunk come back in order, whole, however the
// chunks end, and the drained store is empty.
TEST(RecordStore, DrainsEveryEntryInOrder) {
  cRecordStore_t store;
  std::vector<size_t> sizes;
  for (size_t i = 0; sizes.size() < 3000; ++i) sizes.push_back(1 + i * 7919 % 9000);
  sizes.push_back(cRecordStore_t::kChunkBytes);
  sizes.push_back(5);
  for (size_t i = 0; i < sizes.size(); ++i) {
    uint8_t* entry = store.append(sizes[i]);
    for (size_t k = 0; k < sizes[i]; ++k) entry[k] = static_cast<uint8_t>(i + k);
  }
  ASSERT_EQ(store.size(), sizes.size());
  size_t next = 0;
  store.drain([&](const uint8_t* entry) {
    EXPECT_LT(next, sizes.size());
    const size_t size = sizes[next];
    for (size_t k = 0; k < size; ++k) {
      if (entry[k] != static_cast<uint8_t>(next + k)) {
        ADD_FAILURE() << "entry " << next << " byte " << k;
        break;
      }
    }
    ++next;
    return size;
  });
  EXPECT_EQ(next, sizes.size());
  EXPECT_TRUE(store.empty());
}

TEST(MdfWriter, LaysOutEveryKindAsTheChannelSettersDo) {
  const int32_t kinds[] = {kBusMsgCanDataFrame,    kBusMsgCanDataFrame,     kBusMsgCanErrorFrame,
                           kBusMsgCanRemoteFrame,  kBusMsgLinChecksumError, kBusMsgLinFrame,
                           kBusMsgLinReceiveError, kBusMsgLinSyncError,     kBusMsgLinTransmissionError};
  ASSERT_EQ(std::size(kinds), Layouts().size());
  for (size_t k = 0; k < Layouts().size(); ++k) {
    const GroupLayout& layout = Layouts()[k];
    SCOPED_TRACE(layout.name + std::string(k == 1 ? " FD" : ""));
    test::StreamPtr stream(memoryStreamNew());
    const std::unique_ptr<mdf::MdfWriter> writer = mdf::CreateMdfWriter(mdf::MdfWriterType::kMdf4Writer);
    ASSERT_TRUE(writer->Init(std::make_shared<cIO_wrapper>(stream.get())));
    uint64_t record_id = 1;
    mdf::IChannelGroup* group = cMdfWriter_t::addGroup(*writer, record_id, layout.name, layout.bus_type, nullptr);
    mdf::IChannel* frame = cMdfWriter_t::addFrameChannel(group);
    std::vector<mdf::IChannel*> members;
    for (const MemberLayout& member : layout.members) {
      members.push_back(
          cMdfWriter_t::addChannel(frame, member.field, member.bytes, member.data_type, member.channel_type));
      ASSERT_NE(members.back(), nullptr);
    }
    mdf::IChannel* time = group->GetChannel("Timestamp");
    ASSERT_NE(time, nullptr);
    ASSERT_TRUE(writer->InitMeasurement());
    uint64_t time_us = 0;
    for (const Frame& varied : Varied(kinds[k], k == 1)) {
      test::OwnedRecord record(varied);
      time_us = time_us * 1000 + 0x123456789;
      SetThroughChannels(k, members, record.msg);
      time->SetChannelValue(time_us);
      uint8_t laid_out[cMdfWriter_t::kMaxRecordBytes] = {};
      const size_t size = cMdfWriter_t::layOut(record.msg, time_us, laid_out);
      std::vector<uint8_t> expected = group->SampleBuffer();
      if (k == 1) {
        // The writer puts the payload's offset in once the payload is in the signal data.
        const mdf::IChannel* payload = members.back();
        std::fill_n(expected.begin() + payload->ByteOffset(), payload->DataBytes(), 0);
      }
      EXPECT_EQ(std::vector<uint8_t>(laid_out, laid_out + size), expected);
    }
    writer->StopMeasurement(std::numeric_limits<uint64_t>::max());
    EXPECT_TRUE(writer->FinalizeMeasurement());
  }
}

TEST(MdfWriter, GroupsOnlyTheKindsPresent) {
  struct Case {
    const char* what;
    std::vector<Frame> frames;
    std::vector<std::string> groups;
  };
  Frame lin = Of(kBusMsgLinFrame, 0x7F, 1, {1});
  lin.flags.Lin.ReceivedDataByteCount = 1;
  const Case cases[] = {
      {"LIN only", {lin, lin}, {"LIN_Frame"}},
      {"8 and 12 data bytes",
       {Can(1, std::vector<uint8_t>(12, 1), 0, 9), Can(2, std::vector<uint8_t>(8, 2), 0, 8)},
       {"CAN_DataFrame", "CAN_DataFrame"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const test::WrittenFile file = test::WriteBusLog(c.frames, kStart, test::LoggerMetadata());
    ASSERT_TRUE(file.finalized);
    Output out(file.bytes);
    ASSERT_TRUE(out.Read());
    ASSERT_EQ(out.Groups().size(), c.groups.size());
    for (size_t g = 0; g < c.groups.size(); ++g) {
      EXPECT_EQ(out.Group(g)->Name(), c.groups[g]);
      EXPECT_EQ(out.Group(g)->RecordId(), g + 1);
    }
    test::ExpectCheckerAccepts(file.bytes);
  }
}

// The output's start is the input's to the ns, its time flags and offsets too, whatever they
// are; each time is stored in microseconds since it, the nearest (halves up), and never before
// it.
TEST(MdfWriter, KeepsTheStartAndStoresTheNearestMicrosecond) {
  struct Case {
    uint64_t start_ns;
    int16_t tz;
    int16_t dst;
    uint8_t flags;
  };
  const Case starts[] = {
      {1'600'000'000'123'456'789ULL, 0, 0, 0},     {1'796'987'569'268'208'400ULL, 60, 60, 2},
      {1'796'987'569'000'000'000ULL, 0, 0, 1},     {7, -300, 0, 2},
      {18'446'644'073'709'551'615ULL, 0, 0, 0xFF}, {0, 120, 60, 3},
  };
  struct Time {
    int64_t ns;  // since the start
    uint64_t us;
  };
  const Time times[] = {{0, 0},
                        {1, 0},
                        {499, 0},
                        {500, 1},
                        {1'499, 1},
                        {1'500, 2},
                        {999'999'999, 1'000'000},
                        {86'400'000'000'123, 86'400'000'000},  // a day in
                        {-5'000'000'000, 0},                   // before the start: stored at it
                        {-400, 0}};
  for (const Case& c : starts) {
    SCOPED_TRACE(c.start_ns);
    std::vector<Frame> frames;
    for (const Time& time : times) {
      Frame frame = Can(2, {2}, 0, 1);
      frame.time = time.ns;
      frames.push_back(frame);
    }
    const test::WrittenFile file =
        test::WriteBusLog(frames, test::StartInfo(c.start_ns, c.tz, c.dst, c.flags), test::LoggerMetadata());
    ASSERT_TRUE(file.finalized);
    Output out(file.bytes);
    ASSERT_TRUE(out.Read());
    const mdf::IMdfTimestamp* start = out.Header()->StartTimestamp();
    EXPECT_EQ(start->GetTimeNs(), c.start_ns);
    EXPECT_EQ(start->GetTzOffsetMin(), c.tz);
    EXPECT_EQ(start->GetDstOffsetMin(), c.dst);
    EXPECT_EQ(start->GetTimeFlags(), c.flags);
    ASSERT_EQ(out.Group(0)->NofSamples(), frames.size());
    for (size_t i = 0; i < std::size(times); ++i) {
      EXPECT_EQ(out.Value(0, "Timestamp", i), times[i].us) << times[i].ns;
    }
    test::ExpectCheckerAccepts(file.bytes);
  }
}

// Enough frames that the kept records and data bytes fill more than one chunk of storage.
TEST(MdfWriter, KeepsEveryByteOfManyFrames) {
  constexpr size_t kFrames = 120'000;
  static_assert(kFrames * 40 > cRecordStore_t::kChunkBytes, "CAN FD entries average over 40 bytes");
  const auto payload = [](size_t i) {
    std::vector<uint8_t> bytes(9 + i % 56);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>(i * 7 + k);
    return bytes;
  };
  std::vector<Frame> frames;
  for (size_t i = 0; i < kFrames; ++i) frames.push_back(Can(static_cast<uint32_t>(i), payload(i), 1e-3 * i, 15));
  const test::WrittenFile file = test::WriteBusLog(frames, kStart, test::LoggerMetadata());
  ASSERT_TRUE(file.finalized);
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  ASSERT_EQ(out.Group(0)->NofSamples(), kFrames);
  for (size_t i = 0; i < kFrames; ++i) {
    ASSERT_EQ(out.Bytes(0, "CAN_DataFrame.DataBytes", i), payload(i)) << i;
    ASSERT_EQ(out.Value(0, "CAN_DataFrame.ID", i), i) << i;
  }
}

// Past the last ns since 1970 the format holds there is no time to store.
TEST(MdfWriter, TimesBeyondTheFormatGoToTheStart) {
  constexpr uint64_t kLastSecond = std::numeric_limits<uint64_t>::max() - 1'000'000'000;
  test::ConsoleLog log(kLogWarning);
  std::vector<Frame> frames = {Can(1, {1}, 0, 1), Can(2, {2}, 1, 1), Can(3, {3}, 0, 1), Can(4, {4}, 0, 1)};
  frames[0].time = 1'000'001'000;  // a µs past the last
  frames[2].time = std::numeric_limits<int64_t>::max();
  frames[3].time = 1'000'000'499;  // rounds to the last µs there is
  const test::WrittenFile file = test::WriteBusLog(frames, test::StartInfo(kLastSecond), test::LoggerMetadata());
  EXPECT_TRUE(file.finalized);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"W 2 records without a valid time were written at the file start"}));
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  ASSERT_EQ(out.Group(0)->NofSamples(), 4U);
  const std::vector<uint64_t> stored = {0, 1'000'000, 0, 1'000'000};
  for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(out.Value(0, "Timestamp", i), stored[i]) << i;
}

TEST(MdfWriter, NothingRecordedWritesNothing) {
  const test::WrittenFile file = test::WriteBusLog({Of(kBusMsgUnknown, 0, 0)}, kStart, test::LoggerMetadata());
  EXPECT_TRUE(file.finalized);
  EXPECT_TRUE(file.bytes.empty());
}

TEST(MdfWriter, FailsWithoutOutputOrWhenTheOutputFails) {
  cMdfWriter_t* writer = mdfWriterNew();
  cFileInfo_t info{};
  EXPECT_FALSE(mdfWriterOpen(writer, nullptr, &info, test::LoggerMetadata()));
  test::OwnedRecord record(Can(1, {1}, 0, 1));
  mdfWriterAddRecord(writer, &record.msg);
  EXPECT_FALSE(mdfWriterFinalize(writer));  // no output: the records have nowhere to go

  test::Probed probed("");
  probed.Counts().write_limit = 0;
  ASSERT_TRUE(mdfWriterOpen(writer, probed.Stream(), &info, test::LoggerMetadata()));
  EXPECT_EQ(writer->count(cMdfWriter_t::kCanData), 0U);  // open emptied the lists
  mdfWriterAddRecord(writer, &record.msg);
  EXPECT_FALSE(mdfWriterFinalize(writer));
  mdfWriterFree(writer);

  EXPECT_FALSE(mdfWriterOpen(nullptr, nullptr, nullptr, test::LoggerMetadata()));
  EXPECT_FALSE(mdfWriterFinalize(nullptr));
  mdfWriterAddRecord(nullptr, &record.msg);
  mdfWriterFree(nullptr);
}

// Every kind of group, several cycles, signal data: the output fails after so many bytes or
// at a numbered write or seek call of the stream, once or from then on. Finalize never
// reports success for an output that lost anything.
TEST(MdfWriter, FinalizeFailsWhereverTheOutputFails) {
  std::vector<Frame> frames = OneOfEach();
  for (uint32_t i = 0; i < 6; ++i) {
    frames.push_back(Can(0x200 + i, std::vector<uint8_t>(12 + 4 * i, static_cast<uint8_t>(i)), 10 + i, 9));
    frames.push_back(Can(0x300 + i, {static_cast<uint8_t>(i)}, 10 + i, 1));
  }
  struct Written {
    bool finalized = false;
    bool failure_met = false;
    int writes = 0;
    int seeks = 0;
    std::vector<uint8_t> bytes;
  };
  const auto write = [&frames](const std::function<void(test::ProbeStream&)>& fail) {
    test::Probed probed("");
    fail(probed.Counts());
    test::ConsoleLog log(kLogError);
    Written written;
    written.finalized = test::WriteBusLogTo(probed.Stream(), frames, kStart, test::LoggerMetadata()).finalized;
    written.failure_met = probed.Counts().failures > 0;
    written.writes = probed.Counts().writes;
    written.seeks = probed.Counts().seeks;
    written.bytes = test::StreamBytes(probed.Counts().inner);
    return written;
  };
  const Written whole = write([](test::ProbeStream&) {});
  ASSERT_TRUE(whole.finalized);
  ASSERT_FALSE(whole.failure_met);
  const auto points = [](int64_t end) {
    std::vector<int64_t> at;
    for (int64_t i = 0; i < end; i += std::max<int64_t>(1, end / 40)) at.push_back(i);
    at.push_back(end - 1);
    return at;
  };
  for (const int64_t bytes : points(static_cast<int64_t>(whole.bytes.size()))) {
    SCOPED_TRACE("output ends after " + std::to_string(bytes) + " bytes");
    const Written full = write([bytes](test::ProbeStream& probe) { probe.writes_end_at = bytes; });
    EXPECT_TRUE(full.failure_met);
    EXPECT_FALSE(full.finalized);
  }
  // The stream buffer keeps bytes it could not write and the library asks once more for a
  // position it could not get: a single failed call may be made good, and then the output
  // is whole. A failure that stays always fails the file.
  const auto expect_failed = [&whole](const Written& failed, bool later_too) {
    EXPECT_TRUE(failed.failure_met);
    if (later_too) {
      EXPECT_FALSE(failed.finalized);
    } else if (failed.finalized) {
      EXPECT_EQ(failed.bytes, whole.bytes);
    }
  };
  for (const bool later_too : {false, true}) {
    for (const int64_t call : points(whole.writes)) {
      SCOPED_TRACE("write call " + std::to_string(call) + (later_too ? " and later" : " alone"));
      expect_failed(write([&](test::ProbeStream& probe) {
                      probe.fail_write_call = call;
                      probe.fail_later_writes = later_too;
                    }),
                    later_too);
    }
    for (const int64_t call : points(whole.seeks)) {
      SCOPED_TRACE("seek call " + std::to_string(call) + (later_too ? " and later" : " alone"));
      expect_failed(write([&](test::ProbeStream& probe) {
                      probe.fail_seek_call = call;
                      probe.fail_later_seeks = later_too;
                    }),
                    later_too);
    }
  }
}

TEST(MdfWriter, MissingMetadataWritesTheFramesAndFails) {
  test::ConsoleLog log(kLogError);
  const test::WrittenFile file = test::WriteBusLog({Can(1, {1}, 0, 1)}, kStart, nullptr);
  const std::vector<std::string> messages = log.Messages();
  EXPECT_FALSE(file.finalized);
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_EQ(messages[0].substr(0, 2), "E ");
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  EXPECT_EQ(out.Group(0)->NofSamples(), 1U);
  EXPECT_EQ(out.Header()->MetaDataInterface(), nullptr);
  EXPECT_EQ(out.Header()->FileHistories().at(0)->ToolId(), "QX");  // the format needs this comment
  EXPECT_EQ(out.Group(0)->SourceInformation()->MetaDataInterface(), nullptr);
  test::ExpectCheckerAccepts(file.bytes);
}

TEST(MdfWriter, AnEmptySourceCommentMakesNoCommentBlock) {
  cMdfMetadata_t* metadata = test::LoggerMetadata();
  metadata->LinSourceComment.clear();
  Frame lin = Of(kBusMsgLinFrame, 1, 0, {});
  const test::WrittenFile file = test::WriteBusLog({lin}, kStart, metadata);
  ASSERT_TRUE(file.finalized);
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  EXPECT_EQ(out.Group(0)->SourceInformation()->MetaDataInterface(), nullptr);
  test::ExpectCheckerAccepts(file.bytes);
}

// Comments that cannot be read whole never reach the output as they are: each is cut to what
// reads back, and a history comment of which no XML can be read is the bare one.
TEST(MdfWriter, CommentsReachTheOutputOnlyAsFarAsTheyCanBeRead) {
  cMdfMetadata_t* metadata = test::LoggerMetadata();
  metadata->HeaderComment =
      "<HDcomment><TX>QX logger recording</TX><common_properties><tree name='File Information'>"
      "<e name='serial number'>0000A1B2</e><e name='session'>1\xFF"
      "7</e></tree></common_properties></HDcomment>";
  metadata->FileHistoryComment = "Recorded";
  metadata->CanSourceComment = "<SIcomment><p:TX>CAN 1</p:TX></SIcomment>";  // a prefix never bound
  metadata->LinSourceComment = "<SIcomment><TX>LIN 1</TX><bus name='LIN1'>\xC0\x80</bus></SIcomment>";
  test::LogCapture log;
  const test::WrittenFile file =
      test::WriteBusLog({Can(1, {1}, 0, 1), Of(kBusMsgLinFrame, 1, 0, {})}, kStart, metadata);
  ASSERT_TRUE(file.finalized);
  size_t cuts = 0;
  for (const test::LogEntry& entry : log.entries)
    cuts += entry.text.find(" is cut to its readable part. ") != std::string::npos;
  EXPECT_EQ(cuts, 3U);
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  ASSERT_EQ(out.Groups().size(), 2U);
  EXPECT_EQ(out.Header()->MetaDataInterface()->XmlText(),
            "<HDcomment>\n  <TX>QX logger recording</TX>\n  <common_properties>\n    <tree name='File Information'>\n"
            "      <e name='serial number'>0000A1B2</e>\n    </tree>\n  </common_properties>\n</HDcomment>");
  EXPECT_EQ(out.Header()->FileHistories().at(0)->ToolId(), "QX");
  EXPECT_EQ(out.Group(0)->SourceInformation()->MetaDataInterface(), nullptr);
  EXPECT_EQ(out.Group(1)->SourceInformation()->MetaDataInterface()->XmlText(),
            "<SIcomment>\n  <TX>LIN 1</TX>\n</SIcomment>");
  test::ExpectCheckerAccepts(file.bytes);
}

TEST(MdfWriter, OverlongCanFramesAreDroppedAndReported) {
  test::ConsoleLog log(kLogWarning);
  const test::WrittenFile file = test::WriteBusLog(
      {Can(1, std::vector<uint8_t>(65, 1), 0, 15), Can(2, {2}, 0, 1), Can(3, std::vector<uint8_t>(70, 1), 0, 15)},
      kStart, test::LoggerMetadata());
  EXPECT_TRUE(file.finalized);  // the output holds every other frame; the caller fails the file
  EXPECT_EQ(file.dropped, 2U);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"E Dropped 2 CAN frames with more than 64 data bytes"}));
  Output out(file.bytes);
  ASSERT_TRUE(out.Read());
  ASSERT_EQ(out.Groups().size(), 1U);
  EXPECT_EQ(out.Group(0)->NofSamples(), 1U);
}

}  // namespace
