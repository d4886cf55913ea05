#pragma once
// What the MDF 3 and MDF 4 file objects share: the identification block, the header block
// that owns the rest of the tree, and the operations that only pass through to the two.
#include <exception>
#include <memory>
#include <string>

#include "idblock.h"
#include "mdf/mdffile.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

template <typename HeaderBlock>
class IdHeaderFile : public MdfFile {
 public:
  [[nodiscard]] std::string Version() const override { return id_block_ ? id_block_->VersionString() : std::string(); }
  void MinorVersion(int minor) override {
    if (id_block_) id_block_->SetMinorVersion(minor);
  }
  using MdfFile::MinorVersion;
  [[nodiscard]] std::string ProgramId() const override { return id_block_ ? id_block_->ProgramId() : std::string(); }
  void ProgramId(const std::string& program_id) override {
    if (id_block_) id_block_->ProgramId(program_id);
  }
  [[nodiscard]] IHeader* Header() const override { return header_.get(); }
  IDataGroup* CreateDataGroup() override { return header_ ? header_->CreateDataGroup() : nullptr; }

  bool Write(std::streambuf& buffer) override {
    if (!id_block_ || !header_) {
      MDF_ERROR() << "No ID or HD block defined. Invalid use of function.";
      return false;
    }
    try {
      id_block_->Write(buffer);
      header_->Write(buffer);
    } catch (const std::exception& error) {
      MDF_ERROR() << write_failure_ << error.what();
      return false;
    }
    return true;
  }
  /// A file without an identification block counts as finalized, with no flags.
  bool IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const override {
    if (!id_block_) {
      standard_flags = 0;
      custom_flags = 0;
      return true;
    }
    return id_block_->IsFinalized(standard_flags, custom_flags);
  }
  void SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags, uint16_t custom_flags) override {
    if (id_block_) id_block_->SetFinalized(finalized, buffer, standard_flags, custom_flags);
  }

  [[nodiscard]] IdBlock* Id() const { return id_block_.get(); }

 protected:
  /// `write_failure` starts the log text of a write that throws; the exception's text follows.
  IdHeaderFile(std::unique_ptr<IdBlock> id_block, std::unique_ptr<HeaderBlock> header, const char* write_failure)
      : id_block_(std::move(id_block)), header_(std::move(header)), write_failure_(write_failure) {
    if (header_) header_->AttachToParent(id_block_.get());  // takes the byte order and version
  }
  ~IdHeaderFile() override = default;

  // In this order, so that the tree below the header goes before the block it inherits its
  // settings from.
  std::unique_ptr<IdBlock> id_block_;
  std::unique_ptr<HeaderBlock> header_;

 private:
  const char* write_failure_;
};

}  // namespace mdf::detail
