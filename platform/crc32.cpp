#include "platform/crc32.h"

#include <zlib.h>

#include <cstdlib>

namespace {

struct CrcStream {
  cStream_t base;
  uint32_t crc;
  cStream_t* source;
};

CrcStream* As(cStream_t* stream) { return reinterpret_cast<CrcStream*>(stream); }

// Only bytes that were asked for count, even from a source that claims more.
void Advance(CrcStream* self, const void* bytes, int64_t result, uint64_t length) {
  if (result <= 0) return;
  const uint64_t count = static_cast<uint64_t>(result) < length ? static_cast<uint64_t>(result) : length;
  self->crc = crc32UpdateBytes(self->crc, bytes, static_cast<size_t>(count));
}

int64_t CrcRead(cStream_t* stream, void* buffer, uint64_t length) {
  auto* self = As(stream);
  const int64_t result = streamRead(self->source, buffer, length);
  Advance(self, buffer, result, length);
  return result;
}

int64_t CrcWrite(cStream_t* stream, const void* buffer, uint64_t length) {
  auto* self = As(stream);
  const int64_t result = streamWrite(self->source, buffer, length);
  Advance(self, buffer, result, length);
  return result;
}

int CrcClose(cStream_t* stream) {
  std::free(stream);
  return 0;
}

constexpr cStreamOps_t kCrcOps = {CrcRead, CrcWrite, nullptr, nullptr, CrcClose};

}  // namespace

uint32_t crc32Update(uint32_t crc, uint8_t byte) { return crc32UpdateBytes(crc, &byte, 1); }

// zlib's CRC-32 (several times faster than a byte table: bench/platform BM_LzssCrcPath) keeps
// the same register, inverted at both ends of each call.
uint32_t crc32UpdateBytes(uint32_t crc, const void* bytes, size_t count) {
  if (count == 0) return crc;  // zlib answers a call without bytes with its initial value
  return ~static_cast<uint32_t>(crc32_z(~crc & 0xFFFFFFFFul, static_cast<const Bytef*>(bytes), count));
}

cStream_t* crcStreamNew(cStream_t* source) {
  if (source == nullptr) return nullptr;
  auto* self = static_cast<CrcStream*>(std::calloc(1, sizeof(CrcStream)));
  if (self == nullptr) return nullptr;
  self->base.ops = &kCrcOps;
  self->crc = kCrc32Initial;
  self->source = source;
  return &self->base;
}

uint32_t crcStreamValue(cStream_t* stream) { return As(stream)->crc; }
