#pragma once
// cFileSystem_t: a root directory (always ending in '/') and a table of operations on full
// paths (root + a relative path). The generic fs... functions build the full path and call
// the slot; they give false or null for a null object or an empty slot, and log nothing.
// The native kind maps the slots onto POSIX: stat(2), opendir/readdir, mkdir(2), unlink(2),
// the file streams, rename(2), fsync(2) of a directory, renameat2(2) (or a rename under a lock
// of the mount's root folder), lstat(2) and fstat(2); its stored paths live in stored_path.cpp.
// When a native slot fails, errno tells why (the generic functions keep it). A kind that
// cannot tell a file's identity leaves the last two slots empty.
#include <cerrno>
#include <csignal>
#include <cstdint>

#include "platform/cstr.h"
#include "platform/entry_map.h"
#include "platform/stream.h"
#include "platform/vector.h"

struct cFileSystem_t;

/// A read lease that fsInUse keeps on the file it probed, so that a writer who opens the file
/// afterwards is still seen (fsLeaseBroken) until fsLeaseRelease. While one is held, the
/// signal that reports its break (SIGIO, whose default action ends the process) is ignored.
struct cFsLease_t {
  int descriptor = -1;  // -1: none held
  bool signal_saved = false;
  struct sigaction previous {};
};

struct cFileSystemOps_t {
  void (*destroy)(cFileSystem_t* fs);
  bool (*stat)(cFileSystem_t* fs, const char* full_path, cFileStat_t* out);
  /// Adds the directory's entries to the map; false when it could not be read whole.
  bool (*list)(cFileSystem_t* fs, const char* full_path, cFsEntryMap_t* map);
  bool (*make_directory)(cFileSystem_t* fs, const char* full_path);
  bool (*remove)(cFileSystem_t* fs, const char* full_path);
  cStream_t* (*open)(cFileSystem_t* fs, const char* full_path, int flags);
  /// Gives a file a new name in one step, replacing a file of that name.
  bool (*rename)(cFileSystem_t* fs, const char* full_from, const char* full_to);
  /// Makes the directory's entries (names made, changed or removed) durable.
  bool (*sync_directory)(cFileSystem_t* fs, const char* full_path);
  /// Gives a file a new name in one step only where that name is free (EEXIST otherwise).
  bool (*rename_no_replace)(cFileSystem_t* fs, const char* full_from, const char* full_to);
  /// Like stat, but a link is not followed: what the name itself is.
  bool (*link_stat)(cFileSystem_t* fs, const char* full_path, cFileStat_t* out);
  /// The file an open stream of this kind (fsOpen) is on, by identity and with its link count.
  bool (*stream_stat)(cFileSystem_t* fs, cStream_t* stream, cFileStat_t* out);
  /// Whether a descriptor holds the file open for writing: kFsInUse, kFsNotInUse or
  /// kFsUseUnknown; `held` gets the stat of the file probed where it could be opened. With a
  /// lease record, kFsNotInUse keeps the lease in it (fsLeaseRelease ends it).
  int (*in_use)(cFileSystem_t* fs, const char* full_path, cFileStat_t* held, cFsLease_t* lease);
  /// The full path as the file system stores it (`out` replaced), so that every spelling of one
  /// file or folder gives one path; false with errno where it cannot be told.
  bool (*stored_path)(cFileSystem_t* fs, const char* full_path, cStr_t* out);
};

struct cFileSystem_t {
  const cFileSystemOps_t* ops;
  cStr_t root;
};

/// statfs f_type of FUSE (linux/magic.h), block-device mounts (fuseblk) included.
constexpr int64_t kFsTypeFuse = 0x65735546;
/// errno of a stored path that cannot be told: the name given reaches one of several entries
/// listed alike but for case, and nothing the file system tells says which.
constexpr int kFsNameNotTold = ENOTUNIQ;

// Open flags; further bits are ignored. Inputs are opened with 5, outputs with 14.
constexpr int kFsOpenRead = 1;
constexpr int kFsOpenWrite = 2;
/// With write alone: the open makes a new file and fails (EEXIST) when the name exists, even
/// as a link, so nothing another process put there is written or truncated. With read: no
/// stream.
constexpr int kFsOpenNew = 8;

// What fsInUse found out about a file.
constexpr int kFsUseUnknown = -1;  // the probe cannot be made here, or the file cannot be opened
constexpr int kFsNotInUse = 0;     // no descriptor holds it open for writing
constexpr int kFsInUse = 1;        // a descriptor (of this or another process) holds it open for writing

/// Copies the root and installs the base table (stat and make-directory fail, list and
/// destroy do nothing, no remove, open, rename or directory sync). False for a null object, an empty root, a root
/// without its trailing '/', or when memory is short. `fs->root` is overwritten.
bool fsInit(cFileSystem_t* fs, cStrView_t root);
/// Destroys the kind's state and frees the root and the record (from nativeFsNew).
void fsFree(cFileSystem_t* fs);
/// fsFree without freeing the record, for a file system that is not on the heap.
void fsDestroy(cFileSystem_t* fs);
/// Appends root + path to `out`; a path of exactly ".." appends nothing. False when memory
/// is short.
bool fsFullPath(const cFileSystem_t* fs, cStrView_t path, cStr_t* out);
/// True when the kind could be determined (a missing path is kind 3, not a failure).
bool fsStat(cFileSystem_t* fs, cStrView_t path, cFileStat_t* out);
/// Adds the entries of a directory to the map, names relative to the directory (a name that
/// begins with the root loses it and one leading '/'). False when the directory could not be
/// read whole, so a walk can tell an unreadable folder from an empty one.
bool fsList(cFileSystem_t* fs, cStrView_t path, cFsEntryMap_t* map);
/// True when the path is a directory or was missing and has been made (also when another
/// process made it meanwhile). False with errno telling why: ENOTDIR where something else
/// has the name, else that of the failed stat or mkdir.
bool fsEnsureDir(cFileSystem_t* fs, cStrView_t path);
/// Makes every directory along a relative path ("a//b/" makes a, then a/b); stops at the
/// first failure with false, errno as fsEnsureDir leaves it. An empty path is true.
bool fsMakeDirs(cFileSystem_t* fs, cStrView_t path);
bool fsRemove(cFileSystem_t* fs, cStrView_t path);
/// A stream on the file (kFsOpen... flags), or null.
cStream_t* fsOpen(cFileSystem_t* fs, cStrView_t path, int flags);
/// Renames `from` to `to` (both relative to the root), atomically replacing a file named
/// `to`: a reader of `to` sees the old file or the new one, never a part. False for a null
/// object or an empty slot.
bool fsRename(cFileSystem_t* fs, cStrView_t from, cStrView_t to);
/// Renames `from` to `to` (both relative to the root) only where no file is named `to`:
/// false with EEXIST when one is, so that a name another process took is never replaced.
/// False for a null object, and with ENOSYS for an empty slot.
bool fsRenameNoReplace(cFileSystem_t* fs, cStrView_t from, cStrView_t to);
/// Whether a descriptor holds the file open for writing, as a writer still at work does
/// (readers, another run converting it among them, do not count): kFsInUse, kFsNotInUse, or
/// kFsUseUnknown for a null object, an empty slot, a file that cannot be opened and a kind
/// that cannot tell. `held` gets the stat of the very file probed (through its descriptor)
/// where it could be opened; otherwise it is left alone. Given a lease record (none held),
/// kFsNotInUse leaves the probe's lease held in it, so that a writer who comes later is seen.
int fsInUse(cFileSystem_t* fs, cStrView_t path, cFileStat_t* held, cFsLease_t* lease = nullptr);
/// Whether the lease is held no longer: a writer opened the file since it was taken (the lease
/// broke, or the kernel removed it when it was not given up in time). False when none is held.
bool fsLeaseBroken(const cFsLease_t* lease);
/// Gives the lease up (at once after a break: the writer's open waits for it) and closes its
/// descriptor; a record that holds none is left alone. Afterwards no break signal is pending.
void fsLeaseRelease(cFsLease_t* lease);
/// Makes the entries of the directory durable, so that a rename or a new file in it survives
/// a power loss. False for a null object or an empty slot.
bool fsSyncDir(cFileSystem_t* fs, cStrView_t path);
/// What the path itself is, a link not followed (a link is kind 0 with its own identity); a
/// missing path is kind 3. False for a null object or an empty slot, and when it cannot be told.
bool fsLinkStat(cFileSystem_t* fs, cStrView_t path, cFileStat_t* out);
/// The file an open stream of this file system is on, whatever names it has now (links 0: it
/// has none left). False for a null object or stream, an empty slot, a stream of another kind,
/// and when it cannot be told.
bool fsStreamStat(cFileSystem_t* fs, cStream_t* stream, cFileStat_t* out);

/// The full path of `path` as its file system stores it, in `out` (replaced; no trailing '/'
/// but for "/"): the kind's stored_path, or root + path for a kind without one. Two spellings
/// of one folder give one path where a FUSE driver would give each its own node, so an identity
/// taken through it is one for every spelling. False (errno set) when it cannot be told
/// (kFsNameNotTold: the name reaches one of several entries alike, which cannot be told apart),
/// or for a null object.
bool fsStoredPath(cFileSystem_t* fs, cStrView_t path, cStr_t* out);
/// The kind's stat of the path as stored (fsStoredPath): an identity that every spelling of the
/// file shares. False as fsStat, or when the stored path cannot be told.
bool fsStoredStat(cFileSystem_t* fs, cStrView_t path, cFileStat_t* out);

/// The kind's stats of the path as stored (fsStoredPath) and of every folder above it up to "/",
/// nearest first, appended to `chain`; names not made yet are left out, so a missing path gives
/// the folders it would lie in. The identities a path lies in, however links and spellings
/// reached it. False (errno set) when the stored path cannot be told or a stat fails.
bool fsStoredChain(cFileSystem_t* fs, cStrView_t path, cVec_t<cFileStat_t>* chain);

/// A native file system rooted at an existing directory (root ending in '/'), or null.
cFileSystem_t* nativeFsNew(cStrView_t root);
/// stat(2), following links, of the path without its trailing '/', asked of the file system
/// rather than a cache (statx AT_STATX_FORCE_SYNC, which FUSE and NFS honour): kind 1 with the
/// 64-bit size, 2, or 0 for anything else; only ENOENT is kind 3 (true); every other error is
/// false (errno kept).
bool nativeFsStat(cFileSystem_t* fs, const char* full_path, cFileStat_t* out);
/// Adds regular files and directories (hidden ones too, not "." and ".."). Entries are
/// lstat'ed: a link to a file is listed as that file, a link to a directory is left out so a
/// walk never follows one (a link to an ancestor would recurse), and so is one that leads
/// nowhere (ENOENT, ENOTDIR) or loops (ELOOP). FIFOs, sockets and devices are left out, and
/// so is an entry gone since it was read. False when the directory cannot be opened or read,
/// when an entry or a link's target cannot be stat'ed for any other reason (a folder that can
/// be read but not searched would otherwise look empty), or when memory is short.
bool nativeFsList(cFileSystem_t* fs, const char* full_path, cFsEntryMap_t* map);
/// mkdir(2) with mode 0777 (the umask applies).
bool nativeFsMkdir(cFileSystem_t* fs, const char* full_path);
/// unlink(2).
bool nativeFsRemove(cFileSystem_t* fs, const char* full_path);
/// Read and write bits: a read-write stream; read alone: read; write alone: write (creates
/// or truncates), or with kFsOpenNew a new file only (kFileStreamCreateNew); neither, or read
/// with kFsOpenNew: null.
cStream_t* nativeFsOpen(cFileSystem_t* fs, const char* full_path, int flags);
/// rename(2).
bool nativeFsRename(cFileSystem_t* fs, const char* full_from, const char* full_to);
/// renameat2(2) with RENAME_NOREPLACE. Where the file system lacks it (NFS, some FUSE kinds),
/// link(2) and unlink(2), which refuse a taken name as well; where it has no hard links either
/// (exFAT and FAT through FUSE), nativeFsRenameLocked.
bool nativeFsRenameNoReplace(cFileSystem_t* fs, const char* full_from, const char* full_to);
/// The no-replace rename of a file system without an atomic one: the kind's link_stat of the
/// name, then its rename only where the name is free (EEXIST otherwise), both by the paths as
/// given and while holding an exclusive flock(2) of the root folder of the mount that holds the
/// name (nativeFsMountRoot). A flock holds a node, and on FUSE each spelling of a folder may
/// have its own, which a rename in case hands on to another spelling while a run goes on; the
/// mount's root has one node, so the lock is one for every folder of the file system and every
/// spelling, now and later. Checked and renamed by the paths given, so that what a caller
/// checks next by those paths is what was renamed. Every run that takes this path takes the
/// lock, so on one host none replaces a file another put there between the check and the
/// rename; a process of another host, or one that renames without the lock, can still (so can
/// a run that reaches the file system through a bind mount of a folder below its root, which
/// takes that folder's lock). Waits at most 10 seconds for a lock another holds (then
/// EWOULDBLOCK); fails where the root cannot be found, opened for reading or locked (errno
/// tells why), and with ENOSYS where the kind lacks either slot.
bool nativeFsRenameLocked(cFileSystem_t* fs, const char* full_from, const char* full_to);
/// The path with its links, "." and ".." resolved (realpath(3) of its longest existing part, the
/// rest appended as given). On FUSE (by its statfs type), whose drivers for FAT and exFAT give
/// each spelling of a name a node and an inode number of its own, every name below the mount
/// point is then replaced by the one its folder lists for it: the same name where listed, else
/// the entry alike it but for case (ASCII, Unicode simple upper case or case folding) that the
/// name reaches, told by a shared identity where the driver gives one, else by the entry's
/// kind, size and times and, for a folder, the names it lists, each alike what the name
/// reaches. False with kFsNameNotTold where that leaves several entries, or none after a few
/// rounds (a folder changing meanwhile), so a path is never spelt as a sibling's. Stored
/// folders are kept for the process, each taken again only while its stored path still has the
/// identity it had (a folder renamed in case on FUSE gets a new one under its old spelling).
bool nativeFsStoredPath(cFileSystem_t* fs, const char* full_path, cStr_t* out);
/// The mount point of the file system that holds the path (its longest existing part, links
/// resolved), in `out` (replaced); false with errno where it cannot be stat'ed.
bool nativeFsMountRoot(const char* full_path, cStr_t* out);
/// fsync(2) of the directory ("" or "/"-ended paths too).
bool nativeFsSyncDir(cFileSystem_t* fs, const char* full_path);
/// lstat(2), asked of the file system as nativeFsStat is: kind 1 with the size, 2, or 0 for
/// anything else (a link too); only ENOENT is kind 3 (true).
bool nativeFsLinkStat(cFileSystem_t* fs, const char* full_path, cFileStat_t* out);
/// fstat(2) of a file stream's descriptor (fileStreamDescriptor); false for other kinds.
bool nativeFsStreamStat(cFileSystem_t* fs, cStream_t* stream, cFileStat_t* out);
/// Opens the file read-only without blocking, fstats it into `held` and takes a read lease
/// (fcntl F_SETLEASE), which Linux refuses (EAGAIN) while any descriptor has the file open
/// for writing; the lease is kept in `lease` when one is given, else dropped at once. SIGIO,
/// which a lease break sends, is ignored while it is held. (A write lease would count readers
/// too: two runs over one tree would each keep the file the other is reading.) An open refused
/// for another process's lease (EWOULDBLOCK) is kFsInUse too. Unknown where leases are not
/// supported or not permitted (EINVAL on NFS, EACCES for a file of another owner without
/// CAP_LEASE), where a granted lease does not see every writer (nativeFsLeaseSeesEveryWriter),
/// for anything but a regular file, and when the open fails.
int nativeFsInUse(cFileSystem_t* fs, const char* full_path, cFileStat_t* held, cFsLease_t* lease);
/// Whether a lease on a file system of this statfs type sees every writer of its files. Not on
/// FUSE (a pass-through such as bindfs never hears of a writer on the folder behind it) nor on
/// network and cluster file systems (a writer on another host): there a lease refused still
/// tells of a writer, but one granted tells nothing.
bool nativeFsLeaseSeesEveryWriter(int64_t fs_type);
