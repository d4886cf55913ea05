#include "app/output_names.h"

#include "platform/path.h"
#include "platform/utf8.h"

bool isLogFile(cStrView_t path) {
  static const char* const kLogExtensions[] = {"mf4", "mfc", "mfe", "mfm"};
  cStr_t lower{};
  if (utf8CaseTransform(&lower, pathExtension(path), kUtf8CaseLower) == nullptr) return false;
  bool match = false;
  for (const char* extension : kLogExtensions)
    match = match || cStrViewEqual(cStrViewOfStr(&lower), cStrViewOf(extension));
  cStrRelease(&lower);
  return match;
}

bool folderOutputRoot(cStr_t* out, cStrView_t input) {
  int64_t slash = 0;
  while (slash < input.length && input.data[slash] != '/') ++slash;
  return cStrInit(out, {input.data, slash}) && cStrAppend(out, cStrViewOf(kFolderSuffix)) != nullptr &&
         (slash == input.length || cStrAppend(out, {input.data + slash, input.length - slash}) != nullptr);
}
