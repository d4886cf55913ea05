#pragma once
// Logger recordings of any layout, built byte by byte: the channel groups (plain channels or
// members composed into a frame channel, VLSD channel groups), their bus sources, the header
// and file-history comments and the record stream are described plainly and laid out by
// BuildLoggerImage. Every logger-layout file of the test kit, the generator and the
// benchmarks is laid out here: the fixed fixture of loggerfile.h, the recordings of
// loggerrecording.h and the benchmark files keep their own block order by calling
// ImageWriter's blocks in turn, into a vector or straight into a stream. It deliberately
// exposes only std types, so that it mixes with the bus-record kit.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace test {

/// A conversion block: its type, values and references (each a text block, in order).
struct ImageConversion {
  uint8_t type = 0;
  std::vector<double> values;
  std::vector<std::string> texts;
};

struct ImageChannel {
  std::string name;
  uint8_t type = 0;       // 0 fixed, 1 VLSD, 2 master
  uint8_t data_type = 0;  // 0 unsigned LE, 10 byte array, ...
  uint32_t byte_offset = 0;
  uint8_t bit_offset = 0;
  uint32_t bit_count = 8;
  bool microseconds = false;  // a linear conversion with factor 1e-6 (a time master)
  /// A conversion of its own, in place of the microseconds one.
  std::optional<ImageConversion> conversion;
  int vlsd_group = -1;                // VLSD: index of the channel group holding the values
  std::vector<ImageChannel> members;  // composed into this channel
  std::optional<uint8_t> sync;        // unset: 1 (time) for a master, else 0
  std::optional<uint32_t> flags;      // unset: 0x400 (bus event) for a channel with members, else 0
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
  std::string tool_version = "01.07.02";
};

struct ImageSpec {
  std::string file_id = "MDF     ";
  std::string version_text = "4.11";
  uint16_t version = 411;
  std::string program = "QX";
  uint16_t unfinalized_flags = 0;
  uint64_t start_ns = 1'600'000'000'000'000'000ULL;
  int16_t tz_offset_min = 0;  // the rest of the header's time record
  int16_t dst_offset_min = 0;
  uint8_t time_flags = 0;
  std::string header_comment;  // XML of the header's MD comment; empty: none
  std::vector<ImageHistory> histories = {ImageHistory{}};
  uint8_t record_id_size = 1;
  std::vector<ImageGroup> groups;
  std::vector<uint8_t> records;  // the record stream, in one DT block
  /// A DT block also without records, as a logger that logged no event writes it.
  bool empty_data_block = false;
  uint64_t dt_length = 0;  // the DT block's length field; 0: exact
};

/// The file-history comment for the entry, as the logger writes it.
std::string HistoryComment(const ImageHistory& history);
std::vector<uint8_t> BuildLoggerImage(const ImageSpec& spec);

/// Where an image's bytes go: appended at the end, and overwritten in place where a link, a
/// count or a length is known only later.
class ImageOutput {
 public:
  virtual ~ImageOutput() = default;
  [[nodiscard]] virtual uint64_t Size() const = 0;
  virtual void Append(const std::vector<uint8_t>& bytes) = 0;
  /// Throws std::out_of_range past the end.
  virtual void Overwrite(uint64_t at, const std::vector<uint8_t>& bytes) = 0;
};

class VectorOutput final : public ImageOutput {
 public:
  explicit VectorOutput(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  [[nodiscard]] uint64_t Size() const override { return bytes_.size(); }
  void Append(const std::vector<uint8_t>& bytes) override;
  void Overwrite(uint64_t at, const std::vector<uint8_t>& bytes) override;

 private:
  std::vector<uint8_t>& bytes_;
};

/// The stream from its position at construction on, for files too large to hold in memory.
/// An overwrite seeks back and returns to the end; failures stay in the stream's state.
class StreamOutput final : public ImageOutput {
 public:
  explicit StreamOutput(std::ostream& out) : out_(out), start_(out.tellp()) {}
  [[nodiscard]] uint64_t Size() const override { return size_; }
  void Append(const std::vector<uint8_t>& bytes) override;
  void Overwrite(uint64_t at, const std::vector<uint8_t>& bytes) override;

 private:
  std::ostream& out_;
  std::streampos start_;
  uint64_t size_ = 0;
};

/// The blocks of a logger-layout image, each appended at the next 8-byte boundary of the
/// output; every block's fields are laid out here only. Positions are file offsets; a link
/// to a block written later is patched once it exists. BuildLoggerImage writes a described
/// image in one order; the fixed fixtures call the blocks in the order they have always had.
class ImageWriter {
 public:
  /// With `padded_texts` a text block's zero-terminated text is padded to 8 bytes inside its
  /// length, as the benchmark files have it; otherwise its length is exact.
  explicit ImageWriter(ImageOutput& out, bool padded_texts = false) : out_(out), padded_texts_(padded_texts) {}

  /// The identification block; non-zero `unfinalized_flags` belong to an "UnFinMF " file.
  void Identification(const std::string& file_id, const std::string& version_text, uint16_t version,
                      const std::string& program, uint16_t unfinalized_flags);
  /// The header with its time record (UTC without offsets unless given), its comment (none
  /// when empty) and the file-history entries in their order; returns the header, whose first
  /// data group is the caller's to patch in (link 0).
  int64_t Header(uint64_t start_ns, const std::string& comment, const std::vector<ImageHistory>& histories,
                 int16_t tz_offset_min = 0, int16_t dst_offset_min = 0, uint8_t time_flags = 0);
  int64_t Text(const char* id, const std::string& text);
  /// A linear conversion, by default with factor 1e-6: microseconds to seconds.
  int64_t Conversion(double offset = 0.0, double factor = 1e-6);
  /// The conversion after the texts of its references.
  int64_t Conversion(const ImageConversion& conversion);
  /// The chain of channels, last to first so each knows its successor, members before the
  /// channel they compose; returns the first. `groups` holds the positions of the channel
  /// groups a VLSD channel may name; a microsecond channel links `conversion`, or a conversion
  /// of its own when that is 0. `blocks`, when given, gets each channel's CN block, in order.
  int64_t Channels(const std::vector<ImageChannel>& channels, const std::vector<int64_t>& groups,
                   int64_t conversion = 0, std::vector<int64_t>* blocks = nullptr);
  /// The group's bus source: its name ("CAN1" or "LIN1"), its comment if any, the SI block; 0
  /// without a bus type.
  int64_t Source(const ImageGroup& group);
  /// An SI block of a bus of the type, over the given name and comment blocks.
  int64_t SourceBlock(uint8_t bus_type, int64_t name, int64_t comment);
  /// The group's name if any, its source, then its CG block.
  int64_t Group(const ImageGroup& group, int64_t next, int64_t channels);
  /// A CG block alone, over the given name and source blocks.
  int64_t GroupBlock(const ImageGroup& group, int64_t next, int64_t channels, int64_t name, int64_t source);
  /// Every group with its channels, last to first since a VLSD channel names a group after its
  /// own; returns the first.
  int64_t Groups(const std::vector<ImageGroup>& groups, int64_t conversion = 0);
  int64_t DataGroup(uint8_t record_id_size, int64_t first_group, int64_t data);
  /// Any block: id, links and data; its length field exact unless given.
  int64_t Block(const std::string& id, const std::vector<int64_t>& links, const std::vector<uint8_t>& data,
                uint64_t length = 0);
  /// A DZ block standing for a block of the original type (DT, SD, ...) of `plain_size` bytes
  /// that deflated to `packed`.
  int64_t Zipped(const std::vector<uint8_t>& packed, uint64_t plain_size, const std::string& original = "DT");
  /// A DL block of the blocks, with the offsets of their data.
  int64_t DataList(const std::vector<int64_t>& blocks, const std::vector<uint64_t>& offsets);
  /// Sets the data offset of block `index` in a DL block of `blocks` data links.
  void SetDataListOffset(int64_t list, size_t blocks, size_t index, uint64_t offset);
  /// Bytes as they are, such as the records behind a DT block's header.
  void Raw(const std::vector<uint8_t>& bytes) { out_.Append(bytes); }

  void PatchLink(int64_t block, size_t index, int64_t value);
  void SetLength(int64_t block, uint64_t length);
  void SetCycles(int64_t group, uint64_t cycles);
  /// A VLSD group's 64-bit byte total, in place of its record sizes.
  void SetVlsdSize(int64_t group, uint64_t bytes);

 private:
  int64_t Append(const std::vector<uint8_t>& block);
  void PatchU64(int64_t at, uint64_t value);

  ImageOutput& out_;
  bool padded_texts_;
};

/// A plain channel of the data type at byte and bit offset, of `bit_count` bits.
ImageChannel ImageField(const std::string& name, uint8_t data_type, uint32_t byte_offset, uint8_t bit_offset,
                        uint32_t bit_count);
/// The "Timestamp" master: unsigned microseconds from byte 0.
ImageChannel TimestampChannel(uint32_t bit_count = 64);

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
