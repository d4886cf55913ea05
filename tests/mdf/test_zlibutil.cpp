#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/deflate.h"
#include "support/memorybuffer.h"
#include "support/sinks.h"
#include "support/tempdir.h"
#include "zlibutil.h"

using mdf::detail::ByteArray;
using mdf::detail::CompressBuffer;
using mdf::detail::CompressFile;
using mdf::detail::DecompressBuffer;
using mdf::detail::DecompressStream;
using mdf::detail::TransposeBytes;
using mdf::detail::UntransposeBytes;
using test::ChunkSink;
using test::MemoryBuffer;
using test::TempDir;

namespace {

ByteArray RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 engine(seed);
  ByteArray bytes(size);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(engine());
  return bytes;
}

// Record-like bytes: compressible, but not trivially.
ByteArray RecordBytes(size_t size) {
  ByteArray bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i % 16) < 8 ? i / 16 : (i * 7) % 13);
  return bytes;
}

// Deflated and inflated by zlib itself, so each side is checked against an independent one;
// an inflation zlib refuses is empty and so never equals the expected bytes.
using test::Deflated;
using test::Inflated;

TEST(Transpose, MovesWholeRowsAndLeavesTheRest) {
  ByteArray data = {0, 1, 2, 3, 4, 5, 6};
  TransposeBytes(data, 3);
  EXPECT_EQ(data, (ByteArray{0, 3, 1, 4, 2, 5, 6}));
  UntransposeBytes(data, 3);
  EXPECT_EQ(data, (ByteArray{0, 1, 2, 3, 4, 5, 6}));

  // 20 bytes, 8 columns: two records, the last 4 bytes stay in place.
  ByteArray records(20);
  for (size_t i = 0; i < records.size(); ++i) records[i] = static_cast<uint8_t>(i);
  ByteArray transposed = records;
  TransposeBytes(transposed, 8);
  EXPECT_EQ(transposed, (ByteArray{0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 16, 17, 18, 19}));
  UntransposeBytes(transposed, 8);
  EXPECT_EQ(transposed, records);
}

TEST(Transpose, NoWholeRowOrNoColumnsChangesNothing) {
  const ByteArray original = {9, 8, 7};
  for (uint32_t columns : {0U, 1U, 4U, 100U}) {
    ByteArray data = original;
    TransposeBytes(data, columns);
    EXPECT_EQ(data, original) << columns;
    UntransposeBytes(data, columns);
    EXPECT_EQ(data, original) << columns;
  }
}

TEST(CompressBuffer, ZerosRoundTripAndShrink) {
  const ByteArray zeros(1000, 0);
  ByteArray compressed;
  ASSERT_TRUE(CompressBuffer(zeros, compressed));
  EXPECT_LT(compressed.size(), 50U);
  EXPECT_EQ(Inflated(compressed, 1000), zeros);  // a zlib stream, header included

  ByteArray restored(1000);
  ASSERT_TRUE(DecompressBuffer(compressed, restored));
  EXPECT_EQ(restored, zeros);
}

TEST(CompressBuffer, IncompressibleDataStillFits) {
  // Random data deflates to more than input + 100 bytes; the worst case must be provided.
  const ByteArray random = RandomBytes(1 << 20, 1);
  ByteArray compressed;
  ASSERT_TRUE(CompressBuffer(random, compressed));
  EXPECT_GT(compressed.size(), random.size() + 100);
  ByteArray restored(random.size());
  ASSERT_TRUE(DecompressBuffer(compressed, restored));
  EXPECT_EQ(restored, random);
}

TEST(CompressBuffer, EmptyInputAndTooSmallCallerOutputFail) {
  ByteArray output;
  EXPECT_FALSE(CompressBuffer({}, output));
  EXPECT_EQ(output.size(), 100U);

  ByteArray small(100);  // the caller's size is kept: random data does not fit
  EXPECT_FALSE(CompressBuffer(RandomBytes(1000, 2), small));
}

TEST(CompressBuffer, PiecewiseFeedingMatchesOneCall) {
  // zlib's counters are 32 bits wide; big buffers go in pieces. Tiny pieces prove the loop.
  const ByteArray input = RecordBytes(5000);
  ByteArray compressed(6000);
  uint64_t produced = 0;
  ASSERT_TRUE(
      mdf::detail::internal::Deflate(input.data(), input.size(), compressed.data(), compressed.size(), produced, 7));
  compressed.resize(produced);
  EXPECT_EQ(Inflated(compressed, input.size()), input);

  ByteArray restored(input.size());
  ASSERT_TRUE(mdf::detail::internal::Inflate(compressed.data(), compressed.size(), restored.data(), restored.size(),
                                             produced, 5));
  EXPECT_EQ(produced, input.size());
  EXPECT_EQ(restored, input);
}

TEST(DecompressBuffer, OutputSizeRules) {
  const ByteArray input = RecordBytes(3000);
  const ByteArray compressed = Deflated(input);

  ByteArray larger(5000, 0xEE);
  EXPECT_TRUE(DecompressBuffer(compressed, larger));
  EXPECT_EQ(larger, input);  // cut to the inflated size

  ByteArray smaller(2999);
  EXPECT_FALSE(DecompressBuffer(compressed, smaller));

  ByteArray empty;
  EXPECT_FALSE(DecompressBuffer(compressed, empty));
  ByteArray output(10);
  EXPECT_FALSE(DecompressBuffer({}, output));
}

TEST(DecompressBuffer, CorruptTruncatedOrTrailingInputFails) {
  const ByteArray input = RecordBytes(3000);
  const ByteArray compressed = Deflated(input);

  ByteArray corrupt = compressed;
  corrupt[corrupt.size() / 2] ^= 0xFF;
  corrupt[corrupt.size() - 1] ^= 0xFF;  // the Adler-32 check catches what the data may not
  ByteArray output(3000);
  EXPECT_FALSE(DecompressBuffer(corrupt, output));

  ByteArray truncated(compressed.begin(), compressed.end() - 10);
  output.assign(3000, 0);
  EXPECT_FALSE(DecompressBuffer(truncated, output));

  ByteArray trailing = compressed;
  trailing.push_back(0);
  output.assign(3000, 0);
  EXPECT_FALSE(DecompressBuffer(trailing, output));
}

TEST(DecompressStream, InflatesInPiecesToTheSink) {
  const ByteArray input = RecordBytes(200'000);
  const ByteArray compressed = Deflated(input);
  ASSERT_GT(compressed.size(), 16'384U);  // more than one input piece

  // The compressed bytes sit between other bytes, as in a file.
  MemoryBuffer source(test::Bytes()
                          .Raw(std::string(100, '\xAA'))
                          .Raw(std::string(compressed.begin(), compressed.end()))
                          .Raw(std::string(50, '\xBB'))
                          .Data());
  source.pubseekpos(100);
  ChunkSink sink;
  uint64_t produced = 0;
  ASSERT_TRUE(DecompressStream(source, compressed.size(), sink, produced));
  EXPECT_EQ(produced, input.size());
  EXPECT_EQ(sink.data, std::string(input.begin(), input.end()));
  for (const auto put : sink.puts) EXPECT_LE(put, 16'384);
  EXPECT_EQ(source.Position(), static_cast<int64_t>(100 + compressed.size()));
}

TEST(DecompressStream, FailureCases) {
  const ByteArray input = RecordBytes(100'000);
  const ByteArray compressed = Deflated(input);
  {
    MemoryBuffer source(compressed);
    ChunkSink sink;
    EXPECT_FALSE(DecompressStream(source, 0, sink));
    EXPECT_TRUE(sink.puts.empty());
  }
  {
    ByteArray corrupt = compressed;
    std::fill_n(corrupt.begin() + 20, 40, uint8_t{0xFF});
    MemoryBuffer source(corrupt);
    ChunkSink sink;
    EXPECT_FALSE(DecompressStream(source, corrupt.size(), sink));
  }
  {
    MemoryBuffer source(compressed);  // n stops short of the stream's end
    ChunkSink sink;
    EXPECT_FALSE(DecompressStream(source, compressed.size() - 8, sink));
  }
  {
    MemoryBuffer source(ByteArray(compressed.begin(), compressed.end() - 30));  // the file ends early
    ChunkSink sink;
    EXPECT_FALSE(DecompressStream(source, compressed.size(), sink));
  }
  {
    MemoryBuffer source(compressed);
    MemoryBuffer sink;
    sink.SetCapacity(1000);  // a sink that cannot take everything
    uint64_t produced = 0;
    EXPECT_FALSE(DecompressStream(source, compressed.size(), sink, produced));
    EXPECT_EQ(produced, 1000U);
  }
}

// The stream is read from its place in the file piece by piece, also when the file was read
// elsewhere between pieces; its end holds only when its check value does and no compressed
// byte is left over.
TEST(Inflater, InflatesPieceByPieceFromItsPlaceAndChecksTheEnd) {
  const ByteArray input = RecordBytes(800'000);
  const ByteArray compressed = Deflated(input);
  ASSERT_GT(compressed.size(), 64U * 1024U);  // more than one read of compressed bytes
  ByteArray file(100 + compressed.size() + 1, 0xAA);
  std::copy(compressed.begin(), compressed.end(), file.begin() + 100);
  const auto inflate_all = [&](uint64_t nof_bytes, ByteArray& out) {
    MemoryBuffer source(file);
    mdf::detail::Inflater inflater(source, 100, nof_bytes);
    ByteArray piece(7'777);
    while (!inflater.Ended()) {
      uint64_t got = 0;
      if (!inflater.Read(piece.data(), piece.size(), got)) return false;
      EXPECT_TRUE(got == piece.size() || inflater.Ended()) << "short only at the end";
      out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(got));
      source.pubseekpos(0);  // another reader of the file
    }
    return inflater.AllInputUsed();
  };
  ByteArray out;
  EXPECT_TRUE(inflate_all(compressed.size(), out));
  EXPECT_EQ(out, input);
  out.clear();
  EXPECT_FALSE(inflate_all(compressed.size() + 1, out)) << "a byte after the stream's end";
  EXPECT_EQ(out, input);
  out.clear();
  EXPECT_FALSE(inflate_all(compressed.size() - 1, out)) << "the compressed bytes end before the stream";
  file[100 + compressed.size() - 1] ^= 1;  // the check value
  out.clear();
  EXPECT_FALSE(inflate_all(compressed.size(), out));
  MemoryBuffer source(file);
  mdf::detail::Inflater failed(source, 100, compressed.size());
  ByteArray all(input.size() + 10);
  uint64_t got = 0;
  EXPECT_FALSE(failed.Read(all.data(), all.size(), got));
  EXPECT_FALSE(failed.Read(all.data(), all.size(), got)) << "a failed inflater stays failed";
  EXPECT_EQ(got, 0U);
}

TEST(CompressFile, WholeFileAndFailures) {
  TempDir dir;
  const ByteArray content = RandomBytes(600'000, 3);  // incompressible: needs the worst-case room
  const auto file = dir.Write("data.bin", content);
  ByteArray compressed;
  ASSERT_TRUE(CompressFile(file, compressed));
  EXPECT_EQ(Inflated(compressed, content.size()), content);

  const ByteArray text = RecordBytes(50'000);
  ByteArray small;
  ASSERT_TRUE(CompressFile(dir.Write("records.bin", text), small));
  EXPECT_LT(small.size(), text.size());
  EXPECT_EQ(Inflated(small, text.size()), text);

  ByteArray output;
  EXPECT_FALSE(CompressFile(dir.Path("missing.bin"), output));
  EXPECT_FALSE(CompressFile(dir.Write("empty.bin", ByteArray{}), output));
  EXPECT_FALSE(CompressFile(dir.Path(""), output));  // the directory itself
}

}  // namespace
