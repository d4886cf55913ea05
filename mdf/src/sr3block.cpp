#include "sr3block.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "grouprecordsize.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kDataLink = 1;
constexpr uint16_t kBlockSize = 24;
constexpr uint64_t kRecordsPerSample = 3;  // mean, minimum, maximum

}  // namespace

void Sr3Block::NofSamples(uint64_t nof_samples) {
  nof_samples_ = static_cast<uint32_t>(std::min<uint64_t>(nof_samples, std::numeric_limits<uint32_t>::max()));
}

const IChannelGroup* Sr3Block::ChannelGroup() const { return dynamic_cast<const IChannelGroup*>(Parent()); }

uint64_t Sr3Block::RecordSize() const {
  const auto* group = dynamic_cast<const GroupRecordSize*>(Parent());
  return group != nullptr ? group->RecordDataBytes() + group->RecordInvalidBytes() : 0;
}

void Sr3Block::ClearData() {
  DataListBlock::ClearData();
  ByteArray().swap(data_);
}

size_t Sr3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadLinks32(buffer, 2);
  bytes += ReadNumber(buffer, nof_samples_);
  bytes += ReadNumber(buffer, interval_);
  return bytes;
}

size_t Sr3Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return block_size_;
  }
  block_id_ = "SR";
  block_size_ = kBlockSize;
  block_length_ = kBlockSize;
  link_list_.resize(2, 0);
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteNumber(buffer, nof_samples_);
  bytes += WriteNumber(buffer, interval_);
  WriteNewChildBlocks(buffer, kDataLink);
  return bytes;
}

void Sr3Block::LoadData(std::streambuf& buffer) {
  ByteArray().swap(data_);
  const int64_t link = Link(kDataLink);
  const uint64_t record_size = RecordSize();
  if (link <= 0 || record_size == 0 || nof_samples_ == 0) {
    return;
  }
  try {
    // The size comes from the block's own fields, the bytes from the file: what the file
    // does not hold is not allocated.
    const int64_t end = GetLastStreamPosition(buffer);
    const uint64_t left = end > link ? static_cast<uint64_t>(end - link) : 0;
    // 3 x 2^32 records of at most 2^16 bytes: the product fits 64 bits.
    const uint64_t wanted = kRecordsPerSample * nof_samples_ * record_size;
    if (wanted > left) {
      MDF_ERROR() << "Sample reduction data lies beyond the end of the file. Block: " << AddressToText(file_position_);
    }
    SetStreamPosition(buffer, link);
    ReadBytes(buffer, data_, std::min(wanted, left));
  } catch (const std::exception& err) {
    // A damaged reduction must not stop the records of the data group from being read.
    MDF_ERROR() << "Failed to read the sample reduction data. Block: " << AddressToText(file_position_)
                << ", Error: " << err.what();
    ByteArray().swap(data_);
  }
}

template <typename T>
void Sr3Block::ChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index, SrValue<T>& value) const {
  const uint64_t record_size = RecordSize();
  if (data_.empty() || record_size == 0) {
    return;
  }
  T* values[kRecordsPerSample] = {&value.mean_value, &value.min_value, &value.max_value};
  bool* flags[kRecordsPerSample] = {&value.mean_valid, &value.min_valid, &value.max_valid};
  ByteArray record(record_size, 0);
  const uint64_t records = data_.size() / record_size;
  for (uint64_t part = 0; part < kRecordsPerSample; ++part) {
    // A record beyond the loaded data is no value: its flag is false, its value untouched.
    if (sample >= records || kRecordsPerSample * sample + part >= records) {
      *flags[part] = false;
      continue;
    }
    const uint64_t offset = (kRecordsPerSample * sample + part) * record_size;
    std::memcpy(record.data(), data_.data() + offset, record_size);
    *flags[part] = channel.ValueFromRecord(record, *values[part], array_index);
  }
}

void Sr3Block::GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<uint64_t>& value) const {
  ChannelValue(channel, sample, array_index, value);
}

void Sr3Block::GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<int64_t>& value) const {
  ChannelValue(channel, sample, array_index, value);
}

void Sr3Block::GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<double>& value) const {
  ChannelValue(channel, sample, array_index, value);
}

}  // namespace mdf::detail
