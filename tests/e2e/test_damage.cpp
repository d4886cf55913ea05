// Damaged inputs end to end: the built logmend with "-d" over damaged copies of the example
// recordings (truncations and byte flips at a stride, links that lie) and over the damaged
// reproducers. An input it removes must have an output with every frame of the undamaged
// recording; a damaged input is kept with status 8 and one line naming its first damage.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "e2e/logmendrun.h"

namespace {

using namespace e2e;  // NOLINT(google-build-using-namespace): the kit is this file's vocabulary

constexpr const char* kFinalized = "0000ABCD/00000001/00000001.MF4";
constexpr const char* kUnfinalized = "0000ABCD/00000001/00000002.MF4";
constexpr const char* kCompressed = "0000ABCD/00000002/00000001.MFC";

std::string Example(const std::string& name) { return test::ReadWholeFile(std::string(LOGMEND_EXAMPLES) + "/" + name); }

/// Frames per kind, as a reader of the file sees them.
std::map<int, size_t> KindsOf(const std::vector<Frame>& frames) {
  std::map<int, size_t> kinds;
  for (const Frame& frame : frames) ++kinds[frame.kind];
  return kinds;
}

uint64_t LoadLe(const std::string& bytes, size_t at, size_t size = 8) {
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + at, size);
  return value;
}

void StoreLe(std::string& bytes, size_t at, uint64_t value) { std::memcpy(&bytes[at], &value, sizeof value); }

/// A link field of a block: where the block starts and where the field lies.
struct LinkField {
  uint64_t block;
  size_t at;
};

/// The non-zero links of every MDF 4 block the header reaches, each block once.
std::vector<LinkField> LinkFields(const std::string& file) {
  std::vector<LinkField> fields;
  std::set<uint64_t> seen;
  std::vector<uint64_t> open = {64};
  while (!open.empty()) {
    const uint64_t block = open.back();
    open.pop_back();
    if (block + 24 > file.size() || file.compare(block, 2, "##") != 0 || !seen.insert(block).second) continue;
    const uint64_t count = LoadLe(file, block + 16);
    for (uint64_t i = 0; i < count && block + 32 + 8 * i <= file.size(); ++i) {
      const size_t at = block + 24 + 8 * i;
      const uint64_t link = LoadLe(file, at);
      if (link == 0) continue;
      fields.push_back({block, at});
      open.push_back(link);
    }
  }
  return fields;
}

struct Damaged {
  std::string name;
  std::string bytes;
};

void AddTruncations(const std::string& label, const std::string& file, size_t stride, std::vector<Damaged>& out) {
  for (size_t size = 0; size < file.size(); size += stride) {
    out.push_back({label + "-cut-" + std::to_string(size), file.substr(0, size)});
  }
}

void AddFlips(const std::string& label, const std::string& file, size_t stride, std::vector<Damaged>& out) {
  for (size_t at = 0; at < file.size(); at += stride) {
    std::string bytes = file;
    bytes[at] = static_cast<char>(bytes[at] ^ 0xFF);
    out.push_back({label + "-flip-" + std::to_string(at), bytes});
  }
}

/// Each link made to lead back to its own block, and with `all`, past the end of the file and
/// to the header too.
void AddLyingLinks(const std::string& label, const std::string& file, bool all, std::vector<Damaged>& out) {
  for (const LinkField& field : LinkFields(file)) {
    const std::pair<const char*, uint64_t> lies[] = {
        {"self", field.block}, {"past-end", file.size() + 8}, {"header", 64}};
    for (const auto& [lie, value] : lies) {
      if (!all && value != field.block) continue;
      if (value == LoadLe(file, field.at) || (value == 64 && field.block == 64)) continue;
      std::string bytes = file;
      StoreLe(bytes, field.at, value);
      out.push_back({label + "-link-" + std::to_string(field.at) + "-" + lie, bytes});
    }
  }
}

/// Where the records of the kit's logger layout start: in the DT block that the header's data
/// group links, after its header.
size_t RecordsStart(const std::string& file) { return LoadLe(file, LoadLe(file, 64 + 24) + 24 + 16) + 24; }

/// Frames per kind of the whole records before `size` bytes of an unfinalized example: what a
/// recording whose logger lost power there holds. Its layout is the kit's logger layout.
std::map<int, size_t> WholeRecordsBefore(const std::string& file, size_t size) {
  using Writer = test::LoggerRecordingWriter;
  std::map<int, size_t> kinds;
  for (size_t at = RecordsStart(file); at < size;) {
    const auto id = static_cast<uint8_t>(file[at]);
    size_t length = 1 + (id == Writer::kCanRecordId ? Writer::kCanRecordBytes : Writer::kLinRecordBytes);
    if (id == Writer::kVlsdRecordId) {
      if (at + 5 > size) break;
      length = 5 + LoadLe(file, at + 1, 4);
    }
    if (at + length > size) break;
    if (id != Writer::kVlsdRecordId) ++kinds[id == Writer::kCanRecordId ? kBusMsgCanDataFrame : kBusMsgLinFrame];
    at += length;
  }
  return kinds;
}

/// Writes the damaged copies into "in", runs "logmend -d in" and checks the output of every
/// input it removed: `expected(input)` gives the frames of each kind it must hold.
class DamagedInputs : public LogmendRun {
 protected:
  template <typename Expected>
  test::ProgramResult RunAndCheckRemoved(const std::vector<Damaged>& inputs, Expected&& expected) {
    for (const Damaged& input : inputs) Write("in/" + input.name + ".MF4", input.bytes);
    const test::ProgramResult result = Run({"-d", "in"});
    for (const Damaged& input : inputs) {
      if (Exists("in/" + input.name + ".MF4")) {
        ++kept_;
        continue;
      }
      ++removed_;
      const std::string output = "in_out/" + input.name + "_out.MF4";
      EXPECT_EQ(KindsOf(ReadFrames(dir_.Path(output))), expected(input)) << input.name << " was removed";
    }
    // What any output holds, of a damaged input too, reads back.
    ExpectCheckerAcceptsEach("in_out");
    return result;
  }
  size_t removed_ = 0;
  size_t kept_ = 0;
};

// The sweep: what "-d" removes was read whole, whatever the damage; the rest is kept with
// status 8 (4 for a container that does not decompress).
TEST_F(DamagedInputs, DeleteConvertedRemovesADamagedExampleOnlyWithEveryFrame) {
  const std::string finalized = Example(kFinalized);
  const std::string unfinalized = Example(kUnfinalized);
  const std::string compressed = Example(kCompressed);
  std::vector<Damaged> inputs;
  AddTruncations("f", finalized, 307, inputs);
  AddFlips("f", finalized, 211, inputs);
  AddLyingLinks("f", finalized, true, inputs);
  AddFlips("u", unfinalized, 211, inputs);
  AddLyingLinks("u", unfinalized, false, inputs);
  AddTruncations("c", compressed, 503, inputs);
  AddFlips("c", compressed, 293, inputs);
  std::map<char, std::map<int, size_t>> whole;
  whole['f'] = KindsOf(ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + kFinalized));
  whole['u'] = KindsOf(ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + kUnfinalized));
  Write("whole/c.MF4", compressed);  // a recording of its own, in a container our reader does not open
  ASSERT_EQ(Run({"whole"}).status, 0);
  whole['c'] = KindsOf(ReadFrames(dir_.Path("whole_out/c_out.MF4")));
  for (const char label : {'f', 'u', 'c'}) ASSERT_EQ(whole[label].size(), 2U) << label;

  const test::ProgramResult result =
      RunAndCheckRemoved(inputs, [&whole](const Damaged& input) { return whole[input.name[0]]; });
  EXPECT_EQ(result.status, 8 | 4) << result.err.substr(0, 4000);
  // Damage must be seen as such, and what is not damage (a flipped data byte) converts.
  EXPECT_GT(kept_, inputs.size() / 2);
  EXPECT_GT(removed_, inputs.size() / 10);
}

// An unfinalized recording ends where its logger lost power: a cut into its records is no
// damage, and gives the frames of the records it holds whole; a cut into its blocks is damage.
TEST_F(DamagedInputs, ACutUnfinalizedRecordingGivesTheFramesItHoldsWhole) {
  const std::string unfinalized = Example(kUnfinalized);
  std::vector<Damaged> inputs;
  AddTruncations("u", unfinalized, 97, inputs);
  const test::ProgramResult result = RunAndCheckRemoved(
      inputs, [&unfinalized](const Damaged& input) { return WholeRecordsBefore(unfinalized, input.bytes.size()); });
  EXPECT_EQ(result.status, 8) << result.err.substr(0, 4000);
  for (const Damaged& input : inputs) {
    // A cut before the records leaves a block torn or missing: damage.
    if (input.bytes.size() < RecordsStart(unfinalized)) {
      EXPECT_TRUE(Exists("in/" + input.name + ".MF4")) << input.name;
    }
  }
  EXPECT_GT(removed_, 0U);
  EXPECT_GT(kept_, 0U);
}

// The reproducers of damaged recordings that "-d" used to delete: each is kept with status 8
// and one line that names it and its first damage.
TEST_F(LogmendRun, EachDamagedReproducerIsKeptWithOneLineNamingItsDamage) {
  const std::vector<std::string> names = {"delete-damaged-cut-3072.MF4", "delete-damaged-dt-length-0.MF4",
                                          "delete-damaged-first-dg-link-negative.MF4",
                                          "delete-damaged-tx-linkcount-1.MF4", "vlsd-cg-next-self.MF4"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
    const test::ProgramResult result = Run({"-d", name});
    EXPECT_EQ(result.status, 8);
    EXPECT_TRUE(Exists(name));
    const std::string lead = "E Damaged input file " + name + ": ";
    size_t lines = 0;
    for (const std::string& line : result.Lines()) lines += line.rfind(lead, 0) == 0 && line.size() > lead.size();
    EXPECT_EQ(lines, 1U) << result.err;
  }
}

// A comment of the input that cannot be read (a byte that is no UTF-8 in the header comment,
// in the root tag of the CAN source's comment) is damage: the input is kept with one line
// naming it, and its output holds every frame, what could be read of the comment and nothing
// that a reader could not read.
TEST_F(LogmendRun, AnUnreadableCommentIsDamageAndTheOutputKeepsWhatCouldBeRead) {
  const struct {
    const char* name;
    const char* example;
    const char* damage;
    const char* header_holds;        // in the output's header comment
    const char* can_source_comment;  // its start; "": none
  } cases[] = {
      // The byte breaks the last closing tag of the header comment: every property stays.
      {"comment-not-utf8-hd.MF4", kFinalized, "Text that is not valid UTF-8. Block: 0xA8, Byte: 444",
       "<e name='serial number' type='string' ro='true'>0000ABCD</e>", "<SIcomment><TX>CAN bus</TX>"},
      {"comment-not-utf8-fh.MF4", kUnfinalized, "Text that is not valid UTF-8. Block: 0x3D0, Byte: 7",
       "<e name='split' type='integer' ro='true'>2</e>", ""},
  };
  for (const auto& c : cases) {
    Write(std::string("in/") + c.name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + c.name));
  }
  const test::ProgramResult result = Run({"-d", "in"});
  EXPECT_EQ(result.status, 8) << result.err;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(Exists(std::string("in/") + c.name));
    const std::string lead = std::string("E Damaged input file in/") + c.name + ": ";
    size_t lines = 0;
    for (const std::string& line : result.Lines()) lines += line.rfind(lead, 0) == 0;
    EXPECT_EQ(lines, 1U) << result.err;
    EXPECT_TRUE(HasLine(result, lead + c.damage)) << result.err;
    // What was kept of the comment parses: no later read of it reports the damage again.
    EXPECT_EQ(result.err.find("XML parser error"), std::string::npos) << result.err;

    const std::string output =
        dir_.Path("in_out/" + std::string(c.name).substr(0, std::strlen(c.name) - 4) + "_out.MF4");
    EXPECT_EQ(ReadFrames(output), ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + c.example));
    cStream_t* stream = fileStreamOpen(output.c_str(), kFileStreamRead);
    ASSERT_NE(stream, nullptr);
    cMdfReader_t* reader = mdfReaderOpen(stream);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(mdfReaderFirstDamage(reader), nullptr);
    cMdfMetadata_t* metadata = mdfReaderGetMetadata(reader);
    ASSERT_NE(metadata, nullptr);
    EXPECT_NE(metadata->HeaderComment.find(c.header_holds), std::string::npos) << metadata->HeaderComment;
    if (*c.can_source_comment == '\0') {
      EXPECT_EQ(metadata->CanSourceComment, "");  // nothing of it could be read
    } else {
      EXPECT_EQ(metadata->CanSourceComment.rfind(c.can_source_comment, 0), 0U) << metadata->CanSourceComment;
    }
    EXPECT_EQ(metadata->LinSourceComment.rfind("<SIcomment><TX>LIN bus</TX>", 0), 0U) << metadata->LinSourceComment;
    mdfMetadataFree(metadata);
    mdfReaderClose(reader);
    streamClose(stream);
  }
  EXPECT_EQ(ExpectCheckerAcceptsEach("in_out"), test::Mdf4CheckTool().empty() ? 0U : 2U);
}

// A channel group whose next link leads back to itself ends its chain there: the records of
// the groups cut off are no records of the one left, which keeps only what is its own.
TEST_F(LogmendRun, AChannelGroupChainThatMeetsItselfDecodesNoRecordWithAnotherLayout) {
  const std::string name = "vlsd-cg-next-self.MF4";
  Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
  const test::ProgramResult result = Run({name});
  EXPECT_EQ(result.status, 8);
  EXPECT_TRUE(HasLine(result, "E Damaged input file " + name +
                                  ": Stopped reading a cyclic block chain. Position: 0x14E8, Block: 0x14E8"))
      << result.err;
  // The reproducer is the unfinalized example with that one link changed.
  std::set<std::tuple<int, int, uint32_t, uint64_t>> recorded;
  for (const Frame& frame : ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + kUnfinalized)) {
    recorded.insert({frame.kind, frame.channel, frame.id, frame.time_us});
  }
  const std::vector<Frame> written = ReadFrames(dir_.Path("vlsd-cg-next-self_out.MF4"));
  for (const Frame& frame : written) {
    EXPECT_EQ(recorded.count({frame.kind, frame.channel, frame.id, frame.time_us}), 1U) << frame;
  }
}

}  // namespace
