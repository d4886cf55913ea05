#pragma once
// The one walker of linked block chains (each block's next link leads to the following one).
// Everything here comes from the file: a link may land on a block of another kind or lead
// back into the chain. Every link is checked before a block is made from it.
#include <cstdint>
#include <memory>
#include <set>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "mdfblock.h"
#include "readguard.h"

namespace mdf::detail {

/// Throws when a structural block was read from a block of another kind.
void CheckBlockId(const MdfBlock& block, const char* expected_id);

/// The id of the block at the position, `width` bytes: 4 for MDF 4 ("##CG"), 2 for MDF 3
/// ("CG"); "" at the end of the stream. The stream is left at the position.
std::string BlockIdAt(std::streambuf& buffer, int64_t position, size_t width = 4);

/// True when a whole header of the block id ("##SD") begins at the position and the block's
/// length runs past the end of the file: a block its logger was writing when the power was
/// lost. `length` and `links` are its header's. Never throws.
bool BlockCutByEnd(std::streambuf& buffer, int64_t position, const char* id, uint64_t& length, uint64_t& links);

/// True when a data list's header is whole at the position but the end of the file cuts the
/// list: a logger writes a list's header before its links and fields. What it had written of
/// them leads to no block yet (every link there is 0, or to a block not begun), so the list
/// holds nothing. A list that links a block already in the file is read as it is: what it
/// lists may be the records of blocks written before it. Never throws.
bool ListBegunAtEnd(std::streambuf& buffer, int64_t position);

/// True when the bytes from `position` to the end of the file are blocks a logger begins or
/// appends behind the records it writes, as its power loss leaves them: from the position, or
/// behind the zeros that align it, each block ends where the next begins (behind the zeros
/// that align it), and the last is a header cut by the end (BlockHeaderAtEnd: cut, or whole
/// with only zeros behind it), a block the end cuts, or a whole block that only zeros follow.
/// Before the last, only blocks that hold no records: a comment (MD, TX), an event (EV), or a
/// data list that lists nothing yet (ListBegunAtEnd, cut or padded); a signal data block begun
/// (no links, cut by the end) may be the last. Never throws.
bool BlocksBegunBehind(std::streambuf& buffer, int64_t position);

/// The first position, a multiple of 8 from `from` on, where blocks begun behind the records
/// a logger was writing reach the end of the file (BlocksBegunBehind), looked for in the last
/// 64 KiB before the last byte other than zero (zeros behind it may be padding): 0 when there
/// is none. `told` says whether the first block's bytes are told from record bytes: its whole
/// id is there, one the format has; a header cut within its id ("#", "##D") may as well be the
/// last bytes of records. Never throws.
int64_t BlockHeaderBegunAtEnd(std::streambuf& buffer, int64_t from, bool& told);

/// True when a data link to the position leads to a block that was begun where the file ends:
/// its header cut, or not begun yet (BlockHeaderAtEnd), or a data list whose header is whole
/// but whose links the end cut before any led to a block; it is noted (NoteCutHeader) for the
/// file's finalization to take as its torn end, or else as damage. Only data blocks are begun
/// so: any other block cut by the end of the file stays unreadable.
bool PassCutHeader(std::streambuf& buffer, int64_t position);

/// Walks the chain that the block at `from` starts with its link to `first`. Each position
/// must be new to the chain, be admitted by the guard and hold a block with the id; then
/// `read_one(position)` makes, reads and keeps the block there and returns it (null ends the
/// chain). Its link `next_link` leads on. A link that fails a check is reported and ends the
/// chain; the blocks read before it stay. True when the chain ended at a link of 0 (or at
/// a block `read_one` did not make), false when damage cut it. In a chain of data lists
/// (`data_chain`) a list begun where the file ends ends the chain too (PassCutHeader).
template <typename ReadOne>
bool WalkChain(std::streambuf& buffer, ReadGuard& guard, int64_t from, int64_t first, const std::string& id,
               size_t next_link, ReadOne&& read_one, bool data_chain = false) {
  // A guard that remembers every block already sees a repeated position.
  std::set<int64_t> chain;
  const bool own_set = !guard.RemembersEveryBlock();
  int64_t position = first;
  while (position > 0) {
    if (own_set && !chain.insert(position).second) {
      guard.Log(Damage::kCyclicLink, from, position);
      return false;
    }
    if (!guard.MayEnter(from, position)) {
      return false;
    }
    if (data_chain && PassCutHeader(buffer, position)) {
      return true;
    }
    if (const std::string found = BlockIdAt(buffer, position, id.size()); found != id) {
      guard.LogWrongKind(from, position, id, found);
      return false;
    }
    const MdfBlock* block = read_one(position);
    if (block == nullptr) {
      return true;
    }
    from = position;
    position = block->Link(next_link);
  }
  // A negative link leads out of the file: it was reported when the block holding it was read.
  return position == 0;
}

/// Reads the flat chain that starts at `first` into the list, each block of class Block
/// attached to the parent and read through link 0 to the next, under the guard of the
/// blocks already read. False when damage cut the chain.
template <typename Block>
bool ReadBlockChain(std::streambuf& buffer, MdfBlock* parent, int64_t first, const char* expected_id,
                    std::vector<std::unique_ptr<Block>>& list, ReadGuard& guard) {
  return WalkChain(buffer, guard, parent != nullptr ? parent->FilePosition() : 0, first, expected_id, 0,
                   [&](int64_t position) -> const MdfBlock* {
                     auto block = std::make_unique<Block>();
                     block->AttachToParent(parent);
                     SetStreamPosition(buffer, position);
                     block->Read(buffer);
                     list.push_back(std::move(block));
                     return list.back().get();
                   });
}

/// The same with a guard of the chain's own.
template <typename Block>
bool ReadBlockChain(std::streambuf& buffer, MdfBlock* parent, int64_t first, const char* expected_id,
                    std::vector<std::unique_ptr<Block>>& list) {
  ReadGuard guard(Nesting::kChain);
  return ReadBlockChain(buffer, parent, first, expected_id, list, guard);
}

}  // namespace mdf::detail
