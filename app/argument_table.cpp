#include "app/argument_table.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/log.h"

namespace {

// Glossary option texts are cut here, so one overlong name cannot push a line out of shape.
constexpr int64_t kMaxGlossaryOptionText = 199;
// Message texts start with this much room: most lists and syntax lines need no regrowth.
constexpr int64_t kFirstMessageRoom = 200;

[[noreturn]] void Panic() {
  static const char kMessage[] = "Out of memory!\n";
  std::fwrite(kMessage, 1, sizeof kMessage - 1, stderr);
  const char* dump = std::getenv("EF_DUMPCORE");
  if (dump != nullptr && *dump != '\0') std::abort();
  std::exit(1);
}

void Append(cStr_t* out, const char* text, size_t length) {
  if (cStrAppend(out, {text, static_cast<int64_t>(length)}) == nullptr) Panic();
}
void Append(cStr_t* out, const char* text) { Append(out, text, std::strlen(text)); }

void AppendFormat(cStr_t* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormat(cStr_t* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int64_t added = cStrAppendFormatV(out, format, args);
  va_end(args);
  if (added < 0) Panic();
}

void Write(FILE* output, cStr_t* text) {
  std::fwrite(cStrData(text), 1, static_cast<size_t>(cStrLength(text)), output);
  std::fflush(output);
  cStrRelease(text);
}

bool HasText(const char* text) { return text != nullptr && *text != '\0'; }

// Short letters, then long names, joined by `separator`; then the label ("=" after long
// names, " " after short letters only) or `label` in its place when given.
void AppendOptionText(cStr_t* out, const cArgumentEntry_t* entry, const char* separator, const char* label) {
  bool any = false;
  if (entry->short_options != nullptr) {
    for (const char* letter = entry->short_options; *letter != '\0'; ++letter) {
      if (any) Append(out, separator);
      Append(out, "-");
      Append(out, letter, 1);
      any = true;
    }
  }
  const bool has_long = HasText(entry->long_options);
  if (has_long) {
    for (const char* name = entry->long_options;;) {
      const char* comma = std::strchr(name, ',');
      const size_t length = comma == nullptr ? std::strlen(name) : static_cast<size_t>(comma - name);
      if (any) Append(out, separator);
      Append(out, "--");
      Append(out, name, length);
      any = true;
      if (comma == nullptr) break;
      name = comma + 1;
    }
  }
  if (label == nullptr) label = entry->data_type;
  if (!HasText(label)) return;
  if (has_long) {
    Append(out, "=");
  } else if (any) {
    Append(out, " ");
  }
  const bool optional = (entry->flags & kArgumentOptionalValue) != 0;
  if (optional) Append(out, "[");
  Append(out, label);
  if (optional) Append(out, "]");
}

// --- entry kinds -----------------------------------------------------------------------

void ResetCount(cArgumentEntry_t* entry) { entry->count = 0; }

int CheckMinimum(cArgumentEntry_t* entry) { return entry->count < entry->min_count ? kArgumentMissing : 0; }

int FlagScan(cArgumentEntry_t* entry, const char*) {
  if (entry->count >= entry->max_count) return kArgumentExcess;
  ++entry->count;
  return 0;
}

void FlagError(cArgumentEntry_t* entry, cStr_t* out, int code, const char*, const char* program) {
  if (code == kArgumentMissing) {
    AppendFormat(out, "%s: missing option ", program);
    AppendOptionText(out, entry, "|", nullptr);
    Append(out, "\n\n");
  } else if (code == kArgumentExcess) {
    AppendFormat(out, "%s: extraneous option ", program);
    AppendOptionText(out, entry, "|", nullptr);
    Append(out, "\n");
  }
}

// Codes 1 and 2, shared by the value kinds.
bool CountError(cArgumentEntry_t* entry, cStr_t* out, int code, const char* value, const char* program) {
  if (code == kArgumentMissing) {
    AppendFormat(out, "%s: missing option ", program);
    AppendOptionText(out, entry, "|", nullptr);
  } else if (code == kArgumentExcess) {
    AppendFormat(out, "%s: excess option ", program);
    AppendOptionText(out, entry, "|", value != nullptr ? value : "");
  } else {
    return false;
  }
  Append(out, "\n");
  return true;
}

int IntegerScan(cArgumentEntry_t* entry, const char* value) {
  if (entry->count >= entry->max_count) return kArgumentExcess;
  int32_t number = 0;
  const int code = value == nullptr ? kArgumentBadNumber : parseArgumentInteger(value, &number);
  if (code != 0) return code;
  reinterpret_cast<cArgumentInteger_t*>(entry)->values[entry->count++] = number;
  return 0;
}

void IntegerError(cArgumentEntry_t* entry, cStr_t* out, int code, const char* value, const char* program) {
  if (CountError(entry, out, code, value, program)) return;
  const char* shown = value != nullptr ? value : "";
  if (code == kArgumentBadNumber) {
    AppendFormat(out, "%s: invalid argument \"%s\" to option ", program, shown);
    AppendOptionText(out, entry, "|", nullptr);
    Append(out, "\n");
  } else if (code == kArgumentOverflow) {
    AppendFormat(out, "%s: integer overflow at option ", program);
    AppendOptionText(out, entry, "|", nullptr);
    AppendFormat(out, " (%s is too large)\n", shown);
  }
}

int StringScan(cArgumentEntry_t* entry, const char* value) {
  if (entry->count >= entry->max_count) return kArgumentExcess;
  reinterpret_cast<cArgumentString_t*>(entry)->values[entry->count++] = value != nullptr ? value : "";
  return 0;
}

int StringCheck(cArgumentEntry_t* entry) {
  if (entry->count < entry->min_count) return kArgumentMissing;
  auto* string_entry = reinterpret_cast<cArgumentString_t*>(entry);
  if (string_entry->convert == nullptr) return 0;
  const int result = string_entry->convert(string_entry, string_entry->destination);
  return result == 0 ? 0 : result * kArgumentConversionScale;
}

void StringError(cArgumentEntry_t* entry, cStr_t* out, int code, const char* value, const char* program) {
  if (CountError(entry, out, code, value, program)) return;
  auto* string_entry = reinterpret_cast<cArgumentString_t*>(entry);
  if (string_entry->convert_error != nullptr)
    string_entry->convert_error(string_entry, out, code / kArgumentConversionScale, value, program);
}

int EndScan(cArgumentEntry_t*, const char*) { return 0; }

void EndError(cArgumentEntry_t*, cStr_t* out, int code, const char* value, const char* program) {
  const char* shown = value != nullptr ? value : "";
  switch (code) {
    case kArgumentTooManyErrors:
      AppendFormat(out, "%s: too many errors to display\n", program);
      break;
    case kArgumentNoMemory:
      AppendFormat(out, "%s: insufficient memory\n", program);
      break;
    case kArgumentUnexpected:
      AppendFormat(out, "%s: unexpected argument \"%s\"\n", program, shown);
      break;
    case kArgumentInvalidOption:
      AppendFormat(out, "%s: invalid option \"%s\"\n", program, shown);
      break;
    case kArgumentMissingValue:
      AppendFormat(out, "%s: option \"%s\" requires an argument\n", program, shown);
      break;
    default: {
      const char letter = static_cast<char>(code);
      AppendFormat(out, "%s: invalid option \"-", program);
      if (logAppendEscaped(out, {&letter, 1}) == nullptr) Panic();
      Append(out, "\"\n");
      break;
    }
  }
}

const cArgumentOperations_t kFlagOperations = {ResetCount, FlagScan, CheckMinimum, FlagError};
const cArgumentOperations_t kIntegerOperations = {ResetCount, IntegerScan, CheckMinimum, IntegerError};
const cArgumentOperations_t kStringOperations = {ResetCount, StringScan, StringCheck, StringError};
const cArgumentOperations_t kEndOperations = {ResetCount, EndScan, nullptr, EndError};

void InitHeader(cArgumentEntry_t* entry, const cArgumentOperations_t* ops, int flags, const char* short_options,
                const char* long_options, const char* data_type, const char* glossary, int32_t min_count,
                int32_t max_count) {
  entry->ops = ops;
  entry->flags = flags;
  entry->short_options = short_options;
  entry->long_options = long_options;
  entry->data_type = data_type;
  entry->glossary = glossary;
  entry->min_count = min_count < 0 ? 0 : min_count;
  entry->max_count = max_count < entry->min_count ? entry->min_count : max_count;
  entry->count = 0;
}

cArgumentString_t* NewString(const char* short_options, const char* long_options, const char* data_type,
                             int32_t min_count, int32_t max_count, const char* glossary, cArgumentConversion_t convert,
                             cArgumentConversionError_t convert_error, void* destination) {
  auto* entry = static_cast<cArgumentString_t*>(std::calloc(1, sizeof(cArgumentString_t)));
  if (entry == nullptr) return nullptr;
  InitHeader(&entry->header, &kStringOperations, kArgumentTakesValue, short_options, long_options, data_type, glossary,
             min_count, max_count);
  entry->values = static_cast<const char**>(
      std::calloc(static_cast<size_t>(entry->header.max_count > 0 ? entry->header.max_count : 1), sizeof(char*)));
  if (entry->values == nullptr) {
    std::free(entry);
    return nullptr;
  }
  entry->convert = convert;
  entry->convert_error = convert_error;
  entry->destination = destination;
  return entry;
}

}  // namespace

void freeArgumentEntry(cArgumentEntry_t* entry) {
  if (entry == nullptr) return;
  if (entry->ops == &kIntegerOperations) std::free(reinterpret_cast<cArgumentInteger_t*>(entry)->values);
  if (entry->ops == &kStringOperations) std::free(reinterpret_cast<cArgumentString_t*>(entry)->values);
  if (entry->ops == &kEndOperations) std::free(reinterpret_cast<cArgumentEnd_t*>(entry)->errors);
  std::free(entry);
}

namespace {

// --- scanning --------------------------------------------------------------------------

struct LongName {
  const char* name;
  size_t length;  // for a wildcard: the part before '*'
  bool wildcard;
  cArgumentEntry_t* entry;
};

struct Scan {
  cArgumentTable_t* table;
  cArgumentEnd_t* end;
  cArgumentEntry_t* short_entries[256];
  cVec_t<LongName> long_names;
  cVec_t<const char*> positional;
};

void Record(cArgumentEnd_t* end, int code, cArgumentEntry_t* parent, const char* value) {
  cArgumentEntry_t& header = end->header;
  if (header.count < header.max_count) {
    end->errors[header.count++] = {code, parent, value};
  } else {
    end->errors[header.max_count - 1] = {kArgumentTooManyErrors, &end->header, nullptr};
  }
}

void Deliver(Scan* scan, cArgumentEntry_t* entry, const char* value) {
  const int code = entry->ops->scan(entry, value);
  if (code != 0) Record(scan->end, code, entry, value);
}

bool IsEnd(const cArgumentEntry_t* entry) { return (entry->flags & kArgumentEndOfTable) != 0; }

void Prepare(Scan* scan) {
  for (int64_t i = 0; i < scan->table->count; ++i) {
    cArgumentEntry_t* entry = scan->table->items[i];
    if (IsEnd(entry)) continue;
    if (entry->short_options != nullptr) {
      for (const char* letter = entry->short_options; *letter != '\0'; ++letter) {
        const auto byte = static_cast<unsigned char>(*letter);
        // ':' and '-' cannot be option letters; the first entry naming a letter owns it.
        if (byte != ':' && byte != '-' && scan->short_entries[byte] == nullptr) scan->short_entries[byte] = entry;
      }
    }
    if (!HasText(entry->long_options)) continue;
    for (const char* name = entry->long_options;;) {
      const char* comma = std::strchr(name, ',');
      const size_t length = comma == nullptr ? std::strlen(name) : static_cast<size_t>(comma - name);
      const bool wildcard = length > 0 && name[length - 1] == '*';
      if (vecPush(&scan->long_names, LongName{name, wildcard ? length - 1 : length, wildcard, entry}) == nullptr) {
        Panic();
      }
      if (comma == nullptr) break;
      name = comma + 1;
    }
  }
}

// The long name the argument's name (before any '=') selects: an exact name, or the one name
// it abbreviates (several names of one entry count as one). Null when unknown or ambiguous.
const LongName* FindLong(const Scan* scan, const char* name, size_t length, bool has_value) {
  const LongName* candidate = nullptr;
  bool ambiguous = false;
  for (int64_t i = 0; i < scan->long_names.count; ++i) {
    const LongName* option = &scan->long_names.items[i];
    if (option->wildcard) {
      // Only "--<prefix>...=value" matches; the prefix is never abbreviated.
      if (!has_value || length < option->length || std::memcmp(name, option->name, option->length) != 0) continue;
      if (length == option->length) return option;
    } else {
      if (length > option->length || std::memcmp(name, option->name, length) != 0) continue;
      if (length == option->length) return option;
    }
    if (candidate == nullptr) {
      candidate = option;
    } else if (candidate->entry != option->entry) {
      ambiguous = true;
    }
  }
  return ambiguous ? nullptr : candidate;
}

// A "--name[=value]" argument; returns the index of the last argument it used.
int ScanLong(Scan* scan, int argc, char** argv, int at) {
  const char* argument = argv[at];
  const char* name = argument + 2;
  const char* equals = std::strchr(name, '=');
  const size_t length = equals == nullptr ? std::strlen(name) : static_cast<size_t>(equals - name);
  const LongName* option = FindLong(scan, name, length, equals != nullptr);
  if (option == nullptr) {
    Record(scan->end, kArgumentInvalidOption, &scan->end->header, argument);
    return at;
  }
  cArgumentEntry_t* entry = option->entry;
  const bool takes_value = (entry->flags & kArgumentTakesValue) != 0;
  if (equals != nullptr) {
    if (!takes_value) {
      Record(scan->end, kArgumentInvalidOption, &scan->end->header, argument);
      return at;
    }
    if (equals[1] == '\0') Record(scan->end, kArgumentMissingValue, &scan->end->header, argument);
    Deliver(scan, entry, option->wildcard ? name : equals + 1);
    return at;
  }
  if (!takes_value || (entry->flags & kArgumentOptionalValue) != 0) {
    Deliver(scan, entry, nullptr);
  } else if (at + 1 < argc) {
    Deliver(scan, entry, argv[++at]);
  } else {
    Record(scan->end, kArgumentMissingValue, &scan->end->header, argument);
  }
  return at;
}

// A group of short options "-abc"; returns the index of the last argument it used.
int ScanShort(Scan* scan, int argc, char** argv, int at) {
  const char* argument = argv[at];
  for (const char* letter = argument + 1; *letter != '\0'; ++letter) {
    const auto byte = static_cast<unsigned char>(*letter);
    cArgumentEntry_t* entry = scan->short_entries[byte];
    if (entry == nullptr) {
      // The letter is the code; the few bytes that would read as another code give the argument.
      if (byte > kArgumentMissingValue) {
        Record(scan->end, byte, &scan->end->header, nullptr);
      } else {
        Record(scan->end, kArgumentInvalidOption, &scan->end->header, argument);
      }
      continue;
    }
    if ((entry->flags & kArgumentTakesValue) == 0) {
      Deliver(scan, entry, nullptr);
      continue;
    }
    if (letter[1] != '\0') {
      Deliver(scan, entry, letter + 1);
    } else if ((entry->flags & kArgumentOptionalValue) != 0) {
      Deliver(scan, entry, nullptr);
    } else if (at + 1 < argc) {
      Deliver(scan, entry, argv[++at]);
    } else {
      Record(scan->end, kArgumentMissingValue, &scan->end->header, argument);
    }
    break;
  }
  return at;
}

void PushPositional(Scan* scan, const char* argument) {
  if (vecPush(&scan->positional, argument) == nullptr) Panic();
}

bool IsPositionalEntry(const cArgumentEntry_t* entry) {
  return !IsEnd(entry) && !HasText(entry->short_options) && !HasText(entry->long_options);
}

void DistributePositional(Scan* scan) {
  int64_t next = 0;  // table index of the positional entry being offered arguments
  auto advance = [scan](int64_t from) {
    while (from < scan->table->count && !IsPositionalEntry(scan->table->items[from])) ++from;
    return from;
  };
  next = advance(0);
  for (int64_t i = 0; i < scan->positional.count; ++i) {
    const char* argument = scan->positional.items[i];
    for (;;) {
      if (next >= scan->table->count) {
        Record(scan->end, kArgumentUnexpected, &scan->end->header, argument);
        break;
      }
      cArgumentEntry_t* entry = scan->table->items[next];
      const int code = entry->ops->scan(entry, argument);
      if (code == 0) break;
      next = advance(next + 1);
      if (next >= scan->table->count) {  // the last positional entry refused it
        Record(scan->end, code, entry, argument);
        break;
      }
    }
  }
}

}  // namespace

cArgumentFlag_t* argumentFlagNew(const char* short_options, const char* long_options, const char* glossary) {
  auto* entry = static_cast<cArgumentFlag_t*>(std::calloc(1, sizeof(cArgumentFlag_t)));
  if (entry == nullptr) return nullptr;
  InitHeader(&entry->header, &kFlagOperations, 0, short_options, long_options, nullptr, glossary, 0, 1);
  return entry;
}

cArgumentInteger_t* argumentIntegerNew(const char* short_options, const char* long_options, const char* data_type,
                                       const char* glossary) {
  auto* entry = static_cast<cArgumentInteger_t*>(std::calloc(1, sizeof(cArgumentInteger_t)));
  if (entry == nullptr) return nullptr;
  InitHeader(&entry->header, &kIntegerOperations, kArgumentTakesValue, short_options, long_options,
             data_type != nullptr ? data_type : "<int>", glossary, 0, 1);
  entry->values = static_cast<int32_t*>(std::calloc(1, sizeof(int32_t)));
  if (entry->values == nullptr) {
    std::free(entry);
    return nullptr;
  }
  return entry;
}

cArgumentString_t* argumentStringNew(const char* short_options, const char* long_options, const char* data_type,
                                     int32_t min_count, int32_t max_count, const char* glossary,
                                     cArgumentConversion_t convert, cArgumentConversionError_t convert_error,
                                     void* destination) {
  return NewString(short_options, long_options, data_type != nullptr ? data_type : "<string>", min_count, max_count,
                   glossary, convert, convert_error, destination);
}

cArgumentString_t* argumentFileNew(const char* short_options, const char* long_options, const char* data_type,
                                   int32_t min_count, int32_t max_count, const char* glossary,
                                   cArgumentConversion_t convert, cArgumentConversionError_t convert_error,
                                   void* destination) {
  return NewString(short_options, long_options, data_type != nullptr ? data_type : "<file>", min_count, max_count,
                   glossary, convert, convert_error, destination);
}

cArgumentString_t* argumentSingleFileNew(const char* short_options, const char* long_options, const char* data_type,
                                         const char* glossary, cArgumentConversion_t convert,
                                         cArgumentConversionError_t convert_error, void* destination) {
  return argumentFileNew(short_options, long_options, data_type, 0, 1, glossary, convert, convert_error, destination);
}

cArgumentEnd_t* argumentEndNew(int32_t slots) {
  auto* entry = static_cast<cArgumentEnd_t*>(std::calloc(1, sizeof(cArgumentEnd_t)));
  if (entry == nullptr) return nullptr;
  const int32_t room = slots < 1 ? 1 : slots;
  InitHeader(&entry->header, &kEndOperations, kArgumentEndOfTable, nullptr, nullptr, nullptr, nullptr, 0, room);
  entry->errors = static_cast<cArgumentError_t*>(std::calloc(static_cast<size_t>(room), sizeof(cArgumentError_t)));
  if (entry->errors == nullptr) {
    std::free(entry);
    return nullptr;
  }
  return entry;
}

bool checkArgumentTable(const cArgumentTable_t* table) {
  if (table == nullptr || table->count == 0) return false;
  for (int64_t i = 0; i < table->count; ++i) {
    if (table->items[i] == nullptr) return false;
  }
  return IsEnd(table->items[table->count - 1]);
}

cArgumentEnd_t* argumentTableEnd(const cArgumentTable_t* table) {
  return reinterpret_cast<cArgumentEnd_t*>(table->items[table->count - 1]);
}

int parseArgumentTable(int argc, char** argv, cArgumentTable_t* table) {
  Scan scan{};
  scan.table = table;
  scan.end = argumentTableEnd(table);
  for (int64_t i = 0; i < table->count; ++i) table->items[i]->ops->reset(table->items[i]);
  Prepare(&scan);

  const bool posix = std::getenv("POSIXLY_CORRECT") != nullptr;
  for (int at = 1; at < argc; ++at) {
    const char* argument = argv[at];
    if (std::strcmp(argument, "--") == 0) {
      while (++at < argc) PushPositional(&scan, argv[at]);
      break;
    }
    if (argument[0] != '-' || argument[1] == '\0') {
      if (posix) {
        for (; at < argc; ++at) PushPositional(&scan, argv[at]);
        break;
      }
      PushPositional(&scan, argument);
      continue;
    }
    at = argument[1] == '-' ? ScanLong(&scan, argc, argv, at) : ScanShort(&scan, argc, argv, at);
  }
  DistributePositional(&scan);

  if (scan.end->header.count == 0) {
    for (int64_t i = 0; i < table->count; ++i) {
      cArgumentEntry_t* entry = table->items[i];
      if (entry->ops->check == nullptr) continue;
      const int code = entry->ops->check(entry);
      if (code != 0) Record(scan.end, code, entry, nullptr);
    }
  }
  vecRelease(&scan.long_names);
  vecRelease(&scan.positional);
  return scan.end->header.count;
}

void printArgumentSyntax(FILE* output, const cArgumentTable_t* table, const char* suffix) {
  cStr_t line{};
  if (cStrReserve(&line, kFirstMessageRoom) == nullptr) Panic();
  for (int64_t i = 0; i < table->count; ++i) {
    const cArgumentEntry_t* entry = table->items[i];
    if (IsEnd(entry)) continue;
    cStr_t text{};
    AppendOptionText(&text, entry, "|", nullptr);
    const cStrView_t view = cStrViewOfStr(&text);
    for (int32_t n = 0; n < entry->min_count; ++n) {
      Append(&line, " ");
      Append(&line, view.data, static_cast<size_t>(view.length));
    }
    const int64_t optional = int64_t{entry->max_count} - entry->min_count;
    for (int n = 0; n < (optional == 2 ? 2 : optional > 0 ? 1 : 0); ++n) {
      Append(&line, " [");
      Append(&line, view.data, static_cast<size_t>(view.length));
      Append(&line, optional > 2 ? "]..." : "]");
    }
    cStrRelease(&text);
  }
  if (suffix != nullptr) Append(&line, suffix);
  Write(output, &line);
}

void printArgumentGlossary(FILE* output, const cArgumentTable_t* table, const char* format) {
  if (format == nullptr) format = "  %-20s %s\n";
  cStr_t lines{};
  if (cStrReserve(&lines, kFirstMessageRoom) == nullptr) Panic();
  for (int64_t i = 0; i < table->count; ++i) {
    const cArgumentEntry_t* entry = table->items[i];
    if (entry->glossary == nullptr) continue;
    cStr_t text{};
    AppendOptionText(&text, entry, ", ", nullptr);
    if (cStrLength(&text) > kMaxGlossaryOptionText) cStrResize(&text, kMaxGlossaryOptionText, '\0');
    AppendFormat(&lines, format, cStrData(&text), entry->glossary);
    cStrRelease(&text);
  }
  Write(output, &lines);
}

void printArgumentErrors(FILE* output, const cArgumentEnd_t* end, const char* program) {
  cStr_t text{};
  if (cStrReserve(&text, kFirstMessageRoom) == nullptr) Panic();
  // What was given is shown escaped as log lines show it, so a newline in an argument cannot
  // split the list and an escape sequence never reaches the terminal.
  cStr_t shown{};
  for (int32_t i = 0; i < end->header.count; ++i) {
    const cArgumentError_t& error = end->errors[i];
    const char* value = error.value;
    if (value != nullptr) {
      cStrRelease(&shown);
      if (logAppendEscaped(&shown, cStrViewOf(value)) == nullptr) Panic();
      value = cStrData(&shown);
    }
    error.parent->ops->error(error.parent, &text, error.code, value, program);
  }
  cStrRelease(&shown);
  Write(output, &text);
}

void freeArgumentTable(cArgumentTable_t* table) {
  for (int64_t i = 0; i < table->count; ++i) freeArgumentEntry(table->items[i]);
  vecRelease(table);
}

int parseArgumentInteger(const char* text, int32_t* value) {
  auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  const char* p = text;
  while (is_space(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  uint64_t base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) base = 16;
  if (p[0] == '0' && (p[1] == 'o' || p[1] == 'O')) base = 8;
  if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) base = 2;
  if (base != 10) p += 2;
  uint64_t magnitude = 0;
  bool overflow = false;
  const char* digits = p;
  for (;; ++p) {
    const char c = *p;
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    // Anything above 2^32 is an overflow already; stopping there keeps the product exact.
    if (magnitude > (uint64_t{1} << 32)) {
      overflow = true;
    } else {
      magnitude = magnitude * base + digit;
    }
  }
  if (p == digits) return kArgumentBadNumber;
  uint64_t multiplier = 1;
  const char unit = static_cast<char>(p[0] | 0x20);
  if ((unit == 'k' || unit == 'm' || unit == 'g') && (p[1] == 'B' || p[1] == 'b')) {
    multiplier = unit == 'k' ? 1024 : unit == 'm' ? 1048576 : 1073741824;
    p += 2;
    while (is_space(*p)) ++p;
  }
  if (*p != '\0') return kArgumentBadNumber;
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (overflow || magnitude > limit || magnitude * multiplier > limit) return kArgumentOverflow;
  const int64_t result = static_cast<int64_t>(magnitude * multiplier);
  *value = static_cast<int32_t>(negative ? -result : result);
  return 0;
}
