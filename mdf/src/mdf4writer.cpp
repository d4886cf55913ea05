#include "mdf4writer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "byteorder.h"
#include "cc4block.h"
#include "cg4block.h"
#include "cn4block.h"
#include "dg4block.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "hl4block.h"
#include "mdf/mdflogstream.h"
#include "mdf4file.h"

namespace mdf::detail {

namespace {

constexpr auto kUpdateMode = std::ios_base::in | std::ios_base::out | std::ios_base::binary;

/// The data group's last data block as a DT block; null when it is none.
Dt4Block* LastDtBlock(const Dg4Block& data_group) {
  const auto& blocks = data_group.DataBlockList();
  return blocks.empty() ? nullptr : dynamic_cast<Dt4Block*>(blocks.back().get());
}

/// Lays out records back to back and writes them in one piece: a stream buffer then sees
/// one call per some thousand records rather than one or two per record, and a file buffer
/// writes them straight out instead of 8 KiB at a time (bench_mdfwriter). As when written
/// one by one, only a record that reached the file whole counts for its group.
class RecordStage {
 public:
  RecordStage(std::streambuf& buffer, uint8_t id_size, std::vector<uint8_t>& bytes, size_t capacity)
      : buffer_(buffer), id_size_(id_size), bytes_(bytes) {
    if (bytes_.size() < capacity) bytes_.resize(capacity);
  }

  void Add(Cg4Block& group, const uint8_t* record, size_t size) {
    if (!spans_.empty() && spans_.back().group == &group && spans_.back().length == spans_.back().id_width + size) {
      Span& span = spans_.back();
      Reserve(span.length);
      if (span.id_width > 0) std::memcpy(bytes_.data() + used_, span.id, span.id_width);
      CopyRecordBytes(bytes_.data() + used_ + span.id_width, record, size);
      used_ += span.length;
      ++span.count;
      return;
    }
    // The group lays out the first record of a run of its records, and the others repeat
    // its id. It is counted once per run: the caller reads the group's sample buffer
    // beside its counters, and a count per record made the caller's thread and the
    // worker's fight over that cache line (bench_mdfwriter, Worker1ms).
    first_.clear();
    group.AppendSample(first_, id_size_, record, size);  // counts it
    Reserve(first_.size());
    std::memcpy(bytes_.data() + used_, first_.data(), first_.size());
    used_ += first_.size();
    Span span{&group, 1, 1, first_.size(), first_.size() - size, {}};
    std::memcpy(span.id, first_.data(), std::min(span.id_width, sizeof(span.id)));
    spans_.push_back(span);
  }

  void Flush() {
    const auto size = static_cast<std::streamsize>(used_);
    const std::streamsize written = size > 0 ? buffer_.sputn(reinterpret_cast<const char*>(bytes_.data()), size) : 0;
    if (written != size) FailShort(static_cast<size_t>(std::max<std::streamsize>(written, 0)));
    for (const Span& span : spans_) Recount(*span.group, static_cast<int64_t>(span.count - span.counted));
    used_ = 0;
    spans_.clear();
  }

 private:
  struct Span {
    Cg4Block* group;
    uint64_t count;    // records laid out
    uint64_t counted;  // of them counted for the group
    size_t length;     // of each record, its id included
    size_t id_width;
    uint8_t id[8];
  };

  void Reserve(size_t length) {
    if (bytes_.size() - used_ < length) bytes_.resize(std::max(2 * bytes_.size(), used_ + length));
  }

  /// Moves the group's sample counter by `delta` and sets its number of samples to it.
  static void Recount(Cg4Block& group, int64_t delta) {
    if (delta < 0) {
      const uint64_t counter = group.SampleCounter() - static_cast<uint64_t>(-delta);
      group.ResetSampleCounter();
      while (group.SampleCounter() < counter) group.IncrementSampleCounter();
    } else {
      for (int64_t i = 0; i < delta; ++i) group.IncrementSampleCounter();
    }
    group.NofSamples(group.SampleCounter());
  }

  /// The stream took only the first `written` bytes: the records whole in it count, and
  /// the write fails as a record written alone would.
  [[noreturn]] void FailShort(size_t written) {
    bool short_found = false;
    for (const Span& span : spans_) {
      uint64_t whole = span.count;
      if (short_found) {
        whole = 0;
      } else if (span.length > 0 && written / span.length < span.count) {
        whole = written / span.length;
        const size_t partial = written - whole * span.length;
        if (partial >= span.id_width) {
          // Logged as the group's own write of the record logs it.
          MdfLogStream(MdfLocation{__LINE__, 0, __FILE__, "WriteSample"}, MdfLogSeverity::kError)
              << "Failed to write a sample data. Written : " << partial - span.id_width << "("
              << span.length - span.id_width << ")";
        }
        short_found = true;
      }
      written -= std::min<size_t>(written, whole * span.length);
      Recount(*span.group, static_cast<int64_t>(whole) - static_cast<int64_t>(span.counted));
    }
    throw MdfRuntimeError("Invalid number of bytes written");
  }

  std::streambuf& buffer_;
  uint8_t id_size_;
  std::vector<uint8_t>& bytes_;  // its first used_ bytes are staged
  size_t used_ = 0;
  std::vector<uint8_t> first_;  // the first record of a run, as its group lays it out
  std::vector<Span> spans_;
};

/// A record that holds the offset of its VLSD bytes keeps it in its last 8 bytes.
void StoreVlsdOffset(SampleBytes& record, std::optional<uint64_t> offset) {
  if (offset && record.size() >= 8) {
    StoreLe64(record.data() + record.size() - 8, *offset);
  }
}

}  // namespace

Mdf4Writer::~Mdf4Writer() { StopWorkThread(); }

void Mdf4Writer::CreateMdfFile() { mdf_file_ = std::make_unique<Mdf4File>(); }

IChannelConversion* Mdf4Writer::CreateChannelConversion(IChannel* channel) {
  auto* cn4 = dynamic_cast<Cn4Block*>(channel);
  if (cn4 == nullptr) return nullptr;
  auto conversion = std::make_unique<Cc4Block>();
  conversion->AttachToParent(cn4);
  cn4->SetCc4(std::move(conversion));
  return cn4->ChannelConversion();
}

bool Mdf4Writer::InitMeasurement() {
  offset_ = 0;
  return MdfWriter::InitMeasurement();
}

Dg4Block* Mdf4Writer::LastDg4Block() const {
  const IHeader* header = Header();
  return header != nullptr ? dynamic_cast<Dg4Block*>(header->LastDataGroup()) : nullptr;
}

bool Mdf4Writer::PrepareForWriting() {
  const IHeader* header = Header();
  if (header == nullptr) {
    MDF_ERROR() << "No header  found. Invalid use of the function.";
    return false;
  }
  IDataGroup* last = header->LastDataGroup();
  if (last == nullptr) return true;
  auto* data_group = dynamic_cast<Dg4Block*>(last);
  if (data_group == nullptr) {
    MDF_ERROR() << "Invalid DG block type detected.";
    return false;
  }
  // Adding a channel group sets the size anew, so a size chosen before may be gone.
  if (!RecordIdsFit(*data_group, data_group->RecordIdSize())) return false;
  try {
    if (!CompressData()) {
      // The cycle's records go into a DT block of their own; a compressed pass adds its HL.
      auto block = std::make_unique<Dt4Block>();
      block->AttachToParent(data_group);
      data_group->AddDataBlock(std::move(block));
    }
    for (const auto& group : data_group->Cg4List()) {
      if (group) group->PrepareForWriting();
    }
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failed to lay out the records. Error: " << error.what();
    return false;
  }
  return true;
}

void Mdf4Writer::SetDataStart(std::streambuf& buffer) {
  if (CompressData()) return;
  const Dg4Block* data_group = LastDg4Block();
  Dt4Block* block = data_group != nullptr ? LastDtBlock(*data_group) : nullptr;
  // A DT block the tree write could not put into the file takes no records.
  if (block == nullptr || block->FilePosition() <= 0) return;
  SetLastPosition(buffer);
  block->DataPosition(GetStreamPosition(buffer));
}

void Mdf4Writer::SetLastPosition(std::streambuf& buffer) {
  GetLastStreamPosition(buffer);
  Dg4Block* data_group = LastDg4Block();
  if (data_group == nullptr || data_group->DataLink() > 0) return;
  // The data blocks written next start here.
  data_group->GoToStreamEnd(buffer);
  data_group->SetDataLink(buffer, GetStreamPosition(buffer));
  data_group->GoToStreamEnd(buffer);
}

bool Mdf4Writer::WriteSignalData(std::streambuf& buffer) {
  const IHeader* header = Header();
  if (header == nullptr) {
    MDF_ERROR() << "No header block found. File: " << FileStem();
    return false;
  }
  const IDataGroup* data_group = header->LastDataGroup();
  if (data_group == nullptr) return true;
  bool result = true;
  try {
    for (const IChannelGroup* group : data_group->ChannelGroups()) {
      // Channels() holds the composed members too: a CAN FD payload is one.
      for (IChannel* channel : group->Channels()) {
        auto* cn4 = dynamic_cast<Cn4Block*>(channel);
        if (cn4 == nullptr) continue;
        if (cn4->FilePosition() <= 0) {
          // The tree write failed before this block: no link could lead to its data.
          cn4->ClearData();
          continue;
        }
        if (cn4->VlsdOffsetOverflow()) {
          result = false;  // logged when the offset was stored
        }
        cn4->WriteSignalData(buffer, CompressData());
        cn4->ClearData();
      }
    }
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failed to write the signal data. Error: " << error.what();
    return false;
  }
  return result;
}

bool Mdf4Writer::OpenForPass() {
  if (!KeepsFileOpen()) Open(kUpdateMode);
  return IsOpen();
}

void Mdf4Writer::CloseAfterPass() {
  if (!KeepsFileOpen() && !Close()) {
    throw MdfRuntimeError("Failed to flush the written samples");
  }
}

bool Mdf4Writer::IsAfterStop(const SampleRecord& sample) const {
  const uint64_t stop = stop_time_;
  return !KeepsFileOpen() && stop > 0 && sample.timestamp > stop;
}

Cg4Block* Mdf4Writer::VlsdGroupOf(const Dg4Block& data_group, uint64_t record_id) {
  for (const auto& group : data_group.Cg4List()) {
    if (group && group->IsVlsd() && group->RecordId() == record_id + 1) return group.get();
  }
  return nullptr;
}

void Mdf4Writer::WriteRecord(const Dg4Block& data_group, Cg4Block& group, uint8_t id_size, SampleRecord& sample) {
  if (sample.vlsd_data) {
    std::optional<uint64_t> offset;
    if (Cg4Block* vlsd_group = VlsdGroupOf(data_group, sample.record_id); vlsd_group != nullptr) {
      offset = vlsd_group->WriteVlsdSample(*buffer_, id_size, sample.vlsd_buffer);
    } else if (Cn4Block* channel = group.VlsdChannel(); channel != nullptr) {
      offset = channel->AppendVlsdData(sample.vlsd_buffer);
    }
    StoreVlsdOffset(sample.record_buffer, offset);
  }
  group.WriteSample(*buffer_, id_size, sample.record_buffer.data(), sample.record_buffer.size());
}

void Mdf4Writer::AppendRecord(std::vector<uint8_t>& dest, const Dg4Block& data_group, Cg4Block& group, uint8_t id_size,
                              SampleRecord& sample) {
  if (sample.vlsd_data) {
    std::optional<uint64_t> offset;
    if (Cg4Block* vlsd_group = VlsdGroupOf(data_group, sample.record_id); vlsd_group != nullptr) {
      offset = vlsd_group->AppendVlsdSample(dest, id_size, sample.vlsd_buffer);
    } else if (Cn4Block* channel = group.VlsdChannel(); channel != nullptr) {
      offset = channel->AppendVlsdData(sample.vlsd_buffer);
    }
    StoreVlsdOffset(sample.record_buffer, offset);
  }
  group.AppendSample(dest, id_size, sample.record_buffer.data(), sample.record_buffer.size());
}

void Mdf4Writer::SaveQueue(std::unique_lock<std::mutex>& lock) {
  if (CompressData()) {
    SaveQueueCompressed(lock);
    return;
  }
  Dg4Block* data_group = LastDg4Block();
  Dt4Block* block = data_group != nullptr ? LastDtBlock(*data_group) : nullptr;
  if (block == nullptr || block->DataPosition() < 1) return;  // the records wait for a DT block

  lock.unlock();
  if (!OpenForPass()) {
    lock.lock();
    return;
  }
  SetLastPosition(*buffer_);
  lock.lock();
  TrimQueue();
  const uint8_t id_size = data_group->RecordIdSize();
  // A batch takes less room staged than queued, where each record has a 16-byte header.
  RecordStage stage(*buffer_, id_size, stage_bytes_, kWriteBatchBytes);
  Cg4Block* group = nullptr;  // of the last record id seen
  uint64_t group_id = 0;
  const auto stage_record = [&](const SampleQueue::View& sample) {
    if (group == nullptr || sample.record_id != group_id) {
      group = data_group->FindCgByRecordId(sample.record_id);
      group_id = sample.record_id;
    }
    if (group != nullptr) stage.Add(*group, sample.record, sample.record_size);  // else dropped
  };
  bool after_stop = false;
  while (!after_stop && !sample_queue_.empty()) {
    // Taken off in batches, laid out while the lock is held and written with it released:
    // the caller's SaveSample needs the lock only for a new chunk of the queue.
    const uint64_t stop = KeepsFileOpen() ? 0 : stop_time_.load();
    const SampleQueue::Taken taken = sample_queue_.TakeFront(kWriteBatchBytes, stop, stage_record);
    after_stop = taken.after_stop;
    if (taken.count == 0 && !after_stop) {
      // The oldest record is one of its own: put back, too large to pack, or with VLSD bytes.
      SampleRecord sample = sample_queue_.pop_front();
      if (IsAfterStop(sample)) break;  // dropped; the later records stay queued
      lock.unlock();
      if (Cg4Block* owner = data_group->FindCgByRecordId(sample.record_id); owner != nullptr) {
        WriteRecord(*data_group, *owner, id_size, sample);
      }
      lock.lock();
      continue;
    }
    lock.unlock();
    stage.Flush();
    lock.lock();
  }
  lock.unlock();

  const int64_t end = GetStreamPosition(*buffer_);
  block->PatchBlockLength(*buffer_, static_cast<uint64_t>(end - block->DataPosition()) + 24);
  data_group->Write(*buffer_);  // in place: the channel groups' sample counts
  CloseAfterPass();
  lock.lock();
}

void Mdf4Writer::FlushQueue(std::unique_lock<std::mutex>& lock) {
  if (CompressData()) {
    WriteCompressed(lock, true);
  } else {
    SaveQueue(lock);
  }
}

uint64_t Mdf4Writer::EstimateBlockCount() {
  const Dg4Block* data_group = LastDg4Block();
  if (data_group == nullptr) return 0;
  const uint64_t id_size = data_group->RecordIdSize();
  std::map<uint64_t, uint64_t> record_sizes;
  bool has_vlsd = false;
  for (const auto& group : data_group->Cg4List()) {
    if (!group) continue;
    if (group->IsVlsd()) {
      record_sizes[group->RecordId()] = 0;
      has_vlsd = true;
    } else {
      record_sizes[group->RecordId()] = group->SampleBuffer().size() + id_size;
    }
  }
  uint64_t bytes = 0;
  sample_queue_.ForEach([&](const SampleQueue::View& sample) {
    const auto size = record_sizes.find(sample.record_id);
    if (size == record_sizes.end()) return;
    bytes += size->second;
    if (has_vlsd) bytes += sample.vlsd_size + id_size + 4;
  });
  return bytes / kMaxBlockSize + 1;
}

void Mdf4Writer::SaveQueueCompressed(std::unique_lock<std::mutex>& lock) {
  TrimQueue();
  if (EstimateBlockCount() < 2) return;
  WriteCompressed(lock, false);
}

std::unique_ptr<Hl4Block> Mdf4Writer::CreateHl4Block() {
  auto block = std::make_unique<Hl4Block>();
  block->Flags(0);
  block->ZipType(0);
  return block;
}

void Mdf4Writer::CloseBlock(Dl4Block& list, size_t& nof_blocks, std::vector<uint8_t>& data, bool plain_rest) {
  std::unique_ptr<DataBlock> block;
  if (!plain_rest || data.size() > kMaxPlainRest) {
    auto zipped = CreateDz4Block();
    zipped->AttachToParent(&list);
    if (zipped->SetData(data)) {
      block = std::move(zipped);
    } else {
      // Stored as it is rather than as a broken stream.
      MDF_ERROR() << "Failed to compress the data. Stored uncompressed.";
    }
  }
  if (!block) {
    block = std::make_unique<Dt4Block>();
    block->AttachToParent(&list);
    block->SetData(data);
  }
  list.SetOffset(nof_blocks++, offset_);
  offset_ += data.size();
  list.AddDataBlock(std::move(block));
  data.clear();
}

void Mdf4Writer::WriteCompressed(std::unique_lock<std::mutex>& lock, bool final) {
  Dg4Block* data_group = LastDg4Block();
  if (sample_queue_.empty() || data_group == nullptr) return;
  auto& blocks = data_group->DataBlockList();
  if (blocks.empty()) {
    auto list = CreateHl4Block();
    list->AttachToParent(data_group);
    data_group->AddDataBlock(std::move(list));
  }
  auto* header_list = dynamic_cast<Hl4Block*>(blocks.back().get());
  if (header_list == nullptr) return;

  lock.unlock();
  if (!OpenForPass()) {
    lock.lock();
    return;
  }
  SetLastPosition(*buffer_);
  std::vector<uint8_t> data;
  data.reserve(kMaxBlockSize);  // one block is compressed in one piece
  auto data_list = std::make_unique<Dl4Block>();
  data_list->AttachToParent(header_list);
  size_t nof_blocks = 0;
  data_list->SetOffset(0, offset_);
  const uint8_t id_size = data_group->RecordIdSize();

  lock.lock();
  TrimQueue();
  while (!sample_queue_.empty()) {
    SampleRecord sample = sample_queue_.pop_front();
    if (IsAfterStop(sample)) break;
    lock.unlock();
    sample_queue_size_ -= sample.Size();
    uint64_t need = data.size() + id_size + sample.record_buffer.size();
    if (sample.vlsd_data) need += sample.vlsd_buffer.size() + id_size + 4;
    if (need >= kMaxBlockSize) {
      if (!final && sample_queue_size_ <= kMaxBlockSize) {
        // Too little is left for a whole block: the rest waits for the next pass.
        sample_queue_size_ += sample.Size();
        lock.lock();
        sample_queue_.push_front(std::move(sample));
        break;
      }
      // Never an empty block: a record this large alone forms the next block.
      if (!data.empty()) {
        CloseBlock(*data_list, nof_blocks, data, false);
        if (data.capacity() < kMaxBlockSize) data.reserve(kMaxBlockSize);
      }
    }
    if (Cg4Block* group = data_group->FindCgByRecordId(sample.record_id); group != nullptr) {
      AppendRecord(data, *data_group, *group, id_size, sample);
    }
    lock.lock();
  }
  lock.unlock();

  if (!data.empty()) {
    CloseBlock(*data_list, nof_blocks, data, true);
  }
  // A pass that wrote nothing adds no empty list to the chain.
  if (!data_list->DataBlockList().empty()) {
    header_list->AddDataBlock(std::move(data_list));
  }
  data_group->Write(*buffer_);  // appends the new list and its blocks, links them
  CloseAfterPass();
  std::vector<uint8_t>().swap(data);
  lock.lock();
  header_list->ClearData();
}

}  // namespace mdf::detail
