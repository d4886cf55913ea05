#pragma once
// A listener attached to one data group: while the group is read it receives every record
// dispatched to it with the record's sample index (per channel group) and record id.
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

namespace mdf {

class IDataGroup;

class ISampleObserver {
 public:
  /// (sample index, record id, record bytes without the record id) -> false stops the read.
  using SampleCallback = std::function<bool(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record)>;

  /// Attaches to the data group and listens to the record id of each of its channel groups.
  explicit ISampleObserver(IDataGroup& data_group);
  /// Detaches when still attached.
  virtual ~ISampleObserver();
  ISampleObserver(const ISampleObserver&) = delete;
  ISampleObserver& operator=(const ISampleObserver&) = delete;

  virtual void Attach();
  virtual void Detach();
  /// Called for each record while the data group is read. Observers must not move the
  /// file's stream position: the record reader continues where it stopped.
  /// By default the callback's answer, true without a callback.
  virtual bool OnSample(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record);

  [[nodiscard]] bool IsAttached() const { return attached_; }
  [[nodiscard]] const std::set<uint64_t>& RecordIds() const { return record_id_list_; }
  [[nodiscard]] bool HasRecordId(uint64_t record_id) const { return record_id_list_.count(record_id) > 0; }
  [[nodiscard]] IDataGroup& DataGroup() const { return data_group_; }

  /// Assigned by the user; called by the default OnSample.
  SampleCallback DoOnSample;

 protected:
  std::set<uint64_t> record_id_list_;
  IDataGroup& data_group_;
  bool attached_ = false;
};

}  // namespace mdf
