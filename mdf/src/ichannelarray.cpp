#include "mdf/ichannelarray.h"

#include <limits>

#include "mdf/mdflogstream.h"

namespace mdf {

namespace {

constexpr uint64_t kMaxCount = std::numeric_limits<uint64_t>::max();

// Brings a triple list to one entry per dimension.
void ResizeTriples(std::vector<ChannelTriple>& list, size_t nof_dimensions) {
  if (list.size() != nof_dimensions) list.resize(nof_dimensions);
}

}  // namespace

uint64_t IChannelArray::SumOfDimensions() const {
  uint64_t sum = 0;
  for (const uint64_t size : Shape()) {
    sum = size > kMaxCount - sum ? kMaxCount : sum + size;
  }
  return sum;
}

uint64_t IChannelArray::ElementCount() const {
  uint64_t count = 1;
  for (const uint64_t size : Shape()) {
    const uint64_t factor = size == 0 ? 1 : size;
    if (count > kMaxCount / factor) return kMaxCount;
    count *= factor;
  }
  return count;
}

void IChannelArray::ResizeArrays() {
  const uint8_t storage = Storage();
  const uint32_t flags = Flags();
  const size_t nof_dimensions = Dimensions();
  const uint64_t nof_elements = ElementCount();
  const uint64_t nof_axis_values = SumOfDimensions();
  const bool element_lists = storage == 1 || storage == 2;
  const bool axis_values = (flags & CaFlag::FixedAxis) != 0;
  if ((element_lists && nof_elements > kMaxListSize) || (axis_values && nof_axis_values > kMaxListSize)) {
    MDF_ERROR() << "Channel array too large. Elements: " << nof_elements << ", Axis values: " << nof_axis_values;
    return;
  }
  if (storage == 2) {
    data_links_.resize(static_cast<size_t>(nof_elements), 0);
  }
  if ((flags & CaFlag::DynamicSize) != 0) ResizeTriples(dynamic_size_list_, nof_dimensions);
  if ((flags & CaFlag::InputQuantity) != 0) ResizeTriples(input_quantity_list_, nof_dimensions);
  if ((flags & CaFlag::Axis) != 0 && !axis_values) ResizeTriples(axis_list_, nof_dimensions);
  if (axis_values) {
    AxisValues().resize(static_cast<size_t>(nof_axis_values), 0.0);
  }
  if (element_lists) {
    CycleCounts().resize(static_cast<size_t>(nof_elements), 0);
  }
}

}  // namespace mdf
