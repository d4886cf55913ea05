// The rule of the texts an MDF 4 file holds (valid UTF-8; an MD block well-formed XML): what
// breaks it, the part of a broken text that could be read, and the text blocks that apply it
// on both sides, a read (damage) and a write (the output holds only what reads back).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannelconversion.h"
#include "mdf/iheader.h"
#include "mdf/imetadata.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdfwriter.h"
#include "mdf/textrule.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/tempdir.h"
#include "support/writerkit.h"
#include "support/writerlayout.h"
#include "tx4block.h"

namespace {

using Kind = mdf::TextFault::Kind;

TEST(TextRule, Utf8ValidLengthEndsBeforeTheFirstInvalidSequence) {
  const struct {
    std::string text;
    size_t valid;
  } cases[] = {
      {"", 0},
      {"plain", 5},
      {"A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", 10},  // 2, 3 and 4 bytes
      {"ab\xFF", 2},                                  // no lead byte
      {"ab\x80", 2},                                  // a stray continuation byte
      {"ab\xE2\x82", 2},                              // a sequence cut by the end
      {"ab\xE2\x28\xA1", 2},                          // a sequence cut by another byte
      {"ab\xC0\xAF", 2},                              // overlong
      {"ab\xED\xA0\x80", 2},                          // a surrogate
      {"ab\xF4\x90\x80\x80", 2},                      // above U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mdf::Utf8ValidLength(c.text), c.valid) << c.text;
  }
}

TEST(TextRule, FindsWhereATextBreaksIt) {
  const struct {
    std::string text;
    bool xml;
    Kind kind;
    std::string where;
  } cases[] = {
      {"caf\xC3\xA9", false, Kind::kNone, ""},
      {"", false, Kind::kNone, ""},
      {"ab\xFF"
       "cd",
       false, Kind::kNotUtf8, "Byte: 2"},
      {"<a>x\xC3</a>", false, Kind::kNotUtf8, "Byte: 4"},
      {"<a x='1'><b>v</b></a>", true, Kind::kNone, ""},
      {"<a xmlns='u' xmlns:p='v'><p:b/></a>", true, Kind::kNone, ""},
      {"\xEF\xBB\xBF<a/>", true, Kind::kNone, ""},  // a byte order mark
      {"<a>x\xC3</a>", true, Kind::kNotUtf8, "Byte: 4"},
      {"", true, Kind::kNotWellFormed, "Line: 1, Column: 0, Error: no element found"},
      {"plain", true, Kind::kNotWellFormed, "Line: 1, Column: 0, Error: syntax error"},
      {"<a>\n  <b></c>\n</a>", true, Kind::kNotWellFormed, "Line: 2, Column: 7, Error: mismatched tag"},
      {"<a>\x01</a>", true, Kind::kNotWellFormed, "Line: 1, Column: 3, Error: not well-formed (invalid token)"},
      // Well-formed to a parser that knows no namespaces, but not to the readers of the format.
      {"<a><p:b/></a>", true, Kind::kNotWellFormed, "Line: 1, Column: 3, Error: unbound prefix"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const mdf::TextFault fault = mdf::FindTextFault(c.text, c.xml);
    EXPECT_EQ(fault.kind, c.kind);
    EXPECT_EQ(fault.where, c.where);
  }
  // The parser's depth bound is the rule's: 256 levels, the root the first.
  const auto nested = [](int levels, const std::string& inside) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    text += inside;
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
  };
  EXPECT_FALSE(mdf::FindTextFault(nested(256, "x"), true));
  const mdf::TextFault deep = mdf::FindTextFault(nested(257, ""), true);
  EXPECT_EQ(deep.kind, Kind::kNotWellFormed);
  EXPECT_EQ(deep.where, "Line: 1, Column: 768, Error: elements nested deeper than 256 levels");
  // Plain text is no XML, however it nests.
  EXPECT_FALSE(mdf::FindTextFault(nested(300, ""), false));
  EXPECT_STREQ(mdf::FindTextFault("\xFF", false).What(), "Text that is not valid UTF-8");
  EXPECT_STREQ(mdf::FindTextFault("<a>", true).What(), "XML that is not well-formed");
}

TEST(TextRule, KeepsOnlyThePartThatCouldBeRead) {
  const struct {
    const char* name;
    std::string text;
    bool xml;
    std::string part;
  } cases[] = {
      {"sound text stays as it is", "<a x='1'>  <b>v</b></a>", true, "<a x='1'>  <b>v</b></a>"},
      {"plain text ends before its first invalid byte",
       "ab\xE2\x82"
       "cd",
       false, "ab"},
      {"closed elements stay in the open ones, which lose their text", "<r a='1'>x<t n='1'><e>1</e><e>2</e></r>", true,
       "<r a='1'>\n  <t n='1'>\n    <e>1</e>\n    <e>2</e>\n  </t>\n</r>\n"},
      {"an element whose text the error cut is left out", "<r><e n='1'>one</e><e n='2'>tw\xFFo</e></r>", true,
       "<r>\n  <e n='1'>one</e>\n</r>\n"},
      {"an error after the root keeps it whole", "<r><e>1</e></r><r/>", true, "<r>\n  <e>1</e>\n</r>\n"},
      {"a root in which nothing closed gives nothing", "<r>text</r", true, ""},
      {"a damaged root tag gives nothing", "<r\xFF><e>1</e></r>", true, ""},
      {"plain text is no XML", "plain", true, ""},
      {"an unbound prefix leaves nothing a reader could parse", "<r><p:e>1</p:e></r>", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string part = mdf::ReadablePart(c.text, c.xml);
    EXPECT_EQ(part, c.part);
    EXPECT_TRUE(part.empty() || !mdf::FindTextFault(part, c.xml));  // empty: no text at all
  }
}

// A document nested deeper than the bound keeps every level within it, and all that follows the
// levels below it: a header comment whose properties come after them still has them.
TEST(TextRule, LevelsBelowTheDepthBoundAreLeftOutAndWhatFollowsThemStays) {
  std::string text = "<r><TX>before</TX>";
  for (int i = 0; i < 255; ++i) text += "<a>";
  text += "<deep n='1'>x<deeper/></deep>";
  for (int i = 0; i < 255; ++i) text += "</a>";
  text += "<e n='p'>kept</e></r>";
  ASSERT_TRUE(mdf::FindTextFault(text, true));
  const std::string part = mdf::ReadablePart(text, true);
  EXPECT_FALSE(mdf::FindTextFault(part, true));
  EXPECT_NE(part.find("<TX>before</TX>"), std::string::npos) << part;
  EXPECT_NE(part.find("<e n='p'>kept</e>"), std::string::npos) << part;
  EXPECT_EQ(part.find("deep"), std::string::npos);
  size_t levels = 0;
  for (size_t at = part.find("<a"); at != std::string::npos; at = part.find("<a", at + 1)) ++levels;
  EXPECT_EQ(levels, 255U);  // the root and these: 256
}

// A text block read from a file: one that breaks the rule is logged as damage, and the block
// holds the part that could be read.
TEST(TextRule, ABlockThatBreaksItIsDamageAndKeepsTheReadablePart) {
  const struct {
    const char* id;
    std::string text;
    std::string kept;
    std::string logged;
  } cases[] = {
      {"##TX", "Rich\xFF", "Rich", "Text that is not valid UTF-8. Block: 0x0, Byte: 4"},
      {"##MD", "<r><TX>kept</TX><TX>cut", "<r>\n  <TX>kept</TX>\n</r>\n",
       "XML that is not well-formed. Block: 0x0, Line: 1, Column: 23, Error: no element found"},
      {"##TX", "<r><TX>cut", "<r><TX>cut", ""},  // a TX block holds no XML
      {"##MD", "<r/>", "<r/>", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    test::MemoryBuffer buffer(std::string(c.id) == "##MD" ? test::MetaBlock(c.text) : test::TextBlock(c.text));
    test::LogCapture log;
    mdf::detail::Tx4Block read;
    read.Read(buffer);
    EXPECT_EQ(read.FullText(), mdf::detail::Tx4Block(c.kept).FullText());
    if (c.logged.empty()) {
      EXPECT_TRUE(log.entries.empty());
    } else {
      ASSERT_EQ(log.entries.size(), 1U);
      EXPECT_EQ(log.entries[0].text, c.logged);
      EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
    }
  }
}

// Whatever texts a writer is handed, each reads back, and the checker finds no problem.
TEST(TextRule, AWriterCutsEveryTextToWhatReadsBack) {
  test::LogCapture log;
  auto buffer = std::make_shared<test::MemoryBuffer>();
  auto writer = mdf::CreateMdfWriter(mdf::MdfWriterType::kMdf4Writer);
  ASSERT_TRUE(writer->Init(buffer));
  writer->WorkPeriod(test::kWaitingWorker);
  writer->GetFile()->SetMinorVersion(11);
  writer->Header()->MakeMetaData()->SetXmlText("<HDcomment><TX>kept</TX><TX>cut\xFF</TX></HDcomment>");
  const test::RichGroups groups = test::AddRichDataGroup(*writer);
  groups.rich->Name("Rich\xE2\x82");
  test::ChannelOf(*groups.rich, "State")->ChannelConversion()->SetReference(2, "Unknown\xC0\xAF");
  test::ChannelOf(*groups.rich, "Level")->Unit("<unit>m</p:unit>");
  ASSERT_TRUE(test::RunRichCycle(*writer, groups, 5));
  writer.reset();

  std::vector<std::string> cuts;
  for (const test::LogEntry& entry : log.entries) {
    if (entry.text.find(" is cut to its readable part. ") != std::string::npos) cuts.push_back(entry.text);
  }
  EXPECT_EQ(cuts.size(), 4U);
  const test::ReadBack read(buffer->Bytes());
  ASSERT_TRUE(read.Ok());
  EXPECT_EQ(read.File()->Header()->MetaDataInterface()->XmlText(), "<HDcomment>\n  <TX>kept</TX>\n</HDcomment>");
  EXPECT_EQ(read.DataGroups().at(0)->ChannelGroups().at(0)->Name(), "Rich");

  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  const test::CheckResult check = test::RunMdf4Check(tool, "", dir.Write("texts.mf4", buffer->Bytes()));
  EXPECT_EQ(check.status, 0) << check.output;
}

}  // namespace
