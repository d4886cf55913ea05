#pragma once
// Reading of linked block lists (each block's link 0 is the next one). Everything here comes
// from the file: a link may point at a block of another kind or back into the chain.
#include <cstdint>
#include <memory>
#include <set>
#include <streambuf>
#include <vector>

#include "mdfblock.h"

namespace mdf::detail {

/// Throws when a structural block was read from a block of another kind.
void CheckBlockId(const MdfBlock& block, const char* expected_id);

/// True when the block at the position carries the id; a block of another kind (or no block
/// at all) is logged as an error and gives false.
bool IsBlockAt(std::streambuf& buffer, int64_t position, const char* expected_id);

/// Logs a link back into a chain that is being walked.
void LogCyclicChain(int64_t position);

/// Reads the chain that starts at `first` into the list, each block attached to the parent.
/// A visited position or a block of another kind ends the chain; what was read stays.
template <typename Block>
void ReadBlockChain(std::streambuf& buffer, MdfBlock* parent, int64_t first, const char* expected_id,
                    std::vector<std::unique_ptr<Block>>& list, std::set<int64_t>& visited) {
  for (int64_t position = first; position > 0;) {
    if (!visited.insert(position).second) {
      LogCyclicChain(position);
      break;
    }
    if (!IsBlockAt(buffer, position, expected_id)) {
      break;
    }
    auto block = std::make_unique<Block>();
    block->AttachToParent(parent);
    SetStreamPosition(buffer, position);
    block->Read(buffer);
    position = block->Link(0);
    list.push_back(std::move(block));
  }
}

template <typename Block>
void ReadBlockChain(std::streambuf& buffer, MdfBlock* parent, int64_t first, const char* expected_id,
                    std::vector<std::unique_ptr<Block>>& list) {
  std::set<int64_t> visited;
  ReadBlockChain(buffer, parent, first, expected_id, list, visited);
}

}  // namespace mdf::detail
