#include "pr3block.h"

#include "mdf/mdflogstream.h"
#include "mdf3block.h"

namespace mdf::detail {

size_t Pr3Block::Read(std::streambuf& buffer) {
  ReadMdf3Header(buffer);
  data_.clear();
  if (block_size_ < kMdf3HeaderSize) {
    MDF_ERROR() << "Program block shorter than its header. Block: " << AddressToText(file_position_)
                << ", Size: " << block_size_;
    return kMdf3HeaderSize;
  }
  ReadMdf3Text(buffer, data_, block_size_ - kMdf3HeaderSize);
  return block_size_;
}

size_t Pr3Block::Write(std::streambuf& buffer) {
  block_id_ = "PR";
  block_size_ = Mdf3Field16(data_.size() + kMdf3HeaderSize, "Program data");
  block_length_ = block_size_;
  link_list_.clear();
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteFixedText(buffer, data_, data_.size());
  return bytes;
}

}  // namespace mdf::detail
