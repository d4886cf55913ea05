// Reading a logger-sized unsorted data group through the public reader, as a user does:
// about 300 MB of 18-byte records (record id and 17 bytes) of three channel groups with
// four channels each, in 4 MiB DT blocks under a DL, and the same data as DZ blocks. One
// channel observed, and every channel.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "benchfile.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdffile.h"
#include "mdf/mdflogstream.h"
#include "mdf/mdfreader.h"

namespace {

constexpr uint64_t kDataSize = 300'000'000;
constexpr uint64_t kBlockSize = uint64_t{4} << 20;
constexpr uint32_t kRecordBytes = 17;

std::vector<bench::GroupSpec> Groups(const uint64_t counts[3]) {
  std::vector<bench::GroupSpec> groups;
  for (int i = 0; i < 3; ++i) {
    bench::GroupSpec group;
    group.name = "Group" + std::to_string(i + 1);
    group.record_id = static_cast<uint64_t>(i + 1);
    group.cycles = counts[i];
    group.data_bytes = kRecordBytes;
    group.channels = {
        {"Time", 2, 1, 0, 0, 0, 64, 0, -1, {}},
        {"ID", 0, 0, 0, 8, 0, 29, 0, -1, {}},
        {"Value", 0, 0, 4, 12, 0, 32, 0, -1, {}},
        {"DLC", 0, 0, 0, 16, 0, 4, 0, -1, {}},
    };
    groups.push_back(group);
  }
  return groups;
}

class UnsortedFile {
 public:
  explicit UnsortedFile(bool zipped) : file_(zipped ? "bench_unsorted_dz" : "bench_unsorted_dt") {
    bench::DataWriter data(file_, kBlockSize, zipped);
    bench::XorShift random;
    uint64_t time = 0;
    uint64_t counts[3] = {0, 0, 0};
    while (data.DataSize() + data.Stream().size() < kDataSize) {
      const uint32_t draw = random.Next();
      const unsigned group = draw % 3;
      time += 100 + (draw >> 24);
      bench::Bytes& stream = data.Stream();
      bench::PutLe(stream, group + 1, 1);
      bench::PutLe(stream, time, 8);
      bench::PutLe(stream, 0x100 + (draw >> 8 & 0x7FF), 4);
      float value = static_cast<float>(draw >> 12) * 0.25F;
      uint32_t bits = 0;
      __builtin_memcpy(&bits, &value, sizeof(bits));
      bench::PutLe(stream, bits, 4);
      bench::PutLe(stream, draw >> 4 & 0x0F, 1);
      ++counts[group];
      data.Drain(false);
    }
    const uint64_t list = data.Finish();
    data_size_ = data.DataSize();
    bench::WriteDataGroup(file_, Groups(counts), list);
  }
  [[nodiscard]] const std::string& Name() const { return file_.Name(); }
  [[nodiscard]] uint64_t DataSize() const { return data_size_; }

 private:
  bench::BlockFile file_;
  uint64_t data_size_ = 0;
};

// Made on first use: a run of one case writes only its own file.
UnsortedFile& File(bool zipped) {
  if (zipped) {
    static UnsortedFile packed(true);
    return packed;
  }
  static UnsortedFile plain(false);
  return plain;
}

// One channel: the identifier of the first group.
void AttachOne(mdf::IDataGroup& group, mdf::ChannelObserverList& observers) {
  mdf::IChannelGroup& first = *group.ChannelGroups().at(0);
  observers.push_back(mdf::CreateChannelObserver(group, first, *first.Channels().at(1)));
}

void AttachEvery(mdf::IDataGroup& group, mdf::ChannelObserverList& observers) {
  mdf::CreateObserversForDataGroup(group, observers);
}

void BM_ReadUnsorted(benchmark::State& state) {
  const bool zipped = state.range(0) != 0;
  const bool every_channel = state.range(1) != 0;
  mdf::InstallLogCallback({});
  const UnsortedFile& file = File(zipped);
  bench::ReadResult last;
  for (auto _ : state) {
    last = bench::ReadInChild(file.Name(), every_channel ? AttachEvery : AttachOne);
    if (!last.ok) {
      state.SkipWithError("the read failed");
      break;
    }
    state.SetIterationTime(last.seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.DataSize()));
  state.counters["peak_growth_MiB"] = last.peak_growth_mib;
  state.counters["values_MiB"] = last.values_mib;
  state.counters["peak_MiB"] = last.peak_mib;
  state.SetLabel(std::string(zipped ? "DZ" : "DT") + (every_channel ? ", every channel" : ", one channel"));
}

}  // namespace

BENCHMARK(BM_ReadUnsorted)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"zipped", "every"})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
