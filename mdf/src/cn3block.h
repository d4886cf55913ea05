#pragma once
// MDF 3 channel block "CN": one signal of an MDF 3 channel group. It owns the channel's
// conversion and, when the file links them, its extension and dependency blocks, and
// presents the channel through IChannel in MDF 4 terms (channel and data type codes, byte
// and bit offsets). The value getters and setters are the IChannel defaults.
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "datalistblock.h"
#include "mdf/ichannel.h"

namespace mdf::detail {

class Cc3Block;
class Cd3Block;
class Ce3Block;

/// The display name of an MDF 3 signal data type ("Unsigned Integer" ... "Double LE");
/// "Unknown Type" above 16.
[[nodiscard]] std::string SignalDataTypeText(uint16_t type);

class Cn3Block : public DataListBlock, public IChannel {
 public:
  // MDF 3 channel types.
  static constexpr uint16_t kDataChannel = 0;
  static constexpr uint16_t kTimeChannel = 1;

  // MDF 3 signal data types: without suffix in the file's byte order.
  static constexpr uint16_t kSignalUnsigned = 0;
  static constexpr uint16_t kSignalSigned = 1;
  static constexpr uint16_t kSignalFloat = 2;
  static constexpr uint16_t kSignalDouble = 3;
  static constexpr uint16_t kSignalVaxFFloat = 4;
  static constexpr uint16_t kSignalVaxGFloat = 5;
  static constexpr uint16_t kSignalVaxDFloat = 6;
  static constexpr uint16_t kSignalString = 7;
  static constexpr uint16_t kSignalByteArray = 8;
  static constexpr uint16_t kSignalUnsignedBe = 9;
  static constexpr uint16_t kSignalSignedBe = 10;
  static constexpr uint16_t kSignalFloatBe = 11;
  static constexpr uint16_t kSignalDoubleBe = 12;
  static constexpr uint16_t kSignalUnsignedLe = 13;
  static constexpr uint16_t kSignalSignedLe = 14;
  static constexpr uint16_t kSignalFloatLe = 15;
  static constexpr uint16_t kSignalDoubleLe = 16;

  /// The size of the block as written; shorter blocks of older versions are read too.
  static constexpr uint16_t kBlockSize = 228;

  Cn3Block();
  ~Cn3Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  /// MDF 3 comments are plain texts: no metadata.
  IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return nullptr; }

  /// The long name when there is one, else the short name.
  [[nodiscard]] std::string Name() const override;
  /// A name of 32 bytes or more is kept whole as the long name; the short name is its
  /// first 31 bytes, cut back to a code-point boundary.
  void Name(const std::string& name) override;
  [[nodiscard]] std::string DisplayName() const override { return display_name_; }
  void DisplayName(const std::string& name) override { display_name_ = name; }
  [[nodiscard]] std::string Description() const override { return description_; }
  void Description(const std::string& description) override { description_ = description; }
  /// The conversion's unit; without a conversion "s" for a time channel, else "".
  [[nodiscard]] std::string Unit() const override;
  /// Creates the conversion (no conversion) when missing.
  void Unit(const std::string& unit) override;
  [[nodiscard]] uint32_t Flags() const override { return 0; }
  void Flags(uint32_t /* flags */) override {}
  [[nodiscard]] bool IsUnitValid() const override;
  /// Master (2) for a time channel, else fixed length (0).
  [[nodiscard]] uint8_t ChannelType() const override;
  void ChannelType(uint8_t type) override;
  /// Time (1) for a time channel, the only master an MDF 3 file has, so that a writer
  /// stamps it with the sample times as it stamps an MDF 4 time master; else none (0). Set
  /// by the channel type alone.
  [[nodiscard]] uint8_t SyncType() const override { return channel_type_ == kTimeChannel ? kTimeSync : kNoSync; }
  void SyncType(uint8_t /* type */) override {}
  /// The MDF 4 code of the signal data type in the file's byte order.
  [[nodiscard]] uint8_t DataType() const override;
  /// The signal data type of the MDF 4 code; sizes numbers without one and CANopen values.
  void DataType(uint8_t type) override;
  [[nodiscard]] uint64_t DataBytes() const override { return bit_count_ / 8 + (bit_count_ % 8 != 0 ? 1 : 0); }
  /// With 8 bytes a float becomes a double.
  void DataBytes(uint64_t nof_bytes) override;
  /// 9 for 4-byte values, else 17.
  [[nodiscard]] uint8_t Decimals() const override { return DataBytes() == 4 ? 9 : 17; }
  void Decimals(uint8_t /* precision */) override {}
  [[nodiscard]] bool IsDecimalUsed() const override { return false; }
  // The MDF 3 range fields are not offered as ranges or limits: the getters know none.
  using IChannel::ExtLimit;
  using IChannel::Limit;
  using IChannel::Range;
  void Range(double /* min */, double /* max */) override {}
  void Limit(double /* min */, double /* max */) override {}
  void ExtLimit(double /* min */, double /* max */) override {}
  [[nodiscard]] double SamplingRate() const override { return sampling_rate_; }
  void SamplingRate(double rate) override { sampling_rate_ = rate; }

  [[nodiscard]] ISourceInformation* SourceInformation() const override { return nullptr; }
  ISourceInformation* CreateSourceInformation() override { return nullptr; }
  [[nodiscard]] IChannelArray* ChannelArray() const override { return nullptr; }
  IChannelArray* CreateChannelArray() override { return nullptr; }
  [[nodiscard]] IChannelConversion* ChannelConversion() const override;
  /// Creates the conversion when missing.
  IChannelConversion* CreateChannelConversion() override;
  void AddAttachment(IAttachment* /* attachment */) override {}

  [[nodiscard]] uint32_t BitCount() const override { return bit_count_; }
  void BitCount(uint32_t bits) override { bit_count_ = bits; }
  [[nodiscard]] uint16_t BitOffset() const override { return start_offset_ & 7; }
  /// Replaces the bit within the byte; the byte part of the start offset stays.
  void BitOffset(uint16_t bits) override;
  [[nodiscard]] uint32_t ByteOffset() const override { return start_offset_ / 8 + additional_byte_offset_; }
  /// The start offset takes what fits its 16 bits (n mod 8192 bytes), the additional byte
  /// offset the rest.
  void ByteOffset(uint32_t bytes) override;
  [[nodiscard]] IChannelGroup* ChannelGroup() const override { return channel_group_; }
  /// The channel group's record buffer; an empty buffer for a channel without group.
  [[nodiscard]] std::vector<uint8_t>& SampleBuffer() const override;
  /// MDF 3 records have no invalidation bits: every value is valid.
  void SetValid(bool /* valid */, uint64_t /* array_index */) override {}
  [[nodiscard]] bool GetValid(const std::vector<uint8_t>& /* record */, uint64_t /* array_index */) const override {
    return true;
  }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// The conversion's answer when it has one, else the children, this block and its comment.
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// Keeps an MDF 3 channel group parent as the channel group.
  void AttachToParent(MdfBlock* parent) override;
  /// The comment text.
  [[nodiscard]] std::string CommentText() const override { return comment_text_; }
  /// Reads the block (218 to 228 bytes and surplus bytes skipped), its conversion, extension
  /// and dependency blocks and its texts. Returns the bytes of the CN block itself.
  size_t Read(std::streambuf& buffer) override;
  /// A new block writes its long and display names, then itself; a block in the file
  /// writes nothing of itself and returns its size. Then children and comment not yet
  /// linked are written and linked. Fields that do not fit 16 bits throw before anything
  /// is written.
  size_t Write(std::streambuf& buffer) override;

  void SetComment(const std::string& comment) { comment_text_ = comment; }
  [[nodiscard]] const std::string& ShortName() const { return short_name_; }
  [[nodiscard]] const std::string& LongName() const { return long_name_; }
  [[nodiscard]] uint16_t Mdf3ChannelType() const { return channel_type_; }
  [[nodiscard]] uint16_t SignalDataType() const { return signal_type_; }
  [[nodiscard]] uint16_t StartOffset() const { return start_offset_; }
  [[nodiscard]] uint32_t AdditionalByteOffset() const { return additional_byte_offset_; }
  [[nodiscard]] bool RangeValid() const { return range_valid_; }
  [[nodiscard]] double RangeMin() const { return range_min_; }
  [[nodiscard]] double RangeMax() const { return range_max_; }
  [[nodiscard]] Cc3Block* Conversion() const { return conversion_.get(); }
  [[nodiscard]] Ce3Block* Extension() const { return extension_.get(); }
  [[nodiscard]] Cd3Block* Dependency() const { return dependency_.get(); }

 private:
  uint16_t channel_type_ = 0;
  std::string short_name_;
  std::string description_;
  uint16_t start_offset_ = 0;
  // Wider than their fields, so that a value too large for them makes the write throw
  // instead of wrapping.
  uint32_t bit_count_ = 0;
  uint16_t signal_type_ = 0;
  bool range_valid_ = false;
  double range_min_ = 0.0;
  double range_max_ = 0.0;
  double sampling_rate_ = 0.0;
  uint32_t additional_byte_offset_ = 0;
  std::string comment_text_;
  std::string long_name_;
  std::string display_name_;
  // Declared after the texts: destroyed before them, the dependency first.
  std::unique_ptr<Cc3Block> conversion_;
  std::unique_ptr<Ce3Block> extension_;
  std::unique_ptr<Cd3Block> dependency_;
  IChannelGroup* channel_group_ = nullptr;
  mutable std::vector<uint8_t> no_group_buffer_;
};

}  // namespace mdf::detail
