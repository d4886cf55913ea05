#pragma once
// Logger recordings drawn from a seed, varied the way real recordings vary: the start to the
// nanosecond in any year the format holds, local or UTC, with or without time-zone offsets;
// the tick of the time stamps, their width and the span; which kinds of event a logger logs in
// which groups, each group with or without each optional channel, IDE as a channel, in bit 31
// of the identifier or both, fields packed to the bit or byte-aligned, plain or composed into a
// frame channel, in any order; classic and CAN FD frames of DLC 0 to 15, data bytes in a fixed
// field or a VLSD group; finalized or not; now and then frames of other buses multiplexed into
// ISO-TP messages on a carrier identifier. The drawn recording is the model: its frames are
// what a conversion must give back (ExpectedFrames; framecompare.h compares); drawnlayout.h
// lays it out as the logger's bytes, busoutput.h reads a conversion's output.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/loggerrecording.h"

namespace test {

/// A seeded generator whose sequence is the same on every platform (SplitMix64), so that a
/// seed replays anywhere; the standard distributions are not portable.
class DrawRandom {
 public:
  explicit DrawRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  /// 0 .. n - 1 (0 for n 0); the modulo's bias does not matter here.
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  /// lo .. hi, both included.
  uint64_t Between(uint64_t lo, uint64_t hi) {
    return hi - lo == std::numeric_limits<uint64_t>::max() ? Next() : lo + Below(hi - lo + 1);
  }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <typename T>
  T Pick(const std::vector<T>& values) {
    return values[Below(values.size())];
  }
  /// One of the values, each with its weight.
  template <typename T>
  T Weighted(const std::vector<std::pair<unsigned, T>>& choices) {
    unsigned total = 0;
    for (const auto& choice : choices) total += choice.first;
    uint64_t at = Below(total);
    for (const auto& choice : choices) {
      if (at < choice.first) return choice.second;
      at -= choice.first;
    }
    return choices.back().second;
  }
  template <typename T>
  void Shuffle(std::vector<T>& values) {
    for (size_t i = values.size(); i > 1; --i) std::swap(values[i - 1], values[Below(i)]);
  }
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(Next());
    return bytes;
  }

 private:
  uint64_t state_;
};

/// The kinds of bus event, each logged in groups named after it.
enum class BusKind : uint8_t {
  kCanData,
  kCanRemote,
  kCanError,
  kLinFrame,
  kLinChecksumError,
  kLinReceiveError,
  kLinSyncError,
  kLinTransmissionError,
};
inline constexpr BusKind kBusKinds[] = {
    BusKind::kCanData,          BusKind::kCanRemote,       BusKind::kCanError,     BusKind::kLinFrame,
    BusKind::kLinChecksumError, BusKind::kLinReceiveError, BusKind::kLinSyncError, BusKind::kLinTransmissionError};

inline const char* GroupNameOf(BusKind kind) {
  static const char* const kNames[] = {"CAN_DataFrame", "CAN_RemoteFrame",      "CAN_ErrorFrame",
                                       "LIN_Frame",     "LIN_ChecksumError",    "LIN_ReceiveError",
                                       "LIN_SyncError", "LIN_TransmissionError"};
  return kNames[static_cast<size_t>(kind)];
}

inline bool IsCanKind(BusKind kind) { return kind <= BusKind::kCanError; }
inline bool HasDataBytes(BusKind kind) {
  return kind == BusKind::kCanData || kind == BusKind::kLinFrame || kind == BusKind::kLinChecksumError;
}

/// The fields an output frame of the kind holds besides its time and data bytes, in the order
/// of the bus-logging output layout.
inline std::vector<std::string> OutputFieldsOf(BusKind kind) {
  switch (kind) {
    case BusKind::kCanData:
      return {"ID", "IDE", "Dir", "EDL", "BRS", "ESI", "DLC", "DataLength", "BusChannel"};
    case BusKind::kCanRemote:
      return {"ID", "IDE", "Dir", "DLC", "DataLength", "BusChannel"};
    case BusKind::kCanError:
      return {"BusChannel", "ErrorType"};
    case BusKind::kLinChecksumError:
      return {"ID", "Checksum", "ChecksumModel", "Dir", "ReceivedDataByteCount", "DataLength", "BusChannel"};
    case BusKind::kLinFrame:
      return {"ID", "Dir", "ReceivedDataByteCount", "DataLength", "BusChannel"};
    case BusKind::kLinReceiveError:
    case BusKind::kLinTransmissionError:
      return {"ID", "BusChannel"};
    case BusKind::kLinSyncError:
      return {"BusChannel"};
  }
  return {};
}

/// Data lengths of the CAN FD data length codes.
inline constexpr uint8_t kDrawnDlcLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
/// The bytes a CAN frame carries: the FD table for an FD frame; a classic DLC above 8 means 8.
inline size_t CanFrameBytes(uint8_t dlc, bool edl) {
  return edl ? kDrawnDlcLengths[dlc & 15] : std::min<size_t>(dlc & 15, 8);
}

/// The multiplexed carrier that drawn recordings may hold, one rule for the whole run
/// (kMuxRule): on bus channel kMuxChannel, which no other drawn frame uses, ISO-TP messages on
/// the 11-bit identifier kMuxId whose payloads are packed sub-frames for the four target
/// channels of their slots. The tool writes the sub-frames, at the time of the frame that
/// completed their message, and not the carrier's frames.
inline constexpr uint8_t kMuxChannel = 250;
inline constexpr uint32_t kMuxId = 0x7DF;
inline constexpr uint8_t kMuxTargets[4] = {251, 252, 253, 254};
inline constexpr const char* kMuxRule = "--muxtp-can250=7DF#251:252:253:254";

/// How a CAN group tells an extended identifier.
enum class IdeConvention : uint8_t {
  kChannel,       // an IDE channel; the ID field holds the bare identifier
  kBit31,         // no IDE channel; bit 31 of the ID field is set for an extended frame
  kBoth,          // an IDE channel, and bit 31 of the ID field as well
  kStandardOnly,  // no IDE channel, no bit 31: the group logs only 11-bit identifiers
};

enum class DataBytesForm : uint8_t {
  kFixed8,   // an 8-byte field: classic frames only
  kFixed64,  // a 64-byte field, the frame's bytes first
  kVlsd,     // the field holds the payload's offset in a VLSD channel group of its own
};

/// One channel group of the recording as the logger laid it out.
struct DrawnGroup {
  BusKind kind = BusKind::kCanData;
  uint8_t record_id = 1;
  bool composed = true;     // the fields are members of a frame channel named like the group
  bool packed = true;       // the fields are packed to the bit, else each in whole bytes
  bool big_endian = false;  // its whole-byte integer fields wider than a byte are big-endian
  // The optional channels, where the kind has them.
  bool bus_channel = true;
  bool dir = true;
  bool edl = true;
  bool brs = true;
  bool esi = true;
  bool data_length = true;
  bool byte_count = true;  // ReceivedDataByteCount
  bool checksum = true;
  bool checksum_model = true;
  IdeConvention ide = IdeConvention::kChannel;
  uint32_t id_bits = 29;
  DataBytesForm data = DataBytesForm::kVlsd;
  bool fd_frames = true;       // the group logs CAN FD frames too (it has an EDL channel)
  uint8_t vlsd_record_id = 0;  // of its VLSD group
  bool tail_garbage = false;   // a fixed data field's bytes behind the frame's are random, not zeros
  uint64_t order_seed = 0;     // shuffles the fields in the record and the channels in their chain
};

/// One event the logger logged.
struct DrawnFrame {
  BusKind kind = BusKind::kCanData;
  size_t group = 0;    // index in DrawnRecording::groups
  uint64_t ticks = 0;  // since the start, in the recording's tick
  uint8_t channel = 0;
  uint32_t id = 0;  // the bare identifier: 11 or 29 bits (CAN), 6 bits (LIN)
  bool ide = false;
  bool dir = false;
  bool edl = false;
  bool brs = false;
  bool esi = false;
  uint8_t dlc = 0;
  std::vector<uint8_t> data;  // the frame's bytes, as many as it carries
  uint8_t error_type = 0;     // as logged: 0 to 7
  uint8_t checksum = 0;
  uint8_t checksum_model = 0;
  bool carrier = false;  // an ISO-TP frame of the multiplexed carrier, not written itself
};

/// The fields the group logs, in the order of the kind's layout: those its kind always has and
/// the optional ones it was drawn with; "DataBytes" last.
inline std::vector<std::string> InputFieldsOf(const DrawnGroup& group) {
  std::vector<std::string> fields;
  const auto add = [&fields](bool present, const char* name) {
    if (present) fields.emplace_back(name);
  };
  add(group.bus_channel, "BusChannel");
  switch (group.kind) {
    case BusKind::kCanData:
    case BusKind::kCanRemote: {
      const bool data = group.kind == BusKind::kCanData;
      add(true, "ID");
      add(group.ide == IdeConvention::kChannel || group.ide == IdeConvention::kBoth, "IDE");
      add(group.dir, "Dir");
      add(data && group.edl, "EDL");
      add(data && group.brs, "BRS");
      add(data && group.esi, "ESI");
      add(true, "DLC");
      add(group.data_length, "DataLength");
      add(data, "DataBytes");
      break;
    }
    case BusKind::kCanError:
      add(true, "ErrorType");
      break;
    case BusKind::kLinFrame:
    case BusKind::kLinChecksumError: {
      const bool checksum = group.kind == BusKind::kLinChecksumError;
      add(true, "ID");
      add(group.dir, "Dir");
      add(group.byte_count, "ReceivedDataByteCount");
      add(group.data_length, "DataLength");
      add(checksum && group.checksum, "Checksum");
      add(checksum && group.checksum_model, "ChecksumModel");
      add(true, "DataBytes");
      break;
    }
    case BusKind::kLinReceiveError:
    case BusKind::kLinTransmissionError:
      add(true, "ID");
      break;
    case BusKind::kLinSyncError:
      break;
  }
  return fields;
}

struct DrawnRecording {
  uint64_t seed = 0;
  RecordingInfo info;  // the start, the header comment's properties, finalized or not
  int16_t tz_offset_min = 0;
  int16_t dst_offset_min = 0;
  uint8_t time_flags = 0;  // bit 0 local time, bit 1 the offsets are valid
  uint64_t tick_ns = 1000;
  uint32_t time_bits = 64;
  uint8_t record_id_size = 1;
  std::string version_text = "4.11";
  uint16_t version = 411;
  bool payload_first = false;   // a VLSD payload's record before its frame's
  bool without_groups = false;  // one data group with an empty DT block and no channel group
  std::vector<DrawnGroup> groups;
  std::vector<DrawnFrame> frames;  // in the order logged: by time
  /// The carrier's sub-frames as the tool unpacks them: on their target channels, each at the
  /// time of the carrier frame that completed its message; `group` is not used.
  std::vector<DrawnFrame> unpacked;

  [[nodiscard]] uint64_t TimeNs(const DrawnFrame& frame) const { return frame.ticks * tick_ns; }
  [[nodiscard]] std::string Describe() const;
};

/// A frame as a conversion's output holds it, or as the model says it must: its absolute time
/// (the header's start plus its time), the fields of the output layout and its data bytes.
struct BusFrame {
  BusKind kind = BusKind::kCanData;
  uint64_t time_ns = 0;
  bool exact_time = true;  // of an expected frame: exact, else to the nearest microsecond
  std::map<std::string, uint64_t> fields;
  std::vector<uint8_t> data;
  size_t source = 0;  // of an expected frame: its index in the recording's frames, then in its unpacked ones
};

namespace draw_detail {

// The start's sub-second part: none, whole ms, whole µs, or any ns with the sub-µs digits that
// a rounding meets (ties, just below and above them) as often as arbitrary ones.
inline uint64_t DrawSubsecond(DrawRandom& random) {
  switch (random.Weighted<int>({{15, 0}, {15, 1}, {30, 2}, {40, 3}})) {
    case 0:
      return 0;
    case 1:
      return random.Below(1000) * 1'000'000;
    case 2:
      return random.Below(1'000'000) * 1000;
    default: {
      const uint64_t sub_us =
          random.Chance(50) ? random.Pick<uint64_t>({1, 238, 400, 499, 500, 501, 600, 999}) : random.Below(1000);
      return random.Below(1'000'000) * 1000 + sub_us;
    }
  }
}

// Seconds since 1970: the first day, this era, any time to beyond 2100, beyond 2262 (where
// nanoseconds outgrow a signed 64-bit count) to 2540, or 0 itself.
inline uint64_t DrawSeconds(DrawRandom& random) {
  switch (random.Weighted<int>({{3, 0}, {5, 1}, {50, 2}, {25, 3}, {12, 4}, {5, 5}})) {
    case 0:
      return 0;
    case 1:
      return random.Below(86'400);
    case 2:
      return random.Between(1'400'000'000, 2'100'000'000);
    case 3:
      return random.Below(4'200'000'000);
    case 4:
      return random.Between(4'200'000'000, 9'223'372'036);
    default:
      return random.Between(9'223'372'037, 18'000'000'000);
  }
}

inline uint8_t DrawChannel(DrawRandom& random) {
  const auto channel = static_cast<uint8_t>(random.Chance(80) ? random.Between(1, 4) : random.Below(256));
  return channel == kMuxChannel ? channel + 1 : channel;  // the carrier's alone
}

inline uint8_t DrawDlc(DrawRandom& random) {
  return static_cast<uint8_t>(random.Chance(60) ? random.Below(9) : random.Between(9, 15));
}

inline void DrawCanId(const DrawnGroup& group, DrawRandom& random, DrawnFrame& frame) {
  frame.ide = group.ide != IdeConvention::kStandardOnly && random.Chance(40);
  if (random.Chance(5)) {
    frame.id = random.Chance(50) ? 0 : frame.ide ? 0x1FFFFFFF : 0x7FF;
  } else if (frame.ide) {
    // Extended frames with small identifiers too, which only the IDE flag tells apart.
    frame.id = static_cast<uint32_t>(random.Chance(25) ? random.Below(0x800) : random.Below(1u << 29));
  } else {
    frame.id = static_cast<uint32_t>(random.Below(0x800));
  }
}

inline DrawnFrame DrawFrame(const DrawnGroup& group, size_t index, DrawRandom& random) {
  DrawnFrame frame;
  frame.kind = group.kind;
  frame.group = index;
  frame.channel = group.bus_channel ? DrawChannel(random) : 0;
  const bool lin_length_known = group.byte_count || group.data_length;
  switch (group.kind) {
    case BusKind::kCanData:
      DrawCanId(group, random, frame);
      frame.dir = group.dir && random.Chance(50);
      frame.edl = group.fd_frames && random.Chance(50);
      frame.dlc = DrawDlc(random);
      frame.brs = frame.edl && group.brs && random.Chance(50);
      frame.esi = frame.edl && group.esi && random.Chance(30);
      frame.data = random.Bytes(CanFrameBytes(frame.dlc, frame.edl));
      break;
    case BusKind::kCanRemote:
      DrawCanId(group, random, frame);
      frame.dir = group.dir && random.Chance(50);
      frame.dlc = static_cast<uint8_t>(random.Chance(70) ? random.Below(9) : random.Between(9, 15));
      break;
    case BusKind::kCanError:
      frame.error_type = static_cast<uint8_t>(random.Chance(90) ? random.Below(6) : random.Between(6, 7));
      break;
    case BusKind::kLinChecksumError:
      frame.checksum = group.checksum ? static_cast<uint8_t>(random.Next()) : 0;
      frame.checksum_model = group.checksum_model ? static_cast<uint8_t>(random.Below(2)) : 0;
      [[fallthrough]];
    case BusKind::kLinFrame:
      frame.id = static_cast<uint32_t>(random.Below(64));
      frame.dir = group.dir && random.Chance(50);
      // Without a length channel the frame is the bytes its field holds: all 8.
      frame.data = random.Bytes(lin_length_known ? random.Below(9) : 8);
      break;
    case BusKind::kLinReceiveError:
    case BusKind::kLinTransmissionError:
      frame.id = static_cast<uint32_t>(random.Below(64));
      break;
    case BusKind::kLinSyncError:
      break;
  }
  return frame;
}

// One sub-frame of a multiplexed payload: data (classic of DLC 0 to 8, or FD), remote or
// error, for the target channel of a drawn slot.
inline DrawnFrame DrawSubFrame(DrawRandom& random) {
  DrawnFrame frame;
  frame.kind = random.Weighted<BusKind>({{70, BusKind::kCanData}, {15, BusKind::kCanRemote}, {15, BusKind::kCanError}});
  frame.channel = kMuxTargets[random.Below(4)];
  if (frame.kind == BusKind::kCanError) {
    frame.error_type = static_cast<uint8_t>(random.Between(1, 5));
    return frame;
  }
  frame.ide = random.Chance(40);
  frame.id = static_cast<uint32_t>(frame.ide ? random.Below(1u << 29) : random.Below(0x800));
  frame.dir = random.Chance(50);
  frame.edl = frame.kind == BusKind::kCanData && random.Chance(40);
  frame.dlc = static_cast<uint8_t>(frame.edl ? random.Below(16) : random.Below(9));
  frame.brs = frame.edl && random.Chance(50);
  if (frame.kind == BusKind::kCanData) frame.data = random.Bytes(CanFrameBytes(frame.dlc, frame.edl));
  return frame;
}

// The sub-frame packed: slot, IDE, EDL and the DLC's bits 3 to 1; the DLC's bit 0, Dir, BRS
// or RTR and the identifier's top bits; the rest of the identifier; the data bytes. An error
// sub-frame is its slot with the code 7, then its error type.
inline std::vector<uint8_t> PackedSubFrame(const DrawnFrame& frame) {
  const auto slot = static_cast<uint8_t>(std::find(std::begin(kMuxTargets), std::end(kMuxTargets), frame.channel) -
                                         std::begin(kMuxTargets));
  if (frame.kind == BusKind::kCanError) return {static_cast<uint8_t>(slot << 5 | 7), frame.error_type};
  const bool remote = frame.kind == BusKind::kCanRemote;
  std::vector<uint8_t> bytes = {
      static_cast<uint8_t>(slot << 5 | (frame.ide ? 0x10 : 0) | (frame.edl ? 0x08 : 0) | (frame.dlc >> 1 & 7)),
      static_cast<uint8_t>((frame.dlc & 1) << 7 | (frame.dir ? 0x40 : 0) |
                           ((frame.edl ? frame.brs : remote) ? 0x20 : 0))};
  if (frame.ide) {
    bytes[1] = static_cast<uint8_t>(bytes[1] | (frame.id >> 24 & 0x1F));
    for (const int shift : {16, 8, 0}) bytes.push_back(static_cast<uint8_t>(frame.id >> shift));
  } else {
    bytes[1] = static_cast<uint8_t>(bytes[1] | (frame.id >> 8 & 0x07));
    bytes.push_back(static_cast<uint8_t>(frame.id));
  }
  bytes.insert(bytes.end(), frame.data.begin(), frame.data.end());
  return bytes;
}

// The ISO-TP frames of the payload, each 8 bytes: a single frame, or a first frame and
// consecutive frames; the padding is random.
inline std::vector<std::vector<uint8_t>> IsoTpFrames(const std::vector<uint8_t>& payload, DrawRandom& random) {
  std::vector<std::vector<uint8_t>> frames;
  const auto frame_of = [&random](std::vector<uint8_t> head, const uint8_t* bytes, size_t count) {
    head.insert(head.end(), bytes, bytes + count);
    const std::vector<uint8_t> padding = random.Bytes(8 - head.size());
    head.insert(head.end(), padding.begin(), padding.end());
    return head;
  };
  if (payload.size() <= 7) {
    frames.push_back(frame_of({static_cast<uint8_t>(payload.size())}, payload.data(), payload.size()));
    return frames;
  }
  const auto length = static_cast<uint32_t>(payload.size());
  frames.push_back(
      frame_of({static_cast<uint8_t>(0x10 | length >> 8), static_cast<uint8_t>(length)}, payload.data(), 6));
  unsigned sequence = 1;
  for (size_t at = 6; at < payload.size(); at += 7, ++sequence) {
    frames.push_back(frame_of({static_cast<uint8_t>(0x20 | (sequence & 15))}, payload.data() + at,
                              std::min<size_t>(7, payload.size() - at)));
  }
  return frames;
}

inline DrawnGroup DrawGroup(BusKind kind, DrawRandom& random) {
  DrawnGroup group;
  group.kind = kind;
  group.composed = random.Chance(50);
  group.packed = random.Chance(50);
  group.bus_channel = random.Chance(75);
  group.dir = random.Chance(70);
  group.edl = random.Chance(70);
  group.brs = random.Chance(70);
  group.esi = random.Chance(70);
  group.data_length = random.Chance(60);
  group.byte_count = random.Chance(60);
  group.checksum = random.Chance(80);
  group.checksum_model = random.Chance(80);
  group.ide = random.Weighted<IdeConvention>({{40, IdeConvention::kChannel},
                                              {30, IdeConvention::kBit31},
                                              {15, IdeConvention::kBoth},
                                              {15, IdeConvention::kStandardOnly}});
  switch (group.ide) {
    case IdeConvention::kChannel:
      group.id_bits = random.Chance(60) ? 29 : 32;
      break;
    case IdeConvention::kStandardOnly:
      group.id_bits = random.Pick<uint32_t>({11, 29, 32});
      break;
    default:
      group.id_bits = 32;
  }
  group.data = random.Weighted<DataBytesForm>(
      {{25, DataBytesForm::kFixed8}, {25, DataBytesForm::kFixed64}, {50, DataBytesForm::kVlsd}});
  group.fd_frames = group.edl && group.data != DataBytesForm::kFixed8;
  group.tail_garbage = random.Chance(30);
  group.order_seed = random.Next();
  group.big_endian = !group.packed && random.Chance(20);
  // A group is told by its field channels: a sync error's only one is its bus channel.
  if (kind == BusKind::kLinSyncError) group.bus_channel = true;
  return group;
}

}  // namespace draw_detail

/// The recording of the seed.
inline DrawnRecording DrawRecording(uint64_t seed) {
  using namespace draw_detail;
  DrawRandom random(seed);
  DrawnRecording recording;
  recording.seed = seed;
  recording.info.session = static_cast<uint32_t>(seed % 4'000'000'000ULL) + 1;
  recording.info.split = static_cast<uint32_t>(random.Between(1, 999));
  recording.info.finalized = random.Chance(70);
  if (random.Chance(20)) {
    recording.version_text = "4.20";
    recording.version = 420;
  }
  recording.payload_first = random.Chance(30);
  recording.record_id_size = random.Weighted<uint8_t>({{85, 1}, {5, 2}, {5, 4}, {5, 8}});
  recording.tick_ns = random.Weighted<uint64_t>({{45, 1000},
                                                 {8, 1},
                                                 {6, 10},
                                                 {6, 100},
                                                 {6, 250},
                                                 {6, 500},
                                                 {6, 2000},
                                                 {6, 10'000},
                                                 {6, 1'000'000},
                                                 {5, 1'000'000'000}});
  constexpr uint64_t kMs = 1'000'000;
  constexpr uint64_t kDay = 86'400'000 * kMs;
  const uint64_t span_ns = random.Weighted<uint64_t>(
      {{15, 10 * kMs}, {20, 1000 * kMs}, {25, 3'600'000 * kMs}, {20, kDay}, {12, 10 * kDay}, {8, 50 * kDay}});
  size_t count = 0;
  switch (random.Weighted<int>({{3, 0}, {20, 1}, {62, 2}, {15, 3}})) {
    case 1:
      count = random.Between(1, 8);
      break;
    case 2:
      count = random.Between(9, 80);
      break;
    case 3:
      count = random.Between(81, 300);
      break;
    default:
      break;
  }

  // The kinds logged and their groups: CAN data in one group or in a classic and an FD group.
  if (random.Chance(1)) {
    recording.without_groups = true;
  } else {
    const std::vector<std::pair<BusKind, unsigned>> odds = {
        {BusKind::kCanData, 85},      {BusKind::kCanRemote, 30},           {BusKind::kCanError, 30},
        {BusKind::kLinFrame, 50},     {BusKind::kLinChecksumError, 25},    {BusKind::kLinReceiveError, 15},
        {BusKind::kLinSyncError, 15}, {BusKind::kLinTransmissionError, 15}};
    for (const auto& [kind, percent] : odds) {
      if (!random.Chance(percent)) continue;
      recording.groups.push_back(DrawGroup(kind, random));
      if (kind == BusKind::kCanData && random.Chance(30)) {
        // The logger's own split: classic frames in an 8-byte field, FD ones in a VLSD group.
        DrawnGroup& classic = recording.groups.back();
        classic.fd_frames = false;
        if (random.Chance(70)) classic.data = DataBytesForm::kFixed8;
        DrawnGroup fd = DrawGroup(kind, random);
        fd.edl = true;
        fd.fd_frames = true;
        if (fd.data == DataBytesForm::kFixed8) fd.data = DataBytesForm::kVlsd;
        recording.groups.push_back(fd);
      }
    }
    if (recording.groups.empty()) recording.groups.push_back(DrawGroup(BusKind::kCanData, random));
    // Record ids 1 to 255 in any order, the VLSD groups' among them.
    std::vector<uint8_t> ids;
    for (unsigned id = 1; id <= 255; ++id) ids.push_back(static_cast<uint8_t>(id));
    random.Shuffle(ids);
    size_t next_id = 0;
    for (DrawnGroup& group : recording.groups) {
      group.record_id = ids[next_id++];
      if (group.kind == BusKind::kCanData && group.data == DataBytesForm::kVlsd) group.vlsd_record_id = ids[next_id++];
    }
  }

  // Times: gaps of at least 2 µs, so that no two frames share a microsecond unless they share
  // their tick, which 5 % of them do.
  const uint64_t tick = recording.tick_ns;
  const uint64_t min_gap = std::max<uint64_t>(1, (2000 + tick - 1) / tick);
  const uint64_t mean_gap = std::max<uint64_t>(min_gap, span_ns / std::max<size_t>(count, 1) / tick);
  uint64_t ticks = random.Chance(30) ? 0 : random.Below(mean_gap + 1);
  // The carrier's messages, each unpacked at its last frame, in a CAN group with bus channels.
  std::vector<std::vector<uint8_t>> carrier_frames;
  std::vector<std::vector<DrawnFrame>> carried;  // by carrier frame: the sub-frames it completes
  size_t carrier_group = recording.groups.size();
  for (size_t g = 0; g < recording.groups.size(); ++g) {
    if (recording.groups[g].kind == BusKind::kCanData && recording.groups[g].bus_channel) carrier_group = g;
  }
  if (carrier_group < recording.groups.size() && count > 0 && random.Chance(15)) {
    for (uint64_t message = random.Between(1, 6); message > 0; --message) {
      std::vector<DrawnFrame> subs;
      std::vector<uint8_t> payload;
      for (uint64_t n = random.Between(1, 5); n > 0; --n) {
        subs.push_back(DrawSubFrame(random));
        const std::vector<uint8_t> packed = PackedSubFrame(subs.back());
        payload.insert(payload.end(), packed.begin(), packed.end());
      }
      for (const std::vector<uint8_t>& frame : IsoTpFrames(payload, random)) {
        carrier_frames.push_back(frame);
        carried.emplace_back();
      }
      carried.back() = subs;
    }
  }
  if (!recording.without_groups) {
    const size_t total = count + carrier_frames.size();
    size_t carrier = 0;
    for (size_t i = 0; i < total; ++i) {
      if (i > 0 && !random.Chance(5)) ticks += std::max(min_gap, random.Between(1, 2 * mean_gap));
      if (carrier < carrier_frames.size() && random.Below(total - i) < carrier_frames.size() - carrier) {
        DrawnFrame frame;
        frame.group = carrier_group;
        frame.channel = kMuxChannel;
        frame.id = kMuxId;
        frame.dlc = 8;
        frame.data = carrier_frames[carrier];
        frame.carrier = true;
        frame.ticks = ticks;
        recording.frames.push_back(frame);
        for (DrawnFrame sub : carried[carrier++]) {
          sub.ticks = ticks;
          recording.unpacked.push_back(sub);
        }
        continue;
      }
      const size_t group = random.Below(recording.groups.size());
      DrawnFrame frame = DrawFrame(recording.groups[group], group, random);
      frame.ticks = ticks;
      recording.frames.push_back(frame);
    }
  }
  const uint64_t last_ticks = recording.frames.empty() ? 0 : recording.frames.back().ticks;
  unsigned needed_bits = 1;
  while (needed_bits < 64 && (last_ticks >> needed_bits) != 0) ++needed_bits;
  if (random.Chance(30)) {
    recording.time_bits = std::max(32u, (needed_bits + 7) / 8 * 8);
  }

  // The start: any nanosecond from which the last frame's time still fits the header's count.
  const uint64_t last_ns = last_ticks * tick;
  uint64_t start = DrawSeconds(random) * 1'000'000'000ULL + DrawSubsecond(random);
  const uint64_t latest = std::numeric_limits<uint64_t>::max() - last_ns;
  if (start > latest) start = latest - random.Below(1'000'000'000);
  recording.info.start_ns = start;
  switch (random.Weighted<int>({{60, 0}, {15, 1}, {20, 2}, {5, 3}})) {
    case 1:
      recording.time_flags = 1;
      break;
    case 2:
    case 3:
      recording.time_flags = static_cast<uint8_t>(random.Chance(80) ? 2 : 3);
      recording.tz_offset_min = static_cast<int16_t>(static_cast<int>(random.Below(103)) * 15 - 720);
      recording.dst_offset_min = static_cast<int16_t>(random.Pick<int>({0, 0, 60, 30}));
      break;
    default:
      break;
  }
  return recording;
}

/// The frames a sound conversion of the recording writes, in its order.
inline std::vector<BusFrame> ExpectedFrames(const DrawnRecording& recording) {
  std::vector<BusFrame> frames;
  const size_t logged = recording.frames.size();
  for (size_t i = 0; i < logged + recording.unpacked.size(); ++i) {
    const DrawnFrame& frame = i < logged ? recording.frames[i] : recording.unpacked[i - logged];
    if (frame.carrier) continue;
    BusFrame out;
    out.kind = frame.kind;
    out.time_ns = recording.info.start_ns + recording.TimeNs(frame);
    out.exact_time = recording.TimeNs(frame) % 1000 == 0;
    out.source = i;
    auto& f = out.fields;
    const auto length = static_cast<uint64_t>(frame.data.size());
    switch (frame.kind) {
      case BusKind::kCanData:
        f = {{"ID", frame.id},   {"IDE", frame.ide},     {"Dir", frame.dir},
             {"EDL", frame.edl}, {"BRS", frame.brs},     {"ESI", frame.esi},
             {"DLC", frame.dlc}, {"DataLength", length}, {"BusChannel", frame.channel}};
        out.data = frame.data;
        break;
      case BusKind::kCanRemote:
        // A remote frame is a classic one: a DLC above 8 requests 8 bytes.
        f = {{"ID", frame.id},
             {"IDE", frame.ide},
             {"Dir", frame.dir},
             {"DLC", frame.dlc},
             {"DataLength", CanFrameBytes(frame.dlc, false)},
             {"BusChannel", frame.channel}};
        break;
      case BusKind::kCanError:
        f = {{"BusChannel", frame.channel}, {"ErrorType", frame.error_type <= 5 ? frame.error_type : 0}};
        break;
      case BusKind::kLinChecksumError:
        f = {{"Checksum", frame.checksum}, {"ChecksumModel", frame.checksum_model}};
        [[fallthrough]];
      case BusKind::kLinFrame:
        f.insert({{"ID", frame.id},
                  {"Dir", frame.dir},
                  {"ReceivedDataByteCount", length},
                  {"DataLength", length},
                  {"BusChannel", frame.channel}});
        out.data = frame.data;
        break;
      case BusKind::kLinReceiveError:
      case BusKind::kLinTransmissionError:
        f = {{"ID", frame.id}, {"BusChannel", frame.channel}};
        break;
      case BusKind::kLinSyncError:
        f = {{"BusChannel", frame.channel}};
        break;
    }
    frames.push_back(std::move(out));
  }
  return frames;
}

inline std::string DrawnRecording::Describe() const {
  static const char* const kIde[] = {"IDE channel", "IDE in ID bit 31", "IDE channel and bit 31", "standard IDs only"};
  static const char* const kData[] = {"data fixed 8", "data fixed 64", "data VLSD"};
  std::ostringstream text;
  text << "seed " << seed << ": start " << info.start_ns << " ns, time flags " << unsigned{time_flags} << " tz "
       << tz_offset_min << " dst " << dst_offset_min << ", tick " << tick_ns << " ns in " << time_bits << " bits, "
       << (info.finalized ? "finalized " : "unfinalized ") << version_text << (payload_first ? ", payloads first" : "")
       << ", record ids of " << unsigned{record_id_size} << " bytes";
  if (without_groups) text << ", no channel group";
  for (const DrawnGroup& group : groups) {
    text << "; " << GroupNameOf(group.kind) << " #" << unsigned{group.record_id}
         << (group.composed ? " composed" : " plain") << (group.packed ? " packed" : " aligned")
         << (group.big_endian ? " big-endian" : "");
    text << " [";
    for (const std::string& field : InputFieldsOf(group)) text << " " << field;
    text << " ]";
    if (IsCanKind(group.kind) && group.kind != BusKind::kCanError) {
      text << ", " << kIde[static_cast<int>(group.ide)] << ", " << group.id_bits << "-bit ID";
    }
    if (group.kind == BusKind::kCanData) {
      text << ", " << kData[static_cast<int>(group.data)] << (group.fd_frames ? ", FD" : ", classic only");
    }
  }
  text << "; " << frames.size() << " frames";
  if (!unpacked.empty()) text << " (carrying " << unpacked.size() << " multiplexed)";
  return text.str();
}

}  // namespace test
