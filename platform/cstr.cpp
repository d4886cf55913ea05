#include "platform/cstr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kFlagByte = 23;
constexpr unsigned char kHeapFlag = 0x80;
constexpr size_t kLengthOffset = 8;
constexpr size_t kCapacityOffset = 16;
// The heap buffer holds capacity + 1 bytes; keeping n + 1 in range avoids the overflow.
constexpr int64_t kMaxCapacity = std::numeric_limits<int64_t>::max() - 1;

// The heap fields are read and written through memcpy: the record is raw bytes, so no
// pointer or integer type may alias it directly.
char* HeapPointer(const cStr_t* s) {
  char* pointer;
  std::memcpy(&pointer, s->raw, sizeof pointer);
  return pointer;
}

int64_t HeapWord(const cStr_t* s, size_t offset) {
  int64_t value;
  std::memcpy(&value, s->raw + offset, sizeof value);
  return value;
}

void SetHeap(cStr_t* s, char* pointer, int64_t length, int64_t capacity) {
  const int64_t inverted = ~capacity;  // top bit set for every capacity >= 0: the heap flag
  std::memcpy(s->raw, &pointer, sizeof pointer);
  std::memcpy(s->raw + kLengthOffset, &length, sizeof length);
  std::memcpy(s->raw + kCapacityOffset, &inverted, sizeof inverted);
}

void SetLength(cStr_t* s, int64_t length) {
  if (cStrIsHeap(s)) {
    std::memcpy(s->raw + kLengthOffset, &length, sizeof length);
    HeapPointer(s)[length] = '\0';
  } else {
    s->raw[kFlagByte] = static_cast<unsigned char>(length);
    s->raw[length] = '\0';
  }
}

}  // namespace

cStrView_t cStrViewOf(const char* text) {
  return text == nullptr ? cStrView_t{"", 0} : cStrView_t{text, static_cast<int64_t>(std::strlen(text))};
}

cStrView_t cStrViewOfStr(const cStr_t* string) { return {cStrData(string), cStrLength(string)}; }

bool cStrViewEqual(cStrView_t a, cStrView_t b) {
  return a.length == b.length && (a.length == 0 || std::memcmp(a.data, b.data, static_cast<size_t>(a.length)) == 0);
}

bool cStrInit(cStr_t* string, cStrView_t view) {
  std::memset(string->raw, 0, sizeof string->raw);
  if (view.length < 0 || view.length > kMaxCapacity) return false;
  if (view.length <= kCStrInlineCapacity) {
    if (view.length > 0) std::memcpy(string->raw, view.data, static_cast<size_t>(view.length));
    string->raw[kFlagByte] = static_cast<unsigned char>(view.length);
    return true;
  }
  auto* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(view.length) + 1));
  if (buffer == nullptr) return false;
  std::memcpy(buffer, view.data, static_cast<size_t>(view.length));
  buffer[view.length] = '\0';
  SetHeap(string, buffer, view.length, view.length);
  return true;
}

bool cStrIsHeap(const cStr_t* string) { return (string->raw[kFlagByte] & kHeapFlag) != 0; }

int64_t cStrLength(const cStr_t* string) {
  return cStrIsHeap(string) ? HeapWord(string, kLengthOffset) : string->raw[kFlagByte];
}

int64_t cStrCapacity(const cStr_t* string) {
  return cStrIsHeap(string) ? ~HeapWord(string, kCapacityOffset) : kCStrInlineCapacity;
}

const char* cStrData(const cStr_t* string) {
  return cStrIsHeap(string) ? HeapPointer(string) : reinterpret_cast<const char*>(string->raw);
}

char* cStrBuffer(cStr_t* string) {
  return cStrIsHeap(string) ? HeapPointer(string) : reinterpret_cast<char*>(string->raw);
}

char* cStrReserve(cStr_t* string, int64_t n) {
  if (n <= cStrCapacity(string)) return cStrBuffer(string);
  if (n > kMaxCapacity) return nullptr;
  const int64_t length = cStrLength(string);
  if (!cStrIsHeap(string)) {
    auto* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (buffer == nullptr) return nullptr;
    std::memcpy(buffer, string->raw, kCStrInlineCapacity + 1);  // characters and terminator
    SetHeap(string, buffer, length, n);
    return buffer;
  }
  auto* buffer = static_cast<char*>(std::realloc(HeapPointer(string), static_cast<size_t>(n) + 1));
  if (buffer == nullptr) return nullptr;
  SetHeap(string, buffer, length, n);
  return buffer;
}

char* cStrAppend(cStr_t* string, cStrView_t view) {
  if (view.length < 0) return nullptr;
  const int64_t length = cStrLength(string);
  if (view.length > kMaxCapacity - length) return nullptr;
  const int64_t new_length = length + view.length;
  if (new_length > cStrCapacity(string)) {
    // A view into the string's own characters must follow them into the new buffer.
    const auto old_start = reinterpret_cast<uintptr_t>(cStrData(string));
    const auto view_start = reinterpret_cast<uintptr_t>(view.data);
    const bool self = view_start >= old_start && view_start < old_start + static_cast<uintptr_t>(length);
    const auto offset = static_cast<int64_t>(view_start - old_start);
    const int64_t growth = length + length / 2;  // 1.5 times the current length
    const int64_t wanted = growth > kMaxCapacity - view.length ? new_length : view.length + growth;
    char* buffer = cStrReserve(string, wanted);
    if (buffer == nullptr) return nullptr;
    if (self) view.data = buffer + offset;
  }
  char* buffer = cStrBuffer(string);
  if (view.length > 0) std::memmove(buffer + length, view.data, static_cast<size_t>(view.length));
  SetLength(string, new_length);
  return buffer;
}

char* cStrResize(cStr_t* string, int64_t n, char fill) {
  if (n < 0) return nullptr;
  const int64_t length = cStrLength(string);
  char* buffer = cStrReserve(string, n);
  if (buffer == nullptr) return nullptr;
  if (n > length) std::memset(buffer + length, fill, static_cast<size_t>(n - length));
  SetLength(string, n);
  return buffer;
}

int64_t cStrAppendFormatV(cStr_t* string, const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int added = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (added < 0) return -1;
  const int64_t length = cStrLength(string);
  if (added > kMaxCapacity - length) return -1;
  char* buffer = cStrReserve(string, length + added);
  if (buffer == nullptr) return -1;
  std::vsnprintf(buffer + length, static_cast<size_t>(added) + 1, format, args);
  SetLength(string, length + added);
  return added;
}

int64_t cStrAppendFormat(cStr_t* string, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int64_t added = cStrAppendFormatV(string, format, args);
  va_end(args);
  return added;
}

bool cStrShrinkToFit(cStr_t* string) {
  if (!cStrIsHeap(string)) return true;
  const int64_t length = cStrLength(string);
  char* heap = HeapPointer(string);
  if (length <= kCStrInlineCapacity) {
    std::memset(string->raw, 0, sizeof string->raw);
    std::memcpy(string->raw, heap, static_cast<size_t>(length));
    string->raw[kFlagByte] = static_cast<unsigned char>(length);
    std::free(heap);
    return true;
  }
  if (length == cStrCapacity(string)) return true;
  auto* buffer = static_cast<char*>(std::realloc(heap, static_cast<size_t>(length) + 1));
  if (buffer == nullptr) return false;
  SetHeap(string, buffer, length, length);
  return true;
}

void cStrRelease(cStr_t* string) {
  if (cStrIsHeap(string)) std::free(HeapPointer(string));
  std::memset(string->raw, 0, sizeof string->raw);
}
