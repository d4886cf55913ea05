// A channel's bits against its record, MDF 4 and MDF 3: a channel whose bits do not lie in
// the data bytes of its group's records, or whose bit count its data type cannot have, is
// damage of the file found as the channel is read, and it gives no value, neither decoded
// from the invalidation bytes behind the data nor from any byte beyond the record. Channels
// whose values lie in no record are left alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "support/logcapture.h"
#include "support/loggerimage.h"
#include "support/mdf3image.h"
#include "support/memorybuffer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
  bool damaged = false;
  std::string first;
  bool first_logged = false;
  bool valid = false;
  uint64_t value = 0;
};

// Reads the file with one observer per channel and takes the first sample of the channel
// named "Probe".
Outcome ReadProbe(Bytes file) {
  test::LogCapture log;
  mdf::MdfReader reader(std::make_shared<test::MemoryBuffer>(std::move(file)));
  Outcome outcome;
  EXPECT_TRUE(reader.ReadEverythingButData());
  mdf::DataGroupList groups;
  reader.GetFile()->DataGroups(groups);
  EXPECT_EQ(groups.size(), 1U);
  for (mdf::IDataGroup* group : groups) {
    mdf::ChannelObserverList observers;
    mdf::CreateObserversForDataGroup(*group, observers);
    reader.ReadData(*group);
    for (const auto& observer : observers) {
      // A channel of no known data type has no observer.
      if (observer && observer->ChannelName() == "Probe")
        outcome.valid = observer->GetSampleUnsigned(0, outcome.value, 0);
    }
  }
  outcome.damaged = reader.IsDamaged();
  outcome.first = reader.FirstDamage();
  for (const test::LogEntry& entry : log.entries)
    outcome.first_logged = outcome.first_logged || entry.text == outcome.first;
  return outcome;
}

struct BitsCase {
  const char* name;
  test::ImageChannel probe;
  const char* first;  // the start of the first damage; null: none
  bool valid;         // the value read and valid
  uint64_t value;
};

void ExpectOutcome(const BitsCase& c, const Outcome& read) {
  EXPECT_EQ(read.damaged, c.first != nullptr) << read.first;
  if (c.first != nullptr) {
    EXPECT_EQ(read.first.rfind(c.first, 0), 0U) << read.first;
    EXPECT_TRUE(read.first_logged);
  }
  EXPECT_EQ(read.valid, c.valid);
  EXPECT_EQ(read.value, c.value);
}

test::ImageChannel Probe(uint8_t type, uint8_t data_type, uint32_t byte_offset, uint8_t bit_offset, uint32_t bits) {
  test::ImageChannel channel = test::ImageField("Probe", data_type, byte_offset, bit_offset, bits);
  channel.type = type;
  return channel;
}

// One record of 4 data bytes and 1 invalidation byte, whose bits are all set: a value taken
// from it would differ from any value of the data bytes.
Bytes Mdf4File(const test::ImageChannel& probe) {
  test::ImageSpec spec;
  test::ImageGroup group;
  group.name = "Group";
  group.record_id = 1;
  group.cycles = 1;
  group.flags = 0;
  group.data_bytes = 4;
  group.channels = {probe};
  spec.groups = {group};
  spec.records = {1, 0x11, 0x22, 0x33, 0xC4, 0xFF};
  Bytes file = test::BuildLoggerImage(spec);
  uint64_t data_group = 0;
  uint64_t channel_group = 0;
  std::memcpy(&data_group, file.data() + 64 + 24, 8);
  std::memcpy(&channel_group, file.data() + data_group + 24 + 8, 8);
  file[channel_group + 24 + 6 * 8 + 28] = 1;  // the invalidation bytes of the records
  return file;
}

TEST(ChannelBits, Mdf4ChannelOutsideItsRecordIsDamageAndGivesNoValue) {
  constexpr const char* kOutside = "Channel bits outside the record. Channel: Probe";
  constexpr const char* kCount = "Bit count impossible for the data type. Channel: Probe";
  const std::vector<BitsCase> cases = {
      {"inside", Probe(0, 0, 2, 0, 16), nullptr, true, 0xC433},
      {"the last bit of the data", Probe(0, 0, 3, 7, 1), nullptr, true, 1},
      {"ending in the invalidation byte", Probe(0, 0, 3, 0, 16),
       "Channel bits outside the record. Channel: Probe, Byte offset: 3, Bit offset: 0, Bit count: 16, Record bytes: "
       "4, Block: 0x",
       false, 0},
      {"a bit offset beyond its byte", Probe(0, 0, 0, 200, 8),
       "Channel bits outside the record. Channel: Probe, Byte offset: 0, Bit offset: 200, Bit count: 8", false, 0},
      {"the largest byte offset", Probe(0, 0, 0xFFFFFFFF, 7, 8),
       "Channel bits outside the record. Channel: Probe, Byte offset: 4294967295, Bit offset: 7", false, 0},
      // A bit count whose sum with the bit offset wraps 32 bits.
      {"the largest bit count", Probe(0, 0, 0, 1, 0xFFFFFFFF),
       "Channel bits outside the record. Channel: Probe, Byte offset: 0, Bit offset: 1, Bit count: 4294967295", false,
       0},
      {"a master channel", Probe(2, 0, 2, 0, 32), kOutside, false, 0},
      {"a maximum-length channel", Probe(5, 10, 2, 0, 24), kOutside, false, 0},
      // Inside the record, but no value of the type has the count: read as the type reads it.
      {"a float of 24 bits", Probe(0, 4, 0, 0, 24),
       "Bit count impossible for the data type. Channel: Probe, Data type: 4, Bit count: 24, Block: 0x", false, 0},
      {"a CANopen time of 32 bits", Probe(0, 14, 0, 0, 32), kCount, false, 0},
      // No bits in the record: a virtual channel's value is the sample index, and a channel
      // of no bits has no value where its fields point.
      {"a virtual data channel", Probe(6, 0, 0xFFFFFFFF, 0, 0), nullptr, true, 0},
      {"no bits", Probe(0, 0, 0xFFFFFFFF, 0, 0), nullptr, false, 0},
  };
  for (const BitsCase& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectOutcome(c, ReadProbe(Mdf4File(c.probe)));
  }
}

// A channel, sync or data type the format does not have says nothing of where the value lies
// or what it is: the channel is damage and gives no value, even with its bits inside the record.
TEST(ChannelBits, Mdf4ChannelOfAnUnknownTypeIsDamageAndGivesNoValue) {
  const auto with_sync = [](test::ImageChannel channel, uint8_t sync) {
    channel.sync = sync;
    return channel;
  };
  const std::vector<BitsCase> cases = {
      {"the last channel type", Probe(6, 0, 2, 0, 16), nullptr, true, 0},
      {"a channel type after the last", Probe(7, 0, 2, 0, 16),
       "Unknown channel type. Channel: Probe, Channel type: 7, Block: 0x", false, 0},
      {"a channel type read from a link", Probe(48, 0, 2, 0, 16),
       "Unknown channel type. Channel: Probe, Channel type: 48, Block: 0x", false, 0},
      {"the last sync type", with_sync(Probe(0, 0, 2, 0, 16), 4), nullptr, true, 0xC433},
      {"a sync type after the last", with_sync(Probe(0, 0, 2, 0, 16), 5),
       "Unknown sync type. Channel: Probe, Sync type: 5, Block: 0x", false, 0},
      {"a data type after the last", Probe(0, 17, 2, 0, 16),
       "Unknown data type. Channel: Probe, Data type: 17, Block: 0x", false, 0},
      // The channel type is named first.
      {"every type unknown", with_sync(Probe(9, 99, 2, 0, 16), 9),
       "Unknown channel type. Channel: Probe, Channel type: 9, Block: 0x", false, 0},
  };
  for (const BitsCase& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectOutcome(c, ReadProbe(Mdf4File(c.probe)));
  }
}

// One record of 4 bytes; MDF 3 records have no invalidation bytes.
Bytes Mdf3File(uint16_t start_bit, uint16_t bits, uint16_t data_type) {
  test::Mdf3FileSpec spec;
  test::Mdf3DataGroupSpec data_group;
  test::Mdf3GroupSpec group;
  group.record_size = 4;
  group.nof_records = 1;
  group.channels = {test::Mdf3Channel("Probe", start_bit, bits, data_type)};
  data_group.groups = {group};
  data_group.records = {0x11, 0x22, 0x33, 0x44};
  spec.data_groups = {data_group};
  return test::Mdf3Image(spec);
}

TEST(ChannelBits, Mdf3ChannelOutsideItsRecordIsDamageAndGivesNoValue) {
  struct Mdf3Case {
    const char* name;
    uint16_t start_bit;
    uint16_t bits;
    uint16_t data_type;  // MDF 3 code
    const char* first;
    bool valid;
    uint64_t value;
  };
  const std::vector<Mdf3Case> cases = {
      {"inside", 8, 16, 0, nullptr, true, 0x3322},
      {"beyond the record", 24, 16, 0,
       "Channel bits outside the record. Channel: Probe, Byte offset: 3, Bit offset: 0, Bit count: 16, Record bytes: "
       "4, "
       "Block: 0x",
       false, 0},
      {"the largest start offset", 0xFFFF, 1, 0,
       "Channel bits outside the record. Channel: Probe, Byte offset: 8191, Bit offset: 7", false, 0},
      {"a float of 24 bits", 0, 24, 2, "Bit count impossible for the data type. Channel: Probe, Data type: 4", false,
       0},
  };
  for (const Mdf3Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectOutcome({c.name, {}, c.first, c.valid, c.value}, ReadProbe(Mdf3File(c.start_bit, c.bits, c.data_type)));
  }
}

}  // namespace
