#include "platform/memblock.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

size_t mappedSize(size_t bytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// The released blocks of kMemBlockShared bytes waiting for their next user.
struct KeptBlocks {
  std::mutex lock;
  std::condition_variable taken;  // a warmer waits here for room
  void* blocks[kMemBlockKept] = {};
  size_t count = 0;
};

KeptBlocks& Kept() {
  static KeptBlocks kept;  // never destroyed before a static user's last release
  return kept;
}

bool Keep(void* block) {
  KeptBlocks& kept = Kept();
  std::lock_guard guard(kept.lock);
  if (kept.count == kMemBlockKept) return false;
  kept.blocks[kept.count++] = block;
  return true;
}

void* TakeKept() {
  KeptBlocks& kept = Kept();
  void* block = nullptr;
  {
    std::lock_guard guard(kept.lock);
    if (kept.count > 0) block = kept.blocks[--kept.count];
  }
  kept.taken.notify_all();
  return block;
}

void* MapFresh(size_t bytes) {
  void* block = ::mmap(nullptr, mappedSize(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

// Makes one range's pages present by a write fault on each: an atomic OR of nothing keeps
// every byte. Faults take the lock of their mapping only, where the kernel's populate call
// holds the process's map lock and stalls every other thread's mmap and munmap meanwhile.
void PopulateRange(unsigned char* first, size_t bytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  for (size_t i = 0; i < bytes; i += page) {
    __atomic_fetch_or(first + i, static_cast<unsigned char>(0), __ATOMIC_RELAXED);
  }
}

}  // namespace

void* memBlockResize(void* data, size_t old_bytes, size_t new_bytes) {
  const bool was_mapped = data != nullptr && old_bytes >= kMemBlockMapped;
  if (new_bytes == 0) {
    if (was_mapped) {
      if (old_bytes != kMemBlockShared || !Keep(data)) ::munmap(data, mappedSize(old_bytes));
    } else {
      std::free(data);
    }
    return nullptr;
  }
  if (data == nullptr && new_bytes == kMemBlockShared) {
    if (void* kept = TakeKept(); kept != nullptr) return kept;
  }
  if (new_bytes < kMemBlockMapped && !was_mapped) return std::realloc(data, new_bytes);
  void* block = nullptr;
  if (was_mapped && new_bytes >= kMemBlockMapped) {
    block = ::mremap(data, mappedSize(old_bytes), mappedSize(new_bytes), MREMAP_MAYMOVE);
    if (block == MAP_FAILED) return nullptr;
  } else {
    // Between the two kinds the bytes are copied once.
    if (new_bytes >= kMemBlockMapped) {
      block = MapFresh(new_bytes);
      if (block == nullptr) return nullptr;
    } else {
      block = std::malloc(new_bytes);
      if (block == nullptr) return nullptr;
    }
    if (data != nullptr) std::memcpy(block, data, std::min(old_bytes, new_bytes));
    memBlockResize(data, old_bytes, 0);
  }
  return block;
}

void memBlockPopulate(void* data, size_t bytes) {
  if (data == nullptr || bytes < kMemBlockPopulateMin) return;
  // Whole pages inside the range only: a page partly outside may belong to another user.
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + page - 1) / page * page;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) / page * page;
  if (end <= start) return;
  // Four threads reached the machine's fault rate for fresh pages; more were slower.
  constexpr size_t kThreads = 4;
  const size_t pages = (end - start) / page;
  const size_t share = (pages + kThreads - 1) / kThreads * page;
  std::vector<std::thread> helpers;
  auto* const first = reinterpret_cast<unsigned char*>(start);
  const size_t length = end - start;
  for (size_t at = share; at < length; at += share) {
    try {
      helpers.emplace_back(PopulateRange, first + at, std::min(share, length - at));
    } catch (const std::system_error&) {
      PopulateRange(first + at, std::min(share, length - at));  // no thread: done here
    }
  }
  PopulateRange(first, std::min(share, length));
  for (std::thread& helper : helpers) helper.join();
}

struct cMemBlockWarmer_t {
  size_t blocks = 0;
  bool stop = false;  // under the kept blocks' lock
  std::thread thread;
};

namespace {

void Warm(cMemBlockWarmer_t* warmer) {
  KeptBlocks& kept = Kept();
  std::unique_lock guard(kept.lock);
  while (!warmer->stop) {
    if (kept.count >= warmer->blocks) {
      kept.taken.wait(guard);
      continue;
    }
    guard.unlock();
    void* block = MapFresh(kMemBlockShared);
    if (block != nullptr) PopulateRange(static_cast<unsigned char*>(block), kMemBlockShared);
    guard.lock();
    if (block == nullptr) break;  // memory is short: the users see it themselves
    if (kept.count < kMemBlockKept) {
      kept.blocks[kept.count++] = block;
    } else {
      ::munmap(block, mappedSize(kMemBlockShared));
    }
  }
}

}  // namespace

cMemBlockWarmer_t* memBlockWarmerStart(size_t blocks) {
  auto* warmer = new (std::nothrow) cMemBlockWarmer_t;
  if (warmer == nullptr) return nullptr;
  warmer->blocks = std::min(blocks, kMemBlockKept);
  try {
    warmer->thread = std::thread(Warm, warmer);
  } catch (const std::system_error&) {
    delete warmer;
    return nullptr;
  }
  return warmer;
}

void memBlockWarmerStop(cMemBlockWarmer_t* warmer) {
  if (warmer == nullptr) return;
  KeptBlocks& kept = Kept();
  {
    std::lock_guard guard(kept.lock);
    warmer->stop = true;
  }
  kept.taken.notify_all();
  warmer->thread.join();
  delete warmer;
}
