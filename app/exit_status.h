#pragma once
// Exit statuses of the tool. Per-file failures OR their bits into 0; the others end the run
// before any file is converted. 130, 131 and 134 coincide with a shell's "killed by signal"
// statuses (SIGINT, SIGQUIT, SIGABRT); they are the tool's interface nonetheless.

constexpr int kExitSuccess = 0;
// Per-file failure bits.
constexpr int kExitInputMissing = 1;   // an input file or folder is missing
constexpr int kExitNoPassword = 2;     // no password, or the decryption failed
constexpr int kExitDecompression = 4;  // a compressed container could not be decoded
constexpr int kExitFileFailed = 8;     // any other failure of a file
// The start value; it stays for help, an empty command line and set-up failures.
constexpr int kExitStart = 129;
// Argument errors.
constexpr int kExitMissingValue = 130;     // an option without its value
constexpr int kExitInvalidArgument = 131;  // an invalid number, an unexpected argument, a bad verbosity
constexpr int kExitArgumentError = 134;    // any other; the error list is printed
constexpr int kExitNoCommonRoot = 132;
