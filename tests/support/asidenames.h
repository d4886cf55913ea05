#pragma once
// The private name "delete-converted" moves an input to just before it removes it, in the
// input's folder: ".logmend-" and 16 random hexadecimal digits, then ".removing". Tests mask
// the digits to compare lines and events.
#include <cstddef>
#include <string>

namespace test {

constexpr char kAsidePrefix[] = ".logmend-";
constexpr size_t kAsideDigits = 16;

/// `text` with the digits of each private name in it replaced by '*'.
inline std::string MaskAsideDigits(std::string text) {
  for (size_t at = text.find(kAsidePrefix); at != std::string::npos; at = text.find(kAsidePrefix, at + 1)) {
    const size_t digits = at + sizeof(kAsidePrefix) - 1;
    if (text.size() - digits >= kAsideDigits) text.replace(digits, kAsideDigits, "*");
  }
  return text;
}

}  // namespace test
