#pragma once
// A hand-built MDF 4.11 file as a CAN/LIN data logger writes it: one unsorted data group
// (record id size 1) with a CAN and a LIN channel group, the records in a DL list of a DT, a
// DZ and a last DT block, a header comment with "common_properties" and one file-history
// entry. Its unfinalized twin has the logger's "UnFinMF " id with flags 0x05, cycle counts
// 0 and a last DT block whose length still covers only its header.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/loggerheadercomment.h"

namespace test {

struct CanFrame {
  uint64_t time_us;
  uint32_t id;  // 29 bits
  uint8_t dlc;  // 4 bits
  uint8_t dir;  // 1 bit
  std::vector<uint8_t> data;  // 8 bytes
};

struct LinFrame {
  uint32_t time_us;
  uint8_t id;      // 6 bits
  uint8_t length;  // 4 bits
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
    file_.clear();
    const bool unfin = unfinalized_;
    // Identification block.
    Text(unfin ? "UnFinMF " : "MDF     ", 8);
    Text("4.11", 8);
    Text("QX", 8);
    U16(0);    // byte order
    U16(0);    // float format
    U16(411);  // version
    U16(0);    // code page
    Zeros(28);
    U16(unfin ? 0x05 : 0);  // standard unfinalized flags: CG counts, last DT length
    U16(0);

    // Header at 64; its links are patched once the blocks exist.
    const int64_t hd = Block("##HD", {0, 0, 0, 0, 0, 0}, HeaderData());
    const int64_t hd_comment = TextBlock("##MD", kLoggerHeaderComment);
    const int64_t fh_comment = TextBlock("##MD", kLoggerFileHistoryComment);
    const int64_t fh = Block("##FH", {0, fh_comment}, FileHistoryData());

    const int64_t time_cc = Block("##CC", {0, 0, 0, 0}, LinearConversion(0.0, 1e-6));
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
    std::vector<uint8_t> first;
    Append(first, CanRecord(can[0]));
    Append(first, LinRecord(lin[0]));
    Append(first, CanRecord(can[1]));
    std::vector<uint8_t> zipped;
    Append(zipped, LinRecord(lin[1]));
    Append(zipped, CanRecord(can[2]));
    Append(zipped, CanRecord(can[3]));
    std::vector<uint8_t> last;
    Append(last, LinRecord(lin[2]));
    Append(last, CanRecord(can[4]));

    const int64_t dt1 = Block("##DT", {}, first);
    const int64_t dz = Block("##DZ", {}, Deflated(zipped));
    std::vector<uint8_t> list_data;
    PutU8(list_data, 0);  // flags: offsets follow
    PutZeros(list_data, 3);
    PutU32(list_data, 3);
    PutU64(list_data, 0);
    PutU64(list_data, first.size());
    PutU64(list_data, first.size() + zipped.size());
    const int64_t dl = Block("##DL", {0, dt1, dz, 0}, list_data);
    std::vector<uint8_t> dg_data = {1, 0, 0, 0, 0, 0, 0, 0};  // record id size 1
    const int64_t dg = Block("##DG", {0, can_cg, dl, 0}, dg_data);

    // The last DT ends the file; the unfinalized twin's length still says "empty".
    const int64_t dt2 = Block("##DT", {}, last, unfin ? 24 : 24 + last.size());
    PatchLink(dl, 3, dt2);
    PatchLink(hd, 0, dg);
    PatchLink(hd, 1, fh);
    PatchLink(hd, 5, hd_comment);
    return file_;
  }

  static constexpr uint32_t kCanRecordBytes = 21;
  static constexpr uint32_t kLinRecordBytes = 14;

 private:
  static void PutU8(std::vector<uint8_t>& dest, uint8_t v) { dest.push_back(v); }
  static void PutLe(std::vector<uint8_t>& dest, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) dest.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  static void PutU16(std::vector<uint8_t>& dest, uint16_t v) { PutLe(dest, v, 2); }
  static void PutU32(std::vector<uint8_t>& dest, uint32_t v) { PutLe(dest, v, 4); }
  static void PutU64(std::vector<uint8_t>& dest, uint64_t v) { PutLe(dest, v, 8); }
  static void PutDouble(std::vector<uint8_t>& dest, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    PutU64(dest, bits);
  }
  static void PutZeros(std::vector<uint8_t>& dest, size_t n) { dest.insert(dest.end(), n, 0); }
  static void Append(std::vector<uint8_t>& dest, const std::vector<uint8_t>& bytes) {
    dest.insert(dest.end(), bytes.begin(), bytes.end());
  }

  void Text(const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) file_.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
  }
  void U16(uint16_t v) { PutU16(file_, v); }
  void Zeros(size_t n) { PutZeros(file_, n); }

  // Appends a block at the next 8-byte boundary; the length is exact, padding follows.
  int64_t Block(const char* id, const std::vector<int64_t>& links, const std::vector<uint8_t>& data,
                uint64_t length = 0) {
    while (file_.size() % 8 != 0) file_.push_back(0);
    const auto position = static_cast<int64_t>(file_.size());
    Text(id, 4);
    Zeros(4);
    PutU64(file_, length != 0 ? length : 24 + 8 * links.size() + data.size());
    PutU64(file_, links.size());
    for (const auto link : links) PutU64(file_, static_cast<uint64_t>(link));
    Append(file_, data);
    return position;
  }

  int64_t TextBlock(const char* id, const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return Block(id, {}, data);
  }

  void PatchLink(int64_t block, size_t index, int64_t value) {
    const size_t at = static_cast<size_t>(block) + 24 + 8 * index;
    for (int i = 0; i < 8; ++i) file_[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  }

  static std::vector<uint8_t> HeaderData() {
    std::vector<uint8_t> data;
    PutU64(data, kLoggerStartTimeNs);
    PutU16(data, 0);
    PutU16(data, 0);
    PutU8(data, 0);   // time flags: UTC
    PutU8(data, 0);   // time class: PC time
    PutU8(data, 0);   // flags
    PutU8(data, 0);   // reserved
    PutDouble(data, 0.0);
    PutDouble(data, 0.0);
    return data;
  }

  static std::vector<uint8_t> FileHistoryData() {
    std::vector<uint8_t> data;
    PutU64(data, kLoggerStartTimeNs);
    PutU16(data, 0);
    PutU16(data, 0);
    PutU8(data, 0);
    PutZeros(data, 3);
    return data;
  }

  static std::vector<uint8_t> LinearConversion(double offset, double factor) {
    std::vector<uint8_t> data;
    PutU8(data, 1);   // linear
    PutU8(data, 0);   // precision
    PutU16(data, 0);  // flags
    PutU16(data, 0);  // references
    PutU16(data, 2);  // values
    PutDouble(data, 0.0);
    PutDouble(data, 0.0);
    PutDouble(data, offset);
    PutDouble(data, factor);
    return data;
  }

  int64_t Channel(const std::string& name, int64_t next, uint8_t type, uint8_t data_type, uint32_t byte_offset,
                  uint8_t bit_offset, uint32_t bit_count, int64_t conversion) {
    const int64_t name_block = TextBlock("##TX", name);
    std::vector<uint8_t> data;
    PutU8(data, type);
    PutU8(data, type == 2 ? 1 : 0);  // a master is synchronised on time
    PutU8(data, data_type);
    PutU8(data, bit_offset);
    PutU32(data, byte_offset);
    PutU32(data, bit_count);
    PutU32(data, 0);  // flags
    PutU32(data, 0);  // invalidation bit
    PutU8(data, 0);   // precision
    PutU8(data, 0);
    PutU16(data, 0);  // attachments
    for (int i = 0; i < 6; ++i) PutDouble(data, 0.0);
    return Block("##CN", {next, 0, name_block, 0, conversion, 0, 0, 0}, data);
  }

  int64_t ChannelGroup(const std::string& name, int64_t next, int64_t first_channel, uint64_t record_id,
                       uint64_t cycle_count, uint32_t data_bytes, uint8_t bus_type) {
    const int64_t name_block = TextBlock("##TX", name);
    const int64_t source_name = TextBlock("##TX", bus_type == 2 ? "CAN1" : "LIN1");
    std::vector<uint8_t> source;
    PutU8(source, 2);  // bus
    PutU8(source, bus_type);
    PutZeros(source, 6);
    const int64_t si = Block("##SI", {source_name, 0, 0}, source);
    std::vector<uint8_t> data;
    PutU64(data, record_id);
    PutU64(data, cycle_count);
    PutU16(data, 0x02);  // bus event
    PutU16(data, 0);
    PutZeros(data, 4);
    PutU32(data, data_bytes);
    PutU32(data, 0);
    return Block("##CG", {next, first_channel, name_block, si, 0, 0}, data);
  }

  static std::vector<uint8_t> CanRecord(const CanFrame& frame) {
    std::vector<uint8_t> record;
    PutU8(record, 1);
    PutU64(record, frame.time_us);
    PutU32(record, frame.id);
    PutU8(record, static_cast<uint8_t>(frame.dlc | (frame.dir << 4)));
    Append(record, frame.data);
    return record;
  }

  static std::vector<uint8_t> LinRecord(const LinFrame& frame) {
    std::vector<uint8_t> record;
    PutU8(record, 2);
    PutU32(record, frame.time_us);
    PutU8(record, frame.id);
    PutU8(record, frame.length);
    Append(record, frame.data);
    return record;
  }

  static std::vector<uint8_t> Deflated(const std::vector<uint8_t>& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::vector<uint8_t> packed(size);
    compress(packed.data(), &size, plain.data(), static_cast<uLong>(plain.size()));
    packed.resize(size);
    std::vector<uint8_t> data;
    data.push_back('D');
    data.push_back('T');
    PutU8(data, 0);  // deflate
    PutU8(data, 0);
    PutU32(data, 0);
    PutU64(data, plain.size());
    PutU64(data, packed.size());
    Append(data, packed);
    return data;
  }

  bool unfinalized_;
  std::vector<uint8_t> file_;
};

}  // namespace test
