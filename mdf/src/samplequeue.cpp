#include "mdf/samplequeue.h"

#include <new>
#include <utility>

#include "platformshim.h"

namespace mdf {

SampleQueue::~SampleQueue() {
  for (const Chunk& chunk : chunks_) FreeBoxed(chunk, End(chunk));
}

void SampleQueue::ChunkFree::operator()(uint8_t* bytes) const { detail::platform::ResizeBlock(bytes, kChunkBytes, 0); }

size_t SampleQueue::EntrySize(const Header& header) {
  if ((header.info & kBoxedFlag) != 0) return sizeof(Header) + sizeof(SampleRecord*);
  return EntrySize(header.info & kSizeMask, (header.info >> kVlsdShift) & kSizeMask);
}

SampleRecord* SampleQueue::Boxed(const uint8_t* entry) {
  SampleRecord* sample = nullptr;
  std::memcpy(&sample, entry + sizeof(Header), sizeof(sample));
  return sample;
}

SampleQueue::View SampleQueue::ViewOf(uint8_t* entry) {
  const Header header = HeaderAt(entry);
  if ((header.info & kBoxedFlag) != 0) {
    SampleRecord* sample = Boxed(entry);
    return {header.timestamp, sample->record_id, sample->record_buffer.data(), sample->record_buffer.size(),
            sample->vlsd_buffer.size()};
  }
  return {header.timestamp, header.info >> kIdShift & kIdMask, entry + sizeof(Header), header.info & kSizeMask,
          (header.info >> kVlsdShift) & kSizeMask};
}

uint8_t* SampleQueue::Grow(size_t need) {
  if (back_ == nullptr || kChunkBytes - Tail(back_->published.load(std::memory_order_relaxed)) < need) {
    streaming_ = back_ != nullptr;
    ChunkBytes bytes;
    if (!spares_.empty()) {
      bytes = std::move(spares_.back());
      spares_.pop_back();
    } else {
      bytes.reset(static_cast<uint8_t*>(detail::platform::ResizeBlock(nullptr, 0, kChunkBytes)));
      if (!bytes) throw std::bad_alloc();
    }
    back_ = &chunks_.emplace_back();
    back_->bytes = std::move(bytes);
    RecycleConsumed();  // the previous back chunk may be empty already
  }
  return back_->bytes.get() + Tail(back_->published.load(std::memory_order_relaxed));
}

void SampleQueue::push_back(const SampleRecord& sample) {
  const size_t record_size = sample.record_buffer.size();
  const size_t vlsd_size = sample.vlsd_buffer.size();
  const bool packs = Packs(sample.record_id, record_size, vlsd_size);
  const size_t need = packs ? EntrySize(record_size, vlsd_size) : sizeof(Header) + sizeof(SampleRecord*);
  uint8_t* entry = Grow(need);
  Header header{sample.timestamp, sample.vlsd_data ? kVlsdFlag : 0};
  if (packs) {
    header.info |= record_size | (vlsd_size << kVlsdShift) | (sample.record_id << kIdShift);
    if (record_size > 0) std::memcpy(entry + sizeof(Header), sample.record_buffer.data(), record_size);
    if (vlsd_size > 0) std::memcpy(entry + sizeof(Header) + record_size, sample.vlsd_buffer.data(), vlsd_size);
  } else {
    header.info |= kBoxedFlag;
    auto* copy = new SampleRecord(sample);
    std::memcpy(entry + sizeof(Header), &copy, sizeof(copy));
  }
  std::memcpy(entry, &header, sizeof(header));
  Published(sample.timestamp, need);
}

SampleQueue::Chunk* SampleQueue::FrontChunk() {
  for (Chunk& chunk : chunks_) {
    if (chunk.head < End(chunk)) return &chunk;
  }
  return nullptr;
}

void SampleQueue::Advance(Chunk& chunk, const Header& header) {
  chunk.head += EntrySize(header);
  ++chunk.taken;
  RecycleConsumed();
}

size_t SampleQueue::size() const {
  size_t count = front_.size();
  for (const Chunk& chunk : chunks_) {
    count += static_cast<size_t>(Count(chunk.published.load(std::memory_order_acquire)) - chunk.taken);
  }
  return count;
}

bool SampleQueue::AtLeast(size_t count) const {
  size_t found = front_.size();
  for (auto chunk = chunks_.begin(); found < count && chunk != chunks_.end(); ++chunk) {
    found += static_cast<size_t>(Count(chunk->published.load(std::memory_order_acquire)) - chunk->taken);
  }
  return found >= count;
}

SampleRecord SampleQueue::pop_front() {
  if (!front_.empty()) {
    SampleRecord sample = std::move(front_.back());
    front_.pop_back();
    return sample;
  }
  Chunk& chunk = *FrontChunk();
  const uint8_t* entry = chunk.bytes.get() + chunk.head;
  const Header header = HeaderAt(entry);
  SampleRecord sample;
  if ((header.info & kBoxedFlag) != 0) {
    std::unique_ptr<SampleRecord> boxed(Boxed(entry));
    sample = std::move(*boxed);
  } else {
    const uint8_t* bytes = entry + sizeof(Header);
    const size_t record_size = header.info & kSizeMask;
    const size_t vlsd_size = (header.info >> kVlsdShift) & kSizeMask;
    sample.timestamp = header.timestamp;
    sample.record_id = header.info >> kIdShift & kIdMask;
    sample.record_buffer.Assign(bytes, record_size);
    sample.vlsd_data = (header.info & kVlsdFlag) != 0;
    if (vlsd_size > 0) sample.vlsd_buffer.assign(bytes + record_size, bytes + record_size + vlsd_size);
  }
  Advance(chunk, header);
  return sample;
}

void SampleQueue::DropFront() {
  if (!front_.empty()) {
    front_.pop_back();
    return;
  }
  Chunk& chunk = *FrontChunk();
  const uint8_t* entry = chunk.bytes.get() + chunk.head;
  const Header header = HeaderAt(entry);
  if ((header.info & kBoxedFlag) != 0) delete Boxed(entry);
  Advance(chunk, header);
}

void SampleQueue::push_front(SampleRecord sample) { front_.push_back(std::move(sample)); }

void SampleQueue::RecycleConsumed() {
  while (chunks_.size() > 1 && chunks_.front().head == End(chunks_.front())) {
    Recycle(std::move(chunks_.front().bytes));
    chunks_.pop_front();
  }
}

SampleQueue::ChunkBytes SampleQueue::MakeSpare(const std::atomic<bool>& stop) {
  ChunkBytes bytes(static_cast<uint8_t*>(detail::platform::ResizeBlock(nullptr, 0, kChunkBytes)));
  if (bytes) {
    // A page may take long where the kernel first compacts memory for it: a stop does not
    // wait for the rest.
    volatile uint8_t* pages = bytes.get();
    for (size_t offset = 0; offset < kChunkBytes && !stop.load(std::memory_order_relaxed); offset += 4096) {
      pages[offset] = 0;
    }
  }
  return bytes;
}

void SampleQueue::AddSpare(ChunkBytes bytes) {
  if (!bytes) {
    keep_ready_ = false;  // out of memory: the producer maps its own while it can
    return;
  }
  spares_.push_back(std::move(bytes));
}

void SampleQueue::Recycle(ChunkBytes bytes) {
  if (spares_.size() < kMaxSpares) spares_.push_back(std::move(bytes));
}

void SampleQueue::FreeBoxed(const Chunk& chunk, size_t end) {
  for (size_t offset = chunk.head; offset < end;) {
    const uint8_t* entry = chunk.bytes.get() + offset;
    const Header header = HeaderAt(entry);
    if ((header.info & kBoxedFlag) != 0) delete Boxed(entry);
    offset += EntrySize(header);
  }
}

void SampleQueue::clear() {
  for (Chunk& chunk : chunks_) {
    const uint64_t published = chunk.published.load(std::memory_order_acquire);
    FreeBoxed(chunk, Tail(published));
    chunk.head = Tail(published);
    chunk.taken = Count(published);
  }
  // The back chunk stays: the producer may be filling it right now.
  while (chunks_.size() > 1) chunks_.pop_front();
  std::vector<SampleRecord>().swap(front_);
  std::vector<ChunkBytes>().swap(spares_);
  streaming_ = false;
}

uint64_t SampleQueue::TimeAt(size_t index) const {
  if (index < front_.size()) return front_[front_.size() - 1 - index].timestamp;
  index -= front_.size();
  for (const Chunk& chunk : chunks_) {
    const size_t end = End(chunk);
    for (size_t offset = chunk.head; offset < end;) {
      const Header header = HeaderAt(chunk.bytes.get() + offset);
      if (index-- == 0) return header.timestamp;
      offset += EntrySize(header);
    }
  }
  return 0;
}

uint64_t SampleQueue::BackTime() const {
  // The samples leave in order, so while any published one is left, the newest is.
  for (const Chunk& chunk : chunks_) {
    if (Count(chunk.published.load(std::memory_order_acquire)) != chunk.taken) {
      return last_time_.load(std::memory_order_relaxed);
    }
  }
  return front_.empty() ? 0 : front_.front().timestamp;
}

}  // namespace mdf
