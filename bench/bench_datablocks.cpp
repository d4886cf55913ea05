// Reading a 256 MiB data group through its data blocks: a DL over plain DT blocks, and an
// HL -> DL over DZ blocks (compared with zlib inflating the same streams from memory).
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "hl4block.h"
#include "support/datablockfixtures.h"

using namespace mdf::detail;

namespace {

constexpr size_t kDataSize = size_t{256} << 20;
// Block sizes as the writers make them: DT blocks of 4 MiB, DZ blocks below 4,000,000 bytes.
constexpr size_t kDtBlockSize = size_t{4} << 20;
constexpr size_t kDzBlockSize = 3'999'984;  // whole 24-byte records

// Stands for the data group: link 0 leads to its data.
using DataGroupStandIn = test::ListOwner;

// 24-byte bus records: rising time stamp, a few identifiers, DLC, changing data bytes.
std::vector<uint8_t> MakeRecords() {
  std::vector<uint8_t> data(kDataSize);
  uint64_t time = 1'000'000;
  uint32_t state = 12345;
  for (size_t offset = 0; offset + 24 <= data.size(); offset += 24) {
    state = state * 1103515245U + 12345U;
    time += 100'000 + (state >> 20);
    const uint32_t id = 0x100 + ((state >> 8) & 0x7);
    uint8_t* record = data.data() + offset;
    for (int i = 0; i < 8; ++i) record[i] = static_cast<uint8_t>(time >> (8 * i));
    for (int i = 0; i < 4; ++i) record[8 + i] = static_cast<uint8_t>(id >> (8 * i));
    record[12] = 8;
    for (int i = 0; i < 8; ++i) record[13 + i] = static_cast<uint8_t>((state >> (i * 3)) & (i < 4 ? 0xFF : 0x0F));
    record[21] = record[22] = record[23] = 0;
  }
  return data;
}

struct Files {
  std::string dt_file;
  std::string dz_file;
  std::vector<uint8_t> data;
  std::vector<std::vector<uint8_t>> zlib_streams;  // the DZ payloads, for the zlib baseline

  Files() {
    const std::string base = "/tmp/mdf_bench_" + std::to_string(::getpid());
    dt_file = base + "_dt.mf4";
    dz_file = base + "_dz.mf4";
    data = MakeRecords();

    {
      std::filebuf file;
      file.open(dt_file, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
      WriteZeroBytes(file, 64);
      Dl4Block list;
      for (size_t offset = 0; offset < data.size(); offset += kDtBlockSize) {
        auto block = std::make_unique<Dt4Block>();
        block->SetData({data.begin() + static_cast<std::ptrdiff_t>(offset),
                        data.begin() + static_cast<std::ptrdiff_t>(std::min(offset + kDtBlockSize, data.size()))});
        list.SetOffset(list.DataBlockList().size(), offset);
        list.AddDataBlock(std::move(block));
      }
      list.Write(file);
    }
    {
      std::filebuf file;
      file.open(dz_file, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
      WriteZeroBytes(file, 64);
      Hl4Block header;
      auto list = std::make_unique<Dl4Block>();
      for (size_t offset = 0; offset < data.size(); offset += kDzBlockSize) {
        auto block = CreateDz4Block();
        if (!block->SetData(
                {data.begin() + static_cast<std::ptrdiff_t>(offset),
                 data.begin() + static_cast<std::ptrdiff_t>(std::min(offset + kDzBlockSize, data.size()))})) {
          throw std::runtime_error("compression failed");
        }
        zlib_streams.push_back(block->Data());
        list->SetOffset(list->DataBlockList().size(), offset);
        list->AddDataBlock(std::move(block));
      }
      header.AddDataBlock(std::move(list));
      header.Write(file);
    }
  }
  ~Files() {
    std::remove(dt_file.c_str());
    std::remove(dz_file.c_str());
  }
};

Files& TestFiles() {
  static Files files;
  return files;
}

void CheckEqual(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, benchmark::State& state) {
  if (a != b) state.SkipWithError("data differ");
}

// The whole data group into one buffer, block after block.
void ReadGroup(benchmark::State& state, const std::string& filename) {
  auto& files = TestFiles();
  std::filebuf file;
  file.open(filename, std::ios::binary | std::ios::in);
  DataGroupStandIn group({64});
  group.ReadBlockList(file, 0);
  std::vector<uint8_t> dest(group.DataSize());
  for (auto _ : state) {
    uint64_t index = 0;
    group.CopyDataToBuffer(file, dest, index);
    benchmark::DoNotOptimize(dest.data());
  }
  CheckEqual(dest, files.data, state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dest.size()));
}

void BM_ReadDtChain(benchmark::State& state) { ReadGroup(state, TestFiles().dt_file); }
void BM_ReadDzBlocks(benchmark::State& state) { ReadGroup(state, TestFiles().dz_file); }

// One block at a time into a reused block buffer, as the record reader walks a group.
void BM_ReadDzBlockByBlock(benchmark::State& state) {
  auto& files = TestFiles();
  std::filebuf file;
  file.open(files.dz_file, std::ios::binary | std::ios::in);
  DataGroupStandIn group({64});
  group.ReadBlockList(file, 0);
  std::vector<DataBlock*> blocks;
  group.CollectDataBlocks(blocks);
  std::vector<uint8_t> block_buffer;
  for (auto _ : state) {
    for (const auto* block : blocks) {
      block_buffer.resize(block->DataSize());
      uint64_t index = 0;
      block->CopyDataToBuffer(file, block_buffer, index);
      benchmark::DoNotOptimize(block_buffer.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files.data.size()));
}

// Streaming inflate to a sink, 16 KiB at a time.
class NullSink : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

void BM_StreamDzBlocks(benchmark::State& state) {
  auto& files = TestFiles();
  std::filebuf file;
  file.open(files.dz_file, std::ios::binary | std::ios::in);
  DataGroupStandIn group({64});
  group.ReadBlockList(file, 0);
  std::vector<DataBlock*> blocks;
  group.CollectDataBlocks(blocks);
  NullSink sink;
  for (auto _ : state) {
    uint64_t total = 0;
    for (const auto* block : blocks) total += block->CopyDataToStream(file, sink);
    if (total != files.data.size()) state.SkipWithError("short stream");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files.data.size()));
}

// The baseline: zlib inflating the same streams, already in memory, into one buffer.
void BM_ZlibInflateBaseline(benchmark::State& state) {
  auto& files = TestFiles();
  std::vector<uint8_t> dest(files.data.size());
  for (auto _ : state) {
    size_t offset = 0;
    for (const auto& stream : files.zlib_streams) {
      uLongf size = static_cast<uLongf>(std::min(kDzBlockSize, dest.size() - offset));
      if (uncompress(dest.data() + offset, &size, stream.data(), static_cast<uLong>(stream.size())) != Z_OK) {
        state.SkipWithError("inflate failed");
      }
      offset += size;
    }
    benchmark::DoNotOptimize(dest.data());
  }
  CheckEqual(dest, files.data, state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dest.size()));
}

}  // namespace

BENCHMARK(BM_ReadDtChain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadDzBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadDzBlockByBlock)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StreamDzBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZlibInflateBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
