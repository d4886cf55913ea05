#pragma once
// The Unicode tables that tools/gen_utf8_tables.py writes into utf8_tables.cpp.
#include <cstdint>

#include "platform/utf8_groups.h"

/// first..last maps to first+d..mapped_last with d = mapped_last - last; d = 1 means
/// alternating pairs (every second code point maps to the next one).
struct cUtf8CaseRun_t {
  uint16_t first;
  uint16_t last;
  uint16_t mapped_last;
};

struct cUtf8Range_t {
  uint16_t first;
  uint16_t last;
};

extern const cUtf8CaseRun_t kUtf8CaseRuns[];
extern const uint16_t kUtf8CaseRunCount;
/// Folding scans this prefix of kUtf8CaseRuns in order.
extern const uint16_t kUtf8FoldRunCount;
/// Lower-casing and upper-casing scan these run indices in order.
extern const uint16_t kUtf8LowerRuns[];
extern const uint16_t kUtf8LowerRunCount;
extern const uint16_t kUtf8UpperRuns[];
extern const uint16_t kUtf8UpperRunCount;

extern const cUtf8Range_t kUtf8GroupRanges[];
extern const uint16_t kUtf8GroupStart[kUtf8GroupCount + 1];
