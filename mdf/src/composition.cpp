#include "composition.h"

#include "blockchain.h"
#include "ca4block.h"
#include "cn4block.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {
constexpr size_t kNextLink = 0;
}  // namespace

void ReadComposition(std::streambuf& buffer, int64_t first, MdfBlock& owner,
                     std::vector<std::unique_ptr<MdfBlock>>& list, ReadGuard& guard) {
  const std::string id = BlockIdAt(buffer, first);
  if (id == "##CA") {
    // An array has no next link: its first link is its own composition.
    if (!guard.MayEnter(owner.FilePosition(), first)) return;
    auto array = std::make_unique<Ca4Block>();
    array->AttachToParent(&owner);
    SetStreamPosition(buffer, first);
    const ReadGuard::Level level(guard, first);
    array->ReadNested(buffer, guard);
    list.push_back(std::move(array));
  } else if (id == "##CN") {
    WalkChain(buffer, guard, owner.FilePosition(), first, id, kNextLink, [&](int64_t position) -> const MdfBlock* {
      auto channel = std::make_unique<Cn4Block>();
      channel->AttachToParent(&owner);
      SetStreamPosition(buffer, position);
      const ReadGuard::Level level(guard, position);
      channel->ReadNested(buffer, guard);
      list.push_back(std::move(channel));
      return list.back().get();
    });
  } else {
    // Not a chain link: the composition link itself leads to neither kind of block.
    MDF_DAMAGE(Damage::kWrongBlockKind) << "Unexpected composition block. Block: "
                                        << AddressToText(owner.FilePosition()) << ", Type: " << id;
  }
}

}  // namespace mdf::detail
