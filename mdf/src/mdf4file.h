#pragma once
// The MDF 4.x file object: the identification block and the header with its block tree.
#include <memory>

#include "hd4block.h"
#include "idheaderfile.h"

namespace mdf::detail {

class Mdf4File : public IdHeaderFile<Hd4Block> {
 public:
  /// A new file for writing: default identification block and a new header below it.
  Mdf4File();
  /// A file being read, around its identification block; the header is read later.
  explicit Mdf4File(std::unique_ptr<IdBlock> id_block);

  void Attachments(AttachmentList& dest) const override;
  void DataGroups(DataGroupList& dest) const override;
  IAttachment* CreateAttachment() override;
  [[nodiscard]] bool IsMdf4() const override { return true; }
  void ReadHeader(std::streambuf& buffer) override;
  void ReadMeasurementInfo(std::streambuf& buffer) override;
  void ReadEverythingButData(std::streambuf& buffer) override;
  [[nodiscard]] bool FinalizedOnRead() const override { return finalized_on_read_; }
  [[nodiscard]] IDataGroup* FindParentDataGroup(const IBlock& block) const override;

  /// Repairs in memory what the unfinalized flags name; true when all of it was repaired.
  bool FinalizeFile(std::streambuf& buffer);

  [[nodiscard]] Hd4Block* Hd() const { return header_.get(); }

 private:
  /// Channel arrays find the blocks they reference; channels learn their array sizes.
  void ResolveChannelReferences();
  /// Reports bytes other than zeros behind every block the read met: records no block
  /// claims are data the file holds and a read cannot give.
  void CheckDataAfterBlocks(std::streambuf& buffer);
  /// A block header that the end of the file cut is the torn end of a recording that was
  /// finalized when read (its bytes then belong to a block); in any other file it is damage.
  void CheckCutHeader(std::streambuf& buffer);
  /// A VLSD channel of a group that holds records leads to its values (not NIL).
  void CheckSignalDataLinks() const;
  /// A data group whose data hold a record links the channel groups that frame them (not NIL).
  void CheckChannelGroupLinks() const;

  bool finalized_on_read_ = false;
  bool tail_checked_ = false;
};

}  // namespace mdf::detail
