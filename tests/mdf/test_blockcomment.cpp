// Loading, storing, converting and showing a block's comment and linked texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "md4block.h"
#include "mdf/imetadata.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "tx4block.h"

using mdf::detail::Md4Block;
using mdf::detail::MdfBlock;
using mdf::detail::Tx4Block;
using test::Bytes;
using test::MemoryBuffer;

namespace {

class TestBlock : public MdfBlock {
 public:
  explicit TestBlock(std::string id, std::vector<int64_t> links = {}) {
    block_id_ = std::move(id);
    link_list_ = std::move(links);
    block_length_ = 24 + 8 * link_list_.size();
  }
  size_t Read(std::streambuf&) override { return 0; }
  void SetComment(std::unique_ptr<MdfBlock> comment) { comment_ = std::move(comment); }
  void SetByteOrder(uint16_t order) { byte_order_ = order; }
};

// 64 filler bytes (the ID block's place), then a text block at 64.
std::vector<uint8_t> FileWithText(const std::string& id, const std::string& text) {
  return test::FileImage(Bytes().Zeros(64)).Place(64, test::Block(id, {}, Bytes().Raw(text).Zeros(1))).Data();
}

TEST(BlockComment, MakeMetaDataCreatesOrConverts) {
  TestBlock header("##HD", {0});
  mdf::IMetaData* metadata = header.MakeMetaData();
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(metadata->BlockType(), "MD");
  EXPECT_EQ(metadata->XmlText(), "<HDcomment/>\n");
  EXPECT_EQ(header.MakeMetaData(), metadata);  // An MD comment is kept.
  EXPECT_EQ(header.MetaDataInterface(), metadata);
  EXPECT_EQ(header.Link(0), 0);  // Not in the file until stored.
  EXPECT_TRUE(metadata->SetElementValue("author", "me"));
  EXPECT_EQ(metadata->XmlText(), "<HDcomment>\n  <author>me</author>\n</HDcomment>\n");

  // A TX comment read from the file becomes the "TX" element.
  MemoryBuffer buffer(FileWithText("##TX", "  a TX comment  "));
  TestBlock channel("##CN", {64});
  channel.LoadMdComment(buffer, 0);
  ASSERT_NE(channel.Comment(), nullptr);
  EXPECT_EQ(channel.Comment()->BlockType(), "TX");
  EXPECT_EQ(channel.MetaDataInterface(), nullptr);
  const mdf::IMetaData* converted = channel.MakeMetaData();
  EXPECT_EQ(converted->XmlText(), "<CNcomment>\n  <TX>a TX comment</TX>\n</CNcomment>\n");
  EXPECT_EQ(channel.CommentText(), "a TX comment");

  // A comment of an unknown kind is dropped.
  TestBlock group("##CG");
  group.SetComment(std::make_unique<TestBlock>("##XX"));
  EXPECT_EQ(group.MakeMetaData()->XmlText(), "<CGcomment/>\n");
}

TEST(BlockComment, LoadedCommentIsAlwaysAnMdBlock) {
  MemoryBuffer buffer(FileWithText("##MD", "<CGcomment><TX>hello</TX></CGcomment>"));
  TestBlock group("##CG", {0, 64});
  group.LoadMdComment(buffer, 0);  // Link 0: nothing.
  EXPECT_EQ(group.Comment(), nullptr);
  group.LoadMdComment(buffer, 5);  // Beyond the links: nothing.
  EXPECT_EQ(group.Comment(), nullptr);
  group.LoadMdComment(buffer, 1);
  ASSERT_NE(group.CommentAsMd4(), nullptr);
  EXPECT_EQ(group.Comment()->Parent(), &group);
  EXPECT_EQ(group.MetaDataInterface()->ElementValue("TX"), "hello");
  EXPECT_EQ(group.FindByPosition(64), group.Comment());

  // A loaded comment stays; a second load reads nothing.
  MdfBlock* first = group.Comment();
  group.LoadMdComment(buffer, 1);
  EXPECT_EQ(group.Comment(), first);
}

TEST(BlockComment, DamagedCommentLeavesNoBlock) {
  auto bytes = FileWithText("##MD", "<x/>");
  bytes.resize(64 + 12);  // Cut inside the header.
  MemoryBuffer buffer(bytes);
  TestBlock group("##CG", {64});
  EXPECT_THROW(group.LoadMdComment(buffer, 0), std::ios_base::failure);
  EXPECT_EQ(group.Comment(), nullptr);
}

TEST(BlockComment, LoadTexts) {
  MemoryBuffer buffer(FileWithText("##TX", " name \n"));
  TestBlock block("##SI", {64, 0});
  buffer.pubseekpos(7);
  EXPECT_EQ(block.LoadTx4Text(buffer, 1), "");
  EXPECT_EQ(block.LoadTx4Text(buffer, 9), "");
  EXPECT_EQ(buffer.Position(), 7);  // A missing link does not touch the stream.
  EXPECT_EQ(block.LoadTx4Text(buffer, 0), "name");

  // MDF3: 32-bit links, big-endian size in a big-endian file.
  MemoryBuffer mdf3(Bytes().Zeros(10).Raw("TX").U16Be(11).Raw("  x3  ").Zeros(1));
  TestBlock channel("CN", {10});
  channel.SetByteOrder(1);
  EXPECT_EQ(channel.LoadTx3Text(mdf3, 0), "x3");
  EXPECT_EQ(channel.LoadTx3Text(mdf3, 1), "");
}

TEST(BlockComment, StoreTextWritesBeforeTheBlockAndLinksIt) {
  MemoryBuffer buffer(std::string(64, '\0'));
  TestBlock block("##SI", {0, 0});
  block.StoreTx4Text(buffer, 0, "");  // An empty text writes nothing.
  EXPECT_EQ(buffer.Bytes().size(), 64U);
  EXPECT_EQ(block.Link(0), 0);
  block.StoreTx4Text(buffer, 1, "ab");
  EXPECT_EQ(block.Link(1), 64);
  EXPECT_EQ(buffer.Bytes(), FileWithText("##TX", "ab"));

  // Once the block is written, its link is patched in place.
  block.Write(buffer);
  ASSERT_EQ(block.FilePosition(), 96);
  block.StoreTx4Text(buffer, 0, "c");
  auto expected = FileWithText("##TX", "ab");
  expected.resize(96);
  const std::vector<uint8_t> tail =
      Bytes().Raw("##SI").Zeros(4).U64(40).U64(2).U64(136).U64(64).Raw("##TX").Zeros(4).U64(26).U64(0).Raw("c").Zeros(
          1);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(buffer.Bytes(), expected);

  // A link already set keeps its block.
  block.StoreTx4Text(buffer, 0, "other");
  EXPECT_EQ(buffer.Bytes(), expected);
}

TEST(BlockComment, StoreCommentOnlyWhileTheLinkIsZero) {
  MemoryBuffer buffer(std::string(64, '\0'));
  TestBlock block("##FH", {0, 0});
  block.StoreMdComment(buffer, 1);  // No comment: nothing.
  EXPECT_EQ(buffer.Bytes().size(), 64U);

  block.AssignMdComment("<FHcomment/>");
  EXPECT_EQ(block.Comment()->Parent(), &block);
  block.StoreMdComment(buffer, 1);
  EXPECT_EQ(block.Link(1), 64);
  EXPECT_EQ(buffer.Bytes(), FileWithText("##MD", "<FHcomment/>"));

  block.AssignMdComment("replaced");
  block.StoreMdComment(buffer, 1);  // The link is set: the new comment is not written.
  EXPECT_EQ(buffer.Bytes(), FileWithText("##MD", "<FHcomment/>"));
  EXPECT_EQ(block.Link(1), 64);
}

TEST(BlockComment, IndexBeyondTheLinksIsRefusedUnwritten) {
  MemoryBuffer buffer(std::string(64, '\0'));
  TestBlock block("##CN", {0});
  block.AssignMdComment("text");
  EXPECT_THROW(block.StoreMdComment(buffer, 3), std::runtime_error);
  EXPECT_THROW(block.StoreTx4Text(buffer, 1, "abc"), std::runtime_error);
  EXPECT_EQ(buffer.Bytes().size(), 64U);
  EXPECT_EQ(block.Comment()->FilePosition(), 0);
}

TEST(BlockComment, DisplayAndRawTexts) {
  TestBlock block("##CN");
  EXPECT_EQ(block.CommentText(), "");
  EXPECT_EQ(block.RawComment(), "");

  const std::string long_text(45, 'x');
  block.SetComment(std::make_unique<Tx4Block>("  " + long_text));
  EXPECT_EQ(block.CommentText(), std::string(40, 'x') + " ...");
  EXPECT_EQ(block.RawComment(), long_text);  // A TX block's whole text.
  EXPECT_EQ(block.CommentAsMd4(), nullptr);
  EXPECT_EQ(block.MetaDataInterface(), nullptr);

  // An MD comment gives its display text in both.
  block.AssignMdComment("<CNcomment><TX>" + long_text + "</TX></CNcomment>");
  EXPECT_EQ(block.CommentText(), std::string(40, 'x') + " ...");
  EXPECT_EQ(block.RawComment(), std::string(40, 'x') + " ...");
  block.AssignMdComment("plain");
  EXPECT_EQ(block.RawComment(), "plain");
  EXPECT_EQ(block.CommentText(), "plain");
}

}  // namespace
