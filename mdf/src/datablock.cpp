#include "datablock.h"

#include <algorithm>
#include <array>

namespace mdf::detail {

uint64_t DataBlock::DataSize() const { return block_length_ > 24 ? block_length_ - 24 : 0; }

uint64_t DataBlock::DataInFile(int64_t file_size) const {
  const uint64_t size = DataSize();
  if (size == 0 || data_position_ <= 0 || data_position_ >= file_size) {
    return 0;
  }
  return std::min(size, static_cast<uint64_t>(file_size - data_position_));
}

uint64_t DataBlock::CopyDataToStream(std::streambuf& buffer, std::streambuf& dest) const {
  SetStreamPosition(buffer, data_position_);
  uint64_t left = DataSize();
  if (left == 0) {
    return 0;
  }
  constexpr uint64_t kChunkSize = 10'000;
  std::array<char, kChunkSize> chunk{};
  uint64_t copied = 0;
  while (left > 0) {
    const auto wanted = static_cast<std::streamsize>(std::min(left, kChunkSize));
    const auto got = buffer.sgetn(chunk.data(), wanted);
    if (got <= 0) {
      break;
    }
    const auto taken = dest.sputn(chunk.data(), got);
    if (taken > 0) {
      copied += static_cast<uint64_t>(taken);
    }
    if (taken < got) {
      break;
    }
    left -= static_cast<uint64_t>(got);
  }
  return copied;
}

uint64_t DataBlock::CopyDataToBuffer(std::streambuf& buffer, ByteArray& dest, uint64_t& index) const {
  SetStreamPosition(buffer, data_position_);
  const uint64_t size = DataSize();
  if (size == 0) {
    return 0;
  }
  if (index > dest.size() || size > dest.size() - index) {
    throw MdfRuntimeError("Buffer overflow detected.");
  }
  // A truncated file must not leave the rest of the caller's buffer as silent zeros.
  const auto got = buffer.sgetn(reinterpret_cast<char*>(dest.data() + index), static_cast<std::streamsize>(size));
  if (got != static_cast<std::streamsize>(size)) {
    throw MdfIoFailure("End of stream reached (EOF).");
  }
  index += size;
  return size;
}

uint64_t DataBlock::LoadData(std::streambuf& buffer) {
  if (data_position_ <= 0) {
    return 0;
  }
  SetStreamPosition(buffer, data_position_);
  return ReadBytes(buffer, data_, DataSize());
}

bool DataBlock::SetData(const ByteArray& data) {
  if (&data != &data_) {
    data_ = data;
  }
  return true;
}

}  // namespace mdf::detail
