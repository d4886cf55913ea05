// The bus-log writer alone: two million records of the logger mix (classic CAN, CAN FD of
// 12 to 64 bytes, LIN frames, remote and error frames, LIN errors) collected by addRecord,
// then written to a memory stream by finalize; each phase's cost per record.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "buslog/mdf_writer.h"
#include "platform/stream.h"

namespace {

constexpr int64_t kRecords = 2'000'000;
constexpr uint64_t kStartNs = 1'700'000'000'000'000'000;

cBusMsgHelper_t Record(int32_t type, uint32_t id, size_t length, int64_t time) {
  cBusMsgHelper_t record{};
  record.Timestamp = time;
  record.BusChannel = 1;
  record.ID = id;
  record.MsgType = type;
  std::vector<char> data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>(id + i);
  cStrInit(&record.DataBytes, {data.data(), static_cast<int64_t>(length)});
  return record;
}

// A hundred records in the shares of bench_pipeline's recording.
std::vector<cBusMsgHelper_t> Pattern() {
  static constexpr size_t kFdLengths[] = {12, 16, 20, 24, 32, 48, 64};
  std::vector<cBusMsgHelper_t> records;
  int64_t time = 0;  // ns since the start
  for (uint32_t i = 0; i < 100; ++i) {
    time += 25'000;
    if (i < 30) {
      records.push_back(Record(kBusMsgCanDataFrame, 0x100 + i, 8, time));
    } else if (i < 60) {
      records.push_back(Record(kBusMsgCanDataFrame, 0x200 + i, kFdLengths[i % 7], time));
    } else if (i < 72) {
      records.push_back(Record(kBusMsgLinFrame, i % 64, 8, time));
    } else if (i < 79) {
      records.push_back(Record(kBusMsgCanRemoteFrame, 0x300 + i, 0, time));
    } else if (i < 86) {
      records.push_back(Record(kBusMsgCanErrorFrame, 0, 0, time));
    } else if (i < 91) {
      records.push_back(Record(kBusMsgLinChecksumError, i % 64, 8, time));
    } else {
      records.push_back(Record(kBusMsgLinReceiveError + static_cast<int32_t>(i % 3), i % 64, 0, time));
    }
  }
  return records;
}

void BM_WriterCollectAndFinalize(benchmark::State& state) {
  std::vector<cBusMsgHelper_t> pattern = Pattern();
  double collect_s = 0;
  double finalize_s = 0;
  for (auto _ : state) {
    cStream_t* output = memoryStreamNew();
    cMdfWriter_t* writer = mdfWriterNew();
    cFileInfo_t info{};
    info.StartTime = kStartNs;
    mdfWriterOpen(writer, output, &info, new cMdfMetadata_t);
    const auto start = std::chrono::steady_clock::now();
    int64_t shift = 0;
    for (int64_t done = 0; done < kRecords; done += static_cast<int64_t>(pattern.size())) {
      for (cBusMsgHelper_t& record : pattern) {
        record.Timestamp += shift;
        mdfWriterAddRecord(writer, &record);
        record.Timestamp -= shift;
      }
      shift += 2'500'000;
    }
    const auto collected = std::chrono::steady_clock::now();
    if (!mdfWriterFinalize(writer)) state.SkipWithError("finalize failed");
    const auto finalized = std::chrono::steady_clock::now();
    collect_s += std::chrono::duration<double>(collected - start).count();
    finalize_s += std::chrono::duration<double>(finalized - collected).count();
    mdfWriterFree(writer);
    streamClose(output);
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["collect_ns_per_record"] = collect_s / runs / kRecords * 1e9;
  state.counters["finalize_ns_per_record"] = finalize_s / runs / kRecords * 1e9;
  for (cBusMsgHelper_t& record : pattern) cStrRelease(&record.DataBytes);
}
BENCHMARK(BM_WriterCollectAndFinalize)->Unit(benchmark::kMillisecond);

}  // namespace
