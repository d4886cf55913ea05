// The one conversion of a sample's value to the type a caller asks for, over every path that
// reads values: a record's element, an observer's sample and a conversion's result.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "channelobserver.h"
#include "mdf/numberconversion.h"
#include "support/fakegroups.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

template <typename T>
constexpr T Max() {
  return std::numeric_limits<T>::max();
}
template <typename T>
constexpr T Min() {
  return std::numeric_limits<T>::min();
}

struct Row {
  double input;
  uint8_t u8;
  int8_t i8;
  uint16_t u16;
  int16_t i16;
  uint32_t u32;
  int32_t i32;
  uint64_t u64;
  int64_t i64;
};

// Truncated toward zero, then the low-order bits; beyond what a 64-bit integer holds, the
// type's limit of the value's sign.
const std::vector<Row>& Table() {
  static const std::vector<Row> rows = {
      {300.7, 44, 44, 300, 300, 300, 300, 300, 300},
      {-1.5, 255, -1, 65535, -1, 0xFFFFFFFFU, -1, Max<uint64_t>(), -1},
      {-300.7, 0xD4, -44, 0xFED4, -300, 0xFFFFFED4U, -300, 0xFFFFFFFFFFFFFED4U, -300},
      {-0.99, 0, 0, 0, 0, 0, 0, 0, 0},
      {65536.9, 0, 0, 0, 0, 65536, 65536, 65536, 65536},
      {3e9, 0x00, 0, 0x5E00, 0x5E00, 3000000000U, -1294967296, 3000000000U, 3000000000},
      {1e19, 0, 0, 0, 0, 0x89E80000U, -1981284352, 10000000000000000000U, -8446744073709551616},
      {-9223372036854775808.0, 0, 0, 0, 0, 0, 0, 0x8000000000000000U, Min<int64_t>()},
      {18446744073709551616.0, Max<uint8_t>(), Max<int8_t>(), Max<uint16_t>(), Max<int16_t>(), Max<uint32_t>(),
       Max<int32_t>(), Max<uint64_t>(), Max<int64_t>()},
      {-1e300, 0, Min<int8_t>(), 0, Min<int16_t>(), 0, Min<int32_t>(), 0, Min<int64_t>()},
      {kInf, Max<uint8_t>(), Max<int8_t>(), Max<uint16_t>(), Max<int16_t>(), Max<uint32_t>(), Max<int32_t>(),
       Max<uint64_t>(), Max<int64_t>()},
      {-kInf, 0, Min<int8_t>(), 0, Min<int16_t>(), 0, Min<int32_t>(), 0, Min<int64_t>()},
      {std::nan(""), 0, 0, 0, 0, 0, 0, 0, 0},
  };
  return rows;
}

std::vector<uint8_t> DoubleRecord(double value) {
  std::vector<uint8_t> record(8);
  std::memcpy(record.data(), &value, sizeof(value));
  return record;
}

// The value read three ways from a float64 channel holding the input: from the record, from
// an observer's sample, and through a one-to-one linear conversion of that sample.
struct Paths {
  explicit Paths(double input) : group(data.AddGroup(1, 1)), channel(group.AddChannel("value")) {
    channel.data_type = mdf::kFloatLe;
    channel.bit_count = 64;
    conversion.type = mdf::kLinearConversion;
    conversion.SetValues({0.0, 1.0});
    observer = std::make_unique<mdf::detail::ChannelObserver<double>>(data, group, channel);
    observer->OnSample(0, 1, DoubleRecord(input));
  }

  template <typename T>
  void Expect(double input, T expected, const char* type) {
    SCOPED_TRACE(std::string(type) + " of " + std::to_string(input));
    T from_record = 7;
    T from_observer = 7;
    T converted = 7;
    EXPECT_TRUE(channel.ValueFromRecord(DoubleRecord(input), from_record, 0));
    EXPECT_TRUE(observer->GetChannelValue(0, from_observer));
    channel.conversion = &conversion;
    EXPECT_TRUE(observer->ConvertedValue(0, converted));
    channel.conversion = nullptr;
    EXPECT_EQ(from_record, expected) << "record";
    EXPECT_EQ(from_observer, expected) << "observer";
    EXPECT_EQ(converted, expected) << "conversion";
    EXPECT_EQ(mdf::detail::ConvertNumber<T>(input), expected) << "the function itself";
  }

  test::FakeDataGroup data;
  test::FakeChannelGroup& group;
  test::FakeChannel& channel;
  test::FakeConversion conversion;
  std::unique_ptr<mdf::detail::ChannelObserver<double>> observer;
};

TEST(ValueConversion, EveryPathConvertsADoubleAlike) {
  for (const Row& row : Table()) {
    Paths paths(row.input);
    paths.Expect(row.input, row.u8, "uint8_t");
    paths.Expect(row.input, row.i8, "int8_t");
    paths.Expect(row.input, row.u16, "uint16_t");
    paths.Expect(row.input, row.i16, "int16_t");
    paths.Expect(row.input, row.u32, "uint32_t");
    paths.Expect(row.input, row.i32, "int32_t");
    paths.Expect(row.input, row.u64, "uint64_t");
    paths.Expect(row.input, row.i64, "int64_t");
  }
}

}  // namespace
