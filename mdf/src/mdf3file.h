#pragma once
// The MDF 3.x file object. Only what the reader needs to recognise an MDF3 file exists so
// far: its identification block. Reading its blocks fails with a logged error.
#include <memory>

#include "idblock.h"
#include "mdf/mdffile.h"

namespace mdf::detail {

class Mdf3File : public MdfFile {
 public:
  explicit Mdf3File(std::unique_ptr<IdBlock> id_block);

  void Attachments(AttachmentList&) const override {}
  void DataGroups(DataGroupList&) const override {}
  [[nodiscard]] std::string Version() const override;
  void MinorVersion(int minor) override;
  using MdfFile::MinorVersion;
  [[nodiscard]] std::string ProgramId() const override;
  void ProgramId(const std::string& program_id) override;
  [[nodiscard]] IHeader* Header() const override { return nullptr; }
  IAttachment* CreateAttachment() override { return nullptr; }
  IDataGroup* CreateDataGroup() override { return nullptr; }
  [[nodiscard]] bool IsMdf4() const override { return false; }
  /// Throws: the MDF3 blocks cannot be read yet.
  void ReadHeader(std::streambuf& buffer) override;
  void ReadMeasurementInfo(std::streambuf& buffer) override;
  void ReadEverythingButData(std::streambuf& buffer) override;
  bool Write(std::streambuf& buffer) override;
  bool IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const override;
  void SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags,
                    uint16_t custom_flags) override;
  [[nodiscard]] bool FinalizedOnRead() const override { return false; }
  [[nodiscard]] IDataGroup* FindParentDataGroup(const IBlock&) const override { return nullptr; }

  [[nodiscard]] IdBlock* Id() const { return id_block_.get(); }

 private:
  std::unique_ptr<IdBlock> id_block_;
};

}  // namespace mdf::detail
