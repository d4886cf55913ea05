#include "platform/lzss.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/byteorder.h"

namespace {

constexpr int kByteBits = 8;
constexpr int kMaxGetBits = 15;
constexpr int kLiteralBits = 1 + kByteBits;

uint8_t* InputOf(cLzssDecoder_t* decoder) { return reinterpret_cast<uint8_t*>(decoder + 1); }
uint8_t* WindowOf(cLzssDecoder_t* decoder) { return InputOf(decoder) + decoder->input_capacity; }
unsigned WindowMask(const cLzssDecoder_t* decoder) { return (1u << decoder->window_bits) - 1; }

// Bits still to take from the current byte: its mask 0x80 leaves 8, 1 leaves 1, 0 none.
unsigned BitsLeftInByte(uint8_t mask) { return mask == 0 ? 0 : 32 - static_cast<unsigned>(__builtin_clz(mask)); }

size_t AvailableBits(const cLzssDecoder_t* decoder) {
  return BitsLeftInByte(decoder->bit_index) + size_t{kByteBits} * (decoder->input_size - decoder->input_index);
}

// Emits `count` bytes of a back-reference into `out` and the window; the source may overlap
// the bytes being produced, so it goes byte by byte through the window.
uint16_t CopyBackref(uint8_t* window, unsigned mask, uint16_t head, unsigned distance, uint8_t* out, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = window[(head - distance) & mask];
    window[head & mask] = byte;
    out[i] = byte;
    ++head;
  }
  return head;
}

// One step of the state machine. Missing bits or a full output leave the state as it is.
void Step(cLzssDecoder_t* d, uint8_t* out, size_t out_size, size_t* produced) {
  const int window_bits = d->window_bits;
  const int lookahead_bits = d->lookahead_bits;
  switch (d->state) {
    case kLzssTagBit: {
      const uint16_t bit = lzssGetBits(d, 1);
      if (bit == kLzssNoBits) return;
      if (bit != 0) {
        d->state = kLzssYieldLiteral;
      } else if (window_bits > kByteBits) {
        d->state = kLzssIndexHigh;
      } else {
        d->output_index = 0;
        d->state = kLzssIndexLow;
      }
      return;
    }
    case kLzssYieldLiteral: {
      if (*produced == out_size) return;
      const uint16_t byte = lzssGetBits(d, kByteBits);
      if (byte == kLzssNoBits) return;
      WindowOf(d)[d->head_index & WindowMask(d)] = static_cast<uint8_t>(byte);
      ++d->head_index;
      out[(*produced)++] = static_cast<uint8_t>(byte);
      d->state = kLzssTagBit;
      return;
    }
    case kLzssIndexHigh: {
      const uint16_t high = lzssGetBits(d, window_bits - kByteBits);
      if (high == kLzssNoBits) return;
      d->output_index = static_cast<uint16_t>(high << kByteBits);
      d->state = kLzssIndexLow;
      return;
    }
    case kLzssIndexLow: {
      const uint16_t low = lzssGetBits(d, std::min(window_bits, kByteBits));
      if (low == kLzssNoBits) return;
      d->output_index = static_cast<uint16_t>((d->output_index | low) + 1);
      d->output_count = 0;
      d->state = lookahead_bits > kByteBits ? kLzssCountHigh : kLzssCountLow;
      return;
    }
    case kLzssCountHigh: {
      const uint16_t high = lzssGetBits(d, lookahead_bits - kByteBits);
      if (high == kLzssNoBits) return;
      d->output_count = static_cast<uint16_t>(high << kByteBits);
      d->state = kLzssCountLow;
      return;
    }
    case kLzssCountLow: {
      const uint16_t low = lzssGetBits(d, std::min(lookahead_bits, kByteBits));
      if (low == kLzssNoBits) return;
      d->output_count = static_cast<uint16_t>((d->output_count | low) + 1);
      d->state = kLzssYieldBackref;
      return;
    }
    case kLzssYieldBackref: {
      const size_t n = std::min<size_t>(d->output_count, out_size - *produced);
      d->head_index = CopyBackref(WindowOf(d), WindowMask(d), d->head_index, d->output_index, out + *produced, n);
      *produced += n;
      d->output_count = static_cast<uint16_t>(d->output_count - n);
      if (d->output_count == 0) d->state = kLzssTagBit;
      return;
    }
    default:
      return;
  }
}

// Copies a back-reference of the speed path. The bytes produced in this poll, out[0, produced),
// are the newest of the output, so a source within them is read there; older bytes come from
// the window, which holds everything up to the start of the current speed-path run.
void CopyBackrefFromOutput(const uint8_t* window, unsigned mask, uint16_t head, unsigned distance, uint8_t* out,
                           size_t produced, size_t count) {
  uint8_t* to = out + produced;
  size_t i = 0;
  if (distance > produced) {
    const size_t older = std::min<size_t>(count, distance - produced);
    for (; i < older; ++i) to[i] = window[(head + i - distance) & mask];
  }
  if (i == count) return;
  const uint8_t* from = to - distance;
  if (distance >= sizeof(uint64_t)) {
    // Each block's source lies wholly before it, so block by block is right even where the
    // reference overlaps what it produces; short constant-size copies stay inline.
    for (; i + sizeof(uint64_t) <= count; i += sizeof(uint64_t)) std::memcpy(to + i, from + i, sizeof(uint64_t));
  }
  for (; i < count; ++i) to[i] = from[i];  // each byte may be one just written
}

// Speed path (bench/platform: BM_LzssCrcPath): decodes whole tokens from a 64-bit bit
// buffer while the input holds the longest token and the output has room, instead of a
// state step and a call per bit. Tokens are written to the output only; the window takes the
// run's newest bytes once at its end. It leaves the decoder exactly as the state machine
// would; the machine itself takes the tokens that straddle the end of the input. Called in
// state 0.
size_t DecodeWholeTokens(cLzssDecoder_t* d, uint8_t* out, size_t out_size, size_t produced) {
  const unsigned window_bits = d->window_bits;
  const unsigned lookahead_bits = d->lookahead_bits;
  const unsigned longest = std::max<unsigned>(kLiteralBits, 1 + window_bits + lookahead_bits);  // at most 30
  if (produced == out_size || AvailableBits(d) < longest) return produced;

  const uint8_t* input = InputOf(d);
  const size_t size = d->input_size;
  size_t index = d->input_index;
  const unsigned left = BitsLeftInByte(d->bit_index);
  // The valid bits stand at the top of `bits`; `count` of them.
  const auto unread = static_cast<uint8_t>(d->current_byte & ((d->bit_index << 1) - 1));
  uint64_t bits = left == 0 ? 0 : uint64_t{unread} << (64 - left);
  unsigned count = left;
  uint8_t* window = WindowOf(d);
  const unsigned mask = WindowMask(d);
  const uint16_t run_head = d->head_index;
  const size_t run_start = produced;
  for (;;) {
    // Refilled only when a token may not fit: the bit buffer is the loop's critical path.
    if (count < longest) {
      if (index + sizeof(uint64_t) <= size) {
        // Eight bytes at once: as many whole bytes as fit below the valid bits join them.
        const uint64_t next = loadBe64(input + index);
        const unsigned taken = (64 - count) / kByteBits;
        bits |= next >> count;
        if (taken < sizeof(uint64_t)) bits &= ~uint64_t{0} << (64 - count - taken * kByteBits);
        index += taken;
        count += taken * kByteBits;
      } else {
        while (count <= 64 - kByteBits && index < size) {
          bits |= uint64_t{input[index++]} << (64 - kByteBits - count);
          count += kByteBits;
        }
        if (count < longest) break;
      }
    }
    if (produced == out_size) break;
    if ((bits >> 63) != 0) {
      out[produced++] = static_cast<uint8_t>(bits >> (64 - kLiteralBits));
      bits <<= kLiteralBits;
      count -= kLiteralBits;
      continue;
    }
    bits <<= 1;
    const unsigned distance = static_cast<unsigned>(bits >> (64 - window_bits)) + 1;
    bits <<= window_bits;
    const unsigned length = static_cast<unsigned>(bits >> (64 - lookahead_bits)) + 1;
    bits <<= lookahead_bits;
    count -= 1 + window_bits + lookahead_bits;
    const size_t n = std::min<size_t>(length, out_size - produced);
    const auto head = static_cast<uint16_t>(run_head + (produced - run_start));
    CopyBackrefFromOutput(window, mask, head, distance, out, produced, n);
    produced += n;
    if (n < length) {
      d->output_index = static_cast<uint16_t>(distance);
      d->output_count = static_cast<uint16_t>(length - n);
      d->state = kLzssYieldBackref;
      break;
    }
  }
  // The window takes the run's bytes, of which only the newest window-size ones can still be
  // reached.
  const size_t window_size = size_t{mask} + 1;
  const size_t ran = produced - run_start;
  const size_t keep = std::min(ran, window_size);
  const uint8_t* newest = out + produced - keep;
  const unsigned slot = static_cast<uint16_t>(run_head + (ran - keep)) & mask;
  const size_t first = std::min(keep, window_size - slot);
  std::memcpy(window + slot, newest, first);
  std::memcpy(window, newest + first, keep - first);
  // Hand back the `count` unused bits: the last whole bytes read stay waiting, and the bits of
  // the byte before them (at least one token, 8 bits or more, was taken, so that byte came
  // from the input) become the current byte.
  index -= count / kByteBits;
  const unsigned part = count % kByteBits;
  if (part != 0) {
    d->current_byte = input[index - 1];
    d->bit_index = static_cast<uint8_t>(1u << (part - 1));
  } else {
    if (index > d->input_index) d->current_byte = input[index - 1];
    d->bit_index = 0;
  }
  if (index == size) {
    d->input_size = 0;
    d->input_index = 0;
  } else {
    d->input_index = static_cast<uint16_t>(index);
  }
  d->head_index = static_cast<uint16_t>(run_head + ran);
  return produced;
}

struct LzssStream {
  cStream_t base;
  cStream_t* source;
  cLzssDecoder_t* decoder;
};

LzssStream* As(cStream_t* stream) { return reinterpret_cast<LzssStream*>(stream); }

int64_t LzssRead(cStream_t* stream, void* buffer, uint64_t length) {
  auto* self = As(stream);
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t wanted = std::min<uint64_t>(length, std::numeric_limits<int64_t>::max());
  uint64_t delivered = 0;
  while (delivered < wanted) {
    size_t produced = 0;
    const int polled =
        lzssDecoderPoll(self->decoder, out + delivered, static_cast<size_t>(wanted - delivered), &produced);
    delivered += produced;
    if (polled == kLzssPollMore) continue;
    if (polled != kLzssPollEmpty) return kStreamFailed;
    uint8_t chunk[kLzssStreamInput];
    const int64_t count = streamRead(self->source, chunk, sizeof chunk);
    if (count < 0 || count > static_cast<int64_t>(sizeof chunk)) return kStreamFailed;
    // The end of the source ends the data, also if the decoder still waits for bits that
    // can no longer come: after an empty poll none are waiting, so it never loops here.
    if (count == 0) break;
    size_t taken = 0;
    lzssDecoderSink(self->decoder, chunk, static_cast<size_t>(count), &taken);
    if (taken < static_cast<size_t>(count)) {
      streamSeek(self->source, -static_cast<int64_t>(static_cast<size_t>(count) - taken), kSeekFromCurrent);
    }
  }
  return static_cast<int64_t>(delivered);
}

int64_t LzssWrite(cStream_t*, const void*, uint64_t) { return kStreamFailed; }
int64_t LzssTell(cStream_t*) { return kStreamFailed; }
int64_t LzssSeek(cStream_t*, int64_t, int) { return kStreamFailed; }

int LzssClose(cStream_t* stream) {
  if (stream == nullptr) return 0;
  lzssDecoderFree(As(stream)->decoder);
  std::free(stream);
  return 0;
}

constexpr cStreamOps_t kLzssOps = {LzssRead, LzssWrite, LzssTell, LzssSeek, LzssClose};

}  // namespace

cLzssDecoder_t* lzssDecoderNew(size_t input_capacity, int window_bits, int lookahead_bits) {
  if (window_bits < kLzssMinWindowBits || window_bits > kLzssMaxWindowBits) return nullptr;
  if (lookahead_bits < kLzssMinLookaheadBits || lookahead_bits >= window_bits) return nullptr;
  // The input size and index are 16-bit fields.
  if (input_capacity == 0 || input_capacity > std::numeric_limits<uint16_t>::max()) return nullptr;
  const size_t window_size = size_t{1} << window_bits;
  // Fields, input buffer and window in one zero-filled piece: no allocation while decoding.
  auto* decoder = static_cast<cLzssDecoder_t*>(std::calloc(1, sizeof(cLzssDecoder_t) + input_capacity + window_size));
  if (decoder == nullptr) return nullptr;
  decoder->window_bits = static_cast<uint8_t>(window_bits);
  decoder->lookahead_bits = static_cast<uint8_t>(lookahead_bits);
  decoder->input_capacity = static_cast<uint16_t>(input_capacity);
  return decoder;
}

void lzssDecoderFree(cLzssDecoder_t* decoder) { std::free(decoder); }

int lzssDecoderSink(cLzssDecoder_t* decoder, const uint8_t* bytes, size_t count, size_t* taken) {
  if (decoder == nullptr || bytes == nullptr || taken == nullptr) return kLzssNullArgument;
  const size_t room = size_t{decoder->input_capacity} - decoder->input_size;
  if (room == 0) {
    *taken = 0;
    return kLzssFull;
  }
  const size_t n = std::min(count, room);
  std::memcpy(InputOf(decoder) + decoder->input_size, bytes, n);
  decoder->input_size = static_cast<uint16_t>(decoder->input_size + n);
  *taken = n;
  return kLzssOk;
}

int lzssDecoderPoll(cLzssDecoder_t* decoder, uint8_t* output, size_t output_size, size_t* produced) {
  if (decoder == nullptr || output == nullptr || produced == nullptr) return kLzssNullArgument;
  size_t n = 0;
  for (;;) {
    if (decoder->state == kLzssTagBit) n = DecodeWholeTokens(decoder, output, output_size, n);
    const uint8_t before = decoder->state;
    if (before > kLzssYieldBackref) {
      *produced = n;
      return kLzssUnknownState;
    }
    Step(decoder, output, output_size, &n);
    if (decoder->state == before) {
      *produced = n;
      return n == output_size ? kLzssPollMore : kLzssPollEmpty;
    }
  }
}

int lzssDecoderFinish(cLzssDecoder_t* decoder) {
  if (decoder == nullptr) return kLzssNullArgument;
  if (decoder->state > kLzssCountLow) return kLzssFinishMore;
  return decoder->input_index == decoder->input_size ? kLzssOk : kLzssFinishMore;
}

uint16_t lzssGetBits(cLzssDecoder_t* decoder, int count) {
  if (decoder == nullptr || count < 0 || count > kMaxGetBits) return kLzssNoBits;
  if (count == 0) return 0;
  // A request is served whole or not at all.
  if (AvailableBits(decoder) < static_cast<size_t>(count)) return kLzssNoBits;
  uint16_t value = 0;
  for (int i = 0; i < count; ++i) {
    if (decoder->bit_index == 0) {
      decoder->current_byte = InputOf(decoder)[decoder->input_index++];
      if (decoder->input_index == decoder->input_size) {
        decoder->input_index = 0;
        decoder->input_size = 0;
      }
      decoder->bit_index = 0x80;
    }
    value = static_cast<uint16_t>((value << 1) | ((decoder->current_byte & decoder->bit_index) != 0 ? 1 : 0));
    decoder->bit_index = static_cast<uint8_t>(decoder->bit_index >> 1);
  }
  return value;
}

cStream_t* lzssStreamNew(cStream_t* source, int window_bits, int lookahead_bits) {
  if (source == nullptr) return nullptr;
  cLzssDecoder_t* decoder = lzssDecoderNew(kLzssStreamInput, window_bits, lookahead_bits);
  if (decoder == nullptr) return nullptr;
  auto* self = static_cast<LzssStream*>(std::calloc(1, sizeof(LzssStream)));
  if (self == nullptr) {
    lzssDecoderFree(decoder);
    return nullptr;
  }
  self->base.ops = &kLzssOps;
  self->source = source;
  self->decoder = decoder;
  return &self->base;
}
