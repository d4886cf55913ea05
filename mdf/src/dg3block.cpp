#include "dg3block.h"

#include <limits>

#include "blockchain.h"
#include "cg3block.h"
#include "mdf/ichannel.h"
#include "mdf/mdflogstream.h"
#include "readcache.h"
#include "tr3block.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kGroupLink = 1;
constexpr size_t kTriggerLink = 2;
constexpr size_t kDataLink = 3;
constexpr size_t kNofLinks = 4;
constexpr uint16_t kBlockSize = 28;

/// Records carry an id byte when the stream holds more than one channel group.
uint16_t RecordIdsFor(size_t nof_groups) { return nof_groups >= 2 ? 1 : 0; }

}  // namespace

// The id from the start: the blocks below find their data group by it.
Dg3Block::Dg3Block() { block_id_ = "DG"; }

Dg3Block::~Dg3Block() = default;

uint64_t Dg3Block::RecordStreamBytes() const {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const uint64_t id_bytes = nof_record_ids_;
  uint64_t size = 0;
  for (const auto& group : cg_list_) {
    if (!group) continue;
    const uint64_t record = group->RecordSize() + id_bytes;
    const uint64_t samples = group->NofSamples();
    if (record != 0 && samples > (kMax - size) / record) {
      return kMax;
    }
    size += samples * record;
  }
  return size;
}

std::vector<IChannelGroup*> Dg3Block::ChannelGroups() const {
  std::vector<IChannelGroup*> list;
  list.reserve(cg_list_.size());
  for (const auto& group : cg_list_) {
    if (group) list.push_back(group.get());
  }
  return list;
}

IChannelGroup* Dg3Block::CreateChannelGroup() {
  auto group = std::make_unique<Cg3Block>();
  group->AttachToParent(this);
  group->RecordId(0);
  cg_list_.push_back(std::move(group));
  const size_t nof_groups = cg_list_.size();
  nof_cg_ = static_cast<uint16_t>(std::min<size_t>(nof_groups, UINT16_MAX));
  nof_record_ids_ = RecordIdsFor(nof_groups);
  // The ids are one byte in the records: they wrap as the byte does.
  uint8_t record_id = nof_groups < 2 ? 0 : 1;
  for (auto& entry : cg_list_) {
    if (!entry) continue;
    entry->RecordId(nof_groups < 2 ? 0 : record_id++);
  }
  return cg_list_.back().get();
}

void Dg3Block::Trigger(std::unique_ptr<Tr3Block> trigger) {
  trigger_ = std::move(trigger);
  if (trigger_) trigger_->AttachToParent(this);
}

void Dg3Block::ClearData() {
  DataListBlock::ClearData();
  ResetSampleCounters();  // and with each group's counter its reduction data
}

IChannelGroup* Dg3Block::FindParentChannelGroup(const IBlock& block) {
  // A channel is found by what it is: before anything is written every position is 0.
  if (const auto* channel = dynamic_cast<const IChannel*>(&block); channel != nullptr) {
    for (const auto& group : cg_list_) {
      if (!group) continue;
      for (const IChannel* candidate : group->Channels()) {
        if (candidate == channel) return group.get();
      }
    }
  }
  const int64_t position = block.FilePosition();
  for (const auto& group : cg_list_) {
    if (group && group->FindByPosition(position) != nullptr) return group.get();
  }
  return nullptr;
}

MdfBlock* Dg3Block::FindByPosition(int64_t position) {
  if (trigger_) {
    if (MdfBlock* found = trigger_->FindByPosition(position); found != nullptr) return found;
  }
  for (const auto& group : cg_list_) {
    if (!group) continue;
    if (MdfBlock* found = group->FindByPosition(position); found != nullptr) return found;
  }
  return DataListBlock::FindByPosition(position);
}

void Dg3Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next DG", AddressToText(Link(kNextLink)), "Link to next data group", BlockItemType::LinkItem);
  dest.emplace_back("First CG", AddressToText(Link(kGroupLink)), "Link to first channel group",
                    BlockItemType::LinkItem);
  dest.emplace_back("Link Data", AddressToText(Link(kTriggerLink)), "Link to trigger data", BlockItemType::LinkItem);
  dest.emplace_back("Link Data", AddressToText(Link(kDataLink)), "Link to Data", BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Channel Groups", std::to_string(nof_cg_));
  dest.emplace_back("Record ID size [bytes]", std::to_string(nof_record_ids_));
}

size_t Dg3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadLinks32(buffer, kNofLinks);
  bytes += ReadNumber(buffer, nof_cg_);
  bytes += ReadNumber(buffer, nof_record_ids_);

  if (Link(kTriggerLink) > 0) {
    auto trigger = std::make_unique<Tr3Block>();
    trigger->AttachToParent(this);
    SetStreamPosition(buffer, Link(kTriggerLink));
    trigger->Read(buffer);
    trigger_ = std::move(trigger);
  }
  block_list_.clear();
  if (Link(kDataLink) > 0) {
    auto data = std::make_unique<Dt3Block>();
    data->AttachToParent(this);
    SetStreamPosition(buffer, Link(kDataLink));
    data->Read(buffer);
    block_list_.push_back(std::move(data));
  }
  cg_list_.clear();
  ReadBlockChain(buffer, this, Link(kGroupLink), "CG", cg_list_);
  return bytes;
}

int64_t Dg3Block::DataLink() const { return Link(kDataLink); }

void Dg3Block::SetDataLink(std::streambuf& buffer, int64_t link) { PatchLink(buffer, kDataLink, link); }

size_t Dg3Block::Write(std::streambuf& buffer) {
  if (cg_list_.size() > std::numeric_limits<uint16_t>::max()) {
    throw MdfRuntimeError("Too many channel groups for an MDF 3 data group");
  }
  nof_cg_ = static_cast<uint16_t>(cg_list_.size());
  // Records already in the file keep the layout they were written with.
  if (Link(kDataLink) <= 0) {
    nof_record_ids_ = RecordIdsFor(cg_list_.size());
  }
  const bool is_new = file_position_ <= 0;
  if (is_new) {
    block_id_ = "DG";
    block_size_ = kBlockSize;
    block_length_ = kBlockSize;
    link_list_.assign(kNofLinks, 0);
    MdfBlock::Write(buffer);
  } else {
    SeekToData(buffer);
  }
  WriteNumber(buffer, nof_cg_);
  WriteNumber(buffer, nof_record_ids_);
  WriteZeroBytes(buffer, 4);

  if (trigger_ && Link(kTriggerLink) == 0) {
    trigger_->Write(buffer);
    PatchLink(buffer, kTriggerLink, trigger_->FilePosition());
  }
  for (size_t i = 0; i < cg_list_.size(); ++i) {
    auto& group = cg_list_[i];
    if (!group) continue;
    group->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kGroupLink, group->FilePosition());
    } else if (cg_list_[i - 1]) {
      cg_list_[i - 1]->PatchLink(buffer, kNextLink, group->FilePosition());
    }
  }
  WriteNewChildBlocks(buffer, kDataLink);
  return kBlockSize;
}

bool Dg3Block::ReadData(std::streambuf& buffer) {
  BuildRecordObserverMap();
  ResetSampleCounters();
  bool result = true;
  std::vector<DataBlock*> blocks;
  CollectDataBlocks(blocks);
  std::vector<RecordGroup> groups;
  for (const auto& group : cg_list_) {
    if (group) groups.push_back({group.get(), {group->RecordId(), group->RecordSize(), false}});
  }
  if (!blocks.empty() && !groups.empty()) {
    // An id byte in front with 1 or 2 record ids, and a copy behind it with 2. Any other
    // count is no layout: the framer refuses the id size.
    constexpr uint8_t kNoLayout = 0xFF;
    const uint8_t id_size = nof_record_ids_ == 0 ? 0 : nof_record_ids_ <= 2 ? 1 : kNoLayout;
    const uint8_t trailing = nof_record_ids_ == 2 ? 1 : 0;
    ReadCache cache(*this, groups, id_size, std::move(blocks), buffer, {trailing, true, true});
    result = cache.ParseRecords();
  }
  for (const auto& group : cg_list_) {
    if (group) group->LoadSrData(buffer);
  }
  return result;
}

}  // namespace mdf::detail
