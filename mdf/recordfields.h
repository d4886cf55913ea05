#pragma once
// Values of chosen channels of one channel group read straight from its records, for a
// reader that takes whole records (ISampleObserver::OnRecord) instead of holding one channel
// observer per channel. Each value is the one the channel's observer would hold for the
// record, and Converted gives what IChannelObserver::ConvertedValue gives for it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "mdf/ichannelconversion.h"
#include "mdf/numberconversion.h"

namespace mdf {

class IChannel;

/// The raw value of a number field: `bits` for an unsigned data type, `number` for a float.
struct RawValue {
  uint64_t bits = 0;
  double number = 0.0;
};

class RecordFields {
 public:
  /// Adds a number field and returns its index. Only a value that lies at a fixed place of
  /// every record is taken: unsigned (1 to 64 bits) or IEEE float (16, 32 or 64 bits) of
  /// either byte order; a fixed-length, master, sync or maximum-length channel without array
  /// and without invalidation bit, whose bits lie inside its group's records. Anything else
  /// gives nothing and adds nothing. A linear conversion's parameters are taken here.
  std::optional<size_t> AddNumber(const IChannel& channel);
  /// Adds a byte-array field (data types 10 to 12) of a fixed-length channel, whole bytes at
  /// its byte offset inside the group's records; the same limits, else nothing.
  std::optional<size_t> AddBytes(const IChannel& channel);

  [[nodiscard]] size_t Size() const { return fields_.size(); }
  /// Bytes a record must hold for every field added.
  [[nodiscard]] uint64_t MinSize() const { return min_size_; }
  /// Decodes the number fields of a record of `size` >= MinSize() bytes into `values` (one
  /// per field; the entries of byte fields are left alone).
  void Read(const uint8_t* record, size_t size, RawValue* values) const;
  /// Offset and length of a byte field's value inside the record.
  [[nodiscard]] std::pair<uint32_t, uint32_t> BytesOf(size_t field) const {
    return {fields_[field].first_byte, fields_[field].nof_bytes};
  }

  /// The number field's value after the channel's conversion, as T.
  template <typename T>
  [[nodiscard]] T Converted(size_t field, const RawValue& value) const;

 private:
  enum class Kind : uint8_t { kUnsigned, kFloat, kBytes };
  struct Field {
    Kind kind = Kind::kUnsigned;
    bool little_endian = true;
    bool narrow_float = false;  // held as a float by its observer
    uint32_t nof_bits = 0;
    uint64_t first_bit = 0;
    uint32_t first_byte = 0;  // byte fields
    uint32_t nof_bytes = 0;   // byte fields
    // An unsigned little-endian value inside one eight-byte load of the record: its bits
    // from the load at `load_at`, shifted and masked.
    bool one_load = false;
    uint8_t shift = 0;
    uint32_t load_at = 0;
    uint64_t mask = 0;
    const IChannelConversion* conversion = nullptr;
    // A linear conversion of the library's own blocks, its two parameters taken once: the
    // logger's time stamps, where the virtual look-ups cost more than the formula.
    bool linear = false;
    double offset = 0.0;
    double factor = 0.0;
  };
  template <typename T>
  static T ThroughConversion(const Field& entry, const RawValue& value);
  /// The group's record size for a channel at a fixed place, or nothing.
  static std::optional<uint64_t> FixedRecordSize(const IChannel& channel);

  std::vector<Field> fields_;
  uint64_t min_size_ = 0;
  uint64_t load_size_ = 0;  // a record of this size at least lets every one-load field take its load
};

// Inline for the fields without conversion, the logger's many bit fields (bench_pipeline).
template <typename T>
[[gnu::always_inline]] inline T RecordFields::Converted(size_t field, const RawValue& value) const {
  const Field& entry = fields_[field];
  if (entry.conversion == nullptr) {
    return entry.kind == Kind::kFloat ? detail::ConvertNumber<T>(value.number) : detail::ConvertNumber<T>(value.bits);
  }
  if (entry.linear) {
    // The formula of IChannelConversion::ConvertLinear, term for term.
    const double x = entry.kind == Kind::kFloat ? value.number : static_cast<double>(value.bits);
    return detail::ConvertNumber<T>(entry.offset + entry.factor * x);
  }
  return ThroughConversion<T>(entry, value);
}

template <typename T>
[[gnu::noinline]] T RecordFields::ThroughConversion(const Field& entry, const RawValue& value) {
  T converted{};
  if (entry.kind == Kind::kFloat) {
    entry.conversion->Convert(value.number, converted);
  } else {
    entry.conversion->Convert(value.bits, converted);
  }
  return converted;
}

}  // namespace mdf
