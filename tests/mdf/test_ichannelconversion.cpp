#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "mdf/ichannelconversion.h"
#include "support/fakechannel.h"
#include "support/logcapture.h"

namespace {

using test::FakeConversion;

FakeConversion Conversion(uint8_t type, const std::vector<double>& values) {
  FakeConversion conversion;
  conversion.type = type;
  conversion.SetValues(values);
  return conversion;
}

TEST(ConversionParameters, AccessAndGrowth) {
  FakeConversion conversion;
  EXPECT_EQ(conversion.ParameterAsDouble(0), 0.0);
  conversion.SetParameter(3, 2.5);
  ASSERT_EQ(conversion.Parameters().size(), 4U);
  EXPECT_EQ(conversion.ParameterAsDouble(0), 0.0);
  EXPECT_EQ(conversion.ParameterAsDouble(2), 0.0);
  EXPECT_EQ(conversion.ParameterAsDouble(3), 2.5);
  EXPECT_EQ(conversion.ParameterAsDouble(4), 0.0);
  EXPECT_EQ(conversion.NofValues(), 0U);  // the stored count is the block's business

  conversion.Values()[1] = uint64_t{0xFFFFFFFFFFFFFFFF};  // a bit-field mask converts as unsigned
  EXPECT_EQ(conversion.ParameterAsDouble(1), 18446744073709551615.0);
  conversion.SetParameter(1, -1.0);  // setting replaces the entry with a double
  EXPECT_TRUE(std::holds_alternative<double>(conversion.Parameters()[1]));
  EXPECT_EQ(conversion.ParameterAsDouble(1), -1.0);
}

TEST(ConversionParameters, ChannelDataTypeClasses) {
  FakeConversion conversion;
  for (uint8_t type = 0; type < 16; ++type) {
    conversion.SetChannelDataType(type);
    EXPECT_EQ(conversion.IsChannelInteger(), type < 4) << int(type);
    EXPECT_EQ(conversion.IsChannelFloat(), type == 4 || type == 5) << int(type);
  }
}

TEST(ConversionFormulas, LinearAndRational) {
  double out = 0.0;
  EXPECT_TRUE(Conversion(1, {10, 2}).ConvertLinear(3, out));
  EXPECT_EQ(out, 16.0);
  EXPECT_TRUE(Conversion(1, {10}).ConvertLinear(12345, out));
  EXPECT_EQ(out, 10.0);
  EXPECT_FALSE(Conversion(1, {}).ConvertLinear(3, out));

  EXPECT_TRUE(Conversion(2, {0, 1, 0, 0, 0, 2}).ConvertRational(6, out));
  EXPECT_EQ(out, 3.0);
  EXPECT_TRUE(Conversion(2, {1, 0, 0, 0, 0, 1}).ConvertRational(-3, out));
  EXPECT_EQ(out, 9.0);
  EXPECT_FALSE(Conversion(2, {0, 1, 0, 0, 0, 0}).ConvertRational(6, out));
  EXPECT_FALSE(Conversion(2, {0, 1, 0, 0, 0}).ConvertRational(6, out));

  EXPECT_FALSE(Conversion(3, {1, 2, 3}).ConvertAlgebraic(1, out));
}

TEST(ConversionFormulas, ValueToValueTables) {
  auto table = Conversion(4, {0, 0, 10, 100});
  double out = -1;
  EXPECT_TRUE(table.ConvertValueToValueInterpolation(5, out));
  EXPECT_EQ(out, 50.0);
  EXPECT_TRUE(table.ConvertValueToValueInterpolation(-1, out));
  EXPECT_EQ(out, 0.0);
  EXPECT_TRUE(table.ConvertValueToValueInterpolation(10, out));
  EXPECT_EQ(out, 100.0);
  EXPECT_TRUE(table.ConvertValueToValueInterpolation(11, out));
  EXPECT_EQ(out, 100.0);
  EXPECT_TRUE(table.ConvertValueToValueInterpolation(std::nan(""), out));
  EXPECT_EQ(out, 100.0);

  table.type = 5;
  EXPECT_TRUE(table.ConvertValueToValue(5, out));
  EXPECT_EQ(out, 0.0);  // the exact midpoint takes the lower key
  EXPECT_TRUE(table.ConvertValueToValue(5.1, out));
  EXPECT_EQ(out, 100.0);
  EXPECT_TRUE(table.ConvertValueToValue(2, out));
  EXPECT_EQ(out, 0.0);

  // A repeated key answers with its first value; the next span interpolates from the repeat.
  auto duplicate = Conversion(4, {0, 0, 0, 7, 5, 9});
  EXPECT_TRUE(duplicate.ConvertValueToValueInterpolation(0, out));
  EXPECT_EQ(out, 0.0);
  EXPECT_TRUE(duplicate.ConvertValueToValueInterpolation(2.5, out));
  EXPECT_EQ(out, 8.0);

  EXPECT_FALSE(Conversion(4, {1}).ConvertValueToValueInterpolation(1, out));
  EXPECT_FALSE(Conversion(5, {1}).ConvertValueToValue(1, out));
}

TEST(ConversionFormulas, TablesHonourTheStoredValueCount) {
  auto table = Conversion(4, {0, 0, 10, 100, 20, 300});
  double out = 0;
  table.NofValues(0);  // no pair is examined: the last entry
  EXPECT_TRUE(table.ConvertValueToValueInterpolation(5, out));
  EXPECT_EQ(out, 300.0);
  table.NofValues(1);
  EXPECT_TRUE(table.ConvertValueToValue(5, out));
  EXPECT_EQ(out, 300.0);
  table.NofValues(60000);  // more than the list holds: the list bounds the scan
  EXPECT_TRUE(table.ConvertValueToValueInterpolation(15, out));
  EXPECT_EQ(out, 200.0);

  auto ranges = Conversion(6, {0, 10, 1, 10, 20, 2, 9});
  ranges.SetChannelDataType(0);
  ranges.NofValues(0);
  EXPECT_TRUE(ranges.ConvertValueRangeToValue(5, out));
  EXPECT_EQ(out, 9.0);
}

TEST(ConversionFormulas, RangeTableByChannelType) {
  auto ranges = Conversion(6, {0, 10, 1, 10, 20, 2, 9});
  double out = 0;
  ranges.SetChannelDataType(0);
  EXPECT_TRUE(ranges.ConvertValueRangeToValue(10, out));
  EXPECT_EQ(out, 1.0);
  EXPECT_TRUE(ranges.ConvertValueRangeToValue(25, out));
  EXPECT_EQ(out, 9.0);
  ranges.SetChannelDataType(5);
  EXPECT_TRUE(ranges.ConvertValueRangeToValue(10, out));
  EXPECT_EQ(out, 2.0);
  EXPECT_TRUE(ranges.ConvertValueRangeToValue(20, out));
  EXPECT_EQ(out, 9.0);
  ranges.SetChannelDataType(7);
  EXPECT_TRUE(ranges.ConvertValueRangeToValue(5, out));
  EXPECT_EQ(out, 9.0);
  EXPECT_FALSE(Conversion(6, {}).ConvertValueRangeToValue(5, out));

  // A default held as an integer is read as a number, never thrown at the caller.
  ranges.Values().back() = uint64_t{42};
  EXPECT_TRUE(ranges.ConvertValueRangeToValue(50, out));
  EXPECT_EQ(out, 42.0);
  auto table = Conversion(5, {0, 0, 10, 100});
  table.Values().back() = uint64_t{7};
  EXPECT_TRUE(table.ConvertValueToValue(50, out));
  EXPECT_EQ(out, 7.0);
}

TEST(ConversionFormulas, Mdf3PolynomialExponentialLogarithmic) {
  double out = 0;
  // t = x - p4 - p5; out = (p1 - p3 t) / (p2 t - p0)
  auto polynomial = Conversion(30, {1, 10, 2, 1, 0.5, 0.5});
  EXPECT_TRUE(polynomial.ConvertPolynomial(4, out));  // t = 3: (10 - 3) / (6 - 1)
  EXPECT_DOUBLE_EQ(out, 7.0 / 5.0);
  EXPECT_FALSE(polynomial.ConvertPolynomial(1.5, out));  // t = 0.5: 2 * 0.5 - 1 = 0
  EXPECT_FALSE(Conversion(30, {1, 2, 3, 4, 5}).ConvertPolynomial(1, out));

  auto exponential = Conversion(31, {1, 1, 0, 0, 0, 1, 0});
  for (const double x : {-2.0, 0.0, 1.0, 3.5}) {
    ASSERT_TRUE(exponential.ConvertExponential(x, out));
    EXPECT_DOUBLE_EQ(out, std::exp(x));
  }
  auto logarithmic = Conversion(32, {1, 1, 0, 0, 0, 1, 0});
  ASSERT_TRUE(logarithmic.ConvertLogarithmic(std::exp(2.0), out));
  EXPECT_DOUBLE_EQ(out, 2.0);

  // p3 not zero: out = f((p2 / (x - p6) - p5) / p3) / p4, with p0 exactly zero.
  auto reciprocal = Conversion(31, {0, 0, 4, 2, 2, 1, 1});
  ASSERT_TRUE(reciprocal.ConvertExponential(3, out));  // (4 / 2 - 1) / 2 = 0.5
  EXPECT_DOUBLE_EQ(out, std::exp(0.5) / 2);
  EXPECT_FALSE(reciprocal.ConvertExponential(1, out));  // x - p6 = 0
  reciprocal.SetParameter(0, 1);
  EXPECT_FALSE(reciprocal.ConvertExponential(3, out));
  reciprocal.SetParameter(0, 0);
  reciprocal.SetParameter(4, 0);
  EXPECT_FALSE(reciprocal.ConvertLogarithmic(3, out));

  auto no_base = Conversion(31, {0, 1, 0, 0, 0, 1, 0});
  EXPECT_FALSE(no_base.ConvertExponential(1, out));
  auto no_divisor = Conversion(32, {1, 0, 0, 0, 0, 1, 0});
  EXPECT_FALSE(no_divisor.ConvertLogarithmic(1, out));
  EXPECT_FALSE(Conversion(31, {1, 1, 0, 0, 0, 1}).ConvertExponential(1, out));
}

TEST(ConversionValueToText, FormatsByTypeAndDecimals) {
  std::string text;
  FakeConversion identity;
  EXPECT_TRUE(identity.ValueToText(2.5, text));
  EXPECT_EQ(text, "2.5");
  EXPECT_TRUE(identity.ValueToText(1.0 / 3.0, text));
  EXPECT_EQ(text, "0.333333");  // 6 decimals without a precision

  auto linear = Conversion(1, {0, 0.5});
  EXPECT_TRUE(linear.ValueToText(5, text));
  EXPECT_EQ(text, "2.5");
  linear.decimals = 0;
  EXPECT_TRUE(linear.ValueToText(5, text));
  EXPECT_EQ(text, "3");
  linear.decimals = 2;
  EXPECT_TRUE(linear.ValueToText(1, text));
  EXPECT_EQ(text, "0.5");

  // A failing formula still sets the text from the untouched output.
  auto algebraic = Conversion(3, {});
  text = "old";
  EXPECT_FALSE(algebraic.ValueToText(7, text));
  EXPECT_EQ(text, "0");
  auto rational = Conversion(2, {0, 1, 0, 0, 0, 0});
  EXPECT_FALSE(rational.ValueToText(7, text));
  EXPECT_EQ(text, "0");

  auto exponential = Conversion(31, {1, 1, 0, 0, 0, 1, 0});
  EXPECT_TRUE(exponential.ValueToText(0, text));
  EXPECT_EQ(text, "1");

  EXPECT_TRUE(Conversion(7, {}).ValueToText(1, text));
  EXPECT_EQ(text, "value text");
  EXPECT_TRUE(Conversion(8, {}).ValueToText(1, text));
  EXPECT_EQ(text, "range text");
  for (const uint8_t passthrough : {0, 9, 10, 11, 33, 200}) {
    EXPECT_TRUE(Conversion(passthrough, {5, 5}).ValueToText(4, text));
    EXPECT_EQ(text, "4");
  }
}

// A conversion whose text look-up refers to itself, as a cyclic reference chain would.
class SelfReferringConversion : public FakeConversion {
 public:
  bool ConvertValueToText(double x, std::string& out) const override {
    ++calls;
    return ValueToText(x, out);
  }
  mutable int calls = 0;
};

TEST(ConversionValueToText, NestingIsBounded) {
  test::LogCapture log;
  SelfReferringConversion conversion;
  conversion.type = 7;
  std::string text;
  EXPECT_FALSE(conversion.ValueToText(1, text));
  EXPECT_EQ(conversion.calls, 64);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_EQ(log.entries[0].severity, mdf::MdfLogSeverity::kError);
  EXPECT_EQ(log.entries[0].location.function, "ValueToText");

  // The depth is restored: an ordinary conversion works afterwards.
  auto linear = Conversion(1, {1, 1});
  EXPECT_TRUE(linear.ValueToText(1, text));
  EXPECT_EQ(text, "2");
}

}  // namespace
