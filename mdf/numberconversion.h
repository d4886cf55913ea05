#pragma once
// Conversions between the numeric value types of channel samples, with defined results for
// every input (no undefined behaviour for NaN or out-of-range doubles). Texts and numbers
// convert through numbertext.h.
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace mdf::detail {

/// A double as the arithmetic type T with a defined result for every input. Into an
/// integer type it truncates toward zero, NaN giving 0 and values beyond the type's range
/// its minimum or maximum; into a floating type it rounds, finite values beyond the type's
/// range giving an infinity of their sign. For values a writer stores into a field of
/// fixed width; a value read goes through ConvertNumber.
template <typename T>
T SaturatingCast(double value) {
  static_assert(std::is_arithmetic_v<T>);
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isfinite(value) && std::fabs(value) > static_cast<double>(std::numeric_limits<T>::max())) {
      return value > 0 ? std::numeric_limits<T>::infinity() : -std::numeric_limits<T>::infinity();
    }
    return static_cast<T>(value);
  } else {
    if (std::isnan(value)) return 0;
    // 2^digits is the first value above the type's maximum; the minimum is exact.
    const double above_max = std::ldexp(1.0, std::numeric_limits<T>::digits);
    if (value >= above_max) return std::numeric_limits<T>::max();
    if (value <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    return static_cast<T>(value);
  }
}

/// The one conversion of a sample's value to the number type T a caller asks for; every
/// value path uses it (a record's element, an observer's sample, a conversion's result),
/// so that a value reads the same whichever way it is read.
/// - Integer to integer: the low-order bits of the value's two's-complement form (300 as
///   uint8_t gives 44, -1 gives 255).
/// - Floating to integer: truncated toward zero, then as an integer (300.7 as uint8_t gives
///   44, -1.5 gives 255, 3e9 as int32_t gives -1294967296). What C++ leaves undefined is
///   defined here: NaN gives 0; a whole number outside what a 64-bit integer of either
///   sign holds (below -2^63 or from 2^64 on, the infinities among them) gives T's maximum
///   when positive and T's minimum when negative. A whole number from 2^63 up to 2^64 is
///   taken as unsigned, so as int64_t it keeps its 64 bits and turns negative.
/// - Integer to floating: the nearest value, an unsigned value taken as unsigned.
/// - Floating to floating: rounded to the nearest value; a finite value beyond the range of
///   T gives an infinity of its sign, NaN stays NaN.
template <typename T, typename V>
T ConvertNumber(V value) {
  static_assert(std::is_arithmetic_v<T> && std::is_arithmetic_v<V>);
  static_assert(!std::is_same_v<T, bool>, "a truth value is no number of a sample");
  if constexpr (std::is_floating_point_v<T>) {
    if constexpr (std::is_floating_point_v<V>) {
      return SaturatingCast<T>(static_cast<double>(value));
    } else {
      return static_cast<T>(value);
    }
  } else if constexpr (std::is_integral_v<V>) {
    return static_cast<T>(value);
  } else {
    const double whole = std::trunc(static_cast<double>(value));
    if (std::isnan(whole)) return 0;
    constexpr double kTwoTo63 = 9223372036854775808.0;
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (whole >= kTwoTo64) return std::numeric_limits<T>::max();
    if (whole < -kTwoTo63) return std::numeric_limits<T>::min();
    const uint64_t bits =
        whole < 0.0 ? static_cast<uint64_t>(static_cast<int64_t>(whole)) : static_cast<uint64_t>(whole);
    return static_cast<T>(bits);
  }
}

}  // namespace mdf::detail
