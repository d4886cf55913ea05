#pragma once
// A writer's queue of samples, oldest first: appended at the back by the caller, taken off
// the front by the worker, a sample put back at the front when a pass stops before it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "mdf/samplerecord.h"

namespace mdf {

/// Copies the bytes of one record: whole 8-byte words, the last one overlapping, as the
/// records are mostly some tens of bytes long and a call of memcpy cost more than the copy
/// (bench_mdfwriter).
inline void CopyRecordBytes(uint8_t* dest, const uint8_t* source, size_t size) {
  if (size < 8) {
    if (size > 0) std::memcpy(dest, source, size);
    return;
  }
  for (size_t offset = 0; offset + 8 < size; offset += 8) std::memcpy(dest + offset, source + offset, 8);
  std::memcpy(dest + size - 8, source + size - 8, 8);
}

/// The samples are packed back to back into large chunks: a queued 16-byte record takes
/// 32 bytes and no allocation of its own. A queue of SampleRecord nodes took 88 bytes and
/// an allocation every few samples, and writing that memory for the first time was most of
/// the cost when a whole measurement is queued before it is written (bench_mdfwriter).
///
/// One thread appends (the producer: the writer's caller) and one takes off (the consumer:
/// the worker); the queue's owner guards it with a lock. The producer fills a reserved
/// sample and publishes it without the lock, by moving the end of the back chunk; only a
/// new chunk needs the lock. So a sample is queued the moment Publish returns, and the
/// caller and the worker do not meet on a lock per sample (bench_mdfwriter, Worker1ms).
/// Everything else, on either side, runs with the lock held.
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

  /// What TakeFront took off.
  struct Taken {
    size_t count = 0;         // samples passed to the visit
    bool after_stop = false;  // a sample later than the stop time was dropped
  };

  SampleQueue() = default;
  ~SampleQueue();
  SampleQueue(const SampleQueue&) = delete;
  SampleQueue& operator=(const SampleQueue&) = delete;

  // ---- The producer's side ----

  /// Whether a sample of these sizes and id is packed into a chunk; the others are kept
  /// whole on the heap through push_back.
  [[nodiscard]] static bool Packs(uint64_t record_id, size_t record_size, size_t vlsd_size = 0) {
    return record_id <= kIdMask && record_size <= kSizeMask && vlsd_size <= kSizeMask;
  }
  /// Room for the record bytes of a sample that Packs, at the back: fill them, then
  /// Publish. Without `grow` this needs no lock and gives null when the back chunk is full;
  /// with `grow` (lock held) a new chunk is taken when needed.
  [[nodiscard]] uint8_t* Reserve(size_t record_size, bool grow) {
    const size_t tail = back_ != nullptr ? Tail(back_->published.load(std::memory_order_relaxed)) : kChunkBytes;
    if (kChunkBytes - tail >= EntrySize(record_size, 0)) return back_->bytes.get() + tail + sizeof(Header);
    return grow ? Grow(EntrySize(record_size, 0)) + sizeof(Header) : nullptr;
  }
  /// Queues the sample reserved last: from here on the consumer sees it.
  void Publish(uint64_t timestamp, uint64_t record_id, size_t record_size) {
    const Header header{timestamp, record_size | (record_id << kIdShift)};
    std::memcpy(back_->bytes.get() + Tail(back_->published.load(std::memory_order_relaxed)), &header, sizeof(header));
    Published(timestamp, EntrySize(record_size, 0));
  }
  /// Queues a copy of the sample, VLSD bytes and all. Lock held: it may take a new chunk.
  void push_back(const SampleRecord& sample);

  // ---- The consumer's side, lock held ----

  [[nodiscard]] bool empty() const { return !AtLeast(1); }
  [[nodiscard]] size_t size() const;
  /// Whether at least `count` samples are queued; looks at no more of them.
  [[nodiscard]] bool AtLeast(size_t count) const;
  /// Takes the oldest sample off the queue; the queue must not be empty.
  SampleRecord pop_front();
  /// Drops the oldest sample; the queue must not be empty.
  void DropFront();
  void push_front(SampleRecord sample);
  /// Takes the oldest samples off the queue, passing each to visit(const View&): packed
  /// samples without VLSD bytes, of one chunk, about `max_bytes` of them where there are so
  /// many. Stops before a sample of another kind (pop_front takes it), and at the first
  /// sample later than `stop` (0: none), which is dropped.
  template <typename Visit>
  Taken TakeFront(size_t max_bytes, uint64_t stop, Visit&& visit);
  /// Drops every sample and frees the storage, but for the chunk the producer fills.
  void clear();
  /// The time of the sample at the index (0 the oldest); walks from the front.
  [[nodiscard]] uint64_t TimeAt(size_t index) const;
  [[nodiscard]] uint64_t BackTime() const;

  /// Calls visit(View&) for every sample, oldest first.
  template <typename Visit>
  void ForEach(Visit&& visit);

  // ---- Chunks readied ahead of the producer ----
  // The kernel zeroes a fresh page when it is first written: a producer that did so itself
  // spent a quarter of its time there when a whole measurement is queued before it is
  // written (bench_mdfwriter, Worker10s). So the owner's worker may map and touch chunks
  // while it waits, for the producer to take.

  struct ChunkFree {
    void operator()(uint8_t* bytes) const;
  };
  /// The storage of one chunk.
  using ChunkBytes = std::unique_ptr<uint8_t[], ChunkFree>;

  /// Whether chunks are readied for the producer from now on; lock held.
  void KeepSparesReady(bool ready) { keep_ready_ = ready; }
  /// Whether a readied chunk should be added: the producer fills chunk after chunk and
  /// fewer than kReadySpares wait for it. Lock held.
  [[nodiscard]] bool WantsSpare() const { return keep_ready_ && streaming_ && spares_.size() < kReadySpares; }
  /// A new chunk with its pages touched, fewer when `stop` is set meanwhile; empty when
  /// none could be mapped. Needs no lock.
  [[nodiscard]] static ChunkBytes MakeSpare(const std::atomic<bool>& stop);
  /// Adds a readied chunk; an empty one ends the readying. Lock held.
  void AddSpare(ChunkBytes bytes);

 private:
  // A sample in a chunk: this header, the record bytes, the VLSD bytes, padded to 8. A
  // sample too large for the chunks is kept whole on the heap; the header then holds a
  // pointer to it. `info` holds the record size (bits 0-19), the VLSD size (bits 20-39),
  // the record id (bits 40-61) and the two flags.
  struct Header {
    uint64_t timestamp;
    uint64_t info;
  };
  static constexpr uint64_t kSizeMask = (uint64_t{1} << 20) - 1;
  static constexpr int kVlsdShift = 20;
  static constexpr int kIdShift = 40;
  static constexpr uint64_t kIdMask = (uint64_t{1} << 22) - 1;
  static constexpr uint64_t kVlsdFlag = uint64_t{1} << 62;
  static constexpr uint64_t kBoxedFlag = uint64_t{1} << 63;
  /// One chunk holds some hundred thousand bus-logging records and is mapped on its own
  /// with huge pages where the system has them: a page fault per 4 KiB of fresh queue was
  /// the largest cost left of queueing a measurement (bench_mdfwriter). A packed sample
  /// takes at most half a chunk.
  static constexpr size_t kChunkBytes = size_t{4} << 20;
  /// Emptied chunks kept for the producer: a queue that is written while it fills reuses
  /// its pages instead of having fresh ones zeroed.
  static constexpr size_t kMaxSpares = 4;
  /// Readied chunks the producer finds waiting: it fills one in a few milliseconds, about
  /// the time it takes to touch one.
  static constexpr size_t kReadySpares = 2;

  // What the producer has published in a chunk, in one word so that the consumer reads a
  // count and an end that agree: the end of the newest sample in the low bits, the number
  // of samples above them.
  static constexpr int kCountShift = 23;
  static constexpr uint64_t kTailMask = (uint64_t{1} << kCountShift) - 1;
  static_assert(kChunkBytes <= kTailMask);
  [[nodiscard]] static size_t Tail(uint64_t published) { return static_cast<size_t>(published & kTailMask); }
  [[nodiscard]] static uint64_t Count(uint64_t published) { return published >> kCountShift; }
  /// The producer's fields stay off the cache lines the consumer writes: sharing one, the
  /// two threads slowed each other down severalfold (bench_mdfwriter, Worker1ms).
  static constexpr size_t kCacheLine = 64;
  struct Chunk {
    ChunkBytes bytes;
    size_t head = 0;                                         // first byte of the oldest sample; the consumer's
    uint64_t taken = 0;                                      // samples taken off; the consumer's
    alignas(kCacheLine) std::atomic<uint64_t> published{0};  // the producer's
  };

  [[nodiscard]] static constexpr size_t EntrySize(size_t record_size, size_t vlsd_size) {
    return (sizeof(Header) + record_size + vlsd_size + 7) & ~size_t{7};
  }
  [[nodiscard]] static size_t EntrySize(const Header& header);
  [[nodiscard]] static Header HeaderAt(const uint8_t* entry) {
    Header header;
    std::memcpy(&header, entry, sizeof(header));
    return header;
  }
  [[nodiscard]] static SampleRecord* Boxed(const uint8_t* entry);
  [[nodiscard]] static View ViewOf(uint8_t* entry);
  /// The end of the samples the consumer may read in the chunk.
  [[nodiscard]] static size_t End(const Chunk& chunk) { return Tail(chunk.published.load(std::memory_order_acquire)); }

  /// A new back chunk; returns where its first entry of `need` bytes goes.
  uint8_t* Grow(size_t need);
  void Published(uint64_t timestamp, size_t entry_size) {
    last_time_.store(timestamp, std::memory_order_relaxed);
    const uint64_t published = back_->published.load(std::memory_order_relaxed);
    back_->published.store(published + (uint64_t{1} << kCountShift) + entry_size, std::memory_order_release);
  }
  /// The oldest chunk holding samples; null when none does.
  [[nodiscard]] Chunk* FrontChunk();
  /// Advances past the oldest sample of the chunk.
  void Advance(Chunk& chunk, const Header& header);
  /// Keeps the emptied chunks before the back one for reuse.
  void RecycleConsumed();
  void Recycle(ChunkBytes bytes);
  static void FreeBoxed(const Chunk& chunk, size_t end);

  // The producer's, read and written for every sample.
  alignas(kCacheLine) Chunk* back_ = nullptr;  // the chunk the producer fills
  std::atomic<uint64_t> last_time_{0};         // time of the newest published sample
  // The consumer's, and what changes only under the lock.
  alignas(kCacheLine) std::vector<SampleRecord> front_;  // put back, the oldest last
  std::deque<Chunk> chunks_;
  std::vector<ChunkBytes> spares_;
  bool keep_ready_ = false;  // chunks are readied for the producer
  bool streaming_ = false;   // the producer has filled a chunk and wants the next
};

template <typename Visit>
SampleQueue::Taken SampleQueue::TakeFront(size_t max_bytes, uint64_t stop, Visit&& visit) {
  Taken taken;
  Chunk* chunk = front_.empty() ? FrontChunk() : nullptr;
  if (chunk == nullptr) return taken;
  // The chunk's own fields are written once at the end: the producer may be filling the
  // chunk, and its end shares their cache line.
  uint8_t* bytes = chunk->bytes.get();
  const size_t end = End(*chunk);
  const size_t last = chunk->head + max_bytes;
  size_t head = chunk->head;
  uint64_t count = 0;
  while (head < end && head < last) {
    uint8_t* entry = bytes + head;
    const Header header = HeaderAt(entry);
    if ((header.info & (kBoxedFlag | kVlsdFlag | (kSizeMask << kVlsdShift))) != 0) break;
    const View view{header.timestamp, header.info >> kIdShift, entry + sizeof(Header), header.info & kSizeMask, 0};
    head += EntrySize(view.record_size, 0);
    ++count;
    if (stop > 0 && view.timestamp > stop) {
      taken.after_stop = true;  // dropped; the later samples stay queued
      break;
    }
    // A visit that throws fails the pass, which drops the whole queue.
    visit(view);
    ++taken.count;
  }
  chunk->head = head;
  chunk->taken += count;
  RecycleConsumed();
  return taken;
}

template <typename Visit>
void SampleQueue::ForEach(Visit&& visit) {
  for (auto sample = front_.rbegin(); sample != front_.rend(); ++sample) {
    View view{sample->timestamp, sample->record_id, sample->record_buffer.data(), sample->record_buffer.size(),
              sample->vlsd_buffer.size()};
    visit(view);
  }
  for (Chunk& chunk : chunks_) {
    const size_t end = End(chunk);
    for (size_t offset = chunk.head; offset < end;) {
      uint8_t* entry = chunk.bytes.get() + offset;
      View view = ViewOf(entry);
      offset += EntrySize(HeaderAt(entry));
      visit(view);
    }
  }
}

}  // namespace mdf
