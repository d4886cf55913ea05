#pragma once
// Public interface of a channel (MDF4 CN block, MDF3 CN block): its description and the
// decoding and encoding of its values inside a record of its channel group. Values are read
// at any bit position and bit count in either byte order, and written whole-byte.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "mdf/channeltypes.h"
#include "mdf/iblock.h"

namespace mdf {

class IAttachment;
class IChannelArray;
class IChannelConversion;
class IChannelGroup;
class ISourceInformation;

// Bit decoders over a record. The element spans the bits P .. P + n - 1; the caller makes
// sure the bytes P / 8 .. (P + n - 1) / 8 exist. Little endian takes bit P as the least
// significant bit; big endian starts in byte P / 8 at bit (P + n - 1) mod 8 and runs into
// the following bytes, the first bit taken being the most significant one.
/// The n bits as unsigned; above 64 bits only the last 64 taken remain. n = 0 gives 0.
uint64_t ExtractUnsignedBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data);
/// Sign-extended from bit n - 1 for n of 1 to 64; any other n gives 0.
int64_t ExtractSignedBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data);
/// IEEE binary16 of the first min(n, 16) bits taken, widened exactly.
float ExtractHalfFloatBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data);
/// The n bits as the low bits of a binary32 / binary64 pattern.
float ExtractFloatBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data);
double ExtractDoubleBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data);

namespace detail {

/// An element's value as its channel's data type stores it: a number of one of four kinds,
/// or the kind of a value that only the channel's own getter reads (a text or a byte array).
struct RawValue {
  enum class Kind : uint8_t { kNone, kUnsigned, kSigned, kFloat, kCanOpen, kText, kBytes };
  Kind kind = Kind::kNone;  // kNone: a data type without a value (15 and above)
  bool read = false;        // the raw getter produced the number
  uint64_t bits = 0;        // kUnsigned; kCanOpen as nanoseconds since 1970
  int64_t integer = 0;      // kSigned
  double number = 0.0;      // kFloat
};

}  // namespace detail

class IChannel : public IBlock {
 public:
  ~IChannel() override = default;

  [[nodiscard]] virtual std::string Name() const = 0;
  virtual void Name(const std::string& name) = 0;
  [[nodiscard]] virtual std::string DisplayName() const = 0;
  virtual void DisplayName(const std::string& name) = 0;
  [[nodiscard]] virtual std::string Description() const = 0;
  virtual void Description(const std::string& description) = 0;
  [[nodiscard]] virtual std::string Unit() const = 0;
  virtual void Unit(const std::string& unit) = 0;
  /// Flag word: 2 invalidation bit valid, 4 precision valid, 0x400 bus event.
  [[nodiscard]] virtual uint32_t Flags() const = 0;
  virtual void Flags(uint32_t flags) = 0;
  [[nodiscard]] virtual bool IsUnitValid() const = 0;
  /// 0 fixed length, 1 variable length (VLSD), 2 master, 3 virtual master,
  /// 4 synchronization, 5 maximum length, 6 virtual data (the k...Channel codes).
  [[nodiscard]] virtual uint8_t ChannelType() const = 0;
  virtual void ChannelType(uint8_t type) = 0;
  /// 0 none, 1 time, 2 angle, 3 distance, 4 index (the k...Sync codes).
  [[nodiscard]] virtual uint8_t SyncType() const = 0;
  virtual void SyncType(uint8_t type) = 0;
  /// 0/1 unsigned LE/BE, 2/3 signed LE/BE, 4/5 float LE/BE, 6 Latin-1, 7 UTF-8,
  /// 8/9 UTF-16 LE/BE, 10 byte array, 11 MIME sample, 12 MIME stream,
  /// 13 CANopen date, 14 CANopen time (named in channeltypes.h).
  [[nodiscard]] virtual uint8_t DataType() const = 0;
  virtual void DataType(uint8_t type) = 0;
  /// Bytes of one value: BitCount / 8 rounded up.
  [[nodiscard]] virtual uint64_t DataBytes() const = 0;
  virtual void DataBytes(uint64_t nof_bytes) = 0;
  [[nodiscard]] virtual uint8_t Decimals() const = 0;
  virtual void Decimals(uint8_t precision) = 0;
  [[nodiscard]] virtual bool IsDecimalUsed() const = 0;
  [[nodiscard]] virtual std::optional<std::pair<double, double>> Range() const { return NoLimits(); }
  virtual void Range(double min, double max) = 0;
  [[nodiscard]] virtual std::optional<std::pair<double, double>> Limit() const { return NoLimits(); }
  virtual void Limit(double min, double max) = 0;
  [[nodiscard]] virtual std::optional<std::pair<double, double>> ExtLimit() const { return NoLimits(); }
  virtual void ExtLimit(double min, double max) = 0;
  [[nodiscard]] virtual double SamplingRate() const = 0;
  virtual void SamplingRate(double rate) = 0;

  [[nodiscard]] virtual ISourceInformation* SourceInformation() const = 0;
  virtual ISourceInformation* CreateSourceInformation() = 0;
  [[nodiscard]] virtual IChannelArray* ChannelArray() const = 0;
  virtual IChannelArray* CreateChannelArray() = 0;
  [[nodiscard]] virtual IChannelConversion* ChannelConversion() const = 0;
  virtual IChannelConversion* CreateChannelConversion() = 0;

  /// The composed channel with exactly this name, created when missing (null when the
  /// channel kind cannot compose channels).
  virtual IChannel* GetOrCreateChannelComposition(std::string_view name);
  virtual IChannel* CreateChannelComposition() { return nullptr; }
  [[nodiscard]] virtual std::vector<IChannel*> ChannelCompositions() { return {}; }

  virtual void AddAttachment(IAttachment* attachment) = 0;
  [[nodiscard]] virtual std::vector<IAttachment*> Attachments() const { return {}; }

  /// Text of a text channel (data types 6 to 9) as UTF-8.
  virtual bool GetTextValue(const std::vector<uint8_t>& record, std::string& text) const;
  [[nodiscard]] virtual uint32_t BitCount() const = 0;
  virtual void BitCount(uint32_t bits) = 0;
  [[nodiscard]] virtual uint16_t BitOffset() const = 0;
  virtual void BitOffset(uint16_t bits) = 0;
  [[nodiscard]] virtual uint32_t ByteOffset() const = 0;
  virtual void ByteOffset(uint32_t bytes) = 0;
  [[nodiscard]] virtual IChannelGroup* ChannelGroup() const = 0;
  virtual bool GetByteArrayValue(const std::vector<uint8_t>& record, std::vector<uint8_t>& bytes) const;
  /// The owning channel group's record buffer (data bytes, then invalidation bytes).
  [[nodiscard]] virtual std::vector<uint8_t>& SampleBuffer() const = 0;
  /// Records whether an element of the sample buffer holds a valid value.
  virtual void SetValid(bool valid, uint64_t array_index) = 0;
  /// False when the element's invalidation bit is set in the record.
  [[nodiscard]] virtual bool GetValid(const std::vector<uint8_t>& record, uint64_t array_index) const = 0;
  virtual void SetTextValue(const std::string& text, bool valid);
  virtual void SetByteArrayValue(const std::vector<uint8_t>& bytes, bool valid);
  /// For a record the caller lays out itself: a VLSD channel appends the value to its
  /// signal data as SetByteArrayValue does and returns the offset for the record's field.
  /// Nullopt for a channel of another kind, and when the offset does not fit the field
  /// (logged once; the cycle then fails).
  virtual std::optional<uint64_t> AppendVlsdValue(const uint8_t* bytes, size_t size);
  /// Makes room in a VLSD channel's signal data for entries of `bytes` bytes in all (a value
  /// takes 4 bytes more than its size), sparing a caller who knows them the copies of a
  /// growing buffer; a hint, which other kinds ignore. Throws std::bad_alloc.
  virtual void ReserveVlsdValues(uint64_t /* bytes */) {}

  // Raw getters: true when a value was produced; false (value unchanged) when the data type
  // or bit count does not fit the getter or the element does not lie inside the record.
  bool UnsignedFromRecord(const std::vector<uint8_t>& record, uint64_t& value, uint64_t array_index) const;
  bool SignedFromRecord(const std::vector<uint8_t>& record, int64_t& value, uint64_t array_index) const;
  bool FloatFromRecord(const std::vector<uint8_t>& record, double& value, uint64_t array_index) const;
  bool CanOpenDateFromRecord(const std::vector<uint8_t>& record, uint64_t& ns) const;
  bool CanOpenTimeFromRecord(const std::vector<uint8_t>& record, uint64_t& ns) const;

  /// The element's raw value as T: the eight integer types, float, double, std::string and
  /// std::vector<uint8_t>. True when a value was read and its element is valid.
  template <typename T>
  bool ValueFromRecord(const std::vector<uint8_t>& record, T& value, uint64_t array_index) const;
  /// The value of a channel whose values lie in a VLSD channel group, from one record of
  /// that group (the whole record is the value) as ValueFromRecord reads it, but without an
  /// invalidation bit: that lies in the channel's own record (GetValid). True when a value
  /// was read.
  template <typename T>
  bool ValueFromVlsdRecord(const std::vector<uint8_t>& vlsd_record, T& value) const;

  // Whole-byte setters into the sample buffer at ByteOffset + index x DataBytes.
  void SetUnsignedValueLe(uint64_t value, bool valid, uint64_t array_index);
  void SetUnsignedValueBe(uint64_t value, bool valid, uint64_t array_index);
  void SetSignedValueLe(int64_t value, bool valid, uint64_t array_index);
  void SetSignedValueBe(int64_t value, bool valid, uint64_t array_index);
  void SetFloatValueLe(double value, bool valid, uint64_t array_index);
  void SetFloatValueBe(double value, bool valid, uint64_t array_index);
  /// Stores raw bytes into a text, byte-array, MIME or CANopen channel.
  void SetValueFromBytes(const std::vector<uint8_t>& bytes, bool valid, uint64_t array_index);
  /// Picks the setter by the channel's data type.
  template <typename T>
  void SetChannelValue(const T& value, bool valid = true, uint64_t array_index = 0);
  /// Writes a master channel's time into a record through the inverse of its linear
  /// conversion; the validity is not touched.
  void SetTimestamp(double seconds, std::vector<uint8_t>& record) {
    SetTimestamp(seconds, record.data(), record.size());
  }
  /// The same into a record of `size` bytes at `record`.
  void SetTimestamp(double seconds, uint8_t* record, size_t size);
  /// What writing a time takes of the channel, read once: a writer stamps every sample of a
  /// cycle with it instead of asking the channel's properties per sample.
  struct TimestampLayout {
    bool usable = false;  // a whole-byte number field that a time can be written to
    bool converted = false;
    double offset = 0.0;  // of the linear conversion
    double factor = 1.0;
    uint64_t byte_offset = 0;
    uint64_t width = 0;
    uint8_t data_type = 0;
  };
  [[nodiscard]] TimestampLayout PrepareTimestamp() const;
  /// SetTimestamp with the layout taken before.
  static void StoreTimestamp(const TimestampLayout& layout, double seconds, uint8_t* record, size_t size);

  /// Record id of the channel's group; 0 without a group. Defined beside the group
  /// (ichannelgroup.cpp), which holds the channels and so stands above them.
  [[nodiscard]] uint64_t RecordId() const;
  /// Record id of the VLSD channel group holding this channel's values; 0 for none.
  [[nodiscard]] uint64_t VlsdRecordId() const { return vlsd_record_id_; }
  void VlsdRecordId(uint64_t record_id) { vlsd_record_id_ = record_id; }
  /// Whether a writer stores the master value into this channel (set for new channels).
  [[nodiscard]] bool CalculateMaster() const { return calculate_master_; }
  void CalculateMaster(bool calculate) { calculate_master_ = calculate; }
  /// Cached number of array elements (1 without an array).
  [[nodiscard]] uint64_t ArraySize() const { return array_size_; }
  void ArraySize(uint64_t array_size) { array_size_ = array_size; }

 protected:
  IChannel() = default;
  IChannel(const IChannel&) = default;
  IChannel& operator=(const IChannel&) = default;

  /// The default of the range and limit getters: nothing known.
  [[nodiscard]] static std::optional<std::pair<double, double>> NoLimits() { return std::nullopt; }
  /// Double to integer without undefined behaviour: NaN gives 0, the rest saturates.
  static uint64_t SaturateToUnsigned(double value);
  static int64_t SaturateToSigned(double value);

  uint64_t vlsd_record_id_ = 0;
  bool calculate_master_ = true;
  uint64_t array_size_ = 1;

 private:
  bool UnsignedOfType(const std::vector<uint8_t>& record, uint64_t& value, uint64_t array_index,
                      uint8_t data_type) const;
  /// The first of ValueFromRecord's two steps: the element's raw value. The second, its
  /// conversion to what the caller asks for, is the .cpp's ConvertRawValue.
  [[nodiscard]] detail::RawValue DecodeRawValue(const std::vector<uint8_t>& record, uint64_t array_index) const;
  // Position and validity of an element that must lie wholly inside the record.
  [[nodiscard]] bool ElementPosition(const std::vector<uint8_t>& record, uint64_t array_index, uint64_t& bit_position,
                                     uint32_t& nof_bits) const;
  // Byte position of a whole-byte element inside the sample buffer; logs an empty buffer.
  bool PrepareNumericSetter(std::vector<uint8_t>*& buffer, uint64_t& position, bool valid, uint64_t array_index,
                            const char* function);
  // The whole-byte setters: an integer pattern of DataBytes bytes, or a float of 4 or 8.
  void StoreWholeNumber(uint64_t pattern, bool big_endian, bool valid, uint64_t array_index, const char* function);
  void StoreFloat(double value, bool big_endian, bool valid, uint64_t array_index, const char* function);
  // Validity and zeroed destination of a whole fixed-length field in the sample buffer (index 0);
  // null, and the element invalid, when the field does not fit.
  uint8_t* PrepareFixedField(bool valid, uint64_t& field);
  // Helpers of SetChannelValue that need no template.
  void SetCanOpenValue(uint64_t ns_since_1970, bool valid, uint64_t array_index);
  static std::string FloatText(double value);
};

extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int8_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint8_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int16_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint16_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int32_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint32_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, float&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, double&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int64_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint64_t&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, std::string&, uint64_t) const;
extern template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, std::vector<uint8_t>&, uint64_t) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int8_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint8_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int16_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint16_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int32_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint32_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, float&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, double&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int64_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint64_t&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, std::string&) const;
extern template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, std::vector<uint8_t>&) const;

template <typename T>
void IChannel::SetChannelValue(const T& value, bool valid, uint64_t array_index) {
  static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>, "SetChannelValue takes numbers, booleans and enums");
  // The ordinary conversion to the setters' argument types; an enum is sign-extended.
  const auto number = [&value]() {
    if constexpr (std::is_enum_v<T>) {
      return static_cast<std::underlying_type_t<T>>(value);
    } else {
      return value;
    }
  }();
  using Number = std::remove_const_t<decltype(number)>;
  const auto as_unsigned = [&number]() -> uint64_t {
    if constexpr (std::is_floating_point_v<Number>) {
      return SaturateToUnsigned(static_cast<double>(number));
    } else {
      return static_cast<uint64_t>(number);
    }
  };
  const auto as_signed = [&number]() -> int64_t {
    if constexpr (std::is_floating_point_v<Number>) {
      return SaturateToSigned(static_cast<double>(number));
    } else {
      return static_cast<int64_t>(number);
    }
  };
  switch (DataType()) {
    case kUnsignedLe:
      SetUnsignedValueLe(as_unsigned(), valid, array_index);
      break;
    case kUnsignedBe:
      SetUnsignedValueBe(as_unsigned(), valid, array_index);
      break;
    case kSignedLe:
      SetSignedValueLe(as_signed(), valid, array_index);
      break;
    case kSignedBe:
      SetSignedValueBe(as_signed(), valid, array_index);
      break;
    case kFloatLe:
      SetFloatValueLe(static_cast<double>(number), valid, array_index);
      break;
    case kFloatBe:
      SetFloatValueBe(static_cast<double>(number), valid, array_index);
      break;
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText:
      if constexpr (std::is_same_v<Number, bool>) {
        SetTextValue(number ? "1" : "0", valid);
      } else if constexpr (std::is_floating_point_v<Number>) {
        SetTextValue(FloatText(static_cast<double>(number)), valid);
      } else {
        SetTextValue(std::to_string(number), valid);
      }
      break;
    case kByteArray:
    case kMimeSample:
    case kMimeStream:
      break;  // no numeric form: neither the value nor its validity changes
    case kCanOpenDate:
    case kCanOpenTime:
      if constexpr (std::is_same_v<T, uint64_t>) {
        SetCanOpenValue(value, valid, array_index);
      } else {
        SetValid(false, array_index);
      }
      break;
    default:
      SetValid(false, array_index);
      break;
  }
}

}  // namespace mdf
