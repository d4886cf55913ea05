#include "mdfblock.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <limits>
#include <thread>

#include "blocklayout.h"
#include "damage.h"
#include "fileopener.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "platformshim.h"

namespace {

constexpr auto kInOut = std::ios_base::in | std::ios_base::out;

// Seeks both positions; a buffer opened for input only (a read-only memory buffer) refuses
// that, so it is asked for its input position alone.
std::streampos SeekOff(std::streambuf& buffer, std::streamoff offset, std::ios_base::seekdir way) {
  auto result = buffer.pubseekoff(offset, way, kInOut);
  if (result < 0) {
    result = buffer.pubseekoff(offset, way, std::ios_base::in);
  }
  return result;
}

std::streampos SeekPos(std::streambuf& buffer, int64_t position) {
  auto result = buffer.pubseekpos(position, kInOut);
  if (result < 0) {
    result = buffer.pubseekpos(position, std::ios_base::in);
  }
  return result;
}

// Reads above this size are checked against the bytes left in the stream before allocating.
constexpr uint64_t kUncheckedReadSize = 64 * 1024;

}  // namespace

namespace mdf::detail {

size_t ReadFixedText(std::streambuf& buffer, std::string& text, size_t nof_bytes) {
  text.clear();
  size_t consumed = 0;
  bool zero_found = false;
  while (consumed < nof_bytes) {
    const auto input = buffer.sbumpc();
    if (input == std::streambuf::traits_type::eof()) {
      break;  // The number reads that follow report the end of the stream.
    }
    ++consumed;
    if (input == 0) {
      zero_found = true;
      break;
    }
    text.push_back(std::streambuf::traits_type::to_char_type(input));
  }
  if (zero_found && consumed < nof_bytes) {
    // The field's rest is passed over, but never beyond the end of the stream: a damaged
    // length must not make the outcome depend on how far a stream lets a seek go.
    const int64_t position = GetStreamPosition(buffer);
    const int64_t end = GetLastStreamPosition(buffer);
    const uint64_t left = end > position ? static_cast<uint64_t>(end - position) : 0;
    SetStreamPosition(buffer, position + static_cast<int64_t>(std::min<uint64_t>(nof_bytes - consumed, left)));
  }
  TrimSpace(text);
  return nof_bytes;
}

size_t WriteFixedText(std::streambuf& buffer, const std::string& text, size_t nof_bytes) {
  const size_t text_bytes = std::min(text.size(), nof_bytes);
  if (buffer.sputn(text.data(), static_cast<std::streamsize>(text_bytes)) != static_cast<std::streamsize>(text_bytes)) {
    throw MdfRuntimeError("Invalid number of bytes written");
  }
  if (text_bytes < nof_bytes) {
    WriteZeroBytes(buffer, nof_bytes - text_bytes);
  }
  return nof_bytes;
}

std::string ReadBlockTypeText(std::streambuf& buffer) {
  std::string type;
  ReadFixedText(buffer, type, 2);
  if (type == "##") {
    ReadFixedText(buffer, type, 2);
  }
  return type;
}

size_t ReadBytes(std::streambuf& buffer, ByteArray& dest, uint64_t nof_bytes) {
  if (nof_bytes == 0) {
    dest.clear();
    return 0;
  }
  if (nof_bytes > kUncheckedReadSize) {
    const int64_t position = GetStreamPosition(buffer);
    const int64_t last = GetLastStreamPosition(buffer);
    SetStreamPosition(buffer, position);
    if (last < position || nof_bytes > static_cast<uint64_t>(last - position)) {
      throw MdfIoFailure("End of stream reached (EOF).");
    }
  }
  dest.resize(nof_bytes);
  if (buffer.sgetn(reinterpret_cast<char*>(dest.data()), static_cast<std::streamsize>(nof_bytes)) !=
      static_cast<std::streamsize>(nof_bytes)) {
    throw MdfIoFailure("End of stream reached (EOF).");
  }
  return nof_bytes;
}

size_t WriteBytes(std::streambuf& buffer, const ByteArray& source) {
  if (source.empty()) {
    return 0;
  }
  if (buffer.sputn(reinterpret_cast<const char*>(source.data()), static_cast<std::streamsize>(source.size())) !=
      static_cast<std::streamsize>(source.size())) {
    throw MdfIoFailure("End of stream reached (EOF).");
  }
  return source.size();
}

size_t WriteZeroBytes(std::streambuf& buffer, uint64_t nof_bytes) {
  static const std::array<char, 4096> kZeros{};
  for (uint64_t left = nof_bytes; left > 0;) {
    const auto chunk = static_cast<std::streamsize>(std::min<uint64_t>(left, kZeros.size()));
    if (buffer.sputn(kZeros.data(), chunk) != chunk) {
      throw MdfIoFailure("End of stream reached (EOF).");
    }
    left -= static_cast<uint64_t>(chunk);
  }
  return nof_bytes;
}

int64_t GetStreamPosition(std::streambuf& buffer) {
  const auto position = SeekOff(buffer, 0, std::ios_base::cur);
  if (position < 0) {
    throw MdfIoFailure("Failed to get a stream position");
  }
  return position;
}

int64_t GetLastStreamPosition(std::streambuf& buffer) {
  const auto position = SeekOff(buffer, 0, std::ios_base::end);
  if (position < 0) {
    throw MdfIoFailure("Failed to get last stream position");
  }
  return position;
}

void SetStreamPosition(std::streambuf& buffer, int64_t position) {
  if (position < 0 || SeekPos(buffer, position) < 0) {
    throw MdfIoFailure("Failed to set a stream position");
  }
}

void SetFirstStreamPosition(std::streambuf& buffer) {
  if (SeekPos(buffer, 0) < 0) {
    throw MdfIoFailure("Failed to set first stream position");
  }
}

int64_t AdvanceStreamPosition(std::streambuf& buffer, int64_t nof_bytes) {
  if (SeekOff(buffer, nof_bytes, std::ios_base::cur) < 0) {
    throw MdfIoFailure("Failed to set a stream position");
  }
  return nof_bytes;
}

std::string BytesToHexText(const ByteArray& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const auto byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::string AddressToText(int64_t address) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  auto value = static_cast<uint64_t>(address);  // A negative (new) address shows as unsigned.
  std::string digits;
  do {
    digits.push_back(kDigits[value & 0x0F]);
    value >>= 4;
  } while (value != 0);
  std::reverse(digits.begin(), digits.end());
  return "0x" + digits;
}

MdfBlock::~MdfBlock() = default;

std::string MdfBlock::BlockType() const {
  if (block_id_.size() == 4 && block_id_[0] == '#' && block_id_[1] == '#') {
    return block_id_.substr(2);
  }
  return block_id_;
}

void MdfBlock::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  dest.emplace_back("Header", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Address", AddressToText(FilePosition()), "", BlockItemType::LinkItem);
  dest.emplace_back("Type", BlockType());
  dest.emplace_back("Length", std::to_string(block_length_));
  dest.emplace_back("Links", std::to_string(link_count_));
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
}

MdfBlock* MdfBlock::FindByPosition(int64_t position) {
  if (position <= 0) {
    return nullptr;  // 0 is "no link", never a block.
  }
  if (FilePosition() == position) {
    return this;
  }
  if (comment_ && comment_->FilePosition() == position) {
    return comment_.get();
  }
  return nullptr;
}

void MdfBlock::AttachToParent(MdfBlock* parent) {
  parent_ = parent;
  if (parent != nullptr) {
    byte_order_ = parent->byte_order_;
    version_ = parent->version_;
  }
}

size_t MdfBlock::Write(std::streambuf& buffer) {
  assert(!block_id_.empty() && "a block class must set its id before writing");
  const auto end = SeekOff(buffer, 0, std::ios_base::end);
  if (end < 0) {
    throw MdfIoFailure("Failed to set last file position");
  }
  int64_t position = end;
  if (IsMdf4Block()) {
    const int64_t fill = (8 - position % 8) % 8;
    WriteZeroBytes(buffer, static_cast<uint64_t>(fill));
    position += fill;
  }
  file_position_ = position;
  link_count_ = link_list_.size();

  if (IsMdf4Block()) {
    WriteFixedText(buffer, block_id_, 4);
    WriteZeroBytes(buffer, 4);
    WriteNumber(buffer, block_length_);
    WriteNumber(buffer, link_count_);
    for (const auto link : link_list_) {
      WriteNumber(buffer, static_cast<uint64_t>(link));
    }
    return 24 + 8 * link_list_.size();
  }
  WriteFixedText(buffer, block_id_, 2);
  WriteNumber(buffer, block_size_);
  for (const auto link : link_list_) {
    WriteNumber(buffer, static_cast<uint32_t>(link));
  }
  return 4 + 4 * link_list_.size();
}

template <typename Self>
Self* MdfBlock::FindAncestor(Self& self, const char* type) {
  // Parents form a tree built by the owners; the bound only guards against a wiring mistake.
  Self* block = &self;
  for (size_t depth = 0; block != nullptr && depth < kMaxTreeDepth; ++depth, block = block->parent_) {
    if (block->BlockType() == type) {
      return block;
    }
  }
  return nullptr;
}

MdfBlock* MdfBlock::FindAncestorHd() { return FindAncestor(*this, "HD"); }
MdfBlock* MdfBlock::FindAncestorDg() { return FindAncestor(*this, "DG"); }
MdfBlock* MdfBlock::FindAncestorCg() { return FindAncestor(*this, "CG"); }
const MdfBlock* MdfBlock::FindAncestorHd() const { return FindAncestor(*this, "HD"); }
const MdfBlock* MdfBlock::FindAncestorDg() const { return FindAncestor(*this, "DG"); }
const MdfBlock* MdfBlock::FindAncestorCg() const { return FindAncestor(*this, "CG"); }

MemoryAccount* MdfBlock::Memory() const {
  const MdfBlock* block = this;
  for (size_t depth = 0; block != nullptr && depth < kMaxTreeDepth; ++depth, block = block->parent_) {
    if (block->memory_ != nullptr) return block->memory_;
  }
  return nullptr;
}

size_t MdfBlock::ReadMdf4Header(std::streambuf& buffer) {
  file_position_ = GetStreamPosition(buffer);
  ReadFixedText(buffer, block_id_, 4);
  uint32_t reserved = 0;
  ReadNumber(buffer, reserved);
  ReadNumber(buffer, block_length_);
  ReadNumber(buffer, link_count_);
  block_size_ = static_cast<uint16_t>(block_length_ & 0xFFFF);
  if (file_position_ >= 0) {
    constexpr uint64_t kLast = std::numeric_limits<uint64_t>::max();
    const auto position = static_cast<uint64_t>(file_position_);
    NoteBlockStart(position);
    NoteBlockEnd(block_length_ > kLast - position ? kLast : position + block_length_);
  }

  // The links lie inside the block: a count that does not fit its length is damage, and
  // must not size a list.
  const uint64_t max_links = block_length_ < 24 ? 0 : (block_length_ - 24) / 8;
  if (link_count_ > max_links) {
    link_list_.clear();
    throw MdfIoFailure("Invalid number of bytes read");
  }
  link_list_.clear();
  // An id the format does not have lays out no links or fields, but still its header.
  static constexpr BlockLayout kUnknownLayout = {"", 0, 0, false, {}};
  const BlockLayout* known = FindBlockLayout(block_id_);
  const BlockLayout& layout = known != nullptr ? *known : kUnknownLayout;
  CheckLayout(layout);
  link_list_.reserve(static_cast<size_t>(std::min<uint64_t>(link_count_, 1024)));
  bool outside = false;
  for (uint64_t index = 0; index < link_count_; ++index) {
    uint64_t link = 0;
    ReadNumber(buffer, link);
    link_list_.push_back(static_cast<int64_t>(link));
    if (link_list_.back() < 0 && !outside) {
      // Never followed (a link is one when it is above 0), but what it led to is missing.
      outside = true;
      MDF_DAMAGE(Damage::kLinkOutsideFile) << "Link outside the file. Position: " << AddressToText(link_list_.back())
                                           << ", Block: " << AddressToText(file_position_);
    }
  }
  if (!layout.payload) {
    CheckEndInFile(buffer, MinimumLength(layout, link_count_));
  }
  CheckNeededLinks(LinkNeed::kAlways);
  return 24 + 8 * link_count_;
}

void MdfBlock::CheckNeededLinks(LinkNeed need) const {
  const BlockLayout* layout = FindBlockLayout(block_id_);
  if (layout == nullptr) return;
  for (const NeededLink& link : layout->needed) {
    if (link.name.empty() || link.need != need || Link(link.index) != 0) continue;
    MDF_DAMAGE(Damage::kNilLink) << "Required link is NIL. Block: " << AddressToText(file_position_)
                                 << ", Type: " << BlockType() << ", Link: " << link.name;
  }
}

void MdfBlock::CheckCountedLinks(uint64_t counted) const {
  const BlockLayout* layout = FindBlockLayout(block_id_);
  if (layout == nullptr || !layout->counted_links || link_count_ == layout->links + counted) return;
  throw MdfRuntimeError("Block with other links than its counts. Block: " + AddressToText(file_position_) +
                        ", Type: " + BlockType() + ", Links: " + std::to_string(link_count_) +
                        ", Expected: " + std::to_string(layout->links + counted));
}

void MdfBlock::CheckEndInFile(std::streambuf& buffer, uint64_t fixed_size) const {
  // Only a block whose fixed part the file holds: a cut one fails the reads of its fields.
  const int64_t here = GetStreamPosition(buffer);
  const int64_t end = GetLastStreamPosition(buffer);
  SetStreamPosition(buffer, here);
  const uint64_t left = end > file_position_ ? static_cast<uint64_t>(end - file_position_) : 0;
  if (block_length_ <= left || fixed_size > left) {
    return;
  }
  // What the block holds is read as far as the file has it; that it claims more is damage.
  MDF_DAMAGE(Damage::kUnreadableBlock) << "Block runs past the end of the file. Block: "
                                       << AddressToText(file_position_) << ", Type: " << BlockType()
                                       << ", Length: " << std::to_string(block_length_)
                                       << ", File size: " << std::to_string(end);
}

void MdfBlock::CheckLayout(const BlockLayout& layout) const {
  if (link_count_ < layout.links) {
    throw MdfRuntimeError("Block with fewer links than its type. Block: " + AddressToText(file_position_) +
                          ", Type: " + BlockType() + ", Links: " + std::to_string(link_count_) +
                          ", Expected: " + std::to_string(layout.links));
  }
  // The links fit the length (checked before; a length below the header has none): what is
  // left must hold the fixed fields. The length of a payload block is the data readers' to judge.
  const uint64_t links_end = kMdf4HeaderSize + kMdf4LinkSize * link_count_;
  if (!layout.payload && (block_length_ < links_end || block_length_ - links_end < layout.data_bytes)) {
    throw MdfRuntimeError("Block shorter than its type. Block: " + AddressToText(file_position_) +
                          ", Type: " + BlockType() + ", Length: " + std::to_string(block_length_) +
                          ", Expected: " + std::to_string(MinimumLength(layout, link_count_)));
  }
}

size_t MdfBlock::ReadMdf3Header(std::streambuf& buffer) {
  file_position_ = GetStreamPosition(buffer);
  ReadFixedText(buffer, block_id_, 2);
  if (block_id_ == "##") {
    throw MdfRuntimeError("MDF 4 header detected. This is not an MDF 3 file.");
  }
  ReadNumber(buffer, block_size_);
  block_length_ = block_size_;
  return 4;
}

size_t MdfBlock::ReadLinks32(std::streambuf& buffer, uint64_t nof_links) {
  link_list_.clear();
  link_count_ = 0;
  link_list_.reserve(static_cast<size_t>(std::min<uint64_t>(nof_links, 1024)));
  for (uint64_t index = 0; index < nof_links; ++index) {
    uint32_t link = 0;
    ReadNumber(buffer, link);
    link_list_.push_back(link);
  }
  link_count_ = nof_links;
  return 4 * nof_links;
}

void MdfBlock::SeekToData(std::streambuf& buffer) const {
  const bool mdf4 = !block_id_.empty() && block_id_[0] == '#';
  const uint64_t header = mdf4 ? 24 + 8 * link_count_ : 4 + 4 * link_count_;
  SetStreamPosition(buffer, file_position_ + static_cast<int64_t>(header));
}

void MdfBlock::PatchBlockLength(std::streambuf& buffer, uint64_t block_length) {
  if (file_position_ <= 0) {
    throw MdfRuntimeError("Invalid file position");
  }
  if (IsMdf4Block()) {
    if (block_length == block_length_) {
      return;
    }
    block_length_ = block_length;
    SetStreamPosition(buffer, file_position_ + 8);
    WriteNumber(buffer, block_length_);
    return;
  }
  if (static_cast<uint32_t>(block_length) == block_size_) {
    return;
  }
  block_size_ = static_cast<uint16_t>(block_length);
  block_length_ = block_length;
  SetStreamPosition(buffer, file_position_ + 2);
  WriteNumber(buffer, block_size_);
}

void MdfBlock::PatchLink(std::streambuf& buffer, size_t index, int64_t link) {
  if (index >= link_list_.size()) {
    throw MdfRuntimeError("index is out of bounds");
  }
  if (link_list_[index] == link) {
    return;
  }
  if (file_position_ > 0) {
    if (IsMdf4Block()) {
      SetStreamPosition(buffer, file_position_ + 24 + 8 * static_cast<int64_t>(index));
      WriteNumber(buffer, static_cast<uint64_t>(link));
    } else {
      SetStreamPosition(buffer, file_position_ + 4 + 4 * static_cast<int64_t>(index));
      WriteNumber(buffer, static_cast<uint32_t>(link));
    }
  }
  link_list_[index] = link;
}

void MdfBlock::GoToStreamEnd(std::streambuf& buffer) const {
  const auto end = SeekOff(buffer, 0, std::ios_base::end);
  if (end < 0) {
    throw MdfIoFailure("Failed to set last file position");
  }
  if (IsMdf4Block()) {
    const int64_t position = end;
    WriteZeroBytes(buffer, static_cast<uint64_t>((8 - position % 8) % 8));
  }
}

void MdfBlock::StoreMdComment(std::streambuf& buffer, size_t index) {
  if (!comment_) {
    return;
  }
  // Checked before anything is written: a refused link must not leave an orphan block.
  if (index >= link_list_.size()) {
    throw MdfRuntimeError("index is out of bounds");
  }
  if (link_list_[index] != 0) {
    return;
  }
  comment_->Write(buffer);
  PatchLink(buffer, index, comment_->FilePosition());
}

size_t MdfBlock::ReadBool16(std::streambuf& buffer, bool& value) const {
  uint16_t number = 0;
  const auto bytes = ReadNumber(buffer, number);
  value = number != 0;
  return bytes;
}

size_t MdfBlock::WriteBool16(std::streambuf& buffer, bool value) const {
  return WriteNumber(buffer, static_cast<uint16_t>(value ? 1 : 0));
}

}  // namespace mdf::detail

namespace mdf {
namespace {

bool IsTransientOpenError(int error) {
  return error == EBUSY || error == ETXTBSY || error == EAGAIN || error == EINTR || error == EMFILE || error == ENFILE;
}

int DefaultOpen(std::filebuf& file, const std::string& filename, std::ios_base::openmode mode) {
  // Opening a directory for reading succeeds on Linux; it is not a file.
  if (detail::platform::QueryFileKind(filename) == detail::platform::FileKind::Directory) {
    return EISDIR;
  }
  errno = 0;
  if (file.open(filename, mode) != nullptr) {
    return 0;
  }
  return errno != 0 ? errno : EIO;
}

void DefaultWait() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

detail::FileOpener& Opener() {
  static detail::FileOpener opener;
  return opener;
}

}  // namespace

namespace detail {
void SetFileOpener(FileOpener opener) { Opener() = std::move(opener); }
}  // namespace detail

bool OpenMdfFile(std::streambuf& buffer, const std::string& utf8_filename, std::ios_base::openmode mode) {
  if (utf8_filename.empty()) {
    return true;
  }
  auto* file = dynamic_cast<std::filebuf*>(&buffer);
  if (file == nullptr) {
    return true;
  }
  const auto& opener = Opener();
  const auto& open = opener.open ? opener.open : DefaultOpen;
  const auto& wait = opener.wait ? opener.wait : DefaultWait;
  try {
    // No share modes exist here; only a transient failure is worth waiting for.
    constexpr int kMaxTries = 50;  // 100 ms apart: the 5 s the message names
    for (int tries = 0; tries < kMaxTries; ++tries) {
      if (file->is_open()) {
        file->close();
      }
      const int error = open(*file, utf8_filename, mode);
      if (error == 0) {
        return true;
      }
      if (detail::platform::QueryFileKind(utf8_filename) == detail::platform::FileKind::Missing) {
        MDF_ERROR() << "The file doesn't exist. File: " << utf8_filename;
        return false;
      }
      if (!IsTransientOpenError(error)) {
        break;
      }
      wait();
    }
  } catch (const std::exception& err) {
    MDF_ERROR() << "Failed to open the file. File: " << utf8_filename << ". Error: " << err.what();
    return false;
  }
  MDF_ERROR() << "Failed to open the file due to lock timeout (5 s). File: " << utf8_filename;
  return false;
}

}  // namespace mdf
