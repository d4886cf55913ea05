#include "at4block.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "cryptoutil.h"
#include "flagtext.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "zlibutil.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kFileNameLink = 1;
constexpr size_t kMimeTypeLink = 2;
constexpr size_t kCommentLink = 3;
constexpr uint64_t kFixedLength = 96;

// The path as the messages show it: in double quotes, inner quotes and backslashes escaped.
std::string QuotedPath(const std::string& path) {
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

// The last component of a name with either kind of separator.
std::string BaseName(const std::string& filename) {
  const auto separator = filename.find_last_of("/\\");
  return separator == std::string::npos ? filename : filename.substr(separator + 1);
}

}  // namespace

std::string AttachmentFlagsText(uint16_t flags) {
  static constexpr std::array<const char*, 3> kWords = {"Embedded", "Compressed", "MD5"};
  return FlagNamesText(flags, kWords);
}

bool FileToBuffer(const std::string& filename, ByteArray& dest) {
  try {
    const auto size = std::filesystem::file_size(std::filesystem::path(filename));
    if (size == 0) {
      dest.clear();
      return true;
    }
    dest.assign(static_cast<size_t>(size), 0);
    std::FILE* raw = nullptr;
    if (OpenFileUtf8(raw, filename, "rb") != 0 || raw == nullptr) {
      MDF_ERROR() << "Failed to open file. File: " << filename;
      dest.clear();
      return false;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(raw, &std::fclose);
    const size_t count = std::fread(dest.data(), 1, dest.size(), file.get());
    // A read error is not a shorter file: embedding part of it would pass as the whole.
    if (std::ferror(file.get()) != 0) {
      MDF_ERROR() << "File error when reading file to byte array. Error: Failed to read the file, File: " << filename;
      dest.clear();
      return false;
    }
    dest.resize(count);
    return true;
  } catch (const std::exception& error) {
    MDF_ERROR() << "File error when reading file to byte array. Error: " << error.what() << ", File: " << filename;
    return false;
  }
}

At4Block::At4Block() { block_id_ = "##AT"; }

std::optional<std::string> At4Block::Md5Text() const {
  if ((flags_ & kMd5Valid) == 0) {
    return std::nullopt;
  }
  return BytesToHexText(md5_);
}

void At4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next AT", AddressToText(Link(kNextLink)), "Link to next attach", BlockItemType::LinkItem);
  dest.emplace_back("File Name TX", AddressToText(Link(kFileNameLink)), filename_, BlockItemType::LinkItem);
  dest.emplace_back("Mime Type TX", AddressToText(Link(kMimeTypeLink)), mime_type_, BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  if (Link(kFileNameLink) > 0) {
    const auto name = BaseName(filename_);
    dest.emplace_back("File Name", name, name != filename_ ? filename_ : std::string());
  }
  if (Link(kMimeTypeLink) > 0) {
    dest.emplace_back("File Type", mime_type_);
  }
  dest.emplace_back("Flags", AttachmentFlagsText(flags_));
  dest.emplace_back("Creator Index", std::to_string(creator_index_));
  if ((flags_ & kMd5Valid) != 0) {
    dest.emplace_back("MD5 Checksum", BytesToHexText(md5_));
  }
  dest.emplace_back("Original Size [byte]", std::to_string(original_size_));
  dest.emplace_back("Embedded Size [byte]", std::to_string(embedded_size_));
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

size_t At4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadNumber(buffer, flags_);
  bytes += ReadNumber(buffer, creator_index_);
  uint32_t reserved = 0;
  bytes += ReadNumber(buffer, reserved);
  bytes += ReadBytes(buffer, md5_, 16);
  bytes += ReadNumber(buffer, original_size_);
  bytes += ReadNumber(buffer, embedded_size_);
  filename_ = LoadTx4Text(buffer, kFileNameLink);
  mime_type_ = LoadTx4Text(buffer, kMimeTypeLink);
  LoadMdComment(buffer, kCommentLink);
  return bytes;
}

size_t At4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return 0;
  }
  bool writing = false;
  try {
    const std::filesystem::path path(filename_);
    if (!std::filesystem::exists(path)) {
      MDF_ERROR() << "Attachment File doesn't exist. File: " << filename_;
      return 0;
    }
    if (CreateMd5FileChecksum(filename_, md5_)) {
      flags_ |= kMd5Valid;
    }
    original_size_ = std::filesystem::file_size(path);

    ByteArray content;
    if (Embedded() && Compressed()) {
      if (!CompressFile(filename_, content)) {
        MDF_ERROR() << "Compress failure. File: " << QuotedPath(filename_);
        return 0;
      }
    } else if (Embedded()) {
      if (!FileToBuffer(filename_, content)) {
        MDF_ERROR() << "File to buffer failure. File: " << QuotedPath(filename_);
        return 0;
      }
    }
    embedded_size_ = content.size();
    block_id_ = "##AT";
    block_length_ = kFixedLength + embedded_size_;
    link_list_.resize(4, 0);

    writing = true;
    StoreTx4Text(buffer, kFileNameLink, filename_);
    StoreTx4Text(buffer, kMimeTypeLink, mime_type_);
    StoreMdComment(buffer, kCommentLink);

    size_t bytes = MdfBlock::Write(buffer);
    bytes += WriteNumber(buffer, flags_);
    bytes += WriteNumber(buffer, creator_index_);
    bytes += WriteZeroBytes(buffer, 4);
    if (md5_.size() == 16) {
      bytes += WriteBytes(buffer, md5_);
    } else {
      bytes += WriteZeroBytes(buffer, 16);
    }
    bytes += WriteNumber(buffer, original_size_);
    bytes += WriteNumber(buffer, embedded_size_);
    bytes += WriteBytes(buffer, content);
    PatchBlockLength(buffer, bytes);
    return bytes;
  } catch (const std::exception& error) {
    MDF_ERROR() << "Attachment File error. Error: " << error.what() << ", File: " << filename_;
    // An attached file that cannot be had leaves the attachment out; output that failed
    // leaves the file short, which the file's write must report.
    if (writing) throw;
    return 0;
  }
}

}  // namespace mdf::detail
