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

/// Inserts a bitwise copy of `element` before position `index` (0 <= index <= count), moving
/// the later elements up; returns its place, or null when the storage cannot grow or the index
/// is out of range (the vector is then unchanged). Sorted vectors keep their order this way.
template <typename T>
T* vecInsertAt(cVec_t<T>* vec, int64_t index, const T& element) {
  if (index < 0 || index > vec->count) return nullptr;
  const T copy = element;  // `element` may live in the storage that the push moves
  if (vecPush(vec, copy) == nullptr) return nullptr;
  T* place = vec->items + index;
  std::memmove(static_cast<void*>(place + 1), place, static_cast<size_t>(vec->count - 1 - index) * sizeof(T));
  std::memcpy(static_cast<void*>(place), &copy, sizeof(T));
  return place;
}

/// Removes the element at `index` without destroying it (the caller releases what it owns
/// first), moving the later elements down. An index out of range changes nothing.
template <typename T>
void vecRemoveAt(cVec_t<T>* vec, int64_t index) {
  if (index < 0 || index >= vec->count) return;
  T* place = vec->items + index;
  std::memmove(static_cast<void*>(place), place + 1, static_cast<size_t>(vec->count - 1 - index) * sizeof(T));
  --vec->count;
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
