#pragma once
// Record reading: walks the record stream of a data group once, from its first data block
// to its last, frames it into records and hands each observed record to the data group's
// sample observers, or counts the records of each channel group. A record may start in one
// data block and end in the next; zipped blocks are inflated as they are read, one at a time.
#include <cstdint>
#include <memory>
#include <new>
#include <streambuf>
#include <string>
#include <vector>

#include "damage.h"
#include "mdf/memoryaccount.h"
#include "mdfblock.h"
#include "recordframer.h"

namespace mdf {
class IChannelGroup;
class IDataGroup;
}  // namespace mdf

namespace mdf::detail {

class DataBlock;
class Dz4Block;
class Inflater;

/// The bytes of a list of data blocks read as one stream. Plain blocks are read through a
/// window that is reused from block to block; skipping past the window moves the file
/// position without reading. A zipped block of up to Dz4Block::kMaxWholeInflate bytes, and a
/// transposed one of any length, is inflated whole when it is entered, also by skipping, into
/// a buffer held in the file's memory account (MemoryCeilingReached past its limit); a longer
/// deflated one is inflated into the window piece by piece. Empty blocks are passed over.
/// Failures throw "End of file detected." (std::runtime_error); a zipped block that does not
/// inflate throws its own error, before any of its bytes is handed on.
class BlockStream {
 public:
  BlockStream(std::streambuf& buffer, std::vector<DataBlock*> blocks);
  ~BlockStream();
  BlockStream(const BlockStream&) = delete;
  BlockStream& operator=(const BlockStream&) = delete;

  /// The bytes of all blocks together, as their headers claim.
  [[nodiscard]] uint64_t TotalSize() const { return total_size_; }
  /// Bytes read or skipped so far.
  [[nodiscard]] uint64_t Consumed() const { return consumed_; }
  [[nodiscard]] uint64_t Left() const { return total_size_ - consumed_; }
  /// What is left of the bytes the file really holds (DataBlock::DataInFile).
  [[nodiscard]] uint64_t ReadableLeft() const { return readable_size_ > consumed_ ? readable_size_ - consumed_ : 0; }

  void ReadRecordBytes(uint8_t* dest, uint64_t nof_bytes);
  void SkipBytes(uint64_t nof_bytes);
  /// The rest of the current window, refilled when it is used up; the bytes are consumed.
  /// False at the end of the readable bytes.
  bool NextPiece(const uint8_t*& data, uint64_t& size);

 private:
  /// Makes the next bytes of the stream available in the window; false at the end.
  bool Refill();
  /// Moves to the next block that holds data; false when none is left.
  bool EnterNextBlock();
  /// Refill for a zipped block, from `next`, its offset in the block.
  void RefillZipped(uint64_t next);

  std::streambuf& buffer_;
  std::vector<DataBlock*> blocks_;
  int64_t file_size_ = 0;
  uint64_t total_size_ = 0;
  uint64_t readable_size_ = 0;
  uint64_t consumed_ = 0;

  size_t next_block_ = 0;
  const DataBlock* block_ = nullptr;
  const Dz4Block* zipped_ = nullptr;
  std::unique_ptr<Inflater> inflater_;  // a long zipped block, read in pieces
  uint64_t block_size_ = 0;
  uint64_t window_offset_ = 0;  // offset in the block of window_[0]
  const uint8_t* window_ = nullptr;
  uint64_t window_size_ = 0;
  uint64_t window_pos_ = 0;
  ByteArray plain_buffer_;
  ByteArray zipped_buffer_;
  MemoryAccount* memory_ = nullptr;  // the file's, found at the blocks' root
  MemoryCharge zipped_charge_;       // of zipped_buffer_
};

/// One channel group of a record stream.
struct RecordGroup {
  IChannelGroup* group = nullptr;
  RecordLayout layout;
};

/// Where an MDF 3 record stream differs from an MDF 4 one.
struct RecordStreamRules {
  /// Bytes of the record id repeated after each record.
  uint8_t trailing_id_size = 0;
  /// A record of 0 bytes ends the read: a group that declares no bytes reads nothing.
  bool empty_record_ends = false;
  /// Observers get a record by its group's id, not by the id it carries: the id byte in
  /// front of the records of a single group is not compared.
  bool group_id_decides = false;
  /// False when damage cut the list of channel groups (RecordFramer).
  bool whole_group_list = true;
};

/// How framing a record stream ended.
struct FramingResult {
  bool damaged = false;
  Damage damage = Damage::kUnknownRecordId;
  uint64_t record_id = 0;
  std::string cause;  ///< the error of an unreadable data block
  /// Memory ran short (std::bad_alloc): no damage, but the framing ended there.
  bool out_of_memory = false;
};

/// Frames the records of the stream into the sink until the data end, the sink stops or
/// pauses, damage is found or memory runs short (reported in the result, never thrown: an
/// unreadable data block is damage too).
template <typename Sink>
class StreamFramer {
 public:
  StreamFramer(std::streambuf& buffer, std::vector<DataBlock*> blocks, uint8_t record_id_size,
               const std::vector<RecordLayout>& layouts, uint8_t trailing_id_size = 0, bool whole_list = true)
      : stream_(buffer, std::move(blocks)), framer_(record_id_size, layouts, trailing_id_size, whole_list) {}

  /// True when the sink paused and the framing can go on; false when it has ended.
  bool Run(Sink& sink, FramingResult& result);
  [[nodiscard]] const RecordFramer& Framer() const { return framer_; }

 private:
  BlockStream stream_;
  RecordFramer framer_;
  const uint8_t* piece_ = nullptr;
  uint64_t piece_size_ = 0;
};

template <typename Sink>
bool StreamFramer<Sink>::Run(Sink& sink, FramingResult& result) {
  try {
    while (!framer_.Ended()) {
      if (piece_size_ == 0) {
        if (const uint64_t skip = framer_.PendingSkip(); skip > 0) {
          // A record nobody wants: its bytes are passed over, not read. The framer has
          // checked that they lie in the data.
          stream_.SkipBytes(skip);
          framer_.Skipped(skip, sink);
          if (framer_.Paused()) return true;
          continue;
        }
        if (!stream_.NextPiece(piece_, piece_size_)) {
          framer_.Finish(stream_.Left() > 0);
          break;
        }
      }
      const size_t used = framer_.Feed(piece_, piece_size_, stream_.ReadableLeft(), sink);
      piece_ += used;
      piece_size_ -= used;
      if (framer_.Paused()) return true;
    }
  } catch (const std::bad_alloc&) {
    result.out_of_memory = true;
    return false;
  } catch (const std::exception& error) {
    result.damaged = true;
    result.damage = Damage::kUnreadableData;
    result.cause = error.what();
    return false;
  }
  if (framer_.Damaged()) {
    result.damaged = true;
    result.damage = framer_.DamageFound();
    result.record_id = framer_.DamagedRecordId();
  }
  return false;
}

/// Reports the channel group as damage when the records a whole read framed for it differ
/// from its cycle count.
void ReportRecordCount(const IChannelGroup& group, uint64_t record_id, uint64_t records);

class ReadCache {
 public:
  /// Reads the records of the channel groups from the data blocks into the observers of
  /// the data group.
  ReadCache(IDataGroup& data_group, const std::vector<RecordGroup>& groups, uint8_t record_id_size,
            std::vector<DataBlock*> blocks, std::streambuf& buffer, RecordStreamRules rules = {});
  ~ReadCache();
  ReadCache(const ReadCache&) = delete;
  ReadCache& operator=(const ReadCache&) = delete;

  /// Reads one record and hands it to the observers when they want it. False when the
  /// data are exhausted, damage ended the read (reported) or an observer asked to stop.
  /// At the end of the data, each channel group whose records differ from its cycle count
  /// is reported.
  bool ParseRecord();
  /// Reads every record; false when damage or short memory ended the read (reported).
  bool ParseRecords();

 private:
  class Sink;
  bool Parse(bool one_record);
  bool damaged_ = false;
  bool ended_ = false;

  std::unique_ptr<Sink> sink_;
  std::unique_ptr<StreamFramer<Sink>> framer_;
};

}  // namespace mdf::detail
