#include "dg4block.h"

#include <algorithm>
#include <array>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "blockchain.h"
#include "blocklayout.h"
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
  // Every channel a read may have loaded, the members of a composition too.
  for (const auto& group : cg_list_) {
    if (!group) continue;
    for (IChannel* channel : group->Channels()) {
      if (auto* block = dynamic_cast<Cn4Block*>(channel); block != nullptr) {
        block->ClearData();
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

  // The signal and reduction data of every group are held together during the read, in the
  // file's memory account.
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

/// The unit a file system grows a file by, and its multiples (clusters, pages).
constexpr int64_t kSectorBytes = 512;
constexpr auto kAlignment = static_cast<uint64_t>(kMdf4BlockAlignment);

// Counts the records of each channel group and the value bytes of the VLSD groups; no
// payload is read. It stops at the first record of a size its group's channels do not lay
// out, and at the first record that reaches into the zeros at the end of the stream (from
// `zeros_from` on), which may be padding, or into a block header whose bytes may as well be
// records (from `header_from` on): all are decided by the caller.
class CountingSink {
 public:
  struct Tally {
    uint64_t records = 0;
    uint64_t bytes = 0;  // without the record id and the VLSD length
  };
  /// A record as the stream holds it: its offset, its end and what it is.
  struct Framed {
    size_t group = 0;
    uint64_t record_id = 0;
    uint64_t size = 0;  // its payload bytes
    uint64_t start = 0;
    uint64_t end = 0;
  };
  CountingSink(const std::vector<RecordGroup>& groups, uint8_t id_size, uint64_t zeros_from, uint64_t header_from)
      : tallies_(groups.size()), id_size_(id_size), zeros_from_(zeros_from), header_from_(header_from) {
    for (const RecordGroup& group : groups) {
      vlsd_.push_back(group.layout.vlsd);
      // A group without channels gives no values and lays out no size to hold its records to.
      const auto* block = static_cast<const Cg4Block*>(group.group);
      oversized_.push_back(!block->Channels().empty() && !block->RecordSizeFitsChannels());
    }
  }

  [[nodiscard]] bool Wants(size_t, uint64_t) const { return false; }
  FrameStep OnRecord(size_t, uint64_t, const uint8_t*, uint64_t) { return FrameStep::kContinue; }
  FrameStep OnSkipped(size_t group, uint64_t record_id, uint64_t size) {
    const uint64_t head = id_size_ + (vlsd_[group] ? sizeof(uint32_t) : 0);
    const Framed record{group, record_id, size, offset_, offset_ + head + size};
    if (oversized_[group]) {
      oversized_record_ = record;
      return FrameStep::kStop;
    }
    if (record.end > header_from_) {
      into_header_ = record;
      return FrameStep::kStop;
    }
    if (record.end > zeros_from_) {
      into_zeros_ = record;
      return FrameStep::kStop;
    }
    Take(record);
    return FrameStep::kContinue;
  }
  /// Counts a record the sink stopped at.
  void Take(const Framed& record) {
    Tally& tally = tallies_[record.group];
    ++tally.records;
    tally.bytes += record.size;
    last_ = record;
    offset_ = record.end;
  }
  /// Leaves the last record counted out again: the stream ends before it.
  void DropLast() {
    if (!last_) return;
    Tally& tally = tallies_[last_->group];
    --tally.records;
    tally.bytes -= last_->size;
    offset_ = last_->start;
    last_.reset();
  }

  [[nodiscard]] const Tally& Of(size_t group) const { return tallies_[group]; }
  /// The bytes of the records counted, ids and VLSD lengths included.
  [[nodiscard]] uint64_t Offset() const { return offset_; }
  [[nodiscard]] const std::optional<Framed>& Last() const { return last_; }
  [[nodiscard]] const std::optional<Framed>& Oversized() const { return oversized_record_; }
  [[nodiscard]] const std::optional<Framed>& IntoZeros() const { return into_zeros_; }
  [[nodiscard]] const std::optional<Framed>& IntoHeader() const { return into_header_; }

 private:
  std::vector<Tally> tallies_;
  std::vector<bool> vlsd_;
  std::vector<bool> oversized_;  // a fixed record size its channels do not lay out
  uint8_t id_size_;
  uint64_t zeros_from_;
  uint64_t header_from_;
  uint64_t offset_ = 0;
  std::optional<Framed> last_;
  std::optional<Framed> oversized_record_;
  std::optional<Framed> into_zeros_;
  std::optional<Framed> into_header_;
};

// The bytes of a record stream that the file holds, and the offset just after its last byte
// other than zero: the zeros behind it may be padding (a file system that grew the file
// before the data reached it).
struct StreamBytes {
  uint64_t readable = 0;
  uint64_t nonzero_end = 0;
};

StreamBytes ScanStreamBytes(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, int64_t file_size) {
  StreamBytes bytes;
  bool zipped = false;
  for (const DataBlock* block : blocks) {
    if (block == nullptr) continue;
    zipped = zipped || dynamic_cast<const Dz4Block*>(block) != nullptr;
    bytes.readable += block->DataInFile(file_size);
  }
  bytes.nonzero_end = bytes.readable;  // bytes that cannot be had are no zeros
  const auto last_nonzero = [](const uint8_t* data, uint64_t size) -> std::optional<uint64_t> {
    for (uint64_t i = size; i > 0; --i) {
      if (data[i - 1] != 0) return i;
    }
    return std::nullopt;
  };
  try {
    if (zipped) {
      // Zipped blocks inflate only from their start: the stream is read forwards.
      BlockStream stream(buffer, blocks);
      uint64_t end = 0;
      const uint8_t* data = nullptr;
      uint64_t size = 0;
      while (stream.NextPiece(data, size)) {
        if (const auto found = last_nonzero(data, size)) end = stream.Consumed() - size + *found;
      }
      bytes.nonzero_end = end;
      return bytes;
    }
    // Plain blocks are read backwards from the end, which is where the zeros are, if any.
    constexpr uint64_t kChunk = 64 * 1024;
    ByteArray chunk;
    uint64_t block_end = bytes.readable;
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
      if (*it == nullptr) continue;
      const uint64_t size = (*it)->DataInFile(file_size);
      const uint64_t block_start = block_end - size;
      for (uint64_t left = size; left > 0;) {
        const uint64_t step = std::min(left, kChunk);
        chunk.resize(static_cast<size_t>(step));
        SetStreamPosition(buffer, (*it)->DataPosition() + static_cast<int64_t>(left - step));
        if (buffer.sgetn(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(step)) !=
            static_cast<std::streamsize>(step)) {
          return bytes;
        }
        if (const auto found = last_nonzero(chunk.data(), step)) {
          bytes.nonzero_end = block_start + left - step + *found;
          return bytes;
        }
        left -= step;
      }
      block_end = block_start;
    }
    bytes.nonzero_end = 0;
  } catch (const std::exception&) {
    bytes.nonzero_end = bytes.readable;
  }
  return bytes;
}

// The first record end from which the zeros that end a stream closed by the block its last
// DT grew up to (GrowTo) may as well be the zeros that align that block (fewer than 8) as
// records of zeros: only records of one fixed size below 8 bytes, without record ids, fit
// whole in them. The maximum when there is none, or the last block is no such DT.
uint64_t AlignmentZerosFrom(const std::vector<RecordGroup>& groups, uint8_t id_size,
                            const std::vector<DataBlock*>& blocks, const StreamBytes& bytes) {
  constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
  const auto* last = blocks.empty() ? nullptr : dynamic_cast<const Dt4Block*>(blocks.back());
  if (last == nullptr || !last->Grown() || id_size != 0 || groups.size() != 1 || groups[0].layout.vlsd) return kNone;
  const uint64_t size = groups[0].layout.record_bytes;
  if (size == 0 || size >= kAlignment) return kNone;
  // Zeros only from there on, and fewer than 8 of them.
  const uint64_t from = std::max(bytes.readable >= kAlignment ? bytes.readable - kAlignment + 1 : 0, bytes.nonzero_end);
  return (from + size - 1) / size * size;
}

// True when the stream offset lies in a block that another block of the stream follows: its
// bytes were written before that block's header, so zeros there are no padding. An offset
// at a boundary lies in the later block.
bool LaterBlockFollows(const std::vector<DataBlock*>& blocks, int64_t file_size, uint64_t offset) {
  uint64_t before = 0;
  bool in_block = false;
  for (const DataBlock* block : blocks) {
    if (block == nullptr) continue;
    if (in_block) return true;
    before += block->DataInFile(file_size);
    in_block = offset < before;
  }
  return false;
}

// Cuts the record stream to its first `offset` bytes (the whole records before its torn end
// or its padding), so that a read of the records ends where the counting did: the block the
// offset falls in ends there, and the blocks after it hold nothing. The torn record may have
// begun in any block. Only the lengths of DT blocks change, in memory; when a block that must
// change is of another kind, nothing is cut and the read finds the rest as damage.
void CutStreamAt(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, uint64_t offset) {
  const int64_t file_size = GetLastStreamPosition(buffer);
  std::vector<std::pair<Dt4Block*, uint64_t>> cuts;
  uint64_t before = 0;
  for (DataBlock* block : blocks) {
    if (block == nullptr) continue;
    const uint64_t in_file = block->DataInFile(file_size);
    const uint64_t keep = offset > before ? std::min(in_file, offset - before) : 0;
    before += in_file;
    if (keep == block->DataSize()) continue;
    auto* dt = dynamic_cast<Dt4Block*>(block);
    if (dt == nullptr) return;
    cuts.emplace_back(dt, keep);
  }
  for (const auto& [dt, keep] : cuts) dt->CutDataSize(keep);
}

// True when the `count` bytes (at most 8) of the record stream from `offset` on are zeros (also
// when there are none); false when they are not or cannot be read.
bool ZerosInStream(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, uint64_t offset, uint64_t count) {
  if (count == 0) return true;
  try {
    BlockStream stream(buffer, blocks);
    stream.SkipBytes(offset);
    std::array<uint8_t, kAlignment> bytes{};
    if (count > bytes.size()) return false;
    stream.ReadRecordBytes(bytes.data(), count);
    return std::all_of(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count),
                       [](uint8_t byte) { return byte == 0; });
  } catch (const std::exception&) {
    return false;
  }
}

// True when the stream ends in a record as a power loss leaves it: cut in its id or VLSD
// length, or in a payload. A fixed record longer than its channels lay out is no record torn
// by the end of a recording but a size that lies. What a VLSD payload may claim is the
// reader's to judge (StreamEnd): the library knows no frames.
bool TornByPowerLoss(const RecordFramer& framer, const std::vector<RecordGroup>& groups, StreamEnd& end) {
  size_t index = 0;
  uint64_t length = 0;
  switch (framer.Torn(index, length)) {
    case RecordFramer::TornPart::kNothing:  // the stream ended between records
      return true;
    case RecordFramer::TornPart::kRecordId:
      end.cut = StreamEnd::Cut::kRecordId;
      return true;
    case RecordFramer::TornPart::kVlsdLength:
      end.cut = StreamEnd::Cut::kVlsdLength;
      end.cut_record_id = groups[index].layout.record_id;
      return true;
    case RecordFramer::TornPart::kPayload:
      break;
  }
  const auto* group = static_cast<const Cg4Block*>(groups[index].group);
  end.cut = StreamEnd::Cut::kPayload;
  end.cut_record_id = groups[index].layout.record_id;
  end.cut_length = length;
  return group->IsVlsd() || group->RecordSizeFitsChannels();
}

}  // namespace

bool Dg4Block::CountRecords(std::streambuf& buffer, const std::vector<DataBlock*>& blocks, bool update_cycle_counts,
                            bool update_vlsd_sizes, bool closed) {
  const std::vector<RecordGroup> groups = RecordGroups();
  if (groups.empty()) {
    return true;
  }
  std::vector<RecordLayout> layouts;
  for (const RecordGroup& group : groups) layouts.push_back(group.layout);
  const int64_t file_size = GetLastStreamPosition(buffer);
  const StreamBytes bytes = ScanStreamBytes(buffer, blocks, file_size);
  // A header cut within its id at the end of the last block (Hd4Block::FinalizeDtBlocks): its
  // offset in the stream.
  uint64_t header_from = std::numeric_limits<uint64_t>::max();
  if (header_begun_at_ > 0 && !blocks.empty() && blocks.back() != nullptr) {
    const DataBlock& last = *blocks.back();
    if (header_begun_at_ >= last.DataPosition() &&
        static_cast<uint64_t>(header_begun_at_ - last.DataPosition()) <= last.DataInFile(file_size)) {
      header_from =
          bytes.readable - last.DataInFile(file_size) + static_cast<uint64_t>(header_begun_at_ - last.DataPosition());
    }
  }
  StreamFramer<CountingSink> framer(buffer, blocks, record_id_size_, layouts, 0, !group_list_cut_);
  // Behind a closed stream the file goes on: its zeros are no padding, unless they may be the
  // zeros that align the block behind it.
  CountingSink sink(groups, record_id_size_,
                    closed ? AlignmentZerosFrom(groups, record_id_size_, blocks, bytes) : bytes.nonzero_end,
                    header_from);
  FramingResult result;
  framer.Run(sink, result);
  if (result.out_of_memory) {
    ReportOutOfMemory(MdfLocation{__LINE__, 0, __FILE__, "FinalizeCgAndVlsdBlocks"}, "counting the records.");
    return false;
  }

  // The end a power loss leaves: the last record torn, or zeros after the last whole one.
  // Anything else that ends the stream early stays in place: the read finds it as damage.
  StreamEnd end;
  std::optional<uint64_t> cut_at;
  std::optional<Damage> damage;
  RecordPath path = RecordPath::kCounting;
  std::string text;
  const auto location = MdfLocation{__LINE__, 0, __FILE__, "FinalizeCgAndVlsdBlocks"};
  if (const auto& record = sink.Oversized()) {
    damage = Damage::kOversizedRecord;
    text = DamageText(Damage::kOversizedRecord, RecordPath::kCounting, record->record_id, record_id_size_);
    cut_at = record->start;
  } else if (const auto& into = sink.IntoHeader()) {
    // A record whole only with the bytes of a header cut within its id: the bytes cannot tell
    // which they are. It is left out, and the file kept.
    damage = Damage::kPaddedEnd;
    text = "The end of the records cannot be told from a block header. Offset: " + std::to_string(into->start);
    cut_at = into->start;
  } else if (result.damaged && result.damage == Damage::kUnknownRecordId && sink.Offset() <= header_from &&
             header_from - sink.Offset() < kAlignment &&
             ZerosInStream(buffer, blocks, sink.Offset(), header_from - sink.Offset())) {
    MDF_DEBUG() << "A block header begun after the last whole record is cut. Offset: " << sink.Offset();
    cut_at = sink.Offset();
  } else if (closed && result.damaged &&
             (result.damage == Damage::kTruncatedRecord || result.damage == Damage::kUnknownRecordId) &&
             bytes.readable - sink.Offset() < kAlignment && sink.Offset() >= bytes.nonzero_end &&
             !LaterBlockFollows(blocks, file_size, sink.Offset())) {
    MDF_DEBUG() << "The zeros that align the next block are cut. Offset: " << sink.Offset();
    cut_at = sink.Offset();
  } else if (const auto& reach = sink.IntoZeros()) {
    // Zeros a file system added end where one of its sectors does (a file grown to the next
    // 4 KiB, say): a record that ends there in zeros may be a torn one they completed.
    const bool sector_end = file_size > 0 && file_size % kSectorBytes == 0;
    if (reach->start < bytes.nonzero_end && reach->end == bytes.readable && !sector_end) {
      sink.Take(*reach);    // it ends where the data do: nothing shows padding
      cut_at = reach->end;  // the blocks may claim more than the file holds
    } else {
      // A record torn and completed by the zeros, or a whole one that ends in zeros: the
      // bytes cannot tell. It is left out, and the file kept.
      damage = Damage::kPaddedEnd;
      text = "The end of the records cannot be told from padding. Offset: " + std::to_string(reach->start);
      cut_at = reach->start;
    }
  } else if (!closed && result.damaged &&
             (result.damage == Damage::kTruncatedRecord || result.damage == Damage::kUnknownRecordId) &&
             sink.Offset() >= bytes.nonzero_end && !LaterBlockFollows(blocks, file_size, sink.Offset())) {
    MDF_DEBUG() << "Zeros after the last whole record are cut. Offset: " << sink.Offset();
    cut_at = sink.Offset();
  } else if (result.damaged && result.damage == Damage::kUnknownRecordId && result.record_id == 0) {
    // Zeros where records must be (before a later block, or before more records): no power
    // loss leaves them. A record that ends in a zero before them may be one they completed:
    // it is left out too. The read ends at the cut, so the damage is the read's.
    damage = result.damage;
    path = RecordPath::kReading;
    text = DamageText(result.damage, RecordPath::kCounting, result.record_id, record_id_size_);
    const auto& last = sink.Last();
    if (last && last->end == sink.Offset() && ZerosInStream(buffer, blocks, last->end - 1, 1)) sink.DropLast();
    cut_at = sink.Offset();
  } else if (!closed && result.damaged && result.damage == Damage::kTruncatedRecord &&
             TornByPowerLoss(framer.Framer(), groups, end)) {
    ReportDamage(location, result.damage, RecordPath::kCounting,
                 DamageText(result.damage, RecordPath::kCounting, result.record_id, record_id_size_));
    cut_at = sink.Offset();
  } else if (result.damaged) {
    end.cut = StreamEnd::Cut::kNone;
    damage = result.damage;
    text = DamageText(result.damage, RecordPath::kCounting, result.record_id, record_id_size_, result.cause);
  }
  DamageOutcome outcome{MdfLogSeverity::kTrace, false, true, false};
  if (damage.has_value()) {
    outcome = OutcomeOf(*damage, path);
    ReportDamage(location, *damage, path, text);  // under the finalization step that counts
  }
  if (!outcome.keeps_data) {
    return !outcome.fails;
  }
  // The counts are set, not added: the records counted are all the stream holds, so a
  // stale count in the file can neither double them nor invent samples.
  for (size_t i = 0; i < groups.size(); ++i) {
    if (!framer.Framer().Frames(i)) continue;  // a later group with the same id has no records
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
  if (cut_at.has_value()) {
    CutStreamAt(buffer, blocks, *cut_at);
  }
  if (const auto& last = sink.Last()) {
    end.has_last = true;
    end.last_record_id = last->record_id;
    end.last_size = last->size;
  }
  stream_end_ = end;
  return !outcome.fails;
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
