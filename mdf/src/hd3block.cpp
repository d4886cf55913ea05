#include "hd3block.h"

#include <limits>

#include "blockchain.h"
#include "cg3block.h"
#include "dg3block.h"
#include "mdf/itimestamp.h"
#include "mdf/mdfhelper.h"
#include "mdf3block.h"
#include "pr3block.h"
#include "tx3block.h"

namespace mdf::detail {

namespace {

constexpr size_t kDataGroupLink = 0;
constexpr size_t kNextDataGroupLink = 0;  // of a data group
constexpr size_t kCommentLink = 1;
constexpr size_t kProgramLink = 2;
constexpr size_t kNofLinks = 3;
constexpr size_t kDateWidth = 10;
constexpr size_t kTimeWidth = 8;
constexpr size_t kTextWidth = 32;       // author, organisation, project, subject, timer id
constexpr size_t kProgramTextCut = 20;  // of the program text shown in the property rows

constexpr const char* kTimerId = "Local PC Reference Time";
constexpr uint16_t kPcTime = 0;
constexpr uint16_t kExternalTime = 10;
constexpr uint16_t kSynchronizedTime = 16;

/// The name of the time quality class; "" for a class without one.
std::string TimeSourceText(uint16_t quality) {
  switch (quality) {
    case kPcTime:
      return "PC Time";
    case kExternalTime:
      return "External";
    case kSynchronizedTime:
      return "NTP/PTP";
    default:
      return {};
  }
}

}  // namespace

Hd3Block::Hd3Block() {
  block_id_ = "HD";  // from the start: the blocks below find their header by it
  start_time_.Date("01:01:1970");
  start_time_.Time("00:00:00");
  start_time_.TimerId(kTimerId);
  start_time_.AttachToParent(this);
  start_time_.SetTime(UtcTimestamp(CurrentTimeNs()));
}

Hd3Block::~Hd3Block() = default;

IDataGroup* Hd3Block::CreateDataGroup() {
  auto data_group = std::make_unique<Dg3Block>();
  data_group->AttachToParent(this);
  dg_list_.push_back(std::move(data_group));
  return dg_list_.back().get();
}

std::vector<IDataGroup*> Hd3Block::DataGroups() const {
  std::vector<IDataGroup*> list;
  list.reserve(dg_list_.size());
  for (const auto& data_group : dg_list_) {
    if (data_group) list.push_back(data_group.get());
  }
  return list;
}

IDataGroup* Hd3Block::LastDataGroup() const { return dg_list_.empty() ? nullptr : dg_list_.back().get(); }

void Hd3Block::Program(std::unique_ptr<Pr3Block> program) {
  program_ = std::move(program);
  if (program_) program_->AttachToParent(this);
}

void Hd3Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("First DG", AddressToText(Link(kDataGroupLink)), "Link to first data group",
                    BlockItemType::LinkItem);
  dest.emplace_back("Comment TX", AddressToText(Link(kCommentLink)), comment_, BlockItemType::LinkItem);
  std::string program_text = "Link to program data";
  if (program_) {
    program_text = program_->Data();
    if (program_text.size() > kProgramTextCut) {
      program_text = program_text.substr(0, kProgramTextCut) + "..";
    }
  }
  dest.emplace_back("Program PR", AddressToText(Link(kProgramLink)), program_text, BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Number of DG Blocks", std::to_string(nof_dg_));
  dest.emplace_back("Date", start_time_.Date());
  dest.emplace_back("Time", start_time_.Time());
  dest.emplace_back("Author", author_);
  dest.emplace_back("Project", project_);
  dest.emplace_back("Organization", organisation_);
  dest.emplace_back("Time Stamp [ns]", std::to_string(start_time_.Timestamp()));
  dest.emplace_back("UTC Time Offset [h]", std::to_string(start_time_.UtcOffset()));
  if (const std::string source = TimeSourceText(start_time_.TimeQuality()); !source.empty()) {
    dest.emplace_back("Time Source", source);
  }
  dest.emplace_back("Timer ID", start_time_.TimerId());
  dest.emplace_back("Comment", comment_);
}

MdfBlock* Hd3Block::FindByPosition(int64_t position) {
  if (program_) {
    if (MdfBlock* found = program_->FindByPosition(position); found != nullptr) return found;
  }
  for (const auto& data_group : dg_list_) {
    if (!data_group) continue;
    if (MdfBlock* found = data_group->FindByPosition(position); found != nullptr) return found;
  }
  return MdfBlock::FindByPosition(position);
}

size_t Hd3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadLinks32(buffer, kNofLinks);
  // Each field only while the block has room for more: older headers are shorter.
  const auto more = [&] { return bytes < block_size_; };
  std::string text;
  if (more()) bytes += ReadNumber(buffer, nof_dg_);
  if (more()) {
    bytes += ReadMdf3Text(buffer, text, kDateWidth);
    start_time_.Date(text);
  }
  if (more()) {
    bytes += ReadMdf3Text(buffer, text, kTimeWidth);
    start_time_.Time(text);
  }
  if (more()) bytes += ReadMdf3Text(buffer, author_, kTextWidth);
  if (more()) bytes += ReadMdf3Text(buffer, organisation_, kTextWidth);
  if (more()) bytes += ReadMdf3Text(buffer, project_, kTextWidth);
  if (more()) bytes += ReadMdf3Text(buffer, subject_, kTextWidth);
  if (more()) {
    uint64_t timestamp = 0;
    bytes += ReadNumber(buffer, timestamp);
    start_time_.Timestamp(timestamp);
  }
  if (more()) {
    int16_t offset = 0;
    bytes += ReadNumber(buffer, offset);
    start_time_.UtcOffset(offset);
  }
  if (more()) {
    uint16_t quality = 0;
    bytes += ReadNumber(buffer, quality);
    start_time_.TimeQuality(quality);
  }
  if (more()) {
    bytes += ReadMdf3Text(buffer, text, kTextWidth);
    start_time_.TimerId(text);
  }
  comment_ = LoadTx3Text(buffer, kCommentLink);
  if (Link(kProgramLink) > 0) {
    auto program = std::make_unique<Pr3Block>();
    program->AttachToParent(this);
    SetStreamPosition(buffer, Link(kProgramLink));
    program->Read(buffer);
    program_ = std::move(program);
  }
  return bytes;
}

void Hd3Block::ReadMeasurementInfo(std::streambuf& buffer) {
  dg_list_.clear();
  ReadBlockChain(buffer, this, Link(kDataGroupLink), "DG", dg_list_);
}

void Hd3Block::ReadEverythingButData(std::streambuf& buffer) {
  for (const auto& data_group : dg_list_) {
    if (!data_group) continue;
    for (const auto& group : data_group->Cg3List()) {
      if (!group) continue;
      group->ReadCnList(buffer);
      group->ReadSrList(buffer);
    }
  }
}

size_t Hd3Block::WriteFields(std::streambuf& buffer) {
  size_t bytes = WriteNumber(buffer, nof_dg_);
  bytes += WriteFixedText(buffer, start_time_.Date(), kDateWidth);
  bytes += WriteFixedText(buffer, start_time_.Time(), kTimeWidth);
  bytes += WriteFixedText(buffer, author_, kTextWidth);
  bytes += WriteFixedText(buffer, organisation_, kTextWidth);
  bytes += WriteFixedText(buffer, project_, kTextWidth);
  bytes += WriteFixedText(buffer, subject_, kTextWidth);
  bytes += WriteNumber(buffer, start_time_.Timestamp());
  bytes += WriteNumber(buffer, start_time_.UtcOffset());
  bytes += WriteNumber(buffer, start_time_.TimeQuality());
  bytes += WriteFixedText(buffer, start_time_.TimerId(), kTextWidth);
  return bytes;
}

size_t Hd3Block::Write(std::streambuf& buffer) {
  if (dg_list_.size() > std::numeric_limits<uint16_t>::max()) {
    throw MdfRuntimeError("Too many data groups for an MDF 3 header");
  }
  nof_dg_ = static_cast<uint16_t>(dg_list_.size());
  const bool is_new = file_position_ <= 0;
  size_t bytes = 0;
  if (is_new) {
    block_id_ = "HD";
    block_size_ = 0;  // corrected below, once the fields are written
    link_list_.assign(kNofLinks, 0);
    bytes = MdfBlock::Write(buffer);
    bytes += WriteFields(buffer);
    PatchBlockLength(buffer, bytes);
  } else {
    SeekToData(buffer);
    WriteFields(buffer);
  }

  if (!comment_.empty() && Link(kCommentLink) == 0) {
    Tx3Block text(comment_);
    text.AttachToParent(this);
    text.Write(buffer);
    PatchLink(buffer, kCommentLink, text.FilePosition());
  }
  if (program_ && Link(kProgramLink) == 0) {
    program_->AttachToParent(this);
    program_->Write(buffer);
    PatchLink(buffer, kProgramLink, program_->FilePosition());
  }
  for (size_t i = 0; i < dg_list_.size(); ++i) {
    auto& data_group = dg_list_[i];
    if (!data_group) continue;
    // A written group only changes while it is the last: its records are being written.
    if (data_group->FilePosition() > 0 && i + 1 < dg_list_.size()) continue;
    data_group->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, kDataGroupLink, data_group->FilePosition());
    } else if (dg_list_[i - 1]) {
      dg_list_[i - 1]->PatchLink(buffer, kNextDataGroupLink, data_group->FilePosition());
    }
  }
  return bytes;
}

}  // namespace mdf::detail
