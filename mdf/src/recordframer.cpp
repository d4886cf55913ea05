#include "recordframer.h"

#include <algorithm>

namespace mdf::detail {

RecordFramer::RecordFramer(uint8_t record_id_size, const std::vector<RecordLayout>& layouts, uint8_t trailing_id_size,
                           bool whole_list)
    : id_size_(record_id_size), small_ids_(kSmallIds, kNoGroup) {
  for (size_t index = 0; index < layouts.size(); ++index) {
    const RecordLayout& layout = layouts[index];
    const size_t group = groups_.size();
    if (layout.record_id < kSmallIds) {
      if (small_ids_[layout.record_id] != kNoGroup) continue;  // the first group with an id wins
      small_ids_[layout.record_id] = group;
    } else if (!id_index_.emplace(layout.record_id, group).second) {
      continue;
    }
    // A VLSD record ends with its value: only fixed-length records carry a trailing id.
    const uint8_t trailing = layout.vlsd ? 0 : trailing_id_size;
    groups_.push_back({layout.record_id, layout.record_bytes + trailing, layout.vlsd, index, trailing});
  }
  single_group_ = groups_.size() == 1 && whole_list;
  several_groups_ = layouts.size() > 1;
}

bool RecordFramer::Frames(size_t index) const {
  return std::any_of(groups_.begin(), groups_.end(), [index](const Group& group) { return group.index == index; });
}

void RecordFramer::Finish(bool cut) {
  if (ended_) return;
  ended_ = true;
  if (cut || state_ != State::kId || have_ > 0) {
    SetDamage(Damage::kTruncatedRecord, record_id_);
    switch (state_) {
      case State::kId:
        torn_ = have_ > 0 ? TornPart::kRecordId : TornPart::kNothing;
        break;
      case State::kLength:
        torn_ = TornPart::kVlsdLength;
        break;
      case State::kGather:
      case State::kSkip:
        torn_ = TornPart::kPayload;
        break;
    }
  }
}

}  // namespace mdf::detail
