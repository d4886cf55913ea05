#include "buslog/tp_handler.h"

#include <cstdlib>

#include "buslog/keyed_vec.h"
#include "platform/log.h"

namespace {

// Both halves of the J1939 transport protocol find the one entry configured for TP.CM.
constexpr uint32_t kTpCmKey = j1939PgnKey(kJ1939PgnTpCm << 8, 1);
constexpr uint32_t kTpDtKey = j1939PgnKey(kJ1939PgnTpDt << 8, 1);
// Folds a TP.DT identifier onto the TP.CM identifier of the same sender and receiver.
constexpr uint32_t kTpDtFoldMask = 0xFFECFFFF;
constexpr uint32_t kTpDtFoldBits = 0x00EC0000;

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kUsPerSecond = 1'000'000;

bool Forward(cRecordHandler_t* handler, cBusMsgHelper_t* record) { return recordHandlerHandle(handler->next, record); }

// The record's time in seconds since 1970 with six decimals, like printf's %f, worked out in
// integers: never with the locale's decimal comma, and exact for any start.
void LogTpError(const cTpHandler_t* stage, const cBusMsgHelper_t* record) {
  if (!logEnabled(kLogInfo)) return;
  const __int128 ns = static_cast<__int128>(stage->start_ns) + record->Timestamp;
  const __int128 magnitude = ns < 0 ? -ns : ns;
  const auto us = static_cast<uint64_t>((magnitude + kNsPerUs / 2) / kNsPerUs);  // below 2^65 / 1000
  logMessage(kLogInfo, "TP error (time: %s%llu.%06llu, id: 0x%X)", ns < 0 && us > 0 ? "-" : "",
             static_cast<unsigned long long>(us / kUsPerSecond), static_cast<unsigned long long>(us % kUsPerSecond),
             static_cast<unsigned>(record->ID));
}

cTpSession_t* NewSessionFor(int32_t protocol, bool* supported) {
  *supported = true;
  switch (protocol) {
    case kTpProtocolJ1939:
      return j1939TpSessionNew();
    case kTpProtocolFastPacket:
      return fastPacketSessionNew();
    case kTpProtocolIsoTp:
    case kTpProtocolIsoTpAlternative:
      return isoTpSessionNew(0);
    default:
      *supported = false;
      return nullptr;
  }
}

void FreeSessions(cTpHandler_t* stage) {
  for (int64_t i = 0; i < stage->sessions.count; ++i) tpSessionFree(stage->sessions.items[i].session);
  stage->sessions.count = 0;
}

const cRecordHandlerOps_t kTpOps = {tpHandleRecord, tpNewFile, handlerForwardEndFile};

}  // namespace

bool operator<(const cTpMapKey_t& a, const cTpMapKey_t& b) {
  if (a.kind != b.kind) return a.kind < b.kind;
  if (a.channel != b.channel) return a.channel < b.channel;
  return a.key < b.key;
}

cTpHandler_t* tpHandlerNew(cRecordHandler_t* next) {
  auto* stage = static_cast<cTpHandler_t*>(std::calloc(1, sizeof(cTpHandler_t)));  // zeroed: empty list and maps
  if (stage == nullptr) return nullptr;
  if (!recordHandlerInit(&stage->handler)) {
    std::free(stage);
    return nullptr;
  }
  stage->handler.ops = &kTpOps;
  stage->handler.next = next;
  return stage;
}

void tpHandlerFree(cTpHandler_t* stage) {
  if (stage == nullptr) return;
  FreeSessions(stage);
  vecRelease(&stage->sessions);
  vecRelease(&stage->config);
  vecRelease(&stage->j1939_channels);
  std::free(stage);
}

bool tpHandlerConfigure(cTpHandler_t* stage, int32_t bus_type, uint8_t channel, uint32_t key, int32_t protocol) {
  if (stage == nullptr) return false;
  if (bus_type == kBusTypeCanJ1939) {
    bool listed = false;
    for (int64_t i = 0; i < stage->j1939_channels.count; ++i)
      listed = listed || stage->j1939_channels.items[i] == channel;
    if (!listed) vecPush(&stage->j1939_channels, channel);  // a failed growth leaves the channel out
  }
  const int32_t kind = bus_type == kBusTypeLin ? kBusMsgLinFrame : kBusMsgCanDataFrame;
  if (keyedInsert(&stage->config, cTpConfigEntry_t{{kind, channel, key}, protocol}).index < 0) {
    logMessage(kLogError, "Failed to configure TP message (channel: %u, key: %X)", static_cast<unsigned>(channel),
               static_cast<unsigned>(key));
    return false;
  }
  return true;
}

bool tpIsJ1939Channel(const cTpHandler_t* stage, const cBusMsgHelper_t* record) {
  if (stage == nullptr || record == nullptr) return false;
  if (record->MsgType != kBusMsgCanDataFrame || record->Flags.Can.IDE != 1) return false;
  for (int64_t i = 0; i < stage->j1939_channels.count; ++i) {
    if (stage->j1939_channels.items[i] == record->BusChannel) return true;
  }
  return false;
}

bool tpHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  if (handler == nullptr || record == nullptr) return false;
  auto* stage = reinterpret_cast<cTpHandler_t*>(handler);
  const int32_t kind = record->MsgType;
  if (kind != kBusMsgCanDataFrame && kind != kBusMsgLinFrame) return Forward(handler, record);
  const bool lin = kind == kBusMsgLinFrame;

  uint32_t config_key;
  if (lin) {
    config_key = linIdKey(record->ID);
  } else if (tpIsJ1939Channel(stage, record)) {
    config_key = j1939PgnKey(record->ID, record->Flags.Can.IDE);
    if (config_key == kTpDtKey) config_key = kTpCmKey;
  } else {
    config_key = canIdKey(record->ID, record->Flags.Can.IDE);
  }
  const int64_t config = keyedFind(&stage->config, cTpMapKey_t{kind, record->BusChannel, config_key});
  if (config < 0) return Forward(handler, record);
  const int32_t protocol = stage->config.items[config].protocol;

  uint32_t session_key = lin ? linIdKey(record->ID) : canIdKey(record->ID, record->Flags.Can.IDE);
  if (!lin && protocol == kTpProtocolJ1939) {
    const uint32_t group = j1939PgnKey(record->ID, 1);
    if (group == kTpCmKey) {
      // Clear-to-send, acknowledgement and abort frames open nothing; an empty frame neither.
      const int64_t length = cStrLength(&record->DataBytes);
      const auto control = length > 0 ? static_cast<uint8_t>(cStrData(&record->DataBytes)[0]) : uint8_t{0};
      if (control != kJ1939CmRts && control != kJ1939CmBam) return true;
    } else if (group == kTpDtKey) {
      session_key = (session_key & kTpDtFoldMask) | kTpDtFoldBits;
    }
  }

  const cTpMapKey_t key{kind, record->BusChannel, session_key};
  int64_t index = keyedFind(&stage->sessions, key);
  if (index < 0) {
    bool supported = true;
    cTpSession_t* session = NewSessionFor(protocol, &supported);
    if (!supported) logMessage(kLogError, "Unsupported transport protocol");
    if (session != nullptr) index = keyedInsert(&stage->sessions, cTpSessionEntry_t{key, session}).index;
    if (index < 0) {
      logMessage(kLogError, "Failed to initialize TP session");
      tpSessionFree(session);
      return true;
    }
  }

  cTpSession_t* session = stage->sessions.items[index].session;
  const int fed = tpSessionFeed(session, record);
  if (fed == kTpFeedTaken) return true;
  // Out of the map before the message travels on: a nested frame that re-enters the chain
  // for the same key must find no finished session.
  vecRemoveAt(&stage->sessions, index);
  tpSessionFree(session);
  if (fed == kTpFeedComplete) return Forward(handler, record);
  LogTpError(stage, record);
  return true;
}

bool tpNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
  if (handler == nullptr || info == nullptr) return false;
  auto* stage = reinterpret_cast<cTpHandler_t*>(handler);
  if (continuation == 0) FreeSessions(stage);
  stage->start_ns = info->StartTime;
  return recordHandlerNewFile(handler->next, info, continuation);
}
