#include "dz4block.h"

#include "damage.h"
#include "mdf/memoryaccount.h"
#include "zlibutil.h"

namespace {
constexpr uint64_t kHeaderSize = 48;
}  // namespace

namespace mdf::detail {

std::string ZipTypeText(uint8_t zip_type) {
  switch (zip_type) {
    case 0:
      return "ZLIB Deflate";
    case 1:
      return "Transposition + ZLIB Deflate";
    default:
      return "Unknown";
  }
}

std::unique_ptr<Dz4Block> CreateDz4Block() { return std::make_unique<Dz4Block>(); }

void Dz4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Original Block Type", orig_block_type_);
  dest.emplace_back("Zip Type", ZipTypeText(type_));
  dest.emplace_back("Zip Parameter", std::to_string(parameter_));
  dest.emplace_back("Original Size  [byte]", std::to_string(orig_data_length_));
  dest.emplace_back("Data Size  [byte]", std::to_string(data_length_));
}

size_t Dz4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadFixedText(buffer, orig_block_type_, 2);
  bytes += ReadByte(buffer, type_);
  uint8_t reserved = 0;
  bytes += ReadByte(buffer, reserved);
  bytes += ReadNumber(buffer, parameter_);
  bytes += ReadNumber(buffer, orig_data_length_);
  bytes += ReadNumber(buffer, data_length_);
  data_position_ = GetStreamPosition(buffer);

  const uint64_t fixed = kHeaderSize + 8 * link_count_;
  if (block_length_ < fixed || data_length_ > block_length_ - fixed ||
      orig_data_length_ / kMaxInflateRatio > data_length_) {  // more is damage: it must not size a buffer
    throw MdfRuntimeError("Invalid DZ block lengths. Block: " + AddressToText(file_position_));
  }
  return bytes;
}

size_t Dz4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return block_length_;
  }
  block_id_ = "##DZ";
  link_list_.clear();
  block_length_ = kHeaderSize + data_length_;
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteFixedText(buffer, orig_block_type_, 2);
  bytes += WriteByte(buffer, type_);
  bytes += WriteZeroBytes(buffer, 1);
  bytes += WriteNumber(buffer, parameter_);
  bytes += WriteNumber(buffer, orig_data_length_);
  bytes += WriteNumber(buffer, data_length_);
  bytes += WriteBytes(buffer, data_);
  PatchBlockLength(buffer, bytes);
  return bytes;
}

uint64_t Dz4Block::DataInFile(int64_t file_size) const {
  if (orig_data_length_ == 0 || data_position_ <= 0 || data_position_ > file_size ||
      data_length_ > static_cast<uint64_t>(file_size - data_position_)) {
    return 0;
  }
  return orig_data_length_;
}

void Dz4Block::InflateInto(std::streambuf& buffer, uint8_t* out) const {
  SetStreamPosition(buffer, data_position_);
  ByteArray compressed;
  ReadBytes(buffer, compressed, data_length_);
  uint64_t produced = 0;
  if (!internal::Inflate(compressed.data(), compressed.size(), out, orig_data_length_, produced,
                         internal::kMaxZlibChunk) ||
      produced != orig_data_length_) {
    throw MdfRuntimeError("Failed to inflate DZ block");
  }
}

uint64_t Dz4Block::CopyDataToStream(std::streambuf& buffer, std::streambuf& dest) const {
  if (data_position_ <= 0 || orig_data_length_ == 0 || data_length_ == 0) {
    return 0;
  }
  SetStreamPosition(buffer, data_position_);
  if (type_ == 0) {
    uint64_t produced = 0;
    const bool ok = DecompressStream(buffer, data_length_, dest, produced);
    return ok && produced == orig_data_length_ ? orig_data_length_ : 0;
  }
  if (type_ != 1) {
    return 0;
  }
  ByteArray compressed;
  ReadBytes(buffer, compressed, data_length_);
  MemoryCharge held;
  held.Hold(Memory(), orig_data_length_);
  ByteArray inflated(orig_data_length_);
  if (!DecompressBuffer(compressed, inflated) || inflated.size() != orig_data_length_) {
    return 0;
  }
  Untranspose(inflated.data());
  const auto size = static_cast<std::streamsize>(inflated.size());
  return dest.sputn(reinterpret_cast<const char*>(inflated.data()), size) == size ? orig_data_length_ : 0;
}

uint64_t Dz4Block::CopyDataToBuffer(std::streambuf& buffer, ByteArray& dest, uint64_t& index) const {
  if (data_position_ <= 0 || orig_data_length_ == 0) {
    return 0;
  }
  if (index > dest.size() || orig_data_length_ > dest.size() - index) {
    throw MdfRuntimeError("Buffer overflow detected.");
  }
  // An unknown zip type or a missing stream cannot produce the bytes the block claims.
  if (data_length_ == 0 || type_ > 1) {
    throw MdfRuntimeError("Failed to inflate DZ block");
  }
  InflateInto(buffer, dest.data() + index);
  if (type_ == 1) {
    Untranspose(dest.data() + index);
  }
  index += orig_data_length_;
  return orig_data_length_;
}

void Dz4Block::Untranspose(uint8_t* data) const {
  MemoryCharge copy;  // the rows are copied once to be moved
  copy.Hold(Memory(), orig_data_length_);
  UntransposeBytes(data, static_cast<size_t>(orig_data_length_), parameter_);
}

std::unique_ptr<Inflater> Dz4Block::StreamInPieces(std::streambuf& buffer, ByteArray& scratch) const {
  if (type_ != 0 || data_position_ <= 0 || data_length_ == 0 || scratch.empty()) {
    throw MdfRuntimeError("Failed to inflate DZ block");
  }
  Inflater check(buffer, data_position_, data_length_);
  uint64_t total = 0;
  while (!check.Ended()) {
    uint64_t got = 0;
    // More than the original length is damage already: the check stops there.
    if (!check.Read(scratch.data(), scratch.size(), got) || got > orig_data_length_ - total) {
      throw MdfRuntimeError("Failed to inflate DZ block");
    }
    total += got;
  }
  if (total != orig_data_length_ || !check.AllInputUsed()) {
    throw MdfRuntimeError("Failed to inflate DZ block");
  }
  return std::make_unique<Inflater>(buffer, data_position_, data_length_);
}

uint64_t Dz4Block::LoadData(std::streambuf& buffer) {
  if (data_position_ <= 0) {
    return 0;
  }
  SetStreamPosition(buffer, data_position_);
  return ReadBytes(buffer, data_, data_length_);
}

bool Dz4Block::SetData(const ByteArray& data) {
  if (type_ == 1 && parameter_ == 0) {
    type_ = 0;
  } else if (type_ > 1) {
    type_ = 0;
    parameter_ = 0;
  }
  const uint64_t size = data.size();
  ByteArray compressed;
  bool ok = true;
  if (size > 0) {
    if (type_ == 1) {
      ByteArray transposed(data);
      TransposeBytes(transposed, parameter_);
      ok = CompressBuffer(transposed, compressed);
    } else {
      ok = CompressBuffer(data, compressed);
    }
  }
  if (!ok) {
    compressed.clear();
  }
  data_ = std::move(compressed);
  orig_data_length_ = ok ? size : 0;
  data_length_ = data_.size();
  return ok;
}

}  // namespace mdf::detail
