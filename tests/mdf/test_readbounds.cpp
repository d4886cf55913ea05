// What a damaged length or count in a file may cost while reading: never more time or
// memory than the bytes the file holds can justify, and the same result whatever stream
// the file is read from.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cg4block.h"
#include "channelobserver.h"
#include "cn4block.h"
#include "damage.h"
#include "dg4block.h"
#include "dz4block.h"
#include "mdf/filedamage.h"
#include "mdf/isampleobserver.h"
#include "mdfblock.h"
#include "sr4block.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/deflate.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "zlibutil.h"

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

// Records of 4 bytes without id, byte i of the stream i % 251, in one zipped block of the
// given zip type (4 columns when transposed), which may be changed before it is placed.
test::FileImage OneZippedBlock(uint64_t size, uint8_t zip_type,
                               const std::function<void(std::vector<uint8_t>&)>& change = {}) {
  std::vector<uint8_t> payload(size);
  for (uint64_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i % 251);
  if (zip_type == 1) mdf::detail::TransposeBytes(payload, 4);
  std::vector<uint8_t> compressed = test::Deflated(payload);
  if (change) change(compressed);
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().Id(0).Cycles(size / 4).DataBytes(4)));
  image.Place(1024, test::ZippedBlock("DT", zip_type, zip_type == 1 ? 4 : 0, size, compressed));
  return image;
}

// Counts the records and checks their bytes against the stream's pattern.
class PatternChecker : public mdf::ISampleObserver {
 public:
  explicit PatternChecker(mdf::IDataGroup& group) : ISampleObserver(group) {
    DoOnSample = [this](uint64_t sample, uint64_t, const std::vector<uint8_t>& record) {
      for (uint64_t i = 0; i < record.size(); ++i) right = right && record[i] == (sample * 4 + i) % 251;
      ++records;
      return true;
    };
  }
  uint64_t records = 0;
  bool right = true;
};

// Caps this process's address space at what it maps now and `room` more; false where the
// sanitizers, which reserve far more than any cap, are built in.
bool CapAddressSpace(uint64_t room) {
#if defined(__SANITIZE_ADDRESS__)
  (void)room;
  return false;
#else
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  const uint64_t cap = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + room;
  const rlimit limit{cap, cap};
  return setrlimit(RLIMIT_AS, &limit) == 0;
#endif
}

// A zipped block longer than a reader holds whole is inflated piece by piece as its records
// are read: its 64 MiB are read whole with 24 MiB of room. A damaged stream shows only at its
// end: no record of it is handed on before that end is checked. A transposed block must be
// held whole to be undone, so one that long is not read.
TEST(ReadBounds, ALongZippedBlockIsReadInBoundedPieces) {
  constexpr uint64_t kLong = uint64_t{64} << 20;
  static_assert(kLong > mdf::detail::Dz4Block::kMaxWholeInflate);
  {
    test::LoadedGroup file(OneZippedBlock(kLong, 0));
    PatternChecker checker(file.group);
    EXPECT_EXIT(
        {
          CapAddressSpace(uint64_t{24} << 20);
          const bool read = file.group.ReadData(file.buffer);
          std::_Exit(read && checker.records == kLong / 4 && checker.right ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
  constexpr uint64_t kShort = mdf::detail::Dz4Block::kMaxWholeInflate + 4096;
  {
    // The stream's check value is wrong: its bytes are all there, but do not hold.
    test::LoadedGroup file(OneZippedBlock(kShort, 0, [](std::vector<uint8_t>& zipped) { zipped.back() ^= 1; }));
    PatternChecker checker(file.group);
    test::LogCapture log;
    EXPECT_FALSE(file.group.ReadData(file.buffer));
    EXPECT_EQ(checker.records, 0U);
    EXPECT_TRUE(log.Contains("Parse of record failed. Error: Failed to inflate DZ block"));
  }
  {
    test::LoadedGroup file(OneZippedBlock(kShort, 1));
    PatternChecker checker(file.group);
    test::LogCapture log;
    EXPECT_FALSE(file.group.ReadData(file.buffer));
    EXPECT_EQ(checker.records, 0U);
    EXPECT_TRUE(log.Contains("Parse of record failed. Error: Transposed DZ block too long to inflate. Block: 0x400"));
  }
  {
    // Up to the bound, a transposed block is read as before.
    test::LoadedGroup file(OneZippedBlock(mdf::detail::Dz4Block::kMaxWholeInflate, 1));
    PatternChecker checker(file.group);
    EXPECT_TRUE(file.group.ReadData(file.buffer));
    EXPECT_EQ(checker.records, mdf::detail::Dz4Block::kMaxWholeInflate / 4);
    EXPECT_TRUE(checker.right);
  }
}

// Memory that runs short while records are read is no damage of the file: it is logged as
// what it is, and noted for the file, so that no caller takes the read for the whole file.
TEST(ReadBounds, MemoryRunningShortIsReportedAsSuchNotAsDamage) {
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  image.Place(128, test::CgBlock(test::CgFields().Id(0).Cycles(10).DataBytes(4)));
  image.Place(1024, test::PlainBlock("##DT", std::vector<uint8_t>(40, 1)));
  test::LoadedGroup file(image);
  Counter counter(file.group);
  counter.DoOnSample = [&counter](uint64_t, uint64_t, const std::vector<uint8_t>&) -> bool {
    if (++counter.records == 3) throw std::bad_alloc();
    return true;
  };
  mdf::FileDamage record;
  {
    const mdf::detail::DamageScope scope(record);
    test::LogCapture log;
    EXPECT_FALSE(file.group.ReadData(file.buffer));
    EXPECT_TRUE(log.Contains("Out of memory while reading the records."));
    EXPECT_FALSE(log.Contains("Parse of record failed"));
  }
  EXPECT_TRUE(record.met);
  EXPECT_TRUE(record.out_of_memory);
  EXPECT_EQ(record.first, "Out of memory while reading the records.");
}

// A data group of one record whose VLSD channel finds its signal data at 1024; a reduction
// of the group keeps its data right after them when `reduction` is given.
test::FileImage SignalDataGroup(const Bytes& signal, const std::optional<Bytes>& reduction = std::nullopt) {
  test::CnFields channel;
  channel.type = 1;
  channel.data_type = 10;
  channel.bit_count = 32;
  channel.links[5] = 1024;
  const auto after = static_cast<int64_t>(1024 + (signal.Data().size() + 7) / 8 * 8);
  test::FileImage image;
  image.Place(64, test::DgBlock(0, 128, 512, 0, 0));
  image.Place(128,
              test::CgBlock(test::CgFields().FirstCn(232).FirstSr(reduction ? 448 : 0).Id(0).Cycles(1).DataBytes(4)));
  image.Place(232, test::ChannelBlock(channel));
  image.Place(512, test::PlainBlock("##DT", Bytes().U32(0)));
  image.Place(1024, signal);
  if (reduction) {
    image.Place(448, test::SrBlock(0, after, 1, 0.5, 1, 0));
    image.Place(after, *reduction);
  }
  return image;
}

// Stored bytes of a zipped block whose original length is `length`: as few as deflate allows.
std::vector<uint8_t> FewestStoredBytes(uint64_t length) {
  return std::vector<uint8_t>(length / mdf::detail::Dz4Block::kMaxInflateRatio + 1);
}

struct ReadOutcome {
  bool read = false;
  std::vector<uint8_t> value;
  mdf::FileDamage damage;
};

ReadOutcome ReadSignalDataGroup(test::LoadedGroup& file) {
  auto& group = *file.group.Cg4List()[0];
  group.ReadCnList(file.buffer);
  group.ReadSrList(file.buffer);
  mdf::detail::ChannelObserver<std::vector<uint8_t>> observer(file.group, group, *group.Cn4List()[0]);
  ReadOutcome outcome;
  const mdf::detail::DamageScope scope(outcome.damage);
  outcome.read = file.group.ReadData(file.buffer);
  observer.GetSampleByteArray(0, outcome.value);
  return outcome;
}

// Zipped signal and reduction data are held whole while the records are read: what they
// claim to inflate to is taken from one budget per read, before any memory is sized from it.
// A claim past it is damage, told by its block and length, never an allocation that size.
TEST(ReadBounds, ZippedSignalDataIsHeldWithinTheBudget) {
  const std::vector<uint8_t> entry = Bytes().U32(3).Raw("xyz");
  {
    test::LoadedGroup file(SignalDataGroup(test::ZippedBlock("SD", 0, 0, entry.size(), test::Deflated(entry))));
    const ReadOutcome outcome = ReadSignalDataGroup(file);
    EXPECT_TRUE(outcome.read);
    EXPECT_EQ(outcome.value, std::vector<uint8_t>({'x', 'y', 'z'}));
    EXPECT_FALSE(outcome.damage.met) << outcome.damage.first;
  }
  // 256 MiB claimed by a file of about 250 KiB, read with 48 MiB of room.
  constexpr uint64_t kClaim = uint64_t{256} << 20;
  const auto claimed = test::ZippedBlock("SD", 0, 0, kClaim, FewestStoredBytes(kClaim));
  for (const bool as_reduction : {false, true}) {
    test::LoadedGroup file(
        as_reduction ? SignalDataGroup(test::ZippedBlock("SD", 0, 0, entry.size(), test::Deflated(entry)), claimed)
                     : SignalDataGroup(claimed));
    const std::string line = as_reduction ? "Zipped sample reduction data too long to hold. Block: 0x"
                                          : "Zipped signal data too long to hold. Block: 0x400, Length: 268435456";
    EXPECT_EXIT(
        {
          CapAddressSpace(uint64_t{48} << 20);
          test::LogCapture log;
          const ReadOutcome outcome = ReadSignalDataGroup(file);
          const bool held = as_reduction ? outcome.read && outcome.value.size() == 3 : outcome.value.empty();
          std::_Exit(held && log.Contains(line) && outcome.damage.met && !outcome.damage.out_of_memory &&
                             outcome.damage.first.find(line) != std::string::npos
                         ? 0
                         : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
  {
    // The reduction's 40 MiB are held when the signal data are loaded: 40 MiB more would pass
    // the budget of a small file.
    constexpr uint64_t kPart = uint64_t{40} << 20;
    std::vector<uint8_t> reduced(kPart);
    for (uint64_t i = 0; i < kPart; ++i) reduced[i] = static_cast<uint8_t>(i % 251);
    test::LoadedGroup file(SignalDataGroup(test::ZippedBlock("SD", 0, 0, kPart, FewestStoredBytes(kPart)),
                                           test::ZippedBlock("RD", 0, 0, kPart, test::Deflated(reduced))));
    const ReadOutcome outcome = ReadSignalDataGroup(file);
    EXPECT_EQ(file.group.Cg4List()[0]->Sr4List()[0]->ReductionData().size(), kPart);
    EXPECT_TRUE(outcome.value.empty());
    EXPECT_EQ(outcome.damage.first, "Zipped signal data too long to hold. Block: 0x400, Length: 41943040");
  }
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
