#include "buslog/mux_handler.h"

#include <cstdlib>
#include <cstring>

#include "buslog/keyed_vec.h"
#include "platform/log.h"

namespace {

constexpr int kSlotShift = 5;
constexpr uint8_t kIdeBit = 0x10;
constexpr uint8_t kEdlBit = 0x08;
constexpr uint8_t kDlcHighBits = 0x07;
constexpr uint8_t kDlcLowBit = 0x80;
constexpr uint8_t kDirBit = 0x40;
constexpr uint8_t kBrsOrRtrBit = 0x20;
constexpr uint8_t kExtendedIdTopBits = 0x1F;
constexpr uint8_t kStandardIdTopBits = 0x07;
constexpr uint8_t kErrorMarkMask = 0x1F;
constexpr uint8_t kErrorMark = 0x07;  // IDE 0, EDL 0, DLC bits 3-1 all set
constexpr int64_t kErrorSubFrameLength = 2;
constexpr int64_t kExtendedHeaderLength = 5;
constexpr int64_t kStandardHeaderLength = 3;

const cRecordHandlerOps_t kMuxOps = {muxHandleRecord, muxNewFile, handlerForwardEndFile};

}  // namespace

bool operator<(const cMuxMapKey_t& a, const cMuxMapKey_t& b) {
  if (a.channel != b.channel) return a.channel < b.channel;
  return a.key < b.key;
}

cMuxHandler_t* muxHandlerNew(cRecordHandler_t* next, cRecordHandler_t* target) {
  auto* stage = static_cast<cMuxHandler_t*>(std::calloc(1, sizeof(cMuxHandler_t)));  // zeroed: empty map
  if (stage == nullptr) return nullptr;
  if (!recordHandlerInit(&stage->handler)) {
    std::free(stage);
    return nullptr;
  }
  stage->handler.ops = &kMuxOps;
  stage->handler.next = next;
  stage->demux_target = target;
  return stage;
}

void muxHandlerFree(cMuxHandler_t* stage) {
  if (stage == nullptr) return;
  vecRelease(&stage->map);
  std::free(stage);
}

bool muxHandlerSetDemuxTarget(cMuxHandler_t* stage, cRecordHandler_t* target) {
  if (stage == nullptr) return false;
  stage->demux_target = target;
  return target != nullptr;
}

bool muxHandlerConfigure(cMuxHandler_t* stage, int32_t bus_type, uint8_t channel, uint32_t key,
                         const uint8_t targets[kMuxSlotCount]) {
  if (stage == nullptr || bus_type != kBusTypeCan || targets == nullptr) return false;
  cMuxEntry_t entry{{channel, key}, {}};
  std::memcpy(entry.targets, targets, sizeof entry.targets);
  if (keyedInsert(&stage->map, entry).index < 0) {
    logMessage(kLogError, "Failed to configure MUX message (channel: %u, key: %X)", static_cast<unsigned>(channel),
               static_cast<unsigned>(key));
    return false;
  }
  return true;
}

int64_t muxParseSubFrame(const uint8_t* bytes, int64_t length, cBusMsgHelper_t* record) {
  if (bytes == nullptr || length <= 0 || record == nullptr) return 0;
  busMsgReset(record);
  const uint8_t b0 = bytes[0];
  record->BusChannel = static_cast<uint8_t>(b0 >> kSlotShift);
  if ((b0 & kErrorMarkMask) == kErrorMark) {
    record->MsgType = kBusMsgCanErrorFrame;
    const uint8_t type = length > 1 ? bytes[1] : 0;
    record->Flags.Error.ErrorType =
        type >= kCanErrorBit && type <= kCanErrorMaxValue ? static_cast<cCanErrorMsgType_t>(type) : kCanErrorOther;
    return kErrorSubFrameLength;
  }
  const bool extended = (b0 & kIdeBit) != 0;
  const int64_t header = extended ? kExtendedHeaderLength : kStandardHeaderLength;
  if (length < header) return 0;
  const uint8_t b1 = bytes[1];
  cCanFlags_t& flags = record->Flags.Can;
  flags.IDE = extended ? 1 : 0;
  flags.EDL = (b0 & kEdlBit) != 0 ? 1 : 0;
  flags.DLC = static_cast<uint8_t>((b0 & kDlcHighBits) << 1 | ((b1 & kDlcLowBit) != 0 ? 1 : 0));
  flags.Dir = (b1 & kDirBit) != 0 ? 1 : 0;
  const uint8_t brs_or_rtr = (b1 & kBrsOrRtrBit) != 0 ? 1 : 0;
  if (flags.EDL != 0) {
    flags.BRS = brs_or_rtr;
  } else {
    flags.RTR = brs_or_rtr;
  }
  record->MsgType = flags.RTR != 0 ? kBusMsgCanRemoteFrame : kBusMsgCanDataFrame;
  if (extended) {
    record->ID = static_cast<uint32_t>(b1 & kExtendedIdTopBits) << 24 | uint32_t{bytes[2]} << 16 |
                 uint32_t{bytes[3]} << 8 | bytes[4];
  } else {
    record->ID = static_cast<uint32_t>(b1 & kStandardIdTopBits) << 8 | bytes[2];
  }
  if (flags.RTR != 0) return header;
  const int64_t data_length = canDlcToLength(flags.DLC);
  if (length - header < data_length) return 0;
  if (!cStrInit(&record->DataBytes, {reinterpret_cast<const char*>(bytes + header), data_length})) return 0;
  return header + data_length;
}

bool muxHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  if (handler == nullptr || record == nullptr) return false;
  auto* stage = reinterpret_cast<cMuxHandler_t*>(handler);
  if (record->MsgType != kBusMsgCanDataFrame) return recordHandlerHandle(handler->next, record);
  const cMuxMapKey_t key{record->BusChannel, canIdKey(record->ID, record->Flags.Can.IDE)};
  const int64_t index = keyedFind(&stage->map, key);
  if (index < 0) return recordHandlerHandle(handler->next, record);

  const int64_t length = cStrLength(&record->DataBytes);
  if (length == 0) return true;
  if (stage->nesting >= kMuxMaxNesting) {
    logMessage(kLogError, "MUX message nested too deeply (channel: %u, key: %X)", static_cast<unsigned>(key.channel),
               static_cast<unsigned>(key.key));
    return true;
  }
  uint8_t targets[kMuxSlotCount];
  std::memcpy(targets, stage->map.items[index].targets, sizeof targets);

  ++stage->nesting;
  bool result = true;
  const auto* payload = reinterpret_cast<const uint8_t*>(cStrData(&record->DataBytes));
  cBusMsgHelper_t sub{};
  for (int64_t at = 0; at < length;) {
    const int64_t taken = muxParseSubFrame(payload + at, length - at, &sub);
    if (taken == 0) break;
    at += taken;  // an error sub-frame may claim one byte more than is left: the walk ends
    const uint8_t slot = sub.BusChannel;
    if (slot < kMuxSlotCount) {
      sub.Timestamp = record->Timestamp;
      sub.BusChannel = targets[slot];
      if (sub.BusChannel != record->BusChannel && stage->demux_target != nullptr) {
        result = recordHandlerHandle(stage->demux_target, &sub);
      }
    }
    busMsgReset(&sub);  // whatever the chain left in it, exchanged bytes included
  }
  --stage->nesting;
  return result;
}

bool muxNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
  if (handler == nullptr || info == nullptr) return false;
  return recordHandlerNewFile(handler->next, info, continuation);
}
