#include "blockchain.h"

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

}  // namespace mdf::detail
