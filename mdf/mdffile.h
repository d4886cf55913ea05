#pragma once
// One open MDF file as a tree of blocks below its identification and header blocks. The file
// object never opens a file by name: every read and write is handed the stream buffer.
#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

namespace mdf {

class IAttachment;
class IBlock;
class IDataGroup;
class IHeader;

using AttachmentList = std::vector<IAttachment*>;
using DataGroupList = std::vector<IDataGroup*>;

class MdfFile {
 public:
  virtual ~MdfFile() = default;
  MdfFile(const MdfFile&) = delete;
  MdfFile& operator=(const MdfFile&) = delete;

  /// Appends the header's attachments / data groups in list order.
  virtual void Attachments(AttachmentList& dest) const = 0;
  virtual void DataGroups(DataGroupList& dest) const = 0;
  /// The format identifier, trimmed ("4.20"); "" without an identification block.
  [[nodiscard]] virtual std::string Version() const = 0;
  virtual void MinorVersion(int minor) = 0;
  [[nodiscard]] virtual std::string ProgramId() const = 0;
  virtual void ProgramId(const std::string& program_id) = 0;
  [[nodiscard]] virtual IHeader* Header() const = 0;
  virtual IAttachment* CreateAttachment() = 0;
  virtual IDataGroup* CreateDataGroup() = 0;
  [[nodiscard]] virtual bool IsMdf4() const = 0;
  /// The identification and header blocks, each read once.
  virtual void ReadHeader(std::streambuf& buffer) = 0;
  /// The header, data groups with their channel groups, and attachments.
  virtual void ReadMeasurementInfo(std::streambuf& buffer) = 0;
  /// Every block but the data; an unfinalized MDF4 file is then finalized in memory.
  virtual void ReadEverythingButData(std::streambuf& buffer) = 0;
  virtual bool Write(std::streambuf& buffer) = 0;
  /// The identification block's answer and flag words; true and 0, 0 without one.
  virtual bool IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const = 0;
  virtual void SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags, uint16_t custom_flags) = 0;
  /// Whether the finalization while reading succeeded.
  [[nodiscard]] virtual bool FinalizedOnRead() const = 0;
  /// The data group holding the block at the block's file position; null for none.
  [[nodiscard]] virtual IDataGroup* FindParentDataGroup(const IBlock& block) const = 0;

  [[nodiscard]] const std::string& Name() const { return name_; }
  void Name(const std::string& name) { name_ = name; }
  [[nodiscard]] const std::string& FileName() const { return filename_; }
  /// Stores the full path; the name, when still empty, becomes the path's stem.
  void FileName(const std::string& filename);
  /// 4 for "4.20"; 0 with a logged error when the version has no number.
  [[nodiscard]] int MainVersion() const;
  /// 20 for "4.20"; 0 with a logged error when there is none.
  [[nodiscard]] int MinorVersion() const;

  void SetMinorVersion(int minor) { MinorVersion(minor); }
  void SetProgramId(const std::string& program_id) { ProgramId(program_id); }

 protected:
  MdfFile() = default;

 private:
  std::string name_;
  std::string filename_;
};

/// The last path component without its extension. "/" and "\" both separate, a drive
/// ("D:") is dropped, "." and ".." keep their dots, and a leading dot is no extension.
std::string PathStem(const std::string& path);

}  // namespace mdf
