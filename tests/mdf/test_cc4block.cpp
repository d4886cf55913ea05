// The conversion block: layout, references and inverse, text look-ups, damaged reference
// chains, display rows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "cc4block.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using mdf::detail::Cc4Block;
using test::Bytes;
using test::DoubleBits;
using test::FileImage;
using test::MemoryBuffer;
using test::Rows;
using test::RowValue;

namespace {

// A file image whose blocks may not overlap, behind the identification block's place.
FileImage Image() { return FileImage(Bytes().Zeros(64)); }

struct CcFields {
  std::vector<int64_t> links = {0, 0, 0, 0};  // name, unit, comment, inverse, references...
  uint8_t type = 0;
  uint8_t precision = 0;
  uint16_t flags = 0;
  uint16_t nof_references = 0;
  double min = 0.0;
  double max = 0.0;
  std::vector<uint64_t> values;  // raw 8-byte patterns
};

std::vector<uint8_t> Cc(const CcFields& cc) {
  Bytes bytes;
  bytes.Raw("##CC").Zeros(4).U64(24 + 8 * cc.links.size() + 24 + 8 * cc.values.size()).U64(cc.links.size());
  for (const int64_t link : cc.links) bytes.U64(static_cast<uint64_t>(link));
  bytes.U8(cc.type).U8(cc.precision).U16(cc.flags).U16(cc.nof_references).U16(static_cast<uint16_t>(cc.values.size()));
  bytes.U64(DoubleBits(cc.min)).U64(DoubleBits(cc.max));
  for (const uint64_t value : cc.values) bytes.U64(value);
  return bytes;
}

TEST(Cc4Block, LinearWithUnitGoldenBytes) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Cc4Block block;
  block.SetType(1);
  block.SetParameter(0, 0.0);
  block.SetParameter(1, 1e-6);
  block.SetUnit("s");
  EXPECT_EQ(block.Write(buffer), 96U);

  CcFields cc;
  cc.links = {0, 64, 0, 0};
  cc.type = 1;
  cc.values = {DoubleBits(0.0), DoubleBits(1e-6)};
  const auto expected = Image().Place(64, test::TextBlock("s")).Place(96, Cc(cc)).Data();
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(block.FilePosition(), 96);
  EXPECT_EQ(block.NofValues(), 2U);
  EXPECT_EQ(block.NofReferences(), 0U);
  EXPECT_TRUE(block.IsUnitValid());

  // Written once: a second write returns the stored length and adds nothing.
  block.SetName("late");
  EXPECT_EQ(block.Write(buffer), 96U);
  EXPECT_EQ(buffer.Bytes(), expected);

  buffer.pubseekpos(96);
  Cc4Block read;
  EXPECT_EQ(read.Read(buffer), 96U);
  EXPECT_EQ(read.Type(), 1);
  EXPECT_EQ(read.Unit(), "s");
  EXPECT_EQ(read.ParameterAsDouble(1), 1e-6);
  double out = 0;
  ASSERT_TRUE(read.ConvertLinear(2e6, out));
  EXPECT_EQ(out, 2.0);
}

TEST(Cc4Block, ValueToTextWithReferencesInverseAndNestedConversion) {
  // 64 "Name", 96 "off", 128 "on", 160 nested linear CC, 272 inverse CC, 352 "other", 384 the block.
  CcFields nested;
  nested.type = 1;
  nested.values = {DoubleBits(100.0), DoubleBits(2.0)};
  CcFields inverse;
  inverse.type = 1;
  CcFields cc;
  cc.links = {64, 0, 0, 272, 96, 128, 160, 352};
  cc.type = 7;
  cc.precision = 255;
  cc.nof_references = 4;
  cc.values = {DoubleBits(0.0), DoubleBits(1.0), DoubleBits(2.0)};
  const auto image = Image()
                         .Place(64, test::TextBlock("Name"))
                         .Place(96, test::TextBlock("off"))
                         .Place(128, test::TextBlock(" on "))
                         .Place(160, Cc(nested))
                         .Place(272, Cc(inverse))
                         .Place(352, test::TextBlock("other"))
                         .Place(384, Cc(cc))
                         .Data();
  MemoryBuffer buffer(image);
  buffer.pubseekpos(384);
  Cc4Block block;
  block.SetChannelDataType(2);
  EXPECT_EQ(block.Read(buffer), 24U + 8 * 8 + 24 + 8 * 3);
  EXPECT_EQ(block.Name(), "Name");
  EXPECT_EQ(block.NofReferences(), 4U);
  ASSERT_EQ(block.References().size(), 4U);
  ASSERT_NE(block.Inverse(), nullptr);
  EXPECT_EQ(block.Inverse()->FilePosition(), 272);
  EXPECT_EQ(block.Reference(0), "off");
  EXPECT_EQ(block.Reference(1), "on");  // trimmed
  EXPECT_EQ(block.Reference(2), "Not TX");
  EXPECT_EQ(block.Reference(9), "Not TX");
  const auto* nested_block = dynamic_cast<const Cc4Block*>(block.References()[2].get());
  ASSERT_NE(nested_block, nullptr);
  EXPECT_EQ(nested_block->ChannelDataType(), 2);  // handed down while reading

  std::string text;
  EXPECT_TRUE(block.ConvertValueToText(0, text));
  EXPECT_EQ(text, "off");
  EXPECT_TRUE(block.ConvertValueToText(1, text));
  EXPECT_EQ(text, "on");
  EXPECT_TRUE(block.ConvertValueToText(2, text));  // nested: 100 + 2 * 2
  EXPECT_EQ(text, "104");
  EXPECT_TRUE(block.ConvertValueToText(5, text));
  EXPECT_EQ(text, "other");
  EXPECT_TRUE(block.ConvertValueToText(std::nan(""), text));
  EXPECT_EQ(text, "other");
  EXPECT_TRUE(block.ValueToText(1, text));
  EXPECT_EQ(text, "on");

  EXPECT_EQ(block.FindByPosition(272), block.Inverse() == nullptr ? nullptr : dynamic_cast<Cc4Block*>(block.Inverse()));
  EXPECT_EQ(block.FindByPosition(160), block.References()[2].get());
  EXPECT_EQ(block.FindByPosition(128), block.References()[1].get());
  EXPECT_EQ(block.FindByPosition(384), &block);
  EXPECT_EQ(block.FindByPosition(64), nullptr);  // the name is not kept as a block

  const auto rows = Rows(block);
  test::ExpectRowValues(rows, {{"Conversion Type", "Value to Text"}, {"Name", "Name"}, {"Unit", "<missing>"}});
  EXPECT_EQ(RowValue(rows, "Nof Decimals"), "<missing>");  // precision 255
  EXPECT_EQ(RowValue(rows, "Nof References"), "4");
  EXPECT_EQ(RowValue(rows, "Value 2"), "2");
  size_t tx_rows = 0;
  size_t cc_rows = 0;
  for (const auto& row : rows) {
    tx_rows += row.label == "Reference Link TX" ? 1 : 0;
    cc_rows += row.label == "Reference Link CC" ? 1 : 0;
  }
  EXPECT_EQ(tx_rows, 3U);
  EXPECT_EQ(cc_rows, 1U);
}

TEST(Cc4Block, BitfieldMasksStayIntegersThroughARoundTrip) {
  CcFields cc;
  cc.type = 11;
  cc.values = {0xFFFFFFFFFFFFFFFFULL, 0x8000000000000001ULL};
  const auto image = Image().Place(64, Cc(cc)).Data();
  MemoryBuffer buffer(image);
  buffer.pubseekpos(64);
  Cc4Block read;
  read.Read(buffer);
  ASSERT_EQ(read.Parameters().size(), 2U);
  EXPECT_EQ(std::get<uint64_t>(read.Parameters()[1]), 0x8000000000000001ULL);
  EXPECT_EQ(RowValue(Rows(read), "Conversion Type"), "Bitfield to Text");
  EXPECT_EQ(RowValue(Rows(read), "Value 0"), "1.84467e+19");
  EXPECT_EQ(read.Write(buffer), 96U);  // from the file: not written again
  EXPECT_EQ(buffer.Bytes(), image);

  // The masks moved into a new block come out as the same 8-byte patterns.
  struct Writable : Cc4Block {
    void Take(const std::vector<mdf::ConversionParameter>& values) { value_list_ = values; }
  } fresh;
  fresh.SetType(11);
  fresh.Take(read.Parameters());
  MemoryBuffer out(std::string(64, '\0'));
  EXPECT_EQ(fresh.Write(out), 96U);
  EXPECT_EQ(out.Bytes(), image);
}

TEST(Cc4Block, RangeLookupAtTheUpperBound) {
  Cc4Block block;
  block.SetType(8);
  for (const double bound : {0.0, 10.0, 10.0, 20.0}) {
    block.SetParameter(static_cast<uint16_t>(block.Parameters().size()), bound);
  }
  block.SetReference(0, "low");
  block.SetReference(1, "high");
  block.SetReference(2, "default");
  std::string text;
  block.SetChannelDataType(0);
  EXPECT_TRUE(block.ConvertValueRangeToText(10, text));
  EXPECT_EQ(text, "low");
  block.SetChannelDataType(4);
  EXPECT_TRUE(block.ConvertValueRangeToText(10, text));
  EXPECT_EQ(text, "high");
  EXPECT_TRUE(block.ConvertValueRangeToText(20, text));
  EXPECT_EQ(text, "default");
  block.SetChannelDataType(6);
  EXPECT_TRUE(block.ConvertValueRangeToText(5, text));
  EXPECT_EQ(text, "default");
  EXPECT_TRUE(block.ValueToText(5, text));
  EXPECT_EQ(text, "default");
}

TEST(Cc4Block, LookupDefaultsAndNullEntries) {
  // Value to text whose default reference (link 0) is null.
  CcFields cc;
  cc.links = {0, 0, 0, 0, 96, 0};
  cc.type = 7;
  cc.nof_references = 2;
  cc.values = {DoubleBits(1.0)};
  MemoryBuffer buffer(
      Image().Place(64, test::TextBlock("hello")).Place(96, test::TextBlock("one")).Place(128, Cc(cc)).Data());
  buffer.pubseekpos(128);
  Cc4Block block;
  block.Read(buffer);
  ASSERT_EQ(block.References().size(), 2U);
  EXPECT_EQ(block.References()[1], nullptr);
  std::string text = "old";
  EXPECT_TRUE(block.ConvertValueToText(3, text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(block.ConvertValueToText(1, text));
  EXPECT_EQ(text, "one");

  Cc4Block empty;
  EXPECT_FALSE(empty.ConvertValueToText(1, text));
  EXPECT_FALSE(empty.ConvertValueRangeToText(1, text));
  EXPECT_FALSE(empty.ConvertTextToText("a", text));
  double value = 0;
  EXPECT_FALSE(empty.ConvertTextToValue("a", value));
}

TEST(Cc4Block, TextKeyedLookups) {
  Cc4Block to_value;
  to_value.SetType(9);
  to_value.SetReference(0, "low");
  to_value.SetReference(1, "high");
  for (const double v : {1.0, 2.0, -1.0}) {
    to_value.SetParameter(static_cast<uint16_t>(to_value.Parameters().size()), v);
  }
  double value = 0;
  EXPECT_TRUE(to_value.ConvertTextToValue("high", value));
  EXPECT_EQ(value, 2.0);
  EXPECT_TRUE(to_value.ConvertTextToValue("HIGH", value));  // case counts: the default
  EXPECT_EQ(value, -1.0);

  Cc4Block to_text;
  to_text.SetType(10);
  to_text.SetReference(0, "a");
  to_text.SetReference(1, "A");
  to_text.SetReference(2, "b");
  to_text.SetReference(3, "B");
  to_text.SetReference(4, "?");
  std::string text;
  EXPECT_TRUE(to_text.ConvertTextToText("b", text));
  EXPECT_EQ(text, "B");
  EXPECT_TRUE(to_text.ConvertTextToText("c", text));
  EXPECT_EQ(text, "?");

  // A null output entry fails here, unlike in the value look-ups.
  CcFields cc;
  cc.links = {0, 0, 0, 0, 64, 0, 0};
  cc.type = 10;
  cc.nof_references = 3;
  MemoryBuffer buffer(Image().Place(64, test::TextBlock("key")).Place(96, Cc(cc)).Data());
  buffer.pubseekpos(96);
  Cc4Block with_null;
  with_null.Read(buffer);
  EXPECT_FALSE(with_null.ConvertTextToText("key", text));
  EXPECT_FALSE(with_null.ConvertTextToText("other", text));
}

TEST(Cc4Block, ReferencesFormulaAndSettings) {
  Cc4Block block;
  block.SetReference(3, "four");
  ASSERT_EQ(block.References().size(), 4U);
  EXPECT_EQ(block.Reference(0), "");
  EXPECT_EQ(block.Reference(3), "four");
  block.SetReference(4, "five");
  block.SetReference(3, "changed");
  EXPECT_EQ(block.Reference(3), "changed");
  EXPECT_EQ(block.Reference(4), "five");
  EXPECT_EQ(block.References().size(), 5U);
  EXPECT_EQ(block.NofReferences(), 0U);  // the stored count follows at writing

  Cc4Block algebraic;
  algebraic.SetType(3);
  EXPECT_EQ(algebraic.Formula(), "");
  algebraic.SetFormula("X * 2");
  EXPECT_EQ(algebraic.Formula(), "X * 2");
  EXPECT_EQ(algebraic.Reference(0), "X * 2");
  double out = 0;
  EXPECT_FALSE(algebraic.ConvertAlgebraic(1, out));

  EXPECT_EQ(block.Decimals(), 17);
  EXPECT_FALSE(block.IsDecimalUsed());
  block.SetDecimals(3);
  EXPECT_EQ(block.Decimals(), 3);
  EXPECT_TRUE(block.IsDecimalUsed());
  block.SetFlags(0);
  EXPECT_EQ(block.Decimals(), 17);

  block.SetRange(5, 5);
  EXPECT_FALSE(block.Range().has_value());
  block.SetRange(1, 2);
  ASSERT_TRUE(block.Range().has_value());
  block.SetRange(5, 5);  // leaves the flag as it was
  ASSERT_TRUE(block.Range().has_value());
  EXPECT_EQ(block.Range()->first, 5.0);

  EXPECT_EQ(block.Unit(), "");
  EXPECT_FALSE(block.IsUnitValid());
  EXPECT_EQ(RowValue(Rows(block), "Flags"), "Range");
  block.SetFlags(7);
  EXPECT_EQ(RowValue(Rows(block), "Flags"), "Decimal,Range,Status");

  mdf::IChannelConversion* inverse = block.CreateInverse();
  ASSERT_NE(inverse, nullptr);
  EXPECT_EQ(block.Inverse(), inverse);
}

TEST(Cc4Block, InMemoryLookupsSeeTheirLists) {
  Cc4Block block;  // never read, never written: no stored counts yet
  block.SetType(7);
  block.SetParameter(0, 1.0);
  block.SetParameter(1, 2.0);
  block.SetReference(0, "one");
  block.SetReference(1, "two");
  block.SetReference(2, "other");
  std::string text;
  EXPECT_TRUE(block.ConvertValueToText(2, text));
  EXPECT_EQ(text, "two");
}

// A conversion of a type no conversion has: reported as it is read, and no value through it is
// known, though its raw value still reads; the last type the format has converts.
TEST(Cc4Block, AnUnknownTypeIsDamageAndGivesNoValue) {
  const struct {
    uint8_t type;
    const char* logged;  // null: nothing
    bool valid;
    double value;
  } cases[] = {
      {11, nullptr, true, 7.0},  // bit field to text: the number passes as it is
      {12, "Unknown conversion type. Conversion: , Type: 12, Block: 0x40", false, 7.0},
      {255, "Unknown conversion type. Conversion: , Type: 255, Block: 0x40", false, 7.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    CcFields fields;
    fields.type = c.type;
    MemoryBuffer buffer(Image().Place(64, Cc(fields)).Data());
    buffer.pubseekpos(64);
    test::LogCapture log;
    Cc4Block block;
    block.Read(buffer);
    if (c.logged == nullptr) {
      EXPECT_TRUE(log.entries.empty());
    } else {
      ASSERT_EQ(log.entries.size(), 1U);
      EXPECT_EQ(log.entries[0].text, c.logged);
      EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
    }
    double value = 0.0;
    EXPECT_EQ(block.Convert(uint64_t{7}, value), c.valid);
    EXPECT_EQ(value, c.value);
  }
}

TEST(Cc4Block, CyclicReferencesEndWithAnError) {
  // 64: A, whose inverse is A itself and whose reference 0 is B at 192; B refers back to A.
  CcFields a;
  a.links = {0, 0, 0, 64, 192, 0};
  a.type = 7;
  a.nof_references = 2;
  a.values = {DoubleBits(1.0)};
  CcFields b;
  b.links = {0, 0, 0, 0, 64};
  b.type = 7;
  b.nof_references = 1;
  MemoryBuffer buffer(Image().Place(64, Cc(a)).Place(192, Cc(b)).Data());
  buffer.pubseekpos(64);
  test::LogCapture log;
  Cc4Block block;
  block.Read(buffer);
  EXPECT_EQ(block.Inverse(), nullptr);
  ASSERT_EQ(block.References().size(), 2U);
  const auto* nested = dynamic_cast<const Cc4Block*>(block.References()[0].get());
  ASSERT_NE(nested, nullptr);
  ASSERT_EQ(nested->References().size(), 1U);
  EXPECT_EQ(nested->References()[0], nullptr);
  EXPECT_EQ(log.entries.size(), 2U);
  EXPECT_TRUE(log.Contains("refers back to itself"));

  std::string text;
  EXPECT_TRUE(block.ConvertValueToText(1, text));  // B's only reference (its default) is null
  EXPECT_EQ(text, "");
}

TEST(Cc4Block, DeepAndFanningChainsAreBounded) {
  // 100 conversions, each with its inverse link at the next: 64 of them are read.
  FileImage deep = Image();
  constexpr size_t kStride = 112;
  for (size_t i = 0; i < 100; ++i) {
    CcFields cc;
    cc.links = {0, 0, 0, i + 1 < 100 ? static_cast<int64_t>(64 + (i + 1) * kStride) : 0};
    deep.Place(64 + i * kStride, Cc(cc));
  }
  {
    MemoryBuffer buffer(deep.Data());
    buffer.pubseekpos(64);
    test::LogCapture log;
    Cc4Block block;
    block.Read(buffer);
    size_t depth = 0;
    for (const mdf::IChannelConversion* c = &block; c != nullptr; c = c->Inverse()) ++depth;
    EXPECT_EQ(depth, 64U);
    EXPECT_TRUE(log.Contains("nest deeper than 64"));
  }

  // 40 conversions, each referring twice to the next: without a bound 2^40 reads.
  FileImage fan = Image();
  constexpr size_t kFanStride = 128;
  for (size_t i = 0; i < 40; ++i) {
    CcFields cc;
    const auto next = static_cast<int64_t>(64 + (i + 1) * kFanStride);
    cc.links = {0, 0, 0, 0, i + 1 < 40 ? next : 0, i + 1 < 40 ? next : 0};
    cc.type = 7;
    cc.nof_references = 2;
    fan.Place(64 + i * kFanStride, Cc(cc));
  }
  MemoryBuffer buffer(fan.Data());
  buffer.pubseekpos(64);
  test::LogCapture log;
  Cc4Block block;
  block.Read(buffer);
  EXPECT_TRUE(log.Contains("more than 10000 nested conversions"));
}

TEST(Cc4Block, UnitCommentAndDisplayRows) {
  Cc4Block block;
  block.SetUnit("<CCunit><TX>km/h</TX></CCunit>");
  EXPECT_EQ(block.Unit(), "km/h");
  block.SetDescription("Speed conversion");
  EXPECT_EQ(block.Description(), "Speed conversion");
  block.SetType(1);
  block.SetParameter(0, 0.5);
  block.SetParameter(1, 1e-7);

  MemoryBuffer buffer(std::string(64, '\0'));
  block.Write(buffer);
  EXPECT_EQ(block.BlockId(), "##CC");
  EXPECT_TRUE(block.IsUnitValid());
  const auto rows = Rows(block);
  ASSERT_GT(block.Links()[1], 0);
  test::ExpectRowValues(rows, {{"Unit TX/MD", mdf::detail::AddressToText(block.Links()[1])},
                               {"Unit", "km/h"},
                               {"Conversion Type", "Linear"},
                               {"Nof Decimals", "0"},
                               {"Nof Values", "2"},
                               {"Value 0", "0.5"},
                               {"Value 1", "1e-07"},
                               {"Min Range", "0"},
                               {"Inverse CC", "0x0"}});

  // Read back: the unit is an MD block, the comment carries the description.
  buffer.pubseekpos(block.FilePosition());
  Cc4Block read;
  read.Read(buffer);
  EXPECT_EQ(read.Unit(), "km/h");
  EXPECT_EQ(read.Description(), "Speed conversion");

  Cc4Block bare;
  EXPECT_EQ(RowValue(Rows(bare), "Unit TX/MD"), "0x0");
  for (const auto& row : Rows(bare)) {
    if (row.label == "Unit TX/MD") {
      EXPECT_EQ(row.description, "<Invalid>");
    }
  }
}

}  // namespace
