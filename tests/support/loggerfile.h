#pragma once
// A hand-built MDF 4.11 file as a CAN/LIN data logger writes it: one unsorted data group
// (record id size 1) with a CAN and a LIN channel group, the records in a DL list of a DT, a
// DZ and a last DT block, a header comment with "common_properties" and one file-history
// entry. Its unfinalized twin has the logger's "UnFinMF " id with flags 0x05, cycle counts
// 0 and a last DT block whose length still covers only its header. The blocks are laid out
// by loggerimage.h, in the order this fixture has always had (tests find blocks by it).
#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/deflate.h"
#include "support/loggerheadercomment.h"
#include "support/loggerimage.h"

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
// The fixture's entry is ImageHistory{}, whose comment (HistoryComment) is this text.
inline constexpr const char* kLoggerFileHistoryComment =
    "<FHcomment><TX>Recorded</TX><tool_id>QX</tool_id><tool_vendor></tool_vendor>"
    "<tool_version>01.07.02</tool_version></FHcomment>";

class LoggerFileBuilder {
 public:
  explicit LoggerFileBuilder(bool unfinalized) : unfinalized_(unfinalized) {}

  std::vector<uint8_t> Build() {
    const bool unfin = unfinalized_;
    std::vector<uint8_t> bytes;
    VectorOutput out(bytes);
    ImageWriter image(out);
    // Standard unfinalized flags of the twin: CG counts, last DT length.
    image.Identification(unfin ? "UnFinMF " : "MDF     ", "4.11", 411, "QX", unfin ? 0x05 : 0);
    const int64_t hd = image.Header(kLoggerStartTimeNs, kLoggerHeaderComment, {ImageHistory{}});

    // One conversion for both time channels; the channels of both groups, then the groups
    // last to first.
    const int64_t time = image.Conversion();
    const ImageGroup can_group = CanGroup(unfin ? 0 : LoggerCanFrames().size());
    const ImageGroup lin_group = LinGroup(unfin ? 0 : LoggerLinFrames().size());
    const int64_t can_channels = image.Channels(can_group.channels, {}, time);
    const int64_t lin_channels = image.Channels(lin_group.channels, {}, time);
    const int64_t lin_cg = image.Group(lin_group, 0, lin_channels);
    const int64_t can_cg = image.Group(can_group, lin_cg, can_channels);

    // Records, unsorted: CAN, LIN, CAN | LIN, CAN, CAN | LIN, CAN.
    const auto& can = LoggerCanFrames();
    const auto& lin = LoggerLinFrames();
    const std::vector<uint8_t> first = Concat({CanRecord(can[0]), LinRecord(lin[0]), CanRecord(can[1])});
    const std::vector<uint8_t> zipped = Concat({LinRecord(lin[1]), CanRecord(can[2]), CanRecord(can[3])});
    const std::vector<uint8_t> last = Concat({LinRecord(lin[2]), CanRecord(can[4])});

    const int64_t dt1 = image.Block("##DT", {}, first);
    const int64_t dz = image.Zipped(Deflated(zipped), zipped.size());
    const int64_t dl = image.DataList({dt1, dz, 0}, {0, first.size(), first.size() + zipped.size()});
    const int64_t dg = image.DataGroup(1, can_cg, dl);

    // The last DT ends the file; the unfinalized twin's length still says "empty".
    const int64_t dt2 = image.Block("##DT", {}, last, unfin ? 24 : 0);
    image.PatchLink(dl, 3, dt2);
    image.PatchLink(hd, 0, dg);
    return bytes;
  }

  static constexpr uint32_t kCanRecordBytes = 21;
  static constexpr uint32_t kLinRecordBytes = 14;

 private:
  // After the record id: Timestamp 0-7, ID 8-11 (29 bits), DLC in bits 0-3 and Dir in bit 4
  // of 12, DataBytes 13-20.
  static ImageGroup CanGroup(uint64_t cycles) {
    ImageGroup group;
    group.name = "CAN_DataFrame";
    group.record_id = 1;
    group.cycles = cycles;
    group.flags = 0x02;  // bus event
    group.data_bytes = kCanRecordBytes;
    group.bus_type = 2;
    group.channels = {TimestampChannel(64), ImageField("CAN_DataFrame.ID", 0, 8, 0, 29),
                      ImageField("CAN_DataFrame.DLC", 0, 12, 0, 4), ImageField("CAN_DataFrame.Dir", 0, 12, 4, 1),
                      ImageField("CAN_DataFrame.DataBytes", 10, 13, 0, 64)};
    return group;
  }

  // After the record id: Timestamp 0-3, ID 4, DataLength 5, DataBytes 6-13.
  static ImageGroup LinGroup(uint64_t cycles) {
    ImageGroup group;
    group.name = "LIN_Frame";
    group.record_id = 2;
    group.cycles = cycles;
    group.flags = 0x02;
    group.data_bytes = kLinRecordBytes;
    group.bus_type = 3;
    group.channels = {TimestampChannel(32), ImageField("LIN_Frame.ID", 0, 4, 0, 6),
                      ImageField("LIN_Frame.DataLength", 0, 5, 0, 4), ImageField("LIN_Frame.DataBytes", 10, 6, 0, 64)};
    return group;
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

  bool unfinalized_;
};

}  // namespace test
