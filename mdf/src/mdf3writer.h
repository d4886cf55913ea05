#pragma once
// The MDF 3 writer: MDF 3.30 files whose records follow the tree of each cycle's data
// group, written by the base writer's record stream.
#include <streambuf>

#include "mdf/mdfwriter.h"

namespace mdf::detail {

class Mdf3Writer : public MdfWriter {
 public:
  Mdf3Writer() = default;
  ~Mdf3Writer() override;

  /// The channel's own conversion, created when it has none; null for a null channel.
  IChannelConversion* CreateChannelConversion(IChannel* channel) override;

 protected:
  void CreateMdfFile() override;
  /// Lays out the records of every channel group of the last data group.
  bool PrepareForWriting() override;
  /// Goes to the end of the file; the first pass of a cycle links the data group's records
  /// there.
  void SetLastPosition(std::streambuf& buffer) override;
};

}  // namespace mdf::detail
