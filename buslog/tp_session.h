#pragma once
// cTpSession_t: one transport-protocol message being reassembled from the data bytes of the
// records fed to it. Kinds: ISO-TP (ISO 15765-2 with the CAN FD forms), the J1939 transport
// protocol (TP.CM RTS or BAM, then TP.DT) and NMEA 2000 fast packets. The transport-protocol
// stage owns its sessions, creates one on the first frame of a message and removes it once
// feed returns complete or error; a session is never fed after that.
//
// On completion the record of the completing frame receives the whole message: its data
// bytes are exchanged with the payload (no copy), so the session holds the frame's own bytes
// and releases them with itself.
#include <cstdint>

#include "buslog/busmsg.h"

/// Results of feed.
constexpr int kTpFeedTaken = 0;     // frame taken, message not complete
constexpr int kTpFeedComplete = 1;  // the record now carries the whole message
constexpr int kTpFeedError = 2;     // protocol error

/// Session states.
constexpr int32_t kTpStateIdle = 0;
constexpr int32_t kTpStateReceiving = 1;
constexpr int32_t kTpStateComplete = 2;
constexpr int32_t kTpStateError = 3;

/// ISO-TP payloads beyond this many received bytes are an overflow.
constexpr int64_t kIsoTpMaxPayload = 8192;
/// A J1939 transfer has at most 255 packets of 7 bytes.
constexpr uint32_t kJ1939MaxPackets = 255;
constexpr uint32_t kJ1939BytesPerPacket = 7;
constexpr uint32_t kJ1939MaxMessageSize = kJ1939MaxPackets * kJ1939BytesPerPacket;

/// J1939 parameter groups of the transport protocol.
constexpr uint32_t kJ1939PgnTpDt = 0xEB00;
constexpr uint32_t kJ1939PgnTpCm = 0xEC00;
/// TP.CM control bytes that open a transfer.
constexpr uint8_t kJ1939CmRts = 0x10;
constexpr uint8_t kJ1939CmBam = 0x20;

struct cTpSession_t;

struct cTpSessionOps_t {
  int (*feed)(cTpSession_t* session, cBusMsgHelper_t* record);  // kTpFeed...
  void (*free)(cTpSession_t* session);
};

/// Base of every kind, embedded as its first member.
struct cTpSession_t {
  const cTpSessionOps_t* ops;
};

/// Installs the base operations (feed gives kTpFeedError, free does nothing); false for a
/// missing session.
bool tpSessionInit(cTpSession_t* session);
/// Feeds one frame; kTpFeedError for a missing session, record or operation.
int tpSessionFeed(cTpSession_t* session, cBusMsgHelper_t* record);
/// Releases the session and what it holds; a missing session is ignored.
void tpSessionFree(cTpSession_t* session);

/// An idle ISO-TP session; null for any flags value but 0 or when memory is short.
cTpSession_t* isoTpSessionNew(uint32_t flags);
/// An idle J1939 transport-protocol session, or null when memory is short.
cTpSession_t* j1939TpSessionNew();
/// An idle NMEA 2000 fast-packet session, or null when memory is short.
cTpSession_t* fastPacketSessionNew();

/// The kinds' feed operations (installed by the constructors above).
int isoTpFeed(cTpSession_t* session, cBusMsgHelper_t* record);
int j1939TpFeed(cTpSession_t* session, cBusMsgHelper_t* record);
int fastPacketFeed(cTpSession_t* session, cBusMsgHelper_t* record);

/// The J1939 parameter group number of an identifier: the destination byte dropped for PDU1.
inline uint32_t j1939PgnOf(uint32_t id) {
  const uint32_t pdu_format = (id >> kJ1939PduFormatShift) & 0xFF;
  return (id >> 8) & (pdu_format < kJ1939FirstPdu2Format ? 0x3FF00 : 0x3FFFF);
}
