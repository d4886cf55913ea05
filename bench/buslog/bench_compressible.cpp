// Legitimate recordings whose data deflate very well, converted as the command line converts
// a file (benchconvert.h), each in a child process: its peak memory is what the conversion
// held. One holds 1,000,000 CAN FD frames whose payloads lie in one zipped signal data block
// of 68 MB, in a file of about 150 KB; the other one transposed zipped block of 17 MiB of
// classic CAN records, in 35 KB. Not run in CI: it shows what such files hold in memory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "benchchild.h"
#include "benchconvert.h"
#include "mdf/mdflogstream.h"
#include "support/deflate.h"
#include "support/loggerimage.h"
#include "support/loggerrecording.h"

namespace {

constexpr uint64_t kFdFrames = 1'000'000;
constexpr uint64_t kSignalDataBytes = 68'000'000;  // the frames' 68-byte entries
constexpr uint64_t kTransposedBytes = uint64_t{17} << 20;
constexpr uint32_t kClassicRecordBytes = 24;  // record id, Timestamp, the 15-byte frame

using bench::Recording;

std::string TemporaryPath(const char* name) {
  return "/tmp/bench_compressible_" + std::to_string(::getpid()) + "_" + name + ".mf4";
}

// The data of a zipped block of records transposed by record (zip type 1, the record length
// its parameter), as a writer that zips records stores them.
std::vector<uint8_t> TransposedZipped(const std::vector<uint8_t>& stream, uint32_t record_bytes) {
  const uint64_t records = stream.size() / record_bytes;
  std::vector<uint8_t> transposed(stream.size());
  for (uint64_t row = 0; row < records; ++row) {
    for (uint32_t column = 0; column < record_bytes; ++column) {
      transposed[column * records + row] = stream[row * record_bytes + column];
    }
  }
  const std::vector<uint8_t> packed = test::Deflated(transposed);
  return test::Bytes().Raw("DT").U8(1).U8(0).U32(record_bytes).U64(stream.size()).U64(packed.size()).Raw(packed).Data();
}

// CAN FD frames of 64 bytes in bursts of equal times, the payloads in one zipped SD block
// written before the records, the records in one transposed zipped block: 1,000,000 frames in
// a file of a few hundred KB, as a logger whose signals change seldom writes them.
void MakeZippedSignalData(Recording& input) {
  std::ostringstream out;
  test::RecordingLayout layout;
  layout.signal_data_first = true;
  layout.zipped_signal_data = kSignalDataBytes;
  test::LoggerRecordingWriter writer(out, test::RecordingInfo{}, layout);
  std::vector<test::CanFrameRecord> frames;
  frames.reserve(kFdFrames);
  std::vector<std::vector<uint8_t>> payloads;
  payloads.reserve(kFdFrames);
  for (uint64_t i = 0; i < kFdFrames; ++i) {
    test::CanFrameRecord frame{};
    frame.time_us = 1000 * (i / 10'000);
    frame.channel = 1;
    frame.id = 0x100 + static_cast<uint32_t>(i % 8);
    frame.edl = true;
    frame.dlc = 15;
    frame.data.assign(64, static_cast<uint8_t>(i % 8));
    payloads.push_back(frame.data);
    frames.push_back(std::move(frame));
  }
  writer.SignalData(payloads);
  for (const test::CanFrameRecord& frame : frames) writer.Add(frame);
  writer.Finish();
  // The DT block of the records ends the file: a zipped block takes its place.
  const std::string written = out.str();
  const auto dt = static_cast<std::ptrdiff_t>(writer.DataBlocks().back());
  std::vector<uint8_t> bytes(written.begin(), written.begin() + dt);
  const std::vector<uint8_t> records(written.begin() + dt + 24, written.end());
  test::VectorOutput output(bytes);
  test::ImageWriter(output).Block("##DZ", {},
                                  TransposedZipped(records, 1 + test::LoggerRecordingWriter::kCanRecordBytes));
  input.path = TemporaryPath("sd");
  std::ofstream(input.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  input.size = bytes.size();
  input.frames = kFdFrames;
}

// Classic CAN records of the logger's layout in one transposed zipped block.
void MakeTransposedRecords(Recording& input) {
  const uint64_t records = kTransposedBytes / kClassicRecordBytes;
  std::vector<uint8_t> stream;
  stream.reserve(records * kClassicRecordBytes);
  for (uint64_t i = 0; i < records; ++i) {
    test::PutLe(stream, 1, 1);              // record id
    test::PutLe(stream, 100 * i, 8);        // Timestamp, microseconds
    test::PutLe(stream, 1, 1);              // BusChannel
    test::PutLe(stream, 0x100 + i % 8, 4);  // ID
    test::PutLe(stream, 8 << 4, 1);         // DLC
    test::PutLe(stream, 8, 1);              // DataLength
    test::PutLe(stream, i % 8, 8);          // DataBytes
  }
  std::vector<uint8_t> bytes;
  test::VectorOutput out(bytes);
  test::ImageWriter image(out);
  image.Identification("MDF     ", "4.11", 411, "QX", 0);
  const int64_t hd =
      image.Header(1'700'000'000'000'000'000ULL, test::HeaderCommentWith("0000BE1C", "1", "1"), {test::ImageHistory{}});
  test::ImageGroup group = test::LoggerBusGroup("CAN_DataFrame", 1, 15, test::LoggerCanMembers(false), 2);
  group.cycles = records;
  const int64_t dg = image.DataGroup(1, image.Groups({group}), 0);
  image.PatchLink(hd, 0, dg);
  image.PatchLink(dg, 2, image.Block("##DZ", {}, TransposedZipped(stream, kClassicRecordBytes)));
  input.path = TemporaryPath("transposed");
  std::ofstream(input.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  input.size = bytes.size();
  input.frames = records;
}

void Convert(benchmark::State& state, const Recording& input) {
  mdf::InstallLogCallback({});
  bench::Result last;
  for (auto _ : state) {
    last = bench::RunInChild<bench::Result>([&] { return bench::ConvertOnce(input.path); });
    if (!last.ok || last.events != input.frames) {
      state.SkipWithError("the conversion failed or lost frames");
      break;
    }
    state.SetIterationTime(last.open_s + last.iterator_s + last.chain_s + last.finalize_s);
  }
  state.counters["input_MB"] = static_cast<double>(input.size) / 1e6;
  state.counters["frames"] = static_cast<double>(input.frames);
  state.counters["peak_MiB"] = last.peak_mib;
}

void BM_ConvertZippedSignalData(benchmark::State& state) {
  static const Recording input = [] {
    Recording made;
    MakeZippedSignalData(made);
    return made;
  }();
  Convert(state, input);
}

void BM_ConvertTransposedRecords(benchmark::State& state) {
  static const Recording input = [] {
    Recording made;
    MakeTransposedRecords(made);
    return made;
  }();
  Convert(state, input);
}

}  // namespace

BENCHMARK(BM_ConvertZippedSignalData)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
BENCHMARK(BM_ConvertTransposedRecords)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
