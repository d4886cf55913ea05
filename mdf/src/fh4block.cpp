#include "fh4block.h"

#include "mdf/mdfhelper.h"

namespace mdf::detail {

namespace {
constexpr uint64_t kBlockLength = 56;
constexpr size_t kNextLink = 0;
constexpr size_t kCommentLink = 1;
}  // namespace

Fh4Block::Fh4Block() {
  block_id_ = "##FH";
  timestamp_.AttachToParent(this);
  timestamp_.SetTime(UtcTimestamp(CurrentTimeNs()));
}

void Fh4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next FH", AddressToText(Link(kNextLink)), "", BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("FH Info", "", "", BlockItemType::HeaderItem);
  timestamp_.GetBlockProperty(dest);
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

size_t Fh4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  timestamp_.AttachToParent(this);
  bytes += timestamp_.Read(buffer);
  LoadMdComment(buffer, kCommentLink);
  return bytes;
}

size_t Fh4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return static_cast<size_t>(block_length_);
  }
  block_id_ = "##FH";
  block_length_ = kBlockLength;
  link_list_.resize(2, 0);
  size_t bytes = MdfBlock::Write(buffer);
  bytes += timestamp_.Write(buffer);
  bytes += WriteZeroBytes(buffer, 3);
  PatchBlockLength(buffer, bytes);
  // The comment follows the block; its link is patched in place.
  StoreMdComment(buffer, kCommentLink);
  return bytes;
}

}  // namespace mdf::detail
