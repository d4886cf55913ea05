#include "buslog/tp_session.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/byteorder.h"
#include "platform/log.h"

namespace {

// ISO-TP protocol control information: the high nibble of byte 0.
constexpr int kIsoTpSingleFrame = 0;
constexpr int kIsoTpFirstFrame = 1;
constexpr int kIsoTpConsecutiveFrame = 2;
constexpr int kIsoTpFlowControl = 3;
constexpr uint32_t kIsoTpSequenceModulo = 16;
constexpr int64_t kIsoTpFirstFrameHeader = 2;
constexpr int64_t kIsoTpEscapedFirstFrameHeader = 6;  // 10 00, then a 32-bit big-endian length
constexpr int64_t kIsoTpFlowControlLength = 3;
constexpr uint8_t kIsoTpFlowContinue = 0;
constexpr uint8_t kIsoTpFlowWait = 1;

constexpr int64_t kJ1939FrameLength = 8;

constexpr uint8_t kFastPacketCounterMask = 0x1F;
constexpr int kFastPacketSequenceShift = 5;

struct IsoTpSession {
  cTpSession_t base;
  int32_t state;
  uint32_t counter;
  uint32_t expected;
  cStr_t payload;
};

struct J1939Session {
  cTpSession_t base;
  int32_t state;
  uint32_t pgn;
  uint32_t counter;
  uint32_t size;
  cStr_t payload;
};

struct FastPacketSession {
  cTpSession_t base;
  int32_t state;
  uint8_t sequence;
  uint32_t counter;
  uint8_t total;
  cStr_t payload;
};

struct Frame {
  const uint8_t* bytes;
  int64_t length;
};

Frame FrameOf(const cBusMsgHelper_t* record) {
  return {reinterpret_cast<const uint8_t*>(cStrData(&record->DataBytes)), cStrLength(&record->DataBytes)};
}

// Appends n frame bytes; false when memory is short. The caller then fails the message, so a
// frame that could not be stored never turns into a message with a hole in it.
bool Append(cStr_t* payload, const uint8_t* bytes, int64_t n) {
  if (n <= 0) return true;
  return cStrAppend(payload, {reinterpret_cast<const char*>(bytes), n}) != nullptr;
}

// Bytes of a frame that a payload of `have` bytes still needs to reach `wanted`.
int64_t StillNeeded(int64_t available, int64_t have, int64_t wanted) {
  return std::max<int64_t>(0, std::min(available, wanted - have));
}

int BaseFeed(cTpSession_t*, cBusMsgHelper_t*) { return kTpFeedError; }
void BaseFree(cTpSession_t*) {}
constexpr cTpSessionOps_t kBaseOps = {BaseFeed, BaseFree};

// Hands the completed payload to the record.
int Complete(cBusMsgHelper_t* record, cStr_t* payload) {
  std::swap(record->DataBytes, *payload);
  return kTpFeedComplete;
}

int ResultOf(int32_t state) { return state == kTpStateReceiving ? kTpFeedTaken : kTpFeedError; }

// ---- ISO-TP

bool IsoTpParse(IsoTpSession* s, Frame frame) {
  if (frame.length == 0) {
    s->state = kTpStateError;
    return false;
  }
  const uint8_t* b = frame.bytes;
  switch (b[0] >> 4) {
    case kIsoTpSingleFrame: {
      if (s->state != kTpStateIdle) return false;
      int64_t size = b[0] & 0x0F;
      int64_t start = 1;
      if (size == 0) {  // CAN FD escape: the length is byte 1
        if (frame.length < 2) return false;
        size = b[1];
        start = 2;
      }
      if (frame.length - start < size || !Append(&s->payload, b + start, size)) return false;
      s->state = kTpStateComplete;
      return true;
    }
    case kIsoTpFirstFrame: {
      if (s->state != kTpStateIdle || frame.length < kIsoTpFirstFrameHeader) return false;
      int64_t start = kIsoTpFirstFrameHeader;
      if (b[0] == 0x10 && b[1] == 0) {  // 32-bit length escape
        if (frame.length < kIsoTpEscapedFirstFrameHeader) return false;
        s->expected = loadBe32(b + 2);
        start = kIsoTpEscapedFirstFrameHeader;
      } else {
        s->expected = static_cast<uint32_t>((b[0] & 0x0F) << 8 | b[1]);
      }
      // Every carried byte is kept, even beyond the expected length.
      if (frame.length - start > kIsoTpMaxPayload) {
        logMessage(kLogWarning, "ISO-TP payload overflow (%u)", static_cast<unsigned>(kIsoTpMaxPayload));
        return false;
      }
      if (!Append(&s->payload, b + start, frame.length - start)) return false;
      s->counter = 0;
      s->state = kTpStateReceiving;
      return true;
    }
    case kIsoTpConsecutiveFrame: {
      if (s->state != kTpStateReceiving) return false;
      s->state = kTpStateError;
      if ((b[0] & 0x0F) != (s->counter + 1) % kIsoTpSequenceModulo) return false;
      ++s->counter;
      const int64_t have = cStrLength(&s->payload);
      const int64_t take = StillNeeded(frame.length - 1, have, s->expected);
      if (have + take > kIsoTpMaxPayload) {  // checked before the payload grows
        logMessage(kLogWarning, "ISO-TP payload overflow (%u)", static_cast<unsigned>(kIsoTpMaxPayload));
        return false;
      }
      if (!Append(&s->payload, b + 1, take)) return false;
      s->state = have + take < s->expected ? kTpStateReceiving : kTpStateComplete;
      return true;
    }
    case kIsoTpFlowControl: {
      if (s->state != kTpStateReceiving) return false;
      const uint8_t status = b[0] & 0x0F;
      if (frame.length >= kIsoTpFlowControlLength && (status == kIsoTpFlowContinue || status == kIsoTpFlowWait)) {
        return true;
      }
      s->state = kTpStateError;
      return false;
    }
    default:
      return false;
  }
}

void IsoTpFree(cTpSession_t* session) {
  auto* s = reinterpret_cast<IsoTpSession*>(session);
  cStrRelease(&s->payload);
  std::free(s);
}

constexpr cTpSessionOps_t kIsoTpOps = {isoTpFeed, IsoTpFree};

// ---- J1939

void J1939Free(cTpSession_t* session) {
  auto* s = reinterpret_cast<J1939Session*>(session);
  cStrRelease(&s->payload);
  std::free(s);
}

constexpr cTpSessionOps_t kJ1939Ops = {j1939TpFeed, J1939Free};

// ---- fast packet

void FastPacketFree(cTpSession_t* session) {
  auto* s = reinterpret_cast<FastPacketSession*>(session);
  cStrRelease(&s->payload);
  std::free(s);
}

constexpr cTpSessionOps_t kFastPacketOps = {fastPacketFeed, FastPacketFree};

template <typename Session>
cTpSession_t* NewSession(const cTpSessionOps_t* ops) {
  auto* s = static_cast<Session*>(std::calloc(1, sizeof(Session)));  // zeroed: idle, empty payload
  if (s == nullptr) return nullptr;
  if (!tpSessionInit(&s->base)) {
    std::free(s);
    return nullptr;
  }
  s->base.ops = ops;
  return &s->base;
}

}  // namespace

bool tpSessionInit(cTpSession_t* session) {
  if (session == nullptr) return false;
  session->ops = &kBaseOps;
  return true;
}

int tpSessionFeed(cTpSession_t* session, cBusMsgHelper_t* record) {
  if (session == nullptr || record == nullptr || session->ops == nullptr || session->ops->feed == nullptr) {
    return kTpFeedError;
  }
  return session->ops->feed(session, record);
}

void tpSessionFree(cTpSession_t* session) {
  if (session != nullptr && session->ops != nullptr && session->ops->free != nullptr) session->ops->free(session);
}

cTpSession_t* isoTpSessionNew(uint32_t flags) {
  if (flags != 0) return nullptr;
  return NewSession<IsoTpSession>(&kIsoTpOps);
}

cTpSession_t* j1939TpSessionNew() { return NewSession<J1939Session>(&kJ1939Ops); }

cTpSession_t* fastPacketSessionNew() { return NewSession<FastPacketSession>(&kFastPacketOps); }

int isoTpFeed(cTpSession_t* session, cBusMsgHelper_t* record) {
  if (session == nullptr || record == nullptr) return kTpFeedError;
  auto* s = reinterpret_cast<IsoTpSession*>(session);
  if (!IsoTpParse(s, FrameOf(record))) return kTpFeedError;
  if (s->state == kTpStateComplete) return Complete(record, &s->payload);
  return ResultOf(s->state);
}

int j1939TpFeed(cTpSession_t* session, cBusMsgHelper_t* record) {
  if (session == nullptr || record == nullptr) return kTpFeedError;
  auto* s = reinterpret_cast<J1939Session*>(session);
  const uint32_t pgn = j1939PgnOf(record->ID);
  if (pgn != kJ1939PgnTpDt && pgn != kJ1939PgnTpCm) return kTpFeedError;
  const Frame frame = FrameOf(record);
  if (frame.length == 0) {
    s->state = kTpStateError;
    return kTpFeedError;
  }
  const uint8_t* b = frame.bytes;
  if (pgn == kJ1939PgnTpDt) {
    if (s->state != kTpStateReceiving) {
      s->state = kTpStateError;
      return kTpFeedError;
    }
    s->state = kTpStateError;
    if (frame.length != kJ1939FrameLength || uint32_t{b[0]} != s->counter + 1) return kTpFeedError;
    ++s->counter;
    const int64_t have = cStrLength(&s->payload);
    const int64_t take = StillNeeded(kJ1939BytesPerPacket, have, s->size);
    if (!Append(&s->payload, b + 1, take)) return kTpFeedError;
    s->state = have + take < s->size ? kTpStateReceiving : kTpStateComplete;
  } else if (s->state == kTpStateIdle && (b[0] == kJ1939CmRts || b[0] == kJ1939CmBam)) {
    // An announcement beyond 255 packets could never complete and would block its key.
    if (frame.length != kJ1939FrameLength || loadLe16(b + 1) > kJ1939MaxMessageSize) {
      s->state = kTpStateError;
      return kTpFeedError;
    }
    s->size = loadLe16(b + 1);
    s->pgn = loadLe24(b + 5);
    s->counter = 0;
    s->state = kTpStateReceiving;
  }
  // A further announcement while receiving changes nothing.
  if (s->state == kTpStateComplete) {
    const uint32_t announced = s->pgn;
    if (((announced >> 8) & 0xFF) >= kJ1939FirstPdu2Format) {
      record->ID = (record->ID & 0x1C0000FF) | ((announced & 0x3FFFF) << 8);
    } else {
      record->ID = (record->ID & 0x1C00FFFF) | ((announced & 0x3FF00) << 8);
    }
    return Complete(record, &s->payload);
  }
  return ResultOf(s->state);
}

int fastPacketFeed(cTpSession_t* session, cBusMsgHelper_t* record) {
  if (session == nullptr || record == nullptr) return kTpFeedError;
  auto* s = reinterpret_cast<FastPacketSession*>(session);
  const Frame frame = FrameOf(record);
  if (frame.length == 0) {
    s->state = kTpStateError;
    return kTpFeedError;
  }
  const uint8_t* b = frame.bytes;
  const uint8_t counter = b[0] & kFastPacketCounterMask;
  const auto sequence = static_cast<uint8_t>(b[0] >> kFastPacketSequenceShift);
  if (s->state == kTpStateIdle) {
    if (counter != 0 || frame.length < 2) {
      s->state = kTpStateError;
      return kTpFeedError;
    }
    s->sequence = sequence;
    s->counter = 0;
    s->total = b[1];
    const int64_t take = StillNeeded(frame.length - 2, 0, s->total);
    if (!Append(&s->payload, b + 2, take)) {
      s->state = kTpStateError;
      return kTpFeedError;
    }
    s->state = take < s->total ? kTpStateReceiving : kTpStateComplete;
  } else if (s->state == kTpStateReceiving) {
    if (counter == 0) {
      s->state = kTpStateError;
      return kTpFeedError;
    }
    s->state = kTpStateError;
    if (sequence != s->sequence || counter != s->counter + 1) return kTpFeedError;
    ++s->counter;
    const int64_t have = cStrLength(&s->payload);
    const int64_t take = StillNeeded(frame.length - 1, have, s->total);
    if (!Append(&s->payload, b + 1, take)) return kTpFeedError;
    s->state = have + take < s->total ? kTpStateReceiving : kTpStateComplete;
  }
  if (s->state == kTpStateComplete) return Complete(record, &s->payload);
  return ResultOf(s->state);
}
