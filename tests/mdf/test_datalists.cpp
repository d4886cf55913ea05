// DL, HL and LD blocks.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "damage.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "hl4block.h"
#include "ld4block.h"
#include "mdf/filedamage.h"
#include "support/datablockfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"
#include "zlibutil.h"

using namespace mdf::detail;
using namespace test;  // the test kit

namespace {

// Stands for the data group that links to the list under test.
using Owner = test::ListOwner;

std::unique_ptr<Dt4Block> NewDt(const std::vector<uint8_t>& payload) {
  auto block = std::make_unique<Dt4Block>();
  block->SetData(payload);
  return block;
}

// The rows past the header rows.
std::vector<std::pair<std::string, std::string>> Rows(const MdfBlock& block) {
  return test::LabelsAndValues(test::Rows(block), test::kHeaderRows);
}

TEST(Dl4Block, NewListWithOffsetsWritesItselfThenItsChildren) {
  MemoryBuffer file(std::string(8, 'i'));
  Dl4Block list;
  list.AddDataBlock(NewDt(Pattern(4)));
  list.AddDataBlock(NewDt(Pattern(1000)));
  list.SetOffset(0, 0);
  list.SetOffset(1, 4);
  list.SetOffset(1, 1000);
  EXPECT_EQ(list.Write(file), 72U);
  EXPECT_EQ(list.FilePosition(), 8);
  EXPECT_EQ(list.BlockLength(), 72U);
  EXPECT_EQ(list.LinkCount(), 3U);
  EXPECT_EQ(list.Count(), 2U);

  // DL at 8 (72 bytes), first DT at 80 (28 bytes), second DT at the next boundary, 112.
  const std::vector<uint8_t> expected =
      FileImage()
          .Place(0, Bytes().Raw("iiiiiiii"))
          .Place(8,
                 Bytes().Raw("##DL").Zeros(4).U64(72).U64(3).U64(0).U64(80).U64(112).U8(0).Zeros(3).U32(2).U64(0).U64(
                     1000))
          .Place(80, PlainBlock("##DT", Pattern(4)))
          .Place(112, PlainBlock("##DT", Pattern(1000)))
          .Data();
  EXPECT_EQ(file.Bytes(), expected);

  EXPECT_EQ(list.Write(file), 72U);  // written: nothing new
  EXPECT_EQ(file.Bytes(), expected);
}

TEST(Dl4Block, EqualLengthReplacesTheOffsets) {
  MemoryBuffer file(std::string(8, 'i'));
  Dl4Block list;
  for (int i = 0; i < 3; ++i) list.AddDataBlock(NewDt(Pattern(8)));
  list.SetEqualLength(4'000'000);
  EXPECT_EQ(list.Flags(), 1);
  list.Write(file);
  EXPECT_EQ(list.BlockLength(), 72U);
  EXPECT_EQ(Slice(file.Bytes(), 8 + 56, 16), Bytes().U8(1).Zeros(3).U32(3).U64(4'000'000).Data());

  Dl4Block zero;
  zero.SetEqualLength(0);  // leaves the flags alone
  EXPECT_EQ(zero.Flags(), 0);
}

TEST(Dl4Block, SetOffsetGrowsTheListAndClearsEqualLength) {
  Dl4Block list;
  list.SetEqualLength(10);
  EXPECT_EQ(list.SetOffset(3, 500), 4U);
  EXPECT_EQ(list.Offsets(), (std::vector<uint64_t>{0, 0, 0, 500}));
  EXPECT_EQ(list.Flags(), 0);
}

TEST(Dl4Block, WithoutOffsetsEveryOffsetIsWrittenAsZero) {
  // Writers must set offsets or an equal length; otherwise readers that use them misplace data.
  MemoryBuffer file(std::string(8, 'i'));
  Dl4Block list;
  list.AddDataBlock(NewDt(Pattern(8)));
  list.AddDataBlock(NewDt(Pattern(8)));
  list.Write(file);
  EXPECT_EQ(Slice(file.Bytes(), 8 + 48, 24), Bytes().U8(0).Zeros(3).U32(2).U64(0).U64(0).Data());
}

TEST(Dl4Block, ReadsLinksOffsetsAndRows) {
  FileImage image;
  image.Place(0x40, test::DataList(0, {0x100, 0x200}, {0, 10}))
      .Place(0x100, PlainBlock("##DT", Pattern(10)))
      .Place(0x200, PlainBlock("##DT", Pattern(6)));
  MemoryBuffer file(image.Data());
  Owner owner({0x40});
  owner.ReadBlockList(file, 0);
  ASSERT_EQ(owner.DataBlockList().size(), 1U);
  const auto* list = dynamic_cast<const Dl4Block*>(owner.DataBlockList()[0].get());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Count(), 2U);
  EXPECT_EQ(list->Offsets(), (std::vector<uint64_t>{0, 10}));
  EXPECT_EQ(list->DataBlockList().size(), 2U);
  EXPECT_EQ(owner.DataSize(), 16U);

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Links", ""}, {"Next DL", "0x0"},       {"Data", "0x100"},     {"Data", "0x200"}, {"Information", ""},
      {"Flags", ""}, {"Nof Data Blocks", "2"}, {"Equal Length", "0"}, {"Offset", "0"},   {"Offset", "10"}};
  EXPECT_EQ(Rows(*list), expected);
}

TEST(Dl4Block, DamagedCountsReadOnlyWhatExists) {
  // The count claims 5 blocks: the block holds 2 links and 2 offsets.
  Bytes damaged;
  damaged.Raw("##DL")
      .Zeros(4)
      .U64(40 + 16 + 16)
      .U64(3)
      .U64(0)
      .U64(0x100)
      .U64(0x200)
      .U8(0)
      .Zeros(3)
      .U32(5)
      .U64(0)
      .U64(10);
  FileImage image;
  image.Place(0x40, damaged).Place(0x100, PlainBlock("##DT", Pattern(10))).Place(0x200, PlainBlock("##DT", Pattern(6)));
  MemoryBuffer file(image.Data());
  test::LogCapture log;
  Owner owner({0x40});
  owner.ReadBlockList(file, 0);
  ASSERT_EQ(owner.DataBlockList().size(), 1U);
  const auto* list = dynamic_cast<const Dl4Block*>(owner.DataBlockList()[0].get());
  EXPECT_EQ(list->Offsets().size(), 2U);
  EXPECT_EQ(list->DataBlockList().size(), 2U);
  EXPECT_TRUE(log.Contains("DL block offsets exceed the block length. Block: 0x40, Count: 5"));
  EXPECT_EQ(Rows(*list).size(), 10U);  // two data rows, not five
}

TEST(Dl4Block, TruncatedDataSectionIsReported) {
  FileImage image;
  image.Place(0x40, test::DataList(0, {0x100}, {0})).Place(0x100, PlainBlock("##DT", Pattern(100)));
  auto bytes = image.Data();
  bytes.resize(0x100 + 24 + 60);  // the file ends inside the DT block
  MemoryBuffer file(bytes);
  Owner owner({0x40});
  owner.ReadBlockList(file, 0);
  ByteArray dest(owner.DataSize());
  uint64_t index = 0;
  try {
    owner.CopyDataToBuffer(file, dest, index);
    FAIL() << "a short read must not pass as data";
  } catch (const std::ios_base::failure& error) {
    EXPECT_STREQ(error.what(), "End of stream reached (EOF).");
  }
}

TEST(Hl4Block, ReadsItsListChainAsChildren) {
  FileImage image;
  image.Place(0x40, test::HeaderList(0x80, 0, 1))
      .Place(0x80, test::DataList(0x100, {0x200}, {0}))
      .Place(0x100, test::DataList(0, {0x300}, {0}))
      .Place(0x200, PlainBlock("##DT", Pattern(7)))
      .Place(0x300, PlainBlock("##DT", Pattern(9)));
  MemoryBuffer file(image.Data());
  Owner owner({0x40});
  owner.ReadBlockList(file, 0);
  ASSERT_EQ(owner.DataBlockList().size(), 1U);
  const auto* header = dynamic_cast<const Hl4Block*>(owner.DataBlockList()[0].get());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->ZipType(), 1);
  ASSERT_EQ(header->DataBlockList().size(), 2U);
  EXPECT_EQ(header->DataBlockList()[1]->FilePosition(), 0x100);
  EXPECT_EQ(owner.DataSize(), 16U);
  std::vector<DataBlock*> blocks;
  owner.CollectDataBlocks(blocks);
  ASSERT_EQ(blocks.size(), 2U);
  EXPECT_EQ(blocks[1]->FilePosition(), 0x300);

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Links", ""},       {"First DL", "0x80"}, {"", ""},
      {"Information", ""}, {"Flags", ""},        {"Zip Type", "Transposition + ZLIB Deflate"}};
  EXPECT_EQ(Rows(*header), expected);
}

TEST(Hl4Block, WritesItsListsAsAChain) {
  MemoryBuffer file(std::string(8, 'i'));
  Hl4Block header;
  header.Flags(0);
  header.ZipType(0);
  for (int i = 0; i < 2; ++i) {
    auto list = std::make_unique<Dl4Block>();
    list->AddDataBlock(NewDt(Pattern(8, static_cast<uint8_t>(i))));
    list->SetOffset(0, 8 * static_cast<uint64_t>(i));
    header.AddDataBlock(std::move(list));
  }
  EXPECT_EQ(header.Write(file), 40U);
  EXPECT_EQ(header.FilePosition(), 8);
  const int64_t first = header.DataBlockList()[0]->FilePosition();
  const int64_t second = header.DataBlockList()[1]->FilePosition();
  ASSERT_GT(first, 0);
  ASSERT_GT(second, first);
  const auto& bytes = file.Bytes();
  EXPECT_EQ(Slice(bytes, 8, 40), test::HeaderList(first).Data());
  EXPECT_EQ(test::ReadU64(bytes, static_cast<size_t>(first) + 24), static_cast<uint64_t>(second));  // next DL
  EXPECT_EQ(test::ReadU64(bytes, static_cast<size_t>(second) + 24), 0U);

  const auto written = bytes;
  EXPECT_EQ(header.Write(file), 40U);
  EXPECT_EQ(file.Bytes(), written);

  // Read back by a fresh tree: both lists, in order.
  Owner owner({8});
  owner.ReadBlockList(file, 0);
  ByteArray dest(owner.DataSize());
  uint64_t index = 0;
  owner.CopyDataToBuffer(file, dest, index);
  ByteArray expected = Pattern(8, 0);
  const auto tail = Pattern(8, 1);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(dest, expected);
}

TEST(Hl4Block, ZippedListsOfMoreThan8MbRoundTrip) {
  // Records of 16 bytes: a counter, a slowly changing value and noise-free padding.
  const size_t total = 9'000'000;
  ByteArray data(total);
  for (size_t i = 0; i < total; ++i) data[i] = static_cast<uint8_t>((i % 16) < 8 ? (i / 16) >> ((i % 8) * 4) : i % 5);

  MemoryBuffer file(std::string(64, 'i'));
  Hl4Block header;
  constexpr size_t kBlockSize = 1'000'000;
  uint64_t offset = 0;
  for (int l = 0; l < 3; ++l) {
    auto list = std::make_unique<Dl4Block>();
    for (int b = 0; b < 3; ++b) {
      auto zipped = CreateDz4Block();
      const ByteArray part(data.begin() + static_cast<std::ptrdiff_t>(offset),
                           data.begin() + static_cast<std::ptrdiff_t>(offset + kBlockSize));
      if (l == 1) {
        zipped->Type(1);
        zipped->Parameter(16);
      }
      ASSERT_TRUE(zipped->SetData(part));
      list->SetOffset(static_cast<size_t>(b), offset);
      list->AddDataBlock(std::move(zipped));
      offset += kBlockSize;
    }
    header.AddDataBlock(std::move(list));
  }
  ASSERT_EQ(offset, total);
  header.Write(file);

  Owner owner({64});
  owner.ReadBlockList(file, 0);
  ASSERT_EQ(owner.DataSize(), total);
  ByteArray dest(total);
  uint64_t index = 0;
  owner.CopyDataToBuffer(file, dest, index);
  EXPECT_EQ(index, total);
  EXPECT_TRUE(dest == data);

  // Every zipped block is a plain zlib stream of its slice (transposed in the second list).
  std::vector<DataBlock*> blocks;
  owner.CollectDataBlocks(blocks);
  ASSERT_EQ(blocks.size(), 9U);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto* zipped = dynamic_cast<const Dz4Block*>(blocks[i]);
    ASSERT_NE(zipped, nullptr);
    EXPECT_EQ(zipped->OrigDataLength(), kBlockSize);
    const auto raw = Slice(file.Bytes(), static_cast<size_t>(zipped->DataPosition()), zipped->DataLength());
    auto inflated = test::Inflated(raw, kBlockSize);
    ASSERT_EQ(inflated.size(), kBlockSize) << i;
    if (i / 3 == 1) {
      EXPECT_EQ(zipped->Type(), 1);
      UntransposeBytes(inflated, 16);
    }
    EXPECT_TRUE(inflated == Slice(data, i * kBlockSize, kBlockSize)) << i;
  }
  const auto* second_list = dynamic_cast<const Dl4Block*>(
      dynamic_cast<const Hl4Block*>(owner.DataBlockList()[0].get())->DataBlockList()[1].get());
  EXPECT_EQ(second_list->Offsets(), (std::vector<uint64_t>{3'000'000, 4'000'000, 5'000'000}));
}

TEST(Ld4Block, ReadsSampleOffsetsValuesAndLinks) {
  Bytes list;
  list.Raw("##LD").Zeros(4).U64(24 + 32 + 8 + 8 + 24).U64(4).U64(0).U64(0x100).U64(0x200).U64(0x300);
  list.U32(0x03).U32(3).U64(50).U64(1000).U64(2000).U64(3000);
  FileImage image;
  image.Place(0x40, list)
      .Place(0x100, PlainBlock("##DV", Pattern(8)))
      .Place(0x200, PlainBlock("##DV", Pattern(8)))
      .Place(0x300, PlainBlock("##DI", Pattern(4)));
  MemoryBuffer file(image.Data());
  Owner owner({0x40});
  owner.ReadBlockList(file, 0);
  ASSERT_EQ(owner.DataBlockList().size(), 1U);
  const auto* ld = dynamic_cast<const Ld4Block*>(owner.DataBlockList()[0].get());
  ASSERT_NE(ld, nullptr);
  EXPECT_EQ(ld->EqualSampleCount(), 50U);
  EXPECT_EQ(ld->TimeValues(), (std::vector<uint64_t>{1000, 2000, 3000}));
  EXPECT_EQ(ld->DataBlockList().size(), 3U);
  EXPECT_EQ(owner.DataSize(), 20U);

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Links", ""},           {"Next LD", "0x0"},       {"Data Block", "0x100"},
      {"Data Block", "0x200"}, {"Data Block", "0x300"},  {"Information", ""},
      {"Flags", "Equal,Time"}, {"Nof Data Blocks", "3"}, {"Equal Sample Count", "50"}};
  EXPECT_EQ(Rows(*ld), expected);

  Ld4Block fresh;
  EXPECT_THROW(fresh.Write(file), std::runtime_error);
}

TEST(Ld4Block, InvalidationLinksAndClippedLists) {
  Bytes list;
  // Two data links and two invalidation links; the count claims offsets beyond the length.
  list.Raw("##LD").Zeros(4).U64(24 + 40 + 8 + 16).U64(5).U64(0).U64(0).U64(0).U64(0x500).U64(0x600);
  list.U32(0x80000000U).U32(2).U64(0).U64(7);
  test::LogCapture log;
  MemoryBuffer file(FileImage().Place(0x40, list).Data());
  Owner owner({0x40});
  owner.ReadBlockList(file, 0);
  const auto* ld = dynamic_cast<const Ld4Block*>(owner.DataBlockList()[0].get());
  ASSERT_NE(ld, nullptr);
  EXPECT_EQ(ld->Offsets(), (std::vector<uint64_t>{0, 7}));
  const auto rows = Rows(*ld);
  EXPECT_EQ(rows[4], (std::pair<std::string, std::string>{"Invalid Block", "0x500"}));
  EXPECT_EQ(rows[5], (std::pair<std::string, std::string>{"Invalid Block", "0x600"}));
  EXPECT_EQ(rows[7], (std::pair<std::string, std::string>{"Flags", "Invalid"}));

  Bytes clipped;
  clipped.Raw("##LD").Zeros(4).U64(24 + 16 + 8 + 8).U64(2).U64(0).U64(0).U32(0x02).U32(1'000'000).U64(5);
  MemoryBuffer clipped_file(FileImage().Place(0x40, clipped).Data());
  Owner other({0x40});
  mdf::FileDamage damage;
  {
    const mdf::detail::DamageScope scope(damage);
    other.ReadBlockList(clipped_file, 0);
  }
  EXPECT_EQ(damage.first, "LD block values exceed the block length. Block: 0x40, Count: 1000000");
  const auto* short_ld = dynamic_cast<const Ld4Block*>(other.DataBlockList()[0].get());
  EXPECT_EQ(short_ld->Offsets(), (std::vector<uint64_t>{5}));
  EXPECT_TRUE(short_ld->TimeValues().empty());
  EXPECT_TRUE(log.Contains("LD block values exceed the block length. Block: 0x40, Count: 1000000"));
}

}  // namespace
