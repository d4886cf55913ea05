#pragma once
// Reads a recording's events through one of the iterator's decodings and keeps what a reader
// can see of them: every field of every record in order, the console's lines and the
// library's messages. Comparing two readings tells whether the decodings agree.
#include <cstdint>
#include <cstring>
#include <exception>
#include <ostream>
#include <string>
#include <vector>

#include "buslog/mdf_reader.h"
#include "mdf/mdflogstream.h"
#include "support/consolelog.h"
#include "support/streambytes.h"

namespace test {

/// One record as handed out: its fields and its data bytes.
struct EventCopy {
  int64_t time = 0;
  uint8_t channel = 0;
  uint32_t id = 0;
  int32_t type = 0;
  uint8_t flags[sizeof(cBusMsgFlags_t)] = {};
  std::vector<uint8_t> data;

  bool operator==(const EventCopy& other) const {
    return time == other.time && channel == other.channel && id == other.id && type == other.type &&
           std::memcmp(flags, other.flags, sizeof flags) == 0 && data == other.data;
  }
};

inline std::ostream& operator<<(std::ostream& out, const EventCopy& event) {
  out << "{type " << event.type << ", channel " << int{event.channel} << ", id " << event.id << ", time " << event.time
      << ", flags";
  for (const uint8_t flag : event.flags) out << ' ' << int{flag};
  out << ", " << event.data.size() << " data bytes}";
  return out;
}

struct IteratorReading {
  bool iterator = false;
  std::vector<EventCopy> events;
  std::vector<std::string> log;  // the console's lines, then the library's messages
  uint64_t fast_groups = 0;
  std::string damage;  // the reader's first damage after the events; empty without
};

/// `console`: the console's lines are collected (else it stays silent); sweeps that read
/// thousands of images leave it out, for the time its capture takes.
inline IteratorReading ReadEvents(const std::vector<uint8_t>& image, cMdfReader_t::Decoding decoding,
                                  bool console = true) {
  IteratorReading reading;
  std::vector<std::string> library;
  mdf::InstallLogCallback(
      [&library](const MdfLocation& location, mdf::MdfLogSeverity severity, const std::string& text) {
        library.push_back(std::to_string(static_cast<int>(severity)) + " " + location.function + " " + text);
      });
  {
    ConsoleLog log(console ? kLogVerbose : kLogFatal + 1);
    StreamPtr stream = MemoryStreamOf(image);
    if (cMdfReader_t* reader = mdfReaderOpen(stream.get()); reader != nullptr) {
      cMdfReaderIterator_t* iterator = nullptr;
      try {
        iterator = reader->getIterator(decoding);
      } catch (const std::exception&) {
        iterator = nullptr;
      }
      reading.iterator = iterator != nullptr;
      reading.fast_groups = mdfReaderIteratorFastGroups(iterator);
      for (cBusMsgHelper_t* record; (record = mdfReaderIteratorNext(iterator)) != nullptr;) {
        EventCopy event;
        event.time = record->Timestamp;
        event.channel = record->BusChannel;
        event.id = record->ID;
        event.type = record->MsgType;
        std::memcpy(event.flags, &record->Flags, sizeof event.flags);
        const auto* bytes = reinterpret_cast<const uint8_t*>(cStrData(&record->DataBytes));
        event.data.assign(bytes, bytes + cStrLength(&record->DataBytes));
        reading.events.push_back(std::move(event));
      }
      mdfReaderIteratorFree(iterator);
      if (const char* damage = mdfReaderFirstDamage(reader); damage != nullptr) reading.damage = damage;
      mdfReaderClose(reader);
    }
    reading.log = log.Messages();
  }
  mdf::InstallLogCallback({});
  reading.log.insert(reading.log.end(), library.begin(), library.end());
  return reading;
}

}  // namespace test
