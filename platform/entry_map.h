#pragma once
// cFsEntryMap_t: the result of a directory listing, an ordered map from entry name to
// cFileStat_t. Names compare byte-wise as unsigned bytes ("B" < "a", "a" < "ab") and occur
// once. It is an AA tree whose nodes live in one growable array and link by 32-bit indices,
// index 0 being the empty link; released nodes go to a free list that insertions reuse.
// A zero-initialised map (`cFsEntryMap_t m{}`) is empty.
#include <cstdint>

#include "platform/cstr.h"

constexpr int32_t kFileKindOther = 0;
constexpr int32_t kFileKindRegular = 1;
constexpr int32_t kFileKindDirectory = 2;
constexpr int32_t kFileKindMissing = 3;

struct cFileStat_t {
  int32_t kind;  // kFileKind...
  int64_t size;  // bytes of a regular file, else 0
  // Which file it is and when its bytes last changed; 0 where the kind cannot tell. Paths that
  // reach one file (links, other spellings) give one identity.
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modified_ns = 0;
  uint64_t links = 0;  // the names the file has; 0 where the kind cannot tell
  // When the file last changed in any way (bytes, names, owner, times set); no caller can set
  // it, so a rewrite that puts the modification time back still shows. 0 where unknown.
  int64_t changed_ns = 0;
  // When the file was made, where the kind tells (statx's birth time); 0 where unknown. A file
  // made later on a removed file's inode number differs here whatever its other times.
  int64_t born_ns = 0;
};

struct cFsEntryNode_t {
  uint32_t left;
  uint32_t right;  // also the free list's link
  uint32_t level;  // 0 only for the empty link
  cStr_t name;
  cFileStat_t stat;
};

struct cFsEntryMap_t {
  cFsEntryNode_t* nodes;  // node 0 is the empty link
  uint32_t capacity;      // nodes allocated
  uint32_t used;          // nodes ever handed out, node 0 included
  uint32_t root;
  uint32_t free_list;
  uint32_t count;  // entries in the tree
};

/// A path through the tree holds at most 2 * level nodes and the root's level is at most
/// log2(count + 1), so 64 covers every tree that 32-bit indices can address.
constexpr int kEntryMapMaxDepth = 64;

/// Inserts the name with its stat when it is new; an existing entry keeps its stat. False
/// only when memory is short (the map is unchanged).
bool entryMapInsert(cFsEntryMap_t* map, cStrView_t name, cFileStat_t stat);
/// The entry of that name, or null.
const cFsEntryNode_t* entryMapFind(const cFsEntryMap_t* map, cStrView_t name);
/// Releases every entry's name and puts the nodes on the free list.
void entryMapClear(cFsEntryMap_t* map);
/// Frees names and nodes; the map is empty afterwards.
void entryMapRelease(cFsEntryMap_t* map);

/// In-order iteration (ascending names). The map must not change while it runs.
struct cFsEntryIter_t {
  const cFsEntryMap_t* map;
  uint32_t stack[kEntryMapMaxDepth];
  int depth;
};
void entryMapIterBegin(cFsEntryIter_t* iter, const cFsEntryMap_t* map);
/// The next entry, or null after the last.
const cFsEntryNode_t* entryMapIterNext(cFsEntryIter_t* iter);
