#pragma once
// Large memory blocks that grow without copying and go back to the system when freed: a block
// of 1 MiB or more is a mapping of its own, grown by moving page tables; a smaller one lives
// on the heap. Mappings take the system's small pages: on a virtual machine that hands freed
// memory back to its host, a fresh huge page cost five times the zeroing of its small pages
// (0.45 against 2.45 GB/s), which outweighed the fewer faults. The MDF library keeps
// its own twin of this below its writer's queue, as it never depends on this layer.
#include <cstddef>

/// Blocks from this size on are mapped on their own.
constexpr size_t kMemBlockMapped = size_t{1} << 20;
/// Released blocks of exactly this size are kept for the next request of it, up to
/// kMemBlockKept of them: the pipeline's stages hand memory on at this size (the event
/// iterator releases what the bus-log writer then fills), and a fresh page costs a fault and
/// its zeroing, which was most of a conversion's time on a virtual machine.
constexpr size_t kMemBlockShared = size_t{4} << 20;
constexpr size_t kMemBlockKept = 8;

/// The block of `new_bytes` holding the first bytes of the old one (`old_bytes` is the size
/// it was given; null with 0 for none), or null when memory is short: the old block then
/// stays. A size of 0 releases the block and returns null. New bytes are not zeroed (a
/// kept block holds what its last user left). Safe to call from several threads.
void* memBlockResize(void* data, size_t old_bytes, size_t new_bytes);

/// Ranges from this size on are made present on several threads by memBlockPopulate.
constexpr size_t kMemBlockPopulateMin = size_t{16} << 20;

/// Makes the pages of `bytes` bytes from `data` present, their contents unchanged, so that
/// filling them costs no page faults: for a range of kMemBlockPopulateMin bytes or more the
/// work is spread over up to four threads, as a fresh page's fault and zeroing dominate the
/// filling of hundreds of megabytes. A smaller range is left alone. Only for memory that is
/// about to be written whole.
void memBlockPopulate(void* data, size_t bytes);

/// While it lives, a background thread keeps the released blocks of kMemBlockShared bytes
/// topped up to `blocks` (at most kMemBlockKept) with fresh blocks whose pages are present, so
/// that a stage filling block after block does not wait for fresh pages. Null when no thread
/// could start: blocks then come as before.
struct cMemBlockWarmer_t;
cMemBlockWarmer_t* memBlockWarmerStart(size_t blocks);
/// Stops the thread and frees the warmer (null is ignored); the blocks it readied stay kept.
void memBlockWarmerStop(cMemBlockWarmer_t* warmer);
