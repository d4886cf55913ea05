#include "app/passwords.h"

#include <cstdio>
#include <cstdlib>

#include "app/exit_status.h"
#include "app/options.h"
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

// The whole file as a NUL-terminated text, or null when it cannot be read whole.
char* ReadWhole(cStream_t* stream) {
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
  return text;
}

cStrView_t ViewOf(const cRegexMatch_t& capture) { return {capture.start, capture.length}; }

}  // namespace

bool parsePasswords(const char* text, cPasswordStore_t* store) {
  cRegex_t pair{};
  // The full-match flag has no effect when compiling; kept as the pattern's owners wrote it.
  if (regexCompile(&pair, kPairPattern, kRegexFullMatch) != kRegexOk) return false;
  cRegexMatch_t groups[kPairCaptures] = {};
  bool ok = true;
  for (;;) {
    const int result = regexMatch(&pair, text, groups, kPairCaptures, kRegexNext);
    if (result == kRegexNoMatch) break;
    if (result != kRegexOk) {  // an engine failure must not end the list like its last pair
      ok = false;
      break;
    }
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
      ok = false;
      break;
    }
    const cHashInsert_t<cPasswordEntry_t> slot = hashMapInsert(store, key);
    if (slot.entry == nullptr) {
      cStrRelease(&entry.key);
      cStrRelease(&entry.password);
      ok = false;
      break;
    }
    *slot.entry = entry;
  }
  regexFree(&pair);
  return ok;
}

bool loadPasswords(cOptions_t* options, int* status) {
  const bool given = options->password_files.count > 0;
  cStr_t default_path{};
  if (!given && cStrInit(&default_path, cStrViewOf(kDefaultFile))) pathNormalize(&default_path);
  const char* path = given ? cStrData(&options->password_files.items[0]) : cStrData(&default_path);
  bool ok = true;
  cStream_t* stream = fileStreamOpen(path, kFileStreamRead);
  if (stream == nullptr) {
    if (given) {
      logMessage(kLogError, "Failed to open password file at %s", path);
      *status |= kExitInputMissing;
      ok = false;
    }
  } else if (char* text = ReadWhole(stream)) {
    if (!parsePasswords(text, &options->settings.passwords)) {
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
