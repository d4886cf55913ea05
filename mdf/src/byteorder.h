#pragma once
// Fixed-width numbers in a chosen byte order, independent of the host's own. Every place
// that turns bytes of a file into numbers, or numbers into bytes, goes through these.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mdf::detail {

namespace byteorder_internal {
constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

inline uint16_t Swap(uint16_t value) { return __builtin_bswap16(value); }
inline uint32_t Swap(uint32_t value) { return __builtin_bswap32(value); }
inline uint64_t Swap(uint64_t value) { return __builtin_bswap64(value); }

template <typename U>
inline U Load(const uint8_t* bytes, bool big_endian) {
  U value;
  std::memcpy(&value, bytes, sizeof(U));
  return big_endian != kHostIsBigEndian ? Swap(value) : value;
}

template <typename U>
inline void Store(uint8_t* bytes, U value, bool big_endian) {
  if (big_endian != kHostIsBigEndian) value = Swap(value);
  std::memcpy(bytes, &value, sizeof(U));
}
}  // namespace byteorder_internal

inline uint16_t LoadLe16(const uint8_t* bytes) { return byteorder_internal::Load<uint16_t>(bytes, false); }
inline uint32_t LoadLe32(const uint8_t* bytes) { return byteorder_internal::Load<uint32_t>(bytes, false); }
inline uint64_t LoadLe64(const uint8_t* bytes) { return byteorder_internal::Load<uint64_t>(bytes, false); }
inline uint16_t LoadBe16(const uint8_t* bytes) { return byteorder_internal::Load<uint16_t>(bytes, true); }
inline uint32_t LoadBe32(const uint8_t* bytes) { return byteorder_internal::Load<uint32_t>(bytes, true); }
inline uint64_t LoadBe64(const uint8_t* bytes) { return byteorder_internal::Load<uint64_t>(bytes, true); }

inline void StoreLe16(uint8_t* bytes, uint16_t value) { byteorder_internal::Store(bytes, value, false); }
inline void StoreLe32(uint8_t* bytes, uint32_t value) { byteorder_internal::Store(bytes, value, false); }
inline void StoreLe64(uint8_t* bytes, uint64_t value) { byteorder_internal::Store(bytes, value, false); }
inline void StoreBe16(uint8_t* bytes, uint16_t value) { byteorder_internal::Store(bytes, value, true); }
inline void StoreBe32(uint8_t* bytes, uint32_t value) { byteorder_internal::Store(bytes, value, true); }
inline void StoreBe64(uint8_t* bytes, uint64_t value) { byteorder_internal::Store(bytes, value, true); }

/// The first `count` bytes (at most 8) as an unsigned number in the byte order.
inline uint64_t LoadUnsigned(const uint8_t* bytes, size_t count, bool big_endian) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    value = big_endian ? (value << 8) | bytes[i] : value | (uint64_t{bytes[i]} << (8 * i));
  }
  return value;
}

/// The low `count` bytes (at most 8) of the value in the byte order.
inline void StoreUnsigned(uint8_t* bytes, uint64_t value, size_t count, bool big_endian) {
  for (size_t i = 0; i < count; ++i) {
    const size_t shift = 8 * (big_endian ? count - 1 - i : i);
    bytes[i] = static_cast<uint8_t>(value >> shift);
  }
}

}  // namespace mdf::detail
