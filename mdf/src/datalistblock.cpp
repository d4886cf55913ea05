#include "datalistblock.h"

#include "datablock.h"

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
      size = AddSaturated(size, list->DataSize());
    } else if (const auto* data = dynamic_cast<const DataBlock*>(block.get()); data != nullptr) {
      size = AddSaturated(size, data->DataSize());
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
    } else if (const auto* data = dynamic_cast<const DataBlock*>(block.get()); data != nullptr) {
      if (data->HoldsRdData()) return true;
    } else if (block && block->BlockType() == "RD") {
      return true;
    }
  }
  return false;
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

void DataListBlock::WriteNewChildBlocks(std::streambuf& buffer, size_t link) {
  bool first = true;
  for (auto& block : block_list_) {
    if (!block || block->FilePosition() > 0) continue;
    block->Write(buffer);
    if (first) {
      PatchLink(buffer, link, block->FilePosition());
      first = false;
    }
  }
}

}  // namespace mdf::detail
