#pragma once
// One bus event as it travels from the logger-file reader through the record-handler chain to
// the bus-log writer, the description of one input file, and the key and length helpers that
// the reader, the writer and the stages share.
#include <cstddef>
#include <cstdint>

#include "platform/cstr.h"

/// Kind of event (`cBusMsgHelper_t::MsgType`), named after the channel group that logs it.
enum cBusMsgType_t : int32_t {
  kBusMsgUnknown = 0,  // default records: the stages pass them on, the writer ignores them
  kBusMsgCanDataFrame = 1,
  kBusMsgCanRemoteFrame = 2,
  kBusMsgCanErrorFrame = 3,
  kBusMsgLinFrame = 4,
  kBusMsgLinChecksumError = 5,
  kBusMsgLinReceiveError = 6,
  kBusMsgLinTransmissionError = 7,
  kBusMsgLinSyncError = 8,
};

/// CAN error type of an error frame, numbered as the bus-logging convention does. Producers
/// store kCanErrorOther for a logged value above kCanErrorMaxValue.
enum cCanErrorMsgType_t : int32_t {
  kCanErrorOther = 0,
  kCanErrorBit = 1,
  kCanErrorForm = 2,
  kCanErrorBitStuffing = 3,
  kCanErrorCrc = 4,
  kCanErrorAck = 5,
};
constexpr int32_t kCanErrorMaxValue = kCanErrorAck;

/// Flags of CAN data and remote frames; each flag holds 0 or 1, DLC 0..15.
struct cCanFlags_t {
  uint8_t IDE;  // extended (29-bit) identifier
  uint8_t Dir;  // direction
  uint8_t EDL;  // CAN FD frame
  uint8_t ESI;  // error state indicator
  uint8_t BRS;  // bit-rate switch
  uint8_t RTR;  // remote request
  uint8_t DLC;  // data length code
  uint8_t Reserved;
};

/// Flags of LIN frames and LIN checksum errors; they share storage with IDE, Dir, EDL, ESI.
struct cLinFlags_t {
  uint8_t Dir;
  uint8_t ReceivedDataByteCount;
  uint8_t Checksum;
  uint8_t ChecksumModel;
};

/// Flags of CAN error frames: ErrorType shares storage with BRS, RTR, DLC and Reserved.
struct cCanErrorFlags_t {
  uint8_t Reserved[4];
  cCanErrorMsgType_t ErrorType;
};

/// Three views of one storage, chosen by MsgType: Can for 1 and 2, Lin for 4 and 5, Error
/// for 3. Code reads only the view that the record's kind selects; a zeroed union reads as
/// all flags 0 in every view.
union cBusMsgFlags_t {
  cCanFlags_t Can;
  cLinFlags_t Lin;
  cCanErrorFlags_t Error;
};
static_assert(sizeof(cBusMsgFlags_t) == 8, "the flag views share eight bytes");
static_assert(offsetof(cCanFlags_t, IDE) == 0 && offsetof(cCanFlags_t, Dir) == 1 && offsetof(cCanFlags_t, EDL) == 2 &&
                  offsetof(cCanFlags_t, ESI) == 3 && offsetof(cCanFlags_t, BRS) == 4 &&
                  offsetof(cCanFlags_t, RTR) == 5 && offsetof(cCanFlags_t, DLC) == 6,
              "CAN flags at bytes 0 to 6");
static_assert(offsetof(cLinFlags_t, Dir) == 0 && offsetof(cLinFlags_t, ReceivedDataByteCount) == 1 &&
                  offsetof(cLinFlags_t, Checksum) == 2 && offsetof(cLinFlags_t, ChecksumModel) == 3,
              "LIN flags at bytes 0 to 3, over IDE, Dir, EDL, ESI");
static_assert(offsetof(cCanErrorFlags_t, ErrorType) == offsetof(cCanFlags_t, BRS) && sizeof(cCanErrorMsgType_t) == 4,
              "ErrorType over BRS, RTR, DLC and the byte after them");

/// One bus event. `cBusMsgHelper_t msg{}` is the default record (time 0, channel 0, id 0, no
/// data, kind 0, all flags 0); records are made from it and then filled. The record owns its
/// DataBytes: release them with busMsgReset. It is trivially copyable, so a bitwise copy
/// shares a heap buffer and only one of the copies may be released.
struct cBusMsgHelper_t {
  int64_t Timestamp;   // ns since the file's start (cFileInfo_t::StartTime), exact as recorded
  uint8_t BusChannel;  // bus channel as logged
  uint32_t ID;         // CAN (11 or 29 bit) or LIN identifier; the reader sets bit 31 for IDE frames
  cStr_t DataBytes;    // binary data bytes; the length is the data length
  int32_t MsgType;     // cBusMsgType_t
  cBusMsgFlags_t Flags;
};

/// Releases the data bytes and makes the record the default record.
void busMsgReset(cBusMsgHelper_t* record);

/// Description of one input file: paths from the front end, the rest from the reader.
/// A zeroed value is empty; release it with fileInfoRelease.
struct cFileInfo_t {
  cStr_t InputPath;
  cStr_t OutputPath;    // without extension
  cStr_t SerialNumber;  // empty when the header comment has none
  uint64_t StartTime;   // the header's start: ns since 1970, exact
  uint32_t Session;     // 0 when absent
  uint32_t Split;       // 0 when absent
  // The rest of the header's time record, carried into the output as it is.
  int16_t TzOffsetMin;
  int16_t DstOffsetMin;
  uint8_t TimeFlags;  // bit 0 the start is local time, bit 1 the offsets are valid
};

/// Makes `copy` a deep copy of `info` (`copy` is overwritten, not released). False when memory
/// is short; `copy` is then empty.
bool fileInfoCopy(cFileInfo_t* copy, const cFileInfo_t* info);
/// Releases the texts; the value is empty afterwards.
void fileInfoRelease(cFileInfo_t* info);

// The helpers run for every record on the pass-through path, hence inline (constexpr).

/// The largest data length code: 4 bits.
constexpr uint32_t kCanMaxDlc = 15;

/// Data lengths of the CAN (FD) data length codes 0 to 15 (ISO 11898-1).
constexpr uint8_t kCanDlcLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

/// Data length of a CAN (FD) data length code; only its low 4 bits count.
constexpr uint32_t canDlcToLength(uint8_t dlc) { return kCanDlcLengths[dlc & 0x0F]; }

/// Data bytes a classic (not CAN FD) frame carries: its DLCs 9 to 15 mean 8 as well.
constexpr uint32_t kCanClassicMaxBytes = 8;

/// Data length of a CAN frame: the CAN FD table for an FD frame (EDL set), else the DLC up to 8.
constexpr uint32_t canFrameLength(uint8_t dlc, uint8_t edl) {
  const uint32_t length = kCanDlcLengths[dlc & 0x0F];
  return edl != 0 || length < kCanClassicMaxBytes ? length : kCanClassicMaxBytes;
}

/// Data bytes a CAN data frame can carry, a CAN FD one; no bus frame carries more. The writer
/// drops longer records (and counts them); the reader takes a longer payload for damage.
constexpr uint32_t kCanMaxDataBytes = canDlcToLength(0x0F);

constexpr uint32_t kCanExtendedIdMask = 0x1FFFFFFF;
constexpr uint32_t kCanStandardIdMask = 0x7FF;
constexpr uint32_t kCanExtendedKeyBit = 0x80000000;  // keeps extended keys apart from standard ones
constexpr uint32_t kLinIdMask = 0x3F;

/// Key of a CAN identifier: extended -> low 29 bits with bit 31 set; standard -> low 11 bits.
constexpr uint32_t canIdKey(uint32_t id, uint8_t extended) {
  return extended != 0 ? (id & kCanExtendedIdMask) | kCanExtendedKeyBit : id & kCanStandardIdMask;
}

constexpr uint32_t kJ1939PduFormatShift = 16;
constexpr uint32_t kJ1939FirstPdu2Format = 240;       // PDU formats from here on are broadcast (PDU2)
constexpr uint32_t kJ1939Pdu1GroupMask = 0x03FF0000;  // data pages and PDU format
constexpr uint32_t kJ1939Pdu2GroupMask = 0x03FFFF00;  // also the PDU specific byte

/// Key of an identifier's J1939 parameter group: priority and source address dropped, the
/// destination too for PDU1, then keyed like canIdKey. A standard identifier keys as canIdKey.
constexpr uint32_t j1939PgnKey(uint32_t id, uint8_t extended) {
  if (extended == 0) return canIdKey(id, 0);
  const uint32_t pdu_format = (id >> kJ1939PduFormatShift) & 0xFF;
  return canIdKey(id & (pdu_format < kJ1939FirstPdu2Format ? kJ1939Pdu1GroupMask : kJ1939Pdu2GroupMask), 1);
}

/// The 6-bit LIN identifier.
constexpr uint32_t linIdKey(uint32_t id) { return id & kLinIdMask; }
