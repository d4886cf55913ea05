// The times of bus events in ns: the scale a "Timestamp" channel's conversion gives, and the
// exact arithmetic of decimal tick sizes.
#include "buslog/iterator_time.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelobserver.h"

using namespace iterator_detail;

namespace {

constexpr int kNsDecimals = 9;
// Powers of ten that a double holds exactly.
constexpr int kMaxDecimals = 22;
constexpr double kPow10[kMaxDecimals + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// Integers a double holds exactly.
constexpr double kExactIntegers = 9007199254740992.0;  // 2^53

__int128 pow10(int exponent) {
  __int128 value = 1;
  for (int i = 0; i < exponent; ++i) value *= 10;
  return value;
}

// A conversion parameter as the decimal digits x 10^-decimals it was written as: the double
// nearest to that decimal is the parameter, with the fewest decimals. 1e-6 is one millionth,
// where its double is a little less. Nothing for a parameter no short decimal stands for.
struct Decimal {
  int64_t digits = 0;
  int decimals = 0;
};
std::optional<Decimal> decimalOf(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  for (int decimals = 0; decimals <= kMaxDecimals; ++decimals) {
    const double scaled = value * kPow10[decimals];
    if (!(std::fabs(scaled) < kExactIntegers)) return std::nullopt;
    const double nearest = std::nearbyint(scaled);
    for (const double digits : {nearest, nearest - 1, nearest + 1}) {
      if (digits / kPow10[decimals] == value) return Decimal{static_cast<int64_t>(digits), decimals};
    }
  }
  return std::nullopt;
}

long double decimalValue(const Decimal& decimal) {
  return static_cast<long double>(decimal.digits) / static_cast<long double>(kPow10[decimal.decimals]);
}

// n / d rounded to the nearest integer, halves away from zero (d > 0).
__int128 roundedQuotient(__int128 n, int64_t d) {
  __int128 quotient = n / d;
  const __int128 rest = n % d;
  if (2 * (rest < 0 ? -rest : rest) >= d) quotient += n < 0 ? -1 : 1;
  return quotient;
}

int64_t asTime(__int128 ns) {
  if (ns <= kNoTime || ns > std::numeric_limits<int64_t>::max()) return kNoTime;
  return static_cast<int64_t>(ns);
}

}  // namespace

TimeScale::TimeScale(const mdf::IChannel& channel) {
  float_ = channel.DataType() == mdf::kFloatLe || channel.DataType() == mdf::kFloatBe;
  const mdf::IChannelConversion* conversion = channel.ChannelConversion();
  if (conversion == nullptr || conversion->Type() == mdf::kOneToOneConversion) return;  // seconds
  kind_ = Kind::kConversion;
  conversion_ = conversion;
  if (conversion->Type() != mdf::kLinearConversion || conversion->Parameters().size() < 2) return;
  const double offset = conversion->ParameterAsDouble(0);
  const double factor = conversion->ParameterAsDouble(1);
  if (!std::isfinite(offset) || !std::isfinite(factor)) return;
  kind_ = Kind::kLinear;
  offset_s_ = offset;
  factor_s_ = factor;
  const std::optional<Decimal> offset_decimal = decimalOf(offset);
  const std::optional<Decimal> factor_decimal = decimalOf(factor);
  if (!offset_decimal || !factor_decimal) return;
  offset_s_ = decimalValue(*offset_decimal);
  factor_s_ = decimalValue(*factor_decimal);
  // Both in units of 10^-decimals s, then ns: whole ones, or a quotient to round.
  const int decimals = std::max({offset_decimal->decimals, factor_decimal->decimals, kNsDecimals});
  numerator_ = factor_decimal->digits * pow10(decimals - factor_decimal->decimals);
  offset_ = offset_decimal->digits * pow10(decimals - offset_decimal->decimals);
  denominator_ = static_cast<int64_t>(pow10(decimals - kNsDecimals));
  kind_ = Kind::kDecimal;
  if (denominator_ == 1 && numerator_ <= std::numeric_limits<int64_t>::max() &&
      numerator_ >= std::numeric_limits<int64_t>::min() && offset_ <= std::numeric_limits<int64_t>::max() &&
      offset_ > kNoTime) {
    kind_ = Kind::kTicks;
    tick_ns_ = static_cast<int64_t>(numerator_);
    offset_ns_ = static_cast<int64_t>(offset_);
  }
}

int64_t TimeScale::FromInteger(__int128 raw) const {
  switch (kind_) {
    case Kind::kTicks:
    case Kind::kDecimal: {
      const __int128 numerator = kind_ == Kind::kTicks ? tick_ns_ : numerator_;
      const __int128 offset = kind_ == Kind::kTicks ? offset_ns_ : offset_;
      __int128 value = 0;
      // Beyond 128 bits lies no time of 64 bits of ns.
      if (__builtin_mul_overflow(raw, numerator, &value) || __builtin_add_overflow(value, offset, &value)) {
        return kNoTime;
      }
      return asTime(denominator_ == 1 ? value : roundedQuotient(value, denominator_));
    }
    case Kind::kLinear:
      return FromSeconds(offset_s_ + factor_s_ * static_cast<long double>(raw));
    case Kind::kConversion: {
      double seconds = 0.0;
      if (raw < 0) {
        conversion_->Convert(static_cast<int64_t>(raw), seconds);
      } else {
        conversion_->Convert(static_cast<uint64_t>(raw), seconds);
      }
      return FromSeconds(seconds);
    }
  }
  return kNoTime;
}

int64_t TimeScale::FromFloat(double raw) const {
  // Without a conversion the factor is 1 and the offset 0: the raw seconds exactly.
  if (kind_ != Kind::kConversion) return FromSeconds(offset_s_ + factor_s_ * static_cast<long double>(raw));
  double seconds = 0.0;
  conversion_->Convert(raw, seconds);
  return FromSeconds(seconds);
}

int64_t TimeScale::FromSeconds(long double seconds) {
  const long double ns = seconds * 1e9L;
  // Also false for a value that is no number.
  if (!(std::fabs(ns) < std::ldexp(1.0L, 63))) return kNoTime;
  return asTime(std::llroundl(ns));
}

int64_t TimeScale::OfSample(const mdf::IChannelObserver& observer, uint64_t sample) const {
  switch (observer.Channel().DataType()) {
    case mdf::kUnsignedLe:
    case mdf::kUnsignedBe: {
      uint64_t raw = 0;
      observer.GetSampleUnsigned(sample, raw, 0);  // validity flags are not consulted
      return FromUnsigned(raw);
    }
    case mdf::kSignedLe:
    case mdf::kSignedBe: {
      int64_t raw = 0;
      observer.GetSampleSigned(sample, raw, 0);
      return FromSigned(raw);
    }
    case mdf::kFloatLe:
    case mdf::kFloatBe: {
      double raw = 0.0;
      observer.GetSampleFloat(sample, raw, 0);
      return FromFloat(raw);
    }
    default: {
      double seconds = 0.0;
      observer.ConvertedValue(sample, seconds);
      return FromSeconds(seconds);
    }
  }
}
