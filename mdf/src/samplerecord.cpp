#include "mdf/samplerecord.h"

#include "mdf/ichannelgroup.h"
#include "mdf/mdfhelper.h"

namespace mdf {

SampleRecord::SampleRecord(const IChannelGroup& group) : SampleRecord(group, CurrentTimeNs()) {}

SampleRecord::SampleRecord(const IChannelGroup& group, uint64_t time_ns)
    : timestamp(time_ns), record_id(group.RecordId()), record_buffer(group.SampleBuffer()) {}

}  // namespace mdf
