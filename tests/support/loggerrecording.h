#pragma once
// Recordings in a CAN/LIN data logger's own layout, written byte by byte: one unsorted data
// group (record id size 1) with a CAN group (record id 1) whose data bytes live in a VLSD
// channel group (record id 2), and a LIN group (record id 3), the fields bit-packed, every
// record in one last DT block. The unfinalized form has the id "UnFinMF ", flags for cycle
// counts, VLSD sizes and the last DT length, cycle counts 0 and a DT length that covers only
// its header, as a logger leaves a file when its power is cut.
//
// The records stream into an std::ostream (a file for the benchmark's large recordings); the
// blocks in front of them are patched at Finish, so the writer keeps only counts.
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/image.h"

namespace test {

struct RecordingInfo {
  std::string serial = "0000ABCD";
  uint32_t session = 1;
  uint32_t split = 1;
  uint64_t start_ns = 1767225600000000000ULL;  // 2026-01-01T00:00:00Z
  bool finalized = true;
  std::string firmware = "01.07.02";
};

struct CanFrameRecord {
  uint64_t time_us;  // since the start
  uint8_t channel;
  uint32_t id;  // 11 or 29 bits
  bool ide = false;
  bool dir = false;
  bool edl = false;  // CAN FD
  bool brs = false;
  bool esi = false;
  uint8_t dlc = 0;            // 0..15
  std::vector<uint8_t> data;  // the logged bytes (the payload length of the DLC)
};

struct LinFrameRecord {
  uint64_t time_us;
  uint8_t channel;
  uint8_t id;  // 6 bits
  bool dir = false;
  std::vector<uint8_t> data;  // up to 8 bytes
};

inline std::string LoggerHeaderCommentFor(const RecordingInfo& info) {
  return "<HDcomment xmlns='http://www.asam.net/mdf/v4'>\n"
         "  <TX>QX logger recording</TX>\n"
         "  <common_properties>\n"
         "    <tree name='Device Information'>\n"
         "      <e name='serial number' type='string' ro='true'>" +
         info.serial +
         "</e>\n"
         "      <e name='firmware version' type='string' ro='true'>" +
         info.firmware +
         "</e>\n"
         "    </tree>\n"
         "    <tree name='File Information'>\n"
         "      <e name='session' type='integer' ro='true'>" +
         std::to_string(info.session) +
         "</e>\n"
         "      <e name='split' type='integer' ro='true'>" +
         std::to_string(info.split) +
         "</e>\n"
         "    </tree>\n"
         "  </common_properties>\n"
         "</HDcomment>\n";
}

class LoggerRecordingWriter {
 public:
  static constexpr uint8_t kCanRecordId = 1;
  static constexpr uint8_t kVlsdRecordId = 2;
  static constexpr uint8_t kLinRecordId = 3;
  // Record bytes after the record id.
  static constexpr uint32_t kCanRecordBytes = 23;
  static constexpr uint32_t kLinRecordBytes = 19;

  LoggerRecordingWriter(std::ostream& out, const RecordingInfo& info) : out_(out), info_(info) {
    BuildBlocks();
    const std::vector<uint8_t>& blocks = image_.Data();
    out_.write(reinterpret_cast<const char*>(blocks.data()), static_cast<std::streamsize>(blocks.size()));
    const std::vector<uint8_t> padding(static_cast<size_t>(dt_) - blocks.size(), 0);  // up to the DT's boundary
    out_.write(reinterpret_cast<const char*>(padding.data()), static_cast<std::streamsize>(padding.size()));
    // The DT header; its length is patched at Finish.
    const Bytes dt = Bytes().Raw("##DT").Zeros(4).U64(24).U64(0);
    out_.write(reinterpret_cast<const char*>(dt.Data().data()), static_cast<std::streamsize>(dt.Size()));
  }

  void Add(const CanFrameRecord& frame) {
    Bytes record;
    record.U8(kCanRecordId).U64(frame.time_us).U8(frame.channel);
    const uint32_t id_field = (frame.id & 0x1FFFFFFF) | (frame.ide ? 1u << 29 : 0) | (frame.dir ? 1u << 30 : 0);
    record.U32(id_field);
    record.U8(static_cast<uint8_t>((frame.dlc & 0x0F) | (frame.edl ? 0x10 : 0) | (frame.brs ? 0x20 : 0) |
                                   (frame.esi ? 0x40 : 0)));
    record.U8(static_cast<uint8_t>(frame.data.size()));
    record.U64(vlsd_bytes_);  // the VLSD channel's value: the offset of its payload
    record.U8(kVlsdRecordId).U32(static_cast<uint32_t>(frame.data.size())).Raw(frame.data);
    Emit(record);
    ++can_count_;
    vlsd_bytes_ += 4 + frame.data.size();
  }

  void Add(const LinFrameRecord& frame) {
    Bytes record;
    record.U8(kLinRecordId).U64(frame.time_us).U8(frame.channel);
    record.U8(static_cast<uint8_t>((frame.id & 0x3F) | (frame.dir ? 0x40 : 0)));
    const auto count = static_cast<uint8_t>(frame.data.size() & 0x0F);
    record.U8(static_cast<uint8_t>(count | (count << 4)));  // received bytes, then the data length
    std::vector<uint8_t> data = frame.data;
    data.resize(8, 0);
    record.Raw(data);
    Emit(record);
    ++lin_count_;
  }

  /// Patches the counts and the DT length (not in the unfinalized form) and flushes.
  void Finish() {
    if (info_.finalized) {
      const std::streampos end = out_.tellp();
      PatchU64(dt_ + 8, 24 + records_bytes_);
      PatchU64(can_cg_ + kCycleCountAt, can_count_);
      PatchU64(vlsd_cg_ + kCycleCountAt, can_count_);
      PatchU64(vlsd_cg_ + kDataBytesAt, vlsd_bytes_);  // a VLSD group's 64-bit byte total
      PatchU64(lin_cg_ + kCycleCountAt, lin_count_);
      out_.seekp(end);
    }
    out_.flush();
  }

  [[nodiscard]] uint64_t CanCount() const { return can_count_; }
  [[nodiscard]] uint64_t LinCount() const { return lin_count_; }
  [[nodiscard]] uint64_t RecordBytes() const { return records_bytes_; }

 private:
  // Offsets inside a CG block: header 24, six links 48, record id 8, then the cycle count.
  static constexpr int64_t kCycleCountAt = 24 + 48 + 8;
  static constexpr int64_t kDataBytesAt = 24 + 48 + 8 + 8 + 2 + 2 + 4;

  void Emit(const Bytes& record) {
    out_.write(reinterpret_cast<const char*>(record.Data().data()), static_cast<std::streamsize>(record.Size()));
    records_bytes_ += record.Size();
  }

  void PatchU64(int64_t at, uint64_t value) {
    out_.seekp(at);
    const Bytes bytes = Bytes().U64(value);
    out_.write(reinterpret_cast<const char*>(bytes.Data().data()), 8);
  }

  int64_t Text(const char* id, const std::string& text) { return image_.Append(id, {}, Bytes().Raw(text).Zeros(1)); }

  void BuildBlocks() {
    const bool finalized = info_.finalized;
    // Flags of the unfinalized form: cycle counts (0x01), last DT length (0x04), VLSD sizes (0x20).
    image_ =
        FileImage(IdentificationBlock(finalized ? "MDF     " : "UnFinMF ", "4.11", 411, "QX", finalized ? 0 : 0x25));
    const int64_t hd = image_.Append("##HD", {0, 0, 0, 0, 0, 0},
                                     Bytes().U64(info_.start_ns).U16(0).U16(0).U8(0).U8(0).U8(0).U8(0).F64(0).F64(0));
    const int64_t hd_comment = Text("##MD", LoggerHeaderCommentFor(info_));
    const int64_t fh_comment = Text("##MD",
                                    "<FHcomment><TX>Recorded</TX><tool_id>QX</tool_id><tool_vendor></tool_vendor>"
                                    "<tool_version>" +
                                        info_.firmware + "</tool_version></FHcomment>");
    const int64_t fh = image_.Append("##FH", {0, fh_comment}, Bytes().U64(info_.start_ns).U16(0).U16(0).U8(0).Zeros(3));
    const int64_t time_cc =
        image_.Append("##CC", {0, 0, 0, 0}, Bytes().U8(1).U8(0).U16(0).U16(0).U16(2).F64(0).F64(0).F64(0.0).F64(1e-6));
    const int64_t can_si = Source("CAN", 2);
    const int64_t lin_si = Source("LIN", 3);

    vlsd_cg_ = image_.Append("##CG", {0, 0, 0, 0, 0, 0}, GroupData(kVlsdRecordId, 0x01, 0));  // VLSD, no channels

    // CAN fields after the record id: Timestamp 0-7, BusChannel 8, ID bits 0-28 of 9-12 with
    // IDE and Dir in bits 29 and 30, DLC/EDL/BRS/ESI in 13, DataLength 14, DataBytes 15-22.
    const int64_t can_data = Channel("CAN_DataFrame.DataBytes", 0, 1, 10, 15, 0, 64, 0, vlsd_cg_);
    const int64_t can_length = Channel("CAN_DataFrame.DataLength", can_data, 0, 0, 14, 0, 8);
    const int64_t can_esi = Channel("CAN_DataFrame.ESI", can_length, 0, 0, 13, 6, 1);
    const int64_t can_brs = Channel("CAN_DataFrame.BRS", can_esi, 0, 0, 13, 5, 1);
    const int64_t can_edl = Channel("CAN_DataFrame.EDL", can_brs, 0, 0, 13, 4, 1);
    const int64_t can_dlc = Channel("CAN_DataFrame.DLC", can_edl, 0, 0, 13, 0, 4);
    const int64_t can_dir = Channel("CAN_DataFrame.Dir", can_dlc, 0, 0, 12, 6, 1);
    const int64_t can_ide = Channel("CAN_DataFrame.IDE", can_dir, 0, 0, 12, 5, 1);
    const int64_t can_id = Channel("CAN_DataFrame.ID", can_ide, 0, 0, 9, 0, 29);
    const int64_t can_bus = Channel("CAN_DataFrame.BusChannel", can_id, 0, 0, 8, 0, 8);
    const int64_t can_time = Channel("Timestamp", can_bus, 2, 0, 0, 0, 64, time_cc);

    // LIN fields: Timestamp 0-7, BusChannel 8, ID bits 0-5 and Dir bit 6 of 9, received
    // bytes and data length in the nibbles of 10, DataBytes 11-18.
    const int64_t lin_data = Channel("LIN_Frame.DataBytes", 0, 0, 10, 11, 0, 64);
    const int64_t lin_length = Channel("LIN_Frame.DataLength", lin_data, 0, 0, 10, 4, 4);
    const int64_t lin_count = Channel("LIN_Frame.ReceivedDataByteCount", lin_length, 0, 0, 10, 0, 4);
    const int64_t lin_dir = Channel("LIN_Frame.Dir", lin_count, 0, 0, 9, 6, 1);
    const int64_t lin_id = Channel("LIN_Frame.ID", lin_dir, 0, 0, 9, 0, 6);
    const int64_t lin_bus = Channel("LIN_Frame.BusChannel", lin_id, 0, 0, 8, 0, 8);
    const int64_t lin_time = Channel("Timestamp", lin_bus, 2, 0, 0, 0, 64, time_cc);

    lin_cg_ = image_.Append("##CG", {0, lin_time, Text("##TX", "LIN_Frame"), lin_si, 0, 0},
                            GroupData(kLinRecordId, 0x06, kLinRecordBytes));
    can_cg_ = image_.Append("##CG", {vlsd_cg_, can_time, Text("##TX", "CAN_DataFrame"), can_si, 0, 0},
                            GroupData(kCanRecordId, 0x06, kCanRecordBytes));
    image_.PatchLink(vlsd_cg_, 0, lin_cg_);
    const int64_t dg = image_.Append("##DG", {0, can_cg_, 0, 0}, Bytes().U8(1).Zeros(7));
    // The DT block follows at the next 8-byte boundary.
    dt_ = static_cast<int64_t>((image_.Data().size() + 7) / 8 * 8);
    image_.PatchLink(dg, 2, dt_);
    image_.PatchLink(hd, 0, dg);
    image_.PatchLink(hd, 1, fh);
    image_.PatchLink(hd, 5, hd_comment);
  }

  int64_t Source(const std::string& name, uint8_t bus_type) {
    const int64_t comment = Text("##MD", "<SIcomment><TX>" + name + " bus</TX><bus name='" + name + "1'/></SIcomment>");
    return image_.Append("##SI", {Text("##TX", name + "1"), 0, comment}, Bytes().U8(2).U8(bus_type).Zeros(6));
  }

  static std::vector<uint8_t> GroupData(uint64_t record_id, uint16_t flags, uint32_t data_bytes) {
    return Bytes().U64(record_id).U64(0).U16(flags).U16(0).Zeros(4).U32(data_bytes).U32(0);
  }

  int64_t Channel(const std::string& name, int64_t next, uint8_t type, uint8_t data_type, uint32_t byte_offset,
                  uint8_t bit_offset, uint32_t bit_count, int64_t conversion = 0, int64_t data = 0) {
    const int64_t name_block = Text("##TX", name);
    Bytes fields;
    fields.U8(type).U8(type == 2 ? 1 : 0);  // a master is synchronised on time
    fields.U8(data_type).U8(bit_offset).U32(byte_offset).U32(bit_count);
    fields.U32(0).U32(0).U8(0).U8(0).U16(0);  // flags, invalidation bit, precision, attachments
    for (int i = 0; i < 6; ++i) fields.F64(0.0);
    return image_.Append("##CN", {next, 0, name_block, 0, conversion, data, 0, 0}, fields);
  }

  std::ostream& out_;
  RecordingInfo info_;
  FileImage image_;
  int64_t dt_ = 0;
  int64_t can_cg_ = 0;
  int64_t vlsd_cg_ = 0;
  int64_t lin_cg_ = 0;
  uint64_t can_count_ = 0;
  uint64_t lin_count_ = 0;
  uint64_t vlsd_bytes_ = 0;
  uint64_t records_bytes_ = 0;
};

/// A whole recording in memory.
inline std::vector<uint8_t> LoggerRecording(const RecordingInfo& info, const std::vector<CanFrameRecord>& can,
                                            const std::vector<LinFrameRecord>& lin) {
  std::ostringstream out;
  LoggerRecordingWriter writer(out, info);
  // Interleaved by time, CAN first at equal times, as the logger writes them.
  size_t c = 0;
  size_t l = 0;
  while (c < can.size() || l < lin.size()) {
    if (l == lin.size() || (c < can.size() && can[c].time_us <= lin[l].time_us)) {
      writer.Add(can[c++]);
    } else {
      writer.Add(lin[l++]);
    }
  }
  writer.Finish();
  const std::string bytes = out.str();
  return {bytes.begin(), bytes.end()};
}

}  // namespace test
