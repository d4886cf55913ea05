// Which channel groups become slices, and the gathering of the slices data group after data
// group.
#include "buslog/iterator_slices.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "buslog/mdf_reader.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfreader.h"
#include "platform/log.h"

using namespace iterator_detail;

namespace {

// The group's records read: of a VLSD group, its payloads.
uint64_t recordsRead(const mdf::IChannelGroup& group) { return std::min(group.NofSamples(), group.SampleCounter()); }

// A bus-event group without events may still have payloads, or a payload the end cut: none has
// a frame, so each VLSD channel's are settled as a group with events settles its own (the
// length a first payload claims is judged so too).
void settleWithoutEvents(const mdf::MdfReader& reader, const mdf::IDataGroup& data_group,
                         const mdf::IChannelGroup& group, const PayloadFraming& framing, Gathered& gathered) {
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr || channel->ChannelType() != mdf::kVlsdChannel || channel->VlsdRecordId() == 0) continue;
    PayloadCounts counts;
    counts.payloads = payloadsRead(data_group, channel->VlsdRecordId(), framing);
    const PayloadEnd end = settlePayloads(data_group, group, channel->VlsdRecordId(), counts);
    reportLongPayloads(reader, group, end.long_payloads, gathered);
    reportPayloadEnd(reader, end, gathered);
  }
}

// Logs "Channel group <name>: <count> <what>" unless the count is 0, and notes it as damage when
// it is the first.
void reportGroupDamage(const mdf::MdfReader& reader, const mdf::IChannelGroup& group, uint64_t count, const char* what,
                       Gathered& gathered) {
  if (count == 0) return;
  char text[256];
  std::snprintf(text, sizeof text, "Channel group %s: %llu %s", group.Name().c_str(),
                static_cast<unsigned long long>(count), what);
  logMessage(kLogWarning, "%s", text);
  if (gathered.damage.empty() && !reader.IsDamaged()) gathered.damage = text;
}

}  // namespace

uint64_t iterator_detail::payloadsRead(const mdf::IDataGroup& data_group, uint64_t vlsd_record_id,
                                       const PayloadFraming& framing) {
  for (const mdf::IChannelGroup* group : data_group.ChannelGroups()) {
    if (group != nullptr && group->RecordId() == vlsd_record_id) {
      return framing.Framed(vlsd_record_id, recordsRead(*group));
    }
  }
  return 0;
}

PayloadFraming::PayloadFraming(const mdf::IDataGroup& data_group, const FillMap& table) {
  for (const mdf::IChannelGroup* group : data_group.ChannelGroups()) {
    if (group == nullptr || (group->Flags() & mdf::kChannelGroupVlsdFlag) != 0) continue;
    if (cMdfReader_t::getGroupType(group) == kBusMsgUnknown) continue;
    // A group that declares no records is read for no observer: its data links stay unread.
    if (group->NofSamples() > 0) event_ids_.push_back(group->RecordId());
    for (const mdf::IChannel* channel : group->Channels()) {
      if (channel == nullptr || channel->ChannelType() != mdf::kVlsdChannel || channel->VlsdRecordId() == 0) continue;
      const auto found = table.find(channel->Name());
      if (found != table.end() && found->second == FillRule::kData) payload_groups_[channel->VlsdRecordId()] = group;
    }
  }
}

std::vector<uint64_t> PayloadFraming::PayloadIds() const {
  std::vector<uint64_t> ids;
  for (const auto& [record_id, group] : payload_groups_) ids.push_back(record_id);
  return ids;
}

std::vector<uint64_t> PayloadFraming::RecordIds() const {
  std::vector<uint64_t> ids = PayloadIds();
  ids.insert(ids.end(), event_ids_.begin(), event_ids_.end());
  return ids;
}

void PayloadFraming::NoteClaim(uint64_t record_id, size_t size) {
  const auto found = payload_groups_.find(record_id);
  if (found == payload_groups_.end()) return;
  // The payload itself was framed by its own length: its first bytes, as many as its frame
  // says, are the frame's, and what claims it as its payload is judged as any frame is.
  lie_ = found->second;
  claim_ = size;
}

void PayloadFraming::Settle(const mdf::MdfReader& reader, const mdf::IDataGroup& data_group) {
  // The records after the lie may still be framed truly (a length that took whole records):
  // so they are when they frame on to an end a power loss can leave. They are not where the
  // read met damage, or where they end in a payload cut by the end that claims more than a
  // frame carries: a second length that lies.
  const mdf::StreamEnd* end = data_group.FinalizedEnd();
  const bool lying_end = end != nullptr && end->cut == mdf::StreamEnd::Cut::kPayload &&
                         end->cut_length > kCanMaxDataBytes && payload_groups_.count(end->cut_record_id) > 0;
  cut_ = lie_ != nullptr && (reader.IsDamaged() || lying_end);
  if (!cut_) return;
  // Only what the lie framed is left out: a lie at the end of the records leaves none.
  cut_ = false;
  for (const mdf::IChannelGroup* group : data_group.ChannelGroups()) {
    if (group == nullptr) continue;
    const auto found = after_.find(group->RecordId());
    if (found != after_.end() && found->second < recordsRead(*group)) cut_ = true;
  }
}

uint64_t PayloadFraming::Framed(uint64_t record_id, uint64_t count) const {
  if (!cut_) return count;
  const auto found = after_.find(record_id);
  return found == after_.end() ? count : std::min(count, found->second);
}

void PayloadFraming::Report(const mdf::MdfReader& reader, Gathered& gathered) const {
  if (!cut_) return;
  char text[256];
  std::snprintf(text, sizeof text,
                "Channel group %s: a payload claims %llu bytes, more than a frame carries: the records after it "
                "are left out",
                lie_->Name().c_str(), static_cast<unsigned long long>(claim_));
  logMessage(kLogWarning, "%s", text);
  if (gathered.damage.empty() && !reader.IsDamaged()) gathered.damage = text;
}

std::vector<SliceInfo> iterator_detail::collectSlices(const mdf::MdfReader& reader, const mdf::IDataGroup& data_group,
                                                      PayloadFraming& framing, Gathered& gathered) {
  framing.Settle(reader, data_group);
  framing.Report(reader, gathered);
  std::vector<SliceInfo> slices;
  for (const mdf::IChannelGroup* group : data_group.ChannelGroups()) {
    if (group == nullptr || (group->Flags() & mdf::kChannelGroupVlsdFlag) != 0) continue;
    // Only records really read become events: a torn or missing record is no frame.
    const uint64_t declared = group->NofSamples();
    const uint64_t count = recordsRead(*group);
    if (count < declared) {
      logMessage(kLogWarning, "Channel group %s: %llu of %llu records read", group->Name().c_str(),
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(declared));
    }
    if (group->ChannelListCut()) {
      // Its records would be decoded without the channels damage cut off: a frame whose data
      // or identifier was never read is no frame of the bus. The damage is the file's already.
      if (declared > 0) {
        logMessage(kLogWarning, "Channel group %s: %llu records left out, as damage cut its channels",
                   group->Name().c_str(), static_cast<unsigned long long>(count));
      }
      continue;
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
    } else if (const uint64_t framed = framing.Framed(group->RecordId(), count); framed > 0) {
      if (const std::string lack = lackingField(*group, kind); !lack.empty()) {
        reportLeftOutGroup(reader, *group, framed, lack, gathered);
        continue;
      }
      slices.push_back({group, kind, framed});
    } else {
      settleWithoutEvents(reader, data_group, *group, framing, gathered);
    }
  }
  return slices;
}

void iterator_detail::reportBadTimes(const mdf::IChannelGroup& group, uint64_t bad_times) {
  if (bad_times > 0) {
    logMessage(kLogWarning, "Channel group %s: %llu records without a valid time, taken as the file start",
               group.Name().c_str(), static_cast<unsigned long long>(bad_times));
  }
}

void iterator_detail::reportLeftOutGroup(const mdf::MdfReader& reader, const mdf::IChannelGroup& group, uint64_t count,
                                         const std::string& lack, Gathered& gathered) {
  char text[256];
  std::snprintf(text, sizeof text, "Channel group %s: %llu records left out, as it has %s", group.Name().c_str(),
                static_cast<unsigned long long>(count), lack.c_str());
  logMessage(kLogWarning, "%s", text);
  if (gathered.damage.empty() && !reader.IsDamaged()) gathered.damage = text;
}

void iterator_detail::reportShortFrames(const mdf::MdfReader& reader, const mdf::IChannelGroup& group, uint64_t count,
                                        Gathered& gathered) {
  reportGroupDamage(reader, group, count, "frames left out, as they hold fewer data bytes than their data length",
                    gathered);
}

std::unique_ptr<Slice> iterator_detail::withoutEvents(const Slice& slice, const std::vector<uint64_t>& samples) {
  auto kept = std::make_unique<Slice>();
  size_t next = 0;
  for (uint64_t i = 0; i < slice.size(); ++i) {
    if (next < samples.size() && samples[next] == i) {
      ++next;
      continue;
    }
    const Event& event = slice.At(i);
    Event& copy = kept->Append();
    copy = event;
    if (event.stored > kInlineBytes) kept->Refer(copy, kept->PutBytes(slice.DataOf(event), event.stored));
    kept->NoteTime(copy.time);
  }
  return kept;
}

PayloadEnd iterator_detail::settlePayloads(const mdf::IDataGroup& data_group, const mdf::IChannelGroup& group,
                                           uint64_t vlsd_record_id, const PayloadCounts& counts) {
  PayloadEnd result;
  result.events = std::min(counts.events, counts.payloads);
  const mdf::StreamEnd* end = data_group.FinalizedEnd();
  using Cut = mdf::StreamEnd::Cut;
  // The record the end of the data cut is a payload of this group.
  const bool payload_cut = end != nullptr && (end->cut == Cut::kVlsdLength || end->cut == Cut::kPayload) &&
                           end->cut_record_id == vlsd_record_id;
  const uint64_t cut_length = payload_cut && end->cut == Cut::kPayload ? end->cut_length : 0;
  const auto last_is = [end](uint64_t record_id) {
    return end != nullptr && end->has_last && end->last_record_id == record_id;
  };
  char text[256];
  if (counts.events > counts.payloads) {
    const uint64_t missing = counts.events - counts.payloads;
    // The frame came first; its payload is cut, or was not begun.
    const bool torn = missing == 1 && last_is(group.RecordId()) &&
                      (end->cut == Cut::kNone || end->cut == Cut::kRecordId || payload_cut);
    if (torn) {
      result.long_payloads = cut_length > counts.limit ? 1 : 0;
      return result;
    }
    std::snprintf(text, sizeof text, "Channel group %s: %llu frames without their payload", group.Name().c_str(),
                  static_cast<unsigned long long>(missing));
    result.damage = text;
    return result;
  }
  if (counts.payloads > counts.events) {
    const uint64_t extra = counts.payloads - counts.events;
    // The payload came first; its frame is cut, or was not begun.
    const bool torn = extra == 1 && last_is(vlsd_record_id) && end->last_size <= kCanMaxDataBytes && !payload_cut;
    if (torn) return result;
    std::snprintf(text, sizeof text, "Channel group %s: %llu payloads that no frame claims", group.Name().c_str(),
                  static_cast<unsigned long long>(extra));
    result.damage = text;
    return result;
  }
  // The payload of a frame not yet written is cut.
  result.long_payloads = cut_length > kCanMaxDataBytes ? 1 : 0;
  return result;
}

void iterator_detail::reportPayloadEnd(const mdf::MdfReader& reader, const PayloadEnd& end, Gathered& gathered) {
  if (end.damage.empty()) return;
  logMessage(kLogWarning, "%s", end.damage.c_str());
  if (gathered.damage.empty() && !reader.IsDamaged()) gathered.damage = end.damage;
}

void iterator_detail::reportUnreadPayloads(const mdf::MdfReader& reader, const mdf::IChannelGroup& group,
                                           uint64_t unread, Gathered& gathered) {
  reportGroupDamage(reader, group, unread, "frames left out, as their payloads could not be read", gathered);
}

void iterator_detail::reportLongPayloads(const mdf::MdfReader& reader, const mdf::IChannelGroup& group,
                                         uint64_t long_payloads, Gathered& gathered) {
  reportGroupDamage(reader, group, long_payloads, "payloads longer than their frames hold", gathered);
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
