// Fuzz target over the regular-expression engine: byte 0 holds the compile flags, byte 1 the
// search flags, the rest is the pattern up to the first zero byte and the subject after it.
// Every match and capture must lie inside the subject, a walk with the next flag must move
// forward, and a search within the whole subject, or over its length, must equal a plain one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/regex.h"

namespace {

bool Inside(const std::string& subject, const cRegexMatch_t& m) {
  if (m.start == nullptr) return m.length == 0;
  const char* begin = subject.c_str();
  return m.start >= begin && m.length >= 0 && m.start + m.length <= begin + subject.size();
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int compile_flags = data[0];
  const int search_flags = data[1] & (kRegexFullMatch | kRegexNext | kRegexWithin);
  const char* rest = reinterpret_cast<const char*>(data + 2);
  const size_t rest_size = size - 2;
  const void* zero = std::memchr(rest, 0, rest_size);
  const size_t pattern_size = zero == nullptr ? rest_size : static_cast<size_t>(static_cast<const char*>(zero) - rest);
  const std::string pattern(rest, pattern_size);
  const std::string subject =
      zero == nullptr ? std::string() : std::string(rest + pattern_size + 1, rest_size - pattern_size - 1);
  const char* text = subject.c_str();  // the engine reads up to the first zero byte
  const size_t text_size = std::strlen(text);

  cRegex_t regex{};
  const int compiled = regexCompile(&regex, pattern.c_str(), compile_flags);
  Check(compiled <= 0 && compiled >= kRegexOperatorUnderflow);
  if (compiled != kRegexOk) {
    Check(regexCaptureCount(&regex) == 0);
    return 0;
  }
  const int count = regexCaptureCount(&regex);
  Check(count >= 1 && count <= kRegexMaxGroups + 1);
  std::vector<cRegexMatch_t> matches(static_cast<size_t>(count));

  // A walk through the matches: each starts at or after the previous one's end.
  const char* previous_end = text;
  for (size_t steps = 0; steps <= text_size + 1; ++steps) {
    const int result = regexMatch(&regex, text, matches.data(), count, kRegexNext | (search_flags & kRegexFullMatch));
    Check(result == kRegexOk || result == kRegexNoMatch);
    if (result != kRegexOk) break;
    for (const auto& m : matches) Check(Inside(subject, m));
    Check(matches[0].start >= previous_end);
    previous_end = matches[0].start + matches[0].length;
  }

  std::vector<cRegexMatch_t> plain(static_cast<size_t>(count));
  const int plain_result = regexMatch(&regex, text, plain.data(), count, 0);
  Check(plain_result == kRegexOk || plain_result == kRegexNoMatch);
  if (text_size > 0) {
    std::vector<cRegexMatch_t> within(static_cast<size_t>(count));
    within[0] = {text, static_cast<int64_t>(text_size)};
    const int within_result = regexMatch(&regex, text, within.data(), count, kRegexWithin);
    Check(within_result == plain_result);
    if (plain_result == kRegexOk) Check(within[0].start == plain[0].start && within[0].length == plain[0].length);
  }
  // The whole subject by its length, zero bytes and all: matches stay inside it, and without a
  // zero byte the search is the plain one.
  std::vector<cRegexMatch_t> bytes(static_cast<size_t>(count));
  const int bytes_result =
      regexMatchBytes(&regex, subject.data(), static_cast<int64_t>(subject.size()), bytes.data(), count, 0);
  Check(bytes_result == kRegexOk || bytes_result == kRegexNoMatch);
  if (bytes_result == kRegexOk) {
    for (const auto& m : bytes) Check(Inside(subject, m));
  }
  if (text_size == subject.size()) {
    Check(bytes_result == plain_result);
    if (plain_result == kRegexOk) Check(bytes[0].start == plain[0].start && bytes[0].length == plain[0].length);
  }
  if (search_flags != 0 && text_size > 0) {  // the given flags from a previous match inside the text
    std::vector<cRegexMatch_t> some(static_cast<size_t>(count));
    const size_t at = data[1] % (text_size + 1);
    some[0] = {text + at, static_cast<int64_t>((text_size - at) / 2)};
    const int result = regexMatch(&regex, text, some.data(), count, search_flags);
    Check(result == kRegexOk || result == kRegexNoMatch);
    if (result == kRegexOk) {
      for (const auto& m : some) Check(Inside(subject, m));
    }
  }
  regexFree(&regex);
  return 0;
}
