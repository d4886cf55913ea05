#pragma once
// File images assembled from hand-made blocks: placed at chosen offsets, or appended one
// after the other at 8-byte boundaries with links patched once their targets exist.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/bytes.h"

namespace test {

/// An MDF4 block: id, reserved bytes, length (exact unless given), links, then the data.
inline Bytes Block(const std::string& id, const std::vector<int64_t>& links, const std::vector<uint8_t>& data,
                   uint64_t length = 0) {
  Bytes block;
  block.Text(id, 4).Zeros(4).U64(length != 0 ? length : 24 + 8 * links.size() + data.size()).U64(links.size());
  for (const int64_t link : links) block.U64(static_cast<uint64_t>(link));
  return block.Raw(data);
}

/// A "##TX" block with the zero-terminated text.
inline Bytes TextBlock(const std::string& text) {
  return Bytes().Raw("##TX").Zeros(4).U64(24 + text.size() + 1).U64(0).Raw(text).Zeros(1);
}

/// A "##MD" block with the zero-terminated XML.
inline Bytes MetaBlock(const std::string& xml) {
  return Bytes().Raw("##MD").Zeros(4).U64(24 + xml.size() + 1).U64(0).Raw(xml).Zeros(1);
}

/// An identification block of an MDF file of the given version.
inline Bytes IdentificationBlock(const std::string& file_id, const std::string& version_text, uint16_t version,
                                 const std::string& program = "QX", uint16_t standard_flags = 0,
                                 uint16_t custom_flags = 0) {
  return Bytes()
      .Text(file_id, 8)
      .Text(version_text, 8)
      .Text(program, 8)
      .U16(0)  // byte order
      .U16(0)  // float format
      .U16(version)
      .U16(0)  // code page
      .Zeros(28)
      .U16(standard_flags)
      .U16(custom_flags);
}

class FileImage {
 public:
  FileImage() = default;
  /// Starts with the bytes, such as an identification block.
  explicit FileImage(const Bytes& prefix) : bytes_(prefix.Data()) { placed_.emplace_back(0, bytes_.size()); }

  /// The block at the offset, zero bytes before it; a block may not overlap another.
  FileImage& Place(size_t offset, const Bytes& block) {
    for (const auto& [begin, end] : placed_) {
      if (offset < end && begin < offset + block.Size()) {
        throw std::logic_error("blocks overlap at " + std::to_string(offset));
      }
    }
    placed_.emplace_back(offset, offset + block.Size());
    if (bytes_.size() < offset + block.Size()) bytes_.resize(offset + block.Size(), 0);
    std::copy(block.Data().begin(), block.Data().end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return *this;
  }
  FileImage& Place(size_t offset, const std::vector<uint8_t>& block) { return Place(offset, Bytes().Raw(block)); }
  /// The block at the next 8-byte boundary; returns its position.
  int64_t Append(const Bytes& block) {
    const size_t offset = (bytes_.size() + 7) / 8 * 8;
    Place(offset, block);
    return static_cast<int64_t>(offset);
  }
  int64_t Append(const std::string& id, const std::vector<int64_t>& links, const std::vector<uint8_t>& data,
                 uint64_t length = 0) {
    return Append(Block(id, links, data, length));
  }
  /// Sets link `index` of the block at `block` to `value`.
  void PatchLink(int64_t block, size_t index, int64_t value) {
    const size_t at = static_cast<size_t>(block) + 24 + 8 * index;
    for (size_t i = 0; i < 8; ++i) bytes_.at(at + i) = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  }
  [[nodiscard]] const std::vector<uint8_t>& Data() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<std::pair<size_t, size_t>> placed_;
};

}  // namespace test
