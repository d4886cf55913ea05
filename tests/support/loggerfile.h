#pragma once
// A hand-built MDF 4.11 file as a CAN/LIN data logger writes it: one unsorted data group
// (record id size 1) with a CAN and a LIN channel group, the records in a DL list of a DT, a
// DZ and a last DT block, a header comment with "common_properties" and one file-history
// entry. Its unfinalized twin has the logger's "UnFinMF " id with flags 0x05, cycle counts
// 0 and a last DT block whose length still covers only its header.
#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/deflate.h"
#include "support/image.h"
#include "support/loggerheadercomment.h"

namespace test {

struct CanFrame {
  uint64_t time_us;
  uint32_t id;                // 29 bits
  uint8_t dlc;                // 4 bits
  uint8_t dir;                // 1 bit
  std::vector<uint8_t> data;  // 8 bytes
};

struct LinFrame {
  uint32_t time_us;
  uint8_t id;                 // 6 bits
  uint8_t length;             // 4 bits
  std::vector<uint8_t> data;  // 8 bytes
};

inline const std::vector<CanFrame>& LoggerCanFrames() {
  static const std::vector<CanFrame> frames = {
      {1000000, 0x123, 8, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
      {1500000, 0x1FFFFFFF, 2, 1, {0xDE, 0xAD, 0, 0, 0, 0, 0, 0}},
      {2000250, 0x7FF, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {2750000, 0x18FEF100, 8, 1, {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8}},
      {3000000, 0x001, 4, 0, {0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0}},
  };
  return frames;
}

inline const std::vector<LinFrame>& LoggerLinFrames() {
  static const std::vector<LinFrame> frames = {
      {1200000, 0x3C, 8, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}},
      {2500000, 0x10, 2, {0x5A, 0xA5, 0, 0, 0, 0, 0, 0}},
      {3100000, 0x3F, 4, {0xC0, 0xFF, 0xEE, 0x00, 0, 0, 0, 0}},
  };
  return frames;
}

inline constexpr uint64_t kLoggerStartTimeNs = 1600000000123456789ULL;
inline constexpr const char* kLoggerFileHistoryComment =
    "<FHcomment><TX>Recorded</TX><tool_id>QX</tool_id><tool_vendor></tool_vendor>"
    "<tool_version>01.07.02</tool_version></FHcomment>";

class LoggerFileBuilder {
 public:
  explicit LoggerFileBuilder(bool unfinalized) : unfinalized_(unfinalized) {}

  std::vector<uint8_t> Build() {
    const bool unfin = unfinalized_;
    // Standard unfinalized flags of the twin: CG counts, last DT length.
    file_ = FileImage(IdentificationBlock(unfin ? "UnFinMF " : "MDF     ", "4.11", 411, "QX", unfin ? 0x05 : 0));

    // Header at 64; its links are patched once the blocks exist.
    const int64_t hd = file_.Append("##HD", {0, 0, 0, 0, 0, 0}, HeaderData());
    const int64_t hd_comment = Text("##MD", kLoggerHeaderComment);
    const int64_t fh_comment = Text("##MD", kLoggerFileHistoryComment);
    const int64_t fh = file_.Append("##FH", {0, fh_comment}, FileHistoryData());

    const int64_t time_cc = file_.Append("##CC", {0, 0, 0, 0}, LinearConversion(0.0, 1e-6));
    // CAN channel group, channels written last to first so each knows its successor.
    const int64_t can_data = Channel("CAN_DataFrame.DataBytes", 0, 0, 10, 13, 0, 64, 0);
    const int64_t can_dir = Channel("CAN_DataFrame.Dir", can_data, 0, 0, 12, 4, 1, 0);
    const int64_t can_dlc = Channel("CAN_DataFrame.DLC", can_dir, 0, 0, 12, 0, 4, 0);
    const int64_t can_id = Channel("CAN_DataFrame.ID", can_dlc, 0, 0, 8, 0, 29, 0);
    const int64_t can_time = Channel("Timestamp", can_id, 2, 0, 0, 0, 64, time_cc);
    const int64_t lin_data = Channel("LIN_Frame.DataBytes", 0, 0, 10, 6, 0, 64, 0);
    const int64_t lin_length = Channel("LIN_Frame.DataLength", lin_data, 0, 0, 5, 0, 4, 0);
    const int64_t lin_id = Channel("LIN_Frame.ID", lin_length, 0, 0, 4, 0, 6, 0);
    const int64_t lin_time = Channel("Timestamp", lin_id, 2, 0, 0, 0, 32, time_cc);

    const uint64_t can_count = unfin ? 0 : LoggerCanFrames().size();
    const uint64_t lin_count = unfin ? 0 : LoggerLinFrames().size();
    const int64_t lin_cg = ChannelGroup("LIN_Frame", 0, lin_time, 2, lin_count, kLinRecordBytes, 3);
    const int64_t can_cg = ChannelGroup("CAN_DataFrame", lin_cg, can_time, 1, can_count, kCanRecordBytes, 2);

    // Records, unsorted: CAN, LIN, CAN | LIN, CAN, CAN | LIN, CAN.
    const auto& can = LoggerCanFrames();
    const auto& lin = LoggerLinFrames();
    const std::vector<uint8_t> first = Concat({CanRecord(can[0]), LinRecord(lin[0]), CanRecord(can[1])});
    const std::vector<uint8_t> zipped = Concat({LinRecord(lin[1]), CanRecord(can[2]), CanRecord(can[3])});
    const std::vector<uint8_t> last = Concat({LinRecord(lin[2]), CanRecord(can[4])});

    const int64_t dt1 = file_.Append("##DT", {}, first);
    const int64_t dz = file_.Append("##DZ", {}, ZippedData(zipped));
    const std::vector<uint8_t> list_data =
        Bytes().U8(0).Zeros(3).U32(3).U64(0).U64(first.size()).U64(first.size() + zipped.size());  // offsets follow
    const int64_t dl = file_.Append("##DL", {0, dt1, dz, 0}, list_data);
    const int64_t dg = file_.Append("##DG", {0, can_cg, dl, 0}, Bytes().U8(1).Zeros(7));  // record id size 1

    // The last DT ends the file; the unfinalized twin's length still says "empty".
    const int64_t dt2 = file_.Append("##DT", {}, last, unfin ? 24 : 24 + last.size());
    file_.PatchLink(dl, 3, dt2);
    file_.PatchLink(hd, 0, dg);
    file_.PatchLink(hd, 1, fh);
    file_.PatchLink(hd, 5, hd_comment);
    return file_.Data();
  }

  static constexpr uint32_t kCanRecordBytes = 21;
  static constexpr uint32_t kLinRecordBytes = 14;

 private:
  int64_t Text(const char* id, const std::string& text) { return file_.Append(id, {}, Bytes().Raw(text).Zeros(1)); }

  static std::vector<uint8_t> HeaderData() {
    return Bytes()
        .U64(kLoggerStartTimeNs)
        .U16(0)  // time zone offset
        .U16(0)  // daylight saving offset
        .U8(0)   // time flags: UTC
        .U8(0)   // time class: PC time
        .U8(0)   // flags
        .U8(0)   // reserved
        .F64(0.0)
        .F64(0.0);
  }

  static std::vector<uint8_t> FileHistoryData() { return Bytes().U64(kLoggerStartTimeNs).U16(0).U16(0).U8(0).Zeros(3); }

  static std::vector<uint8_t> LinearConversion(double offset, double factor) {
    return Bytes()
        .U8(1)   // linear
        .U8(0)   // precision
        .U16(0)  // flags
        .U16(0)  // references
        .U16(2)  // values
        .F64(0.0)
        .F64(0.0)
        .F64(offset)
        .F64(factor);
  }

  int64_t Channel(const std::string& name, int64_t next, uint8_t type, uint8_t data_type, uint32_t byte_offset,
                  uint8_t bit_offset, uint32_t bit_count, int64_t conversion) {
    const int64_t name_block = Text("##TX", name);
    Bytes data;
    data.U8(type).U8(type == 2 ? 1 : 0);  // a master is synchronised on time
    data.U8(data_type).U8(bit_offset).U32(byte_offset).U32(bit_count);
    data.U32(0);  // flags
    data.U32(0);  // invalidation bit
    data.U8(0);   // precision
    data.U8(0);
    data.U16(0);  // attachments
    for (int i = 0; i < 6; ++i) data.F64(0.0);
    return file_.Append("##CN", {next, 0, name_block, 0, conversion, 0, 0, 0}, data);
  }

  int64_t ChannelGroup(const std::string& name, int64_t next, int64_t first_channel, uint64_t record_id,
                       uint64_t cycle_count, uint32_t data_bytes, uint8_t bus_type) {
    const int64_t name_block = Text("##TX", name);
    const int64_t source_name = Text("##TX", bus_type == 2 ? "CAN1" : "LIN1");
    const int64_t si = file_.Append("##SI", {source_name, 0, 0}, Bytes().U8(2).U8(bus_type).Zeros(6));  // a bus
    const std::vector<uint8_t> data = Bytes()
                                          .U64(record_id)
                                          .U64(cycle_count)
                                          .U16(0x02)  // bus event
                                          .U16(0)
                                          .Zeros(4)
                                          .U32(data_bytes)
                                          .U32(0);
    return file_.Append("##CG", {next, first_channel, name_block, si, 0, 0}, data);
  }

  static std::vector<uint8_t> CanRecord(const CanFrame& frame) {
    return Bytes()
        .U8(1)
        .U64(frame.time_us)
        .U32(frame.id)
        .U8(static_cast<uint8_t>(frame.dlc | (frame.dir << 4)))
        .Raw(frame.data);
  }

  static std::vector<uint8_t> LinRecord(const LinFrame& frame) {
    return Bytes().U8(2).U32(frame.time_us).U8(frame.id).U8(frame.length).Raw(frame.data);
  }

  // A DZ block's data: deflated plain records that stand for a DT block.
  static std::vector<uint8_t> ZippedData(const std::vector<uint8_t>& plain) {
    const std::vector<uint8_t> packed = Deflated(plain);
    return Bytes().Raw("DT").U8(0).U8(0).U32(0).U64(plain.size()).U64(packed.size()).Raw(packed);
  }

  bool unfinalized_;
  FileImage file_;
};

}  // namespace test
