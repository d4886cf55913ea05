#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "buslog/tp_session.h"
#include "support/busrecords.h"
#include "support/consolelog.h"

namespace {

using test::Bytes;

// n bytes counting up from `first`.
Bytes Count(uint8_t first, size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

enum class Kind { kIsoTp, kJ1939, kFastPacket };

cTpSession_t* NewSession(Kind kind) {
  switch (kind) {
    case Kind::kIsoTp:
      return isoTpSessionNew(0);
    case Kind::kJ1939:
      return j1939TpSessionNew();
    case Kind::kFastPacket:
      return fastPacketSessionNew();
  }
  return nullptr;
}

struct Step {
  uint32_t id;
  Bytes data;
  int expected;
};

struct SessionCase {
  const char* name;
  Kind kind;
  std::vector<Step> steps;
  Bytes message;        // data of the completing record (when the last step completes)
  uint32_t message_id;  // its identifier afterwards
};

constexpr uint32_t kIsoId = 0x7E8;
constexpr int kTaken = kTpFeedTaken;
constexpr int kDone = kTpFeedComplete;
constexpr int kError = kTpFeedError;

void RunCase(const SessionCase& c) {
  SCOPED_TRACE(c.name);
  cTpSession_t* session = NewSession(c.kind);
  ASSERT_NE(session, nullptr);
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    test::OwnedRecord record(test::ExtendedFrame(1, step.id, step.data, 1.0 + static_cast<double>(i)));
    const int result = tpSessionFeed(session, &record.msg);
    ASSERT_EQ(result, step.expected) << "step " << i;
    if (result == kTpFeedComplete) {
      EXPECT_EQ(record.Data(), c.message);
      EXPECT_EQ(record.msg.ID, c.message_id);
      EXPECT_EQ(record.msg.Timestamp, test::Ns(1.0 + static_cast<double>(i)));  // the completing frame's own
    } else {
      EXPECT_EQ(record.Data(), step.data) << "a frame that completes nothing keeps its bytes";
    }
    if (result != kTpFeedTaken) {
      ASSERT_EQ(i + 1, c.steps.size()) << "the stage never feeds a finished session";
    }
  }
  tpSessionFree(session);
}

// A first frame announcing `length` bytes with the 12-bit form, carrying `first` data bytes.
Bytes FirstFrame(uint32_t length, const Bytes& data) {
  return Cat({{static_cast<uint8_t>(0x10 | length >> 8), static_cast<uint8_t>(length & 0xFF)}, data});
}

TEST(IsoTpSession, ReassemblesSingleFirstAndConsecutiveFrames) {
  const SessionCase cases[] = {
      {"single frame", Kind::kIsoTp, {{kIsoId, {0x03, 1, 2, 3}, kDone}}, {1, 2, 3}, kIsoId},
      {"single frame ignores padding", Kind::kIsoTp, {{kIsoId, {0x02, 1, 2, 0xCC, 0xCC}, kDone}}, {1, 2}, kIsoId},
      {"CAN FD single frame 00 0A",
       Kind::kIsoTp,
       {{kIsoId, Cat({{0x00, 0x0A}, Count(1, 10)}), kDone}},
       Count(1, 10),
       kIsoId},
      {"CAN FD single frame short of one byte",
       Kind::kIsoTp,
       {{kIsoId, Cat({{0x00, 0x0A}, Count(1, 9)}), kError}},
       {},
       0},
      {"CAN FD escape without its length", Kind::kIsoTp, {{kIsoId, {0x00}, kError}}, {}, 0},
      {"single frame short of its length", Kind::kIsoTp, {{kIsoId, {0x05, 1, 2}, kError}}, {}, 0},
      {"first and consecutive frame",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(10, Count(1, 6)), kTaken}, {kIsoId, Cat({{0x21}, Count(7, 7)}), kDone}},
       Count(1, 10),
       kIsoId},
      {"32-bit first frame length 12",
       Kind::kIsoTp,
       {{kIsoId, {0x10, 0x00, 0x00, 0x00, 0x00, 0x0C, 1, 2}, kTaken},
        {kIsoId, Cat({{0x21}, Count(3, 7)}), kTaken},
        {kIsoId, Cat({{0x22}, Count(10, 7)}), kDone}},
       Count(1, 12),
       kIsoId},
      {"32-bit escape cut short", Kind::kIsoTp, {{kIsoId, {0x10, 0x00, 0x00, 0x00, 0x0C}, kError}}, {}, 0},
      {"first frame of one byte", Kind::kIsoTp, {{kIsoId, {0x10}, kError}}, {}, 0},
      {"wrong sequence number",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(10, Count(1, 6)), kTaken}, {kIsoId, Cat({{0x22}, Count(7, 7)}), kError}},
       {},
       0},
      {"consecutive frame without first frame", Kind::kIsoTp, {{kIsoId, {0x21, 1, 2}, kError}}, {}, 0},
      {"second first frame while receiving",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(10, Count(1, 6)), kTaken}, {kIsoId, FirstFrame(10, Count(1, 6)), kError}},
       {},
       0},
      {"single frame while receiving",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(10, Count(1, 6)), kTaken}, {kIsoId, {0x01, 9}, kError}},
       {},
       0},
      {"flow control continue and wait change nothing",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(10, Count(1, 6)), kTaken},
        {kIsoId, {0x30, 0x00, 0x00}, kTaken},
        {kIsoId, {0x31, 0x08, 0x14}, kTaken},
        {kIsoId, Cat({{0x21}, Count(7, 7)}), kDone}},
       Count(1, 10),
       kIsoId},
      {"flow control overflow status",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(10, Count(1, 6)), kTaken}, {kIsoId, {0x32, 0x00, 0x00}, kError}},
       {},
       0},
      {"flow control of two bytes",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(10, Count(1, 6)), kTaken}, {kIsoId, {0x30, 0x00}, kError}},
       {},
       0},
      {"flow control while idle", Kind::kIsoTp, {{kIsoId, {0x30, 0x00, 0x00}, kError}}, {}, 0},
      {"reserved frame type", Kind::kIsoTp, {{kIsoId, {0x40, 1, 2}, kError}}, {}, 0},
      {"frame type 15", Kind::kIsoTp, {{kIsoId, {0xF3, 1, 2, 3}, kError}}, {}, 0},
      {"empty frame", Kind::kIsoTp, {{kIsoId, {}, kError}}, {}, 0},
      // The first frame keeps every byte it carries; the consecutive frame adds only what the
      // announced length still needs, which here is nothing.
      {"first frame longer than its 12-bit length",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(3, Count(1, 6)), kTaken}, {kIsoId, {0x21, 7, 8}, kDone}},
       Count(1, 6),
       kIsoId},
      {"consecutive frame takes only what is still needed",
       Kind::kIsoTp,
       {{kIsoId, FirstFrame(8, Count(1, 6)), kTaken}, {kIsoId, Cat({{0x21}, Count(7, 7)}), kDone}},
       Count(1, 8),
       kIsoId},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(IsoTpSession, SequenceNumbersWrapFromFifteenToZero) {
  // 6 bytes in the first frame and 17 consecutive frames of 7: numbers 1..15, 0, 1.
  const uint32_t length = 6 + 17 * 7;
  std::vector<Step> steps = {{kIsoId, FirstFrame(length, Count(0, 6)), kTaken}};
  for (uint32_t n = 1; n <= 17; ++n) {
    steps.push_back({kIsoId,
                     Cat({{static_cast<uint8_t>(0x20 | (n % 16))}, Count(static_cast<uint8_t>(6 + 7 * (n - 1)), 7)}),
                     n == 17 ? kDone : kTaken});
  }
  RunCase({"wrap", Kind::kIsoTp, steps, Count(0, length), kIsoId});

  std::vector<Step> wrong = {steps[0]};
  for (uint32_t n = 1; n <= 15; ++n) wrong.push_back(steps[n]);
  wrong.push_back({kIsoId, Cat({{0x2F}, Count(0, 7)}), kError});  // 15 again instead of 0
  RunCase({"no wrap", Kind::kIsoTp, wrong, {}, 0});
}

TEST(IsoTpSession, UsesTheWholeFrameLength) {
  // A 300-byte frame: its length as an 8-bit number would be 44.
  const Bytes first = FirstFrame(400, Bytes(298, 0x11));
  const Bytes consecutive = Cat({{0x21}, Bytes(150, 0x22)});
  Bytes message = Bytes(298, 0x11);
  message.insert(message.end(), 102, 0x22);
  RunCase({"long frames", Kind::kIsoTp, {{kIsoId, first, kTaken}, {kIsoId, consecutive, kDone}}, message, kIsoId});
}

TEST(IsoTpSession, PayloadBeyondTheLimitOverflows) {
  const auto run = [](uint32_t announced, size_t frames_before) {
    test::ConsoleLog log(kLogWarning);
    cTpSession_t* session = isoTpSessionNew(0);
    test::OwnedRecord first(
        test::CanFrame(1, kIsoId,
                       {0x10, 0x00, static_cast<uint8_t>(announced >> 24), static_cast<uint8_t>(announced >> 16),
                        static_cast<uint8_t>(announced >> 8), static_cast<uint8_t>(announced)}));
    EXPECT_EQ(tpSessionFeed(session, &first.msg), kTpFeedTaken);
    int result = kTpFeedTaken;
    size_t frames = 0;
    for (; result == kTpFeedTaken && frames < 2000; ++frames) {
      test::OwnedRecord next(test::CanFrame(
          1, kIsoId,
          Cat({{static_cast<uint8_t>(0x20 | ((frames + 1) % 16))}, Bytes(7, static_cast<uint8_t>(frames))})));
      result = tpSessionFeed(session, &next.msg);
      if (result == kTpFeedComplete) {
        EXPECT_EQ(cStrLength(&next.msg.DataBytes), kIsoTpMaxPayload);
      }
    }
    tpSessionFree(session);
    EXPECT_EQ(frames - 1, frames_before);
    return std::make_pair(result, log.Messages());
  };
  // 8192 bytes are still a message; 1170 frames of 7 bring 8190, the next one would pass the limit.
  const auto [at_limit, quiet] = run(8192, 1170);
  EXPECT_EQ(at_limit, kTpFeedComplete);
  EXPECT_TRUE(quiet.empty());
  for (const uint32_t announced : {8193U, 0xFFFFFFFFU}) {  // the announced length is never allocated
    const auto [beyond, messages] = run(announced, 1170);
    EXPECT_EQ(beyond, kTpFeedError);
    EXPECT_EQ(messages, std::vector<std::string>{"W ISO-TP payload overflow (8192)"});
  }
  // A first frame that alone carries more than the limit.
  test::ConsoleLog log(kLogWarning);
  cTpSession_t* session = isoTpSessionNew(0);
  test::OwnedRecord huge(test::CanFrame(1, kIsoId, Cat({{0x10, 0x00, 0x00, 0x00, 0x30, 0x00}, Bytes(8193, 1)})));
  EXPECT_EQ(tpSessionFeed(session, &huge.msg), kTpFeedError);
  tpSessionFree(session);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"W ISO-TP payload overflow (8192)"});
}

TEST(IsoTpSession, OnlyFlagsZeroMakeASession) {
  EXPECT_EQ(isoTpSessionNew(1), nullptr);
  EXPECT_EQ(isoTpSessionNew(0x80000000), nullptr);
}

constexpr uint32_t kBam = 0x18ECFF00;
constexpr uint32_t kData = 0x18EBFF00;

TEST(J1939Session, ReassemblesAnnouncedTransfers) {
  const Bytes bam14 = {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00};
  const SessionCase cases[] = {
      {"BAM of 14 bytes for 0xFECA",
       Kind::kJ1939,
       {{kBam, bam14, kTaken}, {kData, Cat({{1}, Count(1, 7)}), kTaken}, {kData, Cat({{2}, Count(8, 7)}), kDone}},
       Count(1, 14),
       0x18FECA00},
      {"identifier with bit 31 set by the reader",
       Kind::kJ1939,
       {{kBam | 0x80000000, bam14, kTaken},
        {kData | 0x80000000, Cat({{1}, Count(1, 7)}), kTaken},
        {kData | 0x80000000, Cat({{2}, Count(8, 7)}), kDone}},
       Count(1, 14),
       0x18FECA00},
      {"BAM of 9 bytes for 0xFEE3",
       Kind::kJ1939,
       {{0x18ECFF2A, {0x20, 0x09, 0x00, 0x02, 0xFF, 0xE3, 0xFE, 0x00}, kTaken},
        {0x18EBFF2A, Cat({{1}, Count(1, 7)}), kTaken},
        {0x18EBFF2A, Cat({{2}, Count(8, 7)}), kDone}},
       Count(1, 9),
       0x18FEE32A},
      {"RTS for the destination-specific 0xEF00 keeps the destination",
       Kind::kJ1939,
       {{0x1CEC2A00, {0x10, 0x10, 0x00, 0x03, 0xFF, 0x00, 0xEF, 0x00}, kTaken},
        {0x1CEB2A00, Cat({{1}, Count(1, 7)}), kTaken},
        {0x1CEB2A00, Cat({{2}, Count(8, 7)}), kTaken},
        {0x1CEB2A00, Cat({{3}, Count(15, 7)}), kDone}},
       Count(1, 16),
       0x1CEF2A00},
      {"second announcement while receiving changes nothing",
       Kind::kJ1939,
       {{kBam, bam14, kTaken},
        {kBam, {0x20, 0x20, 0x00, 0x05, 0xFF, 0xE3, 0xFE, 0x00}, kTaken},
        {kData, Cat({{1}, Count(1, 7)}), kTaken},
        {kData, Cat({{2}, Count(8, 7)}), kDone}},
       Count(1, 14),
       0x18FECA00},
      {"skipped packet",
       Kind::kJ1939,
       {{kBam, bam14, kTaken}, {kData, Cat({{1}, Count(1, 7)}), kTaken}, {kData, Cat({{3}, Count(8, 7)}), kError}},
       {},
       0},
      {"repeated packet",
       Kind::kJ1939,
       {{kBam, bam14, kTaken}, {kData, Cat({{1}, Count(1, 7)}), kTaken}, {kData, Cat({{1}, Count(1, 7)}), kError}},
       {},
       0},
      {"announcement of 7 bytes", Kind::kJ1939, {{kBam, {0x20, 0x0E, 0x00, 0x02, 0xFF, 0xCA, 0xFE}, kError}}, {}, 0},
      {"packet of 7 bytes", Kind::kJ1939, {{kBam, bam14, kTaken}, {kData, Cat({{1}, Count(1, 6)}), kError}}, {}, 0},
      {"packet without announcement", Kind::kJ1939, {{kData, Cat({{1}, Count(1, 7)}), kError}}, {}, 0},
      {"abort while idle", Kind::kJ1939, {{kBam, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xCA, 0xFE, 0x00}, kError}}, {}, 0},
      {"empty frame", Kind::kJ1939, {{kBam, {}, kError}}, {}, 0},
      {"not a transport-protocol group", Kind::kJ1939, {{0x18FECA00, bam14, kError}}, {}, 0},
      {"more than 255 packets can carry",
       Kind::kJ1939,
       {{kBam, {0x20, 0xFA, 0x06, 0xFF, 0xFF, 0xCA, 0xFE, 0x00}, kError}},
       {},
       0},
      {"the 16-bit maximum", Kind::kJ1939, {{kBam, {0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xCA, 0xFE, 0x00}, kError}}, {}, 0},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(J1939Session, CarriesTheLargestTransfer) {
  // 1785 bytes: 255 packets of 7.
  std::vector<Step> steps = {{kBam, {0x20, 0xF9, 0x06, 0xFF, 0xFF, 0xCA, 0xFE, 0x00}, kTaken}};
  Bytes message;
  for (uint32_t n = 1; n <= 255; ++n) {
    const Bytes packet = Bytes(7, static_cast<uint8_t>(n));
    message.insert(message.end(), packet.begin(), packet.end());
    steps.push_back({kData, Cat({{static_cast<uint8_t>(n)}, packet}), n == 255 ? kDone : kTaken});
  }
  RunCase({"1785 bytes", Kind::kJ1939, steps, message, 0x18FECA00});
}

constexpr uint32_t kFastId = 0x09F80100;

TEST(FastPacketSession, ReassemblesNumberedFrames) {
  const SessionCase cases[] = {
      {"sequence 2 of 10 bytes",
       Kind::kFastPacket,
       {{kFastId, Cat({{0x40, 10}, Count(1, 6)}), kTaken}, {kFastId, Cat({{0x41}, Count(7, 7)}), kDone}},
       Count(1, 10),
       kFastId},
      {"another sequence id interleaved",
       Kind::kFastPacket,
       {{kFastId, Cat({{0x40, 10}, Count(1, 6)}), kTaken}, {kFastId, Cat({{0x61}, Count(7, 7)}), kError}},
       {},
       0},
      {"a gap in the counter",
       Kind::kFastPacket,
       {{kFastId, Cat({{0x40, 20}, Count(1, 6)}), kTaken}, {kFastId, Cat({{0x42}, Count(7, 7)}), kError}},
       {},
       0},
      {"a new first frame while receiving",
       Kind::kFastPacket,
       {{kFastId, Cat({{0x40, 20}, Count(1, 6)}), kTaken}, {kFastId, Cat({{0x60, 10}, Count(1, 6)}), kError}},
       {},
       0},
      {"message in the first frame",
       Kind::kFastPacket,
       {{kFastId, {0x20, 3, 1, 2, 3, 0xFF, 0xFF, 0xFF}, kDone}},
       {1, 2, 3},
       kFastId},
      {"three frames",
       Kind::kFastPacket,
       {{kFastId, Cat({{0xE0, 16}, Count(1, 6)}), kTaken},
        {kFastId, Cat({{0xE1}, Count(7, 7)}), kTaken},
        {kFastId, Cat({{0xE2}, Count(14, 3), {0xFF, 0xFF, 0xFF, 0xFF}}), kDone}},
       Count(1, 16),
       kFastId},
      {"first frame with a counter", Kind::kFastPacket, {{kFastId, Cat({{0x41, 10}, Count(1, 6)}), kError}}, {}, 0},
      {"first frame of one byte", Kind::kFastPacket, {{kFastId, {0x40}, kError}}, {}, 0},
      {"empty frame", Kind::kFastPacket, {{kFastId, {}, kError}}, {}, 0},
  };
  for (const auto& c : cases) RunCase(c);
}

TEST(TpSessionBase, MissingPartsGiveErrors) {
  EXPECT_FALSE(tpSessionInit(nullptr));
  cTpSession_t base{};
  ASSERT_TRUE(tpSessionInit(&base));
  test::OwnedRecord record(test::CanFrame(1, kIsoId, {0x03, 1, 2, 3}));
  EXPECT_EQ(tpSessionFeed(&base, &record.msg), kTpFeedError);
  tpSessionFree(&base);  // the base free does nothing
  EXPECT_EQ(tpSessionFeed(nullptr, &record.msg), kTpFeedError);
  cTpSession_t* session = isoTpSessionNew(0);
  EXPECT_EQ(tpSessionFeed(session, nullptr), kTpFeedError);
  tpSessionFree(session);
  tpSessionFree(nullptr);
  const cTpSessionOps_t no_operations{nullptr, nullptr};
  cTpSession_t empty{&no_operations};
  EXPECT_EQ(tpSessionFeed(&empty, &record.msg), kTpFeedError);
  tpSessionFree(&empty);
  EXPECT_EQ(record.Data(), (Bytes{0x03, 1, 2, 3}));
}

}  // namespace
