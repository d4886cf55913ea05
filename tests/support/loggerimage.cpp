#include "support/loggerimage.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "support/bytes.h"
#include "support/image.h"

namespace test {

void VectorOutput::Append(const std::vector<uint8_t>& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void VectorOutput::Overwrite(uint64_t at, const std::vector<uint8_t>& bytes) {
  if (at > bytes_.size() || bytes.size() > bytes_.size() - at) throw std::out_of_range("overwrite past the image");
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
}

void StreamOutput::Append(const std::vector<uint8_t>& bytes) {
  out_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  size_ += bytes.size();
}

void StreamOutput::Overwrite(uint64_t at, const std::vector<uint8_t>& bytes) {
  if (at > size_ || bytes.size() > size_ - at) throw std::out_of_range("overwrite past the image");
  out_.seekp(start_ + static_cast<std::streamoff>(at));
  out_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out_.seekp(start_ + static_cast<std::streamoff>(size_));
}

void ImageWriter::Identification(const std::string& file_id, const std::string& version_text, uint16_t version,
                                 const std::string& program, uint16_t unfinalized_flags) {
  out_.Append(IdentificationBlock(file_id, version_text, version, program, unfinalized_flags));
}

int64_t ImageWriter::Header(uint64_t start_ns, const std::string& comment, const std::vector<ImageHistory>& histories,
                            int16_t tz_offset_min, int16_t dst_offset_min, uint8_t time_flags) {
  Bytes data;
  data.U64(start_ns).U16(static_cast<uint16_t>(tz_offset_min)).U16(static_cast<uint16_t>(dst_offset_min));
  data.U8(time_flags).U8(0).U8(0).U8(0).F64(0).F64(0);
  const int64_t hd = Block("##HD", {0, 0, 0, 0, 0, 0}, data);
  if (!comment.empty()) PatchLink(hd, 5, Text("##MD", comment));
  int64_t next_history = 0;
  for (auto it = histories.rbegin(); it != histories.rend(); ++it) {
    const int64_t history_comment = it->comment ? Text("##MD", HistoryComment(*it)) : 0;
    next_history = Block("##FH", {next_history, history_comment}, Bytes().U64(start_ns).U16(0).U16(0).U8(0).Zeros(3));
  }
  if (next_history != 0) PatchLink(hd, 1, next_history);
  return hd;
}

int64_t ImageWriter::Text(const char* id, const std::string& text) {
  Bytes data;
  data.Raw(text).Zeros(1);
  if (padded_texts_) data.Align(8);
  return Block(id, {}, data);
}

int64_t ImageWriter::Conversion(double offset, double factor) {
  const std::vector<uint8_t> data =
      Bytes().U8(1).U8(0).U16(0).U16(0).U16(2).F64(0.0).F64(0.0).F64(offset).F64(factor);  // linear
  return Block("##CC", {0, 0, 0, 0}, data);
}

int64_t ImageWriter::Conversion(const ImageConversion& conversion) {
  std::vector<int64_t> links = {0, 0, 0, 0};
  for (const std::string& text : conversion.texts) links.push_back(Text("##TX", text));
  Bytes data;
  data.U8(conversion.type).U8(0).U16(0);
  data.U16(static_cast<uint16_t>(conversion.texts.size())).U16(static_cast<uint16_t>(conversion.values.size()));
  data.F64(0.0).F64(0.0);
  for (const double value : conversion.values) data.F64(value);
  return Block("##CC", links, data);
}

int64_t ImageWriter::Channels(const std::vector<ImageChannel>& channels, const std::vector<int64_t>& groups,
                              int64_t conversion, std::vector<int64_t>* blocks) {
  int64_t next = 0;
  if (blocks != nullptr) blocks->assign(channels.size(), 0);
  for (auto it = channels.rbegin(); it != channels.rend(); ++it) {
    const int64_t composition = it->members.empty() ? 0 : Channels(it->members, groups, conversion);
    const int64_t name = Text("##TX", it->name);
    const int64_t own_conversion = it->conversion.has_value() ? Conversion(*it->conversion)
                                   : !it->microseconds        ? 0
                                   : conversion != 0          ? conversion
                                                              : Conversion();
    const int64_t data_link = it->vlsd_group >= 0 ? groups.at(static_cast<size_t>(it->vlsd_group)) : 0;
    Bytes data;
    data.U8(it->type).U8(it->sync.value_or(it->type == 2 ? 1 : 0));  // a master is synchronised on time
    data.U8(it->data_type).U8(it->bit_offset).U32(it->byte_offset).U32(it->bit_count);
    data.U32(it->flags.value_or(it->members.empty() ? 0 : 0x400));
    data.U32(0);              // invalidation bit
    data.U8(0).U8(0).U16(0);  // precision, reserved, attachments
    for (int i = 0; i < 6; ++i) data.F64(0.0);
    next = Block("##CN", {next, composition, name, 0, own_conversion, data_link, 0, 0}, data);
    if (blocks != nullptr) (*blocks)[static_cast<size_t>(channels.rend() - it - 1)] = next;
  }
  return next;
}

int64_t ImageWriter::Source(const ImageGroup& group) {
  if (group.bus_type == 0) return 0;
  const int64_t name = Text("##TX", group.bus_type == 2 ? "CAN1" : "LIN1");
  const int64_t comment = group.source_comment.empty() ? 0 : Text("##MD", group.source_comment);
  return SourceBlock(group.bus_type, name, comment);
}

int64_t ImageWriter::SourceBlock(uint8_t bus_type, int64_t name, int64_t comment) {
  return Block("##SI", {name, 0, comment}, Bytes().U8(2).U8(bus_type).Zeros(6));  // a bus
}

int64_t ImageWriter::Group(const ImageGroup& group, int64_t next, int64_t channels) {
  const int64_t name = group.name.empty() ? 0 : Text("##TX", group.name);
  const int64_t source = Source(group);
  return GroupBlock(group, next, channels, name, source);
}

int64_t ImageWriter::GroupBlock(const ImageGroup& group, int64_t next, int64_t channels, int64_t name, int64_t source) {
  const std::vector<uint8_t> data =
      Bytes().U64(group.record_id).U64(group.cycles).U16(group.flags).U16(0).Zeros(4).U32(group.data_bytes).U32(0);
  return Block("##CG", {next, channels, name, source, 0, 0}, data);
}

int64_t ImageWriter::Groups(const std::vector<ImageGroup>& groups, int64_t conversion) {
  std::vector<int64_t> positions(groups.size(), 0);
  int64_t next = 0;
  for (size_t index = groups.size(); index-- > 0;) {
    const int64_t channels = Channels(groups[index].channels, positions, conversion);
    next = Group(groups[index], next, channels);
    positions[index] = next;
  }
  return next;
}

int64_t ImageWriter::DataGroup(uint8_t record_id_size, int64_t first_group, int64_t data) {
  return Block("##DG", {0, first_group, data, 0}, Bytes().U8(record_id_size).Zeros(7));
}

int64_t ImageWriter::Block(const std::string& id, const std::vector<int64_t>& links, const std::vector<uint8_t>& data,
                           uint64_t length) {
  return Append(test::Block(id, links, data, length));
}

int64_t ImageWriter::Zipped(const std::vector<uint8_t>& packed, uint64_t plain_size, const std::string& original) {
  // Deflate (0) of the original block type, no parameter.
  return Block("##DZ", {}, Bytes().Text(original, 2).U8(0).U8(0).U32(0).U64(plain_size).U64(packed.size()).Raw(packed));
}

int64_t ImageWriter::DataList(const std::vector<int64_t>& blocks, const std::vector<uint64_t>& offsets) {
  std::vector<int64_t> links = {0};
  links.insert(links.end(), blocks.begin(), blocks.end());
  Bytes data;
  data.U8(0).Zeros(3).U32(static_cast<uint32_t>(blocks.size()));  // flags 0: the offsets follow
  for (const uint64_t offset : offsets) data.U64(offset);
  return Block("##DL", links, data);
}

void ImageWriter::PatchLink(int64_t block, size_t index, int64_t value) {
  PatchU64(block + 24 + 8 * static_cast<int64_t>(index), static_cast<uint64_t>(value));
}

void ImageWriter::SetLength(int64_t block, uint64_t length) { PatchU64(block + 8, length); }

// Inside a DL block: header 24, the next link and the data links, flags, reserved and count 8,
// then the offsets.
void ImageWriter::SetDataListOffset(int64_t list, size_t blocks, size_t index, uint64_t offset) {
  PatchU64(list + 24 + 8 * static_cast<int64_t>(1 + blocks) + 8 + 8 * static_cast<int64_t>(index), offset);
}

// Inside a CG block: header 24, six links 48, record id 8, then the cycle count; the record
// sizes follow the flags, path separator and reserved bytes.
void ImageWriter::SetCycles(int64_t group, uint64_t cycles) { PatchU64(group + 24 + 48 + 8, cycles); }

void ImageWriter::SetVlsdSize(int64_t group, uint64_t bytes) { PatchU64(group + 24 + 48 + 8 + 8 + 2 + 2 + 4, bytes); }

int64_t ImageWriter::Append(const std::vector<uint8_t>& block) {
  const uint64_t position = (out_.Size() + 7) / 8 * 8;
  out_.Append(std::vector<uint8_t>(position - out_.Size(), 0));
  out_.Append(block);
  return static_cast<int64_t>(position);
}

void ImageWriter::PatchU64(int64_t at, uint64_t value) {
  out_.Overwrite(static_cast<uint64_t>(at), Bytes().U64(value));
}

ImageChannel ImageField(const std::string& name, uint8_t data_type, uint32_t byte_offset, uint8_t bit_offset,
                        uint32_t bit_count) {
  ImageChannel channel;
  channel.name = name;
  channel.data_type = data_type;
  channel.byte_offset = byte_offset;
  channel.bit_offset = bit_offset;
  channel.bit_count = bit_count;
  return channel;
}

ImageChannel TimestampChannel(uint32_t bit_count) {
  ImageChannel time = ImageField("Timestamp", 0, 0, 0, bit_count);
  time.type = 2;
  time.microseconds = true;
  return time;
}

std::string HistoryComment(const ImageHistory& history) {
  return "<FHcomment><TX>Recorded</TX><tool_id>" + history.tool_id + "</tool_id><tool_vendor>" + history.tool_vendor +
         "</tool_vendor><tool_version>" + history.tool_version + "</tool_version></FHcomment>";
}

std::vector<uint8_t> BuildLoggerImage(const ImageSpec& spec) {
  std::vector<uint8_t> bytes;
  VectorOutput out(bytes);
  ImageWriter image(out);
  image.Identification(spec.file_id, spec.version_text, spec.version, spec.program, spec.unfinalized_flags);
  const int64_t hd = image.Header(spec.start_ns, spec.header_comment, spec.histories, spec.tz_offset_min,
                                  spec.dst_offset_min, spec.time_flags);
  const int64_t dg = image.DataGroup(spec.record_id_size, image.Groups(spec.groups), 0);
  image.PatchLink(hd, 0, dg);
  // The data block ends the file, as in a recording the logger may not have finalized.
  if (!spec.records.empty() || spec.empty_data_block)
    image.PatchLink(dg, 2, image.Block("##DT", {}, spec.records, spec.dt_length));
  return bytes;
}

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

namespace {

// The data bytes of a record: as many as the field holds, zeros after the logged ones.
void PutPadded(std::vector<uint8_t>& out, const std::vector<uint8_t>& data, size_t field) {
  std::vector<uint8_t> bytes = data;
  bytes.resize(field, 0);
  PutBytes(out, bytes);
}

}  // namespace

ImageGroup ComposedCanGroup(uint64_t record_id, uint64_t cycles) {
  ImageGroup group;
  group.name = "CAN_DataFrame";
  group.record_id = record_id;
  group.cycles = cycles;
  group.data_bytes = 28;
  group.bus_type = 2;
  ImageChannel frame = ImageField("CAN_DataFrame", 10, 8, 0, 20 * 8);
  const char* one_byte[] = {"IDE", "Dir", "EDL", "BRS", "ESI", "DLC", "DataLength", "BusChannel"};
  frame.members.push_back(ImageField("CAN_DataFrame.ID", 0, 8, 0, 32));
  for (uint32_t i = 0; i < 8; ++i)
    frame.members.push_back(ImageField(std::string("CAN_DataFrame.") + one_byte[i], 0, 12 + i, 0, 8));
  frame.members.push_back(ImageField("CAN_DataFrame.DataBytes", 10, 20, 0, 64));
  group.channels = {TimestampChannel(), frame};
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
  PutPadded(out, data, 8);
  return out;
}

ImageGroup PlainLinGroup(uint64_t record_id, uint64_t cycles) {
  ImageGroup group;
  group.name = "LIN_Frame";
  group.record_id = record_id;
  group.cycles = cycles;
  group.data_bytes = 20;
  group.bus_type = 3;
  group.channels = {TimestampChannel(),
                    ImageField("LIN_Frame.ID", 0, 8, 0, 6),
                    ImageField("LIN_Frame.Dir", 0, 8, 7, 1),
                    ImageField("LIN_Frame.ReceivedDataByteCount", 0, 9, 0, 4),
                    ImageField("LIN_Frame.DataLength", 0, 9, 4, 4),
                    ImageField("LIN_Frame.BusChannel", 0, 10, 0, 8),
                    ImageField("LIN_Frame.DataBytes", 10, 12, 0, 64)};
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
  PutPadded(out, data, 8);
  return out;
}

ImageGroup PlainErrorGroup(uint64_t record_id, uint64_t cycles) {
  ImageGroup group;
  group.name = "CAN_ErrorFrame";
  group.record_id = record_id;
  group.cycles = cycles;
  group.data_bytes = 10;
  group.bus_type = 2;
  group.channels = {TimestampChannel(), ImageField("CAN_ErrorFrame.BusChannel", 0, 8, 0, 8),
                    ImageField("CAN_ErrorFrame.ErrorType", 0, 9, 0, 8)};
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
  return ImageField(group + "." + name, data_type, byte_offset, bit_offset, bit_count);
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
  ImageChannel frame = ImageField(name, 10, 8, 0, frame_bytes * 8);
  frame.members = std::move(members);
  group.channels = {TimestampChannel(), frame};
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
