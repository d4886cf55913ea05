#include "mdf3writer.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "cg3block.h"
#include "dg3block.h"
#include "mdf/ichannel.h"
#include "mdf/iheader.h"
#include "mdf/mdflogstream.h"
#include "mdf3file.h"

namespace mdf::detail {

Mdf3Writer::~Mdf3Writer() { StopWorkThread(); }

void Mdf3Writer::CreateMdfFile() { mdf_file_ = std::make_unique<Mdf3File>(); }

IChannelConversion* Mdf3Writer::CreateChannelConversion(IChannel* channel) {
  return channel != nullptr ? channel->CreateChannelConversion() : nullptr;
}

bool Mdf3Writer::PrepareForWriting() {
  const IHeader* header = Header();
  if (header == nullptr) {
    MDF_ERROR() << "No header  found. Invalid use of the function.";
    return false;
  }
  const auto* data_group = dynamic_cast<const Dg3Block*>(header->LastDataGroup());
  if (data_group == nullptr) {
    return true;
  }
  // The data group's write gives two or more groups a one-byte id before each record.
  if (!RecordIdsFit(*data_group, data_group->Cg3List().size() >= 2 ? 1 : 0)) return false;
  try {
    for (const auto& group : data_group->Cg3List()) {
      if (group) group->PrepareForWriting();
    }
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failed to lay out the records. Error: " << error.what();
    return false;
  }
  return true;
}

void Mdf3Writer::SetLastPosition(std::streambuf& buffer) {
  GetLastStreamPosition(buffer);
  const IHeader* header = Header();
  auto* data_group = header != nullptr ? dynamic_cast<Dg3Block*>(header->LastDataGroup()) : nullptr;
  if (data_group == nullptr || data_group->DataLink() > 0) {
    return;
  }
  // The records of the cycle start here.
  data_group->GoToStreamEnd(buffer);
  data_group->SetDataLink(buffer, GetStreamPosition(buffer));
  data_group->GoToStreamEnd(buffer);
}

void Mdf3Writer::SaveQueue(std::unique_lock<std::mutex>& lock) {
  const IHeader* header = Header();
  auto* data_group = header != nullptr ? dynamic_cast<Dg3Block*>(header->LastDataGroup()) : nullptr;
  if (data_group == nullptr) return;

  lock.unlock();
  Open(std::ios_base::in | std::ios_base::out | std::ios_base::binary);
  if (!IsOpen()) {
    lock.lock();
    return;
  }
  SetLastPosition(*buffer_);
  lock.lock();
  TrimQueue();
  const uint16_t nof_ids = data_group->NofRecordIds();
  std::vector<uint8_t> record;
  while (!sample_queue_.empty()) {
    SampleRecord sample = sample_queue_.pop_front();
    const uint64_t stop = stop_time_;
    if (stop > 0 && sample.timestamp > stop) {
      break;  // dropped; the later records stay queued
    }
    lock.unlock();
    WriteMdf3Record(*data_group, nof_ids, sample, record);
    lock.lock();
  }
  lock.unlock();
  for (const auto& group : data_group->Cg3List()) {
    if (group) group->Write(*buffer_);  // in place: the new record counts
  }
  if (!Close()) {
    throw MdfRuntimeError("Failed to flush the written samples");
  }
  lock.lock();
}

void Mdf3Writer::WriteMdf3Record(Dg3Block& data_group, uint16_t nof_ids, const SampleRecord& sample,
                                 std::vector<uint8_t>& record) {
  Cg3Block* owner = nullptr;
  for (const auto& group : data_group.Cg3List()) {
    if (group && group->RecordId() == sample.record_id) {
      owner = group.get();
      break;
    }
  }
  if (owner == nullptr) {
    return;  // a record no group declares would make the stream unreadable
  }
  // The record takes exactly the group's record size, so that the stream stays framed
  // whatever buffer the sample was copied from.
  const auto id = static_cast<uint8_t>(sample.record_id);
  record.clear();
  if (nof_ids >= 1) record.push_back(id);
  const size_t size = std::min<size_t>(sample.record_buffer.size(), owner->RecordSize());
  record.insert(record.end(), sample.record_buffer.data(), sample.record_buffer.data() + size);
  record.resize(record.size() + (owner->RecordSize() - size), 0);
  if (nof_ids >= 2) record.push_back(id);
  if (buffer_->sputn(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size())) !=
      static_cast<std::streamsize>(record.size())) {
    throw MdfRuntimeError("Invalid number of bytes written");
  }
  for (const auto& group : data_group.Cg3List()) {
    if (group && group->RecordId() == sample.record_id) {
      group->IncrementSampleCounter();
      group->NofSamples(group->SampleCounter());
    }
  }
}

}  // namespace mdf::detail
