#pragma once
// The input walk. It visits the inputs in command-line order, folders recursively
// with their entries in byte-wise sorted order, picks the log files by extension, mirrors the
// input tree into the output root, and converts each log file: containers unwrapped, the
// logger-file reader opened, the header checked against the previous file, and the record-
// handler chain driven through one new-file, record and end-file cycle. What keeps the walk
// clear of this run's outputs and of files met before is app/identity.h; how "delete-converted"
// removes an input is app/removal.h.
//
// Results per input are failure bits ORed up the tree: kExitInputMissing (1), kExitNoPassword
// (2), kExitDecompression (4), kExitFileFailed (8); kExitStart (129) for a path that is
// neither file, folder nor missing, or whose stat fails.
#include <cstdint>

#include "app/output_names.h"
#include "app/walker_state.h"
#include "platform/cstr.h"
#include "platform/vector.h"

/// A walker, or null when a reference is missing or memory is short. Installs the console
/// logger as the MDF library's log output.
cWalker_t* walkerNew(cFileSystem_t* input_fs, cFileSystem_t* output_fs, uint8_t create_dirs,
                     const cSettings_t* settings, cRecordHandler_t* head);
/// Releases the walker with its previous-file texts and output set; null is ignored.
void walkerFree(cWalker_t* walker);

/// Converts the root-relative inputs in order and returns the OR of their results. Unless
/// "no-append-root" is set, a folder's output gets "_out" after its first segment, and an
/// input whose stat fails ends the run at once with 129 (earlier bits dropped).
///
/// The walk never touches this run's outputs: the output folder of a folder input is skipped
/// wherever the walk meets it (an info line), and a file whose output would replace a file
/// this run lists as an input (a top-level input, or a log file of the folder being walked)
/// or an output it wrote is refused with 8. The file the output's name reaches decides, not
/// its spelling, also where the file system ignores case.
int convertInputs(cWalker_t* walker, const cVec_t<cStr_t>* inputs);
/// The result of one path: a folder's children ORed, a log file converted, other files 0. A
/// file met before in this run is skipped with an info line; an output folder that cannot be
/// made fails the file with 8 ("Could not make folder X: <reason>"); a missing path gives 1
/// and a file under the private name of an input being removed (by a run at work, or left by
/// one that could not finish) 8, each with an error line.
int convertPath(cWalker_t* walker, cStrView_t input, cStrView_t output);
/// Converts one log file to `output` + "_out.MF4"; 0, 2, 4 or 8. With "delete-converted" the
/// input is removed after a good conversion (the converter has made the output durable), and
/// only the very file converted: one that changed meanwhile, that another descriptor still
/// holds open (a writer at work) or that cannot be removed (another run may have removed it)
/// is kept and fails the file with 8 and a line saying why. A read lease taken before the
/// removal is held until the input is gone, so a writer who opens it meanwhile keeps it too.
/// The input is first moved to a private hidden name in its folder and checked there (its
/// bytes too: they must be the ones the conversion read, as a digest taken while it read them
/// tells), so a file renamed over it or rewritten at the last moment is moved back, never
/// deleted; where its name was taken meanwhile, it goes to a visible name of its own
/// ("<stem>.conflict-<digits>.<extension>") that later runs convert. Where it cannot be moved
/// (no room, no such rename) it is checked again and removed under its own name.
int convertFile(cWalker_t* walker, cStrView_t input, cStrView_t output);

/// Whether `info` continues `previous` (same serial number; same session with the same or
/// the next split, or the next session and split after a split whose low byte is 0). An
/// empty previous serial number never continues.
bool fileContinues(const cFileInfo_t* previous, const cFileInfo_t* info);
