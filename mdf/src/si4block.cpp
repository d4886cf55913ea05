#include "si4block.h"

#include <array>

#include "mdf/imetadata.h"

namespace mdf::detail {

namespace {

constexpr uint64_t kBlockLength = 56;
constexpr size_t kNameLink = 0;
constexpr size_t kPathLink = 1;
constexpr size_t kCommentLink = 2;
constexpr uint8_t kSimulated = 0x01;

std::string SourceTypeText(uint8_t type) {
  static constexpr std::array<const char*, 6> kTexts = {"Other", "ECU", "Bus", "I/O", "Tool", "User"};
  return type < kTexts.size() ? kTexts[type] : "Unknown";
}

std::string BusTypeText(uint8_t bus) {
  static constexpr std::array<const char*, 9> kTexts = {"",        "Other",  "CAN",      "LIN", "MOST",
                                                        "FlexRay", "K-Line", "Ethernet", "USB"};
  return bus < kTexts.size() ? kTexts[bus] : "Unknown";
}

}  // namespace

Si4Block::Si4Block() { block_id_ = "##SI"; }

std::string Si4Block::Description() const {
  const IMetaData* metadata = MetaDataInterface();
  return metadata != nullptr ? metadata->ElementValue("TX") : std::string();
}

void Si4Block::Description(const std::string& description) {
  if (IMetaData* metadata = MakeMetaData()) {
    metadata->SetElementValue("TX", description);
  }
}

void Si4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Name TX", AddressToText(Link(kNameLink)), name_, BlockItemType::LinkItem);
  dest.emplace_back("Path TX", AddressToText(Link(kPathLink)), path_, BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Name", name_);
  dest.emplace_back("Path", path_);
  dest.emplace_back("Source Type", SourceTypeText(type_));
  dest.emplace_back("Bus Type", BusTypeText(bus_));
  dest.emplace_back("Flags", (flags_ & kSimulated) != 0 ? "Simulated" : "");
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

size_t Si4Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadByte(buffer, type_);
  bytes += ReadByte(buffer, bus_);
  bytes += ReadByte(buffer, flags_);
  ByteArray reserved;
  bytes += ReadBytes(buffer, reserved, 5);
  name_ = LoadTx4Text(buffer, kNameLink);
  path_ = LoadTx4Text(buffer, kPathLink);
  LoadMdComment(buffer, kCommentLink);
  return bytes;
}

size_t Si4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return static_cast<size_t>(block_length_);
  }
  block_id_ = "##SI";
  block_length_ = kBlockLength;
  link_list_.resize(3, 0);
  StoreTx4Text(buffer, kNameLink, name_);
  StoreTx4Text(buffer, kPathLink, path_);
  StoreMdComment(buffer, kCommentLink);
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteByte(buffer, type_);
  bytes += WriteByte(buffer, bus_);
  bytes += WriteByte(buffer, flags_);
  bytes += WriteZeroBytes(buffer, 5);
  PatchBlockLength(buffer, bytes);
  return bytes;
}

}  // namespace mdf::detail
