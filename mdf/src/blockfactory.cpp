#include "blockfactory.h"

#include <set>

#include "blockchain.h"
#include "datalistblock.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "hl4block.h"
#include "ld4block.h"
#include "md4block.h"
#include "mdf/ixmlfile.h"
#include "readguard.h"
#include "sr4block.h"
#include "tx3block.h"
#include "tx4block.h"

namespace mdf::detail {

namespace {

enum class ReadKind { None, Single, Chain };

ReadKind KindOfType(const std::string& type) {
  static const std::set<std::string> kSingle = {"DT", "DZ", "DV", "DI", "RD", "RV", "RI", "SD", "HL"};
  static const std::set<std::string> kChain = {"DL", "LD", "SR"};
  if (kSingle.count(type) > 0) return ReadKind::Single;
  if (kChain.count(type) > 0) return ReadKind::Chain;
  return ReadKind::None;
}

// The positions of a block and the blocks above it, the nearest first: the open levels of
// a read below it. Beyond the bound the read is too deep anyway.
std::vector<int64_t> PathOf(const MdfBlock& block, size_t bound) {
  std::vector<int64_t> path;
  for (const MdfBlock* level = &block; level != nullptr && path.size() <= bound; level = level->Parent()) {
    path.push_back(level->FilePosition());
  }
  return path;
}

// A data block named a second time below one data group, channel or reduction: a file holds
// its bytes once, so they are read once.
void ReportNamedTwice(int64_t list, int64_t block) {
  MDF_DAMAGE(Damage::kBlockNamedTwice) << "Data block named twice. List: " << AddressToText(list)
                                       << ", Block: " << AddressToText(block);
}

}  // namespace

std::unique_ptr<MdfBlock> CreateDataBlock(const std::string& type) {
  if (type == "DT") return std::make_unique<Dt4Block>();
  if (type == "DZ") return std::make_unique<Dz4Block>();
  if (type == "DV") return std::make_unique<Dv4Block>();
  if (type == "DI") return std::make_unique<Di4Block>();
  if (type == "RD") return std::make_unique<Rd4Block>();
  if (type == "RV") return std::make_unique<Rv4Block>();
  if (type == "RI") return std::make_unique<Ri4Block>();
  if (type == "SD") return std::make_unique<Sd4Block>();
  if (type == "HL") return std::make_unique<Hl4Block>();
  if (type == "DL") return std::make_unique<Dl4Block>();
  if (type == "LD") return std::make_unique<Ld4Block>();
  if (type == "SR") return std::make_unique<Sr4Block>();
  return {};
}

// ---- A list's children ----

bool DataListBlock::ReadChild(std::streambuf& buffer, int64_t position, const std::string& type) {
  auto block = CreateDataBlock(type);
  if (!block) {
    return false;
  }
  SetStreamPosition(buffer, position);
  block->AttachToParent(this);
  block->Read(buffer);
  block_list_.push_back(std::move(block));
  return true;
}

void DataListBlock::ReadBlockList(std::streambuf& buffer, size_t index, bool data_only) {
  if (!block_list_.empty() || index >= link_list_.size()) {
    return;
  }
  const int64_t link = Link(index);
  if (link <= 0) {
    return;
  }
  if (PassCutHeader(buffer, link)) {
    return;  // a block begun where the recording ends: no data yet
  }
  // Lists nest through the blocks' own reads: the blocks above are the open levels.
  ReadGuard guard(Nesting::kDataList, PathOf(*this, BoundsOf(Nesting::kDataList).depth));
  SetStreamPosition(buffer, link);
  const auto type = ReadBlockTypeText(buffer);
  SetStreamPosition(buffer, link);

  switch (KindOfType(type)) {
    case ReadKind::Single:
      if (guard.MayEnter(FilePosition(), link)) {
        ReadChild(buffer, link, type);
      }
      break;
    case ReadKind::Chain:
      // The first block's type is the type of every block in the chain.
      WalkChain(
          buffer, guard, FilePosition(), link, "##" + type, 0,
          [&](int64_t position) -> const MdfBlock* {
            return ReadChild(buffer, position, type) ? block_list_.back().get() : nullptr;
          },
          type == "DL" || type == "LD");
      break;
    case ReadKind::None:
      if (data_only) {
        guard.LogWrongKind(FilePosition(), link, "a data block", type);  // the data it links are missing
      }
      break;
  }
  std::set<int64_t> named;
  bool reported = false;
  DropRepeatedBlocks(named, reported);
}

void DataListBlock::DropRepeatedBlocks(std::set<int64_t>& named, bool& reported) {
  // The tree was read within the nesting bounds, so the recursion is bounded by them.
  for (auto& block : block_list_) {
    if (auto* list = dynamic_cast<DataListBlock*>(block.get()); list != nullptr) {
      list->DropRepeatedBlocks(named, reported);
    } else if (block && dynamic_cast<const DataBlock*>(block.get()) != nullptr &&
               !named.insert(block->FilePosition()).second) {
      if (!reported) ReportNamedTwice(FilePosition(), block->FilePosition());
      reported = true;
      block.reset();
    }
  }
}

void DataListBlock::ReadDataLinks(std::streambuf& buffer, size_t first, uint64_t count) {
  if (!block_list_.empty()) {
    return;
  }
  // The count comes from the file; only links that exist are visited. Their blocks hold
  // data and no links, so nothing below them nests. A link to anything else (or beyond the
  // end of the file) holds no data: the records it should have held are missing.
  const ReadGuard guard(Nesting::kDataList, file_position_);
  std::set<int64_t> named;
  bool reported = false;
  for (uint64_t i = 0; i < count && first + i < link_list_.size(); ++i) {
    const int64_t link = link_list_[first + i];
    if (link <= 0) {
      continue;
    }
    if (!named.insert(link).second) {
      if (!reported) ReportNamedTwice(file_position_, link);  // once: a list may repeat one block thousands of times
      reported = true;
      continue;
    }
    if (PassCutHeader(buffer, link)) {
      continue;  // a block begun where the recording ends: no data yet
    }
    SetStreamPosition(buffer, link);
    const auto type = ReadBlockTypeText(buffer);
    if (type != "HL" && KindOfType(type) == ReadKind::Single) {
      ReadChild(buffer, link, type);
    } else {
      guard.LogWrongKind(file_position_, link, "a data block", type);
    }
  }
}

// ---- A block's comment and texts ----

std::string MdfBlock::CommentText() const {
  const auto* text_block = dynamic_cast<const Tx4Block*>(comment_.get());
  return text_block != nullptr ? text_block->Text() : std::string();
}

IMetaData* MdfBlock::MakeMetaData() {
  if (Md4Block* current = CommentAsMd4(); current != nullptr && current->BlockType() == "MD") {
    return current;
  }
  auto document = MakeXmlFile("Expat");
  IXmlNode* root = document->SetRootName(BlockType() + "comment");
  if (const auto* old_text = dynamic_cast<const Tx4Block*>(comment_.get())) {
    root->NewChild("TX")->SetValueText(old_text->FullText());
  }
  auto metadata = std::make_unique<Md4Block>();
  metadata->SetXmlText(document->WriteToString(true));
  metadata->AttachToParent(this);
  Md4Block* result = metadata.get();
  comment_ = std::move(metadata);
  return result;
}

const IMetaData* MdfBlock::MetaDataInterface() const {
  const Md4Block* current = CommentAsMd4();
  return current != nullptr && current->BlockType() == "MD" ? current : nullptr;
}

Md4Block* MdfBlock::CommentAsMd4() const { return dynamic_cast<Md4Block*>(comment_.get()); }

std::string MdfBlock::RawComment() const {
  if (const Md4Block* metadata = CommentAsMd4()) {
    return metadata->Text();
  }
  if (const auto* text_block = dynamic_cast<const Tx4Block*>(comment_.get())) {
    return text_block->FullText();
  }
  return {};
}

void MdfBlock::AssignMdComment(const std::string& text) {
  auto comment = std::make_unique<Md4Block>(text);
  comment->AttachToParent(this);
  comment_ = std::move(comment);
}

void MdfBlock::LoadMdComment(std::streambuf& buffer, size_t index) {
  if (comment_ || Link(index) <= 0) {
    return;
  }
  // Held locally until the read succeeds, so a damaged comment leaves no half-read block.
  auto comment = std::make_unique<Md4Block>();
  comment->AttachToParent(this);
  SetStreamPosition(buffer, Link(index));
  comment->Read(buffer);
  comment_ = std::move(comment);
}

std::string MdfBlock::LoadTx4Text(std::streambuf& buffer, size_t index) {
  if (Link(index) <= 0) {
    return {};
  }
  Tx4Block text_block;
  text_block.AttachToParent(this);
  SetStreamPosition(buffer, Link(index));
  text_block.Read(buffer);
  return text_block.FullText();
}

std::string MdfBlock::LoadTx3Text(std::streambuf& buffer, size_t index) {
  if (Link(index) <= 0) {
    return {};
  }
  Tx3Block text_block;
  text_block.AttachToParent(this);
  SetStreamPosition(buffer, Link(index));
  text_block.Read(buffer);
  return text_block.Text();
}

void MdfBlock::StoreTx4Text(std::streambuf& buffer, size_t index, const std::string& text) {
  if (text.empty()) {
    return;
  }
  if (index >= link_list_.size()) {
    throw MdfRuntimeError("index is out of bounds");
  }
  if (link_list_[index] != 0) {
    return;
  }
  Tx4Block text_block(text);
  text_block.AttachToParent(this);
  text_block.Write(buffer);
  PatchLink(buffer, index, text_block.FilePosition());
}

}  // namespace mdf::detail
