#pragma once
// MDF4 channel array block "##CA": the dimensions of an array channel, how its elements are
// stored, and references to the channels giving its dynamic size, quantities and axes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannelarray.h"
#include "mdfblock.h"

namespace mdf::detail {

class ReadGuard;

/// "Array", "Scaling Axis", "Look-Up", "Interval Axis", "Classification Result", "Unknown".
std::string ArrayTypeText(uint8_t type);
/// "CN Template", "CG Template", "DG Template", "Unknown".
std::string ArrayStorageText(uint8_t storage);
/// Names of the flag bits 0 to 7, joined by "," without blanks.
std::string ArrayFlagsText(uint32_t flags);

class Ca4Block : public MdfBlock, public IChannelArray {
 public:
  using BlockList = std::vector<std::unique_ptr<MdfBlock>>;

  Ca4Block();
  ~Ca4Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] uint8_t Type() const override { return type_; }
  void SetType(uint8_t type) override { type_ = type; }
  [[nodiscard]] uint8_t Storage() const override { return storage_; }
  void SetStorage(uint8_t storage) override { storage_ = storage; }
  [[nodiscard]] uint32_t Flags() const override { return flags_; }
  void SetFlags(uint32_t flags) override { flags_ = flags; }
  [[nodiscard]] uint16_t Dimensions() const override { return nof_dimensions_; }
  [[nodiscard]] const std::vector<uint64_t>& Shape() const override { return shape_; }
  size_t SetShape(const std::vector<uint64_t>& shape) override;
  [[nodiscard]] uint64_t DimensionSize(size_t index) const override;
  std::vector<double>& AxisValues() override;
  [[nodiscard]] const std::vector<double>& AxisValues() const override { return axis_values_; }
  std::vector<uint64_t>& CycleCounts() override;
  [[nodiscard]] const std::vector<uint64_t>& CycleCounts() const override { return cycle_counts_; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// The composition's blocks first, then this block and its comment.
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// Reads the fields, the composition and resolves the references found so far. Lists
  /// whose size does not fit the block length are logged and left empty.
  size_t Read(std::streambuf& buffer) override;
  /// Reads the array as a member of the composition tree that `composition` guards.
  size_t ReadNested(std::streambuf& buffer, ReadGuard& composition);
  /// Writes the composition, then the block, once. Referenced blocks are linked only when
  /// they are already in the file.
  size_t Write(std::streambuf& buffer) override;

  /// Rebuilds the reference lists from the links through the header's lookup.
  void ResolveReferences();
  /// The channel that owns the array (set when a channel creates it).
  void SetChannel(IChannel* channel) { channel_ = channel; }
  [[nodiscard]] IChannel* Channel() const { return channel_; }
  /// Byte offset base := the owning channel's data bytes, invalidation base := 0.
  void UpdateByteOffsetBase();

  [[nodiscard]] int32_t ByteOffsetBase() const { return byte_offset_base_; }
  void ByteOffsetBase(int32_t base) { byte_offset_base_ = base; }
  [[nodiscard]] uint32_t InvalidationBitBase() const { return invalidation_bit_base_; }
  void InvalidationBitBase(uint32_t base) { invalidation_bit_base_ = base; }
  [[nodiscard]] const BlockList& Compositions() const { return composition_list_; }

 private:
  /// Reads the composition (an array or member channels) at the link into the composition
  /// tree that `composition` guards, unless one is loaded or the link is 0. Defined in
  /// composition.cpp, where channels and arrays are made.
  void LoadComposition(std::streambuf& buffer, size_t index, ReadGuard& composition);
  [[nodiscard]] ChannelTriple ChannelTripleAt(MdfBlock* header, size_t index) const;
  [[nodiscard]] IChannelConversion* ConversionAt(MdfBlock* header, size_t index) const;
  [[nodiscard]] std::string LinkDescription(const MdfBlock* block) const;
  /// Number of links the layout gives the current shape, storage type and flags.
  [[nodiscard]] uint64_t LayoutLinkCount() const;

  uint8_t type_ = 0;
  uint8_t storage_ = 0;
  uint16_t nof_dimensions_ = 0;
  uint32_t flags_ = 0;
  int32_t byte_offset_base_ = 0;
  uint32_t invalidation_bit_base_ = 0;
  IChannel* channel_ = nullptr;
  BlockList composition_list_;
  std::vector<uint64_t> shape_;
  std::vector<double> axis_values_;
  std::vector<uint64_t> cycle_counts_;
};

}  // namespace mdf::detail
