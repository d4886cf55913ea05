// logmend: converts the recordings of CAN/LIN data loggers into finalized MDF 4.11 bus-logging
// files. main parses the options, builds the record-handler chain TP -> MUX -> converter,
// configures both stages per demultiplexing rule and lets the walker convert every input.
#include <cstdlib>
#include <cstring>

#include "app/converter.h"
#include "app/demux_rules.h"
#include "app/exit_status.h"
#include "app/options.h"
#include "app/walker.h"
#include "buslog/mux_handler.h"
#include "buslog/tp_handler.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kDemuxChannelMask = 0xFF;
constexpr int kDemuxIdShift = 32;

/// A copy of the rules' entries with their occupancy, so that the rules can be walked after
/// the options have been used further.
struct DemuxCopy {
  cDemuxEntry_t* entries = nullptr;
  uint8_t* control = nullptr;
  uint32_t buckets = 0;

  ~DemuxCopy() {
    std::free(entries);
    std::free(control);
  }
  /// False when memory is short.
  bool Take(const cDemuxMap_t& map) {
    if (map.buckets == 0) return true;
    entries = static_cast<cDemuxEntry_t*>(std::malloc(sizeof(cDemuxEntry_t) * map.buckets));
    control = static_cast<uint8_t*>(std::malloc(map.buckets));
    if (entries == nullptr || control == nullptr) return false;
    std::memcpy(entries, map.entries, sizeof(cDemuxEntry_t) * map.buckets);
    std::memcpy(control, map.control, map.buckets);
    buckets = map.buckets;
    return true;
  }
};

/// Configures both stages for every rule in bucket order; false at the first failure.
bool ConfigureRules(const DemuxCopy& rules, cTpHandler_t* tp, cMuxHandler_t* mux) {
  for (uint32_t i = 0; i < rules.buckets; ++i) {
    if (rules.control[i] == 0) continue;
    const cDemuxEntry_t& rule = rules.entries[i];
    const auto channel = static_cast<uint8_t>(rule.key & kDemuxChannelMask);
    const auto id_key = static_cast<uint32_t>(rule.key >> kDemuxIdShift);
    // A multiplexed identifier is reassembled as ISO-TP before it is unpacked.
    if (!tpHandlerConfigure(tp, kBusTypeCan, channel, id_key, kTpProtocolIsoTp)) return false;
    if (!muxHandlerConfigure(mux, kBusTypeCan, channel, id_key, rule.targets)) return false;
  }
  return true;
}

int Run(cOptions_t* options, int argc, char** argv) {
  int status = kExitStart;
  if (!parseOptions(options, argc, argv, &status)) return status;
  // An interrupted run leaves no temporary output behind.
  if (!converterInstallSignalCleanup()) return kExitStart;

  DemuxCopy rules;
  if (!rules.Take(options->demux)) return kExitStart;

  cConverterHandler_t* converter = converterHandlerNew(options->output_fs);
  cMuxHandler_t* mux = converter != nullptr ? muxHandlerNew(&converter->handler, nullptr) : nullptr;
  cTpHandler_t* tp = mux != nullptr ? tpHandlerNew(&mux->handler) : nullptr;
  cWalker_t* walker = nullptr;
  // Frames the MUX stage unpacks enter the chain again at its head.
  if (tp != nullptr && muxHandlerSetDemuxTarget(mux, &tp->handler) && ConfigureRules(rules, tp, mux)) {
    walker = walkerNew(options->input_fs, options->output_fs, 1, &options->settings, &tp->handler);
  }
  if (walker != nullptr) {
    converterHandlerSetWalker(converter, walker);
    status = convertInputs(walker, &options->inputs);
  }

  converterHandlerFree(converter);
  muxHandlerFree(mux);
  tpHandlerFree(tp);
  walkerFree(walker);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard error would hand its number to the first file opened, and the log lines
  // would go into that file (an output, or an input read as one).
  if (!processOpenStandardDescriptors()) return kExitStart;
  cOptions_t* options = optionsNew();
  if (options == nullptr) return kExitStart;
  const int status = Run(options, argc, argv);
  optionsFree(options);
  return status;
}
