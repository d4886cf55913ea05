#pragma once
// The event iterator's fill rules: which field of a bus event record each known channel name
// fills and how (the fill table), the range of each field, and the finishing of a filled record
// (a time there is, kind, the kind's data length). Both decodings fill through here, so they give
// the same records. iterator_rules.cpp also tells a channel group's kind by its names
// (cMdfReader_t::getGroupType) and what of its channels makes no frame. Relies on the bus event
// record and the event times.
#include <algorithm>
#include <array>
#include <cmath>
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
  kCanIdentifier,  // bit 31 set: an extended frame, as with its IDE
  kLinIdentifier,
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
  kDataLength,  // fills no field: bounds a VLSD payload (payloadLimit), and may stand for kByteCount
};
constexpr size_t kRuleCount = static_cast<size_t>(FillRule::kDataLength) + 1;

/// The full channel name to its rule; names absent are reported and ignored.
using FillMap = std::unordered_map<std::string_view, FillRule>;

/// The fill table of the bus-logging layouts' 46 channel names.
FillMap buildFillTable();

/// What a group of the known kind lacks of the fields each of its events needs ("no channel
/// CAN_DataFrame.ID", and a time in seconds), or which of its field channels gives no value of
/// its field's kind (an integer through a 1:1 conversion, bytes for the data, a number of
/// seconds for the time): a frame is made only of fields read from bytes. Empty when none.
std::string lackingField(const mdf::IChannelGroup& group, cBusMsgType_t kind);

/// Where the data length of a LIN event comes from: its received byte count where its group
/// has that channel, else its logged data length, else the bytes its data channel holds.
enum class LinLength : uint8_t { kByteCount, kDataLength, kDataBytes };
/// kByteCount for the groups of other kinds, whose lengths their fields give.
LinLength linLengthOf(const mdf::IChannelGroup& group, cBusMsgType_t kind);
/// The rule a channel of the table's rule follows in a group whose LIN length is `length`.
constexpr FillRule groupRule(FillRule rule, LinLength length) {
  return rule == FillRule::kDataLength && length == LinLength::kDataLength ? FillRule::kByteCount : rule;
}

/// Per rule, the first sample whose value lies outside its field's range; kNoSample: none.
constexpr uint64_t kNoSample = ~uint64_t{0};
using RuleSamples = std::array<uint64_t, kRuleCount>;
inline RuleSamples noRuleSamples() {
  RuleSamples samples;
  samples.fill(kNoSample);
  return samples;
}
/// The first channel of the group, in its order, whose rule met a value outside the field's
/// range among its first `count` samples, as lackingField tells it ("a channel CAN_DataFrame.DLC
/// with a value out of its range"); empty when none did.
std::string outOfRange(const mdf::IChannelGroup& group, cBusMsgType_t kind, const RuleSamples& first, uint64_t count);

inline uint8_t asFlag(uint64_t value) { return value != 0 ? 1 : 0; }

template <typename T>
struct As {
  using Type = T;
};

/// What the time rule asks a value as: the event's ns since the file start (TimeScale), or
/// kNoTime.
struct TimeNs {};

// The bits a value of the rule's field may have: a DLC 4, a LIN identifier 6, a logged CAN
// identifier its 29 and the IDE bit 31, a bus channel, count or checksum a byte. Every value
// means something to the flags, the error type and the time.
constexpr uint64_t fieldBits(FillRule rule) {
  switch (rule) {
    case FillRule::kChannel:
    case FillRule::kByteCount:
    case FillRule::kChecksum:
    case FillRule::kChecksumModel:
      return 0xFF;
    case FillRule::kCanIdentifier:
      return kCanExtendedIdMask | kCanExtendedKeyBit;
    case FillRule::kLinIdentifier:
      return kLinIdMask;
    case FillRule::kDlc:
      return kCanMaxDlc;
    default:
      return ~uint64_t{0};
  }
}
// Whether the value lies within the rule's field.
constexpr bool inField(FillRule rule, uint64_t value) { return (value & ~fieldBits(rule)) == 0; }
// Whether a channel's value may lie outside the rule's field: one of another type than an
// unsigned integer, through a conversion, or of more bits than the field holds.
constexpr bool mayLeaveField(FillRule rule, bool unsigned_plain, uint32_t bits) {
  if (fieldBits(rule) == ~uint64_t{0}) return false;
  return !unsigned_plain || bits >= 64 || !inField(rule, (uint64_t{1} << bits) - 1);
}

// Applies a number rule to the record; `value(As<T>{})` gives the field's value after the
// channel's conversion as the type the rule takes, `value(As<TimeNs>{})` the time. Every field is read whole, so that a
// value outside its field (inField: a DLC above 15, an identifier of more bits than its bus has, a count beyond its
// byte) is told, not cut to a value no byte said: false then. Both decodings fill through here. Inlined into the fast
// decoding's per-kind rules, where a call per field showed (bench_pipeline).
template <typename Value>
[[gnu::always_inline]] inline bool applyNumberRule(FillRule rule, cBusMsgHelper_t& record, const Value& value) {
  switch (rule) {
    case FillRule::kNone:
    case FillRule::kData:
    case FillRule::kDataLength:
      return true;
    case FillRule::kTime:
      record.Timestamp = value(As<TimeNs>{});
      return true;
    case FillRule::kChannel: {
      const uint64_t v = value(As<uint64_t>{});
      record.BusChannel = static_cast<uint8_t>(v);
      return inField(rule, v);
    }
    case FillRule::kCanIdentifier: {
      // Bit 31 of a logged identifier is its IDE, with or without a channel of its own.
      const uint64_t v = value(As<uint64_t>{});
      record.ID |= static_cast<uint32_t>(v);
      record.Flags.Can.IDE |= static_cast<uint8_t>(v >> 31);  // beyond bit 31 no frame is made
      return inField(rule, v);
    }
    case FillRule::kLinIdentifier: {
      const uint64_t v = value(As<uint64_t>{});
      record.ID |= static_cast<uint32_t>(v);
      return inField(rule, v);
    }
    case FillRule::kExtended:
      if (value(As<uint64_t>{}) != 0) {
        record.Flags.Can.IDE = 1;
        record.ID |= kCanExtendedKeyBit;
      }
      return true;
    case FillRule::kDlc: {
      const uint64_t v = value(As<uint64_t>{});
      record.Flags.Can.DLC = static_cast<uint8_t>(v);
      return inField(rule, v);
    }
    case FillRule::kCanDirection:
      record.Flags.Can.Dir = asFlag(value(As<uint64_t>{}));
      return true;
    case FillRule::kEdl:
      record.Flags.Can.EDL = asFlag(value(As<uint64_t>{}));
      return true;
    case FillRule::kBrs:
      record.Flags.Can.BRS = asFlag(value(As<uint64_t>{}));
      return true;
    case FillRule::kEsi:
      record.Flags.Can.ESI = asFlag(value(As<uint64_t>{}));
      return true;
    case FillRule::kErrorType: {
      const uint64_t v = value(As<uint64_t>{});
      record.Flags.Error.ErrorType =
          v <= static_cast<uint64_t>(kCanErrorMaxValue) ? static_cast<cCanErrorMsgType_t>(v) : kCanErrorOther;
      return true;
    }
    case FillRule::kLinDirection:
      record.Flags.Lin.Dir = asFlag(value(As<uint64_t>{}));
      return true;
    case FillRule::kByteCount: {
      const uint64_t v = value(As<uint64_t>{});
      record.Flags.Lin.ReceivedDataByteCount = static_cast<uint8_t>(v);
      return inField(rule, v);
    }
    case FillRule::kChecksum: {
      const uint64_t v = value(As<uint64_t>{});
      record.Flags.Lin.Checksum = static_cast<uint8_t>(v);
      return inField(rule, v);
    }
    case FillRule::kChecksumModel: {
      const uint64_t v = value(As<uint64_t>{});
      record.Flags.Lin.ChecksumModel = static_cast<uint8_t>(v);
      return inField(rule, v);
    }
  }
  return true;
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

// The data length of a finished record: logged bytes are cut to it (a frame whose bytes are
// fewer is damage, see carriesData). A remote frame asks for its length and carries none.
inline uint32_t dataLengthOf(const cBusMsgHelper_t& record) {
  switch (record.MsgType) {
    case kBusMsgCanRemoteFrame:
      return canFrameLength(record.Flags.Can.DLC, 0);
    case kBusMsgCanDataFrame:
      return canFrameLength(record.Flags.Can.DLC, record.Flags.Can.EDL);
    case kBusMsgLinFrame:
    case kBusMsgLinChecksumError:
      return record.Flags.Lin.ReceivedDataByteCount;
    default:
      return 0;
  }
}

// The kinds whose frames carry the bytes of their data length.
constexpr bool carriesData(int32_t kind) {
  return kind == kBusMsgCanDataFrame || kind == kBusMsgLinFrame || kind == kBusMsgLinChecksumError;
}

}  // namespace iterator_detail
