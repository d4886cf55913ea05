// The MD block: id choice, the "TX" element, display text and the comment's display rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "md4block.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using mdf::BlockItemType;
using mdf::BlockProperty;
using mdf::detail::Md4Block;
using mdf::detail::MdfBlock;
using test::Bytes;
using test::Listing;
using test::MemoryBuffer;
using test::Rows;

namespace {

TEST(Md4Block, IdChoice) {
  EXPECT_EQ(Md4Block().BlockId(), "##MD");
  EXPECT_EQ(Md4Block("").BlockId(), "##TX");
  EXPECT_EQ(Md4Block("plain").BlockId(), "##TX");
  EXPECT_EQ(Md4Block(" <a/>").BlockId(), "##TX");
  EXPECT_EQ(Md4Block("<a/>").BlockId(), "##MD");
  EXPECT_EQ(Md4Block("<a/>").BlockType(), "MD");
}

TEST(Md4Block, SetXmlTextKeepsTheId) {
  Md4Block block("plain");
  block.SetXmlText("<r><TX>x</TX><tool_id>T</tool_id></r>");
  EXPECT_EQ(block.BlockId(), "##TX");
  EXPECT_EQ(block.XmlText(), "<r><TX>x</TX><tool_id>T</tool_id></r>");
  EXPECT_EQ(Listing(Rows(block)), "Comment=<r><TX>x</TX><tool_id>T</tool_id></r>\n");
  EXPECT_EQ(block.Text(), "<r><TX>x</TX><tool_id>T</tool_id></r>");  // Shown as the plain text it claims to be.
}

TEST(Md4Block, ReadAndWriteAreThoseOfTheTextBlock) {
  const std::string xml = "<CNcomment>\n  <TX>speed</TX>\n</CNcomment>\n";
  const std::vector<uint8_t> bytes = Bytes().Raw("##MD").Zeros(4).U64(24 + xml.size() + 1).U64(0).Raw(xml).Zeros(1);
  auto file = Bytes().Zeros(64).Raw(std::string(bytes.begin(), bytes.end())).Data();
  MemoryBuffer buffer(file);
  buffer.pubseekpos(64);
  Md4Block block;
  block.Read(buffer);
  EXPECT_EQ(block.BlockType(), "MD");
  EXPECT_EQ(block.FilePosition(), 64);
  EXPECT_EQ(block.Text(), "speed");

  Md4Block copy(xml);
  MemoryBuffer out(std::string(64, '\0'));
  EXPECT_EQ(copy.Write(out), 24 + xml.size() + 1);
  EXPECT_EQ(out.Bytes(), file);
}

TEST(Md4Block, OneOrTwoRootChildren) {
  Md4Block single("<HDcomment><TX>abc</TX></HDcomment>");
  EXPECT_EQ(Listing(Rows(single)), "Comment=abc\n");

  Md4Block two("<HDcomment><TX>abc</TX><tool_id>T1</tool_id></HDcomment>");
  EXPECT_EQ(Listing(Rows(two)), "--\n# Meta Data\nComment=abc\nTool ID=T1\n");

  // A single child that is not "TX" shows nothing.
  EXPECT_TRUE(Rows(Md4Block("<HDcomment><tool_id>T1</tool_id></HDcomment>")).empty());
}

TEST(Md4Block, DisplayTextIsShortened) {
  const auto comment = [](const std::string& text) { return Md4Block("<r><TX>" + text + "</TX></r>").Text(); };
  EXPECT_EQ(comment(std::string(39, 'a')), std::string(39, 'a'));
  EXPECT_EQ(comment(std::string(40, 'b')), std::string(40, 'b') + " ...");
  EXPECT_EQ(comment(std::string(41, 'c')), std::string(40, 'c') + " ...");
  EXPECT_EQ(Md4Block("<r><other/></r>").Text(), "");

  // Text that is not XML: no text, and the raw text as one row.
  test::LogCapture log;
  Md4Block broken;
  broken.SetXmlText("<r><TX>abc</r>");
  EXPECT_EQ(broken.Text(), "");
  EXPECT_EQ(Listing(Rows(broken)), "Comment=<r><TX>abc</r>\n");
  EXPECT_TRUE(log.Contains("XML parser error."));
}

TEST(Md4Block, FullListingGolden) {
  Md4Block block(
      "<HDcomment xmlns='http://www.asam.net/mdf/v4'>\n"
      "  <TX>A comment that is rather longer than forty characters</TX>\n"
      "  <tool_version>1.2</tool_version>\n"
      "  <tool_id>QX</tool_id>\n"
      "  <common_properties>\n"
      "    <tree name='Device'>\n"
      "      <e name='serial number'>0042</e>\n"
      "      <tree name='Empty'/>\n"
      "      <tree name='Inner'><e name='depth'>2</e></tree>\n"
      "    </tree>\n"
      "    <e name='speed' unit='' unit_ref='km'>12</e>\n"
      "    <e name='plain' desc='no unit'>1</e>\n"
      "    <e name='volt' unit='V' unit_ref='x'>3</e>\n"
      "  </common_properties>\n"
      "  <constants><const name='pi'>3.14</const></constants>\n"
      "  <UNIT-SPEC>\n"
      "    <UNITS>\n"
      "      <UNIT><SHORT_NAME>old</SHORT_NAME><SHORT_NAME>kmh</SHORT_NAME><DISPLAY-NAME>km/h</DISPLAY-NAME>\n"
      "        <PHYSICAL-DIMENSION-REF ID-REF='velocity'/><DESC xml:lang='en'>speed</DESC><DESC>fast</DESC></UNIT>\n"
      "      <UNIT><SHORT_NAME>none</SHORT_NAME></UNIT>\n"
      "    </UNITS>\n"
      "    <PHYSICAL-DIMENSIONS><PHYSICAL-DIMENSION ID='velocity'><SHORT_NAME>v</SHORT_NAME>"
      "<DESC xml:lang='de'>Tempo</DESC></PHYSICAL-DIMENSION></PHYSICAL-DIMENSIONS>\n"
      "    <UNITGROUPS><UNITGROUP><SHORT_NAME>metric</SHORT_NAME>"
      "<UNIT-REFS><UNIT-REF ID-REF='kmh'/><UNIT-REF ID-REF='ms'/></UNIT-REFS>"
      "<UNIT-REFS><UNIT-REF ID-REF='mm'/></UNIT-REFS></UNITGROUP></UNITGROUPS>\n"
      "  </UNIT-SPEC>\n"
      "  <names>\n"
      "    <display>dropped before the first name</display>\n"
      "    <name>Speed</name><display>v</display><vendor>ACME</vendor><description>Vehicle</description>\n"
      "    <name>Other</name><description>only text</description><Display>ignored: case differs</Display>\n"
      "    <name></name><display>nameless</display>\n"
      "  </names>\n"
      "</HDcomment>\n");
  EXPECT_EQ(Listing(Rows(block)),
            "--\n# Meta Data\n"
            "Comment=A comment that is rather longer than forty characters\n"
            "Tool ID=QX\n"
            "Tool Version=1.2\n"
            "--\n# Properties\n"
            "speed [km]=12\n"
            "plain=1|no unit\n"
            "volt [V]=3\n"
            "--\n# Device\n"
            "serial number=0042\n"
            "--\n# Inner\n"
            "depth=2\n"
            "--\n# Constants\n"
            "pi=3.14\n"
            "--\n# Units\n"
            "kmh=km/h|Ref: velocity, en:speed, fast\n"
            "none=|Ref: \n"
            "--\n# Physical Dimensions\n"
            "v=velocity|de:Tempo\n"
            "--\n# Unit Groups\n"
            "Unit Group=metric|kmh, ms, mm\n"
            "--\n# Alternative Names\n"
            "Speed=v|ACME:Vehicle\n"
            "Other=|only text\n");
}

TEST(Md4Block, EmptySectionsHaveNoHeading) {
  Md4Block block("<r><TX/><common_properties/><names/><constants>  </constants></r>");
  EXPECT_EQ(Listing(Rows(block)), "--\n# Meta Data\n");
  Md4Block displays("<r><TX/><names><display>a</display></names></r>");
  EXPECT_EQ(Listing(Rows(displays)), "--\n# Meta Data\n--\n# Alternative Names\n");
}

TEST(Md4Block, SetElementTextKeepsTheRest) {
  Md4Block block("<CNcomment>\n  <TX>old</TX>\n  <unit>m</unit>\n</CNcomment>\n");
  ASSERT_TRUE(block.SetElementText("new"));
  EXPECT_EQ(block.XmlText(), "<CNcomment>\n  <TX>new</TX>\n  <unit>m</unit>\n</CNcomment>\n");

  Md4Block appended("<CNcomment><unit>m</unit></CNcomment>");
  appended.SetElementText("a&b");
  EXPECT_EQ(appended.XmlText(), "<CNcomment>\n  <unit>m</unit>\n  <TX>a&amp;b</TX>\n</CNcomment>\n");
  EXPECT_EQ(appended.Text(), "a&b");
}

TEST(Md4Block, SetElementTextOnPlainOrBrokenText) {
  // The plain text of a TX comment becomes a document named after the owner.
  class Channel : public MdfBlock {
   public:
    Channel() { block_id_ = "##CN"; }
    size_t Read(std::streambuf&) override { return 0; }
  } channel;
  Md4Block plain("old plain text");
  plain.AttachToParent(&channel);
  ASSERT_TRUE(plain.SetElementText("value"));
  EXPECT_EQ(plain.BlockId(), "##MD");
  EXPECT_EQ(plain.XmlText(), "<CNcomment>\n  <TX>value</TX>\n</CNcomment>\n");
  EXPECT_EQ(plain.Text(), "value");

  Md4Block empty("");
  ASSERT_TRUE(empty.SetElementText("v"));
  EXPECT_EQ(empty.XmlText(), "<comment>\n  <TX>v</TX>\n</comment>\n");

  // XML that does not parse stays as it is.
  test::LogCapture log;
  const std::string broken = "<CNcomment><TX>keep</TX><unit>m</CNcomment>";
  Md4Block damaged(broken);
  EXPECT_FALSE(damaged.SetElementText("lost?"));
  EXPECT_EQ(damaged.XmlText(), broken);
  EXPECT_TRUE(log.Contains("XML parser error."));
}

}  // namespace
