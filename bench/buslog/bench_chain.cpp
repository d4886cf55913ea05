// The record-handler chain as the command line builds it (transport protocol -> demultiplexer
// -> last stage, sub-frames back to the head), fed with ten million records: 90 % pass
// through, 10 % are ISO-TP carriers of demultiplexed sub-frames. A second case sends only
// pass-through records, the cost every logged frame pays.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "buslog/mux_handler.h"
#include "buslog/record_handler.h"
#include "buslog/tp_handler.h"

namespace {

constexpr int64_t kRecordsPerRun = 10'000'000;
constexpr int kPatternLength = 100;  // records per repetition of the mix
constexpr uint8_t kCarrierChannel = 2;
constexpr uint32_t kCarrierId = 0x010;

struct CountingStage {
  cRecordHandler_t handler;
  int64_t records;
  int64_t bytes;
};

bool CountRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  auto* stage = reinterpret_cast<CountingStage*>(handler);
  ++stage->records;
  stage->bytes += cStrLength(&record->DataBytes);
  return true;
}

const cRecordHandlerOps_t kCountingOps = {CountRecord, nullptr, handlerForwardEndFile};

cBusMsgHelper_t Record(uint8_t channel, uint32_t id, std::vector<uint8_t> data, int64_t time) {
  cBusMsgHelper_t record{};
  record.Timestamp = time;
  record.BusChannel = channel;
  record.ID = id;
  record.MsgType = kBusMsgCanDataFrame;
  record.Flags.Can.DLC = static_cast<uint8_t>(data.size());
  cStrInit(&record.DataBytes, {reinterpret_cast<const char*>(data.data()), static_cast<int64_t>(data.size())});
  return record;
}

// One repetition: 90 plain frames on channels 1 to 3, then 10 carrier records: four single
// frames with one sub-frame each and three first + consecutive frame pairs with two.
std::vector<cBusMsgHelper_t> Pattern(bool mixed) {
  std::vector<cBusMsgHelper_t> records;
  int64_t time = 0;  // ns
  const int plain = mixed ? 90 : kPatternLength;
  for (int i = 0; i < plain; ++i) {
    records.push_back(Record(static_cast<uint8_t>(1 + i % 3), 0x100 + static_cast<uint32_t>(i),
                             {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(i)}, time += 1'000'000));
  }
  if (!mixed) return records;
  for (int i = 0; i < 4; ++i) {  // SF of 7: sub-frame slot 0, id 0x200, 4 data bytes
    records.push_back(Record(kCarrierChannel, kCarrierId, {0x07, 0x08, 0x02, 0x00, 9, 9, 9, 9}, time += 1'000'000));
  }
  for (int i = 0; i < 3; ++i) {  // 13 bytes: sub-frame slot 1, id 0x300, 8 data bytes; error sub-frame slot 2
    records.push_back(Record(kCarrierChannel, kCarrierId, {0x10, 0x0D, 0x24, 0x03, 0x00, 1, 2, 3}, time += 1'000'000));
    records.push_back(Record(kCarrierChannel, kCarrierId, {0x21, 4, 5, 6, 7, 8, 0x47, 0x03}, time += 1'000'000));
  }
  return records;
}

void RunChain(benchmark::State& state, bool mixed) {
  CountingStage last{{&kCountingOps, nullptr}, 0, 0};
  cMuxHandler_t* mux = muxHandlerNew(&last.handler, nullptr);
  cTpHandler_t* tp = tpHandlerNew(&mux->handler);
  muxHandlerSetDemuxTarget(mux, &tp->handler);
  const uint8_t targets[kMuxSlotCount] = {4, 5, 6, 7};
  tpHandlerConfigure(tp, kBusTypeCan, kCarrierChannel, canIdKey(kCarrierId, 0), kTpProtocolIsoTp);
  muxHandlerConfigure(mux, kBusTypeCan, kCarrierChannel, canIdKey(kCarrierId, 0), targets);
  std::vector<cBusMsgHelper_t> pattern = Pattern(mixed);

  for (auto _ : state) {
    for (int64_t done = 0; done < kRecordsPerRun; done += kPatternLength) {
      for (const cBusMsgHelper_t& logged : pattern) {
        cBusMsgHelper_t record = logged;  // inline data: the copy owns its own bytes
        recordHandlerHandle(&tp->handler, &record);
        cStrRelease(&record.DataBytes);
      }
    }
  }
  benchmark::DoNotOptimize(last.bytes);
  state.SetItemsProcessed(state.iterations() * kRecordsPerRun);
  state.counters["delivered"] =
      benchmark::Counter(static_cast<double>(last.records) / static_cast<double>(state.iterations()));
  state.counters["ns_per_record"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kRecordsPerRun),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
  for (cBusMsgHelper_t& record : pattern) cStrRelease(&record.DataBytes);
  tpHandlerFree(tp);
  muxHandlerFree(mux);
}

void BM_ChainMixed(benchmark::State& state) { RunChain(state, true); }
BENCHMARK(BM_ChainMixed)->Unit(benchmark::kMillisecond);

void BM_ChainPassThrough(benchmark::State& state) { RunChain(state, false); }
BENCHMARK(BM_ChainPassThrough)->Unit(benchmark::kMillisecond);

}  // namespace
