#include "buslog/busmsg.h"

void busMsgReset(cBusMsgHelper_t* record) {
  cStrRelease(&record->DataBytes);
  *record = cBusMsgHelper_t{};
}

bool fileInfoCopy(cFileInfo_t* copy, const cFileInfo_t* info) {
  *copy = cFileInfo_t{};
  if (!cStrInit(&copy->InputPath, cStrViewOfStr(&info->InputPath)) ||
      !cStrInit(&copy->OutputPath, cStrViewOfStr(&info->OutputPath)) ||
      !cStrInit(&copy->SerialNumber, cStrViewOfStr(&info->SerialNumber))) {
    fileInfoRelease(copy);  // cStrInit leaves a failed text empty, so releasing all is safe
    return false;
  }
  copy->StartTime = info->StartTime;
  copy->Session = info->Session;
  copy->Split = info->Split;
  copy->TzOffsetMin = info->TzOffsetMin;
  copy->DstOffsetMin = info->DstOffsetMin;
  copy->TimeFlags = info->TimeFlags;
  return true;
}

void fileInfoRelease(cFileInfo_t* info) {
  cStrRelease(&info->InputPath);
  cStrRelease(&info->OutputPath);
  cStrRelease(&info->SerialNumber);
  *info = cFileInfo_t{};
}
