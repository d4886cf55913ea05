// Memory blocks: the bytes survive every kind of resize, heap to mapping and back.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/memblock.h"

namespace {

// Pages of [data, data + bytes) present in memory, counted by the kernel.
size_t PresentPages(const void* data, size_t bytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<uintptr_t>(data) / page * page;
  const size_t pages = (reinterpret_cast<uintptr_t>(data) + bytes - first + page - 1) / page;
  std::vector<unsigned char> present(pages);
  if (::mincore(reinterpret_cast<void*>(first), pages * page, present.data()) != 0) return 0;
  return static_cast<size_t>(std::count_if(present.begin(), present.end(), [](unsigned char p) { return p & 1; }));
}

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

TEST(MemBlock, PopulateMakesLargeRangesPresentAndKeepsTheirBytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t size = 3 * kMemBlockPopulateMin + 12'345;
  auto* block = static_cast<uint8_t*>(memBlockResize(nullptr, 0, size));
  ASSERT_NE(block, nullptr);
  // Bytes written before: at the start, inside, and in the last partial page.
  const size_t written[] = {0, 1, page - 1, page, 5 * page + 3, kMemBlockPopulateMin + 17, size - 1};
  for (const size_t at : written) block[at] = static_cast<uint8_t>(at * 13 + 1);
  EXPECT_LT(PresentPages(block, size), size / page / 2);

  // Unaligned ends: only the whole pages inside are made present, every byte stays.
  memBlockPopulate(block + 100, size - 200);
  EXPECT_GE(PresentPages(block + page, size - 2 * page), (size - 2 * page) / page);
  for (size_t i = 0; i < size; ++i) {
    const bool set = std::find(std::begin(written), std::end(written), i) != std::end(written);
    ASSERT_EQ(block[i], set ? static_cast<uint8_t>(i * 13 + 1) : 0) << i;
  }
  memBlockResize(block, size, 0);

  // A small range, an empty one and none are left alone.
  auto* small = static_cast<uint8_t*>(memBlockResize(nullptr, 0, kMemBlockPopulateMin));
  ASSERT_NE(small, nullptr);
  memBlockPopulate(small, kMemBlockPopulateMin - 1);
  memBlockPopulate(small, 0);
  memBlockPopulate(nullptr, kMemBlockPopulateMin);
  EXPECT_LT(PresentPages(small, kMemBlockPopulateMin), kMemBlockPopulateMin / page / 2);
  memBlockResize(small, kMemBlockPopulateMin, 0);
}

TEST(MemBlock, AWarmerHandsOutBlocksWhosePagesArePresent) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t pages = kMemBlockShared / page;
  // Takes every kept block, so that what comes next is fresh or the warmer's.
  std::vector<void*> held;
  for (size_t i = 0; i < kMemBlockKept; ++i) held.push_back(memBlockResize(nullptr, 0, kMemBlockShared));

  cMemBlockWarmer_t* warmer = memBlockWarmerStart(2);
  ASSERT_NE(warmer, nullptr);
  size_t warm = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int tries = 0; warm < 3 && tries < 1000 && std::chrono::steady_clock::now() < until; ++tries) {
    void* block = memBlockResize(nullptr, 0, kMemBlockShared);
    ASSERT_NE(block, nullptr);
    held.push_back(block);
    if (PresentPages(block, kMemBlockShared) == pages) {
      ++warm;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the warmer is behind
    }
  }
  EXPECT_EQ(warm, 3U);  // more than it holds at once: it tops up as blocks are taken
  memBlockWarmerStop(warmer);
  for (void* block : held) memBlockResize(block, kMemBlockShared, 0);

  // Stopping right after the start, and stopping none, return.
  memBlockWarmerStop(memBlockWarmerStart(kMemBlockKept + 5));
  memBlockWarmerStop(nullptr);
}

}  // namespace
