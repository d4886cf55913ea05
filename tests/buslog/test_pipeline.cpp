// The pipeline without the command line: a hand-built logger recording through the reader,
// the iterator, the transport-protocol and demultiplexer stages into a collecting last stage,
// and the collected records through the bus-log writer, all on memory streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "buslog/mux_handler.h"
#include "buslog/tp_handler.h"
#include "support/buslogfiles.h"
#include "support/consolelog.h"
#include "support/loggerimage.h"
#include "support/outputtimes.h"

namespace {

using test::Frame;

constexpr uint64_t kStartNs = 1'650'000'000'000'000'000ULL;

test::ImageSpec Recording() {
  test::ImageSpec spec;
  spec.start_ns = kStartNs;
  spec.header_comment = test::HeaderCommentWith("0000C0DE", "4", "2");
  spec.groups = {test::ComposedCanGroup(1, 5), test::PlainLinGroup(2, 1), test::PlainErrorGroup(3, 1)};
  spec.groups[0].source_comment = "<SIcomment><TX>CAN</TX></SIcomment>";
  spec.groups[1].source_comment = "<SIcomment><TX>LIN</TX></SIcomment>";
  std::vector<uint8_t>& r = spec.records;
  // An ISO-TP single frame, a two-frame message, a multiplexed carrier and a plain frame.
  test::PutBytes(r, test::ComposedCanRecord(1, 1'000'000, 0x7E8, 0, 4, {0x03, 1, 2, 3}, 2));
  test::PutBytes(r, test::PlainLinRecord(2, 1'200'000, 0x21, 2, {0xAB, 0xCD}, 1));
  test::PutBytes(r, test::ComposedCanRecord(1, 1'500'000, 0x7E8, 0, 8, {0x10, 0x0A, 1, 2, 3, 4, 5, 6}, 2));
  test::PutBytes(r, test::ComposedCanRecord(1, 1'600'000, 0x7E8, 0, 8, {0x21, 7, 8, 9, 10, 11, 12, 13}, 2));
  test::PutBytes(r, test::ComposedCanRecord(1, 2'000'000, 0x010, 0, 5, {0x01, 0x00, 0x10, 0x11, 0x22}, 2));
  test::PutBytes(r, test::ComposedCanRecord(1, 2'500'000, 0x100, 0, 8, {8, 7, 6, 5, 4, 3, 2, 1}, 1));
  test::PutBytes(r, test::PlainErrorRecord(3, 3'000'000, 1, 2));
  return spec;
}

TEST(Pipeline, ConvertsARecordingEndToEnd) {
  test::RecordCollector last;
  cMuxHandler_t* mux = muxHandlerNew(last.Handler(), nullptr);
  cTpHandler_t* tp = tpHandlerNew(&mux->handler);
  ASSERT_TRUE(muxHandlerSetDemuxTarget(mux, &tp->handler));
  ASSERT_TRUE(tpHandlerConfigure(tp, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
  const uint8_t targets[kMuxSlotCount] = {5, 6, 7, 8};
  ASSERT_TRUE(muxHandlerConfigure(mux, kBusTypeCan, 2, canIdKey(0x010, 0), targets));

  // Reading: file information, metadata and events.
  const test::ImageSpec spec = Recording();
  test::StreamPtr input = test::MemoryStreamOf(test::BuildLoggerImage(spec));
  cMdfReader_t* reader = mdfReaderOpen(input.get());
  ASSERT_NE(reader, nullptr);
  cFileInfo_t info{};
  mdfReaderGetFileInfo(reader, &info);
  EXPECT_EQ(info.StartTime, kStartNs);
  EXPECT_STREQ(cStrData(&info.SerialNumber), "0000C0DE");
  cMdfMetadata_t* metadata = mdfReaderGetMetadata(reader);
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(metadata->CanSourceComment, spec.groups[0].source_comment);

  ASSERT_TRUE(recordHandlerNewFile(&tp->handler, &info, 0));
  cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader);
  ASSERT_NE(iterator, nullptr);
  for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;) {
    EXPECT_TRUE(recordHandlerHandle(&tp->handler, record));
  }
  mdfReaderIteratorFree(iterator);
  ASSERT_TRUE(recordHandlerEndFile(&tp->handler, &info));
  mdfReaderClose(reader);
  tpHandlerFree(tp);
  muxHandlerFree(mux);

  // What reached the end of the chain, in time order.
  ASSERT_EQ(last.records.size(), 6U);
  const std::vector<int32_t> kinds = {kBusMsgCanDataFrame, kBusMsgLinFrame,     kBusMsgCanDataFrame,
                                      kBusMsgCanDataFrame, kBusMsgCanDataFrame, kBusMsgCanErrorFrame};
  for (size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(last.records[i].type, kinds[i]) << i;
  EXPECT_EQ(last.records[0].data, (std::vector<uint8_t>{1, 2, 3}));  // the single frame's payload
  EXPECT_EQ(last.records[0].time, 1'000'000'000);
  EXPECT_EQ(last.records[1].data, (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(last.records[2].data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));  // reassembled
  EXPECT_EQ(last.records[2].time, 1'600'000'000);
  EXPECT_EQ(last.records[3].channel, 5);  // the sub-frame of slot 0, sent back through the chain
  EXPECT_EQ(last.records[3].id, 0x010U);
  EXPECT_EQ(last.records[3].data, (std::vector<uint8_t>{0x11, 0x22}));
  EXPECT_EQ(last.records[4].id, 0x100U);
  EXPECT_EQ(last.records[5].flags.Error.ErrorType, kCanErrorForm);

  // Writing: the collected records into a finalized file.
  test::StreamPtr output(memoryStreamNew());
  cMdfWriter_t* writer = mdfWriterNew();
  ASSERT_TRUE(mdfWriterOpen(writer, output.get(), &info, metadata));
  for (const Frame& frame : last.records) {
    test::OwnedRecord record(frame);
    mdfWriterAddRecord(writer, &record.msg);
  }
  EXPECT_TRUE(mdfWriterFinalize(writer));
  mdfWriterFree(writer);
  fileInfoRelease(&info);
  const std::vector<uint8_t> written = test::StreamBytes(output.get());
  test::ExpectCheckerAccepts(written);

  // The output is a logger file of its own: read back, it holds every event collected.
  test::StreamPtr again = test::MemoryStreamOf(written);
  cMdfReader_t* check = mdfReaderOpen(again.get());
  ASSERT_NE(check, nullptr);
  cMdfReaderIterator_t* events = mdfReaderGetIterator(check);
  ASSERT_NE(events, nullptr);
  std::vector<Frame> read;
  for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(events)) != nullptr;)
    read.push_back(test::FrameOf(*record));
  mdfReaderIteratorFree(events);
  cMdfMetadata_t* carried = mdfReaderGetMetadata(check);
  ASSERT_NE(carried, nullptr);
  EXPECT_EQ(carried->HeaderComment, spec.header_comment);
  EXPECT_EQ(carried->LinSourceComment, spec.groups[1].source_comment);
  mdfMetadataFree(carried);
  mdfReaderClose(check);
  ASSERT_EQ(read.size(), last.records.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].time, last.records[i].time) << i;
    EXPECT_EQ(read[i].type, last.records[i].type) << i;
    EXPECT_EQ(read[i].id, last.records[i].id) << i;
  }
}

}  // namespace

namespace {

// Every kind the writer writes, read back through the reader: the fill rules of every field
// channel the writer lays out, with the iterator's finishing rules.
TEST(Pipeline, EveryKindReadsBackFromTheWritersLayout) {
  std::vector<Frame> frames;
  Frame can = test::ExtendedFrame(3, 0x80000000 | 0x1234567, {1, 2, 3, 4, 5, 6, 7, 8}, 0.1);
  can.flags.Can.DLC = 8;
  can.flags.Can.Dir = 1;
  Frame fd = test::CanFrame(4, 0x321, std::vector<uint8_t>(20, 0x5A), 0.2);
  fd.flags.Can.DLC = 11;
  fd.flags.Can.EDL = 1;
  fd.flags.Can.BRS = 1;
  fd.flags.Can.ESI = 1;
  Frame remote = test::CanFrame(1, 0x7FF, {0, 0, 0}, 0.3);
  remote.type = kBusMsgCanRemoteFrame;
  remote.flags.Can.DLC = 3;
  remote.flags.Can.RTR = 1;
  Frame error = test::CanFrame(2, 0, {}, 0.4);
  error.type = kBusMsgCanErrorFrame;
  error.flags.Error.ErrorType = kCanErrorAck;
  Frame lin = test::LinFrame(5, 0x3C, {9, 8, 7}, 0.5);
  lin.flags.Lin.ReceivedDataByteCount = 3;
  lin.flags.Lin.Dir = 1;
  Frame checksum = test::LinFrame(6, 0x11, {4, 5}, 0.6);
  checksum.type = kBusMsgLinChecksumError;
  checksum.flags.Lin.ReceivedDataByteCount = 2;
  checksum.flags.Lin.Checksum = 0x99;
  checksum.flags.Lin.ChecksumModel = 1;
  Frame receive = test::LinFrame(7, 0x21, {}, 0.7);
  receive.type = kBusMsgLinReceiveError;
  Frame sync = test::LinFrame(8, 0, {}, 0.8);
  sync.type = kBusMsgLinSyncError;
  Frame transmission = test::LinFrame(9, 0x2A, {}, 0.9);
  transmission.type = kBusMsgLinTransmissionError;
  frames = {can, fd, remote, error, lin, checksum, receive, sync, transmission};

  const test::WrittenFile file =
      test::WriteBusLog(frames, test::StartInfo(1'700'000'000'500'000'000), test::LoggerMetadata());
  ASSERT_TRUE(file.finalized);
  test::StreamPtr stream = test::MemoryStreamOf(file.bytes);
  cMdfReader_t* reader = mdfReaderOpen(stream.get());
  ASSERT_NE(reader, nullptr);
  cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader);
  ASSERT_NE(iterator, nullptr);
  std::vector<Frame> read;
  for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;)
    read.push_back(test::FrameOf(*record));
  mdfReaderIteratorFree(iterator);
  mdfReaderClose(reader);

  fd.data.resize(20);  // DLC 11 is 20 bytes
  const std::vector<Frame> expected = {can, fd, remote, error, lin, checksum, receive, sync, transmission};
  ASSERT_EQ(read.size(), expected.size());
  for (size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i], expected[i]) << i;
}

}  // namespace

namespace {

// The last stage of a chain that writes: every record to the writer, as the converter stage
// hands them on.
struct WriterStage {
  cRecordHandler_t handler;
  cMdfWriter_t* writer;
};
bool WriteRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  mdfWriterAddRecord(reinterpret_cast<WriterStage*>(handler)->writer, record);
  return true;
}
bool Accept(cRecordHandler_t*, const cFileInfo_t*, uint8_t) { return true; }
bool AcceptEnd(cRecordHandler_t*, const cFileInfo_t*) { return true; }
constexpr cRecordHandlerOps_t kWriterStageOps = {WriteRecord, Accept, AcceptEnd};

// Reassembled and demultiplexed frames keep the time of the frame that carried them to the
// nanosecond for any start, and a TP error names its time since 1970 exactly, to the
// microsecond.
TEST(Pipeline, TimesAreExactThroughEveryStage) {
  struct Case {
    uint64_t start_ns;
    const char* tp_error_time;  // the consecutive frame at 2.7 s without its first frame
  };
  const Case cases[] = {
      {0, "2.700000"},
      {1'796'987'569'268'208'400ULL, "1796987571.968208"},
      {4'102'444'800'123'456'789ULL, "4102444802.823457"},
      {18'446'744'000'000'000'500ULL, "18446744002.700001"},  // beyond a signed count; a half rounds up
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start_ns);
    test::ImageSpec spec = Recording();
    spec.start_ns = c.start_ns;
    spec.tz_offset_min = 60;
    spec.time_flags = 2;
    test::PutBytes(spec.records, test::ComposedCanRecord(1, 2'700'000, 0x7E8, 0, 2, {0x21, 1}, 2));
    ++spec.groups[0].cycles;
    test::StreamPtr input = test::MemoryStreamOf(test::BuildLoggerImage(spec));
    cMdfReader_t* reader = mdfReaderOpen(input.get());
    ASSERT_NE(reader, nullptr);
    cFileInfo_t info{};
    mdfReaderGetFileInfo(reader, &info);
    test::StreamPtr output(memoryStreamNew());
    WriterStage last{{}, mdfWriterNew()};
    ASSERT_TRUE(recordHandlerInit(&last.handler));
    last.handler.ops = &kWriterStageOps;
    cMuxHandler_t* mux = muxHandlerNew(&last.handler, nullptr);
    cTpHandler_t* tp = tpHandlerNew(&mux->handler);
    ASSERT_TRUE(muxHandlerSetDemuxTarget(mux, &tp->handler));
    ASSERT_TRUE(tpHandlerConfigure(tp, kBusTypeCan, 2, canIdKey(0x7E8, 0), kTpProtocolIsoTp));
    const uint8_t targets[kMuxSlotCount] = {5, 6, 7, 8};
    ASSERT_TRUE(muxHandlerConfigure(mux, kBusTypeCan, 2, canIdKey(0x010, 0), targets));
    ASSERT_TRUE(mdfWriterOpen(last.writer, output.get(), &info, mdfReaderGetMetadata(reader)));
    std::vector<std::string> log;
    {
      test::ConsoleLog console(kLogInfo);
      ASSERT_TRUE(recordHandlerNewFile(&tp->handler, &info, 0));
      cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader);
      for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;) {
        EXPECT_TRUE(recordHandlerHandle(&tp->handler, record));
      }
      mdfReaderIteratorFree(iterator);
      log = console.Messages();
    }
    EXPECT_TRUE(mdfWriterFinalize(last.writer));
    mdfWriterFree(last.writer);
    tpHandlerFree(tp);
    muxHandlerFree(mux);
    mdfReaderClose(reader);
    fileInfoRelease(&info);
    EXPECT_EQ(log, std::vector<std::string>{"I TP error (time: " + std::string(c.tp_error_time) + ", id: 0x7E8)"});

    const test::OutputTimes out = test::ReadOutputTimes(test::StreamBytes(output.get()));
    EXPECT_EQ(out.start_ns, c.start_ns);
    EXPECT_EQ(out.tz_offset_min, 60);
    EXPECT_EQ(out.time_flags, 2);
    std::vector<std::string> times;
    for (const test::OutputFrame& frame : out.frames) times.push_back(test::NsText(frame.ns));
    std::sort(times.begin(), times.end());
    // The single frame, the LIN frame, the reassembled message, the demultiplexed sub-frame,
    // the plain frame and the error frame, each at its own time (ms since the start).
    std::vector<std::string> expected;
    for (const uint64_t ms : {1000, 1200, 1600, 2000, 2500, 3000}) {
      expected.push_back(test::NsText(c.start_ns + static_cast<unsigned __int128>(ms) * 1'000'000));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(times, expected);
  }
}

}  // namespace
