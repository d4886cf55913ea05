// The fast decoding: the plans, the decoding of a record by its group's plan, and the reading
// of a data group that way. The channel observers would keep every sample of every channel,
// where this keeps only the events (bench_pipeline).
#include "buslog/iterator_decoder.h"

#include <algorithm>
#include <array>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "buslog/iterator_relay.h"
#include "buslog/mdf_reader.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/isampleobserver.h"
#include "mdf/mdfreader.h"
#include "mdf/recordfields.h"
#include "platform/log.h"

using namespace iterator_detail;

namespace {

constexpr size_t kNoField = std::numeric_limits<size_t>::max();

struct Step {
  FillRule rule;
  size_t field;  // in the plan's fields; for the data rule see Plan::data
};

enum class DataSource : uint8_t { kNone, kEmpty, kFixed, kVlsd };

// An event whose VLSD payload has not come yet, with the most bytes that payload may hold.
struct Waiting {
  uint64_t sample;
  uint64_t limit;
};

struct Plan {
  const mdf::IChannelGroup* group = nullptr;
  cBusMsgType_t kind = kBusMsgUnknown;
  mdf::RecordFields fields;
  std::vector<Step> steps;
  std::vector<TimeScale> times;  // by field: the time fields' scales
  // The field of each number rule, for the kind's own rules applied in a fixed order: any
  // order gives the same record when each rule is there once (the rules of one kind fill
  // distinct places, the identifier by OR), and no channel of another kind's name can be in
  // the group. A rule missing leaves its place as it is. Otherwise `steps` apply in order.
  std::array<size_t, kRuleCount> field_of{};
  bool in_order = false;
  // The fields whose channels may give a value outside them (inField), checked on their raw
  // values: a channel of another type, or through a conversion other than 1:1, gives no frame
  // anyway (lackingField). The logger's own fields fit theirs: none is checked (bench_pipeline).
  std::vector<Step> range_checks;
  std::vector<std::string> unmapped;    // names reported when the slice is filled
  DataSource data = DataSource::kNone;  // the last data channel decides
  LinLength lin_length = LinLength::kByteCount;
  size_t data_field = 0;
  size_t vlsd = 0;                 // index of the VLSD payloads
  size_t length_field = kNoField;  // the event's data length field, read for its VLSD payload
  std::unique_ptr<Slice> slice = std::make_unique<Slice>();
  uint64_t bad_times = 0;
  std::vector<uint64_t> bad_samples;   // the events of those times: one left out is not counted
  std::vector<uint64_t> long_samples;  // events whose payload is longer than their frame holds (payloadLimit)
  std::deque<Waiting> waiting;         // events whose VLSD payload had not come yet, in order
  PayloadCounts payloads;              // once the data group is read: what settlePayloads weighs
  uint64_t vlsd_record_id = 0;
  // Events whose logged bytes are fewer than their length (lacksBytes).
  std::vector<uint64_t> short_samples;
  RuleSamples out_of_range = noRuleSamples();
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

// Applies a number rule to the record from the field's raw value.
[[gnu::always_inline]] inline void applyFieldRule(FillRule rule, const Plan& plan, size_t field,
                                                  const mdf::RawValue& raw, cBusMsgHelper_t& record) {
  applyNumberRule(rule, record, [&plan, &raw, field](auto as) {
    using Value = typename decltype(as)::Type;
    if constexpr (std::is_same_v<Value, TimeNs>) {
      return plan.times[field].Of(raw);
    } else {
      return plan.fields.Converted<Value>(field, raw);
    }
  });
}

template <FillRule kRule>
[[gnu::always_inline]] inline void applyKindRule(const Plan& plan, const mdf::RawValue* values,
                                                 cBusMsgHelper_t& record) {
  const size_t field = plan.field_of[static_cast<size_t>(kRule)];
  if (field == kNoField) return;
  applyFieldRule(kRule, plan, field, values[field], record);
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
      return visit(KindRules<R::kTime, R::kChannel, R::kCanIdentifier, R::kExtended, R::kDlc, R::kCanDirection, R::kEdl,
                             R::kBrs, R::kEsi>{});
    case kBusMsgCanRemoteFrame:
      return visit(KindRules<R::kTime, R::kChannel, R::kCanIdentifier, R::kExtended, R::kDlc, R::kCanDirection>{});
    case kBusMsgCanErrorFrame:
      return visit(KindRules<R::kTime, R::kChannel, R::kErrorType>{});
    case kBusMsgLinFrame:
      return visit(KindRules<R::kTime, R::kChannel, R::kLinIdentifier, R::kLinDirection, R::kByteCount>{});
    case kBusMsgLinChecksumError:
      return visit(KindRules<R::kTime, R::kChannel, R::kLinIdentifier, R::kLinDirection, R::kByteCount, R::kChecksum,
                             R::kChecksumModel>{});
    case kBusMsgLinReceiveError:
    case kBusMsgLinTransmissionError:
      return visit(KindRules<R::kTime, R::kChannel, R::kLinIdentifier>{});
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

class FastDecoder : public mdf::ISampleObserver, private RecordTaker {
 public:
  FastDecoder(mdf::IDataGroup& data_group, PayloadFraming& framing) : ISampleObserver(data_group), framing_(framing) {
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
  void Start() { relay_.Start(); }
  /// Waits until every record handed on is decoded; the results below are complete then.
  void Finish() {
    relay_.Finish();
    if (relay_.OutOfMemory()) out_of_memory_ = true;
  }
  /// What the decoding threw, raised on the reading side.
  void RethrowFailure() const { relay_.RethrowFailure(); }

  bool OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) override {
    framing_.See(sample, record_id, size);
    const size_t target = Target(record_id);
    if (target == kNone) return true;
    if (!relay_.Relaying()) return Take(target, sample, record, size);
    return relay_.Put(target, sample, record, size);
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
  // Notes the first sample of each checked field whose value lies outside it.
  static void CheckRanges(::Plan& plan, uint64_t sample, const mdf::RawValue* values);
  // Stores the event's data bytes, and notes the event when they are fewer than its length.
  static void SetPooled(::Plan& plan, Event& event, uint64_t sample, uint64_t reference, size_t size);
  bool TakePayload(VlsdPayloads& payloads, uint64_t sample, const uint8_t* record, size_t size);
  // On the decoding thread.
  bool TakeBatch(const RecordBatch& batch) override {
    return batch.ForEach([this](size_t target, uint64_t sample, const uint8_t* record, size_t size) {
      return Take(target, sample, record, size);
    });
  }

  PayloadFraming& framing_;
  std::vector<::Plan> plans_;
  std::vector<VlsdPayloads> vlsd_;
  // Read by both threads and written by neither while they run; on lines of its own.
  alignas(kCacheLine) std::array<size_t, 256> small_{};
  std::unordered_map<uint64_t, size_t> large_;
  std::vector<mdf::RawValue> values_;
  alignas(kCacheLine) std::vector<uint8_t> file_order_;  // from here on the decoding's
  bool file_order_usable_ = true;
  int64_t last_time_ = 0;
  size_t last_plan_ = 0;
  bool out_of_memory_ = false;
  bool unexpected_ = false;

  // The relay to the decoding thread. Plans, slices and payloads belong to that thread while
  // it runs; the reading side touches only the batches.
  RecordRelay relay_{*this};
};

bool FastDecoder::Plan(const FillMap& table) {
  const std::vector<mdf::IChannelGroup*> groups = DataGroup().ChannelGroups();
  std::unordered_map<uint64_t, const mdf::IChannelGroup*> first_of_id;
  for (const mdf::IChannelGroup* group : groups) {
    if (group != nullptr) first_of_id.emplace(group->RecordId(), group);
  }
  for (mdf::IChannelGroup* group : groups) {
    if (group == nullptr || group->NofSamples() == 0) continue;
    if (group->NofSamples() > kMaxFastSamples) return false;
    if (group->ChannelListCut()) return false;  // the observer path leaves its records out
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
  // The payloads of a group without events too: their lengths frame what follows.
  for (const uint64_t record_id : framing_.PayloadIds()) {
    if (!HasRecordId(record_id)) Listen(record_id, kNone);
  }
  return true;
}

bool FastDecoder::PlanGroup(const FillMap& table, mdf::IChannelGroup& group, cBusMsgType_t kind,
                            const std::unordered_map<uint64_t, const mdf::IChannelGroup*>& first_of_id) {
  ::Plan plan;
  plan.group = &group;
  plan.kind = kind;
  plan.lin_length = linLengthOf(group, kind);
  const mdf::IChannel* length_channel = nullptr;
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr) continue;
    const std::string name = channel->Name();
    const auto found = table.find(name);
    if (found == table.end()) {
      plan.unmapped.push_back(name);
      continue;
    }
    const FillRule rule = groupRule(found->second, plan.lin_length);
    if (rule == FillRule::kNone) continue;
    if (found->second == FillRule::kDataLength) {
      length_channel = channel;  // the last one decides, as the observers' order does
      if (rule == FillRule::kDataLength) continue;
    }
    if (rule != FillRule::kData) {
      const std::optional<size_t> field = plan.fields.AddNumber(*channel);
      if (!field.has_value()) return false;
      plan.steps.push_back({rule, *field});
      if (rule == FillRule::kTime) {
        plan.times.resize(plan.fields.Size());
        plan.times[*field] = TimeScale(*channel);
      }
      const bool unsigned_plain = channel->DataType() <= mdf::kUnsignedBe && channel->ChannelConversion() == nullptr;
      if (mayLeaveField(rule, unsigned_plain, channel->BitCount())) {
        plan.range_checks.push_back({rule, *field});
      }
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
  if (plan.data == DataSource::kVlsd && length_channel != nullptr) {
    // Read only where it bounds a payload: the other groups decode no more than before.
    const std::optional<size_t> field = plan.fields.AddNumber(*length_channel);
    if (!field.has_value()) return false;
    plan.length_field = *field;
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
    for (const Step& step : plan.steps) applyFieldRule(step.rule, plan, step.field, values[step.field], fields);
  } else {
    // One branch on the kind per record, where a switch per field mispredicts at every field
    // of the interleaved groups (bench_pipeline).
    withKindRules(plan.kind, [&plan, values, &fields](auto rules) { decltype(rules)::Apply(plan, values, fields); });
  }
  if (!plan.range_checks.empty()) CheckRanges(plan, sample, values);
  if (!finishFields(fields, plan.kind)) {
    ++plan.bad_times;
    plan.bad_samples.push_back(sample);
  }
  Event& event = appendFields(slice, fields);
  switch (plan.data) {
    case DataSource::kNone:
    case DataSource::kEmpty:
      Slice::ClearData(event);
      break;
    case DataSource::kFixed: {
      const auto [offset, length] = plan.fields.BytesOf(plan.data_field);
      if (plan.lin_length == LinLength::kDataBytes) lengthFromLoggedBytes(event, length);
      slice.SetData(event, record + offset, length);
      if (lacksBytes(event)) plan.short_samples.push_back(sample);
      break;
    }
    case DataSource::kVlsd: {
      // Events and payloads each come in order, so an event either finds its payload first in
      // line or waits, and a payload either finds its event first in line or is held.
      VlsdPayloads& payloads = vlsd_[plan.vlsd];
      uint32_t data_length = 0;
      if (plan.length_field != kNoField) {
        data_length = plan.fields.Converted<uint32_t>(plan.length_field, values[plan.length_field]);
      }
      const uint64_t limit = payloadLimit(plan.length_field != kNoField ? &data_length : nullptr);
      if (sample < payloads.count) {
        const VlsdPayloads::Payload payload = payloads.pending.front();
        payloads.pending.pop_front();
        if (payload.size > limit) plan.long_samples.push_back(sample);
        SetPooled(plan, event, sample, payload.reference, payload.size);
      } else {
        Slice::ClearData(event);
        plan.waiting.push_back({sample, limit});
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

void FastDecoder::CheckRanges(::Plan& plan, uint64_t sample, const mdf::RawValue* values) {
  for (const Step& check : plan.range_checks) {
    uint64_t& first = plan.out_of_range[static_cast<size_t>(check.rule)];
    if (first == kNoSample && !inField(check.rule, values[check.field].bits)) first = sample;
  }
}

[[gnu::always_inline]] inline void FastDecoder::SetPooled(::Plan& plan, Event& event, uint64_t sample,
                                                          uint64_t reference, size_t size) {
  if (plan.lin_length == LinLength::kDataBytes) lengthFromLoggedBytes(event, size);
  plan.slice->SetPooledData(event, reference, size);
  if (lacksBytes(event)) plan.short_samples.push_back(sample);
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
    const Waiting waiting = plan.waiting.front();
    plan.waiting.pop_front();
    if (size > waiting.limit) plan.long_samples.push_back(waiting.sample);
    SetPooled(plan, plan.slice->At(waiting.sample), waiting.sample, reference, size);
  } else {
    payloads.pending.push_back({reference, static_cast<uint32_t>(size)});
  }
  return true;
}

void FastDecoder::FinishPayloads() {
  for (::Plan& plan : plans_) {
    if (plan.data == DataSource::kVlsd) {
      const VlsdPayloads& payloads = vlsd_[plan.vlsd];
      plan.vlsd_record_id = payloads.record_id;
      plan.payloads.events = plan.slice->size();
      plan.payloads.payloads = payloads.count;
      plan.payloads.limit = plan.waiting.empty() ? 0 : plan.waiting.front().limit;
    }
    plan.waiting.clear();
  }
  vlsd_.clear();
}

}  // namespace

bool iterator_detail::readFast(mdf::MdfReader& reader, mdf::IDataGroup& data_group, const FillMap& table,
                               Gathered& gathered) {
  PayloadFraming framing(data_group, table);
  FastDecoder decoder(data_group, framing);
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
  const std::vector<SliceInfo> infos = collectSlices(reader, data_group, framing, gathered);
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
    if (const std::string lack = outOfRange(*info.group, info.kind, plan->out_of_range, info.count); !lack.empty()) {
      reportLeftOutGroup(reader, *info.group, info.count, lack, gathered);
      continue;  // its events stay in the file order: that order is not used
    }
    Slice& slice = *plan->slice;
    uint64_t count = info.count;
    PayloadEnd payload_end;
    if (plan->data == DataSource::kVlsd) {
      PayloadCounts counts = plan->payloads;
      counts.events = info.count;
      counts.payloads = framing.Framed(plan->vlsd_record_id, counts.payloads);
      payload_end = settlePayloads(data_group, *info.group, plan->vlsd_record_id, counts);
      count = payload_end.events;
    }
    // The events past the count: left out at the torn end, or framed after a length that lied.
    const uint64_t dropped = slice.size() > count ? slice.size() - count : 0;
    for (uint64_t i = 0; i < dropped; ++i) slice.DropLast();
    const auto left_out = [count](uint64_t sample) { return sample >= count; };
    plan->bad_times -=
        static_cast<uint64_t>(std::count_if(plan->bad_samples.begin(), plan->bad_samples.end(), left_out));
    const uint64_t long_payloads =
        plan->long_samples.size() -
        static_cast<uint64_t>(std::count_if(plan->long_samples.begin(), plan->long_samples.end(), left_out)) +
        payload_end.long_payloads;
    // One event left out is the last of the file when it is the torn end; else the order is lost.
    const auto tag = static_cast<uint8_t>(plan - plans.data());
    std::vector<uint8_t>& file_order = decoder.FileOrder();
    if (dropped == 1 && !file_order.empty() && file_order.back() == tag) {
      file_order.pop_back();
    } else if (dropped > 0) {
      order_usable = false;
    }
    // A record counted but never delivered is filled by no channel: a zero event.
    for (uint64_t i = slice.size(); i < count; ++i) {
      cBusMsgHelper_t record{};
      finishFields(record, info.kind);
      const uint8_t none = 0;
      appendRecord(slice, record, &none, 0);
      order_usable = false;
    }
    std::vector<uint64_t>& short_samples = plan->short_samples;
    short_samples.erase(std::remove_if(short_samples.begin(), short_samples.end(), left_out), short_samples.end());
    if (!short_samples.empty()) {
      std::sort(short_samples.begin(), short_samples.end());
      plan->slice = withoutEvents(slice, short_samples);
      order_usable = false;
    }
    reportBadTimes(*info.group, plan->bad_times);
    reportShortFrames(reader, *info.group, short_samples.size(), gathered);
    reportLongPayloads(reader, *info.group, long_payloads, gathered);
    reportPayloadEnd(reader, payload_end, gathered);
    if (plan->slice->size() == 0) continue;  // its only event was left out
    local[static_cast<size_t>(plan - plans.data())] = static_cast<uint8_t>(slices.size());
    slices.push_back(std::move(plan->slice));
  }
  for (const ::Plan& plan : plans) {
    // A group whose records became no slice (collectSlices left it out) has its events in
    // the file order still.
    if (plan.slice != nullptr && plan.slice->size() > 0) order_usable = false;
  }
  std::vector<uint8_t>& order = decoder.FileOrder();
  if (order_usable) {
    for (uint8_t& tag : order) tag = local[tag];
  }
  gathered.Add(std::move(slices), order_usable ? &order : nullptr);
  ++gathered.fast_groups;
  return true;
}
