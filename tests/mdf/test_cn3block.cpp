// The MDF 3 channel block: hand-made images of every length in both byte orders, its
// children and texts, the mapping to the channel interface, byte-exact writing and damage.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "cc3block.h"
#include "cd3block.h"
#include "ce3block.h"
#include "cn3block.h"
#include "support/fakegroups.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"
#include "support/rows.h"
#include "support/thrown.h"

using mdf::detail::Cc3Block;
using mdf::detail::Cn3Block;
using test::Mdf3Bytes;
using test::MemoryBuffer;

namespace {

struct CnFields {
  uint16_t size = 228;
  std::array<uint32_t, 5> links{};
  uint16_t type = 0;
  std::string short_name = "EngineSpeed";
  std::string description = "crank shaft";
  uint16_t start_offset = 19;
  uint16_t bits = 16;
  uint16_t signal_type = 0;
  bool range_valid = true;
  double min = -1.5;
  double max = 8000.0;
  double rate = 0.01;
  uint32_t long_name = 0;
  uint32_t display_name = 0;
  uint16_t additional = 0;
};

// The fields a block of the size holds; zero bytes beyond 228.
Mdf3Bytes CnImage(bool big, const CnFields& f) {
  Mdf3Bytes bytes(big);
  bytes.Header("CN", f.size);
  for (const auto link : f.links) bytes.U32(link);
  bytes.U16(f.type).Text(f.short_name, 32).Text(f.description, 128).U16(f.start_offset).U16(f.bits);
  bytes.U16(f.signal_type).U16(f.range_valid ? 1 : 0).F64(f.min).F64(f.max).F64(f.rate);
  if (f.size >= 222) bytes.U32(f.long_name);
  if (f.size >= 226) bytes.U32(f.display_name);
  if (f.size >= 228) bytes.U16(f.additional);
  if (f.size > 228) bytes.Zeros(f.size - 228u);
  return bytes;
}

// Where the channel of a full image lies: position 0 means "not in the file".
constexpr int64_t kCnAt = 64;

// A channel at 64 with every child and text behind it: CC at 292, CE at 354, CD at 440,
// comment at 460, long name at 471, display name at 519.
std::vector<uint8_t> FullImage(bool big) {
  CnFields fields;
  fields.links = {0, 292, 354, 440, 460};
  fields.long_name = 471;
  fields.display_name = 519;
  fields.additional = 8192;
  Mdf3Bytes bytes(big);
  bytes.Zeros(kCnAt).Raw(CnImage(big, fields));
  bytes.Header("CC", 62).U16(0).F64(0).F64(0).Text("rpm", 20).U16(0).U16(2).F64(10.0).F64(0.5);
  bytes.Header("CE", 86).U16(19).U32(0x123).U32(1).Text("Msg", 36).Text("Node", 36);
  bytes.Header("CD", 20).U16(1).U16(1).U32(1).U32(2).U32(3);
  bytes.Header("TX", 11).Raw("remark").Zeros(1);
  bytes.Header("TX", 48).Raw(std::string(40, 'L')).Zeros(4);
  bytes.Header("TX", 10).Raw("Speed").Zeros(1);
  return bytes;
}

/// Reads the channel at the position of the image.
std::unique_ptr<Cn3Block> ReadCn(const std::vector<uint8_t>& image, test::Mdf3Parent& file, size_t* bytes = nullptr,
                                 int64_t at = 0) {
  MemoryBuffer buffer(image);
  buffer.pubseekpos(at);
  auto block = std::make_unique<Cn3Block>();
  block->AttachToParent(&file);
  const size_t read = block->Read(buffer);
  if (bytes != nullptr) *bytes = read;
  return block;
}

TEST(Cn3Block, ReadsTheWholeChannel) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    size_t bytes = 0;
    const auto block = ReadCn(FullImage(big), file, &bytes, kCnAt);
    EXPECT_EQ(bytes, 228U);
    EXPECT_EQ(block->ShortName(), "EngineSpeed");
    EXPECT_EQ(block->LongName(), std::string(40, 'L'));
    EXPECT_EQ(block->Name(), std::string(40, 'L'));
    EXPECT_EQ(block->DisplayName(), "Speed");
    EXPECT_EQ(block->Description(), "crank shaft");
    EXPECT_EQ(block->CommentText(), "remark");
    EXPECT_EQ(block->StartOffset(), 19);
    EXPECT_EQ(block->BitOffset(), 3);
    EXPECT_EQ(block->ByteOffset(), 2U + 8192U);
    EXPECT_EQ(block->BitCount(), 16U);
    EXPECT_EQ(block->DataBytes(), 2U);
    EXPECT_EQ(block->DataType(), big ? mdf::kUnsignedBe : mdf::kUnsignedLe);
    EXPECT_TRUE(block->RangeValid());
    EXPECT_EQ(block->RangeMax(), 8000.0);
    EXPECT_EQ(block->SamplingRate(), 0.01);
    EXPECT_FALSE(block->Range().has_value());
    EXPECT_EQ(block->Links(), std::vector<int64_t>({0, 292, 354, 440, 460, 471, 519}));

    ASSERT_NE(block->Conversion(), nullptr);
    EXPECT_EQ(block->ChannelConversion(), block->Conversion());
    EXPECT_EQ(block->Unit(), "rpm");
    EXPECT_TRUE(block->IsUnitValid());
    EXPECT_EQ(block->FindByPosition(292), block->Conversion());
    EXPECT_EQ(block->FindByPosition(kCnAt), block.get());
    ASSERT_NE(block->Extension(), nullptr);
    EXPECT_EQ(block->Extension()->MessageName(), "Msg");
    ASSERT_NE(block->Dependency(), nullptr);
    EXPECT_EQ(block->Dependency()->Dependencies().size(), 1U);
    EXPECT_EQ(block->Dependency()->Dependencies()[0].channel, 3U);
  }
}

TEST(Cn3Block, ShorterAndLongerBlocks) {
  struct Case {
    uint16_t size;
    const char* long_name;
    const char* display_name;
    uint32_t additional;
  };
  const Case cases[] = {{218, "", "", 0},
                        {222, "Long", "", 0},
                        {226, "Long", "Disp", 0},
                        {228, "Long", "Disp", 16},
                        {240, "Long", "Disp", 16}};
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    for (const auto& c : cases) {
      CnFields fields;
      fields.size = c.size;
      fields.long_name = c.size;
      fields.display_name = c.size + 9u;
      fields.additional = 16;
      const std::vector<uint8_t> image = Mdf3Bytes(big)
                                             .Raw(CnImage(big, fields))
                                             .Header("TX", 9)
                                             .Raw("Long")
                                             .Zeros(1)
                                             .Header("TX", 9)
                                             .Raw("Disp")
                                             .Zeros(1);
      MemoryBuffer buffer(image);
      Cn3Block block;
      block.AttachToParent(&file);
      EXPECT_EQ(block.Read(buffer), c.size) << c.size;
      EXPECT_EQ(block.LongName(), c.long_name) << c.size;
      EXPECT_EQ(block.DisplayName(), c.display_name) << c.size;
      EXPECT_EQ(block.AdditionalByteOffset(), c.additional) << c.size;
      EXPECT_EQ(block.Name(), c.size > 218 ? "Long" : "EngineSpeed");
      // The texts were read last; the surplus of a longer block was passed over before.
      EXPECT_EQ(buffer.Position(), c.size >= 226 ? c.size + 18 : c.size >= 222 ? c.size + 9 : c.size);
    }
  }
}

TEST(Cn3Block, NamesOfEveryLength) {
  Cn3Block block;
  block.Name(std::string(31, 'a'));
  EXPECT_EQ(block.ShortName(), std::string(31, 'a'));
  EXPECT_EQ(block.LongName(), "");
  block.Name(std::string(40, 'b'));
  EXPECT_EQ(block.ShortName(), std::string(31, 'b'));
  EXPECT_EQ(block.Name(), std::string(40, 'b'));
  block.Name("short");
  EXPECT_EQ(block.LongName(), "");
  EXPECT_EQ(block.Name(), "short");

  // A euro sign (3 bytes) across byte 31 is not cut: the short name ends before it.
  const std::string euro = "\xE2\x82\xAC";
  block.Name(std::string(29, 'c') + euro + "d");
  EXPECT_EQ(block.ShortName(), std::string(29, 'c'));
  EXPECT_EQ(block.Name(), std::string(29, 'c') + euro + "d");
  block.Name(std::string(28, 'c') + euro + "d");  // 32 bytes: the euro sign just fits
  EXPECT_EQ(block.ShortName(), std::string(28, 'c') + euro);
}

TEST(Cn3Block, OffsetsInTheRecord) {
  Cn3Block block;
  block.ByteOffset(10000);
  EXPECT_EQ(block.ByteOffset(), 10000U);
  EXPECT_EQ(block.StartOffset(), 14464);
  EXPECT_EQ(block.AdditionalByteOffset(), 8192U);
  block.BitOffset(5);  // the byte part stays
  EXPECT_EQ(block.BitOffset(), 5);
  EXPECT_EQ(block.ByteOffset(), 10000U);
  EXPECT_EQ(block.StartOffset(), 14469);
  block.ByteOffset(3);
  EXPECT_EQ(block.StartOffset(), 24);
  EXPECT_EQ(block.AdditionalByteOffset(), 0U);
}

TEST(Cn3Block, DataTypesInBothByteOrders) {
  // Per MDF 3 code: the MDF 4 data type in a little-endian and in a big-endian file.
  const std::array<std::array<uint8_t, 2>, 18> expected = {{{0, 1},
                                                            {2, 3},
                                                            {4, 5},
                                                            {4, 5},
                                                            {4, 5},
                                                            {4, 5},
                                                            {4, 5},
                                                            {6, 6},
                                                            {10, 10},
                                                            {1, 1},
                                                            {3, 3},
                                                            {5, 5},
                                                            {5, 5},
                                                            {0, 0},
                                                            {2, 2},
                                                            {4, 4},
                                                            {4, 4},
                                                            {0, 1}}};
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    for (uint16_t code = 0; code < expected.size(); ++code) {
      CnFields fields;
      fields.signal_type = code;
      const auto block = ReadCn(CnImage(big, fields), file);
      EXPECT_EQ(block->DataType(), expected[code][big ? 1 : 0]) << code << (big ? " BE" : " LE");
      const auto rows = test::Rows(*block);
      EXPECT_EQ(test::FindRow(rows, "Signal Data Type")->description,
                code <= 16 ? mdf::detail::SignalDataTypeText(code) : "Unknown Type");
    }
  }
  EXPECT_EQ(mdf::detail::SignalDataTypeText(3), "Double");
  EXPECT_EQ(mdf::detail::SignalDataTypeText(16), "Double LE");
  EXPECT_EQ(mdf::detail::SignalDataTypeText(17), "Unknown Type");
}

TEST(Cn3Block, ByteArraysWithCanOpenConversions) {
  test::Mdf3Parent file(false);
  for (const auto& [cc_type, data_type] : std::vector<std::pair<uint16_t, uint8_t>>{{132, 13}, {133, 14}, {0, 10}}) {
    CnFields fields;
    fields.signal_type = Cn3Block::kSignalByteArray;
    fields.links = {0, 228, 0, 0, 0};
    const std::vector<uint8_t> image = Mdf3Bytes(false)
                                           .Raw(CnImage(false, fields))
                                           .Header("CC", 46)
                                           .U16(0)
                                           .F64(0)
                                           .F64(0)
                                           .Zeros(20)
                                           .U16(cc_type)
                                           .U16(0);
    EXPECT_EQ(ReadCn(image, file)->DataType(), data_type) << cc_type;
  }
}

TEST(Cn3Block, SetDataTypeInBothByteOrders) {
  struct Case {
    uint8_t type;
    uint64_t bytes_before;
    uint16_t le_signal;
    uint16_t be_signal;
    uint64_t bytes_after;
  };
  const Case cases[] = {
      {0, 0, 0, 13, 4}, {1, 2, 9, 0, 2},  {2, 1, 1, 14, 1}, {3, 0, 10, 1, 4},  {4, 4, 2, 15, 4}, {4, 8, 3, 16, 8},
      {5, 0, 11, 2, 4}, {5, 8, 12, 3, 8}, {6, 0, 7, 7, 4},  {7, 10, 7, 7, 10}, {10, 0, 8, 8, 6}, {10, 20, 8, 8, 20},
      {13, 2, 8, 8, 7}, {14, 0, 8, 8, 6}, {8, 0, 0, 0, 4},  {15, 3, 0, 0, 3},
  };
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    for (const auto& c : cases) {
      Cn3Block block;
      block.AttachToParent(&file);
      block.DataBytes(c.bytes_before);
      block.DataType(c.type);
      EXPECT_EQ(block.SignalDataType(), big ? c.be_signal : c.le_signal) << int{c.type} << (big ? " BE" : " LE");
      EXPECT_EQ(block.DataBytes(), c.bytes_after) << int{c.type};
      // Every mapping reads back as the type set, CANopen values through their conversion.
      if (c.type != 8 && c.type != 15) {
        EXPECT_EQ(block.DataType(), c.type == 7 ? mdf::kLatin1Text : c.type) << int{c.type};
      }
    }
  }
  Cn3Block date;
  date.DataType(mdf::kCanOpenDate);
  ASSERT_NE(date.Conversion(), nullptr);
  EXPECT_EQ(date.Conversion()->ConversionType(), Cc3Block::kDate);
}

TEST(Cn3Block, DataBytesMakeFloatsDoubles) {
  for (const auto& [before, after] :
       std::vector<std::pair<uint16_t, uint16_t>>{{Cn3Block::kSignalFloat, Cn3Block::kSignalDouble},
                                                  {Cn3Block::kSignalFloatBe, Cn3Block::kSignalDoubleBe},
                                                  {Cn3Block::kSignalFloatLe, Cn3Block::kSignalDoubleLe},
                                                  {Cn3Block::kSignalUnsigned, Cn3Block::kSignalUnsigned}}) {
    test::Mdf3Parent file(false);
    CnFields fields;
    fields.signal_type = before;
    auto block = ReadCn(CnImage(false, fields), file);
    block->DataBytes(8);
    EXPECT_EQ(block->SignalDataType(), after);
    EXPECT_EQ(block->BitCount(), 64U);
    EXPECT_EQ(block->Decimals(), 17);
    block->DataBytes(4);
    EXPECT_EQ(block->Decimals(), 9);
  }
}

TEST(Cn3Block, TimeChannelAndInterfaceDefaults) {
  Cn3Block block;
  EXPECT_EQ(block.Unit(), "");
  EXPECT_FALSE(block.IsUnitValid());
  block.ChannelType(mdf::kMasterChannel);
  EXPECT_EQ(block.Mdf3ChannelType(), Cn3Block::kTimeChannel);
  EXPECT_EQ(block.ChannelType(), mdf::kMasterChannel);
  EXPECT_EQ(block.Unit(), "s");
  EXPECT_TRUE(block.IsUnitValid());
  block.ChannelType(mdf::kVlsdChannel);
  EXPECT_EQ(block.ChannelType(), mdf::kFixedLengthChannel);

  block.Unit("V");  // creates a conversion that converts nothing
  ASSERT_NE(block.Conversion(), nullptr);
  EXPECT_EQ(block.Conversion()->ConversionType(), Cc3Block::kNoConversion);
  EXPECT_EQ(block.Unit(), "V");
  EXPECT_EQ(block.CreateChannelConversion(), block.Conversion());

  block.Flags(7);
  EXPECT_EQ(block.Flags(), 0U);
  block.SyncType(1);
  EXPECT_EQ(block.SyncType(), 0);
  EXPECT_EQ(block.GetOrCreateChannelComposition("member"), nullptr);
  EXPECT_EQ(block.SourceInformation(), nullptr);
  EXPECT_EQ(block.CreateChannelArray(), nullptr);
  EXPECT_TRUE(block.GetValid({}, 0));
  EXPECT_TRUE(block.SampleBuffer().empty());
  EXPECT_EQ(block.RecordId(), 0U);
}

// An MDF 3 channel group as a parent: block id "CG" and the group's record buffer.
class Cg3Parent : public test::Mdf3Parent, public test::FakeChannelGroup {
 public:
  explicit Cg3Parent(bool big) : Mdf3Parent(big) { block_id_ = "CG"; }
  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }
};

TEST(Cn3Block, ValuesFromTheGroupsRecord) {
  for (const bool big : test::kBothByteOrders) {
    Cg3Parent group(big);
    group.record_id = 4;
    Cn3Block channel;
    channel.AttachToParent(&group);
    EXPECT_EQ(channel.ChannelGroup(), &group);
    EXPECT_EQ(channel.RecordId(), 4U);
    channel.ByteOffset(1);
    channel.DataType(mdf::kUnsignedLe);
    channel.DataBytes(2);
    group.SampleBuffer().assign(4, 0);
    channel.SetChannelValue(uint64_t{0x1234});
    EXPECT_EQ(group.SampleBuffer(), std::vector<uint8_t>({0, 0x34, 0x12, 0}));
    uint64_t value = 0;
    EXPECT_TRUE(channel.ValueFromRecord(std::vector<uint8_t>{0, 0x34, 0x12, 0}, value, 0));
    EXPECT_EQ(value, 0x1234U);
  }
}

TEST(Cn3Block, WritesNamesBlockAndChildrenByteExact) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    MemoryBuffer buffer(std::string(2, 'x'));
    Cn3Block block;
    block.AttachToParent(&file);
    block.Name(std::string(32, 'N'));
    block.DisplayName("Disp");
    block.Description("desc");
    block.SetComment("note");
    block.ChannelType(mdf::kMasterChannel);
    block.DataType(mdf::kFloatLe);
    block.DataBytes(8);
    block.ByteOffset(8200);
    block.SamplingRate(0.5);
    block.Unit("s");
    EXPECT_EQ(block.Write(buffer), 228U);
    // Long name at 2 (37 bytes), display name at 39 (9), CN at 48, CC at 276, comment at 322.
    EXPECT_EQ(block.FilePosition(), 48);
    CnFields fields;
    fields.links = {0, 276, 0, 0, 322};
    fields.type = 1;
    fields.short_name = std::string(31, 'N');
    fields.description = "desc";
    fields.start_offset = 64;
    fields.bits = 64;
    fields.signal_type = big ? Cn3Block::kSignalDoubleLe : Cn3Block::kSignalDouble;
    fields.range_valid = false;
    fields.min = 0;
    fields.max = 0;
    fields.rate = 0.5;
    fields.long_name = 2;
    fields.display_name = 39;
    fields.additional = 8192;
    const std::vector<uint8_t> expected = Mdf3Bytes(big)
                                              .Raw("xx")
                                              .Header("TX", 37)
                                              .Raw(std::string(32, 'N'))
                                              .Zeros(1)
                                              .Header("TX", 9)
                                              .Raw("Disp")
                                              .Zeros(1)
                                              .Raw(CnImage(big, fields))
                                              .Header("CC", 46)
                                              .U16(0)
                                              .F64(0)
                                              .F64(0)
                                              .Text("s", 20)
                                              .U16(65535)
                                              .U16(0)
                                              .Header("TX", 9)
                                              .Raw("note")
                                              .Zeros(1);
    EXPECT_EQ(buffer.Bytes(), expected);

    // Written once: a second write changes nothing.
    EXPECT_EQ(block.Write(buffer), 228U);
    EXPECT_EQ(buffer.Bytes(), expected);
  }
}

TEST(Cn3Block, RewritingAReadChannelWritesNothing) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    const std::vector<uint8_t> short_block = Mdf3Bytes(big).Zeros(kCnAt).Raw(CnImage(big, CnFields{218}));
    for (const auto& image : {FullImage(big), short_block}) {
      MemoryBuffer buffer(image);
      buffer.pubseekpos(kCnAt);
      Cn3Block block;
      block.AttachToParent(&file);
      const size_t size = block.Read(buffer);
      EXPECT_EQ(block.Write(buffer), size);
      EXPECT_EQ(buffer.Bytes(), image);
    }
  }
}

TEST(Cn3Block, FieldsTooWideAreRefusedUnwritten) {
  struct Case {
    const char* text;
    void (*set)(Cn3Block&);
  };
  const Case cases[] = {
      {"Number of bits does not fit an MDF 3 block", [](Cn3Block& block) { block.BitCount(65536); }},
      {"Additional byte offset does not fit an MDF 3 block", [](Cn3Block& block) { block.ByteOffset(100000); }},
      {"Text too long for an MDF 3 text block", [](Cn3Block& block) { block.DisplayName(std::string(65531, 'd')); }},
      {"Text too long for an MDF 3 text block", [](Cn3Block& block) { block.SetComment(std::string(65531, 'c')); }},
  };
  for (const auto& c : cases) {
    MemoryBuffer buffer;
    Cn3Block block;
    block.Name(std::string(40, 'n'));  // its text would precede the block
    c.set(block);
    EXPECT_EQ(test::ThrownText([&] { block.Write(buffer); }), c.text);
    EXPECT_TRUE(buffer.Bytes().empty());
    EXPECT_EQ(block.FilePosition(), 0);
  }
}

TEST(Cn3Block, PropertyRows) {
  test::Mdf3Parent file(false);
  const auto block = ReadCn(FullImage(false), file, nullptr, kCnAt);
  const auto rows = test::Rows(*block);
  EXPECT_EQ(test::Listing(std::vector<mdf::BlockProperty>(rows.begin() + test::kHeaderRows, rows.end())),
            "# Links\n"
            "Next CN=0x0|Link to next channel\n"
            "Conversion CC=0x124|Link to channel conversion\n"
            "Source Dependency CE=0x162|Link to source dependency block\n"
            "Dependency CD=0x1B8|Link to dependency\n"
            "Comment TX=0x1CC|remark\n"
            "--\n"
            "# Information\n"
            "Channel Type=Data channel\n"
            "Short Name=EngineSpeed\n"
            "Description=crank shaft\n"
            "Start Offset [bits]=19\n"
            "Number of bits=16\n"
            "Signal Data Type=0|Unsigned Integer\n"
            "Range Valid=True\n"
            "Min Range=-1.5\n"
            "Max Range=8000\n"
            "Sampling Rate [s]=0.01\n"
            "Long Nane=" +
                std::string(40, 'L') +
                "\n"
                "Display Nane=Speed\n"
                "Byte Offset=8192\n");
  Cn3Block time;
  time.ChannelType(mdf::kMasterChannel);
  EXPECT_EQ(test::RowValue(test::Rows(time), "Channel Type"), "Time channel");
  EXPECT_EQ(test::RowValue(test::Rows(time), "Range Valid"), "False");
}

TEST(Cn3Block, EveryTruncationIsAReadError) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    CnFields longer;
    longer.size = 236;
    const std::vector<uint8_t> longer_block = Mdf3Bytes(big).Zeros(kCnAt).Raw(CnImage(big, longer));
    for (const auto& image : {FullImage(big), longer_block}) {
      test::ExpectEveryTruncationThrows(
          image,
          [&](MemoryBuffer& buffer) {
            buffer.pubseekpos(kCnAt);
            Cn3Block block;
            block.AttachToParent(&file);
            block.Read(buffer);
          },
          "Invalid number of bytes read");
    }
  }
}

}  // namespace
