// Deterministic damage sweeps over the hand-built logger file and its unfinalized twin:
// every truncation and every single-byte flip is read through the whole reader. None may
// crash, hang or throw out of the reader, and a read that fails must have said why in the
// log at error level.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <ostream>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/logcapture.h"
#include "support/loggerfile.h"
#include "support/readerdrive.h"

namespace {

bool LoggedAnError(const test::LogCapture& log) {
  for (const auto& entry : log.entries) {
    if (entry.severity >= mdf::MdfLogSeverity::kError) return true;
  }
  return false;
}

// What the sweep saw: the damaged inputs that broke a rule, and how the others ended.
struct SweepResult {
  std::vector<std::string> broken;
  size_t succeeded = 0;
  size_t failed = 0;
};

void ReadDamaged(const std::string& label, const std::vector<uint8_t>& image, const test::ReadSteps& steps,
                 SweepResult& result) {
  test::LogCapture log;
  try {
    const test::ReadOutcome outcome = test::ReadAsUser(image, steps);
    if (outcome.Succeeded()) {
      ++result.succeeded;
    } else {
      ++result.failed;
      if (!LoggedAnError(log)) result.broken.push_back(label + ": failed without an error in the log");
    }
  } catch (const std::exception& error) {
    result.broken.push_back(label + ": threw " + error.what());
  }
}

// The positions of the cycle-count fields of the channel groups, found through the links:
// header link 0 to the data group, its link 1 to the first channel group, link 0 onwards.
std::vector<size_t> CycleCountFields(const std::vector<uint8_t>& image) {
  std::vector<size_t> fields;
  const test::BlockHeader data_group = test::HeaderAt(image, test::HeaderAt(image, 64).links.at(0));
  for (int64_t cg = data_group.links.at(1); cg != 0;) {
    const test::BlockHeader group = test::HeaderAt(image, cg);
    fields.push_back(static_cast<size_t>(cg) + 24 + 8 * group.links.size() + 8);  // behind the record id
    cg = group.links.at(0);
  }
  return fields;
}

std::string FirstOf(const std::vector<std::string>& lines, size_t count) {
  std::string text;
  for (size_t i = 0; i < lines.size() && i < count; ++i) text += "\n  " + lines[i];
  if (lines.size() > count) text += "\n  ... " + std::to_string(lines.size() - count) + " more";
  return text;
}

enum class Damage { kTruncation, kFlip };

struct SweepCase {
  const char* name;
  bool unfinalized;
  Damage damage;
};

void PrintTo(const SweepCase& sweep, std::ostream* out) { *out << sweep.name; }

class DamageSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(DamageSweep, NoCrashAndEveryFailureIsLogged) {
  const SweepCase& sweep = GetParam();
  const std::vector<uint8_t> image = test::LoggerFileBuilder(sweep.unfinalized).Build();

  // The undamaged file reads whole and quietly, or the sweep proves nothing.
  {
    test::LogCapture log;
    const test::ReadOutcome outcome = test::ReadAsUser(image);
    ASSERT_TRUE(outcome.Succeeded());
    ASSERT_EQ(outcome.observers, 9U);
    ASSERT_EQ(outcome.samples, 5U * 5U + 3U * 4U);
    ASSERT_GT(outcome.property_rows, 0U);
    ASSERT_FALSE(LoggedAnError(log));
  }

  // Known fault, being mended in the observers: IChannelObserver::ConvertedValues sizes its
  // result by the cycle count the file claims, not by the samples held, so a flipped count
  // asks for gigabytes. Those inputs are read whole but for that one step.
  const std::vector<size_t> cycle_counts = CycleCountFields(image);
  ASSERT_EQ(cycle_counts.size(), 2U);
  const auto in_cycle_count = [&cycle_counts](size_t at) {
    for (const size_t field : cycle_counts) {
      if (at >= field && at < field + 8) return true;
    }
    return false;
  };

  SweepResult result;
  for (size_t at = 0; at < image.size(); ++at) {
    std::vector<uint8_t> damaged = image;
    std::string label;
    test::ReadSteps steps;
    if (sweep.damage == Damage::kTruncation) {
      damaged.resize(at);
      label = "first " + std::to_string(at) + " bytes";
    } else {
      damaged[at] ^= 0xFF;
      label = "byte " + std::to_string(at) + " flipped";
      steps.converted_values = !in_cycle_count(at);
    }
    ReadDamaged(label, damaged, steps, result);
  }
  EXPECT_TRUE(result.broken.empty()) << result.broken.size() << " damaged inputs broke a rule:"
                                     << FirstOf(result.broken, 20);
  // Every truncation cuts records or blocks; the sweep must see failures, or it reads nothing.
  EXPECT_GT(result.failed, 0U);
}

INSTANTIATE_TEST_SUITE_P(LoggerFile, DamageSweep,
                         ::testing::Values(SweepCase{"FinalizedTruncated", false, Damage::kTruncation},
                                           SweepCase{"FinalizedFlipped", false, Damage::kFlip},
                                           SweepCase{"UnfinalizedTruncated", true, Damage::kTruncation},
                                           SweepCase{"UnfinalizedFlipped", true, Damage::kFlip}),
                         [](const ::testing::TestParamInfo<SweepCase>& info) { return std::string(info.param.name); });

}  // namespace
