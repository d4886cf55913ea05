#pragma once
// Unfinalized logger recordings in the layouts real loggers write, and what a logger had left
// of one when its power was lost at any byte. For tests of the library's finalization, the
// logger-file reader and the whole tool alike:
//
//   test::TornRecording recording(test::LoggerLayout::kListLinkedBeforeHeader);
//   for (uint64_t size = recording.DataStart(); size <= recording.Whole().size(); ++size) {
//     const std::vector<uint8_t> file = recording.At(size, /*zero_padded=*/false);
//     // ... read `file`: it must give exactly recording.WholeAt(size)
//   }
//
// A recording is written once by LoggerRecordingWriter into a JournalOutput, which remembers
// each in-place patch (a list's new link, a full block's length) with the file size at that
// moment. At(size) is the file as it stood when it was `size` bytes long: the bytes written
// so far and the patches made by then, not a prefix of the finished file. Where each frame's
// records lie is taken from the writer as it writes them, never from a reader, so WholeAt
// counts the whole frames independently of the code under test: a frame is whole when its
// frame record and, for CAN, its payload record (or its entry in signal data, linked by then)
// are in the file; the headers of data blocks begun between its bytes are not its bytes.
#include <algorithm>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/busgrouprecording.h"
#include "support/loggerimage.h"
#include "support/loggerrecording.h"

namespace test {

/// An image in memory that remembers each overwrite with the size the image had then, so
/// that it can be given as it stood at any earlier size.
class JournalOutput final : public ImageOutput {
 public:
  [[nodiscard]] uint64_t Size() const override { return bytes_.size(); }
  void Append(const std::vector<uint8_t>& bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  /// Throws std::out_of_range past the end.
  void Overwrite(uint64_t at, const std::vector<uint8_t>& bytes) override {
    if (at > bytes_.size() || bytes.size() > bytes_.size() - at) throw std::out_of_range("overwrite past the image");
    const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(at);
    patches_.push_back({at, bytes_.size(), {first, first + static_cast<std::ptrdiff_t>(bytes.size())}});
    std::copy(bytes.begin(), bytes.end(), first);
  }

  [[nodiscard]] const std::vector<uint8_t>& Image() const { return bytes_; }

  /// The image when it was `size` bytes long: the first `size` bytes, with every overwrite
  /// made while the image was longer undone. An overwrite made at exactly that size stays:
  /// it is the latest state of a file of that size.
  [[nodiscard]] std::vector<uint8_t> AsAt(uint64_t size) const {
    if (size > bytes_.size()) throw std::out_of_range("the image never had that size");
    std::vector<uint8_t> image(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(size));
    for (auto patch = patches_.rbegin(); patch != patches_.rend(); ++patch) {
      if (patch->size <= size) continue;
      for (size_t i = 0; i < patch->old.size() && patch->at + i < size; ++i) image[patch->at + i] = patch->old[i];
    }
    return image;
  }

 private:
  struct Patch {
    uint64_t at;
    uint64_t size;             // the image's size when it was made
    std::vector<uint8_t> old;  // the bytes it replaced
  };
  std::vector<uint8_t> bytes_;
  std::vector<Patch> patches_;
};

/// The layouts of unfinalized recordings that loggers write; each has traffic of its own.
enum class LoggerLayout {
  kPayloadAfterFrame,        // one DT block; each CAN payload right after its frame record
  kPayloadBeforeFrame,       // one DT block; each CAN payload right before its frame record
  kListLinkedBeforeHeader,   // a DL of 256-byte DT blocks, each linked when its header is begun
  kListLinkedAfterHeader,    // the same, each linked once its header is whole
  kListGrowingLinkedBefore,  // as kListLinkedBeforeHeader, the full block closed only once the next header is written
  kListGrowingLinkedAfter,   // as kListLinkedAfterHeader, the full block closed only once the next one is linked
  kListAlignedRecords,       // blocks of whole records closed at a record boundary, each next header 8-aligned
  kCanFd64,                  // CAN FD frames with payloads of up to 64 bytes, after their frames
  kLinOnly,                  // LIN frames alone: records of one size, no payloads
  kVersion420,               // as kPayloadAfterFrame, in an MDF 4.20 file
  kListLinksAfterHeader,     // as kListLinkedAfterHeader, torn from the list's header on: its
                             // links and fields are written after it
  kSignalDataFirst,          // the payloads in an SD block written whole before the records
  kSignalDataAfter,          // the payloads in an SD block after the records, linked once whole
  kSignalDataAfterLinkedEarly,  // the same, linked as soon as its header is written
  kListChainGrowing,        // lists of 3 DT blocks each linked once its header is whole, the next list written whole
                            // and linked once whole before the next block, the full block closed only after that
  kListChainClosed,         // the same, the full block closed before the next list is written
  kCommentBehindGrowingDt,  // as kPayloadAfterFrame, a comment block appended behind the growing DT
  kEventBehindGrowingDt,    // the same with an event block over the comment, linked once whole
  // One data group per bus (busgrouprecording.h), their records one group after the other:
  kTwoBusGroupsGrowing,           // CAN, LIN; the CAN group's DT left growing; flags 0x25
  kTwoBusGroupsGrowingLinFirst,   // LIN, CAN; the same; flags 0x05
  kTwoBusGroupsClosed,            // CAN, LIN; the CAN group's DT closed, its counts left 0; flags 0x05
  kTwoBusGroupsClosedCounted,     // LIN, CAN; the LIN group's DT closed and its count written; flags 0x25
  kThreeBusGroupsGrowing,         // CAN, CAN, LIN; the earlier DTs left growing, their counts written; flags 0x25
  kThreeBusGroupsLinFirstClosed,  // LIN, CAN, CAN; the earlier DTs closed, their counts written; flags 0x65
};

inline const std::vector<LoggerLayout>& AllLoggerLayouts() {
  static const std::vector<LoggerLayout> layouts = {LoggerLayout::kPayloadAfterFrame,
                                                    LoggerLayout::kPayloadBeforeFrame,
                                                    LoggerLayout::kListLinkedBeforeHeader,
                                                    LoggerLayout::kListLinkedAfterHeader,
                                                    LoggerLayout::kListGrowingLinkedBefore,
                                                    LoggerLayout::kListGrowingLinkedAfter,
                                                    LoggerLayout::kListAlignedRecords,
                                                    LoggerLayout::kCanFd64,
                                                    LoggerLayout::kLinOnly,
                                                    LoggerLayout::kVersion420,
                                                    LoggerLayout::kListLinksAfterHeader,
                                                    LoggerLayout::kSignalDataFirst,
                                                    LoggerLayout::kSignalDataAfter,
                                                    LoggerLayout::kSignalDataAfterLinkedEarly,
                                                    LoggerLayout::kListChainGrowing,
                                                    LoggerLayout::kListChainClosed,
                                                    LoggerLayout::kCommentBehindGrowingDt,
                                                    LoggerLayout::kEventBehindGrowingDt,
                                                    LoggerLayout::kTwoBusGroupsGrowing,
                                                    LoggerLayout::kTwoBusGroupsGrowingLinFirst,
                                                    LoggerLayout::kTwoBusGroupsClosed,
                                                    LoggerLayout::kTwoBusGroupsClosedCounted,
                                                    LoggerLayout::kThreeBusGroupsGrowing,
                                                    LoggerLayout::kThreeBusGroupsLinFirstClosed};
  return layouts;
}

/// A short name of the layout, fit for test and file names.
inline const char* LayoutName(LoggerLayout layout) {
  switch (layout) {
    case LoggerLayout::kPayloadAfterFrame:
      return "PayloadAfterFrame";
    case LoggerLayout::kPayloadBeforeFrame:
      return "PayloadBeforeFrame";
    case LoggerLayout::kListLinkedBeforeHeader:
      return "ListLinkedBeforeHeader";
    case LoggerLayout::kListLinkedAfterHeader:
      return "ListLinkedAfterHeader";
    case LoggerLayout::kListGrowingLinkedBefore:
      return "ListGrowingLinkedBefore";
    case LoggerLayout::kListGrowingLinkedAfter:
      return "ListGrowingLinkedAfter";
    case LoggerLayout::kListAlignedRecords:
      return "ListAlignedRecords";
    case LoggerLayout::kCanFd64:
      return "CanFd64";
    case LoggerLayout::kLinOnly:
      return "LinOnly";
    case LoggerLayout::kVersion420:
      return "Version420";
    case LoggerLayout::kListLinksAfterHeader:
      return "ListLinksAfterHeader";
    case LoggerLayout::kSignalDataFirst:
      return "SignalDataFirst";
    case LoggerLayout::kSignalDataAfter:
      return "SignalDataAfter";
    case LoggerLayout::kSignalDataAfterLinkedEarly:
      return "SignalDataAfterLinkedEarly";
    case LoggerLayout::kListChainGrowing:
      return "ListChainGrowing";
    case LoggerLayout::kListChainClosed:
      return "ListChainClosed";
    case LoggerLayout::kCommentBehindGrowingDt:
      return "CommentBehindGrowingDt";
    case LoggerLayout::kEventBehindGrowingDt:
      return "EventBehindGrowingDt";
    case LoggerLayout::kTwoBusGroupsGrowing:
      return "TwoBusGroupsGrowing";
    case LoggerLayout::kTwoBusGroupsGrowingLinFirst:
      return "TwoBusGroupsGrowingLinFirst";
    case LoggerLayout::kTwoBusGroupsClosed:
      return "TwoBusGroupsClosed";
    case LoggerLayout::kTwoBusGroupsClosedCounted:
      return "TwoBusGroupsClosedCounted";
    case LoggerLayout::kThreeBusGroupsGrowing:
      return "ThreeBusGroupsGrowing";
    case LoggerLayout::kThreeBusGroupsLinFirstClosed:
      return "ThreeBusGroupsLinFirstClosed";
  }
  return "?";
}

inline void PrintTo(LoggerLayout layout, std::ostream* out) { *out << LayoutName(layout); }

/// True for the layouts that keep their records in a DL of DT blocks.
inline bool IsListLayout(LoggerLayout layout) {
  return layout == LoggerLayout::kListLinkedBeforeHeader || layout == LoggerLayout::kListLinkedAfterHeader ||
         layout == LoggerLayout::kListGrowingLinkedBefore || layout == LoggerLayout::kListGrowingLinkedAfter ||
         layout == LoggerLayout::kListAlignedRecords || layout == LoggerLayout::kListLinksAfterHeader ||
         layout == LoggerLayout::kListChainGrowing || layout == LoggerLayout::kListChainClosed;
}

/// The data groups of a layout with one per bus; none for every other layout.
inline BusGroupLayout BusGroupsOf(LoggerLayout layout) {
  switch (layout) {
    case LoggerLayout::kTwoBusGroupsGrowing:
      return {{Bus::kCan, Bus::kLin}, false, false, 0x25};
    case LoggerLayout::kTwoBusGroupsGrowingLinFirst:
      return {{Bus::kLin, Bus::kCan}, false, false, 0x05};
    case LoggerLayout::kTwoBusGroupsClosed:
      return {{Bus::kCan, Bus::kLin}, true, false, 0x05};
    case LoggerLayout::kTwoBusGroupsClosedCounted:
      return {{Bus::kLin, Bus::kCan}, true, true, 0x25};
    case LoggerLayout::kThreeBusGroupsGrowing:
      return {{Bus::kCan, Bus::kCan, Bus::kLin}, false, true, 0x25};
    case LoggerLayout::kThreeBusGroupsLinFirstClosed:
      return {{Bus::kLin, Bus::kCan, Bus::kCan}, true, true, 0x65};
    default:
      return {};
  }
}

/// True for the layouts that write the payloads in signal data after the records.
inline bool IsSignalDataAfterLayout(LoggerLayout layout) {
  return layout == LoggerLayout::kSignalDataAfter || layout == LoggerLayout::kSignalDataAfterLinkedEarly;
}

/// One frame of a recording and where its bytes lie.
struct LoggedFrame {
  bool is_can = false;
  CanFrameRecord can{};  // when is_can
  LinFrameRecord lin{};  // otherwise
  FrameExtent extent;
  /// The file size from which the block of its payload is linked, where that comes after its
  /// bytes (signal data linked once whole); 0 otherwise.
  uint64_t linked_at = 0;
};

/// One record as written: a CAN frame record, its payload (a VLSD record), a LIN record, or a
/// payload's entry in signal data (its 4-byte length and bytes).
struct LoggedRecord {
  enum Kind { kCanFrame, kPayload, kLin, kEntry } kind;
  size_t frame;  // index into Frames()
  FrameExtent extent;
  uint64_t bytes;  // record bytes, the record id included
};

class TornRecording {
 public:
  /// The size a zero-padded cut is filled up to: a file system that grew the file by whole
  /// clusters before the data reached the card leaves zeros up to the next boundary.
  static constexpr uint64_t kPaddingBoundary = 4096;
  static constexpr uint32_t kListBlockDataBytes = 256;
  /// The slots of each list in a chain of lists: a few, so that the traffic fills several.
  static constexpr uint32_t kChainedListSlots = 3;

  /// `finalized`: as the logger would have closed it, for checks of the kit itself.
  explicit TornRecording(LoggerLayout layout, bool finalized = false) : layout_(layout) {
    info_.finalized = finalized;
    info_.serial = "0000C0DE";
    if (const BusGroupLayout groups = BusGroupsOf(layout); !groups.buses.empty()) {
      WriteBusGroups(groups);
      return;
    }
    RecordingLayout places;
    places.payload_first = layout == LoggerLayout::kPayloadBeforeFrame;
    if (IsListLayout(layout)) {
      places.block_data_bytes = kListBlockDataBytes;
      places.link_before_header = layout != LoggerLayout::kListLinkedAfterHeader &&
                                  layout != LoggerLayout::kListGrowingLinkedAfter &&
                                  layout != LoggerLayout::kListLinksAfterHeader;
      places.close_after_next_header = layout == LoggerLayout::kListGrowingLinkedBefore ||
                                       layout == LoggerLayout::kListGrowingLinkedAfter ||
                                       layout == LoggerLayout::kListChainGrowing;
      places.whole_records = layout == LoggerLayout::kListAlignedRecords;
      places.chain_lists = layout == LoggerLayout::kListChainGrowing || layout == LoggerLayout::kListChainClosed;
      if (places.chain_lists) {
        places.list_slots = kChainedListSlots;
        places.link_before_header = false;
      }
    }
    if (layout == LoggerLayout::kVersion420) {
      places.version_text = "4.20";
      places.version = 420;
    }
    places.signal_data_first = layout == LoggerLayout::kSignalDataFirst;
    places.signal_data_after = IsSignalDataAfterLayout(layout);
    places.link_signal_data_when_begun = layout == LoggerLayout::kSignalDataAfterLinkedEarly;
    LoggerRecordingWriter writer(journal_, info_, places);
    const std::vector<LoggedFrame> traffic = Traffic(layout);
    if (places.signal_data_first) {
      std::vector<std::vector<uint8_t>> payloads;
      for (const LoggedFrame& frame : traffic) {
        if (frame.is_can) payloads.push_back(frame.can.data);
      }
      writer.SignalData(payloads);
    }
    blocks_ = writer.DataBlocks();
    // The list is written whole with links of 0, as a logger leaves it between writing its
    // header and its links: a cut inside it is such a tear.
    if (layout == LoggerLayout::kListLinksAfterHeader) first_torn_ = static_cast<uint64_t>(writer.ListBlock());
    for (const LoggedFrame& frame : traffic) {
      Add(writer, frame, places.payload_first, places.signal_data_first || places.signal_data_after);
    }
    if (places.signal_data_after) AddSignalDataAfter(writer);
    if (layout == LoggerLayout::kCommentBehindGrowingDt || layout == LoggerLayout::kEventBehindGrowingDt) {
      writer.AppendPowerLossNote(layout == LoggerLayout::kEventBehindGrowingDt);
    }
    writer.Finish();
  }

  [[nodiscard]] LoggerLayout Layout() const { return layout_; }
  [[nodiscard]] const RecordingInfo& Info() const { return info_; }
  /// The recording as the logger left it when it stopped without a power loss.
  [[nodiscard]] const std::vector<uint8_t>& Whole() const { return journal_.Image(); }
  /// The first data block's header (the list's, where its links are written after it): the
  /// first byte that a power loss can tear.
  [[nodiscard]] uint64_t DataStart() const { return first_torn_ != 0 ? first_torn_ : blocks_.front(); }
  /// Where each data block's header begins.
  [[nodiscard]] const std::vector<uint64_t>& DataBlocks() const { return blocks_; }
  /// The bytes of blocks that lie between records, in file order: each data block's header,
  /// and each list a chain of lists begins behind a full block (a record may run on past it).
  [[nodiscard]] std::vector<FrameExtent> BlocksBetweenRecords() const {
    std::vector<FrameExtent> between = lists_;
    for (const uint64_t block : blocks_) between.push_back({block, block + 24});
    std::sort(between.begin(), between.end(),
              [](const FrameExtent& a, const FrameExtent& b) { return a.begin < b.begin; });
    return between;
  }
  [[nodiscard]] const std::vector<LoggedFrame>& Frames() const { return frames_; }
  [[nodiscard]] const std::vector<LoggedRecord>& Records() const { return records_; }

  /// The file as the logger had left it when it was `size` bytes long; zero-padded, followed
  /// by zeros up to the next multiple of kPaddingBoundary (none when it ends on one).
  [[nodiscard]] std::vector<uint8_t> At(uint64_t size, bool zero_padded) const {
    std::vector<uint8_t> file = journal_.AsAt(size);
    if (zero_padded) file.resize((size + kPaddingBoundary - 1) / kPaddingBoundary * kPaddingBoundary, 0);
    return file;
  }

  /// The frames whole in the file at `size` (padded or not), in recording order.
  [[nodiscard]] std::vector<LoggedFrame> WholeAt(uint64_t size) const {
    std::vector<LoggedFrame> whole;
    for (const LoggedFrame& frame : frames_) {
      if (frame.extent.end <= size && frame.linked_at <= size) whole.push_back(frame);
    }
    return whole;
  }

  /// Where a cut falls: `kind` in words without numbers (inside a data block's header, inside
  /// a record of a kind, between two records), so that cuts of one kind can be counted
  /// together, and `detail` with the block, the frame and the bytes of the torn record.
  struct CutPlace {
    std::string kind;
    std::string detail;
  };

  [[nodiscard]] CutPlace DescribeCut(uint64_t size) const {
    for (size_t list = 0; list < lists_.size(); ++list) {
      if (size >= lists_[list].begin && size < lists_[list].end) {
        return {"in a list chained behind a full block",
                "list " + std::to_string(list + 1) + ", " + std::to_string(size - lists_[list].begin) + " of its " +
                    std::to_string(lists_[list].end - lists_[list].begin) + " bytes"};
      }
    }
    for (size_t block = 0; block < blocks_.size(); ++block) {
      if (size >= blocks_[block] && size < blocks_[block] + 24) {
        return {"in a data block's header",
                "block " + std::to_string(block) + ", " + std::to_string(size - blocks_[block]) + " of its 24 bytes"};
      }
    }
    uint64_t longest = 0;
    for (size_t i = 0; i < records_.size(); ++i) {
      const LoggedRecord& record = records_[i];
      const uint64_t claimed = record.bytes - 5;
      if (size > record.extent.begin && size < record.extent.end) {
        const uint64_t present = BytesBefore(record, size);
        std::string kind = std::string("inside a ") + KindName(record.kind);
        if (record.kind == LoggedRecord::kEntry) {
          kind += present < 4 ? " (its length)" : "";
        } else if (record.kind == LoggedRecord::kPayload) {
          kind += present < 5         ? " (its id and length)"
                  : claimed > longest ? " longer than every earlier one"
                                      : " no longer than an earlier one";
        }
        const auto earlier = std::find_if(blocks_.begin(), blocks_.end(), [&record, size](uint64_t block) {
          return block > record.extent.begin && block < size;
        });
        if (earlier != blocks_.end()) kind += ", begun in an earlier data block";
        return {kind, "frame " + std::to_string(record.frame) + ", " + std::to_string(present) + " of " +
                          std::to_string(record.bytes) + " bytes"};
      }
      if (size == record.extent.end) {
        if (record.kind == LoggedRecord::kEntry ||
            (i + 1 < records_.size() && records_[i + 1].kind == LoggedRecord::kEntry)) {
          return {std::string("after a ") + KindName(record.kind) +
                      (i + 1 < records_.size() ? ", before a payload entry" : ", the last one"),
                  "frame " + std::to_string(record.frame)};
        }
        if (i + 1 < records_.size() && records_[i + 1].frame == record.frame) {
          return {std::string("after a ") + KindName(record.kind) + ", before its " + KindName(records_[i + 1].kind),
                  "frame " + std::to_string(record.frame)};
        }
        return {"after a whole frame", "frame " + std::to_string(record.frame)};
      }
      if (record.kind == LoggedRecord::kPayload) longest = std::max(longest, claimed);
    }
    const bool after_one = std::any_of(records_.begin(), records_.end(),
                                       [size](const LoggedRecord& record) { return record.extent.end < size; });
    return {after_one ? "between the records and the next block" : "before the first record", ""};
  }

 private:
  static const char* KindName(LoggedRecord::Kind kind) {
    return kind == LoggedRecord::kCanFrame  ? "CAN frame record"
           : kind == LoggedRecord::kPayload ? "payload"
           : kind == LoggedRecord::kEntry   ? "payload entry in the signal data"
                                            : "LIN record";
  }

  // The record's bytes before the cut: its extent less the blocks begun inside it.
  [[nodiscard]] uint64_t BytesBefore(const LoggedRecord& record, uint64_t size) const {
    uint64_t bytes = size - record.extent.begin;
    for (const FrameExtent& block : BlocksBetweenRecords()) {
      if (block.begin > record.extent.begin && block.begin < size) bytes -= std::min(block.end, size) - block.begin;
    }
    return bytes;
  }

  // The data groups' records one group after the other, each group's in the order of the
  // traffic: a CAN group of one of two buses its channel's frames.
  void WriteBusGroups(const BusGroupLayout& groups) {
    BusGroupRecordingWriter writer(journal_, info_, groups);
    const std::vector<LoggedFrame> traffic = Traffic(LoggerLayout::kPayloadAfterFrame);
    const auto can_buses = std::count(groups.buses.begin(), groups.buses.end(), Bus::kCan);
    int can_bus = 0;
    for (const Bus bus : groups.buses) {
      writer.NextGroup();
      if (bus == Bus::kCan) ++can_bus;
      for (const LoggedFrame& frame : traffic) {
        const bool ours =
            bus == Bus::kCan ? frame.is_can && (can_buses == 1 || frame.can.channel == can_bus) : !frame.is_can;
        if (ours) Add(writer, frame, false, false);
      }
    }
    writer.Finish();
  }

  void NoteChainedLists(const LoggerRecordingWriter& writer) { lists_ = writer.ChainedLists(); }
  void NoteChainedLists(const BusGroupRecordingWriter&) {}

  template <typename Writer>
  void Add(Writer& writer, const LoggedFrame& frame, bool payload_first, bool signal_data) {
    const size_t index = frames_.size();
    frames_.push_back(frame);
    frames_.back().extent = frame.is_can ? writer.Add(frame.can) : writer.Add(frame.lin);
    blocks_ = writer.DataBlocks();
    NoteChainedLists(writer);
    const FrameExtent extent = frames_.back().extent;
    if (!frame.is_can) {
      records_.push_back({LoggedRecord::kLin, index, extent, 1 + LoggerRecordingWriter::kLinRecordBytes});
      return;
    }
    if (signal_data) {  // its payload is not among the records
      records_.push_back({LoggedRecord::kCanFrame, index, extent, 1 + LoggerRecordingWriter::kCanRecordBytes});
      return;
    }
    // The two records follow each other, with at most a block header between them (behind the
    // zeros that align it): the second begins where the writer put it.
    const uint64_t frame_bytes = 1 + LoggerRecordingWriter::kCanRecordBytes;
    const uint64_t payload_bytes = 5 + frame.can.data.size();
    const uint64_t first_bytes = payload_first ? payload_bytes : frame_bytes;
    const uint64_t split = EndOf(extent.begin, first_bytes);
    const LoggedRecord::Kind first = payload_first ? LoggedRecord::kPayload : LoggedRecord::kCanFrame;
    const LoggedRecord::Kind second = payload_first ? LoggedRecord::kCanFrame : LoggedRecord::kPayload;
    records_.push_back({first, index, {extent.begin, split}, first_bytes});
    const uint64_t second_begin = writer.LastRecordBegin();
    records_.push_back({second, index, {second_begin, extent.end}, payload_first ? frame_bytes : payload_bytes});
  }

  // The entries follow every record in the frames' order; a frame ends with its entry and is
  // whole once the block is linked.
  void AddSignalDataAfter(LoggerRecordingWriter& writer) {
    const std::vector<FrameExtent> entries = writer.SignalDataAfter();
    blocks_ = writer.DataBlocks();
    size_t entry = 0;
    for (size_t index = 0; index < frames_.size(); ++index) {
      LoggedFrame& frame = frames_[index];
      if (!frame.is_can) continue;
      const FrameExtent extent = entries.at(entry++);
      records_.push_back({LoggedRecord::kEntry, index, extent, 4 + frame.can.data.size()});
      frame.extent.end = extent.end;
      frame.linked_at = writer.SignalDataLinkedAt();
    }
  }

  // The end of `bytes` record bytes from `begin` on, past the blocks begun between them.
  [[nodiscard]] uint64_t EndOf(uint64_t begin, uint64_t bytes) const {
    uint64_t end = begin + bytes;
    for (const FrameExtent& block : BlocksBetweenRecords()) {
      if (block.begin > begin && block.begin < end) end += block.end - block.begin;
    }
    return end;
  }

  // ---- The traffic of each layout ----

  static uint8_t DlcLength(uint8_t dlc) {
    static constexpr uint8_t kLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return kLengths[dlc & 0x0F];
  }

  // Data bytes that differ from frame to frame; every other frame ends in a zero byte, so a
  // record torn before its last byte and filled with zeros may look whole, or may not.
  static std::vector<uint8_t> Data(size_t length, size_t frame) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(0x11 * (i + 1) + 7 * frame + 1);
    if (length > 0) data.back() = frame % 2 == 0 ? 0 : static_cast<uint8_t>(0x80 | frame);
    return data;
  }

  static LoggedFrame Can(size_t frame, uint64_t time_us, uint8_t dlc, bool fd) {
    LoggedFrame logged;
    logged.is_can = true;
    CanFrameRecord& can = logged.can;
    can.time_us = time_us;
    can.channel = static_cast<uint8_t>(fd ? 2 : 1 + frame % 2);
    can.ide = frame % 3 == 1;
    can.id = can.ide ? 0x18FF0000u + static_cast<uint32_t>(frame) : 0x100u + static_cast<uint32_t>(frame % 0x700);
    can.dir = frame % 5 == 2;
    can.edl = fd;
    can.brs = fd && frame % 2 == 0;
    can.dlc = dlc;
    can.data = Data(DlcLength(dlc), frame);
    return logged;
  }

  static LoggedFrame Lin(size_t frame, uint64_t time_us, size_t length) {
    LoggedFrame logged;
    LinFrameRecord& lin = logged.lin;
    lin.time_us = time_us;
    lin.channel = static_cast<uint8_t>(1 + frame % 2);
    lin.id = static_cast<uint8_t>((frame * 7) & 0x3F);
    lin.dir = frame % 4 == 3;
    lin.data = Data(length, frame);
    return logged;
  }

  // Payload lengths grow through every length a DLC gives (0 to 64), so that torn payloads
  // longer than every earlier one occur, then come again in another order; LIN frames of 0 to
  // 8 bytes come between. The sizes keep a sweep of every byte within a few seconds.
  static std::vector<LoggedFrame> Traffic(LoggerLayout layout) {
    std::vector<LoggedFrame> frames;
    uint64_t time_us = 1000;
    const auto next_time = [&time_us, &frames] { return time_us += 250 + 13 * (frames.size() % 7); };
    if (layout == LoggerLayout::kLinOnly) {
      for (size_t i = 0; i < 40; ++i) frames.push_back(Lin(frames.size(), next_time(), i % 9));
      return frames;
    }
    if (layout == LoggerLayout::kCanFd64) {
      for (const uint8_t dlc : {9, 13, 15, 14, 15, 10, 15, 15, 12, 15, 15, 11, 15, 15}) {
        frames.push_back(Can(frames.size(), next_time(), dlc, true));
      }
      return frames;
    }
    for (uint8_t dlc = 0; dlc < 16; ++dlc) {
      frames.push_back(Can(frames.size(), next_time(), dlc, dlc > 8));
      if (dlc % 2 == 1) frames.push_back(Lin(frames.size(), next_time(), dlc / 2 + 1));
    }
    if (layout == LoggerLayout::kVersion420) return frames;
    size_t repeated = 0;
    for (const uint8_t dlc : {15, 3, 9, 0, 12, 8, 14, 1}) {
      frames.push_back(Can(frames.size(), next_time(), dlc, dlc > 8 || dlc == 3));
      if (++repeated % 2 == 0) frames.push_back(Lin(frames.size(), next_time(), repeated));
    }
    return frames;
  }

  LoggerLayout layout_;
  RecordingInfo info_;
  JournalOutput journal_;
  std::vector<LoggedFrame> frames_;
  std::vector<LoggedRecord> records_;
  std::vector<uint64_t> blocks_;    // where each data block's header begins
  std::vector<FrameExtent> lists_;  // the lists chained behind the first
  uint64_t first_torn_ = 0;         // where tears begin when not at the first data block
};

}  // namespace test
