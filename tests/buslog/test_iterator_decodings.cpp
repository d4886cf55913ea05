// The iterator's two decodings of a data group, straight from the records and through one
// channel observer per channel, give the same events in the same order and the same log
// lines, for the logger's own layouts and for damaged or unusual ones; the unusual layouts go
// through the observers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "buslog/mdf_reader.h"
#include "support/iteratorreading.h"
#include "support/loggerfile.h"
#include "support/loggerimage.h"

namespace {

using test::ImageGroup;
using test::ImageSpec;
using Decoding = cMdfReader_t::Decoding;

using Reading = test::IteratorReading;

Reading Read(const std::vector<uint8_t>& image, Decoding decoding) { return test::ReadEvents(image, decoding); }

// The two decodings of the image give the same events and lines; false (with failures) when not.
bool SameReadings(const std::vector<uint8_t>& image) {
  const Reading observed = test::ReadEvents(image, Decoding::kObservers, false);
  const Reading fast = test::ReadEvents(image, Decoding::kFastest, false);
  EXPECT_EQ(fast.iterator, observed.iterator);
  EXPECT_EQ(fast.log, observed.log);
  EXPECT_EQ(fast.events, observed.events);
  EXPECT_EQ(fast.damage, observed.damage);
  return fast.iterator == observed.iterator && fast.log == observed.log && fast.events == observed.events &&
         fast.damage == observed.damage;
}

// Both decodings agree event by event; returns the fast reading.
Reading ExpectSameEvents(const ImageSpec& spec, uint64_t fast_groups) {
  const std::vector<uint8_t> image = test::BuildLoggerImage(spec);
  const Reading observed = Read(image, Decoding::kObservers);
  const Reading fast = Read(image, Decoding::kFastest);
  EXPECT_EQ(observed.fast_groups, 0U);
  EXPECT_EQ(fast.fast_groups, fast_groups) << "the data group's decoding";
  EXPECT_EQ(fast.iterator, observed.iterator);
  EXPECT_EQ(fast.log, observed.log);
  EXPECT_EQ(fast.damage, observed.damage);
  EXPECT_EQ(fast.events.size(), observed.events.size());
  for (size_t i = 0; i < std::min(fast.events.size(), observed.events.size()); ++i) {
    EXPECT_EQ(fast.events[i], observed.events[i]) << "event " << i;
    if (!(fast.events[i] == observed.events[i])) break;
  }
  return fast;
}

// How the times of a recording step from record to record.
enum class Times {
  kRising,     // every record later than the one before
  kTies,       // steps of 0 too: equal times within and across groups
  kUnordered,  // now and then a step back
};

struct Recording {
  std::vector<uint8_t> records;
  std::vector<uint64_t> counts = std::vector<uint64_t>(10, 0);
};

// A mix of every kind, with values that exercise every fill and finishing rule: extended
// identifiers, DLCs above 8 on classic events, CAN FD payloads longer than their DLC gives
// (also longer than any frame), LIN byte counts below 8, error types above 5.
Recording MakeRecording(size_t records, Times times, uint32_t seed = 0x2545F491) {
  Recording out;
  std::vector<uint8_t>& stream = out.records;
  uint32_t state = seed;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  const auto put = [&stream](uint64_t value, int width) { test::PutLe(stream, value, width); };
  uint64_t time = 1000;
  for (size_t n = 0; n < records; ++n) {
    const uint32_t draw = next();
    switch (times) {
      case Times::kRising:
        time += 1 + (draw >> 28);
        break;
      case Times::kTies:
        time += (draw >> 29) % 3;
        break;
      case Times::kUnordered:
        time = (draw >> 27) == 0 && time > 500 ? time - 500 : time + 1 + (draw >> 28);
        break;
    }
    const auto record = [&](uint64_t id) {
      put(id, 1);
      put(time, 8);
      ++out.counts[id - 1];
    };
    const uint32_t kind = draw % 100;
    const uint32_t can_id = draw >> 3 & 0x1FFFFFFF;
    if (kind < 25) {  // classic CAN; any DLC, 8 logged bytes: EDL only where they hold the DLC's
      record(1);
      put(1 + (draw & 3), 1);
      const uint32_t dlc = (draw >> 7) & 0xF;
      put(can_id | (draw & 0x60000000) | (dlc <= 8 ? draw & 0x80000000 : 0), 4);  // IDE, Dir, EDL at the top
      put(dlc << 4 | (draw >> 11 & 3), 1);
      put(8, 1);
      put(uint64_t{draw} * 0x9E3779B97F4A7C15ULL, 8);
    } else if (kind < 50) {  // CAN FD: the payload first, in the VLSD group
      const uint32_t dlc = (draw >> 5) & 0xF;
      const uint32_t length = std::max(canDlcToLength(static_cast<uint8_t>(dlc)), (draw >> 9) % 70);
      put(3, 1);
      put(length, 4);
      for (uint32_t i = 0; i < length; ++i) put(((draw >> (i % 24)) + i) & 0xFF, 1);
      ++out.counts[2];
      record(2);
      put(1 + (draw & 3), 1);
      put(can_id | 0x80000000, 4);
      put(0x01 | (dlc << 4), 1);
      put(length, 1);
      put(0, 8);
    } else if (kind < 65) {  // LIN frame, byte counts up to 8
      record(6);
      put(1, 1);
      put(draw >> 10 & 0xBF, 1);
      put(((draw >> 20) % 9) | 0x80, 1);
      put(uint64_t{draw} * 0x2545F4914F6CDD1DULL, 8);
    } else if (kind < 75) {
      record(4);  // remote frame
      put(2, 1);
      put(can_id | (draw & 0x20000000), 4);
      put(draw >> 12 & 0xF, 1);
      put(8, 1);
    } else if (kind < 85) {
      record(5);  // error frame, error types 0 to 7
      put(1, 1);
      put(draw >> 12 & 7, 1);
    } else if (kind < 92) {
      record(7);  // LIN checksum error
      put(1, 1);
      put(draw >> 10 & 0xBF, 1);
      put(((draw >> 16) % 9) | 0x80, 1);
      put(draw >> 16 & 0xFF, 1);
      put(uint64_t{draw} * 0x2545F4914F6CDD1DULL, 8);
    } else {
      record(8 + kind % 3);  // LIN receive, sync and transmission errors
      put(1, 1);
      put(draw >> 10 & 0x3F, 1);
    }
  }
  return out;
}

ImageSpec LoggerSpec(const Recording& recording) {
  ImageSpec spec;
  spec.header_comment = test::HeaderCommentWith("S", "1", "1");
  spec.groups = test::LoggerLayoutGroups();
  for (size_t i = 0; i < spec.groups.size(); ++i) spec.groups[i].cycles = recording.counts[i];
  spec.records = recording.records;
  return spec;
}

TEST(IteratorDecodings, AgreeOnTheLoggerLayoutInEveryOrder) {
  for (const Times times : {Times::kRising, Times::kTies, Times::kUnordered}) {
    SCOPED_TRACE(static_cast<int>(times));
    const Recording recording = MakeRecording(3000, times);
    const Reading fast = ExpectSameEvents(LoggerSpec(recording), 1);
    ASSERT_EQ(fast.events.size(), 3000U) << "one event per frame; the payloads are none";
    if (times != Times::kUnordered) {
      for (size_t i = 1; i < fast.events.size(); ++i) ASSERT_LE(fast.events[i - 1].time, fast.events[i].time) << i;
    }
  }
}

TEST(IteratorDecodings, AgreeOnCountsThatDifferFromTheData) {
  Recording recording = MakeRecording(400, Times::kTies);
  ImageSpec spec = LoggerSpec(recording);
  spec.groups[0].cycles += 3;  // a stale count: records missing
  spec.groups[4].cycles -= 2;  // records beyond the count are not events
  spec.groups[2].cycles -= 5;  // the last CAN FD events find no payload
  const Reading fast = ExpectSameEvents(spec, 1);
  EXPECT_FALSE(fast.log.empty());
  EXPECT_EQ(fast.damage.rfind("Records differ from the cycle count. Group: ", 0), 0U) << fast.damage;
}

TEST(IteratorDecodings, AgreeOnATornLastRecord) {
  const Recording recording = MakeRecording(300, Times::kRising);
  for (size_t cut = 1; cut < 24; cut += 3) {
    SCOPED_TRACE(cut);
    ImageSpec spec = LoggerSpec(recording);
    spec.file_id = "UnFinMF ";
    spec.unfinalized_flags = 0x05;  // cycle counts and the last DT's length are stale
    for (ImageGroup& group : spec.groups) group.cycles = 0;
    spec.records.resize(spec.records.size() - cut);
    spec.dt_length = 24;
    ExpectSameEvents(spec, 1);
  }
}

// Payloads that follow their frame, and an event whose payload never comes: in a finalized
// recording that is damage, and the event, which has no data to give, is left out.
TEST(IteratorDecodings, AgreeOnPayloadsLateAndMissing) {
  ImageSpec spec = LoggerSpec(Recording{});
  const auto frame = [&spec](uint64_t time, uint8_t dlc) {
    test::PutLe(spec.records, 2, 1);
    test::PutLe(spec.records, time, 8);
    test::PutBytes(spec.records, {1, 0x23, 0x01, 0, 0x80, static_cast<uint8_t>(0x01 | dlc << 4), 64});
    test::PutLe(spec.records, 0, 8);
  };
  const auto payload = [&spec](size_t size) {
    test::PutLe(spec.records, 3, 1);
    test::PutLe(spec.records, size, 4);
    for (size_t i = 0; i < size; ++i) spec.records.push_back(static_cast<uint8_t>(0x30 + i));
  };
  frame(10, 15);
  frame(20, 9);
  payload(64);
  payload(12);
  frame(30, 13);
  payload(40);
  frame(40, 15);
  spec.groups[1].cycles = 4;
  spec.groups[2].cycles = 3;
  const Reading fast = ExpectSameEvents(spec, 1);
  ASSERT_EQ(fast.events.size(), 3U);
  EXPECT_EQ(fast.events[1].data,
            (std::vector<uint8_t>{0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B}));
  EXPECT_EQ(fast.events[2].data.size(), 32U) << "a payload longer than its DLC gives is cut";
  EXPECT_EQ(fast.damage.find(": 1 frames without their payload"), fast.damage.size() - 32) << fast.damage;
}

// The torn end of a recording whose payloads follow or precede their frames: a frame whose
// payload the end left out, and a payload whose frame it left out, are no events; what a torn
// payload claims is judged against its frame (when that came first) and against 64 bytes, also
// where no frame of its group came before it. Anything else is damage. Both decodings agree.
// A CAN FD frame record of ID 0x123 with its DLC byte (and flags) and its data length field.
void PutCanFdFrame(std::vector<uint8_t>& records, uint64_t time, uint8_t dlc_byte, uint8_t data_length) {
  test::PutLe(records, 2, 1);
  test::PutLe(records, time, 8);
  test::PutBytes(records, {1, 0x23, 0x01, 0, 0x80, dlc_byte, data_length});
  test::PutLe(records, 0, 8);
}

// A payload record that claims `claimed` bytes, of which `size` follow: `first`, `first` + 1, ...
void PutPayload(std::vector<uint8_t>& records, uint32_t claimed, size_t size, uint8_t first) {
  test::PutLe(records, 3, 1);
  test::PutLe(records, claimed, 4);
  for (size_t i = 0; i < size; ++i) records.push_back(static_cast<uint8_t>(first + i));
}

// A CAN error frame record of the error type.
void PutErrorFrame(std::vector<uint8_t>& records, uint64_t time, uint8_t type) {
  test::PutLe(records, 5, 1);
  test::PutLe(records, time, 8);
  test::PutBytes(records, {1, type});
}

TEST(IteratorDecodings, AgreeOnTornEndsBetweenFramesAndPayloads) {
  struct Case {
    const char* name;
    std::vector<uint8_t> records;
    size_t events;
    const char* damage;  // the end of the damage text; null: none
  };
  // A CAN FD frame of DLC 9 (12 bytes) with its data length field, and a payload that claims
  // `claimed` bytes of which `size` are in the file.
  const auto frame = [](std::vector<uint8_t> records, uint64_t time, uint8_t data_length = 12) {
    test::PutLe(records, 2, 1);
    test::PutLe(records, time, 8);
    test::PutBytes(records, {1, 0x23, 0x01, 0, 0x80, 0x91, data_length});
    test::PutLe(records, 0, 8);
    return records;
  };
  const auto payload = [](std::vector<uint8_t> records, uint32_t claimed, size_t size) {
    test::PutLe(records, 3, 1);
    test::PutLe(records, claimed, 4);
    for (size_t i = 0; i < size; ++i) records.push_back(static_cast<uint8_t>(0x40 + i));
    return records;
  };
  const auto error_frame = [](std::vector<uint8_t> records, uint64_t time) {
    test::PutLe(records, 5, 1);
    test::PutLe(records, time, 8);
    test::PutBytes(records, {1, 2});
    return records;
  };
  const std::vector<uint8_t> after = payload(frame({}, 10), 12, 12);   // payloads after their frames
  const std::vector<uint8_t> before = frame(payload({}, 12, 12), 10);  // and before
  const Case cases[] = {
      {"torn between a frame and its payload", frame(after, 20), 1, nullptr},
      {"a torn payload its frame holds", payload(frame(after, 20), 12, 5), 1, nullptr},
      {"a torn payload longer than its frame", payload(frame(after, 20), 13, 5), 1,
       ": 1 payloads longer than their frames hold"},
      {"torn between a payload and its frame", payload(before, 12, 12), 1, nullptr},
      {"a torn payload a frame can hold", payload(before, 64, 30), 1, nullptr},
      {"a torn payload longer than any frame", payload(before, 65, 30), 1,
       ": 1 payloads longer than their frames hold"},
      {"a frame without its payload before the end", error_frame(frame(after, 20), 30), 2,
       ": 1 frames without their payload"},
      {"two frames without their payloads", frame(frame(after, 20), 30), 1, ": 2 frames without their payload"},
      {"two payloads without their frames", payload(payload(before, 12, 12), 12, 12), 1,
       ": 2 payloads that no frame claims"},
      {"a payload without its frame before the end", error_frame(payload(before, 12, 12), 30), 2,
       ": 1 payloads that no frame claims"},
      // The group's first payload, before any frame of it: its claim is judged the same way.
      {"a first payload torn, as long as a frame can hold", payload({}, 64, 30), 0, nullptr},
      {"a first payload torn, longer than any frame", payload({}, 65535, 30), 0,
       ": 1 payloads longer than their frames hold"},
      {"a first payload after an error frame, longer than any frame", payload(error_frame({}, 5), 65, 30), 1,
       ": 1 payloads longer than their frames hold"},
      {"a first payload whose claim ends where the file does", payload({}, 100, 100), 0,
       ": 1 payloads that no frame claims"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSpec spec = LoggerSpec(Recording{});
    spec.file_id = "UnFinMF ";
    spec.unfinalized_flags = 0x05;  // cycle counts and the last DT's length are stale
    spec.dt_length = 24;
    spec.records = c.records;
    const Reading fast = ExpectSameEvents(spec, 1);
    EXPECT_EQ(fast.events.size(), c.events);
    if (c.damage == nullptr) {
      EXPECT_EQ(fast.damage, "");
    } else {
      const std::string damage = c.damage;
      EXPECT_GE(fast.damage.size(), damage.size());
      EXPECT_EQ(fast.damage.rfind(damage), fast.damage.size() - damage.size()) << fast.damage;
    }
    for (const auto& event : fast.events) {
      if (event.type == kBusMsgCanDataFrame) {
        EXPECT_EQ(event.data.size(), 12U);
        EXPECT_EQ(event.data[0], 0x40) << "the payload's bytes";
      }
    }
  }
}

// A payload whose length claims more than any frame carries frames the records after it where
// that length put them. Where they end in a second such claim, cut by the end of an unfinalized
// recording, that framing is none: its records give no frame, those before the lie stay. Where
// they frame on to a clean end, the length took whole records, and they stay.
TEST(IteratorDecodings, AgreeThatRecordsFramedAfterALyingPayloadLengthGiveNoFrame) {
  const auto frame = [](std::vector<uint8_t>& records, uint64_t time) { PutCanFdFrame(records, time, 0x91, 12); };
  const auto payload = [](std::vector<uint8_t>& records, uint32_t claimed, size_t size) {
    PutPayload(records, claimed, size, 0x40);
  };
  const auto error_frame = [](std::vector<uint8_t>& records, uint64_t time) { PutErrorFrame(records, time, 2); };
  const char* const lie =
      "Channel group CAN_DataFrame: a payload claims 100 bytes, more than a frame carries: the "
      "records after it are left out";
  for (const bool payload_first : {false, true}) {
    for (const bool second_lie : {true, false}) {
      SCOPED_TRACE(std::string(payload_first ? "payloads first" : "frames first") +
                   (second_lie ? ", ending in a second lie" : ", ending clean"));
      std::vector<uint8_t> records;
      if (payload_first) payload(records, 12, 12);
      frame(records, 10);
      if (!payload_first) payload(records, 12, 12);
      payload(records, 100, 100);  // the lie; of a frame after it, or of the frame it follows
      if (!payload_first) frame(records, 20);
      error_frame(records, 30);
      if (second_lie) payload(records, 70'000, 10);
      ImageSpec spec = LoggerSpec(Recording{});
      spec.file_id = "UnFinMF ";
      spec.unfinalized_flags = 0x05;
      spec.dt_length = 24;
      spec.records = records;
      const Reading fast = ExpectSameEvents(spec, 1);
      if (second_lie) {
        EXPECT_EQ(fast.damage, lie);
        ASSERT_EQ(fast.events.size(), 1U) << "the frame before the lie, with its payload";
        EXPECT_EQ(fast.events[0].type, kBusMsgCanDataFrame);
        EXPECT_EQ(fast.events[0].data.size(), 12U);
        EXPECT_EQ(fast.events[0].data[0], 0x40);
      } else {
        EXPECT_NE(fast.damage, "");
        EXPECT_NE(fast.damage, lie);
        const auto errors = std::count_if(fast.events.begin(), fast.events.end(),
                                          [](const auto& event) { return event.type == kBusMsgCanErrorFrame; });
        EXPECT_EQ(errors, 1) << "framed after a length that took whole records";
      }
    }
  }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kTearStride = 7;  // every byte takes minutes under the sanitizers
#else
constexpr size_t kTearStride = 1;
#endif

// A recording whose payloads follow their frames, or precede them, torn at every byte, the
// file ending there or zeros following to the next 256 bytes: both decodings give exactly the
// frames held whole with their payloads, and no damage; with the zeros they may instead find
// that the end cannot be told from padding (a payload or a frame record the zeros complete
// reads as one that ends in zeros), and then give no frame more.
TEST(IteratorDecodings, AgreeOnEveryTearOfPayloadsAfterAndBeforeTheirFrames) {
  const auto frame = [](std::vector<uint8_t>& records, uint64_t time, uint8_t size) {
    const auto dlc = static_cast<uint8_t>(size <= 8 ? size : size <= 24 ? 9 + (size - 12) / 4 : 13 + (size - 32) / 16);
    PutCanFdFrame(records, time, static_cast<uint8_t>(0x01 | dlc << 4), size);
  };
  const auto payload = [](std::vector<uint8_t>& records, uint8_t size) { PutPayload(records, size, size, 0x41); };
  const auto error_frame = [](std::vector<uint8_t>& records, uint64_t time) { PutErrorFrame(records, time, 3); };
  const uint8_t sizes[] = {8, 64, 0, 12, 3, 48, 20, 64};
  for (const bool payload_first : {false, true}) {
    std::vector<uint8_t> records;
    std::vector<size_t> ends;  // where each frame is whole, with its payload; an error frame's own end
    uint64_t time = 100;
    for (const uint8_t size : sizes) {
      if (payload_first) payload(records, size);
      frame(records, time++, size);
      if (!payload_first) payload(records, size);
      ends.push_back(records.size());
      if (size == 3) {
        error_frame(records, time++);
        ends.push_back(records.size());
      }
    }
    size_t padding = 0;
    for (size_t size = 0; size <= records.size(); size += kTearStride) {
      for (const bool padded : {false, true}) {
        SCOPED_TRACE(std::string(payload_first ? "payloads first" : "payloads after") + (padded ? ", padded" : "") +
                     ", torn at " + std::to_string(size));
        ImageSpec spec = LoggerSpec(Recording{});
        spec.file_id = "UnFinMF ";
        spec.unfinalized_flags = 0x05;
        spec.dt_length = 24;
        spec.records.assign(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(size));
        std::vector<uint8_t> image = test::BuildLoggerImage(spec);
        if (padded) image.resize((image.size() + 255) / 256 * 256, 0);
        const Reading observed = test::ReadEvents(image, Decoding::kObservers, false);
        const Reading fast = test::ReadEvents(image, Decoding::kFastest, false);
        ASSERT_EQ(fast.events, observed.events);
        ASSERT_EQ(fast.damage, observed.damage);
        const size_t whole =
            static_cast<size_t>(std::count_if(ends.begin(), ends.end(), [size](size_t end) { return end <= size; }));
        if (fast.damage.empty()) {
          ASSERT_EQ(fast.events.size(), whole);
        } else {
          ++padding;
          ASSERT_TRUE(padded) << fast.damage;
          ASSERT_EQ(fast.damage.rfind("The end of the records cannot be told from padding.", 0), 0U) << fast.damage;
          ASSERT_LE(fast.events.size(), whole);
        }
        for (const auto& event : fast.events) {
          if (event.type != kBusMsgCanDataFrame || event.data.empty()) continue;
          ASSERT_EQ(event.data[0], 0x41) << "each frame with its own payload";
        }
      }
    }
    EXPECT_GT(padding, 0U) << "zeros that complete a torn record are met";
  }
}

// A VLSD payload holds no more than its frame: 64 bytes, and no more than the event's own data
// length says. A longer one is a length that lies, whose bytes took the records after it: both
// decodings report it as damage, and the frames after the records it took still come. A
// payload shorter than its DLC gives holds no frame: no byte of it is made up.
TEST(IteratorDecodings, AgreeThatAPayloadLongerThanItsFrameIsDamage) {
  // A CAN FD frame of the DLC with its data length, and a payload with its length.
  const auto frame = [](std::vector<uint8_t>& records, uint64_t time, uint8_t dlc, uint8_t data_length) {
    test::PutLe(records, 2, 1);
    test::PutLe(records, time, 8);
    test::PutBytes(records, {1, 0x23, 0x01, 0, 0x80, static_cast<uint8_t>(dlc << 4 | 1), data_length});
    test::PutLe(records, 0, 8);
  };
  const auto payload = [](std::vector<uint8_t>& records, uint32_t claimed, size_t size) {
    test::PutLe(records, 3, 1);
    test::PutLe(records, claimed, 4);
    for (size_t i = 0; i < size; ++i) records.push_back(static_cast<uint8_t>(0x30 + i));
  };
  const char* const longer = "Channel group CAN_DataFrame: 1 payloads longer than their frames hold";
  const char* const shorter =
      "Channel group CAN_DataFrame: 1 frames left out, as they hold fewer data bytes than their data length";
  struct Case {
    const char* name;
    uint8_t dlc;
    uint32_t data_length;
    uint32_t payload;
    const char* damage;  // null: none
    size_t events;
  };
  const Case cases[] = {
      {"as long as its data length", 9, 12, 12, nullptr, 1},
      {"shorter than its data length, as long as its DLC gives", 9, 64, 12, nullptr, 1},
      {"the 64 bytes of a CAN FD frame", 15, 64, 64, nullptr, 1},
      {"longer than its data length", 9, 12, 13, longer, 1},
      {"longer than any frame, as the data length says", 15, 100, 65, longer, 1},
      {"shorter than its DLC gives", 15, 64, 5, shorter, 0},
  };
  for (const bool payload_first : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (payload_first ? ", payload first" : ", frame first"));
      ImageSpec spec = LoggerSpec(Recording{});
      if (payload_first) payload(spec.records, c.payload, c.payload);
      frame(spec.records, 10, c.dlc, static_cast<uint8_t>(c.data_length));
      if (!payload_first) payload(spec.records, c.payload, c.payload);
      spec.groups[1].cycles = 1;
      spec.groups[2].cycles = 1;
      const Reading fast = ExpectSameEvents(spec, 1);
      ASSERT_EQ(fast.events.size(), c.events);
      EXPECT_EQ(fast.damage, c.damage != nullptr ? c.damage : "");
    }
  }

  // A length that claims the next frame and its payload besides its own 8 bytes.
  ImageSpec spec = LoggerSpec(Recording{});
  frame(spec.records, 10, 8, 8);
  std::vector<uint8_t> taken;
  frame(taken, 20, 8, 8);
  payload(taken, 8, 8);
  payload(spec.records, static_cast<uint32_t>(8 + taken.size()), 8);
  test::PutBytes(spec.records, taken);
  frame(spec.records, 30, 8, 8);
  payload(spec.records, 8, 8);
  spec.groups[1].cycles = 2;
  spec.groups[2].cycles = 2;
  const Reading fast = ExpectSameEvents(spec, 1);
  EXPECT_EQ(fast.damage, longer);
  ASSERT_EQ(fast.events.size(), 2U) << "the frame whose records the length took is lost";
  std::vector<uint8_t> after(8, 0);  // the frame after them, with its own payload
  for (uint8_t i = 0; i < 8; ++i) after[i] = static_cast<uint8_t>(0x30 + i);
  EXPECT_EQ(fast.events[1].data, after);
}

// Enough records to pass many batches to the decoding thread, and a payload longer than one.
TEST(IteratorDecodings, AgreeAcrossManyBatchesAndAPayloadLongerThanOne) {
  Recording recording = MakeRecording(60'000, Times::kTies);
  const auto put = [&recording](uint64_t value, int width) { test::PutLe(recording.records, value, width); };
  put(3, 1);  // the payload of the CAN FD frame that follows
  put(300'000, 4);
  for (uint32_t i = 0; i < 300'000; ++i) put(i * 7 & 0xFF, 1);
  put(2, 1);
  put(uint64_t{1} << 40, 8);
  test::PutBytes(recording.records, {1, 0x23, 0x01, 0, 0x80, 0xF1, 64});
  put(0, 8);
  ++recording.counts[1];
  ++recording.counts[2];
  const Recording more = MakeRecording(20'000, Times::kRising, 0x9E3779B9);
  recording.records.insert(recording.records.end(), more.records.begin(), more.records.end());
  for (size_t i = 0; i < recording.counts.size(); ++i) recording.counts[i] += more.counts[i];
  const Reading fast = ExpectSameEvents(LoggerSpec(recording), 1);
  ASSERT_EQ(fast.events.size(), 80'001U);
  // The long payload's event holds its first 64 bytes, as its length says.
  std::vector<uint8_t> first_bytes(64);
  for (uint32_t i = 0; i < 64; ++i) first_bytes[i] = static_cast<uint8_t>(i * 7 & 0xFF);
  EXPECT_EQ(std::count_if(fast.events.begin(), fast.events.end(),
                          [&first_bytes](const auto& event) { return event.data == first_bytes; }),
            1);
}

// A fixed data channel wider than eight bytes: a CAN FD frame takes the bytes its DLC gives,
// a classic one no more than 8. A field through a conversion other than 1:1 gives no frame.
TEST(IteratorDecodings, AgreeOnWideDataAndConvertedFields) {
  for (const bool edl : {true, false}) {
    SCOPED_TRACE(edl ? "CAN FD" : "classic");
    ImageSpec spec = LoggerSpec(Recording{});
    spec.groups = {test::LoggerBusGroup("CAN_DataFrame", 1, 71, test::LoggerCanMembers(false), 2)};
    spec.groups[0].channels[1].members.back().bit_count = 64 * 8;
    for (uint8_t dlc = 0; dlc < 16; ++dlc) {
      test::PutLe(spec.records, 1, 1);
      test::PutLe(spec.records, 100 + dlc, 8);
      test::PutBytes(spec.records, {static_cast<uint8_t>(dlc * 16), 0x10, 0, 0, static_cast<uint8_t>(edl ? 0x80 : 0),
                                    static_cast<uint8_t>(dlc << 4), 64});
      for (uint8_t i = 0; i < 64; ++i) spec.records.push_back(static_cast<uint8_t>(i + dlc));
    }
    spec.groups[0].cycles = 16;
    Reading fast = ExpectSameEvents(spec, 1);
    ASSERT_EQ(fast.events.size(), 16U);
    EXPECT_EQ(fast.damage, "");
    for (uint8_t dlc = 0; dlc < 16; ++dlc) {
      ASSERT_EQ(fast.events[dlc].data.size(), edl ? canDlcToLength(dlc) : std::min<uint32_t>(dlc, 8)) << int{dlc};
    }
    EXPECT_EQ(fast.events[15].data.back(), edl ? 63 + 15 : 7 + 15);

    spec.groups[0].channels[1].members[0].microseconds = true;  // the bus channel: 1e-6 of the raw value
    fast = ExpectSameEvents(spec, 1);
    EXPECT_TRUE(fast.events.empty());
    EXPECT_EQ(fast.damage,
              "Channel group CAN_DataFrame: 16 records left out, as it has a channel CAN_DataFrame.BusChannel with a "
              "conversion of type 1, not 1:1");
  }
}

// Layouts off the logger's own; those the record fields do not take go through the observers.
TEST(IteratorDecodings, AgreeWhereTheLayoutNeedsTheObservers) {
  const Recording recording = MakeRecording(200, Times::kTies);
  struct Case {
    const char* what;
    void (*change)(ImageSpec&);
    uint64_t fast_groups;
  };
  const Case cases[] = {
      {"a big-endian identifier", [](ImageSpec& spec) { spec.groups[0].channels[1].members[1].data_type = 1; }, 1},
      {"a field beyond the record", [](ImageSpec& spec) { spec.groups[4].channels[1].members[1].byte_offset = 40; }, 0},
      {"a signed field", [](ImageSpec& spec) { spec.groups[5].channels[1].members[1].data_type = 2; }, 0},
      {"a data channel that is a number",
       [](ImageSpec& spec) { spec.groups[5].channels[1].members.back().data_type = 0; }, 1},
      {"an unknown name", [](ImageSpec& spec) { spec.groups[6].channels[1].members[2].name = "LIN_ChecksumError.X"; },
       1},
      {"a float master", [](ImageSpec& spec) { spec.groups[4].channels[0].data_type = 4; }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec = LoggerSpec(recording);
    c.change(spec);
    ExpectSameEvents(spec, c.fast_groups);
  }
}

// Every truncation and every single-byte flip of the hand-built logger recordings: whatever
// the damage does to the layout or the records, both decodings agree (on the events and the
// library's messages; the console's lines are compared above).
TEST(IteratorDecodings, AgreeOnEveryTruncationAndFlip) {
  const Recording recording = MakeRecording(24, Times::kTies, 7);
  // The logger layout with all its kinds is four times the size: every 7th byte of it.
  const struct {
    std::vector<uint8_t> image;
    size_t step;
  } images[] = {{test::LoggerFileBuilder(true).Build(), 1},
                {test::LoggerFileBuilder(false).Build(), 1},
                {test::BuildLoggerImage(LoggerSpec(recording)), 7}};
  for (const auto& [image, step] : images) {
    SCOPED_TRACE(image.size());
    for (size_t size = 0; size < image.size(); size += step) {
      ASSERT_TRUE(SameReadings(std::vector<uint8_t>(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size))))
          << "cut at " << size;
    }
    for (size_t at = 0; at < image.size(); at += step) {
      std::vector<uint8_t> damaged = image;
      damaged[at] ^= 0xFF;
      ASSERT_TRUE(SameReadings(damaged)) << "flip at " << at;
    }
  }
}

}  // namespace
