#pragma once
// The display text of a block's flag word: the names of its set bits.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mdf::detail {

/// The names of the set bits, lowest bit first, separated by commas; bit i is names[i],
/// bits without a name are left out.
template <size_t N>
std::string FlagNamesText(uint64_t flags, const std::array<const char*, N>& names) {
  std::string text;
  for (size_t bit = 0; bit < N; ++bit) {
    if ((flags & (uint64_t{1} << bit)) == 0) continue;
    if (!text.empty()) text += ',';
    text += names[bit];
  }
  return text;
}

}  // namespace mdf::detail
