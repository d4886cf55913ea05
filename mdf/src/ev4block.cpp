#include "ev4block.h"

#include <array>
#include <limits>

#include "at4block.h"
#include "blockchain.h"
#include "mdf/numbertext.h"

namespace mdf::detail {

namespace {

constexpr size_t kNextLink = 0;
constexpr size_t kParentLink = 1;
constexpr size_t kRangeLink = 2;
constexpr size_t kNameLink = 3;
constexpr size_t kCommentLink = 4;
constexpr size_t kFirstScopeLink = 5;
constexpr uint64_t kDataBytes = 32;
constexpr uint8_t kPostProcessing = 0x01;
constexpr uint8_t kGroupName = 0x02;

template <size_t N>
std::string NameOf(const std::array<const char*, N>& names, uint8_t value) {
  return value < N ? names[value] : "Unknown";
}

std::string EventTypeText(uint8_t type) {
  static constexpr std::array<const char*, 7> kNames = {
      "Recording", "Recording Interrupt", "Acquisition Interrupt", "Start Recording", "Stop Recording", "Trigger",
      "Marker"};
  return NameOf(kNames, type);
}

std::string SyncTypeText(uint8_t type) {
  static constexpr std::array<const char*, 5> kNames = {"", "Time Calculated", "Angle Calculated",
                                                        "Distance Calculated", "Index Calculated"};
  return NameOf(kNames, type);
}

std::string RangeTypeText(uint8_t type) {
  static constexpr std::array<const char*, 3> kNames = {"Point", "Begin", "End"};
  return NameOf(kNames, type);
}

std::string CauseText(uint8_t cause) {
  static constexpr std::array<const char*, 5> kNames = {"Other", "Error", "Tool", "Script", "User"};
  return NameOf(kNames, cause);
}

int64_t PositionOf(const IBlock* block) {
  const int64_t position = block != nullptr ? block->FilePosition() : 0;
  return position > 0 ? position : 0;
}

}  // namespace

Ev4Block::Ev4Block() { block_id_ = "##EV"; }

void Ev4Block::AddScope(const IBlock* scope) {
  if (scope != nullptr) {
    scopes_.push_back(scope);
  }
}

void Ev4Block::AddAttachment(const IAttachment* attachment) {
  if (attachment != nullptr) {
    attachments_.push_back(attachment);
  }
}

void Ev4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next EV", AddressToText(Link(kNextLink)), "Link to next event", BlockItemType::LinkItem);
  dest.emplace_back("Parent EV", AddressToText(Link(kParentLink)), "Reference to parent event",
                    BlockItemType::LinkItem);
  dest.emplace_back("Range EV", AddressToText(Link(kRangeLink)), "Reference to range begin event",
                    BlockItemType::LinkItem);
  dest.emplace_back("Name TX", AddressToText(Link(kNameLink)), name_, BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  // One row per reference link the block has; the counts alone come from the file.
  const uint64_t first_attachment = kFirstScopeLink + uint64_t{scope_count_};
  for (uint64_t i = 0; i < scope_count_ && kFirstScopeLink + i < link_list_.size(); ++i) {
    dest.emplace_back("Scope CG/CN", AddressToText(Link(static_cast<size_t>(kFirstScopeLink + i))),
                      "Reference to scope ", BlockItemType::LinkItem);
  }
  for (uint64_t i = 0; i < attachment_count_ && first_attachment + i < link_list_.size(); ++i) {
    dest.emplace_back("Attachment AT", AddressToText(Link(static_cast<size_t>(first_attachment + i))),
                      "Reference to attachments ", BlockItemType::LinkItem);
  }
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Name", name_);
  dest.emplace_back("Event Type", EventTypeText(type_));
  dest.emplace_back("Sync Type", SyncTypeText(sync_type_));
  dest.emplace_back("Range Type", RangeTypeText(range_type_));
  dest.emplace_back("Cause", CauseText(cause_));
  dest.emplace_back("Flags", (flags_ & kPostProcessing) != 0 ? "Post" : "");
  dest.emplace_back("Nof Scopes", std::to_string(scope_count_));
  dest.emplace_back("Nof Attachments", std::to_string(attachment_count_));
  dest.emplace_back("Creator Index", std::to_string(creator_index_));
  dest.emplace_back("Sync Base Value", std::to_string(sync_base_value_));
  dest.emplace_back("Sync Factor", DoubleToText(sync_factor_));
}

size_t Ev4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  CheckBlockId(*this, "##EV");
  bytes += ReadByte(buffer, type_);
  bytes += ReadByte(buffer, sync_type_);
  bytes += ReadByte(buffer, range_type_);
  bytes += ReadByte(buffer, cause_);
  bytes += ReadByte(buffer, flags_);
  uint8_t reserved[3] = {};
  for (auto& byte : reserved) {
    bytes += ReadByte(buffer, byte);
  }
  bytes += ReadNumber(buffer, scope_count_);
  bytes += ReadNumber(buffer, attachment_count_);
  bytes += ReadNumber(buffer, creator_index_);
  bytes += ReadNumber(buffer, sync_base_value_);
  bytes += ReadNumber(buffer, sync_factor_);

  name_ = LoadTx4Text(buffer, kNameLink);
  // The group name follows the scopes and attachments; the flag bit is not trusted.
  const uint64_t group_link = kFirstScopeLink + uint64_t{scope_count_} + attachment_count_;
  if (link_list_.size() > group_link) {
    group_name_ = LoadTx4Text(buffer, static_cast<size_t>(group_link));
  }
  LoadMdComment(buffer, kCommentLink);
  return bytes;
}

size_t Ev4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return static_cast<size_t>(block_length_);
  }
  if (scopes_.size() > std::numeric_limits<uint32_t>::max() ||
      attachments_.size() > std::numeric_limits<uint16_t>::max()) {
    throw MdfRuntimeError("Too many event references");
  }
  block_id_ = "##EV";
  scope_count_ = static_cast<uint32_t>(scopes_.size());
  attachment_count_ = static_cast<uint16_t>(attachments_.size());
  if (!group_name_.empty()) {
    flags_ = static_cast<uint8_t>(flags_ | kGroupName);
  }
  const size_t first_attachment = kFirstScopeLink + scopes_.size();
  const size_t nof_links = first_attachment + attachments_.size() + (group_name_.empty() ? 0 : 1);
  link_list_.resize(nof_links, 0);
  link_list_[kParentLink] = PositionOf(parent_event_);
  link_list_[kRangeLink] = PositionOf(range_event_);
  for (size_t i = 0; i < scopes_.size(); ++i) {
    link_list_[kFirstScopeLink + i] = PositionOf(scopes_[i]);
  }
  for (size_t i = 0; i < attachments_.size(); ++i) {
    link_list_[first_attachment + i] = PositionOf(attachments_[i]);
  }
  // The texts go first, so their links are known when the block itself is written.
  StoreTx4Text(buffer, kNameLink, name_);
  if (!group_name_.empty()) {
    StoreTx4Text(buffer, nof_links - 1, group_name_);
  }
  StoreMdComment(buffer, kCommentLink);

  block_length_ = 24 + 8 * nof_links + kDataBytes;
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteNumber(buffer, type_);
  bytes += WriteNumber(buffer, sync_type_);
  bytes += WriteNumber(buffer, range_type_);
  bytes += WriteNumber(buffer, cause_);
  bytes += WriteNumber(buffer, flags_);
  bytes += WriteZeroBytes(buffer, 3);
  bytes += WriteNumber(buffer, scope_count_);
  bytes += WriteNumber(buffer, attachment_count_);
  bytes += WriteNumber(buffer, creator_index_);
  bytes += WriteNumber(buffer, sync_base_value_);
  bytes += WriteNumber(buffer, sync_factor_);
  PatchBlockLength(buffer, bytes);
  return bytes;
}

void Ev4Block::ResolveReferences(const BlockLookup& find) {
  const auto event_at = [&find](int64_t link) -> const IEvent* {
    return link > 0 ? dynamic_cast<const Ev4Block*>(find(link)) : nullptr;
  };
  parent_event_ = event_at(Link(kParentLink));
  range_event_ = event_at(Link(kRangeLink));

  // Only links that exist count, whatever the counts claim.
  scopes_.clear();
  for (uint64_t i = 0; i < scope_count_ && kFirstScopeLink + i < link_list_.size(); ++i) {
    const int64_t link = link_list_[static_cast<size_t>(kFirstScopeLink + i)];
    scopes_.push_back(link > 0 ? dynamic_cast<const IBlock*>(find(link)) : nullptr);
  }
  attachments_.clear();
  const uint64_t first_attachment = kFirstScopeLink + uint64_t{scope_count_};
  for (uint64_t i = 0; i < attachment_count_ && first_attachment + i < link_list_.size(); ++i) {
    const int64_t link = link_list_[static_cast<size_t>(first_attachment + i)];
    attachments_.push_back(link > 0 ? dynamic_cast<const At4Block*>(find(link)) : nullptr);
  }
}

}  // namespace mdf::detail
