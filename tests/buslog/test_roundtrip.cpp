// Round trip: a logger recording converted by reader, iterator and writer, and the output
// read back through the same reader: it gives the same events (the output's start is the
// input's), and the independent checker decodes every value the way our library does.
#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "support/loggerfile.h"
#include "support/loggerimage.h"
#include "support/loggerrecording.h"
#include "support/outputtimes.h"
#include "support/streambytes.h"
#include "support/tempdir.h"
#include "support/writerkit.h"

namespace {

struct Event {
  int64_t time;
  int32_t type;
  uint8_t channel;
  uint32_t id;
  std::vector<uint8_t> data;
  cBusMsgFlags_t flags;
};

struct Converted {
  std::vector<Event> events;
  std::vector<uint8_t> output;
  bool written = false;
};

// Reads the image's events and, when `write`, converts them into a new file.
Converted Convert(const std::vector<uint8_t>& image, bool write,
                  cMdfReader_t::Decoding decoding = cMdfReader_t::Decoding::kFastest) {
  Converted result;
  test::StreamPtr input = test::MemoryStreamOf(image);
  cMdfReader_t* reader = mdfReaderOpen(input.get());
  EXPECT_NE(reader, nullptr);
  if (reader == nullptr) return result;
  cFileInfo_t info{};
  mdfReaderGetFileInfo(reader, &info);
  test::StreamPtr output(memoryStreamNew());
  cMdfWriter_t* writer = mdfWriterNew();
  EXPECT_TRUE(mdfWriterOpen(writer, output.get(), &info, mdfReaderGetMetadata(reader)));
  cMdfReaderIterator_t* iterator = nullptr;
  try {
    iterator = reader->getIterator(decoding);
  } catch (const std::exception&) {
    iterator = nullptr;
  }
  EXPECT_NE(iterator, nullptr);
  for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(cStrData(&record->DataBytes));
    result.events.push_back({record->Timestamp, record->MsgType, record->BusChannel, record->ID,
                             std::vector<uint8_t>(bytes, bytes + cStrLength(&record->DataBytes)), record->Flags});
    mdfWriterAddRecord(writer, record);
  }
  mdfReaderIteratorFree(iterator);
  if (write) result.written = mdfWriterFinalize(writer);
  mdfWriterFree(writer);
  mdfReaderClose(reader);
  fileInfoRelease(&info);
  result.output = test::StreamBytes(output.get());
  return result;
}

void ExpectSameEvents(const std::vector<Event>& read, const std::vector<Event>& input) {
  ASSERT_EQ(read.size(), input.size());
  for (size_t i = 0; i < read.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(read[i].time, input[i].time);
    EXPECT_EQ(read[i].type, input[i].type);
    EXPECT_EQ(read[i].channel, input[i].channel);
    EXPECT_EQ(read[i].id, input[i].id);
    EXPECT_EQ(read[i].data, input[i].data);
    EXPECT_EQ(std::memcmp(&read[i].flags, &input[i].flags, sizeof(cBusMsgFlags_t)), 0);
  }
}

void ExpectCheckerAgrees(const std::vector<uint8_t>& output) {
  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  const std::string path = dir.Write("out.mf4", output);
  EXPECT_EQ(test::RunMdf4Check(tool, "", path).status, 0);
  const test::ReadBack read(output);
  ASSERT_TRUE(read.Ok());
  EXPECT_GT(test::ExpectCheckerAgrees(tool, path, read), 0U);
}

// The logger fixture, finalized and not: its start has nanosecond digits, which the output's
// start keeps.
TEST(RoundTrip, TheLoggerFixture) {
  for (const bool unfinalized : {false, true}) {
    SCOPED_TRACE(unfinalized ? "unfinalized" : "finalized");
    const Converted first = Convert(test::LoggerFileBuilder(unfinalized).Build(), true);
    ASSERT_TRUE(first.written);
    ASSERT_EQ(first.events.size(), test::LoggerCanFrames().size() + test::LoggerLinFrames().size());
    const Converted again = Convert(first.output, false);
    ExpectSameEvents(again.events, first.events);
    ExpectCheckerAgrees(first.output);
  }
}

// Every kind of event: the times come back exactly.
TEST(RoundTrip, EveryKindExactly) {
  test::ImageSpec spec;
  spec.start_ns = 1'700'000'000'123'456'000ULL;
  spec.header_comment = test::HeaderCommentWith("1", "1", "1");
  test::ImageGroup can = test::ComposedCanGroup(1, 3);
  test::ImageGroup lin = test::PlainLinGroup(2, 2);
  test::ImageGroup error = test::PlainErrorGroup(3, 1);
  spec.groups = {can, lin, error};
  test::PutBytes(spec.records,
                 test::ComposedCanRecord(1, 0, 0x1ABCDEF0, 1, 8, {1, 2, 3, 4, 5, 6, 7, 8}, 1, 1, 0, 0, 1));
  test::PutBytes(spec.records, test::ComposedCanRecord(1, 0, 0x123, 0, 3, {9, 9, 9}, 2));
  test::PutBytes(spec.records, test::PlainLinRecord(2, 333'333, 0x3F, 8, {1, 2, 3, 4, 5, 6, 7, 8}, 3, 1));
  test::PutBytes(spec.records, test::PlainErrorRecord(3, 999'999, 1, 4));
  test::PutBytes(spec.records, test::ComposedCanRecord(1, 123'456'789, 0x7FF, 0, 0, {}, 4));
  test::PutBytes(spec.records, test::PlainLinRecord(2, 123'456'790, 0x01, 0, {}, 3));
  const Converted first = Convert(test::BuildLoggerImage(spec), true);
  ASSERT_TRUE(first.written);
  ASSERT_EQ(first.events.size(), 6U);
  const Converted again = Convert(first.output, false);
  ExpectSameEvents(again.events, first.events);
  ExpectCheckerAgrees(first.output);
}

// Starts to the nanosecond from 1970 to the last the format holds, with every kind of time
// record, and frames spread over days in microsecond ticks: for every frame the output's start
// plus its time is the input's, to the nanosecond, and the header keeps the input's start,
// offsets and flags. Through both decodings.
TEST(RoundTrip, StartsAndSpansAreExactToTheNanosecond) {
  constexpr uint64_t kLongest = uint64_t{1} << 40;  // µs: 12.7 days
  const uint64_t starts[] = {
      0,
      1,
      999,
      1'000,
      1'767'225'600'000'000'000ULL,  // a whole second
      1'796'987'569'268'208'000ULL,  // a whole microsecond
      1'796'987'569'268'208'400ULL,  // 400 ns past one
      1'796'987'569'268'208'999ULL,
      4'102'444'800'123'456'789ULL,                            // 2100
      9'223'372'036'854'775'807ULL,                            // the last ns of a signed count, 2262
      9'223'372'036'854'775'808ULL,                            // past it
      std::numeric_limits<uint64_t>::max() - kLongest * 1000,  // the last start that holds the span, 2554
  };
  struct TimeRecord {
    int16_t tz;
    int16_t dst;
    uint8_t flags;
  };
  const TimeRecord records[] = {{0, 0, 0}, {60, 60, 2}, {0, 0, 1}, {-300, 60, 3}, {-570, 0, 0x80}};
  const uint64_t times_us[] = {0, 1, 999, 123'456, 1'000'000, 86'400'000'000, 259'200'000'001, kLongest - 1, kLongest};
  size_t n = 0;
  for (const uint64_t start : starts) {
    const TimeRecord& record = records[n++ % std::size(records)];
    test::RecordingInfo info;
    info.start_ns = start;
    info.tz_offset_min = record.tz;
    info.dst_offset_min = record.dst;
    info.time_flags = record.flags;
    std::vector<test::CanFrameRecord> can;
    for (uint32_t i = 0; i < std::size(times_us); ++i) {
      can.push_back({times_us[i], 1, 0x100 + i, false, false, false, false, false, 1, {static_cast<uint8_t>(i)}});
    }
    const std::vector<test::LinFrameRecord> lin = {{times_us[4] + 7, 2, 0x21, false, {1, 2}}};
    const std::vector<uint8_t> image = test::LoggerRecording(info, can, lin);
    for (const auto decoding : {cMdfReader_t::Decoding::kFastest, cMdfReader_t::Decoding::kObservers}) {
      SCOPED_TRACE("start " + std::to_string(start) +
                   (decoding == cMdfReader_t::Decoding::kFastest ? ", fastest" : ", observers"));
      const Converted converted = Convert(image, true, decoding);
      ASSERT_TRUE(converted.written);
      const test::OutputTimes out = test::ReadOutputTimes(converted.output);
      EXPECT_EQ(out.start_ns, start);
      EXPECT_EQ(out.tz_offset_min, record.tz);
      EXPECT_EQ(out.dst_offset_min, record.dst);
      EXPECT_EQ(out.time_flags, record.flags);
      std::map<uint64_t, std::string> times;  // by id: each frame's is unique
      for (const test::OutputFrame& frame : out.frames) times[frame.id] = test::NsText(frame.ns);
      ASSERT_EQ(times.size(), can.size() + lin.size());
      const auto since_1970 = [start](uint64_t us) { return start + static_cast<unsigned __int128>(us) * 1000; };
      for (const test::CanFrameRecord& frame : can) {
        EXPECT_EQ(times[frame.id], test::NsText(since_1970(frame.time_us))) << "frame at " << frame.time_us << " us";
      }
      EXPECT_EQ(times[lin[0].id], test::NsText(since_1970(lin[0].time_us)));
    }
  }
}

// Time channels in ticks other than microseconds, some with an offset: each frame's time comes
// out the nearest microsecond to the exact one its ticks give, halves up, for any span and
// any start. A tick is given exactly as `ns_numerator` / `ns_denominator` ns.
TEST(RoundTrip, EveryTickSizeGivesTheNearestMicrosecond) {
  struct Tick {
    double offset_s;
    double factor_s;
    uint64_t offset_ns;
    uint64_t ns_numerator;
    uint64_t ns_denominator;
  };
  const Tick ticks[] = {
      {0.0, 1e-9, 0, 1, 1},
      {0.0, 1e-7, 0, 100, 1},
      {0.0, 2.5e-8, 0, 25, 1},
      {0.0, 1e-5, 0, 10'000, 1},
      {0.5, 1e-6, 500'000'000, 1'000, 1},
      {0.0, 1e-10, 0, 1, 10},
      {0.0, 3.0517578125e-05, 0, 30'517'578'125, 1'000'000},  // 2^-15 s, a 32 kHz clock
  };
  // Ticks from 0 to days, with parts of a microsecond around the half.
  const uint64_t raws[] = {0, 1, 4, 5, 499, 500, 501, 1'499, 1'500'001, 86'400'000, 259'200'001'499, 1'099'511'627'777};
  const uint64_t starts[] = {1'796'987'569'268'208'000ULL, 1'796'987'569'268'208'400ULL, 4'102'444'800'123'456'789ULL};
  for (const Tick& tick : ticks) {
    for (const uint64_t start : starts) {
      SCOPED_TRACE("factor " + std::to_string(tick.factor_s) + ", start " + std::to_string(start));
      test::ImageSpec spec;
      spec.start_ns = start;
      spec.header_comment = test::HeaderCommentWith("1", "1", "1");
      test::ImageGroup can = test::ComposedCanGroup(1, std::size(raws));
      can.channels[0].conversion = test::ImageConversion{1, {tick.offset_s, tick.factor_s}, {}};
      spec.groups = {can};
      std::vector<std::string> expected;
      for (uint32_t i = 0; i < std::size(raws); ++i) {
        test::PutBytes(spec.records, test::ComposedCanRecord(1, raws[i], 0x100 + i, 0, 1, {1}, 1));
        // Twice the exact time in units of a ns / denominator, then the nearest µs.
        const unsigned __int128 twice = 2 * (static_cast<unsigned __int128>(raws[i]) * tick.ns_numerator +
                                             static_cast<unsigned __int128>(tick.offset_ns) * tick.ns_denominator);
        const unsigned __int128 unit = 2 * static_cast<unsigned __int128>(tick.ns_denominator) * 1000;
        const unsigned __int128 us = (twice + unit / 2) / unit;
        expected.push_back(test::NsText(start + us * 1000));
      }
      for (const auto decoding : {cMdfReader_t::Decoding::kFastest, cMdfReader_t::Decoding::kObservers}) {
        const Converted converted = Convert(test::BuildLoggerImage(spec), true, decoding);
        ASSERT_TRUE(converted.written);
        const test::OutputTimes out = test::ReadOutputTimes(converted.output);
        EXPECT_EQ(out.start_ns, start);
        std::map<uint64_t, std::string> times;
        for (const test::OutputFrame& frame : out.frames) times[frame.id] = test::NsText(frame.ns);
        ASSERT_EQ(times.size(), std::size(raws));
        for (uint32_t i = 0; i < std::size(raws); ++i) EXPECT_EQ(times[0x100 + i], expected[i]) << raws[i] << " ticks";
      }
    }
  }
}

}  // namespace
