#pragma once
// MDF4 channel block "##CN": one signal of a channel group with its place in the record, its
// encoding, limits, name, unit and comment, and the blocks it owns: source information,
// conversion, composition (a channel array or member channels) and signal data blocks.
#include <cstdint>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "datalistblock.h"
#include "mdf/ichannel.h"
#include "mdf/memoryaccount.h"

namespace mdf::detail {

class Cc4Block;
class Md4Block;
class ReadGuard;
class Si4Block;

/// "Fixed", "VLSD", "Master", "Virtual Master", "Synchronization", "MLSD", "Virtual Data".
std::string ChannelTypeText(uint8_t type);
/// "None", "Time", "Angle", "Distance", "Index".
std::string SyncTypeText(uint8_t type);
/// "Unsigned Integer (LE)" ... "CAN Open Time".
std::string DataTypeText(uint8_t type);
/// The words of the flag bits 0 to 14, joined by "," without blanks.
std::string ChannelFlagsText(uint32_t flags);

class Cn4Block : public DataListBlock, public IChannel {
 public:
  /// Signal data larger than this is stored in zipped chunks of this size under an HL block.
  static constexpr uint64_t kSignalDataChunk = 4'000'000;
  /// Signal data up to this size is never zipped.
  static constexpr uint64_t kMinZippedSignalData = 100;

  Cn4Block();
  ~Cn4Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] std::string Name() const override { return name_; }
  void Name(const std::string& name) override { name_ = name; }
  /// MDF4 channels have no display name.
  [[nodiscard]] std::string DisplayName() const override { return {}; }
  void DisplayName(const std::string& /* name */) override {}
  [[nodiscard]] std::string Description() const override { return RawComment(); }
  /// Stores the text as the "TX" element of the MD comment.
  void Description(const std::string& description) override;
  /// The unit block's text; without one "s", "rad" or "m" by sync type, else the
  /// conversion's unit.
  [[nodiscard]] std::string Unit() const override;
  /// An empty text removes the unit block.
  void Unit(const std::string& unit) override;
  [[nodiscard]] uint32_t Flags() const override { return flags_; }
  void Flags(uint32_t flags) override { flags_ = flags; }
  /// A unit link in the file or a unit block held.
  [[nodiscard]] bool IsUnitValid() const override;
  [[nodiscard]] uint8_t ChannelType() const override { return type_; }
  void ChannelType(uint8_t type) override { type_ = type; }
  [[nodiscard]] uint8_t SyncType() const override { return sync_type_; }
  void SyncType(uint8_t type) override { sync_type_ = type; }
  [[nodiscard]] uint8_t DataType() const override { return data_type_; }
  /// Also gives numbers without a size 4 bytes and CANopen date and time their sizes.
  void DataType(uint8_t type) override;
  [[nodiscard]] uint64_t DataBytes() const override { return bit_count_ / 8 + (bit_count_ % 8 != 0 ? 1 : 0); }
  void DataBytes(uint64_t nof_bytes) override { bit_count_ = static_cast<uint32_t>(8 * nof_bytes); }
  /// The precision when set; else 9 for 4-byte values and 17 for any other size.
  [[nodiscard]] uint8_t Decimals() const override;
  void Decimals(uint8_t precision) override;
  [[nodiscard]] bool IsDecimalUsed() const override { return (flags_ & kDecimalFlag) != 0; }
  [[nodiscard]] std::optional<std::pair<double, double>> Range() const override;
  void Range(double min, double max) override;
  [[nodiscard]] std::optional<std::pair<double, double>> Limit() const override;
  void Limit(double min, double max) override;
  [[nodiscard]] std::optional<std::pair<double, double>> ExtLimit() const override;
  void ExtLimit(double min, double max) override;
  [[nodiscard]] double SamplingRate() const override { return 0.0; }
  void SamplingRate(double /* rate */) override {}

  [[nodiscard]] ISourceInformation* SourceInformation() const override;
  ISourceInformation* CreateSourceInformation() override;
  // The members that make or look into a channel array are defined in composition.cpp.
  /// The first composition element that is a channel array.
  [[nodiscard]] IChannelArray* ChannelArray() const override;
  IChannelArray* CreateChannelArray() override;
  [[nodiscard]] IChannelConversion* ChannelConversion() const override;
  /// Creates the conversion when missing; tells it the channel's data type every time.
  IChannelConversion* CreateChannelConversion() override;
  /// Appends a new member channel to the composition.
  IChannel* CreateChannelComposition() override;
  [[nodiscard]] std::vector<IChannel*> ChannelCompositions() override;

  void AddAttachment(IAttachment* attachment) override;
  [[nodiscard]] std::vector<IAttachment*> Attachments() const override { return attachment_list_; }

  bool GetTextValue(const std::vector<uint8_t>& record, std::string& text) const override;
  [[nodiscard]] uint32_t BitCount() const override { return bit_count_; }
  void BitCount(uint32_t bits) override { bit_count_ = bits; }
  [[nodiscard]] uint16_t BitOffset() const override { return bit_offset_; }
  void BitOffset(uint16_t bits) override { bit_offset_ = static_cast<uint8_t>(bits); }
  [[nodiscard]] uint32_t ByteOffset() const override { return byte_offset_; }
  void ByteOffset(uint32_t bytes) override { byte_offset_ = bytes; }
  [[nodiscard]] IChannelGroup* ChannelGroup() const override;
  bool GetByteArrayValue(const std::vector<uint8_t>& record, std::vector<uint8_t>& bytes) const override;
  /// The channel group's record buffer; an empty buffer for a channel without group.
  [[nodiscard]] std::vector<uint8_t>& SampleBuffer() const override;
  void SetValid(bool valid, uint64_t array_index) override;
  [[nodiscard]] bool GetValid(const std::vector<uint8_t>& record, uint64_t array_index) const override;
  /// A VLSD channel appends the text with a terminating zero to its signal data and puts
  /// the entry's offset into the record.
  void SetTextValue(const std::string& text, bool valid) override;
  void SetByteArrayValue(const std::vector<uint8_t>& bytes, bool valid) override;
  std::optional<uint64_t> AppendVlsdValue(const uint8_t* bytes, size_t size) override;
  void ReserveVlsdValues(uint64_t bytes) override;

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Source information, conversion, unit, composition, then data blocks, this block and
  /// its comment.
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  [[nodiscard]] const MdfBlock* FindByPosition(int64_t position) const;
  /// Also takes the channel group from a CG parent or from a CN parent.
  void AttachToParent(MdfBlock* parent) override;
  /// Reads the channel as the root of its composition tree.
  size_t Read(std::streambuf& buffer) override;
  /// Reads the channel as a member of the composition tree that `composition` guards.
  size_t ReadNested(std::streambuf& buffer, ReadGuard& composition);
  /// Writes the composition, name, source, conversion, unit and comment, then the block,
  /// once. The data link is set later by WriteSignalData.
  size_t Write(std::streambuf& buffer) override;
  /// Drops the signal data and the data blocks' in-memory bytes.
  void ClearData() override;

  /// Fixes the channel's place and size in the record before writing.
  void PrepareForWriting(uint32_t byte_offset);
  /// Takes the conversion; it is neither attached nor told the data type.
  void SetCc4(std::unique_ptr<Cc4Block> conversion);
  /// Link 5: signal data, a VLSD channel group or a channel; 0 when none.
  [[nodiscard]] int64_t DataLink() const { return link_list_.size() > 5 ? link_list_[5] : 0; }
  void SetDataLink(std::streambuf& buffer, int64_t link) { PatchLink(buffer, 5, link); }
  /// With flag bit 12 the data group, channel group and channel links of the default X axis.
  [[nodiscard]] std::vector<int64_t> DefaultXLinks() const;

  /// Appends one value (uint32 length, then the bytes) and returns its offset.
  uint64_t AppendVlsdData(const std::vector<uint8_t>& bytes) { return AppendVlsdData(bytes.data(), bytes.size()); }
  uint64_t AppendVlsdData(const uint8_t* bytes, size_t size);
  /// Loads the signal data of the SD, DZ, DL and HL blocks below the channel, held in the
  /// file's memory account (Memory) until ClearData: what they inflate to is taken from it
  /// before any of it is allocated (MemoryCeilingReached past its limit).
  void LoadSignalData(std::streambuf& buffer);
  /// Stores the signal data in SD, DZ or HL/DL/DZ blocks and links them; returns the bytes
  /// the top block's Write reported.
  int64_t WriteSignalData(std::streambuf& buffer, bool compress);
  [[nodiscard]] const std::vector<uint8_t>& SignalData() const { return signal_data_; }
  /// Whether an offset into the signal data did not fit the record's field since the
  /// channel was prepared for writing (the value was then stored as invalid).
  [[nodiscard]] bool VlsdOffsetOverflow() const { return vlsd_offset_overflow_; }

  [[nodiscard]] uint32_t InvalidationBitPosition() const { return invalidation_bit_; }
  void InvalidationBitPosition(uint32_t position) { invalidation_bit_ = position; }
  [[nodiscard]] uint8_t Precision() const { return precision_; }
  /// The channel the data link points to (a maximum-length channel's length channel).
  [[nodiscard]] IChannel* ReferencedChannel() const { return referenced_channel_; }
  void ReferencedChannel(IChannel* channel) { referenced_channel_ = channel; }
  [[nodiscard]] const BlockList& Compositions() const { return composition_list_; }
  [[nodiscard]] const Cc4Block* Conversion() const { return cc_block_.get(); }

 private:
  static constexpr uint32_t kDecimalFlag = 0x0004;
  static constexpr uint32_t kRangeFlag = 0x0008;
  static constexpr uint32_t kLimitFlag = 0x0010;
  static constexpr uint32_t kExtLimitFlag = 0x0020;
  static constexpr uint32_t kDefaultXFlag = 0x1000;

  /// Where a value's bytes lie: the field in the record, the whole record of a VLSD group,
  /// or the signal data entry the record points to. False when they lie outside; `valid`
  /// is the validity of the offset or size read on the way.
  bool LocateValue(const std::vector<uint8_t>& record, bool maximum_length, const uint8_t*& data, uint64_t& size,
                   bool& valid) const;
  /// Reports the first signal data entry at `offset` of a load that lies outside the data.
  void ReportEntryOutside(uint64_t offset) const;
  /// Reads the composition (an array or member channels) at the link into the composition
  /// tree that `composition` guards, unless one is loaded or the link is 0 (composition.cpp).
  void LoadComposition(std::streambuf& buffer, size_t index, ReadGuard& composition);
  /// The channel array's byte offset base becomes the channel's data bytes, its
  /// invalidation bit base 0 (composition.cpp).
  void PrepareArrayForWriting();
  /// Appends an entry and stores its offset in the sample buffer.
  void StoreVlsdEntry(const std::vector<uint8_t>& bytes, bool valid);
  /// Byte and bit of an element's invalidation bit in a record; false without one.
  bool InvalidationBit(uint64_t array_index, uint64_t& byte, uint8_t& mask) const;
  int64_t WriteZippedSignalData(std::streambuf& buffer);
  /// The blocks this channel owns, not itself and its comment, searched for the position.
  [[nodiscard]] MdfBlock* FindOwned(int64_t position) const;
  int64_t WritePlainSignalData(std::streambuf& buffer);

  uint8_t type_ = 0;
  uint8_t sync_type_ = 0;
  uint8_t data_type_ = 0;
  uint8_t bit_offset_ = 0;
  uint32_t byte_offset_ = 0;
  uint32_t bit_count_ = 0;
  uint32_t flags_ = 0;
  uint32_t invalidation_bit_ = 0;
  uint8_t precision_ = 0;
  uint16_t nof_attachments_ = 0;
  double range_min_ = 0.0;
  double range_max_ = 0.0;
  double limit_min_ = 0.0;
  double limit_max_ = 0.0;
  double ext_limit_min_ = 0.0;
  double ext_limit_max_ = 0.0;

  std::string name_;
  std::unique_ptr<Si4Block> si_block_;
  std::unique_ptr<Cc4Block> cc_block_;
  std::unique_ptr<Md4Block> unit_;
  BlockList composition_list_;
  std::vector<IAttachment*> attachment_list_;

  std::vector<uint8_t> signal_data_;
  MemoryCharge signal_data_charge_;  // of loaded signal data
  bool signal_data_loaded_ = false;  // by LoadSignalData: its entries are the file's
  mutable bool entry_outside_reported_ = false;
  bool vlsd_offset_overflow_ = false;
  IChannelGroup* channel_group_ = nullptr;
  IChannel* referenced_channel_ = nullptr;
  mutable std::vector<uint8_t> no_group_buffer_;
};

}  // namespace mdf::detail
