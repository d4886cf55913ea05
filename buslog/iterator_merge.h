#pragma once
// The merge of the event slices by time, and the iterator that hands out the merged events:
// how the order is kept (the file order itself, the earliest head of time-ordered slices, or
// an order worked out whole), and the record made from the event under the cursor. Relies on
// the slices; the decodings never see it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "buslog/busmsg.h"
#include "buslog/iterator_slices.h"
#include "buslog/mdf_reader.h"

namespace iterator_detail {

// Where an event lies: slice and index.
struct EventRef {
  uint32_t slice;
  uint64_t index;
};

// Fills the iterator's record from the event; the record's data bytes are reused.
inline bool materialize(cBusMsgHelper_t& record, const Slice& slice, const Event& event) {
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

}  // namespace iterator_detail

/// The slices in merge order; the record under the cursor is made from their events.
struct cMdfReaderIterator_t {
  enum class Order : uint8_t {
    kTags,    // the events' file order is the merged order: one slice number per event says it
    kMerge,   // every slice in time order: the earliest head, ties to the earlier slice
    kListed,  // the order worked out whole, for slices that are not in time order
  };
  std::vector<std::unique_ptr<iterator_detail::Slice>> slices;
  Order order = Order::kTags;
  std::vector<uint8_t> tags;
  std::vector<iterator_detail::EventRef> listed;
  std::vector<uint32_t> active;  // kMerge: the slices not done yet, in slice order
  uint64_t events = 0;
  uint64_t default_records = 0;
  uint64_t fast_groups = 0;
  uint64_t cursor = 0;
  cBusMsgHelper_t record{};

  /// The record under the cursor, then the cursor advances; null at the end, or when memory
  /// for the record's data is short.
  cBusMsgHelper_t* Next() {
    using iterator_detail::Event;
    using iterator_detail::Slice;
    if (cursor >= events) {
      if (cursor >= events + default_records) return nullptr;
      ++cursor;
      busMsgReset(&record);  // the default records end the array
      return &record;
    }
    Slice* slice = nullptr;
    const Event* event = nullptr;
    switch (order) {
      case Order::kTags:
        slice = slices[tags[cursor]].get();
        break;
      case Order::kMerge: {
        // The earliest head; among equal times the earlier slice.
        size_t best = 0;
        int64_t best_time = slices[active[0]]->Head().time;
        for (size_t i = 1; i < active.size(); ++i) {
          const int64_t time = slices[active[i]]->Head().time;
          if (time < best_time) {
            best = i;
            best_time = time;
          }
        }
        slice = slices[active[best]].get();
        event = &slice->Head();
        if (!iterator_detail::materialize(record, *slice, *event)) return nullptr;
        slice->Pop();
        if (slice->Done()) active.erase(active.begin() + static_cast<std::ptrdiff_t>(best));
        ++cursor;
        return &record;
      }
      case Order::kListed: {
        const iterator_detail::EventRef& ref = listed[cursor];
        slice = slices[ref.slice].get();
        if (!iterator_detail::materialize(record, *slice, slice->At(ref.index))) return nullptr;
        ++cursor;
        return &record;
      }
    }
    if (!iterator_detail::materialize(record, *slice, slice->Head())) return nullptr;
    slice->Pop();
    ++cursor;
    return &record;
  }

  ~cMdfReaderIterator_t() { cStrRelease(&record.DataBytes); }
  cMdfReaderIterator_t() = default;
  cMdfReaderIterator_t(const cMdfReaderIterator_t&) = delete;
  cMdfReaderIterator_t& operator=(const cMdfReaderIterator_t&) = delete;
};

namespace iterator_detail {

/// Takes the gathered slices and counts into the iterator, and chooses how they are merged.
void mergeGathered(cMdfReaderIterator_t& iterator, Gathered& gathered);

}  // namespace iterator_detail
