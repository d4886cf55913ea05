#include <gtest/gtest.h>

#include <cstdint>

#include "platform/byteorder.h"

namespace {

TEST(ByteOrder, LoadsInTheStatedOrder) {
  const uint8_t bytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(loadLe16(bytes), 0x2301);
  EXPECT_EQ(loadLe24(bytes), 0x452301U);
  EXPECT_EQ(loadLe32(bytes), 0x67452301U);
  EXPECT_EQ(loadLe64(bytes), 0xEFCDAB8967452301ULL);
  EXPECT_EQ(loadBe16(bytes), 0x0123);
  EXPECT_EQ(loadBe32(bytes), 0x01234567U);
  EXPECT_EQ(loadBe64(bytes), 0x0123456789ABCDEFULL);
  const uint8_t high[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // no sign extension through int promotion
  EXPECT_EQ(loadLe32(high), 0xFFFFFFFFU);
  EXPECT_EQ(loadBe32(high), 0xFFFFFFFFU);
  EXPECT_EQ(loadLe16(high), 0xFFFF);
}

TEST(ByteOrder, StoresTheLowBytesLeastSignificantFirst) {
  uint8_t bytes[9] = {};
  storeLe64(bytes, 0xEFCDAB8967452301ULL);
  EXPECT_EQ(loadLe64(bytes), 0xEFCDAB8967452301ULL);
  storeLe32(bytes, 0x11223344U);
  EXPECT_EQ(loadLe64(bytes), 0xEFCDAB8911223344ULL);  // the upper half untouched
  storeLe(bytes, 0x1234, 1);                          // a narrow field takes the low byte only
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[1], 0x33);
  EXPECT_EQ(bytes[8], 0);
}

}  // namespace
