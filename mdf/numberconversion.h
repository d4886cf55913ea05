#pragma once
// Conversions between the value types of channel samples: numbers to numbers with defined
// results for every input (no undefined behaviour for NaN or out-of-range doubles), and
// text to numbers independent of the process locale.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
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

/// Index of the first character that is not white space (as the "C" locale classifies it).
inline size_t SkipBlanks(const std::string& text) {
  size_t index = 0;
  while (index < text.size() && (text[index] == ' ' || (text[index] >= '\t' && text[index] <= '\r'))) {
    ++index;
  }
  return index;
}

/// Reads a number from the start of the text (leading blanks skipped, trailing characters
/// ignored). An 8-bit integer type takes one character: the value is the code of the first
/// non-blank character, and nothing is stored when there is none. Other types take a
/// decimal number; text that does not start with one, or whose number does not fit the
/// type (a minus sign for an unsigned type among them), stores 0.
template <typename T>
void ParseNumberText(const std::string& text, T& value) {
  static_assert(std::is_arithmetic_v<T>);
  size_t first = SkipBlanks(text);
  if constexpr (std::is_integral_v<T> && sizeof(T) == 1) {
    if (first < text.size()) {
      value = static_cast<T>(static_cast<unsigned char>(text[first]));
    }
  } else {
    if (first < text.size() && text[first] == '+') {
      ++first;
    }
    T number{};
    const char* begin = text.data() + first;
    const char* end = text.data() + text.size();
    std::from_chars_result result{};
    if constexpr (std::is_floating_point_v<T>) {
      result = std::from_chars(begin, end, number, std::chars_format::general);
    } else {
      result = std::from_chars(begin, end, number, 10);
    }
    value = result.ec == std::errc{} ? number : T{};
  }
}

}  // namespace mdf::detail
