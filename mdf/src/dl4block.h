#pragma once
// The data list: links to the data blocks that hold one data stream in order, with the
// offset of each block's first byte in the stream or one equal length for all. Lists chain
// through their first link.
#include <cstdint>
#include <streambuf>
#include <vector>

#include "datalistblock.h"

namespace mdf::detail {

class Dl4Block : public DataListBlock {
 public:
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  size_t Read(std::streambuf& buffer) override;
  /// A new list writes itself with one link per child, then appends the children and
  /// patches those links; a written one only adds children not yet in the file.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] uint8_t Flags() const { return flags_; }
  /// The count field as read; a written list holds its number of children.
  [[nodiscard]] uint32_t Count() const { return count_; }
  [[nodiscard]] uint64_t EqualLength() const { return equal_length_; }
  /// A non-zero length sets the equal-length flag (bit 0).
  void SetEqualLength(uint64_t length);
  [[nodiscard]] const std::vector<uint64_t>& Offsets() const { return offsets_; }
  /// Sets offset[index], growing the list with zeros, and clears the equal-length flag.
  /// Returns the number of offsets.
  size_t SetOffset(size_t index, uint64_t offset);

 private:
  uint8_t flags_ = 0;
  uint32_t count_ = 0;
  uint64_t equal_length_ = 0;
  std::vector<uint64_t> offsets_;
  // Time, angle and distance values (flag bits 1, 2, 3): written when their bits are set.
  std::vector<uint64_t> time_values_;
  std::vector<uint64_t> angle_values_;
  std::vector<uint64_t> distance_values_;
};

}  // namespace mdf::detail
