#pragma once
// The compiled form of a regular expression, shared by the pattern compiler
// (regex_compiler.cpp) and the matcher (regex_matcher.cpp); not part of the public interface.
#include <cstdint>

#include "platform/regex.h"

namespace regex_detail {

// Instructions. Every instruction has one operand (code point, class, capture slot or the
// second branch of a split) and the index of the next instruction.
enum Op : uint8_t {
  kOpNop,
  kOpChar,        // the code point
  kOpCharFold,    // the case-folded code point, compared with the folded text
  kOpAny,         // anything but '\n'
  kOpAnyNewline,  // anything
  kOpClass,
  kOpSplit,  // next first, then arg
  kOpSave,   // records the position in capture slot arg
  kOpLineStart,
  kOpLineEnd,
  kOpTextStart,
  kOpTextEnd,
  kOpTextEndNewline,  // end, or before a final '\n'
  kOpWordBoundary,
  kOpNotWordBoundary,
  kOpMatch,
};

struct Inst {
  uint8_t op;
  int32_t arg;
  int32_t next;
};

constexpr int32_t kNoInst = -1;

// Named sets of class items.
enum Set : uint32_t {
  kSetAlpha,
  kSetCased,
  kSetDigit,
  kSetLower,
  kSetUpper,
  kSetCntrl,
  kSetAlnum,
  kSetBlank,
  kSetSpace,
  kSetWord,
  kSetXDigit,
  kSetLt,
  kSetNl,
  kSetPc,
  kSetPd,
  kSetPf,
  kSetPi,
  kSetZl,
  kSetZp,
  kSetZs,
  kSetSc,
  kSetArabic,
  kSetCyrillic,
  kSetDevanagari,
  kSetGreek,
  kSetHan,
  kSetLatin,
  // The ASCII sets of "[:name:]".
  kSetAsciiAlnum,
  kSetAsciiAlpha,
  kSetAscii,
  kSetAsciiBlank,
  kSetAsciiCntrl,
  kSetAsciiDigit,
  kSetAsciiGraph,
  kSetAsciiLower,
  kSetAsciiPrint,
  kSetAsciiPunct,
  kSetAsciiSpace,
  kSetAsciiUpper,
  kSetAsciiXDigit,
  kSetAsciiWord,
};

enum ItemKind : uint8_t { kItemRange, kItemSet };

struct ClassItem {
  uint8_t kind;
  bool negated;    // sets only: the complement
  uint32_t first;  // the set of a set item
  uint32_t last;
};

// Ranges come first, sorted by start and without overlaps; named sets follow.
struct CharClass {
  uint8_t count;
  uint8_t ranges;
  bool negated;  // "[^": also excludes '\n'
  bool fold;     // compiled case-insensitively: the text's code point is folded first
  ClassItem items[kRegexMaxClassItems];
};

constexpr int32_t kHintNone = -1;
constexpr int32_t kHintLineStart = -2;

}  // namespace regex_detail

struct cRegexProgram_t {
  int32_t groups;
  int32_t flags;
  int32_t class_count;
  int32_t start;
  int32_t count;     // instructions used
  int32_t capacity;  // instructions allocated
  int32_t threads;   // consuming instructions: the most threads one list can hold
  int32_t hint;      // kHint... or an ASCII code point the first match must start with
  bool hint_fold;
  regex_detail::CharClass classes[kRegexMaxClasses];
};

namespace regex_detail {

inline Inst* Insts(cRegexProgram_t* program) { return reinterpret_cast<Inst*>(program + 1); }
inline const Inst* Insts(const cRegexProgram_t* program) { return reinterpret_cast<const Inst*>(program + 1); }
static_assert(sizeof(cRegexProgram_t) % alignof(Inst) == 0, "instructions follow the header");

}  // namespace regex_detail
