#pragma once
// The 64-byte identification block at offset 0 of every MDF file. Its position is -1 while
// it is new and 0 once it is in the file.
#include <cstdint>
#include <string>

#include "mdfblock.h"

namespace mdf::detail {

class IdBlock : public MdfBlock {
 public:
  IdBlock();
  void SetMdf3Defaults();

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  size_t Read(std::streambuf& buffer) override;
  size_t Write(std::streambuf& buffer) override;

  /// The one test of a file identifier, in any case: an MDF file ("MDF" or "UnFinMF"), and
  /// an unfinalized one ("UnFinMF"). The reader accepts what the finalization then reads.
  [[nodiscard]] static bool IsMdfFileId(const std::string& file_id);
  [[nodiscard]] static bool IsUnfinalizedFileId(const std::string& file_id);

  /// False only when the file identifier is an unfinalized one (IsUnfinalizedFileId).
  bool IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const;
  /// Changes memory, and the file in place when the block is already in the file.
  void SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags, uint16_t custom_flags);
  void SetMinorVersion(int minor);

  [[nodiscard]] std::string VersionString() const;
  [[nodiscard]] std::string ProgramId() const;
  void ProgramId(const std::string& program_id) { program_id_ = program_id; }
  [[nodiscard]] std::string FileId() const;
  [[nodiscard]] uint16_t FloatFormat() const { return float_format_; }
  [[nodiscard]] uint16_t CodePage() const { return code_page_; }
  [[nodiscard]] uint16_t StandardFlags() const { return standard_flags_; }
  [[nodiscard]] uint16_t CustomFlags() const { return custom_flags_; }

 private:
  std::string file_id_ = "MDF     ";
  std::string format_id_ = "4.20";
  std::string program_id_ = "MdfWrite";
  uint16_t float_format_ = 0;
  uint16_t code_page_ = 0;
  uint16_t standard_flags_ = 0;
  uint16_t custom_flags_ = 0;
};

}  // namespace mdf::detail
