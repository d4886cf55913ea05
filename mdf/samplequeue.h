#pragma once
// A writer's queue of samples, oldest first: appended at the back by the caller, taken off
// the front by the worker, a sample put back at the front when a pass stops before it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "mdf/samplerecord.h"

namespace mdf {

/// The samples are packed back to back into large chunks: a queued 16-byte record takes
/// 40 bytes and no allocation of its own. A queue of SampleRecord nodes took 88 bytes and
/// an allocation every few samples, and writing that memory for the first time was most of
/// the cost when a whole measurement is queued before it is written (bench_mdfwriter).
class SampleQueue {
 public:
  /// What a visit sees of a queued sample; the record bytes may be changed in place.
  struct View {
    uint64_t timestamp;
    uint64_t record_id;
    uint8_t* record;
    size_t record_size;
    size_t vlsd_size;
  };

  SampleQueue() = default;
  ~SampleQueue();
  SampleQueue(const SampleQueue&) = delete;
  SampleQueue& operator=(const SampleQueue&) = delete;

  [[nodiscard]] bool empty() const { return count_ == 0; }
  [[nodiscard]] size_t size() const { return count_; }
  void push_back(const SampleRecord& sample);
  /// Takes the oldest sample off the queue; the queue must not be empty.
  SampleRecord pop_front();
  void push_front(SampleRecord sample);
  /// Drops every sample and frees the storage.
  void clear();
  /// The time of the sample at the index (0 the oldest); walks from the front.
  [[nodiscard]] uint64_t TimeAt(size_t index) const;
  [[nodiscard]] uint64_t BackTime() const;

  /// Calls visit(View&) for every sample, oldest first.
  template <typename Visit>
  void ForEach(Visit&& visit);

 private:
  // A sample in a chunk: this header, the record bytes, the VLSD bytes, padded to 8. A
  // sample too large for the chunks is kept whole on the heap; the header then holds a
  // pointer to it.
  struct Header {
    uint64_t timestamp;
    uint64_t record_id;
    uint32_t record_size;
    uint32_t info;  // kVlsdFlag, kBoxedFlag, the VLSD size in the low bits
  };
  static constexpr uint32_t kVlsdFlag = 0x8000'0000;
  static constexpr uint32_t kBoxedFlag = 0x4000'0000;
  static constexpr uint32_t kSizeMask = 0x3FFF'FFFF;
  /// One chunk holds some hundred thousand bus-logging records and is mapped on its own
  /// with huge pages where the system has them: a page fault per 4 KiB of fresh queue was
  /// the largest cost left of queueing a measurement (bench_mdfwriter). A sample larger
  /// than a quarter of a chunk is kept on its own.
  static constexpr size_t kChunkBytes = size_t{4} << 20;
  static constexpr size_t kMaxPacked = kChunkBytes / 4;

  struct ChunkFree {
    void operator()(uint8_t* bytes) const;
  };
  using ChunkBytes = std::unique_ptr<uint8_t[], ChunkFree>;
  struct Chunk {
    ChunkBytes bytes;
    size_t head = 0;  // first byte of the oldest sample
    size_t tail = 0;  // end of the newest sample
  };

  [[nodiscard]] static size_t EntrySize(const Header& header);
  [[nodiscard]] static Header HeaderAt(const Chunk& chunk, size_t offset);
  [[nodiscard]] static SampleRecord* Boxed(const Chunk& chunk, size_t offset);
  [[nodiscard]] static View ViewOf(Chunk& chunk, size_t offset);
  void FreeBoxed(const Chunk& chunk);

  std::vector<SampleRecord> front_;  // put back, the oldest last
  std::deque<Chunk> chunks_;
  ChunkBytes spare_;                  // an emptied chunk kept for the next
  size_t back_offset_ = 0;            // header of the newest sample in the last chunk
  size_t count_ = 0;
};

template <typename Visit>
void SampleQueue::ForEach(Visit&& visit) {
  for (auto sample = front_.rbegin(); sample != front_.rend(); ++sample) {
    View view{sample->timestamp, sample->record_id, sample->record_buffer.data(), sample->record_buffer.size(),
              sample->vlsd_buffer.size()};
    visit(view);
  }
  for (Chunk& chunk : chunks_) {
    for (size_t offset = chunk.head; offset < chunk.tail; offset += EntrySize(HeaderAt(chunk, offset))) {
      View view = ViewOf(chunk, offset);
      visit(view);
    }
  }
}

}  // namespace mdf
