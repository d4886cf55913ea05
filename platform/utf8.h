#pragma once
// UTF-8 routines of the front end: a table-driven decoder, simple case mappings and
// character groups of the Basic Multilingual Plane (Unicode 15.0), and the case transform of
// whole strings. Code points beyond the BMP decode, but map to themselves and are in no group.
//
// Input is arbitrary bytes (file names, passwords and arguments on Linux need not be UTF-8):
// a malformed sequence decodes as U+FFFD and consumes one byte, and no routine reads past the
// terminating zero of a text (or the end of a view).
#include <cstdint>

#include "platform/cstr.h"
#include "platform/utf8_groups.h"

constexpr uint32_t kUtf8Replacement = 0xFFFD;

/// Kinds of utf8CaseTransform.
constexpr int kUtf8CaseFold = 0;
constexpr int kUtf8CaseLower = 1;
constexpr int kUtf8CaseUpper = 2;

/// The code point of the sequence at `p` in a NUL-terminated text (0 at the terminator).
uint32_t utf8Decode(const char* p);
/// The same, also giving the sequence's length in bytes (1 for the terminator).
int utf8DecodeNext(const char* p, uint32_t* code_point);
/// The same for a text that ends at `end` instead of a terminator; 0 when p >= end.
int utf8DecodeNextBounded(const char* p, const char* end, uint32_t* code_point);
/// Moves n code points forward (n > 0) or back (n < 0) from `p` and decodes there; a step
/// counts each byte that is not a continuation byte. Forward moves stop at the terminator,
/// backward moves at `text`, the start of the NUL-terminated text that holds `p`.
uint32_t utf8DecodeAt(const char* text, const char* p, int64_t n);
/// The first occurrence of the code point in a NUL-terminated text, or null (also for 0).
const char* utf8FindCodePoint(const char* text, uint32_t code_point);
/// The length of the longest prefix of `text` of at most `limit` bytes that ends at a
/// character boundary: the text's end, or before a byte that is no continuation byte. 0 for a
/// limit below 1.
int64_t utf8PrefixLength(cStrView_t text, int64_t limit);

/// Simple case folding, lower-casing and upper-casing of BMP code points.
uint32_t utf8Casefold(uint32_t code_point);
uint32_t utf8ToLower(uint32_t code_point);
uint32_t utf8ToUpper(uint32_t code_point);

/// Membership of a cUtf8Group_t (false for an unknown group).
bool utf8IsGroup(int group, uint32_t code_point);
/// ASCII letters; beyond ASCII the Latin, Nl, Greek, Cyrillic, Han, Devanagari and Arabic groups.
bool utf8IsAlpha(uint32_t code_point);
/// ASCII letters; beyond ASCII code points that upper- or lower-casing changes, and Lt.
bool utf8IsCased(uint32_t code_point);
/// ASCII letters, digits and '_'; beyond ASCII utf8IsAlpha, Nd and Pc.
bool utf8IsWord(uint32_t code_point);

/// Replaces `out` (a valid cStr_t; its old content is released) with the text case-folded,
/// lower-cased or upper-cased (kUtf8Case...), storage shrunk to fit. Mappings that would give
/// a surrogate or a value above U+10FFFF produce no bytes. Returns `out`, or null for an
/// unknown kind or when memory is short (`out` is then empty). `text` must not point into `out`.
cStr_t* utf8CaseTransform(cStr_t* out, cStrView_t text, int kind);
