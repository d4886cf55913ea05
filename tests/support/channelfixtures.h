#pragma once
// Hand-made channel, channel array and neighbouring blocks for the channel tests, and a
// minimal header block that owns blocks read from an image and finds them by position.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "cn4block.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdfblock.h"
#include "support/bytes.h"
#include "support/image.h"
#include "support/memorybuffer.h"

namespace test {

/// An attachment block without embedded data.
inline Bytes AttachmentBlock() {
  return Bytes().Raw("##AT").Zeros(4).U64(96).U64(4).Zeros(32).U16(0).U16(0).U32(0).Zeros(16).U64(0).U64(0);
}

struct CnFields {
  std::vector<int64_t> links = std::vector<int64_t>(8, 0);
  uint8_t type = 0;
  uint8_t sync = 0;
  uint8_t data_type = 0;
  uint8_t bit_offset = 0;
  uint32_t byte_offset = 0;
  uint32_t bit_count = 0;
  uint32_t flags = 0;
  uint32_t invalid_bit = 0;
  uint8_t precision = 0;
  uint16_t nof_attachments = 0;
  std::array<double, 6> limits{};
};

inline Bytes ChannelBlock(const CnFields& cn) {
  Bytes bytes;
  bytes.Raw("##CN").Zeros(4).U64(24 + 8 * cn.links.size() + 72).U64(cn.links.size());
  for (const int64_t link : cn.links) bytes.U64(static_cast<uint64_t>(link));
  bytes.U8(cn.type).U8(cn.sync).U8(cn.data_type).U8(cn.bit_offset);
  bytes.U32(cn.byte_offset).U32(cn.bit_count).U32(cn.flags).U32(cn.invalid_bit);
  bytes.U8(cn.precision).U8(0).U16(cn.nof_attachments);
  for (const double limit : cn.limits) bytes.F64(limit);
  return bytes;
}

/// A member channel: next link, name link, otherwise defaults.
inline Bytes MemberChannel(int64_t next, int64_t name = 0, int64_t composition = 0) {
  CnFields cn;
  cn.links[0] = next;
  cn.links[1] = composition;
  cn.links[2] = name;
  return ChannelBlock(cn);
}

struct CaFields {
  std::vector<int64_t> links = {0};
  uint8_t type = 0;
  uint8_t storage = 0;
  uint16_t nof_dimensions = 0;  // as stored; the sizes below need not agree
  uint32_t flags = 0;
  int32_t byte_offset_base = 0;
  uint32_t invalid_bit_base = 0;
  std::vector<uint64_t> sizes;
  std::vector<double> axis_values;
  std::vector<uint64_t> cycle_counts;
};

inline Bytes ArrayBlock(const CaFields& ca) {
  const uint64_t length =
      24 + 8 * ca.links.size() + 16 + 8 * ca.sizes.size() + 8 * ca.axis_values.size() + 8 * ca.cycle_counts.size();
  Bytes bytes;
  bytes.Raw("##CA").Zeros(4).U64(length).U64(ca.links.size());
  for (const int64_t link : ca.links) bytes.U64(static_cast<uint64_t>(link));
  bytes.U8(ca.type).U8(ca.storage).U16(ca.nof_dimensions).U32(ca.flags);
  bytes.U32(static_cast<uint32_t>(ca.byte_offset_base)).U32(ca.invalid_bit_base);
  for (const uint64_t size : ca.sizes) bytes.U64(size);
  for (const double value : ca.axis_values) bytes.F64(value);
  for (const uint64_t count : ca.cycle_counts) bytes.U64(count);
  return bytes;
}

/// The root of a block tree in the tests: it owns blocks read from an image and answers
/// position lookups from them, as the file's header does.
class TestHeader : public mdf::detail::MdfBlock {
 public:
  TestHeader() { block_id_ = "##HD"; }
  size_t Read(std::streambuf& /* buffer */) override { return 0; }
  mdf::detail::MdfBlock* FindByPosition(int64_t position) override {
    ++lookups;
    for (const auto& block : blocks_) {
      if (auto* found = block->FindByPosition(position)) return found;
    }
    return MdfBlock::FindByPosition(position);
  }
  /// Reads a block of type T at the position as a child of this header.
  template <typename T>
  T& ReadAt(std::streambuf& buffer, int64_t position) {
    auto block = std::make_unique<T>();
    block->AttachToParent(this);
    mdf::detail::SetStreamPosition(buffer, position);
    block->Read(buffer);
    T& result = *block;
    blocks_.push_back(std::move(block));
    return result;
  }
  /// Takes a block that was made elsewhere.
  template <typename T>
  T& Adopt(std::unique_ptr<T> block) {
    T& result = *block;
    blocks_.push_back(std::move(block));
    return result;
  }

  /// Number of position lookups asked of the header.
  size_t lookups = 0;

 private:
  std::vector<std::unique_ptr<mdf::detail::MdfBlock>> blocks_;
};

/// A block of the given id at a position that is also one of the public interfaces: the
/// interface's block queries are answered by the block, and it reads nothing.
template <typename Interface>
class InterfaceBlock : public mdf::detail::MdfBlock, public Interface {
 public:
  InterfaceBlock(const std::string& id, int64_t position) {
    block_id_ = id;
    file_position_ = position;
  }
  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  mdf::IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }
  size_t Read(std::streambuf& /* buffer */) override { return 0; }
};

/// A channel group block as far as its channels need one: it owns channels, holds the
/// record buffer and may claim a file position.
class TestGroupBlock : public InterfaceBlock<mdf::IChannelGroup> {
 public:
  explicit TestGroupBlock(int64_t position = 0) : InterfaceBlock("##CG", position) {}

  [[nodiscard]] uint64_t RecordId() const override { return record_id; }
  void RecordId(uint64_t value) override { record_id = value; }
  [[nodiscard]] std::string Name() const override { return name; }
  void Name(const std::string& value) override { name = value; }
  [[nodiscard]] std::string Description() const override { return {}; }
  void Description(const std::string& /* description */) override {}
  void NofSamples(uint64_t /* nof_samples */) override {}
  [[nodiscard]] uint64_t NofSamples() const override { return 0; }
  void Flags(uint16_t /* flags */) override {}
  [[nodiscard]] uint16_t Flags() const override { return 0; }
  void PathSeparator(uint16_t /* separator */) override {}
  [[nodiscard]] uint16_t PathSeparator() const override { return '/'; }
  [[nodiscard]] std::vector<mdf::IChannel*> Channels() const override {
    std::vector<mdf::IChannel*> list;
    for (const auto& channel : channels) list.push_back(channel.get());
    return list;
  }
  mdf::IChannel* CreateChannel() override { return &AddChannel(); }
  [[nodiscard]] mdf::IChannel* GetXChannel(const mdf::IChannel& /* reference */) const override { return nullptr; }
  mdf::ISourceInformation* CreateSourceInformation() override { return nullptr; }
  [[nodiscard]] mdf::ISourceInformation* SourceInformation() const override { return nullptr; }
  [[nodiscard]] mdf::IDataGroup* DataGroup() const override { return nullptr; }

  mdf::detail::Cn4Block& AddChannel() {
    auto channel = std::make_unique<mdf::detail::Cn4Block>();
    channel->AttachToParent(this);
    channels.push_back(std::move(channel));
    return *channels.back();
  }

  uint64_t record_id = 0;
  std::string name;
  std::vector<std::unique_ptr<mdf::detail::Cn4Block>> channels;
};

/// A data group block that only claims a file position and a description.
class TestDataGroupBlock : public InterfaceBlock<mdf::IDataGroup> {
 public:
  explicit TestDataGroupBlock(int64_t position, std::string description = {})
      : InterfaceBlock("##DG", position), description_(std::move(description)) {}
  [[nodiscard]] std::string Description() const override { return description_; }
  [[nodiscard]] std::vector<mdf::IChannelGroup*> ChannelGroups() const override { return {}; }
  mdf::IChannelGroup* CreateChannelGroup() override { return nullptr; }
  mdf::IChannelGroup* FindParentChannelGroup(const mdf::IBlock& /* block */) override { return nullptr; }

 private:
  std::string description_;
};

}  // namespace test
