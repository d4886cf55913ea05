// Whether a recording is large enough for the block warmer.
#include "buslog/iterator_warmer.h"

#include <algorithm>
#include <cstdint>

#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"

bool iterator_detail::manyEvents(const mdf::IHeader& header) {
  constexpr uint64_t kMany = uint64_t{1} << 20;
  uint64_t events = 0;
  for (const mdf::IDataGroup* data_group : header.DataGroups()) {
    if (data_group == nullptr) continue;
    for (const mdf::IChannelGroup* group : data_group->ChannelGroups()) {
      if (group != nullptr) events += std::min(group->NofSamples(), kMany);
      if (events >= kMany) return true;
    }
  }
  return false;
}
