// DataBlock, DataListBlock and the plain data blocks (DT, SD, RD, ...).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "blockchain.h"
#include "datablock.h"
#include "datalistblock.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "hl4block.h"
#include "support/datablockfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"
#include "support/sinks.h"

using namespace mdf::detail;
using namespace test;  // the test kit

namespace {

// A list block whose links the tests set; it reads like any MDF4 block with links.
class TestList : public test::ListOwner {
 public:
  explicit TestList(std::vector<int64_t> links = {}) : ListOwner(std::move(links), "##TL") {}
};

// A list block that stands for a data group.
class TestDataGroupList : public TestList {
 public:
  mdf::IDataGroup* DataGroupInterface() override { return reinterpret_cast<mdf::IDataGroup*>(&tag_); }
  int tag_ = 0;
};

TEST(DataBlock, EmptyBlockTouchesNeitherSinkNorBuffer) {
  MemoryBuffer file(PlainBlock("##DT", {}).Data());
  Dt4Block block;
  ReadInto(block, file, 0);
  EXPECT_EQ(block.DataSize(), 0U);
  ChunkSink sink;
  EXPECT_EQ(block.CopyDataToStream(file, sink), 0U);
  EXPECT_TRUE(sink.puts.empty());
  ByteArray dest;
  uint64_t index = 0;
  EXPECT_EQ(block.CopyDataToBuffer(file, dest, index), 0U);
  EXPECT_EQ(index, 0U);
}

TEST(DataBlock, CopyToStreamInChunksAndStopsAtShortSink) {
  const auto payload = Pattern(25'000);
  MemoryBuffer file(PlainBlock("##DT", payload).Data());
  Dt4Block block;
  ReadInto(block, file, 0);
  ASSERT_EQ(block.DataSize(), 25'000U);

  ChunkSink sink;
  EXPECT_EQ(block.CopyDataToStream(file, sink), 25'000U);
  EXPECT_EQ(sink.puts, (std::vector<std::streamsize>{10'000, 10'000, 5'000}));
  EXPECT_EQ(sink.data, std::string(payload.begin(), payload.end()));

  MemoryBuffer short_sink;
  short_sink.SetCapacity(15'000);
  EXPECT_EQ(block.CopyDataToStream(file, short_sink), 15'000U);
  EXPECT_EQ(short_sink.Bytes(), std::vector<uint8_t>(payload.begin(), payload.begin() + 15'000));
}

TEST(DataBlock, CopyToStreamReportsATruncatedFile) {
  auto image = PlainBlock("##DT", Pattern(25'000)).Data();
  image.resize(24 + 12'000);  // the block claims more than the file holds
  MemoryBuffer file(image);
  Dt4Block block;
  ReadInto(block, file, 0);
  ChunkSink sink;
  EXPECT_EQ(block.CopyDataToStream(file, sink), 12'000U);
}

TEST(DataBlock, CopyToBufferChecksRoomAndFileLength) {
  const auto payload = Pattern(100);
  MemoryBuffer file(PlainBlock("##DT", payload).Data());
  Dt4Block block;
  ReadInto(block, file, 0);

  ByteArray dest(110, 0xEE);
  uint64_t index = 10;
  EXPECT_EQ(block.CopyDataToBuffer(file, dest, index), 100U);
  EXPECT_EQ(index, 110U);
  EXPECT_EQ(ByteArray(dest.begin() + 10, dest.end()), payload);

  ByteArray small(120, 0xEE);
  index = 21;
  EXPECT_EQ(ThrownText([&] { block.CopyDataToBuffer(file, small, index); }), "Buffer overflow detected.");
  EXPECT_EQ(index, 21U);
  EXPECT_EQ(small, ByteArray(120, 0xEE));

  auto image = PlainBlock("##DT", payload).Data();
  image.resize(24 + 50);
  MemoryBuffer truncated(image);
  Dt4Block cut;
  ReadInto(cut, truncated, 0);
  ByteArray full(100);
  index = 0;
  EXPECT_EQ(ThrownText([&] { cut.CopyDataToBuffer(truncated, full, index); }), "End of stream reached (EOF).");
  EXPECT_EQ(index, 0U);
}

TEST(DataBlock, LoadSetAndClearData) {
  const auto payload = Pattern(70'000);  // above the size that is checked against the file end
  MemoryBuffer file(PlainBlock("##SD", payload).Data());
  Sd4Block block;
  ReadInto(block, file, 0);
  EXPECT_TRUE(block.Data().empty());
  EXPECT_EQ(block.LoadData(file), payload.size());
  EXPECT_EQ(block.Data(), payload);
  EXPECT_TRUE(block.SetData(block.Data()));  // set to itself: unchanged
  EXPECT_EQ(block.Data(), payload);

  auto image = PlainBlock("##SD", payload).Data();
  image.resize(image.size() - 1);
  MemoryBuffer truncated(image);
  Sd4Block cut;
  ReadInto(cut, truncated, 0);
  EXPECT_EQ(ThrownText([&] { cut.LoadData(truncated); }), "End of stream reached (EOF).");

  Sd4Block fresh;
  EXPECT_EQ(fresh.LoadData(file), 0U);  // never read: no data position
}

TEST(DataListBlock, SizesCopiesCollectsAndClearsInOrder) {
  const auto a = Pattern(100, 1);
  const auto c = Pattern(50, 3);
  FileImage image;
  image.Place(0x40, PlainBlock("##DT", a)).Place(0x100, PlainBlock("##DT", {})).Place(0x200, PlainBlock("##DT", c));
  MemoryBuffer file(image.Data());
  TestList list({0x40, 0x100, 0x200});
  list.ReadDataLinks(file, 0, 3);
  ASSERT_EQ(list.DataBlockList().size(), 3U);
  EXPECT_EQ(list.DataSize(), 150U);

  ByteArray dest(150);
  uint64_t index = 0;
  list.CopyDataToBuffer(file, dest, index);
  EXPECT_EQ(index, 150U);
  ByteArray expected = a;
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_EQ(dest, expected);

  std::vector<DataBlock*> blocks;
  list.CollectDataBlocks(blocks);
  ASSERT_EQ(blocks.size(), 3U);
  EXPECT_EQ(blocks[2]->FilePosition(), 0x200);
  EXPECT_EQ(list.FindByPosition(0x100), list.DataBlockList()[1].get());
  EXPECT_EQ(list.FindByPosition(0x108), nullptr);

  blocks[0]->LoadData(file);
  EXPECT_EQ(blocks[0]->Data().size(), 100U);
  list.ClearData();
  EXPECT_TRUE(blocks[0]->Data().empty());
}

TEST(DataListBlock, ReadBlockListFollowsDlChainsOnce) {
  FileImage image;
  image.Place(0x40, test::DataList(0x100, {0x200}, {0}))
      .Place(0x100, test::DataList(0, {0x300}, {0}))
      .Place(0x200, PlainBlock("##DT", Pattern(10)))
      .Place(0x300, PlainBlock("##DT", Pattern(20)));
  MemoryBuffer file(image.Data());
  TestList list({0, 0x40});
  list.ReadBlockList(file, 1);
  ASSERT_EQ(list.DataBlockList().size(), 2U);
  EXPECT_EQ(list.DataBlockList()[0]->FilePosition(), 0x40);
  EXPECT_EQ(list.DataBlockList()[1]->FilePosition(), 0x100);
  EXPECT_EQ(list.DataSize(), 30U);
  EXPECT_EQ(list.FindByPosition(0x300)->BlockType(), "DT");

  list.ReadBlockList(file, 1);  // a list is read once
  EXPECT_EQ(list.DataBlockList().size(), 2U);

  TestList none({0, 0x40});
  none.ReadBlockList(file, 0);  // link 0 is 0
  none.ReadBlockList(file, 5);  // no such link
  EXPECT_TRUE(none.DataBlockList().empty());
}

TEST(DataListBlock, ReadDataLinksTakesOnlyDataBlocks) {
  const auto payload = Pattern(40);
  FileImage image;
  image.Place(0x40, PlainBlock("##DT", Pattern(8)))
      .Place(0x80, test::DataList(0, {0x40}, {0}))
      .Place(0x100, test::ZippedBlock("DT", 0, 0, payload.size(), test::Deflated(payload)))
      .Place(0x200, PlainBlock("##XY", Pattern(8)));
  MemoryBuffer file(image.Data());
  TestList list({0, 0x40, 0x80, 0x100, 0x200});
  list.ReadDataLinks(file, 0, 1000);  // a count beyond the links visits only the links
  ASSERT_EQ(list.DataBlockList().size(), 2U);
  EXPECT_EQ(list.DataBlockList()[0]->BlockType(), "DT");
  EXPECT_EQ(list.DataBlockList()[1]->BlockType(), "DZ");
  EXPECT_EQ(list.DataSize(), 48U);
}

TEST(DataListBlock, WriteChildBlocksWritesAndPatchesOnlyNewChildren) {
  MemoryBuffer file(std::string(16, 'x'));
  TestList list({0, 0, 0, 0});
  list.Write(file);
  ASSERT_EQ(list.FilePosition(), 16);

  for (int i = 0; i < 3; ++i) {
    auto block = std::make_unique<Dt4Block>();
    block->SetData(Pattern(4, static_cast<uint8_t>(i)));
    list.AddDataBlock(std::move(block));
  }
  list.DataBlockList()[1]->Write(file);  // already in the file
  const int64_t second = list.DataBlockList()[1]->FilePosition();

  list.WriteChildBlocks(file, 1);
  const int64_t first = list.DataBlockList()[0]->FilePosition();
  const int64_t third = list.DataBlockList()[2]->FilePosition();
  EXPECT_GT(first, second);
  EXPECT_GT(third, first);
  EXPECT_EQ(list.Links(), (std::vector<int64_t>{0, first, 0, third}));
  // The links in the file: 4 x u64 at position + 24.
  const std::vector<uint8_t> links(file.Bytes().begin() + 16 + 24, file.Bytes().begin() + 16 + 56);
  EXPECT_EQ(links, Bytes().U64(0).U64(static_cast<uint64_t>(first)).U64(0).U64(static_cast<uint64_t>(third)).Data());
}

TEST(DataListBlock, LoopsAndDeepNestingEndWithALoggedError) {
  FileImage deep;  // thirty header lists, each pointing at the next
  for (size_t i = 0; i < 30; ++i) deep.Place(0x40 + 0x40 * i, test::HeaderList(static_cast<int64_t>(0x80 + 0x40 * i)));
  const struct {
    const char* what;
    FileImage image;
    size_t blocks;  // the list's children when reading stops; SIZE_MAX: not checked
    const char* log;
  } cases[] = {
      {"a list chain back to the first",
       FileImage()
           .Place(0x40, test::DataList(0x100, {0x200}, {0}))
           .Place(0x100, test::DataList(0x40, {0x200}, {0}))
           .Place(0x200, PlainBlock("##DT", Pattern(10))),
       2, "Stopped reading a cyclic block chain. Position: 0x40"},
      {"a list that names itself as its next", FileImage().Place(0x40, test::DataList(0x40, {}, {})), 1,
       "Stopped reading a cyclic block chain. Position: 0x40"},
      {"two header lists that point at each other",
       FileImage().Place(0x40, test::HeaderList(0x80)).Place(0x80, test::HeaderList(0x40)), 1,
       "cyclic block chain. Position: 0x40"},
      {"header lists nested too deep", deep, SIZE_MAX, "Stopped reading blocks nested too deep."},
  };
  for (const auto& c : cases) {
    MemoryBuffer file(c.image.Data());
    test::LogCapture log;
    TestList list({0x40});
    list.ReadBlockList(file, 0);
    if (c.blocks != SIZE_MAX) {
      EXPECT_EQ(list.DataBlockList().size(), c.blocks) << c.what;
    }
    EXPECT_TRUE(log.Contains(c.log)) << c.what;
  }
}

TEST(DataListBlock, HasRdData) {
  const auto payload = Pattern(16);
  FileImage image;
  image.Place(0x40, PlainBlock("##DT", payload))
      .Place(0x80, PlainBlock("##RD", payload))
      .Place(0x100, test::ZippedBlock("RD", 0, 0, 16, test::Deflated(payload)))
      .Place(0x200, test::ZippedBlock("DT", 0, 0, 16, test::Deflated(payload)))
      .Place(0x300, test::DataList(0, {0x80}, {0}));
  MemoryBuffer file(image.Data());
  auto has_rd = [&](std::vector<int64_t> links, bool chain) {
    TestList list(std::move(links));
    if (chain)
      list.ReadBlockList(file, 0);
    else
      list.ReadDataLinks(file, 0, list.Links().size());
    return list.HasRdData();
  };
  EXPECT_FALSE(has_rd({0x40, 0x200}, false));
  EXPECT_TRUE(has_rd({0x40, 0x80}, false));
  EXPECT_TRUE(has_rd({0x100}, false));
  EXPECT_TRUE(has_rd({0x300}, true));
}

TEST(Dt4Block, NewBlocksAreWrittenOnce) {
  MemoryBuffer file;
  Dt4Block empty;
  EXPECT_EQ(empty.Write(file), 24U);
  EXPECT_EQ(file.Bytes(), PlainBlock("##DT", {}).Data());
  EXPECT_EQ(empty.DataSize(), 0U);

  MemoryBuffer second(std::string(1000, 'x'));
  Dt4Block block;
  block.SetData(Pattern(16));
  EXPECT_EQ(block.Write(second), 40U);
  EXPECT_EQ(block.FilePosition(), 1000);
  EXPECT_EQ(block.DataPosition(), 1024);
  EXPECT_EQ(block.BlockLength(), 40U);
  const auto written = second.Bytes();
  ASSERT_EQ(written.size(), 1040U);
  EXPECT_EQ(std::vector<uint8_t>(written.begin() + 1000, written.end()), PlainBlock("##DT", Pattern(16)).Data());

  second.pubseekpos(0);
  EXPECT_EQ(block.Write(second), 40U);  // not rewritten
  EXPECT_EQ(second.Bytes(), written);
  EXPECT_EQ(second.Position(), 1024);
}

TEST(Dt4Block, UpdateDataSizeRunsToTheEndOfTheFile) {
  test::LogCapture log;
  FileImage image;
  image.Place(1000, PlainBlock("##DT", {})).Place(4999, Bytes().U8(0));
  MemoryBuffer big(image.Data());
  Dt4Block block;
  ReadInto(block, big, 1000);
  ASSERT_EQ(block.DataPosition(), 1024);
  block.UpdateDataSize(big);
  EXPECT_EQ(block.BlockLength(), 4000U);
  EXPECT_EQ(block.DataSize(), 3976U);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "Updated the last DT block data size. Size: 3976");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kTrace);
  EXPECT_EQ(log.entries[0].location.function, "UpdateDataSize");
  EXPECT_EQ(big.Bytes(), image.Data());  // memory only

  FileImage at_end;
  at_end.Place(1000, PlainBlock("##DT", Pattern(8)));
  MemoryBuffer end_file(at_end.Data());
  Dt4Block last;
  ReadInto(last, end_file, 1000);
  std::vector<uint8_t> trimmed(at_end.Data().begin(), at_end.Data().begin() + 1024);
  MemoryBuffer ends_at_data(trimmed);
  last.UpdateDataSize(ends_at_data);
  EXPECT_EQ(last.BlockLength(), 32U);  // kept
  EXPECT_EQ(log.entries.back().text, "Updated the last DT block data size. Size: 0");

  // Fill bytes behind the last record are counted; records are counted elsewhere.
  FileImage filled;
  filled.Place(8, PlainBlock("##DT", Pattern(13))).Place(8 + 24 + 13, Bytes().Zeros(3));
  MemoryBuffer filled_file(filled.Data());
  Dt4Block padded;
  ReadInto(padded, filled_file, 8);
  padded.UpdateDataSize(filled_file);
  EXPECT_EQ(padded.DataSize(), 16U);
}

// The bytes from a position to the end of the file: the beginning of a block header that the
// end of the file cut, or not. Zeros may follow where it was cut.
TEST(DataBlock, BlockHeaderAtEndTellsABegunHeaderFromOtherBytes) {
  const Bytes header = Bytes().Raw("##DT").Zeros(4).U64(24 + 16).U64(0);
  const struct {
    const char* name;
    Bytes tail;
    HeaderAtEnd found;
  } cases[] = {
      {"nothing yet", Bytes(), HeaderAtEnd::kZeros},
      {"one byte of the id", Bytes().Raw("#"), HeaderAtEnd::kCut},
      {"the id", Bytes().Raw("##DT"), HeaderAtEnd::kCut},
      {"the id and the length", Bytes().Raw("##DT").Zeros(4).U64(40), HeaderAtEnd::kCut},
      {"all but the last byte", Bytes().Raw("##DT").Zeros(4).U64(40).Zeros(7), HeaderAtEnd::kCut},
      {"a cut id, then zeros", Bytes().Raw("##D").Zeros(100), HeaderAtEnd::kCut},
      {"the id, then zeros where the length belongs", Bytes().Raw("##DT").Zeros(100), HeaderAtEnd::kCut},
      {"a whole header", Bytes(header), HeaderAtEnd::kWhole},
      {"a whole header and zeros", Bytes(header).Zeros(100), HeaderAtEnd::kWhole},
      {"a whole header and data", Bytes(header).U8(1), HeaderAtEnd::kNone},
      {"an id in lower case", Bytes().Raw("##Dt"), HeaderAtEnd::kNone},
      {"no id", Bytes().Raw("#!"), HeaderAtEnd::kNone},
      {"reserved bytes that are not zero", Bytes().Raw("##DT").U8(1), HeaderAtEnd::kNone},
      {"the id, then zeros and data", Bytes().Raw("##DT").Zeros(40).U8(1), HeaderAtEnd::kNone},
      {"record bytes", Bytes().U8(1).U32(5), HeaderAtEnd::kNone},
      {"zeros", Bytes().Zeros(100), HeaderAtEnd::kZeros},
      {"zeros, then data", Bytes().Zeros(100).U8(1), HeaderAtEnd::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryBuffer file(Bytes().Raw(std::string(64, 'x')).Raw(c.tail.Data()).Data());
    EXPECT_EQ(BlockHeaderAtEnd(file, 64, true), c.found);
    const bool told = c.found != HeaderAtEnd::kWhole;
    EXPECT_EQ(BlockHeaderAtEnd(file, 64), told ? c.found : HeaderAtEnd::kNone) << "a whole header is not looked behind";
  }
  MemoryBuffer file(Bytes().Raw("##DT").Data());
  EXPECT_EQ(BlockHeaderAtEnd(file, 5), HeaderAtEnd::kNone) << "beyond the end of the file";
  EXPECT_EQ(BlockHeaderAtEnd(file, -1), HeaderAtEnd::kNone);
}

// The last DT block of a list whose logger links the next one once its header is whole: a
// header begun after the block is no record data, whether zeros follow it or not.
TEST(Dt4Block, UpdateDataSizeStopsAtABlockHeaderBegunAfterIt) {
  for (const size_t header : {size_t{1}, size_t{12}, size_t{23}}) {
    for (const size_t zeros : {size_t{0}, size_t{4096}}) {
      SCOPED_TRACE(std::to_string(header) + " header bytes, " + std::to_string(zeros) + " zeros");
      FileImage image;
      image.Place(8, PlainBlock("##DT", Pattern(16)));
      const std::vector<uint8_t> next = Bytes().Raw("##DT").Zeros(4).U64(40).U64(0).Data();
      image.Place(48, Bytes()
                          .Raw(std::vector<uint8_t>(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(header)))
                          .Zeros(zeros));
      MemoryBuffer buffer(image.Data());
      Dt4Block block;
      ReadInto(block, buffer, 8);
      block.UpdateDataSize(buffer);
      EXPECT_EQ(block.DataSize(), 16U);
    }
  }
}

// What follows the end of a block's bytes: a header at once or behind the zeros that align it
// to 8 bytes, cut or whole; the whole header of a block the format has, with more behind it;
// or nothing that is a header.
TEST(DataBlock, BlockHeaderBehindFindsAHeaderAtOnceOrBehindTheAlignment) {
  const Bytes list = Block("##DL", {0, 200}, Bytes().U8(0).Zeros(3).U32(1).U64(0).Data());
  const struct {
    const char* name;
    Bytes tail;  // from offset 61 on: 3 bytes short of a multiple of 8
    HeaderAtEnd found;
    int64_t position;
    bool followed;
  } cases[] = {
      {"a cut header at once", Bytes().Raw("##DT"), HeaderAtEnd::kCut, 61, false},
      {"a cut header behind the alignment", Bytes().Zeros(3).Raw("##DT").Zeros(4).U8(0x18), HeaderAtEnd::kCut, 64,
       false},
      {"one byte of a header behind it", Bytes().Zeros(3).Raw("#"), HeaderAtEnd::kCut, 64, false},
      {"a whole header and zeros behind it", Bytes().Zeros(3).Raw(Block("##DT", {}, {}).Data()).Zeros(9),
       HeaderAtEnd::kWhole, 64, false},
      {"a whole list behind it", Bytes().Zeros(3).Raw(list.Data()).U8(7), HeaderAtEnd::kWhole, 64, true},
      {"a whole data block behind it", Bytes().Zeros(3).Raw(Block("##DT", {}, {1, 2, 3}).Data()), HeaderAtEnd::kWhole,
       64, true},
      {"zeros only", Bytes().Zeros(30), HeaderAtEnd::kNone, 0, false},
      {"nothing", Bytes(), HeaderAtEnd::kNone, 0, false},
      {"records", Bytes().U8(1).U32(5).Raw("##DT"), HeaderAtEnd::kNone, 0, false},
      {"a byte other than zero in the gap", Bytes().Zeros(2).U8(1).Raw("##DT"), HeaderAtEnd::kNone, 0, false},
      {"an id the format does not have", Bytes().Zeros(3).Raw(Block("##QQ", {}, {1}).Data()), HeaderAtEnd::kNone, 0,
       false},
      {"a list too short for its links", Bytes().Zeros(3).Raw(Block("##DL", {0, 200}, {}, 40).Data()).U8(7),
       HeaderAtEnd::kNone, 0, false},
      {"a header that is not aligned", Bytes().Zeros(4).Raw(Block("##DT", {}, {1}).Data()), HeaderAtEnd::kNone, 0,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryBuffer file(Bytes().Raw(std::string(61, 'x')).Raw(c.tail.Data()).Data());
    const HeaderBehind behind = BlockHeaderBehind(file, 61);
    EXPECT_EQ(behind.found, c.found);
    EXPECT_EQ(behind.position, c.position);
    EXPECT_EQ(behind.followed, c.followed);
  }
}

// What a logger begins or appends behind its records when it loses power, from offset 61 on (3
// bytes short of a multiple of 8) to the end of the file: each block ends where the next begins,
// behind the zeros that align it; only blocks that hold no records come before the last.
TEST(DataBlock, BlocksBegunBehindAreBlocksThatHoldNoRecordsUpToTheEnd) {
  const Bytes comment = Block("##MD", {}, Bytes().Raw("<EVcomment/>").Zeros(4).Data());  // 40 bytes
  const Bytes event = Block("##EV", {0, 0, 0, 0, 64}, Bytes().U8(1).U8(1).Zeros(14).U64(0).F64(1.0).Data());
  const Bytes empty_list = Block("##DL", {0, 0}, Bytes().U8(0).Zeros(3).U32(1).U64(0).Data());
  const Bytes listing = Block("##DL", {0, 8}, Bytes().U8(0).Zeros(3).U32(1).U64(0).Data());
  const auto cut = [](const Bytes& block, size_t keep) {
    return Bytes().Raw(
        std::vector<uint8_t>(block.Data().begin(), block.Data().begin() + static_cast<std::ptrdiff_t>(keep)));
  };
  const struct {
    const char* name;
    Bytes tail;  // from offset 61 on
    bool begun;
  } cases[] = {
      {"a header cut at once", Bytes().Raw("##MD"), true},
      {"a header cut behind the alignment", Bytes().Zeros(3).Raw("##E"), true},
      {"a comment up to the end", Bytes().Zeros(3).Raw(comment.Data()), true},
      {"a comment cut by the end", Bytes().Zeros(3).Raw(cut(comment, 30).Data()), true},
      {"a comment, then padding", Bytes().Zeros(3).Raw(comment.Data()).Zeros(500), true},
      {"a comment, then an event", Bytes().Zeros(3).Raw(comment.Data()).Raw(event.Data()), true},
      {"a comment, then an event cut in its header", Bytes().Zeros(3).Raw(comment.Data()).Raw(cut(event, 13).Data()),
       true},
      {"a list that lists nothing yet, cut in its fields", Bytes().Zeros(3).Raw(cut(empty_list, 45).Data()), true},
      {"a list that lists nothing yet, then padding", Bytes().Zeros(3).Raw(empty_list.Data()).Zeros(300), true},
      {"signal data begun", Bytes().Zeros(3).Raw(Block("##SD", {}, {4, 0, 0, 0, 1}, 200).Data()), true},
      {"a list that lists a block of the file", Bytes().Zeros(3).Raw(listing.Data()), false},
      {"a comment, then a data block with data",
       Bytes().Zeros(3).Raw(comment.Data()).Raw(Block("##DT", {}, {1}).Data()), false},
      {"a data block with data", Bytes().Zeros(3).Raw(Block("##DT", {}, {1, 2}).Data()), false},
      {"a comment, then bytes that are no block", Bytes().Zeros(3).Raw(comment.Data()).U8(1).U32(5), false},
      {"a byte other than zero in the gap", Bytes().Zeros(2).U8(1).Raw(comment.Data()), false},
      {"zeros only", Bytes().Zeros(30), false},
      {"records", Bytes().U8(1).U32(5).Raw("##MD"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryBuffer file(Bytes().Raw(std::string(61, 'x')).Raw(c.tail.Data()).Data());
    EXPECT_EQ(BlocksBegunBehind(file, 61), c.begun);
  }
}

// A link to the multiple of 8 that the zeros aligning a header lead to, before they reached it:
// a block not begun yet. Anything further out is no header.
TEST(DataBlock, BlockHeaderAtEndTakesALinkJustPastTheEndForABlockNotBegun) {
  MemoryBuffer file(Bytes().Raw(std::string(61, 'x')).Data());
  EXPECT_EQ(BlockHeaderAtEnd(file, 64), HeaderAtEnd::kZeros);
  EXPECT_EQ(BlockHeaderAtEnd(file, 64, true), HeaderAtEnd::kZeros);
  EXPECT_EQ(BlockHeaderAtEnd(file, 72), HeaderAtEnd::kNone);
  EXPECT_EQ(BlockHeaderAtEnd(file, 63), HeaderAtEnd::kNone);
}

// A header begun where the file ends, at a multiple of 8 behind a block still growing: told
// once its whole id is there, a known one; found behind padding zeros too.
TEST(DataBlock, BlockHeaderBegunAtEndIsFoundAtAMultipleOfEight) {
  // Thousands of empty comments, each ending where the next begins, then `last`: every one of
  // them begins a walk to the end.
  const auto comments = [](const Bytes& last) {
    Bytes chain;
    for (int i = 0; i < 2500; ++i) chain.Raw(Block("##TX", {}, {}).Data());
    return chain.Raw(last.Data());
  };
  const struct {
    const char* name;
    Bytes tail;  // from offset 64 on, behind 40 record bytes
    int64_t position;
    bool told;
  } cases[] = {
      {"the id and reserved bytes", Bytes().Raw("##DT").Zeros(4), 104, true},
      {"the id and part of the length", Bytes().Raw("##DT").Zeros(4).U8(0x18), 104, true},
      {"a whole header, then padding", Bytes().Raw(Block("##DT", {}, {}).Data()).Zeros(4000), 104, true},
      {"a list's id", Bytes().Raw("##DL"), 104, true},
      {"one byte of the id", Bytes().Raw("#"), 104, false},
      {"three bytes of the id", Bytes().Raw("##D"), 104, false},
      {"an id the format does not have", Bytes().Raw("##QQ"), 104, false},
      {"records ending in zeros", Bytes().U8(3).Zeros(9), 0, false},
      {"a header that is not aligned", Bytes().U8(3).Raw("##DT"), 0, false},
      {"a header with data behind it", Bytes().Raw(Block("##DT", {}, {1, 2}).Data()), 0, false},
      // Blocks appended up to the end: the first of them, however far back its header lies.
      {"a comment and an event",
       Bytes()
           .Raw(Block("##MD", {}, Bytes().Raw(std::string(500, 'c')).Data()).Data())
           .Zeros(4)
           .Raw(Block("##EV", {0, 0, 0, 0, 104}, Bytes().Zeros(32).Data()).Data()),
       104, true},
      {"a list begun, cut in its fields", Bytes().Raw(Block("##DL", {0, 0, 0}, Bytes().U8(0).Data(), 64).Data()), 104,
       true},
      {"comments up to a header cut", comments(Bytes().Raw("##DT")), 104, true},
      {"comments up to a data block with data", comments(Block("##DT", {}, {1, 2})), 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryBuffer file(Bytes().Raw(std::string(104, 'x')).Raw(c.tail.Data()).Data());
    bool told = !c.told;
    EXPECT_EQ(BlockHeaderBegunAtEnd(file, 64, told), c.position);
    EXPECT_EQ(told, c.told);
  }
  MemoryBuffer file(Bytes().Raw(std::string(104, 'x')).Raw("##DT").Data());
  bool told = false;
  EXPECT_EQ(BlockHeaderBegunAtEnd(file, 108, told), 0) << "not before the data";
}

// The last DT block's length stands where a block follows it: behind the zeros that align a
// cut header, a whole data list, or a block known to begin behind it. One whose length is
// still 24 holds the bytes up to the block begun next.
TEST(Dt4Block, UpdateDataSizeEndsWhereTheNextBlockBegins) {
  const Bytes list = Block("##DL", {0, 200}, Bytes().U8(0).Zeros(3).U32(1).U64(0).Data());
  const struct {
    const char* name;
    uint64_t length;  // of the DT at 8, whose 13 data bytes end at 45
    Bytes behind;     // from 45 on
    int64_t next_block;
    uint64_t data_size;
  } cases[] = {
      {"a cut header behind the alignment", 37, Bytes().Zeros(3).Raw("##DT").Zeros(4).U8(0x18), 0, 13},
      {"a data list behind the alignment", 37, Bytes().Zeros(3).Raw(list.Data()).Raw("records"), 0, 13},
      {"a block known behind the alignment", 37, Bytes().Zeros(3).Raw("any bytes"), 48, 13},
      {"a link past the alignment not yet reached", 37, Bytes().Zeros(1), 48, 13},
      {"growing, the next block known", 24, Bytes().Zeros(3).Raw("any bytes"), 48, 16},
      {"growing, the next block begun right behind its header", 24, Bytes().Raw("any"), 32, 0},
      {"growing, nothing known: to the end", 24, Bytes().Zeros(3).Raw("any bytes"), 0, 25},
      {"growing, a block known before its data", 24, Bytes().Raw("any"), 8, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FileImage image;
    image.Place(8, PlainBlock("##DT", Pattern(13))).Place(45, c.behind);
    std::vector<uint8_t> data = image.Data();
    data[16] = static_cast<uint8_t>(c.length);  // the length as the file holds it
    MemoryBuffer buffer(data);
    Dt4Block block;
    ReadInto(block, buffer, 8);
    block.UpdateDataSize(buffer, c.next_block);
    EXPECT_EQ(block.DataSize(), c.data_size);
  }
}

TEST(Dt4Block, AttachToParentTakesTheDataGroup) {
  TestDataGroupList group;
  TestList other;
  Dt4Block block;
  block.AttachToParent(&group);
  EXPECT_EQ(block.DataGroup(), group.DataGroupInterface());
  EXPECT_EQ(block.Parent(), &group);
  block.AttachToParent(&other);
  EXPECT_EQ(block.DataGroup(), nullptr);
}

TEST(Dt4Block, PropertyRows) {
  MemoryBuffer file(FileImage().Place(64, PlainBlock("##DT", Pattern(10))).Data());
  Dt4Block block;
  ReadInto(block, file, 64);
  auto rows = test::Rows(block);
  ASSERT_EQ(rows.size(), 8U);
  EXPECT_EQ(rows[1].value, "0x40");
  EXPECT_EQ(rows[2].value, "DT");
  EXPECT_EQ(rows[3].value, "34");
  EXPECT_EQ(rows[6].label, "Information");
  EXPECT_EQ(rows[6].type, mdf::BlockItemType::HeaderItem);
  EXPECT_EQ(rows[7].label, "Data Size [byte]");
  EXPECT_EQ(rows[7].value, "10");

  Sd4Block sd;
  ReadInto(sd, file, 64);
  rows = test::Rows(sd);
  EXPECT_EQ(rows.size(), test::kHeaderRows);  // header rows only
}

TEST(Sd4Block, HoldsVlsdEntriesAndIsWrittenOnce) {
  const std::vector<uint8_t> entries = Bytes().U32(3).Raw("abc").U32(0).U32(5).Raw("hello").Data();
  MemoryBuffer file(std::string(3, 'x'));
  Sd4Block block;
  block.SetData(entries);
  EXPECT_EQ(block.Write(file), 24U + entries.size());
  EXPECT_EQ(block.FilePosition(), 8);
  EXPECT_EQ(file.Bytes(), FileImage().Place(0, Bytes().Raw("xxx")).Place(8, PlainBlock("##SD", entries)).Data());
  file.pubseekpos(2);
  EXPECT_EQ(block.Write(file), 24U + entries.size());
  EXPECT_EQ(file.Position(), 2);  // not moved
}

TEST(PlainDataBlocks, ReadOnlyKindsRecordTheirPayloadPosition) {
  const auto payload = Pattern(12);
  FileImage image;
  image.Place(8, PlainBlock("##RD", payload)).Place(48, PlainBlock("##DV", payload));
  MemoryBuffer file(image.Data());
  Rd4Block rd;
  ReadInto(rd, file, 8);
  EXPECT_EQ(rd.BlockType(), "RD");
  EXPECT_EQ(rd.DataPosition(), 32);
  EXPECT_EQ(file.Position(), 32);
  EXPECT_TRUE(rd.Data().empty());
  EXPECT_EQ(rd.Write(file), 36U);  // in the file: nothing written
  EXPECT_EQ(file.Bytes(), image.Data());

  Dv4Block dv;
  ReadInto(dv, file, 48);
  const auto rows = test::Rows(dv);
  EXPECT_EQ(rows.back().label, "Data Size [byte]");
  EXPECT_EQ(rows.back().value, "12");

  Ri4Block fresh;
  EXPECT_EQ(ThrownText([&] { fresh.Write(file); }), "Writing a new data block is not supported.");
}

}  // namespace
