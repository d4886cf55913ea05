#include "dt3block.h"

#include "mdf/idatagroup.h"

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
  const auto* data_group = dynamic_cast<const RecordStreamSize*>(data_group_);
  return data_group != nullptr ? data_group->RecordStreamBytes() : 0;
}

}  // namespace mdf::detail
