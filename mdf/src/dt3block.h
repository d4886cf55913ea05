#pragma once
// MDF3 data "block": the records at a data group's data link. It has no header of its own;
// its size follows from the channel groups' record counts and sizes.
#include <cstdint>
#include <streambuf>

#include "datablock.h"

namespace mdf::detail {

class Dt3Block : public DataBlock {
 public:
  Dt3Block() { block_id_ = "DT"; }

  /// Takes the parent as its data group.
  void AttachToParent(MdfBlock* parent) override;
  /// Records the stream position as the start of the records; reads nothing.
  size_t Read(std::streambuf& buffer) override;
  /// Marks the end of the stream as the start of the records; writes nothing.
  size_t Write(std::streambuf& buffer) override;
  /// Sum over the data group's channel groups of records x (record size + record ids);
  /// 0 without an MDF3 data group. Saturates: the counts come from the file.
  [[nodiscard]] uint64_t DataSize() const override;
};

}  // namespace mdf::detail
