// Memory blocks: the bytes survive every kind of resize, heap to mapping and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

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

TEST(MemBlock, ReleasedSharedBlocksServeTheNextRequestsUpToTheirBound) {
  // Blocks kept from earlier tests are taken first.
  std::vector<void*> drained;
  for (size_t i = 0; i < kMemBlockKept; ++i) drained.push_back(memBlockResize(nullptr, 0, kMemBlockShared));
  for (void* block : drained) ASSERT_NE(block, nullptr);
  for (void* block : drained) memBlockResize(block, kMemBlockShared, 0);

  // Those kept come back, most recent first; a request beyond them is a fresh mapping.
  std::vector<void*> again;
  for (size_t i = 0; i <= kMemBlockKept; ++i) again.push_back(memBlockResize(nullptr, 0, kMemBlockShared));
  for (size_t i = 0; i < kMemBlockKept; ++i) EXPECT_EQ(again[i], drained[kMemBlockKept - 1 - i]) << i;
  EXPECT_EQ(std::count(drained.begin(), drained.end(), again.back()), 0);

  // A kept block is a whole block: written end to end and grown like any other.
  auto* bytes = static_cast<uint8_t*>(again.front());
  std::memset(bytes, 0xA5, kMemBlockShared);
  auto* grown = static_cast<uint8_t*>(memBlockResize(bytes, kMemBlockShared, 2 * kMemBlockShared));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(grown[kMemBlockShared - 1], 0xA5);
  memBlockResize(grown, 2 * kMemBlockShared, 0);
  for (size_t i = 1; i < again.size(); ++i) memBlockResize(again[i], kMemBlockShared, 0);

  // Blocks of another size are never kept: the next request still gets a kept one.
  void* other = memBlockResize(nullptr, 0, kMemBlockShared + 4096);
  ASSERT_NE(other, nullptr);
  memBlockResize(other, kMemBlockShared + 4096, 0);
  void* next = memBlockResize(nullptr, 0, kMemBlockShared);
  EXPECT_EQ(next, again.back());
  memBlockResize(next, kMemBlockShared, 0);
}

}  // namespace
