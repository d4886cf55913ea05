#include "platform/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/memblock.h"

namespace {

constexpr int64_t kMaxInt64 = std::numeric_limits<int64_t>::max();
constexpr size_t kCopyChunk = 4096;  // the copy's piece: one page, on the stack

// Every kind is a standard-layout record that starts with its cStream_t.
template <typename Kind>
Kind* As(cStream_t* stream) {
  static_assert(std::is_standard_layout_v<Kind>, "stream kinds start with their cStream_t");
  return reinterpret_cast<Kind*>(stream);
}

template <typename Kind>
const Kind* As(const cStream_t* stream) {
  static_assert(std::is_standard_layout_v<Kind>, "stream kinds start with their cStream_t");
  return reinterpret_cast<const Kind*>(stream);
}

// Counts are signed: no single call asks for more than the signed range.
uint64_t ClampLength(uint64_t length) { return std::min<uint64_t>(length, kMaxInt64); }

bool AddOverflows(int64_t a, int64_t b, int64_t* sum) { return __builtin_add_overflow(a, b, sum); }

// ---- file ----

struct FileStream {
  cStream_t base;
  FILE* file;  // null after a failed fclose: the handle is gone, a second close frees the record
  int64_t position;
  bool writable;
  // The errno of the first failed or short write, seek, flush or close of a writable stream.
  // stdio forgets such a failure (a later fseeko drops the unwritten buffer and succeeds), so
  // it is kept here and every later write, seek and close fails with it.
  int error;
  int held;  // after fileStreamCloseFile: a second descriptor of the file, else -1
};

int ErrnoOr(int fallback) { return errno != 0 ? errno : fallback; }

// Records the first failure of a writable stream; returns kStreamFailed for the caller.
int64_t Fail(FileStream* self, int code) {
  if (self->writable && self->error == 0) self->error = code;
  return kStreamFailed;
}

int64_t FileRead(cStream_t* stream, void* buffer, uint64_t length) {
  auto* self = As<FileStream>(stream);
  if (self->file == nullptr) return kStreamFailed;
  const size_t count = std::fread(buffer, 1, ClampLength(length), self->file);
  if (count == 0 && length > 0 && std::ferror(self->file)) {
    if (self->writable) return Fail(self, EIO);
    std::clearerr(self->file);
    return kStreamFailed;  // a read error, not the end of the file
  }
  self->position += static_cast<int64_t>(count);
  return static_cast<int64_t>(count);
}

int64_t FileWrite(cStream_t* stream, const void* buffer, uint64_t length) {
  auto* self = As<FileStream>(stream);
  if (self->file == nullptr || self->error != 0) return kStreamFailed;
  errno = 0;
  const size_t count = std::fwrite(buffer, 1, ClampLength(length), self->file);
  // A full buffer is flushed inside fwrite: its failure shows only in the error indicator.
  if (count < length || std::ferror(self->file)) return Fail(self, ErrnoOr(EIO));
  self->position += static_cast<int64_t>(count);
  return static_cast<int64_t>(count);
}

int64_t FileTell(cStream_t* stream) {
  auto* self = As<FileStream>(stream);
  return self->file == nullptr ? kStreamFailed : static_cast<int64_t>(ftello(self->file));
}

int64_t FileSeek(cStream_t* stream, int64_t offset, int origin) {
  auto* self = As<FileStream>(stream);
  if (self->file == nullptr || self->error != 0) return kStreamFailed;
  if (origin == kSeekFromStart && offset == self->position) return offset;
  int whence;
  switch (origin) {
    case kSeekFromStart:
      whence = SEEK_SET;
      break;
    case kSeekFromCurrent:
      whence = SEEK_CUR;
      break;
    case kSeekFromEnd:
      whence = SEEK_END;
      break;
    default:
      return kStreamFailed;
  }
  errno = 0;
  // fseeko flushes the pending bytes first; a failure there loses them.
  if (fseeko(self->file, static_cast<off_t>(offset), whence) != 0) return Fail(self, ErrnoOr(EIO));
  self->position = static_cast<int64_t>(ftello(self->file));
  return self->position;
}

// Flushes and closes the file; false when either failed or a failure was kept before.
bool CloseFile(FileStream* self) {
  errno = 0;
  if (self->writable && (std::fflush(self->file) != 0 || std::ferror(self->file))) Fail(self, ErrnoOr(EIO));
  errno = 0;
  const int result = std::fclose(self->file);
  self->file = nullptr;
  if (result != 0) Fail(self, ErrnoOr(EIO));
  return result == 0 && self->error == 0;
}

int FileClose(cStream_t* stream) {
  auto* self = As<FileStream>(stream);
  if (self->file != nullptr && !CloseFile(self)) return 1;  // the record stays for fileStreamError
  if (self->held >= 0) ::close(self->held);
  std::free(self);
  return 0;
}

// The descriptor is made here so that exactly these flags apply: a name that exists (a link
// too) fails rather than being followed or truncated. 0666 leaves the mode to the umask, as
// fopen does.
FILE* OpenNewFile(const char* file_name) {
  const int fd = ::open(file_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

constexpr cStreamOps_t kFileReadOps = {FileRead, nullptr, FileTell, FileSeek, FileClose};
constexpr cStreamOps_t kFileWriteOps = {nullptr, FileWrite, FileTell, FileSeek, FileClose};
constexpr cStreamOps_t kFileReadWriteOps = {FileRead, FileWrite, FileTell, FileSeek, FileClose};

bool IsFileStream(const cStream_t* stream) {
  return stream != nullptr &&
         (stream->ops == &kFileReadOps || stream->ops == &kFileWriteOps || stream->ops == &kFileReadWriteOps);
}

// ---- buffered copy ----

struct BufferedStream {
  cStream_t base;
  int64_t block_size;
  int64_t fill;
  int64_t index;
  int64_t block_start;  // source position of the block's first byte
  // A position at or past the source's end, where the stream stands with its block kept (-1:
  // none, the position is block_start + index). Dropping the block there would make every
  // link past the end of a damaged file read the whole file again with a block of its size.
  int64_t parked;
  cStream_t* source;
  bool owns_source;
  bool populated;  // the block's pages were made present before its first load
};

unsigned char* BlockOf(BufferedStream* self) { return reinterpret_cast<unsigned char*>(self + 1); }

enum class Load { kLoaded, kSeekFailed, kEnd, kReadFailed };

// Loads one block from `start`. Without kLoaded the position stays; after a failed read the
// block may hold anything, so it is dropped (nothing left to serve, the next read reloads).
Load LoadBlock(BufferedStream* self, int64_t start) {
  if (streamSeek(self->source, start, kSeekFromStart) != start) return Load::kSeekFailed;
  if (!self->populated && self->block_size >= static_cast<int64_t>(kMemBlockPopulateMin)) {
    // A large block's pages are made present once, for the bytes the source holds: a whole
    // file read into fresh memory otherwise spends most of its time in page faults.
    self->populated = true;
    const int64_t size = streamSize(self->source);
    if (size > start) memBlockPopulate(BlockOf(self), static_cast<size_t>(std::min(self->block_size, size - start)));
  }
  const int64_t count = streamRead(self->source, BlockOf(self), static_cast<uint64_t>(self->block_size));
  if (count == 0) return Load::kEnd;
  if (count < 0 || count > self->block_size) {  // a source may not deliver more than asked
    self->block_start += self->index;
    self->fill = 0;
    self->index = 0;
    return Load::kReadFailed;
  }
  self->block_start = start;
  self->fill = count;
  self->index = 0;
  return Load::kLoaded;
}

int64_t BufferedRead(cStream_t* stream, void* buffer, uint64_t length) {
  auto* self = As<BufferedStream>(stream);
  auto* out = static_cast<unsigned char*>(buffer);
  const auto wanted = static_cast<int64_t>(ClampLength(length));
  int64_t delivered = 0;
  if (self->parked >= 0 && wanted > 0) {
    // Nothing is there, unless the source has grown since.
    const Load load = LoadBlock(self, self->parked);
    if (load != Load::kLoaded) return load == Load::kEnd ? 0 : kStreamFailed;
    self->parked = -1;
  }
  while (delivered < wanted) {
    if (self->index == self->fill) {
      const Load load = LoadBlock(self, self->block_start + self->fill);
      if (load != Load::kLoaded) {
        // Bytes already delivered stand; with none, a failure is reported, not the end.
        return delivered > 0 || load == Load::kEnd ? delivered : kStreamFailed;
      }
    }
    const int64_t n = std::min(wanted - delivered, self->fill - self->index);
    std::memcpy(out + delivered, BlockOf(self) + self->index, static_cast<size_t>(n));
    self->index += n;
    delivered += n;
  }
  return delivered;
}

int64_t BufferedTell(cStream_t* stream) {
  auto* self = As<BufferedStream>(stream);
  return self->parked >= 0 ? self->parked : self->block_start + self->index;
}

int64_t BufferedSeek(cStream_t* stream, int64_t offset, int origin) {
  auto* self = As<BufferedStream>(stream);
  int64_t target = 0;
  switch (origin) {
    case kSeekFromStart:
      target = offset;
      break;
    case kSeekFromCurrent:
      if (AddOverflows(BufferedTell(stream), offset, &target)) return kStreamFailed;
      break;
    case kSeekFromEnd:
      if (streamSeek(self->source, offset, kSeekFromEnd) < 0) return kStreamFailed;
      target = streamTell(self->source);
      if (target < 0) return kStreamFailed;
      break;
    default:
      return kStreamFailed;
  }
  // No position lies before the start (and a source's -1 must not read as reaching it).
  if (target < 0) return kStreamFailed;
  if (target >= self->block_start && target - self->block_start <= self->fill) {
    self->index = target - self->block_start;
    self->parked = -1;
    return target;
  }
  switch (LoadBlock(self, target)) {
    case Load::kLoaded:
      self->parked = -1;
      return target;
    case Load::kEnd:
      // At or beyond the source's end the position moves there, as a file's does: a seek to
      // the end reports the size, and a read there gives 0 whatever the block size, so a
      // link past the end reads as nothing with every buffer.
      self->parked = target;
      return target;
    case Load::kSeekFailed:
    case Load::kReadFailed:
      // Not reached: the position stays. A caller that took the old position for the target
      // would read the bytes there as what it looked for.
      return kStreamFailed;
  }
  return kStreamFailed;
}

int BufferedClose(cStream_t* stream) {
  if (stream == nullptr) return -1;
  auto* self = As<BufferedStream>(stream);
  if (self->owns_source && self->source != nullptr) {
    const int result = streamClose(self->source);
    if (result != 0) return result;
    self->source = nullptr;
  }
  std::free(self);
  return 0;
}

constexpr cStreamOps_t kBufferedOps = {BufferedRead, nullptr, BufferedTell, BufferedSeek, BufferedClose};

// ---- window ----

struct WindowStream {
  cStream_t base;
  cStream_t* parent;
  int64_t start;
  int64_t end;  // 0 or less: up to the parent's end
};

// The length a read or write may use from the parent's position; -1 when that is unknown.
int64_t WindowRoom(WindowStream* self, uint64_t length) {
  const auto wanted = static_cast<int64_t>(ClampLength(length));
  if (self->end <= 0) return wanted;
  const int64_t position = streamTell(self->parent);
  if (position < 0) return kStreamFailed;
  return position >= self->end ? 0 : std::min(wanted, self->end - position);
}

int64_t WindowRead(cStream_t* stream, void* buffer, uint64_t length) {
  auto* self = As<WindowStream>(stream);
  if (self->parent == nullptr) return kStreamFailed;
  const int64_t room = WindowRoom(self, length);
  return room < 0 ? kStreamFailed : streamRead(self->parent, buffer, static_cast<uint64_t>(room));
}

int64_t WindowWrite(cStream_t* stream, const void* buffer, uint64_t length) {
  auto* self = As<WindowStream>(stream);
  if (self->parent == nullptr) return kStreamFailed;
  const int64_t room = WindowRoom(self, length);
  return room < 0 ? kStreamFailed : streamWrite(self->parent, buffer, static_cast<uint64_t>(room));
}

int64_t WindowTell(cStream_t* stream) {
  auto* self = As<WindowStream>(stream);
  if (self->parent == nullptr) return kStreamFailed;
  const int64_t position = streamTell(self->parent);
  if (position < 0) return kStreamFailed;
  return self->end <= 0 || position <= self->end ? position - self->start : kStreamFailed;
}

int64_t WindowSeek(cStream_t* stream, int64_t offset, int origin) {
  auto* self = As<WindowStream>(stream);
  if (self->parent == nullptr) return kStreamFailed;
  int64_t from = 0;
  switch (origin) {
    case kSeekFromStart:
      from = self->start;
      break;
    case kSeekFromCurrent:
      from = streamTell(self->parent);
      break;
    case kSeekFromEnd:
      from = self->end > 0 ? self->end : streamSize(self->parent);
      break;
    default:
      return kStreamFailed;
  }
  int64_t target = 0;
  if (from < 0 || AddOverflows(from, offset, &target)) return kStreamFailed;
  // A target outside the window is not reached: landing on its edge instead would pass that
  // position off as the one asked for.
  if ((self->end > 0 && target > self->end) || target < self->start || target < 0) return kStreamFailed;
  return streamSeek(self->parent, target, kSeekFromStart) == target ? target - self->start : kStreamFailed;
}

int WindowClose(cStream_t* stream) {
  std::free(stream);
  return 0;
}

constexpr cStreamOps_t kWindowOps = {WindowRead, WindowWrite, WindowTell, WindowSeek, WindowClose};

// ---- memory ----

struct MemoryStream {
  cStream_t base;
  int64_t capacity;
  int64_t size;  // the highest position ever written
  int64_t position;
  unsigned char* data;
  int64_t present;  // bytes from the start whose pages were made present ahead of writes
  int64_t limit;    // the capacity it may grow to
  bool short_of_memory;
};

// Grows the buffer by doubling (from 2, at most to the limit) until it holds `needed` bytes.
// False when memory is short, the limit is reached or the doubling would overflow; the stream
// is then unchanged.
bool MemoryReserve(MemoryStream* self, int64_t needed) {
  if (needed <= self->capacity) return true;
  if (needed > self->limit) {
    self->short_of_memory = true;
    return false;
  }
  int64_t capacity = self->capacity == 0 ? 2 : self->capacity;
  while (capacity < needed) {
    capacity = capacity > self->limit / 2 ? self->limit : capacity * 2;
  }
  // Grown in place of copied: an output of hundreds of megabytes doubles a dozen times.
  auto* data = static_cast<unsigned char*>(
      memBlockResize(self->data, static_cast<size_t>(self->capacity), static_cast<size_t>(capacity)));
  if (data == nullptr) {
    self->short_of_memory = true;
    return false;
  }
  self->data = data;
  self->capacity = capacity;
  return true;
}

int64_t MemoryRead(cStream_t* stream, void* buffer, uint64_t length) {
  auto* self = As<MemoryStream>(stream);
  if (self->position >= self->size) return 0;
  const auto n = static_cast<int64_t>(std::min<uint64_t>(length, static_cast<uint64_t>(self->size - self->position)));
  if (n > 0) std::memcpy(buffer, self->data + self->position, static_cast<size_t>(n));
  self->position += n;
  return n;
}

// Makes room for the bytes up to `end`: false when memory is short (the stream's contents
// are then unchanged).
bool MemoryReserveAhead(MemoryStream* self, int64_t end) {
  if (!MemoryReserve(self, end)) return false;
  if (end > self->present) {
    // A stream filled by large writes (a container's body) meets fresh pages ahead of it:
    // they are made present a stretch at a time, on several threads.
    constexpr int64_t kPresentAhead = int64_t{32} << 20;
    const int64_t from = std::max(self->present, self->position);
    const int64_t until = std::min(self->capacity, end + kPresentAhead);
    if (until > from) memBlockPopulate(self->data + from, static_cast<size_t>(until - from));
    self->present = until;
  }
  return true;
}

// Bytes written at the position: a seek past the size left a gap, which reads back as zeros,
// never as old heap contents.
void MemoryTakeWritten(MemoryStream* self, int64_t count) {
  if (self->position > self->size) {
    std::memset(self->data + self->size, 0, static_cast<size_t>(self->position - self->size));
  }
  self->position += count;
  self->size = std::max(self->size, self->position);
}

int64_t MemoryWrite(cStream_t* stream, const void* buffer, uint64_t length) {
  auto* self = As<MemoryStream>(stream);
  if (length == 0) return 0;
  if (length > static_cast<uint64_t>(kMaxInt64 - self->position)) return kStreamFailed;
  const int64_t end = self->position + static_cast<int64_t>(length);
  if (!MemoryReserveAhead(self, end)) return kStreamFailed;
  std::memcpy(self->data + self->position, buffer, static_cast<size_t>(length));
  MemoryTakeWritten(self, static_cast<int64_t>(length));
  return static_cast<int64_t>(length);
}

int64_t MemoryTell(cStream_t* stream) { return As<MemoryStream>(stream)->position; }

int64_t MemorySeek(cStream_t* stream, int64_t offset, int origin) {
  auto* self = As<MemoryStream>(stream);
  int64_t from = 0;
  switch (origin) {
    case kSeekFromStart:
      from = 0;
      break;
    case kSeekFromCurrent:
      from = self->position;
      break;
    case kSeekFromEnd:
      from = self->size;
      break;
    default:
      return kStreamFailed;
  }
  int64_t target = 0;
  if (AddOverflows(from, offset, &target) || target < 0) return kStreamFailed;
  if (origin == kSeekFromEnd && offset > 0) {
    if (!MemoryReserve(self, target)) return kStreamFailed;
    std::memset(self->data + self->size, 0, static_cast<size_t>(target - self->size));
    self->size = target;
  }
  if (target > self->capacity) return kStreamFailed;
  self->position = target;
  return target;
}

int MemoryClose(cStream_t* stream) {
  if (stream == nullptr) return -1;
  auto* self = As<MemoryStream>(stream);
  memBlockResize(self->data, static_cast<size_t>(self->capacity), 0);
  std::free(self);
  return 0;
}

constexpr cStreamOps_t kMemoryOps = {MemoryRead, MemoryWrite, MemoryTell, MemorySeek, MemoryClose};

// The checked copy into a memory stream: each piece is read straight into the stream's
// buffer, and counts once the read succeeded (a container's body is hundreds of megabytes).
int64_t MemoryCopyFrom(MemoryStream* self, cStream_t* source) {
  int64_t copied = 0;
  for (;;) {
    constexpr auto kPiece = static_cast<int64_t>(kCopyChunk);
    if (self->position > kMaxInt64 - kPiece) return kStreamShortWrite;
    if (!MemoryReserveAhead(self, self->position + kPiece)) return kStreamShortWrite;
    const int64_t count = streamRead(source, self->data + self->position, kCopyChunk);
    if (count < 0 || count > kPiece) return kStreamFailed;  // the bytes read do not count
    if (count == 0) return copied;
    MemoryTakeWritten(self, count);
    copied += count;
  }
}

// ---- digest ----

// Odd multipliers (so each multiplication is a bijection) with well-mixed bits, and the lanes'
// distinct starting values.
constexpr uint64_t kDigestPrime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kDigestPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr int64_t kDigestStripe = 32;
// The piece in which the pass-through reads and digests: large reads are cut into pieces that
// are digested while they are still in the cache (a whole-file block would be read from
// memory a second time), and gaps are read through a scratch piece of this size.
constexpr int64_t kDigestPiece = int64_t{256} << 10;

struct DigestState {
  uint64_t lanes[4];
  unsigned char pending[kDigestStripe];
  int64_t pending_count;
  int64_t length;
};

void DigestStart(DigestState* state) {
  *state = DigestState{};
  for (int i = 0; i < 4; ++i) state->lanes[i] = kDigestPrime1 * static_cast<uint64_t>(2 * i + 1);
}

uint64_t DigestRound(uint64_t lane, uint64_t word) {
  lane += word * kDigestPrime2;
  lane = (lane << 31) | (lane >> 33);
  return lane * kDigestPrime1;
}

void DigestStripe(DigestState* state, const unsigned char* stripe) {
  for (int i = 0; i < 4; ++i) {
    uint64_t word = 0;
    std::memcpy(&word, stripe + 8 * i, sizeof word);  // host order: digests are compared on one host
    state->lanes[i] = DigestRound(state->lanes[i], word);
  }
}

void DigestUpdate(DigestState* state, const unsigned char* bytes, int64_t count) {
  state->length += count;
  if (state->pending_count > 0) {
    const int64_t take = std::min(count, kDigestStripe - state->pending_count);
    std::memcpy(state->pending + state->pending_count, bytes, static_cast<size_t>(take));
    state->pending_count += take;
    bytes += take;
    count -= take;
    if (state->pending_count < kDigestStripe) return;
    DigestStripe(state, state->pending);
    state->pending_count = 0;
  }
  for (; count >= kDigestStripe; bytes += kDigestStripe, count -= kDigestStripe) DigestStripe(state, bytes);
  std::memcpy(state->pending, bytes, static_cast<size_t>(count));
  state->pending_count = count;
}

cStreamDigest_t DigestEnd(DigestState state) {
  if (state.pending_count > 0) {
    std::memset(state.pending + state.pending_count, 0, static_cast<size_t>(kDigestStripe - state.pending_count));
    DigestStripe(&state, state.pending);
  }
  cStreamDigest_t out{};
  std::memcpy(out.lanes, state.lanes, sizeof out.lanes);
  out.length = state.length;
  return out;
}

struct DigestStream {
  cStream_t base;
  cStream_t* source;
  int64_t position;  // the source's, as this layer's reads and seeks left it
  int64_t digested;  // the bytes from 0 digested so far
  bool failed;
  DigestState state;
};

unsigned char* ScratchOf(DigestStream* self) { return reinterpret_cast<unsigned char*>(self + 1); }

// Digests the source's bytes from `digested` up to `until` (or its end) through the scratch
// piece and puts the source back at the position; false when a read or seek failed.
bool DigestGap(DigestStream* self, int64_t until) {
  if (streamSeek(self->source, self->digested, kSeekFromStart) != self->digested) return false;
  while (self->digested < until) {
    const int64_t count = streamRead(self->source, ScratchOf(self),
                                     static_cast<uint64_t>(std::min(kDigestPiece, until - self->digested)));
    if (count < 0 || count > kDigestPiece) return false;
    if (count == 0) break;
    DigestUpdate(&self->state, ScratchOf(self), count);
    self->digested += count;
  }
  return streamSeek(self->source, self->position, kSeekFromStart) == self->position;
}

int64_t DigestRead(cStream_t* stream, void* buffer, uint64_t length) {
  auto* self = As<DigestStream>(stream);
  if (!self->failed && self->position > self->digested && !DigestGap(self, self->position)) {
    self->failed = true;
    return kStreamFailed;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  const auto wanted = static_cast<int64_t>(ClampLength(length));
  int64_t delivered = 0;
  while (delivered < wanted) {
    const int64_t ask = std::min(kDigestPiece, wanted - delivered);
    const int64_t count = streamRead(self->source, out + delivered, static_cast<uint64_t>(ask));
    if (count < 0 || count > ask) {
      self->failed = true;
      return delivered > 0 ? delivered : kStreamFailed;
    }
    if (count == 0) break;
    const int64_t start = self->position;
    self->position += count;
    delivered += count;
    // Bytes before `digested` were digested when first read; a start beyond it means the
    // source grew past a gap that read as its end.
    if (start > self->digested) {
      self->failed = true;
    } else if (!self->failed && self->position > self->digested) {
      DigestUpdate(&self->state, out + delivered - (self->position - self->digested), self->position - self->digested);
      self->digested = self->position;
    }
  }
  return delivered;
}

int64_t DigestTell(cStream_t* stream) { return streamTell(As<DigestStream>(stream)->source); }

int64_t DigestSeek(cStream_t* stream, int64_t offset, int origin) {
  auto* self = As<DigestStream>(stream);
  const int64_t position = streamSeek(self->source, offset, origin);
  if (position >= 0) self->position = position;
  return position;
}

int DigestClose(cStream_t* stream) {
  std::free(stream);
  return 0;
}

constexpr cStreamOps_t kDigestOps = {DigestRead, nullptr, DigestTell, DigestSeek, DigestClose};

template <typename Kind>
Kind* NewRecord(size_t extra = 0) {
  return static_cast<Kind*>(std::calloc(1, sizeof(Kind) + extra));
}

}  // namespace

int64_t streamRead(cStream_t* stream, void* buffer, uint64_t length) {
  return stream->ops->read != nullptr ? stream->ops->read(stream, buffer, length) : kStreamNoOperation;
}

int64_t streamWrite(cStream_t* stream, const void* buffer, uint64_t length) {
  return stream->ops->write != nullptr ? stream->ops->write(stream, buffer, length) : kStreamNoOperation;
}

int64_t streamTell(cStream_t* stream) {
  return stream->ops->tell != nullptr ? stream->ops->tell(stream) : kStreamNoOperation;
}

int64_t streamSeek(cStream_t* stream, int64_t offset, int origin) {
  return stream->ops->seek != nullptr ? stream->ops->seek(stream, offset, origin) : kStreamNoOperation;
}

int streamClose(cStream_t* stream) {
  if (stream == nullptr || stream->ops->close == nullptr) return 0;
  return stream->ops->close(stream);
}

int64_t streamSize(cStream_t* stream) {
  if (stream == nullptr) return kStreamFailed;
  const int64_t position = streamTell(stream);
  streamSeek(stream, 0, kSeekFromEnd);
  const int64_t size = streamTell(stream);
  streamSeek(stream, position, kSeekFromStart);
  return size;
}

// Reads until `length` bytes are there or the stream ends; the count, or -1 when a read failed.
int64_t ReadFully(cStream_t* stream, unsigned char* buffer, int64_t length) {
  int64_t count = 0;
  while (count < length) {
    const int64_t got = streamRead(stream, buffer + count, static_cast<uint64_t>(length - count));
    if (got < 0) return kStreamFailed;
    if (got == 0) break;
    count += got;
  }
  return count;
}

int streamSameBytes(cStream_t* a, cStream_t* b) {
  if (a == nullptr || b == nullptr || a->ops->read == nullptr || b->ops->read == nullptr) {
    return static_cast<int>(kStreamNoOperation);
  }
  unsigned char piece_a[kCopyChunk];
  unsigned char piece_b[kCopyChunk];
  for (;;) {
    // Whole pieces from both, so a stream that delivers short reads compares like any other.
    const int64_t count_a = ReadFully(a, piece_a, sizeof piece_a);
    const int64_t count_b = ReadFully(b, piece_b, sizeof piece_b);
    if (count_a < 0 || count_b < 0) return static_cast<int>(kStreamFailed);
    if (count_a != count_b || std::memcmp(piece_a, piece_b, static_cast<size_t>(count_a)) != 0) return 0;
    if (count_a < static_cast<int64_t>(sizeof piece_a)) return 1;
  }
}

void streamCopy(cStream_t* source, cStream_t* destination) {
  if (source == nullptr || destination == nullptr) return;
  unsigned char chunk[kCopyChunk];
  for (;;) {
    const int64_t count = streamRead(source, chunk, sizeof chunk);
    if (count <= 0) return;
    if (destination->ops->write != nullptr) destination->ops->write(destination, chunk, static_cast<uint64_t>(count));
  }
}

int64_t streamCopyChecked(cStream_t* source, cStream_t* destination) {
  if (source == nullptr || destination == nullptr || source->ops->read == nullptr ||
      destination->ops->write == nullptr) {
    return kStreamNoOperation;
  }
  if (destination->ops == &kMemoryOps) return MemoryCopyFrom(As<MemoryStream>(destination), source);
  unsigned char chunk[kCopyChunk];
  int64_t copied = 0;
  for (;;) {
    const int64_t count = streamRead(source, chunk, sizeof chunk);
    if (count < 0) return kStreamFailed;
    if (count == 0) return copied;
    if (streamWrite(destination, chunk, static_cast<uint64_t>(count)) != count) return kStreamShortWrite;
    copied += count;
  }
}

cStream_t* fileStreamOpen(const char* file_name, int type) {
  const char* mode = nullptr;
  const cStreamOps_t* ops = nullptr;
  switch (type) {
    case kFileStreamRead:
      mode = "rb";
      ops = &kFileReadOps;
      break;
    case kFileStreamWrite:
      mode = "wb";
      ops = &kFileWriteOps;
      break;
    case kFileStreamReadWrite:
      mode = "r+b";
      ops = &kFileReadWriteOps;
      break;
    case kFileStreamCreateNew:
      mode = "wb";
      ops = &kFileWriteOps;
      break;
    default:
      return nullptr;
  }
  if (file_name == nullptr) return nullptr;
  auto* self = NewRecord<FileStream>();
  if (self == nullptr) return nullptr;
  self->file = type == kFileStreamCreateNew ? OpenNewFile(file_name) : std::fopen(file_name, mode);
  // Linux opens a directory for reading and fails only at the first read: refuse it here.
  struct stat info {};
  if (self->file != nullptr && (fstat(fileno(self->file), &info) != 0 || S_ISDIR(info.st_mode))) {
    std::fclose(self->file);
    self->file = nullptr;
  }
  if (self->file == nullptr) {
    std::free(self);
    return nullptr;
  }
  self->base.ops = ops;
  self->position = 0;
  self->writable = type != kFileStreamRead;
  self->error = 0;
  self->held = -1;
  return &self->base;
}

int fileStreamError(const cStream_t* stream) {
  if (!IsFileStream(stream)) return 0;
  return reinterpret_cast<const FileStream*>(stream)->error;
}

bool fileStreamSync(cStream_t* stream) {
  if (!IsFileStream(stream)) return false;
  auto* self = As<FileStream>(stream);
  if (self->file == nullptr || self->error != 0 || !self->writable) return false;
  errno = 0;
  const bool synced = std::fflush(self->file) == 0 && !std::ferror(self->file) && fsync(fileno(self->file)) == 0;
  if (!synced) Fail(self, ErrnoOr(EIO));
  return synced;
}

int fileStreamCloseFile(cStream_t* stream) {
  if (!IsFileStream(stream)) return 0;
  auto* self = As<FileStream>(stream);
  if (self->file == nullptr) return 0;
  // Above the standard descriptors: with one of them closed, the hold must not become it.
  self->held = ::fcntl(fileno(self->file), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  // Without the hold the file could not be told later: that fails it like a lost write.
  const int hold_error = self->held < 0 ? ErrnoOr(EMFILE) : 0;
  if (hold_error != 0) Fail(self, hold_error);
  if (CloseFile(self) && hold_error == 0) return 0;
  if (self->error != 0) return self->error;
  return hold_error != 0 ? hold_error : EIO;
}

int fileStreamDescriptor(const cStream_t* stream) {
  if (!IsFileStream(stream)) return -1;
  const auto* self = reinterpret_cast<const FileStream*>(stream);
  return self->file != nullptr ? fileno(self->file) : self->held;
}

cStream_t* bufferedStreamNew(cStream_t* source, bool owns_source, int64_t block_size) {
  constexpr int64_t kAlign = 8;
  if (source == nullptr || block_size < 1 || block_size > kMaxInt64 - kAlign - int64_t{sizeof(BufferedStream)}) {
    return nullptr;
  }
  const int64_t rounded = (block_size + kAlign - 1) / kAlign * kAlign;
  auto* self = NewRecord<BufferedStream>(static_cast<size_t>(rounded));  // record and zeroed block
  if (self == nullptr) return nullptr;
  self->base.ops = &kBufferedOps;
  self->block_size = rounded;
  self->parked = -1;
  self->source = source;
  self->owns_source = owns_source;
  return &self->base;
}

cStream_t* windowStreamNew(cStream_t* parent, int64_t start, int64_t end) {
  if (parent == nullptr) return nullptr;
  auto* self = NewRecord<WindowStream>();
  if (self == nullptr) return nullptr;
  self->base.ops = &kWindowOps;
  self->parent = parent;
  self->start = start;
  self->end = end;
  streamSeek(parent, start, kSeekFromStart);
  return &self->base;
}

cStream_t* memoryStreamNew() { return memoryStreamNewLimited(kMaxInt64); }

cStream_t* memoryStreamNewLimited(int64_t limit) {
  auto* self = NewRecord<MemoryStream>();
  if (self == nullptr) return nullptr;
  self->base.ops = &kMemoryOps;
  self->limit = std::max<int64_t>(limit, 0);
  return &self->base;
}

int64_t memoryStreamHeld(const cStream_t* stream) {
  return stream != nullptr && stream->ops == &kMemoryOps ? As<MemoryStream>(stream)->capacity : 0;
}

bool memoryStreamShortOfMemory(const cStream_t* stream) {
  return stream != nullptr && stream->ops == &kMemoryOps && As<MemoryStream>(stream)->short_of_memory;
}

bool streamDigestEqual(const cStreamDigest_t& a, const cStreamDigest_t& b) {
  return a.length == b.length && std::memcmp(a.lanes, b.lanes, sizeof a.lanes) == 0;
}

bool streamDigest(cStream_t* stream, cStreamDigest_t* out) {
  if (stream == nullptr || stream->ops->read == nullptr) return false;
  auto* piece = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(kDigestPiece)));
  if (piece == nullptr) return false;
  DigestState state{};
  DigestStart(&state);
  int64_t count = 0;
  while ((count = streamRead(stream, piece, static_cast<uint64_t>(kDigestPiece))) > 0 && count <= kDigestPiece) {
    DigestUpdate(&state, piece, count);
  }
  std::free(piece);
  if (count != 0) return false;
  *out = DigestEnd(state);
  return true;
}

cStream_t* digestStreamNew(cStream_t* source) {
  if (source == nullptr) return nullptr;
  auto* self = NewRecord<DigestStream>(static_cast<size_t>(kDigestPiece));  // record and scratch piece
  if (self == nullptr) return nullptr;
  self->base.ops = &kDigestOps;
  self->source = source;
  self->position = streamTell(source);
  self->failed = self->position < 0;
  DigestStart(&self->state);
  return &self->base;
}

bool digestStreamFinish(cStream_t* stream, cStreamDigest_t* out) {
  if (stream == nullptr || stream->ops != &kDigestOps) return false;
  auto* self = As<DigestStream>(stream);
  if (self->failed || !DigestGap(self, std::numeric_limits<int64_t>::max())) return false;
  *out = DigestEnd(self->state);
  return true;
}
