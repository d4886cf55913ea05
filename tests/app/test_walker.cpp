// The input walk over real folders: which files are converted, where their outputs go, the
// container loop's results and messages, and the header checks, with a recording stage as
// the head of the chain.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/exit_status.h"
#include "app/passwords.h"
#include "app/walker.h"
#include "platform/container.h"
#include "platform/log.h"
#include "support/asidenames.h"
#include "support/consolelog.h"
#include "support/fusemount.h"
#include "support/genericfile.h"
#include "support/loggerrecording.h"
#include "support/runprogram.h"
#include "support/tempdir.h"

namespace {

using test::CanFrameRecord;
using test::RecordingInfo;

/// A head that records the calls and answers as configured.
struct RecordingStage {
  cRecordHandler_t handler;
  std::vector<std::string> outputs;  // OutputPath of each new-file
  std::vector<uint8_t> continuations;
  int records = 0;
  int end_files = 0;
  bool accept_new_file = true;
  bool accept_end_file = true;
};

RecordingStage* Self(cRecordHandler_t* handler) { return reinterpret_cast<RecordingStage*>(handler); }

bool StageRecord(cRecordHandler_t* handler, cBusMsgHelper_t*) {
  ++Self(handler)->records;
  return true;
}
bool StageNewFile(cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
  Self(handler)->outputs.emplace_back(cStrData(&info->OutputPath));
  Self(handler)->continuations.push_back(continuation);
  return Self(handler)->accept_new_file;
}
bool StageEndFile(cRecordHandler_t* handler, const cFileInfo_t*) {
  ++Self(handler)->end_files;
  return Self(handler)->accept_end_file;
}
const cRecordHandlerOps_t kStageOps = {StageRecord, StageNewFile, StageEndFile};

std::string Recording(const RecordingInfo& info = {}, size_t frames = 3) {
  std::vector<CanFrameRecord> can;
  for (size_t i = 0; i < frames; ++i) {
    CanFrameRecord frame{};
    frame.time_us = 1000 * (i + 1);
    frame.channel = 1;
    frame.id = 0x100 + static_cast<uint32_t>(i);
    frame.dlc = 2;
    frame.data = {static_cast<uint8_t>(i), 0xAA};
    can.push_back(frame);
  }
  const std::vector<uint8_t> bytes = test::LoggerRecording(info, can, {});
  return {bytes.begin(), bytes.end()};
}

class WalkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stage_.handler.ops = &kStageOps;
    stage_.handler.next = nullptr;
    fs_ = nativeFsNew(cStrViewOf(dir_.Path().c_str()));
    ASSERT_NE(fs_, nullptr);
  }
  void TearDown() override {
    walkerFree(walker_);
    fsFree(fs_);
    passwordStoreRelease(&settings_.passwords);
  }

  cWalker_t* Walker() {
    if (walker_ == nullptr) walker_ = walkerNew(fs_, fs_, 1, &settings_, &stage_.handler);
    return walker_;
  }
  int Convert(const std::vector<std::string>& inputs) {
    cVec_t<cStr_t> paths{};
    for (const std::string& input : inputs) {
      cStr_t path{};
      cStrInit(&path, cStrViewOf(input.c_str()));
      vecPush(&paths, path);
    }
    const int result = convertInputs(Walker(), &paths);
    vecRelease(
        &paths, +[](cStr_t* s) { cStrRelease(s); });
    return result;
  }

  test::TempDir dir_;
  cFileSystem_t* fs_ = nullptr;
  cSettings_t settings_{0, 0, 0, -1, {}};
  RecordingStage stage_{};
  cWalker_t* walker_ = nullptr;
};

TEST(WalkerRules, LogFilesAreTheFourExtensionsInAnyCase) {
  struct Case {
    std::string path;
    bool log;
  };
  const std::vector<Case> cases = {
      {"a.mf4", true},       {"a.MF4", true},    {"b/c.MfC", true},     {"x.mfe", true},    {"x.mfm", true},
      {"mf4", true},         {"logs/MFE", true}, {"a.mf4.txt", false},  {"a.txt", false},   {"a.mf", false},
      {"d.mf4/file", false}, {"", false},        {"a.\xFF\xFE", false}, {"\xC3.mf4", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(isLogFile({c.path.data(), static_cast<int64_t>(c.path.size())}), c.log) << c.path;
}

TEST(WalkerRules, ContinuationNeedsTheSameSerialAndTheNextSplitOrSession) {
  struct Case {
    const char* previous_serial;
    uint32_t previous_session, previous_split;
    const char* serial;
    uint32_t session, split;
    bool continues;
  };
  const std::vector<Case> cases = {
      {"", 1, 1, "", 1, 1, false},            // the first file never continues
      {"A", 5, 3, "A", 5, 3, true},           // a repeated file
      {"A", 5, 3, "A", 5, 4, true},           // the next split
      {"A", 5, 3, "A", 5, 5, false},          // a split skipped
      {"A", 5, 3, "B", 5, 4, false},          // another device
      {"A", 5, 0x100, "A", 6, 0x101, true},   // next session after a split with low byte 0
      {"A", 5, 3, "A", 6, 4, false},          // next session, low byte not 0
      {"A", 5, 0x100, "A", 6, 0x100, false},  // next session needs the next split too
      {"A", 5, 0x100, "A", 7, 0x101, false},
      {"A", 5, 0xFFFFFFFF, "A", 5, 0, true},  // the split's successor wraps in 32 bits
  };
  for (const Case& c : cases) {
    cFileInfo_t previous{};
    cFileInfo_t info{};
    cStrInit(&previous.SerialNumber, cStrViewOf(c.previous_serial));
    cStrInit(&info.SerialNumber, cStrViewOf(c.serial));
    previous.Session = c.previous_session;
    previous.Split = c.previous_split;
    info.Session = c.session;
    info.Split = c.split;
    EXPECT_EQ(fileContinues(&previous, &info), c.continues)
        << c.previous_serial << " " << c.previous_session << "/" << c.previous_split << " -> " << c.serial << " "
        << c.session << "/" << c.split;
    fileInfoRelease(&previous);
    fileInfoRelease(&info);
  }
}

TEST_F(WalkerTest, OutputsMirrorTheInputTree) {
  dir_.MakeDir("logs/a/b");
  dir_.Write("top.MF4", Recording());
  dir_.Write("logs/a/f.mf4", Recording());
  dir_.Write("logs/a/b/g.mfm", Recording());
  dir_.Write("logs/a/notes.txt", "not a recording");
  dir_.Write("logs/mf4", Recording());  // a name that is its own extension
  EXPECT_EQ(Convert({"top.MF4", "logs/"}), kExitSuccess);
  const std::vector<std::string> expected = {"top", "logs_out/a/b/g", "logs_out/a/f", "logs_out/"};
  EXPECT_EQ(stage_.outputs, expected);
  EXPECT_EQ(stage_.records, 4 * 3);
  EXPECT_EQ(stage_.end_files, 4);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.Path("logs_out/a/b")));
}

TEST_F(WalkerTest, WithoutAppendedRootFoldersKeepTheirNames) {
  settings_.no_append_root = 1;
  dir_.MakeDir("logs");
  dir_.Write("logs/f.mf4", Recording());
  dir_.Write("logs/mf4", Recording());
  EXPECT_EQ(Convert({"logs"}), kExitSuccess);
  const std::vector<std::string> expected = {"logs/f", "logs/"};  // "f.mf4" sorts before "mf4"
  EXPECT_EQ(stage_.outputs, expected);
}

TEST_F(WalkerTest, TwoInputsOfOneOutputNeverShareIt) {
  dir_.Write("a.mf4", Recording());
  dir_.Write("a.MF4", Recording());
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert({"a.MF4", "a.mf4"}), kExitFileFailed);
  const std::vector<std::string> lines = log.Messages();
  ASSERT_EQ(stage_.outputs.size(), 1u);
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0], "E Output a_out.MF4 of a.mf4 was written for a.MF4 already");
}

TEST_F(WalkerTest, TheWalkSkipsTheOutputFolderInsideItsInput) {
  dir_.MakeDir("logs/out/logs_out/a");
  dir_.Write("logs/x.mf4", Recording());
  dir_.Write("logs/out/logs_out/a/x_out.MF4", Recording());  // an earlier run's output
  RecordingInfo next;
  next.split = 2;
  dir_.Write("logs/out/y.mf4", Recording(next));  // an input that only lies there
  cFileSystem_t* output_fs = nativeFsNew(cStrViewOf(dir_.Path("logs/out/").c_str()));
  ASSERT_NE(output_fs, nullptr);
  walker_ = walkerNew(fs_, output_fs, 1, &settings_, &stage_.handler);
  {
    test::ConsoleLog log(kLogInfo);
    EXPECT_EQ(Convert({"logs/"}), kExitSuccess);
    const std::vector<std::string> lines = log.Messages();
    const std::vector<std::string> expected = {"I Skipping logs/out/logs_out: it holds the outputs of logs/"};
    EXPECT_EQ(lines, expected);
  }
  const std::vector<std::string> outputs = {"logs_out/out/y", "logs_out/x"};
  EXPECT_EQ(stage_.outputs, outputs);
  walkerFree(walker_);
  walker_ = nullptr;
  fsFree(output_fs);
}

TEST_F(WalkerTest, AnInputGoneBeforeItsRemovalFailsTheFile) {
  // Another run converted and removed it meanwhile: nothing is lost, but this run did not
  // finish it.
  settings_.delete_converted = 1;
  dir_.Write("a.mf4", Recording());
  static std::string input;
  input = dir_.Path("a.mf4");
  static const cRecordHandlerOps_t kRemovingOps = {
      StageRecord,
      [](cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
        std::filesystem::remove(input);
        return StageNewFile(handler, info, continuation);
      },
      StageEndFile};
  stage_.handler.ops = &kRemovingOps;
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert({"a.mf4"}), kExitFileFailed);
  const std::vector<std::string> lines = log.Messages();
  const std::vector<std::string> expected = {
      "E Could not remove input file after conversion: a.mf4: No such file or directory",
      "E Error during conversion of a.mf4"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(stage_.records, 3);
}

TEST_F(WalkerTest, AnInputChangedDuringItsConversionIsKept) {
  // Written to (a logger or a copy still at work) or replaced by another file: what the
  // output holds is not all the file now holds.
  settings_.delete_converted = 1;
  static std::string input;
  input = dir_.Path("a.mf4");
  static const cRecordHandlerOps_t kAppendingOps = {
      StageRecord,
      [](cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
        std::ofstream(input, std::ios::binary | std::ios::app) << "more";
        return StageNewFile(handler, info, continuation);
      },
      StageEndFile};
  static const cRecordHandlerOps_t kReplacingOps = {
      StageRecord,
      [](cRecordHandler_t* handler, const cFileInfo_t* info, uint8_t continuation) {
        const std::string other = input + ".new";
        std::ofstream(other, std::ios::binary) << Recording({}, 5);
        std::filesystem::rename(other, input);
        return StageNewFile(handler, info, continuation);
      },
      StageEndFile};
  for (const cRecordHandlerOps_t* ops : {&kAppendingOps, &kReplacingOps}) {
    dir_.Write("a.mf4", Recording());
    stage_.handler.ops = ops;
    walkerFree(walker_);  // a run of its own: one output per run
    walker_ = nullptr;
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert({"a.mf4"}), kExitFileFailed);
    const std::vector<std::string> expected = {"E Input file a.mf4 changed during its conversion and is kept",
                                               "E Error during conversion of a.mf4"};
    EXPECT_EQ(log.Messages(), expected);
    EXPECT_TRUE(std::filesystem::exists(input));
  }
  // Unchanged, it goes.
  dir_.Write("a.mf4", Recording());
  stage_.handler.ops = &kStageOps;
  walkerFree(walker_);
  walker_ = nullptr;
  EXPECT_EQ(Convert({"a.mf4"}), kExitSuccess);
  EXPECT_FALSE(std::filesystem::exists(input));
}

TEST_F(WalkerTest, ContainerAndHeaderFailuresGiveTheirBits) {
  RecordingInfo no_serial;
  no_serial.serial = "";
  RecordingInfo session_zero;
  session_zero.session = 0;
  const std::string plain = Recording();
  std::string bad_crc = test::CompressedContainer(plain);
  bad_crc.back() = static_cast<char>(bad_crc.back() ^ 1);
  test::EncryptionParameters other_device;
  other_device.device_id = 0x0000ABCD;
  std::string unknown_kind = test::CompressedContainer(plain);
  unknown_kind[14] = 0x33;
  parsePasswords(cStrViewOf("\"1234ABCD\": \"secret\"\n"), &settings_.passwords);

  struct Case {
    std::string name;
    std::string content;
    int result;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"plain.mf4", plain, kExitSuccess, {}},
      {"zipped.mfc", test::CompressedContainer(plain), kExitSuccess, {"I Found compressed file"}},
      {"locked.mfe", test::EncryptedContainer(plain), kExitSuccess, {"I Found encrypted file"}},
      {"nested.mfe",
       test::EncryptedContainer(test::CompressedContainer(plain)),
       kExitSuccess,
       {"I Found encrypted file", "I Found compressed file"}},
      {"crc.mfc", bad_crc, kExitDecompression, {"I Found compressed file"}},
      {"nokey.mfe",
       test::EncryptedContainer(plain, other_device),
       kExitNoPassword,
       {"I Found encrypted file", "E No password found for device 0000ABCD"}},
      {"kind.mfc", unknown_kind, kExitFileFailed, {}},
      {"text.mf4", "this is no MDF file at all, just text", kExitFileFailed, {"E Could not open MDF"}},
      {"prose.mf4",
       "no MDF file either, but text long enough to hold an identification block",
       kExitFileFailed,
       {"E Could not open MDF"}},
      {"serial.mf4", Recording(no_serial), kExitFileFailed, {"E Could not parse file header"}},
      {"session.mf4", Recording(session_zero), kExitFileFailed, {"E Could not parse file header"}},
  };
  for (const Case& c : cases) {
    dir_.Write(c.name, c.content);
    std::vector<std::string> lines;
    int result = 0;
    {
      test::ConsoleLog log(kLogInfo);
      result = convertFile(Walker(), cStrViewOf(c.name.c_str()), cStrViewOf(c.name.c_str()));
      lines = log.Messages();
    }
    EXPECT_EQ(result, c.result) << c.name;
    // The container decoder's own error lines come between; only the walker's are compared.
    std::vector<std::string> own;
    for (const std::string& line : lines) {
      if (std::find(c.lines.begin(), c.lines.end(), line) != c.lines.end()) own.push_back(line);
    }
    EXPECT_EQ(own, c.lines) << c.name;
    if (c.name == "prose.mf4") {
      // The library's line names the file it refused, as the walk names it.
      const bool named = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        const std::string tail = " This is not and MDF file. File: prose.mf4";
        return line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
      });
      EXPECT_TRUE(named) << ::testing::PrintToString(lines);
    }
    if (c.result == kExitSuccess) {
      EXPECT_EQ(walker_->previous.Split, 1u) << c.name;
    }
  }
  EXPECT_EQ(stage_.outputs.size(), 4u);
}

TEST_F(WalkerTest, ContainersNestedDeeperThanTheBoundAreADecompressionFailure) {
  std::string file = Recording();
  for (int layer = 0; layer < kMaxContainerLayers + 1; ++layer) file = test::CompressedContainer(file);
  dir_.Write("deep.mfc", file);
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("deep.mfc"), cStrViewOf("deep")), kExitDecompression);
  EXPECT_TRUE(stage_.outputs.empty());
}

TEST_F(WalkerTest, TheDefaultPasswordStandsInForAMissingDevice) {
  parsePasswords(cStrViewOf("\"default\": \"secret\"\n"), &settings_.passwords);
  dir_.Write("a.mfe", test::EncryptedContainer(Recording()));
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("a.mfe"), cStrViewOf("a")), kExitSuccess);
  parsePasswords(cStrViewOf("\"1234ABCD\": \"wrong\"\n"), &settings_.passwords);  // the device's own key comes first
  dir_.Write("b.mfe", test::EncryptedContainer(Recording()));
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("b.mfe"), cStrViewOf("b")), kExitNoPassword);
  const std::vector<std::string> lines = log.Messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E Could not decrypt file"), lines.end());
}

TEST_F(WalkerTest, FailingStagesFailTheFileAndKeepTheInput) {
  settings_.delete_converted = 1;
  dir_.Write("a.mf4", Recording());
  stage_.accept_new_file = false;
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("a.mf4"), cStrViewOf("a")), kExitFileFailed);
  stage_.accept_new_file = true;
  stage_.accept_end_file = false;
  dir_.Write("b.mf4", Recording());
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("b.mf4"), cStrViewOf("b")), kExitFileFailed);
  const std::vector<std::string> lines = log.Messages();
  const std::vector<std::string> expected = {"E Error on new file", "E Error during end file callback"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(stage_.end_files, 2);  // end-file follows a refused new-file too
  EXPECT_EQ(stage_.records, 3);
  EXPECT_TRUE(std::filesystem::exists(dir_.Path("a.mf4")));
  EXPECT_TRUE(std::filesystem::exists(dir_.Path("b.mf4")));
  stage_.accept_end_file = true;
  dir_.Write("c.mf4", Recording());
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("c.mf4"), cStrViewOf("c")), kExitSuccess);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("c.mf4")));
}

// A file whose reading met damage fails once its chain ran: its frames went down the chain,
// one line names the file and its first damage, and the input stays. The next file is clean.
TEST_F(WalkerTest, DamageFailsTheFileAfterTheChainAndKeepsTheInput) {
  settings_.delete_converted = 1;
  std::string damaged = Recording();
  const auto load = [&damaged](size_t at) {
    uint64_t value = 0;
    std::memcpy(&value, damaged.data() + at, sizeof value);
    return value;
  };
  const uint64_t group = load(load(64 + 24) + 24 + 8);  // the header's data group, its first group
  damaged[group + 24 + 6 * 8 + 8] = 4;                  // one record more than the data hold
  dir_.Write("d.mf4", damaged);
  dir_.Write("e.mf4", Recording());
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("d.mf4"), cStrViewOf("d")), kExitFileFailed);
  EXPECT_EQ(stage_.records, 3);
  EXPECT_EQ(stage_.end_files, 1);
  EXPECT_TRUE(std::filesystem::exists(dir_.Path("d.mf4")));
  const std::string line =
      "E Damaged input file d.mf4: Records differ from the cycle count. Group: CAN_DataFrame, Record ID: 1, "
      "Cycle count: 4, Records: 3";
  const std::vector<std::string> lines = log.Messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << ::testing::PrintToString(lines);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("E Damaged input file", 0) == 0; }),
            1);
  EXPECT_EQ(convertFile(Walker(), cStrViewOf("e.mf4"), cStrViewOf("e")), kExitSuccess);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("e.mf4")));
}

TEST_F(WalkerTest, RepeatsAreReportedAndContinuationsPassedOn) {
  RecordingInfo next = {};
  next.split = 2;
  dir_.Write("1.mf4", Recording());
  dir_.Write("2.mf4", Recording());
  dir_.Write("3.mf4", Recording(next));
  test::ConsoleLog log(kLogWarning);
  EXPECT_EQ(Convert({"1.mf4", "2.mf4", "3.mf4"}), kExitSuccess);
  const std::vector<std::string> lines = log.Messages();
  const std::vector<std::string> expected = {"W Repeated input file (0000ABCD, 00000001, 00000001)"};
  EXPECT_EQ(lines, expected);
  const std::vector<uint8_t> continuations = {0, 1, 1};
  EXPECT_EQ(stage_.continuations, continuations);
}

TEST_F(WalkerTest, MissingAndUnqueryableInputs) {
  dir_.Write("a.mf4", Recording());
  std::filesystem::create_symlink("loop", dir_.Path("loop"));
  {
    test::ConsoleLog log(kLogWarning);
    EXPECT_EQ(Convert({"a.mf4", "gone.mf4"}), kExitInputMissing);
    const std::vector<std::string> lines = log.Messages();
    const std::vector<std::string> expected = {"E Could not find input file/folder gone.mf4"};
    EXPECT_EQ(lines, expected);
  }
  {
    test::ConsoleLog log(kLogWarning);
    EXPECT_EQ(Convert({"gone.mf4", "loop", "a.mf4"}), kExitStart);  // earlier bits dropped, a.mf4 never reached
    const std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "F Could not query loop for information");
  }
  EXPECT_EQ(stage_.outputs.size(), 1u);
}

// Folders nested so deep that a child's path passes PATH_MAX while its parent's does not:
// the child's stat fails with ENAMETOOLONG. Made and removed through directory descriptors,
// since the whole paths are too long for the path-based calls.
class DeepFolder {
 public:
  static constexpr int kLevels = 16;
  static constexpr size_t kNameLength = 250;

  explicit DeepFolder(const std::string& base) : base_(base) {
    int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < kLevels && fd >= 0; ++level) {
      mkdirat(fd, Name().c_str(), 0777);
      const int next = openat(fd, Name().c_str(), O_RDONLY | O_DIRECTORY);
      fds_.push_back(fd);
      fd = next;
    }
    deepest_ = fd;
  }
  ~DeepFolder() {
    if (deepest_ >= 0) close(deepest_);
    for (size_t i = fds_.size(); i > 0; --i) {
      const int fd = fds_[i - 1];
      RemoveAllAt(openat(fd, Name().c_str(), O_RDONLY | O_DIRECTORY));
      unlinkat(fd, Name().c_str(), AT_REMOVEDIR);
      close(fd);
    }
  }
  /// Writes a file into the deepest folder.
  void Write(const std::string& name, const std::string& content) const {
    const int fd = openat(deepest_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::write(fd, content.data(), content.size());
      close(fd);
    }
  }
  /// The deepest folder's path relative to the base.
  [[nodiscard]] std::string Relative() const {
    std::string path;
    for (int level = 0; level < kLevels; ++level) path += Name() + "/";
    return path;
  }
  static std::string Name() { return std::string(kNameLength, 'd'); }

 private:
  // Removes the files of a folder (its subfolders are removed level by level above).
  static void RemoveAllAt(int fd) {
    if (fd < 0) return;
    if (DIR* dir = fdopendir(fd)) {
      while (dirent* entry = readdir(dir)) {
        if (entry->d_type == DT_REG) unlinkat(fd, entry->d_name, 0);
      }
      closedir(dir);
    }
  }
  std::string base_;
  std::vector<int> fds_;
  int deepest_ = -1;
};

TEST_F(WalkerTest, AStatFailureInsideAFolderFailsThatEntryAndTheWalkGoesOn) {
  const DeepFolder deep(dir_.Path());
  const std::string name(200, 'f');
  const std::string relative = deep.Relative();
  ASSERT_LT(dir_.Path().size() + relative.size(), static_cast<size_t>(PATH_MAX));
  ASSERT_GE(dir_.Path().size() + relative.size() + name.size() + 4, static_cast<size_t>(PATH_MAX));
  deep.Write("a.mf4", Recording());
  deep.Write(name + ".mf4", Recording());  // its path is too long to be stat'ed
  deep.Write("z.mf4", Recording());
  settings_.no_append_root = 1;
  test::ConsoleLog log(kLogFatal);
  EXPECT_EQ(Convert({relative}), kExitStart);
  const std::vector<std::string> lines = log.Messages();
  ASSERT_EQ(lines.size(), 1u);
  // The line is cut at the logger's limit; its start names the folder.
  EXPECT_EQ(lines[0].rfind("F Error during stat of " + relative.substr(0, 100), 0), 0u) << lines[0];
  const std::vector<std::string> expected = {relative + "a", relative + "z"};
  EXPECT_EQ(stage_.outputs, expected);
}

TEST_F(WalkerTest, LinksInsideAFolderAreFilesOrLeftOut) {
  dir_.MakeDir("logs");
  dir_.Write("logs/b.mf4", Recording());
  std::filesystem::create_symlink("b.mf4", dir_.Path("logs/a.mf4"));           // converted as the file it names
  std::filesystem::create_symlink("loop.mf4", dir_.Path("logs/loop.mf4"));     // cannot be followed: left out
  std::filesystem::create_directory_symlink(".", dir_.Path("logs/self.mf4"));  // never followed
  test::ConsoleLog log(kLogInfo);
  EXPECT_EQ(Convert({"logs"}), kExitSuccess);
  // The link and its target are one file, converted once.
  const std::vector<std::string> expected = {"logs_out/a"};
  EXPECT_EQ(stage_.outputs, expected);
  const std::vector<std::string> lines = {
      "I Skipping logs/b.mf4: it is the same file as logs/a.mf4, met earlier in this run"};
  EXPECT_EQ(log.Messages(), lines);
}

// The native kind with hooks: a step another process takes just before the walk's own.
std::string g_root;
void (*g_before_input_moves)() = nullptr;  // before the input's first move or removal
void (*g_after_input_moves)() = nullptr;   // once the input was moved away from its name
std::string g_input;                       // full path
std::string g_spoofed;                     // full path of a file that reports g_taken's identity
std::string g_taken;
int g_mkdir_error = 0;
bool g_fold_case = false;       // names found whatever their case, as on FAT, exFAT and NTFS
bool g_rename_retimes = false;  // a rename writes the current time, as fusefat does
int g_move_aside_error = 0;     // the move of the input aside fails with it
int g_move_back_error = 0;      // the move back under the input's name fails with it
int g_conflict_error = 0;       // a move to a visible ".conflict-" name fails with it
// As exFAT and FAT through FUSE: no lease tells of a writer, and the input's times (also at its
// private name) stay what they were when the run began, whatever is written.
bool g_times_frozen = false;
cFileStat_t g_frozen{};
cFileStat_t g_identity{};  // with an inode: the identity g_spoofed reports once, in place of g_taken's

/// The entry of the path's folder whose name equals the path's name but for ASCII case, or "".
std::string FoldedCase(const std::string& path) {
  const std::filesystem::path wanted(path);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(wanted.parent_path(), error)) {
    const std::string name = entry.path().filename().string();
    const std::string want = wanted.filename().string();
    if (name.size() == want.size() && std::equal(name.begin(), name.end(), want.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      return entry.path().string();
    }
  }
  return "";
}

void BeforeInputMoves(const char* path) {
  if (g_before_input_moves != nullptr && path == g_input) std::exchange(g_before_input_moves, nullptr)();
}
/// Whether the path is the input's or its private name's.
bool IsInputOrAside(const std::string& path) {
  return path == g_input || (!g_input.empty() && test::IsAsideName(std::filesystem::path(path).filename().string()));
}
bool HookedRenameNoReplace(cFileSystem_t* fs, const char* from, const char* to) {
  BeforeInputMoves(from);
  const bool from_aside = test::IsAsideName(std::filesystem::path(from).filename().string());
  const int injected = from == g_input                                          ? g_move_aside_error
                       : from_aside && to == g_input                            ? g_move_back_error
                       : from_aside && std::strstr(to, ".conflict-") != nullptr ? g_conflict_error
                                                                                : 0;
  if (injected != 0) {
    errno = injected;
    return false;
  }
  const bool moved = nativeFsRenameNoReplace(fs, from, to);
  if (moved && g_rename_retimes) ::utimensat(AT_FDCWD, to, nullptr, 0);
  if (moved && from == g_input && g_after_input_moves != nullptr) std::exchange(g_after_input_moves, nullptr)();
  return moved;
}
bool HookedRemove(cFileSystem_t* fs, const char* path) {
  BeforeInputMoves(path);
  return nativeFsRemove(fs, path);
}
bool HookedStat(cFileSystem_t* fs, const char* path, cFileStat_t* out) {
  if (!nativeFsStat(fs, path, out)) return false;
  if (const std::string folded = g_fold_case && out->kind == kFileKindMissing ? FoldedCase(path) : "";
      !folded.empty()) {
    return nativeFsStat(fs, folded.c_str(), out);
  }
  cFileStat_t taken{};
  // A file that took over the inode number of one removed meanwhile.
  if (path == g_spoofed && g_identity.inode != 0) {  // once: as the walk meets the file
    out->device = g_identity.device;
    out->inode = g_identity.inode;
    g_spoofed.clear();
  } else if (path == g_spoofed && nativeFsStat(fs, g_taken.c_str(), &taken) && taken.kind == kFileKindRegular) {
    out->device = taken.device;
    out->inode = taken.inode;
  }
  if (g_times_frozen && out->kind == kFileKindRegular && IsInputOrAside(path)) {
    out->modified_ns = g_frozen.modified_ns;
    out->changed_ns = g_frozen.changed_ns;
  }
  return true;
}
int HookedInUse(cFileSystem_t* fs, const char* path, cFileStat_t* held, cFsLease_t* lease) {
  return g_times_frozen ? kFsUseUnknown : nativeFsInUse(fs, path, held, lease);
}
bool HookedMkdir(cFileSystem_t* fs, const char* path) {
  if (g_mkdir_error == 0) return nativeFsMkdir(fs, path);
  errno = g_mkdir_error;
  return false;
}

class HookedWalkerTest : public WalkerTest {
 protected:
  void SetUp() override {
    WalkerTest::SetUp();
    ops_ = *fs_->ops;
    ops_.rename_no_replace = HookedRenameNoReplace;
    ops_.remove = HookedRemove;
    ops_.stat = HookedStat;
    ops_.make_directory = HookedMkdir;
    ops_.in_use = HookedInUse;
    fs_->ops = &ops_;
    g_root = dir_.Path();
    g_before_input_moves = nullptr;
    g_after_input_moves = nullptr;
    g_input = g_spoofed = g_taken = "";
    g_mkdir_error = 0;
    g_fold_case = g_rename_retimes = g_times_frozen = false;
    g_move_aside_error = g_move_back_error = g_conflict_error = 0;
    g_frozen = g_identity = cFileStat_t{};
  }
  /// The hidden names the walk moved inputs to, left in the folder.
  std::vector<std::string> Aside() const { return Named(test::IsAsideName); }
  /// The visible names of files whose way back was taken.
  std::vector<std::string> Conflicts() const {
    return Named([](const std::string& name) { return name.find(".conflict-") != std::string::npos; });
  }
  std::vector<std::string> Named(bool (*wanted)(const std::string&)) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Dir())) {
      const std::string name = entry.path().filename().string();
      if (wanted(name)) names.push_back(name);
    }
    return names;
  }
  cFileSystemOps_t ops_{};
};

/// `text` with the digits of each visible ".conflict-" name in it replaced by '*'.
std::string MaskConflictDigits(std::string text) {
  const std::string tag = ".conflict-";
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
    size_t end = at + tag.size();
    while (end < text.size() && test::IsHexDigit(text[end])) ++end;
    text.replace(at + tag.size(), end - at - tag.size(), "*");
  }
  return text;
}

TEST_F(HookedWalkerTest, AFileRenamedOverTheInputAtTheLastMomentIsKept) {
  // An uploader moves the complete recording over the partial one the run just converted.
  // Where the way back is taken, the file goes to a visible name that a later run converts.
  settings_.delete_converted = 1;
  struct Case {
    const char* name;
    void (*after)();  // once the walk moved the file at the input's name aside
    int move_back_error;
    int conflict_error;
    std::vector<std::string> lines;
    const char* left;  // where the complete recording is then: "input", "conflict" or "aside"
  };
  const auto take_name = [] { std::ofstream(g_input, std::ios::binary) << "a third file"; };
  const std::vector<Case> cases = {
      {"moved back", nullptr, 0, 0, {"E Input file a.mf4 changed during its conversion and is kept"}, "input"},
      {"its name taken again",
       take_name,
       0,
       0,
       {"E Input file a.mf4 changed during its conversion and is kept",
        "E Could not move input file a.mf4 back: it is now a.conflict-*.mf4: File exists"},
       "conflict"},
      {"its folder's lock held too long",
       nullptr,
       EWOULDBLOCK,
       0,
       {"E Input file a.mf4 changed during its conversion and is kept",
        "E Could not move input file a.mf4 back: it is now a.conflict-*.mf4: Resource temporarily unavailable"},
       "conflict"},
      {"no visible name to be had either",
       take_name,
       0,
       EWOULDBLOCK,
       {"E Input file a.mf4 changed during its conversion and is kept",
        "E Could not move input file a.mf4 back: it is now .~*: File exists"},
       "aside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    walkerFree(walker_);
    walker_ = nullptr;
    for (const std::string& name : Aside()) std::filesystem::remove(dir_.Path(name));
    for (const std::string& name : Conflicts()) std::filesystem::remove(dir_.Path(name));
    const std::string complete = Recording({}, 5);
    dir_.Write("a.mf4", Recording());
    dir_.Write("complete.mf4", complete);
    g_input = dir_.Path("a.mf4");
    g_before_input_moves = [] { std::filesystem::rename(g_root + "complete.mf4", g_input); };
    g_after_input_moves = c.after;
    g_move_back_error = c.move_back_error;
    g_conflict_error = c.conflict_error;
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert({"a.mf4"}), kExitFileFailed);
    std::vector<std::string> lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    lines.pop_back();  // "Error during conversion of a.mf4"
    for (std::string& line : lines) line = MaskConflictDigits(test::MaskAsideDigits(line));
    EXPECT_EQ(lines, c.lines);
    const std::vector<std::string> aside = Aside();
    const std::vector<std::string> conflicts = Conflicts();
    const std::string left = c.left;
    EXPECT_EQ(aside.size(), left == "aside" ? 1u : 0u);
    ASSERT_EQ(conflicts.size(), left == "conflict" ? 1u : 0u);
    if (left == "input") {
      EXPECT_EQ(test::ReadWholeFile(g_input), complete);
    } else if (left == "aside") {
      EXPECT_EQ(test::ReadWholeFile(dir_.Path(aside[0])), complete);
    }
    if (left != "conflict") continue;
    EXPECT_EQ(test::ReadWholeFile(dir_.Path(conflicts[0])), complete);
    if (c.after != nullptr) {
      EXPECT_EQ(test::ReadWholeFile(g_input), "a third file");
    } else {
      EXPECT_FALSE(std::filesystem::exists(g_input));
    }
    // A later run converts it.
    g_move_back_error = g_conflict_error = 0;
    walkerFree(walker_);
    walker_ = nullptr;
    stage_.outputs.clear();
    EXPECT_EQ(Convert({conflicts[0]}), kExitSuccess);
    const std::string stem = conflicts[0].substr(0, conflicts[0].size() - 4);
    EXPECT_EQ(stage_.outputs, std::vector<std::string>{stem});
    EXPECT_TRUE(Conflicts().empty());
  }
}

TEST_F(HookedWalkerTest, AVisibleNameFitsWhereTheInputsNameFitsAndIsALogFile) {
  // The longest name whose output fits keeps its output fitting, cut between characters; a
  // dotless name is its own extension.
  settings_.delete_converted = 1;
  std::string long_stem;
  for (int i = 0; i < 123; ++i) long_stem += "\xC3\xA9";  // e acute: two bytes each
  long_stem += "x";                                       // 247 bytes: "_out.MF4" makes 255
  struct Case {
    std::string input;
    std::string prefix;  // of the visible name, before its digits
    std::string suffix;
  };
  const std::vector<Case> cases = {
      {long_stem + ".mf4", long_stem.substr(0, 228) + ".conflict-", ".mf4"},
      {"MF4", "MF4.conflict-", ".MF4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    walkerFree(walker_);
    walker_ = nullptr;
    const std::string complete = Recording({}, 5);
    g_input = dir_.Write(c.input, Recording());
    dir_.Write("complete.mf4", complete);
    g_before_input_moves = [] { std::filesystem::rename(g_root + "complete.mf4", g_input); };
    g_move_back_error = EWOULDBLOCK;
    EXPECT_EQ(Convert({c.input}), kExitFileFailed);
    const std::vector<std::string> conflicts = Conflicts();
    ASSERT_EQ(conflicts.size(), 1u);
    const std::string& name = conflicts[0];
    EXPECT_LE(name.size(), std::max<size_t>(c.input.size(), 240));
    EXPECT_EQ(name.compare(0, c.prefix.size(), c.prefix), 0) << name;
    EXPECT_EQ(name.size(), c.prefix.size() + 8 + c.suffix.size()) << name;
    EXPECT_EQ(name.compare(name.size() - c.suffix.size(), c.suffix.size(), c.suffix), 0) << name;
    EXPECT_EQ(test::ReadWholeFile(dir_.Path(name)), complete);
    // Converted by a later run, its output's name fitting too.
    g_move_back_error = 0;
    walkerFree(walker_);
    walker_ = nullptr;
    EXPECT_EQ(Convert({name}), kExitSuccess);
    EXPECT_TRUE(Conflicts().empty());
  }
}

TEST_F(HookedWalkerTest, AFileOnTheInodeNumberOfARemovedOutputIsConverted) {
  // The stage writes each output, so that the run publishes it.
  static const cRecordHandlerOps_t kWritingOps = {
      StageRecord, StageNewFile, [](cRecordHandler_t* handler, const cFileInfo_t* info) {
        std::ofstream(g_root + cStrData(&info->OutputPath) + "_out.MF4", std::ios::binary) << "output";
        return StageEndFile(handler, info);
      }};
  stage_.handler.ops = &kWritingOps;
  RecordingInfo next;
  next.split = 2;
  dir_.Write("a.mf4", Recording());
  dir_.Write("b.mf4", Recording(next));
  // As if a shipper took a_out.MF4 away and the new recording b.mf4 got its inode number.
  g_spoofed = dir_.Path("b.mf4");
  g_taken = dir_.Path("a_out.MF4");
  test::ConsoleLog log(kLogInfo);
  EXPECT_EQ(Convert({"a.mf4", "b.mf4", "a_out.MF4"}), kExitSuccess);
  EXPECT_EQ(stage_.outputs, (std::vector<std::string>{"a", "b"}));
  // The output itself is still known, whatever path reaches it.
  const std::vector<std::string> lines = {"I Skipping a_out.MF4: it is the output of a.mf4"};
  EXPECT_EQ(log.Messages(), lines);
}

TEST_F(HookedWalkerTest, AnotherFileOnTheInodeNumberOfARemovedInputIsConverted) {
  // ext4 gives a new upload the inode number of an input the run removed; same size and
  // modification time (a copy that keeps times, a logger without a clock), other bytes.
  settings_.delete_converted = 1;
  RecordingInfo next;
  next.split = 2;
  const std::string first = Recording();
  const std::string second = Recording(next);
  ASSERT_EQ(first.size(), second.size());
  dir_.MakeDir("logs/a");
  dir_.MakeDir("logs/b");
  const std::string r1 = dir_.Write("logs/a/r1.mf4", first);
  const std::string r2 = dir_.Write("logs/b/r2.mf4", second);
  struct stat made {};
  ASSERT_EQ(::stat(r1.c_str(), &made), 0);
  // Made later than r1 as the file system's clock tells (its ticks may be coarse).
  struct stat later {};
  const struct timespec times[2] = {made.st_atim, made.st_mtim};
  do {
    std::filesystem::remove(r2);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    dir_.Write("logs/b/r2.mf4", second);
    ASSERT_EQ(::utimensat(AT_FDCWD, r2.c_str(), times, 0), 0);
    ASSERT_EQ(::stat(r2.c_str(), &later), 0);
  } while (later.st_ctim.tv_sec == made.st_ctim.tv_sec && later.st_ctim.tv_nsec == made.st_ctim.tv_nsec);
  ASSERT_TRUE(nativeFsStat(fs_, r1.c_str(), &g_identity));
  g_spoofed = r2;
  test::ConsoleLog log(kLogInfo);
  EXPECT_EQ(Convert({"logs"}), kExitSuccess);
  EXPECT_EQ(stage_.outputs, (std::vector<std::string>{"logs_out/a/r1", "logs_out/b/r2"}));
  EXPECT_EQ(log.Messages(), std::vector<std::string>{});
  EXPECT_FALSE(std::filesystem::exists(r2));
}

TEST_F(HookedWalkerTest, AnOutputFolderThatCannotBeMadeFailsItsFilesWithTheReason) {
  dir_.MakeDir("logs/a");
  dir_.Write("logs/a/f.mf4", Recording());
  g_mkdir_error = ENOSPC;  // a full disk, or a file system out of inodes
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert({"logs"}), kExitFileFailed);
  const std::vector<std::string> lines = {"E Could not make folder logs_out/a: No space left on device",
                                          "E Error during conversion of logs/a/f.mf4"};
  EXPECT_EQ(log.Messages(), lines);
  EXPECT_TRUE(stage_.outputs.empty());
}

TEST_F(WalkerTest, AnInputIsRemovedWhereverItsNameFits) {
  // The private name it is moved to first must fit too: in the folder (the longest name
  // whose output's name is legal) and in a path (the longest path, with a short name).
  settings_.delete_converted = 1;
  const size_t kNameMax = 255;
  const size_t kPathMax = 4095;  // without its terminating zero
  // "_out.MF4" adds 4 bytes to the name.
  const std::string longest_name = std::string(kNameMax - 4 - 4, 'n') + ".mf4";
  std::string deep;
  for (size_t left = kPathMax - dir_.Path().size() - 5; left > 0;) {
    const size_t part = left > 250 ? 200 : left - 1;  // every name a legal length
    deep += std::string(part, 'd') + "/";
    left -= part + 1;
  }
  for (const std::string& input : {longest_name, deep + "a.mf4"}) {
    SCOPED_TRACE(input.size());
    dir_.MakeDir(deep);
    dir_.Write(input, Recording());
    ASSERT_TRUE(std::filesystem::exists(dir_.Path(input)));
    walkerFree(walker_);
    walker_ = nullptr;
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert({input}), kExitSuccess);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(dir_.Path(input)));
  }
  EXPECT_EQ(stage_.outputs.size(), 2u);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Dir())) {
    EXPECT_FALSE(test::IsAsideName(entry.path().filename().string())) << entry.path();
  }
}

TEST_F(WalkerTest, AFileMetAgainIsNotConvertedAgain) {
  // Named twice, or reached through a link beside it: with "delete-converted" the second path
  // finds it removed (or a dangling link), which is no missing input.
  struct Case {
    const char* name;
    uint8_t deleting;
    std::vector<std::string> inputs;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"named twice",
       0,
       {"a.mf4", "a.mf4"},
       {"I Skipping a.mf4: it is the same file as a.mf4, met earlier in this run"}},
      {"named twice, deleting",
       1,
       {"a.mf4", "a.mf4"},
       {"I Skipping a.mf4: it is the same file as a.mf4, met earlier in this run"}},
      {"a link beside it, deleting",
       1,
       {"logs"},
       {"I Skipping logs/b.mf4: it is the same file as logs/a.mf4, met earlier in this run"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.Path("logs"));
    dir_.MakeDir("logs");
    dir_.Write("a.mf4", Recording());
    dir_.Write("logs/a.mf4", Recording());
    std::filesystem::create_symlink("a.mf4", dir_.Path("logs/b.mf4"));
    settings_.delete_converted = c.deleting;
    walkerFree(walker_);
    walker_ = nullptr;
    stage_.outputs.clear();
    test::ConsoleLog log(kLogInfo);
    EXPECT_EQ(Convert(c.inputs), kExitSuccess);
    EXPECT_EQ(log.Messages(), c.lines);
    EXPECT_EQ(stage_.outputs.size(), 1u);
  }
}

/// A stage that writes each output, so that the run publishes it.
const cRecordHandlerOps_t kWritingOps = {
    StageRecord, StageNewFile, [](cRecordHandler_t* handler, const cFileInfo_t* info) {
      std::ofstream(g_root + cStrData(&info->OutputPath) + "_out.MF4", std::ios::binary) << "output";
      return StageEndFile(handler, info);
    }};

TEST_F(HookedWalkerTest, AnOutputNameThatReachesAFileOfTheRunIsRefusedWhateverItsSpelling) {
  // FAT, exFAT and NTFS ignore case: there "a_out.MF4" is the file named "a_out.mf4".
  g_fold_case = true;
  settings_.no_append_root = 1;
  stage_.handler.ops = &kWritingOps;
  RecordingInfo next;
  next.split = 2;
  const std::string other = Recording(next);
  struct Case {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> lines;
    std::vector<std::string> outputs;
  };
  const std::vector<Case> cases = {
      {"a recording named like the output",
       {"a.mf4", "a_out.mf4"},
       {"E Output logs/a_out.MF4 of logs/a.mf4 would replace the input logs/a_out.mf4",
        "E Error during conversion of logs/a.mf4"},
       {"logs/a_out"}},
      {"two inputs whose outputs are one file",
       {"A.mfe", "a.mf4"},
       {"E Output logs/a_out.MF4 of logs/a.mf4 was written for logs/A.mfe already",
        "E Error during conversion of logs/a.mf4"},
       {"logs/A"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.Path("logs"));
    dir_.MakeDir("logs");
    dir_.Write("logs/" + c.files[0], Recording());
    dir_.Write("logs/" + c.files[1], other);
    walkerFree(walker_);
    walker_ = nullptr;
    stage_.outputs.clear();
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert({"logs"}), kExitFileFailed);
    EXPECT_EQ(log.Messages(), c.lines);
    EXPECT_EQ(stage_.outputs, c.outputs);
    EXPECT_EQ(test::ReadWholeFile(dir_.Path("logs/" + c.files[1])), other);
  }
}

TEST_F(HookedWalkerTest, AWriterWhoOpensTheInputAfterTheProbeKeepsIt) {
  settings_.delete_converted = 1;
  dir_.Write("a.mf4", Recording());
  cFileStat_t held{};
  if (fsInUse(fs_, cStrViewOf("a.mf4"), &held) != kFsNotInUse) GTEST_SKIP() << "file leases cannot be taken here";
  static int writer = -1;
  g_input = dir_.Path("a.mf4");
  // Between the probe and the removal; without blocking, as the lease would hold the open up.
  g_before_input_moves = [] { writer = ::open(g_input.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC); };
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert({"a.mf4"}), kExitFileFailed);
  const std::vector<std::string> lines = {"E Input file a.mf4 is still open for writing in another process and is kept",
                                          "E Error during conversion of a.mf4"};
  EXPECT_EQ(log.Messages(), lines);
  EXPECT_LT(writer, 0) << "the writer's open went through while the lease was to be held";
  if (writer >= 0) ::close(writer);
  EXPECT_TRUE(std::filesystem::exists(g_input));
  EXPECT_TRUE(Aside().empty());
  // The lease is given up: the writer goes on at once, and the break signal is no longer ignored.
  const int late = ::open(g_input.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(late, 0) << std::strerror(errno);
  if (late >= 0) ::close(late);
  struct sigaction now {};
  ASSERT_EQ(::sigaction(SIGIO, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST_F(HookedWalkerTest, ARewriteOfTheSameSizeWithItsTimePutBackIsAChange) {
  // cp -p, rsync --inplace -t or touch -r while the run converts the file.
  settings_.delete_converted = 1;
  static const cRecordHandlerOps_t kRewritingOps = {
      StageRecord, StageNewFile, [](cRecordHandler_t* handler, const cFileInfo_t* info) {
        struct stat before {};
        ::stat(g_input.c_str(), &before);
        // A later tick of the clock that stamps changes.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string bytes = test::ReadWholeFile(g_input);
        bytes.back() ^= 1;
        std::ofstream(g_input, std::ios::binary | std::ios::trunc) << bytes;
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ::utimensat(AT_FDCWD, g_input.c_str(), times, 0);
        return StageEndFile(handler, info);
      }};
  stage_.handler.ops = &kRewritingOps;
  const std::string recording = Recording();
  g_input = dir_.Write("a.mf4", recording);
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert({"a.mf4"}), kExitFileFailed);
  const std::vector<std::string> lines = {"E Input file a.mf4 changed during its conversion and is kept",
                                          "E Error during conversion of a.mf4"};
  EXPECT_EQ(log.Messages(), lines);
  const std::string kept = test::ReadWholeFile(g_input);
  EXPECT_EQ(kept.size(), recording.size());
  EXPECT_NE(kept, recording);
}

/// Flips one byte of the file in place (its size stays); `at` below 0 counts from the end.
void FlipByte(const std::string& path, int64_t at) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekg(0, std::ios::end);
  const int64_t size = file.tellg();
  const int64_t offset = at < 0 ? size + at : at;
  file.seekg(offset);
  const char byte = static_cast<char>(file.get() ^ 0x20);
  file.seekp(offset);
  file.put(byte);
}

int64_t g_flip_during = 0;  // the byte flipped while the conversion runs (below 0: from the end), or 0 for none

TEST_F(HookedWalkerTest, AnInPlaceRewriteThatNoTimeShowsIsSeenInTheBytes) {
  // As on exFAT and FAT through FUSE: no lease, and the times do not move (fusefat) or are put
  // back with the modification time (exfat-fuse). With every buffer, for plain files and
  // containers (whose raw bytes are compared), a byte rewritten during the conversion or just
  // before the removal keeps the input; an untouched one is removed.
  settings_.delete_converted = 1;
  static const cRecordHandlerOps_t kRewritingOps = {StageRecord, StageNewFile,
                                                    [](cRecordHandler_t* handler, const cFileInfo_t* info) {
                                                      if (g_flip_during != 0) FlipByte(g_input, g_flip_during);
                                                      return StageEndFile(handler, info);
                                                    }};
  stage_.handler.ops = &kRewritingOps;
  const std::string plain = Recording({}, 40);
  struct File {
    const char* name;
    std::string bytes;
  };
  const std::vector<File> files = {
      {"a.mf4", plain},
      {"zipped.mfc", test::CompressedContainer(plain)},
  };
  enum class When { kNever, kDuring, kBeforeRemoval };
  for (const int64_t buffer : {int64_t{-1}, int64_t{0}, int64_t{64}, int64_t{4096}}) {
    for (const File& file : files) {
      for (const When when : {When::kNever, When::kDuring, When::kBeforeRemoval}) {
        SCOPED_TRACE(std::string(file.name) + " buffer " + std::to_string(buffer) + " when " +
                     std::to_string(static_cast<int>(when)));
        walkerFree(walker_);
        walker_ = nullptr;
        settings_.buffer_size = buffer;
        g_input = dir_.Write(file.name, file.bytes);
        ASSERT_TRUE(nativeFsStat(fs_, g_input.c_str(), &g_frozen));
        g_times_frozen = true;
        // A byte in the middle while the file is converted; the last one (the container's check
        // sum) once it is.
        g_flip_during = when == When::kDuring ? static_cast<int64_t>(file.bytes.size() / 2) : 0;
        g_before_input_moves = nullptr;
        if (when == When::kBeforeRemoval) g_before_input_moves = [] { FlipByte(g_input, -1); };
        test::ConsoleLog log(kLogError);
        if (when == When::kNever) {
          EXPECT_EQ(Convert({file.name}), kExitSuccess);
          EXPECT_EQ(log.Messages(), std::vector<std::string>{});
          EXPECT_FALSE(std::filesystem::exists(g_input));
        } else {
          EXPECT_EQ(Convert({file.name}), kExitFileFailed);
          const std::vector<std::string> lines = {
              "E Input file " + std::string(file.name) + " changed during its conversion and is kept",
              "E Error during conversion of " + std::string(file.name)};
          EXPECT_EQ(log.Messages(), lines);
          const std::string kept = test::ReadWholeFile(g_input);
          EXPECT_EQ(kept.size(), file.bytes.size());
          EXPECT_NE(kept, file.bytes);
          std::filesystem::remove(g_input);
        }
        EXPECT_TRUE(Aside().empty());
      }
    }
  }
}

/// The walk on the file systems of loggers' cards through their FUSE drivers (exfat-fuse,
/// fusefat), rooted at the mounted folder. Skipped where nothing can be mounted.
class FuseWalkerTest : public WalkerTest, public ::testing::WithParamInterface<test::FuseKind> {
 protected:
  void SetUp() override {
    WalkerTest::SetUp();
    mount_ = std::make_unique<test::FuseMount>(GetParam(), dir_.Path(), dir_.Path("card"));
    if (!mount_->Mounted()) GTEST_SKIP() << "cannot mount here: " << mount_->Why();
    fsFree(fs_);
    fs_ = nativeFsNew(cStrViewOf((dir_.Path("card") + "/").c_str()));
    ASSERT_NE(fs_, nullptr);
  }
  void TearDown() override {
    walkerFree(walker_);
    walker_ = nullptr;
    fsFree(fs_);
    fs_ = nullptr;
    mount_.reset();  // before the folder it lies in goes
    WalkerTest::TearDown();
  }
  std::unique_ptr<test::FuseMount> mount_;
};

std::string g_rewrite;  // what the stage writes over g_input in place, its times put back

TEST_P(FuseWalkerTest, AnInPlaceRewriteDuringTheConversionKeepsTheInput) {
  // cp -p or rsync --inplace -t of another recording of the same size: exfat-fuse puts the
  // change time back with the modification time, fusefat moves neither.
  settings_.delete_converted = 1;
  static const cRecordHandlerOps_t kRewritingOps = {
      StageRecord, StageNewFile, [](cRecordHandler_t* handler, const cFileInfo_t* info) {
        struct stat before {};
        ::stat(g_input.c_str(), &before);
        std::fstream(g_input, std::ios::binary | std::ios::in | std::ios::out) << g_rewrite;
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ::utimensat(AT_FDCWD, g_input.c_str(), times, 0);
        return StageEndFile(handler, info);
      }};
  stage_.handler.ops = &kRewritingOps;
  RecordingInfo other;
  other.split = 2;
  const std::string recording = Recording();
  g_rewrite = Recording(other);
  ASSERT_EQ(g_rewrite.size(), recording.size());
  for (const int64_t buffer : {int64_t{-1}, int64_t{0}}) {
    SCOPED_TRACE(buffer);
    settings_.buffer_size = buffer;
    walkerFree(walker_);
    walker_ = nullptr;
    g_input = dir_.Write("card/a.mf4", recording);
    const struct timespec recorded[2] = {{1767225600, 0}, {1767225600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, g_input.c_str(), recorded, 0), 0);
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert({"a.mf4"}), kExitFileFailed);
    const std::vector<std::string> lines = {"E Input file a.mf4 changed during its conversion and is kept",
                                            "E Error during conversion of a.mf4"};
    EXPECT_EQ(log.Messages(), lines);
    EXPECT_TRUE(test::ReadWholeFile(g_input) == g_rewrite);  // not printed: a whole file
    std::filesystem::remove(g_input);
  }
}

INSTANTIATE_TEST_SUITE_P(CardFileSystems, FuseWalkerTest,
                         ::testing::Values(test::FuseKind::kExfat, test::FuseKind::kFat),
                         [](const ::testing::TestParamInfo<test::FuseKind>& kind) {
                           return kind.param == test::FuseKind::kExfat ? std::string("Exfat") : std::string("Fat");
                         });

TEST_F(HookedWalkerTest, AnInputIsRemovedWhereItCannotBeMovedAsideOrARenameRetimesIt) {
  settings_.delete_converted = 1;
  struct Case {
    const char* name;
    int move_error;
    bool retimes;
    void (*before)();  // just before the input is moved or removed
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"fusefat: a rename writes the time", 0, true, nullptr, {}},
      {"no room for a copy (an overlay's lower layer)", ENOSPC, false, nullptr, {}},
      {"across devices", EXDEV, false, nullptr, {}},
      {"no room, and another file renamed over it",
       ENOSPC,
       false,
       [] { std::filesystem::rename(g_root + "other.mf4", g_input); },
       {"E Input file a.mf4 changed during its conversion and is kept", "E Error during conversion of a.mf4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    walkerFree(walker_);
    walker_ = nullptr;
    g_input = dir_.Write("a.mf4", Recording());
    dir_.Write("other.mf4", "another recording");
    g_move_aside_error = c.move_error;
    g_rename_retimes = c.retimes;
    g_before_input_moves = c.before;
    test::ConsoleLog log(kLogError);
    EXPECT_EQ(Convert({"a.mf4"}), c.lines.empty() ? kExitSuccess : kExitFileFailed);
    EXPECT_EQ(log.Messages(), c.lines);
    EXPECT_EQ(std::filesystem::exists(g_input), !c.lines.empty());
    EXPECT_TRUE(Aside().empty());
  }
}

TEST_F(HookedWalkerTest, FilesARunLeavesOrFindsGoneAreFailuresWithAnErrorLine) {
  // A file listed and then removed by another run over the same tree, and the private name of
  // an input that a run ended while removing it: the only copy of a recording, perhaps.
  static const cRecordHandlerOps_t kOtherRunOps = {StageRecord, StageNewFile,
                                                   [](cRecordHandler_t* handler, const cFileInfo_t* info) {
                                                     std::filesystem::remove(g_root + "logs/b.mf4");
                                                     return StageEndFile(handler, info);
                                                   }};
  stage_.handler.ops = &kOtherRunOps;
  dir_.MakeDir("logs");
  dir_.Write("logs/a.mf4", Recording());
  dir_.Write("logs/b.mf4", Recording());
  dir_.Write("logs/.~1fbee", Recording());
  dir_.Write("logs/.~lock.notes.odt#", "not ours");
  test::ConsoleLog log(kLogError);
  EXPECT_EQ(Convert({"logs"}), kExitInputMissing | kExitFileFailed);
  const std::vector<std::string> lines = {
      "E Found logs/.~1fbee, the hidden name of an input that a run is removing or could not remove or move back: "
      "it may hold a recording, perhaps its only copy, and is not converted",
      "E Could not find input file/folder logs/b.mf4"};
  EXPECT_EQ(log.Messages(), lines);
  EXPECT_EQ(stage_.outputs, std::vector<std::string>{"logs_out/a"});
  EXPECT_TRUE(std::filesystem::exists(dir_.Path("logs/.~1fbee")));
}

}  // namespace
