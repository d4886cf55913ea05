#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/demux_rules.h"
#include "platform/log.h"
#include "support/loglines.h"
#include "support/outputcapture.h"

namespace {

struct Rules {
  int result;
  std::vector<std::pair<uint64_t, std::vector<int>>> entries;  // in bucket order
  std::vector<std::string> log;
};

// Runs the rules as the "muxtp-can*" entry's conversion does, with errors made visible.
Rules Parse(const std::vector<std::string>& values) {
  cArgumentString_t* entry =
      argumentStringNew(nullptr, "muxtp-can*", nullptr, 0, 63, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(entry, nullptr);
  for (const auto& value : values) EXPECT_EQ(entry->header.ops->scan(&entry->header, value.c_str()), 0);
  cDemuxMap_t map{};
  Rules rules{};
  {
    test::StderrCapture err;
    logSetLevel(kLogError);
    rules.result = parseMuxtpArg(entry, &map);
    logSetLevel(kLogThresholdOff);
    rules.log = test::LogLines(err.Text());
  }
  for (uint32_t i = hashMapNext(&map, 0); i < map.buckets; i = hashMapNext(&map, i + 1)) {
    const cDemuxEntry_t& e = map.entries[i];
    rules.entries.push_back({e.key, std::vector<int>(e.targets, e.targets + 4)});
  }
  hashMapRelease(&map);
  freeArgumentEntry(&entry->header);
  return rules;
}

using Entries = std::vector<std::pair<uint64_t, std::vector<int>>>;

TEST(DemuxRules, RulesBecomeKeysAndTargets) {
  struct Case {
    std::string value;
    Entries entries;
  };
  const Case cases[] = {
      {"muxtp-can2=010#3:4:5:6", {{0x0000001000000002, {3, 4, 5, 6}}}},
      {"muxtp-can1=7fF#0:0:0:255", {{0x000007FF00000001, {0, 0, 0, 255}}}},
      {"muxtp-can1=18FF0001#1:2:3:4", {{0x98FF000100000001, {1, 2, 3, 4}}}},  // 8 digits: extended
      {"muxtp-can3=00000010#1:2:3:4", {{0x8000001000000003, {1, 2, 3, 4}}}},
      {"muxtp-can258=010#300:4:5:6", {{0x0000001000000002, {44, 4, 5, 6}}}},  // low 8 bits
      {"muxtp-can4294967295=abc#4294967295:0:0:1", {{0x00000ABC000000FF, {255, 0, 0, 1}}}},
      // Numbers that do not fit 32 bits, and digits \d knows but a number does not, drop the rule.
      {"muxtp-can4294967296=010#3:4:5:6", {}},
      {"muxtp-can2=010#4294967296:4:5:6", {}},
      {"muxtp-can2=010#3:4:5:99999999999999999999", {}},
      {"muxtp-can\xD9\xA2=010#3:4:5:6", {}},
      {"muxtp-can2=0\xD9\xA2"
       "0#3:4:5:6",
       {}},
  };
  for (const auto& c : cases) {
    const Rules rules = Parse({c.value});
    EXPECT_EQ(rules.result, 0);
    EXPECT_EQ(rules.entries, c.entries) << c.value;
    EXPECT_TRUE(rules.log.empty()) << c.value;
  }
}

TEST(DemuxRules, ValuesThatAreNoRulesAreReportedAndLeftOut) {
  const Rules rules =
      Parse({"muxtp-can2=0a0B#3:4:5:6", "muxtp-can2=010#3:4:5", "muxtp-canx=010#3:4:5:6", "muxtp-can5=123#1:2:3:4"});
  EXPECT_EQ(rules.result, 0);
  EXPECT_EQ(rules.entries, (Entries{{0x0000012300000005, {1, 2, 3, 4}}}));
  EXPECT_EQ(rules.log, (std::vector<std::string>{"E Invalid muxtp-can argument, muxtp-can2=0a0B#3:4:5:6",
                                                 "E Invalid muxtp-can argument, muxtp-can2=010#3:4:5",
                                                 "E Invalid muxtp-can argument, muxtp-canx=010#3:4:5:6"}));
}

TEST(DemuxRules, FirstRuleForAChannelAndIdentifierWins) {
  const Rules rules = Parse({"muxtp-can2=010#3:4:5:6", "muxtp-can258=010#7:7:7:7", "muxtp-can2=00000010#1:1:1:1"});
  EXPECT_EQ(rules.entries, (Entries{{0x0000001000000002, {3, 4, 5, 6}}, {0x8000001000000002, {1, 1, 1, 1}}}));
  EXPECT_EQ(rules.log, std::vector<std::string>{"E Mux configuration already mapped"});
}

TEST(DemuxRules, ManyRulesGrowTheMap) {
  std::vector<std::string> values;
  for (int channel = 0; channel < 63; ++channel)
    values.push_back("muxtp-can" + std::to_string(channel) + "=010#1:2:3:4");
  const Rules rules = Parse(values);
  EXPECT_EQ(rules.entries.size(), 63u);
  EXPECT_TRUE(rules.log.empty());
}

}  // namespace
