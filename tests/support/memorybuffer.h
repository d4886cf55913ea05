#pragma once
// A file-like memory stream buffer for tests: one position for reading and writing, a
// settable capacity to provoke short writes, a switch that makes every seek fail, and
// failures of a numbered write or seek call (alone, or with every later one, as a full disk
// fails). It brings the byte writer along, as most fixtures need both.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <streambuf>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace test {

class MemoryBuffer : public std::streambuf {
 public:
  MemoryBuffer() = default;
  explicit MemoryBuffer(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}
  explicit MemoryBuffer(const std::string& bytes) : data_(bytes.begin(), bytes.end()) {}

  [[nodiscard]] const std::vector<uint8_t>& Bytes() const { return data_; }
  [[nodiscard]] std::string Text() const { return {data_.begin(), data_.end()}; }
  [[nodiscard]] int64_t Position() const { return position_; }
  void SetCapacity(size_t capacity) { capacity_ = capacity; }
  void FailSeeks(bool fail) { fail_seeks_ = fail; }
  /// Makes every flush (pubsync) fail, as a buffer that could not write out what it holds.
  void FailSyncs(bool fail) { fail_syncs_ = fail; }
  /// Write call number `call` (from 0, counting those of at least a byte) takes nothing;
  /// with `later_too` so does every later one.
  void FailWriteCall(uint64_t call, bool later_too) { write_failure_ = {call, later_too}; }
  /// Seek call number `call` (from 0) fails; with `later_too` so does every later one.
  void FailSeekCall(uint64_t call, bool later_too) { seek_failure_ = {call, later_too}; }
  /// Calls made so far: what a sweep over the failing call runs through.
  [[nodiscard]] uint64_t WriteCalls() const { return write_calls_; }
  [[nodiscard]] uint64_t SeekCalls() const { return seek_calls_; }
  /// Writes and seeks made to fail (or come up short) so far: whether a failure was met.
  [[nodiscard]] uint64_t FailedCalls() const { return failed_calls_; }

 protected:
  std::streamsize xsgetn(char* dest, std::streamsize count) override {
    const auto available = position_ < static_cast<int64_t>(data_.size())
                               ? static_cast<std::streamsize>(data_.size() - static_cast<size_t>(position_))
                               : 0;
    const auto n = std::min(count, available);
    if (n > 0) {
      std::memcpy(dest, data_.data() + position_, static_cast<size_t>(n));
      position_ += n;
    }
    return n;
  }
  int_type underflow() override {
    return position_ < static_cast<int64_t>(data_.size())
               ? traits_type::to_int_type(static_cast<char>(data_[position_]))
               : traits_type::eof();
  }
  int_type uflow() override {
    const auto c = underflow();
    if (c != traits_type::eof()) {
      ++position_;
    }
    return c;
  }
  std::streamsize xsputn(const char* source, std::streamsize count) override { return Put(source, count); }
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) {
      return traits_type::not_eof(c);
    }
    const char ch = traits_type::to_char_type(c);
    return Put(&ch, 1) == 1 ? c : traits_type::eof();
  }
  pos_type seekoff(off_type offset, std::ios_base::seekdir way, std::ios_base::openmode) override {
    int64_t base = 0;
    if (way == std::ios_base::cur) {
      base = position_;
    } else if (way == std::ios_base::end) {
      base = static_cast<int64_t>(data_.size());
    }
    if (offset > std::numeric_limits<int64_t>::max() - base) {
      return pos_type(off_type(-1));  // beyond any position
    }
    return Seek(base + offset);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode) override { return Seek(position); }
  int sync() override { return fail_syncs_ ? -1 : 0; }

 private:
  struct CallFailure {
    uint64_t call = std::numeric_limits<uint64_t>::max();
    bool later_too = false;
    [[nodiscard]] bool Hits(uint64_t number) const { return number == call || (later_too && number > call); }
  };

  std::streamsize Put(const char* source, std::streamsize count) {
    const auto position = static_cast<size_t>(position_);
    if (count > 0 && write_failure_.Hits(write_calls_++)) {
      ++failed_calls_;
      return 0;
    }
    if (count <= 0) {
      return 0;
    }
    if (position >= capacity_) {
      ++failed_calls_;
      return 0;
    }
    const size_t n = std::min(static_cast<size_t>(count), capacity_ - position);
    if (n < static_cast<size_t>(count)) ++failed_calls_;
    if (position + n > data_.size()) {
      data_.resize(position + n);
    }
    std::memcpy(data_.data() + position, source, n);
    position_ += static_cast<int64_t>(n);
    return static_cast<std::streamsize>(n);
  }
  pos_type Seek(pos_type position) {
    if (seek_failure_.Hits(seek_calls_++) || fail_seeks_) {
      ++failed_calls_;
      return pos_type(off_type(-1));
    }
    if (position < 0) {
      return pos_type(off_type(-1));
    }
    position_ = position;
    return position;
  }

  std::vector<uint8_t> data_;
  int64_t position_ = 0;
  size_t capacity_ = std::numeric_limits<size_t>::max();
  bool fail_seeks_ = false;
  bool fail_syncs_ = false;
  CallFailure write_failure_;
  CallFailure seek_failure_;
  uint64_t write_calls_ = 0;
  uint64_t seek_calls_ = 0;
  uint64_t failed_calls_ = 0;
};

}  // namespace test
