#include "blockchain.h"

#include <algorithm>
#include <array>
#include <exception>
#include <vector>

#include "blocklayout.h"
#include "byteorder.h"
#include "damage.h"
#include "datablock.h"

namespace mdf::detail {

namespace {
constexpr int64_t kHeaderBytes = 24;
}  // namespace

void CheckBlockId(const MdfBlock& block, const char* expected_id) {
  if (block.BlockId() != expected_id) {
    throw MdfRuntimeError("Unexpected block type. Expected: " + std::string(expected_id) +
                          ", Found: " + block.BlockId() + ", Position: " + AddressToText(block.FilePosition()));
  }
}

std::string BlockIdAt(std::streambuf& buffer, int64_t position, size_t width) {
  SetStreamPosition(buffer, position);
  std::string id;
  ReadFixedText(buffer, id, width);  // Stops short at the end of the stream.
  SetStreamPosition(buffer, position);
  return id;
}

bool BlockCutByEnd(std::streambuf& buffer, int64_t position, const char* id, uint64_t& length, uint64_t& links) {
  try {
    const int64_t end = GetLastStreamPosition(buffer);
    if (position < 0 || end - position < kHeaderBytes) return false;
    std::array<uint8_t, kHeaderBytes> head{};
    SetStreamPosition(buffer, position);
    if (buffer.sgetn(reinterpret_cast<char*>(head.data()), kHeaderBytes) != kHeaderBytes) return false;
    std::array<uint8_t, 8> expected{};
    std::copy_n(id, 4, expected.begin());  // then the reserved zeros
    if (!std::equal(expected.begin(), expected.end(), head.begin())) return false;
    length = LoadLe64(head.data() + 8);
    links = LoadLe64(head.data() + 16);
    return length > static_cast<uint64_t>(end - position);
  } catch (const std::exception&) {
    return false;
  }
}

bool ListBegunAtEnd(std::streambuf& buffer, int64_t position) {
  uint64_t length = 0;
  uint64_t links = 0;
  if (!BlockCutByEnd(buffer, position, "##DL", length, links)) return false;
  // A list of fewer links or fields than its type lays out is damage, cut or not.
  const BlockLayout* layout = FindBlockLayout("##DL");
  if (links > (length - kHeaderBytes) / 8 || layout == nullptr || links < layout->links ||
      length < MinimumLength(*layout, links)) {
    return false;
  }
  try {
    const int64_t end = GetLastStreamPosition(buffer);
    // Only the links the file holds whole: the rest were not written yet.
    const uint64_t whole_links = std::min(links, static_cast<uint64_t>(end - position - kHeaderBytes) / 8);
    SetStreamPosition(buffer, position + kHeaderBytes);
    std::vector<int64_t> targets;
    for (uint64_t i = 0; i < whole_links; ++i) {
      std::array<uint8_t, 8> bytes{};
      if (buffer.sgetn(reinterpret_cast<char*>(bytes.data()), 8) != 8) return false;
      const uint64_t link = LoadLe64(bytes.data());
      if (link != 0) targets.push_back(link >= static_cast<uint64_t>(end) ? end : static_cast<int64_t>(link));
    }
    return std::all_of(targets.begin(), targets.end(), [&buffer](int64_t target) {
      const HeaderAtEnd found = BlockHeaderAtEnd(buffer, target);
      return found == HeaderAtEnd::kCut || found == HeaderAtEnd::kZeros;
    });
  } catch (const std::exception&) {
    return false;
  }
}

bool PassCutHeader(std::streambuf& buffer, int64_t position) {
  const HeaderAtEnd found = BlockHeaderAtEnd(buffer, position);
  if (found != HeaderAtEnd::kCut && found != HeaderAtEnd::kZeros && !ListBegunAtEnd(buffer, position)) return false;
  NoteCutHeader(static_cast<uint64_t>(position));
  return true;
}

}  // namespace mdf::detail
