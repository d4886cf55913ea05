#include "datalistblock.h"

#include <set>
#include <string>

#include "datablock.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "hl4block.h"
#include "ld4block.h"
#include "sr4block.h"
#include "mdf/mdflogstream.h"

namespace {

using mdf::detail::MdfBlock;

// Data group -> HL -> DL -> DZ is the deepest tree a valid file builds below a header; the
// bound only stops damaged files whose lists point at other lists without end.
constexpr int kMaxNesting = 16;

enum class ReadKind { None, Single, Chain };

ReadKind KindOfType(const std::string& type) {
  static const std::set<std::string> kSingle = {"DT", "DZ", "DV", "DI", "RD", "RV", "RI", "SD", "HL"};
  static const std::set<std::string> kChain = {"DL", "LD", "SR"};
  if (kSingle.count(type) > 0) return ReadKind::Single;
  if (kChain.count(type) > 0) return ReadKind::Chain;
  return ReadKind::None;
}

// The data-block factory.
std::unique_ptr<MdfBlock> CreateDataBlock(const std::string& type) {
  using namespace mdf::detail;
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

}  // namespace

namespace mdf::detail {

MdfBlock* DataListBlock::FindByPosition(int64_t position) {
  for (const auto& block : block_list_) {
    if (!block) continue;
    if (auto* found = block->FindByPosition(position); found != nullptr) {
      return found;
    }
  }
  return MdfBlock::FindByPosition(position);
}

uint64_t DataListBlock::DataSize() const {
  uint64_t size = 0;
  for (const auto& block : block_list_) {
    if (const auto* list = dynamic_cast<const DataListBlock*>(block.get()); list != nullptr) {
      size += list->DataSize();
    } else if (const auto* data = dynamic_cast<const DataBlock*>(block.get()); data != nullptr) {
      size += data->DataSize();
    }
  }
  return size;
}

void DataListBlock::ClearData() {
  for (const auto& block : block_list_) {
    if (auto* list = dynamic_cast<DataListBlock*>(block.get()); list != nullptr) {
      list->ClearData();
    } else if (auto* data = dynamic_cast<DataBlock*>(block.get()); data != nullptr) {
      data->ClearData();
    }
  }
}

void DataListBlock::CopyDataToBuffer(std::streambuf& buffer, ByteArray& dest, uint64_t& index) const {
  for (const auto& block : block_list_) {
    if (const auto* list = dynamic_cast<const DataListBlock*>(block.get()); list != nullptr) {
      list->CopyDataToBuffer(buffer, dest, index);
    } else if (const auto* data = dynamic_cast<const DataBlock*>(block.get()); data != nullptr) {
      data->CopyDataToBuffer(buffer, dest, index);
    }
  }
}

void DataListBlock::CollectDataBlocks(std::vector<DataBlock*>& dest) const {
  for (const auto& block : block_list_) {
    if (const auto* list = dynamic_cast<const DataListBlock*>(block.get()); list != nullptr) {
      list->CollectDataBlocks(dest);
    } else if (auto* data = dynamic_cast<DataBlock*>(block.get()); data != nullptr) {
      dest.push_back(data);
    }
  }
}

bool DataListBlock::HasRdData() const {
  for (const auto& block : block_list_) {
    if (const auto* list = dynamic_cast<const DataListBlock*>(block.get()); list != nullptr) {
      if (list->HasRdData()) return true;
    } else if (const auto* dz = dynamic_cast<const Dz4Block*>(block.get()); dz != nullptr) {
      if (dz->BlockType() == "DZ" && dz->OrigBlockType() == "RD") return true;
    } else if (block && block->BlockType() == "RD") {
      return true;
    }
  }
  return false;
}

bool DataListBlock::MayNestAt(int64_t position) const {
  int depth = 0;
  for (const MdfBlock* block = this; block != nullptr; block = block->Parent(), ++depth) {
    if (block->FilePosition() == position) {
      MDF_ERROR() << "Stopped reading a cyclic block chain. Position: " << AddressToText(position);
      return false;
    }
    if (depth >= kMaxNesting) {
      MDF_ERROR() << "Stopped reading blocks nested too deep. Position: " << AddressToText(position);
      return false;
    }
  }
  return true;
}

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

void DataListBlock::ReadBlockList(std::streambuf& buffer, size_t index) {
  if (!block_list_.empty() || index >= link_list_.size()) {
    return;
  }
  const int64_t link = Link(index);
  if (link <= 0 || !MayNestAt(link)) {
    return;
  }
  SetStreamPosition(buffer, link);
  const auto type = ReadBlockTypeText(buffer);
  SetStreamPosition(buffer, link);

  switch (KindOfType(type)) {
    case ReadKind::Single:
      ReadChild(buffer, link, type);
      break;
    case ReadKind::Chain: {
      // The first block's type decides the class of every block in the chain.
      std::set<int64_t> visited;
      for (int64_t position = link; position > 0; position = block_list_.back()->Link(0)) {
        if (!visited.insert(position).second) {
          MDF_ERROR() << "Stopped reading a cyclic block chain. Position: " << AddressToText(position);
          break;
        }
        if (!ReadChild(buffer, position, type)) {
          break;
        }
      }
      break;
    }
    case ReadKind::None:
      break;
  }
}

void DataListBlock::ReadDataLinks(std::streambuf& buffer, size_t first, uint64_t count) {
  if (!block_list_.empty()) {
    return;
  }
  // The count comes from the file; only links that exist are visited.
  for (uint64_t i = 0; i < count && first + i < link_list_.size(); ++i) {
    const int64_t link = link_list_[first + i];
    if (link <= 0) {
      continue;
    }
    SetStreamPosition(buffer, link);
    const auto type = ReadBlockTypeText(buffer);
    if (type != "HL" && KindOfType(type) == ReadKind::Single) {
      ReadChild(buffer, link, type);
    }
  }
}

void DataListBlock::WriteChildBlocks(std::streambuf& buffer, size_t first) {
  for (size_t i = 0; i < block_list_.size(); ++i) {
    auto& block = block_list_[i];
    if (!block || block->FilePosition() > 0) {
      continue;
    }
    block->Write(buffer);
    PatchLink(buffer, first + i, block->FilePosition());
  }
}

}  // namespace mdf::detail
