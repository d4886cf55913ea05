// Fuzz target over the single block readers: the first input byte picks a block kind, the
// next two (little endian) a position, the rest is the file; the block is read at that
// position, a data block then copies its data out, and every block lists its display rows. Anything but a crash, hang
// or sanitizer report is a pass.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "at4block.h"
#include "cc4block.h"
#include "ch4block.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "ev4block.h"
#include "fh4block.h"
#include "hl4block.h"
#include "idblock.h"
#include "ld4block.h"
#include "md4block.h"
#include "mdf/mdflogstream.h"
#include "si4block.h"
#include "support/memorybuffer.h"

namespace {

std::unique_ptr<mdf::detail::MdfBlock> MakeBlock(uint8_t kind) {
  using namespace mdf::detail;
  switch (kind % 13) {
    case 0:
      return std::make_unique<IdBlock>();
    case 1:
      return std::make_unique<Md4Block>();
    case 2:
      return std::make_unique<Fh4Block>();
    case 3:
      return std::make_unique<At4Block>();
    case 4:
      return std::make_unique<Ev4Block>();
    case 5:
      return std::make_unique<Si4Block>();
    case 6:
      return std::make_unique<Cc4Block>();
    case 7:
      return std::make_unique<Dt4Block>();
    case 8:
      return std::make_unique<Dz4Block>();
    case 9:
      return std::make_unique<Dl4Block>();
    case 10:
      return std::make_unique<Hl4Block>();
    case 11:
      return std::make_unique<Ld4Block>();
    default:
      return std::make_unique<Ch4Block>();
  }
}

// Swallows whatever a data block copies out.
class NullSink : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) {
    return 0;
  }
  mdf::InstallLogCallback({});
  const int64_t position = data[1] | (data[2] << 8);
  test::MemoryBuffer buffer(std::vector<uint8_t>(data + 3, data + size));
  auto block = MakeBlock(data[0]);
  try {
    buffer.pubseekpos(position);
    block->Read(buffer);
    if (auto* data_block = dynamic_cast<mdf::detail::DataBlock*>(block.get())) {
      NullSink sink;
      data_block->CopyDataToStream(buffer, sink);
    }
  } catch (const std::exception&) {
    // Damaged input is reported by exceptions; the reader's callers log them.
  }
  std::vector<mdf::BlockProperty> rows;
  block->GetBlockProperty(rows);
  return 0;
}
