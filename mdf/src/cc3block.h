#pragma once
// MDF 3 conversion block "CC". It keeps the MDF 3 parameters in the interface's parameter
// list and reports the library's type codes, so that the formulas of IChannelConversion
// apply unchanged; only the two text look-ups are its own.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mdf/ichannelconversion.h"
#include "mdfblock.h"

namespace mdf::detail {

class Cc3Block : public MdfBlock, public IChannelConversion {
 public:
  // The MDF 3 conversion type codes.
  static constexpr uint16_t kLinear = 0;
  static constexpr uint16_t kTabularInterpolation = 1;
  static constexpr uint16_t kTabular = 2;
  static constexpr uint16_t kPolynomial = 6;
  static constexpr uint16_t kExponential = 7;
  static constexpr uint16_t kLogarithmic = 8;
  static constexpr uint16_t kRational = 9;
  static constexpr uint16_t kFormula = 10;
  static constexpr uint16_t kTextTable = 11;
  static constexpr uint16_t kTextRangeTable = 12;
  static constexpr uint16_t kDate = 132;
  static constexpr uint16_t kTime = 133;
  static constexpr uint16_t kNoConversion = 65535;

  struct TextEntry {
    double value = 0.0;
    std::string text;
  };
  /// Entry 0 of a text range table is the default.
  struct TextRangeEntry {
    double lower = 0.0;
    double upper = 0.0;
    uint32_t link = 0;  ///< the TX block holding the text
    std::string text;
  };

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  /// MDF 3 comments are plain texts: no metadata.
  IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return nullptr; }

  // An MDF 3 conversion has no name, description, inverse, flags, range or references.
  [[nodiscard]] std::string Name() const override { return {}; }
  void SetName(const std::string& /* name */) override {}
  [[nodiscard]] std::string Description() const override { return {}; }
  void SetDescription(const std::string& /* description */) override {}
  [[nodiscard]] std::string Unit() const override { return unit_; }
  void SetUnit(const std::string& unit) override { unit_ = unit; }
  [[nodiscard]] bool IsUnitValid() const override { return true; }

  /// The library type of the MDF 3 type; 0 for an unknown one.
  [[nodiscard]] uint8_t Type() const override;
  /// The MDF 3 type of the library type; 65535 (no conversion) for one MDF 3 lacks.
  void SetType(uint8_t type) override;
  [[nodiscard]] bool IsDecimalUsed() const override { return false; }
  [[nodiscard]] uint8_t Decimals() const override { return 17; }
  void SetDecimals(uint8_t /* decimals */) override {}

  IChannelConversion* CreateInverse() override { return nullptr; }
  [[nodiscard]] IChannelConversion* Inverse() const override { return nullptr; }
  [[nodiscard]] std::optional<std::pair<double, double>> Range() const override { return std::nullopt; }
  void SetRange(double /* min */, double /* max */) override {}
  [[nodiscard]] uint16_t Flags() const override { return 0; }
  void SetFlags(uint16_t /* flags */) override {}
  [[nodiscard]] uint16_t NofReferences() const override { return 0; }
  [[nodiscard]] std::string Reference(uint16_t /* index */) const override { return {}; }
  void SetReference(uint16_t /* index */, const std::string& /* text */) override {}

  /// The text of the first entry whose value equals x exactly; false (out untouched) for none.
  bool ConvertValueToText(double x, std::string& out) const override;
  /// The first entry after the default whose range holds x, else the default; the upper
  /// bound counts for integer channels (which an MDF 3 conversion always assumes).
  bool ConvertValueRangeToText(double x, std::string& out) const override;
  bool ConvertTextToValue(const std::string& /* x */, double& /* out */) const override { return false; }
  bool ConvertTextToText(const std::string& /* x */, std::string& /* out */) const override { return false; }

  /// "Information" rows after the header rows.
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Reads the block and the texts of its range table; a count beyond the block reads what
  /// fits. Returns the bytes of the CC block itself.
  size_t Read(std::streambuf& buffer) override;
  /// Writes the range table's texts, then the block, once; later calls return its size. A
  /// formula fills the 256-byte text field, zero-terminated, its count being its length.
  /// Throws before writing anything when the block or its count does not fit 16 bits, or a
  /// formula its field.
  size_t Write(std::streambuf& buffer) override;

  /// The MDF 3 type code.
  [[nodiscard]] uint16_t ConversionType() const { return conversion_type_; }
  void ConversionType(uint16_t type) { conversion_type_ = type; }
  [[nodiscard]] bool RangeValid() const { return range_valid_; }
  [[nodiscard]] double RangeMin() const { return range_min_; }
  [[nodiscard]] double RangeMax() const { return range_max_; }
  /// The physical range of the block's own fields.
  void PhysicalRange(bool valid, double min, double max);
  [[nodiscard]] const std::vector<TextEntry>& TextTable() const { return text_table_; }
  [[nodiscard]] std::vector<TextEntry>& TextTable() { return text_table_; }
  [[nodiscard]] const std::vector<TextRangeEntry>& TextRangeTable() const { return text_range_table_; }
  [[nodiscard]] std::vector<TextRangeEntry>& TextRangeTable() { return text_range_table_; }

 private:
  std::vector<TextEntry> text_table_;
  std::vector<TextRangeEntry> text_range_table_;
  bool range_valid_ = false;
  double range_min_ = 0.0;
  double range_max_ = 0.0;
  std::string unit_;
  uint16_t conversion_type_ = kNoConversion;
};

/// A new conversion: version 420, little endian, no conversion (type 65535).
[[nodiscard]] std::unique_ptr<Cc3Block> MakeCc3Block();

/// The display name of an MDF 3 conversion type ("Linear" ... "No Conversion"); "Unknown"
/// for a type without one.
[[nodiscard]] std::string Cc3TypeName(uint16_t type);

}  // namespace mdf::detail
