#pragma once
// Public interface of a sample reduction (MDF4 SR block): a reduced copy of a channel
// group's records, three records (mean, minimum, maximum) per reduced sample.
#include <cstdint>

#include "mdf/iblock.h"

namespace mdf {

class IChannel;
class IChannelGroup;

/// One reduced sample of one channel; T is uint64_t, int64_t or double.
template <typename T>
struct SrValue {
  T mean_value{};
  T min_value{};
  T max_value{};
  bool mean_valid = false;
  bool min_valid = false;
  bool max_valid = false;
};

class ISampleReduction : public IBlock {
 public:
  ~ISampleReduction() override = default;

  /// Number of reduced samples.
  [[nodiscard]] virtual uint64_t NofSamples() const = 0;
  virtual void NofSamples(uint64_t nof_samples) = 0;
  /// Length of the reduction interval in the unit of the sync type.
  [[nodiscard]] virtual double Interval() const = 0;
  virtual void Interval(double interval) = 0;
  /// 1 time, 2 angle, 3 distance, 4 index.
  [[nodiscard]] virtual uint8_t SyncType() const = 0;
  virtual void SyncType(uint8_t sync_type) = 0;
  /// Bit 0: the reduced records carry invalidation bytes.
  [[nodiscard]] virtual uint8_t Flags() const = 0;
  virtual void Flags(uint8_t flags) = 0;
  /// The channel group the reduction belongs to, or null.
  [[nodiscard]] virtual const IChannelGroup* ChannelGroup() const = 0;
  /// Drops the reduction data loaded by a read.
  virtual void ClearData() = 0;

  /// Mean, minimum and maximum of one channel element for reduced sample `sample`. The
  /// output is left as it is when no data is loaded.
  virtual void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<uint64_t>& value) const = 0;
  virtual void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<int64_t>& value) const = 0;
  virtual void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<double>& value) const = 0;

 protected:
  ISampleReduction() = default;
};

}  // namespace mdf
