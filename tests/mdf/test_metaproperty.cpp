// "common_properties" lists and the elements of a comment's root, read and edited through
// IMetaData.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "md4block.h"
#include "mdf/imetadata.h"
#include "mdf/metaproperty.h"
#include "support/logcapture.h"
#include "support/loggerheadercomment.h"

using mdf::MetaProperty;
using mdf::detail::Md4Block;

namespace {

const MetaProperty* FindChild(const MetaProperty& parent, const std::string& name) {
  for (const auto& child : parent.Children()) {
    if (child.Name() == name) return &child;
  }
  return nullptr;
}

TEST(MetaProperty, LoggerHeaderComment) {
  Md4Block comment(test::kLoggerHeaderComment);
  const auto list = comment.ReadPropertyList();
  ASSERT_EQ(list.size(), 2U);
  EXPECT_EQ(list[0].Name(), "Device Information");
  EXPECT_EQ(list[0].Value(), "");
  EXPECT_EQ(list[0].Children().size(), 7U);
  EXPECT_EQ(list[1].Name(), "File Information");

  const MetaProperty* serial = FindChild(list[0], "serial number");
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(serial->Value(), "0000A1B2");
  EXPECT_EQ(serial->Type(), "string");
  EXPECT_TRUE(serial->ReadOnly());
  EXPECT_EQ(serial->Ci(), -1);
  const MetaProperty* storage = FindChild(list[0], "storage total");
  ASSERT_NE(storage, nullptr);
  EXPECT_EQ(storage->Unit(), "KiB");
  EXPECT_EQ(storage->Type(), "integer");

  ASSERT_NE(FindChild(list[1], "session"), nullptr);
  EXPECT_EQ(FindChild(list[1], "session")->Value(), "17");
  EXPECT_EQ(FindChild(list[1], "split")->Value(), "3");
  EXPECT_EQ(FindChild(list[1], "comment")->Value(), "");

  // The values live inside the trees: no top-level entry carries them.
  for (const auto& entry : list) {
    EXPECT_NE(entry.Name(), "serial number");
  }
}

TEST(MetaProperty, EntryFields) {
  Md4Block comment(
      "<HDcomment><common_properties>\n"
      "  <e NAME=' n1 ' Desc='d' unit='u' unit_ref='r' type='float' xml:lang='en' ro='yes'> 1.5 </e>\n"
      "  <e name='n2' ci='7' ro='no'/>\n"
      "  <other name='skipped'/>\n"
      "  <tree name='t'><e name='a'>1</e><x/><tree name='deeper'><e name='b'>2</e></tree></tree>\n"
      "</common_properties></HDcomment>");
  const auto list = comment.ReadPropertyList();
  ASSERT_EQ(list.size(), 3U);
  const auto& first = list[0];
  EXPECT_EQ(first.Name(), "n1");
  EXPECT_EQ(first.Description(), "d");
  EXPECT_EQ(first.Unit(), "u");
  EXPECT_EQ(first.UnitReference(), "r");
  EXPECT_EQ(first.Type(), "float");
  EXPECT_EQ(first.Language(), "en");
  EXPECT_EQ(first.Value(), "1.5");
  EXPECT_TRUE(first.ReadOnly());
  EXPECT_EQ(first.Ci(), -1);
  EXPECT_FALSE(list[1].ReadOnly());
  EXPECT_EQ(list[1].Ci(), 7);
  ASSERT_EQ(list[2].Children().size(), 2U);
  EXPECT_EQ(list[2].Children()[1].Name(), "deeper");
  ASSERT_EQ(list[2].Children()[1].Children().size(), 1U);
  EXPECT_EQ(list[2].Children()[1].Children()[0].Value(), "2");

  std::vector<MetaProperty> out(5);
  comment.ReadPropertyList(out);
  EXPECT_EQ(out.size(), 3U);
}

TEST(MetaProperty, NoListWithoutCommonProperties) {
  EXPECT_TRUE(Md4Block("<HDcomment><TX>x</TX></HDcomment>").ReadPropertyList().empty());
  EXPECT_TRUE(Md4Block("plain text").ReadPropertyList().empty());
  EXPECT_TRUE(Md4Block("").ReadPropertyList().empty());
}

TEST(MetaData, ElementValue) {
  Md4Block comment("<FHcomment>\n  <TX>\n   the text \n  </TX>\n  <tool_id>QX</tool_id>\n</FHcomment>");
  EXPECT_EQ(comment.ElementValue("TX"), "the text");
  EXPECT_EQ(comment.ElementValue("TOOL_ID"), "QX");
  EXPECT_EQ(comment.ElementValue("tool_vendor"), "");
}

TEST(MetaData, SetElementValueReplacesOrAppends) {
  Md4Block comment("<FHcomment>\n  <TX>old</TX>\n  <tool_id>QX</tool_id>\n</FHcomment>\n");
  ASSERT_TRUE(comment.SetElementValue("TX", "new"));
  EXPECT_EQ(comment.XmlText(), "<FHcomment>\n  <TX>new</TX>\n  <tool_id>QX</tool_id>\n</FHcomment>\n");
  ASSERT_TRUE(comment.SetElementValue("tool_vendor", "V & Co"));
  EXPECT_EQ(comment.XmlText(),
            "<FHcomment>\n  <TX>new</TX>\n  <tool_id>QX</tool_id>\n  <tool_vendor>V &amp; Co</tool_vendor>\n"
            "</FHcomment>\n");
  EXPECT_EQ(comment.ElementValue("tool_vendor"), "V & Co");
}

TEST(MetaData, SetElementValueNeverLosesText) {
  Md4Block empty;
  EXPECT_FALSE(empty.SetElementValue("TX", "x"));
  EXPECT_EQ(empty.XmlText(), "");

  test::LogCapture log;
  const std::string broken = "<HDcomment><TX>keep</TX><open></HDcomment>";
  Md4Block damaged(broken);
  EXPECT_FALSE(damaged.SetElementValue("TX", "x"));
  EXPECT_EQ(damaged.XmlText(), broken);
  Md4Block plain("not xml");
  EXPECT_FALSE(plain.SetElementValue("TX", "x"));
  EXPECT_EQ(plain.XmlText(), "not xml");
}

}  // namespace
