#include "format/number_parse.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "format/number_format.h"

namespace tolvak {
namespace {

std::uint32_t bitsOf(float value) { return std::bit_cast<std::uint32_t>(value); }

constexpr std::uint32_t kUntouched = 0x12345678u;  // a marker a parse must not change

struct FloatCase {
  const char* text;
  std::uint32_t bits;    // kUntouched: the parse must fail
  std::size_t consumed;  // characters taken on success
};

TEST(FloatParse, Table) {
  const FloatCase cases[] = {
      {"1.5", 0x3FC00000u, 3},
      {"  \t1.5", 0x3FC00000u, 6},
      {"\v\f\r\n2", 0x40000000u, 5},
      {"+2", 0x40000000u, 2},
      {"-2.25", 0xC0100000u, 5},
      {".5", 0x3F000000u, 2},
      {"5.", 0x40A00000u, 2},
      {"1.5e3", 0x44BB8000u, 5},
      {"1.5E+3", 0x44BB8000u, 6},
      {"15e-1", 0x3FC00000u, 5},
      {"1.5e", 0x3FC00000u, 4},    // an "e" without digits is exponent 0...
      {"1.5e-", 0x3FC00000u, 5},   // ...and is taken with its sign
      {"1.5ex", 0x3FC00000u, 4},
      {"1.5.5", 0x3FC00000u, 3},   // one point at most
      {"0", 0x00000000u, 1},
      {"-0", 0x80000000u, 2},
      {"-0.00000000", 0x80000000u, 11},
      {"-0e999999999999999999", 0x80000000u, 21},
      {"000000000000000000000001.5", 0x3FC00000u, 26},  // leading zeros are not significant
      {"0.10000000", 0x3DCCCCCDu, 10},
      {"+INF", 0x7F800000u, 4},
      {"-INF", 0xFF800000u, 4},
      {"+NAN", 0x7FC00000u, 4},
      {"-NAN", 0xFFC00000u, 4},
      {"+INFINITY", 0x7F800000u, 4},
      {"        +INF", 0x7F800000u, 12},
      // Ties go to the even significand, on both the fast and exact paths.
      {"16777217", 0x4B800000u, 8},
      {"16777219", 0x4B800002u, 8},
      {"16777217.000000001", 0x4B800001u, 18},
      {"1152921573326323712", 0x5D800000u, 19},  // 2^60 + 2^36: tie, down to even
      {"1152921710765277184", 0x5D800002u, 19},  // 2^60 + 3 * 2^36: tie, up to even
      // Only the first 19 significant digits count; the rest move the point.
      {"1677721650000000000001", 0x62B5E621u, 22},
      {"16777216.99999999999999999", 0x4B800000u, 26},
      // The largest float as written reads back as the next smaller one.
      {"340282346638528859800000000000000000000.0", 0x7F7FFFFEu, 41},
      // From 2^127 up values are cut toward zero, from 2^128 they are infinite.
      {"170141198672276434470440121676322570240", 0x7F000000u, 39},
      {"3.4028236e38", 0x7F7FFFFFu, 12},
      // 2^128 itself, cut to 19 digits, is below 2^128 again.
      {"340282366920938463463374607431768211456", 0x7F7FFFFFu, 39},
      {"3.402823669209384635e38", 0x7F800000u, 23},
      {"-3.5e38", 0xFF800000u, 7},
      {"1e999999999999999999999", 0x7F800000u, 23},
      // Below 2^-149 the result is zero; from 2^-149 it is the nearest float.
      {"1e-45", 0x00000000u, 5},
      {"-1e-45", 0x80000000u, 6},
      {"1.5e-45", 0x00000001u, 7},
      {"1.401298464324817e-45", 0x00000000u, 21},  // just below 2^-149
      {"1.4012984643248171e-45", 0x00000001u, 22},
      {"1e-999999999999", 0x00000000u, 15},
      {"1.1754943508222875e-38", 0x00800000u, 22},  // smallest normal
      // No number: the value is left alone.
      {"", kUntouched, 0},
      {"   ", kUntouched, 0},
      {"+", kUntouched, 0},
      {"-", kUntouched, 0},
      {".", kUntouched, 0},
      {"-.e5", kUntouched, 0},
      {"e5", kUntouched, 0},
      {"abc", kUntouched, 0},
      {"INF", kUntouched, 0},
      {"NAN", kUntouched, 0},
      {"+inf", kUntouched, 0},
      {"-nan", kUntouched, 0},
      {"+IN", kUntouched, 0},
      {"+NA", kUntouched, 0},
      {"+-1", kUntouched, 0},
  };
  for (const FloatCase& c : cases) {
    float value = std::bit_cast<float>(kUntouched);
    const char* end = c.text + std::strlen(c.text);
    const char* stop = parseFloat(c.text, end, value);
    if (c.bits == kUntouched) {
      EXPECT_EQ(stop, nullptr) << '"' << c.text << '"';
      EXPECT_EQ(bitsOf(value), kUntouched) << '"' << c.text << '"';
      continue;
    }
    ASSERT_NE(stop, nullptr) << '"' << c.text << '"';
    EXPECT_EQ(static_cast<std::size_t>(stop - c.text), c.consumed) << '"' << c.text << '"';
    EXPECT_EQ(bitsOf(value), c.bits) << '"' << c.text << '"' << std::hex << " got " << bitsOf(value);
  }
}

TEST(FloatParse, PoseLineParsesLeftToRight) {
  const std::string line =
      "\t  0.50000000\t -0.25000000\t1000.12500000\t        +INF\t        -NAN\t  0.00195312";
  const float expected[] = {0.5f, -0.25f, 1000.125f, std::numeric_limits<float>::infinity()};
  const char* p = line.data();
  const char* const end = line.data() + line.size();
  for (float want : expected) {
    float value = 0;
    p = parseFloat(p, end, value);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(bitsOf(value), bitsOf(want));
  }
  float value = 0;
  p = parseFloat(p, end, value);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bitsOf(value), 0xFFC00000u);
  p = parseFloat(p, end, value);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(value, 0.00195312f);
  EXPECT_EQ(p, end);
  EXPECT_EQ(parseFloat(p, end, value), nullptr);  // nothing left
}

// Decimal texts with at most 19 significant digits in the range where the
// nearest float is the rule: std::from_chars is correctly rounded there.
TEST(FloatParse, AgreesWithCorrectRoundingInTheNearestRange) {
  std::mt19937_64 random(2024);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t digits = random() % 10000000000000000000u;
    const int exponent = static_cast<int>(random() % 80) - 60;
    const std::string text = std::to_string(digits) + "e" + std::to_string(exponent);
    float expected = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), expected);
    if (result.ec != std::errc() || !(expected >= 0x1p-149f) || !(expected < 0x1p127f)) continue;
    // from_chars rounds values just below 2^-149 up to it; the parse gives 0.
    if (static_cast<double>(digits) * std::pow(10.0, exponent) < 0x1.1p-149) continue;
    float value = 0;
    ASSERT_NE(parseFloat(text.data(), text.data() + text.size(), value), nullptr);
    ASSERT_EQ(bitsOf(value), bitsOf(expected)) << text;
  }
}

// What the dump writer prints, the parse reads back: exactly for dyadic
// values that fit the eight places, and to the same text for any float.
TEST(FloatParse, ReadsBackWhatTheWriterPrints) {
  std::mt19937 random(99);
  for (int i = 0; i < 100000; ++i) {
    const float dyadic = static_cast<float>(static_cast<int>(random() % 512000) - 256000) / 256.0f;
    char text[kMaxNumberText];
    char* end = formatEightDecimal(dyadic, text);
    float value = 1;
    ASSERT_NE(parseFloat(text, end, value), nullptr);
    ASSERT_EQ(bitsOf(value), bitsOf(dyadic)) << std::string(text, end);

    // From 2^127 up the parse cuts toward zero, so only values below it
    // are sure to come back as themselves.
    const float any = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (!(std::fabs(any) < 0x1p127f)) continue;
    end = formatEightDecimal(any, text);
    ASSERT_NE(parseFloat(text, end, value), nullptr);
    char again[kMaxNumberText];
    char* againEnd = formatEightDecimal(value, again);
    ASSERT_EQ(std::string(text, end), std::string(again, againEnd));
  }
}

struct CountCase {
  const char* text;
  bool parses;
  std::int32_t value;
};

TEST(CountParse, Table) {
  const CountCase cases[] = {
      {"\t2", true, 2},
      {"\t+2", true, 2},
      {"\t2.9", true, 2},
      {"  -17", true, -17},
      {"0", true, 0},
      {"2147483647", true, 2147483647},
      {"2147483648", true, -2147483647 - 1},
      {"4294967298", true, 2},               // 2^32 + 2
      {"-4294967295", true, 1},
      {"18446744073709551617", true, 1},     // 2^64 + 1
      {"340282366920938463463374607431768211459", true, 3},  // 2^128 + 3
      {"\tabc", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"- 5", false, 0},
      {".5", false, 0},
  };
  for (const CountCase& c : cases) {
    std::int32_t value = 12345;
    const bool parsed = parseCount(c.text, c.text + std::strlen(c.text), value);
    EXPECT_EQ(parsed, c.parses) << '"' << c.text << '"';
    EXPECT_EQ(value, c.parses ? c.value : 12345) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace tolvak
