// Zipped data of the MDF 4 writer: which HL, DL, DZ and DT blocks the passes leave, as the
// reader finds them in the file.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf4writer.h"
#include "support/bytes.h"
#include "support/memorybuffer.h"
#include "support/tempdir.h"
#include "support/writerkit.h"
#include "support/writerlayout.h"

namespace {

using mdf::WriterState;
using test::MemoryBuffer;
using Probe = test::WriterProbe<mdf::detail::Mdf4Writer>;

/// A compressing writer whose data group holds one group of `record_bytes`-byte records.
struct BlobCycle {
  explicit BlobCycle(uint64_t record_bytes) {
    writer.Init(buffer);
    writer.CompressData(true);
    writer.WorkPeriod(test::kWaitingWorker);
    group = writer.CreateDataGroup()->CreateChannelGroup();
    blob = test::AddChannel(*group, "Blob", 10, record_bytes);
    EXPECT_TRUE(writer.InitMeasurement());
    writer.StartMeasurement(test::kStartNs);
  }
  static std::vector<uint8_t> Value(uint64_t i, uint64_t size) { return test::Pattern(size, static_cast<uint8_t>(i)); }
  void Save(uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      blob->SetValueFromBytes(Value(saved, blob->DataBytes()), true, 0);
      writer.SaveSample(*group, test::SampleTime(saved++));
    }
  }
  bool Finalize() {
    writer.StopMeasurement(UINT64_MAX);
    return writer.FinalizeMeasurement();
  }
  /// Every record read back equals what was saved.
  void ExpectValues() const {
    const test::ReadBack read(buffer->Bytes());
    ASSERT_TRUE(read.Ok());
    const mdf::IChannelObserver* observer = read.Observer(0, "Blob");
    ASSERT_NE(observer, nullptr);
    ASSERT_EQ(observer->NofSamples(), saved);
    for (uint64_t i = 0; i < saved; ++i) {
      std::vector<uint8_t> bytes;
      EXPECT_TRUE(observer->GetSampleByteArray(i, bytes));
      if (bytes != Value(i, blob->DataBytes())) {
        ADD_FAILURE() << "sample " << i << " differs";
        break;
      }
    }
  }

  std::shared_ptr<MemoryBuffer> buffer = std::make_shared<MemoryBuffer>();
  Probe writer;
  mdf::IChannelGroup* group = nullptr;
  mdf::IChannel* blob = nullptr;
  uint64_t saved = 0;
};

TEST(CompressedWriter, SmallRestsArePlainLargerOnesZipped) {
  struct Case {
    uint64_t record_bytes;
    uint64_t count;
    test::DataBlockEntry block;
  };
  for (const Case& c : {Case{40, 10, {"DZ", 400, 0}}, Case{30, 2, {"DT", 60, 0}}, Case{50, 2, {"DT", 100, 0}},
                        Case{101, 1, {"DZ", 101, 0}}}) {
    SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.record_bytes));
    BlobCycle cycle(c.record_bytes);
    cycle.Save(c.count);
    ASSERT_TRUE(cycle.Finalize());
    const test::ListLayout layout = test::ReadListLayout(cycle.buffer->Bytes());
    ASSERT_EQ(layout.size(), 1U);
    ASSERT_EQ(layout[0].size(), 1U);
    EXPECT_EQ(layout[0][0].type, c.block.type);
    EXPECT_EQ(layout[0][0].size, c.block.size);
    EXPECT_EQ(layout[0][0].offset, c.block.offset);
    cycle.ExpectValues();
  }
}

TEST(CompressedWriter, APassWaitsForTwoBlocksWorth) {
  BlobCycle cycle(40);
  cycle.Save(10);
  EXPECT_EQ(cycle.writer.EstimatedBlocks(), 1U);
  const size_t written = cycle.buffer->Bytes().size();
  cycle.writer.RunPass(WriterState::kStartMeas);
  EXPECT_EQ(cycle.writer.QueuedTimes().size(), 10U) << "the queue is left as it was";
  EXPECT_EQ(cycle.writer.QueuedBytes(), 400U);
  EXPECT_EQ(cycle.buffer->Bytes().size(), written) << "nothing written";
  ASSERT_TRUE(cycle.Finalize());
  cycle.ExpectValues();
}

TEST(CompressedWriter, BlocksCloseBeforeTheirSizeLimitAndListTheirOffsets) {
  BlobCycle cycle(1000);
  cycle.Save(9000);  // 9,000,000 bytes
  ASSERT_TRUE(cycle.Finalize());
  const test::ListLayout layout = test::ReadListLayout(cycle.buffer->Bytes());
  ASSERT_EQ(layout.size(), 1U);
  ASSERT_EQ(layout[0].size(), 3U);
  uint64_t offset = 0;
  for (const test::DataBlockEntry& block : layout[0]) {
    EXPECT_EQ(block.type, "DZ");
    EXPECT_LT(block.size, mdf::detail::Mdf4Writer::kMaxBlockSize);
    EXPECT_EQ(block.offset, offset);
    offset += block.size;
  }
  EXPECT_EQ(layout[0][0].size, 3'999'000U) << "one more record would reach 4,000,000";
  EXPECT_EQ(offset, 9'000'000U);
  cycle.ExpectValues();
}

TEST(CompressedWriter, ARunningPassLeavesWhatFillsNoWholeBlockForTheNext) {
  BlobCycle cycle(1000);
  cycle.Save(9000);
  EXPECT_EQ(cycle.writer.EstimatedBlocks(), 3U);
  cycle.writer.RunPass(WriterState::kStartMeas);
  // At the second block boundary 1,001,000 bytes were left behind the record there: it
  // is put back, and they wait with it.
  EXPECT_EQ(cycle.writer.QueuedTimes().size(), 1002U);
  EXPECT_EQ(cycle.writer.QueuedBytes(), 1'002'000U);
  cycle.Save(500);
  ASSERT_TRUE(cycle.Finalize());

  const test::ListLayout layout = test::ReadListLayout(cycle.buffer->Bytes());
  ASSERT_EQ(layout.size(), 2U) << "one data list per pass";
  ASSERT_EQ(layout[0].size(), 2U);
  EXPECT_EQ(layout[0][0].offset, 0U);
  EXPECT_EQ(layout[0][1].offset, 3'999'000U);
  ASSERT_EQ(layout[1].size(), 1U);
  EXPECT_EQ(layout[1][0].offset, 7'998'000U) << "the second list goes on from the first";
  EXPECT_EQ(layout[1][0].size, 1'502'000U);
  cycle.ExpectValues();

  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  const test::CheckResult check = test::RunMdf4Check(tool, "", dir.Write("lists.mf4", cycle.buffer->Bytes()));
  EXPECT_EQ(check.status, 0) << check.output;
}

TEST(CompressedWriter, ARecordAsLargeAsABlockFormsABlockOfItsOwn) {
  BlobCycle cycle(4'500'000);
  cycle.Save(2);
  ASSERT_TRUE(cycle.Finalize());
  const test::ListLayout layout = test::ReadListLayout(cycle.buffer->Bytes());
  ASSERT_EQ(layout.size(), 1U);
  ASSERT_EQ(layout[0].size(), 2U) << "never an empty block in front of it";
  for (const test::DataBlockEntry& block : layout[0]) {
    EXPECT_EQ(block.type, "DZ");
    EXPECT_EQ(block.size, 4'500'000U);
  }
  EXPECT_EQ(layout[0][1].offset, 4'500'000U);
  cycle.ExpectValues();
}

}  // namespace
