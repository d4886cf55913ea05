#include "mdf/isampleobserver.h"

namespace mdf {

bool ISampleObserver::OnSample(uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) {
  return DoOnSample ? DoOnSample(sample, record_id, record) : true;
}

bool ISampleObserver::OnRecord(uint64_t sample, uint64_t record_id, const uint8_t* record, size_t size) {
  record_copy_.assign(record, record + size);
  return OnSample(sample, record_id, record_copy_);
}

}  // namespace mdf
