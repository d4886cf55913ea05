#pragma once
// The kit of the end-to-end tests: runs the built logmend binary in a temporary directory,
// makes logger recordings with known traffic, and reads outputs back as sorted frames.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "buslog/mdf_reader.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfwriter.h"
#include "platform/log.h"
#include "platform/stream.h"
#include "support/genericfile.h"
#include "support/loggerrecording.h"
#include "support/mdf4check.h"
#include "support/runprogram.h"
#include "support/tempdir.h"

namespace e2e {

namespace fs = std::filesystem;
using test::CanFrameRecord;
using test::LinFrameRecord;
using test::RecordingInfo;

constexpr const char* kPassword = "secret";
constexpr uint32_t kDevice = 0x0000ABCD;

/// One frame as it is compared: kind, channel, identifier (bit 31 for 29-bit ones), data.
struct Frame {
  int kind;
  int channel;
  uint32_t id;
  std::string data;  // hex
  uint64_t time_us;  // since 1970
  bool operator==(const Frame& o) const {
    return kind == o.kind && channel == o.channel && id == o.id && data == o.data && time_us == o.time_us;
  }
  bool operator<(const Frame& o) const {
    return std::tie(time_us, kind, channel, id, data) < std::tie(o.time_us, o.kind, o.channel, o.id, o.data);
  }
};

inline std::ostream& operator<<(std::ostream& out, const Frame& f) {
  return out << "{" << f.kind << " ch" << f.channel << " " << std::hex << f.id << std::dec << " " << f.data << " @"
             << f.time_us << "}";
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

struct Traffic {
  std::vector<CanFrameRecord> can;
  std::vector<LinFrameRecord> lin;
};

/// Classic, 29-bit and CAN FD frames and LIN frames, different per seed.
inline Traffic SomeTraffic(uint8_t seed) {
  Traffic traffic;
  const uint8_t fd_dlcs[] = {9, 13, 15};
  for (uint32_t i = 0; i < 6; ++i) {
    CanFrameRecord frame{};
    frame.time_us = 1000 * (i + 1) + seed;
    frame.channel = static_cast<uint8_t>(1 + i % 2);
    frame.id = i == 2 ? 0x18FEF100u + seed : 0x100u + i + seed;
    frame.ide = i == 2;
    frame.dir = i == 1;
    frame.edl = i >= 4;
    frame.dlc = frame.edl ? fd_dlcs[(i + seed) % 3] : static_cast<uint8_t>(i + 2);
    const size_t length = frame.edl ? (frame.dlc == 9 ? 12 : frame.dlc == 13 ? 32 : 64) : frame.dlc;
    for (size_t b = 0; b < length; ++b) frame.data.push_back(static_cast<uint8_t>(b * 7 + i + seed));
    traffic.can.push_back(frame);
  }
  for (uint32_t i = 0; i < 3; ++i) {
    LinFrameRecord frame{};
    frame.time_us = 1500 * (i + 1) + seed;
    frame.channel = 1;
    frame.id = static_cast<uint8_t>(0x10 + i);
    for (size_t b = 0; b < 2 + 3 * i; ++b) frame.data.push_back(static_cast<uint8_t>(0xA0 + b + seed));
    traffic.lin.push_back(frame);
  }
  return traffic;
}

inline std::string RecordingOf(const RecordingInfo& info, const Traffic& traffic) {
  const std::vector<uint8_t> bytes = test::LoggerRecording(info, traffic.can, traffic.lin);
  return {bytes.begin(), bytes.end()};
}

/// The frame a recorded frame gives in an output.
inline Frame Expected(const RecordingInfo& info, const CanFrameRecord& f) {
  return {kBusMsgCanDataFrame, f.channel, f.id | (f.ide ? kCanExtendedKeyBit : 0), Hex(f.data),
          info.start_ns / 1000 + f.time_us};
}

inline Frame Expected(const RecordingInfo& info, const LinFrameRecord& f) {
  return {kBusMsgLinFrame, f.channel, f.id, Hex(f.data), info.start_ns / 1000 + f.time_us};
}

inline std::vector<Frame> Expected(const RecordingInfo& info, const Traffic& traffic) {
  std::vector<Frame> frames;
  for (const CanFrameRecord& f : traffic.can) frames.push_back(Expected(info, f));
  for (const LinFrameRecord& f : traffic.lin) frames.push_back(Expected(info, f));
  std::sort(frames.begin(), frames.end());
  return frames;
}

/// The frames of a file read back through our reader, sorted; a failure leaves them empty.
inline std::vector<Frame> ReadFrames(const std::string& path) {
  std::vector<Frame> frames;
  cStream_t* stream = fileStreamOpen(path.c_str(), kFileStreamRead);
  if (stream == nullptr) return frames;
  if (cMdfReader_t* reader = mdfReaderOpen(stream)) {
    cFileInfo_t info{};
    mdfReaderGetFileInfo(reader, &info);
    if (cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader)) {
      while (const cBusMsgHelper_t* record = mdfReaderIteratorNext(iterator)) {
        if (record->MsgType == kBusMsgUnknown) continue;
        const auto* bytes = reinterpret_cast<const uint8_t*>(cStrData(&record->DataBytes));
        const std::vector<uint8_t> data(bytes, bytes + cStrLength(&record->DataBytes));
        frames.push_back({record->MsgType, record->BusChannel, record->ID, Hex(data),
                          (info.StartTime + static_cast<uint64_t>(record->Timestamp)) / 1000});
      }
      mdfReaderIteratorFree(iterator);
    }
    fileInfoRelease(&info);
    mdfReaderClose(reader);
  }
  streamClose(stream);
  std::sort(frames.begin(), frames.end());
  return frames;
}

/// A memory file system where there is one: syncs cost nothing there, so runs over hundreds
/// of files take a fraction of a second and can be killed at many moments.
inline fs::path FastBase() {
  std::error_code ignored;
  if (fs::is_directory("/dev/shm", ignored) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

class LogmendRun : public ::testing::Test {
 protected:
  LogmendRun() = default;
  /// The temporary directory below `base`, such as FastBase().
  explicit LogmendRun(const fs::path& base) : dir_(base) {}

  /// Runs logmend in the temporary directory.
  test::ProgramResult Run(const std::vector<std::string>& args) {
    return test::RunProgram(LOGMEND_BINARY, args, dir_.Path(), dir_.Path());
  }
  std::string Write(const std::string& name, const std::string& content) {
    fs::create_directories(fs::path(dir_.Path(name)).parent_path());
    return dir_.Write(name, content);
  }
  std::string Read(const std::string& name) { return test::ReadWholeFile(dir_.Path(name)); }
  bool Exists(const std::string& name) { return fs::exists(dir_.Path(name)); }
  /// Every regular file below `folder`, relative to it, sorted.
  std::vector<std::string> Files(const std::string& folder) {
    std::vector<std::string> files;
    if (!fs::exists(dir_.Path(folder))) return files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.Path(folder))) {
      if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), dir_.Path(folder)).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  /// The checker's verdict on a written output (true where it is not installed).
  bool Checked(const std::string& name) {
#ifdef LOGMEND_MDF4CHECK
    const test::ProgramResult check =
        test::RunProgram(LOGMEND_MDF4CHECK, {"--values", dir_.Path(name)}, dir_.Path(), dir_.Path());
    if (check.status != 0) ADD_FAILURE() << name << ": " << check.out << check.err;
    return check.status == 0 && check.out.find("\"problems\": []") != std::string::npos;
#else
    (void)name;
    return true;
#endif
  }
  /// Every output below `folder` passes the checker, where it is installed: each distinct
  /// content once (damaged copies of one recording mostly give the same output). Empty
  /// outputs, of inputs without frames, are no MDF files. Gives the number of files checked.
  size_t ExpectCheckerAcceptsEach(const std::string& folder) {
    const std::string tool = test::Mdf4CheckTool();
    if (tool.empty()) return 0;
    std::map<std::string, std::string> distinct;  // content, the first file holding it
    for (const std::string& name : Files(folder)) {
      const std::string path = dir_.Path(folder + "/" + name);
      std::string content = test::ReadWholeFile(path);
      if (!content.empty()) distinct.emplace(std::move(content), path);
    }
    std::vector<std::string> files;
    for (const auto& entry : distinct) files.push_back(entry.second);
    for (const auto& [file, check] : test::RunMdf4CheckOnEach(tool, files)) {
      EXPECT_EQ(check.status, 0) << file << ":\n" << check.output;
    }
    return files.size();
  }
  static bool HasLine(const test::ProgramResult& result, const std::string& line) {
    const std::vector<std::string> lines = result.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  test::TempDir dir_;
};

}  // namespace e2e
