#pragma once
// A sample observer bound to one channel: it keeps the channel's values, one slot per
// sample and array element with a valid flag each, while the data group is read, and
// hands them back as numbers, texts or byte arrays, raw or converted.
#include <cstdint>
#include <string>
#include <vector>

#include "mdf/isampleobserver.h"

namespace mdf {

class IChannel;

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
  /// The channel group's current sample count.
  [[nodiscard]] virtual uint64_t NofSamples() const = 0;

  [[nodiscard]] const IChannel& Channel() const { return channel_; }
  [[nodiscard]] std::string ChannelName() const;
  /// The sample's bytes for byte-array and MIME channels (data types 10 to 12), else false.
  bool GetByteArray(uint64_t sample, std::vector<uint8_t>& value) const;

  /// Whether the values of a VLSD channel are taken from its signal data (true).
  [[nodiscard]] bool ReadVlsdData() const { return read_vlsd_data_; }
  void ReadVlsdData(bool read_vlsd_data) { read_vlsd_data_ = read_vlsd_data; }

 protected:
  const IChannel& channel_;
  bool read_vlsd_data_ = true;
  /// Per slot of a VLSD channel: the offset its fixed record gave.
  std::vector<uint64_t> offset_list_;
  std::vector<bool> valid_list_;
};

}  // namespace mdf
