// XML elements and documents: lookup rules, attribute reading, golden serialization and
// parsing through expat.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "mdf/ixmlfile.h"
#include "mdf/ixmlnode.h"
#include "support/logcapture.h"
#include "xmlnode.h"

using mdf::IXmlFile;
using mdf::IXmlNode;
using mdf::MakeXmlFile;
using mdf::XmlNode;
using mdf::XmlNodeList;

namespace {

std::string Serialized(const IXmlNode& node) {
  std::ostringstream text;
  node.Write(text, 0);
  return text.str();
}

TEST(XmlNode, TagIsTrimmedAndMatchedWithoutCaseOrPrefix) {
  XmlNode root(" \n root\t");
  EXPECT_EQ(root.Tag(), "root");
  root.NewChild("ee");
  const IXmlNode* suffixed = root.NewChild("e:x");
  const IXmlNode* upper = root.NewChild("E");
  const IXmlNode* prefixed = root.NewChild("p:e");
  EXPECT_EQ(root.FindChild("e"), upper);
  EXPECT_TRUE(prefixed->IsTagName("E"));
  EXPECT_TRUE(prefixed->IsTagName("P:E"));
  EXPECT_FALSE(prefixed->IsTagName("p"));
  EXPECT_FALSE(suffixed->IsTagName("e"));  // Only the part after the colon counts.
  EXPECT_TRUE(suffixed->IsTagName("x"));
  EXPECT_FALSE(root.NewChild("e")->IsTagName("p:e"));  // The given tag is never split.
}

TEST(XmlNode, AttributesKeepTheFirstValueAndInsertionOrder) {
  XmlNode node("n");
  node.SetAttributeValue("name", "first");
  node.SetAttributeValue("name", "second");
  node.SetAttributeValue("NAME", "other");
  node.SetAttributeValue("count", 12);
  ASSERT_EQ(node.Attributes().size(), 3U);
  EXPECT_EQ(node.Attributes()[0].second, "first");
  EXPECT_EQ(node.Attributes()[1].first, "NAME");
  EXPECT_EQ(node.Attribute<std::string>("Name", ""), "first");  // Lookup ignores case.
  EXPECT_TRUE(node.HasAttribute("NAME", "FIRST"));
  EXPECT_TRUE(node.HasAttribute("name", "other"));  // Skips the differing value, goes on.
  EXPECT_FALSE(node.HasAttribute("name", "third"));
  EXPECT_EQ(node.Attribute("missing", "dflt"), "dflt");
  EXPECT_EQ(Serialized(node), "<n name='first' NAME='other' count='12'/>\n");
}

TEST(XmlNode, TypedAttributes) {
  XmlNode node("n");
  const char* attributes[] = {"a",   "on", "b", "True", "c", "yes", "d",   " 1 ", "e",    "0",    "f",
                              "off", "g",  "2", "h",    "",  "i",   "abc", "j",   " 12 ", nullptr};
  node.SetAttributes(attributes);
  for (const char* key : {"a", "b", "c", "d"}) {
    EXPECT_TRUE(node.Attribute<bool>(key, false)) << key;
  }
  for (const char* key : {"e", "f", "g", "h"}) {
    EXPECT_FALSE(node.Attribute<bool>(key, true)) << key;
  }
  EXPECT_TRUE(node.Attribute<bool>("missing", true));
  EXPECT_EQ(node.Attribute<int>("i", 5), 0);
  EXPECT_EQ(node.Attribute<int>("j", 5), 12);
  EXPECT_EQ(node.Attribute<int>("missing", 5), 5);

  // Floating values keep every digit, whatever the locale.
  node.SetAttributeValue("x", 123456789.0);
  node.SetAttributeValue("y", 0.1);
  EXPECT_EQ(node.Attribute<std::string>("x", ""), "123456789");
  EXPECT_EQ(node.Attribute<std::string>("y", ""), "0.1");
}

TEST(XmlNode, UniqueChildrenAndChildList) {
  XmlNode root("r");
  IXmlNode* e1 = root.UniqueChildWithAttribute("e", "name", "a");
  EXPECT_EQ(root.UniqueChildWithAttribute("E", "NAME", "A"), e1);
  IXmlNode* e2 = root.UniqueChildWithAttribute("e", "name", "b");
  EXPECT_NE(e2, e1);
  EXPECT_EQ(root.FindChildWithAttribute("e", "name", "b"), e2);
  EXPECT_EQ(root.UniqueChild("e"), e1);
  IXmlNode* tx = root.UniqueChild("TX");
  root.AddChild(nullptr);  // Null children are skipped everywhere.

  XmlNode other("o");
  XmlNodeList list{&other};
  root.Children(list);
  ASSERT_EQ(list.size(), 4U);
  EXPECT_EQ(list[0], &other);
  EXPECT_EQ(list[3], tx);
  EXPECT_EQ(Serialized(root), "<r>\n  <e name='a'/>\n  <e name='b'/>\n  <TX/>\n</r>\n");
}

TEST(XmlNode, SerializationGolden) {
  XmlNode root("HDcomment");
  root.SetValueText("ignored, the node has children");
  root.NewChild("TX")->SetValueText("a<b");
  root.NewChild("e")->SetAttributeValue("name", "x");
  EXPECT_EQ(Serialized(root), "<HDcomment>\n  <TX>a&lt;b</TX>\n  <e name='x'/>\n</HDcomment>\n");

  XmlNode leaf("v");
  leaf.SetValueText("'");
  EXPECT_EQ(Serialized(leaf), "<v>&apos;</v>\n");
  leaf.SetValueText("&<>\"'\xC3\xA4");
  leaf.SetAttributeValue("q", "\"'");
  std::ostringstream nested;
  leaf.Write(nested, 2);
  EXPECT_EQ(nested.str(), "    <v q='&quot;&apos;'>&amp;&lt;&gt;&quot;&apos;\xC3\xA4</v>\n");
}

TEST(XmlNode, AppendValueDropsNulBytes) {
  XmlNode node("n");
  node.AppendValue("a\0b", 3);
  node.AppendValue(nullptr, 4);
  node.AppendValue("c", 0);
  EXPECT_EQ(node.Value(), "ab");
}

TEST(XmlFile, DeclarationAndRoot) {
  auto file = MakeXmlFile("Expat");
  EXPECT_EQ(file->WriteToString(false), "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n");
  EXPECT_EQ(file->WriteToString(true), "");
  file->SetRootName("root")->NewChild("child");
  file->StyleSheet("style.xsl");
  file->Standalone(false);
  EXPECT_EQ(file->WriteToString(false),
            "<?xml version='1.0' encoding='UTF-8'?>\n"
            "<?xml-stylesheet type='text/xsl' href='style.xsl'?>\n"
            "<root>\n  <child/>\n</root>\n");
  // Renaming keeps the children.
  EXPECT_EQ(file->SetRootName("other"), file->RootNode());
  EXPECT_EQ(file->WriteToString(true), "<other>\n  <child/>\n</other>\n");

  file->Reset();
  EXPECT_EQ(file->RootNode(), nullptr);
  EXPECT_TRUE(file->Standalone());
  EXPECT_EQ(file->StyleSheet(), "style.xsl");
}

TEST(XmlFile, ParseStringBuildsTheTree) {
  auto file = MakeXmlFile("Expat");
  ASSERT_TRUE(
      file->ParseString("<?xml version='1.1' encoding='utf-8' standalone='no'?>\n"
                        "<r a='1'>\n  <TX>\n   text &amp; more\n  </TX>\n  <p:e name='x'>v</p:e>\n</r>"));
  EXPECT_EQ(file->Version(), "1.1");
  EXPECT_EQ(file->Encoding(), "utf-8");
  EXPECT_FALSE(file->Standalone());
  EXPECT_EQ(file->Property("TX"), "text & more");
  EXPECT_EQ(file->Property("missing", "dflt"), "dflt");
  ASSERT_NE(file->FindRootChild("e"), nullptr);
  EXPECT_EQ(file->FindRootChild("e")->Attribute<std::string>("name", ""), "x");
  XmlNodeList children;
  file->RootChildren(children);
  EXPECT_EQ(children.size(), 2U);
  EXPECT_EQ(file->WriteToString(false),
            "<?xml version='1.1' encoding='utf-8'?>\n"
            "<r a='1'>\n  <TX>\n   text &amp; more\n  </TX>\n  <p:e name='x'>v</p:e>\n</r>\n");

  // Without a declaration standalone stays set; a new parse replaces the whole tree.
  ASSERT_TRUE(file->ParseString("<other/>"));
  EXPECT_TRUE(file->Standalone());
  EXPECT_EQ(file->Version(), "1.0");
  EXPECT_EQ(file->WriteToString(true), "<other/>\n");
}

TEST(XmlFile, ParseErrorsAreLoggedWithPosition) {
  test::LogCapture log;
  auto file = MakeXmlFile("Expat");
  EXPECT_FALSE(file->ParseString(""));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "XML parser error.  Line: 1, Column: 0, Error: no element found, File: ");
  EXPECT_EQ(log.entries[0].location.function, "ParseString");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);

  log.entries.clear();
  file->FileName("named.xml");
  EXPECT_FALSE(file->ParseString("<a>\n  <b></c>\n</a>"));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "XML parser error.  Line: 2, Column: 7, Error: mismatched tag, File: named.xml");
  // The tree built up to the error stays.
  ASSERT_NE(file->RootNode(), nullptr);
  EXPECT_NE(file->FindRootChild("b"), nullptr);
}

TEST(XmlFile, DeepNestingIsRefused) {
  test::LogCapture log;
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  auto file = MakeXmlFile("Expat");
  EXPECT_FALSE(file->ParseString(deep));
  EXPECT_TRUE(log.Contains("XML parser error."));
  // Nesting within the bound parses; one level more is refused with the bound's text, as the
  // text rule refuses it.
  const auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
  };
  EXPECT_TRUE(file->ParseString(nested(256)));
  log.entries.clear();
  EXPECT_FALSE(file->ParseString(nested(257)));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text,
            "XML parser error.  Line: 1, Column: 768, Error: elements nested deeper than 256 levels, File: ");
}

TEST(XmlFile, WriterKindCannotParse) {
  auto writer = MakeXmlFile("filewriter");
  EXPECT_FALSE(writer->ParseString("<a/>"));
  EXPECT_FALSE(writer->ParseFile());
  auto parser = MakeXmlFile("anything");
  EXPECT_TRUE(parser->ParseString("<a/>"));
}

class XmlFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ =
        ::testing::TempDir() + "xmlfile_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".xml";
  }
  void TearDown() override { std::remove(path_.c_str()); }
  std::string ReadAll() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void WriteAll(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
  std::string path_;
};

TEST_F(XmlFileOnDisk, WriteFileWithBomOnlyForUtf8) {
  auto file = MakeXmlFile("FileWriter");
  file->FileName(path_);
  file->SetRootName("r");
  file->Encoding("utf-8");
  ASSERT_TRUE(file->WriteFile());
  EXPECT_EQ(ReadAll(), "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8' standalone='yes'?>\n<r/>\n");
  file->Encoding("ISO-8859-1");
  ASSERT_TRUE(file->WriteFile());
  EXPECT_EQ(ReadAll(), "<?xml version='1.0' encoding='ISO-8859-1' standalone='yes'?>\n<r/>\n");
}

TEST_F(XmlFileOnDisk, WriteFileFailures) {
  test::LogCapture log;
  auto file = MakeXmlFile("FileWriter");
  EXPECT_FALSE(file->WriteFile());
  EXPECT_TRUE(log.Contains("No file name defined"));
  file->FileName(::testing::TempDir() + "no/such/dir/x.xml");
  EXPECT_FALSE(file->WriteFile());
  EXPECT_TRUE(log.Contains("Couldn't open file for writing. File: " + file->FileName()));
}

TEST_F(XmlFileOnDisk, ParseFileAcceptsACutDocument) {
  // Longer than one 1024-byte chunk, and cut inside an element.
  std::string text = "<?xml version='1.0'?>\n<r>\n";
  for (int i = 0; i < 100; ++i) text += "  <e name='n" + std::to_string(i) + "'>value</e>\n";
  text += "  <e name='cut'>val";
  WriteAll(text);
  auto file = MakeXmlFile("Expat");
  file->FileName(path_);
  ASSERT_TRUE(file->ParseFile());
  XmlNodeList children;
  file->RootChildren(children);
  EXPECT_EQ(children.size(), 101U);
  EXPECT_EQ(children.back()->Attribute<std::string>("name", ""), "cut");

  test::LogCapture log;
  WriteAll("<r><a></b></r>");
  EXPECT_FALSE(file->ParseFile());
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].location.function, "ParseFile");
  EXPECT_EQ(log.entries[0].text, "XML parser error.  Line: 1, Column: 8, Error: mismatched tag, File: " + path_);

  file->FileName(path_ + ".missing");
  EXPECT_FALSE(file->ParseFile());
  EXPECT_EQ(log.entries.size(), 1U);  // A file that cannot be opened is no logged error.

  // A directory opens but cannot be read.
  file->FileName(::testing::TempDir());
  EXPECT_FALSE(file->ParseFile());
  EXPECT_TRUE(log.Contains("XML file error.  Error: Not entire file was read. File: " + ::testing::TempDir()));
}

}  // namespace
