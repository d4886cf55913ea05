// The test kit's torn logger recordings (support/tornrecording.h) are the oracle of the tear
// sweeps, so they are checked here against what does not come from the kit: the independent
// checker's decoding of each layout, the bytes at each record's place, and the blocks of a
// list as a logger links and closes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/mdf4check.h"
#include "support/tempdir.h"
#include "support/tornrecording.h"

namespace {

using test::LoggerLayout;
using test::TornRecording;

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (const uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

/// One line per frame, as the checker's decoding below prints it.
std::string Row(const test::LoggedFrame& frame) {
  std::ostringstream row;
  if (frame.is_can) {
    const test::CanFrameRecord& can = frame.can;
    row << "CAN " << can.time_us << ' ' << int{can.channel} << ' ' << can.id << ' ' << can.ide << ' ' << can.dir << ' '
        << can.edl << ' ' << can.brs << ' ' << int{can.dlc} << ' ' << Hex(can.data);
  } else {
    const test::LinFrameRecord& lin = frame.lin;
    row << "LIN " << lin.time_us << ' ' << int{lin.channel} << ' ' << int{lin.id} << ' ' << lin.dir << ' '
        << lin.data.size() << ' ' << Hex(lin.data);
  }
  return row.str();
}

// The checker's values of the bus groups, one line per sample, and the number of problems it
// found. In single quotes on the shell's command line: the script holds none.
constexpr const char* kRows = R"(import json, sys
d = json.load(sys.stdin)
for dg in d["data_groups"]:
    for cg in dg["channel_groups"]:
        ch = {c["name"]: c.get("raw") for c in cg["channels"]}
        name = cg.get("acq_name") or ""
        if name == "CAN_DataFrame":
            p = "CAN_DataFrame."
            for i, t in enumerate(ch["Timestamp"]):
                print("CAN", t, *[ch[p + f][i] for f in ("BusChannel", "ID", "IDE", "Dir", "EDL", "BRS", "DLC")],
                      ch[p + "DataBytes"][i])
        elif name == "LIN_Frame":
            p = "LIN_Frame."
            for i, t in enumerate(ch["Timestamp"]):
                n = ch[p + "ReceivedDataByteCount"][i]
                print("LIN", t, *[ch[p + f][i] for f in ("BusChannel", "ID", "Dir")], n, ch[p + "DataBytes"][i][:2 * n])
print("problems", len(d["problems"]))
)";

// The finalized form of each layout in one DT block, decoded by the independent checker,
// holds exactly the kit's frames: what the sweeps expect is what the bytes say. (A list keeps
// the slots a logger reserved but never used, which the checker reports as such.)
TEST(TornRecordingKit, EachLayoutDecodesInTheIndependentCheckerAsTheKitsFrames) {
  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  for (const LoggerLayout layout : test::AllLoggerLayouts()) {
    if (test::IsListLayout(layout)) continue;
    SCOPED_TRACE(test::LayoutName(layout));
    const TornRecording recording(layout, true);
    const std::string path = dir.Write(std::string(test::LayoutName(layout)) + ".MF4", recording.Whole());
    const test::CheckResult decoded =
        test::RunCommand("'" + tool + "' --values '" + path + "' | python3 -c '" + kRows + "' 2>&1");
    ASSERT_EQ(decoded.status, 0) << decoded.output.substr(0, 2000);
    std::vector<std::string> rows;
    std::istringstream lines(decoded.output);
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back(), "problems 0");
    rows.pop_back();
    std::vector<std::string> expected;
    for (const test::LoggedFrame& frame : recording.Frames()) expected.push_back(Row(frame));
    std::sort(rows.begin(), rows.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);
  }
}

/// The record bytes of an extent, without the blocks begun inside it.
std::vector<uint8_t> RecordBytes(const TornRecording& recording, const test::FrameExtent& extent) {
  std::vector<uint8_t> bytes;
  const std::vector<uint8_t>& image = recording.Whole();
  const std::vector<test::FrameExtent> blocks = recording.BlocksBetweenRecords();
  for (uint64_t at = extent.begin; at < extent.end;) {
    const auto block = std::find_if(blocks.begin(), blocks.end(),
                                    [at](const test::FrameExtent& between) { return between.begin == at; });
    if (block != blocks.end()) {
      at = block->end;
      continue;
    }
    bytes.push_back(image.at(at++));
  }
  return bytes;
}

// Each record lies where the kit says, also where it runs on into the next block of a list:
// its id first, its own length, a payload's claimed length and bytes, a frame's time.
TEST(TornRecordingKit, EachRecordLiesWhereTheKitSaysItDoes) {
  for (const LoggerLayout layout : test::AllLoggerLayouts()) {
    SCOPED_TRACE(test::LayoutName(layout));
    const TornRecording recording(layout);
    size_t crossing = 0;
    for (const test::LoggedRecord& record : recording.Records()) {
      const std::vector<uint8_t> bytes = RecordBytes(recording, record.extent);
      ASSERT_EQ(bytes.size(), record.bytes) << "frame " << record.frame;
      crossing += record.extent.end - record.extent.begin != record.bytes;
      const test::LoggedFrame& frame = recording.Frames().at(record.frame);
      switch (record.kind) {
        case test::LoggedRecord::kCanFrame:
          EXPECT_EQ(bytes[0], test::LoggerRecordingWriter::kCanRecordId);
          EXPECT_EQ(test::ReadU64(bytes, 1), frame.can.time_us);
          break;
        case test::LoggedRecord::kPayload:
          EXPECT_EQ(bytes[0], test::LoggerRecordingWriter::kVlsdRecordId);
          EXPECT_EQ(test::Slice(bytes, 1, 4), test::Bytes().U32(static_cast<uint32_t>(frame.can.data.size())).Data());
          EXPECT_EQ(test::Slice(bytes, 5), frame.can.data);
          break;
        case test::LoggedRecord::kEntry:
          EXPECT_EQ(test::Slice(bytes, 0, 4), test::Bytes().U32(static_cast<uint32_t>(frame.can.data.size())).Data());
          EXPECT_EQ(test::Slice(bytes, 4), frame.can.data);
          break;
        case test::LoggedRecord::kLin:
          EXPECT_EQ(bytes[0], test::LoggerRecordingWriter::kLinRecordId);
          EXPECT_EQ(test::ReadU64(bytes, 1), frame.lin.time_us);
          break;
      }
    }
    // Signal data are a data block of their own before or after the records' blocks, and so
    // is each data group's DT.
    const bool split = test::IsListLayout(layout) && layout != LoggerLayout::kListAlignedRecords;
    EXPECT_EQ(crossing > 0, split) << "records cross block boundaries in a list of full blocks only";
  }
}

/// A DL block's data links and the length of a DT block, read from a file's bytes.
struct ListState {
  std::vector<int64_t> links;  // the used ones
  uint64_t first_block_length;
};

ListState ListAt(const std::vector<uint8_t>& file) {
  const int64_t data_group = test::HeaderAt(file, 64).links.at(0);
  const int64_t list = test::HeaderAt(file, data_group).links.at(2);
  ListState state{{}, 0};
  const test::BlockHeader header = test::HeaderAt(file, list);
  for (size_t i = 1; i < header.links.size() && header.links[i] != 0; ++i) state.links.push_back(header.links[i]);
  state.first_block_length = test::ReadU64(file, static_cast<size_t>(state.links.at(0)) + 8);
  return state;
}

// The tear model of a list: the new block is linked before or after its header as the layout
// says, and the full block before it gets its length when the new one is begun, or only once
// the new header is written (and linked); a block of whole records ends at a record boundary,
// the next header behind the zeros that align it. A list's file at any size is not a prefix
// of the finished file.
TEST(TornRecordingKit, AListLinksEachNewBlockWhenItsLayoutSays) {
  const struct {
    LoggerLayout layout;
    bool linked_before;
    bool closed_before;  // the full block has its length before the new header is begun
  } lists[] = {
      {LoggerLayout::kListLinkedBeforeHeader, true, true},   {LoggerLayout::kListLinkedAfterHeader, false, true},
      {LoggerLayout::kListGrowingLinkedBefore, true, false}, {LoggerLayout::kListGrowingLinkedAfter, false, false},
      {LoggerLayout::kListAlignedRecords, true, true},
  };
  for (const auto& [layout, before, closed_before] : lists) {
    SCOPED_TRACE(test::LayoutName(layout));
    const TornRecording recording(layout);
    const std::vector<uint64_t>& blocks = recording.DataBlocks();
    ASSERT_GE(blocks.size(), 3U);
    const uint64_t second = blocks[1];
    // The records of the full block: up to the second header, or with whole records up to the
    // last one that ends before it.
    const bool aligned = layout == LoggerLayout::kListAlignedRecords;
    uint64_t records_end = second;
    if (aligned) {
      records_end = 0;
      for (const test::LoggedRecord& record : recording.Records()) {
        if (record.extent.end <= second) records_end = std::max(records_end, record.extent.end);
      }
    }
    const uint64_t full_length = records_end - blocks[0];
    if (aligned) {
      EXPECT_LT(full_length, 24U + TornRecording::kListBlockDataBytes);
      EXPECT_EQ(second, (records_end + 7) / 8 * 8) << "the next header is aligned behind the records";
      EXPECT_TRUE(std::all_of(recording.Whole().begin() + static_cast<std::ptrdiff_t>(records_end),
                              recording.Whole().begin() + static_cast<std::ptrdiff_t>(second),
                              [](uint8_t byte) { return byte == 0; }));
    } else {
      EXPECT_EQ(full_length, 24U + TornRecording::kListBlockDataBytes);
    }
    const ListState full_not_closed = ListAt(recording.At(records_end - 1, false));
    EXPECT_EQ(full_not_closed.links.size(), 1U);
    EXPECT_EQ(full_not_closed.first_block_length, 24U) << "a growing block says it is empty";
    for (const uint64_t size : {second, second + 1, second + 23}) {
      const ListState torn_header = ListAt(recording.At(size, false));
      EXPECT_EQ(torn_header.links.size(), before ? 2U : 1U) << size;
      EXPECT_EQ(torn_header.first_block_length, closed_before ? full_length : 24U) << size;
    }
    const ListState whole_header = ListAt(recording.At(second + 24, false));
    EXPECT_EQ(whole_header.first_block_length, full_length);
    ASSERT_EQ(whole_header.links.size(), 2U);
    EXPECT_EQ(static_cast<uint64_t>(whole_header.links[1]), second);
    EXPECT_EQ(ListAt(recording.Whole()).links.size(), blocks.size());
    // Zero padding is zeros after the cut, nothing else.
    const std::vector<uint8_t> padded = recording.At(second + 5, true);
    EXPECT_EQ(padded.size() % TornRecording::kPaddingBoundary, 0U);
    EXPECT_EQ(test::Slice(padded, 0, second + 5), recording.At(second + 5, false));
    EXPECT_TRUE(std::all_of(padded.begin() + static_cast<std::ptrdiff_t>(second + 5), padded.end(),
                            [](uint8_t byte) { return byte == 0; }));
  }
}

/// The DT block's length, the SD block's length and the data bytes channel's data link (0:
/// none) of a recording with its payloads in signal data, read from a file's bytes.
struct SignalDataState {
  uint64_t dt_length;
  uint64_t sd_length;
  int64_t link;
};

SignalDataState SignalDataAt(const std::vector<uint8_t>& file, uint64_t dt, uint64_t sd) {
  const int64_t data_group = test::HeaderAt(file, 64).links.at(0);
  const int64_t can_group = test::HeaderAt(file, data_group).links.at(1);
  // The data bytes channel is the CAN group's last one.
  int64_t channel = test::HeaderAt(file, can_group).links.at(1);
  for (int64_t next = channel; next != 0; next = test::HeaderAt(file, next).links.at(0)) channel = next;
  return {test::ReadU64(file, dt + 8), sd + 16 <= file.size() ? test::ReadU64(file, sd + 8) : 0,
          test::HeaderAt(file, channel).links.at(5)};
}

// The tear model of signal data after the records: the DT block gets its length before the SD
// header is begun, growing; the data bytes channel links it once it is whole or as soon as its
// header is written. A CAN frame is whole only once its entry is in the file and linked; a LIN
// frame once its record is.
TEST(TornRecordingKit, SignalDataAfterTheRecordsAreLinkedWhenTheirLayoutSays) {
  for (const LoggerLayout layout : {LoggerLayout::kSignalDataAfter, LoggerLayout::kSignalDataAfterLinkedEarly}) {
    SCOPED_TRACE(test::LayoutName(layout));
    const bool early = layout == LoggerLayout::kSignalDataAfterLinkedEarly;
    const TornRecording recording(layout);
    ASSERT_EQ(recording.DataBlocks().size(), 2U);
    const uint64_t dt = recording.DataBlocks()[0];
    const uint64_t sd = recording.DataBlocks()[1];
    const uint64_t end = recording.Whole().size();
    uint64_t records_end = 0;
    uint64_t first_entry = end;
    for (const test::LoggedRecord& record : recording.Records()) {
      if (record.kind == test::LoggedRecord::kEntry) {
        first_entry = std::min(first_entry, record.extent.begin);
      } else {
        records_end = std::max(records_end, record.extent.end);
      }
    }
    EXPECT_EQ(sd, (records_end + 7) / 8 * 8);
    EXPECT_EQ(first_entry, sd + 24);

    const SignalDataState growing = SignalDataAt(recording.At(records_end - 1, false), dt, sd);
    EXPECT_EQ(growing.dt_length, 24U) << "a growing DT says it is empty";
    EXPECT_EQ(growing.link, 0);
    for (const uint64_t size : {sd, sd + 23}) {
      const SignalDataState torn_header = SignalDataAt(recording.At(size, false), dt, sd);
      EXPECT_EQ(torn_header.dt_length, records_end - dt) << size;
      EXPECT_EQ(torn_header.link, 0) << size;
    }
    for (const uint64_t size : {sd + 24, end - 1}) {
      const SignalDataState filling = SignalDataAt(recording.At(size, false), dt, sd);
      EXPECT_EQ(filling.sd_length, 24U) << size;
      EXPECT_EQ(filling.link, early ? static_cast<int64_t>(sd) : 0) << size;
    }
    const SignalDataState whole = SignalDataAt(recording.Whole(), dt, sd);
    EXPECT_EQ(whole.sd_length, end - sd);
    EXPECT_EQ(whole.link, static_cast<int64_t>(sd));

    size_t can = 0;
    size_t lin = 0;
    for (const test::LoggedFrame& frame : recording.Frames()) (frame.is_can ? can : lin) += 1;
    ASSERT_GT(can, 1U);
    EXPECT_EQ(recording.WholeAt(records_end).size(), lin) << "no payload yet";
    EXPECT_EQ(recording.WholeAt(end - 1).size(), early ? lin + can - 1 : lin);
    EXPECT_EQ(recording.WholeAt(end).size(), lin + can);
  }
}

}  // namespace
