#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "buslog/busmsg.h"
#include "buslog/record_handler.h"
#include "support/busrecords.h"

namespace {

TEST(BusMsg, TheDefaultRecordReadsZeroInEveryView) {
  const cBusMsgHelper_t record{};
  EXPECT_EQ(record.Timestamp, 0);
  EXPECT_EQ(record.BusChannel, 0);
  EXPECT_EQ(record.ID, 0U);
  EXPECT_EQ(cStrLength(&record.DataBytes), 0);
  EXPECT_EQ(record.MsgType, kBusMsgUnknown);
  const cCanFlags_t& can = record.Flags.Can;
  EXPECT_EQ(can.IDE | can.Dir | can.EDL | can.ESI | can.BRS | can.RTR | can.DLC, 0);
  unsigned char bytes[sizeof record.Flags];
  std::memcpy(bytes, &record.Flags, sizeof bytes);
  for (const unsigned char byte : bytes) EXPECT_EQ(byte, 0);
}

TEST(BusMsg, FlagViewsShareTheirBytes) {
  cBusMsgHelper_t record{};
  record.Flags.Lin.Dir = 1;
  record.Flags.Lin.ReceivedDataByteCount = 8;
  record.Flags.Lin.Checksum = 0x5A;
  record.Flags.Lin.ChecksumModel = 1;
  unsigned char bytes[sizeof record.Flags];
  std::memcpy(bytes, &record.Flags, sizeof bytes);
  EXPECT_EQ(bytes[0], 1);  // IDE of the CAN view
  EXPECT_EQ(bytes[1], 8);  // Dir of the CAN view
  EXPECT_EQ(bytes[2], 0x5A);
  EXPECT_EQ(bytes[3], 1);

  record.Flags.Error.ErrorType = kCanErrorCrc;
  std::memcpy(bytes, &record.Flags, sizeof bytes);
  int32_t error_type;
  std::memcpy(&error_type, bytes + 4, sizeof error_type);  // BRS, RTR, DLC and the byte after
  EXPECT_EQ(error_type, kCanErrorCrc);
  EXPECT_EQ(bytes[0], 1);  // the first four bytes stay as they were
}

TEST(BusMsg, ResetReleasesTheDataAndRestoresTheDefault) {
  test::Frame frame = test::CanFrame(3, 0x123, test::Bytes(40, 0xAB), 2.5);  // heap-sized data
  frame.flags.Can.DLC = 13;
  test::OwnedRecord record(frame);
  busMsgReset(&record.msg);
  EXPECT_EQ(record.AsFrame(), (test::Frame{kBusMsgUnknown, 0, 0, {}, 0, {}}));
}

TEST(BusMsgHelpers, CanDlcToLengthUsesTheLowFourBits) {
  const uint32_t expected[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  for (uint8_t dlc = 0; dlc < 16; ++dlc) {
    EXPECT_EQ(canDlcToLength(dlc), expected[dlc]) << int{dlc};
    EXPECT_EQ(canDlcToLength(static_cast<uint8_t>(dlc | 0xF0)), expected[dlc]) << int{dlc};
  }
  EXPECT_EQ(canDlcToLength(0x1F), 64U);
}

struct KeyCase {
  const char* name;
  uint32_t key;
  uint32_t expected;
};

TEST(BusMsgHelpers, KeysOfIdentifiers) {
  const KeyCase cases[] = {
      {"extended 0x123", canIdKey(0x123, 1), 0x80000123},
      {"standard 0x123", canIdKey(0x123, 0), 0x123},
      {"extended with bit 31 set", canIdKey(0x1FFFFFFF | 0x80000000, 1), 0x9FFFFFFF},
      {"standard keeps 11 bits", canIdKey(0x18FEF100, 0), 0x100},
      {"any non-zero flag is extended", canIdKey(0x123, 2), 0x80000123},
      {"PDU1 drops the destination", j1939PgnKey(0x18EAFF00, 1), 0x80EA0000},
      {"PDU2 keeps the group extension", j1939PgnKey(0x18FEF100, 1), 0x80FEF100},
      {"priority and source dropped", j1939PgnKey(0x1CECFF2A, 1), 0x80EC0000},
      {"data page kept", j1939PgnKey(0x19FEF100, 1), 0x81FEF100},
      {"PDU format 239 is PDU1", j1939PgnKey(0x18EF1234, 1), 0x80EF0000},
      {"PDU format 240 is PDU2", j1939PgnKey(0x18F01234, 1), 0x80F01200},
      {"standard identifier keys as canIdKey", j1939PgnKey(0x7E8, 0), 0x7E8},
      {"LIN keeps 6 bits", linIdKey(0xFF), 0x3F},
      {"LIN 0x3C", linIdKey(0x3C), 0x3C},
  };
  for (const auto& c : cases) EXPECT_EQ(c.key, c.expected) << c.name;
}

TEST(FileInfo, CopyIsDeepAndReleaseEmpties) {
  cFileInfo_t info{};
  ASSERT_TRUE(cStrInit(&info.InputPath, cStrViewOf("input/a folder with a long name/00000001.MF4")));
  ASSERT_TRUE(cStrInit(&info.OutputPath, cStrViewOf("output/a folder with a long name/00000001")));
  ASSERT_TRUE(cStrInit(&info.SerialNumber, cStrViewOf("AB12CD34")));
  info.StartTime = 1'700'000'000'123'456'789ULL;
  info.Session = 7;
  info.Split = 0x100;
  info.TzOffsetMin = -90;
  info.DstOffsetMin = 60;
  info.TimeFlags = 2;

  cFileInfo_t copy;
  ASSERT_TRUE(fileInfoCopy(&copy, &info));
  fileInfoRelease(&info);
  EXPECT_EQ(cStrLength(&info.InputPath), 0);
  EXPECT_STREQ(cStrData(&copy.InputPath), "input/a folder with a long name/00000001.MF4");
  EXPECT_STREQ(cStrData(&copy.OutputPath), "output/a folder with a long name/00000001");
  EXPECT_STREQ(cStrData(&copy.SerialNumber), "AB12CD34");
  EXPECT_EQ(copy.StartTime, 1'700'000'000'123'456'789ULL);
  EXPECT_EQ(copy.Session, 7U);
  EXPECT_EQ(copy.Split, 0x100U);
  EXPECT_EQ(copy.TzOffsetMin, -90);
  EXPECT_EQ(copy.DstOffsetMin, 60);
  EXPECT_EQ(copy.TimeFlags, 2);
  fileInfoRelease(&copy);
}

TEST(RecordHandler, DefaultOperationsRefuseEverything) {
  EXPECT_FALSE(recordHandlerInit(nullptr));
  cRecordHandler_t handler{};
  handler.next = &handler;
  ASSERT_TRUE(recordHandlerInit(&handler));
  EXPECT_EQ(handler.next, nullptr);
  test::OwnedRecord record;
  const cFileInfo_t info{};
  EXPECT_FALSE(recordHandlerHandle(&handler, &record.msg));
  EXPECT_FALSE(recordHandlerNewFile(&handler, &info, 0));
  EXPECT_FALSE(recordHandlerEndFile(&handler, &info));
}

TEST(RecordHandler, CallsRefuseMissingPartsAndForwardEndFile) {
  test::RecordCollector last;
  test::OwnedRecord record;
  const cFileInfo_t info{};
  EXPECT_FALSE(recordHandlerHandle(nullptr, &record.msg));
  EXPECT_FALSE(recordHandlerHandle(last.Handler(), nullptr));
  EXPECT_FALSE(recordHandlerNewFile(last.Handler(), nullptr, 0));
  EXPECT_FALSE(recordHandlerEndFile(last.Handler(), nullptr));
  const cRecordHandlerOps_t no_operations{nullptr, nullptr, nullptr};
  cRecordHandler_t empty{&no_operations, nullptr};
  EXPECT_FALSE(recordHandlerHandle(&empty, &record.msg));
  EXPECT_FALSE(recordHandlerNewFile(&empty, &info, 1));
  EXPECT_FALSE(recordHandlerEndFile(&empty, &info));
  EXPECT_TRUE(last.records.empty());

  cRecordHandler_t forwarding{};
  recordHandlerInit(&forwarding);
  EXPECT_FALSE(handlerForwardEndFile(nullptr, &info));
  EXPECT_FALSE(handlerForwardEndFile(&forwarding, &info));  // no next stage
  forwarding.next = last.Handler();
  EXPECT_TRUE(handlerForwardEndFile(&forwarding, &info));
  last.answer = false;
  EXPECT_FALSE(handlerForwardEndFile(&forwarding, &info));
  EXPECT_EQ(last.end_files, 2);
}

}  // namespace
