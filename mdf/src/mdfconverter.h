#pragma once
// The converter kind of MDF 4 writer: it keeps its output open for the whole cycle, writes
// every queued sample (no pre-trigger trimming, no stop time) and wakes its worker as soon
// as more than 8,000,000 bytes are queued while the measurement runs.
#include <cstdint>
#include <mutex>

#include "mdf4writer.h"

namespace mdf::detail {

class MdfConverter : public Mdf4Writer {
 public:
  /// Queued bytes above which a sample of a started measurement wakes the worker.
  static constexpr uint64_t kWakeUpBytes = 8'000'000;

  MdfConverter() = default;
  ~MdfConverter() override;

  void SaveRecord(const IChannelGroup& group, uint64_t time_ns, const uint8_t* record, size_t size) override;

 protected:
  void TrimQueue() override {}
  void WorkThread() override;
  [[nodiscard]] bool KeepsFileOpen() const override { return true; }
};

}  // namespace mdf::detail
