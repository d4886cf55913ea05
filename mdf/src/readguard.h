#pragma once
// The one guard of every read that follows links from a file. A link in a damaged file may
// lead back into the blocks being read, nest without end, or fan out to the same blocks
// over and over; the guard of a read remembers what it entered and counts levels and
// blocks against the bounds of its kind of nesting. What the read does at the damage is in
// damage.h; the guard logs it.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "damage.h"

namespace mdf::detail {

// Levels count the root of a read as the first. Each bound says why it is where it is.

/// The header and a data group, channel group and channel above a channel's HL, DL and DZ
/// blocks make seven levels; 16 only stops lists that point at further lists without end.
inline constexpr size_t kMaxDataListDepth = 16;
/// A bus frame's members nest two or three levels; 32 keeps the recursion far off the stack
/// limit.
inline constexpr size_t kMaxCompositionDepth = 32;
/// Hierarchies are shallow; a deeper tree in a file is damage, not data.
inline constexpr size_t kMaxHierarchyDepth = 64;
/// A conversion nests a few text tables; 64 keeps reading and evaluating a conversion tree
/// (ValueToText) off the stack limit.
inline constexpr size_t kMaxConversionDepth = 64;
/// A conversion tree may refer to one nested conversion many times (it is read as a tree,
/// not as a graph): 10,000 reads cut off the 2^depth reads of a fan-out.
inline constexpr size_t kMaxConversionBlocks = 10'000;
/// Without a bound: the blocks of a flat chain, a composition or a hierarchy are each read
/// once, at positions of their own in the file, so the file bounds their number.
inline constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();

/// The kinds of nested reads.
enum class Nesting : uint8_t {
  kChain,        ///< a flat chain through next links: DG, CG, CN, SR, FH, AT, EV
  kDataList,     ///< the data and list blocks below a data group, channel or reduction
  kComposition,  ///< the channel arrays and member channels below a channel
  kHierarchy,    ///< the channel hierarchy tree
  kConversion,   ///< the inverse and nested conversions below a conversion
};

struct NestingBounds {
  size_t depth;   ///< levels, the root included
  size_t blocks;  ///< blocks entered below the root
  /// Only the blocks on the path from the root are remembered, not every block entered: a
  /// conversion tree may refer to one nested conversion twice without a cycle.
  bool path_only;
};

constexpr NestingBounds BoundsOf(Nesting nesting) {
  switch (nesting) {
    case Nesting::kChain:
      return {kUnbounded, kUnbounded, false};
    case Nesting::kDataList:
      return {kMaxDataListDepth, kUnbounded, true};
    case Nesting::kComposition:
      return {kMaxCompositionDepth, kUnbounded, false};
    case Nesting::kHierarchy:
      return {kMaxHierarchyDepth, kUnbounded, false};
    case Nesting::kConversion:
      return {kMaxConversionDepth, kMaxConversionBlocks, true};
  }
  return {0, 0, true};
}

class ReadGuard {
 public:
  /// The guard of one read rooted at the block at `root` (0: a root outside the file).
  explicit ReadGuard(Nesting nesting, int64_t root = 0);
  /// The guard of a read below the blocks of `path` (the nearest first, the root last):
  /// they are the levels already open.
  ReadGuard(Nesting nesting, const std::vector<int64_t>& path);
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

  /// True when the block at `position`, linked from the block at `from`, may be read one
  /// level below the open ones: not entered before (on the path, for a path-only kind), not
  /// deeper and not more blocks than the bounds. Logs the damage otherwise.
  [[nodiscard]] bool MayEnter(int64_t from, int64_t position);
  /// Logs a link that ends a read: the kind of damage and where it was met.
  void Log(Damage damage, int64_t from, int64_t position) const;
  /// Logs a chain link that lands on a block of another id.
  void LogWrongKind(int64_t from, int64_t position, const std::string& expected, const std::string& found) const;

  [[nodiscard]] Nesting Kind() const { return nesting_; }
  [[nodiscard]] size_t Depth() const { return depth_; }
  /// True when every block entered stays remembered, so a chain needs no set of its own.
  [[nodiscard]] bool RemembersEveryBlock() const { return !bounds_.path_only; }

  /// One open level while alive: the block at the position is read, its links lead one
  /// level deeper.
  class Level {
   public:
    Level(ReadGuard& guard, int64_t position);
    ~Level();
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    ReadGuard& guard_;
    int64_t position_;
    bool remembered_;
  };

 private:
  Nesting nesting_;
  NestingBounds bounds_;
  std::set<int64_t> visited_;
  size_t depth_ = 1;
  size_t blocks_ = 0;
};

}  // namespace mdf::detail
