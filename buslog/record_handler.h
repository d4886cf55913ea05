#pragma once
// cRecordHandler_t: one stage of the record-handler chain. A stage type embeds the handler as
// its first member (so a pointer to the stage is a pointer to its handler) and points it at
// an operation table that is constant and shared per stage type.
//
// Per input file the front end calls newFile once at the head of the chain, then
// handleRecord once per record in time order, then endFile once; every stage forwards the
// file callbacks to its next stage after its own work and returns the next stage's result.
// Everything runs on one thread.
//
// Results: true means the stage dealt with the call (forwarded, consumed, replaced or ignored
// the record); false means failure, and the front end then stops passing that file's records.
#include <cstdint>

#include "buslog/busmsg.h"

/// Bus types of the stages' configuration functions.
constexpr int32_t kBusTypeCan = 1;
constexpr int32_t kBusTypeCanJ1939 = 2;  // CAN whose extended frames are keyed by parameter group
constexpr int32_t kBusTypeLin = 3;

struct cRecordHandler_t;

struct cRecordHandlerOps_t {
  /// The record belongs to the caller; the stage may change it in place before passing it on
  /// and keeps nothing of it after returning unless it copies it.
  bool (*handleRecord)(cRecordHandler_t* handler, cBusMsgHelper_t* record);
  /// `continuation` is 1 when this input file continues the previous one.
  bool (*newFile)(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation);
  bool (*endFile)(cRecordHandler_t* handler, const cFileInfo_t* info);
};

struct cRecordHandler_t {
  const cRecordHandlerOps_t* ops;
  cRecordHandler_t* next;  // the following stage; null for the last one
};

/// Installs the default operations (all three return false and do nothing else) and clears
/// `next`. True, or false for a missing handler. Stage constructors call it first, then
/// install their own table; one that gets false releases its memory and returns nothing.
bool recordHandlerInit(cRecordHandler_t* handler);

/// Calls the stage's operation; false for a missing stage, record, file information or
/// operation. The stages reach their next stage through these.
bool recordHandlerHandle(cRecordHandler_t* handler, cBusMsgHelper_t* record);
bool recordHandlerNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation);
bool recordHandlerEndFile(cRecordHandler_t* handler, const cFileInfo_t* info);

/// The endFile operation of stages that keep nothing per file: the next stage's endFile and
/// its result; false for a missing stage.
bool handlerForwardEndFile(cRecordHandler_t* handler, const cFileInfo_t* info);
