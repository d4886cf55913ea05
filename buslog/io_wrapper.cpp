#include "buslog/io_wrapper.h"

#include <stdexcept>

cIO_wrapper::cIO_wrapper(cStream_t* stream) : stream_(stream) {
  if (stream == nullptr) throw std::invalid_argument("No input argument");
  streamSeek(stream_, 0, kSeekFromStart);
  setg(buffer_, buffer_, buffer_);
  setp(nullptr, nullptr);
}

bool cIO_wrapper::writePending() {
  const int64_t pending = pptr() - pbase();
  if (pending <= 0) return true;
  if (streamSeek(stream_, position_, kSeekFromStart) != position_) return false;
  const int64_t written = streamWrite(stream_, pbase(), static_cast<uint64_t>(pending));
  if (written == pending) {
    position_ += written;
    setp(nullptr, nullptr);
    return true;
  }
  // A short write keeps what did not reach the stream pending at the front of the buffer,
  // so the position always names the first byte not yet written.
  if (written > 0) {
    position_ += written;
    std::char_traits<char>::move(buffer_, pbase() + written, static_cast<size_t>(pending - written));
    setp(buffer_, buffer_ + kBufferSize);
    pbump(static_cast<int>(pending - written));
  }
  return false;
}

int cIO_wrapper::sync() { return writePending() ? 0 : -1; }

cIO_wrapper::int_type cIO_wrapper::overflow(int_type c) {
  if (!writePending()) return traits_type::eof();
  // Writing starts where reading stood; the buffer then holds the put area only.
  position_ += gptr() - eback();
  setg(buffer_, buffer_, buffer_);
  if (streamSeek(stream_, position_, kSeekFromStart) != position_) return traits_type::eof();
  setp(buffer_, buffer_ + kBufferSize);
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize cIO_wrapper::xsputn(const char* source, std::streamsize count) {
  if (count < kBufferSize) return std::streambuf::xsputn(source, count);
  // As overflow starts writing: the pending bytes first, then from where reading stood.
  if (!writePending()) return 0;
  position_ += gptr() - eback();
  setg(buffer_, buffer_, buffer_);
  setp(nullptr, nullptr);
  if (streamSeek(stream_, position_, kSeekFromStart) != position_) return 0;
  const int64_t written = streamWrite(stream_, source, static_cast<uint64_t>(count));
  if (written <= 0) return 0;
  position_ += written;
  return written;
}

cIO_wrapper::int_type cIO_wrapper::underflow() {
  if (sync() != 0) return traits_type::eof();
  position_ += gptr() - eback();
  setg(buffer_, buffer_, buffer_);
  if (streamSeek(stream_, position_, kSeekFromStart) != position_) return traits_type::eof();
  const int64_t got = streamRead(stream_, buffer_, kBufferSize);
  if (got <= 0) return traits_type::eof();  // the end, or a failed read
  setg(buffer_, buffer_, buffer_ + got);
  return traits_type::to_int_type(buffer_[0]);
}

std::streamsize cIO_wrapper::xsgetn(char* dest, std::streamsize count) {
  if (count - (egptr() - gptr()) < kBufferSize) return std::streambuf::xsgetn(dest, count);
  std::streamsize done = egptr() - gptr();
  if (done > 0) std::char_traits<char>::copy(dest, gptr(), static_cast<size_t>(done));
  // From here on as underflow reads: pending bytes written, then from the position after the
  // bytes consumed.
  if (sync() != 0) {
    gbump(static_cast<int>(done));
    return done;
  }
  position_ += egptr() - eback();
  setg(buffer_, buffer_, buffer_);
  if (streamSeek(stream_, position_, kSeekFromStart) != position_) return done;
  while (done < count) {
    const int64_t got = streamRead(stream_, dest + done, static_cast<uint64_t>(count - done));
    if (got <= 0) break;  // the end, or a failed read
    position_ += got;
    done += got;
  }
  return done;
}

cIO_wrapper::pos_type cIO_wrapper::seekoff(off_type offset, std::ios_base::seekdir direction,
                                           std::ios_base::openmode /* mode */) {
  if (sync() != 0) return pos_type(off_type(-1));
  const int64_t current = position_ + (gptr() - eback());
  int64_t target = 0;
  if (direction == std::ios_base::beg) {
    target = offset;
  } else if (direction == std::ios_base::cur) {
    if (__builtin_add_overflow(current, static_cast<int64_t>(offset), &target)) return pos_type(off_type(-1));
  } else if (direction == std::ios_base::end) {
    const int64_t reached = streamSeek(stream_, offset, kSeekFromEnd);
    if (reached < 0) return pos_type(off_type(-1));
    position_ = reached;
    setg(buffer_, buffer_, buffer_);
    return pos_type(off_type(reached));
  } else {
    return pos_type(off_type(-1));
  }
  // The library asks for its position (a seek by 0 from here) before nearly every block it
  // reads: a target inside the loaded get area keeps it, sparing a refill (bench_pipeline).
  if (target >= position_ && target <= position_ + (egptr() - eback())) {
    setg(eback(), eback() + (target - position_), egptr());
    return pos_type(off_type(target));
  }
  // A stream that lands elsewhere has not reached the target: the library would read the
  // bytes there as the block it looked for.
  if (target < 0 || streamSeek(stream_, target, kSeekFromStart) != target) return pos_type(off_type(-1));
  position_ = target;
  setg(buffer_, buffer_, buffer_);
  return pos_type(off_type(target));
}

cIO_wrapper::pos_type cIO_wrapper::seekpos(pos_type position, std::ios_base::openmode mode) {
  return seekoff(off_type(position), std::ios_base::beg, mode);
}
