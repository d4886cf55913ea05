#include "platform/process.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// SplitMix64's finaliser: spreads the bits of a fallback seed over every digit.
uint64_t Mix(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

/// Fills the bytes from getrandom(2); false when it cannot deliver them all.
bool SystemRandom(unsigned char* bytes, size_t count) {
  size_t filled = 0;
  while (filled < count) {
    const ssize_t got = ::getrandom(bytes + filled, count - filled, GRND_NONBLOCK);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

void processEndingSignals(sigset_t* set) {
  sigemptyset(set);
  for (const int signal_number : kEndingSignals) sigaddset(set, signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) sigaddset(set, signal_number);
}

bool processOpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower ones are open by now, so the lowest free number is this one.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened == fd) continue;
    if (opened >= 0) ::close(opened);
    return false;
  }
  return true;
}

void processRandomHex(char* out, size_t count) {
  static std::atomic<uint64_t> counter{0};
  unsigned char bytes[32];
  size_t written = 0;
  while (written < count) {
    const size_t digits = count - written < 2 * sizeof(bytes) ? count - written : 2 * sizeof(bytes);
    const size_t needed = (digits + 1) / 2;
    if (!SystemRandom(bytes, needed)) {
      timespec now{};
      ::clock_gettime(CLOCK_REALTIME, &now);
      uint64_t seed = static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
      seed ^= static_cast<uint64_t>(::getpid()) << 32;
      seed += counter.fetch_add(1, std::memory_order_relaxed);
      for (size_t i = 0; i < needed; ++i) {
        if (i % 8 == 0) seed = Mix(seed + i);
        bytes[i] = static_cast<unsigned char>(seed >> (8 * (i % 8)));
      }
    }
    for (size_t i = 0; i < digits; ++i) out[written + i] = kHexDigits[(bytes[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 0xF];
    written += digits;
  }
}
