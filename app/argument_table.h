#pragma once
// Argument tables: a command line is described by a table of entries (flags, integers,
// strings, files, positional entries) that one parse fills with counts and values, collecting
// every problem as an error code in the table's end entry. The same table prints the syntax
// line, the glossary and the error list. The parser itself writes nothing.
//
// Scanning: options and other arguments may be mixed (the others are taken in order after the
// options; with POSIXLY_CORRECT set, scanning stops at the first of them); "--" ends the
// options and a lone "-" is no option. Short options group ("-dX") and take their value from
// the rest of the argument or the next one. Long options take "=value" or the next argument
// and may be abbreviated to a unique prefix; a long name ending in '*' matches every
// "--name...=value" beginning with the part before '*' and receives the whole argument
// without its "--".
//
// Only memory exhaustion inside the parser ends the process: "Out of memory!" on standard
// error, then abort() when EF_DUMPCORE is set and not empty, else exit status 1.
#include <cstdint>
#include <cstdio>

#include "platform/cstr.h"
#include "platform/vector.h"

// Entry flags.
constexpr int kArgEndOfTable = 1;
constexpr int kArgTakesValue = 2;
constexpr int kArgOptionalValue = 4;

// Codes of an entry's scan and check.
constexpr int kArgMissing = 1;    // fewer values than the minimum
constexpr int kArgExcess = 2;     // more than the maximum
constexpr int kArgBadNumber = 3;  // nothing readable, or trailing text
constexpr int kArgOverflow = 4;   // outside the 32-bit range
// A string or file entry's conversion result r is recorded as r * kArgConversionScale.
constexpr int kArgConversionScale = 256;
// Codes recorded with the end entry; an unknown short option records its letter instead.
constexpr int kArgTooManyErrors = 1;
constexpr int kArgNoMemory = 2;
constexpr int kArgUnexpected = 3;
constexpr int kArgInvalidOption = 4;
constexpr int kArgMissingValue = 5;

struct cArgEntry_t;

struct cArgOps_t {
  void (*reset)(cArgEntry_t* entry);
  /// Takes one value (null for a flag): 0, or a code.
  int (*scan)(cArgEntry_t* entry, const char* value);
  /// After a parse without errors: 0, or a code.
  int (*check)(cArgEntry_t* entry);
  /// Appends the message of one recorded error.
  void (*error)(cArgEntry_t* entry, cStr_t* out, int code, const char* value, const char* program);
};

/// The header every entry starts with. Texts are not copied: they must outlive the table.
struct cArgEntry_t {
  const cArgOps_t* ops;
  int flags;
  const char* short_options;  // option letters, or null
  const char* long_options;   // comma-separated long names, or null
  const char* data_type;      // the value's label in the syntax, or null
  const char* glossary;       // null: not listed in the glossary
  int32_t min_count;
  int32_t max_count;
  int32_t count;  // values taken by the last parse
};

struct cArgFlag_t {
  cArgEntry_t header;
};

struct cArgInt_t {
  cArgEntry_t header;
  int32_t* values;  // max_count of them
};

struct cArgStr_t;
/// Runs in the check phase: turns the collected values into the destination; 0 on success.
using cArgConvert_t = int (*)(cArgStr_t* entry, void* destination);
/// Appends the message of a conversion result (code = result, not scaled).
using cArgConvertError_t = void (*)(cArgStr_t* entry, cStr_t* out, int code, const char* value, const char* program);

/// The string and file kinds: the values point into the argument vector.
struct cArgStr_t {
  cArgEntry_t header;
  const char** values;  // max_count of them
  cArgConvert_t convert;
  cArgConvertError_t convert_error;
  void* destination;
};

struct cArgError_t {
  int code;
  cArgEntry_t* parent;
  const char* value;  // may be null
};

/// The end of a table: header.count errors recorded in header.max_count slots.
struct cArgEnd_t {
  cArgEntry_t header;
  cArgError_t* errors;
};

/// A table is a vector of entries whose last one is the end entry; a failed constructor
/// leaves a null that checkArgumentTable finds.
using cArgTable_t = cVec_t<cArgEntry_t*>;

// Constructors; null when memory is short. A null data type takes the kind's default label
// ("<int>", "<string>", "<file>"); a maximum below the minimum is raised to it.
cArgFlag_t* argFlagNew(const char* short_options, const char* long_options, const char* glossary);
cArgInt_t* argIntNew(const char* short_options, const char* long_options, const char* data_type, const char* glossary);
cArgStr_t* argStrNew(const char* short_options, const char* long_options, const char* data_type, int32_t min_count,
                     int32_t max_count, const char* glossary, cArgConvert_t convert, cArgConvertError_t convert_error,
                     void* destination);
cArgStr_t* argFileNew(const char* short_options, const char* long_options, const char* data_type, int32_t min_count,
                      int32_t max_count, const char* glossary, cArgConvert_t convert, cArgConvertError_t convert_error,
                      void* destination);
/// A file entry taking at most one value.
cArgStr_t* argFile1New(const char* short_options, const char* long_options, const char* data_type, const char* glossary,
                       cArgConvert_t convert, cArgConvertError_t convert_error, void* destination);
/// The end entry with room for `slots` errors (at least 1).
cArgEnd_t* argEndNew(int32_t slots);

/// Resets every entry, scans argv[1..argc) and records errors in the end entry; runs the
/// checks only when the scan recorded none. Returns the number of errors recorded. When the
/// slots are full, a further error turns the last slot into "too many errors to display".
/// The table must have passed checkArgumentTable.
int parseArgumentTable(int argc, char** argv, cArgTable_t* table);
/// False when an entry is missing or the table does not end with an end entry.
bool checkArgumentTable(const cArgTable_t* table);
/// The table's end entry (the table must have passed checkArgumentTable).
cArgEnd_t* argTableEnd(const cArgTable_t* table);
/// Writes, at once, every entry's syntax item (each after a blank) and then the suffix.
void printArgumentSyntax(FILE* output, const cArgTable_t* table, const char* suffix);
/// Writes one line per entry with a glossary through `format` (option text, glossary; null:
/// "  %-20s %s\n").
void printArgumentGlossary(FILE* output, const cArgTable_t* table, const char* format);
/// Writes the message of every recorded error, "<program>: " first.
void printArgumentErrors(FILE* output, const cArgEnd_t* end, const char* program);
/// Frees every entry and the table's storage.
void freeArgumentTable(cArgTable_t* table);
/// Frees one entry (null is ignored).
void freeArgumentEntry(cArgEntry_t* entry);

/// Reads an integer value: white space, a sign, "0x"/"0o"/"0b" (any case) or decimal digits,
/// then optionally "KB", "MB" or "GB" (any case) and white space. 0, kArgBadNumber or
/// kArgOverflow (the value leaves the 32-bit range).
int argParseInteger(const char* text, int32_t* value);
