// File objects: names from paths, version numbers, the MDF3 stand-in.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "idblock.h"
#include "mdf3file.h"
#include "support/image.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

using mdf::detail::IdBlock;
using mdf::detail::Mdf3File;
using test::Bytes;
using test::MemoryBuffer;

namespace {

std::unique_ptr<IdBlock> IdWithFormat(const std::string& format_id) {
  MemoryBuffer buffer(test::IdentificationBlock("MDF", format_id, 330, "Test").Data());
  auto id = std::make_unique<IdBlock>();
  id->Read(buffer);
  return id;
}

TEST(MdfFile, PathStem) {
  EXPECT_EQ(mdf::PathStem("D:\\logs\\run.mf4"), "run");
  EXPECT_EQ(mdf::PathStem("/data/logs/run.01.mf4"), "run.01");
  EXPECT_EQ(mdf::PathStem("C:run.mf4"), "run");
  EXPECT_EQ(mdf::PathStem("logs/.profile"), ".profile");
  EXPECT_EQ(mdf::PathStem("logs/.."), "..");
  EXPECT_EQ(mdf::PathStem("."), ".");
  EXPECT_EQ(mdf::PathStem("logs/"), "");
  EXPECT_EQ(mdf::PathStem("noext"), "noext");
}

TEST(MdfFile, FileNameSetsTheNameOnce) {
  Mdf3File file(std::make_unique<IdBlock>());
  file.FileName("D:\\logs\\run.mf4");
  EXPECT_EQ(file.Name(), "run");
  file.FileName("/other/next.mf4");
  EXPECT_EQ(file.FileName(), "/other/next.mf4");
  EXPECT_EQ(file.Name(), "run");

  test::LogCapture log;
  Mdf3File invalid(std::make_unique<IdBlock>());
  invalid.FileName(std::string("bad\xC3(.mf4"));
  EXPECT_EQ(invalid.Name(), "");
  EXPECT_EQ(invalid.FileName(), std::string("bad\xC3(.mf4"));
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text.rfind("Invalid file name detected. Error: ", 0), 0U);
  EXPECT_NE(log.entries[0].text.find(", File: bad"), std::string::npos);
}

TEST(MdfFile, VersionNumbers) {
  Mdf3File file(IdWithFormat("4.20"));
  EXPECT_EQ(file.MainVersion(), 4);
  EXPECT_EQ(file.MinorVersion(), 20);
  file.SetMinorVersion(11);
  EXPECT_EQ(file.Version(), "4.11");
  EXPECT_EQ(file.MinorVersion(), 11);

  test::LogCapture log;
  Mdf3File short_version(IdWithFormat("4"));
  EXPECT_EQ(short_version.MainVersion(), 4);
  EXPECT_EQ(short_version.MinorVersion(), 0);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].text.rfind("Failure to finding MDF minor version. Error: ", 0), 0U);
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);

  Mdf3File no_number(IdWithFormat("x.yy"));
  EXPECT_EQ(no_number.MainVersion(), 0);
  EXPECT_TRUE(log.Contains("Failure to finding MDF main version. Error: "));
}

TEST(MdfFile, Mdf3FileWithoutItsBlocksFailsToReadCleanly) {
  MemoryBuffer buffer;
  Mdf3File file(IdWithFormat("3.30"));
  EXPECT_FALSE(file.IsMdf4());
  EXPECT_EQ(file.Header(), nullptr);
  EXPECT_EQ(file.CreateDataGroup(), nullptr);
  EXPECT_THROW(file.ReadEverythingButData(buffer), mdf::MdfIoFailure);
  file.SetProgramId("QX");
  EXPECT_EQ(file.ProgramId(), "QX");
}

}  // namespace
