#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dz4block.h"
#include "support/datablockfixtures.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using namespace mdf::detail;
using test::Bytes;
using test::FileImage;
using test::MemoryBuffer;

namespace {

using test::ReadInto;
using test::ThrownText;

std::vector<uint8_t> Records(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i % 8) < 4 ? i / 8 : 0x55);
  return bytes;
}

TEST(Dz4Block, InflatesOnBothCopyPaths) {
  const auto payload = Records(80'000);
  const auto compressed = test::Deflated(payload);
  MemoryBuffer file(FileImage().Place(64, test::ZippedBlock("DT", 0, 0, payload.size(), compressed)).Data());
  Dz4Block block;
  ReadInto(block, file, 64);
  EXPECT_EQ(block.BlockType(), "DZ");
  EXPECT_EQ(block.OrigBlockType(), "DT");
  EXPECT_EQ(block.DataLength(), compressed.size());
  EXPECT_EQ(block.DataSize(), 80'000U);
  EXPECT_EQ(block.DataPosition(), 64 + 48);

  MemoryBuffer sink;
  EXPECT_EQ(block.CopyDataToStream(file, sink), 80'000U);
  EXPECT_EQ(sink.Bytes(), payload);

  ByteArray dest(80'010);
  uint64_t index = 10;
  EXPECT_EQ(block.CopyDataToBuffer(file, dest, index), 80'000U);
  EXPECT_EQ(index, 80'010U);
  EXPECT_EQ(ByteArray(dest.begin() + 10, dest.end()), payload);

  index = 11;
  EXPECT_EQ(ThrownText([&] { block.CopyDataToBuffer(file, dest, index); }), "Buffer overflow detected.");
  EXPECT_EQ(index, 11U);

  EXPECT_EQ(block.LoadData(file), compressed.size());  // the compressed bytes
  EXPECT_EQ(block.Data(), compressed);
}

TEST(Dz4Block, TransposedRecordsRoundTrip) {
  ByteArray payload(20);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  Dz4Block block;
  block.Type(1);
  block.Parameter(8);
  ASSERT_TRUE(block.SetData(payload));
  EXPECT_EQ(block.Type(), 1);
  EXPECT_EQ(block.OrigDataLength(), 20U);
  // Two rows of 8 are stored column by column; the last 4 bytes stay behind them.
  EXPECT_EQ(test::Inflated(block.Data(), 20),
            (ByteArray{0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 16, 17, 18, 19}));

  MemoryBuffer file(std::string(5, 'x'));
  const size_t written = block.Write(file);
  EXPECT_EQ(written, 48 + block.Data().size());
  EXPECT_EQ(block.FilePosition(), 8);
  EXPECT_EQ(
      file.Bytes(),
      FileImage().Place(0, Bytes().Raw("xxxxx")).Place(8, test::ZippedBlock("DT", 1, 8, 20, block.Data())).Data());

  Dz4Block read;
  ReadInto(read, file, 8);
  ByteArray dest(20);
  uint64_t index = 0;
  EXPECT_EQ(read.CopyDataToBuffer(file, dest, index), 20U);
  EXPECT_EQ(dest, payload);
  MemoryBuffer sink;
  EXPECT_EQ(read.CopyDataToStream(file, sink), 20U);
  EXPECT_EQ(sink.Bytes(), payload);
}

TEST(Dz4Block, ZipTypeIsNormalisedBySetData) {
  Dz4Block no_columns;
  no_columns.Type(1);
  ASSERT_TRUE(no_columns.SetData(Records(100)));
  EXPECT_EQ(no_columns.Type(), 0);
  EXPECT_EQ(test::Inflated(no_columns.Data(), 100), Records(100));

  Dz4Block unknown;
  unknown.Type(7);
  unknown.Parameter(4);
  ASSERT_TRUE(unknown.SetData(Records(100)));
  EXPECT_EQ(unknown.Type(), 0);
  EXPECT_EQ(unknown.Parameter(), 0U);
}

TEST(Dz4Block, EmptyPayloadGivesA48ByteBlockWrittenOnce) {
  auto block = CreateDz4Block();
  EXPECT_EQ(block->OrigBlockType(), "DT");
  EXPECT_EQ(block->BlockType(), "");
  ASSERT_TRUE(block->SetData({}));
  EXPECT_EQ(block->OrigDataLength(), 0U);
  EXPECT_EQ(block->DataLength(), 0U);
  MemoryBuffer file(std::string(64, 'i'));  // blocks never lie at 0: the ID block does
  EXPECT_EQ(block->Write(file), 48U);
  EXPECT_EQ(block->BlockLength(), 48U);
  const auto expected =
      FileImage().Place(0, Bytes().Raw(std::string(64, 'i'))).Place(64, test::ZippedBlock("DT", 0, 0, 0, {})).Data();
  EXPECT_EQ(file.Bytes(), expected);
  EXPECT_EQ(block->Write(file), 48U);  // second write: nothing
  EXPECT_EQ(file.Bytes(), expected);
}

TEST(Dz4Block, LargeIncompressiblePayloadStaysReadable) {
  std::mt19937 engine(7);
  ByteArray random(4 << 20);
  for (auto& byte : random) byte = static_cast<uint8_t>(engine());
  Dz4Block block;
  block.OrigBlockType("SD");
  ASSERT_TRUE(block.SetData(random));
  EXPECT_GT(block.DataLength(), random.size());
  EXPECT_EQ(test::Inflated(block.Data(), random.size()), random);
}

TEST(Dz4Block, UnknownZipTypeDeliversNothing) {
  const auto payload = Records(64);
  MemoryBuffer file(test::ZippedBlock("DT", 2, 0, payload.size(), test::Deflated(payload)).Data());
  Dz4Block block;
  ReadInto(block, file, 0);
  MemoryBuffer sink;
  EXPECT_EQ(block.CopyDataToStream(file, sink), 0U);
  EXPECT_TRUE(sink.Bytes().empty());
  ByteArray dest(64);
  uint64_t index = 0;
  EXPECT_EQ(ThrownText([&] { block.CopyDataToBuffer(file, dest, index); }), "Failed to inflate DZ block");
  EXPECT_EQ(index, 0U);

  const auto rows = test::Rows(block);
  ASSERT_EQ(rows.size(), 12U);
  EXPECT_EQ(rows[6].label, "Information");
  EXPECT_EQ(rows[7].label, "Original Block Type");
  EXPECT_EQ(rows[7].value, "DT");
  EXPECT_EQ(rows[8].label, "Zip Type");
  EXPECT_EQ(rows[8].value, "Unknown");
  EXPECT_EQ(rows[9].label, "Zip Parameter");
  EXPECT_EQ(rows[10].label, "Original Size  [byte]");
  EXPECT_EQ(rows[10].value, "64");
  EXPECT_EQ(rows[11].label, "Data Size  [byte]");
  EXPECT_EQ(ZipTypeText(0), "ZLIB Deflate");
  EXPECT_EQ(ZipTypeText(1), "Transposition + ZLIB Deflate");
}

TEST(Dz4Block, CorruptStreamIsAnErrorNotZeros) {
  const auto payload = Records(50'000);
  auto compressed = test::Deflated(payload);
  for (size_t i = 40; i < 80; ++i) compressed[i] = static_cast<uint8_t>(~compressed[i]);
  MemoryBuffer file(test::ZippedBlock("DT", 0, 0, payload.size(), compressed).Data());
  Dz4Block block;
  ReadInto(block, file, 0);
  ByteArray dest(payload.size());
  uint64_t index = 0;
  EXPECT_EQ(ThrownText([&] { block.CopyDataToBuffer(file, dest, index); }), "Failed to inflate DZ block");
  EXPECT_EQ(index, 0U);
  MemoryBuffer sink;
  EXPECT_EQ(block.CopyDataToStream(file, sink), 0U);
}

TEST(Dz4Block, StreamShorterThanTheOriginalLengthIsAnError) {
  const auto payload = Records(1000);
  // The header claims 1200 inflated bytes; the stream ends after 1000.
  MemoryBuffer file(test::ZippedBlock("DT", 0, 0, 1200, test::Deflated(payload)).Data());
  Dz4Block block;
  ReadInto(block, file, 0);
  ByteArray dest(1200);
  uint64_t index = 0;
  EXPECT_EQ(ThrownText([&] { block.CopyDataToBuffer(file, dest, index); }), "Failed to inflate DZ block");
  MemoryBuffer sink;
  EXPECT_EQ(block.CopyDataToStream(file, sink), 0U);

  // A truncated file: the compressed bytes end early.
  auto image = test::ZippedBlock("DT", 0, 0, payload.size(), test::Deflated(payload)).Data();
  image.resize(image.size() - 5);
  MemoryBuffer truncated(image);
  Dz4Block cut;
  ReadInto(cut, truncated, 0);
  ByteArray out(payload.size());
  index = 0;
  EXPECT_EQ(ThrownText([&] { cut.CopyDataToBuffer(truncated, out, index); }), "End of stream reached (EOF).");
  MemoryBuffer cut_sink;
  EXPECT_EQ(cut.CopyDataToStream(truncated, cut_sink), 0U);
}

TEST(Dz4Block, LengthsFromTheFileAreCheckedOnRead) {
  const auto compressed = test::Deflated(Records(100));
  // Data length beyond the block length.
  auto image = test::ZippedBlock("DT", 0, 0, 100, compressed).Data();
  image[40] = static_cast<uint8_t>(image[40] + 1);
  MemoryBuffer long_data(image);
  Dz4Block block;
  EXPECT_EQ(ThrownText([&] { ReadInto(block, long_data, 0); }), "Invalid DZ block lengths. Block: 0x0");

  // An original length no deflate stream of this size can produce (it would size a buffer).
  MemoryBuffer huge(test::ZippedBlock("DT", 0, 0, uint64_t{1} << 40, compressed).Data());
  Dz4Block ratio;
  EXPECT_EQ(ThrownText([&] { ReadInto(ratio, huge, 0); }), "Invalid DZ block lengths. Block: 0x0");

  // Original data without compressed bytes.
  MemoryBuffer empty_stream(test::ZippedBlock("DT", 0, 0, 10, {}).Data());
  Dz4Block nothing;
  ReadInto(nothing, empty_stream, 0);
  ByteArray dest(10);
  uint64_t index = 0;
  EXPECT_EQ(ThrownText([&] { nothing.CopyDataToBuffer(empty_stream, dest, index); }), "Failed to inflate DZ block");
}

}  // namespace
