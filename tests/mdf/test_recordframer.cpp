// Framing a record stream handed over in pieces, and the same damaged record streams read
// and counted through every path and block layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cg4block.h"
#include "damage.h"
#include "datablock.h"
#include "dg4block.h"
#include "mdf/isampleobserver.h"
#include "recordframer.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

namespace {

using mdf::MdfLogSeverity;
using mdf::detail::Damage;
using mdf::detail::FrameStep;
using mdf::detail::RecordFramer;
using mdf::detail::RecordLayout;
using test::Bytes;

// Collects what the framer reports: the payload of wanted ids, the counts of all.
struct Collector {
  std::set<uint64_t> wanted;
  std::map<size_t, uint64_t> records;
  std::map<size_t, uint64_t> bytes;
  std::vector<std::vector<uint8_t>> payloads;
  size_t pause_after = 0;

  bool Wants(size_t, uint64_t record_id) const { return wanted.count(record_id) > 0; }
  FrameStep OnRecord(size_t group, uint64_t, const uint8_t* payload, uint64_t size) {
    payloads.emplace_back(payload, payload + size);
    return Count(group, size);
  }
  FrameStep OnSkipped(size_t group, uint64_t, uint64_t size) { return Count(group, size); }
  FrameStep Count(size_t group, uint64_t size) {
    ++records[group];
    bytes[group] += size;
    return pause_after != 0 && records[group] == pause_after ? FrameStep::kPause : FrameStep::kContinue;
  }
};

// Feeds the stream in pieces of the given size, telling the framer what follows each.
void Feed(RecordFramer& framer, Collector& sink, const std::vector<uint8_t>& stream, size_t piece) {
  for (size_t at = 0; at < stream.size() && !framer.Ended(); at += piece) {
    const size_t size = std::min(piece, stream.size() - at);
    size_t used = 0;
    while (used < size && !framer.Ended()) {
      used += framer.Feed(stream.data() + at + used, size - used, stream.size() - at - size, sink);
    }
  }
  framer.Finish();
}

TEST(RecordFramer, CountsFixedAndVlsdRecordsAcrossPieces) {
  // Id 1: 3 bytes; id 2: VLSD. Records: 1, 2 (len 5), 1, 2 (len 0), then half a record 1.
  const std::vector<uint8_t> stream =
      Bytes().U8(1).Raw("abc").U8(2).U32(5).Raw("hello").U8(1).Raw("xyz").U8(2).U32(0).U8(1).Raw("q");
  for (const size_t piece : {size_t{1}, size_t{2}, size_t{7}, stream.size()}) {
    RecordFramer framer(1, {{1, 3, false}, {2, 0, true}});
    Collector sink;
    sink.wanted = {2};
    Feed(framer, sink, stream, piece);
    EXPECT_EQ(framer.DamageFound(), Damage::kTruncatedRecord) << piece << ": the cut record ends the stream";
    ASSERT_EQ(sink.records.size(), 2U) << piece;
    EXPECT_EQ(sink.records.at(0), 2U) << piece;  // The cut record is not counted.
    EXPECT_EQ(sink.bytes.at(0), 6U);
    EXPECT_EQ(sink.records.at(1), 2U);
    EXPECT_EQ(sink.bytes.at(1) + 4 * sink.records.at(1), 4U + 5U + 4U) << "value bytes and a length each";
    EXPECT_EQ(sink.payloads, (std::vector<std::vector<uint8_t>>{{'h', 'e', 'l', 'l', 'o'}, {}})) << piece;
  }
}

TEST(RecordFramer, UnknownRecordIdStopsTheCount) {
  RecordFramer framer(2, {{1, 1, false}, {2, 1, false}});
  Collector sink;
  Feed(framer, sink, Bytes().U16(1).U8(0).U16(7).U8(0).U16(2).U8(0), 4);
  EXPECT_TRUE(framer.Damaged());
  EXPECT_EQ(framer.DamageFound(), Damage::kUnknownRecordId);
  EXPECT_EQ(framer.DamagedRecordId(), 7U);
  EXPECT_EQ(sink.records.at(0), 1U);
  EXPECT_EQ(sink.records.count(1), 0U);
  EXPECT_EQ(DamageText(Damage::kUnknownRecordId, mdf::detail::RecordPath::kCounting, 7, 2),
            "Failed to find the CG block. Record ID: 7");
}

TEST(RecordFramer, SingleGroupTakesEveryRecord) {
  RecordFramer framer(1, {{5, 2, false}});
  Collector sink;
  Feed(framer, sink, Bytes().U8(0).U16(1).U8(9).U16(2), 3);
  EXPECT_EQ(sink.records.at(0), 2U);
  EXPECT_FALSE(framer.Damaged());

  RecordFramer no_ids(0, {{0, 4, false}});
  Collector all;
  Feed(no_ids, all, Bytes().U32(1).U32(2).U32(3), 5);
  EXPECT_EQ(all.records.at(0), 3U);
}

TEST(RecordFramer, RefusesLayoutsItCannotCount) {
  RecordFramer empty_records(0, {{0, 0, false}});  // Would never make progress.
  Collector empty;
  Feed(empty_records, empty, Bytes().U32(1), 1);
  EXPECT_EQ(empty_records.DamageFound(), Damage::kEmptyRecord);
  EXPECT_TRUE(empty.records.empty());

  RecordFramer odd_id_size(3, {{1, 1, false}});
  Collector odd;
  Feed(odd_id_size, odd, Bytes().U32(1), 1);
  EXPECT_EQ(odd_id_size.DamageFound(), Damage::kInvalidRecordIdSize);
  EXPECT_TRUE(odd.records.empty());

  // Two groups without record ids: nothing tells their records apart, so none is framed
  // (taking them all for the first group's would invent its samples).
  RecordFramer no_ids(0, {{3, 2, false}, {4, 8, false}});
  Collector none;
  Feed(no_ids, none, Bytes().U16(1).U16(2).U16(3), 2);
  EXPECT_EQ(no_ids.DamageFound(), Damage::kMissingRecordIds);
  EXPECT_TRUE(none.records.empty());

  RecordFramer no_data(3, {{1, 1, false}});
  no_data.Finish();
  EXPECT_FALSE(no_data.Damaged()) << "nothing to frame is no damage";
}

TEST(RecordFramer, FirstGroupWithAnIdFramesItsRecords) {
  RecordFramer framer(1, {{1, 1, false}, {1, 5, false}, {300, 2, false}, {300, 9, false}, {2, 1, false}});
  EXPECT_TRUE(framer.Frames(0));
  EXPECT_FALSE(framer.Frames(1));
  EXPECT_FALSE(framer.Frames(3));
  EXPECT_TRUE(framer.Frames(4));
  Collector sink;
  Feed(framer, sink, Bytes().U8(1).U8(0).U8(2).U8(0).U8(1).U8(0), 2);
  EXPECT_EQ(sink.records, (std::map<size_t, uint64_t>{{0, 2}, {4, 1}}));
}

TEST(RecordFramer, LengthBeyondTheStreamIsDamageBeforeGathering) {
  RecordFramer framer(0, {{0, 0, true}});
  Collector sink;
  sink.wanted = {0};
  const auto stream = Bytes().U32(1).Raw("x").U32(0xFFFFFFF0).Raw("yz").Data();
  EXPECT_EQ(framer.Feed(stream.data(), 9, stream.size() - 9, sink), 9U);
  EXPECT_TRUE(framer.Damaged()) << "the length cannot be met by the 2 bytes that follow";
  EXPECT_EQ(framer.DamageFound(), Damage::kTruncatedRecord);
  EXPECT_EQ(sink.payloads, (std::vector<std::vector<uint8_t>>{{'x'}}));
}

TEST(RecordFramer, PauseAndPendingSkip) {
  RecordFramer framer(1, {{1, 2, false}, {2, 10, false}});
  Collector sink;
  sink.pause_after = 1;
  const auto stream = Bytes().U8(1).U16(7).U8(1).U16(8).U8(2).Zeros(4).Data();
  // The stream continues after the piece with the 6 bytes the skipped record still needs.
  size_t used = framer.Feed(stream.data(), stream.size(), 6, sink);
  EXPECT_EQ(used, 3U) << "paused after the first record of group 1";
  EXPECT_TRUE(framer.Paused());
  used += framer.Feed(stream.data() + used, stream.size() - used, 6, sink);
  EXPECT_EQ(used, stream.size());
  EXPECT_EQ(framer.PendingSkip(), 6U);
  EXPECT_EQ(sink.records.count(1), 0U) << "a record is reported once all of it has passed";
  EXPECT_EQ(framer.Skipped(6, sink), FrameStep::kPause);
  EXPECT_EQ(sink.records.at(1), 1U);
  framer.Finish();
  EXPECT_FALSE(framer.Damaged());
}

// ---- The same damaged records through every path ----

class Recorder : public mdf::ISampleObserver {
 public:
  explicit Recorder(mdf::IDataGroup& group) : ISampleObserver(group) {
    DoOnSample = [this](uint64_t, uint64_t record_id, const std::vector<uint8_t>&) {
      ++received[record_id];
      return true;
    };
  }
  std::map<uint64_t, uint64_t> received;
};

enum class Layout { kOneDt, kListOfDts, kOneDz, kListOfDtAndDz };

// Data group at 64 with channel groups 1 (2 bytes) and 2 (VLSD), stored counts 9 and 9,
// over the record stream in the layout.
test::FileImage Image(Layout layout, const std::vector<uint8_t>& stream, uint8_t id_size = 1) {
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, id_size));
  image.Place(128, test::CgBlock(test::CgFields().Next(232).Id(1).Cycles(9).DataBytes(2)));
  image.Place(232, test::CgBlock(test::CgFields().Id(2).Cycles(9).Flags(1)));
  const size_t half = stream.size() / 2;
  const std::vector<uint8_t> head(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(half));
  const std::vector<uint8_t> tail(stream.begin() + static_cast<std::ptrdiff_t>(half), stream.end());
  switch (layout) {
    case Layout::kOneDt:
      image.Place(1024, test::PlainBlock("##DT", stream));
      break;
    case Layout::kOneDz:
      image.Place(1024, test::ZippedBlock("DT", 0, 0, stream.size(), test::Deflated(stream)));
      break;
    case Layout::kListOfDts:
    case Layout::kListOfDtAndDz:
      image.Place(1024, test::DataList(0, {2048, 4096}, {0, half}));
      image.Place(2048, test::PlainBlock("##DT", head));
      image.Place(4096, layout == Layout::kListOfDts
                            ? test::PlainBlock("##DT", tail)
                            : test::ZippedBlock("DT", 0, 0, tail.size(), test::Deflated(tail)));
      break;
  }
  return image;
}

struct DamageCase {
  const char* name;
  std::vector<uint8_t> stream;
  uint8_t id_size;
  Damage damage;
  uint64_t group1;  // records before the damage
  uint64_t group2;
};

std::vector<DamageCase> DamageCases() {
  const auto good = Bytes().U8(1).U16(1).U8(2).U32(3).Raw("abc").U8(1).U16(2).U8(2).U32(1).Raw("d");
  return {
      {"unknown record id", Bytes(good).U8(7).U16(0).U8(1).U16(3).Data(), 1, Damage::kUnknownRecordId, 2, 2},
      {"truncated record", Bytes(good).U8(2).U32(40).Raw("ef").Data(), 1, Damage::kTruncatedRecord, 2, 2},
      {"truncated length", Bytes(good).U8(2).U16(0).Data(), 1, Damage::kTruncatedRecord, 2, 2},
      {"invalid record id size", good.Data(), 3, Damage::kInvalidRecordIdSize, 0, 0},
      {"missing record ids", good.Data(), 0, Damage::kMissingRecordIds, 0, 0},
  };
}

TEST(RecordDamage, SameOutcomeOnEveryPathAndLayout) {
  for (const DamageCase& damage : DamageCases()) {
    for (const Layout layout : {Layout::kOneDt, Layout::kListOfDts, Layout::kOneDz, Layout::kListOfDtAndDz}) {
      SCOPED_TRACE(std::string(damage.name) + ", layout " + std::to_string(static_cast<int>(layout)));
      const test::FileImage image = Image(layout, damage.stream, damage.id_size);
      {  // Reading: the records before the damage reach the observers, the read ends.
        test::LoadedGroup file(image);
        Recorder recorder(file.group);
        test::LogCapture log;
        file.group.ReadData(file.buffer);
        EXPECT_EQ(recorder.received[1], damage.group1);
        EXPECT_EQ(recorder.received[2], damage.group2);
        const auto outcome = OutcomeOf(damage.damage, mdf::detail::RecordPath::kReading);
        ASSERT_EQ(log.entries.size(), 1U);
        EXPECT_EQ(log.entries[0].severity, outcome.severity);
        EXPECT_EQ(log.entries[0].text.rfind("Parse of record failed. Error: ", 0), 0U);
      }
      {  // Counting: the counts are set from the records before the damage.
        test::LoadedGroup file(image);
        std::vector<mdf::detail::DataBlock*> blocks;
        file.group.CollectDataBlocks(blocks);
        test::LogCapture log;
        const bool result = file.group.CountRecords(file.buffer, blocks, true, true);
        const auto outcome = OutcomeOf(damage.damage, mdf::detail::RecordPath::kCounting);
        EXPECT_EQ(result, !outcome.fails);
        ASSERT_EQ(log.entries.size(), 1U);
        EXPECT_EQ(log.entries[0].severity, outcome.severity);
        EXPECT_EQ(log.entries[0].location.function, "FinalizeCgAndVlsdBlocks");
        EXPECT_EQ(file.Cg(0).NofSamples(), outcome.keeps_data ? damage.group1 : 9U);
        EXPECT_EQ(file.Cg(1).NofSamples(), outcome.keeps_data ? damage.group2 : 9U);
        if (layout == Layout::kOneDt) {
          // The data group's own step counts a single DT block the same way.
          test::LoadedGroup again(image);
          test::LogCapture again_log;
          EXPECT_EQ(again.CountRecords(true, true), result);
          EXPECT_EQ(again.Cg(0).NofSamples(), file.Cg(0).NofSamples());
          ASSERT_EQ(again_log.entries.size(), 1U);
          EXPECT_EQ(again_log.entries[0].text, log.entries[0].text);
        }
      }
    }
  }
}

TEST(RecordDamage, EmptyRecordsAreRefusedOnEveryPath) {
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().Id(0).Cycles(5)));
  image.Place(1024, test::PlainBlock("##DT", Bytes().U32(1).Data()));
  test::LoadedGroup reading(image);
  Recorder recorder(reading.group);
  test::LogCapture log;
  reading.group.ReadData(reading.buffer);  // returns: no endless loop
  EXPECT_TRUE(recorder.received.empty());
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: Empty record without record id"));

  test::LoadedGroup counting(image);
  log.entries.clear();
  EXPECT_FALSE(counting.CountRecords(true, false));
  EXPECT_EQ(counting.Cg(0).NofSamples(), 5U) << "the stored count stays";
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].severity, MdfLogSeverity::kError);
}

// Counting sets the counts: a stale stored count is replaced, never added to.
TEST(RecordDamage, CountsAreSetWhateverWasStored) {
  const auto stream = Bytes().U8(1).U16(1).U8(2).U32(3).Raw("abc").U8(1).U16(2).Data();
  for (const Layout layout : {Layout::kOneDt, Layout::kListOfDts, Layout::kOneDz, Layout::kListOfDtAndDz}) {
    test::LoadedGroup file(Image(layout, stream));
    std::vector<mdf::detail::DataBlock*> blocks;
    file.group.CollectDataBlocks(blocks);
    EXPECT_TRUE(file.group.CountRecords(file.buffer, blocks, true, true));
    EXPECT_EQ(file.Cg(0).NofSamples(), 2U);
    EXPECT_EQ(file.Cg(1).NofSamples(), 1U);
    EXPECT_EQ(file.Cg(1).NofDataBytes(), 3U) << "the value bytes of the VLSD group";
    EXPECT_EQ(file.Cg(0).NofDataBytes(), 2U) << "a fixed group keeps its record size";
  }
}

}  // namespace
