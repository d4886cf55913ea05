// Damaged inputs end to end: the built logmend with "-d" over damaged copies of the example
// recordings (truncations and byte flips at a stride, links that lie) and over the damaged
// reproducers. An input it removes must have an output with every frame of the undamaged
// recording; a damaged input is kept with status 8 and one line naming its first damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "e2e/logmendrun.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "support/tornrecording.h"

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

/// Where the whole frames before `size` bytes of an unfinalized example end, and their count
/// per kind: what a recording whose logger lost power there holds. Its layout is the kit's
/// logger layout, where each CAN frame's payload follows its record: a frame whose payload is
/// not whole is no frame yet.
struct WholeFrames {
  size_t end;
  std::map<int, size_t> kinds;
};

WholeFrames WholeFramesBefore(const std::string& file, size_t size) {
  using Writer = test::LoggerRecordingWriter;
  WholeFrames whole{RecordsStart(file), {}};
  for (size_t at = whole.end; at < size;) {
    const auto id = static_cast<uint8_t>(file[at]);
    size_t length = 1 + (id == Writer::kCanRecordId ? Writer::kCanRecordBytes : Writer::kLinRecordBytes);
    if (id == Writer::kVlsdRecordId) {
      if (at + 5 > size) break;
      length = 5 + LoadLe(file, at + 1, 4);
    }
    if (at + length > size) break;
    at += length;
    if (id == Writer::kCanRecordId) continue;  // counted with its payload
    ++whole.kinds[id == Writer::kVlsdRecordId ? kBusMsgCanDataFrame : kBusMsgLinFrame];
    whole.end = at;
  }
  return whole;
}

std::map<int, size_t> WholeRecordsBefore(const std::string& file, size_t size) {
  return WholeFramesBefore(file, size).kinds;
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

// An unfinalized recording ends where its logger lost power: a cut into its records or into
// the header of its DT block is no damage, and gives the frames it holds whole; a cut into its
// other blocks is damage.
TEST_F(DamagedInputs, ACutUnfinalizedRecordingGivesTheFramesItHoldsWhole) {
  const std::string unfinalized = Example(kUnfinalized);
  std::vector<Damaged> inputs;
  AddTruncations("u", unfinalized, 97, inputs);
  const test::ProgramResult result = RunAndCheckRemoved(
      inputs, [&unfinalized](const Damaged& input) { return WholeRecordsBefore(unfinalized, input.bytes.size()); });
  EXPECT_EQ(result.status, 8) << result.err.substr(0, 4000);
  for (const Damaged& input : inputs) {
    // A cut before the DT block leaves a block torn or missing: damage. A cut into its header
    // is the torn end of a recording whose first block was begun.
    if (input.bytes.size() < RecordsStart(unfinalized) - 24) {
      EXPECT_TRUE(Exists("in/" + input.name + ".MF4")) << input.name;
    }
  }
  EXPECT_GT(removed_, 0U);
  EXPECT_GT(kept_, 0U);
}

// The reproducers of damaged recordings that "-d" used to delete: each is kept with status 8
// and one line that names it and its first damage.
TEST_F(LogmendRun, EachDamagedReproducerIsKeptWithOneLineNamingItsDamage) {
  const std::vector<std::string> names = {"delete-damaged-cut-3072.MF4",
                                          "delete-damaged-dt-length-0.MF4",
                                          "delete-damaged-first-dg-link-negative.MF4",
                                          "delete-damaged-tx-linkcount-1.MF4",
                                          "vlsd-cg-next-self.MF4",
                                          "bitcount-wrap-shift.MF4"};
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

// A zipped data block is inflated in bounded pieces as its records are read, whatever
// original length it claims: under an address-space limit far below that length, the
// recording of one zipped block converts whole, and one whose block inflates to its records
// and 256 MiB of zeros is kept for the zeros it cannot frame, not for memory running short.
TEST_F(LogmendRun, ZippedBlocksAreReadInBoundedMemoryWhateverTheyClaim) {
  const auto run_limited = [this](const std::string& name) {
#ifdef LOGMEND_SANITIZED
    return Run({"-d", name});  // the sanitizers reserve more address space than any limit
#else
    return test::RunProgram("/bin/sh", {"-c", "ulimit -v 160000 && exec \"$0\" \"$@\"", LOGMEND_BINARY, "-d", name},
                            dir_.Path(), dir_.Path());
#endif
  };
  {
    const std::string name = "dz-plain.MF4";
    Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
    const test::ProgramResult result = run_limited(name);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(Exists(name));
    EXPECT_EQ(ReadFrames(dir_.Path("dz-plain_out.MF4")).size(), 240U);
  }
  {
    const std::string name = "dz-records-then-256mb-zeros.MF4";
    Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
    const test::ProgramResult result = run_limited(name);
    EXPECT_EQ(result.status, 8);
    EXPECT_TRUE(Exists(name));
    EXPECT_TRUE(
        HasLine(result, "E Damaged input file " + name + ": Parse of record failed. Error: No channel group found."))
        << result.err;
    EXPECT_EQ(result.err.find("memory"), std::string::npos) << result.err;
  }
}

// Channels whose bits no record holds (bit counts near 2^32 once wrapped a 32-bit guard of
// the decoding) are damage, each reported as it is read, after the first damage of the file.
TEST_F(LogmendRun, ChannelsWhoseBitsNoRecordHoldsAreReportedAndTheInputKept) {
  const std::string name = "bitcount-wrap-shift.MF4";
  Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
  const test::ProgramResult result = Run({"-d", name});
  EXPECT_EQ(result.status, 8);
  EXPECT_TRUE(Exists(name));
  // Its data link leads to two bytes at the end of the file (control characters, written escaped).
  EXPECT_TRUE(
      HasLine(result, "E Damaged input file " + name +
                          ": Unexpected block type. Expected: a data block, Found: \\x16\\x03, Position: 0x1590, "
                          "Block: 0x1550"))
      << result.err;
  for (const std::string damage :
       {"Channel bits outside the record. Channel: CAN_DataFrame.DataLength, Byte offset: 29439, Bit offset: 0, Bit "
        "count: 2147483656, Record bytes: 23, Block: 0x6A0",
        "Channel bits outside the record. Channel: CAN_DataFrame.BRS, Byte offset: 13, Bit offset: 5, Bit count: "
        "4294967295, Record bytes: 23, Block: 0x840"}) {
    size_t lines = 0;
    for (const std::string& line : result.Lines()) {
      lines += line.rfind("E ", 0) == 0 && line.size() > damage.size() &&
               line.compare(line.size() - damage.size(), damage.size(), damage) == 0;
    }
    EXPECT_EQ(lines, 1U) << damage << '\n' << result.err;
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

/// The channel block of that name, found by walking the blocks in the file; 0 when none.
size_t ChannelBlock(const std::string& file, const std::string& name) {
  for (size_t at = file.find("##CN"); at != std::string::npos; at = file.find("##CN", at + 4)) {
    const uint64_t text = LoadLe(file, at + 24 + 16);  // the name link
    if (text == 0 || text + 24 > file.size() || file.compare(text, 4, "##TX") != 0) continue;
    if (file.compare(text + 24, name.size() + 1, name + '\0') == 0) return at;
  }
  return 0;
}

// A bit count that its record cannot hold, in a recording whose only damage it is: the
// input is kept with status 8 and the channel named once, as the reader met it, and once
// as the input's damage. Counts near 2^32 once wrapped the decoder's 32-bit guard.
TEST_F(LogmendRun, AChannelWhoseBitsNoRecordHoldsIsTheDamageOfAnUnfinalizedRecording) {
  const std::string unfinalized = Example(kUnfinalized);
  struct Case {
    const char* channel;
    uint32_t bits;
    const char* damage;
  };
  const std::vector<Case> cases = {
      {"CAN_DataFrame.BRS", 0xFFFFFFFF,
       "Channel bits outside the record. Channel: CAN_DataFrame.BRS, Byte offset: 13, Bit offset: 5, Bit count: "
       "4294967295, Record bytes: 23, Block: 0x"},
      {"CAN_DataFrame.DataLength", 0x80000008,
       "Channel bits outside the record. Channel: CAN_DataFrame.DataLength, Byte offset: 14, Bit offset: 0, Bit "
       "count: 2147483656, Record bytes: 23, Block: 0x"},
      {"LIN_Frame.ID", 100,
       "Channel bits outside the record. Channel: LIN_Frame.ID, Byte offset: 9, Bit offset: 0, Bit count: 100, "
       "Record bytes: 19, Block: 0x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    std::string bytes = unfinalized;
    const size_t block = ChannelBlock(bytes, c.channel);
    ASSERT_NE(block, 0U);
    const size_t bit_count = block + 24 + 8 * LoadLe(bytes, block + 16) + 8;  // after the links and 8 bytes of fields
    ASSERT_NE(LoadLe(bytes, bit_count, 4), c.bits);
    std::memcpy(&bytes[bit_count], &c.bits, sizeof c.bits);
    const std::string name = std::string(c.channel) + ".MF4";
    Write(name, bytes);
    const test::ProgramResult result = Run({"-d", name});
    EXPECT_EQ(result.status, 8);
    EXPECT_TRUE(Exists(name));
    const std::string input_line = "E Damaged input file " + name + ": " + c.damage;
    size_t as_input = 0;
    size_t as_read = 0;
    for (const std::string& line : result.Lines()) {
      as_input += line.rfind(input_line, 0) == 0;
      as_read +=
          line.rfind("E ", 0) == 0 && line.rfind("E Damaged", 0) != 0 && line.find(c.damage) != std::string::npos;
    }
    EXPECT_EQ(as_input, 1U) << result.err;
    EXPECT_EQ(as_read, 1U) << result.err;
  }
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

// ---- Blocks shorter than their type, blocks past the end of the file, XML nested too deep ----

/// Every MDF 4 block the header reaches, each once: where it starts.
std::vector<uint64_t> BlocksOf(const std::string& file) {
  std::vector<uint64_t> blocks;
  std::set<uint64_t> seen;
  std::vector<uint64_t> open = {64};
  while (!open.empty()) {
    const uint64_t block = open.back();
    open.pop_back();
    if (block + 24 > file.size() || file.compare(block, 2, "##") != 0 || !seen.insert(block).second) continue;
    blocks.push_back(block);
    const uint64_t count = LoadLe(file, block + 16);
    for (uint64_t i = 0; i < count && block + 32 + 8 * i <= file.size(); ++i) {
      if (const uint64_t link = LoadLe(file, block + 24 + 8 * i); link != 0) open.push_back(link);
    }
  }
  std::sort(blocks.begin(), blocks.end());
  return blocks;
}

// Every block of both examples with 1 to 3 links fewer than it has, and with a length that runs
// one byte past the end of the file: each example's blocks have exactly the links their types
// lay out, so each fewer is damage; so is a length past the end, but in the last DT block of
// the unfinalized example, which is still growing when its logger loses power. An input "-d"
// removes holds every frame of the undamaged example.
TEST_F(LogmendRun, EveryBlockShorterThanItsTypeOrLongerThanTheFileIsDamage) {
  struct Variant {
    std::string name;
    bool torn_end;  // the unfinalized example's last DT: no damage
  };
  std::map<std::string, std::vector<Frame>> whole;
  std::vector<Variant> variants;
  for (const auto& [label, example] : {std::pair<std::string, const char*>{"f", kFinalized}, {"u", kUnfinalized}}) {
    const std::string file = Example(example);
    whole[label] = ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + example);
    ASSERT_FALSE(whole[label].empty());
    const std::vector<uint64_t> blocks = BlocksOf(file);
    ASSERT_GT(blocks.size(), 50U) << label;
    for (const uint64_t block : blocks) {
      const std::string at = label + "-" + std::to_string(block);
      const uint64_t links = LoadLe(file, block + 16);
      for (uint64_t fewer = 1; fewer <= 3 && fewer <= links; ++fewer) {
        std::string bytes = file;
        StoreLe(bytes, block + 16, links - fewer);
        variants.push_back({at + "-links-" + std::to_string(links - fewer), false});
        Write("in/" + variants.back().name + ".MF4", bytes);
      }
      std::string bytes = file;
      StoreLe(bytes, block + 8, file.size() - block + 1);
      const bool last_dt = label == "u" && block == blocks.back() && file.compare(block, 4, "##DT") == 0;
      variants.push_back({at + "-past-end", last_dt});
      Write("in/" + variants.back().name + ".MF4", bytes);
    }
  }
  const test::ProgramResult result = Run({"-d", "in"});
  EXPECT_EQ(result.status, 8);
  size_t torn_ends = 0;
  for (const Variant& variant : variants) {
    SCOPED_TRACE(variant.name);
    const std::string input = "in/" + variant.name + ".MF4";
    torn_ends += variant.torn_end;
    EXPECT_EQ(Exists(input), !variant.torn_end);
    // A header the reader cannot open is named by the library's line alone, without the
    // damage line of an input that opened.
    size_t failed = 0;
    size_t damaged = 0;
    for (const std::string& line : result.Lines()) {
      failed += line == "E Error during conversion of " + input;
      damaged += line.rfind("E Damaged input file " + input + ": ", 0) == 0;
    }
    EXPECT_EQ(failed, variant.torn_end ? 0U : 1U);
    EXPECT_LE(damaged, failed);
    if (!Exists(input)) {
      EXPECT_EQ(ReadFrames(dir_.Path("in_out/" + variant.name + "_out.MF4")), whole[variant.name.substr(0, 1)]);
    }
    if (HasFailure()) return;
  }
  EXPECT_EQ(torn_ends, 1U);
  ExpectCheckerAcceptsEach("in_out");
}

// The reproducers of blocks shorter than their type, of a list block whose length runs past the
// end of the file, and of header comments nested deeper than the XML bound: each is kept with
// one line naming its damage. A comment nested too deep keeps all but the levels below the
// bound, so its properties are read and every frame converted.
TEST_F(LogmendRun, BlocksShorterThanTheirTypeAndCommentsNestedTooDeepAreDamage) {
  const std::string tree_read = "Failed to read the file information blocks. Error: ";
  const std::string too_deep = "XML that is not well-formed. Block: 0x3B10, ";
  const struct {
    const char* name;
    std::string damage;
    size_t can;
    size_t lin;
  } cases[] = {
      // The channel's fields would be read from where its links were: the read ends before it,
      // and the group whose channels it cut gives no frame (nor does any group read after it).
      {"cn-link-count-5-finalized.MF4",
       tree_read + "Block with fewer links than its type. Block: 0x5C8, Type: CN, Links: 5, Expected: 8", 0, 0},
      {"cn-link-count-5-unfinalized.MF4",
       tree_read + "Block with fewer links than its type. Block: 0x5C8, Type: CN, Links: 5, Expected: 8", 0, 0},
      {"lin-cn-link-count-3-finalized.MF4",
       tree_read + "Block with fewer links than its type. Block: 0xEC0, Type: CN, Links: 3, Expected: 8", 212, 0},
      // A data list of no links: whatever its length claims, the data blocks are not found.
      {"dl-length-past-end-hides-data.MF4",
       tree_read + "Block with fewer links than its type. Block: 0xF80, Type: DL, Links: 0, Expected: 1", 0, 0},
      {"dl-links-0-control.MF4",
       tree_read + "Block with fewer links than its type. Block: 0xF80, Type: DL, Links: 0, Expected: 1", 0, 0},
      {"comment-nested-257-before-properties.MF4",
       too_deep + "Line: 2, Column: 767, Error: elements nested deeper than 256 levels", 212, 28},
      {"comment-nested-257-after-properties.MF4",
       too_deep + "Line: 13, Column: 765, Error: elements nested deeper than 256 levels", 212, 28},
  };
  for (const auto& c : cases) {
    Write(std::string("in/") + c.name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + c.name));
  }
  const test::ProgramResult result = Run({"-d", "in"});
  EXPECT_EQ(result.status, 8) << result.err;
  const std::vector<Frame> recorded = ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + kFinalized);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    EXPECT_TRUE(Exists("in/" + name));
    const std::string lead = "E Damaged input file in/" + name + ": ";
    size_t lines = 0;
    for (const std::string& line : result.Lines()) lines += line.rfind(lead, 0) == 0;
    EXPECT_EQ(lines, 1U) << result.err;
    EXPECT_TRUE(HasLine(result, lead + c.damage)) << result.err;
    const std::string output = dir_.Path("in_out/" + name.substr(0, name.size() - 4) + "_out.MF4");
    const std::vector<Frame> written = ReadFrames(output);
    EXPECT_EQ(KindsOf(written)[kBusMsgCanDataFrame], c.can);
    EXPECT_EQ(KindsOf(written)[kBusMsgLinFrame], c.lin);
    // Every frame written is one recorded, data bytes and all: none decoded without its channels.
    EXPECT_TRUE(std::includes(recorded.begin(), recorded.end(), written.begin(), written.end()));
  }
  // A comment nested too deep: every frame, and the header comment with the properties that
  // follow the levels below the bound, in an output that reads without damage.
  for (const char* name : {"comment-nested-257-before-properties", "comment-nested-257-after-properties"}) {
    SCOPED_TRACE(name);
    const std::string output = dir_.Path(std::string("in_out/") + name + "_out.MF4");
    EXPECT_EQ(ReadFrames(output), recorded);
    cStream_t* stream = fileStreamOpen(output.c_str(), kFileStreamRead);
    ASSERT_NE(stream, nullptr);
    cMdfReader_t* reader = mdfReaderOpen(stream);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(mdfReaderFirstDamage(reader), nullptr);
    cMdfMetadata_t* metadata = mdfReaderGetMetadata(reader);
    ASSERT_NE(metadata, nullptr);
    EXPECT_NE(metadata->HeaderComment.find("<e name='serial number' type='string' ro='true'>0000ABCD</e>"),
              std::string::npos);
    EXPECT_NE(metadata->HeaderComment.find("<e name='split' type='integer' ro='true'>1</e>"), std::string::npos);
    mdfMetadataFree(metadata);
    mdfReaderClose(reader);
    streamClose(stream);
  }
  ExpectCheckerAcceptsEach("in_out");
}
}  // namespace

// ---- Damage in an unfinalized recording is never taken for the end a power loss left ----

namespace {

/// Frames per kind of an output, from the cycle counts of its channel groups: outputs are read
/// back record by record elsewhere, and thousands of them would take minutes that way.
std::map<int, size_t> KindCountsOf(const std::string& path) {
  std::map<int, size_t> kinds;
  mdf::MdfReader reader(path);
  if (reader.GetFile() == nullptr || !reader.ReadEverythingButData()) return kinds;
  mdf::DataGroupList data_groups;
  reader.GetFile()->DataGroups(data_groups);
  for (const mdf::IDataGroup* data_group : data_groups) {
    for (const mdf::IChannelGroup* group : data_group->ChannelGroups()) {
      const cBusMsgType_t kind = cMdfReader_t::getGroupType(group);
      if (kind != kBusMsgUnknown && group->NofSamples() > 0) kinds[kind] += group->NofSamples();
    }
  }
  return kinds;
}

/// The inputs of a run without "-d" that failed, by their names below "in/", and those among
/// them that failed for damage.
struct Failures {
  std::set<std::string> failed;
  std::set<std::string> damaged;
};

Failures FailuresOf(const test::ProgramResult& result) {
  Failures failures;
  const std::string failed = "E Error during conversion of in/";
  const std::string damaged = "E Damaged input file in/";
  for (const std::string& line : result.Lines()) {
    if (line.rfind(failed, 0) == 0) failures.failed.insert(line.substr(failed.size()));
    if (line.rfind(damaged, 0) == 0) {
      failures.damaged.insert(line.substr(damaged.size(), line.find(": ") - damaged.size()));
    }
  }
  return failures;
}

// The unfinalized example with one change each: what finalization meets that a power loss does
// not leave is damage, kept with status 8 and one line, its output holding the frames that
// could be read and no other. An identification in lower case is one the reader accepts, so
// that recording is finalized as one and converts whole.
TEST_F(LogmendRun, DamageInAnUnfinalizedRecordingIsNeverTakenForItsTornEnd) {
  struct Case {
    const char* name;
    const char* damage;  // null: no damage
    size_t can;
    size_t lin;
  };
  const char* const long_payload = "Channel group CAN_DataFrame: 1 payloads longer than their frames hold";
  const Case cases[] = {
      // The LIN group's record size is 0xFF000013: its first record, the first of all, runs past the data.
      {"unfinalized-record-size-past-end.MF4", "Parse of record failed. Error: End of file detected.", 0, 0},
      // A payload length of 252 takes the records of 5 CAN frames, one of 200 those of 4 and a LIN frame.
      {"unfinalized-vlsd-length-252.MF4", long_payload, 153, 22},
      {"unfinalized-vlsd-length-200.MF4", long_payload, 154, 21},
      // The flags, or the identification, say the last DT block is whole: its records lie behind it.
      {"unfinalized-flag-bit2-cleared.MF4", "Data after the last block. Position: 0x15A8", 0, 0},
      {"unfinalized-id-says-finalized.MF4", "Data after the last block. Position: 0x15A8", 0, 0},
      // Three channel groups whose records carry no record id: none is taken for the first group's.
      {"unfinalized-record-id-size-0.MF4", "Several channel groups without record IDs: the records cannot be counted.",
       0, 0},
      {"unfinalized-id-lower-case.MF4", nullptr, 158, 22},
  };
  std::set<std::tuple<int, int, uint32_t, std::string, uint64_t>> recorded;
  for (const Frame& frame : ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + kUnfinalized)) {
    recorded.insert({frame.kind, frame.channel, frame.id, frame.data, frame.time_us});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
    const test::ProgramResult result = Run({"-d", name});
    const std::string output = name.substr(0, name.size() - 4) + "_out.MF4";
    EXPECT_EQ(result.status, c.damage != nullptr ? 8 : 0) << result.err;
    EXPECT_EQ(Exists(name), c.damage != nullptr);
    size_t lines = 0;
    for (const std::string& line : result.Lines()) lines += line.rfind("E Damaged input file ", 0) == 0;
    EXPECT_EQ(lines, c.damage != nullptr ? 1U : 0U) << result.err;
    if (c.damage != nullptr) {
      EXPECT_TRUE(HasLine(result, "E Damaged input file " + name + ": " + c.damage)) << result.err;
    }
    const std::vector<Frame> written = ReadFrames(dir_.Path(output));
    EXPECT_EQ(KindsOf(written)[kBusMsgCanDataFrame], c.can);
    EXPECT_EQ(KindsOf(written)[kBusMsgLinFrame], c.lin);
    for (const Frame& frame : written) {
      EXPECT_EQ(recorded.count({frame.kind, frame.channel, frame.id, frame.data, frame.time_us}), 1U) << frame;
    }
  }
}

// The release build sweeps every byte of the unfinalized example's records; under the
// sanitizers, where that takes minutes, every seventh, which still meets each field of each
// kind of record (no record size is a multiple of seven).
#ifdef LOGMEND_SANITIZED
constexpr size_t kRecordSweepStride = 7;
#else
constexpr size_t kRecordSweepStride = 1;
#endif

// The unfinalized example cut at every byte of its records, as a power loss leaves it: each
// gives the frames it holds whole (counted here from the bytes), and none is damage: a cut
// payload claims no more than its frame holds. Cuts that leave the same whole frames give the
// same output: one of them is read frame by frame.
TEST_F(DamagedInputs, AnUnfinalizedRecordingCutAtEveryByteOfItsRecordsGivesItsWholeRecords) {
  const std::string unfinalized = Example(kUnfinalized);
  std::vector<size_t> sizes;
  for (size_t size = RecordsStart(unfinalized); size < unfinalized.size(); size += kRecordSweepStride) {
    sizes.push_back(size);
  }
  for (const size_t size : sizes) Write("in/u-cut-" + std::to_string(size) + ".MF4", unfinalized.substr(0, size));
  const test::ProgramResult result = Run({"in"});
  const Failures failures = FailuresOf(result);
  std::map<size_t, std::string> outputs;  // by the end of the whole frames: the output read
  EXPECT_TRUE(failures.failed.empty()) << result.err.substr(0, 4000);
  for (const size_t size : sizes) {
    const std::string name = "u-cut-" + std::to_string(size);
    const WholeFrames whole = WholeFramesBefore(unfinalized, size);
    const std::string output = Read("in_out/" + name + "_out.MF4");
    const auto read = outputs.find(whole.end);
    if (read == outputs.end() || read->second != output) {
      EXPECT_EQ(KindsOf(ReadFrames(dir_.Path("in_out/" + name + "_out.MF4"))), whole.kinds) << name;
      outputs.emplace(whole.end, output);
    }
    if (HasFailure()) return;
  }
  EXPECT_EQ(result.status, 0);
  ExpectCheckerAcceptsEach("in_out");
}

// Every byte of the unfinalized example's records flipped: the input is damage, or its output
// holds every frame of each kind.
TEST_F(DamagedInputs, EveryFlippedByteInTheRecordsOfAnUnfinalizedRecordingIsDamageOrLosesNoFrame) {
  const std::string unfinalized = Example(kUnfinalized);
  const std::map<int, size_t> whole = KindsOf(ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + kUnfinalized));
  ASSERT_EQ(whole.size(), 2U);
  std::vector<size_t> flips;
  for (size_t at = RecordsStart(unfinalized); at < unfinalized.size(); at += kRecordSweepStride) flips.push_back(at);
  for (const size_t at : flips) {
    std::string bytes = unfinalized;
    bytes[at] = static_cast<char>(bytes[at] ^ 0xFF);
    Write("in/u-flip-" + std::to_string(at) + ".MF4", bytes);
  }
  const test::ProgramResult result = Run({"in"});
  const Failures failures = FailuresOf(result);
  EXPECT_EQ(failures.failed, failures.damaged) << "every input that failed failed for its damage";
  for (const size_t at : flips) {
    const std::string name = "u-flip-" + std::to_string(at);
    if (failures.failed.count(name + ".MF4") > 0) continue;
    EXPECT_EQ(KindCountsOf(dir_.Path("in_out/" + name + "_out.MF4")), whole) << name << " was not damage";
    if (HasFailure()) return;
  }
  EXPECT_EQ(result.status, 8);
  EXPECT_GT(failures.failed.size(), flips.size() / 10);
  EXPECT_LT(failures.failed.size(), flips.size());
}

}  // namespace

// ---- The torn end of a logger recording, and what only looks like one ----

namespace {

// The reproducers of torn ends and of damage taken for one, through the whole tool: a torn end
// converts the frames held whole and removes the input; padding that may have completed a torn
// record, and a size, a payload or a signal data entry that lies, keep it with one line. No frame is invented: each
// frame written from a cut example is one of the example's, with its data.
TEST_F(LogmendRun, TornEndsConvertTheWholeFramesAndNothingIsInvented) {
  struct Case {
    const char* name;
    const char* damage;  // null: a torn end
    size_t can;
    size_t lin;
    bool cut_example;  // a cut of the unfinalized example
  };
  const char* const long_payload = "Channel group CAN_DataFrame: 1 payloads longer than their frames hold";
  const char* const past_block = "Signal data entry exceeds its block. Channel: CAN_DataFrame.DataBytes, Offset: 394";
  const Case cases[] = {
      // The LIN group's record size takes the rest of the file: its first record, the first of all.
      {"unfinalized-record-size-to-end.MF4", "Record longer than its channels lay out. Record ID: 3", 0, 0, false},
      // An 898-byte payload whose bytes end in zeros, then zeros: no frame claims it.
      {"unfinalized-payload-no-frame-claims.MF4", "The end of the records cannot be told from padding. Offset: 0", 0, 0,
       false},
      // The last frame's payload is not in the file: the frame is left out.
      {"torn-before-payload-of-last-frame.MF4", nullptr, 46, 7, true},
      {"torn-inside-fd-payload-after-its-frame.MF4", nullptr, 11, 0, false},
      // Zeros after a tear complete a CAN record, or follow a record id: which cannot be told.
      {"torn-mid-record-zero-padded.MF4", "The end of the records cannot be told from padding. Offset: 6751", 157, 21,
       true},
      {"unfinalized-record-id-and-zeros-appended.MF4",
       "The end of the records cannot be told from padding. Offset: 6808", 158, 22, true},
      // The header of the DT block begun last is cut: the records before it convert.
      {"torn-inside-last-dt-header-of-list.MF4", nullptr, 41, 8, false},
      {"torn-inside-only-dt-header.MF4", nullptr, 0, 0, false},
      // A record begun in one DT block of a list and torn in the next.
      {"torn-record-begun-in-previous-dt.MF4", nullptr, 7, 0, false},
      // The group's first payload, no frame of it before, claims more than a frame carries (torn
      // in one DT or in a list), or exactly to the end of the file; a CAN error frame before it
      // stays.
      {"first-payload-claims-65535.MF4", long_payload, 0, 0, false},
      {"first-payload-length-bit16-flipped-fd64.MF4", long_payload, 0, 0, false},
      {"first-payload-length-byte-ff-in-list.MF4", long_payload, 0, 0, false},
      {"first-payload-claims-65535-after-error-frame.MF4", long_payload, 0, 0, false},
      {"first-payload-claims-to-end.MF4", "Channel group CAN_DataFrame: 1 payloads that no frame claims", 0, 0, false},
      // A claim of 255 bytes frames what follows as a CAN error frame of no valid time, and
      // then as a payload that claims 2 GB: that framing is none, and gives no frame.
      {"first-payload-claims-255.MF4",
       "Channel group CAN_DataFrame: a payload claims 255 bytes, more than a frame carries: the records after it are "
       "left out",
       0, 0, false},
      // Payloads in an SD block before the records; an entry that runs past the block, finalized
      // or not, is damage too.
      {"sd-entries-before-records-unfinalized.MF4", nullptr, 33, 13, false},
      {"sd-entry-one-byte-past-block.MF4", past_block, 32, 13, false},
      {"sd-entry-past-block-unfinalized.MF4", past_block, 32, 13, false},
      // A list's header is whole, its links not yet written (after it, or in a chain of lists
      // behind the lists before it): the list holds nothing yet.
      {"torn-inside-list-links-before-any-dt.MF4", nullptr, 0, 0, false},
      {"torn-inside-links-of-chained-list.MF4", nullptr, 12, 5, false},
      {"torn-inside-first-link-of-chained-list.MF4", nullptr, 25, 11, false},
      // A signal data block written before the records, torn before anything linked it.
      {"torn-inside-signal-data-before-records.MF4", nullptr, 0, 0, false},
      // The first of two data groups still growing, the second without data yet; with the
      // second begun, the first's counts of 0 are what its data hold, as the flags say.
      {"torn-in-first-of-two-data-groups.MF4", nullptr, 16, 0, false},
      {"first-of-two-data-groups-counts-0.MF4", nullptr, 33, 13, false},
      // Zeros over the data of closed DT blocks and after, their headers kept: no power loss
      // leaves them.
      {"list-closed-dt-data-zeros.MF4", "Failed to find the CG block. Record ID: 0", 8, 5, false},
  };
  std::set<std::tuple<int, int, uint32_t, std::string, uint64_t>> recorded;
  for (const Frame& frame : ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + kUnfinalized)) {
    recorded.insert({frame.kind, frame.channel, frame.id, frame.data, frame.time_us});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
    const test::ProgramResult result = Run({"-d", name});
    EXPECT_EQ(result.status, c.damage != nullptr ? 8 : 0) << result.err;
    EXPECT_EQ(Exists(name), c.damage != nullptr);
    size_t lines = 0;
    for (const std::string& line : result.Lines()) lines += line.rfind("E Damaged input file ", 0) == 0;
    EXPECT_EQ(lines, c.damage != nullptr ? 1U : 0U) << result.err;
    if (c.damage != nullptr) {
      EXPECT_TRUE(HasLine(result, "E Damaged input file " + name + ": " + c.damage)) << result.err;
    } else {
      EXPECT_EQ(result.err.find("E "), std::string::npos) << result.err;
    }
    const std::vector<Frame> written = ReadFrames(dir_.Path(name.substr(0, name.size() - 4) + "_out.MF4"));
    EXPECT_EQ(KindsOf(written)[kBusMsgCanDataFrame], c.can);
    EXPECT_EQ(KindsOf(written)[kBusMsgLinFrame], c.lin);
    for (const Frame& frame : written) {
      if (c.cut_example) {
        EXPECT_EQ(recorded.count({frame.kind, frame.channel, frame.id, frame.data, frame.time_us}), 1U) << frame;
      }
      if (name.find("-fd-") != std::string::npos) {
        // Each with its payload: a frame given none was written with zeros for data.
        EXPECT_NE(frame.data.find_first_not_of('0'), std::string::npos) << frame;
      }
    }
  }
  // The frame whose payload the tear left out is the example's last CAN frame before it.
  const std::string torn = "torn-before-payload-of-last-frame_out.MF4";
  bool found = false;
  for (const Frame& frame : ReadFrames(dir_.Path(torn))) found = found || frame.id == 0x18FF0000;
  EXPECT_FALSE(found) << "ID 0x18FF0000, DLC 3, payload 36 04 00 not yet written";
  const std::vector<Frame> before = ReadFrames(dir_.Path("first-payload-claims-65535-after-error-frame_out.MF4"));
  ASSERT_EQ(before.size(), 1U);
  EXPECT_EQ(before[0].kind, kBusMsgCanErrorFrame) << "the frame before the payload that lies";
  EXPECT_EQ(ReadFrames(dir_.Path("first-payload-claims-255_out.MF4")).size(), 0U);
  // The frame whose signal data entry runs past its block is left out, not given zeros: every
  // other frame is the undamaged recording's.
  std::set<std::tuple<int, int, uint32_t, std::string, uint64_t>> undamaged;
  for (const Frame& frame : ReadFrames(dir_.Path("sd-entries-before-records-unfinalized_out.MF4"))) {
    undamaged.insert({frame.kind, frame.channel, frame.id, frame.data, frame.time_us});
  }
  ASSERT_EQ(undamaged.size(), 69U);
  for (const char* damaged : {"sd-entry-one-byte-past-block_out.MF4", "sd-entry-past-block-unfinalized_out.MF4"}) {
    SCOPED_TRACE(damaged);
    const std::vector<Frame> written = ReadFrames(dir_.Path(damaged));
    EXPECT_EQ(written.size(), undamaged.size() - 1);
    for (const Frame& frame : written) {
      EXPECT_EQ(undamaged.count({frame.kind, frame.channel, frame.id, frame.data, frame.time_us}), 1U) << frame;
    }
  }
}

// Reproducers of blocks a logger began behind the one it filled, through the whole tool: a DT
// whose length is still 24 when the next block is begun (linked or not), a whole DT that a data
// list or the block its list links follows, a header behind the zeros that align it. Their
// records end where the next block begins, so a torn end converts exactly its whole frames and
// removes the input; where the bytes cannot tell, it is kept. A DT of zeros in a list ends the
// records before the one those zeros would complete. No frame is invented: each frame written
// is one of its control's, a tear of the same recording just after the next header is whole.
TEST_F(LogmendRun, RecordsEndWhereTheNextBlockBeginsAndNothingIsInvented) {
  const struct {
    const char* name;
    const char* damage;  // null: a torn end
    size_t frames;
    const char* control;  // null: none
  } cases[] = {
      // The new DT not linked yet, its header cut: 10 or 5 bytes of it, or 19 behind a list of equal lengths.
      {"torn-growing-dt-then-unlinked-header.MF4", nullptr, 35, "torn-growing-dt-then-unlinked-header-control.MF4"},
      {"torn-growing-dt-then-unlinked-header-5-bytes.MF4", nullptr, 25,
       "torn-growing-dt-then-unlinked-header-control.MF4"},
      {"torn-growing-dt-then-unlinked-header-equal-list.MF4", nullptr, 51, nullptr},
      // The new DT linked, its header cut; padded, the header whole and its data zeros.
      {"torn-growing-dt-then-linked-header.MF4", nullptr, 66, nullptr},
      {"torn-growing-first-dt-then-linked-header.MF4", nullptr, 10,
       "torn-growing-first-dt-then-linked-header-control.MF4"},
      {"torn-growing-first-dt-then-linked-header-padded.MF4",
       "The end of the records cannot be told from padding. Offset: 247", 10,
       "torn-growing-first-dt-then-linked-header-control.MF4"},
      // A whole data list behind the last whole DT, with the DT it links torn or not begun.
      {"torn-dt-header-behind-next-list.MF4", nullptr, 56, "torn-dt-header-behind-next-list-control.MF4"},
      {"torn-at-dt-linked-by-next-list.MF4", nullptr, 56, "torn-dt-header-behind-next-list-control.MF4"},
      {"torn-in-next-list-padded.MF4", nullptr, 56, "torn-dt-header-behind-next-list-control.MF4"},
      {"torn-after-list-written-behind-its-blocks.MF4", nullptr, 56, nullptr},
      // A DT closed at a record boundary, the header behind the zeros that align it torn.
      {"torn-dt-header-behind-alignment-gap.MF4", nullptr, 29, nullptr},
      {"torn-dt-header-behind-alignment-gap-length.MF4", nullptr, 29, nullptr},
      // Zeros where a DT's records belong, its length kept or 24.
      {"dt-of-zeros-in-list.MF4", "Failed to find the CG block. Record ID: 0", 36, nullptr},
      {"dt-of-zeros-in-list-length-24.MF4", "Failed to find the CG block. Record ID: 0", 36, nullptr},
  };
  dir_.MakeDir("out");
  dir_.MakeDir("controls");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    Write(name, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + name));
    const test::ProgramResult result = Run({"-d", "-O", "out", name});
    EXPECT_EQ(result.status, c.damage != nullptr ? 8 : 0) << result.err;
    EXPECT_EQ(Exists(name), c.damage != nullptr);
    if (c.damage != nullptr) {
      EXPECT_TRUE(HasLine(result, "E Damaged input file " + name + ": " + c.damage)) << result.err;
    } else {
      EXPECT_EQ(result.err.find("E "), std::string::npos) << result.err;
    }
    std::vector<Frame> written = ReadFrames(dir_.Path("out/" + name.substr(0, name.size() - 4) + "_out.MF4"));
    EXPECT_EQ(written.size(), c.frames);
    if (c.control == nullptr) continue;
    const std::string control = c.control;
    Write(control, test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + control));
    ASSERT_EQ(Run({"-O", "controls", control}).status, 0);
    std::vector<Frame> whole = ReadFrames(dir_.Path("controls/" + control.substr(0, control.size() - 4) + "_out.MF4"));
    std::sort(written.begin(), written.end());
    std::sort(whole.begin(), whole.end());
    EXPECT_TRUE(std::includes(whole.begin(), whole.end(), written.begin(), written.end()));
  }
  ExpectCheckerAcceptsEach("out");
}

// A list whose full block was still growing when its logger began the next header, torn in that
// header: its records end where the header begins. Cut within its id ("#" .. "##D") the header
// may as well be the last byte of the payload the block boundary split, which it would make
// whole: that payload (and so its frame) is left out and the input kept. Once the id is whole
// it is a header: the torn end converts.
TEST_F(LogmendRun, AHeaderCutWithinItsIdThatCouldCompleteARecordKeepsTheInput) {
  test::JournalOutput journal;
  test::RecordingInfo info;
  info.finalized = false;
  test::RecordingLayout layout;
  layout.block_data_bytes = 256;
  layout.link_before_header = false;
  layout.close_after_next_header = true;
  test::LoggerRecordingWriter writer(journal, info, layout);
  std::vector<Frame> lin;
  for (uint8_t i = 0; i < 9; ++i) {  // 9 LIN records of 20 bytes, then a CAN record of 24
    const test::LinFrameRecord frame{1000U + 100U * i, 1, i, false, {1, 2, 3, 4, 5, 6, 7, 8}};
    writer.Add(frame);
    lin.push_back(Expected(info, frame));
  }
  test::CanFrameRecord can{2000, 1, 0x123, false, false, true, false, false, 14, std::vector<uint8_t>(48, 0x5A)};
  writer.Add(can);  // its payload of 53 bytes: 52 in the first block, the last one in the next
  ASSERT_EQ(writer.DataBlocks().size(), 2U);
  const uint64_t header = writer.DataBlocks()[1];
  std::sort(lin.begin(), lin.end());
  for (const uint64_t bytes : {1, 2, 3, 4, 10}) {
    SCOPED_TRACE(std::to_string(bytes) + " header bytes");
    const std::vector<uint8_t> file = journal.AsAt(header + bytes);
    const std::string name = "cut-" + std::to_string(bytes) + ".MF4";
    Write(name, {file.begin(), file.end()});
    const test::ProgramResult result = Run({"-d", name});
    const bool told = bytes >= 4;
    EXPECT_EQ(result.status, told ? 0 : 8) << result.err;
    EXPECT_EQ(Exists(name), !told);
    if (!told) {
      EXPECT_TRUE(HasLine(result, "E Damaged input file " + name +
                                      ": The end of the records cannot be told from a block header. Offset: 204"))
          << result.err;
    }
    std::vector<Frame> written = ReadFrames(dir_.Path("cut-" + std::to_string(bytes) + "_out.MF4"));
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, lin);
  }
}

// The offsets of the records of the kit's logger layout in a recording, by record id.
std::map<uint8_t, std::vector<size_t>> RecordOffsets(const std::string& file) {
  using Writer = test::LoggerRecordingWriter;
  std::map<uint8_t, std::vector<size_t>> offsets;
  for (size_t at = RecordsStart(file); at + 5 <= file.size();) {
    const auto id = static_cast<uint8_t>(file[at]);
    offsets[id].push_back(at);
    if (id == Writer::kVlsdRecordId) {
      at += 5 + LoadLe(file, at + 1, 4);
    } else {
      at += 1 + (id == Writer::kCanRecordId ? Writer::kCanRecordBytes : Writer::kLinRecordBytes);
    }
  }
  return offsets;
}

#ifdef LOGMEND_SANITIZED
constexpr size_t kLengthSweepStride = 11;
#else
constexpr size_t kLengthSweepStride = 1;
#endif

// Both examples, each with one record size, or the length of one VLSD record, set so that the
// record ends exactly where the file does: the record is whole, but what it swallowed is lost.
// The input is damage (status 8, kept) or its output holds every frame, exact.
TEST_F(DamagedInputs, ARecordSizeOrPayloadLengthThatEndsAtTheEndOfTheFileIsDamage) {
  using Writer = test::LoggerRecordingWriter;
  std::vector<Damaged> inputs;
  std::map<char, std::vector<Frame>> whole;
  for (const auto& [label, example] : {std::pair<char, const char*>{'f', kFinalized}, {'u', kUnfinalized}}) {
    const std::string file = Example(example);
    whole[label] = ReadFrames(std::string(LOGMEND_EXAMPLES) + "/" + example);
    const std::map<uint8_t, std::vector<size_t>> offsets = RecordOffsets(file);
    // A fixed group's data bytes, so that its first record ends at the end of the file.
    for (const auto& [id, field] : {std::pair<uint8_t, size_t>{Writer::kCanRecordId, 0x14E8 + 24 + 6 * 8 + 24},
                                    {Writer::kLinRecordId, 0x1458 + 24 + 6 * 8 + 24}}) {
      ASSERT_FALSE(offsets.at(id).empty());
      std::string bytes = file;
      const uint64_t size = file.size() - offsets.at(id).front() - 1;
      std::memcpy(&bytes[field], &size, 4);
      inputs.push_back({std::string(1, label) + "-size-" + std::to_string(id), bytes});
    }
    const std::vector<size_t>& payloads = offsets.at(Writer::kVlsdRecordId);
    for (size_t i = 0; i < payloads.size(); i += kLengthSweepStride) {
      std::string bytes = file;
      const uint64_t length = file.size() - payloads[i] - 5;
      std::memcpy(&bytes[payloads[i] + 1], &length, 4);
      if (bytes == file) continue;  // the last payload of a finalized recording ends there
      inputs.push_back({std::string(1, label) + "-length-" + std::to_string(payloads[i]), bytes});
    }
  }
  for (const Damaged& input : inputs) Write("in/" + input.name + ".MF4", input.bytes);
  const test::ProgramResult result = Run({"-d", "in"});
  EXPECT_EQ(result.status, 8);
  for (const Damaged& input : inputs) {
    if (Exists("in/" + input.name + ".MF4")) {
      ++kept_;
      continue;
    }
    EXPECT_EQ(ReadFrames(dir_.Path("in_out/" + input.name + "_out.MF4")), whole[input.name[0]])
        << input.name << " was removed";
  }
  EXPECT_EQ(kept_, inputs.size()) << "each swallows records";
}

}  // namespace

namespace {

// Every byte holds as well (two minutes of conversions); the suite takes a sample, as the cut sweep
// of the plain example covers every byte of the records.
#ifdef LOGMEND_SANITIZED
constexpr size_t kBlockTearStride = 131;
#else
constexpr size_t kBlockTearStride = 37;  // no record or block size is a multiple of it
#endif

// The unfinalized example as a logger that fills DT blocks of 64 bytes in a list lays it out:
// its records cross from block to block, and each frame's payload follows its record. Torn
// after the list, each block linked when begun or once its header is
// whole, the file ending there or zeros following to the next 4 KiB: a plain tear converts
// exactly the frames held whole, with their payloads (counted here from the bytes), and
// removes the input; padding does the same or keeps the input, and never adds a frame.
TEST_F(DamagedInputs, AnUnfinalizedRecordingInFixedSizeBlocksTornAnywhereGivesItsWholeFrames) {
  const std::string example = Example(kUnfinalized);
  const size_t dt = RecordsStart(example) - 24;
  const std::string records = example.substr(dt + 24);
  constexpr size_t kBlock = 64;
  const size_t blocks = (records.size() + kBlock - 1) / kBlock;
  const size_t list = dt;
  const size_t first = list + 24 + 8 * (1 + blocks) + 8 + 8 * blocks;
  std::string full = example.substr(0, dt);
  const auto append = [&full](uint64_t value) { full.append(reinterpret_cast<const char*>(&value), 8); };
  full += std::string("##DL\0\0\0\0", 8);
  append(first - list);
  append(1 + blocks);
  append(0);
  for (size_t i = 0; i < blocks; ++i) append(first + i * (24 + kBlock));
  append(uint64_t{blocks} << 32);
  for (size_t i = 0; i < blocks; ++i) append(i * kBlock);
  for (size_t i = 0; i < blocks; ++i) {
    const std::string data = records.substr(i * kBlock, kBlock);
    full += std::string("##DT\0\0\0\0", 8);
    append(24 + data.size());
    append(0);
    full += data;
  }
  ASSERT_EQ(full.size(), first + records.size() + 24 * blocks);

  std::vector<Damaged> inputs;
  std::map<std::string, std::map<int, size_t>> expected;
  for (size_t size = first; size <= full.size(); size += kBlockTearStride) {
    for (const bool begun : {true, false}) {
      std::string file = full.substr(0, size);
      size_t stream = 0;
      for (size_t i = 0; i < blocks; ++i) {
        const size_t block = first + i * (24 + kBlock);
        if (!(begun ? block <= size : block + 24 <= size)) StoreLe(file, list + 24 + 8 * (1 + i), 0);
        if (block + 24 <= size) stream += std::min(kBlock, size - block - 24);
      }
      const std::map<int, size_t> whole = WholeFramesBefore(example, dt + 24 + stream).kinds;
      const std::string name = std::string(begun ? "begun-" : "whole-") + std::to_string(size);
      inputs.push_back({name, file});
      expected[name] = whole;
      file.resize((file.size() + 4095) / 4096 * 4096, '\0');
      inputs.push_back({name + "-padded", file});
      expected[name + "-padded"] = whole;
    }
  }
  RunAndCheckRemoved(inputs, [&expected](const Damaged& input) { return expected.at(input.name); });
  size_t padded_kept = 0;
  for (const Damaged& input : inputs) {
    const bool kept = Exists("in/" + input.name + ".MF4");
    if (input.name.find("-padded") == std::string::npos) {
      EXPECT_FALSE(kept) << input.name << ": a plain tear is no damage";
    } else if (kept) {
      ++padded_kept;
      EXPECT_LE(KindCountsOf(dir_.Path("in_out/" + input.name + "_out.MF4"))[kBusMsgCanDataFrame],
                expected.at(input.name)[kBusMsgCanDataFrame])
          << input.name;
    }
    if (HasFailure()) return;
  }
  EXPECT_LT(padded_kept, inputs.size() / 2);
}

}  // namespace

// ---- Links set to NIL ----

namespace {

/// Every field of each event of a file as our reader gives it (kind, channel, identifier,
/// flags, data, time), one text per event, sorted; empty when the file does not open.
std::vector<std::string> EventsOf(const std::string& path) {
  std::vector<std::string> events;
  cStream_t* stream = fileStreamOpen(path.c_str(), kFileStreamRead);
  if (stream == nullptr) return events;
  if (cMdfReader_t* reader = mdfReaderOpen(stream)) {
    cFileInfo_t info{};
    mdfReaderGetFileInfo(reader, &info);
    if (cMdfReaderIterator_t* iterator = mdfReaderGetIterator(reader)) {
      while (const cBusMsgHelper_t* record = mdfReaderIteratorNext(iterator)) {
        uint8_t flags[sizeof record->Flags];
        std::memcpy(flags, &record->Flags, sizeof flags);
        const auto* bytes = reinterpret_cast<const uint8_t*>(cStrData(&record->DataBytes));
        events.push_back(std::to_string(record->MsgType) + " ch" + std::to_string(record->BusChannel) + " id" +
                         std::to_string(record->ID) + " flags" + Hex({flags, flags + sizeof flags}) + " data" +
                         Hex({bytes, bytes + cStrLength(&record->DataBytes)}) + " @" +
                         std::to_string(info.StartTime + static_cast<uint64_t>(record->Timestamp)));
      }
      mdfReaderIteratorFree(iterator);
    }
    fileInfoRelease(&info);
    mdfReaderClose(reader);
  }
  streamClose(stream);
  std::sort(events.begin(), events.end());
  return events;
}

/// "" when the events written are those recorded, else how they differ, in short.
std::string EventDifference(const std::vector<std::string>& written, const std::vector<std::string>& recorded) {
  if (written == recorded) return "";
  std::vector<std::string> missing;
  std::vector<std::string> extra;
  std::set_difference(recorded.begin(), recorded.end(), written.begin(), written.end(), std::back_inserter(missing));
  std::set_difference(written.begin(), written.end(), recorded.begin(), recorded.end(), std::back_inserter(extra));
  return std::to_string(written.size()) + " events of " + std::to_string(recorded.size()) + ", " +
         std::to_string(missing.size()) + " missing (first " + (missing.empty() ? "-" : missing[0]) + "), " +
         std::to_string(extra.size()) + " not recorded (first " + (extra.empty() ? "-" : extra[0]) + ")";
}

// Every link of both examples set to NIL, one at a time: a link the format requires, or one
// whose loss leaves records or fields of a frame unread, is damage (status 8, the input kept
// with a line naming it, its output holding none but the example's events); any other
// converts every event exact, field by field, as the undamaged example does.
TEST_F(LogmendRun, EveryLinkOfTheExamplesSetToNilIsDamageOrConvertsEveryEventExact) {
  std::map<char, std::vector<std::string>> whole;
  std::vector<Damaged> inputs;
  for (const auto& [label, example] : {std::pair<char, const char*>{'f', kFinalized}, {'u', kUnfinalized}}) {
    const std::string file = Example(example);
    Write(std::string("whole/") + label + ".MF4", file);
    const std::vector<LinkField> fields = LinkFields(file);
    ASSERT_GT(fields.size(), 40U) << label;
    for (const LinkField& field : fields) {  // a few seconds under the sanitizers too
      std::string bytes = file;
      StoreLe(bytes, field.at, 0);
      inputs.push_back({std::string(1, label) + "-nil-" + std::to_string(field.at), bytes});
    }
  }
  ASSERT_EQ(Run({"whole"}).status, 0);
  for (const char label : {'f', 'u'}) {
    whole[label] = EventsOf(dir_.Path(std::string("whole_out/") + label + "_out.MF4"));
    ASSERT_GT(whole[label].size(), 100U) << label;
  }
  for (const Damaged& input : inputs) Write("in/" + input.name + ".MF4", input.bytes);
  const test::ProgramResult result = Run({"-d", "in"});
  EXPECT_EQ(result.status, 8);
  const Failures failures = FailuresOf(result);
  size_t kept = 0;
  for (const Damaged& input : inputs) {
    const std::string name = input.name + ".MF4";
    if (Exists("in/" + name)) {
      ++kept;
      EXPECT_EQ(failures.failed.count(name), 1U) << name << " was kept without a line";
      // A kept output too holds only events read whole: each one the example's.
      std::vector<std::string> invented;
      const std::vector<std::string> written = EventsOf(dir_.Path("in_out/" + input.name + "_out.MF4"));
      const std::vector<std::string>& recorded = whole[input.name[0]];
      std::set_difference(written.begin(), written.end(), recorded.begin(), recorded.end(),
                          std::back_inserter(invented));
      EXPECT_EQ(invented.size(), 0U) << name << " was kept with events not recorded, first "
                                     << (invented.empty() ? "-" : invented[0]);
      continue;
    }
    EXPECT_EQ(EventDifference(EventsOf(dir_.Path("in_out/" + input.name + "_out.MF4")), whole[input.name[0]]), "")
        << input.name << " was removed";
  }
  // The examples hold links of both kinds.
  EXPECT_GT(kept, inputs.size() / 4);
  EXPECT_LT(kept, inputs.size());
}

}  // namespace
