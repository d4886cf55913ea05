// One logger recording of about 220 MB converted from memory to memory as the command line
// converts a file (benchconvert.h). The recording is laid out as the logger writes
// it: one unsorted data group, each kind of event a group whose members are packed to the
// bit into its frame channel, the CAN FD payloads in a VLSD channel group; the mix gives
// every kind several hundred thousand frames. Each conversion runs in a child process, so
// its peak memory is its own; the phases' times say where the time goes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "benchchild.h"
#include "benchconvert.h"
#include "mdf/mdflogstream.h"
#include "support/loggerimage.h"

namespace {

constexpr uint64_t kRecordBytes = 220'000'000;

// LOGMEND_BENCH_RECORD_MB makes a smaller recording, for profiling.
uint64_t RecordBytes() {
  const char* megabytes = std::getenv("LOGMEND_BENCH_RECORD_MB");
  return megabytes != nullptr && std::atoi(megabytes) > 0 ? uint64_t{1'000'000} * std::atoi(megabytes) : kRecordBytes;
}
constexpr uint64_t kStartNs = 1'700'000'000'000'000'000ULL;

using bench::Recording;

// Writes the recording to a temporary file, so that the parent holds none of it.
Recording MakeRecording() {
  test::ImageSpec spec;
  spec.start_ns = kStartNs;
  spec.header_comment = test::HeaderCommentWith("0000BE1C", "1", "1");
  std::vector<uint64_t> counts(10, 0);
  std::vector<uint8_t>& out = spec.records;
  const uint64_t record_bytes = RecordBytes();
  out.reserve(record_bytes + 256);
  bench::XorShift random;
  uint64_t time = 0;
  uint64_t vlsd_offset = 0;
  const auto put = [&out](uint64_t value, int width) { test::PutLe(out, value, width); };
  while (out.size() < record_bytes) {
    const uint32_t draw = random.Next();
    const uint32_t kind = draw % 100;
    time += 20 + (draw >> 26);
    const auto record = [&](uint64_t id) {
      put(id, 1);
      put(time, 8);
      ++counts[id - 1];
    };
    const uint32_t can_id = draw >> 3 & 0x1FFFFFFF;
    if (kind < 30) {  // classic CAN, DLC 8
      record(1);
      put(1 + (draw & 3), 1);
      put(can_id | (draw & 0x20000000) | (uint64_t{draw >> 30 & 1} << 30), 4);
      put(8 << 4, 1);
      put(8, 1);
      put(uint64_t{draw} * 0x9E3779B97F4A7C15ULL, 8);
    } else if (kind < 60) {  // CAN FD: the payload first, in the VLSD group
      static constexpr uint8_t kLengths[] = {12, 16, 20, 24, 32, 48, 64};
      static constexpr uint8_t kDlcs[] = {9, 10, 11, 12, 13, 14, 15};
      const unsigned pick = (draw >> 8) % 7;
      put(3, 1);
      put(kLengths[pick], 4);
      for (unsigned i = 0; i < kLengths[pick]; ++i) put((draw >> (i % 24)) & 0xFF, 1);
      ++counts[2];
      record(2);
      put(1 + (draw & 3), 1);
      put(can_id | 0x80000000, 4);  // EDL
      put(0x01 | (kDlcs[pick] << 4), 1);
      put(kLengths[pick], 1);
      put(vlsd_offset, 8);
      vlsd_offset += 4 + kLengths[pick];
    } else if (kind < 72) {  // LIN frame of 8 bytes
      record(6);
      put(1, 1);
      put(draw >> 10 & 0xBF, 1);
      put(0x88, 1);
      put(uint64_t{draw} * 0x2545F4914F6CDD1DULL, 8);
    } else if (kind < 79) {
      record(4);  // remote frame
      put(1, 1);
      put(can_id, 4);
      put(8, 1);
      put(8, 1);
    } else if (kind < 86) {
      record(5);  // error frame
      put(1, 1);
      put(draw >> 12 & 7, 1);
    } else if (kind < 91) {
      record(7);  // LIN checksum error
      put(1, 1);
      put(draw >> 10 & 0xBF, 1);
      put(0x88, 1);
      put(draw >> 16 & 0xFF, 1);
      put(uint64_t{draw} * 0x2545F4914F6CDD1DULL, 8);
    } else {
      record(8 + kind % 3);  // LIN receive, sync and transmission errors
      put(1, 1);
      put(draw >> 10 & 0x3F, 1);
    }
  }
  spec.groups = test::LoggerLayoutGroups();
  for (size_t i = 0; i < spec.groups.size(); ++i) spec.groups[i].cycles = counts[i];
  Recording recording;
  for (size_t i = 0; i < counts.size(); ++i) recording.frames += i == 2 ? 0 : counts[i];
  const std::vector<uint8_t> image = test::BuildLoggerImage(spec);
  recording.size = image.size();
  recording.path = "/tmp/bench_pipeline_" + std::to_string(::getpid()) + ".mf4";
  std::ofstream(recording.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  return recording;
}

using bench::Result;

Result ConvertInChild(const Recording& recording) {
  return bench::RunInChild<Result>([&] { return bench::ConvertOnce(recording.path); });
}

void BM_ConvertLoggerFile(benchmark::State& state) {
  mdf::InstallLogCallback({});
  static const Recording recording = MakeRecording();
  Result last;
  for (auto _ : state) {
    last = ConvertInChild(recording);
    if (!last.ok) {
      state.SkipWithError("the conversion failed");
      break;
    }
    state.SetIterationTime(last.open_s + last.iterator_s + last.chain_s + last.finalize_s);
  }
  const double total = last.open_s + last.iterator_s + last.chain_s + last.finalize_s;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * recording.size));
  state.counters["input_MB"] = static_cast<double>(recording.size) / 1e6;
  state.counters["output_MB"] = static_cast<double>(last.output_bytes) / 1e6;
  state.counters["MB_per_s"] = static_cast<double>(recording.size) / 1e6 / total;
  state.counters["frames_per_s"] = static_cast<double>(recording.frames) / total;
  state.counters["frames"] = static_cast<double>(recording.frames);
  state.counters["events"] = static_cast<double>(last.events);
  state.counters["peak_MiB"] = last.peak_mib;
  state.counters["peak_per_input"] = last.peak_mib * (1 << 20) / static_cast<double>(recording.size);
  state.counters["open_s"] = last.open_s;
  state.counters["iterator_s"] = last.iterator_s;
  state.counters["chain_s"] = last.chain_s;
  state.counters["finalize_s"] = last.finalize_s;
}

}  // namespace

BENCHMARK(BM_ConvertLoggerFile)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
