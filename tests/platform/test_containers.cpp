#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/cstr.h"
#include "platform/hashmap.h"
#include "platform/vector.h"

namespace {

TEST(Vector, GrowsByHalfPlusFourAndReleasesLastToFirst) {
  cVec_t<int> vec{};
  std::vector<int64_t> capacities;
  for (int i = 0; i < 20; ++i) {
    int* place = vecPush(&vec, i);
    ASSERT_NE(place, nullptr);
    EXPECT_EQ(*place, i);
    if (capacities.empty() || capacities.back() != vec.capacity) capacities.push_back(vec.capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int64_t>{4, 10, 19, 32}));
  EXPECT_EQ(vec.count, 20);

  static std::vector<int> destroyed;
  destroyed.clear();
  vecRelease(
      &vec, +[](int* item) { destroyed.push_back(*item); });
  ASSERT_EQ(destroyed.size(), 20U);
  EXPECT_EQ(destroyed.front(), 19);
  EXPECT_EQ(destroyed.back(), 0);
  EXPECT_EQ(vec.items, nullptr);
  EXPECT_EQ(vec.count, 0);
}

TEST(Vector, OwnsTheStringsPushedIntoIt) {
  cVec_t<cStr_t> paths{};
  for (const char* text : {"a.mf4", "a path long enough for the heap form.mf4"}) {
    cStr_t path{};
    ASSERT_TRUE(cStrInit(&path, cStrViewOf(text)));
    ASSERT_NE(vecPush(&paths, path), nullptr);
  }
  EXPECT_STREQ(cStrData(&paths.items[1]), "a path long enough for the heap form.mf4");
  vecRelease(&paths, cStrRelease);  // the sanitizer build proves the heap text is freed once
}

TEST(Vector, InsertsAndRemovesAtAPosition) {
  cVec_t<int> vec{};
  for (const int value : {10, 30, 50}) ASSERT_NE(vecPush(&vec, value), nullptr);
  ASSERT_NE(vecInsertAt(&vec, 1, 20), nullptr);
  ASSERT_NE(vecInsertAt(&vec, 0, 0), nullptr);
  ASSERT_NE(vecInsertAt(&vec, vec.count, 60), nullptr);  // at the end
  EXPECT_EQ(vecInsertAt(&vec, -1, 1), nullptr);
  EXPECT_EQ(vecInsertAt(&vec, vec.count + 1, 1), nullptr);
  // An element of the vector itself survives the growth that its insertion causes.
  while (vec.count < vec.capacity) ASSERT_NE(vecPush(&vec, 70), nullptr);
  ASSERT_NE(vecInsertAt(&vec, 0, vec.items[vec.count - 1]), nullptr);
  std::vector<int> items(vec.items, vec.items + vec.count);
  EXPECT_EQ(items, (std::vector<int>{70, 0, 10, 20, 30, 50, 60, 70, 70, 70, 70}));

  vecRemoveAt(&vec, 0);
  vecRemoveAt(&vec, 3);
  vecRemoveAt(&vec, vec.count - 1);
  vecRemoveAt(&vec, vec.count);  // out of range: nothing happens
  vecRemoveAt(&vec, -1);
  items.assign(vec.items, vec.items + vec.count);
  EXPECT_EQ(items, (std::vector<int>{0, 10, 20, 50, 60, 70, 70, 70}));
  vecRelease(&vec);
}

struct TextHashCase {
  std::string text;
  uint64_t hash;
};

TEST(HashMap, TextHashMatchesItsVectors) {
  const TextHashCase cases[] = {
      {"", 1},
      {"default", 0x96814f73ee721f25ULL},    // n below 8: the first byte counts twice
      {"0000ABCD", 0x71c16aded0993d70ULL},   // exactly one word, no final fold
      {"ABCD", 0xe2f75414469dcaddULL},       // exactly four bytes
      {"0000ABCD1", 0x1dbb656b2a12ea6eULL},  // a word and a tail byte
  };
  for (const auto& c : cases) EXPECT_EQ(textHash(c.text.data(), c.text.size()), c.hash) << c.text;
  EXPECT_EQ(u64KeyHash(0x1000000002ULL), 0x4a67e8f6b7a3d33aULL);
}

struct DemuxEntry {
  uint64_t key;
  uint8_t targets[4];
};
static_assert(sizeof(DemuxEntry) == 16, "the demultiplexer's entries are 16 bytes");
using DemuxMap = cHashMap_t<DemuxEntry, cU64KeyTraits_t<DemuxEntry>>;

TEST(HashMap, GrowsFromFiveToElevenToNineteenBuckets) {
  DemuxMap map{};
  std::vector<uint32_t> buckets_after_insert;
  for (uint64_t key = 1; key <= 9; ++key) {
    const auto result = hashMapInsert(&map, key);
    ASSERT_NE(result.entry, nullptr);
    ASSERT_TRUE(result.inserted);
    result.entry->key = key;
    result.entry->targets[0] = static_cast<uint8_t>(key);
    buckets_after_insert.push_back(map.buckets);
  }
  EXPECT_EQ(buckets_after_insert, (std::vector<uint32_t>{5, 5, 5, 5, 11, 11, 11, 11, 19}));
  EXPECT_EQ(map.size, 9U);
  EXPECT_EQ(map.control[map.buckets], 0xFF);  // the stop byte follows the last bucket
  for (uint64_t key = 1; key <= 9; ++key) {
    const DemuxEntry* entry = hashMapLookup(&map, key);
    ASSERT_NE(entry, nullptr) << key;
    EXPECT_EQ(entry->targets[0], key);  // values survived both rebuilds
  }
  EXPECT_EQ(hashMapLookup(&map, uint64_t{10}), nullptr);
  hashMapRelease(&map);
  EXPECT_EQ(hashMapLookup(&map, uint64_t{1}), nullptr);
}

struct PasswordEntry {
  cStr_t key;
  cStr_t password;
};
static_assert(sizeof(PasswordEntry) == 48, "the password store's entries are 48 bytes");
using PasswordMap = cHashMap_t<PasswordEntry, cTextKeyTraits_t<PasswordEntry>>;

TEST(HashMap, TextKeysMatchByteForByteAndTheFirstValueStays) {
  PasswordMap store{};
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"default", "one"}, {"0000ABCD", "two"}, {"0000abcd", "three"}, {"", "empty key"}, {"default", "ignored"}};
  int inserted = 0;
  for (const auto& [key, password] : pairs) {
    const cStrView_t key_view{key.data(), static_cast<int64_t>(key.size())};
    const auto result = hashMapInsert(&store, key_view);
    ASSERT_NE(result.entry, nullptr);
    if (!result.inserted) continue;
    ++inserted;
    ASSERT_TRUE(cStrInit(&result.entry->key, key_view));
    ASSERT_TRUE(cStrInit(&result.entry->password, cStrViewOf(password.c_str())));
  }
  EXPECT_EQ(inserted, 4);
  EXPECT_STREQ(cStrData(&hashMapLookup(&store, cStrViewOf("default"))->password), "one");
  EXPECT_STREQ(cStrData(&hashMapLookup(&store, cStrViewOf("0000abcd"))->password), "three");
  EXPECT_STREQ(cStrData(&hashMapLookup(&store, cStrViewOf(""))->password), "empty key");
  EXPECT_EQ(hashMapLookup(&store, cStrViewOf("0000ABC")), nullptr);

  std::set<std::string> seen;
  for (uint32_t i = hashMapNext(&store, 0); i < store.buckets; i = hashMapNext(&store, i + 1)) {
    seen.insert(cStrData(&store.entries[i].key));
    cStrRelease(&store.entries[i].key);
    cStrRelease(&store.entries[i].password);
  }
  EXPECT_EQ(seen, (std::set<std::string>{"", "0000ABCD", "0000abcd", "default"}));
  hashMapRelease(&store);
}

// Longest run of occupied buckets and the number of different control bytes.
template <typename Map>
std::pair<uint32_t, size_t> Spread(const Map& map) {
  uint32_t longest = 0;
  std::set<uint8_t> bytes;
  for (uint32_t i = 0, run = 0; i < map.buckets; ++i) {
    run = map.control[i] == 0 ? 0 : run + 1;
    longest = std::max(longest, run);
    if (map.control[i] != 0) bytes.insert(map.control[i]);
  }
  return {longest, bytes.size()};
}

// Keys that differ only in their last bytes (device ids as 8 digits, 64-bit keys in their high
// half) spread over buckets and control bytes instead of piling up in one probe run.
TEST(HashMap, KeysDifferingLateSpreadOverTheTable) {
  constexpr uint32_t kKeys = 4000;
  PasswordMap texts{};
  std::vector<std::string> names;
  for (uint32_t i = 0; i < kKeys; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%08X", static_cast<unsigned>(i));
    names.emplace_back(name);
  }
  DemuxMap numbers{};
  for (uint32_t i = 0; i < kKeys; ++i) {
    const cStrView_t key{names[i].data(), 8};
    const auto text = hashMapInsert(&texts, key);
    ASSERT_TRUE(text.inserted);
    ASSERT_TRUE(cStrInit(&text.entry->key, key));
    const auto number = hashMapInsert(&numbers, uint64_t{i} << 32);
    ASSERT_TRUE(number.inserted);
    number.entry->key = uint64_t{i} << 32;
  }
  for (const auto& [longest, control_bytes] : {Spread(texts), Spread(numbers)}) {
    EXPECT_LT(longest, 100U);
    EXPECT_GT(control_bytes, 100U);  // of 128
  }
  for (uint32_t i = 0; i < kKeys; i += 7) {
    EXPECT_NE(hashMapLookup(&texts, cStrView_t{names[i].data(), 8}), nullptr) << i;
    EXPECT_NE(hashMapLookup(&numbers, uint64_t{i} << 32), nullptr) << i;
  }
  for (uint32_t i = hashMapNext(&texts, 0); i < texts.buckets; i = hashMapNext(&texts, i + 1)) {
    cStrRelease(&texts.entries[i].key);
  }
  hashMapRelease(&texts);
  hashMapRelease(&numbers);
}

TEST(HashMap, ReserveRebuildsOnlyWhenTheTableIsTooSmall) {
  DemuxMap map{};
  ASSERT_TRUE(hashMapReserve(&map, 0));
  EXPECT_EQ(map.buckets, 5U);  // the first table
  ASSERT_TRUE(hashMapReserve(&map, 4));
  EXPECT_EQ(map.buckets, 5U);  // 4 fits: nothing happens
  ASSERT_TRUE(hashMapReserve(&map, 100));
  EXPECT_EQ(map.buckets, (4U + static_cast<uint32_t>(100 / 0.85f)) | 1U);
  EXPECT_FALSE(hashMapReserve(&map, uint64_t{1} << 40));  // beyond the bound: refused, map kept
  EXPECT_EQ(map.buckets, 121U);
  hashMapRelease(&map);
}

}  // namespace
