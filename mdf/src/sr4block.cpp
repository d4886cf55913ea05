#include "sr4block.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "damage.h"
#include "datablock.h"
#include "dz4block.h"
#include "grouprecordsize.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kDataLink = 1;
constexpr uint8_t kInvalidFlag = 0x01;

std::string SyncTypeText(uint8_t sync_type) {
  switch (sync_type) {
    case 0:
      return {};
    case 1:
      return "Timer";
    case 2:
      return "Angle";
    case 3:
      return "Distance";
    case 4:
      return "Index";
    default:
      return "Unknown";
  }
}

// a x b + c without wrapping; false when it does not fit 64 bits.
bool MultiplyAdd(uint64_t a, uint64_t b, uint64_t c, uint64_t& result) {
  if (b != 0 && a > (std::numeric_limits<uint64_t>::max() - c) / b) {
    return false;
  }
  result = a * b + c;
  return true;
}

// Copies `count` bytes at `offset` of the source to dest when they lie wholly inside it.
void CopyPart(const ByteArray& source, uint64_t offset, uint64_t count, uint8_t* dest) {
  if (count == 0 || offset > source.size() || count > source.size() - offset) {
    return;
  }
  std::memcpy(dest, source.data() + offset, count);
}

}  // namespace

Sr4Block::Sr4Block() { block_id_ = "##SR"; }

const IChannelGroup* Sr4Block::ChannelGroup() const { return dynamic_cast<const IChannelGroup*>(FindAncestorCg()); }

void Sr4Block::ClearData() {
  DataListBlock::ClearData();
  ByteArray().swap(data_);
  data_charge_.Release();
}

void Sr4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next SR", AddressToText(Link(kNextLink)), "Link to next sample reduction",
                    BlockItemType::LinkItem);
  dest.emplace_back("Data", AddressToText(Link(kDataLink)), "Link to data", BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Samples", std::to_string(nof_samples_));
  dest.emplace_back("Length", DoubleToText(interval_));
  dest.emplace_back("Sync Type", SyncTypeText(sync_type_));
  dest.emplace_back("Flags", (flags_ & kInvalidFlag) != 0 ? "Invalid" : "");
}

size_t Sr4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadNumber(buffer, nof_samples_);
  bytes += ReadNumber(buffer, interval_);
  bytes += ReadByte(buffer, sync_type_);
  bytes += ReadByte(buffer, flags_);
  ByteArray reserved;
  bytes += ReadBytes(buffer, reserved, 6);
  ReadBlockList(buffer, kDataLink, true);
  return bytes;
}

size_t Sr4Block::Write(std::streambuf&) {
  if (file_position_ > 0) {
    return static_cast<size_t>(block_length_);
  }
  // The generic header write would leave a 64-byte block without its data section.
  throw MdfRuntimeError("Writing SR blocks is not supported");
}

bool Sr4Block::DataFitsFile(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, uint64_t size) {
  const int64_t end = GetLastStreamPosition(buffer);
  for (const DataBlock* block : blocks) {
    // A zipped block is checked by its stored bytes; its ratio was checked when read.
    const auto* zipped = dynamic_cast<const Dz4Block*>(block);
    const uint64_t stored = zipped != nullptr ? zipped->DataLength() : block->DataSize();
    const int64_t first = block->DataPosition();
    if (stored > 0 && (first <= 0 || first > end || stored > static_cast<uint64_t>(end - first))) {
      return false;
    }
  }
  return size <= std::numeric_limits<size_t>::max();
}

void Sr4Block::ReadSrData(std::streambuf& buffer) {
  ClearData();
  const uint64_t size = DataSize();
  if (block_list_.empty() || size == 0) {
    return;
  }
  try {
    std::vector<DataBlock*> blocks;
    CollectDataBlocks(blocks);
    if (!DataFitsFile(buffer, blocks, size)) {
      MDF_DAMAGE(Damage::kUnreadableData)
          << "Sample reduction data lies beyond the end of the file. Block: " << AddressToText(file_position_);
      return;
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return;  // the file cannot be measured: the reduction reads as absent
  }
  try {
    // Memory that runs short is not the reduction's to hide: the file holds more than was read.
    data_charge_.Hold(Memory(), size);
    data_.assign(size, 0);
    uint64_t index = 0;
    CopyDataToBuffer(buffer, data_, index);
  } catch (const std::bad_alloc&) {
    ClearData();
    throw;
  } catch (const std::exception& err) {
    // A damaged reduction must not stop the records of the data group from being read.
    MDF_DAMAGE(Damage::kUnreadableData) << "Failed to read the sample reduction data. Block: "
                                        << AddressToText(file_position_) << ", Error: " << err.what();
    ClearData();
  }
}

template <typename T>
void Sr4Block::ChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index, SrValue<T>& value) const {
  const auto* group = dynamic_cast<const GroupRecordSize*>(ChannelGroup());
  const uint64_t data_bytes = group != nullptr ? group->RecordDataBytes() : 0;
  const uint64_t invalid_bytes = group != nullptr ? group->RecordInvalidBytes() : 0;
  const uint64_t record_size = data_bytes + invalid_bytes;
  if (data_.empty() || record_size == 0) {
    return;
  }
  const bool rd_layout = HasRdData();
  ByteArray record(record_size, 0);
  T* values[3] = {&value.mean_value, &value.min_value, &value.max_value};
  bool* flags[3] = {&value.mean_valid, &value.min_valid, &value.max_valid};
  for (uint64_t part = 0; part < 3; ++part) {
    uint64_t index = 0;  // record number: 3 per reduced sample
    if (MultiplyAdd(sample, 3, part, index)) {
      uint64_t offset = 0;
      if (rd_layout) {
        if (MultiplyAdd(index, record_size, 0, offset)) {
          CopyPart(data_, offset, record_size, record.data());
        }
      } else {
        // All value parts first (3 N of D bytes), then the invalidation parts.
        if (MultiplyAdd(index, data_bytes, 0, offset)) {
          CopyPart(data_, offset, data_bytes, record.data());
        }
        uint64_t values_size = 0;
        uint64_t invalid_offset = 0;
        if (MultiplyAdd(nof_samples_, 3, 0, values_size) && MultiplyAdd(values_size, data_bytes, 0, values_size) &&
            MultiplyAdd(index, invalid_bytes, values_size, invalid_offset)) {
          CopyPart(data_, invalid_offset, invalid_bytes, record.data() + data_bytes);
        }
      }
    }
    *flags[part] = channel.ValueFromRecord(record, *values[part], array_index);
  }
}

void Sr4Block::GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<uint64_t>& value) const {
  ChannelValue(channel, sample, array_index, value);
}

void Sr4Block::GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<int64_t>& value) const {
  ChannelValue(channel, sample, array_index, value);
}

void Sr4Block::GetChannelValue(const IChannel& channel, uint64_t sample, uint64_t array_index,
                               SrValue<double>& value) const {
  ChannelValue(channel, sample, array_index, value);
}

}  // namespace mdf::detail
