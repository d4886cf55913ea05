#include "mdf/samplerecord.h"

#include <cstring>

#include "mdf/ichannelgroup.h"
#include "mdf/mdfhelper.h"

namespace mdf {

SampleBytes::SampleBytes(SampleBytes&& other) noexcept : size_(other.size_) {
  if (IsInline()) {
    std::memcpy(inline_, other.inline_, size_);
  } else {
    heap_ = other.heap_;
  }
  other.size_ = 0;
}

SampleBytes& SampleBytes::operator=(const SampleBytes& other) {
  if (this != &other) Assign(other.data(), other.size());
  return *this;
}

SampleBytes& SampleBytes::operator=(SampleBytes&& other) noexcept {
  if (this == &other) return *this;
  Release();
  size_ = other.size_;
  if (IsInline()) {
    std::memcpy(inline_, other.inline_, size_);
  } else {
    heap_ = other.heap_;
  }
  other.size_ = 0;
  return *this;
}

void SampleBytes::Assign(const uint8_t* data, size_t size) {
  Release();
  if (size > kInlineSize) {
    heap_ = new uint8_t[size];
  }
  size_ = size;
  if (size > 0) std::memcpy(this->data(), data, size);
}

void SampleBytes::Release() {
  if (!IsInline()) delete[] heap_;
  size_ = 0;
}

bool SampleBytes::operator==(const std::vector<uint8_t>& bytes) const {
  return bytes.size() == size_ && (size_ == 0 || std::memcmp(data(), bytes.data(), size_) == 0);
}

SampleRecord::SampleRecord(const IChannelGroup& group) : SampleRecord(group, CurrentTimeNs()) {}

SampleRecord::SampleRecord(const IChannelGroup& group, uint64_t time_ns)
    : timestamp(time_ns), record_id(group.RecordId()), record_buffer(group.SampleBuffer()) {}

}  // namespace mdf
