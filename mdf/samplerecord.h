#pragma once
// One sample on its way from a writer's caller to the writer's worker thread: a copy of a
// channel group's record, stamped with its time.
#include <cstdint>
#include <vector>

namespace mdf {

class IChannelGroup;

struct SampleRecord {
  SampleRecord() = default;
  /// A copy of the group's record (its sample buffer) under its record id, stamped now.
  explicit SampleRecord(const IChannelGroup& group);
  /// The same, stamped with the given time (ns since 1970).
  SampleRecord(const IChannelGroup& group, uint64_t time_ns);

  /// What the sample counts for in a writer's queued-byte count.
  [[nodiscard]] uint64_t Size() const { return record_buffer.size() + vlsd_buffer.size(); }

  uint64_t timestamp = 0;  // ns since 1970
  uint64_t record_id = 0;
  std::vector<uint8_t> record_buffer;  // data bytes and invalidation bytes, no record id
  bool vlsd_data = false;              // the record carries bytes for a VLSD channel group
  std::vector<uint8_t> vlsd_buffer;
};

}  // namespace mdf
