#pragma once
// cMuxHandler_t: the CAN demultiplexer stage. A configured carrier (a CAN data frame whose bus
// channel and identifier key are in the map) holds packed sub-frames, each tagged with one of
// four slots; every sub-frame becomes an ordinary record on the bus channel configured for its
// slot, with the carrier's time, and is sent to the demultiplexing target (the head of the
// chain) so that it is reassembled, demultiplexed again and written like a logged frame. The
// carrier itself is never passed on; every other record goes to the next stage unchanged.
//
// Packed sub-frame, one after the other without padding:
//   byte 0: slot (bits 7-5), IDE (4), EDL (3), DLC bits 3-1 (2-0)
//   byte 1: DLC bit 0 (7), Dir (6), BRS if EDL else RTR (5), identifier bits 28-24 or 10-8
//   byte 2 (and 3, 4 for a 29-bit identifier): the rest of the identifier, high byte first
//   then canDlcToLength(DLC) data bytes, none for a remote frame.
// Low 5 bits of byte 0 equal to 7 mark a 2-byte error sub-frame: slot, then the error type.
#include <cstdint>

#include "buslog/busmsg.h"
#include "buslog/record_handler.h"
#include "platform/vector.h"

constexpr int kMuxSlotCount = 4;
/// Carriers nested inside carriers that one stage walks at once. Real sub-frames never nest;
/// the bound keeps a configuration that feeds a carrier back to itself off the stack's end.
constexpr int32_t kMuxMaxNesting = 8;

/// Key of the map: bus channel, then identifier key (canIdKey form).
struct cMuxMapKey_t {
  uint8_t channel;
  uint32_t key;
};
bool operator<(const cMuxMapKey_t& a, const cMuxMapKey_t& b);

struct cMuxEntry_t {
  cMuxMapKey_t key;
  uint8_t targets[kMuxSlotCount];  // bus channel per slot
};

/// The stage's fields belong to it; callers use the functions below.
struct cMuxHandler_t {
  cRecordHandler_t handler;        // first: operations muxHandleRecord, muxNewFile, handlerForwardEndFile
  cRecordHandler_t* demux_target;  // receives the sub-frames; may be null
  cVec_t<cMuxEntry_t> map;         // sorted by key
  int32_t nesting;                 // carriers being walked right now
};

/// A stage with an empty map, next stage `next` and demultiplexing target `target` (may be
/// null), or null when memory is short.
cMuxHandler_t* muxHandlerNew(cRecordHandler_t* next, cRecordHandler_t* target);
/// Releases the map and the stage; null is ignored.
void muxHandlerFree(cMuxHandler_t* stage);
/// Stores the target; false for a missing stage, else whether the target is present.
bool muxHandlerSetDemuxTarget(cMuxHandler_t* stage, cRecordHandler_t* target);
/// Configures the carrier (channel, identifier key) with one target bus channel per slot.
/// False for a missing stage or a bus type other than kBusTypeCan; true when the pair is
/// configured already (its targets stay); false with the error log "Failed to configure MUX
/// message (channel: %u, key: %X)" when the map cannot grow.
bool muxHandlerConfigure(cMuxHandler_t* stage, int32_t bus_type, uint8_t channel, uint32_t key,
                         const uint8_t targets[kMuxSlotCount]);

/// The stage's handleRecord. False for a missing stage or record; an unconfigured record goes
/// to the next stage, whose result is returned. A carrier is consumed: each sub-frame of slot
/// 0 to 3 whose target channel differs from the carrier's goes to the demultiplexing target
/// (others are dropped), and its data bytes, whatever the chain left in them, are released
/// after the call. A truncated sub-frame ends the walk. The result is that of the last
/// sub-frame passed on, true when none was. A carrier nested more than kMuxMaxNesting deep is
/// dropped with an error log.
bool muxHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record);
/// The stage's newFile: false for a missing stage or file information, else the next stage's.
bool muxNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation);
/// Parses the sub-frame at the start of `bytes` into `record` (reset to the default record
/// first, its slot in BusChannel) and returns the bytes it takes; 0 when none can be read (no
/// bytes, header or data cut short, memory short). An error sub-frame takes 2 even when only
/// 1 byte is left.
int64_t muxParseSubFrame(const uint8_t* bytes, int64_t length, cBusMsgHelper_t* record);
