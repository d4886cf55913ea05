// The MDF 3 channel extension block of DIM, CAN and other types, in both byte orders.
#include <gtest/gtest.h>

#include "ce3block.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"

using mdf::detail::Ce3Block;
using test::Mdf3Bytes;
using test::MemoryBuffer;

namespace {

std::vector<uint8_t> CanImage(bool big) {
  return Mdf3Bytes(big).Header("CE", 86).U16(19).U32(0x18FEF100).U32(2).Text("EngineData", 36).Text("ECU1", 36);
}

std::vector<uint8_t> DimImage(bool big) {
  return Mdf3Bytes(big).Header("CE", 124).U16(2).U16(7).U32(0x12345678).Text("module", 80).Text("ecu", 32);
}

TEST(Ce3Block, CanExtension) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    MemoryBuffer buffer(CanImage(big));
    Ce3Block block;
    block.AttachToParent(&file);
    EXPECT_EQ(block.Read(buffer), 86U);
    EXPECT_EQ(block.BlockType(), "CE");
    EXPECT_EQ(block.ExtensionType(), 19);
    EXPECT_EQ(block.CanId(), 0x18FEF100U);
    EXPECT_EQ(block.CanIndex(), 2U);
    EXPECT_EQ(block.MessageName(), "EngineData");
    EXPECT_EQ(block.SenderName(), "ECU1");
    EXPECT_EQ(block.Description(), "");
  }
}

TEST(Ce3Block, DimExtension) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    MemoryBuffer buffer(DimImage(big));
    Ce3Block block;
    block.AttachToParent(&file);
    EXPECT_EQ(block.Read(buffer), 124U);
    EXPECT_EQ(block.ExtensionType(), 2);
    EXPECT_EQ(block.ModuleNumber(), 7);
    EXPECT_EQ(block.Address(), 0x12345678U);
    EXPECT_EQ(block.Description(), "module");
    EXPECT_EQ(block.EcuId(), "ecu");
    EXPECT_EQ(block.CanId(), 0U);
  }
}

TEST(Ce3Block, OtherTypesYieldOnlyTheType) {
  MemoryBuffer buffer(Mdf3Bytes(false).Header("CE", 10).U16(5).U32(0xFFFFFFFF));
  Ce3Block block;
  EXPECT_EQ(block.Read(buffer), 6U);
  EXPECT_EQ(block.ExtensionType(), 5);
  EXPECT_EQ(block.CanId(), 0U);
  EXPECT_EQ(block.ModuleNumber(), 0);
  EXPECT_EQ(block.MessageName(), "");
}

TEST(Ce3Block, EveryTruncationIsAReadError) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    for (const auto& image : {CanImage(big), DimImage(big)}) {
      test::ExpectEveryTruncationThrows(
          image,
          [&](MemoryBuffer& buffer) {
            Ce3Block block;
            block.AttachToParent(&file);
            block.Read(buffer);
          },
          "Invalid number of bytes read");
    }
  }
}

}  // namespace
