#pragma once
// A conversion's output read back into frames (recordingdraw.h's BusFrame) without our bus-log
// reader, so that neither its faults nor its interfaces stand between the model and the file:
// the header's time record straight from its bytes, each group's values through our MDF library
// (ReadOutputBack) or through the independent checker (ReadOutputsWithChecker, mdf4check
// --values), and the frames made of those values by the bus-logging layout's names alone.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "support/mdf4check.h"
#include "support/readback.h"
#include "support/recordingdraw.h"

namespace test {

struct OutputChannel {
  std::string name;
  uint8_t type = 0;  // 2: the master
  uint8_t data_type = 0;
  int conversion = -1;                      // its type; -1: none
  std::vector<double> parameters;           // of a linear one: offset, factor
  std::vector<uint64_t> values;             // numbers, one per sample
  std::vector<std::vector<uint8_t>> bytes;  // byte arrays, one per sample
};

struct OutputGroup {
  std::string name;  // the acquisition name
  std::vector<OutputChannel> channels;
};

struct OutputFile {
  std::string problem;  // why it could not be read; empty when it was
  uint64_t start_ns = 0;
  int16_t tz_offset_min = 0;
  int16_t dst_offset_min = 0;
  uint8_t time_flags = 0;
  std::vector<OutputGroup> groups;
};

namespace output_detail {

inline bool IsByteArray(uint8_t data_type) { return data_type >= 10 && data_type <= 12; }

inline uint64_t Le(const std::vector<uint8_t>& bytes, size_t at, int width) {
  uint64_t value = 0;
  for (int i = width; i-- > 0;) value = value << 8 | bytes[at + static_cast<size_t>(i)];
  return value;
}

inline bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
    if (error != std::errc() || end != text.data() + i + 2) return false;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

template <typename T>
bool ParseNumber(const std::string& text, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

inline std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (size_t tab; (tab = line.find('\t', begin)) != std::string::npos; begin = tab + 1) {
    parts.push_back(line.substr(begin, tab - begin));
  }
  parts.push_back(line.substr(begin));
  return parts;
}

// A master's value in ns since the start: exact where the factor is a whole number of ns.
inline uint64_t RelativeNs(uint64_t raw, double offset, double factor) {
  const double ns_per_tick = factor * 1e9;
  const double whole = std::round(ns_per_tick);
  if (offset == 0 && whole >= 1 && std::fabs(ns_per_tick - whole) <= 1e-9 * whole) {
    return raw * static_cast<uint64_t>(whole);
  }
  return static_cast<uint64_t>(std::llround(static_cast<long double>(raw) * factor * 1e9L + offset * 1e9L));
}

// Lists what the checker decodes of each file (a RunWithChecker body), one line per item,
// tab-separated: "F" status path, "E" problem, "H" start ns, tz, dst, time flags, "G" group
// name, "C" channel name, type, data type, conversion type (-1 none) and its values
// (comma-separated), "V" its raw values (numbers, or hex for byte arrays).
inline constexpr const char* kCheckerLister = R"PY(import json
def clean(text):
    return str(text).replace("\t", " ").replace("\n", " ")
def walk(channels):
    for c in channels:
        conversion = c.get("conversion_type")
        values = ",".join(repr(float(v)) for v in (c.get("conversion_values") or []))
        print("C", clean(c["name"]), c["type"], c["data_type"], -1 if conversion is None else conversion, values, sep="\t")
        print("\t".join(["V"] + [v if isinstance(v, str) else repr(v) for v in (c.get("raw") or [])]))
        walk(c.get("members") or [])
for path in sys.argv[2:]:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = check.main(["mdf4check", "--values", path])
    print("F", status, path, sep="\t")
    try:
        summary = json.loads(out.getvalue())
    except ValueError as error:
        print("E", "no summary: " + clean(error), sep="\t")
        continue
    for problem in summary.get("problems") or []:
        print("E", clean(problem), sep="\t")
    header = summary["header"]
    print("H", header["start_time_ns"], header["tz_offset_min"], header["dst_offset_min"], header["time_flags"], sep="\t")
    for data_group in summary["data_groups"]:
        for group in data_group["channel_groups"]:
            print("G", clean(group.get("acq_name") or ""), sep="\t")
            walk(group["channels"])
)PY";

}  // namespace output_detail

/// The header's start, offsets and time flags, read from the HD block at 64 where every MDF 4
/// file has it; false (with `file.problem` set) when the bytes hold none.
inline bool ReadHeaderTime(const std::vector<uint8_t>& bytes, OutputFile& file) {
  constexpr size_t kHeader = 64;
  constexpr size_t kTimeRecord = kHeader + 24 + 6 * 8;  // behind the header's block header and links
  if (bytes.size() < kTimeRecord + 13 || std::string(bytes.begin() + kHeader, bytes.begin() + kHeader + 4) != "##HD") {
    file.problem = "no header block at 64";
    return false;
  }
  file.start_ns = output_detail::Le(bytes, kTimeRecord, 8);
  file.tz_offset_min = static_cast<int16_t>(output_detail::Le(bytes, kTimeRecord + 8, 2));
  file.dst_offset_min = static_cast<int16_t>(output_detail::Le(bytes, kTimeRecord + 10, 2));
  file.time_flags = bytes[kTimeRecord + 12];
  return true;
}

/// The output read through our MDF library: every channel's raw values.
inline OutputFile ReadOutputBack(const std::vector<uint8_t>& bytes) {
  OutputFile file;
  if (!ReadHeaderTime(bytes, file)) return file;
  const ReadBack read(bytes);
  if (!read.Ok()) {
    file.problem = "our MDF library cannot read it";
    return file;
  }
  for (size_t d = 0; d < read.DataGroups().size(); ++d) {
    for (const mdf::IChannelGroup* channel_group : read.DataGroups()[d]->ChannelGroups()) {
      OutputGroup& group = file.groups.emplace_back();
      group.name = channel_group->Name();
      for (const mdf::ChannelObserverPtr& observer : read.Observers(d)) {
        if (!observer || observer->Channel().ChannelGroup() != channel_group) continue;
        const mdf::IChannel& source = observer->Channel();
        OutputChannel& channel = group.channels.emplace_back();
        channel.name = observer->ChannelName();
        channel.type = source.ChannelType();
        channel.data_type = source.DataType();
        if (const mdf::IChannelConversion* conversion = source.ChannelConversion(); conversion != nullptr) {
          channel.conversion = conversion->Type();
          channel.parameters = {conversion->ParameterAsDouble(0), conversion->ParameterAsDouble(1)};
        }
        for (uint64_t sample = 0; sample < observer->NofSamples(); ++sample) {
          if (output_detail::IsByteArray(channel.data_type)) {
            observer->GetSampleByteArray(sample, channel.bytes.emplace_back());
          } else {
            observer->GetSampleUnsigned(sample, channel.values.emplace_back(), 0);
          }
        }
      }
    }
  }
  return file;
}

/// Each file read by the independent checker (RunWithChecker), by path. A file the checker
/// finds problems in gets them as its problem.
inline std::map<std::string, OutputFile> ReadOutputsWithChecker(const std::string& tool,
                                                                const std::vector<std::string>& files) {
  using namespace output_detail;
  std::map<std::string, OutputFile> read;
  RunWithChecker(tool, files, kCheckerLister, [&](size_t first, size_t end, const std::string& output) {
    std::istringstream lines(output);
    OutputFile* file = nullptr;
    OutputChannel* channel = nullptr;
    const auto fail = [&file](const std::string& why) {
      if (file != nullptr && file->problem.empty()) file->problem = why;
    };
    for (std::string line; std::getline(lines, line);) {
      const std::vector<std::string> parts = SplitTabs(line);
      const std::string& tag = parts[0];
      if (tag == "F" && parts.size() == 3) {
        file = &read[parts[2]];
        channel = nullptr;
        if (parts[1] != "0") file->problem = "the checker's status " + parts[1] + ":";
      } else if (file == nullptr) {
        continue;  // nothing the lister printed
      } else if (tag == "E" && parts.size() == 2) {
        file->problem += (file->problem.empty() ? "" : " ") + parts[1];
      } else if (tag == "H" && parts.size() == 5) {
        int tz = 0;
        int dst = 0;
        unsigned flags = 0;
        if (!ParseNumber(parts[1], file->start_ns) || !ParseNumber(parts[2], tz) || !ParseNumber(parts[3], dst) ||
            !ParseNumber(parts[4], flags)) {
          fail("header line: " + line);
        }
        file->tz_offset_min = static_cast<int16_t>(tz);
        file->dst_offset_min = static_cast<int16_t>(dst);
        file->time_flags = static_cast<uint8_t>(flags);
      } else if (tag == "G" && parts.size() == 2) {
        file->groups.emplace_back().name = parts[1];
        channel = nullptr;
      } else if (tag == "C" && parts.size() == 6 && !file->groups.empty()) {
        channel = &file->groups.back().channels.emplace_back();
        channel->name = parts[1];
        unsigned type = 0;
        unsigned data_type = 0;
        if (!ParseNumber(parts[2], type) || !ParseNumber(parts[3], data_type) ||
            !ParseNumber(parts[4], channel->conversion)) {
          fail("channel line: " + line);
        }
        channel->type = static_cast<uint8_t>(type);
        channel->data_type = static_cast<uint8_t>(data_type);
        std::istringstream parameters(parts[5]);
        for (std::string parameter; std::getline(parameters, parameter, ',');) {
          double value = 0;
          if (!ParseNumber(parameter, value)) fail("conversion value " + parameter);
          channel->parameters.push_back(value);
        }
      } else if (tag == "V" && channel != nullptr) {
        for (size_t i = 1; i < parts.size(); ++i) {
          if (IsByteArray(channel->data_type)) {
            if (!ParseHex(parts[i], channel->bytes.emplace_back())) fail(channel->name + " value " + parts[i]);
          } else if (!ParseNumber(parts[i], channel->values.emplace_back())) {
            fail(channel->name + " value " + parts[i] + " is no unsigned integer");
          }
        }
        channel = nullptr;
      } else {
        fail("unexpected line: " + line);
      }
    }
    for (size_t i = first; i < end; ++i) {
      if (read.count(files[i]) == 0) read[files[i]].problem = "the checker gave nothing: " + output.substr(0, 500);
    }
  });
  return read;
}

/// The frames of the output, told by its groups' names and their field channels' names; a
/// group of no known kind, or whose channels disagree on the sample count, sets `problem`.
inline std::vector<BusFrame> OutputFrames(const OutputFile& file, std::string& problem) {
  std::vector<BusFrame> frames;
  for (const OutputGroup& group : file.groups) {
    const BusKind* kind = nullptr;
    for (const BusKind& candidate : kBusKinds) {
      if (group.name == GroupNameOf(candidate)) kind = &candidate;
    }
    if (kind == nullptr) {
      problem = "a group of no bus-event kind: \"" + group.name + "\"";
      continue;
    }
    const OutputChannel* master = nullptr;
    std::map<std::string, const OutputChannel*> fields;
    for (const OutputChannel& channel : group.channels) {
      if (channel.type == 2) master = &channel;
      if (channel.name.rfind(group.name + ".", 0) == 0) fields[channel.name.substr(group.name.size() + 1)] = &channel;
    }
    if (master == nullptr) {
      problem = group.name + " has no master channel";
      continue;
    }
    double offset = 0;
    double factor = 1;  // no conversion: seconds
    if (master->conversion == 1 && master->parameters.size() == 2) {
      offset = master->parameters[0];
      factor = master->parameters[1];
    } else if (master->conversion != -1 && master->conversion != 0) {
      problem = group.name + "'s master has a conversion of type " + std::to_string(master->conversion);
      continue;
    }
    const size_t count = master->values.size();
    bool counts_agree = true;
    for (const auto& [name, channel] : fields) {
      const size_t samples =
          output_detail::IsByteArray(channel->data_type) ? channel->bytes.size() : channel->values.size();
      if (samples != count) counts_agree = false;
    }
    if (!counts_agree) {
      problem = group.name + "'s channels hold different numbers of samples";
      continue;
    }
    const auto data = fields.find("DataBytes");
    for (size_t i = 0; i < count; ++i) {
      BusFrame frame;
      frame.kind = *kind;
      frame.time_ns = file.start_ns + output_detail::RelativeNs(master->values[i], offset, factor);
      for (const std::string& name : OutputFieldsOf(*kind)) {
        const auto found = fields.find(name);
        if (found != fields.end() && !output_detail::IsByteArray(found->second->data_type)) {
          frame.fields[name] = found->second->values[i];
        }
      }
      if (data != fields.end() && output_detail::IsByteArray(data->second->data_type)) {
        frame.data = data->second->bytes[i];
        // A fixed field holds the frame's bytes first: as many as its DataLength says.
        const auto length = frame.fields.find("DataLength");
        if (length != frame.fields.end() && length->second < frame.data.size()) frame.data.resize(length->second);
      }
      frames.push_back(std::move(frame));
    }
  }
  return frames;
}

}  // namespace test
