#pragma once
// Splits the record stream of a data group into its records. The stream is handed over in
// pieces of any size (the windows of the data blocks); each record is reported to a sink
// with its channel group, its record id and either its payload bytes or, for a record the
// sink does not want, its length. Reading and both kinds of record counting frame records
// through this one piece, so a rule of the record layout, and what damage to it means,
// lives here only.
//
// Record layout: a record id of 0, 1, 2, 4 or 8 bytes (little-endian; 0 bytes only for a
// single channel group: with several, nothing tells their records apart), then the payload:
// the data and invalidation bytes of a fixed-length record, or a uint32 length and that many
// bytes for a VLSD channel group. A data group with a single channel group owns every record,
// whatever id it carries, unless damage cut its list of channel groups. An MDF 3 stream may
// repeat the record id after each fixed-length record (its trailing id): it is framed as part
// of the record and never reaches the sink.
//
// A sink provides:
//   bool Wants(size_t group, uint64_t record_id);  // payload bytes wanted, or only the length
//   FrameStep OnRecord(size_t group, uint64_t record_id, const uint8_t* payload, uint64_t size);
//   FrameStep OnSkipped(size_t group, uint64_t record_id, uint64_t size);
// A record is reported once all of its bytes have been fed (a payload that spans pieces is
// gathered first); a record the stream ends inside is never reported.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

#include "byteorder.h"
#include "damage.h"

namespace mdf::detail {

/// One channel group as the framer sees it.
struct RecordLayout {
  uint64_t record_id = 0;
  uint64_t record_bytes = 0;  ///< data + invalidation bytes of a fixed-length record
  bool vlsd = false;          ///< the records carry a uint32 length and that many bytes
};

/// What a sink asks for after a record: more, a stop after this record (the framer can
/// be fed on), or the end of the framing.
enum class FrameStep : uint8_t { kContinue, kPause, kStop };

class RecordFramer {
 public:
  /// The layouts in channel-group order. The first layout with a record id frames the
  /// records of that id; sinks are told the index of that layout in this list. Fixed-length
  /// records are followed by `trailing_id_size` bytes of their id again. `whole_list` is
  /// false when damage cut the channel groups short: a single group left then takes only
  /// the records of its own id, as the others' records are not its layout.
  RecordFramer(uint8_t record_id_size, const std::vector<RecordLayout>& layouts, uint8_t trailing_id_size = 0,
               bool whole_list = true);

  /// True when the layout at the index frames records (it is the first with its id).
  [[nodiscard]] bool Frames(size_t index) const;

  /// Frames records out of the piece. `bytes_after` is what the stream holds after the
  /// piece: a record that cannot end inside the stream is damage at once, before any of
  /// its bytes are gathered. Returns the bytes consumed: all of them, unless a sink asked
  /// for a pause or a stop, or damage ended the framing.
  template <typename Sink>
  size_t Feed(const uint8_t* data, size_t size, uint64_t bytes_after, Sink& sink);

  /// Payload bytes of a record the sink did not want that lie beyond the pieces fed so
  /// far: a caller may pass over them without reading them, then call Skipped.
  [[nodiscard]] uint64_t PendingSkip() const { return state_ == State::kSkip ? remaining_ : 0; }
  template <typename Sink>
  FrameStep Skipped(uint64_t nof_bytes, Sink& sink);

  /// The stream has ended: a record begun and not finished is a truncated record, and so
  /// is the end when the stream is `cut` (its blocks claim more than the file holds).
  void Finish(bool cut = false);

  /// True when the last Feed or Skipped ended at a sink's pause.
  [[nodiscard]] bool Paused() const { return paused_; }
  /// True after damage or a sink's stop: nothing more is framed.
  [[nodiscard]] bool Ended() const { return ended_; }
  [[nodiscard]] bool Damaged() const { return damaged_; }
  [[nodiscard]] Damage DamageFound() const { return damage_; }
  /// The record id that was read when the damage was found.
  [[nodiscard]] uint64_t DamagedRecordId() const { return damaged_id_; }
  /// The part of a truncated record the stream ended in. kNothing: the stream ended between
  /// records, where its blocks claim more.
  enum class TornPart : uint8_t { kNothing, kRecordId, kVlsdLength, kPayload };
  /// For a truncated record: the part it was cut in and, for a VLSD length or a payload, the
  /// layout index; for a payload also the bytes the record claims (a fixed record's size or
  /// the VLSD length). kNothing for any other damage.
  [[nodiscard]] TornPart Torn(size_t& index, uint64_t& length) const {
    if (!damaged_ || damage_ != Damage::kTruncatedRecord) return TornPart::kNothing;
    if (torn_ == TornPart::kVlsdLength || torn_ == TornPart::kPayload) index = groups_[group_].index;
    if (torn_ == TornPart::kPayload) length = length_;
    return torn_;
  }
  /// The size of the record id ahead of each record.
  [[nodiscard]] uint8_t RecordIdSize() const { return id_size_; }
  [[nodiscard]] size_t GroupCount() const { return groups_.size(); }

 private:
  enum class State : uint8_t { kId, kLength, kGather, kSkip };
  struct Group {
    uint64_t record_id;
    uint64_t record_bytes;  // framed: the trailing id included
    bool vlsd;
    size_t index;      // of the layout, as the sinks know it
    uint8_t trailing;  // bytes of the trailing id at the end of record_bytes
  };
  static constexpr size_t kNoGroup = std::numeric_limits<size_t>::max();
  /// Record ids below this are looked up in a table: the ids every logger file uses.
  static constexpr uint64_t kSmallIds = 256;

  [[nodiscard]] size_t GroupOf(uint64_t record_id) const {
    if (single_group_) return 0;
    if (record_id < kSmallIds) return small_ids_[record_id];
    const auto found = id_index_.find(record_id);
    return found != id_index_.end() ? found->second : kNoGroup;
  }
  /// The bytes of the current record the sink is told of: without its trailing id.
  [[nodiscard]] uint64_t PayloadSize() const { return length_ - groups_[group_].trailing; }
  void SetDamage(Damage damage, uint64_t record_id) {
    damaged_ = true;
    ended_ = true;
    damage_ = damage;
    damaged_id_ = record_id;
  }
  /// After the record id and the length are known: reports the record when the piece
  /// holds it, else starts gathering or skipping it. False when the framing ends.
  template <typename Sink>
  bool StartPayload(const uint8_t*& at, const uint8_t* end, uint64_t bytes_after, Sink& sink);
  /// True to go on; a pause or a stop is recorded.
  bool Step(FrameStep step) {
    if (step == FrameStep::kContinue) return true;
    (step == FrameStep::kStop ? ended_ : paused_) = true;
    return false;
  }
  template <size_t kIdSize, typename Sink>
  size_t FeedWithIdSize(const uint8_t* data, size_t size, uint64_t bytes_after, Sink& sink);

  uint8_t id_size_ = 0;
  bool single_group_ = false;
  std::vector<Group> groups_;
  std::vector<size_t> small_ids_;
  std::unordered_map<uint64_t, size_t> id_index_;

  State state_ = State::kId;
  bool ended_ = false;
  bool damaged_ = false;
  bool paused_ = false;
  bool several_groups_ = false;  // more than one layout: a record id is needed
  TornPart torn_ = TornPart::kNothing;
  Damage damage_ = Damage::kUnknownRecordId;
  uint64_t damaged_id_ = 0;
  uint64_t value_ = 0;      // record id or VLSD length being assembled
  uint32_t have_ = 0;       // its bytes so far
  uint64_t record_id_ = 0;  // of the current record
  size_t group_ = 0;        // of the current record, in groups_
  uint64_t remaining_ = 0;  // payload bytes still to gather or skip
  uint64_t length_ = 0;     // payload bytes of the current record
  std::vector<uint8_t> gathered_;
};

template <typename Sink>
bool RecordFramer::StartPayload(const uint8_t*& at, const uint8_t* end, uint64_t bytes_after, Sink& sink) {
  const auto in_piece = static_cast<uint64_t>(end - at);
  if (length_ > in_piece && length_ - in_piece > bytes_after) {
    SetDamage(Damage::kTruncatedRecord, record_id_);  // checked before anything is gathered
    torn_ = TornPart::kPayload;
    return false;
  }
  state_ = State::kId;
  value_ = 0;
  have_ = 0;
  const size_t index = groups_[group_].index;
  const bool wanted = sink.Wants(index, record_id_);
  if (length_ <= in_piece) {
    const uint8_t* payload = at;
    at += length_;
    return Step(wanted ? sink.OnRecord(index, record_id_, payload, PayloadSize())
                       : sink.OnSkipped(index, record_id_, PayloadSize()));
  }
  remaining_ = length_ - in_piece;
  if (wanted) {
    state_ = State::kGather;
    gathered_.reserve(length_);  // the bytes exist: checked above
    gathered_.assign(at, end);
  } else {
    state_ = State::kSkip;
  }
  at = end;
  return true;
}

template <size_t kIdSize, typename Sink>
size_t RecordFramer::FeedWithIdSize(const uint8_t* data, size_t size, uint64_t bytes_after, Sink& sink) {
  const uint8_t* at = data;
  const uint8_t* const end = data + size;
  paused_ = false;
  while (at < end && !ended_ && !paused_) {
    if (state_ == State::kId && have_ == 0 && static_cast<size_t>(end - at) >= kIdSize + 4) {
      // A whole record header lies in the piece: the common case, read in place.
      uint64_t record_id = groups_[0].record_id;
      if constexpr (kIdSize == 1) {
        record_id = *at;
      } else if constexpr (kIdSize > 1) {
        record_id = LoadUnsigned(at, kIdSize, false);
      }
      const size_t group = kIdSize == 0 ? 0 : GroupOf(record_id);
      if (group == kNoGroup) {
        SetDamage(Damage::kUnknownRecordId, record_id);
        break;
      }
      const Group& layout = groups_[group];
      const size_t index = layout.index;
      at += kIdSize;
      uint64_t length = layout.record_bytes;
      if (layout.vlsd) {
        length = LoadLe32(at);
        at += 4;
      }
      if (length <= static_cast<uint64_t>(end - at)) {
        const uint8_t* payload = at;
        at += length;
        const uint64_t payload_size = length - layout.trailing;
        if (!Step(sink.Wants(index, record_id) ? sink.OnRecord(index, record_id, payload, payload_size)
                                               : sink.OnSkipped(index, record_id, payload_size))) {
          break;
        }
        continue;
      }
      record_id_ = record_id;
      group_ = group;
      length_ = length;
      if (!StartPayload(at, end, bytes_after, sink)) break;
      continue;
    }
    switch (state_) {
      case State::kId: {
        if (have_ < kIdSize) {
          value_ |= uint64_t{*at++} << (8 * have_);
          if (++have_ < kIdSize) break;
        }
        record_id_ = kIdSize == 0 ? groups_[0].record_id : value_;
        group_ = kIdSize == 0 ? 0 : GroupOf(record_id_);
        if (group_ == kNoGroup) {
          SetDamage(Damage::kUnknownRecordId, record_id_);
          break;
        }
        value_ = 0;
        have_ = 0;
        if (groups_[group_].vlsd) {
          state_ = State::kLength;
          break;
        }
        length_ = groups_[group_].record_bytes;
        StartPayload(at, end, bytes_after, sink);
        break;
      }
      case State::kLength:
        value_ |= uint64_t{*at++} << (8 * have_);
        if (++have_ == 4) {
          length_ = value_;
          StartPayload(at, end, bytes_after, sink);
        }
        break;
      case State::kGather: {
        const uint64_t step = std::min<uint64_t>(remaining_, static_cast<uint64_t>(end - at));
        gathered_.insert(gathered_.end(), at, at + step);
        at += step;
        remaining_ -= step;
        if (remaining_ == 0) {
          state_ = State::kId;
          Step(sink.OnRecord(groups_[group_].index, record_id_, gathered_.data(), PayloadSize()));
        }
        break;
      }
      case State::kSkip: {
        const uint64_t step = std::min<uint64_t>(remaining_, static_cast<uint64_t>(end - at));
        at += step;
        Skipped(step, sink);
        break;
      }
    }
  }
  return static_cast<size_t>(at - data);
}

template <typename Sink>
size_t RecordFramer::Feed(const uint8_t* data, size_t size, uint64_t bytes_after, Sink& sink) {
  if (ended_ || size == 0) return 0;
  if (groups_.empty()) {
    ended_ = true;  // no channel group: nothing to frame
    return 0;
  }
  switch (id_size_) {
    case 0:
      if (several_groups_) {
        SetDamage(Damage::kMissingRecordIds, 0);  // every record would be taken for the first group's
        return 0;
      }
      if (!groups_[0].vlsd && groups_[0].record_bytes == 0) {
        SetDamage(Damage::kEmptyRecord, groups_[0].record_id);  // would never advance
        return 0;
      }
      return FeedWithIdSize<0>(data, size, bytes_after, sink);
    case 1:
      return FeedWithIdSize<1>(data, size, bytes_after, sink);
    case 2:
      return FeedWithIdSize<2>(data, size, bytes_after, sink);
    case 4:
      return FeedWithIdSize<4>(data, size, bytes_after, sink);
    case 8:
      return FeedWithIdSize<8>(data, size, bytes_after, sink);
    default:
      SetDamage(Damage::kInvalidRecordIdSize, 0);
      return 0;
  }
}

template <typename Sink>
FrameStep RecordFramer::Skipped(uint64_t nof_bytes, Sink& sink) {
  paused_ = false;
  if (state_ != State::kSkip) return FrameStep::kContinue;
  remaining_ -= std::min(remaining_, nof_bytes);
  if (remaining_ > 0) return FrameStep::kContinue;
  state_ = State::kId;
  const FrameStep step = sink.OnSkipped(groups_[group_].index, record_id_, PayloadSize());
  Step(step);
  return step;
}

}  // namespace mdf::detail
