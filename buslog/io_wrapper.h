#pragma once
// cIO_wrapper: a std::streambuf over a cStream_t, so that the MDF library reads the unwrapped
// input and writes the output through the tool's stream objects. One 1024-byte buffer serves
// as the get area while reading and as the put area while writing; reading and writing share
// one position, so switching between them needs a seek in between (as with file buffers).
//
// The wrapper neither owns nor closes the stream, and its destructor writes nothing: whoever
// writes through it calls pubsync() before dropping it. It is always held by a shared
// pointer, because the library's reader or writer keeps a share of its own.
#include <cstdint>
#include <streambuf>

#include "platform/stream.h"

class cIO_wrapper : public std::streambuf {
 public:
  static constexpr int64_t kBufferSize = 1024;

  /// Seeks the stream to its start. A null stream throws std::invalid_argument
  /// "No input argument".
  explicit cIO_wrapper(cStream_t* stream);
  ~cIO_wrapper() override = default;
  cIO_wrapper(const cIO_wrapper&) = delete;
  cIO_wrapper& operator=(const cIO_wrapper&) = delete;

  [[nodiscard]] cStream_t* stream() const { return stream_; }

 protected:
  /// Writes the pending bytes at the buffer position and makes the whole buffer the put
  /// area. EOF when the seek lands elsewhere or the write is short or fails.
  int_type overflow(int_type c) override;
  /// As std::streambuf's, but a piece of a buffer's size or more goes straight to the stream
  /// after the pending bytes: the writer's worker writes its records in large pieces, which
  /// the buffer cut into a seek and a write per 1024 bytes (bench_writer). Returns the bytes
  /// the stream took.
  std::streamsize xsputn(const char* source, std::streamsize count) override;
  /// Refills the get area from the position after the bytes consumed. EOF at the end, when
  /// the seek lands elsewhere, when the read fails, or when pending bytes cannot be written.
  int_type underflow() override;
  /// As std::streambuf's, but a rest of a buffer's size or more goes from the stream straight
  /// to `dest`: the library reads its records in windows of hundreds of kilobytes, which
  /// refilling the buffer copied twice, 1024 bytes at a time (bench_pipeline).
  std::streamsize xsgetn(char* dest, std::streamsize count) override;
  /// Writes the pending bytes (after a seek, the mode is ignored). pos_type(-1), the
  /// position unchanged, when pending bytes cannot be written or the stream's seek fails or
  /// lands anywhere but the target.
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode mode) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode mode) override;
  /// Writes the pending bytes: 0, or -1 when the seek lands elsewhere or the write is short
  /// or fails (the position then moves only by the bytes really written).
  int sync() override;

 private:
  // Writes the put area's pending bytes at the buffer position; false on a short write.
  bool writePending();

  cStream_t* stream_;
  char buffer_[kBufferSize];
  int64_t position_ = 0;  // stream position of buffer_[0]
};
