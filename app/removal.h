#pragma once
// The removal of a converted input under "delete-converted": the lease that tells a writer at
// work, the move to a private hidden name, the check there against the bytes the conversion
// read, the removal, or the move back (to a visible conflict name where the input's name was
// taken meanwhile); and the private names themselves, which the walk must never take for an
// input. The checks that tell one file from another are app/identity.h.
#include "platform/cstr.h"
#include "platform/filesystem.h"
#include "platform/stream.h"

/// Removes the input `input` of `fs` once its output is durable: exactly the file converted
/// (`opened`, the stat taken before it was opened) holding exactly the bytes converted
/// (`converted`), never one that replaced it or was rewritten meanwhile, and not while another
/// descriptor holds it open. 0, or 8 with a line saying why it is kept.
int removeConvertedInput(cFileSystem_t* fs, cStrView_t input, const cFileStat_t& opened,
                         const cStreamDigest_t& converted);
/// Whether a file name is one of the private names an input is moved to before its removal:
/// the prefix, then hexadecimal digits only.
bool isRemovingName(cStrView_t name);

/// The line of an input that is no longer the file converted; 8.
int keptChanged(cStrView_t input);
/// The line of an input whose bytes could not be read again to compare them; 8.
int keptUnread(cStrView_t input, int error);
