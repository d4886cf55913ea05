#include "mdf/mdfwriter.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/itimestamp.h"
#include "mdf/mdflogstream.h"
#include "mdfblock.h"

namespace mdf {

namespace {

// Longer periods would overflow the clock arithmetic of the timed waits.
constexpr std::chrono::nanoseconds kMaxWorkPeriod = std::chrono::hours(24);

}  // namespace

MdfWriter::~MdfWriter() { StopWorkThread(); }

bool MdfWriter::Init(std::shared_ptr<std::streambuf> buffer) {
  // A worker still running would write through the file object about to be replaced.
  StopWorkThread();
  CreateMdfFile();
  buffer_ = std::move(buffer);
  state_ = WriterState::kCreate;
  return true;
}

IHeader* MdfWriter::Header() const { return mdf_file_ ? mdf_file_->Header() : nullptr; }

IDataGroup* MdfWriter::CreateDataGroup() { return mdf_file_ ? mdf_file_->CreateDataGroup() : nullptr; }

void MdfWriter::WorkPeriod(std::chrono::nanoseconds period) {
  work_period_ = std::clamp(period, std::chrono::nanoseconds(0), kMaxWorkPeriod);
}

bool MdfWriter::InitMeasurement() {
  StopWorkThread();
  // A file the last cycle left open holds that cycle's bytes: the new cycle writes into the
  // same output, which is short when they cannot be written out.
  const bool closed = !(KeepsFileOpen() && IsOpen()) || Close();
  cycle_failed_ = false;
  if (!mdf_file_) {
    MDF_ERROR() << "The MDF file is not created. Invalid use of the function.";
    cycle_failed_ = true;
    return false;
  }
  if (!PrepareForWriting()) {
    MDF_ERROR() << "Failed to prepare the file for writing. File: " << filename_;
    cycle_failed_ = true;
    return false;
  }
  // The first cycle creates the file; a later one adds its data group to it (an
  // output-only open would truncate it).
  Open(state_ == WriterState::kCreate ? std::ios_base::out | std::ios_base::trunc | std::ios_base::binary
                                      : std::ios_base::in | std::ios_base::out | std::ios_base::binary);
  if (!IsOpen()) {
    MDF_ERROR() << "Failed to open the file for writing. File: " << filename_;
    cycle_failed_ = true;
    return false;
  }
  bool written = mdf_file_->Write(*buffer_) && closed;
  try {
    SetDataStart(*buffer_);
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failed to set the data start. Error: " << error.what();
    written = false;
  }
  if (!KeepsFileOpen()) {
    written = Close() && written;
    sample_queue_size_ = 0;
  }
  start_time_ = 0;
  stop_time_ = 0;
  state_ = WriterState::kInit;
  cycle_failed_ = !written;
  // The masters of this cycle's data group: samples saved before the start get theirs in
  // seconds since 1970, and never through a channel of the previous cycle's layout.
  UpdateMasterChannels();
  StartWorkThread();
  return written;
}

void MdfWriter::StartMeasurement(const ITimestamp& start_time) {
  state_ = WriterState::kStartMeas;
  start_time_ = start_time.GetUtcTimeNs();
  stop_time_ = 0;
  UpdateMasterChannels();
  SignalWorker();
  // With more data groups the file started with the first cycle.
  if (IHeader* header = Header(); header != nullptr && header->DataGroups().size() == 1) {
    header->StartTime(start_time);
    SignalWorker();
  }
}

void MdfWriter::StartMeasurement(uint64_t start_time_ns) {
  state_ = WriterState::kStartMeas;
  start_time_ = start_time_ns;
  stop_time_ = 0;
  UpdateMasterChannels();
  SignalWorker();
  if (IHeader* header = Header(); header != nullptr && header->DataGroups().size() == 1) {
    header->StartTime(start_time_ns);
    SignalWorker();
  }
}

void MdfWriter::StopMeasurement(const ITimestamp& stop_time) { StopMeasurement(stop_time.GetUtcTimeNs()); }

void MdfWriter::StopMeasurement(uint64_t stop_time_ns) {
  state_ = WriterState::kStopMeas;
  stop_time_ = stop_time_ns;
  SignalWorker();
}

double MdfWriter::MasterSeconds(uint64_t time_ns) const {
  // The difference read as signed: a sample before the start gets a negative time.
  return static_cast<double>(static_cast<int64_t>(time_ns - start_time_)) / 1'000'000'000.0;
}

void MdfWriter::StampMaster(uint64_t record_id, uint64_t time_ns, uint8_t* record, size_t size) {
  const auto master = master_channels_.find(record_id);
  if (master == master_channels_.end() || !master->second.channel->CalculateMaster()) return;
  IChannel::StoreTimestamp(master->second.layout, MasterSeconds(time_ns), record, size);
}

void MdfWriter::SaveSample(const IChannelGroup& group, uint64_t time_ns) {
  const std::vector<uint8_t>& buffer = group.SampleBuffer();
  SaveRecord(group, time_ns, buffer.data(), buffer.size());
}

void MdfWriter::SaveRecord(const IChannelGroup& group, uint64_t time_ns, const uint8_t* record, size_t size) {
  const uint64_t record_id = group.RecordId();
  if (!SampleQueue::Packs(record_id, size)) {
    SampleRecord sample;
    sample.timestamp = time_ns;
    sample.record_id = record_id;
    sample.record_buffer.Assign(record, size);
    StampMaster(record_id, time_ns, sample.record_buffer.data(), size);
    sample_queue_size_ += size;
    std::lock_guard lock(locker_);
    sample_queue_.push_back(sample);
    return;
  }
  // The record is laid out in the queue itself; the lock only when a new chunk is needed.
  uint8_t* queued = sample_queue_.Reserve(size, false);
  if (queued == nullptr) {
    std::lock_guard lock(locker_);
    queued = sample_queue_.Reserve(size, true);
    if (sample_queue_.WantsSpare()) SignalWorker();
  }
  CopyRecordBytes(queued, record, size);
  StampMaster(record_id, time_ns, queued, size);
  sample_queue_size_ += size;
  sample_queue_.Publish(time_ns, record_id, size);
}

void MdfWriter::UpdateMasterChannels() {
  master_channels_.clear();
  const IHeader* header = Header();
  if (header == nullptr) return;
  const IDataGroup* data_group = header->LastDataGroup();
  if (data_group == nullptr) return;
  for (const IChannelGroup* group : data_group->ChannelGroups()) {
    for (IChannel* channel : group->Channels()) {
      if (channel != nullptr && channel->ChannelType() == kMasterChannel && channel->SyncType() == kTimeSync) {
        master_channels_.emplace(group->RecordId(), Master{channel, channel->PrepareTimestamp()});
        break;
      }
    }
  }
  if (master_channels_.empty()) return;
  std::lock_guard lock(locker_);
  sample_queue_.ForEach([this](SampleQueue::View& sample) {
    StampMaster(sample.record_id, sample.timestamp, sample.record, sample.record_size);
  });
}

bool MdfWriter::RecordIdsFit(const IDataGroup& data_group, uint8_t id_size) {
  const std::vector<IChannelGroup*> groups = data_group.ChannelGroups();
  if (id_size == 0 && groups.size() <= 1) return true;  // one group's records need no id
  for (const IChannelGroup* group : groups) {
    const uint64_t record_id = group->RecordId();
    if (id_size < 8 && (record_id >> (8 * id_size)) != 0) {
      // An MDF 3 group has no name; its comment tells it apart.
      const std::string name = group->Name();
      MDF_ERROR() << "The record ID does not fit the record ID size of its data group. Group: "
                  << (name.empty() ? group->Description() : name) << ", Record ID: " << record_id
                  << ", Size: " << static_cast<int>(id_size);
      return false;
    }
  }
  return true;
}

bool MdfWriter::FinalizeMeasurement() {
  StopWorkThread();  // its last pass has flushed the queue
  if (!mdf_file_) {
    MDF_ERROR() << "The MDF file is not created. Invalid use of the function.";
    return false;
  }
  const bool all_saved = DropLeftoverSamples() && !cycle_failed_;
  if (!KeepsFileOpen()) Open(std::ios_base::in | std::ios_base::out | std::ios_base::binary);
  if (!IsOpen()) {
    MDF_ERROR() << "Failed to open the file for writing. File: " << filename_;
    return false;
  }
  const bool written = mdf_file_->Write(*buffer_);
  const bool signal_data = WriteSignalData(*buffer_);  // also after a failed tree write
  const bool closed = Close();
  state_ = WriterState::kFinalize;
  return all_saved && written && signal_data && closed;
}

bool MdfWriter::DropLeftoverSamples() {
  std::lock_guard lock(locker_);
  if (sample_queue_.empty()) return true;
  // Left in the queue they would be written into the next cycle's data group.
  MDF_ERROR() << "Samples were not written. Samples: " << sample_queue_.size();
  sample_queue_.clear();
  return false;
}

void MdfWriter::SetDataStart(std::streambuf& /* buffer */) {}

bool MdfWriter::WriteSignalData(std::streambuf& /* buffer */) { return true; }

void MdfWriter::TrimQueue() {
  const uint64_t start = start_time_;
  // Started once StartMeasurement ran: a start of 0 is 1970-01-01T00:00:00Z, not "no start".
  const WriterState state = state_;
  const bool started = state != WriterState::kCreate && state != WriterState::kInit;
  const uint64_t pre_trig = pre_trig_time_;
  // The window ends at the start time, or before it at the newest sample. Differences
  // saturate: a window reaching back before 1970, or samples out of time order, never
  // make a sample count as old.
  while (sample_queue_.AtLeast(2)) {
    const uint64_t second = sample_queue_.TimeAt(1);
    if (!started) {
      const uint64_t newest = sample_queue_.BackTime();
      if (newest <= second || newest - second <= pre_trig) break;
    } else if (second >= (start > pre_trig ? start - pre_trig : 0)) {
      break;
    }
    sample_queue_.DropFront();
  }
}

void MdfWriter::FlushQueue(std::unique_lock<std::mutex>& lock) { SaveQueue(lock); }

void MdfWriter::WaitForPass(std::unique_lock<std::mutex>& lock) {
  // The pass is due after the period, or at the stop; until then the worker only readies
  // chunks for the caller's samples.
  const auto due = std::chrono::steady_clock::now() + work_period_;
  while (sample_event_.wait_until(lock, due, [this] { return stop_thread_ || sample_queue_.WantsSpare(); }) &&
         !stop_thread_) {
    lock.unlock();
    SampleQueue::ChunkBytes spare = SampleQueue::MakeSpare(stop_thread_);
    lock.lock();
    sample_queue_.AddSpare(std::move(spare));
  }
}

void MdfWriter::WorkThread() {
  std::unique_lock lock(locker_);
  sample_queue_.KeepSparesReady(true);
  while (!stop_thread_) {
    WaitForPass(lock);
    // Stopped: the last flush below is the one pass, so that how many passes see a sample
    // after the stop time never depends on when the thread ran.
    if (stop_thread_) break;
    switch (state_.load()) {
      case WriterState::kInit:
        GuardedPass(lock, [this] { TrimQueue(); });
        break;
      case WriterState::kStartMeas:
        GuardedPass(lock, [this, &lock] { SaveQueue(lock); });
        break;
      case WriterState::kStopMeas:
        GuardedPass(lock, [this, &lock] { FlushQueue(lock); });
        break;
      default:
        sample_queue_.clear();
        break;
    }
  }
  sample_queue_.KeepSparesReady(false);
  GuardedPass(lock, [this, &lock] { FlushQueue(lock); });
}

void MdfWriter::PassFailed(std::unique_lock<std::mutex>& lock, const std::exception& error) {
  if (!lock.owns_lock()) lock.lock();
  MdfLogStream(MdfLocation{__LINE__, 0, __FILE__, "WorkThread"}, MdfLogSeverity::kError)
      << "Failed to write the samples. Error: " << error.what();
  cycle_failed_ = true;
  sample_queue_.clear();
}

void MdfWriter::StartWorkThread() {
  stop_thread_ = false;
  work_thread_ = std::thread([this] { WorkThread(); });
}

void MdfWriter::StopWorkThread() {
  {
    // Set under the lock: the worker tests the flag and starts waiting under it, so the
    // notification below cannot fall between the two.
    std::lock_guard lock(locker_);
    stop_thread_ = true;
  }
  if (work_thread_.joinable()) {
    if (work_thread_.get_id() == std::this_thread::get_id()) {
      return;  // the worker ends itself once its pass returns; it cannot join itself
    }
    sample_event_.notify_all();
    work_thread_.join();
  }
  stop_thread_ = false;
}

void MdfWriter::Open(std::ios_base::openmode mode) {
  if (!buffer_) {
    MDF_ERROR() << "Invalid use of function. Need to init the file or stream buffer first.";
    return;
  }
  OpenMdfFile(*buffer_, filename_, mode);  // the callers test IsOpen
}

bool MdfWriter::IsOpen() const {
  if (!buffer_) return false;
  try {
    const auto* file = dynamic_cast<const std::filebuf*>(buffer_.get());
    return file == nullptr || file->is_open();
  } catch (const std::exception& error) {
    MDF_ERROR() << "Checking if file is opened, failed. Error: " << error.what();
    return false;
  }
}

bool MdfWriter::Close() {
  if (!buffer_) return true;
  try {
    auto* file = dynamic_cast<std::filebuf*>(buffer_.get());
    if (!filename_.empty() && file != nullptr) {
      if (file->is_open() && file->close() == nullptr) {
        MDF_ERROR() << "Close of file failed. Error: The file could not be closed. File: " << filename_;
        return false;
      }
      return true;
    }
    // A buffered stream may report a full disk only when it writes out what it holds.
    if (buffer_->pubsync() != 0) {
      MDF_ERROR() << "Close of file failed. Error: The stream buffer could not be flushed.";
      return false;
    }
  } catch (const std::exception& error) {
    MDF_ERROR() << "Close of file failed. Error: " << error.what();
    return false;
  }
  return true;
}

std::string MdfWriter::FileStem() const {
  try {
    return PathStem(filename_);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace mdf
