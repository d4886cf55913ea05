#pragma once
// The names of the files a run reads and writes, shared by the walk (which picks the log files,
// maps inputs to outputs and keeps clear of them) and the converter stage (which writes them).
#include "platform/cstr.h"

/// What an output's name adds to its input's path without extension, whatever that extension's case.
constexpr char kOutputSuffix[] = "_out.MF4";
/// What a temporary output's name ends in (after its random part); its leading '.' hides it.
constexpr char kTemporarySuffix[] = ".part";
/// What a folder input's output tree adds to its first segment, unless "no-append-root" is set.
constexpr char kFolderSuffix[] = "_out";

/// True when the path's extension, lower-cased, is "mf4", "mfc", "mfe" or "mfm"; a file name
/// without a dot is its own extension.
bool isLogFile(cStrView_t path);
/// The top-level input with kFolderSuffix inserted at its first '/' (appended without one), in
/// `out`; false when memory is short.
bool folderOutputRoot(cStr_t* out, cStrView_t input);
