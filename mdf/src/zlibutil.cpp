#include "zlibutil.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <vector>

#include "mdf/mdfhelper.h"
#include "platformshim.h"

namespace {

constexpr uint64_t kStreamChunk = 16'384;
// Compressed bytes read from the file at a time by an Inflater: few file accesses for the
// few KiB of memory (bench_datablocks' BM_StreamDzBlocks).
constexpr uint64_t kInflaterInput = 64 * 1024;

// A caller-supplied empty output gets room for deflate's worst case, so incompressible
// data compresses too; small inputs keep the customary 100 bytes of headroom.
uint64_t DeflateRoom(uint64_t input_size) {
  return std::max<uint64_t>(compressBound(static_cast<uLong>(input_size)), input_size + 100);
}

uInt Piece(uint64_t left, uint64_t chunk) {
  return static_cast<uInt>(std::min<uint64_t>({left, chunk, std::numeric_limits<uInt>::max()}));
}

bool IsInflateError(int code) {
  return code == Z_STREAM_ERROR || code == Z_NEED_DICT || code == Z_DATA_ERROR || code == Z_MEM_ERROR;
}

}  // namespace

namespace mdf::detail {

namespace internal {

bool Deflate(const uint8_t* input, uint64_t input_size, uint8_t* output, uint64_t output_size, uint64_t& produced,
             uint64_t chunk) {
  produced = 0;
  z_stream stream{};
  if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
    return false;
  }
  stream.next_in = const_cast<Bytef*>(input);  // zlib's interface is not const-correct
  stream.next_out = output;
  uint64_t in_left = input_size;
  uint64_t out_left = output_size;
  int code = Z_OK;
  for (;;) {
    if (stream.avail_in == 0 && in_left > 0) {
      stream.avail_in = Piece(in_left, chunk);
      in_left -= stream.avail_in;
    }
    if (stream.avail_out == 0 && out_left > 0) {
      stream.avail_out = Piece(out_left, chunk);
      out_left -= stream.avail_out;
    }
    // Every Z_OK call makes progress; Z_BUF_ERROR says none is possible (the room is used up).
    code = deflate(&stream, in_left == 0 ? Z_FINISH : Z_NO_FLUSH);
    if (code == Z_STREAM_END || code == Z_STREAM_ERROR || code == Z_BUF_ERROR) {
      break;
    }
  }
  produced = output_size - out_left - stream.avail_out;
  deflateEnd(&stream);
  return code == Z_STREAM_END;
}

bool Inflate(const uint8_t* input, uint64_t input_size, uint8_t* output, uint64_t output_size, uint64_t& produced,
             uint64_t chunk) {
  produced = 0;
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    return false;
  }
  stream.next_in = const_cast<Bytef*>(input);
  stream.next_out = output;
  uint64_t in_left = input_size;
  uint64_t out_left = output_size;
  int code = Z_OK;
  for (;;) {
    if (stream.avail_in == 0 && in_left > 0) {
      stream.avail_in = Piece(in_left, chunk);
      in_left -= stream.avail_in;
    }
    if (stream.avail_out == 0 && out_left > 0) {
      stream.avail_out = Piece(out_left, chunk);
      out_left -= stream.avail_out;
    }
    // A full output is no end yet: the stream's check value may still be unread. Every
    // Z_OK call makes progress; Z_BUF_ERROR says none is possible.
    code = inflate(&stream, Z_NO_FLUSH);
    if (code == Z_STREAM_END || code == Z_BUF_ERROR || IsInflateError(code)) {
      break;
    }
  }
  produced = output_size - out_left - stream.avail_out;
  const bool input_left = stream.avail_in > 0 || in_left > 0;
  inflateEnd(&stream);
  return code == Z_STREAM_END && !input_left;
}

}  // namespace internal

bool CompressBuffer(const ByteArray& input, ByteArray& output) {
  if (output.empty()) {
    output.resize(DeflateRoom(input.size()));
  }
  if (input.empty()) {
    return false;
  }
  if (output.size() < 100) {
    output.resize(100);
  }
  uint64_t produced = 0;
  const bool ok =
      internal::Deflate(input.data(), input.size(), output.data(), output.size(), produced, internal::kMaxZlibChunk);
  output.resize(produced);
  return ok;
}

bool CompressFile(const std::string& filename, ByteArray& output) {
  try {
    const int64_t size = platform::FileSize(filename);
    if (size < 0) {
      return false;
    }
    std::FILE* raw = nullptr;
    if (OpenFileUtf8(raw, filename, "rb") != 0 || raw == nullptr) {
      return false;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(raw, &std::fclose);
    ByteArray input(static_cast<size_t>(size));
    size_t got = 0;
    while (got < input.size()) {
      const size_t count = std::fread(input.data() + got, 1, input.size() - got, file.get());
      if (count == 0) {
        break;
      }
      got += count;
    }
    if (std::ferror(file.get()) != 0) {
      return false;  // A read error is not a shorter file.
    }
    input.resize(got);

    if (output.size() < DeflateRoom(input.size())) {
      output.resize(DeflateRoom(input.size()));
    }
    if (input.empty()) {
      return false;
    }
    uint64_t produced = 0;
    const bool ok =
        internal::Deflate(input.data(), input.size(), output.data(), output.size(), produced, internal::kMaxZlibChunk);
    output.resize(produced);
    return ok;
  } catch (const std::exception&) {
    return false;
  }
}

bool DecompressBuffer(const ByteArray& input, ByteArray& output) {
  if (input.empty() || output.empty()) {
    return false;
  }
  uint64_t produced = 0;
  const bool ok =
      internal::Inflate(input.data(), input.size(), output.data(), output.size(), produced, internal::kMaxZlibChunk);
  if (produced < output.size()) {
    output.resize(produced);
  }
  return ok;
}

bool DecompressStream(std::streambuf& source, uint64_t nof_bytes, std::streambuf& sink) {
  uint64_t produced = 0;
  return DecompressStream(source, nof_bytes, sink, produced);
}

bool DecompressStream(std::streambuf& source, uint64_t nof_bytes, std::streambuf& sink, uint64_t& produced) {
  produced = 0;
  const auto position = source.pubseekoff(0, std::ios_base::cur, std::ios_base::in);
  if (position < 0) {
    return false;
  }
  Inflater inflater(source, static_cast<int64_t>(position), nof_bytes);
  std::vector<uint8_t> out(kStreamChunk);
  while (!inflater.Ended()) {
    uint64_t got = 0;
    if (!inflater.Read(out.data(), out.size(), got)) {
      return false;
    }
    const auto have = static_cast<std::streamsize>(got);
    if (have > 0) {
      const auto taken = sink.sputn(reinterpret_cast<const char*>(out.data()), have);
      produced += static_cast<uint64_t>(std::max<std::streamsize>(taken, 0));
      if (taken != have) {
        return false;
      }
    }
  }
  return true;
}

Inflater::Inflater(std::streambuf& source, int64_t position, uint64_t nof_bytes)
    : source_(source), position_(position), left_(nof_bytes), stream_(std::make_unique<z_stream>()) {
  if (inflateInit(stream_.get()) != Z_OK) {
    stream_.reset();
    failed_ = true;
  }
}

Inflater::~Inflater() {
  if (stream_) {
    inflateEnd(stream_.get());
  }
}

bool Inflater::AllInputUsed() const { return left_ == 0 && (!stream_ || stream_->avail_in == 0); }

bool Inflater::Read(uint8_t* dest, uint64_t size, uint64_t& produced) {
  produced = 0;
  while (!failed_ && !ended_ && produced < size) {
    z_stream& stream = *stream_;
    if (stream.avail_in == 0) {
      if (left_ == 0) {
        failed_ = true;  // the compressed bytes end before the stream does
        break;
      }
      if (input_.empty()) {
        input_.resize(kInflaterInput);
      }
      const auto wanted = static_cast<std::streamsize>(std::min<uint64_t>(left_, input_.size()));
      if (source_.pubseekpos(position_, std::ios_base::in) != position_) {
        failed_ = true;
        break;
      }
      const auto got = source_.sgetn(reinterpret_cast<char*>(input_.data()), wanted);
      if (got <= 0) {
        failed_ = true;
        break;
      }
      position_ += got;
      left_ -= static_cast<uint64_t>(got);
      stream.next_in = input_.data();
      stream.avail_in = static_cast<uInt>(got);
    }
    stream.next_out = dest + produced;
    stream.avail_out = Piece(size - produced, internal::kMaxZlibChunk);
    const uInt room = stream.avail_out;
    const int code = inflate(&stream, Z_NO_FLUSH);
    produced += room - stream.avail_out;
    if (code == Z_STREAM_END) {
      ended_ = true;
    } else if (IsInflateError(code) || (code == Z_BUF_ERROR && stream.avail_in > 0 && stream.avail_out > 0)) {
      failed_ = true;  // corrupt, or no progress although input and room are there
    }
  }
  return !failed_;
}

void TransposeBytes(ByteArray& data, uint32_t columns) {
  if (columns <= 1) {
    return;
  }
  const size_t rows = data.size() / columns;
  if (rows == 0) {
    return;
  }
  const ByteArray copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(rows * columns));
  for (size_t row = 0; row < rows; ++row) {
    const uint8_t* record = copy.data() + row * columns;
    for (size_t column = 0; column < columns; ++column) {
      data[column * rows + row] = record[column];
    }
  }
}

void UntransposeBytes(ByteArray& data, uint32_t columns) { UntransposeBytes(data.data(), data.size(), columns); }

void UntransposeBytes(uint8_t* data, size_t size, uint32_t columns) {
  if (columns <= 1) {
    return;
  }
  const size_t rows = size / columns;
  if (rows == 0) {
    return;
  }
  const ByteArray copy(data, data + rows * columns);
  for (size_t column = 0; column < columns; ++column) {
    const uint8_t* lane = copy.data() + column * rows;
    for (size_t row = 0; row < rows; ++row) {
      data[row * columns + column] = lane[row];
    }
  }
}

}  // namespace mdf::detail
