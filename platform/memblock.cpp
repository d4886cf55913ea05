#include "platform/memblock.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

size_t mappedSize(size_t bytes) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// The released blocks of kMemBlockShared bytes waiting for their next user.
struct KeptBlocks {
  std::mutex lock;
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
  std::lock_guard guard(kept.lock);
  return kept.count == 0 ? nullptr : kept.blocks[--kept.count];
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
      block = ::mmap(nullptr, mappedSize(new_bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (block == MAP_FAILED) return nullptr;
    } else {
      block = std::malloc(new_bytes);
      if (block == nullptr) return nullptr;
    }
    if (data != nullptr) std::memcpy(block, data, std::min(old_bytes, new_bytes));
    memBlockResize(data, old_bytes, 0);
  }
  return block;
}
