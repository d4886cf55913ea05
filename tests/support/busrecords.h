#pragma once
// Bus records for tests of the record-handler chain: a plain description of a frame, a
// record that owns its data bytes, a collecting last stage, and Push, which hands one frame to
// a chain and releases whatever the record holds afterwards (LeakSanitizer checks the rest).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "buslog/busmsg.h"
#include "buslog/record_handler.h"

namespace test {

using Bytes = std::vector<uint8_t>;

/// Seconds as a record's time counts them: whole ns, the nearest.
inline int64_t Ns(double seconds) { return std::llround(seconds * 1e9); }

/// One record in plain form; flags as the record stores them.
struct Frame {
  int32_t type = kBusMsgCanDataFrame;
  uint8_t channel = 0;
  uint32_t id = 0;
  Bytes data;
  int64_t time = 0;  // ns since the file's start
  cBusMsgFlags_t flags{};

  bool operator==(const Frame& other) const {
    return type == other.type && channel == other.channel && id == other.id && data == other.data &&
           time == other.time && std::memcmp(&flags, &other.flags, sizeof flags) == 0;
  }
};

inline void PrintTo(const Frame& frame, std::ostream* out) {
  char head[96];
  std::snprintf(head, sizeof head, "{type %d, channel %u, id 0x%X, time %lld ns, data", frame.type, frame.channel,
                frame.id, static_cast<long long>(frame.time));
  *out << head;
  for (const uint8_t byte : frame.data) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", byte);
    *out << hex;
  }
  unsigned char flags[sizeof frame.flags];
  std::memcpy(flags, &frame.flags, sizeof flags);
  *out << ", flags";
  for (const unsigned char byte : flags) *out << ' ' << static_cast<int>(byte);
  *out << '}';
}

/// A CAN data frame with an 11-bit identifier (IDE 0), `seconds` after the file's start.
inline Frame CanFrame(uint8_t channel, uint32_t id, Bytes data, double seconds = 0) {
  Frame frame;
  frame.channel = channel;
  frame.id = id;
  frame.data = std::move(data);
  frame.time = Ns(seconds);
  return frame;
}

/// A CAN data frame with a 29-bit identifier (IDE 1); the identifier is stored as given.
inline Frame ExtendedFrame(uint8_t channel, uint32_t id, Bytes data, double seconds = 0) {
  Frame frame = CanFrame(channel, id, std::move(data), seconds);
  frame.flags.Can.IDE = 1;
  return frame;
}

inline Frame LinFrame(uint8_t channel, uint32_t id, Bytes data, double seconds = 0) {
  Frame frame = CanFrame(channel, id, std::move(data), seconds);
  frame.type = kBusMsgLinFrame;
  return frame;
}

inline Frame FrameOf(const cBusMsgHelper_t& record) {
  Frame frame;
  frame.type = record.MsgType;
  frame.channel = record.BusChannel;
  frame.id = record.ID;
  const auto* bytes = reinterpret_cast<const uint8_t*>(cStrData(&record.DataBytes));
  frame.data.assign(bytes, bytes + cStrLength(&record.DataBytes));
  frame.time = record.Timestamp;
  frame.flags = record.Flags;
  return frame;
}

/// A record that releases its data bytes when it goes.
class OwnedRecord {
 public:
  OwnedRecord() = default;
  explicit OwnedRecord(const Frame& frame) {
    msg.Timestamp = frame.time;
    msg.BusChannel = frame.channel;
    msg.ID = frame.id;
    msg.MsgType = frame.type;
    msg.Flags = frame.flags;
    const bool stored = cStrInit(
        &msg.DataBytes, {reinterpret_cast<const char*>(frame.data.data()), static_cast<int64_t>(frame.data.size())});
    if (!stored) ADD_FAILURE() << "no memory for the data bytes";
  }
  ~OwnedRecord() { busMsgReset(&msg); }
  OwnedRecord(const OwnedRecord&) = delete;
  OwnedRecord& operator=(const OwnedRecord&) = delete;

  [[nodiscard]] Frame AsFrame() const { return FrameOf(msg); }
  [[nodiscard]] Bytes Data() const { return AsFrame().data; }

  cBusMsgHelper_t msg{};
};

/// Hands one frame to a chain, like the front end does, and releases the record afterwards.
inline bool Push(cRecordHandler_t* head, const Frame& frame) {
  OwnedRecord record(frame);
  return recordHandlerHandle(head, &record.msg);
}

/// The last stage of a test chain: keeps a copy of every record and counts the file calls.
class RecordCollector {
 public:
  RecordCollector() {
    recordHandlerInit(&stage_.handler);
    stage_.handler.ops = &kOps;
    stage_.owner = this;
  }
  RecordCollector(const RecordCollector&) = delete;
  RecordCollector& operator=(const RecordCollector&) = delete;

  cRecordHandler_t* Handler() { return &stage_.handler; }

  std::vector<Frame> records;
  std::vector<uint8_t> new_files;  // the continuation flag of each newFile
  int end_files = 0;
  bool answer = true;  // what all three operations return

 private:
  struct Stage {
    cRecordHandler_t handler;
    RecordCollector* owner;
  };
  static RecordCollector* Owner(cRecordHandler_t* handler) { return reinterpret_cast<Stage*>(handler)->owner; }
  static bool HandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
    Owner(handler)->records.push_back(FrameOf(*record));
    return Owner(handler)->answer;
  }
  static bool NewFile(cRecordHandler_t* handler, const cFileInfo_t*, uint8_t continuation) {
    Owner(handler)->new_files.push_back(continuation);
    return Owner(handler)->answer;
  }
  static bool EndFile(cRecordHandler_t* handler, const cFileInfo_t*) {
    ++Owner(handler)->end_files;
    return Owner(handler)->answer;
  }
  static constexpr cRecordHandlerOps_t kOps = {HandleRecord, NewFile, EndFile};

  Stage stage_{};
};

}  // namespace test
