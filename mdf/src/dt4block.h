#pragma once
// The plain MDF4 data blocks: a 24-byte header without links, then the payload. DT holds
// the records of a data group, SD signal data, RD/RI/RV sample reduction data, DI/DV the
// invalidation bits and values of column storage. Only DT and SD are ever written.
#include <cstdint>
#include <streambuf>
#include <string>

#include "datablock.h"

namespace mdf::detail {

/// The header-only read that every plain data block shares: the payload stays in the file.
class PlainDataBlock : public DataBlock {
 public:
  size_t Read(std::streambuf& buffer) override;
  /// Blocks this system only reads: a block in the file is never rewritten, a new one
  /// cannot be written (its layout would be unknown to the writer).
  size_t Write(std::streambuf& buffer) override;

 protected:
  /// Header rows, then "Information" / "Data Size [byte]".
  void AddDataSizeRows(std::vector<BlockProperty>& dest) const;
};

class Dt4Block : public PlainDataBlock {
 public:
  Dt4Block();
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Also takes the parent as the data group when it is one.
  void AttachToParent(MdfBlock* parent) override;
  /// A new block is appended with the bytes held in memory; a written one is not rewritten
  /// (the stream is left at its data section).
  size_t Write(std::streambuf& buffer) override;
  /// The last DT of an unfinalized file runs to the end of the file: the length becomes
  /// (end of stream - data position) + 24. A length that a block header follows stands
  /// (BlockHeaderBehind), as does one that `next_block` (a block known to begin behind the
  /// data, 0 when none) lies behind; a length not written yet (24) ends at `next_block`
  /// instead when that lies before the end: the block a logger began after this one
  /// (GrowTo). Changes memory only.
  void UpdateDataSize(std::streambuf& buffer, int64_t next_block = 0);
  /// A DT whose length its logger had not written yet (24) when it began the next block, at
  /// `next_block`: its records run up to that header. Any other block is left as it is.
  /// Changes memory only.
  void GrowTo(int64_t next_block);
  /// True once GrowTo gave the block its length: its last bytes may be the zeros that align
  /// the next block as well as records.
  [[nodiscard]] bool Grown() const { return grown_; }
  /// Cuts the data to its first `size` bytes (the whole records before a torn one); a
  /// larger size changes nothing. Changes memory only.
  void CutDataSize(uint64_t size);

 private:
  bool grown_ = false;
};

class Sd4Block : public PlainDataBlock {
 public:
  /// A written block returns its length without moving the stream.
  size_t Write(std::streambuf& buffer) override;
};

class Rd4Block : public PlainDataBlock {};
class Ri4Block : public PlainDataBlock {};
class Rv4Block : public PlainDataBlock {};

class Di4Block : public PlainDataBlock {
 public:
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override { AddDataSizeRows(dest); }
};

class Dv4Block : public PlainDataBlock {
 public:
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override { AddDataSizeRows(dest); }
};

}  // namespace mdf::detail
