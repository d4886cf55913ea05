#pragma once
// Demultiplexing rules: "--muxtp-can<channel>=<id>#<t1>:<t2>:<t3>:<t4>" says that on bus
// channel <channel>, CAN frames with the identifier <id> (3 or 8 hexadecimal digits) are
// multiplexed frames whose contents go to the channels t1 to t4.
#include <cstdint>

#include "app/argument_table.h"
#include "platform/hashmap.h"

/// Key bits 0-7: the bus channel; bits 32-63: the identifier, with bit 31 of it set when it
/// was written with 8 digits (extended identifier).
struct cDemuxEntry_t {
  uint64_t key;
  uint8_t targets[4];  // in the order written
};
static_assert(sizeof(cDemuxEntry_t) == 16, "demultiplexing entries are 16 bytes");

using cDemuxMap_t = cHashMap_t<cDemuxEntry_t, cU64KeyTraits_t<cDemuxEntry_t>>;

constexpr uint32_t kDemuxExtendedId = 0x80000000u;

inline uint64_t demuxKey(uint32_t channel, uint32_t id_key) { return (channel & 0xFF) | (uint64_t{id_key} << 32); }

/// The conversion of the "muxtp-can*" entry: reads every value (a whole option token without
/// its "--", e.g. "muxtp-can2=010#3:4:5:6") in order into the map. A value that is not a rule
/// logs "Invalid muxtp-can argument, %s"; a channel and identifier already mapped log "Mux
/// configuration already mapped" (the first rule wins); a number that does not fit 32 bits
/// drops the rule silently, as does a map that cannot grow. Channel and targets keep their
/// low 8 bits. Returns 0, or 1 when the rule pattern cannot be compiled.
int parseMuxtpArg(const cArgumentString_t* entry, cDemuxMap_t* map);
