#pragma once
// cVec_t<T>: a growable array of plain records (cStr_t paths, entry pointers). A
// zero-initialised vector (`cVec_t<T> v{}`) is empty. Elements are moved in bitwise, so T must
// be trivially copyable; the vector owns what they own until vecRelease destroys them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

template <typename T>
struct cVec_t {
  T* items;
  int64_t count;
  int64_t capacity;
};

/// Appends a bitwise copy of `element` and returns its place, or null when the storage cannot
/// grow (the vector is then unchanged). A full vector grows to count * 3 / 2 + 4 elements.
template <typename T>
T* vecPush(cVec_t<T>* vec, const T& element) {
  static_assert(std::is_trivially_copyable_v<T>, "vector elements are plain records");
  if (vec->count == vec->capacity) {
    constexpr int64_t kMaxCount = std::numeric_limits<int64_t>::max() / static_cast<int64_t>(sizeof(T)) / 2;
    if (vec->count > kMaxCount) return nullptr;  // keeps count * 3 / 2 and the byte size in range
    const int64_t capacity = vec->count * 3 / 2 + 4;
    void* items = std::realloc(vec->items, static_cast<size_t>(capacity) * sizeof(T));
    if (items == nullptr) return nullptr;
    vec->items = static_cast<T*>(items);
    vec->capacity = capacity;
  }
  T* place = vec->items + vec->count;
  std::memcpy(static_cast<void*>(place), &element, sizeof(T));
  ++vec->count;
  return place;
}

/// Destroys the elements from the last to the first (when `destroy` is given), frees the
/// storage and leaves the vector empty.
template <typename T>
void vecRelease(cVec_t<T>* vec, void (*destroy)(T*) = nullptr) {
  if (destroy != nullptr) {
    for (int64_t i = vec->count; i > 0; --i) destroy(&vec->items[i - 1]);
  }
  std::free(vec->items);
  *vec = cVec_t<T>{};
}
