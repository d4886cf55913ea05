#pragma once
// The names of the files a run writes, shared by the walk (which maps inputs to outputs and
// keeps clear of them) and the converter stage (which writes them).

/// What an output's name adds to its input's path without extension, whatever that extension's case.
constexpr char kOutputSuffix[] = "_out.MF4";
/// What a temporary output's name adds to the output's name (after the process id).
constexpr char kTemporarySuffix[] = ".part";
