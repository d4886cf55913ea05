// The built logmend binary run on folder trees made in a temporary directory: exit status,
// the output tree, the console lines, and the outputs read back through our reader and the
// independent checker.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "e2e/logmendrun.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

TEST_F(LogmendRun, AFolderOfEveryKindOfInputConvertsWhole) {
  RecordingInfo plain;
  RecordingInfo unfinalized;
  unfinalized.split = 2;
  unfinalized.finalized = false;
  RecordingInfo zipped;
  zipped.split = 3;
  RecordingInfo locked;
  locked.split = 4;
  locked.finalized = false;
  RecordingInfo nested;
  nested.split = 5;
  test::EncryptionParameters encryption;
  encryption.password = kPassword;
  encryption.device_id = kDevice;
  Write("passwords.json", "{\"0000ABCD\": \"secret\"}\n");
  Write("logs/a/1.MF4", RecordingOf(plain, SomeTraffic(1)));
  Write("logs/a/2.mf4", RecordingOf(unfinalized, SomeTraffic(2)));
  Write("logs/b/3.MFC", test::CompressedContainer(RecordingOf(zipped, SomeTraffic(3))));
  Write("logs/b/4.MFE", test::EncryptedContainer(RecordingOf(locked, SomeTraffic(4)), encryption));
  Write("logs/b/c/5.mfe",
        test::EncryptedContainer(test::CompressedContainer(RecordingOf(nested, SomeTraffic(5))), encryption));
  Write("logs/b/readme.txt", "not a recording");

  const test::ProgramResult result = Run({"logs"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> expected = {"a/1_out.MF4", "a/2_out.MF4", "b/3_out.MF4", "b/4_out.MF4",
                                             "b/c/5_out.MF4"};
  EXPECT_EQ(Files("logs_out"), expected);
  const std::vector<RecordingInfo> infos = {plain, unfinalized, zipped, locked, nested};
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string output = "logs_out/" + expected[i];
    EXPECT_EQ(ReadFrames(dir_.Path(output)), Expected(infos[i], SomeTraffic(static_cast<uint8_t>(i + 1)))) << output;
    EXPECT_TRUE(Checked(output));
  }
  EXPECT_TRUE(Exists("logs/a/1.MF4"));  // inputs stay without "-d"

  // The outputs carry the inputs' times, not the clock's: a second run writes the same bytes.
  const std::string first = Read("logs_out/b/c/5_out.MF4");
  const test::ProgramResult again = Run({"logs"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(Read("logs_out/b/c/5_out.MF4"), first);
}

TEST_F(LogmendRun, FailuresSetTheirBits) {
  RecordingInfo info;
  test::EncryptionParameters no_key;
  no_key.device_id = kDevice;
  test::EncryptionParameters wrong;
  wrong.device_id = 0x1234ABCD;
  wrong.password = "not the stored one";
  std::string bad_crc = test::CompressedContainer(RecordingOf(info, SomeTraffic(1)));
  bad_crc.back() = static_cast<char>(bad_crc.back() ^ 0x5A);
  std::string unknown_kind = test::CompressedContainer(RecordingOf(info, SomeTraffic(1)));
  unknown_kind[14] = 0x44;
  Write("keys.json", "{\"1234ABCD\": \"secret\"}\n");

  struct Case {
    std::string file;
    std::string content;
    int status;
    std::string line;  // one line the run must write ("" for none)
  };
  const std::vector<Case> cases = {
      {"nokey.mfe", test::EncryptedContainer(RecordingOf(info, SomeTraffic(1)), no_key), 2,
       "E No password found for device 0000ABCD"},
      {"wrong.mfe", test::EncryptedContainer(RecordingOf(info, SomeTraffic(1)), wrong), 2, "E Could not decrypt file"},
      {"crc.mfc", bad_crc, 4, "E Could not decompress file"},
      {"text.mf4", "plain text, no MDF", 8, "E Could not open MDF"},
      {"kind.mfc", unknown_kind, 8, "E Error during conversion of kind.mfc"},
  };
  for (const Case& c : cases) {
    Write("in/" + c.file, c.content);
    const test::ProgramResult result = Run({"-p", "keys.json", "in/" + c.file});
    EXPECT_EQ(result.status, c.status) << c.file << "\n" << result.err;
    EXPECT_TRUE(HasLine(result, c.line)) << c.file << "\n" << result.err;
    EXPECT_TRUE(HasLine(result, "E Error during conversion of " + c.file)) << c.file;
  }
}

TEST_F(LogmendRun, ControlCharactersInNamesAreEscapedSoEveryLineIsWhole) {
  Write("logs/new\nline\x01.mf4", "corrupt");
  Write("logs/back\\slash.mf4", "corrupt");
  Write("logs/tab\t.mf4", RecordingOf({}, SomeTraffic(1)));
  const test::ProgramResult result = Run({"-d", "logs"});
  EXPECT_EQ(result.status, 8) << result.err;
  for (const std::string& line : result.Lines()) EXPECT_EQ(line.rfind("<no header>", 0), std::string::npos) << line;
  EXPECT_TRUE(HasLine(result, "E Error during conversion of logs/new\\nline\\x01.mf4")) << result.err;
  EXPECT_TRUE(HasLine(result, "E Error during conversion of logs/back\\\\slash.mf4")) << result.err;
  // Only the lines are escaped: the names on the disk are the inputs' own.
  EXPECT_EQ(Files("logs"), (std::vector<std::string>{"back\\slash.mf4", "new\nline\x01.mf4"}));
  EXPECT_EQ(Files("logs_out"), std::vector<std::string>{"tab\t_out.MF4"});
}

TEST_F(LogmendRun, AFolderOrsTheBitsOfItsFiles) {
  RecordingInfo info;
  test::EncryptionParameters no_key;
  no_key.device_id = kDevice;
  Write("logs/a.mfe", test::EncryptedContainer(RecordingOf(info, SomeTraffic(1)), no_key));
  Write("logs/b.mf4", "corrupt");
  Write("logs/c.mf4", RecordingOf(info, SomeTraffic(3)));
  const test::ProgramResult result = Run({"logs"});
  EXPECT_EQ(result.status, 10) << result.err;
  EXPECT_EQ(Files("logs_out"), std::vector<std::string>{"c_out.MF4"});
}

TEST_F(LogmendRun, MissingAndUnqueryableInputs) {
  Write("a.mf4", RecordingOf({}, SomeTraffic(1)));
  const test::ProgramResult missing = Run({"gone.mf4"});
  EXPECT_EQ(missing.status, 1);
  // A failure bit always comes with a line at the default verbosity.
  EXPECT_TRUE(HasLine(missing, "E Could not find input file/folder gone.mf4")) << missing.err;

  fs::create_symlink("loop", dir_.Path("loop"));
  const test::ProgramResult loop = Run({"a.mf4", "loop"});
  EXPECT_EQ(loop.status, 129) << loop.err;
  EXPECT_TRUE(HasLine(loop, "F Could not query loop for information")) << loop.err;
  EXPECT_TRUE(Exists("a_out.MF4"));  // the first input was converted before the run ended

  const test::ProgramResult nothing = Run({});
  EXPECT_EQ(nothing.status, 129);
  EXPECT_NE(nothing.out.find("Usage"), std::string::npos) << nothing.out;
}

TEST_F(LogmendRun, DeleteConvertedRemovesOnlyInputsWhoseOutputWasWritten) {
  RecordingInfo info;
  Write("logs/good.mf4", RecordingOf(info, SomeTraffic(1)));
  Write("logs/bad.mf4", "corrupt");
  Write("logs/blocked.mf4", RecordingOf(info, SomeTraffic(2)));
  fs::create_directories(dir_.Path("logs_out/blocked_out.MF4"));  // a folder where the output would go
  const test::ProgramResult result = Run({"-d", "logs"});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(HasLine(result, "E Error on new file")) << result.err;
  EXPECT_FALSE(Exists("logs/good.mf4"));
  EXPECT_TRUE(Exists("logs/bad.mf4"));
  EXPECT_TRUE(Exists("logs/blocked.mf4"));
  EXPECT_EQ(ReadFrames(dir_.Path("logs_out/good_out.MF4")), Expected(info, SomeTraffic(1)));
}

TEST_F(LogmendRun, AnOutputIsWrittenAsideAndReplacesWhatHeldItsNameWhole) {
  // The output is written under a temporary name and renamed: a link at its name (here to a
  // device that takes no byte) is replaced, never written through. Full disks are in
  // test_batch_safety.cpp. (With "-d" a file of other bytes under that name is kept instead:
  // test_batch_safety.cpp too.)
  Write("logs/small.mf4", RecordingOf({}, SomeTraffic(1)));
  fs::create_directories(dir_.Path("logs_out"));
  fs::create_symlink("/dev/full", dir_.Path("logs_out/small_out.MF4"));
  const test::ProgramResult result = Run({"logs"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(fs::is_symlink(dir_.Path("logs_out/small_out.MF4")));
  EXPECT_EQ(ReadFrames(dir_.Path("logs_out/small_out.MF4")), Expected({}, SomeTraffic(1)));
  EXPECT_EQ(Files("logs_out"), std::vector<std::string>{"small_out.MF4"});
  EXPECT_TRUE(Exists("logs/small.mf4"));
}

TEST_F(LogmendRun, NoAppendRootWithAndWithoutOutputDirectory) {
  Write("logs/x/a.mf4", RecordingOf({}, SomeTraffic(1)));
  fs::create_directories(dir_.Path("out"));
  const test::ProgramResult elsewhere = Run({"-X", "-O", "out", "logs"});
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
  EXPECT_EQ(Files("out"), std::vector<std::string>{"logs/x/a_out.MF4"});

  const test::ProgramResult beside = Run({"-X", "logs"});
  EXPECT_EQ(beside.status, 0) << beside.err;
  const std::vector<std::string> once = {"x/a.mf4", "x/a_out.MF4"};
  EXPECT_EQ(Files("logs"), once);
  // A later run takes the outputs as inputs again: their extension lower-cases to "mf4". So
  // a.mf4 is refused, as its output would replace the input a_out.MF4 before it is read.
  const std::string first = Read("logs/x/a_out.MF4");
  const test::ProgramResult twice = Run({"-X", "logs"});
  EXPECT_EQ(twice.status, 8) << twice.err;
  EXPECT_TRUE(HasLine(twice, "E Output logs/x/a_out.MF4 of logs/x/a.mf4 would replace the input logs/x/a_out.MF4"))
      << twice.err;
  EXPECT_EQ(Read("logs/x/a_out.MF4"), first);
  const std::vector<std::string> again = {"x/a.mf4", "x/a_out.MF4", "x/a_out_out.MF4"};
  EXPECT_EQ(Files("logs"), again);
  EXPECT_EQ(ReadFrames(dir_.Path("logs/x/a_out_out.MF4")), ReadFrames(dir_.Path("logs/x/a_out.MF4")));
}

TEST_F(LogmendRun, BufferSizesGiveIdenticalOutputs) {
  Write("in/a.mf4", RecordingOf({}, SomeTraffic(1)));
  std::set<std::string> outputs;
  for (const char* size : {"0", "-1", "4096", "7"}) {
    const test::ProgramResult result = Run({"-b", size, "in"});
    EXPECT_EQ(result.status, 0) << size << result.err;
    outputs.insert(Read("in_out/a_out.MF4"));
  }
  EXPECT_EQ(outputs.size(), 1u);
  EXPECT_FALSE(outputs.begin()->empty());
}

TEST_F(LogmendRun, ADemultiplexingRuleUnpacksItsCarriers) {
  Traffic traffic;
  CanFrameRecord carrier{};
  carrier.time_us = 5000;
  carrier.channel = 2;
  carrier.id = 0x010;
  carrier.dlc = 8;
  // An ISO-TP single frame of 5 bytes holding one sub-frame: slot 0, 11-bit id 0x123, DLC 2.
  carrier.data = {0x05, 0x01, 0x01, 0x23, 0xAA, 0xBB, 0xCC, 0xCC};
  CanFrameRecord plain{};
  plain.time_us = 6000;
  plain.channel = 2;
  plain.id = 0x011;
  plain.dlc = 1;
  plain.data = {0x42};
  traffic.can = {carrier, plain};
  RecordingInfo info;
  Write("in/a.mf4", RecordingOf(info, traffic));
  const test::ProgramResult result = Run({"--muxtp-can2=010#3:4:5:6", "in"});
  EXPECT_EQ(result.status, 0) << result.err;
  const uint64_t start_us = info.start_ns / 1000;
  const std::vector<Frame> expected = {{kBusMsgCanDataFrame, 3, 0x123, "aabb", start_us + 5000},
                                       {kBusMsgCanDataFrame, 2, 0x011, "42", start_us + 6000}};
  EXPECT_EQ(ReadFrames(dir_.Path("in_out/a_out.MF4")), expected);
}

TEST_F(LogmendRun, RepeatedInputsAreReportedAndConvertedAgain) {
  const std::string recording = RecordingOf({}, SomeTraffic(1));
  Write("in/a.mf4", recording);
  Write("in/b.mf4", recording);
  const test::ProgramResult result = Run({"--verbosity=3", "in"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(HasLine(result, "W Repeated input file (0000ABCD, 00000001, 00000001)")) << result.err;
  EXPECT_EQ(Read("in_out/a_out.MF4"), Read("in_out/b_out.MF4"));
}

TEST_F(LogmendRun, OutputNamesStayInTheirFolderAndAreNeverShared) {
  Write("in/mf4", RecordingOf({}, SomeTraffic(1)));
  Write("in/a.mf4", RecordingOf({}, SomeTraffic(2)));
  Write("in/a.MF4", RecordingOf({}, SomeTraffic(3)));
  const test::ProgramResult result = Run({"-d", "in"});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(HasLine(result, "E Output in_out/a_out.MF4 of in/a.mf4 was written for in/a.MF4 already")) << result.err;
  EXPECT_EQ(Files("in_out"), (std::vector<std::string>{"_out.MF4", "a_out.MF4"}));
  EXPECT_EQ(ReadFrames(dir_.Path("in_out/a_out.MF4")), Expected({}, SomeTraffic(3)));  // "a.MF4" sorts first
  EXPECT_TRUE(Exists("in/a.mf4"));
  EXPECT_FALSE(Exists("in/a.MF4"));
}

TEST_F(LogmendRun, ARecordingWithoutFramesGivesAnEmptyOutput) {
  Write("in/empty.mf4", RecordingOf({}, {}));
  const test::ProgramResult result = Run({"in"});
  EXPECT_EQ(result.status, 0) << result.err;
  ASSERT_TRUE(Exists("in_out/empty_out.MF4"));
  EXPECT_EQ(fs::file_size(dir_.Path("in_out/empty_out.MF4")), 0u);
}

TEST_F(LogmendRun, AnMdf3FileUnderAnMdf4NameIsRefused) {
  const std::string path = Write("in/x.mf4", "");
  auto file = std::make_shared<std::filebuf>();
  ASSERT_NE(file->open(path, std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary), nullptr);
  auto writer = mdf::CreateMdfWriter(mdf::MdfWriterType::kMdf3Writer);
  ASSERT_TRUE(writer);
  writer->Init(file);
  mdf::IChannelGroup* group = writer->CreateDataGroup()->CreateChannelGroup();
  mdf::IChannel* time = group->CreateChannel();
  time->Name("t");
  time->ChannelType(2);
  time->DataType(0);
  time->DataBytes(4);
  ASSERT_TRUE(writer->InitMeasurement());
  writer->StartMeasurement(1'700'000'000'000'000'000ULL);
  writer->SaveSample(*group, 1'700'000'000'000'000'000ULL);
  writer->StopMeasurement(UINT64_MAX);
  ASSERT_TRUE(writer->FinalizeMeasurement());
  file->close();
  ASSERT_EQ(Read("in/x.mf4").substr(0, 8), "MDF     ");

  const test::ProgramResult result = Run({"in/x.mf4"});
  EXPECT_EQ(result.status, 8) << result.err;
  EXPECT_TRUE(HasLine(result, "E Could not open MDF")) << result.err;
  EXPECT_EQ(Files("."), std::vector<std::string>{"in/x.mf4"}) << "no output, the input kept";
}

TEST_F(LogmendRun, TheBundledExamplesConvert) {
  const test::ProgramResult result =
      test::RunProgram(LOGMEND_CONVERT_EXAMPLES, {LOGMEND_BINARY, dir_.Path("out")}, dir_.Path(), dir_.Path());
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  const std::vector<std::string> expected = {
      "logs_out/0000ABCD/00000001/00000001_out.MF4", "logs_out/0000ABCD/00000001/00000002_out.MF4",
      "logs_out/0000ABCD/00000002/00000001_out.MF4", "logs_out/0000ABCD/00000002/00000002_out.MF4"};
  EXPECT_EQ(Files("out"), expected);
  for (const std::string& output : expected) {
    EXPECT_FALSE(ReadFrames(dir_.Path("out/" + output)).empty()) << output;
    EXPECT_TRUE(Checked("out/" + output));
  }
}

}  // namespace
