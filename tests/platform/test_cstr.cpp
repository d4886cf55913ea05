#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/cstr.h"

namespace {

std::string Text(const cStr_t& s) { return {cStrData(&s), static_cast<size_t>(cStrLength(&s))}; }

cStrView_t View(const std::string& text) { return {text.data(), static_cast<int64_t>(text.size())}; }

TEST(CStr, TwentyTwoCharactersStayInlineAndOneMoreMovesToTheHeap) {
  const std::string text(22, 'x');
  cStr_t s{};
  ASSERT_TRUE(cStrInit(&s, View(text)));
  EXPECT_FALSE(cStrIsHeap(&s));
  EXPECT_EQ(cStrLength(&s), 22);
  EXPECT_EQ(s.raw[23], 22);  // the length byte, top bit clear
  EXPECT_EQ(cStrData(&s)[22], '\0');

  ASSERT_NE(cStrAppend(&s, {"y", 1}), nullptr);
  EXPECT_TRUE(cStrIsHeap(&s));
  EXPECT_NE(s.raw[23] & 0x80, 0);
  EXPECT_EQ(cStrCapacity(&s), 34);  // 1 + 22 * 3 / 2
  EXPECT_EQ(Text(s), text + "y");
  EXPECT_EQ(cStrData(&s)[23], '\0');
  cStrRelease(&s);
  EXPECT_EQ(cStrLength(&s), 0);
  EXPECT_FALSE(cStrIsHeap(&s));
}

TEST(CStr, InitFromALongViewTakesExactlyItsLength) {
  const std::string text(40, 'a');
  cStr_t s{};
  ASSERT_TRUE(cStrInit(&s, View(text)));
  EXPECT_TRUE(cStrIsHeap(&s));
  EXPECT_EQ(cStrCapacity(&s), 40);
  EXPECT_EQ(Text(s), text);
  cStrRelease(&s);
  EXPECT_FALSE(cStrInit(&s, {"x", -1}));
}

TEST(CStr, SelfAppendDoublesAcrossEveryReallocation) {
  // 5 -> 10 stays inline, 20 still inline, 40 moves to the heap, 80 reallocates the heap.
  cStr_t s{};
  ASSERT_TRUE(cStrInit(&s, {"ab\0cd", 5}));
  std::string expected("ab\0cd", 5);
  for (int round = 0; round < 4; ++round) {
    ASSERT_NE(cStrAppend(&s, cStrViewOfStr(&s)), nullptr);
    expected += expected;
    ASSERT_EQ(Text(s), expected) << "round " << round;
  }
  // Appending the string's own tail, not just all of it.
  const cStrView_t tail{cStrData(&s) + 70, 10};
  ASSERT_NE(cStrAppend(&s, tail), nullptr);
  expected += expected.substr(70, 10);
  EXPECT_EQ(Text(s), expected);
  cStrRelease(&s);
}

TEST(CStr, ReserveKeepsTheTextAndResizeFillsOrCuts) {
  cStr_t s{};
  ASSERT_TRUE(cStrInit(&s, {"abc", 3}));
  EXPECT_EQ(cStrReserve(&s, 22), cStrBuffer(&s));  // still fits inline: nothing moves
  EXPECT_FALSE(cStrIsHeap(&s));
  ASSERT_NE(cStrReserve(&s, 100), nullptr);
  EXPECT_TRUE(cStrIsHeap(&s));
  EXPECT_EQ(cStrCapacity(&s), 100);
  EXPECT_EQ(Text(s), "abc");

  ASSERT_NE(cStrResize(&s, 6, '-'), nullptr);
  EXPECT_EQ(Text(s), "abc---");
  ASSERT_NE(cStrResize(&s, 2, '-'), nullptr);
  EXPECT_EQ(Text(s), "ab");
  EXPECT_EQ(cStrData(&s)[2], '\0');
  EXPECT_EQ(cStrResize(&s, -1, '-'), nullptr);
  cStrRelease(&s);
}

TEST(CStr, AppendFormatCountsWhatItAdded) {
  cStr_t s{};
  EXPECT_EQ(cStrAppendFormat(&s, "%08X", 0x1234abcdU), 8);
  EXPECT_EQ(cStrAppendFormat(&s, "%s", ""), 0);
  EXPECT_EQ(cStrAppendFormat(&s, "-%d-%s", 42, "a long tail that leaves the inline form"), 43);
  EXPECT_EQ(Text(s), "1234ABCD-42-a long tail that leaves the inline form");
  EXPECT_TRUE(cStrIsHeap(&s));
  cStrRelease(&s);
}

TEST(CStr, ShrinkToFitReturnsShortTextsToTheInlineForm) {
  cStr_t s{};
  ASSERT_TRUE(cStrInit(&s, View(std::string(30, 'q'))));
  ASSERT_NE(cStrReserve(&s, 200), nullptr);
  ASSERT_TRUE(cStrShrinkToFit(&s));
  EXPECT_EQ(cStrCapacity(&s), 30);
  ASSERT_NE(cStrResize(&s, 5, ' '), nullptr);
  ASSERT_TRUE(cStrShrinkToFit(&s));
  EXPECT_FALSE(cStrIsHeap(&s));
  EXPECT_EQ(Text(s), "qqqqq");
  cStrRelease(&s);
}

}  // namespace
