// The source information block: layout, texts written first, display rows, description.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/imetadata.h"
#include "si4block.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using mdf::detail::Si4Block;
using test::Bytes;
using test::MemoryBuffer;
using test::RowValue;

namespace {

TEST(Si4Block, DefaultBlock) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Si4Block block;
  EXPECT_EQ(block.Write(buffer), 56U);
  EXPECT_EQ(buffer.Bytes(), Bytes().Zeros(64).Raw("##SI").Zeros(4).U64(56).U64(3).Zeros(24).Zeros(8).Data());
  EXPECT_EQ(block.Write(buffer), 56U);  // Once only.
  EXPECT_EQ(buffer.Bytes().size(), 120U);
}

TEST(Si4Block, NameWithoutPath) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Si4Block block;
  block.Name("CAN1");
  block.Type(2);
  block.Bus(2);
  block.Flags(1);
  block.Write(buffer);
  const std::vector<uint8_t> expected = Bytes()
                                            .Zeros(64)
                                            .Raw("##TX")
                                            .Zeros(4)
                                            .U64(29)
                                            .U64(0)
                                            .Raw("CAN1")
                                            .Zeros(1)
                                            .Zeros(3)
                                            .Raw("##SI")
                                            .Zeros(4)
                                            .U64(56)
                                            .U64(3)
                                            .U64(64)
                                            .U64(0)
                                            .U64(0)
                                            .U8(2)
                                            .U8(2)
                                            .U8(1)
                                            .Zeros(5);
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(block.FilePosition(), 96);

  // And back.
  buffer.pubseekpos(96);
  Si4Block read;
  EXPECT_EQ(read.Read(buffer), 56U);
  EXPECT_EQ(read.Name(), "CAN1");
  EXPECT_EQ(read.Path(), "");
  EXPECT_EQ(read.Type(), 2);
  EXPECT_EQ(read.Bus(), 2);
  EXPECT_EQ(read.Flags(), 1);
  EXPECT_EQ(read.MetaDataInterface(), nullptr);
}

TEST(Si4Block, DisplayTexts) {
  const struct {
    uint8_t type;
    uint8_t bus;
    uint8_t flags;
    std::vector<std::pair<std::string, std::string>> rows;
  } cases[] = {
      {7, 0, 2, {{"Source Type", "Unknown"}, {"Bus Type", ""}, {"Flags", ""}, {"Name TX", "0x0"}}},
      {3, 2, 1, {{"Source Type", "I/O"}, {"Bus Type", "CAN"}, {"Flags", "Simulated"}}},
  };
  Si4Block block;
  for (const auto& c : cases) {
    block.Type(c.type);
    block.Bus(c.bus);
    block.Flags(c.flags);
    test::ExpectRowValues(test::Rows(block), c.rows);
  }
}

TEST(Si4Block, DescriptionRoundTrip) {
  Si4Block block;
  EXPECT_EQ(block.Description(), "");
  block.Description("bus source");
  EXPECT_EQ(block.Description(), "bus source");
  EXPECT_EQ(block.MetaDataInterface()->XmlText(), "<SIcomment>\n  <TX>bus source</TX>\n</SIcomment>\n");

  // A plain-text comment is no description, until it is converted by setting one.
  Si4Block plain;
  plain.AssignMdComment("plain");
  EXPECT_EQ(plain.Description(), "");
  plain.Description("new");
  EXPECT_EQ(plain.Description(), "new");

  // The comment is written before the block and linked.
  MemoryBuffer buffer(std::string(64, '\0'));
  block.Write(buffer);
  EXPECT_EQ(block.Link(2), 64);
  buffer.pubseekpos(block.FilePosition());
  Si4Block read;
  read.Read(buffer);
  EXPECT_EQ(read.Description(), "bus source");
}

}  // namespace
