// The MDF 3 conversion block: its types through the shared formulas, its own text look-ups,
// hand-made images in both byte orders, byte-exact writing and damaged blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cc3block.h"
#include "support/logcapture.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"
#include "support/rows.h"
#include "support/thrown.h"

using mdf::detail::Cc3Block;
using mdf::detail::MakeCc3Block;
using test::Mdf3Bytes;
using test::MemoryBuffer;

namespace {

// Header, range valid, minimum, maximum, unit and type of a CC block of `size` bytes.
Mdf3Bytes CcFixed(bool big, uint16_t size, uint16_t type, const std::string& unit = "km/h") {
  Mdf3Bytes bytes(big);
  bytes.Header("CC", size).U16(1).F64(-5.0).F64(250.0).Text(unit, 20).U16(type);
  return bytes;
}

std::vector<uint8_t> LinearImage(bool big) { return CcFixed(big, 62, 0).U16(2).F64(10.0).F64(0.5); }

// A text range table: default "other", [0, 10] "low", [10, 20] "high", texts in TX blocks
// behind the CC block at 106, 115 and 122.
std::vector<uint8_t> RangeImage(bool big) {
  Mdf3Bytes bytes = CcFixed(big, 106, 12, "");
  bytes.U16(3);
  bytes.F64(0).F64(0).U32(106);
  bytes.F64(0).F64(10).U32(115);
  bytes.F64(10).F64(20).U32(122);
  bytes.Header("TX", 9).Raw("other").Zeros(0).Header("TX", 7).Raw("low").Zeros(0).Header("TX", 9).Raw("high").Zeros(1);
  return bytes;
}

std::unique_ptr<Cc3Block> ReadCc(const std::vector<uint8_t>& image, test::Mdf3Parent& file) {
  MemoryBuffer buffer(image);
  auto block = MakeCc3Block();
  block->AttachToParent(&file);
  block->Read(buffer);
  return block;
}

TEST(Cc3Block, LinearThroughTheSharedFormula) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    MemoryBuffer buffer(LinearImage(big));
    Cc3Block block;
    block.AttachToParent(&file);
    EXPECT_EQ(block.Read(buffer), 62U);
    EXPECT_EQ(block.Type(), mdf::kLinearConversion);
    EXPECT_EQ(block.NofValues(), 2);
    EXPECT_EQ(block.Unit(), "km/h");
    EXPECT_TRUE(block.RangeValid());
    EXPECT_EQ(block.RangeMin(), -5.0);
    EXPECT_EQ(block.RangeMax(), 250.0);
    double value = 0.0;
    EXPECT_TRUE(block.Convert(100, value));
    EXPECT_EQ(value, 60.0);
    std::string text;
    EXPECT_TRUE(block.ValueToText(100, text));
    EXPECT_EQ(text, "60");
  }
}

TEST(Cc3Block, BlockWithoutCountHasNoParameters) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    // A 44-byte block ends before the count: what follows is another block.
    MemoryBuffer buffer(CcFixed(big, 44, 0).U16(2).F64(10.0));
    Cc3Block block;
    block.AttachToParent(&file);
    EXPECT_EQ(block.Read(buffer), 44U);
    EXPECT_EQ(block.NofValues(), 0);
    EXPECT_TRUE(block.Parameters().empty());
    double value = 7.0;
    EXPECT_FALSE(block.ConvertLinear(3.0, value));
  }
}

TEST(Cc3Block, TypesMapToTheLibraryTypes) {
  struct Case {
    uint16_t mdf3;
    uint8_t library;
    const char* name;
  };
  const Case cases[] = {
      {0, 1, "Linear"},
      {1, 4, "Tabular Interpolation"},
      {2, 5, "Tabular"},
      {6, 30, "Polynomial"},
      {7, 31, "Exponential"},
      {8, 32, "Logarithmic"},
      {9, 2, "Rational"},
      {10, 3, "Formula"},
      {11, 7, "Text Table"},
      {12, 8, "Text Range Table"},
      {132, 33, "Date"},
      {133, 34, "Time"},
      {65535, 0, "No Conversion"},
  };
  for (const auto& c : cases) {
    Cc3Block block;
    block.ConversionType(c.mdf3);
    EXPECT_EQ(block.Type(), c.library) << c.name;
    EXPECT_EQ(mdf::detail::Cc3TypeName(c.mdf3), c.name);
    Cc3Block back;
    back.SetType(c.library);
    EXPECT_EQ(back.ConversionType(), c.mdf3) << c.name;
  }
  for (const uint16_t unknown : {3, 5, 13, 131, 134, 200, 65534}) {
    Cc3Block block;
    block.ConversionType(unknown);
    EXPECT_EQ(block.Type(), 0) << unknown;
    EXPECT_EQ(mdf::detail::Cc3TypeName(unknown), "Unknown");
  }
  for (const uint8_t lacking : {6, 9, 10, 11, 12, 35, 255}) {
    Cc3Block block;
    block.ConversionType(Cc3Block::kLinear);
    block.SetType(lacking);
    EXPECT_EQ(block.ConversionType(), Cc3Block::kNoConversion) << int{lacking};
  }
  EXPECT_EQ(MakeCc3Block()->ConversionType(), Cc3Block::kNoConversion);
}

TEST(Cc3Block, UnknownTypeAndFormulaConvertNothing) {
  test::Mdf3Parent file(false);
  const auto unknown = ReadCc(CcFixed(false, 54, 200).U16(1).F64(3.0), file);
  EXPECT_TRUE(unknown->Parameters().empty());  // an unknown type has no data
  double value = 0.0;
  EXPECT_TRUE(unknown->Convert(5, value));
  EXPECT_EQ(value, 5.0);
  EXPECT_EQ(test::FindRow(test::Rows(*unknown), "Conversion Type")->description, "Unknown");

  const auto formula = ReadCc(CcFixed(false, 49, 10).U16(3).Raw("X*2"), file);
  EXPECT_EQ(formula->Type(), mdf::kAlgebraicConversion);
  EXPECT_EQ(formula->Formula(), "X*2");
  EXPECT_FALSE(formula->Convert(5, value));
  const auto rows = test::Rows(*formula);
  EXPECT_EQ(test::FindRow(rows, "Conversion Type")->value, "10");
  EXPECT_EQ(test::FindRow(rows, "Conversion Type")->description, "Formula");
  EXPECT_EQ(test::RowValue(rows, "Formula"), "X*2");
}

TEST(Cc3Block, TabularPairsAreParametersInFileOrder) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    const auto block = ReadCc(CcFixed(big, 78, 1).U16(2).F64(0).F64(0).F64(10).F64(100), file);
    ASSERT_EQ(block->Parameters().size(), 4U);
    EXPECT_EQ(block->ParameterAsDouble(2), 10.0);
    double value = 0.0;
    EXPECT_TRUE(block->Convert(5, value));
    EXPECT_EQ(value, 50.0);
  }
}

TEST(Cc3Block, TextTableMatchesExactly) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    const auto block = ReadCc(CcFixed(big, 126, 11).U16(2).F64(0).Text("Off", 32).F64(1).Text("On", 32), file);
    std::string text = "untouched";
    EXPECT_TRUE(block->ConvertValueToText(1.0, text));
    EXPECT_EQ(text, "On");
    text = "untouched";
    EXPECT_FALSE(block->ConvertValueToText(0.5, text));
    EXPECT_EQ(text, "untouched");
    EXPECT_TRUE(block->ValueToText(0.0, text));
    EXPECT_EQ(text, "Off");
  }
}

TEST(Cc3Block, TextRangeTableWithSharedBounds) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    const auto block = ReadCc(RangeImage(big), file);
    ASSERT_EQ(block->TextRangeTable().size(), 3U);
    EXPECT_EQ(block->TextRangeTable()[2].link, 122U);
    struct Case {
      double value;
      const char* text;
    };
    // The channel data type stays 0 (integer): the upper bound belongs to its range.
    for (const auto& c :
         {Case{10, "low"}, Case{0, "low"}, Case{15, "high"}, Case{20, "high"}, Case{25, "other"}, Case{-1, "other"}}) {
      std::string text;
      EXPECT_TRUE(block->ConvertValueRangeToText(c.value, text));
      EXPECT_EQ(text, c.text) << c.value;
    }
    block->SetChannelDataType(mdf::kFloatLe);
    std::string text;
    block->ConvertValueRangeToText(10, text);
    EXPECT_EQ(text, "high");
  }

  test::Mdf3Parent file(false);
  const auto only_default =
      ReadCc(CcFixed(false, 66, 12).U16(1).F64(0).F64(100).U32(66).Header("TX", 8).Raw("any").Zeros(1), file);
  for (const double value : {-1.0, 0.0, 50.0, 1e9}) {
    std::string text;
    EXPECT_TRUE(only_default->ConvertValueRangeToText(value, text));
    EXPECT_EQ(text, "any");
  }
  Cc3Block empty;
  std::string text = "untouched";
  EXPECT_FALSE(empty.ConvertValueRangeToText(1.0, text));
  EXPECT_EQ(text, "untouched");
}

TEST(Cc3Block, WritesLinearBlockByteExact) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    MemoryBuffer buffer(std::string(3, 'x'));
    auto block = MakeCc3Block();
    block->AttachToParent(&file);
    block->SetType(mdf::kLinearConversion);
    block->SetUnit("km/h");
    block->PhysicalRange(true, -5.0, 250.0);
    block->SetParameter(0, 10.0);
    block->SetParameter(1, 0.5);
    EXPECT_EQ(block->Write(buffer), 62U);
    EXPECT_EQ(block->FilePosition(), 3);
    EXPECT_EQ(block->NofValues(), 2);
    EXPECT_EQ(buffer.Bytes(), test::Concat({test::Bytes().Raw("xxx"), LinearImage(big)}));

    // Written once: a second write leaves the file as it is.
    EXPECT_EQ(block->Write(buffer), 62U);
    EXPECT_EQ(buffer.Bytes().size(), 65U);
  }
}

TEST(Cc3Block, WritesRangeTextsBeforeTheBlock) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    MemoryBuffer buffer;
    Cc3Block block;
    block.AttachToParent(&file);
    block.ConversionType(Cc3Block::kTextRangeTable);
    block.TextRangeTable() = {{0, 0, 99, "dflt"}, {1, 2, 0, ""}};
    EXPECT_EQ(block.Write(buffer), 86U);  // 46 + 2 x 20
    EXPECT_EQ(block.FilePosition(), 9);
    const std::vector<uint8_t> expected = Mdf3Bytes(big)
                                              .Header("TX", 9)
                                              .Raw("dflt")
                                              .Zeros(1)
                                              .Header("CC", 86)
                                              .U16(0)
                                              .F64(0)
                                              .F64(0)
                                              .Zeros(20)
                                              .U16(12)
                                              .U16(2)
                                              .F64(0)
                                              .F64(0)
                                              .U32(0)
                                              .F64(1)
                                              .F64(2)
                                              .U32(0);
    EXPECT_EQ(buffer.Bytes(), expected);
    EXPECT_EQ(block.TextRangeTable()[0].link, 0U);
  }
}

TEST(Cc3Block, WritesFormulaAndTextTable) {
  MemoryBuffer buffer;
  Cc3Block formula;
  formula.SetType(mdf::kAlgebraicConversion);
  formula.SetFormula("X*2");
  // The formula field: 256 bytes, zero-terminated; the count its characters.
  EXPECT_EQ(formula.Write(buffer), 302U);
  EXPECT_EQ(buffer.Bytes(),
            std::vector<uint8_t>(
                Mdf3Bytes(false).Header("CC", 302).U16(0).F64(0).F64(0).Zeros(20).U16(10).U16(3).Text("X*2", 256)));
  MemoryBuffer table;
  Cc3Block texts;
  texts.SetType(mdf::kValueToTextConversion);
  texts.TextTable() = {{1.0, "On"}};
  EXPECT_EQ(texts.Write(table), 86U);
  EXPECT_EQ(test::Slice(table.Bytes(), 44), std::vector<uint8_t>(Mdf3Bytes(false).U16(1).F64(1.0).Text("On", 32)));
}

// A reader that takes the whole formula field finds the text and its zero inside the block,
// as ours does by the count; one that does not fit the field with its zero is refused.
TEST(Cc3Block, FormulaFieldIsZeroTerminatedInsideTheBlock) {
  for (const std::string& text : {std::string("X*2-1"), std::string(255, 'x'), std::string()}) {
    SCOPED_TRACE(text.size());
    MemoryBuffer buffer;
    Cc3Block written;
    written.SetType(mdf::kAlgebraicConversion);
    written.SetFormula(text);
    EXPECT_EQ(written.Write(buffer), 302U);
    const std::vector<uint8_t>& bytes = buffer.Bytes();
    ASSERT_EQ(bytes.size(), 302U);
    EXPECT_EQ(bytes[2] | bytes[3] << 8, 302);                                 // the block size
    EXPECT_EQ(static_cast<size_t>(bytes[44] | bytes[45] << 8), text.size());  // the count
    const auto field = bytes.begin() + 46;
    const auto zero = std::find(field, bytes.end(), uint8_t{0});
    ASSERT_NE(zero, bytes.end());
    EXPECT_EQ(std::string(field, zero), text);
    EXPECT_TRUE(std::all_of(zero, bytes.end(), [](uint8_t byte) { return byte == 0; }));

    test::Mdf3Parent file(false);
    const auto read = ReadCc(bytes, file);
    EXPECT_EQ(read->Type(), mdf::kAlgebraicConversion);
    EXPECT_EQ(read->Formula(), text);
  }
  MemoryBuffer buffer;
  Cc3Block longer;
  longer.SetType(mdf::kAlgebraicConversion);
  longer.SetFormula(std::string(256, 'x'));
  EXPECT_EQ(test::ThrownText([&] { longer.Write(buffer); }), "Conversion block does not fit an MDF 3 block");
  EXPECT_TRUE(buffer.Bytes().empty());
  EXPECT_EQ(longer.FilePosition(), 0);
}

TEST(Cc3Block, OversizedBlockIsRefusedUnwritten) {
  MemoryBuffer buffer;
  Cc3Block formula;
  formula.SetType(mdf::kAlgebraicConversion);
  formula.SetFormula(std::string(65490, 'x'));  // 46 + 65,490 bytes exceed the size field
  EXPECT_EQ(test::ThrownText([&] { formula.Write(buffer); }), "Conversion block does not fit an MDF 3 block");
  EXPECT_TRUE(buffer.Bytes().empty());
  EXPECT_EQ(formula.FilePosition(), 0);

  Cc3Block range;
  range.ConversionType(Cc3Block::kTextRangeTable);
  range.TextRangeTable().resize(3300, {0, 0, 0, "text"});
  EXPECT_EQ(test::ThrownText([&] { range.Write(buffer); }), "Conversion block does not fit an MDF 3 block");
  EXPECT_TRUE(buffer.Bytes().empty());  // not even the texts

  Cc3Block long_text;
  long_text.ConversionType(Cc3Block::kTextRangeTable);
  long_text.TextRangeTable() = {{0, 0, 0, "fits"}, {0, 1, 0, std::string(65531, 't')}};
  EXPECT_EQ(test::ThrownText([&] { long_text.Write(buffer); }), "Text too long for an MDF 3 text block");
  EXPECT_TRUE(buffer.Bytes().empty());
}

TEST(Cc3Block, CountBeyondTheBlockReadsWhatFits) {
  test::LogCapture log;
  test::Mdf3Parent file(false);
  const auto block = ReadCc(CcFixed(false, 62, 0).U16(60000).F64(10.0).F64(0.5).F64(99.0), file);
  EXPECT_EQ(block->Parameters().size(), 2U);
  EXPECT_EQ(block->NofValues(), 60000);
  EXPECT_TRUE(log.Contains("Count exceeds its block. Block: CC"));
}

TEST(Cc3Block, PropertyRows) {
  test::Mdf3Parent file(false);
  const auto block = ReadCc(LinearImage(false), file);
  EXPECT_EQ(test::Listing(test::Rows(*block)),
            "# Header\nAddress=0x0\nType=CC\nLength=62\nLinks=0\n--\n# Information\nRange Valid=True\n"
            "Range Min=-5\nRange Max=250\nUnit=km/h\nConversion Type=0|Linear\nNof Values=2\nParameter=10\n"
            "Parameter=0.5\n");
  const auto range = ReadCc(RangeImage(false), file);
  const auto rows = test::Rows(*range);
  EXPECT_EQ(test::CountRows(rows, "Lower"), 3U);
  EXPECT_EQ(test::RowsLabelled(rows, "Text")[2]->value, "high");
  EXPECT_EQ(test::RowsLabelled(rows, "Upper")[1]->value, "10");
}

TEST(Cc3Block, EveryTruncationIsAReadError) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    const std::vector<std::vector<uint8_t>> images = {LinearImage(big),
                                                      CcFixed(big, 86, 11).U16(1).F64(1).Text("On", 32),
                                                      RangeImage(big), CcFixed(big, 49, 10).U16(3).Raw("X*2")};
    for (const auto& image : images) {
      test::ExpectEveryTruncationThrows(
          image,
          [&](MemoryBuffer& buffer) {
            Cc3Block block;
            block.AttachToParent(&file);
            block.Read(buffer);
          },
          "Invalid number of bytes read");
    }
  }
}

}  // namespace
