#pragma once
// Record reading: walks the record stream of a data group once, from its first data block
// to its last, and hands each observed record to the data group's sample observers. A
// record may start in one data block and end in the next; zipped blocks are inflated as
// they are entered, one at a time.
#include <cstdint>
#include <streambuf>
#include <unordered_map>
#include <vector>

#include "mdfblock.h"

namespace mdf::detail {

class Cg4Block;
class DataBlock;
class Dg4Block;

/// The bytes of a list of data blocks read as one stream. Plain blocks are read through a
/// window that is reused from block to block; skipping past the window moves the file
/// position without reading. Empty blocks are passed over. Failures throw "End of file
/// detected." (std::runtime_error).
class BlockStream {
 public:
  BlockStream(std::streambuf& buffer, std::vector<DataBlock*> blocks);

  /// The bytes of all blocks together, as their headers claim.
  [[nodiscard]] uint64_t TotalSize() const { return total_size_; }
  /// Bytes read or skipped so far.
  [[nodiscard]] uint64_t Consumed() const { return consumed_; }
  [[nodiscard]] uint64_t Left() const { return total_size_ - consumed_; }
  /// What is left of the bytes the file really holds: a plain block that claims more ends
  /// at the end of the file.
  [[nodiscard]] uint64_t ReadableLeft() const { return readable_size_ > consumed_ ? readable_size_ - consumed_ : 0; }

  void ReadRecordBytes(uint8_t* dest, uint64_t nof_bytes);
  void SkipBytes(uint64_t nof_bytes);
  /// The next `nof_bytes` bytes when the current window holds them all, else null. The
  /// bytes are consumed.
  const uint8_t* Take(uint64_t nof_bytes) {
    if (window_size_ - window_pos_ < nof_bytes) {
      return nullptr;
    }
    const uint8_t* bytes = window_ + window_pos_;
    window_pos_ += nof_bytes;
    consumed_ += nof_bytes;
    return bytes;
  }

 private:
  /// Makes the next bytes of the stream available in the window; false at the end.
  bool Refill();
  /// Moves to the next block that holds data; false when none is left.
  bool EnterNextBlock();
  /// The block's data size, cut at the end of the file for a plain block.
  [[nodiscard]] uint64_t ReadableSize(const DataBlock* block) const;

  std::streambuf& buffer_;
  std::vector<DataBlock*> blocks_;
  int64_t file_size_ = 0;
  uint64_t total_size_ = 0;
  uint64_t readable_size_ = 0;
  uint64_t consumed_ = 0;

  size_t next_block_ = 0;
  const DataBlock* block_ = nullptr;
  bool zipped_ = false;
  bool inflated_ = false;
  uint64_t block_size_ = 0;
  uint64_t window_offset_ = 0;  // offset in the block of window_[0]
  const uint8_t* window_ = nullptr;
  uint64_t window_size_ = 0;
  uint64_t window_pos_ = 0;
  ByteArray plain_buffer_;
  ByteArray zipped_buffer_;
};

class ReadCache {
 public:
  ReadCache(Dg4Block* data_group, std::streambuf& buffer);

  /// Reads one record and hands it to the observers. False when the data are exhausted, a
  /// read failed (logged) or an observer asked to stop.
  bool ParseRecord();

 private:
  struct Group {
    Cg4Block* block = nullptr;
    uint64_t record_id = 0;
    uint64_t nof_samples = 0;
    uint64_t record_size = 0;  // fixed records
    bool vlsd = false;
    ByteArray record;  // the group's own buffer: a fixed record keeps its size
  };

  bool Parse();
  uint64_t ParseRecordId();
  [[nodiscard]] Group* FindGroup(uint64_t record_id);
  [[nodiscard]] bool IsObserved(uint64_t record_id) const;

  Dg4Block* data_group_ = nullptr;
  uint8_t id_size_ = 0;
  uint64_t first_record_id_ = 0;
  BlockStream stream_;
  std::vector<Group> groups_;  // one per record id, the first group with an id wins
  std::unordered_map<uint64_t, size_t> group_index_;
  std::vector<int32_t> small_ids_;  // index into groups_ by record id below 256; -1 none
  std::vector<uint64_t> observed_ids_;
  std::vector<uint8_t> observed_small_ids_;  // by record id below 256
};

}  // namespace mdf::detail
