#include "mdf/samplequeue.h"

#include <cstring>
#include <new>
#include <utility>

#include "platformshim.h"

namespace mdf {

namespace {
constexpr size_t Align8(size_t size) { return (size + 7) & ~size_t{7}; }
}  // namespace

SampleQueue::~SampleQueue() { clear(); }

void SampleQueue::ChunkFree::operator()(uint8_t* bytes) const { detail::platform::ResizeBlock(bytes, kChunkBytes, 0); }

SampleQueue::Header SampleQueue::HeaderAt(const Chunk& chunk, size_t offset) {
  Header header;
  std::memcpy(&header, chunk.bytes.get() + offset, sizeof(header));
  return header;
}

size_t SampleQueue::EntrySize(const Header& header) {
  if ((header.info & kBoxedFlag) != 0) return sizeof(Header) + sizeof(SampleRecord*);
  return Align8(sizeof(Header) + header.record_size + (header.info & kSizeMask));
}

SampleRecord* SampleQueue::Boxed(const Chunk& chunk, size_t offset) {
  SampleRecord* sample = nullptr;
  std::memcpy(&sample, chunk.bytes.get() + offset + sizeof(Header), sizeof(sample));
  return sample;
}

SampleQueue::View SampleQueue::ViewOf(Chunk& chunk, size_t offset) {
  const Header header = HeaderAt(chunk, offset);
  if ((header.info & kBoxedFlag) != 0) {
    SampleRecord* sample = Boxed(chunk, offset);
    return {header.timestamp, header.record_id, sample->record_buffer.data(), sample->record_buffer.size(),
            sample->vlsd_buffer.size()};
  }
  return {header.timestamp, header.record_id, chunk.bytes.get() + offset + sizeof(Header), header.record_size,
          header.info & kSizeMask};
}

void SampleQueue::push_back(const SampleRecord& sample) {
  const size_t record_size = sample.record_buffer.size();
  const size_t vlsd_size = sample.vlsd_buffer.size();
  // Both sizes are at most kMaxPacked when packed, so they fit the header's fields.
  const bool boxed = record_size > kMaxPacked || vlsd_size > kMaxPacked - record_size;
  const size_t need = boxed ? sizeof(Header) + sizeof(SampleRecord*) : Align8(sizeof(Header) + record_size + vlsd_size);
  if (chunks_.empty() || kChunkBytes - chunks_.back().tail < need) {
    Chunk chunk;
    if (spare_) {
      chunk.bytes = std::move(spare_);
    } else {
      chunk.bytes.reset(static_cast<uint8_t*>(detail::platform::ResizeBlock(nullptr, 0, kChunkBytes)));
      if (!chunk.bytes) throw std::bad_alloc();
    }
    chunks_.push_back(std::move(chunk));
  }
  Chunk& chunk = chunks_.back();
  uint8_t* entry = chunk.bytes.get() + chunk.tail;
  Header header{sample.timestamp, sample.record_id, 0, sample.vlsd_data ? kVlsdFlag : 0};
  if (boxed) {
    header.info |= kBoxedFlag;
    auto* copy = new SampleRecord(sample);
    std::memcpy(entry + sizeof(Header), &copy, sizeof(copy));
  } else {
    header.record_size = static_cast<uint32_t>(record_size);
    header.info |= static_cast<uint32_t>(vlsd_size);
    if (record_size > 0) std::memcpy(entry + sizeof(Header), sample.record_buffer.data(), record_size);
    if (vlsd_size > 0) std::memcpy(entry + sizeof(Header) + record_size, sample.vlsd_buffer.data(), vlsd_size);
  }
  std::memcpy(entry, &header, sizeof(header));
  back_offset_ = chunk.tail;
  chunk.tail += need;
  ++count_;
}

SampleRecord SampleQueue::pop_front() {
  --count_;
  if (!front_.empty()) {
    SampleRecord sample = std::move(front_.back());
    front_.pop_back();
    return sample;
  }
  Chunk& chunk = chunks_.front();
  const Header header = HeaderAt(chunk, chunk.head);
  SampleRecord sample;
  if ((header.info & kBoxedFlag) != 0) {
    std::unique_ptr<SampleRecord> boxed(Boxed(chunk, chunk.head));
    sample = std::move(*boxed);
  } else {
    const uint8_t* bytes = chunk.bytes.get() + chunk.head + sizeof(Header);
    const size_t vlsd_size = header.info & kSizeMask;
    sample.timestamp = header.timestamp;
    sample.record_id = header.record_id;
    sample.record_buffer.Assign(bytes, header.record_size);
    sample.vlsd_data = (header.info & kVlsdFlag) != 0;
    if (vlsd_size > 0) sample.vlsd_buffer.assign(bytes + header.record_size, bytes + header.record_size + vlsd_size);
  }
  chunk.head += EntrySize(header);
  if (chunk.head == chunk.tail) {
    if (chunks_.size() == 1) {
      chunk.head = 0;
      chunk.tail = 0;
    } else {
      if (!spare_) spare_ = std::move(chunk.bytes);
      chunks_.pop_front();
    }
  }
  return sample;
}

void SampleQueue::push_front(SampleRecord sample) {
  front_.push_back(std::move(sample));
  ++count_;
}

void SampleQueue::FreeBoxed(const Chunk& chunk) {
  for (size_t offset = chunk.head; offset < chunk.tail;) {
    const Header header = HeaderAt(chunk, offset);
    if ((header.info & kBoxedFlag) != 0) delete Boxed(chunk, offset);
    offset += EntrySize(header);
  }
}

void SampleQueue::clear() {
  for (const Chunk& chunk : chunks_) FreeBoxed(chunk);
  std::deque<Chunk>().swap(chunks_);
  std::vector<SampleRecord>().swap(front_);
  spare_.reset();
  back_offset_ = 0;
  count_ = 0;
}

uint64_t SampleQueue::TimeAt(size_t index) const {
  if (index < front_.size()) return front_[front_.size() - 1 - index].timestamp;
  index -= front_.size();
  for (const Chunk& chunk : chunks_) {
    for (size_t offset = chunk.head; offset < chunk.tail; offset += EntrySize(HeaderAt(chunk, offset))) {
      if (index-- == 0) return HeaderAt(chunk, offset).timestamp;
    }
  }
  return 0;
}

uint64_t SampleQueue::BackTime() const {
  // Emptied chunks are dropped from the front, so the last chunk is empty only when all are.
  if (!chunks_.empty() && chunks_.back().head < chunks_.back().tail) {
    return HeaderAt(chunks_.back(), back_offset_).timestamp;
  }
  return front_.empty() ? 0 : front_.front().timestamp;
}

}  // namespace mdf
