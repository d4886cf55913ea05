#pragma once
// The times of a bus-log output read back through the library's channel observers, apart
// from our reader: the header's time record and every frame's time since 1970 (the start plus
// its Timestamp). Free of the byte writer's kit, so that it mixes with the bus-record kit.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "buslog/io_wrapper.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/imdftimestamp.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "support/streambytes.h"

namespace test {

/// A frame of an output: its group, identifier and time in ns since 1970 (the header's start
/// plus its Timestamp), which may pass 2^64.
struct OutputFrame {
  std::string group;
  uint64_t id = 0;
  unsigned __int128 ns = 0;
};

/// The output's header time record, read as the library reads it (the flags from the file's
/// bytes), and its frames, group after group.
struct OutputTimes {
  uint64_t start_ns = 0;
  int16_t tz_offset_min = 0;
  int16_t dst_offset_min = 0;
  uint8_t time_flags = 0;
  std::vector<OutputFrame> frames;
};

inline OutputTimes ReadOutputTimes(const std::vector<uint8_t>& output) {
  OutputTimes times;
  StreamPtr stream = MemoryStreamOf(output);
  mdf::MdfReader reader(std::make_shared<cIO_wrapper>(stream.get()));
  const bool read = reader.GetFile() != nullptr && reader.ReadEverythingButData();
  EXPECT_TRUE(read);
  if (!read) return times;
  const mdf::IHeader* header = reader.FileHeader();
  times.start_ns = header->StartTime();
  times.tz_offset_min = header->StartTimestamp()->GetTzOffsetMin();
  times.dst_offset_min = header->StartTimestamp()->GetDstOffsetMin();
  // The header follows the 64-byte identification; the flags are its time record's last byte.
  constexpr size_t kHeader = 64;
  constexpr size_t kTimeFlags = kHeader + 24 + 6 * 8 + 12;
  EXPECT_EQ(std::string(output.begin() + kHeader, output.begin() + kHeader + 4), "##HD");
  times.time_flags = output.at(kTimeFlags);
  for (mdf::IDataGroup* data_group : header->DataGroups()) {
    mdf::ChannelObserverList observers;
    mdf::CreateObserversForDataGroup(*data_group, observers);
    EXPECT_TRUE(reader.ReadData(*data_group));
    const std::string name = data_group->ChannelGroups().at(0)->Name();
    const mdf::IChannelObserver* time = nullptr;
    const mdf::IChannelObserver* id = nullptr;
    for (const mdf::ChannelObserverPtr& observer : observers) {
      if (observer && observer->ChannelName() == "Timestamp") time = observer.get();
      if (observer && observer->ChannelName() == name + ".ID") id = observer.get();
    }
    for (uint64_t i = 0; time != nullptr && i < time->NofSamples(); ++i) {
      OutputFrame frame{name};
      uint64_t us = 0;
      EXPECT_TRUE(time->GetChannelValue(i, us));
      if (id != nullptr) {
        EXPECT_TRUE(id->GetChannelValue(i, frame.id));
      }
      frame.ns = times.start_ns + static_cast<unsigned __int128>(us) * 1000;
      times.frames.push_back(frame);
    }
  }
  return times;
}

/// A time since 1970 to the ns, as text: a 128-bit number prints nowhere else.
inline std::string NsText(unsigned __int128 ns) {
  const std::string fraction = std::to_string(static_cast<uint64_t>(ns % 1'000'000'000));
  return std::to_string(static_cast<uint64_t>(ns / 1'000'000'000)) + "." + std::string(9 - fraction.size(), '0') +
         fraction + " s";
}

}  // namespace test
