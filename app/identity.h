#pragma once
// Telling files and folders apart for the input walk: identity keys of files (device and inode
// number, with or without their state), the run's sets keyed by them, and the refusals built
// on them: which top-level input an output tree would write over, which folder is whose output
// tree, which input an output would replace, and which file the run met before. Every check is
// of what a name reaches on the disk, as stored, never of its spelling: no link, "..", nor a
// file system that ignores case makes two files of one or one of two.
#include <cstdint>
#include <vector>

#include "app/walker_state.h"
#include "platform/cstr.h"
#include "platform/filesystem.h"
#include "platform/vector.h"

/// Releases the texts of one entry of a set.
void walkerOutputRelease(cWalkerOutput_t* output);
/// Releases a set with the texts of its entries.
void walkerOutputsRelease(cWalkerOutputSet_t* outputs);
/// Remembers the key with its input (a key already there keeps its input); false when
/// memory is short.
bool walkerOutputsRemember(cWalkerOutputSet_t* set, cStrView_t key, cStrView_t input);

/// What a key tells of a file: which one it is, or also its state (size, modification time and
/// when it was made), which a file that took over a removed file's inode number does not share.
enum class cKeyed_t { kIdentity, kIdentityAndState };

/// A text key of the file, in `buffer`; empty when the file system cannot tell its identity.
/// With the state, the time the file was made is its birth time where the file system tells
/// it, else its time of status change (which a new file gets when it is made, but which also
/// moves when one of the file's other names goes, so it serves only where no birth time does).
struct cIdentityKey_t {
  explicit cIdentityKey_t(const cFileStat_t& stat, cKeyed_t keyed = cKeyed_t::kIdentity);
  [[nodiscard]] cStrView_t View() const { return {buffer, length}; }
  [[nodiscard]] bool Known() const { return length > 0; }
  char buffer[96] = {};
  int64_t length = 0;
};

/// The entry of `set` for the file, or null (also when its identity is unknown).
const cWalkerOutput_t* findFile(const cWalkerOutputSet_t* set, const cFileStat_t& stat,
                                cKeyed_t keyed = cKeyed_t::kIdentity);
/// Whether two stats are of one file; false when either identity is unknown.
bool sameFile(const cFileStat_t& a, const cFileStat_t& b);
/// Whether a file at another name is still the one first seen, as far as a rename cannot
/// change it: identity and size. (Some file systems give a renamed file new times: fusefat
/// writes the time of the rename.)
bool sameFileAndSize(const cFileStat_t& before, const cFileStat_t& now);
/// Whether the file under its name is still the one first seen, bytes unchanged as far as its
/// size and times tell: the time of status change too, which no caller can set, so a rewrite
/// that puts the modification time back (cp -p, touch -r) still shows.
bool fileUnchanged(const cFileStat_t& before, const cFileStat_t& now);

/// Notes the top-level inputs by identity, and the output folder of each folder input that is
/// not the input itself, for the walk to skip (also where it lies in another input). A folder
/// input whose output tree holds another top-level input would write over what the run is to
/// convert: `conflicts` gets, per input, the index of that other input, or -1; `seen` gets
/// each input's stat (kind missing where it fails), taken before anything is converted. An
/// input that cannot be stat'ed is left to the walk, which reports it. Every comparison is of
/// identities, as stored: no link, "..", nor spelling makes two folders of one. False when
/// memory is short.
bool noteTopLevelPaths(cWalker_t* walker, const cVec_t<cStr_t>* inputs, std::vector<int64_t>* conflicts,
                       std::vector<cFileStat_t>* seen);
/// The top-level input whose output folder this folder is, or null: the folder's identity as
/// stored against those of the output folders, and of those not made before the run that are
/// there now.
const cWalkerOutput_t* outputFolderOwner(const cWalker_t* walker, cStrView_t folder);
/// The key of an output of the run in `key`: the identity of its folder as stored, then its name,
/// so that no spelling of the folder makes two outputs of one; the path itself where the folder
/// cannot be stat'ed. False when memory is short, and, with its line written, where the folder's
/// path reaches one of several names alike but for case (kFsNameNotTold).
bool outputKey(const cWalker_t* walker, cStrView_t output, cStr_t* key);
/// Notes a published output by identity and state, so that the walk never takes it for an
/// input. One that cannot be noted (short memory) only costs its skip.
void notePublished(cWalker_t* walker, cStrView_t output, cStrView_t input);
/// The path before which the walk met this file for conversion, or null: a file converted
/// already, whatever path reaches it now. Identity and state, so that a new file on a removed
/// input's inode number is no such file. `stat` is what the walk has of it: a stat now, or
/// one taken before (when the path is gone, perhaps removed by this run).
const cWalkerOutput_t* metBefore(const cWalker_t* walker, const cFileStat_t& stat);

/// kNotTold: the output's name is taken, and which of several names alike but for case it
/// reaches cannot be told; its line is written here.
enum class cReplaces_t { kNothing, kInput, kOutput, kNoMemory, kNotTold };

/// Whether the output would replace a file this run lists as an input (a top-level input, or
/// a log file of the folder being walked, where outputs beside their inputs land) or an output
/// it wrote. Decided by what the output's name leads to on the disk, never by its spelling: no
/// link, "..", nor a file system that ignores case hides an input. `other` gets the path of
/// that input, or of the input whose output it is.
cReplaces_t replacedInput(const cWalker_t* walker, cStrView_t input, cStrView_t output, cStr_t* other);
