#pragma once
// The MDF 3 writer: MDF 3.30 files whose records follow the tree of each cycle's data
// group, one record stream per data group.
#include <cstdint>
#include <mutex>
#include <streambuf>
#include <vector>

#include "mdf/mdfwriter.h"

namespace mdf::detail {

class Dg3Block;

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
  /// Writes the MDF 3 record stream of the last data group.
  void SaveQueue(std::unique_lock<std::mutex>& lock) override;

 private:
  /// Writes one record at the stream position in the MDF 3 layout (record ids before and,
  /// with 2, after it) and counts it for its channel groups. Lock released.
  void WriteMdf3Record(Dg3Block& data_group, uint16_t nof_ids, const SampleRecord& sample,
                       std::vector<uint8_t>& record);
};

}  // namespace mdf::detail
