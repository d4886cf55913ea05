// Fuzz target over the container reader: an input is a file in a memory stream, unwrapped
// layer after layer as the input walk does (password "secret"), and the innermost body is
// read whole. Anything but a crash, hang or sanitizer report is a pass.
#include <cstddef>
#include <cstdint>

#include "platform/container.h"
#include "platform/stream.h"

namespace {

// Key derivation is mbedTLS's own work and costs time linear in the count: counts up to the
// container's own bound only make the fuzzer slow, so layers with more are not opened.
constexpr uint32_t kMaxFuzzIterations = 1000;
// Each compressed layer may expand its source some 4,400 times; a layer is only opened over
// a source this small (the outermost is the input itself), which bounds the memory.
constexpr int64_t kMaxNestedSource = int64_t{64} << 10;

bool CheapToOpen(cStream_t* stream, const cContainerHeader_t& header) {
  if (containerDepth(stream) > 0 && streamSize(stream) > kMaxNestedSource) return false;
  if (header.kind != kContainerEncrypted) return true;
  cByteReader_t cursor;
  if (streamSeek(stream, 32, kSeekFromStart) != 32) return false;
  byteReaderInit(&cursor, stream);
  uint32_t iterations = 0;
  return byteReaderReadU32Be(&cursor, &iterations) && iterations <= kMaxFuzzIterations;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cStream_t* input = memoryStreamNew();
  if (size > 0) streamWrite(input, data, size);
  cStream_t* current = input;
  cContainerHeader_t header;
  static const uint8_t kPassword[] = {'s', 'e', 'c', 'r', 'e', 't'};
  while (readContainerHeader(current, &header) == 1 && CheapToOpen(current, header)) {
    cStream_t* next = nullptr;
    if (header.kind == kContainerCompressed) next = openCompressedStream(current, &header);
    if (header.kind == kContainerEncrypted) next = openEncryptedStream(current, &header, kPassword, sizeof kPassword);
    if (next == nullptr) break;
    streamClose(current);
    current = next;
  }
  streamSeek(current, 0, kSeekFromStart);
  char chunk[4096];
  while (streamRead(current, chunk, sizeof chunk) > 0) {
  }
  streamClose(current);
  return 0;
}
