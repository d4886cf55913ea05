#pragma once
// The list data block of column-oriented storage: links to data blocks with sample offsets
// or one equal sample count, and optionally to invalidation blocks. Read only.
#include <cstdint>
#include <streambuf>
#include <vector>

#include "datalistblock.h"

namespace mdf::detail {

class Ld4Block : public DataListBlock {
 public:
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  size_t Read(std::streambuf& buffer) override;
  /// A block in the file is never rewritten; a new one cannot be written.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] uint32_t Flags() const { return flags_; }
  [[nodiscard]] uint32_t Count() const { return count_; }
  [[nodiscard]] uint64_t EqualSampleCount() const { return equal_sample_count_; }
  [[nodiscard]] const std::vector<uint64_t>& Offsets() const { return offsets_; }
  [[nodiscard]] const std::vector<uint64_t>& TimeValues() const { return time_values_; }
  [[nodiscard]] const std::vector<uint64_t>& AngleValues() const { return angle_values_; }
  [[nodiscard]] const std::vector<uint64_t>& DistanceValues() const { return distance_values_; }

 private:
  uint32_t flags_ = 0;
  uint32_t count_ = 0;
  uint64_t equal_sample_count_ = 0;
  std::vector<uint64_t> offsets_;
  std::vector<uint64_t> time_values_;
  std::vector<uint64_t> angle_values_;
  std::vector<uint64_t> distance_values_;
};

}  // namespace mdf::detail
