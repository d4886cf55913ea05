#include "cn3block.h"

#include <array>

#include "cc3block.h"
#include "cd3block.h"
#include "ce3block.h"
#include "channelbits.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannelgroup.h"
#include "mdf/mdfhelper.h"
#include "mdf/numbertext.h"
#include "mdf3block.h"
#include "tx3block.h"

namespace mdf::detail {

namespace {

// Links of the block's own layout, then the two text links read behind the fields.
constexpr size_t kNextLink = 0;
constexpr size_t kConversionLink = 1;
constexpr size_t kExtensionLink = 2;
constexpr size_t kDependencyLink = 3;
constexpr size_t kCommentLink = 4;
constexpr size_t kLongNameLink = 5;
constexpr size_t kDisplayNameLink = 6;
constexpr size_t kNofLinks = 5;

constexpr size_t kShortNameSize = 32;
// The short name field keeps a terminating zero byte.
constexpr size_t kMaxShortName = kShortNameSize - 1;
constexpr size_t kDescriptionSize = 128;
// The start offset counts bits in 16 bits: whole bytes up to this many.
constexpr uint32_t kStartOffsetBytes = 8192;
constexpr uint8_t kRangeDecimals = 6;
constexpr uint8_t kRateDecimals = 3;

struct SignalType {
  const char* name;
  uint8_t little_endian_file;  // the MDF 4 data type in a little-endian file
  uint8_t big_endian_file;     // and in a big-endian file
};

// Indexed by the MDF 3 code. A byte array is 10, or a CANopen date or time by its conversion.
constexpr std::array<SignalType, 17> kSignalTypes = {{
    {"Unsigned Integer", kUnsignedLe, kUnsignedBe},
    {"Signed Integer", kSignedLe, kSignedBe},
    {"Float", kFloatLe, kFloatBe},
    {"Double", kFloatLe, kFloatBe},
    {"VAX F Float", kFloatLe, kFloatBe},
    {"VAX G Float", kFloatLe, kFloatBe},
    {"VAX D Float", kFloatLe, kFloatBe},
    {"String", kLatin1Text, kLatin1Text},
    {"Byte Array", kByteArray, kByteArray},
    {"Unsigned Integer BE", kUnsignedBe, kUnsignedBe},
    {"Signed Integer BE", kSignedBe, kSignedBe},
    {"Float BE", kFloatBe, kFloatBe},
    {"Double BE", kFloatBe, kFloatBe},
    {"Unsigned Integer LE", kUnsignedLe, kUnsignedLe},
    {"Signed Integer LE", kSignedLe, kSignedLe},
    {"Float LE", kFloatLe, kFloatLe},
    {"Double LE", kFloatLe, kFloatLe},
}};

}  // namespace

std::string SignalDataTypeText(uint16_t type) {
  return type < kSignalTypes.size() ? kSignalTypes[type].name : "Unknown Type";
}

Cn3Block::Cn3Block() = default;
Cn3Block::~Cn3Block() = default;

std::string Cn3Block::Name() const { return long_name_.empty() ? short_name_ : long_name_; }

void Cn3Block::Name(const std::string& name) {
  if (name.size() <= kMaxShortName) {
    short_name_ = name;
    long_name_.clear();
    return;
  }
  short_name_ = name.substr(0, Utf8CutPosition(name, kMaxShortName));
  long_name_ = name;
}

std::string Cn3Block::Unit() const {
  if (conversion_) return conversion_->Unit();
  return channel_type_ == kTimeChannel ? "s" : "";
}

void Cn3Block::Unit(const std::string& unit) { CreateChannelConversion()->SetUnit(unit); }

bool Cn3Block::IsUnitValid() const { return conversion_ != nullptr || channel_type_ == kTimeChannel; }

uint8_t Cn3Block::ChannelType() const { return channel_type_ == kTimeChannel ? kMasterChannel : kFixedLengthChannel; }

void Cn3Block::ChannelType(uint8_t type) { channel_type_ = type == kMasterChannel ? kTimeChannel : kDataChannel; }

uint8_t Cn3Block::DataType() const {
  if (signal_type_ >= kSignalTypes.size()) return IsBigEndian() ? kUnsignedBe : kUnsignedLe;
  if (signal_type_ == kSignalByteArray && conversion_) {
    switch (conversion_->Type()) {
      case kCanOpenDateConversion:
        return kCanOpenDate;
      case kCanOpenTimeConversion:
        return kCanOpenTime;
      default:
        break;
    }
  }
  const auto& type = kSignalTypes[signal_type_];
  return IsBigEndian() ? type.big_endian_file : type.little_endian_file;
}

void Cn3Block::DataType(uint8_t type) {
  const bool big = IsBigEndian();
  bool sized = false;  // whether the type set the size itself
  switch (type) {
    case kUnsignedLe:
      signal_type_ = big ? kSignalUnsignedLe : kSignalUnsigned;
      break;
    case kUnsignedBe:
      signal_type_ = big ? kSignalUnsigned : kSignalUnsignedBe;
      break;
    case kSignedLe:
      signal_type_ = big ? kSignalSignedLe : kSignalSigned;
      break;
    case kSignedBe:
      signal_type_ = big ? kSignalSigned : kSignalSignedBe;
      break;
    case kFloatLe:
      signal_type_ = big ? kSignalFloatLe : kSignalFloat;
      break;
    case kFloatBe:
      signal_type_ = big ? kSignalFloat : kSignalFloatBe;
      break;
    case kLatin1Text:
    case kUtf8Text:
      signal_type_ = kSignalString;
      break;
    case kByteArray:
      signal_type_ = kSignalByteArray;
      if (DataBytes() == 0) DataBytes(6);
      sized = true;
      break;
    case kCanOpenDate:
      signal_type_ = kSignalByteArray;
      DataBytes(7);
      CreateChannelConversion()->SetType(kCanOpenDateConversion);
      sized = true;
      break;
    case kCanOpenTime:
      signal_type_ = kSignalByteArray;
      DataBytes(6);
      CreateChannelConversion()->SetType(kCanOpenTimeConversion);
      sized = true;
      break;
    default:
      signal_type_ = kSignalUnsigned;
      break;
  }
  if ((type == kFloatLe || type == kFloatBe) && DataBytes() == 8) {
    ++signal_type_;  // the double of the same byte order
    sized = true;
  }
  if (!sized && DataBytes() == 0) DataBytes(4);
}

void Cn3Block::DataBytes(uint64_t nof_bytes) {
  bit_count_ = static_cast<uint32_t>(8 * nof_bytes);
  if (nof_bytes == 8 &&
      (signal_type_ == kSignalFloat || signal_type_ == kSignalFloatBe || signal_type_ == kSignalFloatLe)) {
    ++signal_type_;  // the double of the same byte order
  }
}

IChannelConversion* Cn3Block::ChannelConversion() const { return conversion_.get(); }

IChannelConversion* Cn3Block::CreateChannelConversion() {
  if (!conversion_) {
    conversion_ = MakeCc3Block();
    conversion_->AttachToParent(this);
  }
  return conversion_.get();
}

void Cn3Block::BitOffset(uint16_t bits) {
  start_offset_ = static_cast<uint16_t>((start_offset_ & ~uint16_t{7}) | (bits & 7));
}

void Cn3Block::ByteOffset(uint32_t bytes) {
  const uint32_t in_field = bytes % kStartOffsetBytes;
  start_offset_ = static_cast<uint16_t>(in_field * 8);
  additional_byte_offset_ = bytes - in_field;
}

std::vector<uint8_t>& Cn3Block::SampleBuffer() const {
  if (channel_group_ != nullptr) return channel_group_->SampleBuffer();
  no_group_buffer_.clear();
  return no_group_buffer_;
}

void Cn3Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next CN", AddressToText(Link(kNextLink)), "Link to next channel", BlockItemType::LinkItem);
  dest.emplace_back("Conversion CC", AddressToText(Link(kConversionLink)), "Link to channel conversion",
                    BlockItemType::LinkItem);
  dest.emplace_back("Source Dependency CE", AddressToText(Link(kExtensionLink)), "Link to source dependency block",
                    BlockItemType::LinkItem);
  dest.emplace_back("Dependency CD", AddressToText(Link(kDependencyLink)), "Link to dependency",
                    BlockItemType::LinkItem);
  dest.emplace_back("Comment TX", AddressToText(Link(kCommentLink)), comment_text_, BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Channel Type", channel_type_ != kDataChannel ? "Time channel" : "Data channel");
  dest.emplace_back("Short Name", short_name_);
  dest.emplace_back("Description", description_);
  dest.emplace_back("Start Offset [bits]", std::to_string(start_offset_));
  dest.emplace_back("Number of bits", std::to_string(bit_count_));
  dest.emplace_back("Signal Data Type", std::to_string(signal_type_), SignalDataTypeText(signal_type_));
  dest.emplace_back("Range Valid", BoolText(range_valid_));
  dest.emplace_back("Min Range", FormatNumberText(range_min_, kRangeDecimals));
  dest.emplace_back("Max Range", FormatNumberText(range_max_, kRangeDecimals));
  dest.emplace_back("Sampling Rate [s]", FormatNumberText(sampling_rate_, kRateDecimals));
  dest.emplace_back("Long Nane", long_name_);
  dest.emplace_back("Display Nane", display_name_);
  dest.emplace_back("Byte Offset", std::to_string(additional_byte_offset_));
}

MdfBlock* Cn3Block::FindByPosition(int64_t position) {
  if (conversion_) {
    if (MdfBlock* found = conversion_->FindByPosition(position)) return found;
  }
  return DataListBlock::FindByPosition(position);
}

void Cn3Block::AttachToParent(MdfBlock* parent) {
  MdfBlock::AttachToParent(parent);
  channel_group_ = nullptr;
  if (parent != nullptr && !parent->IsMdf4Block() && parent->BlockType() == "CG") {
    channel_group_ = dynamic_cast<IChannelGroup*>(parent);
  }
}

size_t Cn3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadLinks32(buffer, kNofLinks);
  bytes += ReadNumber(buffer, channel_type_);
  bytes += ReadMdf3Text(buffer, short_name_, kShortNameSize);
  bytes += ReadMdf3Text(buffer, description_, kDescriptionSize);
  bytes += ReadNumber(buffer, start_offset_);
  uint16_t bits = 0;
  bytes += ReadNumber(buffer, bits);
  bit_count_ = bits;
  bytes += ReadNumber(buffer, signal_type_);
  bytes += ReadBool16(buffer, range_valid_);
  bytes += ReadValue(buffer, range_min_);
  bytes += ReadValue(buffer, range_max_);
  bytes += ReadValue(buffer, sampling_rate_);

  // Older versions end the block before the text links or the additional byte offset.
  additional_byte_offset_ = 0;
  for (const size_t link : {kLongNameLink, kDisplayNameLink}) {
    if (bytes >= block_size_) break;
    uint32_t position = 0;
    bytes += ReadNumber(buffer, position);
    link_list_.resize(link, 0);
    link_list_.push_back(position);
  }
  if (bytes < block_size_) {
    uint16_t additional = 0;
    bytes += ReadNumber(buffer, additional);
    additional_byte_offset_ = additional;
  }
  if (bytes < block_size_) {
    // Fields of later versions are passed over, inside the stream.
    const uint64_t surplus = block_size_ - bytes;
    if (BytesLeftInStream(buffer) < surplus) throw MdfIoFailure("Invalid number of bytes read");
    bytes += static_cast<size_t>(AdvanceStreamPosition(buffer, static_cast<int64_t>(surplus)));
  }

  if (Link(kConversionLink) > 0) {
    SetStreamPosition(buffer, Link(kConversionLink));
    auto conversion = MakeCc3Block();
    conversion->AttachToParent(this);
    conversion->Read(buffer);
    conversion_ = std::move(conversion);
  }
  if (Link(kExtensionLink) > 0) {
    SetStreamPosition(buffer, Link(kExtensionLink));
    auto extension = std::make_unique<Ce3Block>();
    extension->AttachToParent(this);
    extension->Read(buffer);
    extension_ = std::move(extension);
  }
  if (Link(kDependencyLink) > 0) {
    SetStreamPosition(buffer, Link(kDependencyLink));
    auto dependency = std::make_unique<Cd3Block>();
    dependency->AttachToParent(this);
    dependency->Read(buffer);
    dependency_ = std::move(dependency);
  }
  comment_text_ = LoadTx3Text(buffer, kCommentLink);
  long_name_ = LoadTx3Text(buffer, kLongNameLink);
  display_name_ = LoadTx3Text(buffer, kDisplayNameLink);
  ReportChannelBits(*this, file_position_);
  return bytes;
}

size_t Cn3Block::Write(std::streambuf& buffer) {
  // Everything that could be refused is checked before anything is written.
  if (Link(kCommentLink) == 0) Tx3Block::CheckSize(comment_text_);
  size_t bytes = block_size_;
  if (file_position_ <= 0) {
    const uint16_t bits = Mdf3Field16(bit_count_, "Number of bits");
    const uint16_t additional = Mdf3Field16(additional_byte_offset_, "Additional byte offset");
    Tx3Block::CheckSize(long_name_);
    Tx3Block::CheckSize(display_name_);
    const auto write_text = [&](const std::string& text) -> uint32_t {
      if (text.empty()) return 0;
      Tx3Block block(text);
      block.AttachToParent(this);
      block.Write(buffer);
      return static_cast<uint32_t>(block.FilePosition());
    };
    // The names go before the block: their links are fields, never patched.
    const uint32_t long_name = write_text(long_name_);
    const uint32_t display_name = write_text(display_name_);

    block_id_ = "CN";
    block_size_ = kBlockSize;
    block_length_ = kBlockSize;
    link_list_.resize(kNofLinks, 0);
    bytes = MdfBlock::Write(buffer);
    bytes += WriteNumber(buffer, channel_type_);
    bytes += WriteFixedText(buffer, short_name_, kShortNameSize);
    bytes += WriteFixedText(buffer, description_, kDescriptionSize);
    bytes += WriteNumber(buffer, start_offset_);
    bytes += WriteNumber(buffer, bits);
    bytes += WriteNumber(buffer, signal_type_);
    bytes += WriteBool16(buffer, range_valid_);
    bytes += WriteValue(buffer, range_min_);
    bytes += WriteValue(buffer, range_max_);
    bytes += WriteValue(buffer, sampling_rate_);
    bytes += WriteNumber(buffer, long_name);
    bytes += WriteNumber(buffer, display_name);
    bytes += WriteNumber(buffer, additional);
    // As a read block holds them, behind the five links of the header.
    link_list_.push_back(long_name);
    link_list_.push_back(display_name);
  }

  const auto write_child = [&](MdfBlock* child, size_t link) {
    if (child == nullptr || Link(link) != 0) return;
    child->Write(buffer);
    PatchLink(buffer, link, child->FilePosition());
  };
  write_child(conversion_.get(), kConversionLink);
  write_child(extension_.get(), kExtensionLink);
  write_child(dependency_.get(), kDependencyLink);
  if (!comment_text_.empty() && Link(kCommentLink) == 0) {
    Tx3Block comment(comment_text_);
    comment.AttachToParent(this);
    comment.Write(buffer);
    PatchLink(buffer, kCommentLink, comment.FilePosition());
  }
  return bytes;
}

}  // namespace mdf::detail
