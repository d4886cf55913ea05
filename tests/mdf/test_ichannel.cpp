#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/mdfhelper.h"
#include "support/fakechannel.h"
#include "support/logcapture.h"
#include "support/scopedtz.h"

namespace {

using Bytes = std::vector<uint8_t>;
using mdf::ExtractSignedBits;
using mdf::ExtractUnsignedBits;
using test::FakeChannel;
using test::FakeConversion;

// Reference decoder: walks the bits one at a time exactly as the record layout is defined
// (little endian: bit P is the least significant; big endian: start in byte P / 8 at bit
// (P + n - 1) mod 8, after bit 0 continue with bit 7 of the next byte).
uint64_t ReferenceBits(bool little_endian, uint64_t p, uint64_t n, const Bytes& data) {
  if (n == 0) return 0;
  uint64_t byte = little_endian ? (p + n - 1) / 8 : p / 8;
  int bit = static_cast<int>((p + n - 1) % 8);
  uint64_t value = 0;
  for (uint64_t k = 0; k < n; ++k) {
    value = (value << 1) | ((data.at(byte) >> bit) & 1U);
    if (--bit < 0) {
      bit = 7;
      byte = little_endian ? byte - 1 : byte + 1;
    }
  }
  return value;
}

int64_t ReferenceSigned(bool little_endian, uint64_t p, uint64_t n, const Bytes& data) {
  if (n == 0 || n > 64) return 0;
  const uint64_t raw = ReferenceBits(little_endian, p, n, data);
  if (n == 64) return static_cast<int64_t>(raw);
  const bool negative = ((raw >> (n - 1)) & 1U) != 0;
  return static_cast<int64_t>(negative ? raw | (~uint64_t{0} << n) : raw);  // fill the sign bits
}

Bytes RandomBytes(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

FakeChannel Channel(uint8_t data_type, uint32_t byte_offset, uint16_t bit_offset, uint32_t bit_count) {
  FakeChannel channel;
  channel.data_type = data_type;
  channel.byte_offset = byte_offset;
  channel.bit_offset = bit_offset;
  channel.bit_count = bit_count;
  return channel;
}

using test::ScopedTz;

// ---------------------------------------------------------------- bit decoders

TEST(ChannelBitDecoders, WorkedExamplesOverABCD) {
  const Bytes ab_cd = {0xAB, 0xCD};
  struct Case {
    bool little_endian;
    uint64_t position;
    uint64_t bits;
    uint64_t unsigned_value;
    int64_t signed_value;
  };
  const Case cases[] = {
      {true, 0, 16, 0xCDAB, static_cast<int16_t>(0xCDAB)},
      {false, 0, 16, 0xABCD, static_cast<int16_t>(0xABCD)},
      {true, 4, 8, 0xDA, static_cast<int8_t>(0xDA)},
      {false, 4, 8, 0xBC, static_cast<int8_t>(0xBC)},
      {false, 0, 12, 0xBCD, -1075},
      {true, 0, 12, 0xDAB, -597},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.little_endian ? "LE" : "BE") << " P=" << c.position << " n=" << c.bits);
    EXPECT_EQ(ExtractUnsignedBits(c.little_endian, c.position, c.bits, ab_cd.data()), c.unsigned_value);
    EXPECT_EQ(ExtractSignedBits(c.little_endian, c.position, c.bits, ab_cd.data()), c.signed_value);
  }
  EXPECT_EQ(ExtractUnsignedBits(true, 0, 12, ab_cd.data()), 3499U);
}

TEST(ChannelBitDecoders, EveryPositionAndWidthMatchesTheBitWalk) {
  const Bytes data = RandomBytes(24, 7);
  for (const bool little_endian : {true, false}) {
    for (uint64_t position = 0; position < 24; ++position) {
      for (uint64_t bits = 1; bits <= 64 && position + bits <= 8 * data.size(); ++bits) {
        SCOPED_TRACE(testing::Message() << (little_endian ? "LE" : "BE") << " P=" << position << " n=" << bits);
        ASSERT_EQ(ExtractUnsignedBits(little_endian, position, bits, data.data()),
                  ReferenceBits(little_endian, position, bits, data));
        ASSERT_EQ(ExtractSignedBits(little_endian, position, bits, data.data()),
                  ReferenceSigned(little_endian, position, bits, data));
      }
    }
  }
}

TEST(ChannelBitDecoders, ZeroAndOverlongBitCounts) {
  const Bytes data = RandomBytes(16, 11);
  for (const bool little_endian : {true, false}) {
    EXPECT_EQ(ExtractUnsignedBits(little_endian, 3, 0, data.data()), 0U);
    EXPECT_EQ(ExtractSignedBits(little_endian, 3, 0, data.data()), 0);
    EXPECT_EQ(mdf::ExtractDoubleBits(little_endian, 3, 0, data.data()), 0.0);
    EXPECT_EQ(mdf::ExtractHalfFloatBits(little_endian, 3, 0, data.data()), 0.0F);
    // 65 and more bits: the unsigned read keeps the last 64 bits taken, the signed read is 0.
    for (const uint64_t bits : {65U, 71U, 100U}) {
      SCOPED_TRACE(bits);
      EXPECT_EQ(ExtractUnsignedBits(little_endian, 3, bits, data.data()), ReferenceBits(little_endian, 3, bits, data));
      EXPECT_EQ(ExtractSignedBits(little_endian, 3, bits, data.data()), 0);
    }
  }
}

TEST(ChannelBitDecoders, HalfFloatPatterns) {
  struct Case {
    uint16_t pattern;
    float value;
  };
  const Case cases[] = {
      {0x3C00, 1.0F},
      {0xC000, -2.0F},
      {0x7BFF, 65504.0F},
      {0x0001, std::ldexp(1.0F, -24)},
      {0x03FF, std::ldexp(1023.0F, -24)},
      {0x0400, std::ldexp(1.0F, -14)},
      {0x3555, 0.333251953125F},
      {0x8000, -0.0F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    const Bytes le = {static_cast<uint8_t>(c.pattern), static_cast<uint8_t>(c.pattern >> 8)};
    const Bytes be = {le[1], le[0]};
    const float from_le = mdf::ExtractHalfFloatBits(true, 0, 16, le.data());
    EXPECT_EQ(from_le, c.value);
    EXPECT_EQ(std::signbit(from_le), std::signbit(c.value));
    EXPECT_EQ(mdf::ExtractHalfFloatBits(false, 0, 16, be.data()), c.value);
  }
  const Bytes infinity = {0x00, 0x7C};
  EXPECT_EQ(mdf::ExtractHalfFloatBits(true, 0, 16, infinity.data()), std::numeric_limits<float>::infinity());
  const Bytes minus_infinity = {0x00, 0xFC};
  EXPECT_EQ(mdf::ExtractHalfFloatBits(true, 0, 16, minus_infinity.data()), -std::numeric_limits<float>::infinity());
  const Bytes nan = {0x00, 0x7E};
  EXPECT_TRUE(std::isnan(mdf::ExtractHalfFloatBits(true, 0, 16, nan.data())));
}

// ---------------------------------------------------------------- raw getters

TEST(ChannelRawGetters, IntegerTypesOverOffsetsWidthsAndArrayIndices) {
  const Bytes record = RandomBytes(40, 3);
  for (const uint8_t data_type : {0, 1, 2, 3}) {
    const bool little_endian = data_type == 0 || data_type == 2;
    for (uint32_t byte_offset = 0; byte_offset < 3; ++byte_offset) {
      for (uint16_t bit_offset = 0; bit_offset < 8; ++bit_offset) {
        for (uint32_t bits = 1; bits <= 64; ++bits) {
          auto channel = Channel(data_type, byte_offset, bit_offset, bits);
          for (uint64_t index = 0; index < 3; ++index) {
            SCOPED_TRACE(testing::Message() << "type " << int(data_type) << " byte " << byte_offset << " bit "
                                            << bit_offset << " n " << bits << " index " << index);
            const uint64_t position = byte_offset * 8 + bit_offset + index * bits;
            if (data_type <= 1) {
              uint64_t value = 0;
              ASSERT_TRUE(channel.UnsignedFromRecord(record, value, index));
              ASSERT_EQ(value, ReferenceBits(little_endian, position, bits, record));
            } else {
              int64_t value = 0;
              ASSERT_TRUE(channel.SignedFromRecord(record, value, index));
              ASSERT_EQ(value, ReferenceSigned(little_endian, position, bits, record));
            }
            int64_t typed = 0;
            ASSERT_TRUE(channel.ValueFromRecord(record, typed, index));
            const int64_t expected = data_type <= 1
                                         ? static_cast<int64_t>(ReferenceBits(little_endian, position, bits, record))
                                         : ReferenceSigned(little_endian, position, bits, record);
            ASSERT_EQ(typed, expected);
          }
        }
      }
    }
  }
}

TEST(ChannelRawGetters, FloatTypesAtAnyBitOffset) {
  const Bytes record = RandomBytes(24, 5);
  for (const uint8_t data_type : {4, 5}) {
    const bool little_endian = data_type == 4;
    for (uint16_t bit_offset = 0; bit_offset < 8; ++bit_offset) {
      for (const uint32_t bits : {32U, 64U}) {
        auto channel = Channel(data_type, 1, bit_offset, bits);
        const uint64_t pattern = ReferenceBits(little_endian, 8 + bit_offset, bits, record);
        double expected = 0.0;
        if (bits == 32) {
          float single = 0.0F;
          const auto low = static_cast<uint32_t>(pattern);
          std::memcpy(&single, &low, sizeof(single));
          expected = single;
        } else {
          std::memcpy(&expected, &pattern, sizeof(expected));
        }
        double value = 0.0;
        ASSERT_TRUE(channel.FloatFromRecord(record, value, 0));
        if (std::isnan(expected)) {
          EXPECT_TRUE(std::isnan(value));
        } else {
          EXPECT_EQ(value, expected) << "type " << int(data_type) << " bit " << bit_offset << " n " << bits;
        }
      }
    }
  }
}

TEST(ChannelRawGetters, FloatBitCountsOtherThan16_32_64Fail) {
  const Bytes half_one = {0x00, 0x3C, 0x00, 0x00};
  auto channel = Channel(4, 0, 0, 16);
  double value = -7.0;
  ASSERT_TRUE(channel.FloatFromRecord(half_one, value, 0));
  EXPECT_EQ(value, 1.0);
  channel.bit_count = 24;
  value = -7.0;
  EXPECT_FALSE(channel.FloatFromRecord(half_one, value, 0));
  EXPECT_EQ(value, -7.0);
}

TEST(ChannelRawGetters, UnsignedGetterByDataTypeAndVlsd) {
  const Bytes record = {0x12, 0x34};
  uint64_t value = 0;
  auto channel = Channel(1, 0, 0, 16);
  ASSERT_TRUE(channel.UnsignedFromRecord(record, value, 0));
  EXPECT_EQ(value, 0x1234U);
  channel.channel_type = 1;  // VLSD: the record value is an offset, always little endian
  ASSERT_TRUE(channel.UnsignedFromRecord(record, value, 0));
  EXPECT_EQ(value, 0x3412U);

  channel.channel_type = 0;
  for (const uint8_t text_type : {6, 7, 8, 9}) {
    channel.data_type = text_type;
    ASSERT_TRUE(channel.UnsignedFromRecord(record, value, 0));
    EXPECT_EQ(value, 0x3412U);
  }
  for (const uint8_t other : {2, 4, 10, 13, 15}) {
    channel.data_type = other;
    value = 99;
    EXPECT_FALSE(channel.UnsignedFromRecord(record, value, 0));
    EXPECT_EQ(value, 99U);
  }
}

TEST(ChannelRawGetters, ArrayElementsLieBitCountBitsApart) {
  // Element 2 of a 4-bit channel at byte offset 1 starts at record bit 16: the low nibble of byte 2.
  const Bytes record = {0x00, 0x21, 0x43, 0x65};
  auto channel = Channel(0, 1, 0, 4);
  for (uint64_t index = 0; index < 6; ++index) {
    uint64_t value = 0;
    ASSERT_TRUE(channel.UnsignedFromRecord(record, value, index));
    EXPECT_EQ(value, index + 1);
  }
}

TEST(ChannelRawGetters, ElementsOutsideTheRecordAreRejected) {
  const Bytes record = {0xFF, 0xFF, 0xFF};
  struct Case {
    uint32_t byte_offset;
    uint16_t bit_offset;
    uint32_t bits;
    uint64_t index;
  };
  const Case outside[] = {
      {0, 1, 24, 0},                  // one bit past the end
      {3, 0, 1, 0},                   // starts at the end
      {0, 0, 12, 2},                  // third 12-bit element
      {0xFFFFFFFF, 7, 8, 0},          // byte offset near 2^32
      {0, 0, 0xFFFFFFFF, 0},          // bit count from a damaged block
      {0, 0, 8, 0x2000000000000000},  // index * bit count overflows 64 bits
      {1, 0, 8, std::numeric_limits<uint64_t>::max()},
  };
  for (const auto& c : outside) {
    SCOPED_TRACE(testing::Message() << c.byte_offset << "/" << c.bit_offset << "/" << c.bits << "/" << c.index);
    for (const uint8_t type : {0, 1, 2, 3, 4, 5}) {
      auto channel = Channel(type, c.byte_offset, c.bit_offset, c.bits);
      uint64_t u = 5;
      int64_t s = 5;
      double d = 5.0;
      EXPECT_FALSE(channel.UnsignedFromRecord(record, u, c.index));
      EXPECT_FALSE(channel.SignedFromRecord(record, s, c.index));
      EXPECT_FALSE(channel.FloatFromRecord(record, d, c.index));
      EXPECT_EQ(u, 5U);
      EXPECT_EQ(s, 5);
      EXPECT_EQ(d, 5.0);
    }
  }
  // The last element that ends exactly at the record's end is still read.
  auto channel = Channel(0, 0, 4, 10);
  uint64_t value = 0;
  EXPECT_TRUE(channel.UnsignedFromRecord(record, value, 1));
  EXPECT_EQ(value, 0x3FFU);
}

TEST(ChannelRawGetters, CanOpenDateAndTimeNeedTheirWholeField) {
  const Bytes time_bytes = {0x10, 0x27, 0x00, 0x00, 0x64, 0x00};  // 10 s after midnight, day 100
  const Bytes record = {0xEE, 0x10, 0x27, 0x00, 0x00, 0x64, 0x00};
  auto channel = Channel(14, 1, 3, 48);
  uint64_t ns = 0;
  ASSERT_TRUE(channel.CanOpenTimeFromRecord(record, ns));
  EXPECT_EQ(ns, mdf::DecodeCanOpenTime(time_bytes));
  channel.byte_offset = 2;
  ns = 77;
  EXPECT_FALSE(channel.CanOpenTimeFromRecord(record, ns));
  EXPECT_EQ(ns, 77U);

  auto date = Channel(13, 1, 0, 56);
  EXPECT_FALSE(date.CanOpenDateFromRecord(record, ns));  // 6 bytes left, 7 needed
  EXPECT_EQ(ns, 77U);
}

// ---------------------------------------------------------------- text and byte arrays

TEST(ChannelTextGetter, EncodingsAndTheirLimits) {
  const Bytes abcdef = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x00};
  std::string text;
  auto latin1 = Channel(6, 0, 0, 32);
  ASSERT_TRUE(latin1.GetTextValue(abcdef, text));
  EXPECT_EQ(text, "ABCD");  // limited to the field
  auto utf8 = Channel(7, 0, 0, 32);
  ASSERT_TRUE(utf8.GetTextValue(abcdef, text));
  EXPECT_EQ(text, "ABCDEF");  // runs to the zero byte

  const Bytes latin1_bytes = {'c', 'a', 'f', 0xE9};
  latin1.bit_count = 64;  // longer than the record: the record's end stops it
  ASSERT_TRUE(latin1.GetTextValue(latin1_bytes, text));
  EXPECT_EQ(text, "caf\xC3\xA9");

  // "A", U+00E9, U+1F600 (a surrogate pair), then the terminating zero unit and junk.
  const Bytes utf16_le = {0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00, 0x42, 0x00};
  Bytes utf16_be;
  for (size_t i = 0; i < utf16_le.size(); i += 2) {
    utf16_be.push_back(utf16_le[i + 1]);
    utf16_be.push_back(utf16_le[i]);
  }
  const std::string expected = "A\xC3\xA9\xF0\x9F\x98\x80";
  auto le = Channel(8, 0, 0, 96);
  ASSERT_TRUE(le.GetTextValue(utf16_le, text));
  EXPECT_EQ(text, expected);
  auto be = Channel(9, 0, 0, 96);
  ASSERT_TRUE(be.GetTextValue(utf16_be, text));
  EXPECT_EQ(text, expected);

  // An odd trailing byte is not a unit; a lone surrogate is invalid.
  const Bytes odd = {0x41, 0x00, 0x42};
  ASSERT_TRUE(le.GetTextValue(odd, text));
  EXPECT_EQ(text, "A");
  const Bytes lone_surrogate = {0x41, 0x00, 0x00, 0xDC};
  EXPECT_FALSE(le.GetTextValue(lone_surrogate, text));
  EXPECT_EQ(text, "");

  // Offsets past the record give an empty text.
  auto far = Channel(7, 100, 0, 8);
  text = "old";
  EXPECT_TRUE(far.GetTextValue(abcdef, text));
  EXPECT_EQ(text, "");
}

TEST(ChannelByteArrayGetter, FieldVlsdAndShortRecord) {
  const Bytes record = {0x01, 0x02, 0x03, 0x04, 0x05};
  Bytes bytes;
  auto channel = Channel(10, 1, 0, 24);
  ASSERT_TRUE(channel.GetByteArrayValue(record, bytes));
  EXPECT_EQ(bytes, (Bytes{0x02, 0x03, 0x04}));

  channel.byte_offset = 3;
  EXPECT_FALSE(channel.GetByteArrayValue(record, bytes));

  // A bit count from a damaged file must not size the output before the record is checked.
  channel.bit_count = 0xFFFFFFF8;
  EXPECT_FALSE(channel.GetByteArrayValue(record, bytes));
  EXPECT_LE(bytes.capacity(), 64U);

  channel.bit_count = 0;
  ASSERT_TRUE(channel.GetByteArrayValue(record, bytes));
  EXPECT_TRUE(bytes.empty());

  channel.channel_type = 1;
  channel.VlsdRecordId(3);
  ASSERT_TRUE(channel.GetByteArrayValue(record, bytes));
  EXPECT_EQ(bytes, record);
}

// ---------------------------------------------------------------- typed values

TEST(ChannelValueFromRecord, TextSourcesParseLikeAStream) {
  const Bytes blank_42 = {' ', '4', '2', 0x00};
  auto channel = Channel(7, 0, 0, 32);
  uint8_t small = 0;
  ASSERT_TRUE(channel.ValueFromRecord(blank_42, small, 0));
  EXPECT_EQ(small, 52);  // one character: '4'
  int8_t small_signed = 0;
  ASSERT_TRUE(channel.ValueFromRecord(blank_42, small_signed, 0));
  EXPECT_EQ(small_signed, 52);
  uint32_t number = 0;
  ASSERT_TRUE(channel.ValueFromRecord(blank_42, number, 0));
  EXPECT_EQ(number, 42U);

  const Bytes decimal = {'2', '.', '5', 0x00};
  double real = 0.0;
  ASSERT_TRUE(channel.ValueFromRecord(decimal, real, 0));
  EXPECT_EQ(real, 2.5);
  const Bytes letters = {'x', 'y', 0x00};
  real = 9.0;
  EXPECT_TRUE(channel.ValueFromRecord(letters, real, 0));  // the parse does not decide validity
  EXPECT_EQ(real, 0.0);

  std::string text;
  ASSERT_TRUE(channel.ValueFromRecord(blank_42, text, 0));
  EXPECT_EQ(text, " 42");
  Bytes bytes;
  ASSERT_TRUE(channel.ValueFromRecord(blank_42, bytes, 0));
  EXPECT_EQ(bytes, (Bytes{' ', '4', '2'}));
}

TEST(ChannelValueFromRecord, NumbersAsTextAndBytes) {
  std::string text;
  Bytes bytes;

  auto byte_array = Channel(10, 0, 0, 16);
  const Bytes a_ff = {0x0A, 0xFF};
  ASSERT_TRUE(byte_array.ValueFromRecord(a_ff, text, 0));
  EXPECT_EQ(text, "0AFF");
  uint16_t first = 0;
  ASSERT_TRUE(byte_array.ValueFromRecord(a_ff, first, 0));
  EXPECT_EQ(first, 0x0A);

  auto real = Channel(4, 0, 0, 64);
  Bytes one_and_half(8);
  const double value = 1.5;
  std::memcpy(one_and_half.data(), &value, 8);
  ASSERT_TRUE(real.ValueFromRecord(one_and_half, text, 0));
  EXPECT_EQ(text, "1.500000");
  real.Decimals(2);
  ASSERT_TRUE(real.ValueFromRecord(one_and_half, text, 0));
  EXPECT_EQ(text, mdf::FormatNumberText(1.5, 2, false, {}));

  auto negative = Channel(3, 0, 0, 12);
  const Bytes ab_cd = {0xAB, 0xCD};
  ASSERT_TRUE(negative.ValueFromRecord(ab_cd, text, 0));
  EXPECT_EQ(text, "-1075");
  ASSERT_TRUE(negative.ValueFromRecord(ab_cd, bytes, 0));
  EXPECT_EQ(bytes, (Bytes{static_cast<uint8_t>(-1075 & 0xFF)}));

  auto unsigned_be = Channel(1, 0, 0, 16);
  ASSERT_TRUE(unsigned_be.ValueFromRecord(ab_cd, text, 0));
  EXPECT_EQ(text, "43981");
  uint8_t low = 0;
  ASSERT_TRUE(unsigned_be.ValueFromRecord(ab_cd, low, 0));
  EXPECT_EQ(low, 0xCD);  // narrowing keeps the low-order bits

  Bytes minus_one_and_half(8);
  const double negative_value = -1.5;
  std::memcpy(minus_one_and_half.data(), &negative_value, 8);
  ASSERT_TRUE(real.ValueFromRecord(minus_one_and_half, bytes, 0));
  EXPECT_EQ(bytes, (Bytes{0xFF}));  // truncated to -1 first
}

TEST(ChannelValueFromRecord, FloatToIntegerIsDefinedForEveryValue) {
  auto channel = Channel(4, 0, 0, 64);
  const auto record_of = [](double value) {
    Bytes record(8);
    std::memcpy(record.data(), &value, 8);
    return record;
  };
  int32_t i32 = 1;
  ASSERT_TRUE(channel.ValueFromRecord(record_of(std::nan("")), i32, 0));
  EXPECT_EQ(i32, 0);
  ASSERT_TRUE(channel.ValueFromRecord(record_of(1e300), i32, 0));
  EXPECT_EQ(i32, std::numeric_limits<int32_t>::max());
  ASSERT_TRUE(channel.ValueFromRecord(record_of(-1e300), i32, 0));
  EXPECT_EQ(i32, std::numeric_limits<int32_t>::min());
  ASSERT_TRUE(channel.ValueFromRecord(record_of(-7.9), i32, 0));
  EXPECT_EQ(i32, -7);
  uint16_t u16 = 1;
  ASSERT_TRUE(channel.ValueFromRecord(record_of(-3.0), u16, 0));
  EXPECT_EQ(u16, 65533) << "the low-order bits of -3, as the observers convert it";
  uint64_t u64 = 0;
  ASSERT_TRUE(channel.ValueFromRecord(record_of(std::numeric_limits<double>::infinity()), u64, 0));
  EXPECT_EQ(u64, std::numeric_limits<uint64_t>::max());
  float single = 0.0F;
  ASSERT_TRUE(channel.ValueFromRecord(record_of(1e300), single, 0));
  EXPECT_EQ(single, std::numeric_limits<float>::infinity());
}

TEST(ChannelValueFromRecord, ValidityAndUnsupportedTypes) {
  // Data bytes 0..1, invalidation byte 2; element 0 uses invalidation bit 3.
  Bytes record = {0x34, 0x12, 0x00};
  auto channel = Channel(0, 0, 0, 16);
  channel.flags = 2;
  channel.invalid_bit = 3;
  channel.record_data_bytes = 2;
  uint16_t value = 0;
  EXPECT_TRUE(channel.ValueFromRecord(record, value, 0));
  record[2] = 0x08;
  value = 0;
  EXPECT_FALSE(channel.ValueFromRecord(record, value, 0));
  EXPECT_EQ(value, 0x1234);  // the value is still delivered

  // A failing source still assigns its starting zero.
  auto outside = Channel(0, 8, 0, 16);
  value = 9;
  EXPECT_FALSE(outside.ValueFromRecord(record, value, 0));
  EXPECT_EQ(value, 0);

  auto unknown = Channel(15, 0, 0, 16);
  value = 9;
  std::string text = "keep";
  Bytes bytes = {1};
  EXPECT_FALSE(unknown.ValueFromRecord(record, value, 0));
  EXPECT_FALSE(unknown.ValueFromRecord(record, text, 0));
  EXPECT_FALSE(unknown.ValueFromRecord(record, bytes, 0));
  EXPECT_EQ(value, 9);
  EXPECT_EQ(text, "keep");
  EXPECT_EQ(bytes, Bytes{1});
}

TEST(ChannelValueFromRecord, CanOpenDateAsLocalText) {
  ScopedTz tz("UTC");
  // 1.234 s into 12:30 on 2023-06-15: ms 1234, minute 30, hour 12, day 15 (Thursday), month 6, year 23.
  const Bytes record = {0xD2, 0x04, 30, 12, static_cast<uint8_t>(15 | (4 << 5)), 6, 23};
  auto channel = Channel(13, 0, 0, 56);
  std::string text;
  ASSERT_TRUE(channel.ValueFromRecord(record, text, 0));
  EXPECT_EQ(text, "2023-06-15 12:30:01.234");
  uint64_t ns = 0;
  ASSERT_TRUE(channel.ValueFromRecord(record, ns, 0));
  EXPECT_EQ(ns, 1686832201234000000ULL);
}

// ---------------------------------------------------------------- setters

FakeChannel Writable(uint8_t data_type, uint32_t byte_offset, uint32_t bit_count, size_t buffer_size) {
  auto channel = Channel(data_type, byte_offset, 0, bit_count);
  channel.sample_buffer.assign(buffer_size, 0xAA);
  return channel;
}

TEST(ChannelNumericSetters, ByteOrderAndWidths) {
  auto channel = Writable(0, 3, 16, 6);
  channel.SetUnsignedValueBe(0x1234, true, 0);
  EXPECT_EQ(channel.sample_buffer, (Bytes{0xAA, 0xAA, 0xAA, 0x12, 0x34, 0xAA}));
  channel.SetUnsignedValueLe(0x1234, true, 0);
  EXPECT_EQ(channel.sample_buffer, (Bytes{0xAA, 0xAA, 0xAA, 0x34, 0x12, 0xAA}));

  auto wide = Writable(2, 0, 64, 8);
  wide.SetSignedValueLe(-2, true, 0);
  EXPECT_EQ(wide.sample_buffer, (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  wide.SetSignedValueBe(0x0102030405060708, true, 0);
  EXPECT_EQ(wide.sample_buffer, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

  auto bytes = Writable(0, 1, 8, 4);
  bytes.SetUnsignedValueLe(0x1FF, true, 2);  // element 2 at byte 3, low byte only
  EXPECT_EQ(bytes.sample_buffer, (Bytes{0xAA, 0xAA, 0xAA, 0xFF}));

  auto odd = Writable(0, 0, 24, 4);
  odd.flags = 2;
  odd.record_data_bytes = 3;
  odd.SetUnsignedValueLe(1, true, 0);
  EXPECT_EQ(odd.sample_buffer, (Bytes{0xAA, 0xAA, 0xAA, 0xAB}));  // untouched, invalid bit set
  EXPECT_FALSE(odd.last_valid);
}

TEST(ChannelNumericSetters, BufferBoundsAndEmptyBuffer) {
  auto fits = Writable(0, 2, 16, 4);  // ends exactly at the buffer's end
  fits.SetUnsignedValueLe(0xBEEF, true, 0);
  EXPECT_EQ(fits.sample_buffer, (Bytes{0xAA, 0xAA, 0xEF, 0xBE}));
  EXPECT_TRUE(fits.last_valid);

  for (const uint64_t index : {uint64_t{1}, uint64_t{1} << 62, std::numeric_limits<uint64_t>::max()}) {
    auto past = Writable(0, 2, 16, 4);
    past.SetUnsignedValueLe(0xBEEF, true, index);
    past.SetSignedValueBe(-1, true, index);
    past.SetFloatValueLe(1.0, true, index);
    EXPECT_EQ(past.sample_buffer, Bytes(4, 0xAA));
    EXPECT_FALSE(past.last_valid);
  }

  test::LogCapture log;
  auto empty = Writable(0, 0, 16, 0);
  empty.SetUnsignedValueLe(1, true, 0);
  empty.SetUnsignedValueBe(1, true, 0);
  empty.SetSignedValueLe(1, true, 0);
  empty.SetSignedValueBe(1, true, 0);
  empty.SetFloatValueLe(1, true, 0);
  empty.SetFloatValueBe(1, true, 0);
  EXPECT_EQ(empty.set_valid_calls, 0);
  ASSERT_EQ(log.entries.size(), 6U);
  const char* functions[] = {"SetUnsignedValueLe", "SetUnsignedValueBe", "SetSignedValueLe",
                             "SetSignedValueBe",   "SetFloatValueLe",    "SetFloatValueBe"};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(log.entries[i].text, "Sample buffer not sized. Invalid use of function.");
    EXPECT_EQ(log.entries[i].location.function, functions[i]);
    EXPECT_EQ(log.entries[i].severity, mdf::MdfLogSeverity::kError);
  }
}

TEST(ChannelNumericSetters, FloatWidths) {
  auto two = Writable(4, 0, 16, 2);
  two.SetFloatValueLe(1.0, true, 0);
  EXPECT_FALSE(two.last_valid);
  EXPECT_EQ(two.sample_buffer, Bytes(2, 0xAA));

  auto single = Writable(4, 0, 32, 4);
  single.SetFloatValueLe(0.1, true, 0);
  const float nearest = 0.1F;
  Bytes expected(4);
  std::memcpy(expected.data(), &nearest, 4);
  EXPECT_EQ(single.sample_buffer, expected);
  EXPECT_TRUE(single.last_valid);

  auto big = Writable(5, 0, 64, 8);
  big.SetFloatValueBe(1.0, true, 0);
  EXPECT_EQ(big.sample_buffer, (Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));

  auto overflow = Writable(4, 0, 32, 4);
  overflow.SetFloatValueBe(1e300, true, 0);
  EXPECT_EQ(overflow.sample_buffer, (Bytes{0x7F, 0x80, 0x00, 0x00}));  // +infinity
}

TEST(ChannelTextSetters, TerminatedTextAndByteArrays) {
  auto text = Writable(6, 1, 64, 10);
  text.SetTextValue("ABCDEFGH", true);
  EXPECT_EQ(text.sample_buffer, (Bytes{0xAA, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 0, 0xAA}));
  text.SetTextValue("XY", true);
  EXPECT_EQ(text.sample_buffer, (Bytes{0xAA, 'X', 'Y', 0, 0, 0, 0, 0, 0, 0xAA}));

  auto array = Writable(10, 0, 64, 8);
  array.SetByteArrayValue({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, true);
  EXPECT_EQ(array.sample_buffer, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(array.last_valid);

  auto nibble = Writable(10, 0, 4, 1);
  nibble.SetByteArrayValue({1}, true);
  EXPECT_FALSE(nibble.last_valid);
  EXPECT_EQ(nibble.sample_buffer, Bytes{0xAA});

  auto short_buffer = Writable(6, 4, 64, 8);  // the field would end at byte 12
  short_buffer.SetTextValue("abc", true);
  short_buffer.SetByteArrayValue({1, 2}, true);
  EXPECT_EQ(short_buffer.sample_buffer, Bytes(8, 0xAA));
  EXPECT_FALSE(short_buffer.last_valid);
}

TEST(ChannelSetValueFromBytes, ByDataType) {
  auto text = Writable(7, 0, 32, 4);
  text.SetValueFromBytes({'h', 'i'}, true, 0);
  EXPECT_EQ(text.sample_buffer, (Bytes{'h', 'i', 0, 0}));

  auto date = Writable(13, 0, 56, 7);
  date.SetValueFromBytes({1, 2, 3}, true, 0);
  EXPECT_FALSE(date.last_valid);
  EXPECT_EQ(date.sample_buffer, Bytes(7, 0xAA));
  date.SetValueFromBytes({1, 2, 3, 4, 5, 6, 7}, true, 0);
  EXPECT_EQ(date.sample_buffer, (Bytes{1, 2, 3, 4, 5, 6, 7}));

  auto number = Writable(0, 0, 16, 2);
  number.SetValueFromBytes({1, 2}, true, 0);
  EXPECT_FALSE(number.last_valid);
  EXPECT_EQ(number.sample_buffer, Bytes(2, 0xAA));
}

enum class ErrorKind : int32_t { kNone = 0, kMinusOne = -1 };

TEST(ChannelSetChannelValue, PicksTheSetterByDataType) {
  auto text = Writable(7, 0, 32, 4);
  text.SetChannelValue(true);
  EXPECT_EQ(text.sample_buffer, (Bytes{'1', 0, 0, 0}));
  text.SetChannelValue(ErrorKind::kMinusOne);
  EXPECT_EQ(text.sample_buffer, (Bytes{'-', '1', 0, 0}));

  auto array = Writable(10, 0, 32, 4);
  array.SetChannelValue(uint32_t{7}, false);
  EXPECT_EQ(array.sample_buffer, Bytes(4, 0xAA));
  EXPECT_EQ(array.set_valid_calls, 0);

  auto unsigned_be = Writable(1, 0, 16, 2);
  unsigned_be.SetChannelValue(ErrorKind::kMinusOne);  // sign-extended, then cut to the width
  EXPECT_EQ(unsigned_be.sample_buffer, (Bytes{0xFF, 0xFF}));

  auto real = Writable(4, 0, 32, 4);
  real.SetChannelValue(uint8_t{3});
  const float three = 3.0F;
  Bytes expected(4);
  std::memcpy(expected.data(), &three, 4);
  EXPECT_EQ(real.sample_buffer, expected);

  auto date = Writable(13, 0, 56, 7);
  date.SetChannelValue(uint32_t{1});
  EXPECT_FALSE(date.last_valid);
  EXPECT_EQ(date.sample_buffer, Bytes(7, 0xAA));
  date.SetChannelValue(uint64_t{1686832201234000000ULL});
  EXPECT_TRUE(date.last_valid);
  EXPECT_EQ(date.sample_buffer, mdf::EncodeCanOpenDate(1686832201234000000ULL));

  auto unknown = Writable(16, 0, 32, 4);
  unknown.SetChannelValue(uint8_t{1});
  EXPECT_FALSE(unknown.last_valid);
}

TEST(ChannelSetTimestamp, InverseLinearConversionAndWidthLimits) {
  FakeConversion linear;
  linear.type = 1;
  linear.SetValues({0.0, 0.001});

  auto channel = Writable(0, 1, 32, 5);
  channel.conversion = &linear;
  channel.SetTimestamp(2.5, channel.sample_buffer);
  EXPECT_EQ(channel.sample_buffer, (Bytes{0xAA, 0xC4, 0x09, 0x00, 0x00}));  // 2500
  EXPECT_EQ(channel.set_valid_calls, 0);

  FakeConversion rational;
  rational.type = 2;
  rational.SetValues({0.0, 0.001});
  FakeConversion flat;
  flat.type = 1;
  flat.SetValues({5.0, 0.0});
  // Below zero, beyond the width or no number saturate; a conversion that cannot be
  // inverted (not linear, or of factor 0) leaves the record as it is.
  const Bytes before = {0xAA, 0x11, 0x11, 0x11, 0x11};
  const struct {
    double seconds;
    FakeConversion* conversion;
    Bytes expected;
  } cases[] = {
      {-1.0, &linear, {0xAA, 0, 0, 0, 0}},
      {1e30, &linear, {0xAA, 0xFF, 0xFF, 0xFF, 0xFF}},
      {std::nan(""), &linear, {0xAA, 0, 0, 0, 0}},
      {2.5, &rational, before},
      {2.5, &flat, before},
  };
  for (const auto& c : cases) {
    channel.conversion = c.conversion;
    channel.sample_buffer = before;
    channel.SetTimestamp(c.seconds, channel.sample_buffer);
    EXPECT_EQ(channel.sample_buffer, c.expected) << c.seconds;
  }

  auto signed_be = Writable(3, 0, 16, 2);
  signed_be.SetTimestamp(-1e9, signed_be.sample_buffer);
  EXPECT_EQ(signed_be.sample_buffer, (Bytes{0x80, 0x00}));
  signed_be.SetTimestamp(-2.9, signed_be.sample_buffer);
  EXPECT_EQ(signed_be.sample_buffer, (Bytes{0xFF, 0xFE}));

  auto seconds = Writable(4, 0, 64, 8);
  seconds.SetTimestamp(1.5, seconds.sample_buffer);
  Bytes expected(8);
  const double value = 1.5;
  std::memcpy(expected.data(), &value, 8);
  EXPECT_EQ(seconds.sample_buffer, expected);

  auto too_short = Writable(0, 6, 32, 8);
  too_short.SetTimestamp(1.0, too_short.sample_buffer);
  EXPECT_EQ(too_short.sample_buffer, Bytes(8, 0xAA));
}

// ---------------------------------------------------------------- interface defaults

TEST(ChannelInterface, CompositionByNameAndEmptyLimits) {
  FakeChannel parent;
  mdf::IChannel* first = parent.GetOrCreateChannelComposition("Speed");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Name(), "Speed");
  EXPECT_EQ(parent.GetOrCreateChannelComposition("Speed"), first);
  EXPECT_EQ(parent.children.size(), 1U);
  mdf::IChannel* second = parent.GetOrCreateChannelComposition(std::string_view("Rpm\0x", 5));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Name(), "Rpm");
  mdf::IChannel* prefix = parent.GetOrCreateChannelComposition("Spee");
  EXPECT_EQ(prefix, parent.children.back().get());
  EXPECT_EQ(parent.children.size(), 3U);  // no prefix match

  FakeChannel leaf;
  leaf.can_compose = false;
  EXPECT_EQ(leaf.GetOrCreateChannelComposition("x"), nullptr);

  EXPECT_FALSE(leaf.Range().has_value());
  EXPECT_FALSE(leaf.Limit().has_value());
  EXPECT_FALSE(leaf.ExtLimit().has_value());
  EXPECT_TRUE(leaf.Attachments().empty());
  EXPECT_EQ(leaf.VlsdRecordId(), 0U);
  EXPECT_TRUE(leaf.CalculateMaster());
  EXPECT_EQ(leaf.ArraySize(), 1U);
}

}  // namespace
