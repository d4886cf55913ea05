#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cryptoutil.h"
#include "mdfblock.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

using mdf::detail::BytesToHexText;
using mdf::detail::CreateMd5FileChecksum;
using mdf::detail::Md5Context;
using mdf::detail::Md5Final;
using mdf::detail::Md5Update;

namespace {

std::string Md5Hex(const std::string& message) {
  Md5Context context;
  Md5Update(context, reinterpret_cast<const uint8_t*>(message.data()), message.size());
  return BytesToHexText(Md5Final(context));
}

class Md5File : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) { return dir_.Write(name, content); }
  test::TempDir dir_;
};

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(Md5Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(Md5Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "D174AB98D277D9F5A5611C2C9F419D9F");
  EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Md5, PaddingBordersAndFeedingInPieces) {
  // 55, 56 and 64 bytes decide between one and two padding blocks.
  std::string message;
  for (int i = 0; i < 300; ++i) message.push_back(static_cast<char>('A' + i % 26));
  for (size_t length : {55U, 56U, 63U, 64U, 65U, 119U, 120U, 300U}) {
    const std::string part = message.substr(0, length);
    Md5Context bytewise;
    for (char c : part) Md5Update(bytewise, reinterpret_cast<const uint8_t*>(&c), 1);
    EXPECT_EQ(BytesToHexText(Md5Final(bytewise)), Md5Hex(part)) << length;
  }
}

TEST_F(Md5File, DigestOfFilesAcrossChunkBorders) {
  std::vector<uint8_t> md5;
  ASSERT_TRUE(CreateMd5FileChecksum(Write("empty", ""), md5));
  EXPECT_EQ(BytesToHexText(md5), "D41D8CD98F00B204E9800998ECF8427E");
  ASSERT_TRUE(CreateMd5FileChecksum(Write("abc", "abc"), md5));
  EXPECT_EQ(BytesToHexText(md5), "900150983CD24FB0D6963F7D28E17F72");
  // A million 'a' (the well-known long vector) is read in 100 chunks.
  ASSERT_TRUE(CreateMd5FileChecksum(Write("million", std::string(1'000'000, 'a')), md5));
  EXPECT_EQ(BytesToHexText(md5), "7707D6AE4E027C70EEA2A935C2296F21");

  std::string content;
  for (int i = 0; i < 10'001; ++i) content.push_back(static_cast<char>((i * 31 + 7) & 0xFF));
  for (size_t size : {64U, 10'000U, 10'001U}) {
    const auto part = content.substr(0, size);
    ASSERT_TRUE(CreateMd5FileChecksum(Write("file" + std::to_string(size), part), md5));
    EXPECT_EQ(BytesToHexText(md5), Md5Hex(part)) << size;
  }
}

TEST_F(Md5File, DigestVectorAlwaysHas16Bytes) {
  const auto file = Write("abc", "abc");
  std::vector<uint8_t> md5(20, 0xEE);
  ASSERT_TRUE(CreateMd5FileChecksum(file, md5));
  EXPECT_EQ(md5.size(), 16U);

  md5.clear();
  test::LogCapture log;
  EXPECT_FALSE(CreateMd5FileChecksum(dir_.Path("missing"), md5));
  EXPECT_EQ(md5, std::vector<uint8_t>(16, 0));
}

TEST_F(Md5File, FailuresAreLogged) {
  test::LogCapture log;
  std::vector<uint8_t> md5(3, 7);
  const auto missing = dir_.Path("missing");
  EXPECT_FALSE(CreateMd5FileChecksum(missing, md5));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text,
            "Failed to create MD5 file checksum. File: " + missing + ". Error: The file doesn't exist");
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
  EXPECT_EQ(log.entries[0].location.function, "CreateMd5FileChecksum");
  EXPECT_EQ(md5, (std::vector<uint8_t>{7, 7, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  EXPECT_FALSE(CreateMd5FileChecksum(dir_.Dir().string(), md5));
  EXPECT_EQ(log.entries.back().text,
            "Failed to create MD5 file checksum. File: " + dir_.Dir().string() + ". Error: Failed to open the file");
}

TEST(Md5FileErrors, ReadErrorIsNotADigest) {
  // Reading /proc/self/mem from offset 0 opens fine and then fails with an I/O error.
  const std::string path = "/proc/self/mem";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no " << path;
  test::LogCapture log;
  std::vector<uint8_t> md5;
  EXPECT_FALSE(CreateMd5FileChecksum(path, md5));
  EXPECT_TRUE(log.Contains("Failed to create MD5 file checksum. File: /proc/self/mem. Error: Failed to read the file"));
}

}  // namespace
