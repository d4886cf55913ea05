#include "app/walker.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/output_names.h"
#include "app/passwords.h"
#include "buslog/mdf_reader.h"
#include "platform/container.h"
#include "platform/log.h"
#include "platform/mdf_log_bridge.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/utf8.h"

namespace {

// Inputs are opened for reading; the extra bit is the share flag that the native kind ignores.
constexpr int kInputOpenFlags = kFsOpenRead | 4;
constexpr char kFolderSuffix[] = "_out";
constexpr uint32_t kSplitLowByte = 0xFF;
// The private name an input is moved to just before its removal, in its own folder: this
// prefix, then random hexadecimal digits. It is no longer than the input's name (nor than the
// cap, which leaves 88 random bits), so it fits wherever that name fits, in the folder and in
// a path; hidden, and never a log file to a walk ("~" is in its extension). A name taken (a
// leftover of a killed run, another run's, a short name's few digits) is tried again.
constexpr char kRemovingPrefix[] = ".~";
constexpr int64_t kRemovingMaxLength = 24;
constexpr int64_t kRemovingMinDigits = 1;
constexpr int kRemovingAttempts = 16;

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

void ReleaseOutput(cWalkerOutput_t* output) {
  cStrRelease(&output->key);
  cStrRelease(&output->input);
}

void ReleaseOutputs(cWalkerOutputSet_t* outputs) {
  for (uint32_t i = 0; i < outputs->buckets; ++i) {
    if (outputs->control[i] != 0) ReleaseOutput(&outputs->entries[i]);
  }
  hashMapRelease(outputs);
}

/// The input that already wrote this output in the run, or null.
const cWalkerOutput_t* FindOutput(const cWalker_t* walker, cStrView_t output) {
  return hashMapLookup(&walker->outputs, output);
}

/// Remembers the path with its input (a path already there keeps its input); false when
/// memory is short.
bool Remember(cWalkerOutputSet_t* set, cStrView_t key, cStrView_t input) {
  const cHashInsert_t<cWalkerOutput_t> slot = hashMapInsert(set, key);
  if (slot.entry == nullptr) return false;
  if (!slot.inserted) return true;
  if (cStrInit(&slot.entry->key, key) && cStrInit(&slot.entry->input, input)) return true;
  // The bucket is claimed and cannot be given back; it stays with an empty key.
  ReleaseOutput(slot.entry);
  return false;
}

/// What a key tells of a file: which one it is, or also the state of its bytes (size and time
/// of change), which a file that took over a removed file's inode number does not share.
enum class Keyed { kIdentity, kIdentityAndState };

/// A text key of the file, in `buffer`; empty when the file system cannot tell its identity.
struct IdentityKey {
  explicit IdentityKey(const cFileStat_t& stat, Keyed keyed = Keyed::kIdentity) {
    if (stat.device == 0 && stat.inode == 0) return;
    length =
        keyed == Keyed::kIdentity
            ? std::snprintf(buffer, sizeof(buffer), "%llx:%llx", static_cast<unsigned long long>(stat.device),
                            static_cast<unsigned long long>(stat.inode))
            : std::snprintf(buffer, sizeof(buffer), "%llx:%llx:%llx:%llx", static_cast<unsigned long long>(stat.device),
                            static_cast<unsigned long long>(stat.inode), static_cast<unsigned long long>(stat.size),
                            static_cast<unsigned long long>(stat.modified_ns));
  }
  [[nodiscard]] cStrView_t View() const { return {buffer, length}; }
  [[nodiscard]] bool Known() const { return length > 0; }
  char buffer[80] = {};
  int64_t length = 0;
};

/// The entry of `set` for the file, or null (also when its identity is unknown).
const cWalkerOutput_t* FindFile(const cWalkerOutputSet_t* set, const cFileStat_t& stat,
                                Keyed keyed = Keyed::kIdentity) {
  const IdentityKey key(stat, keyed);
  return key.Known() ? hashMapLookup(set, key.View()) : nullptr;
}

/// Whether two stats are of one file; false when either identity is unknown.
bool SameFile(const cFileStat_t& a, const cFileStat_t& b) {
  return IdentityKey(a).Known() && a.device == b.device && a.inode == b.inode;
}

/// Whether a file at another name is still the one first seen, as far as a rename cannot
/// change it: identity and size. (Some file systems give a renamed file new times: fusefat
/// writes the time of the rename.)
bool SameFileAndSize(const cFileStat_t& before, const cFileStat_t& now) {
  return before.kind == now.kind && before.size == now.size && before.device == now.device && before.inode == now.inode;
}

/// Whether the file under its name is still the one first seen, bytes unchanged as far as its
/// size and times tell: the time of status change too, which no caller can set, so a rewrite
/// that puts the modification time back (cp -p, touch -r) still shows.
bool Unchanged(const cFileStat_t& before, const cFileStat_t& now) {
  return SameFileAndSize(before, now) && before.modified_ns == now.modified_ns && before.changed_ns == now.changed_ns;
}

/// Root + path in `out`, with a trailing '/' when `folder`; false when memory is short.
bool FullPathOf(const cFileSystem_t* fs, cStrView_t path, bool folder, cStr_t* out) {
  if (!fsFullPath(fs, path, out)) return false;
  const int64_t length = cStrLength(out);
  if (folder && (length == 0 || cStrData(out)[length - 1] != '/')) return cStrAppend(out, cStrViewOf("/")) != nullptr;
  return true;
}

/// The top-level input with "_out" inserted at its first '/' (appended without one).
bool AppendRoot(cStr_t* out, cStrView_t input) {
  int64_t slash = 0;
  while (slash < input.length && input.data[slash] != '/') ++slash;
  return cStrInit(out, {input.data, slash}) && cStrAppend(out, cStrViewOf(kFolderSuffix)) != nullptr &&
         (slash == input.length || cStrAppend(out, {input.data + slash, input.length - slash}) != nullptr);
}

/// Whether the full path is the folder (a full path ending in '/') or lies in it.
bool Within(const std::string& path, const std::string& folder) {
  return !folder.empty() && folder.back() == '/' && path.compare(0, folder.size(), folder) == 0;
}

/// Notes the top-level inputs by identity, and the output folder of each folder input that is
/// not the input itself, for the walk to skip (also where it lies in another input). A folder
/// input whose output tree holds another top-level input would write over what the run is to
/// convert: `conflicts` gets, per input, the index of that other input, or -1; `seen` gets
/// each input's stat (kind missing where it fails), taken before anything is converted. An
/// input that cannot be stat'ed is left to the walk, which reports it. False when memory is
/// short.
bool NoteTopLevelPaths(cWalker_t* walker, const cVec_t<cStr_t>* inputs, std::vector<int64_t>* conflicts,
                       std::vector<cFileStat_t>* seen) {
  ReleaseOutputs(&walker->inputs);
  ReleaseOutputs(&walker->output_folders);
  std::vector<std::string> owns;
  std::vector<std::string> trees;  // empty: no tree of its own
  bool ok = true;
  for (int64_t i = 0; ok && i < inputs->count; ++i) {
    const cStrView_t input = cStrViewOfStr(&inputs->items[i]);
    cFileStat_t stat{};
    const bool known = fsStat(walker->input_fs, input, &stat);
    seen->push_back(known ? stat : cFileStat_t{kFileKindMissing, 0});
    const bool folder = known && stat.kind == kFileKindDirectory;
    const IdentityKey key(stat);
    if (known && key.Known()) ok = Remember(&walker->inputs, key.View(), input);
    cStr_t own{};
    cStr_t output{};
    cStr_t tree{};
    ok = ok && FullPathOf(walker->input_fs, input, folder, &own);
    if (ok && folder) {
      ok = (walker->settings->no_append_root != 0 ? cStrInit(&output, input) : AppendRoot(&output, input)) &&
           FullPathOf(walker->output_fs, cStrViewOfStr(&output), true, &tree);
    }
    if (ok) {
      owns.emplace_back(cStrData(&own), static_cast<size_t>(cStrLength(&own)));
      // Outputs beside their inputs ("no-append-root" without an output folder) are no tree of
      // their own: the walk lists the folder before it writes into it.
      const bool beside = !folder || cStrViewEqual(cStrViewOfStr(&tree), cStrViewOfStr(&own));
      trees.emplace_back(beside ? std::string() : std::string(cStrData(&tree), static_cast<size_t>(cStrLength(&tree))));
    }
    cStrRelease(&own);
    cStrRelease(&output);
    cStrRelease(&tree);
  }
  if (!ok) return false;
  conflicts->assign(owns.size(), -1);
  for (size_t i = 0; i < owns.size(); ++i) {
    if (trees[i].empty()) continue;
    for (size_t j = 0; j < owns.size() && (*conflicts)[i] < 0; ++j) {
      if (j != i && owns[j] != owns[i] && Within(owns[j], trees[i])) (*conflicts)[i] = static_cast<int64_t>(j);
    }
    // A refused input writes nothing: its output tree is no reason to leave a folder out.
    if ((*conflicts)[i] < 0) {
      const cStrView_t tree{trees[i].data(), static_cast<int64_t>(trees[i].size())};
      ok = ok && Remember(&walker->output_folders, tree, cStrViewOfStr(&inputs->items[i]));
    }
  }
  return ok;
}

/// The top-level input whose output folder this folder is, or null.
const cWalkerOutput_t* OutputFolderOwner(const cWalker_t* walker, cStrView_t folder) {
  if (walker->output_folders.size == 0) return nullptr;
  cStr_t full{};
  const cWalkerOutput_t* owner = nullptr;
  if (FullPathOf(walker->input_fs, folder, true, &full))
    owner = hashMapLookup(&walker->output_folders, cStrViewOfStr(&full));
  cStrRelease(&full);
  return owner;
}

/// Notes a published output by identity and state, so that the walk never takes it for an
/// input. One that cannot be noted (short memory) only costs its skip.
void NotePublished(cWalker_t* walker, cStrView_t output, cStrView_t input) {
  cStr_t name{};
  cFileStat_t stat{};
  if (cStrInit(&name, output) && cStrAppend(&name, cStrViewOf(kOutputSuffix)) != nullptr &&
      fsStat(walker->output_fs, cStrViewOfStr(&name), &stat)) {
    const IdentityKey key(stat, Keyed::kIdentityAndState);
    if (key.Known()) Remember(&walker->published, key.View(), input);
  }
  cStrRelease(&name);
}

/// The info line of a file met again; 0.
int SkipMetBefore(cStrView_t input, const cWalkerOutput_t& met) {
  logMessage(kLogInfo, "Skipping %.*s: it is the same file as %.*s, met earlier in this run", Len(input), input.data,
             static_cast<int>(cStrLength(&met.input)), cStrData(&met.input));
  return kExitSuccess;
}

/// The path before which the walk met this file for conversion, or null: a file converted
/// already, whatever path reaches it now. Identity and state, so that a new file on a removed
/// input's inode number is no such file. `stat` is what the walk has of it: a stat now, or
/// one taken before (when the path is gone, perhaps removed by this run).
const cWalkerOutput_t* MetBefore(const cWalker_t* walker, const cFileStat_t& stat) {
  return stat.kind == kFileKindRegular ? FindFile(&walker->converted, stat, Keyed::kIdentityAndState) : nullptr;
}

enum class Replaces { kNothing, kInput, kOutput, kNoMemory };

/// Whether two names are one to a file system that ignores case.
bool SameNameButForCase(cStrView_t a, cStrView_t b) {
  cStr_t folded_a{};
  cStr_t folded_b{};
  const bool same = utf8CaseTransform(&folded_a, a, kUtf8CaseFold) != nullptr &&
                    utf8CaseTransform(&folded_b, b, kUtf8CaseFold) != nullptr &&
                    cStrViewEqual(cStrViewOfStr(&folded_a), cStrViewOfStr(&folded_b));
  cStrRelease(&folded_a);
  cStrRelease(&folded_b);
  return same;
}

/// Whether `existing`, found under the output's name, is the file `listed` of the walked folder.
/// Where a name reaches a file of another spelling, FUSE drivers (exfat-fuse, fusefat) give each
/// spelling a node and an inode number of its own: there a file named alike but for case, whose
/// size and times are the ones found, is that file. `folded` tells whether the two names are
/// alike but for case, in the output's folder, and the output's own name is not listed there.
bool Reaches(const cFileStat_t& existing, const cFileStat_t& listed, bool folded) {
  if (listed.kind != kFileKindRegular) return false;
  if (SameFile(listed, existing)) return true;
  return folded && listed.device == existing.device && listed.size == existing.size &&
         listed.modified_ns == existing.modified_ns && listed.changed_ns == existing.changed_ns;
}

/// Whether the output's name `target`, found as `existing`, reaches another spelling of a
/// top-level input in the same folder (a FUSE driver that gives each spelling its own inode
/// number); `other` gets that input's path. Inputs named on the command line are few.
bool ReachesTopLevelInput(const cWalker_t* walker, cStrView_t target, const cFileStat_t& existing, cStr_t* other) {
  const cStrView_t name = pathFileName(target);
  cStr_t output_folder{};
  bool found = FullPathOf(walker->output_fs, pathParent(target), true, &output_folder);
  const cWalkerOutputSet_t& inputs = walker->inputs;
  for (uint32_t i = 0; found && i < inputs.buckets; ++i) {
    if (inputs.control[i] == 0) continue;
    const cStrView_t input = cStrViewOfStr(&inputs.entries[i].input);
    cStr_t input_folder{};
    cFileStat_t stat{};
    const bool alike = !cStrViewEqual(pathFileName(input), name) && SameNameButForCase(pathFileName(input), name) &&
                       FullPathOf(walker->input_fs, pathParent(input), true, &input_folder) &&
                       cStrViewEqual(cStrViewOfStr(&input_folder), cStrViewOfStr(&output_folder));
    cStrRelease(&input_folder);
    if (alike && fsStat(walker->input_fs, input, &stat) && Reaches(existing, stat, true)) {
      cStrRelease(&output_folder);
      cStrInit(other, input);  // short memory leaves the line without the name, not the refusal
      return true;
    }
  }
  cStrRelease(&output_folder);
  return false;
}

/// The log file of the folder being walked that the output's name `target` reaches (found there
/// as `existing`), or null. Its name may be spelt otherwise (case-insensitive file systems).
const cFsEntryNode_t* ListedLogFile(const cWalker_t* walker, cStrView_t input, cStrView_t target,
                                    const cFileStat_t& existing, bool* folded) {
  *folded = false;
  if (walker->listing == nullptr) return nullptr;
  // Only a name of the walked folder itself can be reached by another spelling of it.
  const cStrView_t name = pathFileName(target);
  cStr_t input_folder{};
  cStr_t output_folder{};
  const bool same_folder = FullPathOf(walker->input_fs, pathParent(input), true, &input_folder) &&
                           FullPathOf(walker->output_fs, pathParent(target), true, &output_folder) &&
                           cStrViewEqual(cStrViewOfStr(&input_folder), cStrViewOfStr(&output_folder)) &&
                           entryMapFind(walker->listing, name) == nullptr;
  cStrRelease(&input_folder);
  cStrRelease(&output_folder);
  cFsEntryIter_t iter{};
  entryMapIterBegin(&iter, walker->listing);
  while (const cFsEntryNode_t* entry = entryMapIterNext(&iter)) {
    const cStrView_t listed = cStrViewOfStr(&entry->name);
    const bool alike = same_folder && SameNameButForCase(listed, name);
    if (isLogFile(listed) && Reaches(existing, entry->stat, alike)) {
      *folded = alike;
      return entry;
    }
  }
  return nullptr;
}

/// Whether the output would replace a file this run lists as an input (a top-level input, or
/// a log file of the folder being walked, where outputs beside their inputs land) or an output
/// it wrote. Decided by what the output's name leads to on the disk, never by its spelling: no
/// link, "..", nor a file system that ignores case hides an input. `other` gets the path of
/// that input, or of the input whose output it is.
Replaces ReplacedInput(const cWalker_t* walker, cStrView_t input, cStrView_t output, cStr_t* other) {
  cStr_t target{};
  if (!cStrInit(&target, output) || cStrAppend(&target, cStrViewOf(kOutputSuffix)) == nullptr) {
    cStrRelease(&target);
    return Replaces::kNoMemory;
  }
  Replaces result = Replaces::kNothing;
  cFileStat_t existing{};
  bool folded = false;
  if (fsStat(walker->output_fs, cStrViewOfStr(&target), &existing) && existing.kind == kFileKindRegular) {
    if (const cWalkerOutput_t* listed = FindFile(&walker->inputs, existing)) {
      result = cStrInit(other, cStrViewOfStr(&listed->input)) ? Replaces::kInput : Replaces::kNoMemory;
    } else if (ReachesTopLevelInput(walker, cStrViewOfStr(&target), existing, other)) {
      result = Replaces::kInput;
    } else if (const cWalkerOutput_t* writer = FindFile(&walker->published, existing, Keyed::kIdentityAndState)) {
      result = cStrInit(other, cStrViewOfStr(&writer->input)) ? Replaces::kOutput : Replaces::kNoMemory;
    } else if (const cFsEntryNode_t* entry = ListedLogFile(walker, input, cStrViewOfStr(&target), existing, &folded)) {
      // Only if the listed name still holds that very file: the listing may be older.
      cStr_t beside{};
      cFileStat_t stat{};
      if (!cStrInit(&beside, pathParent(input)) || cStrAppend(&beside, cStrViewOfStr(&entry->name)) == nullptr) {
        result = Replaces::kNoMemory;
      } else if (fsStat(walker->input_fs, cStrViewOfStr(&beside), &stat) && Reaches(existing, stat, folded)) {
        result = cStrInit(other, cStrViewOfStr(&beside)) ? Replaces::kInput : Replaces::kNoMemory;
      }
      cStrRelease(&beside);
    }
  }
  cStrRelease(&target);
  return result;
}

/// Unwraps "Generic File" containers until the stream is none; 0, or the file's result.
/// `stream` is replaced by each layer's result, the previous one closed.
int UnwrapContainers(const cWalker_t* walker, cStream_t** stream) {
  cContainerHeader_t header{};
  while (readContainerHeader(*stream, &header) == 1) {
    cStream_t* next = nullptr;
    if (header.kind == kContainerCompressed) {
      logMessage(kLogInfo, "Found compressed file");
      // Each layer may expand its body thousandfold: the depth is bounded as a decompression failure.
      if (containerDepth(*stream) < kMaxContainerLayers) next = openCompressedStream(*stream, &header);
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
                                 static_cast<size_t>(cStrLength(password)));
      if (next == nullptr) {
        logMessage(kLogError, "Could not decrypt file");
        return kExitNoPassword;
      }
    } else {
      return kExitFileFailed;
    }
    CloseStream(*stream);  // a container result holds the whole body; the layer below is done
    *stream = next;
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
    logMessage(kLogError, "Could not read the records of %.*s", static_cast<int>(cStrLength(&info->InputPath)),
               cStrData(&info->InputPath));
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

/// Whether a file name is one RemovingName makes: the prefix, then hexadecimal digits only.
bool IsRemovingName(cStrView_t name) {
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

/// The line of an input that is no longer the file converted; 8.
int KeptChanged(cStrView_t input) {
  logMessage(kLogError, "Input file %.*s changed during its conversion and is kept", Len(input), input.data);
  return kExitFileFailed;
}

/// Removes the input under its own name, where it cannot be moved aside (no room for a copy
/// that a rename would need, as from an overlay's lower layer; no rename that refuses a taken
/// name): checked once more right before the unlink, as then only a rename over it in between
/// can beat the check.
int RemoveInPlace(cFileSystem_t* fs, cStrView_t input, const cFileStat_t& opened, const cFsLease_t& lease) {
  cFileStat_t now{};
  if (fsStat(fs, input, &now) && now.kind != kFileKindMissing && !Unchanged(opened, now)) return KeptChanged(input);
  if (fsLeaseBroken(&lease)) return KeptOpenForWriting(input);
  return RemoveByName(fs, input);
}

/// A lease held from the probe until the input is removed or kept.
struct HeldLease {
  HeldLease() = default;
  ~HeldLease() { fsLeaseRelease(&lease); }
  HeldLease(const HeldLease&) = delete;
  HeldLease& operator=(const HeldLease&) = delete;
  cFsLease_t lease{};
};

/// Removes the input once its output is durable: exactly the file converted (`opened`, the
/// stat taken before it was opened), never one that replaced it, and not while another
/// descriptor holds it open. 0, or 8 with a line saying why it is kept.
int RemoveConvertedInput(cWalker_t* walker, cStrView_t input, const cFileStat_t& opened) {
  cFileSystem_t* fs = walker->input_fs;
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
  if (!Unchanged(opened, held)) return KeptChanged(input);
  if (use == kFsInUse) return KeptOpenForWriting(input);
  // Without identities the private name could not tell the file apart either.
  if (!IdentityKey(opened).Known()) return RemoveByName(fs, input);

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
    if (error == ENOSYS || error == ENOSPC || error == EXDEV) return RemoveInPlace(fs, input, opened, held_lease.lease);
    logMessage(kLogError, "Could not remove input file after conversion: %.*s: %s", Len(input), input.data,
               std::strerror(error));
    return kExitFileFailed;
  }
  const cStrView_t aside_name = cStrViewOfStr(&aside);
  cFileStat_t now{};
  const bool stated = fsStat(fs, aside_name, &now);
  error = errno;
  const bool same = stated && SameFileAndSize(opened, now);
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
  } else if (!stated || same) {
    logMessage(kLogError, "Could not remove input file after conversion: %.*s: %s", Len(input), input.data,
               std::strerror(error));
  } else {
    KeptChanged(input);
  }
  // Back under its name, unless another file took that name meanwhile: neither is lost.
  if (!fsRenameNoReplace(fs, aside_name, input)) {
    error = errno;
    logMessage(kLogError, "Could not move input file %.*s back: it is now %.*s: %s", Len(input), input.data,
               Len(aside_name), aside_name.data, std::strerror(error));
  }
  cStrRelease(&aside);
  return kExitFileFailed;
}

/// convertPath with what the walk had of the path before (its listing's entry, a top-level
/// input's stat taken before anything was converted), or null.
int ConvertPathSeen(cWalker_t* walker, cStrView_t input, cStrView_t output, const cFileStat_t* seen);

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
  ReleaseOutputs(&walker->outputs);
  ReleaseOutputs(&walker->inputs);
  ReleaseOutputs(&walker->output_folders);
  ReleaseOutputs(&walker->published);
  ReleaseOutputs(&walker->converted);
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

int convertInputs(cWalker_t* walker, const cVec_t<cStr_t>* inputs) {
  if (walker == nullptr || inputs == nullptr) return kExitStart;
  std::vector<int64_t> conflicts;
  std::vector<cFileStat_t> seen;
  if (!NoteTopLevelPaths(walker, inputs, &conflicts, &seen)) return kExitStart;
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
        const bool ok = AppendRoot(&suffixed, input);
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
      // tree: its input is refused (NoteTopLevelPaths).
      if (const cWalkerOutput_t* owner = OutputFolderOwner(walker, input)) {
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
      if (IsRemovingName(pathFileName(input))) {
        // Only a run ended between moving an input aside and removing it or moving it back
        // leaves one: a recording, converted or not, that no walk takes for an input.
        logMessage(kLogError,
                   "Found %.*s, left by a run that was ended while it removed an input: it may hold a recording, "
                   "perhaps its only copy, and is not converted",
                   Len(input), input.data);
        return kExitFileFailed;
      }
      if (!isLogFile(input)) return kExitSuccess;
      if (const cWalkerOutput_t* writer = FindFile(&walker->published, stat, Keyed::kIdentityAndState)) {
        logMessage(kLogInfo, "Skipping %.*s: it is the output of %.*s", Len(input), input.data,
                   static_cast<int>(cStrLength(&writer->input)), cStrData(&writer->input));
        return kExitSuccess;
      }
      if (const cWalkerOutput_t* met = MetBefore(walker, stat)) return SkipMetBefore(input, *met);
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
      if (const cWalkerOutput_t* met = seen != nullptr ? MetBefore(walker, *seen) : nullptr) {
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
  if (const cWalkerOutput_t* earlier = FindOutput(walker, output)) {
    logMessage(kLogError, "Output %.*s%s of %.*s was written for %.*s already", Len(output), output.data, kOutputSuffix,
               Len(input), input.data, static_cast<int>(cStrLength(&earlier->input)), cStrData(&earlier->input));
    return kExitFileFailed;
  }
  cStr_t replaced{};
  const Replaces replaces = ReplacedInput(walker, input, output, &replaced);
  if (replaces == Replaces::kInput) {
    logMessage(kLogError, "Output %.*s%s of %.*s would replace the input %.*s", Len(output), output.data, kOutputSuffix,
               Len(input), input.data, static_cast<int>(cStrLength(&replaced)), cStrData(&replaced));
  } else if (replaces == Replaces::kOutput) {
    logMessage(kLogError, "Output %.*s%s of %.*s was written for %.*s already", Len(output), output.data, kOutputSuffix,
               Len(input), input.data, static_cast<int>(cStrLength(&replaced)), cStrData(&replaced));
  }
  cStrRelease(&replaced);
  if (replaces != Replaces::kNothing) return kExitFileFailed;

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
  if (const IdentityKey key(opened, Keyed::kIdentityAndState); identified && key.Known()) {
    Remember(&walker->converted, key.View(), input);  // short memory only costs a skip
  }
  cStream_t* stream = fsOpen(walker->input_fs, input, kInputOpenFlags);
  if (stream == nullptr) {
    logMessage(kLogError, "Could not open input file %.*s", Len(input), input.data);
    fileInfoRelease(&info);
    return kExitFileFailed;
  }

  int result = kExitSuccess;
  int64_t buffer = walker->settings->buffer_size;
  if (buffer < 0) buffer = streamSize(stream);
  if (buffer > 0) {
    cStream_t* buffered = bufferedStreamNew(stream, true, buffer);
    if (buffered == nullptr) {
      logMessage(kLogError, "Could not allocate buffer of size %zd", static_cast<ssize_t>(buffer));
      result = kExitFileFailed;
    } else {
      stream = buffered;
    }
  }

  if (result == kExitSuccess) result = UnwrapContainers(walker, &stream);

  if (result == kExitSuccess) {
    walker->reader = mdfReaderOpen(stream);
    if (walker->reader == nullptr) {
      logMessage(kLogError, "Could not open MDF");
      result = kExitFileFailed;
    }
  }

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

    if (!Remember(&walker->outputs, output, input)) {
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
  if (!CloseStream(stream)) {
    logMessage(kLogError, "Could not close input file after conversion: %.*s", Len(input), input.data);
    result = kExitFileFailed;
  }
  if (result == kExitSuccess && !chain_ok) result = kExitFileFailed;

  if (chain_ok) NotePublished(walker, output, input);  // published, also when damage fails the file

  // Only now is the output complete, closed, under its name and, with "delete-converted",
  // durable (the converter's end-file). An input that is gone already was removed by another
  // run: nothing is lost, but this run did not finish it. One that changed since it was
  // opened (written to, or replaced) holds what the output may lack.
  cFileStat_t now{};
  if (result == kExitSuccess && deleting && fsStat(walker->input_fs, input, &now) && now.kind != kFileKindMissing &&
      !(identified && Unchanged(opened, now))) {
    logMessage(kLogError, "Input file %.*s changed during its conversion and is kept", Len(input), input.data);
    result = kExitFileFailed;
  }
  if (result == kExitSuccess && deleting) result = RemoveConvertedInput(walker, input, opened);
  fileInfoRelease(&info);
  return result;
}
