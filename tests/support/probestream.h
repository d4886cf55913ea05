#pragma once
// A stream kind for tests of stacked streams: a memory stream underneath, reads, writes, seeks
// and closes counted, and switches that make seeks or reads fail (always, or from a position
// on), reads end early, writes come up short (each, or from a position on as a full disk), a
// numbered write or seek call fail (alone or with every later one), or seeks land short of
// their target.
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
  int64_t fail_reads_at = std::numeric_limits<int64_t>::max();  // reads stop there, then fail
  int64_t reads_end_at = std::numeric_limits<int64_t>::max();   // reads stop there, then give 0
  int64_t furthest_read = 0;                                    // the highest position a read reached
  int64_t read_limit = std::numeric_limits<int64_t>::max();     // each read gives at most this
  int64_t write_limit = std::numeric_limits<int64_t>::max();    // each write takes at most this
  int64_t writes_end_at = std::numeric_limits<int64_t>::max();  // writes stop there, then fail
  int64_t fail_write_call = -1;                                 // this write call (from 0) fails
  bool fail_later_writes = false;                               // and every one after it
  int64_t fail_seek_call = -1;                                  // this seek call (from 0) fails
  bool fail_later_seeks = false;                                // and every one after it
  int64_t seeks_stop_at = std::numeric_limits<int64_t>::max();  // a seek beyond stays and says where
  int writes = 0;
  int failures = 0;  // writes and seeks made to fail or come up short
};

inline bool CallFails(int64_t number, int64_t failing, bool later_too) {
  return failing >= 0 && (number == failing || (later_too && number > failing));
}

inline ProbeStream* Probe(cStream_t* s) { return reinterpret_cast<ProbeStream*>(s); }

inline int64_t ProbeRead(cStream_t* s, void* buffer, uint64_t length) {
  ProbeStream* probe = Probe(s);
  ++probe->reads;
  if (probe->fail_reads) return -1;
  const int64_t at = streamTell(probe->inner);
  if (at >= probe->fail_reads_at) return -1;
  if (at >= probe->reads_end_at) return 0;
  const int64_t stop = std::min(probe->fail_reads_at, probe->reads_end_at);
  const int64_t result =
      streamRead(probe->inner, buffer,
                 std::min({length, static_cast<uint64_t>(stop - at), static_cast<uint64_t>(probe->read_limit)}));
  probe->furthest_read = std::max(probe->furthest_read, streamTell(probe->inner));
  return result;
}
inline int64_t ProbeWrite(cStream_t* s, const void* buffer, uint64_t length) {
  ProbeStream* probe = Probe(s);
  if (CallFails(probe->writes++, probe->fail_write_call, probe->fail_later_writes)) {
    ++probe->failures;
    return -1;
  }
  const int64_t at = streamTell(probe->inner);
  if (length > 0 && at >= probe->writes_end_at) {
    ++probe->failures;
    return -1;
  }
  const uint64_t room = probe->writes_end_at > at ? static_cast<uint64_t>(probe->writes_end_at - at) : 0;
  const uint64_t taken = std::min({length, static_cast<uint64_t>(probe->write_limit), room});
  if (taken < length) ++probe->failures;
  return streamWrite(probe->inner, buffer, taken);
}
inline int64_t ProbeTell(cStream_t* s) { return streamTell(Probe(s)->inner); }
inline int64_t ProbeSeek(cStream_t* s, int64_t offset, int origin) {
  ProbeStream* probe = Probe(s);
  const int number = probe->seeks++;
  if (probe->fail_seeks || CallFails(number, probe->fail_seek_call, probe->fail_later_seeks)) {
    ++probe->failures;
    return -1;
  }
  const int64_t before = streamTell(probe->inner);
  const int64_t reached = streamSeek(probe->inner, offset, origin);
  if (reached <= probe->seeks_stop_at) return reached;
  streamSeek(probe->inner, before, kSeekFromStart);
  return before;
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
