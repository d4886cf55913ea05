// The fields of the frames the iterator gives are the integers and bytes their records hold,
// in both decodings: bit 31 of a logged identifier is its IDE flag, a classic frame carries
// no more than 8 bytes whatever its DLC, a LIN frame's length is its byte count, else its
// data length, else the bytes logged; and a group whose field channel gives no integer of its
// field (by its type, its conversion, or a value out of the field's range) gives no frame, as
// a frame whose logged bytes are fewer than its length is left out: both are damage.
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

using test::ImageConversion;
using test::ImageGroup;
using test::ImageSpec;
using Decoding = cMdfReader_t::Decoding;

// A field of a group: its member name, bits and data type (a byte array for the data).
struct Field {
  std::string member;
  uint32_t bits = 8;
  uint8_t data_type = 0;
};

const Field kData8 = {"DataBytes", 64, 10};

// A group of the kind whose fields lie one after the other behind its microsecond time.
ImageGroup Group(const std::string& kind, const std::vector<Field>& fields) {
  ImageGroup group;
  group.name = kind;
  group.record_id = 1;
  group.cycles = 1;
  group.channels.push_back(test::TimestampChannel());
  uint32_t offset = 8;
  for (const Field& field : fields) {
    group.channels.push_back(test::ImageField(kind + "." + field.member, field.data_type, offset, 0, field.bits));
    offset += field.bits / 8;
  }
  group.data_bytes = offset;
  return group;
}

// The recording of the group with one record: 5 time units, then the bytes of its fields.
ImageSpec OneRecord(const ImageGroup& group, const std::vector<uint8_t>& fields) {
  ImageSpec spec;
  spec.header_comment = test::HeaderCommentWith("S", "1", "1");
  spec.groups = {group};
  test::PutLe(spec.records, 1, 1);
  test::PutLe(spec.records, 5, 8);
  test::PutBytes(spec.records, fields);
  return spec;
}

// Both decodings give the same events and damage; the fast reading.
test::IteratorReading ReadBoth(const ImageSpec& spec) {
  const std::vector<uint8_t> image = test::BuildLoggerImage(spec);
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

std::vector<uint8_t> Le32(uint32_t value) {
  std::vector<uint8_t> bytes;
  test::PutLe(bytes, value, 4);
  return bytes;
}

std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) test::PutBytes(all, part);
  return all;
}

const std::vector<uint8_t> kEight = {1, 2, 3, 4, 5, 6, 7, 8};

TEST(FrameFields, Bit31OfALoggedIdentifierIsItsIdeFlag) {
  struct Case {
    const char* name;
    const char* kind;
    bool ide_channel;
    uint32_t id;
    uint8_t ide;
    uint32_t key;  // the record's ID: bit 31 set for an extended frame
    uint8_t extended;
  };
  const Case cases[] = {
      {"bit 31, no IDE channel", "CAN_DataFrame", false, 0x98FEF100, 0, 0x98FEF100, 1},
      {"bit 31 beside an IDE of 0", "CAN_DataFrame", true, 0x98FEF100, 0, 0x98FEF100, 1},
      {"an IDE of 1, bit 31 clear", "CAN_DataFrame", true, 0x18FEF100, 1, 0x98FEF100, 1},
      {"a standard identifier", "CAN_DataFrame", false, 0x123, 0, 0x123, 0},
      {"a remote frame, bit 31", "CAN_RemoteFrame", false, 0x80000555, 0, 0x80000555, 1},
      {"a remote frame, its IDE of 1", "CAN_RemoteFrame", true, 0x555, 1, 0x80000555, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool data = std::string(c.kind) == "CAN_DataFrame";
    std::vector<Field> fields = {{"ID", 32}, {"DLC"}};
    std::vector<uint8_t> bytes = Cat({Le32(c.id), {8}});
    if (c.ide_channel) {
      fields.push_back({"IDE"});
      bytes.push_back(c.ide);
    }
    if (data) {
      fields.push_back(kData8);
      test::PutBytes(bytes, kEight);
    }
    const test::IteratorReading read = ReadBoth(OneRecord(Group(c.kind, fields), bytes));
    EXPECT_EQ(read.damage, "");
    ASSERT_EQ(read.events.size(), 1U);
    EXPECT_EQ(read.events[0].id, c.key);
    EXPECT_EQ(FlagsOf(read.events[0]).Can.IDE, c.extended);
  }
}

// On classic CAN a DLC above 8 means 8 data bytes; a CAN FD frame takes the bytes its DLC
// gives, and one that holds fewer is no frame of the bus.
TEST(FrameFields, AClassicFrameCarriesItsEightBytesAndNoByteIsMadeUp) {
  const char* const fewer =
      "Channel group CAN_DataFrame: 1 frames left out, as they hold fewer data bytes than their data length";
  struct Case {
    uint8_t edl;
    uint8_t dlc;
    size_t length;  // 0 with `fewer`: left out
    const char* damage;
  };
  const Case cases[] = {
      {0, 8, 8, nullptr}, {0, 9, 8, nullptr}, {0, 12, 8, nullptr}, {0, 15, 8, nullptr},
      {0, 3, 3, nullptr}, {1, 8, 8, nullptr}, {1, 9, 0, fewer},    {1, 15, 0, fewer},
  };
  const ImageGroup group = Group("CAN_DataFrame", {{"ID", 32}, {"DLC"}, {"EDL"}, kData8});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.edl != 0 ? "CAN FD" : "classic") + ", DLC " + std::to_string(c.dlc));
    const test::IteratorReading read = ReadBoth(OneRecord(group, Cat({Le32(0x321), {c.dlc, c.edl}, kEight})));
    EXPECT_EQ(read.damage, c.damage != nullptr ? c.damage : "");
    if (c.damage != nullptr) {
      EXPECT_TRUE(read.events.empty());
      continue;
    }
    ASSERT_EQ(read.events.size(), 1U);
    EXPECT_EQ(FlagsOf(read.events[0]).Can.DLC, c.dlc);
    EXPECT_EQ(read.events[0].data, std::vector<uint8_t>(kEight.begin(), kEight.begin() + c.length));
  }
}

TEST(FrameFields, ALinFramesLengthIsItsByteCountElseItsDataLengthElseItsBytes) {
  struct Case {
    const char* name;
    bool count;
    bool length;
    uint8_t received;  // the record's byte count
    size_t bytes;      // 0: left out
  };
  const Case cases[] = {
      {"byte count and data length", true, true, 3, 3},
      {"byte count only", true, false, 3, 3},
      {"data length only", false, true, 5, 5},
      {"neither: the bytes of its data channel", false, false, 8, 8},
      {"a byte count beyond the bytes logged", true, false, 9, 0},
  };
  for (const char* kind : {"LIN_Frame", "LIN_ChecksumError"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kind) + ", " + c.name);
      std::vector<Field> fields = {{"ID"}};
      std::vector<uint8_t> bytes = {0x21};
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
      const test::IteratorReading read = ReadBoth(OneRecord(Group(kind, fields), bytes));
      if (c.bytes == 0) {
        EXPECT_TRUE(read.events.empty());
        EXPECT_EQ(read.damage, std::string("Channel group ") + kind +
                                   ": 1 frames left out, as they hold fewer data bytes than their data length");
        continue;
      }
      EXPECT_EQ(read.damage, "");
      ASSERT_EQ(read.events.size(), 1U);
      EXPECT_EQ(FlagsOf(read.events[0]).Lin.ReceivedDataByteCount, c.received);
      EXPECT_EQ(read.events[0].data, std::vector<uint8_t>(kEight.begin(), kEight.begin() + c.bytes));
    }
  }
}

// A field channel gives the integer its record holds, the data channel its bytes, the time a
// number of seconds: anything else (a type, a conversion other than 1:1, a value outside the
// field's range) leaves the group's records out as damage, with the channel named.
TEST(FrameFields, AFieldChannelThatGivesNoIntegerOfItsFieldGivesNoFrame) {
  using Change = std::function<void(ImageGroup&, std::vector<uint8_t>&)>;
  struct Case {
    const char* name;
    Change change;
    const char* lack;  // null: a frame of the record's fields
  };
  // The channels: 0 Timestamp, 1 ID, 2 DLC, 3 BusChannel, 4 DataBytes; the record's bytes: ID
  // at 0, DLC at 4, BusChannel at 5 and 6, data from 7.
  const auto convert = [](size_t channel, ImageConversion conversion) {
    return [channel, conversion](ImageGroup& group, std::vector<uint8_t>&) {
      group.channels[channel].conversion = conversion;
    };
  };
  const auto type = [](size_t channel, uint8_t data_type) {
    return [channel, data_type](ImageGroup& group, std::vector<uint8_t>&) {
      group.channels[channel].data_type = data_type;
    };
  };
  const auto value = [](size_t at, uint8_t byte) {
    return [at, byte](ImageGroup&, std::vector<uint8_t>& bytes) { bytes[at] = byte; };
  };
  const Case cases[] = {
      {"an identifier of 1:1", convert(1, {0, {}, {}}), nullptr},
      {"an identifier through a linear 1:1", convert(1, {1, {0.0, 1.0}, {}}), nullptr},
      {"a time of 2 us a tick", convert(0, {1, {0.0, 2e-6}, {}}), nullptr},
      {"an identifier through a value-to-text table", convert(1, {7, {0x321}, {"engine", "other"}}),
       "a channel CAN_DataFrame.ID with a conversion of type 7, not 1:1"},
      {"a DLC through a linear x2", convert(2, {1, {0.0, 2.0}, {}}),
       "a channel CAN_DataFrame.DLC with a conversion of type 1, not 1:1"},
      {"a time through a value-to-text table", convert(0, {7, {5}, {"five", "other"}}),
       "a channel Timestamp with a conversion of type 7, not to seconds"},
      {"an identifier typed as a float", type(1, 4), "a channel CAN_DataFrame.ID of data type 4, not an integer"},
      {"data typed as UTF-8 text", type(4, 7), "a channel CAN_DataFrame.DataBytes of data type 7, not bytes"},
      {"a time typed as text", type(0, 6), "a channel Timestamp of data type 6, not a number"},
      {"a DLC of 16", value(4, 16), "a channel CAN_DataFrame.DLC with a value out of its range"},
      {"a signed DLC of -6",
       [](ImageGroup& group, std::vector<uint8_t>& bytes) {
         group.channels[2].data_type = 2;
         bytes[4] = 0xFA;
       },
       "a channel CAN_DataFrame.DLC with a value out of its range"},
      {"an identifier of 30 bits", value(3, 0x20), "a channel CAN_DataFrame.ID with a value out of its range"},
      {"a bus channel above 255", value(6, 1), "a channel CAN_DataFrame.BusChannel with a value out of its range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageGroup group = Group("CAN_DataFrame", {{"ID", 32}, {"DLC"}, {"BusChannel", 16}, kData8});
    std::vector<uint8_t> bytes = Cat({Le32(0x321), {8, 2, 0}, kEight});
    c.change(group, bytes);
    const test::IteratorReading read = ReadBoth(OneRecord(group, bytes));
    if (c.lack != nullptr) {
      EXPECT_TRUE(read.events.empty());
      EXPECT_EQ(read.damage, std::string("Channel group CAN_DataFrame: 1 records left out, as it has ") + c.lack);
      continue;
    }
    EXPECT_EQ(read.damage, "");
    ASSERT_EQ(read.events.size(), 1U);
    EXPECT_EQ(read.events[0].id, 0x321U);
    EXPECT_EQ(read.events[0].channel, 2);
    EXPECT_EQ(read.events[0].data, kEight);
  }

  // A LIN identifier has 6 bits.
  const test::IteratorReading read = ReadBoth(OneRecord(Group("LIN_Frame", {{"ID"}, kData8}), Cat({{64}, kEight})));
  EXPECT_TRUE(read.events.empty());
  EXPECT_EQ(
      read.damage,
      "Channel group LIN_Frame: 1 records left out, as it has a channel LIN_Frame.ID with a value out of its range");
}

}  // namespace
