// The fields of the frames the iterator gives are the integers and bytes their records hold,
// in both decodings: bit 31 of a logged identifier is its IDE flag, a classic frame carries no
// more than 8 bytes whatever its DLC, a LIN frame's length is its byte count, else its data
// length, else the bytes logged. A group whose field channel gives no integer of its field (its
// type, its conversion, a value out of range) gives no frame, nor does a frame whose logged
// bytes are fewer than its length: both are damage.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "buslog/mdf_reader.h"
#include "support/iteratorreading.h"
#include "support/loggerimage.h"

namespace {

using test::ImageGroup;
using Decoding = cMdfReader_t::Decoding;
using Bytes = std::vector<uint8_t>;

struct Field {
  std::string member;
  uint32_t bits = 8;
  uint8_t data_type = 0;
};
const Field kData8 = {"DataBytes", 64, 10};
const Bytes kEight = {1, 2, 3, 4, 5, 6, 7, 8};

// A group of the kind, its fields one after the other behind its microsecond time.
ImageGroup Group(const std::string& kind, const std::vector<Field>& fields) {
  ImageGroup group;
  group.name = kind;
  group.record_id = 1;
  group.cycles = 1;
  group.channels.push_back(test::TimestampChannel());
  group.data_bytes = 8;
  for (const Field& field : fields) {
    group.channels.push_back(
        test::ImageField(kind + "." + field.member, field.data_type, group.data_bytes, 0, field.bits));
    group.data_bytes += field.bits / 8;
  }
  return group;
}

// The group's one record (the bytes of its fields at time 5) read by both decodings, which
// give the same events and damage; the fast reading.
test::IteratorReading ReadBoth(const ImageGroup& group, const Bytes& fields) {
  test::ImageSpec spec;
  spec.header_comment = test::HeaderCommentWith("S", "1", "1");
  spec.groups = {group};
  test::PutLe(spec.records, 1, 1);
  test::PutLe(spec.records, 5, 8);
  test::PutBytes(spec.records, fields);
  const Bytes image = test::BuildLoggerImage(spec);
  const test::IteratorReading observed = test::ReadEvents(image, Decoding::kObservers, false);
  const test::IteratorReading fast = test::ReadEvents(image, Decoding::kFastest, false);
  EXPECT_EQ(fast.events, observed.events);
  EXPECT_EQ(fast.damage, observed.damage);
  return fast;
}

cBusMsgFlags_t FlagsOf(const test::EventCopy& event) {
  cBusMsgFlags_t flags;
  std::memcpy(&flags, event.flags, sizeof flags);
  return flags;
}

Bytes Fields(uint32_t id, const Bytes& rest) {
  Bytes bytes;
  test::PutLe(bytes, id, 4);
  test::PutBytes(bytes, rest);
  return bytes;
}

std::string FewerBytes(const std::string& group) {
  return "Channel group " + group + ": 1 frames left out, as they hold fewer data bytes than their data length";
}

TEST(FrameFields, Bit31OfALoggedIdentifierIsItsIdeFlag) {
  const struct {
    const char* kind;
    int ide;  // the IDE channel's value; -1: no such channel
    uint32_t id;
    uint32_t key;  // the record's ID, bit 31 set for an extended frame
  } cases[] = {
      {"CAN_DataFrame", -1, 0x98FEF100, 0x98FEF100},   {"CAN_DataFrame", 0, 0x98FEF100, 0x98FEF100},
      {"CAN_DataFrame", 1, 0x18FEF100, 0x98FEF100},    {"CAN_DataFrame", -1, 0x123, 0x123},
      {"CAN_RemoteFrame", -1, 0x80000555, 0x80000555},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + ", IDE " + std::to_string(c.ide) + ", ID " + std::to_string(c.id));
    const bool data = std::string(c.kind) == "CAN_DataFrame";
    std::vector<Field> fields = {{"ID", 32}, {"DLC"}};
    Bytes rest = {8};
    if (c.ide >= 0) {
      fields.push_back({"IDE"});
      rest.push_back(static_cast<uint8_t>(c.ide));
    }
    if (data) {
      fields.push_back(kData8);
      test::PutBytes(rest, kEight);
    }
    const test::IteratorReading read = ReadBoth(Group(c.kind, fields), Fields(c.id, rest));
    EXPECT_EQ(read.damage, "");
    ASSERT_EQ(read.events.size(), 1U);
    EXPECT_EQ(read.events[0].id, c.key);
    EXPECT_EQ(FlagsOf(read.events[0]).Can.IDE, c.key >> 31);
  }
}

// On classic CAN a DLC above 8 means 8 data bytes; a CAN FD frame takes the bytes its DLC gives,
// and one that holds fewer is no frame of the bus.
TEST(FrameFields, AClassicFrameCarriesItsEightBytesAndNoByteIsMadeUp) {
  const struct {
    uint8_t edl, dlc;
    size_t length;  // 0: left out
  } cases[] = {{0, 9, 8}, {0, 12, 8}, {0, 15, 8}, {0, 3, 3}, {1, 8, 8}, {1, 9, 0}, {1, 15, 0}};
  const ImageGroup group = Group("CAN_DataFrame", {{"ID", 32}, {"DLC"}, {"EDL"}, kData8});
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.edl != 0 ? "CAN FD" : "classic") + ", DLC " + std::to_string(c.dlc));
    const Bytes rest = {c.dlc, c.edl, 1, 2, 3, 4, 5, 6, 7, 8};
    const test::IteratorReading read = ReadBoth(group, Fields(0x321, rest));
    EXPECT_EQ(read.damage, c.length == 0 ? FewerBytes("CAN_DataFrame") : "");
    ASSERT_EQ(read.events.size(), c.length == 0 ? 0U : 1U);
    if (c.length == 0) continue;
    EXPECT_EQ(FlagsOf(read.events[0]).Can.DLC, c.dlc);
    EXPECT_EQ(read.events[0].data, Bytes(kEight.begin(), kEight.begin() + c.length));
  }
}

TEST(FrameFields, ALinFramesLengthIsItsByteCountElseItsDataLengthElseItsBytes) {
  const struct {
    bool count, length;
    uint8_t received;  // the record's byte count
    size_t bytes;      // 0: left out
  } cases[] = {{true, true, 3, 3}, {false, true, 5, 5}, {false, false, 8, 8}, {true, false, 9, 0}};
  for (const char* kind : {"LIN_Frame", "LIN_ChecksumError"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(kind) + (c.count ? ", byte count" : "") + (c.length ? ", data length" : ""));
      std::vector<Field> fields = {{"ID"}};
      Bytes bytes = {0x21};
      if (c.count) {
        fields.push_back({"ReceivedDataByteCount"});
        bytes.push_back(c.received);
      }
      if (c.length) {
        fields.push_back({"DataLength"});
        bytes.push_back(5);
      }
      fields.push_back(kData8);
      test::PutBytes(bytes, kEight);
      const test::IteratorReading read = ReadBoth(Group(kind, fields), bytes);
      EXPECT_EQ(read.damage, c.bytes == 0 ? FewerBytes(kind) : "");
      ASSERT_EQ(read.events.size(), c.bytes == 0 ? 0U : 1U);
      if (c.bytes == 0) continue;
      EXPECT_EQ(FlagsOf(read.events[0]).Lin.ReceivedDataByteCount, c.received);
      EXPECT_EQ(read.events[0].data, Bytes(kEight.begin(), kEight.begin() + c.bytes));
    }
  }
}

// A field channel gives the integer its record holds, the data channel its bytes, the time a
// number of seconds; anything else leaves the group's records out as damage, the channel named.
TEST(FrameFields, AFieldChannelThatGivesNoIntegerOfItsFieldGivesNoFrame) {
  // The channels: 0 Timestamp, 1 ID, 2 DLC, 3 BusChannel (16 bits), 4 DataBytes; the record:
  // the ID at 0, the DLC at 4, the bus channel at 5, the data from 7.
  using Change = std::function<void(ImageGroup&, Bytes&)>;
  const auto convert = [](size_t channel, test::ImageConversion conversion) -> Change {
    return [channel, conversion](ImageGroup& group, Bytes&) { group.channels[channel].conversion = conversion; };
  };
  const auto type = [](size_t channel, uint8_t data_type) -> Change {
    return [channel, data_type](ImageGroup& group, Bytes&) { group.channels[channel].data_type = data_type; };
  };
  const auto value = [](size_t at, uint8_t byte) -> Change {
    return [at, byte](ImageGroup&, Bytes& b) { b[at] = byte; };
  };
  const struct {
    Change change;
    const char* lack;  // null: the record's frame
  } cases[] = {
      {convert(1, {0, {}, {}}), nullptr},
      {convert(1, {1, {0.0, 1.0}, {}}), nullptr},
      {convert(0, {1, {0.0, 2e-6}, {}}), nullptr},  // a time of 2 us a tick
      {convert(1, {7, {0x321}, {"engine", "other"}}),
       "a channel CAN_DataFrame.ID with a conversion of type 7, not 1:1"},
      {convert(2, {1, {0.0, 2.0}, {}}), "a channel CAN_DataFrame.DLC with a conversion of type 1, not 1:1"},
      {convert(0, {7, {5}, {"five", "other"}}), "a channel Timestamp with a conversion of type 7, not to seconds"},
      {type(1, 4), "a channel CAN_DataFrame.ID of data type 4, not an integer"},
      {type(4, 7), "a channel CAN_DataFrame.DataBytes of data type 7, not bytes"},
      {type(0, 6), "a channel Timestamp of data type 6, not a number"},
      {value(4, 16), "a channel CAN_DataFrame.DLC with a value out of its range"},
      {[](ImageGroup& group, Bytes& bytes) {
         group.channels[2].data_type = 2;  // signed: -6
         bytes[4] = 0xFA;
       },
       "a channel CAN_DataFrame.DLC with a value out of its range"},
      {value(3, 0x20), "a channel CAN_DataFrame.ID with a value out of its range"},  // 30 bits
      {value(6, 1), "a channel CAN_DataFrame.BusChannel with a value out of its range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lack != nullptr ? c.lack : "a frame");
    ImageGroup group = Group("CAN_DataFrame", {{"ID", 32}, {"DLC"}, {"BusChannel", 16}, kData8});
    Bytes bytes = Fields(0x321, {8, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8});
    c.change(group, bytes);
    const test::IteratorReading read = ReadBoth(group, bytes);
    EXPECT_EQ(read.damage, c.lack == nullptr
                               ? ""
                               : std::string("Channel group CAN_DataFrame: 1 records left out, as it has ") + c.lack);
    ASSERT_EQ(read.events.size(), c.lack == nullptr ? 1U : 0U);
    if (c.lack == nullptr) {
      EXPECT_EQ(read.events[0].id, 0x321U);
    }
  }
  // A LIN identifier has 6 bits.
  const test::IteratorReading read = ReadBoth(Group("LIN_Frame", {{"ID"}, kData8}), {64, 1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_TRUE(read.events.empty());
  EXPECT_EQ(
      read.damage,
      "Channel group LIN_Frame: 1 records left out, as it has a channel LIN_Frame.ID with a value out of its range");
}

}  // namespace
