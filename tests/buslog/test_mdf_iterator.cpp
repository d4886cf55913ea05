// The event iterator on hand-built recordings: classification by channel names, the fill of
// composed and plain layouts and of a VLSD channel group, the finishing rules, the merge
// order, default records, and records that are missing or torn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "buslog/mdf_reader.h"
#include "support/busrecords.h"
#include "support/consolelog.h"
#include "support/iteratorreading.h"
#include "support/loggerimage.h"
#include "support/streambytes.h"

namespace {

using test::Frame;
using test::ImageChannel;
using test::ImageGroup;
using test::ImageSpec;

constexpr uint64_t kStartNs = 1'600'000'000'000'000'000ULL;

ImageSpec BaseSpec() {
  ImageSpec spec;
  spec.start_ns = kStartNs;
  spec.header_comment = test::HeaderCommentWith("S", "1", "1");
  return spec;
}

// The events of the recording, as plain frames; `ok` tells whether an iterator was given,
// `damage` receives the reader's first damage after the events ("" for none).
std::vector<Frame> Events(const ImageSpec& spec, bool* ok = nullptr, std::string* damage = nullptr) {
  test::StreamPtr stream = test::MemoryStreamOf(test::BuildLoggerImage(spec));
  cMdfReader_t* reader = mdfReaderOpen(stream.get());
  EXPECT_NE(reader, nullptr);
  std::vector<Frame> frames;
  cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader);
  if (ok != nullptr) *ok = iterator != nullptr;
  for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;) {
    frames.push_back(test::FrameOf(*record));
  }
  EXPECT_EQ(mdfReaderIteratorNext(iterator), nullptr);
  mdfReaderIteratorFree(iterator);
  if (damage != nullptr) {
    const char* first = mdfReaderFirstDamage(reader);
    *damage = first != nullptr ? first : "";
  }
  mdfReaderClose(reader);
  return frames;
}

ImageChannel Plain(const std::string& name, uint32_t byte_offset, uint32_t bits = 8, uint8_t data_type = 0) {
  ImageChannel channel;
  channel.name = name;
  channel.byte_offset = byte_offset;
  channel.bit_count = bits;
  channel.data_type = data_type;
  return channel;
}

ImageChannel Master() {
  ImageChannel time = Plain("Timestamp", 0, 64);
  time.type = 2;
  time.microseconds = true;
  return time;
}

// A group of a master and one-byte channels of the names (a data channel a byte array, the
// others integers), each record 8 + names bytes.
ImageGroup NamedGroup(uint64_t record_id, uint64_t cycles, const std::vector<std::string>& names) {
  ImageGroup group;
  group.record_id = record_id;
  group.cycles = cycles;
  group.data_bytes = 8 + static_cast<uint32_t>(names.size());
  group.channels.push_back(Master());
  const std::string data = ".DataBytes";
  for (size_t i = 0; i < names.size(); ++i) {
    const bool bytes =
        names[i].size() >= data.size() && names[i].compare(names[i].size() - data.size(), data.size(), data) == 0;
    group.channels.push_back(Plain(names[i], 8 + static_cast<uint32_t>(i), 8, bytes ? 10 : 0));
  }
  return group;
}

std::vector<uint8_t> NamedRecord(uint64_t record_id, uint64_t time_us, const std::vector<uint8_t>& values) {
  std::vector<uint8_t> record;
  test::PutLe(record, record_id, 1);
  test::PutLe(record, time_us, 8);
  test::PutBytes(record, values);
  return record;
}

// The fields each CAN data frame needs, the identifier first: a group of them and its record.
const std::vector<std::string> kCanNames = {"CAN_DataFrame.ID", "CAN_DataFrame.DLC", "CAN_DataFrame.DataBytes"};

ImageGroup CanGroup(uint64_t record_id, uint64_t cycles) { return NamedGroup(record_id, cycles, kCanNames); }

std::vector<uint8_t> CanRecord(uint64_t record_id, uint64_t time_us, uint8_t id) {
  return NamedRecord(record_id, time_us, {id, 0, 0});
}

TEST(MdfIterator, ClassifiesGroupsByTheirChannelNames) {
  struct Case {
    std::vector<std::string> names;
    int32_t kind;
  };
  const Case cases[] = {
      {{"CAN_DataFrame", "CAN_DataFrame.ID", "CAN_DataFrame.DLC", "CAN_DataFrame.DataBytes"}, kBusMsgCanDataFrame},
      {{"CAN_DataFrame", "CAN_DataFrame.ID", "Other.X"}, kBusMsgUnknown},
      {{"CAN_RemoteFrame.DLC", "CAN_RemoteFrame.ID"}, kBusMsgCanRemoteFrame},
      {{"CAN_ErrorFrame.BusChannel"}, kBusMsgCanErrorFrame},
      {{"LIN_Frame.DataBytes", "LIN_Frame.ID"}, kBusMsgLinFrame},
      {{"LIN_ChecksumError.DataBytes", "LIN_ChecksumError.ID"}, kBusMsgLinChecksumError},
      {{"LIN_ReceiveError.ID"}, kBusMsgLinReceiveError},
      {{"LIN_TransmissionError.ID"}, kBusMsgLinTransmissionError},
      {{"LIN_SyncError.BusChannel"}, kBusMsgLinSyncError},
      {{"can_dataframe.ID"}, kBusMsgUnknown},
      {{"CAN_DataFrame"}, kBusMsgUnknown},  // no name with a point
      {{".ID"}, kBusMsgUnknown},            // the empty prefix names no kind
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names.back());
    ImageSpec spec = BaseSpec();
    spec.groups = {NamedGroup(1, 1, c.names)};
    spec.records = NamedRecord(1, 5, std::vector<uint8_t>(c.names.size(), 0));
    const std::vector<Frame> frames = Events(spec);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].type, c.kind);
  }
  EXPECT_EQ(cMdfReader_t::getGroupType(nullptr), kBusMsgUnknown);
}

// Records that become no events would be lost in a copy of the events: the reader counts a
// group of no known kind as damage, after the events of the groups before it.
TEST(MdfIterator, AGroupOfNoKnownKindIsDamage) {
  ImageSpec spec = BaseSpec();
  spec.groups = {CanGroup(1, 1), NamedGroup(2, 2, {"Other.X"})};
  spec.records = CanRecord(1, 5, 1);
  test::PutBytes(spec.records, NamedRecord(2, 6, {2}));
  test::PutBytes(spec.records, NamedRecord(2, 7, {3}));
  test::ConsoleLog log(kLogWarning);
  std::string damage;
  const std::vector<Frame> frames = Events(spec, nullptr, &damage);
  ASSERT_EQ(frames.size(), 3U);  // the event, then the two default records
  EXPECT_EQ(frames[0].type, kBusMsgCanDataFrame);
  EXPECT_EQ(damage, "Channel group : 2 records of no known kind of event");
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"W Channel group : 2 records of no known kind of event"}));

  // A record of no group ends the read of the data group: the library met that first.
  test::PutBytes(spec.records, NamedRecord(9, 8, {4}));
  Events(spec, nullptr, &damage);
  EXPECT_EQ(damage, "Parse of record failed. Error: No channel group found.");
  EXPECT_EQ(mdfReaderFirstDamage(nullptr), nullptr);
}

TEST(MdfIterator, FillsComposedCanFrames) {
  ImageSpec spec = BaseSpec();
  spec.groups = {test::ComposedCanGroup(1, 3)};
  const std::vector<uint8_t> eight = {1, 2, 3, 4, 5, 6, 7, 8};
  spec.records = test::ComposedCanRecord(1, 1'000'000, 0x123, 1, 8, eight, 2, 1, 1, 1, 1);
  test::PutBytes(spec.records, test::ComposedCanRecord(1, 1'500'000, 0x7FF, 0, 2, eight, 1));
  test::PutBytes(spec.records, test::ComposedCanRecord(1, 2'000'000, 0x1FFFFFFF, 1, 0, eight, 3));
  const std::vector<Frame> frames = Events(spec);
  ASSERT_EQ(frames.size(), 3U);

  EXPECT_EQ(frames[0].type, kBusMsgCanDataFrame);
  EXPECT_EQ(frames[0].time, 1'000'000'000);
  EXPECT_EQ(frames[0].channel, 2);
  EXPECT_EQ(frames[0].id, 0x80000123U);
  EXPECT_EQ(frames[0].flags.Can.IDE, 1);
  EXPECT_EQ(frames[0].flags.Can.Dir, 1);
  EXPECT_EQ(frames[0].flags.Can.EDL, 1);
  EXPECT_EQ(frames[0].flags.Can.BRS, 1);
  EXPECT_EQ(frames[0].flags.Can.ESI, 1);
  EXPECT_EQ(frames[0].flags.Can.RTR, 0);
  EXPECT_EQ(frames[0].flags.Can.DLC, 8);
  EXPECT_EQ(frames[0].data, eight);

  EXPECT_EQ(frames[1].id, 0x7FFU);
  EXPECT_EQ(frames[1].flags.Can.IDE, 0);
  EXPECT_EQ(frames[1].data, (std::vector<uint8_t>{1, 2}));  // DLC 2 keeps the first two
  EXPECT_EQ(frames[2].id, 0x9FFFFFFFU);
  EXPECT_TRUE(frames[2].data.empty());
}

TEST(MdfIterator, FillsPlainLinFramesAndErrorFrames) {
  ImageSpec spec = BaseSpec();
  spec.groups = {test::PlainLinGroup(1, 2), test::PlainErrorGroup(2, 3)};
  spec.records = test::PlainLinRecord(1, 100, 0x3C, 4, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}, 1, 1);
  test::PutBytes(spec.records, test::PlainErrorRecord(2, 150, 1, 7));
  test::PutBytes(spec.records, test::PlainLinRecord(1, 200, 0x10, 8, {0x5A}, 2, 0));
  test::PutBytes(spec.records, test::PlainErrorRecord(2, 250, 1, 5));
  test::PutBytes(spec.records, test::PlainErrorRecord(2, 300, 4, 0));
  const std::vector<Frame> frames = Events(spec);
  ASSERT_EQ(frames.size(), 5U);
  const std::vector<int32_t> kinds = {kBusMsgLinFrame, kBusMsgCanErrorFrame, kBusMsgLinFrame, kBusMsgCanErrorFrame,
                                      kBusMsgCanErrorFrame};
  for (size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(frames[i].type, kinds[i]) << i;

  EXPECT_EQ(frames[0].id, 0x3CU);
  EXPECT_EQ(frames[0].flags.Lin.Dir, 1);
  EXPECT_EQ(frames[0].flags.Lin.ReceivedDataByteCount, 4);
  EXPECT_EQ(frames[0].data, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3}));  // cut to the byte count
  EXPECT_EQ(frames[0].time, 100'000);
  EXPECT_EQ(frames[2].channel, 2);
  EXPECT_EQ(frames[2].data, (std::vector<uint8_t>{0x5A, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(frames[1].flags.Error.ErrorType, kCanErrorOther);  // 7 is no error type
  EXPECT_EQ(frames[3].flags.Error.ErrorType, kCanErrorAck);
  EXPECT_EQ(frames[4].channel, 4);
  for (const size_t i : {1, 3, 4}) EXPECT_TRUE(frames[i].data.empty());
}

// A frame is made only of fields read from bytes: a group of a known kind that lacks a
// channel its events need (or whose integer time has no conversion to seconds) gives no
// frame, in either decoding, and is damage. Fields whose 0 is a default may be left out.
TEST(MdfIterator, AGroupThatLacksAFieldItsKindNeedsGivesNoFrameAndIsDamage) {
  struct Case {
    std::vector<std::string> names;
    const char* lack;  // null: the group is whole
  };
  const Case cases[] = {
      {{"CAN_DataFrame.DLC", "CAN_DataFrame.DataBytes"}, "no channel CAN_DataFrame.ID"},
      {{"CAN_DataFrame.ID", "CAN_DataFrame.DataBytes"}, "no channel CAN_DataFrame.DLC"},
      {{"CAN_DataFrame.ID", "CAN_DataFrame.DLC"}, "no channel CAN_DataFrame.DataBytes"},
      {{"CAN_RemoteFrame.ID"}, "no channel CAN_RemoteFrame.DLC"},
      {{"LIN_Frame.ID"}, "no channel LIN_Frame.DataBytes"},
      {{"LIN_Frame.DataBytes"}, "no channel LIN_Frame.ID"},
      {{"LIN_ChecksumError.ID"}, "no channel LIN_ChecksumError.DataBytes"},
      {{"LIN_ReceiveError.BusChannel"}, "no channel LIN_ReceiveError.ID"},
      {{"LIN_TransmissionError.BusChannel"}, "no channel LIN_TransmissionError.ID"},
      {{"CAN_ErrorFrame.BusChannel"}, nullptr},
      {{"LIN_SyncError.BusChannel"}, nullptr},
      {{"CAN_DataFrame.ID", "CAN_DataFrame.DLC", "CAN_DataFrame.DataBytes", ""}, "a channel without a name"},
      {kCanNames, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names.front());
    ImageSpec spec = BaseSpec();
    spec.groups = {NamedGroup(1, 1, c.names)};
    spec.records = NamedRecord(1, 5, std::vector<uint8_t>(c.names.size(), 1));
    for (const auto decoding : {cMdfReader_t::Decoding::kFastest, cMdfReader_t::Decoding::kObservers}) {
      const test::IteratorReading read = test::ReadEvents(test::BuildLoggerImage(spec), decoding);
      if (c.lack == nullptr) {
        EXPECT_EQ(read.events.size(), 1U);
        EXPECT_EQ(read.damage, "");
        continue;
      }
      const std::string damage = std::string("Channel group : 1 records left out, as it has ") + c.lack;
      if (c.names.back().empty()) {
        EXPECT_TRUE(read.events.empty());
        EXPECT_NE(read.damage, "");  // the library's, when it met the name link first
        continue;
      }
      EXPECT_TRUE(read.events.empty());
      EXPECT_EQ(read.damage, damage);
      EXPECT_NE(std::find(read.log.begin(), read.log.end(), "W " + damage), read.log.end());
    }
  }
  // The time: a Timestamp channel, whose integer counts a conversion scales to seconds.
  ImageSpec spec = BaseSpec();
  spec.records = CanRecord(1, 5, 1);
  spec.groups = {CanGroup(1, 1)};
  spec.groups[0].channels[0].microseconds = false;
  EXPECT_EQ(test::ReadEvents(test::BuildLoggerImage(spec), cMdfReader_t::Decoding::kFastest).damage,
            "Channel group : 1 records left out, as it has no conversion of its channel Timestamp");
  spec.groups[0].channels[0].name = "Time";
  EXPECT_EQ(test::ReadEvents(test::BuildLoggerImage(spec), cMdfReader_t::Decoding::kObservers).damage,
            "Channel group : 1 records left out, as it has no channel Timestamp");
}

TEST(MdfIterator, RemoteFramesGetZeroDataOfTheirLength) {
  ImageSpec spec = BaseSpec();
  spec.groups = {NamedGroup(1, 1, {"CAN_RemoteFrame.ID", "CAN_RemoteFrame.DLC", "CAN_RemoteFrame.IDE"})};
  spec.records = NamedRecord(1, 7, {0x21, 3, 1});
  const std::vector<Frame> frames = Events(spec);
  ASSERT_EQ(frames.size(), 1U);
  EXPECT_EQ(frames[0].type, kBusMsgCanRemoteFrame);
  EXPECT_EQ(frames[0].id, 0x80000021U);
  EXPECT_EQ(frames[0].flags.Can.RTR, 1);
  EXPECT_EQ(frames[0].data, (std::vector<uint8_t>{0, 0, 0}));
}

TEST(MdfIterator, MergesGroupByGroupStably) {
  ImageSpec spec = BaseSpec();
  spec.groups = {CanGroup(1, 3), CanGroup(2, 2)};
  // The first group's own samples are out of order: a group is merged, never sorted.
  spec.records = CanRecord(1, 1'000'000, 1);
  test::PutBytes(spec.records, CanRecord(2, 2'000'000, 3));
  test::PutBytes(spec.records, CanRecord(1, 3'000'000, 2));
  test::PutBytes(spec.records, CanRecord(2, 3'000'000, 4));
  test::PutBytes(spec.records, CanRecord(1, 500'000, 5));
  const std::vector<Frame> frames = Events(spec);
  std::vector<uint32_t> ids;
  for (const Frame& frame : frames) ids.push_back(frame.id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 3, 2, 5, 4}));

  // In order: 1.0, 2.0, then 3.0 of the first group before 3.0 of the second.
  spec.records = CanRecord(1, 1'000'000, 1);
  test::PutBytes(spec.records, CanRecord(2, 2'000'000, 2));
  test::PutBytes(spec.records, CanRecord(1, 3'000'000, 3));
  test::PutBytes(spec.records, CanRecord(2, 3'000'000, 4));
  spec.groups[0].cycles = 2;
  ids.clear();
  for (const Frame& frame : Events(spec)) ids.push_back(frame.id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3, 4}));
}

// Groups each in time order, interleaved in the file, with ties within and across groups:
// the events come out as a stable sort by time that puts earlier groups first among equals.
TEST(MdfIterator, MergesOrderedGroupsLikeAStableSort) {
  ImageSpec spec = BaseSpec();
  constexpr uint64_t kGroups = 4;
  constexpr uint64_t kPerGroup = 40;
  for (uint64_t g = 0; g < kGroups; ++g) spec.groups.push_back(CanGroup(g + 1, kPerGroup));
  struct Logged {
    uint64_t time_us;
    uint64_t group;
    uint8_t id;
  };
  std::vector<Logged> logged;
  uint32_t state = 12345;
  for (uint64_t g = 0; g < kGroups; ++g) {
    uint64_t time = 0;
    for (uint64_t i = 0; i < kPerGroup; ++i) {
      state = state * 1103515245 + 12345;
      time += (state >> 16) % 3;  // steps of 0, 1 or 2 microseconds: many ties
      logged.push_back({time, g, static_cast<uint8_t>(g * kPerGroup + i)});
    }
  }
  // The records of all groups interleaved in the file.
  std::vector<size_t> next(kGroups, 0);
  for (size_t n = 0; n < logged.size(); ++n) {
    const uint64_t g = (n * 7 + n / 3) % kGroups;
    uint64_t pick = g;
    while (next[pick] == kPerGroup) pick = (pick + 1) % kGroups;
    const Logged& entry = logged[pick * kPerGroup + next[pick]++];
    test::PutBytes(spec.records, CanRecord(entry.group + 1, entry.time_us, entry.id));
  }
  std::vector<Logged> expected = logged;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Logged& a, const Logged& b) { return a.time_us < b.time_us; });
  const std::vector<Frame> frames = Events(spec);
  ASSERT_EQ(frames.size(), expected.size());
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].id, expected[i].id) << i;
}

TEST(MdfIterator, OtherGroupsLeaveDefaultRecordsAtTheEnd) {
  ImageSpec spec = BaseSpec();
  spec.groups = {CanGroup(1, 1), NamedGroup(2, 5, {"Engine.Speed"})};
  for (uint8_t i = 0; i < 5; ++i) test::PutBytes(spec.records, NamedRecord(2, i, {i}));
  test::PutBytes(spec.records, CanRecord(1, 9, 0x42));
  const std::vector<Frame> frames = Events(spec);
  ASSERT_EQ(frames.size(), 6U);
  EXPECT_EQ(frames[0].id, 0x42U);
  Frame empty;
  empty.type = kBusMsgUnknown;
  for (size_t i = 1; i < 6; ++i) EXPECT_EQ(frames[i], empty) << i;
}

TEST(MdfIterator, UnknownNamesAreReportedOnce) {
  ImageSpec spec = BaseSpec();
  std::vector<std::string> names = kCanNames;
  names.push_back("CAN_DataFrame.Extra");
  spec.groups = {NamedGroup(1, 2, names)};
  spec.records = NamedRecord(1, 1, {1, 0, 0, 9});
  test::PutBytes(spec.records, NamedRecord(1, 2, {2, 0, 0, 9}));
  test::ConsoleLog log(kLogWarning);
  EXPECT_EQ(Events(spec).size(), 2U);
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"W Unmapped key: CAN_DataFrame.Extra"}));
}

// CAN FD payloads in a VLSD channel group: the fixed record holds an offset, the payload
// follows in a record of the VLSD group, which itself yields no events.
TEST(MdfIterator, ReadsPayloadsFromAVlsdChannelGroup) {
  ImageSpec spec = BaseSpec();
  ImageGroup can = NamedGroup(1, 2, {"CAN_DataFrame.ID", "CAN_DataFrame.DLC", "CAN_DataFrame.EDL"});
  ImageChannel data = Plain("CAN_DataFrame.DataBytes", 11, 64, 10);
  data.type = 1;
  data.vlsd_group = 1;
  can.channels.push_back(data);
  can.data_bytes = 19;
  ImageGroup vlsd;
  vlsd.record_id = 2;
  vlsd.cycles = 2;
  vlsd.flags = 0x01;
  // A VLSD group whose channels carry a kind's names still yields nothing.
  vlsd.channels = {Plain("CAN_DataFrame.ID", 0)};
  spec.groups = {can, vlsd};
  const auto payload = [](uint8_t first, size_t size) {
    std::vector<uint8_t> record;
    test::PutLe(record, 2, 1);
    test::PutLe(record, size, 4);
    for (size_t i = 0; i < size; ++i) record.push_back(static_cast<uint8_t>(first + i));
    return record;
  };
  const auto fixed = [](uint64_t time_us, uint8_t id, uint8_t dlc, uint64_t offset) {
    std::vector<uint8_t> record = NamedRecord(1, time_us, {id, dlc, 1});
    test::PutLe(record, offset, 8);
    return record;
  };
  spec.records = payload(0x10, 12);
  test::PutBytes(spec.records, fixed(100, 0x11, 9, 0));
  test::PutBytes(spec.records, payload(0x40, 64));
  test::PutBytes(spec.records, fixed(200, 0x22, 15, 16));
  const std::vector<Frame> frames = Events(spec);
  ASSERT_EQ(frames.size(), 2U);
  EXPECT_EQ(frames[0].id, 0x11U);
  EXPECT_EQ(frames[0].data.size(), 12U);
  EXPECT_EQ(frames[0].data.front(), 0x10);
  EXPECT_EQ(frames[1].data.size(), 64U);
  EXPECT_EQ(frames[1].data.back(), 0x40 + 63);
}

// Records that a group declares but the data does not hold never become frames.
TEST(MdfIterator, MissingAndTornRecordsGiveNoFrames) {
  const auto records = [](size_t count) {
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < count; ++i)
      test::PutBytes(stream, CanRecord(1, 1000 * (i + 1), static_cast<uint8_t>(i + 1)));
    return stream;
  };
  {  // a stale cycle count
    ImageSpec spec = BaseSpec();
    spec.groups = {CanGroup(1, 5)};
    spec.records = records(3);
    test::ConsoleLog log(kLogWarning);
    std::string damage;
    const std::vector<Frame> frames = Events(spec, nullptr, &damage);
    ASSERT_EQ(frames.size(), 3U);
    for (const Frame& frame : frames) EXPECT_NE(frame.id, 0U);
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{"W Channel group : 3 of 5 records read"}));
    EXPECT_EQ(damage, "Records differ from the cycle count. Group: , Record ID: 1, Cycle count: 5, Records: 3");
  }
  for (size_t cut = 1; cut < 10; ++cut) {  // an unfinalized recording whose last record is torn
    SCOPED_TRACE(cut);
    ImageSpec spec = BaseSpec();
    spec.file_id = "UnFinMF ";
    spec.unfinalized_flags = 0x05;  // cycle counts and the last DT's length are stale
    spec.groups = {CanGroup(1, 0)};
    spec.records = records(4);
    spec.records.resize(spec.records.size() - cut);
    spec.dt_length = 24;
    test::ConsoleLog log(kLogError);
    std::string damage;
    const std::vector<Frame> frames = Events(spec, nullptr, &damage);
    EXPECT_EQ(damage, "") << "the end of a recording is no damage";
    ASSERT_EQ(frames.size(), 3U);
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].id, i + 1);
      EXPECT_EQ(frames[i].time, static_cast<int64_t>(i + 1) * 1'000'000);
    }
  }
}

// A float master in seconds: a time that is no number is taken as the file start.
TEST(MdfIterator, TimesThatAreNoNumberAreTheFileStart) {
  ImageSpec spec = BaseSpec();
  ImageGroup group = CanGroup(1, 2);
  group.channels[0].data_type = 4;  // IEEE double, no conversion
  group.channels[0].microseconds = false;
  spec.groups = {group};
  const auto record = [](double seconds, uint8_t id) {
    uint64_t bits = 0;
    std::memcpy(&bits, &seconds, sizeof bits);
    return CanRecord(1, bits, id);
  };
  spec.records = record(std::nan(""), 1);
  test::PutBytes(spec.records, record(0.5, 2));
  test::ConsoleLog log(kLogWarning);
  const std::vector<Frame> frames = Events(spec);
  ASSERT_EQ(frames.size(), 2U);
  EXPECT_EQ(frames[0].time, 0);
  EXPECT_EQ(frames[1].time, 500'000'000);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"W Channel group : 1 records without a valid time, taken as the file start"}));
}

TEST(MdfIterator, HandlesWithoutReaderOrIterator) {
  EXPECT_EQ(mdfReaderGetIterator(nullptr), nullptr);
  EXPECT_EQ(mdfReaderIteratorNext(nullptr), nullptr);
  mdfReaderIteratorFree(nullptr);
}

}  // namespace
