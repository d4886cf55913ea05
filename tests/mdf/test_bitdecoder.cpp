// The record decoders behind every channel value: each element position, width and byte
// order in records of every small size, so that the one-load path, the record-tail path
// and the byte loop all meet their edges. Records are allocated at their exact size, so a
// read past the end shows under the sanitizers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "bitdecoder.h"
#include "halffloat.h"
#include "support/bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using mdf::detail::DecodeFloatIn;
using mdf::detail::DecodeUnsigned;
using mdf::detail::DecodeUnsignedIn;
using mdf::detail::HalfToFloat;
using mdf::detail::SignExtend;
using Wide = unsigned __int128;

// Reference over a window of whole bytes: the bytes the element touches joined into one
// wide number, first byte lowest (little endian) or highest (big endian), then shifted.
// Elements of more than 64 bits keep their lowest 64 bits.
uint64_t WindowReference(bool little_endian, uint64_t position, uint64_t nof_bits, const Bytes& record) {
  const uint64_t first = position / 8;
  const uint64_t last = (position + nof_bits - 1) / 8;
  Wide window = 0;
  for (uint64_t byte = first; byte <= last; ++byte) {
    window = little_endian ? window | (Wide{record.at(byte)} << (8 * (byte - first))) : (window << 8) | record.at(byte);
  }
  // Big endian: the most significant bit sits at bit (P + n - 1) mod 8 of the first byte.
  const uint64_t low_bit =
      little_endian ? position % 8 : 8 * (last - first) + (position + nof_bits - 1) % 8 + 1 - nof_bits;
  return static_cast<uint64_t>(window >> low_bit);
}

uint64_t Masked(uint64_t value, uint64_t nof_bits) {
  return nof_bits >= 64 ? value : value & ((uint64_t{1} << nof_bits) - 1);
}

TEST(BitDecoder, EveryPositionAndWidthInRecordsOfEverySmallSize) {
  for (size_t size = 1; size <= 18; ++size) {
    const Bytes record = test::Pattern(size, static_cast<uint8_t>(size));
    const uint64_t record_bits = 8 * size;
    for (const bool little_endian : {true, false}) {
      for (uint64_t nof_bits = 1; nof_bits <= 64 && nof_bits <= record_bits; ++nof_bits) {
        for (uint64_t position = 0; position + nof_bits <= record_bits; ++position) {
          const uint64_t expected = Masked(WindowReference(little_endian, position, nof_bits, record), nof_bits);
          ASSERT_EQ(DecodeUnsignedIn(little_endian, position, nof_bits, record.data(), size), expected)
              << (little_endian ? "LE" : "BE") << " size " << size << " P " << position << " n " << nof_bits;
          ASSERT_EQ(DecodeUnsigned(little_endian, position, nof_bits, record.data()), expected)
              << (little_endian ? "LE" : "BE") << " size " << size << " P " << position << " n " << nof_bits;
        }
      }
    }
  }
}

TEST(BitDecoder, LongElementsKeepTheirLastSixtyFourBits) {
  const Bytes record = test::Pattern(24, 99);
  for (const bool little_endian : {true, false}) {
    for (const uint64_t nof_bits : {65U, 71U, 72U, 100U, 120U}) {
      for (uint64_t position = 0; position < 8 && position + nof_bits <= 8 * record.size(); ++position) {
        const uint64_t expected = WindowReference(little_endian, position, nof_bits, record);
        EXPECT_EQ(DecodeUnsignedIn(little_endian, position, nof_bits, record.data(), record.size()), expected)
            << (little_endian ? "LE" : "BE") << " P " << position << " n " << nof_bits;
        EXPECT_EQ(DecodeUnsigned(little_endian, position, nof_bits, record.data()), expected);
      }
    }
    EXPECT_EQ(DecodeUnsignedIn(little_endian, 5, 0, record.data(), record.size()), 0U);
    EXPECT_EQ(DecodeUnsigned(little_endian, 5, 0, record.data()), 0U);
  }
}

TEST(BitDecoder, SignExtension) {
  struct Case {
    uint64_t value;
    uint64_t nof_bits;
    int64_t expected;
  };
  const Case cases[] = {
      {0x0, 1, 0},
      {0x1, 1, -1},
      {0x7F, 8, 127},
      {0x80, 8, -128},
      {0x1FF, 8, -1},  // bits above the element do not count
      {0x800, 12, -2048},
      {0x7FF, 12, 2047},
      {0xFFFF'FFFF, 32, -1},
      {0x7FFF'FFFF'FFFF'FFFF, 64, std::numeric_limits<int64_t>::max()},
      {0x8000'0000'0000'0000, 64, std::numeric_limits<int64_t>::min()},
      {~uint64_t{0}, 64, -1},
      {0xFF, 0, 0},
      {0xFF, 65, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SignExtend(c.value, c.nof_bits), c.expected) << std::hex << c.value << " n " << std::dec << c.nof_bits;
  }
}

// An IEEE pattern as the float it encodes, widened to double.
double FloatOfPattern(uint64_t pattern, uint64_t nof_bits) {
  if (nof_bits == 16) return HalfToFloat(static_cast<uint16_t>(pattern));
  if (nof_bits == 32) {
    const auto bits = static_cast<uint32_t>(pattern);
    float value = 0;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
  }
  double value = 0;
  std::memcpy(&value, &pattern, sizeof(value));
  return value;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

TEST(BitDecoder, FloatsAtEveryBitOffset) {
  for (const uint64_t nof_bits : {16U, 32U, 64U}) {
    for (size_t size = nof_bits / 8; size <= nof_bits / 8 + 9; ++size) {
      const Bytes record = test::Pattern(size, static_cast<uint8_t>(size * nof_bits));
      for (const bool little_endian : {true, false}) {
        for (uint64_t position = 0; position + nof_bits <= 8 * size; ++position) {
          const uint64_t pattern = Masked(WindowReference(little_endian, position, nof_bits, record), nof_bits);
          const double expected = FloatOfPattern(pattern, nof_bits);
          ASSERT_TRUE(SameBits(DecodeFloatIn(little_endian, position, nof_bits, record.data(), size), expected))
              << (little_endian ? "LE" : "BE") << " size " << size << " P " << position << " n " << nof_bits;
        }
      }
    }
  }
  const Bytes record = test::Pattern(16, 5);
  for (const uint64_t nof_bits : {0U, 8U, 24U, 48U, 63U}) {
    EXPECT_EQ(DecodeFloatIn(true, 0, nof_bits, record.data(), record.size()), 0.0) << nof_bits;
  }
}

// Every binary16 pattern against its value computed from sign, exponent and mantissa.
TEST(HalfFloat, EveryPatternWidensExactly) {
  for (uint32_t pattern = 0; pattern < 65536; ++pattern) {
    const bool negative = (pattern & 0x8000U) != 0;
    const int exponent = static_cast<int>((pattern >> 10) & 0x1FU);
    const uint32_t mantissa = pattern & 0x3FFU;
    const float value = HalfToFloat(static_cast<uint16_t>(pattern));
    ASSERT_EQ(std::signbit(value), negative) << pattern;
    if (exponent == 0x1F) {
      if (mantissa == 0) {
        ASSERT_TRUE(std::isinf(value)) << pattern;
      } else {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        ASSERT_TRUE(std::isnan(value)) << pattern;
        ASSERT_EQ(bits & 0x7FFFFFU, mantissa << 13) << "the payload stays, quiet bit included: " << pattern;
      }
      continue;
    }
    const double magnitude = exponent == 0 ? std::ldexp(static_cast<double>(mantissa), -24)
                                           : std::ldexp(static_cast<double>(1024 + mantissa), exponent - 25);
    ASSERT_EQ(static_cast<double>(value), negative ? -magnitude : magnitude) << pattern;
  }
}

}  // namespace
