// Fuzz target over the reader: an input is read as an MDF file from memory, through every
// information block and every data group into channel observers, whose values are then
// taken in each form. Anything but a crash, hang or sanitizer report is a pass; a text that
// is no number may throw when it is asked for as one.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdffile.h"
#include "mdf/mdflogstream.h"
#include "mdf/mdfreader.h"
#include "support/memorybuffer.h"

namespace {

// Bounds the value loop, not the reading: big files must still be read whole.
constexpr uint64_t kMaxSamplesTouched = 4096;

void TouchValues(const mdf::IChannelObserver& observer) {
  const uint64_t samples = observer.NofSamples();
  for (uint64_t sample = 0; sample < samples && sample < kMaxSamplesTouched; ++sample) {
    uint64_t unsigned_value = 0;
    int64_t signed_value = 0;
    double float_value = 0.0;
    std::string text;
    std::vector<uint8_t> bytes;
    observer.GetSampleText(sample, text, 0);
    observer.GetByteArray(sample, bytes);
    try {
      observer.GetSampleUnsigned(sample, unsigned_value, 0);
      observer.GetSampleSigned(sample, signed_value, 0);
      observer.GetSampleFloat(sample, float_value, 0);
      observer.ConvertedValue(sample, float_value);
    } catch (const std::exception&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mdf::InstallLogCallback({});  // Damaged input logs a lot; nobody reads it here.
  auto buffer = std::make_shared<test::MemoryBuffer>(std::vector<uint8_t>(data, data + size));
  mdf::MdfReader reader(buffer);
  mdf::MdfFile* file = reader.GetFile();
  if (file == nullptr) {
    return 0;
  }
  reader.ReadEverythingButData();
  mdf::DataGroupList groups;
  file->DataGroups(groups);
  for (mdf::IDataGroup* group : groups) {
    if (group == nullptr) continue;
    mdf::ChannelObserverList observers;
    mdf::CreateObserversForDataGroup(*group, observers);
    reader.ReadData(*group);
    for (const auto& observer : observers) {
      if (observer) TouchValues(*observer);
    }
  }
  return 0;
}
