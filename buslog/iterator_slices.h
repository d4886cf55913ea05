#pragma once
// The event slices: the events of one bus-event channel group, held compactly in sample order
// in memory released as the cursor passes it, with the pool of their longer data bytes; and
// what the decodings gather into, data group after data group (the slices and, while it is
// the merged order, the file order of their events). Both decodings pack their records here;
// the merge (iterator_merge.h) reads them. Relies on the fill rules and the memory blocks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "buslog/busmsg.h"
#include "buslog/iterator_rules.h"
#include "platform/byteorder.h"
#include "platform/memblock.h"

namespace mdf {
class IChannelGroup;
class IDataGroup;
class MdfReader;
}  // namespace mdf

namespace iterator_detail {

// ---------------------------------------------------------------------------------------
// Compact storage. A held event takes 32 bytes; data bytes beyond eight lie in its slice's
// byte pool. The record handed out is made from it on demand: a whole record takes 48 bytes
// and an allocation for longer data, and the observers held every channel's values besides
// (bench_pipeline).

constexpr uint8_t kInlineBytes = 8;

struct Event {
  int64_t time;  // ns since the file start, finished
  uint32_t id;
  uint8_t channel;
  uint8_t kind;
  uint8_t length;  // the data length
  uint8_t stored;  // bytes held; the rest of the length is zero
  uint8_t flags[sizeof(cBusMsgFlags_t)];
  union {
    uint8_t bytes[kInlineBytes];
    uint64_t pool;  // reference into the slice's pool, for more than eight bytes
  } data;
};
static_assert(sizeof(Event) == 32, "an event takes 32 bytes");
static_assert(sizeof(cBusMsgFlags_t) == 8, "the flags take 8 bytes");

// Memory filled once and released whole; not zeroed: every byte is written before it is read.
// Large blocks are mappings of their own, so that what the chain has passed goes back to the
// system at once, while the writer fills its own (bench_pipeline's peak).
class Block {
 public:
  explicit Block(size_t bytes) : data_(static_cast<uint8_t*>(memBlockResize(nullptr, 0, bytes))), bytes_(bytes) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  ~Block() { Release(); }
  Block(Block&& other) noexcept : data_(other.data_), bytes_(other.bytes_) { other.data_ = nullptr; }
  Block& operator=(Block&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
    return *this;
  }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  [[nodiscard]] uint8_t* data() const { return data_; }
  void Release() {
    if (data_ != nullptr) memBlockResize(data_, bytes_, 0);
    data_ = nullptr;
  }

 private:
  uint8_t* data_ = nullptr;
  size_t bytes_ = 0;
};

// The events of one channel group, in sample order, in chunks that are released as the
// cursor passes them; with the pool of the data bytes that do not fit an event.
class Slice {
 public:
  // A small first chunk, so that a small group costs little; then chunks of 4 MiB.
  static constexpr uint64_t kFirstEvents = 1024;
  // Chunks of the size memory blocks hand on, so that the writer fills what the chain passed.
  static constexpr uint64_t kChunkEvents = kMemBlockShared / sizeof(Event);
  static constexpr size_t kFirstPool = size_t{64} << 10;
  static constexpr size_t kPoolChunk = kMemBlockShared;

  [[nodiscard]] uint64_t size() const { return size_; }
  Event& Append() {
    if (tail_ == tail_end_) {
      const uint64_t events = chunks_.empty() ? kFirstEvents : kChunkEvents;
      chunks_.emplace_back(events * sizeof(Event));
      tail_ = Events(chunks_.size() - 1);
      tail_end_ = tail_ + events;
    }
    ++size_;
    return *tail_++;
  }
  [[nodiscard]] Event& At(uint64_t index) {
    const auto [chunk, offset] = Locate(index);
    return Events(chunk)[offset];
  }
  [[nodiscard]] const Event& At(uint64_t index) const {
    const auto [chunk, offset] = Locate(index);
    return Events(chunk)[offset];
  }

  // The bytes in the pool; the reference tells chunk and offset.
  uint64_t PutBytes(const uint8_t* bytes, size_t size) {
    if (pool_.empty() || size > pool_room_ - pool_used_) {
      const size_t room = std::max(pool_.empty() ? kFirstPool : kPoolChunk, size);
      pool_.emplace_back(room);
      pool_users_.push_back(0);
      pool_room_ = room;
      pool_used_ = 0;
    }
    if (size > 0) std::memcpy(pool_.back().data() + pool_used_, bytes, size);
    const uint64_t reference = (uint64_t{pool_.size() - 1} << 32) | pool_used_;
    pool_used_ += size;
    return reference;
  }
  [[nodiscard]] const uint8_t* PoolBytes(uint64_t reference) const {
    return pool_[reference >> 32].data() + (reference & 0xFFFFFFFFU);
  }
  // An event refers to the pool bytes (counted, so that a chunk goes once none is left).
  void Refer(Event& event, uint64_t reference) {
    event.data.pool = reference;
    ++pool_users_[reference >> 32];
  }
  /// The event holds no data bytes: its length is zeros.
  static void ClearData(Event& event) {
    event.stored = 0;
    std::memset(event.data.bytes, 0, kInlineBytes);
  }
  /// Stores the event's data: `size` logged bytes, cut or padded to the event's length.
  void SetData(Event& event, const uint8_t* bytes, size_t size) {
    if (size == 0) return ClearData(event);
    const size_t stored = std::min<size_t>(size, event.length);
    event.stored = static_cast<uint8_t>(stored);
    if (stored <= kInlineBytes && size >= kInlineBytes) {
      // Eight logged bytes or more: one load, the bytes past the length masked off.
      const uint64_t word =
          loadLe64(bytes) & (stored == kInlineBytes ? ~uint64_t{0} : (uint64_t{1} << (8 * stored)) - 1);
      for (size_t i = 0; i < kInlineBytes; ++i) event.data.bytes[i] = static_cast<uint8_t>(word >> (8 * i));
    } else if (stored <= kInlineBytes) {
      std::memset(event.data.bytes, 0, kInlineBytes);
      if (stored > 0) std::memcpy(event.data.bytes, bytes, stored);
    } else {
      Refer(event, PutBytes(bytes, stored));
    }
  }
  /// Stores the event's data from `size` bytes already in the pool, cut to the event's length.
  void SetPooledData(Event& event, uint64_t reference, size_t size) {
    const size_t stored = std::min<size_t>(size, event.length);
    event.stored = static_cast<uint8_t>(stored);
    if (stored > kInlineBytes) return Refer(event, reference);
    std::memset(event.data.bytes, 0, kInlineBytes);
    if (stored > 0) std::memcpy(event.data.bytes, PoolBytes(reference), stored);
  }
  [[nodiscard]] const uint8_t* DataOf(const Event& event) const {
    return event.stored <= kInlineBytes ? event.data.bytes : PoolBytes(event.data.pool);
  }

  /// Takes back the last event appended; its pool bytes are no longer needed by it.
  void DropLast() {
    const auto [chunk, offset] = Locate(--size_);
    const Event& event = Events(chunk)[offset];
    if (event.stored > kInlineBytes) --pool_users_[event.data.pool >> 32];
    if (offset == 0) {
      chunks_.pop_back();  // its chunk held it alone: the next event makes a new one
      tail_ = tail_end_ = nullptr;
    } else {
      // Also after a chunk was popped: the next event goes into this chunk, up to its end.
      tail_ = Events(chunk) + offset;
      tail_end_ = Events(chunk) + (chunk == 0 ? kFirstEvents : kChunkEvents);
    }
  }

  [[nodiscard]] bool sorted() const { return sorted_; }
  void NoteTime(int64_t time) {
    if (size_ > 1 && time < last_time_) sorted_ = false;
    last_time_ = time;
  }

  // Reading: the event under the slice's cursor, and the step past it.
  [[nodiscard]] bool Done() const { return cursor_ >= size_; }
  [[nodiscard]] const Event& Head() const { return At(cursor_); }
  /// Passes the head; the chunks and pool bytes no event ahead needs are released.
  void Pop() {
    const Event& event = At(cursor_);
    if (event.stored > kInlineBytes && --pool_users_[event.data.pool >> 32] == 0 && sealed_) {
      pool_[event.data.pool >> 32].Release();
    }
    const auto [chunk, offset] = Locate(cursor_++);
    if (cursor_ == size_ || offset + 1 == (chunk == 0 ? kFirstEvents : kChunkEvents)) chunks_[chunk].Release();
  }
  /// No more events or bytes come: pool chunks that no event needs are released.
  void Seal() {
    sealed_ = true;
    for (size_t i = 0; i < pool_.size(); ++i) {
      if (pool_users_[i] == 0) pool_[i].Release();
    }
  }

 private:
  [[nodiscard]] static std::pair<size_t, uint64_t> Locate(uint64_t index) {
    if (index < kFirstEvents) return {0, index};
    const uint64_t rest = index - kFirstEvents;
    return {static_cast<size_t>(1 + rest / kChunkEvents), rest % kChunkEvents};
  }
  [[nodiscard]] Event* Events(size_t chunk) const { return reinterpret_cast<Event*>(chunks_[chunk].data()); }

  std::vector<Block> chunks_;
  Event* tail_ = nullptr;  // where the next event goes, in the last chunk
  Event* tail_end_ = nullptr;
  uint64_t size_ = 0;
  uint64_t cursor_ = 0;
  std::vector<Block> pool_;
  std::vector<uint64_t> pool_users_;
  size_t pool_room_ = 0;
  size_t pool_used_ = 0;
  bool sealed_ = false;
  bool sorted_ = true;
  int64_t last_time_ = 0;
};

// A new event of the slice holding a finished record's fields; its data is the caller's to set.
inline Event& appendFields(Slice& slice, const cBusMsgHelper_t& record) {
  Event& event = slice.Append();
  event.time = record.Timestamp;
  event.id = record.ID;
  event.channel = record.BusChannel;
  event.kind = static_cast<uint8_t>(record.MsgType);
  event.length = static_cast<uint8_t>(dataLengthOf(record));
  std::memcpy(event.flags, &record.Flags, sizeof(event.flags));
  return event;
}

// A LIN event whose group logs no length (LinLength::kDataBytes): its length is the bytes
// logged for it, which its byte count says too.
inline void lengthFromLoggedBytes(Event& event, size_t size) {
  event.length = static_cast<uint8_t>(std::min<size_t>(size, kCanMaxDataBytes));
  event.flags[offsetof(cLinFlags_t, ReceivedDataByteCount)] = event.length;
}

// An event whose logged bytes are fewer than its data length: the rest would be bytes no frame
// carried. Such a frame is left out, and is damage.
inline bool lacksBytes(const Event& event) { return event.stored < event.length && carriesData(event.kind); }

// Packs a finished record (its data bytes of the record's data length, or with
// `length_from_data` of the bytes given) into the slice; its time is the caller's to note.
inline Event& packRecord(Slice& slice, const cBusMsgHelper_t& record, const uint8_t* bytes, size_t size,
                         bool length_from_data = false) {
  Event& event = appendFields(slice, record);
  if (length_from_data) lengthFromLoggedBytes(event, size);
  if (size == 0) {
    Slice::ClearData(event);
  } else {
    slice.SetData(event, bytes, size);
  }
  return event;
}

inline void appendRecord(Slice& slice, const cBusMsgHelper_t& record, const uint8_t* bytes, size_t size) {
  slice.NoteTime(packRecord(slice, record, bytes, size).time);
}

// The slice without the events of the samples, which are ascending.
std::unique_ptr<Slice> withoutEvents(const Slice& slice, const std::vector<uint64_t>& samples);

// A bus-event channel group with events, in file order.
struct SliceInfo {
  const mdf::IChannelGroup* group;
  cBusMsgType_t kind;
  uint64_t count;
};

// What getIterator gathers, data group after data group.
struct Gathered {
  std::vector<std::unique_ptr<Slice>> slices;
  std::vector<uint8_t> tags;  // the slice of each event in file order, while usable
  bool tags_usable = true;
  int64_t last_time = 0;
  uint64_t default_records = 0;
  uint64_t fast_groups = 0;
  std::string damage;  // the first the iterator met, when it came before the library's

  // Takes the data group's slices; `order` lists, for each of its events in file order, the
  // index of its slice among `added` (null when that order is unknown), which becomes an
  // index among all slices.
  void Add(std::vector<std::unique_ptr<Slice>> added, const std::vector<uint8_t>* order);
};

// Where a data group's records stop being framed by what their bytes say. A payload of a
// bus-event group that claims more bytes than any frame carries has a length that lies, and the
// records after it lie where that length put them: where nothing confirms that framing (the
// read met damage after all, or the records end in a second such claim), they give no frames.
// A claim within what a frame carries, though longer than its own frame, frames on truly.
// Both decodings show it every record of the bus-event groups and their payloads in order.
class PayloadFraming {
 public:
  PayloadFraming(const mdf::IDataGroup& data_group, const FillMap& table);

  void See(uint64_t sample, uint64_t record_id, size_t size) {
    if (lie_ == nullptr) {
      if (size > kCanMaxDataBytes) NoteClaim(record_id, size);
      return;
    }
    after_.emplace(record_id, sample);  // the first one after the lie stays
  }
  /// The record ids of the payloads of bus-event groups: each must be seen.
  [[nodiscard]] std::vector<uint64_t> PayloadIds() const;
  /// Those and the record ids of the bus-event groups: every record that can give a frame.
  [[nodiscard]] std::vector<uint64_t> RecordIds() const;
  /// Once the data group is read: whether the records after a lying length are left out.
  void Settle(const mdf::MdfReader& reader, const mdf::IDataGroup& data_group);
  /// Of the `count` records of the record id read, those framed before a lying length.
  [[nodiscard]] uint64_t Framed(uint64_t record_id, uint64_t count) const;
  /// Logs the records left out, and notes it as damage when it is the first.
  void Report(const mdf::MdfReader& reader, Gathered& gathered) const;

 private:
  void NoteClaim(uint64_t record_id, size_t size);

  std::unordered_map<uint64_t, const mdf::IChannelGroup*> payload_groups_;  // by payload record id
  std::vector<uint64_t> event_ids_;                                         // of the bus-event groups
  const mdf::IChannelGroup* lie_ = nullptr;                                 // whose payload lied
  uint64_t claim_ = 0;
  std::unordered_map<uint64_t, uint64_t> after_;  // by record id: its first sample after the lie
  bool cut_ = false;
};

// The groups whose records become events; reports the groups whose records were not all read,
// and notes a group whose records become no events as damage: they would be lost. A group of a
// known kind without events has its payloads settled here: it has no slice to settle them.
// Settles the framing first: the counts are those of the records framed truly.
std::vector<SliceInfo> collectSlices(const mdf::MdfReader& reader, const mdf::IDataGroup& data_group,
                                     PayloadFraming& framing, Gathered& gathered);

// The VLSD payloads of a group's events as a decoding read them: payload i is event i's.
struct PayloadCounts {
  uint64_t events = 0;    // of the group
  uint64_t payloads = 0;  // of its VLSD group
  uint64_t limit = 0;     // payloadLimit of event `payloads`, the first without one (events > payloads)
};

// The payloads read of the data group's VLSD channel group of the record id (0 when none is),
// as far as the framing is true.
uint64_t payloadsRead(const mdf::IDataGroup& data_group, uint64_t vlsd_record_id, const PayloadFraming& framing);

// What becomes of the events without their payload and of the payloads without their event.
struct PayloadEnd {
  uint64_t events = 0;         // the events kept: the first ones, each with its payload
  uint64_t long_payloads = 0;  // a torn payload that claims more than its frame holds
  std::string damage;          // "" when nothing is lost
};

// The one rule both decodings follow. An event without its payload, or a payload without its
// event, belongs to the torn end when the data group is the last of a recording that was
// finalized when read, its stream ended right after it (StreamEnd: it is the last whole
// record, followed by nothing or by the rest of its pair, cut), and it is the only one: the
// event is left out, and so is a payload no longer than a frame carries. A torn payload may
// claim no more than a frame carries (and than its frame, when that came first): else it is
// a length that lies. Anything else is damage; events without their payload are left out too.
PayloadEnd settlePayloads(const mdf::IDataGroup& data_group, const mdf::IChannelGroup& group, uint64_t vlsd_record_id,
                          const PayloadCounts& counts);
// Logs the damage a settlement found, and notes it when it is the first.
void reportPayloadEnd(const mdf::MdfReader& reader, const PayloadEnd& end, Gathered& gathered);

void reportBadTimes(const mdf::IChannelGroup& group, uint64_t bad_times);
// Reports the group's `count` records left out as it has what `lack` says (lackingField,
// outOfRange), and notes it as damage: its records give no frame.
void reportLeftOutGroup(const mdf::MdfReader& reader, const mdf::IChannelGroup& group, uint64_t count,
                        const std::string& lack, Gathered& gathered);
// Reports the frames of a group left out as they hold fewer data bytes than their data length
// (lacksBytes), and notes it as damage.
void reportShortFrames(const mdf::MdfReader& reader, const mdf::IChannelGroup& group, uint64_t count,
                       Gathered& gathered);
// Reports the events of a group left out as their payload's entry in the signal data could not
// be read, and notes it as damage: a frame is made only of bytes read.
void reportUnreadPayloads(const mdf::MdfReader& reader, const mdf::IChannelGroup& group, uint64_t unread,
                          Gathered& gathered);
// Reports the events of a group whose VLSD payload is longer than their frame holds
// (payloadLimit), and notes it as damage: the records such a length took are lost.
void reportLongPayloads(const mdf::MdfReader& reader, const mdf::IChannelGroup& group, uint64_t long_payloads,
                        Gathered& gathered);

}  // namespace iterator_detail
