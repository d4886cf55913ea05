#include "readguard.h"

#include "mdf/mdflogstream.h"
#include "mdfblock.h"

namespace mdf::detail {

static_assert(3 + kMaxCompositionDepth + kMaxDataListDepth + kMaxConversionDepth + kMaxHierarchyDepth <= kMaxTreeDepth,
              "a parent walk must reach the top of the deepest tree the reader builds (the header, data group "
              "and channel group above a channel, then every nesting stacked)");

namespace {

// The opening words of each message by kind of nesting; the place follows them.
const char* LeadText(Nesting nesting, Damage damage) {
  const bool composition = nesting == Nesting::kComposition;
  const bool conversion = nesting == Nesting::kConversion;
  switch (damage) {
    case Damage::kCyclicLink:
      return composition  ? "Stopped reading a cyclic composition."
             : conversion ? "Conversion block refers back to itself."
                          : "Stopped reading a cyclic block chain.";
    case Damage::kNestedTooDeep:
      return composition  ? "Stopped reading a composition nested too deep."
             : conversion ? "Conversion blocks nest deeper than"
                          : "Stopped reading blocks nested too deep.";
    case Damage::kTooManyBlocks:
      return conversion ? "Conversion block refers to more than" : "Stopped reading a block tree of more than";
    case Damage::kWrongBlockKind:
      return composition ? "Unexpected block in a composition chain." : "Unexpected block type.";
    default:
      return "Stopped reading damaged blocks.";
  }
}

// The bound a message names, with its unit; empty for messages that name none.
std::string BoundText(Nesting nesting, Damage damage) {
  const NestingBounds bounds = BoundsOf(nesting);
  if (damage == Damage::kNestedTooDeep && nesting == Nesting::kConversion) {
    return " " + std::to_string(bounds.depth) + " levels.";
  }
  if (damage == Damage::kTooManyBlocks) {
    return " " + std::to_string(bounds.blocks) +
           (nesting == Nesting::kConversion ? " nested conversions." : " blocks.");
  }
  return {};
}

void LogAt(Nesting nesting, Damage damage, int64_t from, int64_t position, const std::string& detail) {
  MDF_DAMAGE(damage) << LeadText(nesting, damage) << BoundText(nesting, damage) << detail
                     << " Position: " << AddressToText(position)
                     << (from > 0 ? ", Block: " + AddressToText(from) : std::string());
}

}  // namespace

ReadGuard::ReadGuard(Nesting nesting, int64_t root) : nesting_(nesting), bounds_(BoundsOf(nesting)) {
  if (root > 0) {
    visited_.insert(root);
  }
}

ReadGuard::ReadGuard(Nesting nesting, const std::vector<int64_t>& path)
    : nesting_(nesting), bounds_(BoundsOf(nesting)), depth_(path.size()) {
  for (const int64_t position : path) {
    if (position > 0) {
      visited_.insert(position);
    }
  }
}

bool ReadGuard::MayEnter(int64_t from, int64_t position) {
  if (visited_.count(position) > 0) {
    Log(Damage::kCyclicLink, from, position);
    return false;
  }
  if (depth_ >= bounds_.depth) {
    Log(Damage::kNestedTooDeep, from, position);
    return false;
  }
  if (blocks_ >= bounds_.blocks) {
    Log(Damage::kTooManyBlocks, from, position);
    return false;
  }
  ++blocks_;
  if (!bounds_.path_only) {
    visited_.insert(position);
  }
  return true;
}

void ReadGuard::Log(Damage damage, int64_t from, int64_t position) const {
  LogAt(nesting_, damage, from, position, {});
}

void ReadGuard::LogWrongKind(int64_t from, int64_t position, const std::string& expected,
                             const std::string& found) const {
  LogAt(nesting_, Damage::kWrongBlockKind, from, position, " Expected: " + expected + ", Found: " + found + ",");
}

ReadGuard::Level::Level(ReadGuard& guard, int64_t position)
    : guard_(guard),
      position_(position),
      remembered_(guard.bounds_.path_only && guard.visited_.insert(position).second) {
  ++guard_.depth_;
}

ReadGuard::Level::~Level() {
  --guard_.depth_;
  if (remembered_) {
    guard_.visited_.erase(position_);
  }
}

}  // namespace mdf::detail
