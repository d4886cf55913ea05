#pragma once
// cHashMap_t: an open-addressing hash map with one control byte per bucket (0 empty, else
// the low byte of the key's spread hash with its top bit set) and linear probing. Entries and control
// bytes are two arrays, index for index; a 0xFF byte follows the last control byte. Bucket
// counts are odd; the load stays below 0.85. There is no removal.
//
// A zero-initialised map (`cHashMap_t<E, T> m{}`) is empty. Entries are plain records whose
// key lives inside them; Traits says how to hash and compare (see the two ready ones below):
//   using Key = ...;
//   static uint64_t hash(const Key&);
//   static uint64_t entryHash(const Entry&);       // hash of the entry's stored key
//   static bool matches(const Entry&, const Key&);
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/cstr.h"

constexpr uint64_t kHashMultiplier = 0xc6a4a7935bd1e99dULL;

/// Hash of n bytes: 1 for none; one word times the multiplier for exactly 4 or 8 bytes;
/// otherwise the first byte plus every whole 8-byte word times the multiplier, then
/// h * 1023 - c for each remaining byte, folded as h ^ rotl(h, 26).
uint64_t textHash(const void* bytes, size_t n);
inline uint64_t u64KeyHash(uint64_t key) { return key * kHashMultiplier; }

template <typename Entry, typename Traits>
struct cHashMap_t {
  Entry* entries;
  uint8_t* control;
  uint32_t size;
  uint32_t buckets;
};

template <typename Entry>
struct cHashInsert_t {
  Entry* entry;   // null when the map could not grow
  bool inserted;  // true for a new entry, which the caller fills (key first)
};

/// Entries keyed by a cStr_t member `key`, looked up by a text view.
template <typename Entry>
struct cTextKeyTraits_t {
  using Key = cStrView_t;
  static uint64_t hash(const Key& key) { return textHash(key.data, static_cast<size_t>(key.length)); }
  static uint64_t entryHash(const Entry& entry) { return hash(cStrViewOfStr(&entry.key)); }
  static bool matches(const Entry& entry, const Key& key) { return cStrViewEqual(cStrViewOfStr(&entry.key), key); }
};

/// Entries with an unsigned 64-bit member `key`.
template <typename Entry>
struct cU64KeyTraits_t {
  using Key = uint64_t;
  static uint64_t hash(const Key& key) { return u64KeyHash(key); }
  static uint64_t entryHash(const Entry& entry) { return u64KeyHash(entry.key); }
  static bool matches(const Entry& entry, const Key& key) { return entry.key == key; }
};

namespace hashmap_detail {

constexpr uint8_t kEmpty = 0;
constexpr uint8_t kOccupiedBit = 0x80;
constexpr uint8_t kStopByte = 0xFF;
constexpr float kMaxLoad = 0.85f;
// Bounds the tables so that bucket counts, size + 2 and size * 3 / 2 stay exact in 32 bits.
constexpr uint64_t kMaxEntries = uint64_t{1} << 28;

// Buckets and control bytes are taken from the hash spread over all its bits. The text hash of
// a 4- or 8-byte key is one product whose low half depends only on the key's first four bytes,
// so device keys such as "0000ABCD" and "0000ABCE" would share their bucket and control byte
// and a store of many of them would be one long probe run (quadratic: 50,000 keys took 20 s).
inline uint64_t SpreadHash(uint64_t hash) {
  hash ^= hash >> 32;
  hash *= kHashMultiplier;
  return hash ^ (hash >> 29);
}

inline uint8_t ControlByte(uint64_t hash) { return static_cast<uint8_t>((hash & 0xFF) | kOccupiedBit); }
inline uint32_t BucketOf(uint64_t hash, uint32_t buckets) {
  return static_cast<uint32_t>(((hash & 0xFFFFFFFFULL) * buckets) >> 32);
}

}  // namespace hashmap_detail

/// Makes room for n entries. Nothing happens when n differs from the size and is at most the
/// bucket count; otherwise the table is rebuilt with (4 + n / 0.85) | 1 buckets (5 for the
/// first table). False when memory is short (the map is unchanged).
template <typename Entry, typename Traits>
bool hashMapReserve(cHashMap_t<Entry, Traits>* map, uint64_t n) {
  using namespace hashmap_detail;
  static_assert(std::is_trivially_copyable_v<Entry>, "hash map entries are plain records");
  if (n != map->size && n <= map->buckets) return true;
  if (n > kMaxEntries) return false;
  const uint32_t buckets = (4 + static_cast<uint32_t>(static_cast<float>(n) / kMaxLoad)) | 1;
  auto* entries = static_cast<Entry*>(std::calloc(buckets, sizeof(Entry)));
  auto* control = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(buckets) + 1, 1));
  if (entries == nullptr || control == nullptr) {
    std::free(entries);
    std::free(control);
    return false;
  }
  control[buckets] = kStopByte;
  for (uint32_t i = 0; i < map->buckets; ++i) {
    if (map->control[i] == kEmpty) continue;
    const uint64_t hash = SpreadHash(Traits::entryHash(map->entries[i]));
    uint32_t bucket = BucketOf(hash, buckets);
    while (control[bucket] != kEmpty) bucket = bucket + 1 == buckets ? 0 : bucket + 1;
    control[bucket] = ControlByte(hash);
    std::memcpy(static_cast<void*>(&entries[bucket]), &map->entries[i], sizeof(Entry));
  }
  std::free(map->entries);
  std::free(map->control);
  map->entries = entries;
  map->control = control;
  map->buckets = buckets;
  return true;
}

/// Finds the key's entry or claims an empty bucket for it. A new entry is zero-filled and
/// counted; the caller stores its key and value.
template <typename Entry, typename Traits>
cHashInsert_t<Entry> hashMapInsert(cHashMap_t<Entry, Traits>* map, const typename Traits::Key& key) {
  using namespace hashmap_detail;
  if (static_cast<uint32_t>(static_cast<float>(map->buckets) * kMaxLoad) < map->size + 2) {
    if (!hashMapReserve(map, uint64_t{map->size} * 3 / 2)) return {nullptr, false};
  }
  const uint64_t hash = SpreadHash(Traits::hash(key));
  const uint8_t wanted = ControlByte(hash);
  uint32_t bucket = BucketOf(hash, map->buckets);
  // The load bound keeps an empty bucket, so the probe ends within one lap.
  for (uint32_t probes = 0; probes < map->buckets; ++probes) {
    const uint8_t byte = map->control[bucket];
    if (byte == kEmpty) {
      map->control[bucket] = wanted;
      ++map->size;
      return {&map->entries[bucket], true};
    }
    if (byte == wanted && Traits::matches(map->entries[bucket], key)) return {&map->entries[bucket], false};
    bucket = bucket + 1 == map->buckets ? 0 : bucket + 1;
  }
  return {nullptr, false};
}

/// The key's entry, or null.
template <typename Entry, typename Traits>
Entry* hashMapLookup(const cHashMap_t<Entry, Traits>* map, const typename Traits::Key& key) {
  using namespace hashmap_detail;
  if (map->buckets == 0) return nullptr;
  const uint64_t hash = SpreadHash(Traits::hash(key));
  const uint8_t wanted = ControlByte(hash);
  uint32_t bucket = BucketOf(hash, map->buckets);
  for (uint32_t probes = 0; probes < map->buckets; ++probes) {
    const uint8_t byte = map->control[bucket];
    if (byte == kEmpty) return nullptr;
    if (byte == wanted && Traits::matches(map->entries[bucket], key)) return &map->entries[bucket];
    bucket = bucket + 1 == map->buckets ? 0 : bucket + 1;
  }
  return nullptr;
}

/// Iteration in bucket order: the first occupied bucket at or after `from`, or the bucket
/// count when there is none.
///   for (uint32_t i = hashMapNext(&m, 0); i < m.buckets; i = hashMapNext(&m, i + 1)) ...
template <typename Entry, typename Traits>
uint32_t hashMapNext(const cHashMap_t<Entry, Traits>* map, uint32_t from) {
  while (from < map->buckets && map->control[from] == hashmap_detail::kEmpty) ++from;
  return from < map->buckets ? from : map->buckets;
}

/// Frees entries and control bytes (release what the entries own first); the map is empty.
template <typename Entry, typename Traits>
void hashMapRelease(cHashMap_t<Entry, Traits>* map) {
  std::free(map->entries);
  std::free(map->control);
  *map = cHashMap_t<Entry, Traits>{};
}
