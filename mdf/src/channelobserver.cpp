#include "channelobserver.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "datalistblock.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/numberconversion.h"
#include "mdfblock.h"

namespace mdf::detail {

namespace {

template <typename T>
constexpr bool kIsText = std::is_same_v<T, std::string>;
template <typename T>
constexpr bool kIsBytes = std::is_same_v<T, std::vector<uint8_t>>;
template <typename T>
constexpr bool kIsCharacter = std::is_integral_v<T> && sizeof(T) == 1;

// The cached element count of the channel's array; a channel without array has one.
uint64_t ArraySizeOf(const IChannel& channel) {
  const uint64_t size = channel.ArraySize();
  return size == 0 ? 1 : size;
}

// The text-to-number conversions of the standard library's stoull, stoll and stod (leading
// blanks skipped, trailing characters ignored, failures thrown), but independent of the
// process locale.
template <typename N>
N ParseOrThrow(const std::string& text, const char* name) {
  size_t first = SkipBlanks(text);
  bool negate = false;
  if (first < text.size() && text[first] == '+') {
    ++first;
    if (first < text.size() && text[first] == '-') {
      throw std::invalid_argument(std::string("invalid ") + name + " argument");
    }
  } else if constexpr (std::is_unsigned_v<N>) {
    if (first < text.size() && text[first] == '-') {
      negate = true;  // strtoull negates in the unsigned type
      ++first;
    }
  }
  N number{};
  const char* begin = text.data() + first;
  const char* end = text.data() + text.size();
  std::from_chars_result result{};
  if constexpr (std::is_floating_point_v<N>) {
    result = std::from_chars(begin, end, number, std::chars_format::general);
  } else {
    result = std::from_chars(begin, end, number, 10);
  }
  if (result.ec == std::errc::invalid_argument) {
    throw std::invalid_argument(std::string("invalid ") + name + " argument");
  }
  if (result.ec == std::errc::result_out_of_range) {
    throw std::out_of_range(std::string(name) + " argument out of range");
  }
  if constexpr (std::is_unsigned_v<N>) {
    return negate ? N{0} - number : number;
  } else {
    return number;
  }
}

// The value a virtual channel (master or data) takes for a sample: the sample index.
template <typename T>
T SampleIndexAs(uint64_t sample) {
  if constexpr (kIsText<T>) {
    return std::to_string(sample);
  } else if constexpr (kIsBytes<T>) {
    return {};  // a byte array has no number; the sample index would size the vector
  } else {
    return static_cast<T>(sample);
  }
}

template <typename T>
std::string ValueText(const T& value) {
  if constexpr (kIsText<T>) {
    return value;
  } else if constexpr (kIsBytes<T>) {
    return BytesToHexText(value);
  } else if constexpr (kIsCharacter<T>) {
    return std::string(1, static_cast<char>(value));
  } else {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
  }
}

}  // namespace

uint64_t MaxSamplesInData(const IDataGroup& data_group, const IChannelGroup&) {
  const auto* block = dynamic_cast<const DataListBlock*>(&data_group);
  if (block == nullptr) {
    return std::numeric_limits<uint64_t>::max();
  }
  // A record holds at least its record id, and never less than one byte: a record that
  // consumes nothing ends the read.
  const uint64_t smallest_record = std::max<uint64_t>(1, data_group.RecordIdSize());
  return block->DataSize() / smallest_record;
}

template <typename T>
ChannelObserver<T>::ChannelObserver(IDataGroup& data_group, const IChannelGroup& channel_group,
                                    const IChannel& channel)
    : IChannelObserver(data_group, channel), record_id_(channel_group.RecordId()), channel_group_(channel_group) {
  // The sample count comes from the file: only what the data can hold is allocated.
  const uint64_t nof_samples = std::min(channel_group.NofSamples(), MaxSamplesInData(data_group, channel_group));
  const uint64_t array_size = ArraySizeOf(channel);
  const uint64_t max_slots = std::min<uint64_t>(value_list_.max_size(), valid_list_.max_size());
  if (nof_samples > max_slots / array_size) {
    throw MdfRuntimeError("Too many samples for a channel observer.");
  }
  const uint64_t nof_slots = nof_samples * array_size;
  valid_list_.assign(nof_slots, false);
  value_list_.resize(nof_slots);
  if (channel.ChannelType() == 1) {
    offset_list_.assign(nof_slots, 0);
  }
}

template <typename T>
ChannelObserver<T>::~ChannelObserver() {
  ChannelObserver::Detach();
}

template <typename T>
bool ChannelObserver<T>::OnSample(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) {
  const uint64_t vlsd_record_id = channel_.VlsdRecordId();
  const bool own_record = record_id == record_id_;
  if (!own_record && (vlsd_record_id == 0 || record_id != vlsd_record_id)) {
    return true;
  }
  const uint64_t array_size = ArraySizeOf(channel_);
  const uint64_t nof_slots = value_list_.size();
  if (sample >= nof_slots / array_size + 1) {
    return true;  // every slot of the sample lies beyond the buffers
  }
  const uint64_t first = sample * array_size;
  const uint64_t last = std::min(first + array_size, nof_slots);

  const auto store_value = [&](uint64_t slot, uint64_t element) {
    T value{};
    valid_list_[slot] = channel_.ValueFromRecord(record, value, element);
    value_list_[slot] = std::move(value);
  };

  switch (channel_.ChannelType()) {
    case 1:  // variable length
      if (own_record) {
        const bool take_value = read_vlsd_data_ && vlsd_record_id == 0;
        for (uint64_t slot = first; slot < last; ++slot) {
          uint64_t offset = 0;
          const bool valid = channel_.UnsignedFromRecord(record, offset, slot - first);
          offset_list_[slot] = offset;
          valid_list_[slot] = valid;
          if (take_value) {
            store_value(slot, slot - first);
          }
        }
      } else {
        // A record of the VLSD channel group: the whole record is the value, and the
        // sample is the VLSD group's own record count.
        for (uint64_t slot = first; slot < last; ++slot) {
          store_value(slot, slot - first);
        }
      }
      break;
    case 3:  // virtual master
    case 6:  // virtual data
      if (own_record) {
        for (uint64_t slot = first; slot < last; ++slot) {
          value_list_[slot] = SampleIndexAs<T>(sample);
          valid_list_[slot] = true;
        }
      }
      break;
    default:
      if (own_record) {
        for (uint64_t slot = first; slot < last; ++slot) {
          store_value(slot, slot - first);
        }
      }
      break;
  }
  return true;
}

template <typename T>
bool ChannelObserver<T>::SlotIndex(uint64_t sample, uint64_t array_index, uint64_t& slot) const {
  const uint64_t array_size = ArraySizeOf(channel_);
  if (sample > (std::numeric_limits<uint64_t>::max() - array_index) / array_size) {
    return false;
  }
  slot = sample * array_size + array_index;
  return slot < value_list_.size();
}

template <typename T>
bool ChannelObserver<T>::GetSampleUnsigned(uint64_t sample, uint64_t& value, uint64_t array_index) const {
  uint64_t slot = 0;
  const bool inside = SlotIndex(sample, array_index, slot);
  if constexpr (kIsText<T>) {
    value = inside ? ParseOrThrow<uint64_t>(value_list_[slot], "stoull") : 0;
  } else if constexpr (kIsBytes<T>) {
    value = 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    value = inside ? ConvertNumber<uint64_t>(value_list_[slot]) : 0;
  } else {
    // Signed values are sign-extended, unsigned ones zero-extended.
    value = inside ? static_cast<uint64_t>(value_list_[slot]) : 0;
  }
  return inside && ValidAt(slot);
}

template <typename T>
bool ChannelObserver<T>::GetSampleSigned(uint64_t sample, int64_t& value, uint64_t array_index) const {
  uint64_t slot = 0;
  const bool inside = SlotIndex(sample, array_index, slot);
  if constexpr (kIsText<T>) {
    value = inside ? ParseOrThrow<int64_t>(value_list_[slot], "stoll") : 0;
  } else if constexpr (kIsBytes<T>) {
    value = 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    value = inside ? ConvertNumber<int64_t>(value_list_[slot]) : 0;
  } else {
    value = inside ? static_cast<int64_t>(value_list_[slot]) : 0;
  }
  return inside && ValidAt(slot);
}

template <typename T>
bool ChannelObserver<T>::GetSampleFloat(uint64_t sample, double& value, uint64_t array_index) const {
  uint64_t slot = 0;
  const bool inside = SlotIndex(sample, array_index, slot);
  if constexpr (kIsText<T>) {
    value = inside ? ParseOrThrow<double>(value_list_[slot], "stod") : 0.0;
  } else if constexpr (kIsBytes<T>) {
    value = 0.0;
  } else {
    value = inside ? static_cast<double>(value_list_[slot]) : 0.0;
  }
  return inside && ValidAt(slot);
}

template <typename T>
bool ChannelObserver<T>::GetSampleText(uint64_t sample, std::string& value, uint64_t array_index) const {
  uint64_t slot = 0;
  const bool inside = SlotIndex(sample, array_index, slot);
  if (!inside) {
    value.clear();
    return false;
  }
  if constexpr (kIsBytes<T>) {
    value = ValueText(value_list_[slot]);
  } else {
    try {
      value = ValueText(value_list_[slot]);
    } catch (const std::exception&) {
      return false;
    }
  }
  return ValidAt(slot);
}

template <typename T>
bool ChannelObserver<T>::GetSampleByteArray(uint64_t sample, std::vector<uint8_t>& value) const {
  if constexpr (kIsBytes<T>) {
    if (sample < value_list_.size()) {
      value = value_list_[sample];
    }
  } else {
    value.clear();
  }
  return ValidAt(sample);
}

template <typename T>
uint64_t ChannelObserver<T>::NofSamples() const {
  return channel_group_.NofSamples();
}

template class ChannelObserver<int8_t>;
template class ChannelObserver<uint8_t>;
template class ChannelObserver<int16_t>;
template class ChannelObserver<uint16_t>;
template class ChannelObserver<int32_t>;
template class ChannelObserver<uint32_t>;
template class ChannelObserver<float>;
template class ChannelObserver<double>;
template class ChannelObserver<int64_t>;
template class ChannelObserver<uint64_t>;
template class ChannelObserver<std::string>;
template class ChannelObserver<std::vector<uint8_t>>;

}  // namespace mdf::detail
