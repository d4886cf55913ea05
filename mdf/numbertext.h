#pragma once
// Numbers as text and text as numbers, independent of the process locale: every number the
// library shows, stores as text or reads from a text goes through these.
#include <array>
#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <type_traits>

namespace mdf {

/// Display text of a number: a whole value as an integer (unless fixed decimals are asked
/// for), else `decimals` decimals (at most 20; 0 rounds half up) with trailing zeros
/// removed, or kept and padded when `fixed`; "%G" when that text grows too long; the unit
/// after a blank.
std::string FormatNumberText(double value, uint8_t decimals = 6, bool fixed = false, const std::string& unit = {});

}  // namespace mdf

namespace mdf::detail {

// ---- Numbers to text

/// The text a default-configured output stream gives a double: "%g", six significant digits.
std::string DoubleToText(double value);

/// "%.*f" with 0 to 20 decimals.
std::string FixedPointText(double value, int decimals);

/// The shortest text that reads back as exactly the same value.
template <typename F>
std::string ShortestText(F value) {
  static_assert(std::is_floating_point_v<F>);
  std::array<char, 64> buffer{};  // the longest shortest form has fewer than 40 characters
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return {buffer.data(), result.ptr};
}

/// The text a default-configured output stream gives a number: an 8-bit integer type
/// writes its character, other integers their decimal digits, floating values DoubleToText.
template <typename T>
std::string StreamText(T value) {
  static_assert(std::is_arithmetic_v<T>);
  if constexpr (std::is_floating_point_v<T>) {
    return DoubleToText(static_cast<double>(value));
  } else if constexpr (sizeof(T) == 1 && !std::is_same_v<T, bool>) {
    return std::string(1, static_cast<char>(value));
  } else {
    std::array<char, 24> buffer{};  // 20 digits and a sign at most
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return {buffer.data(), result.ptr};
  }
}

/// Text of a value as attributes and property values store it: texts unchanged, booleans
/// "1" and "0", 8-bit integer types their character, other integers their decimal digits,
/// floating values their shortest exact form.
template <typename T>
std::string ValueToText(const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string>) {
    return std::string(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "1" : "0";
  } else if constexpr (std::is_floating_point_v<T>) {
    return ShortestText(value);
  } else {
    return StreamText(value);
  }
}

// ---- Text to numbers

namespace numbertext_internal {
// The decimal number at text[first] on: no leading blanks, no '+', a '-' only for signed and
// floating types; the result says whether one was read and fitted.
template <typename T>
std::errc FromChars(const std::string& text, size_t first, T& number) {
  const char* begin = text.data() + first;
  const char* end = text.data() + text.size();
  if constexpr (std::is_floating_point_v<T>) {
    return std::from_chars(begin, end, number, std::chars_format::general).ec;
  } else {
    return std::from_chars(begin, end, number, 10).ec;
  }
}
}  // namespace numbertext_internal

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
    value = numbertext_internal::FromChars(text, first, number) == std::errc{} ? number : T{};
  }
}

/// Stream extraction of a number as a standard input stream in the "C" locale does it: an
/// 8-bit integer type takes one character, other types a decimal number after leading blanks
/// (an unsigned type also takes a negated one). The result is the stream's success; `value`
/// holds what the stream stored: the number, 0 when the text does not start with one, the
/// type's limit for a number beyond the type, and is left as it was when the text holds
/// nothing but blanks. Defined for the eight integer types, float and double.
template <typename T>
bool ExtractNumberText(const std::string& text, T& value);

/// The text-to-number conversions of the standard library's stoull, stoll and stod (leading
/// blanks skipped, trailing characters ignored, std::invalid_argument "invalid <name>
/// argument" for a text without a number, std::out_of_range "<name> argument out of range"
/// for one beyond the type), but independent of the process locale; unlike stod, a
/// hexadecimal floating text reads as its leading 0.
template <typename N>
N ParseNumberOrThrow(const std::string& text, const char* name) {
  static_assert(std::is_same_v<N, uint64_t> || std::is_same_v<N, int64_t> || std::is_same_v<N, double>);
  size_t first = SkipBlanks(text);
  bool negate = false;
  if (first < text.size() && text[first] == '+') {
    ++first;
    if (first < text.size() && text[first] == '-') {
      throw std::invalid_argument(std::string("invalid ") + name + " argument");
    }
  } else if constexpr (std::is_unsigned_v<N>) {
    if (first < text.size() && text[first] == '-') {
      negate = true;  // strtoull negates in the unsigned type
      ++first;
    }
  }
  N number{};
  const std::errc error = numbertext_internal::FromChars(text, first, number);
  if (error == std::errc::invalid_argument) {
    throw std::invalid_argument(std::string("invalid ") + name + " argument");
  }
  if (error == std::errc::result_out_of_range) {
    throw std::out_of_range(std::string(name) + " argument out of range");
  }
  if constexpr (std::is_unsigned_v<N>) {
    return negate ? N{0} - number : number;
  } else {
    return number;
  }
}

}  // namespace mdf::detail
