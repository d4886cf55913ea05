#pragma once
// MDF3 trigger block "TR": the trigger events of a data group, each with its trigger time
// and the pre- and post-trigger times around it.
#include <cstdint>
#include <streambuf>
#include <string>
#include <vector>

#include "mdfblock.h"

namespace mdf::detail {

struct Tr3Event {
  double time = 0.0;
  double pre_time = 0.0;
  double post_time = 0.0;
};

class Tr3Block : public MdfBlock {
 public:
  /// Header, comment link and event count, then the events that the block holds.
  size_t Read(std::streambuf& buffer) override;
  /// A written block stays as it is; a new one is appended with its comment.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] const std::string& Description() const { return comment_; }
  void Description(const std::string& comment) { comment_ = comment; }
  [[nodiscard]] uint16_t NofEvents() const { return nof_events_; }
  [[nodiscard]] const std::vector<Tr3Event>& Events() const { return events_; }
  void AddEvent(const Tr3Event& event) { events_.push_back(event); }

 private:
  uint16_t nof_events_ = 0;
  std::vector<Tr3Event> events_;
  std::string comment_;
};

}  // namespace mdf::detail
