// The MDF4 file object: a new file, the header-less file object, and the finalization of an
// unfinalized logger file as its flags ask, every data group of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "idblock.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfreader.h"
#include "mdf4file.h"
#include "support/channelfixtures.h"
#include "support/groupfixtures.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/loggerfile.h"
#include "support/memorybuffer.h"

using mdf::detail::IdBlock;
using mdf::detail::Mdf4File;
using test::MemoryBuffer;

namespace {

void PatchU16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  bytes.at(at) = static_cast<uint8_t>(value);
  bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

// Positions of the logger file's blocks, found by their ids.
int64_t FindBlock(const std::vector<uint8_t>& bytes, const std::string& id, int nth = 0) {
  for (size_t at = 64; at + 4 <= bytes.size(); at += 8) {
    if (std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + 4)) == id &&
        nth-- == 0) {
      return static_cast<int64_t>(at);
    }
  }
  return -1;
}

std::unique_ptr<Mdf4File> OpenFile(MemoryBuffer& buffer) {
  auto id = std::make_unique<IdBlock>();
  id->Read(buffer);
  auto file = std::make_unique<Mdf4File>(std::move(id));
  file->FileName("/logs/run.mf4");
  return file;
}

struct Outcome {
  bool finalized_on_read = false;
  uint64_t can_samples = 0;
  uint64_t lin_samples = 0;
  std::vector<std::string> messages;
};

Outcome ReadWithFlags(uint16_t flags, std::vector<uint8_t> bytes = test::LoggerFileBuilder(true).Build()) {
  PatchU16(bytes, 60, flags);
  MemoryBuffer buffer(bytes);
  auto file = OpenFile(buffer);
  test::LogCapture log;
  file->ReadEverythingButData(buffer);
  Outcome outcome;
  outcome.finalized_on_read = file->FinalizedOnRead();
  mdf::DataGroupList groups;
  file->DataGroups(groups);
  if (!groups.empty()) {
    outcome.can_samples = groups[0]->ChannelGroups().at(0)->NofSamples();
    outcome.lin_samples = groups[0]->ChannelGroups().at(1)->NofSamples();
  }
  for (const auto& entry : log.entries) {
    if (entry.severity >= mdf::MdfLogSeverity::kDebug) outcome.messages.push_back(entry.text);
  }
  return outcome;
}

TEST(Mdf4File, NewFileWritesIdAndEmptyHeader) {
  Mdf4File file;
  file.SetProgramId("QX");
  file.SetMinorVersion(11);
  MemoryBuffer buffer;
  ASSERT_TRUE(file.Write(buffer));
  const auto& bytes = buffer.Bytes();
  ASSERT_EQ(bytes.size(), 168U);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 24), std::string("MDF     4.11\0\0\0\0QX\0\0\0\0\0\0", 24));
  const auto header = test::HeaderAt(bytes, 64);
  EXPECT_EQ(header.id, "##HD");
  EXPECT_EQ(header.length, 104U);
  EXPECT_EQ(header.links, std::vector<int64_t>(6, 0));
  EXPECT_EQ(file.Version(), "4.11");
  EXPECT_EQ(file.ProgramId(), "QX");
}

TEST(Mdf4File, AFailedWriteIsReportedAsAnMdf4Failure) {
  test::LogCapture log;
  Mdf4File file;
  MemoryBuffer buffer;
  buffer.SetCapacity(70);  // the identification block fits, the header does not
  EXPECT_FALSE(file.Write(buffer));
  ASSERT_FALSE(log.entries.empty());
  EXPECT_EQ(log.entries.back().text.rfind("Failed to write the MDF4 file. Error: ", 0), 0u) << log.entries.back().text;
  EXPECT_EQ(log.entries.back().location.function, "Write");
}

TEST(Mdf4File, WithoutHeader) {
  Mdf4File file(std::make_unique<IdBlock>());
  EXPECT_EQ(file.Header(), nullptr);
  EXPECT_EQ(file.CreateDataGroup(), nullptr);
  EXPECT_EQ(file.CreateAttachment(), nullptr);
  mdf::DataGroupList groups;
  file.DataGroups(groups);
  EXPECT_TRUE(groups.empty());
  test::LogCapture log;
  MemoryBuffer buffer;
  EXPECT_FALSE(file.Write(buffer));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "No ID or HD block defined. Invalid use of function.");
  EXPECT_EQ(log.entries[0].location.function, "Write");

  Mdf4File full;
  test::TestDataGroupBlock unwritten(0);
  EXPECT_EQ(full.FindParentDataGroup(unwritten), nullptr);
}

TEST(Mdf4File, FindParentDataGroupOfAReadBlock) {
  MemoryBuffer buffer(test::LoggerFileBuilder(false).Build());
  auto file = OpenFile(buffer);
  file->ReadEverythingButData(buffer);
  mdf::DataGroupList groups;
  file->DataGroups(groups);
  ASSERT_EQ(groups.size(), 1U);
  const auto channels = groups[0]->ChannelGroups()[1]->Channels();
  ASSERT_FALSE(channels.empty());
  EXPECT_EQ(file->FindParentDataGroup(*channels.back()), groups[0]);
  EXPECT_FALSE(file->FinalizedOnRead());
}

TEST(Mdf4File, FinalizesWhatTheFlagsName) {
  // Counts and the last DT's length: the whole list is counted again.
  Outcome both = ReadWithFlags(0x05);
  EXPECT_TRUE(both.finalized_on_read);
  EXPECT_EQ(both.can_samples, 5U);
  EXPECT_EQ(both.lin_samples, 3U);
  EXPECT_TRUE(both.messages.empty());

  // A stale last DT length that is not flagged hides the records behind it.
  Outcome counts = ReadWithFlags(0x01);
  EXPECT_TRUE(counts.finalized_on_read);
  EXPECT_EQ(counts.can_samples, 4U);
  EXPECT_EQ(counts.lin_samples, 2U);

  Outcome vlsd_only = ReadWithFlags(0x40);
  EXPECT_TRUE(vlsd_only.finalized_on_read);
  EXPECT_EQ(vlsd_only.can_samples, 0U);
}

TEST(Mdf4File, UnsupportedFlagsFailTheFinalization) {
  const struct {
    uint16_t flags;
    std::optional<uint64_t> can_samples;               // not checked when empty
    std::optional<std::vector<std::string>> messages;  // likewise
  } cases[] = {
      {0x10, 0, std::vector<std::string>{"Finalizing DL block is not supported. File: run"}},
      {0x15, 5, std::nullopt},
      {0x07, 5, std::vector<std::string>{"Finalizing SR block is not supported. File: run"}},
      {0x0C, std::nullopt, std::vector<std::string>{"Finalizing RD block is not supported. File: run"}},
  };
  for (const auto& c : cases) {
    const Outcome outcome = ReadWithFlags(c.flags);
    EXPECT_FALSE(outcome.finalized_on_read) << c.flags;
    if (c.can_samples) {
      EXPECT_EQ(outcome.can_samples, *c.can_samples) << c.flags;
    }
    if (c.messages) {
      EXPECT_EQ(outcome.messages, *c.messages) << c.flags;
    }
  }
}

TEST(Mdf4File, NothingToFinalize) {
  Outcome no_flags = ReadWithFlags(0x00);
  EXPECT_FALSE(no_flags.finalized_on_read);
  EXPECT_EQ(no_flags.messages,
            std::vector<std::string>{"The files standard flags are OK. Cannot finalize the file. File: run"});

  // A finalized file is never finalized, whatever its flags say.
  auto finalized = test::LoggerFileBuilder(false).Build();
  Outcome untouched = ReadWithFlags(0x05, finalized);
  EXPECT_FALSE(untouched.finalized_on_read);
  EXPECT_TRUE(untouched.messages.empty());
  EXPECT_EQ(untouched.can_samples, 5U);

  // Without data groups both repairs succeed.
  auto bytes = test::LoggerFileBuilder(true).Build();
  for (size_t i = 0; i < 8; ++i) bytes[64 + 24 + i] = 0;
  Outcome empty = ReadWithFlags(0x05, bytes);
  EXPECT_TRUE(empty.finalized_on_read);
}

TEST(Mdf4File, DataListRepairsThatCannotBeDoneAreReported) {
  // The last DT of the list dropped: the list ends with the DZ block.
  auto no_last_dt = test::LoggerFileBuilder(true).Build();
  const int64_t dl = FindBlock(no_last_dt, "##DL");
  ASSERT_GT(dl, 0);
  for (size_t i = 0; i < 8; ++i) no_last_dt[static_cast<size_t>(dl) + 24 + 24 + i] = 0;
  no_last_dt[static_cast<size_t>(dl) + 24 + 32 + 4] = 2;  // two blocks listed
  Outcome dz_last = ReadWithFlags(0x05, no_last_dt);
  EXPECT_FALSE(dz_last.finalized_on_read);
  EXPECT_NE(std::find(dz_last.messages.begin(), dz_last.messages.end(), "Fail to finalize last DT block. File: run"),
            dz_last.messages.end());

  // A record of no known group: the records behind it cannot be counted. As in a single
  // DT block, the counts stand for the records before it, which is what can be read.
  auto unknown_record = test::LoggerFileBuilder(true).Build();
  const int64_t dt = FindBlock(unknown_record, "##DT");
  ASSERT_GT(dt, 0);
  unknown_record[static_cast<size_t>(dt) + 24 + 22 + 15] = 9;  // the third record's id
  Outcome unknown = ReadWithFlags(0x05, unknown_record);
  EXPECT_TRUE(unknown.finalized_on_read);
  EXPECT_EQ(unknown.can_samples, 1U);
  EXPECT_EQ(unknown.lin_samples, 1U);
  EXPECT_EQ(std::find(unknown.messages.begin(), unknown.messages.end(),
                      "Failed to update number of samples and VLSD block sizes. File: run"),
            unknown.messages.end());
}

TEST(Mdf4File, FinalizesOncePerFileObject) {
  MemoryBuffer buffer(test::LoggerFileBuilder(true).Build());
  auto file = OpenFile(buffer);
  file->ReadEverythingButData(buffer);
  ASSERT_TRUE(file->FinalizedOnRead());
  mdf::DataGroupList groups;
  file->DataGroups(groups);
  groups[0]->ChannelGroups()[0]->NofSamples(99);
  file->ReadEverythingButData(buffer);
  EXPECT_EQ(groups[0]->ChannelGroups()[0]->NofSamples(), 99U);

  // A failed finalization is tried again.
  auto bytes = test::LoggerFileBuilder(true).Build();
  PatchU16(bytes, 60, 0x10);
  MemoryBuffer failing(bytes);
  auto again = OpenFile(failing);
  test::LogCapture log;
  again->ReadEverythingButData(failing);
  again->ReadEverythingButData(failing);
  EXPECT_EQ(log.entries.size(), 2U);
  EXPECT_FALSE(again->FinalizedOnRead());
}

// An unfinalized file of two data groups without record ids, as a logger that writes one per
// bus leaves it: the first group's DT holds `records` records of `record_bytes` bytes, each
// ending in its number as an unsigned value (of 2 bytes, else 4); the second group's DT, still
// growing, begins at the next multiple of 8 behind them and holds 3 records of 4 bytes up to
// the end of the file. The first DT's length is still 24 unless `length_written`.
std::vector<uint8_t> TwoGroupsOneGrowing(uint32_t record_bytes, uint32_t records, bool length_written) {
  test::FileImage file(test::IdentificationBlock("UnFinMF ", "4.11", 411, "QX", 0x05));
  const int64_t hd = file.Append("##HD", {0, 0, 0, 0, 0, 0}, test::Bytes().U64(0).U16(0).U16(0).Zeros(4).F64(0).F64(0));
  const int64_t history_comment = file.Append(test::MetaBlock(
      "<FHcomment><TX>logger</TX><tool_id>test</tool_id><tool_vendor>test</tool_vendor><tool_version>1</tool_version>"
      "</FHcomment>"));
  file.PatchLink(hd, 1, file.Append("##FH", {0, history_comment}, test::Bytes().U64(0).Zeros(8)));
  const auto data_group = [&file](const std::string& name, uint32_t bytes, uint32_t value_bytes) {
    test::CnFields cn;
    cn.links[2] = file.Append(test::TextBlock(name));
    cn.byte_offset = bytes - value_bytes;
    cn.bit_count = 8 * value_bytes;
    const int64_t channel = file.Append(test::ChannelBlock(cn));
    const int64_t group = file.Append(test::CgBlock(test::CgFields().FirstCn(channel).DataBytes(bytes)));
    return file.Append(test::DgBlock(0, group, 0, 0, 0));
  };
  const int64_t first = data_group("first", record_bytes, record_bytes == 2 ? 2 : 4);
  const int64_t second = data_group("second", 4, 4);
  file.PatchLink(hd, 0, first);
  file.PatchLink(first, 0, second);
  test::Bytes data;
  for (uint32_t i = 1; i <= records; ++i) {
    data.Zeros(record_bytes - (record_bytes == 2 ? 2 : 4));
    record_bytes == 2 ? data.U16(static_cast<uint16_t>(i)) : data.U32(i);
  }
  file.PatchLink(first, 2, file.Append("##DT", {}, data.Data(), length_written ? 24 + data.Size() : 24));
  file.PatchLink(second, 2, file.Append("##DT", {}, test::Bytes().U32(7).U32(8).U32(9).Data(), 24));
  return file.Data();
}

// A DT grown up to the next group's block ends in whole records and the zeros that align that
// block, fewer than 8. Where those zeros hold whole records of a fixed size, the bytes cannot
// tell records of zeros from alignment: the file is kept, and no record of zeros is read.
TEST(Mdf4File, TheZerosThatAlignTheNextGroupsDtAreNoRecordsOfAGrowingOne) {
  const struct {
    const char* name;
    uint32_t record_bytes;
    uint32_t records;
    bool length_written;
    uint64_t samples;    // of the first group
    const char* damage;  // the start of the first damage's text; null: none
  } cases[] = {
      {"4-byte records, 4 zeros to align", 4, 5, false, 5,
       "The end of the records cannot be told from padding. Offset: 20"},
      {"2-byte records, 6 zeros to align", 2, 1, false, 1,
       "The end of the records cannot be told from padding. Offset: 2"},
      {"4-byte records, none to align", 4, 6, false, 6, nullptr},
      {"4-byte records, 4 zeros behind a length written", 4, 5, true, 5, nullptr},
      {"12-byte records, 4 zeros to align", 12, 5, false, 5, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    mdf::MdfReader reader(
        std::make_shared<MemoryBuffer>(TwoGroupsOneGrowing(c.record_bytes, c.records, c.length_written)));
    ASSERT_TRUE(reader.ReadEverythingButData());
    mdf::DataGroupList groups;
    reader.GetFile()->DataGroups(groups);
    ASSERT_EQ(groups.size(), 2U);
    std::vector<mdf::ChannelObserverList> observers(2);
    for (size_t g = 0; g < 2; ++g) {
      mdf::CreateObserversForDataGroup(*groups[g], observers[g]);
      EXPECT_TRUE(reader.ReadData(*groups[g]));
      ASSERT_EQ(observers[g].size(), 1U);
    }
    EXPECT_EQ(reader.IsDamaged(), c.damage != nullptr) << reader.FirstDamage();
    if (c.damage != nullptr) {
      EXPECT_EQ(reader.FirstDamage().rfind(c.damage, 0), 0U) << reader.FirstDamage();
    }
    const mdf::IChannelObserver& first = *observers[0][0];
    ASSERT_EQ(first.NofSamples(), c.samples);
    for (uint64_t s = 0; s < c.samples; ++s) {
      uint64_t value = 0;
      EXPECT_TRUE(first.GetChannelValue(s, value));
      EXPECT_EQ(value, s + 1) << "sample " << s;
    }
    const mdf::IChannelObserver& second = *observers[1][0];
    ASSERT_EQ(second.NofSamples(), 3U);
    uint64_t value = 0;
    EXPECT_TRUE(second.GetChannelValue(2, value));
    EXPECT_EQ(value, 9U);
  }
}

}  // namespace
