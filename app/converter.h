#pragma once
// cConverterHandler_t: the last stage of the record-handler chain. Per input file it makes a
// hidden temporary ".<start of name>.<random>.part" beside the output "<output path>_out.MF4"
// (a new file under a name no file had, fitting wherever the output's name fits), attaches it
// with the input's metadata to the bus-log writer and hands the writer every record; at
// end-file the writer writes the finalized file, the temporary is closed and checked and only
// then renamed to the output's name. So a file under an output's name is always complete: a
// failed or interrupted conversion leaves at most the temporary, which is removed on failure
// and (after converterInstallSignalCleanup) on the signals that end a run. The stage holds its
// file to the end, and renames or removes a name only while it is that file: another
// process's file under either name is never published or removed. With "delete-converted" the
// output is synced before the rename and its folder after it, so that it is durable before
// the walker deletes its input, and it replaces no file of its name: one found there that
// holds the same bytes counts as the output.
#include <cstdint>

#include "app/output_names.h"
#include "buslog/busmsg.h"
#include "buslog/record_handler.h"
#include "platform/cstr.h"
#include "platform/filesystem.h"
#include "platform/stream.h"

class cMdfWriter_t;
struct cWalker_t;

/// The stage's fields belong to it; callers use the functions below.
struct cConverterHandler_t {
  cRecordHandler_t handler;  // first: converterHandleRecord, converterNewFile, converterEndFile
  cFileSystem_t* output_fs;  // not owned
  cWalker_t* walker;         // not owned; supplies the current reader and the settings
  cMdfWriter_t* writer;      // owned
  cStream_t* output;         // the temporary of the current input, held from new-file to the end of end-file
  cStr_t final_name;         // the current output's name, relative to the output root
  cStr_t temporary;          // the name it is written under until it is complete
  int open_error;            // why the last new-file could not open an output (errno), for end-file
  cStr_t synced_folder;      // the output folder whose ancestors are synced ("delete-converted")
};

/// The stage, or null when memory is short or the writer cannot be made.
cConverterHandler_t* converterHandlerNew(cFileSystem_t* output_fs);
/// Stores the walker; a missing stage is ignored.
void converterHandlerSetWalker(cConverterHandler_t* stage, cWalker_t* walker);
/// Releases the writer, removes a temporary still held, frees the stage; null is ignored.
void converterHandlerFree(cConverterHandler_t* stage);

/// Hands the record to the writer; true.
bool converterHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record);
/// Opens the output's temporary and attaches it with the input's metadata. False when the
/// output's name is a folder, the temporary cannot be opened, the metadata cannot be read or
/// the writer refuses it; the temporary is then removed, and the reason is logged at the
/// end-file call that follows ("Could not open output file <name>: <reason>").
bool converterNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation);
/// Writes the finalized file into the temporary, closes it and renames it to the output's
/// name (with "delete-converted": synced before, its folder after). With "delete-converted" a
/// file under that name is never replaced: one that holds the same bytes stays and counts as
/// the output (synced, and its folder; the temporary is removed), any other fails the file;
/// without, it is replaced. False, with an error line naming the output and the reason, when
/// anything of that failed (the temporary is then removed and a file of the output's name
/// stays as it was): also when the temporary's name no longer holds the file written, when the
/// output's name does not hold it after the rename, when no output was open, and when the
/// writer dropped frames (the output is then published all the same).
bool converterEndFile(cRecordHandler_t* handler, const cFileInfo_t* info);

/// Installs handlers for the ending signals (kEndingSignals and the real-time ones) that
/// remove the temporary being written (while its name is the file the run made) and then end
/// the process by the signal's default action, or where that is ignored (the first process of
/// a PID namespace) exit with 128 + the signal; one that was ignored when the run started
/// stays ignored. A SIGSYS or SIGTRAP that the kernel raised is a crash and ends the run at
/// once; a SIGIO it raised (a broken lease) is passed over. SIGXFSZ is ignored, so that a file
/// size limit fails the output like a full disk. Call once from the main thread; false when a
/// handler could not be installed.
bool converterInstallSignalCleanup();
