#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "platform/memblock.h"
#include "platform/stream.h"
#include "support/probestream.h"
#include "support/tempdir.h"

namespace {

using test::kEmptyOps;
using test::kNoTellOps;
using test::Probed;

std::string Pattern(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

std::string ReadAll(cStream_t* stream, uint64_t piece = 7) {
  std::string out;
  std::vector<char> buffer(piece);
  for (int64_t n; (n = streamRead(stream, buffer.data(), piece)) > 0;) out.append(buffer.data(), n);
  return out;
}

TEST(StreamWrappers, EmptySlotsGiveMinusTwoAndNullStreamsAreHandled) {
  cStream_t empty{&kEmptyOps};
  char byte = 0;
  EXPECT_EQ(streamRead(&empty, &byte, 1), kStreamNoOperation);
  EXPECT_EQ(streamWrite(&empty, &byte, 1), kStreamNoOperation);
  EXPECT_EQ(streamTell(&empty), kStreamNoOperation);
  EXPECT_EQ(streamSeek(&empty, 0, kSeekFromStart), kStreamNoOperation);
  EXPECT_EQ(streamClose(&empty), 0);
  EXPECT_EQ(streamClose(nullptr), 0);
  EXPECT_EQ(streamSize(nullptr), -1);

  Probed no_tell("12345", &kNoTellOps);
  EXPECT_EQ(streamSize(no_tell.Stream()), kStreamNoOperation);
}

TEST(MemoryStream, GrowsByDoublingAndReadsBackWhatWasWritten) {
  cStream_t* memory = memoryStreamNew();
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(streamWrite(memory, "abc", 3), 3);
  // Capacity 2 then 4: a seek to 4 lies inside it, 5 beyond it.
  EXPECT_EQ(streamSeek(memory, 4, kSeekFromStart), 4);
  EXPECT_EQ(streamSeek(memory, 5, kSeekFromStart), -1);
  EXPECT_EQ(streamTell(memory), 4);
  EXPECT_EQ(streamSeek(memory, 0, kSeekFromStart), 0);
  char buffer[8] = {};
  EXPECT_EQ(streamRead(memory, buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(streamRead(memory, buffer, sizeof buffer), 0);
  EXPECT_EQ(streamSize(memory), 3);
  EXPECT_EQ(streamClose(memory), 0);
}

// A limited memory stream grows by doubling up to its limit and no further: what would need
// more fails and leaves the stream as it was, and the failure is told as one of memory.
TEST(MemoryStream, NeverGrowsPastItsLimit) {
  cStream_t* memory = memoryStreamNewLimited(10);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(streamWrite(memory, "abcdefg", 7), 7);
  EXPECT_EQ(memoryStreamHeld(memory), 8);
  EXPECT_FALSE(memoryStreamShortOfMemory(memory));
  EXPECT_EQ(streamWrite(memory, "hij", 3), 3) << "up to the limit itself";
  EXPECT_EQ(memoryStreamHeld(memory), 10);
  EXPECT_EQ(streamWrite(memory, "k", 1), -1);
  EXPECT_EQ(streamSeek(memory, 1, kSeekFromEnd), -1);
  EXPECT_TRUE(memoryStreamShortOfMemory(memory));
  EXPECT_EQ(memoryStreamHeld(memory), 10);
  EXPECT_EQ(streamSize(memory), 10);
  EXPECT_EQ(streamClose(memory), 0);
  cStream_t* unlimited = memoryStreamNew();
  EXPECT_FALSE(memoryStreamShortOfMemory(unlimited));
  EXPECT_EQ(memoryStreamHeld(nullptr), 0);
  EXPECT_EQ(streamClose(unlimited), 0);
}

// Past the size from which the buffer is mapped on its own and grown in place: every byte
// written in odd pieces reads back, across every growth step, also after rewriting the middle.
TEST(MemoryStream, GrowsPastTheMappedSizeKeepingEveryByte) {
  cStream_t* memory = memoryStreamNew();
  const auto byte_at = [](size_t i) { return static_cast<char>(i * 131 + i / 4099); };
  std::string piece;
  size_t written = 0;
  constexpr size_t kTotal = 5 * kMemBlockMapped + 12'345;
  for (size_t length = 1; written < kTotal; length = length * 3 % 70'001 + 1) {
    piece.clear();
    for (size_t i = 0; i < length && written + i < kTotal; ++i) piece += byte_at(written + i);
    ASSERT_EQ(streamWrite(memory, piece.data(), piece.size()), static_cast<int64_t>(piece.size()));
    written += piece.size();
  }
  EXPECT_EQ(streamSize(memory), static_cast<int64_t>(kTotal));
  ASSERT_EQ(streamSeek(memory, static_cast<int64_t>(kMemBlockMapped) - 2, kSeekFromStart),
            static_cast<int64_t>(kMemBlockMapped) - 2);
  ASSERT_EQ(streamWrite(memory, "WXYZ", 4), 4);  // across the first mapped size
  streamSeek(memory, 0, kSeekFromStart);
  const std::string all = ReadAll(memory, 65'536);
  ASSERT_EQ(all.size(), kTotal);
  for (size_t i = 0; i < kTotal; ++i) {
    const size_t patched = i - (kMemBlockMapped - 2);
    const char expected = patched < 4 ? "WXYZ"[patched] : byte_at(i);
    ASSERT_EQ(all[i], expected) << i;
  }
  // A gap beyond the size, grown through a mapped buffer, reads back as zeros.
  ASSERT_EQ(streamSeek(memory, 3 * static_cast<int64_t>(kMemBlockMapped), kSeekFromEnd),
            static_cast<int64_t>(kTotal + 3 * kMemBlockMapped));
  streamSeek(memory, static_cast<int64_t>(kTotal), kSeekFromStart);
  const std::string gap = ReadAll(memory, 65'536);
  EXPECT_EQ(gap, std::string(3 * kMemBlockMapped, '\0'));
  EXPECT_EQ(streamClose(memory), 0);
}

TEST(MemoryStream, LargeWritesAheadOfPresentPagesKeepEveryByte) {
  // Writes of a container's body size: the pages ahead are made present stretch by stretch.
  cStream_t* memory = memoryStreamNew();
  const auto byte_at = [](size_t i) { return static_cast<char>(i * 7 + i / 65'537); };
  constexpr size_t kTotal = 5 * kMemBlockPopulateMin + 999;
  std::string piece;
  for (size_t written = 0; written < kTotal; written += piece.size()) {
    piece.clear();
    for (size_t i = written; i < std::min(kTotal, written + 3'000'017); ++i) piece += byte_at(i);
    ASSERT_EQ(streamWrite(memory, piece.data(), piece.size()), static_cast<int64_t>(piece.size()));
  }
  // Overwrites behind the end, then a gap past it.
  ASSERT_EQ(streamSeek(memory, 17, kSeekFromStart), 17);
  ASSERT_EQ(streamWrite(memory, "ab", 2), 2);
  ASSERT_EQ(streamSeek(memory, static_cast<int64_t>(kTotal + 5), kSeekFromStart), static_cast<int64_t>(kTotal + 5));
  ASSERT_EQ(streamWrite(memory, "z", 1), 1);
  streamSeek(memory, 0, kSeekFromStart);
  const std::string all = ReadAll(memory, 1 << 20);
  ASSERT_EQ(all.size(), kTotal + 6);
  for (size_t i = 0; i < kTotal; ++i) {
    const char expected = i == 17 ? 'a' : i == 18 ? 'b' : byte_at(i);
    ASSERT_EQ(all[i], expected) << i;
  }
  EXPECT_EQ(all.substr(kTotal), std::string(5, '\0') + "z");
  EXPECT_EQ(streamClose(memory), 0);
}

TEST(MemoryStream, RefusesNegativeTargetsAndZeroFillsGaps) {
  cStream_t* memory = memoryStreamNew();
  ASSERT_EQ(streamWrite(memory, "0123456789", 10), 10);  // capacity 16
  EXPECT_EQ(streamSeek(memory, -11, kSeekFromEnd), -1);
  EXPECT_EQ(streamSeek(memory, -20, kSeekFromCurrent), -1);
  EXPECT_EQ(streamSeek(memory, -1, kSeekFromStart), -1);
  EXPECT_EQ(streamSeek(memory, 0, 3), -1);  // unknown origin
  EXPECT_EQ(streamTell(memory), 10);

  // Past the size but inside the capacity, then a write: the gap reads as zeros (the sanitizer
  // build fills new heap memory with garbage, so an unfilled gap shows there).
  ASSERT_EQ(streamSeek(memory, 14, kSeekFromStart), 14);
  ASSERT_EQ(streamWrite(memory, "XY", 2), 2);
  // From the end with a positive offset: extended with zeros up to the target.
  ASSERT_EQ(streamSeek(memory, 3, kSeekFromEnd), 19);
  EXPECT_EQ(streamSize(memory), 19);
  streamSeek(memory, 0, kSeekFromStart);
  EXPECT_EQ(ReadAll(memory), std::string("0123456789\0\0\0\0XY\0\0\0", 19));

  // A length beyond the signed range fails and leaves the stream as it was.
  EXPECT_EQ(streamWrite(memory, "z", std::numeric_limits<uint64_t>::max()), -1);
  EXPECT_EQ(streamSize(memory), 19);
  streamClose(memory);
}

TEST(FileStream, WritesReadsAndSeeksWithSixtyFourBitPositions) {
  test::TempDir dir;
  const std::string path = dir / "data.bin";
  cStream_t* out = fileStreamOpen(path.c_str(), kFileStreamWrite);
  ASSERT_NE(out, nullptr);
  char byte = 0;
  EXPECT_EQ(streamRead(out, &byte, 1), kStreamNoOperation);  // a write stream has no read slot
  EXPECT_EQ(streamWrite(out, "hello world", 11), 11);
  EXPECT_EQ(streamTell(out), 11);
  EXPECT_EQ(streamClose(out), 0);

  cStream_t* in = fileStreamOpen(path.c_str(), kFileStreamRead);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(streamWrite(in, "x", 1), kStreamNoOperation);
  EXPECT_EQ(streamSize(in), 11);
  EXPECT_EQ(streamSeek(in, 6, kSeekFromStart), 6);
  EXPECT_EQ(ReadAll(in), "world");
  EXPECT_EQ(streamSeek(in, -5, kSeekFromEnd), 6);
  EXPECT_EQ(streamSeek(in, -1, kSeekFromCurrent), 5);
  EXPECT_EQ(streamSeek(in, -1, kSeekFromStart), -1);
  EXPECT_EQ(streamSeek(in, 0, 7), -1);
  EXPECT_EQ(streamClose(in), 0);

  cStream_t* both = fileStreamOpen(path.c_str(), kFileStreamReadWrite);
  ASSERT_NE(both, nullptr);
  EXPECT_EQ(streamWrite(both, "J", 1), 1);
  EXPECT_EQ(streamSeek(both, 0, kSeekFromStart), 0);
  EXPECT_EQ(ReadAll(both), "Jello world");  // opened without truncating
  EXPECT_EQ(streamClose(both), 0);
}

TEST(FileStream, RefusesDirectoriesMissingFilesAndUnknownTypes) {
  test::TempDir dir;
  EXPECT_EQ(fileStreamOpen(dir.Path().c_str(), kFileStreamRead), nullptr);
  EXPECT_EQ(fileStreamOpen(dir.Path().c_str(), kFileStreamWrite), nullptr);
  EXPECT_EQ(fileStreamOpen((dir / "missing").c_str(), kFileStreamRead), nullptr);
  EXPECT_EQ(fileStreamOpen((dir / "missing").c_str(), kFileStreamReadWrite), nullptr);  // never creates
  dir.Write("f", "x");
  EXPECT_EQ(fileStreamOpen((dir / "f").c_str(), 4), nullptr);
  EXPECT_EQ(fileStreamOpen(nullptr, kFileStreamRead), nullptr);
}

TEST(FileStream, ACreateNewStreamOnlyEverWritesAFileItMade) {
  test::TempDir dir;
  const std::string path = dir / "new.bin";
  cStream_t* out = fileStreamOpen(path.c_str(), kFileStreamCreateNew);
  ASSERT_NE(out, nullptr);
  char byte = 0;
  EXPECT_EQ(streamRead(out, &byte, 1), kStreamNoOperation);
  EXPECT_EQ(streamWrite(out, "fresh", 5), 5);
  EXPECT_TRUE(fileStreamSync(out));
  EXPECT_EQ(fileStreamError(out), 0);
  EXPECT_EQ(streamClose(out), 0);
  cStream_t* in = fileStreamOpen(path.c_str(), kFileStreamRead);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(ReadAll(in), "fresh");
  EXPECT_EQ(streamClose(in), 0);
  // The umask decides the mode, as for a file made by "wb".
  const std::string plain = dir / "plain.bin";
  cStream_t* made = fileStreamOpen(plain.c_str(), kFileStreamWrite);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(streamClose(made), 0);
  struct stat made_info {};
  struct stat new_info {};
  ASSERT_EQ(stat(plain.c_str(), &made_info), 0);
  ASSERT_EQ(stat(path.c_str(), &new_info), 0);
  EXPECT_EQ(new_info.st_mode, made_info.st_mode);

  // Whatever has the name, the open fails without touching it: the file it made above, a link
  // to a file (which "wb" would truncate), a dangling link (which "wb" would create the target
  // of), a folder.
  dir.Write("target", "someone else's");
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
  dir.MakeDir("folder");
  for (const char* name : {"new.bin", "link", "dangling", "folder"}) {
    SCOPED_TRACE(name);
    errno = 0;
    EXPECT_EQ(fileStreamOpen((dir / name).c_str(), kFileStreamCreateNew), nullptr);
    EXPECT_EQ(errno, EEXIST);
  }
  EXPECT_EQ(FileText(path), "fresh");
  EXPECT_EQ(FileText(dir / "target"), "someone else's");
  EXPECT_NE(access((dir / "nowhere").c_str(), F_OK), 0);
}

TEST(FileStream, ACreateNewStreamKeepsItsFirstFailureAsAWriteStreamDoes) {
  // A file size limit of 0 fails the first flush with EFBIG, as a full disk would.
  test::TempDir dir;
  const std::string path = dir / "limited.bin";
  cStream_t* out = fileStreamOpen(path.c_str(), kFileStreamCreateNew);
  ASSERT_NE(out, nullptr);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  const rlimit none{0, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
  EXPECT_EQ(streamWrite(out, "lost", 4), 4);  // buffered
  EXPECT_FALSE(fileStreamSync(out));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(fileStreamError(out), EFBIG);
  EXPECT_EQ(streamWrite(out, "x", 1), -1);  // the limit is gone, the failure is not
  EXPECT_EQ(streamSeek(out, 0, kSeekFromStart), -1);
  EXPECT_NE(streamClose(out), 0);
  EXPECT_EQ(fileStreamError(out), EFBIG);
  EXPECT_EQ(streamClose(out), 0);
}

TEST(FileStream, SeekToTheCachedPositionDoesNotTouchTheFile) {
  // A pipe cannot seek at all, so only the cached answer can succeed on it.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "abcde", 5), 5);
  close(fds[1]);
  cStream_t* in = fileStreamOpen(("/proc/self/fd/" + std::to_string(fds[0])).c_str(), kFileStreamRead);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(streamSeek(in, 0, kSeekFromStart), 0);
  char buffer[2];
  ASSERT_EQ(streamRead(in, buffer, 2), 2);
  EXPECT_EQ(streamSeek(in, 2, kSeekFromStart), 2);
  EXPECT_EQ(streamSeek(in, 3, kSeekFromStart), -1);  // a real seek fails on a pipe
  EXPECT_EQ(ReadAll(in), "cde");
  EXPECT_EQ(streamClose(in), 0);
  close(fds[0]);
}

TEST(FileStream, AFailedCloseIsReportedAndTheSecondCloseFreesTheRecord) {
  // /dev/full takes buffered writes and fails when they are flushed at close.
  cStream_t* full = fileStreamOpen("/dev/full", kFileStreamWrite);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(streamWrite(full, "lost", 4), 4);
  EXPECT_NE(streamClose(full), 0);
  char byte = 0;
  EXPECT_EQ(streamWrite(full, &byte, 1), -1);  // the handle is gone
  EXPECT_EQ(streamClose(full), 0);
}

TEST(FileStream, AWriteFailureIsKeptAndFailsEveryLaterWriteSeekAndClose) {
  // Each way a lost byte can show: inside a large write, at the flush of a seek (after which
  // stdio would drop the buffer and let the next seek succeed), at a sync, and at close.
  struct Case {
    const char* name;
    bool (*provoke)(cStream_t* stream);
  };
  const Case cases[] = {
      {"large write",
       [](cStream_t* stream) {
         const std::string big(1 << 20, 'x');
         return streamWrite(stream, big.data(), big.size()) == -1;
       }},
      {"seek after a buffered write",
       [](cStream_t* stream) {
         return streamWrite(stream, "lost", 4) == 4 && streamSeek(stream, 0, kSeekFromStart) == -1 &&
                streamSeek(stream, 0, kSeekFromEnd) == -1;
       }},
      {"sync", [](cStream_t* stream) { return streamWrite(stream, "lost", 4) == 4 && !fileStreamSync(stream); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cStream_t* full = fileStreamOpen("/dev/full", kFileStreamWrite);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(fileStreamError(full), 0);
    EXPECT_TRUE(c.provoke(full));
    EXPECT_EQ(fileStreamError(full), ENOSPC);
    EXPECT_EQ(streamWrite(full, "x", 1), -1);
    EXPECT_EQ(streamSeek(full, 0, kSeekFromStart), -1);
    EXPECT_FALSE(fileStreamSync(full));
    EXPECT_NE(streamClose(full), 0);
    EXPECT_EQ(fileStreamError(full), ENOSPC);  // still readable after the failed close
    EXPECT_EQ(streamClose(full), 0);
  }
}

TEST(FileStream, SyncOfAGoodFileSucceedsAndReadStreamsKeepNoError) {
  test::TempDir dir;
  const std::string path = dir / "synced.bin";
  cStream_t* out = fileStreamOpen(path.c_str(), kFileStreamWrite);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(streamWrite(out, "abc", 3), 3);
  EXPECT_TRUE(fileStreamSync(out));
  EXPECT_EQ(fileStreamError(out), 0);
  EXPECT_EQ(streamClose(out), 0);
  cStream_t* in = fileStreamOpen(path.c_str(), kFileStreamRead);
  ASSERT_NE(in, nullptr);
  EXPECT_FALSE(fileStreamSync(in));
  EXPECT_EQ(streamSeek(in, -5, kSeekFromStart), -1);
  EXPECT_EQ(fileStreamError(in), 0);
  EXPECT_EQ(ReadAll(in), "abc");  // a failed seek of a reader is reported per call only
  EXPECT_EQ(streamClose(in), 0);
  EXPECT_EQ(fileStreamError(nullptr), 0);
}

TEST(BufferedStream, ServesSeeksInsideTheBlockWithoutTouchingTheSource) {
  const std::string bytes = Pattern(100);
  Probed source(bytes);
  cStream_t* buffered = bufferedStreamNew(source.Stream(), false, 13);  // rounded up to 16
  ASSERT_NE(buffered, nullptr);
  char buffer[64];
  ASSERT_EQ(streamRead(buffered, buffer, 20), 20);  // blocks at 0 and 16
  EXPECT_EQ(std::string(buffer, 20), bytes.substr(0, 20));
  EXPECT_EQ(source.Counts().reads, 2);
  EXPECT_EQ(streamTell(buffered), 20);

  const int seeks = source.Counts().seeks;
  EXPECT_EQ(streamSeek(buffered, 16, kSeekFromStart), 16);
  EXPECT_EQ(streamSeek(buffered, 15, kSeekFromCurrent), 31);
  EXPECT_EQ(streamSeek(buffered, 32, kSeekFromStart), 32);  // the block's end is inside
  EXPECT_EQ(source.Counts().seeks, seeks);
  EXPECT_EQ(source.Counts().reads, 2);

  EXPECT_EQ(streamSeek(buffered, 90, kSeekFromStart), 90);  // loads the block at 90
  EXPECT_EQ(source.Counts().reads, 3);
  EXPECT_EQ(streamSeek(buffered, -4, kSeekFromEnd), 96);
  EXPECT_EQ(ReadAll(buffered), bytes.substr(96));
  EXPECT_EQ(streamWrite(buffered, "x", 1), kStreamNoOperation);  // read-only
  EXPECT_EQ(streamClose(buffered), 0);
  EXPECT_EQ(source.Counts().closes, 0);  // not owned
}

TEST(BufferedStream, AShortSourceGivesWhatItHadThenZero) {
  Probed source(Pattern(20));
  cStream_t* buffered = bufferedStreamNew(source.Stream(), true, 16);
  char buffer[64];
  EXPECT_EQ(streamRead(buffered, buffer, 30), 20);
  EXPECT_EQ(streamRead(buffered, buffer, 30), 0);
  // Beyond the source's end there is nothing to load: the position goes there, as a file's
  // does, and reads give nothing.
  EXPECT_EQ(streamSeek(buffered, 25, kSeekFromStart), 25);
  EXPECT_EQ(streamTell(buffered), 25);
  EXPECT_EQ(streamRead(buffered, buffer, 30), 0);
  EXPECT_EQ(streamSeek(buffered, 18, kSeekFromStart), 18);
  EXPECT_EQ(streamRead(buffered, buffer, 30), 2);
  EXPECT_EQ(streamClose(buffered), 0);
  EXPECT_EQ(source.Counts().closes, 1);  // owned: closed with the copy
}

TEST(BufferedStream, ASeekToTheEndBeyondTheLoadedBlockReportsTheSize) {
  Probed source(Pattern(40));
  cStream_t* buffered = bufferedStreamNew(source.Stream(), false, 16);
  char buffer[8];
  ASSERT_EQ(streamRead(buffered, buffer, 4), 4);
  EXPECT_EQ(streamSeek(buffered, 0, kSeekFromEnd), 40);
  EXPECT_EQ(streamTell(buffered), 40);
  EXPECT_EQ(streamSize(buffered), 40);
  EXPECT_EQ(streamRead(buffered, buffer, 8), 0);
  EXPECT_EQ(streamSeek(buffered, 36, kSeekFromStart), 36);  // and back into the data
  EXPECT_EQ(streamRead(buffered, buffer, 8), 4);
  EXPECT_EQ(streamClose(buffered), 0);
}

TEST(BufferedStream, FailedSourceSeeksAndReadsAreReportedNotTakenForTheEnd) {
  const std::string bytes = Pattern(64);
  Probed source(bytes);
  cStream_t* buffered = bufferedStreamNew(source.Stream(), false, 8);
  char buffer[16];
  ASSERT_EQ(streamRead(buffered, buffer, 4), 4);

  source.Counts().fail_seeks = true;
  EXPECT_EQ(streamRead(buffered, buffer, 10), 4);   // the rest of the loaded block, no more
  EXPECT_EQ(streamRead(buffered, buffer, 10), -1);  // nothing left: the failure shows
  EXPECT_EQ(streamSeek(buffered, 40, kSeekFromStart), -1);
  EXPECT_EQ(streamTell(buffered), 8);

  source.Counts().fail_seeks = false;
  source.Counts().fail_reads = true;
  EXPECT_EQ(streamRead(buffered, buffer, 10), -1);
  EXPECT_EQ(streamSeek(buffered, 40, kSeekFromStart), -1);  // could not load there: unchanged
  EXPECT_EQ(streamTell(buffered), 8);

  source.Counts().fail_reads = false;
  ASSERT_EQ(streamRead(buffered, buffer, 10), 10);  // picks up where it stood
  EXPECT_EQ(std::string(buffer, 10), bytes.substr(8, 10));
  streamClose(buffered);
}

TEST(BufferedStream, LargeBlocksOfAFileReadItWhole) {
  // Blocks whose pages are made present before their first load: the file's size, larger
  // than the file, and smaller (reloaded).
  test::TempDir dir;
  const std::string path = dir / "large.bin";
  const std::string bytes = Pattern(kMemBlockPopulateMin + 4 * kMemBlockMapped + 333);
  {
    cStream_t* out = fileStreamOpen(path.c_str(), kFileStreamWrite);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(streamWrite(out, bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
    ASSERT_EQ(streamClose(out), 0);
  }
  const int64_t sizes[] = {static_cast<int64_t>(bytes.size()), 4 * static_cast<int64_t>(kMemBlockPopulateMin),
                           static_cast<int64_t>(kMemBlockPopulateMin)};
  for (const int64_t block : sizes) {
    SCOPED_TRACE(block);
    cStream_t* in = fileStreamOpen(path.c_str(), kFileStreamRead);
    ASSERT_NE(in, nullptr);
    cStream_t* buffered = bufferedStreamNew(in, true, block);
    ASSERT_NE(buffered, nullptr);
    ASSERT_EQ(streamSeek(buffered, 5, kSeekFromStart), 5);
    EXPECT_EQ(ReadAll(buffered, 1'000'003), bytes.substr(5));
    ASSERT_EQ(streamSeek(buffered, 1, kSeekFromStart), 1);  // back into the first block
    char two[2];
    ASSERT_EQ(streamRead(buffered, two, 2), 2);
    EXPECT_EQ(std::string(two, 2), bytes.substr(1, 2));
    EXPECT_EQ(streamClose(buffered), 0);
  }
}

TEST(BufferedStream, RefusesNullSourcesAndEmptyBlocks) {
  Probed source("x");
  EXPECT_EQ(bufferedStreamNew(nullptr, false, 16), nullptr);
  EXPECT_EQ(bufferedStreamNew(source.Stream(), false, 0), nullptr);
  EXPECT_EQ(bufferedStreamNew(source.Stream(), false, std::numeric_limits<int64_t>::max()), nullptr);
}

TEST(WindowStream, WithoutAnEndReadsToTheParentsEnd) {
  const std::string bytes = Pattern(50);
  Probed parent(bytes);
  cStream_t* window = windowStreamNew(parent.Stream(), 10, 0);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(streamTell(window), 0);
  EXPECT_EQ(ReadAll(window), bytes.substr(10));
  EXPECT_EQ(streamTell(window), 40);
  EXPECT_EQ(streamSeek(window, -5, kSeekFromEnd), 35);
  EXPECT_EQ(streamSeek(window, -100, kSeekFromCurrent), -1);  // before the start: not reached
  EXPECT_EQ(streamTell(window), 35);
  EXPECT_EQ(streamClose(window), 0);
  EXPECT_EQ(parent.Counts().closes, 0);
  char byte = 0;
  EXPECT_EQ(streamRead(parent.Stream(), &byte, 1), 1);  // the parent stays usable
}

TEST(WindowStream, WithAnEndNeverPassesIt) {
  const std::string bytes = Pattern(50);
  Probed parent(bytes);
  cStream_t* window = windowStreamNew(parent.Stream(), 10, 30);
  EXPECT_EQ(ReadAll(window), bytes.substr(10, 20));
  char buffer[8];
  EXPECT_EQ(streamRead(window, buffer, 8), 0);
  EXPECT_EQ(streamSeek(window, 100, kSeekFromStart), -1);  // beyond the end: not reached
  EXPECT_EQ(streamTell(window), 20);
  EXPECT_EQ(streamSeek(window, 20, kSeekFromStart), 20);  // the end itself is a position
  EXPECT_EQ(streamSeek(window, -4, kSeekFromEnd), 16);
  EXPECT_EQ(streamSeek(window, 0, 9), -1);

  // Once the parent stands beyond the end the window has no position and delivers nothing.
  ASSERT_EQ(streamSeek(parent.Stream(), 40, kSeekFromStart), 40);
  EXPECT_EQ(streamTell(window), -1);
  EXPECT_EQ(streamRead(window, buffer, 8), 0);
  EXPECT_EQ(streamWrite(window, "zz", 2), 0);

  // Writes are cut at the end too.
  ASSERT_EQ(streamSeek(window, 18, kSeekFromStart), 18);
  EXPECT_EQ(streamWrite(window, "WXYZ", 4), 2);
  streamSeek(parent.Stream(), 0, kSeekFromStart);
  std::string expected = bytes;
  expected.replace(28, 2, "WX");
  EXPECT_EQ(ReadAll(parent.Stream()), expected);
  streamClose(window);
}

TEST(WindowStream, AFailedParentSeekFailsTheWindowSeek) {
  Probed parent(Pattern(50));
  cStream_t* window = windowStreamNew(parent.Stream(), 10, 30);
  parent.Counts().fail_seeks = true;
  EXPECT_EQ(streamSeek(window, 5, kSeekFromStart), -1);
  streamClose(window);
  EXPECT_EQ(windowStreamNew(nullptr, 0, 0), nullptr);
}

// Whatever its block size, a buffered copy of a file answers seeks and reads as the file
// does, past its end too: the input buffer never changes what a reader finds.
TEST(BufferedStream, AnswersAsItsFileDoesWithEveryBlockSize) {
  test::TempDir dir;
  const std::string bytes = Pattern(100);
  const std::string path = dir.Write("input.bin", bytes);
  struct Step {
    int64_t offset;
    int origin;
    uint64_t read;
  };
  const Step steps[] = {{40, kSeekFromStart, 10},  {108, kSeekFromStart, 4}, {3, kSeekFromStart, 5},
                        {100, kSeekFromStart, 4},  {-1, kSeekFromStart, 4},  {-10, kSeekFromEnd, 20},
                        {50, kSeekFromCurrent, 1}, {0, kSeekFromEnd, 1},     {-150, kSeekFromCurrent, 3},
                        {99, kSeekFromStart, 8},   {7, kSeekFromEnd, 2},     {0, kSeekFromStart, 100}};
  const auto answers = [&steps](cStream_t* stream) {
    std::vector<std::string> got;
    for (const Step& step : steps) {
      std::string read(step.read, '\0');
      const int64_t position = streamSeek(stream, step.offset, step.origin);
      const int64_t count = streamRead(stream, read.data(), step.read);
      got.push_back(std::to_string(position) + " " + std::to_string(streamTell(stream)) + " " +
                    read.substr(0, static_cast<size_t>(std::max<int64_t>(count, 0))));
    }
    return got;
  };
  cStream_t* file = fileStreamOpen(path.c_str(), kFileStreamRead);
  ASSERT_NE(file, nullptr);
  const std::vector<std::string> expected = answers(file);
  EXPECT_EQ(expected[1], "108 108 ");  // past the end: there, and nothing to read
  for (const int64_t block : {8, 16, 96, 100, 104, 4096}) {
    SCOPED_TRACE("block " + std::to_string(block));
    cStream_t* buffered = bufferedStreamNew(file, false, block);
    ASSERT_NE(buffered, nullptr);
    EXPECT_EQ(answers(buffered), expected);
    EXPECT_EQ(streamClose(buffered), 0);
  }
  EXPECT_EQ(streamClose(file), 0);
}

// Links past the end of a damaged file must not cost a reload of the whole file each: the
// copy stands past the end with its block kept.
TEST(BufferedStream, StandingPastTheEndKeepsTheLoadedBlock) {
  const std::string bytes = Pattern(100);
  Probed source(bytes);
  cStream_t* buffered = bufferedStreamNew(source.Stream(), false, 100);
  char got[8];
  ASSERT_EQ(streamRead(buffered, got, 8), 8);
  for (int link = 0; link < 20; ++link) {
    // (The memory stream underneath takes seeks up to its capacity of 128 bytes.)
    ASSERT_EQ(streamSeek(buffered, 100 + link, kSeekFromStart), 100 + link);
    EXPECT_EQ(streamRead(buffered, got, 8), 0);
    ASSERT_EQ(streamSeek(buffered, 3, kSeekFromCurrent), 103 + link);
    ASSERT_EQ(streamSeek(buffered, link, kSeekFromStart), link);
    ASSERT_EQ(streamRead(buffered, got, 8), 8);
    EXPECT_EQ(std::string(got, 8), bytes.substr(static_cast<size_t>(link), 8));
  }
  // One load of the block, then at most one look past the end per seek and per read there;
  // a block dropped there would be read again at every seek back.
  EXPECT_LE(source.Counts().reads, 1 + 20 * 3);
  EXPECT_EQ(streamClose(buffered), 0);
}

// A seek that does not reach its target fails and leaves the position where it was, so the
// next read gives the bytes there and never passes them off as those at the target.
TEST(StreamSeeks, ThatMissTheirTargetFailAndKeepThePosition) {
  const std::string bytes = Pattern(100);
  struct Case {
    const char* what;
    bool buffered;    // else a window from 10 to 90 (positions relative to 10)
    int64_t block;    // of the buffered copy
    int64_t stop_at;  // the source's seeks beyond this land nowhere
    bool fail_reads;  // the source's reads fail once the copy stands at 8
    int64_t target;
    int origin;
  };
  constexpr int64_t kNoStop = std::numeric_limits<int64_t>::max();
  const Case cases[] = {
      {"copy, before the start", true, 16, kNoStop, false, -1, kSeekFromStart},
      {"copy, a source that lands short", true, 16, 50, false, 60, kSeekFromStart},
      {"copy, a source whose read fails", true, 16, kNoStop, true, 60, kSeekFromStart},
      {"window, beyond its end", false, 0, kNoStop, false, 81, kSeekFromStart},
      {"window, beyond its end from the end", false, 0, kNoStop, false, 1, kSeekFromEnd},
      {"window, before its start", false, 0, kNoStop, false, -1, kSeekFromStart},
      {"window, before its start from here", false, 0, kNoStop, false, -9, kSeekFromCurrent},
      {"window, a parent that lands short", false, 0, 50, false, 60, kSeekFromStart},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Probed source(bytes);
    source.Counts().seeks_stop_at = c.stop_at;
    cStream_t* stream =
        c.buffered ? bufferedStreamNew(source.Stream(), false, c.block) : windowStreamNew(source.Stream(), 10, 90);
    ASSERT_NE(stream, nullptr);
    char got[4];
    ASSERT_EQ(streamRead(stream, got, 4), 4);
    ASSERT_EQ(streamSeek(stream, 8, kSeekFromStart), 8);
    source.Counts().fail_reads = c.fail_reads;
    EXPECT_EQ(streamSeek(stream, c.target, c.origin), -1);
    source.Counts().fail_reads = false;
    EXPECT_EQ(streamTell(stream), 8);
    ASSERT_EQ(streamRead(stream, got, 4), 4);
    EXPECT_EQ(std::string(got, 4), bytes.substr(c.buffered ? 8 : 18, 4));
    EXPECT_EQ(streamClose(stream), 0);
  }
}

TEST(StreamCopy, TheCheckedCopyReportsWhatThePlainOneIgnores) {
  const std::string bytes = Pattern(10000);  // three 4096-byte pieces
  {
    Probed source(bytes);
    cStream_t* sink = memoryStreamNew();
    EXPECT_EQ(streamCopyChecked(source.Stream(), sink), 10000);
    streamSeek(sink, 0, kSeekFromStart);
    EXPECT_EQ(ReadAll(sink, 4096), bytes);
    streamClose(sink);
  }
  {
    Probed source(bytes);
    Probed sink("");
    sink.Counts().write_limit = 100;  // every write comes up short
    streamCopy(source.Stream(), sink.Stream());
    EXPECT_EQ(streamSize(sink.Counts().inner), 300);  // three pieces, each cut, and no complaint
    streamSeek(source.Stream(), 0, kSeekFromStart);
    EXPECT_EQ(streamCopyChecked(source.Stream(), sink.Stream()), kStreamShortWrite);
  }
  {
    Probed source(bytes);
    source.Counts().fail_reads = true;
    cStream_t* sink = memoryStreamNew();
    streamCopy(source.Stream(), sink);  // ends quietly
    EXPECT_EQ(streamCopyChecked(source.Stream(), sink), kStreamFailed);
    EXPECT_EQ(streamCopyChecked(nullptr, sink), kStreamNoOperation);
    streamClose(sink);
  }
}

TEST(StreamCompare, TellsSameBytesPieceByPieceWhateverTheReadsDeliver) {
  const std::string bytes = Pattern(10000);  // three pieces, the last one short
  std::string last_flipped = bytes;
  last_flipped.back() = 'Z';
  std::string early_flipped = bytes;
  early_flipped[17] = 'Z';
  struct Case {
    const char* name;
    std::string a;
    std::string b;
    int64_t read_limit_b;  // b's reads deliver at most this
    int same;
  };
  const Case cases[] = {
      {"equal", bytes, bytes, 1 << 20, 1},
      {"equal, one side in short reads", bytes, bytes, 1000, 1},
      {"both empty", "", "", 1 << 20, 1},
      {"the last byte differs", bytes, last_flipped, 1 << 20, 0},
      {"an early byte differs, short reads", bytes, early_flipped, 333, 0},
      {"a prefix", bytes, bytes.substr(0, 8192), 1 << 20, 0},
      {"a prefix ending inside a piece", bytes.substr(0, 5000), bytes, 1 << 20, 0},
      {"one empty", "", bytes, 1 << 20, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Probed a(c.a);
    Probed b(c.b);
    b.Counts().read_limit = c.read_limit_b;
    EXPECT_EQ(streamSameBytes(a.Stream(), b.Stream()), c.same);
  }
  Probed good(bytes);
  Probed failing(bytes);
  failing.Counts().fail_reads_at = 5000;
  EXPECT_EQ(streamSameBytes(good.Stream(), failing.Stream()), kStreamFailed);
  Probed empty_slots(bytes, &kEmptyOps);
  EXPECT_EQ(streamSameBytes(good.Stream(), empty_slots.Stream()), kStreamNoOperation);
  EXPECT_EQ(streamSameBytes(nullptr, good.Stream()), kStreamNoOperation);
}

/// The digest of the bytes as a whole, read in one piece.
cStreamDigest_t DigestOf(const std::string& bytes) {
  test::Probed source(bytes);
  cStreamDigest_t digest{};
  EXPECT_TRUE(streamDigest(source.Stream(), &digest));
  return digest;
}

TEST(DigestStream, DigestsEveryByteOnceWhateverTheOrderOfTheReads) {
  // Larger than two of the pass-through's pieces, and no multiple of a stripe.
  const std::string bytes = Pattern(700001);
  const cStreamDigest_t whole = DigestOf(bytes);
  using Reads = void (*)(cStream_t * stream, std::string * delivered);
  struct Case {
    const char* name;
    Reads reads;
  };
  const Case cases[] = {
      {"none: the end reads it all", [](cStream_t*, std::string*) {}},
      {"one read of it all, as a whole-file buffer",
       [](cStream_t* stream, std::string* delivered) {
         cStream_t* buffered = bufferedStreamNew(stream, false, 700001);
         *delivered = ReadAll(buffered, 1 << 20);
         streamClose(buffered);
       }},
      {"small pieces", [](cStream_t* stream, std::string* delivered) { *delivered = ReadAll(stream, 7); }},
      {"small blocks, jumping ahead and back",
       [](cStream_t* stream, std::string* delivered) {
         cStream_t* buffered = bufferedStreamNew(stream, false, 64);
         char piece[100];
         streamSeek(buffered, 600000, kSeekFromStart);
         streamRead(buffered, piece, sizeof piece);
         streamSeek(buffered, 10, kSeekFromStart);
         streamRead(buffered, piece, sizeof piece);
         streamSeek(buffered, 0, kSeekFromStart);
         *delivered = ReadAll(buffered, 4096);
         streamClose(buffered);
       }},
      {"twice over, and past the end",
       [](cStream_t* stream, std::string* delivered) {
         ReadAll(stream, 1000);
         streamSeek(stream, 0, kSeekFromStart);
         *delivered = ReadAll(stream, 333);
         char byte = 0;
         streamSeek(stream, 800000, kSeekFromStart);
         EXPECT_EQ(streamRead(stream, &byte, 1), 0);
       }},
      {"a few scattered reads that never reach the end",
       [](cStream_t* stream, std::string*) {
         char piece[50];
         streamSeek(stream, 300000, kSeekFromStart);
         streamRead(stream, piece, sizeof piece);
         streamSeek(stream, 5, kSeekFromStart);
         streamRead(stream, piece, sizeof piece);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::Probed source(bytes);
    cStream_t* digest = digestStreamNew(source.Stream());
    ASSERT_NE(digest, nullptr);
    std::string delivered;
    c.reads(digest, &delivered);
    EXPECT_TRUE(delivered.empty() || delivered == bytes);  // passed through unchanged; not printed
    cStreamDigest_t finished{};
    EXPECT_TRUE(digestStreamFinish(digest, &finished));
    EXPECT_TRUE(streamDigestEqual(finished, whole));
    streamClose(digest);
  }
}

TEST(DigestStream, AnyChangedByteOrLengthChangesTheDigest) {
  // Every single-byte change of runs around a stripe's size, and every cut or zero-padding.
  for (const size_t size : {size_t{31}, size_t{32}, size_t{33}, size_t{200}}) {
    const std::string bytes = Pattern(size);
    const cStreamDigest_t digest = DigestOf(bytes);
    for (size_t at = 0; at < size; ++at) {
      for (const int flip : {0x01, 0x80}) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ flip);
        EXPECT_FALSE(streamDigestEqual(DigestOf(changed), digest)) << size << " " << at;
      }
    }
    for (size_t cut = 0; cut < size; ++cut) {
      EXPECT_FALSE(streamDigestEqual(DigestOf(bytes.substr(0, cut)), digest));
    }
    EXPECT_FALSE(streamDigestEqual(DigestOf(bytes + std::string(1, '\0')), digest));
  }
}

TEST(DigestStream, AFailedReadOrSeekTellsNothingAndAGapCutShortIsReadOnceThereIsMore) {
  const std::string bytes = Pattern(5000);
  char piece[100];
  cStreamDigest_t out{};
  {
    test::Probed source(bytes);
    source.Counts().fail_reads_at = 1000;
    cStream_t* digest = digestStreamNew(source.Stream());
    ReadAll(digest, 100);
    EXPECT_FALSE(digestStreamFinish(digest, &out));
    streamClose(digest);
  }
  {
    test::Probed source(bytes);
    cStream_t* digest = digestStreamNew(source.Stream());
    streamSeek(digest, 3000, kSeekFromStart);
    source.Counts().fail_seeks = true;  // the gap before the read ahead cannot be reached
    EXPECT_EQ(streamRead(digest, piece, sizeof piece), kStreamFailed);
    source.Counts().fail_seeks = false;
    EXPECT_FALSE(digestStreamFinish(digest, &out));
    streamClose(digest);
  }
  {
    // The source ended at 500 while the gap was read, then grew: the rest of the gap is read
    // before the bytes beyond it count.
    test::Probed source(bytes);
    source.Counts().reads_end_at = 500;
    cStream_t* digest = digestStreamNew(source.Stream());
    streamSeek(digest, 800, kSeekFromStart);
    EXPECT_EQ(streamRead(digest, piece, sizeof piece), 0);
    source.Counts().reads_end_at = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(streamRead(digest, piece, sizeof piece), static_cast<int64_t>(sizeof piece));
    EXPECT_EQ(std::string(piece, sizeof piece), bytes.substr(800, sizeof piece));
    EXPECT_TRUE(digestStreamFinish(digest, &out));
    EXPECT_TRUE(streamDigestEqual(out, DigestOf(bytes)));
    streamClose(digest);
  }
  cStream_t* memory = memoryStreamNew();
  EXPECT_FALSE(digestStreamFinish(memory, &out));  // no pass-through
  streamClose(memory);
  EXPECT_EQ(digestStreamNew(nullptr), nullptr);
  EXPECT_FALSE(streamDigest(nullptr, &out));
}

TEST(FileStream, ClosingTheFileKeepsAHoldThatStillTellsTheFile) {
  test::TempDir dir;
  const std::string path = dir.Path("held");
  cStream_t* stream = fileStreamOpen(path.c_str(), kFileStreamCreateNew);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(streamWrite(stream, "bytes", 5), 5);
  struct stat open_info {};
  ASSERT_EQ(fstat(fileStreamDescriptor(stream), &open_info), 0);
  EXPECT_EQ(fileStreamCloseFile(stream), 0);
  EXPECT_EQ(FileText(path), "bytes");  // flushed and closed
  // The hold is the same file, wherever its name went, and the stream writes no more.
  const int held = fileStreamDescriptor(stream);
  ASSERT_GT(held, STDERR_FILENO);
  ASSERT_EQ(std::rename(path.c_str(), dir.Path("moved").c_str()), 0);
  struct stat held_info {};
  ASSERT_EQ(fstat(held, &held_info), 0);
  EXPECT_EQ(held_info.st_ino, open_info.st_ino);
  EXPECT_EQ(held_info.st_nlink, 1u);
  ASSERT_EQ(std::remove(dir.Path("moved").c_str()), 0);
  ASSERT_EQ(fstat(held, &held_info), 0);
  EXPECT_EQ(held_info.st_nlink, 0u);
  EXPECT_EQ(streamWrite(stream, "more", 4), kStreamFailed);
  EXPECT_EQ(fileStreamCloseFile(stream), 0);  // closed already
  EXPECT_EQ(streamClose(stream), 0);
  EXPECT_EQ(fcntl(held, F_GETFD), -1);  // and streamClose let go of the hold

  // Other kinds have no descriptor and are left alone.
  cStream_t* memory = memoryStreamNew();
  EXPECT_EQ(fileStreamDescriptor(memory), -1);
  EXPECT_EQ(fileStreamCloseFile(memory), 0);
  EXPECT_EQ(streamWrite(memory, "x", 1), 1);
  streamClose(memory);
  EXPECT_EQ(fileStreamDescriptor(nullptr), -1);
}

// Into a memory stream the checked copy reads straight into its buffer; the stream ends as
// the piece-by-piece copy through any other stream leaves it.
TEST(StreamCopy, IntoAMemoryStreamLeavesWhatAPieceByPieceCopyLeaves) {
  const std::string bytes = Pattern(10000);
  struct Case {
    int64_t fail_at;   // the source's reads fail from here on
    int64_t start_at;  // the destination's position before the copy: a gap beyond its 9 bytes
    size_t length;     // of the source
  };
  const Case cases[] = {{1 << 30, 0, 10000}, {5000, 4, 10000}, {1 << 30, 13, 10000},
                        {4096, 16, 10000},   {1 << 30, 14, 0}, {0, 12, 10000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.fail_at << " " << c.start_at << " " << c.length);
    int64_t results[2];
    std::string contents[2];
    for (int direct = 0; direct < 2; ++direct) {
      Probed source(bytes.substr(0, c.length));
      source.Counts().fail_reads_at = c.fail_at;
      // A probe hands each piece on to the memory stream inside it.
      Probed probe("");
      cStream_t* memory = memoryStreamNew();
      cStream_t* destination = direct ? memory : probe.Stream();
      ASSERT_EQ(streamWrite(destination, "abcdefghi", 9), 9);  // room for 16
      ASSERT_EQ(streamSeek(destination, c.start_at, kSeekFromStart), c.start_at);
      results[direct] = streamCopyChecked(source.Stream(), destination);
      cStream_t* written = direct ? memory : probe.Counts().inner;
      streamSeek(written, 0, kSeekFromStart);
      contents[direct] = ReadAll(written, 4096);
      streamClose(memory);
    }
    EXPECT_EQ(results[1], results[0]);
    EXPECT_EQ(contents[1].size(), contents[0].size());
    EXPECT_TRUE(contents[1] == contents[0]);
  }
}

TEST(StreamStack, AWindowOfAFileReadThroughABufferedCopy) {
  test::TempDir dir;
  const std::string bytes = Pattern(1000);
  dir.Write("input.bin", bytes);
  cStream_t* file = fileStreamOpen((dir / "input.bin").c_str(), kFileStreamRead);
  ASSERT_NE(file, nullptr);
  cStream_t* window = windowStreamNew(file, 100, 700);
  cStream_t* buffered = bufferedStreamNew(window, false, 64);
  cStream_t* memory = memoryStreamNew();
  EXPECT_EQ(streamCopyChecked(buffered, memory), 600);
  EXPECT_EQ(streamSeek(buffered, 10, kSeekFromStart), 10);
  char buffer[5];
  ASSERT_EQ(streamRead(buffered, buffer, 5), 5);
  EXPECT_EQ(std::string(buffer, 5), bytes.substr(110, 5));
  streamSeek(memory, 0, kSeekFromStart);
  EXPECT_EQ(ReadAll(memory, 256), bytes.substr(100, 600));
  // Innermost user first.
  EXPECT_EQ(streamClose(memory), 0);
  EXPECT_EQ(streamClose(buffered), 0);
  EXPECT_EQ(streamClose(window), 0);
  EXPECT_EQ(streamClose(file), 0);
}

}  // namespace
