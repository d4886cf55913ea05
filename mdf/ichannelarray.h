#pragma once
// Public interface of a channel array (MDF4 CA block): a channel whose every record holds an
// N-dimensional array of values. The interface keeps the reference lists that every array
// block shares; the block keeps its shape, axis values and cycle counts.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mdf/iblock.h"

namespace mdf {

class IChannel;
class IChannelConversion;
class IChannelGroup;
class IDataGroup;

/// A reference to a channel by its data group, channel group and channel (not owned, each
/// possibly null). In the file it takes three consecutive links.
struct ChannelTriple {
  IDataGroup* data_group = nullptr;
  IChannelGroup* channel_group = nullptr;
  IChannel* channel = nullptr;
};

/// Flag bits of a channel array.
struct CaFlag {
  static constexpr uint32_t DynamicSize = 0x01;
  static constexpr uint32_t InputQuantity = 0x02;
  static constexpr uint32_t OutputQuantity = 0x04;
  static constexpr uint32_t ComparisonQuantity = 0x08;
  static constexpr uint32_t Axis = 0x10;
  static constexpr uint32_t FixedAxis = 0x20;
  static constexpr uint32_t InverseLayout = 0x40;
  static constexpr uint32_t LeftOpenInterval = 0x80;
};

class IChannelArray : public IBlock {
 public:
  ~IChannelArray() override = default;

  /// 0 array, 1 scaling axis, 2 look-up, 3 interval axis, 4 classification result.
  [[nodiscard]] virtual uint8_t Type() const = 0;
  virtual void SetType(uint8_t type) = 0;
  /// 0 CN template, 1 CG template (a cycle count per element), 2 DG template (a data link
  /// and a cycle count per element).
  [[nodiscard]] virtual uint8_t Storage() const = 0;
  virtual void SetStorage(uint8_t storage) = 0;
  [[nodiscard]] virtual uint32_t Flags() const = 0;
  virtual void SetFlags(uint32_t flags) = 0;
  [[nodiscard]] virtual uint16_t Dimensions() const = 0;
  [[nodiscard]] virtual const std::vector<uint64_t>& Shape() const = 0;
  /// Copies the sizes and returns the new number of dimensions; resizes no other list.
  virtual size_t SetShape(const std::vector<uint64_t>& shape) = 0;
  /// 0 for an index past the last dimension.
  [[nodiscard]] virtual uint64_t DimensionSize(size_t index) const = 0;
  /// With a fixed axis, first grown with 0.0 to the sum of the dimension sizes (unless that
  /// is beyond any list this library builds).
  virtual std::vector<double>& AxisValues() = 0;
  [[nodiscard]] virtual const std::vector<double>& AxisValues() const = 0;
  /// With a CG or DG template, first grown with 0 to the element count.
  virtual std::vector<uint64_t>& CycleCounts() = 0;
  [[nodiscard]] virtual const std::vector<uint64_t>& CycleCounts() const = 0;

  /// Sizes the data links, the reference lists, the axis values and the cycle counts to the
  /// shape, storage type and flags. A shape too large to hold in memory is logged and
  /// leaves the lists unchanged.
  virtual void ResizeArrays();
  /// Sum of the dimension sizes (the number of axis values); saturates at the maximum.
  [[nodiscard]] virtual uint64_t SumOfDimensions() const;
  /// Product of the dimension sizes, a size of 0 counting as 1; 1 without dimensions.
  /// Saturates at the maximum, which no caller can allocate.
  [[nodiscard]] virtual uint64_t ElementCount() const;

  [[nodiscard]] std::vector<int64_t>& DataLinks() { return data_links_; }
  [[nodiscard]] const std::vector<int64_t>& DataLinks() const { return data_links_; }
  [[nodiscard]] std::vector<ChannelTriple>& DynamicSizeList() { return dynamic_size_list_; }
  [[nodiscard]] const std::vector<ChannelTriple>& DynamicSizeList() const { return dynamic_size_list_; }
  [[nodiscard]] std::vector<ChannelTriple>& InputQuantityList() { return input_quantity_list_; }
  [[nodiscard]] const std::vector<ChannelTriple>& InputQuantityList() const { return input_quantity_list_; }
  [[nodiscard]] ChannelTriple& OutputQuantity() { return output_quantity_; }
  [[nodiscard]] const ChannelTriple& OutputQuantity() const { return output_quantity_; }
  [[nodiscard]] ChannelTriple& ComparisonQuantity() { return comparison_quantity_; }
  [[nodiscard]] const ChannelTriple& ComparisonQuantity() const { return comparison_quantity_; }
  [[nodiscard]] std::vector<IChannelConversion*>& AxisConversionList() { return axis_conversion_list_; }
  [[nodiscard]] const std::vector<IChannelConversion*>& AxisConversionList() const { return axis_conversion_list_; }
  [[nodiscard]] std::vector<ChannelTriple>& AxisList() { return axis_list_; }
  [[nodiscard]] const std::vector<ChannelTriple>& AxisList() const { return axis_list_; }

 protected:
  IChannelArray() = default;
  IChannelArray(const IChannelArray&) = default;
  IChannelArray& operator=(const IChannelArray&) = default;

  /// The longest list the shape may size: far above any real array, far below a size whose
  /// allocation would take the process down.
  static constexpr uint64_t kMaxListSize = uint64_t{1} << 24;

  std::vector<int64_t> data_links_;
  std::vector<ChannelTriple> dynamic_size_list_;
  std::vector<ChannelTriple> input_quantity_list_;
  ChannelTriple output_quantity_;
  ChannelTriple comparison_quantity_;
  std::vector<IChannelConversion*> axis_conversion_list_;
  std::vector<ChannelTriple> axis_list_;
};

}  // namespace mdf
