#pragma once
// A drawn recording (recordingdraw.h) laid out as the logger writes it: one unsorted data group
// (record ids of the drawn size) holding each drawn group with a "Timestamp" master of the drawn
// tick and width at byte 0 and the group's fields behind it, packed to the bit or in whole
// bytes (little- or big-endian), in the group's own order, as plain channels or composed into a
// frame channel; CAN data bytes in
// a fixed field or as offsets into a VLSD group of their own; the records in time order in one
// DT block, a payload's record after its frame's or before it. The unfinalized form has the id
// "UnFinMF ", cycle counts and VLSD sizes 0 and a DT length that covers only its header.
#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/loggerimage.h"
#include "support/loggerrecording.h"
#include "support/recordingdraw.h"

namespace test {

/// Where a group's field lies in its records (after the record id).
struct LaidField {
  std::string field;  // "ID", "DataBytes", ...
  uint32_t byte_offset = 0;
  uint8_t bit_offset = 0;
  uint32_t bit_count = 0;
  uint8_t data_type = 0;  // 0 unsigned little-endian, 1 big-endian, 10 bytes
  bool vlsd = false;      // the field holds the offset of the payload in the VLSD group
};

struct GroupLayout {
  uint32_t time_bytes = 8;
  std::vector<LaidField> fields;  // in the order of their channels
  uint32_t record_bytes = 0;      // after the record id
};

namespace drawn_detail {

inline uint32_t FieldBits(const DrawnGroup& group, const std::string& field) {
  if (field == "ID") return IsCanKind(group.kind) ? group.id_bits : 6;
  if (field == "BusChannel" || field == "Checksum") return 8;
  if (field == "DLC" || field == "ReceivedDataByteCount") return 4;
  if (field == "DataLength") return group.kind == BusKind::kCanData ? 7 : 4;
  if (field == "ErrorType") return 3;
  return 1;  // the flags
}

inline uint32_t DataFieldBytes(const DrawnGroup& group) {
  if (group.kind != BusKind::kCanData) return 8;
  return group.data == DataBytesForm::kFixed64 ? 64 : 8;  // a VLSD offset takes 8 bytes too
}

// Sets `bit_count` bits of `value` from the bit `bit_offset` of the byte `byte_offset` on.
inline void PutBits(std::vector<uint8_t>& record, uint32_t byte_offset, uint32_t bit_offset, uint32_t bit_count,
                    uint64_t value) {
  for (uint32_t i = 0; i < bit_count; ++i) {
    const uint32_t bit = bit_offset + i;
    if (((value >> i) & 1) != 0) record.at(byte_offset + bit / 8) |= static_cast<uint8_t>(1u << (bit % 8));
  }
}

// The whole bytes of a big-endian field, most significant first.
inline void PutBigEndian(std::vector<uint8_t>& record, uint32_t byte_offset, uint32_t bit_count, uint64_t value) {
  const uint32_t bytes = bit_count / 8;
  for (uint32_t i = 0; i < bytes; ++i) record.at(byte_offset + bytes - 1 - i) = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace drawn_detail

/// The group's record layout: its fields in a drawn order, the data bytes behind them.
inline GroupLayout LayOutGroup(const DrawnGroup& group, uint32_t time_bits) {
  using namespace drawn_detail;
  GroupLayout layout;
  layout.time_bytes = time_bits / 8;
  std::vector<std::string> numbers;
  bool data = false;
  for (const std::string& field : InputFieldsOf(group)) {
    if (field == "DataBytes") {
      data = true;
    } else {
      numbers.push_back(field);
    }
  }
  DrawRandom order(group.order_seed);
  order.Shuffle(numbers);
  uint32_t bit = layout.time_bytes * 8;
  for (const std::string& field : numbers) {
    uint32_t bits = FieldBits(group, field);
    if (!group.packed) {
      bits = bits <= 8 ? 8 : bits <= 16 ? 16 : 32;
      bit = (bit + 7) / 8 * 8;
    }
    const uint8_t data_type = group.big_endian && bits > 8 ? 1 : 0;
    layout.fields.push_back({field, bit / 8, static_cast<uint8_t>(bit % 8), bits, data_type, false});
    bit += bits;
  }
  bit = (bit + 7) / 8 * 8;
  if (data) {
    const bool vlsd = group.kind == BusKind::kCanData && group.data == DataBytesForm::kVlsd;
    const uint32_t bytes = DataFieldBytes(group);
    layout.fields.push_back({"DataBytes", bit / 8, 0, bytes * 8, 10, vlsd});
    bit += bytes * 8;
  }
  layout.record_bytes = bit / 8;
  order.Shuffle(layout.fields);  // the chain's order is the logger's too
  return layout;
}

/// The value the group logs in the field for the frame.
inline uint64_t LoggedValue(const DrawnGroup& group, const DrawnFrame& frame, const std::string& field) {
  if (field == "BusChannel") return frame.channel;
  if (field == "ID") {
    const bool bit31 = group.ide == IdeConvention::kBit31 || group.ide == IdeConvention::kBoth;
    return frame.id | (bit31 && frame.ide ? 1ULL << 31 : 0);
  }
  if (field == "IDE") return frame.ide;
  if (field == "Dir") return frame.dir;
  if (field == "EDL") return frame.edl;
  if (field == "BRS") return frame.brs;
  if (field == "ESI") return frame.esi;
  if (field == "DLC") return frame.dlc;
  if (field == "DataLength") {
    return frame.kind == BusKind::kCanRemote ? CanFrameBytes(frame.dlc, false) : frame.data.size();
  }
  if (field == "ReceivedDataByteCount") return frame.data.size();
  if (field == "Checksum") return frame.checksum;
  if (field == "ChecksumModel") return frame.checksum_model;
  if (field == "ErrorType") return frame.error_type;
  return 0;
}

/// The recording's bytes.
inline std::vector<uint8_t> DrawnRecordingBytes(const DrawnRecording& recording) {
  using namespace drawn_detail;
  const bool finalized = recording.info.finalized;
  std::vector<uint8_t> bytes;
  VectorOutput out(bytes);
  ImageWriter image(out);
  image.Identification(finalized ? "MDF     " : "UnFinMF ", recording.version_text, recording.version, "QX",
                       finalized ? 0 : 0x25);  // cycle counts, last DT length, VLSD sizes
  ImageHistory history;
  history.tool_version = recording.info.firmware;
  const int64_t hd = image.Header(recording.info.start_ns, LoggerHeaderCommentFor(recording.info), {history});
  // The rest of the header's time record behind the start: offsets and time flags.
  out.Overwrite(static_cast<uint64_t>(hd) + 24 + 48 + 8, Bytes()
                                                             .U16(static_cast<uint16_t>(recording.tz_offset_min))
                                                             .U16(static_cast<uint16_t>(recording.dst_offset_min))
                                                             .U8(recording.time_flags)
                                                             .Data());
  // The time stamps' linear conversion to seconds: the tick, 0 offset.
  const double factor = static_cast<double>(recording.tick_ns) / 1e9;
  const int64_t conversion =
      image.Block("##CC", {0, 0, 0, 0}, Bytes().U8(1).U8(0).U16(0).U16(0).U16(2).F64(0).F64(0).F64(0).F64(factor));

  // Each group's counts and layout; a VLSD group follows the group whose payloads it holds.
  std::vector<GroupLayout> layouts;
  std::vector<uint64_t> counts(recording.groups.size(), 0);
  std::vector<uint64_t> vlsd_bytes(recording.groups.size(), 0);
  for (const DrawnFrame& frame : recording.frames) {
    ++counts[frame.group];
    vlsd_bytes[frame.group] += 4 + frame.data.size();
  }
  std::vector<ImageGroup> groups;
  for (size_t g = 0; g < recording.groups.size(); ++g) {
    const DrawnGroup& drawn = recording.groups[g];
    const GroupLayout layout = LayOutGroup(drawn, recording.time_bits);
    layouts.push_back(layout);
    const std::string name = GroupNameOf(drawn.kind);
    ImageGroup group;
    group.name = name;
    group.record_id = drawn.record_id;
    group.cycles = finalized ? counts[g] : 0;
    group.data_bytes = layout.record_bytes;
    group.bus_type = IsCanKind(drawn.kind) ? 2 : 3;
    group.source_comment =
        IsCanKind(drawn.kind) ? "<SIcomment><TX>CAN bus</TX></SIcomment>" : "<SIcomment><TX>LIN bus</TX></SIcomment>";
    std::vector<ImageChannel> fields;
    for (const LaidField& laid : layout.fields) {
      ImageChannel channel =
          ImageField(name + "." + laid.field, laid.data_type, laid.byte_offset, laid.bit_offset, laid.bit_count);
      if (laid.vlsd) {
        channel.type = 1;
        channel.vlsd_group = static_cast<int>(groups.size() + 1);
      }
      fields.push_back(channel);
    }
    group.channels = {TimestampChannel(recording.time_bits)};
    if (drawn.composed) {
      ImageChannel frame = ImageField(name, 10, layout.time_bytes, 0, (layout.record_bytes - layout.time_bytes) * 8);
      frame.members = fields;
      group.channels.push_back(frame);
    } else {
      group.channels.insert(group.channels.end(), fields.begin(), fields.end());
    }
    groups.push_back(group);
    if (drawn.kind == BusKind::kCanData && drawn.data == DataBytesForm::kVlsd) {
      ImageGroup vlsd;
      vlsd.record_id = drawn.vlsd_record_id;
      vlsd.flags = 0x01;
      vlsd.cycles = finalized ? counts[g] : 0;
      vlsd.data_bytes = finalized ? static_cast<uint32_t>(vlsd_bytes[g]) : 0;  // the low half of its byte total
      groups.push_back(vlsd);
    }
  }
  const int64_t dg = image.DataGroup(recording.record_id_size, image.Groups(groups, conversion), 0);
  image.PatchLink(hd, 0, dg);

  std::vector<uint8_t> records;
  DrawRandom garbage(recording.seed ^ 0x7A11'6A3B'A6E5ULL);
  std::vector<uint64_t> vlsd_offsets(recording.groups.size(), 0);
  for (const DrawnFrame& frame : recording.frames) {
    const DrawnGroup& drawn = recording.groups[frame.group];
    const GroupLayout& layout = layouts[frame.group];
    std::vector<uint8_t> record(layout.record_bytes, 0);
    PutBits(record, 0, 0, layout.time_bytes * 8, frame.ticks);
    std::vector<uint8_t> payload;
    for (const LaidField& laid : layout.fields) {
      if (laid.data_type == 1) {
        PutBigEndian(record, laid.byte_offset, laid.bit_count, LoggedValue(drawn, frame, laid.field));
      } else if (laid.field != "DataBytes") {
        PutBits(record, laid.byte_offset, laid.bit_offset, laid.bit_count, LoggedValue(drawn, frame, laid.field));
      } else if (laid.vlsd) {
        PutBits(record, laid.byte_offset, 0, 64, vlsd_offsets[frame.group]);
        vlsd_offsets[frame.group] += 4 + frame.data.size();
        payload = Bytes()
                      .Le(drawn.vlsd_record_id, recording.record_id_size)
                      .U32(static_cast<uint32_t>(frame.data.size()))
                      .Raw(frame.data)
                      .Data();
      } else {
        std::vector<uint8_t> field = frame.data;
        const std::vector<uint8_t> tail = garbage.Bytes(laid.bit_count / 8 - field.size());
        field.insert(field.end(), tail.begin(), tail.end());
        if (!drawn.tail_garbage)
          std::fill(field.begin() + static_cast<std::ptrdiff_t>(frame.data.size()), field.end(), 0);
        std::copy(field.begin(), field.end(), record.begin() + laid.byte_offset);
      }
    }
    const std::vector<uint8_t> id = Bytes().Le(drawn.record_id, recording.record_id_size).Data();
    record.insert(record.begin(), id.begin(), id.end());
    if (recording.payload_first) PutBytes(records, payload);
    PutBytes(records, record);
    if (!recording.payload_first) PutBytes(records, payload);
  }
  const int64_t dt = image.Block("##DT", {}, records, finalized ? 0 : 24);
  image.PatchLink(dg, 2, dt);
  return bytes;
}

}  // namespace test
