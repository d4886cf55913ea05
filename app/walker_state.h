#pragma once
// cWalker_t: what one run of the input walk holds, read by the walk (app/walker.h), by the
// checks that tell files and folders apart (app/identity.h) and by the converter stage; and
// how the walk opens an input.
#include <cstdint>

#include "app/options.h"
#include "buslog/busmsg.h"
#include "buslog/record_handler.h"
#include "platform/cstr.h"
#include "platform/filesystem.h"
#include "platform/hashmap.h"
#include "platform/vector.h"

class cMdfReader_t;

// Inputs are opened for reading; the extra bit is the share flag that the native kind ignores.
constexpr int kInputOpenFlags = kFsOpenRead | 4;

/// A key of this run and the input it belongs to: an output written (its folder's identity and
/// its name without the "_out.MF4" suffix), a file or folder by identity, or a path.
struct cWalkerOutput_t {
  cStr_t key;
  cStr_t input;
};
using cWalkerOutputSet_t = cHashMap_t<cWalkerOutput_t, cTextKeyTraits_t<cWalkerOutput_t>>;

/// The walker's fields belong to it and to the rooms named above; callers use app/walker.h.
struct cWalker_t {
  cFileSystem_t* input_fs;   // not owned
  cFileSystem_t* output_fs;  // not owned; may be input_fs
  uint8_t create_dirs;
  const cSettings_t* settings;  // not owned
  cRecordHandler_t* head;       // not owned
  cFileInfo_t previous;         // the last file whose header was parsed; empty at the start
  cMdfReader_t* reader;         // set only while a file is converted
  // Set before end-file when new-file, a record or the reading of the records failed: the
  // converter then publishes no output, as it would lack records.
  uint8_t chain_failed;
  // Every output opened in this run, by the identity of its folder (as stored) and its name.
  cWalkerOutputSet_t outputs;
  // What the walk must not overwrite or enter, set by convertInputs: the top-level inputs by
  // file identity (as named and as stored), and the output folders of folder inputs that lie
  // elsewhere than the input itself, by identity; those not made yet that may lie in an input
  // wait in `pending_output_folders` (paths of the output file system) until they are.
  cWalkerOutputSet_t inputs;
  cWalkerOutputSet_t output_folders;
  cVec_t<cWalkerOutput_t> pending_output_folders;
  // The outputs this run published, by file identity with size and time of change: whatever
  // path reaches one, the walk never takes it for an input, nor a file that took over its
  // inode number once a shipper removed it.
  cWalkerOutputSet_t published;
  // The files this run met for conversion, keyed alike: a second path to one (named twice, a
  // link beside its target) converts nothing again, also when "delete-converted" removed it.
  cWalkerOutputSet_t converted;
  const cFsEntryMap_t* listing;  // the entries of the folder being walked; null outside one
};
