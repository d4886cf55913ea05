// The native kind's stored spellings (nativeFsStoredPath) and mount points (nativeFsMountRoot).
// FUSE drivers for FAT and exFAT ignore case but give each spelling of a name a node and an inode
// number of its own, so one folder named two ways looks like two. A name is respelt as the entry
// its folder lists that the name reaches: told by identity where the driver gives every spelling
// one, else by what the entry is (kind, size, times) and, for a folder, by the names it lists.
// Where these cannot tell two listed names apart, the path is not told (kFsNameNotTold).
#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/filesystem.h"
#include "platform/hashmap.h"
#include "platform/utf8.h"

namespace {

void ReleaseKeepingErrno(cStr_t* text) {
  const int error = errno;
  cStrRelease(text);
  errno = error;
}

/// Whether two names are one but for the case of ASCII letters.
bool SameButForAsciiCase(cStrView_t a, cStrView_t b) {
  if (a.length != b.length) return false;
  for (int64_t i = 0; i < a.length; ++i) {
    const auto x = static_cast<unsigned char>(a.data[i]);
    const auto y = static_cast<unsigned char>(b.data[i]);
    if (x != y && !(x >= 'A' && x <= 'Z' && x + ('a' - 'A') == y) && !(y >= 'A' && y <= 'Z' && y + ('a' - 'A') == x)) {
      return false;
    }
  }
  return true;
}

/// A name as every file system that ignores case may take it: upper-cased (exFAT's up-case table
/// holds simple upper cases, fewer than Unicode has) and case-folded (which joins more letters).
struct cFoldedName_t {
  cStr_t upper{};
  cStr_t folded{};
  bool Init(cStrView_t name) {
    return utf8CaseTransform(&upper, name, kUtf8CaseUpper) != nullptr &&
           utf8CaseTransform(&folded, name, kUtf8CaseFold) != nullptr;
  }
  ~cFoldedName_t() {
    cStrRelease(&upper);
    cStrRelease(&folded);
  }
};

/// Whether `listed` may be the entry a file system that ignores case reaches by `name` (folded
/// as `given`): a superset of what such a file system takes alike. False with ENOMEM when
/// memory is short.
bool MayBeAlike(cStrView_t name, const cFoldedName_t& given, cStrView_t listed, bool* short_of_memory) {
  if (SameButForAsciiCase(listed, name)) return true;
  cFoldedName_t other;
  if (!other.Init(listed)) {
    *short_of_memory = true;
    return false;
  }
  return cStrViewEqual(cStrViewOfStr(&other.upper), cStrViewOfStr(&given.upper)) ||
         cStrViewEqual(cStrViewOfStr(&other.folded), cStrViewOfStr(&given.folded));
}

/// Listed names alike one name, weighed at most: a real folder holds one or two; beyond this the
/// evidence of each would cost a stat and a listing, and the name is not told.
constexpr int64_t kAlikeMax = 16;
/// Rounds of evidence at most: a round whose file or folder changed while it was weighed (a
/// writer, another run) is weighed again.
constexpr int kEvidenceRounds = 4;

/// What a stat tells of a file or folder but for its identity, which such a driver gives per
/// spelling: the same entry, reached by two spellings, gives the same.
bool SameState(const cFileStat_t& a, const cFileStat_t& b) {
  return a.kind == b.kind && a.size == b.size && a.modified_ns == b.modified_ns && a.changed_ns == b.changed_ns &&
         a.born_ns == b.born_ns && a.links == b.links;
}

/// The names a folder lists, whatever their order: their count, and the sum and the xor of
/// their hashes. False (errno set) when the folder cannot be read whole.
struct cListing_t {
  uint64_t count = 0;
  uint64_t sum = 0;
  uint64_t mixed = 0;
  bool operator==(const cListing_t& other) const {
    return count == other.count && sum == other.sum && mixed == other.mixed;
  }
};
bool ListingOf(const char* folder, cListing_t* out) {
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) return false;
  *out = cListing_t{};
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const uint64_t hash = textHash(entry->d_name, std::strlen(entry->d_name));
    ++out->count;
    out->sum += hash;
    out->mixed ^= hash;
  }
  ::closedir(dir);
  errno = error;
  return error == 0;
}

/// Which of `alike` (names listed in `folder`, a path as stored, alike the last name of `given`)
/// is the entry `given` (the path as given, which exists) reaches: its index, or -1 with errno,
/// kFsNameNotTold where the evidence leaves more than one or none.
int64_t ReachedEntry(cStrView_t folder, const char* given, const cVec_t<cStr_t>& alike) {
  cStr_t path{};
  int error = kFsNameNotTold;
  for (int round = 0; round < kEvidenceRounds && error == kFsNameNotTold; ++round) {
    cFileStat_t before{};
    cFileStat_t after{};
    cListing_t given_listing{};
    bool given_listed = false;
    int64_t reached = -1;
    int64_t matching = 0;
    error = nativeFsLinkStat(nullptr, given, &before) ? 0 : errno;
    if (error == 0 && before.kind == kFileKindMissing) error = ENOENT;
    for (int64_t i = 0; error == 0 && i < alike.count; ++i) {
      cFileStat_t stat{};
      cListing_t listing{};
      cStrRelease(&path);
      if (!cStrInit(&path, folder) || (folder.length > 1 && cStrAppend(&path, cStrViewOf("/")) == nullptr) ||
          cStrAppend(&path, cStrViewOfStr(&alike.items[i])) == nullptr) {
        error = ENOMEM;
      } else if (!nativeFsLinkStat(nullptr, cStrData(&path), &stat)) {
        error = errno;
      } else if ((before.device != 0 || before.inode != 0) && stat.device == before.device &&
                 stat.inode == before.inode) {
        // A driver that gives every spelling one identity: the very entry.
        reached = i;
        matching = 1;
        break;
      } else if (SameState(before, stat)) {
        bool same_names = true;
        if (before.kind == kFileKindDirectory) {
          // A folder also by the names it lists (read once for the name given).
          if (!given_listed && !ListingOf(given, &given_listing)) {
            error = errno;
            break;
          }
          given_listed = true;
          if (!ListingOf(cStrData(&path), &listing)) {
            error = errno;
            break;
          }
          same_names = listing == given_listing;
        }
        if (same_names) {
          reached = i;
          ++matching;
        }
      }
    }
    if (error == 0 && !nativeFsLinkStat(nullptr, given, &after)) error = errno;
    if (error != 0) break;
    if (!SameState(before, after) || matching == 0) {
      error = kFsNameNotTold;  // changed while weighed: again
      continue;
    }
    if (matching == 1) {
      cStrRelease(&path);
      return reached;
    }
    break;  // alike in all that is told: another round tells no more
  }
  cStrRelease(&path);
  errno = error != 0 ? error : kFsNameNotTold;
  return -1;
}

/// The name `folder` (a path as stored) lists for the last name of `given` (the resolved path as
/// given, which exists), appended to `out`: itself where listed; else the entry alike it but for
/// case that it reaches (ReachedEntry); else itself (a driver whose listing spells it in a way no
/// case tells). False (errno set) when the folder cannot be read whole, memory is short, or the
/// entry reached cannot be told (kFsNameNotTold).
bool AppendListedSpelling(const char* folder, const char* given, cStrView_t name, cStr_t* out) {
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) return false;
  cFoldedName_t folded;
  cVec_t<cStr_t> alike{};
  bool exact = false;
  bool short_of_memory = !folded.Init(name);
  int error = 0;
  while (!short_of_memory && !exact) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const cStrView_t listed = cStrViewOf(entry->d_name);
    exact = cStrViewEqual(listed, name);
    if (exact || !MayBeAlike(name, folded, listed, &short_of_memory)) continue;
    cStr_t kept{};
    if (alike.count < kAlikeMax + 1 && (!cStrInit(&kept, listed) || vecPush(&alike, kept) == nullptr)) {
      cStrRelease(&kept);
      short_of_memory = true;
    }
  }
  ::closedir(dir);
  if (short_of_memory) error = ENOMEM;
  cStrView_t stored = name;
  if (error == 0 && !exact && alike.count > kAlikeMax) {
    error = kFsNameNotTold;
  } else if (error == 0 && !exact && alike.count > 0) {
    const int64_t reached = ReachedEntry(cStrViewOf(folder), given, alike);
    if (reached >= 0) {
      stored = cStrViewOfStr(&alike.items[reached]);
    } else {
      error = errno;
    }
  }
  if (error == 0 && cStrAppend(out, stored) == nullptr) error = ENOMEM;
  vecRelease(&alike, cStrRelease);
  errno = error;
  return error == 0;
}

/// The stored spellings of folders found so far in this process, by their resolved paths: each
/// costs a listing of every folder above it below the mount, which a run would otherwise repeat
/// for every file (a card's flat folder of thousands of device folders). Each is kept with the
/// identity its stored path had, and taken only while that path still has it: where a driver
/// gives each spelling a node, a folder renamed to another case leaves its old spelling to a new
/// node, and so to a new identity.
struct cStoredFolder_t {
  cStr_t key;  // resolved path
  cStr_t stored;
  uint64_t device;
  uint64_t inode;
};
using cStoredFolders_t = cHashMap_t<cStoredFolder_t, cTextKeyTraits_t<cStoredFolder_t>>;
/// Folders kept at most; a full cache starts afresh, so memory stays bounded on any tree.
constexpr uint32_t kStoredFoldersMax = 4096;
cStoredFolders_t g_stored_folders{};
pthread_mutex_t g_stored_folders_lock = PTHREAD_MUTEX_INITIALIZER;

/// The stored path of a resolved folder path, appended to `out`; false when none is known or the
/// one known no longer names the folder it named.
bool AppendKnownFolder(cStrView_t resolved, cStr_t* out) {
  cStr_t stored{};
  uint64_t device = 0;
  uint64_t inode = 0;
  pthread_mutex_lock(&g_stored_folders_lock);
  const cStoredFolder_t* known = hashMapLookup(&g_stored_folders, resolved);
  bool found = known != nullptr && cStrInit(&stored, cStrViewOfStr(&known->stored));
  if (found) {
    device = known->device;
    inode = known->inode;
  }
  pthread_mutex_unlock(&g_stored_folders_lock);
  cFileStat_t now{};
  found = found && nativeFsLinkStat(nullptr, cStrData(&stored), &now) && now.kind == kFileKindDirectory &&
          now.device == device && now.inode == inode && cStrAppend(out, cStrViewOfStr(&stored)) != nullptr;
  cStrRelease(&stored);
  return found;
}

/// Keeps the stored path of a resolved folder path with its identity now, in place of one kept
/// before; short memory, or a stat that fails, only costs a listing later.
void KeepFolder(cStrView_t resolved, cStrView_t stored) {
  cStr_t path{};
  cFileStat_t stat{};
  const bool told =
      cStrInit(&path, stored) && nativeFsLinkStat(nullptr, cStrData(&path), &stat) && stat.kind == kFileKindDirectory;
  cStrRelease(&path);
  if (!told) return;
  pthread_mutex_lock(&g_stored_folders_lock);
  if (g_stored_folders.size >= kStoredFoldersMax) {
    for (uint32_t i = hashMapNext(&g_stored_folders, 0); i < g_stored_folders.buckets;
         i = hashMapNext(&g_stored_folders, i + 1)) {
      cStrRelease(&g_stored_folders.entries[i].key);
      cStrRelease(&g_stored_folders.entries[i].stored);
    }
    hashMapRelease(&g_stored_folders);
  }
  const cHashInsert_t<cStoredFolder_t> slot = hashMapInsert(&g_stored_folders, resolved);
  if (slot.entry != nullptr) {
    if (!slot.inserted) cStrRelease(&slot.entry->stored);
    if ((slot.inserted && !cStrInit(&slot.entry->key, resolved)) || !cStrInit(&slot.entry->stored, stored)) {
      // The bucket is claimed and cannot be given back; it stays with an empty key.
      cStrRelease(&slot.entry->key);
      cStrRelease(&slot.entry->stored);
    }
    slot.entry->device = stat.device;
    slot.entry->inode = stat.inode;
  }
  pthread_mutex_unlock(&g_stored_folders_lock);
}

/// Where the first name below the mount point of its file system begins in a resolved path
/// (absolute, no links), the path's length where it is the mount point itself; -1 (errno set)
/// when the path cannot be stat'ed. `is_folder` tells whether the path is a folder.
int64_t FirstNameBelowMount(cStrView_t resolved, bool* is_folder) {
  cStr_t whole{};
  struct stat info {};
  if (!cStrInit(&whole, resolved)) {
    errno = ENOMEM;
    return -1;
  }
  const int result = ::lstat(cStrData(&whole), &info);
  ReleaseKeepingErrno(&whole);
  if (result != 0) return -1;
  const dev_t device = info.st_dev;
  *is_folder = S_ISDIR(info.st_mode);
  // Upwards while the folder above is of the same device; each step drops a name, so it ends
  // below "/" at the latest.
  int64_t first = resolved.length;
  bool above_is_other = false;
  for (int64_t slash = resolved.length - 1; slash > 0 && !above_is_other; --slash) {
    if (resolved.data[slash] != '/') continue;
    cStr_t above{};
    if (!cStrInit(&above, {resolved.data, slash})) {
      errno = ENOMEM;
      return -1;
    }
    above_is_other = ::lstat(cStrData(&above), &info) != 0 || info.st_dev != device;
    cStrRelease(&above);
    if (!above_is_other) first = slash + 1;
  }
  if (!above_is_other && ::lstat("/", &info) == 0 && info.st_dev == device) first = 1;  // mounted on "/"
  return first;
}

/// Replaces each name of a resolved path (absolute, no links) that lies below the mount point
/// of its file system by the name its folder lists for it. The mount point keeps its name: the
/// file system above it reaches one node by it whatever the spelling.
bool RespellBelowMount(cStr_t* path) {
  const cStrView_t resolved = cStrViewOfStr(path);
  bool is_folder = false;
  const int64_t first = FirstNameBelowMount(resolved, &is_folder);
  if (first < 0) return false;
  if (first >= resolved.length) return true;  // the mount point itself
  // Folders known already are taken whole: the deepest one that is, then a listing per name.
  int64_t known = resolved.length;
  cStr_t stored{};
  while (known > first &&
         !((known < resolved.length || is_folder) && AppendKnownFolder({resolved.data, known}, &stored))) {
    --known;
    while (known > first && resolved.data[known] != '/') --known;
  }
  bool ok = known > first || cStrInit(&stored, {resolved.data, first});
  for (int64_t at = known > first ? known + 1 : first; ok && at < resolved.length;) {
    int64_t end = at;
    while (end < resolved.length && resolved.data[end] != '/') ++end;
    // The folder listed is the stored part so far, without its trailing '/' (but "/"); the
    // entry is weighed against the path as given up to this name.
    cStr_t folder{};
    cStr_t given{};
    if (cStrData(&stored)[cStrLength(&stored) - 1] != '/') ok = cStrAppend(&stored, cStrViewOf("/")) != nullptr;
    const int64_t folder_length = cStrLength(&stored) > 1 ? cStrLength(&stored) - 1 : cStrLength(&stored);
    ok = ok && cStrInit(&folder, {cStrData(&stored), folder_length}) && cStrInit(&given, {resolved.data, end});
    if (!ok) errno = ENOMEM;
    ok = ok && AppendListedSpelling(cStrData(&folder), cStrData(&given), {resolved.data + at, end - at}, &stored);
    ReleaseKeepingErrno(&folder);
    ReleaseKeepingErrno(&given);
    if (ok && (end < resolved.length || is_folder)) KeepFolder({resolved.data, end}, cStrViewOfStr(&stored));
    at = end + 1;
  }
  if (!ok) {
    ReleaseKeepingErrno(&stored);
    return false;
  }
  cStrRelease(path);
  *path = stored;
  return true;
}

/// realpath(3) of the longest part of the path (no trailing '/') that exists, in `resolved`
/// (free()d by the caller); `rest` gets where the names not made yet begin. False (errno set)
/// where even the first part cannot be resolved.
bool ResolveExisting(cStrView_t path, char** resolved, int64_t* rest) {
  // Each round drops a name, so it ends at "/" (or the current folder) at the latest.
  *rest = path.length;
  for (;;) {
    cStr_t head{};
    const cStrView_t part = *rest > 0 ? cStrView_t{path.data, *rest} : cStrViewOf(path.data[0] == '/' ? "/" : ".");
    if (!cStrInit(&head, part)) {
      errno = ENOMEM;
      return false;
    }
    *resolved = ::realpath(cStrData(&head), nullptr);
    const int error = errno;
    cStrRelease(&head);
    if (*resolved != nullptr) return true;
    if ((error != ENOENT && error != ENOTDIR) || *rest == 0) {
      errno = error;
      return false;
    }
    --*rest;
    while (*rest > 0 && path.data[*rest] != '/') --*rest;
  }
}

/// The path without its trailing '/' (but "/"); ENOENT for an empty one.
bool Trimmed(const char* full_path, cStrView_t* path) {
  *path = cStrViewOf(full_path);
  while (path->length > 1 && path->data[path->length - 1] == '/') --path->length;
  if (path->length > 0) return true;
  errno = ENOENT;
  return false;
}

}  // namespace

bool nativeFsStoredPath(cFileSystem_t*, const char* full_path, cStr_t* out) {
  cStrView_t path{};
  char* resolved = nullptr;
  int64_t rest = 0;
  if (!Trimmed(full_path, &path) || !ResolveExisting(path, &resolved, &rest)) return false;
  cStr_t stored{};
  int error = cStrInit(&stored, cStrViewOf(resolved)) ? 0 : ENOMEM;
  struct statfs kind {};
  if (error == 0 && ::statfs(resolved, &kind) == 0 && static_cast<int64_t>(kind.f_type) == kFsTypeFuse &&
      !RespellBelowMount(&stored)) {
    error = errno != 0 ? errno : ENOMEM;
  }
  std::free(resolved);
  if (error == 0 && rest < path.length) {
    cStrView_t tail{path.data + rest, path.length - rest};
    if (tail.data[0] == '/') tail = {tail.data + 1, tail.length - 1};
    if ((cStrLength(&stored) > 1 && cStrAppend(&stored, cStrViewOf("/")) == nullptr) ||
        cStrAppend(&stored, tail) == nullptr) {
      error = ENOMEM;
    }
  }
  if (error != 0) {
    cStrRelease(&stored);
    errno = error;
    return false;
  }
  cStrRelease(out);
  *out = stored;
  return true;
}

bool nativeFsMountRoot(const char* full_path, cStr_t* out) {
  cStrView_t path{};
  char* resolved = nullptr;
  int64_t rest = 0;
  if (!Trimmed(full_path, &path) || !ResolveExisting(path, &resolved, &rest)) return false;
  const cStrView_t whole = cStrViewOf(resolved);
  bool is_folder = false;
  const int64_t first = FirstNameBelowMount(whole, &is_folder);
  const int error = errno;
  bool ok = first >= 0;
  if (ok) {
    // The mount point: up to the '/' before the first name below it ("/" for a root mount).
    const int64_t length = first >= whole.length ? whole.length : (first > 1 ? first - 1 : 1);
    cStrRelease(out);
    ok = cStrInit(out, {whole.data, length});
    if (!ok) errno = ENOMEM;
  } else {
    errno = error;
  }
  std::free(resolved);
  return ok;
}
