// Fields read straight from records convert exactly as the channel's own conversion does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "cg4block.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/recordfields.h"

namespace {

using mdf::detail::Cg4Block;

// A 16-byte record: an unsigned 64-bit field at 0 and a double at 8.
struct Group {
  Group() {
    group.NofDataBytes(16);
    ticks = group.CreateChannel();
    ticks->DataType(mdf::kUnsignedLe);
    ticks->BitCount(64);
    ticks->ByteOffset(0);
    number = group.CreateChannel();
    number->DataType(mdf::kFloatLe);
    number->BitCount(64);
    number->ByteOffset(8);
  }
  Cg4Block group;
  mdf::IChannel* ticks = nullptr;
  mdf::IChannel* number = nullptr;
};

std::vector<uint8_t> Record(uint64_t bits, double value) {
  std::vector<uint8_t> record(16);
  for (int i = 0; i < 8; ++i) record[i] = static_cast<uint8_t>(bits >> (8 * i));
  std::memcpy(record.data() + 8, &value, sizeof value);  // the machine is little-endian
  return record;
}

template <typename T>
void ExpectSameAsConversion(const mdf::RecordFields& fields, size_t field, const mdf::IChannelConversion& conversion,
                            const mdf::RawValue& raw, bool is_float) {
  T expected{};
  if (is_float) {
    conversion.Convert(raw.number, expected);
  } else {
    conversion.Convert(raw.bits, expected);
  }
  const T got = fields.Converted<T>(field, raw);
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(got));
      return;
    }
  }
  EXPECT_EQ(got, expected);
}

TEST(RecordFields, ConvertedValuesEqualTheConversionsOwnForEveryTarget) {
  // Linear with two parameters (taken once), with one (the constant), with a rational one.
  struct Case {
    uint8_t type;
    std::vector<double> parameters;
  };
  const Case cases[] = {
      {mdf::kLinearConversion, {0.5, 1e-9}},
      {mdf::kLinearConversion, {-3.25, -7.0}},
      {mdf::kLinearConversion, {1e300, 1e300}},
      {mdf::kLinearConversion, {2.0}},
      {mdf::kRationalConversion, {0.0, 2.0, 1.0, 0.0, 0.0, 1.0}},
  };
  const uint64_t raw_bits[] = {
      0, 1, 255, 1'000'000'007, uint64_t{1} << 53, (uint64_t{1} << 53) + 1, std::numeric_limits<uint64_t>::max()};
  const double raw_numbers[] = {0.0, -1.5, 3.0e9, -0.0, std::numeric_limits<double>::infinity()};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type} << " with " << c.parameters.size() << " parameters");
    Group g;
    for (mdf::IChannel* channel : {g.ticks, g.number}) {
      mdf::IChannelConversion* conversion = channel->CreateChannelConversion();
      conversion->SetType(c.type);
      for (uint16_t i = 0; i < c.parameters.size(); ++i) conversion->SetParameter(i, c.parameters[i]);
    }
    mdf::RecordFields fields;
    const auto ticks = fields.AddNumber(*g.ticks);
    const auto number = fields.AddNumber(*g.number);
    ASSERT_TRUE(ticks.has_value() && number.has_value());
    for (size_t i = 0; i < std::size(raw_bits); ++i) {
      const std::vector<uint8_t> record = Record(raw_bits[i], raw_numbers[i % std::size(raw_numbers)]);
      std::vector<mdf::RawValue> values(fields.Size());
      fields.Read(record.data(), record.size(), values.data());
      ASSERT_EQ(values[*ticks].bits, raw_bits[i]);
      for (const auto& [field, channel, is_float] :
           {std::tuple{*ticks, g.ticks, false}, std::tuple{*number, g.number, true}}) {
        const mdf::IChannelConversion& conversion = *channel->ChannelConversion();
        ExpectSameAsConversion<double>(fields, field, conversion, values[field], is_float);
        ExpectSameAsConversion<float>(fields, field, conversion, values[field], is_float);
        ExpectSameAsConversion<int64_t>(fields, field, conversion, values[field], is_float);
        ExpectSameAsConversion<uint8_t>(fields, field, conversion, values[field], is_float);
      }
    }
  }
}

}  // namespace
