#pragma once
// The event iterator's fill rules: which field of a bus event record each known channel name
// fills and how (the fill table), and the finishing of a filled record (a time there is,
// kind, the kind's data length). Both decodings fill through here, so they give the same records.
// iterator_rules.cpp also tells a channel group's kind by its names (cMdfReader_t::getGroupType).
// Relies on the bus event record and the event times.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "buslog/busmsg.h"
#include "buslog/iterator_time.h"

namespace mdf {
class IChannelGroup;
}  // namespace mdf

namespace iterator_detail {

enum class FillRule {
  kNone,
  kTime,
  kChannel,
  kIdentifier,
  kExtended,
  kDlc,
  kCanDirection,
  kEdl,
  kBrs,
  kEsi,
  kData,
  kErrorType,
  kLinDirection,
  kByteCount,
  kChecksum,
  kChecksumModel,
  kDataLength,  // fills no field: bounds a VLSD payload (payloadLimit)
};

/// The full channel name to its rule; names absent are reported and ignored.
using FillMap = std::unordered_map<std::string_view, FillRule>;

/// The fill table of the bus-logging layouts' 46 channel names.
FillMap buildFillTable();

/// What a group of the known kind lacks of the fields each of its events needs ("no channel
/// CAN_DataFrame.ID", and a time in seconds): a frame is made only of fields read from bytes.
/// Empty when it lacks none.
std::string lackingField(const mdf::IChannelGroup& group, cBusMsgType_t kind);

inline uint8_t asFlag(uint8_t value) { return value != 0 ? 1 : 0; }

template <typename T>
struct As {
  using Type = T;
};

/// What the time rule asks a value as: the event's ns since the file start (TimeScale), or
/// kNoTime.
struct TimeNs {};

// Applies a number rule to the record; `value(As<T>{})` gives the field's value after the
// channel's conversion as the type the rule takes, `value(As<TimeNs>{})` the time. Both
// decodings fill through here.
template <typename Value>
void applyNumberRule(FillRule rule, cBusMsgHelper_t& record, const Value& value) {
  switch (rule) {
    case FillRule::kNone:
    case FillRule::kData:
    case FillRule::kDataLength:
      break;
    case FillRule::kTime:
      record.Timestamp = value(As<TimeNs>{});
      break;
    case FillRule::kChannel:
      record.BusChannel = value(As<uint8_t>{});
      break;
    case FillRule::kIdentifier:
      record.ID |= value(As<uint32_t>{});
      break;
    case FillRule::kExtended: {
      const uint8_t v = value(As<uint8_t>{});
      record.Flags.Can.IDE = asFlag(v);
      if (v != 0) record.ID |= kCanExtendedKeyBit;
      break;
    }
    case FillRule::kDlc:
      record.Flags.Can.DLC = value(As<uint8_t>{});
      break;
    case FillRule::kCanDirection:
      record.Flags.Can.Dir = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kEdl:
      record.Flags.Can.EDL = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kBrs:
      record.Flags.Can.BRS = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kEsi:
      record.Flags.Can.ESI = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kErrorType: {
      const uint8_t v = value(As<uint8_t>{});
      record.Flags.Error.ErrorType = v <= kCanErrorMaxValue ? static_cast<cCanErrorMsgType_t>(v) : kCanErrorOther;
      break;
    }
    case FillRule::kLinDirection:
      record.Flags.Lin.Dir = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kByteCount:
      record.Flags.Lin.ReceivedDataByteCount = value(As<uint8_t>{});
      break;
    case FillRule::kChecksum:
      record.Flags.Lin.Checksum = value(As<uint8_t>{});
      break;
    case FillRule::kChecksumModel:
      record.Flags.Lin.ChecksumModel = value(As<uint8_t>{});
      break;
  }
}

// The most bytes a VLSD payload of an event can hold: no more than a frame carries (a CAN FD
// one's 64), and no more than the event's own data length field, when its group has one, says
// (`data_length`: its value as both decodings read it, through As<uint32_t>). A longer payload
// is a length that lies, whose bytes are the records after it: the frames they held are lost.
inline uint64_t payloadLimit(const uint32_t* data_length) {
  return data_length != nullptr ? std::min(kCanMaxDataBytes, *data_length) : kCanMaxDataBytes;
}

// Kind and the kind's flags; returns false for a record without a usable time (it is then
// taken as the file start).
inline bool finishFields(cBusMsgHelper_t& record, cBusMsgType_t kind) {
  const bool usable = record.Timestamp != kNoTime;
  if (!usable) record.Timestamp = 0;
  record.MsgType = kind;
  if (kind == kBusMsgCanRemoteFrame) record.Flags.Can.RTR = 1;
  return usable;
}

// The data length of a finished record: logged bytes are cut or padded with zeros to it.
inline uint32_t dataLengthOf(const cBusMsgHelper_t& record) {
  switch (record.MsgType) {
    case kBusMsgCanRemoteFrame:
    case kBusMsgCanDataFrame:
      return canDlcToLength(record.Flags.Can.DLC);
    case kBusMsgLinFrame:
    case kBusMsgLinChecksumError:
      return record.Flags.Lin.ReceivedDataByteCount;
    default:
      return 0;
  }
}

}  // namespace iterator_detail
