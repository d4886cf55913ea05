#include "app/identity.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "app/output_names.h"
#include "platform/entry_map.h"
#include "platform/hashmap.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/utf8.h"

void walkerOutputRelease(cWalkerOutput_t* output) {
  cStrRelease(&output->key);
  cStrRelease(&output->input);
}

void walkerOutputsRelease(cWalkerOutputSet_t* outputs) {
  for (uint32_t i = 0; i < outputs->buckets; ++i) {
    if (outputs->control[i] != 0) walkerOutputRelease(&outputs->entries[i]);
  }
  hashMapRelease(outputs);
}

bool walkerOutputsRemember(cWalkerOutputSet_t* set, cStrView_t key, cStrView_t input) {
  const cHashInsert_t<cWalkerOutput_t> slot = hashMapInsert(set, key);
  if (slot.entry == nullptr) return false;
  if (!slot.inserted) return true;
  if (cStrInit(&slot.entry->key, key) && cStrInit(&slot.entry->input, input)) return true;
  // The bucket is claimed and cannot be given back; it stays with an empty key.
  walkerOutputRelease(slot.entry);
  return false;
}

cIdentityKey_t::cIdentityKey_t(const cFileStat_t& stat, cKeyed_t keyed) {
  if (stat.device == 0 && stat.inode == 0) return;
  const auto device = static_cast<unsigned long long>(stat.device);
  const auto inode = static_cast<unsigned long long>(stat.inode);
  if (keyed == cKeyed_t::kIdentity) {
    length = std::snprintf(buffer, sizeof(buffer), "%llx:%llx", device, inode);
    return;
  }
  const bool born = stat.born_ns != 0;
  length = std::snprintf(buffer, sizeof(buffer), "%llx:%llx:%llx:%llx:%c%llx", device, inode,
                         static_cast<unsigned long long>(stat.size), static_cast<unsigned long long>(stat.modified_ns),
                         born ? 'b' : 'c', static_cast<unsigned long long>(born ? stat.born_ns : stat.changed_ns));
}

const cWalkerOutput_t* findFile(const cWalkerOutputSet_t* set, const cFileStat_t& stat, cKeyed_t keyed) {
  const cIdentityKey_t key(stat, keyed);
  return key.Known() ? hashMapLookup(set, key.View()) : nullptr;
}

bool sameFile(const cFileStat_t& a, const cFileStat_t& b) {
  return cIdentityKey_t(a).Known() && a.device == b.device && a.inode == b.inode;
}

bool sameFileAndSize(const cFileStat_t& before, const cFileStat_t& now) {
  return before.kind == now.kind && before.size == now.size && before.device == now.device && before.inode == now.inode;
}

bool fileUnchanged(const cFileStat_t& before, const cFileStat_t& now) {
  return sameFileAndSize(before, now) && before.modified_ns == now.modified_ns && before.changed_ns == now.changed_ns;
}

namespace {

/// Whether the file or folder `stat` is `folder` or lies in it: `chain` holds its identities and
/// those of the folders above it (fsStoredChain), so neither a link nor a spelling hides it.
bool Within(const std::vector<cFileStat_t>& chain, const cFileStat_t& folder) {
  return std::any_of(chain.begin(), chain.end(), [&](const cFileStat_t& above) { return sameFile(above, folder); });
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
         sameFile(stat_a, stat_b);
}

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
  if (sameFile(listed, existing)) return true;
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

/// The line of an output whose path reaches one of several names alike but for case that its
/// file system lists, which cannot be told apart (kFsNameNotTold): what it would replace is
/// unknown, so nothing is written.
void LogNotTold(cStrView_t output) {
  logMessage(kLogError,
             "Output %.*s%s is not written: which of several names alike but for case its path reaches cannot be told",
             static_cast<int>(output.length), output.data, kOutputSuffix);
}

}  // namespace

bool noteTopLevelPaths(cWalker_t* walker, const cVec_t<cStr_t>* inputs, std::vector<int64_t>* conflicts,
                       std::vector<cFileStat_t>* seen) {
  walkerOutputsRelease(&walker->inputs);
  walkerOutputsRelease(&walker->output_folders);
  vecRelease(&walker->pending_output_folders, walkerOutputRelease);
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
      const cIdentityKey_t key(named != nullptr ? *named : cFileStat_t{});
      if (known && key.Known()) ok = ok && walkerOutputsRemember(&walker->inputs, key.View(), input);
    }
    cStr_t output{};
    cFileStat_t tree{kFileKindMissing, 0};
    std::string tree_path;
    if (ok && folder) {
      ok = walker->settings->no_append_root != 0 ? cStrInit(&output, input) : folderOutputRoot(&output, input);
      if (ok && (!fsStoredStat(walker->output_fs, cStrViewOfStr(&output), &tree) || tree.kind != kFileKindDirectory)) {
        tree = {kFileKindMissing, 0};
      }
      // Outputs beside their inputs ("no-append-root" without an output folder) are no tree of
      // their own: the walk lists the folder before it writes into it.
      const bool beside = !owns.back().empty() && sameFile(tree, owns.back().front());
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
      const bool same_input = !owns[i].empty() && !owns[j].empty() && sameFile(owns[i].front(), owns[j].front());
      if (j != i && !same_input && Within(owns[j], trees[i])) (*conflicts)[i] = static_cast<int64_t>(j);
    }
    // A refused input writes nothing: its output tree is no reason to leave a folder out.
    if ((*conflicts)[i] >= 0) continue;
    const cStrView_t input = cStrViewOfStr(&inputs->items[i]);
    if (const cIdentityKey_t key(trees[i]); key.Known()) {
      ok = walkerOutputsRemember(&walker->output_folders, key.View(), input);
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
      if (!ok) walkerOutputRelease(&pending);
    }
  }
  return ok;
}

const cWalkerOutput_t* outputFolderOwner(const cWalker_t* walker, cStrView_t folder) {
  if (walker->output_folders.size == 0 && walker->pending_output_folders.count == 0) return nullptr;
  cFileStat_t stat{};
  if (!fsStoredStat(walker->input_fs, folder, &stat) || stat.kind != kFileKindDirectory) return nullptr;
  if (const cWalkerOutput_t* owner = findFile(&walker->output_folders, stat)) return owner;
  for (int64_t i = 0; i < walker->pending_output_folders.count; ++i) {
    const cWalkerOutput_t& pending = walker->pending_output_folders.items[i];
    cFileStat_t tree{};
    if (fsStoredStat(walker->output_fs, cStrViewOfStr(&pending.key), &tree) && sameFile(tree, stat)) return &pending;
  }
  return nullptr;
}

bool outputKey(const cWalker_t* walker, cStrView_t output, cStr_t* key) {
  cFileStat_t folder{};
  const bool told = fsStoredStat(walker->output_fs, pathParent(output), &folder);
  if (!told && errno == kFsNameNotTold) {
    LogNotTold(output);
    return false;
  }
  const cIdentityKey_t identity(told && folder.kind == kFileKindDirectory ? folder : cFileStat_t{});
  if (!identity.Known()) return cStrInit(key, output);
  return cStrInit(key, identity.View()) && cStrAppend(key, cStrViewOf("/")) != nullptr &&
         cStrAppend(key, pathFileName(output)) != nullptr;
}

void notePublished(cWalker_t* walker, cStrView_t output, cStrView_t input) {
  cStr_t name{};
  cFileStat_t stat{};
  cFileStat_t stored{};
  if (cStrInit(&name, output) && cStrAppend(&name, cStrViewOf(kOutputSuffix)) != nullptr &&
      fsStat(walker->output_fs, cStrViewOfStr(&name), &stat)) {
    // As named and as stored: a FUSE driver may give each spelling of its name a node of its own.
    const bool told = fsStoredStat(walker->output_fs, cStrViewOfStr(&name), &stored);
    for (const cFileStat_t& named : {stat, told ? stored : cFileStat_t{}}) {
      const cIdentityKey_t key(named, cKeyed_t::kIdentityAndState);
      if (key.Known()) walkerOutputsRemember(&walker->published, key.View(), input);
    }
  }
  cStrRelease(&name);
}

const cWalkerOutput_t* metBefore(const cWalker_t* walker, const cFileStat_t& stat) {
  return stat.kind == kFileKindRegular ? findFile(&walker->converted, stat, cKeyed_t::kIdentityAndState) : nullptr;
}

cReplaces_t replacedInput(const cWalker_t* walker, cStrView_t input, cStrView_t output, cStr_t* other) {
  cStr_t target{};
  if (!cStrInit(&target, output) || cStrAppend(&target, cStrViewOf(kOutputSuffix)) == nullptr) {
    cStrRelease(&target);
    return cReplaces_t::kNoMemory;
  }
  cReplaces_t result = cReplaces_t::kNothing;
  cFileStat_t existing{};
  bool folded = false;
  // The file as stored: where a FUSE driver gives each spelling its own node, the one every
  // spelling of the input, listed or named, is known by too. Only for a name taken (that costs
  // a listing of the folder there).
  const bool taken = fsStat(walker->output_fs, cStrViewOfStr(&target), &existing) && existing.kind == kFileKindRegular;
  const bool told = taken && fsStoredStat(walker->output_fs, cStrViewOfStr(&target), &existing);
  if (taken && !told && errno == kFsNameNotTold) {
    LogNotTold(output);
    result = cReplaces_t::kNotTold;
  } else if (told && existing.kind == kFileKindRegular) {
    if (const cWalkerOutput_t* listed = findFile(&walker->inputs, existing)) {
      result = cStrInit(other, cStrViewOfStr(&listed->input)) ? cReplaces_t::kInput : cReplaces_t::kNoMemory;
    } else if (ReachesTopLevelInput(walker, cStrViewOfStr(&target), existing, other)) {
      result = cReplaces_t::kInput;
    } else if (const cWalkerOutput_t* writer = findFile(&walker->published, existing, cKeyed_t::kIdentityAndState)) {
      result = cStrInit(other, cStrViewOfStr(&writer->input)) ? cReplaces_t::kOutput : cReplaces_t::kNoMemory;
    } else if (const cFsEntryNode_t* entry = ListedLogFile(walker, input, cStrViewOfStr(&target), existing, &folded)) {
      // Only if the listed name still holds that very file: the listing may be older.
      cStr_t beside{};
      cFileStat_t stat{};
      if (!cStrInit(&beside, pathParent(input)) || cStrAppend(&beside, cStrViewOfStr(&entry->name)) == nullptr) {
        result = cReplaces_t::kNoMemory;
      } else if (fsStat(walker->input_fs, cStrViewOfStr(&beside), &stat) && Reaches(existing, stat, folded)) {
        result = cStrInit(other, cStrViewOfStr(&beside)) ? cReplaces_t::kInput : cReplaces_t::kNoMemory;
      }
      cStrRelease(&beside);
    }
  }
  cStrRelease(&target);
  return result;
}
