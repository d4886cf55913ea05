#include "mdf/ichannelobserver.h"

#include <algorithm>

#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"

namespace mdf {

IChannelObserver::IChannelObserver(IDataGroup& data_group, const IChannel& channel)
    : ISampleObserver(data_group), channel_(channel) {
  record_id_list_.clear();
  record_id_list_.insert(channel.RecordId());
  if (channel.VlsdRecordId() != 0) {
    record_id_list_.insert(channel.VlsdRecordId());
  }
}

std::string IChannelObserver::ChannelName() const { return channel_.Name(); }

uint64_t IChannelObserver::NofHeldSamples() const { return std::min<uint64_t>(NofSamples(), valid_list_.size()); }

bool IChannelObserver::GetByteArray(uint64_t sample, std::vector<uint8_t>& value) const {
  value.clear();
  switch (channel_.DataType()) {
    case kByteArray:
    case kMimeSample:
    case kMimeStream:
      return GetSampleByteArray(sample, value);
    default:
      return false;
  }
}

}  // namespace mdf
