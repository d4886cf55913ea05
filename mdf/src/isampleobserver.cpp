#include "mdf/isampleobserver.h"

#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"

namespace mdf {

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

bool ISampleObserver::OnSample(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) {
  return DoOnSample ? DoOnSample(sample, record_id, record) : true;
}

bool ISampleObserver::OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) {
  record_copy_.assign(record, record + size);
  return OnSample(sample, record_id, record_copy_);
}

}  // namespace mdf
