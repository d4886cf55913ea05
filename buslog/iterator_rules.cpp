// The fill table, the kinds of channel groups, told by their channel names, and what of a
// group's channels makes no frame.
#include "buslog/iterator_rules.h"

#include <array>
#include <set>
#include <string>

#include "buslog/mdf_reader.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"

using namespace iterator_detail;

namespace {

struct FillEntry {
  const char* name;
  FillRule rule;
};

// The channel names of the bus-logging layouts and what each fills.
constexpr FillEntry kFillTable[] = {
    {"Timestamp", FillRule::kTime},
    {"CAN_DataFrame", FillRule::kNone},
    {"CAN_DataFrame.DataLength", FillRule::kDataLength},
    {"CAN_DataFrame.BusChannel", FillRule::kChannel},
    {"CAN_DataFrame.ID", FillRule::kCanIdentifier},
    {"CAN_DataFrame.IDE", FillRule::kExtended},
    {"CAN_DataFrame.DLC", FillRule::kDlc},
    {"CAN_DataFrame.Dir", FillRule::kCanDirection},
    {"CAN_DataFrame.DataBytes", FillRule::kData},
    {"CAN_DataFrame.EDL", FillRule::kEdl},
    {"CAN_DataFrame.BRS", FillRule::kBrs},
    {"CAN_DataFrame.ESI", FillRule::kEsi},
    {"CAN_ErrorFrame", FillRule::kNone},
    {"CAN_ErrorFrame.BusChannel", FillRule::kChannel},
    {"CAN_ErrorFrame.ErrorType", FillRule::kErrorType},
    {"CAN_RemoteFrame", FillRule::kNone},
    {"CAN_RemoteFrame.DataLength", FillRule::kDataLength},
    {"CAN_RemoteFrame.BusChannel", FillRule::kChannel},
    {"CAN_RemoteFrame.ID", FillRule::kCanIdentifier},
    {"CAN_RemoteFrame.IDE", FillRule::kExtended},
    {"CAN_RemoteFrame.DLC", FillRule::kDlc},
    {"CAN_RemoteFrame.Dir", FillRule::kCanDirection},
    {"LIN_ChecksumError", FillRule::kNone},
    {"LIN_ChecksumError.DataLength", FillRule::kDataLength},
    {"LIN_ChecksumError.BusChannel", FillRule::kChannel},
    {"LIN_ChecksumError.ID", FillRule::kLinIdentifier},
    {"LIN_ChecksumError.Dir", FillRule::kLinDirection},
    {"LIN_ChecksumError.ReceivedDataByteCount", FillRule::kByteCount},
    {"LIN_ChecksumError.Checksum", FillRule::kChecksum},
    {"LIN_ChecksumError.ChecksumModel", FillRule::kChecksumModel},
    {"LIN_ChecksumError.DataBytes", FillRule::kData},
    {"LIN_Frame", FillRule::kNone},
    {"LIN_Frame.DataLength", FillRule::kDataLength},
    {"LIN_Frame.BusChannel", FillRule::kChannel},
    {"LIN_Frame.ID", FillRule::kLinIdentifier},
    {"LIN_Frame.Dir", FillRule::kLinDirection},
    {"LIN_Frame.ReceivedDataByteCount", FillRule::kByteCount},
    {"LIN_Frame.DataBytes", FillRule::kData},
    {"LIN_ReceiveError", FillRule::kNone},
    {"LIN_ReceiveError.BusChannel", FillRule::kChannel},
    {"LIN_ReceiveError.ID", FillRule::kLinIdentifier},
    {"LIN_SyncError", FillRule::kNone},
    {"LIN_SyncError.BusChannel", FillRule::kChannel},
    {"LIN_TransmissionError", FillRule::kNone},
    {"LIN_TransmissionError.BusChannel", FillRule::kChannel},
    {"LIN_TransmissionError.ID", FillRule::kLinIdentifier},
};
static_assert(sizeof(kFillTable) / sizeof(kFillTable[0]) == 46, "46 known channel names");

struct GroupName {
  const char* name;
  cBusMsgType_t kind;
  // The members (after "name.") whose fields each event of the kind carries, besides its
  // time: without one of them every event would hold a 0 that no byte said. The others
  // have the meaning of 0 as their default, and a logger may leave them out: the bus
  // channel of its only bus, the direction, the FD flags, IDE beside an ID that carries it,
  // the error type, a LIN frame's byte count beside its data length, the checksum.
  std::array<const char*, 3> needs;
};
constexpr GroupName kGroupNames[] = {
    {"CAN_DataFrame", kBusMsgCanDataFrame, {"ID", "DLC", "DataBytes"}},
    {"CAN_RemoteFrame", kBusMsgCanRemoteFrame, {"ID", "DLC"}},
    {"CAN_ErrorFrame", kBusMsgCanErrorFrame, {}},
    {"LIN_Frame", kBusMsgLinFrame, {"ID", "DataBytes"}},
    {"LIN_ChecksumError", kBusMsgLinChecksumError, {"ID", "DataBytes"}},
    {"LIN_ReceiveError", kBusMsgLinReceiveError, {"ID"}},
    {"LIN_TransmissionError", kBusMsgLinTransmissionError, {"ID"}},
    {"LIN_SyncError", kBusMsgLinSyncError, {}},
};

constexpr const char* kTimeName = "Timestamp";

// The rule of a channel name; kNone for a name the layouts do not have.
FillRule ruleOf(const std::string& name) {
  for (const FillEntry& entry : kFillTable) {
    if (name == entry.name) return entry.rule;
  }
  return FillRule::kNone;
}

// A conversion that gives the raw value unchanged: none, 1:1, or linear with offset 0 and
// factor 1.
bool isOneToOne(const mdf::IChannelConversion* conversion) {
  if (conversion == nullptr) return true;
  switch (conversion->Type()) {
    case mdf::kOneToOneConversion:
      return true;
    case mdf::kLinearConversion:
      return conversion->Parameters().size() >= 2 && conversion->ParameterAsDouble(0) == 0.0 &&
             conversion->ParameterAsDouble(1) == 1.0;
    default:
      return false;
  }
}

// A conversion whose result is a number: a time's tick.
bool givesNumber(const mdf::IChannelConversion& conversion) {
  switch (conversion.Type()) {
    case mdf::kOneToOneConversion:
    case mdf::kLinearConversion:
    case mdf::kRationalConversion:
    case mdf::kInterpolatedTableConversion:
    case mdf::kValueTableConversion:
    case mdf::kRangeTableConversion:
      return true;
    default:
      return false;
  }
}

// What makes a field channel give no value of its field's kind, or "".
std::string unfitField(const mdf::IChannel& channel, FillRule rule) {
  const std::string name = "a channel " + channel.Name();
  const uint8_t data_type = channel.DataType();
  const mdf::IChannelConversion* conversion = channel.ChannelConversion();
  if (rule == FillRule::kTime) {
    // A time in seconds: a number, or counts a numeric conversion scales.
    if (data_type > mdf::kFloatBe) return name + " of data type " + std::to_string(data_type) + ", not a number";
    if (conversion != nullptr && !givesNumber(*conversion)) {
      return name + " with a conversion of type " + std::to_string(conversion->Type()) + ", not to seconds";
    }
    return {};
  }
  if (rule == FillRule::kData) {
    if (data_type < mdf::kByteArray || data_type > mdf::kMimeStream) {
      return name + " of data type " + std::to_string(data_type) + ", not bytes";
    }
  } else if (data_type > mdf::kSignedBe) {
    return name + " of data type " + std::to_string(data_type) + ", not an integer";
  }
  if (!isOneToOne(conversion)) {
    return name + " with a conversion of type " + std::to_string(conversion->Type()) + ", not 1:1";
  }
  return {};
}

}  // namespace

FillMap iterator_detail::buildFillTable() {
  FillMap table;
  for (const FillEntry& entry : kFillTable) table.emplace(entry.name, entry.rule);
  return table;
}

cBusMsgType_t cMdfReader_t::getGroupType(const mdf::IChannelGroup* group) {
  if (group == nullptr) return kBusMsgUnknown;
  std::set<std::string> prefixes;
  for (const mdf::IChannel* channel : group->Channels()) {
    if (channel == nullptr || channel->ChannelType() == mdf::kMasterChannel) continue;
    const std::string name = channel->Name();
    const size_t point = name.find('.');
    if (point != std::string::npos) prefixes.insert(name.substr(0, point));
  }
  if (prefixes.size() != 1) return kBusMsgUnknown;
  for (const GroupName& known : kGroupNames) {
    if (*prefixes.begin() == known.name) return known.kind;
  }
  return kBusMsgUnknown;
}

std::string iterator_detail::lackingField(const mdf::IChannelGroup& group, cBusMsgType_t kind) {
  std::set<std::string> names;
  const mdf::IChannel* time = nullptr;
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr) continue;
    // Its field is one of the kind's, or another group's: which, nothing tells.
    if (channel->Name().empty()) return "a channel without a name";
    names.insert(channel->Name());
    if (channel->Name() == kTimeName) time = channel;
  }
  if (time == nullptr) return std::string("no channel ") + kTimeName;
  // The logger counts its time in integer units scaled to seconds by a conversion: without
  // one they would be read as seconds.
  if (time->DataType() < mdf::kFloatLe && time->ChannelConversion() == nullptr) {
    return std::string("no conversion of its channel ") + kTimeName;
  }
  for (const GroupName& known : kGroupNames) {
    if (known.kind != kind) continue;
    for (const char* member : known.needs) {
      if (member == nullptr) break;
      const std::string name = std::string(known.name) + "." + member;
      if (names.count(name) == 0) return "no channel " + name;
    }
  }
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr) continue;
    const FillRule rule = ruleOf(channel->Name());
    if (rule == FillRule::kNone) continue;
    if (std::string unfit = unfitField(*channel, rule); !unfit.empty()) return unfit;
  }
  return {};
}

LinLength iterator_detail::linLengthOf(const mdf::IChannelGroup& group, cBusMsgType_t kind) {
  if (kind != kBusMsgLinFrame && kind != kBusMsgLinChecksumError) return LinLength::kByteCount;
  bool data_length = false;
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr) continue;
    const FillRule rule = ruleOf(channel->Name());
    if (rule == FillRule::kByteCount) return LinLength::kByteCount;
    if (rule == FillRule::kDataLength) data_length = true;
  }
  return data_length ? LinLength::kDataLength : LinLength::kDataBytes;
}

std::string iterator_detail::outOfRange(const mdf::IChannelGroup& group, cBusMsgType_t kind, const RuleSamples& first,
                                        uint64_t count) {
  const LinLength length = linLengthOf(group, kind);
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr) continue;
    const FillRule rule = groupRule(ruleOf(channel->Name()), length);
    if (first[static_cast<size_t>(rule)] < count) {
      return "a channel " + channel->Name() + " with a value out of its range";
    }
  }
  return {};
}
