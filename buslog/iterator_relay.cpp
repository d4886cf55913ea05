// The decoding thread and the hand-over of the batches.
#include "buslog/iterator_relay.h"

#include <new>

using namespace iterator_detail;

void RecordRelay::Start() {
  try {
    for (size_t i = 0; i < kBatches; ++i) {
      batches_.push_back(std::make_unique<RecordBatch>());
      batches_.back()->words.resize(kBatchWords);
      empty_.push_back(batches_.back().get());
    }
    worker_ = std::thread(&RecordRelay::Decode, this);
    reading_.relaying = true;
  } catch (const std::exception&) {
    // No thread or no batches: the records are taken as they come.
    batches_.clear();
    empty_.clear();
  }
}

bool RecordRelay::NextBatch(size_t words) {
  std::unique_lock guard(relay_lock_);
  if (reading_.filling != nullptr) {
    full_.push_back(reading_.filling);
    reading_.filling = nullptr;
    relay_changed_.notify_all();
  }
  relay_changed_.wait(guard, [this] { return !empty_.empty() || stopped_.load(); });
  if (stopped_.load()) return false;
  RecordBatch* batch = empty_.back();
  empty_.pop_back();
  guard.unlock();
  try {
    // A record longer than a batch gets a batch of its size: its bytes were in memory.
    if (batch->words.size() < words) batch->words.resize(words);
  } catch (const std::bad_alloc&) {
    reading_.out_of_memory = true;
    std::lock_guard again(relay_lock_);
    empty_.push_back(batch);
    return false;
  }
  batch->used = 0;
  reading_.filling = batch;
  return true;
}

void RecordRelay::Decode() {
  for (;;) {
    RecordBatch* batch = nullptr;
    {
      std::unique_lock guard(relay_lock_);
      relay_changed_.wait(guard, [this] { return !full_.empty() || ended_; });
      if (full_.empty()) return;
      batch = full_.front();
      full_.pop_front();
    }
    if (!stopped_.load(std::memory_order_relaxed)) {
      try {
        if (!taker_.TakeBatch(*batch)) stopped_.store(true);
      } catch (...) {
        failure_ = std::current_exception();  // the reading side rethrows it
        stopped_.store(true);
      }
    }
    {
      std::lock_guard guard(relay_lock_);
      batch->used = 0;
      empty_.push_back(batch);
    }
    relay_changed_.notify_all();
  }
}

void RecordRelay::Finish() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard guard(relay_lock_);
    if (reading_.filling != nullptr && reading_.filling->used > 0) full_.push_back(reading_.filling);
    reading_.filling = nullptr;
    ended_ = true;
  }
  relay_changed_.notify_all();
  worker_.join();
}
