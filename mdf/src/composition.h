#pragma once
// Reading a channel's composition: channel arrays and member channels nest into each other,
// and in a damaged file a composition link may lead back into the tree being read. One
// context per top-level read records every block of the tree and the nesting depth.
#include <cstddef>
#include <cstdint>
#include <set>

namespace mdf::detail {

class CompositionContext {
 public:
  /// A composition nests a channel array, its member channels, their arrays ... no file
  /// needs more levels than this; the bound keeps the recursion off the stack limit.
  static constexpr size_t kMaxDepth = 32;

  explicit CompositionContext(int64_t root_position) { visited_.insert(root_position); }

  /// True when the block at the position may be read as the next element: not read
  /// before in this tree and not nested too deep. Logs why not.
  bool MayRead(int64_t owner_position, int64_t position);
  [[nodiscard]] size_t Depth() const { return depth_; }

  /// Counts one level while a nested block is read.
  class Level {
   public:
    explicit Level(CompositionContext& context) : context_(context) { ++context_.depth_; }
    ~Level() { --context_.depth_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    CompositionContext& context_;
  };

 private:
  std::set<int64_t> visited_;
  size_t depth_ = 0;
};

}  // namespace mdf::detail
