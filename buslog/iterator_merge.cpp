// How the gathered slices are merged.
#include "buslog/iterator_merge.h"

using namespace iterator_detail;

namespace {

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

}  // namespace

void iterator_detail::mergeGathered(cMdfReaderIterator_t& iterator, Gathered& gathered) {
  iterator.default_records = gathered.default_records;
  iterator.fast_groups = gathered.fast_groups;
  bool sorted = true;
  for (const auto& slice : gathered.slices) {
    iterator.events += slice->size();
    sorted = sorted && slice->sorted();
  }
  iterator.slices = std::move(gathered.slices);
  if (gathered.tags_usable) {
    iterator.order = cMdfReaderIterator_t::Order::kTags;
    iterator.tags = std::move(gathered.tags);
  } else if (sorted) {
    iterator.order = cMdfReaderIterator_t::Order::kMerge;
    for (uint32_t s = 0; s < iterator.slices.size(); ++s) {
      if (!iterator.slices[s]->Done()) iterator.active.push_back(s);
    }
  } else {
    iterator.order = cMdfReaderIterator_t::Order::kListed;
    iterator.listed = listMergedOrder(iterator.slices);
  }
}
