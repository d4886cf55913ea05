#pragma once
// The options of one run: what the command line and the password file configure. parseOptions
// declares the option table, parses the command line, prints the usage, version or error
// texts, decides the exit status of argument errors, and turns the values into the settings,
// the password store, the inputs' common root and the input and output file systems.
#include <cstdint>

#include "app/argument_table.h"
#include "app/demux_rules.h"
#include "app/passwords.h"
#include "platform/cstr.h"
#include "platform/filesystem.h"
#include "platform/vector.h"

struct cOptions_t;

struct cOptionsOps_t {
  /// Appends the tool's own entries to the table; false when it could not.
  bool (*add_tool_options)(cOptions_t* options, cArgumentTable_t* table);
  /// Runs after the options were applied; may be null.
  bool (*validate)(cOptions_t* options);
  /// Releases what the tool's entries filled.
  void (*destroy)(cOptions_t* options);
};

/// What the input walk needs.
struct cSettings_t {
  uint8_t delete_converted;
  uint8_t no_append_root;
  uint8_t non_interactive;
  int64_t buffer_size;  // -1 when not given
  cPasswordStore_t passwords;
};

struct cOptions_t {
  const cOptionsOps_t* ops;
  cSettings_t settings;
  cStr_t common_root;                 // ends in '/'
  cVec_t<cStr_t> inputs;              // normalized; relative to the common root once it is found
  cVec_t<cStr_t> password_files;      // normalized values of "password-file"
  cVec_t<cStr_t> output_directories;  // normalized values of "output-directory"
  cFileSystem_t* input_fs;            // rooted at the common root
  cFileSystem_t* output_fs;           // the output directory's, or input_fs itself
  cDemuxMap_t demux;
};

/// The entries of the option table that the options are taken from.
struct cOptionTable_t {
  cArgumentTable_t table;
  cArgumentFlag_t* help;
  cArgumentFlag_t* version;
  cArgumentInteger_t* verbosity;
  cArgumentFlag_t* non_interactive;
  cArgumentFlag_t* delete_converted;
  cArgumentFlag_t* no_append_root;
  cArgumentInteger_t* buffer;
  cArgumentString_t* inputs;  // the positional inputs, as given
  cArgumentEnd_t* end;
};

/// Options with no values, buffer size -1 and the tool's operations; null when memory is short.
cOptions_t* optionsNew();
/// Releases everything the options hold, then the record.
void optionsFree(cOptions_t* options);

/// Parses argv[0..argc) (argv[0] is the program) into the options. True when the run may go
/// on; otherwise `status` holds the exit status: 0 after "version", 129 (the caller's start
/// value, left as it was) for help, an empty command line and set-up failures, 130, 131 or 134
/// for argument errors, 132 when the inputs have no common root.
bool parseOptions(cOptions_t* options, int argc, char** argv, int* status);
/// The tool's table operation: appends the "muxtp-can*" entry that fills options->demux.
bool addToolOptions(cOptions_t* options, cArgumentTable_t* table);
/// Builds the option table for a command line of `argc` arguments (program included); false
/// when an entry could not be made (the table is then freed).
bool buildOptionTable(cOptions_t* options, int argc, cOptionTable_t* table);
/// Acts on a parsed table: usage, version, errors, verbosity, flags, buffer size, passwords,
/// common root and file systems. A common root that does not exist as a folder (a mistyped
/// folder, a name below a file) leaves every input missing: each gets "Could not find input
/// file/folder %s" as given, and the status is 1; one that cannot be queried gets "Could not
/// query %s for information" for the first input, and 129.
bool applyOptions(cOptions_t* options, const cOptionTable_t* table, int argc, int* status);
/// Finds the one folder that holds every input (D/x, D/y/ -> D/) and makes the inputs relative
/// to it; fails with 132 (logging "Could not find root for %.*s" or "No common root detected
/// for all inputs") otherwise. "/" itself has no parent, and a relative input (left so when the
/// current directory is unknown) has no root.
bool findCommonRoot(cOptions_t* options, int* status);
