#pragma once
// Values of channel elements from the bits of a record. An element spans the record bits
// P .. P + n - 1, bit k being bit k mod 8 of byte k / 8. Little endian takes bit P as the
// least significant bit; big endian starts in byte P / 8 at bit (P + n - 1) mod 8 and runs
// into the following bytes, the first bit taken being the most significant one. Every
// decoder here reads only bytes of a record the caller has checked to hold the element.
#include <cstdint>
#include <cstring>

#include "byteorder.h"
#include "halffloat.h"

namespace mdf::detail {

/// The lowest n bits set (all 64 for n >= 64).
constexpr uint64_t LowMask(uint64_t nof_bits) { return nof_bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << nof_bits) - 1; }

/// Offset in the big-endian bit stream (most significant bit of each byte first) of the
/// first bit a big-endian element takes: bit (P + n - 1) mod 8 of byte P / 8.
constexpr uint64_t BigEndianStart(uint64_t position, uint64_t nof_bits) {
  return (position & ~uint64_t{7}) + 7 - ((position + nof_bits - 1) & 7);
}

/// 1 to 64 bits from record bit `position` on, little endian; reads only the bytes they touch.
inline uint64_t ReadBitsLe(uint64_t position, uint64_t nof_bits, const uint8_t* data) {
  const uint8_t* bytes = data + (position >> 3);
  const auto shift = static_cast<unsigned>(position & 7);
  const uint64_t nof_bytes = (shift + nof_bits + 7) >> 3;  // 1 to 9
  uint64_t value = LoadUnsigned(bytes, nof_bytes > 8 ? 8 : nof_bytes, false) >> shift;
  if (nof_bytes > 8) {
    value |= static_cast<uint64_t>(bytes[8]) << (64 - shift);  // shift > 0 here
  }
  return value & LowMask(nof_bits);
}

/// 1 to 64 bits of the big-endian bit stream from stream bit `offset` on; reads only the
/// bytes they touch.
inline uint64_t ReadBitsBe(uint64_t offset, uint64_t nof_bits, const uint8_t* data) {
  const uint8_t* bytes = data + (offset >> 3);
  const auto skip = static_cast<unsigned>(offset & 7);
  const uint64_t nof_bytes = (skip + nof_bits + 7) >> 3;  // 1 to 9
  if (nof_bytes <= 8) {
    const uint64_t value = LoadUnsigned(bytes, nof_bytes, true);
    return (value >> (8 * nof_bytes - skip - nof_bits)) & LowMask(nof_bits);
  }
  const uint64_t value = (LoadBe64(bytes) << skip) | (bytes[8] >> (8 - skip));  // skip > 0 here
  return value >> (64 - nof_bits);
}

/// The element as unsigned; above 64 bits only the last 64 taken remain, n = 0 gives 0.
inline uint64_t DecodeUnsigned(bool little_endian, uint64_t position, uint64_t nof_bits, const uint8_t* data) {
  if (nof_bits == 0) return 0;
  const uint64_t kept = nof_bits > 64 ? 64 : nof_bits;
  if (little_endian) {
    // The last bits taken are the lowest ones.
    return ReadBitsLe(position, kept, data);
  }
  return ReadBitsBe(BigEndianStart(position, nof_bits) + (nof_bits - kept), kept, data);
}

/// As DecodeUnsigned, for an element known to lie inside a record of `size` bytes. Fast
/// paths, one eight-byte load and two shifts instead of a byte loop: first for 1 to 57 bits
/// (any bit offset then fits one load) with eight record bytes from the element's first
/// byte on, the case the per-value decoding of bench_channelvalue.cpp and
/// bench_recordreading.cpp spends its time in; then for up to 64 bits that fit one load,
/// taking the record's last eight bytes for an element among them (the channels that end
/// the 8 and 16-byte records of bench_recordreading.cpp: 2.4 % fewer instructions for the
/// whole read, by callgrind, than the byte loop).
[[gnu::always_inline]] inline uint64_t DecodeUnsignedIn(bool little_endian, uint64_t position, uint64_t nof_bits,
                                                        const uint8_t* data, uint64_t size) {
  if (nof_bits - 1 < 57 && (position >> 3) + 8 <= size) {  // 1 to 57 bits
    if (little_endian) {
      return (LoadLe64(data + (position >> 3)) >> (position & 7)) & LowMask(nof_bits);
    }
    const uint64_t start = BigEndianStart(position, nof_bits);  // in the same first byte
    return (LoadBe64(data + (start >> 3)) << (start & 7)) >> (64 - nof_bits);
  }
  if (nof_bits - 1 < 64 && size >= 8) {  // 1 to 64 bits, and a whole word in the record
    if (little_endian) {
      const uint64_t first = (position >> 3) < size - 8 ? position >> 3 : size - 8;
      const uint64_t shift = position - 8 * first;
      if (shift + nof_bits <= 64) {
        return (LoadLe64(data + first) >> shift) & LowMask(nof_bits);
      }
    } else {
      const uint64_t start = BigEndianStart(position, nof_bits);
      const uint64_t first = (start >> 3) < size - 8 ? start >> 3 : size - 8;
      const uint64_t skip = start - 8 * first;
      if (skip + nof_bits <= 64) {
        return (LoadBe64(data + first) << skip) >> (64 - nof_bits);
      }
    }
  }
  return DecodeUnsigned(little_endian, position, nof_bits, data);
}

/// The low n bits sign-extended from bit n - 1 for n of 1 to 64; any other n gives 0.
constexpr int64_t SignExtend(uint64_t value, uint64_t nof_bits) {
  if (nof_bits == 0 || nof_bits > 64) return 0;
  const uint64_t sign = uint64_t{1} << (nof_bits - 1);
  return static_cast<int64_t>(((value & LowMask(nof_bits)) ^ sign) - sign);
}

/// An IEEE float element of 16, 32 or 64 bits inside a record of `size` bytes, widened
/// exactly; any other width gives 0.
[[gnu::always_inline]] inline double DecodeFloatIn(bool little_endian, uint64_t position, uint64_t nof_bits,
                                                   const uint8_t* data, uint64_t size) {
  switch (nof_bits) {
    case 16:
      return HalfToFloat(static_cast<uint16_t>(DecodeUnsignedIn(little_endian, position, 16, data, size)));
    case 32: {
      const auto bits = static_cast<uint32_t>(DecodeUnsignedIn(little_endian, position, 32, data, size));
      float single = 0.0F;
      std::memcpy(&single, &bits, sizeof(single));
      return single;
    }
    case 64: {
      const uint64_t bits = DecodeUnsignedIn(little_endian, position, 64, data, size);
      double value = 0.0;
      std::memcpy(&value, &bits, sizeof(value));
      return value;
    }
    default:
      return 0.0;
  }
}

}  // namespace mdf::detail
