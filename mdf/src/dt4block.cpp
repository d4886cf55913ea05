#include "dt4block.h"

#include "damage.h"
#include "datalistblock.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

size_t PlainDataBlock::Read(std::streambuf& buffer) {
  const size_t bytes = ReadMdf4Header(buffer);
  data_position_ = GetStreamPosition(buffer);
  return bytes;
}

size_t PlainDataBlock::Write(std::streambuf&) {
  if (file_position_ > 0) {
    return block_length_;
  }
  throw MdfRuntimeError("Writing a new " + (BlockType().empty() ? std::string("data") : BlockType()) +
                        " block is not supported.");
}

void PlainDataBlock::AddDataSizeRows(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Data Size [byte]", std::to_string(DataSize()));
}

Dt4Block::Dt4Block() { block_id_ = "##DT"; }

void Dt4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const { AddDataSizeRows(dest); }

void Dt4Block::AttachToParent(MdfBlock* parent) {
  auto* list = dynamic_cast<DataListBlock*>(parent);
  data_group_ = list != nullptr ? list->DataGroupInterface() : nullptr;
  MdfBlock::AttachToParent(parent);
}

size_t Dt4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    SeekToData(buffer);
    return block_length_;
  }
  block_id_ = "##DT";
  block_length_ = 24 + data_.size();
  link_list_.clear();
  const size_t header = MdfBlock::Write(buffer);
  data_position_ = GetLastStreamPosition(buffer);
  return header + WriteBytes(buffer, data_);
}

void Dt4Block::UpdateDataSize(std::streambuf& buffer, int64_t next_block) {
  const int64_t end = GetLastStreamPosition(buffer);
  if (file_position_ > 0 && block_length_ > 24 && block_length_ < static_cast<uint64_t>(end - file_position_)) {
    // A whole block that a block header follows, at once or behind the zeros that align it: its
    // length stands, those bytes are no records. A header begun at the end of the file is the
    // block a logger begins before it links it (or links once its header is written).
    const auto claimed_end = static_cast<int64_t>(static_cast<uint64_t>(file_position_) + block_length_);
    if (next_block >= claimed_end) {
      // A block known behind its length, such as the next one its list links.
      MDF_TRACE() << "The last DT block is whole; a block begun after it. Position: " << AddressToText(next_block);
      return;
    }
    if (const HeaderBehind behind = BlockHeaderBehind(buffer, claimed_end); behind.found != HeaderAtEnd::kNone) {
      if (!behind.followed) NoteCutHeader(static_cast<uint64_t>(behind.position));
      MDF_TRACE() << "The last DT block is whole; a block header begun after it. Position: "
                  << AddressToText(behind.position);
      return;
    }
  }
  if (file_position_ > 0 && block_length_ <= 24 && next_block >= data_position_ && next_block < end) {
    GrowTo(next_block);
    return;
  }
  const int64_t size = end - data_position_;
  if (size > 0) {
    block_length_ = static_cast<uint64_t>(size) + 24;
    NoteBlockEnd(static_cast<uint64_t>(file_position_) + block_length_);  // the block now reaches the end
  }
  MDF_TRACE() << "Updated the last DT block data size. Size: " << size;
}

void Dt4Block::GrowTo(int64_t next_block) {
  if (file_position_ <= 0 || block_length_ > 24 || next_block < data_position_) return;
  block_length_ = static_cast<uint64_t>(next_block - data_position_) + 24;
  grown_ = true;
  NoteBlockEnd(static_cast<uint64_t>(next_block));  // what follows is the next block's
  MDF_TRACE() << "A DT block still growing ends where the next block begins. Position: " << AddressToText(next_block);
}

void Dt4Block::CutDataSize(uint64_t size) {
  if (size < DataSize()) {
    block_length_ = size + 24;
  }
}

size_t Sd4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return block_length_;
  }
  block_id_ = "##SD";
  link_list_.clear();
  block_length_ = 24 + data_.size();
  const size_t header = MdfBlock::Write(buffer);
  return header + WriteBytes(buffer, data_);
}

}  // namespace mdf::detail
