#include "mdf3block.h"

#include <limits>

#include "mdf/mdflogstream.h"

namespace mdf::detail {

uint16_t Mdf3Field16(uint64_t value, const char* what) {
  if (value > std::numeric_limits<uint16_t>::max()) {
    throw MdfRuntimeError(std::string(what) + " does not fit an MDF 3 block");
  }
  return static_cast<uint16_t>(value);
}

uint64_t BytesLeftInStream(std::streambuf& buffer) {
  const int64_t position = GetStreamPosition(buffer);
  const int64_t last = GetLastStreamPosition(buffer);
  SetStreamPosition(buffer, position);
  return last > position ? static_cast<uint64_t>(last - position) : 0;
}

size_t ReadMdf3Text(std::streambuf& buffer, std::string& text, size_t width) {
  if (BytesLeftInStream(buffer) < width) {
    text.clear();
    throw MdfIoFailure("Invalid number of bytes read");
  }
  return ReadFixedText(buffer, text, width);
}

uint64_t EntriesInBlock(const MdfBlock& block, uint64_t bytes_read, uint64_t count, uint64_t entry_size) {
  const uint64_t room = block.BlockSize() > bytes_read ? block.BlockSize() - bytes_read : 0;
  const uint64_t fit = entry_size == 0 ? count : room / entry_size;
  if (count <= fit) {
    return count;
  }
  MDF_ERROR() << "Count exceeds its block. Block: " << block.BlockId() << " at " << AddressToText(block.FilePosition())
              << ", Count: " << count << ", Fits: " << fit;
  return fit;
}

}  // namespace mdf::detail
