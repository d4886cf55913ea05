#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/lzss.h"
#include "platform/stream.h"
#include "support/genericfile.h"
#include "support/lzssencoder.h"
#include "support/probestream.h"
#include "support/samebytes.h"

namespace {

using test::LzssBitWriter;
using test::Probed;
using test::SameBytes;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

struct DecoderDeleter {
  void operator()(cLzssDecoder_t* decoder) const { lzssDecoderFree(decoder); }
};
using Decoder = std::unique_ptr<cLzssDecoder_t, DecoderDeleter>;

// Drives the decoder by hand: input sunk `in_piece` bytes at a time, output polled into a
// buffer of `out_piece` bytes; at the end of the input the decoder must report done.
std::string DecodeChunked(const std::string& bits, int window_bits, int lookahead_bits, size_t in_piece,
                          size_t out_piece) {
  Decoder decoder(lzssDecoderNew(kLzssStreamInput, window_bits, lookahead_bits));
  if (!decoder) {
    ADD_FAILURE() << "decoder refused";
    return {};
  }
  std::string out;
  std::vector<uint8_t> buffer(out_piece);
  size_t at = 0;
  for (;;) {
    size_t produced = 0;
    const int polled = lzssDecoderPoll(decoder.get(), buffer.data(), buffer.size(), &produced);
    out.append(reinterpret_cast<const char*>(buffer.data()), produced);
    if (polled == kLzssPollMore) continue;
    EXPECT_EQ(polled, kLzssPollEmpty);
    if (polled != kLzssPollEmpty || at == bits.size()) break;
    size_t taken = 0;
    EXPECT_EQ(lzssDecoderSink(decoder.get(), reinterpret_cast<const uint8_t*>(bits.data()) + at,
                              std::min(in_piece, bits.size() - at), &taken),
              kLzssOk);
    at += taken;
  }
  EXPECT_EQ(lzssDecoderFinish(decoder.get()), kLzssOk);
  EXPECT_LE(decoder->state, kLzssCountLow);
  return out;
}

// Decodes through the decompressing stream over a memory stream.
std::string DecodeStream(const std::string& bits, int window_bits, int lookahead_bits) {
  Probed source(bits);
  cStream_t* lzss = lzssStreamNew(source.Stream(), window_bits, lookahead_bits);
  if (lzss == nullptr) {
    ADD_FAILURE() << "stream refused";
    return {};
  }
  cStream_t* out = memoryStreamNew();
  const int64_t copied = streamCopyChecked(lzss, out);
  EXPECT_EQ(copied, streamTell(out));
  std::string text(static_cast<size_t>(std::max<int64_t>(copied, 0)), '\0');
  streamSeek(out, 0, kSeekFromStart);
  streamRead(out, text.data(), text.size());
  streamClose(out);
  EXPECT_EQ(streamClose(lzss), 0);
  return text;
}

struct HandVector {
  const char* name;
  int window_bits;
  int lookahead_bits;
  std::string bits;
  std::string expected;
};

// Bytes worked out bit by bit (tag | index | count, then zero padding).
TEST(LzssDecoder, HandMadeStreamsDecodeToTheirBytes) {
  const std::vector<HandVector> vectors = {
      // 8 x (1 + 8 bits) = 72 bits: eight literals in nine bytes.
      {"eight literals", 8, 4, Bytes({0xB6, 0x5B, 0xEC, 0xF6, 0xDB, 0x2D, 0xBA, 0xC9, 0x21}), "logmend!"},
      // 1 01100001 | 0 00000000 0100: 'a', then distance 1 count 5 overlapping what it makes.
      {"literal then overlapping copy", 8, 4, Bytes({0xB0, 0x80, 0x10}), "aaaaaa"},
      // 0 00000010 0011: distance 3 count 4 before any output reads the fresh window.
      {"reference before any output", 8, 4, Bytes({0x01, 0x18}), std::string(4, '\0')},
      // 'a' 'b' 'c' then 0 00000010 0101: distance 3 count 6.
      {"repeat of three", 8, 4, Bytes({0xB0, 0xD8, 0xAC, 0x60, 0x25}), "abcabcabc"},
      // 1 01111000 | 0 | 0 00000000 | 0010: window 9 bits, a 1-bit index high part.
      {"index high part", 9, 4, Bytes({0xBC, 0x00, 0x04}), "xxxx"},
      // 1 01010001 | 0 | 0000 00000000 | 1 00101011: count 300 with a 1-bit count high part.
      {"count high part", 12, 9, Bytes({0xA8, 0x80, 0x02, 0x56}), std::string(301, 'Q')},
      // 1 01111010 | 0 | 0000 | 111: the smallest sizes.
      {"smallest sizes", 4, 3, Bytes({0xBD, 0x03, 0x80}), std::string(9, 'z')},
      // 1 01101011 | 0 | 15 zero bits | 14 one bits: the largest sizes, count 16384.
      {"largest sizes", 15, 14, Bytes({0xB5, 0x80, 0x00, 0x7F, 0xFE}), std::string(16385, 'k')},
      {"no input", 11, 4, "", ""},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.name);
    EXPECT_TRUE(SameBytes(DecodeStream(v.bits, v.window_bits, v.lookahead_bits), v.expected));
    for (size_t in_piece : {size_t{1}, size_t{2}, size_t{1024}}) {
      for (size_t out_piece : {size_t{1}, size_t{3}, size_t{4096}}) {
        EXPECT_TRUE(SameBytes(DecodeChunked(v.bits, v.window_bits, v.lookahead_bits, in_piece, out_piece), v.expected));
      }
    }
  }
}

TEST(LzssDecoder, RefusesSizesOutsideTheirRanges) {
  struct Case {
    size_t capacity;
    int window_bits;
    int lookahead_bits;
    bool accepted;
  };
  const Case cases[] = {
      {1024, 4, 3, true},  {1024, 15, 14, true}, {1024, 8, 7, true},    {65535, 11, 4, true},
      {1024, 3, 2, false}, {1024, 16, 4, false}, {1024, 11, 2, false},  {1024, 8, 8, false},
      {1024, 4, 4, false}, {0, 11, 4, false},    {65536, 11, 4, false}, {1024, -1, 4, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.capacity << " " << c.window_bits << " " << c.lookahead_bits);
    Decoder decoder(lzssDecoderNew(c.capacity, c.window_bits, c.lookahead_bits));
    EXPECT_EQ(decoder != nullptr, c.accepted);
  }
  Probed source("x");
  EXPECT_EQ(lzssStreamNew(source.Stream(), 16, 4), nullptr);
  EXPECT_EQ(lzssStreamNew(nullptr, 11, 4), nullptr);
}

TEST(LzssGetBits, ServesARequestWholeOrNotAtAll) {
  Decoder decoder(lzssDecoderNew(4, 11, 4));
  ASSERT_TRUE(decoder);
  EXPECT_EQ(lzssGetBits(decoder.get(), 1), kLzssNoBits);  // nothing waits
  EXPECT_EQ(lzssGetBits(decoder.get(), 0), 0);
  const uint8_t bytes[] = {0b10110011, 0b01011100};
  size_t taken = 0;
  ASSERT_EQ(lzssDecoderSink(decoder.get(), bytes, 1, &taken), kLzssOk);
  EXPECT_EQ(lzssGetBits(decoder.get(), 3), 0b101);
  // Five bits are left: a request of nine consumes none of them.
  EXPECT_EQ(lzssGetBits(decoder.get(), 9), kLzssNoBits);
  EXPECT_EQ(lzssGetBits(decoder.get(), 16), kLzssNoBits);
  ASSERT_EQ(lzssDecoderSink(decoder.get(), bytes + 1, 1, &taken), kLzssOk);
  EXPECT_EQ(lzssGetBits(decoder.get(), 9), 0b100110101);  // across the byte boundary
  EXPECT_EQ(lzssGetBits(decoder.get(), 4), 0b1100);
  EXPECT_EQ(lzssGetBits(decoder.get(), 1), kLzssNoBits);
  // The last byte taken empties the buffer, so the next sink starts at its front.
  EXPECT_EQ(decoder->input_size, 0);
  EXPECT_EQ(decoder->input_index, 0);
  EXPECT_EQ(lzssGetBits(nullptr, 1), kLzssNoBits);
}

TEST(LzssDecoder, SinkPollAndFinishReportFullBuffersAndNullArguments) {
  Decoder decoder(lzssDecoderNew(4, 8, 4));
  ASSERT_TRUE(decoder);
  const uint8_t bytes[6] = {0xB0, 0x80, 0x10, 0, 0, 0};  // 'a' and a copy of 5
  uint8_t out[8];
  size_t n = 0;
  EXPECT_EQ(lzssDecoderSink(decoder.get(), bytes, 6, &n), kLzssOk);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(lzssDecoderSink(decoder.get(), bytes, 6, &n), kLzssFull);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(lzssDecoderFinish(decoder.get()), kLzssFinishMore);  // input waits
  // Two bytes of room: the literal and one byte of the copy; four remain.
  EXPECT_EQ(lzssDecoderPoll(decoder.get(), out, 2, &n), kLzssPollMore);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(decoder->state, kLzssYieldBackref);
  EXPECT_EQ(lzssDecoderFinish(decoder.get()), kLzssFinishMore);
  EXPECT_EQ(lzssDecoderPoll(decoder.get(), out, sizeof out, &n), kLzssPollEmpty);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "aaaa");

  EXPECT_EQ(lzssDecoderSink(nullptr, bytes, 1, &n), kLzssNullArgument);
  EXPECT_EQ(lzssDecoderSink(decoder.get(), nullptr, 1, &n), kLzssNullArgument);
  EXPECT_EQ(lzssDecoderSink(decoder.get(), bytes, 1, nullptr), kLzssNullArgument);
  EXPECT_EQ(lzssDecoderPoll(nullptr, out, 1, &n), kLzssNullArgument);
  EXPECT_EQ(lzssDecoderPoll(decoder.get(), nullptr, 1, &n), kLzssNullArgument);
  EXPECT_EQ(lzssDecoderPoll(decoder.get(), out, 1, nullptr), kLzssNullArgument);
  EXPECT_EQ(lzssDecoderFinish(nullptr), kLzssNullArgument);
  decoder->state = 7;
  EXPECT_EQ(lzssDecoderPoll(decoder.get(), out, 1, &n), kLzssUnknownState);
}

struct SizeClass {
  int window_bits;
  int lookahead_bits;
};
// Each side at most 8 bits (no high part) and above 8 bits, and the extremes.
const SizeClass kSizeClasses[] = {{4, 3}, {8, 4}, {8, 7}, {9, 4}, {11, 4}, {12, 9}, {13, 10}, {15, 14}};

// Random literals and back-references (any distance, zeros before the start included) in
// a stream of several kilobytes: the decompressing stream refills in 1024-byte pieces, so
// tokens cross those boundaries in every size class.
TEST(LzssDecoder, RandomTokensAcrossTheRefillBoundaries) {
  for (const auto& c : kSizeClasses) {
    SCOPED_TRACE(testing::Message() << "window " << c.window_bits << " lookahead " << c.lookahead_bits);
    std::mt19937 random(static_cast<uint32_t>(c.window_bits * 100 + c.lookahead_bits));
    LzssBitWriter writer(c.window_bits, c.lookahead_bits);
    while (writer.BitCount() < 8 * 5000) {
      if (random() % 3 == 0) {
        writer.Literal(static_cast<uint8_t>(random()));
      } else {
        // Mostly short copies, sometimes the longest, so the output stays a few MiB at most.
        const uint32_t longest = 1u << c.lookahead_bits;
        const uint32_t length = random() % 8 == 0 ? longest : 1 + random() % std::min<uint32_t>(longest, 40);
        writer.BackRef(1 + random() % (1u << c.window_bits), length);
      }
    }
    int straddling = 0;
    for (const auto& span : writer.Spans()) {
      if (span.begin / (8 * kLzssStreamInput) != (span.end - 1) / (8 * kLzssStreamInput)) ++straddling;
    }
    EXPECT_GE(straddling, 3);  // of the four boundaries
    EXPECT_TRUE(SameBytes(DecodeStream(writer.Bytes(), c.window_bits, c.lookahead_bits), writer.Decoded()));
    EXPECT_TRUE(SameBytes(DecodeChunked(writer.Bytes(), c.window_bits, c.lookahead_bits, 7, 1000), writer.Decoded()));
  }
}

TEST(LzssRoundTrip, BodiesOfEveryKindAndSizeComeBackWhole) {
  struct Body {
    const char* name;
    std::string bytes;
  };
  const std::vector<Body> bodies = {
      {"empty", ""},
      {"one byte", "Z"},
      {"refill size", test::LoggerLikeBody(1024, 1)},
      {"zeros", std::string(70000, '\0')},
      {"random", test::RandomBytes(50000, 2)},
      {"logger-like", test::LoggerLikeBody(300000, 3)},
  };
  for (const auto& c : kSizeClasses) {
    for (const auto& body : bodies) {
      SCOPED_TRACE(testing::Message() << body.name << ", window " << c.window_bits << " lookahead "
                                      << c.lookahead_bits);
      LzssBitWriter writer(c.window_bits, c.lookahead_bits);
      test::LzssEncodeInto(writer, body.bytes);
      ASSERT_TRUE(SameBytes(writer.Decoded(), body.bytes));  // the encoder's own account
      EXPECT_TRUE(SameBytes(DecodeStream(writer.Bytes(), c.window_bits, c.lookahead_bits), body.bytes));
      EXPECT_TRUE(SameBytes(DecodeChunked(writer.Bytes(), c.window_bits, c.lookahead_bits, 333, 77), body.bytes));
    }
  }
}

TEST(LzssRoundTrip, SeveralMebibytesThroughTheStream) {
  const std::string body = test::LoggerLikeBody(6 << 20, 11) + test::RandomBytes(1 << 20, 12);
  EXPECT_TRUE(SameBytes(DecodeStream(test::LzssEncode(body, 11, 4), 11, 4), body));
}

TEST(LzssStream, FailedSourceReadsFailTheReadAndTheEndEndsIt) {
  const std::string body = test::LoggerLikeBody(20000, 5);
  const std::string bits = test::LzssEncode(body, 10, 5);
  Probed source(bits);
  source.Counts().fail_reads_at = 3000;
  cStream_t* lzss = lzssStreamNew(source.Stream(), 10, 5);
  ASSERT_NE(lzss, nullptr);
  cStream_t* out = memoryStreamNew();
  EXPECT_EQ(streamCopyChecked(lzss, out), kStreamFailed);
  streamClose(out);

  // A source that ends early: the data ends with it, and later reads give 0 at once.
  Probed cut(bits);
  cut.Counts().reads_end_at = 3000;
  cStream_t* short_lzss = lzssStreamNew(cut.Stream(), 10, 5);
  ASSERT_NE(short_lzss, nullptr);
  std::string decoded(body.size(), '\0');
  const int64_t n = streamRead(short_lzss, decoded.data(), decoded.size());
  ASSERT_GT(n, 0);
  EXPECT_LT(n, static_cast<int64_t>(body.size()));
  EXPECT_EQ(decoded.substr(0, static_cast<size_t>(n)), body.substr(0, static_cast<size_t>(n)));
  const int reads = cut.Counts().reads;
  EXPECT_EQ(streamRead(short_lzss, decoded.data(), decoded.size()), 0);
  EXPECT_EQ(cut.Counts().reads, reads + 1);

  char byte = 0;
  EXPECT_EQ(streamWrite(short_lzss, &byte, 1), kStreamFailed);
  EXPECT_EQ(streamTell(short_lzss), kStreamFailed);
  EXPECT_EQ(streamSeek(short_lzss, 0, kSeekFromStart), kStreamFailed);
  EXPECT_EQ(streamClose(short_lzss), 0);
  EXPECT_EQ(streamClose(lzss), 0);
  EXPECT_EQ(cut.Counts().closes, 0);  // the source stays open
}

}  // namespace
