#pragma once
// Recordings in a CAN/LIN data logger's own layout, written byte by byte: one unsorted data
// group (record id size 1) with a CAN group (record id 1) whose data bytes live in a VLSD
// channel group (record id 2), and a LIN group (record id 3), the fields bit-packed. By
// default every record lies in one last DT block, each payload right after its frame record;
// RecordingLayout gives the other layouts loggers write (payloads before their frames, a DL
// of fixed-size DT blocks, closed before or after the next header is written, or of blocks of
// whole records with aligned headers, or in a chain of lists, version 4.20, the payloads in
// signal data before or after the records), and AppendPowerLossNote what a logger appends
// behind its records when it loses power. The unfinalized form has the id "UnFinMF ", flags
// for cycle counts, VLSD sizes and the last DT length, cycle counts 0 and a last DT length
// that covers only its header, as a logger leaves a file when its power is cut.
//
// The blocks are laid out by loggerimage.h in this recording's own order. The records stream
// into an std::ostream (a file for the benchmark's large recordings) or any ImageOutput; the
// blocks in front of them are patched as the logger patches them (a list's links, a full
// block's length) and at Finish, so the writer keeps only counts.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/deflate.h"
#include "support/loggerimage.h"

namespace test {

struct RecordingInfo {
  std::string serial = "0000ABCD";
  uint32_t session = 1;
  uint32_t split = 1;
  uint64_t start_ns = 1767225600000000000ULL;  // 2026-01-01T00:00:00Z
  int16_t tz_offset_min = 0;                   // the rest of the header's time record
  int16_t dst_offset_min = 0;
  uint8_t time_flags = 0;
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

/// Where a logger puts its records. The default is the layout of the bundled examples.
struct RecordingLayout {
  bool payload_first = false;  // a CAN frame's payload record before its frame record, not after it
  /// 0: every record in one DT block. Otherwise DT blocks of this many data bytes (a multiple
  /// of 8, so that each block follows the last without a gap; at most this many with
  /// `whole_records`) in a DL block of `list_slots` data links, reserved up front and 0 until
  /// used; records run on from block to block.
  uint32_t block_data_bytes = 0;
  uint32_t list_slots = 16;
  /// A new DT block is linked in the list (with its offset) before its header is written;
  /// otherwise only once its header is whole. Either way a full block gets its length when
  /// the next one is begun: before its header, or with `close_after_next_header` only once
  /// that header is written and linked, so that a power loss between leaves it growing.
  bool link_before_header = true;
  bool close_after_next_header = false;
  /// No record is split across blocks: one that does not fit the rest of a block begins the
  /// next, so each block ends at a record boundary (closed with the length of its records) and
  /// the next header follows behind the 0 to 7 zeros that align it to 8 bytes.
  bool whole_records = false;
  std::string version_text = "4.11";
  uint16_t version = 411;
  /// The payloads in one SD block that the CAN data bytes channel links, written whole before
  /// the records (SignalData) and linked once whole, not in a VLSD group among the records.
  bool signal_data_first = false;
  /// With signal_data_first, the SD block zipped (a DZ block of original type SD), its
  /// entries followed by empty ones (4 zero bytes each) up to at least this many bytes: the
  /// payloads of a logger whose frames repeat deflate a thousandfold. 0: a plain SD block.
  uint64_t zipped_signal_data = 0;
  /// The payloads in one SD block written after the records (SignalDataAfter): the DT block
  /// gets its length, the SD header is begun growing, the entries follow and it gets its
  /// length. The data bytes channel links it once it is whole, or with
  /// `link_signal_data_when_begun` as soon as its header is written.
  bool signal_data_after = false;
  bool link_signal_data_when_begun = false;
  /// A full list is followed by a new one of `list_slots` links, written whole with its links
  /// 0 before the next block is begun, and linked from the list before it once whole; without
  /// it a list has no slot left once full.
  bool chain_lists = false;
};

/// Where a frame's bytes lie in the file: the first byte of its first record (frame record or
/// payload) and the end of its last one. A frame is in a file cut at `end` or later; the
/// headers of blocks begun between its records hold none of its bytes.
struct FrameExtent {
  uint64_t begin = 0;
  uint64_t end = 0;
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

  LoggerRecordingWriter(std::ostream& out, const RecordingInfo& info, const RecordingLayout& layout = {})
      : stream_(&out),
        owned_output_(std::make_unique<StreamOutput>(out)),
        output_(*owned_output_),
        info_(info),
        layout_(layout),
        image_(output_) {
    WriteBlocks();
  }
  /// Into an output the caller keeps, such as one that remembers each patch.
  LoggerRecordingWriter(ImageOutput& output, const RecordingInfo& info, const RecordingLayout& layout = {})
      : output_(output), info_(info), layout_(layout), image_(output_) {
    WriteBlocks();
  }
  // The image writer holds the output by reference.
  LoggerRecordingWriter(const LoggerRecordingWriter&) = delete;
  LoggerRecordingWriter& operator=(const LoggerRecordingWriter&) = delete;

  /// A CAN frame's record; `payload_offset` is the data bytes channel's value, the offset of
  /// its payload in the VLSD group or signal data.
  static Bytes CanRecord(const CanFrameRecord& frame, uint64_t payload_offset) {
    Bytes record;
    record.U8(kCanRecordId).U64(frame.time_us).U8(frame.channel);
    const uint32_t id_field = (frame.id & 0x1FFFFFFF) | (frame.ide ? 1u << 29 : 0) | (frame.dir ? 1u << 30 : 0);
    record.U32(id_field);
    record.U8(static_cast<uint8_t>((frame.dlc & 0x0F) | (frame.edl ? 0x10 : 0) | (frame.brs ? 0x20 : 0) |
                                   (frame.esi ? 0x40 : 0)));
    record.U8(static_cast<uint8_t>(frame.data.size()));
    record.U64(payload_offset);
    return record;
  }
  /// A CAN frame's payload, a record of the VLSD group.
  static Bytes PayloadRecord(const CanFrameRecord& frame) {
    return Bytes().U8(kVlsdRecordId).U32(static_cast<uint32_t>(frame.data.size())).Raw(frame.data);
  }
  static Bytes LinRecord(const LinFrameRecord& frame) {
    Bytes record;
    record.U8(kLinRecordId).U64(frame.time_us).U8(frame.channel);
    record.U8(static_cast<uint8_t>((frame.id & 0x3F) | (frame.dir ? 0x40 : 0)));
    const auto count = static_cast<uint8_t>(frame.data.size() & 0x0F);
    record.U8(static_cast<uint8_t>(count | (count << 4)));  // received bytes, then the data length
    std::vector<uint8_t> data = frame.data;
    data.resize(8, 0);
    record.Raw(data);
    return record;
  }

  /// The frame record and its payload record, in the layout's order.
  FrameExtent Add(const CanFrameRecord& frame) {
    const Bytes record = CanRecord(frame, vlsd_bytes_);
    if (layout_.signal_data_first || layout_.signal_data_after) {
      const FrameExtent extent = Emit(record);
      if (layout_.signal_data_after) pending_payloads_.push_back(frame.data);
      ++can_count_;
      vlsd_bytes_ += 4 + frame.data.size();
      return extent;
    }
    const Bytes payload = PayloadRecord(frame);
    const FrameExtent first = Emit(layout_.payload_first ? payload : record);
    const FrameExtent second = Emit(layout_.payload_first ? record : payload);
    ++can_count_;
    vlsd_bytes_ += 4 + frame.data.size();
    return {first.begin, second.end};
  }

  FrameExtent Add(const LinFrameRecord& frame) {
    const FrameExtent extent = Emit(LinRecord(frame));
    ++lin_count_;
    return extent;
  }

  /// The SD block of every payload the frames to come carry, in their order (signal_data_first):
  /// its header with its full length, the entries, then its link; the DT block follows it.
  void SignalData(const std::vector<std::vector<uint8_t>>& payloads) {
    if (!layout_.signal_data_first || dt_ != 0) throw std::logic_error("no signal data block to write here");
    Bytes entries;
    for (const std::vector<uint8_t>& payload : payloads)
      entries.U32(static_cast<uint32_t>(payload.size())).Raw(payload);
    std::vector<uint8_t> plain = entries.Data();
    if (plain.size() < layout_.zipped_signal_data) {
      plain.resize(plain.size() + (layout_.zipped_signal_data - plain.size() + 3) / 4 * 4, 0);
    }
    const int64_t sd = layout_.zipped_signal_data > 0 ? image_.Zipped(Deflated(plain), plain.size(), "SD")
                                                      : image_.Block("##SD", {}, plain);
    data_blocks_.push_back(static_cast<uint64_t>(sd));
    image_.PatchLink(can_data_bytes_, 5, sd);
    BeginDt();
  }

  /// The SD block of the payloads of every frame so far, behind the records
  /// (signal_data_after), linked as the layout says; the records end with it. Where each
  /// entry lies, in the frames' order.
  std::vector<FrameExtent> SignalDataAfter() {
    if (!layout_.signal_data_after || layout_.block_data_bytes != 0 || signal_data_ != 0)
      throw std::logic_error("no signal data block to write here");
    image_.SetLength(dt_, 24 + records_bytes_);
    signal_data_ = image_.Block("##SD", {}, {}, 24);
    data_blocks_.push_back(static_cast<uint64_t>(signal_data_));
    if (layout_.link_signal_data_when_begun) LinkSignalData();
    std::vector<FrameExtent> entries;
    for (const std::vector<uint8_t>& payload : pending_payloads_) {
      const uint64_t begin = output_.Size();
      image_.Raw(Bytes().U32(static_cast<uint32_t>(payload.size())).Raw(payload).Data());
      entries.push_back({begin, output_.Size()});
    }
    image_.SetLength(signal_data_, output_.Size() - static_cast<uint64_t>(signal_data_));
    if (!layout_.link_signal_data_when_begun) LinkSignalData();
    return entries;
  }
  /// The file size at which the data bytes channel got its link to the signal data; 0 before.
  [[nodiscard]] uint64_t SignalDataLinkedAt() const { return signal_data_linked_at_; }

  /// What a logger appends behind its records when it loses power: a comment (MD) and, with
  /// `event`, an event (EV) that the comment explains, linked from the header once whole.
  /// Neither holds a record, and the last DT keeps its length.
  void AppendPowerLossNote(bool event) {
    const int64_t comment = image_.Text("##MD", "<EVcomment><TX>power lost</TX></EVcomment>");
    if (!event) return;
    // A recording interrupt at one point in time, caused by an error.
    Bytes fields;
    fields.U8(1).U8(1).U8(0).U8(1).U8(0).Zeros(3).U32(0).U16(0).U16(0).U64(0).F64(1.0);
    const int64_t interrupt = image_.Block("##EV", {0, 0, 0, 0, comment}, fields.Data());
    image_.PatchLink(hd_, 4, interrupt);
  }

  /// Patches the counts and the last DT length (not in the unfinalized form) and flushes;
  /// writes the signal data after the records where they are not written yet.
  void Finish() {
    if (layout_.signal_data_after && signal_data_ == 0) SignalDataAfter();
    if (info_.finalized) {
      image_.SetLength(dt_, 24 + (layout_.block_data_bytes == 0 ? records_bytes_ : block_filled_));
      image_.SetCycles(can_cg_, can_count_);
      if (vlsd_cg_ != 0) {
        image_.SetCycles(vlsd_cg_, can_count_);
        image_.SetVlsdSize(vlsd_cg_, vlsd_bytes_);
      }
      image_.SetCycles(lin_cg_, lin_count_);
    }
    if (stream_ != nullptr) stream_->flush();
  }

  /// Where the data list begins; 0 when the records lie in one DT block.
  [[nodiscard]] int64_t ListBlock() const { return first_list_; }
  /// The bytes of each list chained behind the first, in file order.
  [[nodiscard]] const std::vector<FrameExtent>& ChainedLists() const { return chained_lists_; }
  /// Where each data block begun so far begins (its header), in file order.
  [[nodiscard]] const std::vector<uint64_t>& DataBlocks() const { return data_blocks_; }
  [[nodiscard]] uint64_t CanCount() const { return can_count_; }
  [[nodiscard]] uint64_t LinCount() const { return lin_count_; }
  [[nodiscard]] uint64_t RecordBytes() const { return records_bytes_; }
  /// Where the last record written begins (behind the header of a block begun before it).
  [[nodiscard]] uint64_t LastRecordBegin() const { return last_record_begin_; }

  /// CAN fields after the record id: Timestamp 0-7, BusChannel 8, ID bits 0-28 of 9-12 with
  /// IDE and Dir in bits 29 and 30, DLC/EDL/BRS/ESI in 13, DataLength 14, DataBytes 15-22:
  /// the offset of the payload in the VLSD group, or of its entry in the signal data.
  static std::vector<ImageChannel> CanChannels(bool in_vlsd_group) {
    const std::string can = "CAN_DataFrame.";
    ImageChannel data = ImageField(can + "DataBytes", 10, 15, 0, 64);
    data.type = 1;
    data.vlsd_group = in_vlsd_group ? 0 : -1;
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

  /// LIN fields: Timestamp 0-7, BusChannel 8, ID bits 0-5 and Dir bit 6 of 9, received
  /// bytes and data length in the nibbles of 10, DataBytes 11-18.
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

  /// The CG fields of a bus-event group (flags: bus event, plain bus event); its name and
  /// source are blocks of their own.
  static ImageGroup BusGroup(uint64_t record_id, uint32_t data_bytes) {
    ImageGroup group;
    group.record_id = record_id;
    group.flags = 0x06;
    group.data_bytes = data_bytes;
    return group;
  }

  /// The source of the bus ("CAN"): its comment, then its name, then the SI block.
  static int64_t Source(ImageWriter& image, const std::string& name, uint8_t bus_type) {
    const int64_t comment =
        image.Text("##MD", "<SIcomment><TX>" + name + " bus</TX><bus name='" + name + "1'/></SIcomment>");
    const int64_t source_name = image.Text("##TX", name + "1");
    return image.SourceBlock(bus_type, source_name, comment);
  }

 private:
  // The record's bytes behind the last ones; in a list, a full block is closed and the next
  // begun where the record needs more room.
  FrameExtent Emit(const Bytes& record) {
    const std::vector<uint8_t>& bytes = record.Data();
    records_bytes_ += bytes.size();
    if (layout_.block_data_bytes == 0) {
      last_record_begin_ = output_.Size();
      image_.Raw(bytes);
      return {last_record_begin_, output_.Size()};
    }
    FrameExtent extent;
    if (layout_.whole_records) {
      if (block_filled_ > 0 && block_filled_ + bytes.size() > layout_.block_data_bytes) NextBlock();
      extent.begin = output_.Size();
      image_.Raw(bytes);
      block_filled_ += bytes.size();
      extent.end = output_.Size();
      last_record_begin_ = extent.begin;
      return extent;
    }
    for (size_t at = 0; at < bytes.size();) {
      if (block_filled_ == layout_.block_data_bytes) NextBlock();
      if (at == 0) extent.begin = output_.Size();
      const size_t part = std::min<size_t>(bytes.size() - at, layout_.block_data_bytes - block_filled_);
      image_.Raw(
          {bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + part)});
      block_filled_ += part;
      at += part;
    }
    extent.end = output_.Size();
    last_record_begin_ = extent.begin;
    return extent;
  }

  // The full block gets its length; the new one is linked before or after its header, as the
  // layout says. Its header says "empty" until it is full, as a growing last DT block does.
  void NextBlock() {
    const bool list_full = slot_ == layout_.list_slots;
    if (list_full && !layout_.chain_lists) throw std::length_error("the data list has no slot left");
    const int64_t full = dt_;
    const uint64_t full_length = 24 + block_filled_;
    if (blocks_ > 0 && !layout_.close_after_next_header) image_.SetLength(full, full_length);
    list_bytes_ += block_filled_;
    if (list_full) {
      const int64_t next_list =
          image_.DataList(std::vector<int64_t>(layout_.list_slots, 0), std::vector<uint64_t>(layout_.list_slots, 0));
      image_.PatchLink(list_, 0, next_list);
      chained_lists_.push_back({static_cast<uint64_t>(next_list), output_.Size()});
      list_ = next_list;
      slot_ = 0;
    }
    const auto position = static_cast<int64_t>((output_.Size() + 7) / 8 * 8);
    if (layout_.link_before_header) LinkBlock(position);
    dt_ = image_.Block("##DT", {}, {}, 24);
    data_blocks_.push_back(static_cast<uint64_t>(dt_));
    if (!layout_.link_before_header) LinkBlock(dt_);
    if (blocks_ > 0 && layout_.close_after_next_header) image_.SetLength(full, full_length);
    ++blocks_;
    ++slot_;
    block_filled_ = 0;
  }

  void LinkSignalData() {
    image_.PatchLink(can_data_bytes_, 5, signal_data_);
    signal_data_linked_at_ = output_.Size();
  }

  void LinkBlock(int64_t position) {
    image_.PatchLink(list_, 1 + slot_, position);
    image_.SetDataListOffset(list_, layout_.list_slots, slot_, list_bytes_);
  }

  void WriteBlocks() {
    const bool finalized = info_.finalized;
    // Flags of the unfinalized form: cycle counts (0x01), last DT length (0x04), VLSD sizes (0x20).
    image_.Identification(finalized ? "MDF     " : "UnFinMF ", layout_.version_text, layout_.version, "QX",
                          finalized ? 0 : 0x25);
    ImageHistory history;
    history.tool_version = info_.firmware;
    hd_ = image_.Header(info_.start_ns, LoggerHeaderCommentFor(info_), {history}, info_.tz_offset_min,
                        info_.dst_offset_min, info_.time_flags);
    const int64_t time = image_.Conversion();
    const int64_t can_si = Source(image_, "CAN", 2);
    const int64_t lin_si = Source(image_, "LIN", 3);

    // The VLSD group first, which the CAN data bytes name; it is chained between CAN and LIN.
    // Signal data instead are linked once written.
    const bool signal_data = layout_.signal_data_first || layout_.signal_data_after;
    if (!signal_data) {
      ImageGroup vlsd;
      vlsd.record_id = kVlsdRecordId;
      vlsd.flags = 0x01;
      vlsd_cg_ = image_.GroupBlock(vlsd, 0, 0, 0, 0);
    }
    std::vector<int64_t> can_blocks;
    const int64_t can_channels = image_.Channels(CanChannels(!signal_data), {vlsd_cg_}, time, &can_blocks);
    can_data_bytes_ = can_blocks.back();
    const int64_t lin_channels = image_.Channels(LinChannels(), {}, time);
    const int64_t lin_name = image_.Text("##TX", "LIN_Frame");
    lin_cg_ = image_.GroupBlock(BusGroup(kLinRecordId, kLinRecordBytes), 0, lin_channels, lin_name, lin_si);
    const int64_t can_name = image_.Text("##TX", "CAN_DataFrame");
    can_cg_ = image_.GroupBlock(BusGroup(kCanRecordId, kCanRecordBytes), vlsd_cg_ != 0 ? vlsd_cg_ : lin_cg_,
                                can_channels, can_name, can_si);
    if (vlsd_cg_ != 0) image_.PatchLink(vlsd_cg_, 0, lin_cg_);
    dg_ = image_.DataGroup(1, can_cg_, 0);
    image_.PatchLink(hd_, 0, dg_);
    if (layout_.signal_data_first) return;  // the DT block follows the signal data
    BeginDt();
  }

  void BeginDt() {
    if (layout_.block_data_bytes == 0) {
      // The DT block's header; the records stream behind it and its length is patched at Finish.
      dt_ = image_.Block("##DT", {}, {}, 24);
      image_.PatchLink(dg_, 2, dt_);
      data_blocks_.push_back(static_cast<uint64_t>(dt_));
      return;
    }
    if (layout_.block_data_bytes % 8 != 0 && !layout_.whole_records)
      throw std::invalid_argument("data blocks of a list follow without gaps");
    list_ = first_list_ =
        image_.DataList(std::vector<int64_t>(layout_.list_slots, 0), std::vector<uint64_t>(layout_.list_slots, 0));
    image_.PatchLink(dg_, 2, list_);
    NextBlock();
  }

  std::ostream* stream_ = nullptr;  // flushed at Finish
  std::unique_ptr<StreamOutput> owned_output_;
  ImageOutput& output_;
  RecordingInfo info_;
  RecordingLayout layout_;
  ImageWriter image_;
  int64_t hd_ = 0;
  int64_t dg_ = 0;
  int64_t can_data_bytes_ = 0;  // the CAN data bytes channel, which links signal data
  int64_t dt_ = 0;              // the last DT block
  int64_t first_list_ = 0;
  int64_t list_ = 0;  // the last list
  std::vector<FrameExtent> chained_lists_;
  uint32_t blocks_ = 0;        // DT blocks begun in the lists
  uint32_t slot_ = 0;          // of them, in the last list
  uint64_t block_filled_ = 0;  // data bytes of the last one
  uint64_t list_bytes_ = 0;    // data bytes of the blocks before it
  std::vector<uint64_t> data_blocks_;
  int64_t can_cg_ = 0;
  int64_t vlsd_cg_ = 0;
  int64_t lin_cg_ = 0;
  uint64_t can_count_ = 0;
  uint64_t lin_count_ = 0;
  uint64_t vlsd_bytes_ = 0;
  uint64_t records_bytes_ = 0;
  uint64_t last_record_begin_ = 0;
  std::vector<std::vector<uint8_t>> pending_payloads_;  // of the signal data after the records
  int64_t signal_data_ = 0;
  uint64_t signal_data_linked_at_ = 0;
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
