#pragma once
// MDF4 channel conversion block "##CC". It owns its unit, its inverse and its references
// (texts or nested conversions); the numeric formulas are those of IChannelConversion.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "md4block.h"
#include "mdf/ichannelconversion.h"
#include "mdfblock.h"

namespace mdf::detail {

class ReadGuard;

class Cc4Block : public MdfBlock, public IChannelConversion {
 public:
  Cc4Block();
  ~Cc4Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] std::string Name() const override { return name_; }
  void SetName(const std::string& name) override { name_ = name; }
  /// The comment's display text.
  [[nodiscard]] std::string Description() const override { return CommentText(); }
  void SetDescription(const std::string& description) override;
  [[nodiscard]] std::string Unit() const override;
  void SetUnit(const std::string& unit) override;
  [[nodiscard]] bool IsUnitValid() const override { return Link(1) != 0; }

  [[nodiscard]] uint8_t Type() const override { return type_; }
  void SetType(uint8_t type) override { type_ = type; }
  [[nodiscard]] bool IsDecimalUsed() const override { return (flags_ & kDecimalFlag) != 0; }
  [[nodiscard]] uint8_t Decimals() const override { return IsDecimalUsed() ? precision_ : 17; }
  void SetDecimals(uint8_t decimals) override;

  IChannelConversion* CreateInverse() override;
  [[nodiscard]] IChannelConversion* Inverse() const override { return inverse_.get(); }
  [[nodiscard]] std::optional<std::pair<double, double>> Range() const override;
  /// Stores both; the range counts as valid only when min < max.
  void SetRange(double min, double max) override;
  [[nodiscard]] uint16_t Flags() const override { return flags_; }
  void SetFlags(uint16_t flags) override { flags_ = flags; }

  /// The text of reference 0 (the algebraic formula), "" when it is no text.
  [[nodiscard]] const std::string& Formula() const override;
  void SetFormula(const std::string& formula) override;
  [[nodiscard]] uint16_t NofReferences() const override { return nof_references_; }
  /// A text reference's text; "Not TX" for anything else, "Invalid" for a TX of another class.
  [[nodiscard]] std::string Reference(uint16_t index) const override;
  /// Grows the list with empty texts up to the index, then sets a text entry's text.
  void SetReference(uint16_t index, const std::string& text) override;

  bool ConvertValueToText(double x, std::string& out) const override;
  bool ConvertValueRangeToText(double x, std::string& out) const override;
  bool ConvertTextToValue(const std::string& x, double& out) const override;
  bool ConvertTextToText(const std::string& x, std::string& out) const override;

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// Reads the block with its name, unit, comment, inverse and references, as the root of
  /// its conversion tree.
  size_t Read(std::streambuf& buffer) override;
  /// Reads the block as a nested conversion of the tree that `conversions` guards.
  size_t ReadNested(std::streambuf& buffer, ReadGuard& conversions);
  /// Writes name, unit, comment, inverse and references first, then the block, once.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] uint8_t Precision() const { return precision_; }
  [[nodiscard]] const std::vector<std::unique_ptr<MdfBlock>>& References() const { return reference_list_; }

 private:
  static constexpr uint16_t kDecimalFlag = 0x0001;
  static constexpr uint16_t kRangeFlag = 0x0002;

  /// The loop bound of the text look-ups over the values.
  [[nodiscard]] size_t ValueBound() const;
  bool ReferenceOutput(size_t index, double x, std::string& out) const;

  uint8_t type_ = 0;
  uint8_t precision_ = 0;
  uint16_t flags_ = 0;
  uint16_t nof_references_ = 0;
  double range_min_ = 0.0;
  double range_max_ = 0.0;
  std::string name_;
  bool read_from_file_ = false;

  std::unique_ptr<Cc4Block> inverse_;
  std::unique_ptr<Md4Block> unit_;
  std::vector<std::unique_ptr<MdfBlock>> reference_list_;
};

}  // namespace mdf::detail
