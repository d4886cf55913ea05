#include "hd4block.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <limits>
#include <map>
#include <string_view>
#include <unordered_map>

#include "blockchain.h"
#include "cg4block.h"
#include "cn4block.h"
#include "damage.h"
#include "datablock.h"
#include "dg4block.h"
#include "dt4block.h"
#include "md4block.h"
#include "mdf/ixmlfile.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "mdf/numbertext.h"

namespace mdf::detail {

namespace {

constexpr size_t kDgLink = 0;
constexpr size_t kFhLink = 1;
constexpr size_t kChLink = 2;
constexpr size_t kAtLink = 3;
constexpr size_t kEvLink = 4;
constexpr size_t kCommentLink = 5;
constexpr size_t kNofLinks = 6;
constexpr uint64_t kBlockLength = 104;
constexpr uint8_t kAngleValid = 0x01;
constexpr uint8_t kDistanceValid = 0x02;

template <typename Interface, typename Block>
std::vector<Interface*> InterfaceList(const std::vector<std::unique_ptr<Block>>& list) {
  std::vector<Interface*> dest;
  dest.reserve(list.size());
  for (const auto& block : list) {
    if (block) dest.push_back(block.get());
  }
  return dest;
}

// Appends a new block of the list's kind, attached to its owner.
template <typename Block>
Block* AppendNew(mdf::detail::MdfBlock* owner, std::vector<std::unique_ptr<Block>>& list) {
  auto block = std::make_unique<Block>();
  block->AttachToParent(owner);
  list.push_back(std::move(block));
  return list.back().get();
}

template <typename Block>
MdfBlock* FindInList(const std::vector<std::unique_ptr<Block>>& list, int64_t position) {
  for (const auto& block : list) {
    if (MdfBlock* found = block ? block->FindByPosition(position) : nullptr) {
      return found;
    }
  }
  return nullptr;
}

// Writes the entries not yet in the file and links each to the last entry that is in the
// file: the first from the header's link, the others from their predecessor. An entry whose
// write fails stays out of the chain, so the entries after it are still reachable.
template <typename Block>
void WriteChain(std::streambuf& buffer, MdfBlock& header, size_t header_link,
                const std::vector<std::unique_ptr<Block>>& list) {
  MdfBlock* previous = nullptr;
  for (const auto& block : list) {
    if (!block) continue;
    if (block->FilePosition() <= 0) {
      block->Write(buffer);
      if (block->FilePosition() <= 0) {
        continue;
      }
      if (previous == nullptr) {
        header.PatchLink(buffer, header_link, block->FilePosition());
      } else {
        previous->PatchLink(buffer, 0, block->FilePosition());
      }
    }
    previous = block.get();
  }
}

bool IsPlainText(const Tx4Block& comment) {
  if (comment.IsTxBlock()) {
    return true;
  }
  const std::string text = comment.FullText();
  return !text.empty() && text[0] != '<';
}

// True when the data group's data lies below a list block (DL, HL) instead of in one block.
bool DataUnderList(const Dg4Block& data_group) {
  for (const auto& block : data_group.DataBlockList()) {
    if (dynamic_cast<const DataListBlock*>(block.get()) != nullptr) {
      return true;
    }
  }
  return false;
}

// True for a block a VLSD channel's values can be in: a VLSD channel group or signal data.
bool HoldsSignalData(const MdfBlock* block) {
  if (block == nullptr) return false;
  if (const auto* group = dynamic_cast<const Cg4Block*>(block); group != nullptr) return group->IsVlsd();
  const std::string type = block->BlockType();
  return type == "SD" || type == "DZ" || type == "DL" || type == "HL";
}

}  // namespace

Hd4Block::Hd4Block() {
  block_id_ = "##HD";
  start_time_.AttachToParent(this);
  start_time_.SetTime(UtcTimestamp(CurrentTimeNs()));
}

Hd4Block::~Hd4Block() = default;

// ---- Common properties in the comment ----

std::string Hd4Block::CommonProperty(const std::string& key) const {
  const Md4Block* comment = CommentAsMd4();
  if (comment == nullptr || CompareNoCase(comment->BlockId(), "##TX") == 0) {
    return {};
  }
  auto document = MakeXmlFile("Expat");
  if (!document->ParseString(comment->XmlText())) {
    return {};
  }
  const IXmlNode* list = document->FindRootChild("common_properties");
  const IXmlNode* element = list != nullptr ? list->FindChildWithAttribute("e", "name", key) : nullptr;
  return element != nullptr ? element->TrimmedValue() : std::string();
}

std::unique_ptr<IXmlFile> Hd4Block::CommentForEdit() const {
  auto document = MakeXmlFile("Expat");
  std::string old_text;  // A plain-text comment lives on in the "TX" element.
  if (const auto* comment = dynamic_cast<const Tx4Block*>(comment_.get())) {
    if (IsPlainText(*comment)) {
      old_text = comment->FullText();
    } else if (!document->ParseString(comment->FullText())) {
      MDF_ERROR() << "The header comment is not valid XML and is replaced. Comment: "
                  << AddressToText(comment->FilePosition());
      document = MakeXmlFile("Expat");
    }
  }
  IXmlNode* root = document->SetRootName("HDcomment");
  IXmlNode* tx = root->UniqueChild("TX");
  if (!old_text.empty()) {
    tx->SetValueText(old_text);
  }
  return document;
}

void Hd4Block::ReplaceComment(const IXmlFile& document) {
  auto comment = std::make_unique<Md4Block>(document.WriteToString(true));
  comment->AttachToParent(this);
  comment_ = std::move(comment);
}

void Hd4Block::SetCommonProperty(const std::string& key, const std::string& value, const char* type) {
  auto document = CommentForEdit();
  IXmlNode* list = document->RootNode()->UniqueChild("common_properties");
  IXmlNode* element = list->UniqueChildWithAttribute("e", "name", key);
  element->SetAttributeValue("type", std::string(type));
  element->SetValueText(value);
  ReplaceComment(*document);
}

void Hd4Block::Description(const std::string& description) {
  auto document = CommentForEdit();
  document->RootNode()->UniqueChild("TX")->SetValueText(description);
  ReplaceComment(*document);
}

int64_t Hd4Block::RecorderIndex() const {
  std::string text = CommonProperty("Recorder.FileIndex");
  TrimSpace(text);
  int64_t index = 0;
  return ExtractNumberText(text, index) ? index : 0;
}

void Hd4Block::RecorderIndex(int64_t index) {
  SetCommonProperty("Recorder.FileIndex", std::to_string(index), "integer");
}

// ---- Lists ----

IAttachment* Hd4Block::CreateAttachment() {
  AddAt4(std::make_unique<At4Block>());
  return at_list_.back().get();
}

std::vector<IAttachment*> Hd4Block::Attachments() const { return InterfaceList<IAttachment>(at_list_); }

IFileHistory* Hd4Block::CreateFileHistory() { return AppendNew(this, fh_list_); }

std::vector<IFileHistory*> Hd4Block::FileHistories() const { return InterfaceList<IFileHistory>(fh_list_); }

IEvent* Hd4Block::CreateEvent() { return AppendNew(this, ev_list_); }

std::vector<IEvent*> Hd4Block::Events() const { return InterfaceList<IEvent>(ev_list_); }

IChannelHierarchy* Hd4Block::CreateChannelHierarchy() { return AppendNew(this, ch_list_); }

std::vector<IChannelHierarchy*> Hd4Block::ChannelHierarchies() const {
  return InterfaceList<IChannelHierarchy>(ch_list_);
}

IDataGroup* Hd4Block::CreateDataGroup() {
  AddDg4(std::make_unique<Dg4Block>());
  return LastDataGroup();
}

std::vector<IDataGroup*> Hd4Block::DataGroups() const { return InterfaceList<IDataGroup>(dg_list_); }

IDataGroup* Hd4Block::LastDataGroup() const { return dg_list_.empty() ? nullptr : dg_list_.back().get(); }

void Hd4Block::AddAt4(std::unique_ptr<At4Block> attachment) {
  if (attachment) {
    attachment->AttachToParent(this);
    at_list_.push_back(std::move(attachment));
  }
}

void Hd4Block::AddDg4(std::unique_ptr<Dg4Block> data_group) {
  if (data_group) {
    data_group->AttachToParent(this);
    dg_list_.push_back(std::move(data_group));
  }
}

std::optional<double> Hd4Block::StartAngle() const {
  return (flags_ & kAngleValid) != 0 ? std::optional<double>(start_angle_) : std::nullopt;
}

void Hd4Block::StartAngle(double angle) {
  start_angle_ = angle;
  flags_ = static_cast<uint8_t>(flags_ | kAngleValid);
}

std::optional<double> Hd4Block::StartDistance() const {
  return (flags_ & kDistanceValid) != 0 ? std::optional<double>(start_distance_) : std::nullopt;
}

void Hd4Block::StartDistance(double distance) {
  start_distance_ = distance;
  flags_ = static_cast<uint8_t>(flags_ | kDistanceValid);
}

// ---- Display ----

void Hd4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("First DG", AddressToText(Link(kDgLink)), "Link to first data group", BlockItemType::LinkItem);
  dest.emplace_back("First FH", AddressToText(Link(kFhLink)), "Link to first file history", BlockItemType::LinkItem);
  dest.emplace_back("First CH", AddressToText(Link(kChLink)), "Link to first channel hierarchy",
                    BlockItemType::LinkItem);
  dest.emplace_back("First AT", AddressToText(Link(kAtLink)), "Link to first attachment", BlockItemType::LinkItem);
  dest.emplace_back("First EV", AddressToText(Link(kEvLink)), "Link to first event", BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  switch (time_class_) {
    case 0:
      dest.emplace_back("Time Source", "PC Time");
      break;
    case 10:
      dest.emplace_back("Time Source", "External");
      break;
    case 16:
      dest.emplace_back("Time Source", "NTP/PTP");
      break;
    default:
      break;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string flags = "0x";
  if (flags_ >= 0x10) flags.push_back(kHex[flags_ >> 4]);
  flags.push_back(kHex[flags_ & 0x0F]);
  dest.emplace_back("Flags", flags);
  dest.emplace_back("Start Angle [rad]", FormatNumberText(start_angle_));
  dest.emplace_back("Start Distance [m]", FormatNumberText(start_distance_));
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

MdfBlock* Hd4Block::FindByPosition(int64_t position) {
  if (position <= 0) {
    return nullptr;
  }
  if (MdfBlock* found = FindInList(dg_list_, position)) return found;
  if (MdfBlock* found = FindInList(fh_list_, position)) return found;
  if (MdfBlock* found = FindInList(ch_list_, position)) return found;
  if (MdfBlock* found = FindInList(at_list_, position)) return found;
  if (MdfBlock* found = FindInList(ev_list_, position)) return found;
  return MdfBlock::FindByPosition(position);
}

// ---- Reading ----

size_t Hd4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  CheckBlockId(*this, "##HD");
  start_time_.AttachToParent(this);
  bytes += start_time_.Read(buffer);
  bytes += ReadByte(buffer, time_class_);
  bytes += ReadByte(buffer, flags_);
  uint8_t reserved = 0;
  bytes += ReadByte(buffer, reserved);
  bytes += ReadNumber(buffer, start_angle_);
  bytes += ReadNumber(buffer, start_distance_);
  if (fh_list_.empty() && link_list_.size() > kFhLink) {
    ReadBlockChain(buffer, this, Link(kFhLink), "##FH", fh_list_);
  }
  LoadMdComment(buffer, kCommentLink);
  return bytes;
}

void Hd4Block::ReadMeasurementInfo(std::streambuf& buffer) {
  if (dg_list_.empty() && link_list_.size() > kDgLink) {
    ReadBlockChain(buffer, this, Link(kDgLink), "##DG", dg_list_);
  }
  // One guard over the channel groups of every data group: a group that two data groups
  // link is read for the first only, so that no group frames records of two streams.
  ReadGuard groups(Nesting::kChain);
  for (auto& data_group : dg_list_) {
    data_group->ReadCgList(buffer, groups);
  }
  if (at_list_.empty() && link_list_.size() > kAtLink) {
    ReadBlockChain(buffer, this, Link(kAtLink), "##AT", at_list_);
  }
}

void Hd4Block::ReadEverythingButData(std::streambuf& buffer) {
  try {
    for (auto& data_group : dg_list_) {
      for (const auto& group : data_group->Cg4List()) {
        if (group) {
          group->ReadCnList(buffer);
          group->ReadSrList(buffer);
        }
      }
    }
    if (ch_list_.empty() && link_list_.size() > kChLink) {
      ReadGuard hierarchy(Nesting::kHierarchy);
      Ch4Block::ReadChain(buffer, *this, Link(kChLink), ch_list_, hierarchy);
    }
    if (ev_list_.empty() && link_list_.size() > kEvLink) {
      ReadBlockChain(buffer, this, Link(kEvLink), "##EV", ev_list_);
    }
  } catch (...) {
    // The blocks read before a block that cannot be read stay usable: their references are
    // resolved among them, so that a channel read whole still finds its signal data.
    ResolveReferences();
    throw;
  }
  ResolveReferences();
}

void Hd4Block::ResolveReferences() {
  // One index of the blocks that references point at, built once: a tree walk per link
  // would make reading quadratic in the size of the file.
  std::unordered_map<int64_t, MdfBlock*> index;
  const auto add = [&index](MdfBlock* block) {
    if (block != nullptr && block->FilePosition() > 0) index.emplace(block->FilePosition(), block);
  };
  for (auto& data_group : dg_list_) {
    add(data_group.get());
    for (const auto& group : data_group->Cg4List()) {
      add(group.get());
      for (IChannel* channel : group->Channels()) {
        add(dynamic_cast<MdfBlock*>(channel));
      }
    }
  }
  for (auto& block : at_list_) add(block.get());
  for (auto& block : ev_list_) add(block.get());
  // Anything else (a link to another kind of block) is looked up once and remembered.
  const BlockLookup find = [this, &index](int64_t position) -> MdfBlock* {
    if (position <= 0) {
      return nullptr;
    }
    const auto found = index.find(position);
    if (found != index.end()) {
      return found->second;
    }
    MdfBlock* block = FindByPosition(position);
    index.emplace(position, block);
    return block;
  };

  for (auto& data_group : dg_list_) {
    for (const auto& group : data_group->Cg4List()) {
      for (IChannel* channel : group->Channels()) {
        auto* cn = dynamic_cast<Cn4Block*>(channel);
        if (cn == nullptr || cn->DataLink() <= 0) {
          continue;
        }
        MdfBlock* block = find(cn->DataLink());
        if (cn->ChannelType() == kVlsdChannel && !HoldsSignalData(block)) {
          // Its values are in no block of the file: every one of them would read as empty.
          MDF_DAMAGE(Damage::kWrongBlockKind)
              << "Unexpected block type. Expected: signal data, Found: "
              << (block != nullptr ? block->BlockType() : std::string("none"))
              << ", Position: " << AddressToText(cn->DataLink()) << ", Block: " << AddressToText(cn->FilePosition());
        }
        if (block == nullptr) {
          continue;  // Data blocks are the record readers' business.
        }
        if (block->BlockType() == "CG") {
          auto* vlsd_group = dynamic_cast<IChannelGroup*>(block);
          if (vlsd_group != nullptr && cn->ChannelType() == kVlsdChannel) {
            cn->VlsdRecordId(vlsd_group->RecordId());
          }
        } else if (block->BlockType() == "CN") {
          cn->ReferencedChannel(dynamic_cast<IChannel*>(block));
        }
      }
    }
  }
  for (auto& hierarchy : ch_list_) {
    hierarchy->ResolveReferences(find);
  }
  for (auto& event : ev_list_) {
    event->ResolveReferences(find);
  }
}

// ---- Writing ----

size_t Hd4Block::Write(std::streambuf& buffer) {
  const bool is_new = file_position_ <= 0;
  size_t bytes = 0;
  if (is_new) {
    block_id_ = "##HD";
    link_list_.resize(kNofLinks, 0);
    block_length_ = kBlockLength;
    bytes += MdfBlock::Write(buffer);
  } else {
    SeekToData(buffer);
  }
  start_time_.AttachToParent(this);
  bytes += start_time_.Write(buffer);
  bytes += WriteNumber(buffer, time_class_);
  bytes += WriteNumber(buffer, flags_);
  bytes += WriteZeroBytes(buffer, 1);
  bytes += WriteNumber(buffer, start_angle_);
  bytes += WriteNumber(buffer, start_distance_);
  if (is_new) {
    PatchBlockLength(buffer, bytes);
  }

  WriteChain(buffer, *this, kFhLink, fh_list_);
  StoreMdComment(buffer, kCommentLink);
  WriteChain(buffer, *this, kAtLink, at_list_);
  WriteChain(buffer, *this, kChLink, ch_list_);
  WriteChain(buffer, *this, kEvLink, ev_list_);

  // The last data group is written again: its counts and data grow while a measurement
  // is written.
  MdfBlock* previous = nullptr;
  for (size_t i = 0; i < dg_list_.size(); ++i) {
    Dg4Block* data_group = dg_list_[i].get();
    if (data_group == nullptr) continue;
    const bool is_last = i + 1 == dg_list_.size();
    if (data_group->FilePosition() <= 0 || is_last) {
      data_group->Write(buffer);
      if (previous == nullptr) {
        PatchLink(buffer, kDgLink, data_group->FilePosition());
      } else {
        previous->PatchLink(buffer, 0, data_group->FilePosition());
      }
    }
    previous = data_group;
  }
  return bytes;
}

IDataGroup* Hd4Block::FindParentDataGroup(int64_t position) const {
  if (position <= 0) {
    return nullptr;
  }
  for (const auto& data_group : dg_list_) {
    if (data_group && data_group->FindByPosition(position) != nullptr) {
      return data_group.get();
    }
  }
  return nullptr;
}

// ---- Finalization ----
//
// A logger that writes one data group per bus leaves every group's data unfinalized, not only
// the last: it may begin the next group's DT before it writes the length of the one it filled,
// and a list's last DT grows as a single DT does. Every data group is repaired here, each from
// where its blocks lie among all the blocks of the file: the records of a DT whose length is
// still 24 end where the next block of the file begins, and only the one that no block follows
// runs to the end of the file, where the power was lost.

namespace {

// The data group whose data reach a position (its data link, its blocks, its lists' links).
using DataOwners = std::unordered_map<int64_t, const Dg4Block*>;

// Notes the data group as the owner of what its data reach: its data link, its blocks and the
// links of its lists; a position another group reached first stays that group's. The tree was
// read under the nesting bound of data lists, which bounds this walk too.
void NoteDataOwner(const Dg4Block& group, const DataListBlock& list, DataOwners& owners) {
  for (const auto& block : list.DataBlockList()) {
    if (!block) continue;
    owners.emplace(block->FilePosition(), &group);
    if (const auto* nested = dynamic_cast<const DataListBlock*>(block.get()); nested != nullptr) {
      for (const int64_t link : nested->Links()) {
        if (link > 0) owners.emplace(link, &group);
      }
      NoteDataOwner(group, *nested, owners);
    }
  }
}

// The owners of what every data group's data reach.
DataOwners DataOwnersOf(const std::vector<std::unique_ptr<Dg4Block>>& groups) {
  DataOwners owners;
  for (const auto& group : groups) {
    if (!group) continue;
    if (group->DataLink() > 0) owners.emplace(group->DataLink(), group.get());
    NoteDataOwner(*group, *group, owners);
  }
  return owners;
}

// Where blocks are known to begin: every block the read met, what the data groups' data reach
// (their blocks, and the links to blocks not begun yet), and the header the end of the file
// cut. Sorted.
std::vector<int64_t> KnownBlockStarts(const DataOwners& owners) {
  std::vector<int64_t> starts = BlockStarts();
  for (const auto& owner : owners) starts.push_back(owner.first);
  if (uint64_t begun = 0;
      CutHeaderNoted(begun) && begun <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    starts.push_back(static_cast<int64_t>(begun));
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  return starts;
}

// The first block known to begin at or after the position; 0 when none.
int64_t NextBlockStart(const std::vector<int64_t>& starts, int64_t from) {
  const auto found = std::lower_bound(starts.begin(), starts.end(), from);
  return found != starts.end() ? *found : 0;
}

// True when the block at `next`, begun behind the data group's last data block, may be where
// its records go on: a record of a list may run on into the block begun behind the one it
// began in. So may a data block or list header (or one cut within its id) that no other data
// group's data reach; a block of another kind, or another group's, ends the records.
bool MayContinueAt(std::streambuf& buffer, const DataOwners& owners, const Dg4Block& group, int64_t next) {
  if (!DataUnderList(group)) return false;
  if (const auto owner = owners.find(next); owner != owners.end() && owner->second != &group) return false;
  std::string id;
  try {
    id = BlockIdAt(buffer, next);
  } catch (const std::exception&) {
    // Not begun yet: a link past the end of the file.
  }
  static constexpr std::string_view kDataIds[] = {"##DT", "##DZ", "##DL", "##HL"};
  return std::any_of(std::begin(kDataIds), std::end(kDataIds),
                     [&id](std::string_view data_id) { return data_id.substr(0, id.size()) == id; });
}

// True when a block of the file begins behind the data group's last data block that its
// records cannot go on into: they were whole before it was begun, and end in whole records and
// the zeros that align it, not where the power was lost.
bool ClosedByLaterBlock(std::streambuf& buffer, const Dg4Block& group, const std::vector<DataBlock*>& blocks,
                        const std::vector<int64_t>& starts, const DataOwners& owners) {
  const auto last =
      std::find_if(blocks.rbegin(), blocks.rend(), [](const DataBlock* block) { return block != nullptr; });
  if (last == blocks.rend() || (*last)->FilePosition() <= 0) return false;
  const auto position = static_cast<uint64_t>((*last)->FilePosition());
  const uint64_t length = (*last)->BlockLength();
  if (length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - position) return false;
  const int64_t next = NextBlockStart(starts, static_cast<int64_t>(position + length));
  return next > 0 && !MayContinueAt(buffer, owners, group, next);
}

// The DT repairs of one data group among the blocks known to begin in the file.
bool FinalizeDataGroupDts(std::streambuf& buffer, Dg4Block& group, const std::vector<int64_t>& starts) {
  std::vector<DataBlock*> blocks;
  group.CollectDataBlocks(blocks);
  const bool listed = DataUnderList(group);
  if (blocks.empty()) {
    if (!listed) {
      MDF_DEBUG() << "No last data block to update.";
      return true;
    }
    // The list's first block was only begun: linked with its header cut, or not linked yet.
    uint64_t begun = 0;
    const uint64_t end = BlocksEnd();
    const HeaderAtEnd after = end > 0 && end <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                                  ? BlockHeaderAtEnd(buffer, static_cast<int64_t>(end), true)
                                  : HeaderAtEnd::kNone;
    if (CutHeaderNoted(begun) || after != HeaderAtEnd::kNone) {
      MDF_DEBUG() << "No last data block to update.";
      return true;
    }
  }
  auto* dt = blocks.empty() ? nullptr : dynamic_cast<Dt4Block*>(blocks.back());
  if (dt == nullptr || dt->BlockType() != "DT") {
    if (!listed) {
      MDF_DEBUG() << "Last data block is not a DT block.";
      return true;
    }
    MDF_DAMAGE(Damage::kFailedFinalization)
        << "The last block of the data list is not a DT block. Data group: " << AddressToText(group.FilePosition());
    return false;
  }
  // A logger may begin the next block (and link it) before it writes the length of the one it
  // filled: a DT whose length is still 24 holds the records up to the nearest block behind it.
  for (DataBlock* block : blocks) {
    auto* growing = dynamic_cast<Dt4Block*>(block);
    if (growing != nullptr && growing != dt && growing->DataSize() == 0) {
      growing->GrowTo(NextBlockStart(starts, growing->DataPosition()));
    }
  }
  int64_t next = NextBlockStart(starts, dt->DataPosition());
  if (next > 0 && dt->DataSize() > 0) return true;  // whole, and another block follows: its length stands
  if (next == 0 && dt->DataSize() == 0) {
    // Nothing known behind it: the blocks its logger began at the end of the file, not linked yet.
    bool told = false;
    next = BlockHeaderBegunAtEnd(buffer, dt->DataPosition(), told);
    if (next > 0) {
      NoteCutHeader(static_cast<uint64_t>(next));
      NoteBlockStart(static_cast<uint64_t>(next));
    }
    if (next > 0 && !told) {
      // Cut within its id, its bytes may as well be the last of the records: the block runs to
      // the end, and counting its records tells whether those bytes can be left out.
      group.HeaderBegunAt(next);
      next = 0;
    }
  }
  dt->UpdateDataSize(buffer, next);
  return true;
}

}  // namespace

bool Hd4Block::FinalizeDtBlocks(std::streambuf& buffer) {
  const std::vector<int64_t> starts = KnownBlockStarts(DataOwnersOf(dg_list_));
  bool result = true;
  for (const auto& group : dg_list_) {
    if (group && !FinalizeDataGroupDts(buffer, *group, starts)) result = false;
  }
  return result;
}

bool Hd4Block::FinalizeCgAndVlsdBlocks(std::streambuf& buffer, bool update_cg, bool update_vlsd) {
  const DataOwners owners = DataOwnersOf(dg_list_);
  const std::vector<int64_t> starts = KnownBlockStarts(owners);
  bool result = true;
  for (const auto& group : dg_list_) {
    if (!group || group->DataBlockList().empty()) continue;  // no data: its counts stand
    // Every block is counted, of a list or a zipped block too.
    std::vector<DataBlock*> blocks;
    group->CollectDataBlocks(blocks);
    if (!group->CountRecords(buffer, blocks, update_cg, update_vlsd,
                             ClosedByLaterBlock(buffer, *group, blocks, starts, owners))) {
      result = false;
    }
  }
  return result;
}

}  // namespace mdf::detail
