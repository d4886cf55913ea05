#include "cc4block.h"

#include <algorithm>
#include <array>

#include "damage.h"
#include "flagtext.h"
#include "mdf/channeltypes.h"
#include "mdf/imetadata.h"
#include "mdf/mdflogstream.h"
#include "mdf/numbertext.h"
#include "readguard.h"
#include "tx4block.h"

namespace mdf::detail {

namespace {

constexpr size_t kNameLink = 0;
constexpr size_t kUnitLink = 1;
constexpr size_t kCommentLink = 2;
constexpr size_t kInverseLink = 3;
constexpr size_t kFirstReferenceLink = 4;
constexpr uint64_t kFixedLength = 80;  // header, four links and the data before the values

// A text reference whose text can be replaced.
class TextReference : public Tx4Block {
 public:
  explicit TextReference(std::string text = {}) : Tx4Block(std::move(text)) { block_id_ = "##TX"; }
  void SetText(const std::string& text) { SetRawText(text); }
};

std::string TypeText(uint8_t type) {
  static constexpr std::array<const char*, 12> kTexts = {"1:1",
                                                         "Linear",
                                                         "Rational",
                                                         "Algebraic",
                                                         "Value to Value, Interpolation",
                                                         "Value to Value",
                                                         "Value Range to Value",
                                                         "Value to Text",
                                                         "Value Range to Text",
                                                         "Text to Value",
                                                         "Text to Text",
                                                         "Bitfield to Text"};
  return type < kTexts.size() ? kTexts[type] : "Unknown";
}

std::string FlagsText(uint16_t flags) {
  static constexpr std::array<const char*, 3> kWords = {"Decimal", "Range", "Status"};
  return FlagNamesText(flags, kWords);
}

const Tx4Block* AsText(const MdfBlock* block) {
  return block != nullptr && block->BlockType() == "TX" ? dynamic_cast<const Tx4Block*>(block) : nullptr;
}

}  // namespace

Cc4Block::Cc4Block() { block_id_ = "##CC"; }

Cc4Block::~Cc4Block() = default;

void Cc4Block::SetDescription(const std::string& description) {
  if (IMetaData* metadata = MakeMetaData()) {
    metadata->SetElementValue("TX", description);
  }
}

std::string Cc4Block::Unit() const {
  if (!unit_) return {};
  return unit_->IsTxBlock() ? unit_->FullText() : unit_->Text();
}

void Cc4Block::SetUnit(const std::string& unit) { unit_ = std::make_unique<Md4Block>(unit); }

void Cc4Block::SetDecimals(uint8_t decimals) {
  flags_ |= kDecimalFlag;
  precision_ = decimals;
}

IChannelConversion* Cc4Block::CreateInverse() {
  auto inverse = std::make_unique<Cc4Block>();
  inverse->AttachToParent(this);
  inverse_ = std::move(inverse);
  return inverse_.get();
}

std::optional<std::pair<double, double>> Cc4Block::Range() const {
  if ((flags_ & kRangeFlag) == 0) return std::nullopt;
  return std::make_pair(range_min_, range_max_);
}

void Cc4Block::SetRange(double min, double max) {
  range_min_ = min;
  range_max_ = max;
  if (min < max) flags_ |= kRangeFlag;
}

const std::string& Cc4Block::Formula() const {
  const auto* text = reference_list_.empty() ? nullptr : dynamic_cast<const Tx4Block*>(reference_list_[0].get());
  formula_ = text != nullptr ? text->FullText() : std::string();
  return formula_;
}

void Cc4Block::SetFormula(const std::string& formula) {
  if (reference_list_.empty()) {
    reference_list_.push_back(std::make_unique<TextReference>());
  }
  if (auto* text = dynamic_cast<TextReference*>(reference_list_[0].get())) {
    text->SetText(formula);
  }
  formula_ = formula;
}

std::string Cc4Block::Reference(uint16_t index) const {
  if (index >= reference_list_.size() || !reference_list_[index] || reference_list_[index]->BlockType() != "TX") {
    return "Not TX";
  }
  const auto* text = dynamic_cast<const Tx4Block*>(reference_list_[index].get());
  return text != nullptr ? text->FullText() : "Invalid";
}

void Cc4Block::SetReference(uint16_t index, const std::string& text) {
  while (reference_list_.size() <= index) {
    reference_list_.push_back(std::make_unique<TextReference>());
  }
  if (auto* reference = dynamic_cast<TextReference*>(reference_list_[index].get())) {
    reference->SetText(text);
  }
}

size_t Cc4Block::ValueBound() const {
  // A block read from a file is bounded by its stored count as well; one built in memory
  // has no stored count until it is written, so its lists alone bound the search.
  return read_from_file_ ? std::min<size_t>(nof_values_, value_list_.size()) : value_list_.size();
}

bool Cc4Block::ReferenceOutput(size_t index, double x, std::string& out) const {
  if (index >= reference_list_.size()) return false;
  const MdfBlock* reference = reference_list_[index].get();
  if (reference == nullptr) {
    out.clear();
    return true;
  }
  const std::string type = reference->BlockType();
  if (type == "TX") {
    const auto* text = dynamic_cast<const Tx4Block*>(reference);
    if (text == nullptr) return false;
    out = text->FullText();
    return true;
  }
  if (type == "CC") {
    const auto* nested = dynamic_cast<const IChannelConversion*>(reference);
    return nested != nullptr && nested->ValueToText(x, out);
  }
  return false;
}

bool Cc4Block::ConvertValueToText(double x, std::string& out) const {
  if (reference_list_.empty()) return false;
  size_t index = reference_list_.size() - 1;  // the default
  const size_t bound = ValueBound();
  for (size_t i = 0; i < bound; ++i) {
    if (x == ParameterAsDouble(static_cast<uint16_t>(i))) {  // NaN equals nothing
      index = i;
      break;
    }
  }
  return ReferenceOutput(index, x, out);
}

bool Cc4Block::ConvertValueRangeToText(double x, std::string& out) const {
  if (reference_list_.empty()) return false;
  size_t index = reference_list_.size() - 1;
  const bool integer = IsChannelInteger();
  const bool floating = IsChannelFloat();
  const size_t bound = ValueBound();
  for (size_t i = 0; (integer || floating) && i < bound; ++i) {
    if (2 * i + 1 >= value_list_.size()) break;
    const double lower = ParameterAsDouble(static_cast<uint16_t>(2 * i));
    const double upper = ParameterAsDouble(static_cast<uint16_t>(2 * i + 1));
    if (integer ? (lower <= x && x <= upper) : (lower <= x && x < upper)) {
      index = i;
      break;
    }
  }
  return ReferenceOutput(index, x, out);
}

bool Cc4Block::ConvertTextToValue(const std::string& x, double& out) const {
  if (value_list_.empty()) return false;
  size_t index = value_list_.size() - 1;  // the default value
  const size_t bound = std::min(ValueBound(), reference_list_.size());
  for (size_t i = 0; i < bound; ++i) {
    const Tx4Block* key = AsText(reference_list_[i].get());
    if (key == nullptr) return false;
    if (key->FullText() == x) {
      index = i;
      break;
    }
  }
  out = ParameterAsDouble(static_cast<uint16_t>(index));
  return true;
}

bool Cc4Block::ConvertTextToText(const std::string& x, std::string& out) const {
  if (reference_list_.empty()) return false;
  size_t index = reference_list_.size() - 1;
  for (size_t key_index = 0; key_index + 1 < reference_list_.size(); key_index += 2) {
    const Tx4Block* key = AsText(reference_list_[key_index].get());
    if (key == nullptr) return false;
    if (key->FullText() == x) {
      index = key_index + 1;
      break;
    }
  }
  const Tx4Block* output = AsText(reference_list_[index].get());
  if (output == nullptr) return false;
  out = output->FullText();
  return true;
}

void Cc4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Links", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Name TX", AddressToText(Link(kNameLink)), name_, BlockItemType::LinkItem);
  dest.emplace_back("Unit TX/MD", AddressToText(Link(kUnitLink)), unit_ ? unit_->Text() : "<Invalid>",
                    BlockItemType::LinkItem);
  dest.emplace_back("Comment MD", AddressToText(Link(kCommentLink)), CommentText(), BlockItemType::LinkItem);
  dest.emplace_back("Inverse CC", AddressToText(Link(kInverseLink)), "Link to inverse formula",
                    BlockItemType::LinkItem);
  for (const auto& reference : reference_list_) {
    if (!reference) continue;
    const std::string type = reference->BlockType();
    if (type == "TX") {
      const auto* text = dynamic_cast<const Tx4Block*>(reference.get());
      dest.emplace_back("Reference Link TX", AddressToText(reference->FilePosition()),
                        text != nullptr ? text->FullText() : std::string(), BlockItemType::LinkItem);
    } else if (type == "CC") {
      const auto* nested = dynamic_cast<const Cc4Block*>(reference.get());
      dest.emplace_back("Reference Link CC", AddressToText(reference->FilePosition()),
                        nested != nullptr ? nested->Name() : std::string(), BlockItemType::LinkItem);
    }
  }
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  if (Link(kNameLink) > 0) dest.emplace_back("Name", name_);
  if (Link(kUnitLink) > 0) dest.emplace_back("Unit", Unit());
  if (precision_ != 255) dest.emplace_back("Nof Decimals", std::to_string(precision_));
  dest.emplace_back("Conversion Type", TypeText(type_));
  dest.emplace_back("Flags", FlagsText(flags_));
  dest.emplace_back("Nof References", std::to_string(nof_references_));
  dest.emplace_back("Nof Values", std::to_string(nof_values_));
  dest.emplace_back("Min Range", DoubleToText(range_min_));
  dest.emplace_back("Max Range", DoubleToText(range_max_));
  for (size_t i = 0; i < value_list_.size(); ++i) {
    dest.emplace_back("Value " + std::to_string(i), DoubleToText(ParameterAsDouble(static_cast<uint16_t>(i))));
  }
  if (comment_) {
    comment_->GetBlockProperty(dest);
  }
}

MdfBlock* Cc4Block::FindByPosition(int64_t position) {
  if (inverse_) {
    if (MdfBlock* found = inverse_->FindByPosition(position)) return found;
  }
  if (unit_) {
    if (MdfBlock* found = unit_->FindByPosition(position)) return found;
  }
  for (const auto& reference : reference_list_) {
    if (!reference) continue;
    if (MdfBlock* found = reference->FindByPosition(position)) return found;
  }
  return MdfBlock::FindByPosition(position);
}

size_t Cc4Block::Read(std::streambuf& buffer) {
  // Nested conversions (inverse and references) may point anywhere in a damaged file: they
  // may loop back, nest without end or fan out to the same block many times over.
  ReadGuard conversions(Nesting::kConversion, GetStreamPosition(buffer));
  return ReadNested(buffer, conversions);
}

size_t Cc4Block::ReadNested(std::streambuf& buffer, ReadGuard& conversions) {
  size_t bytes = ReadMdf4Header(buffer);
  bytes += ReadByte(buffer, type_);
  bytes += ReadByte(buffer, precision_);
  bytes += ReadNumber(buffer, flags_);
  bytes += ReadNumber(buffer, nof_references_);
  bytes += ReadNumber(buffer, nof_values_);
  CheckCountedLinks(nof_references_);
  bytes += ReadValue(buffer, range_min_);
  bytes += ReadValue(buffer, range_max_);

  value_list_.clear();
  for (uint16_t i = 0; i < nof_values_; ++i) {
    if (type_ == kBitfieldTextConversion) {
      uint64_t mask = 0;
      bytes += ReadNumber(buffer, mask);
      value_list_.emplace_back(mask);
    } else {
      double value = 0.0;
      bytes += ReadValue(buffer, value);
      value_list_.emplace_back(value);
    }
  }
  read_from_file_ = true;

  name_ = LoadTx4Text(buffer, kNameLink);
  if (type_ > kBitfieldTextConversion) {
    // MDF 4 conversions have the types up to this one; a value through another is not known.
    MDF_DAMAGE(Damage::kUnreadableBlock) << "Unknown conversion type. Conversion: " << name_
                                         << ", Type: " << std::to_string(type_)
                                         << ", Block: " << AddressToText(file_position_);
  }

  if (Link(kUnitLink) > 0) {
    SetStreamPosition(buffer, Link(kUnitLink));
    auto unit = std::make_unique<Md4Block>();
    unit->AttachToParent(this);
    unit->Read(buffer);
    unit_ = std::move(unit);
  }

  LoadMdComment(buffer, kCommentLink);

  if (Link(kInverseLink) > 0 && conversions.MayEnter(file_position_, Link(kInverseLink))) {
    SetStreamPosition(buffer, Link(kInverseLink));
    auto inverse = std::make_unique<Cc4Block>();
    inverse->AttachToParent(this);
    const ReadGuard::Level level(conversions, Link(kInverseLink));
    inverse->ReadNested(buffer, conversions);
    inverse_ = std::move(inverse);
  }

  if (reference_list_.empty()) {
    for (size_t j = 0; j < nof_references_; ++j) {
      const int64_t link = Link(kFirstReferenceLink + j);
      if (link <= 0) {
        reference_list_.emplace_back();
        continue;
      }
      SetStreamPosition(buffer, link);
      const std::string type = ReadBlockTypeText(buffer);
      SetStreamPosition(buffer, link);
      if (type == "TX") {
        auto text = std::make_unique<TextReference>();
        text->AttachToParent(this);
        text->Read(buffer);
        reference_list_.push_back(std::move(text));
      } else if (type == "CC" && conversions.MayEnter(file_position_, link)) {
        auto nested = std::make_unique<Cc4Block>();
        nested->AttachToParent(this);
        nested->SetChannelDataType(channel_data_type_);
        const ReadGuard::Level level(conversions, link);
        nested->ReadNested(buffer, conversions);
        reference_list_.push_back(std::move(nested));
      } else {
        reference_list_.emplace_back();
      }
    }
  }
  return bytes;
}

size_t Cc4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return static_cast<size_t>(block_length_);
  }
  if (reference_list_.size() > 0xFFFF || value_list_.size() > 0xFFFF) {
    throw MdfRuntimeError("Too many conversion references or values");
  }
  nof_references_ = static_cast<uint16_t>(reference_list_.size());
  nof_values_ = static_cast<uint16_t>(value_list_.size());
  block_id_ = "##CC";
  block_length_ = kFixedLength + 8 * (static_cast<uint64_t>(nof_references_) + nof_values_);
  link_list_.resize(kFirstReferenceLink + nof_references_, 0);

  StoreTx4Text(buffer, kNameLink, name_);
  if (unit_ && unit_->FilePosition() <= 0) {
    unit_->Write(buffer);
    PatchLink(buffer, kUnitLink, unit_->FilePosition());
  }
  StoreMdComment(buffer, kCommentLink);
  if (inverse_ && inverse_->FilePosition() <= 0) {
    inverse_->Write(buffer);
    PatchLink(buffer, kInverseLink, inverse_->FilePosition());
  }
  for (size_t i = 0; i < reference_list_.size(); ++i) {
    auto& reference = reference_list_[i];
    if (reference && reference->FilePosition() <= 0) {
      reference->Write(buffer);
      PatchLink(buffer, kFirstReferenceLink + i, reference->FilePosition());
    }
  }

  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteByte(buffer, type_);
  bytes += WriteByte(buffer, precision_);
  bytes += WriteNumber(buffer, flags_);
  bytes += WriteNumber(buffer, nof_references_);
  bytes += WriteNumber(buffer, nof_values_);
  bytes += WriteValue(buffer, range_min_);
  bytes += WriteValue(buffer, range_max_);
  for (const auto& value : value_list_) {
    if (const auto* mask = std::get_if<uint64_t>(&value)) {
      bytes += WriteNumber(buffer, *mask);
    } else if (const auto* real = std::get_if<double>(&value)) {
      bytes += WriteValue(buffer, *real);
    } else {
      bytes += WriteValue(buffer, 0.0);
    }
  }
  PatchBlockLength(buffer, bytes);
  return bytes;
}

}  // namespace mdf::detail
