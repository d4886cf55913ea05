// Variable-length values as a CAN FD log holds them: one million 64-byte payloads in a
// channel's signal data, taken out record by record, and appended while writing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "cn4block.h"

namespace {

constexpr uint64_t kNofValues = 1'000'000;
constexpr size_t kPayload = 64;

mdf::detail::Cn4Block& VlsdChannel(mdf::detail::Cn4Block& channel) {
  channel.ChannelType(1);
  channel.DataType(10);
  channel.BitCount(64);
  return channel;
}

void BM_VlsdByteArrayValue(benchmark::State& state) {
  mdf::detail::Cn4Block channel;
  VlsdChannel(channel);
  std::vector<uint8_t> payload(kPayload, 0x5A);
  std::vector<std::vector<uint8_t>> records;
  records.reserve(kNofValues);
  for (uint64_t i = 0; i < kNofValues; ++i) {
    payload[0] = static_cast<uint8_t>(i);
    const uint64_t offset = channel.AppendVlsdData(payload);
    std::vector<uint8_t> record(8);
    for (size_t b = 0; b < 8; ++b) record[b] = static_cast<uint8_t>(offset >> (8 * b));
    records.push_back(std::move(record));
  }
  std::vector<uint8_t> value;
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const auto& record : records) {
      if (channel.GetByteArrayValue(record, value)) sum += value[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kNofValues));
}
BENCHMARK(BM_VlsdByteArrayValue)->Unit(benchmark::kMillisecond);

void BM_AppendVlsdData(benchmark::State& state) {
  const std::vector<uint8_t> payload(kPayload, 0x5A);
  for (auto _ : state) {
    mdf::detail::Cn4Block channel;
    VlsdChannel(channel);
    for (uint64_t i = 0; i < kNofValues; ++i) {
      benchmark::DoNotOptimize(channel.AppendVlsdData(payload));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kNofValues));
}
BENCHMARK(BM_AppendVlsdData)->Unit(benchmark::kMillisecond);

}  // namespace
