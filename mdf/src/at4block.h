#pragma once
// MDF4 attachment block "##AT". The embedded bytes are taken from the file on disk while
// the block is written and are never loaded when it is read.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mdf/iattachment.h"
#include "mdfblock.h"

namespace mdf::detail {

/// "Embedded", "Compressed", "MD5" for bits 0, 1, 2, joined by "," without blanks.
std::string AttachmentFlagsText(uint16_t flags);
/// Reads a whole file into dest. An empty file gives true and no bytes.
bool FileToBuffer(const std::string& filename, ByteArray& dest);

class At4Block : public MdfBlock, public IAttachment {
 public:
  At4Block();

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] uint16_t CreatorIndex() const override { return creator_index_; }
  void SetCreatorIndex(uint16_t index) override { creator_index_ = index; }
  [[nodiscard]] bool Embedded() const override { return (flags_ & kEmbedded) != 0; }
  void SetEmbedded(bool embedded) override { SetFlag(kEmbedded, embedded); }
  [[nodiscard]] bool Compressed() const override { return (flags_ & kCompressed) != 0; }
  void SetCompressed(bool compressed) override { SetFlag(kCompressed, compressed); }
  [[nodiscard]] std::optional<std::string> Md5Text() const override;
  [[nodiscard]] const std::string& AttachedFileName() const override { return filename_; }
  void SetAttachedFileName(const std::string& filename) override { filename_ = filename; }
  [[nodiscard]] const std::string& MimeType() const override { return mime_type_; }
  void SetMimeType(const std::string& mime_type) override { mime_type_ = mime_type; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// The fields, file name, MIME type and comment; the embedded bytes stay in the file.
  size_t Read(std::streambuf& buffer) override;
  /// Writes a new block once, with the file's MD5 and size and, when embedded, its bytes.
  /// Every failure is logged; one of the attached file gives 0, one of the output rethrows
  /// its exception after the message. Link 0 is the header's to patch.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] uint16_t Flags() const { return flags_; }
  [[nodiscard]] const ByteArray& Md5() const { return md5_; }
  [[nodiscard]] uint64_t OriginalSize() const { return original_size_; }
  [[nodiscard]] uint64_t EmbeddedSize() const { return embedded_size_; }

 private:
  static constexpr uint16_t kEmbedded = 0x01;
  static constexpr uint16_t kCompressed = 0x02;
  static constexpr uint16_t kMd5Valid = 0x04;

  void SetFlag(uint16_t bit, bool set) { flags_ = static_cast<uint16_t>(set ? flags_ | bit : flags_ & ~bit); }

  uint16_t flags_ = 0;
  uint16_t creator_index_ = 0;
  ByteArray md5_;
  uint64_t original_size_ = 0;
  uint64_t embedded_size_ = 0;
  std::string filename_;
  std::string mime_type_;
};

}  // namespace mdf::detail
