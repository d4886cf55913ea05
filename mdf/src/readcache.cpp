#include "readcache.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "datablock.h"
#include "dz4block.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/mdflogstream.h"
#include "zlibutil.h"

namespace mdf::detail {

namespace {

// Plain blocks are read in windows of this size: large enough that skipped records of a
// window cost no file access, small enough to keep memory flat.
constexpr uint64_t kWindowSize = 256 * 1024;

[[noreturn]] void EndOfFile() { throw MdfRuntimeError("End of file detected."); }

}  // namespace

BlockStream::BlockStream(std::streambuf& buffer, std::vector<DataBlock*> blocks)
    : buffer_(buffer), blocks_(std::move(blocks)) {
  if (!blocks_.empty()) {
    file_size_ = GetLastStreamPosition(buffer_);
  }
  for (const DataBlock* block : blocks_) {
    if (block != nullptr) {
      if (memory_ == nullptr) memory_ = block->Memory();
      total_size_ = AddSaturated(total_size_, block->DataSize());
      readable_size_ = AddSaturated(readable_size_, block->DataInFile(file_size_));
    }
  }
}

BlockStream::~BlockStream() = default;

bool BlockStream::EnterNextBlock() {
  while (next_block_ < blocks_.size()) {
    const DataBlock* block = blocks_[next_block_++];
    const uint64_t size = block != nullptr ? block->DataInFile(file_size_) : 0;
    if (size == 0) {
      continue;  // an empty block inside a list holds no records; the next one may
    }
    block_ = block;
    block_size_ = size;
    zipped_ = dynamic_cast<const Dz4Block*>(block);
    inflater_.reset();
    window_ = nullptr;
    window_offset_ = 0;
    window_size_ = 0;
    window_pos_ = 0;
    return true;
  }
  block_ = nullptr;
  inflater_.reset();
  return false;
}

void BlockStream::RefillZipped(uint64_t next) {
  if (block_size_ <= Dz4Block::kMaxWholeInflate || zipped_->Type() == 1) {
    // Entered once, at its start, and inflated whole: DataInFile has bounded the size by
    // the compressed bytes, and the account by what the file may hold.
    if (block_size_ > zipped_buffer_.capacity()) {
      zipped_charge_.Hold(memory_, block_size_);
      zipped_buffer_.reserve(block_size_);
    }
    zipped_buffer_.resize(block_size_);
    uint64_t index = 0;
    block_->CopyDataToBuffer(buffer_, zipped_buffer_, index);
    window_ = zipped_buffer_.data();
    window_offset_ = 0;
    window_size_ = block_size_;
    window_pos_ = next;
    return;
  }
  if (plain_buffer_.size() != kWindowSize) {
    plain_buffer_.resize(kWindowSize);
  }
  if (next == 0) {
    inflater_ = zipped_->StreamInPieces(buffer_, plain_buffer_);
  }
  const uint64_t wanted = std::min(kWindowSize, block_size_ - next);
  uint64_t got = 0;
  if (!inflater_ || !inflater_->Read(plain_buffer_.data(), wanted, got) || got != wanted) {
    throw MdfRuntimeError("Failed to inflate DZ block");  // the stream changed since it was checked
  }
  window_ = plain_buffer_.data();
  window_offset_ = next;
  window_size_ = wanted;
  window_pos_ = 0;
}

bool BlockStream::Refill() {
  uint64_t next = window_offset_ + window_size_;
  while (block_ == nullptr || next >= block_size_) {
    if (!EnterNextBlock()) {
      return false;
    }
    next = 0;
  }
  if (zipped_ != nullptr) {
    RefillZipped(next);
    return true;
  }
  const int64_t data_position = block_->DataPosition();
  if (data_position <= 0 || next > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - data_position)) {
    EndOfFile();
  }
  if (plain_buffer_.size() != kWindowSize) {
    plain_buffer_.resize(kWindowSize);
  }
  const uint64_t wanted = std::min(kWindowSize, block_size_ - next);
  SetStreamPosition(buffer_, data_position + static_cast<int64_t>(next));
  const auto got = buffer_.sgetn(reinterpret_cast<char*>(plain_buffer_.data()), static_cast<std::streamsize>(wanted));
  if (got != static_cast<std::streamsize>(wanted)) {
    EndOfFile();  // DataInFile promised these bytes: the file changed or failed
  }
  window_ = plain_buffer_.data();
  window_offset_ = next;
  window_size_ = wanted;
  window_pos_ = 0;
  return true;
}

bool BlockStream::NextPiece(const uint8_t*& data, uint64_t& size) {
  if (window_pos_ == window_size_ && !Refill()) {
    return false;
  }
  data = window_ + window_pos_;
  size = window_size_ - window_pos_;
  consumed_ += size;
  window_pos_ = window_size_;
  return true;
}

void BlockStream::ReadRecordBytes(uint8_t* dest, uint64_t nof_bytes) {
  if (nof_bytes > ReadableLeft()) {
    EndOfFile();
  }
  while (nof_bytes > 0) {
    if (window_pos_ == window_size_ && !Refill()) {
      EndOfFile();
    }
    const uint64_t count = std::min(nof_bytes, window_size_ - window_pos_);
    std::memcpy(dest, window_ + window_pos_, count);
    window_pos_ += count;
    consumed_ += count;
    dest += count;
    nof_bytes -= count;
  }
}

void BlockStream::SkipBytes(uint64_t nof_bytes) {
  if (nof_bytes > ReadableLeft()) {
    EndOfFile();
  }
  while (nof_bytes > 0) {
    const uint64_t in_window = window_size_ - window_pos_;
    if (nof_bytes <= in_window) {
      window_pos_ += nof_bytes;
      consumed_ += nof_bytes;
      return;
    }
    nof_bytes -= in_window;
    consumed_ += in_window;
    window_pos_ = window_size_;
    if (block_ != nullptr && zipped_ == nullptr) {
      // Past the window but inside a plain block: only the position moves.
      const uint64_t in_block = block_size_ - (window_offset_ + window_size_);
      const uint64_t step = std::min(nof_bytes, in_block);
      window_offset_ += window_size_ + step;
      window_size_ = 0;
      window_pos_ = 0;
      consumed_ += step;
      nof_bytes -= step;
      if (nof_bytes == 0) return;
    }
    if (!Refill()) {
      EndOfFile();
    }
  }
}

void ReportRecordCount(const IChannelGroup& group, uint64_t record_id, uint64_t records) {
  if (records != group.NofSamples()) {
    MDF_DAMAGE(Damage::kRecordCountMismatch)
        << "Records differ from the cycle count. Group: " << group.Name() << ", Record ID: " << record_id
        << ", Cycle count: " << group.NofSamples() << ", Records: " << records;
  }
}

// Hands the observed records to the data group's observers, and counts every record of a
// channel group up to its declared sample count.
class ReadCache::Sink {
 public:
  Sink(IDataGroup& data_group, const std::vector<RecordGroup>& groups, const RecordStreamRules& rules)
      : data_group_(data_group),
        empty_record_ends_(rules.empty_record_ends),
        group_id_decides_(rules.group_id_decides) {
    observed_small_ids_.fill(0);
    for (const RecordGroup& group : groups) {
      groups_.push_back({group.group, group.layout.record_id, group.group->NofSamples(),
                         data_group_.Listeners(group.layout.record_id)});
      const uint64_t record_id = group.layout.record_id;
      if (data_group_.IsSubscribingOnRecord(record_id)) {
        if (record_id < observed_small_ids_.size()) {
          observed_small_ids_[record_id] = 1;
        } else {
          observed_ids_.push_back(record_id);
        }
      }
    }
  }

  bool one_record = false;

  [[gnu::always_inline]] bool Wants(size_t index, uint64_t read_id) const {
    const uint64_t record_id = group_id_decides_ ? groups_[index].record_id : read_id;
    if (record_id < observed_small_ids_.size()) {
      return observed_small_ids_[record_id] != 0;
    }
    return std::find(observed_ids_.begin(), observed_ids_.end(), record_id) != observed_ids_.end();
  }

  [[gnu::always_inline]] FrameStep OnRecord(size_t index, uint64_t, const uint8_t* payload, uint64_t size) {
    if (size == 0 && empty_record_ends_) return EndAtEmptyRecord();
    Group& group = groups_[index];
    const uint64_t sample = group.block->SampleCounter();
    if (sample >= group.nof_samples) {
      ++group.beyond;
      return Next();  // records beyond the declared count are read and not passed on
    }
    // The listeners were looked up once; without any the data group decides.
    const bool more = group.listeners != nullptr
                          ? IDataGroup::NotifyListeners(*group.listeners, sample, group.record_id, payload, size)
                          : data_group_.NotifySampleObservers(sample, group.record_id, payload, size);
    group.block->IncrementSampleCounter();
    if (!more) {
      stopped_ = true;
      return FrameStep::kStop;
    }
    return Next();
  }

  [[gnu::always_inline]] FrameStep OnSkipped(size_t index, uint64_t, uint64_t size) {
    if (size == 0 && empty_record_ends_) return EndAtEmptyRecord();
    Group& group = groups_[index];
    if (group.block->SampleCounter() < group.nof_samples) {
      group.block->IncrementSampleCounter();
    } else {
      ++group.beyond;
    }
    return Next();
  }

  /// True when a sink's stop ended the read before the stream did.
  [[nodiscard]] bool Stopped() const { return stopped_ || empty_record_ended_; }

  /// Reports each channel group whose records differ from its cycle count.
  void ReportCountsThatDiffer() const {
    for (const Group& group : groups_) {
      ReportRecordCount(*group.block, group.record_id, group.block->SampleCounter() + group.beyond);
    }
  }

 private:
  struct Group {
    IChannelGroup* block;
    uint64_t record_id;
    uint64_t nof_samples;
    const std::vector<RecordListener>* listeners;  // from the data group's observer map
    uint64_t beyond = 0;                           // records after the declared count
  };
  [[nodiscard]] FrameStep Next() const { return one_record ? FrameStep::kPause : FrameStep::kContinue; }
  FrameStep EndAtEmptyRecord() {
    empty_record_ended_ = true;
    return FrameStep::kStop;
  }

  IDataGroup& data_group_;
  bool stopped_ = false;
  bool empty_record_ended_ = false;
  bool empty_record_ends_;
  bool group_id_decides_;
  std::vector<Group> groups_;  // as the framer indexes them
  std::array<uint8_t, 256> observed_small_ids_{};
  std::vector<uint64_t> observed_ids_;
};

namespace {

std::vector<RecordLayout> LayoutsOf(const std::vector<RecordGroup>& groups) {
  std::vector<RecordLayout> layouts;
  layouts.reserve(groups.size());
  for (const RecordGroup& group : groups) layouts.push_back(group.layout);
  return layouts;
}

}  // namespace

ReadCache::ReadCache(IDataGroup& data_group, const std::vector<RecordGroup>& groups, uint8_t record_id_size,
                     std::vector<DataBlock*> blocks, std::streambuf& buffer, RecordStreamRules rules) {
  sink_ = std::make_unique<Sink>(data_group, groups, rules);
  framer_ = std::make_unique<StreamFramer<Sink>>(buffer, std::move(blocks), record_id_size, LayoutsOf(groups),
                                                 rules.trailing_id_size, rules.whole_group_list);
}

ReadCache::~ReadCache() = default;

bool ReadCache::Parse(bool one_record) {
  sink_->one_record = one_record;
  FramingResult result;
  if (framer_->Run(*sink_, result)) {
    return true;
  }
  if (result.out_of_memory) {
    ended_ = true;
    damaged_ = true;
    ReportOutOfMemory(MdfLocation{__LINE__, 0, __FILE__, "ParseRecord"}, "reading the records.");
    return false;
  }
  if (!result.damaged && !sink_->Stopped() && !ended_) {
    sink_->ReportCountsThatDiffer();  // the whole stream was framed: every record was seen
  }
  ended_ = true;
  if (result.damaged) {
    damaged_ = true;
    ReportDamage(MdfLocation{__LINE__, 0, __FILE__, "ParseRecord"}, result.damage, RecordPath::kReading,
                 DamageText(result.damage, RecordPath::kReading, result.record_id, framer_->Framer().RecordIdSize(),
                            result.cause));
  }
  return false;
}

bool ReadCache::ParseRecord() { return Parse(true); }

bool ReadCache::ParseRecords() {
  while (Parse(false)) {
  }
  return !damaged_;
}

}  // namespace mdf::detail
