#include "cg3block.h"

#include <algorithm>
#include <limits>

#include "blockchain.h"
#include "cn3block.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/idatagroup.h"
#include "mdf/mdflogstream.h"
#include "sr3block.h"
#include "tx3block.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kChannelLink = 1;
constexpr size_t kCommentLink = 2;
constexpr size_t kReductionLink = 3;  // on disk behind the record count, not with the links
constexpr uint16_t kBlockSize = 30;
constexpr int64_t kRecordCountOffset = 22;
constexpr int64_t kReductionOffset = 26;

}  // namespace

// The id from the start: the channels and the parent look-ups tell the blocks apart by it.
Cg3Block::Cg3Block() { block_id_ = "CG"; }

Cg3Block::~Cg3Block() = default;

void Cg3Block::NofSamples(uint64_t nof_samples) {
  nof_records_ = static_cast<uint32_t>(std::min<uint64_t>(nof_samples, std::numeric_limits<uint32_t>::max()));
}

std::vector<IChannel*> Cg3Block::Channels() const {
  std::vector<IChannel*> list;
  list.reserve(channel_list_.size());
  for (const auto& channel : channel_list_) {
    if (channel) list.push_back(channel.get());
  }
  return list;
}

IChannel* Cg3Block::CreateChannel() {
  auto channel = std::make_unique<Cn3Block>();
  channel->AttachToParent(this);
  channel_list_.push_back(std::move(channel));
  nof_channels_ = static_cast<uint16_t>(std::min<size_t>(channel_list_.size(), UINT16_MAX));
  return channel_list_.back().get();
}

IChannel* Cg3Block::GetXChannel(const IChannel&) const {
  for (const auto& channel : channel_list_) {
    if (channel && (channel->ChannelType() == kMasterChannel || channel->ChannelType() == kVirtualMasterChannel)) {
      return channel.get();
    }
  }
  return nullptr;
}

void Cg3Block::ResetSampleCounter() {
  IChannelGroup::ResetSampleCounter();
  for (const auto& reduction : sr_list_) {
    if (reduction) reduction->ClearData();
  }
}

IDataGroup* Cg3Block::DataGroup() const {
  // The data group owns this group, so a const group hands it out as it is.
  return dynamic_cast<IDataGroup*>(Parent() != nullptr ? Parent()->FindAncestorDg() : nullptr);
}

void Cg3Block::AddSampleReduction(std::unique_ptr<Sr3Block> reduction) {
  if (reduction) {
    reduction->AttachToParent(this);
    sr_list_.push_back(std::move(reduction));
  }
}

void Cg3Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next CG", AddressToText(Link(kNextLink)), "Link to next channel group", BlockItemType::LinkItem);
  dest.emplace_back("First CN", AddressToText(Link(kChannelLink)), "Link to first channel", BlockItemType::LinkItem);
  dest.emplace_back("Comment TX", AddressToText(Link(kCommentLink)), comment_, BlockItemType::LinkItem);
  dest.emplace_back("Reduction SR", AddressToText(Link(kReductionLink)), "Link to first sample reduction",
                    BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Record ID", std::to_string(record_id_));
  dest.emplace_back("Nof Channels", std::to_string(nof_channels_));
  dest.emplace_back("Record Size [bytes]", std::to_string(record_size_));
  dest.emplace_back("Nof Samples", std::to_string(nof_records_));
  dest.emplace_back("Comment", comment_);
}

MdfBlock* Cg3Block::FindByPosition(int64_t position) {
  for (const auto& channel : channel_list_) {
    if (!channel) continue;
    if (MdfBlock* found = channel->FindByPosition(position); found != nullptr) {
      return found;
    }
  }
  return MdfBlock::FindByPosition(position);
}

size_t Cg3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadLinks32(buffer, 3);
  bytes += ReadNumber(buffer, record_id_);
  bytes += ReadNumber(buffer, nof_channels_);
  bytes += ReadNumber(buffer, record_size_);
  bytes += ReadNumber(buffer, nof_records_);
  if (bytes + 4 <= block_size_) {
    // A 30-byte block (MDF 3.3) links its first sample reduction here.
    uint32_t first_reduction = 0;
    bytes += ReadNumber(buffer, first_reduction);
    link_list_.push_back(first_reduction);
    link_count_ = link_list_.size();
  }
  comment_ = LoadTx3Text(buffer, kCommentLink);
  return bytes;
}

void Cg3Block::ReadCnList(std::streambuf& buffer) {
  if (!channel_list_.empty() || Link(kChannelLink) <= 0) {
    return;
  }
  try {
    channel_list_cut_ = !ReadBlockChain(buffer, this, Link(kChannelLink), "CN", channel_list_);
  } catch (...) {
    channel_list_cut_ = true;  // a channel that cannot be read ends the whole read
    throw;
  }
}

void Cg3Block::ReadSrList(std::streambuf& buffer) {
  if (!sr_list_.empty() || link_list_.size() <= kReductionLink || Link(kReductionLink) <= 0) {
    return;
  }
  ReadBlockChain(buffer, this, Link(kReductionLink), "SR", sr_list_);
}

void Cg3Block::LoadSrData(std::streambuf& buffer) {
  for (const auto& reduction : sr_list_) {
    if (reduction) reduction->LoadData(buffer);
  }
}

void Cg3Block::PrepareForWriting() {
  nof_channels_ = static_cast<uint16_t>(std::min<size_t>(channel_list_.size(), UINT16_MAX));
  uint64_t record_size = 0;
  for (const auto& channel : channel_list_) {
    if (!channel) continue;
    channel->ByteOffset(static_cast<uint32_t>(record_size));
    record_size += channel->DataBytes();
    // The record size field has 16 bits: a wrapped size would put channels beyond the record.
    if (record_size > std::numeric_limits<uint16_t>::max()) {
      throw MdfRuntimeError("The record does not fit an MDF 3 channel group. Size: " + std::to_string(record_size));
    }
  }
  record_size_ = static_cast<uint16_t>(record_size);
  sample_buffer_.assign(record_size_, 0);
}

size_t Cg3Block::Write(std::streambuf& buffer) {
  if (channel_list_.size() > std::numeric_limits<uint16_t>::max()) {
    throw MdfRuntimeError("Too many channels for an MDF 3 channel group");
  }
  nof_channels_ = static_cast<uint16_t>(channel_list_.size());
  const bool is_new = file_position_ <= 0;
  if (is_new) {
    block_id_ = "CG";
    block_size_ = kBlockSize;
    block_length_ = kBlockSize;
    link_list_.resize(3, 0);
  }

  // Sample reductions first: a new group links the first one in its own fields.
  int64_t first_reduction = 0;
  for (size_t i = 0; i < sr_list_.size(); ++i) {
    auto& reduction = sr_list_[i];
    if (!reduction || reduction->FilePosition() > 0) continue;
    reduction->Write(buffer);
    if (i > 0 && sr_list_[i - 1]) {
      sr_list_[i - 1]->PatchLink(buffer, kNextLink, reduction->FilePosition());
    } else if (first_reduction == 0) {
      first_reduction = reduction->FilePosition();
    }
  }

  if (is_new) {
    MdfBlock::Write(buffer);
    WriteNumber(buffer, record_id_);
    WriteNumber(buffer, nof_channels_);
    WriteNumber(buffer, record_size_);
    WriteNumber(buffer, nof_records_);
    WriteNumber(buffer, static_cast<uint32_t>(first_reduction));
    link_list_.push_back(first_reduction);
  } else {
    SetStreamPosition(buffer, file_position_ + kRecordCountOffset);
    WriteNumber(buffer, nof_records_);
    if (first_reduction > 0) {
      if (block_size_ < kBlockSize) {
        // A 26-byte block read from a file has no room for the link: its bytes 26 to 29
        // belong to the next block.
        MDF_ERROR() << "The channel group has no link to sample reductions. Block: " << AddressToText(file_position_);
      } else {
        SetStreamPosition(buffer, file_position_ + kReductionOffset);
        WriteNumber(buffer, static_cast<uint32_t>(first_reduction));
        link_list_.resize(std::max<size_t>(link_list_.size(), kReductionLink + 1), 0);
        link_list_[kReductionLink] = first_reduction;
      }
    }
  }

  for (size_t i = 0; i < channel_list_.size(); ++i) {
    auto& channel = channel_list_[i];
    if (!channel || channel->FilePosition() > 0) continue;
    channel->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kChannelLink, channel->FilePosition());
    } else if (channel_list_[i - 1]) {
      channel_list_[i - 1]->PatchLink(buffer, kNextLink, channel->FilePosition());
    }
  }

  if (!comment_.empty() && Link(kCommentLink) == 0) {
    Tx3Block text(comment_);
    text.AttachToParent(this);
    text.Write(buffer);
    PatchLink(buffer, kCommentLink, text.FilePosition());
  }
  return kBlockSize;
}

}  // namespace mdf::detail
