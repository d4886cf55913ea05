#pragma once
// Compressed payloads made and checked by zlib itself, never by the library's writer.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace test {

inline std::vector<uint8_t> Deflated(const std::vector<uint8_t>& input) {
  uLongf size = compressBound(static_cast<uLong>(input.size()));
  std::vector<uint8_t> output(size);
  if (compress2(output.data(), &size, input.data(), static_cast<uLong>(input.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw std::runtime_error("zlib could not deflate the fixture");
  }
  output.resize(size);
  return output;
}

/// The inflated bytes, at most `size` of them; empty when zlib refuses the stream.
inline std::vector<uint8_t> Inflated(const std::vector<uint8_t>& input, size_t size) {
  std::vector<uint8_t> output(size);
  uLongf produced = static_cast<uLongf>(size);
  if (uncompress(output.data(), &produced, input.data(), static_cast<uLong>(input.size())) != Z_OK) {
    return {};
  }
  output.resize(produced);
  return output;
}

}  // namespace test
