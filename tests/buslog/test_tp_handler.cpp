#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <string>
#include <vector>

#include "buslog/tp_handler.h"
#include "support/busrecords.h"
#include "support/consolelog.h"

namespace {

using test::Bytes;
using test::Frame;
using Messages = std::vector<std::string>;

// A transport-protocol stage in front of a collecting stage.
class TpStage : public testing::Test {
 protected:
  TpStage() : stage_(tpHandlerNew(last_.Handler())) {}
  ~TpStage() override { tpHandlerFree(stage_); }

  cRecordHandler_t* Head() { return &stage_->handler; }
  bool Push(const Frame& frame) { return test::Push(Head(), frame); }
  bool NewFile(uint8_t continuation) {
    const cFileInfo_t info{};
    return recordHandlerNewFile(Head(), &info, continuation);
  }

  test::RecordCollector last_;
  cTpHandler_t* stage_;
};

Frame WithData(Frame frame, Bytes data) {
  frame.data = std::move(data);
  return frame;
}

TEST_F(TpStage, SingleFrameBecomesItsPayload) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  Frame frame = test::CanFrame(2, 0x7E8, {0x03, 0x01, 0x02, 0x03}, 12.25);
  frame.flags.Can.DLC = 4;
  frame.flags.Can.Dir = 1;
  EXPECT_TRUE(Push(frame));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0], WithData(frame, {0x01, 0x02, 0x03}));  // time, channel, id and flags stay
}

TEST_F(TpStage, MultiFrameMessageTakesTheTimeOfItsLastFrame) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  const Frame first = test::CanFrame(2, 0x7E8, {0x10, 0x0A, 1, 2, 3, 4, 5, 6}, 1.0);
  const Frame second = test::CanFrame(2, 0x7E8, {0x21, 7, 8, 9, 10, 11, 12, 13}, 1.5);
  EXPECT_TRUE(Push(first));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_TRUE(Push(second));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0], WithData(second, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(TpStage, ProtocolErrorsAreLoggedAndDropTheMessage) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  test::ConsoleLog log(kLogInfo);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x10, 0x0A, 1, 2, 3, 4, 5, 6}, 2.0)));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x22, 7, 8, 9, 10, 11, 12, 13}, 2.5)));    // wrong sequence number
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x21, 7, 8, 9, 10, 11, 12, 13}, 3.0)));    // no first frame any more
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x30, 0x00, 0x00}, 1700000000.1234567)));  // flow control, no message
  EXPECT_TRUE(last_.records.empty());
  // The next first frame starts a new message.
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x10, 0x08, 1, 2, 3, 4, 5, 6}, 4.0)));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x21, 7, 8}, 4.5)));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(log.Messages(),
            (Messages{"I TP error (time: 2.500000, id: 0x7E8)", "I TP error (time: 3.000000, id: 0x7E8)",
                      "I TP error (time: 1700000000.123457, id: 0x7E8)"}));
}

TEST_F(TpStage, ErrorTextIgnoresTheLocaleAndTheThreshold) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  {
    test::ConsoleLog log(kLogWarning);  // info is below the threshold
    EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x21, 1}, 1.5)));
    EXPECT_TRUE(log.Messages().empty());
  }
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8 locale installed";
  test::ConsoleLog log(kLogInfo);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x21, 1}, 1.5)));
  const Messages messages = log.Messages();
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(messages, Messages{"I TP error (time: 1.500000, id: 0x7E8)"});
}

TEST_F(TpStage, OtherRecordsPassUnchanged) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  Frame remote = test::CanFrame(2, 0x7E8, {0, 0, 0}, 1.0);
  remote.type = kBusMsgCanRemoteFrame;
  remote.flags.Can.RTR = 1;
  Frame error = test::CanFrame(2, 0x7E8, {}, 2.0);
  error.type = kBusMsgCanErrorFrame;
  error.flags.Error.ErrorType = kCanErrorForm;
  Frame checksum = test::LinFrame(2, 0x7E8 & 0x3F, {0x03, 1, 2, 3}, 3.0);
  checksum.type = kBusMsgLinChecksumError;
  const Frame frames[] = {
      test::CanFrame(2, 0x7E9, {0x03, 1, 2, 3}, 0.5),       // another identifier
      test::CanFrame(3, 0x7E8, {0x03, 1, 2, 3}, 0.6),       // another channel
      test::ExtendedFrame(2, 0x7E8, {0x03, 1, 2, 3}, 0.7),  // the extended identifier 0x7E8
      test::LinFrame(2, 0x28, {0x03, 1, 2, 3}, 0.8),        // LIN has a key space of its own
      remote,
      error,
      checksum,
      Frame{kBusMsgUnknown, 0, 0, {}, 0, {}},  // a default record
  };
  for (const Frame& frame : frames) EXPECT_TRUE(Push(frame));
  EXPECT_EQ(last_.records, std::vector<Frame>(std::begin(frames), std::end(frames)));
}

TEST_F(TpStage, ForwardsTheNextStagesResult) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  last_.answer = false;
  EXPECT_FALSE(Push(test::CanFrame(2, 0x7E9, {1})));                // passed on
  EXPECT_FALSE(Push(test::CanFrame(2, 0x7E8, {0x01, 1})));          // completed
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x10, 0x09, 1, 2})));  // consumed
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x23})));              // failed
  EXPECT_EQ(last_.records.size(), 2U);
}

TEST_F(TpStage, MissingStageOrRecordForwardsNothing) {
  test::OwnedRecord record(test::CanFrame(2, 0x7E8, {1}));
  EXPECT_FALSE(tpHandleRecord(nullptr, &record.msg));
  EXPECT_FALSE(tpHandleRecord(Head(), nullptr));
  EXPECT_FALSE(tpHandlerConfigure(nullptr, kBusTypeCan, 2, 0x7E8, kTpProtocolIsoTp));
  EXPECT_FALSE(tpIsJ1939Channel(nullptr, &record.msg));
  const cFileInfo_t info{};
  EXPECT_FALSE(tpNewFile(nullptr, &info, 0));
  EXPECT_FALSE(tpNewFile(Head(), nullptr, 0));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_TRUE(last_.new_files.empty());
  tpHandlerFree(nullptr);
}

TEST_F(TpStage, ADuplicateConfigurationKeepsTheFirstProtocol) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  EXPECT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), 2));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x02, 7, 8})));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].data, (Bytes{7, 8}));
}

TEST_F(TpStage, UnsupportedProtocolConsumesTheFrame) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), 2));
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E9, 0), 6));
  test::ConsoleLog log(kLogError);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x01, 1})));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E9, {0x01, 1})));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_EQ(log.Messages(), (Messages{"E Unsupported transport protocol", "E Failed to initialize TP session",
                                      "E Unsupported transport protocol", "E Failed to initialize TP session"}));
}

TEST_F(TpStage, ProtocolFiveIsIsoTpToo) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 1, canIdKey(0x18DAF110, 1), kTpProtocolIsoTpAlternative));
  EXPECT_TRUE(Push(test::ExtendedFrame(1, 0x18DAF110 | 0x80000000, {0x02, 5, 6})));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].data, (Bytes{5, 6}));
}

TEST_F(TpStage, LinFramesAreKeyedByTheirSixBitIdentifier) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeLin, 1, linIdKey(0x3C), kTpProtocolIsoTp));
  EXPECT_TRUE(Push(test::LinFrame(1, 0x3C, {0x10, 0x08, 1, 2, 3, 4, 5, 6}, 1.0)));
  EXPECT_TRUE(Push(test::CanFrame(1, 0x3C, {0x10, 0x08, 1, 2, 3, 4, 5, 6}, 1.1)));  // CAN 0x3C is not configured
  EXPECT_TRUE(Push(test::LinFrame(1, 0xFC, {0x21, 7, 8}, 1.2)));                    // the same 6-bit identifier
  ASSERT_EQ(last_.records.size(), 2U);
  EXPECT_EQ(last_.records[0].type, kBusMsgCanDataFrame);
  EXPECT_EQ(last_.records[1], (test::LinFrame(1, 0xFC, {1, 2, 3, 4, 5, 6, 7, 8}, 1.2)));
}

TEST_F(TpStage, AFileThatContinuesKeepsHalfReceivedMessages) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  test::ConsoleLog log(kLogVerbose);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x10, 0x08, 1, 2, 3, 4, 5, 6})));
  EXPECT_TRUE(NewFile(1));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x21, 7, 8})));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(last_.new_files, (std::vector<uint8_t>{1}));
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(TpStage, AnyOtherFileDropsThemSilently) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 2, canIdKey(0x7E9, 0), kTpProtocolIsoTp));
  test::ConsoleLog log(kLogInfo);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x10, 0x08, 1, 2, 3, 4, 5, 6})));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E9, {0x10, 0x08, 1, 2, 3, 4, 5, 6})));
  EXPECT_TRUE(NewFile(0));
  EXPECT_TRUE(log.Messages().empty());
  // Both sessions are gone: the first frames open new ones.
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x10, 0x08, 9, 9, 9, 9, 9, 9})));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E9, {0x10, 0x08, 8, 8, 8, 8, 8, 8})));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E8, {0x21, 9, 9})));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x7E9, {0x21, 8, 8})));
  ASSERT_EQ(last_.records.size(), 2U);
  EXPECT_EQ(last_.records[0].data, Bytes(8, 9));
  EXPECT_EQ(last_.records[1].data, Bytes(8, 8));
  EXPECT_EQ(last_.new_files, (std::vector<uint8_t>{0}));
}

TEST_F(TpStage, FileCallbacksTravelOn) {
  const cFileInfo_t info{};
  last_.answer = false;
  EXPECT_FALSE(recordHandlerNewFile(Head(), &info, 0));
  EXPECT_FALSE(recordHandlerEndFile(Head(), &info));
  last_.answer = true;
  EXPECT_TRUE(recordHandlerNewFile(Head(), &info, 1));
  EXPECT_TRUE(recordHandlerEndFile(Head(), &info));
  EXPECT_EQ(last_.new_files, (std::vector<uint8_t>{0, 1}));
  EXPECT_EQ(last_.end_files, 2);
}

constexpr uint32_t kTpCmKey = j1939PgnKey(0xEC0000, 1);

TEST_F(TpStage, J1939ChannelsAreThoseOfBusTypeTwo) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCanJ1939, 1, kTpCmKey, kTpProtocolJ1939));
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCanJ1939, 1, j1939PgnKey(0xFECA00, 1), kTpProtocolFastPacket));
  const struct {
    Frame frame;
    bool j1939;
  } cases[] = {
      {test::ExtendedFrame(1, 0x18ECFF00, {}), true},
      {test::CanFrame(1, 0x700, {}), false},            // standard identifier
      {test::ExtendedFrame(2, 0x18ECFF00, {}), false},  // another channel
      {test::LinFrame(1, 0x18ECFF00, {}), false},
  };
  for (const auto& c : cases) {
    test::OwnedRecord record(c.frame);
    EXPECT_EQ(tpIsJ1939Channel(stage_, &record.msg), c.j1939);
  }
  EXPECT_EQ(stage_->j1939_channels.count, 1);
}

TEST_F(TpStage, J1939BroadcastBecomesOneRecordOfItsGroup) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCanJ1939, 1, kTpCmKey, kTpProtocolJ1939));
  EXPECT_TRUE(Push(test::ExtendedFrame(1, 0x18ECFF00, {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}, 1.0)));
  EXPECT_TRUE(Push(test::ExtendedFrame(1, 0x18EBFF00, {0x01, 1, 2, 3, 4, 5, 6, 7}, 1.1)));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_TRUE(Push(test::ExtendedFrame(1, 0x18EBFF00, {0x02, 8, 9, 10, 11, 12, 13, 14}, 1.2)));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0], test::ExtendedFrame(1, 0x18FECA00, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 1.2));
}

TEST_F(TpStage, J1939ConnectionWithClearToSendAndInterleavedSenders) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCanJ1939, 1, kTpCmKey, kTpProtocolJ1939));
  test::ConsoleLog log(kLogInfo);
  const Frame frames[] = {
      test::ExtendedFrame(1, 0x1CEC2A00, {0x10, 0x10, 0x00, 0x03, 0xFF, 0x00, 0xEF, 0x00}),  // RTS 00 -> 2A
      test::ExtendedFrame(1, 0x18ECFF01, {0x20, 0x09, 0x00, 0x02, 0xFF, 0xE3, 0xFE, 0x00}),  // BAM from 01
      test::ExtendedFrame(1, 0x1CEC002A, {0x11, 0x03, 0x01, 0xFF, 0xFF, 0x00, 0xEF, 0x00}),  // CTS 2A -> 00
      test::ExtendedFrame(1, 0x1CEB2A00, {0x01, 1, 2, 3, 4, 5, 6, 7}),
      test::ExtendedFrame(1, 0x18EBFF01, {0x01, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}),
      test::ExtendedFrame(1, 0x1CEB2A00, {0x02, 8, 9, 10, 11, 12, 13, 14}),
      test::ExtendedFrame(1, 0x18EBFF01, {0x02, 0xA8, 0xA9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
      test::ExtendedFrame(1, 0x1CEB2A00, {0x03, 15, 16, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
      test::ExtendedFrame(1, 0x1CEC002A, {0x13, 0x10, 0x00, 0x03, 0xFF, 0x00, 0xEF, 0x00}),  // end of message ack
      test::ExtendedFrame(1, 0x1CEC2A00, {}),                                                // empty TP.CM
  };
  for (const Frame& frame : frames) EXPECT_TRUE(Push(frame));
  ASSERT_EQ(last_.records.size(), 2U);
  EXPECT_EQ(last_.records[0].id, 0x18FEE301U);
  EXPECT_EQ(last_.records[0].data, (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9}));
  EXPECT_EQ(last_.records[1].id, 0x1CEF2A00U);
  EXPECT_EQ(last_.records[1].data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
  EXPECT_TRUE(log.Messages().empty());  // control frames are consumed without a report
}

TEST_F(TpStage, J1939AbortAndSkippedPacketDropTheTransfer) {
  ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCanJ1939, 1, kTpCmKey, kTpProtocolJ1939));
  test::ConsoleLog log(kLogInfo);
  const Frame frames[] = {
      test::ExtendedFrame(1, 0x18ECFF00, {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}, 1.0),
      test::ExtendedFrame(1, 0x18EBFF00, {0x02, 8, 9, 10, 11, 12, 13, 14}, 1.25),  // packet 1 skipped
      test::ExtendedFrame(1, 0x18EBFF00, {0x01, 1, 2, 3, 4, 5, 6, 7}, 1.5),        // no transfer any more
      test::ExtendedFrame(1, 0x1CEC2A00, {0x10, 0x10, 0x00, 0x03, 0xFF, 0x00, 0xEF, 0x00}, 2.0),
      test::ExtendedFrame(1, 0x1CEC002A, {0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0x00, 0xEF, 0x00}, 2.1),  // abort
      test::ExtendedFrame(1, 0x18ECFF00, {0x20, 0xFA, 0x06, 0xFF, 0xFF, 0xCA, 0xFE, 0x00}, 3.0),  // 1786 bytes
  };
  for (const Frame& frame : frames) EXPECT_TRUE(Push(frame));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_EQ(log.Messages(),
            (Messages{"I TP error (time: 1.250000, id: 0x18EBFF00)", "I TP error (time: 1.500000, id: 0x18EBFF00)",
                      "I TP error (time: 3.000000, id: 0x18ECFF00)"}));
}

TEST_F(TpStage, FastPacketsOfInterleavedSourcesAndAGap) {
  for (const uint32_t id : {0x09F80101U, 0x09F80102U}) {
    ASSERT_TRUE(tpHandlerConfigure(stage_, kBusTypeCan, 1, canIdKey(id, 1), kTpProtocolFastPacket));
  }
  test::ConsoleLog log(kLogInfo);
  const Frame frames[] = {
      test::ExtendedFrame(1, 0x09F80101, {0x40, 10, 1, 2, 3, 4, 5, 6}, 1.0),
      test::ExtendedFrame(1, 0x09F80102, {0x60, 8, 11, 12, 13, 14, 15, 16}, 1.1),
      test::ExtendedFrame(1, 0x09F80102, {0x61, 17, 18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1.2),
      test::ExtendedFrame(1, 0x09F80101, {0x41, 7, 8, 9, 10, 0xFF, 0xFF, 0xFF}, 1.3),
      test::ExtendedFrame(1, 0x09F80101, {0x80, 20, 1, 2, 3, 4, 5, 6}, 2.0),
      test::ExtendedFrame(1, 0x09F80101, {0x82, 7, 8, 9, 10, 11, 12, 13}, 2.5),  // frame 1 missing
  };
  for (const Frame& frame : frames) EXPECT_TRUE(Push(frame));
  ASSERT_EQ(last_.records.size(), 2U);
  EXPECT_EQ(last_.records[0], test::ExtendedFrame(1, 0x09F80102, {11, 12, 13, 14, 15, 16, 17, 18}, 1.2));
  EXPECT_EQ(last_.records[1], test::ExtendedFrame(1, 0x09F80101, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 1.3));
  EXPECT_EQ(log.Messages(), Messages{"I TP error (time: 2.500000, id: 0x9F80101)"});
}

// A last stage that, on its first record, sends a frame for the same key back to the head,
// the way a demultiplexed sub-frame re-enters the chain.
struct ReenteringStage {
  cRecordHandler_t handler;
  cRecordHandler_t* head;
  std::vector<Frame>* seen;

  static bool Handle(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
    auto* self = reinterpret_cast<ReenteringStage*>(handler);
    self->seen->push_back(test::FrameOf(*record));
    if (self->seen->size() == 1) return test::Push(self->head, test::CanFrame(2, 0x7E8, {0x02, 0xEE, 0xFF}));
    return true;
  }
};

TEST(TpStageReentry, ACompletedMessageLeavesNoSessionBehind) {
  static constexpr cRecordHandlerOps_t kOps = {ReenteringStage::Handle, nullptr, nullptr};
  std::vector<Frame> seen;
  ReenteringStage last{{&kOps, nullptr}, nullptr, &seen};
  cTpHandler_t* stage = tpHandlerNew(&last.handler);
  last.head = &stage->handler;
  ASSERT_TRUE(tpHandlerConfigure(stage, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  EXPECT_TRUE(test::Push(&stage->handler, test::CanFrame(2, 0x7E8, {0x10, 0x08, 1, 2, 3, 4, 5, 6})));
  EXPECT_TRUE(test::Push(&stage->handler, test::CanFrame(2, 0x7E8, {0x21, 7, 8})));
  ASSERT_EQ(seen.size(), 2U);
  EXPECT_EQ(seen[0].data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(seen[1].data, (Bytes{0xEE, 0xFF}));  // a new single-frame message, not a finished session
  tpHandlerFree(stage);
}

TEST(TpStageLifetime, OpenSessionsAreReleasedWithTheStage) {
  test::RecordCollector last;
  cTpHandler_t* stage = tpHandlerNew(last.Handler());
  ASSERT_TRUE(tpHandlerConfigure(stage, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  ASSERT_TRUE(tpHandlerConfigure(stage, kBusTypeCanJ1939, 1, kTpCmKey, kTpProtocolJ1939));
  EXPECT_TRUE(test::Push(&stage->handler, test::CanFrame(2, 0x7E8, {0x10, 0x40, 1, 2, 3, 4, 5, 6})));
  Bytes long_frame = {0x21};
  long_frame.insert(long_frame.end(), 40, 0x55);  // the payload moves to the heap
  EXPECT_TRUE(test::Push(&stage->handler, test::CanFrame(2, 0x7E8, long_frame)));
  EXPECT_TRUE(test::Push(&stage->handler,
                         test::ExtendedFrame(1, 0x18ECFF00, {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00})));
  EXPECT_TRUE(last.records.empty());
  tpHandlerFree(stage);  // LeakSanitizer checks that both sessions and their payloads go
}

}  // namespace
