// Fuzz target over the reader: an input is read as an MDF file from memory, through every
// information block and every data group (once without observers, then into channel
// observers, whose values are taken in each form). Anything but a crash, hang or sanitizer
// report is a pass; a text that is no number may throw when it is asked for as one.
// Replayed as a test, each input is also read from a file and must give the same result.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdffile.h"
#include "mdf/mdflogstream.h"
#include "mdf/mdfreader.h"
#include "support/memorybuffer.h"

namespace {

// Bounds the value loop, not the reading: big files must still be read whole.
constexpr uint64_t kMaxSamplesTouched = 4096;

void TouchValues(const mdf::IChannelObserver& observer, std::ostream& summary) {
  const uint64_t samples = observer.NofHeldSamples();
  summary << observer.ChannelName() << ':' << observer.NofSamples() << '/' << samples;
  for (uint64_t sample = 0; sample < samples && sample < kMaxSamplesTouched; ++sample) {
    uint64_t unsigned_value = 0;
    int64_t signed_value = 0;
    double float_value = 0.0;
    std::string text;
    std::vector<uint8_t> bytes;
    summary << ' ' << observer.GetSampleText(sample, text, 0) << text;
    observer.GetByteArray(sample, bytes);
    try {
      observer.GetSampleUnsigned(sample, unsigned_value, 0);
      observer.GetSampleSigned(sample, signed_value, 0);
      observer.GetSampleFloat(sample, float_value, 0);
      observer.ConvertedValue(sample, float_value);
    } catch (const std::exception&) {
    }
  }
  try {
    std::vector<double> values;
    summary << " converted " << observer.ConvertedValues(values).size();
  } catch (const std::exception&) {
  }
  summary << '\n';
}

// Reads everything the way a user does; the summary says what was read.
std::string ReadEverything(std::unique_ptr<mdf::MdfReader> reader) {
  std::ostringstream summary;
  mdf::MdfFile* file = reader->GetFile();
  if (file == nullptr) {
    return "no file";
  }
  summary << "read " << reader->ReadEverythingButData() << '\n';
  mdf::DataGroupList groups;
  file->DataGroups(groups);
  for (mdf::IDataGroup* group : groups) {
    if (group == nullptr) continue;
    summary << "read without observers " << reader->ReadData(*group) << '\n';
    mdf::ChannelObserverList observers;
    mdf::CreateObserversForDataGroup(*group, observers);
    summary << "read " << reader->ReadData(*group) << '\n';
    for (const auto& observer : observers) {
      if (observer) TouchValues(*observer, summary);
    }
  }
  return summary.str();
}

#ifdef LOGMEND_FUZZ_REPLAY
// The same bytes read from a path: a file buffer's seeks and reads must give what the
// memory buffer gives.
void CompareWithFile(const uint8_t* data, size_t size, const std::string& from_memory) {
  const std::string name = "/tmp/logmend_replay_" + std::to_string(::getpid()) + ".mf4";
  {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::string from_file = ReadEverything(std::make_unique<mdf::MdfReader>(name));
  std::remove(name.c_str());
  if (from_file != from_memory) {
    std::fprintf(stderr, "Reading from a file differs from reading from memory.\nMemory:\n%s\nFile:\n%s\n",
                 from_memory.c_str(), from_file.c_str());
    std::abort();
  }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mdf::InstallLogCallback({});  // Damaged input logs a lot; nobody reads it here.
  auto buffer = std::make_shared<test::MemoryBuffer>(std::vector<uint8_t>(data, data + size));
  const std::string summary = ReadEverything(std::make_unique<mdf::MdfReader>(buffer));
#ifdef LOGMEND_FUZZ_REPLAY
  CompareWithFile(data, size, summary);
#endif
  return 0;
}
