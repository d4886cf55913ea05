#pragma once
// Where a channel's bits lie in the records of its group: the one rule that the channel
// blocks report as damage when they read a channel, and that the decoders obey, so that no
// value is ever decoded from bytes outside the channel's part of the record.
#include <cstdint>
#include <optional>

namespace mdf {
class IChannel;
class IChannelGroup;
}  // namespace mdf

namespace mdf::detail {

enum class ChannelBits : uint8_t {
  kInRecord,         ///< every bit lies in the record's data bytes, or the channel has none there
  kOutsideRecord,    ///< bit offset + bit count run beyond the record's data bytes
  kImpossibleCount,  ///< inside, but of a bit count that no value of the data type has
  kUnknownType,      ///< a channel, sync or data type the format does not have
};

/// Whether a value of the channel is decoded at all: its bits lie in its record and its types
/// say what they hold. One of an impossible count decodes as its data type reads it.
constexpr bool GivesValue(ChannelBits verdict) {
  return verdict == ChannelBits::kInRecord || verdict == ChannelBits::kImpossibleCount;
}

/// Bytes of the data part of the group's records (the invalidation bytes follow them); none
/// when the group is no block of the library.
std::optional<uint64_t> GroupDataBytes(const IChannelGroup& group);

/// The channel's types against those the format has (a channel of another type has no known
/// place or meaning in the record), then its bits against the data bytes of its group's
/// records (not known without a group, or in a VLSD group, whose records are values), then
/// against its data type.
/// Virtual channels and channels of no bits have none in the record; a VLSD channel's field
/// is its offset, an unsigned of up to 64 bits. Decoders take no value from a channel
/// outside its record; one of an impossible count decodes as its data type reads it.
ChannelBits CheckChannelBits(const IChannel& channel);

/// CheckChannelBits, reporting its damage for the channel block at `position`.
void ReportChannelBits(const IChannel& channel, int64_t position);

}  // namespace mdf::detail
