#pragma once
// MDF3 data "block": the records at a data group's data link. It has no header of its own;
// its size follows from the channel groups' record counts and sizes.
#include <cstdint>
#include <streambuf>

#include "datablock.h"

namespace mdf::detail {

/// The data group of an MDF3 data block: only it knows the bytes its records take. The
/// data group block answers; the data block reaches it as an interface, since the data
/// group makes it.
class RecordStreamSize {
 public:
  /// Sum over the channel groups of records x (record size + record ids); saturates, as the
  /// counts come from the file.
  [[nodiscard]] virtual uint64_t RecordStreamBytes() const = 0;

 protected:
  RecordStreamSize() = default;
  RecordStreamSize(const RecordStreamSize&) = default;
  RecordStreamSize& operator=(const RecordStreamSize&) = default;
  ~RecordStreamSize() = default;
};

class Dt3Block : public DataBlock {
 public:
  Dt3Block() { block_id_ = "DT"; }

  /// Takes the parent as its data group.
  void AttachToParent(MdfBlock* parent) override;
  /// Records the stream position as the start of the records; reads nothing.
  size_t Read(std::streambuf& buffer) override;
  /// Marks the end of the stream as the start of the records; writes nothing.
  size_t Write(std::streambuf& buffer) override;
  /// The record stream's size as its data group gives it; 0 without an MDF3 data group.
  [[nodiscard]] uint64_t DataSize() const override;
};

}  // namespace mdf::detail
