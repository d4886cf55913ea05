// The converter stage behind the walker on a real folder: an output appears under its name
// only complete, a failed one leaves neither a partial file nor its temporary, an earlier
// output is replaced only by a complete one, and dropped frames fail the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
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
    record.Timestamp = 1.7e9;
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

/// The native kind, with every rename, folder sync and removal noted in order (the full
/// paths without the root).
std::vector<std::string> g_events;
std::string g_root;
/// The path without the root; the random digits of an input's private name become '*'.
std::string Short(const char* full_path) { return test::MaskAsideDigits(std::string(full_path).substr(g_root.size())); }
bool NotedRename(cFileSystem_t* fs, const char* from, const char* to) {
  g_events.push_back("rename " + Short(from) + " " + Short(to));
  return nativeFsRename(fs, from, to);
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

/// Removes as the native kind does, but the first removal of a temporary is followed by
/// another process taking the name again.
bool RemoveThenNameTakenAgain(cFileSystem_t* fs, const char* path) {
  const bool removed = nativeFsRemove(fs, path);
  const int error = errno;
  static bool taken = false;
  if (!taken && std::string(path).find(".part") != std::string::npos) {
    taken = true;
    FILE* other = std::fopen(path, "wb");
    if (other != nullptr) {
      std::fputs("another process's file", other);
      std::fclose(other);
    }
  }
  errno = error;
  return removed;
}

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_ = nativeFsNew(cStrViewOf(dir_.Path().c_str()));
    ASSERT_NE(fs_, nullptr);
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
    walkerFree(walker_);
    converterHandlerFree(converter_);
    fsFree(fs_);
  }
  int Convert(const std::string& input, const std::string& output) {
    return convertFile(walker_, cStrViewOf(input.c_str()), cStrViewOf(output.c_str()));
  }
  /// Every regular file of the folder, by name.
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.Dir())) {
      if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

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

  // Without a limit the same file replaces the earlier output whole, and its input goes.
  NewRun();
  EXPECT_EQ(Convert("a.mf4", "a"), kExitSuccess);
  EXPECT_EQ(Files(), std::vector<std::string>{"a_out.MF4"});
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
  const std::string pid = std::to_string(getpid());
  const std::vector<std::string> expected = {
      "remove x/y/.a_out.MF4." + pid + ".part",  // whatever a killed run left there
      "rename x/y/.a_out.MF4." + pid + ".part x/y/a_out.MF4",
      "sync /x/y/",
      "sync /x/",  // the first output of a folder: its ancestors too
      "sync /",
      "remove x/y/.~*",  // the input, moved aside first
      "remove x/y/.b_out.MF4." + pid + ".part",
      "rename x/y/.b_out.MF4." + pid + ".part x/y/b_out.MF4",
      "sync /x/y/",
      "remove x/y/.~*",
      "remove x/z/.c_out.MF4." + pid + ".part",
      "rename x/z/.c_out.MF4." + pid + ".part x/z/c_out.MF4",
      "sync /x/z/",
      "sync /x/",
      "sync /",
      "remove x/z/.~*",
  };
  EXPECT_EQ(g_events, expected);

  // Without "delete-converted" nothing is synced.
  settings_.delete_converted = 0;
  NewRun();
  g_events.clear();
  dir_.Write("x/y/d.mf4", Recording(3));
  EXPECT_EQ(Convert("x/y/d.mf4", "x/y/d"), kExitSuccess);
  EXPECT_EQ(g_events, (std::vector<std::string>{"remove x/y/.d_out.MF4." + pid + ".part",
                                                "rename x/y/.d_out.MF4." + pid + ".part x/y/d_out.MF4"}));
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

TEST_F(ConverterTest, WhateverIsAtTheTemporaryNameIsReplacedNeverWrittenThrough) {
  // The output every case must give: that of the same recording with nothing in the way.
  dir_.Write("reference.mf4", Recording(3));
  ASSERT_EQ(Convert("reference.mf4", "reference"), kExitSuccess);
  const std::string expected = test::ReadWholeFile(dir_.Path("reference_out.MF4"));
  ASSERT_FALSE(expected.empty());
  const std::string temporary = ".a_out.MF4." + std::to_string(getpid()) + ".part";
  const std::string input_b = Recording(5);

  struct Case {
    const char* name;
    void (*plant)(const test::TempDir& dir, const std::string& temporary);
  };
  const Case cases[] = {
      {"a link to another input",
       [](const test::TempDir& dir, const std::string& at) { fs::create_symlink(dir.Path("b.mf4"), dir.Path(at)); }},
      {"a dangling link",
       [](const test::TempDir& dir, const std::string& at) { fs::create_symlink(dir.Path("made.mf4"), dir.Path(at)); }},
      {"a stale temporary of a killed run",
       [](const test::TempDir& dir, const std::string& at) { dir.Write(at, std::string(100000, 's')); }},
      {"a stale temporary without write permission",
       [](const test::TempDir& dir, const std::string& at) {
         dir.Write(at, "stale");
         fs::permissions(dir.Path(at), fs::perms::owner_read);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewRun();
    dir_.Write("a.mf4", Recording(3));
    dir_.Write("b.mf4", input_b);
    c.plant(dir_, temporary);
    EXPECT_EQ(Convert("a.mf4", "a"), kExitSuccess);
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("b.mf4")), input_b);
    EXPECT_FALSE(fs::is_symlink(dir_.Path("a_out.MF4")));
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("a_out.MF4")), expected);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Path(temporary))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Path("made.mf4"))));
    EXPECT_EQ(Files(), (std::vector<std::string>{"a_out.MF4", "b.mf4", "reference_out.MF4"}));
    fs::remove(dir_.Path("a_out.MF4"));
  }
}

TEST_F(ConverterTest, ANameTakenAgainBeforeTheOpenFailsTheFileAndIsLeftToItsOwner) {
  static cFileSystemOps_t ops;
  ops = *fs_->ops;
  ops.remove = RemoveThenNameTakenAgain;
  fs_->ops = &ops;
  const std::string recording = Recording(3);
  dir_.Write("a.mf4", recording);
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert("a.mf4", "a"), kExitFileFailed);
  EXPECT_TRUE(Has(log.Messages(), "E Could not open output file a_out.MF4: File exists"));
  const std::string temporary = ".a_out.MF4." + std::to_string(getpid()) + ".part";
  EXPECT_EQ(Files(), (std::vector<std::string>{temporary, "a.mf4"}));
  EXPECT_EQ(test::ReadWholeFile(dir_.Path(temporary)), "another process's file");
  EXPECT_EQ(test::ReadWholeFile(dir_.Path("a.mf4")), recording);
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

}  // namespace
