// How channel observers keep their values: the in-place decoding of plain values agrees
// with the channel's own decoding, byte arrays keep their values whatever their lengths,
// and the memory behind them grows without losing what it holds.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "channelobserver.h"
#include "platformshim.h"
#include "support/fakegroups.h"

namespace {

using mdf::detail::ByteSlots;
using mdf::detail::ChannelObserver;
using test::FakeChannel;
using test::FakeChannelGroup;
using test::FakeDataGroup;

std::vector<uint8_t> RandomRecord(std::mt19937& random, size_t size) {
  std::vector<uint8_t> record(size);
  for (auto& byte : record) byte = static_cast<uint8_t>(random());
  return record;
}

// Every bit field of both signs at every place of a 12-byte record, read in place and
// through the channel's own decoder, in each numeric value type.
template <typename T>
void ExpectInPlaceDecodingAgrees(uint8_t data_type) {
  std::mt19937 random(data_type * 7 + sizeof(T));
  for (uint32_t bits = 1; bits <= 64; ++bits) {
    for (uint32_t shift = 0; shift < 8 && shift + bits <= 64; ++shift) {
      for (uint32_t byte = 0; byte + (shift + bits + 7) / 8 <= 12; byte += 3) {
        FakeDataGroup data;
        FakeChannelGroup& group = data.AddGroup(1, 4);
        FakeChannel& channel = group.AddChannel("Field");
        channel.data_type = data_type;
        channel.bit_count = bits;
        channel.bit_offset = static_cast<uint16_t>(shift);
        channel.byte_offset = byte;
        ChannelObserver<T> observer(data, group, channel);
        data.BuildRecordObserverMap();
        for (uint64_t sample = 0; sample < 4; ++sample) {
          const auto record = RandomRecord(random, 12);
          // Through the data group's dispatch (which takes the observer's shortcut) and by
          // a call of the observer itself.
          if (sample % 2 == 0) {
            ASSERT_TRUE(data.NotifySampleObservers(sample, 1, record.data(), record.size()));
          } else {
            observer.OnRecord(sample, 1, record.data(), record.size());
          }
          T expected{};
          ASSERT_TRUE(channel.ValueFromRecord(record, expected, 0));
          double held = 0;
          ASSERT_TRUE(observer.GetSampleFloat(sample, held, 0)) << bits << " bits at " << byte << "." << shift;
          EXPECT_EQ(held, static_cast<double>(expected)) << bits << " bits at " << byte << "." << shift;
        }
      }
    }
  }
}

TEST(ObserverStorage, InPlaceDecodingAgreesWithTheChannel) {
  ExpectInPlaceDecodingAgrees<uint8_t>(0);
  ExpectInPlaceDecodingAgrees<uint64_t>(0);
  ExpectInPlaceDecodingAgrees<int16_t>(2);
  ExpectInPlaceDecodingAgrees<int64_t>(2);
  ExpectInPlaceDecodingAgrees<double>(0);
}

TEST(ObserverStorage, InPlaceFloatsAgreeWithTheChannel) {
  std::mt19937 random(5);
  for (const uint32_t bits : {32U, 64U}) {
    FakeDataGroup data;
    FakeChannelGroup& group = data.AddGroup(1, 64);
    FakeChannel& channel = group.AddChannel("Float");
    channel.data_type = 4;
    channel.bit_count = bits;
    channel.byte_offset = 2;
    ChannelObserver<float> single(data, group, channel);
    ChannelObserver<int32_t> whole(data, group, channel);
    for (uint64_t sample = 0; sample < 64; ++sample) {
      const auto record = RandomRecord(random, 10);
      single.OnRecord(sample, 1, record.data(), record.size());
      whole.OnRecord(sample, 1, record.data(), record.size());
      float expected = 0;
      int32_t expected_whole = 0;
      channel.ValueFromRecord(record, expected, 0);
      channel.ValueFromRecord(record, expected_whole, 0);
      double held = 0;
      single.GetSampleFloat(sample, held, 0);
      EXPECT_TRUE(held == static_cast<double>(expected) || (std::isnan(held) && std::isnan(expected)));
      int64_t held_whole = 0;
      whole.GetSampleSigned(sample, held_whole, 0);
      EXPECT_EQ(held_whole, expected_whole) << "saturated as the channel saturates";
    }
  }
}

// A record too short for a value: the general path decides (invalid), as before.
TEST(ObserverStorage, ShortRecordsTakeTheGeneralPath) {
  FakeDataGroup data;
  FakeChannelGroup& group = data.AddGroup(1, 2);
  FakeChannel& channel = group.AddChannel("Wide");
  channel.bit_count = 32;
  channel.byte_offset = 4;
  ChannelObserver<uint32_t> observer(data, group, channel);
  const std::vector<uint8_t> whole = {0, 0, 0, 0, 1, 2, 3, 4};
  const std::vector<uint8_t> cut = {0, 0, 0, 0, 1, 2};
  observer.OnRecord(0, 1, whole.data(), whole.size());
  observer.OnRecord(1, 1, cut.data(), cut.size());
  uint64_t value = 0;
  EXPECT_TRUE(observer.GetSampleUnsigned(0, value, 0));
  EXPECT_EQ(value, 0x04030201U);
  EXPECT_FALSE(observer.GetSampleUnsigned(1, value, 0));
}

TEST(ByteSlots, FixedWidthValuesAndTheirExceptions) {
  ByteSlots slots;
  slots.FixedWidth(3);
  slots.Resize(8);
  const uint8_t abc[] = {'a', 'b', 'c'};
  const uint8_t xyz[] = {'x', 'y', 'z'};
  slots.Set(0, abc, 3);
  slots.Set(1, xyz, 3);
  const auto value = [&slots](uint64_t slot) {
    const auto [data, size] = slots.Get(slot);
    return std::string(data, data + size);
  };
  EXPECT_EQ(value(0), "abc");
  EXPECT_EQ(value(1), "xyz");
  EXPECT_EQ(value(2), "") << "never written";
  slots.Set(0, xyz, 3);
  EXPECT_EQ(value(0), "xyz") << "read again in place";
  // A shorter value and a skipped sample leave the fixed layout; every value stays.
  slots.Set(2, abc, 2);
  slots.Set(5, abc, 3);
  EXPECT_EQ(value(0), "xyz");
  EXPECT_EQ(value(1), "xyz");
  EXPECT_EQ(value(2), "ab");
  EXPECT_EQ(value(3), "");
  EXPECT_EQ(value(4), "");
  EXPECT_EQ(value(5), "abc");
}

TEST(ByteSlots, VariableLengthValuesReadAgain) {
  ByteSlots slots;
  slots.Resize(4);
  const std::vector<std::string> first = {"one", "", "three", "4"};
  for (uint64_t slot = 0; slot < first.size(); ++slot) {
    slots.Set(slot, reinterpret_cast<const uint8_t*>(first[slot].data()), first[slot].size());
  }
  const auto value = [&slots](uint64_t slot) {
    const auto [data, size] = slots.Get(slot);
    return std::string(data, data + size);
  };
  for (uint64_t slot = 0; slot < first.size(); ++slot) EXPECT_EQ(value(slot), first[slot]);
  // A second read: the same lengths stay in place, another length drops what follows it,
  // which the read then delivers again.
  slots.Set(0, reinterpret_cast<const uint8_t*>("ONE"), 3);
  slots.Set(1, reinterpret_cast<const uint8_t*>("two"), 3);
  EXPECT_EQ(value(0), "ONE");
  EXPECT_EQ(value(1), "two");
  EXPECT_EQ(value(2), "");
  slots.Set(2, reinterpret_cast<const uint8_t*>("3"), 1);
  EXPECT_EQ(value(2), "3");
}

TEST(LargeBlocks, GrowAndShrinkKeepTheBytes) {
  namespace platform = mdf::detail::platform;
  // Small, then mapped, then larger, then small again: the first bytes travel along.
  size_t size = 1000;
  auto* block = static_cast<uint8_t*>(platform::ResizeBlock(nullptr, 0, size));
  ASSERT_NE(block, nullptr);
  for (size_t i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(i * 7);
  for (const size_t next : {size_t{3} << 20, size_t{9} << 20, size_t{2000}}) {
    block = static_cast<uint8_t*>(platform::ResizeBlock(block, size, next));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(block[i], static_cast<uint8_t>(i * 7)) << next;
    std::memset(block + 1000, 0xEE, next - 1000);  // all of it is writable
    size = next;
  }
  EXPECT_EQ(platform::ResizeBlock(block, size, 0), nullptr);
}

}  // namespace

namespace {

// The data group's observer map is built once per read; an observer destroyed after that
// leaves it, single group or several.
TEST(ObserverStorage, DestroyedObserverLeavesTheBuiltMap) {
  for (const bool several : {false, true}) {
    FakeDataGroup data;
    FakeChannelGroup& group = data.AddGroup(1, 2);
    if (several) data.AddGroup(2, 2);
    FakeChannel& channel = group.AddChannel("Value");
    channel.bit_count = 8;
    ChannelObserver<uint8_t> kept(data, group, channel);
    {
      ChannelObserver<uint8_t> gone(data, group, channel);
      data.BuildRecordObserverMap();
    }
    const std::vector<uint8_t> record = {42};
    EXPECT_TRUE(data.NotifySampleObservers(0, 1, record.data(), record.size()));
    uint64_t value = 0;
    EXPECT_TRUE(kept.GetSampleUnsigned(0, value, 0));
    EXPECT_EQ(value, 42U);
  }
}

}  // namespace

namespace {

// Values in a VLSD channel group: the record reader's shortcut and the observer's own
// handling give the same values, offsets and flags.
TEST(ObserverStorage, VlsdGroupValuesThroughTheShortcut) {
  FakeDataGroup data;
  FakeChannelGroup& fixed = data.AddGroup(1, 3);
  data.AddGroup(2, 3);
  FakeChannel& channel = fixed.AddChannel("Payload");
  channel.channel_type = 1;
  channel.data_type = 10;
  channel.bit_count = 32;
  channel.byte_offset = 1;
  channel.VlsdRecordId(2);
  ChannelObserver<std::vector<uint8_t>> dispatched(data, fixed, channel);
  data.BuildRecordObserverMap();
  ChannelObserver<std::vector<uint8_t>> called(data, fixed, channel);  // not in the map
  const std::vector<std::vector<uint8_t>> offsets = {{9, 0, 0, 0, 0}, {9, 7, 0, 0, 0}, {9, 12, 0, 0, 0}};
  const std::vector<std::vector<uint8_t>> values = {{1, 2, 3, 4, 5, 6, 7}, {}, {8, 9, 10, 11, 12}};
  for (uint64_t sample = 0; sample < 3; ++sample) {
    ASSERT_TRUE(data.NotifySampleObservers(sample, 1, offsets[sample].data(), offsets[sample].size()));
    ASSERT_TRUE(data.NotifySampleObservers(sample, 2, values[sample].data(), values[sample].size()));
    called.OnSample(sample, 1, offsets[sample]);
    called.OnSample(sample, 2, values[sample]);
  }
  for (uint64_t sample = 0; sample < 3; ++sample) {
    std::vector<uint8_t> left;
    std::vector<uint8_t> right;
    EXPECT_EQ(dispatched.GetSampleByteArray(sample, left), called.GetSampleByteArray(sample, right));
    EXPECT_EQ(left, values[sample]);
    EXPECT_EQ(right, values[sample]);
  }
}

}  // namespace
