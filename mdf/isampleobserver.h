#pragma once
// A listener attached to one data group: while the group is read it receives every record
// dispatched to it with the record's sample index (per channel group) and record id.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

namespace mdf {

class IChannel;
class IDataGroup;

class ISampleObserver {
 public:
  /// (sample index, record id, record bytes without the record id) -> false stops the read.
  using SampleCallback = std::function<bool(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record)>;

  // Attaching and detaching change the data group's observer list: they are defined beside
  // it (idatagroup.cpp).
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
  /// The same record as bytes in place, as the record reader hands it over. By default the
  /// bytes are copied and passed to OnSample; an observer that can take them in place
  /// overrides this to spare the copy.
  virtual bool OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size);

  /// A way for the record reader to hand over a record without a call of OnRecord: a
  /// function that takes the record of `record_id` for the sample and answers true, or false
  /// when OnRecord must be called after all. Observers that keep plain values set it: a
  /// read of every channel makes one call per channel and record (bench_unsorted).
  struct Shortcut {
    bool (*store)(ISampleObserver& observer, uint64_t sample, const uint8_t* record, size_t size) = nullptr;
    uint64_t record_id = 0;
  };
  [[nodiscard]] const Shortcut& RecordShortcut() const { return shortcut_; }

  /// The one channel whose values the observer keeps, or null for an observer of whole
  /// records; with `vlsd_data` telling whether it wants that channel's VLSD payloads too.
  [[nodiscard]] virtual const IChannel* ObservedChannel(bool& vlsd_data) const {
    vlsd_data = false;
    return nullptr;
  }

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
  Shortcut shortcut_;

 private:
  std::vector<uint8_t> record_copy_;
};

/// An observer as the record reader hands records to it: with its shortcut, taken once
/// when the data group's observer map is built.
struct RecordListener {
  ISampleObserver* observer = nullptr;
  ISampleObserver::Shortcut shortcut;
};

}  // namespace mdf
