#pragma once
// MDF3 sample reduction block "SR": for each reduced sample three records (mean, minimum,
// maximum) of its channel group's record size, stored at link 1.
#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

#include "datalistblock.h"
#include "mdf/isamplereduction.h"

namespace mdf::detail {

class Sr3Block : public DataListBlock, public ISampleReduction {
 public:
  Sr3Block() { block_id_ = "SR"; }

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  /// MDF 3 comments are plain texts: no metadata.
  IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] uint64_t NofSamples() const override { return nof_samples_; }
  /// Kept to the 32 bits of the field; a larger count saturates.
  void NofSamples(uint64_t nof_samples) override;
  [[nodiscard]] double Interval() const override { return interval_; }
  void Interval(double interval) override { interval_ = interval; }
  /// MDF3 reductions are always over time.
  [[nodiscard]] uint8_t SyncType() const override { return 1; }
  void SyncType(uint8_t) override {}
  [[nodiscard]] uint8_t Flags() const override { return 0; }
  void Flags(uint8_t) override {}
  [[nodiscard]] const IChannelGroup* ChannelGroup() const override;
  void ClearData() override;

  void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                       SrValue<uint64_t>& value) const override;
  void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                       SrValue<int64_t>& value) const override;
  void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                       SrValue<double>& value) const override;

  size_t Read(std::streambuf& buffer) override;
  /// A written block stays as it is; a new one is appended.
  size_t Write(std::streambuf& buffer) override;

  /// Loads 3 x reduced samples x record size bytes from link 1, as far as the stream holds
  /// them. A failure leaves the data empty (logged); it never ends the data group's read.
  void LoadData(std::streambuf& buffer);
  [[nodiscard]] const ByteArray& ReductionData() const { return data_; }

 private:
  /// Bytes of one record of the parent channel group; 0 without one.
  [[nodiscard]] uint64_t RecordSize() const;
  template <typename T>
  void ChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index, SrValue<T>& value) const;

  uint32_t nof_samples_ = 0;
  double interval_ = 0.0;
  ByteArray data_;
};

}  // namespace mdf::detail
