// Reading an unsorted 256 MiB data group (3 record ids, records of 8, 16 and 30 bytes in
// 4 MiB DT blocks, records crossing block borders) into channel observers: every channel
// observed, and one channel only.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cg4block.h"
#include "channelobserver.h"
#include "cn4block.h"
#include "dg4block.h"
#include "support/bytes.h"

using namespace mdf::detail;

namespace {

constexpr uint64_t kDataSize = uint64_t{256} << 20;
constexpr uint64_t kBlockSize = uint64_t{4} << 20;
constexpr uint32_t kRecordSizes[3] = {30, 16, 8};  // after the 1-byte record id

// The channels of the three groups: name, data type, byte offset, bit count, bit offset.
struct ChannelLayout {
  const char* name;
  uint8_t data_type;
  uint32_t byte_offset;
  uint32_t bit_count;
  uint8_t bit_offset;
};
const std::vector<std::vector<ChannelLayout>> kChannels = {
    {{"Time", 0, 0, 64, 0},
     {"ID", 0, 8, 32, 0},
     {"DLC", 0, 12, 8, 0},
     {"Dir", 0, 13, 1, 0},
     {"DataBytes", 10, 14, 64, 0}},
    {{"Time", 0, 0, 64, 0}, {"ID", 0, 8, 32, 0}, {"Value", 2, 12, 16, 0}, {"Half", 4, 14, 16, 0}},
    {{"Time", 0, 0, 32, 0}, {"Big", 1, 4, 12, 4}, {"A", 0, 6, 8, 0}, {"B", 2, 7, 8, 0}},
};

// The file: DG at 64, CGs at 128, 232 and 336, their CN blocks from 440 on, then the DT
// blocks and the DL last. The records are generated block by block, so that the group is
// never in memory as a whole.
struct BenchFile {
  std::string name = "/tmp/mdf_bench_records_" + std::to_string(::getpid()) + ".mf4";
  uint64_t counts[3] = {0, 0, 0};
  uint64_t data_size = 0;

  BenchFile() {
    constexpr uint64_t kGroupPositions[3] = {128, 232, 336};
    constexpr uint64_t kFirstChannel = 440;
    uint64_t nof_channels = 0;
    for (const auto& group : kChannels) nof_channels += group.size();
    const uint64_t first_block = kFirstChannel + 160 * nof_channels;
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    const auto put = [&out](const std::vector<uint8_t>& bytes) {
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };

    uint32_t state = 2463534242U;
    uint64_t time = 0;
    test::Bytes stream;  // records not yet in a block
    const auto next_record = [&]() {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const unsigned group = state % 3;
      time += 1000 + (state >> 22);
      test::Bytes& r = stream.U8(static_cast<uint8_t>(group + 1));
      switch (group) {
        case 0:  // CAN frame: time, id, DLC, direction, 8 data bytes, 8 reserved bytes
          r.Le(time, 8).Le(0x100 + (state >> 8 & 0x3F), 4).Le(8, 1).Le(state >> 5 & 1, 1);
          r.Le(state * 2654435761ULL, 8).Le(0, 8);
          break;
        case 1:  // time, id, signed 16-bit value, half-float pattern
          r.Le(time, 8).Le(0x200 + (state >> 9 & 0x7), 4).Le(state >> 3 & 0xFFFF, 2);
          r.Le(0x3C00 + (state >> 12 & 0x3FF), 2);
          break;
        default:  // 32-bit time, 16 bits holding a 12-bit big-endian value, two bytes
          r.Le(time & 0xFFFFFFFF, 4).Le(state >> 4 & 0xFFFF, 2).Le(state >> 20 & 0xFF, 1);
          r.Le(state & 0xFF, 1);
          break;
      }
      ++counts[group];
    };

    test::Bytes h;
    h.Zeros(64);
    out.seekp(static_cast<std::streamoff>(first_block));
    std::vector<uint64_t> positions;
    std::vector<uint64_t> offsets;
    uint64_t position = first_block;
    uint64_t generated = 0;
    // Blocks of 4 MiB cut through the record stream; the last one ends with the last record.
    while (generated < kDataSize || stream.Size() > 0) {
      while (stream.Size() < kBlockSize && generated + stream.Size() < kDataSize) next_record();
      const uint64_t size = std::min<uint64_t>(stream.Size(), kBlockSize);
      test::Bytes block;
      block.Raw("##DT").Zeros(4).U64(24 + size).U64(0);
      block.Raw(test::Slice(stream.Data(), 0, size)).Align(8);
      stream.Data().erase(stream.Data().begin(), stream.Data().begin() + static_cast<std::ptrdiff_t>(size));
      put(block.Data());
      positions.push_back(position);
      offsets.push_back(generated);
      position += block.Size();
      generated += size;
    }
    data_size = generated;

    const uint64_t list_position = position;
    const uint64_t count = positions.size();
    test::Bytes l;
    l.Raw("##DL").Le(0, 4).Le(40 + 8 * count + 8 * count, 8).Le(count + 1, 8).Le(0, 8);
    for (const uint64_t link : positions) l.Le(link, 8);
    l.Le(0, 1).Le(0, 3).Le(count, 4);
    for (const uint64_t offset : offsets) l.Le(offset, 8);
    put(l.Data());

    h.Raw("##DG").Le(0, 4).Le(64, 8).Le(4, 8).Le(0, 8).Le(kGroupPositions[0], 8);
    h.Le(list_position, 8).Le(0, 8).Le(1, 1).Zeros(7);
    uint64_t channel_position = kFirstChannel;
    for (int i = 0; i < 3; ++i) {
      h.Raw("##CG").Le(0, 4).Le(104, 8).Le(6, 8);
      h.Le(i < 2 ? kGroupPositions[i + 1] : 0, 8).Le(channel_position, 8).Zeros(32);
      h.Le(static_cast<uint64_t>(i + 1), 8).Le(counts[i], 8).Le(0, 2).Le('/', 2).Le(0, 4);
      h.Le(kRecordSizes[i], 4).Le(0, 4);
      channel_position += 160 * kChannels[static_cast<size_t>(i)].size();
    }
    for (const auto& group : kChannels) {
      for (size_t c = 0; c < group.size(); ++c) {
        const ChannelLayout& cn = group[c];
        const uint64_t here = h.Size();
        h.Raw("##CN").Le(0, 4).Le(160, 8).Le(8, 8);
        h.Le(c + 1 < group.size() ? here + 160 : 0, 8).Zeros(56);
        h.Le(0, 1).Le(0, 1).Le(cn.data_type, 1).Le(cn.bit_offset, 1);
        h.Le(cn.byte_offset, 4).Le(cn.bit_count, 4).Le(0, 4).Le(0, 4);
        h.Le(0, 1).Le(0, 1).Le(0, 2).Zeros(48);
      }
    }
    out.seekp(0);
    put(h.Data());
  }
  ~BenchFile() { std::remove(name.c_str()); }
};

BenchFile& File() {
  static BenchFile file;
  return file;
}

// The data group read from the file with its three channel groups and their channels.
struct OpenGroup {
  std::filebuf file;
  Dg4Block group;
  std::vector<Cn4Block*> channels;

  OpenGroup() {
    file.open(File().name, std::ios::binary | std::ios::in);
    SetStreamPosition(file, 64);
    group.Read(file);
    group.ReadCgList(file);
    for (const auto& channel_group : group.Cg4List()) {
      channel_group->ReadCnList(file);
      for (const auto& channel : channel_group->Cn4List()) channels.push_back(channel.get());
    }
  }
};

std::unique_ptr<mdf::IChannelObserver> MakeObserver(Dg4Block& group, Cn4Block& channel) {
  const auto& owner = *channel.ChannelGroup();
  switch (channel.DataType()) {
    case 10:
      return std::make_unique<ChannelObserver<std::vector<uint8_t>>>(group, owner, channel);
    case 4:
      return std::make_unique<ChannelObserver<double>>(group, owner, channel);
    case 2:
      return std::make_unique<ChannelObserver<int16_t>>(group, owner, channel);
    default:
      if (channel.BitCount() > 32) return std::make_unique<ChannelObserver<uint64_t>>(group, owner, channel);
      if (channel.BitCount() > 16) return std::make_unique<ChannelObserver<uint32_t>>(group, owner, channel);
      if (channel.BitCount() > 8) return std::make_unique<ChannelObserver<uint16_t>>(group, owner, channel);
      return std::make_unique<ChannelObserver<uint8_t>>(group, owner, channel);
  }
}

long PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

void CheckLastSamples(benchmark::State& state, const std::vector<std::unique_ptr<mdf::IChannelObserver>>& observers) {
  for (const auto& observer : observers) {
    const uint64_t last = observer->NofSamples() - 1;
    uint64_t value = 0;
    std::vector<uint8_t> bytes;
    const bool valid = observer->Channel().DataType() == 10 ? observer->GetSampleByteArray(last, bytes)
                                                            : observer->GetSampleUnsigned(last, value, 0);
    if (!valid) state.SkipWithError("the last sample was not read");
  }
}

// Each iteration reads into new observers, as a reader does: the buffers are sized before
// the clock runs, every value is stored while it runs.
void ReadInto(benchmark::State& state, bool every_channel) {
  auto& file = File();
  OpenGroup open;
  std::vector<std::unique_ptr<mdf::IChannelObserver>> observers;
  const auto attach = [&]() {
    if (every_channel) {
      for (auto* channel : open.channels) observers.push_back(MakeObserver(open.group, *channel));
    } else {
      observers.push_back(MakeObserver(open.group, *open.channels[1]));  // the frames' identifier
    }
  };
  const long rss_before = PeakRssMiB();
  for (auto _ : state) {
    state.PauseTiming();
    observers.clear();
    attach();
    state.ResumeTiming();
    open.group.ReadData(open.file);
  }
  CheckLastSamples(state, observers);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.data_size));
  state.counters["records"] = static_cast<double>(file.counts[0] + file.counts[1] + file.counts[2]);
  state.counters["peak_rss_growth_MiB"] = static_cast<double>(PeakRssMiB() - rss_before);
  observers.clear();
}

void BM_ReadRecordsOneChannel(benchmark::State& state) { ReadInto(state, false); }
void BM_ReadRecordsEveryChannel(benchmark::State& state) { ReadInto(state, true); }

}  // namespace

BENCHMARK(BM_ReadRecordsOneChannel)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadRecordsEveryChannel)->Unit(benchmark::kMillisecond)->UseRealTime();
