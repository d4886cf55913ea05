#pragma once
// cStr_t: the tool's 24-byte string. Texts of up to 22 characters live inline (characters,
// terminating zero, length in byte 23); longer ones on the heap (pointer, length, inverted
// capacity, which sets the top bit of byte 23). Both forms keep a terminating zero, so the
// characters can be handed to C functions; the text itself may hold zero bytes.
//
// A zero-initialised cStr_t (`cStr_t s{}`) is the empty string. The functions never throw;
// those that allocate report failure through their result and leave the string as it was.
// Release every string with cStrRelease. cStr_t is trivially copyable: a copy shares the heap
// buffer, so only one of the copies may be released.
#include <cstdarg>
#include <cstdint>

/// A text handed around by pointer and length (the characters need no terminator).
struct cStrView_t {
  const char* data;
  int64_t length;
};

struct cStr_t {
  alignas(8) unsigned char raw[24];
};
static_assert(sizeof(cStr_t) == 24, "cStr_t is three 8-byte words");

/// Characters an inline string holds besides its terminator.
constexpr int64_t kCStrInlineCapacity = 22;

/// View of a NUL-terminated text (null gives the empty view).
cStrView_t cStrViewOf(const char* text);
/// View of a string's characters.
cStrView_t cStrViewOfStr(const cStr_t* string);
/// True when both views hold the same bytes.
bool cStrViewEqual(cStrView_t a, cStrView_t b);

/// Makes `string` a new string holding the view: inline up to 22 characters, otherwise on the
/// heap with capacity = length. `string` is overwritten, not released. False (and `string`
/// empty) when memory is short or the length is negative.
bool cStrInit(cStr_t* string, cStrView_t view);

bool cStrIsHeap(const cStr_t* string);
int64_t cStrLength(const cStr_t* string);
/// Characters the string holds without reallocating (22 inline).
int64_t cStrCapacity(const cStr_t* string);
/// The characters, always followed by a zero byte.
const char* cStrData(const cStr_t* string);
char* cStrBuffer(cStr_t* string);

/// Makes room for at least n characters; returns the character buffer, or null when memory
/// is short (the string is unchanged). An inline string moves to the heap above 22.
char* cStrReserve(cStr_t* string, int64_t n);
/// Appends the view, growing to the appended length plus 1.5 times the current length when it
/// does not fit; the view may point into the string itself. Returns the buffer or null.
char* cStrAppend(cStr_t* string, cStrView_t view);
/// Sets the length to n: new characters are `fill`, a shorter length cuts. Buffer or null.
char* cStrResize(cStr_t* string, int64_t n, char fill);
/// Appends printf-style text; returns the number of characters added, -1 for a format error
/// or when memory is short (the string is then unchanged).
int64_t cStrAppendFormat(cStr_t* string, const char* format, ...) __attribute__((format(printf, 2, 3)));
int64_t cStrAppendFormatV(cStr_t* string, const char* format, va_list args);
/// Shrinks the storage to the length, back to the inline form when it fits. False when the
/// smaller buffer could not be had (the string then keeps its larger one).
bool cStrShrinkToFit(cStr_t* string);
/// Frees the heap buffer; the string is empty afterwards and may be reused.
void cStrRelease(cStr_t* string);
