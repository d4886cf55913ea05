#pragma once
// What the reads of one file may hold in memory beyond its records: signal data, sample
// reductions, texts, inflated blocks, and the decoded bodies of the containers it came in. One
// account per file, handed down as the context of everything that reads it: the front end
// makes it and sets its limit, a reader without one makes its own, and a block tree finds it
// at its root (MdfBlock::Memory). Every holder of data takes its bytes before it allocates
// them and gives them back when it frees them, so a structure that would make a small file hold
// gigabytes (blocks that inflate a thousandfold, signal data listed many times) fails as memory
// that ran short, before the memory is taken. Texts are taken once read (one is never more than
// the file's bytes) and stay taken while the file is read; a text linked many times is held
// once: the account keeps what a read found at a position for the next read of it.
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>

namespace mdf {

/// Thrown by a take that would pass the account's limit: to its callers the file's memory ran
/// short, as with any other allocation that fails.
class MemoryCeilingReached : public std::bad_alloc {
 public:
  [[nodiscard]] const char* what() const noexcept override { return "The file's memory ceiling is reached"; }
};

class MemoryAccount {
 public:
  static constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();
  /// The limit for a file of `file_size` bytes.
  [[nodiscard]] static uint64_t CeilingFor(int64_t file_size);

  explicit MemoryAccount(uint64_t limit = kUnlimited) : limit_(limit) {}
  MemoryAccount(const MemoryAccount&) = delete;
  MemoryAccount& operator=(const MemoryAccount&) = delete;

  [[nodiscard]] uint64_t Limit() const { return limit_; }
  void SetLimit(uint64_t limit) { limit_ = limit; }
  [[nodiscard]] uint64_t Held() const { return held_; }
  [[nodiscard]] uint64_t Left() const { return held_ < limit_ ? limit_ - held_ : 0; }
  /// The most held at once so far.
  [[nodiscard]] uint64_t Peak() const { return peak_; }

  /// Takes bytes about to be allocated; throws MemoryCeilingReached, taking nothing, when the
  /// account would then hold more than its limit.
  void Take(uint64_t bytes);
  /// Gives back bytes taken (at most what is held).
  void Give(uint64_t bytes);

  /// The text a read found at the file position, while anything still holds it; else null.
  [[nodiscard]] std::shared_ptr<const std::string> HeldText(int64_t position) const;
  /// Keeps the text read at the position for later reads of it, as long as anything holds it.
  void KeepText(int64_t position, const std::shared_ptr<const std::string>& text);

 private:
  uint64_t limit_;
  uint64_t held_ = 0;
  uint64_t peak_ = 0;
  std::map<int64_t, std::weak_ptr<const std::string>> texts_;
};

/// Bytes held against an account while the charge lives; with no account nothing is counted.
class MemoryCharge {
 public:
  MemoryCharge() = default;
  ~MemoryCharge() { Release(); }
  MemoryCharge(const MemoryCharge&) = delete;
  MemoryCharge& operator=(const MemoryCharge&) = delete;
  MemoryCharge(MemoryCharge&& other) noexcept;
  MemoryCharge& operator=(MemoryCharge&& other) noexcept;

  /// Holds `bytes` in all from `account` (taking or giving back the difference), before an
  /// allocation is made or grown to that size; throws as MemoryAccount::Take, holding what it
  /// held before.
  void Hold(MemoryAccount* account, uint64_t bytes);
  /// Gives everything back.
  void Release();
  [[nodiscard]] uint64_t Bytes() const { return bytes_; }

 private:
  MemoryAccount* account_ = nullptr;
  uint64_t bytes_ = 0;
};

}  // namespace mdf
