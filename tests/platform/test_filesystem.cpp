#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/entry_map.h"
#include "platform/filesystem.h"
#include "support/fusemount.h"
#include "support/runprogram.h"
#include "support/tempdir.h"

namespace {

cStrView_t View(const std::string& text) { return {text.data(), static_cast<int64_t>(text.size())}; }

std::vector<std::string> Names(const cFsEntryMap_t& map) {
  std::vector<std::string> names;
  cFsEntryIter_t iter;
  entryMapIterBegin(&iter, &map);
  while (const cFsEntryNode_t* node = entryMapIterNext(&iter)) names.emplace_back(cStrData(&node->name));
  return names;
}

class NativeFs : public testing::Test {
 protected:
  void SetUp() override {
    fs_ = nativeFsNew(View(dir_.Path()));
    ASSERT_NE(fs_, nullptr);
  }
  void TearDown() override { fsFree(fs_); }

  cFileStat_t Stat(const std::string& path) {
    cFileStat_t stat{-1, -1};
    EXPECT_TRUE(fsStat(fs_, View(path), &stat)) << path;
    return stat;
  }

  test::TempDir dir_;
  cFileSystem_t* fs_ = nullptr;
};

TEST(FileSystemInit, TheRootMustEndInASlash) {
  cFileSystem_t fs{};
  EXPECT_FALSE(fsInit(&fs, cStrViewOf("/data")));
  EXPECT_FALSE(fsInit(&fs, cStrViewOf("")));
  EXPECT_FALSE(fsInit(nullptr, cStrViewOf("/data/")));
  ASSERT_TRUE(fsInit(&fs, cStrViewOf("/data/")));
  // The base table answers without touching anything.
  cFileStat_t stat{};
  EXPECT_FALSE(fsStat(&fs, cStrViewOf("x"), &stat));
  EXPECT_FALSE(fsEnsureDir(&fs, cStrViewOf("x")));
  EXPECT_FALSE(fsRemove(&fs, cStrViewOf("x")));
  EXPECT_EQ(fsOpen(&fs, cStrViewOf("x"), kFsOpenRead), nullptr);
  fsDestroy(&fs);

  test::TempDir dir;
  dir.Write("file", "x");
  EXPECT_EQ(nativeFsNew(View(dir / "file/")), nullptr);  // not a directory
  EXPECT_EQ(nativeFsNew(View(dir / "missing/")), nullptr);
  cFileSystem_t* native = nativeFsNew(View(dir.Path()));
  EXPECT_NE(native, nullptr);
  fsFree(native);
}

TEST_F(NativeFs, ListsFilesAndDirectoriesInByteOrderAndNothingElse) {
  for (const char* name : {"b.mf4", "A.mf4", "a.mf4", ".hidden", "a.mf4.bak"}) dir_.Write(name, "1234");
  dir_.MakeDir("x");
  dir_.MakeDir("x/inner");
  ASSERT_EQ(mkfifo((dir_ / "y").c_str(), 0600), 0);
  std::filesystem::create_directory_symlink(dir_.Path(), dir_ / "loop");  // a link to an ancestor
  std::filesystem::create_symlink(dir_ / "b.mf4", dir_ / "c.mf4");        // a link to a file
  std::filesystem::create_symlink(dir_ / "nowhere", dir_ / "dangling");

  cFsEntryMap_t map{};
  EXPECT_TRUE(fsList(fs_, cStrViewOf(""), &map));
  EXPECT_EQ(Names(map), (std::vector<std::string>{".hidden", "A.mf4", "a.mf4", "a.mf4.bak", "b.mf4", "c.mf4", "x"}));
  const cFsEntryNode_t* link = entryMapFind(&map, cStrViewOf("c.mf4"));
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->stat.kind, kFileKindRegular);
  EXPECT_EQ(link->stat.size, 4);  // the target's size, not the link's
  EXPECT_EQ(entryMapFind(&map, cStrViewOf("x"))->stat.kind, kFileKindDirectory);
  entryMapRelease(&map);

  EXPECT_TRUE(fsList(fs_, cStrViewOf("x"), &map));
  EXPECT_EQ(Names(map), std::vector<std::string>{"inner"});
  entryMapRelease(&map);
  EXPECT_FALSE(fsList(fs_, cStrViewOf("missing"), &map));  // unreadable is not empty
  EXPECT_FALSE(fsList(fs_, cStrViewOf("b.mf4"), &map));
  EXPECT_EQ(map.count, 0U);
}

TEST_F(NativeFs, StatsKindsAndTheFullSixtyFourBitSize) {
  dir_.Write("small", "12345");
  dir_.MakeDir("sub");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  // A sparse file of 3 GiB: beyond what a 32-bit signed size can hold.
  constexpr int64_t kThreeGiB = int64_t{3} << 30;
  dir_.Write("big", "");
  ASSERT_EQ(truncate((dir_ / "big").c_str(), kThreeGiB), 0);

  struct Case {
    std::string path;
    int32_t kind;
    int64_t size;
  };
  const Case cases[] = {
      {"small", kFileKindRegular, 5},       {"small/", kFileKindRegular, 5},  // "file/" names the file
      {"big", kFileKindRegular, kThreeGiB}, {"sub", kFileKindDirectory, 0},   {"sub//", kFileKindDirectory, 0},
      {"fifo", kFileKindOther, 0},          {"missing", kFileKindMissing, 0}, {"", kFileKindDirectory, 0},
  };
  for (const auto& c : cases) {
    const cFileStat_t stat = Stat(c.path);
    EXPECT_EQ(stat.kind, c.kind) << c.path;
    EXPECT_EQ(stat.size, c.size) << c.path;
  }

  // Only a missing path is "missing"; any other failure is a failed stat.
  std::filesystem::create_symlink(dir_ / "loop", dir_ / "loop");
  cFileStat_t stat{};
  EXPECT_FALSE(fsStat(fs_, cStrViewOf("small/x"), &stat));        // ENOTDIR
  EXPECT_FALSE(fsStat(fs_, cStrViewOf("loop"), &stat));           // ELOOP
  EXPECT_FALSE(fsStat(fs_, View(std::string(300, 'n')), &stat));  // ENAMETOOLONG
  EXPECT_FALSE(fsStat(fs_, cStrViewOf("small"), nullptr));
  EXPECT_FALSE(fsStat(nullptr, cStrViewOf("small"), &stat));
}

TEST_F(NativeFs, MakeDirsCreatesEachLevelAndStopsAtAFile) {
  EXPECT_TRUE(fsMakeDirs(fs_, cStrViewOf("a//b/")));
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "a/b"));
  EXPECT_TRUE(fsMakeDirs(fs_, cStrViewOf("a/b/c")));  // existing levels are fine
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "a/b/c"));
  EXPECT_TRUE(fsMakeDirs(fs_, cStrViewOf("")));

  dir_.Write("f", "x");
  EXPECT_FALSE(fsMakeDirs(fs_, cStrViewOf("f/b")));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "b"));
  EXPECT_TRUE(fsEnsureDir(fs_, cStrViewOf("a")));
  EXPECT_FALSE(fsEnsureDir(fs_, cStrViewOf("f")));
}

TEST_F(NativeFs, OpensByFlagsAndRemovesFiles) {
  cStream_t* out = fsOpen(fs_, cStrViewOf("out.MF4"), kFsOpenWrite | 4);  // further bits are ignored
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(streamWrite(out, "data", 4), 4);
  EXPECT_EQ(streamClose(out), 0);

  cStream_t* in = fsOpen(fs_, cStrViewOf("out.MF4"), kFsOpenRead | 4);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(streamWrite(in, "x", 1), kStreamNoOperation);
  EXPECT_EQ(streamSize(in), 4);
  EXPECT_EQ(streamClose(in), 0);

  cStream_t* both = fsOpen(fs_, cStrViewOf("out.MF4"), kFsOpenRead | kFsOpenWrite);
  ASSERT_NE(both, nullptr);
  EXPECT_EQ(streamWrite(both, "D", 1), 1);
  EXPECT_EQ(streamClose(both), 0);
  EXPECT_EQ(fsOpen(fs_, cStrViewOf("out.MF4"), 4), nullptr);
  EXPECT_EQ(fsOpen(fs_, cStrViewOf(""), kFsOpenRead), nullptr);  // the root is a directory

  EXPECT_TRUE(fsRemove(fs_, cStrViewOf("out.MF4")));
  EXPECT_FALSE(fsRemove(fs_, cStrViewOf("out.MF4")));
  EXPECT_EQ(Stat("out.MF4").kind, kFileKindMissing);
}

TEST_F(NativeFs, TheNewBitOpensOnlyAFileTheOpenMakes) {
  cStream_t* out = fsOpen(fs_, cStrViewOf("new.part"), kFsOpenWrite | kFsOpenNew | 4);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(streamWrite(out, "data", 4), 4);
  EXPECT_TRUE(fileStreamSync(out));  // a file stream like any other output
  EXPECT_EQ(streamClose(out), 0);
  EXPECT_EQ(Stat("new.part").size, 4);

  dir_.Write("input.mf4", "an input");
  std::filesystem::create_symlink(dir_ / "input.mf4", dir_ / "link.part");
  for (const char* name : {"new.part", "link.part"}) {
    SCOPED_TRACE(name);
    errno = 0;
    EXPECT_EQ(fsOpen(fs_, cStrViewOf(name), kFsOpenWrite | kFsOpenNew), nullptr);
    EXPECT_EQ(errno, EEXIST);
  }
  EXPECT_EQ(Stat("new.part").size, 4);
  std::ifstream input(dir_.Path("input.mf4"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(input), {}), "an input");
  // The bit makes new files only: with read, or without write, there is no stream.
  EXPECT_EQ(fsOpen(fs_, cStrViewOf("other.part"), kFsOpenRead | kFsOpenWrite | kFsOpenNew), nullptr);
  EXPECT_EQ(fsOpen(fs_, cStrViewOf("new.part"), kFsOpenRead | kFsOpenNew), nullptr);
  EXPECT_EQ(fsOpen(fs_, cStrViewOf("other.part"), kFsOpenNew), nullptr);
  EXPECT_EQ(Stat("other.part").kind, kFileKindMissing);
}

TEST_F(NativeFs, RenamesReplaceWholeAndFailuresKeepTheirReason) {
  dir_.Write("new", "complete");
  dir_.Write("old", "earlier");
  dir_.MakeDir("sub");
  EXPECT_TRUE(fsRename(fs_, cStrViewOf("new"), cStrViewOf("old")));
  EXPECT_EQ(Stat("new").kind, kFileKindMissing);
  EXPECT_EQ(Stat("old").size, 8);
  EXPECT_TRUE(fsSyncDir(fs_, cStrViewOf("")));
  EXPECT_TRUE(fsSyncDir(fs_, cStrViewOf("sub/")));

  // The callers report errno: the full paths' release must not change it.
  struct Failure {
    bool result;
    int error;
  };
  const auto failure = [](bool result) { return Failure{result, errno}; };
  const std::vector<std::pair<std::string, Failure>> failures = {
      {"rename of a missing file", failure(fsRename(fs_, cStrViewOf("gone"), cStrViewOf("old")))},
      {"rename onto a folder", failure(fsRename(fs_, cStrViewOf("old"), cStrViewOf("sub")))},
      {"sync of a missing folder", failure(fsSyncDir(fs_, cStrViewOf("nowhere/")))},
      {"sync of a file", failure(fsSyncDir(fs_, cStrViewOf("old")))},
      {"remove of a missing file", failure(fsRemove(fs_, cStrViewOf("gone")))},
  };
  const int expected[] = {ENOENT, EISDIR, ENOENT, ENOTDIR, ENOENT};
  for (size_t i = 0; i < failures.size(); ++i) {
    EXPECT_FALSE(failures[i].second.result) << failures[i].first;
    EXPECT_EQ(failures[i].second.error, expected[i]) << failures[i].first;
  }
  std::ifstream renamed(dir_.Path("old"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(renamed), {}), "complete");

  // The base kind has none of the operations.
  cFileSystem_t base{};
  ASSERT_TRUE(fsInit(&base, View(dir_.Path())));
  EXPECT_FALSE(fsRename(&base, cStrViewOf("old"), cStrViewOf("new")));
  EXPECT_FALSE(fsRenameNoReplace(&base, cStrViewOf("old"), cStrViewOf("new")));
  EXPECT_FALSE(fsSyncDir(&base, cStrViewOf("")));
  fsDestroy(&base);
}

TEST_F(NativeFs, ARenameThatMustNotReplaceTakesOnlyAFreeName) {
  dir_.Write("a", "first");
  dir_.Write("b", "second");
  errno = 0;
  EXPECT_FALSE(fsRenameNoReplace(fs_, cStrViewOf("a"), cStrViewOf("b")));
  EXPECT_EQ(errno, EEXIST);
  std::filesystem::create_symlink("nowhere", dir_ / "link");
  errno = 0;
  EXPECT_FALSE(fsRenameNoReplace(fs_, cStrViewOf("a"), cStrViewOf("link")));  // a dangling link is a name too
  EXPECT_EQ(errno, EEXIST);
  errno = 0;
  EXPECT_FALSE(fsRenameNoReplace(fs_, cStrViewOf("gone"), cStrViewOf("c")));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("a")), "first");
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("b")), "second");

  EXPECT_TRUE(fsRenameNoReplace(fs_, cStrViewOf("a"), cStrViewOf("c")));
  EXPECT_EQ(Stat("a").kind, kFileKindMissing);
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("c")), "first");
}

/// What another process does right after a check of a name by the kind below (once).
std::function<void()> g_after_check;
bool CheckThenMeddle(cFileSystem_t* fs, const char* full_path, cFileStat_t* out) {
  const bool looked = nativeFsLinkStat(fs, full_path, out);
  if (const std::function<void()> meddle = std::exchange(g_after_check, nullptr)) meddle();
  return looked;
}

/// A rename on `fs` by a thread of its own, as another run would make it: its result and errno.
std::future<std::pair<bool, int>> RenameAside(cFileSystem_t* fs, const std::string& from, const std::string& to) {
  return std::async(std::launch::async, [fs, from, to] {
    errno = 0;
    const bool renamed = fsRenameNoReplace(fs, View(from), View(to));
    return std::make_pair(renamed, errno);
  });
}

/// How two runs' renames went where the second tried its rename while the first was between its
/// check (by a link_stat of CheckThenMeddle) and its rename.
struct RenamesRaced {
  bool first_renamed = false;
  bool checked = false;                // the first made its check, so the second tried
  bool second_done_meanwhile = false;  // before the first let its lock go
  bool second_renamed = false;
  int second_error = 0;
};
RenamesRaced RaceAfterTheCheck(cFileSystem_t* first, const std::string& first_from, const std::string& first_to,
                               cFileSystem_t* second, const std::string& second_from, const std::string& second_to) {
  RenamesRaced raced;
  std::future<std::pair<bool, int>> renamed;
  g_after_check = [&] {
    renamed = RenameAside(second, second_from, second_to);
    // Time enough for the other rename to end, were it not kept waiting.
    raced.second_done_meanwhile = renamed.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
  };
  raced.first_renamed = fsRenameNoReplace(first, View(first_from), View(first_to));
  raced.checked = renamed.valid();
  if (raced.checked) std::tie(raced.second_renamed, raced.second_error) = renamed.get();
  return raced;
}

/// The first run took the name while the second waited for it, then found it taken: each run
/// keeps its own recording, the one at `out` and the one still at `second_from`.
void ExpectTheFirstTookTheName(const RenamesRaced& raced, const std::string& out, const std::string& second_from) {
  EXPECT_TRUE(raced.first_renamed);
  ASSERT_TRUE(raced.checked) << "the check was never made";
  EXPECT_FALSE(raced.second_done_meanwhile);
  EXPECT_FALSE(raced.second_renamed);
  EXPECT_EQ(raced.second_error, EEXIST);
  EXPECT_EQ(test::ReadWholeFile(out), "first run's output");
  EXPECT_EQ(test::ReadWholeFile(second_from), "second run's output");
}

/// A second native file system on the same folder whose no-replace rename is the one of a file
/// system without an atomic one and without hard links (exFAT and FAT through FUSE).
class LockedRename : public NativeFs {
 protected:
  void SetUp() override {
    NativeFs::SetUp();
    ops_ = *fs_->ops;
    ops_.rename_no_replace = nativeFsRenameLocked;
    fs_->ops = &ops_;
    other_ = nativeFsNew(View(dir_.Path()));
    ASSERT_NE(other_, nullptr);
    other_ops_ = ops_;
    other_->ops = &other_ops_;
  }
  void TearDown() override {
    g_after_check = nullptr;
    fsFree(other_);
    NativeFs::TearDown();
  }

  cFileSystemOps_t ops_{};
  cFileSystemOps_t other_ops_{};
  cFileSystem_t* other_ = nullptr;
};

TEST_F(LockedRename, TakesOnlyAFreeName) {
  dir_.Write("a", "first");
  dir_.Write("b", "second");
  std::filesystem::create_symlink("nowhere", dir_ / "link");
  dir_.MakeDir("sub");
  struct Case {
    const char* from;
    const char* to;
    int error;
  };
  const Case cases[] = {
      {"a", "b", EEXIST},   {"a", "link", EEXIST},                              // a dangling link is a name too
      {"a", "sub", EEXIST}, {"gone", "c", ENOENT}, {"a", "missing/c", ENOENT},  // no folder to lock
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " to " + c.to);
    errno = 0;
    EXPECT_FALSE(fsRenameNoReplace(fs_, cStrViewOf(c.from), cStrViewOf(c.to)));
    EXPECT_EQ(errno, c.error);
  }
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("a")), "first");
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("b")), "second");
  EXPECT_TRUE(fsRenameNoReplace(fs_, cStrViewOf("a"), cStrViewOf("sub/c")));
  EXPECT_EQ(Stat("a").kind, kFileKindMissing);
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("sub/c")), "first");
}

TEST_F(LockedRename, AFileThatAnotherRunPutsUnderTheNameAfterTheCheckIsNeverReplaced) {
  // Two runs publish different recordings under one name (batches whose numbering
  // restarted). The second tries its rename while the first is between its check and its
  // rename: it must wait, then find the name taken.
  ops_.link_stat = CheckThenMeddle;
  dir_.Write("first.part", "first run's output");
  dir_.Write("second.part", "second run's output");
  ExpectTheFirstTookTheName(RaceAfterTheCheck(fs_, "first.part", "out", other_, "second.part", "out"), dir_.Path("out"),
                            dir_.Path("second.part"));
  if (HasFatalFailure()) return;

  // Many at once, again and again: each time one takes the name and every other keeps its file.
  constexpr int kRacers = 8;
  constexpr int kRounds = 25;
  for (int round = 0; round < kRounds; ++round) {
    std::filesystem::remove(dir_ / "taken");
    std::vector<std::unique_ptr<cFileSystem_t, void (*)(cFileSystem_t*)>> racers;
    std::vector<std::future<std::pair<bool, int>>> results;
    for (int racer = 0; racer < kRacers; ++racer) {
      dir_.Write("racer" + std::to_string(racer), std::to_string(racer));
      racers.emplace_back(nativeFsNew(View(dir_.Path())), fsFree);
      ASSERT_NE(racers.back(), nullptr);
      racers.back()->ops = &other_ops_;
    }
    for (int racer = 0; racer < kRacers; ++racer) {
      results.push_back(RenameAside(racers[racer].get(), "racer" + std::to_string(racer), "taken"));
    }
    int winners = 0;
    for (int racer = 0; racer < kRacers; ++racer) {
      const auto [renamed, error] = results[racer].get();
      const bool kept = std::filesystem::exists(dir_ / ("racer" + std::to_string(racer)));
      EXPECT_EQ(kept, !renamed) << round << " " << racer;
      if (renamed) {
        ++winners;
        EXPECT_EQ(test::ReadWholeFile(dir_.Path("taken")), std::to_string(racer)) << round;
      } else {
        EXPECT_EQ(error, EEXIST) << round << " " << racer;
      }
    }
    EXPECT_EQ(winners, 1) << round;
  }
}

/// The stored path of `path` on `fs` as a string; empty where it cannot be told.
std::string StoredPath(cFileSystem_t* fs, const std::string& path) {
  cStr_t stored{};
  const std::string result = fsStoredPath(fs, View(path), &stored) ? cStrData(&stored) : "";
  cStrRelease(&stored);
  return result;
}

TEST_F(NativeFs, TheStoredPathResolvesLinksAndKeepsTheNamesNotMadeYet) {
  dir_.MakeDir("data/logs");
  std::filesystem::create_directory_symlink(dir_ / "data", dir_ / "link");
  const std::string real = std::filesystem::canonical(dir_.Dir()).string();
  struct Case {
    const char* path;
    std::string stored;
  };
  const Case cases[] = {
      {"link/logs", real + "/data/logs"},
      {"link/logs/", real + "/data/logs"},
      {"data/../link/./logs/new/deeper", real + "/data/logs/new/deeper"},
      {"", real},
      {"DATA/logs", real + "/DATA/logs"},  // a file system that keeps case apart: no other spelling
  };
  for (const Case& c : cases) EXPECT_EQ(StoredPath(fs_, c.path), c.stored) << c.path;
  dir_.Write("file", "x");
  errno = 0;
  EXPECT_EQ(StoredPath(fs_, "file/below"), real + "/file/below");
  cFileStat_t through_link{};
  ASSERT_TRUE(fsStoredStat(fs_, View("link/logs"), &through_link));
  EXPECT_EQ(through_link.inode, Stat("data/logs").inode);
}

/// exFAT and FAT through their FUSE drivers, which give each spelling of a name a node and an
/// inode number of its own.
class OnCard : public testing::TestWithParam<test::FuseKind> {
 protected:
  void SetUp() override {
    mount_ = std::make_unique<test::FuseMount>(GetParam(), dir_.Path(), dir_.Path("card"));
    if (!mount_->Mounted()) GTEST_SKIP() << "cannot mount here: " << mount_->Why();
    card_ = std::filesystem::canonical(dir_.Path("card")).string();
    for (cFileSystem_t** fs : {&fs_, &other_}) {
      *fs = nativeFsNew(View(card_ + "/"));
      ASSERT_NE(*fs, nullptr);
    }
    ops_ = *fs_->ops;
    ops_.rename_no_replace = nativeFsRenameLocked;
    fs_->ops = &ops_;
    other_ops_ = ops_;
    other_->ops = &other_ops_;
  }
  void TearDown() override {
    g_after_check = nullptr;
    fsFree(fs_);
    fsFree(other_);
    mount_.reset();  // before the folder it lies in goes
  }

  test::TempDir dir_;
  std::unique_ptr<test::FuseMount> mount_;
  std::string card_;
  cFileSystem_t* fs_ = nullptr;
  cFileSystem_t* other_ = nullptr;
  cFileSystemOps_t ops_{};
  cFileSystemOps_t other_ops_{};
};

TEST_P(OnCard, EveryNameBelowTheMountIsSpeltAsStored) {
  dir_.MakeDir("card/Data/logs");
  dir_.Write("card/Data/logs/A.mf4", "recording");
  struct Case {
    const char* path;
    std::string stored;
  };
  const Case cases[] = {
      {"data/LOGS/a.MF4", card_ + "/Data/logs/A.mf4"},
      {"DATA/Logs/", card_ + "/Data/logs"},
      {"dATA/logs/new/b.mf4", card_ + "/Data/logs/new/b.mf4"},  // not made yet: as given
      {"", card_},                                              // the mount point keeps its name
  };
  for (const Case& c : cases) EXPECT_EQ(StoredPath(fs_, c.path), c.stored) << c.path;
  cFileStat_t one{};
  cFileStat_t other{};
  ASSERT_TRUE(fsStoredStat(fs_, View("DATA/logs"), &one));
  ASSERT_TRUE(fsStoredStat(fs_, View("data/LOGS"), &other));
  EXPECT_EQ(one.inode, other.inode);
  if (GetParam() == test::FuseKind::kExfat) {
    // exFAT folds every letter to its simple upper case, not only ASCII ones.
    dir_.MakeDir("card/Data/\xC3\x84rger");  // "Ärger"
    EXPECT_EQ(StoredPath(fs_, "data/\xC3\xA4RGER"), card_ + "/Data/\xC3\x84rger");
  }
}

TEST_P(OnCard, ARunThatSpellsTheFolderOtherwiseWaitsForTheLockAndNeverReplacesTheFile) {
  // Two runs publish different recordings under one name in one folder, which each names in
  // its own case. The second tries its rename while the first is between its check and its
  // rename: the lock is the folder's, not its spelling's, so it waits the whole time the first
  // holds it, longer than its bound, and gives up without touching the name.
  dir_.MakeDir("card/conv");
  dir_.Write("card/conv/first.part", "first run's output");
  dir_.Write("card/conv/second.part", "second run's output");
  ops_.link_stat = CheckThenMeddle;
  bool second_renamed = true;
  int second_error = 0;
  g_after_check = [&] {
    errno = 0;
    second_renamed = fsRenameNoReplace(other_, View("CONV/second.part"), View("CONV/out"));
    second_error = errno;
  };
  EXPECT_TRUE(fsRenameNoReplace(fs_, View("conv/first.part"), View("conv/out")));
  EXPECT_FALSE(second_renamed);
  EXPECT_EQ(second_error, EWOULDBLOCK);
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("card/conv/out")), "first run's output");
  // Once the lock is free, the second finds the name taken, whatever case it gives it.
  errno = 0;
  EXPECT_FALSE(fsRenameNoReplace(other_, View("Conv/second.part"), View("cONV/OUT")));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("card/conv/out")), "first run's output");
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("card/conv/second.part")), "second run's output");
  EXPECT_TRUE(fsRenameNoReplace(other_, View("CONV/second.part"), View("CONV/second")));
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("card/conv/second")), "second run's output");
}

TEST_P(OnCard, ALockedRenameKeepsTheSpellingItWasGiven) {
  // The folder stored as "conv" is named "CONV": what the rename moved is what that name shows
  // afterwards, so that the check a caller makes next finds its own file.
  dir_.MakeDir("card/conv");
  dir_.Write("card/conv/out.part", "output");
  cStream_t* part = fsOpen(fs_, View("CONV/out.part"), kFsOpenRead);
  ASSERT_NE(part, nullptr);
  cFileStat_t opened{};
  ASSERT_TRUE(fsStreamStat(fs_, part, &opened));
  streamClose(part);
  ASSERT_TRUE(fsRenameNoReplace(fs_, View("CONV/out.part"), View("CONV/out")));
  cFileStat_t named{};
  ASSERT_TRUE(fsLinkStat(fs_, View("CONV/out"), &named));
  EXPECT_EQ(named.kind, kFileKindRegular);
  EXPECT_EQ(named.inode, opened.inode);
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("card/conv/out")), "output");
}

TEST_P(OnCard, AFolderRenamedInCaseIsOneLockAndOneStoredPathStill) {
  // A run has met the folder as "conv"; another program renames it "Conv". A second run that
  // names it "Conv" tries its rename while the first is between its check and its rename under
  // "conv": it must wait for the first, then find the name taken.
  if (GetParam() == test::FuseKind::kFat) GTEST_SKIP() << "fusefat's renamed folder lists none of its entries";
  dir_.MakeDir("card/conv/dev");
  dir_.Write("card/conv/a.part", "earlier output");
  dir_.Write("card/conv/first.part", "first run's output");
  dir_.Write("card/conv/second.part", "second run's output");
  ASSERT_TRUE(fsRenameNoReplace(fs_, View("conv/a.part"), View("conv/a")));
  EXPECT_EQ(StoredPath(fs_, "conv/dev"), card_ + "/conv/dev");
  std::filesystem::rename(dir_.Path("card/conv"), dir_.Path("card/Conv"));
  // The stored spelling is the one the card holds now, not the one met first.
  EXPECT_EQ(StoredPath(fs_, "conv/dev"), card_ + "/Conv/dev");
  EXPECT_EQ(StoredPath(fs_, "CONV"), card_ + "/Conv");
  ops_.link_stat = CheckThenMeddle;
  ExpectTheFirstTookTheName(
      RaceAfterTheCheck(fs_, "conv/first.part", "conv/out", other_, "Conv/second.part", "Conv/out"),
      dir_.Path("card/Conv/out"), dir_.Path("card/Conv/second.part"));
}

TEST_P(OnCard, ANameIsSpeltAsTheVeryEntryItReaches) {
  // exFAT keeps MICRO SIGN (U+00B5) apart from GREEK SMALL LETTER MU (U+03BC) and its capital
  // (U+039C), which Unicode upper-cases alike: "μ" reaches "Μ", never its sibling "µ", however
  // the names sort. Where nothing the card tells sets the siblings apart, the path is not told.
  if (GetParam() != test::FuseKind::kExfat) GTEST_SKIP() << "FAT folds ASCII letters only";
  const std::string capital_mu = "\xCE\x9C";
  const std::string small_mu = "\xCE\xBC";
  const std::string micro = "\xC2\xB5";
  const auto touch = [&](const std::string& path, time_t at) {
    const struct timespec times[2] = {{at, 0}, {at, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir_.Path(path).c_str(), times, 0), 0) << path;
  };
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string path;
    std::string stored;  // empty: not told
  };
  const Case cases[] = {
      {"a folder beside an empty sibling",
       [&] {
         dir_.MakeDir("card/t1/" + capital_mu);
         dir_.Write("card/t1/" + capital_mu + "/a.mf4", "recording");
         dir_.MakeDir("card/t1/" + micro);
       },
       "t1/" + small_mu + "/a.mf4", card_ + "/t1/" + capital_mu + "/a.mf4"},
      {"folders alike in their names, not in their times",
       [&] {
         for (const std::string& name : {capital_mu, micro}) {
           dir_.MakeDir("card/t2/" + name);
           dir_.Write("card/t2/" + name + "/a.mf4", "x");
         }
         touch("card/t2/" + micro, 1767225600);
         touch("card/t2/" + capital_mu, 1767225700);
       },
       "t2/" + small_mu, card_ + "/t2/" + capital_mu},
      {"files of other sizes",
       [&] {
         dir_.MakeDir("card/t3");
         dir_.Write("card/t3/" + micro + ".mf4", "short");
         dir_.Write("card/t3/" + capital_mu + ".mf4", "a longer recording");
       },
       "t3/" + small_mu + ".mf4", card_ + "/t3/" + capital_mu + ".mf4"},
      {"folders alike in all the card tells",
       [&] {
         for (const std::string& name : {capital_mu, micro}) {
           dir_.MakeDir("card/t4/" + name);
           dir_.Write("card/t4/" + name + "/a.mf4", "x");
           touch("card/t4/" + name + "/a.mf4", 1767225600);
           touch("card/t4/" + name, 1767225600);
         }
       },
       "t4/" + small_mu + "/a.mf4", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    cStr_t stored{};
    errno = 0;
    const bool told = fsStoredPath(fs_, View(c.path), &stored);
    const int error = errno;
    EXPECT_EQ(told ? std::string(cStrData(&stored)) : "", c.stored);
    EXPECT_EQ(told ? 0 : error, c.stored.empty() ? kFsNameNotTold : 0);
    cStrRelease(&stored);
  }
}

INSTANTIATE_TEST_SUITE_P(CardFileSystems, OnCard, testing::Values(test::FuseKind::kExfat, test::FuseKind::kFat),
                         [](const testing::TestParamInfo<test::FuseKind>& kind) {
                           return kind.param == test::FuseKind::kExfat ? std::string("Exfat") : std::string("Fat");
                         });

TEST_F(NativeFs, TellsWhatANameItselfIsAndWhichFileAStreamIsOn) {
  dir_.Write("file", "12345");
  std::filesystem::create_symlink(dir_ / "file", dir_ / "link");
  std::filesystem::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  cFileStat_t file{};
  cFileStat_t link{};
  cFileStat_t dangling{};
  cFileStat_t missing{};
  ASSERT_TRUE(fsLinkStat(fs_, View("file"), &file));
  ASSERT_TRUE(fsLinkStat(fs_, View("link"), &link));
  ASSERT_TRUE(fsLinkStat(fs_, View("dangling"), &dangling));
  ASSERT_TRUE(fsLinkStat(fs_, View("missing"), &missing));
  EXPECT_EQ(file.kind, kFileKindRegular);
  EXPECT_EQ(file.size, 5);
  EXPECT_EQ(file.links, 1u);
  EXPECT_EQ(link.kind, kFileKindOther);  // the link itself, not what it leads to
  EXPECT_NE(link.inode, file.inode);
  EXPECT_EQ(Stat("link").inode, file.inode);
  EXPECT_EQ(dangling.kind, kFileKindOther);
  EXPECT_EQ(missing.kind, kFileKindMissing);
  dir_.Write("plain", "");
  EXPECT_FALSE(fsLinkStat(fs_, View("plain/below"), &missing));  // ENOTDIR is no answer
  EXPECT_EQ(errno, ENOTDIR);

  // A stream's file, through a rename and its removal.
  cStream_t* stream = fsOpen(fs_, View("new"), kFsOpenWrite | kFsOpenNew);
  ASSERT_NE(stream, nullptr);
  cFileStat_t held{};
  cFileStat_t named{};
  ASSERT_TRUE(fsStreamStat(fs_, stream, &held));
  ASSERT_TRUE(fsLinkStat(fs_, View("new"), &named));
  EXPECT_EQ(held.device, named.device);
  EXPECT_EQ(held.inode, named.inode);
  EXPECT_EQ(held.links, 1u);
  ASSERT_TRUE(fsRename(fs_, View("new"), View("renamed")));
  EXPECT_EQ(fileStreamCloseFile(stream), 0);
  ASSERT_TRUE(fsStreamStat(fs_, stream, &held));
  EXPECT_EQ(held.inode, named.inode);
  EXPECT_EQ(held.links, 1u);
  ASSERT_TRUE(fsRemove(fs_, View("renamed")));
  ASSERT_TRUE(fsStreamStat(fs_, stream, &held));
  EXPECT_EQ(held.links, 0u);
  streamClose(stream);

  // Kinds that cannot tell answer false.
  cStream_t* memory = memoryStreamNew();
  EXPECT_FALSE(fsStreamStat(fs_, memory, &held));
  streamClose(memory);
  EXPECT_FALSE(fsStreamStat(fs_, nullptr, &held));
  cFileSystem_t base{};
  ASSERT_TRUE(fsInit(&base, cStrViewOf("/data/")));
  EXPECT_FALSE(fsLinkStat(&base, View("file"), &named));
  EXPECT_FALSE(fsStreamStat(&base, stream, &held));
  fsDestroy(&base);
}

TEST_F(NativeFs, AProbeTellsWhetherAFileIsStillOpenForWriting) {
  dir_.Write("f", "bytes");
  cFileStat_t held{};
  if (fsInUse(fs_, View("f"), &held) == kFsUseUnknown) GTEST_SKIP() << "file leases cannot be taken here";
  const cFileStat_t stat = Stat("f");
  EXPECT_EQ(held.inode, stat.inode);
  EXPECT_EQ(held.size, 5);
  // A reader (another run converting the file) does not count.
  struct Case {
    int flags;
    int use;
  };
  for (const Case c : {Case{O_WRONLY | O_APPEND, kFsInUse}, Case{O_RDWR, kFsInUse}, Case{O_RDONLY, kFsNotInUse}}) {
    const int fd = ::open(dir_.Path("f").c_str(), c.flags | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fsInUse(fs_, View("f"), &held), c.use) << c.flags;
    ::close(fd);
    EXPECT_EQ(fsInUse(fs_, View("f"), &held), kFsNotInUse) << c.flags;
  }
  // What cannot be probed leaves `held` as it was.
  dir_.MakeDir("folder");
  for (const char* path : {"gone", "folder"}) {
    cFileStat_t untouched{kFileKindOther, 77};
    EXPECT_EQ(fsInUse(fs_, cStrViewOf(path), &untouched), kFsUseUnknown) << path;
    EXPECT_EQ(untouched.size, 77) << path;
  }
}

TEST(LeaseTrust, OnlyLocalFileSystemsSeeEveryWriter) {
  // statfs types: where every writer opens through this kernel's view of the file, and where a
  // writer may open it behind that view (a FUSE pass-through's backing folder, another host).
  struct Case {
    const char* name;
    int64_t type;
    bool sees_all;
  };
  const Case cases[] = {
      {"ext4", 0xEF53, true},      {"xfs", 0x58465342, true},     {"btrfs", 0x9123683E, true},
      {"tmpfs", 0x01021994, true}, {"overlay", 0x794C7630, true}, {"fuse", 0x65735546, false},
      {"nfs", 0x6969, false},      {"cifs", 0xFF534D42, false},   {"smb2", 0xFE534D42, false},
      {"ceph", 0x00C36400, false}, {"9p", 0x01021997, false},     {"gfs2", 0x01161970, false},
  };
  for (const Case& c : cases) EXPECT_EQ(nativeFsLeaseSeesEveryWriter(c.type), c.sees_all) << c.name;
}

TEST(NativeFsOnFuse, ALeaseThroughAPassThroughTellsOnlyOfTheWritersItSees) {
  // bindfs shows a folder whose files may also be written behind it, where no lease taken
  // through the mount hears of the writer.
  const test::TempDir dir;
  dir.MakeDir("backing");
  dir.Write("backing/f", "bytes");
  const test::FuseMount mount(test::FuseKind::kBind, dir.Path(), dir.Path("mnt"), dir.Path("backing"));
  if (!mount.Mounted()) GTEST_SKIP() << "cannot mount here: " << mount.Why();
  cFileSystem_t* fs = nativeFsNew(View(dir.Path("mnt/")));
  ASSERT_NE(fs, nullptr);
  cFileStat_t held{};
  cFsLease_t lease{};
  const int behind = ::open(dir.Path("backing/f").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(behind, 0);
  EXPECT_EQ(fsInUse(fs, View("f"), &held, &lease), kFsUseUnknown);
  EXPECT_EQ(lease.descriptor, -1);
  EXPECT_EQ(held.size, 5);
  ::close(behind);
  // A writer through the mount is still seen.
  const int through = ::open(dir.Path("mnt/f").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(through, 0);
  EXPECT_EQ(fsInUse(fs, View("f"), &held, &lease), kFsInUse);
  ::close(through);
  // There the change checks alone decide: a stat asks the file system, not the mount's cache,
  // so a write behind the mount shows at once.
  cFileStat_t before{};
  ASSERT_TRUE(fsStat(fs, View("f"), &before));
  std::ofstream(dir.Path("backing/f"), std::ios::app) << "more";
  cFileStat_t after{};
  ASSERT_TRUE(fsStat(fs, View("f"), &after));
  EXPECT_EQ(after.size, before.size + 4);
  ASSERT_TRUE(fsLinkStat(fs, View("f"), &after));
  EXPECT_EQ(after.size, before.size + 4);
  fsFree(fs);
}

// Another run over the same tree makes the folder between this run's stat and its mkdir.
bool MadeByAnotherRun(cFileSystem_t* fs, const char* full_path) {
  nativeFsMkdir(fs, full_path);
  errno = EEXIST;
  return false;
}

TEST_F(NativeFs, AFolderMadeMeanwhileByAnotherRunIsThere) {
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.make_directory = MadeByAnotherRun;
  fs_->ops = &ops;
  EXPECT_TRUE(fsMakeDirs(fs_, cStrViewOf("a/b")));
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "a/b"));
  dir_.Write("f", "");
  EXPECT_FALSE(fsMakeDirs(fs_, cStrViewOf("f/c")));  // a file there is no folder
}

TEST(FileSystemPaths, FullPathIsRootAndPathExceptForTwoDots) {
  cFileSystem_t fs{};
  ASSERT_TRUE(fsInit(&fs, cStrViewOf("/data/")));
  cStr_t full{};
  ASSERT_TRUE(fsFullPath(&fs, cStrViewOf("logs/a.mf4"), &full));
  EXPECT_STREQ(cStrData(&full), "/data/logs/a.mf4");
  cStrRelease(&full);
  ASSERT_TRUE(fsFullPath(&fs, cStrViewOf(".."), &full));
  EXPECT_STREQ(cStrData(&full), "");
  cStrRelease(&full);
  fsDestroy(&fs);
}

// A kind that lists full paths, which the root-prefix step turns into names.
bool ListFullNames(cFileSystem_t*, const char*, cFsEntryMap_t* map) {
  entryMapInsert(map, cStrViewOf("/data/sub/a.mf4"), {kFileKindRegular, 1});
  entryMapInsert(map, cStrViewOf("/data/b"), {kFileKindDirectory, 0});
  entryMapInsert(map, cStrViewOf("c"), {kFileKindRegular, 2});
  return true;
}

TEST(FileSystemPaths, ListingDropsTheRootFromFullNames) {
  static const cFileSystemOps_t kOps = {nullptr, nullptr, ListFullNames, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr,       nullptr, nullptr, nullptr};
  cFileSystem_t fs{};
  ASSERT_TRUE(fsInit(&fs, cStrViewOf("/data/")));
  fs.ops = &kOps;
  cFsEntryMap_t map{};
  EXPECT_TRUE(fsList(&fs, cStrViewOf(""), &map));
  std::vector<std::string> names = Names(map);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"b", "c", "sub/a.mf4"}));
  entryMapRelease(&map);
  fsDestroy(&fs);
}

TEST(EntryMap, KeepsTheFirstStatAndStaysBalancedOverManyNames) {
  cFsEntryMap_t map{};
  EXPECT_TRUE(entryMapInsert(&map, cStrViewOf("same"), {kFileKindRegular, 1}));
  EXPECT_TRUE(entryMapInsert(&map, cStrViewOf("same"), {kFileKindDirectory, 0}));
  EXPECT_EQ(map.count, 1U);
  EXPECT_EQ(entryMapFind(&map, cStrViewOf("same"))->stat.kind, kFileKindRegular);

  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back("file" + std::to_string(i) + (i % 3 == 0 ? "\xC3\xA9" : ""));
  std::vector<std::string> shuffled = names;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));
  for (const auto& name : shuffled) ASSERT_TRUE(entryMapInsert(&map, View(name), {kFileKindRegular, 7}));
  names.push_back("same");
  std::sort(names.begin(), names.end());  // std::string orders by unsigned bytes too
  EXPECT_EQ(Names(map), names);
  EXPECT_EQ(map.count, names.size());
  // An AA tree's root level bounds its height: log2(3001) < 12 levels, at most 24 nodes deep.
  EXPECT_LE(map.nodes[map.root].level, 12U);

  const uint32_t used = map.used;
  entryMapClear(&map);
  EXPECT_EQ(map.count, 0U);
  EXPECT_TRUE(Names(map).empty());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(entryMapInsert(&map, View(names[i]), {kFileKindRegular, 0}));
  EXPECT_EQ(map.used, used);  // the cleared nodes were reused
  EXPECT_EQ(Names(map), std::vector<std::string>(names.begin(), names.begin() + 100));
  entryMapRelease(&map);
}

}  // namespace
