#include "mdf/itimestamp.h"

#include "mdf/mdfhelper.h"

namespace mdf {
namespace {
constexpr int64_t kNsPerMinute = 60'000'000'000;
}  // namespace

LocalTimestamp::LocalTimestamp(uint64_t local_ns) : time_ns_(local_ns) {}

// The offsets are the zone's as of now, not as of the stored time.
int16_t LocalTimestamp::GetTzOffsetMin() const { return static_cast<int16_t>(LocalUtcOffsetNs() / kNsPerMinute); }

int16_t LocalTimestamp::GetDstOffsetMin() const { return static_cast<int16_t>(DstOffsetNs() / kNsPerMinute); }

uint64_t LocalTimestamp::GetUtcTimeNs() const {
  const int64_t offset = LocalUtcOffsetNs() + DstOffsetNs();
  // Saturate instead of wrapping for clock values within an offset of the range ends.
  if (offset >= 0) {
    const auto east = static_cast<uint64_t>(offset);
    return time_ns_ >= east ? time_ns_ - east : 0;
  }
  const auto west = static_cast<uint64_t>(-offset);
  return time_ns_ <= UINT64_MAX - west ? time_ns_ + west : UINT64_MAX;
}

}  // namespace mdf
