#pragma once
// zlib deflate/inflate (zlib format, not raw deflate) for zipped data blocks and compressed
// attachments, and the byte transposition of zipped record data. Nothing here throws or
// logs, except memory exhaustion outside CompressFile; a false result leaves the output
// unusable.
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

#include "mdfblock.h"

struct z_stream_s;  // zlib's stream state; zlib.h stays out of the headers

namespace mdf::detail {

/// Deflates the whole input into output. An empty output is sized to the worst case of
/// deflate (at least 100 bytes); a caller-sized output that is too small gives false.
/// The output is cut to the compressed size.
bool CompressBuffer(const ByteArray& input, ByteArray& output);
/// Deflates a whole file (UTF-8 name) into output, sized as for CompressBuffer.
bool CompressFile(const std::string& filename, ByteArray& output);
/// Inflates the input into the caller-sized output; true only when the zlib stream ended
/// and consumed all input. A larger output is cut to the inflated size.
bool DecompressBuffer(const ByteArray& input, ByteArray& output);
/// Inflates nof_bytes compressed bytes from source into sink in 16 KiB steps.
/// Bytes after the zlib stream's end are not read.
bool DecompressStream(std::streambuf& source, uint64_t nof_bytes, std::streambuf& sink);
/// As above; produced receives the bytes the sink took.
bool DecompressStream(std::streambuf& source, uint64_t nof_bytes, std::streambuf& sink, uint64_t& produced);
/// Inflates a zlib stream of nof_bytes compressed bytes that begins at position in source,
/// piece by piece into the caller's buffers: its memory is two small buffers, whatever the
/// stream inflates to. The compressed bytes are read 64 KiB at a time from their place, which
/// is set again before each read, so the file may be read elsewhere between pieces.
class Inflater {
 public:
  Inflater(std::streambuf& source, int64_t position, uint64_t nof_bytes);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  /// Inflates up to size bytes into dest; produced receives their count, less than size only
  /// at the stream's end. False when the stream is corrupt, or its compressed bytes end or
  /// cannot be read before it does; the inflater then stays failed.
  bool Read(uint8_t* dest, uint64_t size, uint64_t& produced);
  /// True once the stream's end was reached and its check value held.
  [[nodiscard]] bool Ended() const { return ended_; }
  /// True when no compressed byte is left over (none follows the stream's end).
  [[nodiscard]] bool AllInputUsed() const;

 private:
  std::streambuf& source_;
  int64_t position_;
  uint64_t left_;  // compressed bytes not read yet
  std::unique_ptr<z_stream_s> stream_;
  ByteArray input_;
  bool ended_ = false;
  bool failed_ = false;
};

/// Record-wise bytes to column-wise: byte i*c+j moves to j*r+i for the r whole rows of c
/// bytes; the s mod c bytes at the end stay where they are. c = 0 changes nothing.
void TransposeBytes(ByteArray& data, uint32_t columns);
void UntransposeBytes(ByteArray& data, uint32_t columns);
void UntransposeBytes(uint8_t* data, size_t size, uint32_t columns);

namespace internal {
// The raw loops, feeding zlib in pieces of at most chunk bytes because its counters are 32
// bits wide. produced receives the output bytes.
bool Deflate(const uint8_t* input, uint64_t input_size, uint8_t* output, uint64_t output_size, uint64_t& produced,
             uint64_t chunk);
/// Inflates into output; false unless the zlib stream ended with all input consumed.
bool Inflate(const uint8_t* input, uint64_t input_size, uint8_t* output, uint64_t output_size, uint64_t& produced,
             uint64_t chunk);
/// The largest piece handed to one zlib call.
constexpr uint64_t kMaxZlibChunk = uint64_t{1} << 30;
}  // namespace internal

}  // namespace mdf::detail
