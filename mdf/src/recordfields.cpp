#include "mdf/recordfields.h"

#include <algorithm>

#include "bitdecoder.h"
#include "byteorder.h"
#include "cc3block.h"
#include "cc4block.h"
#include "cg4block.h"
#include "channelbits.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"

namespace mdf {

std::optional<uint64_t> RecordFields::FixedRecordSize(const IChannel& channel) {
  const uint8_t type = channel.ChannelType();
  // The places where a channel observer decodes a value from its own record.
  const bool fixed_place =
      type == kFixedLengthChannel || type == kMasterChannel || type == kSyncChannel || type == kMaxLengthChannel;
  if (!fixed_place || channel.ChannelArray() != nullptr || (channel.Flags() & kChannelInvalidationBitFlag) != 0) {
    return std::nullopt;
  }
  const auto* group = dynamic_cast<const detail::Cg4Block*>(channel.ChannelGroup());
  if (group == nullptr || group->IsVlsd()) return std::nullopt;
  // A channel whose bits lie outside its record, or of a type the format does not have, has
  // no value: its observer says so.
  if (!detail::GivesValue(detail::CheckChannelBits(channel))) return std::nullopt;
  return group->RecordSize();
}

std::optional<size_t> RecordFields::AddNumber(const IChannel& channel) {
  const std::optional<uint64_t> record_size = FixedRecordSize(channel);
  if (!record_size.has_value()) return std::nullopt;
  Field field;
  const uint8_t data_type = channel.DataType();
  field.nof_bits = channel.BitCount();
  if (data_type == kUnsignedLe || data_type == kUnsignedBe) {
    if (field.nof_bits == 0 || field.nof_bits > 64) return std::nullopt;
    field.kind = Kind::kUnsigned;
    field.little_endian = data_type == kUnsignedLe;
  } else if (data_type == kFloatLe || data_type == kFloatBe) {
    if (field.nof_bits != 16 && field.nof_bits != 32 && field.nof_bits != 64) return std::nullopt;
    field.kind = Kind::kFloat;
    field.little_endian = data_type == kFloatLe;
    field.narrow_float = channel.DataBytes() <= 4;  // the observer's value type
  } else {
    return std::nullopt;
  }
  field.first_bit = uint64_t{channel.ByteOffset()} * 8 + channel.BitOffset();
  // The whole value inside every record: then the observer's decoding never fails.
  const uint64_t end_bit = field.first_bit + field.nof_bits;
  if (end_bit > *record_size * 8) return std::nullopt;
  field.conversion = channel.ChannelConversion();
  // A conversion of a type no conversion has gives no value: the observer's decoding says so.
  if (field.conversion != nullptr && !IsKnownConversionType(field.conversion->Type())) return std::nullopt;
  // Only the library's blocks: another implementation may give ConvertLinear its own formula.
  const bool own_block = dynamic_cast<const detail::Cc4Block*>(field.conversion) != nullptr ||
                         dynamic_cast<const detail::Cc3Block*>(field.conversion) != nullptr;
  if (own_block && field.conversion->Type() == kLinearConversion && field.conversion->Parameters().size() >= 2) {
    field.linear = true;
    field.offset = field.conversion->ParameterAsDouble(0);
    field.factor = field.conversion->ParameterAsDouble(1);
  }
  if (field.kind == Kind::kUnsigned && field.little_endian && *record_size >= 8) {
    // The load ends inside the record; any load holding the value's bits gives the value.
    field.load_at = static_cast<uint32_t>(std::min<uint64_t>(field.first_bit / 8, *record_size - 8));
    const uint64_t shift = field.first_bit - 8 * uint64_t{field.load_at};
    if (shift + field.nof_bits <= 64) {
      field.one_load = true;
      field.shift = static_cast<uint8_t>(shift);
      field.mask = detail::LowMask(field.nof_bits);
      load_size_ = std::max<uint64_t>(load_size_, uint64_t{field.load_at} + 8);
    }
  }
  fields_.push_back(field);
  min_size_ = std::max(min_size_, (end_bit + 7) / 8);
  return fields_.size() - 1;
}

std::optional<size_t> RecordFields::AddBytes(const IChannel& channel) {
  const std::optional<uint64_t> record_size = FixedRecordSize(channel);
  const uint8_t data_type = channel.DataType();
  if (!record_size.has_value() || channel.ChannelType() != kFixedLengthChannel || data_type < kByteArray ||
      data_type > kMimeStream || channel.BitCount() == 0 || channel.BitCount() % 8 != 0 || channel.BitOffset() != 0) {
    return std::nullopt;
  }
  Field field;
  field.kind = Kind::kBytes;
  field.first_byte = channel.ByteOffset();
  field.nof_bytes = channel.BitCount() / 8;
  const uint64_t end = uint64_t{field.first_byte} + field.nof_bytes;
  if (end > *record_size) return std::nullopt;
  fields_.push_back(field);
  min_size_ = std::max(min_size_, end);
  return fields_.size() - 1;
}

void RecordFields::Read(const uint8_t* record, size_t size, RawValue* values) const {
  const bool loads_fit = size >= load_size_;
  for (size_t i = 0; i < fields_.size(); ++i) {
    const Field& field = fields_[i];
    if (field.one_load && loads_fit) {
      // The values of a logger's bit-packed frame fields: one load each (bench_pipeline).
      values[i].bits = (detail::LoadLe64(record + field.load_at) >> field.shift) & field.mask;
      continue;
    }
    switch (field.kind) {
      case Kind::kUnsigned:
        // The observer's value type holds every bit of the value: no narrowing here.
        values[i].bits = detail::DecodeUnsignedIn(field.little_endian, field.first_bit, field.nof_bits, record, size);
        break;
      case Kind::kFloat: {
        const double number = detail::DecodeFloatIn(field.little_endian, field.first_bit, field.nof_bits, record, size);
        values[i].number = field.narrow_float ? static_cast<double>(detail::SaturatingCast<float>(number))
                                              : detail::SaturatingCast<double>(number);
        break;
      }
      case Kind::kBytes:
        break;
    }
  }
}

}  // namespace mdf
