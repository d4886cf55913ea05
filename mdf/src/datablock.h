#pragma once
// Base of every block with one data section behind its header (DT, DZ, SD, RD, ...). The
// section stays in the file; it is copied out on demand or loaded into memory.
#include <cstdint>
#include <streambuf>

#include "mdfblock.h"

namespace mdf {
class IDataGroup;
}

namespace mdf::detail {

/// What the bytes from a position to the end of the file are: a block header begun there that
/// the end of the file cut (a logger lost power while it wrote it), a whole header that only
/// zeros follow, nothing but zeros (or nothing at all), or anything else. Cut: as far as its
/// bytes other than zero reach, an id ("##" and two capitals) and reserved zeros, and no
/// length written yet when all 24 bytes are there (no block is shorter than its header).
/// Zeros may follow where it was cut (a file system that grew the file before the data
/// reached it). Never throws: bytes that cannot be read are no header.
/// Without `whole_too`, a whole header is not told from anything else (kNone), and the bytes
/// behind it are not read. A position at a multiple of 8 that lies less than 8 bytes beyond
/// the end is a block whose header was not begun yet either (kZeros): it was linked before
/// the zeros that align the header were written.
enum class HeaderAtEnd : uint8_t { kNone, kCut, kWhole, kZeros };
HeaderAtEnd BlockHeaderAtEnd(std::streambuf& buffer, int64_t position, bool whole_too = false);

/// A block header that begins where a block's bytes end (`position`), or behind the 1 to 7
/// zeros that align it to 8 bytes: a header begun at the end of the file (kCut or kWhole, as
/// BlockHeaderAtEnd tells it), or the whole header of a block the format has (a known id,
/// reserved zeros, a length and link count its layout can have) that more bytes follow:
/// kWhole with `followed`. None (kNone) for anything else, also for zeros only. Never throws.
struct HeaderBehind {
  HeaderAtEnd found = HeaderAtEnd::kNone;
  int64_t position = 0;
  bool followed = false;
};
HeaderBehind BlockHeaderBehind(std::streambuf& buffer, int64_t position);

/// True when the 24 bytes at the position are the header of a block the format has, with a
/// length and link count its layout can have; false when they cannot be read.
bool KnownHeaderAt(std::streambuf& buffer, int64_t position);

class DataBlock : public MdfBlock {
 public:
  /// Payload bytes: block length - 24, 0 for a length of 24 or less.
  [[nodiscard]] virtual uint64_t DataSize() const;
  /// The payload bytes that can be had from a file of `file_size` bytes: a section that
  /// claims more ends at the end of the file.
  [[nodiscard]] virtual uint64_t DataInFile(int64_t file_size) const;
  /// Copies the data section to the sink in chunks of at most 10,000 bytes. Returns the bytes
  /// the sink took, which is less than DataSize() when the file or the sink ran short.
  virtual uint64_t CopyDataToStream(std::streambuf& buffer, std::streambuf& dest) const;
  /// Copies the data section into dest at index and advances index. Throws
  /// "Buffer overflow detected." when it does not fit and "End of stream reached (EOF)."
  /// when the file holds fewer bytes than the block claims.
  virtual uint64_t CopyDataToBuffer(std::streambuf& buffer, ByteArray& dest, uint64_t& index) const;
  virtual void SetDataGroup(IDataGroup* data_group) { data_group_ = data_group; }
  /// True for sample reduction data: an RD block, or a block zipping one.
  [[nodiscard]] virtual bool HoldsRdData() const { return BlockType() == "RD"; }
  /// Loads the data section into memory; returns the bytes loaded.
  virtual uint64_t LoadData(std::streambuf& buffer);
  /// Sets the bytes held in memory; a writer puts them out.
  virtual bool SetData(const ByteArray& data);

  [[nodiscard]] IDataGroup* DataGroup() const { return data_group_; }
  /// File offset of the first byte of the data section; 0 when none.
  [[nodiscard]] int64_t DataPosition() const { return data_position_; }
  void DataPosition(int64_t position) { data_position_ = position; }
  [[nodiscard]] const ByteArray& Data() const { return data_; }
  /// Exchanges the bytes held with the caller's, so that a block can write bytes it is only
  /// lent without a copy of them.
  void SwapData(ByteArray& data) { data_.swap(data); }
  /// Drops the bytes held in memory and frees their storage: a writer clears every block
  /// it has written, and their bytes must not pile up over a long measurement.
  void ClearData() { ByteArray().swap(data_); }

 protected:
  int64_t data_position_ = 0;
  IDataGroup* data_group_ = nullptr;
  ByteArray data_;
};

/// Sizes a file claims add up without wrapping: a sum past what can exist stays the maximum,
/// which no bound lets pass, where a wrapped one would be small.
inline uint64_t AddSaturated(uint64_t total, uint64_t size) {
  return size > UINT64_MAX - total ? UINT64_MAX : total + size;
}

}  // namespace mdf::detail
