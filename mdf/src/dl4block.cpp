#include "dl4block.h"

#include <algorithm>
#include <array>

#include "damage.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

void Dl4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next DL", AddressToText(Link(0)), "Link to next DL block", BlockItemType::LinkItem);
  // A damaged count must not produce billions of rows; no list holds more than its links
  // and offsets.
  const uint64_t data_links = link_list_.empty() ? 0 : link_list_.size() - 1;
  const uint64_t rows = std::min<uint64_t>(count_, std::max<uint64_t>(data_links, offsets_.size()));
  for (uint64_t i = 0; i < rows; ++i) {
    dest.emplace_back("Data", AddressToText(Link(i + 1)), "Link to data block", BlockItemType::LinkItem);
  }
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Flags", (flags_ & 0x01) != 0 ? "Equal" : "");
  dest.emplace_back("Nof Data Blocks", std::to_string(count_));
  dest.emplace_back("Equal Length", std::to_string(equal_length_));
  for (const auto offset : offsets_) {
    dest.emplace_back("Offset", std::to_string(offset), "Offset in data block");
  }
}

size_t Dl4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadByte(buffer, flags_);
  bytes += static_cast<size_t>(AdvanceStreamPosition(buffer, 3));
  bytes += ReadNumber(buffer, count_);
  offsets_.clear();
  if ((flags_ & 0x01) != 0) {
    bytes += ReadNumber(buffer, equal_length_);
  } else {
    // The count comes from the file: read only the offsets the block length can hold.
    const uint64_t fixed = 24 + 8 * link_count_ + 8;
    const uint64_t room = block_length_ > fixed ? (block_length_ - fixed) / 8 : 0;
    uint64_t count = count_;
    if (count > room) {
      MDF_DAMAGE(Damage::kUnreadableBlock)
          << "DL block offsets exceed the block length. Block: " << AddressToText(file_position_)
          << ", Count: " << count_;
      count = room;
    }
    // The length is from the file too: reserve little, the reads below end at the stream end.
    offsets_.reserve(static_cast<size_t>(std::min<uint64_t>(count, 1024)));
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t offset = 0;
      bytes += ReadNumber(buffer, offset);
      offsets_.push_back(offset);
    }
  }
  ReadDataLinks(buffer, 1, count_);
  return bytes;
}

size_t Dl4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    WriteChildBlocks(buffer, 1);
    return block_length_;
  }
  const size_t count = block_list_.size();
  const std::array<const std::vector<uint64_t>*, 3> value_lists = {&time_values_, &angle_values_, &distance_values_};
  block_id_ = "##DL";
  link_list_.resize(count + 1, 0);
  uint64_t length = 40 + 8 * count + ((flags_ & 0x01) != 0 ? 8 : 8 * count);
  for (size_t bit = 1; bit <= 3; ++bit) {
    if ((flags_ & (1U << bit)) != 0) length += 8 * count;
  }
  block_length_ = length;
  count_ = static_cast<uint32_t>(count);

  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteByte(buffer, flags_);
  bytes += WriteZeroBytes(buffer, 3);
  bytes += WriteNumber(buffer, count_);
  const auto write_list = [&](const std::vector<uint64_t>& list) {
    for (size_t i = 0; i < count; ++i) {
      bytes += WriteNumber(buffer, i < list.size() ? list[i] : uint64_t{0});
    }
  };
  if ((flags_ & 0x01) != 0) {
    bytes += WriteNumber(buffer, equal_length_);
  } else {
    write_list(offsets_);
  }
  for (size_t bit = 1; bit <= 3; ++bit) {
    if ((flags_ & (1U << bit)) != 0) write_list(*value_lists[bit - 1]);
  }
  PatchBlockLength(buffer, bytes);
  WriteChildBlocks(buffer, 1);
  return bytes;
}

void Dl4Block::SetEqualLength(uint64_t length) {
  equal_length_ = length;
  if (length != 0) {
    flags_ |= 0x01;
  }
}

size_t Dl4Block::SetOffset(size_t index, uint64_t offset) {
  if (index >= offsets_.size()) {
    offsets_.resize(index + 1, 0);
  }
  flags_ &= static_cast<uint8_t>(~0x01U);
  offsets_[index] = offset;
  return offsets_.size();
}

}  // namespace mdf::detail
