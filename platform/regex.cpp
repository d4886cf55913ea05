#include "platform/regex.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/utf8.h"

namespace {

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

struct NamedSet {
  const char* name;
  uint32_t set;
};

// The names of \p{} and \P{}, tested in this order with their braces.
constexpr NamedSet kPropertyNames[] = {
    {"{Alpha}", kSetAlpha},
    {"{L&}", kSetCased},
    {"{Digit}", kSetDigit},
    {"{Nd}", kSetDigit},
    {"{Lower}", kSetLower},
    {"{Ll}", kSetLower},
    {"{Upper}", kSetUpper},
    {"{Lu}", kSetUpper},
    {"{Cntrl}", kSetCntrl},
    {"{Cc}", kSetCntrl},
    {"{Alnum}", kSetAlnum},
    {"{Blank}", kSetBlank},
    {"{Space}", kSetSpace},
    {"{Word}", kSetWord},
    {"{XDigit}", kSetXDigit},
    {"{Lt}", kSetLt},
    {"{Nl}", kSetNl},
    {"{Pc}", kSetPc},
    {"{Pd}", kSetPd},
    {"{Pf}", kSetPf},
    {"{Pi}", kSetPi},
    {"{Zl}", kSetZl},
    {"{Zp}", kSetZp},
    {"{Zs}", kSetZs},
    {"{Sc}", kSetSc},
    {"{Arabic}", kSetArabic},
    {"{Cyrillic}", kSetCyrillic},
    {"{Devanagari}", kSetDevanagari},
    {"{Greek}", kSetGreek},
    {"{Han}", kSetHan},
    {"{Latin}", kSetLatin},
};

constexpr NamedSet kPosixNames[] = {
    {"alnum", kSetAsciiAlnum},   {"alpha", kSetAsciiAlpha}, {"ascii", kSetAscii},      {"blank", kSetAsciiBlank},
    {"cntrl", kSetAsciiCntrl},   {"digit", kSetAsciiDigit}, {"graph", kSetAsciiGraph}, {"lower", kSetAsciiLower},
    {"print", kSetAsciiPrint},   {"punct", kSetAsciiPunct}, {"space", kSetAsciiSpace}, {"upper", kSetAsciiUpper},
    {"xdigit", kSetAsciiXDigit}, {"word", kSetAsciiWord},
};

struct GroupSet {
  uint32_t set;
  int group;
};

constexpr GroupSet kGroupSets[] = {
    {kSetLt, kUtf8GroupLt},
    {kSetNl, kUtf8GroupNl},
    {kSetPc, kUtf8GroupPc},
    {kSetPd, kUtf8GroupPd},
    {kSetPf, kUtf8GroupPf},
    {kSetPi, kUtf8GroupPi},
    {kSetZl, kUtf8GroupZl},
    {kSetZp, kUtf8GroupZp},
    {kSetZs, kUtf8GroupZs},
    {kSetSc, kUtf8GroupSc},
    {kSetArabic, kUtf8GroupArabic},
    {kSetCyrillic, kUtf8GroupCyrillic},
    {kSetDevanagari, kUtf8GroupDevanagari},
    {kSetGreek, kUtf8GroupGreek},
    {kSetHan, kUtf8GroupHan},
    {kSetLatin, kUtf8GroupLatin},
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

}  // namespace

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
  CharClass classes[kRegexMaxClasses];
};

namespace {

Inst* Insts(cRegexProgram_t* program) { return reinterpret_cast<Inst*>(program + 1); }
const Inst* Insts(const cRegexProgram_t* program) { return reinterpret_cast<const Inst*>(program + 1); }
static_assert(sizeof(cRegexProgram_t) % alignof(Inst) == 0, "instructions follow the header");

bool IsAsciiAlpha(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(uint32_t c) { return c >= '0' && c <= '9'; }
bool IsAsciiAlnum(uint32_t c) { return IsAsciiAlpha(c) || IsAsciiDigit(c); }
bool IsAsciiSpace(uint32_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsAsciiXDigit(uint32_t c) { return IsAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsAsciiGraph(uint32_t c) { return c >= 0x21 && c <= 0x7E; }

bool InSet(uint32_t set, uint32_t c) {
  switch (set) {
    case kSetAlpha:
      return utf8IsAlpha(c);
    case kSetCased:
      return utf8IsCased(c);
    case kSetDigit:
      return utf8IsGroup(kUtf8GroupNd, c);
    case kSetLower:
      return utf8ToUpper(c) != c;
    case kSetUpper:
      return utf8ToLower(c) != c;
    case kSetCntrl:
      return utf8IsGroup(kUtf8GroupCc, c);
    case kSetAlnum:
      return c < 0x80 ? IsAsciiAlnum(c) : utf8IsAlpha(c) || utf8IsGroup(kUtf8GroupNd, c);
    case kSetBlank:
      return c < 0x80 ? c == ' ' || c == '\t' : utf8IsGroup(kUtf8GroupZs, c);
    case kSetSpace:
      return c < 0x80 ? IsAsciiSpace(c) : c == 0x2028 || c == 0x2029 || utf8IsGroup(kUtf8GroupZs, c);
    case kSetWord:
      return utf8IsWord(c);
    case kSetXDigit:
      return IsAsciiXDigit(c);
    case kSetAsciiAlnum:
      return IsAsciiAlnum(c);
    case kSetAsciiAlpha:
      return IsAsciiAlpha(c);
    case kSetAscii:
      return c < 0x80;
    case kSetAsciiBlank:
      return c == ' ' || c == '\t';
    case kSetAsciiCntrl:
      return c < 0x20 || c == 0x7F;
    case kSetAsciiDigit:
      return IsAsciiDigit(c);
    case kSetAsciiGraph:
      return IsAsciiGraph(c);
    case kSetAsciiLower:
      return c >= 'a' && c <= 'z';
    case kSetAsciiPrint:
      return c >= 0x20 && c <= 0x7E;
    case kSetAsciiPunct:
      return IsAsciiGraph(c) && !IsAsciiAlnum(c);
    case kSetAsciiSpace:
      return IsAsciiSpace(c);
    case kSetAsciiUpper:
      return c >= 'A' && c <= 'Z';
    case kSetAsciiXDigit:
      return IsAsciiXDigit(c);
    case kSetAsciiWord:
      return IsAsciiAlnum(c) || c == '_';
    default:
      for (const GroupSet& g : kGroupSets) {
        if (g.set == set) return utf8IsGroup(g.group, c);
      }
      return false;
  }
}

bool ClassAccepts(const CharClass& cls, uint32_t c) {
  const uint32_t tested = cls.fold ? utf8Casefold(c) : c;
  bool in = false;
  for (int i = 0; i < cls.ranges && !in; ++i) {
    if (tested < cls.items[i].first) break;  // sorted: no later range holds it
    in = tested <= cls.items[i].last;
  }
  for (int i = cls.ranges; i < cls.count && !in; ++i) in = InSet(cls.items[i].first, tested) != cls.items[i].negated;
  return cls.negated ? !in && c != '\n' : in;
}

// ---------------------------------------------------------------------------------------
// Compiler: operands (fragments whose last instruction has an open `next`) and operators go
// to two stacks; an operator is reduced when one of no higher precedence follows it.

struct Fragment {
  int32_t start;
  int32_t end;  // its `next` is patched by whatever follows the fragment
};

enum OperatorKind : uint8_t { kOperatorStart, kOperatorOpen, kOperatorAlternate, kOperatorConcat };

struct Operator {
  uint8_t kind;
  int32_t group;
};

struct Compiler {
  const char* p;
  cRegexProgram_t* program;
  Fragment operands[kRegexStackDepth];
  int operand_count;
  Operator operators[kRegexStackDepth];
  int operator_count;
  bool fold;
  bool dot_all;
  bool have_operand;  // the last token left an operand, so an operand after it concatenates
  bool quoted;        // inside \Q...\E
  bool ended;         // a trailing '\' or \x{0} ended the pattern early
  int error;
};

int Precedence(uint8_t kind) { return kind == kOperatorConcat ? 2 : kind == kOperatorAlternate ? 1 : 0; }

int32_t Emit(Compiler* c, uint8_t op, int32_t arg) {
  cRegexProgram_t* program = c->program;
  if (program->count >= program->capacity) {  // the budget of 6 per pattern byte is never reached
    c->error = kRegexOutOfMemory;
    return kNoInst;
  }
  Insts(program)[program->count] = {op, arg, kNoInst};
  return program->count++;
}

void Patch(Compiler* c, int32_t at, int32_t next) { Insts(c->program)[at].next = next; }

void Reduce(Compiler* c) {
  if (c->operator_count == 0) {
    c->error = kRegexOperatorUnderflow;
    return;
  }
  const Operator op = c->operators[--c->operator_count];
  if (c->operand_count < 2) {
    c->error = kRegexMissingOperand;
    return;
  }
  const Fragment b = c->operands[--c->operand_count];
  const Fragment a = c->operands[c->operand_count - 1];
  Fragment& result = c->operands[c->operand_count - 1];
  if (op.kind == kOperatorConcat) {
    Patch(c, a.end, b.start);
    result = {a.start, b.end};
    return;
  }
  const int32_t split = Emit(c, kOpSplit, b.start);
  const int32_t join = Emit(c, kOpNop, 0);
  if (c->error != 0) return;
  Patch(c, split, a.start);
  Patch(c, a.end, join);
  Patch(c, b.end, join);
  result = {split, join};
}

bool TopIsBinary(const Compiler* c) {
  if (c->operator_count == 0) return false;
  const uint8_t kind = c->operators[c->operator_count - 1].kind;
  return kind == kOperatorAlternate || kind == kOperatorConcat;
}

void PushOperator(Compiler* c, uint8_t kind, int32_t group) {
  const bool binary = kind == kOperatorAlternate || kind == kOperatorConcat;
  while (binary && c->error == 0 && TopIsBinary(c) &&
         Precedence(c->operators[c->operator_count - 1].kind) >= Precedence(kind)) {
    Reduce(c);
  }
  if (c->error != 0) return;
  if (c->operator_count == kRegexStackDepth) {
    c->error = kRegexOperatorOverflow;
    return;
  }
  c->operators[c->operator_count++] = {kind, group};
}

void PushOperand(Compiler* c, int32_t start, int32_t end) {
  if (c->error != 0) return;
  if (c->have_operand) PushOperator(c, kOperatorConcat, 0);
  if (c->error != 0) return;
  if (c->operand_count == kRegexStackDepth) {
    c->error = kRegexOperandOverflow;
    return;
  }
  c->operands[c->operand_count++] = {start, end};
  c->have_operand = true;
}

void PushSingle(Compiler* c, uint8_t op, int32_t arg) {
  const int32_t at = Emit(c, op, arg);
  PushOperand(c, at, at);
}

void PushLiteral(Compiler* c, uint32_t code_point) {
  if (c->fold) {
    PushSingle(c, kOpCharFold, static_cast<int32_t>(utf8Casefold(code_point)));
  } else {
    PushSingle(c, kOpChar, static_cast<int32_t>(code_point));
  }
}

void ApplyPostfix(Compiler* c, uint32_t op) {
  if (!c->have_operand) {
    c->error = kRegexMissingOperand;
    return;
  }
  Fragment& f = c->operands[c->operand_count - 1];
  const int32_t split = Emit(c, kOpSplit, 0);
  const int32_t exit = Emit(c, kOpNop, 0);
  if (c->error != 0) return;
  Insts(c->program)[split].arg = exit;
  Patch(c, split, f.start);
  if (op == '*') {
    Patch(c, f.end, split);
    f = {split, exit};
  } else if (op == '+') {
    Patch(c, f.end, split);
    f = {f.start, exit};
  } else {
    Patch(c, f.end, exit);
    f = {split, exit};
  }
}

bool HasOpenGroup(const Compiler* c) {
  for (int i = c->operator_count; i > 0; --i) {
    if (c->operators[i - 1].kind == kOperatorOpen) return true;
  }
  return false;
}

void CloseGroup(Compiler* c) {
  if (!HasOpenGroup(c)) {
    c->error = kRegexUnmatchedClose;
    return;
  }
  if (!c->have_operand) {
    c->error = kRegexMissingOperand;
    return;
  }
  while (c->error == 0 && TopIsBinary(c)) Reduce(c);
  if (c->error != 0) return;
  const int32_t group = c->operators[--c->operator_count].group;
  Fragment& f = c->operands[c->operand_count - 1];
  const int32_t open = Emit(c, kOpSave, 2 * group);
  const int32_t close = Emit(c, kOpSave, 2 * group + 1);
  if (c->error != 0) return;
  Patch(c, open, f.start);
  Patch(c, f.end, close);
  f = {open, close};
}

// "(?" letters ")": the flags hold from here on; the group is no operand.
void InlineFlags(Compiler* c) {
  bool on = true;
  for (;;) {
    const char letter = *c->p;
    if (letter == '\0') return;  // a flag group that reaches the end ends the pattern
    ++c->p;
    if (letter == ')') return;
    if (letter == '-') {
      on = false;
    } else if (letter == 'i') {
      c->fold = on;
    } else if (letter == 's') {
      c->dot_all = on;
    } else {
      c->error = kRegexUnknownOperator;
      return;
    }
  }
}

uint32_t Decode(Compiler* c) {
  uint32_t code_point = 0;
  c->p += utf8DecodeNext(c->p, &code_point);
  return code_point;
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// After "\x{": the hex digits and '}'. 0 ends the pattern (the caller sees the terminator).
uint32_t HexEscape(Compiler* c) {
  uint32_t value = 0;
  const char* q = c->p;
  for (int digit; (digit = HexValue(*q)) >= 0; ++q) {
    value = value > 0x10FFFF ? value : value * 16 + static_cast<uint32_t>(digit);  // past Unicode nothing matches
  }
  if (*q != '}') {
    c->error = kRegexUnmatchedClose;
    return 0;
  }
  c->p = q + 1;
  return value;
}

uint32_t ControlEscape(uint32_t letter) {
  switch (letter) {
    case 'a':
      return 7;
    case 'f':
      return 12;
    case 'n':
      return 10;
    case 'r':
      return 13;
    case 't':
      return 9;
    case 'v':
      return 11;
    default:
      return 0;
  }
}

uint32_t FoldSet(const Compiler* c, uint32_t set) {
  if (!c->fold) return set;
  if (set == kSetLower || set == kSetUpper) return kSetCased;
  if (set == kSetAsciiLower || set == kSetAsciiUpper) return kSetAsciiAlpha;
  return set;
}

void AddSet(Compiler* c, CharClass* cls, uint32_t set, bool negated) {
  if (cls->count == kRegexMaxClassItems) {
    c->error = kRegexBadClass;
    return;
  }
  cls->items[cls->count++] = {kItemSet, negated, FoldSet(c, set), 0};
}

void AddRange(Compiler* c, CharClass* cls, uint32_t first, uint32_t last) {
  if (cls->fold) {
    first = utf8Casefold(first);
    last = utf8Casefold(last);
  }
  if (first > last) {
    const uint32_t swap = first;
    first = last;
    last = swap;
  }
  // Merge every overlapping range into the new one (adjacent ranges stay separate).
  for (int i = 0; i < cls->ranges;) {
    ClassItem& item = cls->items[i];
    if (item.first > last || first > item.last) {
      ++i;
      continue;
    }
    first = item.first < first ? item.first : first;
    last = item.last > last ? item.last : last;
    std::memmove(&cls->items[i], &cls->items[i + 1], sizeof(ClassItem) * static_cast<size_t>(cls->count - i - 1));
    --cls->count;
    --cls->ranges;
  }
  if (cls->count == kRegexMaxClassItems) {
    c->error = kRegexBadClass;
    return;
  }
  int at = 0;
  while (at < cls->ranges && cls->items[at].first < first) ++at;
  std::memmove(&cls->items[at + 1], &cls->items[at], sizeof(ClassItem) * static_cast<size_t>(cls->count - at));
  cls->items[at] = {kItemRange, false, first, last};
  ++cls->count;
  ++cls->ranges;
}

// After "\p" or "\P": the name with its braces.
bool PropertySet(Compiler* c, uint32_t* set) {
  for (const NamedSet& named : kPropertyNames) {
    const size_t length = std::strlen(named.name);
    if (std::strncmp(c->p, named.name, length) == 0) {
      c->p += length;
      *set = named.set;
      return true;
    }
  }
  c->error = kRegexBadClass;
  return false;
}

// The set of a class escape letter (\d \D \s \S \w \W \p \P); false for another letter.
bool EscapeSet(Compiler* c, uint32_t letter, uint32_t* set, bool* negated) {
  switch (letter) {
    case 'd':
    case 'D':
      *set = kSetDigit;
      break;
    case 's':
    case 'S':
      *set = kSetSpace;
      break;
    case 'w':
    case 'W':
      *set = kSetWord;
      break;
    case 'p':
    case 'P':
      if (!PropertySet(c, set)) return true;
      break;
    default:
      return false;
  }
  *negated = letter == 'D' || letter == 'S' || letter == 'W' || letter == 'P';
  return true;
}

int32_t NewClass(Compiler* c) {
  cRegexProgram_t* program = c->program;
  if (program->class_count == kRegexMaxClasses) {
    c->error = kRegexTooManyClasses;
    return -1;
  }
  CharClass* cls = &program->classes[program->class_count];
  std::memset(cls, 0, sizeof *cls);
  cls->fold = c->fold;
  return program->class_count++;
}

// "[:name:]" or "[:^name:]" after '['; false (nothing consumed) when the text has not that form.
bool PosixClass(Compiler* c, CharClass* cls) {
  const char* q = c->p + 1;  // after ':'
  const bool negated = *q == '^';
  if (negated) ++q;
  const char* name = q;
  while (*q >= 'a' && *q <= 'z') ++q;
  if (q == name || q[0] != ':' || q[1] != ']') return false;
  const size_t length = static_cast<size_t>(q - name);
  for (const NamedSet& named : kPosixNames) {
    if (std::strlen(named.name) == length && std::strncmp(name, named.name, length) == 0) {
      c->p = q + 2;
      AddSet(c, cls, named.set, negated);
      return true;
    }
  }
  c->error = kRegexBadClass;
  return true;
}

// One character of a class after '\' (single-character escapes); false when the escape is a set.
bool ClassEscapeChar(Compiler* c, uint32_t letter, uint32_t* code_point) {
  if (letter == 'x' && *c->p == '{') {
    ++c->p;
    *code_point = HexEscape(c);
    if (c->error == 0 && *code_point == 0) c->error = kRegexBadClass;  // \x{0} ends the pattern inside the class
    return true;
  }
  const uint32_t control = ControlEscape(letter);
  *code_point = control != 0 ? control : letter;
  return true;
}

// After '['.
void ParseClass(Compiler* c) {
  const int32_t index = NewClass(c);
  if (c->error != 0) return;
  CharClass* cls = &c->program->classes[index];
  if (*c->p == '^') {
    cls->negated = true;
    ++c->p;
  }
  while (c->error == 0) {
    uint32_t first = Decode(c);
    if (first == 0) {
      c->error = kRegexBadClass;
      return;
    }
    if (first == ']') break;
    if (first == '[' && *c->p == ':' && PosixClass(c, cls)) continue;
    if (first == '\\') {
      const uint32_t letter = Decode(c);
      uint32_t set = 0;
      bool negated = false;
      if (letter == 0) {
        c->error = kRegexBadClass;
      } else if (EscapeSet(c, letter, &set, &negated)) {
        if (c->error == 0) AddSet(c, cls, set, negated);
        continue;
      } else {
        ClassEscapeChar(c, letter, &first);
      }
      if (c->error != 0) return;
    }
    uint32_t last = first;
    if (c->p[0] == '-' && c->p[1] != ']') {
      ++c->p;
      last = Decode(c);
      if (last == 0) {
        c->error = kRegexBadClass;
        return;
      }
      if (last == '\\') {
        const uint32_t letter = Decode(c);
        uint32_t set = 0;
        bool negated = false;
        if (letter == 0 || EscapeSet(c, letter, &set, &negated)) {  // a range ends in one character
          c->error = kRegexBadClass;
          return;
        }
        ClassEscapeChar(c, letter, &last);
        if (c->error != 0) return;
      }
    }
    AddRange(c, cls, first, last);
  }
  if (c->error == 0) PushSingle(c, kOpClass, index);
}

void PushSetClass(Compiler* c, uint32_t set, bool negated) {
  const int32_t index = NewClass(c);
  if (c->error != 0) return;
  AddSet(c, &c->program->classes[index], set, negated);
  PushSingle(c, kOpClass, index);
}

// After '\' outside a class; false when the pattern ends here.
bool ParseEscape(Compiler* c) {
  const uint32_t letter = Decode(c);
  uint32_t set = 0;
  bool negated = false;
  switch (letter) {
    case 0:
      return false;  // a trailing '\' ends the pattern
    case 'A':
      PushSingle(c, kOpTextStart, 0);
      return true;
    case 'z':
      PushSingle(c, kOpTextEnd, 0);
      return true;
    case 'Z':
      PushSingle(c, kOpTextEndNewline, 0);
      return true;
    case 'b':
      PushSingle(c, kOpWordBoundary, 0);
      return true;
    case 'B':
      PushSingle(c, kOpNotWordBoundary, 0);
      return true;
    case 'Q':
      c->quoted = true;
      return true;
    default:
      break;
  }
  if (EscapeSet(c, letter, &set, &negated)) {
    if (c->error == 0) PushSetClass(c, set, negated);
    return true;
  }
  if (letter == 'x' && *c->p == '{') {
    ++c->p;
    const uint32_t code_point = HexEscape(c);
    if (c->error != 0 || code_point == 0) return false;  // \x{0} ends the pattern
    PushLiteral(c, code_point);
    return true;
  }
  const uint32_t control = ControlEscape(letter);
  PushLiteral(c, control != 0 ? control : letter);
  return true;
}

void ParsePattern(Compiler* c) {
  c->operators[c->operator_count++] = {kOperatorStart, 0};
  while (c->error == 0 && !c->ended) {
    const uint32_t code_point = Decode(c);
    if (code_point == 0) break;
    if (c->quoted) {
      if (code_point == '\\' && *c->p == 'E') {
        ++c->p;
        c->quoted = false;
      } else {
        PushLiteral(c, code_point);
      }
      continue;
    }
    switch (code_point) {
      case '(':
        if (*c->p == '?') {
          ++c->p;
          InlineFlags(c);
          break;
        }
        if (c->program->groups == kRegexMaxGroups) {
          c->error = kRegexTooManyGroups;
          break;
        }
        if (c->have_operand) PushOperator(c, kOperatorConcat, 0);
        PushOperator(c, kOperatorOpen, ++c->program->groups);
        c->have_operand = false;
        break;
      case ')':
        CloseGroup(c);
        break;
      case '|':
        if (!c->have_operand) {
          c->error = kRegexMissingOperand;
          break;
        }
        PushOperator(c, kOperatorAlternate, 0);
        c->have_operand = false;
        break;
      case '*':
      case '+':
      case '?':
        ApplyPostfix(c, code_point);
        break;
      case '.':
        PushSingle(c, c->dot_all ? kOpAnyNewline : kOpAny, 0);
        break;
      case '^':
        PushSingle(c, kOpLineStart, 0);
        break;
      case '$':
        PushSingle(c, kOpLineEnd, 0);
        break;
      case '[':
        ParseClass(c);
        break;
      case '\\':
        c->ended = !ParseEscape(c);
        break;
      default:
        PushLiteral(c, code_point);
        break;
    }
  }
  if (c->error != 0) return;
  if (HasOpenGroup(c)) {
    c->error = kRegexUnmatchedOpen;
    return;
  }
  if (!c->have_operand) {
    c->error = kRegexMissingOperand;
    return;
  }
  while (c->error == 0 && TopIsBinary(c)) Reduce(c);
  if (c->error != 0) return;
  const int32_t match = Emit(c, kOpMatch, 0);
  if (c->error != 0) return;
  Patch(c, c->operands[0].end, match);
  c->program->start = c->operands[0].start;
}

// Skips chains of no-operation instructions; they never form a cycle, the bound is a guard.
int32_t Resolve(const cRegexProgram_t* program, int32_t at) {
  const Inst* insts = Insts(program);
  for (int32_t steps = 0; at >= 0 && insts[at].op == kOpNop && steps < program->count; ++steps) at = insts[at].next;
  return at;
}

void Finish(cRegexProgram_t* program) {
  Inst* insts = Insts(program);
  program->threads = 0;
  for (int32_t i = 0; i < program->count; ++i) {
    Inst& inst = insts[i];
    if (inst.op != kOpMatch) inst.next = Resolve(program, inst.next);
    if (inst.op == kOpSplit) inst.arg = Resolve(program, inst.arg);
    if (inst.op == kOpChar || inst.op == kOpCharFold || inst.op == kOpAny || inst.op == kOpAnyNewline ||
        inst.op == kOpClass) {
      ++program->threads;
    }
  }
  program->start = Resolve(program, program->start);
  const Inst& first = insts[program->start];
  program->hint = kHintNone;
  if ((first.op == kOpChar || first.op == kOpCharFold) && first.arg < 0x80) {
    program->hint = first.arg;
    program->hint_fold = first.op == kOpCharFold;
  } else if (first.op == kOpLineStart) {
    program->hint = kHintLineStart;
  }
}

// ---------------------------------------------------------------------------------------
// Search.

struct StackEntry {
  int32_t pc;  // kNoInst: restore `slot` to `value`
  int32_t slot;
  const char* value;
};

struct ThreadList {
  int32_t count;
  int32_t* pcs;
  const char** slots;  // `slot_count` per thread
};

struct Vm {
  const cRegexProgram_t* program;
  const Inst* insts;
  const char* text;
  const char* end;
  int flags;
  int slot_count;
  uint64_t* marks;  // generation of the list that holds an instruction
  uint64_t generation;
  StackEntry* stack;
  const char** scratch;
  const char** best;
  bool found;
};

bool IsWordAt(const Vm* vm, const char* at) {
  uint32_t code_point = 0;
  utf8DecodeNextBounded(at, vm->end, &code_point);
  return utf8IsWord(code_point);
}

// The code point that forward decoding ends at `pos`. A sequence is at most 4 bytes, so the
// look-back stays constant even over a run of stray continuation bytes (which decode alone).
uint32_t CodePointBefore(const Vm* vm, const char* pos) {
  for (int back = 1; back <= 4 && pos - back >= vm->text; ++back) {
    const auto byte = static_cast<unsigned char>(pos[-back]);
    if ((byte & 0xC0) == 0x80) continue;
    uint32_t code_point = 0;
    const int length = utf8DecodeNextBounded(pos - back, pos, &code_point);
    return length == back ? code_point : kUtf8Replacement;
  }
  return kUtf8Replacement;
}

bool WordBoundary(const Vm* vm, const char* pos) {
  if (pos == vm->text || pos >= vm->end) return true;
  return utf8IsWord(CodePointBefore(vm, pos)) != IsWordAt(vm, pos);
}

bool AssertionHolds(const Vm* vm, uint8_t op, const char* pos) {
  switch (op) {
    case kOpLineStart:
      return pos == vm->text || pos[-1] == '\n';
    case kOpLineEnd:
      return pos >= vm->end || *pos == '\n';
    case kOpTextStart:
      return pos == vm->text;
    case kOpTextEnd:
      return pos >= vm->end;
    case kOpTextEndNewline:
      return pos >= vm->end || (pos + 1 == vm->end && *pos == '\n');
    case kOpWordBoundary:
      return WordBoundary(vm, pos);
    default:
      return !WordBoundary(vm, pos);
  }
}

void RecordMatch(Vm* vm, const char* pos) {
  const char* start = vm->scratch[0];
  if ((vm->flags & kRegexFullMatch) != 0) {
    if (!(start == vm->text || start[-1] == '\n') || !(pos >= vm->end || *pos == '\n')) return;
  }
  if (vm->found && !(start < vm->best[0] || (start == vm->best[0] && pos > vm->best[1]))) return;
  std::memcpy(vm->best, vm->scratch, sizeof(const char*) * static_cast<size_t>(vm->slot_count));
  vm->best[1] = pos;
  vm->found = true;
}

// Follows the zero-width instructions from `pc` depth first, first branches first, and puts
// every consuming instruction reached on the list. An instruction already in the list ends
// the path: threads come in order of their start, so the one kept started first.
void AddThread(Vm* vm, ThreadList* list, int32_t pc, const char* pos, const char* const* slots) {
  if (slots != nullptr) {
    std::memcpy(vm->scratch, slots, sizeof(const char*) * static_cast<size_t>(vm->slot_count));
  } else {
    for (int i = 0; i < vm->slot_count; ++i) vm->scratch[i] = nullptr;
    vm->scratch[0] = pos;
  }
  // Each instruction is entered once per list and pushes at most one entry, so the stack
  // never holds more than the instruction count plus the first entry.
  int depth = 0;
  vm->stack[depth++] = {pc, 0, nullptr};
  while (depth > 0) {
    const StackEntry entry = vm->stack[--depth];
    if (entry.pc == kNoInst) {
      vm->scratch[entry.slot] = entry.value;
      continue;
    }
    for (int32_t at = entry.pc; at >= 0 && vm->marks[at] != vm->generation;) {
      vm->marks[at] = vm->generation;
      const Inst& inst = vm->insts[at];
      switch (inst.op) {
        case kOpSplit:
          vm->stack[depth++] = {inst.arg, 0, nullptr};
          at = inst.next;
          continue;
        case kOpSave:
          if (inst.arg < vm->slot_count) {
            vm->stack[depth++] = {kNoInst, inst.arg, vm->scratch[inst.arg]};
            vm->scratch[inst.arg] = pos;
          }
          at = inst.next;
          continue;
        case kOpNop:
          at = inst.next;
          continue;
        case kOpMatch:
          RecordMatch(vm, pos);
          break;
        case kOpChar:
        case kOpCharFold:
        case kOpAny:
        case kOpAnyNewline:
        case kOpClass: {
          const int32_t n = list->count++;
          list->pcs[n] = at;
          std::memcpy(&list->slots[static_cast<size_t>(n) * static_cast<size_t>(vm->slot_count)], vm->scratch,
                      sizeof(const char*) * static_cast<size_t>(vm->slot_count));
          break;
        }
        default:
          if (AssertionHolds(vm, inst.op, pos)) {
            at = inst.next;
            continue;
          }
          break;
      }
      break;
    }
  }
}

bool Accepts(const cRegexProgram_t* program, const Inst& inst, uint32_t code_point) {
  switch (inst.op) {
    case kOpChar:
      return code_point == static_cast<uint32_t>(inst.arg);
    case kOpCharFold:
      return utf8Casefold(code_point) == static_cast<uint32_t>(inst.arg);
    case kOpAny:
      return code_point != '\n';
    case kOpAnyNewline:
      return true;
    default:
      return ClassAccepts(program->classes[inst.arg], code_point);
  }
}

// The next position at or after `pos` where a match can start, or null. Skipping there
// saves starting a thread at every position of a text that mostly cannot match.
const char* SkipToHint(const Vm* vm, const char* pos) {
  const int32_t hint = vm->program->hint;
  const size_t left = static_cast<size_t>(vm->end - pos);
  if (hint == kHintLineStart) {
    if (pos == vm->text || pos[-1] == '\n') return pos;
    const void* newline = std::memchr(pos, '\n', left);
    return newline == nullptr ? nullptr : static_cast<const char*>(newline) + 1;
  }
  if (!vm->program->hint_fold) return static_cast<const char*>(std::memchr(pos, hint, left));
  // Folded: the other ASCII case, and any non-ASCII code point (some fold to ASCII letters).
  const char other = static_cast<char>(hint >= 'a' && hint <= 'z' ? hint - 0x20 : hint);
  for (const char* at = pos; at < vm->end; ++at) {
    if (*at == hint || *at == other || static_cast<unsigned char>(*at) >= 0x80) return at;
  }
  return nullptr;
}

void Run(Vm* vm, ThreadList* lists, const char* begin) {
  ThreadList* current = &lists[0];
  ThreadList* next = &lists[1];
  current->count = 0;
  vm->generation = 1;
  const char* pos = begin;
  for (;;) {
    if (!vm->found) {
      if (current->count == 0 && vm->program->hint != kHintNone) {
        const char* hint = SkipToHint(vm, pos);
        if (hint == nullptr) break;
        if (hint != pos) ++vm->generation;  // marks of the empty list belong to the old position
        pos = hint;
      }
      AddThread(vm, current, vm->program->start, pos, nullptr);
    }
    if (current->count == 0 && vm->found) break;
    if (pos >= vm->end) break;
    uint32_t code_point = 0;
    const int length = utf8DecodeNextBounded(pos, vm->end, &code_point);
    ++vm->generation;
    next->count = 0;
    for (int32_t i = 0; i < current->count; ++i) {
      const char* const* slots = &current->slots[static_cast<size_t>(i) * static_cast<size_t>(vm->slot_count)];
      if (vm->found && slots[0] > vm->best[0]) continue;  // starts after the match: can never win
      const Inst& inst = vm->insts[current->pcs[i]];
      if (Accepts(vm->program, inst, code_point)) AddThread(vm, next, inst.next, pos + length, slots);
    }
    ThreadList* swap = current;
    current = next;
    next = swap;
    pos += length;
  }
}

bool InsideText(const char* text, const char* end, const cRegexMatch_t& match) {
  const auto t = reinterpret_cast<uintptr_t>(text);
  const auto e = reinterpret_cast<uintptr_t>(end);
  const auto s = reinterpret_cast<uintptr_t>(match.start);
  return s >= t && s <= e && match.length >= 0 && static_cast<uint64_t>(match.length) <= e - s;
}

// Working memory of the front end's patterns (under 9 KiB) fits here, so their searches
// allocate nothing.
constexpr size_t kLocalArena = 12288;

size_t AlignUp(size_t n) { return (n + 7) & ~size_t{7}; }

}  // namespace

int regexCompile(cRegex_t* regex, const char* pattern, int flags) {
  if (regex == nullptr) return kRegexMatchError;
  regexFree(regex);
  if (pattern == nullptr) return regex->result = kRegexMissingOperand;
  const size_t length = std::strlen(pattern);
  // 6 instructions per pattern byte and 5 more bound what the compiler can emit; the limit
  // keeps that count in 32 bits.
  if (length > (INT32_MAX - 5) / 6) return regex->result = kRegexOutOfMemory;
  const int32_t capacity = static_cast<int32_t>(6 * length + 5);
  const size_t bytes = sizeof(cRegexProgram_t) + sizeof(Inst) * static_cast<size_t>(capacity);
  auto* program = static_cast<cRegexProgram_t*>(std::calloc(1, bytes));
  if (program == nullptr) return regex->result = kRegexOutOfMemory;
  program->capacity = capacity;
  program->flags = flags & (kRegexDotAll | kRegexIgnoreCase);

  Compiler c{};
  c.p = pattern;
  c.program = program;
  c.fold = (flags & kRegexIgnoreCase) != 0;
  c.dot_all = (flags & kRegexDotAll) != 0;
  ParsePattern(&c);
  if (c.error != 0) {
    std::free(program);
    return regex->result = c.error;
  }
  Finish(program);
  if (program->count <= capacity / 2) {
    const size_t used = sizeof(cRegexProgram_t) + sizeof(Inst) * static_cast<size_t>(program->count);
    if (void* smaller = std::realloc(program, used)) {
      program = static_cast<cRegexProgram_t*>(smaller);
      program->capacity = program->count;
    }
  }
  regex->program = program;
  return regex->result = kRegexOk;
}

int regexCaptureCount(const cRegex_t* regex) {
  return regex == nullptr || regex->program == nullptr ? 0 : regex->program->groups + 1;
}

int regexMatch(cRegex_t* regex, const char* text, cRegexMatch_t* matches, int count, int flags) {
  if (regex == nullptr) return kRegexMatchError;
  const cRegexProgram_t* program = regex->program;
  if (program == nullptr || text == nullptr || count < 0 || (count > 0 && matches == nullptr)) {
    return regex->result = kRegexMatchError;
  }
  const char* begin = text;
  const char* end = text + std::strlen(text);
  const bool previous = count > 0 && matches[0].start != nullptr;
  if ((flags & kRegexWithin) != 0 && previous && matches[0].length > 0) {
    if (!InsideText(text, end, matches[0])) return regex->result = kRegexMatchError;
    begin = matches[0].start;
    end = begin + matches[0].length;
  } else if ((flags & kRegexNext) != 0 && previous) {
    if (!InsideText(text, end, matches[0])) return regex->result = kRegexMatchError;
    begin = matches[0].start + matches[0].length;
    if (matches[0].length == 0) {  // after an empty match the walk must still advance
      if (begin == end) return regex->result = kRegexNoMatch;
      uint32_t ignored = 0;
      begin += utf8DecodeNextBounded(begin, end, &ignored);
    }
  }

  const int wanted = count < program->groups + 1 ? count : program->groups + 1;
  const int slot_count = 2 * (wanted < 1 ? 1 : wanted);
  const size_t threads = static_cast<size_t>(program->threads < 1 ? 1 : program->threads);
  const size_t insts = static_cast<size_t>(program->count);
  const size_t slot_bytes = sizeof(const char*) * static_cast<size_t>(slot_count);
  // Lists hold each instruction at most once, so the consuming instructions bound their size.
  const size_t list_slots = AlignUp(threads * slot_bytes);
  const size_t marks = AlignUp(sizeof(uint64_t) * insts);
  const size_t stack = AlignUp(sizeof(StackEntry) * (insts + 1));
  const size_t pcs = AlignUp(sizeof(int32_t) * threads);
  const size_t total = 2 * list_slots + 2 * slot_bytes + marks + stack + 2 * pcs;
  alignas(8) unsigned char local[kLocalArena];
  unsigned char* arena = local;
  if (total > sizeof local) {
    arena = static_cast<unsigned char*>(std::malloc(total));
    if (arena == nullptr) return regex->result = kRegexMatchError;
  }
  unsigned char* at = arena;
  auto take = [&at](size_t n) {
    unsigned char* p = at;
    at += n;
    return p;
  };
  ThreadList lists[2];
  lists[0].slots = reinterpret_cast<const char**>(take(list_slots));
  lists[1].slots = reinterpret_cast<const char**>(take(list_slots));
  Vm vm{};
  vm.program = program;
  vm.insts = Insts(program);
  vm.text = text;
  vm.end = end;
  vm.flags = flags;
  vm.slot_count = slot_count;
  vm.scratch = reinterpret_cast<const char**>(take(slot_bytes));
  vm.best = reinterpret_cast<const char**>(take(slot_bytes));
  vm.marks = reinterpret_cast<uint64_t*>(take(marks));
  vm.stack = reinterpret_cast<StackEntry*>(take(stack));
  lists[0].pcs = reinterpret_cast<int32_t*>(take(pcs));
  lists[1].pcs = reinterpret_cast<int32_t*>(take(pcs));
  std::memset(vm.marks, 0, sizeof(uint64_t) * insts);

  Run(&vm, lists, begin);

  if (vm.found) {
    for (int i = 0; i < wanted; ++i) {
      const char* start = vm.best[2 * i];
      const char* stop = vm.best[2 * i + 1];
      matches[i] = start != nullptr && stop != nullptr && stop >= start ? cRegexMatch_t{start, stop - start}
                                                                        : cRegexMatch_t{nullptr, 0};
    }
  }
  if (arena != local) std::free(arena);
  return regex->result = vm.found ? kRegexOk : kRegexNoMatch;
}

void regexFree(cRegex_t* regex) {
  if (regex == nullptr) return;
  std::free(regex->program);
  regex->program = nullptr;
}
