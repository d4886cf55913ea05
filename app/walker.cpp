#include "app/walker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/output_names.h"
#include "app/passwords.h"
#include "buslog/mdf_reader.h"
#include "mdf/memoryaccount.h"
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
// Where a file at the private name cannot go back under the input's name (another file took
// it), it goes to "<stem>.conflict-<random digits>.<extension>" beside it: visible, and a log
// file that later runs convert. The name is cut (at the stem's end) to the longer of the
// input's name and kConflictMaxLength, which leaves room in a name for the output's suffix.
constexpr char kConflictTag[] = ".conflict-";
constexpr int64_t kConflictDigits = 8;
constexpr int64_t kConflictMaxLength = 240;

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

/// What a key tells of a file: which one it is, or also its state (size, modification time and
/// when it was made), which a file that took over a removed file's inode number does not share.
enum class Keyed { kIdentity, kIdentityAndState };

/// A text key of the file, in `buffer`; empty when the file system cannot tell its identity.
/// With the state, the time the file was made is its birth time where the file system tells
/// it, else its time of status change (which a new file gets when it is made, but which also
/// moves when one of the file's other names goes, so it serves only where no birth time does).
struct IdentityKey {
  explicit IdentityKey(const cFileStat_t& stat, Keyed keyed = Keyed::kIdentity) {
    if (stat.device == 0 && stat.inode == 0) return;
    const auto device = static_cast<unsigned long long>(stat.device);
    const auto inode = static_cast<unsigned long long>(stat.inode);
    if (keyed == Keyed::kIdentity) {
      length = std::snprintf(buffer, sizeof(buffer), "%llx:%llx", device, inode);
      return;
    }
    const bool born = stat.born_ns != 0;
    length =
        std::snprintf(buffer, sizeof(buffer), "%llx:%llx:%llx:%llx:%c%llx", device, inode,
                      static_cast<unsigned long long>(stat.size), static_cast<unsigned long long>(stat.modified_ns),
                      born ? 'b' : 'c', static_cast<unsigned long long>(born ? stat.born_ns : stat.changed_ns));
  }
  [[nodiscard]] cStrView_t View() const { return {buffer, length}; }
  [[nodiscard]] bool Known() const { return length > 0; }
  char buffer[96] = {};
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

/// The top-level input with "_out" inserted at its first '/' (appended without one).
bool AppendRoot(cStr_t* out, cStrView_t input) {
  int64_t slash = 0;
  while (slash < input.length && input.data[slash] != '/') ++slash;
  return cStrInit(out, {input.data, slash}) && cStrAppend(out, cStrViewOf(kFolderSuffix)) != nullptr &&
         (slash == input.length || cStrAppend(out, {input.data + slash, input.length - slash}) != nullptr);
}

/// Whether the file or folder `stat` is `folder` or lies in it: `chain` holds its identities and
/// those of the folders above it (fsStoredChain), so neither a link nor a spelling hides it.
bool Within(const std::vector<cFileStat_t>& chain, const cFileStat_t& folder) {
  return std::any_of(chain.begin(), chain.end(), [&](const cFileStat_t& above) { return SameFile(above, folder); });
}

/// The identities of the path as stored and of the folders above it (fsStoredChain); empty where
/// they cannot be told. `exists` tells whether the first is the path's own.
std::vector<cFileStat_t> StoredChain(cFileSystem_t* fs, cStrView_t path, bool* exists = nullptr) {
  cVec_t<cFileStat_t> found{};
  cFileStat_t own{};
  const bool known = fsStoredChain(fs, path, &found) && fsStoredStat(fs, path, &own);
  std::vector<cFileStat_t> chain;
  if (known) chain.assign(found.items, found.items + found.count);
  vecRelease(&found);
  if (exists != nullptr) *exists = known && own.kind != kFileKindMissing;
  return chain;
}

/// Whether two paths, each of its own file system, name one folder, as stored.
bool SameFolder(cFileSystem_t* fs_a, cStrView_t a, cFileSystem_t* fs_b, cStrView_t b) {
  cFileStat_t stat_a{};
  cFileStat_t stat_b{};
  return fsStoredStat(fs_a, a, &stat_a) && stat_a.kind == kFileKindDirectory && fsStoredStat(fs_b, b, &stat_b) &&
         SameFile(stat_a, stat_b);
}

/// Notes the top-level inputs by identity, and the output folder of each folder input that is
/// not the input itself, for the walk to skip (also where it lies in another input). A folder
/// input whose output tree holds another top-level input would write over what the run is to
/// convert: `conflicts` gets, per input, the index of that other input, or -1; `seen` gets
/// each input's stat (kind missing where it fails), taken before anything is converted. An
/// input that cannot be stat'ed is left to the walk, which reports it. Every comparison is of
/// identities, as stored: no link, "..", nor spelling makes two folders of one. False when
/// memory is short.
bool NoteTopLevelPaths(cWalker_t* walker, const cVec_t<cStr_t>* inputs, std::vector<int64_t>* conflicts,
                       std::vector<cFileStat_t>* seen) {
  ReleaseOutputs(&walker->inputs);
  ReleaseOutputs(&walker->output_folders);
  vecRelease(&walker->pending_output_folders, ReleaseOutput);
  std::vector<std::vector<cFileStat_t>> owns;  // each input's chain; empty: it does not exist
  std::vector<cFileStat_t> trees;              // kind missing: no tree of its own, or not made yet
  std::vector<std::string> tree_paths;         // of the output file system; empty: none of its own
  bool ok = true;
  for (int64_t i = 0; ok && i < inputs->count; ++i) {
    const cStrView_t input = cStrViewOfStr(&inputs->items[i]);
    cFileStat_t stat{};
    const bool known = fsStat(walker->input_fs, input, &stat);
    seen->push_back(known ? stat : cFileStat_t{kFileKindMissing, 0});
    const bool folder = known && stat.kind == kFileKindDirectory;
    bool exists = false;
    owns.push_back(StoredChain(walker->input_fs, input, &exists));
    if (!exists) owns.back().clear();
    for (const cFileStat_t* named : {&stat, owns.back().empty() ? nullptr : &owns.back().front()}) {
      const IdentityKey key(named != nullptr ? *named : cFileStat_t{});
      if (known && key.Known()) ok = ok && Remember(&walker->inputs, key.View(), input);
    }
    cStr_t output{};
    cFileStat_t tree{kFileKindMissing, 0};
    std::string tree_path;
    if (ok && folder) {
      ok = walker->settings->no_append_root != 0 ? cStrInit(&output, input) : AppendRoot(&output, input);
      if (ok && (!fsStoredStat(walker->output_fs, cStrViewOfStr(&output), &tree) || tree.kind != kFileKindDirectory)) {
        tree = {kFileKindMissing, 0};
      }
      // Outputs beside their inputs ("no-append-root" without an output folder) are no tree of
      // their own: the walk lists the folder before it writes into it.
      const bool beside = !owns.back().empty() && SameFile(tree, owns.back().front());
      if (ok && !beside) tree_path.assign(cStrData(&output), static_cast<size_t>(cStrLength(&output)));
      if (beside) tree = {kFileKindMissing, 0};
    }
    cStrRelease(&output);
    trees.push_back(tree);
    tree_paths.push_back(tree_path);
  }
  if (!ok) return false;
  conflicts->assign(owns.size(), -1);
  for (size_t i = 0; ok && i < owns.size(); ++i) {
    if (tree_paths[i].empty()) continue;
    for (size_t j = 0; j < owns.size() && (*conflicts)[i] < 0 && trees[i].kind == kFileKindDirectory; ++j) {
      const bool same_input = !owns[i].empty() && !owns[j].empty() && SameFile(owns[i].front(), owns[j].front());
      if (j != i && !same_input && Within(owns[j], trees[i])) (*conflicts)[i] = static_cast<int64_t>(j);
    }
    // A refused input writes nothing: its output tree is no reason to leave a folder out.
    if ((*conflicts)[i] >= 0) continue;
    const cStrView_t input = cStrViewOfStr(&inputs->items[i]);
    if (const IdentityKey key(trees[i]); key.Known()) {
      ok = Remember(&walker->output_folders, key.View(), input);
      continue;
    }
    // Not made yet: the walk can meet it only where it is to lie in an input.
    const cStrView_t tree{tree_paths[i].data(), static_cast<int64_t>(tree_paths[i].size())};
    const std::vector<cFileStat_t> above = StoredChain(walker->output_fs, tree);
    const bool in_input = std::any_of(owns.begin(), owns.end(), [&](const std::vector<cFileStat_t>& own) {
      return !own.empty() && own.front().kind == kFileKindDirectory && Within(above, own.front());
    });
    if (in_input) {
      cWalkerOutput_t pending{};
      ok = cStrInit(&pending.key, tree) && cStrInit(&pending.input, input) &&
           vecPush(&walker->pending_output_folders, pending) != nullptr;
      if (!ok) ReleaseOutput(&pending);
    }
  }
  return ok;
}

/// The top-level input whose output folder this folder is, or null: the folder's identity as
/// stored against those of the output folders, and of those not made before the run that are
/// there now.
const cWalkerOutput_t* OutputFolderOwner(const cWalker_t* walker, cStrView_t folder) {
  if (walker->output_folders.size == 0 && walker->pending_output_folders.count == 0) return nullptr;
  cFileStat_t stat{};
  if (!fsStoredStat(walker->input_fs, folder, &stat) || stat.kind != kFileKindDirectory) return nullptr;
  if (const cWalkerOutput_t* owner = FindFile(&walker->output_folders, stat)) return owner;
  for (int64_t i = 0; i < walker->pending_output_folders.count; ++i) {
    const cWalkerOutput_t& pending = walker->pending_output_folders.items[i];
    cFileStat_t tree{};
    if (fsStoredStat(walker->output_fs, cStrViewOfStr(&pending.key), &tree) && SameFile(tree, stat)) return &pending;
  }
  return nullptr;
}

/// The key of an output of the run in `key`: the identity of its folder as stored, then its name,
/// so that no spelling of the folder makes two outputs of one; the path itself where the folder
/// cannot be told. False when memory is short.
bool OutputKey(const cWalker_t* walker, cStrView_t output, cStr_t* key) {
  cFileStat_t folder{};
  const IdentityKey identity(fsStoredStat(walker->output_fs, pathParent(output), &folder) &&
                                     folder.kind == kFileKindDirectory
                                 ? folder
                                 : cFileStat_t{});
  if (!identity.Known()) return cStrInit(key, output);
  return cStrInit(key, identity.View()) && cStrAppend(key, cStrViewOf("/")) != nullptr &&
         cStrAppend(key, pathFileName(output)) != nullptr;
}

/// Notes a published output by identity and state, so that the walk never takes it for an
/// input. One that cannot be noted (short memory) only costs its skip.
void NotePublished(cWalker_t* walker, cStrView_t output, cStrView_t input) {
  cStr_t name{};
  cFileStat_t stat{};
  cFileStat_t stored{};
  if (cStrInit(&name, output) && cStrAppend(&name, cStrViewOf(kOutputSuffix)) != nullptr &&
      fsStat(walker->output_fs, cStrViewOfStr(&name), &stat)) {
    // As named and as stored: a FUSE driver may give each spelling of its name a node of its own.
    const bool told = fsStoredStat(walker->output_fs, cStrViewOfStr(&name), &stored);
    for (const cFileStat_t& named : {stat, told ? stored : cFileStat_t{}}) {
      const IdentityKey key(named, Keyed::kIdentityAndState);
      if (key.Known()) Remember(&walker->published, key.View(), input);
    }
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
  const cWalkerOutputSet_t& inputs = walker->inputs;
  for (uint32_t i = 0; i < inputs.buckets; ++i) {
    if (inputs.control[i] == 0) continue;
    const cStrView_t input = cStrViewOfStr(&inputs.entries[i].input);
    cFileStat_t stat{};
    const bool alike = !cStrViewEqual(pathFileName(input), name) && SameNameButForCase(pathFileName(input), name) &&
                       SameFolder(walker->input_fs, pathParent(input), walker->output_fs, pathParent(target));
    if (alike && fsStat(walker->input_fs, input, &stat) && Reaches(existing, stat, true)) {
      cStrInit(other, input);  // short memory leaves the line without the name, not the refusal
      return true;
    }
  }
  return false;
}

/// The log file of the folder being walked that the output's name `target` reaches (found there
/// as `existing`), or null. Its name may be spelt otherwise (case-insensitive file systems).
const cFsEntryNode_t* ListedLogFile(const cWalker_t* walker, cStrView_t input, cStrView_t target,
                                    const cFileStat_t& existing, bool* folded) {
  *folded = false;
  if (walker->listing == nullptr) return nullptr;
  // Only a name of the walked folder itself, known by its identity as stored, can be reached by
  // another spelling of it; there the output's own name reaches its own entry, whichever node
  // the spelling of the folder gave the two.
  const cStrView_t name = pathFileName(target);
  const bool same_folder = SameFolder(walker->input_fs, pathParent(input), walker->output_fs, pathParent(target));
  const bool listed = entryMapFind(walker->listing, name) != nullptr;
  cFsEntryIter_t iter{};
  entryMapIterBegin(&iter, walker->listing);
  while (const cFsEntryNode_t* entry = entryMapIterNext(&iter)) {
    const cStrView_t entry_name = cStrViewOfStr(&entry->name);
    const bool alike =
        same_folder && (cStrViewEqual(entry_name, name) || (!listed && SameNameButForCase(entry_name, name)));
    if (isLogFile(entry_name) && Reaches(existing, entry->stat, alike)) {
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
  // The file as stored: where a FUSE driver gives each spelling its own node, the one every
  // spelling of the input, listed or named, is known by too. Only for a name taken (that costs
  // a listing of the folder there).
  if (fsStat(walker->output_fs, cStrViewOfStr(&target), &existing) && existing.kind == kFileKindRegular &&
      fsStoredStat(walker->output_fs, cStrViewOfStr(&target), &existing) && existing.kind == kFileKindRegular) {
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

/// The line of an input that is no longer the file converted; 8.
int KeptChanged(cStrView_t input) {
  logMessage(kLogError, "Input file %.*s changed during its conversion and is kept", Len(input), input.data);
  return kExitFileFailed;
}

/// The line of an input whose bytes could not be read again to compare them; 8.
int KeptUnread(cStrView_t input, int error) {
  logMessage(kLogError, "Could not remove input file after conversion: %.*s: %s", Len(input), input.data,
             std::strerror(error));
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
  if (content < 0) return KeptUnread(input, errno);
  if (content == 0) return KeptChanged(input);
  cFileStat_t now{};
  if (fsStat(fs, input, &now) && now.kind != kFileKindMissing && IdentityKey(opened).Known() &&
      !Unchanged(opened, now)) {
    return KeptChanged(input);
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

/// Removes the input once its output is durable: exactly the file converted (`opened`, the
/// stat taken before it was opened) holding exactly the bytes converted (`converted`), never
/// one that replaced it or was rewritten meanwhile, and not while another descriptor holds it
/// open. 0, or 8 with a line saying why it is kept.
int RemoveConvertedInput(cWalker_t* walker, cStrView_t input, const cFileStat_t& opened,
                         const cStreamDigest_t& converted) {
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
  if (!IdentityKey(opened).Known()) return RemoveInPlace(fs, input, opened, converted, held_lease.lease);

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
  const int content = stated && SameFileAndSize(opened, now) ? HoldsConverted(fs, aside_name, converted) : 0;
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
    KeptUnread(input, error);
  } else {
    KeptChanged(input);
  }
  // Back under its name, unless another file took that name meanwhile: neither is lost.
  MoveBack(fs, input, aside_name);
  cStrRelease(&aside);
  return kExitFileFailed;
}

/// convertPath with what the walk had of the path before (its listing's entry, a top-level
/// input's stat taken before anything was converted), or null.
int ConvertPathSeen(cWalker_t* walker, cStrView_t input, cStrView_t output, const cFileStat_t* seen);

/// convertFile with the key of its output in the run's output set (OutputKey).
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
  ReleaseOutputs(&walker->outputs);
  ReleaseOutputs(&walker->inputs);
  ReleaseOutputs(&walker->output_folders);
  vecRelease(&walker->pending_output_folders, ReleaseOutput);
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
  cStr_t output_key{};
  if (!OutputKey(walker, output, &output_key)) {
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
    walker->reader = mdfReaderOpen(stream, &memory, &short_of_memory);
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

    if (!Remember(&walker->outputs, output_key, input)) {
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
      KeptUnread(input, errno != 0 ? errno : EIO);
      result = kExitFileFailed;
    }
  }
  streamClose(digest);
  if (!CloseStream(file)) {
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
  if (result == kExitSuccess && deleting) result = RemoveConvertedInput(walker, input, opened, converted);
  fileInfoRelease(&info);
  return result;
}

}  // namespace
