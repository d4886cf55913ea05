#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platformshim.h"
#include "support/tempdir.h"

namespace {

namespace platform = mdf::detail::platform;
namespace fs = std::filesystem;
using platform::FileKind;

TEST(PlatformFiles, ClassifiesAndSizesPaths) {
  const test::TempDir temp;
  const fs::path& dir = temp.Dir();
  const std::string file = (dir / "file.bin").string();
  std::ofstream(file) << "12345";
  fs::create_symlink(dir / "loop_b", dir / "loop_a");
  fs::create_symlink(dir / "loop_a", dir / "loop_b");

  EXPECT_EQ(platform::QueryFileKind(file), FileKind::Regular);
  EXPECT_EQ(platform::QueryFileKind(dir.string()), FileKind::Directory);
  EXPECT_EQ(platform::QueryFileKind("/dev/null"), FileKind::Other);
  EXPECT_EQ(platform::QueryFileKind((dir / "none").string()), FileKind::Missing);
  EXPECT_EQ(platform::QueryFileKind(file + "/x"), FileKind::Missing);  // ENOTDIR
  EXPECT_THROW((void)platform::QueryFileKind((dir / "loop_a").string()), std::system_error);
  EXPECT_THROW((void)platform::QueryFileKind((dir / std::string(300, 'n')).string()),
               std::system_error);  // ENAMETOOLONG

  EXPECT_EQ(platform::FileSize(file), 5);
  EXPECT_EQ(platform::FileSize(dir.string()), -1);
  EXPECT_EQ(platform::FileSize((dir / "none").string()), -1);
}

TEST(PlatformCodePage, NamesKnownPagesOnly) {
  EXPECT_EQ(platform::CodePageName(65001), "UTF-8");
  EXPECT_EQ(platform::CodePageName(1252), "Western European (Windows)");
  EXPECT_EQ(platform::CodePageName(1250), "Central European (Windows)");
  EXPECT_EQ(platform::CodePageName(28591), "ISO-8859-1 Latin 1");
  EXPECT_EQ(platform::CodePageName(1249), "");
}

}  // namespace
