#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/container.h"
#include "platform/log.h"
#include "platform/stream.h"
#include "support/genericfile.h"
#include "support/lzssencoder.h"
#include "support/probestream.h"
#include "support/samebytes.h"
#include "support/stderrcapture.h"

namespace {

using test::CompressedContainer;
using test::CompressedContainerOf;
using test::EncryptedContainer;
using test::EncryptionParameters;
using test::Probed;
using test::SameBytes;

const uint8_t* Bytes(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

std::string ReadAll(cStream_t* stream) {
  std::string out;
  if (streamSeek(stream, 0, kSeekFromStart) != 0) return "<seek failed>";
  char chunk[4096];
  for (int64_t n; (n = streamRead(stream, chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<size_t>(n));
  return out;
}

// Opens one layer of whichever kind the header names, within the bounds when given; null
// when it is refused.
cStream_t* OpenLayer(cStream_t* source, const cContainerHeader_t& header, const std::string& password,
                     cContainerBounds_t* bounds = nullptr) {
  if (header.kind == kContainerCompressed) return openCompressedStream(source, &header, bounds);
  if (header.kind == kContainerEncrypted) {
    return openEncryptedStream(source, &header, Bytes(password), password.size(), bounds);
  }
  return nullptr;
}

struct Unwrapped {
  int layers = 0;
  bool failed = false;  // a layer was refused
  std::string body;     // what stands after the last layer
};

// Unwraps layer after layer as the input walk does, closing each stream it replaces.
Unwrapped Unwrap(cStream_t* input, const std::string& password = "secret", cContainerBounds_t* bounds = nullptr) {
  Unwrapped result;
  cStream_t* current = input;
  cContainerHeader_t header;
  while (readContainerHeader(current, &header) == 1) {
    cStream_t* next = OpenLayer(current, header, password, bounds);
    if (next == nullptr) {
      result.failed = true;
      break;
    }
    EXPECT_EQ(streamTell(next), streamSize(next));  // a result stands at the end of its body
    if (current != input) {
      EXPECT_EQ(streamClose(current), 0);
    }
    current = next;
    ++result.layers;
  }
  if (!result.failed) result.body = ReadAll(current);
  if (current != input) {
    EXPECT_EQ(streamClose(current), 0);
  }
  return result;
}

Unwrapped UnwrapBytes(const std::string& file, const std::string& password = "secret",
                      cContainerBounds_t* bounds = nullptr) {
  Probed source(file);
  Unwrapped result = Unwrap(source.Stream(), password, bounds);
  EXPECT_EQ(source.Counts().closes, 0);  // no layer closes its source
  return result;
}

// Error lines of the console logger written while `action` runs, without their headers.
template <typename Action>
std::vector<std::string> ErrorsDuring(Action action) {
  test::StderrCapture capture;
  logSetLevel(kLogError);
  action();
  logSetLevel(kLogThresholdOff);
  std::vector<std::string> lines;
  const std::string text = capture.Text();
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    const size_t letter = line.find(" E ");
    lines.push_back(letter == std::string::npos ? line : line.substr(letter + 3));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

TEST(ContainerHeader, ReadsTheFieldsOfACompleteHeaderWhereverTheStreamStands) {
  Probed source(test::ContainerHeader(1, 1, 0x22, 1, 0x0A0B0C0D) + "rest");
  ASSERT_EQ(streamSeek(source.Stream(), 7, kSeekFromStart), 7);
  cContainerHeader_t header;
  ASSERT_EQ(readContainerHeader(source.Stream(), &header), 1);
  EXPECT_EQ(std::string(header.magic, sizeof header.magic), "Generic File");
  EXPECT_EQ(header.flag_a, 1);
  EXPECT_EQ(header.flag_b, 1);
  EXPECT_EQ(header.kind, 0x22);
  EXPECT_EQ(header.fixed, 1);
  EXPECT_EQ(header.device_id, 0x0A0B0C0Du);
}

TEST(ContainerHeader, AnythingButACompleteHeaderWithTheMagicGivesZero) {
  const std::string header = test::ContainerHeader(0, 0, 0x11);
  cContainerHeader_t read;
  for (size_t length = 0; length < header.size(); ++length) {
    Probed cut(header.substr(0, length));
    EXPECT_EQ(readContainerHeader(cut.Stream(), &read), 0) << length;
  }
  std::string other = header;
  other[11] = 'f';
  Probed wrong(other);
  EXPECT_EQ(readContainerHeader(wrong.Stream(), &read), 0);
  Probed mdf(std::string("MDF     4.11    QX") + std::string(46, '\0'));
  EXPECT_EQ(readContainerHeader(mdf.Stream(), &read), 0);
  EXPECT_EQ(readContainerHeader(nullptr, &read), 0);
  Probed unseekable(header);
  unseekable.Counts().fail_seeks = true;
  EXPECT_EQ(readContainerHeader(unseekable.Stream(), &read), 0);
}

TEST(ByteReader, ReadsFromItsBaseAndAdvancesOnlyOnSuccess) {
  Probed source("xx\x01\x02\x03\x04\x05\x06");
  ASSERT_EQ(streamSeek(source.Stream(), 2, kSeekFromStart), 2);
  cByteReader_t cursor;
  byteReaderInit(&cursor, source.Stream());
  streamSeek(source.Stream(), 0, kSeekFromEnd);  // the stream's own position does not matter
  uint8_t byte = 0;
  ASSERT_TRUE(byteReaderReadU8(&cursor, &byte));
  EXPECT_EQ(byte, 1);
  uint32_t value = 0;
  ASSERT_TRUE(byteReaderReadU32Be(&cursor, &value));
  EXPECT_EQ(value, 0x02030405u);
  EXPECT_FALSE(byteReaderReadU32Be(&cursor, &value));  // one byte left
  EXPECT_EQ(cursor.offset, 5);
  ASSERT_TRUE(byteReaderReadU8(&cursor, &byte));
  EXPECT_EQ(byte, 6);
}

struct CompressedCase {
  const char* name;
  uint8_t flag_a;
  uint8_t flag_b;
  uint8_t kind;
  uint8_t fixed;
  uint32_t lookahead_field;
  uint32_t window_field;
  int window_bits;  // what the body is encoded with; 0: refused
  int lookahead_bits;
};

TEST(CompressedContainer, RefusesHeadersAndSizeFieldsOutOfRange) {
  const CompressedCase cases[] = {
      {"no footer", 0, 0, 0x22, 1, 4, 1u << 11, 11, 4},
      {"footer", 1, 1, 0x22, 1, 4, 1u << 11, 11, 4},
      {"flag A 0, B 1", 0, 1, 0x22, 1, 4, 1u << 11, 0, 0},
      {"flag A 1, B 0", 1, 0, 0x22, 1, 4, 1u << 11, 0, 0},
      {"flag A 2", 2, 2, 0x22, 1, 4, 1u << 11, 0, 0},
      {"encrypted kind", 0, 0, 0x11, 1, 4, 1u << 11, 0, 0},
      {"other kind", 0, 0, 0x23, 1, 4, 1u << 11, 0, 0},
      {"fixed byte 0", 0, 0, 0x22, 0, 4, 1u << 11, 0, 0},
      {"fixed byte 2", 0, 0, 0x22, 2, 4, 1u << 11, 0, 0},
      {"window 0", 0, 0, 0x22, 1, 4, 0, 0, 0},
      {"window bit 3", 0, 0, 0x22, 1, 3, 8, 0, 0},
      {"window bit 16", 0, 0, 0x22, 1, 4, 1u << 16, 0, 0},
      {"window 48 is 16 bytes", 0, 0, 0x22, 1, 3, 48, 4, 3},
      {"window bit 15 and above", 0, 0, 0x22, 1, 14, 0xFFFF8000u, 15, 14},
      {"lookahead 2", 0, 0, 0x22, 1, 2, 1u << 11, 0, 0},
      {"lookahead equal to window", 0, 0, 0x22, 1, 11, 1u << 11, 0, 0},
      {"lookahead high bytes ignored", 0, 0, 0x22, 1, 0x12345604u, 1u << 8, 8, 4},
      {"lookahead 256 has low byte 0", 0, 0, 0x22, 1, 0x100, 1u << 11, 0, 0},
  };
  const std::string body = test::LoggerLikeBody(5000, 4);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bits =
        test::LzssEncode(body, c.window_bits != 0 ? c.window_bits : 11, c.window_bits != 0 ? c.lookahead_bits : 4);
    std::string file = test::ContainerHeader(c.flag_a, c.flag_b, c.kind, c.fixed);
    test::AppendBe32(file, c.lookahead_field);
    test::AppendBe32(file, c.window_field);
    file += bits;
    if (c.flag_b == 1) test::AppendBe32(file, test::Crc32Register(bits));
    Probed source(file);
    cContainerHeader_t header;
    ASSERT_EQ(readContainerHeader(source.Stream(), &header), 1);
    cStream_t* result = openCompressedStream(source.Stream(), &header);
    EXPECT_EQ(result != nullptr, c.window_bits != 0);
    if (result != nullptr) {
      EXPECT_TRUE(SameBytes(ReadAll(result), body));
    }
    EXPECT_EQ(streamClose(result), 0);
  }
  cContainerHeader_t header{};
  EXPECT_EQ(openCompressedStream(nullptr, &header), nullptr);
  Probed source(CompressedContainer("x"));
  EXPECT_EQ(openCompressedStream(source.Stream(), nullptr), nullptr);
}

TEST(CompressedContainer, BodiesComeBackWholeWithAndWithoutFooter) {
  const std::vector<std::string> bodies = {
      "",
      "A",
      test::LoggerLikeBody(1023, 1),
      test::LoggerLikeBody(1024, 2),
      test::RandomBytes(4097, 3),
      test::LoggerLikeBody(200000, 4),
      test::LoggerLikeBody(2 << 20, 5) + test::RandomBytes(512 << 10, 6),
  };
  for (const auto& body : bodies) {
    for (bool footer : {false, true}) {
      SCOPED_TRACE(testing::Message() << body.size() << " bytes, footer " << footer);
      Probed source(CompressedContainer(body, 11, 4, footer));
      cContainerHeader_t header;
      ASSERT_EQ(readContainerHeader(source.Stream(), &header), 1);
      cStream_t* result = openCompressedStream(source.Stream(), &header);
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(streamTell(result), static_cast<int64_t>(body.size()));
      EXPECT_EQ(containerDepth(result), 1);
      EXPECT_TRUE(SameBytes(ReadAll(result), body));
      EXPECT_EQ(streamClose(result), 0);
      EXPECT_EQ(source.Counts().closes, 0);
    }
  }
}

TEST(CompressedContainer, AFooterOneBitOffIsRefusedWithTheExactMessage) {
  const std::string body = test::LoggerLikeBody(3000, 8);
  std::string file = CompressedContainer(body);
  const std::string bits = file.substr(28, file.size() - 32);
  const uint32_t computed = test::Crc32Register(bits);
  file.back() = static_cast<char>(file.back() ^ 0x01);
  char expected[128];
  std::snprintf(expected, sizeof expected, "Could not validate checksum, expected %08X but found %08X", computed ^ 1u,
                computed);
  Unwrapped result;
  EXPECT_EQ(ErrorsDuring([&] { result = UnwrapBytes(file); }), std::vector<std::string>{expected});
  EXPECT_TRUE(result.failed);
}

TEST(CompressedContainer, AMissingFooterIsReported) {
  const std::string none = "Expected to read out CRC from footer, but found none";
  const std::string file = CompressedContainer(test::LoggerLikeBody(3000, 9));
  // Too short for a footer behind the size fields.
  for (size_t length = 28; length < 32; ++length) {
    SCOPED_TRACE(length);
    Unwrapped result;
    EXPECT_EQ(ErrorsDuring([&] { result = UnwrapBytes(file.substr(0, length)); }), std::vector<std::string>{none});
    EXPECT_TRUE(result.failed);
  }
  // A source that stops delivering inside the footer.
  Probed source(file);
  source.Counts().reads_end_at = static_cast<int64_t>(file.size()) - 2;
  Unwrapped result;
  EXPECT_EQ(ErrorsDuring([&] { result = Unwrap(source.Stream()); }), std::vector<std::string>{none});
  EXPECT_TRUE(result.failed);
}

TEST(CompressedContainer, AFailedOrEarlyEndingSourceFailsTheLayerAlsoWithoutFooter) {
  const std::string body = test::LoggerLikeBody(50000, 10);
  for (bool footer : {false, true}) {
    const std::string file = CompressedContainer(body, 11, 4, footer);
    const int64_t middle = static_cast<int64_t>(file.size()) / 2;
    Probed failing(file);
    failing.Counts().fail_reads_at = middle;
    Probed ending(file);
    ending.Counts().reads_end_at = middle;
    // Every byte delivered, but the read that would report the end fails.
    Probed failing_at_end(file);
    failing_at_end.Counts().fail_reads_at = static_cast<int64_t>(file.size()) - (footer ? 4 : 0);
    for (Probed* source : {&failing, &ending, &failing_at_end}) {
      SCOPED_TRACE(testing::Message() << "footer " << footer << ", source " << (source - &failing));
      Unwrapped result;
      EXPECT_TRUE(ErrorsDuring([&] { result = Unwrap(source->Stream()); }).empty());  // not a checksum failure
      EXPECT_TRUE(result.failed);
    }
  }
}

// Same damage, same outcome: every cut and every byte changed by one of three patterns gives
// a refusal (or not a container) without a crash; only a header byte outside the sizes,
// flags and magic (the device id) may still decode, and then to the same body.
TEST(CompressedContainer, EveryCutAndEveryByteChangeIsRefused) {
  const std::string body = test::LoggerLikeBody(600, 11);
  const std::string file = CompressedContainer(body, 8, 4, true);
  for (size_t length = 0; length < file.size(); ++length) {
    const Unwrapped result = UnwrapBytes(file.substr(0, length));
    EXPECT_TRUE(result.failed || result.layers == 0) << length;
  }
  for (size_t at = 0; at < file.size(); ++at) {
    for (uint8_t pattern : {0x01, 0x80, 0xFF}) {
      std::string damaged = file;
      damaged[at] = static_cast<char>(damaged[at] ^ pattern);
      Unwrapped result;
      ErrorsDuring([&] { result = UnwrapBytes(damaged); });
      const bool decoded = !result.failed && result.layers == 1;
      const bool device_id = at >= 16 && at < 20;
      const bool size_field = at >= 20 && at < 28;  // the CRC covers only the bit stream
      if (device_id) {
        EXPECT_TRUE(decoded && result.body == body) << at;
      } else if (!size_field) {
        EXPECT_FALSE(decoded) << at << " " << int{pattern};
      }
    }
  }
}

TEST(EncryptedContainer, SixtyEightBytesWithAValidTagGiveAnEmptyBody) {
  const std::string file = EncryptedContainer("");
  ASSERT_EQ(file.size(), 68u);
  const Unwrapped result = UnwrapBytes(file);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.layers, 1);
  EXPECT_EQ(result.body, "");
}

TEST(EncryptedContainer, BodiesComeBackAndAWrongPasswordGivesNull) {
  for (size_t size : {1, 15, 16, 17, 511, 512, 513, 1025, 300000}) {
    SCOPED_TRACE(size);
    const std::string body = test::LoggerLikeBody(size, static_cast<uint32_t>(size));
    const std::string file = EncryptedContainer(body);
    const Unwrapped good = UnwrapBytes(file);
    EXPECT_FALSE(good.failed);
    EXPECT_EQ(good.layers, 1);
    EXPECT_TRUE(SameBytes(good.body, body));
    EXPECT_TRUE(UnwrapBytes(file, "Secret").failed);
    EXPECT_TRUE(UnwrapBytes(file, "").failed);
  }
  EncryptionParameters empty_password;
  empty_password.password = "";
  empty_password.flag_a = 1;
  const Unwrapped result = UnwrapBytes(EncryptedContainer("body", empty_password), "");
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.body, "body");
}

TEST(EncryptedContainer, RefusesHeadersAndIterationCountsOutOfRange) {
  const std::string body = "recording";
  const std::string file = EncryptedContainer(body);
  struct Case {
    size_t at;
    uint8_t value;
  };
  for (const Case c : {Case{12, 2}, Case{13, 1}, Case{14, 0x22}, Case{15, 0}, Case{15, 2}}) {
    std::string changed = file;
    changed[c.at] = static_cast<char>(c.value);
    Probed source(changed);
    cContainerHeader_t header;
    ASSERT_EQ(readContainerHeader(source.Stream(), &header), 1);
    EXPECT_EQ(openEncryptedStream(source.Stream(), &header, Bytes("secret"), 6), nullptr) << c.at;
  }
  Probed source(file);
  cContainerHeader_t header;
  ASSERT_EQ(readContainerHeader(source.Stream(), &header), 1);
  EXPECT_EQ(openEncryptedStream(source.Stream(), &header, nullptr, 6), nullptr);
  EXPECT_EQ(openEncryptedStream(source.Stream(), nullptr, Bytes("secret"), 6), nullptr);
  EXPECT_EQ(openEncryptedStream(nullptr, &header, Bytes("secret"), 6), nullptr);

  // A count of 0 that mbedTLS would take as 1: the file is otherwise valid, and refused.
  EncryptionParameters zero;
  zero.iterations = 0;
  EXPECT_TRUE(UnwrapBytes(EncryptedContainer(body, zero)).failed);
  // A count above the bound is refused before anything behind the salt is read.
  std::string costly = file;
  costly.replace(32, 4, "\x00\x98\x96\x81", 4);  // 10,000,001
  Probed refused(costly);
  EXPECT_TRUE(Unwrap(refused.Stream()).failed);
  EXPECT_LE(refused.Counts().furthest_read, 52);
  Probed accepted(file);
  EXPECT_FALSE(Unwrap(accepted.Stream()).failed);
  EXPECT_EQ(accepted.Counts().furthest_read, static_cast<int64_t>(file.size()));
}

// Header, IV, count, salt, ciphertext and tag all count: no change or cut lets a body out.
TEST(EncryptedContainer, EveryByteChangeAndEveryCutGivesNull) {
  EncryptionParameters few;
  few.iterations = 50;  // keeps changed counts cheap to derive
  const std::string file = EncryptedContainer(test::LoggerLikeBody(40, 12), few);
  for (size_t at = 0; at < file.size(); ++at) {
    // Neither pattern turns the count into one in the millions.
    for (uint8_t pattern : {0x01, 0xFF}) {
      std::string damaged = file;
      damaged[at] = static_cast<char>(damaged[at] ^ pattern);
      const Unwrapped result = UnwrapBytes(damaged);
      EXPECT_TRUE(result.failed || result.layers == 0) << at << " " << int{pattern};
    }
  }
  for (size_t length = 0; length < file.size(); ++length) {
    Probed cut(file.substr(0, length));
    const Unwrapped result = Unwrap(cut.Stream());
    EXPECT_TRUE(result.failed || result.layers == 0) << length;
    // Without room for a tag nothing behind the salt is read (nor a key derived).
    if (length < 68) {
      EXPECT_LE(cut.Counts().furthest_read, 52) << length;
    }
  }
  // A source that stops early inside the ciphertext, while its size says more.
  Probed ending(file);
  ending.Counts().reads_end_at = 60;
  EXPECT_TRUE(Unwrap(ending.Stream()).failed);
}

TEST(NestedContainers, EncryptedAroundCompressedUnwrapsTwice) {
  const std::string body = test::LoggerLikeBody(100000, 13);
  const Unwrapped result = UnwrapBytes(EncryptedContainer(CompressedContainer(body)));
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.layers, 2);
  EXPECT_TRUE(SameBytes(result.body, body));
}

TEST(NestedContainers, EightLayersOpenAndTheNinthIsRefused) {
  const std::string body = "innermost";
  std::string file = body;
  for (int layer = 1; layer <= kMaxContainerLayers; ++layer) file = CompressedContainer(file, 9, 4, layer % 2 == 0);
  const Unwrapped eight = UnwrapBytes(file);
  EXPECT_FALSE(eight.failed);
  EXPECT_EQ(eight.layers, kMaxContainerLayers);
  EXPECT_EQ(eight.body, body);

  for (bool encrypted : {false, true}) {
    const std::string nine = encrypted ? EncryptedContainer(file) : CompressedContainer(file);
    const Unwrapped result = UnwrapBytes(nine);
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.layers, kMaxContainerLayers);
  }
}

// The layers of one file share its bounds: the key derivation of all encrypted layers
// together (each takes its count from what the outer ones left, and one that asks for more is
// refused with a line before its key is derived), and the memory each body may take (a body
// that would grow past it is refused as such, its memory never beyond).
TEST(NestedContainers, TheLayersOfAFileShareItsBounds) {
  const std::string body = test::LoggerLikeBody(100000, 14);
  EncryptionParameters outer;
  outer.iterations = 600;
  EncryptionParameters inner;
  inner.iterations = 500;
  const std::string nested = EncryptedContainer(EncryptedContainer(body, inner), outer);
  {
    cContainerBounds_t bounds;
    bounds.iterations = 1100;
    const Unwrapped whole = UnwrapBytes(nested, "secret", &bounds);
    EXPECT_FALSE(whole.failed);
    EXPECT_EQ(whole.layers, 2);
    EXPECT_EQ(bounds.iterations, 0U);
    EXPECT_EQ(bounds.exceeded, 0);
  }
  {
    cContainerBounds_t bounds;
    bounds.iterations = 1099;
    Unwrapped refused;
    const std::vector<std::string> errors = ErrorsDuring([&] { refused = UnwrapBytes(nested, "secret", &bounds); });
    EXPECT_TRUE(refused.failed);
    EXPECT_EQ(refused.layers, 1);
    EXPECT_EQ(bounds.exceeded, kContainerOverIterations);
    EXPECT_EQ(errors, std::vector<std::string>(
                          {"Key derivation refused: the layer asks for 500 iterations, 499 are left of the 10000000 "
                           "per file"}));
  }
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "compressed");
    const std::string file = encrypted ? EncryptedContainer(body) : CompressedContainer(body);
    cContainerBounds_t bounds;
    bounds.memory = static_cast<int64_t>(body.size() / 2);
    EXPECT_TRUE(UnwrapBytes(file, "secret", &bounds).failed);
    EXPECT_EQ(bounds.exceeded, kContainerOverMemory);
    Probed source(file);
    cContainerHeader_t header;
    ASSERT_EQ(readContainerHeader(source.Stream(), &header), 1);
    bounds = cContainerBounds_t{};
    bounds.memory = static_cast<int64_t>(body.size()) * 2;
    cStream_t* result = OpenLayer(source.Stream(), header, "secret", &bounds);
    ASSERT_NE(result, nullptr);
    EXPECT_GE(containerBodyMemory(result), static_cast<int64_t>(body.size()));
    EXPECT_LE(containerBodyMemory(result), bounds.memory);
    EXPECT_EQ(ReadAll(result), body);
    EXPECT_EQ(streamClose(result), 0);
  }
}

}  // namespace
