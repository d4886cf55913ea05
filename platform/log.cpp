#include "platform/log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr long kNanosecondsPerMillisecond = 1000000;

std::atomic<int> g_threshold{kLogThresholdOff};

void WriteToStandardError(const char* line, size_t length) {
  const ssize_t ignored = ::write(STDERR_FILENO, line, length);  // nowhere to report a failure
  (void)ignored;
}

constexpr cLogOutput_t kConsoleOutput = {kLogAllParts, WriteToStandardError};

// Appends to a line, silently stopping at kLogMaxText characters.
struct LineWriter {
  char* line;
  size_t length;

  void Put(char c) {
    if (length < kLogMaxText) line[length++] = c;
  }
  void Put(const char* text) {
    while (*text != '\0' && length < kLogMaxText) line[length++] = *text++;
  }
  // Decimal digits right-aligned in at least `width` columns, padded with `pad`.
  void PutNumber(int64_t value, int width, char pad) {
    char digits[24];
    int count = 0;
    const bool negative = value < 0;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits[count++] = '-';
    for (int i = count; i < width; ++i) Put(pad);
    while (count > 0) Put(digits[--count]);
  }
  // The message's bytes, each control character (and the backslash that escapes) written as
  // its escape, so that a name holding one keeps its line whole and readable. An escape that
  // would not fit whole is left out with the rest.
  void PutEscaped(const char* text, size_t text_length) {
    for (size_t i = 0; i < text_length; ++i) {
      char escape[kLogMaxEscape];
      const size_t escape_length = logEscapeByte(static_cast<unsigned char>(text[i]), escape);
      if (length + escape_length > kLogMaxText) return;
      for (size_t j = 0; j < escape_length; ++j) line[length++] = escape[j];
    }
  }
};

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

void WriteLine(int level, const char* tag, const cLogSource_t* source, const char* format, va_list args) {
  cLogContext_t context;
  logCurrentContext(&context);
  char line[kLogLineBuffer];
  const size_t length = logFormat(line, kConsoleOutput.mask, &context, level, tag, source, format, args);
  kConsoleOutput.write(line, length);
}

}  // namespace

size_t logEscapeByte(unsigned char byte, char* escape) {
  static const char kHex[] = "0123456789abcdef";
  static const char kNamed[] = "\n\r\t\\";  // written as a backslash and the letter below
  static const char kLetters[] = "nrt\\";
  const char* named = byte != 0 ? std::strchr(kNamed, byte) : nullptr;
  if (named != nullptr) {
    escape[0] = '\\';
    escape[1] = kLetters[named - kNamed];
    return 2;
  }
  if (byte < 0x20 || byte == 0x7F) {
    escape[0] = '\\';
    escape[1] = 'x';
    escape[2] = kHex[byte >> 4];
    escape[3] = kHex[byte & 15];
    return 4;
  }
  escape[0] = static_cast<char>(byte);
  return 1;
}

cStr_t* logAppendEscaped(cStr_t* out, cStrView_t text) {
  for (int64_t i = 0; i < text.length; ++i) {
    char escape[kLogMaxEscape];
    const size_t length = logEscapeByte(static_cast<unsigned char>(text.data[i]), escape);
    if (cStrAppend(out, {escape, static_cast<int64_t>(length)}) == nullptr) return nullptr;
  }
  return out;
}

void logSetLevel(int threshold) { g_threshold.store(threshold, std::memory_order_relaxed); }

int logThreshold() { return g_threshold.load(std::memory_order_relaxed); }

bool logEnabled(int level) { return logThreshold() <= level; }

char logLevelLetter(int level) {
  switch (level) {
    case kLogVerbose:
      return 'V';
    case kLogDebug:
      return 'D';
    case kLogInfo:
      return 'I';
    case kLogWarning:
      return 'W';
    case kLogError:
      return 'E';
    case kLogFatal:
      return 'F';
    default:
      return '?';
  }
}

size_t logFormat(char* line, uint32_t mask, const cLogContext_t* context, int level, const char* tag,
                 const cLogSource_t* source, const char* format, va_list args) {
  LineWriter out{line, 0};
  if ((mask & kLogPartContext) != 0) {
    out.PutNumber(context->month, 2, '0');
    out.Put('-');
    out.PutNumber(context->day, 2, '0');
    out.Put(' ');
    out.PutNumber(context->hour, 2, '0');
    out.Put(':');
    out.PutNumber(context->minute, 2, '0');
    out.Put(':');
    out.PutNumber(context->second, 2, '0');
    out.Put('.');
    out.PutNumber(context->millisecond, 3, '0');
    out.Put(' ');
    out.PutNumber(context->process_id, 5, ' ');
    out.Put(' ');
    out.PutNumber(context->thread_id, 5, ' ');
    out.Put(' ');
    out.Put(logLevelLetter(level));
    out.Put(' ');
  }
  if ((mask & kLogPartTag) != 0 && tag != nullptr && *tag != '\0') {
    out.Put(tag);
    out.Put(' ');
  }
  if ((mask & kLogPartSource) != 0 && source != nullptr) {
    if (source->function != nullptr) out.Put(source->function);
    out.Put('@');
    out.Put(BaseName(source->file != nullptr ? source->file : ""));
    out.Put(':');
    out.PutNumber(source->line, 0, ' ');
    out.Put(' ');
  }
  if ((mask & kLogPartMessage) != 0 && out.length < kLogMaxText) {
    // vsnprintf keeps its terminator inside the buffer and cuts what does not fit; escapes only
    // lengthen the text, so what was cut could not have fitted either.
    char message[kLogLineBuffer];
    const size_t room = kLogMaxText - out.length;
    const int wanted = std::vsnprintf(message, room + 1, format, args);
    if (wanted > 0) out.PutEscaped(message, static_cast<size_t>(wanted) < room ? static_cast<size_t>(wanted) : room);
  }
  line[out.length] = '\n';
  return out.length + 1;
}

void logCurrentContext(cLogContext_t* context) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  if (localtime_r(&now.tv_sec, &local) == nullptr) local = std::tm{};
  context->month = local.tm_mon + 1;
  context->day = local.tm_mday;
  context->hour = local.tm_hour;
  context->minute = local.tm_min;
  context->second = local.tm_sec;
  context->millisecond = static_cast<int>(now.tv_nsec / kNanosecondsPerMillisecond);
  context->process_id = static_cast<int32_t>(getpid());
  context->thread_id = static_cast<int32_t>(gettid());
}

void logWrite(int level, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(level, tag, nullptr, format, args);
  va_end(args);
}

void logWriteWithSource(const char* function, const char* file, uint32_t line, int level, const char* tag,
                        const char* format, ...) {
  const cLogSource_t source{function, file, line};
  va_list args;
  va_start(args, format);
  WriteLine(level, tag, &source, format, args);
  va_end(args);
}

void logMessage(int level, const char* format, ...) {
  if (!logEnabled(level)) return;
  va_list args;
  va_start(args, format);
  WriteLine(level, nullptr, nullptr, format, args);
  va_end(args);
}
