#include "mdf/numbertext.h"

#include <cmath>
#include <locale>
#include <sstream>

namespace mdf {

namespace {

// std::to_chars with a precision gives exactly what printf gives in the "C" locale, whatever
// locale the process has set.
std::string PrintFloat(double value, std::chars_format format, int precision) {
  // Largest case: 309 integer digits, sign, point and 20 decimals.
  std::array<char, 400> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format, precision);
  return result.ec == std::errc{} ? std::string(buffer.data(), result.ptr) : std::string{};
}

// Casting a double to int64 is undefined outside [-2^63, 2^63) and for NaN.
bool FitsInt64(double value) {
  constexpr double kTwo63 = 9223372036854775808.0;
  return value >= -kTwo63 && value < kTwo63;
}

std::string GeneralUpperText(double value) {  // printf "%G"
  std::string text = PrintFloat(value, std::chars_format::general, 6);
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

std::string FormatNumberText(double value, uint8_t decimals, bool fixed, const std::string& unit) {
  const int n = decimals > 20 ? 20 : decimals;
  std::string text;
  const bool whole = FitsInt64(value) && value == static_cast<double>(static_cast<int64_t>(value));
  if (whole && !(decimals != 0 && fixed)) {
    text = std::to_string(static_cast<int64_t>(value));
  } else if (decimals != 0) {
    text = detail::FixedPointText(value, n);
  } else {
    const double rounded = std::floor(value + 0.5);  // half up, also for negatives
    text = FitsInt64(rounded) ? std::to_string(static_cast<int64_t>(rounded)) : detail::FixedPointText(value, 0);
  }

  if (text.size() > static_cast<size_t>(n) + 6) {
    text = GeneralUpperText(value);
  }

  const auto point = text.find('.');
  if (point != std::string::npos && text.find('E') == std::string::npos) {
    if (fixed) {
      const size_t digits = text.size() - point - 1;
      if (digits < static_cast<size_t>(n)) text.append(static_cast<size_t>(n) - digits, '0');
    } else {
      text.erase(text.find_last_not_of('0') + 1);
    }
  }
  if (!text.empty() && text.back() == '.') text.pop_back();

  if (!unit.empty()) {
    text.push_back(' ');
    text += unit;
  }
  return text;
}

namespace detail {

std::string DoubleToText(double value) { return PrintFloat(value, std::chars_format::general, 6); }

std::string FixedPointText(double value, int decimals) { return PrintFloat(value, std::chars_format::fixed, decimals); }

template <typename T>
bool ExtractNumberText(const std::string& text, T& value) {
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  stream >> value;
  return !stream.fail();
}

template bool ExtractNumberText(const std::string&, int8_t&);
template bool ExtractNumberText(const std::string&, uint8_t&);
template bool ExtractNumberText(const std::string&, int16_t&);
template bool ExtractNumberText(const std::string&, uint16_t&);
template bool ExtractNumberText(const std::string&, int32_t&);
template bool ExtractNumberText(const std::string&, uint32_t&);
template bool ExtractNumberText(const std::string&, int64_t&);
template bool ExtractNumberText(const std::string&, uint64_t&);
template bool ExtractNumberText(const std::string&, float&);
template bool ExtractNumberText(const std::string&, double&);

}  // namespace detail

}  // namespace mdf
