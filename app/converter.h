#pragma once
// cConverterHandler_t: the last stage of the record-handler chain. Per input file it opens
// the output "<output path>_out.MF4" on the output file system, attaches it with the input's
// metadata to the bus-log writer, hands the writer every record, and at end-file lets the
// writer write the finalized file, then closes the output and checks the close, so that an
// output is complete on disk before the walker may delete its input.
#include <cstdint>

#include "buslog/busmsg.h"
#include "buslog/record_handler.h"
#include "platform/filesystem.h"
#include "platform/stream.h"

/// What an output's name adds to its input's path without extension, whatever that extension's case.
constexpr char kOutputSuffix[] = "_out.MF4";

class cMdfWriter_t;
struct cWalker_t;

/// The stage's fields belong to it; callers use the functions below.
struct cConverterHandler_t {
  cRecordHandler_t handler;  // first: converterHandleRecord, converterNewFile, converterEndFile
  cFileSystem_t* output_fs;  // not owned
  cWalker_t* walker;         // not owned; supplies the current reader at new-file
  cMdfWriter_t* writer;      // owned
  cStream_t* output;         // the current input's output, between new-file and end-file
};

/// The stage, or null when memory is short or the writer cannot be made.
cConverterHandler_t* converterHandlerNew(cFileSystem_t* output_fs);
/// Stores the walker; a missing stage is ignored.
void converterHandlerSetWalker(cConverterHandler_t* stage, cWalker_t* walker);
/// Releases the writer, closes an output still held, frees the stage; null is ignored.
void converterHandlerFree(cConverterHandler_t* stage);

/// Hands the record to the writer; true.
bool converterHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record);
/// Opens the output (replacing an existing file) and attaches it with the input's metadata.
/// False when the output cannot be opened, the metadata cannot be read or the writer refuses
/// it; the output is then closed again.
bool converterNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation);
/// Writes the finalized file and closes the output; false when the writer failed, no output
/// was open, or the close failed.
bool converterEndFile(cRecordHandler_t* handler, const cFileInfo_t* info);
