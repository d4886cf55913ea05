#include "channelbits.h"

#include <string>

#include "damage.h"
#include "grouprecordsize.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdfblock.h"

namespace mdf::detail {

namespace {

// The bit counts above 0 a value of the data type can have; an unknown data type is damage
// of its own.
bool CountFitsType(uint8_t data_type, uint64_t bits) {
  switch (data_type) {
    case kUnsignedLe:
    case kUnsignedBe:
    case kSignedLe:
    case kSignedBe:
      return bits <= 64;
    case kFloatLe:
    case kFloatBe:
      return bits == 16 || bits == 32 || bits == 64;
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText:
    case kByteArray:
    case kMimeSample:
    case kMimeStream:
      return bits % 8 == 0;
    case kCanOpenDate:
      return bits == 56;
    case kCanOpenTime:
      return bits == 48;
    case kComplexLe:
    case kComplexBe:
      return bits == 32 || bits == 64 || bits == 128;  // two floats
    default:
      return true;
  }
}

}  // namespace

std::optional<uint64_t> GroupDataBytes(const IChannelGroup& group) {
  // Only the channel group blocks know the count.
  if (const auto* sizes = dynamic_cast<const GroupRecordSize*>(&group); sizes != nullptr) {
    return sizes->RecordDataBytes();
  }
  return std::nullopt;
}

ChannelBits CheckChannelBits(const IChannel& channel) {
  const uint8_t type = channel.ChannelType();
  if (type > kVirtualDataChannel || channel.SyncType() > kIndexSync || channel.DataType() > kComplexBe) {
    return ChannelBits::kUnknownType;
  }
  const uint64_t bits = channel.BitCount();
  if (type == kVirtualMasterChannel || type == kVirtualDataChannel || bits == 0) {
    return ChannelBits::kInRecord;  // no bits in any record: a virtual value, or none
  }
  const IChannelGroup* group = channel.ChannelGroup();
  const std::optional<uint64_t> data_bytes =
      group != nullptr && (group->Flags() & kChannelGroupVlsdFlag) == 0 ? GroupDataBytes(*group) : std::nullopt;
  // 64 bits hold the end: a 32-bit byte offset, a 16-bit bit offset and a 32-bit count.
  const uint64_t end = uint64_t{channel.ByteOffset()} * 8 + channel.BitOffset() + bits;
  if (data_bytes.has_value() && (end + 7) / 8 > *data_bytes) return ChannelBits::kOutsideRecord;
  if (type == kVlsdChannel ? bits > 64 : !CountFitsType(channel.DataType(), bits)) {
    return ChannelBits::kImpossibleCount;
  }
  return ChannelBits::kInRecord;
}

void ReportChannelBits(const IChannel& channel, int64_t position) {
  const ChannelBits verdict = CheckChannelBits(channel);
  if (verdict == ChannelBits::kInRecord) return;
  // Numbers as std::to_string writes them: log texts do not follow the locale.
  const std::string where = "Channel: " + channel.Name();
  const std::string bit_count = ", Bit count: " + std::to_string(channel.BitCount());
  const std::string block = ", Block: " + AddressToText(position);
  if (verdict == ChannelBits::kUnknownType) {
    // The first type the format does not have is named.
    if (channel.ChannelType() > kVirtualDataChannel) {
      MDF_DAMAGE(Damage::kUnreadableBlock)
          << "Unknown channel type. " << where << ", Channel type: " << std::to_string(channel.ChannelType()) << block;
    } else if (channel.SyncType() > kIndexSync) {
      MDF_DAMAGE(Damage::kUnreadableBlock)
          << "Unknown sync type. " << where << ", Sync type: " << std::to_string(channel.SyncType()) << block;
    } else {
      MDF_DAMAGE(Damage::kUnreadableBlock)
          << "Unknown data type. " << where << ", Data type: " << std::to_string(channel.DataType()) << block;
    }
    return;
  }
  if (verdict == ChannelBits::kImpossibleCount) {
    MDF_DAMAGE(Damage::kUnreadableBlock) << "Bit count impossible for the data type. " << where
                                         << ", Data type: " << std::to_string(channel.DataType()) << bit_count << block;
    return;
  }
  const std::optional<uint64_t> data_bytes = GroupDataBytes(*channel.ChannelGroup());  // known when outside
  MDF_DAMAGE(Damage::kUnreadableBlock) << "Channel bits outside the record. " << where
                                       << ", Byte offset: " << std::to_string(channel.ByteOffset())
                                       << ", Bit offset: " << std::to_string(channel.BitOffset()) << bit_count
                                       << ", Record bytes: " << std::to_string(data_bytes.value_or(0)) << block;
}

}  // namespace mdf::detail
