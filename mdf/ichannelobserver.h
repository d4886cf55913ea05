#pragma once
// A sample observer bound to one channel: it keeps the channel's values, one slot per
// sample and array element with a valid flag each, while the data group is read, and
// hands them back as numbers, texts or byte arrays, raw or converted.
#include <cstdint>
#include <string>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/isampleobserver.h"
#include "mdf/numberconversion.h"
#include "mdf/numbertext.h"

namespace mdf {

/// One valid flag per value slot, packed 64 to a word: reading a file sets one per value,
/// and the word arithmetic is a few instructions where a bit-vector proxy took a dozen
/// (bench_loggerlayout).
class ValidFlags {
 public:
  [[nodiscard]] uint64_t size() const { return size_; }
  /// New flags are false.
  void resize(uint64_t count) {
    words_.resize(static_cast<size_t>((count + 63) / 64), 0);
    if (count < size_ && count % 64 != 0) words_.back() &= (uint64_t{1} << (count % 64)) - 1;
    size_ = count;
  }
  [[nodiscard]] bool operator[](uint64_t slot) const { return (words_[slot / 64] >> (slot % 64) & 1) != 0; }
  void Set(uint64_t slot, bool valid) {
    const uint64_t bit = uint64_t{1} << (slot % 64);
    uint64_t& word = words_[slot / 64];
    word = valid ? word | bit : word & ~bit;
  }
  [[nodiscard]] uint64_t max_size() const { return words_.max_size(); }

 private:
  std::vector<uint64_t> words_;
  uint64_t size_ = 0;
};

class IChannelObserver : public ISampleObserver {
 public:
  /// Attaches to the data group and listens to the channel's record id and, when the
  /// channel's values lie in a VLSD channel group, to that group's record id.
  IChannelObserver(IDataGroup& data_group, const IChannel& channel);
  ~IChannelObserver() override = default;

  // Typed getters of one slot (sample x array size + array index). The result is the
  // slot's valid flag; false beyond the buffers, the value then being zero or empty.
  virtual bool GetSampleUnsigned(uint64_t sample, uint64_t& value, uint64_t array_index) const = 0;
  virtual bool GetSampleSigned(uint64_t sample, int64_t& value, uint64_t array_index) const = 0;
  virtual bool GetSampleFloat(uint64_t sample, double& value, uint64_t array_index) const = 0;
  virtual bool GetSampleText(uint64_t sample, std::string& value, uint64_t array_index) const = 0;
  /// The value of slot `sample` (no array index) of a byte-array observer.
  virtual bool GetSampleByteArray(uint64_t sample, std::vector<uint8_t>& value) const = 0;
  /// The channel group's current sample count: what the file declares, which a damaged
  /// file may claim far beyond its data.
  [[nodiscard]] virtual uint64_t NofSamples() const = 0;
  /// The samples the observer's buffers hold (filled by a read or not yet): at most
  /// NofSamples(), and never more than the data could deliver. Loops over the values use
  /// this count.
  [[nodiscard]] virtual uint64_t NofHeldSamples() const;

  [[nodiscard]] const IChannel& Channel() const { return channel_; }
  [[nodiscard]] const IChannel* ObservedChannel(bool& vlsd_data) const override {
    vlsd_data = read_vlsd_data_;
    return &channel_;
  }
  [[nodiscard]] std::string ChannelName() const;
  /// The sample's bytes for byte-array and MIME channels (data types 10 to 12), else false.
  bool GetByteArray(uint64_t sample, std::vector<uint8_t>& value) const;

  /// The raw value of one sample as T, read by the channel's data type: numbers converted
  /// by detail::ConvertNumber, as IChannel::ValueFromRecord converts them, texts read as a
  /// number, byte arrays by their first byte. False for an invalid sample or a data type of
  /// 15 and above (the value then 0).
  template <typename T>
  bool GetChannelValue(uint64_t sample, T& value, uint64_t array_index = 0) const;
  /// The value of one sample after the channel's conversion, as T.
  template <typename T>
  bool ConvertedValue(uint64_t sample, T& value, uint64_t array_index = 0) const;
  /// Every held sample converted (array index 0); the result holds the valid flags.
  template <typename T>
  std::vector<bool> ConvertedValues(std::vector<T>& values) const;

  /// Whether the values of a VLSD channel are taken from its signal data (true).
  [[nodiscard]] bool ReadVlsdData() const { return read_vlsd_data_; }
  void ReadVlsdData(bool read_vlsd_data) { read_vlsd_data_ = read_vlsd_data; }

 protected:
  const IChannel& channel_;
  bool read_vlsd_data_ = true;
  /// Per slot of a VLSD channel: the offset its fixed record gave.
  std::vector<uint64_t> offset_list_;
  ValidFlags valid_list_;
};

template <typename T>
bool IChannelObserver::GetChannelValue(uint64_t sample, T& value, uint64_t array_index) const {
  value = T{};
  bool valid = false;
  switch (channel_.DataType()) {
    case kUnsignedLe:
    case kUnsignedBe:
    case kCanOpenDate:
    case kCanOpenTime: {
      uint64_t raw = 0;
      valid = GetSampleUnsigned(sample, raw, array_index);
      value = detail::ConvertNumber<T>(raw);
      break;
    }
    case kSignedLe:
    case kSignedBe: {
      int64_t raw = 0;
      valid = GetSampleSigned(sample, raw, array_index);
      value = detail::ConvertNumber<T>(raw);
      break;
    }
    case kFloatLe:
    case kFloatBe: {
      double raw = 0.0;
      valid = GetSampleFloat(sample, raw, array_index);
      value = detail::ConvertNumber<T>(raw);
      break;
    }
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText: {
      std::string text;
      valid = GetSampleText(sample, text, array_index);
      detail::ParseNumberText(text, value);
      break;
    }
    case kByteArray:
    case kMimeSample:
    case kMimeStream: {
      std::vector<uint8_t> bytes;
      valid = GetSampleByteArray(sample, bytes);
      value = bytes.empty() ? T{} : detail::ConvertNumber<T>(bytes[0]);
      break;
    }
    default:
      return false;
  }
  return valid;
}

template <typename T>
bool IChannelObserver::ConvertedValue(uint64_t sample, T& value, uint64_t array_index) const {
  const IChannelConversion* conversion = channel_.ChannelConversion();
  if (conversion == nullptr) {
    return GetChannelValue(sample, value, array_index);
  }
  value = T{};
  switch (channel_.DataType()) {
    case kUnsignedLe:
    case kUnsignedBe: {
      uint64_t raw = 0;
      return GetSampleUnsigned(sample, raw, array_index) && conversion->Convert(raw, value);
    }
    case kSignedLe:
    case kSignedBe: {
      int64_t raw = 0;
      return GetSampleSigned(sample, raw, array_index) && conversion->Convert(raw, value);
    }
    case kFloatLe:
    case kFloatBe: {
      double raw = 0.0;
      return GetSampleFloat(sample, raw, array_index) && conversion->Convert(raw, value);
    }
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText: {
      std::string text;
      const bool valid = GetSampleText(sample, text, array_index);
      std::string converted;
      switch (conversion->Type()) {
        case kTextToTextConversion:
          conversion->ConvertTextToText(text, converted);
          break;
        case kOneToOneConversion:
          converted = std::move(text);
          break;
        default:
          break;  // no number comes out of another conversion of a text
      }
      detail::ParseNumberText(converted, value);
      return valid;
    }
    default:
      return GetChannelValue(sample, value, array_index);
  }
}

template <typename T>
std::vector<bool> IChannelObserver::ConvertedValues(std::vector<T>& values) const {
  const uint64_t nof_samples = NofHeldSamples();
  std::vector<bool> valid_list(nof_samples, false);
  values.resize(nof_samples);
  for (uint64_t sample = 0; sample < nof_samples; ++sample) {
    valid_list[sample] = ConvertedValue(sample, values[sample], 0);
  }
  return valid_list;
}

}  // namespace mdf
