// What one input may make a conversion hold or spend: payloads and records that deflate a
// thousandfold convert whole; memory that runs short gives one line naming the file, whichever
// allocation it was (a container's body, the whole-file buffer, the events of the records),
// and the input is kept; the key derivation of nested encrypted layers has one bound per file.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "logmendrun.h"
#include "platform/container.h"
#include "support/deflate.h"
#include "support/genericfile.h"
#include "support/loggerimage.h"
#include "support/loggerrecording.h"

namespace e2e {
namespace {

class MemoryBounds : public LogmendRun {
 protected:
  /// Runs logmend with its address space limited to `kib` KiB, where the sanitizers (which
  /// reserve more than any limit) are not built in; false there, and the run is skipped.
  bool RunLimited(uint64_t kib, const std::vector<std::string>& args, test::ProgramResult& result) {
#ifdef LOGMEND_SANITIZED
    (void)kib;
    (void)args;
    (void)result;
    return false;
#else
    std::vector<std::string> shell = {"-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\"",
                                      LOGMEND_BINARY};
    shell.insert(shell.end(), args.begin(), args.end());
    result = test::RunProgram("/bin/sh", shell, dir_.Path(), dir_.Path());
    return true;
#endif
  }

  /// The run failed for memory, with the one line that names the input, and kept it.
  void ExpectOutOfMemory(const test::ProgramResult& result, const std::string& name) {
    EXPECT_EQ(result.status, 8) << result.err;
    EXPECT_TRUE(Exists(name));
    EXPECT_TRUE(HasLine(result, "E Out of memory while reading input file " + name)) << result.err;
    for (const char* other : {"Could not allocate buffer", "Could not read the records", "Could not decompress file",
                              "Could not open MDF", "Damaged input file"}) {
      EXPECT_EQ(result.err.find(other), std::string::npos) << other << "\n" << result.err;
    }
  }
};

// Bits of an LZSS stream with a 2^15-byte window and 2^14-byte back-references: one literal,
// then `copies` back-references of distance 1 and the longest length, each repeating it.
std::string RepeatingBitStream(uint64_t copies) {
  std::string bytes;
  uint64_t bits = 0;
  const auto put = [&bytes, &bits](uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i, ++bits) {
      if (bits % 8 == 0) bytes.push_back('\0');
      if ((value >> i) & 1U) bytes.back() = static_cast<char>(bytes.back() | (0x80 >> (bits % 8)));
    }
  };
  put(1, 1);
  put('A', 8);
  for (uint64_t i = 0; i < copies; ++i) {
    put(0, 1);
    put(0, 15);
    put((1U << 14) - 1, 14);
  }
  return bytes;
}

// The payloads of a recording whose frames repeat deflate a thousandfold: its signal data of
// 80 MiB in a file of 100 KB are no damage, and every frame converts exact.
TEST_F(MemoryBounds, PayloadsThatDeflateAThousandfoldConvertWhole) {
  const RecordingInfo info;
  test::RecordingLayout layout;
  layout.signal_data_first = true;
  layout.zipped_signal_data = uint64_t{80} << 20;
  const Traffic traffic = SomeTraffic(3);
  std::ostringstream out;
  test::LoggerRecordingWriter writer(out, info, layout);
  std::vector<std::vector<uint8_t>> payloads;
  for (const CanFrameRecord& frame : traffic.can) payloads.push_back(frame.data);
  writer.SignalData(payloads);
  size_t lin = 0;
  for (const CanFrameRecord& frame : traffic.can) {
    while (lin < traffic.lin.size() && traffic.lin[lin].time_us < frame.time_us) writer.Add(traffic.lin[lin++]);
    writer.Add(frame);
  }
  while (lin < traffic.lin.size()) writer.Add(traffic.lin[lin++]);
  writer.Finish();
  ASSERT_LT(out.str().size(), 200'000U);
  Write("zipped.MF4", out.str());
  const test::ProgramResult result = Run({"-d", "zipped.MF4"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(Exists("zipped.MF4"));
  EXPECT_EQ(ReadFrames(dir_.Path("zipped_out.MF4")), Expected(info, traffic));
  EXPECT_TRUE(Checked("zipped_out.MF4"));
}

// Memory that runs short fails the file with one line naming it, whichever allocation it was:
// the body of a container that decompresses to 256 MiB, a whole-file buffer of a gigabyte, the
// events of four million records that deflated to 100 KB.
TEST_F(MemoryBounds, MemoryThatRunsShortIsOneLineNamingTheFile) {
  Write("bomb.MFC", test::CompressedContainerOf(RepeatingBitStream(16384), 14, 1U << 15, false));
  Write("small.MF4", RecordingOf({}, SomeTraffic(1)));
  {
    constexpr uint64_t kRecords = 4'000'000;
    std::vector<uint8_t> records;
    const std::vector<uint8_t> record = test::ComposedCanRecord(1, 1000, 0x123, 0, 8, {1, 2, 3, 4, 5, 6, 7, 8});
    records.reserve(kRecords * record.size());
    for (uint64_t i = 0; i < kRecords; ++i) records.insert(records.end(), record.begin(), record.end());
    std::vector<uint8_t> bytes;
    test::VectorOutput out(bytes);
    test::ImageWriter image(out);
    image.Identification("MDF     ", "4.11", 411, "QX", 0);
    const int64_t hd = image.Header(1'767'225'600'000'000'000ULL, test::HeaderCommentWith("0000ABCD", "1", "1"),
                                    {test::ImageHistory{}});
    const int64_t dg = image.DataGroup(1, image.Groups({test::ComposedCanGroup(1, kRecords)}), 0);
    image.PatchLink(hd, 0, dg);
    image.PatchLink(dg, 2, image.Zipped(test::Deflated(records), records.size()));
    ASSERT_LT(bytes.size(), 500'000U);
    Write("events.MF4", {bytes.begin(), bytes.end()});
  }
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"bomb.MFC", {"-d", "bomb.MFC"}},
      {"small.MF4", {"-d", "-b", "1000000000", "small.MF4"}},
      {"events.MF4", {"-d", "events.MF4"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ProgramResult result;
    if (!RunLimited(160'000, c.args, result)) GTEST_SKIP() << "the sanitizers reserve more than any limit";
    ExpectOutOfMemory(result, c.name);
  }
}

// The key derivation of all the encrypted layers of one file together is bounded: a layer that
// asks for more than the outer ones left is a decryption failure with a line saying so, before
// its key is derived.
TEST_F(MemoryBounds, NestedEncryptedLayersShareOneKeyDerivationBound) {
  Write("passwords.json", "{\"0000ABCD\": \"secret\"}\n");
  test::EncryptionParameters outer;
  outer.password = kPassword;
  outer.device_id = kDevice;
  outer.iterations = 11;
  test::EncryptionParameters inner = outer;
  inner.iterations = 1000;
  const std::string within = test::EncryptedContainer(RecordingOf({}, SomeTraffic(2)), inner);
  Write("within.MFE", test::EncryptedContainer(within, outer));
  // The inner count raised so that both together pass the bound by one (its key is never
  // derived, so the layer need not be valid for it).
  std::string costly = within;
  costly.replace(32, 4, "\x00\x98\x96\x76", 4);  // 9,999,990
  Write("nested.MFE", test::EncryptedContainer(costly, outer));
  const test::ProgramResult result = Run({"-d", "nested.MFE", "within.MFE"});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_TRUE(Exists("nested.MFE"));
  EXPECT_TRUE(HasLine(result,
                      "E Key derivation refused: the layer asks for 9999990 iterations, 9999989 are left of "
                      "the 10000000 per file"))
      << result.err;
  EXPECT_TRUE(HasLine(result, "E Could not decrypt file")) << result.err;
  EXPECT_FALSE(Exists("within.MFE"));
  EXPECT_EQ(ReadFrames(dir_.Path("within_out.MF4")), Expected({}, SomeTraffic(2)));
}

}  // namespace
}  // namespace e2e
