// The writers' sample queue: order, samples put back, samples too large to pack, and the
// in-place access the master values need.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mdf/samplequeue.h"
#include "support/bytes.h"

namespace {

using mdf::SampleQueue;
using mdf::SampleRecord;

SampleRecord Sample(uint64_t i, size_t record_size, size_t vlsd_size = 0) {
  SampleRecord sample;
  sample.timestamp = 1000 + i;
  sample.record_id = i % 7;
  const auto bytes = test::Pattern(record_size, static_cast<uint8_t>(i));
  sample.record_buffer.Assign(bytes.data(), bytes.size());
  sample.vlsd_data = vlsd_size > 0 || i % 5 == 0;
  sample.vlsd_buffer = test::Pattern(vlsd_size, static_cast<uint8_t>(i + 1));
  return sample;
}

void ExpectSame(const SampleRecord& actual, const SampleRecord& expected) {
  EXPECT_EQ(actual.timestamp, expected.timestamp);
  EXPECT_EQ(actual.record_id, expected.record_id);
  EXPECT_TRUE(actual.record_buffer == expected.record_buffer.ToVector());
  EXPECT_EQ(actual.vlsd_data, expected.vlsd_data);
  EXPECT_EQ(actual.vlsd_buffer, expected.vlsd_buffer);
}

TEST(SampleQueue, SamplesComeOutInTheOrderTheyWentIn) {
  // Enough 16-byte samples to fill several chunks, taken off while others are added.
  SampleQueue queue;
  constexpr uint64_t kCount = 300'000;
  uint64_t next_out = 0;
  for (uint64_t i = 0; i < kCount; ++i) {
    queue.push_back(Sample(i, 16));
    if (i % 3 == 0) ExpectSame(queue.pop_front(), Sample(next_out++, 16));
  }
  EXPECT_EQ(queue.size(), kCount - next_out);
  EXPECT_EQ(queue.TimeAt(0), 1000 + next_out);
  EXPECT_EQ(queue.TimeAt(1), 1001 + next_out);
  EXPECT_EQ(queue.BackTime(), 1000 + kCount - 1);
  while (!queue.empty()) {
    const SampleRecord sample = queue.pop_front();
    if (sample.timestamp != 1000 + next_out) {
      ADD_FAILURE() << "sample " << next_out << " out of order";
      break;
    }
    ExpectSame(sample, Sample(next_out++, 16));
  }
  EXPECT_EQ(next_out, kCount);
  queue.push_back(Sample(1, 16));
  EXPECT_EQ(queue.BackTime(), 1001U) << "an emptied queue is used again";
}

TEST(SampleQueue, ASamplePutBackComesOutFirst) {
  SampleQueue queue;
  for (uint64_t i = 0; i < 3; ++i) queue.push_back(Sample(i, 8));
  SampleRecord first = queue.pop_front();
  SampleRecord second = queue.pop_front();
  queue.push_front(std::move(second));
  queue.push_front(std::move(first));
  EXPECT_EQ(queue.size(), 3U);
  EXPECT_EQ(queue.TimeAt(0), 1000U);
  EXPECT_EQ(queue.TimeAt(2), 1002U);
  ExpectSame(queue.pop_front(), Sample(0, 8));
  ExpectSame(queue.pop_front(), Sample(1, 8));
  ExpectSame(queue.pop_front(), Sample(2, 8));
  EXPECT_TRUE(queue.empty());

  queue.push_front(Sample(4, 8));
  EXPECT_EQ(queue.BackTime(), 1004U) << "only a sample put back is queued";
}

TEST(SampleQueue, SamplesTooLargeToPackKeepTheirPlace) {
  SampleQueue queue;
  const std::vector<SampleRecord> samples = {Sample(0, 16), Sample(1, 2'000'000), Sample(2, 40, 64),
                                             Sample(3, 100, 3'000'000), Sample(4, 0), Sample(5, 33)};
  for (const auto& sample : samples) queue.push_back(sample);
  std::vector<size_t> sizes;
  queue.ForEach([&sizes](const SampleQueue::View& view) { sizes.push_back(view.record_size + view.vlsd_size); });
  EXPECT_EQ(sizes, (std::vector<size_t>{16, 2'000'000, 104, 3'000'100, 0, 33}));
  EXPECT_EQ(queue.BackTime(), 1005U);
  for (const auto& sample : samples) ExpectSame(queue.pop_front(), sample);
  EXPECT_TRUE(queue.empty());
}

TEST(SampleQueue, RecordsCanBeChangedInPlace) {
  SampleQueue queue;
  queue.push_back(Sample(0, 16));
  queue.push_back(Sample(1, 2'000'000));
  queue.push_front(Sample(2, 4));
  queue.ForEach([](SampleQueue::View& view) { view.record[0] = 0xEE; });
  for (int i = 0; i < 3; ++i) EXPECT_EQ(queue.pop_front().record_buffer.data()[0], 0xEE);
}

TEST(SampleQueue, ClearDropsEverything) {
  SampleQueue queue;
  for (uint64_t i = 0; i < 1000; ++i) queue.push_back(Sample(i, i % 3 == 0 ? 300'000 : 20));
  queue.push_front(Sample(9, 9));
  queue.clear();
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.size(), 0U);
  size_t visited = 0;
  queue.ForEach([&visited](const SampleQueue::View&) { ++visited; });
  EXPECT_EQ(visited, 0U);
  queue.push_back(Sample(7, 16));
  ExpectSame(queue.pop_front(), Sample(7, 16));
}

TEST(SampleBytes, SmallRecordsStayInPlaceLargeOnesOnTheHeap) {
  for (const size_t size : {size_t{0}, size_t{1}, mdf::SampleBytes::kInlineSize, mdf::SampleBytes::kInlineSize + 1,
                            size_t{5000}}) {
    SCOPED_TRACE(size);
    const auto bytes = test::Pattern(size, 3);
    mdf::SampleBytes original(bytes);
    mdf::SampleBytes copy(original);
    mdf::SampleBytes moved(std::move(original));
    EXPECT_TRUE(copy == bytes);
    EXPECT_TRUE(moved == bytes);
    EXPECT_TRUE(original.empty());
    copy = moved;
    moved = mdf::SampleBytes(test::Pattern(7, 1));
    EXPECT_TRUE(copy == bytes);
    EXPECT_TRUE(moved == test::Pattern(7, 1));
  }
}

}  // namespace
