// The writers' sample queue: order, samples put back, samples too large to pack, the
// in-place access the master values need, and the hand-over between a producer that
// publishes without the lock and a consumer that takes batches off under it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
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
  const std::vector<SampleRecord> samples = {
      Sample(0, 16), Sample(1, 2'000'000), Sample(2, 40, 64), Sample(3, 100, 3'000'000), Sample(4, 0), Sample(5, 33)};
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

/// The samples TakeFront hands over, as records.
std::vector<SampleRecord> TakeFront(SampleQueue& queue, size_t max_bytes, uint64_t stop, bool& after_stop) {
  std::vector<SampleRecord> taken;
  const SampleQueue::Taken result = queue.TakeFront(max_bytes, stop, [&taken](const SampleQueue::View& view) {
    SampleRecord& sample = taken.emplace_back();
    sample.timestamp = view.timestamp;
    sample.record_id = view.record_id;
    sample.record_buffer.Assign(view.record, view.record_size);
  });
  EXPECT_EQ(result.count, taken.size());
  after_stop = result.after_stop;
  return taken;
}

SampleRecord Plain(uint64_t i, size_t record_size) {
  SampleRecord sample = Sample(i, record_size);
  sample.vlsd_data = false;
  return sample;
}

TEST(SampleQueue, TakeFrontHandsOverPackedSamplesUpToOneOfAnotherKind) {
  SampleQueue queue;
  const std::vector<SampleRecord> samples = {Plain(1, 16),        Plain(2, 0),  Sample(3, 8, 4), Plain(4, 16),
                                             Plain(6, 2'000'000), Plain(7, 24), Plain(8, 24)};
  for (const auto& sample : samples) queue.push_back(sample);
  bool after_stop = true;
  auto taken = TakeFront(queue, 1 << 20, 0, after_stop);
  EXPECT_FALSE(after_stop);
  ASSERT_EQ(taken.size(), 2U) << "up to the sample with VLSD bytes";
  ExpectSame(taken[0], samples[0]);
  ExpectSame(taken[1], samples[1]);
  EXPECT_TRUE(TakeFront(queue, 1 << 20, 0, after_stop).empty()) << "pop_front takes that one";
  ExpectSame(queue.pop_front(), samples[2]);
  taken = TakeFront(queue, 1 << 20, 0, after_stop);
  ASSERT_EQ(taken.size(), 1U) << "up to the sample too large to pack";
  ExpectSame(taken[0], samples[3]);
  ExpectSame(queue.pop_front(), samples[4]);
  taken = TakeFront(queue, 1, 0, after_stop);
  ASSERT_EQ(taken.size(), 1U) << "at least one sample, however few bytes are asked for";
  ExpectSame(taken[0], samples[5]);
  EXPECT_EQ(queue.size(), 1U);
  queue.push_front(Plain(5, 4));
  EXPECT_TRUE(TakeFront(queue, 1 << 20, 0, after_stop).empty()) << "a sample put back goes first, by pop_front";
  ExpectSame(queue.pop_front(), Plain(5, 4));
  ExpectSame(TakeFront(queue, 1 << 20, 0, after_stop).at(0), samples[6]);
  EXPECT_TRUE(queue.empty());
}

TEST(SampleQueue, TakeFrontDropsTheFirstSampleAfterTheStopAndLeavesTheRest) {
  SampleQueue queue;
  for (const uint64_t time : {90, 100, 110, 95}) {
    SampleRecord sample = Plain(time, 8);
    sample.timestamp = time;
    queue.push_back(sample);
  }
  bool after_stop = false;
  const auto taken = TakeFront(queue, 1 << 20, 100, after_stop);
  EXPECT_TRUE(after_stop);
  ASSERT_EQ(taken.size(), 2U);
  EXPECT_EQ(taken[0].timestamp, 90U);
  EXPECT_EQ(taken[1].timestamp, 100U);
  ASSERT_EQ(queue.size(), 1U);
  EXPECT_EQ(queue.TimeAt(0), 95U);
}

TEST(SampleQueue, AReservedSampleIsQueuedWhenPublished) {
  SampleQueue queue;
  EXPECT_EQ(queue.Reserve(16, false), nullptr) << "no chunk yet: one is taken with the lock";
  uint8_t* record = queue.Reserve(16, true);
  ASSERT_NE(record, nullptr);
  std::memset(record, 0xAB, 16);
  EXPECT_TRUE(queue.empty());
  queue.Publish(1000, 3, 16);
  ASSERT_EQ(queue.size(), 1U);
  EXPECT_EQ(queue.BackTime(), 1000U);
  const SampleRecord sample = queue.pop_front();
  EXPECT_EQ(sample.record_id, 3U);
  EXPECT_TRUE(sample.record_buffer == std::vector<uint8_t>(16, 0xAB));
  EXPECT_FALSE(SampleQueue::Packs(uint64_t{1} << 40, 16)) << "such a sample goes whole through push_back";
  EXPECT_FALSE(SampleQueue::Packs(1, size_t{2} << 20));
}

TEST(SampleQueue, ChunksAreReadiedOnlyForAProducerThatFillsThem) {
  SampleQueue queue;
  queue.KeepSparesReady(true);
  for (uint64_t i = 0; i < 1000; ++i) queue.push_back(Plain(i, 16));
  EXPECT_FALSE(queue.WantsSpare()) << "a few samples fit the first chunk";
  uint64_t pushed = 1000;
  while (!queue.WantsSpare() && pushed < 1'000'000) queue.push_back(Plain(pushed++, 16));
  ASSERT_TRUE(queue.WantsSpare()) << "the first chunk filled";
  const std::atomic<bool> stop{false};
  while (queue.WantsSpare()) queue.AddSpare(SampleQueue::MakeSpare(stop));
  queue.AddSpare({});
  EXPECT_FALSE(queue.WantsSpare()) << "a chunk that could not be mapped ends the readying";
  for (uint64_t i = 0; i < pushed; ++i) {
    if (queue.pop_front().timestamp != 1000 + i) {
      ADD_FAILURE() << "sample " << i << " out of order";
      break;
    }
  }
  EXPECT_TRUE(queue.empty());
}

TEST(SampleQueue, AProducerAndAConsumerOnTwoThreadsSeeEverySampleOnce) {
  // The producer publishes without the lock and takes it only for a new chunk, as the
  // writer's caller does; the consumer takes batches under it, and emptied chunks go
  // round between the two.
  constexpr uint64_t kCount = 400'000;
  SampleQueue queue;
  std::mutex lock;
  std::thread producer([&] {
    for (uint64_t i = 0; i < kCount; ++i) {
      const size_t size = 8 + i % 17;
      uint8_t* record = queue.Reserve(size, false);
      if (record == nullptr) {
        std::lock_guard guard(lock);
        record = queue.Reserve(size, true);
      }
      std::memset(record, static_cast<int>(i & 0xFF), size);
      queue.Publish(i, i % 5, size);
    }
  });
  uint64_t next = 0;
  bool in_order = true;
  while (next < kCount && in_order) {
    std::lock_guard guard(lock);
    queue.TakeFront(4096, 0, [&](const SampleQueue::View& view) {
      const size_t size = 8 + next % 17;
      in_order = in_order && view.timestamp == next && view.record_id == next % 5 && view.record_size == size &&
                 view.record[0] == (next & 0xFF) && view.record[size - 1] == (next & 0xFF);
      ++next;
    });
  }
  producer.join();
  EXPECT_TRUE(in_order) << "sample " << next;
  EXPECT_EQ(next, kCount);
  EXPECT_TRUE(queue.empty());
}

TEST(SampleQueue, ARecordCopyTakesExactlyItsBytes) {
  for (size_t size = 0; size <= 41; ++size) {
    SCOPED_TRACE(size);
    const auto source = test::Pattern(size, 5);
    std::vector<uint8_t> dest(size + 8, 0xEE);
    mdf::CopyRecordBytes(dest.data(), source.data(), size);
    EXPECT_TRUE(std::equal(source.begin(), source.end(), dest.begin()));
    EXPECT_EQ(std::count(dest.begin() + static_cast<std::ptrdiff_t>(size), dest.end(), 0xEE), 8) << "past the end";
  }
}

TEST(SampleBytes, SmallRecordsStayInPlaceLargeOnesOnTheHeap) {
  for (const size_t size :
       {size_t{0}, size_t{1}, mdf::SampleBytes::kInlineSize, mdf::SampleBytes::kInlineSize + 1, size_t{5000}}) {
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
