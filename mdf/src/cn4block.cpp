#include "cn4block.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "blocklayout.h"
#include "byteorder.h"
#include "cc4block.h"
#include "channelbits.h"
#include "damage.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "flagtext.h"
#include "hl4block.h"
#include "md4block.h"
#include "mdf/channeltypes.h"
#include "mdf/iattachment.h"
#include "mdf/ichannelgroup.h"
#include "mdf/imetadata.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "mdf/numbertext.h"
#include "readguard.h"
#include "si4block.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kCompositionLink = 1;
constexpr size_t kNameLink = 2;
constexpr size_t kSourceLink = 3;
constexpr size_t kConversionLink = 4;
constexpr size_t kDataLink = 5;
constexpr size_t kUnitLink = 6;
constexpr size_t kCommentLink = 7;
constexpr size_t kFirstAttachmentLink = 8;
constexpr uint64_t kFixedLength = 160;  // header, eight links and the data section
constexpr uint64_t kDefaultXLength = 24;

bool FitsIn(uint64_t first, uint64_t count, uint64_t size) { return first <= size && count <= size - first; }

// UTF-16 units up to the first zero unit or the last complete unit.
std::u16string Utf16Units(const uint8_t* bytes, uint64_t size, bool little_endian) {
  std::u16string units;
  units.reserve(static_cast<size_t>(size / 2));
  for (uint64_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(little_endian ? LoadLe16(bytes + i) : LoadBe16(bytes + i));
    if (unit == 0) break;
    units.push_back(unit);
  }
  return units;
}

std::string BytesUpToZero(const uint8_t* bytes, uint64_t size) {
  if (size == 0) return {};
  const auto* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, static_cast<size_t>(size)));
  const size_t length = end != nullptr ? static_cast<size_t>(end - bytes) : static_cast<size_t>(size);
  return {reinterpret_cast<const char*>(bytes), length};
}

}  // namespace

std::string ChannelTypeText(uint8_t type) {
  static constexpr std::array<const char*, 7> kTexts = {"Fixed",           "VLSD", "Master",      "Virtual Master",
                                                        "Synchronization", "MLSD", "Virtual Data"};
  return type < kTexts.size() ? kTexts[type] : "Unknown";
}

std::string SyncTypeText(uint8_t type) {
  static constexpr std::array<const char*, 5> kTexts = {"None", "Time", "Angle", "Distance", "Index"};
  return type < kTexts.size() ? kTexts[type] : "Unknown";
}

std::string DataTypeText(uint8_t type) {
  static constexpr std::array<const char*, 15> kTexts = {"Unsigned Integer (LE)",
                                                         "Unsigned Integer (BE)",
                                                         "Signed Integer (LE)",
                                                         "Signed Integer (BE)",
                                                         "Float (LE)",
                                                         "Float (BE)",
                                                         "String ASCII",
                                                         "String UTF-8",
                                                         "String UTF-16 (LE)",
                                                         "String UTF-16 (BE)",
                                                         "Byte Array",
                                                         "MIME Sample",
                                                         "MIME Stream",
                                                         "CAN Open Date",
                                                         "CAN Open Time"};
  return type < kTexts.size() ? kTexts[type] : "Unknown";
}

std::string ChannelFlagsText(uint32_t flags) {
  static constexpr std::array<const char*, 15> kWords = {
      "All Invalid", "Invalid", "Decimal",   "Range",      "Limit",     "Extended",     "Discrete", "Calibration",
      "Calculated",  "Virtual", "Bus Event", "Monotonous", "Default X", "Signal Event", "VLSD"};
  return FlagNamesText(flags, kWords);
}

Cn4Block::Cn4Block() { block_id_ = "##CN"; }

Cn4Block::~Cn4Block() = default;

void Cn4Block::Description(const std::string& description) {
  if (comment_) {
    if (Md4Block* metadata = CommentAsMd4()) metadata->SetElementText(description);
    return;
  }
  if (IMetaData* metadata = MakeMetaData()) {
    metadata->SetElementValue("TX", description);
  }
}

std::string Cn4Block::Unit() const {
  if (unit_) {
    return unit_->IsTxBlock() ? unit_->FullText() : unit_->Text();
  }
  switch (sync_type_) {
    case kTimeSync:
      return "s";
    case kAngleSync:
      return "rad";
    case kDistanceSync:
      return "m";
    default:
      break;
  }
  return cc_block_ ? cc_block_->Unit() : std::string();
}

void Cn4Block::Unit(const std::string& unit) {
  if (unit.empty()) {
    unit_.reset();
    return;
  }
  auto block = std::make_unique<Md4Block>(unit);
  block->AttachToParent(this);
  unit_ = std::move(block);
}

bool Cn4Block::IsUnitValid() const { return Link(kUnitLink) != 0 || unit_ != nullptr; }

void Cn4Block::DataType(uint8_t type) {
  data_type_ = type;
  if (type <= kFloatBe) {
    if (DataBytes() == 0) DataBytes(4);
  } else if (type == kCanOpenDate) {
    DataBytes(7);
  } else if (type == kCanOpenTime) {
    DataBytes(6);
  }
}

uint8_t Cn4Block::Decimals() const {
  if (IsDecimalUsed()) return precision_;
  return DataBytes() == 4 ? 9 : 17;
}

void Cn4Block::Decimals(uint8_t precision) {
  precision_ = precision;
  flags_ |= kDecimalFlag;
}

std::optional<std::pair<double, double>> Cn4Block::Range() const {
  if ((flags_ & kRangeFlag) == 0) return NoLimits();
  return std::make_pair(range_min_, range_max_);
}

void Cn4Block::Range(double min, double max) {
  range_min_ = min;
  range_max_ = max;
  flags_ |= kRangeFlag;
}

std::optional<std::pair<double, double>> Cn4Block::Limit() const {
  if ((flags_ & kLimitFlag) == 0) return NoLimits();
  return std::make_pair(limit_min_, limit_max_);
}

void Cn4Block::Limit(double min, double max) {
  limit_min_ = min;
  limit_max_ = max;
  flags_ |= kLimitFlag;
}

std::optional<std::pair<double, double>> Cn4Block::ExtLimit() const {
  if ((flags_ & kExtLimitFlag) == 0) return NoLimits();
  return std::make_pair(ext_limit_min_, ext_limit_max_);
}

void Cn4Block::ExtLimit(double min, double max) {
  ext_limit_min_ = min;
  ext_limit_max_ = max;
  flags_ |= kExtLimitFlag;
}

ISourceInformation* Cn4Block::SourceInformation() const { return si_block_.get(); }

ISourceInformation* Cn4Block::CreateSourceInformation() {
  if (!si_block_) {
    auto block = std::make_unique<Si4Block>();
    block->AttachToParent(this);
    si_block_ = std::move(block);
  }
  return si_block_.get();
}

IChannelConversion* Cn4Block::ChannelConversion() const { return cc_block_.get(); }

IChannelConversion* Cn4Block::CreateChannelConversion() {
  if (!cc_block_) {
    auto block = std::make_unique<Cc4Block>();
    block->AttachToParent(this);
    cc_block_ = std::move(block);
  }
  cc_block_->SetChannelDataType(data_type_);
  return cc_block_.get();
}

IChannel* Cn4Block::CreateChannelComposition() {
  auto channel = std::make_unique<Cn4Block>();
  channel->AttachToParent(this);
  Cn4Block* result = channel.get();
  composition_list_.push_back(std::move(channel));
  return result;
}

std::vector<IChannel*> Cn4Block::ChannelCompositions() {
  std::vector<IChannel*> channels;
  for (const auto& block : composition_list_) {
    if (auto* channel = dynamic_cast<Cn4Block*>(block.get()); channel != nullptr) channels.push_back(channel);
  }
  return channels;
}

void Cn4Block::AddAttachment(IAttachment* attachment) {
  if (attachment == nullptr) return;
  if (std::find(attachment_list_.begin(), attachment_list_.end(), attachment) != attachment_list_.end()) return;
  // The count is stored in 16 bits.
  if (attachment_list_.size() >= std::numeric_limits<uint16_t>::max()) return;
  attachment_list_.push_back(attachment);
  nof_attachments_ = static_cast<uint16_t>(attachment_list_.size());
}

IChannelGroup* Cn4Block::ChannelGroup() const {
  if (channel_group_ != nullptr) return channel_group_;
  // A member of a channel array's composition has no group of its own parent. The group
  // owns this channel, so a const channel hands it out as it is.
  return dynamic_cast<IChannelGroup*>(Parent() != nullptr ? Parent()->FindAncestorCg() : nullptr);
}

std::vector<uint8_t>& Cn4Block::SampleBuffer() const {
  if (IChannelGroup* group = ChannelGroup(); group != nullptr) return group->SampleBuffer();
  no_group_buffer_.clear();
  return no_group_buffer_;
}

void Cn4Block::AttachToParent(MdfBlock* parent) {
  MdfBlock::AttachToParent(parent);
  if (parent == nullptr) return;
  const std::string type = parent->BlockType();
  if (type == "CG") {
    channel_group_ = dynamic_cast<IChannelGroup*>(parent);
  } else if (type == "CN") {
    if (const auto* channel = dynamic_cast<const Cn4Block*>(parent); channel != nullptr) {
      channel_group_ = channel->channel_group_;
    }
  }
}

MdfBlock* Cn4Block::FindOwned(int64_t position) const {
  if (position <= 0) return nullptr;
  if (si_block_) {
    if (MdfBlock* found = si_block_->FindByPosition(position)) return found;
  }
  if (cc_block_) {
    if (MdfBlock* found = cc_block_->FindByPosition(position)) return found;
  }
  if (unit_) {
    if (MdfBlock* found = unit_->FindByPosition(position)) return found;
  }
  for (const auto& block : composition_list_) {
    if (!block) continue;
    if (MdfBlock* found = block->FindByPosition(position)) return found;
  }
  for (const auto& block : block_list_) {
    if (!block) continue;
    if (MdfBlock* found = block->FindByPosition(position)) return found;
  }
  return nullptr;
}

MdfBlock* Cn4Block::FindByPosition(int64_t position) {
  if (MdfBlock* found = FindOwned(position)) return found;
  return MdfBlock::FindByPosition(position);
}

const MdfBlock* Cn4Block::FindByPosition(int64_t position) const {
  if (MdfBlock* found = FindOwned(position)) return found;
  if (position > 0 && position == FilePosition()) return this;
  return comment_ && comment_->FilePosition() == position ? comment_.get() : nullptr;
}

std::vector<int64_t> Cn4Block::DefaultXLinks() const {
  if ((flags_ & kDefaultXFlag) == 0) return {};
  const size_t first = kFirstAttachmentLink + nof_attachments_;
  return {Link(first), Link(first + 1), Link(first + 2)};
}

size_t Cn4Block::Read(std::streambuf& buffer) {
  ReadGuard composition(Nesting::kComposition, GetStreamPosition(buffer));
  return ReadNested(buffer, composition);
}

size_t Cn4Block::ReadNested(std::streambuf& buffer, ReadGuard& composition) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadByte(buffer, type_);
  bytes += ReadByte(buffer, sync_type_);
  bytes += ReadByte(buffer, data_type_);
  bytes += ReadByte(buffer, bit_offset_);
  bytes += ReadNumber(buffer, byte_offset_);
  bytes += ReadNumber(buffer, bit_count_);
  bytes += ReadNumber(buffer, flags_);
  bytes += ReadNumber(buffer, invalidation_bit_);
  bytes += ReadByte(buffer, precision_);
  ByteArray reserved;
  bytes += ReadBytes(buffer, reserved, 1);
  bytes += ReadNumber(buffer, nof_attachments_);
  bytes += ReadValue(buffer, range_min_);
  bytes += ReadValue(buffer, range_max_);
  bytes += ReadValue(buffer, limit_min_);
  bytes += ReadValue(buffer, limit_max_);
  bytes += ReadValue(buffer, ext_limit_min_);
  bytes += ReadValue(buffer, ext_limit_max_);

  name_ = LoadTx4Text(buffer, kNameLink);
  ReportChannelBits(*this, file_position_);  // also a channel, sync or data type of none the format has

  LoadComposition(buffer, kCompositionLink, composition);

  if (Link(kSourceLink) > 0) {
    auto source = std::make_unique<Si4Block>();
    source->AttachToParent(this);
    SetStreamPosition(buffer, Link(kSourceLink));
    source->Read(buffer);
    si_block_ = std::move(source);
  }

  if (Link(kConversionLink) > 0) {
    auto conversion = std::make_unique<Cc4Block>();
    conversion->AttachToParent(this);
    conversion->SetChannelDataType(data_type_);
    SetStreamPosition(buffer, Link(kConversionLink));
    conversion->Read(buffer);
    cc_block_ = std::move(conversion);
  }

  ReadBlockList(buffer, kDataLink);

  if (Link(kUnitLink) > 0) {
    auto unit = std::make_unique<Md4Block>();
    unit->AttachToParent(this);
    SetStreamPosition(buffer, Link(kUnitLink));
    unit->Read(buffer);
    unit_ = std::move(unit);
  }

  LoadMdComment(buffer, kCommentLink);

  attachment_list_.clear();
  if (nof_attachments_ > 0) {
    if (MdfBlock* header = FindAncestorHd(); header != nullptr) {
      // Only links that exist are searched: a damaged count must not repeat the search.
      for (size_t i = 0; i < nof_attachments_ && kFirstAttachmentLink + i < link_list_.size(); ++i) {
        const int64_t link = link_list_[kFirstAttachmentLink + i];
        if (link <= 0) continue;
        MdfBlock* block = header->FindByPosition(link);
        if (block == nullptr || block->BlockType() != "AT") continue;
        if (auto* attachment = dynamic_cast<IAttachment*>(block); attachment != nullptr) {
          attachment_list_.push_back(attachment);
        }
      }
    }
  }
  return bytes;
}

size_t Cn4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return static_cast<size_t>(block_length_);
  }
  const size_t nof_attachments = attachment_list_.size();
  const bool default_x = (flags_ & kDefaultXFlag) != 0;
  nof_attachments_ = static_cast<uint16_t>(nof_attachments);
  block_id_ = "##CN";
  block_length_ = kFixedLength + 8 * nof_attachments + (default_x ? kDefaultXLength : 0);
  link_list_.resize(kFirstAttachmentLink + nof_attachments + (default_x ? 3 : 0), 0);

  // The composition first: the first element hangs at link 1, each further one at the
  // next link of the element before it.
  for (size_t i = 0; i < composition_list_.size(); ++i) {
    auto& block = composition_list_[i];
    if (!block || block->FilePosition() > 0) continue;
    block->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kCompositionLink, block->FilePosition());
    } else if (auto& previous = composition_list_[i - 1]; previous) {
      previous->PatchLink(buffer, kNextLink, block->FilePosition());
    }
  }

  StoreTx4Text(buffer, kNameLink, name_);
  if (si_block_ && si_block_->FilePosition() <= 0) {
    si_block_->Write(buffer);
    PatchLink(buffer, kSourceLink, si_block_->FilePosition());
  }
  if (cc_block_ && cc_block_->FilePosition() <= 0) {
    cc_block_->Write(buffer);
    PatchLink(buffer, kConversionLink, cc_block_->FilePosition());
  }
  if (unit_ && unit_->FilePosition() <= 0) {
    unit_->Write(buffer);
    PatchLink(buffer, kUnitLink, unit_->FilePosition());
  }
  StoreMdComment(buffer, kCommentLink);

  for (size_t i = 0; i < nof_attachments; ++i) {
    const IAttachment* attachment = attachment_list_[i];
    const int64_t position = attachment != nullptr ? attachment->FilePosition() : 0;
    link_list_[kFirstAttachmentLink + i] = position > 0 ? position : 0;
  }
  if (default_x) {
    // Nothing sets a default X axis on a new channel.
    for (size_t i = 0; i < 3; ++i) link_list_[kFirstAttachmentLink + nof_attachments + i] = 0;
  }

  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteByte(buffer, type_);
  bytes += WriteByte(buffer, sync_type_);
  bytes += WriteByte(buffer, data_type_);
  bytes += WriteByte(buffer, bit_offset_);
  bytes += WriteNumber(buffer, byte_offset_);
  bytes += WriteNumber(buffer, bit_count_);
  bytes += WriteNumber(buffer, flags_);
  bytes += WriteNumber(buffer, invalidation_bit_);
  bytes += WriteByte(buffer, precision_);
  bytes += WriteZeroBytes(buffer, 1);
  bytes += WriteNumber(buffer, nof_attachments_);
  bytes += WriteValue(buffer, range_min_);
  bytes += WriteValue(buffer, range_max_);
  bytes += WriteValue(buffer, limit_min_);
  bytes += WriteValue(buffer, limit_max_);
  bytes += WriteValue(buffer, ext_limit_min_);
  bytes += WriteValue(buffer, ext_limit_max_);
  PatchBlockLength(buffer, bytes);
  return bytes;
}

void Cn4Block::PrepareForWriting(uint32_t byte_offset) {
  byte_offset_ = byte_offset;
  bit_offset_ = 0;
  signal_data_.clear();
  vlsd_offset_overflow_ = false;
  switch (type_) {
    case kVlsdChannel:
      if (bit_count_ == 0) bit_count_ = 64;
      return;
    case kVirtualMasterChannel:
    case kVirtualDataChannel:
      flags_ &= ~kChannelInvalidationBitFlag;
      bit_count_ = 0;
      return;
    case kMasterChannel:
      flags_ &= ~kChannelInvalidationBitFlag;
      break;
    default:
      break;
  }
  switch (data_type_) {
    case kUnsignedLe:
    case kUnsignedBe:
    case kSignedLe:
    case kSignedBe:
      if (bit_count_ != 8 && bit_count_ != 16 && bit_count_ != 32 && bit_count_ != 64) bit_count_ = 64;
      break;
    case kFloatLe:
    case kFloatBe:
      if (bit_count_ != 32 && bit_count_ != 64) bit_count_ = 64;
      break;
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText:
    case kByteArray:
    case kMimeSample:
    case kMimeStream:
      // No fixed size: the record holds a 64-bit offset into the signal data.
      if (bit_count_ == 0) {
        type_ = kVlsdChannel;
        bit_count_ = 64;
      }
      break;
    case kCanOpenDate:
      bit_count_ = 56;
      break;
    case kCanOpenTime:
      bit_count_ = 48;
      break;
    case kComplexLe:
    case kComplexBe:
      if (bit_count_ != 64 && bit_count_ != 128) bit_count_ = 128;
      break;
    default:
      if (DataBytes() == 0) DataBytes(4);
      break;
  }
  PrepareArrayForWriting();
}

void Cn4Block::SetCc4(std::unique_ptr<Cc4Block> conversion) { cc_block_ = std::move(conversion); }

void Cn4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next CN", AddressToText(Link(kNextLink)), "Link to next channel", BlockItemType::LinkItem);
  const MdfBlock* composition = FindByPosition(Link(kCompositionLink));
  dest.emplace_back("Composition CA/CN", AddressToText(Link(kCompositionLink)),
                    composition != nullptr ? "Link to " + composition->BlockType() + " block"
                                           : std::string("Link to composition block"),
                    BlockItemType::LinkItem);
  dest.emplace_back("Name TX", AddressToText(Link(kNameLink)), name_, BlockItemType::LinkItem);
  dest.emplace_back("Source SI", AddressToText(Link(kSourceLink)), "Link to source information",
                    BlockItemType::LinkItem);
  dest.emplace_back("Conversion CC", AddressToText(Link(kConversionLink)), "Link to channel conversion",
                    BlockItemType::LinkItem);
  dest.emplace_back("Signal Data", AddressToText(Link(kDataLink)), "Link to signal data", BlockItemType::LinkItem);
  dest.emplace_back("Unit MD", AddressToText(Link(kUnitLink)), Unit(), BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  for (size_t i = 0; i < nof_attachments_; ++i) {
    dest.emplace_back("Attachment AT", AddressToText(Link(kFirstAttachmentLink + i)), "Reference to attachment",
                      BlockItemType::LinkItem);
  }
  const size_t default_x = kFirstAttachmentLink + nof_attachments_;
  if (Link(default_x) > 0) {
    dest.emplace_back("Reference DG", AddressToText(Link(default_x)), "Reference to x-axis data block",
                      BlockItemType::LinkItem);
    dest.emplace_back("Reference CG", AddressToText(Link(default_x + 1)), "Reference to x-axis channel group",
                      BlockItemType::LinkItem);
    dest.emplace_back("Reference CN", AddressToText(Link(default_x + 2)), "Reference to x-axis channel",
                      BlockItemType::LinkItem);
  }
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Id", std::to_string(FilePosition()));
  dest.emplace_back("Name", name_);
  dest.emplace_back("Description", Description());
  dest.emplace_back("Unit", Unit());
  dest.emplace_back("Channel Type", ChannelTypeText(type_));
  dest.emplace_back("Synchronization Type", SyncTypeText(sync_type_));
  dest.emplace_back("Data Type", DataTypeText(data_type_));
  dest.emplace_back("Bit Offset", std::to_string(bit_offset_));
  dest.emplace_back("Byte Offset", std::to_string(byte_offset_));
  dest.emplace_back("Bit Count", std::to_string(bit_count_));
  dest.emplace_back("Flags", ChannelFlagsText(flags_));
  dest.emplace_back("Invalid Bit Position", std::to_string(invalidation_bit_));
  dest.emplace_back("Decimals", std::to_string(precision_));
  dest.emplace_back("Nof Attachments", std::to_string(nof_attachments_));
  dest.emplace_back("Range Min", DoubleToText(range_min_));
  dest.emplace_back("Range Max", DoubleToText(range_max_));
  dest.emplace_back("Limit Min", DoubleToText(limit_min_));
  dest.emplace_back("Limit Max", DoubleToText(limit_max_));
  dest.emplace_back("Extended Limit Min", DoubleToText(ext_limit_min_));
  dest.emplace_back("Extended Limit Max", DoubleToText(ext_limit_max_));
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

// ---- Signal data and values ----

uint64_t Cn4Block::AppendVlsdData(const uint8_t* bytes, size_t size) {
  if (size > std::numeric_limits<uint32_t>::max()) {
    throw MdfRuntimeError("VLSD value too large");
  }
  const uint64_t offset = signal_data_.size();
  std::array<uint8_t, 4> field{};
  StoreLe32(field.data(), static_cast<uint32_t>(size));
  signal_data_.insert(signal_data_.end(), field.begin(), field.end());
  if (size > 0) signal_data_.insert(signal_data_.end(), bytes, bytes + size);
  return offset;
}

std::optional<uint64_t> Cn4Block::AppendVlsdValue(const uint8_t* bytes, size_t size) {
  if (type_ != kVlsdChannel) return std::nullopt;
  const uint64_t offset = AppendVlsdData(bytes, size);
  if (const uint64_t bits = 8 * DataBytes(); bits != 0 && bits < 64 && (offset >> bits) != 0) {
    // Stored in a narrower field the offset would wrap and point at another value.
    if (!vlsd_offset_overflow_) {
      MDF_ERROR() << "The signal data offset does not fit the record. Channel: " << name_ << ", Offset: " << offset;
    }
    vlsd_offset_overflow_ = true;
    return std::nullopt;
  }
  return offset;
}

void Cn4Block::ReserveVlsdValues(uint64_t bytes) {
  if (type_ != kVlsdChannel || bytes > signal_data_.max_size() - signal_data_.size()) return;
  signal_data_.reserve(signal_data_.size() + static_cast<size_t>(bytes));
}

void Cn4Block::StoreVlsdEntry(const std::vector<uint8_t>& bytes, bool valid) {
  const std::optional<uint64_t> offset = AppendVlsdValue(bytes.data(), bytes.size());
  if (offset && bit_count_ != 0) {
    SetUnsignedValueLe(*offset, valid, 0);
  } else {
    SetValid(false, 0);
  }
}

void Cn4Block::SetByteArrayValue(const std::vector<uint8_t>& bytes, bool valid) {
  if (type_ != kVlsdChannel) {
    IChannel::SetByteArrayValue(bytes, valid);
    return;
  }
  SetValid(valid, 0);
  StoreVlsdEntry(bytes, valid);
}

void Cn4Block::SetTextValue(const std::string& text, bool valid) {
  if (type_ != kVlsdChannel) {
    IChannel::SetTextValue(text, valid);
    return;
  }
  SetValid(valid, 0);
  std::vector<uint8_t> entry;
  entry.reserve(text.size() + 1);
  entry.assign(text.begin(), text.end());
  entry.push_back(0);
  StoreVlsdEntry(entry, valid);
}

bool Cn4Block::LocateValue(const std::vector<uint8_t>& record, bool maximum_length, const uint8_t*& data,
                           uint64_t& size, bool& valid) const {
  data = nullptr;
  size = 0;
  valid = true;
  if (type_ == kVlsdChannel && vlsd_record_id_ == 0) {
    // The record holds the offset of the value's entry in the signal data.
    uint64_t offset = 0;
    valid = UnsignedFromRecord(record, offset, 0);
    const uint64_t total = signal_data_.size();
    const bool length_inside = offset <= total && total - offset >= 4;
    const uint64_t length = length_inside ? LoadLe32(signal_data_.data() + offset) : 0;
    if (!length_inside || length > total - offset - 4) {
      // An offset that could not be read is the channel's damage; one whose invalidation bit
      // is set may be anything.
      if (valid && GetValid(record, 0)) ReportEntryOutside(offset);
      return false;
    }
    data = signal_data_.data() + offset + 4;
    size = length;
    return true;
  }
  uint64_t position = byte_offset_;
  uint64_t count = bit_count_ / 8;
  if (type_ == kVlsdChannel) {
    position = 0;  // a record of the VLSD channel group is the value
    count = record.size();
  } else if (maximum_length && type_ == kMaxLengthChannel && referenced_channel_ != nullptr) {
    uint64_t used = 0;
    valid = referenced_channel_->UnsignedFromRecord(record, used, 0);
    // Never more than the channel's own field: the rest belongs to other channels.
    count = std::min(used, count);
  }
  if (!FitsIn(position, count, record.size())) return false;
  data = record.data() + position;
  size = count;
  return true;
}

void Cn4Block::ReportEntryOutside(uint64_t offset) const {
  // Signal data made for writing, or not loaded, hold no entries of the file to judge.
  if (!signal_data_loaded_ || entry_outside_reported_) return;
  entry_outside_reported_ = true;  // once per load: every later value of a damaged file would repeat it
  MDF_DAMAGE(Damage::kEntryOutsideSignalData)
      << "Signal data entry exceeds its block. Channel: " << name_ << ", Offset: " << offset;
}

bool Cn4Block::GetByteArrayValue(const std::vector<uint8_t>& record, std::vector<uint8_t>& bytes) const {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  bool valid = true;
  try {
    if (!LocateValue(record, true, data, size, valid)) {
      bytes.clear();
      return false;
    }
    bytes.assign(data, data + size);
  } catch (const std::exception&) {
    bytes.clear();
    return false;
  }
  return valid;
}

bool Cn4Block::GetTextValue(const std::vector<uint8_t>& record, std::string& text) const {
  text.clear();
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  bool valid = true;
  if (!LocateValue(record, false, data, size, valid)) return false;
  try {
    switch (data_type_) {
      case kLatin1Text: {
        std::string raw = BytesUpToZero(data, size);
        try {
          text = Latin1ToUtf8(raw);
        } catch (const std::exception&) {
          text = std::move(raw);
          return false;
        }
        break;
      }
      case kUtf8Text:
        text = BytesUpToZero(data, size);
        break;
      case kUtf16LeText:
      case kUtf16BeText:
        text = WideToUtf8(Utf16Units(data, size, data_type_ == kUtf16LeText));
        break;
      default:
        break;
    }
  } catch (const std::exception&) {
    text.clear();
    return false;
  }
  return valid;
}

bool Cn4Block::InvalidationBit(uint64_t array_index, uint64_t& byte, uint8_t& mask) const {
  if ((flags_ & kChannelInvalidationBitFlag) == 0) return false;
  const IChannelGroup* group = ChannelGroup();
  if (group == nullptr) return false;
  const std::optional<uint64_t> data_bytes = GroupDataBytes(*group);
  if (!data_bytes) return false;
  if (array_index > std::numeric_limits<uint64_t>::max() - invalidation_bit_) return false;
  const uint64_t bit = invalidation_bit_ + array_index;
  if (bit / 8 > std::numeric_limits<uint64_t>::max() - *data_bytes) return false;
  byte = bit / 8 + *data_bytes;
  mask = static_cast<uint8_t>(1U << (bit % 8));
  return true;
}

void Cn4Block::SetValid(bool valid, uint64_t array_index) {
  uint64_t byte = 0;
  uint8_t mask = 0;
  if (!InvalidationBit(array_index, byte, mask)) return;
  auto& buffer = SampleBuffer();
  if (byte >= buffer.size()) return;
  if (valid) {
    buffer[byte] = static_cast<uint8_t>(buffer[byte] & ~mask);
  } else {
    buffer[byte] = static_cast<uint8_t>(buffer[byte] | mask);
  }
}

bool Cn4Block::GetValid(const std::vector<uint8_t>& record, uint64_t array_index) const {
  uint64_t byte = 0;
  uint8_t mask = 0;
  if (!InvalidationBit(array_index, byte, mask)) return true;
  return byte >= record.size() || (record[byte] & mask) == 0;
}

void Cn4Block::LoadSignalData(std::streambuf& buffer) {
  std::vector<uint8_t>().swap(signal_data_);
  signal_data_charge_.Release();
  signal_data_loaded_ = false;
  entry_outside_reported_ = false;
  // Sizes come from the file: every block's stored bytes must exist before the buffer is
  // sized from them, and the memory is the file's to give.
  std::vector<DataBlock*> blocks;
  CollectDataBlocks(blocks);
  const int64_t end = GetLastStreamPosition(buffer);
  uint64_t total = 0;
  for (const DataBlock* block : blocks) {
    const int64_t start = block->DataPosition();
    const uint64_t stored = start > 0 && start <= end ? static_cast<uint64_t>(end - start) : 0;
    const auto* zipped = dynamic_cast<const Dz4Block*>(block);
    const uint64_t needed = zipped != nullptr ? zipped->DataLength() : block->DataSize();
    const uint64_t size = block->DataSize();
    if (needed > stored || size > std::numeric_limits<uint64_t>::max() - total) {
      MDF_DAMAGE(Damage::kUnreadableData) << "Signal data block exceeds the file. Channel: " << name_
                                          << ", Block: " << AddressToText(block->FilePosition());
      return;
    }
    total += size;
  }
  try {
    signal_data_charge_.Hold(Memory(), total);
    signal_data_.resize(static_cast<size_t>(total));
    uint64_t index = 0;
    CopyDataToBuffer(buffer, signal_data_, index);
    signal_data_loaded_ = true;
  } catch (...) {
    // Half-loaded signal data would deliver zeros as values.
    std::vector<uint8_t>().swap(signal_data_);
    signal_data_charge_.Release();
    throw;
  }
}

int64_t Cn4Block::WriteSignalData(std::streambuf& buffer, bool compress) {
  if (type_ == kMaxLengthChannel || (type_ == kVlsdChannel && vlsd_record_id_ != 0)) {
    return 0;
  }
  if (signal_data_.empty()) {
    PatchLink(buffer, kDataLink, 0);
    return 0;
  }
  if (compress && signal_data_.size() > kMinZippedSignalData) {
    return WriteZippedSignalData(buffer);
  }
  return WritePlainSignalData(buffer);
}

int64_t Cn4Block::WritePlainSignalData(std::streambuf& buffer) {
  auto block = std::make_unique<Sd4Block>();
  block->AttachToParent(this);
  // Lent rather than copied: the signal data may be a large part of the file, and it is
  // given back also when the write throws.
  struct Lent {
    Sd4Block& block;
    ByteArray& data;
    ~Lent() { block.SwapData(data); }
  };
  int64_t bytes = 0;
  {
    block->SwapData(signal_data_);
    const Lent lent{*block, signal_data_};
    bytes = static_cast<int64_t>(block->Write(buffer));
  }
  PatchLink(buffer, kDataLink, block->FilePosition());
  return bytes;
}

int64_t Cn4Block::WriteZippedSignalData(std::streambuf& buffer) {
  const uint64_t size = signal_data_.size();
  if (size <= kSignalDataChunk) {
    auto block = CreateDz4Block();
    block->AttachToParent(this);
    block->OrigBlockType("SD");
    block->Type(0);
    if (!block->SetData(signal_data_)) {
      MDF_ERROR() << "Failed to compress the signal data. Stored uncompressed. Channel: " << name_;
      return WritePlainSignalData(buffer);
    }
    const auto bytes = static_cast<int64_t>(block->Write(buffer));
    PatchLink(buffer, kDataLink, block->FilePosition());
    return bytes;
  }

  auto header_list = std::make_unique<Hl4Block>();
  header_list->AttachToParent(this);
  header_list->Flags(1);
  header_list->ZipType(0);
  auto data_list = std::make_unique<Dl4Block>();
  data_list->AttachToParent(header_list.get());
  data_list->SetEqualLength(kSignalDataChunk);

  ByteArray chunk;
  chunk.reserve(kSignalDataChunk);
  for (uint64_t offset = 0; offset < size; offset += kSignalDataChunk) {
    const uint64_t length = std::min(kSignalDataChunk, size - offset);
    const auto first = signal_data_.begin() + static_cast<std::ptrdiff_t>(offset);
    chunk.assign(first, first + static_cast<std::ptrdiff_t>(length));
    auto zipped = CreateDz4Block();
    zipped->AttachToParent(data_list.get());
    zipped->OrigBlockType("SD");
    zipped->Type(0);
    if (zipped->SetData(chunk)) {
      data_list->AddDataBlock(std::move(zipped));
    } else {
      // A chunk that does not deflate is stored as it is rather than as a broken stream.
      MDF_ERROR() << "Failed to compress the signal data. Stored uncompressed. Channel: " << name_;
      auto plain = std::make_unique<Sd4Block>();
      plain->AttachToParent(data_list.get());
      plain->SetData(chunk);
      data_list->AddDataBlock(std::move(plain));
    }
  }
  header_list->AddDataBlock(std::move(data_list));
  const auto bytes = static_cast<int64_t>(header_list->Write(buffer));
  PatchLink(buffer, kDataLink, header_list->FilePosition());
  return bytes;
}

void Cn4Block::ClearData() {
  std::vector<uint8_t>().swap(signal_data_);
  signal_data_charge_.Release();
  signal_data_loaded_ = false;
  vlsd_offset_overflow_ = false;
  DataListBlock::ClearData();
}

}  // namespace mdf::detail
