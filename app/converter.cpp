#include "app/converter.h"

#include <cstdlib>

#include "app/walker.h"
#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "platform/cstr.h"
#include "platform/log.h"

namespace {

// Outputs are opened for writing; the extra bit is the share flag that the native kind ignores.
constexpr int kOutputOpenFlags = kFsOpenWrite | 4;

const cRecordHandlerOps_t kConverterOps = {converterHandleRecord, converterNewFile, converterEndFile};

cConverterHandler_t* Stage(cRecordHandler_t* handler) { return reinterpret_cast<cConverterHandler_t*>(handler); }

/// Closes the output; false when the close failed (a second close frees the record).
bool CloseOutput(cConverterHandler_t* stage) {
  cStream_t* output = stage->output;
  stage->output = nullptr;
  if (output == nullptr || streamClose(output) == 0) return true;
  streamClose(output);
  return false;
}

}  // namespace

cConverterHandler_t* converterHandlerNew(cFileSystem_t* output_fs) {
  auto* stage = static_cast<cConverterHandler_t*>(std::calloc(1, sizeof(cConverterHandler_t)));
  if (stage == nullptr) return nullptr;
  if (!recordHandlerInit(&stage->handler) || (stage->writer = mdfWriterNew()) == nullptr) {
    std::free(stage);
    return nullptr;
  }
  stage->handler.ops = &kConverterOps;
  stage->output_fs = output_fs;
  return stage;
}

void converterHandlerSetWalker(cConverterHandler_t* stage, cWalker_t* walker) {
  if (stage != nullptr) stage->walker = walker;
}

void converterHandlerFree(cConverterHandler_t* stage) {
  if (stage == nullptr) return;
  mdfWriterFree(stage->writer);
  CloseOutput(stage);
  std::free(stage);
}

bool converterHandleRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  mdfWriterAddRecord(Stage(handler)->writer, record);
  return true;
}

bool converterNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t /*continuation*/) {
  cConverterHandler_t* stage = Stage(handler);
  if (stage == nullptr || info == nullptr || stage->walker == nullptr) return false;
  CloseOutput(stage);  // end-file closes it; this only matters after a skipped end-file

  cStr_t path{};
  const bool named =
      cStrInit(&path, cStrViewOfStr(&info->OutputPath)) && cStrAppend(&path, cStrViewOf(kOutputSuffix)) != nullptr;
  stage->output = named ? fsOpen(stage->output_fs, cStrViewOfStr(&path), kOutputOpenFlags) : nullptr;
  cStrRelease(&path);
  if (stage->output == nullptr) return false;

  // Without the input's comments the output would lose its device and file information.
  cMdfMetadata_t* metadata = mdfReaderGetMetadata(stage->walker->reader);
  if (metadata == nullptr) {
    logMessage(kLogError, "Could not read the metadata of %.*s", static_cast<int>(cStrLength(&info->InputPath)),
               cStrData(&info->InputPath));
    CloseOutput(stage);
    return false;
  }
  if (!mdfWriterOpen(stage->writer, stage->output, info, metadata)) {
    CloseOutput(stage);
    return false;
  }
  return true;
}

bool converterEndFile(cRecordHandler_t* handler, const cFileInfo_t* info) {
  cConverterHandler_t* stage = Stage(handler);
  if (stage == nullptr || info == nullptr || stage->output == nullptr) return false;
  const bool written = mdfWriterFinalize(stage->writer);
  // The writer has flushed its stream buffer; closing here makes a write error of the last
  // bytes (a full disk) fail this file before its input may be deleted.
  if (!CloseOutput(stage)) {
    logMessage(kLogError, "Could not close output file %.*s%s", static_cast<int>(cStrLength(&info->OutputPath)),
               cStrData(&info->OutputPath), kOutputSuffix);
    return false;
  }
  return written;
}
