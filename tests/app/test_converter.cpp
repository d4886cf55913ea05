// The converter stage behind the walker on a real folder: an output appears under its name
// only complete, a failed one leaves neither a partial file nor its temporary, an earlier
// output is replaced only by a complete one (with "delete-converted" never: one of the same
// bytes counts as the output), no other process's file is published or removed, and dropped
// frames fail the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/converter.h"
#include "app/exit_status.h"
#include "app/walker.h"
#include "support/asidenames.h"
#include "support/consolelog.h"
#include "support/loggerrecording.h"
#include "support/runprogram.h"
#include "support/tempdir.h"

namespace {

namespace fs = std::filesystem;

std::string Recording(size_t frames) {
  std::vector<test::CanFrameRecord> can;
  for (size_t i = 0; i < frames; ++i) {
    test::CanFrameRecord frame{};
    frame.time_us = 1000 * (i + 1);
    frame.channel = 1;
    frame.id = 0x100 + static_cast<uint32_t>(i % 64);
    frame.dlc = 8;
    frame.data = {static_cast<uint8_t>(i), 1, 2, 3, 4, 5, 6, 7};
    can.push_back(frame);
  }
  const std::vector<uint8_t> bytes = test::LoggerRecording({}, can, {});
  return {bytes.begin(), bytes.end()};
}

/// Files beyond `bytes` cannot grow while it lives: writes fail with EFBIG as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t previous_ = SIG_DFL;
};

/// A stage in front of the converter that can fail the second record, or at end-file first
/// hand the converter one CAN FD frame with more data bytes than the output can hold.
struct OverlongStage {
  cRecordHandler_t handler;
  bool inject = false;
  bool fail_second_record = false;
  int records = 0;
};

bool OverlongRecord(cRecordHandler_t* handler, cBusMsgHelper_t* record) {
  auto* self = reinterpret_cast<OverlongStage*>(handler);
  if (++self->records == 2 && self->fail_second_record) return false;
  return recordHandlerHandle(handler->next, record);
}
bool OverlongNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
  return recordHandlerNewFile(handler->next, info, continuation);
}
bool OverlongEndFile(cRecordHandler_t* handler, const cFileInfo_t* info) {
  if (reinterpret_cast<OverlongStage*>(handler)->inject) {
    cBusMsgHelper_t record{};
    record.Timestamp = 1'000'000'000;
    record.BusChannel = 1;
    record.ID = 0x123;
    record.MsgType = kBusMsgCanDataFrame;
    record.Flags.Can.EDL = 1;
    record.Flags.Can.DLC = 15;
    const std::string data(80, '\x55');
    cStrInit(&record.DataBytes, {data.data(), static_cast<int64_t>(data.size())});
    recordHandlerHandle(handler->next, &record);
    busMsgReset(&record);
  }
  return recordHandlerEndFile(handler->next, info);
}
const cRecordHandlerOps_t kOverlongOps = {OverlongRecord, OverlongNewFile, OverlongEndFile};

/// Done before the converter's end-file, while it holds the written temporary: what another
/// process might do meanwhile.
std::function<void()> g_at_end_file;
bool MeddlingEndFile(cRecordHandler_t* handler, const cFileInfo_t* info) {
  if (g_at_end_file) g_at_end_file();
  return OverlongEndFile(handler, info);
}
const cRecordHandlerOps_t kMeddlingOps = {OverlongRecord, OverlongNewFile, MeddlingEndFile};

bool IsTemporary(const std::string& name) {
  return name.size() > 6 && name[0] == '.' && name.compare(name.size() - 5, 5, ".part") == 0;
}

/// The native kind, with every rename, folder sync and removal noted in order (the full
/// paths without the root).
std::vector<std::string> g_events;
std::string g_root;
/// The path below the root; a temporary's name (random) becomes "<temporary>", the random
/// digits of an input's private name '*'.
std::string Short(const char* full_path) {
  const std::string path = test::MaskAsideDigits(std::string(full_path).substr(g_root.size()));
  const size_t slash = path.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return IsTemporary(path.substr(name)) ? path.substr(0, name) + "<temporary>" : path;
}
bool NotedRename(cFileSystem_t* fs, const char* from, const char* to) {
  g_events.push_back("rename " + Short(from) + " " + Short(to));
  return nativeFsRename(fs, from, to);
}
bool NotedRenameNoReplace(cFileSystem_t* fs, const char* from, const char* to) {
  g_events.push_back("rename-if-free " + Short(from) + " " + Short(to));
  return nativeFsRenameNoReplace(fs, from, to);
}
bool NotedSync(cFileSystem_t* fs, const char* path) {
  g_events.push_back("sync /" + Short(path));
  return nativeFsSyncDir(fs, path);
}
bool NotedRemove(cFileSystem_t* fs, const char* path) {
  g_events.push_back("remove " + Short(path));
  return nativeFsRemove(fs, path);
}
/// Opens for writing as the native kind does as far as making the file, then fails (as when
/// the fstat after the open fails).
cStream_t* OpenFailingAfterCreate(cFileSystem_t* fs, const char* path, int flags) {
  cStream_t* stream = nativeFsOpen(fs, path, flags);
  if ((flags & kFsOpenWrite) == 0 || stream == nullptr) return stream;
  streamClose(stream);
  errno = EIO;
  return nullptr;
}

/// Opens as the native kind does, but the first `g_takes` names a new file is to be made
/// under are taken by another process just before (`g_take` puts its file there); every
/// name a new file is made under is noted.
int g_takes = 0;
std::function<void(const std::string& path)> g_take;
std::vector<std::string> g_made;
cStream_t* OpenAfterAnotherTookTheName(cFileSystem_t* fs, const char* path, int flags) {
  if ((flags & kFsOpenNew) != 0) {
    g_made.emplace_back(path);
    if (g_takes > 0) {
      --g_takes;
      g_take(path);
    }
  }
  return nativeFsOpen(fs, path, flags);
}

/// Opens as the native kind does, but when a file is opened for reading `g_at_read_open`
/// runs first; it may fail the open (false, errno set).
std::function<bool(const std::string& path)> g_at_read_open;
cStream_t* OpenAfterMeddling(cFileSystem_t* fs, const char* path, int flags) {
  if ((flags & kFsOpenRead) != 0 && g_at_read_open && !g_at_read_open(path)) return nullptr;
  return nativeFsOpen(fs, path, flags);
}

/// Looks at a name as the native kind does, then `g_after_link_stat` runs: another process acts
/// right after the run's look.
std::function<void(const std::string& path)> g_after_link_stat;
bool LinkStatThenMeddling(cFileSystem_t* fs, const char* path, cFileStat_t* out) {
  const bool looked = nativeFsLinkStat(fs, path, out);
  if (g_after_link_stat) g_after_link_stat(path);
  return looked;
}

/// Removes as the native kind does, but refuses (EACCES, as in a read-only folder) for temporaries.
bool RemoveRefusedForTemporaries(cFileSystem_t* fs, const char* path) {
  if (IsTemporary(std::filesystem::path(path).filename().string())) {
    errno = EACCES;
    return false;
  }
  return nativeFsRemove(fs, path);
}

/// Renames as the native kind does, then another process puts its file under the new name.
bool RenameThenNameTaken(cFileSystem_t* fs, const char* from, const char* to) {
  if (!nativeFsRename(fs, from, to)) return false;
  const std::string other = std::string(to) + ".other";
  std::FILE* file = std::fopen(other.c_str(), "wb");
  if (file != nullptr) {
    std::fputs("another process's file", file);
    std::fclose(file);
  }
  return nativeFsRename(fs, other.c_str(), to);
}

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_ = nativeFsNew(cStrViewOf(dir_.Path().c_str()));
    ASSERT_NE(fs_, nullptr);
    kNative = *fs_->ops;
    converter_ = converterHandlerNew(fs_);
    ASSERT_NE(converter_, nullptr);
    front_.handler.ops = &kOverlongOps;
    front_.handler.next = &converter_->handler;
    NewRun();
  }
  /// A walker of its own, which has written no output yet.
  void NewRun() {
    walkerFree(walker_);
    walker_ = walkerNew(fs_, fs_, 1, &settings_, &front_.handler);
    ASSERT_NE(walker_, nullptr);
    converterHandlerSetWalker(converter_, walker_);
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  void TearDown() override {
    g_at_end_file = nullptr;
    g_at_read_open = nullptr;
    g_after_link_stat = nullptr;
    g_take = nullptr;
    g_takes = 0;
    g_made.clear();
    walkerFree(walker_);
    converterHandlerFree(converter_);
    fsFree(fs_);
  }
  int Convert(const std::string& input, const std::string& output) {
    return convertFile(walker_, cStrViewOf(input.c_str()), cStrViewOf(output.c_str()));
  }
  /// Every regular file of the folder, by name.
  std::vector<std::string> Files(const std::string& folder = "") {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.Path(folder))) {
      if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  /// The name of the one temporary in the folder; empty when there is none or more.
  std::string Temporary(const std::string& folder = "") {
    std::string found;
    int count = 0;
    for (const std::string& name : Files(folder)) {
      if (IsTemporary(name)) {
        found = name;
        ++count;
      }
    }
    return count == 1 ? found : std::string();
  }
  /// The output of the recording with nothing in the way (converted once, then removed).
  std::string ReferenceOutput(const std::string& recording) {
    dir_.Write("reference.mf4", recording);
    const int saved = settings_.delete_converted;
    settings_.delete_converted = 1;
    NewRun();
    EXPECT_EQ(Convert("reference.mf4", "reference"), kExitSuccess);
    settings_.delete_converted = saved;
    NewRun();
    const std::string bytes = test::ReadWholeFile(dir_.Path("reference_out.MF4"));
    fs::remove(dir_.Path("reference_out.MF4"));
    return bytes;
  }

  static inline cFileSystemOps_t kNative{};
  test::TempDir dir_;
  cFileSystem_t* fs_ = nullptr;
  cSettings_t settings_{1, 0, 0, -1, {}};  // "delete-converted"
  cConverterHandler_t* converter_ = nullptr;
  OverlongStage front_{};
  cWalker_t* walker_ = nullptr;
};

TEST_F(ConverterTest, AnOutputThatCannotBeWrittenWholeLeavesNothingAndKeepsItsInput) {
  const std::string recording = Recording(200);
  dir_.Write("a.mf4", recording);
  dir_.Write("a_out.MF4", "an earlier output");
  // Limits inside the file's header, its data and its last bytes.
  for (const rlim_t limit : {rlim_t{0}, rlim_t{64}, rlim_t{2000}, rlim_t{4000}}) {
    std::vector<std::string> lines;
    int result = 0;
    NewRun();
    {
      test::ConsoleLog log(kLogError);
      const FileSizeLimit full(limit);
      result = Convert("a.mf4", "a");
      lines = log.Messages();
    }
    EXPECT_EQ(result, kExitFileFailed) << limit;
    // The library names its own failure first.
    EXPECT_TRUE(Has(lines, "E Could not write output file a_out.MF4: File too large")) << limit;
    EXPECT_TRUE(Has(lines, "E Error during end file callback")) << limit;
    EXPECT_EQ(Files(), (std::vector<std::string>{"a.mf4", "a_out.MF4"})) << limit;
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), "an earlier output") << limit;
  }
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("a.mf4")), recording);

  // Without a limit the same file replaces the earlier output whole (without
  // "delete-converted": with it, an earlier file of other bytes is kept, see below).
  settings_.delete_converted = 0;
  NewRun();
  EXPECT_EQ(Convert("a.mf4", "a"), kExitSuccess);
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.mf4", "a_out.MF4"}));
  EXPECT_GT(fs::file_size(dir_.Path("a_out.MF4")), 4000u);  // the limits above fell inside it
}

TEST_F(ConverterTest, DroppedFramesFailTheFileButItsOutputIsPublished) {
  dir_.Write("a.mf4", Recording(3));
  dir_.Write("b.mf4", Recording(3));
  front_.inject = true;
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
  front_.inject = false;
  EXPECT_EQ(Convert("b.mf4", "b"), kExitSuccess);  // the count starts afresh with each output
  const std::vector<std::string> lines = log.Messages();
  const std::vector<std::string> expected = {"E Dropped 1 CAN frames with more than 64 data bytes",
                                             "E Error during end file callback"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.mf4", "a_out.MF4", "b_out.MF4"}));
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), test::ReadWholeFile(dir_.Path("b_out.MF4")));
}

TEST_F(ConverterTest, DeletingMakesTheOutputAndItsFoldersDurableBeforeTheInputGoes) {
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.rename = NotedRename;
  ops.rename_no_replace = NotedRenameNoReplace;
  ops.sync_directory = NotedSync;
  ops.remove = NotedRemove;
  fs_->ops = &ops;
  g_root = dir_.Path();
  g_events.clear();
  dir_.MakeDir("x/y");
  dir_.MakeDir("x/z");
  for (const char* name : {"x/y/a.mf4", "x/y/b.mf4", "x/z/c.mf4"}) dir_.Write(name, Recording(3));
  EXPECT_EQ(Convert("x/y/a.mf4", "x/y/a"), kExitSuccess);
  EXPECT_EQ(Convert("x/y/b.mf4", "x/y/b"), kExitSuccess);
  EXPECT_EQ(Convert("x/z/c.mf4", "x/z/c"), kExitSuccess);
  // The output takes its name only where the name is free.
  const std::vector<std::string> expected = {
      "rename-if-free x/y/<temporary> x/y/a_out.MF4",
      "sync /x/y/",
      "sync /x/",  // the first output of a folder: its ancestors too
      "sync /",
      "rename-if-free x/y/a.mf4 x/y/.~*",  // the input, moved aside first
      "remove x/y/.~*",
      "rename-if-free x/y/<temporary> x/y/b_out.MF4",
      "sync /x/y/",
      "rename-if-free x/y/b.mf4 x/y/.~*",
      "remove x/y/.~*",
      "rename-if-free x/z/<temporary> x/z/c_out.MF4",
      "sync /x/z/",
      "sync /x/",
      "sync /",
      "rename-if-free x/z/c.mf4 x/z/.~*",
      "remove x/z/.~*",
  };
  EXPECT_EQ(g_events, expected);

  // Without "delete-converted" nothing is synced, and an output replaces a file of its name.
  settings_.delete_converted = 0;
  NewRun();
  g_events.clear();
  dir_.Write("x/y/d.mf4", Recording(3));
  EXPECT_EQ(Convert("x/y/d.mf4", "x/y/d"), kExitSuccess);
  EXPECT_EQ(g_events, (std::vector<std::string>{"rename x/y/<temporary> x/y/d_out.MF4"}));
}

TEST_F(ConverterTest, AnOpenThatFailsAfterMakingTheFileLeavesNoTemporary) {
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.open = OpenFailingAfterCreate;
  fs_->ops = &ops;
  dir_.Write("a.mf4", Recording(3));
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
  EXPECT_TRUE(Has(log.Messages(), "E Could not open output file a_out.MF4: Input/output error"));
  EXPECT_EQ(Files(), std::vector<std::string>{"a.mf4"});
}

TEST_F(ConverterTest, AFailedOpenIsReportedWithItsReasonAndOnlyATemporaryItMadeAsLeft) {
  struct Case {
    const char* name;
    std::string stem;
    cStream_t* (*open)(cFileSystem_t*, const char*, int);
    bool (*remove)(cFileSystem_t*, const char*);
    bool identities;                 // the kind can tell what a name is
    std::vector<std::string> lines;  // "<temporary>" stands for the one left
  };
  const std::string too_long(248, 'n');  // the output's name would be 256 bytes
  const std::vector<Case> cases = {
      {"a name too long: nothing made",
       too_long,
       nativeFsOpen,
       nativeFsRemove,
       true,
       {"E Could not open output file " + too_long + "_out.MF4: File name too long"}},
      {"made, then failed, and its removal refused",
       "a",
       OpenFailingAfterCreate,
       RemoveRefusedForTemporaries,
       true,
       {"E Could not remove temporary file <temporary>: Permission denied",
        "E Could not open output file a_out.MF4: Input/output error"}},
      {"made, then failed, where the kind cannot look",
       "a",
       OpenFailingAfterCreate,
       nativeFsRemove,
       false,
       {"E Could not open output file a_out.MF4: Input/output error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : Files()) fs::remove(dir_.Path(name));
    static cFileSystemOps_t ops;
    ops = kNative;
    ops.open = c.open;
    ops.remove = c.remove;
    if (!c.identities) {
      ops.link_stat = nullptr;
      ops.stream_stat = nullptr;
    }
    fs_->ops = &ops;
    NewRun();
    dir_.Write("in.mf4", Recording(3));
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert("in.mf4", c.stem), kExitFileFailed);
    const std::string temporary = Temporary();
    std::vector<std::string> expected;
    for (std::string line : c.lines) {
      if (const size_t at = line.find("<temporary>"); at != std::string::npos) line.replace(at, 11, temporary);
      expected.push_back(line);
    }
    std::vector<std::string> lines = log.Messages();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& line) {
                                 return line == "E Error on new file" || line == "E Error during end file callback";
                               }),
                lines.end());
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(temporary.empty(), expected.size() == 1);
    EXPECT_TRUE(fs::exists(dir_.Path("in.mf4")));
  }
}

TEST_F(ConverterTest, ANameTakenBeforeTheOpenIsLeftToItsOwnerAndAnotherTried) {
  const std::string expected = ReferenceOutput(Recording(3));
  ASSERT_FALSE(expected.empty());
  const std::string input_b = Recording(5);

  struct Case {
    const char* name;
    void (*take)(const std::string& path);
    bool is_file;  // what was put there is a regular file (not a link)
  };
  const Case cases[] = {
      {"a link to another input",
       [](const std::string& at) { fs::create_symlink(fs::path(at).parent_path() / "b.mf4", at); }, false},
      {"a dangling link",
       [](const std::string& at) { fs::create_symlink(fs::path(at).parent_path() / "made.mf4", at); }, false},
      {"another run's temporary",
       [](const std::string& at) {
         std::FILE* file = std::fopen(at.c_str(), "wb");
         std::fputs("another run's temporary", file);
         std::fclose(file);
       },
       true},
      {"a file without write permission",
       [](const std::string& at) {
         std::FILE* file = std::fopen(at.c_str(), "wb");
         std::fputs("another run's temporary", file);
         std::fclose(file);
         fs::permissions(at, fs::perms::owner_read);
       },
       true},
  };
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.open = OpenAfterAnotherTookTheName;
  fs_->ops = &ops;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewRun();
    dir_.Write("a.mf4", Recording(3));
    dir_.Write("b.mf4", input_b);
    g_made.clear();
    g_takes = 1;
    g_take = c.take;
    EXPECT_EQ(Convert("a.mf4", "a"), kExitSuccess);
    ASSERT_EQ(g_made.size(), 2u);  // the taken name, then a free one
    EXPECT_NE(g_made[0], g_made[1]);
    // What the other process put there is as it put it: neither written through nor removed.
    const std::string taken = fs::path(g_made[0]).filename().string();
    EXPECT_EQ(fs::is_symlink(g_made[0]), !c.is_file);
    if (c.is_file) {
      EXPECT_EQ(test::ReadWholeFile(g_made[0]), "another run's temporary");
    }
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("b.mf4")), input_b);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Path("made.mf4"))));
    EXPECT_FALSE(fs::is_symlink(dir_.Path("a_out.MF4")));
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), expected);
    std::vector<std::string> files = {"a_out.MF4", "b.mf4"};
    if (fs::exists(g_made[0])) files.push_back(taken);  // a file, or a link to one
    std::sort(files.begin(), files.end());
    EXPECT_EQ(Files(), files);
    fs::remove(g_made[0]);
    fs::remove(dir_.Path("a_out.MF4"));
  }
}

TEST_F(ConverterTest, NamesTakenAtEveryTryFailTheFileAndStayWithTheirOwners) {
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.open = OpenAfterAnotherTookTheName;
  fs_->ops = &ops;
  const std::string recording = Recording(3);
  dir_.Write("a.mf4", recording);
  g_takes = 1000;
  g_take = [](const std::string& at) {
    std::FILE* file = std::fopen(at.c_str(), "wb");
    std::fputs("another process's file", file);
    std::fclose(file);
  };
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
  EXPECT_TRUE(Has(log.Messages(), "E Could not open output file a_out.MF4: File exists"));
  // A bounded number of names, each a new one, and every one left to its owner.
  EXPECT_GT(g_made.size(), 1u);
  EXPECT_LE(g_made.size(), 100u);
  EXPECT_EQ(std::set<std::string>(g_made.begin(), g_made.end()).size(), g_made.size());
  for (const std::string& path : g_made) EXPECT_EQ(test::ReadWholeFile(path), "another process's file") << path;
  EXPECT_EQ(Files().size(), g_made.size() + 1);
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("a.mf4")), recording);
}

TEST_F(ConverterTest, ATemporaryNameFitsWhereverTheOutputsNameFitsAndIsNewEachTime) {
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.open = OpenAfterAnotherTookTheName;  // notes the names, takes none
  fs_->ops = &ops;
  settings_.delete_converted = 0;
  NewRun();
  const std::string e_acute = "\xC3\xA9";       // 2 bytes
  const std::string euro = "\xE2\x82\xAC";      // 3 bytes
  const std::string clef = "\xF0\x9D\x84\x9E";  // 4 bytes
  const auto repeat = [](const std::string& text, int count) {
    std::string repeated;
    for (int i = 0; i < count; ++i) repeated += text;
    return repeated;
  };
  // Output names of 8 to 255 bytes ("_out.MF4" adds 8 to the stem): 255 is the longest name
  // Linux file systems take. The stems of several-byte characters put the cut on each byte
  // of one but its first.
  const std::vector<std::string> stems = {
      "",
      "a",
      "00000001",
      std::string(200, 'n'),
      std::string(247, 'n'),
      repeat(e_acute, 123),
      repeat(euro, 82),
      repeat(euro, 80) + "ab",
      repeat(clef, 61),
      repeat(clef, 61) + "a",
      repeat(clef, 61) + "ab",
  };
  const std::string recording = Recording(3);
  for (const std::string& stem : stems) {
    const std::string output = stem + "_out.MF4";
    SCOPED_TRACE(std::to_string(output.size()) + " bytes: " + output);
    ASSERT_LE(output.size(), 255u);
    std::set<std::string> names;
    for (int run = 0; run < 2; ++run) {
      dir_.Write("in.mf4", recording);
      g_made.clear();
      NewRun();
      EXPECT_EQ(Convert("in.mf4", stem), kExitSuccess);
      ASSERT_EQ(g_made.size(), 1u);
      EXPECT_TRUE(fs::exists(dir_.Path(output)));
      EXPECT_EQ(Temporary(), "");
      const std::string name = fs::path(g_made[0]).filename().string();
      names.insert(name);
      // ".<start of the output's name>.<8 hexadecimal digits>.part", or without the start.
      ASSERT_TRUE(IsTemporary(name)) << name;
      EXPECT_LE(name.size(), std::max<size_t>(output.size(), 14));
      const std::string random = name.substr(name.size() - 13, 8);
      EXPECT_EQ(random.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
      if (name.size() > 14) {
        const std::string start = name.substr(1, name.size() - 15);
        EXPECT_EQ(name[name.size() - 14], '.');
        EXPECT_EQ(output.compare(0, start.size(), start), 0) << name;
        EXPECT_NE(static_cast<unsigned char>(output[start.size()]) & 0xC0, 0x80) << "cut inside a character";
        EXPECT_GE(start.size() + 3, output.size() - 15) << "cut further back than a character";
      } else {
        EXPECT_EQ(name.size(), 14u);
      }
      fs::remove(dir_.Path(output));
    }
    EXPECT_EQ(names.size(), 2u);
  }
}

TEST_F(ConverterTest, AFailedRecordPublishesNoOutput) {
  // The output would lack the records after it; an earlier output stays.
  dir_.Write("a.mf4", Recording(3));
  dir_.Write("a_out.MF4", "an earlier output");
  front_.fail_second_record = true;
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
  const std::vector<std::string> lines = log.Messages();
  const std::vector<std::string> expected = {"E Error during handle record callback",
                                             "E Error during end file callback"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.mf4", "a_out.MF4"}));
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), "an earlier output");
}

TEST_F(ConverterTest, WithDeleteConvertedAFileUnderTheOutputsNameIsReplacedOnlyByTheSameBytes) {
  const std::string recording = Recording(3);
  const std::string expected = ReferenceOutput(recording);
  ASSERT_GT(expected.size(), 100u);
  std::string flipped = expected;
  flipped[flipped.size() - 1] = static_cast<char>(flipped.back() ^ 1);
  struct Case {
    const char* name;
    std::function<void()> put;  // what is under the output's name before the run
    bool replaced;
  };
  const std::vector<Case> cases = {
      // An earlier run ended between its rename and the removal of its input.
      {"the same bytes", [&] { dir_.Write("a_out.MF4", expected); }, true},
      {"the last byte differs", [&] { dir_.Write("a_out.MF4", flipped); }, false},
      {"a shorter file", [&] { dir_.Write("a_out.MF4", expected.substr(0, expected.size() - 1)); }, false},
      {"an empty file", [&] { dir_.Write("a_out.MF4", ""); }, false},
      // A link is not followed, even to the same bytes.
      {"a link to the same bytes",
       [&] {
         dir_.Write("same.bin", expected);
         fs::create_symlink(dir_.Path("same.bin"), dir_.Path("a_out.MF4"));
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : Files()) fs::remove(dir_.Path(name));
    fs::remove(dir_.Path("a_out.MF4"));
    dir_.Write("a.mf4", recording);
    c.put();
    const bool link = fs::is_symlink(dir_.Path("a_out.MF4"));
    const std::string before = link ? std::string() : test::ReadWholeFile(dir_.Path("a_out.MF4"));
    NewRun();
    test::ConsoleLog log(kLogError);
    const int result = Convert("a.mf4", "a");
    const std::vector<std::string> lines = log.Messages();
    EXPECT_EQ(result, c.replaced ? kExitSuccess : kExitFileFailed);
    EXPECT_EQ(fs::exists(dir_.Path("a.mf4")), !c.replaced);
    EXPECT_EQ(Temporary(), "");
    if (c.replaced) {
      EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), expected);
      EXPECT_TRUE(lines.empty() || (lines.size() == 1 && lines[0].empty())) << lines[0];
    } else {
      EXPECT_TRUE(Has(lines, "E Output a_out.MF4 of a.mf4 would replace a different file of that name"));
      EXPECT_EQ(fs::is_symlink(dir_.Path("a_out.MF4")), link);
      if (!link) {
        EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), before);
      }
    }
  }

  // A file that cannot be read is not replaced either, nor one that another process replaced
  // while it was compared (here with the same bytes: it is not the file compared).
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.open = OpenAfterMeddling;
  fs_->ops = &ops;
  struct Meddling {
    const char* name;
    std::function<bool(const std::string& path)> at_read_open;
    std::string line;
  };
  const std::vector<Meddling> meddlings = {
      {"unreadable",
       [](const std::string& path) {
         errno = EACCES;
         return path.find("a_out.MF4") == std::string::npos || IsTemporary(fs::path(path).filename().string());
       },
       "E Output a_out.MF4 of a.mf4 would replace a file of that name that could not be compared: Permission denied"},
      {"replaced while compared",
       [this](const std::string& path) {
         if (IsTemporary(fs::path(path).filename().string())) {
           dir_.Write("copy", test::ReadWholeFile(dir_.Path("a_out.MF4")));
           fs::rename(dir_.Path("copy"), dir_.Path("a_out.MF4"));
         }
         return true;
       },
       "E Output a_out.MF4 of a.mf4 would replace a different file of that name"},
  };
  for (const Meddling& m : meddlings) {
    SCOPED_TRACE(m.name);
    fs::remove(dir_.Path("a_out.MF4"));
    dir_.Write("a.mf4", recording);
    dir_.Write("a_out.MF4", expected);
    g_at_read_open = m.at_read_open;
    NewRun();
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
    EXPECT_TRUE(Has(log.Messages(), m.line));
    EXPECT_TRUE(fs::exists(dir_.Path("a.mf4")));
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), expected);
    EXPECT_EQ(Temporary(), "");
  }
}

TEST_F(ConverterTest, WithDeleteConvertedAFileOfTheSameBytesStaysAndCountsAsTheOutput) {
  const std::string recording = Recording(3);
  const std::string expected = ReferenceOutput(recording);
  static cFileSystemOps_t ops;
  g_root = dir_.Path();
  struct Case {
    const char* name;
    bool (*remove)(cFileSystem_t*, const char*);
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      // Never renamed over: the temporary goes, and the file found is made durable before the input goes.
      {"the temporary removed",
       NotedRemove,
       {"rename-if-free <temporary> a_out.MF4", "remove <temporary>", "sync /", "rename-if-free a.mf4 .~*",
        "remove .~*"}},
      // The run's copy of an output that is in place is no reason to lose the input, but a failure.
      {"the temporary cannot be removed", RemoveRefusedForTemporaries, {"rename-if-free <temporary> a_out.MF4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : Files()) fs::remove(dir_.Path(name));
    ops = kNative;
    ops.rename = NotedRename;
    ops.rename_no_replace = NotedRenameNoReplace;
    ops.sync_directory = NotedSync;
    ops.remove = c.remove;
    fs_->ops = &ops;
    dir_.Write("a.mf4", recording);
    dir_.Write("a_out.MF4", expected);
    struct stat found {};
    ASSERT_EQ(::stat(dir_.Path("a_out.MF4").c_str(), &found), 0);
    NewRun();
    g_events.clear();
    test::ConsoleLog log(kLogError);
    const int result = Convert("a.mf4", "a");
    const std::string temporary = Temporary();
    EXPECT_EQ(g_events, c.events);
    struct stat now {};
    ASSERT_EQ(::stat(dir_.Path("a_out.MF4").c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, found.st_ino);  // the very file found
    EXPECT_TRUE(test::ReadWholeFile(dir_.Path("a_out.MF4")) == expected);
    if (c.remove == NotedRemove) {
      EXPECT_EQ(result, kExitSuccess);
      EXPECT_EQ(Files(), std::vector<std::string>{"a_out.MF4"});
      EXPECT_TRUE(log.Messages().empty());
    } else {
      EXPECT_EQ(result, kExitFileFailed);
      EXPECT_TRUE(fs::exists(dir_.Path("a.mf4")));
      ASSERT_NE(temporary, "");
      EXPECT_EQ(log.Messages(),
                (std::vector<std::string>{"E Could not remove temporary file " + temporary + ": Permission denied",
                                          "E Error during end file callback"}));
    }
  }
}

TEST_F(ConverterTest, WithDeleteConvertedAFileThatComesUnderTheOutputsNameAfterTheComparisonIsNeverReplaced) {
  // An earlier output of the same bytes is under the name. After the run compared it, a shipper
  // moves it away and, in some cases, another run publishes a different recording's output there.
  const std::string recording = Recording(3);
  const std::string expected = ReferenceOutput(recording);
  const std::string other = "another run's output";
  static cFileSystemOps_t ops;
  ops = kNative;
  ops.open = OpenAfterMeddling;
  ops.link_stat = LinkStatThenMeddling;
  fs_->ops = &ops;
  bool compared = false;  // the comparison has begun: both files are open
  bool meddled = false;
  bool publish_other = false;
  const auto meddle = [&] {
    meddled = true;
    fs::rename(dir_.Path("a_out.MF4"), dir_.Path("ship/a_out.MF4"));
    if (publish_other) {
      dir_.Write("other.part", other);
      fs::rename(dir_.Path("other.part"), dir_.Path("a_out.MF4"));
    }
  };
  const auto is_output = [](const std::string& path) { return fs::path(path).filename() == "a_out.MF4"; };
  struct Case {
    const char* name;
    bool publish_other;
    bool during_comparison;  // else right after the run's look at the name that follows it
    int result;
  };
  const std::vector<Case> cases = {
      // The name is free again: the run's own output takes it.
      {"moved away during the comparison", false, true, kExitSuccess},
      {"another output put there during the comparison", true, true, kExitFileFailed},
      // Too late for any look to see: the run counts the file compared, whose bytes the shipper holds.
      {"another output put there after the last look", true, false, kExitSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.Path("ship"));
    for (const std::string& name : Files()) fs::remove(dir_.Path(name));
    dir_.MakeDir("ship");
    dir_.Write("a.mf4", recording);
    dir_.Write("a_out.MF4", expected);
    compared = meddled = false;
    publish_other = c.publish_other;
    g_at_read_open = [&](const std::string& path) {
      if (!IsTemporary(fs::path(path).filename().string())) return true;
      compared = true;
      if (c.during_comparison && !meddled) meddle();
      return true;
    };
    g_after_link_stat = [&](const std::string& path) {
      if (compared && !c.during_comparison && !meddled && is_output(path)) meddle();
    };
    NewRun();
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert("a.mf4", "a"), c.result);
    EXPECT_TRUE(meddled);
    // Compared as booleans: a failure would print whole outputs.
    EXPECT_TRUE(test::ReadWholeFile(dir_.Path("ship/a_out.MF4")) == expected);
    EXPECT_TRUE(test::ReadWholeFile(dir_.Path("a_out.MF4")) == (c.publish_other ? other : expected));
    EXPECT_EQ(fs::exists(dir_.Path("a.mf4")), c.result != kExitSuccess);
    EXPECT_EQ(Temporary(), "");
    if (c.result != kExitSuccess) {
      EXPECT_TRUE(Has(log.Messages(), "E Output a_out.MF4 of a.mf4 would replace a different file of that name"));
    }
  }
}

TEST_F(ConverterTest, ANameThatNoLongerHoldsTheWrittenFileIsNeitherPublishedNorRemoved) {
  std::string temporary;  // the name of the temporary being written
  struct Case {
    const char* name;
    bool deleting;
    std::function<void()> meddle;    // while the temporary is held
    std::vector<std::string> lines;  // "<temporary>" stands for its name
    std::vector<std::string> files;  // afterwards
  };
  const std::vector<Case> cases = {
      {"the temporary removed",
       true,
       [&] { fs::remove(dir_.Path(temporary)); },
       {"E Could not publish output file a_out.MF4: its temporary <temporary> is gone"},
       {"a.mf4"}},
      {"another file renamed over the temporary",
       true,
       [&] {
         dir_.Write("other", "another process's file");
         fs::rename(dir_.Path("other"), dir_.Path(temporary));
       },
       {"E Could not publish output file a_out.MF4: another file is under the name of its temporary <temporary>"},
       {"<temporary>", "a.mf4"}},
      {"the temporary renamed away",
       false,
       [&] { fs::rename(dir_.Path(temporary), dir_.Path("moved")); },
       {"E Could not publish output file a_out.MF4: its temporary <temporary> is gone",
        "E Could not remove temporary file <temporary>: it is no longer under that name"},
       {"a.mf4", "moved"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : Files()) fs::remove(dir_.Path(name));
    settings_.delete_converted = c.deleting ? 1 : 0;
    NewRun();
    front_.handler.ops = &kMeddlingOps;
    dir_.Write("a.mf4", Recording(3));
    g_at_end_file = [&] {
      temporary = Temporary();
      ASSERT_NE(temporary, "");
      c.meddle();
    };
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
    std::vector<std::string> expected = c.lines;
    expected.emplace_back("E Error during end file callback");
    for (std::string& line : expected) {
      if (const size_t at = line.find("<temporary>"); at != std::string::npos) line.replace(at, 11, temporary);
    }
    EXPECT_EQ(log.Messages(), expected);
    std::vector<std::string> files = c.files;
    for (std::string& name : files) {
      if (name == "<temporary>") name = temporary;
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(Files(), files);
  }
}

TEST_F(ConverterTest, AnotherFileUnderTheOutputsNameRightAfterTheRenameFailsTheFile) {
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.rename = RenameThenNameTaken;
  ops.rename_no_replace = RenameThenNameTaken;
  fs_->ops = &ops;
  for (const int deleting : {1, 0}) {
    SCOPED_TRACE(deleting);
    settings_.delete_converted = deleting;
    NewRun();
    dir_.Write("a.mf4", Recording(3));
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
    EXPECT_TRUE(Has(log.Messages(),
                    "E Could not publish output file a_out.MF4: another file is under that name after the rename"));
    EXPECT_TRUE(fs::exists(dir_.Path("a.mf4")));
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), "another process's file");
    fs::remove(dir_.Path("a_out.MF4"));
  }
}

TEST_F(ConverterTest, ATemporaryThatCannotBeRemovedIsAnErrorWithItsName) {
  struct Case {
    const char* name;
    bool refuse_removal;
    bool move_folder;
    std::string reason;
  };
  const Case cases[] = {
      {"its folder read-only", true, false, "Permission denied"},
      {"its folder moved away", false, true, "it is no longer under that name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.Path("x"));
    fs::remove_all(dir_.Path("moved"));
    static cFileSystemOps_t ops;
    ops = kNative;
    if (c.refuse_removal) ops.remove = RemoveRefusedForTemporaries;
    fs_->ops = &ops;
    NewRun();
    front_.handler.ops = &kMeddlingOps;
    front_.fail_second_record = true;  // the output is not published: its temporary goes
    front_.records = 0;
    dir_.MakeDir("x");
    dir_.Write("x/a.mf4", Recording(3));
    std::string temporary;
    g_at_end_file = [&] {
      temporary = Temporary("x");
      if (c.move_folder) fs::rename(dir_.Path("x"), dir_.Path("moved"));
    };
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert("x/a.mf4", "x/a"), kExitFileFailed);
    ASSERT_NE(temporary, "");
    EXPECT_TRUE(Has(log.Messages(), "E Could not remove temporary file x/" + temporary + ": " + c.reason));
    EXPECT_TRUE(fs::exists(dir_.Path((c.move_folder ? "moved/" : "x/") + temporary)));
  }
}

}  // namespace
