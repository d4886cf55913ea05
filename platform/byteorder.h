#pragma once
// Fixed-width numbers from bytes in a stated byte order, independent of the host's own. The
// tool's parsers of binary frames and headers read their numbers through these.
#include <cstdint>

inline uint16_t loadLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }
inline uint32_t loadLe24(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16;
}
inline uint32_t loadLe32(const uint8_t* bytes) { return loadLe24(bytes) | uint32_t{bytes[3]} << 24; }
inline uint64_t loadLe64(const uint8_t* bytes) { return loadLe32(bytes) | uint64_t{loadLe32(bytes + 4)} << 32; }

inline uint16_t loadBe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }
inline uint32_t loadBe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
}
inline uint64_t loadBe64(const uint8_t* bytes) { return uint64_t{loadBe32(bytes)} << 32 | loadBe32(bytes + 4); }

/// The low `count` bytes (at most 8) of the value, least significant first.
inline void storeLe(uint8_t* bytes, uint64_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void storeLe32(uint8_t* bytes, uint32_t value) { storeLe(bytes, value, 4); }
inline void storeLe64(uint8_t* bytes, uint64_t value) { storeLe(bytes, value, 8); }
