#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "buslog/mux_handler.h"
#include "buslog/tp_handler.h"
#include "support/busrecords.h"
#include "support/consolelog.h"

namespace {

using test::Bytes;
using test::Frame;
using Messages = std::vector<std::string>;

// A packed sub-frame with an 11-bit identifier; the DLC is the data length (0 to 8, or one of
// the CAN FD lengths, which make it a CAN FD frame: classic DLCs 14 and 15 would read as the
// error mark).
Bytes SubFrame(uint8_t slot, uint32_t id, const Bytes& data) {
  uint8_t dlc = 0;
  while (dlc < 15 && canDlcToLength(dlc) != data.size()) ++dlc;
  EXPECT_EQ(canDlcToLength(dlc), data.size()) << "not a CAN data length";
  const uint8_t edl = dlc > 8 ? 0x08 : 0x00;
  Bytes bytes;
  bytes.reserve(3 + data.size());  // one allocation; growing the three header bytes trips GCC 12's -O3 bounds check
  bytes.push_back(static_cast<uint8_t>(slot << 5 | edl | dlc >> 1));
  bytes.push_back(static_cast<uint8_t>((dlc & 1) << 7 | (id >> 8 & 0x07)));
  bytes.push_back(static_cast<uint8_t>(id & 0xFF));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Frame CanFd(uint8_t channel, uint32_t id, uint8_t dlc, uint8_t flags_ide, uint8_t dir, uint8_t edl, uint8_t brs,
            uint8_t rtr, Bytes data) {
  Frame frame = test::CanFrame(channel, id, std::move(data));
  frame.type = rtr != 0 ? kBusMsgCanRemoteFrame : kBusMsgCanDataFrame;
  frame.flags.Can = {flags_ide, dir, edl, 0, brs, rtr, dlc, 0};
  return frame;
}

Frame ErrorFrame(uint8_t channel, cCanErrorMsgType_t type, double seconds = 0) {
  Frame frame;
  frame.type = kBusMsgCanErrorFrame;
  frame.channel = channel;
  frame.time = test::Ns(seconds);
  frame.flags.Error.ErrorType = type;
  return frame;
}

struct ParseCase {
  const char* name;
  Bytes bytes;
  int64_t taken;
  Frame frame;  // BusChannel holds the slot
};

TEST(MuxParseSubFrame, ReadsTheBitLayout) {
  const ParseCase cases[] = {
      {"11-bit data frame", {0x01, 0x00, 0x10, 0x11, 0x22, 0x99}, 5, CanFd(0, 0x010, 2, 0, 0, 0, 0, 0, {0x11, 0x22})},
      {"29-bit frame cut short", {0x11, 0x00, 0x00, 0x01, 0x23, 0x01}, 0, {}},
      {"29-bit data frame",
       {0x11, 0x1F, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB},
       7,
       CanFd(0, 0x1FFFFFFF, 2, 1, 0, 0, 0, 0, {0xAA, 0xBB})},
      {"error sub-frame of slot 2", {0x47, 0x03, 0x01}, 2, ErrorFrame(2, kCanErrorBitStuffing)},
      {"error type out of range", {0xE7, 0x06}, 2, ErrorFrame(7, kCanErrorOther)},
      {"error sub-frame of one byte", {0x27}, 2, ErrorFrame(1, kCanErrorOther)},
      {"remote frame", {0x02, 0x20, 0x10, 0x77}, 3, CanFd(0, 0x010, 4, 0, 0, 0, 0, 1, {})},
      {"29-bit remote frame", {0x71, 0x20, 0x00, 0x01, 0x23}, 5, CanFd(3, 0x123, 2, 1, 0, 0, 0, 1, {})},
      {"CAN FD frame with bit-rate switch", Cat({{0x2C, 0xE1, 0x23}, Bytes(12, 0x5A)}), 15,
       CanFd(1, 0x123, 9, 0, 1, 1, 1, 0, Bytes(12, 0x5A))},
      {"CAN FD frame of 64 bytes", Cat({{0x6F, 0x87, 0xFF}, Bytes(64, 0xA5)}), 67,
       CanFd(3, 0x7FF, 15, 0, 0, 1, 0, 0, Bytes(64, 0xA5))},
      {"CAN FD data cut short", Cat({{0x0F, 0x80, 0x01}, Bytes(63, 0)}), 0, {}},
      {"slot 5", {0xA1, 0x00, 0x10, 0x11, 0x22}, 5, CanFd(5, 0x010, 2, 0, 0, 0, 0, 0, {0x11, 0x22})},
      {"11-bit identifier ignores bits 4 and 3", {0x00, 0x1D, 0x34}, 3, CanFd(0, 0x534, 0, 0, 0, 0, 0, 0, {})},
      {"direction", {0x00, 0x40, 0x01}, 3, CanFd(0, 0x001, 0, 0, 1, 0, 0, 0, {})},
      {"11-bit header cut short", {0x01, 0x00}, 0, {}},
      {"29-bit header cut short", {0x10, 0x00, 0x00, 0x00}, 0, {}},
      {"nothing", {}, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::OwnedRecord record(test::CanFrame(9, 0x555, {1, 2, 3}, 7.0));  // reset before parsing
    EXPECT_EQ(muxParseSubFrame(c.bytes.data(), static_cast<int64_t>(c.bytes.size()), &record.msg), c.taken);
    if (c.taken != 0) {
      EXPECT_EQ(record.AsFrame(), c.frame);
    }
  }
  test::OwnedRecord record;
  const uint8_t byte = 0x01;
  EXPECT_EQ(muxParseSubFrame(nullptr, 3, &record.msg), 0);
  EXPECT_EQ(muxParseSubFrame(&byte, 1, nullptr), 0);
}

// TP -> MUX -> collector, with the MUX stage sending sub-frames back to the TP stage.
class MuxChain : public testing::Test {
 protected:
  MuxChain() : mux_(muxHandlerNew(last_.Handler(), nullptr)), tp_(tpHandlerNew(&mux_->handler)) {
    muxHandlerSetDemuxTarget(mux_, &tp_->handler);
  }
  ~MuxChain() override {
    tpHandlerFree(tp_);
    muxHandlerFree(mux_);
  }

  bool Configure(uint8_t channel, uint32_t id, std::vector<uint8_t> targets) {
    return muxHandlerConfigure(mux_, kBusTypeCan, channel, canIdKey(id, 0), targets.data());
  }
  bool Push(const Frame& frame) { return test::Push(&tp_->handler, frame); }

  test::RecordCollector last_;
  cMuxHandler_t* mux_;
  cTpHandler_t* tp_;
};

TEST_F(MuxChain, UnpacksSubFramesOntoTheirSlotsChannels) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  const Bytes payload = Cat({{0x01, 0x00, 0x10, 0x11, 0x22},  // slot 0
                             {0xA1, 0x00, 0x10, 0x11, 0x22},  // slot 5: skipped
                             {0x47, 0x03},                    // slot 2: error frame
                             {0x62, 0x20, 0x10},              // slot 3: remote frame
                             SubFrame(1, 0x7FF, {})});
  Frame carrier = test::CanFrame(2, 0x010, payload, 5.5);
  carrier.flags.Can.DLC = 15;
  EXPECT_TRUE(Push(carrier));
  Frame first = CanFd(3, 0x010, 2, 0, 0, 0, 0, 0, {0x11, 0x22});
  Frame remote = CanFd(6, 0x010, 4, 0, 0, 0, 0, 1, {});
  Frame empty = CanFd(4, 0x7FF, 0, 0, 0, 0, 0, 0, {});
  for (Frame* frame : {&first, &remote, &empty}) frame->time = test::Ns(5.5);
  EXPECT_EQ(last_.records, (std::vector<Frame>{first, ErrorFrame(5, kCanErrorBitStuffing, 5.5), remote, empty}));
}

TEST_F(MuxChain, ATruncatedSubFrameEndsTheWalk) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, {0x11, 0x00, 0x00, 0x01, 0x23, 0x01})));
  EXPECT_TRUE(Push(test::CanFrame(
      2, 0x010, Cat({SubFrame(0, 0x100, {1}), SubFrame(1, 0x200, Bytes(8, 2)), {0x01, 0x00, 0x10, 0x11}}))));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, Cat({SubFrame(0, 0x300, {3}), {0x10, 0x00, 0x00, 0x01}}))));
  ASSERT_EQ(last_.records.size(), 3U);
  EXPECT_EQ(last_.records[0].id, 0x100U);
  EXPECT_EQ(last_.records[1].id, 0x200U);
  EXPECT_EQ(last_.records[2].id, 0x300U);
}

TEST_F(MuxChain, ASubFrameForTheCarriersOwnChannelIsDropped) {
  ASSERT_TRUE(Configure(2, 0x010, {2, 4, 5, 6}));
  EXPECT_TRUE(
      Push(test::CanFrame(2, 0x010, Cat({SubFrame(0, 0x100, {1}), SubFrame(1, 0x200, {2}), SubFrame(0, 0x300, {3})}))));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].channel, 4);
  EXPECT_EQ(last_.records[0].id, 0x200U);
}

TEST_F(MuxChain, OtherRecordsPassUnchanged) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  const Bytes payload = SubFrame(0, 0x100, {1});
  Frame remote = test::CanFrame(2, 0x010, {0, 0}, 1.0);
  remote.type = kBusMsgCanRemoteFrame;
  const Frame frames[] = {
      test::CanFrame(2, 0x011, payload),       // another identifier
      test::CanFrame(1, 0x010, payload),       // another channel
      test::ExtendedFrame(2, 0x010, payload),  // the extended identifier 0x010
      test::LinFrame(2, 0x10, payload),        // LIN
      remote,
      ErrorFrame(2, kCanErrorAck),
      Frame{kBusMsgUnknown, 0, 0, {}, 0, {}},
  };
  for (const Frame& frame : frames) EXPECT_TRUE(Push(frame));
  EXPECT_EQ(last_.records, std::vector<Frame>(std::begin(frames), std::end(frames)));
}

TEST_F(MuxChain, ExtendedCarriersAreKeyedAsExtended) {
  ASSERT_TRUE(
      muxHandlerConfigure(mux_, kBusTypeCan, 2, canIdKey(0x18FF0010, 1), std::vector<uint8_t>{3, 4, 5, 6}.data()));
  EXPECT_TRUE(Push(test::ExtendedFrame(2, 0x18FF0010 | 0x80000000, SubFrame(1, 0x100, {1}))));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].channel, 4);
}

TEST_F(MuxChain, AnEmptyCarrierGivesNothing) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  last_.answer = false;
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, {})));
  EXPECT_TRUE(last_.records.empty());
}

TEST_F(MuxChain, ResultIsThatOfTheLastSubFramePassedOn) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 2, 5, 6}));
  last_.answer = false;
  EXPECT_FALSE(Push(test::CanFrame(2, 0x010, Cat({SubFrame(0, 0x100, {1}), SubFrame(1, 0x200, {2})}))));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, SubFrame(1, 0x200, {2}))));         // none passed on
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, {0xA1, 0x00, 0x10, 0x11, 0x22})));  // slot 5 only
  EXPECT_EQ(last_.records.size(), 1U);
}

TEST_F(MuxChain, SubFramesReenterAtTheHeadForReassembly) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  ASSERT_TRUE(tpHandlerConfigure(tp_, kBusTypeCan, 3, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, SubFrame(0, 0x7E8, {0x10, 0x0A, 1, 2, 3, 4, 5, 6}), 1.0)));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, SubFrame(0, 0x7E8, {0x21, 7, 8, 9, 10, 0xCC, 0xCC, 0xCC}), 2.0)));
  ASSERT_EQ(last_.records.size(), 1U);
  Frame message = CanFd(3, 0x7E8, 8, 0, 0, 0, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  message.time = test::Ns(2.0);  // of the last frame; flags of the sub-frame that completed it
  EXPECT_EQ(last_.records[0], message);
}

TEST_F(MuxChain, AReassembledCarrierIsUnpacked) {
  // The rule of the command line: ISO-TP first, then demultiplexing.
  ASSERT_TRUE(tpHandlerConfigure(tp_, kBusTypeCan, 2, canIdKey(0x010, 0), kTpProtocolIsoTp));
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  const Bytes payload = Cat({SubFrame(0, 0x100, Bytes(8, 0xAA)), SubFrame(3, 0x101, Bytes(24, 0xBB))});  // 11 + 27
  Bytes first = {0x10, static_cast<uint8_t>(payload.size())};
  first.insert(first.end(), payload.begin(), payload.begin() + 6);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, first, 1.0)));
  Bytes consecutive = {0x21};
  consecutive.insert(consecutive.end(), payload.begin() + 6, payload.end());  // a CAN FD frame of 33 bytes
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, consecutive, 1.5)));
  ASSERT_EQ(last_.records.size(), 2U);
  EXPECT_EQ(last_.records[0].channel, 3);
  EXPECT_EQ(last_.records[0].data, Bytes(8, 0xAA));
  EXPECT_EQ(last_.records[1].channel, 6);
  EXPECT_EQ(last_.records[1].data, Bytes(24, 0xBB));
  EXPECT_EQ(last_.records[1].time, test::Ns(1.5));
}

TEST_F(MuxChain, ExchangedDataBytesAreReleasedOnce) {
  // The TP stage swaps a heap-sized sub-frame's bytes with its payload; both are released.
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  ASSERT_TRUE(tpHandlerConfigure(tp_, kBusTypeCan, 3, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  Bytes single = {0x00, 30};
  for (uint8_t i = 0; i < 30; ++i) single.push_back(i);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, SubFrame(0, 0x7E8, single))));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].data, Bytes(single.begin() + 2, single.end()));
}

// `levels` carriers nested in one another, alternating between channel 2 and channel 3 (both
// identifier 0x010), around one plain sub-frame with identifier 0x123.
Bytes NestedCarriers(int levels) {
  Bytes payload = SubFrame(0, 0x123, {0xAB});
  for (int level = 1; level < levels; ++level) {
    uint8_t dlc = 0;
    while (canDlcToLength(dlc) < payload.size()) ++dlc;
    // Pairs of E7 are slot-7 error sub-frames (skipped); a last single one ends the walk.
    payload.resize(canDlcToLength(dlc), 0xE7);
    payload = SubFrame(0, 0x010, payload);
  }
  return payload;
}

TEST_F(MuxChain, CarriersNestUpToTheBound) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 3, 3, 3}));
  ASSERT_TRUE(Configure(3, 0x010, {2, 2, 2, 2}));
  test::ConsoleLog log(kLogError);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, NestedCarriers(kMuxMaxNesting), 4.0)));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].id, 0x123U);
  EXPECT_EQ(last_.records[0].channel, 2);  // eight carriers on 2, 3, 2, ..., 3, then the frame on 2
  EXPECT_EQ(last_.records[0].time, test::Ns(4.0));
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(MuxChain, DeeperNestingIsDroppedWithAnError) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 3, 3, 3}));
  ASSERT_TRUE(Configure(3, 0x010, {2, 2, 2, 2}));
  test::ConsoleLog log(kLogError);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, NestedCarriers(kMuxMaxNesting + 1))));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_EQ(log.Messages(), Messages{"E MUX message nested too deeply (channel: 2, key: 10)"});
  // The stage is usable again afterwards.
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, NestedCarriers(2))));
  EXPECT_EQ(last_.records.size(), 1U);
}

TEST_F(MuxChain, NestedReassemblyForTheSameKeyFindsNoFinishedSession) {
  // Carrier 2/0x010 reassembled by ISO-TP holds a carrier for 3/0x010, whose single frame
  // holds a frame for 2/0x010 again: it must open a new session.
  ASSERT_TRUE(tpHandlerConfigure(tp_, kBusTypeCan, 2, canIdKey(0x010, 0), kTpProtocolIsoTp));
  ASSERT_TRUE(tpHandlerConfigure(tp_, kBusTypeCan, 3, canIdKey(0x010, 0), kTpProtocolIsoTp));
  ASSERT_TRUE(Configure(2, 0x010, {3, 3, 3, 3}));
  ASSERT_TRUE(Configure(3, 0x010, {2, 2, 2, 2}));
  const Bytes innermost = Cat({{0x04}, SubFrame(0, 0x123, {0xAB}), Bytes(3, 0xE7)});  // ISO-TP SF, 8 bytes
  const Bytes on_two = SubFrame(0, 0x010, innermost);                                 // to channel 2
  const Bytes on_three = Cat({{0x0B}, on_two});                                       // SF of 11 in 12 bytes
  const Bytes payload = SubFrame(0, 0x010, on_three);                                 // to channel 3, 15 bytes
  Bytes first = {0x10, static_cast<uint8_t>(payload.size())};
  first.insert(first.end(), payload.begin(), payload.begin() + 6);
  Bytes consecutive = {0x21};
  consecutive.insert(consecutive.end(), payload.begin() + 6, payload.end());
  test::ConsoleLog log(kLogInfo);
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, first)));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, consecutive)));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].id, 0x123U);
  EXPECT_EQ(last_.records[0].channel, 3);
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(MuxChain, WithoutATargetSubFramesAreDropped) {
  ASSERT_TRUE(Configure(2, 0x010, {3, 4, 5, 6}));
  EXPECT_FALSE(muxHandlerSetDemuxTarget(mux_, nullptr));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, SubFrame(0, 0x100, {1}))));
  EXPECT_TRUE(last_.records.empty());
  EXPECT_TRUE(muxHandlerSetDemuxTarget(mux_, &tp_->handler));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, SubFrame(0, 0x100, {1}))));
  EXPECT_EQ(last_.records.size(), 1U);
}

TEST_F(MuxChain, ConfigurationTakesCanOnlyAndKeepsTheFirstTargets) {
  const uint8_t first[kMuxSlotCount] = {3, 4, 5, 6};
  const uint8_t second[kMuxSlotCount] = {7, 7, 7, 7};
  EXPECT_FALSE(muxHandlerConfigure(nullptr, kBusTypeCan, 2, 0x010, first));
  EXPECT_FALSE(muxHandlerConfigure(mux_, kBusTypeCanJ1939, 2, 0x010, first));
  EXPECT_FALSE(muxHandlerConfigure(mux_, kBusTypeLin, 2, 0x010, first));
  EXPECT_TRUE(muxHandlerConfigure(mux_, kBusTypeCan, 2, 0x010, first));
  EXPECT_TRUE(muxHandlerConfigure(mux_, kBusTypeCan, 2, 0x010, second));
  EXPECT_TRUE(Push(test::CanFrame(2, 0x010, SubFrame(0, 0x100, {1}))));
  ASSERT_EQ(last_.records.size(), 1U);
  EXPECT_EQ(last_.records[0].channel, 3);
}

TEST_F(MuxChain, MissingPartsAndFileCallbacks) {
  test::OwnedRecord record(test::CanFrame(2, 0x010, {1}));
  EXPECT_FALSE(muxHandleRecord(nullptr, &record.msg));
  EXPECT_FALSE(muxHandleRecord(&mux_->handler, nullptr));
  EXPECT_FALSE(muxHandlerSetDemuxTarget(nullptr, &tp_->handler));
  const cFileInfo_t info{};
  EXPECT_FALSE(muxNewFile(nullptr, &info, 0));
  EXPECT_FALSE(muxNewFile(&mux_->handler, nullptr, 0));
  EXPECT_TRUE(recordHandlerNewFile(&mux_->handler, &info, 1));
  EXPECT_TRUE(recordHandlerEndFile(&mux_->handler, &info));
  last_.answer = false;
  EXPECT_FALSE(recordHandlerNewFile(&mux_->handler, &info, 0));
  EXPECT_FALSE(recordHandlerEndFile(&mux_->handler, &info));
  EXPECT_EQ(last_.new_files, (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(last_.end_files, 2);
  EXPECT_TRUE(last_.records.empty());
  muxHandlerFree(nullptr);
}

}  // namespace
