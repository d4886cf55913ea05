// Fuzz target over the LZSS decoder: the first input byte picks the sizes (window bits
// 4 + b % 12, lookahead bits 3 + (b / 16) % (window bits - 3)), the second the piece sizes of
// a hand-driven decode, the rest is the bit stream. The stream (fast path, 1024-byte input)
// and the hand-driven decoder (small pieces in and out, mostly the state machine) must give
// the same bytes; anything else is a crash, so it aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/lzss.h"
#include "platform/stream.h"

namespace {

// Several times the largest window; expansion beyond it only costs time.
constexpr size_t kMaxOutput = size_t{256} << 10;

std::string DecodeByStream(const uint8_t* bits, size_t size, int window_bits, int lookahead_bits) {
  cStream_t* source = memoryStreamNew();
  if (size > 0) streamWrite(source, bits, size);
  streamSeek(source, 0, kSeekFromStart);
  cStream_t* lzss = lzssStreamNew(source, window_bits, lookahead_bits);
  if (lzss == nullptr) std::abort();  // the sizes are always in range
  std::string out;
  char chunk[4096];
  for (int64_t n; out.size() < kMaxOutput && (n = streamRead(lzss, chunk, sizeof chunk)) > 0;) {
    out.append(chunk, static_cast<size_t>(n));
  }
  streamClose(lzss);
  streamClose(source);
  return out;
}

std::string DecodeByHand(const uint8_t* bits, size_t size, int window_bits, int lookahead_bits, size_t in_piece,
                         size_t out_piece) {
  cLzssDecoder_t* decoder = lzssDecoderNew(64, window_bits, lookahead_bits);
  if (decoder == nullptr) std::abort();
  std::string out;
  std::vector<uint8_t> buffer(out_piece);
  size_t at = 0;
  while (out.size() < kMaxOutput) {
    size_t produced = 0;
    const int polled = lzssDecoderPoll(decoder, buffer.data(), buffer.size(), &produced);
    out.append(reinterpret_cast<const char*>(buffer.data()), produced);
    if (polled == kLzssPollMore) continue;
    if (polled != kLzssPollEmpty) std::abort();
    if (at == size) {
      if (lzssDecoderFinish(decoder) != kLzssOk) std::abort();  // no input waits after an empty poll
      break;
    }
    size_t taken = 0;
    if (lzssDecoderSink(decoder, bits + at, std::min(in_piece, size - at), &taken) != kLzssOk || taken == 0) {
      std::abort();  // an empty poll leaves the input buffer empty
    }
    at += taken;
  }
  lzssDecoderFree(decoder);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int window_bits = 4 + data[0] % 12;
  const int lookahead_bits = 3 + (data[0] / 16) % (window_bits - 3);
  const size_t in_piece = 1 + data[1] % 16;
  const size_t out_piece = 1 + data[1] / 16 * 7;
  const std::string by_stream = DecodeByStream(data + 2, size - 2, window_bits, lookahead_bits);
  const std::string by_hand = DecodeByHand(data + 2, size - 2, window_bits, lookahead_bits, in_piece, out_piece);
  // Both stop near the cap, at their own piece boundaries: compare what both produced.
  const size_t common = std::min(by_stream.size(), by_hand.size());
  if (std::memcmp(by_stream.data(), by_hand.data(), common) != 0 ||
      (common < kMaxOutput && by_stream.size() != by_hand.size())) {
    std::fprintf(stderr, "stream and hand-driven decoding differ (%zu and %zu bytes)\n", by_stream.size(),
                 by_hand.size());
    std::abort();
  }
  return 0;
}
