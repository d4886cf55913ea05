// Channel observers of the twelve value types, their getters and the converted values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ca4block.h"
#include "channelobserver.h"
#include "mdf/metaproperty.h"
#include "support/fakegroups.h"

namespace {

using mdf::detail::ChannelObserver;
using test::FakeChannel;
using test::FakeChannelGroup;
using test::FakeConversion;
using test::FakeDataGroup;

// A data group with one channel group (record id 1, `samples` samples) and one channel.
struct Fixture {
  explicit Fixture(uint64_t samples = 3, uint8_t data_type = 0, uint32_t bits = 8)
      : group(data.AddGroup(1, samples)), channel(group.AddChannel("Signal")) {
    data.AddGroup(2, 10);
    channel.data_type = data_type;
    channel.bit_count = bits;
  }
  FakeDataGroup data;
  FakeChannelGroup& group;
  FakeChannel& channel;
};

TEST(ChannelObserver, EmptyGroupGivesEmptyBuffers) {
  Fixture f(0);
  ChannelObserver<uint32_t> observer(f.data, f.group, f.channel);
  EXPECT_EQ(observer.NofSlots(), 0U);
  EXPECT_EQ(observer.NofSamples(), 0U);
  EXPECT_TRUE(observer.OnSample(0, 1, {7}));
  uint64_t value = 5;
  EXPECT_FALSE(observer.GetSampleUnsigned(0, value, 0));
  EXPECT_EQ(value, 0U);
  std::string text = "x";
  EXPECT_FALSE(observer.GetSampleText(0, text, 0));
  EXPECT_EQ(text, "");
}

// A sample count from a damaged file reserves nothing: the buffers follow the records.
TEST(ChannelObserver, BuffersGrowWithTheRecordsThatArrive) {
  Fixture f(uint64_t{1} << 40, 0, 8);
  ChannelObserver<uint8_t> observer(f.data, f.group, f.channel);
  EXPECT_LE(observer.NofSlots(), 4096U);
  EXPECT_TRUE(observer.OnSample(10000, 1, {42}));
  EXPECT_GT(observer.NofSlots(), 10000U);
  EXPECT_LT(observer.NofSlots(), 100000U);
  uint64_t value = 0;
  EXPECT_TRUE(observer.GetSampleUnsigned(10000, value, 0));
  EXPECT_EQ(value, 42U);
  EXPECT_FALSE(observer.GetSampleUnsigned(9999, value, 0));
}

TEST(ChannelObserver, FillsOwnRecordsOnlyAndReadsBack) {
  Fixture f(3, 0, 8);
  ChannelObserver<uint8_t> observer(f.data, f.group, f.channel);
  EXPECT_EQ(observer.RecordIds(), (std::set<uint64_t>{1}));
  f.data.BuildRecordObserverMap();
  EXPECT_TRUE(f.data.NotifySampleObservers(0, 1, {65}));
  EXPECT_TRUE(f.data.NotifySampleObservers(1, 1, {66}));
  EXPECT_TRUE(observer.OnSample(2, 2, {99})) << "another group's record";

  uint64_t value = 0;
  std::string text;
  EXPECT_TRUE(observer.GetSampleUnsigned(0, value, 0));
  EXPECT_EQ(value, 65U);
  EXPECT_TRUE(observer.GetSampleText(1, text, 0));
  EXPECT_EQ(text, "B") << "an 8-bit value reads as one character";
  EXPECT_FALSE(observer.GetSampleUnsigned(2, value, 0)) << "sample 2 was never filled";
  EXPECT_EQ(value, 0U);
  EXPECT_FALSE(observer.GetSampleUnsigned(3, value, 0)) << "beyond the sample count";
  EXPECT_FALSE(observer.GetSampleText(3, text, 0));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(observer.OnSample(3, 1, {67})) << "a record beyond the buffers is dropped";
  f.group.nof_samples = 9;
  EXPECT_EQ(observer.NofSamples(), 9U) << "the group's current count, not the buffer size";
}

TEST(ChannelObserver, InvalidationBitsSetTheValidFlags) {
  Fixture f(2, 2, 16);
  f.channel.flags = 2;
  f.channel.record_data_bytes = 2;
  f.channel.invalid_bit = 3;
  ChannelObserver<int16_t> observer(f.data, f.group, f.channel);
  observer.OnSample(0, 1, {0xFE, 0xFF, 0x00});
  observer.OnSample(1, 1, {0x05, 0x00, 0x08});
  int64_t value = 0;
  EXPECT_TRUE(observer.GetSampleSigned(0, value, 0));
  EXPECT_EQ(value, -2);
  EXPECT_FALSE(observer.GetSampleSigned(1, value, 0));
  EXPECT_EQ(value, 5) << "the value is written even when invalid";
}

TEST(ChannelObserver, VirtualChannelsCountSamples) {
  Fixture f(3, 0, 0);
  f.channel.channel_type = 3;
  ChannelObserver<uint64_t> master(f.data, f.group, f.channel);
  ChannelObserver<std::string> as_text(f.data, f.group, f.channel);
  ChannelObserver<float> as_float(f.data, f.group, f.channel);
  ChannelObserver<std::vector<uint8_t>> as_bytes(f.data, f.group, f.channel);
  f.data.BuildRecordObserverMap();
  for (uint64_t sample = 0; sample < 3; ++sample) {
    ASSERT_TRUE(f.data.NotifySampleObservers(sample, 1, {0xFF}));
  }
  for (uint64_t sample = 0; sample < 3; ++sample) {
    uint64_t value = 99;
    std::string text;
    double number = -1;
    EXPECT_TRUE(master.GetSampleUnsigned(sample, value, 0));
    EXPECT_EQ(value, sample);
    EXPECT_TRUE(as_text.GetSampleText(sample, text, 0));
    EXPECT_EQ(text, std::to_string(sample));
    EXPECT_TRUE(as_float.GetSampleFloat(sample, number, 0));
    EXPECT_EQ(number, static_cast<double>(sample));
    std::vector<uint8_t> bytes = {1};
    EXPECT_TRUE(as_bytes.GetSampleByteArray(sample, bytes));
    EXPECT_TRUE(bytes.empty());
  }
}

TEST(ChannelObserver, SignedAndFloatConversionsOfTheGetters) {
  Fixture f(1, 2, 8);
  ChannelObserver<int8_t> small(f.data, f.group, f.channel);
  small.OnSample(0, 1, {0xFF});
  uint64_t unsigned_value = 0;
  int64_t signed_value = 0;
  double float_value = 0;
  std::string text;
  EXPECT_TRUE(small.GetSampleUnsigned(0, unsigned_value, 0));
  EXPECT_EQ(unsigned_value, std::numeric_limits<uint64_t>::max()) << "sign-extended";
  EXPECT_TRUE(small.GetSampleSigned(0, signed_value, 0));
  EXPECT_EQ(signed_value, -1);
  EXPECT_TRUE(small.GetSampleFloat(0, float_value, 0));
  EXPECT_EQ(float_value, -1.0);
  EXPECT_TRUE(small.GetSampleText(0, text, 0));
  EXPECT_EQ(text, "\xFF");

  Fixture g(2, 4, 32);
  ChannelObserver<float> single(g.data, g.group, g.channel);
  single.OnSample(0, 1, {0x66, 0x66, 0x2E, 0xC0});  // -2.725f
  single.OnSample(1, 1, {0x00, 0x00, 0xC0, 0x7F});  // NaN
  EXPECT_TRUE(single.GetSampleUnsigned(0, unsigned_value, 0));
  EXPECT_EQ(unsigned_value, static_cast<uint64_t>(-2)) << "two's complement of the truncated value";
  EXPECT_TRUE(single.GetSampleSigned(0, signed_value, 0));
  EXPECT_EQ(signed_value, -2);
  EXPECT_TRUE(single.GetSampleText(0, text, 0));
  EXPECT_EQ(text, "-2.725");
  EXPECT_TRUE(single.GetSampleSigned(1, signed_value, 0));
  EXPECT_EQ(signed_value, 0) << "NaN has no integer";

  Fixture h(1, 4, 64);
  ChannelObserver<double> wide(h.data, h.group, h.channel);
  wide.OnSample(0, 1, {0, 0, 0, 0, 0, 0x6A, 0xF8, 0x40});  // 100000 x 1.0 x ... = 100000
  EXPECT_TRUE(wide.GetSampleText(0, text, 0));
  EXPECT_EQ(text, "100000");
}

TEST(ChannelObserver, TextValuesParseAsNumbers) {
  Fixture f(3, 7, 64);
  ChannelObserver<std::string> observer(f.data, f.group, f.channel);
  const auto record = [](const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(8, 0);
    return bytes;
  };
  observer.OnSample(0, 1, record(" 42abc"));
  observer.OnSample(1, 1, record(""));
  observer.OnSample(2, 1, record("-2.5e1"));
  uint64_t unsigned_value = 0;
  int64_t signed_value = 0;
  double float_value = 0;
  std::string text;
  EXPECT_TRUE(observer.GetSampleUnsigned(0, unsigned_value, 0));
  EXPECT_EQ(unsigned_value, 42U);
  EXPECT_TRUE(observer.GetSampleText(0, text, 0));
  EXPECT_EQ(text, " 42abc");
  EXPECT_THROW(observer.GetSampleUnsigned(1, unsigned_value, 0), std::invalid_argument);
  EXPECT_THROW(observer.GetSampleFloat(1, float_value, 0), std::invalid_argument);
  EXPECT_TRUE(observer.GetSampleFloat(2, float_value, 0));
  EXPECT_EQ(float_value, -25.0);
  EXPECT_TRUE(observer.GetSampleSigned(2, signed_value, 0));
  EXPECT_EQ(signed_value, -2);
  EXPECT_FALSE(observer.GetSampleUnsigned(3, unsigned_value, 0)) << "beyond the values: no parse";
  EXPECT_EQ(unsigned_value, 0U);
}

TEST(ChannelObserver, ByteArrays) {
  Fixture f(2, 10, 16);
  f.channel.flags = 2;
  f.channel.record_data_bytes = 2;
  ChannelObserver<std::vector<uint8_t>> observer(f.data, f.group, f.channel);
  observer.OnSample(0, 1, {0x0A, 0xFF, 0x00});
  observer.OnSample(1, 1, {0x01, 0x02, 0x01});
  std::string text;
  uint64_t number = 9;
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(observer.GetSampleText(0, text, 0));
  EXPECT_EQ(text, "0AFF");
  EXPECT_TRUE(observer.GetSampleUnsigned(0, number, 0));
  EXPECT_EQ(number, 0U);
  EXPECT_TRUE(observer.GetByteArray(0, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x0A, 0xFF}));
  EXPECT_FALSE(observer.GetSampleByteArray(1, bytes)) << "invalidation bit set";
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x01, 0x02}));
  bytes = {7};
  EXPECT_FALSE(observer.GetSampleByteArray(2, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{7})) << "left as it was beyond the values";

  ChannelObserver<uint16_t> numeric(f.data, f.group, f.channel);
  EXPECT_FALSE(numeric.GetSampleByteArray(0, bytes));
  EXPECT_TRUE(bytes.empty());

  // Values of another size replace what a slot held, as do values read again.
  Fixture g(2, 10, 0);
  g.channel.channel_type = 1;
  g.channel.VlsdRecordId(2);  // values are whole records of group 2
  ChannelObserver<std::vector<uint8_t>> variable(g.data, g.group, g.channel);
  variable.OnSample(0, 2, {1, 2});
  variable.OnSample(1, 2, {3});
  variable.OnSample(0, 2, {4, 5, 6});
  variable.OnSample(1, 2, {7});
  EXPECT_TRUE(variable.GetSampleByteArray(0, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{4, 5, 6}));
  EXPECT_TRUE(variable.GetSampleByteArray(1, bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{7}));
  EXPECT_TRUE(variable.GetSampleText(0, text, 0));
  EXPECT_EQ(text, "040506");
  variable.OnSample(1, 2, {});
  EXPECT_TRUE(variable.GetSampleByteArray(1, bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST(ChannelObserver, ArrayElementsUseTheirOwnSlots) {
  Fixture f(2, 0, 8);
  mdf::detail::Ca4Block array;
  array.SetShape({3});
  f.channel.array = &array;
  ChannelObserver<uint16_t> observer(f.data, f.group, f.channel);
  EXPECT_EQ(observer.NofSlots(), 6U);
  observer.OnSample(0, 1, {1, 2, 3});
  observer.OnSample(1, 1, {4, 5, 6});
  for (uint64_t sample = 0; sample < 2; ++sample) {
    for (uint64_t element = 0; element < 3; ++element) {
      uint64_t value = 0;
      EXPECT_TRUE(observer.GetSampleUnsigned(sample, value, element));
      EXPECT_EQ(value, sample * 3 + element + 1);
    }
  }
  uint64_t value = 0;
  EXPECT_FALSE(observer.GetSampleUnsigned(1, value, 3)) << "slot 6 is past the end";
}

TEST(ChannelObserver, DetachesWhenDestroyed) {
  Fixture f;
  {
    ChannelObserver<double> observer(f.data, f.group, f.channel);
    EXPECT_EQ(f.data.SampleObservers().size(), 1U);
  }
  EXPECT_TRUE(f.data.SampleObservers().empty());
}

// --- converted values

// A text-to-text conversion that upper-cases nothing but maps "a" to "12".
class TextTable : public FakeConversion {
 public:
  bool ConvertTextToText(const std::string& in, std::string& out) const override {
    out = in == "a" ? "12" : "0";
    return true;
  }
};

TEST(ConvertedValue, RawWithoutConversionAndThroughOneToOne) {
  Fixture f(1, 0, 16);
  ChannelObserver<uint16_t> observer(f.data, f.group, f.channel);
  observer.OnSample(0, 1, {0x2C, 0x01});  // 300
  uint8_t small = 0;
  double number = 0;
  EXPECT_TRUE(observer.GetChannelValue(0, small));
  EXPECT_EQ(small, 44) << "low 8 bits";
  EXPECT_TRUE(observer.ConvertedValue(0, number));
  EXPECT_EQ(number, 300.0);

  FakeConversion identity;
  f.channel.conversion = &identity;
  uint32_t value = 0;
  EXPECT_TRUE(observer.ConvertedValue(0, value));
  EXPECT_EQ(value, 300U);
}

TEST(ConvertedValue, LinearResultsNarrowThroughSignedIntegers) {
  Fixture f(2, 0, 8);
  FakeConversion linear;
  linear.type = 1;
  linear.SetValues({0.7, 3.0});  // 100 -> 300.7
  f.channel.conversion = &linear;
  ChannelObserver<uint8_t> observer(f.data, f.group, f.channel);
  observer.OnSample(0, 1, {100});
  uint8_t small = 0;
  uint32_t wide = 0;
  double exact = 0;
  EXPECT_TRUE(observer.ConvertedValue(0, small));
  EXPECT_EQ(small, 44);
  EXPECT_TRUE(observer.ConvertedValue(0, wide));
  EXPECT_EQ(wide, 300U);
  EXPECT_TRUE(observer.ConvertedValue(0, exact));
  EXPECT_NEAR(exact, 300.7, 1e-9);
  EXPECT_FALSE(observer.ConvertedValue(1, wide)) << "an unfilled sample";
  EXPECT_EQ(wide, 0U);

  std::vector<uint32_t> values = {5, 5, 5, 5};
  const auto valid = observer.ConvertedValues(values);
  EXPECT_EQ(values, (std::vector<uint32_t>{300, 0}));
  EXPECT_EQ(valid, (std::vector<bool>{true, false}));
}

TEST(ConvertedValue, TextChannels) {
  Fixture f(1, 7, 32);
  ChannelObserver<std::string> observer(f.data, f.group, f.channel);
  observer.OnSample(0, 1, {' ', '1', '2', 0});
  FakeConversion identity;
  f.channel.conversion = &identity;
  uint8_t code = 0;
  uint32_t number = 0;
  EXPECT_TRUE(observer.ConvertedValue(0, code));
  EXPECT_EQ(code, '1') << "the first non-blank character";
  EXPECT_TRUE(observer.ConvertedValue(0, number));
  EXPECT_EQ(number, 12U);

  FakeConversion linear;
  linear.type = 1;
  f.channel.conversion = &linear;
  double value = 5;
  EXPECT_TRUE(observer.ConvertedValue(0, number));
  EXPECT_EQ(number, 0U) << "no number comes out of a linear conversion of a text";
  EXPECT_TRUE(observer.ConvertedValue(0, value));
  EXPECT_EQ(value, 0.0);

  Fixture g(1, 7, 16);
  ChannelObserver<std::string> letters(g.data, g.group, g.channel);
  letters.OnSample(0, 1, {'a', 0});
  TextTable table;
  table.type = 10;
  g.channel.conversion = &table;
  EXPECT_TRUE(letters.ConvertedValue(0, number));
  EXPECT_EQ(number, 12U);
}

TEST(ConvertedValue, UnknownDataTypeAndEmptyObserver) {
  Fixture f(1, 15, 8);
  ChannelObserver<uint64_t> observer(f.data, f.group, f.channel);
  observer.OnSample(0, 1, {9});
  uint32_t value = 7;
  EXPECT_FALSE(observer.GetChannelValue(0, value));
  EXPECT_EQ(value, 0U);

  Fixture empty(0);
  ChannelObserver<uint8_t> none(empty.data, empty.group, empty.channel);
  std::vector<uint8_t> values = {1, 2};
  EXPECT_TRUE(none.ConvertedValues(values).empty());
  EXPECT_TRUE(values.empty());
}

TEST(ConvertedValue, ConvertOverInputKinds) {
  FakeConversion text;
  text.type = 7;  // the fake always answers "value text"
  uint8_t code = 0;
  uint32_t number = 9;
  EXPECT_TRUE(text.Convert(1.0, code));
  EXPECT_EQ(code, 'v');
  EXPECT_TRUE(text.Convert(int64_t{1}, number));
  EXPECT_EQ(number, 0U);

  FakeConversion linear;
  linear.type = 1;
  linear.SetValues({0.0, std::numeric_limits<double>::quiet_NaN()});
  EXPECT_TRUE(linear.Convert(uint64_t{3}, code));
  EXPECT_EQ(code, 0) << "NaN narrows to 0";
  linear.SetValues({0.0, 1e30});
  EXPECT_TRUE(linear.Convert(1.0, number));
  EXPECT_EQ(number, 0xFFFFFFFFU) << "saturated to int64, low 32 bits";

  FakeConversion table;
  table.type = 9;  // text to value: the input passes
  EXPECT_TRUE(table.Convert(int64_t{-1}, number));
  EXPECT_EQ(number, 0xFFFFFFFFU);
}

TEST(MetaProperty, IntValue) {
  mdf::MetaProperty property;
  const auto value_of = [&property](const std::string& text) {
    property.SetValue(text);
    return property.IntValue();
  };
  EXPECT_EQ(value_of(""), 0U);
  EXPECT_EQ(value_of("abc"), 0U);
  EXPECT_EQ(value_of("7"), 7U);
  EXPECT_EQ(value_of(" 12 sessions"), 12U);
  EXPECT_EQ(value_of("4294967295"), 4294967295U);
  EXPECT_EQ(value_of("4294967296"), 0U);
  EXPECT_EQ(value_of("-1"), 0U);
}

}  // namespace

namespace {

// The observers decode plain numbers themselves; they must agree with the channel's own
// decoding for every data type, width, position, byte order and target type.
template <typename T>
void CompareWithChannelDecoding(std::mt19937& random, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    Fixture f(1);
    FakeChannel& channel = f.channel;
    channel.data_type = static_cast<uint8_t>(random() % 6);
    const bool is_float = channel.data_type >= 4;
    const uint32_t widths[] = {16, 32, 64, 24};
    channel.bit_count = is_float ? widths[random() % 4] : static_cast<uint32_t>(random() % 67);
    channel.bit_offset = static_cast<uint16_t>(random() % 8);
    channel.byte_offset = static_cast<uint32_t>(random() % 6);
    channel.channel_type = random() % 5 == 0 ? 2 : 0;
    mdf::detail::Ca4Block array;
    array.SetShape({1 + random() % 3});
    channel.array = &array;
    std::vector<uint8_t> record(1 + random() % 24);
    for (auto& byte : record) byte = static_cast<uint8_t>(random());
    if (random() % 2 == 0) {
      channel.flags = 2;
      channel.record_data_bytes = record.size() > 1 ? record.size() - 1 : 0;
      channel.invalid_bit = static_cast<uint32_t>(random() % 5);
    }
    ChannelObserver<T> observer(f.data, f.group, channel);
    observer.OnSample(0, 1, record);
    for (uint64_t element = 0; element < array.ElementCount(); ++element) {
      T expected{};
      const bool expected_valid = channel.ValueFromRecord(record, expected, element);
      bool valid = false;
      bool same = false;
      if constexpr (std::is_floating_point_v<T>) {
        double value = 0;
        valid = observer.GetSampleFloat(0, value, element);
        same = std::isnan(value) ? std::isnan(expected) : value == static_cast<double>(expected);
      } else if constexpr (std::is_signed_v<T>) {
        int64_t value = 0;
        valid = observer.GetSampleSigned(0, value, element);
        same = value == static_cast<int64_t>(expected);
      } else {
        uint64_t value = 0;
        valid = observer.GetSampleUnsigned(0, value, element);
        same = value == static_cast<uint64_t>(expected);
      }
      ASSERT_EQ(valid, expected_valid) << "round " << round;
      ASSERT_TRUE(same) << "round " << round << " type " << int(channel.data_type) << " bits " << channel.bit_count
                        << " at " << channel.byte_offset << "." << channel.bit_offset << " element " << element;
    }
  }
}

TEST(ChannelObserver, NumbersDecodeAsTheChannelDecodesThem) {
  std::mt19937 random(20261209);
  CompareWithChannelDecoding<int8_t>(random, 3000);
  CompareWithChannelDecoding<uint8_t>(random, 3000);
  CompareWithChannelDecoding<int16_t>(random, 3000);
  CompareWithChannelDecoding<uint16_t>(random, 3000);
  CompareWithChannelDecoding<int32_t>(random, 3000);
  CompareWithChannelDecoding<uint32_t>(random, 3000);
  CompareWithChannelDecoding<float>(random, 3000);
  CompareWithChannelDecoding<double>(random, 3000);
  CompareWithChannelDecoding<int64_t>(random, 3000);
  CompareWithChannelDecoding<uint64_t>(random, 3000);

  // Every half-precision pattern, as elements of one array record.
  Fixture f(1, 4, 16);
  mdf::detail::Ca4Block array;
  array.SetShape({65536});
  f.channel.array = &array;
  std::vector<uint8_t> record;
  for (uint32_t pattern = 0; pattern < 65536; ++pattern) {
    record.push_back(static_cast<uint8_t>(pattern));
    record.push_back(static_cast<uint8_t>(pattern >> 8));
  }
  ChannelObserver<float> observer(f.data, f.group, f.channel);
  observer.OnSample(0, 1, record);
  for (uint64_t element = 0; element < 65536; ++element) {
    float expected = 0;
    f.channel.ValueFromRecord(record, expected, element);
    double value = 0;
    observer.GetSampleFloat(0, value, element);
    ASSERT_TRUE(std::isnan(expected) ? std::isnan(value) : value == static_cast<double>(expected)) << element;
  }
}

}  // namespace
