// Fuzz target over the whole conversion of one input: the container loop, the logger-file
// reader, the event iterator, the TP and MUX stages and the bus-log writer, all on memory
// streams served by a file system of two files. Anything but a crash, hang or sanitizer
// report is a pass.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/converter.h"
#include "app/passwords.h"
#include "app/walker.h"
#include "buslog/mux_handler.h"
#include "buslog/tp_handler.h"
#include "platform/container.h"
#include "platform/filesystem.h"
#include "platform/log.h"
#include "platform/stream.h"

namespace {

constexpr char kRoot[] = "/fuzz/";
constexpr char kInput[] = "/fuzz/in.mf4";
// Key derivation costs time linear in its count; inputs asking for more only slow the fuzzer.
constexpr uint32_t kMaxFuzzIterations = 1000;
constexpr int64_t kIterationsAt = 32;

struct MemoryFs {
  cFileSystem_t fs;
  const uint8_t* data;
  size_t size;
};

bool Stat(cFileSystem_t* fs, const char* path, cFileStat_t* out) {
  const auto* self = reinterpret_cast<MemoryFs*>(fs);
  const bool input = std::strcmp(path, kInput) == 0;
  *out = {input ? kFileKindRegular : kFileKindMissing, input ? static_cast<int64_t>(self->size) : 0};
  return true;
}
bool List(cFileSystem_t*, const char*, cFsEntryMap_t*) { return true; }
bool MakeDirectory(cFileSystem_t*, const char*) { return true; }
bool Remove(cFileSystem_t*, const char*) { return true; }
cStream_t* Open(cFileSystem_t* fs, const char* path, int flags) {
  const auto* self = reinterpret_cast<MemoryFs*>(fs);
  cStream_t* stream = memoryStreamNew();
  if (stream == nullptr) return nullptr;
  if ((flags & kFsOpenRead) != 0) {
    if (std::strcmp(path, kInput) != 0) {
      streamClose(stream);
      return nullptr;
    }
    if (self->size > 0) streamWrite(stream, self->data, self->size);
    streamSeek(stream, 0, kSeekFromStart);
  }
  return stream;
}
bool Rename(cFileSystem_t*, const char*, const char*) { return true; }
bool SyncDirectory(cFileSystem_t*, const char*) { return true; }
void Destroy(cFileSystem_t*) {}
// No identity: the converter's checks of which file a name holds are skipped here.
const cFileSystemOps_t kMemoryFsOps = {Destroy,       Stat,   List,    MakeDirectory, Remove,  Open,   Rename,
                                       SyncDirectory, Rename, nullptr, nullptr,       nullptr, nullptr};

bool CheapToDerive(const uint8_t* data, size_t size) {
  if (size < static_cast<size_t>(kContainerHeaderSize) + 16 ||
      std::memcmp(data, kContainerMagic, kContainerMagicSize) != 0 || data[14] != kContainerEncrypted) {
    return true;
  }
  const uint32_t iterations = uint32_t{data[kIterationsAt]} << 24 | uint32_t{data[kIterationsAt + 1]} << 16 |
                              uint32_t{data[kIterationsAt + 2]} << 8 | data[kIterationsAt + 3];
  return iterations <= kMaxFuzzIterations;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!CheapToDerive(data, size)) return 0;
  MemoryFs memory{};
  if (!fsInit(&memory.fs, cStrViewOf(kRoot))) return 0;
  memory.fs.ops = &kMemoryFsOps;
  memory.data = data;
  memory.size = size;

  cSettings_t settings{0, 0, 0, -1, {}};
  parsePasswords(cStrViewOf("\"default\": \"secret\"\n"), &settings.passwords);
  // One demultiplexing rule, so that carriers on channel 1 with identifier 0x010 are unpacked.
  const uint8_t targets[4] = {2, 3, 4, 5};
  cConverterHandler_t* converter = converterHandlerNew(&memory.fs);
  cMuxHandler_t* mux = converter != nullptr ? muxHandlerNew(&converter->handler, nullptr) : nullptr;
  cTpHandler_t* tp = mux != nullptr ? tpHandlerNew(&mux->handler) : nullptr;
  if (tp != nullptr && muxHandlerSetDemuxTarget(mux, &tp->handler) &&
      tpHandlerConfigure(tp, kBusTypeCan, 1, 0x010, kTpProtocolIsoTp) &&
      muxHandlerConfigure(mux, kBusTypeCan, 1, 0x010, targets)) {
    if (cWalker_t* walker = walkerNew(&memory.fs, &memory.fs, 1, &settings, &tp->handler)) {
      converterHandlerSetWalker(converter, walker);
      cVec_t<cStr_t> inputs{};
      cStr_t input{};
      if (cStrInit(&input, cStrViewOf("in.mf4")) && vecPush(&inputs, input) != nullptr) convertInputs(walker, &inputs);
      vecRelease(
          &inputs, +[](cStr_t* s) { cStrRelease(s); });
      walkerFree(walker);
    }
  }
  converterHandlerFree(converter);
  muxHandlerFree(mux);
  tpHandlerFree(tp);
  passwordStoreRelease(&settings.passwords);
  fsDestroy(&memory.fs);
  return 0;
}
