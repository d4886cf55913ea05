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
                         const mdf::IChannelGroup& group, Gathered& gathered) {
  for (const mdf::IChannel* channel : group.Channels()) {
    if (channel == nullptr || channel->ChannelType() != mdf::kVlsdChannel || channel->VlsdRecordId() == 0) continue;
    PayloadCounts counts;
    counts.payloads = payloadsRead(data_group, channel->VlsdRecordId());
    const PayloadEnd end = settlePayloads(data_group, group, channel->VlsdRecordId(), counts);
    reportLongPayloads(reader, group, end.long_payloads, gathered);
    reportPayloadEnd(reader, end, gathered);
  }
}

}  // namespace

uint64_t iterator_detail::payloadsRead(const mdf::IDataGroup& data_group, uint64_t vlsd_record_id) {
  for (const mdf::IChannelGroup* group : data_group.ChannelGroups()) {
    if (group != nullptr && group->RecordId() == vlsd_record_id) return recordsRead(*group);
  }
  return 0;
}

std::vector<SliceInfo> iterator_detail::collectSlices(const mdf::MdfReader& reader, const mdf::IDataGroup& data_group,
                                                      Gathered& gathered) {
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
    } else if (count > 0) {
      if (const std::string lack = lackingField(*group, kind); !lack.empty()) {
        char text[256];
        std::snprintf(text, sizeof text, "Channel group %s: %llu records left out, as it has %s", group->Name().c_str(),
                      static_cast<unsigned long long>(count), lack.c_str());
        logMessage(kLogWarning, "%s", text);
        if (gathered.damage.empty() && !reader.IsDamaged()) gathered.damage = text;
        continue;
      }
      slices.push_back({group, kind, count});
    } else {
      settleWithoutEvents(reader, data_group, *group, gathered);
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

void iterator_detail::reportLongPayloads(const mdf::MdfReader& reader, const mdf::IChannelGroup& group,
                                         uint64_t long_payloads, Gathered& gathered) {
  if (long_payloads == 0) return;
  char text[256];
  std::snprintf(text, sizeof text, "Channel group %s: %llu payloads longer than their frames hold",
                group.Name().c_str(), static_cast<unsigned long long>(long_payloads));
  logMessage(kLogWarning, "%s", text);
  if (gathered.damage.empty() && !reader.IsDamaged()) gathered.damage = text;
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
