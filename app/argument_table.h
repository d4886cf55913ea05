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
constexpr int kArgumentEndOfTable = 1;
constexpr int kArgumentTakesValue = 2;
constexpr int kArgumentOptionalValue = 4;

// Codes of an entry's scan and check.
constexpr int kArgumentMissing = 1;    // fewer values than the minimum
constexpr int kArgumentExcess = 2;     // more than the maximum
constexpr int kArgumentBadNumber = 3;  // nothing readable, or trailing text
constexpr int kArgumentOverflow = 4;   // outside the 32-bit range
// A string or file entry's conversion result r is recorded as r * kArgumentConversionScale.
constexpr int kArgumentConversionScale = 256;
// Codes recorded with the end entry; an unknown short option records its letter instead.
constexpr int kArgumentTooManyErrors = 1;
constexpr int kArgumentNoMemory = 2;
constexpr int kArgumentUnexpected = 3;
constexpr int kArgumentInvalidOption = 4;
constexpr int kArgumentMissingValue = 5;

struct cArgumentEntry_t;

struct cArgumentOperations_t {
  void (*reset)(cArgumentEntry_t* entry);
  /// Takes one value (null for a flag): 0, or a code.
  int (*scan)(cArgumentEntry_t* entry, const char* value);
  /// After a parse without errors: 0, or a code.
  int (*check)(cArgumentEntry_t* entry);
  /// Appends the message of one recorded error.
  void (*error)(cArgumentEntry_t* entry, cStr_t* out, int code, const char* value, const char* program);
};

/// The header every entry starts with. Texts are not copied: they must outlive the table.
struct cArgumentEntry_t {
  const cArgumentOperations_t* ops;
  int flags;
  const char* short_options;  // option letters, or null
  const char* long_options;   // comma-separated long names, or null
  const char* data_type;      // the value's label in the syntax, or null
  const char* glossary;       // null: not listed in the glossary
  int32_t min_count;
  int32_t max_count;
  int32_t count;  // values taken by the last parse
};

struct cArgumentFlag_t {
  cArgumentEntry_t header;
};

struct cArgumentInteger_t {
  cArgumentEntry_t header;
  int32_t* values;  // max_count of them
};

struct cArgumentString_t;
/// Runs in the check phase: turns the collected values into the destination; 0 on success.
using cArgumentConversion_t = int (*)(cArgumentString_t* entry, void* destination);
/// Appends the message of a conversion result (code = result, not scaled).
using cArgumentConversionError_t = void (*)(cArgumentString_t* entry, cStr_t* out, int code, const char* value,
                                            const char* program);

/// The string and file kinds: the values point into the argument vector.
struct cArgumentString_t {
  cArgumentEntry_t header;
  const char** values;  // max_count of them
  cArgumentConversion_t convert;
  cArgumentConversionError_t convert_error;
  void* destination;
};

struct cArgumentError_t {
  int code;
  cArgumentEntry_t* parent;
  const char* value;  // may be null
};

/// The end of a table: header.count errors recorded in header.max_count slots.
struct cArgumentEnd_t {
  cArgumentEntry_t header;
  cArgumentError_t* errors;
};

/// A table is a vector of entries whose last one is the end entry; a failed constructor
/// leaves a null that checkArgumentTable finds.
using cArgumentTable_t = cVec_t<cArgumentEntry_t*>;

// Constructors; null when memory is short. A null data type takes the kind's default label
// ("<int>", "<string>", "<file>"); a maximum below the minimum is raised to it.
cArgumentFlag_t* argumentFlagNew(const char* short_options, const char* long_options, const char* glossary);
cArgumentInteger_t* argumentIntegerNew(const char* short_options, const char* long_options, const char* data_type,
                                       const char* glossary);
cArgumentString_t* argumentStringNew(const char* short_options, const char* long_options, const char* data_type,
                                     int32_t min_count, int32_t max_count, const char* glossary,
                                     cArgumentConversion_t convert, cArgumentConversionError_t convert_error,
                                     void* destination);
cArgumentString_t* argumentFileNew(const char* short_options, const char* long_options, const char* data_type,
                                   int32_t min_count, int32_t max_count, const char* glossary,
                                   cArgumentConversion_t convert, cArgumentConversionError_t convert_error,
                                   void* destination);
/// A file entry taking at most one value.
cArgumentString_t* argumentSingleFileNew(const char* short_options, const char* long_options, const char* data_type,
                                         const char* glossary, cArgumentConversion_t convert,
                                         cArgumentConversionError_t convert_error, void* destination);
/// The end entry with room for `slots` errors (at least 1).
cArgumentEnd_t* argumentEndNew(int32_t slots);

/// Resets every entry, scans argv[1..argc) and records errors in the end entry; runs the
/// checks only when the scan recorded none. Returns the number of errors recorded. When the
/// slots are full, a further error turns the last slot into "too many errors to display".
/// The table must have passed checkArgumentTable.
int parseArgumentTable(int argc, char** argv, cArgumentTable_t* table);
/// False when an entry is missing or the table does not end with an end entry.
bool checkArgumentTable(const cArgumentTable_t* table);
/// The table's end entry (the table must have passed checkArgumentTable).
cArgumentEnd_t* argumentTableEnd(const cArgumentTable_t* table);
/// Writes, at once, every entry's syntax item (each after a blank) and then the suffix.
void printArgumentSyntax(FILE* output, const cArgumentTable_t* table, const char* suffix);
/// Writes one line per entry with a glossary through `format` (option text, glossary; null:
/// "  %-20s %s\n").
void printArgumentGlossary(FILE* output, const cArgumentTable_t* table, const char* format);
/// Writes the message of every recorded error, "<program>: " first; the values given (and an
/// unknown option letter) escaped as log lines escape them.
void printArgumentErrors(FILE* output, const cArgumentEnd_t* end, const char* program);
/// Frees every entry and the table's storage.
void freeArgumentTable(cArgumentTable_t* table);
/// Frees one entry (null is ignored).
void freeArgumentEntry(cArgumentEntry_t* entry);

/// Reads an integer value: white space, a sign, "0x"/"0o"/"0b" (any case) or decimal digits,
/// then optionally "KB", "MB" or "GB" (any case) and white space. 0, kArgumentBadNumber or
/// kArgumentOverflow (the value leaves the 32-bit range).
int parseArgumentInteger(const char* text, int32_t* value);
