#pragma once
// cTpHandler_t: the transport-protocol stage, head of the record-handler chain. For configured
// (kind, bus channel, key) triples it reassembles the frames of a multi-frame message into one
// record carrying the whole message and passes only that record on; every other record passes
// through unchanged. Incomplete or failed transfers are dropped: their frames are consumed and
// a failure is logged at info level ("TP error ..."), nothing else.
//
// Per input file: sessions survive into a file that continues the previous one (a message may
// span two split files) and are all dropped, silently, at the start of any other file.
#include <cstdint>

#include "buslog/busmsg.h"
#include "buslog/record_handler.h"
#include "buslog/tp_session.h"
#include "platform/vector.h"

/// Protocol ids; 2 and every other value are unsupported.
constexpr int32_t kTpProtocolJ1939 = 1;
constexpr int32_t kTpProtocolFastPacket = 3;
constexpr int32_t kTpProtocolIsoTp = 4;
constexpr int32_t kTpProtocolIsoTpAlternative = 5;  // a second id for ISO-TP, treated alike

/// Key of both maps: kind (the record's MsgType, 1 CAN data or 4 LIN), then bus channel, then key.
struct cTpMapKey_t {
  int32_t kind;
  uint8_t channel;
  uint32_t key;
};
bool operator<(const cTpMapKey_t& a, const cTpMapKey_t& b);

struct cTpConfigEntry_t {
  cTpMapKey_t key;
  int32_t protocol;
};

struct cTpSessionEntry_t {
  cTpMapKey_t key;        // session key
  cTpSession_t* session;  // owned
};

/// The stage's fields belong to it; callers use the functions below.
struct cTpHandler_t {
  cRecordHandler_t handler;  // first: operations tpHandleRecord, tpNewFile, handlerForwardEndFile
  cVec_t<uint8_t> j1939_channels;
  cVec_t<cTpConfigEntry_t> config;     // sorted by key
  cVec_t<cTpSessionEntry_t> sessions;  // sorted by key
  uint64_t start_ns;                   // the current file's start: the times logged are since 1970
};

/// A stage with empty channel list and maps whose next stage is `next`, or null when memory is
/// short.
cTpHandler_t* tpHandlerNew(cRecordHandler_t* next);
/// Releases the channel list, both maps and every open session; null is ignored.
void tpHandlerFree(cTpHandler_t* stage);

/// Configures reassembly of `key` on `channel` with the protocol id. Bus type kBusTypeCanJ1939
/// also makes the channel a J1939 channel (left out silently when the list cannot grow). The
/// entry's kind is LIN for kBusTypeLin, CAN data for every other bus type. An existing entry
/// gives true and keeps its protocol. False for a missing stage, or with the error log "Failed
/// to configure TP message (channel: %u, key: %X)" when the map cannot grow.
bool tpHandlerConfigure(cTpHandler_t* stage, int32_t bus_type, uint8_t channel, uint32_t key, int32_t protocol);

/// The stage's handleRecord. False for a missing stage or record. Records other than CAN data
/// and LIN frames, and unconfigured ones, go to the next stage, whose result is returned. A
/// configured frame is fed to its session (created on the first frame): a completed message
/// replaces the frame's data bytes (for J1939 also its identifier) and goes to the next stage,
/// whose result is returned; otherwise the frame is consumed and the result is true.
bool tpHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record);
/// The stage's newFile: false for a missing stage or file information; drops every session
/// unless `continuation` is 1, then returns the next stage's newFile.
bool tpNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation);
/// True for a CAN data frame with IDE set on a J1939 channel.
bool tpIsJ1939Channel(const cTpHandler_t* stage, const cBusMsgHelper_t* record);
