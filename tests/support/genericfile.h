#pragma once
// Builds the logger's "Generic File" containers for tests: compressed ones from a given bit
// stream (CRC-32 footer by zlib), encrypted ones by mbedTLS's own GCM encryption, and
// logger-like bodies to put in them.
#include <mbedtls/gcm.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>

#include "support/lzssencoder.h"

namespace test {

constexpr uint32_t kTestDeviceId = 0x1234ABCD;

inline void AppendBe32(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

/// The 20-byte header.
inline std::string ContainerHeader(uint8_t flag_a, uint8_t flag_b, uint8_t kind, uint8_t fixed = 1,
                                   uint32_t device_id = kTestDeviceId) {
  std::string header = "Generic File";
  header.push_back(static_cast<char>(flag_a));
  header.push_back(static_cast<char>(flag_b));
  header.push_back(static_cast<char>(kind));
  header.push_back(static_cast<char>(fixed));
  AppendBe32(header, device_id);
  return header;
}

/// The CRC-32 register over `bytes` (start 0xFFFFFFFF, no final inversion): the complement
/// of zlib's CRC-32.
inline uint32_t Crc32Register(const std::string& bytes) {
  const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
  return ~static_cast<uint32_t>(crc);
}

/// A compressed container around an LZSS bit stream with the given size fields; with
/// `footer` the flags are 1/1 and the stream's CRC-32 register ends the file, else 0/0.
inline std::string CompressedContainerOf(const std::string& bit_stream, uint32_t lookahead_field, uint32_t window_field,
                                         bool footer, uint32_t device_id = kTestDeviceId) {
  std::string file = ContainerHeader(footer ? 1 : 0, footer ? 1 : 0, 0x22, 1, device_id);
  AppendBe32(file, lookahead_field);
  AppendBe32(file, window_field);
  file += bit_stream;
  if (footer) AppendBe32(file, Crc32Register(bit_stream));
  return file;
}

/// A compressed container of `body`, encoded by the test encoder.
inline std::string CompressedContainer(const std::string& body, int window_bits = 11, int lookahead_bits = 4,
                                       bool footer = true) {
  return CompressedContainerOf(LzssEncode(body, window_bits, lookahead_bits), static_cast<uint32_t>(lookahead_bits),
                               1u << window_bits, footer);
}

struct EncryptionParameters {
  std::string password = "secret";
  uint32_t iterations = 1000;
  uint32_t device_id = kTestDeviceId;
  uint8_t flag_a = 0;
  uint8_t iv[12] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB};
  uint8_t salt[16] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87, 0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};
};

/// An encrypted container of `plaintext`: key by PBKDF2-HMAC-SHA-256, AES-256-GCM with the
/// first 52 bytes as additional data, tag at the end.
inline std::string EncryptedContainer(const std::string& plaintext, const EncryptionParameters& p = {}) {
  std::string file = ContainerHeader(p.flag_a, 0, 0x11, 1, p.device_id);
  file.append(reinterpret_cast<const char*>(p.iv), sizeof p.iv);
  AppendBe32(file, p.iterations);
  file.append(reinterpret_cast<const char*>(p.salt), sizeof p.salt);

  unsigned char key[32];
  mbedtls_md_context_t hmac;
  mbedtls_md_init(&hmac);
  const bool derived =
      mbedtls_md_setup(&hmac, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1) == 0 &&
      mbedtls_pkcs5_pbkdf2_hmac(&hmac, reinterpret_cast<const unsigned char*>(p.password.data()), p.password.size(),
                                p.salt, sizeof p.salt, p.iterations, sizeof key, key) == 0;
  mbedtls_md_free(&hmac);
  if (!derived) throw std::runtime_error("key derivation failed");

  std::string ciphertext(plaintext.size(), '\0');
  unsigned char tag[16];
  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  const bool encrypted =
      mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256) == 0 &&
      mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, plaintext.size(), p.iv, sizeof p.iv,
                                reinterpret_cast<const unsigned char*>(file.data()), file.size(),
                                reinterpret_cast<const unsigned char*>(plaintext.data()),
                                reinterpret_cast<unsigned char*>(ciphertext.data()), sizeof tag, tag) == 0;
  mbedtls_gcm_free(&gcm);
  if (!encrypted) throw std::runtime_error("encryption failed");
  file += ciphertext;
  file.append(reinterpret_cast<const char*>(tag), sizeof tag);
  return file;
}

inline std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

/// Bytes shaped like a logger's recording: a short text block, then CAN records of a rising
/// 64-bit timestamp, channel, identifier, DLC and eight data bytes from a few identifiers
/// whose signals change slowly (a counter, a ramp, a noisy byte), so that it compresses the
/// way a recording does.
inline std::string LoggerLikeBody(size_t size, uint32_t seed = 7) {
  std::mt19937 random(seed);
  std::string body = "##TX<HDcomment><TX>serial number 1234ABCD session 17 split 3</TX></HDcomment>";
  constexpr int kIdentifiers = 24;
  uint8_t data[kIdentifiers][8] = {};
  uint32_t ids[kIdentifiers];
  for (int i = 0; i < kIdentifiers; ++i) {
    ids[i] = 0x100 + static_cast<uint32_t>(random() % 0x600);
    for (uint8_t& byte : data[i]) byte = static_cast<uint8_t>(random());
  }
  uint64_t time = 1'000'000;
  while (body.size() < size) {
    const int i = static_cast<int>(random() % kIdentifiers);
    time += 100 + random() % 2000;
    for (int b = 0; b < 8; ++b) body.push_back(static_cast<char>(time >> (8 * b)));
    body.push_back(static_cast<char>(1 + i % 2));
    for (int b = 0; b < 4; ++b) body.push_back(static_cast<char>(ids[i] >> (8 * b)));
    body.push_back(8);
    ++data[i][0];                                                              // counter
    if (random() % 4 == 0) data[i][2] = static_cast<uint8_t>(data[i][2] + 1);  // ramp
    data[i][5] = static_cast<uint8_t>(random() % 3);                           // noise
    body.append(reinterpret_cast<const char*>(data[i]), 8);
  }
  body.resize(size);
  return body;
}

}  // namespace test
