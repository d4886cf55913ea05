#pragma once
// Base of every MDF3 and MDF4 block and the stream primitives the blocks are read and
// written with. All I/O goes through a caller-supplied stream buffer that has one position
// for reading and writing, as a file buffer has.
#include <cstdint>
#include <cstring>
#include <ios>
#include <memory>
#include <streambuf>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "byteorder.h"
#include "mdf/blockproperty.h"
#include "mdf/mdfexception.h"

namespace mdf {

class IMetaData;
class MemoryAccount;

/// Opens the file behind a file buffer with shared access, retrying a busy file for 5 s.
/// Buffers that are not file buffers, and an empty name, need no opening: true.
bool OpenMdfFile(std::streambuf& buffer, const std::string& utf8_filename, std::ios_base::openmode mode);

namespace detail {

class Md4Block;
struct BlockLayout;
enum class LinkNeed : uint8_t;

/// No block tree is deeper: the reader's nesting bounds (readguard.h) add up below it, so a
/// walk up the parents that goes on longer follows a wiring mistake.
inline constexpr size_t kMaxTreeDepth = 256;

using ByteArray = std::vector<uint8_t>;

// Stream primitives. Failures throw MdfIoFailure / MdfRuntimeError with fixed texts.
size_t ReadFixedText(std::streambuf& buffer, std::string& text, size_t nof_bytes);
size_t WriteFixedText(std::streambuf& buffer, const std::string& text, size_t nof_bytes);
std::string ReadBlockTypeText(std::streambuf& buffer);
size_t ReadBytes(std::streambuf& buffer, ByteArray& dest, uint64_t nof_bytes);
size_t WriteBytes(std::streambuf& buffer, const ByteArray& source);
size_t WriteZeroBytes(std::streambuf& buffer, uint64_t nof_bytes);
int64_t GetStreamPosition(std::streambuf& buffer);
int64_t GetLastStreamPosition(std::streambuf& buffer);
void SetStreamPosition(std::streambuf& buffer, int64_t position);
void SetFirstStreamPosition(std::streambuf& buffer);
int64_t AdvanceStreamPosition(std::streambuf& buffer, int64_t nof_bytes);
std::string BytesToHexText(const ByteArray& bytes);
std::string AddressToText(int64_t address);

class MdfBlock {
 public:
  MdfBlock() = default;
  virtual ~MdfBlock();
  MdfBlock(const MdfBlock&) = delete;
  MdfBlock& operator=(const MdfBlock&) = delete;

  [[nodiscard]] virtual int64_t FilePosition() const { return file_position_; }
  /// "HD" for "##HD", else the whole id ("ID", MDF3 "CG").
  [[nodiscard]] virtual std::string BlockType() const;
  virtual void GetBlockProperty(std::vector<BlockProperty>& dest) const;
  [[nodiscard]] virtual MdfBlock* FindByPosition(int64_t position);
  virtual void AttachToParent(MdfBlock* parent);
  virtual size_t Read(std::streambuf& buffer) = 0;
  /// Writes the block header at the (8-byte aligned, for MDF4) end of the stream.
  virtual size_t Write(std::streambuf& buffer);
  /// Display text of the comment: at most 40 characters and " ...", "" without one.
  [[nodiscard]] virtual std::string CommentText() const;
  /// Makes the comment an MD block (a TX comment becomes its "TX" element) and returns it.
  virtual IMetaData* MakeMetaData();
  /// The comment when it is an MD block, else null.
  [[nodiscard]] virtual const IMetaData* MetaDataInterface() const;

  // Comment and text links. The index is the link of the block's own layout. The members
  // that make or look into MD and TX blocks are defined in blockfactory.cpp, above them.
  /// Reads the comment (TX or MD, always as an Md4Block) unless one is loaded or the link is 0.
  void LoadMdComment(std::streambuf& buffer, size_t index);
  /// The whole, trimmed text of the TX block at the link; "" for no link.
  [[nodiscard]] std::string LoadTx4Text(std::streambuf& buffer, size_t index);
  [[nodiscard]] std::string LoadTx3Text(std::streambuf& buffer, size_t index);
  /// Writes the comment and links it, while the link is still 0. Blocks once written stay.
  void StoreMdComment(std::streambuf& buffer, size_t index);
  /// Writes a TX block holding a non-empty text and links it, while the link is still 0.
  void StoreTx4Text(std::streambuf& buffer, size_t index, const std::string& text);
  /// Replaces the comment by a new MD (or TX, for plain text) block holding the text.
  void AssignMdComment(const std::string& text);
  [[nodiscard]] Md4Block* CommentAsMd4() const;
  /// The comment's text: an MD comment's display text, a TX comment's whole text.
  [[nodiscard]] std::string RawComment() const;

  [[nodiscard]] const std::string& BlockId() const { return block_id_; }
  [[nodiscard]] uint16_t ByteOrder() const { return byte_order_; }
  [[nodiscard]] uint16_t Version() const { return version_; }
  [[nodiscard]] uint16_t BlockSize() const { return block_size_; }
  [[nodiscard]] uint64_t BlockLength() const { return block_length_; }
  [[nodiscard]] uint64_t LinkCount() const { return link_count_; }
  [[nodiscard]] const std::vector<int64_t>& Links() const { return link_list_; }
  /// Link by index; 0 when the block has no such link.
  [[nodiscard]] int64_t Link(size_t index) const { return index < link_list_.size() ? link_list_[index] : 0; }
  [[nodiscard]] MdfBlock* Parent() const { return parent_; }
  [[nodiscard]] MdfBlock* Comment() const { return comment_.get(); }
  [[nodiscard]] bool IsBigEndian() const { return byte_order_ != 0; }
  [[nodiscard]] bool IsMdf4Block() const { return !block_id_.empty() && block_id_[0] == '#'; }

  /// This block or the nearest block above it of the type; null when none.
  [[nodiscard]] MdfBlock* FindAncestorHd();
  [[nodiscard]] MdfBlock* FindAncestorDg();
  [[nodiscard]] MdfBlock* FindAncestorCg();
  [[nodiscard]] const MdfBlock* FindAncestorHd() const;
  [[nodiscard]] const MdfBlock* FindAncestorDg() const;
  [[nodiscard]] const MdfBlock* FindAncestorCg() const;

  /// The memory account of the file whose tree holds this block: the nearest one set on this
  /// block or a block above it (the file sets one on its root); null for a tree without one,
  /// whose reads are not counted.
  [[nodiscard]] MemoryAccount* Memory() const;
  void SetMemoryAccount(MemoryAccount* account) { memory_ = account; }

  /// Reads the header and links of an MDF 4 block. Throws when the block cannot be read: its
  /// header is cut, or it is shorter than its type lays out (blocklayout.h); reports a block
  /// other than a payload block that claims more bytes than the file holds as damage.
  size_t ReadMdf4Header(std::streambuf& buffer);
  /// Reports each link of the block's layout (blocklayout.h) that is NIL where the need
  /// says it may not be; ReadMdf4Header asks for the links every block of the type needs,
  /// a block's read for those its fields call for, once it has read them, and the file for a
  /// VLSD channel's data once its group's records are counted.
  void CheckNeededLinks(LinkNeed need) const;
  /// Throws when the block's layout (blocklayout.h) counts its links beyond the fixed ones by
  /// its fields, and it has other than `counted` of them: its fields were read in the wrong place.
  void CheckCountedLinks(uint64_t counted) const;
  size_t ReadMdf3Header(std::streambuf& buffer);
  size_t ReadLinks32(std::streambuf& buffer, uint64_t nof_links);
  void SeekToData(std::streambuf& buffer) const;
  void PatchBlockLength(std::streambuf& buffer, uint64_t block_length);
  void PatchLink(std::streambuf& buffer, size_t index, int64_t link);
  /// Seeks to the end; an MDF4 block pads with zero bytes to the next 8-byte boundary.
  void GoToStreamEnd(std::streambuf& buffer) const;

  // Numbers in the block's byte order, any arithmetic type of 1, 2, 4 or 8 bytes.
  template <typename T>
  size_t ReadNumber(std::streambuf& buffer, T& value) const;
  template <typename T>
  size_t WriteNumber(std::streambuf& buffer, T value) const;
  size_t ReadByte(std::streambuf& buffer, uint8_t& value) const { return ReadNumber(buffer, value); }
  size_t WriteByte(std::streambuf& buffer, uint8_t value) const { return WriteNumber(buffer, value); }
  template <typename T>
  size_t ReadValue(std::streambuf& buffer, T& value) const {
    return ReadNumber(buffer, value);
  }
  template <typename T>
  size_t WriteValue(std::streambuf& buffer, T value) const {
    return WriteNumber(buffer, value);
  }
  size_t ReadBool16(std::streambuf& buffer, bool& value) const;
  size_t WriteBool16(std::streambuf& buffer, bool value) const;

 protected:
  int64_t file_position_ = 0;
  std::string block_id_;
  uint16_t byte_order_ = 0;
  uint16_t version_ = 420;
  uint16_t block_size_ = 0;
  uint64_t block_length_ = 0;
  uint64_t link_count_ = 0;
  std::vector<int64_t> link_list_;
  std::unique_ptr<MdfBlock> comment_;
  MdfBlock* parent_ = nullptr;

 private:
  MemoryAccount* memory_ = nullptr;

  /// Throws when the block has fewer links or bytes than its type lays out.
  void CheckLayout(const BlockLayout& layout) const;
  /// Reports a block whose fixed part (`fixed_size` bytes) the file holds but whose length
  /// runs past its end.
  void CheckEndInFile(std::streambuf& buffer, uint64_t fixed_size) const;

  // One walk for the const and the mutable look-up.
  template <typename Self>
  static Self* FindAncestor(Self& self, const char* type);
};

namespace internal {
template <size_t N>
struct UnsignedOfSize;
template <>
struct UnsignedOfSize<1> {
  using type = uint8_t;
};
template <>
struct UnsignedOfSize<2> {
  using type = uint16_t;
};
template <>
struct UnsignedOfSize<4> {
  using type = uint32_t;
};
template <>
struct UnsignedOfSize<8> {
  using type = uint64_t;
};
}  // namespace internal

template <typename T>
size_t MdfBlock::ReadNumber(std::streambuf& buffer, T& value) const {
  static_assert(std::is_arithmetic_v<T> && (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
  using Raw = typename internal::UnsignedOfSize<sizeof(T)>::type;
  uint8_t bytes[sizeof(T)];
  if (buffer.sgetn(reinterpret_cast<char*>(bytes), sizeof(T)) != static_cast<std::streamsize>(sizeof(T))) {
    throw MdfIoFailure("Invalid number of bytes read");
  }
  const auto raw = static_cast<Raw>(LoadUnsigned(bytes, sizeof(T), byte_order_ != 0));
  std::memcpy(&value, &raw, sizeof(T));
  return sizeof(T);
}

template <typename T>
size_t MdfBlock::WriteNumber(std::streambuf& buffer, T value) const {
  static_assert(std::is_arithmetic_v<T> && (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
  using Raw = typename internal::UnsignedOfSize<sizeof(T)>::type;
  Raw raw = 0;
  std::memcpy(&raw, &value, sizeof(T));
  uint8_t bytes[sizeof(T)];
  StoreUnsigned(bytes, raw, sizeof(T), byte_order_ != 0);
  if (buffer.sputn(reinterpret_cast<const char*>(bytes), sizeof(T)) != static_cast<std::streamsize>(sizeof(T))) {
    throw MdfRuntimeError("Invalid number of bytes written");
  }
  return sizeof(T);
}

}  // namespace detail
}  // namespace mdf
