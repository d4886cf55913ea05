#include "mdf/ichannel.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>

#include "bitdecoder.h"
#include "byteorder.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannelconversion.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "mdf/numberconversion.h"
#include "mdf/numbertext.h"
#include "mdfblock.h"
#include "platformshim.h"

namespace mdf {

namespace {

std::string LocalDateTimeText(uint64_t ns_since_1970) {
  std::tm fields{};
  const auto seconds = static_cast<int64_t>(ns_since_1970 / 1'000'000'000);
  if (!detail::platform::LocalTime(seconds, fields)) return {};
  std::array<char, 64> text{};
  const size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &fields);
  const auto ms = static_cast<unsigned>((ns_since_1970 / 1'000'000) % 1000);
  std::array<char, 5> fraction = {'.', static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                                  static_cast<char>('0' + ms % 10), '\0'};
  return std::string(text.data(), length) + fraction.data();
}

bool IsWholeByteWidth(uint64_t width) { return width == 1 || width == 2 || width == 4 || width == 8; }

uint64_t FloatBits(double value, uint64_t width) {
  if (width == 4) {
    const auto single = detail::SaturatingCast<float>(value);
    uint32_t bits = 0;
    std::memcpy(&bits, &single, sizeof(bits));
    return bits;
  }
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// True when `first` + `count` bytes fit in `size` (no overflow).
bool FitsIn(uint64_t first, uint64_t count, uint64_t size) { return first <= size && count <= size - first; }

}  // namespace

uint64_t ExtractUnsignedBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data) {
  return detail::DecodeUnsigned(little_endian, bit_position, nof_bits, data);
}

int64_t ExtractSignedBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data) {
  if (nof_bits == 0 || nof_bits > 64) return 0;
  return detail::SignExtend(ExtractUnsignedBits(little_endian, bit_position, nof_bits, data), nof_bits);
}

float ExtractHalfFloatBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data) {
  if (nof_bits == 0) return 0.0F;
  // The first bits taken are the most significant ones.
  const uint64_t taken = nof_bits > 16 ? 16 : nof_bits;
  const uint64_t pattern = little_endian
                               ? detail::ReadBitsLe(bit_position + nof_bits - taken, taken, data)
                               : detail::ReadBitsBe(detail::BigEndianStart(bit_position, nof_bits), taken, data);
  return detail::HalfToFloat(static_cast<uint16_t>(pattern));
}

float ExtractFloatBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data) {
  const auto bits = static_cast<uint32_t>(ExtractUnsignedBits(little_endian, bit_position, nof_bits, data));
  float value = 0.0F;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

double ExtractDoubleBits(bool little_endian, uint64_t bit_position, uint64_t nof_bits, const uint8_t* data) {
  const uint64_t bits = ExtractUnsignedBits(little_endian, bit_position, nof_bits, data);
  double value = 0.0;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

// Inlined into every raw getter: the per-value path is a handful of accessor calls and the
// bit decoding, nothing more.
[[gnu::always_inline]] inline bool IChannel::ElementPosition(const std::vector<uint8_t>& record, uint64_t array_index,
                                                             uint64_t& bit_position, uint32_t& nof_bits) const {
  nof_bits = BitCount();
  const uint64_t record_bits = static_cast<uint64_t>(record.size()) * 8;
  const uint64_t first = static_cast<uint64_t>(ByteOffset()) * 8 + BitOffset();
  // Elements lie BitCount bits apart. Below 2^31 the index times the 32-bit count cannot
  // overflow; a larger index is checked by division (the common case avoids the divide).
  if ((array_index >> 31) != 0 && nof_bits > 0 && array_index > record_bits / nof_bits) return false;
  const uint64_t position = first + array_index * nof_bits;
  if (!FitsIn(position, nof_bits, record_bits)) return false;
  bit_position = position;
  return true;
}

[[gnu::always_inline]] inline bool IChannel::UnsignedOfType(const std::vector<uint8_t>& record, uint64_t& value,
                                                            uint64_t array_index, uint8_t data_type) const {
  bool little_endian = true;
  switch (data_type) {
    case kUnsignedLe:
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText:
      break;
    case kUnsignedBe:
      // A VLSD channel's record value is its offset, always little endian.
      little_endian = ChannelType() == kVlsdChannel;
      break;
    default:
      if (ChannelType() != kVlsdChannel) return false;
      break;
  }
  uint64_t position = 0;
  uint32_t nof_bits = 0;
  if (!ElementPosition(record, array_index, position, nof_bits)) return false;
  value = detail::DecodeUnsignedIn(little_endian, position, nof_bits, record.data(), record.size());
  return true;
}

bool IChannel::UnsignedFromRecord(const std::vector<uint8_t>& record, uint64_t& value, uint64_t array_index) const {
  return UnsignedOfType(record, value, array_index, DataType());
}

bool IChannel::SignedFromRecord(const std::vector<uint8_t>& record, int64_t& value, uint64_t array_index) const {
  const bool little_endian = DataType() == kSignedLe;
  uint64_t position = 0;
  uint32_t nof_bits = 0;
  if (!ElementPosition(record, array_index, position, nof_bits)) return false;
  value = detail::SignExtend(detail::DecodeUnsignedIn(little_endian, position, nof_bits, record.data(), record.size()),
                             nof_bits);
  return true;
}

bool IChannel::FloatFromRecord(const std::vector<uint8_t>& record, double& value, uint64_t array_index) const {
  const bool little_endian = DataType() == kFloatLe;
  uint64_t position = 0;
  uint32_t nof_bits = 0;
  if (!ElementPosition(record, array_index, position, nof_bits)) return false;
  if (nof_bits != 16 && nof_bits != 32 && nof_bits != 64) return false;
  value = detail::DecodeFloatIn(little_endian, position, nof_bits, record.data(), record.size());
  return true;
}

namespace {

// The CANopen field of `count` bytes at `offset`, decoded; false when the record ends before it.
bool CanOpenField(const std::vector<uint8_t>& record, uint64_t offset, uint64_t count,
                  uint64_t (*decode)(const std::vector<uint8_t>&), uint64_t& ns) {
  if (!FitsIn(offset, count, record.size())) return false;
  const auto first = record.begin() + static_cast<std::ptrdiff_t>(offset);
  ns = decode(std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(count)));
  return true;
}

}  // namespace

bool IChannel::CanOpenDateFromRecord(const std::vector<uint8_t>& record, uint64_t& ns) const {
  return CanOpenField(record, ByteOffset(), 7, DecodeCanOpenDate, ns);
}

bool IChannel::CanOpenTimeFromRecord(const std::vector<uint8_t>& record, uint64_t& ns) const {
  return CanOpenField(record, ByteOffset(), 6, DecodeCanOpenTime, ns);
}

bool IChannel::GetTextValue(const std::vector<uint8_t>& record, std::string& text) const {
  text.clear();
  const uint8_t type = DataType();
  const uint64_t offset = ByteOffset();
  const uint64_t size = record.size();
  std::string raw;
  try {
    switch (type) {
      case kLatin1Text: {
        const uint64_t limit = FitsIn(offset, DataBytes(), size) ? offset + DataBytes() : size;
        for (uint64_t i = offset; i < limit && record[i] != 0; ++i) {
          raw.push_back(static_cast<char>(record[i]));
        }
        text = Latin1ToUtf8(raw);
        break;
      }
      case kUtf8Text:
        for (uint64_t i = offset; i < size && record[i] != 0; ++i) {
          text.push_back(static_cast<char>(record[i]));
        }
        break;
      case kUtf16LeText:
      case kUtf16BeText: {
        std::u16string utf16;
        for (uint64_t i = offset; i < size && size - i >= 2; i += 2) {
          const auto unit =
              static_cast<char16_t>(type == kUtf16LeText ? detail::LoadLe16(&record[i]) : detail::LoadBe16(&record[i]));
          if (unit == 0) break;
          utf16.push_back(unit);
        }
        text = WideToUtf8(utf16);
        break;
      }
      default:
        break;
    }
  } catch (const std::exception&) {
    // Invalid UTF-16: no text. A Latin-1 text keeps the bytes collected.
    text = type == kLatin1Text ? raw : std::string{};
    return false;
  }
  return true;
}

bool IChannel::GetByteArrayValue(const std::vector<uint8_t>& record, std::vector<uint8_t>& bytes) const {
  try {
    if (ChannelType() == kVlsdChannel && VlsdRecordId() != 0) {
      bytes = record;  // the VLSD group's entry is the value
      return true;
    }
    const uint64_t nof_bytes = DataBytes();
    const uint64_t offset = ByteOffset();
    // Checked before sizing: the byte count comes from the file.
    if (!FitsIn(offset, nof_bytes, record.size())) {
      bytes.clear();
      return false;
    }
    const auto first = record.begin() + static_cast<std::ptrdiff_t>(offset);
    bytes.assign(first, first + static_cast<std::ptrdiff_t>(nof_bytes));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

// The text and byte-array sources of numeric values, kept out of line so that the numeric
// decoding path stays small.
template <typename T>
[[gnu::noinline]] bool NumberFromText(const IChannel& channel, const std::vector<uint8_t>& record, T& value) {
  std::string text;
  const bool valid = channel.GetTextValue(record, text);
  value = T{};
  detail::ExtractNumberText(text, value);  // the stream's outcome does not count
  return valid;
}

template <typename T>
[[gnu::noinline]] bool NumberFromBytes(const IChannel& channel, const std::vector<uint8_t>& record, T& value) {
  std::vector<uint8_t> bytes;
  const bool valid = channel.GetByteArrayValue(record, bytes);
  value = bytes.empty() ? T{} : detail::ConvertNumber<T>(bytes[0]);
  return valid;
}

}  // namespace

[[gnu::always_inline]] inline detail::RawValue IChannel::DecodeRawValue(const std::vector<uint8_t>& record,
                                                                        uint64_t array_index) const {
  using Kind = detail::RawValue::Kind;
  detail::RawValue raw;
  // Each number is read into a local of its case: then only it is zeroed first, and the
  // value does not go through memory (bench_channelvalue).
  switch (const uint8_t type = DataType(); type) {
    case kUnsignedLe:
    case kUnsignedBe: {
      uint64_t bits = 0;
      raw.read = UnsignedOfType(record, bits, array_index, type);
      raw.kind = Kind::kUnsigned;
      raw.bits = bits;
      break;
    }
    case kSignedLe:
    case kSignedBe: {
      int64_t integer = 0;
      raw.read = SignedFromRecord(record, integer, array_index);
      raw.kind = Kind::kSigned;
      raw.integer = integer;
      break;
    }
    case kFloatLe:
    case kFloatBe: {
      double number = 0.0;
      raw.read = FloatFromRecord(record, number, array_index);
      raw.kind = Kind::kFloat;
      raw.number = number;
      break;
    }
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText:
      raw.kind = Kind::kText;
      break;
    case kByteArray:
    case kMimeSample:
    case kMimeStream:
      raw.kind = Kind::kBytes;
      break;
    case kCanOpenDate:
    case kCanOpenTime: {
      uint64_t ns = 0;
      raw.read = type == kCanOpenDate ? CanOpenDateFromRecord(record, ns) : CanOpenTimeFromRecord(record, ns);
      raw.kind = Kind::kCanOpen;
      raw.bits = ns;
      break;
    }
    default:
      break;
  }
  return raw;
}

namespace {

using RawKind = detail::RawValue::Kind;

// The second step of ValueFromRecord: the raw value as what the caller asks for; a text or
// byte array is read here by the channel's own getter. True when a value was produced.

// A number: converted as an observer's GetChannelValue converts it.
template <typename T>
[[gnu::always_inline]] inline bool ConvertRawValue(const IChannel& channel, const detail::RawValue& raw,
                                                   const std::vector<uint8_t>& record, T& value) {
  static_assert(std::is_arithmetic_v<T>, "texts and byte vectors have overloads of their own");
  switch (raw.kind) {
    case RawKind::kUnsigned:
    case RawKind::kCanOpen:
      value = detail::ConvertNumber<T>(raw.bits);
      return raw.read;
    case RawKind::kSigned:
      value = detail::ConvertNumber<T>(raw.integer);
      return raw.read;
    case RawKind::kFloat:
      value = detail::ConvertNumber<T>(raw.number);
      return raw.read;
    case RawKind::kText:
      return NumberFromText(channel, record, value);
    case RawKind::kBytes:
      return NumberFromBytes(channel, record, value);
    case RawKind::kNone:
      break;
  }
  return false;
}

bool ConvertRawValue(const IChannel& channel, const detail::RawValue& raw, const std::vector<uint8_t>& record,
                     std::string& value) {
  switch (raw.kind) {
    case RawKind::kUnsigned:
      value = std::to_string(raw.bits);
      return raw.read;
    case RawKind::kCanOpen:
      value = LocalDateTimeText(raw.bits);
      return raw.read;
    case RawKind::kSigned:
      value = std::to_string(raw.integer);
      return raw.read;
    case RawKind::kFloat:
      value = channel.IsDecimalUsed() ? FormatNumberText(raw.number, channel.Decimals(), false, {})
                                      : detail::FixedPointText(raw.number, 6);
      return raw.read;
    case RawKind::kText:
      return channel.GetTextValue(record, value);
    case RawKind::kBytes: {
      std::vector<uint8_t> bytes;
      const bool read = channel.GetByteArrayValue(record, bytes);
      value = detail::BytesToHexText(bytes);
      return read;
    }
    case RawKind::kNone:
      break;
  }
  return false;
}

// A number gives its low 8 bits, a float truncated toward zero first.
bool ConvertRawValue(const IChannel& channel, const detail::RawValue& raw, const std::vector<uint8_t>& record,
                     std::vector<uint8_t>& value) {
  switch (raw.kind) {
    case RawKind::kUnsigned:
    case RawKind::kCanOpen:
      value.assign(1, detail::ConvertNumber<uint8_t>(raw.bits));
      return raw.read;
    case RawKind::kSigned:
      value.assign(1, detail::ConvertNumber<uint8_t>(raw.integer));
      return raw.read;
    case RawKind::kFloat:
      value.assign(1, detail::ConvertNumber<uint8_t>(raw.number));
      return raw.read;
    case RawKind::kText: {
      std::string text;
      const bool read = channel.GetTextValue(record, text);
      value.assign(text.begin(), text.end());
      return read;
    }
    case RawKind::kBytes:
      return channel.GetByteArrayValue(record, value);
    case RawKind::kNone:
      break;
  }
  return false;
}

}  // namespace

template <typename T>
bool IChannel::ValueFromRecord(const std::vector<uint8_t>& record, T& value, uint64_t array_index) const {
  const detail::RawValue raw = DecodeRawValue(record, array_index);
  if (raw.kind == RawKind::kNone) return false;  // the value is left as it was
  const bool read = ConvertRawValue(*this, raw, record, value);
  return read && GetValid(record, array_index);
}

template <typename T>
bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>& vlsd_record, T& value) const {
  const detail::RawValue raw = DecodeRawValue(vlsd_record, 0);
  return raw.kind != RawKind::kNone && ConvertRawValue(*this, raw, vlsd_record, value);
}

template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int8_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint8_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int16_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint16_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int32_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint32_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, float&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, double&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, int64_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, uint64_t&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, std::string&, uint64_t) const;
template bool IChannel::ValueFromRecord(const std::vector<uint8_t>&, std::vector<uint8_t>&, uint64_t) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int8_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint8_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int16_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint16_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int32_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint32_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, float&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, double&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, int64_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, uint64_t&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, std::string&) const;
template bool IChannel::ValueFromVlsdRecord(const std::vector<uint8_t>&, std::vector<uint8_t>&) const;

uint64_t IChannel::SaturateToUnsigned(double value) { return detail::SaturatingCast<uint64_t>(value); }

int64_t IChannel::SaturateToSigned(double value) { return detail::SaturatingCast<int64_t>(value); }

std::string IChannel::FloatText(double value) { return detail::ShortestText(value); }

bool IChannel::PrepareNumericSetter(std::vector<uint8_t>*& buffer, uint64_t& position, bool valid, uint64_t array_index,
                                    const char* function) {
  auto& samples = SampleBuffer();
  if (samples.empty()) {
    MdfLogStream(MdfLocation{__LINE__, 0, __FILE__, function}, MdfLogSeverity::kError)
        << "Sample buffer not sized. Invalid use of function.";
    return false;
  }
  const uint64_t width = DataBytes();
  const uint64_t size = samples.size();
  // The element must end inside the buffer; the index comes from the caller.
  if (width > 0 && array_index >= size / width) {
    SetValid(false, array_index);
    return false;
  }
  position = static_cast<uint64_t>(ByteOffset()) + array_index * width;
  if (!FitsIn(position, width, size)) {
    SetValid(false, array_index);
    return false;
  }
  SetValid(valid, array_index);
  if (!IsWholeByteWidth(width)) {
    SetValid(false, array_index);
    return false;
  }
  buffer = &samples;
  return true;
}

void IChannel::StoreWholeNumber(uint64_t pattern, bool big_endian, bool valid, uint64_t array_index,
                                const char* function) {
  std::vector<uint8_t>* buffer = nullptr;
  uint64_t position = 0;
  if (PrepareNumericSetter(buffer, position, valid, array_index, function)) {
    detail::StoreUnsigned(buffer->data() + position, pattern, DataBytes(), big_endian);
  }
}

void IChannel::StoreFloat(double value, bool big_endian, bool valid, uint64_t array_index, const char* function) {
  std::vector<uint8_t>* buffer = nullptr;
  uint64_t position = 0;
  if (!PrepareNumericSetter(buffer, position, valid, array_index, function)) return;
  const uint64_t width = DataBytes();
  if (width != 4 && width != 8) {
    SetValid(false, array_index);
    return;
  }
  detail::StoreUnsigned(buffer->data() + position, FloatBits(value, width), width, big_endian);
}

void IChannel::SetUnsignedValueLe(uint64_t value, bool valid, uint64_t array_index) {
  StoreWholeNumber(value, false, valid, array_index, "SetUnsignedValueLe");
}

void IChannel::SetUnsignedValueBe(uint64_t value, bool valid, uint64_t array_index) {
  StoreWholeNumber(value, true, valid, array_index, "SetUnsignedValueBe");
}

void IChannel::SetSignedValueLe(int64_t value, bool valid, uint64_t array_index) {
  StoreWholeNumber(static_cast<uint64_t>(value), false, valid, array_index, "SetSignedValueLe");
}

void IChannel::SetSignedValueBe(int64_t value, bool valid, uint64_t array_index) {
  StoreWholeNumber(static_cast<uint64_t>(value), true, valid, array_index, "SetSignedValueBe");
}

void IChannel::SetFloatValueLe(double value, bool valid, uint64_t array_index) {
  StoreFloat(value, false, valid, array_index, "SetFloatValueLe");
}

void IChannel::SetFloatValueBe(double value, bool valid, uint64_t array_index) {
  StoreFloat(value, true, valid, array_index, "SetFloatValueBe");
}

uint8_t* IChannel::PrepareFixedField(bool valid, uint64_t& field) {
  SetValid(valid, 0);
  const uint32_t nof_bits = BitCount();
  const uint64_t offset = ByteOffset();
  auto& buffer = SampleBuffer();
  field = nof_bits / 8;
  if (nof_bits < 8 || !FitsIn(offset, field, buffer.size())) {
    SetValid(false, 0);
    return nullptr;
  }
  uint8_t* dest = buffer.data() + offset;
  std::memset(dest, 0, field);
  return dest;
}

void IChannel::SetTextValue(const std::string& text, bool valid) {
  uint64_t field = 0;
  if (uint8_t* dest = PrepareFixedField(valid, field); dest != nullptr) {
    // The last byte of the field stays zero: the stored text is always terminated.
    std::memcpy(dest, text.data(), std::min<uint64_t>(text.size(), field - 1));
  }
}

void IChannel::SetByteArrayValue(const std::vector<uint8_t>& bytes, bool valid) {
  uint64_t field = 0;
  if (uint8_t* dest = PrepareFixedField(valid, field); dest != nullptr && !bytes.empty()) {
    std::memcpy(dest, bytes.data(), std::min<uint64_t>(bytes.size(), field));
  }
}

std::optional<uint64_t> IChannel::AppendVlsdValue(const uint8_t* /* bytes */, size_t /* size */) {
  return std::nullopt;
}

void IChannel::SetValueFromBytes(const std::vector<uint8_t>& bytes, bool valid, uint64_t array_index) {
  const uint8_t type = DataType();
  if (type >= kLatin1Text && type <= kMimeStream) {
    SetByteArrayValue(bytes, valid);
  } else if ((type == kCanOpenDate || type == kCanOpenTime) && bytes.size() == DataBytes()) {
    SetByteArrayValue(bytes, valid);
  } else {
    SetValid(false, array_index);
  }
}

void IChannel::SetCanOpenValue(uint64_t ns_since_1970, bool valid, uint64_t array_index) {
  const uint8_t type = DataType();
  if (type == kCanOpenDate && DataBytes() == 7) {
    SetByteArrayValue(EncodeCanOpenDate(ns_since_1970), valid);
  } else if (type == kCanOpenTime && DataBytes() == 6) {
    SetByteArrayValue(EncodeCanOpenTime(ns_since_1970), valid);
  } else {
    SetValid(false, array_index);
  }
}

void IChannel::SetTimestamp(double seconds, uint8_t* record, size_t size) {
  StoreTimestamp(PrepareTimestamp(), seconds, record, size);
}

IChannel::TimestampLayout IChannel::PrepareTimestamp() const {
  TimestampLayout layout;
  if (const auto* conversion = ChannelConversion(); conversion != nullptr) {
    if (conversion->Type() != kLinearConversion) return layout;  // only a linear conversion can be inverted
    layout.factor = conversion->ParameterAsDouble(1);
    if (layout.factor == 0.0) return layout;
    layout.offset = conversion->ParameterAsDouble(0);
    layout.converted = true;
  }
  layout.width = BitCount() / 8;
  layout.byte_offset = ByteOffset();
  layout.data_type = DataType();
  switch (layout.data_type) {
    case kUnsignedLe:
    case kUnsignedBe:
    case kSignedLe:
    case kSignedBe:
      layout.usable = IsWholeByteWidth(layout.width);
      break;
    case kFloatLe:
    case kFloatBe:
      layout.usable = layout.width == 4 || layout.width == 8;
      break;
    default:
      break;
  }
  return layout;
}

void IChannel::StoreTimestamp(const TimestampLayout& layout, double seconds, uint8_t* record, size_t size) {
  if (!layout.usable || !FitsIn(layout.byte_offset, layout.width, size)) return;
  const double value = layout.converted ? (seconds - layout.offset) / layout.factor : seconds;
  const uint64_t width = layout.width;
  const uint8_t type = layout.data_type;
  const int bits = static_cast<int>(width * 8);
  uint64_t pattern = 0;
  switch (type) {
    case kUnsignedLe:
    case kUnsignedBe: {
      const uint64_t max = detail::LowMask(static_cast<uint64_t>(bits));
      const uint64_t whole = SaturateToUnsigned(value);  // negative and NaN give 0
      pattern = whole > max ? max : whole;
      break;
    }
    case kSignedLe:
    case kSignedBe: {
      const int64_t max = bits == 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (bits - 1)) - 1;
      const int64_t min = -max - 1;
      int64_t whole = SaturateToSigned(value);
      whole = whole > max ? max : (whole < min ? min : whole);
      pattern = static_cast<uint64_t>(whole);
      break;
    }
    default:  // a float of 4 or 8 bytes
      pattern = FloatBits(value, width);
      break;
  }
  const bool big_endian = type == kUnsignedBe || type == kSignedBe || type == kFloatBe;
  detail::StoreUnsigned(record + layout.byte_offset, pattern, width, big_endian);
}

IChannel* IChannel::GetOrCreateChannelComposition(std::string_view name) {
  for (IChannel* child : ChannelCompositions()) {
    if (child != nullptr && child->Name() == name) return child;
  }
  IChannel* child = CreateChannelComposition();
  if (child == nullptr) return nullptr;
  child->Name(std::string(name.substr(0, name.find('\0'))));
  return child;
}

}  // namespace mdf
