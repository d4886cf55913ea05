#include "app/walker.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/identity.h"
#include "app/output_names.h"
#include "app/passwords.h"
#include "app/removal.h"
#include "buslog/mdf_reader.h"
#include "mdf/memoryaccount.h"
#include "platform/container.h"
#include "platform/entry_map.h"
#include "platform/log.h"
#include "platform/mdf_log_bridge.h"
#include "platform/path.h"

namespace {

constexpr uint32_t kSplitLowByte = 0xFF;

int Len(cStrView_t view) { return static_cast<int>(view.length); }

/// Closes a stream; a failed close leaves the record, and a second close frees it.
bool CloseStream(cStream_t* stream) {
  if (streamClose(stream) == 0) return true;
  streamClose(stream);
  return false;
}

/// `prefix` + ('/' unless `prefix` is empty or ends in '/') + `name`.
bool JoinPath(cStr_t* out, cStrView_t prefix, cStrView_t name) {
  if (cStrAppend(out, prefix) == nullptr && prefix.length > 0) return false;
  if (prefix.length > 0 && prefix.data[prefix.length - 1] != '/' && cStrAppend(out, cStrViewOf("/")) == nullptr) {
    return false;
  }
  return name.length == 0 || cStrAppend(out, name) != nullptr;
}

/// The info line of a file met again; 0.
int SkipMetBefore(cStrView_t input, const cWalkerOutput_t& met) {
  logMessage(kLogInfo, "Skipping %.*s: it is the same file as %.*s, met earlier in this run", Len(input), input.data,
             static_cast<int>(cStrLength(&met.input)), cStrData(&met.input));
  return kExitSuccess;
}

/// Unwraps "Generic File" containers until the stream is none; 0, or the file's result.
/// `stream` is replaced by each layer's result, the previous one closed unless it is `base`
/// (the caller's own layer). The bodies are held in the file's `memory`, the last one's in
/// `body` (the caller's, as long as the stream is open); the key derivation of all layers
/// together within one bound. A body that memory cannot hold fails the file as memory that ran
/// short (`short_of_memory`, with 8).
int UnwrapContainers(const cWalker_t* walker, cStream_t** stream, const cStream_t* base, mdf::MemoryAccount* memory,
                     mdf::MemoryCharge* body, bool* short_of_memory) {
  cContainerHeader_t header{};
  cContainerBounds_t bounds;
  while (readContainerHeader(*stream, &header) == 1) {
    cStream_t* next = nullptr;
    bounds.memory = static_cast<int64_t>(std::min<uint64_t>(memory->Left(), std::numeric_limits<int64_t>::max()));
    if (header.kind == kContainerCompressed) {
      logMessage(kLogInfo, "Found compressed file");
      // Each layer may expand its body thousandfold: the depth is bounded as a decompression failure.
      if (containerDepth(*stream) < kMaxContainerLayers) next = openCompressedStream(*stream, &header, &bounds);
      if (next == nullptr && bounds.exceeded == kContainerOverMemory) {
        *short_of_memory = true;
        return kExitFileFailed;
      }
      if (next == nullptr) {
        logMessage(kLogError, "Could not decompress file");
        return kExitDecompression;
      }
    } else if (header.kind == kContainerEncrypted) {
      logMessage(kLogInfo, "Found encrypted file");
      const cStr_t* password = passwordForDevice(&walker->settings->passwords, header.device_id);
      if (password == nullptr) {
        logMessage(kLogError, "No password found for device %08X", header.device_id);
        return kExitNoPassword;
      }
      if (containerDepth(*stream) >= kMaxContainerLayers) {
        logMessage(kLogError, "Could not decompress file");
        return kExitDecompression;
      }
      next = openEncryptedStream(*stream, &header, reinterpret_cast<const uint8_t*>(cStrData(password)),
                                 static_cast<size_t>(cStrLength(password)), &bounds);
      if (next == nullptr && bounds.exceeded == kContainerOverMemory) {
        *short_of_memory = true;
        return kExitFileFailed;
      }
      if (next == nullptr) {
        logMessage(kLogError, "Could not decrypt file");
        return kExitNoPassword;
      }
    } else {
      return kExitFileFailed;
    }
    mdf::MemoryCharge held;
    held.Hold(memory, static_cast<uint64_t>(containerBodyMemory(next)));  // within what the bounds gave
    if (*stream != base) CloseStream(*stream);  // a container result holds the whole body; the layer below is done
    *stream = next;
    *body = std::move(held);
  }
  return kExitSuccess;
}

/// Drives the chain through one file; true when new-file, every record and end-file succeeded.
bool RunChain(cWalker_t* walker, const cFileInfo_t* info, uint8_t continuation) {
  bool ok = true;
  if (!recordHandlerNewFile(walker->head, info, continuation)) {
    logMessage(kLogError, "Error on new file");
    ok = false;
  } else if (cMdfReaderIterator_t* iterator = mdfReaderGetIterator(walker->reader)) {
    while (cBusMsgHelper_t* record = mdfReaderIteratorNext(iterator)) {
      if (!recordHandlerHandle(walker->head, record)) {
        logMessage(kLogError, "Error during handle record callback");
        ok = false;
        break;
      }
    }
    mdfReaderIteratorFree(iterator);
  } else {
    // Memory that ran short is told once the chain is done, as for every read of the file.
    if (!mdfReaderOutOfMemory(walker->reader)) {
      logMessage(kLogError, "Could not read the records of %.*s", static_cast<int>(cStrLength(&info->InputPath)),
                 cStrData(&info->InputPath));
    }
    ok = false;
  }
  // Also after a failure: the stages expect every new-file to end, and the converter closes
  // the output here (and discards it after a failure).
  walker->chain_failed = ok ? 0 : 1;
  if (!recordHandlerEndFile(walker->head, info)) {
    logMessage(kLogError, "Error during end file callback");
    ok = false;
  }
  walker->chain_failed = 0;
  return ok;
}

/// convertPath with what the walk had of the path before (its listing's entry, a top-level
/// input's stat taken before anything was converted), or null.
int ConvertPathSeen(cWalker_t* walker, cStrView_t input, cStrView_t output, const cFileStat_t* seen);

/// convertFile with the key of its output in the run's output set (outputKey).
int ConvertFileKeyed(cWalker_t* walker, cStrView_t input, cStrView_t output, cStrView_t output_key);

}  // namespace

cWalker_t* walkerNew(cFileSystem_t* input_fs, cFileSystem_t* output_fs, uint8_t create_dirs,
                     const cSettings_t* settings, cRecordHandler_t* head) {
  if (input_fs == nullptr || output_fs == nullptr || settings == nullptr || head == nullptr) return nullptr;
  auto* walker = static_cast<cWalker_t*>(std::calloc(1, sizeof(cWalker_t)));
  if (walker == nullptr) return nullptr;
  walker->input_fs = input_fs;
  walker->output_fs = output_fs;
  walker->create_dirs = create_dirs;
  walker->settings = settings;
  walker->head = head;
  installMdfLogBridge();
  return walker;
}

void walkerFree(cWalker_t* walker) {
  if (walker == nullptr) return;
  fileInfoRelease(&walker->previous);
  walkerOutputsRelease(&walker->outputs);
  walkerOutputsRelease(&walker->inputs);
  walkerOutputsRelease(&walker->output_folders);
  vecRelease(&walker->pending_output_folders, walkerOutputRelease);
  walkerOutputsRelease(&walker->published);
  walkerOutputsRelease(&walker->converted);
  std::free(walker);
}

bool fileContinues(const cFileInfo_t* previous, const cFileInfo_t* info) {
  if (cStrLength(&previous->SerialNumber) == 0) return false;
  if (!cStrViewEqual(cStrViewOfStr(&previous->SerialNumber), cStrViewOfStr(&info->SerialNumber))) return false;
  if (info->Session == previous->Session) {
    return info->Split == previous->Split || info->Split == previous->Split + 1;
  }
  return info->Session == previous->Session + 1 && info->Split == previous->Split + 1 &&
         (previous->Split & kSplitLowByte) == 0;
}

int convertInputs(cWalker_t* walker, const cVec_t<cStr_t>* inputs) {
  if (walker == nullptr || inputs == nullptr) return kExitStart;
  std::vector<int64_t> conflicts;
  std::vector<cFileStat_t> seen;
  if (!noteTopLevelPaths(walker, inputs, &conflicts, &seen)) return kExitStart;
  int result = kExitSuccess;
  for (int64_t i = 0; i < inputs->count; ++i) {
    const cStrView_t input = cStrViewOfStr(&inputs->items[i]);
    if (const int64_t other = conflicts[static_cast<size_t>(i)]; other >= 0) {
      const cStrView_t named = cStrViewOfStr(&inputs->items[other]);
      logMessage(kLogError, "Outputs of %.*s would go into the input %.*s: %.*s is not converted", Len(input),
                 input.data, Len(named), named.data, Len(input), input.data);
      result |= kExitFileFailed;
      continue;
    }
    cStr_t output{};
    if (!cStrInit(&output, input)) return kExitStart;
    if (walker->settings->no_append_root == 0) {
      cFileStat_t stat{};
      if (!fsStat(walker->input_fs, input, &stat)) {
        logMessage(kLogFatal, "Could not query %.*s for information", Len(input), input.data);
        cStrRelease(&output);
        return kExitStart;
      }
      if (stat.kind == kFileKindDirectory) {
        cStr_t suffixed{};
        const bool ok = folderOutputRoot(&suffixed, input);
        cStrRelease(&output);
        if (!ok) {
          cStrRelease(&suffixed);
          return kExitStart;
        }
        output = suffixed;
      }
    }
    result |= ConvertPathSeen(walker, input, cStrViewOfStr(&output), &seen[static_cast<size_t>(i)]);
    cStrRelease(&output);
  }
  return result;
}

int convertPath(cWalker_t* walker, cStrView_t input, cStrView_t output) {
  return ConvertPathSeen(walker, input, output, nullptr);
}

namespace {

int ConvertPathSeen(cWalker_t* walker, cStrView_t input, cStrView_t output, const cFileStat_t* seen) {
  cFileStat_t stat{};
  if (!fsStat(walker->input_fs, input, &stat)) {
    logMessage(kLogFatal, "Error during stat of %.*s, exiting", Len(input), input.data);
    return kExitStart;
  }
  switch (stat.kind) {
    case kFileKindDirectory: {
      // An output tree inside an input is left out. One that holds a named input is no such
      // tree: its input is refused (noteTopLevelPaths).
      if (const cWalkerOutput_t* owner = outputFolderOwner(walker, input)) {
        logMessage(kLogInfo, "Skipping %.*s: it holds the outputs of %.*s", Len(input), input.data,
                   static_cast<int>(cStrLength(&owner->input)), cStrData(&owner->input));
        return kExitSuccess;
      }
      cFsEntryMap_t entries{};
      if (!fsList(walker->input_fs, input, &entries)) {
        // An unreadable folder is no empty one: its files are not converted.
        logMessage(kLogError, "Could not list folder %.*s", Len(input), input.data);
        entryMapRelease(&entries);
        return kExitFileFailed;
      }
      int result = kExitSuccess;
      // Recursion depth is bounded by the path length the system accepts: each level adds a
      // name and a '/', and a path too long for stat ends the descent there.
      const cFsEntryMap_t* outer_listing = walker->listing;
      walker->listing = &entries;
      cFsEntryIter_t iter{};
      entryMapIterBegin(&iter, &entries);
      while (const cFsEntryNode_t* entry = entryMapIterNext(&iter)) {
        const cStrView_t name = cStrViewOfStr(&entry->name);
        cStr_t child_input{};
        cStr_t child_output{};
        if (JoinPath(&child_input, input, name) && JoinPath(&child_output, output, name)) {
          result |= ConvertPathSeen(walker, cStrViewOfStr(&child_input), cStrViewOfStr(&child_output), &entry->stat);
        } else {
          logMessage(kLogError, "Could not convert %.*s in %.*s: out of memory", Len(name), name.data, Len(input),
                     input.data);
          result |= kExitFileFailed;
        }
        cStrRelease(&child_input);
        cStrRelease(&child_output);
      }
      walker->listing = outer_listing;
      entryMapRelease(&entries);
      return result;
    }
    case kFileKindRegular: {
      if (isRemovingName(pathFileName(input))) {
        // A run removing an input holds one for a moment; one ended before it removed the
        // input or moved it back, or whose ways back were all taken, leaves one: a recording,
        // converted or not, that no walk takes for an input.
        logMessage(kLogError,
                   "Found %.*s, the hidden name of an input that a run is removing or could not remove or move "
                   "back: it may hold a recording, perhaps its only copy, and is not converted",
                   Len(input), input.data);
        return kExitFileFailed;
      }
      if (!isLogFile(input)) return kExitSuccess;
      if (const cWalkerOutput_t* writer = findFile(&walker->published, stat, cKeyed_t::kIdentityAndState)) {
        logMessage(kLogInfo, "Skipping %.*s: it is the output of %.*s", Len(input), input.data,
                   static_cast<int>(cStrLength(&writer->input)), cStrData(&writer->input));
        return kExitSuccess;
      }
      if (const cWalkerOutput_t* met = metBefore(walker, stat)) return SkipMetBefore(input, *met);
      const cStrView_t extension = pathExtension(output);
      const cStrView_t name = pathFileName(output);
      // A dotless name is its own extension: only the name goes, never the '/' before it.
      const int64_t cut = extension.length + (extension.length < name.length ? 1 : 0);
      const cStrView_t stem{output.data, output.length > cut ? output.length - cut : 0};
      const cStrView_t folder = pathParent(stem);
      if (walker->create_dirs != 0 && !fsMakeDirs(walker->output_fs, folder)) {
        const int error = errno;
        const int64_t shown = folder.length > 1 ? folder.length - 1 : folder.length;  // without its '/'
        logMessage(kLogError, "Could not make folder %.*s: %s", static_cast<int>(shown), folder.data,
                   std::strerror(error));
        logMessage(kLogError, "Error during conversion of %.*s", Len(input), input.data);
        return kExitFileFailed;
      }
      const int result = convertFile(walker, input, stem);
      if (result != kExitSuccess) logMessage(kLogError, "Error during conversion of %.*s", Len(input), input.data);
      return result;
    }
    case kFileKindMissing:
      // Gone, perhaps because this run converted and removed it under another path.
      if (const cWalkerOutput_t* met = seen != nullptr ? metBefore(walker, *seen) : nullptr) {
        return SkipMetBefore(input, *met);
      }
      logMessage(kLogError, "Could not find input file/folder %.*s", Len(input), input.data);
      return kExitInputMissing;
    default:
      return kExitStart;
  }
}

}  // namespace

int convertFile(cWalker_t* walker, cStrView_t input, cStrView_t output) {
  cStr_t output_key{};
  if (!outputKey(walker, output, &output_key)) {
    cStrRelease(&output_key);
    return kExitFileFailed;
  }
  const int result = ConvertFileKeyed(walker, input, output, cStrViewOfStr(&output_key));
  cStrRelease(&output_key);
  return result;
}

namespace {

int ConvertFileKeyed(cWalker_t* walker, cStrView_t input, cStrView_t output, cStrView_t output_key) {
  if (const cWalkerOutput_t* earlier = hashMapLookup(&walker->outputs, output_key)) {
    logMessage(kLogError, "Output %.*s%s of %.*s was written for %.*s already", Len(output), output.data, kOutputSuffix,
               Len(input), input.data, static_cast<int>(cStrLength(&earlier->input)), cStrData(&earlier->input));
    return kExitFileFailed;
  }
  cStr_t replaced{};
  const cReplaces_t replaces = replacedInput(walker, input, output, &replaced);
  if (replaces == cReplaces_t::kInput) {
    logMessage(kLogError, "Output %.*s%s of %.*s would replace the input %.*s", Len(output), output.data, kOutputSuffix,
               Len(input), input.data, static_cast<int>(cStrLength(&replaced)), cStrData(&replaced));
  } else if (replaces == cReplaces_t::kOutput) {
    logMessage(kLogError, "Output %.*s%s of %.*s was written for %.*s already", Len(output), output.data, kOutputSuffix,
               Len(input), input.data, static_cast<int>(cStrLength(&replaced)), cStrData(&replaced));
  }
  cStrRelease(&replaced);
  if (replaces != cReplaces_t::kNothing) return kExitFileFailed;

  cFileInfo_t info{};
  if (!cStrInit(&info.InputPath, input) || !cStrInit(&info.OutputPath, output)) {
    fileInfoRelease(&info);
    return kExitFileFailed;
  }

  // Before the open: a file put in its place later differs from this one.
  cFileStat_t opened{};
  const bool deleting = walker->settings->delete_converted != 0;
  const bool identified = fsStat(walker->input_fs, input, &opened);
  // Met from here on, whatever the outcome: another path to it gives nothing new.
  if (const cIdentityKey_t key(opened, cKeyed_t::kIdentityAndState); identified && key.Known()) {
    walkerOutputsRemember(&walker->converted, key.View(), input);  // short memory only costs a skip
  }
  cStream_t* file = fsOpen(walker->input_fs, input, kInputOpenFlags);
  if (file == nullptr) {
    logMessage(kLogError, "Could not open input file %.*s", Len(input), input.data);
    fileInfoRelease(&info);
    return kExitFileFailed;
  }

  int result = kExitSuccess;
  // With "delete-converted" the file's bytes are digested as the conversion reads them (below
  // every buffer and container layer), so that the file removed can be checked to hold them.
  // This layer and the file stay open until the conversion is over; the ones above are closed
  // as they are done.
  // (Short memory leaves it out: the input is then converted but kept.)
  cStream_t* digest = deleting ? digestStreamNew(file) : nullptr;
  cStream_t* const raw = digest != nullptr ? digest : file;
  cStream_t* stream = raw;
  const int64_t size = streamSize(stream);
  // What the conversion holds beyond the records, container bodies first, is bounded per file.
  mdf::MemoryAccount memory(mdf::MemoryAccount::CeilingFor(size));
  mdf::MemoryCharge body;  // of the last container layer, while `stream` is open
  bool short_of_memory = false;
  int64_t buffer = walker->settings->buffer_size;
  if (buffer < 0) buffer = size;
  if (result == kExitSuccess && buffer > 0) {
    cStream_t* buffered = bufferedStreamNew(stream, false, buffer);
    if (buffered == nullptr) {
      short_of_memory = true;
      result = kExitFileFailed;
    } else {
      stream = buffered;
    }
  }

  if (result == kExitSuccess) result = UnwrapContainers(walker, &stream, raw, &memory, &body, &short_of_memory);

  if (result == kExitSuccess) {
    walker->reader = mdfReaderOpen(stream, input, &memory, &short_of_memory);
    if (walker->reader == nullptr) {
      if (!short_of_memory) logMessage(kLogError, "Could not open MDF");
      result = kExitFileFailed;
    }
  }
  if (short_of_memory) logMessage(kLogError, "Out of memory while reading input file %.*s", Len(input), input.data);

  if (result == kExitSuccess) {
    mdfReaderGetFileInfo(walker->reader, &info);
    if (cStrLength(&info.SerialNumber) == 0 || info.Session == 0 || info.Split == 0) {
      logMessage(kLogError, "Could not parse file header");
      result = kExitFileFailed;
    }
  }

  bool chain_ok = false;
  if (result == kExitSuccess) {
    const cFileInfo_t* previous = &walker->previous;
    if (cStrLength(&previous->SerialNumber) > 0 &&
        cStrViewEqual(cStrViewOfStr(&previous->SerialNumber), cStrViewOfStr(&info.SerialNumber)) &&
        previous->Session == info.Session && previous->Split == info.Split) {
      logMessage(kLogWarning, "Repeated input file (%s, %08u, %08u)", cStrData(&info.SerialNumber), info.Session,
                 info.Split);
    }
    const uint8_t continuation = fileContinues(previous, &info) ? 1 : 0;
    fileInfoRelease(&walker->previous);
    fileInfoCopy(&walker->previous, &info);  // short memory leaves it empty: the next file starts afresh

    if (!walkerOutputsRemember(&walker->outputs, output_key, input)) {
      result = kExitFileFailed;
    } else {
      chain_ok = RunChain(walker, &info, continuation);
      // The output holds every frame that could be read, but not all the file holds.
      if (const char* damage = mdfReaderFirstDamage(walker->reader); damage != nullptr) {
        if (mdfReaderOutOfMemory(walker->reader)) {
          logMessage(kLogError, "Out of memory while reading input file %.*s", Len(input), input.data);
        } else {
          logMessage(kLogError, "Damaged input file %.*s: %s", Len(input), input.data, damage);
        }
        result = kExitFileFailed;
      }
    }
  }

  mdfReaderClose(walker->reader);
  walker->reader = nullptr;
  if (stream != raw) CloseStream(stream);
  body.Release();
  // The bytes the conversion left unread (a tail no block reaches) count as read now.
  cStreamDigest_t converted{};
  if (result == kExitSuccess && chain_ok && deleting) {
    errno = digest == nullptr ? ENOMEM : 0;
    if (digest == nullptr || !digestStreamFinish(digest, &converted)) {
      keptUnread(input, errno != 0 ? errno : EIO);
      result = kExitFileFailed;
    }
  }
  streamClose(digest);
  if (!CloseStream(file)) {
    logMessage(kLogError, "Could not close input file after conversion: %.*s", Len(input), input.data);
    result = kExitFileFailed;
  }
  if (result == kExitSuccess && !chain_ok) result = kExitFileFailed;

  if (chain_ok) notePublished(walker, output, input);  // published, also when damage fails the file

  // Only now is the output complete, closed, under its name and, with "delete-converted",
  // durable (the converter's end-file). An input that is gone already was removed by another
  // run: nothing is lost, but this run did not finish it. One that changed since it was
  // opened (written to, or replaced) holds what the output may lack.
  cFileStat_t now{};
  if (result == kExitSuccess && deleting && fsStat(walker->input_fs, input, &now) && now.kind != kFileKindMissing &&
      !(identified && fileUnchanged(opened, now))) {
    result = keptChanged(input);
  }
  if (result == kExitSuccess && deleting) result = removeConvertedInput(walker->input_fs, input, opened, converted);
  fileInfoRelease(&info);
  return result;
}

}  // namespace
