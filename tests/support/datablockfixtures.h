#pragma once
// Hand-made MDF4 data blocks for the data block tests. Compressed payloads come from zlib
// itself, never from the library's writer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "datalistblock.h"
#include "mdfblock.h"
#include "support/bytes.h"
#include "support/deflate.h"
#include "support/image.h"
#include "support/memorybuffer.h"
#include "support/thrown.h"

namespace test {

/// A plain data block ("##DT", "##SD", ...) around the payload.
inline Bytes PlainBlock(const std::string& id, const std::vector<uint8_t>& payload) {
  return Bytes().Raw(id).Zeros(4).U64(24 + payload.size()).U64(0).Raw(std::string(payload.begin(), payload.end()));
}

/// A "##DZ" block with the given compressed bytes.
inline Bytes ZippedBlock(const std::string& orig_type, uint8_t zip_type, uint32_t parameter, uint64_t orig_length,
                         const std::vector<uint8_t>& compressed) {
  return Bytes()
      .Raw("##DZ")
      .Zeros(4)
      .U64(48 + compressed.size())
      .U64(0)
      .Text(orig_type, 2)
      .U8(zip_type)
      .U8(0)
      .U32(parameter)
      .U64(orig_length)
      .U64(compressed.size())
      .Raw(std::string(compressed.begin(), compressed.end()));
}

/// A "##DL" block with offsets (flags 0).
inline Bytes DataList(int64_t next, const std::vector<int64_t>& data_links, const std::vector<uint64_t>& offsets) {
  Bytes bytes;
  bytes.Raw("##DL").Zeros(4).U64(40 + 8 * data_links.size() + 8 * offsets.size()).U64(1 + data_links.size());
  bytes.U64(static_cast<uint64_t>(next));
  for (const auto link : data_links) bytes.U64(static_cast<uint64_t>(link));
  bytes.U8(0).Zeros(3).U32(static_cast<uint32_t>(data_links.size()));
  for (const auto offset : offsets) bytes.U64(offset);
  return bytes;
}

/// A "##HL" block.
inline Bytes HeaderList(int64_t first_dl, uint16_t flags = 0, uint8_t zip_type = 0) {
  return Bytes()
      .Raw("##HL")
      .Zeros(4)
      .U64(40)
      .U64(1)
      .U64(static_cast<uint64_t>(first_dl))
      .U16(flags)
      .U8(zip_type)
      .Zeros(5);
}

/// Stands for the block that links to the data under test (a data group, by default): its
/// links are the given ones, and it reads like any MDF4 block with links.
class ListOwner : public mdf::detail::DataListBlock {
 public:
  explicit ListOwner(std::vector<int64_t> links = {}, const std::string& id = "##DG") {
    block_id_ = id;
    link_list_ = std::move(links);
    link_count_ = link_list_.size();
    block_length_ = 24 + 8 * link_list_.size();
  }
  size_t Read(std::streambuf& buffer) override { return ReadMdf4Header(buffer); }
  void SetPosition(int64_t position) { file_position_ = position; }
};

/// Reads the block at the position of the buffer.
inline void ReadInto(mdf::detail::MdfBlock& block, MemoryBuffer& buffer, int64_t position) {
  mdf::detail::SetStreamPosition(buffer, position);
  block.Read(buffer);
}

}  // namespace test
