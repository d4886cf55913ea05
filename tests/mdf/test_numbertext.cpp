// The number-text family: every text matches what the standard streams and conversion
// functions give in the "C" locale, numbers survive a round trip through their texts, and
// none of it changes in a decimal-comma locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <limits>
#include <locale>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mdf/numberconversion.h"
#include "mdf/numbertext.h"

namespace {

using mdf::detail::DoubleToText;
using mdf::detail::ExtractNumberText;
using mdf::detail::FixedPointText;
using mdf::detail::ParseNumberOrThrow;
using mdf::detail::ParseNumberText;
using mdf::detail::SaturatingCast;
using mdf::detail::ShortestText;
using mdf::detail::StreamText;
using mdf::detail::ValueToText;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

// Doubles that are hard to print: ties, the extremes, subnormals, signed zero, long digits.
std::vector<double> Awkward() {
  std::vector<double> values = {0.0,
                                -0.0,
                                0.1,
                                1.0 / 3,
                                2.5,
                                -12345.678,
                                1e15,
                                1e16,
                                1e22,
                                123456789.0,
                                0.000123456,
                                1e-5,
                                9.999995e-5,
                                999999.5,
                                1e300,
                                kMax,
                                -kMax,
                                5e-324,
                                2.2250738585072014e-308,
                                0.125,
                                1234567.25,
                                kInf,
                                -kInf,
                                std::nan(""),
                                -std::nan("")};
  std::mt19937_64 random(20240611);
  while (values.size() < 2000) {
    const uint64_t bits = random();
    double value = 0;
    std::memcpy(&value, &bits, sizeof(value));
    if (std::isfinite(value)) values.push_back(value);
  }
  return values;
}

template <typename T>
std::string ClassicStream(const T& value, int fixed_decimals = -1) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  if (fixed_decimals >= 0) text << std::fixed << std::setprecision(fixed_decimals);
  text << value;
  return text.str();
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

TEST(NumberText, DoublesPrintAsTheClassicStreamPrintsThem) {
  for (const double value : Awkward()) {
    ASSERT_EQ(DoubleToText(value), ClassicStream(value)) << std::hexfloat << value;
    ASSERT_EQ(StreamText(value), ClassicStream(value)) << std::hexfloat << value;
    ASSERT_EQ(StreamText(static_cast<float>(value)), ClassicStream(static_cast<float>(value)))
        << std::hexfloat << value;
  }
  for (const double value : {0.0, -1.5, 0.125, 2.0 / 3, 1e-7, 1234.5678, 1e20, -kInf, std::nan("")}) {
    for (int decimals = 0; decimals <= 20; ++decimals) {
      EXPECT_EQ(FixedPointText(value, decimals), ClassicStream(value, decimals)) << value << " " << decimals;
    }
  }
  EXPECT_EQ(FixedPointText(kMax, 6), ClassicStream(kMax, 6)) << "309 digits before the point";
}

template <typename T>
void ExpectIntegersAsTheStream() {
  for (const T value : {std::numeric_limits<T>::min(), T{0}, T{1}, T{'7'}, std::numeric_limits<T>::max()}) {
    EXPECT_EQ(StreamText(value), ClassicStream(value)) << +value;
    EXPECT_EQ(ValueToText(value), ClassicStream(value)) << +value;
  }
}

TEST(NumberText, IntegersPrintAsTheClassicStreamPrintsThem) {
  ExpectIntegersAsTheStream<int8_t>();  // 8-bit types write their character
  ExpectIntegersAsTheStream<uint8_t>();
  ExpectIntegersAsTheStream<char>();
  ExpectIntegersAsTheStream<int16_t>();
  ExpectIntegersAsTheStream<uint16_t>();
  ExpectIntegersAsTheStream<int32_t>();
  ExpectIntegersAsTheStream<uint32_t>();
  ExpectIntegersAsTheStream<int64_t>();
  ExpectIntegersAsTheStream<uint64_t>();
  EXPECT_EQ(ValueToText(true), "1");
  EXPECT_EQ(ValueToText(false), "0");
  EXPECT_EQ(ValueToText("text"), "text");
  EXPECT_EQ(ValueToText(std::string("more")), "more");
}

TEST(NumberText, ShortestTextsReadBackExactly) {
  for (const double value : Awkward()) {
    const std::string text = ShortestText(value);
    double back = 1;
    ParseNumberText(text, back);
    ASSERT_TRUE(std::isnan(value) ? std::isnan(back) : SameBits(back, value)) << text;
    ASSERT_TRUE(SameBits(ParseNumberOrThrow<double>(text, "stod"), value) || std::isnan(value)) << text;
    const auto single = static_cast<float>(value);
    float single_back = 1;
    ParseNumberText(ShortestText(single), single_back);
    ASSERT_TRUE(std::isnan(single) ? std::isnan(single_back) : single_back == single) << ShortestText(single);
    EXPECT_EQ(ValueToText(value), text);
  }
  EXPECT_EQ(ShortestText(0.1), "0.1");
  EXPECT_EQ(ShortestText(0.1F), "0.1");
  EXPECT_EQ(ShortestText(123456789.0), "123456789");
  // Integers survive their decimal text at the extremes of every width.
  int64_t low = 0;
  ParseNumberText(StreamText(std::numeric_limits<int64_t>::min()), low);
  EXPECT_EQ(low, std::numeric_limits<int64_t>::min());
  uint64_t high = 0;
  ParseNumberText(StreamText(std::numeric_limits<uint64_t>::max()), high);
  EXPECT_EQ(high, std::numeric_limits<uint64_t>::max());
}

TEST(NumberText, LenientParseStoresZeroForAnythingButAFittingNumber) {
  struct Case {
    const char* text;
    double as_double;
    uint32_t as_uint32;
    int16_t as_int16;
  };
  const Case cases[] = {
      {"12", 12, 12, 12},
      {" \t+12 sessions", 12, 12, 12},
      {"-7.9", -7.9, 0, -7},
      {"4294967296", 4294967296.0, 0, 0},
      {"70000", 70000, 70000, 0},
      {"1e3", 1000, 1, 1},
      {"1e", 1, 1, 1},
      {".5", 0.5, 0, 0},
      {"2,5", 2, 2, 2},
      {"0x1A", 0, 0, 0},
      {"inf", kInf, 0, 0},
      {"1e400", 0, 1, 1},
      {"", 0, 0, 0},
      {"abc", 0, 0, 0},
  };
  for (const auto& c : cases) {
    double as_double = -1;
    uint32_t as_uint32 = 1;
    int16_t as_int16 = 1;
    ParseNumberText(c.text, as_double);
    ParseNumberText(c.text, as_uint32);
    ParseNumberText(c.text, as_int16);
    EXPECT_EQ(as_double, c.as_double) << '"' << c.text << '"';
    EXPECT_EQ(as_uint32, c.as_uint32) << '"' << c.text << '"';
    EXPECT_EQ(as_int16, c.as_int16) << '"' << c.text << '"';
  }
  uint8_t code = 9;
  ParseNumberText("  12", code);
  EXPECT_EQ(code, '1') << "an 8-bit type takes the first non-blank character";
  ParseNumberText(" \n", code);
  EXPECT_EQ(code, '1') << "and keeps its value without one";
}

TEST(NumberText, StreamExtraction) {
  struct Case {
    const char* text;
    bool ok;
    double as_double;
    uint16_t as_uint16;
    int16_t as_int16;
  };
  const Case cases[] = {
      {" 12 sessions", true, 12, 12, 12},
      {"-1", true, -1, 65535, -1},  // an unsigned type negates in its own width
      {"70000", true, 70000, 65535, 32767},
      {"-40000", true, -40000, 25536, -32768},
      {"1e5x", true, 100000, 1, 1},
      {"1e", false, 0, 1, 1},
      {"2,5", true, 2, 2, 2},
      {".5", true, 0.5, 0, 0},
      {"inf", false, 0, 0, 0},
      {"0x1A", true, 0, 0, 0},
      {"+", false, 0, 0, 0},
      {" \n", false, -3, 3, 3},  // nothing to read: nothing stored
  };
  for (const auto& c : cases) {
    double as_double = -3;
    uint16_t as_uint16 = 3;
    int16_t as_int16 = 3;
    EXPECT_EQ(ExtractNumberText(c.text, as_double), c.ok) << '"' << c.text << '"';
    ExtractNumberText(c.text, as_uint16);
    ExtractNumberText(c.text, as_int16);
    EXPECT_EQ(as_double, c.as_double) << '"' << c.text << '"';
    EXPECT_EQ(as_uint16, c.as_uint16) << '"' << c.text << '"';
    EXPECT_EQ(as_int16, c.as_int16) << '"' << c.text << '"';
  }
  uint16_t limit = 0;
  EXPECT_FALSE(ExtractNumberText("70000", limit)) << "a number beyond the type fails";
  EXPECT_EQ(limit, 65535);
  float single = 0;
  EXPECT_FALSE(ExtractNumberText("1e39", single));
  EXPECT_EQ(single, std::numeric_limits<float>::max());
  int8_t character = 0;
  EXPECT_TRUE(ExtractNumberText(" 7", character));
  EXPECT_EQ(character, '7');
}

// The same texts through the standard library's stoull, stoll and stod in the "C" locale:
// the same number or the same kind of failure, told in the fixed texts.
template <typename N, typename Standard>
void ExpectAsTheStandardFunction(const std::string& text, const std::string& name, Standard standard) {
  std::string expected_error;
  N expected{};
  try {
    expected = standard(text);
  } catch (const std::invalid_argument&) {
    expected_error = "invalid " + name + " argument";
  } catch (const std::out_of_range&) {
    expected_error = name + " argument out of range";
  }
  std::string error;
  N value{};
  try {
    value = ParseNumberOrThrow<N>(text, name.c_str());
  } catch (const std::invalid_argument& invalid) {
    error = invalid.what();
    EXPECT_EQ(error.rfind("invalid ", 0), 0U) << '"' << text << '"';
  } catch (const std::out_of_range& range) {
    error = range.what();
    EXPECT_NE(error.find("out of range"), std::string::npos) << '"' << text << '"';
  }
  EXPECT_EQ(error, expected_error) << '"' << text << '"';
  EXPECT_EQ(value, expected) << '"' << text << '"';
}

TEST(NumberText, ThrowingParseMatchesTheStandardFunctions) {
  const char* texts[] = {"12",
                         " \t42x",
                         "+7",
                         "-1",
                         "+-1",
                         "-+1",
                         "abc",
                         "",
                         " ",
                         "0x10",
                         "1e3",
                         "2.5e-3",
                         ".5",
                         "-0",
                         "inf",
                         "1e400",
                         "1e-400",
                         "18446744073709551615",
                         "18446744073709551616",
                         "-18446744073709551616",
                         "9223372036854775807",
                         "9223372036854775808",
                         "-9223372036854775808",
                         "-9223372036854775809"};
  for (const char* text : texts) {
    ExpectAsTheStandardFunction<uint64_t>(text, "stoull", [](const std::string& t) { return std::stoull(t); });
    ExpectAsTheStandardFunction<int64_t>(text, "stoll", [](const std::string& t) { return std::stoll(t); });
    if (std::string(text) != "0x10") {  // stod alone reads hexadecimal floating texts
      ExpectAsTheStandardFunction<double>(text, "stod", [](const std::string& t) { return std::stod(t); });
    }
  }
}

TEST(NumberConversion, SaturatingCastOfEveryEdge) {
  EXPECT_EQ(SaturatingCast<int64_t>(9223372036854775808.0), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(SaturatingCast<int64_t>(-9223372036854775808.0), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(SaturatingCast<int64_t>(9223372036854774784.0), 9223372036854774784);  // largest double below 2^63
  EXPECT_EQ(SaturatingCast<uint64_t>(18446744073709551616.0), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(SaturatingCast<uint64_t>(18446744073709549568.0), 18446744073709549568U);
  EXPECT_EQ(SaturatingCast<uint64_t>(-0.5), 0U);
  EXPECT_EQ(SaturatingCast<uint8_t>(255.9), 255);
  EXPECT_EQ(SaturatingCast<uint8_t>(256.0), 255);
  EXPECT_EQ(SaturatingCast<int8_t>(-128.9), -128);
  EXPECT_EQ(SaturatingCast<int8_t>(-129.0), -128);
  EXPECT_EQ(SaturatingCast<int32_t>(-7.9), -7);
  EXPECT_EQ(SaturatingCast<int32_t>(std::nan("")), 0);
  EXPECT_EQ(SaturatingCast<uint16_t>(-kInf), 0);
  EXPECT_EQ(SaturatingCast<uint16_t>(kInf), 65535);
  EXPECT_EQ(SaturatingCast<float>(1e300), std::numeric_limits<float>::infinity());
  EXPECT_EQ(SaturatingCast<float>(-1e300), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(SaturatingCast<float>(-kInf), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(SaturatingCast<float>(std::nan(""))));
  EXPECT_EQ(SaturatingCast<float>(0.1), 0.1F);
  EXPECT_EQ(SaturatingCast<double>(kMax), kMax);
}

// German number punctuation: a decimal comma and '.' between groups of three digits. Made
// here rather than taken by name, which also works where no German locale is installed.
class GermanNumbers : public std::numpunct<char> {
 protected:
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// The process's global C++ locale set to German numbers for the test, and its C locale to
// German where that is installed.
class GermanLocale : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::locale::global(std::locale(std::locale::classic(), new GermanNumbers));
    saved_c_ = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // stays "C" where not installed
    std::ostringstream probe;
    probe << 1234.5;
    ASSERT_EQ(probe.str(), "1.234,5") << "a stream groups digits and writes a decimal comma";
  }
  void TearDown() override {
    std::locale::global(previous_);
    std::setlocale(LC_ALL, saved_c_.c_str());
  }

 private:
  std::locale previous_;
  std::string saved_c_;
};

TEST_F(GermanLocale, TextsAndNumbersStayClassic) {
  EXPECT_EQ(DoubleToText(1234.5), "1234.5");
  EXPECT_EQ(DoubleToText(123456789.0), "1.23457e+08");
  EXPECT_EQ(FixedPointText(1234.5, 2), "1234.50");
  EXPECT_EQ(ShortestText(0.1), "0.1");
  EXPECT_EQ(StreamText(1234567), "1234567");
  EXPECT_EQ(StreamText(2.5F), "2.5");
  EXPECT_EQ(ValueToText(int64_t{-1234567}), "-1234567");
  EXPECT_EQ(mdf::FormatNumberText(1234.5, 3, true, "V"), "1234.500 V");

  double value = 0;
  ParseNumberText("2.5", value);
  EXPECT_EQ(value, 2.5);
  ParseNumberText("2,5", value);
  EXPECT_EQ(value, 2.0) << "a comma ends the number";
  EXPECT_TRUE(ExtractNumberText("2.5", value));
  EXPECT_EQ(value, 2.5);
  int32_t grouped = 0;
  EXPECT_TRUE(ExtractNumberText("1.234", grouped));
  EXPECT_EQ(grouped, 1) << "no digit grouping";
  EXPECT_EQ(ParseNumberOrThrow<double>("2.5", "stod"), 2.5);
  EXPECT_EQ(ParseNumberOrThrow<uint64_t>("1.234", "stoull"), 1U);
}

}  // namespace
