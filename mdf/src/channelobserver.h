#pragma once
// The channel observer for one value type T: int8_t to uint64_t, float, double,
// std::string or std::vector<uint8_t>. Its buffers are sized once, when it is created, to
// the channel group's sample count times the channel's array size.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "mdf/ichannelobserver.h"

namespace mdf {
class IChannelGroup;
}

namespace mdf::detail {

template <typename T>
class ChannelObserver : public IChannelObserver {
 public:
  /// Sizes the buffers and stays attached to the data group. Throws when the buffers
  /// cannot be sized; the observer is then detached again.
  ChannelObserver(IDataGroup& data_group, const IChannelGroup& channel_group, const IChannel& channel);
  ~ChannelObserver() override;

  bool OnSample(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) override;

  bool GetSampleUnsigned(uint64_t sample, uint64_t& value, uint64_t array_index) const override;
  bool GetSampleSigned(uint64_t sample, int64_t& value, uint64_t array_index) const override;
  bool GetSampleFloat(uint64_t sample, double& value, uint64_t array_index) const override;
  bool GetSampleText(uint64_t sample, std::string& value, uint64_t array_index) const override;
  bool GetSampleByteArray(uint64_t sample, std::vector<uint8_t>& value) const override;
  [[nodiscard]] uint64_t NofSamples() const override;

  /// Slots held so far: up to samples x array size, growing as samples arrive.
  [[nodiscard]] uint64_t NofSlots() const { return nof_slots_; }

 private:
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
  bool DecodeNumeric(const std::vector<uint8_t>& record, uint64_t element, T& value) const;
  void StoreValue(const std::vector<uint8_t>& record, uint64_t slot, uint64_t element);
  void SetBytes(uint64_t slot, const std::vector<uint8_t>& bytes);

  /// Slots allocated at once; more follow as samples arrive.
  static constexpr uint64_t kInitialSlots = 4096;
  /// The most bytes reserved at once for the byte-array store.
  static constexpr uint64_t kMaxStoreReserve = uint64_t{16} << 20;
  /// Makes room for the slot count, within the most the observer may hold.
  bool GrowFor(uint64_t nof_slots);
  void Grow(uint64_t nof_slots);

  /// Slot of (sample, element); false when it lies beyond the buffers.
  bool SlotIndex(uint64_t sample, uint64_t array_index, uint64_t& slot) const;
  [[nodiscard]] bool ValidAt(uint64_t slot) const { return slot < valid_list_.size() && valid_list_[slot]; }

  uint64_t record_id_ = 0;
  uint64_t array_size_ = 1;  // elements per sample when the buffers were sized
  uint64_t max_slots_ = 0;   // samples x array size, what the buffers may grow to
  uint8_t channel_type_ = 0;
  NumericLayout layout_;
  uint64_t nof_slots_ = 0;
  // The values of every type but byte arrays, one per slot.
  std::vector<T> value_list_;
  // Byte arrays share one store, each slot holding the offset and length of its bytes, so
  // that filling a sample allocates nothing; a value read again in its old size is
  // overwritten in place.
  std::vector<uint8_t> byte_store_;
  std::vector<std::pair<uint64_t, uint64_t>> byte_slots_;
  std::vector<uint8_t> scratch_;
  const IChannelGroup& channel_group_;
};

/// Samples of the channel group that the data group's data can hold at most, by the
/// smallest record the group can have; no limit when the data size is unknown.
uint64_t MaxSamplesInData(const IDataGroup& data_group, const IChannelGroup& channel_group);

}  // namespace mdf::detail
