#pragma once
// Ordered maps of the stages: a cVec_t of plain entries kept sorted by their `key` member
// (which has operator<), looked up by binary search. The stages' maps hold a handful of
// configured identifiers and open transfers, so inserting and removing by moving the tail
// costs less than a tree would.
#include <cstdint>

#include "platform/vector.h"

/// Index of the first entry whose key is not below `key` (the count when there is none).
template <typename Entry, typename Key>
int64_t keyedLowerBound(const cVec_t<Entry>* vec, const Key& key) {
  int64_t low = 0;
  int64_t high = vec->count;
  while (low < high) {
    const int64_t middle = low + (high - low) / 2;
    if (vec->items[middle].key < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

/// Index of the entry with that key, or -1.
template <typename Entry, typename Key>
int64_t keyedFind(const cVec_t<Entry>* vec, const Key& key) {
  const int64_t index = keyedLowerBound(vec, key);
  return index < vec->count && !(key < vec->items[index].key) ? index : -1;
}

struct cKeyedInsert_t {
  int64_t index;  // -1 when the storage could not grow
  bool inserted;  // false when the key was there already (its entry is unchanged)
};

/// Inserts the entry at its place unless an entry with its key exists.
template <typename Entry>
cKeyedInsert_t keyedInsert(cVec_t<Entry>* vec, const Entry& entry) {
  const int64_t index = keyedLowerBound(vec, entry.key);
  if (index < vec->count && !(entry.key < vec->items[index].key)) return {index, false};
  if (vecInsertAt(vec, index, entry) == nullptr) return {-1, false};
  return {index, true};
}
