#pragma once
// The MDF 3.x file object: the identification block and the header block, which owns the
// rest of the block tree.
#include <memory>

#include "hd3block.h"
#include "idblock.h"
#include "mdf/mdffile.h"

namespace mdf::detail {

class Mdf3File : public MdfFile {
 public:
  /// A new file: the identification block at its MDF 3.30 defaults and an empty header.
  Mdf3File();
  /// A file being read: the identification block read from it; ReadHeader reads the header.
  explicit Mdf3File(std::unique_ptr<IdBlock> id_block);
  ~Mdf3File() override;

  void Attachments(AttachmentList&) const override {}
  /// Appends the header's data groups; the list is not cleared first.
  void DataGroups(DataGroupList& dest) const override;
  [[nodiscard]] std::string Version() const override;
  void MinorVersion(int minor) override;
  using MdfFile::MinorVersion;
  [[nodiscard]] std::string ProgramId() const override;
  void ProgramId(const std::string& program_id) override;
  [[nodiscard]] IHeader* Header() const override { return header_.get(); }
  IAttachment* CreateAttachment() override { return nullptr; }
  IDataGroup* CreateDataGroup() override;
  [[nodiscard]] bool IsMdf4() const override { return false; }
  /// The identification and header blocks, each read once. Throws on damage.
  void ReadHeader(std::streambuf& buffer) override;
  void ReadMeasurementInfo(std::streambuf& buffer) override;
  void ReadEverythingButData(std::streambuf& buffer) override;
  bool Write(std::streambuf& buffer) override;
  bool IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const override;
  void SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags, uint16_t custom_flags) override;
  /// MDF3 files are never finalized while read.
  [[nodiscard]] bool FinalizedOnRead() const override { return false; }
  [[nodiscard]] IDataGroup* FindParentDataGroup(const IBlock& block) const override;

  [[nodiscard]] IdBlock* Id() const { return id_block_.get(); }
  [[nodiscard]] Hd3Block* Hd3() const { return header_.get(); }

 private:
  std::unique_ptr<IdBlock> id_block_;
  std::unique_ptr<Hd3Block> header_;
};

}  // namespace mdf::detail
