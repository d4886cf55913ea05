#include "platform/entry_map.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr uint32_t kNil = 0;

int CompareNames(cStrView_t a, const cStr_t* stored) {
  const cStrView_t b = cStrViewOfStr(stored);
  const int64_t common = a.length < b.length ? a.length : b.length;
  const int order = common > 0 ? std::memcmp(a.data, b.data, static_cast<size_t>(common)) : 0;  // unsigned bytes
  if (order != 0) return order;
  return a.length < b.length ? -1 : (a.length > b.length ? 1 : 0);
}

// A node for a new entry, from the free list or the array, which grows to count * 3 / 2 + 4
// nodes when full. kNil when memory is short or the 32-bit indices are used up.
uint32_t AllocateNode(cFsEntryMap_t* map) {
  if (map->free_list != kNil) {
    const uint32_t index = map->free_list;
    map->free_list = map->nodes[index].right;
    return index;
  }
  if (map->used == map->capacity) {
    constexpr uint64_t kMaxNodes = std::numeric_limits<uint32_t>::max();
    const uint64_t capacity = uint64_t{map->capacity} * 3 / 2 + 4;
    if (capacity > kMaxNodes || capacity > SIZE_MAX / sizeof(cFsEntryNode_t)) return kNil;
    void* nodes = std::realloc(map->nodes, static_cast<size_t>(capacity) * sizeof(cFsEntryNode_t));
    if (nodes == nullptr) return kNil;
    map->nodes = static_cast<cFsEntryNode_t*>(nodes);
    map->capacity = static_cast<uint32_t>(capacity);
    if (map->used == 0) {
      std::memset(static_cast<void*>(&map->nodes[kNil]), 0, sizeof(cFsEntryNode_t));  // the empty link, level 0
      map->used = 1;
    }
  }
  return map->used++;
}

// A free node has level 0, which tells it from the tree's nodes.
void FreeNode(cFsEntryMap_t* map, uint32_t index) {
  map->nodes[index].level = 0;
  map->nodes[index].left = kNil;
  map->nodes[index].right = map->free_list;
  map->free_list = index;
}

// The two AA-tree rotations; the empty link has level 0, so they need no special cases.
uint32_t Skew(cFsEntryNode_t* nodes, uint32_t t) {
  const uint32_t l = nodes[t].left;
  if (l == kNil || nodes[l].level != nodes[t].level) return t;
  nodes[t].left = nodes[l].right;
  nodes[l].right = t;
  return l;
}

uint32_t Split(cFsEntryNode_t* nodes, uint32_t t) {
  const uint32_t r = nodes[t].right;
  if (r == kNil || nodes[nodes[r].right].level != nodes[t].level) return t;
  nodes[t].right = nodes[r].left;
  nodes[r].left = t;
  ++nodes[r].level;
  return r;
}

void PushLeftSpine(cFsEntryIter_t* iter, uint32_t index) {
  while (index != kNil && iter->depth < kEntryMapMaxDepth) {
    iter->stack[iter->depth++] = index;
    index = iter->map->nodes[index].left;
  }
}

}  // namespace

bool entryMapInsert(cFsEntryMap_t* map, cStrView_t name, cFileStat_t stat) {
  uint32_t path[kEntryMapMaxDepth];
  bool went_left[kEntryMapMaxDepth];
  int depth = 0;
  for (uint32_t current = map->root; current != kNil;) {
    const int order = CompareNames(name, &map->nodes[current].name);
    if (order == 0) return true;
    if (depth == kEntryMapMaxDepth) return false;  // unreachable for a balanced tree
    path[depth] = current;
    went_left[depth++] = order < 0;
    current = order < 0 ? map->nodes[current].left : map->nodes[current].right;
  }
  const uint32_t node = AllocateNode(map);
  if (node == kNil) return false;
  cFsEntryNode_t* nodes = map->nodes;
  if (!cStrInit(&nodes[node].name, name)) {
    FreeNode(map, node);
    return false;
  }
  nodes[node].left = kNil;
  nodes[node].right = kNil;
  nodes[node].level = 1;
  nodes[node].stat = stat;
  ++map->count;
  // Hang the node below its parent, then skew and split every node of the path, bottom up.
  uint32_t child = node;
  for (int i = depth - 1; i >= 0; --i) {
    uint32_t parent = path[i];
    (went_left[i] ? nodes[parent].left : nodes[parent].right) = child;
    parent = Skew(nodes, parent);
    parent = Split(nodes, parent);
    child = parent;
  }
  map->root = child;
  return true;
}

const cFsEntryNode_t* entryMapFind(const cFsEntryMap_t* map, cStrView_t name) {
  for (uint32_t current = map->root; current != kNil;) {
    const int order = CompareNames(name, &map->nodes[current].name);
    if (order == 0) return &map->nodes[current];
    current = order < 0 ? map->nodes[current].left : map->nodes[current].right;
  }
  return nullptr;
}

void entryMapClear(cFsEntryMap_t* map) {
  for (uint32_t i = 1; i < map->used; ++i) {
    if (map->nodes[i].level == 0) continue;  // already free
    cStrRelease(&map->nodes[i].name);
    FreeNode(map, i);
  }
  map->root = kNil;
  map->count = 0;
}

void entryMapRelease(cFsEntryMap_t* map) {
  for (uint32_t i = 1; i < map->used; ++i) {
    if (map->nodes[i].level != 0) cStrRelease(&map->nodes[i].name);
  }
  std::free(map->nodes);
  *map = cFsEntryMap_t{};
}

void entryMapIterBegin(cFsEntryIter_t* iter, const cFsEntryMap_t* map) {
  iter->map = map;
  iter->depth = 0;
  PushLeftSpine(iter, map->root);
}

const cFsEntryNode_t* entryMapIterNext(cFsEntryIter_t* iter) {
  if (iter->depth == 0) return nullptr;
  const uint32_t index = iter->stack[--iter->depth];
  PushLeftSpine(iter, iter->map->nodes[index].right);
  return &iter->map->nodes[index];
}
