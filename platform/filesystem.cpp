#include "platform/filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

void BaseDestroy(cFileSystem_t*) {}
bool BaseStat(cFileSystem_t*, const char*, cFileStat_t*) { return false; }
bool BaseList(cFileSystem_t*, const char*, cFsEntryMap_t*) { return false; }
bool BaseMkdir(cFileSystem_t*, const char*) { return false; }

constexpr cFileSystemOps_t kBaseOps = {BaseDestroy, BaseStat, BaseList, BaseMkdir, nullptr, nullptr, nullptr,
                                       nullptr,     nullptr,  nullptr,  nullptr,   nullptr, nullptr};
constexpr cFileSystemOps_t kNativeOps = {
    BaseDestroy,        nativeFsStat,   nativeFsList,      nativeFsMkdir,           nativeFsRemove,
    nativeFsOpen,       nativeFsRename, nativeFsSyncDir,   nativeFsRenameNoReplace, nativeFsLinkStat,
    nativeFsStreamStat, nativeFsInUse,  nativeFsStoredPath};

bool EndsWithSlash(cStrView_t text) { return text.length > 0 && text.data[text.length - 1] == '/'; }

// The full path of a relative one, in `out` (released by the caller).
bool FullPath(const cFileSystem_t* fs, cStrView_t path, cStr_t* out) {
  *out = cStr_t{};
  if (fsFullPath(fs, path, out)) return true;
  cStrRelease(out);
  return false;
}

// Releases a full path without touching errno, which tells the caller why the slot failed.
void ReleaseKeepingErrno(cStr_t* full) {
  const int error = errno;
  cStrRelease(full);
  errno = error;
}

// Calls a rename slot with the full paths of both names.
bool RenameWith(cFileSystem_t* fs, bool (*slot)(cFileSystem_t*, const char*, const char*), cStrView_t from,
                cStrView_t to) {
  if (slot == nullptr) {
    errno = ENOSYS;
    return false;
  }
  cStr_t full_from;
  cStr_t full_to;
  if (!FullPath(fs, from, &full_from)) return false;
  if (!FullPath(fs, to, &full_to)) {
    cStrRelease(&full_from);
    return false;
  }
  const bool result = slot(fs, cStrData(&full_from), cStrData(&full_to));
  ReleaseKeepingErrno(&full_from);
  ReleaseKeepingErrno(&full_to);
  return result;
}

cFileStat_t StatOf(const struct stat& info) {
  cFileStat_t out{kFileKindOther, 0};
  if (S_ISREG(info.st_mode)) {
    out.kind = kFileKindRegular;
    out.size = static_cast<int64_t>(info.st_size);
  } else if (S_ISDIR(info.st_mode)) {
    out.kind = kFileKindDirectory;
  }
  out.device = static_cast<uint64_t>(info.st_dev);
  out.inode = static_cast<uint64_t>(info.st_ino);
  out.modified_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  out.links = static_cast<uint64_t>(info.st_nlink);
  out.changed_ns = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return out;
}

cFileStat_t StatOf(const struct statx& info) {
  struct stat plain {};
  plain.st_mode = info.stx_mode;
  plain.st_size = static_cast<off_t>(info.stx_size);
  plain.st_dev = makedev(info.stx_dev_major, info.stx_dev_minor);
  plain.st_ino = static_cast<ino_t>(info.stx_ino);
  plain.st_mtim = {static_cast<time_t>(info.stx_mtime.tv_sec), static_cast<long>(info.stx_mtime.tv_nsec)};
  plain.st_ctim = {static_cast<time_t>(info.stx_ctime.tv_sec), static_cast<long>(info.stx_ctime.tv_nsec)};
  plain.st_nlink = static_cast<nlink_t>(info.stx_nlink);
  cFileStat_t out = StatOf(plain);
  if ((info.stx_mask & STATX_BTIME) != 0) {
    out.born_ns = static_cast<int64_t>(info.stx_btime.tv_sec) * 1000000000 + info.stx_btime.tv_nsec;
  }
  return out;
}

// statx(2) of what `flags` name (fstatat's flags, with AT_STATX_... sync flags), into `out`,
// and the mode into `mode` when given; fstatat(2) where statx is missing (no birth time). 0,
// or -1 with errno.
int StatxOf(int descriptor, const char* path, int flags, cFileStat_t* out, unsigned* mode = nullptr) {
  struct statx info {};
  constexpr unsigned kWanted =
      STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_BTIME;
  if (::statx(descriptor, path, flags, kWanted, &info) == 0) {
    *out = StatOf(info);
    if (mode != nullptr) *mode = info.stx_mode;
    return 0;
  }
  if (errno != ENOSYS) return -1;
  struct stat plain {};
  const int result = ::fstatat(descriptor, path, &plain, flags & (AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH));
  if (result == 0) {
    *out = StatOf(plain);
    if (mode != nullptr) *mode = plain.st_mode;
  }
  return result;
}

// fstatat(2) (`flags` 0, AT_SYMLINK_NOFOLLOW, or AT_EMPTY_PATH with a file's own descriptor)
// as the file system holds it now: FUSE and network file systems otherwise answer from a cache
// for a while (bindfs a second, NFS several), where a writer behind the mount or on another
// host changed nothing yet. The change checks of a file being removed rest on it. 0, or -1
// with errno.
int FreshStat(int descriptor, const char* path, int flags, cFileStat_t* out) {
  return StatxOf(descriptor, path, flags | AT_STATX_FORCE_SYNC, out);
}

// The root-prefix step: a kind that lists full names has them made relative.
void StripRootPrefix(const cFileSystem_t* fs, cFsEntryMap_t* map) {
  const cStrView_t root = cStrViewOfStr(&fs->root);
  for (uint32_t i = 1; i < map->used; ++i) {
    cFsEntryNode_t& node = map->nodes[i];
    if (node.level == 0) continue;
    const cStrView_t name = cStrViewOfStr(&node.name);
    if (name.length < root.length || std::memcmp(name.data, root.data, static_cast<size_t>(root.length)) != 0) {
      continue;
    }
    int64_t skip = root.length;
    if (skip < name.length && name.data[skip] == '/') ++skip;
    cStr_t rest{};
    if (!cStrInit(&rest, {name.data + skip, name.length - skip})) continue;
    cStrRelease(&node.name);
    node.name = rest;
  }
}

// Puts the disposition of the lease-break signal back once no lease is held. One that came
// while it was blocked may still wait: ignoring it first discards it, so that it never reaches
// the old disposition (the default ends the process).
void RestoreBreakSignal(const struct sigaction& previous) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGIO, &ignore, nullptr);
  ::sigaction(SIGIO, &previous, nullptr);
}

/// How long a rename waits for the lock of its folder. Others hold it only for a check and a
/// rename; one that holds it longer (stopped, or on a stalled device) fails the rename instead
/// of stalling the run, whose ending signals may be held back meanwhile.
constexpr int64_t kFolderLockWaitNs = 10 * 1000000000LL;
/// The pause between two tries of a lock that is taken: a few of the others' renames.
constexpr long kFolderLockPauseNs = 1000000;

int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

/// The folder that holds the name (up to its last '/', "." without one), in `folder`; false when
/// memory is short.
bool FolderOf(const char* full_path, cStr_t* folder) {
  const char* slash = std::strrchr(full_path, '/');
  const bool ok =
      slash == nullptr ? cStrInit(folder, cStrViewOf(".")) : cStrInit(folder, {full_path, slash - full_path + 1});
  if (!ok) errno = ENOMEM;
  return ok;
}

/// Takes the exclusive lock of the folder, waiting while another holds it, at most
/// kFolderLockWaitNs (then false with EWOULDBLOCK); false with errno where no lock can be had.
/// Without blocking in the kernel: a blocked wait would not end for the ending signals the
/// caller holds back.
bool LockFolder(int folder) {
  const int64_t deadline = MonotonicNs() + kFolderLockWaitNs;
  for (;;) {
    if (::flock(folder, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (MonotonicNs() > deadline) {
      errno = EWOULDBLOCK;
      return false;
    }
    const timespec pause{0, kFolderLockPauseNs};
    ::nanosleep(&pause, nullptr);
  }
}

}  // namespace

bool fsInit(cFileSystem_t* fs, cStrView_t root) {
  if (fs == nullptr) return false;
  fs->ops = &kBaseOps;
  fs->root = cStr_t{};
  if (root.data == nullptr || !EndsWithSlash(root)) return false;
  return cStrInit(&fs->root, root);
}

void fsDestroy(cFileSystem_t* fs) {
  if (fs == nullptr) return;
  if (fs->ops != nullptr && fs->ops->destroy != nullptr) fs->ops->destroy(fs);
  cStrRelease(&fs->root);
}

void fsFree(cFileSystem_t* fs) {
  fsDestroy(fs);
  std::free(fs);
}

bool fsFullPath(const cFileSystem_t* fs, cStrView_t path, cStr_t* out) {
  if (path.length == 2 && path.data[0] == '.' && path.data[1] == '.') return true;
  return cStrAppend(out, cStrViewOfStr(&fs->root)) != nullptr && cStrAppend(out, path) != nullptr;
}

bool fsStat(cFileSystem_t* fs, cStrView_t path, cFileStat_t* out) {
  if (fs == nullptr || out == nullptr || fs->ops->stat == nullptr) return false;
  cStr_t full;
  if (!FullPath(fs, path, &full)) return false;
  const bool result = fs->ops->stat(fs, cStrData(&full), out);
  ReleaseKeepingErrno(&full);
  return result;
}

bool fsList(cFileSystem_t* fs, cStrView_t path, cFsEntryMap_t* map) {
  if (fs == nullptr || map == nullptr || fs->ops->list == nullptr) return false;
  cStr_t full;
  if (!FullPath(fs, path, &full)) return false;
  const bool result = fs->ops->list(fs, cStrData(&full), map);
  cStrRelease(&full);
  StripRootPrefix(fs, map);
  return result;
}

bool fsEnsureDir(cFileSystem_t* fs, cStrView_t path) {
  cFileStat_t stat{};
  if (!fsStat(fs, path, &stat)) return false;
  if (stat.kind == kFileKindDirectory) return true;
  if (stat.kind != kFileKindMissing) {
    errno = ENOTDIR;
    return false;
  }
  if (fs->ops->make_directory == nullptr) {
    errno = ENOSYS;
    return false;
  }
  cStr_t full;
  if (!FullPath(fs, path, &full)) return false;
  if (fs->ops->make_directory(fs, cStrData(&full))) {
    cStrRelease(&full);
    return true;
  }
  const int error = errno;
  cStrRelease(&full);
  // Another run over the same tree may have made it since the stat.
  if (fsStat(fs, path, &stat) && stat.kind == kFileKindDirectory) return true;
  errno = error;
  return false;
}

bool fsMakeDirs(cFileSystem_t* fs, cStrView_t path) {
  if (fs == nullptr) return false;
  // The prefix grows piece by piece ("a", then "a/b"); empty pieces (runs of '/') are skipped.
  cStr_t prefix{};
  bool result = true;
  int64_t at = 0;
  while (result && at < path.length) {
    int64_t end = at;
    while (end < path.length && path.data[end] != '/') ++end;
    if (end > at) {
      result = (cStrLength(&prefix) == 0 || cStrAppend(&prefix, {"/", 1}) != nullptr) &&
               cStrAppend(&prefix, {path.data + at, end - at}) != nullptr && fsEnsureDir(fs, cStrViewOfStr(&prefix));
    }
    at = end + 1;
  }
  ReleaseKeepingErrno(&prefix);
  return result;
}

bool fsRemove(cFileSystem_t* fs, cStrView_t path) {
  if (fs == nullptr || fs->ops->remove == nullptr) return false;
  cStr_t full;
  if (!FullPath(fs, path, &full)) return false;
  const bool result = fs->ops->remove(fs, cStrData(&full));
  ReleaseKeepingErrno(&full);
  return result;
}

cStream_t* fsOpen(cFileSystem_t* fs, cStrView_t path, int flags) {
  if (fs == nullptr || fs->ops->open == nullptr) return nullptr;
  cStr_t full;
  if (!FullPath(fs, path, &full)) return nullptr;
  cStream_t* stream = fs->ops->open(fs, cStrData(&full), flags);
  ReleaseKeepingErrno(&full);
  return stream;
}

bool fsRename(cFileSystem_t* fs, cStrView_t from, cStrView_t to) {
  return fs != nullptr && RenameWith(fs, fs->ops->rename, from, to);
}

bool fsRenameNoReplace(cFileSystem_t* fs, cStrView_t from, cStrView_t to) {
  return fs != nullptr && RenameWith(fs, fs->ops->rename_no_replace, from, to);
}

bool fsLinkStat(cFileSystem_t* fs, cStrView_t path, cFileStat_t* out) {
  if (fs == nullptr || out == nullptr || fs->ops->link_stat == nullptr) return false;
  cStr_t full;
  if (!FullPath(fs, path, &full)) return false;
  const bool result = fs->ops->link_stat(fs, cStrData(&full), out);
  ReleaseKeepingErrno(&full);
  return result;
}

bool fsStreamStat(cFileSystem_t* fs, cStream_t* stream, cFileStat_t* out) {
  if (fs == nullptr || stream == nullptr || out == nullptr || fs->ops->stream_stat == nullptr) return false;
  return fs->ops->stream_stat(fs, stream, out);
}

int fsInUse(cFileSystem_t* fs, cStrView_t path, cFileStat_t* held, cFsLease_t* lease) {
  if (fs == nullptr || held == nullptr || fs->ops->in_use == nullptr) return kFsUseUnknown;
  cStr_t full;
  if (!FullPath(fs, path, &full)) return kFsUseUnknown;
  const int result = fs->ops->in_use(fs, cStrData(&full), held, lease);
  cStrRelease(&full);
  return result;
}

bool fsLeaseBroken(const cFsLease_t* lease) {
  // While a writer's open waits for the break, the lease reads as what it is to become.
  return lease != nullptr && lease->descriptor >= 0 && ::fcntl(lease->descriptor, F_GETLEASE) != F_RDLCK;
}

void fsLeaseRelease(cFsLease_t* lease) {
  if (lease == nullptr || lease->descriptor < 0) return;
  const int error = errno;
  ::fcntl(lease->descriptor, F_SETLEASE, F_UNLCK);
  ::close(lease->descriptor);
  lease->descriptor = -1;
  if (lease->signal_saved) RestoreBreakSignal(lease->previous);
  lease->signal_saved = false;
  errno = error;
}

bool fsSyncDir(cFileSystem_t* fs, cStrView_t path) {
  if (fs == nullptr || fs->ops->sync_directory == nullptr) return false;
  cStr_t full;
  if (!FullPath(fs, path, &full)) return false;
  const bool result = fs->ops->sync_directory(fs, cStrData(&full));
  ReleaseKeepingErrno(&full);
  return result;
}

bool fsStoredPath(cFileSystem_t* fs, cStrView_t path, cStr_t* out) {
  if (fs == nullptr || out == nullptr) return false;
  cStr_t full;
  if (!FullPath(fs, path, &full)) {
    errno = ENOMEM;
    return false;
  }
  if (fs->ops->stored_path == nullptr) {
    cStrRelease(out);
    *out = full;
    return true;
  }
  const bool result = fs->ops->stored_path(fs, cStrData(&full), out);
  ReleaseKeepingErrno(&full);
  return result;
}

bool fsStoredStat(cFileSystem_t* fs, cStrView_t path, cFileStat_t* out) {
  if (fs == nullptr || out == nullptr || fs->ops->stat == nullptr) return false;
  cStr_t stored{};
  const bool result = fsStoredPath(fs, path, &stored) && fs->ops->stat(fs, cStrData(&stored), out);
  ReleaseKeepingErrno(&stored);
  return result;
}

bool fsStoredChain(cFileSystem_t* fs, cStrView_t path, cVec_t<cFileStat_t>* chain) {
  if (fs == nullptr || chain == nullptr || fs->ops->stat == nullptr) return false;
  cStr_t stored{};
  bool ok = fsStoredPath(fs, path, &stored);
  // Each round drops a name, so it ends after "/".
  for (int64_t length = cStrLength(&stored); ok && length > 0;) {
    cStrResize(&stored, length, '\0');
    cFileStat_t stat{};
    ok = fs->ops->stat(fs, cStrData(&stored), &stat);
    if (ok && stat.kind != kFileKindMissing) ok = vecPush(chain, stat) != nullptr;
    const char* data = cStrData(&stored);
    if (length == 1) break;
    --length;
    while (length > 1 && data[length - 1] != '/') --length;
    if (length > 1) --length;  // without its '/'
  }
  ReleaseKeepingErrno(&stored);
  return ok;
}

cFileSystem_t* nativeFsNew(cStrView_t root) {
  auto* fs = static_cast<cFileSystem_t*>(std::calloc(1, sizeof(cFileSystem_t)));
  if (fs == nullptr) return nullptr;
  if (!fsInit(fs, root)) {
    fsFree(fs);
    return nullptr;
  }
  fs->ops = &kNativeOps;
  cFileStat_t stat{};
  if (!fsStat(fs, {"", 0}, &stat) || stat.kind != kFileKindDirectory) {
    fsFree(fs);
    return nullptr;
  }
  return fs;
}

bool nativeFsStat(cFileSystem_t*, const char* full_path, cFileStat_t* out) {
  // "file/" names the file: Linux would fail it with ENOTDIR, so the trailing '/' goes.
  cStrView_t path = cStrViewOf(full_path);
  while (path.length > 1 && path.data[path.length - 1] == '/') --path.length;
  cStr_t stripped{};
  if (path.data[path.length] != '\0' && !cStrInit(&stripped, path)) return false;
  cFileStat_t found{};
  const int result = FreshStat(AT_FDCWD, cStrLength(&stripped) > 0 ? cStrData(&stripped) : full_path, 0, &found);
  const int error = errno;
  cStrRelease(&stripped);
  if (result == 0) {
    *out = found;
    return true;
  }
  if (error == ENOENT) {
    *out = {kFileKindMissing, 0};
    return true;
  }
  errno = error;
  return false;
}

bool nativeFsList(cFileSystem_t*, const char* full_path, cFsEntryMap_t* map) {
  DIR* dir = opendir(full_path);
  if (dir == nullptr) return false;
  const int dir_fd = dirfd(dir);
  bool complete = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      complete = complete && errno == 0;
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    // statx as the other stats, so that a file listed and a file stat'ed by name give one
    // birth time; from the cache, as fstatat would be.
    cFileStat_t stat{};
    unsigned mode = 0;
    if (StatxOf(dir_fd, name, AT_SYMLINK_NOFOLLOW, &stat, &mode) != 0) {
      if (errno == ENOENT) continue;  // gone since readdir
      complete = false;
      break;
    }
    if (S_ISLNK(mode)) {
      if (StatxOf(dir_fd, name, 0, &stat, &mode) != 0) {
        // A link that leads nowhere or loops is no recording; one whose target cannot be
        // reached for another reason may be one.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) continue;
        complete = false;
        break;
      }
      if (!S_ISREG(mode)) continue;
    }
    if (stat.kind != kFileKindRegular && stat.kind != kFileKindDirectory) continue;
    if (!entryMapInsert(map, cStrViewOf(name), stat)) complete = false;
  }
  closedir(dir);
  return complete;
}

bool nativeFsMkdir(cFileSystem_t*, const char* full_path) { return ::mkdir(full_path, 0777) == 0; }

bool nativeFsRemove(cFileSystem_t*, const char* full_path) { return ::unlink(full_path) == 0; }

cStream_t* nativeFsOpen(cFileSystem_t*, const char* full_path, int flags) {
  const bool read = (flags & kFsOpenRead) != 0;
  const bool write = (flags & kFsOpenWrite) != 0;
  if ((flags & kFsOpenNew) != 0) return write && !read ? fileStreamOpen(full_path, kFileStreamCreateNew) : nullptr;
  if (read && write) return fileStreamOpen(full_path, kFileStreamReadWrite);
  if (read) return fileStreamOpen(full_path, kFileStreamRead);
  if (write) return fileStreamOpen(full_path, kFileStreamWrite);
  return nullptr;
}

bool nativeFsRename(cFileSystem_t*, const char* full_from, const char* full_to) {
  return ::rename(full_from, full_to) == 0;
}

bool nativeFsRenameNoReplace(cFileSystem_t* fs, const char* full_from, const char* full_to) {
  if (::renameat2(AT_FDCWD, full_from, AT_FDCWD, full_to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  if (::link(full_from, full_to) == 0) {
    if (::unlink(full_from) == 0) return true;
    // Both names would stay: the new one goes again, so the file keeps its old name alone.
    const int error = errno;
    ::unlink(full_to);
    errno = error;
    return false;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EMLINK) return false;
  return nativeFsRenameLocked(fs, full_from, full_to);
}

bool nativeFsRenameLocked(cFileSystem_t* fs, const char* full_from, const char* full_to) {
  if (fs == nullptr || fs->ops->link_stat == nullptr || fs->ops->rename == nullptr) {
    errno = ENOSYS;
    return false;
  }
  cStr_t folder{};
  cStr_t root{};
  const bool ok = FolderOf(full_to, &folder) && nativeFsMountRoot(cStrData(&folder), &root);
  const int root_fd = ok ? ::open(cStrData(&root), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  // Every run that takes this path checks and renames only while it holds the lock, so none
  // can put a file under the name between another's check and its rename.
  bool renamed = false;
  cFileStat_t at{};
  if (root_fd >= 0 && LockFolder(root_fd) && fs->ops->link_stat(fs, full_to, &at)) {
    if (at.kind == kFileKindMissing) {
      renamed = fs->ops->rename(fs, full_from, full_to);
    } else {
      errno = EEXIST;
    }
  }
  const int error = errno;
  if (root_fd >= 0) ::close(root_fd);  // lets the lock go
  cStrRelease(&folder);
  cStrRelease(&root);
  errno = error;
  return renamed;
}

bool nativeFsSyncDir(cFileSystem_t*, const char* full_path) {
  const int fd = ::open(full_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

bool nativeFsLinkStat(cFileSystem_t*, const char* full_path, cFileStat_t* out) {
  if (FreshStat(AT_FDCWD, full_path, AT_SYMLINK_NOFOLLOW, out) == 0) return true;
  if (errno != ENOENT) return false;
  *out = {kFileKindMissing, 0};
  return true;
}

bool nativeFsStreamStat(cFileSystem_t*, cStream_t* stream, cFileStat_t* out) {
  const int fd = fileStreamDescriptor(stream);
  return fd >= 0 && StatxOf(fd, "", AT_EMPTY_PATH, out) == 0;
}

bool nativeFsLeaseSeesEveryWriter(int64_t fs_type) {
  // statfs f_type values (linux/magic.h and the file systems' own headers).
  constexpr int64_t kNfs = 0x6969;
  constexpr int64_t kSmb = 0x517B;
  constexpr int64_t kCifs = 0xFF534D42;
  constexpr int64_t kSmb2 = 0xFE534D42;
  constexpr int64_t kCeph = 0x00C36400;
  constexpr int64_t kV9fs = 0x01021997;
  constexpr int64_t kAfs = 0x5346414F;
  constexpr int64_t kKafs = 0x6B414653;
  constexpr int64_t kCoda = 0x73757245;
  constexpr int64_t kNcp = 0x564C;
  constexpr int64_t kOcfs2 = 0x7461636F;
  constexpr int64_t kGfs2 = 0x01161970;
  constexpr int64_t kLustre = 0x0BD00BD0;
  constexpr int64_t kGpfs = 0x47504653;
  constexpr int64_t kOrangeFs = 0x20030528;
  for (const int64_t shared : {kFsTypeFuse, kNfs, kSmb, kCifs, kSmb2, kCeph, kV9fs, kAfs, kKafs, kCoda, kNcp, kOcfs2,
                               kGfs2, kLustre, kGpfs, kOrangeFs}) {
    if (fs_type == shared) return false;
  }
  return true;
}

int nativeFsInUse(cFileSystem_t*, const char* full_path, cFileStat_t* held, cFsLease_t* lease) {
  // Without blocking: a FIFO put in the file's place, or another process's lease, would hold
  // the open up.
  const int fd = ::open(full_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EWOULDBLOCK ? kFsInUse : kFsUseUnknown;
  int result = kFsUseUnknown;
  cFileStat_t found{};
  struct statfs kind {};
  if (FreshStat(fd, "", AT_EMPTY_PATH, &found) == 0 && found.kind == kFileKindRegular && ::fstatfs(fd, &kind) == 0) {
    *held = found;
    // Another process opening the file for writing while the lease is held breaks it, and
    // the break comes as SIGIO, whose default action would end this process.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    const bool ignored = ::sigaction(SIGIO, &ignore, &previous) == 0;
    // A read lease, not a write lease: only a writer's later bytes would be lost with the
    // name, and a read lease is refused exactly while a descriptor is open for writing. A
    // write lease is refused for readers too (a backup, an indexer, another run converting
    // the file), which would keep such a file with a false reason. Held, it makes a writer's
    // open wait for its break: its holder gives it up as soon as it sees one.
    if (ignored && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
      if (!nativeFsLeaseSeesEveryWriter(static_cast<int64_t>(kind.f_type))) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
      } else if (lease != nullptr && lease->descriptor < 0) {
        lease->descriptor = fd;
        lease->signal_saved = true;
        lease->previous = previous;
        return kFsNotInUse;
      } else {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        result = kFsNotInUse;
      }
    } else if (ignored && (errno == EAGAIN || errno == EBUSY)) {
      result = kFsInUse;
    }
    ::close(fd);
    if (ignored) RestoreBreakSignal(previous);
    return result;
  }
  ::close(fd);
  return result;
}
