#include "platform/utf8.h"

#include <array>
#include <cstring>

#include "platform/utf8_tables.h"

namespace {

// The decoder is an automaton over byte classes; states are multiples of the class count so
// that state + class indexes the transition table directly.
constexpr int kClassCount = 12;
constexpr uint8_t kAccept = 0;
constexpr uint8_t kReject = 12;

struct ByteClassRange {
  uint8_t first;
  uint8_t last;
  uint8_t byte_class;
};

constexpr ByteClassRange kByteClassRanges[] = {
    {0x00, 0x7F, 0},  {0x80, 0x8F, 1},  {0x90, 0x9F, 9}, {0xA0, 0xBF, 7}, {0xC0, 0xC1, 8},
    {0xC2, 0xDF, 2},  {0xE0, 0xE0, 10}, {0xE1, 0xEC, 3}, {0xED, 0xED, 4}, {0xEE, 0xEF, 3},
    {0xF0, 0xF0, 11}, {0xF1, 0xF3, 6},  {0xF4, 0xF4, 5}, {0xF5, 0xFF, 8},
};

constexpr std::array<uint8_t, 256> MakeByteClasses() {
  std::array<uint8_t, 256> classes{};
  for (const auto& range : kByteClassRanges) {
    for (int byte = range.first; byte <= range.last; ++byte) classes[byte] = range.byte_class;
  }
  return classes;
}

struct Transition {
  uint8_t state;
  uint8_t byte_class;
  uint8_t next;
};

// Every pair not listed leads to the reject state.
constexpr Transition kTransitions[] = {
    {0, 0, 0},   {0, 2, 24},  {0, 3, 36},  {0, 4, 60},  {0, 5, 96},  {0, 6, 84},  {0, 10, 48}, {0, 11, 72},
    {24, 1, 0},  {24, 7, 0},  {24, 9, 0},  {36, 1, 24}, {36, 7, 24}, {36, 9, 24}, {48, 7, 24}, {60, 1, 24},
    {60, 9, 24}, {72, 7, 36}, {72, 9, 36}, {84, 1, 36}, {84, 7, 36}, {84, 9, 36}, {96, 1, 36},
};

constexpr int kStateCount = 9;

constexpr std::array<uint8_t, kStateCount * kClassCount> MakeTransitionTable() {
  std::array<uint8_t, kStateCount * kClassCount> table{};
  for (auto& next : table) next = kReject;
  for (const auto& t : kTransitions) table[t.state + t.byte_class] = t.next;
  return table;
}

constexpr std::array<uint8_t, 256> kByteClass = MakeByteClasses();
constexpr std::array<uint8_t, kStateCount* kClassCount> kNextState = MakeTransitionTable();

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// One sequence at p; `end` is null for a NUL-terminated text. A zero byte inside a sequence
// is not a continuation byte, so the automaton rejects there and never reads beyond it.
int Decode(const unsigned char* p, const unsigned char* end, uint32_t* code_point) {
  uint32_t state = kAccept;
  uint32_t value = 0;
  for (int used = 0;; ++used) {
    if (end != nullptr && p + used >= end) break;  // cut off by the end of the view
    const unsigned char byte = p[used];
    const uint8_t byte_class = kByteClass[byte];
    value = state == kAccept ? byte & (0xFFu >> byte_class) : (value << 6) | (byte & 0x3Fu);
    state = kNextState[state + byte_class];
    if (state == kAccept) {
      *code_point = value;
      return used + 1;
    }
    if (state == kReject) break;
  }
  *code_point = kUtf8Replacement;
  return 1;
}

// Folding and lower-casing: the first run of the order whose last is not below c decides.
uint32_t MapDown(const uint16_t* order, uint16_t count, uint32_t c) {
  for (uint16_t i = 0; i < count; ++i) {
    const cUtf8CaseRun_t& run = kUtf8CaseRuns[order != nullptr ? order[i] : i];
    if (c > run.last) continue;
    if (c < run.first) return c;
    const int32_t d = int32_t{run.mapped_last} - run.last;
    if (d == 1) return ((c ^ run.last) & 1) == 0 ? c + 1 : c;
    return static_cast<uint32_t>(static_cast<int32_t>(c) + d);
  }
  return c;
}

// Upper-casing runs the runs backwards: the first run whose mapped last is not below c.
uint32_t MapUp(const uint16_t* order, uint16_t count, uint32_t c) {
  for (uint16_t i = 0; i < count; ++i) {
    const cUtf8CaseRun_t& run = kUtf8CaseRuns[order[i]];
    if (c > run.mapped_last) continue;
    const int32_t d = int32_t{run.mapped_last} - run.last;
    if (static_cast<int32_t>(c) < run.first + d) return c;
    if (d == 1) return ((c ^ run.mapped_last) & 1) == 0 ? c - 1 : c;
    return static_cast<uint32_t>(static_cast<int32_t>(c) - d);
  }
  return c;
}

bool IsAsciiLetter(uint32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(uint32_t c) { return c >= '0' && c <= '9'; }

// 1 to 4 bytes; 0 for surrogates and values beyond U+10FFFF.
int Encode(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c >= 0xD800 && c <= 0xDFFF) return 0;
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  if (c < 0x110000) {
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
  }
  return 0;
}

}  // namespace

uint32_t utf8Decode(const char* p) {
  uint32_t code_point = 0;
  Decode(reinterpret_cast<const unsigned char*>(p), nullptr, &code_point);
  return code_point;
}

int utf8DecodeNext(const char* p, uint32_t* code_point) {
  return Decode(reinterpret_cast<const unsigned char*>(p), nullptr, code_point);
}

int utf8DecodeNextBounded(const char* p, const char* end, uint32_t* code_point) {
  if (p >= end) {
    *code_point = 0;
    return 0;
  }
  return Decode(reinterpret_cast<const unsigned char*>(p), reinterpret_cast<const unsigned char*>(end), code_point);
}

uint32_t utf8DecodeAt(const char* text, const char* p, int64_t n) {
  const auto* at = reinterpret_cast<const unsigned char*>(p);
  const auto* start = reinterpret_cast<const unsigned char*>(text);
  for (; n > 0 && *at != '\0'; --n) {
    ++at;
    while (IsContinuation(*at)) ++at;
  }
  for (; n < 0 && at > start; ++n) {
    --at;
    while (at > start && IsContinuation(*at)) --at;
  }
  uint32_t code_point = 0;
  Decode(at, nullptr, &code_point);
  return code_point;
}

int64_t utf8PrefixLength(cStrView_t text, int64_t limit) {
  if (limit >= text.length) return text.length;
  int64_t length = limit > 0 ? limit : 0;
  while (length > 0 && IsContinuation(static_cast<unsigned char>(text.data[length]))) --length;
  return length;
}

const char* utf8FindCodePoint(const char* text, uint32_t code_point) {
  if (code_point == 0) return nullptr;
  if (code_point < 0x80) return std::strchr(text, static_cast<int>(code_point));
  for (const char* p = text; *p != '\0';) {
    uint32_t found = 0;
    const int used = utf8DecodeNext(p, &found);
    if (found == code_point) return p;
    p += used;
  }
  return nullptr;
}

uint32_t utf8Casefold(uint32_t code_point) { return MapDown(nullptr, kUtf8FoldRunCount, code_point); }

uint32_t utf8ToLower(uint32_t code_point) { return MapDown(kUtf8LowerRuns, kUtf8LowerRunCount, code_point); }

uint32_t utf8ToUpper(uint32_t code_point) { return MapUp(kUtf8UpperRuns, kUtf8UpperRunCount, code_point); }

bool utf8IsGroup(int group, uint32_t code_point) {
  if (group < 0 || group >= kUtf8GroupCount) return false;
  for (uint16_t i = kUtf8GroupStart[group]; i < kUtf8GroupStart[group + 1]; ++i) {
    const cUtf8Range_t& range = kUtf8GroupRanges[i];
    if (code_point < range.first) return false;
    if (code_point <= range.last) return true;
  }
  return false;
}

bool utf8IsAlpha(uint32_t code_point) {
  if (code_point < 0x80) return IsAsciiLetter(code_point);
  for (int group : {kUtf8GroupLatin, kUtf8GroupNl, kUtf8GroupGreek, kUtf8GroupCyrillic, kUtf8GroupHan,
                    kUtf8GroupDevanagari, kUtf8GroupArabic}) {
    if (utf8IsGroup(group, code_point)) return true;
  }
  return false;
}

bool utf8IsCased(uint32_t code_point) {
  if (code_point < 0x80) return IsAsciiLetter(code_point);
  return utf8ToUpper(code_point) != code_point || utf8ToLower(code_point) != code_point ||
         utf8IsGroup(kUtf8GroupLt, code_point);
}

bool utf8IsWord(uint32_t code_point) {
  if (code_point < 0x80) return IsAsciiLetter(code_point) || IsAsciiDigit(code_point) || code_point == '_';
  return utf8IsAlpha(code_point) || utf8IsGroup(kUtf8GroupNd, code_point) || utf8IsGroup(kUtf8GroupPc, code_point);
}

cStr_t* utf8CaseTransform(cStr_t* out, cStrView_t text, int kind) {
  if (kind != kUtf8CaseFold && kind != kUtf8CaseLower && kind != kUtf8CaseUpper) return nullptr;
  cStr_t result{};
  // Room for half as many bytes again: most mappings keep their length, some grow by a byte.
  const int64_t room = text.length > INT64_MAX / 2 ? text.length : text.length + text.length / 2;
  bool ok = text.length >= 0 && cStrReserve(&result, room) != nullptr;
  const char* p = text.data;
  const char* end = ok ? p + text.length : p;
  while (ok && p < end) {
    char bytes[4];
    int count = 1;
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x80) {  // ASCII needs neither the decoder nor the tables
      bytes[0] = static_cast<char>(kind == kUtf8CaseUpper ? (byte >= 'a' && byte <= 'z' ? byte - 0x20 : byte)
                                                          : (byte >= 'A' && byte <= 'Z' ? byte + 0x20 : byte));
      ++p;
    } else {
      uint32_t code_point = 0;
      p += utf8DecodeNextBounded(p, end, &code_point);
      code_point = kind == kUtf8CaseFold    ? utf8Casefold(code_point)
                   : kind == kUtf8CaseLower ? utf8ToLower(code_point)
                                            : utf8ToUpper(code_point);
      count = Encode(code_point, bytes);
    }
    ok = count == 0 || cStrAppend(&result, {bytes, count}) != nullptr;
  }
  if (!ok) {
    cStrRelease(&result);
    cStrRelease(out);
    return nullptr;
  }
  cStrShrinkToFit(&result);
  cStrRelease(out);
  *out = result;
  return out;
}
