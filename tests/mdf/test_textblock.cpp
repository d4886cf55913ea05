// TX blocks of both versions and the byte-order independent number templates.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mdf/mdfexception.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"
#include "support/thrown.h"
#include "tx3block.h"
#include "tx4block.h"

using mdf::detail::MdfBlock;
using mdf::detail::ShortenText;
using mdf::detail::Tx3Block;
using mdf::detail::Tx4Block;
using test::Bytes;
using test::MemoryBuffer;

namespace {

std::vector<uint8_t> TxBlockBytes(const std::string& id, uint64_t length, const std::string& data) {
  return test::Block(id, {}, Bytes().Raw(data), length);
}

TEST(Tx4Block, WriteAlignsAndIsExact) {
  MemoryBuffer buffer(std::string(100, 'x'));
  Tx4Block block("abc");
  EXPECT_EQ(block.Write(buffer), 28U);
  EXPECT_EQ(block.FilePosition(), 104);
  EXPECT_EQ(block.BlockLength(), 28U);
  EXPECT_EQ(block.LinkCount(), 0U);
  const std::vector<uint8_t> expected =
      Bytes().Raw(std::string(100, 'x')).Zeros(4).Raw("##TX").Zeros(4).U64(28).U64(0).Raw("abc").Zeros(1);
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(buffer.Bytes().size(), 132U);

  // A block in the file is never written again.
  EXPECT_EQ(block.Write(buffer), 0U);
  EXPECT_EQ(buffer.Bytes(), expected);
}

TEST(Tx4Block, IdFollowsTheText) {
  MemoryBuffer buffer(std::string(64, '\0'));  // Offset 0 belongs to the ID block.
  Tx4Block xml("<a/>");
  xml.Write(buffer);
  EXPECT_EQ(xml.BlockId(), "##MD");
  EXPECT_EQ(xml.BlockType(), "MD");

  MemoryBuffer empty_buffer(std::string(64, '\0'));
  Tx4Block empty("");
  EXPECT_EQ(empty.Write(empty_buffer), 25U);
  auto expected = Bytes().Zeros(64).Data();
  const auto block = TxBlockBytes("##TX", 25, std::string(1, '\0'));
  expected.insert(expected.end(), block.begin(), block.end());
  EXPECT_EQ(empty_buffer.Bytes(), expected);

  MemoryBuffer blank_buffer(std::string(64, '\0'));
  Tx4Block blank(" <a/>");  // Only a leading '<' makes XML.
  blank.Write(blank_buffer);
  EXPECT_EQ(blank.BlockId(), "##TX");
}

TEST(Tx4Block, ReadStopsAtZeroAndSkipsTheRest) {
  auto bytes = TxBlockBytes("##TX", 40, std::string("ab") + std::string(14, '\0'));
  bytes.insert(bytes.end(), {'n', 'e', 'x', 't'});
  MemoryBuffer buffer(bytes);
  Tx4Block block;
  block.Read(buffer);
  EXPECT_EQ(block.FullText(), "ab");
  EXPECT_EQ(buffer.Position(), 40);
  EXPECT_TRUE(block.IsTxBlock());

  // A text without zero byte is read to the end of its length.
  MemoryBuffer full(TxBlockBytes("##tx", 28, "wxyz"));
  Tx4Block unterminated;
  unterminated.Read(full);
  EXPECT_EQ(unterminated.FullText(), "wxyz");
  EXPECT_TRUE(unterminated.IsTxBlock());  // The id compares without case.
}

// A length below the header holds no text, whatever the case of the id: the block cannot be
// read, as any block shorter than its type.
TEST(Tx4Block, LengthBelowHeaderCannotBeRead) {
  for (const char* id : {"##TX", "##md"}) {
    SCOPED_TRACE(id);
    MemoryBuffer buffer(TxBlockBytes(id, 10, "garbage"));
    Tx4Block block;
    EXPECT_EQ(test::ThrownText([&] { block.Read(buffer); }),
              std::string("Block shorter than its type. Block: 0x0, Type: ") + (id + 2) + ", Length: 10, Expected: 24");
    EXPECT_EQ(block.FullText(), "");
  }
}

TEST(Tx4Block, ShortDisplayText) {
  const std::string t39(39, 'a');
  const std::string t40(40, 'b');
  const std::string t41(41, 'c');
  EXPECT_EQ(Tx4Block(t39).Text(), t39);
  EXPECT_EQ(Tx4Block(t40).Text(), t40 + " ...");
  EXPECT_EQ(Tx4Block(t41).Text(), std::string(40, 'c') + " ...");
  EXPECT_EQ(Tx4Block("  padded \n").Text(), "padded");

  // A cut never splits a multi-byte character: the 2-byte "ä" at bytes 39-40 is left out.
  const std::string umlaut = std::string(39, 'x') + "\xC3\xA4" + "yz";
  EXPECT_EQ(ShortenText(umlaut, 40), std::string(39, 'x') + " ...");
}

TEST(Tx3Block, WriteAndRead) {
  MemoryBuffer buffer(std::string(3, 'x'));
  Tx3Block block("abc");
  EXPECT_EQ(block.Write(buffer), 8U);
  EXPECT_EQ(block.FilePosition(), 3);  // MDF3 blocks are not aligned.
  const std::vector<uint8_t> expected = Bytes().Raw("xxx").Raw("TX").U16(8).Raw("abc").Zeros(1);
  EXPECT_EQ(buffer.Bytes(), expected);

  MemoryBuffer padded(Bytes().Raw("TX").U16(20).Raw("  word").Zeros(10).Raw("next"));
  Tx3Block read;
  EXPECT_EQ(read.Read(padded), 20U);
  EXPECT_EQ(read.Text(), "word");
  EXPECT_EQ(padded.Position(), 20);

  MemoryBuffer full(Bytes().Raw("TX").U16(9).Raw("fills"));
  Tx3Block unterminated;
  unterminated.Read(full);
  EXPECT_EQ(unterminated.Text(), "fills");
}

TEST(Tx3Block, DamagedOrOversizedBlocks) {
  test::LogCapture log;
  MemoryBuffer tiny(Bytes().Raw("TX").U16(2).Raw("zz"));
  Tx3Block block;
  EXPECT_NO_THROW(block.Read(tiny));
  EXPECT_EQ(block.Text(), "");
  EXPECT_TRUE(log.Contains("Text block shorter than its header"));

  // 65,530 bytes is the most a 16-bit size can hold; one more is refused unwritten.
  MemoryBuffer buffer(std::string(64, '\0'));
  Tx3Block largest(std::string(65530, 'a'));
  EXPECT_EQ(largest.Write(buffer), 65535U);
  // A text cut off by the end of the stream is a read error, as a cut-off number is.
  test::ExpectEveryTruncationThrows(
      Bytes().Raw("TX").U16(8).Raw("abc").Zeros(1), [](MemoryBuffer& cut) { Tx3Block().Read(cut); },
      "Invalid number of bytes read");

  MemoryBuffer refused;
  Tx3Block too_long(std::string(65531, 'a'));
  EXPECT_THROW(too_long.Write(refused), std::runtime_error);
  EXPECT_TRUE(refused.Bytes().empty());
}

TEST(Tx3Block, BigEndianSizeFollowsTheParent) {
  // A big-endian parent's text block reads its size swapped.
  class Parent : public MdfBlock {
   public:
    Parent() { byte_order_ = 1; }
    size_t Read(std::streambuf&) override { return 0; }
  } parent;
  MemoryBuffer buffer(Bytes().Raw("TX").U16Be(7).Raw("hi").Zeros(1));
  Tx3Block block;
  block.AttachToParent(&parent);
  block.Read(buffer);
  EXPECT_EQ(block.Text(), "hi");
}

// A block whose byte order the tests choose.
class ValueBlock : public MdfBlock {
 public:
  explicit ValueBlock(uint16_t byte_order) { byte_order_ = byte_order; }
  size_t Read(std::streambuf&) override { return 0; }
};

TEST(NumberTemplates, DoubleAndInt16InBothByteOrders) {
  ValueBlock big(1);
  ValueBlock little(0);
  MemoryBuffer be;
  EXPECT_EQ(big.WriteValue(be, 1.0), 8U);
  EXPECT_EQ(be.Bytes(), std::vector<uint8_t>({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
  MemoryBuffer le;
  little.WriteValue(le, 1.0);
  EXPECT_EQ(le.Bytes(), std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));

  MemoryBuffer be16;
  EXPECT_EQ(big.WriteValue(be16, static_cast<int16_t>(-300)), 2U);
  EXPECT_EQ(be16.Bytes(), std::vector<uint8_t>({0xFE, 0xD4}));

  be.pubseekpos(0);
  be16.pubseekpos(0);
  double d = 0;
  int16_t i = 0;
  big.ReadValue(be, d);
  big.ReadValue(be16, i);
  EXPECT_EQ(d, 1.0);
  EXPECT_EQ(i, -300);

  MemoryBuffer short_input(std::string(7, '\0'));
  EXPECT_THROW(big.ReadValue(short_input, d), std::ios_base::failure);
  MemoryBuffer full;
  full.SetCapacity(1);
  try {
    big.WriteValue(full, i);
    ADD_FAILURE() << "short write not reported";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Invalid number of bytes written");
  }
}

}  // namespace
