#pragma once
// Path functions of the front end. Paths are UTF-8 byte strings with '/' separators; an
// absolute path starts with '/'. Functions that produce a string write it to `out`, which must
// hold a valid cStr_t (empty or not): its old content is released.
#include <cstdint>

#include "platform/cstr.h"

/// Makes a command-line path absolute and canonical in place: a relative path is put behind
/// the current directory, "." and ".." segments are resolved lexically (".." at the root stays
/// there) and runs of '/' collapse; a backslash is a character of a name, as everywhere on this
/// system, never a separator. Then the path is stat'ed: a directory ends in '/', a regular file
/// does not, a missing path keeps its form; any other stat failure logs "Could not stat path
/// %s" at level error. A relative path stays unchanged (and the result is true) when the
/// current directory is unknown, so callers needing an absolute path check for the leading
/// '/'. False (the path unchanged) when memory is short.
bool pathNormalize(cStr_t* path);
/// The process's current directory, ending in '/', normalised. False when unknown.
bool currentDirectory(cStr_t* out);
/// The path up to and including its last '/'; empty without one.
cStrView_t pathParent(cStrView_t path);
/// The text after the last '/' (the whole path without one).
cStrView_t pathFileName(cStrView_t path);
/// The text after the last '.' of the file name; the whole file name without one.
cStrView_t pathExtension(cStrView_t path);
/// `text` with the first `limit` occurrences of `pattern` (0: all) replaced, scanning left to
/// right without overlap ("a///b" with "//" -> "/" gives "a//b"). An empty pattern copies the
/// text. False when memory is short (`out` is then empty).
bool strReplace(cStr_t* out, cStrView_t text, cStrView_t pattern, cStrView_t replacement, int64_t limit);
