// The header block: common properties in its XML comment, start angle and distance,
// writing the tree, and reading hand-made files with chains and references.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cg4block.h"
#include "cn4block.h"
#include "dg4block.h"
#include "hd4block.h"
#include "md4block.h"
#include "mdf/iattachment.h"
#include "mdf/ichannelgroup.h"
#include "mdf/mdfreader.h"
#include "mdf4file.h"
#include "support/channelfixtures.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/tempdir.h"

using mdf::detail::Hd4Block;
using mdf::detail::Md4Block;
using test::Bytes;
using test::MemoryBuffer;

namespace {

// A file image built block by block behind its identification block; links to blocks not
// yet placed are patched later.
test::FileImage Image() { return test::FileImage(test::IdentificationBlock("MDF", "4.11", 411, "Test")); }

std::vector<uint8_t> HeaderData() { return Bytes().U64(1000).Zeros(5).U8(10).U8(0).Zeros(17); }
std::vector<uint8_t> DataGroupData() { return Bytes().U8(1).Zeros(7); }
std::vector<uint8_t> GroupData(uint64_t record_id, uint16_t flags) {
  return Bytes().U64(record_id).U64(0).U16(flags).U16(0).Zeros(4).U32(0).U32(0);
}
std::vector<uint8_t> ChannelData(uint8_t type) {
  test::CnFields fields;
  fields.type = type;
  fields.bit_count = 64;
  const auto block = test::ChannelBlock(fields).Data();
  return {block.end() - 72, block.end()};
}

// Reads the image as a file and returns its header (owned by the reader).
Hd4Block* ReadAll(std::unique_ptr<mdf::MdfReader>& reader, const std::vector<uint8_t>& image) {
  reader = std::make_unique<mdf::MdfReader>(std::make_shared<MemoryBuffer>(image));
  EXPECT_TRUE(reader->ReadEverythingButData());
  return dynamic_cast<Hd4Block*>(reader->FileHeader());
}

TEST(Hd4Block, CommonPropertiesInTheComment) {
  Hd4Block header;
  header.Author("Ann");
  EXPECT_EQ(header.Author(), "Ann");
  const auto* comment = header.CommentAsMd4();
  ASSERT_NE(comment, nullptr);
  EXPECT_EQ(comment->BlockId(), "##MD");
  const std::string& xml = comment->XmlText();
  const auto tx = xml.find("<TX");
  const auto list = xml.find("<common_properties>");
  ASSERT_NE(tx, std::string::npos);
  ASSERT_NE(list, std::string::npos);
  EXPECT_LT(tx, list);
  EXPECT_NE(xml.find("<e name='author' type='string'>Ann</e>"), std::string::npos) << xml;

  header.Department("Test");
  header.Project("P1");
  header.Subject("S1");
  header.MeasurementId("m-uuid");
  header.RecorderId("r-uuid");
  header.Author("Bob");
  EXPECT_EQ(header.Author(), "Bob");
  EXPECT_EQ(header.Department(), "Test");
  EXPECT_EQ(header.Project(), "P1");
  EXPECT_EQ(header.Subject(), "S1");
  EXPECT_NE(header.CommentAsMd4()->XmlText().find("name='Measurement.UUID'"), std::string::npos);
  EXPECT_EQ(header.MeasurementId(), "m-uuid");
  EXPECT_EQ(header.RecorderId(), "r-uuid");
  header.Description("About the run");
  EXPECT_EQ(header.Description(), "About the run");
  EXPECT_EQ(header.Author(), "Bob");
}

TEST(Hd4Block, RecorderIndexIsAnInteger) {
  Hd4Block header;
  EXPECT_EQ(header.RecorderIndex(), 0);
  header.RecorderIndex(7);
  EXPECT_EQ(header.RecorderIndex(), 7);
  EXPECT_NE(header.CommentAsMd4()->XmlText().find("type='integer'>7<"), std::string::npos);
}

TEST(Hd4Block, PlainTextCommentsGiveNoPropertiesButSurviveASetter) {
  test::FileImage image = Image();
  const int64_t hd = image.Append("##HD", {0, 0, 0, 0, 0, 0}, HeaderData());
  const int64_t tx = image.Append("##TX", {}, Bytes().Raw("Measured on the test bench").U8(0));
  image.PatchLink(hd, 5, tx);
  std::unique_ptr<mdf::MdfReader> reader;
  Hd4Block* header = ReadAll(reader, image.Data());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->Author(), "");
  EXPECT_EQ(header->RecorderIndex(), 0);
  EXPECT_EQ(header->Description(), "Measured on the test bench");

  header->Project("P7");
  EXPECT_EQ(header->Project(), "P7");
  EXPECT_EQ(header->Description(), "Measured on the test bench");
  EXPECT_NE(header->CommentAsMd4()->XmlText().find("<TX>Measured on the test bench</TX>"), std::string::npos);

  // Broken XML cannot be kept; its loss is logged.
  Hd4Block broken;
  broken.AssignMdComment("<HDcomment><TX>unclosed</HDcomment>");
  test::LogCapture log;
  broken.Author("Ann");
  EXPECT_EQ(broken.Author(), "Ann");
  ASSERT_FALSE(log.entries.empty());
  EXPECT_EQ(log.entries.back().text.rfind("The header comment is not valid XML and is replaced.", 0), 0U);
  EXPECT_EQ(log.entries.back().severity, mdf::MdfLogSeverity::kError);
}

TEST(Hd4Block, RecorderIndexReadsTrimmedText) {
  test::FileImage image = Image();
  const int64_t hd = image.Append("##HD", {0, 0, 0, 0, 0, 0}, HeaderData());
  const int64_t md = image.Append("##MD", {},
                                  Bytes()
                                      .Raw("<HDcomment><TX/><common_properties><e name=\"Recorder.FileIndex\" "
                                           "type=\"integer\"> 12 </e></common_properties></HDcomment>")
                                      .U8(0));
  image.PatchLink(hd, 5, md);
  std::unique_ptr<mdf::MdfReader> reader;
  Hd4Block* header = ReadAll(reader, image.Data());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->RecorderIndex(), 12);
  EXPECT_EQ(header->TimeClass(), 10);
  EXPECT_EQ(header->StartTime(), 1000U);
}

TEST(Hd4Block, StartAngleAndDistanceSetTheirFlags) {
  Hd4Block header;
  EXPECT_FALSE(header.StartAngle().has_value());
  EXPECT_FALSE(header.StartDistance().has_value());
  header.StartAngle(1.5);
  ASSERT_TRUE(header.StartAngle().has_value());
  EXPECT_EQ(*header.StartAngle(), 1.5);
  EXPECT_EQ(header.Flags(), 0x01);
  header.StartDistance(2.0);
  EXPECT_EQ(header.Flags(), 0x03);
  EXPECT_EQ(header.FindByPosition(0), nullptr);
}

TEST(Hd4Block, WritesNewThenRewritesInPlace) {
  mdf::detail::Mdf4File file;
  MemoryBuffer buffer;
  ASSERT_TRUE(file.Write(buffer));
  auto head = test::HeaderAt(buffer.Bytes(), 64);
  EXPECT_EQ(head.id, "##HD");
  EXPECT_EQ(head.length, 104U);
  EXPECT_EQ(head.links, std::vector<int64_t>(6, 0));
  EXPECT_EQ(buffer.Bytes().size(), 168U);

  mdf::IDataGroup* data_group = file.CreateDataGroup();
  mdf::IChannelGroup* group = data_group->CreateChannelGroup();
  group->Name("G");
  ASSERT_TRUE(file.Write(buffer));
  head = test::HeaderAt(buffer.Bytes(), 64);
  EXPECT_EQ(head.length, 104U);
  EXPECT_EQ(head.links[0], data_group->FilePosition());
  const size_t size = buffer.Bytes().size();

  group->NofSamples(42);
  ASSERT_TRUE(file.Write(buffer));
  EXPECT_EQ(buffer.Bytes().size(), size);
  EXPECT_EQ(test::HeaderAt(buffer.Bytes(), 64).links, head.links);
  // The cycle count follows the record id behind the group's six links.
  EXPECT_EQ(test::ReadU64(buffer.Bytes(), static_cast<size_t>(group->FilePosition()) + 24 + 48 + 8), 42U);
}

TEST(Hd4Block, FailedAttachmentStaysOutOfTheChain) {
  const test::TempDir dir;
  const std::string path = dir.Write("attachment.txt", "attached");
  Hd4Block header;
  header.CreateAttachment()->SetAttachedFileName("/nonexistent/missing.txt");
  mdf::IAttachment* second = header.CreateAttachment();
  second->SetAttachedFileName(path);
  mdf::IAttachment* third = header.CreateAttachment();
  third->SetAttachedFileName(path);

  MemoryBuffer buffer(std::vector<uint8_t>(64, 0));  // room for the identification block
  test::LogCapture log;
  header.Write(buffer);
  EXPECT_EQ(header.Attachments()[0]->FilePosition(), 0);
  ASSERT_GT(second->FilePosition(), 0);
  ASSERT_GT(third->FilePosition(), 0);
  EXPECT_EQ(test::HeaderAt(buffer.Bytes(), header.FilePosition()).links[3], second->FilePosition());
  EXPECT_EQ(test::HeaderAt(buffer.Bytes(), second->FilePosition()).links[0], third->FilePosition());
}

TEST(Hd4Block, AnOutputFailingInsideAnAttachmentFailsTheWrite) {
  const test::TempDir dir;
  const std::string path = dir.Write("attachment.txt", std::string(300, 'a'));
  const auto write = [&path](MemoryBuffer& buffer) {
    Hd4Block header;
    mdf::IAttachment* attachment = header.CreateAttachment();
    attachment->SetAttachedFileName(path);
    attachment->SetEmbedded(true);
    header.Write(buffer);
  };
  MemoryBuffer whole(std::vector<uint8_t>(64, 0));
  write(whole);
  const uint64_t calls = whole.WriteCalls();
  ASSERT_GT(calls, 0U);
  // Wherever the output fails, the write fails: inside the attachment as in the header.
  for (uint64_t call = 0; call < calls; ++call) {
    SCOPED_TRACE("write call " + std::to_string(call));
    test::LogCapture log;
    MemoryBuffer buffer(std::vector<uint8_t>(64, 0));
    buffer.FailWriteCall(call, false);
    EXPECT_ANY_THROW(write(buffer));
  }
}

// A header of one link has its fields where its other links should be: the file is damaged,
// and nothing below a header read from them is taken.
TEST(Hd4Block, OneLinkHeaderIsDamageAndReadsNothingBelowIt) {
  test::FileImage image = Image();
  const int64_t hd = image.Append("##HD", {0}, HeaderData());
  const int64_t cg = image.Append("##CG", {0, 0, 0, 0, 0, 0}, GroupData(0, 0));
  const int64_t dg = image.Append("##DG", {0, cg, 0, 0}, DataGroupData());
  image.PatchLink(hd, 0, dg);
  test::LogCapture log;
  mdf::MdfReader reader(std::make_shared<MemoryBuffer>(image.Data()));
  EXPECT_FALSE(reader.ReadEverythingButData());
  EXPECT_EQ(reader.FirstDamage(),
            "Failed to read the file information blocks. Error: Block with fewer links than its type. Block: 0x40, "
            "Type: HD, Links: 1, Expected: 6");
  ASSERT_NE(reader.FileHeader(), nullptr);
  EXPECT_TRUE(reader.FileHeader()->DataGroups().empty());
}

TEST(Hd4Block, BrokenChainsEndWithWhatWasRead) {
  test::FileImage image = Image();
  const int64_t hd = image.Append("##HD", {0, 0, 0, 0, 0, 0}, HeaderData());
  const int64_t dg1 = image.Append("##DG", {0, 0, 0, 0}, DataGroupData());
  const int64_t dg2 = image.Append("##DG", {dg1, 0, 0, 0}, DataGroupData());
  image.PatchLink(dg1, 0, dg2);  // dg1 -> dg2 -> dg1
  const int64_t not_an_event = image.Append("##TX", {}, Bytes().Raw("x").U8(0));
  image.PatchLink(hd, 0, dg1);
  image.PatchLink(hd, 4, not_an_event);
  test::LogCapture log;
  std::unique_ptr<mdf::MdfReader> reader;
  Hd4Block* header = ReadAll(reader, image.Data());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->DataGroups().size(), 2U);
  EXPECT_TRUE(header->Events().empty());
  EXPECT_TRUE(log.Contains("cyclic"));
  EXPECT_TRUE(log.Contains("Unexpected block type. Expected: ##EV, Found: ##TX"));
}

// Data links, hierarchy elements and event scopes point across the tree.
TEST(Hd4Block, ResolvesReferencesAcrossTheTree) {
  test::FileImage image = Image();
  const int64_t hd = image.Append("##HD", {0, 0, 0, 0, 0, 0}, HeaderData());
  const int64_t cg2 = image.Append("##CG", {0, 0, 0, 0, 0, 0}, GroupData(2, 0x01));
  const int64_t cn2 = image.Append("##CN", {0, 0, 0, 0, 0, 0, 0, 0}, ChannelData(0));
  const int64_t cn1 = image.Append("##CN", {cn2, 0, 0, 0, 0, cg2, 0, 0}, ChannelData(1));
  image.PatchLink(cn2, 5, cn1);
  const int64_t cg1 = image.Append("##CG", {cg2, cn1, 0, 0, 0, 0}, GroupData(1, 0));
  const int64_t dg = image.Append("##DG", {0, cg1, 0, 0}, DataGroupData());
  const int64_t ch = image.Append("##CH", {0, 0, 0, 0, dg, cg1, cn2}, Bytes().U32(1).U8(0).Zeros(3));
  const int64_t ev = image.Append(
      "##EV", {0, ch, 0, 0, 0, cn2, cg1},
      Bytes().U8(6).U8(1).U8(0).U8(0).U8(0).Zeros(3).U32(2).U16(0).U16(0).U64(0).U64(test::DoubleBits(1.0)));
  image.PatchLink(hd, 0, dg);
  image.PatchLink(hd, 2, ch);
  image.PatchLink(hd, 4, ev);

  std::unique_ptr<mdf::MdfReader> reader;
  Hd4Block* header = ReadAll(reader, image.Data());
  ASSERT_NE(header, nullptr);
  auto* dg_block = header->Dg4List().at(0).get();
  auto* cg1_block = dg_block->Cg4List().at(0).get();
  const auto channels = cg1_block->Channels();
  ASSERT_EQ(channels.size(), 2U);
  auto* cn1_block = dynamic_cast<mdf::detail::Cn4Block*>(channels[0]);
  auto* cn2_block = dynamic_cast<mdf::detail::Cn4Block*>(channels[1]);
  ASSERT_TRUE(cn1_block && cn2_block);
  EXPECT_EQ(cn1_block->VlsdRecordId(), 2U);
  EXPECT_EQ(cn1_block->ReferencedChannel(), nullptr);
  EXPECT_EQ(cn2_block->ReferencedChannel(), cn1_block);
  EXPECT_EQ(cn2_block->VlsdRecordId(), 0U);

  ASSERT_EQ(header->ChannelHierarchies().size(), 1U);
  const auto& elements = header->ChannelHierarchies()[0]->Elements();
  ASSERT_EQ(elements.size(), 1U);
  EXPECT_EQ(elements[0].data_group, dg_block);
  EXPECT_EQ(elements[0].channel_group, cg1_block);
  EXPECT_EQ(elements[0].channel, cn2_block);

  ASSERT_EQ(header->Events().size(), 1U);
  const mdf::IEvent* event = header->Events()[0];
  EXPECT_EQ(event->ParentEvent(), nullptr);  // a hierarchy block is no event
  ASSERT_EQ(event->Scopes().size(), 2U);
  EXPECT_EQ(event->Scopes()[0], cn2_block);
  EXPECT_EQ(event->Scopes()[1], cg1_block);
  EXPECT_EQ(header->FindByPosition(ev), header->Ev4List()[0].get());
  EXPECT_EQ(header->FindByPosition(cn2), cn2_block);
}

}  // namespace
