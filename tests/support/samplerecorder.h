#pragma once
// A sample observer that keeps every record handed to it, and can stop the read.
#include <cstdint>
#include <ostream>
#include <vector>

#include "mdf/isampleobserver.h"

namespace test {

struct Delivered {
  uint64_t sample;
  uint64_t record_id;
  std::vector<uint8_t> record;
  bool operator==(const Delivered& other) const {
    return sample == other.sample && record_id == other.record_id && record == other.record;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Delivered& delivered) {
  out << "{" << delivered.sample << ", " << delivered.record_id << ", [";
  for (const auto byte : delivered.record) out << " " << static_cast<int>(byte);
  return out << " ]}";
}

class SampleRecorder : public mdf::ISampleObserver {
 public:
  explicit SampleRecorder(mdf::IDataGroup& group) : ISampleObserver(group) {
    DoOnSample = [this](uint64_t sample, uint64_t record_id, const std::vector<uint8_t>& record) {
      delivered.push_back({sample, record_id, record});
      return delivered.size() != stop_after;
    };
  }
  std::vector<Delivered> delivered;
  size_t stop_after = 0;  ///< answer false after this many records; 0 never
};

}  // namespace test
