// Deterministic damage sweeps over the hand-built logger file and its unfinalized twin:
// every truncation and every single-byte flip is read through the whole reader. None may
// crash, hang or throw out of the reader; a read that fails must have said why in the log
// at error level and count as damage; a truncation that cuts blocks the file declares whole
// must not pass for a clean read and counts as damage; and the reader's first damage is the
// text of a damage it logged.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
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
  size_t clean = 0;     // success, nothing logged at error level
  size_t reported = 0;  // success with a logged error
  size_t failed = 0;
  size_t damaged = 0;  // the reader says it met damage
};

bool Logged(const test::LogCapture& log, const std::string& text) {
  for (const auto& entry : log.entries) {
    if (entry.text == text) return true;
  }
  return false;
}

/// Reads one damaged image; `must_report` asks that the damage is not read as clean. `whole`,
/// when given, is the undamaged file's samples: a read without damage must take them all.
void ReadDamaged(const std::string& label, const std::vector<uint8_t>& image, const test::ReadSteps& steps,
                 bool must_report, SweepResult& result, size_t whole = 0) {
  test::LogCapture log;
  try {
    mdf::MdfReader reader(std::make_shared<test::MemoryBuffer>(image));
    const test::ReadOutcome outcome = test::ReadAsUser(reader, steps);
    const bool logged = LoggedAnError(log);
    if (reader.IsDamaged()) {
      ++result.damaged;
      if (!Logged(log, reader.FirstDamage())) result.broken.push_back(label + ": first damage never logged");
    } else if (outcome.has_file && (!outcome.Succeeded() || must_report)) {
      result.broken.push_back(label + ": not counted as damage");
    } else if (whole > 0 && outcome.has_file && outcome.samples != whole) {
      result.broken.push_back(label + ": " + std::to_string(outcome.samples) + " samples without damage");
    }
    if (!outcome.Succeeded()) {
      ++result.failed;
      if (!logged) result.broken.push_back(label + ": failed without an error in the log");
    } else if (logged) {
      ++result.reported;
    } else {
      ++result.clean;
      if (must_report) result.broken.push_back(label + ": read as clean");
    }
  } catch (const std::exception& error) {
    result.broken.push_back(label + ": threw " + error.what());
  }
}

// Where the sweep needs to know the layout, it follows the links as a reader does: header
// link 0 to the data group, its link 1 to the first channel group and link 2 to the list.
struct Layout {
  explicit Layout(const std::vector<uint8_t>& image) {
    const test::BlockHeader data_group = test::HeaderAt(image, test::HeaderAt(image, 64).links.at(0));
    for (int64_t cg = data_group.links.at(1); cg != 0; cg = test::HeaderAt(image, cg).links.at(0)) {
      ++channel_groups;
    }
    last_dt = static_cast<size_t>(test::HeaderAt(image, data_group.links.at(2)).links.back());
  }
  size_t channel_groups = 0;
  size_t last_dt = 0;  // the last DT block, which ends the file
};

std::string FirstOf(const std::vector<std::string>& lines, size_t count) {
  std::string text;
  for (size_t i = 0; i < lines.size() && i < count; ++i) text += "\n  " + lines[i];
  if (lines.size() > count) text += "\n  ... " + std::to_string(lines.size() - count) + " more";
  return text;
}

enum class Damage { kTruncation, kFlip };

// The undamaged logger file's samples: five CAN frames of five channels, three LIN frames of four.
constexpr size_t kWholeSamples = 5 * 5 + 3 * 4;

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
  const Layout layout(image);
  ASSERT_EQ(layout.channel_groups, 2U);
  ASSERT_EQ(test::HeaderAt(image, static_cast<int64_t>(layout.last_dt)).id, "##DT");

  // The undamaged file reads whole and quietly, or the sweep proves nothing.
  {
    test::LogCapture log;
    mdf::MdfReader reader(std::make_shared<test::MemoryBuffer>(image));
    const test::ReadOutcome outcome = test::ReadAsUser(reader);
    ASSERT_FALSE(reader.IsDamaged()) << reader.FirstDamage();
    ASSERT_TRUE(outcome.Succeeded());
    ASSERT_EQ(outcome.observers, 9U);
    ASSERT_EQ(outcome.samples, kWholeSamples);
    ASSERT_GT(outcome.property_rows, 0U);
    ASSERT_FALSE(LoggedAnError(log));
  }

  // A finalized file declares every block whole, so every cut is damage. The unfinalized
  // twin's last DT block runs to the end of the file: a cut into its records is a recording
  // that stopped there, but a cut before them is damage.
  const size_t last_records = layout.last_dt + 24;
  const auto must_report = [&](size_t size) { return !sweep.unfinalized || size < last_records; };

  SweepResult result;
  for (size_t at = 0; at < image.size(); ++at) {
    std::vector<uint8_t> damaged = image;
    std::string label;
    test::ReadSteps steps;
    bool report = false;
    if (sweep.damage == Damage::kTruncation) {
      damaged.resize(at);
      label = "first " + std::to_string(at) + " bytes";
      report = must_report(at);
    } else {
      damaged[at] ^= 0xFF;
      label = "byte " + std::to_string(at) + " flipped";
    }
    ReadDamaged(label, damaged, steps, report, result, sweep.damage == Damage::kFlip ? kWholeSamples : 0);
  }
  EXPECT_TRUE(result.broken.empty()) << result.broken.size()
                                     << " damaged inputs broke a rule:" << FirstOf(result.broken, 20);
  // Damage must be seen as such somewhere, or the sweep reads nothing.
  EXPECT_GT(result.failed, 0U);
  EXPECT_GT(result.reported, 0U);
  EXPECT_GT(result.damaged, 0U);
}

INSTANTIATE_TEST_SUITE_P(LoggerFile, DamageSweep,
                         ::testing::Values(SweepCase{"FinalizedTruncated", false, Damage::kTruncation},
                                           SweepCase{"FinalizedFlipped", false, Damage::kFlip},
                                           SweepCase{"UnfinalizedTruncated", true, Damage::kTruncation},
                                           SweepCase{"UnfinalizedFlipped", true, Damage::kFlip}),
                         [](const ::testing::TestParamInfo<SweepCase>& row) { return std::string(row.param.name); });

}  // namespace
