#pragma once
// cRegex_t: a small regular-expression engine over UTF-8 text. A pattern is compiled by
// operator precedence into a program of instructions; a text is searched with a Pike VM that
// runs every alternative in step, one code point at a time, so a search never backtracks and
// takes time linear in the text. Matching is leftmost-longest: of the matches that start
// first, the longest wins ("a|ab" on "ab" gives "ab"). '?' after '*', '+' or '?' is one more
// optional operator, not a lazy quantifier.
//
// Patterns and texts are arbitrary NUL-terminated bytes: a malformed UTF-8 sequence is the
// code point U+FFFD and one byte long, so captures of non-UTF-8 text keep its bytes.
//
// Syntax: literals; '.'; '^' '$' (text or line); '|'; '*' '+' '?'; '(' ')' capture groups;
// "(?is-is)" inline flags; '[' ']' classes with ranges, "[^", "[:name:]", "[:^name:]" and the
// class escapes; \A \z \Z \b \B \d \D \s \S \w \W \p{Name} \P{Name} \x{hex} \a \f \n \r \t
// \v; \Q...\E literal text; any other escaped character is literal.
#include <cstdint>

// Results of regexCompile and regexMatch.
constexpr int kRegexOk = 0;  // compiled / match found
constexpr int kRegexNoMatch = -1;
constexpr int kRegexMatchError = -2;      // out of memory, bad arguments, no program
constexpr int kRegexOutOfMemory = -3;     // while compiling
constexpr int kRegexUnmatchedOpen = -4;   // '(' without ')'
constexpr int kRegexUnmatchedClose = -5;  // ')' without '(', or "\x{" without '}'
constexpr int kRegexTooManyGroups = -6;   // more than kRegexMaxGroups
constexpr int kRegexTooManyClasses = -7;  // more than kRegexMaxClasses
constexpr int kRegexBadClass = -8;        // class ends with the pattern, range without end, bad name
constexpr int kRegexMissingOperand = -9;
constexpr int kRegexUnknownOperator = -10;  // also an unknown letter in "(?...)"
constexpr int kRegexOperandOverflow = -11;
constexpr int kRegexOperatorOverflow = -12;
constexpr int kRegexOperatorUnderflow = -13;

// Compile flags.
constexpr int kRegexDotAll = 1;      // '.' matches a newline too
constexpr int kRegexIgnoreCase = 2;  // literals and classes compare case-folded
// Search flags.
constexpr int kRegexFullMatch = 4;  // the match starts at a line start and ends at a line end
constexpr int kRegexNext = 8;       // search after the match in entry 0 (walks the matches)
constexpr int kRegexWithin = 16;    // search only inside the match in entry 0

// Capture groups besides the whole match: a thread carries at most 32 captures.
constexpr int kRegexMaxGroups = 31;
// Classes live in the program's fixed header: 16 of them with 32 items (ranges after merging,
// or named sets) each, so a class test is a short scan and the header's size is known.
constexpr int kRegexMaxClasses = 16;
constexpr int kRegexMaxClassItems = 32;
// Entries of each of the compiler's two fixed stacks (the operator stack holds the start
// entry too): deeper nesting is refused instead of growing memory or recursion.
constexpr int kRegexStackDepth = 20;

struct cRegexProgram_t;

/// A compiled expression and the last result. A zero-initialised cRegex_t has no program.
struct cRegex_t {
  cRegexProgram_t* program;
  int32_t result;
};

/// One capture: start in the text and length in bytes; null and 0 when the group did not take part.
struct cRegexMatch_t {
  const char* start;
  int64_t length;
};

/// Compiles the NUL-terminated pattern (kRegexDotAll, kRegexIgnoreCase; other bits ignored),
/// replacing any earlier program; stores and returns kRegexOk or a negative code, in which
/// case no program is left.
int regexCompile(cRegex_t* regex, const char* pattern, int flags);
/// Capture groups + 1 (the whole match), or 0 without a program.
int regexCaptureCount(const cRegex_t* regex);
/// Searches the NUL-terminated text and fills min(count, regexCaptureCount) entries of
/// `matches`; entry 0 is the whole match. kRegexOk, kRegexNoMatch (the entries unchanged) or
/// kRegexMatchError (no program, or entry 0 not inside the text for kRegexNext/kRegexWithin).
/// With kRegexNext a previous match in entry 0 (start not null) makes the search begin at its
/// end, one code point further when it was empty, so repeated calls always advance.
int regexMatch(cRegex_t* regex, const char* text, cRegexMatch_t* matches, int count, int flags);
/// regexMatch over the `length` bytes at `text`, which need not end in a NUL: a zero byte
/// inside is an ordinary character. A caller that walks a long text with kRegexNext uses this,
/// as regexMatch measures the whole remaining text on every call.
int regexMatchBytes(cRegex_t* regex, const char* text, int64_t length, cRegexMatch_t* matches, int count, int flags);
/// Frees the program; the regex may be compiled again.
void regexFree(cRegex_t* regex);
