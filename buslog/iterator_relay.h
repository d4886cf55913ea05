#pragma once
// The relay of framed records to the event iterator's decoding thread: the reading side copies
// each record into a batch, and a thread of its own hands the full batches, in record order,
// to the record taker while the library frames the next records. Owns the thread, the batches
// and their hand-over; what a record means is the taker's. Relies on the standard library only.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace iterator_detail {

/// What the two threads write lies on cache lines of its own.
constexpr size_t kCacheLine = 64;

// Records travel to the decoding thread in batches: per record its target, sample and size
// (three 64-bit words) and its bytes, padded to a word.
struct alignas(kCacheLine) RecordBatch {  // one side at a time, but neighbours belong to the other
  std::vector<uint64_t> words;
  size_t used = 0;

  static size_t WordsOf(size_t size) { return 3 + (size + sizeof(uint64_t) - 1) / sizeof(uint64_t); }
  /// Calls take(target, sample, record, size) for each record in order; false at the first
  /// record it does not take.
  template <typename Take>
  bool ForEach(Take&& take) const {
    for (size_t at = 0; at < used;) {
      const uint64_t* entry = words.data() + at;
      const auto size = static_cast<size_t>(entry[2]);
      at += WordsOf(size);
      if (!take(static_cast<size_t>(entry[0]), entry[1], reinterpret_cast<const uint8_t*>(entry + 3), size)) {
        return false;
      }
    }
    return true;
  }
};

/// Takes the relayed records on the decoding thread.
class RecordTaker {
 public:
  /// The batch's records in order; false when one cannot be taken, which stops the decoding.
  /// What it throws is raised on the reading side (RecordRelay::RethrowFailure).
  virtual bool TakeBatch(const RecordBatch& batch) = 0;

 protected:
  RecordTaker() = default;
  ~RecordTaker() = default;
  RecordTaker(const RecordTaker&) = default;
  RecordTaker& operator=(const RecordTaker&) = default;
};

class RecordRelay {
 public:
  explicit RecordRelay(RecordTaker& taker) : taker_(taker) {}
  ~RecordRelay() { Finish(); }
  RecordRelay(const RecordRelay&) = delete;
  RecordRelay& operator=(const RecordRelay&) = delete;

  /// Starts the decoding thread. Without a thread (or memory for the batches) nothing is
  /// relayed: the caller takes the records as they come.
  void Start();
  [[nodiscard]] bool Relaying() const { return reading_.relaying; }
  /// Copies a record into the batch being filled; false when the decoding stopped (or memory
  /// is short: see OutOfMemory).
  bool Put(size_t target, uint64_t sample, const uint8_t* record, size_t size) {
    if (stopped_.load(std::memory_order_relaxed)) return false;
    const size_t words = RecordBatch::WordsOf(size);
    const RecordBatch* filling = reading_.filling;
    if ((filling == nullptr || filling->words.size() - filling->used < words) && !NextBatch(words)) return false;
    uint64_t* entry = reading_.filling->words.data() + reading_.filling->used;
    entry[0] = target;
    entry[1] = sample;
    entry[2] = size;
    if (size > 0) std::memcpy(entry + 3, record, size);
    reading_.filling->used += words;
    return true;
  }
  /// Waits until every record handed on is taken and ends the thread.
  void Finish();
  /// What the taker threw, raised on the reading side.
  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }
  /// The reading side found no memory for a batch.
  [[nodiscard]] bool OutOfMemory() const { return reading_.out_of_memory; }

 private:
  static constexpr size_t kBatchWords = size_t{32} << 10;  // 256 KiB
  static constexpr size_t kBatches = 6;
  /// Hands the batch being filled on and takes an empty one with room for `words`; false
  /// when the decoding stopped (or memory is short: then noted for the reading side).
  bool NextBatch(size_t words);
  void Decode();

  // The taker's state belongs to the decoding thread while it runs; the reading side touches
  // only the batches.
  RecordTaker& taker_;
  std::thread worker_;
  std::mutex relay_lock_;
  std::condition_variable relay_changed_;
  std::vector<std::unique_ptr<RecordBatch>> batches_;
  std::vector<RecordBatch*> empty_;  // under the lock
  std::deque<RecordBatch*> full_;    // under the lock, in record order
  bool ended_ = false;               // under the lock: no more batches come
  std::exception_ptr failure_;       // the decoding thread's, read after it ended
  // Read per record by the reading side, written once by the decoding.
  alignas(kCacheLine) std::atomic<bool> stopped_{false};  // the decoding met a record it cannot take
  // What the reading side writes per record: a line the decoding thread never touches, or
  // each record would move lines between the cores (seen as runs of twice the time).
  struct alignas(kCacheLine) ReadingSide {
    bool relaying = false;
    RecordBatch* filling = nullptr;
    bool out_of_memory = false;
  };
  ReadingSide reading_;
};

}  // namespace iterator_detail
