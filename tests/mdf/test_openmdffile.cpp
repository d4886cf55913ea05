#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fileopener.h"
#include "mdfblock.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

class OpenMdfFileTest : public ::testing::Test {
 protected:
  void TearDown() override { mdf::detail::SetFileOpener({}); }
  std::string MakeFile(const std::string& name, const std::string& content) { return temp_.Write(name, content); }
  test::TempDir temp_;
  const fs::path& dir_ = temp_.Dir();
};

TEST_F(OpenMdfFileTest, NothingToOpen) {
  std::stringbuf memory("data");
  EXPECT_TRUE(mdf::OpenMdfFile(memory, (dir_ / "missing.mf4").string(), std::ios::in | std::ios::binary));
  std::filebuf file;
  EXPECT_TRUE(mdf::OpenMdfFile(file, "", std::ios::in));
  EXPECT_FALSE(file.is_open());
}

TEST_F(OpenMdfFileTest, MissingFileFailsAtOnce) {
  test::LogCapture log;
  int tries = 0;
  int waits = 0;
  mdf::detail::SetFileOpener({[&](std::filebuf&, const std::string&, std::ios_base::openmode) {
                                ++tries;
                                return ENOENT;
                              },
                              [&] { ++waits; }});
  std::filebuf file;
  const auto name = (dir_ / "missing.mf4").string();
  EXPECT_FALSE(mdf::OpenMdfFile(file, name, std::ios::in | std::ios::binary));
  EXPECT_EQ(tries, 1);
  EXPECT_EQ(waits, 0);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "The file doesn't exist. File: " + name);
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
  EXPECT_EQ(log.entries[0].location.function, "OpenMdfFile");
}

TEST_F(OpenMdfFileTest, BusyFileIsRetriedUntilFree) {
  const auto name = MakeFile("busy.mf4", "MDF");
  int tries = 0;
  int waits = 0;
  mdf::detail::SetFileOpener({[&](std::filebuf& file, const std::string& path, std::ios_base::openmode mode) {
                                // Busy for the first second, i.e. ten tries.
                                if (++tries <= 10) return EBUSY;
                                return file.open(path, mode) != nullptr ? 0 : EIO;
                              },
                              [&] { ++waits; }});
  std::filebuf file;
  EXPECT_TRUE(mdf::OpenMdfFile(file, name, std::ios::in | std::ios::binary));
  EXPECT_EQ(tries, 11);
  EXPECT_EQ(waits, 10);
  EXPECT_TRUE(file.is_open());
}

TEST_F(OpenMdfFileTest, FileBusyForeverTimesOut) {
  test::LogCapture log;
  const auto name = MakeFile("locked.mf4", "MDF");
  int tries = 0;
  mdf::detail::SetFileOpener({[&](std::filebuf&, const std::string&, std::ios_base::openmode) {
                                ++tries;
                                return EBUSY;
                              },
                              [] {}});
  std::filebuf file;
  EXPECT_FALSE(mdf::OpenMdfFile(file, name, std::ios::in));
  EXPECT_EQ(tries, 50);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text, "Failed to open the file due to lock timeout (5 s). File: " + name);
}

TEST_F(OpenMdfFileTest, RealFilesAndDirectories) {
  test::LogCapture log;
  const auto first = MakeFile("first.mf4", "first");
  const auto second = MakeFile("second.mf4", "second");
  std::filebuf file;
  ASSERT_TRUE(mdf::OpenMdfFile(file, first, std::ios::in | std::ios::binary));
  ASSERT_TRUE(mdf::OpenMdfFile(file, second, std::ios::in | std::ios::binary));
  std::string content(6, '\0');
  file.sgetn(content.data(), 6);
  EXPECT_EQ(content, "second");  // reopened on the new name

  EXPECT_FALSE(mdf::OpenMdfFile(file, (dir_ / "nope.mf4").string(), std::ios::in));
  EXPECT_FALSE(file.is_open());
  EXPECT_TRUE(log.Contains("The file doesn't exist."));

  // Opening a directory succeeds on Linux; it is refused without waiting out the timeout.
  int waits = 0;
  mdf::detail::SetFileOpener({{}, [&] { ++waits; }});
  EXPECT_FALSE(mdf::OpenMdfFile(file, dir_.string(), std::ios::in | std::ios::binary));
  EXPECT_EQ(waits, 0);
  EXPECT_TRUE(log.Contains("lock timeout"));

  // Writers create their file.
  const auto created = (dir_ / "new.mf4").string();
  EXPECT_TRUE(mdf::OpenMdfFile(file, created, std::ios::out | std::ios::binary | std::ios::trunc));
  EXPECT_TRUE(fs::exists(created));
}

}  // namespace
