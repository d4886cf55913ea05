#include "hl4block.h"

#include "dz4block.h"

namespace mdf::detail {

void Hl4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("First DL", AddressToText(Link(0)), "", BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Flags", (flags_ & 0x01) != 0 ? "Equal" : "");
  dest.emplace_back("Zip Type", ZipTypeText(zip_type_));
}

size_t Hl4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadNumber(buffer, flags_);
  bytes += ReadByte(buffer, zip_type_);
  for (int i = 0; i < 5; ++i) {
    uint8_t reserved = 0;
    bytes += ReadByte(buffer, reserved);
  }
  ReadBlockList(buffer, 0, true);
  return bytes;
}

size_t Hl4Block::Write(std::streambuf& buffer) {
  size_t bytes = block_length_;
  if (file_position_ <= 0) {
    block_id_ = "##HL";
    block_length_ = 40;
    link_list_.resize(1, 0);
    bytes = MdfBlock::Write(buffer);
    bytes += WriteNumber(buffer, flags_);
    bytes += WriteByte(buffer, zip_type_);
    bytes += WriteZeroBytes(buffer, 5);
    PatchBlockLength(buffer, bytes);
  }
  for (size_t i = 0; i < block_list_.size(); ++i) {
    auto& block = block_list_[i];
    if (!block || block->FilePosition() > 0) {
      continue;
    }
    block->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, 0, block->FilePosition());
    } else if (auto& previous = block_list_[i - 1]; previous) {
      previous->PatchLink(buffer, 0, block->FilePosition());
    }
  }
  return bytes;
}

}  // namespace mdf::detail
