#include "recordcounter.h"

#include <algorithm>
#include <utility>

#include "mdf/mdflogstream.h"

namespace mdf::detail {

RecordCounter::RecordCounter(uint8_t record_id_size, std::map<uint64_t, Layout> layouts)
    : id_size_(record_id_size), layouts_(std::move(layouts)), group_(layouts_.end()) {
  const bool valid_size = id_size_ == 0 || id_size_ == 1 || id_size_ == 2 || id_size_ == 4 || id_size_ == 8;
  if (!valid_size || layouts_.empty()) {
    stopped_ = true;
    return;
  }
  for (const auto& [id, layout] : layouts_) {
    // A record of no bytes at all would be counted without end.
    if (id_size_ == 0 && !layout.vlsd && layout.record_bytes == 0) {
      MDF_ERROR() << "A record without bytes cannot be counted. Record ID: " << id;
      stopped_ = true;
      return;
    }
  }
  StartRecord();
}

void RecordCounter::StartRecord() {
  state_ = State::kRecordId;
  value_ = 0;
  have_ = 0;
  payload_ = 0;
  if (id_size_ == 0) {
    StartPayload();
  }
}

void RecordCounter::StartPayload() {
  group_ = layouts_.size() == 1 ? layouts_.begin() : layouts_.find(value_);
  if (group_ == layouts_.end()) {
    MDF_ERROR() << "Failed to find the CG block. Record ID: " << value_;
    stopped_ = true;
    return;
  }
  value_ = 0;
  have_ = 0;
  if (group_->second.vlsd) {
    state_ = State::kLength;
    return;
  }
  state_ = State::kPayload;
  remaining_ = group_->second.record_bytes;
  payload_ = remaining_;
  if (remaining_ == 0) {
    FinishRecord();
  }
}

void RecordCounter::FinishRecord() {
  auto& tally = tallies_[group_->first];
  ++tally.records;
  tally.bytes += payload_;
  StartRecord();
}

std::streamsize RecordCounter::xsputn(const char* data, std::streamsize count) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::streamsize index = 0;
  while (index < count && !stopped_) {
    switch (state_) {
      case State::kRecordId:
        value_ |= static_cast<uint64_t>(bytes[index++]) << (8 * have_);
        if (++have_ == id_size_) {
          StartPayload();
        }
        break;
      case State::kLength:
        value_ |= static_cast<uint64_t>(bytes[index++]) << (8 * have_);
        if (++have_ == 4) {
          state_ = State::kPayload;
          remaining_ = value_;
          payload_ = 4 + value_;
          if (remaining_ == 0) {
            FinishRecord();
          }
        }
        break;
      case State::kPayload: {
        const auto step = std::min<uint64_t>(remaining_, static_cast<uint64_t>(count - index));
        index += static_cast<std::streamsize>(step);
        remaining_ -= step;
        if (remaining_ == 0) {
          FinishRecord();
        }
        break;
      }
    }
  }
  return count;  // Bytes after a stop are taken and ignored.
}

std::streambuf::int_type RecordCounter::overflow(int_type c) {
  if (c == traits_type::eof()) {
    return traits_type::not_eof(c);
  }
  const char ch = traits_type::to_char_type(c);
  xsputn(&ch, 1);
  return c;
}

}  // namespace mdf::detail
