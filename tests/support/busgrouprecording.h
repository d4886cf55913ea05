#pragma once
// Recordings of a logger that writes one data group per bus, byte by byte: a CAN bus's group
// holds its frame records (record id 1) and their payloads (its VLSD group, record id 2), a LIN
// bus's its frame records (record id 3), each with record id size 1 and the records of
// loggerrecording.h. Every group's blocks come first, in the order of the chain; then the
// records of one group after the other, each group's in a DT block linked when begun, before
// its header. When it begins the next group's DT, the logger leaves the DT before it growing
// (its length 24) or writes its length, with its group's counts or without them, as
// BusGroupLayout says. The unfinalized form has the id "UnFinMF " and the layout's flags, and
// every count 0 but those written, as a logger leaves a file when its power is cut.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/loggerimage.h"
#include "support/loggerrecording.h"

namespace test {

enum class Bus : uint8_t { kCan, kLin };

struct BusGroupLayout {
  std::vector<Bus> buses;      // one data group each, in the order of the chain and of their records
  bool close_earlier = false;  // a group's DT gets its length when the next group's DT is begun
  bool count_earlier = false;  // and the group its counts
  uint16_t flags = 0x25;       // of the unfinalized form: cycle counts, last DT length, VLSD sizes
};

class BusGroupRecordingWriter {
 public:
  using Writer = LoggerRecordingWriter;

  BusGroupRecordingWriter(ImageOutput& output, const RecordingInfo& info, const BusGroupLayout& layout)
      : output_(output), info_(info), layout_(layout), image_(output) {
    image_.Identification(info_.finalized ? "MDF     " : "UnFinMF ", "4.11", 411, "QX",
                          info_.finalized ? 0 : layout_.flags);
    ImageHistory history;
    history.tool_version = info_.firmware;
    const int64_t hd = image_.Header(info_.start_ns, LoggerHeaderCommentFor(info_), {history}, info_.tz_offset_min,
                                     info_.dst_offset_min, info_.time_flags);
    const int64_t time = image_.Conversion();
    // One source per kind of bus, which every group of that kind names: the output keeps one
    // source comment per kind.
    int64_t can_source = 0;
    int64_t lin_source = 0;
    int64_t previous = hd;
    for (const Bus bus : layout_.buses) {
      Group group;
      group.bus = bus;
      int64_t first = 0;
      if (bus == Bus::kCan) {
        if (can_source == 0) can_source = Writer::Source(image_, "CAN", 2);
        const int64_t source = can_source;
        ImageGroup vlsd;
        vlsd.record_id = Writer::kVlsdRecordId;
        vlsd.flags = 0x01;
        group.vlsd_cg = image_.GroupBlock(vlsd, 0, 0, 0, 0);
        const int64_t channels = image_.Channels(Writer::CanChannels(true), {group.vlsd_cg}, time);
        const int64_t name = image_.Text("##TX", "CAN_DataFrame");
        group.cg = image_.GroupBlock(Writer::BusGroup(Writer::kCanRecordId, Writer::kCanRecordBytes), group.vlsd_cg,
                                     channels, name, source);
        first = group.cg;
      } else {
        if (lin_source == 0) lin_source = Writer::Source(image_, "LIN", 3);
        const int64_t source = lin_source;
        const int64_t channels = image_.Channels(Writer::LinChannels(), {}, time);
        const int64_t name = image_.Text("##TX", "LIN_Frame");
        group.cg = image_.GroupBlock(Writer::BusGroup(Writer::kLinRecordId, Writer::kLinRecordBytes), 0, channels, name,
                                     source);
        first = group.cg;
      }
      group.dg = image_.DataGroup(1, first, 0);
      image_.PatchLink(previous, 0, group.dg);  // the header's first data group, or the next of the last
      previous = group.dg;
      groups_.push_back(group);
    }
  }
  // The image writer holds the output by reference.
  BusGroupRecordingWriter(const BusGroupRecordingWriter&) = delete;
  BusGroupRecordingWriter& operator=(const BusGroupRecordingWriter&) = delete;

  /// Begins the records of the next data group: the DT before it is closed (and counted) or
  /// left growing as the layout says, then the new one is linked and its header written.
  void NextGroup() {
    if (current_ + 1 >= groups_.size()) throw std::logic_error("no data group left");
    if (current_ < groups_.size()) {
      if (layout_.close_earlier) Close(groups_[current_]);
      if (layout_.count_earlier) Count(groups_[current_]);
    }
    Group& group = groups_[++current_];
    image_.PatchLink(group.dg, 2, static_cast<int64_t>((output_.Size() + 7) / 8 * 8));
    group.dt = image_.Block("##DT", {}, {}, 24);
    data_blocks_.push_back(static_cast<uint64_t>(group.dt));
  }

  /// The frame record, then its payload, into the current group, a CAN one.
  FrameExtent Add(const CanFrameRecord& frame) {
    Group& group = Current(Bus::kCan);
    const FrameExtent first = Emit(group, Writer::CanRecord(frame, group.vlsd_bytes));
    const FrameExtent second = Emit(group, Writer::PayloadRecord(frame));
    ++group.frames;
    group.vlsd_bytes += 4 + frame.data.size();
    return {first.begin, second.end};
  }

  FrameExtent Add(const LinFrameRecord& frame) {
    Group& group = Current(Bus::kLin);
    const FrameExtent extent = Emit(group, Writer::LinRecord(frame));
    ++group.frames;
    return extent;
  }

  /// The finalized form: every DT's length and every count.
  void Finish() {
    if (!info_.finalized) return;
    for (Group& group : groups_) {
      if (group.dt != 0) Close(group);
      Count(group);
    }
  }

  /// Where each DT block begins, in file order.
  [[nodiscard]] const std::vector<uint64_t>& DataBlocks() const { return data_blocks_; }
  [[nodiscard]] uint64_t LastRecordBegin() const { return last_record_begin_; }

 private:
  struct Group {
    Bus bus = Bus::kCan;
    int64_t dg = 0;
    int64_t cg = 0;
    int64_t vlsd_cg = 0;  // CAN only
    int64_t dt = 0;       // 0 until begun
    uint64_t frames = 0;
    uint64_t records_bytes = 0;
    uint64_t vlsd_bytes = 0;  // the payloads' lengths and bytes
  };

  Group& Current(Bus bus) {
    if (current_ >= groups_.size() || groups_[current_].bus != bus) throw std::logic_error("a frame of another bus");
    return groups_[current_];
  }

  FrameExtent Emit(Group& group, const Bytes& record) {
    last_record_begin_ = output_.Size();
    image_.Raw(record.Data());
    group.records_bytes += record.Data().size();
    return {last_record_begin_, output_.Size()};
  }

  void Close(const Group& group) { image_.SetLength(group.dt, 24 + group.records_bytes); }

  void Count(const Group& group) {
    image_.SetCycles(group.cg, group.frames);
    if (group.vlsd_cg != 0) {
      image_.SetCycles(group.vlsd_cg, group.frames);
      image_.SetVlsdSize(group.vlsd_cg, group.vlsd_bytes);
    }
  }

  ImageOutput& output_;
  RecordingInfo info_;
  BusGroupLayout layout_;
  ImageWriter image_;
  std::vector<Group> groups_;
  size_t current_ = static_cast<size_t>(-1);  // the group whose records are written; none yet
  std::vector<uint64_t> data_blocks_;
  uint64_t last_record_begin_ = 0;
};

}  // namespace test
