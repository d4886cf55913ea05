#include "app/converter.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "app/walker.h"
#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/process.h"

namespace {

// Outputs are opened for writing into a file this process makes; the 4 bit is the share flag
// that the native kind ignores.
constexpr int kOutputOpenFlags = kFsOpenWrite | kFsOpenNew | 4;

const cRecordHandlerOps_t kConverterOps = {converterHandleRecord, converterNewFile, converterEndFile};

cConverterHandler_t* Stage(cRecordHandler_t* handler) { return reinterpret_cast<cConverterHandler_t*>(handler); }

int Len(const cStr_t& text) { return static_cast<int>(cStrLength(&text)); }

// ---- the temporary that SIGINT and SIGTERM remove ----

// Only the main thread writes the path, and only while the handler is disarmed; the handler
// runs on the main thread (other threads pass the signal on), so it never sees half a path.
// A longer path than this cannot be opened, so it never needs removing.
char g_cleanup_path[PATH_MAX];
volatile sig_atomic_t g_cleanup_armed = 0;
pthread_t g_main_thread;

void ArmCleanup(cStrView_t full_path) {
  g_cleanup_armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (full_path.length <= 0 || full_path.length >= static_cast<int64_t>(sizeof(g_cleanup_path))) return;
  std::memcpy(g_cleanup_path, full_path.data, static_cast<size_t>(full_path.length));
  g_cleanup_path[full_path.length] = '\0';
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_cleanup_armed = 1;
}

void DisarmCleanup() {
  g_cleanup_armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void RemoveTemporaryAndDie(int signal_number) {
  if (pthread_equal(pthread_self(), g_main_thread) == 0) {
    // A writer or reader thread took it: the main thread, stopped in its own handler, cannot
    // be changing the path.
    pthread_kill(g_main_thread, signal_number);
    return;
  }
  if (g_cleanup_armed != 0) ::unlink(g_cleanup_path);
  // Blocked until this handler returns; then the default action ends the process.
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// ---- one output ----

/// Closes the output; 0 when the close succeeded, else the reason (errno), the record freed.
int CloseOutput(cConverterHandler_t* stage) {
  cStream_t* output = stage->output;
  stage->output = nullptr;
  if (output == nullptr || streamClose(output) == 0) return 0;
  const int error = fileStreamError(output);
  streamClose(output);  // a failed close keeps the record for its error; the second frees it
  return error != 0 ? error : EIO;
}

/// Closes and removes the temporary of an output that is not to be published; the output's
/// name stays for a report.
void DiscardOutput(cConverterHandler_t* stage) {
  CloseOutput(stage);
  if (cStrLength(&stage->temporary) > 0 && !fsRemove(stage->output_fs, cStrViewOfStr(&stage->temporary)) &&
      errno != ENOENT) {
    const int error = errno;
    logMessage(kLogWarning, "Could not remove temporary file %.*s: %s", Len(stage->temporary),
               cStrData(&stage->temporary), std::strerror(error));
  }
  DisarmCleanup();  // only now: a signal before the removal still removes it
  cStrRelease(&stage->temporary);
}

/// Discards what an earlier file left and forgets its name and failure.
void ResetOutput(cConverterHandler_t* stage) {
  DiscardOutput(stage);
  cStrRelease(&stage->final_name);
  stage->open_error = 0;
}

/// "<folder>/.<name>.<pid>.part" for "<folder>/<name>": hidden, unique to this process, in the
/// output's own folder (so the rename stays within one file system), and no log file to a walk.
bool TemporaryName(cStr_t* out, cStrView_t final_name) {
  const cStrView_t folder = pathParent(final_name);
  const cStrView_t name = pathFileName(final_name);
  return (folder.length == 0 || cStrAppend(out, folder) != nullptr) &&
         cStrAppendFormat(out, ".%.*s.%ld%s", static_cast<int>(name.length), name.data, static_cast<long>(getpid()),
                          kTemporarySuffix) > 0;
}

/// Names the output and its temporary and opens the temporary as a file of its own making; 0,
/// or why it failed (errno), with no file left that it made.
int OpenOutput(cConverterHandler_t* stage, const cFileInfo_t* info) {
  if (!cStrInit(&stage->final_name, cStrViewOfStr(&info->OutputPath)) ||
      cStrAppend(&stage->final_name, cStrViewOf(kOutputSuffix)) == nullptr ||
      !TemporaryName(&stage->temporary, cStrViewOfStr(&stage->final_name))) {
    return ENOMEM;
  }
  // The rename would fail on a folder, but only after the whole conversion.
  cFileStat_t stat{};
  if (fsStat(stage->output_fs, cStrViewOfStr(&stage->final_name), &stat) && stat.kind == kFileKindDirectory) {
    return EISDIR;
  }
  cStr_t full{};
  if (!fsFullPath(stage->output_fs, cStrViewOfStr(&stage->temporary), &full)) {
    cStrRelease(&full);
    return ENOMEM;
  }
  // The handler is armed only once the name is this process's file, and yet none is left
  // behind: a signal that comes meanwhile (or is passed on by another thread) is taken after.
  const cEndingSignalsHeld_t held;
  // What is at the name was left by a killed run of the same pid, or planted: a link there
  // would have the output written into its target. Unlinking never follows a link.
  errno = 0;
  int error = 0;
  if (!fsRemove(stage->output_fs, cStrViewOfStr(&stage->temporary)) && errno != ENOENT) error = errno;
  if (error == 0) {
    errno = 0;
    stage->output = fsOpen(stage->output_fs, cStrViewOfStr(&stage->temporary), kOutputOpenFlags);
    if (stage->output == nullptr) {
      error = errno != 0 ? errno : EIO;
      // An open can fail after it made the file. EEXIST means the name was taken again since
      // the removal: that file is not this process's to remove.
      if (error != EEXIST) fsRemove(stage->output_fs, cStrViewOfStr(&stage->temporary));
    } else {
      ArmCleanup(cStrViewOfStr(&full));
    }
  }
  cStrRelease(&full);
  return error;
}

bool Deleting(const cConverterHandler_t* stage) { return stage->walker->settings->delete_converted != 0; }

/// The writer failed without a stream error (it logged its own reason).
constexpr int kWriterFailed = -1;

/// Writes the file, syncs it with "delete-converted" and closes it; 0, why it failed (errno),
/// or kWriterFailed.
int WriteOutput(cConverterHandler_t* stage) {
  const bool written = mdfWriterFinalize(stage->writer);
  // The writer has let go of the stream. A full disk shows at the latest in the close; with
  // "delete-converted" the bytes must be on the disk before the name is.
  int error = fileStreamError(stage->output);
  if (written && error == 0 && Deleting(stage) && !fileStreamSync(stage->output)) {
    error = fileStreamError(stage->output);
    if (error == 0) error = EIO;
  }
  const int close_error = CloseOutput(stage);
  if (error == 0) error = close_error;
  if (error == 0 && !written) error = kWriterFailed;
  return error;
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
  if (error != 0) {
    ResetOutput(stage);
    return false;
  }
  if (!fsRename(stage->output_fs, cStrViewOfStr(&stage->temporary), final_name)) {
    error = errno;
    logMessage(kLogError, "Could not rename %.*s to %.*s: %s", Len(stage->temporary), cStrData(&stage->temporary),
               name_length, final_name.data, std::strerror(error));
    ResetOutput(stage);
    return false;
  }
  // The file has its name: there is no temporary left to remove.
  DisarmCleanup();
  cStrRelease(&stage->temporary);

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
  action.sa_handler = RemoveTemporaryAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kEndingSignals) sigaddset(&action.sa_mask, signal_number);
  // Interrupted reads and writes resume: the process ends in the main thread's handler anyway.
  action.sa_flags = SA_RESTART;
  for (const int signal_number : kEndingSignals) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) != 0) return false;
    // A signal ignored by whoever started the run (a background job) stays ignored.
    if (previous.sa_handler == SIG_IGN) continue;
    if (sigaction(signal_number, &action, nullptr) != 0) return false;
  }
  return true;
}
