#pragma once
// One sample on its way from a writer's caller to the writer's worker thread: a copy of a
// channel group's record, stamped with its time.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mdf {

class IChannelGroup;

/// The bytes of one queued record. Records of up to kInlineSize bytes (every bus-logging
/// record) are held in place, so that queueing a sample allocates nothing of its own: an
/// allocation and a free per sample were the largest cost of saving (bench_mdfwriter).
class SampleBytes {
 public:
  static constexpr size_t kInlineSize = 32;

  SampleBytes() = default;
  SampleBytes(const uint8_t* data, size_t size) { Assign(data, size); }
  explicit SampleBytes(const std::vector<uint8_t>& bytes) : SampleBytes(bytes.data(), bytes.size()) {}
  SampleBytes(const SampleBytes& other) : SampleBytes(other.data(), other.size()) {}
  SampleBytes(SampleBytes&& other) noexcept;
  SampleBytes& operator=(const SampleBytes& other);
  SampleBytes& operator=(SampleBytes&& other) noexcept;
  ~SampleBytes() { Release(); }

  void Assign(const uint8_t* data, size_t size);
  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] uint8_t* data() { return IsInline() ? inline_ : heap_; }
  [[nodiscard]] const uint8_t* data() const { return IsInline() ? inline_ : heap_; }
  [[nodiscard]] const uint8_t* begin() const { return data(); }
  [[nodiscard]] const uint8_t* end() const { return data() + size_; }
  [[nodiscard]] std::vector<uint8_t> ToVector() const { return {begin(), end()}; }
  bool operator==(const std::vector<uint8_t>& bytes) const;

 private:
  [[nodiscard]] bool IsInline() const { return size_ <= kInlineSize; }
  void Release();

  size_t size_ = 0;
  union {
    uint8_t inline_[kInlineSize];
    uint8_t* heap_;
  };
};

struct SampleRecord {
  SampleRecord() = default;
  /// A copy of the group's record (its sample buffer) under its record id, stamped now.
  explicit SampleRecord(const IChannelGroup& group);
  /// The same, stamped with the given time (ns since 1970).
  SampleRecord(const IChannelGroup& group, uint64_t time_ns);

  /// What the sample counts for in a writer's queued-byte count.
  [[nodiscard]] uint64_t Size() const { return record_buffer.size() + vlsd_buffer.size(); }

  uint64_t timestamp = 0;  // ns since 1970
  uint64_t record_id = 0;
  SampleBytes record_buffer;  // data bytes and invalidation bytes, no record id
  bool vlsd_data = false;     // the record carries bytes for a VLSD channel group
  std::vector<uint8_t> vlsd_buffer;
};

}  // namespace mdf
