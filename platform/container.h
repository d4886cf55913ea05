#pragma once
// The logger's "Generic File" container: a 20-byte header (12-byte magic "Generic File",
// flag A, flag B, kind, a fixed byte 1, the big-endian device id) in front of an LZSS body
// with an optional CRC-32 footer (kind 0x22) or an AES-256-GCM body (kind 0x11).
//
// Opening a container decodes its whole body into memory and returns a stream over it that
// stands at the body's end (seek before reading); closing it frees the body, not the source.
// A body may itself be a container: open again on the result, up to kMaxContainerLayers.
//
//   offset  compressed (0x22)                  encrypted (0x11)
//   20      lookahead bits (u32 BE, low byte)  IV (12)
//   24      window size (u32 BE, power of 2)   ...
//   28      LZSS bit stream                    ...
//   32                                         PBKDF2 iteration count (u32 BE)
//   36                                         PBKDF2 salt (16)
//   52                                         ciphertext (size - 68)
//   end-4   CRC-32 register (u32 BE) if B = 1
//   end-16                                     GCM tag (16); the AAD is bytes 0..51
#include <cstddef>
#include <cstdint>

#include "platform/stream.h"

constexpr char kContainerMagic[] = "Generic File";
constexpr size_t kContainerMagicSize = sizeof kContainerMagic - 1;
constexpr int64_t kContainerHeaderSize = 20;
constexpr uint8_t kContainerCompressed = 0x22;
constexpr uint8_t kContainerEncrypted = 0x11;
constexpr uint8_t kContainerFixedByte = 1;

/// Containers inside containers are opened up to this depth: a crafted file cannot make the
/// walk expand layer after layer without end.
constexpr int kMaxContainerLayers = 8;
/// The key-derivation iterations of all the encrypted layers of one file together: far above
/// what a logger writes, and it keeps a crafted file (layer in layer) from costing minutes of
/// key derivation.
constexpr uint32_t kMaxPbkdf2Iterations = 10'000'000;

/// What the layers of one file may spend, shared by all of them: the caller sets the memory a
/// body may take before each open, and the key derivation of each encrypted layer takes its
/// iterations from what is left. An open refused for either tells it in `exceeded`.
struct cContainerBounds_t {
  int64_t memory = INT64_MAX;                  ///< bytes the decoded body may take
  uint32_t iterations = kMaxPbkdf2Iterations;  ///< key-derivation iterations left
  uint8_t exceeded = 0;                        ///< kContainerOverMemory, kContainerOverIterations or 0
};
constexpr uint8_t kContainerOverMemory = 1;
constexpr uint8_t kContainerOverIterations = 2;

struct cContainerHeader_t {
  char magic[kContainerMagicSize];
  uint32_t device_id;  // host order
  uint8_t flag_a;
  uint8_t flag_b;  // compressed kind: 1 when a CRC-32 footer ends the file
  uint8_t fixed;
  uint8_t kind;
};

/// A cursor over a stream: every read seeks to base + offset first, reads exactly the count
/// asked for and only then advances the offset, so the stream's own position does not matter.
struct cByteReader_t {
  cStream_t* stream;
  int64_t base;  // the stream's position when the cursor was made
  int64_t offset;
};

void byteReaderInit(cByteReader_t* cursor, cStream_t* stream);
/// True when `count` bytes were read; otherwise the offset stays.
bool byteReaderRead(cByteReader_t* cursor, void* buffer, size_t count);
bool byteReaderReadU8(cByteReader_t* cursor, uint8_t* value);
/// Reads four bytes big-endian and stores the value in host order.
bool byteReaderReadU32Be(cByteReader_t* cursor, uint32_t* value);

/// 1 when the stream starts with a complete header with the magic, else 0 (also for a null
/// stream). Seeks the stream to 0 first; `header` is filled as far as the reads went.
int readContainerHeader(cStream_t* stream, cContainerHeader_t* header);

/// Decodes a compressed container, or null when the header is refused (kind, fixed byte, flag
/// A not 0 or 1, flag B not equal to A), a size field is out of range, a read, a decode or a
/// memory write fails (for want of memory, or of the bounds' memory: kContainerOverMemory),
/// the source ends before the payload does, the nesting is too deep, or the CRC-32 footer is
/// missing or differs (both logged as errors). Without bounds only memory itself bounds it.
cStream_t* openCompressedStream(cStream_t* source, const cContainerHeader_t* header,
                                cContainerBounds_t* bounds = nullptr);

/// Decrypts an encrypted container with the password's bytes (null only with length 0), or
/// null when the header is refused (kind, fixed byte, flag A not 0 or 1, flag B not 0), the
/// file is too short or cut, the iteration count is 0 or above what the bounds have left
/// (logged as an error, kContainerOverIterations; without bounds, above
/// kMaxPbkdf2Iterations), the nesting is too deep, the body does not fit memory or the bounds
/// (kContainerOverMemory), mbedTLS fails or the tag does not match (a wrong password looks the
/// same as damage).
cStream_t* openEncryptedStream(cStream_t* source, const cContainerHeader_t* header, const uint8_t* password,
                               size_t password_length, cContainerBounds_t* bounds = nullptr);

/// The bytes of memory a container result holds for its body; 0 for other streams.
int64_t containerBodyMemory(const cStream_t* stream);

/// The number of container layers that `stream` was unwrapped from: 0 for a stream that is
/// not a container result. A caller that finds kMaxContainerLayers here reports the next
/// layer as a decompression failure without opening it; the open functions refuse it too.
int containerDepth(cStream_t* stream);
