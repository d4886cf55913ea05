#include "readcache.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "cg4block.h"
#include "datablock.h"
#include "dg4block.h"
#include "dz4block.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {

// Plain blocks are read in windows of this size: large enough that skipped records of a
// window cost no file access, small enough to keep memory flat.
constexpr uint64_t kWindowSize = 256 * 1024;

[[noreturn]] void EndOfFile() { throw MdfRuntimeError("End of file detected."); }

uint64_t LittleEndian(const uint8_t* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  }
  return value;
}

// Copies a record; short records, the common case, without a library call.
[[gnu::always_inline]] inline void CopyRecord(uint8_t* dest, const uint8_t* source, uint64_t count) {
  if (count >= 16 && count <= 32) {
    std::memcpy(dest, source, 16);
    std::memcpy(dest + count - 16, source + count - 16, 16);
  } else if (count >= 8 && count < 16) {
    std::memcpy(dest, source, 8);
    std::memcpy(dest + count - 8, source + count - 8, 8);
  } else if (count >= 4 && count < 8) {
    std::memcpy(dest, source, 4);
    std::memcpy(dest + count - 4, source + count - 4, 4);
  } else {
    std::memcpy(dest, source, count);
  }
}

std::vector<DataBlock*> DataBlocksOf(const Dg4Block* data_group) {
  std::vector<DataBlock*> blocks;
  if (data_group != nullptr) {
    data_group->CollectDataBlocks(blocks);
  }
  return blocks;
}

}  // namespace

BlockStream::BlockStream(std::streambuf& buffer, std::vector<DataBlock*> blocks)
    : buffer_(buffer), blocks_(std::move(blocks)) {
  if (!blocks_.empty()) {
    file_size_ = GetLastStreamPosition(buffer_);
  }
  const auto add = [](uint64_t total, uint64_t size) {
    return size > std::numeric_limits<uint64_t>::max() - total ? std::numeric_limits<uint64_t>::max() : total + size;
  };
  for (const DataBlock* block : blocks_) {
    if (block != nullptr) {
      total_size_ = add(total_size_, block->DataSize());
      readable_size_ = add(readable_size_, ReadableSize(block));
    }
  }
}

uint64_t BlockStream::ReadableSize(const DataBlock* block) const {
  if (block == nullptr) {
    return 0;
  }
  const uint64_t size = block->DataSize();
  if (size == 0 || dynamic_cast<const Dz4Block*>(block) != nullptr) {
    return size;  // a zipped block's size is bounded by its compressed bytes
  }
  // A plain block that claims more than the file holds ends at the end of the file: record
  // lengths and skips must not reach into bytes that do not exist.
  const int64_t position = block->DataPosition();
  const uint64_t in_file = position > 0 && position < file_size_ ? static_cast<uint64_t>(file_size_ - position) : 0;
  return std::min(size, in_file);
}

bool BlockStream::EnterNextBlock() {
  while (next_block_ < blocks_.size()) {
    const DataBlock* block = blocks_[next_block_++];
    const uint64_t size = ReadableSize(block);
    if (size == 0) {
      continue;  // an empty block inside a list holds no records; the next one may
    }
    block_ = block;
    block_size_ = size;
    zipped_ = dynamic_cast<const Dz4Block*>(block) != nullptr;
    inflated_ = false;
    window_ = nullptr;
    window_offset_ = 0;
    window_size_ = 0;
    window_pos_ = 0;
    return true;
  }
  block_ = nullptr;
  return false;
}

bool BlockStream::Refill() {
  uint64_t next = window_offset_ + window_size_;
  while (block_ == nullptr || next >= block_size_) {
    if (!EnterNextBlock()) {
      return false;
    }
    next = 0;
  }
  const int64_t data_position = block_->DataPosition();
  if (zipped_) {
    if (!inflated_) {
      const auto* zipped = static_cast<const Dz4Block*>(block_);
      // The compressed bytes must be in the file before the original length sizes a buffer.
      if (data_position <= 0 || data_position > file_size_ ||
          zipped->DataLength() > static_cast<uint64_t>(file_size_ - data_position) ||
          block_size_ > std::numeric_limits<size_t>::max()) {
        EndOfFile();
      }
      zipped_buffer_.resize(block_size_);
      uint64_t index = 0;
      zipped->CopyDataToBuffer(buffer_, zipped_buffer_, index);
      inflated_ = true;
    }
    window_ = zipped_buffer_.data() + next;
    window_offset_ = next;
    window_size_ = block_size_ - next;
    window_pos_ = 0;
    return true;
  }
  if (data_position <= 0 || next > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - data_position)) {
    EndOfFile();
  }
  if (plain_buffer_.size() != kWindowSize) {
    plain_buffer_.resize(kWindowSize);
  }
  const uint64_t wanted = std::min(kWindowSize, block_size_ - next);
  SetStreamPosition(buffer_, data_position + static_cast<int64_t>(next));
  const auto got = buffer_.sgetn(reinterpret_cast<char*>(plain_buffer_.data()), static_cast<std::streamsize>(wanted));
  if (got <= 0) {
    EndOfFile();  // the block claims more bytes than the file holds
  }
  window_ = plain_buffer_.data();
  window_offset_ = next;
  window_size_ = static_cast<uint64_t>(got);
  window_pos_ = 0;
  return true;
}

void BlockStream::ReadRecordBytes(uint8_t* dest, uint64_t nof_bytes) {
  if (nof_bytes > Left()) {
    EndOfFile();
  }
  while (nof_bytes > 0) {
    if (window_pos_ == window_size_ && !Refill()) {
      EndOfFile();
    }
    const uint64_t count = std::min(nof_bytes, window_size_ - window_pos_);
    std::memcpy(dest, window_ + window_pos_, count);
    window_pos_ += count;
    consumed_ += count;
    dest += count;
    nof_bytes -= count;
  }
}

void BlockStream::SkipBytes(uint64_t nof_bytes) {
  if (nof_bytes > Left()) {
    EndOfFile();
  }
  while (nof_bytes > 0) {
    const uint64_t in_window = window_size_ - window_pos_;
    if (nof_bytes <= in_window) {
      window_pos_ += nof_bytes;
      consumed_ += nof_bytes;
      return;
    }
    nof_bytes -= in_window;
    consumed_ += in_window;
    window_pos_ = window_size_;
    if (block_ != nullptr) {
      // Past the window but inside the block: only the position moves.
      const uint64_t in_block = block_size_ - (window_offset_ + window_size_);
      if (nof_bytes <= in_block) {
        window_offset_ += window_size_ + nof_bytes;
        window_size_ = 0;
        window_pos_ = 0;
        consumed_ += nof_bytes;
        return;
      }
      nof_bytes -= in_block;
      consumed_ += in_block;
    }
    if (!EnterNextBlock()) {
      EndOfFile();
    }
  }
}

ReadCache::ReadCache(Dg4Block* data_group, std::streambuf& buffer)
    : data_group_(data_group), stream_(buffer, DataBlocksOf(data_group)) {
  if (data_group_ == nullptr) {
    return;
  }
  id_size_ = data_group_->RecordIdSize();
  small_ids_.assign(256, -1);
  observed_small_ids_.assign(256, 0);
  bool first = true;
  for (const auto& block : data_group_->Cg4List()) {
    if (!block) {
      continue;
    }
    const uint64_t record_id = block->RecordId();
    if (first) {
      first_record_id_ = record_id;
      first = false;
    }
    if (group_index_.count(record_id) > 0) {
      continue;  // the first group with an id wins
    }
    group_index_.emplace(record_id, groups_.size());
    if (record_id < small_ids_.size()) {
      small_ids_[record_id] = static_cast<int32_t>(groups_.size());
    }
    groups_.push_back({block.get(), record_id, block->NofSamples(), block->RecordSize(), block->IsVlsd(), {}});
    if (data_group_->IsSubscribingOnRecord(record_id)) {
      observed_ids_.push_back(record_id);
      if (record_id < observed_small_ids_.size()) {
        observed_small_ids_[record_id] = 1;
      }
    }
  }
}

[[gnu::always_inline]] inline ReadCache::Group* ReadCache::FindGroup(uint64_t record_id) {
  if (groups_.size() == 1) {
    return &groups_.front();  // a single group owns every record, whatever its id
  }
  if (record_id < small_ids_.size()) {
    const int32_t index = small_ids_[record_id];
    return index >= 0 ? &groups_[static_cast<size_t>(index)] : nullptr;
  }
  const auto entry = group_index_.find(record_id);
  return entry != group_index_.end() ? &groups_[entry->second] : nullptr;
}

[[gnu::always_inline]] inline bool ReadCache::IsObserved(uint64_t record_id) const {
  if (record_id < observed_small_ids_.size()) {
    return observed_small_ids_[record_id] != 0;
  }
  return std::find(observed_ids_.begin(), observed_ids_.end(), record_id) != observed_ids_.end();
}

uint64_t ReadCache::ParseRecordId() {
  switch (id_size_) {
    case 0:
      return first_record_id_;
    case 1:
    case 2:
    case 4:
    case 8: {
      const uint8_t* bytes = stream_.Take(id_size_);
      uint8_t copy[8];
      if (bytes == nullptr) {
        stream_.ReadRecordBytes(copy, id_size_);
        bytes = copy;
      }
      return LittleEndian(bytes, id_size_);
    }
    default:
      throw MdfRuntimeError("Invalid record ID size.");
  }
}

[[gnu::always_inline]] inline bool ReadCache::Parse() {
  if (data_group_ == nullptr || groups_.empty() || stream_.Consumed() >= stream_.TotalSize()) {
    return false;
  }
  const uint64_t start = stream_.Consumed();
  uint64_t record_id = 0;
  if (const uint8_t* id_byte = id_size_ == 1 ? stream_.Take(1) : nullptr; id_byte != nullptr) {
    record_id = *id_byte;  // the common case, read in place
  } else {
    record_id = ParseRecordId();
  }
  Group* group = FindGroup(record_id);
  if (group == nullptr) {
    throw MdfRuntimeError("No channel group found.");
  }
  uint64_t length = group->record_size;
  if (group->vlsd) {
    uint8_t length_bytes[4];
    stream_.ReadRecordBytes(length_bytes, 4);
    length = LittleEndian(length_bytes, 4);
  }
  // Checked before anything is allocated: the length comes from the file.
  if (length > stream_.ReadableLeft()) {
    throw MdfRuntimeError("End of file detected.");
  }
  if (length == 0 && stream_.Consumed() == start) {
    throw MdfRuntimeError("Empty record without record id: the record stream cannot advance.");
  }

  Cg4Block& block = *group->block;
  if (!IsObserved(record_id)) {
    stream_.SkipBytes(length);
    if (block.SampleCounter() < group->nof_samples) {
      block.IncrementSampleCounter();
    }
    return true;
  }

  ByteArray& record = group->record;
  if (record.size() != length) {
    record.resize(length);
  }
  if (length > 0) {
    if (const uint8_t* bytes = stream_.Take(length); bytes != nullptr) {
      CopyRecord(record.data(), bytes, length);
    } else {
      stream_.ReadRecordBytes(record.data(), length);
    }
  }
  if (block.SampleCounter() >= group->nof_samples) {
    return true;  // records beyond the declared count are read and not passed on
  }
  const bool more = data_group_->NotifySampleObservers(block.SampleCounter(), group->record_id, record);
  block.IncrementSampleCounter();
  return more;
}

bool ReadCache::ParseRecord() {
  try {
    return Parse();
  } catch (const std::exception& err) {
    MDF_ERROR() << "Parse of record failed. Error: " << err.what();
    return false;
  }
}

}  // namespace mdf::detail
