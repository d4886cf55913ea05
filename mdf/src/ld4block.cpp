#include "ld4block.h"

#include <algorithm>
#include <array>

#include "damage.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

void Ld4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Next LD", AddressToText(Link(0)), "", BlockItemType::LinkItem);
  // A damaged count must not produce billions of rows.
  const uint64_t rows = std::min<uint64_t>(count_, link_list_.size());
  for (uint64_t i = 0; i < rows; ++i) {
    dest.emplace_back("Data Block", AddressToText(Link(i + 1)), "Link to data block", BlockItemType::LinkItem);
  }
  if ((flags_ & 0x80000000U) != 0) {
    for (uint64_t i = 0; i < rows; ++i) {
      dest.emplace_back("Invalid Block", AddressToText(Link(count_ + 1 + i)), "Link to invalid block",
                        BlockItemType::LinkItem);
    }
  }
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  static constexpr std::array<std::pair<uint32_t, const char*>, 5> kFlagNames = {
      {{0x01, "Equal"}, {0x02, "Time"}, {0x04, "Angle"}, {0x08, "Distance"}, {0x80000000U, "Invalid"}}};
  std::string flags;
  for (const auto& [bit, name] : kFlagNames) {
    if ((flags_ & bit) == 0) continue;
    if (!flags.empty()) flags += ",";
    flags += name;
  }
  dest.emplace_back("Flags", flags);
  dest.emplace_back("Nof Data Blocks", std::to_string(count_));
  dest.emplace_back("Equal Sample Count", std::to_string(equal_sample_count_));
  for (const auto offset : offsets_) {
    dest.emplace_back("Offset", std::to_string(offset), "Offset in data block");
  }
}

size_t Ld4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadNumber(buffer, flags_);
  bytes += ReadNumber(buffer, count_);

  // Every list the count sizes must lie inside the block length.
  const uint64_t fixed = 24 + 8 * link_count_ + 8;
  uint64_t room = block_length_ > fixed ? (block_length_ - fixed) / 8 : 0;
  bool clipped = false;
  const auto read_list = [&](std::vector<uint64_t>& list) {
    list.clear();
    uint64_t count = count_;
    if (count > room) {
      count = room;
      clipped = true;
    }
    room -= count;
    // The length is from the file too: reserve little, the reads end at the stream end.
    list.reserve(static_cast<size_t>(std::min<uint64_t>(count, 1024)));
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t value = 0;
      bytes += ReadNumber(buffer, value);
      list.push_back(value);
    }
  };
  if ((flags_ & 0x01) != 0) {
    bytes += ReadNumber(buffer, equal_sample_count_);
    room = room > 0 ? room - 1 : 0;
    offsets_.clear();
  } else {
    read_list(offsets_);
  }
  std::array<std::vector<uint64_t>*, 3> value_lists = {&time_values_, &angle_values_, &distance_values_};
  for (size_t bit = 1; bit <= 3; ++bit) {
    if ((flags_ & (1U << bit)) != 0) {
      read_list(*value_lists[bit - 1]);
    } else {
      value_lists[bit - 1]->clear();
    }
  }
  if (clipped) {
    MDF_DAMAGE(Damage::kUnreadableBlock) << "LD block values exceed the block length. Block: "
                                         << AddressToText(file_position_) << ", Count: " << count_;
  }
  ReadDataLinks(buffer, 1, count_);
  return bytes;
}

size_t Ld4Block::Write(std::streambuf&) {
  if (file_position_ > 0) {
    return block_length_;
  }
  throw MdfRuntimeError("Writing a new LD block is not supported.");
}

}  // namespace mdf::detail
