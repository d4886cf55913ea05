// Decoding speed of channel values: 10 million 12-bit big-endian values, each at an odd
// bit position, read as the channel observers read them (typed value plus validity).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "mdf/ichannel.h"
#include "tests/support/fakechannel.h"

namespace {

constexpr uint64_t kNofValues = 10'000'000;
constexpr uint32_t kBits = 12;
constexpr uint16_t kBitOffset = 3;  // 3 + 12 i is odd for every element

std::vector<uint8_t> MakeRecord() {
  std::vector<uint8_t> record((kBitOffset + kNofValues * kBits + 7) / 8);
  std::mt19937 generator(42);
  for (auto& byte : record) byte = static_cast<uint8_t>(generator());
  return record;
}

void BM_ValueFromRecord12BitBigEndian(benchmark::State& state) {
  const auto record = MakeRecord();
  test::FakeChannel channel;
  channel.data_type = 1;  // unsigned, big endian
  channel.bit_offset = kBitOffset;
  channel.bit_count = kBits;
  for (auto _ : state) {
    uint64_t sum = 0;
    for (uint64_t index = 0; index < kNofValues; ++index) {
      uint16_t value = 0;
      const bool valid = channel.ValueFromRecord(record, value, index);
      sum += valid ? value : 0;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kNofValues));
}
BENCHMARK(BM_ValueFromRecord12BitBigEndian)->Unit(benchmark::kMillisecond);

void BM_ExtractUnsignedBits12BitBigEndian(benchmark::State& state) {
  const auto record = MakeRecord();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (uint64_t index = 0; index < kNofValues; ++index) {
      sum += mdf::ExtractUnsignedBits(false, kBitOffset + index * kBits, kBits, record.data());
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kNofValues));
}
BENCHMARK(BM_ExtractUnsignedBits12BitBigEndian)->Unit(benchmark::kMillisecond);

}  // namespace
