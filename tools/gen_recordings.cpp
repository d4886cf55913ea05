// Makes the bundled example recordings and the benchmark's large recordings: logger-layout
// MDF4 files written byte by byte (tests/support/loggerrecording.h), wrapped in compressed
// and encrypted "Generic File" containers. Everything comes from fixed seeds, so the output is
// the same on every machine.
//
//   gen_recordings examples <dir>          writes the example tree into <dir>
//   gen_recordings check <dir>             exit 1 unless <dir> holds exactly that tree
//   gen_recordings recording <file> <MB> [<compressed file>]
//                                          a recording of at least <MB> megabytes
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/genericfile.h"
#include "support/loggerrecording.h"

namespace {

using test::CanFrameRecord;
using test::LinFrameRecord;
using test::RecordingInfo;

constexpr uint32_t kExampleDevice = 0x0000ABCD;
constexpr const char* kExamplePassword = "logmend-example";
constexpr uint8_t kCanFdDlc[] = {9, 10, 11, 13, 15};  // 12, 16, 20, 32 and 64 bytes

uint8_t DlcLength(uint8_t dlc) {
  static constexpr uint8_t kLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  return kLengths[dlc & 0x0F];
}

/// Bus traffic of a small vehicle network from a seed: classic CAN on channel 1 (11-bit and
/// 29-bit), CAN FD on channel 2, LIN on channel 1; signals change slowly, as recorded ones do.
class Traffic {
 public:
  explicit Traffic(uint32_t seed) : random_(seed) {}

  /// The next frame after `time_us`; true for CAN (then `can` is filled), false for LIN.
  bool Next(uint64_t& time_us, CanFrameRecord& can, LinFrameRecord& lin) {
    time_us += 50 + random_() % 950;
    const uint32_t pick = random_() % 16;
    ++counter_;
    if (pick < 9) {
      can = Can(time_us, 1, kClassicIds[pick % 3]);
      can.dlc = 8;
      can.dir = pick == 4;
      can.data = Signals(8);
      return true;
    }
    if (pick < 11) {
      can = Can(time_us, 1, 0x18FEF100 | (pick & 1));
      can.ide = true;
      can.dlc = static_cast<uint8_t>(pick == 9 ? 8 : 3);
      can.data = Signals(DlcLength(can.dlc));
      return true;
    }
    if (pick < 14) {
      can = Can(time_us, 2, 0x300u + pick);
      can.edl = true;
      can.brs = pick != 13;
      can.dlc = kCanFdDlc[counter_ % sizeof kCanFdDlc];
      can.data = Signals(DlcLength(can.dlc));
      return true;
    }
    lin = LinFrameRecord{};
    lin.time_us = time_us;
    lin.channel = 1;
    lin.id = static_cast<uint8_t>(pick == 14 ? 0x10 : 0x3C);
    lin.dir = pick == 15;
    lin.data = Signals(pick == 14 ? 2 : 8);
    return false;
  }

 private:
  static CanFrameRecord Can(uint64_t time_us, uint8_t channel, uint32_t id) {
    CanFrameRecord can{};
    can.time_us = time_us;
    can.channel = channel;
    can.id = id;
    return can;
  }

  static constexpr uint32_t kClassicIds[3] = {0x123, 0x1A0, 0x7DF};

  std::vector<uint8_t> Signals(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) {
      // A counter, a ramp and a noisy byte, repeated across the payload.
      const uint32_t kind = i % 3;
      data[i] = static_cast<uint8_t>(kind == 0 ? counter_ : kind == 1 ? counter_ / 16 + i : random_() % 4);
    }
    return data;
  }

  std::mt19937 random_;
  uint32_t counter_ = 0;
};

/// Adds the traffic's next frame after `time_us` to the recording.
void AddNext(Traffic& traffic, uint64_t& time_us, test::LoggerRecordingWriter& writer) {
  CanFrameRecord can{};
  LinFrameRecord lin{};
  if (traffic.Next(time_us, can, lin)) {
    writer.Add(can);
  } else {
    writer.Add(lin);
  }
}

std::string Recording(const RecordingInfo& info, uint32_t seed, size_t frames) {
  std::ostringstream out;
  test::LoggerRecordingWriter writer(out, info);
  Traffic traffic(seed);
  uint64_t time = 0;
  for (size_t i = 0; i < frames; ++i) AddNext(traffic, time, writer);
  writer.Finish();
  return out.str();
}

test::EncryptionParameters ExampleEncryption() {
  test::EncryptionParameters parameters;
  parameters.password = kExamplePassword;
  parameters.device_id = kExampleDevice;
  return parameters;
}

/// The example tree: relative path -> content.
std::map<std::string, std::string> ExampleTree() {
  const uint64_t day = 86'400'000'000'000ULL;
  RecordingInfo first;
  RecordingInfo second;
  second.split = 2;
  second.finalized = false;  // the power was cut while it was recorded
  second.start_ns = first.start_ns + 600'000'000'000ULL;
  RecordingInfo third;
  third.session = 2;
  third.start_ns = first.start_ns + day;
  RecordingInfo fourth = third;
  fourth.split = 2;
  fourth.finalized = false;
  fourth.start_ns = third.start_ns + 600'000'000'000ULL;

  std::map<std::string, std::string> tree;
  tree["passwords.json"] = std::string("{\n  \"0000ABCD\": \"") + kExamplePassword + "\"\n}\n";
  tree["logs/0000ABCD/00000001/00000001.MF4"] = Recording(first, 1, 240);
  tree["logs/0000ABCD/00000001/00000002.MF4"] = Recording(second, 2, 180);
  tree["logs/0000ABCD/00000002/00000001.MFC"] =
      test::CompressedContainerOf(test::LzssEncode(Recording(third, 3, 200), 11, 4), 4, 1u << 11, true, kExampleDevice);
  // The logger encrypts the compressed file: an encrypted container around a compressed one.
  const std::string compressed = test::CompressedContainerOf(test::LzssEncode(Recording(fourth, 4, 160), 11, 4), 4,
                                                             1u << 11, true, kExampleDevice);
  tree["logs/0000ABCD/00000002/00000002.MFE"] = test::EncryptedContainer(compressed, ExampleEncryption());
  return tree;
}

bool WriteFile(const std::filesystem::path& path, const std::string& content) {
  // A bare file name has no parent to create (and creating "" throws).
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

int Examples(const std::filesystem::path& dir) {
  for (const auto& [name, content] : ExampleTree()) {
    if (!WriteFile(dir / name, content)) {
      std::cerr << "cannot write " << (dir / name).string() << "\n";
      return 1;
    }
  }
  return 0;
}

int Check(const std::filesystem::path& dir) {
  const auto tree = ExampleTree();
  int mismatches = 0;
  for (const auto& [name, content] : tree) {
    std::ifstream in(dir / name, std::ios::binary);
    const std::string present((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::cerr << "missing: " << name << "\n";
      ++mismatches;
    } else if (present != content) {
      std::cerr << "differs: " << name << "\n";
      ++mismatches;
    }
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = std::filesystem::relative(entry.path(), dir).generic_string();
    if (tree.count(name) == 0 && name != "README.md") {
      std::cerr << "not made by the generator: " << name << "\n";
      ++mismatches;
    }
  }
  return mismatches == 0 ? 0 : 1;
}

/// A recording of at least `megabytes` MB streamed to `path`; the compressed container of it
/// too when `compressed` is given.
int LargeRecording(const std::string& path, uint64_t megabytes, const std::string& compressed) {
  const uint64_t target = megabytes * 1'000'000ULL;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    RecordingInfo info;
    test::LoggerRecordingWriter writer(out, info);
    Traffic traffic(500);
    uint64_t time = 0;
    while (writer.RecordBytes() < target) AddNext(traffic, time, writer);
    writer.Finish();
    if (!out) {
      std::cerr << "cannot write " << path << "\n";
      return 1;
    }
    std::cout << "frames " << writer.CanCount() + writer.LinCount() << "\n";
  }
  if (compressed.empty()) return 0;
  std::ifstream in(path, std::ios::binary);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return WriteFile(compressed,
                   test::CompressedContainerOf(test::LzssEncode(body, 11, 4), 4, 1u << 11, true, kExampleDevice))
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "examples" && argc == 3) return Examples(argv[2]);
  if (mode == "check" && argc == 3) return Check(argv[2]);
  if (mode == "recording" && (argc == 4 || argc == 5)) {
    return LargeRecording(argv[2], std::strtoull(argv[3], nullptr, 10), argc == 5 ? argv[4] : "");
  }
  std::cerr << "usage: gen_recordings examples <dir> | check <dir> | recording <file> <MB> [<compressed file>]\n";
  return 2;
}
