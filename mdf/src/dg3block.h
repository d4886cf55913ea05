#pragma once
// MDF3 data group block "DG": the channel groups whose records share one record stream, its
// trigger block and the data at its data link. Records carry no id, an 8-bit id in front,
// or an 8-bit id in front and behind. Samples are read per data group: its records go to
// the sample observers attached to it.
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "datalistblock.h"
#include "dt3block.h"
#include "mdf/idatagroup.h"

namespace mdf::detail {

class Cg3Block;
class Tr3Block;

class Dg3Block : public DataListBlock, public IDataGroup, public RecordStreamSize {
 public:
  using GroupList = std::vector<std::unique_ptr<Cg3Block>>;

  Dg3Block();
  ~Dg3Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  /// MDF 3 comments are plain texts: no metadata.
  IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] std::vector<IChannelGroup*> ChannelGroups() const override;
  /// A new group; the number of record ids and the record ids 1, 2, ... (0 for a single
  /// group) are recomputed over all groups.
  IChannelGroup* CreateChannelGroup() override;
  /// Drops what a read loaded: the counters and the reduction data.
  void ClearData() override;
  IChannelGroup* FindParentChannelGroup(const IBlock& block) override;
  [[nodiscard]] IDataGroup* DataGroupInterface() override { return this; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// The fields, trigger block, data block and channel groups.
  size_t Read(std::streambuf& buffer) override;
  /// A new group is appended; a written one gets its counters rewritten in place. Then
  /// trigger, channel groups and data block as far as they are not in the file.
  size_t Write(std::streambuf& buffer) override;

  /// Reads every record once and hands it to the attached observers, then loads the sample
  /// reductions. False when damage ended the read (logged; the records before it were
  /// delivered).
  bool ReadData(std::streambuf& buffer);

  [[nodiscard]] uint64_t RecordStreamBytes() const override;

  /// 0, 1 (an id byte before each record) or 2 (one before and one after).
  [[nodiscard]] uint16_t NofRecordIds() const { return nof_record_ids_; }
  void NofRecordIds(uint16_t nof_ids) { nof_record_ids_ = nof_ids; }
  [[nodiscard]] const GroupList& Cg3List() const { return cg_list_; }
  [[nodiscard]] Tr3Block* Trigger() const { return trigger_.get(); }
  void Trigger(std::unique_ptr<Tr3Block> trigger);
  /// Link 3: the first byte of the records; 0 when none.
  [[nodiscard]] int64_t DataLink() const;
  void SetDataLink(std::streambuf& buffer, int64_t link);

 private:
  uint16_t nof_cg_ = 0;
  uint16_t nof_record_ids_ = 0;
  std::unique_ptr<Tr3Block> trigger_;
  GroupList cg_list_;
};

}  // namespace mdf::detail
