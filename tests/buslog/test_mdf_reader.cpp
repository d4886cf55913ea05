// The logger-file reader: its stream buffer, the logger's acceptance rules, the file
// information and the metadata, on hand-built recordings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "buslog/io_wrapper.h"
#include "buslog/mdf_reader.h"
#include "support/loggerfile.h"
#include "support/loggerimage.h"
#include "support/probestream.h"
#include "support/streambytes.h"

namespace {

using test::ImageGroup;
using test::ImageSpec;

// A small valid recording: one composed CAN group with two frames.
ImageSpec SmallSpec() {
  ImageSpec spec;
  spec.header_comment = test::HeaderCommentWith("0000A1B2", "17", "3");
  spec.groups = {test::ComposedCanGroup(1, 2)};
  spec.records = test::ComposedCanRecord(1, 10, 0x123, 0, 8, {1, 2, 3, 4, 5, 6, 7, 8});
  test::PutBytes(spec.records, test::ComposedCanRecord(1, 20, 0x456, 0, 2, {9, 10}));
  return spec;
}

struct Opened {
  test::StreamPtr stream;
  cMdfReader_t* reader = nullptr;
  explicit Opened(const std::vector<uint8_t>& image) : stream(test::MemoryStreamOf(image)) {
    reader = mdfReaderOpen(stream.get());
  }
  ~Opened() { mdfReaderClose(reader); }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
};

TEST(IoWrapper, RefusesAMissingStream) {
  try {
    cIO_wrapper wrapper(nullptr);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "No input argument");
  }
  EXPECT_EQ(mdfReaderOpen(nullptr), nullptr);
}

TEST(IoWrapper, ReadingAndWritingShareOnePosition) {
  test::StreamPtr stream = test::MemoryStreamOf(test::Pattern(3000));
  cIO_wrapper read(stream.get());
  char bytes[10];
  ASSERT_EQ(read.sgetn(bytes, 10), 10);
  EXPECT_EQ(read.pubseekoff(0, std::ios_base::cur), 10);
  EXPECT_EQ(static_cast<uint8_t>(bytes[9]), test::Pattern(10)[9]);
  // Across the 1024-byte buffer, after a seek back and a seek from the end.
  std::vector<char> more(2000);
  ASSERT_EQ(read.sgetn(more.data(), 2000), 2000);
  EXPECT_EQ(static_cast<uint8_t>(more[1999]), test::Pattern(2010)[2009]);
  EXPECT_EQ(read.pubseekpos(5), 5);
  EXPECT_EQ(read.sgetc(), test::Pattern(6)[5]);
  EXPECT_EQ(read.pubseekoff(-1, std::ios_base::end), 2999);
  EXPECT_EQ(read.sbumpc(), test::Pattern(3000)[2999]);
  EXPECT_EQ(read.sgetc(), std::char_traits<char>::eof());

  test::StreamPtr out(memoryStreamNew());
  cIO_wrapper write(out.get());
  ASSERT_EQ(write.sputn("abcde", 5), 5);
  EXPECT_EQ(write.pubseekoff(0, std::ios_base::cur), 5);  // the pending bytes are written first
  EXPECT_EQ(test::StreamBytes(out.get()), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
}

// Large reads, which pass the buffer, give the same bytes and position as small ones.
TEST(IoWrapper, LargeReadsGiveTheBytesInOrderUpToTheEnd) {
  const std::vector<uint8_t> pattern = test::Pattern(10000);
  test::StreamPtr stream = test::MemoryStreamOf(pattern);
  cIO_wrapper read(stream.get());
  std::vector<char> bytes(12000);
  ASSERT_EQ(read.sgetn(bytes.data(), 3), 3);
  ASSERT_EQ(read.sgetn(bytes.data() + 3, 4000), 4000);  // the buffered rest, then the stream
  EXPECT_EQ(read.pubseekoff(0, std::ios_base::cur), 4003);
  EXPECT_EQ(read.sbumpc(), pattern[4003]);
  EXPECT_EQ(read.sgetn(bytes.data() + 4004, 8000), 10000 - 4004);  // short at the end
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4003),
            std::vector<uint8_t>(pattern.begin(), pattern.begin() + 4003));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4004, bytes.begin() + 10000),
            std::vector<uint8_t>(pattern.begin() + 4004, pattern.end()));
  EXPECT_EQ(read.sgetc(), std::char_traits<char>::eof());
  EXPECT_EQ(read.pubseekoff(0, std::ios_base::cur), 10000);
}

TEST(IoWrapper, TheDestructorWritesNothing) {
  test::StreamPtr out(memoryStreamNew());
  {
    cIO_wrapper write(out.get());
    ASSERT_EQ(write.sputn("xyz", 3), 3);
  }
  EXPECT_TRUE(test::StreamBytes(out.get()).empty());
}

TEST(IoWrapper, AShortWriteFailsTheSyncAndKeepsThePosition) {
  test::Probed probed("");
  probed.Counts().write_limit = 2;
  cIO_wrapper write(probed.Stream());
  ASSERT_EQ(write.sputn("abcde", 5), 5);
  EXPECT_EQ(write.pubsync(), -1);
  probed.Counts().write_limit = 0;
  EXPECT_EQ(write.pubsync(), -1);
  probed.Counts().write_limit = 100;
  EXPECT_EQ(write.pubsync(), 0);  // the rest follows; nothing is lost or written twice
  EXPECT_EQ(write.pubseekoff(0, std::ios_base::cur), 5);
  EXPECT_EQ(test::StreamBytes(probed.Counts().inner), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
}

TEST(IoWrapper, AFailedSeekKeepsThePosition) {
  test::Probed probed(std::string(3000, 'q'));
  cIO_wrapper read(probed.Stream());
  char bytes[4];
  ASSERT_EQ(read.sgetn(bytes, 4), 4);
  probed.Counts().fail_seeks = true;
  EXPECT_EQ(read.pubseekpos(2000), std::streampos(std::streamoff(-1)));
  EXPECT_EQ(read.pubseekoff(1, std::ios_base::end), std::streampos(std::streamoff(-1)));
  // The loaded bytes are still read; a refill whose seek fails ends the input.
  std::vector<char> rest(2000);
  EXPECT_EQ(read.sgetn(rest.data(), 2000), cIO_wrapper::kBufferSize - 4);
  probed.Counts().fail_seeks = false;
  EXPECT_EQ(read.pubseekoff(0, std::ios_base::cur), cIO_wrapper::kBufferSize);
}

TEST(IoWrapper, ASeekThatLandsElsewhereFailsAndKeepsThePosition) {
  const std::vector<uint8_t> pattern = test::Pattern(3000);
  test::Probed probed(std::string(pattern.begin(), pattern.end()));
  probed.Counts().seeks_stop_at = 2500;  // beyond it the stream stays where it stood
  cIO_wrapper read(probed.Stream());
  char bytes[4];
  ASSERT_EQ(read.sgetn(bytes, 4), 4);
  EXPECT_EQ(read.pubseekpos(2600), std::streampos(std::streamoff(-1)));
  EXPECT_EQ(read.pubseekoff(2596, std::ios_base::cur), std::streampos(std::streamoff(-1)));
  EXPECT_EQ(read.pubseekoff(std::numeric_limits<std::streamoff>::max(), std::ios_base::cur),
            std::streampos(std::streamoff(-1)));
  EXPECT_EQ(read.pubseekpos(-1), std::streampos(std::streamoff(-1)));
  EXPECT_EQ(read.pubseekoff(0, std::ios_base::cur), 4);
  EXPECT_EQ(read.sgetc(), pattern[4]);
  ASSERT_EQ(read.pubseekpos(2400), 2400);  // a target the stream reaches
  EXPECT_EQ(read.sgetc(), pattern[2400]);

  // A buffered copy as large as its file, sought past the end, stands there with nothing to
  // read, as the file does: never on the bytes where it stood before.
  test::StreamPtr source = test::MemoryStreamOf(pattern);
  cStream_t* buffered = bufferedStreamNew(source.get(), false, 3000);
  ASSERT_NE(buffered, nullptr);
  {
    cIO_wrapper copy(buffered);
    ASSERT_EQ(copy.pubseekpos(100), 100);
    EXPECT_EQ(copy.sgetc(), pattern[100]);
    EXPECT_EQ(copy.pubseekpos(3008), 3008);
    EXPECT_EQ(copy.sgetc(), std::char_traits<char>::eof());
    EXPECT_EQ(copy.pubseekpos(3000), 3000);  // the end itself
    EXPECT_EQ(copy.sgetc(), std::char_traits<char>::eof());
    ASSERT_EQ(copy.pubseekpos(2999), 2999);
    EXPECT_EQ(copy.sgetc(), pattern[2999]);
  }
  streamClose(buffered);
}

// Small and large pieces, single bytes, a seek back and a flush, over a stream that fails at
// every write or seek call or runs out of room at every size: whenever every call reported
// success the stream holds exactly the bytes of an undisturbed run, and a failure that
// stays (a full disk) is always reported.
TEST(IoWrapper, NoFailedWriteOrSeekPassesForSuccess) {
  const std::vector<uint8_t> large = test::Pattern(2500);
  const auto* large_bytes = reinterpret_cast<const char*>(large.data());
  struct Result {
    bool all_reported_success = true;
    bool failure_met = false;
    int writes = 0;
    int seeks = 0;
    std::vector<uint8_t> bytes;
  };
  const auto run = [&](const std::function<void(test::ProbeStream&)>& fail) {
    test::Probed probed("");
    fail(probed.Counts());
    Result result;
    {
      cIO_wrapper out(probed.Stream());
      const auto put = [&](const char* bytes, std::streamsize count) {
        if (out.sputn(bytes, count) != count) result.all_reported_success = false;
      };
      put("header", 6);
      for (int i = 0; i < 40; ++i) {
        const auto c = static_cast<char>('0' + i);
        if (out.sputc(c) != c) result.all_reported_success = false;
      }
      put(large_bytes, 2500);
      put(std::string(900, 'm').data(), 900);
      if (out.pubseekpos(3) != 3) result.all_reported_success = false;
      put("PATCH", 5);
      if (out.pubseekoff(0, std::ios_base::end) != 3446) result.all_reported_success = false;
      put(large_bytes, 1200);
      put("tail", 4);
      if (out.pubsync() != 0) result.all_reported_success = false;
    }
    result.failure_met = probed.Counts().failures > 0;
    result.writes = probed.Counts().writes;
    result.seeks = probed.Counts().seeks;
    result.bytes = test::StreamBytes(probed.Counts().inner);
    return result;
  };
  const Result whole = run([](test::ProbeStream&) {});
  ASSERT_TRUE(whole.all_reported_success);
  ASSERT_EQ(whole.bytes.size(), 4650U);
  for (int call = 0; call < std::max(whole.writes, whole.seeks); ++call) {
    for (const bool later_too : {false, true}) {
      SCOPED_TRACE("call " + std::to_string(call) + (later_too ? " and later" : " alone"));
      const Result write = run([&](test::ProbeStream& probe) {
        probe.fail_write_call = call;
        probe.fail_later_writes = later_too;
      });
      const Result seek = run([&](test::ProbeStream& probe) {
        probe.fail_seek_call = call;
        probe.fail_later_seeks = later_too;
      });
      for (const Result* result : {&write, &seek}) {
        if (result->all_reported_success) {
          EXPECT_EQ(result->bytes, whole.bytes);
        }
        if (later_too && result->failure_met) {
          EXPECT_FALSE(result->all_reported_success);
        }
      }
    }
  }
  for (int64_t room = 0; room < 4650; room += 97) {
    SCOPED_TRACE("room " + std::to_string(room));
    const Result full = run([room](test::ProbeStream& probe) { probe.writes_end_at = room; });
    EXPECT_TRUE(full.failure_met);
    EXPECT_FALSE(full.all_reported_success);
  }
}

// Large pieces go to the stream directly, small ones through the buffer: mixed, after a
// read and after a seek back, every byte lands where the one position says.
TEST(IoWrapper, LargeWritesKeepTheOnePosition) {
  const std::vector<uint8_t> large = test::Pattern(3000);
  const auto* large_bytes = reinterpret_cast<const char*>(large.data());
  test::StreamPtr out(memoryStreamNew());
  cIO_wrapper write(out.get());
  ASSERT_EQ(write.sputn("ab", 2), 2);
  ASSERT_EQ(write.sputn(large_bytes, 3000), 3000);
  ASSERT_EQ(write.sputn("cd", 2), 2);
  EXPECT_EQ(write.pubseekoff(0, std::ios_base::cur), 3004);
  ASSERT_EQ(write.pubseekpos(1), 1);
  ASSERT_EQ(write.sputn(std::string(1500, 'x').data(), 1500), 1500);
  ASSERT_EQ(write.sputn("y", 1), 1);
  ASSERT_EQ(write.pubsync(), 0);
  std::vector<uint8_t> expected = {'a'};
  expected.insert(expected.end(), 1500, 'x');
  expected.push_back('y');
  expected.insert(expected.end(), large.begin() + 1500, large.end());
  expected.push_back('c');
  expected.push_back('d');
  EXPECT_EQ(test::StreamBytes(out.get()), expected);

  // After reading ten bytes the piece replaces what follows them.
  test::StreamPtr both = test::MemoryStreamOf(test::Pattern(5000));
  cIO_wrapper read_write(both.get());
  char bytes[10];
  ASSERT_EQ(read_write.sgetn(bytes, 10), 10);
  ASSERT_EQ(read_write.sputn(std::string(2000, 'z').data(), 2000), 2000);
  EXPECT_EQ(read_write.pubseekoff(0, std::ios_base::cur), 2010);
  std::vector<uint8_t> mixed = test::Pattern(5000);
  std::fill_n(mixed.begin() + 10, 2000, 'z');
  EXPECT_EQ(test::StreamBytes(both.get()), mixed);

  // A short write reports what the stream took, and the position follows it.
  test::Probed probed("");
  probed.Counts().write_limit = 1200;
  cIO_wrapper short_write(probed.Stream());
  EXPECT_EQ(short_write.sputn(large_bytes, 3000), 1200);
  EXPECT_EQ(short_write.pubseekoff(0, std::ios_base::cur), 1200);
}

// The logger's acceptance rules: one change each against a recording that is accepted.
TEST(MdfReader, AcceptsOnlyTheLoggersFiles) {
  struct Case {
    const char* what;
    void (*change)(ImageSpec&);
    bool accepted;
  };
  const Case cases[] = {
      {"4.11", [](ImageSpec&) {}, true},
      {"4.20", [](ImageSpec& s) { s.version_text = "4.20", s.version = 420; }, true},
      {"4.10", [](ImageSpec& s) { s.version_text = "4.10", s.version = 410; }, false},
      {"5.11", [](ImageSpec& s) { s.version_text = "5.11", s.version = 511; }, false},
      {"program id padded", [](ImageSpec& s) { s.program = " QX  "; }, true},
      {"program id XQ", [](ImageSpec& s) { s.program = "XQ"; }, false},
      {"two file histories", [](ImageSpec& s) { s.histories.push_back(test::ImageHistory{}); }, false},
      {"no file history", [](ImageSpec& s) { s.histories.clear(); }, false},
      {"tool id qx", [](ImageSpec& s) { s.histories[0].tool_id = "qx"; }, false},
      {"a tool vendor", [](ImageSpec& s) { s.histories[0].tool_vendor = "Acme"; }, false},
      {"no tool id: no file-history comment", [](ImageSpec& s) { s.histories[0].comment = false; }, false},
      {"not MDF", [](ImageSpec& s) { s.file_id = "XYZ     "; }, false},
      {"unfinalized", [](ImageSpec& s) { s.file_id = "UnFinMF ", s.unfinalized_flags = 1; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec = SmallSpec();
    c.change(spec);
    Opened opened(test::BuildLoggerImage(spec));
    EXPECT_EQ(opened.reader != nullptr, c.accepted);
  }
  for (const bool unfinalized : {false, true}) {
    Opened fixture(test::LoggerFileBuilder(unfinalized).Build());
    EXPECT_NE(fixture.reader, nullptr);
  }
  Opened empty(std::vector<uint8_t>{});
  EXPECT_EQ(empty.reader, nullptr);
}

TEST(MdfReader, FileInfoFromTheHeader) {
  ImageSpec spec = SmallSpec();
  spec.start_ns = 1'500'000'000'123'456'789ULL;
  spec.tz_offset_min = -300;
  spec.dst_offset_min = 60;
  spec.time_flags = 0x03;  // every bit as it is, the pair the format forbids too
  Opened opened(test::BuildLoggerImage(spec));
  ASSERT_NE(opened.reader, nullptr);
  cFileInfo_t info{};
  mdfReaderGetFileInfo(opened.reader, &info);
  EXPECT_EQ(info.StartTime, 1'500'000'000'123'456'789ULL);  // to the ns
  EXPECT_EQ(info.TzOffsetMin, -300);
  EXPECT_EQ(info.DstOffsetMin, 60);
  EXPECT_EQ(info.TimeFlags, 0x03);
  EXPECT_STREQ(cStrData(&info.SerialNumber), "0000A1B2");
  EXPECT_EQ(info.Session, 17U);
  EXPECT_EQ(info.Split, 3U);
  // A second call replaces the serial number instead of leaking it.
  mdfReaderGetFileInfo(opened.reader, &info);
  EXPECT_STREQ(cStrData(&info.SerialNumber), "0000A1B2");
  fileInfoRelease(&info);
  mdfReaderGetFileInfo(opened.reader, nullptr);
  mdfReaderGetFileInfo(nullptr, &info);

  Opened fixture(test::LoggerFileBuilder(false).Build());
  mdfReaderGetFileInfo(fixture.reader, &info);
  EXPECT_STREQ(cStrData(&info.SerialNumber), "0000A1B2");
  EXPECT_EQ(info.Session, 17U);
  EXPECT_EQ(info.Split, 3U);
  fileInfoRelease(&info);
}

TEST(MdfReader, PropertiesCountOnlyInsideTrees) {
  struct Case {
    std::string comment;
    std::string serial;
    uint32_t session;
    uint32_t split;
  };
  const Case cases[] = {
      {test::HeaderCommentWith("S1", "4", "5", false), "", 0, 0},
      {test::HeaderCommentWith("S1", "", "x", true), "S1", 0, 0},
      {"<HDcomment><common_properties><tree name='a'><e name='session'>1</e></tree>"
       "<tree name='b'><e name='session'>2</e><e name='Split'>9</e></tree></common_properties></HDcomment>",
       "", 2, 0},  // a later match wins; names are compared exactly
      {"", "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.comment);
    ImageSpec spec = SmallSpec();
    spec.header_comment = c.comment;
    Opened opened(test::BuildLoggerImage(spec));
    ASSERT_NE(opened.reader, nullptr);
    cFileInfo_t info{};
    mdfReaderGetFileInfo(opened.reader, &info);
    EXPECT_EQ(cStrData(&info.SerialNumber), c.serial);
    EXPECT_EQ(info.Session, c.session);
    EXPECT_EQ(info.Split, c.split);
    EXPECT_EQ(info.StartTime, spec.start_ns);
    fileInfoRelease(&info);
  }
}

TEST(MdfReader, MetadataOfTheFile) {
  ImageSpec spec = SmallSpec();
  spec.groups.push_back(test::PlainLinGroup(2, 0));
  spec.groups.push_back(test::PlainErrorGroup(3, 0));
  spec.groups[0].source_comment = "<SIcomment><TX>CAN bus</TX></SIcomment>";
  spec.groups[1].source_comment = "<SIcomment><TX>LIN bus</TX></SIcomment>";
  spec.groups[2].source_comment = spec.groups[0].source_comment;  // the same text again is fine
  Opened opened(test::BuildLoggerImage(spec));
  ASSERT_NE(opened.reader, nullptr);
  cMdfMetadata_t* metadata = mdfReaderGetMetadata(opened.reader);
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(metadata->HeaderComment, spec.header_comment);
  EXPECT_EQ(metadata->FileHistoryComment, test::HistoryComment(spec.histories[0]));
  EXPECT_EQ(metadata->FileHistoryTime, spec.start_ns);
  EXPECT_EQ(metadata->FileHistoryText, "Recorded");
  EXPECT_EQ(metadata->ToolId, "QX");
  EXPECT_EQ(metadata->ToolVendor, "");
  EXPECT_EQ(metadata->ToolVersion, "01.07.02");
  EXPECT_EQ(metadata->CanSourceComment, spec.groups[0].source_comment);
  EXPECT_EQ(metadata->LinSourceComment, spec.groups[1].source_comment);
  mdfMetadataFree(metadata);
}

TEST(MdfReader, MetadataRules) {
  struct Case {
    const char* what;
    void (*change)(ImageSpec&);
    bool given;
    const char* can_comment;
  };
  const Case cases[] = {
      {"different CAN comments",
       [](ImageSpec& s) {
         s.groups.push_back(test::ComposedCanGroup(2, 0));
         s.groups[1].source_comment = "<SIcomment><TX>other</TX></SIcomment>";
       },
       false, ""},
      {"a group that is no plain bus event",
       [](ImageSpec& s) {
         s.groups.push_back(test::ComposedCanGroup(2, 0));
         s.groups[1].flags = 0x02;
         s.groups[1].source_comment = "<SIcomment><TX>other</TX></SIcomment>";
       },
       true, "<SIcomment><TX>CAN bus</TX></SIcomment>"},
      {"no header comment", [](ImageSpec& s) { s.header_comment.clear(); }, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec = SmallSpec();
    spec.groups[0].source_comment = "<SIcomment><TX>CAN bus</TX></SIcomment>";
    c.change(spec);
    Opened opened(test::BuildLoggerImage(spec));
    ASSERT_NE(opened.reader, nullptr);
    cMdfMetadata_t* metadata = mdfReaderGetMetadata(opened.reader);
    EXPECT_EQ(metadata != nullptr, c.given);
    if (metadata != nullptr) {
      EXPECT_EQ(metadata->CanSourceComment, c.can_comment);
    }
    mdfMetadataFree(metadata);
  }
  EXPECT_EQ(mdfReaderGetMetadata(nullptr), nullptr);
}

}  // namespace
