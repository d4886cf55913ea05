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
#include "dg4block.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"

using namespace mdf::detail;

namespace {

constexpr uint64_t kDataSize = uint64_t{256} << 20;
constexpr uint64_t kBlockSize = uint64_t{4} << 20;
constexpr uint64_t kNofBlocks = kDataSize / kBlockSize;
constexpr uint32_t kRecordSizes[3] = {30, 16, 8};  // after the 1-byte record id

// A channel of a group read from the file; its description is set by the benchmark.
class BenchChannel : public mdf::IChannel {
 public:
  BenchChannel(mdf::IChannelGroup* group, std::string name, uint8_t data_type, uint32_t byte_offset,
               uint32_t bit_count, uint16_t bit_offset = 0)
      : group_(group), name_(std::move(name)), data_type_(data_type), byte_offset_(byte_offset),
        bit_count_(bit_count), bit_offset_(bit_offset) {}

  [[nodiscard]] int64_t FilePosition() const override { return 0; }
  [[nodiscard]] std::string BlockType() const override { return "CN"; }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }
  [[nodiscard]] std::string Name() const override { return name_; }
  void Name(const std::string& name) override { name_ = name; }
  [[nodiscard]] std::string DisplayName() const override { return {}; }
  void DisplayName(const std::string&) override {}
  [[nodiscard]] std::string Description() const override { return {}; }
  void Description(const std::string&) override {}
  [[nodiscard]] std::string Unit() const override { return {}; }
  void Unit(const std::string&) override {}
  [[nodiscard]] uint32_t Flags() const override { return 0; }
  void Flags(uint32_t) override {}
  [[nodiscard]] bool IsUnitValid() const override { return false; }
  [[nodiscard]] uint8_t ChannelType() const override { return 0; }
  void ChannelType(uint8_t) override {}
  [[nodiscard]] uint8_t SyncType() const override { return 0; }
  void SyncType(uint8_t) override {}
  [[nodiscard]] uint8_t DataType() const override { return data_type_; }
  void DataType(uint8_t type) override { data_type_ = type; }
  [[nodiscard]] uint64_t DataBytes() const override { return (bit_count_ + 7) / 8; }
  void DataBytes(uint64_t bytes) override { bit_count_ = static_cast<uint32_t>(bytes * 8); }
  [[nodiscard]] uint8_t Decimals() const override { return 6; }
  void Decimals(uint8_t) override {}
  [[nodiscard]] bool IsDecimalUsed() const override { return false; }
  void Range(double, double) override {}
  void Limit(double, double) override {}
  void ExtLimit(double, double) override {}
  [[nodiscard]] double SamplingRate() const override { return 0.0; }
  void SamplingRate(double) override {}
  [[nodiscard]] mdf::ISourceInformation* SourceInformation() const override { return nullptr; }
  mdf::ISourceInformation* CreateSourceInformation() override { return nullptr; }
  [[nodiscard]] mdf::IChannelArray* ChannelArray() const override { return nullptr; }
  mdf::IChannelArray* CreateChannelArray() override { return nullptr; }
  [[nodiscard]] mdf::IChannelConversion* ChannelConversion() const override { return nullptr; }
  mdf::IChannelConversion* CreateChannelConversion() override { return nullptr; }
  void AddAttachment(mdf::IAttachment*) override {}
  [[nodiscard]] uint32_t BitCount() const override { return bit_count_; }
  void BitCount(uint32_t bits) override { bit_count_ = bits; }
  [[nodiscard]] uint16_t BitOffset() const override { return bit_offset_; }
  void BitOffset(uint16_t bits) override { bit_offset_ = bits; }
  [[nodiscard]] uint32_t ByteOffset() const override { return byte_offset_; }
  void ByteOffset(uint32_t bytes) override { byte_offset_ = bytes; }
  [[nodiscard]] mdf::IChannelGroup* ChannelGroup() const override { return group_; }
  [[nodiscard]] std::vector<uint8_t>& SampleBuffer() const override { return group_->SampleBuffer(); }
  void SetValid(bool, uint64_t) override {}
  [[nodiscard]] bool GetValid(const std::vector<uint8_t>&, uint64_t) const override { return true; }

 private:
  mdf::IChannelGroup* group_;
  std::string name_;
  uint8_t data_type_;
  uint32_t byte_offset_;
  uint32_t bit_count_;
  uint16_t bit_offset_;
};

class LeWriter {
 public:
  explicit LeWriter(std::vector<uint8_t>& dest) : dest_(dest) {}
  LeWriter& Text(const char* text) {
    for (; *text != 0; ++text) dest_.push_back(static_cast<uint8_t>(*text));
    return *this;
  }
  LeWriter& Zeros(size_t count) {
    dest_.insert(dest_.end(), count, 0);
    return *this;
  }
  LeWriter& Number(uint64_t value, int width) {
    for (int i = 0; i < width; ++i) dest_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }

 private:
  std::vector<uint8_t>& dest_;
};

// The file: DG at 64, CGs at 128, 232 and 336, the DT blocks from 440 on, the DL last. The
// records are generated block by block, so that the group is never in memory as a whole.
struct BenchFile {
  std::string name = "/tmp/mdf_bench_records_" + std::to_string(::getpid()) + ".mf4";
  uint64_t counts[3] = {0, 0, 0};
  uint64_t data_size = 0;

  BenchFile() {
    constexpr uint64_t kGroupPositions[3] = {128, 232, 336};
    constexpr uint64_t kFirstBlock = 440;
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    const auto put = [&out](const std::vector<uint8_t>& bytes) {
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };

    uint32_t state = 2463534242U;
    uint64_t time = 0;
    std::vector<uint8_t> stream;  // records not yet in a block
    const auto next_record = [&]() {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const unsigned group = state % 3;
      time += 1000 + (state >> 22);
      stream.push_back(static_cast<uint8_t>(group + 1));
      LeWriter r(stream);
      switch (group) {
        case 0:  // CAN frame: time, id, DLC, direction, 8 data bytes, 8 reserved bytes
          r.Number(time, 8).Number(0x100 + (state >> 8 & 0x3F), 4).Number(8, 1).Number(state >> 5 & 1, 1);
          r.Number(state * 2654435761ULL, 8).Number(0, 8);
          break;
        case 1:  // time, id, signed 16-bit value, half-float pattern
          r.Number(time, 8).Number(0x200 + (state >> 9 & 0x7), 4).Number(state >> 3 & 0xFFFF, 2);
          r.Number(0x3C00 + (state >> 12 & 0x3FF), 2);
          break;
        default:  // 32-bit time, 16 bits holding a 12-bit big-endian value, two bytes
          r.Number(time & 0xFFFFFFFF, 4).Number(state >> 4 & 0xFFFF, 2).Number(state >> 20 & 0xFF, 1);
          r.Number(state & 0xFF, 1);
          break;
      }
      ++counts[group];
    };

    std::vector<uint8_t> head(64, 0);
    out.seekp(static_cast<std::streamoff>(kFirstBlock));
    std::vector<uint64_t> positions;
    uint64_t position = kFirstBlock;
    uint64_t generated = 0;
    while (generated < kDataSize) {
      while (stream.size() < kBlockSize && generated + stream.size() < kDataSize) next_record();
      const uint64_t size = std::min<uint64_t>(stream.size(), kBlockSize);
      std::vector<uint8_t> block;
      LeWriter(block).Text("##DT").Number(0, 4).Number(24 + size, 8).Number(0, 8);
      block.insert(block.end(), stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
      stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
      block.resize((block.size() + 7) / 8 * 8, 0);
      put(block);
      positions.push_back(position);
      position += block.size();
      generated += size;
    }
    while (!stream.empty()) {  // the last records, in a shorter last block
      const uint64_t size = stream.size();
      std::vector<uint8_t> block;
      LeWriter(block).Text("##DT").Number(0, 4).Number(24 + size, 8).Number(0, 8);
      block.insert(block.end(), stream.begin(), stream.end());
      stream.clear();
      block.resize((block.size() + 7) / 8 * 8, 0);
      put(block);
      positions.push_back(position);
      position += block.size();
      generated += size;
    }
    data_size = generated;

    const uint64_t list_position = position;
    const uint64_t count = positions.size();
    std::vector<uint8_t> list;
    LeWriter l(list);
    l.Text("##DL").Number(0, 4).Number(40 + 8 * count + 8 * count, 8).Number(count + 1, 8).Number(0, 8);
    for (const uint64_t link : positions) l.Number(link, 8);
    l.Number(0, 1).Number(0, 3).Number(count, 4);
    for (uint64_t i = 0; i < count; ++i) l.Number(i * kBlockSize, 8);
    put(list);

    LeWriter h(head);
    h.Text("##DG").Number(0, 4).Number(64, 8).Number(4, 8).Number(0, 8).Number(kGroupPositions[0], 8);
    h.Number(list_position, 8).Number(0, 8).Number(1, 1).Zeros(7);
    for (int i = 0; i < 3; ++i) {
      h.Text("##CG").Number(0, 4).Number(104, 8).Number(6, 8);
      h.Number(i < 2 ? kGroupPositions[i + 1] : 0, 8).Zeros(40);
      h.Number(static_cast<uint64_t>(i + 1), 8).Number(counts[i], 8).Number(0, 2).Number('/', 2).Number(0, 4);
      h.Number(kRecordSizes[i], 4).Number(0, 4);
    }
    out.seekp(0);
    put(head);
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
  std::vector<std::unique_ptr<BenchChannel>> channels;

  OpenGroup() {
    file.open(File().name, std::ios::binary | std::ios::in);
    SetStreamPosition(file, 64);
    group.Read(file);
    group.ReadCgList(file);
    auto* frames = group.Cg4List()[0].get();
    auto* values = group.Cg4List()[1].get();
    auto* small = group.Cg4List()[2].get();
    const auto add = [this](mdf::IChannelGroup* owner, const char* name, uint8_t type, uint32_t offset,
                            uint32_t bits, uint16_t bit_offset = 0) {
      channels.push_back(std::make_unique<BenchChannel>(owner, name, type, offset, bits, bit_offset));
    };
    add(frames, "Time", 0, 0, 64);
    add(frames, "ID", 0, 8, 32);
    add(frames, "DLC", 0, 12, 8);
    add(frames, "Dir", 0, 13, 1);
    add(frames, "DataBytes", 10, 14, 64);
    add(values, "Time", 0, 0, 64);
    add(values, "ID", 0, 8, 32);
    add(values, "Value", 2, 12, 16);
    add(values, "Half", 4, 14, 16);
    add(small, "Time", 0, 0, 32);
    add(small, "Big", 1, 4, 12, 4);
    add(small, "A", 0, 6, 8);
    add(small, "B", 2, 7, 8);
  }
};

std::unique_ptr<mdf::IChannelObserver> MakeObserver(Dg4Block& group, BenchChannel& channel) {
  auto& owner = *channel.ChannelGroup();
  const std::string name = channel.Name();
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

void ReadInto(benchmark::State& state, bool every_channel) {
  auto& file = File();
  OpenGroup open;
  std::vector<std::unique_ptr<mdf::IChannelObserver>> observers;
  if (every_channel) {
    for (auto& channel : open.channels) observers.push_back(MakeObserver(open.group, *channel));
  } else {
    observers.push_back(MakeObserver(open.group, *open.channels[1]));  // the frames' identifier
  }
  const long rss_before = PeakRssMiB();
  for (auto _ : state) {
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
