#pragma once
// Writers of new measurement files. A caller builds the block tree through the writer's
// file object (header, data groups, channel groups, channels) and runs measurement cycles
// on it: InitMeasurement, StartMeasurement, SaveSample for each sample after setting the
// group's channel values, StopMeasurement, FinalizeMeasurement. SaveSample only queues a
// copy of the record; one worker thread per cycle writes the queue into the file. Every
// cycle writes into the header's last data group.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <ios>
#include <map>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/mdffile.h"
#include "mdf/samplequeue.h"
#include "mdf/samplerecord.h"

namespace mdf {

class IChannelConversion;
class IChannelGroup;
class IDataGroup;
class IHeader;
class ITimestamp;

enum class MdfWriterType : int {
  kMdf3Writer = 0,
  kMdf4Writer = 1,
  kMdfBusLogger = 2,
  kMdfConverter = 3,
};

/// Where a writer's cycle stands; only recorded, no operation refuses to run in any state.
enum class WriterState : uint8_t {
  kCreate = 0,     // after Init
  kInit = 1,       // InitMeasurement: the worker trims the queue
  kStartMeas = 2,  // StartMeasurement: the worker saves the queue
  kStopMeas = 3,   // StopMeasurement: the worker flushes the queue
  kFinalize = 4,   // FinalizeMeasurement
};

class MdfWriter {
 public:
  virtual ~MdfWriter();
  MdfWriter(const MdfWriter&) = delete;
  MdfWriter& operator=(const MdfWriter&) = delete;

  /// Creates a new file object (dropping any previous tree) writing to the buffer; state 0.
  bool Init(std::shared_ptr<std::streambuf> buffer);
  [[nodiscard]] MdfFile* GetFile() const { return mdf_file_.get(); }
  /// Null without a file object.
  [[nodiscard]] IHeader* Header() const;
  /// A new data group appended to the header; null without a file object.
  IDataGroup* CreateDataGroup();
  /// A new conversion owned by the channel; null when the channel is of another kind.
  virtual IChannelConversion* CreateChannelConversion(IChannel* channel) = 0;

  /// Prepares the last data group, writes the tree and starts the worker. False when the
  /// file could not be prepared or written, or an output the last cycle left open could not
  /// be flushed (logged); the worker then runs all the same.
  virtual bool InitMeasurement();
  /// Queues a copy of the group's record with the time (ns since 1970); the group's time
  /// master channel gets the seconds since the start time.
  virtual void SaveSample(const IChannelGroup& group, uint64_t time_ns);
  /// The same with the record given whole (data bytes, then invalidation bytes, no record
  /// id) in place of the group's sample buffer: a caller that lays out its records itself
  /// spares a setter call per value. `size` must be the group's record size.
  virtual void SaveRecord(const IChannelGroup& group, uint64_t time_ns, const uint8_t* record, size_t size);
  virtual void StartMeasurement(const ITimestamp& start_time);
  virtual void StartMeasurement(uint64_t start_time_ns);
  /// Samples later than the stop time are not written.
  virtual void StopMeasurement(const ITimestamp& stop_time);
  virtual void StopMeasurement(uint64_t stop_time_ns);
  /// Stops the worker after its last pass and rewrites the tree with the final counts.
  /// True only when every sample of the cycle and the whole tree reached the file; a
  /// failed write, samples left unwritten or a failed signal-data write give false (logged).
  virtual bool FinalizeMeasurement();

  [[nodiscard]] WriterState State() const { return state_; }
  [[nodiscard]] uint64_t StartTime() const { return start_time_; }
  [[nodiscard]] uint64_t StopTime() const { return stop_time_; }
  /// How long before the start (ns) samples are kept while the measurement is not started.
  void PreTrigTime(uint64_t pre_trig_ns) { pre_trig_time_ = pre_trig_ns; }
  [[nodiscard]] uint64_t PreTrigTime() const { return pre_trig_time_; }
  /// Store the data as zipped blocks (HL, DL, DZ). Set before InitMeasurement.
  void CompressData(bool compress) { compress_data_ = compress; }
  [[nodiscard]] bool CompressData() const { return compress_data_; }
  /// The worker's period between two passes (10 s; at most a day). Set before
  /// InitMeasurement.
  void WorkPeriod(std::chrono::nanoseconds period);
  [[nodiscard]] std::chrono::nanoseconds WorkPeriod() const { return work_period_; }

 protected:
  MdfWriter() = default;

  virtual void CreateMdfFile() = 0;
  /// Lays out the last data group before the tree is written.
  virtual bool PrepareForWriting() = 0;
  /// Whether every channel group's record id fits the `id_size` bytes that precede each
  /// record of the data group, as they must whenever ids are written or several groups share
  /// the records; a larger one would be cut to its low bytes and the file be unreadable.
  /// Logs the first group that does not fit.
  static bool RecordIdsFit(const IDataGroup& data_group, uint8_t id_size);
  /// Remembers where the records of the cycle start; the tree has just been written.
  virtual void SetDataStart(std::streambuf& buffer);
  /// Writes what the channels of the last data group collected (VLSD values).
  virtual bool WriteSignalData(std::streambuf& buffer);
  /// Drops samples older than the pre-trigger window; called with the lock held.
  virtual void TrimQueue();
  // The worker's passes. They enter and leave holding `lock` on the writer's mutex and
  // release it while they write.
  /// Writes the queued samples into the last data group's records; each kind of file has a
  /// pass of its own.
  virtual void SaveQueue(std::unique_lock<std::mutex>& lock) = 0;
  virtual void FlushQueue(std::unique_lock<std::mutex>& lock);
  /// Places the stream at the end of the file.
  virtual void SetLastPosition(std::streambuf& buffer) = 0;
  /// The worker's body; runs until StopWorkThread.
  virtual void WorkThread();
  /// The base worker's wait for its next pass (lock held), readying chunks of the sample
  /// queue meanwhile; returns when the period has passed or the worker is stopped.
  void WaitForPass(std::unique_lock<std::mutex>& lock);
  /// The converter kind keeps its file open over a whole cycle, writes every queued sample
  /// (the stop time included) and keeps its queued-byte count from cycle to cycle.
  [[nodiscard]] virtual bool KeepsFileOpen() const { return false; }

  void Open(std::ios_base::openmode mode);
  [[nodiscard]] bool IsOpen() const;
  /// Closes a named file, else flushes the stream buffer. False when what it held could
  /// not be written out (logged).
  bool Close();
  /// Stops and joins the worker; returns when its last pass has ended.
  void StopWorkThread();
  /// Starts the worker on WorkThread.
  void StartWorkThread();
  /// The time master of each channel group of the last data group, and the master value
  /// of every queued sample recomputed from the start time.
  void UpdateMasterChannels();
  /// Wakes the worker (only the converter's worker answers anything but the stop flag).
  void SignalWorker() { sample_event_.notify_all(); }
  [[nodiscard]] std::string FileStem() const;
  /// Runs one pass of the worker (entered with the lock held) and turns an exception into
  /// a failed cycle: the file is then in an unknown state, so nothing more is written and
  /// the queue is dropped. A std::thread must never see an exception: it would terminate.
  template <typename Pass>
  void GuardedPass(std::unique_lock<std::mutex>& lock, Pass&& pass) {
    if (cycle_failed_) {
      sample_queue_.clear();
      return;
    }
    try {
      pass();
    } catch (const std::exception& error) {
      PassFailed(lock, error);
    }
  }
  void PassFailed(std::unique_lock<std::mutex>& lock, const std::exception& error);
  /// Logs and drops samples still queued at the end of a cycle; false when there were any.
  bool DropLeftoverSamples();
  /// Seconds from the start time to the sample's time, negative before it.
  [[nodiscard]] double MasterSeconds(uint64_t time_ns) const;
  /// Writes the master value into a record of a group with a time master.
  void StampMaster(uint64_t record_id, uint64_t time_ns, uint8_t* record, size_t size);
  [[nodiscard]] bool HasFailed() const { return cycle_failed_; }
  void MarkFailed() { cycle_failed_ = true; }

  std::shared_ptr<std::streambuf> buffer_;
  std::atomic<WriterState> state_{WriterState::kCreate};
  std::unique_ptr<MdfFile> mdf_file_;
  std::string filename_;  // empty for a writer on a stream buffer
  std::atomic<uint64_t> pre_trig_time_{0};
  std::atomic<uint64_t> start_time_{0};
  std::atomic<uint64_t> stop_time_{0};
  std::thread work_thread_;
  std::atomic<bool> stop_thread_{false};
  std::mutex locker_;  // guards the sample queue
  std::condition_variable sample_event_;
  // Both written by the caller for every sample: on cache lines of their own.
  alignas(64) std::atomic<uint64_t> sample_queue_size_{0};  // record bytes + VLSD bytes queued
  alignas(64) SampleQueue sample_queue_;
  bool compress_data_ = false;
  struct Master {
    IChannel* channel;
    IChannel::TimestampLayout layout;  // taken when the masters are looked up
  };
  std::map<uint64_t, Master> master_channels_;  // by record id; built on the caller's thread
  std::atomic<bool> cycle_failed_{false};
  std::chrono::nanoseconds work_period_ = std::chrono::seconds(10);
};

/// A new writer of the kind; null for a kind that does not exist.
std::unique_ptr<MdfWriter> CreateMdfWriter(MdfWriterType type);

}  // namespace mdf
