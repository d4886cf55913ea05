// What a damaged length or count in a file may cost while reading: never more time or
// memory than the bytes the file holds can justify, and the same result whatever stream
// the file is read from.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cg4block.h"
#include "channelobserver.h"
#include "cn4block.h"
#include "dg4block.h"
#include "mdf/isampleobserver.h"
#include "mdfblock.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

namespace {

using test::Bytes;

class Counter : public mdf::ISampleObserver {
 public:
  explicit Counter(mdf::IDataGroup& group) : ISampleObserver(group) {
    DoOnSample = [this](uint64_t, uint64_t, const std::vector<uint8_t>&) {
      ++records;
      return true;
    };
  }
  uint64_t records = 0;
};

// A zipped block whose lengths claim far more than the file: 2^56 block bytes, 2^52
// compressed, 2^60 original (a ratio deflate could reach). Records of 21 bytes without id.
test::FileImage LyingZippedBlock() {
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().Id(0).Cycles(uint64_t{1} << 60).DataBytes(21)));
  image.Place(1024, Bytes()
                        .Raw("##DZ")
                        .Zeros(4)
                        .U64(uint64_t{1} << 56)
                        .U64(0)
                        .Text("DT", 2)
                        .U8(0)
                        .U8(0)
                        .U32(0)
                        .U64(uint64_t{1} << 60)
                        .U64(uint64_t{1} << 52)
                        .Zeros(64));
  return image;
}

TEST(ReadBounds, ZippedBlockBeyondTheFileEndsTheStream) {
  const test::FileImage image = LyingZippedBlock();
  {  // Without observers every record would be skipped without inflating anything.
    test::LoadedGroup file(image);
    test::LogCapture log;
    EXPECT_FALSE(file.group.ReadData(file.buffer)) << "the read that ends at damage fails";
    EXPECT_EQ(file.Cg(0).SampleCounter(), 0U);
    EXPECT_TRUE(log.Contains("Parse of record failed. Error: End of file detected."));
  }
  {
    test::LoadedGroup file(image);
    Counter counter(file.group);
    file.group.ReadData(file.buffer);
    EXPECT_EQ(counter.records, 0U);
  }
  {
    test::LoadedGroup file(image);
    std::vector<mdf::detail::DataBlock*> blocks;
    file.group.CollectDataBlocks(blocks);
    EXPECT_TRUE(file.group.CountRecords(file.buffer, blocks, true, false));
    EXPECT_EQ(file.Cg(0).NofSamples(), 0U) << "no record lies in the file";
  }
}

// A zipped block is inflated when the stream enters it, also by skipping: a block whose
// bytes do not inflate to its claimed length is never passed over as records.
TEST(ReadBounds, SkippedZippedBlockIsInflated) {
  const std::vector<uint8_t> records(40, 7);
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().Id(0).Cycles(1000).DataBytes(4)));
  image.Place(1024, test::ZippedBlock("DT", 0, 0, 4000, test::Deflated(records)));  // claims 100x
  test::LoadedGroup file(image);
  test::LogCapture log;
  file.group.ReadData(file.buffer);
  EXPECT_EQ(file.Cg(0).SampleCounter(), 0U);
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: "));
}

// A cycle count far beyond the data: converted values cover the samples the observer can
// hold, not the count.
TEST(ReadBounds, ConvertedValuesFollowTheHeldSamples) {
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 400, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().FirstCn(232).Id(0).Cycles(uint64_t{1} << 60).DataBytes(4)));
  test::CnFields cn;
  cn.bit_count = 32;
  image.Place(232, test::ChannelBlock(cn));
  image.Place(400, test::PlainBlock("##DT", Bytes().U32(11).U32(22).U32(33)));
  test::LoadedGroup file(image);
  auto& group = *file.group.Cg4List()[0];
  group.ReadCnList(file.buffer);
  mdf::detail::ChannelObserver<uint32_t> observer(file.group, group, *group.Cn4List()[0]);
  file.group.ReadData(file.buffer);
  EXPECT_EQ(observer.NofSamples(), uint64_t{1} << 60) << "the declared count";
  EXPECT_EQ(observer.NofHeldSamples(), 3U) << "what the 12 data bytes hold";
  std::vector<double> values;
  const auto valid = observer.ConvertedValues(values);
  EXPECT_EQ(values, (std::vector<double>{11, 22, 33}));
  EXPECT_EQ(valid, (std::vector<bool>{true, true, true}));
}

// A list that names a block beyond the end of the file has lost that block's records.
TEST(ReadBounds, ListLinkBeyondTheFileIsLogged) {
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().FirstCn(232).Id(0).Cycles(4).DataBytes(1)));
  image.Place(232, test::MemberChannel(0, 400));
  image.Place(400, test::TextBlock("Value"));
  image.Place(1024, test::DataList(0, {2048, 9000}, {0, 2}));
  image.Place(2048, test::PlainBlock("##DT", {1, 2}));
  test::LogCapture log;
  test::LoadedGroup file(image);
  EXPECT_EQ(file.group.DataSize(), 2U);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
  EXPECT_NE(log.entries[0].text.find("Expected: a data block, Found: ,"), std::string::npos) << log.entries[0].text;
  EXPECT_TRUE(file.group.ReadData(file.buffer)) << "the records that exist read whole";
}

// A list that names one block twice delivers its records twice: the observer, sized by
// the distinct bytes of the file, grows to hold them.
TEST(ReadBounds, BlockListedTwiceIsReadTwice) {
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().FirstCn(232).Id(0).Cycles(6).DataBytes(4)));
  test::CnFields cn;
  cn.bit_count = 32;
  image.Place(232, test::ChannelBlock(cn));
  image.Place(1024, test::DataList(0, {2048, 2048}, {0, 12}));
  image.Place(2048, test::PlainBlock("##DT", Bytes().U32(11).U32(22).U32(33)));
  test::LoadedGroup file(image);
  ASSERT_EQ(file.group.RecordBytesInFile(), std::optional<uint64_t>(12));
  auto& group = *file.group.Cg4List()[0];
  group.ReadCnList(file.buffer);
  mdf::detail::ChannelObserver<uint32_t> observer(file.group, group, *group.Cn4List()[0]);
  EXPECT_EQ(observer.NofSlots(), 3U) << "sized by the bytes the file holds";
  EXPECT_TRUE(file.group.ReadData(file.buffer));
  uint64_t value = 0;
  EXPECT_TRUE(observer.GetSampleUnsigned(5, value, 0));
  EXPECT_EQ(value, 33U);
  EXPECT_EQ(observer.NofHeldSamples(), 6U);
}

// The rest of a fixed text is passed over up to the end of the stream, never beyond it.
TEST(ReadBounds, FixedTextNeverSeeksPastTheStream) {
  test::MemoryBuffer buffer(Bytes().Raw("ab").U8(0).Raw("cdef").Data());
  std::string text;
  mdf::detail::ReadFixedText(buffer, text, static_cast<size_t>(5'800'000'000'000'000'000ULL));
  EXPECT_EQ(text, "ab");
  EXPECT_EQ(mdf::detail::GetStreamPosition(buffer), 7);

  mdf::detail::SetStreamPosition(buffer, 0);
  mdf::detail::ReadFixedText(buffer, text, 5);
  EXPECT_EQ(text, "ab");
  EXPECT_EQ(mdf::detail::GetStreamPosition(buffer), 5) << "a field inside the stream is passed over whole";
}

}  // namespace
