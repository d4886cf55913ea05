#include "cd3block.h"

#include "mdf3block.h"

namespace mdf::detail {

namespace {
constexpr uint64_t kDependencySize = 3 * kMdf3LinkSize;
constexpr uint64_t kDimensionSize = 2;
}  // namespace

size_t Cd3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadNumber(buffer, type_);
  bytes += ReadNumber(buffer, nof_dependencies_);
  dependency_list_.clear();
  dimension_list_.clear();

  const bool dimensions = type_ >= kDimensionsBase;
  if (type_ != kVectorDependency && type_ != kMatrixDependency && !dimensions) {
    return bytes;
  }
  // Entries are appended as they are read: the block size bounds the lists, not the count.
  const uint64_t nof_links = EntriesInBlock(*this, bytes, nof_dependencies_, kDependencySize);
  for (uint64_t i = 0; i < nof_links; ++i) {
    Cd3Dependency dependency;
    bytes += ReadNumber(buffer, dependency.data_group);
    bytes += ReadNumber(buffer, dependency.channel_group);
    bytes += ReadNumber(buffer, dependency.channel);
    dependency_list_.push_back(dependency);
  }
  if (dimensions) {
    const uint64_t nof_sizes = EntriesInBlock(*this, bytes, type_ - kDimensionsBase, kDimensionSize);
    for (uint64_t i = 0; i < nof_sizes; ++i) {
      uint16_t size = 0;
      bytes += ReadNumber(buffer, size);
      dimension_list_.push_back(size);
    }
  }
  return bytes;
}

}  // namespace mdf::detail
