// The pieces every MDF 3 block shares: 16-bit fields that refuse to wrap, text fields that
// must lie whole in the stream, counts kept inside their block.
#include <gtest/gtest.h>

#include <string>

#include "mdf3block.h"
#include "support/logcapture.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"
#include "support/thrown.h"

using mdf::detail::EntriesInBlock;
using mdf::detail::Mdf3Field16;
using mdf::detail::MdfBlock;
using mdf::detail::ReadMdf3Text;
using test::MemoryBuffer;
using test::ThrownText;

namespace {

class AnyBlock : public MdfBlock {
 public:
  size_t Read(std::streambuf& buffer) override { return ReadMdf3Header(buffer); }
};

TEST(Mdf3Block, SixteenBitFieldsRefuseToWrap) {
  EXPECT_EQ(Mdf3Field16(65535, "Size"), 65535);
  EXPECT_EQ(ThrownText<std::runtime_error>([] { Mdf3Field16(65536, "Size"); }), "Size does not fit an MDF 3 block");
}

TEST(Mdf3Block, TextFieldMustLieWholeInTheStream) {
  MemoryBuffer whole(test::Bytes().Raw(" ab").Zeros(2).Raw("x"));
  std::string text;
  EXPECT_EQ(ReadMdf3Text(whole, text, 5), 5U);
  EXPECT_EQ(text, "ab");
  EXPECT_EQ(whole.Position(), 5);

  MemoryBuffer cut(test::Bytes().Raw("abc"));
  EXPECT_EQ(ThrownText([&] { ReadMdf3Text(cut, text, 4); }), "Invalid number of bytes read");
  EXPECT_EQ(text, "");
}

TEST(Mdf3Block, CountsStayInsideTheirBlock) {
  MemoryBuffer buffer(test::Mdf3Bytes(false).Header("CD", 20).Zeros(16));
  AnyBlock block;
  block.Read(buffer);
  test::LogCapture log;
  EXPECT_EQ(EntriesInBlock(block, 8, 1, 12), 1U);
  EXPECT_FALSE(log.Contains("Count exceeds its block"));
  EXPECT_EQ(EntriesInBlock(block, 8, 2, 12), 1U);
  EXPECT_TRUE(log.Contains("Count exceeds its block. Block: CD at 0x0, Count: 2, Fits: 1"));
  EXPECT_EQ(EntriesInBlock(block, 30, 3, 12), 0U);  // read past a damaged size: no room
}

}  // namespace
