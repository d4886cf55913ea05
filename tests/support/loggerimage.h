#pragma once
// Logger recordings of any layout, built byte by byte: the channel groups (plain channels or
// members composed into a frame channel, VLSD channel groups), their bus sources, the header
// and file-history comments and the record stream are described plainly and laid out by
// BuildLoggerImage. The fixed logger fixture of loggerfile.h is one such file; this builder
// makes the variations the bus-log reader's tests need. It deliberately exposes only
// std::vector<uint8_t>, so that it mixes with the bus-record kit.
#include <cstdint>
#include <string>
#include <vector>

namespace test {

struct ImageChannel {
  std::string name;
  uint8_t type = 0;       // 0 fixed, 1 VLSD, 2 master
  uint8_t data_type = 0;  // 0 unsigned LE, 10 byte array, ...
  uint32_t byte_offset = 0;
  uint8_t bit_offset = 0;
  uint32_t bit_count = 8;
  bool microseconds = false;          // a linear conversion with factor 1e-6 (a time master)
  int vlsd_group = -1;                // VLSD: index of the channel group holding the values
  std::vector<ImageChannel> members;  // composed into this channel
};

struct ImageGroup {
  std::string name;  // acquisition name
  uint64_t record_id = 0;
  uint64_t cycles = 0;  // declared sample count
  uint16_t flags = 0x06;
  uint32_t data_bytes = 0;
  std::vector<ImageChannel> channels;
  uint8_t bus_type = 0;        // 2 CAN, 3 LIN; 0: no source information
  std::string source_comment;  // XML of the source's MD comment; empty: none
};

struct ImageHistory {
  std::string tool_id = "QX";
  std::string tool_vendor;
  bool comment = true;  // without it the entry has no MD comment
};

struct ImageSpec {
  std::string file_id = "MDF     ";
  std::string version_text = "4.11";
  uint16_t version = 411;
  std::string program = "QX";
  uint16_t unfinalized_flags = 0;
  uint64_t start_ns = 1'600'000'000'000'000'000ULL;
  std::string header_comment;  // XML of the header's MD comment; empty: none
  std::vector<ImageHistory> histories = {ImageHistory{}};
  uint8_t record_id_size = 1;
  std::vector<ImageGroup> groups;
  std::vector<uint8_t> records;  // the record stream, in one DT block
  uint64_t dt_length = 0;        // the DT block's length field; 0: exact
};

/// The file-history comment for the entry, as the logger writes it.
std::string HistoryComment(const ImageHistory& history);
std::vector<uint8_t> BuildLoggerImage(const ImageSpec& spec);

/// A header comment with the properties inside a tree ("serial number", "session", "split").
std::string HeaderCommentWith(const std::string& serial, const std::string& session, const std::string& split,
                              bool inside_tree = true);

// Records: little-endian fields appended to a stream.
void PutLe(std::vector<uint8_t>& out, uint64_t value, int width);
void PutBytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes);

// The ASAM bus-logging layouts: a "Timestamp" master (u64 microseconds) and a frame channel
// at byte 8 whose members follow one after the other, as the bus-log writer lays them out.
ImageGroup ComposedCanGroup(uint64_t record_id, uint64_t cycles);
/// One record of ComposedCanGroup: id, IDE, Dir, EDL, BRS, ESI, DLC, DataLength, channel, 8 bytes.
std::vector<uint8_t> ComposedCanRecord(uint64_t record_id, uint64_t time_us, uint32_t id, uint8_t ide, uint8_t dlc,
                                       const std::vector<uint8_t>& data, uint8_t channel = 1, uint8_t dir = 0,
                                       uint8_t edl = 0, uint8_t brs = 0, uint8_t esi = 0);
/// A "LIN_Frame" group of plain (not composed) channels: Timestamp, ID, Dir,
/// ReceivedDataByteCount, BusChannel, DataBytes (8).
ImageGroup PlainLinGroup(uint64_t record_id, uint64_t cycles);
std::vector<uint8_t> PlainLinRecord(uint64_t record_id, uint64_t time_us, uint8_t id, uint8_t count,
                                    const std::vector<uint8_t>& data, uint8_t channel = 1, uint8_t dir = 0);
/// A plain "CAN_ErrorFrame" group: Timestamp, BusChannel, ErrorType.
ImageGroup PlainErrorGroup(uint64_t record_id, uint64_t cycles);
std::vector<uint8_t> PlainErrorRecord(uint64_t record_id, uint64_t time_us, uint8_t channel, uint8_t error_type);

// The logger's own layout: each kind of event a group whose fields are packed to the bit
// into its frame channel (a "Timestamp" master in u64 microseconds, the frame at byte 8), with
// its CAN or LIN bus source.
ImageGroup LoggerBusGroup(const std::string& name, uint64_t record_id, uint32_t frame_bytes,
                          std::vector<ImageChannel> members, uint8_t bus_type);
/// The members of a logger "CAN_DataFrame" frame of 15 bytes; with `fd` its data bytes are an
/// offset into the VLSD group of record id 3.
std::vector<ImageChannel> LoggerCanMembers(bool fd);
/// Every kind in the logger's layout under record ids 1 to 10: classic CAN 1, CAN FD 2 with its
/// payloads in the VLSD group 3, remote 4, error 5, LIN 6, LIN checksum error 7, LIN receive,
/// sync and transmission errors 8 to 10. The cycle counts are the caller's to set.
std::vector<ImageGroup> LoggerLayoutGroups();

}  // namespace test
