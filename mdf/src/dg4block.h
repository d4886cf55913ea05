#pragma once
// MDF4 data group block "##DG": the channel groups whose records share one record stream,
// and the data blocks (DT, DZ, DL, HL) that hold it. Samples are read per data group: its
// records go to the sample observers attached to it. It also counts the records of an
// unfinalized file into its counts (CountRecords), once the file has given its DTs their lengths.
#include <cstdint>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include "datalistblock.h"
#include "mdf/idatagroup.h"

namespace mdf::detail {

class Cg4Block;
class DataBlock;
class Dt4Block;
struct RecordGroup;
class ReadGuard;

class Dg4Block : public DataListBlock, public IDataGroup {
 public:
  using GroupList = std::vector<std::unique_ptr<Cg4Block>>;

  Dg4Block();
  ~Dg4Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] std::string Description() const override;
  void Description(const std::string& description) override;
  [[nodiscard]] uint8_t RecordIdSize() const override { return record_id_size_; }
  /// Accepts 0, 1, 2, 4 and 8; any other size is logged and ignored.
  void RecordIdSize(uint8_t id_size) override;
  [[nodiscard]] std::vector<IChannelGroup*> ChannelGroups() const override;
  /// A new group; the record id size and the record ids 1, 2, ... (0 for a single group)
  /// are recomputed over all groups.
  IChannelGroup* CreateChannelGroup() override;
  /// Drops what a read loaded: data, counters, reduction data, channels' signal data.
  void ClearData() override;
  IChannelGroup* FindParentChannelGroup(const IBlock& block) override;

  [[nodiscard]] IDataGroup* DataGroupInterface() override { return this; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// The fields, comment and data blocks; the channel groups are read by ReadCgList.
  size_t Read(std::streambuf& buffer) override;
  size_t Write(std::streambuf& buffer) override;

  void ReadCgList(std::streambuf& buffer);
  /// Reads the channel-group chain under the guard of the file's channel groups: a group
  /// that another data group already holds is not read again. A chain that damage cuts
  /// leaves the data group framing its records strictly by their ids.
  void ReadCgList(std::streambuf& buffer, ReadGuard& groups);
  /// Reads every record once and hands it to the attached observers. False when damage
  /// ended the read (logged; the records before it were delivered).
  bool ReadData(std::streambuf& buffer);
  /// The group with the record id; a single group answers every id.
  [[nodiscard]] Cg4Block* FindCgByRecordId(uint64_t record_id) const;
  /// Reads a record id of the group's size at the stream position; returns its bytes.
  size_t ReadRecordId(std::streambuf& buffer, uint64_t& record_id) const;

  /// Counts the records the blocks hold and sets each channel group's cycle count (and a
  /// VLSD group's byte count) to them. Damage is treated as damage.h says; false when the
  /// counts could not be determined. A stream `closed` by a block begun behind it ends in
  /// whole records and at most the zeros that align that block: it holds no torn record and
  /// no padding. Where those zeros may as well be whole records (of a DT grown up to that block,
  /// Dt4Block::Grown, whose one group's fixed records are shorter than 8 bytes), the bytes
  /// cannot tell: the records end before them, as damage (Damage::kPaddedEnd).
  bool CountRecords(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, bool update_cycle_counts,
                    bool update_vlsd_sizes, bool closed = false);
  /// A header cut within its id ("#", "##D") at the end of the file, at a multiple of 8 in the
  /// last data block still growing: its bytes may be a header its logger began or the last
  /// bytes of records. CountRecords cuts the stream there unless a record would end within
  /// those bytes, which is then left out as damage (the bytes cannot tell).
  void HeaderBegunAt(int64_t position) { header_begun_at_ = position; }
  /// Set by CountRecords: how the stream it counted ended.
  [[nodiscard]] const StreamEnd* FinalizedEnd() const override { return stream_end_ ? &*stream_end_ : nullptr; }
  /// Known once the data blocks were read: every block is plain.
  [[nodiscard]] std::optional<uint64_t> RecordBytesInFile() const override;
  /// The non-null channel groups with the layout of their records, in list order.
  [[nodiscard]] std::vector<RecordGroup> RecordGroups() const;

  /// Link 2: the first data block; 0 when none.
  [[nodiscard]] int64_t DataLink() const;
  void SetDataLink(std::streambuf& buffer, int64_t link);

  [[nodiscard]] const GroupList& Cg4List() const { return cg_list_; }
  void AddCg4(std::unique_ptr<Cg4Block> group);
  [[nodiscard]] static bool IsValidRecordIdSize(uint8_t id_size);

 private:
  void ReleaseSignalData();

  uint8_t record_id_size_ = 0;
  GroupList cg_list_;
  int64_t file_size_ = 0;        // of the file the data blocks were read from; 0 when not read
  bool group_list_cut_ = false;  // damage cut the chain of channel groups
  int64_t header_begun_at_ = 0;  // HeaderBegunAt; 0 when none
  std::optional<StreamEnd> stream_end_;
};

}  // namespace mdf::detail
