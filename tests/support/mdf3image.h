#pragma once
// Whole MDF 3 files built by hand in either byte order: identification and header blocks,
// then per data group its DG, CG, CN and CC blocks and its records, each block placed
// directly behind the previous one (MDF 3 blocks are not aligned).
#include <cstdint>
#include <string>
#include <vector>

#include "dg3block.h"
#include "idblock.h"
#include "mdf3file.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"

namespace test {

struct Mdf3ChannelSpec {
  std::string name;
  uint16_t start_bit = 0;
  uint16_t bits = 8;
  uint16_t data_type = 0;     // MDF 3 signal data type
  uint16_t channel_type = 0;  // 1: time channel
  bool linear = false;        // a linear conversion with offset and factor
  double offset = 0.0;
  double factor = 1.0;
  std::string unit;
};

/// A channel of the type (MDF 3 code) at the bit; channel type 1 is a time channel.
inline Mdf3ChannelSpec Mdf3Channel(const std::string& name, uint16_t start_bit, uint16_t bits, uint16_t data_type,
                                   uint16_t channel_type = 0) {
  Mdf3ChannelSpec channel;
  channel.name = name;
  channel.start_bit = start_bit;
  channel.bits = bits;
  channel.data_type = data_type;
  channel.channel_type = channel_type;
  return channel;
}

/// The same with a linear conversion.
inline Mdf3ChannelSpec Mdf3LinearChannel(const std::string& name, uint16_t start_bit, uint16_t bits, uint16_t data_type,
                                         double offset, double factor, const std::string& unit) {
  Mdf3ChannelSpec channel = Mdf3Channel(name, start_bit, bits, data_type);
  channel.linear = true;
  channel.offset = offset;
  channel.factor = factor;
  channel.unit = unit;
  return channel;
}

struct Mdf3GroupSpec {
  uint16_t record_id = 0;
  uint16_t record_size = 0;
  uint32_t nof_records = 0;
  std::vector<Mdf3ChannelSpec> channels;
  uint16_t block_size = 30;  // 26: an older block without the first-SR link
  std::string comment;
};

struct Mdf3DataGroupSpec {
  uint16_t nof_record_ids = 0;
  std::vector<Mdf3GroupSpec> groups;
  std::vector<uint8_t> records;  // the record stream, ids included
};

struct Mdf3FileSpec {
  bool big_endian = false;
  std::string author = "Author";
  std::string comment;
  uint64_t timestamp = 0;
  std::vector<Mdf3DataGroupSpec> data_groups;
};

constexpr uint32_t kMdf3HeaderAt = 64;
constexpr uint32_t kMdf3HeaderSize = 208;
constexpr uint32_t kMdf3DgSize = 28;
constexpr uint32_t kMdf3CnSize = 228;
constexpr uint32_t kMdf3LinearCcSize = 62;

/// The identification block of an MDF 3.30 file of the byte order.
inline Mdf3Bytes Mdf3Identification(bool big_endian, uint16_t version = 330) {
  Mdf3Bytes bytes(big_endian);
  bytes.Text("MDF     ", 8).Text("3.30", 8).Text("HandMade", 8);
  // The byte-order word is read little-endian: 0 little, anything else big.
  bytes.Raw(std::vector<uint8_t>{static_cast<uint8_t>(big_endian ? 1 : 0), 0});
  bytes.U16(0).U16(version).U16(65001).Zeros(28).U16(0).U16(0);
  return bytes;
}

/// A text block holding the text.
inline Mdf3Bytes Mdf3Text(bool big_endian, const std::string& text) {
  return Mdf3Bytes(big_endian).Header("TX", static_cast<uint16_t>(text.size() + 5)).Raw(text).Zeros(1);
}

/// The whole file, its blocks one behind the other: links are computed from the sizes of the blocks before.
inline std::vector<uint8_t> Mdf3Image(const Mdf3FileSpec& spec) {
  const bool be = spec.big_endian;
  Mdf3Bytes file = Mdf3Identification(be);
  uint32_t at = kMdf3HeaderAt + kMdf3HeaderSize;
  const uint32_t comment_at = at;
  if (!spec.comment.empty()) at += static_cast<uint32_t>(spec.comment.size() + 5);

  // Positions of every data group's blocks, then the blocks themselves.
  std::vector<Mdf3Bytes> tail;
  std::vector<uint32_t> dg_at;
  for (const auto& data_group : spec.data_groups) {
    dg_at.push_back(at);
    uint32_t size = kMdf3DgSize;
    for (const auto& group : data_group.groups) {
      size += group.block_size + static_cast<uint32_t>(group.comment.empty() ? 0 : group.comment.size() + 5);
      for (const auto& channel : group.channels) {
        size += kMdf3CnSize + (channel.linear ? kMdf3LinearCcSize : 0);
      }
    }
    at += size + static_cast<uint32_t>(data_group.records.size());
  }

  Mdf3Bytes header(be);
  header.Header("HD", kMdf3HeaderSize)
      .U32(spec.data_groups.empty() ? 0 : dg_at[0])
      .U32(spec.comment.empty() ? 0 : comment_at)
      .U32(0)
      .U16(static_cast<uint16_t>(spec.data_groups.size()))
      .Text("01:02:2024", 10)
      .Text("12:34:56", 8)
      .Text(spec.author, 32)
      .Text("Organisation", 32)
      .Text("Project", 32)
      .Text("Subject", 32)
      .U64(spec.timestamp)
      .I16(1)
      .U16(0)
      .Text("Local PC Reference Time", 32);
  file.Raw(header.Data());
  if (!spec.comment.empty()) file.Raw(Mdf3Text(be, spec.comment).Data());

  for (size_t d = 0; d < spec.data_groups.size(); ++d) {
    const auto& data_group = spec.data_groups[d];
    uint32_t pos = dg_at[d] + kMdf3DgSize;
    std::vector<uint32_t> cg_at;
    for (const auto& group : data_group.groups) {
      cg_at.push_back(pos);
      pos += group.block_size + static_cast<uint32_t>(group.comment.empty() ? 0 : group.comment.size() + 5);
      for (const auto& channel : group.channels) pos += kMdf3CnSize + (channel.linear ? kMdf3LinearCcSize : 0);
    }
    const uint32_t records_at = pos;
    Mdf3Bytes dg(be);
    dg.Header("DG", kMdf3DgSize)
        .U32(d + 1 < spec.data_groups.size() ? dg_at[d + 1] : 0)
        .U32(data_group.groups.empty() ? 0 : cg_at[0])
        .U32(0)
        .U32(data_group.records.empty() ? 0 : records_at)
        .U16(static_cast<uint16_t>(data_group.groups.size()))
        .U16(data_group.nof_record_ids)
        .Zeros(4);
    file.Raw(dg.Data());
    for (size_t g = 0; g < data_group.groups.size(); ++g) {
      const auto& group = data_group.groups[g];
      const uint32_t comment = group.comment.empty() ? 0 : cg_at[g] + group.block_size;
      uint32_t cn = cg_at[g] + group.block_size + (comment != 0 ? static_cast<uint32_t>(group.comment.size() + 5) : 0);
      Mdf3Bytes cg(be);
      cg.Header("CG", group.block_size)
          .U32(g + 1 < data_group.groups.size() ? cg_at[g + 1] : 0)
          .U32(group.channels.empty() ? 0 : cn)
          .U32(comment)
          .U16(group.record_id)
          .U16(static_cast<uint16_t>(group.channels.size()))
          .U16(group.record_size)
          .U32(group.nof_records);
      if (group.block_size >= 30) cg.U32(0);
      file.Raw(cg.Data());
      if (comment != 0) file.Raw(Mdf3Text(be, group.comment).Data());
      for (size_t c = 0; c < group.channels.size(); ++c) {
        const auto& channel = group.channels[c];
        const uint32_t cc = channel.linear ? cn + kMdf3CnSize : 0;
        const uint32_t next = cn + kMdf3CnSize + (channel.linear ? kMdf3LinearCcSize : 0);
        Mdf3Bytes block(be);
        block.Header("CN", kMdf3CnSize)
            .U32(c + 1 < group.channels.size() ? next : 0)
            .U32(cc)
            .U32(0)
            .U32(0)
            .U32(0)
            .U16(channel.channel_type)
            .Text(channel.name, 32)
            .Text("", 128)
            .U16(channel.start_bit)
            .U16(channel.bits)
            .U16(channel.data_type)
            .U16(0)
            .F64(0.0)
            .F64(0.0)
            .F64(0.0)
            .U32(0)
            .U32(0)
            .U16(0);
        file.Raw(block.Data());
        if (channel.linear) {
          Mdf3Bytes conversion(be);
          conversion.Header("CC", kMdf3LinearCcSize)
              .U16(0)
              .F64(0.0)
              .F64(0.0)
              .Text(channel.unit, 20)
              .U16(0)
              .U16(2)
              .F64(channel.offset)
              .F64(channel.factor);
          file.Raw(conversion.Data());
        }
        cn = next;
      }
    }
    file.Raw(data_group.records);
  }
  return file.Data();
}

/// A hand-built file read with every block but the data.
struct LoadedMdf3 {
  explicit LoadedMdf3(std::vector<uint8_t> image)
      : buffer(std::move(image)), file(std::make_unique<mdf::detail::IdBlock>()) {
    file.ReadEverythingButData(buffer);
  }
  mdf::detail::Dg3Block& Dg(size_t index = 0) { return *file.Hd3()->Dg3List().at(index); }

  MemoryBuffer buffer;
  mdf::detail::Mdf3File file;
};

}  // namespace test
