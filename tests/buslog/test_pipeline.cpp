// The pipeline without the command line: a hand-built logger recording through the reader,
// the iterator, the transport-protocol and demultiplexer stages into a collecting last stage,
// and the collected records through the bus-log writer, all on memory streams.
#include <gtest/gtest.h>

#include <vector>

#include "buslog/mdf_reader.h"
#include "buslog/mdf_writer.h"
#include "buslog/mux_handler.h"
#include "buslog/tp_handler.h"
#include "support/buslogfiles.h"
#include "support/loggerimage.h"

namespace {

using test::Frame;

constexpr uint64_t kStartNs = 1'650'000'000'000'000'000ULL;
constexpr double kStart = 1.65e9;

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
  EXPECT_EQ(info.StartTime, kStart);
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
  const std::vector<int32_t> kinds = {kBusMsgCanDataFrame, kBusMsgLinFrame, kBusMsgCanDataFrame,
                                      kBusMsgCanDataFrame, kBusMsgCanDataFrame, kBusMsgCanErrorFrame};
  for (size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(last.records[i].type, kinds[i]) << i;
  EXPECT_EQ(last.records[0].data, (std::vector<uint8_t>{1, 2, 3}));  // the single frame's payload
  EXPECT_EQ(last.records[0].time, kStart + 1.0);
  EXPECT_EQ(last.records[1].data, (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(last.records[2].data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));  // reassembled
  EXPECT_EQ(last.records[2].time, kStart + 1.6);
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
  for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(events)) != nullptr;) read.push_back(test::FrameOf(*record));
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
