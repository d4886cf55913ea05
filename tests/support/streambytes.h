#pragma once
// Memory streams filled from and read back into byte vectors, and the owner that closes one.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/stream.h"

namespace test {

struct StreamCloser {
  void operator()(cStream_t* stream) const { streamClose(stream); }
};
using StreamPtr = std::unique_ptr<cStream_t, StreamCloser>;

/// A memory stream holding the bytes, positioned at 0.
inline StreamPtr MemoryStreamOf(const std::vector<uint8_t>& bytes) {
  StreamPtr stream(memoryStreamNew());
  if (!bytes.empty()) streamWrite(stream.get(), bytes.data(), bytes.size());
  streamSeek(stream.get(), 0, kSeekFromStart);
  return stream;
}

/// Everything the stream holds; its position is left at its end.
inline std::vector<uint8_t> StreamBytes(cStream_t* stream) {
  const int64_t size = streamSeek(stream, 0, kSeekFromEnd);
  std::vector<uint8_t> bytes(size > 0 ? static_cast<size_t>(size) : 0);
  streamSeek(stream, 0, kSeekFromStart);
  if (!bytes.empty()) streamRead(stream, bytes.data(), bytes.size());
  return bytes;
}

}  // namespace test
