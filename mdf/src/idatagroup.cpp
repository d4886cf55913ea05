#include "mdf/idatagroup.h"

#include <algorithm>

#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/isampleobserver.h"

namespace mdf {

void IDataGroup::AttachSampleObserver(ISampleObserver* observer) { observer_list_.push_back(observer); }

void IDataGroup::DetachSampleObserver(const ISampleObserver* observer) {
  observer_list_.erase(std::remove(observer_list_.begin(), observer_list_.end(), observer), observer_list_.end());
  // The map built for a read must not keep a detached observer, which may be destroyed.
  const auto same = [observer](const RecordListener& listener) { return listener.observer == observer; };
  every_listener_.erase(std::remove_if(every_listener_.begin(), every_listener_.end(), same), every_listener_.end());
  for (auto& [record_id, listeners] : observer_map_) {
    listeners.erase(std::remove_if(listeners.begin(), listeners.end(), same), listeners.end());
  }
}

void IDataGroup::ResetSampleCounters() const {
  for (IChannelGroup* group : ChannelGroups()) {
    if (group != nullptr) {
      group->ResetSampleCounter();
    }
  }
}

IChannelGroup* IDataGroup::GetOrCreateChannelGroup(std::string_view name) {
  if (!name.empty()) {
    for (IChannelGroup* group : ChannelGroups()) {
      if (group != nullptr && group->Name() == name) {
        return group;
      }
    }
  }
  IChannelGroup* group = CreateChannelGroup();
  if (group != nullptr) {
    group->Name(std::string(name));
  }
  return group;
}

void IDataGroup::BuildRecordObserverMap() {
  observer_map_.clear();
  small_id_entries_.assign(256, nullptr);
  every_listener_.clear();
  for (ISampleObserver* observer : observer_list_) {
    if (observer != nullptr) every_listener_.push_back({observer, observer->RecordShortcut()});
  }
  for (const IChannelGroup* group : ChannelGroups()) {
    if (group == nullptr) {
      continue;
    }
    const uint64_t record_id = group->RecordId();
    if (observer_map_.count(record_id) > 0) {
      continue;  // the first group with an id decides
    }
    std::vector<RecordListener> listeners;
    for (ISampleObserver* observer : observer_list_) {
      if (observer != nullptr && observer->HasRecordId(record_id)) {
        listeners.push_back({observer, observer->RecordShortcut()});
      }
    }
    if (!listeners.empty()) {
      const auto entry = observer_map_.emplace(record_id, std::move(listeners)).first;
      if (record_id < small_id_entries_.size()) {
        small_id_entries_[record_id] = &entry->second;
      }
    }
  }
}

bool IDataGroup::NotifySampleObservers(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) const {
  return NotifySampleObservers(sample, record_id, record.data(), record.size());
}

bool IDataGroup::NotifySampleObservers(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) const {
  if (observer_map_.empty()) {
    return false;
  }
  const std::vector<RecordListener>* listeners = Listeners(record_id);
  return listeners == nullptr || NotifyListeners(*listeners, sample, record_id, record, size);
}

const std::vector<RecordListener>* IDataGroup::Listeners(uint64_t record_id) const {
  if (observer_map_.empty()) {
    return nullptr;
  }
  if (observer_map_.size() == 1) {
    // With one channel group read, its records carry no meaningful id: everybody gets them.
    return &every_listener_;
  }
  if (record_id < small_id_entries_.size()) {
    return small_id_entries_[record_id];
  }
  const auto entry = observer_map_.find(record_id);
  return entry != observer_map_.end() ? &entry->second : nullptr;
}

bool IDataGroup::IsSubscribingOnRecord(uint64_t record_id) const {
  return std::any_of(observer_list_.begin(), observer_list_.end(), [record_id](const ISampleObserver* observer) {
    return observer != nullptr && observer->HasRecordId(record_id);
  });
}

bool IDataGroup::IsSubscribing(const IChannel& channel, bool vlsd_only) const {
  for (const ISampleObserver* observer : observer_list_) {
    if (observer == nullptr) {
      continue;
    }
    bool vlsd_data = false;
    if (const IChannel* observed = observer->ObservedChannel(vlsd_data); observed != nullptr) {
      if (observed->FilePosition() == channel.FilePosition() && (!vlsd_only || vlsd_data)) {
        return true;
      }
      continue;
    }
    // A plain sample observer wants whole records: any listener of the channel's record
    // id makes the channel wanted.
    if (IsSubscribingOnRecord(channel.RecordId())) {
      return true;
    }
  }
  return false;
}

bool IDataGroup::IsSubscribingOnChannel(const IChannel& channel) const { return IsSubscribing(channel, false); }

bool IDataGroup::IsSubscribingOnChannelVlsd(const IChannel& channel) const { return IsSubscribing(channel, true); }

// ---- An observer's attaching ----
// Defined beside the group's observer list that it changes: the group hands records to its
// observers and so stands above them.

ISampleObserver::ISampleObserver(IDataGroup& data_group) : data_group_(data_group) {
  attached_ = true;
  data_group_.AttachSampleObserver(this);
  for (const IChannelGroup* group : data_group_.ChannelGroups()) {
    if (group != nullptr) {
      record_id_list_.insert(group->RecordId());
    }
  }
}

ISampleObserver::~ISampleObserver() {
  if (attached_) {
    data_group_.DetachSampleObserver(this);
    attached_ = false;
  }
}

void ISampleObserver::Attach() {
  if (!attached_) {
    attached_ = true;
    data_group_.AttachSampleObserver(this);
  }
}

void ISampleObserver::Detach() {
  if (attached_) {
    data_group_.DetachSampleObserver(this);
    attached_ = false;
  }
}

}  // namespace mdf
