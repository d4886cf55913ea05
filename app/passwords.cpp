#include "app/passwords.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/exit_status.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/regex.h"
#include "platform/stream.h"

namespace {

const char* const kPairPattern = "\\s*\"(default|[a-fA-F\\d]*)\"\\s*:\\s*\"(.*?)\"\\s*,?\\s*";
constexpr int kPairCaptures = 3;  // the pair, the key, the password
const char* const kDefaultFile = "passwords.json";
const char* const kDefaultKey = "default";
// A password file is a short list of pairs; the bound keeps a wrong path (a device, a disk
// image) from allocating without limit.
constexpr int64_t kMaxPasswordFile = int64_t{64} << 20;

// The whole file as a NUL-terminated text of `*size` bytes, or null when it cannot be read whole.
char* ReadWhole(cStream_t* stream, int64_t* size_out) {
  const int64_t size = streamSize(stream);
  if (size < 0 || size > kMaxPasswordFile) return nullptr;
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
  if (text == nullptr) return nullptr;
  int64_t total = 0;
  while (total < size) {
    const int64_t got = streamRead(stream, text + total, static_cast<uint64_t>(size - total));
    if (got <= 0) break;
    total += got;
  }
  if (total != size) {
    std::free(text);
    return nullptr;
  }
  text[size] = '\0';
  *size_out = size;
  return text;
}

cStrView_t ViewOf(const cRegexMatch_t& capture) { return {capture.start, capture.length}; }

// Reads the pairs of a stretch of the text without NUL bytes. The search is given the
// stretch's length, so walking it costs time linear in its size.
bool ReadPairs(cRegex_t* pair, cStrView_t text, cPasswordStore_t* store) {
  cRegexMatch_t groups[kPairCaptures] = {};
  for (;;) {
    const int result = regexMatchBytes(pair, text.data, text.length, groups, kPairCaptures, kRegexNext);
    if (result == kRegexNoMatch) return true;
    if (result != kRegexOk) return false;  // an engine failure must not end the list like its last pair
    const cStrView_t key = ViewOf(groups[1]);
    if (hashMapLookup(store, key) != nullptr) {
      cStr_t shown{};
      cStrInit(&shown, key);
      logMessage(kLogWarning, "Failed to insert key for \"%s\" in password storage", cStrData(&shown));
      cStrRelease(&shown);
      continue;
    }
    cPasswordEntry_t entry{};
    if (!cStrInit(&entry.key, key) || !cStrInit(&entry.password, ViewOf(groups[2]))) {
      cStrRelease(&entry.key);
      return false;
    }
    const cHashInsert_t<cPasswordEntry_t> slot = hashMapInsert(store, key);
    if (slot.entry == nullptr) {
      cStrRelease(&entry.key);
      cStrRelease(&entry.password);
      return false;
    }
    *slot.entry = entry;
  }
}

int64_t CountLineEnds(const char* from, const char* to) {
  int64_t count = 0;
  while (const void* at = std::memchr(from, '\n', static_cast<size_t>(to - from))) {
    ++count;
    from = static_cast<const char*>(at) + 1;
  }
  return count;
}

}  // namespace

bool parsePasswords(cStrView_t text, cPasswordStore_t* store) {
  cRegex_t pair{};
  // The full-match flag has no effect when compiling; kept as the pattern's owners wrote it.
  if (regexCompile(&pair, kPairPattern, kRegexFullMatch) != kRegexOk) return false;
  const char* at = text.length > 0 ? text.data : "";
  const char* const end = at + (text.length > 0 ? text.length : 0);
  int64_t line = 1;  // the line that `at` starts
  bool ok = true;
  // A NUL byte is no text a password file holds (a UTF-16 file, a damaged copy): its line is
  // reported and skipped, and reading goes on with the next line, so one bad byte costs at
  // most the pair of its own line.
  while (ok) {
    const auto* nul = static_cast<const char*>(std::memchr(at, '\0', static_cast<size_t>(end - at)));
    if (nul == nullptr) {
      ok = ReadPairs(&pair, {at, end - at}, store);
      break;
    }
    const char* line_start = nul;
    while (line_start > at && line_start[-1] != '\n') --line_start;
    ok = ReadPairs(&pair, {at, line_start - at}, store);
    if (!ok) break;
    line += CountLineEnds(at, line_start);
    logMessage(kLogError, "Password file line %lld holds a NUL byte and is skipped", static_cast<long long>(line));
    const auto* line_end = static_cast<const char*>(std::memchr(nul, '\n', static_cast<size_t>(end - nul)));
    if (line_end == nullptr) break;
    at = line_end + 1;
    ++line;
  }
  regexFree(&pair);
  return ok;
}

bool loadPasswords(const cStr_t* given, cPasswordStore_t* store, int* status) {
  cStr_t default_path{};
  if (given == nullptr && cStrInit(&default_path, cStrViewOf(kDefaultFile))) pathNormalize(&default_path);
  const char* path = given != nullptr ? cStrData(given) : cStrData(&default_path);
  bool ok = true;
  cStream_t* stream = fileStreamOpen(path, kFileStreamRead);
  int64_t size = 0;
  if (stream == nullptr) {
    if (given != nullptr) {
      logMessage(kLogError, "Failed to open password file at %s", path);
      *status |= kExitInputMissing;
      ok = false;
    }
  } else if (char* text = ReadWhole(stream, &size)) {
    if (!parsePasswords({text, size}, store)) {
      logMessage(kLogError, "Could not parse password file");
      ok = false;
    }
    std::free(text);
  } else {
    logMessage(kLogError, "Failed to open password file at %s", path);
    *status |= kExitInputMissing;
    ok = false;
  }
  streamClose(stream);
  cStrRelease(&default_path);
  return ok;
}

const cStr_t* passwordForDevice(const cPasswordStore_t* store, uint32_t device_id) {
  char key[9];
  std::snprintf(key, sizeof key, "%08X", static_cast<unsigned>(device_id));
  const cPasswordEntry_t* entry = hashMapLookup(store, cStrView_t{key, 8});
  if (entry == nullptr) entry = hashMapLookup(store, cStrViewOf(kDefaultKey));
  return entry == nullptr ? nullptr : &entry->password;
}

void passwordStoreRelease(cPasswordStore_t* store) {
  for (uint32_t i = hashMapNext(store, 0); i < store->buckets; i = hashMapNext(store, i + 1)) {
    cStrRelease(&store->entries[i].key);
    cStrRelease(&store->entries[i].password);
  }
  hashMapRelease(store);
}
