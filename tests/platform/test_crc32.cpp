#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/crc32.h"
#include "platform/stream.h"
#include "support/genericfile.h"
#include "support/probestream.h"

namespace {

using test::Probed;

TEST(Crc32, RegisterOfTheCheckStringAndOfNothing) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32UpdateBytes(kCrc32Initial, check.data(), check.size()), 0x340BC6D9u);
  EXPECT_EQ(crc32UpdateBytes(kCrc32Initial, nullptr, 0), 0xFFFFFFFFu);
  uint32_t crc = kCrc32Initial;
  for (char c : check) crc = crc32Update(crc, static_cast<uint8_t>(c));
  EXPECT_EQ(crc, 0x340BC6D9u);
  // The usual CRC-32 of this text is 0x414FA339.
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crc32UpdateBytes(kCrc32Initial, fox.data(), fox.size()), ~0x414FA339u);
  EXPECT_EQ(crc32UpdateBytes(crc32UpdateBytes(kCrc32Initial, fox.data(), 10), fox.data() + 10, fox.size() - 10),
            ~0x414FA339u);
}

TEST(CrcStream, ReadingAndWritingAdvanceTheRegisterAlike) {
  const std::string bytes = test::RandomBytes(10000, 3);
  Probed source(bytes);
  cStream_t* reader = crcStreamNew(source.Stream());
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(crcStreamValue(reader), kCrc32Initial);
  std::string copy(bytes.size(), '\0');
  size_t at = 0;
  for (int64_t n; (n = streamRead(reader, copy.data() + at, 777)) > 0;) at += static_cast<size_t>(n);
  EXPECT_EQ(copy, bytes);
  const uint32_t read_crc = crcStreamValue(reader);
  EXPECT_EQ(read_crc, test::Crc32Register(bytes));
  // A failed read leaves the register.
  source.Counts().fail_reads = true;
  EXPECT_EQ(streamRead(reader, copy.data(), 10), -1);
  EXPECT_EQ(crcStreamValue(reader), read_crc);
  EXPECT_EQ(streamTell(reader), kStreamNoOperation);
  EXPECT_EQ(streamSeek(reader, 0, kSeekFromStart), kStreamNoOperation);
  EXPECT_EQ(streamClose(reader), 0);
  EXPECT_EQ(source.Counts().closes, 0);

  // Writes count only what the target took.
  Probed target("");
  target.Counts().write_limit = 6000;
  cStream_t* writer = crcStreamNew(target.Stream());
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(streamWrite(writer, bytes.data(), bytes.size()), 6000);
  EXPECT_EQ(crcStreamValue(writer), test::Crc32Register(bytes.substr(0, 6000)));
  target.Counts().write_limit = 1 << 20;
  EXPECT_EQ(streamWrite(writer, bytes.data() + 6000, bytes.size() - 6000), 4000);
  EXPECT_EQ(crcStreamValue(writer), read_crc);
  EXPECT_EQ(streamClose(writer), 0);
  // The parent stays usable.
  EXPECT_EQ(streamSeek(target.Stream(), 0, kSeekFromStart), 0);
  EXPECT_EQ(crcStreamNew(nullptr), nullptr);
}

}  // namespace
