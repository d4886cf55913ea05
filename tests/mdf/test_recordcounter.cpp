// Counting records of a record stream handed over in pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "recordcounter.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

using mdf::detail::RecordCounter;
using test::Bytes;

namespace {

// Feeds the stream in pieces of the given size, as a data block copies its data out.
void Feed(RecordCounter& counter, const std::vector<uint8_t>& stream, size_t piece) {
  for (size_t at = 0; at < stream.size(); at += piece) {
    const auto n = static_cast<std::streamsize>(std::min(piece, stream.size() - at));
    counter.sputn(reinterpret_cast<const char*>(stream.data() + at), n);
  }
}

TEST(RecordCounter, CountsFixedAndVlsdRecordsAcrossPieces) {
  // Id 1: 3 bytes; id 2: VLSD. Records: 1, 2 (len 5), 1, 2 (len 0), then half a record 1.
  const std::vector<uint8_t> stream = Bytes()
                                          .U8(1).Raw("abc")
                                          .U8(2).U32(5).Raw("hello")
                                          .U8(1).Raw("xyz")
                                          .U8(2).U32(0)
                                          .U8(1).Raw("q");
  for (const size_t piece : {size_t{1}, size_t{2}, size_t{7}, stream.size()}) {
    RecordCounter counter(1, {{1, {3, false}}, {2, {0, true}}});
    Feed(counter, stream, piece);
    EXPECT_FALSE(counter.Stopped());
    ASSERT_EQ(counter.Tallies().size(), 2U) << piece;
    EXPECT_EQ(counter.Tallies().at(1).records, 2U) << piece;  // The cut record is not counted.
    EXPECT_EQ(counter.Tallies().at(1).bytes, 6U);
    EXPECT_EQ(counter.Tallies().at(2).records, 2U);
    EXPECT_EQ(counter.Tallies().at(2).bytes, 4U + 5U + 4U);
  }
}

TEST(RecordCounter, UnknownRecordIdStopsTheCount) {
  test::LogCapture log;
  RecordCounter counter(2, {{1, {1, false}}, {2, {1, false}}});
  Feed(counter, Bytes().U16(1).U8(0).U16(7).U8(0).U16(2).U8(0), 4);
  EXPECT_TRUE(counter.Stopped());
  EXPECT_EQ(counter.Tallies().at(1).records, 1U);
  EXPECT_EQ(counter.Tallies().count(2), 0U);
  EXPECT_TRUE(log.Contains("Failed to find the CG block. Record ID: 7"));
}

TEST(RecordCounter, SingleGroupTakesEveryRecord) {
  RecordCounter counter(1, {{5, {2, false}}});
  Feed(counter, Bytes().U8(0).U16(1).U8(9).U16(2), 3);
  EXPECT_EQ(counter.Tallies().at(5).records, 2U);

  RecordCounter no_ids(0, {{0, {4, false}}});
  Feed(no_ids, Bytes().U32(1).U32(2).U32(3), 5);
  EXPECT_EQ(no_ids.Tallies().at(0).records, 3U);
}

TEST(RecordCounter, RefusesLayoutsItCannotCount) {
  test::LogCapture log;
  RecordCounter empty_records(0, {{0, {0, false}}});  // Would never make progress.
  Feed(empty_records, Bytes().U32(1), 1);
  EXPECT_TRUE(empty_records.Stopped());
  EXPECT_TRUE(empty_records.Tallies().empty());

  RecordCounter odd_id_size(3, {{1, {1, false}}});
  Feed(odd_id_size, Bytes().U32(1), 1);
  EXPECT_TRUE(odd_id_size.Stopped());
  EXPECT_TRUE(odd_id_size.Tallies().empty());
}

}  // namespace
