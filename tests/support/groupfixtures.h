#pragma once
// Hand-made MDF4 data group, channel group and sample reduction blocks, and small files of them.
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "cg4block.h"
#include "channelobserver.h"
#include "damage.h"
#include "dg4block.h"
#include "dt4block.h"
#include "mdf/filedamage.h"
#include "mdf/memoryaccount.h"
#include "mdfblock.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/image.h"
#include "support/memorybuffer.h"

namespace test {

inline Bytes DgBlock(int64_t next, int64_t first_cg, int64_t data, int64_t comment, uint8_t id_size) {
  return Bytes()
      .Raw("##DG")
      .Zeros(4)
      .U64(64)
      .U64(4)
      .U64(static_cast<uint64_t>(next))
      .U64(static_cast<uint64_t>(first_cg))
      .U64(static_cast<uint64_t>(data))
      .U64(static_cast<uint64_t>(comment))
      .U8(id_size)
      .Zeros(7);
}

struct CgFields {
  int64_t next = 0;
  int64_t first_cn = 0;
  int64_t name = 0;
  int64_t source = 0;
  int64_t first_sr = 0;
  int64_t comment = 0;
  uint64_t record_id = 0;
  uint64_t cycle_count = 0;
  uint16_t flags = 0;
  uint16_t path_separator = '/';
  uint32_t data_bytes = 0;
  uint32_t invalid_bytes = 0;
  int64_t seventh_link = 0;  // written when flags bit 3 is set

  // Chained setters for compact fixtures.
  CgFields& Next(int64_t v) {
    next = v;
    return *this;
  }
  CgFields& FirstCn(int64_t v) {
    first_cn = v;
    return *this;
  }
  CgFields& Name(int64_t v) {
    name = v;
    return *this;
  }
  CgFields& Source(int64_t v) {
    source = v;
    return *this;
  }
  CgFields& FirstSr(int64_t v) {
    first_sr = v;
    return *this;
  }
  CgFields& Comment(int64_t v) {
    comment = v;
    return *this;
  }
  CgFields& Id(uint64_t v) {
    record_id = v;
    return *this;
  }
  CgFields& Cycles(uint64_t v) {
    cycle_count = v;
    return *this;
  }
  CgFields& Flags(uint16_t v) {
    flags = v;
    return *this;
  }
  CgFields& Separator(uint16_t v) {
    path_separator = v;
    return *this;
  }
  CgFields& DataBytes(uint32_t v) {
    data_bytes = v;
    return *this;
  }
  CgFields& InvalidBytes(uint32_t v) {
    invalid_bytes = v;
    return *this;
  }
  CgFields& SeventhLink(int64_t v) {
    seventh_link = v;
    return *this;
  }
};

inline Bytes CgBlock(const CgFields& f) {
  const bool seven = (f.flags & 0x08) != 0;
  Bytes bytes;
  bytes.Raw("##CG").Zeros(4).U64(seven ? 112 : 104).U64(seven ? 7 : 6);
  for (const int64_t link : {f.next, f.first_cn, f.name, f.source, f.first_sr, f.comment}) {
    bytes.U64(static_cast<uint64_t>(link));
  }
  if (seven) bytes.U64(static_cast<uint64_t>(f.seventh_link));
  return bytes.U64(f.record_id)
      .U64(f.cycle_count)
      .U16(f.flags)
      .U16(f.path_separator)
      .Zeros(4)
      .U32(f.data_bytes)
      .U32(f.invalid_bytes);
}

inline Bytes SrBlock(int64_t next, int64_t data, uint64_t cycle_count, double interval, uint8_t sync_type,
                     uint8_t flags) {
  uint64_t interval_bits = 0;
  static_assert(sizeof(interval_bits) == sizeof(interval));
  __builtin_memcpy(&interval_bits, &interval, sizeof(interval));
  return Bytes()
      .Raw("##SR")
      .Zeros(4)
      .U64(64)
      .U64(2)
      .U64(static_cast<uint64_t>(next))
      .U64(static_cast<uint64_t>(data))
      .U64(cycle_count)
      .U64(interval_bits)
      .U8(sync_type)
      .U8(flags)
      .Zeros(6);
}

/// A data group at 64 (record ids of `id_size` bytes) whose one channel group lies at 128 and
/// whose data block lies at 232.
inline FileImage OneGroupFile(const CgFields& group, const Bytes& data_block, uint8_t id_size = 0) {
  FileImage image;
  image.Place(64, DgBlock(0, 128, 232, 0, id_size)).Place(128, CgBlock(group)).Place(232, data_block);
  return image;
}

// A data group read from a file image: the DG block at 64 with its channel groups.
struct LoadedGroup {
  explicit LoadedGroup(const FileImage& image) : buffer(image.Data()) {
    mdf::detail::SetStreamPosition(buffer, 64);
    group.Read(buffer);
    group.ReadCgList(buffer);
  }
  [[nodiscard]] const mdf::detail::Cg4Block& Cg(size_t index) const { return *group.Cg4List()[index]; }
  /// The group's last data block when it is a DT block, as the finalization of one group finds it.
  [[nodiscard]] mdf::detail::Dt4Block* LastDt() const {
    const auto& blocks = group.DataBlockList();
    return blocks.empty() ? nullptr : dynamic_cast<mdf::detail::Dt4Block*>(blocks.back().get());
  }
  /// A last DT still growing runs to the end of the file.
  void GrowLastDt() {
    if (auto* dt = LastDt(); dt != nullptr) dt->UpdateDataSize(buffer);
  }
  /// Counts the records of the last DT into the counts (Dg4Block::CountRecords); true when
  /// there is none.
  bool CountRecords(bool cycle_counts, bool vlsd_sizes) {
    auto* dt = LastDt();
    return dt == nullptr || group.CountRecords(buffer, {dt}, cycle_counts, vlsd_sizes);
  }
  MemoryBuffer buffer;
  mdf::detail::Dg4Block group;
};

// A data group of one record whose VLSD channel finds its signal data at 1024; a reduction
// of the group keeps its data right after them when `reduction` is given.
inline FileImage SignalDataGroup(const Bytes& signal, const std::optional<Bytes>& reduction = std::nullopt) {
  CnFields channel;
  channel.type = 1;
  channel.data_type = 10;
  channel.bit_count = 32;
  channel.links[5] = 1024;
  const auto after = static_cast<int64_t>(1024 + (signal.Data().size() + 7) / 8 * 8);
  FileImage image;
  image.Place(64, DgBlock(0, 128, 512, 0, 0));
  image.Place(128, CgBlock(CgFields().FirstCn(232).FirstSr(reduction ? 448 : 0).Id(0).Cycles(1).DataBytes(4)));
  image.Place(232, ChannelBlock(channel));
  image.Place(512, PlainBlock("##DT", Bytes().U32(0)));
  image.Place(1024, signal);
  if (reduction) {
    image.Place(448, SrBlock(0, after, 1, 0.5, 1, 0));
    image.Place(after, *reduction);
  }
  return image;
}

/// What a read of a group's records gave: whether it succeeded, the first channel's byte array
/// of sample 0, and the damage noted, memory that ran short among it (as the record reader
/// reports it, or thrown to the file's reader).
struct SignalDataRead {
  bool read = false;
  bool short_of_memory = false;
  std::vector<uint8_t> value;
  mdf::FileDamage damage;
};

/// Reads the records of a group such as SignalDataGroup gives, observing its first channel,
/// within `memory` when given.
inline SignalDataRead ReadSignalDataGroup(LoadedGroup& file, mdf::MemoryAccount* memory = nullptr) {
  if (memory != nullptr) file.group.SetMemoryAccount(memory);
  auto& group = *file.group.Cg4List()[0];
  group.ReadCnList(file.buffer);
  group.ReadSrList(file.buffer);
  mdf::detail::ChannelObserver<std::vector<uint8_t>> observer(file.group, group, *group.Cn4List()[0]);
  SignalDataRead outcome;
  const mdf::detail::DamageScope scope(outcome.damage);
  try {
    outcome.read = file.group.ReadData(file.buffer);
  } catch (const std::bad_alloc&) {
    outcome.short_of_memory = true;
  }
  outcome.short_of_memory = outcome.short_of_memory || outcome.damage.out_of_memory;
  observer.GetSampleByteArray(0, outcome.value);
  return outcome;
}

}  // namespace test
