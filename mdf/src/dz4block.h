#pragma once
// The zipped data block: the payload of a DT, SD, RD ... block deflated with zlib, after a
// byte transposition when the zip type is 1. Readers see the inflated payload.
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

#include "datablock.h"

namespace mdf::detail {

/// "ZLIB Deflate" (0), "Transposition + ZLIB Deflate" (1), "Unknown".
std::string ZipTypeText(uint8_t zip_type);

class Inflater;

class Dz4Block : public DataBlock {
 public:
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  size_t Read(std::streambuf& buffer) override;
  /// Writes a new block once; a written block is left as it is.
  size_t Write(std::streambuf& buffer) override;

  /// Deflate cannot expand one input byte to more than this many output bytes.
  static constexpr uint64_t kMaxInflateRatio = 1032;
  /// The largest original length a reader of records inflates at once: a longer block is
  /// inflated in pieces (StreamInPieces), which costs a second inflation for the check of its
  /// end. Writers zip records in blocks of about 4 MiB (bench_datablocks, bench_unsorted):
  /// those keep the one inflation. A transposed block must be held whole to be undone,
  /// whatever its length; what it holds is taken from the file's memory account.
  static constexpr uint64_t kMaxWholeInflate = uint64_t{16} << 20;

  /// The original (inflated) length.
  [[nodiscard]] uint64_t DataSize() const override { return orig_data_length_; }
  /// The original length when the compressed bytes lie in the file (Read has bounded it
  /// by kMaxInflateRatio times their count), else nothing: the data end before the block.
  [[nodiscard]] uint64_t DataInFile(int64_t file_size) const override;
  /// Inflates into the sink; returns the original length, or 0 when inflation failed. A
  /// transposed block is held whole on the way, in the file's memory account.
  uint64_t CopyDataToStream(std::streambuf& buffer, std::streambuf& dest) const override;
  /// Inflates into dest at index. A block that does not inflate to its original length
  /// throws "Failed to inflate DZ block"; its bytes are never delivered as zeros. Undoing a
  /// transposition takes a copy of the block's length from the file's memory account.
  uint64_t CopyDataToBuffer(std::streambuf& buffer, ByteArray& dest, uint64_t& index) const override;
  /// An inflater over the block's stream, to read its original bytes in pieces, after the
  /// whole stream was inflated once through `scratch` (not resized; not empty) and found to
  /// give exactly the original length: a damaged stream shows only at its end, and none of
  /// its bytes may be handed on before. Throws "Failed to inflate DZ block" when it does not
  /// inflate so, or is not of zip type 0 (a transposed block is read whole).
  [[nodiscard]] std::unique_ptr<Inflater> StreamInPieces(std::streambuf& buffer, ByteArray& scratch) const;
  /// Loads the compressed bytes.
  uint64_t LoadData(std::streambuf& buffer) override;
  /// Compresses the payload into the block. False when it cannot be compressed; the block
  /// then holds no data, so that it is never written with a truncated stream.
  bool SetData(const ByteArray& data) override;
  [[nodiscard]] bool HoldsRdData() const override { return BlockType() == "DZ" && orig_block_type_ == "RD"; }

  [[nodiscard]] const std::string& OrigBlockType() const { return orig_block_type_; }
  void OrigBlockType(const std::string& type) { orig_block_type_ = type; }
  [[nodiscard]] uint8_t Type() const { return type_; }
  void Type(uint8_t type) { type_ = type; }
  [[nodiscard]] uint32_t Parameter() const { return parameter_; }
  void Parameter(uint32_t parameter) { parameter_ = parameter; }
  [[nodiscard]] uint64_t OrigDataLength() const { return orig_data_length_; }
  [[nodiscard]] uint64_t DataLength() const { return data_length_; }

 private:
  /// Reads the compressed bytes and inflates them into out (orig length bytes).
  void InflateInto(std::streambuf& buffer, uint8_t* out) const;
  /// Undoes the transposition of the original bytes at `data`.
  void Untranspose(uint8_t* data) const;

  std::string orig_block_type_ = "DT";
  uint8_t type_ = 0;
  uint32_t parameter_ = 0;
  uint64_t orig_data_length_ = 0;
  uint64_t data_length_ = 0;
};

/// A new zipped block: original type "DT", zip type 0, no data; its id is set when written.
std::unique_ptr<Dz4Block> CreateDz4Block();

}  // namespace mdf::detail
