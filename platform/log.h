#pragma once
// Console logger: every message is one line on standard error,
//   "MM-DD HH:MM:SS.mmm " pid(%5d) " " tid(%5d) " " letter " " [tag " "]
//   [function "@" file-base-name ":" line " "] message
// cut at 510 characters, then "\n", written with a single write(2). No allocation, no lock.
// In the message the control characters (bytes below 0x20 and 0x7F) are written as escapes,
// "\n", "\r", "\t" or "\xhh", and a backslash as "\\", so that a name or a file's bytes in
// it never split the line and every escape reads back one way.
//
// One process-wide threshold decides what is written: a message of level L when
// threshold <= L. It is 255 (nothing) until logSetLevel. logWrite and logWriteWithSource do
// not test it, so callers either test logEnabled first or use logMessage, which does both.
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform/cstr.h"

enum cLogLevel_t : int {
  kLogVerbose = 1,  // V
  kLogDebug = 2,    // D
  kLogInfo = 3,     // I
  kLogWarning = 4,  // W
  kLogError = 5,    // E
  kLogFatal = 6,    // F; any other level prints '?'
};

/// The threshold before logSetLevel: above every level.
constexpr int kLogThresholdOff = 255;
/// Text of one line without its newline, and the stack buffer that holds it.
constexpr size_t kLogMaxText = 510;
constexpr size_t kLogLineBuffer = 512;

// Parts of a line, as bits of a format mask.
constexpr uint32_t kLogPartContext = 1;
constexpr uint32_t kLogPartTag = 2;
constexpr uint32_t kLogPartSource = 4;
constexpr uint32_t kLogPartMessage = 8;
constexpr uint32_t kLogAllParts = 0xFFFF;

/// Where and how lines go: the console's instance has every part on and writes to fd 2.
struct cLogOutput_t {
  uint32_t mask;
  void (*write)(const char* line, size_t length);
};

/// The line's context header: local time and the ids of the calling process and thread.
struct cLogContext_t {
  int month;
  int day;
  int hour;
  int minute;
  int second;
  int millisecond;
  int32_t process_id;
  int32_t thread_id;
};

struct cLogSource_t {
  const char* function;  // may be null
  const char* file;      // only the text after its last '/' or '\' is printed
  uint32_t line;
};

/// Stores the threshold (relaxed atomic: writer threads read it through the library bridge).
void logSetLevel(int threshold);
int logThreshold();
/// True when a message of this level would be written.
bool logEnabled(int level);
char logLevelLetter(int level);

/// Formats and writes one line (no threshold test). An empty or null tag writes nothing.
void logWrite(int level, const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
void logWriteWithSource(const char* function, const char* file, uint32_t line, int level, const char* tag,
                        const char* format, ...) __attribute__((format(printf, 6, 7)));
/// The helper for the tool's own messages: logWrite without a tag when logEnabled(level).
void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Builds one line into `line` (kLogLineBuffer bytes) from the parts the mask selects, the
/// message escaped, and returns its length including the newline. `source` may be null.
size_t logFormat(char* line, uint32_t mask, const cLogContext_t* context, int level, const char* tag,
                 const cLogSource_t* source, const char* format, va_list args);
/// The context of a line written now.
void logCurrentContext(cLogContext_t* context);

/// The most characters one byte's escape takes ("\xhh").
constexpr size_t kLogMaxEscape = 4;
/// The escape of one byte as a message shows it: "\n", "\r", "\t", "\\" or "\xhh" for a
/// control character (and 0x7F) or the backslash, else the byte itself. Writes it to `escape`
/// (kLogMaxEscape characters of room) and gives its length.
size_t logEscapeByte(unsigned char byte, char* escape);
/// Appends `text` escaped as a message is, for other outputs that show what was given (the
/// argument-error list); allocates, unlike the logger itself. Null when memory is short.
cStr_t* logAppendEscaped(cStr_t* out, cStrView_t text);
