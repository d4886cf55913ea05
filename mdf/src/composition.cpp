#include "composition.h"

#include "mdf/mdflogstream.h"
#include "mdfblock.h"

namespace mdf::detail {

bool CompositionContext::MayRead(int64_t owner_position, int64_t position) {
  if (depth_ >= kMaxDepth) {
    MDF_ERROR() << "Stopped reading a composition nested too deep. Block: " << AddressToText(owner_position)
                << ", Link: " << AddressToText(position);
    return false;
  }
  if (!visited_.insert(position).second) {
    MDF_ERROR() << "Stopped reading a cyclic composition. Block: " << AddressToText(owner_position)
                << ", Link: " << AddressToText(position);
    return false;
  }
  return true;
}

}  // namespace mdf::detail
