#include "ca4block.h"

#include <algorithm>
#include <array>
#include <exception>
#include <limits>
#include <utility>

#include "damage.h"
#include "flagtext.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/mdflogstream.h"
#include "mdf/numbertext.h"
#include "readguard.h"

namespace mdf::detail {

namespace {

constexpr uint64_t kFixedDataSize = 16;  // type, storage, dimensions, flags, the two bases
constexpr uint64_t kMaxCount = std::numeric_limits<uint64_t>::max();

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return b > kMaxCount - a ? kMaxCount : a + b; }

// One run of links of the layout with the label of its display rows.
struct LinkSection {
  const char* label;
  uint64_t count;
};

}  // namespace

std::string ArrayTypeText(uint8_t type) {
  static constexpr std::array<const char*, 5> kTexts = {"Array", "Scaling Axis", "Look-Up", "Interval Axis",
                                                        "Classification Result"};
  return type < kTexts.size() ? kTexts[type] : "Unknown";
}

std::string ArrayStorageText(uint8_t storage) {
  static constexpr std::array<const char*, 3> kTexts = {"CN Template", "CG Template", "DG Template"};
  return storage < kTexts.size() ? kTexts[storage] : "Unknown";
}

std::string ArrayFlagsText(uint32_t flags) {
  static constexpr std::array<const char*, 8> kWords = {"Dynamic", "Input", "Output",  "Comparison",
                                                        "Axis",    "Fixed", "Inverse", "Left-Open"};
  return FlagNamesText(flags, kWords);
}

Ca4Block::Ca4Block() { block_id_ = "##CA"; }

Ca4Block::~Ca4Block() = default;

size_t Ca4Block::SetShape(const std::vector<uint64_t>& shape) {
  // The count is stored in 16 bits; a longer list cannot be described by the block.
  const size_t size = std::min<size_t>(shape.size(), std::numeric_limits<uint16_t>::max());
  shape_.assign(shape.begin(), shape.begin() + static_cast<std::ptrdiff_t>(size));
  nof_dimensions_ = static_cast<uint16_t>(size);
  return size;
}

uint64_t Ca4Block::DimensionSize(size_t index) const { return index < shape_.size() ? shape_[index] : 0; }

std::vector<double>& Ca4Block::AxisValues() {
  if ((flags_ & CaFlag::FixedAxis) != 0) {
    const uint64_t sum = SumOfDimensions();
    if (sum != 0 && axis_values_.size() < sum && sum <= kMaxListSize) {
      axis_values_.resize(static_cast<size_t>(sum), 0.0);
    }
  }
  return axis_values_;
}

std::vector<uint64_t>& Ca4Block::CycleCounts() {
  if (storage_ == 1 || storage_ == 2) {
    const uint64_t count = ElementCount();
    if (cycle_counts_.size() < count && count <= kMaxListSize) {
      cycle_counts_.resize(static_cast<size_t>(count), 0);
    }
  }
  return cycle_counts_;
}

uint64_t Ca4Block::LayoutLinkCount() const {
  const uint64_t d = nof_dimensions_;
  uint64_t count = 1;
  if (storage_ == 2) count = SaturatingAdd(count, ElementCount());
  if ((flags_ & CaFlag::DynamicSize) != 0) count = SaturatingAdd(count, 3 * d);
  if ((flags_ & CaFlag::InputQuantity) != 0) count = SaturatingAdd(count, 3 * d);
  if ((flags_ & CaFlag::OutputQuantity) != 0) count = SaturatingAdd(count, 3);
  if ((flags_ & CaFlag::ComparisonQuantity) != 0) count = SaturatingAdd(count, 3);
  if ((flags_ & CaFlag::Axis) != 0) {
    count = SaturatingAdd(count, d);
    if ((flags_ & CaFlag::FixedAxis) == 0) count = SaturatingAdd(count, 3 * d);
  }
  return count;
}

size_t Ca4Block::Read(std::streambuf& buffer) {
  ReadGuard composition(Nesting::kComposition, GetStreamPosition(buffer));
  return ReadNested(buffer, composition);
}

size_t Ca4Block::ReadNested(std::streambuf& buffer, ReadGuard& composition) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadByte(buffer, type_);
  bytes += ReadByte(buffer, storage_);
  bytes += ReadNumber(buffer, nof_dimensions_);
  bytes += ReadNumber(buffer, flags_);
  bytes += ReadNumber(buffer, byte_offset_base_);
  bytes += ReadNumber(buffer, invalidation_bit_base_);

  // Every list below is sized from the file: each must fit the rest of the block, and the
  // block the rest of the stream, before anything is allocated.
  const uint64_t fixed = 24 + 8 * link_count_ + kFixedDataSize;
  uint64_t room = block_length_ > fixed ? (block_length_ - fixed) / 8 : 0;
  const int64_t here = GetStreamPosition(buffer);
  const int64_t end = GetLastStreamPosition(buffer);
  SetStreamPosition(buffer, here);
  room = std::min<uint64_t>(room, end > here ? static_cast<uint64_t>(end - here) / 8 : 0);

  shape_.clear();
  axis_values_.clear();
  cycle_counts_.clear();
  if (nof_dimensions_ > room) {
    MDF_DAMAGE(Damage::kUnreadableBlock) << "Channel array dimensions exceed the block length. Block: "
                                         << AddressToText(file_position_) << ", Dimensions: " << nof_dimensions_;
    room = 0;
  } else {
    shape_.resize(nof_dimensions_, 0);
    for (auto& size : shape_) {
      bytes += ReadNumber(buffer, size);
    }
    room -= nof_dimensions_;
  }

  if ((flags_ & CaFlag::FixedAxis) != 0) {
    const uint64_t nof_values = SumOfDimensions();
    if (nof_values > room) {
      MDF_DAMAGE(Damage::kUnreadableBlock)
          << "Channel array axis values exceed the block length. Block: " << AddressToText(file_position_)
          << ", Values: " << nof_values;
      room = 0;
    } else {
      axis_values_.resize(static_cast<size_t>(nof_values), 0.0);
      for (auto& value : axis_values_) {
        bytes += ReadValue(buffer, value);
      }
      room -= nof_values;
    }
  }

  if (storage_ == 1 || storage_ == 2) {
    const uint64_t nof_counts = ElementCount();
    if (nof_counts > room) {
      MDF_DAMAGE(Damage::kUnreadableBlock)
          << "Channel array cycle counts exceed the block length. Block: " << AddressToText(file_position_)
          << ", Elements: " << nof_counts;
    } else {
      cycle_counts_.resize(static_cast<size_t>(nof_counts), 0);
      for (auto& count : cycle_counts_) {
        bytes += ReadNumber(buffer, count);
      }
    }
  }

  LoadComposition(buffer, 0, composition);
  ResolveReferences();
  return bytes;
}

void Ca4Block::ResolveReferences() {
  MdfBlock* header = FindAncestorHd();
  const uint64_t d = nof_dimensions_;
  uint64_t index = 1;
  const auto next_link = [this, &index]() {
    const int64_t link = index < link_list_.size() ? link_list_[static_cast<size_t>(index)] : 0;
    index = SaturatingAdd(index, 1);
    return link;
  };
  const auto next_triple = [this, header, &index]() {
    const ChannelTriple triple = ChannelTripleAt(header, static_cast<size_t>(std::min<uint64_t>(index, kMaxCount)));
    index = SaturatingAdd(index, 3);
    return triple;
  };

  if (storage_ == 2) {
    data_links_.clear();
    // One link per element: more elements than links can only come from a damaged shape.
    const uint64_t nof_elements = ElementCount();
    const uint64_t available = link_list_.size() > index ? link_list_.size() - index : 0;
    if (nof_elements <= available) {
      data_links_.reserve(static_cast<size_t>(nof_elements));
      for (uint64_t i = 0; i < nof_elements; ++i) {
        data_links_.push_back(next_link());
      }
    } else {
      MDF_DAMAGE(Damage::kUnreadableBlock)
          << "Channel array data links exceed the link count. Block: " << AddressToText(file_position_)
          << ", Elements: " << nof_elements;
      index = SaturatingAdd(index, nof_elements);
    }
  }
  const auto triples = [&](std::vector<ChannelTriple>& list) {
    list.clear();
    list.reserve(static_cast<size_t>(d));
    for (uint64_t i = 0; i < d; ++i) {
      list.push_back(next_triple());
    }
  };
  if ((flags_ & CaFlag::DynamicSize) != 0) triples(dynamic_size_list_);
  if ((flags_ & CaFlag::InputQuantity) != 0) triples(input_quantity_list_);
  if ((flags_ & CaFlag::OutputQuantity) != 0) output_quantity_ = next_triple();
  if ((flags_ & CaFlag::ComparisonQuantity) != 0) comparison_quantity_ = next_triple();
  if ((flags_ & CaFlag::Axis) != 0) {
    axis_conversion_list_.clear();
    axis_conversion_list_.reserve(static_cast<size_t>(d));
    for (uint64_t i = 0; i < d; ++i) {
      axis_conversion_list_.push_back(ConversionAt(header, static_cast<size_t>(std::min<uint64_t>(index, kMaxCount))));
      index = SaturatingAdd(index, 1);
    }
    if ((flags_ & CaFlag::FixedAxis) == 0) triples(axis_list_);
  }
}

ChannelTriple Ca4Block::ChannelTripleAt(MdfBlock* header, size_t index) const {
  ChannelTriple triple;
  if (header == nullptr) return triple;
  const auto lookup = [this, header](size_t link_index) -> MdfBlock* {
    if (link_index >= link_list_.size() || link_list_[link_index] <= 0) return nullptr;
    try {
      return header->FindByPosition(link_list_[link_index]);
    } catch (const std::exception&) {
      return nullptr;
    }
  };
  triple.data_group = dynamic_cast<IDataGroup*>(lookup(index));
  if (index < kMaxCount) triple.channel_group = dynamic_cast<IChannelGroup*>(lookup(index + 1));
  if (index < kMaxCount - 1) triple.channel = dynamic_cast<IChannel*>(lookup(index + 2));
  return triple;
}

IChannelConversion* Ca4Block::ConversionAt(MdfBlock* header, size_t index) const {
  if (header == nullptr || index >= link_list_.size() || link_list_[index] <= 0) return nullptr;
  try {
    return dynamic_cast<IChannelConversion*>(header->FindByPosition(link_list_[index]));
  } catch (const std::exception&) {
    return nullptr;
  }
}

size_t Ca4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return static_cast<size_t>(block_length_);
  }
  const uint64_t d = nof_dimensions_;
  const bool element_lists = storage_ == 1 || storage_ == 2;
  const uint64_t nof_elements = ElementCount();
  // One link and one cycle count per element: a shape beyond any list cannot be written.
  if (element_lists && nof_elements > kMaxListSize) {
    throw MdfRuntimeError("Channel array too large to write");
  }
  const uint64_t nof_axis_values = (flags_ & CaFlag::FixedAxis) != 0 ? SumOfDimensions() : 0;
  if (nof_axis_values > kMaxListSize) {
    throw MdfRuntimeError("Channel array too large to write");
  }
  const uint64_t nof_links = LayoutLinkCount();
  block_id_ = "##CA";
  block_length_ =
      24 + 8 * nof_links + kFixedDataSize + 8 * d + 8 * nof_axis_values + (element_lists ? 8 * nof_elements : 0);
  link_list_.resize(static_cast<size_t>(nof_links), 0);

  // The composition first: a list of channels is chained through their next links.
  for (size_t i = 0; i < composition_list_.size(); ++i) {
    auto& block = composition_list_[i];
    if (!block || block->FilePosition() > 0) continue;
    block->Write(buffer);
    if (i == 0) {
      PatchLink(buffer, 0, block->FilePosition());
    } else if (auto& previous = composition_list_[i - 1]; previous) {
      previous->PatchLink(buffer, 0, block->FilePosition());
    }
  }

  size_t index = 1;
  const auto position_of = [](const IBlock* block) -> int64_t {
    if (block == nullptr) return 0;
    const int64_t position = block->FilePosition();
    return position > 0 ? position : 0;
  };
  const auto put_triple = [&](const ChannelTriple& triple) {
    link_list_[index++] = position_of(triple.data_group);
    link_list_[index++] = position_of(triple.channel_group);
    link_list_[index++] = position_of(triple.channel);
  };
  const auto put_triples = [&](const std::vector<ChannelTriple>& list) {
    for (uint64_t i = 0; i < d; ++i) {
      put_triple(i < list.size() ? list[static_cast<size_t>(i)] : ChannelTriple{});
    }
  };
  if (storage_ == 2) {
    for (uint64_t i = 0; i < nof_elements; ++i) {
      link_list_[index++] = i < data_links_.size() ? data_links_[static_cast<size_t>(i)] : 0;
    }
  }
  if ((flags_ & CaFlag::DynamicSize) != 0) put_triples(dynamic_size_list_);
  if ((flags_ & CaFlag::InputQuantity) != 0) put_triples(input_quantity_list_);
  if ((flags_ & CaFlag::OutputQuantity) != 0) put_triple(output_quantity_);
  if ((flags_ & CaFlag::ComparisonQuantity) != 0) put_triple(comparison_quantity_);
  if ((flags_ & CaFlag::Axis) != 0) {
    for (uint64_t i = 0; i < d; ++i) {
      link_list_[index++] =
          i < axis_conversion_list_.size() ? position_of(axis_conversion_list_[static_cast<size_t>(i)]) : 0;
    }
    if ((flags_ & CaFlag::FixedAxis) == 0) put_triples(axis_list_);
  }

  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteByte(buffer, type_);
  bytes += WriteByte(buffer, storage_);
  bytes += WriteNumber(buffer, nof_dimensions_);
  bytes += WriteNumber(buffer, flags_);
  bytes += WriteNumber(buffer, byte_offset_base_);
  bytes += WriteNumber(buffer, invalidation_bit_base_);
  for (uint64_t i = 0; i < d; ++i) {
    bytes += WriteNumber(buffer, DimensionSize(static_cast<size_t>(i)));
  }
  for (uint64_t i = 0; i < nof_axis_values; ++i) {
    bytes += WriteValue(buffer, i < axis_values_.size() ? axis_values_[static_cast<size_t>(i)] : 0.0);
  }
  if (element_lists) {
    for (uint64_t i = 0; i < nof_elements; ++i) {
      bytes += WriteNumber(buffer, i < cycle_counts_.size() ? cycle_counts_[static_cast<size_t>(i)] : uint64_t{0});
    }
  }
  PatchBlockLength(buffer, bytes);
  return bytes;
}

void Ca4Block::UpdateByteOffsetBase() {
  if (channel_ == nullptr) return;
  const uint32_t bits = channel_->BitCount();
  byte_offset_base_ = static_cast<int32_t>(bits / 8 + (bits % 8 != 0 ? 1 : 0));
  invalidation_bit_base_ = 0;
}

MdfBlock* Ca4Block::FindByPosition(int64_t position) {
  for (const auto& block : composition_list_) {
    if (!block) continue;
    if (MdfBlock* found = block->FindByPosition(position)) return found;
  }
  return MdfBlock::FindByPosition(position);
}

std::string Ca4Block::LinkDescription(const MdfBlock* block) const {
  if (block == nullptr) return {};
  try {
    const std::string type = block->BlockType();
    const auto first_of = [block](const std::string& first, const std::string& second) {
      if (!first.empty()) return first;
      if (!second.empty()) return second;
      return block->CommentText();
    };
    if (type == "DG") {
      const auto* group = dynamic_cast<const IDataGroup*>(block);
      return group == nullptr ? "DG: Invalid link" : "DG: " + first_of(group->Description(), {});
    }
    if (type == "CG") {
      const auto* group = dynamic_cast<const IChannelGroup*>(block);
      return group == nullptr ? "CG: Invalid link" : "CG: " + first_of(group->Name(), group->Description());
    }
    if (type == "CN") {
      const auto* channel = dynamic_cast<const IChannel*>(block);
      return channel == nullptr ? "CN: Invalid link" : "CN: " + first_of(channel->Name(), channel->Description());
    }
    if (type == "CC") {
      const auto* conversion = dynamic_cast<const IChannelConversion*>(block);
      return conversion == nullptr ? "CC: 1:1" : "CC: " + first_of(conversion->Name(), conversion->Description());
    }
    if (type == "CA") {
      const auto* array = dynamic_cast<const IChannelArray*>(block);
      return array == nullptr ? "CA: Invalid link" : "CA: " + ArrayTypeText(array->Type());
    }
    return {};
  } catch (const std::exception& error) {
    return std::string("Link error. Error: ") + error.what();
  }
}

void Ca4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  // The header owns this block, not the other way round: a const array may search it.
  MdfBlock* header = Parent() != nullptr ? Parent()->FindAncestorHd() : nullptr;
  if (header != nullptr) {
    const uint64_t d = nof_dimensions_;
    const bool axis = (flags_ & CaFlag::Axis) != 0;
    const std::array<LinkSection, 8> sections = {{
        {"Composition Block", 1},
        {"Data Block", storage_ == 2 ? ElementCount() : 0},
        {"Dynamic Size Block ", (flags_ & CaFlag::DynamicSize) != 0 ? 3 * d : 0},
        {"InputQuantity Block ", (flags_ & CaFlag::InputQuantity) != 0 ? 3 * d : 0},
        {"Output Quantity Block ", (flags_ & CaFlag::OutputQuantity) != 0 ? uint64_t{3} : 0},
        {"Comparison Quantity Block ", (flags_ & CaFlag::ComparisonQuantity) != 0 ? uint64_t{3} : 0},
        {"Axis Conversion Block ", axis ? d : 0},
        {"Axis Block ", axis && (flags_ & CaFlag::FixedAxis) == 0 ? 3 * d : 0},
    }};
    size_t section = 0;
    uint64_t section_end = sections[0].count;
    for (size_t i = 0; i < link_list_.size(); ++i) {
      while (section < sections.size() && i >= section_end) {
        ++section;
        if (section < sections.size()) section_end = SaturatingAdd(section_end, sections[section].count);
      }
      if (section >= sections.size()) break;  // links beyond the layout have no row
      const int64_t link = link_list_[i];
      const bool conversion = section == 6;
      std::string description;
      if (conversion && link == 0) {
        description = "1:1";
      } else {
        MdfBlock* target = nullptr;
        try {
          target = header->FindByPosition(link);
        } catch (const std::exception& error) {
          description = std::string("Link error. Error: ") + error.what();
        }
        if (target != nullptr) description = LinkDescription(target);
      }
      dest.emplace_back(sections[section].label, AddressToText(link), description, BlockItemType::LinkItem);
    }
  }
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Array Type", ArrayTypeText(type_));
  dest.emplace_back("Storage Type", ArrayStorageText(storage_));
  dest.emplace_back("Nof Dimensions", std::to_string(nof_dimensions_));
  dest.emplace_back("Flags", ArrayFlagsText(flags_));
  dest.emplace_back("Byte Offset", std::to_string(byte_offset_base_));
  dest.emplace_back("Invalid Bit Position", std::to_string(invalidation_bit_base_));
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
  for (size_t i = 0; i < shape_.size(); ++i) {
    dest.emplace_back("Dimension " + std::to_string(i) + " Size:", std::to_string(shape_[i]));
  }
  for (size_t i = 0; i < axis_values_.size(); ++i) {
    dest.emplace_back("Axis " + std::to_string(i) + ":", FixedPointText(axis_values_[i], 6));
  }
  for (size_t i = 0; i < cycle_counts_.size(); ++i) {
    dest.emplace_back("Cycle Count " + std::to_string(i) + ":", std::to_string(cycle_counts_[i]));
  }
}

}  // namespace mdf::detail
