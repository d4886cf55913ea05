#pragma once
// cStream_t: a stream object whose first member points at a constant table of five
// operations (read, write, tell, seek, close); a kind's own fields follow it, so a kind is a
// record that starts with a cStream_t. A slot may be empty. Streams stack: a wrapping stream
// reads and writes through another one but does not own it (except a buffered copy made with
// the ownership flag), so whoever builds a stack closes its layers, innermost user first.
//
// Results: counts and positions are signed 64-bit; 0 from read means the end; negative values
// are failures, -2 meaning an empty slot. Positions count bytes from the stream's start.
#include <cstdint>

struct cStream_t;

struct cStreamOps_t {
  int64_t (*read)(cStream_t* stream, void* buffer, uint64_t length);
  int64_t (*write)(cStream_t* stream, const void* buffer, uint64_t length);
  int64_t (*tell)(cStream_t* stream);
  int64_t (*seek)(cStream_t* stream, int64_t offset, int origin);
  /// 0 when closed (the record is freed); otherwise nonzero and the record stays.
  int (*close)(cStream_t* stream);
};

struct cStream_t {
  const cStreamOps_t* ops;
};

constexpr int kSeekFromStart = 0;
constexpr int kSeekFromCurrent = 1;
constexpr int kSeekFromEnd = 2;

constexpr int64_t kStreamFailed = -1;
/// The operation's slot is empty.
constexpr int64_t kStreamNoOperation = -2;
/// streamCopyChecked: the destination took fewer bytes than it was handed.
constexpr int64_t kStreamShortWrite = -3;

// Wrappers through which all code calls the operations; the stream must not be null except
// for streamClose and streamSize.
int64_t streamRead(cStream_t* stream, void* buffer, uint64_t length);
int64_t streamWrite(cStream_t* stream, const void* buffer, uint64_t length);
int64_t streamTell(cStream_t* stream);
int64_t streamSeek(cStream_t* stream, int64_t offset, int origin);
/// 0 for a null stream or an empty slot, else the close operation's result.
int streamClose(cStream_t* stream);
/// -1 for a null stream. Remembers tell, seeks to the end, takes tell as the size and seeks
/// back; the steps' own results are not checked, so -2 from a missing tell is the size.
int64_t streamSize(cStream_t* stream);
/// Whether two streams hold the same bytes from where they stand to their ends, read piece by
/// piece (memory stays bounded whatever their sizes): 1 when they do, 0 when they differ, -1
/// when a read failed, and -2 for a null stream or an empty read slot.
int streamSameBytes(cStream_t* a, cStream_t* b);
/// Copies in 4096-byte pieces until a read delivers 0 or fails. The destination's write
/// result is not looked at (nor is a missing write slot): use streamCopyChecked where a lost
/// byte matters.
void streamCopy(cStream_t* source, cStream_t* destination);
/// Like streamCopy, but returns the bytes copied when the source ended and every piece was
/// written whole; -1 when a read failed, -2 for a null stream or an empty read or write slot,
/// -3 for a short or failed write.
int64_t streamCopyChecked(cStream_t* source, cStream_t* destination);

constexpr int kFileStreamRead = 0;       // "rb"
constexpr int kFileStreamWrite = 1;      // "wb": creates or truncates
constexpr int kFileStreamReadWrite = 2;  // "r+b": the file must exist, nothing is truncated
/// Write-only like "wb", but the file is made by this open (O_EXCL): any existing name, a
/// link included, fails it with EEXIST, so the stream never writes into a file made by
/// anyone else. A failure after the file was made (fdopen or fstat) leaves it behind with
/// some other errno; the caller, who knows the name, removes it.
constexpr int kFileStreamCreateNew = 3;

/// Opens a file as a stream of the given type, or null (unknown type, a null name, the file
/// cannot be opened, or it is a directory). Other processes may read and write the file too.
/// Seeking to the cached position from the start does not touch the file.
///
/// A writable file stream never forgets a failure: the first failed or short write, seek,
/// flush or close is kept (fileStreamError), every later write and seek fails, and close
/// flushes and then reports it (nonzero, the record stays until a second close frees it).
cStream_t* fileStreamOpen(const char* file_name, int type);
/// The errno of a writable file stream's first failure; 0 when none failed, for a read-only
/// file stream and for every other kind.
int fileStreamError(const cStream_t* stream);
/// Flushes a writable file stream and fsyncs its file; false (the failure kept) when either
/// fails, for a stream that failed before, and for other kinds.
bool fileStreamSync(cStream_t* stream);
/// Flushes and closes the file of a file stream as streamClose does, but the record stays
/// with a second descriptor of the file (the stream reads and writes no more), so that the
/// file can still be told (fileStreamDescriptor) however others renamed or removed it;
/// streamClose then frees the record and that descriptor. 0 when the flush and close
/// succeeded and the second descriptor was made, else the errno of the first failure (kept,
/// fileStreamError); 0 without doing anything for other kinds and for a file closed already.
int fileStreamCloseFile(cStream_t* stream);
/// The descriptor of a file stream's file (after fileStreamCloseFile the one it keeps), for
/// fstat(2) and the like; -1 for other kinds and where there is none. Never close it.
int fileStreamDescriptor(const cStream_t* stream);

/// A read-only copy of `source` in blocks of `block_size` bytes (rounded up to a multiple of
/// 8), loaded by absolute positions so the source's own position does not matter; seeks
/// inside the loaded block cost no I/O. A seek at or beyond the source's end lands there (a
/// read there gives 0, as from a file); one whose source cannot be sought or read there
/// fails (-1) and the position stays. With `owns_source` closing it closes the source too.
/// Null for a null source, a block size below 1, or when memory is short.
cStream_t* bufferedStreamNew(cStream_t* source, bool owns_source, int64_t block_size);

/// A view of `parent` from `start` to `end` (parent positions; end 0 or less: up to the
/// parent's end). Positions are relative to start; reads and writes go on wherever the parent
/// stands and never pass end; a seek before start or beyond end fails (-1). Seeks the parent
/// to start. Closing frees only the window.
cStream_t* windowStreamNew(cStream_t* parent, int64_t start, int64_t end);

/// What a digest of a run of bytes holds: four 64-bit lanes, each advanced by one 8-byte word
/// of every 32-byte stripe (the last stripe zero-padded), and the byte count. Each step is a
/// bijection of its lane for a fixed word and of the word for a fixed lane, so runs of one
/// length that differ in a single word always differ here; other differences go unseen only
/// by chance (about 2^-64). Not for adversaries: a crafted pair can collide.
struct cStreamDigest_t {
  uint64_t lanes[4];
  int64_t length;
};
/// Whether two digests are of the same bytes.
bool streamDigestEqual(const cStreamDigest_t& a, const cStreamDigest_t& b);
/// The digest of a stream's bytes from where it stands to its end; false when a read failed,
/// for a null stream, an empty read slot, and when memory is short.
bool streamDigest(cStream_t* stream, cStreamDigest_t* out);

/// A read-only pass-through over `source` (reads, tells and seeks go through) that digests the
/// source's bytes from position 0 as reads deliver them, whatever their order: a read that
/// starts beyond the bytes digested so far first reads the gap itself, and bytes read again
/// count once. Closing frees only the pass-through. Null for a null source or when memory is
/// short.
cStream_t* digestStreamNew(cStream_t* source);
/// Reads what the reads so far left out, up to the source's end, and gives the digest of all
/// its bytes: those the reads delivered, as they delivered them, and the rest as read now.
/// False when a read or seek of the pass-through failed (its digest then tells nothing), the
/// source went on beyond a gap it could not read, and for a stream of another kind.
bool digestStreamFinish(cStream_t* stream, cStreamDigest_t* out);

/// An empty, growable memory stream. Seeking past the size and writing there fills the gap
/// with zeros; seeking from the end with a positive offset extends the data with zeros.
cStream_t* memoryStreamNew();
/// The same, whose memory never grows past `limit` bytes: a write or seek that would need more
/// fails (-1) and leaves the stream as it was.
cStream_t* memoryStreamNewLimited(int64_t limit);
/// The bytes a memory stream holds allocated (at least its size); 0 for other kinds.
int64_t memoryStreamHeld(const cStream_t* stream);
/// True once a write or seek of a memory stream failed for memory: its limit, or an
/// allocation that failed; false for other kinds.
bool memoryStreamShortOfMemory(const cStream_t* stream);
