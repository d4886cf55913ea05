#include "app/converter.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "app/walker.h"
#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/utf8.h"

namespace {

// Outputs are opened for writing into a file this process makes; the 4 bit is the share flag
// that the native kind ignores.
constexpr int kOutputOpenFlags = kFsOpenWrite | kFsOpenNew | 4;

const cRecordHandlerOps_t kConverterOps = {converterHandleRecord, converterNewFile, converterEndFile};

cConverterHandler_t* Stage(cRecordHandler_t* handler) { return reinterpret_cast<cConverterHandler_t*>(handler); }

int Len(const cStr_t& text) { return static_cast<int>(cStrLength(&text)); }

// ---- the temporary that the ending signals remove ----

// Only the main thread writes the path and identity, and only while the handler is disarmed;
// the handler runs on the main thread (other threads pass the signal on), so it never sees
// half of them. A longer path than this cannot be opened, so it never needs removing.
char g_cleanup_path[PATH_MAX];
cFileStat_t g_cleanup_file;  // the temporary's identity; 0 where the file system cannot tell
volatile sig_atomic_t g_cleanup_armed = 0;
pthread_t g_main_thread;

void ArmCleanup(cStrView_t full_path, const cFileStat_t& file) {
  g_cleanup_armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (full_path.length <= 0 || full_path.length >= static_cast<int64_t>(sizeof(g_cleanup_path))) return;
  std::memcpy(g_cleanup_path, full_path.data, static_cast<size_t>(full_path.length));
  g_cleanup_path[full_path.length] = '\0';
  g_cleanup_file = file;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_cleanup_armed = 1;
}

void DisarmCleanup() {
  g_cleanup_armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

template <size_t N>
bool IsOneOf(int signal_number, const int (&signals)[N]) {
  return std::find(std::begin(signals), std::end(signals), signal_number) != std::end(signals);
}

/// Ends the process by the signal's default action at once; the first process of a PID
/// namespace (a container's) is spared default actions, so it exits as the shell would report
/// the signal.
[[noreturn]] void EndBySignal(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
  std::raise(signal_number);
  _exit(128 + signal_number);
}

void RemoveTemporaryAndDie(int signal_number, siginfo_t* info, void* /*context*/) {
  if (!processSignalSent(info)) {
    // A crash ends as one, with nothing done after it; a broken lease is no end of the run,
    // its probe reads it back.
    if (IsOneOf(signal_number, kEndingSignalsOfCrashes)) {
      EndBySignal(signal_number);
    }
    if (IsOneOf(signal_number, kEndingSignalsOfLeases)) return;
  }
  if (pthread_equal(pthread_self(), g_main_thread) == 0) {
    // A writer or reader thread took it: the main thread, stopped in its own handler, cannot
    // be changing the path.
    pthread_kill(g_main_thread, signal_number);
    return;
  }
  if (g_cleanup_armed != 0) {
    // Only the run's own file: another process may have put its own under that name.
    struct stat info_at {};
    const bool known = g_cleanup_file.device != 0 || g_cleanup_file.inode != 0;
    if (!known ||
        (::lstat(g_cleanup_path, &info_at) == 0 && static_cast<uint64_t>(info_at.st_dev) == g_cleanup_file.device &&
         static_cast<uint64_t>(info_at.st_ino) == g_cleanup_file.inode)) {
      ::unlink(g_cleanup_path);
    }
  }
  EndBySignal(signal_number);
}

// ---- one output ----

// The temporary's name: '.', as much of the output's name as fits, '.', a random part and
// ".part". The random part has hexadecimal digits only, so that a file system that ignores
// case (a logger's SD card) keeps the names apart.
constexpr int kRandomLength = 8;  // 32 bits; a name taken meanwhile costs only another try
constexpr int64_t kTemporaryOverhead = 2 + kRandomLength + static_cast<int64_t>(sizeof(kTemporarySuffix) - 1);
/// Names tried before an open that keeps meeting taken names gives up.
constexpr int kTemporaryAttempts = 16;

/// "<folder>/.<start of name>.<random>.part" for "<folder>/<name>": hidden, in the output's own
/// folder (so the rename stays within one file system), no log file to a walk, and no longer
/// than the output's name or kTemporaryOverhead - 1 bytes, whichever is more, so that it fits
/// wherever the output's name fits. The name is cut only between characters.
bool TemporaryName(cStr_t* out, cStrView_t final_name) {
  const cStrView_t folder = pathParent(final_name);
  const cStrView_t name = pathFileName(final_name);
  const int64_t kept = utf8PrefixLength(name, name.length - kTemporaryOverhead);
  char random[kRandomLength];
  processRandomHex(random, sizeof(random));
  return (folder.length == 0 || cStrAppend(out, folder) != nullptr) &&
         cStrAppendFormat(out, ".%.*s%s%.*s%s", static_cast<int>(kept), name.data, kept > 0 ? "." : "", kRandomLength,
                          random, kTemporarySuffix) > 0;
}

/// Closes the output for good; 0 when the close succeeded, else the reason (errno), the record freed.
int CloseOutput(cConverterHandler_t* stage) {
  cStream_t* output = stage->output;
  stage->output = nullptr;
  if (output == nullptr || streamClose(output) == 0) return 0;
  const int error = fileStreamError(output);
  streamClose(output);  // a failed close keeps the record for its error; the second frees it
  return error != 0 ? error : EIO;
}

/// Closes the output's file. A file stream keeps a hold of it, so that the file can still be
/// told by identity (and its names counted) until CloseOutput; other kinds close for good.
int CloseKeepingHold(cConverterHandler_t* stage) {
  if (fileStreamDescriptor(stage->output) < 0) return CloseOutput(stage);
  return fileStreamCloseFile(stage->output);
}

/// What a name holds, compared with the file the stage holds.
enum class Named { kOwnFile, kMissing, kOtherFile, kUnknown };

/// kUnknown where the file system cannot tell identities or the name cannot be looked at: the
/// checks that need them are then skipped. `held` gets the held file's stat where known.
Named WhatIsAt(cConverterHandler_t* stage, cStrView_t name, cFileStat_t* held) {
  *held = cFileStat_t{};
  cFileStat_t at{};
  if (!fsStreamStat(stage->output_fs, stage->output, held) || (held->device == 0 && held->inode == 0) ||
      !fsLinkStat(stage->output_fs, name, &at)) {
    return Named::kUnknown;
  }
  if (at.kind == kFileKindMissing) return Named::kMissing;
  return at.device == held->device && at.inode == held->inode ? Named::kOwnFile : Named::kOtherFile;
}

void ReportUnremoved(const cConverterHandler_t* stage, const char* reason) {
  logMessage(kLogError, "Could not remove temporary file %.*s: %s", Len(stage->temporary), cStrData(&stage->temporary),
             reason);
}

/// Removes the temporary by its name alone: where identities cannot be told, or after an open
/// that failed once it had made the file. A name that cannot be there (its folder is missing
/// or no folder) is no failure. False, reported, when it stays.
bool RemoveByName(const cConverterHandler_t* stage) {
  errno = 0;
  if (fsRemove(stage->output_fs, cStrViewOfStr(&stage->temporary)) || errno == ENOENT || errno == ENOTDIR ||
      errno == 0) {
    return true;
  }
  ReportUnremoved(stage, std::strerror(errno));
  return false;
}

/// Removes the temporary while its name is the run's own file, and never another one. One that
/// stays behind (its folder read-only, or moved away with it) is reported with its name (false).
bool RemoveTemporary(cConverterHandler_t* stage) {
  cFileStat_t held{};
  switch (WhatIsAt(stage, cStrViewOfStr(&stage->temporary), &held)) {
    case Named::kUnknown:
      return RemoveByName(stage);
    case Named::kOwnFile:
      if (fsRemove(stage->output_fs, cStrViewOfStr(&stage->temporary))) return true;
      ReportUnremoved(stage, std::strerror(errno));
      return false;
    case Named::kMissing:
    case Named::kOtherFile:
      break;
  }
  // A file that still has a name has it elsewhere, out of the run's reach.
  if (held.links == 0) return true;
  ReportUnremoved(stage, "it is no longer under that name");
  return false;
}

/// Removes the temporary of an output that is not to be published, and closes it; the output's
/// name stays for a report.
void DiscardOutput(cConverterHandler_t* stage) {
  // Before the close: the held file tells whether the name is still the run's own.
  if (cStrLength(&stage->temporary) > 0) RemoveTemporary(stage);
  CloseOutput(stage);
  DisarmCleanup();  // only now: a signal before the removal still removes it
  cStrRelease(&stage->temporary);
}

/// Discards what an earlier file left and forgets its name and failure.
void ResetOutput(cConverterHandler_t* stage) {
  DiscardOutput(stage);
  cStrRelease(&stage->final_name);
  stage->open_error = 0;
}

/// Names the output and opens its temporary as a file of its own making, under a name no file
/// had: a taken name is left alone and another tried. 0, or why it failed (errno), with no
/// file left that it made.
int OpenOutput(cConverterHandler_t* stage, const cFileInfo_t* info) {
  if (!cStrInit(&stage->final_name, cStrViewOfStr(&info->OutputPath)) ||
      cStrAppend(&stage->final_name, cStrViewOf(kOutputSuffix)) == nullptr) {
    return ENOMEM;
  }
  // The rename would fail on a folder, but only after the whole conversion.
  cFileStat_t stat{};
  if (fsStat(stage->output_fs, cStrViewOfStr(&stage->final_name), &stat) && stat.kind == kFileKindDirectory) {
    return EISDIR;
  }
  int error = EEXIST;
  for (int attempt = 0; error == EEXIST && attempt < kTemporaryAttempts; ++attempt) {
    cStrRelease(&stage->temporary);
    cStr_t full{};
    if (!TemporaryName(&stage->temporary, cStrViewOfStr(&stage->final_name)) ||
        !fsFullPath(stage->output_fs, cStrViewOfStr(&stage->temporary), &full)) {
      cStrRelease(&full);
      return ENOMEM;
    }
    const cEndingSignalsHeld_t held;
    errno = 0;
    stage->output = fsOpen(stage->output_fs, cStrViewOfStr(&stage->temporary), kOutputOpenFlags);
    if (stage->output != nullptr) {
      // Where the file system cannot tell identities, a signal removes the name as it is.
      cFileStat_t file{};
      if (!fsStreamStat(stage->output_fs, stage->output, &file)) file = cFileStat_t{};
      ArmCleanup(cStrViewOfStr(&full), file);
      error = 0;
    } else {
      error = errno != 0 ? errno : EIO;
      // An open can fail after it made the file; EEXIST means the name was another file's, and
      // most failures (a read-only folder, a name too long) made nothing. Only a file seen
      // under the new name is the run's to remove and to report: a name that cannot even be
      // looked at (too long, no folder, no search permission) cannot have been made either,
      // and where the kind cannot look, it goes by name without a word.
      cFileStat_t at{};
      if (error != EEXIST && !fsLinkStat(stage->output_fs, cStrViewOfStr(&stage->temporary), &at)) {
        fsRemove(stage->output_fs, cStrViewOfStr(&stage->temporary));
      } else if (error != EEXIST && at.kind != kFileKindMissing) {
        RemoveByName(stage);
      }
    }
    cStrRelease(&full);
  }
  return error;
}

bool Deleting(const cConverterHandler_t* stage) { return stage->walker->settings->delete_converted != 0; }

/// The writer failed without a stream error (it logged its own reason).
constexpr int kWriterFailed = -1;

/// Writes the file, syncs it with "delete-converted" and closes it (keeping a hold of it); 0,
/// why it failed (errno), or kWriterFailed.
int WriteOutput(cConverterHandler_t* stage) {
  const bool written = mdfWriterFinalize(stage->writer);
  // The writer has let go of the stream. A full disk shows at the latest in the close; with
  // "delete-converted" the bytes must be on the disk before the name is.
  int error = fileStreamError(stage->output);
  if (written && error == 0 && Deleting(stage) && !fileStreamSync(stage->output)) {
    error = fileStreamError(stage->output);
    if (error == 0) error = EIO;
  }
  const int close_error = CloseKeepingHold(stage);
  if (error == 0) error = close_error;
  if (error == 0 && !written) error = kWriterFailed;
  return error;
}

/// Reports that a name no longer holds the run's file, so the output is not published; false.
bool ReportNotNamed(const cConverterHandler_t* stage, Named found, bool renamed) {
  const int name_length = Len(stage->final_name);
  const char* name = cStrData(&stage->final_name);
  if (renamed) {
    logMessage(kLogError, "Could not publish output file %.*s: %s after the rename", name_length, name,
               found == Named::kMissing ? "it is no longer under that name" : "another file is under that name");
  } else if (found == Named::kMissing) {
    logMessage(kLogError, "Could not publish output file %.*s: its temporary %.*s is gone", name_length, name,
               Len(stage->temporary), cStrData(&stage->temporary));
  } else {
    logMessage(kLogError, "Could not publish output file %.*s: another file is under the name of its temporary %.*s",
               name_length, name, Len(stage->temporary), cStrData(&stage->temporary));
  }
  return false;
}

enum class Existing { kSame, kDifferent, kUnreadable, kGone, kUnsynced };

/// Whether the file under the output's name holds the temporary's bytes, compared piece by
/// piece: kGone when the name is free again, kUnreadable (errno set) when either could not be
/// read. A file of the same bytes is to count as the output, so it is synced as the run's own
/// output would be (kUnsynced, errno set, when that fails). `compared` gets the stat of the
/// file compared. A link there is not followed (it may lead to a FIFO, which would block).
Existing CompareWithExisting(cConverterHandler_t* stage, cFileStat_t* compared) {
  if (fsLinkStat(stage->output_fs, cStrViewOfStr(&stage->final_name), compared) && compared->kind != kFileKindRegular &&
      compared->kind != kFileKindMissing) {
    return Existing::kDifferent;
  }
  errno = 0;
  cStream_t* existing = fsOpen(stage->output_fs, cStrViewOfStr(&stage->final_name), kFsOpenRead);
  if (existing == nullptr && errno == ENOENT) return Existing::kGone;
  cStream_t* written =
      existing != nullptr ? fsOpen(stage->output_fs, cStrViewOfStr(&stage->temporary), kFsOpenRead) : nullptr;
  const int open_error = errno != 0 ? errno : EIO;
  int same = -1;
  if (written != nullptr) {
    cFileStat_t written_stat{};
    const bool sized =
        fsStreamStat(stage->output_fs, existing, compared) && fsStreamStat(stage->output_fs, written, &written_stat);
    same = sized && compared->size != written_stat.size ? 0 : streamSameBytes(existing, written);
  }
  // A kind without descriptors has no disk to sync to.
  int sync_error = 0;
  const int descriptor = fileStreamDescriptor(existing);
  if (same == 1 && descriptor >= 0 && ::fsync(descriptor) != 0) sync_error = errno != 0 ? errno : EIO;
  for (cStream_t* stream : {existing, written}) {
    if (streamClose(stream) != 0) streamClose(stream);  // a failed close keeps the record; the second frees it
  }
  if (sync_error != 0) {
    errno = sync_error;
    return Existing::kUnsynced;
  }
  if (same == 1) return Existing::kSame;
  if (same == 0) return Existing::kDifferent;
  errno = written == nullptr ? open_error : EIO;
  return Existing::kUnreadable;
}

/// Whether the name still holds the file compared, unchanged as far as its size and time of
/// change tell (another run may publish meanwhile); true where identities cannot be told.
bool StillCompared(cConverterHandler_t* stage, const cFileStat_t& compared) {
  cFileStat_t now{};
  if ((compared.device == 0 && compared.inode == 0) ||
      !fsLinkStat(stage->output_fs, cStrViewOfStr(&stage->final_name), &now)) {
    return true;
  }
  return now.kind == compared.kind && now.device == compared.device && now.inode == compared.inode &&
         now.size == compared.size && now.modified_ns == compared.modified_ns;
}

/// Looks at a name taken by another file at most this often: each look again follows a change
/// of the name by another process (the file moved away, another put there), and a name that
/// keeps changing fails the file rather than hold the run.
constexpr int kPublishLooks = 4;

void ReportRenameFailure(const cConverterHandler_t* stage) {
  const int error = errno;
  logMessage(kLogError, "Could not rename %.*s to %.*s: %s", Len(stage->temporary), cStrData(&stage->temporary),
             Len(stage->final_name), cStrData(&stage->final_name), std::strerror(error));
}

enum class Published { kRenamed, kFound, kFailed };

/// The temporary takes the output's name only where it is free, so that no file another
/// process put there is replaced, also one put there after a comparison. A file found there
/// stays: one of the same bytes (as after a run that was ended between its rename and the
/// removal of its input), synced and still under the name once compared, counts as the output
/// (kFound); any other fails the file with an error line. A name freed or changed meanwhile is
/// tried again.
Published PublishWhereFree(cConverterHandler_t* stage, const cFileInfo_t* info) {
  const cStrView_t final_name = cStrViewOfStr(&stage->final_name);
  const int name_length = Len(stage->final_name);
  for (int look = 0; look < kPublishLooks; ++look) {
    errno = 0;
    if (fsRenameNoReplace(stage->output_fs, cStrViewOfStr(&stage->temporary), final_name)) return Published::kRenamed;
    if (errno != EEXIST) {
      ReportRenameFailure(stage);
      return Published::kFailed;
    }
    cFileStat_t compared{};
    switch (CompareWithExisting(stage, &compared)) {
      case Existing::kSame:
        // Only while the file compared is under the name: another put there since holds other bytes.
        if (StillCompared(stage, compared)) return Published::kFound;
        break;
      case Existing::kGone:
        break;
      case Existing::kDifferent:
        logMessage(kLogError, "Output %.*s of %.*s would replace a different file of that name", name_length,
                   final_name.data, Len(info->InputPath), cStrData(&info->InputPath));
        return Published::kFailed;
      case Existing::kUnreadable:
        logMessage(kLogError, "Output %.*s of %.*s would replace a file of that name that could not be compared: %s",
                   name_length, final_name.data, Len(info->InputPath), cStrData(&info->InputPath),
                   std::strerror(errno));
        return Published::kFailed;
      case Existing::kUnsynced:
        logMessage(kLogError, "Could not sync output file %.*s: %s", name_length, final_name.data,
                   std::strerror(errno));
        return Published::kFailed;
    }
  }
  // At every look the name held another file than the one compared.
  logMessage(kLogError, "Output %.*s of %.*s would replace a different file of that name", name_length, final_name.data,
             Len(info->InputPath), cStrData(&info->InputPath));
  return Published::kFailed;
}

/// Gives the written temporary the output's name. With "delete-converted" no file under that
/// name is replaced (PublishWhereFree): one of the same bytes counts as the output and the
/// temporary is removed; without, the output replaces a file of its name. Before the rename
/// the temporary's name, after it the output's, must hold the run's own file. False, with an
/// error line, when the output was not published or the temporary of one found could not be
/// removed.
bool Publish(cConverterHandler_t* stage, const cFileInfo_t* info) {
  const cStrView_t temporary = cStrViewOfStr(&stage->temporary);
  const cStrView_t final_name = cStrViewOfStr(&stage->final_name);
  cFileStat_t held{};
  const Named before = WhatIsAt(stage, temporary, &held);
  if (before == Named::kMissing || before == Named::kOtherFile) return ReportNotNamed(stage, before, false);
  if (Deleting(stage)) {
    const Published published = PublishWhereFree(stage, info);
    if (published == Published::kFailed) return false;
    if (published == Published::kFound) {
      const bool removed = RemoveTemporary(stage);
      DisarmCleanup();  // only now: a signal before the removal still removes it
      cStrRelease(&stage->temporary);
      return removed;
    }
  } else {
    errno = 0;
    if (!fsRename(stage->output_fs, temporary, final_name)) {
      ReportRenameFailure(stage);
      return false;
    }
  }
  // The temporary's name is gone: nothing is left for a signal or a failure to remove.
  DisarmCleanup();
  cStrRelease(&stage->temporary);
  const Named after = WhatIsAt(stage, final_name, &held);
  if (after == Named::kMissing || after == Named::kOtherFile) return ReportNotNamed(stage, after, true);
  return true;
}

/// Syncs the output's folder, so that its new name survives a power loss. The first time a
/// folder comes up its ancestors up to the output root are synced too: the walk may just have
/// made it, and its own name must survive as well. False (errno set) when a sync failed.
bool SyncFolders(cConverterHandler_t* stage, cStrView_t folder) {
  if (!fsSyncDir(stage->output_fs, folder)) return false;
  if (cStrViewEqual(folder, cStrViewOfStr(&stage->synced_folder))) return true;
  cStrView_t ancestor = folder;
  while (ancestor.length > 0) {
    ancestor = pathParent({ancestor.data, ancestor.length - 1});  // without its trailing '/'
    if (!fsSyncDir(stage->output_fs, ancestor)) return false;
  }
  cStrRelease(&stage->synced_folder);
  cStrInit(&stage->synced_folder, folder);  // short memory only costs these syncs again
  return true;
}

}  // namespace

cConverterHandler_t* converterHandlerNew(cFileSystem_t* output_fs) {
  auto* stage = static_cast<cConverterHandler_t*>(std::calloc(1, sizeof(cConverterHandler_t)));
  if (stage == nullptr) return nullptr;
  if (!recordHandlerInit(&stage->handler) || (stage->writer = mdfWriterNew()) == nullptr) {
    std::free(stage);
    return nullptr;
  }
  stage->handler.ops = &kConverterOps;
  stage->output_fs = output_fs;
  return stage;
}

void converterHandlerSetWalker(cConverterHandler_t* stage, cWalker_t* walker) {
  if (stage != nullptr) stage->walker = walker;
}

void converterHandlerFree(cConverterHandler_t* stage) {
  if (stage == nullptr) return;
  mdfWriterFree(stage->writer);  // lets go of the output's stream before it is closed
  ResetOutput(stage);
  cStrRelease(&stage->synced_folder);
  std::free(stage);
}

bool converterHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  mdfWriterAddRecord(Stage(handler)->writer, record);
  return true;
}

bool converterNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t /*continuation*/) {
  cConverterHandler_t* stage = Stage(handler);
  if (stage == nullptr || info == nullptr || stage->walker == nullptr) return false;
  ResetOutput(stage);  // end-file publishes or discards it; this only matters after a skipped end-file
  // A failure is reported at end-file, so that its line follows the walker's "Error on new file".
  stage->open_error = OpenOutput(stage, info);
  if (stage->open_error != 0) {
    DisarmCleanup();  // OpenOutput removed what it made; anything else at the name is not ours
    cStrRelease(&stage->temporary);
    return false;
  }

  // Without the input's comments the output would lose its device and file information.
  cMdfMetadata_t* metadata = mdfReaderGetMetadata(stage->walker->reader);
  if (metadata == nullptr) {
    logMessage(kLogError, "Could not read the metadata of %.*s", Len(info->InputPath), cStrData(&info->InputPath));
    DiscardOutput(stage);
    return false;
  }
  if (!mdfWriterOpen(stage->writer, stage->output, info, metadata)) {
    DiscardOutput(stage);
    stage->open_error = ENOMEM;  // the writer refuses an open stream only for want of memory
    return false;
  }
  return true;
}

bool converterEndFile(cRecordHandler_t* handler, const cFileInfo_t* info) {
  cConverterHandler_t* stage = Stage(handler);
  if (stage == nullptr || info == nullptr) return false;
  const cStrView_t final_name = cStrViewOfStr(&stage->final_name);
  const int name_length = static_cast<int>(final_name.length);
  if (stage->output == nullptr) {
    if (stage->open_error != 0) {
      logMessage(kLogError, "Could not open output file %.*s: %s", name_length, final_name.data,
                 std::strerror(stage->open_error));
    }
    ResetOutput(stage);
    return false;
  }

  int error = WriteOutput(stage);  // also after a failed record: the writer lets go of the stream
  if (stage->walker->chain_failed != 0) {
    // The output would lack what the chain did not pass on: it is not published.
    ResetOutput(stage);
    return false;
  }
  if (error == kWriterFailed) {
    logMessage(kLogError, "Could not write output file %.*s", name_length, final_name.data);
  } else if (error != 0) {
    logMessage(kLogError, "Could not write output file %.*s: %s", name_length, final_name.data, std::strerror(error));
  }
  if (error != 0 || !Publish(stage, info)) {
    ResetOutput(stage);
    return false;
  }

  bool ok = true;
  if (Deleting(stage) && !SyncFolders(stage, pathParent(final_name))) {
    error = errno;
    logMessage(kLogError, "Could not sync the folder of output file %.*s: %s", name_length, final_name.data,
               std::strerror(error));
    ok = false;
  }
  ResetOutput(stage);
  // The output holds every frame that could be kept; dropped ones (the writer logs them) fail the file.
  return ok && mdfWriterDropped(stage->writer) == 0;
}

bool converterInstallSignalCleanup() {
  g_main_thread = pthread_self();
  // A file size limit then fails the write (EFBIG) like a full disk, instead of ending the run.
  if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return false;
  struct sigaction action {};
  action.sa_sigaction = RemoveTemporaryAndDie;
  processEndingSignals(&action.sa_mask);
  // Interrupted reads and writes resume: the process ends in the main thread's handler anyway.
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&action.sa_mask, signal_number) != 1) continue;
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) != 0) return false;
    // A signal ignored by whoever started the run (a background job) stays ignored.
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) continue;
    if (sigaction(signal_number, &action, nullptr) != 0) return false;
  }
  return true;
}
