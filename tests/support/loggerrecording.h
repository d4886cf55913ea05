#pragma once
// Recordings in a CAN/LIN data logger's own layout, written byte by byte: one unsorted data
// group (record id size 1) with a CAN group (record id 1) whose data bytes live in a VLSD
// channel group (record id 2), and a LIN group (record id 3), the fields bit-packed, every
// record in one last DT block. The unfinalized form has the id "UnFinMF ", flags for cycle
// counts, VLSD sizes and the last DT length, cycle counts 0 and a DT length that covers only
// its header, as a logger leaves a file when its power is cut.
//
// The blocks are laid out by loggerimage.h in this recording's own order. The records stream
// into an std::ostream (a file for the benchmark's large recordings); the blocks in front of
// them are patched at Finish, so the writer keeps only counts.
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/loggerimage.h"

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

  LoggerRecordingWriter(std::ostream& out, const RecordingInfo& info)
      : out_(out), info_(info), output_(out), image_(output_) {
    WriteBlocks();
  }
  // The image writer holds the output by reference.
  LoggerRecordingWriter(const LoggerRecordingWriter&) = delete;
  LoggerRecordingWriter& operator=(const LoggerRecordingWriter&) = delete;

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
      image_.SetLength(dt_, 24 + records_bytes_);
      image_.SetCycles(can_cg_, can_count_);
      image_.SetCycles(vlsd_cg_, can_count_);
      image_.SetVlsdSize(vlsd_cg_, vlsd_bytes_);
      image_.SetCycles(lin_cg_, lin_count_);
    }
    out_.flush();
  }

  [[nodiscard]] uint64_t CanCount() const { return can_count_; }
  [[nodiscard]] uint64_t LinCount() const { return lin_count_; }
  [[nodiscard]] uint64_t RecordBytes() const { return records_bytes_; }

 private:
  void Emit(const Bytes& record) {
    image_.Raw(record.Data());
    records_bytes_ += record.Size();
  }

  void WriteBlocks() {
    const bool finalized = info_.finalized;
    // Flags of the unfinalized form: cycle counts (0x01), last DT length (0x04), VLSD sizes (0x20).
    image_.Identification(finalized ? "MDF     " : "UnFinMF ", "4.11", 411, "QX", finalized ? 0 : 0x25);
    ImageHistory history;
    history.tool_version = info_.firmware;
    const int64_t hd = image_.Header(info_.start_ns, LoggerHeaderCommentFor(info_), {history});
    const int64_t time = image_.Conversion();
    const int64_t can_si = Source("CAN", 2);
    const int64_t lin_si = Source("LIN", 3);

    // The VLSD group first, which the CAN data bytes name; it is chained between CAN and LIN.
    ImageGroup vlsd;
    vlsd.record_id = kVlsdRecordId;
    vlsd.flags = 0x01;
    vlsd_cg_ = image_.GroupBlock(vlsd, 0, 0, 0, 0);
    const int64_t can_channels = image_.Channels(CanChannels(), {vlsd_cg_}, time);
    const int64_t lin_channels = image_.Channels(LinChannels(), {}, time);
    const int64_t lin_name = image_.Text("##TX", "LIN_Frame");
    lin_cg_ = image_.GroupBlock(BusGroup(kLinRecordId, kLinRecordBytes), 0, lin_channels, lin_name, lin_si);
    const int64_t can_name = image_.Text("##TX", "CAN_DataFrame");
    can_cg_ = image_.GroupBlock(BusGroup(kCanRecordId, kCanRecordBytes), vlsd_cg_, can_channels, can_name, can_si);
    image_.PatchLink(vlsd_cg_, 0, lin_cg_);
    const int64_t dg = image_.DataGroup(1, can_cg_, 0);
    image_.PatchLink(hd, 0, dg);
    // The DT block's header; the records stream behind it and its length is patched at Finish.
    dt_ = image_.Block("##DT", {}, {}, 24);
    image_.PatchLink(dg, 2, dt_);
  }

  // CAN fields after the record id: Timestamp 0-7, BusChannel 8, ID bits 0-28 of 9-12 with
  // IDE and Dir in bits 29 and 30, DLC/EDL/BRS/ESI in 13, DataLength 14, DataBytes 15-22:
  // the offset of the payload in the VLSD group.
  static std::vector<ImageChannel> CanChannels() {
    const std::string can = "CAN_DataFrame.";
    ImageChannel data = ImageField(can + "DataBytes", 10, 15, 0, 64);
    data.type = 1;
    data.vlsd_group = 0;
    return {TimestampChannel(64),
            ImageField(can + "BusChannel", 0, 8, 0, 8),
            ImageField(can + "ID", 0, 9, 0, 29),
            ImageField(can + "IDE", 0, 12, 5, 1),
            ImageField(can + "Dir", 0, 12, 6, 1),
            ImageField(can + "DLC", 0, 13, 0, 4),
            ImageField(can + "EDL", 0, 13, 4, 1),
            ImageField(can + "BRS", 0, 13, 5, 1),
            ImageField(can + "ESI", 0, 13, 6, 1),
            ImageField(can + "DataLength", 0, 14, 0, 8),
            data};
  }

  // LIN fields: Timestamp 0-7, BusChannel 8, ID bits 0-5 and Dir bit 6 of 9, received
  // bytes and data length in the nibbles of 10, DataBytes 11-18.
  static std::vector<ImageChannel> LinChannels() {
    const std::string lin = "LIN_Frame.";
    return {TimestampChannel(64),
            ImageField(lin + "BusChannel", 0, 8, 0, 8),
            ImageField(lin + "ID", 0, 9, 0, 6),
            ImageField(lin + "Dir", 0, 9, 6, 1),
            ImageField(lin + "ReceivedDataByteCount", 0, 10, 0, 4),
            ImageField(lin + "DataLength", 0, 10, 4, 4),
            ImageField(lin + "DataBytes", 10, 11, 0, 64)};
  }

  // The CG fields of a bus-event group (flags: bus event, plain bus event); its name and
  // source are blocks of their own.
  static ImageGroup BusGroup(uint64_t record_id, uint32_t data_bytes) {
    ImageGroup group;
    group.record_id = record_id;
    group.flags = 0x06;
    group.data_bytes = data_bytes;
    return group;
  }

  // The source's comment, then its name, then the SI block.
  int64_t Source(const std::string& name, uint8_t bus_type) {
    const int64_t comment =
        image_.Text("##MD", "<SIcomment><TX>" + name + " bus</TX><bus name='" + name + "1'/></SIcomment>");
    const int64_t source_name = image_.Text("##TX", name + "1");
    return image_.SourceBlock(bus_type, source_name, comment);
  }

  std::ostream& out_;
  RecordingInfo info_;
  StreamOutput output_;
  ImageWriter image_;
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
