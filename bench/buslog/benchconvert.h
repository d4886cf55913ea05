#pragma once
// One recording converted from memory to memory as the command line converts a file: reader
// (file information, metadata), iterator, the transport-protocol and demultiplexer stages, the
// bus-log writer; each phase timed, and the peak memory of the process that ran it.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "benchchild.h"
#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "buslog/mux_handler.h"
#include "buslog/tp_handler.h"

namespace bench {

/// A recording a benchmark wrote to a temporary file, removed with it.
struct Recording {
  std::string path;
  uint64_t size = 0;
  uint64_t frames = 0;
  Recording() = default;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  Recording(Recording&& other) noexcept : path(std::move(other.path)), size(other.size), frames(other.frames) {
    other.path.clear();
  }
  ~Recording() {
    if (!path.empty()) std::remove(path.c_str());
  }
};

struct Result {
  double open_s = 0;      // open, file information, metadata
  double iterator_s = 0;  // observers, data read, fill, merge
  double chain_s = 0;     // the stages and the writer's collection
  double finalize_s = 0;  // the measurement cycles
  double peak_mib = 0;
  uint64_t events = 0;
  uint64_t output_bytes = 0;
  bool ok = false;
};

struct WriterStage {
  cRecordHandler_t handler;
  cMdfWriter_t* writer;
};

inline bool Collect(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  mdfWriterAddRecord(reinterpret_cast<WriterStage*>(handler)->writer, record);
  return true;
}
inline bool NewFile(cRecordHandler_t*, const cFileInfo_t*, uint8_t) { return true; }
inline bool EndFile(cRecordHandler_t*, const cFileInfo_t*) { return true; }
inline const cRecordHandlerOps_t kWriterOps = {Collect, NewFile, EndFile};

inline double Since(std::chrono::steady_clock::time_point& mark) {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - mark).count();
  mark = now;
  return seconds;
}

inline Result ConvertOnce(const std::string& input_path) {
  Result result;
  cStream_t* input = memoryStreamNew();
  {
    std::ifstream file(input_path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || file.gcount() > 0) {
      streamWrite(input, chunk.data(), static_cast<uint64_t>(file.gcount()));
    }
    streamSeek(input, 0, kSeekFromStart);
  }
  cStream_t* output = memoryStreamNew();
  cMdfWriter_t* writer = mdfWriterNew();
  WriterStage last{{&kWriterOps, nullptr}, writer};
  cMuxHandler_t* mux = muxHandlerNew(&last.handler, nullptr);
  cTpHandler_t* tp = tpHandlerNew(&mux->handler);
  muxHandlerSetDemuxTarget(mux, &tp->handler);
  tpHandlerConfigure(tp, kBusTypeCan, 1, canIdKey(0x7E8, 0), kTpProtocolIsoTp);
  const uint8_t targets[kMuxSlotCount] = {5, 6, 7, 8};
  muxHandlerConfigure(mux, kBusTypeCan, 1, canIdKey(0x010, 0), targets);

  auto mark = std::chrono::steady_clock::now();
  cMdfReader_t* reader = mdfReaderOpen(input);
  cFileInfo_t info{};
  mdfReaderGetFileInfo(reader, &info);
  const bool opened = reader != nullptr && mdfWriterOpen(writer, output, &info, mdfReaderGetMetadata(reader));
  result.open_s = Since(mark);
  cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader);
  result.iterator_s = Since(mark);
  recordHandlerNewFile(&tp->handler, &info, 0);
  for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;) {
    recordHandlerHandle(&tp->handler, record);
    ++result.events;
  }
  recordHandlerEndFile(&tp->handler, &info);
  mdfReaderIteratorFree(iterator);
  mdfReaderClose(reader);
  result.chain_s = Since(mark);
  result.ok = opened && iterator != nullptr && mdfWriterFinalize(writer);
  result.finalize_s = Since(mark);
  result.output_bytes = static_cast<uint64_t>(streamSeek(output, 0, kSeekFromEnd));
  // LOGMEND_BENCH_OUTPUT names a file for the output, to compare the outputs of two builds.
  if (const char* path = std::getenv("LOGMEND_BENCH_OUTPUT"); path != nullptr && *path != '\0') {
    std::ofstream file(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    streamSeek(output, 0, kSeekFromStart);
    for (int64_t n; (n = streamRead(output, chunk.data(), chunk.size())) > 0;) file.write(chunk.data(), n);
  }

  result.peak_mib = static_cast<double>(PeakKiB()) / 1024;
  mdfWriterFree(writer);
  tpHandlerFree(tp);
  muxHandlerFree(mux);
  fileInfoRelease(&info);
  streamClose(output);
  streamClose(input);
  return result;
}

}  // namespace bench
