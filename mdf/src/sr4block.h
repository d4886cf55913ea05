#pragma once
// MDF4 sample reduction block "##SR": for each reduced sample three records (mean,
// minimum, maximum) of its channel group, kept in the data blocks at link 1. The library
// only reads SR blocks; their data is loaded while the data group is read.
#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

#include "datalistblock.h"
#include "mdf/isamplereduction.h"
#include "mdf/memoryaccount.h"
#include "mdf/numbertext.h"

namespace mdf::detail {

class DataBlock;

class Sr4Block : public DataListBlock, public ISampleReduction {
 public:
  Sr4Block();

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] uint64_t NofSamples() const override { return nof_samples_; }
  void NofSamples(uint64_t nof_samples) override { nof_samples_ = nof_samples; }
  [[nodiscard]] double Interval() const override { return interval_; }
  void Interval(double interval) override { interval_ = interval; }
  [[nodiscard]] uint8_t SyncType() const override { return sync_type_; }
  void SyncType(uint8_t sync_type) override { sync_type_ = sync_type; }
  [[nodiscard]] uint8_t Flags() const override { return flags_; }
  void Flags(uint8_t flags) override { flags_ = flags; }
  [[nodiscard]] const IChannelGroup* ChannelGroup() const override;
  /// The data blocks' in-memory bytes and the reduction data.
  void ClearData() override;

  void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                       SrValue<uint64_t>& value) const override;
  void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                       SrValue<int64_t>& value) const override;
  void GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                       SrValue<double>& value) const override;

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  size_t Read(std::streambuf& buffer) override;
  /// A block read from the file is never rewritten; a new one cannot be written.
  size_t Write(std::streambuf& buffer) override;

  /// Loads the data of every child block, inflated, into memory, held in the file's memory
  /// account (Memory) until ClearData; memory that runs short (MemoryCeilingReached too) is
  /// thrown as std::bad_alloc, damage in the data leaves them absent.
  void ReadSrData(std::streambuf& buffer);
  [[nodiscard]] const ByteArray& ReductionData() const { return data_; }

 private:
  template <typename T>
  void ChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index, SrValue<T>& value) const;
  /// Bytes the children (`blocks`) can deliver, checked against the file before any allocation.
  [[nodiscard]] static bool DataFitsFile(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, uint64_t size);

  uint64_t nof_samples_ = 0;
  double interval_ = 0.0;
  uint8_t sync_type_ = 0;
  uint8_t flags_ = 0;
  ByteArray data_;
  MemoryCharge data_charge_;
};

}  // namespace mdf::detail
