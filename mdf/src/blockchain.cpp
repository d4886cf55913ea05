#include "blockchain.h"

#include "damage.h"
#include "datablock.h"

namespace mdf::detail {

void CheckBlockId(const MdfBlock& block, const char* expected_id) {
  if (block.BlockId() != expected_id) {
    throw MdfRuntimeError("Unexpected block type. Expected: " + std::string(expected_id) +
                          ", Found: " + block.BlockId() + ", Position: " + AddressToText(block.FilePosition()));
  }
}

std::string BlockIdAt(std::streambuf& buffer, int64_t position, size_t width) {
  SetStreamPosition(buffer, position);
  std::string id;
  ReadFixedText(buffer, id, width);  // Stops short at the end of the stream.
  SetStreamPosition(buffer, position);
  return id;
}

bool PassCutHeader(std::streambuf& buffer, int64_t position) {
  const HeaderAtEnd found = BlockHeaderAtEnd(buffer, position);
  if (found != HeaderAtEnd::kCut && found != HeaderAtEnd::kZeros) return false;
  NoteCutHeader(static_cast<uint64_t>(position));
  return true;
}

}  // namespace mdf::detail
