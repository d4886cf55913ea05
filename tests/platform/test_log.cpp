#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "mdf/mdfreader.h"
#include "platform/log.h"
#include "platform/mdf_log_bridge.h"
#include "support/stderrcapture.h"

namespace {

// Read before any test runs: the value the process starts with.
const int kStartThreshold = logThreshold();

std::string Format(const cLogContext_t& context, int level, const char* tag, const cLogSource_t* source,
                   const char* format, ...) {
  char line[kLogLineBuffer];
  va_list args;
  va_start(args, format);
  const size_t length = logFormat(line, kLogAllParts, &context, level, tag, source, format, args);
  va_end(args);
  return {line, length};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The text behind the context header of a line written now (time, this process and this
// thread, the level letter), or "<no header>" when the header is not there.
std::string AfterHeader(const std::string& line, char letter) {
  const std::string time_shape = "dd-dd dd:dd:dd.ddd ";
  char ids[64];
  std::snprintf(ids, sizeof ids, "%5d %5d %c ", static_cast<int>(getpid()), static_cast<int>(gettid()), letter);
  const std::string header_end = ids;
  if (line.size() < time_shape.size() + header_end.size()) return "<no header>";
  for (size_t i = 0; i < time_shape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (time_shape[i] == 'd' ? !digit : line[i] != time_shape[i]) return "<no header>";
  }
  if (line.compare(time_shape.size(), header_end.size(), header_end) != 0) return "<no header>";
  return line.substr(time_shape.size() + header_end.size());
}

class Logger : public testing::Test {
 protected:
  void TearDown() override {
    logSetLevel(kLogThresholdOff);
    mdf::InstallLogCallback({});
  }
};

TEST(LogFormat, BuildsTheExactLine) {
  const cLogContext_t context{1, 2, 3, 4, 5, 6, 12345, 7};
  EXPECT_EQ(Format(context, kLogError, nullptr, nullptr, "%d files", 3), "01-02 03:04:05.006 12345     7 E 3 files\n");
  EXPECT_EQ(Format(context, kLogWarning, "", nullptr, "x"), "01-02 03:04:05.006 12345     7 W x\n");
  EXPECT_EQ(Format(context, kLogInfo, "tp", nullptr, "x"), "01-02 03:04:05.006 12345     7 I tp x\n");
  EXPECT_EQ(Format(context, 0, nullptr, nullptr, "x"), "01-02 03:04:05.006 12345     7 ? x\n");
  EXPECT_EQ(Format(context, 7, nullptr, nullptr, "x"), "01-02 03:04:05.006 12345     7 ? x\n");
  const cLogContext_t wide{12, 31, 23, 59, 58, 999, 1234567, 99999};  // ids wider than five digits
  EXPECT_EQ(Format(wide, kLogFatal, nullptr, nullptr, ""), "12-31 23:59:58.999 1234567 99999 F \n");

  const cLogSource_t source{"ReadData", "src/dir/x.cpp", 42};
  EXPECT_EQ(Format(context, kLogError, "", &source, "%s", "boom"),
            "01-02 03:04:05.006 12345     7 E ReadData@x.cpp:42 boom\n");
  const cLogSource_t windows{nullptr, "C:\\src\\y.cpp", 7};
  EXPECT_EQ(Format(context, kLogError, "", &windows, "m"), "01-02 03:04:05.006 12345     7 E @y.cpp:7 m\n");
}

TEST(LogFormat, CutsAtFiveHundredTenCharacters) {
  const cLogContext_t context{1, 1, 0, 0, 0, 0, 1, 1};
  const std::string message(600, 'm');
  const std::string line = Format(context, kLogError, nullptr, nullptr, "%s", message.c_str());
  ASSERT_EQ(line.size(), 511U);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.substr(33, 477), std::string(477, 'm'));
  // The cut applies to every part, the source location included.
  const std::string function(600, 'f');
  const cLogSource_t source{function.c_str(), "x.cpp", 1};
  EXPECT_EQ(Format(context, kLogError, "", &source, "tail").size(), 511U);
}

TEST(LogFormat, EscapesControlCharactersSoEveryMessageIsOneLine) {
  const cLogContext_t context{1, 1, 0, 0, 0, 0, 1, 1};
  const std::string header = "01-01 00:00:00.000     1     1 E ";
  // A name may hold any byte but '/' and NUL; the backslash is escaped too, so an escape is
  // never ambiguous. Other bytes, UTF-8 among them, stay as they are.
  EXPECT_EQ(Format(context, kLogError, nullptr, nullptr, "Could not open %s",
                   "a\nb\rc\td\x01"
                   "e\x7f"
                   "f\\g \xC3\xA4"),
            header + "Could not open a\\nb\\rc\\td\\x01e\\x7ff\\\\g \xC3\xA4\n");
  EXPECT_EQ(Format(context, kLogError, nullptr, nullptr, "%c|%c", 0, 0x1F), header + "\\x00|\\x1f\n");
  // An escape is written whole or not at all where the line is cut.
  const std::string fits(473, 'm');
  EXPECT_EQ(Format(context, kLogError, nullptr, nullptr, "%s\x01", fits.c_str()), header + fits + "\\x01\n");
  const std::string one_more(474, 'm');
  EXPECT_EQ(Format(context, kLogError, nullptr, nullptr, "%s\x01", one_more.c_str()), header + one_more + "\n");
}

TEST_F(Logger, ThresholdDecidesWhatTheHelperWrites) {
  EXPECT_EQ(kStartThreshold, kLogThresholdOff);
  {
    test::StderrCapture capture;
    for (int level = 0; level <= 7; ++level) logMessage(level, "before any level is set");
    EXPECT_EQ(capture.Text(), "");
  }
  logSetLevel(kLogError);
  test::StderrCapture capture;
  logMessage(kLogWarning, "warning %d", 4);
  logMessage(kLogError, "error %d", 5);
  logMessage(kLogFatal, "fatal %d", 6);
  logWrite(kLogInfo, nullptr, "logWrite itself does not test the threshold");
  const std::vector<std::string> lines = Lines(capture.Text());
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(AfterHeader(lines[0], 'E'), "error 5");
  EXPECT_EQ(AfterHeader(lines[1], 'F'), "fatal 6");
  EXPECT_EQ(AfterHeader(lines[2], 'I'), "logWrite itself does not test the threshold");
  EXPECT_TRUE(logEnabled(kLogError));
  EXPECT_FALSE(logEnabled(kLogWarning));
}

TEST(LogBridge, MapsLibrarySeverities) {
  const int expected[] = {0, 0, kLogInfo, kLogInfo, kLogWarning, kLogError, kLogError, kLogError, kLogFatal, 0};
  for (int severity = 0; severity <= 9; ++severity) {
    EXPECT_EQ(mdfSeverityToLogLevel(static_cast<mdf::MdfLogSeverity>(severity)), expected[severity]) << severity;
  }
}

TEST_F(Logger, BridgeWritesLibraryMessagesWithTheirLocation) {
  logSetLevel(kLogVerbose);
  test::StderrCapture capture;
  const MdfLocation location{42, 3, "some/dir/x.cpp", "ReadData"};
  mdfLogBridge(location, mdf::MdfLogSeverity::kDebug, "severity 1 is dropped even at threshold 1");
  mdfLogBridge(location, mdf::MdfLogSeverity::kAlert, "seven");
  mdfLogBridge(location, mdf::MdfLogSeverity::kEmergency, "eight");
  logSetLevel(kLogFatal);
  mdfLogBridge(location, mdf::MdfLogSeverity::kError, "below the threshold");
  const std::vector<std::string> lines = Lines(capture.Text());
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(AfterHeader(lines[0], 'E'), "ReadData@x.cpp:42 seven");
  EXPECT_EQ(AfterHeader(lines[1], 'F'), "ReadData@x.cpp:42 eight");
}

TEST_F(Logger, ALibraryMessageThatHoldsANewlineIsOneLine) {
  logSetLevel(kLogError);
  test::StderrCapture capture;
  const MdfLocation location{7, 1, "x.cpp", "Open"};
  mdfLogBridge(location, mdf::MdfLogSeverity::kError, "Could not open new\nline.mf4");
  const std::vector<std::string> lines = Lines(capture.Text());
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(AfterHeader(lines[0], 'E'), "Open@x.cpp:7 Could not open new\\nline.mf4");
}

TEST_F(Logger, LibraryMessagesReachStandardErrorOnceInstalled) {
  installMdfLogBridge();
  logSetLevel(kLogError);
  test::StderrCapture capture;
  // Too short for an identification block: the reader logs the failure and has no file.
  const mdf::MdfReader reader(std::make_shared<std::stringbuf>("MDF 4.11"));
  EXPECT_EQ(reader.GetFile(), nullptr);
  const std::vector<std::string> lines = Lines(capture.Text());
  ASSERT_EQ(lines.size(), 1U);
  const std::string text = AfterHeader(lines[0], 'E');
  const std::string location = "VerifyMdfFile@mdfreader.cpp:";
  ASSERT_EQ(text.compare(0, location.size(), location), 0) << text;
  size_t at = location.size();
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0) ++at;
  EXPECT_GT(at, location.size()) << text;  // the line number
  EXPECT_EQ(text.substr(at), " Failed to read the file information blocks. Error: Invalid number of bytes read");
}

}  // namespace
