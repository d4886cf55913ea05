#pragma once
// A stream kind for tests of stacked streams: a memory stream underneath, reads, seeks and
// closes counted, and switches that make seeks or reads fail or writes come up short.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/stream.h"

namespace test {

struct ProbeStream {
  cStream_t base;
  cStream_t* inner;
  int reads = 0;
  int seeks = 0;
  int closes = 0;
  bool fail_seeks = false;
  bool fail_reads = false;
  int64_t write_limit = std::numeric_limits<int64_t>::max();
};

inline ProbeStream* Probe(cStream_t* s) { return reinterpret_cast<ProbeStream*>(s); }

inline int64_t ProbeRead(cStream_t* s, void* buffer, uint64_t length) {
  ++Probe(s)->reads;
  return Probe(s)->fail_reads ? -1 : streamRead(Probe(s)->inner, buffer, length);
}
inline int64_t ProbeWrite(cStream_t* s, const void* buffer, uint64_t length) {
  return streamWrite(Probe(s)->inner, buffer, std::min<uint64_t>(length, Probe(s)->write_limit));
}
inline int64_t ProbeTell(cStream_t* s) { return streamTell(Probe(s)->inner); }
inline int64_t ProbeSeek(cStream_t* s, int64_t offset, int origin) {
  ++Probe(s)->seeks;
  return Probe(s)->fail_seeks ? -1 : streamSeek(Probe(s)->inner, offset, origin);
}
// Closing only counts: the test owns the record.
inline int ProbeClose(cStream_t* s) {
  ++Probe(s)->closes;
  return 0;
}

constexpr cStreamOps_t kProbeOps = {ProbeRead, ProbeWrite, ProbeTell, ProbeSeek, ProbeClose};
constexpr cStreamOps_t kNoTellOps = {ProbeRead, ProbeWrite, nullptr, ProbeSeek, ProbeClose};
constexpr cStreamOps_t kEmptyOps = {nullptr, nullptr, nullptr, nullptr, nullptr};

/// A probe over the given bytes, positioned at 0; `ops` may leave slots empty.
class Probed {
 public:
  explicit Probed(const std::string& bytes, const cStreamOps_t* ops = &kProbeOps) {
    probe_.base.ops = ops;
    probe_.inner = memoryStreamNew();
    streamWrite(probe_.inner, bytes.data(), bytes.size());
    streamSeek(probe_.inner, 0, kSeekFromStart);
  }
  ~Probed() { streamClose(probe_.inner); }
  Probed(const Probed&) = delete;
  Probed& operator=(const Probed&) = delete;
  cStream_t* Stream() { return &probe_.base; }
  ProbeStream& Counts() { return probe_; }

 private:
  ProbeStream probe_{};
};

}  // namespace test
