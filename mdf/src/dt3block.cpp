#include "dt3block.h"

#include <limits>

#include "cg3block.h"
#include "dg3block.h"

namespace mdf::detail {

void Dt3Block::AttachToParent(MdfBlock* parent) {
  MdfBlock::AttachToParent(parent);
  data_group_ = dynamic_cast<IDataGroup*>(parent);
}

size_t Dt3Block::Read(std::streambuf& buffer) {
  block_id_ = "DT";
  file_position_ = GetStreamPosition(buffer);
  data_position_ = file_position_;
  return 0;
}

size_t Dt3Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return block_size_;
  }
  GoToStreamEnd(buffer);
  block_id_ = "DT";
  file_position_ = GetStreamPosition(buffer);
  data_position_ = file_position_;
  return 0;
}

uint64_t Dt3Block::DataSize() const {
  const auto* data_group = dynamic_cast<const Dg3Block*>(data_group_);
  if (data_group == nullptr) {
    return 0;
  }
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const uint64_t id_bytes = data_group->NofRecordIds();
  uint64_t size = 0;
  for (const auto& group : data_group->Cg3List()) {
    if (!group) continue;
    const uint64_t record = group->RecordSize() + id_bytes;
    const uint64_t samples = group->NofSamples();
    if (record != 0 && samples > (kMax - size) / record) {
      return kMax;
    }
    size += samples * record;
  }
  return size;
}

}  // namespace mdf::detail
