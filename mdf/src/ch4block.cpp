#include "ch4block.h"

#include <limits>

#include "blockchain.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kChildLink = 1;
constexpr size_t kNameLink = 2;
constexpr size_t kCommentLink = 3;
constexpr size_t kFirstElementLink = 4;
constexpr uint64_t kDataBytes = 8;

int64_t PositionOf(const IBlock* block) {
  const int64_t position = block != nullptr ? block->FilePosition() : 0;
  return position > 0 ? position : 0;
}

}  // namespace

Ch4Block::Ch4Block() { block_id_ = "##CH"; }

IChannelHierarchy* Ch4Block::CreateChannelHierarchy() {
  auto child = std::make_unique<Ch4Block>();
  child->AttachToParent(this);
  children_.push_back(std::move(child));
  return children_.back().get();
}

std::vector<IChannelHierarchy*> Ch4Block::ChannelHierarchies() const {
  std::vector<IChannelHierarchy*> list;
  list.reserve(children_.size());
  for (const auto& child : children_) {
    list.push_back(child.get());
  }
  return list;
}

void Ch4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next CH", AddressToText(Link(kNextLink)), "", BlockItemType::LinkItem);
  dest.emplace_back("First CH", AddressToText(Link(kChildLink)), "", BlockItemType::LinkItem);
  dest.emplace_back("Name TX", AddressToText(Link(kNameLink)), name_, BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  // One row set per element link triple the block has; the count alone comes from the file.
  for (uint64_t i = 0; i < element_count_ && kFirstElementLink + 3 * i < link_list_.size(); ++i) {
    const auto first = static_cast<size_t>(kFirstElementLink + 3 * i);
    dest.emplace_back("Reference DG", AddressToText(Link(first)), "", BlockItemType::LinkItem);
    dest.emplace_back("Reference CG", AddressToText(Link(first + 1)), "", BlockItemType::LinkItem);
    dest.emplace_back("Reference CN", AddressToText(Link(first + 2)), "", BlockItemType::LinkItem);
  }
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Nof Elements", std::to_string(element_count_));
  dest.emplace_back("Type", std::to_string(type_));
}

MdfBlock* Ch4Block::FindByPosition(int64_t position) {
  if (position <= 0) {
    return nullptr;
  }
  for (const auto& child : children_) {
    if (MdfBlock* found = child->FindByPosition(position)) {
      return found;
    }
  }
  return MdfBlock::FindByPosition(position);
}

size_t Ch4Block::ReadBlock(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  CheckBlockId(*this, "##CH");
  bytes += ReadNumber(buffer, element_count_);
  bytes += ReadByte(buffer, type_);
  uint8_t reserved = 0;
  for (int i = 0; i < 3; ++i) {
    bytes += ReadByte(buffer, reserved);
  }
  name_ = LoadTx4Text(buffer, kNameLink);
  LoadMdComment(buffer, kCommentLink);
  return bytes;
}

size_t Ch4Block::Read(std::streambuf& buffer) {
  const size_t bytes = ReadBlock(buffer);
  if (children_.empty() && link_list_.size() > kChildLink) {
    ReadGuard hierarchy(Nesting::kHierarchy, file_position_);
    ReadChain(buffer, *this, Link(kChildLink), children_, hierarchy);
  }
  return bytes;
}

void Ch4Block::ReadChain(std::streambuf& buffer, MdfBlock& parent, int64_t first,
                         std::vector<std::unique_ptr<Ch4Block>>& list, ReadGuard& hierarchy) {
  WalkChain(buffer, hierarchy, parent.FilePosition(), first, "##CH", kNextLink,
            [&](int64_t position) -> const MdfBlock* {
              auto block = std::make_unique<Ch4Block>();
              block->AttachToParent(&parent);
              SetStreamPosition(buffer, position);
              block->ReadBlock(buffer);
              Ch4Block* current = block.get();
              list.push_back(std::move(block));
              if (current->Link(kChildLink) > 0) {
                const ReadGuard::Level level(hierarchy, position);
                ReadChain(buffer, *current, current->Link(kChildLink), current->children_, hierarchy);
              }
              return current;
            });
}

void Ch4Block::WriteNewChildren(std::streambuf& buffer) {
  Ch4Block* previous = nullptr;
  for (auto& child : children_) {
    if (child->FilePosition() <= 0) {
      child->Write(buffer);
      if (previous == nullptr) {
        PatchLink(buffer, kChildLink, child->FilePosition());
      } else {
        previous->PatchLink(buffer, kNextLink, child->FilePosition());
      }
    }
    previous = child.get();
  }
}

size_t Ch4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    WriteNewChildren(buffer);
    return static_cast<size_t>(block_length_);
  }
  if (elements_.size() > (std::numeric_limits<uint32_t>::max)()) {
    throw MdfRuntimeError("Too many hierarchy elements");
  }
  block_id_ = "##CH";
  element_count_ = static_cast<uint32_t>(elements_.size());
  const size_t nof_links = kFirstElementLink + 3 * elements_.size();
  link_list_.resize(nof_links, 0);
  for (size_t i = 0; i < elements_.size(); ++i) {
    const auto& element = elements_[i];
    link_list_[kFirstElementLink + 3 * i] = PositionOf(element.data_group);
    link_list_[kFirstElementLink + 3 * i + 1] = PositionOf(element.channel_group);
    link_list_[kFirstElementLink + 3 * i + 2] = PositionOf(element.channel);
  }
  StoreTx4Text(buffer, kNameLink, name_);
  StoreMdComment(buffer, kCommentLink);
  // Children go first; this block is not in the file yet, so their links stay in memory.
  WriteNewChildren(buffer);

  block_length_ = 24 + 8 * nof_links + kDataBytes;
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteNumber(buffer, element_count_);
  bytes += WriteNumber(buffer, type_);
  bytes += WriteZeroBytes(buffer, 3);
  PatchBlockLength(buffer, bytes);
  return bytes;
}

void Ch4Block::ResolveReferences(const BlockLookup& find) {
  elements_.clear();
  const auto block_at = [this, &find](uint64_t index) -> MdfBlock* {
    const int64_t link = index < link_list_.size() ? link_list_[static_cast<size_t>(index)] : 0;
    return link > 0 ? find(link) : nullptr;
  };
  for (uint64_t i = 0; i < element_count_ && kFirstElementLink + 3 * i < link_list_.size(); ++i) {
    const uint64_t first = kFirstElementLink + 3 * i;
    HierarchyElement element;
    element.data_group = dynamic_cast<IDataGroup*>(block_at(first));
    element.channel_group = dynamic_cast<IChannelGroup*>(block_at(first + 1));
    element.channel = dynamic_cast<IChannel*>(block_at(first + 2));
    elements_.push_back(element);
  }
  // The tree's depth is bounded by the reader.
  for (auto& child : children_) {
    child->ResolveReferences(find);
  }
}

}  // namespace mdf::detail
