#include "channelobserver.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "bitdecoder.h"
#include "byteorder.h"
#include "cg4block.h"
#include "channelbits.h"
#include "datalistblock.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelarray.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/numberconversion.h"
#include "mdf/numbertext.h"
#include "mdfblock.h"

namespace mdf::detail {

namespace {

template <typename T>
constexpr bool kIsText = std::is_same_v<T, std::string>;
template <typename T>
constexpr bool kIsBytes = std::is_same_v<T, std::vector<uint8_t>>;

// The element count of the channel's array; a channel without array has one.
uint64_t ArraySizeOf(const IChannel& channel) {
  const IChannelArray* array = channel.ChannelArray();
  const uint64_t size = array != nullptr ? array->ElementCount() : 1;
  return size == 0 ? 1 : size;
}

// The value a virtual channel (master or data) takes for a sample: the sample index.
template <typename T>
T SampleIndexAs(uint64_t sample) {
  if constexpr (kIsText<T>) {
    return std::to_string(sample);
  } else {
    return static_cast<T>(sample);
  }
}

// The text a default-configured output stream gives the value.
template <typename T>
std::string ValueText(const T& value) {
  if constexpr (kIsText<T>) {
    return value;
  } else {
    return StreamText(value);
  }
}

}  // namespace

void ByteSlots::Resize(uint64_t count) {
  if (width_ > 0) {
    if (count > std::numeric_limits<uint64_t>::max() / width_) throw std::bad_alloc();
    store_.Resize(count * width_);
    store_room_ = count * width_;
  } else if (wide_) {
    ends64_.Resize(count);
  } else {
    ends32_.Resize(count);
  }
  slots_ = count;
}

void ByteSlots::SetEnd(uint64_t slot, uint64_t end) {
  if (!wide_ && end > std::numeric_limits<uint32_t>::max()) {
    ends64_.Resize(slots_);
    for (uint64_t i = 0; i < written_; ++i) ends64_[i] = ends32_[i];
    ends32_.Resize(0);
    wide_ = true;
  }
  if (wide_) {
    ends64_[slot] = end;
  } else {
    ends32_[slot] = static_cast<uint32_t>(end);
  }
}

void ByteSlots::MakeVariable() {
  const uint64_t width = width_;
  width_ = 0;  // from here on Resize sizes the ends; the store keeps its room
  Resize(slots_);
  for (uint64_t slot = 0; slot < written_; ++slot) SetEnd(slot, (slot + 1) * width);
  store_size_ = written_ * width;
}

void ByteSlots::Set(uint64_t slot, const uint8_t* data, uint64_t size) {
  if (width_ > 0) {
    if (size == width_ && slot <= written_) {
      std::memcpy(&store_[slot * width_], data, size);
      written_ = std::max(written_, slot + 1);
      return;
    }
    MakeVariable();  // rare: a value of another length, or samples skipped
  }
  if (slot < written_) {
    const uint64_t begin = Begin(slot);
    if (End(slot) - begin == size) {
      if (size > 0) std::memcpy(&store_[begin], data, size);  // a value read again in its old size
      return;
    }
    written_ = slot;  // the values after it are read again after it
    store_size_ = begin;
  }
  for (; written_ < slot; ++written_) SetEnd(written_, store_size_);  // samples skipped: empty
  if (size > store_room_ - store_size_) {
    if (size > std::numeric_limits<uint64_t>::max() / 2 - store_size_) throw std::bad_alloc();
    // Doubled: the bytes of a VLSD value arrive one record after the other.
    store_room_ = std::max(2 * store_room_, std::max<uint64_t>(store_size_ + size, 4096));
    store_.Resize(store_room_);
  }
  if (size > 0) std::memcpy(&store_[store_size_], data, size);
  store_size_ += size;
  SetEnd(slot, store_size_);
  written_ = slot + 1;
}

std::pair<const uint8_t*, uint64_t> ByteSlots::Get(uint64_t slot) const {
  if (slot >= written_) return {nullptr, 0};
  if (width_ > 0) return {&store_[slot * width_], width_};
  const uint64_t begin = Begin(slot);
  const uint64_t length = End(slot) - begin;
  return {length > 0 ? &store_[begin] : nullptr, length};
}

SampleBound SamplesInData(const IDataGroup& data_group, const IChannelGroup& channel_group) {
  const auto* block = dynamic_cast<const DataListBlock*>(&data_group);
  if (block == nullptr) {
    return {std::numeric_limits<uint64_t>::max(), std::nullopt};
  }
  // A record holds its record id and its bytes (a VLSD record at least its length), and
  // never less than one byte: a record that consumes nothing ends the read.
  uint64_t smallest_record = data_group.RecordIdSize();
  if (const auto* group = dynamic_cast<const Cg4Block*>(&channel_group); group != nullptr) {
    smallest_record += group->IsVlsd() ? 4 : group->RecordSize();
  }
  smallest_record = std::max<uint64_t>(1, smallest_record);
  SampleBound bound{block->DataSize() / smallest_record, std::nullopt};
  if (const auto in_file = block->RecordBytesInFile(); in_file.has_value()) {
    bound.samples_in_file = *in_file / smallest_record;
  }
  return bound;
}

template <typename T>
ChannelObserver<T>::ChannelObserver(IDataGroup& data_group, const IChannelGroup& channel_group, const IChannel& channel)
    : IChannelObserver(data_group, channel), record_id_(channel_group.RecordId()), channel_group_(channel_group) {
  // The sample count comes from the file: only what the data can hold is allocated.
  const SampleBound bound = SamplesInData(data_group, channel_group);
  const uint64_t nof_samples = std::min(channel_group.NofSamples(), bound.max_samples);
  uint64_t array_size = ArraySizeOf(channel);
  if (const auto* group = dynamic_cast<const Cg4Block*>(&channel_group); group != nullptr && !group->IsVlsd()) {
    // No element can start beyond the record's last bit: a larger array is damaged.
    array_size = std::min(array_size, std::max<uint64_t>(1, group->RecordSize() * 8));
  }
  array_size_ = array_size;
  const uint64_t max_slots = std::min<uint64_t>(std::numeric_limits<size_t>::max() / 16, valid_list_.max_size());
  if (nof_samples > max_slots / array_size) {
    throw MdfRuntimeError("Too many samples for a channel observer.");
  }
  max_slots_ = nof_samples * array_size;
  // When the bytes the file holds are known, the buffers take what they can hold at
  // once. Otherwise (zipped blocks, whose claimed sizes may lie) they take a first share
  // and grow with the records that really arrive.
  uint64_t nof_slots = std::min(max_slots_, kInitialSlots);
  if (bound.samples_in_file.has_value()) {
    nof_slots = *bound.samples_in_file > max_slots_ / array_size ? max_slots_ : *bound.samples_in_file * array_size;
  }
  channel_type_ = channel.ChannelType();
  vlsd_group_ = channel_type_ == kVlsdChannel && channel.VlsdRecordId() != 0;
  // Checked once here, so that the decoders below need not check the layout per value.
  bits_in_record_ = GivesValue(CheckChannelBits(channel));
  if constexpr (kIsNumber) {
    const uint8_t data_type = channel.DataType();
    const uint32_t nof_bits = channel.BitCount();
    const bool fixed_place =
        channel_type_ != kVlsdChannel && channel_type_ != kVirtualMasterChannel && channel_type_ != kVirtualDataChannel;
    const bool float_width = nof_bits == 16 || nof_bits == 32 || nof_bits == 64;
    if (bits_in_record_ && fixed_place &&
        (data_type <= kSignedBe || ((data_type == kFloatLe || data_type == kFloatBe) && float_width))) {
      layout_.active = true;
      layout_.invalidation_bit = (channel.Flags() & 0x02U) != 0;
      layout_.data_type = data_type;
      layout_.nof_bits = nof_bits;
      layout_.first_bit = uint64_t{channel.ByteOffset()} * 8 + channel.BitOffset();
    }
  }
  if (bits_in_record_) SetUpFastPath(channel);
  if constexpr (kIsBytes<T>) {
    // A byte array of a fixed-length channel takes the same bytes in every sample.
    const uint8_t data_type = channel.DataType();
    const bool fixed_length = channel_type_ == kFixedLengthChannel &&
                              (data_type == kByteArray || data_type == kMimeSample || data_type == kMimeStream);
    byte_slots_.FixedWidth(fixed_length ? channel.DataBytes() : 0);
  }
  Grow(nof_slots);
}

template <typename T>
bool ChannelObserver<T>::GrowFor(uint64_t nof_slots) {
  if (nof_slots > max_slots_) {
    return false;
  }
  Grow(std::min(max_slots_, std::max(nof_slots, 2 * nof_slots_)));
  return true;
}

template <typename T>
void ChannelObserver<T>::Grow(uint64_t nof_slots) {
  nof_slots_ = nof_slots;
  valid_list_.resize(nof_slots);
  if constexpr (kIsBytes<T>) {
    byte_slots_.Resize(nof_slots);
  } else if constexpr (kIsNumber) {
    value_list_.Resize(nof_slots);
  } else {
    value_list_.resize(nof_slots);
  }
  if (channel_type_ == kVlsdChannel) {
    offset_list_.resize(nof_slots, 0);
  }
  if (vlsd_group_) {
    reference_invalid_.resize(nof_slots);
    entry_invalid_.resize(nof_slots);
  }
}

template <typename T>
ChannelObserver<T>::~ChannelObserver() {
  ChannelObserver::Detach();
}

template <typename T>
const std::vector<uint8_t>& ChannelObserver<T>::AsVector(const Record& record) {
  if (record.vector != nullptr) {
    return *record.vector;
  }
  record_copy_.assign(record.data, record.data + record.size);
  return record_copy_;
}

template <typename T>
[[gnu::always_inline]] inline bool ChannelObserver<T>::DecodeNumeric(const Record& record, uint64_t element, T& value) {
  if constexpr (kIsNumber) {
    const uint64_t nof_bits = layout_.nof_bits;
    const uint64_t size = record.size;
    const uint64_t record_bits = size * 8;
    uint64_t position = 0;
    if (__builtin_mul_overflow(element, nof_bits, &position) ||
        __builtin_add_overflow(position, layout_.first_bit, &position) || position > record_bits ||
        nof_bits > record_bits - position) {
      value = T{};
      return false;
    }
    const uint8_t* data = record.data;
    switch (layout_.data_type) {
      case kUnsignedLe:
      case kUnsignedBe:
        value = static_cast<T>(DecodeUnsignedIn(layout_.data_type == kUnsignedLe, position, nof_bits, data, size));
        break;
      case kSignedLe:
      case kSignedBe:
        value = static_cast<T>(
            SignExtend(DecodeUnsignedIn(layout_.data_type == kSignedLe, position, nof_bits, data, size), nof_bits));
        break;
      default: {
        const double number = DecodeFloatIn(layout_.data_type == kFloatLe, position, nof_bits, data, size);
        value = ConvertNumber<T>(number);
        break;
      }
    }
    // Without an invalidation bit every value that was read is valid.
    return !layout_.invalidation_bit || channel_.GetValid(AsVector(record), element);
  } else {
    return false;  // only numbers are decoded here
  }
}

template <typename T>
[[gnu::cold, gnu::noinline]] void ChannelObserver<T>::ZeroSkipped(uint64_t slot) {
  if constexpr (kIsNumber) {
    for (uint64_t gap = written_; gap < slot; ++gap) value_list_[gap] = T{};  // rare: samples skipped
  }
}

template <typename T>
[[gnu::always_inline]] inline void ChannelObserver<T>::PutNumber(uint64_t slot, T value, bool valid) {
  if constexpr (kIsNumber) {
    if (slot > written_) {
      ZeroSkipped(slot);
    }
    value_list_[slot] = value;
    written_ = std::max(written_, slot + 1);
    valid_list_.Set(slot, valid);
  }
}

template <typename T>
[[gnu::always_inline]] inline void ChannelObserver<T>::StoreValue(const Record& record, uint64_t slot,
                                                                  uint64_t element) {
  if constexpr (kIsNumber) {
    T value{};
    const bool valid = layout_.active ? DecodeNumeric(record, element, value)
                                      : channel_.ValueFromRecord(AsVector(record), value, element);
    PutNumber(slot, value, valid);
  } else if constexpr (kIsBytes<T>) {
    scratch_.clear();
    valid_list_.Set(slot, channel_.ValueFromRecord(AsVector(record), scratch_, element));
    byte_slots_.Set(slot, scratch_.data(), scratch_.size());
  } else {
    // Filled in place: a slot read again keeps its capacity.
    T& value = value_list_[slot];
    value.clear();
    valid_list_.Set(slot, channel_.ValueFromRecord(AsVector(record), value, element));
  }
}

template <typename T>
void ChannelObserver<T>::StoreMissing(uint64_t slot) {
  if (vlsd_group_) {
    // The value lies in the VLSD group's record, not in this one: it stays, but invalid.
    if constexpr (kIsNumber) {
      if (slot >= written_) PutNumber(slot, T{}, false);
    }
    reference_invalid_.Set(slot, true);
    valid_list_.Set(slot, false);
    return;
  }
  if constexpr (kIsNumber) {
    PutNumber(slot, T{}, false);
  } else if constexpr (kIsBytes<T>) {
    byte_slots_.Set(slot, nullptr, 0);
  } else {
    value_list_[slot].clear();
  }
  valid_list_.Set(slot, false);
}

template <typename T>
void ChannelObserver<T>::StoreVlsdEntry(const Record& record, uint64_t slot) {
  const std::vector<uint8_t>& entry = AsVector(record);
  bool read = false;
  if constexpr (kIsNumber) {
    T value{};
    read = channel_.ValueFromVlsdRecord(entry, value);
    PutNumber(slot, value, read);
  } else if constexpr (kIsBytes<T>) {
    scratch_.clear();
    read = channel_.ValueFromVlsdRecord(entry, scratch_);
    byte_slots_.Set(slot, scratch_.data(), scratch_.size());
  } else {
    T& value = value_list_[slot];
    value.clear();
    read = channel_.ValueFromVlsdRecord(entry, value);
  }
  entry_invalid_.Set(slot, !read);
  valid_list_.Set(slot, read && !reference_invalid_[slot]);
}

template <typename T>
void ChannelObserver<T>::StoreVlsdReference(const std::vector<uint8_t>& record, uint64_t slot, uint64_t element) {
  uint64_t offset = 0;
  const bool valid = channel_.UnsignedFromRecord(record, offset, element) && channel_.GetValid(record, element);
  offset_list_[slot] = offset;
  if constexpr (kIsNumber) {
    if (slot >= written_) PutNumber(slot, T{}, valid);  // a value that came first stays
  }
  reference_invalid_.Set(slot, !valid);
  valid_list_.Set(slot, valid && !entry_invalid_[slot]);
}

template <typename T>
void ChannelObserver<T>::SetUpFastPath(const IChannel& channel) {
  fast_ = FastPath{};
  // 64 bits: the counts come from the file, and a 32-bit sum wraps.
  const uint64_t nof_bits = channel.BitCount();
  const uint64_t shift = channel.BitOffset();
  const bool fixed_place = channel_type_ == kFixedLengthChannel || channel_type_ == kMasterChannel ||
                           channel_type_ == kSyncChannel || channel_type_ == kMaxLengthChannel;
  // A byte-array channel whose values are the records of a VLSD channel group: its own
  // record holds the offset, the other group's record is the value (a CAN FD payload).
  const bool vlsd_group = kIsBytes<T> && channel_type_ == kVlsdChannel && channel.VlsdRecordId() != 0;
  if ((!fixed_place && !vlsd_group) || array_size_ != 1 || (channel.Flags() & 0x02U) != 0) {
    return;  // elements, invalidation bits and values elsewhere take the general path
  }
  fast_.first_byte = channel.ByteOffset();
  if constexpr (kIsNumber) {
    const uint8_t data_type = channel.DataType();
    if ((data_type == kUnsignedLe || data_type == kSignedLe) && nof_bits > 0 && shift + nof_bits <= 64) {
      fast_.kind = data_type == kUnsignedLe ? Fast::kUnsignedBits : Fast::kSignedBits;
      fast_.shift = static_cast<uint8_t>(shift);
      fast_.mask = nof_bits == 64 ? ~uint64_t{0} : (uint64_t{1} << nof_bits) - 1;
      fast_.sign = uint64_t{1} << (nof_bits - 1);
      fast_.nof_bytes = static_cast<uint32_t>((shift + nof_bits + 7) / 8);
    } else if (data_type == kFloatLe && shift == 0 && (nof_bits == 32 || nof_bits == 64)) {
      fast_.kind = nof_bits == 32 ? Fast::kFloat32 : Fast::kFloat64;
      fast_.nof_bytes = static_cast<uint32_t>(nof_bits / 8);
    }
  } else if constexpr (kIsBytes<T>) {
    const uint8_t data_type = channel.DataType();
    // As the channel locates a fixed byte array: its whole bytes at its byte offset.
    if (channel_type_ == kFixedLengthChannel && data_type >= kByteArray && data_type <= kMimeStream && nof_bits > 0 &&
        nof_bits % 8 == 0) {
      fast_.kind = Fast::kBytes;
      fast_.nof_bytes = static_cast<uint32_t>(nof_bits / 8);
    } else if (vlsd_group && nof_bits > 0 && shift + nof_bits <= 64) {
      // The offset, as IChannel::UnsignedFromRecord reads a VLSD channel: little endian.
      fast_.kind = Fast::kVlsdOffset;
      fast_.shift = static_cast<uint8_t>(shift);
      fast_.mask = nof_bits == 64 ? ~uint64_t{0} : (uint64_t{1} << nof_bits) - 1;
      fast_.nof_bytes = static_cast<uint32_t>((shift + nof_bits + 7) / 8);
    }
  }
  fast_.min_size = uint64_t{fast_.first_byte} + fast_.nof_bytes;
  shortcut_.record_id = record_id_;
  switch (fast_.kind) {
    case Fast::kUnsignedBits:
      shortcut_.store = &TakeRecord<Fast::kUnsignedBits>;
      break;
    case Fast::kSignedBits:
      shortcut_.store = &TakeRecord<Fast::kSignedBits>;
      break;
    case Fast::kFloat32:
      shortcut_.store = &TakeRecord<Fast::kFloat32>;
      break;
    case Fast::kFloat64:
      shortcut_.store = &TakeRecord<Fast::kFloat64>;
      break;
    case Fast::kBytes:
      shortcut_.store = &TakeRecord<Fast::kBytes>;
      break;
    case Fast::kVlsdOffset:
      // The shortcut takes the values: the VLSD group's records, the many bytes.
      shortcut_.record_id = channel.VlsdRecordId();
      shortcut_.store = &TakeVlsdValue;
      break;
    case Fast::kNone:
      shortcut_.store = nullptr;
      break;
  }
}

template <typename T>
template <typename ChannelObserver<T>::Fast kKind>
[[gnu::always_inline]] inline void ChannelObserver<T>::StoreFastAs(uint64_t sample, const uint8_t* record,
                                                                   size_t size) {
  const uint8_t* bytes = record + fast_.first_byte;
  if constexpr (kIsNumber && (kKind == Fast::kUnsignedBits || kKind == Fast::kSignedBits)) {
    uint64_t bits = fast_.first_byte + 8 <= size ? LoadLe64(bytes) : LoadUnsigned(bytes, fast_.nof_bytes, false);
    bits = bits >> fast_.shift & fast_.mask;
    if constexpr (kKind == Fast::kUnsignedBits) {
      PutNumber(sample, static_cast<T>(bits), true);
    } else {
      PutNumber(sample, static_cast<T>(static_cast<int64_t>((bits ^ fast_.sign) - fast_.sign)), true);
    }
  } else if constexpr (kIsNumber && (kKind == Fast::kFloat32 || kKind == Fast::kFloat64)) {
    double number = 0.0;
    if constexpr (kKind == Fast::kFloat32) {
      const uint32_t bits = LoadLe32(bytes);
      float single = 0.0F;
      std::memcpy(&single, &bits, sizeof(single));
      number = single;
    } else {
      const uint64_t bits = LoadLe64(bytes);
      std::memcpy(&number, &bits, sizeof(number));
    }
    PutNumber(sample, ConvertNumber<T>(number), true);
  } else if constexpr (kIsBytes<T> && kKind == Fast::kBytes) {
    byte_slots_.Set(sample, bytes, fast_.nof_bytes);
    valid_list_.Set(sample, true);
  } else if constexpr (kIsBytes<T> && kKind == Fast::kVlsdOffset) {
    // Without an invalidation bit the reference is valid; the value's record may not be.
    const uint64_t bits = fast_.first_byte + 8 <= size ? LoadLe64(bytes) : LoadUnsigned(bytes, fast_.nof_bytes, false);
    offset_list_[sample] = bits >> fast_.shift & fast_.mask;
    reference_invalid_.Set(sample, false);
    valid_list_.Set(sample, !entry_invalid_[sample]);
  }
}

template <typename T>
bool ChannelObserver<T>::TakeVlsdValue(ISampleObserver& observer, uint64_t sample, const uint8_t* record, size_t size) {
  auto& self = static_cast<ChannelObserver<T>&>(observer);  // set by this class only
  if constexpr (kIsBytes<T>) {
    if (sample < self.nof_slots_) {
      self.byte_slots_.Set(sample, record, size);  // the whole record is the value
      self.entry_invalid_.Set(sample, false);
      self.valid_list_.Set(sample, !self.reference_invalid_[sample]);
      return true;
    }
  }
  return false;
}

template <typename T>
void ChannelObserver<T>::StoreFast(uint64_t sample, const uint8_t* record, size_t size) {
  switch (fast_.kind) {
    case Fast::kUnsignedBits:
      return StoreFastAs<Fast::kUnsignedBits>(sample, record, size);
    case Fast::kSignedBits:
      return StoreFastAs<Fast::kSignedBits>(sample, record, size);
    case Fast::kFloat32:
      return StoreFastAs<Fast::kFloat32>(sample, record, size);
    case Fast::kFloat64:
      return StoreFastAs<Fast::kFloat64>(sample, record, size);
    case Fast::kBytes:
      return StoreFastAs<Fast::kBytes>(sample, record, size);
    case Fast::kVlsdOffset:
      return StoreFastAs<Fast::kVlsdOffset>(sample, record, size);
    case Fast::kNone:
      return;
  }
}

template <typename T>
template <typename ChannelObserver<T>::Fast kKind>
bool ChannelObserver<T>::TakeRecord(ISampleObserver& observer, uint64_t sample, const uint8_t* record, size_t size) {
  auto& self = static_cast<ChannelObserver<T>&>(observer);  // set by this class only
  // Samples arrive in order; one that skips others, or does not fit, takes OnRecord. So this
  // stays a leaf function (bench_unsorted, every channel).
  if (sample >= self.nof_slots_ || size < self.fast_.min_size || (kIsNumber && sample > self.written_)) {
    return false;
  }
  self.template StoreFastAs<kKind>(sample, record, size);
  return true;
}

template <typename T>
bool ChannelObserver<T>::OnSample(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) {
  if (fast_.kind != Fast::kNone && record_id == record_id_ && sample < nof_slots_ && record.size() >= fast_.min_size) {
    StoreFast(sample, record.data(), record.size());
    return true;
  }
  return Dispatch(sample, record_id, {record.data(), record.size(), &record});
}

template <typename T>
bool ChannelObserver<T>::OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) {
  if (fast_.kind != Fast::kNone && record_id == record_id_ && sample < nof_slots_ && size >= fast_.min_size) {
    StoreFast(sample, record, size);
    return true;
  }
  return Dispatch(sample, record_id, {record, size, nullptr});
}

template <typename T>
[[gnu::noinline]] bool ChannelObserver<T>::Dispatch(uint64_t sample, uint64_t record_id, const Record& record) {
  const bool own_record = record_id == record_id_;
  const uint64_t array_size = array_size_;
  if (own_record && array_size == 1 && layout_.active) {
    // The common case: one numeric value per record.
    if (sample < nof_slots_ || GrowFor(sample + 1)) {
      StoreValue(record, sample, 0);
    }
    return true;
  }
  const uint64_t vlsd_record_id = channel_.VlsdRecordId();
  if (!own_record && (vlsd_record_id == 0 || record_id != vlsd_record_id)) {
    return true;
  }
  uint64_t first = 0;
  if (__builtin_mul_overflow(sample, array_size, &first) || first >= max_slots_) {
    return true;  // every slot of the sample lies beyond the buffers
  }
  const uint64_t last = std::min(first + array_size, max_slots_);  // no overflow: first < max_slots_
  if (last > nof_slots_) {
    GrowFor(last);
  }
  if (own_record && !bits_in_record_) {
    for (uint64_t slot = first; slot < last; ++slot) StoreMissing(slot);
    return true;
  }
  switch (channel_type_) {
    case kVlsdChannel:
      if (own_record) {
        const std::vector<uint8_t>& bytes = AsVector(record);
        for (uint64_t slot = first; slot < last; ++slot) {
          const uint64_t element = slot - first;
          if (vlsd_group_) {
            StoreVlsdReference(bytes, slot, element);  // the value comes with the VLSD group's records
            continue;
          }
          uint64_t offset = 0;
          const bool offset_read = channel_.UnsignedFromRecord(bytes, offset, element);
          offset_list_[slot] = offset;
          if (read_vlsd_data_) {
            StoreValue(record, slot, element);  // from the signal data; its flag counts the invalidation bit
            continue;
          }
          const bool valid = offset_read && channel_.GetValid(bytes, element);
          if constexpr (kIsNumber) {
            PutNumber(slot, T{}, valid);
          }
          valid_list_.Set(slot, valid);
        }
      } else {
        // A record of the VLSD channel group: the whole record is the value, and the
        // sample is the VLSD group's own record count.
        for (uint64_t slot = first; slot < last; ++slot) {
          StoreVlsdEntry(record, slot);
        }
      }
      break;
    case kVirtualMasterChannel:
    case kVirtualDataChannel:
      if (own_record) {
        for (uint64_t slot = first; slot < last; ++slot) {
          if constexpr (kIsBytes<T>) {
            byte_slots_.Set(slot, nullptr, 0);  // a byte array has no number
            valid_list_.Set(slot, true);
          } else if constexpr (kIsNumber) {
            PutNumber(slot, SampleIndexAs<T>(sample), true);
          } else {
            value_list_[slot] = SampleIndexAs<T>(sample);
            valid_list_.Set(slot, true);
          }
        }
      }
      break;
    default:
      if (own_record) {
        for (uint64_t slot = first; slot < last; ++slot) {
          StoreValue(record, slot, slot - first);
        }
      }
      break;
  }
  return true;
}

template <typename T>
bool ChannelObserver<T>::SlotIndex(uint64_t sample, uint64_t array_index, uint64_t& slot) const {
  return array_index < array_size_ && !__builtin_mul_overflow(sample, array_size_, &slot) &&
         !__builtin_add_overflow(slot, array_index, &slot) && slot < nof_slots_;
}

template <typename T>
T ChannelObserver<T>::ValueAt(uint64_t slot) const {
  if constexpr (kIsNumber) {
    return slot < written_ ? value_list_[slot] : T{};
  } else {
    return value_list_[slot];
  }
}

template <typename T>
template <typename V>
bool ChannelObserver<T>::SampleAs(uint64_t sample, V& value, uint64_t array_index, const char* parse_name) const {
  uint64_t slot = 0;
  const bool inside = SlotIndex(sample, array_index, slot);
  value = V{};
  if (inside) {
    if constexpr (kIsText<T>) {
      value = ParseNumberOrThrow<V>(value_list_[slot], parse_name);
    } else if constexpr (kIsBytes<T>) {
      (void)parse_name;
    } else {
      // Signed values are sign-extended, unsigned ones zero-extended, floats truncated.
      value = ConvertNumber<V>(ValueAt(slot));
    }
  }
  return inside && ValidAt(slot);
}

template <typename T>
bool ChannelObserver<T>::GetSampleUnsigned(uint64_t sample, uint64_t& value, uint64_t array_index) const {
  return SampleAs(sample, value, array_index, "stoull");
}

template <typename T>
bool ChannelObserver<T>::GetSampleSigned(uint64_t sample, int64_t& value, uint64_t array_index) const {
  return SampleAs(sample, value, array_index, "stoll");
}

template <typename T>
bool ChannelObserver<T>::GetSampleFloat(uint64_t sample, double& value, uint64_t array_index) const {
  return SampleAs(sample, value, array_index, "stod");
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
    const auto [data, size] = byte_slots_.Get(slot);
    value = BytesToHexText(ByteArray(data, data + size));
  } else {
    try {
      value = ValueText(ValueAt(slot));
    } catch (const std::exception&) {
      return false;
    }
  }
  return ValidAt(slot);
}

template <typename T>
bool ChannelObserver<T>::GetSampleByteArray(uint64_t sample, std::vector<uint8_t>& value) const {
  if constexpr (kIsBytes<T>) {
    if (sample < nof_slots_) {
      const auto [data, size] = byte_slots_.Get(sample);
      value.assign(data, data + size);
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

template <typename T>
uint64_t ChannelObserver<T>::NofHeldSamples() const {
  return std::min(NofSamples(), nof_slots_ / array_size_);
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
