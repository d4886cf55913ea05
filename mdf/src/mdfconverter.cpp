#include "mdfconverter.h"

#include <chrono>

namespace mdf::detail {

MdfConverter::~MdfConverter() {
  StopWorkThread();
  if (IsOpen()) Close();
}

void MdfConverter::SaveRecord(const IChannelGroup& group, uint64_t time_ns, const uint8_t* record, size_t size) {
  MdfWriter::SaveRecord(group, time_ns, record, size);
  if (state_ == WriterState::kStartMeas && sample_queue_size_ > kWakeUpBytes) {
    SignalWorker();
  }
}

void MdfConverter::WorkThread() {
  std::unique_lock lock(locker_);
  while (!stop_thread_) {
    // Any signal wakes this worker. The stop flag is set and tested under the lock, so a
    // stop sent while a pass ran is seen here instead of after a full period's wait.
    sample_event_.wait_until(lock, std::chrono::system_clock::now() + work_period_);
    if (stop_thread_) break;  // the last flush below is the one pass
    switch (state_.load()) {
      case WriterState::kInit:
        TrimQueue();
        break;
      case WriterState::kStartMeas:
        GuardedPass(lock, [this, &lock] { SaveQueue(lock); });
        break;
      case WriterState::kStopMeas:
        GuardedPass(lock, [this, &lock] { FlushQueue(lock); });
        break;
      default:
        break;
    }
  }
  GuardedPass(lock, [this, &lock] { FlushQueue(lock); });
}

}  // namespace mdf::detail
