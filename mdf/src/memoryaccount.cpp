#include "mdf/memoryaccount.h"

#include <algorithm>

namespace mdf {

namespace {

// A decoded container body is at most 8 times its file as loggers pack it, and the signal data
// read from it are held beside it: 16 times the file holds every legitimate recording.
constexpr uint64_t kPerFileByte = 16;
// What a small file's well-compressible payloads may legitimately inflate to (68 MB of signal
// data from 293 KB), with room for its texts and a transposed block of records.
constexpr uint64_t kFloor = uint64_t{1} << 30;

}  // namespace

uint64_t MemoryAccount::CeilingFor(int64_t file_size) {
  const uint64_t size = file_size > 0 ? static_cast<uint64_t>(file_size) : 0;
  const uint64_t scaled = size > kUnlimited / kPerFileByte ? kUnlimited : size * kPerFileByte;
  return std::max(kFloor, scaled);
}

void MemoryAccount::Take(uint64_t bytes) {
  if (bytes > Left()) throw MemoryCeilingReached();
  held_ += bytes;
  peak_ = std::max(peak_, held_);
}

void MemoryAccount::Give(uint64_t bytes) { held_ -= std::min(bytes, held_); }

std::shared_ptr<const std::string> MemoryAccount::HeldText(int64_t position) const {
  const auto found = texts_.find(position);
  return found != texts_.end() ? found->second.lock() : nullptr;
}

void MemoryAccount::KeepText(int64_t position, const std::shared_ptr<const std::string>& text) {
  texts_[position] = text;
}

MemoryCharge::MemoryCharge(MemoryCharge&& other) noexcept : account_(other.account_), bytes_(other.bytes_) {
  other.account_ = nullptr;
  other.bytes_ = 0;
}

MemoryCharge& MemoryCharge::operator=(MemoryCharge&& other) noexcept {
  if (this != &other) {
    Release();
    account_ = other.account_;
    bytes_ = other.bytes_;
    other.account_ = nullptr;
    other.bytes_ = 0;
  }
  return *this;
}

void MemoryCharge::Hold(MemoryAccount* account, uint64_t bytes) {
  if (account != account_) {
    if (account != nullptr) account->Take(bytes);
    Release();
    account_ = account;
    bytes_ = account != nullptr ? bytes : 0;
    return;
  }
  if (account_ == nullptr) return;
  if (bytes > bytes_) {
    account_->Take(bytes - bytes_);
  } else {
    account_->Give(bytes_ - bytes);
  }
  bytes_ = bytes;
}

void MemoryCharge::Release() {
  if (account_ != nullptr) account_->Give(bytes_);
  account_ = nullptr;
  bytes_ = 0;
}

}  // namespace mdf
