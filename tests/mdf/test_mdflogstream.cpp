#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "mdf/mdflogstream.h"
#include "support/logcapture.h"

namespace {

void LogFromOpenMdfFile() {
  MDF_ERROR() << "The file doesn't exist. File: "
              << "a.mf4";
}

TEST(LogStream, NothingInstalledIsSilent) {
  mdf::InstallLogCallback({});
  mdf::InstallTextLogCallback({});
  EXPECT_NO_THROW(MDF_ERROR() << "dropped");
}

TEST(LogStream, SeverityFiveMessageArrivesOnceWithLocation) {
  test::LogCapture capture;
  LogFromOpenMdfFile();
  ASSERT_EQ(capture.entries.size(), 1U);
  const auto& entry = capture.entries.front();
  EXPECT_EQ(entry.severity, mdf::MdfLogSeverity::kError);
  EXPECT_EQ(static_cast<int>(entry.severity), 5);
  EXPECT_EQ(entry.text, "The file doesn't exist. File: a.mf4");
  EXPECT_EQ(entry.location.function, "LogFromOpenMdfFile");
  EXPECT_EQ(entry.location.column, 0);
  EXPECT_GT(entry.location.line, 0);
  EXPECT_NE(entry.location.file.find("test_mdflogstream"), std::string::npos);
}

TEST(LogStream, LocationCallbackRunsBeforeTextCallback) {
  std::vector<std::string> calls;
  mdf::InstallLogCallback([&](const MdfLocation& location, mdf::MdfLogSeverity, const std::string& text) {
    calls.push_back("location:" + location.function + ":" + text);
  });
  mdf::InstallTextLogCallback([&](mdf::MdfLogSeverity severity, const std::string& location, const std::string& text) {
    calls.push_back("text:" + location + ":" + text + ":" + std::to_string(static_cast<int>(severity)));
  });
  const MdfLocation location{42, 0, "src/mdfblock.cpp", "ReadData"};
  mdf::MdfLogStream(location, mdf::MdfLogSeverity::kDebug) << "note " << 7;
  mdf::InstallLogCallback({});
  mdf::InstallTextLogCallback({});

  ASSERT_EQ(calls.size(), 2U);
  EXPECT_EQ(calls[0], "location:ReadData:note 7");
  // The text callback's location is file and function, without the line.
  EXPECT_EQ(calls[1], "text:src/mdfblock.cpp:ReadData:note 7:1");
}

TEST(LogStream, ThrowingCallbackDoesNotEscapeTheDestructor) {
  mdf::InstallLogCallback(
      [](const MdfLocation&, mdf::MdfLogSeverity, const std::string&) { throw std::runtime_error("boom"); });
  EXPECT_NO_THROW(MDF_ERROR() << "lost");
  mdf::InstallLogCallback({});
}

}  // namespace
