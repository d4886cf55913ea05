#include "app/removal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/exit_status.h"
#include "app/identity.h"
#include "app/walker_state.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/process.h"

namespace {

// The private name an input is moved to just before its removal, in its own folder: this
// prefix, then random hexadecimal digits. It is no longer than the input's name (nor than the
// cap, which leaves 88 random bits), so it fits wherever that name fits, in the folder and in
// a path; hidden, and never a log file to a walk ("~" is in its extension). A name taken (a
// leftover of a killed run, another run's, a short name's few digits) is tried again.
constexpr char kRemovingPrefix[] = ".~";
constexpr int64_t kRemovingMaxLength = 24;
constexpr int64_t kRemovingMinDigits = 1;
constexpr int kRemovingAttempts = 16;
// Where a file at the private name cannot go back under the input's name (another file took
// it), it goes to "<stem>.conflict-<random digits>.<extension>" beside it: visible, and a log
// file that later runs convert. The name is cut (at the stem's end) to the longer of the
// input's name and kConflictMaxLength, which leaves room in a name for the output's suffix.
constexpr char kConflictTag[] = ".conflict-";
constexpr int64_t kConflictDigits = 8;
constexpr int64_t kConflictMaxLength = 240;

int Len(cStrView_t view) { return static_cast<int>(view.length); }

/// "<folder of input>.~<random digits>", as long as the input's name within the bounds, in
/// `out`; false when memory is short.
bool RemovingName(cStr_t* out, cStrView_t input) {
  constexpr int64_t kPrefixLength = sizeof(kRemovingPrefix) - 1;
  char digits[kRemovingMaxLength - kPrefixLength];
  const int64_t length = std::min(pathFileName(input).length, kRemovingMaxLength);
  const int64_t count = std::max(length - kPrefixLength, kRemovingMinDigits);
  processRandomHex(digits, static_cast<size_t>(count));
  const cStrView_t folder = pathParent(input);
  cStrRelease(out);
  return (folder.length == 0 || cStrAppend(out, folder) != nullptr) &&
         cStrAppend(out, cStrViewOf(kRemovingPrefix)) != nullptr && cStrAppend(out, {digits, count}) != nullptr;
}

}  // namespace

bool isRemovingName(cStrView_t name) {
  constexpr int64_t kPrefixLength = sizeof(kRemovingPrefix) - 1;
  if (name.length <= kPrefixLength || name.length > kRemovingMaxLength ||
      std::memcmp(name.data, kRemovingPrefix, kPrefixLength) != 0) {
    return false;
  }
  for (int64_t i = kPrefixLength; i < name.length; ++i) {
    const char c = name.data[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

int keptChanged(cStrView_t input) {
  logMessage(kLogError, "Input file %.*s changed during its conversion and is kept", Len(input), input.data);
  return kExitFileFailed;
}

int keptUnread(cStrView_t input, int error) {
  logMessage(kLogError, "Could not remove input file after conversion: %.*s: %s", Len(input), input.data,
             std::strerror(error));
  return kExitFileFailed;
}

namespace {

/// "<folder of input><stem>.conflict-<random digits>.<extension>" in `out` (see kConflictTag);
/// false when memory is short.
bool ConflictName(cStr_t* out, cStrView_t input) {
  const cStrView_t name = pathFileName(input);
  const cStrView_t extension = pathExtension(input);
  // A dotless name is its own extension and keeps it whole as its stem.
  const int64_t stem_length = extension.length < name.length ? name.length - extension.length - 1 : name.length;
  constexpr int64_t kTagLength = sizeof(kConflictTag) - 1;
  const int64_t fixed = kTagLength + kConflictDigits + 1 + extension.length;
  const int64_t limit = std::max(name.length, kConflictMaxLength);
  int64_t stem = std::min(stem_length, std::max<int64_t>(limit - fixed, 1));
  // Cut between characters: a FAT or exFAT driver refuses a name that is no UTF-8.
  while (stem > 0 && stem < stem_length && (static_cast<unsigned char>(name.data[stem]) & 0xC0) == 0x80) --stem;
  char digits[kConflictDigits];
  processRandomHex(digits, sizeof digits);
  const cStrView_t folder = pathParent(input);
  cStrRelease(out);
  return (folder.length == 0 || cStrAppend(out, folder) != nullptr) &&
         (stem == 0 || cStrAppend(out, {name.data, stem}) != nullptr) &&
         cStrAppend(out, cStrViewOf(kConflictTag)) != nullptr &&
         cStrAppend(out, {digits, kConflictDigits}) != nullptr && cStrAppend(out, cStrViewOf(".")) != nullptr &&
         cStrAppend(out, extension) != nullptr;
}

/// Whether the file at `path` holds exactly the bytes converted: 1 when it does, 0 when not,
/// -1 when it cannot be read (errno tells why). Read again from the page cache, mostly.
int HoldsConverted(cFileSystem_t* fs, cStrView_t path, const cStreamDigest_t& converted) {
  cStream_t* stream = fsOpen(fs, path, kInputOpenFlags);
  if (stream == nullptr) return -1;
  cStreamDigest_t now{};
  const bool read = streamDigest(stream, &now);
  const int error = read ? 0 : (errno != 0 ? errno : EIO);
  streamClose(stream);
  errno = error;
  if (!read) return -1;
  return streamDigestEqual(now, converted) ? 1 : 0;
}

/// Removes the input by its name, as where the file system cannot tell one file from another.
int RemoveByName(cFileSystem_t* fs, cStrView_t input) {
  if (fsRemove(fs, input)) return kExitSuccess;
  const int error = errno;
  logMessage(kLogError, "Could not remove input file after conversion: %.*s: %s", Len(input), input.data,
             std::strerror(error));
  return kExitFileFailed;
}

/// The line of an input a writer holds open; 8.
int KeptOpenForWriting(cStrView_t input) {
  logMessage(kLogError, "Input file %.*s is still open for writing in another process and is kept", Len(input),
             input.data);
  return kExitFileFailed;
}

/// Removes the input under its own name once its bytes are found to be the ones converted:
/// where the file system cannot tell files apart, or where the input cannot be moved aside (no
/// room for a copy that a rename would need, as from an overlay's lower layer; no rename that
/// refuses a taken name). Checked once more right before the unlink, as then only a rename over
/// it in between can beat the check.
int RemoveInPlace(cFileSystem_t* fs, cStrView_t input, const cFileStat_t& opened, const cStreamDigest_t& converted,
                  const cFsLease_t& lease) {
  const int content = HoldsConverted(fs, input, converted);
  if (content < 0) return keptUnread(input, errno);
  if (content == 0) return keptChanged(input);
  cFileStat_t now{};
  if (fsStat(fs, input, &now) && now.kind != kFileKindMissing && cIdentityKey_t(opened).Known() &&
      !fileUnchanged(opened, now)) {
    return keptChanged(input);
  }
  if (fsLeaseBroken(&lease)) return KeptOpenForWriting(input);
  return RemoveByName(fs, input);
}

/// Puts the file at the private name `aside` back under the input's name. Where that cannot be
/// (another file took the name, or the folder's lock was held too long), the file goes to a
/// visible name of its own that later runs convert: a run that ends normally leaves no
/// recording hidden. The line names where the file is now.
void MoveBack(cFileSystem_t* fs, cStrView_t input, cStrView_t aside) {
  if (fsRenameNoReplace(fs, aside, input)) return;
  const int error = errno;
  cStr_t visible{};
  bool moved = false;
  for (int attempt = 0; !moved && attempt < kRemovingAttempts && ConflictName(&visible, input); ++attempt) {
    moved = fsRenameNoReplace(fs, aside, cStrViewOfStr(&visible));
    if (!moved && errno != EEXIST) break;
  }
  const cStrView_t now = moved ? cStrViewOfStr(&visible) : aside;
  logMessage(kLogError, "Could not move input file %.*s back: it is now %.*s: %s", Len(input), input.data, Len(now),
             now.data, std::strerror(error));
  cStrRelease(&visible);
}

/// A lease held from the probe until the input is removed or kept.
struct HeldLease {
  HeldLease() = default;
  ~HeldLease() { fsLeaseRelease(&lease); }
  HeldLease(const HeldLease&) = delete;
  HeldLease& operator=(const HeldLease&) = delete;
  cFsLease_t lease{};
};

}  // namespace

int removeConvertedInput(cFileSystem_t* fs, cStrView_t input, const cFileStat_t& opened,
                         const cStreamDigest_t& converted) {
  // A writer that appends in bursts leaves a file that converts cleanly between two bursts;
  // its descriptor, open for writing, tells it is not done. The lease stays until the file is
  // gone, so a writer who opens it meanwhile is seen too.
  HeldLease held_lease;
  cFileStat_t held = opened;
  const int use = fsInUse(fs, input, &held, &held_lease.lease);
  if (use == kFsUseUnknown) {
    // The change checks alone decide: the name's file now, unless it is gone (the move aside
    // then says so).
    cFileStat_t named{};
    if (fsStat(fs, input, &named) && named.kind != kFileKindMissing) held = named;
  }
  if (!fileUnchanged(opened, held)) return keptChanged(input);
  if (use == kFsInUse) return KeptOpenForWriting(input);
  // Without identities the private name could not tell the file apart either.
  if (!cIdentityKey_t(opened).Known()) return RemoveInPlace(fs, input, opened, converted, held_lease.lease);

  // The file is taken from its name in one step and checked where no one else puts a file,
  // so a file renamed over the input since the last check is never the one removed. Until it
  // is removed or back, a signal would leave the input hidden: it waits.
  const cEndingSignalsHeld_t held_signals;
  cStr_t aside{};
  bool moved = false;
  int error = ENOMEM;
  for (int attempt = 0; !moved && attempt < kRemovingAttempts; ++attempt) {
    if (!RemovingName(&aside, input)) {
      error = ENOMEM;
      break;
    }
    moved = fsRenameNoReplace(fs, input, cStrViewOfStr(&aside));
    error = moved ? 0 : errno;
    if (!moved && error != EEXIST) break;
  }
  if (!moved) {
    cStrRelease(&aside);
    if (error == ENOSYS || error == ENOSPC || error == EXDEV) {
      return RemoveInPlace(fs, input, opened, converted, held_lease.lease);
    }
    logMessage(kLogError, "Could not remove input file after conversion: %.*s: %s", Len(input), input.data,
               std::strerror(error));
    return kExitFileFailed;
  }
  const cStrView_t aside_name = cStrViewOfStr(&aside);
  cFileStat_t now{};
  const bool stated = fsStat(fs, aside_name, &now);
  error = errno;
  // The times may not show a rewrite in place (exFAT and FAT through FUSE keep no time of
  // status change): the bytes decide, here where no one else puts a file.
  const int content = stated && sameFileAndSize(opened, now) ? HoldsConverted(fs, aside_name, converted) : 0;
  if (content < 0) error = errno;
  const bool same = content == 1;
  const bool written = same && fsLeaseBroken(&held_lease.lease);
  if (same && !written && fsRemove(fs, aside_name)) {
    cStrRelease(&aside);
    return kExitSuccess;
  }
  if (same && !written) error = errno;
  if (written) {
    // The writer's open waits for the lease: given up first, the writer goes on in the file,
    // which goes back under its name.
    fsLeaseRelease(&held_lease.lease);
    KeptOpenForWriting(input);
  } else if (!stated || content != 0) {
    keptUnread(input, error);
  } else {
    keptChanged(input);
  }
  // Back under its name, unless another file took that name meanwhile: neither is lost.
  MoveBack(fs, input, aside_name);
  cStrRelease(&aside);
  return kExitFileFailed;
}
