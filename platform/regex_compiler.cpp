// The pattern compiler: reads the pattern code point by code point, keeps operands and
// operators on two fixed stacks and reduces them by precedence into the program that the
// matcher runs (regex_program.h).
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/regex.h"
#include "platform/regex_program.h"
#include "platform/utf8.h"

using namespace regex_detail;

namespace {

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

void regexFree(cRegex_t* regex) {
  if (regex == nullptr) return;
  std::free(regex->program);
  regex->program = nullptr;
}
