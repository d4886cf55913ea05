// The matcher: a Pike VM that runs every thread of a compiled program in step over the text,
// one code point at a time, keeping the leftmost-longest match; class tests live here too.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/regex.h"
#include "platform/regex_program.h"
#include "platform/utf8.h"

using namespace regex_detail;

namespace {

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

int regexMatch(cRegex_t* regex, const char* text, cRegexMatch_t* matches, int count, int flags) {
  return regexMatchBytes(regex, text, text == nullptr ? 0 : static_cast<int64_t>(std::strlen(text)), matches, count,
                         flags);
}

int regexMatchBytes(cRegex_t* regex, const char* text, int64_t length, cRegexMatch_t* matches, int count, int flags) {
  if (regex == nullptr) return kRegexMatchError;
  const cRegexProgram_t* program = regex->program;
  if (program == nullptr || text == nullptr || length < 0 || count < 0 || (count > 0 && matches == nullptr)) {
    return regex->result = kRegexMatchError;
  }
  const char* begin = text;
  const char* end = text + length;
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
