#include "platform/path.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/filesystem.h"
#include "platform/log.h"

namespace {

// getcwd starts with room for most paths and doubles; PATH_MAX is 4096, so the upper bound
// only stops a runaway.
constexpr size_t kFirstCurrentDirectory = 1024;
constexpr size_t kMaxCurrentDirectory = size_t{1} << 20;

// Only '/': on this system a backslash is a character of a name ("back\slash" names one
// file), so taking it for a separator would make a given name reach another path or none.
bool IsSeparator(char c) { return c == '/'; }

bool IsDotSegment(const char* segment, int64_t length) {
  return (length == 1 && segment[0] == '.') || (length == 2 && segment[0] == '.' && segment[1] == '.');
}

// Appends the segments of `path` to `out`, which ends in '/', resolving "." and ".."; runs of
// separators count as one. `out` keeps its trailing '/'.
bool AppendResolved(cStr_t* out, cStrView_t path) {
  int64_t at = 0;
  while (at < path.length) {
    int64_t end = at;
    while (end < path.length && !IsSeparator(path.data[end])) ++end;
    const int64_t length = end - at;
    const char* segment = path.data + at;
    at = end + 1;
    if (length == 0 || (length == 1 && segment[0] == '.')) continue;
    if (length == 2 && segment[0] == '.' && segment[1] == '.') {
      int64_t keep = cStrLength(out) - 1;  // drop the last segment, not above the root
      while (keep > 0 && cStrData(out)[keep - 1] != '/') --keep;
      if (keep > 0) cStrResize(out, keep, '\0');
      continue;
    }
    if (cStrAppend(out, {segment, length}) == nullptr || cStrAppend(out, {"/", 1}) == nullptr) return false;
  }
  return true;
}

// Whether the path names a directory by its form: a trailing separator or a final "." or "..".
bool EndsAsDirectory(cStrView_t path) {
  if (path.length == 0 || IsSeparator(path.data[path.length - 1])) return true;
  int64_t start = path.length;
  while (start > 0 && !IsSeparator(path.data[start - 1])) --start;
  return IsDotSegment(path.data + start, path.length - start);
}

void Replace(cStr_t* out, cStr_t* value) {
  cStrRelease(out);
  *out = *value;
}

}  // namespace

bool pathNormalize(cStr_t* path) {
  const cStrView_t input = cStrViewOfStr(path);
  cStr_t result{};
  if (input.length > 0 && IsSeparator(input.data[0])) {
    if (cStrAppend(&result, {"/", 1}) == nullptr) return false;
  } else if (!currentDirectory(&result)) {
    // A relative path has no absolute form while the current directory is unknown (getcwd
    // fails once the folder was removed): it stays as given, and a caller that needs an
    // absolute path refuses it by its missing leading '/', not as a failure of memory.
    return true;
  }
  if (!AppendResolved(&result, input)) {
    cStrRelease(&result);
    return false;
  }
  if (!EndsAsDirectory(input) && cStrLength(&result) > 1) cStrResize(&result, cStrLength(&result) - 1, '\0');

  cFileStat_t stat{};
  const bool ends_in_slash = cStrData(&result)[cStrLength(&result) - 1] == '/';
  if (!nativeFsStat(nullptr, cStrData(&result), &stat)) {
    logMessage(kLogError, "Could not stat path %s", cStrData(&result));
  } else if (stat.kind == kFileKindDirectory && !ends_in_slash) {
    if (cStrAppend(&result, {"/", 1}) == nullptr) {
      cStrRelease(&result);
      return false;
    }
  } else if (stat.kind == kFileKindRegular && ends_in_slash && cStrLength(&result) > 1) {
    cStrResize(&result, cStrLength(&result) - 1, '\0');
  }
  Replace(path, &result);
  return true;
}

bool currentDirectory(cStr_t* out) {
  char* buffer = nullptr;
  for (size_t size = kFirstCurrentDirectory;; size *= 2) {
    std::free(buffer);
    buffer = static_cast<char*>(std::malloc(size));
    if (buffer == nullptr) return false;
    if (getcwd(buffer, size) != nullptr) break;
    if (errno != ERANGE || size >= kMaxCurrentDirectory) {
      std::free(buffer);
      return false;
    }
  }
  cStr_t directory{};
  // Only an absolute answer is a usable base (older C libraries returned "(unreachable)...").
  bool ok = buffer[0] == '/' && cStrInit(&directory, cStrViewOf(buffer));
  std::free(buffer);
  ok = ok && (cStrData(&directory)[cStrLength(&directory) - 1] == '/' || cStrAppend(&directory, {"/", 1}) != nullptr);
  ok = ok && pathNormalize(&directory);
  if (!ok) {
    cStrRelease(&directory);
    return false;
  }
  Replace(out, &directory);
  return true;
}

cStrView_t pathParent(cStrView_t path) {
  for (int64_t i = path.length; i > 0; --i) {
    if (path.data[i - 1] == '/') return {path.data, i};
  }
  return {path.data, 0};
}

cStrView_t pathFileName(cStrView_t path) {
  const cStrView_t parent = pathParent(path);
  return {path.data + parent.length, path.length - parent.length};
}

cStrView_t pathExtension(cStrView_t path) {
  const cStrView_t name = pathFileName(path);
  for (int64_t i = name.length; i > 0; --i) {
    if (name.data[i - 1] == '.') return {name.data + i, name.length - i};
  }
  return name;
}

bool strReplace(cStr_t* out, cStrView_t text, cStrView_t pattern, cStrView_t replacement, int64_t limit) {
  cStr_t result{};
  bool ok = true;
  int64_t copied = 0;  // text before this position is in the result
  int64_t replaced = 0;
  if (pattern.length > 0) {
    for (int64_t at = 0; ok && at + pattern.length <= text.length && (limit == 0 || replaced < limit);) {
      if (std::memcmp(text.data + at, pattern.data, static_cast<size_t>(pattern.length)) != 0) {
        ++at;
        continue;
      }
      ok = cStrAppend(&result, {text.data + copied, at - copied}) != nullptr &&
           cStrAppend(&result, replacement) != nullptr;
      at += pattern.length;
      copied = at;
      ++replaced;
    }
  }
  ok = ok && cStrAppend(&result, {text.data + copied, text.length - copied}) != nullptr;
  if (!ok) {
    cStrRelease(&result);
    cStrRelease(out);
    return false;
  }
  Replace(out, &result);
  return true;
}
