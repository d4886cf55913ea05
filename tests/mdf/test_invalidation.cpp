// Invalidation bits on every value path: numbers, byte arrays, texts in signal data and in a
// VLSD channel group, each read through the reader and through the observers' own entries.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "channelobserver.h"
#include "mdf/ichannelobserver.h"
#include "support/bytes.h"
#include "support/channelfixtures.h"
#include "support/fakegroups.h"
#include "support/groupfixtures.h"
#include "support/image.h"
#include "support/mdf4check.h"
#include "support/tempdir.h"
#include "support/writerkit.h"

namespace {

using test::Bytes;

// --- a hand-built file: one group of fixed records and the VLSD group of one of its texts

constexpr uint64_t kSamples = 4;
constexpr uint32_t kDataBytes = 28;

struct Column {
  std::string name;
  uint8_t type;       // channel type
  uint8_t data_type;  // 0 unsigned, 7 UTF-8, 10 byte array
  uint32_t byte_offset;
  uint32_t bit_count;
  bool has_bit;                // flag 2 and an invalidation bit of its own
  std::set<uint64_t> invalid;  // samples whose bit is set
};

// The invalidation bit of column i is bit i - 1 of the record's invalidation byte; the time
// master has none. "plain" has none either, while the byte holds other columns' bits.
const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = {
      {"time", 2, 4, 0, 64, false, {}},
      {"number", 0, 0, 8, 8, true, {1}},
      {"bytes", 0, 10, 9, 16, true, {2}},
      {"text in signal data", 1, 7, 11, 64, true, {0, 2}},
      {"text in a VLSD group", 1, 7, 19, 64, true, {1, 3}},
      {"plain", 0, 0, 27, 8, false, {}},
  };
  return columns;
}

std::string SignalText(uint64_t sample) { return std::vector<std::string>{"alpha", "beta", "gamma", "delta"}[sample]; }
std::string GroupText(uint64_t sample) { return std::vector<std::string>{"one", "two", "three", "four"}[sample]; }

uint8_t InvalidationByte(uint64_t sample) {
  uint8_t bits = 0;
  for (size_t i = 1; i < Columns().size(); ++i) {
    if (Columns()[i].has_bit && Columns()[i].invalid.count(sample) > 0) bits |= static_cast<uint8_t>(1U << (i - 1));
  }
  return bits;
}

// Entries of a length and the bytes, as signal data and VLSD records hold them.
std::vector<uint8_t> Entries(std::string (*text)(uint64_t)) {
  Bytes entries;
  for (uint64_t s = 0; s < kSamples; ++s) entries.U32(static_cast<uint32_t>(text(s).size())).Raw(text(s));
  return entries;
}

uint64_t EntryOffset(std::string (*text)(uint64_t), uint64_t sample) {
  uint64_t offset = 0;
  for (uint64_t s = 0; s < sample; ++s) offset += 4 + text(s).size();
  return offset;
}

std::vector<uint8_t> FixedRecord(uint64_t sample) {
  return Bytes()
      .U8(1)  // record id
      .F64(static_cast<double>(sample) / 10.0)
      .U8(static_cast<uint8_t>(10 + sample))
      .U8(0xB0)
      .U8(static_cast<uint8_t>(sample))
      .U64(EntryOffset(SignalText, sample))
      .U64(EntryOffset(GroupText, sample))
      .U8(static_cast<uint8_t>(20 + sample))
      .U8(InvalidationByte(sample));
}

// The VLSD group's record of a sample; its payload holds bytes that would read as set
// invalidation bits if they were taken for the fixed record's.
std::vector<uint8_t> VlsdRecord(uint64_t sample) {
  return Bytes().U8(2).U32(static_cast<uint32_t>(GroupText(sample).size())).Raw(GroupText(sample));
}

std::vector<uint8_t> HandBuiltFile() {
  test::FileImage file(test::IdentificationBlock("MDF     ", "4.11", 411));
  const int64_t hd = file.Append("##HD", {0, 0, 0, 0, 0, 0},
                                 Bytes().U64(1'600'000'000'000'000'000ULL).U16(0).U16(0).Zeros(4).F64(0).F64(0));
  const int64_t history_comment = file.Append(
      test::MetaBlock("<FHcomment><TX>built by hand</TX><tool_id>test</tool_id><tool_vendor>test</tool_vendor>"
                      "<tool_version>1</tool_version></FHcomment>"));
  file.PatchLink(hd, 1, file.Append("##FH", {0, history_comment}, Bytes().U64(1'600'000'000'000'000'000ULL).Zeros(8)));

  const int64_t vlsd_group = file.Append(test::CgBlock(
      test::CgFields().Id(2).Cycles(kSamples).Flags(0x01).DataBytes(static_cast<uint32_t>(Entries(GroupText).size()))));
  const int64_t signal_data = file.Append("##SD", {}, Entries(SignalText));
  int64_t next = 0;
  for (size_t i = Columns().size(); i-- > 0;) {
    const Column& column = Columns()[i];
    test::CnFields cn;
    cn.links[0] = next;
    cn.links[2] = file.Append(test::TextBlock(column.name));
    if (column.type == 1) cn.links[5] = column.name == "text in signal data" ? signal_data : vlsd_group;
    cn.type = column.type;
    cn.sync = column.type == 2 ? 1 : 0;
    cn.data_type = column.data_type;
    cn.byte_offset = column.byte_offset;
    cn.bit_count = column.bit_count;
    cn.flags = column.has_bit ? 0x02 : 0;
    cn.invalid_bit = column.has_bit ? static_cast<uint32_t>(i - 1) : 0;
    next = file.Append(test::ChannelBlock(cn));
  }
  const int64_t fixed_group = file.Append(test::CgBlock(
      test::CgFields().Next(vlsd_group).FirstCn(next).Id(1).Cycles(kSamples).DataBytes(kDataBytes).InvalidBytes(1)));
  // A VLSD record before its fixed record, and after it: both orders occur.
  std::vector<uint8_t> records;
  for (uint64_t s = 0; s < kSamples; ++s) {
    const bool vlsd_first = s % 2 == 0;
    for (const auto& part :
         vlsd_first ? std::vector{VlsdRecord(s), FixedRecord(s)} : std::vector{FixedRecord(s), VlsdRecord(s)}) {
      records.insert(records.end(), part.begin(), part.end());
    }
  }
  const int64_t data = file.Append("##DT", {}, records);
  file.PatchLink(hd, 0, file.Append(test::DgBlock(0, fixed_group, data, 0, 1)));
  return file.Data();
}

TEST(Invalidation, EveryChannelOfAHandBuiltFileReadsItsOwnBit) {
  const std::vector<uint8_t> image = HandBuiltFile();
  const test::ReadBack read(image);
  ASSERT_TRUE(read.Ok());
  for (size_t i = 0; i < Columns().size(); ++i) {
    const Column& column = Columns()[i];
    SCOPED_TRACE(column.name);
    const mdf::IChannelObserver* observer = read.Observer(0, column.name);
    ASSERT_NE(observer, nullptr);
    ASSERT_EQ(observer->NofSamples(), kSamples);
    for (uint64_t s = 0; s < kSamples; ++s) {
      SCOPED_TRACE("sample " + std::to_string(s));
      const bool valid = column.invalid.count(s) == 0;
      std::string text;
      EXPECT_EQ(observer->GetSampleText(s, text, 0), valid);
      uint64_t number = 0;
      std::vector<uint8_t> bytes;
      switch (column.data_type) {
        case 0:
          EXPECT_EQ(observer->GetChannelValue(s, number), valid);
          EXPECT_EQ(number, column.name == "plain" ? 20 + s : 10 + s);
          break;
        case 10:
          EXPECT_EQ(observer->GetByteArray(s, bytes), valid);
          EXPECT_EQ(bytes, (std::vector<uint8_t>{0xB0, static_cast<uint8_t>(s)}));
          break;
        case 7:
          // The value is read whether or not it is valid.
          EXPECT_EQ(text, column.name == "text in signal data" ? SignalText(s) : GroupText(s));
          break;
        default:
          break;
      }
    }
  }

  const std::string tool = test::Mdf4CheckTool();
  if (tool.empty()) GTEST_SKIP() << "mdf4check is not installed";
  test::TempDir dir;
  const test::CheckResult check = test::RunMdf4Check(tool, "", dir.Write("invalid.mf4", image));
  EXPECT_EQ(check.status, 0) << check.output;
}

// Written by another tool: "s_some" is UTF-8 text in signal data with invalidation bits.
TEST(Invalidation, TextInSignalDataOfAnotherWritersFile) {
  std::ifstream in(std::string(LOGMEND_READER_CORPUS) + "/vlsd-invalidation.mf4", std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const test::ReadBack read(image);
  ASSERT_TRUE(read.Ok());
  const mdf::IChannelObserver* text = read.Observer(0, "s_some");
  const mdf::IChannelObserver* number = read.Observer(0, "u8_some");
  ASSERT_TRUE(text != nullptr && number != nullptr);
  const std::vector<std::string> texts = {"", "a", "hello", "Grüße", "ÄÖÜ äöü ß", "日本語テキスト"};
  for (uint64_t s = 0; s < 12; ++s) {
    SCOPED_TRACE("sample " + std::to_string(s));
    std::string value;
    EXPECT_EQ(text->GetSampleText(s, value, 0), s != 2 && s != 6 && s != 8);
    if (s < texts.size()) {
      EXPECT_EQ(value, texts[s]);
    }
    uint64_t raw = 0;
    EXPECT_EQ(number->GetChannelValue(s, raw), s != 1 && s != 4 && s != 6);
  }
}

// --- the observers' own entries, with stand-ins for the blocks

// One group of records of 2 data bytes and 1 invalidation byte (record id 1), and the VLSD
// group (record id 2) of channels whose values lie there.
struct Observed {
  explicit Observed(uint8_t channel_type, uint8_t data_type, uint32_t bits)
      : group(data.AddGroup(1, 3)), channel(group.AddChannel("value")) {
    data.AddGroup(2, 3);
    channel.channel_type = channel_type;
    channel.data_type = data_type;
    channel.bit_count = bits;
    channel.flags = 0x02;
    channel.invalid_bit = 5;
    channel.record_data_bytes = 2;
    if (channel_type == 1) channel.VlsdRecordId(2);
  }
  test::FakeDataGroup data;
  test::FakeChannelGroup& group;
  test::FakeChannel& channel;
};

constexpr uint8_t kBit5 = 0x20;

// A record handed over as a vector, or in place.
template <typename Observer>
void Deliver(Observer& observer, bool in_place, uint64_t sample, uint64_t record_id,
             const std::vector<uint8_t>& record) {
  if (in_place) {
    observer.OnRecord(sample, record_id, record.data(), record.size());
  } else {
    observer.OnSample(sample, record_id, record);
  }
}

TEST(Invalidation, ObserversOfFixedValuesTakeTheBitOnEveryEntry) {
  struct Row {
    const char* name;
    uint8_t data_type;
    uint32_t bits;
  };
  const std::vector<Row> rows = {
      {"unsigned", 0, 16}, {"signed", 2, 16}, {"float", 4, 16}, {"text", 7, 16}, {"bytes", 10, 16}, {"bit field", 0, 3},
  };
  for (const Row& row : rows) {
    for (const bool in_place : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (in_place ? " in place" : " as a vector"));
      Observed f(0, row.data_type, row.bits);
      mdf::detail::ChannelObserver<uint16_t> number(f.data, f.group, f.channel);
      mdf::detail::ChannelObserver<std::string> text(f.data, f.group, f.channel);
      mdf::detail::ChannelObserver<std::vector<uint8_t>> bytes(f.data, f.group, f.channel);
      for (uint64_t s = 0; s < 3; ++s) {
        const std::vector<uint8_t> record = {0x41, 0x42, static_cast<uint8_t>(s == 1 ? kBit5 : ~kBit5)};
        Deliver(number, in_place, s, 1, record);
        Deliver(text, in_place, s, 1, record);
        Deliver(bytes, in_place, s, 1, record);
      }
      for (uint64_t s = 0; s < 3; ++s) {
        uint64_t unsigned_value = 0;
        std::string text_value;
        std::vector<uint8_t> byte_value;
        EXPECT_EQ(number.GetSampleUnsigned(s, unsigned_value, 0), s != 1) << s;
        EXPECT_EQ(text.GetSampleText(s, text_value, 0), s != 1) << s;
        EXPECT_EQ(bytes.GetSampleByteArray(s, byte_value), s != 1) << s;
      }
    }
  }
}

// The value comes with the VLSD group's record, the bit with the channel's own record, in
// either order; a payload that would read as a set bit does not count.
TEST(Invalidation, ObserversOfVlsdGroupValuesTakeTheBitOfTheOwnRecord) {
  for (const bool value_first : {false, true}) {
    for (const bool in_place : {false, true}) {
      SCOPED_TRACE(std::string(value_first ? "value first" : "reference first") + (in_place ? ", in place" : ""));
      Observed f(1, 10, 16);
      mdf::detail::ChannelObserver<std::vector<uint8_t>> bytes(f.data, f.group, f.channel);
      mdf::detail::ChannelObserver<std::string> text(f.data, f.group, f.channel);
      for (uint64_t s = 0; s < 3; ++s) {
        const std::vector<uint8_t> own = {static_cast<uint8_t>(s), 0, static_cast<uint8_t>(s == 1 ? kBit5 : 0)};
        const std::vector<uint8_t> payload = {0x11, 0x22, 0xFF, static_cast<uint8_t>(s)};
        for (int step = 0; step < 2; ++step) {
          const bool value_step = (step == 0) == value_first;
          Deliver(bytes, in_place, s, value_step ? 2 : 1, value_step ? payload : own);
          Deliver(text, in_place, s, value_step ? 2 : 1, value_step ? payload : own);
        }
      }
      for (uint64_t s = 0; s < 3; ++s) {
        std::vector<uint8_t> value;
        std::string hex;
        EXPECT_EQ(bytes.GetSampleByteArray(s, value), s != 1) << s;
        EXPECT_EQ(value, (std::vector<uint8_t>{0x11, 0x22, 0xFF, static_cast<uint8_t>(s)})) << s;
        EXPECT_EQ(text.GetSampleText(s, hex, 0), s != 1) << s;
      }
    }
  }
}

}  // namespace
