#include "cryptoutil.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "byteorder.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "platformshim.h"

namespace {

constexpr uint32_t RotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

constexpr uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void TransformBlock(uint32_t state[4], const uint8_t* block) {
  uint32_t words[16];
  for (int i = 0; i < 16; ++i) {
    words[i] = mdf::detail::LoadLe32(block + 4 * i);
  }
  uint32_t a = state[0];
  uint32_t b = state[1];
  uint32_t c = state[2];
  uint32_t d = state[3];
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    uint32_t mix = 0;
    int index = 0;
    switch (round) {
      case 0:
        mix = (b & c) | (~b & d);
        index = step;
        break;
      case 1:
        mix = (d & b) | (~d & c);
        index = (5 * step + 1) % 16;
        break;
      case 2:
        mix = b ^ c ^ d;
        index = (3 * step + 5) % 16;
        break;
      default:
        mix = c ^ (b | ~d);
        index = (7 * step) % 16;
        break;
    }
    const uint32_t rotated = RotateLeft(a + mix + kSines[step] + words[index], kShifts[round][step % 4]);
    a = d;
    d = c;
    c = b;
    b += rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void LogFailure(const std::string& filename, const std::string& reason) {
  // Logged from the public entry, so the location names it.
  mdf::MdfLogStream(MdfLocation{__LINE__, 0, __FILE__, "CreateMd5FileChecksum"}, mdf::MdfLogSeverity::kError)
      << "Failed to create MD5 file checksum. File: " << filename << ". Error: " << reason;
}

}  // namespace

namespace mdf::detail {

size_t Md5Transform(Md5Context& context, const uint8_t* data, size_t length) {
  size_t done = 0;
  for (; done + 64 <= length; done += 64) {
    TransformBlock(context.state, data + done);
  }
  return done;
}

void Md5Update(Md5Context& context, const uint8_t* data, size_t length) {
  const size_t used = context.count[0] & 0x3F;
  const uint32_t low = context.count[0] + static_cast<uint32_t>(length);
  context.count[1] += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 32) + (low < context.count[0] ? 1 : 0);
  context.count[0] = low;

  size_t offset = 0;
  if (used > 0) {
    const size_t fill = std::min<size_t>(64 - used, length);
    std::memcpy(context.buffer + used, data, fill);
    offset = fill;
    if (used + fill < 64) {
      return;
    }
    Md5Transform(context, context.buffer, 64);
  }
  offset += Md5Transform(context, data + offset, length - offset);
  std::memcpy(context.buffer, data + offset, length - offset);
}

std::vector<uint8_t> Md5Final(Md5Context& context) {
  const uint64_t bits = ((static_cast<uint64_t>(context.count[1]) << 32) | context.count[0]) << 3;
  const size_t used = context.count[0] & 0x3F;
  uint8_t padding[72] = {0x80};
  const size_t pad = used < 56 ? 56 - used : 120 - used;
  Md5Update(context, padding, pad);
  uint8_t length[8];
  mdf::detail::StoreLe64(length, bits);
  Md5Update(context, length, 8);
  std::vector<uint8_t> digest(16);
  for (int i = 0; i < 4; ++i) {
    mdf::detail::StoreLe32(digest.data() + 4 * i, context.state[i]);
  }
  return digest;
}

bool CreateMd5FileChecksum(const std::string& filename, std::vector<uint8_t>& md5) {
  md5.resize(16, 0);
  try {
    const auto kind = platform::QueryFileKind(filename);
    if (kind == platform::FileKind::Missing) {
      LogFailure(filename, "The file doesn't exist");
      return false;
    }
    std::FILE* raw = nullptr;
    // A directory opens for reading on POSIX and then fails to read; it is no file.
    if (kind == platform::FileKind::Directory || OpenFileUtf8(raw, filename, "rb") != 0 || raw == nullptr) {
      LogFailure(filename, "Failed to open the file");
      return false;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(raw, &std::fclose);
    Md5Context context;
    std::vector<uint8_t> chunk(10'000);
    for (;;) {
      const size_t count = std::fread(chunk.data(), 1, chunk.size(), file.get());
      if (count == 0) {
        break;
      }
      Md5Update(context, chunk.data(), count);
    }
    // A read error would otherwise pass off the digest of part of the file as the file's.
    if (std::ferror(file.get()) != 0) {
      LogFailure(filename, "Failed to read the file");
      return false;
    }
    md5 = Md5Final(context);
    return true;
  } catch (const std::exception& error) {
    LogFailure(filename, error.what());
    return false;
  }
}

}  // namespace mdf::detail
