#pragma once
// Hand-made MDF 3 block images: numbers in the byte order the file declares, and a sweep
// over every truncation of an image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mdfblock.h"
#include "support/bytes.h"
#include "support/memorybuffer.h"
#include "support/thrown.h"

namespace test {

/// A parent block of the file's byte order: a block attached to it reads and writes in that order.
class Mdf3Parent : public mdf::detail::MdfBlock {
 public:
  explicit Mdf3Parent(bool big_endian) { byte_order_ = big_endian ? 1 : 0; }
  size_t Read(std::streambuf&) override { return 0; }
};

/// The two byte orders of an MDF 3 file, for tests that run in both.
inline const std::vector<bool> kBothByteOrders = {false, true};

class Mdf3Bytes {
 public:
  explicit Mdf3Bytes(bool big_endian) : big_endian_(big_endian) {}

  /// Block id and 16-bit size.
  Mdf3Bytes& Header(const std::string& id, uint16_t size) { return Raw(id).U16(size); }
  Mdf3Bytes& U16(uint16_t value) { return Number(value, 2); }
  Mdf3Bytes& I16(int16_t value) { return Number(static_cast<uint16_t>(value), 2); }
  Mdf3Bytes& U32(uint32_t value) { return Number(value, 4); }
  Mdf3Bytes& U64(uint64_t value) { return Number(value, 8); }
  Mdf3Bytes& F64(double value) { return Number(DoubleBits(value), 8); }
  /// A zero-padded (or cut) text field.
  Mdf3Bytes& Text(const std::string& text, size_t width) {
    bytes_.Text(text, width);
    return *this;
  }
  Mdf3Bytes& Raw(const std::string& text) {
    bytes_.Raw(text);
    return *this;
  }
  Mdf3Bytes& Raw(const std::vector<uint8_t>& data) {
    bytes_.Raw(data);
    return *this;
  }
  Mdf3Bytes& Zeros(size_t count) {
    bytes_.Zeros(count);
    return *this;
  }
  [[nodiscard]] size_t Size() const { return bytes_.Size(); }
  [[nodiscard]] const std::vector<uint8_t>& Data() const { return bytes_.Data(); }
  operator std::vector<uint8_t>() const { return bytes_.Data(); }  // NOLINT: convenience in fixtures

 private:
  Mdf3Bytes& Number(uint64_t value, int width) {
    std::vector<uint8_t> data;
    for (int i = 0; i < width; ++i) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    if (big_endian_) std::reverse(data.begin(), data.end());
    bytes_.Raw(data);
    return *this;
  }

  bool big_endian_;
  Bytes bytes_;
};

/// Reads every proper prefix of the image (the empty one too) with `read` and expects the
/// read to throw `expected` for each.
inline void ExpectEveryTruncationThrows(const std::vector<uint8_t>& image,
                                        const std::function<void(MemoryBuffer&)>& read, const std::string& expected) {
  for (size_t size = 0; size < image.size(); ++size) {
    MemoryBuffer buffer(std::vector<uint8_t>(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size)));
    EXPECT_EQ(ThrownText([&] { read(buffer); }), expected) << "image cut to " << size << " of " << image.size();
  }
}

}  // namespace test
