// Round trip: a logger recording converted by reader, iterator and writer, and the output
// read back through the same reader: it gives the same events (the output's start is the
// input's in whole microseconds), and the independent checker decodes every value the way
// our library does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "support/loggerfile.h"
#include "support/loggerimage.h"
#include "support/streambytes.h"
#include "support/tempdir.h"
#include "support/writerkit.h"

namespace {

struct Event {
  double time;
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
Converted Convert(const std::vector<uint8_t>& image, bool write) {
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
  cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader);
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

void ExpectSameEvents(const std::vector<Event>& read, const std::vector<Event>& input, double time_tolerance) {
  ASSERT_EQ(read.size(), input.size());
  for (size_t i = 0; i < read.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(read[i].time, input[i].time, time_tolerance);
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
// start drops, so times agree to the microsecond.
TEST(RoundTrip, TheLoggerFixture) {
  for (const bool unfinalized : {false, true}) {
    SCOPED_TRACE(unfinalized ? "unfinalized" : "finalized");
    const Converted first = Convert(test::LoggerFileBuilder(unfinalized).Build(), true);
    ASSERT_TRUE(first.written);
    ASSERT_EQ(first.events.size(), test::LoggerCanFrames().size() + test::LoggerLinFrames().size());
    const Converted again = Convert(first.output, false);
    ExpectSameEvents(again.events, first.events, 1.01e-6);
    ExpectCheckerAgrees(first.output);
  }
}

// Every kind of event, on a start in whole microseconds: the times come back exactly.
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
  ExpectSameEvents(again.events, first.events, 0.0);
  ExpectCheckerAgrees(first.output);
}

}  // namespace
