#include "datablock.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <string_view>

#include "blocklayout.h"

namespace mdf::detail {

namespace {
constexpr int64_t kHeaderBytes = 24;
constexpr size_t kIdAndReserved = 8;

/// True when the next `left` bytes of the stream are all zeros (false when they cannot be read).
bool OnlyZerosFollow(std::streambuf& buffer, int64_t left) {
  std::array<char, 4096> chunk{};
  while (left > 0) {
    const auto wanted = static_cast<std::streamsize>(std::min<int64_t>(left, chunk.size()));
    if (buffer.sgetn(chunk.data(), wanted) != wanted) return false;
    if (std::any_of(chunk.begin(), chunk.begin() + wanted, [](char byte) { return byte != 0; })) return false;
    left -= wanted;
  }
  return true;
}
}  // namespace

HeaderAtEnd BlockHeaderAtEnd(std::streambuf& buffer, int64_t position, bool whole_too) {
  try {
    const int64_t end = GetLastStreamPosition(buffer);
    if (position > end && position % kMdf4BlockAlignment == 0 && position - end < kMdf4BlockAlignment) {
      // Linked before the zeros that align its header were written: nothing begun yet.
      return HeaderAtEnd::kZeros;
    }
    if (position < 0 || position > end) return HeaderAtEnd::kNone;
    const int64_t tail = end - position;
    std::array<uint8_t, kHeaderBytes> head{};
    const auto size = static_cast<size_t>(std::min<int64_t>(tail, kHeaderBytes));
    SetStreamPosition(buffer, position);
    if (buffer.sgetn(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(size)) !=
        static_cast<std::streamsize>(size)) {
      return HeaderAtEnd::kNone;
    }
    // The header was cut after its last byte other than zero; zeros may follow (padding).
    size_t written = size;
    while (written > 0 && head[written - 1] == 0) --written;
    if (written == 0) {
      // Nothing, or zeros: where a block was linked, its header was not begun yet.
      return OnlyZerosFollow(buffer, tail - static_cast<int64_t>(size)) ? HeaderAtEnd::kZeros : HeaderAtEnd::kNone;
    }
    for (size_t i = 0; i < std::min(written, kIdAndReserved); ++i) {
      const uint8_t byte = head[i];
      const bool fits = i < 2 ? byte == '#' : i < 4 ? byte >= 'A' && byte <= 'Z' : byte == 0;
      if (!fits) return HeaderAtEnd::kNone;
    }
    if (tail < kHeaderBytes) return HeaderAtEnd::kCut;
    uint64_t length = 0;
    std::memcpy(&length, head.data() + kIdAndReserved, sizeof length);
    const bool whole = length >= static_cast<uint64_t>(kHeaderBytes);  // no block is shorter than its header
    if (whole && !whole_too) return HeaderAtEnd::kNone;                // the common case of a link: no bytes scanned
    if (!OnlyZerosFollow(buffer, tail - kHeaderBytes)) return HeaderAtEnd::kNone;
    // All 24 bytes are in the file: the header was cut when its length was not written yet.
    return whole ? HeaderAtEnd::kWhole : HeaderAtEnd::kCut;
  } catch (const std::exception&) {
    return HeaderAtEnd::kNone;
  }
}

bool KnownHeaderAt(std::streambuf& buffer, int64_t position) {
  std::array<char, kHeaderBytes> head{};
  SetStreamPosition(buffer, position);
  if (buffer.sgetn(head.data(), kHeaderBytes) != kHeaderBytes) return false;
  const BlockLayout* layout = FindBlockLayout(std::string_view(head.data(), 4));
  if (layout == nullptr || std::any_of(head.begin() + 4, head.begin() + 8, [](char byte) { return byte != 0; })) {
    return false;
  }
  uint64_t length = 0;
  uint64_t links = 0;
  std::memcpy(&length, head.data() + kIdAndReserved, sizeof length);
  std::memcpy(&links, head.data() + kIdAndReserved + sizeof length, sizeof links);
  if (length < kMdf4HeaderSize) return false;
  return links >= layout->links && links <= (length - kMdf4HeaderSize) / kMdf4LinkSize &&
         length >= MinimumLength(*layout, links);
}

HeaderBehind BlockHeaderBehind(std::streambuf& buffer, int64_t position) {
  try {
    const int64_t end = GetLastStreamPosition(buffer);
    if (position < 0 || position >= end) return {};
    const int64_t aligned = AlignUp(position);
    if (aligned > position) {
      // A header at the end itself, or behind the zeros that align it.
      if (const HeaderAtEnd found = BlockHeaderAtEnd(buffer, position, true);
          found == HeaderAtEnd::kCut || found == HeaderAtEnd::kWhole) {
        return {found, position, false};
      }
      SetStreamPosition(buffer, position);
      if (aligned >= end || !OnlyZerosFollow(buffer, aligned - position)) return {};
    }
    if (const HeaderAtEnd found = BlockHeaderAtEnd(buffer, aligned, true);
        found == HeaderAtEnd::kCut || found == HeaderAtEnd::kWhole) {
      return {found, aligned, false};
    }
    if (KnownHeaderAt(buffer, aligned)) return {HeaderAtEnd::kWhole, aligned, true};
  } catch (const std::exception&) {
  }
  return {};
}

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
