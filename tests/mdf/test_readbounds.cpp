// What a damaged length or count in a file may cost while reading: never more time or
// memory than the bytes the file holds can justify, and the same result whatever stream
// the file is read from.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
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
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/isampleobserver.h"
#include "mdf/mdfreader.h"
#include "mdfblock.h"
#include "sr4block.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/deflate.h"
#include "support/groupfixtures.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/loggerimage.h"
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

// A zipped block longer than a reader inflates at once is inflated piece by piece as its
// records are read: its 64 MiB are read whole with 24 MiB of room. A damaged stream shows only
// at its end: no record of it is handed on before that end is checked.
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
  {
    // The stream's check value is wrong: its bytes are all there, but do not hold.
    constexpr uint64_t kShort = mdf::detail::Dz4Block::kMaxWholeInflate + 4096;
    test::LoadedGroup file(OneZippedBlock(kShort, 0, [](std::vector<uint8_t>& zipped) { zipped.back() ^= 1; }));
    PatternChecker checker(file.group);
    test::LogCapture log;
    EXPECT_FALSE(file.group.ReadData(file.buffer));
    EXPECT_EQ(checker.records, 0U);
    EXPECT_TRUE(log.Contains("Parse of record failed. Error: Failed to inflate DZ block"));
  }
}

// A transposed block must be held whole to be undone: it is, whatever its length. Records
// that deflate well (17 MiB of them in a file of 40 KB) are records, not damage.
TEST(ReadBounds, ATransposedBlockIsReadWholeWhateverItsLength) {
  for (const uint64_t size : {mdf::detail::Dz4Block::kMaxWholeInflate, uint64_t{17} << 20}) {
    SCOPED_TRACE(size);
    test::LoadedGroup file(OneZippedBlock(size, 1));
    PatternChecker checker(file.group);
    test::LogCapture log;
    EXPECT_TRUE(file.group.ReadData(file.buffer));
    EXPECT_EQ(checker.records, size / 4);
    EXPECT_TRUE(checker.right);
    EXPECT_FALSE(log.Contains("Parse of record failed"));
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

// Zipped signal and reduction data are held whole while the records are read, whatever they
// inflate to: payloads that deflate a thousandfold (80 MiB in a file of 160 KB) are no damage.
TEST(ReadBounds, ZippedSignalAndReductionDataInflateToWhatTheyClaim) {
  constexpr uint64_t kLength = uint64_t{80} << 20;
  const std::vector<uint8_t> entry = Bytes().U32(3).Raw("xyz");
  std::vector<uint8_t> data(kLength);  // the entry, then entries of no bytes
  std::copy(entry.begin(), entry.end(), data.begin());
  const std::vector<uint8_t> deflated = test::Deflated(data);
  for (const bool as_reduction : {false, true}) {
    SCOPED_TRACE(as_reduction ? "reduction" : "signal data");
    test::LoadedGroup file(
        as_reduction ? test::SignalDataGroup(test::ZippedBlock("SD", 0, 0, entry.size(), test::Deflated(entry)),
                                             test::ZippedBlock("RD", 0, 0, kLength, deflated))
                     : test::SignalDataGroup(test::ZippedBlock("SD", 0, 0, kLength, deflated)));
    const test::SignalDataRead outcome = test::ReadSignalDataGroup(file);
    EXPECT_TRUE(outcome.read);
    EXPECT_EQ(outcome.value, std::vector<uint8_t>({'x', 'y', 'z'}));
    EXPECT_FALSE(outcome.damage.met) << outcome.damage.first;
    if (as_reduction) {
      EXPECT_EQ(file.group.Cg4List()[0]->Sr4List()[0]->ReductionData(), data);
    }
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

// The offsets of `count` blocks of 12 bytes each.
std::vector<uint64_t> Offsets(size_t count) {
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < count; ++i) offsets.push_back(12 * i);
  return offsets;
}

// A data block named twice below one data group, channel or reduction is damage: the file
// holds its bytes once, and they are read once, however many links repeat them (in one list,
// in lists of a chain, below a header list).
TEST(ReadBounds, ABlockNamedTwiceIsDamageAndReadOnce) {
  const auto dt = test::PlainBlock("##DT", Bytes().U32(11).U32(22).U32(33));
  const auto dt2 = test::PlainBlock("##DT", Bytes().U32(44));
  const struct {
    const char* name;
    std::vector<std::pair<size_t, Bytes>> lists;  // at 1024 the data link's target
    const char* first;
    std::vector<uint64_t> values;
  } cases[] = {
      {"one list",
       {{1024, test::DataList(0, {512, 512}, {0, 12})}},
       "Data block named twice. List: 0x400, Block: 0x200",
       {11, 22, 33}},
      {"one list, thousands of times",
       {{1024, test::DataList(0, std::vector<int64_t>(5000, 512), Offsets(5000))}},
       "Data block named twice. List: 0x400, Block: 0x200",
       {11, 22, 33}},
      {"a chain of lists",
       {{1024, test::DataList(1536, {512, 768}, {0, 12})}, {1536, test::DataList(0, {512}, {16})}},
       "Data block named twice. List: 0x600, Block: 0x200",
       {11, 22, 33, 44}},
      {"a header list",
       {{1024, test::HeaderList(1536)},
        {1536, test::DataList(1792, {512}, {0})},
        {1792, test::DataList(0, {768, 512}, {12, 16})}},
       "Data block named twice. List: 0x700, Block: 0x200",
       {11, 22, 33, 44}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::FileImage image;
    image.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
    image.Place(128, test::CgBlock(test::CgFields().FirstCn(232).Id(0).Cycles(c.values.size()).DataBytes(4)));
    test::CnFields cn;
    cn.bit_count = 32;
    image.Place(232, test::ChannelBlock(cn));
    for (const auto& [at, list] : c.lists) image.Place(at, list);
    image.Place(512, dt);
    image.Place(768, dt2);
    mdf::FileDamage damage;
    std::vector<uint64_t> values;
    {
      const mdf::detail::DamageScope scope(damage);
      test::LogCapture log;
      test::LoadedGroup file(image);
      auto& group = *file.group.Cg4List()[0];
      group.ReadCnList(file.buffer);
      mdf::detail::ChannelObserver<uint32_t> observer(file.group, group, *group.Cn4List()[0]);
      EXPECT_TRUE(file.group.ReadData(file.buffer)) << "every record read once";
      for (uint64_t i = 0; i < observer.NofHeldSamples(); ++i) {
        uint64_t value = 0;
        observer.GetSampleUnsigned(i, value, 0);
        values.push_back(value);
      }
      EXPECT_EQ(std::count_if(log.entries.begin(), log.entries.end(),
                              [](const auto& entry) { return entry.text.find("Data block named twice") == 0; }),
                1)
          << "one line however many repeats";
    }
    EXPECT_EQ(values, c.values);
    EXPECT_TRUE(damage.met);
    EXPECT_EQ(damage.first, c.first);
  }
}

// A file of one data group per entry of `groups`, each holding `refs` as its Timestamp's
// value-to-text references (all to one text of `text_bytes`), `channels` more channels whose
// comments all link one MD block of `md_bytes`, and, with `signal_bytes`, a frame channel whose
// member holds its one payload in signal data that every group links: one zipped SD block of
// that length, its first entry "xyz".
struct SharedBlocksFile {
  size_t groups = 1;
  size_t refs = 0;
  size_t text_bytes = 16;
  size_t channels = 0;
  size_t md_bytes = 16;
  uint64_t signal_bytes = 0;

  [[nodiscard]] std::vector<uint8_t> Build() const {
    std::vector<uint8_t> prefix;
    test::VectorOutput out(prefix);
    test::ImageWriter writer(out);
    writer.Identification("MDF     ", "4.11", 411, "QX", 0);
    const int64_t hd = writer.Header(1'600'000'000'000'000'000ULL, "", {test::ImageHistory{}});
    test::FileImage image{Bytes().Raw(prefix)};
    const int64_t name = image.Append(test::TextBlock("x"));
    const int64_t text = image.Append(test::TextBlock(std::string(text_bytes, 't')));
    const int64_t md =
        image.Append(test::MetaBlock("<CNcomment><TX>" + std::string(md_bytes, 'm') + "</TX></CNcomment>"));
    Bytes table;
    table.U8(7).U8(0).U16(0).U16(static_cast<uint16_t>(refs)).U16(static_cast<uint16_t>(refs - 1)).F64(0).F64(0);
    for (size_t i = 0; i + 1 < refs; ++i) table.F64(static_cast<double>(i));
    std::vector<int64_t> links(4, 0);
    links.resize(4 + refs, text);
    const int64_t cc = refs > 0 ? image.Append("##CC", links, table.Data()) : 0;
    int64_t signal = 0;
    if (signal_bytes > 0) {
      std::vector<uint8_t> entries(signal_bytes);
      const std::vector<uint8_t> first = Bytes().U32(3).Raw("xyz");
      std::copy(first.begin(), first.end(), entries.begin());
      signal = image.Append(test::ZippedBlock("SD", 0, 0, signal_bytes, test::Deflated(entries)));
    }
    int64_t next_dg = 0;
    for (size_t g = 0; g < groups; ++g) {
      int64_t next = 0;
      for (size_t i = 0; i < channels; ++i) {
        test::CnFields cn;
        cn.links = {next, 0, name, 0, 0, 0, 0, md};
        cn.byte_offset = 8;
        cn.bit_count = 8;
        next = image.Append(test::ChannelBlock(cn));
      }
      if (signal != 0) {
        test::CnFields member;  // the payload's offset in the record, its bytes in the signal data
        member.links = {0, 0, name, 0, 0, signal, 0, 0};
        member.type = 1;
        member.data_type = 10;
        member.byte_offset = 8;
        member.bit_count = 64;
        const int64_t payload = image.Append(test::ChannelBlock(member));
        test::CnFields frame;
        frame.links = {next, payload, name, 0, 0, 0, 0, 0};
        frame.data_type = 10;
        frame.byte_offset = 8;
        frame.bit_count = 64;
        next = image.Append(test::ChannelBlock(frame));
      }
      test::CnFields time;
      time.links = {next, 0, name, 0, cc, 0, 0, 0};
      time.type = 2;
      time.sync = 1;
      time.bit_count = 64;
      const int64_t first = image.Append(test::ChannelBlock(time));
      const int64_t dt = image.Append(test::PlainBlock("##DT", Bytes().U64(0).U64(0)));
      const int64_t cg = image.Append(test::CgBlock(test::CgFields().FirstCn(first).Id(0).Cycles(1).DataBytes(16)));
      next_dg = image.Append(test::DgBlock(next_dg, cg, dt, 0, 0));
    }
    image.PatchLink(hd, 0, next_dg);
    return image.Data();
  }
};

// A text linked many times (a conversion's references, channels' comments) is read and held
// once: a file of a few hundred KiB never holds a gigabyte of copies of it. Read with 64 MiB
// of room, every link gives the text.
TEST(ReadBounds, ATextLinkedManyTimesIsHeldOnce) {
  const struct {
    const char* name;
    SharedBlocksFile file;
  } cases[] = {
      {"4000 references to one text of 256 KiB", {1, 4000, size_t{256} << 10, 0, 16, 0}},
      {"1000 comments that link one MD block of 1 MiB", {1, 0, 16, 1000, size_t{1} << 20, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto buffer = std::make_shared<test::MemoryBuffer>(c.file.Build());
    EXPECT_EXIT(
        {
          CapAddressSpace(uint64_t{64} << 20);
          mdf::MdfReader reader(buffer);
          bool right = reader.ReadEverythingButData() && !reader.IsDamaged();
          for (const mdf::IChannel* channel : reader.FileHeader()->DataGroups()[0]->ChannelGroups()[0]->Channels()) {
            if (const mdf::IChannelConversion* table = channel->ChannelConversion()) {
              for (uint16_t i = 0; i < c.file.refs; ++i)
                right = right && table->Reference(i).size() == c.file.text_bytes;
            } else if (channel->ChannelType() != 2) {
              right = right && channel->Description() == std::string(40, 'm') + " ...";
            }
          }
          std::_Exit(right ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

// The signal data a read of one data group loaded, also those of a frame's member channel, are
// released when it ends: data groups that link the same 48 MiB of signal data are read one
// after the other with 160 MiB of room, each finding its payload.
TEST(ReadBounds, SignalDataAreReleasedAfterTheReadOfTheirGroup) {
  SharedBlocksFile spec;
  spec.groups = 8;
  spec.signal_bytes = uint64_t{48} << 20;
  const auto buffer = std::make_shared<test::MemoryBuffer>(spec.Build());
  EXPECT_EXIT(
      {
        CapAddressSpace(uint64_t{160} << 20);
        mdf::MdfReader reader(buffer);
        bool right = reader.ReadEverythingButData();
        size_t payloads = 0;
        for (mdf::IDataGroup* data_group : reader.FileHeader()->DataGroups()) {
          mdf::ChannelObserverList observers;
          mdf::CreateObserversForDataGroup(*data_group, observers);
          right = reader.ReadData(*data_group) && right;
          for (const auto& observer : observers) {
            std::vector<uint8_t> value;
            if (observer && observer->Channel().ChannelType() == 1 && observer->GetSampleByteArray(0, value)) {
              payloads += value == std::vector<uint8_t>({'x', 'y', 'z'}) ? 1 : 0;
            }
          }
        }
        std::_Exit(right && !reader.IsDamaged() && payloads == spec.groups ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
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
