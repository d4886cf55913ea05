#include "app/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "app/exit_status.h"
#include "platform/log.h"
#include "platform/path.h"

#ifndef LOGMEND_VERSION
#define LOGMEND_VERSION "unknown"
#endif
#ifndef LOGMEND_GIT_SHA
#define LOGMEND_GIT_SHA "unknown"
#endif

namespace {

const char* const kProgram = "logmend";
// The error list shows this many errors, the last slot turning into "too many errors": a
// mistyped command line is fully listed without flooding the screen.
constexpr int32_t kErrorSlots = 20;
// "muxtp-can*" takes at most this many rules; each one configures both pipeline stages.
constexpr int32_t kMaxDemuxRules = 63;
// What a path conversion returns when a value could not be kept.
constexpr int kConversionNoMemory = 3;

// Console thresholds of the verbosity values 0 to 5; without the option, verbosity 2.
constexpr int kVerbosityThreshold[] = {kLogThresholdOff, kLogFatal, kLogError, kLogWarning, kLogInfo, kLogInfo};
constexpr int kDefaultThreshold = kLogError;

void ReleaseString(cStr_t* string) { cStrRelease(string); }

// Conversion of the path entries: every value, normalized, into the options' vector.
int CollectPaths(cArgumentString_t* entry, void* destination) {
  auto* paths = static_cast<cVec_t<cStr_t>*>(destination);
  for (int32_t i = 0; i < entry->header.count; ++i) {
    cStr_t path{};
    if (!cStrInit(&path, cStrViewOf(entry->values[i])) || !pathNormalize(&path) || vecPush(paths, path) == nullptr) {
      cStrRelease(&path);
      return kConversionNoMemory;
    }
  }
  return 0;
}

void PathError(cArgumentString_t*, cStr_t* out, int code, const char*, const char* program) {
  if (code == kConversionNoMemory) cStrAppendFormat(out, "%s: internal error, could not allocate memory\n", program);
}

int ConvertDemuxRules(cArgumentString_t* entry, void* destination) {
  return parseMuxtpArg(entry, static_cast<cDemuxMap_t*>(destination));
}

void DestroyToolOptions(cOptions_t* options) { hashMapRelease(&options->demux); }

const cOptionsOps_t kToolOptionsOps = {addToolOptions, nullptr, DestroyToolOptions};

// Appends the entry (a null one too, so the table check finds it); false when the table
// cannot grow.
bool Add(cArgumentTable_t* table, cArgumentEntry_t* entry) {
  if (vecPush(table, entry) != nullptr) return true;
  freeArgumentEntry(entry);
  return false;
}

template <typename Entry>
cArgumentEntry_t* HeaderOf(Entry* entry) {
  return entry == nullptr ? nullptr : &entry->header;
}

void PrintVersion() {
  std::printf("Version: %s\n", LOGMEND_VERSION);
  std::printf("Build date: %s\n", __DATE__ " " __TIME__);
  std::printf("GIT SHA: %s%s\n", LOGMEND_GIT_SHA, "");
  std::fflush(stdout);
}

struct RootEntry {
  cStr_t key;
};
using cRootSet_t = cHashMap_t<RootEntry, cTextKeyTraits_t<RootEntry>>;

void ReleaseRoots(cRootSet_t* roots) {
  for (uint32_t i = hashMapNext(roots, 0); i < roots->buckets; i = hashMapNext(roots, i + 1)) {
    cStrRelease(&roots->entries[i].key);
  }
  hashMapRelease(roots);
}

/// The status of a run whose common root is no folder to open, with its lines: every input lies
/// in that root. Where it does not exist as a folder (missing, a file, or a path through a
/// file) the inputs are missing, each named as given (1); where it cannot be queried (a looping
/// link, no permission) or memory is short, the run cannot start (129).
int RefuseRoot(const cOptions_t* options, const cArgumentString_t* given) {
  cFileStat_t stat{};
  const bool known = nativeFsStat(nullptr, cStrData(&options->common_root), &stat);
  const int error = errno;
  const bool missing = known ? stat.kind != kFileKindDirectory : error == ENOTDIR;
  if (given == nullptr || given->header.count == 0) return kExitStart;
  if (!missing) {
    // A folder that could not be opened is one the memory could not hold: no input's fault.
    if (!known) logMessage(kLogFatal, "Could not query %s for information", given->values[0]);
    return kExitStart;
  }
  for (int32_t i = 0; i < given->header.count; ++i) {
    logMessage(kLogError, "Could not find input file/folder %s", given->values[i]);
  }
  return kExitInputMissing;
}

}  // namespace

cOptions_t* optionsNew() {
  auto* options = static_cast<cOptions_t*>(std::calloc(1, sizeof(cOptions_t)));
  if (options == nullptr) return nullptr;
  options->settings.buffer_size = -1;
  options->ops = &kToolOptionsOps;
  return options;
}

void optionsFree(cOptions_t* options) {
  if (options == nullptr) return;
  if (options->ops != nullptr && options->ops->destroy != nullptr) options->ops->destroy(options);
  passwordStoreRelease(&options->settings.passwords);
  cStrRelease(&options->common_root);
  vecRelease(&options->inputs, ReleaseString);
  vecRelease(&options->password_files, ReleaseString);
  vecRelease(&options->output_directories, ReleaseString);
  if (options->output_fs != options->input_fs) fsFree(options->output_fs);
  fsFree(options->input_fs);
  std::free(options);
}

bool addToolOptions(cOptions_t* options, cArgumentTable_t* table) {
  cArgumentString_t* rules =
      argumentStringNew(nullptr, "muxtp-can*", "<demux mapping>", 0, kMaxDemuxRules,
                        "CAN IDs to demux and their corresponding channels. E.g. \"--muxtp-can2=010#3:4:5:6\"",
                        ConvertDemuxRules, nullptr, &options->demux);
  return Add(table, HeaderOf(rules));
}

bool buildOptionTable(cOptions_t* options, int argc, cOptionTable_t* t) {
  *t = cOptionTable_t{};
  cArgumentTable_t* table = &t->table;
  bool complete = true;
  auto add = [&complete, table](cArgumentEntry_t* entry) { complete = Add(table, entry) && complete; };
  add(HeaderOf(t->help = argumentFlagNew(nullptr, "help", "display this help and exit")));
  add(HeaderOf(t->version = argumentFlagNew("v", "version", "display tool version and exit")));
  add(HeaderOf(t->verbosity = argumentIntegerNew(nullptr, "verbosity", "<n>",
                                                 "verbosity level (0 to 4, 0=disable, 4=verbose, default=2)")));
  add(HeaderOf(t->non_interactive = argumentFlagNew(nullptr, "non-interactive", "does not print any progress output")));
  add(HeaderOf(t->delete_converted =
                   argumentFlagNew("d", "delete-converted", "deletes files after conversion if specified")));
  add(HeaderOf(t->no_append_root =
                   argumentFlagNew("X", "no-append-root", "do not add \"_out\" when converting folders")));
  add(HeaderOf(t->buffer = argumentIntegerNew("b", "buffer", "<n>",
                                              "buffer size in bytes. 0 disables and -1 takes entire file")));
  add(HeaderOf(argumentSingleFileNew("p", "password-file", "<file>",
                                     "path to decryption passwords file (default=passwords.json)", CollectPaths,
                                     PathError, &options->password_files)));
  if (options->ops != nullptr && options->ops->add_tool_options != nullptr &&
      !options->ops->add_tool_options(options, table)) {
    complete = false;
  }
  add(HeaderOf(argumentSingleFileNew("O", "output-directory", "<file>", "path to output files", CollectPaths, PathError,
                                     &options->output_directories)));
  // Only documents the positional inputs: "-i" is accepted and has no effect.
  add(HeaderOf(
      argumentFlagNew("i", "input-files=<file(s)/folder(s)>", "paths to input files/folders (must have common root)")));
  // As many inputs as the command line has arguments, so the syntax shows that many.
  add(HeaderOf(t->inputs = argumentFileNew(nullptr, nullptr, "file(s)/folder(s)", 1, argc > 2 ? argc - 1 : 1, nullptr,
                                           CollectPaths, PathError, &options->inputs)));
  add(HeaderOf(t->end = argumentEndNew(kErrorSlots)));
  if (complete && checkArgumentTable(table)) return true;
  freeArgumentTable(table);
  return false;
}

bool applyOptions(cOptions_t* options, const cOptionTable_t* t, int argc, int* status) {
  if (t->help->header.count > 0 || argc <= 1) {
    std::fputs("Usage: logmend", stdout);
    printArgumentSyntax(stdout, &t->table, "\n\n");
    printArgumentGlossary(stdout, &t->table, "  %-40s %s\n");
    return false;
  }
  if (t->version->header.count > 0) {
    PrintVersion();
    *status = kExitSuccess;
    return false;
  }
  if (t->end->header.count > 0) {
    const int first = t->end->errors[0].code;
    if (first == kArgumentBadNumber) {
      *status = kExitInvalidArgument;
    } else if (first == kArgumentMissingValue) {
      *status = kExitMissingValue;
    } else {
      printArgumentErrors(stdout, t->end, kProgram);
      *status = kExitArgumentError;
    }
    return false;
  }

  int threshold = kDefaultThreshold;
  if (t->verbosity->header.count > 0) {
    const int32_t verbosity = t->verbosity->values[0];
    if (verbosity < 0 || verbosity > 5) {
      *status = kExitInvalidArgument;
      return false;
    }
    threshold = kVerbosityThreshold[verbosity];
  }
  logSetLevel(threshold);

  cSettings_t& settings = options->settings;
  settings.delete_converted = t->delete_converted->header.count == 1;
  settings.no_append_root = t->no_append_root->header.count == 1;
  settings.non_interactive = t->non_interactive->header.count == 1;
  settings.buffer_size = t->buffer->header.count == 1 ? int64_t{t->buffer->values[0]} : -1;

  const cStr_t* password_file = options->password_files.count > 0 ? &options->password_files.items[0] : nullptr;
  if (!loadPasswords(password_file, &settings.passwords, status)) return false;
  logMessage(kLogInfo, "%ld password(s) loaded", static_cast<long>(settings.passwords.size));
  if (!findCommonRoot(options, status)) return false;

  options->input_fs = nativeFsNew(cStrViewOfStr(&options->common_root));
  if (options->input_fs == nullptr) {
    *status = RefuseRoot(options, t->inputs);
    return false;
  }
  options->output_fs = options->input_fs;
  if (options->output_directories.count == 1) {
    const cStr_t* directory = &options->output_directories.items[0];
    cFileSystem_t* output = nativeFsNew(cStrViewOfStr(directory));
    if (output == nullptr) {
      logMessage(kLogError, "Invalid output path: %s", cStrData(directory));
      *status = kExitStart;
      return false;
    }
    options->output_fs = output;
  }
  return true;
}

bool parseOptions(cOptions_t* options, int argc, char** argv, int* status) {
  cOptionTable_t table{};
  if (!buildOptionTable(options, argc, &table)) {
    *status = kExitStart;
    return false;
  }
  parseArgumentTable(argc, argv, &table.table);
  bool ok = applyOptions(options, &table, argc, status);
  if (ok && options->ops->validate != nullptr) ok = options->ops->validate(options);
  freeArgumentTable(&table.table);
  return ok;
}

bool findCommonRoot(cOptions_t* options, int* status) {
  cRootSet_t roots{};
  bool ok = true;
  for (int64_t i = 0; ok && i < options->inputs.count; ++i) {
    const cStrView_t path = cStrViewOfStr(&options->inputs.items[i]);
    const int64_t end = path.length >= 2 && path.data[path.length - 1] == '/' ? path.length - 1 : path.length;
    int64_t slash = end - 1;
    while (slash >= 0 && path.data[slash] != '/') --slash;
    // The input needs a name after its parent: "/" itself has none. A path still relative
    // (the current directory was unknown when it was normalized) has no folder to root it.
    if (slash < 0 || slash + 1 == end || path.data[0] != '/') {
      const int shown = path.length > INT_MAX ? INT_MAX : static_cast<int>(path.length);
      logMessage(kLogFatal, "Could not find root for %.*s", shown, path.data);
      ok = false;
      break;
    }
    const cStrView_t parent{path.data, slash + 1};
    const cHashInsert_t<RootEntry> slot = hashMapInsert(&roots, parent);
    if (slot.entry == nullptr || (slot.inserted && !cStrInit(&slot.entry->key, parent))) ok = false;
  }
  if (ok && roots.size != 1) {
    if (roots.size > 1) logMessage(kLogFatal, "No common root detected for all inputs");
    ok = false;
  }
  if (ok) {
    const cStr_t* root = &roots.entries[hashMapNext(&roots, 0)].key;
    const int64_t length = cStrLength(root);
    ok = cStrInit(&options->common_root, cStrViewOfStr(root));
    for (int64_t i = 0; ok && i < options->inputs.count; ++i) {
      cStr_t* input = &options->inputs.items[i];
      const cStrView_t view = cStrViewOfStr(input);
      cStr_t relative{};
      ok = cStrInit(&relative, {view.data + length, view.length - length});
      if (ok) {
        cStrRelease(input);
        *input = relative;
      }
    }
  }
  ReleaseRoots(&roots);
  if (!ok) *status = kExitNoCommonRoot;
  return ok;
}
