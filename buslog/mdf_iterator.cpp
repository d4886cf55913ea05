// The event iterator: every bus-event channel group of a logger file decoded into compact
// events, one per record, merged by time; the record handed out is made from the event under
// the cursor.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "buslog/mdf_reader.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/mdfreader.h"
#include "mdf/recordfields.h"
#include "platform/byteorder.h"
#include "platform/log.h"
#include "platform/memblock.h"

namespace {

constexpr double kSecondsPerNs = 1e-9;

enum class FillRule {
  kNone,
  kTime,
  kChannel,
  kIdentifier,
  kExtended,
  kDlc,
  kCanDirection,
  kEdl,
  kBrs,
  kEsi,
  kData,
  kErrorType,
  kLinDirection,
  kByteCount,
  kChecksum,
  kChecksumModel,
};

struct FillEntry {
  const char* name;
  FillRule rule;
};

// The channel names of the bus-logging layouts and what each fills.
constexpr FillEntry kFillTable[] = {
    {"Timestamp", FillRule::kTime},
    {"CAN_DataFrame", FillRule::kNone},
    {"CAN_DataFrame.DataLength", FillRule::kNone},
    {"CAN_DataFrame.BusChannel", FillRule::kChannel},
    {"CAN_DataFrame.ID", FillRule::kIdentifier},
    {"CAN_DataFrame.IDE", FillRule::kExtended},
    {"CAN_DataFrame.DLC", FillRule::kDlc},
    {"CAN_DataFrame.Dir", FillRule::kCanDirection},
    {"CAN_DataFrame.DataBytes", FillRule::kData},
    {"CAN_DataFrame.EDL", FillRule::kEdl},
    {"CAN_DataFrame.BRS", FillRule::kBrs},
    {"CAN_DataFrame.ESI", FillRule::kEsi},
    {"CAN_ErrorFrame", FillRule::kNone},
    {"CAN_ErrorFrame.BusChannel", FillRule::kChannel},
    {"CAN_ErrorFrame.ErrorType", FillRule::kErrorType},
    {"CAN_RemoteFrame", FillRule::kNone},
    {"CAN_RemoteFrame.DataLength", FillRule::kNone},
    {"CAN_RemoteFrame.BusChannel", FillRule::kChannel},
    {"CAN_RemoteFrame.ID", FillRule::kIdentifier},
    {"CAN_RemoteFrame.IDE", FillRule::kExtended},
    {"CAN_RemoteFrame.DLC", FillRule::kDlc},
    {"CAN_RemoteFrame.Dir", FillRule::kCanDirection},
    {"LIN_ChecksumError", FillRule::kNone},
    {"LIN_ChecksumError.DataLength", FillRule::kNone},
    {"LIN_ChecksumError.BusChannel", FillRule::kChannel},
    {"LIN_ChecksumError.ID", FillRule::kIdentifier},
    {"LIN_ChecksumError.Dir", FillRule::kLinDirection},
    {"LIN_ChecksumError.ReceivedDataByteCount", FillRule::kByteCount},
    {"LIN_ChecksumError.Checksum", FillRule::kChecksum},
    {"LIN_ChecksumError.ChecksumModel", FillRule::kChecksumModel},
    {"LIN_ChecksumError.DataBytes", FillRule::kData},
    {"LIN_Frame", FillRule::kNone},
    {"LIN_Frame.DataLength", FillRule::kNone},
    {"LIN_Frame.BusChannel", FillRule::kChannel},
    {"LIN_Frame.ID", FillRule::kIdentifier},
    {"LIN_Frame.Dir", FillRule::kLinDirection},
    {"LIN_Frame.ReceivedDataByteCount", FillRule::kByteCount},
    {"LIN_Frame.DataBytes", FillRule::kData},
    {"LIN_ReceiveError", FillRule::kNone},
    {"LIN_ReceiveError.BusChannel", FillRule::kChannel},
    {"LIN_ReceiveError.ID", FillRule::kIdentifier},
    {"LIN_SyncError", FillRule::kNone},
    {"LIN_SyncError.BusChannel", FillRule::kChannel},
    {"LIN_TransmissionError", FillRule::kNone},
    {"LIN_TransmissionError.BusChannel", FillRule::kChannel},
    {"LIN_TransmissionError.ID", FillRule::kIdentifier},
};
static_assert(sizeof(kFillTable) / sizeof(kFillTable[0]) == 46, "46 known channel names");

struct GroupName {
  const char* name;
  cBusMsgType_t kind;
};
constexpr GroupName kGroupNames[] = {
    {"CAN_DataFrame", kBusMsgCanDataFrame},
    {"CAN_RemoteFrame", kBusMsgCanRemoteFrame},
    {"CAN_ErrorFrame", kBusMsgCanErrorFrame},
    {"LIN_Frame", kBusMsgLinFrame},
    {"LIN_ChecksumError", kBusMsgLinChecksumError},
    {"LIN_ReceiveError", kBusMsgLinReceiveError},
    {"LIN_TransmissionError", kBusMsgLinTransmissionError},
    {"LIN_SyncError", kBusMsgLinSyncError},
};

using FillMap = std::unordered_map<std::string_view, FillRule>;

FillMap buildFillTable() {
  FillMap table;
  for (const FillEntry& entry : kFillTable) table.emplace(entry.name, entry.rule);
  return table;
}

uint8_t asFlag(uint8_t value) { return value != 0 ? 1 : 0; }

template <typename T>
struct As {
  using Type = T;
};

// Applies a number rule to the record; `value(As<T>{})` gives the field's value after the
// channel's conversion as the type the rule takes. Both decodings fill through here.
template <typename Value>
void applyNumberRule(FillRule rule, cBusMsgHelper_t& record, const Value& value) {
  switch (rule) {
    case FillRule::kNone:
    case FillRule::kData:
      break;
    case FillRule::kTime:
      record.Timestamp = value(As<double>{});
      break;
    case FillRule::kChannel:
      record.BusChannel = value(As<uint8_t>{});
      break;
    case FillRule::kIdentifier:
      record.ID |= value(As<uint32_t>{});
      break;
    case FillRule::kExtended: {
      const uint8_t v = value(As<uint8_t>{});
      record.Flags.Can.IDE = asFlag(v);
      if (v != 0) record.ID |= kCanExtendedKeyBit;
      break;
    }
    case FillRule::kDlc:
      record.Flags.Can.DLC = value(As<uint8_t>{});
      break;
    case FillRule::kCanDirection:
      record.Flags.Can.Dir = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kEdl:
      record.Flags.Can.EDL = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kBrs:
      record.Flags.Can.BRS = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kEsi:
      record.Flags.Can.ESI = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kErrorType: {
      const uint8_t v = value(As<uint8_t>{});
      record.Flags.Error.ErrorType = v <= kCanErrorMaxValue ? static_cast<cCanErrorMsgType_t>(v) : kCanErrorOther;
      break;
    }
    case FillRule::kLinDirection:
      record.Flags.Lin.Dir = asFlag(value(As<uint8_t>{}));
      break;
    case FillRule::kByteCount:
      record.Flags.Lin.ReceivedDataByteCount = value(As<uint8_t>{});
      break;
    case FillRule::kChecksum:
      record.Flags.Lin.Checksum = value(As<uint8_t>{});
      break;
    case FillRule::kChecksumModel:
      record.Flags.Lin.ChecksumModel = value(As<uint8_t>{});
      break;
  }
}

// Absolute time, kind and the kind's flags; returns false for a time that is no number (it is
// then taken as the file start).
bool finishFields(cBusMsgHelper_t& record, cBusMsgType_t kind, double start) {
  const bool usable = std::isfinite(record.Timestamp);
  record.Timestamp = (usable ? record.Timestamp : 0.0) + start;
  record.MsgType = kind;
  if (kind == kBusMsgCanRemoteFrame) record.Flags.Can.RTR = 1;
  return usable;
}

// The data length of a finished record: logged bytes are cut or padded with zeros to it.
uint32_t dataLengthOf(const cBusMsgHelper_t& record) {
  switch (record.MsgType) {
    case kBusMsgCanRemoteFrame:
    case kBusMsgCanDataFrame:
      return canDlcToLength(record.Flags.Can.DLC);
    case kBusMsgLinFrame:
    case kBusMsgLinChecksumError:
      return record.Flags.Lin.ReceivedDataByteCount;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------------------
// Compact storage. A held event takes 32 bytes; data bytes beyond eight lie in its slice's
// byte pool. The record handed out is made from it on demand: a whole record takes 48 bytes
// and an allocation for longer data, and the observers held every channel's values besides
// (bench_pipeline).

constexpr uint8_t kInlineBytes = 8;

struct Event {
  double time;  // absolute, finished
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

  [[nodiscard]] bool sorted() const { return sorted_; }
  void NoteTime(double time) {
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
  double last_time_ = 0.0;
};

// A new event of the slice holding a finished record's fields; its data is the caller's to set.
Event& appendFields(Slice& slice, const cBusMsgHelper_t& record) {
  Event& event = slice.Append();
  event.time = record.Timestamp;
  event.id = record.ID;
  event.channel = record.BusChannel;
  event.kind = static_cast<uint8_t>(record.MsgType);
  event.length = static_cast<uint8_t>(dataLengthOf(record));
  std::memcpy(event.flags, &record.Flags, sizeof(event.flags));
  return event;
}

// Packs a finished record (its data bytes of the record's data length) into the slice.
void appendRecord(Slice& slice, const cBusMsgHelper_t& record, const uint8_t* bytes, size_t size) {
  Event& event = appendFields(slice, record);
  if (size == 0) {
    Slice::ClearData(event);
  } else {
    slice.SetData(event, bytes, size);
  }
  slice.NoteTime(event.time);
}

// Where an event lies: slice and index.
struct EventRef {
  uint32_t slice;
  uint64_t index;
};

}  // namespace

/// The slices in merge order; the record under the cursor is made from their events.
struct cMdfReaderIterator_t {
  enum class Order : uint8_t {
    kTags,    // the events' file order is the merged order: one slice number per event says it
    kMerge,   // every slice in time order: the earliest head, ties to the earlier slice
    kListed,  // the order worked out whole, for slices that are not in time order
  };
  std::vector<std::unique_ptr<Slice>> slices;
  Order order = Order::kTags;
  std::vector<uint8_t> tags;
  std::vector<EventRef> listed;
  std::vector<uint32_t> active;  // kMerge: the slices not done yet, in slice order
  uint64_t events = 0;
  uint64_t default_records = 0;
  uint64_t fast_groups = 0;
  uint64_t cursor = 0;
  cBusMsgHelper_t record{};
  ~cMdfReaderIterator_t() { cStrRelease(&record.DataBytes); }
  cMdfReaderIterator_t() = default;
  cMdfReaderIterator_t(const cMdfReaderIterator_t&) = delete;
  cMdfReaderIterator_t& operator=(const cMdfReaderIterator_t&) = delete;
};

namespace {

// Fills the iterator's record from the event; the record's data bytes are reused.
bool materialize(cBusMsgHelper_t& record, const Slice& slice, const Event& event) {
  record.Timestamp = event.time;
  record.BusChannel = event.channel;
  record.ID = event.id;
  record.MsgType = event.kind;
  std::memcpy(&record.Flags, event.flags, sizeof(record.Flags));
  char* buffer = cStrResize(&record.DataBytes, event.length, '\0');
  if (buffer == nullptr) return false;
  if (event.stored > 0) std::memcpy(buffer, slice.DataOf(event), event.stored);
  if (event.stored < event.length) std::memset(buffer + event.stored, 0, event.length - event.stored);
  return true;
}

// The sequential merge of slice after slice into the order before it, as references: among
// equal times the earlier part first, and neither part is sorted.
std::vector<EventRef> listMergedOrder(const std::vector<std::unique_ptr<Slice>>& slices) {
  std::vector<EventRef> order;
  std::vector<EventRef> earlier;
  for (uint32_t s = 0; s < slices.size(); ++s) {
    const Slice& slice = *slices[s];
    earlier.swap(order);
    order.clear();
    order.reserve(earlier.size() + slice.size());
    size_t a = 0;
    uint64_t b = 0;
    const auto time_of = [&slices](const EventRef& ref) { return slices[ref.slice]->At(ref.index).time; };
    while (a < earlier.size() && b < slice.size()) {
      if (slice.At(b).time < time_of(earlier[a])) {
        order.push_back({s, b++});
      } else {
        order.push_back(earlier[a++]);
      }
    }
    while (a < earlier.size()) order.push_back(earlier[a++]);
    while (b < slice.size()) order.push_back({s, b++});
  }
  return order;
}

// ---------------------------------------------------------------------------------------
// The fast decoding: one whole-record observer per data group applies a plan per bus-event
// channel group straight to the record bytes, where the channel observers would keep every
// sample of every channel (bench_pipeline). A data group is decoded this way only when every
// value its plans read is one the observers would give the same way; any other data group
// goes through the observers.

constexpr size_t kRuleCount = static_cast<size_t>(FillRule::kChecksumModel) + 1;
constexpr size_t kNoField = std::numeric_limits<size_t>::max();

struct Step {
  FillRule rule;
  size_t field;  // in the plan's fields; for the data rule see Plan::data
};

enum class DataSource : uint8_t { kNone, kEmpty, kFixed, kVlsd };

struct Plan {
  const mdf::IChannelGroup* group = nullptr;
  cBusMsgType_t kind = kBusMsgUnknown;
  mdf::RecordFields fields;
  std::vector<Step> steps;
  // The field of each number rule, for the kind's own rules applied in a fixed order: any
  // order gives the same record when each rule is there once (the rules of one kind fill
  // distinct places, the identifier by OR), and no channel of another kind's name can be in
  // the group. A rule missing leaves its place as it is. Otherwise `steps` apply in order.
  std::array<size_t, kRuleCount> field_of{};
  bool in_order = false;
  std::vector<std::string> unmapped;    // names reported when the slice is filled
  DataSource data = DataSource::kNone;  // the last data channel decides
  size_t data_field = 0;
  size_t vlsd = 0;  // index of the VLSD payloads
  std::unique_ptr<Slice> slice = std::make_unique<Slice>();
  uint64_t bad_times = 0;
  std::deque<uint64_t> waiting;  // events whose VLSD payload had not come yet, in order
};

// The payloads of a VLSD channel group, in record order: payload i belongs to event i of the
// group whose data channel names it. Only payloads whose event has not come are held, so a
// recording that logs each payload next to its frame holds next to none.
struct VlsdPayloads {
  struct Payload {
    uint64_t reference;  // into the plan's slice pool
    uint32_t size;
  };
  uint64_t record_id = 0;
  size_t plan = 0;
  uint64_t count = 0;           // payloads seen
  std::deque<Payload> pending;  // payloads count - pending.size() .. count - 1
};

template <FillRule kRule>
[[gnu::always_inline]] inline void applyKindRule(const Plan& plan, const mdf::RawValue* values,
                                                 cBusMsgHelper_t& record) {
  const size_t field = plan.field_of[static_cast<size_t>(kRule)];
  if (field == kNoField) return;
  const mdf::RecordFields& decoded = plan.fields;
  const mdf::RawValue& raw = values[field];
  applyNumberRule(kRule, record, [&decoded, &raw, field](auto as) {
    return decoded.Converted<typename decltype(as)::Type>(field, raw);
  });
}

// The number rules the fill table has for a kind's names (and "Timestamp"), named once: a
// plan checks its group's rules against them, and its records are filled by them.
template <FillRule... kRules>
struct KindRules {
  static constexpr bool Takes(FillRule rule) { return ((rule == kRules) || ...); }
  static void Apply(const Plan& plan, const mdf::RawValue* values, cBusMsgHelper_t& record) {
    (applyKindRule<kRules>(plan, values, record), ...);
  }
};

template <typename Visit>
decltype(auto) withKindRules(cBusMsgType_t kind, Visit&& visit) {
  using R = FillRule;
  switch (kind) {
    case kBusMsgCanDataFrame:
      return visit(KindRules<R::kTime, R::kChannel, R::kIdentifier, R::kExtended, R::kDlc, R::kCanDirection, R::kEdl,
                             R::kBrs, R::kEsi>{});
    case kBusMsgCanRemoteFrame:
      return visit(KindRules<R::kTime, R::kChannel, R::kIdentifier, R::kExtended, R::kDlc, R::kCanDirection>{});
    case kBusMsgCanErrorFrame:
      return visit(KindRules<R::kTime, R::kChannel, R::kErrorType>{});
    case kBusMsgLinFrame:
      return visit(KindRules<R::kTime, R::kChannel, R::kIdentifier, R::kLinDirection, R::kByteCount>{});
    case kBusMsgLinChecksumError:
      return visit(KindRules<R::kTime, R::kChannel, R::kIdentifier, R::kLinDirection, R::kByteCount, R::kChecksum,
                             R::kChecksumModel>{});
    case kBusMsgLinReceiveError:
    case kBusMsgLinTransmissionError:
      return visit(KindRules<R::kTime, R::kChannel, R::kIdentifier>{});
    default:
      return visit(KindRules<R::kTime, R::kChannel>{});
  }
}

bool kindTakes(cBusMsgType_t kind, FillRule rule) {
  return withKindRules(kind, [rule](auto rules) { return decltype(rules)::Takes(rule); });
}

// Bounds for a decoding without observers: counts beyond it would fail the observers'
// creation, which the fast decoding then would not report.
constexpr uint64_t kMaxFastSamples = uint64_t{1} << 40;

class FastDecoder : public mdf::ISampleObserver {
 public:
  FastDecoder(mdf::IDataGroup& data_group, double start) : ISampleObserver(data_group), start_(start) {
    record_id_list_.clear();
    small_.fill(kNone);
  }
  ~FastDecoder() override {
    FastDecoder::Detach();
    Finish();
  }
  FastDecoder(const FastDecoder&) = delete;
  FastDecoder& operator=(const FastDecoder&) = delete;

  // Builds the plans; false when the data group needs the observers.
  bool Plan(const FillMap& table);

  /// Starts the decoding thread: the records the library frames are then decoded there, in
  /// their order, while the library frames the next ones. Without a thread they are decoded
  /// as they come.
  void Start();
  /// Waits until every record handed on is decoded; the results below are complete then.
  void Finish();
  /// What the decoding threw, raised on the reading side.
  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

  bool OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) override {
    const size_t target = Target(record_id);
    if (target == kNone) return true;
    if (!reading_.relaying) return Take(target, sample, record, size);
    return Relay(target, sample, record, size);
  }

  [[nodiscard]] bool OutOfMemory() const { return out_of_memory_; }
  /// Something the plans did not foresee: the data group is read again through observers.
  [[nodiscard]] bool Unexpected() const { return unexpected_; }
  std::vector<::Plan>& Plans() { return plans_; }
  /// The data group is read: the events still waiting for a payload keep none.
  void FinishPayloads();
  /// The file order of the events: per event its plan's index.
  std::vector<uint8_t>& FileOrder() { return file_order_; }
  [[nodiscard]] bool FileOrderUsable() const { return file_order_usable_; }

 private:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();
  static constexpr size_t kVlsdBase = size_t{1} << 32;
  static constexpr size_t kMaxPlans = 255;  // plan indexes fit a byte of the file order

  [[nodiscard]] size_t Target(uint64_t record_id) const {
    if (record_id < small_.size()) return small_[record_id];
    const auto found = large_.find(record_id);
    return found == large_.end() ? kNone : found->second;
  }
  void Listen(uint64_t record_id, size_t target) {
    record_id_list_.insert(record_id);
    if (record_id < small_.size()) {
      small_[record_id] = target;
    } else {
      large_[record_id] = target;
    }
  }
  bool PlanGroup(const FillMap& table, mdf::IChannelGroup& group, cBusMsgType_t kind,
                 const std::unordered_map<uint64_t, const mdf::IChannelGroup*>& first_of_id);
  bool Take(size_t target, uint64_t sample, const uint8_t* record, size_t size) {
    try {
      if (target >= kVlsdBase) return TakePayload(vlsd_[target - kVlsdBase], sample, record, size);
      return TakeRecord(plans_[target], sample, record, size);
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
      return false;
    }
  }
  bool TakeRecord(::Plan& plan, uint64_t sample, const uint8_t* record, size_t size);
  bool TakePayload(VlsdPayloads& payloads, uint64_t sample, const uint8_t* record, size_t size);

  // Records travel to the decoding thread in batches: per record its target, sample and size
  // (three 64-bit words) and its bytes, padded to a word.
  static constexpr size_t kCacheLine = 64;
  struct alignas(kCacheLine) Batch {  // one side at a time, but neighbours belong to the other
    std::vector<uint64_t> words;
    size_t used = 0;
  };
  static constexpr size_t kBatchWords = size_t{32} << 10;  // 256 KiB
  static constexpr size_t kBatches = 6;
  bool Relay(size_t target, uint64_t sample, const uint8_t* record, size_t size);
  /// Hands the batch being filled on and takes an empty one with room for `words`; false
  /// when the decoding stopped (or memory is short: then noted for the reading side).
  bool NextBatch(size_t words);
  void Decode();

  double start_;
  std::vector<::Plan> plans_;
  std::vector<VlsdPayloads> vlsd_;
  // Read by both threads and written by neither while they run; on lines of its own.
  alignas(kCacheLine) std::array<size_t, 256> small_{};
  std::unordered_map<uint64_t, size_t> large_;
  std::vector<mdf::RawValue> values_;
  alignas(kCacheLine) std::vector<uint8_t> file_order_;  // from here on the decoding's
  bool file_order_usable_ = true;
  double last_time_ = 0.0;
  size_t last_plan_ = 0;
  bool out_of_memory_ = false;
  bool unexpected_ = false;

  // The relay to the decoding thread. Plans, slices and payloads belong to that thread while
  // it runs; the reading side touches only the batches.
  std::thread worker_;
  std::mutex relay_lock_;
  std::condition_variable relay_changed_;
  std::vector<std::unique_ptr<Batch>> batches_;
  std::vector<Batch*> empty_;   // under the lock
  std::deque<Batch*> full_;     // under the lock, in record order
  bool ended_ = false;          // under the lock: no more batches come
  std::exception_ptr failure_;  // the decoding thread's, read after it ended
  // Read per record by the reading side, written once by the decoding.
  alignas(kCacheLine) std::atomic<bool> stopped_{false};  // the decoding met a record it cannot take
  // What the reading side writes per record: a line the decoding thread never touches, or
  // each record would move lines between the cores (seen as runs of twice the time).
  struct alignas(kCacheLine) ReadingSide {
    bool relaying = false;
    Batch* filling = nullptr;
    bool out_of_memory = false;
  };
  ReadingSide reading_;
};

void FastDecoder::Start() {
  try {
    for (size_t i = 0; i < kBatches; ++i) {
      batches_.push_back(std::make_unique<Batch>());
      batches_.back()->words.resize(kBatchWords);
      empty_.push_back(batches_.back().get());
    }
    worker_ = std::thread(&FastDecoder::Decode, this);
    reading_.relaying = true;
  } catch (const std::exception&) {
    // No thread or no batches: the records are decoded as they come.
    batches_.clear();
    empty_.clear();
  }
}

bool FastDecoder::Relay(size_t target, uint64_t sample, const uint8_t* record, size_t size) {
  if (stopped_.load(std::memory_order_relaxed)) return false;
  const size_t words = 3 + (size + sizeof(uint64_t) - 1) / sizeof(uint64_t);
  const Batch* filling = reading_.filling;
  if ((filling == nullptr || filling->words.size() - filling->used < words) && !NextBatch(words)) return false;
  uint64_t* entry = reading_.filling->words.data() + reading_.filling->used;
  entry[0] = target;
  entry[1] = sample;
  entry[2] = size;
  if (size > 0) std::memcpy(entry + 3, record, size);
  reading_.filling->used += words;
  return true;
}

bool FastDecoder::NextBatch(size_t words) {
  std::unique_lock guard(relay_lock_);
  if (reading_.filling != nullptr) {
    full_.push_back(reading_.filling);
    reading_.filling = nullptr;
    relay_changed_.notify_all();
  }
  relay_changed_.wait(guard, [this] { return !empty_.empty() || stopped_.load(); });
  if (stopped_.load()) return false;
  Batch* batch = empty_.back();
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

void FastDecoder::Decode() {
  for (;;) {
    Batch* batch = nullptr;
    {
      std::unique_lock guard(relay_lock_);
      relay_changed_.wait(guard, [this] { return !full_.empty() || ended_; });
      if (full_.empty()) return;
      batch = full_.front();
      full_.pop_front();
    }
    if (!stopped_.load(std::memory_order_relaxed)) {
      try {
        for (size_t at = 0; at < batch->used;) {
          const uint64_t* entry = batch->words.data() + at;
          const auto size = static_cast<size_t>(entry[2]);
          at += 3 + (size + sizeof(uint64_t) - 1) / sizeof(uint64_t);
          if (!Take(static_cast<size_t>(entry[0]), entry[1], reinterpret_cast<const uint8_t*>(entry + 3), size)) {
            stopped_.store(true);
            break;
          }
        }
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

void FastDecoder::Finish() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard guard(relay_lock_);
    if (reading_.filling != nullptr && reading_.filling->used > 0) full_.push_back(reading_.filling);
    reading_.filling = nullptr;
    ended_ = true;
  }
  relay_changed_.notify_all();
  worker_.join();
  out_of_memory_ = out_of_memory_ || reading_.out_of_memory;
}

bool FastDecoder::Plan(const FillMap& table) {
  const std::vector<mdf::IChannelGroup*> groups = DataGroup().ChannelGroups();
  std::unordered_map<uint64_t, const mdf::IChannelGroup*> first_of_id;
  for (const mdf::IChannelGroup* group : groups) {
    if (group != nullptr) first_of_id.emplace(group->RecordId(), group);
  }
  for (mdf::IChannelGroup* group : groups) {
    if (group == nullptr || group->NofSamples() == 0) continue;
    if (group->NofSamples() > kMaxFastSamples) return false;
    const cBusMsgType_t kind =
        (group->Flags() & mdf::kChannelGroupVlsdFlag) != 0 ? kBusMsgUnknown : cMdfReader_t::getGroupType(group);
    for (const mdf::IChannel* channel : group->Channels()) {
      if (channel == nullptr) continue;
      // What the observers of every group would do beyond giving values: read signal data,
      // fail on arrays of damaged sizes, give no observer for a data type.
      if (channel->ChannelArray() != nullptr || channel->DataType() > mdf::kMimeStream ||
          channel->ChannelGroup() != group) {
        return false;
      }
      if (channel->ChannelType() == mdf::kVlsdChannel && (kind == kBusMsgUnknown || channel->VlsdRecordId() == 0)) {
        return false;
      }
    }
    if (kind == kBusMsgUnknown) continue;
    if (first_of_id.at(group->RecordId()) != group) return false;  // two groups of one record id
    if (plans_.size() == kMaxPlans || !PlanGroup(table, *group, kind, first_of_id)) return false;
  }
  for (size_t i = 0; i < plans_.size(); ++i) Listen(plans_[i].group->RecordId(), i);
  for (size_t i = 0; i < vlsd_.size(); ++i) {
    if (Target(vlsd_[i].record_id) != kNone) return false;  // one record id, two uses
    Listen(vlsd_[i].record_id, kVlsdBase + i);
  }
  return true;
}

bool FastDecoder::PlanGroup(const FillMap& table, mdf::IChannelGroup& group, cBusMsgType_t kind,
                            const std::unordered_map<uint64_t, const mdf::IChannelGroup*>& first_of_id) {
  ::Plan plan;
  plan.group = &group;
  plan.kind = kind;
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr) continue;
    const std::string name = channel->Name();
    const auto found = table.find(name);
    if (found == table.end()) {
      plan.unmapped.push_back(name);
      continue;
    }
    const FillRule rule = found->second;
    if (rule == FillRule::kNone) continue;
    if (rule != FillRule::kData) {
      const std::optional<size_t> field = plan.fields.AddNumber(*channel);
      if (!field.has_value()) return false;
      plan.steps.push_back({rule, *field});
      continue;
    }
    const uint8_t data_type = channel->DataType();
    if (data_type < mdf::kByteArray) {
      plan.data = DataSource::kEmpty;  // no bytes come from a channel of another type
    } else if (channel->ChannelType() == mdf::kVlsdChannel) {
      // The payloads are the records of a VLSD channel group of this data group.
      const auto payloads = first_of_id.find(channel->VlsdRecordId());
      if (payloads == first_of_id.end() || (payloads->second->Flags() & mdf::kChannelGroupVlsdFlag) == 0 ||
          (channel->Flags() & mdf::kChannelInvalidationBitFlag) != 0) {
        return false;
      }
      for (const VlsdPayloads& other : vlsd_) {
        if (other.record_id == channel->VlsdRecordId()) return false;  // two channels share them
      }
      plan.data = DataSource::kVlsd;
      plan.vlsd = vlsd_.size();
      vlsd_.push_back({channel->VlsdRecordId(), plans_.size(), 0, {}});
    } else {
      const std::optional<size_t> field = plan.fields.AddBytes(*channel);
      if (!field.has_value()) return false;
      plan.data = DataSource::kFixed;
      plan.data_field = *field;
    }
  }
  plan.field_of.fill(kNoField);
  for (const Step& step : plan.steps) {
    size_t& field = plan.field_of[static_cast<size_t>(step.rule)];
    if (field != kNoField || !kindTakes(kind, step.rule)) plan.in_order = true;
    field = step.field;
  }
  if (plan.data != DataSource::kVlsd) {
    for (const VlsdPayloads& payloads : vlsd_) {
      if (payloads.plan == plans_.size()) return false;  // a data channel given up for a later one
    }
  }
  values_.resize(std::max(values_.size(), plan.fields.Size()));
  plans_.push_back(std::move(plan));
  return true;
}

bool FastDecoder::TakeRecord(::Plan& plan, uint64_t sample, const uint8_t* record, size_t size) {
  Slice& slice = *plan.slice;
  if (sample != slice.size() || size < plan.fields.MinSize()) {
    unexpected_ = true;
    return false;
  }
  mdf::RawValue* values = values_.data();
  plan.fields.Read(record, size, values);
  cBusMsgHelper_t fields{};
  if (plan.in_order) {
    for (const Step& step : plan.steps) {
      const mdf::RecordFields& decoded = plan.fields;
      const mdf::RawValue& raw = values[step.field];
      applyNumberRule(step.rule, fields, [&decoded, &raw, &step](auto as) {
        return decoded.Converted<typename decltype(as)::Type>(step.field, raw);
      });
    }
  } else {
    // One branch on the kind per record, where a switch per field mispredicts at every field
    // of the interleaved groups (bench_pipeline).
    withKindRules(plan.kind, [&plan, values, &fields](auto rules) { decltype(rules)::Apply(plan, values, fields); });
  }
  if (!finishFields(fields, plan.kind, start_)) ++plan.bad_times;
  Event& event = appendFields(slice, fields);
  switch (plan.data) {
    case DataSource::kNone:
    case DataSource::kEmpty:
      Slice::ClearData(event);
      break;
    case DataSource::kFixed: {
      const auto [offset, length] = plan.fields.BytesOf(plan.data_field);
      slice.SetData(event, record + offset, length);
      break;
    }
    case DataSource::kVlsd: {
      // Events and payloads each come in order, so an event either finds its payload first in
      // line or waits, and a payload either finds its event first in line or is held.
      VlsdPayloads& payloads = vlsd_[plan.vlsd];
      if (sample < payloads.count) {
        const VlsdPayloads::Payload payload = payloads.pending.front();
        payloads.pending.pop_front();
        slice.SetPooledData(event, payload.reference, payload.size);
      } else {
        Slice::ClearData(event);
        plan.waiting.push_back(sample);
      }
      break;
    }
  }
  slice.NoteTime(event.time);
  // The events in file order are the merged order while they rise by (time, group).
  const size_t index = static_cast<size_t>(&plan - plans_.data());
  if (!file_order_.empty() && (event.time < last_time_ || (event.time == last_time_ && index < last_plan_))) {
    file_order_usable_ = false;
  }
  if (file_order_usable_) file_order_.push_back(static_cast<uint8_t>(index));
  last_time_ = event.time;
  last_plan_ = index;
  return true;
}

bool FastDecoder::TakePayload(VlsdPayloads& payloads, uint64_t sample, const uint8_t* record, size_t size) {
  if (sample != payloads.count || size > std::numeric_limits<uint32_t>::max()) {
    unexpected_ = true;
    return false;
  }
  ::Plan& plan = plans_[payloads.plan];
  const uint64_t reference = plan.slice->PutBytes(record, size);
  ++payloads.count;
  if (!plan.waiting.empty()) {
    // The earliest waiting event is this payload's: events wait only while their payload is
    // the next to come.
    plan.slice->SetPooledData(plan.slice->At(plan.waiting.front()), reference, size);
    plan.waiting.pop_front();
  } else {
    payloads.pending.push_back({reference, static_cast<uint32_t>(size)});
  }
  return true;
}

void FastDecoder::FinishPayloads() {
  for (::Plan& plan : plans_) plan.waiting.clear();
  vlsd_.clear();
}

// ---------------------------------------------------------------------------------------
// The decoding through channel observers, one per channel: any layout the library reads.

// Applies one observer's rule to the slice: sample i fills record i, up to the shorter one.
void applyRule(FillRule rule, const mdf::IChannelObserver& observer, cBusMsgHelper_t* slice, uint64_t count) {
  const uint64_t n = std::min(count, observer.NofHeldSamples());
  if (rule == FillRule::kData) {
    std::vector<uint8_t> bytes;
    for (uint64_t i = 0; i < n; ++i) {
      observer.GetByteArray(i, bytes);  // empty unless a byte-array type; the flag is ignored
      cStr_t data{};
      const cStrView_t view{reinterpret_cast<const char*>(bytes.data()), static_cast<int64_t>(bytes.size())};
      if (!cStrInit(&data, view)) throw std::bad_alloc();
      cStrRelease(&slice[i].DataBytes);
      slice[i].DataBytes = data;
    }
    return;
  }
  for (uint64_t i = 0; i < n; ++i) {
    applyNumberRule(rule, slice[i], [&observer, i](auto as) {
      typename decltype(as)::Type value{};
      observer.ConvertedValue(i, value);  // validity flags are not consulted
      return value;
    });
  }
}

// Owns records until they are packed.
struct RecordArray {
  std::vector<cBusMsgHelper_t> records;
  ~RecordArray() {
    for (cBusMsgHelper_t& record : records) cStrRelease(&record.DataBytes);
  }
};

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
  double last_time = 0.0;
  uint64_t default_records = 0;
  uint64_t fast_groups = 0;
  std::string damage;  // the first the iterator met, when it came before the library's

  // Takes the data group's slices; `order` lists the local slice of each of its events in
  // file order (or nothing when unusable), `local` maps the local to the new slices.
  void Add(std::vector<std::unique_ptr<Slice>> added, const std::vector<uint8_t>* order);
};

// The groups whose records become events; reports the groups whose records were not all read,
// and notes a group whose records become no events as damage: they would be lost.
std::vector<SliceInfo> collectSlices(const mdf::MdfReader& reader, const mdf::IDataGroup& data_group,
                                     Gathered& gathered) {
  std::vector<SliceInfo> slices;
  for (const mdf::IChannelGroup* group : data_group.ChannelGroups()) {
    if (group == nullptr || (group->Flags() & mdf::kChannelGroupVlsdFlag) != 0 || group->NofSamples() == 0) continue;
    // Only records really read become events: a torn or missing record is no frame.
    const uint64_t declared = group->NofSamples();
    const uint64_t count = std::min(declared, group->SampleCounter());
    if (count < declared) {
      logMessage(kLogWarning, "Channel group %s: %llu of %llu records read", group->Name().c_str(),
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(declared));
    }
    const cBusMsgType_t kind = cMdfReader_t::getGroupType(group);
    if (kind == kBusMsgUnknown) {
      gathered.default_records += count;
      if (count > 0) {
        char text[256];
        std::snprintf(text, sizeof text, "Channel group %s: %llu records of no known kind of event",
                      group->Name().c_str(), static_cast<unsigned long long>(count));
        logMessage(kLogWarning, "%s", text);
        if (gathered.damage.empty() && !reader.IsDamaged()) gathered.damage = text;
      }
    } else if (count > 0) {
      slices.push_back({group, kind, count});
    }
  }
  return slices;
}

void reportBadTimes(const mdf::IChannelGroup& group, uint64_t bad_times) {
  if (bad_times > 0) {
    logMessage(kLogWarning, "Channel group %s: %llu records without a valid time, taken as the file start",
               group.Name().c_str(), static_cast<unsigned long long>(bad_times));
  }
}

void Gathered::Add(std::vector<std::unique_ptr<Slice>> added, const std::vector<uint8_t>* order) {
  const size_t first = slices.size();
  if (order == nullptr || first + added.size() > std::numeric_limits<uint8_t>::max()) tags_usable = false;
  if (tags_usable) {
    // The local order rises by (time, slice); it must continue the one before.
    if (!order->empty() && !tags.empty()) {
      const Slice& head = *added[(*order)[0]];
      if (head.At(0).time < last_time) tags_usable = false;  // equal times: a later slice
    }
  }
  if (tags_usable) {
    for (const uint8_t local : *order) tags.push_back(static_cast<uint8_t>(first + local));
    if (!order->empty()) last_time = added[order->back()]->At(added[order->back()]->size() - 1).time;
  } else {
    tags.clear();
    tags.shrink_to_fit();
  }
  for (auto& slice : added) {
    slice->Seal();
    slices.push_back(std::move(slice));
  }
}

// Reads the data group through channel observers and packs its slices.
void readWithObservers(mdf::MdfReader& reader, mdf::IDataGroup& data_group, const FillMap& table, double start,
                       Gathered& gathered) {
  mdf::ChannelObserverList observers;
  mdf::CreateObserversForDataGroup(data_group, observers);
  reader.ReadData(data_group);  // damage is logged by the library; the counts tell what was read
  const std::vector<SliceInfo> infos = collectSlices(reader, data_group, gathered);
  std::vector<std::unique_ptr<Slice>> slices;
  std::vector<uint8_t> order;
  bool order_usable = true;
  double last_time = 0.0;
  for (const SliceInfo& info : infos) {
    RecordArray array;
    array.records.resize(info.count, cBusMsgHelper_t{});
    cBusMsgHelper_t* first = array.records.data();
    for (const mdf::ChannelObserverPtr& observer : observers) {
      if (!observer || observer->Channel().ChannelGroup() != info.group) continue;
      const std::string name = observer->ChannelName();
      const auto found = table.find(name);
      if (found == table.end()) {
        logMessage(kLogWarning, "Unmapped key: %s", name.c_str());
        continue;
      }
      applyRule(found->second, *observer, first, info.count);
    }
    auto slice = std::make_unique<Slice>();
    uint64_t bad_times = 0;
    for (cBusMsgHelper_t& record : array.records) {
      if (!finishFields(record, info.kind, start)) ++bad_times;
      appendRecord(*slice, record, reinterpret_cast<const uint8_t*>(cStrData(&record.DataBytes)),
                   static_cast<size_t>(cStrLength(&record.DataBytes)));
      cStrRelease(&record.DataBytes);
    }
    reportBadTimes(*info.group, bad_times);
    // Slice after slice is file order here only while each one continues the one before.
    if (order_usable && !order.empty() && slice->At(0).time < last_time) order_usable = false;
    if (order_usable && !slice->sorted()) order_usable = false;
    if (order_usable) {
      order.insert(order.end(), slice->size(), static_cast<uint8_t>(std::min<size_t>(slices.size(), 255)));
      last_time = slice->At(slice->size() - 1).time;
    }
    slices.push_back(std::move(slice));
  }
  if (slices.size() > std::numeric_limits<uint8_t>::max()) order_usable = false;
  gathered.Add(std::move(slices), order_usable ? &order : nullptr);
}

// Reads the data group straight from its records; false when it needs the observers.
bool readFast(mdf::MdfReader& reader, mdf::IDataGroup& data_group, const FillMap& table, double start,
              Gathered& gathered) {
  FastDecoder decoder(data_group, start);
  if (!decoder.Plan(table)) return false;
  decoder.Start();
  reader.ReadData(data_group);  // damage is logged by the library; the counts tell what was read
  decoder.Detach();
  decoder.Finish();
  decoder.RethrowFailure();
  if (decoder.OutOfMemory()) throw std::bad_alloc();
  std::vector<::Plan>& plans = decoder.Plans();
  for (const ::Plan& plan : plans) {
    if (plan.slice->size() > std::min(plan.group->NofSamples(), plan.group->SampleCounter())) return false;
  }
  if (decoder.Unexpected()) return false;
  decoder.FinishPayloads();
  const std::vector<SliceInfo> infos = collectSlices(reader, data_group, gathered);
  std::vector<std::unique_ptr<Slice>> slices;
  std::vector<uint8_t> local(plans.size(), 0);
  bool order_usable = decoder.FileOrderUsable();
  for (const SliceInfo& info : infos) {
    ::Plan* plan = nullptr;
    for (::Plan& candidate : plans) {
      if (candidate.group == info.group) plan = &candidate;
    }
    if (plan == nullptr) return false;  // not reached: every bus-event group has a plan
    for (const std::string& name : plan->unmapped) logMessage(kLogWarning, "Unmapped key: %s", name.c_str());
    Slice& slice = *plan->slice;
    // A record counted but never delivered is filled by no channel: a zero event.
    for (uint64_t i = slice.size(); i < info.count; ++i) {
      cBusMsgHelper_t record{};
      finishFields(record, info.kind, start);
      const uint8_t none = 0;
      appendRecord(slice, record, &none, 0);
      order_usable = false;
    }
    reportBadTimes(*info.group, plan->bad_times);
    local[static_cast<size_t>(plan - plans.data())] = static_cast<uint8_t>(slices.size());
    slices.push_back(std::move(plan->slice));
  }
  std::vector<uint8_t>& order = decoder.FileOrder();
  if (order_usable) {
    for (uint8_t& tag : order) tag = local[tag];
  }
  gathered.Add(std::move(slices), order_usable ? &order : nullptr);
  ++gathered.fast_groups;
  return true;
}

// Keeps fresh event blocks ready while it lives (see memBlockWarmerStart).
class BlockWarmer {
 public:
  explicit BlockWarmer(bool wanted) : warmer_(wanted ? memBlockWarmerStart(kWarmBlocks) : nullptr) {}
  ~BlockWarmer() { memBlockWarmerStop(warmer_); }
  BlockWarmer(const BlockWarmer&) = delete;
  BlockWarmer& operator=(const BlockWarmer&) = delete;

 private:
  static constexpr size_t kWarmBlocks = 4;
  cMemBlockWarmer_t* warmer_;
};

// Whether the header's cycle counts promise so many events that their blocks cost more than
// a thread readying them: a hint only, as the counts are the file's.
bool manyEvents(const mdf::IHeader& header) {
  constexpr uint64_t kMany = uint64_t{1} << 20;
  uint64_t events = 0;
  for (const mdf::IDataGroup* data_group : header.DataGroups()) {
    if (data_group == nullptr) continue;
    for (const mdf::IChannelGroup* group : data_group->ChannelGroups()) {
      if (group != nullptr) events += std::min(group->NofSamples(), kMany);
      if (events >= kMany) return true;
    }
  }
  return false;
}

}  // namespace

cBusMsgType_t cMdfReader_t::getGroupType(const mdf::IChannelGroup* group) {
  if (group == nullptr) return kBusMsgUnknown;
  std::set<std::string> prefixes;
  for (const mdf::IChannel* channel : group->Channels()) {
    if (channel == nullptr || channel->ChannelType() == mdf::kMasterChannel) continue;
    const std::string name = channel->Name();
    const size_t point = name.find('.');
    if (point != std::string::npos) prefixes.insert(name.substr(0, point));
  }
  if (prefixes.size() != 1) return kBusMsgUnknown;
  for (const GroupName& known : kGroupNames) {
    if (*prefixes.begin() == known.name) return known.kind;
  }
  return kBusMsgUnknown;
}

cMdfReaderIterator_t* cMdfReader_t::getIterator(Decoding decoding) const {
  const mdf::IHeader* header = reader_->FileHeader();
  if (header == nullptr) throw std::runtime_error("Unexpected NULL ptr");
  const double start = static_cast<double>(header->StartTime()) * kSecondsPerNs;
  const FillMap table = buildFillTable();
  Gathered gathered;
  {
    // Events fill fresh blocks; for a large recording they are readied on another thread.
    const BlockWarmer warmer(manyEvents(*header));
    // One data group at a time: what decodes it is released before the next one is read.
    for (mdf::IDataGroup* data_group : header->DataGroups()) {
      if (data_group == nullptr) continue;
      if (decoding == Decoding::kFastest && readFast(*reader_, *data_group, table, start, gathered)) continue;
      readWithObservers(*reader_, *data_group, table, start, gathered);
    }
  }

  auto iterator = std::make_unique<cMdfReaderIterator_t>();
  // Room for the longest data an event has: handing out a record then allocates nothing,
  // unless a stage gave the record data bytes of its own.
  if (cStrReserve(&iterator->record.DataBytes, std::numeric_limits<uint8_t>::max()) == nullptr) {
    throw std::bad_alloc();
  }
  if (iterator_damage_.empty()) iterator_damage_ = std::move(gathered.damage);
  iterator->default_records = gathered.default_records;
  iterator->fast_groups = gathered.fast_groups;
  bool sorted = true;
  for (const auto& slice : gathered.slices) {
    iterator->events += slice->size();
    sorted = sorted && slice->sorted();
  }
  iterator->slices = std::move(gathered.slices);
  if (gathered.tags_usable) {
    iterator->order = cMdfReaderIterator_t::Order::kTags;
    iterator->tags = std::move(gathered.tags);
  } else if (sorted) {
    iterator->order = cMdfReaderIterator_t::Order::kMerge;
    for (uint32_t s = 0; s < iterator->slices.size(); ++s) {
      if (!iterator->slices[s]->Done()) iterator->active.push_back(s);
    }
  } else {
    iterator->order = cMdfReaderIterator_t::Order::kListed;
    iterator->listed = listMergedOrder(iterator->slices);
  }
  return iterator.release();
}

cMdfReaderIterator_t* mdfReaderGetIterator(cMdfReader_t* reader) {
  if (reader == nullptr) return nullptr;
  try {
    return reader->getIterator();
  } catch (const std::exception&) {
    return nullptr;
  }
}

cBusMsgHelper_t* mdfReaderIteratorNext(cMdfReaderIterator_t* iterator) {
  if (iterator == nullptr) return nullptr;
  cBusMsgHelper_t& record = iterator->record;
  if (iterator->cursor >= iterator->events) {
    if (iterator->cursor >= iterator->events + iterator->default_records) return nullptr;
    ++iterator->cursor;
    busMsgReset(&record);  // the default records end the array
    return &record;
  }
  Slice* slice = nullptr;
  const Event* event = nullptr;
  switch (iterator->order) {
    case cMdfReaderIterator_t::Order::kTags:
      slice = iterator->slices[iterator->tags[iterator->cursor]].get();
      break;
    case cMdfReaderIterator_t::Order::kMerge: {
      // The earliest head; among equal times the earlier slice.
      std::vector<uint32_t>& active = iterator->active;
      size_t best = 0;
      double best_time = iterator->slices[active[0]]->Head().time;
      for (size_t i = 1; i < active.size(); ++i) {
        const double time = iterator->slices[active[i]]->Head().time;
        if (time < best_time) {
          best = i;
          best_time = time;
        }
      }
      slice = iterator->slices[active[best]].get();
      event = &slice->Head();
      if (!materialize(record, *slice, *event)) return nullptr;
      slice->Pop();
      if (slice->Done()) active.erase(active.begin() + static_cast<std::ptrdiff_t>(best));
      ++iterator->cursor;
      return &record;
    }
    case cMdfReaderIterator_t::Order::kListed: {
      const EventRef& ref = iterator->listed[iterator->cursor];
      slice = iterator->slices[ref.slice].get();
      if (!materialize(record, *slice, slice->At(ref.index))) return nullptr;
      ++iterator->cursor;
      return &record;
    }
  }
  if (!materialize(record, *slice, slice->Head())) return nullptr;
  slice->Pop();
  ++iterator->cursor;
  return &record;
}

uint64_t mdfReaderIteratorFastGroups(const cMdfReaderIterator_t* iterator) {
  return iterator != nullptr ? iterator->fast_groups : 0;
}

void mdfReaderIteratorFree(cMdfReaderIterator_t* iterator) { delete iterator; }
