#pragma once
// MDF 3 channel dependency block "CD": the channels a channel depends on, as data group,
// channel group and channel links, and for N-dimensional dependencies the size of each
// dimension. Only read; nothing else in the library uses the lists.
#include <cstdint>
#include <vector>

#include "mdfblock.h"

namespace mdf::detail {

/// The links of one channel a channel depends on.
struct Cd3Dependency {
  uint32_t data_group = 0;
  uint32_t channel_group = 0;
  uint32_t channel = 0;
};

class Cd3Block : public MdfBlock {
 public:
  static constexpr uint16_t kNoDependency = 0;
  static constexpr uint16_t kVectorDependency = 1;
  static constexpr uint16_t kMatrixDependency = 2;
  /// Types from this on are N-dimensional, N being the type minus this.
  static constexpr uint16_t kDimensionsBase = 256;

  /// Reads type and count, then the dependencies and, for N dimensions, their sizes, as
  /// far as they fit the block.
  size_t Read(std::streambuf& buffer) override;

  [[nodiscard]] uint16_t DependencyType() const { return type_; }
  /// The count the block declares.
  [[nodiscard]] uint16_t NofDependencies() const { return nof_dependencies_; }
  [[nodiscard]] const std::vector<Cd3Dependency>& Dependencies() const { return dependency_list_; }
  [[nodiscard]] const std::vector<uint16_t>& DimensionSizes() const { return dimension_list_; }

 private:
  uint16_t type_ = 0;
  uint16_t nof_dependencies_ = 0;
  std::vector<Cd3Dependency> dependency_list_;
  std::vector<uint16_t> dimension_list_;
};

}  // namespace mdf::detail
