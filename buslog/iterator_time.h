#pragma once
// The time of a bus event: a "Timestamp" channel's raw value through the channel's conversion
// into whole nanoseconds since the file's start. Both decodings take their times from here.
// A logger counts integer ticks of a decimal size (a linear conversion such as 1e-6 s per
// tick): such times are exact, worked out in integers from the decimal the parameters stand
// for; other conversions and float values give seconds, rounded to the nearest ns.
#include <cstdint>
#include <limits>

#include "mdf/recordfields.h"

namespace mdf {
class IChannel;
class IChannelConversion;
class IChannelObserver;
}  // namespace mdf

namespace iterator_detail {

/// The time of an event that has no usable one: not a number, or beyond 64 bits of ns.
constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

class TimeScale {
 public:
  /// Whole seconds, as a channel without conversion counts them.
  TimeScale() = default;
  explicit TimeScale(const mdf::IChannel& channel);

  /// The ns of a raw value; kNoTime when it gives none.
  [[nodiscard]] int64_t FromUnsigned(uint64_t raw) const {
    int64_t ns = 0;
    // The logger's ticks: one multiplication (bench_pipeline).
    if (kind_ == Kind::kTicks && raw <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
        !__builtin_mul_overflow(static_cast<int64_t>(raw), tick_ns_, &ns) &&
        !__builtin_add_overflow(ns, offset_ns_, &ns) && ns != kNoTime) {
      return ns;
    }
    return FromInteger(raw);
  }
  [[nodiscard]] int64_t FromSigned(int64_t raw) const { return FromInteger(raw); }
  [[nodiscard]] int64_t FromFloat(double raw) const;
  /// A value as the fast decoding reads it from a record (mdf::RecordFields).
  [[nodiscard]] int64_t Of(const mdf::RawValue& raw) const {
    return float_ ? FromFloat(raw.number) : FromUnsigned(raw.bits);
  }
  /// The time of the observer's sample, read as the raw value of the channel's data type.
  [[nodiscard]] int64_t OfSample(const mdf::IChannelObserver& observer, uint64_t sample) const;

  /// Seconds rounded to the nearest ns, halves away from zero; kNoTime when they give none.
  [[nodiscard]] static int64_t FromSeconds(long double seconds);

 private:
  enum class Kind : uint8_t {
    kTicks,       // ns = raw x tick_ns_ + offset_ns_
    kDecimal,     // ns = (raw x numerator_ + offset_) / denominator_, rounded: ticks finer than a ns
    kLinear,      // seconds = offset_s_ + factor_s_ x raw
    kConversion,  // seconds through the channel's conversion
  };
  [[nodiscard]] int64_t FromInteger(__int128 raw) const;

  Kind kind_ = Kind::kTicks;
  bool float_ = false;  // the raw values are floats
  int64_t tick_ns_ = 1'000'000'000;
  int64_t offset_ns_ = 0;
  __int128 numerator_ = 0;
  __int128 offset_ = 0;
  int64_t denominator_ = 1;
  long double factor_s_ = 1.0L;  // the decimal the parameters stand for, where they do
  long double offset_s_ = 0.0L;
  const mdf::IChannelConversion* conversion_ = nullptr;
};

}  // namespace iterator_detail
