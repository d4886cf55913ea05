#pragma once
// The channel observer for one value type T: int8_t to uint64_t, float, double,
// std::string or std::vector<uint8_t>. Its buffers hold the channel group's sample count
// times the channel's array size at most, bounded by what the data group's records can
// hold: sized once when the bytes the file holds are known, else grown with the records
// that arrive.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "mdf/ichannelobserver.h"
#include "platformshim.h"

namespace mdf {
class IChannelGroup;
}

namespace mdf::detail {

/// Slots for numbers that are never zero-filled: a slot is written before it is read, and
/// growing moves the values without touching the rest (realloc, which can remap large
/// blocks instead of copying them). Reading logger files fills hundreds of megabytes of
/// them, where zero-filling and copying on growth took about half of the time
/// (bench_unsorted, every channel).
template <typename T>
class NumberSlots {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  NumberSlots() = default;
  ~NumberSlots() { platform::ResizeBlock(data_, bytes_, 0); }
  NumberSlots(const NumberSlots&) = delete;
  NumberSlots& operator=(const NumberSlots&) = delete;

  /// Room for `count` slots; the values held are kept. Throws std::bad_alloc.
  void Resize(uint64_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = static_cast<size_t>(count) * sizeof(T);
    void* resized = platform::ResizeBlock(data_, bytes_, bytes);
    if (resized == nullptr && bytes > 0) throw std::bad_alloc();
    data_ = static_cast<T*>(resized);
    bytes_ = bytes;
  }
  T& operator[](uint64_t slot) { return data_[slot]; }
  const T& operator[](uint64_t slot) const { return data_[slot]; }

 private:
  T* data_ = nullptr;
  size_t bytes_ = 0;
};

/// Byte-array values, one per slot, without a zero-filled or copied buffer. A channel of a
/// fixed width keeps them back to back, slot after slot; values of other lengths (VLSD
/// data, or a value a record cuts short) follow each other in slot order, each slot keeping
/// where its value ends.
class ByteSlots {
 public:
  /// `fixed_width`: the length every value of the channel has, 0 when they vary. Set
  /// before the first Resize.
  void FixedWidth(uint64_t fixed_width) { width_ = fixed_width; }
  /// Room for `count` slots; values held are kept.
  void Resize(uint64_t count);
  /// The value of a slot inside the room; a slot never written is empty. A slot written
  /// again with a value of another length drops the values of the slots after it, which a
  /// read delivers again after it.
  void Set(uint64_t slot, const uint8_t* data, uint64_t size);
  [[nodiscard]] std::pair<const uint8_t*, uint64_t> Get(uint64_t slot) const;

 private:
  /// From back-to-back values to an end per slot.
  void MakeVariable();
  [[nodiscard]] uint64_t End(uint64_t slot) const { return wide_ ? ends64_[slot] : ends32_[slot]; }
  [[nodiscard]] uint64_t Begin(uint64_t slot) const { return slot == 0 ? 0 : End(slot - 1); }
  void SetEnd(uint64_t slot, uint64_t end);

  uint64_t width_ = 0;
  uint64_t slots_ = 0;    // room
  uint64_t written_ = 0;  // slots below this hold a value
  NumberSlots<uint8_t> store_;
  uint64_t store_size_ = 0;
  uint64_t store_room_ = 0;
  // Where each value ends, for variable lengths only: 32 bits until the store outgrows
  // them, which halves the table of a file's CAN FD payloads (bench_loggerlayout).
  bool wide_ = false;
  NumberSlots<uint32_t> ends32_;
  NumberSlots<uint64_t> ends64_;
};

template <typename T>
class ChannelObserver : public IChannelObserver {
 public:
  /// Sizes the buffers and stays attached to the data group. Throws when the buffers
  /// cannot be sized; the observer is then detached again.
  ChannelObserver(IDataGroup& data_group, const IChannelGroup& channel_group, const IChannel& channel);
  ~ChannelObserver() override;

  bool OnSample(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) override;
  bool OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) override;

  bool GetSampleUnsigned(uint64_t sample, uint64_t& value, uint64_t array_index) const override;
  bool GetSampleSigned(uint64_t sample, int64_t& value, uint64_t array_index) const override;
  bool GetSampleFloat(uint64_t sample, double& value, uint64_t array_index) const override;
  bool GetSampleText(uint64_t sample, std::string& value, uint64_t array_index) const override;
  bool GetSampleByteArray(uint64_t sample, std::vector<uint8_t>& value) const override;
  [[nodiscard]] uint64_t NofSamples() const override;
  [[nodiscard]] uint64_t NofHeldSamples() const override;

  /// Slots held so far: up to samples x array size, growing as samples arrive.
  [[nodiscard]] uint64_t NofSlots() const { return nof_slots_; }

 private:
  static constexpr bool kIsNumber = std::is_arithmetic_v<T>;
  using Values = std::conditional_t<kIsNumber, NumberSlots<T>, std::vector<T>>;

  // A numeric value at a fixed place in the record (data types 0 to 5, no VLSD and no
  // virtual channel) is decoded here from a description taken once, as
  // IChannel::ValueFromRecord decodes it; every other channel goes through that function.
  struct NumericLayout {
    bool active = false;
    bool invalidation_bit = false;  // flag 2: the record holds a valid bit for the value
    uint8_t data_type = 0;
    uint32_t nof_bits = 0;
    uint64_t first_bit = 0;
  };
  // A single little-endian value at a fixed place without invalidation bit, the layout of
  // nearly every logger channel, decoded in a few instructions before anything else is
  // looked at; everything else goes through Dispatch (bench_unsorted, bench_loggerlayout).
  enum class Fast : uint8_t { kNone, kUnsignedBits, kSignedBits, kFloat32, kFloat64, kBytes, kVlsdOffset };
  struct FastPath {
    Fast kind = Fast::kNone;
    uint8_t shift = 0;
    uint32_t nof_bytes = 0;
    uint64_t mask = 0;  // of the value's bits
    uint64_t sign = 0;  // the sign bit of a signed value
    uint32_t first_byte = 0;
    uint64_t min_size = 0;  // the record must hold the value's bytes
  };
  void SetUpFastPath(const IChannel& channel);
  void StoreFast(uint64_t sample, const uint8_t* record, size_t size);
  template <Fast kKind>
  void StoreFastAs(uint64_t sample, const uint8_t* record, size_t size);
  /// The observer's record shortcut for the kind (ISampleObserver::Shortcut).
  template <Fast kKind>
  static bool TakeRecord(ISampleObserver& observer, uint64_t sample, const uint8_t* record, size_t size);
  static bool TakeVlsdValue(ISampleObserver& observer, uint64_t sample, const uint8_t* record, size_t size);
  /// The record as a vector, for the channel's own decoders: the caller's when it has one,
  /// else a copy.
  struct Record {
    const uint8_t* data;
    size_t size;
    const std::vector<uint8_t>* vector;
  };
  bool Dispatch(uint64_t sample, uint64_t record_id, const Record& record);
  const std::vector<uint8_t>& AsVector(const Record& record);
  bool DecodeNumeric(const Record& record, uint64_t element, T& value);
  void StoreValue(const Record& record, uint64_t slot, uint64_t element);
  /// A VLSD channel group's record as the value of a slot; valid when it was read and the
  /// channel's own record did not mark the element invalid.
  void StoreVlsdEntry(const Record& record, uint64_t slot);
  /// The channel's own record of a slot whose value lies in a VLSD channel group: the
  /// offset and the element's validity, which holds for the value whenever it comes.
  void StoreVlsdReference(const std::vector<uint8_t>& record, uint64_t slot, uint64_t element);
  /// A slot of the channel's own record, whose bits lie outside the record: no value, or an
  /// invalid one where it lies in a VLSD group's record.
  void StoreMissing(uint64_t slot);
  /// Writes a number into a slot; slots skipped on the way are zeroed.
  void PutNumber(uint64_t slot, T value, bool valid);
  void ZeroSkipped(uint64_t slot);

  /// Slots allocated at once when the data's size is not known; more follow as samples
  /// arrive.
  static constexpr uint64_t kInitialSlots = 4096;
  /// Makes room for the slot count, within the most the observer may hold.
  bool GrowFor(uint64_t nof_slots);
  void Grow(uint64_t nof_slots);

  /// Slot of (sample, element); false when it lies beyond the buffers.
  bool SlotIndex(uint64_t sample, uint64_t array_index, uint64_t& slot) const;
  [[nodiscard]] bool ValidAt(uint64_t slot) const { return slot < valid_list_.size() && valid_list_[slot]; }
  /// The value of a slot that lies inside the buffers; a slot never written reads as zero.
  [[nodiscard]] T ValueAt(uint64_t slot) const;
  /// The held sample as an unsigned, signed or floating value; texts are parsed, and
  /// `parse_name` names the parse in the error a bad text throws.
  template <typename V>
  bool SampleAs(uint64_t sample, V& value, uint64_t array_index, const char* parse_name) const;

  uint64_t record_id_ = 0;
  uint64_t array_size_ = 1;  // elements per sample when the buffers were sized
  uint64_t max_slots_ = 0;   // samples x array size, what the buffers may grow to
  uint8_t channel_type_ = 0;
  // The channel gives values (its bits lie in its record and its types are known:
  // GivesValue); else no value is decoded.
  bool bits_in_record_ = true;
  // The values lie in a VLSD channel group: each slot's value and validity come in two
  // records, in either order, and each record's verdict is kept until the other arrives.
  bool vlsd_group_ = false;
  ValidFlags reference_invalid_;  // the channel's own record marks the element invalid
  ValidFlags entry_invalid_;      // the VLSD group's record gave no value
  NumericLayout layout_;
  FastPath fast_;
  uint64_t nof_slots_ = 0;
  uint64_t written_ = 0;  // slots below this hold a value (numbers)
  // The values of every type but byte arrays, one per slot.
  Values value_list_;
  // Byte arrays share one store, so that filling a sample allocates nothing.
  ByteSlots byte_slots_;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> record_copy_;
  const IChannelGroup& channel_group_;
};

/// How many samples of the channel group the data group's data can hold, by the smallest
/// record the group can have: at most, as the blocks claim (no limit when the data group is
/// no block), and, when known, as the distinct bytes the file holds, the buffers to take at
/// once (a list that names one block twice delivers its records twice: the buffers grow).
struct SampleBound {
  uint64_t max_samples;
  std::optional<uint64_t> samples_in_file;
};
SampleBound SamplesInData(const IDataGroup& data_group, const IChannelGroup& channel_group);

}  // namespace mdf::detail
