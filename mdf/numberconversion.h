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
/// range giving an infinity of their sign.
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

/// The ordinary numeric conversion to T. Integers keep their low-order bits. A double goes
/// to an integer by truncation toward zero: to 8 and 16-bit types through a 32-bit signed
/// integer, to 32-bit types through a 64-bit signed one, each time keeping the low bits
/// (300.7 gives 44 as uint8_t and 300 as uint32_t); negative values taken as uint64_t give
/// the two's-complement pattern of the truncated value.
template <typename T, typename V>
T ConvertNumber(V value) {
  static_assert(std::is_arithmetic_v<T> && std::is_arithmetic_v<V>);
  if constexpr (std::is_floating_point_v<T>) {
    if constexpr (std::is_floating_point_v<V>) {
      return SaturatingCast<T>(static_cast<double>(value));
    } else {
      return static_cast<T>(value);
    }
  } else if constexpr (std::is_integral_v<V>) {
    return static_cast<T>(value);
  } else {
    const auto number = static_cast<double>(value);
    if constexpr (sizeof(T) < 4) {
      return static_cast<T>(SaturatingCast<int32_t>(number));
    } else if constexpr (sizeof(T) == 4 || std::is_signed_v<T>) {
      return static_cast<T>(SaturatingCast<int64_t>(number));
    } else {
      return number < 0.0 ? static_cast<T>(SaturatingCast<int64_t>(number))
                          : static_cast<T>(SaturatingCast<uint64_t>(number));
    }
  }
}

}  // namespace mdf::detail
