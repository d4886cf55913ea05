#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/passwords.h"
#include "platform/log.h"
#include "support/loglines.h"
#include "support/outputcapture.h"
#include "support/tempdir.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Text(const cStr_t& string) { return {cStrData(&string), static_cast<size_t>(cStrLength(&string))}; }

class Passwords : public testing::Test {
 protected:
  void TearDown() override {
    passwordStoreRelease(&store_);
    logSetLevel(kLogThresholdOff);
  }

  // Parses into a fresh store with warnings visible; the pairs in key order.
  Pairs Parse(const std::string& text) {
    passwordStoreRelease(&store_);
    test::StderrCapture err;
    logSetLevel(kLogWarning);
    ok_ = parsePasswords({text.data(), static_cast<int64_t>(text.size())}, &store_);
    logSetLevel(kLogThresholdOff);
    log_ = test::LogLines(err.Text());
    Pairs pairs;
    for (uint32_t i = hashMapNext(&store_, 0); i < store_.buckets; i = hashMapNext(&store_, i + 1)) {
      pairs.emplace_back(Text(store_.entries[i].key), Text(store_.entries[i].password));
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
  }

  std::string For(uint32_t device) const {
    const cStr_t* password = passwordForDevice(&store_, device);
    return password == nullptr ? "<none>" : Text(*password);
  }

  cPasswordStore_t store_{};
  bool ok_ = false;
  std::vector<std::string> log_;
};

TEST_F(Passwords, DeviceKeyAndDefault) {
  EXPECT_EQ(Parse("{\n  \"0000ABCD\": \"mine\",\n  \"default\": \"everyone\"\n}\n"),
            (Pairs{{"0000ABCD", "mine"}, {"default", "everyone"}}));
  EXPECT_TRUE(ok_);
  EXPECT_EQ(For(0x0000ABCD), "mine");
  EXPECT_EQ(For(0x0000ABCE), "everyone");
}

TEST_F(Passwords, OnlyEightUpperCaseDigitsMatchADevice) {
  EXPECT_EQ(Parse("\"0000abcd\": \"lower\"\n\"ABCD\": \"short\"\n"), (Pairs{{"0000abcd", "lower"}, {"ABCD", "short"}}));
  EXPECT_EQ(For(0x0000ABCD), "<none>");
  EXPECT_EQ(Parse("\"\": \"empty key\"\n"), (Pairs{{"", "empty key"}}));
  EXPECT_EQ(For(0), "<none>");
}

TEST_F(Passwords, ValuesRunToTheLastQuoteOfTheirLine) {
  struct Case {
    std::string text;
    Pairs pairs;
  };
  const Case cases[] = {
      {"\"0000ABCD\": \"pa\"ss\" word\" ,\n", {{"0000ABCD", "pa\"ss\" word"}}},
      // Two pairs on one line: the first key takes the rest of the line.
      {"\"00000001\": \"a\", \"00000002\": \"b\"\n", {{"00000001", "a\", \"00000002\": \"b"}}},
      {"\"00000001\": \"a\",\n\"00000002\": \"b\"\n", {{"00000001", "a"}, {"00000002", "b"}}},
      // Keys that are not hexadecimal are skipped; the search goes on.
      {"\"device\": \"x\",\n\"defaults\": \"y\",\n\"00000003\": \"c\"", {{"00000003", "c"}}},
      {"{\"default\":\"z\"}", {{"default", "z"}}},
      {"\"00000004\": \"no end\n", {}},
      {"", {}},
      {"no pairs at all\n", {}},
      // Bytes that are no UTF-8 (a Latin-1 password) pass through unchanged.
      {"\"default\": \"caf\xE9 \xFF\xC3(\"\n", {{"default", "caf\xE9 \xFF\xC3("}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parse(c.text), c.pairs) << c.text;
    EXPECT_TRUE(ok_) << c.text;
    EXPECT_TRUE(log_.empty()) << c.text;
  }
}

TEST_F(Passwords, DuplicateKeyKeepsTheFirstPassword) {
  EXPECT_EQ(Parse("\"default\": \"one\"\n\"0000ABCD\": \"x\"\n\"default\": \"two\"\n"),
            (Pairs{{"0000ABCD", "x"}, {"default", "one"}}));
  EXPECT_TRUE(ok_);
  EXPECT_EQ(log_, std::vector<std::string>{"W Failed to insert key for \"default\" in password storage"});
}

TEST_F(Passwords, ManyPairsGrowTheStore) {
  std::string text;
  for (int i = 0; i < 500; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "\"%08X\": \"password %d with a long tail\",\n", i, i);
    text += line;
  }
  EXPECT_EQ(Parse(text).size(), 500u);
  EXPECT_EQ(For(0x1F3), "password 499 with a long tail");
}

// A zero byte ends no text: its line gives no pair and is reported by number, and the lines
// before and after it are read as usual.
TEST_F(Passwords, NulByteSkipsItsLineOnly) {
  using namespace std::string_literals;
  struct Case {
    std::string name;
    std::string text;
    Pairs pairs;
    std::vector<std::string> log;
  };
  const auto skipped = [](int line) {
    return "E Password file line " + std::to_string(line) + " holds a NUL byte and is skipped";
  };
  const Case cases[] = {
      {"inside a value",
       "\"00000001\": \"a\"\n\"00000002\": \"b\0c\"\n\"00000003\": \"c\"\n"s,
       {{"00000001", "a"}, {"00000003", "c"}},
       {skipped(2)}},
      // What follows the zero byte on its line cannot come back as a pair of its own.
      {"before a pair on its line", "\0\"00000001\": \"a\"\n\"00000002\": \"b\"\n"s, {{"00000002", "b"}}, {skipped(1)}},
      {"after a pair on its line", "\"00000001\": \"a\",\0\n\"00000002\": \"b\"\n"s, {{"00000002", "b"}}, {skipped(1)}},
      {"last line without its end", "{\n\"00000001\": \"a\"\n\"00000002\": \"b\0"s, {{"00000001", "a"}}, {skipped(3)}},
      {"two on one line", "\n\n\"00000001\": \0\"a\0\"\n\"default\": \"d\"\n"s, {{"default", "d"}}, {skipped(3)}},
      // Line numbers keep counting across skipped lines and blank ones.
      {"three lines",
       "\0\n\"00000001\": \"a\"\n\n\0\0\n\"00000002\": \"b\"\n\"00000003\":\0\"c\"\n"s,
       {{"00000001", "a"}, {"00000002", "b"}},
       {skipped(1), skipped(4), skipped(6)}},
      {"only a zero byte", "\0"s, {}, {skipped(1)}},
      // Once the end of the whole text: the pair behind the zero byte shares its line.
      {"at a line start", "\"00000005\": \"e\"\n\0\"00000006\": \"f\"\n"s, {{"00000005", "e"}}, {skipped(2)}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parse(c.text), c.pairs) << c.name;
    EXPECT_TRUE(ok_) << c.name;
    EXPECT_EQ(log_, c.log) << c.name;
  }
}

TEST_F(Passwords, FileWithANulByteLoadsTheOtherLines) {
  using namespace std::string_literals;
  test::TempDir dir;
  const std::string file =
      dir.Write("passwords.json", "{\n\"0000ABCD\": \"mine\",\n\"0000ABCE\": \"\0\",\n\"default\": \"everyone\"\n}\n"s);
  cStr_t path{};
  ASSERT_TRUE(cStrInit(&path, cStrViewOf(file.c_str())));
  int status = 129;
  test::StderrCapture err;
  logSetLevel(kLogError);
  const bool loaded = loadPasswords(&path, &store_, &status);
  logSetLevel(kLogThresholdOff);
  cStrRelease(&path);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(status, 129);
  EXPECT_EQ(test::LogLines(err.Text()),
            std::vector<std::string>{"E Password file line 3 holds a NUL byte and is skipped"});
  EXPECT_EQ(store_.size, 2U);
  EXPECT_EQ(For(0x0000ABCD), "mine");
  EXPECT_EQ(For(0x0000ABCE), "everyone");
}

// Device keys differ only in their last digits; a store of many of them once took time
// quadratic in their number (they shared one probe run). Duplicates keep their first password.
TEST_F(Passwords, TwoHundredThousandDeviceKeys) {
  constexpr uint32_t kKeys = 200000;
  std::string text = "{\n";
  char line[80];
  for (uint32_t i = 0; i < kKeys; ++i) {
    std::snprintf(line, sizeof line, "  \"%08X\": \"password %u\",\n", static_cast<unsigned>(i), i);
    text += line;
  }
  for (const uint32_t again : {0U, 77777U, kKeys - 1}) {
    std::snprintf(line, sizeof line, "  \"%08X\": \"later %u\",\n", static_cast<unsigned>(again), again);
    text += line;
  }
  text += "  \"default\": \"everyone\"\n}\n";

  const Pairs pairs = Parse(text);
  EXPECT_TRUE(ok_);
  EXPECT_EQ(pairs.size(), kKeys + 1);
  EXPECT_EQ(log_, (std::vector<std::string>{"W Failed to insert key for \"00000000\" in password storage",
                                            "W Failed to insert key for \"00012FD1\" in password storage",
                                            "W Failed to insert key for \"00030D3F\" in password storage"}));
  EXPECT_EQ(For(0), "password 0");
  EXPECT_EQ(For(77777), "password 77777");
  EXPECT_EQ(For(kKeys - 1), "password 199999");
  EXPECT_EQ(For(kKeys), "everyone");
  for (uint32_t device = 1; device < kKeys; device += 997) {
    ASSERT_EQ(For(device), "password " + std::to_string(device)) << device;
  }
  // The keys spread over the table: no run of occupied buckets comes near their number.
  uint32_t longest = 0;
  for (uint32_t i = 0, run = 0; i < store_.buckets; ++i) {
    run = store_.control[i] == 0 ? 0 : run + 1;
    longest = run > longest ? run : longest;
  }
  EXPECT_LT(longest, 1000U);
}

}  // namespace
