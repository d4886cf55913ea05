// Fuzz target over the command line: the first input byte's bit 0 sets POSIXLY_CORRECT, the
// rest is split at zero bytes into the arguments after the program name, and parseOptions
// runs on them from a fresh options object and a closed console, as at process start.
// Anything but a crash, hang, leak or sanitizer report is a pass.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/exit_status.h"
#include "app/options.h"
#include "platform/log.h"

namespace {

// More arguments find nothing new; the bound keeps each input fast.
constexpr size_t kMaxArguments = 128;

bool KnownStatus(int status) {
  return status == kExitSuccess || status == kExitStart || status == kExitMissingValue ||
         status == kExitInvalidArgument || status == kExitNoCommonRoot || status == kExitArgumentError;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<std::string> storage = {"logmend"};
  std::string current;
  for (size_t i = 1; i < size && storage.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      storage.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 1 && storage.size() < kMaxArguments) storage.push_back(current);
  std::vector<char*> argv;
  for (auto& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  if ((data[0] & 1) != 0) setenv("POSIXLY_CORRECT", "1", 1);
  cOptions_t* options = optionsNew();
  int status = kExitStart;
  const bool ok = parseOptions(options, static_cast<int>(storage.size()), argv.data(), &status);
  if (ok ? status != kExitStart : !KnownStatus(status)) __builtin_trap();
  if (ok && (options->input_fs == nullptr || options->output_fs == nullptr)) __builtin_trap();
  optionsFree(options);
  unsetenv("POSIXLY_CORRECT");
  logSetLevel(kLogThresholdOff);
  return 0;
}
