// The channel block: layout, reading every optional link, writing once, record layout
// preparation, property side effects, compositions (also damaged ones), display rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "at4block.h"
#include "cc4block.h"
#include "cn4block.h"
#include "mdf/ichannelarray.h"
#include "mdf/ichannelconversion.h"
#include "mdf/imetadata.h"
#include "mdf/isourceinformation.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using mdf::detail::At4Block;
using mdf::detail::Cn4Block;
using namespace test;  // the test kit

namespace {

// A channel with every optional link: a member channel, name, source, conversion, signal
// data, unit, comment, two attachments and the default X links.
std::vector<uint8_t> FullChannelImage() {
  CnFields cn;
  cn.links = {0x4000, 264, 424, 456, 512, 608, 640, 672, 776, 872, 0x1000, 0x2000, 0x3000};
  cn.type = 0;
  cn.sync = 0;
  cn.data_type = 3;
  cn.bit_offset = 5;
  cn.byte_offset = 0x01020304;
  cn.bit_count = 12;
  cn.flags = 0x140E;  // invalid, decimal, range, bus event, default X
  cn.invalid_bit = 0x0A0B0C0D;
  cn.precision = 3;
  cn.nof_attachments = 2;
  cn.limits = {1.5, 2.5, -3.0, 4.0, 5e10, -6e-3};
  const Bytes source = Bytes().Raw("##SI").Zeros(4).U64(56).U64(3).Zeros(24).U8(2).U8(2).U8(0).Zeros(5);
  const Bytes conversion = Bytes()
                               .Raw("##CC")
                               .Zeros(4)
                               .U64(96)
                               .U64(4)
                               .Zeros(32)
                               .U8(1)
                               .U8(0)
                               .U16(0)
                               .U16(0)
                               .U16(2)
                               .U64(0)
                               .U64(0)
                               .U64(test::DoubleBits(10.0))
                               .U64(test::DoubleBits(0.5));
  return FileImage()
      .Place(64, ChannelBlock(cn))
      .Place(264, test::MemberChannel(0, 744))
      .Place(424, TextBlock("Speed"))
      .Place(456, source)
      .Place(512, conversion)
      .Place(608, test::PlainBlock("##SD", {4, 0, 0, 0, 1, 2, 3, 4}))
      .Place(640, TextBlock("km/h"))
      .Place(672, test::MetaBlock("<CNcomment><TX>Vehicle speed</TX></CNcomment>"))
      .Place(744, TextBlock("member"))
      .Place(776, test::AttachmentBlock())
      .Place(872, test::AttachmentBlock())
      .Data();
}

TEST(Cn4Block, NewChannelGoldenBytes) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Cn4Block channel;
  EXPECT_EQ(channel.Write(buffer), 160u);
  const std::vector<uint8_t> expected = Bytes().Zeros(64).Raw("##CN").Zeros(4).U64(160).U64(8).Zeros(64).Zeros(72);
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(channel.FilePosition(), 64);

  // Once in the file, the block is never written again.
  EXPECT_EQ(channel.Write(buffer), 160u);
  EXPECT_EQ(buffer.Bytes().size(), expected.size());
}

TEST(Cn4Block, ReadsEveryLinkAndField) {
  MemoryBuffer buffer(FullChannelImage());
  TestHeader header;
  const auto& first = header.ReadAt<At4Block>(buffer, 776);
  const auto& second = header.ReadAt<At4Block>(buffer, 872);
  auto& channel = header.ReadAt<Cn4Block>(buffer, 64);

  EXPECT_EQ(channel.BlockLength(), 200u);
  EXPECT_EQ(channel.Name(), "Speed");
  EXPECT_EQ(channel.Unit(), "km/h");
  EXPECT_EQ(channel.Description(), "Vehicle speed");
  EXPECT_EQ(channel.ChannelType(), 0);
  EXPECT_EQ(channel.SyncType(), 0);
  EXPECT_EQ(channel.DataType(), 3);
  EXPECT_EQ(channel.BitOffset(), 5);
  EXPECT_EQ(channel.ByteOffset(), 0x01020304u);
  EXPECT_EQ(channel.BitCount(), 12u);
  EXPECT_EQ(channel.Flags(), 0x140Eu);
  EXPECT_EQ(channel.InvalidationBitPosition(), 0x0A0B0C0Du);
  EXPECT_EQ(channel.Decimals(), 3);
  EXPECT_TRUE(channel.IsDecimalUsed());
  EXPECT_TRUE(channel.IsUnitValid());
  ASSERT_TRUE(channel.Range().has_value());
  EXPECT_EQ(*channel.Range(), std::make_pair(1.5, 2.5));
  EXPECT_FALSE(channel.Limit().has_value());
  EXPECT_FALSE(channel.ExtLimit().has_value());

  ASSERT_NE(channel.SourceInformation(), nullptr);
  EXPECT_EQ(channel.SourceInformation()->Type(), 2);
  EXPECT_EQ(channel.SourceInformation()->Bus(), 2);
  ASSERT_NE(channel.ChannelConversion(), nullptr);
  EXPECT_EQ(channel.ChannelConversion()->Type(), 1);
  EXPECT_EQ(channel.ChannelConversion()->ChannelDataType(), 3) << "the conversion knows its channel's type";

  EXPECT_EQ(channel.DataLink(), 608);
  ASSERT_EQ(channel.DataBlockList().size(), 1u);
  EXPECT_EQ(channel.DataBlockList()[0]->BlockType(), "SD");

  ASSERT_EQ(channel.Attachments().size(), 2u);
  EXPECT_EQ(channel.Attachments()[0], &first);
  EXPECT_EQ(channel.Attachments()[1], &second);
  EXPECT_EQ(channel.DefaultXLinks(), (std::vector<int64_t>{0x1000, 0x2000, 0x3000}));

  const auto members = channel.ChannelCompositions();
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0]->Name(), "member");
  EXPECT_EQ(channel.ChannelArray(), nullptr);

  EXPECT_EQ(channel.FindByPosition(456)->BlockType(), "SI");
  EXPECT_EQ(channel.FindByPosition(512)->BlockType(), "CC");
  EXPECT_EQ(channel.FindByPosition(640)->BlockType(), "TX");
  EXPECT_EQ(channel.FindByPosition(264), dynamic_cast<Cn4Block*>(members[0]));
  EXPECT_EQ(channel.FindByPosition(608)->BlockType(), "SD");
  EXPECT_EQ(channel.FindByPosition(672)->BlockType(), "MD");
}

TEST(Cn4Block, AttachmentsWithoutHeaderOrOfAnotherTypeAreSkipped) {
  // A third channel at 1024 whose second attachment link names the member channel.
  CnFields cn;
  cn.links = {0, 0, 0, 0, 0, 0, 0, 0, 776, 264};
  cn.nof_attachments = 2;
  std::vector<uint8_t> image = FullChannelImage();
  image.resize(1024, 0);
  const std::vector<uint8_t> extra = ChannelBlock(cn);
  image.insert(image.end(), extra.begin(), extra.end());
  MemoryBuffer buffer(image);

  Cn4Block orphan;  // no header to resolve the links
  mdf::detail::SetStreamPosition(buffer, 64);
  orphan.Read(buffer);
  EXPECT_TRUE(orphan.Attachments().empty());

  TestHeader header;
  header.ReadAt<At4Block>(buffer, 776);
  header.ReadAt<Cn4Block>(buffer, 264);
  auto& channel = header.ReadAt<Cn4Block>(buffer, 1024);
  ASSERT_EQ(channel.Attachments().size(), 1u);
  EXPECT_EQ(channel.Attachments()[0]->FilePosition(), 776);

  // A count far beyond the links: only the one link there is gets looked up.
  CnFields damaged;
  damaged.links = {0, 0, 0, 0, 0, 0, 0, 0, 776};
  damaged.nof_attachments = 65535;
  MemoryBuffer second(FileImage().Place(64, ChannelBlock(damaged)).Data());
  const size_t before = header.lookups;
  EXPECT_EQ(header.ReadAt<Cn4Block>(second, 64).Attachments().size(), 1u);
  EXPECT_EQ(header.lookups - before, 1u);
}

TEST(Cn4Block, WritesEveryFieldAfterItsChildren) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Cn4Block channel;
  channel.Name("Speed");
  channel.Unit("km/h");
  channel.ChannelType(4);
  channel.SyncType(1);
  channel.DataType(3);
  channel.BitOffset(0x105);  // only the low byte is stored
  channel.ByteOffset(0x01020304);
  channel.BitCount(12);
  channel.Flags(0x0002);
  channel.InvalidationBitPosition(9);
  channel.Decimals(3);
  channel.Range(1.5, 2.5);
  channel.Limit(-1.0, 1.0);
  channel.ExtLimit(-2.0, 2.0);
  channel.CreateSourceInformation()->Bus(2);
  channel.CreateChannelConversion()->SetType(1);
  channel.Description("Vehicle speed");

  const size_t length = channel.Write(buffer);
  EXPECT_EQ(length, 160u);
  const auto& bytes = buffer.Bytes();
  const auto header = HeaderAt(bytes, channel.FilePosition());
  EXPECT_EQ(header.id, "##CN");
  EXPECT_EQ(header.length, 160u);
  ASSERT_EQ(header.links.size(), 8u);
  EXPECT_EQ(header.links[0], 0);
  EXPECT_EQ(header.links[1], 0);
  EXPECT_EQ(HeaderAt(bytes, header.links[2]).id, "##TX");
  EXPECT_EQ(HeaderAt(bytes, header.links[3]).id, "##SI");
  EXPECT_EQ(HeaderAt(bytes, header.links[4]).id, "##CC");
  EXPECT_EQ(header.links[5], 0) << "the data link is set when the signal data is stored";
  EXPECT_EQ(HeaderAt(bytes, header.links[6]).id, "##TX");
  EXPECT_EQ(HeaderAt(bytes, header.links[7]).id, "##MD");
  for (size_t i = 2; i < 8; ++i) {
    if (i != 5) {
      EXPECT_LT(header.links[i], channel.FilePosition()) << "link " << i;
    }
  }
  EXPECT_EQ(channel.FilePosition() % 8, 0);

  const std::vector<uint8_t> data = Bytes()
                                        .U8(4)
                                        .U8(1)
                                        .U8(3)
                                        .U8(5)
                                        .U32(0x01020304)
                                        .U32(12)
                                        .U32(0x3E)
                                        .U32(9)
                                        .U8(3)
                                        .U8(0)
                                        .U16(0)
                                        .U64(test::DoubleBits(1.5))
                                        .U64(test::DoubleBits(2.5))
                                        .U64(test::DoubleBits(-1.0))
                                        .U64(test::DoubleBits(1.0))
                                        .U64(test::DoubleBits(-2.0))
                                        .U64(test::DoubleBits(2.0));
  const auto start = bytes.begin() + channel.FilePosition() + 24 + 64;
  EXPECT_EQ(std::vector<uint8_t>(start, start + 72), data);
  EXPECT_EQ(bytes.size(), static_cast<size_t>(channel.FilePosition()) + 160);
}

TEST(Cn4Block, AttachmentAndDefaultXLinks) {
  MemoryBuffer buffer(FileImage().Place(64, test::AttachmentBlock()).Place(160, test::AttachmentBlock()).Data());
  TestHeader header;
  auto& first = header.ReadAt<At4Block>(buffer, 64);
  auto& second = header.ReadAt<At4Block>(buffer, 160);

  Cn4Block channel;
  channel.AddAttachment(&first);
  channel.AddAttachment(&second);
  channel.AddAttachment(&first);   // already listed
  channel.AddAttachment(nullptr);  // ignored
  ASSERT_EQ(channel.Attachments().size(), 2u);
  channel.Flags(0x1000);

  EXPECT_EQ(channel.Write(buffer), 200u);
  const auto header_fields = HeaderAt(buffer.Bytes(), channel.FilePosition());
  EXPECT_EQ(header_fields.length, 200u);
  EXPECT_EQ(header_fields.links, (std::vector<int64_t>{0, 0, 0, 0, 0, 0, 0, 0, 64, 160, 0, 0, 0}));
  const size_t count_at = static_cast<size_t>(channel.FilePosition()) + 24 + 13 * 8 + 22;
  EXPECT_EQ(buffer.Bytes()[count_at], 2);
  EXPECT_EQ(channel.DefaultXLinks(), (std::vector<int64_t>{0, 0, 0}));

  const size_t size = buffer.Bytes().size();
  EXPECT_EQ(channel.Write(buffer), 200u);
  EXPECT_EQ(buffer.Bytes().size(), size);
}

struct PrepareCase {
  uint8_t type;
  uint8_t data_type;
  uint32_t bits;
  uint32_t flags;
  uint8_t expected_type;
  uint32_t expected_bits;
  uint32_t expected_flags;
};

TEST(Cn4Block, PrepareForWritingSettlesTheRecordLayout) {
  const std::vector<PrepareCase> cases = {
      {1, 6, 0, 0, 1, 64, 0},      // VLSD without size: a 64-bit offset
      {1, 0, 16, 0, 1, 16, 0},     // VLSD with a size keeps it
      {3, 0, 64, 2, 3, 0, 0},      // virtual master: no record bits, no invalidation bit
      {6, 4, 32, 2, 6, 0, 0},      // virtual data
      {2, 4, 48, 6, 2, 64, 4},     // master: invalidation bit cleared, then the float rule
      {2, 0, 16, 2, 2, 16, 0},     //
      {0, 0, 12, 0, 0, 64, 0},     // integers: 8, 16, 32 or 64
      {0, 1, 16, 0, 0, 16, 0},     //
      {0, 2, 0, 2, 0, 64, 2},      //
      {0, 4, 48, 0, 0, 64, 0},     // floats: 32 or 64
      {0, 5, 32, 0, 0, 32, 0},     //
      {0, 6, 0, 0, 1, 64, 0},      // a string without size becomes VLSD
      {0, 6, 80, 0, 0, 80, 0},     // a fixed-length string stays
      {0, 10, 0, 0, 1, 64, 0},     // so does a byte array
      {5, 10, 64, 0, 5, 64, 0},    // a maximum-length field keeps its size
      {0, 13, 8, 0, 0, 56, 0},     // CANopen date
      {0, 14, 0, 0, 0, 48, 0},     // CANopen time
      {0, 15, 64, 0, 0, 64, 0},    //
      {0, 16, 100, 0, 0, 128, 0},  //
      {0, 20, 0, 0, 0, 32, 0},     // unknown type without size: 4 bytes
      {0, 20, 8, 0, 0, 8, 0},      //
  };
  for (const auto& c : cases) {
    Cn4Block channel;
    channel.ChannelType(c.type);
    channel.DataType(c.data_type);
    channel.BitCount(c.bits);
    channel.Flags(c.flags);
    channel.BitOffset(3);
    channel.AppendVlsdData({1, 2, 3});
    channel.PrepareForWriting(17);
    const std::string label = "type " + std::to_string(c.type) + " data type " + std::to_string(c.data_type) +
                              " bits " + std::to_string(c.bits);
    EXPECT_EQ(channel.ChannelType(), c.expected_type) << label;
    EXPECT_EQ(channel.BitCount(), c.expected_bits) << label;
    EXPECT_EQ(channel.Flags(), c.expected_flags) << label;
    EXPECT_EQ(channel.ByteOffset(), 17u) << label;
    EXPECT_EQ(channel.BitOffset(), 0) << label;
    EXPECT_TRUE(channel.SignalData().empty()) << label;
  }
}

TEST(Cn4Block, PropertySideEffects) {
  Cn4Block channel;
  channel.DataType(13);
  EXPECT_EQ(channel.BitCount(), 56u);
  channel.DataType(14);
  EXPECT_EQ(channel.BitCount(), 48u);
  channel.BitCount(16);
  channel.DataType(0);
  EXPECT_EQ(channel.BitCount(), 16u) << "a sized number keeps its size";
  channel.BitCount(0);
  channel.DataType(2);
  EXPECT_EQ(channel.BitCount(), 32u);
  channel.BitCount(0);
  channel.DataType(7);
  EXPECT_EQ(channel.BitCount(), 0u);
  channel.BitCount(13);
  EXPECT_EQ(channel.DataBytes(), 2u);
  channel.DataBytes(3);
  EXPECT_EQ(channel.BitCount(), 24u);

  // Without the precision flag the decimals follow the size.
  channel.BitCount(32);
  EXPECT_EQ(channel.Decimals(), 9);
  channel.BitCount(64);
  EXPECT_EQ(channel.Decimals(), 17);
  channel.BitCount(8);
  EXPECT_EQ(channel.Decimals(), 17);
  channel.Decimals(4);
  EXPECT_EQ(channel.Decimals(), 4);
  EXPECT_EQ(channel.Flags(), 0x04u);

  EXPECT_FALSE(channel.Range().has_value());
  EXPECT_FALSE(channel.Limit().has_value());
  channel.Limit(-5.0, 5.0);
  EXPECT_EQ(channel.Limit(), std::make_optional(std::make_pair(-5.0, 5.0)));
  channel.ExtLimit(-6.0, 6.0);
  EXPECT_EQ(channel.Flags(), 0x34u);
  EXPECT_EQ(channel.DisplayName(), "");
  EXPECT_EQ(channel.SamplingRate(), 0.0);
}

TEST(Cn4Block, UnitPrecedence) {
  Cn4Block channel;
  EXPECT_FALSE(channel.IsUnitValid());
  EXPECT_EQ(channel.Unit(), "");
  channel.CreateChannelConversion()->SetUnit("km");
  EXPECT_EQ(channel.Unit(), "km") << "without sync type the conversion's unit";
  channel.SyncType(1);
  EXPECT_EQ(channel.Unit(), "s") << "a time channel is in seconds whatever its conversion says";
  channel.SyncType(2);
  EXPECT_EQ(channel.Unit(), "rad");
  channel.SyncType(3);
  EXPECT_EQ(channel.Unit(), "m");
  channel.SyncType(4);
  EXPECT_EQ(channel.Unit(), "km");
  channel.Unit("m/s");
  EXPECT_EQ(channel.Unit(), "m/s") << "the unit block comes first";
  EXPECT_TRUE(channel.IsUnitValid());
  channel.Unit("");
  EXPECT_FALSE(channel.IsUnitValid());

  // A channel read with a unit link keeps reporting a valid unit after the block is gone.
  MemoryBuffer buffer(FullChannelImage());
  TestHeader header;
  auto& read = header.ReadAt<Cn4Block>(buffer, 64);
  read.Unit("");
  EXPECT_TRUE(read.IsUnitValid());
  EXPECT_EQ(read.Unit(), "") << "the conversion of the image has no unit";
}

TEST(Cn4Block, DescriptionBecomesTheCommentsTextElement) {
  Cn4Block channel;
  channel.Description("first");
  EXPECT_EQ(channel.Description(), "first");
  ASSERT_NE(channel.MetaDataInterface(), nullptr);
  EXPECT_EQ(channel.MetaDataInterface()->ElementValue("TX"), "first");
  channel.Description("second");
  EXPECT_EQ(channel.MetaDataInterface()->ElementValue("TX"), "second");

  // A plain text comment read from a file becomes an MD comment.
  CnFields cn;
  cn.links[7] = 256;
  MemoryBuffer buffer(FileImage().Place(64, ChannelBlock(cn)).Place(256, TextBlock("old")).Data());
  TestHeader header;
  auto& read = header.ReadAt<Cn4Block>(buffer, 64);
  EXPECT_EQ(read.Description(), "old");
  read.Description("new");
  ASSERT_NE(read.MetaDataInterface(), nullptr);
  EXPECT_EQ(read.Description(), "new");
}

TEST(Cn4Block, CompositionChainRead) {
  CnFields cn;
  cn.links[1] = 256;
  MemoryBuffer buffer(FileImage()
                          .Place(64, ChannelBlock(cn))
                          .Place(256, test::MemberChannel(416, 736))
                          .Place(416, test::MemberChannel(576, 768))
                          .Place(576, test::MemberChannel(0, 800))
                          .Place(736, TextBlock("a"))
                          .Place(768, TextBlock("b"))
                          .Place(800, TextBlock("c"))
                          .Data());
  TestHeader header;
  auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
  const auto members = channel.ChannelCompositions();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0]->Name(), "a");
  EXPECT_EQ(members[1]->Name(), "b");
  EXPECT_EQ(members[2]->Name(), "c");
  EXPECT_EQ(members[2]->FilePosition(), 576);
  EXPECT_EQ(channel.FindByPosition(416), dynamic_cast<Cn4Block*>(members[1]));
}

TEST(Cn4Block, CompositionChainWrittenBeforeItsChannel) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Cn4Block channel;
  channel.Name("frame");
  // Named lookups create each member once.
  auto* id = channel.GetOrCreateChannelComposition("frame.ID");
  auto* dlc = channel.GetOrCreateChannelComposition(std::string("frame.DLC\0junk", 14));
  auto* data = channel.GetOrCreateChannelComposition("frame.Data");
  EXPECT_EQ(channel.GetOrCreateChannelComposition("frame.ID"), id);
  EXPECT_EQ(dlc->Name(), "frame.DLC");
  ASSERT_EQ(channel.ChannelCompositions().size(), 3u);

  channel.Write(buffer);
  const auto& bytes = buffer.Bytes();
  const auto parent = HeaderAt(bytes, channel.FilePosition());
  EXPECT_EQ(parent.links[1], id->FilePosition());
  EXPECT_EQ(HeaderAt(bytes, id->FilePosition()).links[0], dlc->FilePosition());
  EXPECT_EQ(HeaderAt(bytes, dlc->FilePosition()).links[0], data->FilePosition());
  EXPECT_EQ(HeaderAt(bytes, data->FilePosition()).links[0], 0);
  EXPECT_LT(id->FilePosition(), dlc->FilePosition());
  EXPECT_LT(data->FilePosition(), channel.FilePosition());

  // Read back: the same chain in the same order.
  TestHeader header;
  auto& read = header.ReadAt<Cn4Block>(buffer, channel.FilePosition());
  const auto members = read.ChannelCompositions();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0]->Name(), "frame.ID");
  EXPECT_EQ(members[1]->Name(), "frame.DLC");
  EXPECT_EQ(members[2]->Name(), "frame.Data");
}

TEST(Cn4Block, DamagedCompositionsEndWithALoggedError) {
  {
    // The composition link points at the channel itself.
    test::LogCapture log;
    CnFields cn;
    cn.links[1] = 64;
    MemoryBuffer buffer(FileImage().Place(64, ChannelBlock(cn)).Data());
    TestHeader header;
    auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
    EXPECT_TRUE(channel.ChannelCompositions().empty());
    EXPECT_TRUE(log.Contains("cyclic composition"));
  }
  {
    // A member chain that loops back to its second element.
    test::LogCapture log;
    CnFields cn;
    cn.links[1] = 256;
    MemoryBuffer buffer(FileImage()
                            .Place(64, ChannelBlock(cn))
                            .Place(256, test::MemberChannel(416))
                            .Place(416, test::MemberChannel(256))
                            .Data());
    TestHeader header;
    auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
    EXPECT_EQ(channel.ChannelCompositions().size(), 2u);
    EXPECT_TRUE(log.Contains("cyclic composition"));
  }
  {
    // A member whose own composition leads back to the top channel.
    test::LogCapture log;
    CnFields cn;
    cn.links[1] = 256;
    MemoryBuffer buffer(FileImage().Place(64, ChannelBlock(cn)).Place(256, test::MemberChannel(0, 0, 64)).Data());
    TestHeader header;
    auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
    ASSERT_EQ(channel.ChannelCompositions().size(), 1u);
    EXPECT_TRUE(channel.ChannelCompositions()[0]->ChannelCompositions().empty());
    EXPECT_TRUE(log.Contains("cyclic composition"));
  }
  {
    // Each member composes the next one: the nesting is cut off.
    test::LogCapture log;
    FileImage image;
    constexpr int kLevels = 40;
    for (int i = 0; i < kLevels; ++i) {
      const int64_t next = i + 1 < kLevels ? 64 + 160 * (i + 1) : 0;
      image.Place(static_cast<size_t>(64 + 160 * i), test::MemberChannel(0, 0, next));
    }
    MemoryBuffer buffer(image.Data());
    TestHeader header;
    auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
    size_t depth = 0;
    for (auto members = channel.ChannelCompositions(); !members.empty(); members = members[0]->ChannelCompositions()) {
      ++depth;
    }
    EXPECT_LT(depth, static_cast<size_t>(kLevels - 1));
    EXPECT_TRUE(log.Contains("nested too deep"));
  }
  {
    // A composition of another block type, and a chain running into one.
    test::LogCapture log;
    CnFields text_composition;
    text_composition.links[1] = 256;
    CnFields chain;
    chain.links[1] = 512;
    MemoryBuffer buffer(FileImage()
                            .Place(64, ChannelBlock(text_composition))
                            .Place(256, TextBlock("not a channel"))
                            .Place(320, ChannelBlock(chain))
                            .Place(512, test::MemberChannel(256))
                            .Data());
    TestHeader header;
    EXPECT_TRUE(header.ReadAt<Cn4Block>(buffer, 64).ChannelCompositions().empty());
    EXPECT_TRUE(log.Contains("Unexpected composition block"));
    EXPECT_EQ(header.ReadAt<Cn4Block>(buffer, 320).ChannelCompositions().size(), 1u);
    EXPECT_TRUE(log.Contains("Unexpected block in a composition chain"));
  }
}

TEST(Cn4Block, DisplayRows) {
  MemoryBuffer buffer(FullChannelImage());
  TestHeader header;
  header.ReadAt<At4Block>(buffer, 776);
  header.ReadAt<At4Block>(buffer, 872);
  const auto& channel = header.ReadAt<Cn4Block>(buffer, 64);
  const auto rows = Rows(channel);

  ASSERT_NE(FindRow(rows, "Composition CA/CN"), nullptr);
  EXPECT_EQ(FindRow(rows, "Composition CA/CN")->description, "Link to CN block");
  EXPECT_EQ(FindRow(rows, "Signal Data")->value, "0x260");
  EXPECT_EQ(FindRow(rows, "Unit MD")->description, "km/h");
  EXPECT_EQ(CountRows(rows, "Attachment AT"), 2u);
  EXPECT_EQ(FindRow(rows, "Attachment AT")->description, "Reference to attachment");
  EXPECT_EQ(FindRow(rows, "Reference DG")->value, "0x1000");
  EXPECT_EQ(FindRow(rows, "Reference CG")->description, "Reference to x-axis channel group");
  EXPECT_EQ(FindRow(rows, "Reference CN")->description, "Reference to x-axis channel");
  EXPECT_EQ(FindRow(rows, "Id")->value, "64");
  EXPECT_EQ(FindRow(rows, "Data Type")->value, "Signed Integer (BE)");
  EXPECT_EQ(FindRow(rows, "Channel Type")->value, "Fixed");
  EXPECT_EQ(FindRow(rows, "Synchronization Type")->value, "None");
  EXPECT_EQ(FindRow(rows, "Flags")->value, "Invalid,Decimal,Range,Bus Event,Default X");
  EXPECT_EQ(FindRow(rows, "Decimals")->value, "3");
  EXPECT_EQ(FindRow(rows, "Nof Attachments")->value, "2");
  EXPECT_EQ(FindRow(rows, "Range Min")->value, "1.5");
  EXPECT_EQ(FindRow(rows, "Extended Limit Min")->value, "5e+10");
  EXPECT_EQ(FindRow(rows, "Extended Limit Max")->value, "-0.006");

  Cn4Block plain;
  plain.Flags(0x0406);
  const auto plain_rows = Rows(plain);
  EXPECT_EQ(FindRow(plain_rows, "Flags")->value, "Invalid,Decimal,Bus Event");
  EXPECT_EQ(FindRow(plain_rows, "Composition CA/CN")->description, "Link to composition block");
  EXPECT_EQ(FindRow(plain_rows, "Reference DG"), nullptr);
  plain.Flags(0);
  EXPECT_EQ(FindRow(Rows(plain), "Flags")->value, "");
  EXPECT_EQ(mdf::detail::ChannelTypeText(7), "Unknown");
  EXPECT_EQ(mdf::detail::DataTypeText(15), "Unknown");
  EXPECT_EQ(mdf::detail::SyncTypeText(4), "Index");
}

}  // namespace
