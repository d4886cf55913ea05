#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "at4block.h"
#include "support/datablockfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"
#include "support/tempdir.h"

using namespace mdf::detail;
using test::Bytes;
using test::FileImage;
using test::MemoryBuffer;
using test::TextBlock;

namespace {

size_t Align8(size_t position) { return (position + 7) / 8 * 8; }

std::string Hex(const std::vector<uint8_t>& bytes) { return BytesToHexText(bytes); }

class At4BlockTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) { return dir_.Write(name, content); }
  // The file image that the writer must produce behind a 64-byte prefix: file name TX, MIME
  // TX, then the AT block with the given fixed fields and embedded bytes.
  static std::vector<uint8_t> Expected(const std::string& name, const std::string& mime, uint16_t flags,
                                       const std::string& md5_hex, uint64_t original, const std::string& embedded) {
    const size_t name_at = 64;
    const size_t mime_at = Align8(name_at + 24 + name.size() + 1);
    const size_t at = Align8(mime_at + 24 + mime.size() + 1);
    Bytes md5;
    for (size_t i = 0; i < 32; i += 2) md5.U8(static_cast<uint8_t>(std::stoul(md5_hex.substr(i, 2), nullptr, 16)));
    Bytes block;
    block.Raw("##AT").Zeros(4).U64(96 + embedded.size()).U64(4);
    block.U64(0).U64(name_at).U64(mime_at).U64(0);
    block.U16(flags).U16(3).Zeros(4).Raw(std::string(md5.Data().begin(), md5.Data().end()));
    block.U64(original).U64(embedded.size()).Raw(embedded);
    return FileImage()
        .Place(0, Bytes().Raw(std::string(64, 'i')))
        .Place(name_at, TextBlock(name))
        .Place(mime_at, TextBlock(mime))
        .Place(at, block)
        .Data();
  }

  test::TempDir dir_;
};

TEST_F(At4BlockTest, ReferencedFileKeepsSizeAndMd5Only) {
  const auto file = Write("abc.txt", "abc");
  MemoryBuffer buffer(std::string(64, 'i'));
  At4Block block;
  block.SetAttachedFileName(file);
  block.SetMimeType("text/plain");
  block.SetCreatorIndex(3);
  block.SetCompressed(true);  // no effect without embedding
  EXPECT_EQ(block.Write(buffer), 96U);
  EXPECT_EQ(buffer.Bytes(), Expected(file, "text/plain", 0x06, "900150983CD24FB0D6963F7D28E17F72", 3, ""));
  EXPECT_EQ(block.Md5Text(), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(block.OriginalSize(), 3U);
  EXPECT_EQ(block.EmbeddedSize(), 0U);

  const auto written = buffer.Bytes();
  EXPECT_EQ(block.Write(buffer), 0U);  // written once
  EXPECT_EQ(buffer.Bytes(), written);
}

TEST_F(At4BlockTest, EmbeddedFileFollowsTheFixedFields) {
  const std::string content = "line one\nline two\n";
  const auto file = Write("notes.txt", content);
  MemoryBuffer buffer(std::string(64, 'i'));
  At4Block block;
  block.SetAttachedFileName(file);
  block.SetMimeType("text/plain");
  block.SetCreatorIndex(3);
  block.SetEmbedded(true);
  EXPECT_EQ(block.Write(buffer), 96U + content.size());
  EXPECT_EQ(block.BlockLength(), 96U + content.size());
  EXPECT_EQ(buffer.Bytes(), Expected(file, "text/plain", 0x05, "987929D61C9B69F0C6406B840AA77FD8" /* md5sum */,
                                     content.size(), content));
}

TEST_F(At4BlockTest, EmbeddedCompressedFileIsAZlibStream) {
  std::string content;
  for (int i = 0; i < 2000; ++i) content += "sample " + std::to_string(i % 17) + "\n";
  const auto file = Write("log.txt", content);
  MemoryBuffer buffer(std::string(64, 'i'));
  At4Block block;
  block.SetAttachedFileName(file);
  block.SetEmbedded(true);
  block.SetCompressed(true);
  const size_t bytes = block.Write(buffer);
  ASSERT_GT(bytes, 96U);
  EXPECT_EQ(block.OriginalSize(), content.size());
  EXPECT_EQ(block.EmbeddedSize(), bytes - 96);
  EXPECT_LT(block.EmbeddedSize(), content.size());
  EXPECT_EQ(block.Flags(), 0x07);

  const auto& image = buffer.Bytes();
  const auto at = static_cast<size_t>(block.FilePosition());
  const std::vector<uint8_t> embedded(image.begin() + static_cast<std::ptrdiff_t>(at + 96), image.end());
  EXPECT_EQ(embedded.size(), block.EmbeddedSize());
  const auto inflated = test::Inflated(embedded, content.size());
  EXPECT_EQ(std::string(inflated.begin(), inflated.end()), content);
  EXPECT_EQ(image.size(), at + bytes);
}

TEST_F(At4BlockTest, EmptyFiles) {
  const auto file = Write("empty.bin", "");
  test::LogCapture log;
  MemoryBuffer buffer(std::string(64, 'i'));
  At4Block compressed;
  compressed.SetAttachedFileName(file);
  compressed.SetEmbedded(true);
  compressed.SetCompressed(true);
  EXPECT_EQ(compressed.Write(buffer), 0U);
  EXPECT_TRUE(log.Contains("Compress failure. File: \"" + file + "\""));
  EXPECT_EQ(compressed.FilePosition(), 0);

  MemoryBuffer plain_buffer(std::string(64, 'i'));
  At4Block plain;
  plain.SetAttachedFileName(file);
  plain.SetEmbedded(true);
  EXPECT_EQ(plain.Write(plain_buffer), 96U);
  EXPECT_EQ(plain.EmbeddedSize(), 0U);
  EXPECT_EQ(plain.Md5Text(), "D41D8CD98F00B204E9800998ECF8427E");

  ByteArray bytes(5, 1);
  EXPECT_TRUE(FileToBuffer(file, bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST_F(At4BlockTest, FailuresAreLoggedAndWriteNothing) {
  test::LogCapture log;
  const auto missing = dir_.Path("missing.bin");
  MemoryBuffer buffer(std::string(64, 'i'));
  At4Block block;
  block.SetAttachedFileName(missing);
  EXPECT_EQ(block.Write(buffer), 0U);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "Attachment File doesn't exist. File: " + missing);
  EXPECT_EQ(log.entries[0].location.function, "Write");
  EXPECT_EQ(buffer.Bytes().size(), 64U);

  // A quote and a backslash in the name are escaped in the quoted path.
  const auto odd = Write("a\"b\\c.bin", "");
  At4Block odd_block;
  odd_block.SetAttachedFileName(odd);
  odd_block.SetEmbedded(true);
  odd_block.SetCompressed(true);
  EXPECT_EQ(odd_block.Write(buffer), 0U);
  EXPECT_EQ(log.entries.back().text, "Compress failure. File: \"" + dir_.Dir().string() + "/a\\\"b\\\\c.bin\"");

  ByteArray bytes;
  EXPECT_FALSE(FileToBuffer(missing, bytes));
  EXPECT_EQ(log.entries.back().text.rfind("File error when reading file to byte array. Error: ", 0), 0U);
  EXPECT_NE(log.entries.back().text.find(", File: " + missing), std::string::npos);
  EXPECT_EQ(log.entries.back().location.function, "FileToBuffer");

  // A directory exists but is no file: its size cannot be had.
  At4Block directory;
  directory.SetAttachedFileName(dir_.Dir().string());
  EXPECT_EQ(directory.Write(buffer), 0U);
  EXPECT_EQ(log.entries.back().text.rfind("Attachment File error. Error: ", 0), 0U);
}

TEST(At4Block, ReadsFieldsTextsAndCommentButNotTheContent) {
  Bytes block;
  block.Raw("##AT").Zeros(4).U64(96 + 5).U64(4).U64(0).U64(0x100).U64(0x140).U64(0x180);
  block.U16(0x01).U16(2).Zeros(4);
  for (int i = 0; i < 16; ++i) block.U8(static_cast<uint8_t>(0xA0 + i));
  block.U64(5).U64(5).Raw("hello");
  const std::string comment = "<ATcomment><TX>Calibration data</TX></ATcomment>";
  MemoryBuffer file(FileImage()
                        .Place(0x40, block)
                        .Place(0x100, TextBlock("C:\\data\\cal.hex"))
                        .Place(0x140, TextBlock("application/octet-stream"))
                        .Place(0x180, test::MetaBlock(comment))
                        .Data());
  At4Block read;
  SetStreamPosition(file, 0x40);
  EXPECT_EQ(read.Read(file), 96U);
  EXPECT_EQ(read.BlockType(), "AT");
  EXPECT_EQ(read.CreatorIndex(), 2);
  EXPECT_TRUE(read.Embedded());
  EXPECT_FALSE(read.Compressed());
  EXPECT_EQ(read.Md5Text(), std::nullopt);  // bytes present, but not marked valid
  EXPECT_EQ(Hex(read.Md5()), "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
  EXPECT_EQ(read.OriginalSize(), 5U);
  EXPECT_EQ(read.EmbeddedSize(), 5U);
  EXPECT_EQ(read.AttachedFileName(), "C:\\data\\cal.hex");
  EXPECT_EQ(read.MimeType(), "application/octet-stream");
  ASSERT_NE(read.MetaDataInterface(), nullptr);

  const std::vector<mdf::BlockProperty> rows = test::Rows(read);
  const auto find = [&rows](const std::string& label) { return test::FindRow(rows, label); };
  ASSERT_NE(find("Next AT"), nullptr);
  EXPECT_EQ(find("Next AT")->description, "Link to next attach");
  EXPECT_EQ(find("File Name TX")->value, "0x100");
  EXPECT_EQ(find("Mime Type TX")->description, "application/octet-stream");
  EXPECT_EQ(find("Comment MD")->description, "Calibration data");
  EXPECT_EQ(find("File Name")->value, "cal.hex");
  EXPECT_EQ(find("File Name")->description, "C:\\data\\cal.hex");
  EXPECT_EQ(find("File Type")->value, "application/octet-stream");
  EXPECT_EQ(find("Flags")->value, "Embedded");
  EXPECT_EQ(find("Creator Index")->value, "2");
  EXPECT_EQ(find("MD5 Checksum"), nullptr);
  EXPECT_EQ(find("Original Size [byte]")->value, "5");
  EXPECT_EQ(find("Embedded Size [byte]")->value, "5");
}

TEST(At4Block, FileNameRowAndMd5TextFollowTheirLinksAndFlags) {
  Bytes block;
  block.Raw("##AT").Zeros(4).U64(96).U64(4).U64(0).U64(0x100).U64(0).U64(0);
  block.U16(0x04).U16(0).Zeros(4);
  for (int i = 0; i < 16; ++i) block.U8(static_cast<uint8_t>(i));
  block.U64(9).U64(0);
  MemoryBuffer file(FileImage().Place(0x40, block).Place(0x100, TextBlock("plain.dbc")).Data());
  At4Block read;
  SetStreamPosition(file, 0x40);
  read.Read(file);
  EXPECT_EQ(read.Md5Text(), "000102030405060708090A0B0C0D0E0F");
  const auto rows = test::Rows(read);
  const auto* name = test::FindRow(rows, "File Name");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->value, "plain.dbc");
  EXPECT_EQ(name->description, "");
  test::ExpectRowValues(rows, {{"MD5 Checksum", "000102030405060708090A0B0C0D0E0F"}, {"Flags", "MD5"}});
  EXPECT_EQ(test::FindRow(rows, "File Type"), nullptr);  // no MIME link
}

TEST(At4Block, FlagsText) {
  EXPECT_EQ(AttachmentFlagsText(0), "");
  EXPECT_EQ(AttachmentFlagsText(4), "MD5");
  EXPECT_EQ(AttachmentFlagsText(3), "Embedded,Compressed");
  EXPECT_EQ(AttachmentFlagsText(7), "Embedded,Compressed,MD5");
}

}  // namespace
