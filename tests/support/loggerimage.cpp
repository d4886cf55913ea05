#include "support/loggerimage.h"

#include "support/bytes.h"
#include "support/image.h"

namespace test {

namespace {

class ImageWriter {
 public:
  explicit ImageWriter(const ImageSpec& spec)
      : file_(
            IdentificationBlock(spec.file_id, spec.version_text, spec.version, spec.program, spec.unfinalized_flags)) {}

  int64_t Text(const char* id, const std::string& text) { return file_.Append(id, {}, Bytes().Raw(text).Zeros(1)); }

  int64_t Conversion() {
    const std::vector<uint8_t> data =
        Bytes().U8(1).U8(0).U16(0).U16(0).U16(2).F64(0.0).F64(0.0).F64(0.0).F64(1e-6);  // linear, 1e-6
    return file_.Append("##CC", {0, 0, 0, 0}, data);
  }

  // The chain of channels, last to first so each knows its successor; returns the first.
  int64_t Channels(const std::vector<ImageChannel>& channels, const std::vector<int64_t>& groups) {
    int64_t next = 0;
    for (auto it = channels.rbegin(); it != channels.rend(); ++it) {
      const int64_t composition = it->members.empty() ? 0 : Channels(it->members, groups);
      const int64_t name = Text("##TX", it->name);
      const int64_t conversion = it->microseconds ? Conversion() : 0;
      const int64_t data_link = it->vlsd_group >= 0 ? groups.at(static_cast<size_t>(it->vlsd_group)) : 0;
      Bytes data;
      data.U8(it->type).U8(it->type == 2 ? 1 : 0);  // a master is synchronised on time
      data.U8(it->data_type).U8(it->bit_offset).U32(it->byte_offset).U32(it->bit_count);
      data.U32(it->members.empty() ? 0 : 0x400);  // flags
      data.U32(0);                                // invalidation bit
      data.U8(0).U8(0).U16(0);                    // precision, reserved, attachments
      for (int i = 0; i < 6; ++i) data.F64(0.0);
      next = file_.Append("##CN", {next, composition, name, 0, conversion, data_link, 0, 0}, data);
    }
    return next;
  }

  int64_t Source(const ImageGroup& group) {
    if (group.bus_type == 0) return 0;
    const int64_t name = Text("##TX", group.bus_type == 2 ? "CAN1" : "LIN1");
    const int64_t comment = group.source_comment.empty() ? 0 : Text("##MD", group.source_comment);
    return file_.Append("##SI", {name, 0, comment}, Bytes().U8(2).U8(group.bus_type).Zeros(6));
  }

  std::vector<uint8_t> Build(const ImageSpec& spec) {
    const int64_t hd = file_.Append("##HD", {0, 0, 0, 0, 0, 0},
                                    Bytes().U64(spec.start_ns).U16(0).U16(0).U8(0).U8(0).U8(0).U8(0).F64(0).F64(0));
    if (!spec.header_comment.empty()) file_.PatchLink(hd, 5, Text("##MD", spec.header_comment));
    int64_t next_history = 0;
    for (auto it = spec.histories.rbegin(); it != spec.histories.rend(); ++it) {
      const int64_t comment = it->comment ? Text("##MD", HistoryComment(*it)) : 0;
      next_history =
          file_.Append("##FH", {next_history, comment}, Bytes().U64(spec.start_ns).U16(0).U16(0).U8(0).Zeros(3));
    }
    file_.PatchLink(hd, 1, next_history);

    // Groups last to first: a VLSD channel names a group after its own.
    std::vector<int64_t> positions(spec.groups.size(), 0);
    int64_t next = 0;
    for (size_t index = spec.groups.size(); index-- > 0;) {
      const ImageGroup& group = spec.groups[index];
      const int64_t channels = Channels(group.channels, positions);
      const int64_t name = group.name.empty() ? 0 : Text("##TX", group.name);
      const int64_t source = Source(group);
      const std::vector<uint8_t> data =
          Bytes().U64(group.record_id).U64(group.cycles).U16(group.flags).U16(0).Zeros(4).U32(group.data_bytes).U32(0);
      next = file_.Append("##CG", {next, channels, name, source, 0, 0}, data);
      positions[index] = next;
    }
    const int64_t dg = file_.Append("##DG", {0, next, 0, 0}, Bytes().U8(spec.record_id_size).Zeros(7));
    file_.PatchLink(hd, 0, dg);
    // The data block ends the file, as in a recording the logger may not have finalized.
    if (!spec.records.empty()) file_.PatchLink(dg, 2, file_.Append("##DT", {}, spec.records, spec.dt_length));
    return file_.Data();
  }

 private:
  FileImage file_;
};

ImageChannel Field(const std::string& name, uint8_t data_type, uint32_t byte_offset, uint32_t bits,
                   uint8_t bit_offset = 0) {
  ImageChannel channel;
  channel.name = name;
  channel.data_type = data_type;
  channel.byte_offset = byte_offset;
  channel.bit_count = bits;
  channel.bit_offset = bit_offset;
  return channel;
}

ImageChannel TimeMaster() {
  ImageChannel time = Field("Timestamp", 0, 0, 64);
  time.type = 2;
  time.microseconds = true;
  return time;
}

}  // namespace

std::string HistoryComment(const ImageHistory& history) {
  return "<FHcomment><TX>Recorded</TX><tool_id>" + history.tool_id + "</tool_id><tool_vendor>" + history.tool_vendor +
         "</tool_vendor><tool_version>01.07.02</tool_version></FHcomment>";
}

std::vector<uint8_t> BuildLoggerImage(const ImageSpec& spec) { return ImageWriter(spec).Build(spec); }

std::string HeaderCommentWith(const std::string& serial, const std::string& session, const std::string& split,
                              bool inside_tree) {
  const std::string entries = "<e name='serial number' type='string'>" + serial + "</e><e name='session'>" + session +
                              "</e><e name='split'>" + split + "</e>";
  return "<HDcomment><TX>QX logger recording</TX><common_properties>" +
         (inside_tree ? "<tree name='File Information'>" + entries + "</tree>" : entries) +
         "</common_properties></HDcomment>";
}

void PutLe(std::vector<uint8_t>& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutBytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

ImageGroup ComposedCanGroup(uint64_t record_id, uint64_t cycles) {
  ImageGroup group;
  group.name = "CAN_DataFrame";
  group.record_id = record_id;
  group.cycles = cycles;
  group.data_bytes = 28;
  group.bus_type = 2;
  ImageChannel frame = Field("CAN_DataFrame", 10, 8, 20 * 8);
  const char* one_byte[] = {"IDE", "Dir", "EDL", "BRS", "ESI", "DLC", "DataLength", "BusChannel"};
  frame.members.push_back(Field("CAN_DataFrame.ID", 0, 8, 32));
  for (uint32_t i = 0; i < 8; ++i)
    frame.members.push_back(Field(std::string("CAN_DataFrame.") + one_byte[i], 0, 12 + i, 8));
  frame.members.push_back(Field("CAN_DataFrame.DataBytes", 10, 20, 64));
  group.channels = {TimeMaster(), frame};
  return group;
}

std::vector<uint8_t> ComposedCanRecord(uint64_t record_id, uint64_t time_us, uint32_t id, uint8_t ide, uint8_t dlc,
                                       const std::vector<uint8_t>& data, uint8_t channel, uint8_t dir, uint8_t edl,
                                       uint8_t brs, uint8_t esi) {
  std::vector<uint8_t> out;
  PutLe(out, record_id, 1);
  PutLe(out, time_us, 8);
  PutLe(out, id, 4);
  for (const uint8_t byte : {ide, dir, edl, brs, esi, dlc, dlc, channel}) out.push_back(byte);
  std::vector<uint8_t> field = data;
  field.resize(8, 0);
  PutBytes(out, field);
  return out;
}

ImageGroup PlainLinGroup(uint64_t record_id, uint64_t cycles) {
  ImageGroup group;
  group.name = "LIN_Frame";
  group.record_id = record_id;
  group.cycles = cycles;
  group.data_bytes = 20;
  group.bus_type = 3;
  group.channels = {TimeMaster(),
                    Field("LIN_Frame.ID", 0, 8, 6),
                    Field("LIN_Frame.Dir", 0, 8, 1, 7),
                    Field("LIN_Frame.ReceivedDataByteCount", 0, 9, 4),
                    Field("LIN_Frame.DataLength", 0, 9, 4, 4),
                    Field("LIN_Frame.BusChannel", 0, 10, 8),
                    Field("LIN_Frame.DataBytes", 10, 12, 64)};
  return group;
}

std::vector<uint8_t> PlainLinRecord(uint64_t record_id, uint64_t time_us, uint8_t id, uint8_t count,
                                    const std::vector<uint8_t>& data, uint8_t channel, uint8_t dir) {
  std::vector<uint8_t> out;
  PutLe(out, record_id, 1);
  PutLe(out, time_us, 8);
  out.push_back(static_cast<uint8_t>((id & 0x3F) | (dir << 7)));
  out.push_back(static_cast<uint8_t>((count & 0x0F) | (count << 4)));
  out.push_back(channel);
  out.push_back(0);
  std::vector<uint8_t> field = data;
  field.resize(8, 0);
  PutBytes(out, field);
  return out;
}

ImageGroup PlainErrorGroup(uint64_t record_id, uint64_t cycles) {
  ImageGroup group;
  group.name = "CAN_ErrorFrame";
  group.record_id = record_id;
  group.cycles = cycles;
  group.data_bytes = 10;
  group.bus_type = 2;
  group.channels = {TimeMaster(), Field("CAN_ErrorFrame.BusChannel", 0, 8, 8),
                    Field("CAN_ErrorFrame.ErrorType", 0, 9, 8)};
  return group;
}

std::vector<uint8_t> PlainErrorRecord(uint64_t record_id, uint64_t time_us, uint8_t channel, uint8_t error_type) {
  std::vector<uint8_t> out;
  PutLe(out, record_id, 1);
  PutLe(out, time_us, 8);
  out.push_back(channel);
  out.push_back(error_type);
  return out;
}

namespace {

ImageChannel LoggerMember(const std::string& group, const std::string& name, uint8_t data_type, uint32_t byte_offset,
                          uint8_t bit_offset, uint32_t bit_count) {
  ImageChannel member;
  member.name = group + "." + name;
  member.data_type = data_type;
  member.byte_offset = byte_offset;
  member.bit_offset = bit_offset;
  member.bit_count = bit_count;
  return member;
}

}  // namespace

ImageGroup LoggerBusGroup(const std::string& name, uint64_t record_id, uint32_t frame_bytes,
                          std::vector<ImageChannel> members, uint8_t bus_type) {
  ImageGroup group;
  group.name = name;
  group.record_id = record_id;
  group.data_bytes = 8 + frame_bytes;
  group.bus_type = bus_type;
  group.source_comment = bus_type == 2 ? "<SIcomment><TX>CAN</TX></SIcomment>" : "<SIcomment><TX>LIN</TX></SIcomment>";
  ImageChannel time;
  time.name = "Timestamp";
  time.type = 2;
  time.bit_count = 64;
  time.microseconds = true;
  ImageChannel frame;
  frame.name = name;
  frame.data_type = 10;
  frame.byte_offset = 8;
  frame.bit_count = frame_bytes * 8;
  frame.members = std::move(members);
  group.channels = {time, frame};
  return group;
}

std::vector<ImageChannel> LoggerCanMembers(bool fd) {
  const std::string can = "CAN_DataFrame";
  std::vector<ImageChannel> members = {
      LoggerMember(can, "BusChannel", 0, 8, 0, 8),  LoggerMember(can, "ID", 0, 9, 0, 29),
      LoggerMember(can, "IDE", 0, 12, 5, 1),        LoggerMember(can, "Dir", 0, 12, 6, 1),
      LoggerMember(can, "EDL", 0, 12, 7, 1),        LoggerMember(can, "BRS", 0, 13, 0, 1),
      LoggerMember(can, "ESI", 0, 13, 1, 1),        LoggerMember(can, "DLC", 0, 13, 4, 4),
      LoggerMember(can, "DataLength", 0, 14, 0, 7),
  };
  ImageChannel data = LoggerMember(can, "DataBytes", 10, 15, 0, 64);
  if (fd) {
    data.type = 1;  // the record holds an offset; the payload lies in the VLSD group
    data.vlsd_group = 2;
  }
  members.push_back(data);
  return members;
}

std::vector<ImageGroup> LoggerLayoutGroups() {
  std::vector<ImageGroup> groups;
  groups.push_back(LoggerBusGroup("CAN_DataFrame", 1, 15, LoggerCanMembers(false), 2));
  groups.push_back(LoggerBusGroup("CAN_DataFrame", 2, 15, LoggerCanMembers(true), 2));
  ImageGroup vlsd;
  vlsd.record_id = 3;
  vlsd.flags = 1;
  groups.push_back(vlsd);
  const std::string remote = "CAN_RemoteFrame";
  groups.push_back(
      LoggerBusGroup(remote, 4, 7,
                     {LoggerMember(remote, "BusChannel", 0, 8, 0, 8), LoggerMember(remote, "ID", 0, 9, 0, 29),
                      LoggerMember(remote, "IDE", 0, 12, 5, 1), LoggerMember(remote, "Dir", 0, 12, 6, 1),
                      LoggerMember(remote, "DLC", 0, 13, 0, 4), LoggerMember(remote, "DataLength", 0, 14, 0, 7)},
                     2));
  const std::string error = "CAN_ErrorFrame";
  groups.push_back(LoggerBusGroup(
      error, 5, 2, {LoggerMember(error, "BusChannel", 0, 8, 0, 8), LoggerMember(error, "ErrorType", 0, 9, 0, 3)}, 2));
  const std::string lin = "LIN_Frame";
  groups.push_back(
      LoggerBusGroup(lin, 6, 11,
                     {LoggerMember(lin, "BusChannel", 0, 8, 0, 8), LoggerMember(lin, "ID", 0, 9, 0, 6),
                      LoggerMember(lin, "Dir", 0, 9, 7, 1), LoggerMember(lin, "ReceivedDataByteCount", 0, 10, 0, 4),
                      LoggerMember(lin, "DataLength", 0, 10, 4, 4), LoggerMember(lin, "DataBytes", 10, 11, 0, 64)},
                     3));
  const std::string checksum = "LIN_ChecksumError";
  groups.push_back(LoggerBusGroup(
      checksum, 7, 12,
      {LoggerMember(checksum, "BusChannel", 0, 8, 0, 8), LoggerMember(checksum, "ID", 0, 9, 0, 6),
       LoggerMember(checksum, "Dir", 0, 9, 7, 1), LoggerMember(checksum, "ReceivedDataByteCount", 0, 10, 0, 4),
       LoggerMember(checksum, "DataLength", 0, 10, 4, 4), LoggerMember(checksum, "Checksum", 0, 11, 0, 8),
       LoggerMember(checksum, "ChecksumModel", 0, 12, 0, 1), LoggerMember(checksum, "DataBytes", 10, 12, 0, 64)},
      3));
  uint64_t record_id = 8;
  for (const char* name : {"LIN_ReceiveError", "LIN_SyncError", "LIN_TransmissionError"}) {
    std::vector<ImageChannel> members = {LoggerMember(name, "BusChannel", 0, 8, 0, 8)};
    if (std::string(name) != "LIN_SyncError") members.push_back(LoggerMember(name, "ID", 0, 9, 0, 6));
    groups.push_back(LoggerBusGroup(name, record_id++, 2, members, 3));
  }
  return groups;
}

}  // namespace test
