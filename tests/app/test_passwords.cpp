#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/passwords.h"
#include "platform/log.h"
#include "support/loglines.h"
#include "support/outputcapture.h"

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
    ok_ = parsePasswords(text.c_str(), &store_);
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
      // The text ends at its first zero byte.
      {std::string("\"00000005\": \"e\"\n\0\"00000006\": \"f\"\n", 34), {{"00000005", "e"}}},
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

}  // namespace
