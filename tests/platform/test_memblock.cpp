// Memory blocks: the bytes survive every kind of resize, heap to mapping and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/memblock.h"

namespace {

TEST(MemBlock, KeepsTheFirstBytesThroughEveryResize) {
  const auto byte_at = [](size_t i) { return static_cast<uint8_t>(i * 7 + i / 251); };
  // Heap, heap, mapped, mapped (grown in place), mapped (shrunk), heap again.
  const size_t sizes[] = {100, 70'000, kMemBlockMapped, 3 * kMemBlockMapped + 5, kMemBlockMapped + 1, 5'000};
  void* block = nullptr;
  size_t size = 0;
  for (const size_t next : sizes) {
    SCOPED_TRACE(next);
    void* grown = memBlockResize(block, size, next);
    ASSERT_NE(grown, nullptr);
    const auto* bytes = static_cast<const uint8_t*>(grown);
    for (size_t i = 0; i < std::min(size, next); ++i) ASSERT_EQ(bytes[i], byte_at(i)) << i;
    for (size_t i = size; i < next; ++i) static_cast<uint8_t*>(grown)[i] = byte_at(i);
    block = grown;
    size = next;
  }
  EXPECT_EQ(memBlockResize(block, size, 0), nullptr);
  EXPECT_EQ(memBlockResize(nullptr, 0, 0), nullptr);
}

}  // namespace
