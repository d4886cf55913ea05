#pragma once
// The MDF 4.x file object: the identification block and the header with its block tree.
#include <memory>

#include "hd4block.h"
#include "idblock.h"
#include "mdf/mdffile.h"

namespace mdf::detail {

class Mdf4File : public MdfFile {
 public:
  /// A new file for writing: default identification block and a new header below it.
  Mdf4File();
  /// A file being read, around its identification block; the header is read later.
  explicit Mdf4File(std::unique_ptr<IdBlock> id_block);
  ~Mdf4File() override;

  void Attachments(AttachmentList& dest) const override;
  void DataGroups(DataGroupList& dest) const override;
  [[nodiscard]] std::string Version() const override;
  void MinorVersion(int minor) override;
  using MdfFile::MinorVersion;
  [[nodiscard]] std::string ProgramId() const override;
  void ProgramId(const std::string& program_id) override;
  [[nodiscard]] IHeader* Header() const override { return header_.get(); }
  IAttachment* CreateAttachment() override;
  IDataGroup* CreateDataGroup() override;
  [[nodiscard]] bool IsMdf4() const override { return true; }
  void ReadHeader(std::streambuf& buffer) override;
  void ReadMeasurementInfo(std::streambuf& buffer) override;
  void ReadEverythingButData(std::streambuf& buffer) override;
  bool Write(std::streambuf& buffer) override;
  bool IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const override;
  void SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags,
                    uint16_t custom_flags) override;
  [[nodiscard]] bool FinalizedOnRead() const override { return finalized_on_read_; }
  [[nodiscard]] IDataGroup* FindParentDataGroup(const IBlock& block) const override;

  /// Repairs in memory what the unfinalized flags name; true when all of it was repaired.
  bool FinalizeFile(std::streambuf& buffer);

  [[nodiscard]] IdBlock* Id() const { return id_block_.get(); }
  [[nodiscard]] Hd4Block* Hd() const { return header_.get(); }

 private:
  /// Channel arrays find the blocks they reference; channels learn their array sizes.
  void ResolveChannelReferences();

  std::unique_ptr<IdBlock> id_block_;
  std::unique_ptr<Hd4Block> header_;
  bool finalized_on_read_ = false;
};

}  // namespace mdf::detail
