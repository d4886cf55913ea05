// Every truncation and every single-byte flip of the hand-built logger recording and its
// unfinalized twin through the reader and the iterator: no crash, no hang, never more events
// than the recording holds, and none of a kind it does not hold. A reading that reports no
// damage holds every event of each kind, and every cut of the finalized file is damage.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "buslog/mdf_reader.h"
#include "mdf/mdflogstream.h"
#include "support/loggerfile.h"
#include "support/streambytes.h"

namespace {

// What the reader made of an image.
struct Reading {
  int64_t events = -1;  // -1: no reader, -2: no iterator
  std::map<int, int64_t> kinds;
  bool damaged = false;
};

// What the reader makes of the image; the events' count when it yields an iterator.
int64_t ReadAll(const std::vector<uint8_t>& image, Reading* reading = nullptr) {
  Reading unused;
  Reading& read = reading != nullptr ? *reading : unused;
  test::StreamPtr stream = test::MemoryStreamOf(image);
  cMdfReader_t* reader = mdfReaderOpen(stream.get());
  if (reader == nullptr) return -1;
  cFileInfo_t info{};
  mdfReaderGetFileInfo(reader, &info);
  fileInfoRelease(&info);
  mdfMetadataFree(mdfReaderGetMetadata(reader));
  int64_t events = -2;
  if (cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader); iterator != nullptr) {
    events = 0;
    for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;) {
      // The fixture's groups are CAN and LIN data frames; a damaged channel name leaves a group of
      // no kind, whose samples are default records.
      EXPECT_TRUE(record->MsgType == kBusMsgCanDataFrame || record->MsgType == kBusMsgLinFrame ||
                  record->MsgType == kBusMsgUnknown)
          << record->MsgType;
      ++events;
      ++read.kinds[record->MsgType];
    }
    mdfReaderIteratorFree(iterator);
  }
  read.damaged = mdfReaderFirstDamage(reader) != nullptr;
  mdfReaderClose(reader);
  read.events = events;
  return events;
}

class ReaderDamage : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { mdf::InstallLogCallback({}); }  // the library's complaints are expected
};

TEST_P(ReaderDamage, EveryTruncation) {
  const bool unfinalized = GetParam();
  const std::vector<uint8_t> image = test::LoggerFileBuilder(unfinalized).Build();
  Reading whole;
  ASSERT_EQ(ReadAll(image, &whole),
            static_cast<int64_t>(test::LoggerCanFrames().size() + test::LoggerLinFrames().size()));
  ASSERT_FALSE(whole.damaged);
  for (size_t size = 0; size < image.size(); ++size) {
    Reading cut;
    const int64_t events =
        ReadAll(std::vector<uint8_t>(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size)), &cut);
    EXPECT_LE(events, whole.events) << size;
    // A finalized file declares every block whole: whatever opens of a cut is damaged.
    if (!unfinalized && cut.events != -1) {
      EXPECT_TRUE(cut.damaged) << size;
    }
  }
}

TEST_P(ReaderDamage, EverySingleByteFlip) {
  const std::vector<uint8_t> image = test::LoggerFileBuilder(GetParam()).Build();
  Reading whole;
  ReadAll(image, &whole);
  for (size_t at = 0; at < image.size(); ++at) {
    std::vector<uint8_t> damaged = image;
    damaged[at] ^= 0xFF;
    Reading read;
    ReadAll(damaged, &read);
    // Events of every kind, or damage to tell why not.
    if (read.events >= 0 && !read.damaged) {
      EXPECT_EQ(read.kinds, whole.kinds);
    }
    if (HasFailure()) {
      ADD_FAILURE() << "flip at " << at;
      return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FinalizedAndNot, ReaderDamage, testing::Bool());

}  // namespace
