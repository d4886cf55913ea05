#include "tr3block.h"

#include "mdf/mdflogstream.h"
#include "tx3block.h"

namespace mdf::detail {

namespace {
constexpr size_t kCommentLink = 0;
constexpr size_t kFixedSize = 10;  // header, comment link, event count
constexpr size_t kEventSize = 24;  // three doubles
}  // namespace

size_t Tr3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadLinks32(buffer, 1);
  bytes += ReadNumber(buffer, nof_events_);
  events_.clear();
  // The count comes from the file: only events that lie whole in the block are read.
  while (events_.size() < nof_events_ && bytes + kEventSize <= block_size_) {
    Tr3Event event;
    bytes += ReadNumber(buffer, event.time);
    bytes += ReadNumber(buffer, event.pre_time);
    bytes += ReadNumber(buffer, event.post_time);
    events_.push_back(event);
  }
  if (events_.size() < nof_events_) {
    MDF_ERROR() << "Trigger events do not fit the block. Block: " << AddressToText(file_position_)
                << ", Events: " << nof_events_;
  }
  comment_ = LoadTx3Text(buffer, kCommentLink);
  return bytes;
}

size_t Tr3Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return block_size_;
  }
  // The 16-bit block size holds this many events.
  constexpr size_t kMaxEvents = (UINT16_MAX - kFixedSize) / kEventSize;
  if (events_.size() > kMaxEvents) {
    throw MdfRuntimeError("Too many trigger events for an MDF 3 trigger block");
  }
  nof_events_ = static_cast<uint16_t>(events_.size());
  block_id_ = "TR";
  block_size_ = static_cast<uint16_t>(kFixedSize + kEventSize * events_.size());
  block_length_ = block_size_;
  link_list_.assign(1, 0);
  if (!comment_.empty()) {
    Tx3Block text(comment_);
    text.AttachToParent(this);
    text.Write(buffer);
    link_list_[kCommentLink] = text.FilePosition();
  }
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteNumber(buffer, nof_events_);
  for (const Tr3Event& event : events_) {
    bytes += WriteNumber(buffer, event.time);
    bytes += WriteNumber(buffer, event.pre_time);
    bytes += WriteNumber(buffer, event.post_time);
  }
  return bytes;
}

}  // namespace mdf::detail
