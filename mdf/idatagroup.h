#pragma once
// Public interface of a data group (MDF4 DG block, MDF3 DG block): the channel groups whose
// records share one record stream. The interface itself keeps the sample observers that a
// read of the group feeds, and decides which observer receives which record.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mdf/iblock.h"
#include "mdf/isampleobserver.h"

namespace mdf {

class IChannel;
class IChannelGroup;

/// How the record stream of a data group ended where the finalization of an unfinalized
/// recording counted it: the last whole record, and the record the end of the data cut,
/// which is left out. What a cut record may claim is its reader's to judge: the library
/// knows the record layouts, not what a record means.
struct StreamEnd {
  /// The part of a cut record that the data hold.
  enum class Cut : uint8_t { kNone, kRecordId, kVlsdLength, kPayload };
  bool has_last = false;        ///< a whole record was counted
  uint64_t last_record_id = 0;  ///< of the last whole record
  uint64_t last_size = 0;       ///< its payload bytes (of a VLSD record: without the length)
  Cut cut = Cut::kNone;
  uint64_t cut_record_id = 0;  ///< of a record cut in its VLSD length or payload
  uint64_t cut_length = 0;     ///< the payload bytes a record cut in its payload claims
};

class IDataGroup : public IBlock {
 public:
  /// Frees the observer list and map; the observers themselves belong to their creators.
  ~IDataGroup() override = default;

  /// The "TX" element of the group's XML comment; "" by default.
  [[nodiscard]] virtual std::string Description() const { return {}; }
  virtual void Description(const std::string& /* description */) {}
  /// Bytes of the record id in front of every record: 0, 1, 2, 4 or 8.
  [[nodiscard]] virtual uint8_t RecordIdSize() const { return 0; }
  virtual void RecordIdSize(uint8_t /* id_size */) {}
  /// The channel groups in file order, without null entries.
  [[nodiscard]] virtual std::vector<IChannelGroup*> ChannelGroups() const = 0;
  virtual IChannelGroup* CreateChannelGroup() = 0;
  /// Drops what a read loaded; by default only the sample counters are reset.
  virtual void ClearData() { ResetSampleCounters(); }
  /// The channel group that holds the block (a channel), found by its file position.
  virtual IChannelGroup* FindParentChannelGroup(const IBlock& block) = 0;
  /// The end of the record stream as the finalization of an unfinalized recording found it;
  /// null for a data group it did not count (every group of a finalized file).
  [[nodiscard]] virtual const StreamEnd* FinalizedEnd() const { return nullptr; }

  // Observers. They are not owned: each must be detached or destroyed before the group.
  /// Appends the observer; the same observer may stand in the list more than once.
  void AttachSampleObserver(ISampleObserver* observer);
  /// Removes every occurrence of the observer.
  void DetachSampleObserver(const ISampleObserver* observer);
  [[nodiscard]] const std::vector<ISampleObserver*>& SampleObservers() const { return observer_list_; }
  void ResetSampleCounters() const;
  /// The first channel group named exactly so (an empty name never matches), else a new
  /// one with that name; null when none can be created.
  IChannelGroup* GetOrCreateChannelGroup(std::string_view name);

  /// Maps each channel group's record id to the observers that listen to it. Called at the
  /// start of every read; groups nobody listens to get no entry.
  void BuildRecordObserverMap();
  /// Hands one record to its observers. An empty map gives false (nobody listens: the read
  /// stops); a single entry sends every record to every attached observer; otherwise the
  /// observers mapped to the record id receive it (an id without entry gives true). False
  /// as soon as one observer returns false.
  bool NotifySampleObservers(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) const;
  /// The same for a record in place (ISampleObserver::OnRecord).
  bool NotifySampleObservers(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) const;
  /// The observers that NotifySampleObservers hands the records of the id to; null when the
  /// map is empty or nobody listens to the id. Valid until the map is built again.
  [[nodiscard]] const std::vector<RecordListener>* Listeners(uint64_t record_id) const;
  /// Hands one record to the listeners, as NotifySampleObservers does once it has found
  /// them; inline, so that the record reader dispatches without a call per record.
  static bool NotifyListeners(const std::vector<RecordListener>& listeners, uint64_t sample, uint64_t record_id,
                              const uint8_t* record, size_t size);
  [[nodiscard]] bool IsSubscribingOnRecord(uint64_t record_id) const;
  /// True when a channel observer watches the channel (same file position), or a plain
  /// sample observer listens to the channel's record id.
  [[nodiscard]] bool IsSubscribingOnChannel(const IChannel& channel) const;
  /// The same, counting channel observers only when they read VLSD data.
  [[nodiscard]] bool IsSubscribingOnChannelVlsd(const IChannel& channel) const;

 protected:
  IDataGroup() = default;
  IDataGroup(const IDataGroup&) = delete;
  IDataGroup& operator=(const IDataGroup&) = delete;

 private:
  [[nodiscard]] bool IsSubscribing(const IChannel& channel, bool vlsd_only) const;

  std::vector<ISampleObserver*> observer_list_;
  std::map<uint64_t, std::vector<RecordListener>> observer_map_;
  std::vector<RecordListener> every_listener_;  // every attached observer, for a single group
  // The map's entries by record id below 256, the ids every dispatch of a record looks up.
  std::vector<const std::vector<RecordListener>*> small_id_entries_;
};

inline bool IDataGroup::NotifyListeners(const std::vector<RecordListener>& listeners, uint64_t sample,
                                        uint64_t record_id, const uint8_t* record, size_t size) {
  for (const RecordListener& listener : listeners) {
    const ISampleObserver::Shortcut& shortcut = listener.shortcut;
    if (shortcut.store != nullptr && shortcut.record_id == record_id &&
        shortcut.store(*listener.observer, sample, record, size)) {
      continue;
    }
    if (!listener.observer->OnRecord(sample, record_id, record, size)) {
      return false;
    }
  }
  return true;
}

}  // namespace mdf
