#include "buslog/record_handler.h"

namespace {

bool RefuseRecord(cRecordHandler_t*, cBusMsgHelper_t*) { return false; }
bool RefuseNewFile(cRecordHandler_t*, const cFileInfo_t*, uint8_t) { return false; }
bool RefuseEndFile(cRecordHandler_t*, const cFileInfo_t*) { return false; }

constexpr cRecordHandlerOps_t kDefaultOps = {RefuseRecord, RefuseNewFile, RefuseEndFile};

}  // namespace

bool recordHandlerInit(cRecordHandler_t* handler) {
  if (handler == nullptr) return false;
  handler->ops = &kDefaultOps;
  handler->next = nullptr;
  return true;
}

bool recordHandlerHandle(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  if (handler == nullptr || record == nullptr || handler->ops == nullptr || handler->ops->handleRecord == nullptr) {
    return false;
  }
  return handler->ops->handleRecord(handler, record);
}

bool recordHandlerNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
  if (handler == nullptr || info == nullptr || handler->ops == nullptr || handler->ops->newFile == nullptr)
    return false;
  return handler->ops->newFile(handler, info, continuation);
}

bool recordHandlerEndFile(cRecordHandler_t* handler, const cFileInfo_t* info) {
  if (handler == nullptr || info == nullptr || handler->ops == nullptr || handler->ops->endFile == nullptr)
    return false;
  return handler->ops->endFile(handler, info);
}

bool handlerForwardEndFile(cRecordHandler_t* handler, const cFileInfo_t* info) {
  if (handler == nullptr) return false;
  return recordHandlerEndFile(handler->next, info);
}
