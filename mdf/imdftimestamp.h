#pragma once
// The start or change time that a header or file-history block records.
#include <cstdint>

#include "mdf/itimestamp.h"

namespace mdf {

class IMdfTimestamp {
 public:
  /// Takes the time and, by the timestamp's kind, the UTC / local / offset form.
  virtual void SetTime(const ITimestamp& timestamp) = 0;
  /// A UTC time without offsets.
  virtual void SetTime(uint64_t time_ns) = 0;
  [[nodiscard]] virtual uint64_t GetTimeNs() const = 0;
  [[nodiscard]] virtual int16_t GetTzOffsetMin() const = 0;
  [[nodiscard]] virtual int16_t GetDstOffsetMin() const = 0;
  /// MDF4: 0 UTC, 1 local time, 3 with time-zone offsets. MDF3: 2.
  [[nodiscard]] virtual int GetTimeType() const = 0;
  /// The MDF4 time flags as recorded, every bit (bit 0 local time, bit 1 offsets valid):
  /// what a copy of the record into another file keeps. MDF3 keeps local time: 1.
  [[nodiscard]] virtual uint8_t GetTimeFlags() const = 0;

 protected:
  // Destroyed through the block that embeds it.
  ~IMdfTimestamp() = default;
};

}  // namespace mdf
