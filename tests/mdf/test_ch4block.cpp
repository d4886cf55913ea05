// The channel hierarchy block: layout of new blocks, children written before their parent,
// reading child trees from hand-made files, and element resolution by kind.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ch4block.h"
#include "support/fakechannel.h"
#include "support/fakegroups.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/thrown.h"

using mdf::HierarchyElement;
using mdf::detail::Ch4Block;
using mdf::detail::MdfBlock;
using test::Bytes;
using test::MemoryBuffer;

namespace {

// A stand-in of a block kind at a file position, found through the lookup as a block.
template <typename Fake>
class Placed : public MdfBlock, public Fake {
 public:
  explicit Placed(int64_t position) { file_position_ = position; }
  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return "XX"; }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }
  size_t Read(std::streambuf&) override { return 0; }
};

using PlacedDataGroup = Placed<test::FakeDataGroup>;
using PlacedChannelGroup = Placed<test::FakeChannelGroup>;
using PlacedChannel = Placed<test::FakeChannel>;

Bytes ChBlock(std::vector<uint64_t> links, uint32_t elements, uint8_t type = 0) {
  Bytes block;
  block.Raw("##CH").Zeros(4).U64(24 + 8 * links.size() + 8).U64(links.size());
  for (const auto link : links) block.U64(link);
  block.U32(elements).U8(type).Zeros(3);
  return block;
}

using test::Concat;

TEST(Ch4Block, NewBlockLayout) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Ch4Block empty;
  EXPECT_EQ(empty.Write(buffer), 64U);
  EXPECT_EQ(buffer.Bytes(), Concat({Bytes().Zeros(64), ChBlock({0, 0, 0, 0}, 0)}));

  PlacedDataGroup data_group(0x100);
  PlacedChannelGroup channel_group(0x200);
  PlacedChannel channel(0x300);
  Ch4Block hierarchy;
  hierarchy.Type(3);
  hierarchy.AddElement({&data_group, &channel_group, &channel});
  hierarchy.AddElement({&data_group, nullptr, nullptr});
  EXPECT_EQ(hierarchy.Write(buffer), 112U);
  EXPECT_EQ(hierarchy.Links(), (std::vector<int64_t>{0, 0, 0, 0, 0x100, 0x200, 0x300, 0x100, 0, 0}));
  EXPECT_EQ(hierarchy.ElementCount(), 2U);
  EXPECT_EQ(hierarchy.Write(buffer), 112U);  // Not rewritten.
  EXPECT_EQ(buffer.Bytes().size(), 128U + 112U);
}

TEST(Ch4Block, ChildrenAreWrittenFirstAndChained) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Ch4Block parent;
  parent.Name("Top");
  auto* first = dynamic_cast<Ch4Block*>(parent.CreateChannelHierarchy());
  auto* second = dynamic_cast<Ch4Block*>(parent.CreateChannelHierarchy());
  first->Name("A");
  parent.Write(buffer);

  EXPECT_LT(first->FilePosition(), second->FilePosition());
  EXPECT_LT(second->FilePosition(), parent.FilePosition());
  EXPECT_EQ(parent.Link(1), first->FilePosition());
  EXPECT_EQ(first->Link(0), second->FilePosition());
  EXPECT_GT(first->Link(2), 0);  // Its name.

  // A child added later is appended and linked in the file; a block added below an
  // already-written child is not written (only new children of this block are visited).
  auto* third = dynamic_cast<Ch4Block*>(parent.CreateChannelHierarchy());
  auto* below_first = dynamic_cast<Ch4Block*>(first->CreateChannelHierarchy());
  parent.Write(buffer);
  EXPECT_GT(third->FilePosition(), parent.FilePosition());
  EXPECT_EQ(below_first->FilePosition(), 0);

  buffer.pubseekpos(second->FilePosition());
  Ch4Block reread_second;
  // Read as a plain block: its link 0 in the file now points at the third child.
  reread_second.Read(buffer);
  EXPECT_EQ(reread_second.Link(0), third->FilePosition());
}

TEST(Ch4Block, ReadsTheChildTree) {
  // 64: top (child 0x80), 0x80: child A (next 0xC0, child 0x100), 0xC0: child B,
  // 0x100: grandchild whose next link points back at A (a cycle).
  MemoryBuffer buffer(Concat({Bytes().Zeros(64), ChBlock({0, 0x80, 0, 0}, 0, 1), ChBlock({0xC0, 0x100, 0, 0}, 0),
                              ChBlock({0, 0, 0, 0}, 0), ChBlock({0x80, 0, 0, 0}, 0)}));
  test::LogCapture log;
  buffer.pubseekpos(64);
  Ch4Block top;
  EXPECT_EQ(top.Read(buffer), 64U);
  EXPECT_EQ(top.Type(), 1);
  ASSERT_EQ(top.Children().size(), 2U);
  EXPECT_EQ(top.Children()[0]->FilePosition(), 0x80);
  EXPECT_EQ(top.Children()[1]->FilePosition(), 0xC0);
  ASSERT_EQ(top.Children()[0]->Children().size(), 1U);
  EXPECT_TRUE(log.Contains("Stopped reading a cyclic block chain. Position: 0x80"));
  EXPECT_EQ(top.FindByPosition(0x100), top.Children()[0]->Children()[0].get());
  EXPECT_EQ(top.ChannelHierarchies().size(), 2U);

  // A single-link block has its fields where its links should be: it cannot be read. A child
  // link to another kind ends the chain.
  MemoryBuffer single(Concat({Bytes().Zeros(64), ChBlock({0x80}, 0), ChBlock({0, 0, 0, 0}, 0)}));
  single.pubseekpos(64);
  Ch4Block lone;
  EXPECT_EQ(test::ThrownText([&] { lone.Read(single); }),
            "Block with fewer links than its type. Block: 0x40, Type: CH, Links: 1, Expected: 4");
  EXPECT_TRUE(lone.Children().empty());

  MemoryBuffer wrong(Concat(
      {Bytes().Zeros(64), ChBlock({0, 0x80, 0, 0}, 0), Bytes().Raw("##EV").Zeros(4).U64(96).U64(5).Zeros(72).Data()}));
  wrong.pubseekpos(64);
  Ch4Block parent;
  parent.Read(wrong);
  EXPECT_TRUE(parent.Children().empty());
  EXPECT_TRUE(log.Contains("Unexpected block type. Expected: ##CH, Found: ##EV"));
}

TEST(Ch4Block, ResolvesElementsByKind) {
  // Three elements claimed, two triples present; the second CN link points at a CG.
  MemoryBuffer buffer(ChBlock({0, 0, 0, 0, 0x100, 0x200, 0x300, 0x100, 0x200, 0x200}, 3).Data());
  Ch4Block hierarchy;
  hierarchy.Read(buffer);
  PlacedDataGroup data_group(0x100);
  PlacedChannelGroup channel_group(0x200);
  PlacedChannel channel(0x300);
  const std::map<int64_t, MdfBlock*> blocks = {{0x100, &data_group}, {0x200, &channel_group}, {0x300, &channel}};
  const auto find = [&blocks](int64_t position) -> MdfBlock* {
    const auto found = blocks.find(position);
    return found != blocks.end() ? found->second : nullptr;
  };
  hierarchy.ResolveReferences(find);
  ASSERT_EQ(hierarchy.Elements().size(), 2U);
  EXPECT_EQ(hierarchy.Elements()[0].data_group, &data_group);
  EXPECT_EQ(hierarchy.Elements()[0].channel_group, &channel_group);
  EXPECT_EQ(hierarchy.Elements()[0].channel, &channel);
  EXPECT_EQ(hierarchy.Elements()[1].data_group, &data_group);
  EXPECT_EQ(hierarchy.Elements()[1].channel_group, &channel_group);
  EXPECT_EQ(hierarchy.Elements()[1].channel, nullptr);

  hierarchy.ResolveReferences(find);  // Rebuilt, not appended.
  EXPECT_EQ(hierarchy.Elements().size(), 2U);
}

}  // namespace
