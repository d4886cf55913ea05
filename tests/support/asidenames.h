#pragma once
// The private name "delete-converted" moves an input to just before it removes it, in the
// input's folder: ".~" and random hexadecimal digits, no longer than the input's name. Tests
// mask the digits to compare lines and events.
#include <cstddef>
#include <string>

namespace test {

constexpr char kAsidePrefix[] = ".~";

inline bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

/// Whether a file name (no folder) is such a private name.
inline bool IsAsideName(const std::string& name) {
  const size_t prefix = sizeof(kAsidePrefix) - 1;
  if (name.size() <= prefix || name.compare(0, prefix, kAsidePrefix) != 0) return false;
  for (size_t i = prefix; i < name.size(); ++i) {
    if (!IsHexDigit(name[i])) return false;
  }
  return true;
}

/// `text` with the digits of each private name in it replaced by '*'.
inline std::string MaskAsideDigits(std::string text) {
  const size_t prefix = sizeof(kAsidePrefix) - 1;
  for (size_t at = text.find(kAsidePrefix); at != std::string::npos; at = text.find(kAsidePrefix, at + 1)) {
    size_t end = at + prefix;
    while (end < text.size() && IsHexDigit(text[end])) ++end;
    if (end > at + prefix) text.replace(at + prefix, end - at - prefix, "*");
  }
  return text;
}

}  // namespace test
