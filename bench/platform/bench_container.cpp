// Decoding the logger's containers around a 64 MiB logger-like body, in bytes of output:
// - BM_LzssCrcPath: the compressed payload read through window, CRC-32 pass-through and
//   LZSS decompressor into a reused buffer (the decoding path alone);
// - BM_DecompressContainer, BM_DecryptContainer: opening the container whole, the body
//   collected in a fresh memory stream (key derivation included, 1000 iterations);
// - BM_FreshMemoryBody: only collecting 64 MiB in a fresh memory stream, the share of the
//   two above that is the memory's (first-touch page faults dominate it in a VM).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/container.h"
#include "platform/crc32.h"
#include "platform/lzss.h"
#include "platform/stream.h"
#include "support/genericfile.h"

namespace {

constexpr size_t kBodySize = size_t{64} << 20;
constexpr int64_t kPayloadStart = 28;
constexpr int64_t kFooterSize = 4;

const std::string& Body() {
  static const std::string body = test::LoggerLikeBody(kBodySize, 2024);
  return body;
}

// Encoded once per size pair: a benchmark function runs several times.
const std::string& CompressedFile(int window_bits, int lookahead_bits) {
  static std::map<std::pair<int, int>, std::string> files;
  std::string& file = files[{window_bits, lookahead_bits}];
  if (file.empty()) file = test::CompressedContainer(Body(), window_bits, lookahead_bits, true);
  return file;
}

cStream_t* MemoryOf(const std::string& bytes) {
  cStream_t* stream = memoryStreamNew();
  streamWrite(stream, bytes.data(), bytes.size());
  return stream;
}

void Open(benchmark::State& state, const std::string& file, bool compressed) {
  cStream_t* source = MemoryOf(file);
  for (auto _ : state) {
    cContainerHeader_t header;
    if (readContainerHeader(source, &header) != 1) state.SkipWithError("not a container");
    cStream_t* body = compressed ? openCompressedStream(source, &header)
                                 : openEncryptedStream(source, &header, reinterpret_cast<const uint8_t*>("secret"), 6);
    if (body == nullptr || streamTell(body) != static_cast<int64_t>(kBodySize)) state.SkipWithError("not decoded");
    streamClose(body);
  }
  streamClose(source);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}

void BM_LzssCrcPath(benchmark::State& state) {
  const int window_bits = static_cast<int>(state.range(0));
  const int lookahead_bits = static_cast<int>(state.range(1));
  const std::string& file = CompressedFile(window_bits, lookahead_bits);
  state.counters["ratio"] = static_cast<double>(kBodySize) / static_cast<double>(file.size());
  cStream_t* source = MemoryOf(file);
  const int64_t payload_end = static_cast<int64_t>(file.size()) - kFooterSize;
  for (auto _ : state) {
    cStream_t* window = windowStreamNew(source, kPayloadStart, payload_end);
    cStream_t* crc = crcStreamNew(window);
    cStream_t* lzss = lzssStreamNew(crc, window_bits, lookahead_bits);
    uint8_t chunk[4096];
    int64_t total = 0;
    for (int64_t n; (n = streamRead(lzss, chunk, sizeof chunk)) > 0;) total += n;
    if (total != static_cast<int64_t>(kBodySize)) state.SkipWithError("not decoded");
    benchmark::DoNotOptimize(crcStreamValue(crc));
    streamClose(lzss);
    streamClose(crc);
    streamClose(window);
  }
  streamClose(source);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_LzssCrcPath)->Args({11, 4})->Args({8, 4})->Args({13, 6})->Unit(benchmark::kMillisecond);

void BM_DecompressContainer(benchmark::State& state) {
  Open(state, CompressedFile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))), true);
}
BENCHMARK(BM_DecompressContainer)->Args({11, 4})->Unit(benchmark::kMillisecond);

void BM_DecryptContainer(benchmark::State& state) {
  static const std::string file = test::EncryptedContainer(Body());
  Open(state, file, false);
}
BENCHMARK(BM_DecryptContainer)->Unit(benchmark::kMillisecond);

void BM_FreshMemoryBody(benchmark::State& state) {
  cStream_t* source = MemoryOf(Body());
  for (auto _ : state) {
    streamSeek(source, 0, kSeekFromStart);
    cStream_t* body = memoryStreamNew();
    if (streamCopyChecked(source, body) != static_cast<int64_t>(kBodySize)) state.SkipWithError("not copied");
    streamClose(body);
  }
  streamClose(source);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_FreshMemoryBody)->Unit(benchmark::kMillisecond);

}  // namespace
