#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/regex.h"

namespace {

// The front end's two patterns.
const char* const kDemuxPattern =
    "^muxtp-can(\\d+)=([a-fA-F\\d][a-fA-F\\d][a-fA-F\\d]|[a-fA-F\\d][a-fA-F\\d][a-fA-F\\d][a-fA-F\\d][a-fA-F\\d]"
    "[a-fA-F\\d][a-fA-F\\d][a-fA-F\\d])#(\\d+):(\\d+):(\\d+):(\\d+)$";
const char* const kPasswordPattern = "\\s*\"(default|[a-fA-F\\d]*)\"\\s*:\\s*\"(.*?)\"\\s*,?\\s*";

constexpr const char* kNone = "<none>";  // a group that did not take part

struct Result {
  int code;
  long offset;                      // of the whole match
  std::vector<std::string> groups;  // whole match first; kNone for null entries
};

Result Search(const char* pattern, int compile_flags, const std::string& text, int search_flags = 0) {
  cRegex_t regex{};
  Result result{regexCompile(&regex, pattern, compile_flags), -1, {}};
  if (result.code != kRegexOk) return result;
  std::vector<cRegexMatch_t> matches(static_cast<size_t>(regexCaptureCount(&regex)));
  result.code = regexMatch(&regex, text.c_str(), matches.data(), static_cast<int>(matches.size()), search_flags);
  if (result.code == kRegexOk) {
    result.offset = matches[0].start - text.c_str();
    for (const auto& m : matches) {
      result.groups.push_back(m.start == nullptr ? kNone : std::string(m.start, static_cast<size_t>(m.length)));
    }
  }
  regexFree(&regex);
  return result;
}

std::string Repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(Regex, CompileErrorsHaveTheirCodes) {
  struct Case {
    std::string pattern;
    int code;
  };
  const Case cases[] = {
      {"(a", kRegexUnmatchedOpen},
      {"a(b|c", kRegexUnmatchedOpen},
      {"a)", kRegexUnmatchedClose},
      {")", kRegexUnmatchedClose},
      {"\\x{41", kRegexUnmatchedClose},
      {Repeat("(a)", 31), kRegexOk},
      {Repeat("(a)", 32), kRegexTooManyGroups},
      {Repeat("[a]", 16), kRegexOk},
      {Repeat("[a]", 17), kRegexTooManyClasses},
      {Repeat("\\d", 17), kRegexTooManyClasses},  // class escapes are classes too
      {"[a", kRegexBadClass},
      {"[", kRegexBadClass},
      {"[a-", kRegexBadClass},
      {"[a-\\d]", kRegexBadClass},  // a range ends in one character
      {"[\\x{0}]", kRegexBadClass},
      {"[[:foo:]]", kRegexBadClass},
      {"\\p{Klingon}", kRegexBadClass},
      {"[acegikmoqsuwyACEGIKMOQSUWY02468!#]", kRegexBadClass},  // 33 items
      {"[acegikmoqsuwyACEGIKMOQSUWY02468!]", kRegexOk},         // 32
      {"", kRegexMissingOperand},
      {"*a", kRegexMissingOperand},
      {"a|", kRegexMissingOperand},
      {"|a", kRegexMissingOperand},
      {"a||b", kRegexMissingOperand},
      {"()", kRegexMissingOperand},
      {"(?i)", kRegexMissingOperand},  // a flag group is no operand
      {"\\x{0}", kRegexMissingOperand},
      {"(?x)a", kRegexUnknownOperator},
      {"(?:a)", kRegexUnknownOperator},
      {Repeat("(", 19) + "a" + Repeat(")", 19), kRegexOk},  // the start entry and 19 groups
      {Repeat("(", 20) + "a" + Repeat(")", 20), kRegexOperatorOverflow},
  };
  for (const auto& c : cases) {
    cRegex_t regex{};
    EXPECT_EQ(regexCompile(&regex, c.pattern.c_str(), 0), c.code) << c.pattern;
    EXPECT_EQ(regex.result, c.code) << c.pattern;
    EXPECT_EQ(regexCaptureCount(&regex) == 0, c.code != kRegexOk) << c.pattern;
    regexFree(&regex);
  }
}

TEST(Regex, FailedCompileLeavesNoProgram) {
  cRegex_t regex{};
  ASSERT_EQ(regexCompile(&regex, "(a)(b)", 0), kRegexOk);
  EXPECT_EQ(regexCaptureCount(&regex), 3);
  EXPECT_EQ(regexCompile(&regex, "(a", 0), kRegexUnmatchedOpen);  // replaces the earlier program
  EXPECT_EQ(regexCaptureCount(&regex), 0);
  cRegexMatch_t match{};
  EXPECT_EQ(regexMatch(&regex, "a", &match, 1, 0), kRegexMatchError);
  regexFree(&regex);
}

TEST(Regex, ProductionPatternsCompile) {
  cRegex_t regex{};
  ASSERT_EQ(regexCompile(&regex, kDemuxPattern, 0), kRegexOk);  // exactly 16 classes
  EXPECT_EQ(regexCaptureCount(&regex), 7);
  ASSERT_EQ(regexCompile(&regex, kPasswordPattern, kRegexFullMatch), kRegexOk);
  EXPECT_EQ(regexCaptureCount(&regex), 3);
  regexFree(&regex);
}

struct MatchCase {
  const char* pattern;
  int compile_flags;
  std::string text;
  int search_flags;
  long offset;  // -1: no match
  std::vector<std::string> groups;
};

void ExpectCases(const std::vector<MatchCase>& cases) {
  for (const auto& c : cases) {
    const Result r = Search(c.pattern, c.compile_flags, c.text, c.search_flags);
    const std::string what = std::string(c.pattern) + " on \"" + c.text + "\"";
    if (c.offset < 0) {
      EXPECT_EQ(r.code, kRegexNoMatch) << what;
      continue;
    }
    ASSERT_EQ(r.code, kRegexOk) << what;
    EXPECT_EQ(r.offset, c.offset) << what;
    EXPECT_EQ(r.groups, c.groups) << what;
  }
}

TEST(Regex, MatchesLeftmostLongest) {
  ExpectCases({
      {"a|ab", 0, "ab", 0, 0, {"ab"}},
      {"ab|a", 0, "ab", 0, 0, {"ab"}},
      {"b+", 0, "abbb", 0, 1, {"bbb"}},
      {"(a|ab)(c|bcd)", 0, "abcd", 0, 0, {"abcd", "a", "bcd"}},
      {"x*", 0, "ab", 0, 0, {""}},            // the empty match at the start is leftmost
      {"b|abc", 0, "abc", 0, 0, {"abc"}},     // leftmost beats longest elsewhere
      {".*?", 0, "abc\ndef", 0, 0, {"abc"}},  // '?' after '*' is no lazy quantifier
      {".*", 0, "abc\ndef", 0, 0, {"abc"}},
      {"a.*?b", 0, "axbxb", 0, 0, {"axbxb"}},
      {"a+?", 0, "aaa", 0, 0, {"aaa"}},
      {"(a*)*b", 0, "aab", 0, 0, {"aab", "aa"}},        // empty loops end
      {"(a)(b)?c", 0, "ac", 0, 0, {"ac", "a", kNone}},  // a group that did not take part
  });
}

TEST(Regex, DotClassesAndEscapes) {
  ExpectCases({
      {"a.c", 0, "a\rc", 0, 0, {"a\rc"}},  // '.' excludes only '\n'
      {"a.c", 0, "a\nc", 0, -1, {}},
      {"a.c", kRegexDotAll, "a\nc", 0, 0, {"a\nc"}},
      {"(?s)a.c", 0, "a\nc", 0, 0, {"a\nc"}},
      {"[^a]", 0, "\n", 0, -1, {}},  // "[^" also excludes the newline
      {"[^a]+", 0, "bc", 0, 0, {"bc"}},
      {"[-a]+", 0, "a-a", 0, 0, {"a-a"}},
      {"[a-]+", 0, "-a-", 0, 0, {"-a-"}},
      {"[^-]+", 0, "--x-", 0, 2, {"x"}},
      {"[a-cb-e]+", 0, "abcdef", 0, 0, {"abcde"}},  // overlapping ranges merge
      {"[a-b-d]+", 0, "ab-d", 0, 0, {"ab-d"}},      // '-' after a range is literal
      {"[]a", 0, "a", 0, -1, {}},                   // ']' ends the class: an empty class
      {"[[:alpha:]]+", 0, "1ab2", 0, 1, {"ab"}},
      {"[[:^digit:]]+", 0, "12ab34", 0, 2, {"ab"}},
      {"[[:punct:][:space:]]+", 0, "a!? b", 0, 1, {"!? "}},
      {"[[]+", 0, "[[", 0, 0, {"[["}},
      {"[\\d\\s]+", 0, "a1 2b", 0, 1, {"1 2"}},
      {"[\\]\\\\]+", 0, "]\\", 0, 0, {"]\\"}},
      {"\\d+",
       0,
       "a\xD9\xA2"
       "3",
       0,
       1,
       {"\xD9\xA2"
        "3"}},  // Unicode decimal digits
      {"\\D+", 0, "12a\n3", 0, 2, {"a\n"}},
      {"\\s", 0, "a\xE2\x80\xA8", 0, 1, {"\xE2\x80\xA8"}},  // U+2028
      {"\\w+", 0, "+\xC3\xA9t\xC3\xA9_1-", 0, 1, {"\xC3\xA9t\xC3\xA9_1"}},
      {"\\W", 0, "ab-", 0, 2, {"-"}},
      {"\\p{Cyrillic}+x", 0, "a\xD0\xB6\xD0\xB8x", 0, 1, {"\xD0\xB6\xD0\xB8x"}},
      {"\\p{Cyrillic}", 0, "a\xCE\xB1", 0, -1, {}},
      {"\\P{Greek}+", 0, "\xCE\xB1\xCE\xB2xy\xCE\xB3", 0, 4, {"xy"}},
      {"[\\p{Greek}\\p{Nd}]+",
       0,
       "x\xCE\xB1"
       "7",
       0,
       1,
       {"\xCE\xB1"
        "7"}},
      {"\\p{L&}+", 0, "1aB", 0, 1, {"aB"}},
      {"\\p{Lu}+", 0, "aBC", 0, 1, {"BC"}},
      {"\\p{Sc}", 0, "5\xE2\x82\xAC", 0, 1, {"\xE2\x82\xAC"}},
      {"\\x{41}\\x{e9}", 0, "A\xC3\xA9", 0, 0, {"A\xC3\xA9"}},
      {"a\\x{0}b", 0, "ac", 0, 0, {"a"}},  // \x{0} ends the pattern
      {"\\t\\n\\r\\a\\f\\v", 0, "\t\n\r\a\f\v", 0, 0, {"\t\n\r\a\f\v"}},
      {"\\Qa.b(\\E+", 0, "a.b((", 0, 0, {"a.b(("}},
      {"\\Qa.b", 0, "axb", 0, -1, {}},
      {"\\.\\*", 0, "a.*", 0, 1, {".*"}},
  });
}

bool WholeMatch(const std::string& pattern, const std::string& text) {
  return Search(pattern.c_str(), 0, text).code == kRegexOk;
}

TEST(Regex, EveryClassNameHasItsMembers) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  // The \p{} names in the order they are tested, then the ASCII classes of "[:name:]".
  const Case properties[] = {
      {"Alpha", "a", "1"},
      {"L&", "a", "1"},
      {"Digit", "5", "a"},
      {"Nd", "\xD9\xA3", "x"},  // U+0663
      {"Lower", "a", "A"},
      {"Ll", "\xC3\xA9", "\xC3\x89"},  // U+00E9, U+00C9
      {"Upper", "A", "a"},
      {"Lu", "\xC3\x89", "\xC3\xA9"},
      {"Cntrl", "\x01", "a"},
      {"Cc", "\xC2\x85", "a"},  // U+0085
      {"Alnum", "7", "-"},
      {"Blank", "\t", "a"},
      {"Space", "\xE2\x80\xA9", "a"},
      {"Word", "_", "-"},
      {"XDigit", "F", "g"},
      {"Lt", "\xC7\x85", "A"},  // U+01C5
      {"Nl", "\xE2\x85\xA0", "I"},
      {"Pc", "_", "-"},  // U+2160
      {"Pd", "-", "_"},
      {"Pf", "\xC2\xBB", "\xC2\xAB"},  // U+00BB, U+00AB
      {"Pi", "\xC2\xAB", "\xC2\xBB"},
      {"Zl", "\xE2\x80\xA8", "\xE2\x80\xA9"},
      {"Zp", "\xE2\x80\xA9", "\xE2\x80\xA8"},
      {"Zs", "\xC2\xA0", "\t"},
      {"Sc", "$", "S"},
      {"Arabic", "\xD8\xA7", "a"},  // U+0627
      {"Cyrillic", "\xD0\xB6", "x"},
      {"Devanagari", "\xE0\xA4\x95", "k"},
      {"Greek", "\xCE\xB1", "a"},
      {"Han", "\xE4\xB8\x80", "\xE3\x81\x82"},  // U+4E00, U+3042
      {"Latin", "a", "\xCE\xB1"},
  };
  ASSERT_EQ(sizeof properties / sizeof properties[0], 31u);
  for (const auto& c : properties) {
    const std::string name = c.name;
    EXPECT_TRUE(WholeMatch("^\\p{" + name + "}$", c.in)) << name;
    EXPECT_FALSE(WholeMatch("^\\p{" + name + "}$", c.out)) << name;
    EXPECT_TRUE(WholeMatch("^\\P{" + name + "}$", c.out)) << name;
    EXPECT_FALSE(WholeMatch("^[\\P{" + name + "}]$", c.in)) << name;
  }
  const Case posix[] = {
      {"alnum", "7", "-"},    {"alpha", "a", "1"},        {"ascii", "~", "\xC3\xA9"}, {"blank", " ", "\n"},
      {"cntrl", "\x7f", " "}, {"digit", "0", "\xD9\xA3"}, {"graph", "!", " "},        {"lower", "a", "A"},
      {"print", " ", "\x7f"}, {"punct", "!", "a"},        {"space", "\v", "a"},       {"upper", "Z", "z"},
      {"xdigit", "f", "g"},   {"word", "_", "-"},
  };
  for (const auto& c : posix) {
    const std::string name = c.name;
    EXPECT_TRUE(WholeMatch("^[[:" + name + ":]]$", c.in)) << name;
    EXPECT_FALSE(WholeMatch("^[[:" + name + ":]]$", c.out)) << name;
    EXPECT_TRUE(WholeMatch("^[[:^" + name + ":]]$", c.out)) << name;
    EXPECT_FALSE(WholeMatch("^[[:^" + name + ":]]$", c.in)) << name;
  }
}

TEST(Regex, CaseInsensitive) {
  ExpectCases({
      {"abc", kRegexIgnoreCase, "xABC", 0, 1, {"ABC"}},
      {"(?i)a(?-i)b", 0, "Ab", 0, 0, {"Ab"}},
      {"(?i)a(?-i)b", 0, "AB", 0, -1, {}},
      {"[a-z]+", kRegexIgnoreCase, "1ABc", 0, 1, {"ABc"}},
      {"[[:lower:]]+", kRegexIgnoreCase, "aB", 0, 0, {"aB"}},  // lower and upper mean alpha
      {"\\p{Ll}+", kRegexIgnoreCase, "aB", 0, 0, {"aB"}},
      {"\xC3\xA4", kRegexIgnoreCase, "\xC3\x84", 0, 0, {"\xC3\x84"}},   // U+00E4 and U+00C4
      {"k", kRegexIgnoreCase, "\xE2\x84\xAA", 0, 0, {"\xE2\x84\xAA"}},  // KELVIN SIGN folds to k
  });
}

TEST(Regex, AnchorsAndBoundaries) {
  ExpectCases({
      {"^b", 0, "a\nb", 0, 2, {"b"}},  // '^' after every newline
      {"^a", 0, "ba", 0, -1, {}},
      {"\\Ab", 0, "a\nb", 0, -1, {}},  // \A only at the text's beginning
      {"\\Aa", 0, "a\nb", 0, 0, {"a"}},
      {"a$", 0, "a\nb", 0, 0, {"a"}},
      {"b$", 0, "ab", 0, 1, {"b"}},
      {"a\\z", 0, "a\n", 0, -1, {}},
      {"a\\Z", 0, "a\n", 0, 0, {"a"}},
      {"a\\Z", 0, "a\nb", 0, -1, {}},
      {"\\bfoo\\b", 0, "a foo b", 0, 2, {"foo"}},
      {"\\bfoo\\b", 0, "afoob", 0, -1, {}},
      {"\\Boo\\B", 0, "afoob", 0, 2, {"oo"}},
      {"\\b ", 0, " a", 0, 0, {" "}},  // the text's beginning counts as a boundary
      {"b", 0, "abc", kRegexFullMatch, -1, {}},
      {"b", 0, "a\nb\nc", kRegexFullMatch, 2, {"b"}},
      {"b+", 0, "bb", kRegexFullMatch, 0, {"bb"}},
  });
}

TEST(Regex, MalformedUtf8IsOneByteAndKeepsItsBytes) {
  ExpectCases({
      {"a.b",
       0,
       "a\xFF"
       "b",
       0,
       0,
       {"a\xFF"
        "b"}},
      {"\"([^\"]*)\"", 0, "\"\xE2\x80\"", 0, 0, {"\"\xE2\x80\"", "\xE2\x80"}},  // a cut sequence never eats the quote
      {"x(.*)", 0, "x\xC3(\xF0\x9F", 0, 0, {"x\xC3(\xF0\x9F", "\xC3(\xF0\x9F"}},
      {"\xFF+", 0, "a\xFE\xFF", 0, 1, {"\xFE\xFF"}},  // both are U+FFFD
      {"[\xC3]", 0, "\xC3", 0, 0, {"\xC3"}},
      {"\\bx", 0, "\xC3\xA9x", 0, -1, {}},        // U+00E9 is a word character
      {"\\bx", 0, "\xC3\xA9\xA9x", 0, 3, {"x"}},  // a stray continuation byte is not
      {"\\Bx", 0, std::string(5000, '\x80') + "\xC3\xA9x", 0, 5002, {"x"}},
  });
}

TEST(Regex, ManyLiveThreadsStillMatch) {
  // 150 alternatives alive at every step: far more threads than a fixed list would hold.
  const std::string pattern = Repeat("a*", 150) + "b";
  const std::string text = std::string(300, 'a') + "b";
  const Result r = Search(pattern.c_str(), 0, text);
  ASSERT_EQ(r.code, kRegexOk);
  EXPECT_EQ(r.groups, std::vector<std::string>{text});

  std::string alternatives = "(";
  for (int i = 1; i <= 120; ++i) alternatives += std::string(i == 1 ? "" : "|") + Repeat("x", i) + "y";
  alternatives += ")";
  const Result longest = Search(alternatives.c_str(), 0, "z" + Repeat("x", 119) + "yx");
  ASSERT_EQ(longest.code, kRegexOk);
  EXPECT_EQ(longest.offset, 1);
  EXPECT_EQ(longest.groups[1].size(), 120u);
}

std::vector<std::string> Walk(const char* pattern, const std::string& text, int flags = kRegexNext) {
  cRegex_t regex{};
  EXPECT_EQ(regexCompile(&regex, pattern, 0), kRegexOk);
  std::vector<std::string> found;
  cRegexMatch_t match{};
  for (int guard = 0; guard < 100 && regexMatch(&regex, text.c_str(), &match, 1, flags) == kRegexOk; ++guard) {
    found.emplace_back(match.start, static_cast<size_t>(match.length));
  }
  regexFree(&regex);
  return found;
}

TEST(Regex, NextFlagWalksMatchByMatch) {
  EXPECT_EQ(Walk("\\d+", "1 22 333 x"), (std::vector<std::string>{"1", "22", "333"}));
  EXPECT_EQ(Walk("^.", "ab\ncd\n"), (std::vector<std::string>{"a", "c"}));
  // An empty match moves the next search on by one code point, so the walk ends.
  EXPECT_EQ(Walk("x*", "a\xC3\xA9x"), (std::vector<std::string>{"", "", "x", ""}));
}

// Matches of a walk over the first `length` bytes of `text`, as offset:text.
std::vector<std::string> WalkBytes(const char* pattern, const std::string& text, int64_t length) {
  cRegex_t regex{};
  EXPECT_EQ(regexCompile(&regex, pattern, 0), kRegexOk);
  std::vector<std::string> found;
  cRegexMatch_t match{};
  for (int guard = 0; guard < 100 && regexMatchBytes(&regex, text.data(), length, &match, 1, kRegexNext) == kRegexOk;
       ++guard) {
    found.push_back(std::to_string(match.start - text.data()) + ":" +
                    std::string(match.start, static_cast<size_t>(match.length)));
  }
  regexFree(&regex);
  return found;
}

TEST(Regex, ByteLengthBoundsTheText) {
  using namespace std::string_literals;
  struct Case {
    const char* pattern;
    std::string text;
    int64_t length;
    std::vector<std::string> found;
  };
  const Case cases[] = {
      // A zero byte is a character like any other: no end of the text.
      {"b+", "ab\0bb"s, 5, {"1:b", "3:bb"}},
      {"a.c", "a\0c"s, 3, {"0:a\0c"s}},
      {"[^x]+", "a\0b"s, 3, {"0:a\0b"s}},
      // The length is the end: nothing behind it is read, and the end anchors hold there.
      {"b+", "abbbb", 3, {"1:bb"}},
      {"abc", "abcabc", 2, {}},
      {"b$", "abc", 2, {"1:b"}},
      {"b\\z", "abc", 2, {"1:b"}},
      {"\\w+\\b", "ab cd", 4, {"0:ab", "3:c"}},
      {"x*", "xx", 0, {"0:"}},
  };
  for (const auto& c : cases) EXPECT_EQ(WalkBytes(c.pattern, c.text, c.length), c.found) << c.pattern;

  cRegex_t regex{};
  ASSERT_EQ(regexCompile(&regex, "b", 0), kRegexOk);
  const std::string text = "abab";
  cRegexMatch_t match{};
  EXPECT_EQ(regexMatchBytes(&regex, text.data(), -1, &match, 1, 0), kRegexMatchError);
  EXPECT_EQ(regexMatchBytes(&regex, nullptr, 0, &match, 1, 0), kRegexMatchError);
  match = {text.data() + 3, 1};  // a previous match behind the length is not inside the text
  EXPECT_EQ(regexMatchBytes(&regex, text.data(), 2, &match, 1, kRegexNext), kRegexMatchError);
  EXPECT_EQ(regexMatchBytes(&regex, text.data(), 4, &match, 1, kRegexNext), kRegexNoMatch);
  regexFree(&regex);
}

TEST(Regex, SearchFlagsCheckThePreviousMatch) {
  cRegex_t regex{};
  ASSERT_EQ(regexCompile(&regex, "b+", 0), kRegexOk);
  const std::string text = "abbcbb";
  cRegexMatch_t match{text.c_str() + 1, 4};  // "bbcb"
  ASSERT_EQ(regexMatch(&regex, text.c_str(), &match, 1, kRegexWithin), kRegexOk);
  EXPECT_EQ(match.start - text.c_str(), 1);
  EXPECT_EQ(match.length, 2);
  match = {text.c_str() + 4, 1};
  ASSERT_EQ(regexMatch(&regex, text.c_str(), &match, 1, kRegexWithin), kRegexOk);
  EXPECT_EQ(match.length, 1);  // the range ends inside the run

  const std::string other = "bb";
  match = {other.c_str(), 1};  // not inside the text searched
  EXPECT_EQ(regexMatch(&regex, text.c_str(), &match, 1, kRegexNext), kRegexMatchError);
  match = {text.c_str() + 2, 99};
  EXPECT_EQ(regexMatch(&regex, text.c_str(), &match, 1, kRegexNext), kRegexMatchError);
  regexFree(&regex);
}

TEST(Regex, FewerEntriesThanGroups) {
  cRegex_t regex{};
  ASSERT_EQ(regexCompile(&regex, "(a)(b)(c)", 0), kRegexOk);
  cRegexMatch_t matches[2] = {{nullptr, 0}, {nullptr, 77}};
  ASSERT_EQ(regexMatch(&regex, "xabc", matches, 1, 0), kRegexOk);
  EXPECT_EQ(matches[0].length, 3);
  EXPECT_EQ(matches[1].length, 77);  // not written
  EXPECT_EQ(regexMatch(&regex, "xabc", nullptr, 0, 0), kRegexOk);
  EXPECT_EQ(regexMatch(&regex, "xab", nullptr, 0, 0), kRegexNoMatch);
  regexFree(&regex);
}

TEST(Regex, DemultiplexingPatternOnRules) {
  ExpectCases({
      {kDemuxPattern, 0, "muxtp-can2=010#3:4:5:6", 0, 0, {"muxtp-can2=010#3:4:5:6", "2", "010", "3", "4", "5", "6"}},
      {kDemuxPattern,
       0,
       "muxtp-can12=18FF0001#300:4:5:6",
       0,
       0,
       {"muxtp-can12=18FF0001#300:4:5:6", "12", "18FF0001", "300", "4", "5", "6"}},
      {kDemuxPattern, 0, "muxtp-can2=0a0B#3:4:5:6", 0, -1, {}},  // 4 digits
      {kDemuxPattern, 0, "muxtp-can2=010#3:4:5", 0, -1, {}},
      {kDemuxPattern, 0, "muxtp-can2=010#3:4:5:6x", 0, -1, {}},
      {kDemuxPattern, 0, "muxtp-can=010#3:4:5:6", 0, -1, {}},
      {kDemuxPattern, 0, "xmuxtp-can2=010#3:4:5:6", 0, -1, {}},
  });
}

TEST(Regex, PasswordPatternOnAFile) {
  const std::string file =
      "{\n"
      "  \"0000ABCD\": \"pa\"ss\"word\",\n"
      "  \"nothex\": \"skipped\",\n"
      "  \"default\" : \"x\xE9y\"\n"
      "}\n";
  cRegex_t regex{};
  ASSERT_EQ(regexCompile(&regex, kPasswordPattern, kRegexFullMatch), kRegexOk);
  std::vector<std::pair<std::string, std::string>> pairs;
  cRegexMatch_t m[3] = {};
  while (regexMatch(&regex, file.c_str(), m, 3, kRegexNext) == kRegexOk) {
    pairs.emplace_back(std::string(m[1].start, static_cast<size_t>(m[1].length)),
                       std::string(m[2].start, static_cast<size_t>(m[2].length)));
  }
  regexFree(&regex);
  const std::vector<std::pair<std::string, std::string>> expected = {{"0000ABCD", "pa\"ss\"word"},
                                                                     {"default", "x\xE9y"}};
  EXPECT_EQ(pairs, expected);
}

}  // namespace
