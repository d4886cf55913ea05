#include "cg4block.h"

#include <algorithm>
#include <limits>
#include <set>

#include "blockchain.h"
#include "blocklayout.h"
#include "byteorder.h"
#include "cn4block.h"
#include "mdf/ichannelarray.h"
#include "mdf/idatagroup.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "readguard.h"
#include "si4block.h"
#include "sr4block.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kChannelLink = 1;
constexpr size_t kNameLink = 2;
constexpr size_t kSourceLink = 3;
constexpr size_t kReductionLink = 4;
constexpr size_t kCommentLink = 5;

constexpr uint64_t kBlockLength = 104;      // 6 links
constexpr uint64_t kLongBlockLength = 112;  // 7 links

std::string SeparatorText(uint16_t separator) {
  if (separator == 0) {
    return {};
  }
  try {
    return WideToUtf8(std::u16string(1, static_cast<char16_t>(separator)));
  } catch (const std::exception&) {
    return {};  // a lone surrogate is no character
  }
}

}  // namespace

Cg4Block::Cg4Block() { block_id_ = "##CG"; }

Cg4Block::~Cg4Block() = default;

std::string Cg4Block::FlagsToText(uint16_t flags) {
  std::string text;
  if ((flags & kVlsdFlag) != 0) {
    text = "VLSD";
  }
  if ((flags & kBusEventFlag) != 0) {
    text += text.empty() ? "Bus Event" : ",Bus Event";
  }
  if ((flags & kPlainBusEventFlag) != 0) {
    text += text.empty() ? "Plain" : ",Plain";
  }
  return text;
}

ISourceInformation* Cg4Block::CreateSourceInformation() {
  auto block = std::make_unique<Si4Block>();
  block->AttachToParent(this);
  si_block_ = std::move(block);
  return si_block_.get();
}

ISourceInformation* Cg4Block::SourceInformation() const { return si_block_.get(); }

IDataGroup* Cg4Block::DataGroup() const {
  // The data group owns this group, so a const group hands it out as it is.
  return dynamic_cast<IDataGroup*>(Parent() != nullptr ? Parent()->FindAncestorDg() : nullptr);
}

void Cg4Block::AddSampleReduction(std::unique_ptr<Sr4Block> reduction) {
  if (reduction) {
    reduction->AttachToParent(this);
    sr_list_.push_back(std::move(reduction));
  }
}

uint64_t Cg4Block::VlsdByteCount() const { return nof_data_bytes_ + (uint64_t{nof_invalid_bytes_} << 32); }

void Cg4Block::AddVlsdByteCount(uint64_t count) {
  if (!IsVlsd()) {
    return;
  }
  const uint64_t total = VlsdByteCount() + count;
  nof_data_bytes_ = static_cast<uint32_t>(total);
  nof_invalid_bytes_ = static_cast<uint32_t>(total >> 32);
}

void Cg4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next CG", AddressToText(Link(kNextLink)), "Link to next channel group", BlockItemType::LinkItem);
  dest.emplace_back("First CN", AddressToText(Link(kChannelLink)), "Link to first channel", BlockItemType::LinkItem);
  dest.emplace_back("Name TX", AddressToText(Link(kNameLink)), name_, BlockItemType::LinkItem);
  dest.emplace_back("Source SI", AddressToText(Link(kSourceLink)), "Link to source information",
                    BlockItemType::LinkItem);
  dest.emplace_back("Reduction SR", AddressToText(Link(kReductionLink)), "Link to first sample reduction",
                    BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  if (Link(kNameLink) > 0) {
    dest.emplace_back("Name", name_);
  }
  dest.emplace_back("Nof Channels", std::to_string(channel_list_.size()));
  dest.emplace_back("Nof SR", std::to_string(sr_list_.size()));
  dest.emplace_back("Record ID", std::to_string(record_id_));
  dest.emplace_back("Nof Samples", std::to_string(nof_samples_));
  dest.emplace_back("Flags", FlagsToText(flags_));
  dest.emplace_back("Path Separator", SeparatorText(path_separator_));
  dest.emplace_back("Data Bytes", std::to_string(nof_data_bytes_));
  dest.emplace_back("Invalid Bytes", std::to_string(nof_invalid_bytes_));
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

MdfBlock* Cg4Block::FindByPosition(int64_t position) {
  if (si_block_) {
    if (auto* found = si_block_->FindByPosition(position); found != nullptr) {
      return found;
    }
  }
  for (const auto& channel : channel_list_) {
    if (!channel) continue;
    if (auto* found = channel->FindByPosition(position); found != nullptr) {
      return found;
    }
  }
  for (const auto& reduction : sr_list_) {
    if (!reduction) continue;
    if (auto* found = reduction->FindByPosition(position); found != nullptr) {
      return found;
    }
  }
  return MdfBlock::FindByPosition(position);
}

size_t Cg4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadNumber(buffer, record_id_);
  bytes += ReadNumber(buffer, nof_samples_);
  bytes += ReadNumber(buffer, flags_);
  bytes += ReadNumber(buffer, path_separator_);
  uint32_t reserved = 0;
  bytes += ReadNumber(buffer, reserved);
  bytes += ReadNumber(buffer, nof_data_bytes_);
  bytes += ReadNumber(buffer, nof_invalid_bytes_);
  // A VLSD group's records are its channel's values; the others' bytes are read by channels.
  if (!IsVlsd() && RecordSize() > 0) CheckNeededLinks(LinkNeed::kRecordBytes);
  name_ = LoadTx4Text(buffer, kNameLink);
  if (link_list_.size() > kSourceLink && Link(kSourceLink) > 0) {
    auto source = std::make_unique<Si4Block>();
    source->AttachToParent(this);
    SetStreamPosition(buffer, Link(kSourceLink));
    source->Read(buffer);
    si_block_ = std::move(source);
  }
  LoadMdComment(buffer, kCommentLink);
  return bytes;
}

void Cg4Block::ReadSrList(std::streambuf& buffer) {
  if (!sr_list_.empty() || link_list_.size() <= kReductionLink) {
    return;
  }
  ReadBlockChain(buffer, this, Link(kReductionLink), "##SR", sr_list_);
}

void Cg4Block::WriteRecordId(ByteArray& dest, uint8_t id_size) const {
  if (id_size == 0) {
    return;
  }
  const size_t width = id_size == 1 || id_size == 2 || id_size == 4 ? id_size : 8;
  dest.resize(dest.size() + width);
  StoreUnsigned(dest.data() + dest.size() - width, record_id_, width, false);
}

void Cg4Block::WriteRecordId(std::streambuf& buffer, uint8_t id_size) const {
  switch (id_size) {
    case 0:
      break;
    case 1:
      WriteNumber(buffer, static_cast<uint8_t>(record_id_));
      break;
    case 2:
      WriteNumber(buffer, static_cast<uint16_t>(record_id_));
      break;
    case 4:
      WriteNumber(buffer, static_cast<uint32_t>(record_id_));
      break;
    default:
      WriteNumber(buffer, record_id_);
      break;
  }
}

void Cg4Block::CheckVlsdLength(const ByteArray& value) {
  if (value.size() > std::numeric_limits<uint32_t>::max()) {
    throw MdfRuntimeError("VLSD value too large");
  }
}

void Cg4Block::CountSample() {
  IncrementSampleCounter();
  nof_samples_ = SampleCounter();
}

void Cg4Block::AppendSample(ByteArray& dest, uint8_t id_size, const ByteArray& sample) {
  AppendSample(dest, id_size, sample.data(), sample.size());
}

void Cg4Block::AppendSample(ByteArray& dest, uint8_t id_size, const uint8_t* sample, size_t size) {
  WriteRecordId(dest, id_size);
  dest.insert(dest.end(), sample, sample + size);
  CountSample();
}

uint64_t Cg4Block::AppendVlsdSample(ByteArray& dest, uint8_t id_size, const ByteArray& value) {
  CheckVlsdLength(value);  // its length field has 32 bits
  const uint64_t offset = vlsd_offset_;
  WriteRecordId(dest, id_size);
  dest.resize(dest.size() + 4);
  StoreLe32(dest.data() + dest.size() - 4, static_cast<uint32_t>(value.size()));
  dest.insert(dest.end(), value.begin(), value.end());
  CountSample();
  AddVlsdByteCount(value.size());
  vlsd_offset_ += value.size() + 4;
  return offset;
}

void Cg4Block::WriteSample(std::streambuf& buffer, uint8_t id_size, const ByteArray& sample) {
  WriteSample(buffer, id_size, sample.data(), sample.size());
}

void Cg4Block::WriteSample(std::streambuf& buffer, uint8_t id_size, const uint8_t* sample, size_t sample_size) {
  WriteRecordId(buffer, id_size);
  const auto size = static_cast<std::streamsize>(sample_size);
  const std::streamsize written = size > 0 ? buffer.sputn(reinterpret_cast<const char*>(sample), size) : 0;
  if (written != size) {
    // A record that is not whole in the file must not be counted: the cycle count would
    // claim it and the file would read wrong.
    MDF_ERROR() << "Failed to write a sample data. Written : " << written << "(" << size << ")";
    throw MdfRuntimeError("Invalid number of bytes written");
  }
  CountSample();
}

uint64_t Cg4Block::WriteVlsdSample(std::streambuf& buffer, uint8_t id_size, const ByteArray& value) {
  CheckVlsdLength(value);  // its length field has 32 bits
  const uint64_t offset = vlsd_offset_;
  WriteRecordId(buffer, id_size);
  uint8_t length_bytes[4];
  StoreLe32(length_bytes, static_cast<uint32_t>(value.size()));
  const auto size = static_cast<std::streamsize>(value.size());
  if (buffer.sputn(reinterpret_cast<const char*>(length_bytes), 4) != 4 ||
      (size > 0 && buffer.sputn(reinterpret_cast<const char*>(value.data()), size) != size)) {
    throw MdfRuntimeError("Invalid number of bytes written");
  }
  CountSample();
  AddVlsdByteCount(value.size());
  vlsd_offset_ += value.size() + 4;
  return offset;
}

size_t Cg4Block::Write(std::streambuf& buffer) {
  const bool is_new = file_position_ <= 0;
  if (is_new) {
    const bool seven_links = (flags_ & kSeventhLinkFlag) != 0;
    block_id_ = "##CG";
    block_length_ = seven_links ? kLongBlockLength : kBlockLength;
    link_list_.resize(seven_links ? 7 : 6, 0);
  }

  for (size_t i = 0; i < channel_list_.size(); ++i) {
    auto& channel = channel_list_[i];
    if (!channel || channel->FilePosition() > 0) {
      continue;
    }
    channel->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kChannelLink, channel->FilePosition());
    } else if (auto& previous = channel_list_[i - 1]; previous) {
      previous->PatchLink(buffer, kNextLink, channel->FilePosition());
    }
  }
  StoreTx4Text(buffer, kNameLink, name_);
  if (si_block_ && si_block_->FilePosition() <= 0) {
    si_block_->Write(buffer);
    PatchLink(buffer, kSourceLink, si_block_->FilePosition());
  }
  for (size_t i = 0; i < sr_list_.size(); ++i) {
    auto& reduction = sr_list_[i];
    if (!reduction || reduction->FilePosition() > 0) {
      continue;
    }
    reduction->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kReductionLink, reduction->FilePosition());
    } else if (auto& previous = sr_list_[i - 1]; previous) {
      previous->PatchLink(buffer, kNextLink, reduction->FilePosition());
    }
  }
  StoreMdComment(buffer, kCommentLink);

  if (!is_new) {
    SeekToData(buffer);
    if (cycle_count_position_ > 0) {
      SetStreamPosition(buffer, cycle_count_position_);
      WriteNumber(buffer, nof_samples_);
    }
    if (data_bytes_position_ > 0) {
      SetStreamPosition(buffer, data_bytes_position_);
      WriteNumber(buffer, nof_data_bytes_);
    }
    if (invalid_bytes_position_ > 0) {
      SetStreamPosition(buffer, invalid_bytes_position_);
      WriteNumber(buffer, nof_invalid_bytes_);
    }
    return static_cast<size_t>(block_length_);
  }

  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteNumber(buffer, record_id_);
  cycle_count_position_ = GetStreamPosition(buffer);
  bytes += WriteNumber(buffer, nof_samples_);
  bytes += WriteNumber(buffer, flags_);
  bytes += WriteNumber(buffer, path_separator_);
  bytes += WriteZeroBytes(buffer, 4);
  if (IsVlsd()) {
    data_bytes_position_ = GetStreamPosition(buffer);
  }
  bytes += WriteNumber(buffer, nof_data_bytes_);
  if (IsVlsd()) {
    invalid_bytes_position_ = GetStreamPosition(buffer);
  }
  bytes += WriteNumber(buffer, nof_invalid_bytes_);
  PatchBlockLength(buffer, bytes);
  LinkDataLengthChannel(buffer);
  return bytes;
}

namespace {

// A channel and, depth first, the channels composed into it. Compositions of a damaged file
// may nest deep or lead back to a channel already listed: both end the walk there.
void AddWithCompositions(IChannel* channel, std::vector<IChannel*>& dest, std::set<const IChannel*>& listed,
                         size_t depth) {
  if (channel == nullptr || !listed.insert(channel).second) {
    return;
  }
  dest.push_back(channel);
  if (depth >= kMaxCompositionDepth) {
    return;
  }
  for (IChannel* member : channel->ChannelCompositions()) {
    if (member != nullptr && member->BlockType() == "CN") {
      AddWithCompositions(member, dest, listed, depth + 1);
    }
  }
}

}  // namespace

std::vector<IChannel*> Cg4Block::Channels() const {
  std::vector<IChannel*> list;
  list.reserve(channel_list_.size());
  std::set<const IChannel*> listed;
  for (const auto& channel : channel_list_) {
    AddWithCompositions(channel.get(), list, listed, 0);
  }
  return list;
}

namespace {

// Bytes that hold `bits` bits, padded to the next 8-byte boundary, as writers align records.
uint64_t PaddedBytes(uint64_t bits) { return (bits / 8 + (bits % 8 != 0 ? 1 : 0) + 7) / 8 * 8; }

// Record sizes are 32-bit byte counts: elements beyond this reach past any record, and the bit
// sums below stay far from overflow.
constexpr uint64_t kMaxElements = uint64_t{1} << 31;

}  // namespace

bool Cg4Block::RecordSizeFitsChannels() const {
  if (IsVlsd()) return true;  // its records carry their own lengths
  uint64_t data_bits = 0;
  uint64_t invalid_bits = 0;
  for (const IChannel* channel : Channels()) {
    const uint8_t type = channel->ChannelType();
    if (type == kVirtualMasterChannel || type == kVirtualDataChannel) continue;  // no bits in the record
    // An array's elements lie bit count apart, each with an invalidation bit of its own.
    const uint64_t elements = std::clamp<uint64_t>(channel->ArraySize(), 1, kMaxElements);
    const uint64_t first = uint64_t{channel->ByteOffset()} * 8 + channel->BitOffset();
    data_bits = std::max(data_bits, first + elements * channel->BitCount());
    const auto* block = dynamic_cast<const Cn4Block*>(channel);
    if (block != nullptr && (block->Flags() & kChannelInvalidationBitFlag) != 0) {
      invalid_bits = std::max(invalid_bits, block->InvalidationBitPosition() + elements);
    }
  }
  return nof_data_bytes_ <= PaddedBytes(data_bits) && nof_invalid_bytes_ <= PaddedBytes(invalid_bits);
}

IChannel* Cg4Block::CreateChannel() {
  auto channel = std::make_unique<Cn4Block>();
  channel->AttachToParent(this);
  channel_list_.push_back(std::move(channel));
  return channel_list_.back().get();
}

IChannel* Cg4Block::GetXChannel(const IChannel& reference) const {
  const auto* channel = dynamic_cast<const Cn4Block*>(&reference);
  if (channel == nullptr) {
    return nullptr;
  }
  const auto links = channel->DefaultXLinks();
  if (links.size() == 3 && links[1] == FilePosition() && links[2] != 0) {
    for (const auto& candidate : channel_list_) {
      if (candidate && candidate->FilePosition() == links[2]) {
        return candidate.get();
      }
    }
  }
  for (const auto& candidate : channel_list_) {
    if (candidate &&
        (candidate->ChannelType() == kMasterChannel || candidate->ChannelType() == kVirtualMasterChannel)) {
      return candidate.get();
    }
  }
  return nullptr;
}

void Cg4Block::ReadCnList(std::streambuf& buffer) {
  if (!channel_list_.empty() || link_list_.size() <= kChannelLink) {
    return;
  }
  try {
    channel_list_cut_ = !ReadBlockChain(buffer, this, Link(kChannelLink), "##CN", channel_list_);
  } catch (...) {
    channel_list_cut_ = true;  // a channel that cannot be read ends the whole read
    throw;
  }
}

void Cg4Block::PrepareForWriting() {
  nof_data_bytes_ = 0;
  vlsd_offset_ = 0;
  if (IsVlsd()) {
    nof_invalid_bytes_ = 0;
    sample_buffer_.clear();
    return;
  }
  // 64-bit sums: a record larger than the 32-bit fields can describe is refused below.
  uint64_t byte_offset = 0;
  uint64_t invalid_bits = 0;
  for (const auto& channel : channel_list_) {
    if (!channel) continue;
    channel->PrepareForWriting(static_cast<uint32_t>(byte_offset));
    const uint64_t nof_bytes = channel->DataBytes();
    const IChannelArray* array = channel->ChannelArray();
    const uint64_t nof_elements = array != nullptr ? array->ElementCount() : 1;
    uint64_t field = 0;
    const bool has_invalid_bit = (channel->Flags() & 0x02U) != 0;
    if (has_invalid_bit) {
      channel->InvalidationBitPosition(static_cast<uint32_t>(invalid_bits));
    }
    if (__builtin_mul_overflow(nof_bytes, nof_elements, &field) ||
        __builtin_add_overflow(byte_offset, field, &byte_offset) ||
        (has_invalid_bit && __builtin_add_overflow(invalid_bits, nof_elements, &invalid_bits)) ||
        byte_offset > std::numeric_limits<uint32_t>::max() || invalid_bits > std::numeric_limits<uint32_t>::max()) {
      throw MdfRuntimeError("The record of the channel group is too large.");
    }
  }
  nof_data_bytes_ = static_cast<uint32_t>(byte_offset);
  nof_invalid_bytes_ = static_cast<uint32_t>((invalid_bits + 7) / 8);
  sample_buffer_.assign(RecordSize(), 0);
}

Cn4Block* Cg4Block::VlsdChannel() const {
  for (IChannel* channel : Channels()) {
    if (channel->ChannelType() == kVlsdChannel && channel->VlsdRecordId() == 0) {
      return dynamic_cast<Cn4Block*>(channel);
    }
  }
  return nullptr;
}

Cn4Block* Cg4Block::VlsdChannelByRecordId(uint64_t record_id) const {
  for (IChannel* channel : Channels()) {
    if (channel->ChannelType() == kVlsdChannel && channel->VlsdRecordId() == record_id) {
      return dynamic_cast<Cn4Block*>(channel);
    }
  }
  return nullptr;
}

void Cg4Block::LinkDataLengthChannel(std::streambuf& buffer) {
  const IChannel* length = GetChannel(".DataLength");
  if (length == nullptr) {
    return;
  }
  for (IChannel* channel : Channels()) {
    if (channel->ChannelType() != kMaxLengthChannel) continue;
    if (auto* block = dynamic_cast<Cn4Block*>(channel); block != nullptr) {
      block->SetDataLink(buffer, length->FilePosition());
    }
  }
}

}  // namespace mdf::detail
