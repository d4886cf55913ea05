#include "buslog/mdf_writer.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <string>

#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/ifilehistory.h"
#include "mdf/iheader.h"
#include "mdf/imetadata.h"
#include "mdf/isourceinformation.h"
#include "mdf/itimestamp.h"
#include "mdf/mdffile.h"
#include "mdf/mdfwriter.h"
#include "platform/log.h"

namespace {

constexpr const char* kProgramId = "QX";
constexpr int kOutputMinorVersion = 11;
constexpr const char* kBareHistoryComment =
    "<FHcomment><TX></TX><tool_id>QX</tool_id><tool_vendor></tool_vendor><tool_version></tool_version></FHcomment>";
constexpr uint16_t kOutputGroupFlags = kCgFlagBusEvent | kCgFlagPlainBusEvent;
constexpr uint16_t kPathSeparator = '.';
constexpr uint32_t kBusEventChannelFlag = 0x400;
constexpr uint64_t kTimestampBytes = 8;
constexpr double kMicrosecondFactor = 1e-6;
constexpr double kUsPerSecond = 1e6;
constexpr int64_t kNsPerUs = 1000;
// The largest time in microseconds whose nanoseconds still fit a signed 64-bit number.
constexpr double kMaxTimeUs = static_cast<double>(std::numeric_limits<int64_t>::max() / kNsPerUs);

struct MemberSpec {
  const char* field;
  uint32_t bytes;
  uint8_t data_type;
  uint8_t channel_type;
};

using mdf::kByteArray;
using mdf::kFixedLengthChannel;
using mdf::kUnsignedLe;
using mdf::kVlsdChannel;

// The members of each output group, in record order; the setters below use these indexes.
constexpr MemberSpec kCanMembers[] = {
    {"ID", 4, kUnsignedLe, kFixedLengthChannel},
    {"IDE", 1, kUnsignedLe, kFixedLengthChannel},
    {"Dir", 1, kUnsignedLe, kFixedLengthChannel},
    {"EDL", 1, kUnsignedLe, kFixedLengthChannel},
    {"BRS", 1, kUnsignedLe, kFixedLengthChannel},
    {"ESI", 1, kUnsignedLe, kFixedLengthChannel},
    {"DLC", 1, kUnsignedLe, kFixedLengthChannel},
    {"DataLength", 1, kUnsignedLe, kFixedLengthChannel},
    {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel},
    {"DataBytes", kCanClassicDataBytes, kByteArray, kFixedLengthChannel},
};
// CAN FD payloads lie in signal data; the record holds their 4-byte offset.
constexpr MemberSpec kCanFdMembers[] = {
    {"ID", 4, kUnsignedLe, kFixedLengthChannel},         {"IDE", 1, kUnsignedLe, kFixedLengthChannel},
    {"Dir", 1, kUnsignedLe, kFixedLengthChannel},        {"EDL", 1, kUnsignedLe, kFixedLengthChannel},
    {"BRS", 1, kUnsignedLe, kFixedLengthChannel},        {"ESI", 1, kUnsignedLe, kFixedLengthChannel},
    {"DLC", 1, kUnsignedLe, kFixedLengthChannel},        {"DataLength", 1, kUnsignedLe, kFixedLengthChannel},
    {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel}, {"DataBytes", 4, kByteArray, kVlsdChannel},
};
constexpr MemberSpec kErrorMembers[] = {
    {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel},
    {"ErrorType", 1, kUnsignedLe, kFixedLengthChannel},
};
constexpr MemberSpec kRemoteMembers[] = {
    {"ID", 4, kUnsignedLe, kFixedLengthChannel},         {"IDE", 1, kUnsignedLe, kFixedLengthChannel},
    {"Dir", 1, kUnsignedLe, kFixedLengthChannel},        {"DLC", 1, kUnsignedLe, kFixedLengthChannel},
    {"DataLength", 1, kUnsignedLe, kFixedLengthChannel}, {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel},
};
constexpr MemberSpec kLinChecksumMembers[] = {
    {"ID", 4, kUnsignedLe, kFixedLengthChannel},
    {"Checksum", 1, kUnsignedLe, kFixedLengthChannel},
    {"ChecksumModel", 1, kUnsignedLe, kFixedLengthChannel},
    {"Dir", 1, kUnsignedLe, kFixedLengthChannel},
    {"ReceivedDataByteCount", 1, kUnsignedLe, kFixedLengthChannel},
    {"DataLength", 1, kUnsignedLe, kFixedLengthChannel},
    {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel},
    {"DataBytes", 8, kByteArray, kFixedLengthChannel},
};
constexpr MemberSpec kLinFrameMembers[] = {
    {"ID", 4, kUnsignedLe, kFixedLengthChannel},
    {"Dir", 1, kUnsignedLe, kFixedLengthChannel},
    {"ReceivedDataByteCount", 1, kUnsignedLe, kFixedLengthChannel},
    {"DataLength", 1, kUnsignedLe, kFixedLengthChannel},
    {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel},
    {"DataBytes", 8, kByteArray, kFixedLengthChannel},
};
constexpr MemberSpec kLinErrorMembers[] = {
    {"ID", 1, kUnsignedLe, kFixedLengthChannel},
    {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel},
};
constexpr MemberSpec kLinSyncMembers[] = {
    {"BusChannel", 1, kUnsignedLe, kFixedLengthChannel},
};
constexpr size_t kMaxMembers = 10;

struct GroupSpec {
  const char* name;
  uint8_t bus_type;
  const MemberSpec* members;
  size_t count;
};

template <size_t N>
constexpr GroupSpec Group(const char* name, uint8_t bus_type, const MemberSpec (&members)[N]) {
  static_assert(N <= kMaxMembers, "members fit the setter's array");
  return {name, bus_type, members, N};
}

// Index by cMdfWriter_t::List and EventList.
const GroupSpec kFrameGroups[] = {
    Group("CAN_DataFrame", kBusTypeMdfCan, kCanMembers),
    Group("CAN_DataFrame", kBusTypeMdfCan, kCanFdMembers),
    Group("CAN_RemoteFrame", kBusTypeMdfCan, kRemoteMembers),
    Group("CAN_ErrorFrame", kBusTypeMdfCan, kErrorMembers),
    Group("LIN_ChecksumError", kBusTypeMdfLin, kLinChecksumMembers),
    Group("LIN_Frame", kBusTypeMdfLin, kLinFrameMembers),
};
const GroupSpec kEventGroups[] = {
    Group("LIN_ReceiveError", kBusTypeMdfLin, kLinErrorMembers),
    Group("LIN_SyncError", kBusTypeMdfLin, kLinSyncMembers),
    Group("LIN_TransmissionError", kBusTypeMdfLin, kLinErrorMembers),
};

// The group with its master and members, ready for values.
struct OutputGroup {
  mdf::IChannelGroup* group = nullptr;
  mdf::IChannel* time = nullptr;
  mdf::IChannel* members[kMaxMembers] = {};
};

bool buildGroup(mdf::MdfWriter& writer, uint64_t& record_id, const GroupSpec& spec, const cMdfMetadata_t* metadata,
                OutputGroup& out) {
  out.group = cMdfWriter_t::addGroup(writer, record_id, spec.name, spec.bus_type, metadata);
  if (out.group == nullptr) return false;
  mdf::IChannel* frame = cMdfWriter_t::addFrameChannel(out.group);
  if (frame == nullptr) return false;
  for (size_t i = 0; i < spec.count; ++i) {
    const MemberSpec& member = spec.members[i];
    out.members[i] = cMdfWriter_t::addChannel(frame, member.field, member.bytes, member.data_type, member.channel_type);
    if (out.members[i] == nullptr) return false;
  }
  for (mdf::IChannel* channel : out.group->Channels()) {
    if (channel->ChannelType() == mdf::kMasterChannel) out.time = channel;
  }
  if (out.time == nullptr) return false;
  // The writer keeps the master value we store: microseconds counted in integers, where
  // the library's seconds in a double would lose one now and then.
  out.time->CalculateMaster(false);
  return true;
}

std::vector<uint8_t>& scratch() {
  thread_local std::vector<uint8_t> bytes;
  return bytes;
}

const std::vector<uint8_t>& dataOf(const cBytePool_t& pool, const cMdfWriter_t::Frame& frame) {
  std::vector<uint8_t>& bytes = scratch();
  const uint8_t* data = frame.length > 0 ? pool.at(frame.data) : nullptr;
  bytes.assign(data, data + frame.length);
  return bytes;
}

void setCanValues(mdf::IChannel* const* m, const cMdfWriter_t::Frame& frame, const std::vector<uint8_t>& data) {
  const cCanFlags_t& can = frame.flags.Can;
  m[0]->SetChannelValue(frame.id & kCanExtendedIdMask);
  m[1]->SetChannelValue(static_cast<uint8_t>(can.IDE != 0));
  m[2]->SetChannelValue(static_cast<uint8_t>(can.Dir != 0));
  m[3]->SetChannelValue(static_cast<uint8_t>(can.EDL != 0));
  m[4]->SetChannelValue(static_cast<uint8_t>(can.BRS != 0));
  m[5]->SetChannelValue(static_cast<uint8_t>(can.ESI != 0));
  m[6]->SetChannelValue(can.DLC);
  m[7]->SetChannelValue(static_cast<uint8_t>(canDlcToLength(can.DLC)));
  m[8]->SetChannelValue(frame.channel);
  m[9]->SetValueFromBytes(data, true, 0);
}

void setRemoteValues(mdf::IChannel* const* m, const cMdfWriter_t::Frame& frame) {
  const cCanFlags_t& can = frame.flags.Can;
  m[0]->SetChannelValue(frame.id & kCanExtendedIdMask);
  m[1]->SetChannelValue(static_cast<uint8_t>(can.IDE != 0));
  m[2]->SetChannelValue(static_cast<uint8_t>(can.Dir != 0));
  m[3]->SetChannelValue(can.DLC);
  m[4]->SetChannelValue(static_cast<uint8_t>(canDlcToLength(can.DLC)));
  m[5]->SetChannelValue(frame.channel);
}

void setErrorValues(mdf::IChannel* const* m, const cMdfWriter_t::Frame& frame) {
  m[0]->SetChannelValue(frame.channel);
  m[1]->SetChannelValue(static_cast<uint32_t>(frame.flags.Error.ErrorType));
}

void setLinChecksumValues(mdf::IChannel* const* m, const cMdfWriter_t::Frame& frame, const std::vector<uint8_t>& data) {
  const cLinFlags_t& lin = frame.flags.Lin;
  m[0]->SetChannelValue(frame.id & kLinIdMask);
  m[1]->SetChannelValue(lin.Checksum);
  m[2]->SetChannelValue(lin.ChecksumModel);
  m[3]->SetChannelValue(static_cast<uint8_t>(lin.Dir != 0));
  m[4]->SetChannelValue(lin.ReceivedDataByteCount);
  m[5]->SetChannelValue(lin.ReceivedDataByteCount);
  m[6]->SetChannelValue(frame.channel);
  m[7]->SetValueFromBytes(data, true, 0);
}

void setLinFrameValues(mdf::IChannel* const* m, const cMdfWriter_t::Frame& frame, const std::vector<uint8_t>& data) {
  const cLinFlags_t& lin = frame.flags.Lin;
  m[0]->SetChannelValue(frame.id & kLinIdMask);
  m[1]->SetChannelValue(static_cast<uint8_t>(lin.Dir != 0));
  m[2]->SetChannelValue(lin.ReceivedDataByteCount);
  m[3]->SetChannelValue(lin.ReceivedDataByteCount);
  m[4]->SetChannelValue(frame.channel);
  m[5]->SetValueFromBytes(data, true, 0);
}

uint64_t startNs(double seconds) {
  const double us = seconds * kUsPerSecond;
  if (!(us >= 0.0) || us > kMaxTimeUs) return 0;  // not a time of this era (NaN included)
  return static_cast<uint64_t>(std::llround(us)) * kNsPerUs;
}

}  // namespace

uint64_t cBytePool_t::append(const uint8_t* bytes, uint64_t length) {
  if (end_ % kChunkBytes + length > kChunkBytes) end_ += kChunkBytes - end_ % kChunkBytes;  // to the next chunk
  if (end_ / kChunkBytes == chunks_.size()) chunks_.emplace_back(new uint8_t[kChunkBytes]);
  const uint64_t offset = end_;
  std::copy(bytes, bytes + length, chunks_.back().get() + offset % kChunkBytes);
  end_ += length;
  return offset;
}

cMdfWriter_t::~cMdfWriter_t() { fileInfoRelease(&info_); }

void cMdfWriter_t::clearLists() {
  for (auto& list : frames_) list.clear();
  for (auto& list : events_) list.clear();
  bytes_.clear();
  dropped_ = 0;
  bad_times_ = 0;
  lost_ = 0;
}

bool cMdfWriter_t::open(std::shared_ptr<cIO_wrapper> output, const cFileInfo_t* info, cMdfMetadata_t* metadata) {
  clearLists();
  output_ = std::move(output);
  metadata_.reset(metadata);
  fileInfoRelease(&info_);
  if (!output_ || (info != nullptr && !fileInfoCopy(&info_, info))) {
    // Nothing of the new file is kept.
    output_.reset();
    metadata_.reset();
    return false;
  }
  return true;
}

void cMdfWriter_t::addRecord(const cBusMsgHelper_t* record) {
  if (record == nullptr) return;
  try {
    keepRecord(*record);
  } catch (const std::bad_alloc&) {
    ++lost_;
  }
}

void cMdfWriter_t::keepRecord(const cBusMsgHelper_t& kept) {
  const cBusMsgHelper_t* record = &kept;
  const auto keep = [this, record](List list, bool with_data) {
    Frame frame{record->Timestamp, record->ID, record->BusChannel, record->Flags, 0, 0};
    if (with_data) {
      const int64_t length = cStrLength(&record->DataBytes);
      const auto* data = reinterpret_cast<const uint8_t*>(cStrData(&record->DataBytes));
      // Kept frames carry at most 64 bytes; a LIN frame's extra bytes have no place in the output.
      frame.length = static_cast<uint8_t>(std::min<int64_t>(length, kCanMaxDataBytes));
      if (frame.length > 0) frame.data = bytes_.append(data, frame.length);
    }
    frames_[list].push_back(frame);
  };
  switch (record->MsgType) {
    case kBusMsgCanDataFrame: {
      const int64_t length = cStrLength(&record->DataBytes);
      if (length > kCanMaxDataBytes) {
        ++dropped_;
      } else {
        keep(length <= kCanClassicDataBytes ? kCanData : kCanFdData, true);
      }
      break;
    }
    case kBusMsgCanRemoteFrame:
      keep(kCanRemote, false);
      break;
    case kBusMsgCanErrorFrame:
      keep(kCanError, false);
      break;
    case kBusMsgLinFrame:
      keep(kLinFrame, true);
      break;
    case kBusMsgLinChecksumError:
      keep(kLinChecksumError, true);
      break;
    case kBusMsgLinReceiveError:
      events_[kLinReceiveError].push_back({record->Timestamp, record->ID, record->BusChannel});
      break;
    case kBusMsgLinTransmissionError:
      events_[kLinTransmissionError].push_back({record->Timestamp, record->ID, record->BusChannel});
      break;
    case kBusMsgLinSyncError:
      events_[kLinSyncError].push_back({record->Timestamp, record->ID, record->BusChannel});
      break;
    default:
      break;
  }
}

uint64_t cMdfWriter_t::sampleTime(double timestamp) {
  const double us = timestamp * kUsPerSecond;
  if (!std::isfinite(us) || us > kMaxTimeUs) {
    ++bad_times_;
    return start_ns_;
  }
  if (us <= 0.0) return start_ns_;
  // Rounded to the microsecond the logger wrote, and never before the start, where the
  // library's writer would trim it away.
  return std::max(start_ns_, static_cast<uint64_t>(std::llround(us)) * kNsPerUs);
}

bool cMdfWriter_t::writeFrames(mdf::MdfWriter& writer, uint64_t& record_id, List list) {
  cChunkList_t<Frame>& frames = frames_[list];
  if (frames.empty()) return true;
  OutputGroup out;
  if (!buildGroup(writer, record_id, kFrameGroups[list], metadata_.get(), out)) return false;
  bool written = writer.InitMeasurement();
  writer.StartMeasurement(mdf::UtcTimestamp(start_ns_));
  for (size_t index = 0; index < frames.size(); ++index) {
    const Frame& frame = frames[index];
    switch (list) {
      case kCanData:
      case kCanFdData:
        setCanValues(out.members, frame, dataOf(bytes_, frame));
        break;
      case kCanRemote:
        setRemoteValues(out.members, frame);
        break;
      case kCanError:
        setErrorValues(out.members, frame);
        break;
      case kLinChecksumError:
        setLinChecksumValues(out.members, frame, dataOf(bytes_, frame));
        break;
      case kLinFrame:
        setLinFrameValues(out.members, frame, dataOf(bytes_, frame));
        break;
      case kListCount:
        break;
    }
    const uint64_t ns = sampleTime(frame.time);
    out.time->SetChannelValue((ns - start_ns_) / kNsPerUs);
    writer.SaveSample(*out.group, ns);
  }
  writer.StopMeasurement(std::numeric_limits<uint64_t>::max());
  written = writer.FinalizeMeasurement() && written;
  frames.clear();
  return written;
}

bool cMdfWriter_t::writeEvents(mdf::MdfWriter& writer, uint64_t& record_id, EventList list) {
  cChunkList_t<Event>& events = events_[list];
  if (events.empty()) return true;
  OutputGroup out;
  if (!buildGroup(writer, record_id, kEventGroups[list], metadata_.get(), out)) return false;
  bool written = writer.InitMeasurement();
  writer.StartMeasurement(mdf::UtcTimestamp(start_ns_));
  for (size_t index = 0; index < events.size(); ++index) {
    const Event& event = events[index];
    if (list == kLinSyncError) {
      out.members[0]->SetChannelValue(event.channel);
    } else {
      out.members[0]->SetChannelValue(event.id & kLinIdMask);
      out.members[1]->SetChannelValue(event.channel);
    }
    const uint64_t ns = sampleTime(event.time);
    out.time->SetChannelValue((ns - start_ns_) / kNsPerUs);
    writer.SaveSample(*out.group, ns);
  }
  writer.StopMeasurement(std::numeric_limits<uint64_t>::max());
  written = writer.FinalizeMeasurement() && written;
  events.clear();
  return written;
}

bool cMdfWriter_t::finalize() {
  if (!output_) return false;
  if (dropped_ > 0) {
    logMessage(kLogWarning, "Dropped %llu CAN frames with more than %u data bytes",
               static_cast<unsigned long long>(dropped_), static_cast<unsigned>(kCanMaxDataBytes));
    dropped_ = 0;
  }
  size_t total = 0;
  for (const auto& list : frames_) total += list.size();
  for (const auto& list : events_) total += list.size();
  bool ok = true;
  if (total > 0) {
    ok = writeFile();
  }
  if (output_->pubsync() != 0) ok = false;
  output_.reset();
  if (bad_times_ > 0) {
    logMessage(kLogWarning, "%llu records without a valid time were written at the file start",
               static_cast<unsigned long long>(bad_times_));
    bad_times_ = 0;
  }
  if (lost_ > 0) {
    logMessage(kLogError, "%llu records could not be kept for want of memory", static_cast<unsigned long long>(lost_));
    lost_ = 0;
    ok = false;
  }
  if (!metadata_) {
    logMessage(kLogError, "The input's metadata is missing: the output has no comments from it");
    ok = false;
  }
  return ok;
}

bool cMdfWriter_t::writeFile() {
  const std::unique_ptr<mdf::MdfWriter> writer = mdf::CreateMdfWriter(mdf::MdfWriterType::kMdf4Writer);
  if (!writer || !writer->Init(output_) || writer->GetFile() == nullptr) return false;
  mdf::MdfFile* file = writer->GetFile();
  file->SetProgramId(kProgramId);
  file->SetMinorVersion(kOutputMinorVersion);
  mdf::IHeader* header = writer->Header();
  if (header == nullptr) return false;
  start_ns_ = startNs(info_.StartTime);

  mdf::IFileHistory* history = header->CreateFileHistory();
  if (history == nullptr) return false;
  history->SetTime(metadata_ ? metadata_->FileHistoryTime : start_ns_);
  // Without the input's metadata the output has no comments rather than empty ones, but
  // for the file history, which must have one: it then names only the tool id.
  {
    mdf::IMetaData* comment = history->MakeMetaData();
    if (comment == nullptr) return false;
    comment->SetXmlText(metadata_ && !metadata_->FileHistoryComment.empty() ? metadata_->FileHistoryComment
                                                                            : kBareHistoryComment);
  }
  if (metadata_ && !metadata_->HeaderComment.empty()) {
    mdf::IMetaData* comment = header->MakeMetaData();
    if (comment == nullptr) return false;
    comment->SetXmlText(metadata_->HeaderComment);
  }
  header->StartTime(mdf::UtcTimestamp(start_ns_));

  // CAN error before CAN remote; record ids count the groups really written.
  uint64_t record_id = 1;
  for (const List list : {kCanData, kCanFdData, kCanError, kCanRemote, kLinChecksumError, kLinFrame}) {
    if (!writeFrames(*writer, record_id, list)) return false;
  }
  for (const EventList list : {kLinReceiveError, kLinSyncError, kLinTransmissionError}) {
    if (!writeEvents(*writer, record_id, list)) return false;
  }
  return true;
}

mdf::IChannelGroup* cMdfWriter_t::addGroup(mdf::MdfWriter& writer, uint64_t& record_id, const char* name,
                                           uint8_t bus_type, const cMdfMetadata_t* metadata) {
  mdf::IDataGroup* data_group = writer.CreateDataGroup();
  if (data_group == nullptr) return nullptr;
  mdf::IChannelGroup* group = data_group->GetOrCreateChannelGroup(name);
  if (group == nullptr) return nullptr;
  group->RecordId(record_id++);
  group->Flags(kOutputGroupFlags);
  group->PathSeparator(kPathSeparator);

  mdf::ISourceInformation* source = group->CreateSourceInformation();
  if (source == nullptr) return nullptr;
  source->Type(kSourceTypeBus);
  source->Bus(bus_type);
  const std::string* text = nullptr;
  if (metadata != nullptr) {
    if (bus_type == kBusTypeMdfCan) text = &metadata->CanSourceComment;
    if (bus_type == kBusTypeMdfLin) text = &metadata->LinSourceComment;
  }
  if (text != nullptr && !text->empty()) {  // an empty text makes no comment block
    mdf::IMetaData* comment = source->MakeMetaData();
    if (comment == nullptr) return nullptr;
    comment->SetXmlText(*text);
  }

  mdf::IChannel* time = group->CreateChannel();
  if (time == nullptr) return nullptr;
  time->Name("Timestamp");
  time->ChannelType(mdf::kMasterChannel);
  time->SyncType(mdf::kTimeSync);
  time->DataBytes(kTimestampBytes);
  time->DataType(mdf::kUnsignedLe);
  mdf::IChannelConversion* conversion = writer.CreateChannelConversion(time);
  if (conversion == nullptr) return nullptr;
  conversion->SetType(mdf::kLinearConversion);
  conversion->SetParameter(0, 0.0);
  conversion->SetParameter(1, kMicrosecondFactor);
  conversion->SetUnit("s");
  return group;
}

mdf::IChannel* cMdfWriter_t::addFrameChannel(mdf::IChannelGroup* group) {
  if (group == nullptr) return nullptr;
  const std::vector<mdf::IChannel*> others = group->Channels();
  mdf::IChannel* frame = group->CreateChannel();
  if (frame == nullptr) return nullptr;
  frame->Name(group->Name());
  frame->DataType(mdf::kByteArray);
  frame->ChannelType(mdf::kFixedLengthChannel);
  frame->SyncType(mdf::kNoSync);
  frame->Flags(kBusEventChannelFlag);
  const mdf::IChannel* last = nullptr;
  for (const mdf::IChannel* channel : others) {
    if (last == nullptr || channel->ByteOffset() > last->ByteOffset()) last = channel;
  }
  if (last == nullptr) return nullptr;  // the master always precedes the frame
  frame->ByteOffset(static_cast<uint32_t>(last->ByteOffset() + last->DataBytes()));
  return frame;
}

mdf::IChannel* cMdfWriter_t::addChannel(mdf::IChannel* frame, const char* field, uint32_t bytes, uint8_t data_type,
                                        uint8_t channel_type) {
  if (frame == nullptr || frame->ChannelGroup() == nullptr) return nullptr;
  const mdf::IChannelGroup& group = *frame->ChannelGroup();
  const std::vector<mdf::IChannel*> others = frame->ChannelCompositions();
  mdf::IChannel* member = frame->CreateChannelComposition();
  if (member == nullptr) return nullptr;
  std::string name = group.Name();
  name += static_cast<char>(group.PathSeparator());
  name += field;
  member->Name(name);
  member->ChannelType(channel_type);
  member->SyncType(mdf::kNoSync);
  member->DataType(data_type);
  member->Flags(kBusEventChannelFlag);
  member->DataBytes(bytes);
  const mdf::IChannel* last = nullptr;
  for (const mdf::IChannel* channel : others) {
    if (last == nullptr || channel->ByteOffset() > last->ByteOffset()) last = channel;
  }
  const uint64_t offset = last != nullptr ? last->ByteOffset() + last->DataBytes() : frame->ByteOffset();
  member->ByteOffset(static_cast<uint32_t>(offset));
  frame->DataBytes(offset + bytes - frame->ByteOffset());
  return member;
}

cMdfWriter_t* mdfWriterNew() { return new (std::nothrow) cMdfWriter_t; }

void mdfWriterFree(cMdfWriter_t* writer) { delete writer; }

bool mdfWriterOpen(cMdfWriter_t* writer, cStream_t* output, const cFileInfo_t* info, cMdfMetadata_t* metadata) {
  std::unique_ptr<cMdfMetadata_t> owned(metadata);
  if (writer == nullptr) return false;
  try {
    std::shared_ptr<cIO_wrapper> wrapper;
    if (output != nullptr) wrapper = std::make_shared<cIO_wrapper>(output);
    return writer->open(std::move(wrapper), info, owned.release());
  } catch (const std::exception&) {
    return false;
  }
}

void mdfWriterAddRecord(cMdfWriter_t* writer, const cBusMsgHelper_t* record) {
  if (writer == nullptr || record == nullptr) return;
  writer->addRecord(record);
}

bool mdfWriterFinalize(cMdfWriter_t* writer) {
  if (writer == nullptr) return false;
  try {
    return writer->finalize();
  } catch (const std::exception&) {
    return false;
  }
}
