// Writing a measurement through the MDF 4 writer: 10 million samples of one channel group
// of 16-byte records (a microsecond time master and a 64-bit value), set, saved and written
// by the cycle's worker, into a memory stream buffer and into a file. The worker runs with
// its ordinary period, so a cycle this short is written by its last pass, as the bus-log
// writer's cycles are; the "Worker1ms" variants let the worker write while samples arrive.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <streambuf>
#include <string>

#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfwriter.h"

namespace {

constexpr uint64_t kNofSamples = 10'000'000;
constexpr uint64_t kRecordBytes = 16;
constexpr uint64_t kStartNs = 1'700'000'000'000'000'000ULL;

/// A file-like stream buffer in memory of a fixed capacity, allocated and touched up
/// front and emptied between runs: the writer is measured, not the growth of a vector or
/// the kernel's first touch of the pages.
class MemoryFile : public std::streambuf {
 public:
  explicit MemoryFile(size_t capacity) : bytes_(new char[capacity]), capacity_(capacity) {
    std::memset(bytes_.get(), 0, capacity_);
  }
  [[nodiscard]] size_t Size() const { return size_; }
  void Clear() { size_ = position_ = 0; }

 protected:
  std::streamsize xsputn(const char* source, std::streamsize count) override {
    const size_t n = std::min(static_cast<size_t>(count), capacity_ - std::min(position_, capacity_));
    std::memcpy(bytes_.get() + position_, source, n);
    position_ += n;
    size_ = std::max(size_, position_);
    return static_cast<std::streamsize>(n);
  }
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsgetn(char* dest, std::streamsize count) override {
    const size_t n = std::min(static_cast<size_t>(count), size_ - std::min(position_, size_));
    std::memcpy(dest, bytes_.get() + position_, n);
    position_ += n;
    return static_cast<std::streamsize>(n);
  }
  pos_type seekoff(off_type offset, std::ios_base::seekdir way, std::ios_base::openmode) override {
    const auto base = way == std::ios_base::beg   ? 0
                      : way == std::ios_base::cur ? static_cast<off_type>(position_)
                                                  : static_cast<off_type>(size_);
    return seekpos(base + offset, std::ios_base::in | std::ios_base::out);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode) override {
    if (position < 0 || static_cast<size_t>(position) > size_) return pos_type(off_type(-1));
    position_ = static_cast<size_t>(position);
    return position;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  size_t capacity_;
  size_t size_ = 0;
  size_t position_ = 0;
};

/// One cycle of kNofSamples samples; false when the writer reported a failure.
bool WriteCycle(const std::shared_ptr<std::streambuf>& output, std::chrono::nanoseconds period) {
  auto writer = mdf::CreateMdfWriter(mdf::MdfWriterType::kMdf4Writer);
  writer->Init(output);
  writer->WorkPeriod(period);
  mdf::IChannelGroup* group = writer->CreateDataGroup()->CreateChannelGroup();
  mdf::IChannel* time = group->CreateChannel();
  time->Name("Timestamp");
  time->ChannelType(2);
  time->SyncType(1);
  time->DataType(0);
  time->DataBytes(8);
  mdf::IChannelConversion* micro = writer->CreateChannelConversion(time);
  micro->SetType(1);
  micro->SetParameter(0, 0.0);
  micro->SetParameter(1, 1e-6);
  mdf::IChannel* value = group->CreateChannel();
  value->Name("Value");
  value->DataType(0);
  value->DataBytes(8);

  bool ok = writer->InitMeasurement();
  writer->StartMeasurement(kStartNs);
  for (uint64_t i = 0; i < kNofSamples; ++i) {
    value->SetChannelValue(i);
    writer->SaveSample(*group, kStartNs + i * 1000);
  }
  writer->StopMeasurement(UINT64_MAX);
  return writer->FinalizeMeasurement() && ok;
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kNofSamples));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kNofSamples * kRecordBytes));
}

void BM_Mdf4WriterToMemory(benchmark::State& state, std::chrono::nanoseconds period) {
  auto output = std::make_shared<MemoryFile>(kNofSamples * kRecordBytes + (1 << 20));
  for (auto _ : state) {
    output->Clear();
    if (!WriteCycle(output, period)) state.SkipWithError("the cycle failed");
    benchmark::DoNotOptimize(output->Size());
  }
  Report(state);
}

void BM_Mdf4WriterToFile(benchmark::State& state, std::chrono::nanoseconds period) {
  const std::string name = "/tmp/bench_mdfwriter_" + std::to_string(::getpid()) + ".mf4";
  for (auto _ : state) {
    auto output = std::make_shared<std::filebuf>();
    if (output->open(name, std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary) == nullptr) {
      state.SkipWithError("cannot create the file");
      break;
    }
    if (!WriteCycle(output, period)) state.SkipWithError("the cycle failed");
    output->close();
  }
  std::remove(name.c_str());
  Report(state);
}

BENCHMARK_CAPTURE(BM_Mdf4WriterToMemory, Worker10s, std::chrono::seconds(10))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Mdf4WriterToFile, Worker10s, std::chrono::seconds(10))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Mdf4WriterToMemory, Worker1ms, std::chrono::milliseconds(1))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Mdf4WriterToFile, Worker1ms, std::chrono::milliseconds(1))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
