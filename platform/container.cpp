#include "platform/container.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/crc32.h"
#include "platform/log.h"
#include "platform/lzss.h"

namespace {

// Compressed body.
constexpr int64_t kPayloadStart = 28;
constexpr int64_t kFooterSize = 4;
constexpr uint32_t kLookaheadMask = 0xFF;  // only the low byte of the lookahead field counts

// Encrypted body.
constexpr size_t kIvSize = 12;
constexpr size_t kSaltSize = 16;
constexpr size_t kTagSize = 16;
constexpr size_t kKeySize = 32;
constexpr int kKeyBits = 256;
constexpr int64_t kAuthenticatedSize = 52;  // header, IV, iteration count and salt, as stored
constexpr int64_t kMinEncryptedSize = kAuthenticatedSize + static_cast<int64_t>(kTagSize);
// Whole pieces until the last: mbedTLS's GCM wants every update but the last in multiples
// of 16 bytes, and the piece never reaches into the tag.
constexpr size_t kCipherPiece = 512;
// mbedTLS may write up to one block more than it was given.
constexpr size_t kCipherOutput = kCipherPiece + 16;

// Both kinds of result: a memory stream holding the body, behind the five operations.
struct ContainerResult {
  cStream_t base;
  cStream_t* body;
  cContainerHeader_t header;
  int depth;
  uint8_t window_bits;  // compressed kind only
  uint8_t lookahead_bits;
};

ContainerResult* As(cStream_t* stream) { return reinterpret_cast<ContainerResult*>(stream); }

int64_t ResultRead(cStream_t* stream, void* buffer, uint64_t length) {
  return streamRead(As(stream)->body, buffer, length);
}
int64_t ResultWrite(cStream_t* stream, const void* buffer, uint64_t length) {
  return streamWrite(As(stream)->body, buffer, length);
}
int64_t ResultTell(cStream_t* stream) { return streamTell(As(stream)->body); }
int64_t ResultSeek(cStream_t* stream, int64_t offset, int origin) {
  return streamSeek(As(stream)->body, offset, origin);
}
int ResultClose(cStream_t* stream) {
  if (stream == nullptr) return 0;
  const int status = streamClose(As(stream)->body);
  std::free(stream);
  return status;
}

constexpr cStreamOps_t kResultOps = {ResultRead, ResultWrite, ResultTell, ResultSeek, ResultClose};

ContainerResult* NewResult(const cContainerHeader_t& header, int depth, const cContainerBounds_t* bounds) {
  auto* result = static_cast<ContainerResult*>(std::calloc(1, sizeof(ContainerResult)));
  if (result == nullptr) return nullptr;
  result->base.ops = &kResultOps;
  result->header = header;
  result->depth = depth;
  result->body = memoryStreamNewLimited(bounds != nullptr ? bounds->memory : INT64_MAX);
  if (result->body == nullptr) {
    std::free(result);
    return nullptr;
  }
  return result;
}

// Frees a result that failed, telling the bounds when its body ran out of memory.
cStream_t* Discard(ContainerResult* result, cContainerBounds_t* bounds) {
  if (bounds != nullptr && memoryStreamShortOfMemory(result->body)) bounds->exceeded = kContainerOverMemory;
  ResultClose(&result->base);
  return nullptr;
}

// The depth a new layer over `source` gets, or 0 when it would be too deep.
int NextDepth(cStream_t* source) {
  const int depth = containerDepth(source) + 1;
  return depth > kMaxContainerLayers ? 0 : depth;
}

// A cursor at an absolute position of the stream; false when the seek fails.
bool CursorAt(cByteReader_t* cursor, cStream_t* stream, int64_t position) {
  if (streamSeek(stream, position, kSeekFromStart) != position) return false;
  byteReaderInit(cursor, stream);
  return cursor->base == position;
}

bool WriteAll(cStream_t* stream, const uint8_t* bytes, size_t count) {
  return count == 0 || streamWrite(stream, bytes, count) == static_cast<int64_t>(count);
}

// Decodes the payload [kPayloadStart, payload_end) of `source` into `body` and gives the
// CRC-32 register of the bit stream. False when a read fails, the body cannot take a
// write, or the source stops before the payload's end: a cut body is never a success.
bool DecodePayload(cStream_t* source, int64_t payload_end, int window_bits, int lookahead_bits, cStream_t* body,
                   uint32_t* crc) {
  cStream_t* window = windowStreamNew(source, kPayloadStart, payload_end);
  if (window == nullptr) return false;
  cStream_t* checksum = crcStreamNew(window);
  cStream_t* decompressor = checksum == nullptr ? nullptr : lzssStreamNew(checksum, window_bits, lookahead_bits);
  bool ok = false;
  if (decompressor != nullptr && streamSeek(window, 0, kSeekFromStart) == 0) {
    const int64_t copied = streamCopyChecked(decompressor, body);
    ok = copied >= 0 && streamTell(window) == payload_end - kPayloadStart;
  }
  if (checksum != nullptr) *crc = crcStreamValue(checksum);
  streamClose(decompressor);
  streamClose(checksum);
  streamClose(window);
  return ok;
}

bool DeriveKey(const uint8_t* password, size_t password_length, const uint8_t* salt, uint32_t iterations,
               uint8_t* key) {
  const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  if (sha256 == nullptr) return false;
  mbedtls_md_context_t hmac;
  mbedtls_md_init(&hmac);
  const bool ok = mbedtls_md_setup(&hmac, sha256, 1) == 0 &&
                  mbedtls_pkcs5_pbkdf2_hmac(&hmac, password, password_length, salt, kSaltSize, iterations,
                                            static_cast<uint32_t>(kKeySize), key) == 0;
  mbedtls_md_free(&hmac);
  return ok;
}

// Authenticates and decrypts the body of a `size`-byte source (at least kMinEncryptedSize)
// into `body`; false on any read, cipher or write failure and on a tag that does not match.
bool DecryptBody(mbedtls_cipher_context_t* cipher, cStream_t* source, int64_t size, const uint8_t* key,
                 const uint8_t* iv, cStream_t* body) {
  const mbedtls_cipher_info_t* aes_gcm = mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_AES_256_GCM);
  if (aes_gcm == nullptr || mbedtls_cipher_setup(cipher, aes_gcm) != 0 ||
      mbedtls_cipher_setkey(cipher, key, kKeyBits, MBEDTLS_DECRYPT) != 0 ||
      mbedtls_cipher_set_iv(cipher, iv, kIvSize) != 0) {
    return false;
  }
  cByteReader_t cursor;
  uint8_t tag[kTagSize];
  if (!CursorAt(&cursor, source, size - static_cast<int64_t>(kTagSize)) || !byteReaderRead(&cursor, tag, sizeof tag)) {
    return false;
  }
  uint8_t authenticated[kAuthenticatedSize];
  if (!CursorAt(&cursor, source, 0) || !byteReaderRead(&cursor, authenticated, sizeof authenticated) ||
      mbedtls_cipher_update_ad(cipher, authenticated, sizeof authenticated) != 0) {
    return false;
  }
  if (!CursorAt(&cursor, source, kAuthenticatedSize)) return false;
  uint8_t in[kCipherPiece];
  uint8_t out[kCipherOutput];
  size_t out_length = 0;
  for (int64_t remaining = size - kMinEncryptedSize; remaining > 0;) {
    const size_t piece = static_cast<size_t>(std::min<int64_t>(remaining, kCipherPiece));
    if (!byteReaderRead(&cursor, in, piece) || mbedtls_cipher_update(cipher, in, piece, out, &out_length) != 0 ||
        out_length > sizeof out || !WriteAll(body, out, out_length)) {
      return false;
    }
    remaining -= static_cast<int64_t>(piece);
  }
  if (mbedtls_cipher_finish(cipher, out, &out_length) != 0 || out_length > sizeof out ||
      !WriteAll(body, out, out_length)) {
    return false;
  }
  return mbedtls_cipher_check_tag(cipher, tag, sizeof tag) == 0;
}

}  // namespace

void byteReaderInit(cByteReader_t* cursor, cStream_t* stream) {
  cursor->stream = stream;
  cursor->base = stream == nullptr ? kStreamFailed : streamTell(stream);
  cursor->offset = 0;
}

bool byteReaderRead(cByteReader_t* cursor, void* buffer, size_t count) {
  int64_t position = 0;
  if (cursor->stream == nullptr || cursor->base < 0 ||
      __builtin_add_overflow(cursor->base, cursor->offset, &position) ||
      streamSeek(cursor->stream, position, kSeekFromStart) != position) {
    return false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  for (size_t done = 0; done < count;) {
    const int64_t n = streamRead(cursor->stream, out + done, count - done);
    if (n <= 0 || static_cast<uint64_t>(n) > count - done) return false;
    done += static_cast<size_t>(n);
  }
  cursor->offset += static_cast<int64_t>(count);
  return true;
}

bool byteReaderReadU8(cByteReader_t* cursor, uint8_t* value) { return byteReaderRead(cursor, value, 1); }

bool byteReaderReadU32Be(cByteReader_t* cursor, uint32_t* value) {
  uint8_t bytes[4];
  if (!byteReaderRead(cursor, bytes, sizeof bytes)) return false;
  *value = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
  return true;
}

int readContainerHeader(cStream_t* stream, cContainerHeader_t* header) {
  if (stream == nullptr || header == nullptr) return 0;
  *header = cContainerHeader_t{};
  cByteReader_t cursor;
  if (!CursorAt(&cursor, stream, 0)) return 0;
  const bool complete = byteReaderRead(&cursor, header->magic, kContainerMagicSize) &&
                        byteReaderReadU8(&cursor, &header->flag_a) && byteReaderReadU8(&cursor, &header->flag_b) &&
                        byteReaderReadU8(&cursor, &header->kind) && byteReaderReadU8(&cursor, &header->fixed) &&
                        byteReaderReadU32Be(&cursor, &header->device_id);
  return complete && std::memcmp(header->magic, kContainerMagic, kContainerMagicSize) == 0 ? 1 : 0;
}

cStream_t* openCompressedStream(cStream_t* source, const cContainerHeader_t* header, cContainerBounds_t* bounds) {
  if (source == nullptr || header == nullptr || header->kind != kContainerCompressed ||
      header->fixed != kContainerFixedByte || header->flag_a > 1 || header->flag_b != header->flag_a) {
    return nullptr;
  }
  const int depth = NextDepth(source);
  if (depth == 0) return nullptr;
  cByteReader_t cursor;
  uint32_t lookahead_field = 0;
  uint32_t window_field = 0;
  if (!CursorAt(&cursor, source, kContainerHeaderSize) || !byteReaderReadU32Be(&cursor, &lookahead_field) ||
      !byteReaderReadU32Be(&cursor, &window_field)) {
    return nullptr;
  }
  // The window's logarithm is the index of its lowest set bit (0 for none, which is refused).
  const int window_bits = window_field == 0 ? 0 : __builtin_ctz(window_field);
  const int lookahead_bits = static_cast<int>(lookahead_field & kLookaheadMask);
  ContainerResult* result = NewResult(*header, depth, bounds);
  if (result == nullptr) return nullptr;
  result->window_bits = static_cast<uint8_t>(window_bits);
  result->lookahead_bits = static_cast<uint8_t>(lookahead_bits);

  const bool footer = header->flag_b == 1;
  const int64_t size = streamSize(source);
  const int64_t payload_end = size - (footer ? kFooterSize : 0);
  if (size < 0 || payload_end < kPayloadStart) {
    if (footer && size >= 0) logMessage(kLogError, "Expected to read out CRC from footer, but found none");
    return Discard(result, bounds);
  }
  uint32_t crc = kCrc32Initial;
  if (!DecodePayload(source, payload_end, window_bits, lookahead_bits, result->body, &crc)) {
    return Discard(result, bounds);
  }
  if (!footer) return &result->base;

  uint32_t stored = 0;
  if (!CursorAt(&cursor, source, payload_end) || !byteReaderReadU32Be(&cursor, &stored)) {
    logMessage(kLogError, "Expected to read out CRC from footer, but found none");
    return Discard(result, bounds);
  }
  if (stored != crc) {
    logMessage(kLogError, "Could not validate checksum, expected %08X but found %08X", stored, crc);
    return Discard(result, bounds);
  }
  return &result->base;
}

cStream_t* openEncryptedStream(cStream_t* source, const cContainerHeader_t* header, const uint8_t* password,
                               size_t password_length, cContainerBounds_t* bounds) {
  if (source == nullptr || header == nullptr || (password == nullptr && password_length != 0) ||
      header->kind != kContainerEncrypted || header->fixed != kContainerFixedByte || header->flag_a > 1 ||
      header->flag_b != 0) {
    return nullptr;
  }
  const int depth = NextDepth(source);
  if (depth == 0) return nullptr;
  cByteReader_t cursor;
  uint8_t iv[kIvSize];
  uint32_t iterations = 0;
  uint8_t salt[kSaltSize];
  if (!CursorAt(&cursor, source, kContainerHeaderSize) || !byteReaderRead(&cursor, iv, sizeof iv) ||
      !byteReaderReadU32Be(&cursor, &iterations) || !byteReaderRead(&cursor, salt, sizeof salt)) {
    return nullptr;
  }
  // Checked before the key is derived, so that refusing costs nothing.
  const uint32_t left = bounds != nullptr ? bounds->iterations : kMaxPbkdf2Iterations;
  if (iterations == 0) return nullptr;
  if (iterations > left) {
    logMessage(kLogError, "Key derivation refused: the layer asks for %u iterations, %u are left of the %u per file",
               iterations, left, kMaxPbkdf2Iterations);
    if (bounds != nullptr) bounds->exceeded = kContainerOverIterations;
    return nullptr;
  }
  const int64_t size = streamSize(source);
  if (size < kMinEncryptedSize) return nullptr;

  ContainerResult* result = NewResult(*header, depth, bounds);
  if (result == nullptr) return nullptr;
  if (bounds != nullptr) bounds->iterations = left - iterations;  // spent, whatever the derivation gives
  static const uint8_t kNoPassword = 0;
  uint8_t key[kKeySize];
  bool ok = DeriveKey(password != nullptr ? password : &kNoPassword, password_length, salt, iterations, key);
  if (ok) {
    mbedtls_cipher_context_t cipher;
    mbedtls_cipher_init(&cipher);
    ok = DecryptBody(&cipher, source, size, key, iv, result->body);
    mbedtls_cipher_free(&cipher);
  }
  mbedtls_platform_zeroize(key, sizeof key);
  return ok ? &result->base : Discard(result, bounds);
}

int64_t containerBodyMemory(const cStream_t* stream) {
  return stream != nullptr && stream->ops == &kResultOps
             ? memoryStreamHeld(reinterpret_cast<const ContainerResult*>(stream)->body)
             : 0;
}

int containerDepth(cStream_t* stream) {
  return stream != nullptr && stream->ops == &kResultOps ? As(stream)->depth : 0;
}
