// Fuzz target over the reader: an input is read as an MDF file from memory, as a user reads
// it (every block, every data group without and with observers, every value in each form,
// the converted values and the property rows). Anything but a crash, hang or sanitizer
// report is a pass. Replayed as a test, each input is also read from a file and must give
// the same result: a file buffer's seeks and reads must not change what is read.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mdf/mdflogstream.h"
#include "mdf/mdfreader.h"
#include "support/readerdrive.h"

namespace {

std::string ReadFrom(mdf::MdfReader& reader) {
  std::ostringstream summary;
  test::ReadSteps steps;
  steps.read_without_observers = true;
  steps.summary = &summary;
  test::ReadAsUser(reader, steps);
  return summary.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mdf::InstallLogCallback({});  // Damaged input logs a lot; nobody reads it here.
  mdf::MdfReader from_memory(std::make_shared<test::MemoryBuffer>(std::vector<uint8_t>(data, data + size)));
  const std::string read_from_memory = ReadFrom(from_memory);
#ifdef LOGMEND_FUZZ_REPLAY
  const std::string name = "/tmp/logmend_replay_" + std::to_string(::getpid()) + ".mf4";
  {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::string read_from_file;
  {
    mdf::MdfReader from_file(name);
    read_from_file = ReadFrom(from_file);
  }
  std::remove(name.c_str());
  if (read_from_file != read_from_memory) {
    std::fprintf(stderr, "Reading from a file differs from reading from memory.\nMemory:\n%s\nFile:\n%s\n",
                 read_from_memory.c_str(), read_from_file.c_str());
    std::abort();
  }
#endif
  return 0;
}
