// The compact events of one channel group: events taken back at the end of a chunk and after it
// leave the slice where the next ones go, across the chunk boundary.
#include <gtest/gtest.h>

#include <cstdint>

#include "buslog/iterator_slices.h"

namespace {

using iterator_detail::Event;
using iterator_detail::Slice;

void AppendNumbered(Slice& slice, uint32_t id) {
  Event& event = slice.Append();
  event = Event{};
  event.id = id;
}

TEST(Slice, EventsTakenBackAcrossAChunkBoundaryAreReplacedInPlace) {
  // Each row: events appended, then taken back one by one, then appended again.
  const struct {
    uint64_t appended;
    uint64_t dropped;
  } cases[] = {
      {Slice::kFirstEvents + 1, 2},  // the second chunk's only event, then the first chunk's last
      {Slice::kFirstEvents + 1, 1},
      {Slice::kFirstEvents, 3},
      {Slice::kFirstEvents + Slice::kChunkEvents + 2, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.appended << " appended, " << c.dropped << " taken back");
    Slice slice;
    for (uint64_t i = 0; i < c.appended; ++i) AppendNumbered(slice, static_cast<uint32_t>(i));
    for (uint64_t i = 0; i < c.dropped; ++i) slice.DropLast();
    ASSERT_EQ(slice.size(), c.appended - c.dropped);
    const uint64_t total = c.appended + 3;
    for (uint64_t i = slice.size(); i < total; ++i) AppendNumbered(slice, static_cast<uint32_t>(1'000'000 + i));
    ASSERT_EQ(slice.size(), total);
    for (uint64_t i = 0; i < total; ++i) {
      const uint32_t expected = static_cast<uint32_t>(i < c.appended - c.dropped ? i : 1'000'000 + i);
      ASSERT_EQ(slice.At(i).id, expected) << "event " << i;
    }
  }
}

}  // namespace
