#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cg4block.h"
#include "cn4block.h"
#include "damage.h"
#include "dg4block.h"
#include "mdf/channeltypes.h"
#include "mdf/filedamage.h"
#include "mdfblock.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"
#include "support/thrown.h"

using mdf::detail::Cg4Block;
using mdf::detail::Cn4Block;
using mdf::detail::Dg4Block;
using mdf::detail::MdfBlock;
using test::Bytes;
using test::MemoryBuffer;

namespace {

// A block whose header fields the tests set directly.
class TestBlock : public MdfBlock {
 public:
  explicit TestBlock(std::string id = "##DG", std::vector<int64_t> links = {}, uint64_t length = 0) {
    block_id_ = std::move(id);
    link_list_ = std::move(links);
    block_length_ = length;
  }
  size_t Read(std::streambuf& buffer) override {
    return block_id_.size() == 2 ? ReadMdf3Header(buffer) : ReadMdf4Header(buffer);
  }
  void SetByteOrder(uint16_t order) { byte_order_ = order; }
  void SetBlockSize(uint16_t size) { block_size_ = size; }
  void SetComment(std::unique_ptr<MdfBlock> comment) { comment_ = std::move(comment); }
  void SetPosition(int64_t position) { file_position_ = position; }
};

using test::ThrownText;

std::string IoText(const std::function<void()>& action) { return ThrownText<std::ios_base::failure>(action); }
std::string RuntimeText(const std::function<void()>& action) { return ThrownText<std::runtime_error>(action); }

TEST(BlockIo, Mdf4BlockIsAlignedAndExact) {
  MemoryBuffer buffer(std::string(61, 'x'));
  TestBlock block("##DG", {0x100, 0, 0x2000}, 24 + 3 * 8 + 8);
  EXPECT_EQ(block.Write(buffer), 48U);
  EXPECT_EQ(block.FilePosition(), 64);
  const std::vector<uint8_t> expected =
      Bytes().Raw(std::string(61, 'x')).Zeros(3).Raw("##DG").Zeros(4).U64(56).U64(3).U64(0x100).U64(0).U64(0x2000);
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(block.LinkCount(), 3U);
}

TEST(BlockIo, Mdf3BlockIsNotAlignedAndUsesFileByteOrder) {
  MemoryBuffer buffer(std::string(61, 'x'));
  TestBlock block("CG", {0x11223344, 7});
  block.SetBlockSize(30);
  block.SetByteOrder(1);
  EXPECT_EQ(block.Write(buffer), 12U);
  EXPECT_EQ(block.FilePosition(), 61);
  const std::vector<uint8_t> expected =
      Bytes().Raw(std::string(61, 'x')).Raw("CG").U16Be(30).U32Be(0x11223344).U32Be(7);
  EXPECT_EQ(buffer.Bytes(), expected);
}

TEST(BlockIo, ShortIdIsZeroFilled) {
  MemoryBuffer buffer;
  TestBlock block("##A", {}, 24);
  block.Write(buffer);
  const std::vector<uint8_t> expected = Bytes().Raw("##A").Zeros(5).U64(24).U64(0);
  EXPECT_EQ(buffer.Bytes(), expected);
}

TEST(BlockIo, FillByteThatCannotBeWrittenThrowsInsteadOfSpinning) {
  MemoryBuffer buffer(std::string(61, 'x'));
  buffer.SetCapacity(62);
  TestBlock block("##DG", {}, 24);
  EXPECT_EQ(IoText([&] { block.Write(buffer); }), "End of stream reached (EOF).");

  MemoryBuffer end_only(std::string(61, 'x'));
  end_only.SetCapacity(61);
  EXPECT_EQ(IoText([&] { block.GoToStreamEnd(end_only); }), "End of stream reached (EOF).");
}

TEST(BlockIo, WriteFailuresHaveTheirTexts) {
  TestBlock mdf3("DG", {1, 2});
  MemoryBuffer short_links;
  short_links.SetCapacity(6);
  EXPECT_EQ(RuntimeText([&] { mdf3.Write(short_links); }), "Invalid number of bytes written");

  TestBlock mdf4("##DG", {}, 24);
  MemoryBuffer short_reserved;
  short_reserved.SetCapacity(6);
  EXPECT_EQ(IoText([&] { mdf4.Write(short_reserved); }), "End of stream reached (EOF).");

  MemoryBuffer no_seek;
  no_seek.FailSeeks(true);
  EXPECT_EQ(IoText([&] { mdf4.Write(no_seek); }), "Failed to set last file position");
  EXPECT_EQ(IoText([&] { mdf4.GoToStreamEnd(no_seek); }), "Failed to set last file position");
}

TEST(BlockIo, ExceptionKindsAndPlainTexts) {
  MemoryBuffer buffer(Bytes().U16(1));
  TestBlock block;
  uint32_t value = 0;
  try {
    block.ReadNumber(buffer, value);
    FAIL() << "no exception";
  } catch (const std::ios_base::failure& error) {
    // No ": iostream error" decoration.
    EXPECT_STREQ(error.what(), "Invalid number of bytes read");
  }
}

TEST(BlockIo, PatchBlockLength) {
  MemoryBuffer buffer(std::string(8, 'x'));
  TestBlock unwritten("##DT", {}, 24);
  EXPECT_EQ(RuntimeText([&] { unwritten.PatchBlockLength(buffer, 24); }), "Invalid file position");

  TestBlock block("##DT", {}, 24);
  block.Write(buffer);
  ASSERT_EQ(block.FilePosition(), 8);
  buffer.SetCapacity(buffer.Bytes().size());  // any write now fails
  EXPECT_NO_THROW(block.PatchBlockLength(buffer, 24));

  buffer.SetCapacity(1000);
  block.PatchBlockLength(buffer, 0x1234);
  EXPECT_EQ(block.BlockLength(), 0x1234U);
  const std::vector<uint8_t> expected = Bytes().Raw("xxxxxxxx").Raw("##DT").Zeros(4).U64(0x1234).U64(0);
  EXPECT_EQ(buffer.Bytes(), expected);

  MemoryBuffer mdf3_buffer;
  TestBlock mdf3("DT");
  mdf3.SetBlockSize(4);
  mdf3_buffer.sputn("pad", 3);
  mdf3.Write(mdf3_buffer);
  mdf3.PatchBlockLength(mdf3_buffer, 300);
  EXPECT_EQ(mdf3_buffer.Bytes(), std::vector<uint8_t>(Bytes().Raw("padDT").U16(300)));
}

TEST(BlockIo, PatchLink) {
  TestBlock unwritten("##DG", {0, 0, 0}, 48);
  MemoryBuffer untouched;
  unwritten.PatchLink(untouched, 1, 500);
  EXPECT_EQ(unwritten.Link(1), 500);
  EXPECT_TRUE(untouched.Bytes().empty());

  MemoryBuffer buffer(std::string(8, 'x'));  // position 0 would mean "not written"
  TestBlock block("##DG", {0, 0, 0}, 48);
  block.Write(buffer);
  block.PatchLink(buffer, 2, 0x0102030405060708);
  std::vector<uint8_t> expected =
      Bytes().Raw("xxxxxxxx").Raw("##DG").Zeros(4).U64(48).U64(3).U64(0).U64(0).U64(0x0102030405060708);
  EXPECT_EQ(buffer.Bytes(), expected);  // 8 bytes at position + 40
  EXPECT_EQ(block.Link(2), 0x0102030405060708);

  EXPECT_EQ(RuntimeText([&] { block.PatchLink(buffer, 3, 1); }), "index is out of bounds");
  EXPECT_EQ(block.Links().size(), 3U);

  MemoryBuffer mdf3_buffer(std::string(3, 'x'));
  TestBlock mdf3("CN", {0, 0});
  mdf3.Write(mdf3_buffer);
  mdf3.PatchLink(mdf3_buffer, 1, 0xABCD);
  EXPECT_EQ(mdf3_buffer.Bytes(), std::vector<uint8_t>(Bytes().Raw("xxxCN").U16(0).U32(0).U32(0xABCD)));
}

TEST(BlockIo, ReadMdf4HeaderAndSeekToData) {
  std::vector<uint8_t> bytes(4096, 0);
  const std::vector<uint8_t> header = Bytes().Raw("##SI").Zeros(4).U64(104).U64(3).U64(1).U64(2).U64(3);
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.resize(bytes.size() + 56, 0);
  MemoryBuffer buffer(bytes);
  buffer.pubseekpos(4096);
  TestBlock block("");
  EXPECT_EQ(block.Read(buffer), 48U);
  EXPECT_EQ(block.FilePosition(), 4096);
  EXPECT_EQ(block.BlockId(), "##SI");
  EXPECT_EQ(block.BlockType(), "SI");
  EXPECT_EQ(block.BlockLength(), 104U);
  EXPECT_EQ(block.BlockSize(), 104U);
  EXPECT_EQ(block.Links(), (std::vector<int64_t>{1, 2, 3}));
  block.SeekToData(buffer);
  EXPECT_EQ(buffer.Position(), 4144);
}

TEST(BlockIo, DamagedLinkCountsNeverSizeALargeList) {
  // A link count that does not fit the block length.
  MemoryBuffer huge(Bytes().Raw("##DL").Zeros(4).U64(40).U64(0x1FFFFFFFFFFFFFFF).U64(1).U64(2));
  TestBlock block("");
  EXPECT_EQ(IoText([&] { block.Read(huge); }), "Invalid number of bytes read");

  // A consistent header cut short by the end of the file.
  MemoryBuffer cut(Bytes().Raw("##DL").Zeros(4).U64(24 + 8 * 1000000 + 8).U64(1000000).U64(1));
  EXPECT_EQ(IoText([&] { block.Read(cut); }), "Invalid number of bytes read");

  // Every prefix of a valid header fails cleanly.
  const std::vector<uint8_t> valid = Bytes().Raw("##DG").Zeros(4).U64(64).U64(4).U64(64).U64(128).U64(0).U64(0);
  for (size_t size = 0; size < valid.size(); ++size) {
    MemoryBuffer prefix(std::vector<uint8_t>(valid.begin(), valid.begin() + static_cast<long>(size)));
    EXPECT_THROW(block.ReadMdf4Header(prefix), std::ios_base::failure) << size;
  }
}

// Each block type's links and the bytes of its fixed fields, as the format lays them out:
// a block of exactly those reads; one link fewer, or one byte less, leaves its fields where its
// links or the next block are, and it cannot be read. More links than the type has (counts
// and flags add them) read.
TEST(BlockIo, BlocksShorterThanTheirTypeCannotBeRead) {
  const struct {
    const char* id;
    uint64_t links;
    uint64_t length;  // the least with those links
  } layouts[] = {
      {"##HD", 6, 104}, {"##FH", 2, 56}, {"##DG", 4, 64}, {"##CG", 6, 104}, {"##CN", 8, 160}, {"##CC", 4, 80},
      {"##CA", 1, 48},  {"##SI", 3, 56}, {"##AT", 4, 96}, {"##CH", 4, 64},  {"##EV", 5, 96},  {"##SR", 2, 64},
      {"##DL", 1, 40},  {"##HL", 1, 40}, {"##LD", 1, 40}, {"##TX", 0, 24},  {"##MD", 0, 24},  {"##DZ", 0, 48},
  };
  const auto image = [](const std::string& id, uint64_t links, uint64_t length) {
    Bytes bytes;
    bytes.Raw(id).Zeros(4).U64(length).U64(links);
    bytes.Zeros(static_cast<size_t>(std::max<uint64_t>(length, 24 + 8 * links) - 24));
    return bytes.Data();
  };
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.id);
    const std::string type = std::string(layout.id).substr(2);
    TestBlock block("");
    MemoryBuffer whole(image(layout.id, layout.links, layout.length));
    EXPECT_EQ(block.Read(whole), 24 + 8 * layout.links);
    MemoryBuffer more(image(layout.id, layout.links + 1, layout.length + 8));
    EXPECT_EQ(block.Read(more), 24 + 8 * (layout.links + 1));
    if (layout.links > 0) {
      // The length stays: the block keeps its bytes, but its fields are not where they were.
      MemoryBuffer fewer(image(layout.id, layout.links - 1, layout.length));
      EXPECT_EQ(RuntimeText([&] { block.Read(fewer); }),
                "Block with fewer links than its type. Block: 0x0, Type: " + type +
                    ", Links: " + std::to_string(layout.links - 1) + ", Expected: " + std::to_string(layout.links));
    }
    MemoryBuffer shorter(image(layout.id, layout.links, layout.length - 1));
    EXPECT_EQ(RuntimeText([&] { block.Read(shorter); }), "Block shorter than its type. Block: 0x0, Type: " + type +
                                                             ", Length: " + std::to_string(layout.length - 1) +
                                                             ", Expected: " + std::to_string(layout.length));
  }
  // The length of a block of records or values is its payload's: the data readers judge it.
  for (const char* id : {"##DT", "##SD", "##RD", "##RI", "##RV", "##DI", "##DV"}) {
    SCOPED_TRACE(id);
    MemoryBuffer empty(image(id, 0, 0));
    TestBlock block("");
    EXPECT_EQ(block.Read(empty), 24U);
  }
  // An id the format does not have still has its header.
  MemoryBuffer unknown(image("##XY", 0, 23));
  TestBlock block("");
  EXPECT_EQ(RuntimeText([&] { block.Read(unknown); }),
            "Block shorter than its type. Block: 0x0, Type: XY, Length: 23, Expected: 24");
}

// The links a block may not leave NIL (blocklayout.h): each is damage of its block, named
// with the link, where the block's own fields call for it, and the read goes on; the same
// link NIL where they do not is no damage.
TEST(BlockIo, ALinkThatMayNotBeNilIsDamageWhereTheBlockNeedsIt) {
  constexpr int64_t kAt = 0x40;
  constexpr int64_t kName = 0x200;
  constexpr int64_t kData = 0x300;
  const auto channel = [](uint8_t type, int64_t name) {
    test::CnFields cn;
    cn.type = type;
    cn.data_type = type == mdf::kVlsdChannel ? mdf::kByteArray : mdf::kUnsignedLe;
    cn.bit_count = type == mdf::kVlsdChannel ? 64 : 8;
    cn.links[2] = name;
    return test::ChannelBlock(cn);
  };
  const auto header = [](const std::string& id, uint64_t links, uint64_t length) {
    return Bytes().Raw(id).Zeros(4).U64(length).U64(links).Zeros(static_cast<size_t>(length - 24));
  };
  const struct {
    const char* name;
    Bytes block;
    std::unique_ptr<MdfBlock> (*make)();
    const char* link;  // null: no damage
  } cases[] = {
      {"a channel without a name", channel(mdf::kFixedLengthChannel, 0),
       [] { return std::unique_ptr<MdfBlock>(new Cn4Block); }, "CN, Link: name"},
      {"a fixed-length channel without data", channel(mdf::kFixedLengthChannel, kName),
       [] { return std::unique_ptr<MdfBlock>(new Cn4Block); }, nullptr},
      // Judged by the file once its group's records are counted (a signal data block that a
      // logger links only once whole): the sweeps over whole recordings hold both sides.
      {"a VLSD channel without data", channel(mdf::kVlsdChannel, kName),
       [] { return std::unique_ptr<MdfBlock>(new Cn4Block); }, nullptr},
      // Judged by the file once its data are counted (the last DT of an unfinalized recording
      // grows): data that hold no record need no channel group (test_damage.cpp).
      {"a data group with data and no channel group", test::DgBlock(0, 0, kData, 0, 0),
       [] { return std::unique_ptr<MdfBlock>(new Dg4Block); }, nullptr},
      {"a data group without data or channel group", test::DgBlock(0, 0, 0, 0, 0),
       [] { return std::unique_ptr<MdfBlock>(new Dg4Block); }, nullptr},
      {"a channel group of record bytes and no channel", test::CgBlock(test::CgFields().DataBytes(4)),
       [] { return std::unique_ptr<MdfBlock>(new Cg4Block); }, "CG, Link: first channel"},
      {"a channel group of no record bytes", test::CgBlock(test::CgFields()),
       [] { return std::unique_ptr<MdfBlock>(new Cg4Block); }, nullptr},
      {"a VLSD channel group, whose records its channel reads", test::CgBlock(test::CgFields().Flags(1).DataBytes(4)),
       [] { return std::unique_ptr<MdfBlock>(new Cg4Block); }, nullptr},
      {"a header without file history", header("##HD", 6, 104),
       [] { return std::unique_ptr<MdfBlock>(new TestBlock("")); }, "HD, Link: first file history"},
      {"a file history without comment", header("##FH", 2, 56),
       [] { return std::unique_ptr<MdfBlock>(new TestBlock("")); }, "FH, Link: comment"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::FileImage image;
    image.Place(kAt, c.block);
    image.Place(kName, test::TextBlock("Value"));
    image.Place(kData, test::PlainBlock("##DT", {1, 2, 3, 4}));
    MemoryBuffer buffer(image.Data());
    test::LogCapture log;
    mdf::FileDamage record;
    const mdf::detail::DamageScope scope(record);
    std::unique_ptr<MdfBlock> block = c.make();
    test::ReadInto(*block, buffer, kAt);
    if (c.link == nullptr) {
      EXPECT_FALSE(log.Contains("Required link is NIL.")) << record.first;
      continue;
    }
    EXPECT_EQ(record.first, std::string("Required link is NIL. Block: 0x40, Type: ") + c.link);
    EXPECT_EQ(log.entries.at(0).severity, mdf::detail::OutcomeOf(mdf::detail::Damage::kNilLink).severity);
  }
}

// A block whose fixed part the file holds but whose length runs past its end is damage, and
// the read goes on with what it holds; a block whose fixed part the end cuts fails its reads.
// A block of records may run past the end: the last DT of an unfinalized recording grows.
TEST(BlockIo, ABlockLongerThanTheFileIsDamageUnlessItHoldsAPayload) {
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* thrown;  // null: read
    bool damage;
  } cases[] = {
      {"inside", Bytes().Zeros(8).Raw("##SI").Zeros(4).U64(56).U64(3).Zeros(32).Data(), nullptr, false},
      {"one byte past the end", Bytes().Zeros(8).Raw("##SI").Zeros(4).U64(57).U64(3).Zeros(32).Data(), nullptr, true},
      {"far past the end", Bytes().Zeros(8).Raw("##DL").Zeros(4).U64(uint64_t{1} << 58).U64(1).Zeros(16).Data(),
       nullptr, true},
      {"a fixed part the end cuts", Bytes().Zeros(8).Raw("##SI").Zeros(4).U64(56).U64(3).Zeros(16).Data(),
       "Invalid number of bytes read", false},
      {"records past the end", Bytes().Zeros(8).Raw("##DT").Zeros(4).U64(1000).U64(0).Zeros(8).Data(), nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    mdf::FileDamage record;
    const mdf::detail::DamageScope scope(record);
    MemoryBuffer buffer(c.bytes);
    buffer.pubseekpos(8);
    TestBlock block("");
    if (c.thrown != nullptr) {
      EXPECT_EQ(IoText([&] { block.Read(buffer); }), c.thrown);
    } else {
      EXPECT_NO_THROW(block.Read(buffer));
    }
    EXPECT_EQ(record.met, c.damage);
    if (c.damage) {
      EXPECT_EQ(record.first, "Block runs past the end of the file. Block: 0x8, Type: " + block.BlockType() +
                                  ", Length: " + std::to_string(block.BlockLength()) +
                                  ", File size: " + std::to_string(c.bytes.size()));
    }
  }
}

TEST(BlockIo, ReadMdf3Header) {
  MemoryBuffer buffer(Bytes().Raw("CN").U16Be(228).U32Be(0x1000).U32Be(0));
  TestBlock block("CN");
  block.SetByteOrder(1);
  EXPECT_EQ(block.Read(buffer), 4U);
  EXPECT_EQ(block.BlockSize(), 228U);
  EXPECT_EQ(block.BlockLength(), 228U);
  EXPECT_EQ(block.ReadLinks32(buffer, 2), 8U);
  EXPECT_EQ(block.Links(), (std::vector<int64_t>{0x1000, 0}));
  EXPECT_EQ(block.LinkCount(), 2U);
  block.SeekToData(buffer);
  EXPECT_EQ(buffer.Position(), 12);

  MemoryBuffer mdf4(Bytes().Raw("##HD").Zeros(20));
  EXPECT_EQ(RuntimeText([&] { block.Read(mdf4); }), "MDF 4 header detected. This is not an MDF 3 file.");
}

TEST(BlockIo, NumbersInBothByteOrders) {
  MemoryBuffer buffer;
  TestBlock little;
  TestBlock big;
  big.SetByteOrder(1);
  little.WriteNumber(buffer, uint16_t{0x0102});
  big.WriteNumber(buffer, uint32_t{0x01020304});
  big.WriteNumber(buffer, int16_t{-2});
  little.WriteNumber(buffer, 1.5);
  big.WriteNumber(buffer, 1.5);
  little.WriteByte(buffer, 0xAB);
  big.WriteBool16(buffer, true);
  const std::vector<uint8_t> expected = Bytes()
                                            .U16(0x0102)
                                            .U32Be(0x01020304)
                                            .U16Be(0xFFFE)
                                            .U64(0x3FF8000000000000)
                                            .U32Be(0x3FF80000)
                                            .U32Be(0)
                                            .U8(0xAB)
                                            .U16Be(1);
  EXPECT_EQ(buffer.Bytes(), expected);

  buffer.pubseekpos(0);
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  int16_t i16 = 0;
  double d1 = 0;
  double d2 = 0;
  uint8_t byte = 0;
  bool flag = false;
  little.ReadNumber(buffer, u16);
  big.ReadNumber(buffer, u32);
  big.ReadValue(buffer, i16);
  little.ReadValue(buffer, d1);
  big.ReadNumber(buffer, d2);
  little.ReadByte(buffer, byte);
  big.ReadBool16(buffer, flag);
  EXPECT_EQ(u16, 0x0102);
  EXPECT_EQ(u32, 0x01020304U);
  EXPECT_EQ(i16, -2);
  EXPECT_EQ(d1, 1.5);
  EXPECT_EQ(d2, 1.5);
  EXPECT_EQ(byte, 0xAB);
  EXPECT_TRUE(flag);
}

TEST(StreamIo, FixedTexts) {
  MemoryBuffer buffer(Bytes().Raw("MDF").Zeros(5).Raw("  4.20  ").Raw("ABCDEFGH").Raw("xy"));
  std::string text;
  EXPECT_EQ(mdf::detail::ReadFixedText(buffer, text, 8), 8U);
  EXPECT_EQ(text, "MDF");
  EXPECT_EQ(buffer.Position(), 8);
  mdf::detail::ReadFixedText(buffer, text, 8);
  EXPECT_EQ(text, "4.20");
  mdf::detail::ReadFixedText(buffer, text, 8);
  EXPECT_EQ(text, "ABCDEFGH");
  // The stream ends inside the field: what was there, no throw.
  EXPECT_NO_THROW(mdf::detail::ReadFixedText(buffer, text, 8));
  EXPECT_EQ(text, "xy");

  MemoryBuffer out;
  mdf::detail::WriteFixedText(out, "4.20", 8);
  mdf::detail::WriteFixedText(out, "MdfWriter!", 8);
  EXPECT_EQ(out.Bytes(), std::vector<uint8_t>(Bytes().Raw("4.20").Zeros(4).Raw("MdfWrite")));
}

TEST(StreamIo, BlockTypeText) {
  MemoryBuffer mdf4(Bytes().Raw("##DG"));
  EXPECT_EQ(mdf::detail::ReadBlockTypeText(mdf4), "DG");
  MemoryBuffer mdf3(Bytes().Raw("CG").U16(100));
  EXPECT_EQ(mdf::detail::ReadBlockTypeText(mdf3), "CG");
}

TEST(StreamIo, ReadBytesChecksTheStreamBeforeAllocating) {
  MemoryBuffer buffer(std::string(100, 'a'));
  mdf::detail::ByteArray dest{1, 2, 3};
  EXPECT_EQ(mdf::detail::ReadBytes(buffer, dest, 0), 0U);
  EXPECT_TRUE(dest.empty());
  EXPECT_EQ(mdf::detail::ReadBytes(buffer, dest, 10), 10U);
  EXPECT_EQ(dest.size(), 10U);
  EXPECT_EQ(IoText([&] { mdf::detail::ReadBytes(buffer, dest, 91); }), "End of stream reached (EOF).");

  MemoryBuffer small(std::string(100, 'a'));
  EXPECT_EQ(IoText([&] { mdf::detail::ReadBytes(small, dest, uint64_t{1} << 62); }), "End of stream reached (EOF).");
  EXPECT_LT(dest.capacity(), 1024U * 1024U);
}

TEST(StreamIo, WritesAndPositions) {
  MemoryBuffer buffer;
  buffer.SetCapacity(10);
  EXPECT_EQ(mdf::detail::WriteBytes(buffer, {1, 2, 3}), 3U);
  EXPECT_EQ(mdf::detail::WriteZeroBytes(buffer, 5), 5U);
  EXPECT_EQ(mdf::detail::GetStreamPosition(buffer), 8);
  EXPECT_EQ(IoText([&] { mdf::detail::WriteBytes(buffer, {1, 2, 3}); }), "End of stream reached (EOF).");
  EXPECT_EQ(IoText([&] { mdf::detail::WriteZeroBytes(buffer, 5); }), "End of stream reached (EOF).");
  EXPECT_EQ(mdf::detail::GetLastStreamPosition(buffer), 10);
  mdf::detail::SetFirstStreamPosition(buffer);
  EXPECT_EQ(mdf::detail::AdvanceStreamPosition(buffer, 4), 4);
  EXPECT_EQ(buffer.Position(), 4);

  buffer.FailSeeks(true);
  EXPECT_EQ(IoText([&] { mdf::detail::GetStreamPosition(buffer); }), "Failed to get a stream position");
  EXPECT_EQ(IoText([&] { mdf::detail::GetLastStreamPosition(buffer); }), "Failed to get last stream position");
  EXPECT_EQ(IoText([&] { mdf::detail::SetStreamPosition(buffer, 1); }), "Failed to set a stream position");
  EXPECT_EQ(IoText([&] { mdf::detail::SetFirstStreamPosition(buffer); }), "Failed to set first stream position");
  EXPECT_EQ(IoText([&] { mdf::detail::AdvanceStreamPosition(buffer, 1); }), "Failed to set a stream position");
}

TEST(StreamIo, ReadOnlyStandardMemoryBufferCanBeRead) {
  const std::vector<uint8_t> bytes = Bytes().Raw("##TX").Zeros(4).U64(30).U64(0).Raw("hi").Zeros(4);
  std::istringstream input(std::string(bytes.begin(), bytes.end()));
  TestBlock block("");
  EXPECT_EQ(block.Read(*input.rdbuf()), 24U);
  EXPECT_EQ(mdf::detail::GetStreamPosition(*input.rdbuf()), 24);
  std::string text;
  mdf::detail::ReadFixedText(*input.rdbuf(), text, 6);
  EXPECT_EQ(text, "hi");
  EXPECT_EQ(mdf::detail::GetStreamPosition(*input.rdbuf()), 30);
}

TEST(StreamIo, HexAndAddressTexts) {
  EXPECT_EQ(mdf::detail::BytesToHexText({0x00, 0xAB, 0x0F}), "00AB0F");
  EXPECT_EQ(mdf::detail::AddressToText(0), "0x0");
  EXPECT_EQ(mdf::detail::AddressToText(0x1A2B), "0x1A2B");
  EXPECT_EQ(mdf::detail::AddressToText(-1), "0xFFFFFFFFFFFFFFFF");
}

TEST(BlockBase, TypePropertiesAndLookup) {
  TestBlock hd("##HD", {0, 0}, 40);
  TestBlock dg("##DG", {}, 24);
  TestBlock cg("##CG", {}, 24);
  hd.SetByteOrder(0);
  dg.AttachToParent(&hd);
  cg.AttachToParent(&dg);
  EXPECT_EQ(dg.FindAncestorDg(), &dg);
  EXPECT_EQ(cg.FindAncestorDg(), &dg);
  EXPECT_EQ(cg.FindAncestorHd(), &hd);
  EXPECT_EQ(hd.FindAncestorCg(), nullptr);

  TestBlock mdf3_parent("HD");
  mdf3_parent.SetByteOrder(1);
  TestBlock mdf3_child("DG");
  mdf3_child.AttachToParent(&mdf3_parent);
  EXPECT_TRUE(mdf3_child.IsBigEndian());
  EXPECT_EQ(mdf3_child.BlockType(), "DG");

  hd.SetPosition(0x40);
  auto comment = std::make_unique<TestBlock>("##TX");
  comment->SetPosition(0x80);
  auto* comment_ptr = comment.get();
  hd.SetComment(std::move(comment));
  EXPECT_EQ(hd.FindByPosition(0x40), &hd);
  EXPECT_EQ(hd.FindByPosition(0x80), comment_ptr);
  EXPECT_EQ(hd.FindByPosition(0x90), nullptr);

  const auto rows = test::Rows(hd);
  ASSERT_EQ(rows.size(), 6U);
  EXPECT_EQ(rows[0].label, "Header");
  EXPECT_EQ(rows[0].type, mdf::BlockItemType::HeaderItem);
  EXPECT_EQ(rows[1].label, "Address");
  EXPECT_EQ(rows[1].value, "0x40");
  EXPECT_EQ(rows[1].type, mdf::BlockItemType::LinkItem);
  EXPECT_EQ(rows[2].value, "HD");
  EXPECT_EQ(rows[3].value, "40");
  EXPECT_EQ(rows[4].label, "Links");
  EXPECT_EQ(rows[5].type, mdf::BlockItemType::BlankItem);
}

}  // namespace
