#include "buslog/mdf_writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
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
#include "mdf/textrule.h"
#include "platform/byteorder.h"
#include "platform/log.h"
#include "platform/memblock.h"

namespace {

constexpr const char* kProgramId = "QX";
constexpr int kOutputMinorVersion = 11;
constexpr const char* kBareHistoryComment =
    "<FHcomment><TX></TX><tool_id>QX</tool_id><tool_vendor></tool_vendor><tool_version></tool_version></FHcomment>";
constexpr uint16_t kOutputGroupFlags = mdf::kChannelGroupBusEventFlag | mdf::kChannelGroupPlainBusEventFlag;
constexpr uint16_t kPathSeparator = '.';
constexpr uint32_t kBusEventChannelFlag = 0x400;
constexpr uint64_t kTimestampBytes = 8;
constexpr double kMicrosecondFactor = 1e-6;
constexpr uint64_t kNsPerUs = 1000;

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
  uint32_t offsets[kMaxMembers];  // of each member in the record
  uint32_t record_bytes;
};

template <size_t N>
constexpr GroupSpec Group(const char* name, uint8_t bus_type, const MemberSpec (&members)[N]) {
  static_assert(N <= kMaxMembers, "members fit the group's arrays");
  GroupSpec spec{name, bus_type, members, N, {}, static_cast<uint32_t>(kTimestampBytes)};
  for (size_t i = 0; i < N; ++i) {
    spec.offsets[i] = spec.record_bytes;
    spec.record_bytes += members[i].bytes;
  }
  return spec;
}

// Index by cMdfWriter_t::List, then kListCount + EventList.
constexpr GroupSpec kGroups[] = {
    Group("CAN_DataFrame", kBusTypeMdfCan, kCanMembers),
    Group("CAN_DataFrame", kBusTypeMdfCan, kCanFdMembers),
    Group("CAN_RemoteFrame", kBusTypeMdfCan, kRemoteMembers),
    Group("CAN_ErrorFrame", kBusTypeMdfCan, kErrorMembers),
    Group("LIN_ChecksumError", kBusTypeMdfLin, kLinChecksumMembers),
    Group("LIN_Frame", kBusTypeMdfLin, kLinFrameMembers),
    Group("LIN_ReceiveError", kBusTypeMdfLin, kLinErrorMembers),
    Group("LIN_SyncError", kBusTypeMdfLin, kLinSyncMembers),
    Group("LIN_TransmissionError", kBusTypeMdfLin, kLinErrorMembers),
};
constexpr int kGroupCount = cMdfWriter_t::kListCount + cMdfWriter_t::kEventListCount;
static_assert(std::size(kGroups) == kGroupCount, "a group per list");
constexpr bool RecordsFit() {
  for (const GroupSpec& spec : kGroups) {
    if (spec.record_bytes > cMdfWriter_t::kMaxRecordBytes) return false;
  }
  return true;
}
static_assert(RecordsFit(), "every record fits kMaxRecordBytes");

// The CAN FD member whose field holds the offset of the payload in the signal data.
constexpr size_t kCanFdPayloadMember = 9;
static_assert(kCanFdMembers[kCanFdPayloadMember].channel_type == kVlsdChannel, "the payload member");
// A CAN FD entry in its store: the record, the payload's length in one byte, the payload.
constexpr size_t kPayloadLengthBytes = 1;
// A value in signal data is preceded by its 32-bit length.
constexpr uint64_t kVlsdLengthBytes = 4;
// The worker of a cycle writes what is queued once per period. Woken this often it takes the
// records about as fast as they are queued, where the default period left a whole group
// queued, in a larger layout than the records', until the stop (bench_pipeline peak_MiB).
constexpr std::chrono::milliseconds kDrainPeriod{2};

constexpr int kNoGroup = -1;
constexpr int kDropped = -2;  // a CAN data frame with more bytes than CAN FD carries

// The group a record goes to.
int groupOf(const cBusMsgHelper_t& record) {
  switch (record.MsgType) {
    case kBusMsgCanDataFrame: {
      const int64_t length = cStrLength(&record.DataBytes);
      if (length > kCanMaxDataBytes) return kDropped;
      return length <= kCanClassicDataBytes ? cMdfWriter_t::kCanData : cMdfWriter_t::kCanFdData;
    }
    case kBusMsgCanRemoteFrame:
      return cMdfWriter_t::kCanRemote;
    case kBusMsgCanErrorFrame:
      return cMdfWriter_t::kCanError;
    case kBusMsgLinFrame:
      return cMdfWriter_t::kLinFrame;
    case kBusMsgLinChecksumError:
      return cMdfWriter_t::kLinChecksumError;
    case kBusMsgLinReceiveError:
      return cMdfWriter_t::kListCount + cMdfWriter_t::kLinReceiveError;
    case kBusMsgLinTransmissionError:
      return cMdfWriter_t::kListCount + cMdfWriter_t::kLinTransmissionError;
    case kBusMsgLinSyncError:
      return cMdfWriter_t::kListCount + cMdfWriter_t::kLinSyncError;
    default:
      return kNoGroup;
  }
}

// Puts the values of a record in member order, each in its member's width; a value wider
// than its field keeps its low bytes, as the library's setters store it. The group is a
// template argument, so that every width and offset is a constant of the store it compiles
// to: read from the table at run time they cost half of addRecord (bench_writer).
template <int G>
class RecordCursor {
 public:
  RecordCursor(uint8_t* record, uint64_t time_us) : record_(record) { storeLe64(record, time_us); }
  RecordCursor& put(uint64_t value) {
    storeLe(record_ + kGroups[G].offsets[next_], value, kGroups[G].members[next_].bytes);
    ++next_;
    return *this;
  }
  // A fixed byte-array field: the bytes, at most the field's, and zeros behind them.
  RecordCursor& putBytes(const uint8_t* data, size_t length) {
    uint8_t* field = record_ + kGroups[G].offsets[next_];
    const size_t bytes = kGroups[G].members[next_].bytes;
    const size_t kept = std::min(length, bytes);
    if (kept > 0) std::memcpy(field, data, kept);
    std::memset(field + kept, 0, bytes - kept);
    ++next_;
    return *this;
  }

 private:
  uint8_t* record_;
  size_t next_ = 0;
};

const uint8_t* dataOf(const cBusMsgHelper_t& record) {
  return reinterpret_cast<const uint8_t*>(cStrData(&record.DataBytes));
}

// Kept frames carry at most 64 bytes; a LIN frame's extra bytes have no place in the output.
size_t lengthOf(const cBusMsgHelper_t& record) {
  return static_cast<size_t>(std::clamp<int64_t>(cStrLength(&record.DataBytes), 0, kCanMaxDataBytes));
}

template <int G>
void layOutCan(const cBusMsgHelper_t& record, uint64_t time_us, uint8_t* out) {
  const cCanFlags_t& can = record.Flags.Can;
  // A classic frame's DLC above 8 means 8 bytes. The CAN FD group holds the records of more
  // bytes than a classic frame carries: the CAN FD length of the DLC is theirs.
  const uint32_t length = G == cMdfWriter_t::kCanData ? canFrameLength(can.DLC, can.EDL) : canDlcToLength(can.DLC);
  RecordCursor<G> cursor(out, time_us);
  cursor.put(record.ID & kCanExtendedIdMask)
      .put(can.IDE != 0)
      .put(can.Dir != 0)
      .put(can.EDL != 0)
      .put(can.BRS != 0)
      .put(can.ESI != 0)
      .put(can.DLC)
      .put(static_cast<uint8_t>(length))
      .put(record.BusChannel);
  if constexpr (G == cMdfWriter_t::kCanData) {
    cursor.putBytes(dataOf(record), lengthOf(record));
  } else {
    cursor.put(0);
  }
}

template <int G>
void layOutLinError(const cBusMsgHelper_t& record, uint64_t time_us, uint8_t* out) {
  RecordCursor<G>(out, time_us).put(record.ID & kLinIdMask).put(record.BusChannel);
}

// Lays out the record as the group's record; a CAN FD payload's offset is left 0.
void layOutIn(int group, const cBusMsgHelper_t& record, uint64_t time_us, uint8_t* out) {
  const cLinFlags_t& lin = record.Flags.Lin;
  switch (group) {
    case cMdfWriter_t::kCanData:
      layOutCan<cMdfWriter_t::kCanData>(record, time_us, out);
      break;
    case cMdfWriter_t::kCanFdData:
      layOutCan<cMdfWriter_t::kCanFdData>(record, time_us, out);
      break;
    case cMdfWriter_t::kCanRemote: {
      const cCanFlags_t& can = record.Flags.Can;
      RecordCursor<cMdfWriter_t::kCanRemote>(out, time_us)
          .put(record.ID & kCanExtendedIdMask)
          .put(can.IDE != 0)
          .put(can.Dir != 0)
          .put(can.DLC)
          .put(static_cast<uint8_t>(canFrameLength(can.DLC, 0)))  // remote frames are classic ones
          .put(record.BusChannel);
      break;
    }
    case cMdfWriter_t::kCanError:
      RecordCursor<cMdfWriter_t::kCanError>(out, time_us)
          .put(record.BusChannel)
          .put(static_cast<uint32_t>(record.Flags.Error.ErrorType));
      break;
    case cMdfWriter_t::kLinChecksumError:
      RecordCursor<cMdfWriter_t::kLinChecksumError>(out, time_us)
          .put(record.ID & kLinIdMask)
          .put(lin.Checksum)
          .put(lin.ChecksumModel)
          .put(lin.Dir != 0)
          .put(lin.ReceivedDataByteCount)
          .put(lin.ReceivedDataByteCount)
          .put(record.BusChannel)
          .putBytes(dataOf(record), lengthOf(record));
      break;
    case cMdfWriter_t::kLinFrame:
      RecordCursor<cMdfWriter_t::kLinFrame>(out, time_us)
          .put(record.ID & kLinIdMask)
          .put(lin.Dir != 0)
          .put(lin.ReceivedDataByteCount)
          .put(lin.ReceivedDataByteCount)
          .put(record.BusChannel)
          .putBytes(dataOf(record), lengthOf(record));
      break;
    case cMdfWriter_t::kListCount + cMdfWriter_t::kLinReceiveError:
      layOutLinError<cMdfWriter_t::kListCount + cMdfWriter_t::kLinReceiveError>(record, time_us, out);
      break;
    case cMdfWriter_t::kListCount + cMdfWriter_t::kLinSyncError:
      RecordCursor<cMdfWriter_t::kListCount + cMdfWriter_t::kLinSyncError>(out, time_us).put(record.BusChannel);
      break;
    case cMdfWriter_t::kListCount + cMdfWriter_t::kLinTransmissionError:
      layOutLinError<cMdfWriter_t::kListCount + cMdfWriter_t::kLinTransmissionError>(record, time_us, out);
      break;
    default:
      break;
  }
}

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

// The input's start time record as it is: the output's frames count from the same instant on
// the same clock.
mdf::RecordedTimestamp startOf(const cFileInfo_t& info) {
  return mdf::RecordedTimestamp(info.StartTime, info.TzOffsetMin, info.DstOffsetMin, info.TimeFlags);
}

}  // namespace

void cRecordStore_t::Unmap::operator()(uint8_t* bytes) const { memBlockResize(bytes, kChunkBytes, 0); }

uint8_t* cRecordStore_t::append(size_t size) {
  if (chunks_.empty() || kChunkBytes - chunks_.back().used < size) {
    chunks_.reserve(chunks_.size() + 1);  // may throw before the chunk is taken
    auto* bytes = static_cast<uint8_t*>(memBlockResize(nullptr, 0, kChunkBytes));
    if (bytes == nullptr) throw std::bad_alloc();
    chunks_.push_back({std::unique_ptr<uint8_t[], Unmap>(bytes), 0});
  }
  Chunk& chunk = chunks_.back();
  uint8_t* entry = chunk.bytes.get() + chunk.used;
  chunk.used += size;
  ++count_;
  return entry;
}

cMdfWriter_t::~cMdfWriter_t() { fileInfoRelease(&info_); }

void cMdfWriter_t::clearStores() {
  for (auto& list : frames_) list.clear();
  for (auto& list : events_) list.clear();
  for (uint64_t& count : pending_bad_times_) count = 0;
  signal_data_bytes_ = 0;
}

void cMdfWriter_t::clearLists() {
  clearStores();
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
  start_ns_ = info_.StartTime;
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

void cMdfWriter_t::keepRecord(const cBusMsgHelper_t& record) {
  const int group = groupOf(record);
  if (group == kDropped) ++dropped_;
  if (group < 0) return;
  bool bad_time = false;
  const uint64_t time_us = timeField(record.Timestamp, bad_time);
  const GroupSpec& spec = kGroups[group];
  const size_t payload = group == kCanFdData ? lengthOf(record) : 0;
  cRecordStore_t& store = group < kListCount ? frames_[group] : events_[group - kListCount];
  uint8_t* entry = store.append(spec.record_bytes + (group == kCanFdData ? kPayloadLengthBytes + payload : 0));
  // Counted once the group is written: the warning names records written at the start.
  if (bad_time) ++pending_bad_times_[group];
  layOutIn(group, record, time_us, entry);
  if (group == kCanFdData) {
    entry[spec.record_bytes] = static_cast<uint8_t>(payload);
    std::memcpy(entry + spec.record_bytes + kPayloadLengthBytes, dataOf(record), payload);
    signal_data_bytes_ += kVlsdLengthBytes + payload;
  }
}

size_t cMdfWriter_t::layOut(const cBusMsgHelper_t& record, uint64_t time_us, uint8_t* out) {
  const int group = groupOf(record);
  if (group < 0) return 0;
  layOutIn(group, record, time_us, out);
  return kGroups[group].record_bytes;
}

uint64_t cMdfWriter_t::timeField(int64_t timestamp, bool& bad) const {
  // Never before the start, where the library's writer would trim it away.
  if (timestamp <= 0) return 0;
  // The nearest microsecond, halves up: exact for a time the logger counted in them.
  const uint64_t us = (static_cast<uint64_t>(timestamp) + kNsPerUs / 2) / kNsPerUs;
  // The library's writer takes the sample's time in ns since 1970, which must fit.
  if (us > (std::numeric_limits<uint64_t>::max() - start_ns_) / kNsPerUs) {
    bad = true;
    return 0;
  }
  return us;
}

bool cMdfWriter_t::writeGroup(mdf::MdfWriter& writer, uint64_t& record_id, cRecordStore_t& store, int group) {
  if (store.empty()) return true;
  const GroupSpec& spec = kGroups[group];
  OutputGroup out;
  if (!buildGroup(writer, record_id, spec, metadata_.get(), out)) return false;
  writer.WorkPeriod(kDrainPeriod);
  bool written = writer.InitMeasurement();
  writer.StartMeasurement(startOf(info_));
  // The records were laid out by the table the group was built from.
  if (out.group->SampleBuffer().size() != spec.record_bytes) {
    store.clear();
    written = false;
  }
  mdf::IChannel* payloads = group == kCanFdData ? out.members[kCanFdPayloadMember] : nullptr;
  const uint32_t payload_field = kGroups[kCanFdData].offsets[kCanFdPayloadMember];
  const unsigned payload_field_bytes = kCanFdMembers[kCanFdPayloadMember].bytes;
  // A payload whose offset does not fit the field leaves the last one there, as it stayed in
  // the group's sample buffer.
  uint64_t offset = 0;
  if (payloads != nullptr) {
    try {
      // Sized once: grown by doubling it would hold a copy beside itself (bench_pipeline peak_MiB).
      payloads->ReserveVlsdValues(signal_data_bytes_);
    } catch (const std::bad_alloc&) {
      // only a hint: the values still find room, or fail, one by one
    }
  }
  store.drain([&](uint8_t* entry) {
    size_t size = spec.record_bytes;
    if (payloads != nullptr) {
      const uint8_t length = entry[size];
      if (const std::optional<uint64_t> appended =
              payloads->AppendVlsdValue(entry + size + kPayloadLengthBytes, length)) {
        offset = *appended;
      }
      storeLe(entry + payload_field, offset, payload_field_bytes);
      size += kPayloadLengthBytes + length;
    }
    writer.SaveRecord(*out.group, start_ns_ + loadLe64(entry) * kNsPerUs, entry, spec.record_bytes);
    return size;
  });
  writer.StopMeasurement(std::numeric_limits<uint64_t>::max());
  written = writer.FinalizeMeasurement() && written;
  bad_times_ += pending_bad_times_[group];
  pending_bad_times_[group] = 0;
  return written;
}

bool cMdfWriter_t::finalize() {
  if (!output_) return false;
  if (dropped_ > 0) {  // kept until the next open: the caller fails the file for them
    logMessage(kLogError, "Dropped %llu CAN frames with more than %u data bytes",
               static_cast<unsigned long long>(dropped_), static_cast<unsigned>(kCanMaxDataBytes));
  }
  size_t total = 0;
  for (const auto& list : frames_) total += list.size();
  for (const auto& list : events_) total += list.size();
  bool ok = true;
  if (total > 0) {
    ok = writeFile();
  }
  clearStores();  // what a failed write left
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
  start_ns_ = info_.StartTime;

  mdf::IFileHistory* history = header->CreateFileHistory();
  if (history == nullptr) return false;
  history->SetTime(metadata_ ? metadata_->FileHistoryTime : start_ns_);
  // Without the input's metadata the output has no comments rather than empty ones, but
  // for the file history, which must have an XML one: it then names only the tool id, also
  // in place of a comment of which nothing can be read as XML.
  {
    mdf::IMetaData* comment = history->MakeMetaData();
    if (comment == nullptr) return false;
    const bool readable = metadata_ && !mdf::ReadablePart(metadata_->FileHistoryComment, true).empty();
    comment->SetXmlText(readable ? metadata_->FileHistoryComment : kBareHistoryComment);
  }
  if (metadata_ && !metadata_->HeaderComment.empty()) {
    mdf::IMetaData* comment = header->MakeMetaData();
    if (comment == nullptr) return false;
    comment->SetXmlText(metadata_->HeaderComment);
  }
  header->StartTime(startOf(info_));

  // CAN error before CAN remote; record ids count the groups really written.
  uint64_t record_id = 1;
  for (const List list : {kCanData, kCanFdData, kCanError, kCanRemote, kLinChecksumError, kLinFrame}) {
    if (!writeGroup(*writer, record_id, frames_[list], list)) return false;
  }
  for (const EventList list : {kLinReceiveError, kLinSyncError, kLinTransmissionError}) {
    if (!writeGroup(*writer, record_id, events_[list], kListCount + list)) return false;
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

uint64_t mdfWriterDropped(const cMdfWriter_t* writer) { return writer == nullptr ? 0 : writer->dropped(); }

bool mdfWriterFinalize(cMdfWriter_t* writer) {
  if (writer == nullptr) return false;
  try {
    return writer->finalize();
  } catch (const std::exception&) {
    return false;
  }
}
