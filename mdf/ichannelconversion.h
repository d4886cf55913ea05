#pragma once
// Public interface of a channel conversion (MDF4 CC block, MDF3 CC block). The numeric
// formulas and table look-ups live here and are shared by both block kinds; the blocks
// supply the type, the display precision, the text look-ups and their own storage.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "mdf/channeltypes.h"
#include "mdf/iblock.h"
#include "mdf/numberconversion.h"
#include "mdf/numbertext.h"

namespace mdf {

/// One conversion value: an unsigned 64-bit mask (bit-field text conversions) or a double.
using ConversionParameter = std::variant<uint64_t, double>;

class IChannelConversion : public IBlock {
 public:
  ~IChannelConversion() override = default;

  [[nodiscard]] virtual std::string Name() const = 0;
  virtual void SetName(const std::string& name) = 0;
  [[nodiscard]] virtual std::string Description() const = 0;
  virtual void SetDescription(const std::string& description) = 0;
  [[nodiscard]] virtual std::string Unit() const = 0;
  virtual void SetUnit(const std::string& unit) = 0;
  [[nodiscard]] virtual bool IsUnitValid() const = 0;

  /// Conversion type: 0 one to one, 1 linear, 2 rational, 3 algebraic, 4 value to value
  /// with interpolation, 5 value to value, 6 value range to value, 7 value to text,
  /// 8 value range to text, 9 text to value, 10 text to text, 11 bit-field text,
  /// 30 polynomial, 31 exponential, 32 logarithmic (MDF3), 33 CANopen date, 34 CANopen time
  /// (the k...Conversion codes of channeltypes.h).
  [[nodiscard]] virtual uint8_t Type() const = 0;
  virtual void SetType(uint8_t type) = 0;
  [[nodiscard]] virtual bool IsDecimalUsed() const = 0;
  [[nodiscard]] virtual uint8_t Decimals() const = 0;
  virtual void SetDecimals(uint8_t decimals) = 0;

  virtual IChannelConversion* CreateInverse() = 0;
  [[nodiscard]] virtual IChannelConversion* Inverse() const = 0;
  [[nodiscard]] virtual std::optional<std::pair<double, double>> Range() const = 0;
  virtual void SetRange(double min, double max) = 0;
  [[nodiscard]] virtual uint16_t Flags() const = 0;
  virtual void SetFlags(uint16_t flags) = 0;

  /// Plain access to the interface's formula text; the MDF4 block keeps it in reference 0.
  [[nodiscard]] virtual const std::string& Formula() const { return formula_; }
  virtual void SetFormula(const std::string& formula) { formula_ = formula; }

  [[nodiscard]] virtual uint16_t NofReferences() const = 0;
  [[nodiscard]] virtual std::string Reference(uint16_t index) const = 0;
  virtual void SetReference(uint16_t index, const std::string& text) = 0;

  // Formula operations: true when `out` holds a result (it may be partly written otherwise).
  virtual bool ConvertLinear(double x, double& out) const;
  virtual bool ConvertRational(double x, double& out) const;
  /// No formula text is evaluated: algebraic conversions have no physical value.
  virtual bool ConvertAlgebraic(double x, double& out) const;
  virtual bool ConvertValueToValueInterpolation(double x, double& out) const;
  virtual bool ConvertValueToValue(double x, double& out) const;
  virtual bool ConvertValueRangeToValue(double x, double& out) const;
  virtual bool ConvertValueToText(double x, std::string& out) const = 0;
  virtual bool ConvertValueRangeToText(double x, std::string& out) const = 0;
  virtual bool ConvertTextToValue(const std::string& x, double& out) const = 0;
  virtual bool ConvertTextToText(const std::string& x, std::string& out) const = 0;
  virtual bool ConvertPolynomial(double x, double& out) const;
  virtual bool ConvertLogarithmic(double x, double& out) const;
  virtual bool ConvertExponential(double x, double& out) const;

  /// Converts a raw value by the conversion's type into display text. The text is set even
  /// when the formula fails; the result is the formula's validity.
  bool ValueToText(double value, std::string& text) const;

  /// Applies the conversion to one raw value (V: double, int64_t or uint64_t) and stores
  /// the result as T. The numeric formulas (types 1 to 6, 30 to 32) store their result also
  /// when they fail; the text conversions (7, 8) store their text read as a number; every
  /// other type stores the input unchanged. The result is the formula's validity.
  template <typename V, typename T>
  bool Convert(const V& input, T& output) const;

  /// Parameter i as a double: an integer entry converted as unsigned, 0.0 past the end.
  [[nodiscard]] double ParameterAsDouble(uint16_t index) const;
  /// Stores a double at the index, growing the list with 0.0 entries.
  void SetParameter(uint16_t index, double value);
  [[nodiscard]] const std::vector<ConversionParameter>& Parameters() const { return value_list_; }

  /// The stored number of values: the loop bound of the table look-ups.
  [[nodiscard]] uint16_t NofValues() const { return nof_values_; }
  void NofValues(uint16_t nof_values) { nof_values_ = nof_values; }

  /// Data type of the channel that owns the conversion (0 to 3 integer, 4/5 float).
  [[nodiscard]] uint8_t ChannelDataType() const { return channel_data_type_; }
  void SetChannelDataType(uint8_t data_type) { channel_data_type_ = data_type; }
  [[nodiscard]] bool IsChannelInteger() const { return channel_data_type_ <= kSignedBe; }
  [[nodiscard]] bool IsChannelFloat() const { return channel_data_type_ == kFloatLe || channel_data_type_ == kFloatBe; }

 protected:
  IChannelConversion() = default;
  IChannelConversion(const IChannelConversion&) = default;
  IChannelConversion& operator=(const IChannelConversion&) = default;

  /// Shared scan of the two value-to-value tables; `interpolate` selects the formula.
  bool ConvertValueTable(double x, double& out, bool interpolate) const;

  uint16_t nof_values_ = 0;
  std::vector<ConversionParameter> value_list_;
  uint8_t channel_data_type_ = 0;
  mutable std::string formula_;
};

template <typename V, typename T>
bool IChannelConversion::Convert(const V& input, T& output) const {
  const auto x = static_cast<double>(input);
  double result = 0.0;
  bool valid = false;
  switch (const uint8_t type = Type(); type) {
    case kLinearConversion:
      valid = ConvertLinear(x, result);
      break;
    case kRationalConversion:
      valid = ConvertRational(x, result);
      break;
    case kAlgebraicConversion:
      valid = ConvertAlgebraic(x, result);
      break;
    case kInterpolatedTableConversion:
      valid = ConvertValueToValueInterpolation(x, result);
      break;
    case kValueTableConversion:
      valid = ConvertValueToValue(x, result);
      break;
    case kRangeTableConversion:
      valid = ConvertValueRangeToValue(x, result);
      break;
    case kPolynomialConversion:
      valid = ConvertPolynomial(x, result);
      break;
    case kExponentialConversion:
      valid = ConvertExponential(x, result);
      break;
    case kLogarithmicConversion:
      valid = ConvertLogarithmic(x, result);
      break;
    case kValueToTextConversion:
    case kRangeToTextConversion: {
      std::string text;
      valid = type == kValueToTextConversion ? ConvertValueToText(x, text) : ConvertValueRangeToText(x, text);
      detail::ParseNumberText(text, output);
      return valid;
    }
    default:
      // The identities, and types no conversion has, whose value is not known.
      output = detail::ConvertNumber<T>(input);
      return IsKnownConversionType(type);
  }
  output = detail::ConvertNumber<T>(result);
  return valid;
}

}  // namespace mdf
