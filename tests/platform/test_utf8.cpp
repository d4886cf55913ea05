#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/utf8.h"

namespace {

struct DecodeCase {
  std::string bytes;
  std::vector<uint32_t> code_points;
};

// Decodes the whole text the way a caller walks it, sequence by sequence.
std::vector<uint32_t> DecodeAll(const std::string& bytes) {
  std::vector<uint32_t> out;
  for (const char* p = bytes.c_str(); *p != '\0';) {
    uint32_t code_point = 0;
    const int used = utf8DecodeNext(p, &code_point);
    EXPECT_GE(used, 1);
    out.push_back(code_point);
    p += used;
  }
  return out;
}

std::vector<uint32_t> DecodeAllBounded(const std::string& bytes) {
  std::vector<uint32_t> out;
  const char* end = bytes.data() + bytes.size();
  uint32_t code_point = 0;
  for (const char* p = bytes.data(); p < end;) {
    p += utf8DecodeNextBounded(p, end, &code_point);
    out.push_back(code_point);
  }
  return out;
}

TEST(Utf8Decode, WellFormedSequences) {
  const DecodeCase cases[] = {
      {"A", {0x41}},
      {"\xC3\xA9", {0xE9}},
      {"\xE2\x80\xA8", {0x2028}},
      {"\xF0\x9F\x98\x80", {0x1F600}},
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", {0xFFFF, 0x10FFFF}},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", {0x800, 0xD7FF, 0xE000}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeAll(c.bytes), c.code_points) << c.bytes;
    EXPECT_EQ(DecodeAllBounded(c.bytes), c.code_points) << c.bytes;
  }
  uint32_t code_point = 7;
  EXPECT_EQ(utf8DecodeNext("", &code_point), 1);  // the terminator is code point 0
  EXPECT_EQ(code_point, 0U);
  EXPECT_EQ(utf8Decode("\xC3\xA9x"), 0xE9U);
}

TEST(Utf8Decode, MalformedBytesBecomeReplacementsOneByteAtATime) {
  constexpr uint32_t R = kUtf8Replacement;
  const DecodeCase cases[] = {
      {"Mess\xE4.mf4", {'M', 'e', 's', 's', R, '.', 'm', 'f', '4'}},  // a Latin-1 file name
      {"\x80", {R}},                                                  // a lone continuation byte
      {"\xC0\x80", {R, R}},                                           // overlong NUL
      {"\xE0\x80\xAF", {R, R, R}},                                    // overlong '/'
      {"\xED\xA0\x80", {R, R, R}},                                    // a surrogate
      {"\xF4\x90\x80\x80", {R, R, R, R}},                             // above U+10FFFF
      {"\xF5\xFF", {R, R}},
      {"\xE2\x80", {R, R}},  // cut short by the terminator
      {"\xF0\x9F\x98", {R, R, R}},
      {"\xC3\xC3\xA9", {R, 0xE9}},  // the next lead byte starts afresh
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeAll(c.bytes), c.code_points) << c.bytes;

  // A view that ends inside a sequence stops at its end, not at a terminator further on.
  const std::string text = "\xE2\x80\xA8";
  uint32_t code_point = 0;
  EXPECT_EQ(utf8DecodeNextBounded(text.data(), text.data() + 2, &code_point), 1);
  EXPECT_EQ(code_point, R);
  EXPECT_EQ(utf8DecodeNextBounded(text.data(), text.data(), &code_point), 0);
}

TEST(Utf8Decode, DecodeAtStepsOverWholeSequences) {
  const std::string text =
      "a\xE2\x80\xA8"
      "b\xF0\x9F\x98\x80";
  const char* start = text.c_str();
  const char* after_separator = start + 4;  // the byte after the three-byte U+2028
  EXPECT_EQ(utf8DecodeAt(start, after_separator, -1), 0x2028U);
  EXPECT_EQ(utf8DecodeAt(start, after_separator, -2), 'a');
  EXPECT_EQ(utf8DecodeAt(start, after_separator, 0), 'b');
  EXPECT_EQ(utf8DecodeAt(start, start, 2), 'b');
  EXPECT_EQ(utf8DecodeAt(start, start, 3), 0x1F600U);
  EXPECT_EQ(utf8DecodeAt(start, start, 10), 0U);   // stops at the terminator
  EXPECT_EQ(utf8DecodeAt(start, start, -5), 'a');  // and at the text's start

  // Stray continuation bytes at the start never lead the backward walk out of the text.
  const std::string stray = "\x80\x80z";
  EXPECT_EQ(utf8DecodeAt(stray.c_str(), stray.c_str() + 2, -1), kUtf8Replacement);
}

TEST(Utf8Decode, APrefixEndsAtACharacterBoundary) {
  // "a", U+00E9 (2 bytes), U+20AC (3), U+1D11E (4), "z": boundaries at 0, 1, 3, 6, 10, 11.
  const std::string text =
      "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"
      "z";
  const cStrView_t view{text.data(), static_cast<int64_t>(text.size())};
  const int64_t expected[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 11};
  for (int64_t limit = 0; limit <= 11; ++limit) {
    EXPECT_EQ(utf8PrefixLength(view, limit), expected[limit]) << limit;
  }
  EXPECT_EQ(utf8PrefixLength(view, 50), 11);
  EXPECT_EQ(utf8PrefixLength(view, -3), 0);
  const std::string stray = "\x80\x80\x80";  // nothing but continuation bytes
  EXPECT_EQ(utf8PrefixLength({stray.data(), 3}, 2), 0);
  EXPECT_EQ(utf8PrefixLength({stray.data(), 3}, 3), 3);
}

TEST(Utf8Decode, FindCodePoint) {
  const char* text =
      "ab\xC3\xA9"
      "c\xE2\x80\xA8"
      "d";
  EXPECT_EQ(utf8FindCodePoint(text, 'c'), text + 4);
  EXPECT_EQ(utf8FindCodePoint(text, 0xE9), text + 2);
  EXPECT_EQ(utf8FindCodePoint(text, 0x2028), text + 5);
  EXPECT_EQ(utf8FindCodePoint(text, 0x2029), nullptr);
  EXPECT_EQ(utf8FindCodePoint(text, 'z'), nullptr);
  EXPECT_EQ(utf8FindCodePoint(text, 0), nullptr);
}

struct CaseMapping {
  uint32_t code_point;
  uint32_t folded;
  uint32_t lower;
  uint32_t upper;
};

TEST(Utf8Case, SimpleMappings) {
  const CaseMapping cases[] = {
      {'A', 'a', 'a', 'A'},
      {'z', 'z', 'z', 'Z'},
      {0x100, 0x101, 0x101, 0x100},  // alternating pairs
      {0x101, 0x101, 0x101, 0x100},
      {0x12E, 0x12F, 0x12F, 0x12E},
      {0x130, 0x130, 'i', 0x130},  // capital I with dot: lower-casing only
      {0xB5, 0x3BC, 0xB5, 0x39C},  // micro sign
      {0xC4, 0xE4, 0xE4, 0xC4},
      {0xDF, 0xDF, 0xDF, 0xDF},  // sharp s has no simple upper case
      {0x1E9E, 0xDF, 0xDF, 0x1E9E},
      {0xFF, 0xFF, 0xFF, 0x178},
      {0x178, 0xFF, 0xFF, 0x178},
      {0x1C4, 0x1C6, 0x1C6, 0x1C4},  // the title-case triple DZ, Dz, dz
      {0x1C5, 0x1C6, 0x1C6, 0x1C4},
      {0x1C6, 0x1C6, 0x1C6, 0x1C4},
      {0x3A3, 0x3C3, 0x3C3, 0x3A3},
      {0x3C2, 0x3C3, 0x3C2, 0x3A3},  // final sigma
      {0x212A, 'k', 'k', 0x212A},    // Kelvin sign
      {0x410, 0x430, 0x430, 0x410},
      {0x13A0, 0x13A0, 0xAB70, 0x13A0},  // Cherokee folds to its capitals
      {0xAB70, 0x13A0, 0xAB70, 0x13A0},
      {0xFF21, 0xFF41, 0xFF41, 0xFF21},      // the last BMP run
      {0x10400, 0x10400, 0x10400, 0x10400},  // beyond the BMP: unchanged
      {0x4E00, 0x4E00, 0x4E00, 0x4E00},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8Casefold(c.code_point), c.folded) << std::hex << c.code_point;
    EXPECT_EQ(utf8ToLower(c.code_point), c.lower) << std::hex << c.code_point;
    EXPECT_EQ(utf8ToUpper(c.code_point), c.upper) << std::hex << c.code_point;
  }
}

std::string Transformed(const std::string& text, int kind) {
  cStr_t out{};
  EXPECT_NE(utf8CaseTransform(&out, {text.data(), static_cast<int64_t>(text.size())}, kind), nullptr);
  std::string result(cStrData(&out), static_cast<size_t>(cStrLength(&out)));
  cStrRelease(&out);
  return result;
}

TEST(Utf8Case, TransformsWholeStrings) {
  EXPECT_EQ(Transformed("MF4", kUtf8CaseLower), "mf4");
  EXPECT_EQ(Transformed("\xC3\x84", kUtf8CaseLower), "\xC3\xA4");  // two bytes each
  EXPECT_EQ(Transformed("\xC3\xA4x", kUtf8CaseUpper), "\xC3\x84X");
  EXPECT_EQ(Transformed("\xC4\xB0", kUtf8CaseLower), "i");  // shrinks by a byte
  EXPECT_EQ(Transformed("\xC4\xB0", kUtf8CaseFold), "\xC4\xB0");
  EXPECT_EQ(Transformed("\xC8\xBA", kUtf8CaseLower), "\xE2\xB1\xA5");  // U+023A grows to U+2C65
  EXPECT_EQ(Transformed("Mess\xE4.MF4", kUtf8CaseLower), "mess\xEF\xBF\xBD.mf4");
  EXPECT_EQ(Transformed(std::string("A\0B", 3), kUtf8CaseLower), std::string("a\0b", 3));
  EXPECT_EQ(Transformed("", kUtf8CaseUpper), "");

  const std::string long_text = "LOGS/2024/" + std::string(40, 'X') + "\xCE\xA3.MF4";
  cStr_t out{};
  ASSERT_TRUE(cStrInit(&out, cStrViewOf("the old content is released")));
  ASSERT_NE(utf8CaseTransform(&out, {long_text.data(), static_cast<int64_t>(long_text.size())}, kUtf8CaseLower),
            nullptr);
  EXPECT_EQ(std::string(cStrData(&out)), "logs/2024/" + std::string(40, 'x') + "\xCF\x83.mf4");
  EXPECT_EQ(cStrCapacity(&out), cStrLength(&out));  // shrunk to fit
  cStrRelease(&out);

  ASSERT_NE(utf8CaseTransform(&out, cStrViewOf("SHORT"), kUtf8CaseLower), nullptr);
  EXPECT_FALSE(cStrIsHeap(&out));  // short results end inline
  EXPECT_EQ(utf8CaseTransform(&out, cStrViewOf("x"), 3), nullptr);
  cStrRelease(&out);
}

struct ClassCase {
  uint32_t code_point;
  bool alpha;
  bool cased;
  bool word;
};

TEST(Utf8Classes, AlphaCasedAndWord) {
  const ClassCase cases[] = {
      {'a', true, true, true},      {'Z', true, true, true},       {'5', false, false, true},
      {'_', false, false, true},    {' ', false, false, false},    {0xE9, true, true, true},
      {0x4E00, true, false, true},  {0x0E01, false, false, false},  // Thai is not among the scripts
      {0x0905, true, false, true},  {0x0627, true, false, true},   {0x2160, true, true, true},  // Roman numeral, Nl
      {0xFF11, false, false, true},  // fullwidth digit one: Nd
      {0x203F, false, false, true},  // undertie: Pc
      {0x1C5, true, true, true},    {0x2028, false, false, false}, {0x1F600, false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8IsAlpha(c.code_point), c.alpha) << std::hex << c.code_point;
    EXPECT_EQ(utf8IsCased(c.code_point), c.cased) << std::hex << c.code_point;
    EXPECT_EQ(utf8IsWord(c.code_point), c.word) << std::hex << c.code_point;
  }
}

TEST(Utf8Classes, GroupsFollowTheUnicodeData) {
  struct GroupCase {
    int group;
    uint32_t inside;
    uint32_t outside;
  };
  const GroupCase cases[] = {
      {kUtf8GroupCc, 0x7F, 0xA0},
      {kUtf8GroupLt, 0x1F88, 0x1F80},
      {kUtf8GroupNd, 0xFF19, 0xFF1A},
      {kUtf8GroupNl, 0x3007, 0x3008},
      {kUtf8GroupPc, '_', '-'},
      {kUtf8GroupPd, '-', '_'},
      {kUtf8GroupPf, 0xBB, 0xAB},
      {kUtf8GroupPi, 0xAB, 0xBB},
      {kUtf8GroupSc, 0x20AC, 0x20C1},
      {kUtf8GroupZl, 0x2028, 0x2029},
      {kUtf8GroupZp, 0x2029, 0x2028},
      {kUtf8GroupZs, 0x3000, 0x200B},
      {kUtf8GroupArabic, 0xFEFC, 0xFEFF},
      {kUtf8GroupCyrillic, 0x1C88, 0x1C89},
      {kUtf8GroupDevanagari, 0xA8FF, 0x0951},
      {kUtf8GroupGreek, 0x2126, 0x2127},
      {kUtf8GroupHan, 0x9FFF, 0xA000},
      {kUtf8GroupLatin, 0xFF5A, 0xFF5B},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(utf8IsGroup(c.group, c.inside)) << c.group << " " << std::hex << c.inside;
    EXPECT_FALSE(utf8IsGroup(c.group, c.outside)) << c.group << " " << std::hex << c.outside;
  }
  EXPECT_FALSE(utf8IsGroup(kUtf8GroupHan, 0x20000));  // the tables stop at the BMP
  EXPECT_FALSE(utf8IsGroup(kUtf8GroupCount, 'a'));
  EXPECT_FALSE(utf8IsGroup(-1, 'a'));
}

}  // namespace
