#include "mdf/ichannelconversion.h"

#include <cmath>

#include "mdf/channeltypes.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "readguard.h"

namespace mdf {

namespace {

// Text look-ups may hand a value on to a nested conversion, which may do the same again.
// The nesting of a tree read from a file is bounded there; the same bound keeps evaluation
// finite whatever built the tree.
using detail::kMaxConversionDepth;
thread_local size_t conversion_depth = 0;

class DepthGuard {
 public:
  DepthGuard() { ++conversion_depth; }
  ~DepthGuard() { --conversion_depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  [[nodiscard]] static bool TooDeep() { return conversion_depth > kMaxConversionDepth; }
};

}  // namespace

double IChannelConversion::ParameterAsDouble(uint16_t index) const {
  if (index >= value_list_.size()) return 0.0;
  const auto& parameter = value_list_[index];
  if (const auto* real = std::get_if<double>(&parameter)) return *real;
  if (const auto* mask = std::get_if<uint64_t>(&parameter)) return static_cast<double>(*mask);
  return 0.0;
}

void IChannelConversion::SetParameter(uint16_t index, double value) {
  while (value_list_.size() <= index) {
    value_list_.emplace_back(0.0);
  }
  value_list_[index] = value;
}

bool IChannelConversion::ConvertLinear(double x, double& out) const {
  switch (value_list_.size()) {
    case 0:
      return false;
    case 1:
      out = ParameterAsDouble(0);
      return true;
    default:
      out = ParameterAsDouble(0) + ParameterAsDouble(1) * x;
      return true;
  }
}

bool IChannelConversion::ConvertRational(double x, double& out) const {
  if (value_list_.size() < 6) return false;
  const double x2 = std::pow(x, 2);
  const double numerator = ParameterAsDouble(0) * x2 + ParameterAsDouble(1) * x + ParameterAsDouble(2);
  const double denominator = ParameterAsDouble(3) * x2 + ParameterAsDouble(4) * x + ParameterAsDouble(5);
  if (denominator == 0.0) return false;
  out = numerator / denominator;
  return true;
}

bool IChannelConversion::ConvertAlgebraic(double, double&) const { return false; }

bool IChannelConversion::ConvertValueTable(double x, double& out, bool interpolate) const {
  const size_t count = value_list_.size();
  if (count < 2) return false;
  for (size_t i = 0; i < nof_values_ && 2 * i + 1 < count; ++i) {
    const double key = ParameterAsDouble(static_cast<uint16_t>(2 * i));
    const double value = ParameterAsDouble(static_cast<uint16_t>(2 * i + 1));
    if (x == key) {
      out = value;
      return true;
    }
    if (x < key) {
      if (i == 0) {
        out = value;
        return true;
      }
      const double prev_key = ParameterAsDouble(static_cast<uint16_t>(2 * i - 2));
      const double prev_value = ParameterAsDouble(static_cast<uint16_t>(2 * i - 1));
      const double span = key - prev_key;
      if (span == 0.0) return false;
      const double ratio = (x - prev_key) / span;
      if (interpolate) {
        out = prev_value + ratio * (value - prev_value);
      } else {
        out = ratio <= 0.5 ? prev_value : value;  // the exact midpoint takes the lower key
      }
      return true;
    }
  }
  // Above every key examined (or NaN): the last entry.
  out = ParameterAsDouble(static_cast<uint16_t>(count - 1));
  return true;
}

bool IChannelConversion::ConvertValueToValueInterpolation(double x, double& out) const {
  return ConvertValueTable(x, out, true);
}

bool IChannelConversion::ConvertValueToValue(double x, double& out) const { return ConvertValueTable(x, out, false); }

bool IChannelConversion::ConvertValueRangeToValue(double x, double& out) const {
  const size_t count = value_list_.size();
  if (count == 0) return false;
  const bool integer = IsChannelInteger();
  const bool floating = IsChannelFloat();
  if (integer || floating) {
    for (size_t i = 0; i < nof_values_ && 3 * i + 2 < count; ++i) {
      const double lower = ParameterAsDouble(static_cast<uint16_t>(3 * i));
      const double upper = ParameterAsDouble(static_cast<uint16_t>(3 * i + 1));
      const bool match = integer ? (lower <= x && x <= upper) : (lower <= x && x < upper);
      if (match) {
        out = ParameterAsDouble(static_cast<uint16_t>(3 * i + 2));
        return true;
      }
    }
  }
  out = ParameterAsDouble(static_cast<uint16_t>(count - 1));
  return true;
}

bool IChannelConversion::ConvertPolynomial(double x, double& out) const {
  if (value_list_.size() < 6) return false;
  const double t = x - ParameterAsDouble(4) - ParameterAsDouble(5);
  const double denominator = ParameterAsDouble(2) * t - ParameterAsDouble(0);
  if (denominator == 0.0) return false;
  out = (ParameterAsDouble(1) - ParameterAsDouble(3) * t) / denominator;
  return true;
}

namespace {

// The MDF3 exponential and logarithmic formulas share their parameter checks.
template <typename Function>
bool ConvertExpLog(const IChannelConversion& conversion, double x, double& out, Function function) {
  if (conversion.Parameters().size() < 7) return false;
  const auto p = [&conversion](uint16_t index) { return conversion.ParameterAsDouble(index); };
  if (p(3) != 0.0) {
    if (p(0) != 0.0) return false;
    const double d = x - p(6);
    if (d == 0.0) return false;
    out = function((p(2) / d - p(5)) / p(3));
    if (p(4) == 0.0) return false;
    out /= p(4);
    return true;
  }
  const double t = p(5) * (x - p(6)) - p(2);
  if (p(0) == 0.0) return false;
  out = function(t / p(0));
  if (p(1) == 0.0) return false;
  out /= p(1);
  return true;
}

}  // namespace

bool IChannelConversion::ConvertExponential(double x, double& out) const {
  return ConvertExpLog(*this, x, out, [](double v) { return std::exp(v); });
}

bool IChannelConversion::ConvertLogarithmic(double x, double& out) const {
  return ConvertExpLog(*this, x, out, [](double v) { return std::log(v); });
}

bool IChannelConversion::ValueToText(double value, std::string& text) const {
  DepthGuard guard;
  if (DepthGuard::TooDeep()) {
    MDF_ERROR() << "Conversion references nest deeper than " << kMaxConversionDepth << " levels.";
    return false;
  }
  const uint8_t decimals = IsDecimalUsed() ? Decimals() : 6;
  const auto formula_text = [&](bool (IChannelConversion::*formula)(double, double&) const) {
    double out = 0.0;
    const bool valid = (this->*formula)(value, out);
    text = FormatNumberText(out, decimals, false, {});
    return valid;
  };
  switch (Type()) {
    case kLinearConversion:
      return formula_text(&IChannelConversion::ConvertLinear);
    case kRationalConversion:
      return formula_text(&IChannelConversion::ConvertRational);
    case kAlgebraicConversion:
      return formula_text(&IChannelConversion::ConvertAlgebraic);
    case kInterpolatedTableConversion:
      return formula_text(&IChannelConversion::ConvertValueToValueInterpolation);
    case kValueTableConversion:
      return formula_text(&IChannelConversion::ConvertValueToValue);
    case kRangeTableConversion:
      return formula_text(&IChannelConversion::ConvertValueRangeToValue);
    case kValueToTextConversion:
      return ConvertValueToText(value, text);
    case kRangeToTextConversion:
      return ConvertValueRangeToText(value, text);
    case kPolynomialConversion:
      return formula_text(&IChannelConversion::ConvertPolynomial);
    case kExponentialConversion:
      return formula_text(&IChannelConversion::ConvertExponential);
    case kLogarithmicConversion:
      return formula_text(&IChannelConversion::ConvertLogarithmic);
    default:
      text = FormatNumberText(value, decimals, false, {});
      return true;
  }
}

}  // namespace mdf
