#pragma once
// A file image read back as a user reads it through our MDF library: every data group's values
// into channel observers.
#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "support/memorybuffer.h"

namespace test {

/// The image read back as a user reads it: every data group's values into observers.
class ReadBack {
 public:
  explicit ReadBack(const std::vector<uint8_t>& image) : reader_(std::make_shared<MemoryBuffer>(image)) {
    if (reader_.GetFile() == nullptr) return;
    info_read_ = reader_.ReadEverythingButData();
    reader_.GetFile()->DataGroups(groups_);
    for (mdf::IDataGroup* group : groups_) {
      auto& observers = observers_.emplace_back();
      mdf::CreateObserversForDataGroup(*group, observers);
      data_read_ = reader_.ReadData(*group) && data_read_;
    }
  }

  [[nodiscard]] bool Ok() const { return reader_.GetFile() != nullptr && info_read_ && data_read_; }
  [[nodiscard]] mdf::MdfFile* File() const { return reader_.GetFile(); }
  [[nodiscard]] const mdf::DataGroupList& DataGroups() const { return groups_; }
  /// The observers of the data group's channels, in the order they were made.
  [[nodiscard]] const mdf::ChannelObserverList& Observers(size_t data_group) const { return observers_.at(data_group); }
  /// The observer of the named channel in the data group; null when there is none.
  [[nodiscard]] const mdf::IChannelObserver* Observer(size_t data_group, const std::string& name) const {
    if (data_group >= observers_.size()) return nullptr;
    for (const auto& observer : observers_[data_group]) {
      if (observer && observer->ChannelName() == name) return observer.get();
    }
    return nullptr;
  }

 private:
  mdf::MdfReader reader_;
  bool info_read_ = false;
  bool data_read_ = true;
  mdf::DataGroupList groups_;
  std::vector<mdf::ChannelObserverList> observers_;
};

}  // namespace test
