#pragma once
// Switches the process time zone for one scope and restores the previous one.
#include <cstdlib>
#include <ctime>
#include <string>

namespace test {

class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) : had_old_(std::getenv("TZ") != nullptr) {
    if (had_old_) old_ = std::getenv("TZ");
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    had_old_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  ScopedTz(const ScopedTz&) = delete;
  ScopedTz& operator=(const ScopedTz&) = delete;

 private:
  bool had_old_;
  std::string old_;
};

}  // namespace test
