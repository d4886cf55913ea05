// The MDF4 sample reduction block: reduced values from RD data and from value and
// invalidation parts stored apart, loading, display.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "cg4block.h"
#include "sr4block.h"
#include "support/datablockfixtures.h"
#include "support/fakechannel.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

namespace {

using mdf::SrValue;
using mdf::detail::Cg4Block;
using mdf::detail::Sr4Block;
using test::Bytes;
using test::CgBlock;
using test::CgFields;
using test::FileImage;
using test::PlainBlock;

std::vector<uint8_t> Counting(size_t count) { return test::Sequence(0, count); }

// A group of 6 data bytes and 1 invalidation byte with one reduction at 256 whose data
// block lies at 512 (and, for a list, further blocks at 1024 and 2048).
struct Reduced {
  explicit Reduced(const FileImage& image) : buffer(image.Data()) {
    mdf::detail::SetStreamPosition(buffer, 64);
    group.Read(buffer);
    group.ReadSrList(buffer);
    reduction = group.Sr4List().at(0).get();
    reduction->ReadSrData(buffer);
    channel.data_type = 0;
    channel.bit_count = 8;
    channel.flags = 2;  // invalidation bit 0 of the byte after the 6 data bytes
    channel.record_data_bytes = 6;
  }
  test::MemoryBuffer buffer;
  Cg4Block group;
  Sr4Block* reduction = nullptr;
  test::FakeChannel channel;
};

FileImage ReducedFile(uint64_t nof_samples, const Bytes& data_block) {
  FileImage image;
  image.Place(64, CgBlock(CgFields().FirstSr(256).DataBytes(6).InvalidBytes(1)));
  image.Place(256, test::SrBlock(0, 512, nof_samples, 0.5, 1, 1));
  image.Place(512, data_block);
  return image;
}

TEST(Sr4Block, RecordsOfReductionData) {
  auto data = Counting(42);
  for (size_t record = 0; record < 6; ++record) data[record * 7 + 6] = 0;
  data[4 * 7 + 6] = 1;  // the minimum of sample 1 is invalid
  Reduced file(ReducedFile(2, PlainBlock("##RD", data)));
  EXPECT_EQ(file.reduction->ChannelGroup(), &file.group);
  ASSERT_EQ(file.reduction->ReductionData().size(), 42U);
  SrValue<uint64_t> value;
  file.reduction->GetChannelValue(file.channel, 1, 0, value);
  EXPECT_EQ(value.mean_value, 21U);
  EXPECT_EQ(value.min_value, 28U);
  EXPECT_EQ(value.max_value, 35U);
  EXPECT_TRUE(value.mean_valid);
  EXPECT_FALSE(value.min_valid);
  EXPECT_TRUE(value.max_valid);

  SrValue<double> beyond;
  beyond.mean_value = 9;
  file.reduction->GetChannelValue(file.channel, 7, 0, beyond);
  EXPECT_EQ(beyond.mean_value, 0.0) << "decoded from zeros";
  EXPECT_TRUE(beyond.max_valid);
  SrValue<int64_t> huge;
  file.reduction->GetChannelValue(file.channel, std::numeric_limits<uint64_t>::max(), 0, huge);
  EXPECT_EQ(huge.max_value, 0);
}

TEST(Sr4Block, ValueAndInvalidationPartsStoredApart) {
  // RV: 3 x 2 records of 6 bytes; RI: 6 invalidation bytes behind them.
  auto values = Counting(36);
  std::vector<uint8_t> invalid = {0, 0, 0, 0, 1, 0};
  FileImage image = ReducedFile(2, test::DataList(0, {1024, 2048}, {0, 36}));
  image.Place(1024, PlainBlock("##RV", values));
  image.Place(2048, PlainBlock("##RI", invalid));
  Reduced file(image);
  ASSERT_EQ(file.reduction->ReductionData().size(), 42U);
  SrValue<uint64_t> value;
  file.reduction->GetChannelValue(file.channel, 1, 0, value);
  EXPECT_EQ(value.mean_value, 18U);
  EXPECT_EQ(value.min_value, 24U) << "value bytes at 24";
  EXPECT_FALSE(value.min_valid) << "invalidation byte at 3 x 2 x 6 + 4 = 40";
  EXPECT_EQ(value.max_value, 30U);
  EXPECT_TRUE(value.max_valid);
}

TEST(Sr4Block, ZippedReductionData) {
  const auto data = Counting(42);
  Reduced file(ReducedFile(2, test::ZippedBlock("RD", 0, 0, data.size(), test::Deflated(data))));
  SrValue<int64_t> value;
  file.reduction->GetChannelValue(file.channel, 0, 0, value);
  EXPECT_EQ(value.max_value, 14);
  file.reduction->ClearData();
  EXPECT_TRUE(file.reduction->ReductionData().empty());
  value.max_value = -5;
  file.reduction->GetChannelValue(file.channel, 0, 0, value);
  EXPECT_EQ(value.max_value, -5) << "no data: the output is left alone";
}

TEST(Sr4Block, DamagedDataIsDroppedWithAnError) {
  auto compressed = test::Deflated(Counting(42));
  compressed[compressed.size() / 2] ^= 0x33;
  test::LogCapture log;
  Reduced broken(ReducedFile(2, test::ZippedBlock("RD", 0, 0, 42, compressed)));
  EXPECT_TRUE(broken.reduction->ReductionData().empty());
  EXPECT_TRUE(log.Contains("Failed to read the sample reduction data."));

  // An RD block claiming far more than the file holds is refused before allocating.
  log.entries.clear();
  Reduced beyond(ReducedFile(2, Bytes().Raw("##RD").Zeros(4).U64(24 + (1ULL << 40)).U64(0)));
  EXPECT_TRUE(beyond.reduction->ReductionData().empty());
  EXPECT_TRUE(log.Contains("Sample reduction data lies beyond the end of the file."));
}

TEST(Sr4Block, ForeignChannelReadsNothingOutsideTheRecord) {
  Reduced file(ReducedFile(2, PlainBlock("##RD", Counting(42))));
  file.channel.byte_offset = 100;
  SrValue<uint64_t> value;
  file.reduction->GetChannelValue(file.channel, 0, 0, value);
  EXPECT_FALSE(value.mean_valid);
  EXPECT_FALSE(value.max_valid);
}

TEST(Sr4Block, FieldsAndDisplayRows) {
  Reduced file(ReducedFile(2, PlainBlock("##RD", Counting(42))));
  EXPECT_EQ(file.reduction->NofSamples(), 2U);
  EXPECT_EQ(file.reduction->Interval(), 0.5);
  EXPECT_EQ(test::LabelValueTexts(test::Rows(*file.reduction), test::kHeaderRows),
            (std::vector<std::string>{"Links=", "Next SR=0x0", "Data=0x200", "=", "Information=", "Samples=2",
                                      "Length=0.5", "Sync Type=Timer", "Flags=Invalid"}));
  const auto sync_text = [&file](uint8_t sync_type) {
    file.reduction->SyncType(sync_type);
    return test::Rows(*file.reduction)[13].value;
  };
  EXPECT_EQ(sync_text(0), "");
  EXPECT_EQ(sync_text(4), "Index");
  EXPECT_EQ(sync_text(7), "Unknown");
}

TEST(Sr4Block, DoubleToText) {
  EXPECT_EQ(mdf::detail::DoubleToText(0.1), "0.1");
  EXPECT_EQ(mdf::detail::DoubleToText(1e-7), "1e-07");
  EXPECT_EQ(mdf::detail::DoubleToText(123456789.0), "1.23457e+08");
  EXPECT_EQ(mdf::detail::DoubleToText(100.0), "100");
}

TEST(Sr4Block, OnlyBlocksReadFromAFileAreWritten) {
  test::MemoryBuffer buffer(std::vector<uint8_t>(64, 0));
  Sr4Block fresh;
  EXPECT_THROW(fresh.Write(buffer), std::runtime_error);
  EXPECT_EQ(buffer.Bytes().size(), 64U) << "nothing written";
}

TEST(Sr4Block, FactoryReadsAChainOfReductions) {
  FileImage image;
  image.Place(256, test::SrBlock(512, 0, 1, 1.0, 1, 0));
  image.Place(512, test::SrBlock(0, 0, 2, 2.0, 1, 0));
  test::MemoryBuffer buffer(image.Data());
  test::ListOwner owner({256}, "##CG");  // link 0 leads to a chain of sample reductions
  owner.ReadBlockList(buffer, 0);
  ASSERT_EQ(owner.DataBlockList().size(), 2U);
  const auto* second = dynamic_cast<const Sr4Block*>(owner.DataBlockList()[1].get());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->NofSamples(), 2U);
}

}  // namespace
