#pragma once
// Incremental decoder of the compressed container's LZSS bit stream, and a read-only stream
// that drives it.
//
// Bit stream, most significant bit first: a tag bit 1 is followed by an 8-bit literal; a tag
// bit 0 by a back-reference, its index (window bits wide, distance - 1) and then its count
// (lookahead bits wide, length - 1). Both fields are read as a high part (bits above 8, only
// when the width exceeds 8) and a low part. Back-references reach into a window of
// 2^window-bits bytes that starts zero-filled and may overlap the bytes they produce. Zero
// bits pad the last byte; the data ends where the input ends.
#include <cstddef>
#include <cstdint>

#include "platform/stream.h"

/// The decoder's state, allocated in one piece with its input buffer (input_capacity bytes)
/// and its window (2^window_bits bytes) behind it. Callers treat the fields as read-only.
struct cLzssDecoder_t {
  uint16_t input_size;    // bytes waiting in the input buffer
  uint16_t input_index;   // next unread byte there
  uint16_t output_count;  // bytes of the current back-reference still to emit
  uint16_t output_index;  // distance of the current back-reference
  uint16_t head_index;    // bytes emitted so far, modulo 65536
  uint8_t state;
  uint8_t current_byte;  // input byte being taken apart
  uint8_t bit_index;     // mask of its next bit, 0x80 down to 1; 0: take a new byte
  uint8_t window_bits;
  uint8_t lookahead_bits;
  uint16_t input_capacity;
};

// States of the decoder.
constexpr uint8_t kLzssTagBit = 0;
constexpr uint8_t kLzssYieldLiteral = 1;
constexpr uint8_t kLzssIndexHigh = 2;
constexpr uint8_t kLzssIndexLow = 3;
constexpr uint8_t kLzssCountHigh = 4;
constexpr uint8_t kLzssCountLow = 5;
constexpr uint8_t kLzssYieldBackref = 6;

constexpr int kLzssMinWindowBits = 4;
constexpr int kLzssMaxWindowBits = 15;
constexpr int kLzssMinLookaheadBits = 3;
/// Input buffer of the decompressing stream and the size of its source reads: small enough
/// to live beside the window in one allocation, large enough that reads are few.
constexpr size_t kLzssStreamInput = 1024;

// Results.
constexpr int kLzssOk = 0;          // sink: bytes taken; finish: done
constexpr int kLzssFull = 1;        // sink: the input buffer is full
constexpr int kLzssPollEmpty = 0;   // poll: input needed
constexpr int kLzssPollMore = 1;    // poll: the output buffer is full
constexpr int kLzssFinishMore = 1;  // finish: input waits or a back-reference is unfinished
constexpr int kLzssNullArgument = -1;
constexpr int kLzssUnknownState = -2;
/// lzssGetBits: the bits are not available (nothing was consumed).
constexpr uint16_t kLzssNoBits = 0xFFFF;

/// A decoder, or null when window_bits lies outside 4..15, lookahead_bits outside
/// 3..window_bits - 1, the capacity is 0 or above 65535, or memory is short.
cLzssDecoder_t* lzssDecoderNew(size_t input_capacity, int window_bits, int lookahead_bits);
void lzssDecoderFree(cLzssDecoder_t* decoder);
/// Copies min(count, free room) bytes behind the waiting input and sets *taken: kLzssOk, or
/// kLzssFull (nothing taken) when the buffer is full; kLzssNullArgument for a null argument.
int lzssDecoderSink(cLzssDecoder_t* decoder, const uint8_t* bytes, size_t count, size_t* taken);
/// Decodes into `output` and sets *produced: kLzssPollEmpty when it needs input,
/// kLzssPollMore when the output buffer is full, kLzssNullArgument, kLzssUnknownState.
int lzssDecoderPoll(cLzssDecoder_t* decoder, uint8_t* output, size_t output_size, size_t* produced);
/// kLzssOk when no input waits (in the states up to the count's low part), else
/// kLzssFinishMore; kLzssNullArgument for a null decoder.
int lzssDecoderFinish(cLzssDecoder_t* decoder);
/// The next `count` bits (0..15) as a number; kLzssNoBits, consuming nothing, when fewer
/// bits are available or the count is above 15.
uint16_t lzssGetBits(cLzssDecoder_t* decoder, int count);

/// A read-only stream of the data decoded from `source`, which it reads in pieces of up to
/// 1024 bytes (input the decoder cannot take is sought back). Reads fail (-1) when the source
/// fails; write, tell and seek always fail. Closing frees the decoder, not the source. Null
/// for a null source, sizes the decoder refuses, or when memory is short.
cStream_t* lzssStreamNew(cStream_t* source, int window_bits, int lookahead_bits);
