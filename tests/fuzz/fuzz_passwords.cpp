// Fuzz target over the password file's text: the input, zero bytes and all, goes through
// parsePasswords. Every stored key must be "default" or hexadecimal digits, no password may
// hold a line end or a zero byte (their lines are skipped), and device look-ups must work.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/passwords.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsKey(const cStr_t& key) {
  const char* text = cStrData(&key);
  if (cStrLength(&key) == 7 && std::string(text) == "default") return true;
  for (int64_t i = 0; i < cStrLength(&key); ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cPasswordStore_t store{};
  Check(parsePasswords({reinterpret_cast<const char*>(data), static_cast<int64_t>(size)}, &store));
  for (uint32_t i = hashMapNext(&store, 0); i < store.buckets; i = hashMapNext(&store, i + 1)) {
    const cPasswordEntry_t& entry = store.entries[i];
    Check(IsKey(entry.key));
    const std::string password(cStrData(&entry.password), static_cast<size_t>(cStrLength(&entry.password)));
    Check(password.find('\n') == std::string::npos);
    Check(password.find('\0') == std::string::npos);
    Check(hashMapLookup(&store, cStrViewOfStr(&entry.key)) == &entry);
  }
  const bool stored = hashMapLookup(&store, cStrViewOf("default")) != nullptr ||
                      hashMapLookup(&store, cStrViewOf("FFFFFFFF")) != nullptr;
  Check((passwordForDevice(&store, 0xFFFFFFFFu) != nullptr) == stored);
  passwordStoreRelease(&store);
  return 0;
}
