#include <gtest/gtest.h>

#include "idblock.h"
#include "support/image.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using mdf::detail::IdBlock;
using test::Bytes;
using test::MemoryBuffer;

namespace {

std::vector<uint8_t> IdBytes(const std::string& file_id, const std::string& format_id, uint16_t version,
                             uint16_t standard_flags = 0, uint16_t custom_flags = 0) {
  return test::IdentificationBlock(file_id, format_id, version, "MdfWrite", standard_flags, custom_flags);
}

std::vector<std::pair<std::string, std::string>> Rows(const IdBlock& block) {
  return test::LabelsAndValues(test::Rows(block), test::kHeaderRows);
}

TEST(IdBlock, NewBlockWritesSixtyFourBytesAtOffsetZeroOnce) {
  MemoryBuffer buffer(std::string(100, 'x'));
  buffer.pubseekpos(77);
  IdBlock block;
  EXPECT_EQ(block.FilePosition(), -1);
  EXPECT_EQ(block.Write(buffer), 64U);
  EXPECT_EQ(block.FilePosition(), 0);
  std::vector<uint8_t> expected = IdBytes("MDF     ", "4.20", 420);
  expected.resize(100, 'x');
  EXPECT_EQ(buffer.Bytes(), expected);

  buffer.SetCapacity(0);  // a second write must not touch the stream
  EXPECT_EQ(block.Write(buffer), 64U);
}

TEST(IdBlock, Mdf3Defaults) {
  IdBlock block;
  block.SetMdf3Defaults();
  MemoryBuffer buffer;
  block.Write(buffer);
  const std::vector<uint8_t> expected =
      Bytes().Raw("MDF     ").Text("3.30", 8).Raw("MdfWrite").U16(0).U16(0).U16(330).U16(65001).Zeros(32);
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(block.VersionString(), "3.30");
}

TEST(IdBlock, ReadsFinalizationState) {
  IdBlock block;
  uint16_t standard = 0;
  uint16_t custom = 0;
  MemoryBuffer unfinalized(IdBytes("UnFinMF ", "4.11", 411, 0x7F, 0x1234));
  EXPECT_EQ(block.Read(unfinalized), 64U);
  EXPECT_EQ(block.FileId(), "UnFinMF");
  EXPECT_FALSE(block.IsFinalized(standard, custom));
  EXPECT_EQ(standard, 0x7F);
  EXPECT_EQ(custom, 0x1234);
  EXPECT_EQ(block.Version(), 411);
  EXPECT_EQ(block.VersionString(), "4.11");
  EXPECT_EQ(block.ProgramId(), "MdfWrite");
  EXPECT_EQ(block.FilePosition(), 0);

  MemoryBuffer finalized(IdBytes("MDF     ", "4.20", 420));
  block.Read(finalized);
  EXPECT_EQ(block.FileId(), "MDF");
  EXPECT_TRUE(block.IsFinalized(standard, custom));
}

TEST(IdBlock, EveryFlagIsListed) {
  IdBlock block;
  MemoryBuffer buffer(IdBytes("UnFinMF ", "4.11", 411, 0x7F, 3));
  block.Read(buffer);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Information", ""},
      {"File ID", "UnFinMF"},
      {"Version", "4.11"},
      {"Program", "MdfWrite"},
      {"Version Number", "411"},
      {"Update CG count", "True"},
      {"Update SR Count", "True"},
      {"Update length of last DT Block", "True"},
      {"Update length of last RD Block", "True"},
      {"Update length of last DL Block", "True"},
      {"Update length of data VLSD Block", "True"},
      {"Update length of offset VLSD Block", "True"},
      {"Custom Flags", "3"},
  };
  EXPECT_EQ(Rows(block), expected);

  MemoryBuffer some(IdBytes("UnFinMF ", "4.11", 411, 0x05));
  block.Read(some);
  const auto rows = Rows(block);
  ASSERT_EQ(rows.size(), 7U);
  EXPECT_EQ(rows[5].first, "Update CG count");
  EXPECT_EQ(rows[6].first, "Update length of last DT Block");
}

TEST(IdBlock, SetFinalizedPatchesOnlyIdAndFlags) {
  std::vector<uint8_t> original = IdBytes("UnFinMF ", "4.11", 411, 0x05, 0x02);
  original[40] = 0xEE;  // a reserved byte that must survive
  MemoryBuffer buffer(original);
  IdBlock block;
  block.Read(buffer);
  block.SetFinalized(true, buffer, 0x05, 0x02);
  std::vector<uint8_t> expected = original;
  std::copy_n("MDF     ", 8, expected.begin());
  std::fill(expected.begin() + 60, expected.end(), 0);
  EXPECT_EQ(buffer.Bytes(), expected);
  uint16_t standard = 1;
  uint16_t custom = 1;
  EXPECT_TRUE(block.IsFinalized(standard, custom));
  EXPECT_EQ(standard, 0);
  EXPECT_EQ(custom, 0);

  IdBlock fresh;
  MemoryBuffer untouched;
  fresh.SetFinalized(false, untouched, 0x04, 0);
  EXPECT_TRUE(untouched.Bytes().empty());
  EXPECT_FALSE(fresh.IsFinalized(standard, custom));
  fresh.Write(untouched);
  EXPECT_EQ(untouched.Bytes(), IdBytes("UnFinMF ", "4.20", 420, 0x04));
}

TEST(IdBlock, SetMinorVersion) {
  const std::vector<std::tuple<int, std::string, uint16_t>> cases = {
      {11, "4.11", 411}, {0, "4.00", 400}, {120, "4.20", 420}, {7, "4.70", 470}, {-3, "4.00", 400}, {105, "4.5", 405},
  };
  for (const auto& [minor, text, number] : cases) {
    IdBlock block;
    block.SetMinorVersion(minor);
    EXPECT_EQ(block.VersionString(), text) << minor;
    EXPECT_EQ(block.Version(), number) << minor;
  }
  IdBlock mdf3;
  mdf3.SetMdf3Defaults();
  mdf3.SetMinorVersion(10);
  EXPECT_EQ(mdf3.VersionString(), "3.10");
  EXPECT_EQ(mdf3.Version(), 310);
}

TEST(IdBlock, BigEndianMdf3ReadsSwapped) {
  const std::vector<uint8_t> bytes = Bytes()
                                         .Raw("MDF     ")
                                         .Text("3.00", 8)
                                         .Text("OLDTOOL", 8)
                                         .U16Be(1)
                                         .U16Be(0)
                                         .U16Be(300)
                                         .U16Be(1252)
                                         .Zeros(28)
                                         .U16Be(0)
                                         .U16Be(0x0102);
  MemoryBuffer buffer(bytes);
  IdBlock block;
  block.Read(buffer);
  EXPECT_TRUE(block.IsBigEndian());
  EXPECT_EQ(block.Version(), 300);
  EXPECT_EQ(block.CodePage(), 1252);
  EXPECT_EQ(block.CustomFlags(), 0x0102);

  const auto rows = Rows(block);
  ASSERT_GE(rows.size(), 8U);
  EXPECT_EQ(rows[4], std::make_pair(std::string("Byte Order"), std::string("Big Endian")));
  EXPECT_EQ(rows[5], std::make_pair(std::string("Version Number"), std::string("300")));
  EXPECT_EQ(rows[6], std::make_pair(std::string("Code Page"), std::string("1252")));
  EXPECT_EQ(rows[7], std::make_pair(std::string("Version Number"), std::string("300")));
}

TEST(IdBlock, TruncatedBlockFailsWithReadError) {
  const std::vector<uint8_t> valid = IdBytes("MDF     ", "4.20", 420);
  for (size_t size = 24; size < valid.size(); size += 3) {
    MemoryBuffer buffer(std::vector<uint8_t>(valid.begin(), valid.begin() + static_cast<long>(size)));
    IdBlock block;
    EXPECT_THROW(block.Read(buffer), std::ios_base::failure) << size;
  }
}

}  // namespace
