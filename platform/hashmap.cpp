#include "platform/hashmap.h"

#include <cstring>

namespace {

uint64_t LoadLe(const unsigned char* bytes, size_t n) {
  uint64_t value = 0;
  for (size_t i = n; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

uint64_t RotateLeft(uint64_t value, unsigned bits) { return (value << bits) | (value >> (64 - bits)); }

}  // namespace

uint64_t textHash(const void* bytes, size_t n) {
  const auto* b = static_cast<const unsigned char*>(bytes);
  if (n == 0) return 1;
  if (n == 4 || n == 8) return LoadLe(b, n) * kHashMultiplier;
  uint64_t h = b[0];
  const size_t words = n / 8;
  for (size_t i = 0; i < words; ++i) h += LoadLe(b + 8 * i, 8) * kHashMultiplier;
  for (size_t i = words * 8; i < n; ++i) h = h * 1023 - b[i];
  return h ^ RotateLeft(h, 26);
}
