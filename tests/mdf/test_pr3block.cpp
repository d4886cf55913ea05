// The MDF 3 program block in both byte orders.
#include <gtest/gtest.h>

#include <string>

#include "pr3block.h"
#include "support/logcapture.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"
#include "support/thrown.h"

using mdf::detail::Pr3Block;
using test::Mdf3Bytes;
using test::MemoryBuffer;

namespace {

TEST(Pr3Block, WritesTheDataWithoutTerminator) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    for (const std::string& data : {std::string(), std::string("0123456789")}) {
      MemoryBuffer buffer(std::string(5, 'x'));
      Pr3Block block;
      block.AttachToParent(&file);
      block.Data(data);
      const auto size = static_cast<uint16_t>(4 + data.size());
      EXPECT_EQ(block.Write(buffer), size);
      EXPECT_EQ(block.FilePosition(), 5);
      EXPECT_EQ(block.BlockSize(), size);
      EXPECT_EQ(buffer.Bytes(), std::vector<uint8_t>(Mdf3Bytes(big).Raw("xxxxx").Header("PR", size).Raw(data)));

      buffer.pubseekpos(5);
      Pr3Block read;
      read.AttachToParent(&file);
      EXPECT_EQ(read.Read(buffer), size);
      EXPECT_EQ(read.Data(), data);
    }
  }
}

TEST(Pr3Block, ReadStopsAtTheFirstZeroByte) {
  MemoryBuffer buffer(Mdf3Bytes(false).Header("PR", 12).Raw("cfg").Zeros(5).Raw("next"));
  Pr3Block block;
  EXPECT_EQ(block.Read(buffer), 12U);
  EXPECT_EQ(block.Data(), "cfg");
  EXPECT_EQ(buffer.Position(), 12);
}

TEST(Pr3Block, DamagedBlocks) {
  test::LogCapture log;
  MemoryBuffer tiny(Mdf3Bytes(false).Header("PR", 3).Raw("zz"));
  Pr3Block block;
  block.Data("old");
  EXPECT_EQ(block.Read(tiny), 4U);
  EXPECT_EQ(block.Data(), "");
  EXPECT_TRUE(log.Contains("Program block shorter than its header"));

  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    test::ExpectEveryTruncationThrows(
        Mdf3Bytes(big).Header("PR", 10).Raw("abcdef"),
        [&](MemoryBuffer& buffer) {
          Pr3Block cut;
          cut.AttachToParent(&file);
          cut.Read(buffer);
        },
        "Invalid number of bytes read");
  }

  MemoryBuffer refused;
  Pr3Block too_long;
  too_long.Data(std::string(65532, 'a'));
  EXPECT_EQ(test::ThrownText([&] { too_long.Write(refused); }), "Program data does not fit an MDF 3 block");
  EXPECT_TRUE(refused.Bytes().empty());
  too_long.Data(std::string(65531, 'a'));
  EXPECT_EQ(too_long.Write(refused), 65535U);
}

}  // namespace
