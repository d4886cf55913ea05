#include "cc3block.h"

#include <array>

#include "mdf/channeltypes.h"
#include "mdf/numbertext.h"
#include "mdf3block.h"
#include "tx3block.h"

namespace mdf::detail {

namespace {

// Fixed part of the block: header, range valid, minimum, maximum, unit, type.
constexpr size_t kFixedSize = 44;
// The count field follows it.
constexpr size_t kCountedSize = kFixedSize + 2;
constexpr size_t kUnitSize = 20;
constexpr size_t kRealSize = 8;
constexpr size_t kTableTextSize = 32;
// The formula's text field, zero-terminated: the count tells the characters before the zero.
constexpr size_t kFormulaSize = 256;
constexpr size_t kTextEntrySize = kRealSize + kTableTextSize;
constexpr size_t kRangeEntrySize = 2 * kRealSize + kMdf3LinkSize;
// Decimals of the property rows' numbers.
constexpr uint8_t kRowDecimals = 6;

// What follows the count of each MDF 3 type.
enum class Data : uint8_t { kNone, kReals, kPairs, kFormula, kTextTable, kTextRangeTable };

struct TypeInfo {
  uint16_t mdf3;
  uint8_t library;
  const char* name;
  Data data;
};

// One table for the names, the library types both ways and the data of each type.
constexpr std::array<TypeInfo, 13> kTypes = {{
    {Cc3Block::kLinear, kLinearConversion, "Linear", Data::kReals},
    {Cc3Block::kTabularInterpolation, kInterpolatedTableConversion, "Tabular Interpolation", Data::kPairs},
    {Cc3Block::kTabular, kValueTableConversion, "Tabular", Data::kPairs},
    {Cc3Block::kPolynomial, kPolynomialConversion, "Polynomial", Data::kReals},
    {Cc3Block::kExponential, kExponentialConversion, "Exponential", Data::kReals},
    {Cc3Block::kLogarithmic, kLogarithmicConversion, "Logarithmic", Data::kReals},
    {Cc3Block::kRational, kRationalConversion, "Rational", Data::kReals},
    {Cc3Block::kFormula, kAlgebraicConversion, "Formula", Data::kFormula},
    {Cc3Block::kTextTable, kValueToTextConversion, "Text Table", Data::kTextTable},
    {Cc3Block::kTextRangeTable, kRangeToTextConversion, "Text Range Table", Data::kTextRangeTable},
    {Cc3Block::kDate, kCanOpenDateConversion, "Date", Data::kNone},
    {Cc3Block::kTime, kCanOpenTimeConversion, "Time", Data::kNone},
    {Cc3Block::kNoConversion, kOneToOneConversion, "No Conversion", Data::kNone},
}};

constexpr TypeInfo kUnknownType = {0, kOneToOneConversion, "Unknown", Data::kNone};

const TypeInfo& InfoOf(uint16_t mdf3) {
  for (const auto& info : kTypes) {
    if (info.mdf3 == mdf3) return info;
  }
  return kUnknownType;
}

std::string RowNumber(double value) { return FormatNumberText(value, kRowDecimals); }

}  // namespace

std::unique_ptr<Cc3Block> MakeCc3Block() { return std::make_unique<Cc3Block>(); }

std::string Cc3TypeName(uint16_t type) { return InfoOf(type).name; }

uint8_t Cc3Block::Type() const { return InfoOf(conversion_type_).library; }

void Cc3Block::SetType(uint8_t type) {
  conversion_type_ = kNoConversion;
  for (const auto& info : kTypes) {
    if (info.library == type) {
      conversion_type_ = info.mdf3;
      return;
    }
  }
}

void Cc3Block::PhysicalRange(bool valid, double min, double max) {
  range_valid_ = valid;
  range_min_ = min;
  range_max_ = max;
}

bool Cc3Block::ConvertValueToText(double x, std::string& out) const {
  for (const auto& entry : text_table_) {
    if (entry.value == x) {
      out = entry.text;
      return true;
    }
  }
  return false;
}

bool Cc3Block::ConvertValueRangeToText(double x, std::string& out) const {
  if (text_range_table_.empty()) return false;
  const bool integer = IsChannelInteger();
  const bool floating = IsChannelFloat();
  for (size_t i = 1; i < text_range_table_.size(); ++i) {
    const auto& entry = text_range_table_[i];
    const bool match =
        (integer && entry.lower <= x && x <= entry.upper) || (floating && entry.lower <= x && x < entry.upper);
    if (match) {
      out = entry.text;
      return true;
    }
  }
  out = text_range_table_.front().text;
  return true;
}

void Cc3Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("Range Valid", BoolText(range_valid_));
  dest.emplace_back("Range Min", RowNumber(range_min_));
  dest.emplace_back("Range Max", RowNumber(range_max_));
  dest.emplace_back("Unit", unit_);
  dest.emplace_back("Conversion Type", std::to_string(conversion_type_), Cc3TypeName(conversion_type_));
  dest.emplace_back("Nof Values", std::to_string(nof_values_));
  if (!formula_.empty()) dest.emplace_back("Formula", formula_);
  for (size_t i = 0; i < value_list_.size(); ++i) {
    dest.emplace_back("Parameter", RowNumber(ParameterAsDouble(static_cast<uint16_t>(i))));
  }
  for (const auto& entry : text_table_) {
    dest.emplace_back("Parameter", RowNumber(entry.value));
    dest.emplace_back("Text", entry.text);
  }
  for (const auto& entry : text_range_table_) {
    dest.emplace_back("Lower", RowNumber(entry.lower));
    dest.emplace_back("Upper", RowNumber(entry.upper));
    dest.emplace_back("Text", entry.text);
  }
}

size_t Cc3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadBool16(buffer, range_valid_);
  bytes += ReadValue(buffer, range_min_);
  bytes += ReadValue(buffer, range_max_);
  bytes += ReadMdf3Text(buffer, unit_, kUnitSize);
  bytes += ReadNumber(buffer, conversion_type_);
  if (bytes < block_size_) {
    bytes += ReadNumber(buffer, nof_values_);
  }
  value_list_.clear();
  formula_.clear();
  text_table_.clear();
  text_range_table_.clear();
  if (nof_values_ == 0) return bytes;

  // The lists grow as entries are read: the block size bounds them, not the count.
  const auto entries = [&](size_t entry_size) { return EntriesInBlock(*this, bytes, nof_values_, entry_size); };
  switch (InfoOf(conversion_type_).data) {
    case Data::kReals:
    case Data::kPairs: {
      const size_t per_entry = InfoOf(conversion_type_).data == Data::kPairs ? 2 : 1;
      const uint64_t count = entries(per_entry * kRealSize);
      for (uint64_t i = 0; i < count * per_entry; ++i) {
        double value = 0.0;
        bytes += ReadValue(buffer, value);
        value_list_.emplace_back(value);
      }
      break;
    }
    case Data::kFormula:
      bytes += ReadMdf3Text(buffer, formula_, entries(1));
      break;
    case Data::kTextTable:
      for (uint64_t i = 0, count = entries(kTextEntrySize); i < count; ++i) {
        TextEntry entry;
        bytes += ReadValue(buffer, entry.value);
        bytes += ReadMdf3Text(buffer, entry.text, kTableTextSize);
        text_table_.push_back(std::move(entry));
      }
      break;
    case Data::kTextRangeTable:
      for (uint64_t i = 0, count = entries(kRangeEntrySize); i < count; ++i) {
        TextRangeEntry entry;
        bytes += ReadValue(buffer, entry.lower);
        bytes += ReadValue(buffer, entry.upper);
        bytes += ReadNumber(buffer, entry.link);
        text_range_table_.push_back(std::move(entry));
      }
      break;
    case Data::kNone:
      break;
  }
  // The texts are leaves: a link may point anywhere, but leads no further.
  for (auto& entry : text_range_table_) {
    if (entry.link == 0) continue;
    Tx3Block text;
    text.AttachToParent(this);
    SetStreamPosition(buffer, entry.link);
    text.Read(buffer);
    entry.text = text.Text();
  }
  return bytes;
}

size_t Cc3Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) return block_size_;

  // Count, size and texts are checked before anything is written, so a block that does not
  // fit its 16-bit fields leaves nothing behind.
  const Data data = InfoOf(conversion_type_).data;
  uint64_t count = 0;
  uint64_t data_size = 0;
  switch (data) {
    case Data::kReals:
      count = value_list_.size();
      data_size = kRealSize * value_list_.size();
      break;
    case Data::kPairs:
      count = value_list_.size() / 2;
      data_size = kRealSize * value_list_.size();
      break;
    case Data::kFormula:
      // Readers that take the whole field need its terminating zero.
      if (formula_.size() >= kFormulaSize) throw MdfRuntimeError("Conversion block does not fit an MDF 3 block");
      count = formula_.size();
      data_size = kFormulaSize;
      break;
    case Data::kTextTable:
      count = text_table_.size();
      data_size = kTextEntrySize * text_table_.size();
      break;
    case Data::kTextRangeTable:
      count = text_range_table_.size();
      data_size = kRangeEntrySize * text_range_table_.size();
      break;
    case Data::kNone:
      break;
  }
  const uint16_t nof_values = Mdf3Field16(count, "Conversion count");
  const uint16_t size = Mdf3Field16(kCountedSize + data_size, "Conversion block");
  for (const auto& entry : text_range_table_) Tx3Block::CheckSize(entry.text);

  for (auto& entry : text_range_table_) {
    entry.link = 0;
    if (entry.text.empty()) continue;
    Tx3Block text(entry.text);
    text.AttachToParent(this);
    text.Write(buffer);
    entry.link = static_cast<uint32_t>(text.FilePosition());
  }

  block_id_ = "CC";
  block_size_ = size;
  block_length_ = size;
  link_list_.clear();
  size_t bytes = MdfBlock::Write(buffer);
  bytes += WriteBool16(buffer, range_valid_);
  bytes += WriteValue(buffer, range_min_);
  bytes += WriteValue(buffer, range_max_);
  bytes += WriteFixedText(buffer, unit_, kUnitSize);
  bytes += WriteNumber(buffer, conversion_type_);
  nof_values_ = nof_values;
  bytes += WriteNumber(buffer, nof_values_);
  switch (data) {
    case Data::kReals:
    case Data::kPairs:
      for (size_t i = 0; i < value_list_.size(); ++i) {
        bytes += WriteValue(buffer, ParameterAsDouble(static_cast<uint16_t>(i)));
      }
      break;
    case Data::kFormula:
      bytes += WriteFixedText(buffer, formula_, kFormulaSize);
      break;
    case Data::kTextTable:
      for (const auto& entry : text_table_) {
        bytes += WriteValue(buffer, entry.value);
        bytes += WriteFixedText(buffer, entry.text, kTableTextSize);
      }
      break;
    case Data::kTextRangeTable:
      for (const auto& entry : text_range_table_) {
        bytes += WriteValue(buffer, entry.lower);
        bytes += WriteValue(buffer, entry.upper);
        bytes += WriteNumber(buffer, entry.link);
      }
      break;
    case Data::kNone:
      break;
  }
  return bytes;
}

}  // namespace mdf::detail
