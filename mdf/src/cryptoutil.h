#pragma once
// MD5 message digest (RFC 1321) of a whole file, for the checksum of attachments.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mdf::detail {

struct Md5Context {
  uint32_t count[2] = {0, 0};  ///< bytes fed so far: low and high word
  uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  uint8_t buffer[64] = {};  ///< an incomplete 64-byte block
};

/// Applies the MD5 compression function to each whole 64-byte block of data; returns the
/// number of bytes processed (length rounded down to a multiple of 64).
size_t Md5Transform(Md5Context& context, const uint8_t* data, size_t length);
void Md5Update(Md5Context& context, const uint8_t* data, size_t length);
/// Pads, finishes and returns the 16 digest bytes.
std::vector<uint8_t> Md5Final(Md5Context& context);

/// Digest of the file (UTF-8 name) into md5, which always comes back with 16 bytes.
/// False, with a logged error, when the file is missing, cannot be opened or fails to read.
bool CreateMd5FileChecksum(const std::string& filename, std::vector<uint8_t>& md5);

}  // namespace mdf::detail
