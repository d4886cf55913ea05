// What a reader of one file knows of its damage: every kind of damage the read meets marks
// the file as damaged with the first one's text, on whichever read meets it, while what the
// finalization of an unfinalized recording repairs leaves it clean. The recordings are the
// kit's logger layout (a CAN group whose data bytes lie in a VLSD group, and a LIN group).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/imetadata.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "mdf/textrule.h"
#include "support/logcapture.h"
#include "support/loggerrecording.h"
#include "support/memorybuffer.h"
#include "support/readerdrive.h"
#include "support/runprogram.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Writer = test::LoggerRecordingWriter;

uint64_t Load(const Bytes& file, size_t at) {
  uint64_t value = 0;
  std::memcpy(&value, file.data() + at, sizeof value);
  return value;
}

void Store(Bytes& file, size_t at, uint64_t value) { std::memcpy(file.data() + at, &value, sizeof value); }

// Where the blocks of the layout lie, found through their links as a reader finds them.
struct Layout {
  explicit Layout(const Bytes& file)
      : data_group(Load(file, 64 + 24)),
        can_group(Load(file, data_group + 24 + 8)),
        vlsd_group(Load(file, can_group + 24)),
        lin_group(Load(file, vlsd_group + 24)),
        dt(Load(file, data_group + 24 + 16)),
        can_first_channel(Load(file, can_group + 24 + 8)),
        can_first_name(Load(file, can_first_channel + 24 + 16)) {}
  static size_t CycleCount(uint64_t group) { return group + 24 + 6 * 8 + 8; }
  static size_t RecordBytes(uint64_t group) { return CycleCount(group) + 8 + 2 + 2 + 4; }
  uint64_t data_group, can_group, vlsd_group, lin_group, dt, can_first_channel, can_first_name;
};

// Three CAN frames of 8 data bytes, then one LIN frame, then a CAN frame of 8 bytes: the last
// record is a VLSD payload.
Bytes Recording(bool finalized) {
  test::RecordingInfo info;
  info.finalized = finalized;
  std::vector<test::CanFrameRecord> can;
  for (uint64_t i = 0; i < 4; ++i) {
    test::CanFrameRecord frame{};
    frame.time_us = i == 3 ? 5000 : 1000 * (i + 1);
    frame.channel = 1;
    frame.id = 0x100 + static_cast<uint32_t>(i);
    frame.dlc = 8;
    frame.data.assign(8, static_cast<uint8_t>(i));
    can.push_back(frame);
  }
  test::LinFrameRecord lin{};
  lin.time_us = 4000;
  lin.channel = 1;
  lin.id = 0x10;
  lin.data = {1, 2};
  return test::LoggerRecording(info, can, {lin});
}

// Appends a data group of record id size 1 with the links, as the last one of the file.
void AppendDataGroup(Bytes& file, const Layout& at, uint64_t first_group, uint64_t data) {
  file.resize((file.size() + 7) / 8 * 8, 0);
  const uint64_t position = file.size();
  const uint64_t fields[] = {64, 4, 0, first_group, data, 0, 1};  // length, links, the links, id size
  file.insert(file.end(), {'#', '#', 'D', 'G', 0, 0, 0, 0});
  for (const uint64_t field : fields) {
    file.resize(file.size() + 8);
    Store(file, file.size() - 8, field);
  }
  Store(file, at.data_group + 24, position);
}

// Begins the data of a second data group behind the records, as a logger that writes one data
// group per bus does: `zeros` zero bytes, the zeros that align the next block, then its DT
// block's header, still empty, and the data group that links it, with a channel group of no
// record bytes yet. The DT before it keeps the length it has.
void BeginNextDataGroup(Bytes& file, const Layout& at, size_t zeros) {
  const auto append_header = [&file](const char* id, uint64_t length, uint64_t links) {
    file.resize((file.size() + 7) / 8 * 8, 0);
    const uint64_t position = file.size();
    file.insert(file.end(), {'#', '#', static_cast<uint8_t>(id[0]), static_cast<uint8_t>(id[1]), 0, 0, 0, 0});
    file.resize(position + length, 0);
    Store(file, position + 8, length);
    Store(file, position + 16, links);
    return position;
  };
  file.resize(file.size() + zeros, 0);
  const uint64_t dt = append_header("DT", 24, 0);
  const uint64_t group = append_header("CG", 104, 6);
  AppendDataGroup(file, at, group, dt);
}

// Appends a DT block whose length covers `claimed` of the `bytes` that follow its header, and
// a last data group that links it and no channel group.
void AppendDataWithoutGroups(Bytes& file, const Layout& at, uint64_t claimed, uint64_t bytes) {
  file.resize((file.size() + 7) / 8 * 8, 0);
  const uint64_t dt = file.size();
  file.insert(file.end(), {'#', '#', 'D', 'T', 0, 0, 0, 0});
  file.resize(file.size() + 16, 0);
  Store(file, dt + 8, 24 + claimed);
  for (uint64_t i = 0; i < bytes; ++i) file.push_back(static_cast<uint8_t>(1 + i));
  AppendDataGroup(file, at, 0, dt);
}

// Moves the records of the DT block, the last block of the file, into a list of two DT
// blocks, the first holding `split` bytes, the second still open (its length only covers
// its header), as a logger leaves a recording whose data grew through a list.
void MoveDataIntoList(Bytes& file, const Layout& at, uint64_t split) {
  const Bytes data(file.begin() + static_cast<std::ptrdiff_t>(at.dt + 24), file.end());
  file.resize(at.dt);
  const uint64_t list = file.size();
  const uint64_t first = list + 72;
  const uint64_t second = (first + 24 + split + 7) / 8 * 8;
  const auto append_header = [&file](const char* id, uint64_t length, uint64_t links) {
    file.insert(file.end(), {'#', '#', static_cast<uint8_t>(id[0]), static_cast<uint8_t>(id[1]), 0, 0, 0, 0});
    for (const uint64_t field : {length, links}) {
      file.resize(file.size() + 8);
      Store(file, file.size() - 8, field);
    }
  };
  append_header("DL", 72, 3);
  for (const uint64_t field : {uint64_t{0}, first, second, uint64_t{2} << 32, uint64_t{0}, split}) {
    file.resize(file.size() + 8);  // next list, the blocks, flags and count, their offsets
    Store(file, file.size() - 8, field);
  }
  append_header("DT", 24 + split, 0);
  file.insert(file.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(split));
  file.resize(second, 0);
  append_header("DT", 24, 0);
  file.insert(file.end(), data.begin() + static_cast<std::ptrdiff_t>(split), data.end());
  Store(file, at.data_group + 24 + 16, list);
}

// Moves the first `blocks` x `size` bytes of the records into as many DT blocks of `size`
// bytes in a list, each whole, as a logger that fills blocks of a fixed size lays them out;
// the records after them are lost to the end of the file. Then `header` bytes of the next
// DT block's header follow, which the list links when `linked` (a logger that links a block
// when it begins it) and else not yet (one that links it once its header is whole).
void MoveDataIntoFixedBlocks(Bytes& file, const Layout& at, uint64_t size, uint64_t blocks, size_t header,
                             bool linked) {
  const Bytes data(file.begin() + static_cast<std::ptrdiff_t>(at.dt + 24), file.end());
  ASSERT_LE(size * blocks, data.size());
  ASSERT_EQ(size % 8, 0U) << "the blocks stay aligned";
  file.resize(at.dt);
  const uint64_t list = file.size();
  const uint64_t links = blocks + (linked ? 1 : 0);
  const uint64_t first = list + 24 + 8 * (1 + links) + 8 + 8 * links;
  const uint64_t stride = 24 + size;  // one after the other
  const auto append = [&file](uint64_t field) {
    file.resize(file.size() + 8);
    Store(file, file.size() - 8, field);
  };
  file.insert(file.end(), {'#', '#', 'D', 'L', 0, 0, 0, 0});
  append(first - list);
  append(1 + links);
  append(0);  // no next list
  for (uint64_t i = 0; i < links; ++i) append(first + i * stride);
  append(links << 32);
  for (uint64_t i = 0; i < links; ++i) append(i * size);
  for (uint64_t i = 0; i < blocks; ++i) {
    file.insert(file.end(), {'#', '#', 'D', 'T', 0, 0, 0, 0});
    append(24 + size);
    append(0);
    file.insert(file.end(), data.begin() + static_cast<std::ptrdiff_t>(i * size),
                data.begin() + static_cast<std::ptrdiff_t>((i + 1) * size));
  }
  Bytes next = {'#', '#', 'D', 'T', 0, 0, 0, 0};
  next.resize(24, 0);
  Store(next, 8, 24 + size);
  file.insert(file.end(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(header));
  Store(file, at.data_group + 24 + 16, list);
}

// Gives the CAN data bytes their own signal data: an SD block at the end of the file that
// holds what their VLSD group holds.
void MoveDataBytesIntoSignalData(Bytes& file, const Layout& at) {
  uint64_t vlsd_channel = 0;
  for (uint64_t channel = at.can_first_channel; channel != 0; channel = Load(file, channel + 24)) {
    if (file[channel + 24 + 8 * Load(file, channel + 16)] == 1) vlsd_channel = channel;
  }
  ASSERT_NE(vlsd_channel, 0U);
  Bytes entries;
  for (uint8_t frame = 0; frame < 4; ++frame) {
    entries.insert(entries.end(), {8, 0, 0, 0});
    entries.insert(entries.end(), 8, frame);
  }
  file.resize((file.size() + 7) / 8 * 8, 0);
  const uint64_t signal_data = file.size();
  file.insert(file.end(), {'#', '#', 'S', 'D', 0, 0, 0, 0});
  for (const uint64_t field : {24 + entries.size(), size_t{0}}) {
    file.resize(file.size() + 8);
    Store(file, file.size() - 8, field);
  }
  file.insert(file.end(), entries.begin(), entries.end());
  Store(file, vlsd_channel + 24 + 5 * 8, signal_data);
}

// The identification of an unfinalized file whose cycle counts are stale.
void MarkCountsStale(Bytes& file) {
  std::memcpy(file.data(), "UnFinMF ", 8);
  file[60] = 0x01;
}

struct Read {
  bool damaged = false;
  std::string first;
  bool first_logged = false;  // the first damage is the text of a message the read logged
  size_t samples = 0;
};

Read ReadWhole(Bytes file) {
  test::LogCapture log;
  mdf::MdfReader reader(std::make_shared<test::MemoryBuffer>(std::move(file)));
  const test::ReadOutcome outcome = test::ReadAsUser(reader);
  Read read{reader.IsDamaged(), reader.FirstDamage(), false, outcome.samples};
  for (const test::LogEntry& entry : log.entries) read.first_logged = read.first_logged || entry.text == read.first;
  return read;
}

// The samples of the undamaged recording: 4 CAN frames of 11 channels, 1 LIN frame of 7.
constexpr size_t kWholeSamples = 4 * 11 + 1 * 7;

struct DamageCase {
  const char* name;
  bool finalized;
  std::function<void(Bytes&, const Layout&)> damage;
  const char* first;  // the start of the first damage's text; null: no damage
  size_t samples;
};

std::vector<DamageCase> Cases() {
  const auto cut = [](size_t bytes) {
    return [bytes](Bytes& file, const Layout&) { file.resize(file.size() - bytes); };
  };
  return {
      {"undamaged", true, [](Bytes&, const Layout&) {}, nullptr, kWholeSamples},
      {"unfinalized, repaired by finalization", false, [](Bytes&, const Layout&) {}, nullptr, kWholeSamples},
      // The last record, a VLSD payload of 8 bytes, torn by the end of the recording: the
      // frame before it is there, its payload not.
      {"unfinalized, torn last record", false, cut(3), nullptr, kWholeSamples},
      {"unfinalized, torn between a frame and its payload", false, cut(13), nullptr, kWholeSamples},
      {"unfinalized, data in a list, torn last record", false,
       [](Bytes& file, const Layout& at) {
         file.resize(file.size() - 3);
         MoveDataIntoList(file, at, 40);
       },
       nullptr, kWholeSamples},
      {"unfinalized, data in a list, the torn record begins in the block before the last", false,
       [](Bytes& file, const Layout& at) {
         file.resize(file.size() - 3);
         MoveDataIntoList(file, at, file.size() - at.dt - 24 - 2);
       },
       nullptr, kWholeSamples},
      // Zeros from a record boundary in a closed block of a list on: written zeros, since the
      // header of the next block came after them, never padding.
      {"unfinalized, data in a list, zeros over the records of a closed block and after", false,
       [](Bytes& file, const Layout& at) {
         MoveDataIntoList(file, at, 3 * 37);
         const uint64_t first = at.dt + 72;
         const uint64_t second = (first + 24 + 3 * 37 + 7) / 8 * 8;
         std::fill(file.begin() + static_cast<std::ptrdiff_t>(first + 24 + 2 * 37),
                   file.begin() + static_cast<std::ptrdiff_t>(first + 24 + 3 * 37), 0);
         std::fill(file.begin() + static_cast<std::ptrdiff_t>(second + 24), file.end(), 0);
       },
       "Failed to find the CG block. Record ID: 0", 2 * 11},
      // A logger filling blocks of a fixed size is torn at every byte below; in a finalized
      // file a block header cut by its end is damage. A next list begun where the file ends
      // is the torn end too.
      {"unfinalized, fixed-size blocks, the header of the next list cut", false,
       [](Bytes& file, const Layout& at) {
         MoveDataIntoFixedBlocks(file, at, 8, 19, 0, false);
         Store(file, at.dt + 24, file.size());  // the list's next list
         file.insert(file.end(), {'#', '#', 'D', 'L', 0, 0});
       },
       nullptr, kWholeSamples - 11},
      {"finalized, a linked block header cut by the end of the file", true,
       [](Bytes& file, const Layout& at) { MoveDataIntoFixedBlocks(file, at, 8, 19, 4, true); },
       "Block header cut by the end of the file. Block: ", kWholeSamples},  // as many as the counts declare
      {"signal data", true, [](Bytes& file, const Layout& at) { MoveDataBytesIntoSignalData(file, at); }, nullptr,
       kWholeSamples},
      {"signal data cut by the end of the file", true,
       [](Bytes& file, const Layout& at) {
         MoveDataBytesIntoSignalData(file, at);
         file.resize(file.size() - 3);
       },
       "Signal data block exceeds the file.", kWholeSamples},
      // What a torn payload may claim is its reader's to judge (StreamEnd): the library cuts it.
      {"unfinalized, the VLSD length of the last record lies", false,
       [](Bytes& file, const Layout&) { file[file.size() - 12] = 200; }, nullptr, kWholeSamples},
      {"finalized, cut", true, cut(3), "Parse of record failed. Error: End of file", kWholeSamples},
      {"a cycle count above the records", true,
       [](Bytes& file, const Layout& at) { Store(file, Layout::CycleCount(at.lin_group), 2); },
       "Records differ from the cycle count. Group: LIN_Frame, Record ID: 3, Cycle count: 2, Records: 1",
       kWholeSamples + 7},  // the observers hold as many samples as the count declares
      {"a cycle count below the records", true,
       [](Bytes& file, const Layout& at) { Store(file, Layout::CycleCount(at.can_group), 3); },
       "Records differ from the cycle count. Group: CAN_DataFrame, Record ID: 1, Cycle count: 3, Records: 4",
       kWholeSamples - 11},
      {"a negative link", true, [](Bytes& file, const Layout& at) { Store(file, at.lin_group + 24 + 24, ~7ULL); },
       "Link outside the file. Position: 0xFFFFFFFFFFFFFFF8", kWholeSamples},
      {"the data link on a channel group", true,
       [](Bytes& file, const Layout& at) { Store(file, at.data_group + 24 + 16, at.can_group); },
       "Unexpected block type. Expected: a data block, Found: CG", 0},
      {"a text block with a link", true, [](Bytes& file, const Layout& at) { Store(file, at.can_first_name + 16, 1); },
       "Text block with links.", kWholeSamples},
      {"a channel group chain that meets itself", true,
       [](Bytes& file, const Layout& at) { Store(file, at.can_group + 24, at.can_group); },
       "Stopped reading a cyclic block chain.", kWholeSamples - 7},
      {"a channel group that two data groups link", true,
       [](Bytes& file, const Layout& at) { AppendDataGroup(file, at, at.can_group, 0); },
       "Stopped reading a cyclic block chain.", kWholeSamples},
      // The DT of a data group whose length its logger never wrote when it began the next
      // group's: its records end there, whole, and at most the zeros that align the next DT
      // follow them. A record that ends cut, or zeros where records must be, are damage.
      {"unfinalized, a data group's DT still growing when the next group's begins", false,
       [](Bytes& file, const Layout& at) { BeginNextDataGroup(file, at, 0); }, nullptr, kWholeSamples},
      {"unfinalized, a data group's DT still growing, its last record cut, when the next group's begins", false,
       [](Bytes& file, const Layout& at) {
         file.resize(file.size() - 10);  // in the payload's length: no zeros that align the DT complete it
         BeginNextDataGroup(file, at, 0);
       },
       "Parse of record failed. Error: End of file detected.", kWholeSamples},
      {"unfinalized, a data group's DT still growing, zeros behind its records, when the next group's begins", false,
       [](Bytes& file, const Layout& at) { BeginNextDataGroup(file, at, 8); },
       "Failed to find the CG block. Record ID: 0", kWholeSamples},
      // Counts the flags call stale are what the data hold, in every data group; counts they
      // call final stand, and differ from the records as damage.
      {"unfinalized, counts of a data group before the last", true,
       [](Bytes& file, const Layout& at) {
         MarkCountsStale(file);
         for (const uint64_t group : {at.can_group, at.vlsd_group, at.lin_group})
           Store(file, Layout::CycleCount(group), 0);
         AppendDataGroup(file, at, 0, 0);
       },
       nullptr, kWholeSamples},
      {"unfinalized, counts the flags call final", true,
       [](Bytes& file, const Layout& at) {
         MarkCountsStale(file);
         file[60] = 0x04;  // the last DT's length only
         for (const uint64_t group : {at.can_group, at.vlsd_group, at.lin_group})
           Store(file, Layout::CycleCount(group), 0);
         AppendDataGroup(file, at, 0, 0);
       },
       "Records differ from the cycle count. Group: CAN_DataFrame, Record ID: 1, Cycle count: 0, Records: 4", 0},
      // Data that hold no record need no channel group to frame them (a recording without any
      // event); data that hold one do, also where the finalization gives the last DT its bytes.
      {"a data group whose data hold no record and no channel group", true,
       [](Bytes& file, const Layout& at) { AppendDataWithoutGroups(file, at, 0, 0); }, nullptr, kWholeSamples},
      {"a data group whose data hold a record and no channel group", true,
       [](Bytes& file, const Layout& at) { AppendDataWithoutGroups(file, at, 10, 10); },
       "Required link is NIL. Block: ", kWholeSamples},
      {"unfinalized, the last DT of a data group without channel group gets its records", true,
       [](Bytes& file, const Layout& at) {
         AppendDataWithoutGroups(file, at, 0, 10);
         std::memcpy(file.data(), "UnFinMF ", 8);
         file[60] = 0x04;  // the last DT's length is stale
       },
       "Required link is NIL. Block: ", kWholeSamples},
      // A conversion has a link per reference besides its four: with one more its fields are
      // read 8 bytes late (the time's factor 1e-6 as 1:1).
      {"a conversion with more links than its references", true,
       [](Bytes& file, const Layout& at) { Store(file, Load(file, at.can_first_channel + 24 + 4 * 8) + 16, 5); },
       "Failed to read the file information blocks. Error: Block with other links than its counts. Block: ", 0},
      {"a channel name that is not UTF-8", true,
       [](Bytes& file, const Layout& at) { file[at.can_first_name + 28] = 0xFF; },
       "Text that is not valid UTF-8. Block: ", kWholeSamples},
      {"a source comment that is not well-formed XML", true,
       [](Bytes& file, const Layout& at) {
         const uint64_t source = Load(file, at.can_group + 24 + 3 * 8);
         file[Load(file, source + 24 + 2 * 8) + 24 + 1] = ' ';  // "< Icomment>"
       },
       "XML that is not well-formed. Block: ", kWholeSamples},
      // What finalization meets that a power loss does not leave is damage.
      {"unfinalized, a fixed record size past the end of the data", false,
       [](Bytes& file, const Layout& at) { Store(file, Layout::RecordBytes(at.lin_group), 0xFF000013); },
       "Parse of record failed. Error: End of file", 3 * 11},
      {"unfinalized, zeros after the last whole record", false,
       [](Bytes& file, const Layout&) { file.resize(file.size() + 100, 0); }, nullptr, kWholeSamples},
      {"unfinalized, bytes other than zeros after the last whole record", false,
       [](Bytes& file, const Layout&) { file.resize(file.size() + 100, 0x55); }, "Failed to find the CG block.",
       kWholeSamples},
      {"unfinalized, the last DT length taken as written", false, [](Bytes& file, const Layout&) { file[60] = 0x21; },
       "Data after the last block. Position: ", 0},
      {"unfinalized, the identification says finalized", false,
       [](Bytes& file, const Layout&) { std::memcpy(file.data(), "MDF     ", 8); },
       "Data after the last block. Position: ", 0},
      {"unfinalized, the identification in lower case", false, [](Bytes& file, const Layout&) { file[0] = 'u'; },
       nullptr, kWholeSamples},
      {"finalized, bytes after the last block", true,
       [](Bytes& file, const Layout&) {
         file.insert(file.end(), {0, 0, 0, 0, 7, 0, 0, 0});
       },
       "Data after the last block. Position: ", kWholeSamples},
      {"finalized, zeros after the last block", true, [](Bytes& file, const Layout&) { file.resize(file.size() + 8); },
       nullptr, kWholeSamples},
      {"unfinalized, several channel groups without record ids", false,
       [](Bytes& file, const Layout& at) { file[at.data_group + 24 + 4 * 8] = 0; },
       "Several channel groups without record IDs: the records cannot be counted.", 0},
      {"finalized, several channel groups without record ids", true,
       [](Bytes& file, const Layout& at) { file[at.data_group + 24 + 4 * 8] = 0; },
       "Parse of record failed. Error: Several channel groups without record IDs.",
       kWholeSamples},  // the observers hold as many samples as the counts declare
      {"a data type no value can be read in", true,
       [](Bytes& file, const Layout& at) { file[at.can_first_channel + 24 + 8 * 8 + 2] = 0xF0; },
       "Unknown data type. Channel: Timestamp, Data type: 240", kWholeSamples - 4},
      {"a channel type no value can be read in", true,
       [](Bytes& file, const Layout& at) { file[at.can_first_channel + 24 + 8 * 8] = 48; },
       "Unknown channel type. Channel: Timestamp, Channel type: 48", kWholeSamples},  // held, without values
      // A block shorter than its type has its fields where its links or the next block are:
      // the read of the blocks ends before it.
      {"a channel with fewer links than its type", true,
       [](Bytes& file, const Layout& at) { Store(file, at.can_first_channel + 16, 5); },
       "Failed to read the file information blocks. Error: Block with fewer links than its type. Block: ", 0},
      {"a channel group shorter than its type", true,
       [](Bytes& file, const Layout& at) { Store(file, at.lin_group + 8, 100); },
       "Failed to read the file information blocks. Error: Block shorter than its type. Block: ", 0},
      {"a channel group longer than the file", true,
       [](Bytes& file, const Layout& at) { Store(file, at.lin_group + 8, file.size()); },
       "Block runs past the end of the file. Block: ", kWholeSamples},
      // Any step of a finalization that fails is damage.
      {"unfinalized, the flags ask for a repair of a list", false, [](Bytes& file, const Layout&) { file[60] |= 0x10; },
       "Finalizing DL block is not supported.", kWholeSamples},
      // A list that names its first block again in place of its second: the block is read
      // once, and what the second held is lost.
      {"unfinalized, data in a list that names a block twice", false,
       [](Bytes& file, const Layout& at) {
         MoveDataIntoList(file, at, 40);
         Store(file, at.dt + 24 + 16, Load(file, at.dt + 24 + 8));
       },
       "Data block named twice. List: ", 11},
      {"unfinalized, the last block of a list is no DT block", false,
       [](Bytes& file, const Layout& at) {
         MoveDataIntoList(file, at, 40);
         std::memcpy(file.data() + (at.dt + 72 + 24 + 40 + 7) / 8 * 8, "##RD", 4);
       },
       "The last block of the data list is not a DT block.", 11},  // the records of its first block
  };
}

// The samples of the records a stream of `size` bytes of the recording's records holds whole.
size_t WholeSamplesIn(const Bytes& records, size_t size) {
  size_t samples = 0;
  for (size_t at = 0; at < size;) {
    const uint8_t id = records[at];
    size_t length = 1 + (id == Writer::kCanRecordId ? Writer::kCanRecordBytes : Writer::kLinRecordBytes);
    if (id == Writer::kVlsdRecordId) length = at + 5 <= size ? 5 + Load(records, at + 1) % (uint64_t{1} << 32) : size;
    if (at + length > size) break;
    samples += id == Writer::kCanRecordId ? 11 : id == Writer::kLinRecordId ? 7 : 0;
    at += length;
  }
  return samples;
}

// A logger that fills DT blocks of a fixed size in a list, its records crossing from block to
// block, torn at every byte after its list: it links each block when it begins it, or once
// its header is whole; the file ends there, or zeros follow to the next 256 bytes (a file
// system that grew the file). A plain tear is no damage and reads the whole records, header
// bytes never among them; padding reads them too, or is damage that the end cannot be told
// from padding, and never gives a sample more.
TEST(FileDamage, ALoggerFillingFixedBlocksIsTornAtEveryByte) {
  Bytes full = Recording(false);
  const Layout at(full);
  const Bytes records(full.begin() + static_cast<std::ptrdiff_t>(at.dt + 24), full.end());
  constexpr uint64_t kBlock = 8;
  const uint64_t blocks = records.size() / kBlock;
  ASSERT_EQ(records.size() % kBlock, 0U);
  MoveDataIntoFixedBlocks(full, at, kBlock, blocks, 0, false);
  const uint64_t list = at.dt;
  const uint64_t first = list + 24 + 8 * (1 + blocks) + 8 + 8 * blocks;
  ASSERT_EQ(full.size(), first + blocks * (24 + kBlock));
  size_t clean = 0;
  size_t padding = 0;
  for (const bool linked_when_begun : {true, false}) {
    for (const bool padded : {false, true}) {
      for (size_t size = first; size <= full.size(); ++size) {
        const std::string name = std::string(linked_when_begun ? "begun" : "whole") + (padded ? ", padded" : "") +
                                 ", cut at " + std::to_string(size);
        Bytes file(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        size_t stream = 0;
        for (uint64_t i = 0; i < blocks; ++i) {
          const uint64_t block = first + i * (24 + kBlock);
          const bool linked = linked_when_begun ? block <= size : block + 24 <= size;
          if (!linked) Store(file, list + 24 + 8 * (1 + i), 0);
          if (block + 24 <= size) stream += std::min<uint64_t>(kBlock, size - block - 24);
        }
        if (padded) file.resize((size + 255) / 256 * 256, 0);
        const Read read = ReadWhole(file);
        const size_t whole = WholeSamplesIn(records, stream);
        if (!read.damaged) {
          ++clean;
          EXPECT_EQ(read.samples, whole) << name;
        } else {
          ++padding;
          EXPECT_TRUE(padded) << name << ": " << read.first;
          EXPECT_EQ(read.first.rfind("The end of the records cannot be told from padding.", 0), 0U)
              << name << ": " << read.first;
          EXPECT_LE(read.samples, whole) << name;
        }
        if (HasFailure()) return;
      }
    }
  }
  EXPECT_GT(padding, 0U);
  EXPECT_GT(clean, 3 * padding);
}

TEST(FileDamage, EveryKindMarksTheFileAndRepairsDoNot) {
  for (const DamageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    Bytes file = Recording(c.finalized);
    c.damage(file, Layout(file));
    const Read read = ReadWhole(file);
    EXPECT_EQ(read.damaged, c.first != nullptr) << read.first;
    if (c.first != nullptr) {
      EXPECT_EQ(read.first.rfind(c.first, 0), 0U) << read.first;
      EXPECT_TRUE(read.first_logged);
    } else {
      EXPECT_EQ(read.first, "");
    }
    EXPECT_EQ(read.samples, c.samples);
  }
}

// Reproducers of a comment that cannot be read, read whole as a user does: the damage is the
// file's first, logged once (no later parse of the comment logs it again), and the comment
// holds what could be read of it.
TEST(FileDamage, ACommentThatCannotBeReadIsDamageLoggedOnce) {
  const struct {
    const char* name;
    const char* first;
    const char* comment_holds;  // in the header comment as read
  } cases[] = {
      {"comment-not-utf8-hd.MF4", "Text that is not valid UTF-8. Block: 0xA8, Byte: 444",
       "<e name='split' type='integer' ro='true'>1</e>\n    </tree>\n  </common_properties>\n</HDcomment>"},
      {"comment-not-utf8-fh.MF4", "Text that is not valid UTF-8. Block: 0x3D0, Byte: 7", "</HDcomment>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = test::ReadWholeFile(std::string(LOGMEND_CONVERSION_CORPUS) + "/" + c.name);
    test::LogCapture log;
    mdf::MdfReader reader(std::make_shared<test::MemoryBuffer>(Bytes(bytes.begin(), bytes.end())));
    EXPECT_TRUE(test::ReadAsUser(reader).Succeeded());
    EXPECT_TRUE(reader.IsDamaged());
    EXPECT_EQ(reader.FirstDamage(), c.first);
    size_t errors = 0;
    for (const test::LogEntry& entry : log.entries) errors += entry.severity == mdf::MdfLogSeverity::kError;
    EXPECT_EQ(errors, 1U);
    const std::string comment = reader.FileHeader()->MetaDataInterface()->XmlText();
    EXPECT_NE(comment.find(c.comment_holds), std::string::npos) << comment;
    EXPECT_FALSE(mdf::FindTextFault(comment, true)) << comment;
  }
}

// A channel group whose chain damage cut is left alone in its data group: it takes the
// records of its own id only, and the read ends at the first record of a group cut off.
TEST(FileDamage, AGroupLeftByACutChainTakesOnlyItsOwnRecords) {
  Bytes file = Recording(true);
  const Layout at(file);
  Store(file, at.can_group + 24, at.can_group);
  test::LogCapture log;
  mdf::MdfReader reader(std::make_shared<test::MemoryBuffer>(file));
  ASSERT_TRUE(reader.ReadEverythingButData());
  mdf::DataGroupList groups;
  reader.GetFile()->DataGroups(groups);
  ASSERT_EQ(groups.size(), 1U);
  ASSERT_EQ(groups[0]->ChannelGroups().size(), 1U);
  mdf::ChannelObserverList observers;
  mdf::CreateObserversForDataGroup(*groups[0], observers);
  EXPECT_FALSE(reader.ReadData(*groups[0]));
  // The first CAN record, then the VLSD payload of another group's id.
  EXPECT_EQ(groups[0]->ChannelGroups()[0]->SampleCounter(), 1U);
  EXPECT_TRUE(log.Contains("Parse of record failed. Error: No channel group found."));
  EXPECT_EQ(reader.FirstDamage(), "Stopped reading a cyclic block chain. Position: " +
                                      mdf::detail::AddressToText(static_cast<int64_t>(at.can_group)) +
                                      ", Block: " + mdf::detail::AddressToText(static_cast<int64_t>(at.can_group)));
}

}  // namespace

namespace {

// A channel that cannot be read (fewer links than a channel has) ends the read of the block
// tree: the group whose chain it cut is marked, so that none of its records is decoded
// without its channels, and the groups read before it keep their references (the CAN data
// bytes in the VLSD group's signal data).
TEST(FileDamage, AChannelThatCannotBeReadMarksItsGroupAndLeavesTheGroupsBeforeItWhole) {
  for (const bool finalized : {true, false}) {
    SCOPED_TRACE(finalized);
    Bytes file = Recording(finalized);
    const Layout at(file);
    const uint64_t lin_first_channel = Load(file, at.lin_group + 24 + 8);
    Store(file, lin_first_channel + 16, 5);  // the link count: a channel has 8
    test::LogCapture log;
    mdf::MdfReader reader(std::make_shared<test::MemoryBuffer>(file));
    EXPECT_FALSE(reader.ReadEverythingButData());
    EXPECT_TRUE(reader.IsDamaged());
    mdf::DataGroupList groups;
    reader.GetFile()->DataGroups(groups);
    ASSERT_EQ(groups.size(), 1U);
    const std::vector<mdf::IChannelGroup*> channel_groups = groups[0]->ChannelGroups();
    ASSERT_EQ(channel_groups.size(), 3U);
    EXPECT_FALSE(channel_groups[0]->ChannelListCut());
    EXPECT_FALSE(channel_groups[1]->ChannelListCut());
    EXPECT_TRUE(channel_groups[2]->ChannelListCut());
    if (!finalized) continue;  // the finalization never ran: the counts are the file's
    mdf::ChannelObserverList observers;
    mdf::CreateObserversForDataGroup(*groups[0], observers);
    reader.ReadData(*groups[0]);
    const mdf::IChannelObserver* data = nullptr;
    for (const auto& observer : observers) {
      if (observer->ChannelName() == "CAN_DataFrame.DataBytes") data = observer.get();
    }
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->NofSamples(), 4U);
    for (uint64_t sample = 0; sample < 4; ++sample) {
      std::vector<uint8_t> bytes;
      EXPECT_TRUE(data->GetByteArray(sample, bytes));
      EXPECT_EQ(bytes, std::vector<uint8_t>(8, static_cast<uint8_t>(sample))) << sample;
    }
  }
}

}  // namespace
