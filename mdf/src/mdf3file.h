#pragma once
// The MDF 3.x file object: the identification block and the header block, which owns the
// rest of the block tree.
#include <memory>

#include "hd3block.h"
#include "idheaderfile.h"

namespace mdf::detail {

class Mdf3File : public IdHeaderFile<Hd3Block> {
 public:
  /// A new file: the identification block at its MDF 3.30 defaults and an empty header.
  Mdf3File();
  /// A file being read: the identification block read from it; ReadHeader reads the header.
  explicit Mdf3File(std::unique_ptr<IdBlock> id_block);

  void Attachments(AttachmentList&) const override {}
  /// Appends the header's data groups; the list is not cleared first.
  void DataGroups(DataGroupList& dest) const override;
  IAttachment* CreateAttachment() override { return nullptr; }
  [[nodiscard]] bool IsMdf4() const override { return false; }
  /// The identification and header blocks, each read once. Throws on damage.
  void ReadHeader(std::streambuf& buffer) override;
  void ReadMeasurementInfo(std::streambuf& buffer) override;
  void ReadEverythingButData(std::streambuf& buffer) override;
  /// MDF3 files are never finalized while read.
  [[nodiscard]] bool FinalizedOnRead() const override { return false; }
  [[nodiscard]] IDataGroup* FindParentDataGroup(const IBlock& block) const override;

  [[nodiscard]] Hd3Block* Hd3() const { return header_.get(); }
};

}  // namespace mdf::detail
