// The input buffer is a matter of speed only: damaged copies of the bundled recordings (cut,
// flipped bytes, links that lie) give the same exit status and the same output bytes
// whether the input is read whole into memory (the default), unbuffered, or a block at a
// time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/logmendrun.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

const char* const kBufferSizes[] = {"-1", "0", "4096"};

std::string SourcePath(const std::string& relative) { return std::string(LOGMEND_SOURCE_DIR) + "/" + relative; }

struct Damaged {
  std::string name;
  std::string bytes;
};

uint64_t LoadU64(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);  // the build hosts are little-endian
  return value;
}

void StoreU64(std::string& bytes, size_t at, uint64_t value) { std::memcpy(&bytes[at], &value, sizeof value); }

/// The file positions of the link fields of every block: blocks start on 8-byte boundaries
/// with "##" and two capital letters, and hold their links inside their length.
std::vector<size_t> LinkFields(const std::string& bytes) {
  std::vector<size_t> fields;
  for (size_t at = 64; at + 24 <= bytes.size(); at += 8) {
    if (bytes.compare(at, 2, "##") != 0 || !std::isupper(static_cast<unsigned char>(bytes[at + 2])) ||
        !std::isupper(static_cast<unsigned char>(bytes[at + 3]))) {
      continue;
    }
    const uint64_t length = LoadU64(bytes, at + 8);
    const uint64_t links = LoadU64(bytes, at + 16);
    if (links > (bytes.size() - at - 24) / 8 || 24 + 8 * links > length) continue;
    for (uint64_t i = 0; i < links; ++i) fields.push_back(at + 24 + 8 * static_cast<size_t>(i));
  }
  return fields;
}

/// Cuts and flipped bytes at a stride, and, in a recording, links that point past the end, at
/// the very end, before the start, one byte off their block, or to the header of another kind
/// of block.
std::vector<Damaged> DamagedCopies(const std::string& name, const std::string& bytes, bool recording) {
  std::vector<Damaged> copies;
  const size_t size = bytes.size();
  for (size_t cut = 0; cut < size; cut += size / 9 + 1) {
    copies.push_back({name + " cut at " + std::to_string(cut), bytes.substr(0, cut)});
  }
  for (size_t at = 5; at < size; at += size / 11 + 1) {
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(~flipped[at]);
    copies.push_back({name + " flipped at " + std::to_string(at), flipped});
  }
  if (!recording) return copies;  // a container's body is compressed: it has no links to set
  const std::vector<size_t> fields = LinkFields(bytes);
  size_t set = 0;
  size_t unset = 0;
  for (const size_t field : fields) {
    const uint64_t link = LoadU64(bytes, field);
    // Every other set link, and every sixth unset one, with the lies taken in turn.
    if (link == 0 ? unset++ % 6 != 0 : set++ % 2 != 0) continue;
    const uint64_t lies[] = {size + 8, size, static_cast<uint64_t>(-8), link + 1, 64};
    const uint64_t lie = lies[(copies.size() + field / 8) % (link == 0 ? 2 : 5)];
    std::string lying = bytes;
    StoreU64(lying, field, lie);
    copies.push_back({name + " link at " + std::to_string(field) + " set to " + std::to_string(lie), lying});
  }
  return copies;
}

struct Outcome {
  int status = -1;
  std::optional<std::string> output;  // none: no output file
  bool operator==(const Outcome& o) const { return status == o.status && output == o.output; }
};

class BufferSizes : public LogmendRun {
 protected:
  /// Converts every input alone with every buffer size, several at a time; the outcomes by
  /// input, then by buffer size.
  std::vector<std::vector<Outcome>> ConvertEach(const std::vector<Damaged>& inputs) {
    constexpr size_t kSizes = std::size(kBufferSizes);
    std::vector<std::vector<Outcome>> outcomes(inputs.size(), std::vector<Outcome>(kSizes));
    for (size_t i = 0; i < inputs.size(); ++i) {
      for (size_t b = 0; b < kSizes; ++b) Write(Folder(i, b) + "/in.MF4", inputs[i].bytes);
    }
    std::atomic<size_t> next{0};
    const auto work = [&] {
      for (size_t job; (job = next++) < inputs.size() * kSizes;) {
        const size_t i = job / kSizes;
        const size_t b = job % kSizes;
        const std::string folder = dir_.Path(Folder(i, b));
        Outcome& outcome = outcomes[i][b];
        outcome.status =
            test::RunProgram(LOGMEND_BINARY, {"-X", "-b", kBufferSizes[b], "in.MF4"}, folder, folder).status;
        if (std::filesystem::exists(folder + "/in_out.MF4"))
          outcome.output = test::ReadWholeFile(folder + "/in_out.MF4");
      }
    };
    std::vector<std::thread> workers;
    const unsigned count = std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
    for (unsigned w = 0; w < count; ++w) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    return outcomes;
  }

 private:
  static std::string Folder(size_t input, size_t size) {
    return "runs/" + std::to_string(input) + "/" + std::to_string(size);
  }
};

TEST_F(BufferSizes, DamagedRecordingsConvertAlikeWithEveryBuffer) {
  std::vector<Damaged> inputs;
  for (const char* example :
       {"examples/logs/0000ABCD/00000001/00000001.MF4", "examples/logs/0000ABCD/00000001/00000002.MF4",
        "examples/logs/0000ABCD/00000002/00000001.MFC"}) {
    const std::string bytes = test::ReadWholeFile(SourcePath(example));
    ASSERT_GT(bytes.size(), 4096U) << example;
    const bool recording = bytes.compare(0, 3, "MDF") == 0 || bytes.compare(0, 3, "UnF") == 0;
    const std::vector<Damaged> copies = DamagedCopies(example, bytes, recording);
    inputs.insert(inputs.end(), copies.begin(), copies.end());
  }
  const std::vector<std::vector<Outcome>> outcomes = ConvertEach(inputs);
  size_t converted = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i].name);
    for (size_t b = 1; b < std::size(kBufferSizes); ++b) {
      EXPECT_EQ(outcomes[i][b].status, outcomes[i][0].status) << "-b " << kBufferSizes[b] << " against -b -1";
      EXPECT_TRUE(outcomes[i][b].output == outcomes[i][0].output) << "-b " << kBufferSizes[b] << " against -b -1";
    }
    if (outcomes[i][0].output && !outcomes[i][0].output->empty()) ++converted;
  }
  // The sweep meets damage the reader passes over as well as damage it stops at.
  EXPECT_GT(converted, 0U);
  EXPECT_LT(converted, inputs.size());
}

// A link past the end of the file was once read from wherever a buffered input stood: the
// conversion then looked whole. No buffer size may convert it as the undamaged recording.
TEST_F(BufferSizes, ALinkPastTheEndIsNeverReadFromElsewhere) {
  const std::string whole = test::ReadWholeFile(SourcePath("examples/logs/0000ABCD/00000001/00000001.MF4"));
  const std::vector<Damaged> inputs = {
      {"undamaged", whole},
      {"conversion link past the end",
       test::ReadWholeFile(SourcePath("tests/fuzz/corpus/conversion/buffered-cc-link-past-eof.MF4"))},
      {"cut at 3072", whole.substr(0, 3072)},
  };
  ASSERT_EQ(inputs[1].bytes.size(), whole.size());
  const std::vector<std::vector<Outcome>> outcomes = ConvertEach(inputs);
  for (size_t b = 0; b < std::size(kBufferSizes); ++b) {
    SCOPED_TRACE(std::string("-b ") + kBufferSizes[b]);
    ASSERT_EQ(outcomes[0][b].status, 0);
    ASSERT_TRUE(outcomes[0][b].output && !outcomes[0][b].output->empty());
    for (size_t i = 1; i < inputs.size(); ++i) {
      SCOPED_TRACE(inputs[i].name);
      EXPECT_FALSE(outcomes[i][b] == outcomes[0][b]) << "converted as if it were whole";
      EXPECT_TRUE(outcomes[i][b] == outcomes[i][0]) << "differs from -b -1";
    }
  }
}

}  // namespace
