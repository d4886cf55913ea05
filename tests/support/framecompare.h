#pragma once
// A conversion's frames compared with the model's (recordingdraw.h), kind by kind: every way
// they differ (the count, each field of the output layout, the data bytes, the time to the
// nanosecond or to the nearest microsecond), each with the first frame that shows it.
#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/recordingdraw.h"

namespace test {

/// One way an output differs from the model: what differs ("CAN_DataFrame.IDE", "header
/// time flags", ...) and the first example of it.
struct FrameDifference {
  std::string what;
  std::string example;
};

namespace compare_detail {

inline std::string HexOf(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : bytes) text += {kDigits[byte >> 4], kDigits[byte & 15]};
  return text.empty() ? "(none)" : text;
}

inline std::string FrameText(const BusFrame& frame) {
  std::ostringstream text;
  text << GroupNameOf(frame.kind) << " at " << frame.time_ns << " ns";
  for (const auto& [name, value] : frame.fields) text << " " << name << "=" << value;
  if (HasDataBytes(frame.kind)) text << " data " << HexOf(frame.data);
  return text.str();
}

// By time, then by fields: the order of the output, where frames that share a time are compared
// in one order whatever order their groups gave them.
inline void SortByTime(std::vector<BusFrame>& frames) {
  std::stable_sort(frames.begin(), frames.end(), [](const BusFrame& a, const BusFrame& b) {
    return std::tie(a.time_ns, a.fields, a.data) < std::tie(b.time_ns, b.fields, b.data);
  });
}

inline bool TimeAgrees(const BusFrame& want, const BusFrame& got) {
  const auto late = static_cast<int64_t>(got.time_ns - want.time_ns);  // modulo 2^64: negative ones wrap
  return want.exact_time ? late == 0 : late <= 500 && late >= -500;
}

// How unlike the frames are: 1 for the time and for each field that differs, for the data
// bytes 1 where one holds the other's first and 2 where they differ otherwise.
inline size_t Mismatches(const BusFrame& want, const BusFrame& got) {
  size_t count = TimeAgrees(want, got) ? 0 : 1;
  for (const auto& [name, value] : want.fields) {
    const auto written = got.fields.find(name);
    if (written == got.fields.end() || written->second != value) ++count;
  }
  if (want.data == got.data) return count;
  const size_t common = std::min(want.data.size(), got.data.size());
  return count +
         (std::equal(want.data.begin(), want.data.begin() + static_cast<std::ptrdiff_t>(common), got.data.begin()) ? 1
                                                                                                                   : 2);
}

// `got` reordered so that each expected frame, in time order, has the written frame most like
// it: frames paired whatever became of their times or of one of their fields.
inline std::vector<BusFrame> PairedByLikeness(const std::vector<BusFrame>& want, const std::vector<BusFrame>& got) {
  std::vector<bool> taken(got.size(), false);
  std::vector<BusFrame> paired;
  for (const BusFrame& w : want) {
    size_t best = got.size();
    size_t best_mismatches = 0;
    for (size_t j = 0; j < got.size(); ++j) {
      if (taken[j]) continue;
      const size_t mismatches = Mismatches(w, got[j]);
      if (best == got.size() || mismatches < best_mismatches) {
        best = j;
        best_mismatches = mismatches;
      }
      if (mismatches == 0) break;
    }
    taken[best] = true;
    paired.push_back(got[best]);
  }
  return paired;
}

// The ways the paired frames differ, each with its first example; the number of their
// mismatches (times, fields and data bytes).
inline size_t CompareFrames(const std::vector<BusFrame>& want, const std::vector<BusFrame>& got,
                            std::vector<FrameDifference>& differences) {
  size_t mismatches = 0;
  std::map<std::string, bool> seen;
  const std::string group = GroupNameOf(want.front().kind);
  for (size_t i = 0; i < want.size(); ++i) {
    const BusFrame& w = want[i];
    const BusFrame& g = got[i];
    mismatches += Mismatches(w, g);
    const auto note = [&](const std::string& what, const std::string& example) {
      if (seen.emplace(what, true).second) {
        differences.push_back(
            {what, example + " (frame " + std::to_string(w.source) + " of the recording: " + FrameText(w) + ")"});
      }
    };
    if (!TimeAgrees(w, g)) {
      note(group + (w.exact_time ? " time" : " time (to the microsecond)"),
           "written at " + std::to_string(g.time_ns) + " ns, " +
               std::to_string(static_cast<int64_t>(g.time_ns - w.time_ns)) + " ns late");
    }
    for (const std::string& field : OutputFieldsOf(w.kind)) {
      const auto written = g.fields.find(field);
      if (written == g.fields.end()) {
        note(group + "." + field + " missing", "the output has no such channel");
      } else if (written->second != w.fields.at(field)) {
        note(group + "." + field,
             "written " + std::to_string(written->second) + ", expected " + std::to_string(w.fields.at(field)));
      }
    }
    if (HasDataBytes(w.kind) && g.data != w.data) {
      note(group + ".DataBytes", "written " + HexOf(g.data) + ", expected " + HexOf(w.data));
    }
  }
  return mismatches;
}

}  // namespace compare_detail

/// Every way the output's frames differ from the expected ones, kind by kind: the count, then
/// each field, the data bytes and the time (exact, or within 500 ns where the model's time is
/// no whole microsecond), with the first frame that shows it. The frames are paired in time
/// order, or each with the written one most like it where that pairs more of them alike (when
/// times went wrong).
inline std::vector<FrameDifference> FrameDifferences(const std::vector<BusFrame>& expected,
                                                     const std::vector<BusFrame>& actual) {
  using namespace compare_detail;
  std::vector<FrameDifference> differences;
  for (const BusKind kind : kBusKinds) {
    std::vector<BusFrame> want;
    std::vector<BusFrame> got;
    for (const BusFrame& frame : expected)
      if (frame.kind == kind) want.push_back(frame);
    for (const BusFrame& frame : actual)
      if (frame.kind == kind) got.push_back(frame);
    if (want.size() != got.size()) {
      SortByTime(want);
      SortByTime(got);
      differences.push_back({std::string(GroupNameOf(kind)) + " frame count",
                             std::to_string(got.size()) + " frames, expected " + std::to_string(want.size()) +
                                 (want.empty() ? "" : "; first expected: " + FrameText(want.front())) +
                                 (got.empty() ? "" : "; first written: " + FrameText(got.front()))});
      continue;
    }
    if (want.empty()) continue;
    SortByTime(want);
    SortByTime(got);
    std::vector<FrameDifference> by_time;
    const size_t mismatches = CompareFrames(want, got, by_time);
    if (mismatches > 0) {
      std::vector<FrameDifference> by_likeness;
      if (CompareFrames(want, PairedByLikeness(want, got), by_likeness) < mismatches) by_time = by_likeness;
    }
    differences.insert(differences.end(), by_time.begin(), by_time.end());
  }
  return differences;
}

}  // namespace test
