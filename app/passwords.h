#pragma once
// The password store: device keys (as written in the password file) to passwords. The file is
// text of "key": "value" pairs, one per line; a key is "default" or hexadecimal digits, a
// value runs to the last double quote of its line, and nothing else of JSON is interpreted.
#include <cstdint>

#include "platform/cstr.h"
#include "platform/hashmap.h"

struct cPasswordEntry_t {
  cStr_t key;
  cStr_t password;
};
static_assert(sizeof(cPasswordEntry_t) == 48, "password entries are two strings");

using cPasswordStore_t = cHashMap_t<cPasswordEntry_t, cTextKeyTraits_t<cPasswordEntry_t>>;

/// Reads every pair of the text into the store; a key already present keeps its first
/// password and logs the warning "Failed to insert key for \"%s\" in password storage". A
/// line holding a NUL byte gives no pair: it logs the error "Password file line %lld holds a
/// NUL byte and is skipped" and the lines after it are read. False when the pair pattern
/// cannot be compiled or searched, or memory is short; a text without pairs is true.
bool parsePasswords(cStrView_t text, cPasswordStore_t* store);
/// Loads the password file at `path` (normalized), or with a null path "passwords.json" in
/// the current directory, into the store. A given file that cannot be opened, and any file
/// that cannot be read whole, logs "Failed to open password file at %s" and fails with the
/// status left at 129; a missing default file leaves the store empty. A text the pairs cannot
/// be read from logs "Could not parse password file" and fails.
bool loadPasswords(const cStr_t* path, cPasswordStore_t* store, int* status);
/// The password of a device: its id as eight upper-case hexadecimal digits, else "default";
/// null when neither is stored.
const cStr_t* passwordForDevice(const cPasswordStore_t* store, uint32_t device_id);
/// Frees every key and password and the store's tables.
void passwordStoreRelease(cPasswordStore_t* store);
