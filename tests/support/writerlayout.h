#pragma once
// The measurement the writer tests write: one data group per cycle with two channel
// groups under record ids. "Rich" holds a float time master, numbers of both byte orders
// with linear and value-to-text conversions, a VLSD text, a channel array and a byte-array
// frame with composed members; "Bus" holds a microsecond master through a linear
// conversion and a frame whose payload is a composed VLSD member, as a CAN FD frame is.
// Sample i of a group gets values that follow from i alone, so a read-back can check each.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelarray.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfwriter.h"
#include "support/writerkit.h"

namespace test {

/// Start of every test measurement, ns since 1970.
inline constexpr uint64_t kStartNs = 1'700'000'000'000'000'000ULL;

struct RichGroups {
  mdf::IDataGroup* data_group = nullptr;
  mdf::IChannelGroup* rich = nullptr;
  mdf::IChannelGroup* bus = nullptr;
};

inline mdf::IChannel* AddChannel(mdf::IChannelGroup& group, const std::string& name, uint8_t data_type, uint64_t bytes,
                                 uint8_t type = 0) {
  mdf::IChannel* channel = group.CreateChannel();
  channel->Name(name);
  channel->ChannelType(type);
  channel->DataType(data_type);
  channel->DataBytes(bytes);
  return channel;
}

inline mdf::IChannel* AddMember(mdf::IChannel& frame, const std::string& name, uint8_t data_type, uint64_t bytes,
                                uint32_t byte_offset, uint8_t type = 0) {
  mdf::IChannel* member = frame.CreateChannelComposition();
  member->Name(name);
  member->ChannelType(type);
  member->DataType(data_type);
  member->DataBytes(bytes);
  member->ByteOffset(byte_offset);
  return member;
}

/// A new data group with the two groups; each cycle writes the last data group.
inline RichGroups AddRichDataGroup(mdf::MdfWriter& writer) {
  RichGroups groups;
  groups.data_group = writer.CreateDataGroup();
  groups.rich = groups.data_group->CreateChannelGroup();
  groups.rich->Name("Rich");
  groups.bus = groups.data_group->CreateChannelGroup();
  groups.bus->Name("Bus");

  mdf::IChannelGroup& rich = *groups.rich;
  mdf::IChannel* time = AddChannel(rich, "Time", 4, 8, 2);  // float seconds, no conversion
  time->SyncType(1);
  mdf::IChannel* counter = AddChannel(rich, "Counter", 0, 4);
  mdf::IChannelConversion* linear = writer.CreateChannelConversion(counter);
  linear->SetType(1);
  linear->SetParameter(0, 10.0);
  linear->SetParameter(1, 0.5);
  mdf::IChannel* state = AddChannel(rich, "State", 0, 1);
  mdf::IChannelConversion* texts = writer.CreateChannelConversion(state);
  texts->SetType(7);
  texts->SetParameter(0, 0.0);
  texts->SetParameter(1, 1.0);
  texts->SetReference(0, "Off");
  texts->SetReference(1, "On");
  texts->SetReference(2, "Unknown");
  AddChannel(rich, "Level", 3, 2);    // signed, big endian
  AddChannel(rich, "Ratio", 5, 8);    // double, big endian
  AddChannel(rich, "Name", 7, 8, 1);  // UTF-8 text in signal data
  mdf::IChannel* array = AddChannel(rich, "Array", 0, 2);
  array->CreateChannelArray()->SetShape({3});
  // Frame at byte 8 + 4 + 1 + 2 + 8 + 8 + 6 = 37 once the group is laid out.
  mdf::IChannel* frame = AddChannel(rich, "Frame", 10, 13);
  AddMember(*frame, "Frame.ID", 0, 4, 37);
  AddMember(*frame, "Frame.DLC", 0, 1, 41);
  AddMember(*frame, "Frame.Bytes", 10, 8, 42);

  mdf::IChannelGroup& bus = *groups.bus;
  mdf::IChannel* stamp = AddChannel(bus, "Timestamp", 0, 8, 2);  // microseconds
  stamp->SyncType(1);
  mdf::IChannelConversion* micro = writer.CreateChannelConversion(stamp);
  micro->SetType(1);
  micro->SetParameter(0, 0.0);
  micro->SetParameter(1, 1e-6);
  micro->SetUnit("s");
  mdf::IChannel* bus_frame = AddChannel(bus, "Bus", 10, 8);
  AddMember(*bus_frame, "Bus.ID", 0, 4, 8);
  AddMember(*bus_frame, "Bus.DataBytes", 10, 4, 12, 1);  // offset into signal data
  return groups;
}

inline mdf::IChannel* ChannelOf(const mdf::IChannelGroup& group, const std::string& name) {
  for (mdf::IChannel* channel : group.Channels()) {
    if (channel->Name() == name) return channel;
  }
  return nullptr;
}

inline std::string RichName(uint64_t i) { return "sample " + std::to_string(i) + std::string(i % 5, '+'); }
inline std::vector<uint8_t> FrameBytes(uint64_t i) { return Sequence(static_cast<uint8_t>(i), 8); }
inline std::vector<uint8_t> Payload(uint64_t i) { return Pattern(9 + i % 56, static_cast<uint8_t>(i)); }
/// Sample times: a millisecond apart from the start on (exact in microseconds).
inline uint64_t SampleTime(uint64_t i) { return kStartNs + i * 1'000'000; }

inline void SetRichValues(const mdf::IChannelGroup& rich, uint64_t i) {
  ChannelOf(rich, "Counter")->SetChannelValue(static_cast<uint32_t>(i * 3));
  ChannelOf(rich, "State")->SetChannelValue(static_cast<uint8_t>(i % 3));
  ChannelOf(rich, "Level")->SetChannelValue(static_cast<int16_t>(100 - static_cast<int64_t>(i) * 7));
  ChannelOf(rich, "Ratio")->SetChannelValue(static_cast<double>(i) / 8.0);
  ChannelOf(rich, "Name")->SetTextValue(RichName(i), true);
  for (uint64_t k = 0; k < 3; ++k)
    ChannelOf(rich, "Array")->SetChannelValue(static_cast<uint16_t>(i + 100 * k), true, k);
  ChannelOf(rich, "Frame.ID")->SetChannelValue(static_cast<uint32_t>(0x100 + i));
  ChannelOf(rich, "Frame.DLC")->SetChannelValue(static_cast<uint8_t>(8));
  ChannelOf(rich, "Frame.Bytes")->SetValueFromBytes(FrameBytes(i), true, 0);
}

inline void SetBusValues(const mdf::IChannelGroup& bus, uint64_t i) {
  ChannelOf(bus, "Bus.ID")->SetChannelValue(static_cast<uint32_t>(0x18DAF100 + i));
  ChannelOf(bus, "Bus.DataBytes")->SetValueFromBytes(Payload(i), true, 0);
}

/// One cycle on the writer's last data group: `samples` of each group, interleaved.
inline bool RunRichCycle(mdf::MdfWriter& writer, const RichGroups& groups, uint64_t samples) {
  const bool initialised = writer.InitMeasurement();
  writer.StartMeasurement(kStartNs);
  for (uint64_t i = 0; i < samples; ++i) {
    SetRichValues(*groups.rich, i);
    writer.SaveSample(*groups.rich, SampleTime(i));
    SetBusValues(*groups.bus, i);
    writer.SaveSample(*groups.bus, SampleTime(i) + 500'000);
  }
  writer.StopMeasurement(UINT64_MAX);
  const bool finalized = writer.FinalizeMeasurement();
  return initialised && finalized;
}

/// Every value of the data group read back equals what RunRichCycle saved.
inline void ExpectRichValues(const ReadBack& file, size_t data_group, uint64_t samples) {
  SCOPED_TRACE("data group " + std::to_string(data_group));
  const auto* time = file.Observer(data_group, "Time");
  const auto* counter = file.Observer(data_group, "Counter");
  const auto* state = file.Observer(data_group, "State");
  const auto* level = file.Observer(data_group, "Level");
  const auto* ratio = file.Observer(data_group, "Ratio");
  const auto* name = file.Observer(data_group, "Name");
  const auto* array = file.Observer(data_group, "Array");
  const auto* frame_id = file.Observer(data_group, "Frame.ID");
  const auto* frame_bytes = file.Observer(data_group, "Frame.Bytes");
  const auto* stamp = file.Observer(data_group, "Timestamp");
  const auto* bus_id = file.Observer(data_group, "Bus.ID");
  const auto* payload = file.Observer(data_group, "Bus.DataBytes");
  for (const auto* observer :
       {time, counter, state, level, ratio, name, array, frame_id, frame_bytes, stamp, bus_id, payload}) {
    ASSERT_NE(observer, nullptr);
    ASSERT_EQ(observer->NofSamples(), samples) << observer->ChannelName();
  }
  for (uint64_t i = 0; i < samples; ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    double seconds = 0;
    EXPECT_TRUE(time->GetChannelValue(i, seconds));
    EXPECT_EQ(seconds, static_cast<double>(i) / 1000.0);
    uint64_t raw = 0;
    double physical = 0;
    EXPECT_TRUE(counter->GetChannelValue(i, raw));
    EXPECT_EQ(raw, i * 3);
    EXPECT_TRUE(counter->ConvertedValue(i, physical));
    EXPECT_EQ(physical, 10.0 + 0.5 * static_cast<double>(i * 3));
    std::string text;
    EXPECT_TRUE(state->GetChannelValue(i, raw));
    EXPECT_TRUE(state->Channel().ChannelConversion()->ValueToText(static_cast<double>(raw), text));
    EXPECT_EQ(text, i % 3 == 0 ? "Off" : i % 3 == 1 ? "On" : "Unknown");
    int64_t signed_value = 0;
    EXPECT_TRUE(level->GetChannelValue(i, signed_value));
    EXPECT_EQ(signed_value, 100 - static_cast<int64_t>(i) * 7);
    EXPECT_TRUE(ratio->GetChannelValue(i, physical));
    EXPECT_EQ(physical, static_cast<double>(i) / 8.0);
    EXPECT_TRUE(name->GetSampleText(i, text, 0));
    EXPECT_EQ(text, RichName(i));
    for (uint64_t k = 0; k < 3; ++k) {
      EXPECT_TRUE(array->GetChannelValue(i, raw, k));
      EXPECT_EQ(raw, i + 100 * k);
    }
    EXPECT_TRUE(frame_id->GetChannelValue(i, raw));
    EXPECT_EQ(raw, 0x100 + i);
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(frame_bytes->GetSampleByteArray(i, bytes));
    EXPECT_EQ(bytes, FrameBytes(i));
    EXPECT_TRUE(stamp->GetChannelValue(i, raw));
    EXPECT_EQ(raw, i * 1000 + 500);  // microseconds since the start
    EXPECT_TRUE(bus_id->GetChannelValue(i, raw));
    EXPECT_EQ(raw, 0x18DAF100 + i);
    EXPECT_TRUE(payload->GetSampleByteArray(i, bytes));
    EXPECT_EQ(bytes, Payload(i));
  }
}

}  // namespace test
