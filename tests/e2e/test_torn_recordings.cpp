// Unfinalized recordings in each layout loggers write, torn where a logger lost power: the
// built logmend with "-d" over a folder of every cut of one layout, plain and zero-padded to
// the next 512 bytes and 4 KiB. The whole frames of each cut are known from the bytes the test kit wrote
// (tornrecording.h), not from our reader. An input that "-d" removes must give exactly those
// frames; one it keeps must be damage (status 8, one line) and its output may hold no frame
// that is not whole. A plain cut is what a power loss leaves: it must convert (but for the
// cuts of signal data written after the records, see MayBeKeptAsDamage).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "e2e/logmendrun.h"
#include "support/tornrecording.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary
using test::LoggerLayout;
using test::TornRecording;

// Every byte in the release build. Under the sanitizers, where that takes minutes, every
// nineteenth: no record size (20, 24, 5 to 69) and no block (280) is a multiple of it, so the
// cuts still meet every field of every kind of record, in and across blocks.
#ifdef LOGMEND_SANITIZED
constexpr uint64_t kTearStride = 19;
#else
constexpr uint64_t kTearStride = 1;
#endif

// A plain cut the bytes cannot tell from a torn record that padding completed may keep its
// input with status 8 (its output still holding no frame that is not whole): a file that ends
// where a file system's padding may end (a multiple of 512 bytes) in a zero byte.
bool Unresolvable(const std::vector<uint8_t>& bytes) {
  return !bytes.empty() && bytes.size() % 512 == 0 && bytes.back() == 0;
}

// Payloads in signal data after the records: until that block is whole and linked, the records
// stand with a data link of 0 (a CAN record needs it) or with a growing SD block, which the
// reader takes for damage. Keeping such an input is conservative (nothing removed, nothing
// invented), so in these layouts a plain cut from the first record up to the whole file may
// be kept; it is still held to every other rule, and its clean share is printed.
bool MayBeKeptAsDamage(const TornRecording& recording, uint64_t size) {
  return test::IsSignalDataAfterLayout(recording.Layout()) && !recording.Records().empty() &&
         size > recording.Records().front().extent.begin && size < recording.Whole().size();
}

// How a cut ends: as the logger's last byte left it, or zero-padded up to the next sector (the
// least a file system grows a file by) or 4 KiB page.
enum Padding : size_t { kPlain, kToSector, kToPage, kPaddings };
constexpr uint64_t kPaddingBoundary[kPaddings] = {0, 512, TornRecording::kPaddingBoundary};
constexpr const char* kPaddingName[kPaddings] = {"plain", "padded to 512 bytes", "padded to 4 KiB"};
constexpr const char* kPaddingPrefix[kPaddings] = {"p-", "s-", "z-"};

struct Cut {
  uint64_t size;
  Padding padding;
  std::string name;  // below "in/", without ".MF4"
};

/// The damage line of each input by its name below "in/", and the inputs that failed.
struct Outcomes {
  std::map<std::string, std::string> damage;
  std::set<std::string> failed;
};

Outcomes OutcomesOf(const test::ProgramResult& result) {
  Outcomes outcomes;
  const std::string damaged = "E Damaged input file in/";
  const std::string failed = "E Error during conversion of in/";
  for (const std::string& line : result.Lines()) {
    if (line.rfind(damaged, 0) == 0) {
      const size_t colon = line.find(".MF4: ", damaged.size());
      if (colon != std::string::npos) {
        outcomes.damage[line.substr(damaged.size(), colon - damaged.size())] = line.substr(colon + 6);
      }
    }
    if (line.rfind(failed, 0) == 0) outcomes.failed.insert(line.substr(failed.size(), line.size() - failed.size() - 4));
  }
  return outcomes;
}

/// A damage text with its numbers left out, so that the cuts one kind of damage keeps count
/// together.
std::string WithoutNumbers(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
      if (text.compare(i, 2, "0x") == 0) ++i;
      while (i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) != 0) ++i;
      out += 'N';
    } else {
      out += text[i];
    }
  }
  return out;
}

/// The faults of a sweep, by what the tool did and where the cut fell, with the cuts that show
/// each; they are reported one failure per kind, so a sweep names every kind it meets.
class Faults {
 public:
  void Add(const std::string& kind, const Cut& cut, const std::string& detail) {
    Entry& entry = faults_[kind];
    ++entry.count;
    if (entry.examples.size() < kExamples) {
      entry.examples.push_back(std::string(kPaddingName[cut.padding]) + " " + std::to_string(cut.size) + " (" + detail +
                               ")");
    }
  }
  void Report(const char* layout) const {
    for (const auto& [kind, entry] : faults_) {
      std::string examples;
      for (const std::string& example : entry.examples) examples += "\n    " + example;
      ADD_FAILURE() << layout << ": " << entry.count << " cuts: " << kind << examples;
    }
  }

 private:
  static constexpr size_t kExamples = 6;
  struct Entry {
    size_t count = 0;
    std::vector<std::string> examples;
  };
  std::map<std::string, Entry> faults_;
};

std::string Counted(size_t count, const char* what) { return std::to_string(count) + " " + what; }

double Percent(size_t part, size_t whole) {
  return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

class TornRecordings : public LogmendRun, public ::testing::WithParamInterface<LoggerLayout> {
 protected:
  // Thousands of inputs, each removed after two syncs: in memory where there is such a file system.
  TornRecordings() : LogmendRun(FastBase()) {}

  /// The frames of an output, read once per distinct content.
  const std::vector<Frame>& FramesOf(const std::string& name) {
    const std::string content = Read(name);
    auto found = read_.find(content);
    if (found == read_.end()) found = read_.emplace(content, ReadFrames(dir_.Path(name))).first;
    return found->second;
  }

  std::map<std::string, std::vector<Frame>> read_;
};

// A power loss at any byte of the data leaves a torn end, never damage: status 0 with exactly
// the whole frames. Zeros after the cut (a file system that grew the file first) may hide
// where the records end: then the input is kept as damage, with no frame that is not whole.
TEST_P(TornRecordings, EveryCutGivesExactlyItsWholeFramesOrIsKeptWithNoneInvented) {
  const LoggerLayout layout = GetParam();
  const TornRecording recording(layout);
  const RecordingInfo& info = recording.Info();
  std::vector<Cut> cuts;
  for (uint64_t size = recording.DataStart(); size <= recording.Whole().size(); size += kTearStride) {
    for (const Padding padding : {kPlain, kToSector, kToPage}) {
      const uint64_t boundary = kPaddingBoundary[padding];
      if (padding != kPlain && size % boundary == 0) continue;  // nothing to pad
      cuts.push_back({size, padding, kPaddingPrefix[padding] + std::to_string(size)});
      std::vector<uint8_t> bytes = recording.At(size, false);
      if (padding != kPlain) bytes.resize((size + boundary - 1) / boundary * boundary, 0);
      Write("in/" + cuts.back().name + ".MF4", {bytes.begin(), bytes.end()});
    }
  }
  const test::ProgramResult result = Run({"-d", "in"});
  EXPECT_TRUE(result.status == 0 || result.status == 8) << result.status << "\n" << result.err.substr(0, 4000);
  const Outcomes outcomes = OutcomesOf(result);

  Faults faults;
  size_t clean[kPaddings] = {};  // status 0
  size_t exact[kPaddings] = {};  // of them, with exactly the whole frames
  size_t total[kPaddings] = {};
  for (const Cut& cut : cuts) {
    ++total[cut.padding];
    std::vector<Frame> whole;
    for (const test::LoggedFrame& frame : recording.WholeAt(cut.size)) {
      whole.push_back(frame.is_can ? Expected(info, frame.can) : Expected(info, frame.lin));
    }
    std::sort(whole.begin(), whole.end());
    const std::string output = "in_out/" + cut.name + "_out.MF4";
    static const std::vector<Frame> kNone;
    const std::vector<Frame>& written = Exists(output) ? FramesOf(output) : kNone;
    std::vector<Frame> invented;
    std::set_difference(written.begin(), written.end(), whole.begin(), whole.end(), std::back_inserter(invented));
    std::vector<Frame> lost;
    std::set_difference(whole.begin(), whole.end(), written.begin(), written.end(), std::back_inserter(lost));
    const TornRecording::CutPlace place = recording.DescribeCut(cut.size);
    const std::string variant = std::string(kPaddingName[cut.padding]) + ", ";
    const std::string invented_text =
        invented.empty() ? "" : ", invented " + ::testing::PrintToString(invented.front());

    if (!Exists("in/" + cut.name + ".MF4")) {
      ++clean[cut.padding];
      exact[cut.padding] += invented.empty() && lost.empty();
      if (!invented.empty() || !lost.empty()) {
        const char* what = lost.empty()       ? "invented frames"
                           : invented.empty() ? "lost whole frames"
                                              : "lost and invented frames";
        faults.Add(variant + "removed (status 0), " + what + "; cut " + place.kind, cut,
                   place.detail + ", " + Counted(lost.size(), "lost") + ", " + Counted(invented.size(), "invented") +
                       invented_text);
      }
      continue;
    }
    const auto damage = outcomes.damage.find(cut.name);
    if (damage == outcomes.damage.end()) {
      faults.Add(variant + "kept without a damage line; cut " + place.kind, cut,
                 place.detail + (outcomes.failed.count(cut.name) > 0 ? ", failed" : ", no failure line"));
    }
    if (!invented.empty()) {
      faults.Add(variant + "kept (status 8) with invented frames; cut " + place.kind, cut,
                 place.detail + ", " + Counted(invented.size(), "invented") + invented_text);
    }
    if (cut.padding == kPlain && !Unresolvable(recording.At(cut.size, false)) &&
        !MayBeKeptAsDamage(recording, cut.size)) {
      const std::string text = damage == outcomes.damage.end() ? "?" : damage->second;
      faults.Add("plain, kept (status 8) \"" + WithoutNumbers(text) + "\"; cut " + place.kind, cut,
                 place.detail + ", " + Counted(written.size(), "frames") + " of " + std::to_string(whole.size()));
    }
  }
  faults.Report(test::LayoutName(layout));
  // The clean share: cuts that gave status 0, and of them those with exactly their whole frames.
  std::string shares;
  for (const Padding padding : {kPlain, kToSector, kToPage}) {
    char share[160];
    std::snprintf(share, sizeof share, "%s %s %zu/%zu (%.1f %%; exact %zu)", padding == kPlain ? "" : ",",
                  kPaddingName[padding], clean[padding], total[padding], Percent(clean[padding], total[padding]),
                  exact[padding]);
    shares += share;
  }
  std::printf("[ share    ] %s: status 0 at%s\n", test::LayoutName(layout), shares.c_str());
  const size_t checked = ExpectCheckerAcceptsEach("in_out");
  if (!test::Mdf4CheckTool().empty()) {
    EXPECT_GT(checked, 1U);
  }
}

INSTANTIATE_TEST_SUITE_P(EachLayout, TornRecordings, ::testing::ValuesIn(test::AllLoggerLayouts()),
                         [](const ::testing::TestParamInfo<LoggerLayout>& param) {
                           return std::string(test::LayoutName(param.param));
                         });

}  // namespace
