#pragma once
// Text of a value as attributes and property values store it: texts unchanged, numbers in
// the "C" locale, floating values in their shortest form that reads back exactly.
#include <array>
#include <charconv>
#include <locale>
#include <sstream>
#include <string>
#include <type_traits>

namespace mdf::detail {

template <typename T>
std::string ValueToText(const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string>) {
    return std::string(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "1" : "0";
  } else if constexpr (std::is_arithmetic_v<T> && sizeof(T) > 1) {
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
  } else {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
  }
}

}  // namespace mdf::detail
