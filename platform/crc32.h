#pragma once
// CRC-32 of the compressed container's bit stream: the reflected polynomial 0xEDB88320 (the
// CRC-32 of zlib and ISO-HDLC, computed by zlib), kept as a register that starts at
// 0xFFFFFFFF and is never inverted at the end, so a register is the complement of the usual
// CRC-32 of the same bytes.
#include <cstddef>
#include <cstdint>

#include "platform/stream.h"

constexpr uint32_t kCrc32Initial = 0xFFFFFFFF;

/// The register after one more byte.
uint32_t crc32Update(uint32_t crc, uint8_t byte);
/// The register after `count` more bytes.
uint32_t crc32UpdateBytes(uint32_t crc, const void* bytes, size_t count);

/// A pass-through over `source` that advances its register (from kCrc32Initial) over every
/// byte that a read delivers or a write takes. Tell and seek are empty slots; closing frees
/// only the pass-through. Null for a null source or when memory is short.
cStream_t* crcStreamNew(cStream_t* source);
/// The register of a pass-through made by crcStreamNew, without a final inversion.
uint32_t crcStreamValue(cStream_t* stream);
