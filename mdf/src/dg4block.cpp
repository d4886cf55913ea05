#include "dg4block.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <set>

#include "blockchain.h"
#include "cg4block.h"
#include "cn4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "mdf/ichannel.h"
#include "mdf/imetadata.h"
#include "mdf/mdflogstream.h"
#include "readcache.h"
#include "recordframer.h"
#include "sr4block.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kGroupLink = 1;
constexpr size_t kDataLink = 2;
constexpr size_t kCommentLink = 3;
constexpr uint64_t kBlockLength = 64;

uint8_t RecordIdSizeFor(uint64_t nof_groups) {
  if (nof_groups < 2) return 0;
  if (nof_groups < 0x100) return 1;
  if (nof_groups < 0x10000) return 2;
  if (nof_groups < 0x100000000) return 4;
  return 8;
}

}  // namespace

Dg4Block::Dg4Block() { block_id_ = "##DG"; }

Dg4Block::~Dg4Block() = default;

bool Dg4Block::IsValidRecordIdSize(uint8_t id_size) {
  return id_size == 0 || id_size == 1 || id_size == 2 || id_size == 4 || id_size == 8;
}

std::string Dg4Block::Description() const {
  const IMetaData* metadata = MetaDataInterface();
  return metadata != nullptr ? metadata->ElementValue("TX") : std::string();
}

void Dg4Block::Description(const std::string& description) {
  if (IMetaData* metadata = MakeMetaData(); metadata != nullptr) {
    metadata->SetElementValue("TX", description);
  }
}

void Dg4Block::RecordIdSize(uint8_t id_size) {
  if (!IsValidRecordIdSize(id_size)) {
    MDF_ERROR() << "Invalid record ID size. Size: " << static_cast<int>(id_size);
    return;
  }
  record_id_size_ = id_size;
}

std::vector<IChannelGroup*> Dg4Block::ChannelGroups() const {
  std::vector<IChannelGroup*> list;
  list.reserve(cg_list_.size());
  for (const auto& group : cg_list_) {
    if (group) {
      list.push_back(group.get());
    }
  }
  return list;
}

void Dg4Block::AddCg4(std::unique_ptr<Cg4Block> group) {
  if (group) {
    group->AttachToParent(this);
    cg_list_.push_back(std::move(group));
  }
}

IChannelGroup* Dg4Block::CreateChannelGroup() {
  auto group = std::make_unique<Cg4Block>();
  group->AttachToParent(this);
  group->RecordId(0);
  cg_list_.push_back(std::move(group));

  const uint64_t nof_groups = cg_list_.size();
  record_id_size_ = RecordIdSizeFor(nof_groups);
  uint64_t record_id = nof_groups < 2 ? 0 : 1;
  for (auto& entry : cg_list_) {
    if (entry) {
      entry->RecordId(nof_groups < 2 ? 0 : record_id++);
    }
  }
  return cg_list_.back().get();
}

int64_t Dg4Block::DataLink() const { return Link(kDataLink); }

void Dg4Block::SetDataLink(std::streambuf& buffer, int64_t link) { PatchLink(buffer, kDataLink, link); }

Cg4Block* Dg4Block::FindCgByRecordId(uint64_t record_id) const {
  if (cg_list_.size() == 1) {
    return cg_list_.front().get();
  }
  for (const auto& group : cg_list_) {
    if (group && group->RecordId() == record_id) {
      return group.get();
    }
  }
  return nullptr;
}

IChannelGroup* Dg4Block::FindParentChannelGroup(const IBlock& block) {
  // A channel is found by what it is: before anything is written every position is 0, and
  // a comparison of positions would answer with the first group for every channel.
  if (const auto* channel = dynamic_cast<const IChannel*>(&block); channel != nullptr) {
    for (const auto& group : cg_list_) {
      if (!group) continue;
      for (const IChannel* candidate : group->Channels()) {
        if (candidate == channel) {
          return group.get();
        }
      }
    }
  }
  const int64_t position = block.FilePosition();
  for (const auto& group : cg_list_) {
    if (group && group->FindByPosition(position) != nullptr) {
      return group.get();
    }
  }
  return nullptr;
}

MdfBlock* Dg4Block::FindByPosition(int64_t position) {
  for (const auto& group : cg_list_) {
    if (!group) continue;
    if (auto* found = group->FindByPosition(position); found != nullptr) {
      return found;
    }
  }
  return DataListBlock::FindByPosition(position);
}

void Dg4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next DG", AddressToText(Link(kNextLink)), "Link to next data group", BlockItemType::LinkItem);
  dest.emplace_back("First CG", AddressToText(Link(kGroupLink)), "Link to first channel group",
                    BlockItemType::LinkItem);
  dest.emplace_back("Link Data", AddressToText(Link(kDataLink)), "Link to Data", BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Record ID Size [byte]", std::to_string(record_id_size_));
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

size_t Dg4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadByte(buffer, record_id_size_);
  ByteArray reserved;
  ReadBytes(buffer, reserved, 7);
  if (!IsValidRecordIdSize(record_id_size_)) {
    // Kept for display; the records of such a group cannot be read or counted.
    MDF_DAMAGE(Damage::kInvalidRecordIdSize) << "Invalid record ID size. Size: " << static_cast<int>(record_id_size_)
                                             << ", Block: " << AddressToText(file_position_);
  }
  LoadMdComment(buffer, kCommentLink);
  ReadBlockList(buffer, kDataLink, true);
  file_size_ = GetLastStreamPosition(buffer);
  return bytes;
}

std::optional<uint64_t> Dg4Block::RecordBytesInFile() const {
  if (file_size_ <= 0) {
    return std::nullopt;
  }
  std::vector<DataBlock*> blocks;
  CollectDataBlocks(blocks);
  std::set<int64_t> counted;  // a block a list names twice holds its bytes once
  uint64_t bytes = 0;
  for (const DataBlock* block : blocks) {
    if (block == nullptr || !counted.insert(block->DataPosition()).second) continue;
    if (dynamic_cast<const Dz4Block*>(block) != nullptr) {
      return std::nullopt;  // a zipped block's claimed length is only proven by inflating it
    }
    // Blocks may overlap: what they hold together is never more than the file.
    bytes = std::min<uint64_t>(bytes + block->DataInFile(file_size_), static_cast<uint64_t>(file_size_));
  }
  return bytes;
}

void Dg4Block::ReadCgList(std::streambuf& buffer) {
  ReadGuard groups(Nesting::kChain);
  ReadCgList(buffer, groups);
}

void Dg4Block::ReadCgList(std::streambuf& buffer, ReadGuard& groups) {
  if (!cg_list_.empty() || link_list_.size() <= kGroupLink) {
    return;
  }
  group_list_cut_ = !ReadBlockChain(buffer, this, Link(kGroupLink), "##CG", cg_list_, groups);
}

size_t Dg4Block::ReadRecordId(std::streambuf& buffer, uint64_t& record_id) const {
  record_id = 0;
  switch (record_id_size_) {
    case 1: {
      uint8_t id = 0;
      ReadNumber(buffer, id);
      record_id = id;
      return 1;
    }
    case 2: {
      uint16_t id = 0;
      ReadNumber(buffer, id);
      record_id = id;
      return 2;
    }
    case 4: {
      uint32_t id = 0;
      ReadNumber(buffer, id);
      record_id = id;
      return 4;
    }
    case 8:
      ReadNumber(buffer, record_id);
      return 8;
    default:
      return 0;
  }
}

void Dg4Block::ClearData() {
  DataListBlock::ClearData();
  ResetSampleCounters();
  for (const auto& group : cg_list_) {
    if (!group) continue;
    for (const auto& reduction : group->Sr4List()) {
      if (reduction) {
        reduction->ClearData();
      }
    }
  }
  ReleaseSignalData();
}

void Dg4Block::ReleaseSignalData() {
  for (const auto& group : cg_list_) {
    if (!group) continue;
    for (const auto& channel : group->Cn4List()) {
      if (channel) {
        channel->ClearData();
      }
    }
  }
}

bool Dg4Block::ReadData(std::streambuf& buffer) {
  if (block_list_.empty()) {
    // Nothing to read; the counts must then say so.
    for (const auto& group : cg_list_) {
      if (group) ReportRecordCount(*group, group->RecordId(), 0);
    }
    return true;
  }
  BuildRecordObserverMap();
  // Whatever happens below, the signal data loaded for this read is released again.
  struct Release {
    Dg4Block& group;
    ~Release() { group.ReleaseSignalData(); }
  } release{*this};

  for (const auto& group : cg_list_) {
    if (!group) continue;
    for (const auto& reduction : group->Sr4List()) {
      if (reduction) {
        reduction->ReadSrData(buffer);
      }
    }
    for (IChannel* channel : group->Channels()) {
      auto* block = dynamic_cast<Cn4Block*>(channel);
      if (block == nullptr || !IsSubscribingOnChannel(*block)) {
        continue;
      }
      const int64_t data_link = block->DataLink();
      if (data_link == 0) {
        continue;
      }
      const MdfBlock* data = FindByPosition(data_link);
      if (data == nullptr) {
        MDF_DEBUG() << "Missing data block in channel. Channel :" << block->Name() << ", Data Link: " << data_link;
        continue;
      }
      const std::string type = data->BlockType();
      if (block->ChannelType() == kVlsdChannel && IsSubscribingOnChannelVlsd(*block) &&
          (type == "SD" || type == "DZ" || type == "DL" || type == "HL")) {
        block->LoadSignalData(buffer);
      }
    }
  }
  for (const auto& group : cg_list_) {
    if (group) {
      group->ResetSampleCounter();
    }
  }
  std::vector<DataBlock*> blocks;
  CollectDataBlocks(blocks);
  RecordStreamRules rules;
  rules.whole_group_list = !group_list_cut_;
  ReadCache cache(*this, RecordGroups(), record_id_size_, std::move(blocks), buffer, rules);
  return cache.ParseRecords();
}

std::vector<RecordGroup> Dg4Block::RecordGroups() const {
  std::vector<RecordGroup> groups;
  for (const auto& group : cg_list_) {
    if (group) {
      groups.push_back({group.get(), {group->RecordId(), group->RecordSize(), group->IsVlsd()}});
    }
  }
  return groups;
}

namespace {

// Counts the records of each channel group and the value bytes of the VLSD groups; no
// payload is read.
class CountingSink {
 public:
  struct Tally {
    uint64_t records = 0;
    uint64_t bytes = 0;    // without the record id and the VLSD length
    uint64_t longest = 0;  // record, as bytes
  };
  explicit CountingSink(size_t nof_groups) : tallies_(nof_groups) {}

  [[nodiscard]] bool Wants(size_t, uint64_t) const { return false; }
  FrameStep OnRecord(size_t, uint64_t, const uint8_t*, uint64_t) { return FrameStep::kContinue; }
  FrameStep OnSkipped(size_t group, uint64_t, uint64_t size) {
    Tally& tally = tallies_[group];
    ++tally.records;
    tally.bytes += size;
    tally.longest = std::max(tally.longest, size);
    return FrameStep::kContinue;
  }
  [[nodiscard]] const Tally& Of(size_t group) const { return tallies_[group]; }

 private:
  std::vector<Tally> tallies_;
};

// Cuts the last DT block to the whole records counted, so that a read of the records ends
// where the counting did. Only the last block of a recording grows: the blocks before it must
// hold all they claim, and the torn record must begin in the last one; else nothing is cut
// and the read finds the tear as damage.
void CutTornTail(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, uint64_t whole_bytes) {
  auto* dt = blocks.empty() ? nullptr : dynamic_cast<Dt4Block*>(blocks.back());
  if (dt == nullptr) return;
  const int64_t file_size = GetLastStreamPosition(buffer);
  uint64_t before = 0;
  for (size_t i = 0; i + 1 < blocks.size(); ++i) {
    const DataBlock* block = blocks[i];
    if (block == nullptr) continue;
    const uint64_t size = block->DataSize();
    if (block->DataInFile(file_size) != size || size > whole_bytes - before) return;
    before += size;
  }
  dt->CutDataSize(whole_bytes - before);
}

// True when the record stream holds nothing but zeros from `offset` to its end.
bool OnlyZerosFrom(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, uint64_t offset) {
  try {
    BlockStream stream(buffer, blocks);
    if (offset > stream.ReadableLeft()) return false;
    stream.SkipBytes(offset);
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    while (stream.NextPiece(data, size)) {
      if (std::any_of(data, data + size, [](uint8_t byte) { return byte != 0; })) return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;  // bytes that cannot be had are no zeros
  }
}

// True when the stream ends in a record as a power loss leaves it: cut in its id or VLSD
// length, or in a payload of a size its group's layout can have. A VLSD record longer than
// every one of its group before it is no record torn by the end of a recording but a length
// that lies; a fixed record longer than its channels lay out is a size that lies.
bool TornByPowerLoss(const RecordFramer& framer, const std::vector<RecordGroup>& groups, const CountingSink& sink) {
  size_t index = 0;
  uint64_t length = 0;
  switch (framer.Torn(index, length)) {
    case RecordFramer::TornPart::kNothing:  // the stream ended between records
    case RecordFramer::TornPart::kRecordId:
    case RecordFramer::TornPart::kVlsdLength:
      return true;
    case RecordFramer::TornPart::kPayload:
      break;
  }
  const auto* group = static_cast<const Cg4Block*>(groups[index].group);
  return group->IsVlsd() ? length <= sink.Of(index).longest : group->RecordSizeFitsChannels();
}

}  // namespace

bool Dg4Block::CountRecords(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, bool update_cycle_counts,
                            bool update_vlsd_sizes) {
  const std::vector<RecordGroup> groups = RecordGroups();
  if (groups.empty()) {
    return true;
  }
  std::vector<RecordLayout> layouts;
  for (const RecordGroup& group : groups) layouts.push_back(group.layout);
  StreamFramer<CountingSink> framer(buffer, blocks, record_id_size_, layouts, 0, !group_list_cut_);
  CountingSink sink(groups.size());
  FramingResult result;
  framer.Run(sink, result);

  uint64_t whole_bytes = 0;  // of the records counted, ids and VLSD lengths included
  for (size_t i = 0; i < groups.size(); ++i) {
    if (!framer.Framer().Frames(i)) continue;  // a later group with the same id has no records
    const CountingSink::Tally& tally = sink.Of(i);
    whole_bytes += tally.records * (record_id_size_ + (groups[i].layout.vlsd ? sizeof(uint32_t) : 0)) + tally.bytes;
  }
  // The end a power loss leaves: the last record torn, or zeros after the last whole one.
  const bool torn_end =
      result.damaged && result.damage == Damage::kTruncatedRecord && TornByPowerLoss(framer.Framer(), groups, sink);
  const bool zeros = !torn_end && result.damaged &&
                     (result.damage == Damage::kTruncatedRecord || result.damage == Damage::kUnknownRecordId) &&
                     OnlyZerosFrom(buffer, blocks, whole_bytes);

  DamageOutcome outcome{MdfLogSeverity::kTrace, false, true, false};
  if (zeros) {
    MDF_DEBUG() << "Zeros after the last whole record are cut. Offset: " << whole_bytes;
  } else if (result.damaged) {
    outcome = OutcomeOf(result.damage, RecordPath::kCounting);
    // Reported under the finalization step that counts.
    ReportDamage(MdfLocation{__LINE__, 0, __FILE__, "FinalizeCgAndVlsdBlocks"}, result.damage, RecordPath::kCounting,
                 DamageText(result.damage, RecordPath::kCounting, result.record_id, record_id_size_, result.cause));
  }
  if (!outcome.keeps_data) {
    return !outcome.fails;
  }
  // The counts are set, not added: the records counted are all the stream holds, so a
  // stale count in the file can neither double them nor invent samples.
  for (size_t i = 0; i < groups.size(); ++i) {
    if (!framer.Framer().Frames(i)) continue;
    auto* group = static_cast<Cg4Block*>(groups[i].group);
    const CountingSink::Tally& tally = sink.Of(i);
    if (update_cycle_counts) {
      group->NofSamples(tally.records);
    }
    if (update_vlsd_sizes && group->IsVlsd()) {
      // Value bytes only, as the writers count them: without the length in front of each.
      group->NofDataBytes(static_cast<uint32_t>(tally.bytes));
      group->NofInvalidBytes(static_cast<uint32_t>(tally.bytes >> 32));
    }
  }
  // Anything else that ends the stream early stays in place: the read finds it as damage.
  if (torn_end || zeros) {
    CutTornTail(buffer, blocks, whole_bytes);
  }
  return !outcome.fails;
}

Dt4Block* Dg4Block::LastDtBlock(LastBlock& state) const {
  if (block_list_.empty()) {
    state = LastBlock::kNone;
    return nullptr;
  }
  const auto& last = block_list_.back();
  if (!last || last->BlockType() != "DT") {
    state = LastBlock::kNotDt;
    return nullptr;
  }
  auto* dt = dynamic_cast<Dt4Block*>(last.get());
  state = dt != nullptr ? LastBlock::kDt : LastBlock::kNotDt4;
  return dt;
}

Dt4Block* Dg4Block::LastDtToFinalize(bool& result, const char* function) const {
  // Logged under the finalization step that asks.
  const auto log = [function](MdfLogSeverity severity) {
    return MdfLogStream(MdfLocation{__LINE__, 0, __FILE__, function}, severity);
  };
  LastBlock state = LastBlock::kNone;
  Dt4Block* dt = LastDtBlock(state);
  result = true;
  switch (state) {
    case LastBlock::kNone:
      log(MdfLogSeverity::kDebug) << "No last data block to update.";
      return nullptr;
    case LastBlock::kNotDt:
      log(MdfLogSeverity::kDebug) << "Last data block is not a DT block.";
      return nullptr;
    case LastBlock::kNotDt4:
      ReportDamage(MdfLocation{__LINE__, 0, __FILE__, function}, Damage::kFailedFinalization, RecordPath::kReading,
                   "Invalid DT block type-cast.");
      result = false;
      return nullptr;
    case LastBlock::kDt:
      break;
  }
  return dt;
}

bool Dg4Block::FinalizeDtBlocks(std::streambuf& buffer) {
  bool result = true;
  Dt4Block* dt = LastDtToFinalize(result, __func__);
  if (dt == nullptr) {
    return result;
  }
  dt->UpdateDataSize(buffer);
  return true;
}

bool Dg4Block::FinalizeCgAndVlsdBlocks(std::streambuf& buffer, bool update_cycle_counts, bool update_vlsd_sizes) {
  bool result = true;
  Dt4Block* dt = LastDtToFinalize(result, __func__);
  if (dt == nullptr) {
    return result;
  }
  return CountRecords(buffer, {dt}, update_cycle_counts, update_vlsd_sizes);
}

size_t Dg4Block::Write(std::streambuf& buffer) {
  const bool is_new = file_position_ <= 0;
  if (is_new) {
    block_id_ = "##DG";
    block_length_ = kBlockLength;
    link_list_.resize(4, 0);
  }
  for (size_t i = 0; i < cg_list_.size(); ++i) {
    auto& group = cg_list_[i];
    if (!group) continue;
    group->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kGroupLink, group->FilePosition());
    } else if (auto& previous = cg_list_[i - 1]; previous) {
      previous->PatchLink(buffer, kNextLink, group->FilePosition());
    }
  }
  StoreMdComment(buffer, kCommentLink);

  size_t bytes = static_cast<size_t>(block_length_);
  if (is_new) {
    bytes = MdfBlock::Write(buffer);
    bytes += WriteByte(buffer, record_id_size_);
    bytes += WriteZeroBytes(buffer, 7);
    PatchBlockLength(buffer, bytes);
    // A VLSD group carries the record id of its owner + 1: the owner's VLSD channel gets
    // the group as its data link.
    for (const auto& group : cg_list_) {
      if (!group || !group->IsVlsd()) continue;
      const Cg4Block* owner = nullptr;
      if (cg_list_.size() == 1) {
        owner = group.get();
      } else {
        for (const auto& candidate : cg_list_) {
          if (candidate && group->RecordId() > 0 && candidate->RecordId() == group->RecordId() - 1) {
            owner = candidate.get();
            break;
          }
        }
      }
      if (owner == nullptr) continue;
      if (Cn4Block* channel = owner->VlsdChannelByRecordId(group->RecordId()); channel != nullptr) {
        channel->SetDataLink(buffer, group->FilePosition());
      }
    }
  } else {
    SeekToData(buffer);
  }

  for (size_t i = 0; i < block_list_.size(); ++i) {
    auto& block = block_list_[i];
    if (!block) continue;
    block->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kDataLink, block->FilePosition());
    } else if (auto& previous = block_list_[i - 1]; previous) {
      previous->PatchLink(buffer, kNextLink, block->FilePosition());
    }
  }
  return bytes;
}

}  // namespace mdf::detail
