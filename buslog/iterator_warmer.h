#pragma once
// The block warmer of the event iterator: while a large recording is read, a thread of its own
// readies fresh memory blocks for the events ahead (see memBlockWarmerStart), as fresh pages
// dominated the time of large conversions. Relies on the memory blocks only.
#include <cstddef>

#include "platform/memblock.h"

namespace mdf {
class IHeader;
}  // namespace mdf

namespace iterator_detail {

// Keeps fresh event blocks ready while it lives (see memBlockWarmerStart).
class BlockWarmer {
 public:
  explicit BlockWarmer(bool wanted) : warmer_(wanted ? memBlockWarmerStart(kWarmBlocks) : nullptr) {}
  ~BlockWarmer() { memBlockWarmerStop(warmer_); }
  BlockWarmer(const BlockWarmer&) = delete;
  BlockWarmer& operator=(const BlockWarmer&) = delete;

 private:
  static constexpr size_t kWarmBlocks = 4;
  cMemBlockWarmer_t* warmer_;
};

// Whether the header's cycle counts promise so many events that their blocks cost more than
// a thread readying them: a hint only, as the counts are the file's.
bool manyEvents(const mdf::IHeader& header);

}  // namespace iterator_detail
