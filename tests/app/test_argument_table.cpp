#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <string>
#include <vector>

#include "app/argument_table.h"
#include "support/outputcapture.h"

namespace {

TEST(ArgumentTable, IntegerValues) {
  struct Case {
    const char* text;
    int code;
    int32_t value;
  };
  const Case cases[] = {
      {"0x10", 0, 16},
      {"  -0X1f", 0, -31},
      {"0o17", 0, 15},
      {"0B101", 0, 5},
      {"+7", 0, 7},
      {"0x2B", 0, 43},  // B is a hex digit here, not a suffix
      {"2KB", 0, 2048},
      {"2kb \t", 0, 2048},
      {"1Mb", 0, 1048576},
      {"0x1gB", 0, 1073741824},
      {"-2GB", 0, INT32_MIN},
      {"2147483647", 0, INT32_MAX},
      {"-2147483648", 0, INT32_MIN},
      {"3GB", kArgumentOverflow, 0},
      {"2147483648", kArgumentOverflow, 0},
      {"-2147483649", kArgumentOverflow, 0},
      {"99999999999", kArgumentOverflow, 0},  // no silent truncation of a 64-bit reading
      {"0xFFFFFFFFFFFFFFFFFFFF", kArgumentOverflow, 0},
      {"12ab", kArgumentBadNumber, 0},
      {"", kArgumentBadNumber, 0},
      {"-", kArgumentBadNumber, 0},
      {"0x", kArgumentBadNumber, 0},
      {"0b2", kArgumentBadNumber, 0},
      {"abc", kArgumentBadNumber, 0},
      {"12 ", kArgumentBadNumber, 0},
      {"12 KB", kArgumentBadNumber, 0},
      {"1KBx", kArgumentBadNumber, 0},
      {"99999999999ab", kArgumentBadNumber, 0},
  };
  for (const auto& c : cases) {
    int32_t value = 0;
    EXPECT_EQ(parseArgumentInteger(c.text, &value), c.code) << c.text;
    if (c.code == 0) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

// A small table for the scanner: flag -a/--alpha,--alpine; flag --also; integer -n; string
// -s/--say; wildcard --set-*; positionals "first" (1) and "rest" (0..2); end (4 slots).
class SmallTable : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("POSIXLY_CORRECT");
    Add(&(alpha_ = argumentFlagNew("a", "alpha,alpine", "alpha flag"))->header);
    Add(&(also_ = argumentFlagNew(nullptr, "also", nullptr))->header);
    Add(&(number_ = argumentIntegerNew("n", nullptr, nullptr, "a number"))->header);
    Add(&(say_ = argumentStringNew("s", "say", nullptr, 0, 2, nullptr, nullptr, nullptr, nullptr))->header);
    Add(&(set_ = argumentStringNew(nullptr, "set-*", "<rule>", 0, 3, nullptr, Convert, ConvertError, this))->header);
    Add(&(first_ = argumentFileNew(nullptr, nullptr, "first", 1, 1, nullptr, nullptr, nullptr, nullptr))->header);
    Add(&(rest_ = argumentFileNew(nullptr, nullptr, "rest", 0, 2, nullptr, nullptr, nullptr, nullptr))->header);
    Add(&(end_ = argumentEndNew(4))->header);
    ASSERT_TRUE(checkArgumentTable(&table_));
  }
  void TearDown() override { freeArgumentTable(&table_); }

  void Add(cArgumentEntry_t* entry) { ASSERT_NE(vecPush(&table_, entry), nullptr); }

  static int Convert(cArgumentString_t* entry, void* destination) {
    auto* self = static_cast<SmallTable*>(destination);
    ++self->conversions_;
    return entry->header.count == 3 ? 7 : 0;
  }
  static void ConvertError(cArgumentString_t*, cStr_t* out, int code, const char*, const char* program) {
    cStrAppendFormat(out, "%s: conversion %d\n", program, code);
  }

  int Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    storage_ = args;
    argv_.clear();
    for (auto& arg : storage_) argv_.push_back(arg.data());
    return parseArgumentTable(static_cast<int>(argv_.size()), argv_.data(), &table_);
  }

  std::string Errors() {
    test::StdoutCapture out;
    printArgumentErrors(stdout, end_, "prog");
    return out.Text();
  }

  std::vector<std::string> Values(const cArgumentString_t* entry) const {
    return std::vector<std::string>(entry->values, entry->values + entry->header.count);
  }

  cArgumentTable_t table_{};
  cArgumentFlag_t* alpha_ = nullptr;
  cArgumentFlag_t* also_ = nullptr;
  cArgumentInteger_t* number_ = nullptr;
  cArgumentString_t* say_ = nullptr;
  cArgumentString_t* set_ = nullptr;
  cArgumentString_t* first_ = nullptr;
  cArgumentString_t* rest_ = nullptr;
  cArgumentEnd_t* end_ = nullptr;
  int conversions_ = 0;
  std::vector<std::string> storage_;
  std::vector<char*> argv_;
};

TEST_F(SmallTable, SyntaxAndGlossary) {
  say_->header.flags |= kArgumentOptionalValue;
  std::string syntax;
  std::string glossary;
  {
    test::StdoutCapture out;
    printArgumentSyntax(stdout, &table_, "|end");
    syntax = out.Text();
  }
  {
    test::StdoutCapture out;
    printArgumentGlossary(stdout, &table_, nullptr);
    glossary = out.Text();
  }
  EXPECT_EQ(syntax,
            " [-a|--alpha|--alpine] [--also] [-n <int>] [-s|--say=[<string>]] [-s|--say=[<string>]] "
            "[--set-*=<rule>]... first [rest] [rest]|end");
  EXPECT_EQ(glossary,
            "  -a, --alpha, --alpine alpha flag\n"
            "  -n <int>             a number\n");
}

TEST_F(SmallTable, GlossaryCutsLongOptionTexts) {
  const std::string name(250, 'x');
  also_->header.long_options = name.c_str();
  also_->header.glossary = "g";
  test::StdoutCapture out;
  printArgumentGlossary(stdout, &table_, "%s|%s\n");
  const std::string text = out.Text();
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), "-a, --alpha, --alpine|alpha flag\n");
  EXPECT_NE(text.find("--" + std::string(197, 'x') + "|g\n"), std::string::npos);
}

TEST_F(SmallTable, LongNamesMatchByUniquePrefix) {
  EXPECT_EQ(Parse({"--alp", "f"}), 0);  // "alp" starts two names, both of one entry
  EXPECT_EQ(alpha_->header.count, 1);
  EXPECT_EQ(Parse({"--also", "f"}), 0);
  EXPECT_EQ(also_->header.count, 1);
  EXPECT_EQ(Parse({"--als", "f"}), 0);
  EXPECT_EQ(also_->header.count, 1);
  EXPECT_EQ(Parse({"--al", "f"}), 1);  // alpha, alpine and also: two entries
  EXPECT_EQ(Errors(), "prog: invalid option \"--al\"\n");
  EXPECT_EQ(Parse({"--s", "x", "--say=y", "f"}), 0);
  EXPECT_EQ(Values(say_), (std::vector<std::string>{"x", "y"}));
}

TEST_F(SmallTable, RepeatedFlagIsExtraneous) {
  EXPECT_EQ(Parse({"-aa", "f"}), 1);
  EXPECT_EQ(Errors(), "prog: extraneous option -a|--alpha|--alpine\n");
}

TEST_F(SmallTable, WildcardNamesTakeTheWholeArgument) {
  EXPECT_EQ(Parse({"--set-=x", "--set-a1=y=z", "f"}), 0);
  EXPECT_EQ(Values(set_), (std::vector<std::string>{"set-=x", "set-a1=y=z"}));
  EXPECT_EQ(Parse({"--set-a1", "y", "f"}), 1);  // without '=' no wildcard matches
  EXPECT_EQ(Errors(), "prog: invalid option \"--set-a1\"\n");
  EXPECT_EQ(Parse({"--set=x", "f"}), 1);  // the part before '*' is never abbreviated
  EXPECT_EQ(Errors(), "prog: invalid option \"--set=x\"\n");
}

TEST_F(SmallTable, EmptyValueAfterEqualsIsMissingButScanned) {
  EXPECT_EQ(Parse({"--say=", "f"}), 1);
  EXPECT_EQ(end_->errors[0].code, kArgumentMissingValue);
  EXPECT_EQ(Values(say_), std::vector<std::string>{""});
  EXPECT_EQ(Errors(), "prog: option \"--say=\" requires an argument\n");
}

TEST_F(SmallTable, ShortOptions) {
  EXPECT_EQ(Parse({"-an5", "-sv", "-s", "-w", "f"}), 0);
  EXPECT_EQ(alpha_->header.count, 1);
  EXPECT_EQ(number_->values[0], 5);
  EXPECT_EQ(Values(say_), (std::vector<std::string>{"v", "-w"}));
  EXPECT_EQ(Parse({"-zy", std::string("-\x02"), "f", "-n"}), 4);
  EXPECT_EQ(Errors(),
            "prog: invalid option \"-z\"\n"
            "prog: invalid option \"-y\"\n"
            "prog: invalid option \"-\\x02\"\n"  // shown escaped, as log lines show it
            "prog: option \"-n\" requires an argument\n");
  EXPECT_EQ(end_->errors[0].code, 'z');
}

TEST_F(SmallTable, PositionalArgumentsFillEntriesInOrder) {
  EXPECT_EQ(Parse({"a", "-a", "b", "c"}), 0);
  EXPECT_EQ(Values(first_), std::vector<std::string>{"a"});
  EXPECT_EQ(Values(rest_), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(Parse({"a", "b", "c", "d", "e"}), 2);
  EXPECT_EQ(Errors(), "prog: excess option d\nprog: unexpected argument \"e\"\n");
  EXPECT_EQ(end_->errors[0].parent, &rest_->header);
  EXPECT_EQ(Parse({"-a"}), 1);  // checks run: "first" is missing
  EXPECT_EQ(Errors(), "prog: missing option first\n");
}

TEST_F(SmallTable, ChecksRunOnlyWithoutScanErrors) {
  EXPECT_EQ(Parse({"--set-a=1", "--set-b=2", "f"}), 0);
  EXPECT_EQ(conversions_, 1);
  EXPECT_EQ(Parse({"--set-a=1", "--bad", "f"}), 1);
  EXPECT_EQ(conversions_, 1);
  EXPECT_EQ(Parse({"--set-a=1", "--set-b=2", "--set-c=3", "f"}), 1);  // the conversion returns 7
  EXPECT_EQ(end_->errors[0].code, 7 * kArgumentConversionScale);
  EXPECT_EQ(Errors(), "prog: conversion 7\n");
}

TEST_F(SmallTable, FullSlotsEndWithTooManyErrors) {
  EXPECT_EQ(Parse({"--x1", "--x2", "--x3", "f"}), 3);
  EXPECT_EQ(Parse({"--x1", "--x2", "--x3", "--x4", "--x5", "f"}), 4);
  EXPECT_EQ(Errors(),
            "prog: invalid option \"--x1\"\n"
            "prog: invalid option \"--x2\"\n"
            "prog: invalid option \"--x3\"\n"
            "prog: too many errors to display\n");
}

TEST_F(SmallTable, PosixlyCorrectEndsOptionsAtTheFirstArgument) {
  setenv("POSIXLY_CORRECT", "", 1);  // set, even empty
  EXPECT_EQ(Parse({"-a", "f", "-n", "1"}), 0);
  unsetenv("POSIXLY_CORRECT");
  EXPECT_EQ(alpha_->header.count, 1);
  EXPECT_EQ(number_->header.count, 0);
  EXPECT_EQ(Values(first_), std::vector<std::string>{"f"});
  EXPECT_EQ(Values(rest_), (std::vector<std::string>{"-n", "1"}));
}

TEST(ArgumentTable, CheckFindsMissingEntries) {
  cArgumentTable_t table{};
  EXPECT_FALSE(checkArgumentTable(&table));
  ASSERT_NE(vecPush(&table, &argumentFlagNew("a", nullptr, nullptr)->header), nullptr);
  EXPECT_FALSE(checkArgumentTable(&table));  // no end entry
  ASSERT_NE(vecPush(&table, static_cast<cArgumentEntry_t*>(nullptr)), nullptr);
  ASSERT_NE(vecPush(&table, &argumentEndNew(20)->header), nullptr);
  EXPECT_FALSE(checkArgumentTable(&table));  // a constructor failed
  freeArgumentTable(&table);
}

}  // namespace
