#include "blockchain.h"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "blocklayout.h"
#include "byteorder.h"
#include "damage.h"
#include "datablock.h"

namespace mdf::detail {

namespace {
constexpr int64_t kHeaderBytes = 24;
// How far before the end of the data the first block begun behind the records is looked for:
// a logger appends small blocks when it loses power (a comment, an event, a list's header);
// blocks begun further back are read as what they are (their bytes end the records as damage).
constexpr int64_t kBegunBlocksWindow = 64 * 1024;
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

namespace {

// True when the links of the data list at the position that the file holds whole lead to no
// block yet: each is 0, or leads to a block not begun (its header cut or not written). A list
// of fewer links or fields than its type lays out is damage, cut or not.
bool ListLeadsNowhere(std::streambuf& buffer, int64_t position, uint64_t length, uint64_t links) {
  const BlockLayout* layout = FindBlockLayout("##DL");
  if (length < kHeaderBytes || links > (length - kHeaderBytes) / 8 || layout == nullptr || links < layout->links ||
      length < MinimumLength(*layout, links)) {
    return false;
  }
  const int64_t end = GetLastStreamPosition(buffer);
  if (end - position < kHeaderBytes) return false;
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
}

// True when the bytes from `from` up to `to` are zeros (none when `to` is not past `from`).
bool ZerosBetween(std::streambuf& buffer, int64_t from, int64_t to) {
  if (to <= from) return true;
  std::array<char, kMdf4BlockAlignment> gap{};
  SetStreamPosition(buffer, from);
  const auto size = static_cast<std::streamsize>(to - from);
  return size <= kMdf4BlockAlignment && buffer.sgetn(gap.data(), size) == size &&
         std::all_of(gap.begin(), gap.begin() + size, [](char byte) { return byte == 0; });
}

// The blocks a logger appends that hold no records: a comment or an event it writes when it
// loses power.
bool HoldsNoRecords(std::string_view id) { return id == "##MD" || id == "##TX" || id == "##EV"; }

}  // namespace

bool ListBegunAtEnd(std::streambuf& buffer, int64_t position) {
  uint64_t length = 0;
  uint64_t links = 0;
  if (!BlockCutByEnd(buffer, position, "##DL", length, links)) return false;
  try {
    return ListLeadsNowhere(buffer, position, length, links);
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

// What the walks of BlocksBegunBehind found from the positions they reached behind a block:
// from there the answer depends on the position alone.
using BegunWalks = std::unordered_map<int64_t, bool>;

// The walk of BlocksBegunBehind. With `known`, a position reached behind a block that a walk
// before reached gives its answer; the others it reaches are added to `passed`.
bool WalkBegunBlocks(std::streambuf& buffer, int64_t position, const BegunWalks* known, std::vector<int64_t>& passed) {
  try {
    const int64_t end = GetLastStreamPosition(buffer);
    if (position < 0 || position >= end) return false;
    int64_t at = position;
    if (at % kMdf4BlockAlignment != 0) {
      // A header begun at once where the file ends, or behind the zeros that align it.
      if (const HeaderAtEnd found = BlockHeaderAtEnd(buffer, at, true);
          found == HeaderAtEnd::kCut || found == HeaderAtEnd::kWhole) {
        return true;
      }
      at = AlignUp(at);
      if (at >= end || !ZerosBetween(buffer, position, at)) return false;
    }
    // Each block ends where the next begins (behind the zeros that align it); every step
    // passes a whole header, so the walk ends.
    for (bool first = true; at < end; first = false) {
      if (!first && known != nullptr) {
        if (const auto found = known->find(at); found != known->end()) return found->second;
        passed.push_back(at);
      }
      switch (BlockHeaderAtEnd(buffer, at, true)) {
        case HeaderAtEnd::kCut:
        case HeaderAtEnd::kWhole:
          return true;  // the block begun where the power was lost
        case HeaderAtEnd::kZeros:
          return !first;  // padding behind a whole block; zeros alone are no block
        case HeaderAtEnd::kNone:
          break;
      }
      if (!KnownHeaderAt(buffer, at)) return false;
      std::array<char, kHeaderBytes> head{};
      SetStreamPosition(buffer, at);
      if (buffer.sgetn(head.data(), kHeaderBytes) != kHeaderBytes) return false;
      const std::string_view id(head.data(), 4);
      const uint64_t length = LoadLe64(reinterpret_cast<const uint8_t*>(head.data()) + 8);
      const uint64_t links = LoadLe64(reinterpret_cast<const uint8_t*>(head.data()) + 16);
      const bool reaches_end = length >= static_cast<uint64_t>(end - at);
      if (id == "##DL") {
        // A list written before its blocks, or padded: it lists nothing yet.
        if (!ListLeadsNowhere(buffer, at, length, links)) return false;
      } else if (id == "##SD") {
        return links == 0 && length > static_cast<uint64_t>(end - at);  // signal data begun: no entry is framed yet
      } else if (!HoldsNoRecords(id)) {
        return false;  // a data block with data: records no stream holds
      }
      if (reaches_end) return true;
      const auto block_end = static_cast<int64_t>(static_cast<uint64_t>(at) + length);
      at = AlignUp(block_end);
      if (!ZerosBetween(buffer, block_end, std::min(at, end))) return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// BlocksBegunBehind for one of many positions of a search: each stretch of blocks behind them
// is walked once, whichever position's walk reaches it first.
bool BlocksBegunBehind(std::streambuf& buffer, int64_t position, BegunWalks& known) {
  std::vector<int64_t> passed;
  const bool begun = WalkBegunBlocks(buffer, position, &known, passed);
  for (const int64_t at : passed) known.emplace(at, begun);
  return begun;
}

}  // namespace

bool BlocksBegunBehind(std::streambuf& buffer, int64_t position) {
  std::vector<int64_t> passed;
  return WalkBegunBlocks(buffer, position, nullptr, passed);
}

int64_t BlockHeaderBegunAtEnd(std::streambuf& buffer, int64_t from, bool& told) {
  told = false;
  try {
    const int64_t end = GetLastStreamPosition(buffer);
    if (from < 0 || from >= end) return 0;
    // The last byte other than zero: the blocks begun at the end reach it, and the zeros
    // behind it may be padding.
    std::array<char, 4096> chunk{};
    int64_t last = -1;
    for (int64_t at = end; at > from && last < 0;) {
      const int64_t step = std::min<int64_t>(at - from, static_cast<int64_t>(chunk.size()));
      at -= step;
      SetStreamPosition(buffer, at);
      if (buffer.sgetn(chunk.data(), step) != step) return 0;
      for (int64_t i = step; i > 0; --i) {
        if (chunk[static_cast<size_t>(i - 1)] != 0) {
          last = at + i - 1;
          break;
        }
      }
    }
    if (last < 0) return 0;
    // The first position from which blocks begun behind the records reach the end: its first
    // bytes are those of a header ("##", two capitals, reserved zeros), as far as they go.
    const int64_t window = AlignUp(std::max(from, last + 1 - kBegunBlocksWindow));
    ByteArray bytes(static_cast<size_t>(last + 1 - std::min(window, last + 1)));
    SetStreamPosition(buffer, window);
    if (buffer.sgetn(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())) !=
        static_cast<std::streamsize>(bytes.size())) {
      return 0;
    }
    const auto byte_at = [&bytes, window](int64_t at) -> uint8_t {
      const int64_t index = at - window;
      return index < static_cast<int64_t>(bytes.size()) ? bytes[static_cast<size_t>(index)] : 0;
    };
    // The candidates' walks meet in the blocks behind them: without the answers found, a tail
    // of thousands of small blocks would be walked to its end from each of them.
    BegunWalks walks;
    for (int64_t candidate = window; candidate <= last; candidate += kMdf4BlockAlignment) {
      bool fits = true;
      for (int64_t i = 0; i < kMdf4BlockAlignment && fits && candidate + i < end; ++i) {
        const uint8_t byte = byte_at(candidate + i);
        fits = i < 2 ? byte == '#' : i < 4 ? byte >= 'A' && byte <= 'Z' : byte == 0;
      }
      if (!fits || !BlocksBegunBehind(buffer, candidate, walks)) continue;
      std::array<char, 4> id{};
      SetStreamPosition(buffer, candidate);
      told = buffer.sgetn(id.data(), 4) == 4 && FindBlockLayout(std::string_view(id.data(), id.size())) != nullptr;
      return candidate;
    }
  } catch (const std::exception&) {
  }
  told = false;
  return 0;
}

bool PassCutHeader(std::streambuf& buffer, int64_t position) {
  const HeaderAtEnd found = BlockHeaderAtEnd(buffer, position);
  if (found != HeaderAtEnd::kCut && found != HeaderAtEnd::kZeros && !ListBegunAtEnd(buffer, position)) return false;
  NoteCutHeader(static_cast<uint64_t>(position));
  return true;
}

}  // namespace mdf::detail
