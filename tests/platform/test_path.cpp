#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/log.h"
#include "platform/path.h"
#include "support/stderrcapture.h"
#include "support/tempdir.h"

namespace {

std::string Text(cStrView_t view) { return {view.data, static_cast<size_t>(view.length)}; }

// Runs each test inside a fresh directory tree and returns to the old directory afterwards.
class PathInTree : public testing::Test {
 protected:
  void SetUp() override {
    char* old = getcwd(nullptr, 0);
    ASSERT_NE(old, nullptr);
    old_ = old;
    std::free(old);
    dir_.MakeDir("logs/sub");
    dir_.Write("a.mf4", "x");
    dir_.Write("logs/b.mf4", "x");
    ASSERT_EQ(chdir((dir_ / "logs").c_str()), 0);
    char* here = realpath(".", nullptr);  // the temporary directory may itself sit behind a link
    ASSERT_NE(here, nullptr);
    logs_ = std::string(here) + "/";
    std::free(here);
    root_ = logs_.substr(0, logs_.size() - 5);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_.c_str()), 0);
    logSetLevel(kLogThresholdOff);
  }

  std::string Normalized(const std::string& input) {
    cStr_t path{};
    EXPECT_TRUE(cStrInit(&path, {input.data(), static_cast<int64_t>(input.size())}));
    EXPECT_TRUE(pathNormalize(&path)) << input;
    std::string result = cStrData(&path);
    cStrRelease(&path);
    return result;
  }

  test::TempDir dir_;
  std::string old_;
  std::string logs_;  // the current directory, resolved, ending in '/'
  std::string root_;  // its parent
};

TEST_F(PathInTree, NormalizeMakesPathsAbsoluteAndCanonical) {
  struct Case {
    std::string input;
    std::string expected;  // relative to logs_ unless it starts with '/'
  };
  const Case cases[] = {
      {"sub", "sub/"},  // a directory gains its '/'
      {"sub/", "sub/"},
      {"b.mf4", "b.mf4"},
      {"./b.mf4", "b.mf4"},  // "./a.mf4 b.mf4" share a root
      {"b.mf4/", "b.mf4"},   // a regular file loses a trailing '/'
      {"sub/../b.mf4", "b.mf4"},
      {"sub\\..\\b.mf4", "sub\\..\\b.mf4"},  // a backslash is part of a name, no separator
      {"sub\\", "sub\\"},
      {"x///y//z.mf4", "x/y/z.mf4"},  // every run of '/' collapses, missing paths keep their form
      {"missing/", "missing/"},
      {".", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Normalized(c.input), logs_ + c.expected) << c.input;

  EXPECT_EQ(Normalized(".."), root_);  // a real parent, not an empty path
  EXPECT_EQ(Normalized("../a.mf4"), root_ + "a.mf4");
  EXPECT_EQ(Normalized("../logs/./sub//"), logs_ + "sub/");
  EXPECT_EQ(Normalized("/"), "/");
  EXPECT_EQ(Normalized("/.."), "/");  // nothing above the root
  EXPECT_EQ(Normalized("//" + logs_.substr(1) + "../a.mf4"), root_ + "a.mf4");
}

TEST_F(PathInTree, NormalizeLogsStatFailuresOtherThanMissing) {
  logSetLevel(kLogError);
  test::StderrCapture capture;
  EXPECT_EQ(Normalized("b.mf4/inner"), logs_ + "b.mf4/inner");  // ENOTDIR: kept, and said
  EXPECT_EQ(Normalized("nothing.mf4"), logs_ + "nothing.mf4");  // ENOENT: kept silently
  const std::string text = capture.Text();
  EXPECT_NE(text.find(" E Could not stat path " + logs_ + "b.mf4/inner\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("nothing.mf4"), std::string::npos) << text;
}

TEST_F(PathInTree, CurrentDirectoryEndsInASlash) {
  cStr_t cwd{};
  ASSERT_TRUE(cStrInit(&cwd, cStrViewOf("replaced")));
  ASSERT_TRUE(currentDirectory(&cwd));
  EXPECT_EQ(cStrData(&cwd), logs_);
  cStrRelease(&cwd);
}

// Once the current directory is removed getcwd fails: relative paths keep their form (the
// caller refuses them), absolute ones are normalized as ever.
TEST_F(PathInTree, WithoutACurrentDirectoryRelativePathsStayAsGiven) {
  ASSERT_EQ(chdir("sub"), 0);
  ASSERT_EQ(rmdir((dir_ / "logs/sub").c_str()), 0);
  cStr_t cwd{};
  EXPECT_FALSE(currentDirectory(&cwd));
  cStrRelease(&cwd);
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"x.mf4", "x.mf4"},
      {"../b.mf4", "../b.mf4"},
      {"a\\b/", "a\\b/"},
      {root_ + "logs/./b.mf4", logs_ + "b.mf4"},
      {root_ + "logs/sub/../", logs_},
  };
  for (const auto& c : cases) EXPECT_EQ(Normalized(c.input), c.expected) << c.input;
}

TEST(PathParts, ParentFileNameAndExtension) {
  struct Case {
    const char* path;
    const char* parent;
    const char* file_name;
    const char* extension;
  };
  const Case cases[] = {
      {"dir/file.MF4", "dir/", "file.MF4", "MF4"},
      {"dir/README", "dir/", "README", "README"},  // no dot: the name is its own extension
      {"a/b/c", "a/b/", "c", "c"},
      {"abc", "", "abc", "abc"},
      {"a.b/c", "a.b/", "c", "c"},  // dots of folders do not count
      {"logs/", "logs/", "", ""},
      {"x/archive.tar.mf4", "x/", "archive.tar.mf4", "mf4"},
      {"x/.hidden", "x/", ".hidden", "hidden"},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Text(pathParent(cStrViewOf(c.path))), c.parent) << c.path;
    EXPECT_EQ(Text(pathFileName(cStrViewOf(c.path))), c.file_name) << c.path;
    EXPECT_EQ(Text(pathExtension(cStrViewOf(c.path))), c.extension) << c.path;
  }
}

TEST(PathParts, ReplaceScansLeftToRightWithoutOverlap) {
  struct Case {
    const char* text;
    const char* pattern;
    const char* replacement;
    int64_t limit;
    const char* expected;
  };
  const Case cases[] = {
      {"a///b", "//", "/", 0, "a//b"},
      {"aaaa", "aa", "b", 0, "bb"},
      {"aaaa", "aa", "b", 1, "baa"},
      {"x.mf4", ".mf4", "_out.MF4", 0, "x_out.MF4"},
      {"abc", "", "z", 0, "abc"},  // an empty pattern copies
      {"abc", "abcd", "z", 0, "abc"},
      {"a-b-c-d", "-", " and a much longer replacement ", 2,
       "a and a much longer replacement b and a much longer replacement c-d"},
      {"", "a", "b", 0, ""},
  };
  for (const auto& c : cases) {
    cStr_t out{};
    ASSERT_TRUE(strReplace(&out, cStrViewOf(c.text), cStrViewOf(c.pattern), cStrViewOf(c.replacement), c.limit));
    EXPECT_STREQ(cStrData(&out), c.expected) << c.text << " / " << c.pattern;
    cStrRelease(&out);
  }
}

}  // namespace
