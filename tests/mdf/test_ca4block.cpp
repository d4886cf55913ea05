// The channel array block: shape arithmetic, layout for each storage type and flag set,
// reference resolution, compositions, damaged sizes, display rows; the array channel.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "ca4block.h"
#include "cc4block.h"
#include "cn4block.h"
#include "damage.h"
#include "mdf/filedamage.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using mdf::CaFlag;
using mdf::detail::Ca4Block;
using mdf::detail::Cc4Block;
using mdf::detail::Cn4Block;
using namespace test;  // the test kit

namespace {

TEST(Ca4Block, ShapeArithmetic) {
  Ca4Block array;
  EXPECT_EQ(array.Dimensions(), 0);
  EXPECT_EQ(array.ElementCount(), 1u);
  EXPECT_EQ(array.SumOfDimensions(), 0u);

  EXPECT_EQ(array.SetShape({2, 0, 3}), 3u);
  EXPECT_EQ(array.Dimensions(), 3);
  EXPECT_EQ(array.ElementCount(), 6u) << "a size of 0 counts as 1";
  EXPECT_EQ(array.SumOfDimensions(), 5u);
  EXPECT_EQ(array.DimensionSize(2), 3u);
  EXPECT_EQ(array.DimensionSize(3), 0u);
  EXPECT_TRUE(array.AxisValues().empty()) << "SetShape alone resizes nothing";

  array.SetShape({uint64_t{1} << 40, uint64_t{1} << 40, 7});
  EXPECT_EQ(array.ElementCount(), std::numeric_limits<uint64_t>::max()) << "the product saturates";
  array.SetShape({std::numeric_limits<uint64_t>::max(), 5});
  EXPECT_EQ(array.SumOfDimensions(), std::numeric_limits<uint64_t>::max());
}

TEST(Ca4Block, ModifiableListsGrowToTheShape) {
  Ca4Block array;
  array.SetShape({2, 3});
  array.SetFlags(CaFlag::FixedAxis);
  EXPECT_EQ(array.AxisValues(), std::vector<double>(5, 0.0));
  EXPECT_TRUE(array.CycleCounts().empty()) << "a CN template has no cycle counts";
  array.SetStorage(1);
  EXPECT_EQ(array.CycleCounts(), std::vector<uint64_t>(6, 0));
  array.CycleCounts()[5] = 9;
  array.SetShape({2});
  EXPECT_EQ(array.CycleCounts().size(), 6u) << "a longer list is not cut";
}

TEST(Ca4Block, ResizeArraysFollowsStorageAndFlags) {
  Ca4Block fixed;
  fixed.SetShape({2, 3});
  fixed.ResizeArrays();
  EXPECT_TRUE(fixed.DataLinks().empty());
  EXPECT_TRUE(fixed.AxisValues().empty());
  EXPECT_TRUE(fixed.CycleCounts().empty());
  EXPECT_TRUE(fixed.DynamicSizeList().empty());

  Ca4Block array;
  array.SetStorage(2);
  array.SetFlags(CaFlag::DynamicSize | CaFlag::InputQuantity | CaFlag::Axis | CaFlag::FixedAxis);
  array.SetShape({2, 3});
  array.AxisValues().assign(9, 1.0);  // longer than the shape: cut
  array.ResizeArrays();
  EXPECT_EQ(array.DataLinks().size(), 6u);
  EXPECT_EQ(array.AxisValues(), std::vector<double>(5, 1.0));
  EXPECT_EQ(array.CycleCounts().size(), 6u);
  EXPECT_EQ(array.DynamicSizeList().size(), 2u);
  EXPECT_EQ(array.InputQuantityList().size(), 2u);
  EXPECT_TRUE(array.AxisList().empty()) << "a fixed axis has no axis references";
  EXPECT_TRUE(array.AxisConversionList().empty()) << "the conversions are not touched";

  array.SetFlags(CaFlag::Axis);
  array.ResizeArrays();
  EXPECT_EQ(array.AxisList().size(), 2u);

  test::LogCapture log;
  Ca4Block huge;
  huge.SetStorage(1);
  huge.SetShape({uint64_t{1} << 32, uint64_t{1} << 32});
  huge.ResizeArrays();
  EXPECT_TRUE(huge.CycleCounts().empty());
  EXPECT_TRUE(log.Contains("Channel array too large"));
  MemoryBuffer buffer;
  EXPECT_THROW(huge.Write(buffer), mdf::MdfRuntimeError);
  EXPECT_TRUE(buffer.Bytes().empty());
}

TEST(Ca4Block, CnTemplateGoldenBytes) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Ca4Block array;
  array.SetShape({8});
  EXPECT_EQ(array.Write(buffer), 56u);
  const std::vector<uint8_t> expected =
      Bytes().Raw("##CA").Zeros(4).U64(56).U64(1).U64(0).U8(0).U8(0).U16(1).U32(0).U32(0).U32(0).U64(8);
  EXPECT_EQ(test::Slice(buffer.Bytes(), 64), expected);
  EXPECT_EQ(array.Write(buffer), 56u);
  EXPECT_EQ(buffer.Bytes().size(), 120u) << "written once only";
}

TEST(Ca4Block, DgTemplateGoldenBytes) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Ca4Block array;
  array.SetType(2);
  array.SetStorage(2);
  array.SetShape({2, 3});
  array.ByteOffsetBase(-4);
  array.InvalidationBitBase(7);
  array.ResizeArrays();
  for (size_t i = 0; i < 6; ++i) {
    array.DataLinks()[i] = static_cast<int64_t>(0x100 * (i + 1));
    array.CycleCounts()[i] = 10 + i;
  }
  EXPECT_EQ(array.Write(buffer), 160u);
  Bytes expected;
  expected.Raw("##CA").Zeros(4).U64(160).U64(7).U64(0);
  for (uint64_t i = 1; i <= 6; ++i) expected.U64(0x100 * i);
  expected.U8(2).U8(2).U16(2).U32(0).U32(0xFFFFFFFC).U32(7).U64(2).U64(3);
  for (uint64_t i = 0; i < 6; ++i) expected.U64(10 + i);
  EXPECT_EQ(test::Slice(buffer.Bytes(), 64), expected.Data());
}

TEST(Ca4Block, FixedAxisHasConversionLinksAndValues) {
  MemoryBuffer buffer(FileImage().Place(64, Bytes().Raw("##CC").Zeros(4).U64(80).U64(4).Zeros(32).Zeros(24)).Data());
  TestHeader header;
  auto& conversion = header.ReadAt<Cc4Block>(buffer, 64);

  Ca4Block array;
  array.SetFlags(CaFlag::Axis | CaFlag::FixedAxis);
  array.SetShape({2, 3});
  array.ResizeArrays();
  array.AxisValues() = {0.5, 1.5, 10.0, 20.0, 30.0};
  array.AxisConversionList() = {&conversion, nullptr};
  const size_t length = array.Write(buffer);
  EXPECT_EQ(length, 24u + 3 * 8 + 16 + 2 * 8 + 5 * 8);
  const auto header_fields = HeaderAt(buffer.Bytes(), array.FilePosition());
  EXPECT_EQ(header_fields.links, (std::vector<int64_t>{0, 64, 0}));
  Bytes data;
  data.U8(0).U8(0).U16(2).U32(0x30).U32(0).U32(0).U64(2).U64(3);
  for (const double value : {0.5, 1.5, 10.0, 20.0, 30.0}) data.U64(test::DoubleBits(value));
  EXPECT_EQ(test::Slice(buffer.Bytes(), array.FilePosition() + 48), data.Data());
}

// A dynamic-size array with an axis: references to a data group, a channel group, a
// channel and a conversion, resolved through the header.
std::vector<uint8_t> ReferenceImage() {
  CaFields ca;
  ca.links = {0, 1000, 2000, 256, 512, 0, 0, 256};
  ca.nof_dimensions = 1;
  ca.flags = CaFlag::DynamicSize | CaFlag::Axis;
  ca.byte_offset_base = 2;
  ca.sizes = {4};
  return FileImage()
      .Place(64, ArrayBlock(ca))
      .Place(256, test::MemberChannel(0, 448))
      .Place(448, TextBlock("axis"))
      .Place(512, Bytes().Raw("##CC").Zeros(4).U64(80).U64(4).U64(608).Zeros(24).Zeros(24))
      .Place(608, TextBlock("rpm scale"))
      .Data();
}

TEST(Ca4Block, ReferencesResolveThroughTheHeader) {
  MemoryBuffer buffer(ReferenceImage());
  TestHeader header;
  header.Adopt(std::make_unique<test::TestDataGroupBlock>(1000, "engine"));
  const auto& channel = header.ReadAt<Cn4Block>(buffer, 256);
  const auto& conversion = header.ReadAt<Cc4Block>(buffer, 512);
  auto& array = header.ReadAt<Ca4Block>(buffer, 64);

  EXPECT_EQ(array.Shape(), std::vector<uint64_t>{4});
  EXPECT_EQ(array.ByteOffsetBase(), 2);
  ASSERT_EQ(array.DynamicSizeList().size(), 1u);
  const auto& dynamic = array.DynamicSizeList()[0];
  ASSERT_NE(dynamic.data_group, nullptr);
  EXPECT_EQ(dynamic.data_group->FilePosition(), 1000);
  EXPECT_EQ(dynamic.channel_group, nullptr) << "the group is not loaded yet";
  EXPECT_EQ(dynamic.channel, &channel);
  ASSERT_EQ(array.AxisConversionList().size(), 1u);
  EXPECT_EQ(array.AxisConversionList()[0], &conversion);
  ASSERT_EQ(array.AxisList().size(), 1u);
  EXPECT_EQ(array.AxisList()[0].data_group, nullptr);
  EXPECT_EQ(array.AxisList()[0].channel, &channel);

  // The final pass finds what was loaded after the array.
  auto& group = header.Adopt(std::make_unique<test::TestGroupBlock>(2000));
  group.name = "Engine";
  array.ResolveReferences();
  EXPECT_EQ(array.DynamicSizeList()[0].channel_group, &group);

  const auto rows = Rows(array);
  const auto dynamic_rows = RowsLabelled(rows, "Dynamic Size Block ");
  ASSERT_EQ(dynamic_rows.size(), 3u);
  EXPECT_EQ(dynamic_rows[0]->value, "0x3E8");
  EXPECT_EQ(dynamic_rows[0]->description, "DG: engine");
  EXPECT_EQ(dynamic_rows[1]->description, "CG: Engine");
  EXPECT_EQ(dynamic_rows[2]->description, "CN: axis");
  const auto conversion_rows = RowsLabelled(rows, "Axis Conversion Block ");
  ASSERT_EQ(conversion_rows.size(), 1u);
  EXPECT_EQ(conversion_rows[0]->description, "CC: rpm scale");
  const auto axis_rows = RowsLabelled(rows, "Axis Block ");
  ASSERT_EQ(axis_rows.size(), 3u);
  EXPECT_EQ(axis_rows[0]->description, "");
  EXPECT_EQ(RowsLabelled(rows, "Composition Block").size(), 1u);
  test::ExpectRowValues(rows, {{"Flags", "Dynamic,Axis"}, {"Byte Offset", "2"}, {"Dimension 0 Size:", "4"}});

  // Without a header nothing resolves and no link rows are shown.
  Ca4Block orphan;
  mdf::detail::SetStreamPosition(buffer, 64);
  orphan.Read(buffer);
  EXPECT_EQ(orphan.DynamicSizeList()[0].channel, nullptr);
  EXPECT_TRUE(RowsLabelled(Rows(orphan), "Dynamic Size Block ").empty());
}

TEST(Ca4Block, OutputQuantityTakesExactlyThreeLinks) {
  TestHeader header;
  Ca4Block array;
  array.AttachToParent(&header);
  array.SetFlags(CaFlag::InputQuantity | CaFlag::OutputQuantity | CaFlag::ComparisonQuantity);
  array.SetShape({5, 6});
  array.ResizeArrays();
  MemoryBuffer buffer(std::string(64, '\0'));
  array.Write(buffer);
  EXPECT_EQ(array.LinkCount(), 1u + 6 + 3 + 3);
  const auto rows = Rows(array);
  EXPECT_EQ(RowsLabelled(rows, "InputQuantity Block ").size(), 6u);
  EXPECT_EQ(RowsLabelled(rows, "Output Quantity Block ").size(), 3u);
  EXPECT_EQ(RowsLabelled(rows, "Comparison Quantity Block ").size(), 3u);
  EXPECT_EQ(RowValue(rows, "Flags"), "Input,Output,Comparison");
}

TEST(Ca4Block, ValueRowsAndNames) {
  CaFields ca;
  ca.type = 1;
  ca.storage = 1;
  ca.nof_dimensions = 2;
  ca.flags = CaFlag::Axis | CaFlag::FixedAxis | CaFlag::InverseLayout | CaFlag::LeftOpenInterval;
  ca.links = {0, 0, 0};
  ca.sizes = {1, 2};
  ca.axis_values = {1.5, -2.25, 1e6};
  ca.cycle_counts = {7, 8};
  MemoryBuffer buffer(FileImage().Place(64, ArrayBlock(ca)).Data());
  TestHeader header;
  const auto& array = header.ReadAt<Ca4Block>(buffer, 64);
  EXPECT_EQ(array.AxisValues(), (std::vector<double>{1.5, -2.25, 1e6}));
  EXPECT_EQ(array.CycleCounts(), (std::vector<uint64_t>{7, 8}));
  const auto rows = Rows(array);
  test::ExpectRowValues(rows, {{"Array Type", "Scaling Axis"},
                               {"Storage Type", "CG Template"},
                               {"Nof Dimensions", "2"},
                               {"Flags", "Axis,Fixed,Inverse,Left-Open"},
                               {"Axis 0:", "1.500000"},
                               {"Axis 1:", "-2.250000"},
                               {"Axis 2:", "1000000.000000"},
                               {"Cycle Count 1:", "8"},
                               {"Dimension 1 Size:", "2"}});
  const auto conversion_rows = RowsLabelled(rows, "Axis Conversion Block ");
  ASSERT_EQ(conversion_rows.size(), 2u);
  EXPECT_EQ(conversion_rows[1]->description, "1:1");
  EXPECT_EQ(mdf::detail::ArrayTypeText(5), "Unknown");
  EXPECT_EQ(mdf::detail::ArrayStorageText(3), "Unknown");
}

TEST(Ca4Block, Compositions) {
  CaFields outer;
  outer.links = {256};
  CaFields inner;
  CaFields chain;
  chain.links = {512};
  MemoryBuffer buffer(FileImage()
                          .Place(64, ArrayBlock(outer))
                          .Place(256, ArrayBlock(inner))
                          .Place(320, ArrayBlock(chain))
                          .Place(512, test::MemberChannel(672))
                          .Place(672, test::MemberChannel(832))
                          .Place(832, test::MemberChannel(0))
                          .Data());
  TestHeader header;
  auto& nested = header.ReadAt<Ca4Block>(buffer, 64);
  ASSERT_EQ(nested.Compositions().size(), 1u);
  EXPECT_EQ(nested.Compositions()[0]->BlockType(), "CA");
  EXPECT_EQ(nested.FindByPosition(256), nested.Compositions()[0].get());

  auto& channels = header.ReadAt<Ca4Block>(buffer, 320);
  ASSERT_EQ(channels.Compositions().size(), 3u);
  EXPECT_EQ(channels.Compositions()[2]->FilePosition(), 832);
  EXPECT_EQ(RowsLabelled(Rows(channels), "Composition Block")[0]->description, "CN: ");

  test::LogCapture log;
  CaFields cyclic;
  cyclic.links = {64};
  MemoryBuffer cycle(FileImage().Place(64, ArrayBlock(cyclic)).Data());
  TestHeader other;
  EXPECT_TRUE(other.ReadAt<Ca4Block>(cycle, 64).Compositions().empty());
  EXPECT_TRUE(log.Contains("cyclic composition"));
}

TEST(Ca4Block, SizesBeyondTheBlockAreRejected) {
  test::LogCapture log;
  mdf::FileDamage damage;  // a list left out is damage: the file holds more than is read
  const mdf::detail::DamageScope scope(damage);
  // 60,000 dimensions claimed in a block with room for one size.
  CaFields dimensions;
  dimensions.nof_dimensions = 60000;
  dimensions.sizes = {3};
  // Fixed axis values whose sum exceeds the block.
  CaFields axis;
  axis.nof_dimensions = 1;
  axis.flags = CaFlag::FixedAxis;
  axis.sizes = {uint64_t{1} << 40};
  // A CG template whose element count overflows.
  CaFields cycles;
  cycles.storage = 1;
  cycles.nof_dimensions = 2;
  cycles.sizes = {uint64_t{1} << 33, uint64_t{1} << 33};
  // A DG template with more elements than data links.
  CaFields links;
  links.storage = 2;
  links.nof_dimensions = 1;
  links.sizes = {3};
  links.links = {0, 0x100};
  links.cycle_counts = {1, 2, 3};
  MemoryBuffer buffer(FileImage()
                          .Place(64, ArrayBlock(dimensions))
                          .Place(192, ArrayBlock(axis))
                          .Place(320, ArrayBlock(cycles))
                          .Place(448, ArrayBlock(links))
                          .Data());
  TestHeader header;
  const auto& too_many = header.ReadAt<Ca4Block>(buffer, 64);
  EXPECT_TRUE(too_many.Shape().empty());
  EXPECT_TRUE(log.Contains("dimensions exceed the block length"));
  EXPECT_EQ(damage.first.rfind("Channel array dimensions exceed the block length. Block: 0x40", 0), 0U);

  const auto& no_axis = header.ReadAt<Ca4Block>(buffer, 192);
  EXPECT_EQ(no_axis.Shape().size(), 1u);
  EXPECT_TRUE(no_axis.AxisValues().empty());
  EXPECT_TRUE(log.Contains("axis values exceed the block length"));

  const auto& no_cycles = header.ReadAt<Ca4Block>(buffer, 320);
  EXPECT_TRUE(no_cycles.CycleCounts().empty());
  EXPECT_TRUE(log.Contains("cycle counts exceed the block length"));

  const auto& no_links = header.ReadAt<Ca4Block>(buffer, 448);
  EXPECT_TRUE(no_links.DataLinks().empty());
  EXPECT_EQ(no_links.CycleCounts(), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_TRUE(log.Contains("data links exceed the link count"));

  // A block length far beyond the file bounds nothing: the stream's end does.
  MemoryBuffer short_file(FileImage()
                              .Place(64, Bytes().Raw("##CA").Zeros(4).U64(uint64_t{1} << 50).U64(1).U64(0))
                              .Place(96, Bytes().U8(0).U8(0).U16(60000).U32(0).U32(0).U32(0).U64(5))
                              .Data());
  const auto& truncated = header.ReadAt<Ca4Block>(short_file, 64);
  EXPECT_TRUE(truncated.Shape().empty());
}

TEST(Ca4Block, ArrayChannelLayout) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Cn4Block channel;
  channel.DataType(0);
  channel.BitCount(16);
  auto* array = dynamic_cast<Ca4Block*>(channel.CreateChannelArray());
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(channel.CreateChannelArray(), array) << "created once";
  EXPECT_EQ(array->Channel(), &channel);
  array->SetShape({4});
  channel.PrepareForWriting(0);
  EXPECT_EQ(array->ByteOffsetBase(), 2);
  EXPECT_EQ(array->InvalidationBitBase(), 0u);
  channel.BitCount(24);
  array->UpdateByteOffsetBase();
  EXPECT_EQ(array->ByteOffsetBase(), 3);

  channel.Write(buffer);
  EXPECT_LT(array->FilePosition(), channel.FilePosition());
  EXPECT_EQ(HeaderAt(buffer.Bytes(), channel.FilePosition()).links[1], array->FilePosition());
  EXPECT_EQ(HeaderAt(buffer.Bytes(), array->FilePosition()).length, 56u);

  TestHeader header;
  auto& read = header.ReadAt<Cn4Block>(buffer, channel.FilePosition());
  ASSERT_NE(read.ChannelArray(), nullptr);
  EXPECT_EQ(read.ChannelArray()->Shape(), std::vector<uint64_t>{4});
  EXPECT_EQ(read.ChannelArray()->ElementCount(), 4u);
  EXPECT_TRUE(read.ChannelCompositions().empty());
}

}  // namespace
