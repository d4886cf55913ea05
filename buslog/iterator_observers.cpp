// The observer path: every channel's samples held by its observer, then applied rule by rule
// to the records of its group's slice.
#include "buslog/iterator_observers.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/isampleobserver.h"
#include "mdf/mdfreader.h"
#include "platform/log.h"

using namespace iterator_detail;

namespace {

// Applies one observer's rule to the slice: sample i fills record i, up to the shorter one. Of
// the data rule, `unread` (when given) marks the samples whose bytes could not be read; of a
// number rule, `out_of_range` gets the first sample whose value lies outside its field's range.
void applyRule(FillRule rule, const mdf::IChannelObserver& observer, cBusMsgHelper_t* slice, uint64_t count,
               std::vector<bool>* unread, RuleSamples& out_of_range) {
  const uint64_t n = std::min(count, observer.NofHeldSamples());
  if (rule == FillRule::kData) {
    std::vector<uint8_t> bytes;
    for (uint64_t i = 0; i < n; ++i) {
      // Empty unless a byte-array type; the flag tells only where `unread` asks.
      if (!observer.GetByteArray(i, bytes) && unread != nullptr) (*unread)[i] = true;
      cStr_t data{};
      const cStrView_t view{reinterpret_cast<const char*>(bytes.data()), static_cast<int64_t>(bytes.size())};
      if (!cStrInit(&data, view)) throw std::bad_alloc();
      cStrRelease(&slice[i].DataBytes);
      slice[i].DataBytes = data;
    }
    return;
  }
  const TimeScale scale = rule == FillRule::kTime ? TimeScale(observer.Channel()) : TimeScale();
  uint64_t& first = out_of_range[static_cast<size_t>(rule)];
  for (uint64_t i = 0; i < n; ++i) {
    const bool in_range = applyNumberRule(rule, slice[i], [&observer, &scale, i](auto as) {
      using Value = typename decltype(as)::Type;
      if constexpr (std::is_same_v<Value, TimeNs>) {
        return scale.OfSample(observer, i);
      } else {
        Value value{};
        observer.ConvertedValue(i, value);  // validity flags are not consulted
        return value;
      }
    });
    if (!in_range && i < first) first = i;
  }
}

// Shows the framing every record of the data group as the library frames it.
class FramingWatch : public mdf::ISampleObserver {
 public:
  FramingWatch(mdf::IDataGroup& data_group, PayloadFraming& framing) : ISampleObserver(data_group), framing_(framing) {
    // The records of other groups are read for no observer, as without the watch.
    const std::vector<uint64_t> watched = framing.RecordIds();
    record_id_list_.clear();
    record_id_list_.insert(watched.begin(), watched.end());
  }
  bool OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* /* record */, size_t size) override {
    framing_.See(sample, record_id, size);
    return true;
  }

 private:
  PayloadFraming& framing_;
};

// Owns records until they are packed.
struct RecordArray {
  std::vector<cBusMsgHelper_t> records;
  ~RecordArray() {
    for (cBusMsgHelper_t& record : records) cStrRelease(&record.DataBytes);
  }
};

}  // namespace

void iterator_detail::readWithObservers(mdf::MdfReader& reader, mdf::IDataGroup& data_group, const FillMap& table,
                                        Gathered& gathered) {
  mdf::ChannelObserverList observers;
  mdf::CreateObserversForDataGroup(data_group, observers);
  PayloadFraming framing(data_group, table);
  FramingWatch watch(data_group, framing);
  reader.ReadData(data_group);  // damage is logged by the library; the counts tell what was read
  watch.Detach();
  const std::vector<SliceInfo> infos = collectSlices(reader, data_group, framing, gathered);
  std::vector<std::unique_ptr<Slice>> slices;
  std::vector<uint8_t> order;
  bool order_usable = true;
  int64_t last_time = 0;
  for (const SliceInfo& info : infos) {
    RecordArray array;
    array.records.resize(info.count, cBusMsgHelper_t{});
    cBusMsgHelper_t* first = array.records.data();
    const mdf::IChannelObserver* length = nullptr;
    std::vector<bool> unread;     // the events whose payload entry could not be read
    bool vlsd_data = false;       // the data bytes are VLSD payloads, as the last data channel says
    uint64_t vlsd_record_id = 0;  // of the VLSD group that holds them; 0: signal data
    RuleSamples out_of_range = noRuleSamples();
    const LinLength lin_length = linLengthOf(*info.group, info.kind);
    for (const mdf::ChannelObserverPtr& observer : observers) {
      if (!observer || observer->Channel().ChannelGroup() != info.group) continue;
      const std::string name = observer->ChannelName();
      const auto found = table.find(name);
      if (found == table.end()) {
        logMessage(kLogWarning, "Unmapped key: %s", name.c_str());
        continue;
      }
      if (found->second == FillRule::kDataLength) length = observer.get();
      const FillRule rule = groupRule(found->second, lin_length);
      std::vector<bool>* marks = nullptr;
      if (found->second == FillRule::kData) {
        const mdf::IChannel& channel = observer->Channel();
        vlsd_data = channel.ChannelType() == mdf::kVlsdChannel;
        vlsd_record_id = vlsd_data ? channel.VlsdRecordId() : 0;
        unread.clear();
        // A payload in signal data is read from its entry there; without an invalidation bit
        // a value not read is an entry that is not there (or no signal data at all).
        if (vlsd_data && vlsd_record_id == 0 && (channel.Flags() & mdf::kChannelInvalidationBitFlag) == 0 &&
            channel.DataType() >= mdf::kByteArray && channel.DataType() <= mdf::kMimeStream) {
          unread.assign(info.count, false);
          marks = &unread;
        }
      }
      applyRule(rule, *observer, first, info.count, marks, out_of_range);
    }
    if (const std::string lack = outOfRange(*info.group, info.kind, out_of_range, info.count); !lack.empty()) {
      reportLeftOutGroup(reader, *info.group, info.count, lack, gathered);
      continue;
    }
    const auto limit_of = [length](uint64_t i) {
      uint32_t data_length = 0;
      if (length != nullptr && i < length->NofHeldSamples()) length->ConvertedValue(i, data_length);
      return payloadLimit(length != nullptr ? &data_length : nullptr);
    };
    uint64_t count = info.count;
    PayloadEnd payload_end;
    if (vlsd_record_id != 0) {
      PayloadCounts counts;
      counts.events = info.count;
      counts.payloads = payloadsRead(data_group, vlsd_record_id, framing);
      counts.limit = limit_of(counts.payloads);
      payload_end = settlePayloads(data_group, *info.group, vlsd_record_id, counts);
      count = payload_end.events;
    }
    auto slice = std::make_unique<Slice>();
    uint64_t bad_times = 0;
    uint64_t long_payloads = payload_end.long_payloads;
    uint64_t without_payload = 0;
    uint64_t short_frames = 0;
    for (uint64_t i = 0; i < count; ++i) {
      cBusMsgHelper_t& record = array.records[i];
      if (!unread.empty() && unread[i]) {
        // No byte of its payload was read: it is no frame of the bus.
        ++without_payload;
        continue;
      }
      const auto size = static_cast<size_t>(cStrLength(&record.DataBytes));
      if (vlsd_data && size > limit_of(i)) ++long_payloads;
      if (!finishFields(record, info.kind)) ++bad_times;
      const Event& event = packRecord(*slice, record, reinterpret_cast<const uint8_t*>(cStrData(&record.DataBytes)),
                                      size, lin_length == LinLength::kDataBytes);
      cStrRelease(&record.DataBytes);
      if (lacksBytes(event)) {
        slice->DropLast();
        ++short_frames;
      } else {
        slice->NoteTime(event.time);
      }
    }
    reportBadTimes(*info.group, bad_times);
    reportUnreadPayloads(reader, *info.group, without_payload, gathered);
    reportShortFrames(reader, *info.group, short_frames, gathered);
    reportLongPayloads(reader, *info.group, long_payloads, gathered);
    reportPayloadEnd(reader, payload_end, gathered);
    if (slice->size() == 0) continue;  // its only event was left out
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
