// Reading a recording laid out as a CAN/LIN logger writes it, about 500 MB: one unsorted
// data group (record id size 1) with nine bus-event channel groups, each a "Timestamp"
// master and a frame channel whose members are composed into it and packed to the bit,
// the payloads of CAN FD frames in a VLSD channel group; 4 MiB DT blocks under a DL. Every
// channel observed, as the logger-file reader does.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "benchfile.h"
#include "mdf/mdflogstream.h"

namespace {

constexpr uint64_t kDataSize = 500'000'000;
constexpr uint64_t kBlockSize = uint64_t{4} << 20;

using bench::ChannelSpec;
using bench::GroupSpec;

// A member of a frame: name, data type, byte offset, bit offset, bit count.
ChannelSpec Member(const std::string& group, const std::string& name, uint8_t data_type, uint32_t byte_offset,
                   uint8_t bit_offset, uint32_t bit_count) {
  ChannelSpec member;
  member.name = group + "." + name;
  member.data_type = data_type;
  member.byte_offset = byte_offset;
  member.bit_offset = bit_offset;
  member.bit_count = bit_count;
  member.flags = 0x400;  // bus event
  return member;
}

GroupSpec BusGroup(const std::string& name, uint64_t record_id, uint32_t frame_bytes,
                   std::vector<ChannelSpec> members) {
  GroupSpec group;
  group.name = name;
  group.record_id = record_id;
  group.flags = 6;  // bus event, plain bus event
  group.data_bytes = 8 + frame_bytes;
  ChannelSpec time{"Timestamp", 2, 1, 0, 0, 0, 64, 0, -1, {}};
  ChannelSpec frame{name, 0, 0, 10, 8, 0, frame_bytes * 8, 0x400, -1, std::move(members)};
  group.channels = {time, frame};
  return group;
}

// The layouts, record ids 1 to 10 (3 is the VLSD group of the CAN FD frames).
std::vector<GroupSpec> Groups(const std::vector<uint64_t>& counts) {
  const std::string can = "CAN_DataFrame";
  const auto can_members = [&can](bool fd) {
    std::vector<ChannelSpec> members = {
        Member(can, "BusChannel", 0, 8, 0, 8), Member(can, "ID", 0, 9, 0, 29),  Member(can, "IDE", 0, 12, 5, 1),
        Member(can, "Dir", 0, 12, 6, 1),       Member(can, "EDL", 0, 12, 7, 1), Member(can, "BRS", 0, 13, 0, 1),
        Member(can, "ESI", 0, 13, 1, 1),       Member(can, "DLC", 0, 13, 4, 4), Member(can, "DataLength", 0, 14, 0, 7),
    };
    ChannelSpec data = Member(can, "DataBytes", 10, 15, 0, 64);
    if (fd) data.type = 1;  // the bytes lie in the VLSD group; the record holds their offset
    members.push_back(data);
    return members;
  };
  std::vector<GroupSpec> groups;
  groups.push_back(BusGroup(can, 1, 15, can_members(false)));
  groups.push_back(BusGroup(can, 2, 15, can_members(true)));
  GroupSpec vlsd;
  vlsd.record_id = 3;
  vlsd.flags = 1;
  groups.push_back(vlsd);
  const std::string remote = "CAN_RemoteFrame";
  groups.push_back(BusGroup(remote, 4, 7,
                            {Member(remote, "BusChannel", 0, 8, 0, 8), Member(remote, "ID", 0, 9, 0, 29),
                             Member(remote, "IDE", 0, 12, 5, 1), Member(remote, "Dir", 0, 12, 6, 1),
                             Member(remote, "DLC", 0, 13, 0, 4), Member(remote, "DataLength", 0, 14, 0, 7)}));
  const std::string error = "CAN_ErrorFrame";
  groups.push_back(
      BusGroup(error, 5, 2, {Member(error, "BusChannel", 0, 8, 0, 8), Member(error, "ErrorType", 0, 9, 0, 3)}));
  const std::string lin = "LIN_Frame";
  groups.push_back(BusGroup(lin, 6, 11,
                            {Member(lin, "BusChannel", 0, 8, 0, 8), Member(lin, "ID", 0, 9, 0, 6),
                             Member(lin, "Dir", 0, 9, 7, 1), Member(lin, "ReceivedDataByteCount", 0, 10, 0, 4),
                             Member(lin, "DataLength", 0, 10, 4, 4), Member(lin, "DataBytes", 10, 11, 0, 64)}));
  const std::string checksum = "LIN_ChecksumError";
  groups.push_back(
      BusGroup(checksum, 7, 12,
               {Member(checksum, "BusChannel", 0, 8, 0, 8), Member(checksum, "ID", 0, 9, 0, 6),
                Member(checksum, "Dir", 0, 9, 7, 1), Member(checksum, "ReceivedDataByteCount", 0, 10, 0, 4),
                Member(checksum, "DataLength", 0, 10, 4, 4), Member(checksum, "Checksum", 0, 11, 0, 8),
                Member(checksum, "ChecksumModel", 0, 12, 0, 1), Member(checksum, "DataBytes", 10, 12, 0, 64)}));
  for (const auto& [name, id] : std::vector<std::pair<std::string, uint64_t>>{
           {"LIN_ReceiveError", 8}, {"LIN_SyncError", 9}, {"LIN_TransmissionError", 10}}) {
    groups.push_back(BusGroup(name, id, 2, {Member(name, "BusChannel", 0, 8, 0, 8), Member(name, "ID", 0, 9, 0, 6)}));
  }
  for (size_t i = 0; i < groups.size(); ++i) groups[i].cycles = counts[i];
  groups[1].channels[1].composition.back().vlsd_group = 2;
  return groups;
}

class LoggerFile {
 public:
  LoggerFile() : file_("bench_logger_layout") {
    bench::DataWriter data(file_, kBlockSize, false);
    bench::XorShift random;
    std::vector<uint64_t> counts(10, 0);
    uint64_t time = 0;
    uint64_t vlsd_offset = 0;
    while (data.DataSize() + data.Stream().size() < kDataSize) {
      const uint32_t draw = random.Next();
      const uint32_t kind = draw % 100;
      time += 20 + (draw >> 26);
      bench::Bytes& out = data.Stream();
      const auto record = [&](uint64_t id) {
        bench::PutLe(out, id, 1);
        bench::PutLe(out, time, 8);
        ++counts[id - 1];
      };
      const uint32_t can_id = draw >> 3 & 0x1FFFFFFF;
      if (kind < 40) {  // classic CAN: id, flags, DLC 8, eight bytes
        record(1);
        bench::PutLe(out, 1 + (draw & 3), 1);
        bench::PutLe(out, can_id | (draw & 0x20000000) | (uint64_t{draw >> 30 & 1} << 30), 4);
        bench::PutLe(out, 8 << 4, 1);
        bench::PutLe(out, 8, 1);
        bench::PutLe(out, uint64_t{draw} * 0x9E3779B97F4A7C15ULL, 8);
      } else if (kind < 80) {  // CAN FD: the payload first, in the VLSD group
        static constexpr uint8_t kLengths[] = {12, 16, 20, 24, 32, 48, 64};
        static constexpr uint8_t kDlcs[] = {9, 10, 11, 12, 13, 14, 15};
        const unsigned pick = (draw >> 8) % 7;
        bench::PutLe(out, 3, 1);
        bench::PutLe(out, kLengths[pick], 4);
        for (unsigned i = 0; i < kLengths[pick]; ++i) bench::PutLe(out, (draw >> (i % 24)) & 0xFF, 1);
        ++counts[2];
        record(2);
        bench::PutLe(out, 1 + (draw & 3), 1);
        bench::PutLe(out, can_id | 0x80000000, 4);        // EDL
        bench::PutLe(out, 0x01 | (kDlcs[pick] << 4), 1);  // BRS
        bench::PutLe(out, kLengths[pick], 1);
        bench::PutLe(out, vlsd_offset, 8);
        vlsd_offset += 4 + kLengths[pick];
      } else if (kind < 92) {  // LIN frame
        record(6);
        bench::PutLe(out, 1, 1);
        bench::PutLe(out, draw >> 10 & 0xBF, 1);
        bench::PutLe(out, 0x88, 1);
        bench::PutLe(out, uint64_t{draw} * 0x2545F4914F6CDD1DULL, 8);
      } else if (kind < 94) {  // remote frame
        record(4);
        bench::PutLe(out, 1, 1);
        bench::PutLe(out, can_id, 4);
        bench::PutLe(out, 8, 1);
        bench::PutLe(out, 8, 1);
      } else if (kind < 96) {  // error frame
        record(5);
        bench::PutLe(out, 1, 1);
        bench::PutLe(out, draw >> 12 & 7, 1);
      } else if (kind < 97) {  // LIN checksum error
        record(7);
        bench::PutLe(out, 1, 1);
        bench::PutLe(out, draw >> 10 & 0xBF, 1);
        bench::PutLe(out, 0x88, 1);
        bench::PutLe(out, draw >> 16 & 0xFF, 1);
        bench::PutLe(out, uint64_t{draw} * 0x2545F4914F6CDD1DULL, 8);
      } else {  // LIN receive, sync and transmission errors
        record(8 + kind % 3);
        bench::PutLe(out, 1, 1);
        bench::PutLe(out, draw >> 10 & 0x3F, 1);
      }
      data.Drain(false);
    }
    const uint64_t list = data.Finish();
    data_size_ = data.DataSize();
    bench::WriteDataGroup(file_, Groups(counts), list);
    file_size_ = file_.Size();
  }
  [[nodiscard]] const std::string& Name() const { return file_.Name(); }
  [[nodiscard]] uint64_t DataSize() const { return data_size_; }
  [[nodiscard]] uint64_t FileSize() const { return file_size_; }

 private:
  bench::BlockFile file_;
  uint64_t data_size_ = 0;
  uint64_t file_size_ = 0;
};

void AttachEvery(mdf::IDataGroup& group, mdf::ChannelObserverList& observers) {
  mdf::CreateObserversForDataGroup(group, observers);
}

void BM_ReadLoggerLayout(benchmark::State& state) {
  mdf::InstallLogCallback({});
  static LoggerFile file;
  bench::ReadResult last;
  for (auto _ : state) {
    last = bench::ReadInChild(file.Name(), AttachEvery);
    if (!last.ok) {
      state.SkipWithError("the read failed");
      break;
    }
    state.SetIterationTime(last.seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.DataSize()));
  state.counters["peak_MiB"] = last.peak_mib;
  state.counters["input_MiB"] = static_cast<double>(file.FileSize()) / (1 << 20);
  state.counters["peak_per_input"] = last.peak_mib * (1 << 20) / static_cast<double>(file.FileSize());
  state.counters["values_MiB"] = last.values_mib;
  state.SetLabel("every channel");
}

}  // namespace

BENCHMARK(BM_ReadLoggerLayout)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
