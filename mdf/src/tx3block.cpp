#include "tx3block.h"

#include <limits>

#include "mdf/mdflogstream.h"
#include "mdf3block.h"

namespace mdf::detail {

namespace {
// Header and terminating zero byte leave this much of the 16-bit block size for text.
constexpr size_t kMaxTextSize = std::numeric_limits<uint16_t>::max() - kMdf3HeaderSize - 1;
}  // namespace

size_t Tx3Block::Read(std::streambuf& buffer) {
  ReadMdf3Header(buffer);
  text_.clear();
  if (block_size_ < kMdf3HeaderSize) {
    MDF_ERROR() << "Text block shorter than its header. Block: " << AddressToText(file_position_)
                << ", Size: " << block_size_;
    return kMdf3HeaderSize;
  }
  ReadMdf3Text(buffer, text_, block_size_ - kMdf3HeaderSize);
  return block_size_;
}

void Tx3Block::CheckSize(const std::string& text) {
  if (text.size() > kMaxTextSize) {
    throw MdfRuntimeError("Text too long for an MDF 3 text block");
  }
}

size_t Tx3Block::Write(std::streambuf& buffer) {
  CheckSize(text_);
  block_id_ = "TX";
  block_size_ = static_cast<uint16_t>(text_.size() + kMdf3HeaderSize + 1);
  block_length_ = block_size_;
  link_list_.clear();
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteFixedText(buffer, text_, text_.size());
  bytes += WriteZeroBytes(buffer, 1);
  return bytes;
}

}  // namespace mdf::detail
