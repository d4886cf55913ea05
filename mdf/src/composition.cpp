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

// ---- The channel's members that make or look into its channel array ----

void Cn4Block::LoadComposition(std::streambuf& buffer, size_t index, ReadGuard& composition) {
  if (composition_list_.empty() && Link(index) > 0) {
    ReadComposition(buffer, Link(index), *this, composition_list_, composition);
  }
}

IChannelArray* Cn4Block::ChannelArray() const {
  for (const auto& block : composition_list_) {
    if (auto* array = dynamic_cast<Ca4Block*>(block.get()); array != nullptr) return array;
  }
  return nullptr;
}

IChannelArray* Cn4Block::CreateChannelArray() {
  if (ChannelArray() == nullptr) {
    auto array = std::make_unique<Ca4Block>();
    array->SetChannel(this);
    // Attached so that it shares the channel's byte order and finds the header.
    array->AttachToParent(this);
    composition_list_.push_back(std::move(array));
  }
  return ChannelArray();
}

void Cn4Block::PrepareArrayForWriting() {
  if (auto* array = dynamic_cast<Ca4Block*>(ChannelArray()); array != nullptr) {
    array->ByteOffsetBase(static_cast<int32_t>(DataBytes()));
    array->InvalidationBitBase(0);
  }
}

// ---- The array's member that makes its member channels ----

void Ca4Block::LoadComposition(std::streambuf& buffer, size_t index, ReadGuard& composition) {
  if (composition_list_.empty() && Link(index) > 0) {
    ReadComposition(buffer, Link(index), *this, composition_list_, composition);
  }
}

}  // namespace mdf::detail
