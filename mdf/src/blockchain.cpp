#include "blockchain.h"

#include <string>

#include "mdf/mdflogstream.h"

namespace mdf::detail {

void CheckBlockId(const MdfBlock& block, const char* expected_id) {
  if (block.BlockId() != expected_id) {
    throw MdfRuntimeError("Unexpected block type. Expected: " + std::string(expected_id) +
                          ", Found: " + block.BlockId() + ", Position: " + AddressToText(block.FilePosition()));
  }
}

bool IsBlockAt(std::streambuf& buffer, int64_t position, const char* expected_id) {
  SetStreamPosition(buffer, position);
  std::string id;
  ReadFixedText(buffer, id, 4);  // Stops short at the end of the stream.
  SetStreamPosition(buffer, position);
  if (id == expected_id) {
    return true;
  }
  MDF_ERROR() << "Unexpected block type. Expected: " << expected_id << ", Found: " << id
              << ", Position: " << AddressToText(position);
  return false;
}

void LogCyclicChain(int64_t position) {
  MDF_ERROR() << "Stopped reading a cyclic block chain. Position: " << AddressToText(position);
}

}  // namespace mdf::detail
