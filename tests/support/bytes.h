#pragma once
// Bytes of hand-made fixtures: a little-endian writer (big-endian where a field asks for it),
// the matching reads of a written image, and filler patterns.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test {

inline uint64_t DoubleBits(double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

class Bytes {
 public:
  // Room for a block header from the start: growing an empty vector by a range insert makes
  // GCC 12 at -O3 warn of an overflow that cannot happen (-Wstringop-overflow).
  Bytes() { data_.reserve(kFirstCapacity); }
  Bytes& Text(const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) {
      data_.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
    }
    return *this;
  }
  Bytes& Raw(const std::string& text) {
    data_.insert(data_.end(), text.begin(), text.end());
    return *this;
  }
  Bytes& Raw(const std::vector<uint8_t>& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes& U8(uint8_t value) { return Le(value, 1); }
  Bytes& U16(uint16_t value) { return Le(value, 2); }
  Bytes& U32(uint32_t value) { return Le(value, 4); }
  Bytes& U64(uint64_t value) { return Le(value, 8); }
  /// The low `width` bytes of the value.
  Bytes& Le(uint64_t value, int width) {
    for (int i = 0; i < width; ++i) data_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Bytes& F64(double value) { return U64(DoubleBits(value)); }
  Bytes& U16Be(uint16_t value) { return Be(value, 2); }
  Bytes& U32Be(uint32_t value) { return Be(value, 4); }
  Bytes& Zeros(size_t count) {
    data_.insert(data_.end(), count, 0);
    return *this;
  }
  /// Zero bytes up to the next multiple of `alignment`.
  Bytes& Align(size_t alignment) { return Zeros((alignment - data_.size() % alignment) % alignment); }
  void Clear() { data_.clear(); }
  [[nodiscard]] const std::vector<uint8_t>& Data() const { return data_; }
  [[nodiscard]] std::vector<uint8_t>& Data() { return data_; }
  [[nodiscard]] size_t Size() const { return data_.size(); }
  operator std::vector<uint8_t>() const { return data_; }  // NOLINT: convenience in fixtures

 private:
  static constexpr size_t kFirstCapacity = 64;
  Bytes& Be(uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) data_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> data_;
};

/// The little-endian u64 at the offset; throws past the end.
inline uint64_t ReadU64(const std::vector<uint8_t>& bytes, size_t offset) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes.at(offset + i)) << (8 * i);
  return value;
}

/// `count` bytes from `offset` on; to the end without a count.
inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t offset, size_t count = SIZE_MAX) {
  const size_t end = count == SIZE_MAX ? bytes.size() : offset + count;
  return {bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.begin() + static_cast<std::ptrdiff_t>(end)};
}

/// The parts one after the other.
inline std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

/// Filler bytes that differ from their neighbours and with the seed.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0) {
  std::vector<uint8_t> bytes;
  bytes.reserve(size);
  for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(i * 13 + seed));
  return bytes;
}

/// Rising bytes from `first` on, wrapping at 256.
inline std::vector<uint8_t> Sequence(uint8_t first, size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

/// The block header fields at a position of a written image.
struct BlockHeader {
  std::string id;
  uint64_t length = 0;
  std::vector<int64_t> links;
};

inline BlockHeader HeaderAt(const std::vector<uint8_t>& bytes, int64_t position) {
  const auto at = static_cast<size_t>(position);
  BlockHeader header;
  header.id.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
  header.length = ReadU64(bytes, at + 8);
  const uint64_t nof_links = ReadU64(bytes, at + 16);
  for (uint64_t i = 0; i < nof_links; ++i)
    header.links.push_back(static_cast<int64_t>(ReadU64(bytes, at + 24 + 8 * i)));
  return header;
}

}  // namespace test
