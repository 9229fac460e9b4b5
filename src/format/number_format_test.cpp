#include "format/number_format.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace tolvak {
namespace {

std::string eight(float value) {
  char buffer[kMaxNumberText];
  return std::string(buffer, formatEightDecimal(value, buffer));
}

std::string three(float value) {
  char buffer[kMaxNumberText];
  return std::string(buffer, formatThreeDecimal(value, buffer));
}

std::string count(std::int32_t value) {
  char buffer[kMaxNumberText];
  return std::string(buffer, formatCount(value, buffer));
}

float fromBits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

struct FormatCase {
  float value;
  const char* text;
};

TEST(EightDecimalForm, Table) {
  const FormatCase cases[] = {
      {1.5f, "  1.50000000"},
      {-2.25f, " -2.25000000"},
      {0.0f, "  0.00000000"},
      {-0.0f, " -0.00000000"},
      {0.5f, "  0.50000000"},
      {100.0f, "100.00000000"},
      {-100.0f, "-100.00000000"},        // 13 characters, nothing cut
      {1000.125f, "1000.12500000"},
      {-1234.5f, "-1234.50000000"},
      {999.99999999f, "1000.00000000"},  // the float nearest is 1000
      {12.0625f, " 12.06250000"},
      {0.1f, "  0.10000000"},            // 0.100000001490116...
      {1e10f, "10000000000.00000000"},
      {-0.000000004f, " -0.00000000"},   // rounds to zero, keeps its sign
      {0.000000006f, "  0.00000001"},
      {0.001953125f, "  0.00195312"},    // halfway: to the even digit
      {0.005859375f, "  0.00585938"},    // halfway: to the even digit
      {fromBits(0x00000001u), "  0.00000000"},  // smallest subnormal
      {fromBits(0x80000001u), " -0.00000000"},
      {16777216.0f, "16777216.00000000"},
      {9999999980506447872.0f, "9999999980506447872.00000000"},  // 19 digits: exact
      // 2^64 has 20 digits: the first 19 are kept, rounded, then a zero.
      {18446744073709551616.0f, "18446744073709551620.00000000"},
      // 2^107 has 33 digits: rounded to 19, and only 7 places after the point.
      {162259276829213363391578010288128.0f, "162259276829213363400000000000000.0000000"},
      {std::numeric_limits<float>::max(), "340282346638528859800000000000000000000.0"},
      {-std::numeric_limits<float>::max(), "-340282346638528859800000000000000000000.0"},
      {std::numeric_limits<float>::infinity(), "        +INF"},
      {-std::numeric_limits<float>::infinity(), "        -INF"},
      {fromBits(0x7FC00000u), "        +NAN"},
      {fromBits(0xFFC00000u), "        -NAN"},
      {fromBits(0x7F800001u), "        +NAN"},  // signalling, with payload
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(eight(c.value), c.text) << std::hex << std::bit_cast<std::uint32_t>(c.value);
  }
}

TEST(ThreeDecimalForm, Table) {
  const FormatCase cases[] = {
      {1.0f, "1.000"},
      {0.0f, "0.000"},
      {-0.0f, "-0.000"},
      {0.0625f, "0.062"},  // halfway cases go to the even digit
      {0.1875f, "0.188"},
      {1.0625f, "1.062"},
      {-0.0004f, "-0.000"},
      {2.5f, "2.500"},
      {123456.789f, "123456.789"},  // 123456.7890625
      {1e10f, "10000000000.000"},
      {std::numeric_limits<float>::max(), "340282346638528859800000000000000000000.0"},
      {-std::numeric_limits<float>::infinity(), "-INF"},
      {std::numeric_limits<float>::infinity(), "+INF"},
      {fromBits(0xFFC00001u), "-NAN"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(three(c.value), c.text) << std::hex << std::bit_cast<std::uint32_t>(c.value);
  }
}

TEST(CountForm, Table) {
  EXPECT_EQ(count(0), "0");
  EXPECT_EQ(count(7), "7");
  EXPECT_EQ(count(-1), "-1");
  EXPECT_EQ(count(1000000), "1000000");
  EXPECT_EQ(count(std::numeric_limits<std::int32_t>::max()), "2147483647");
  EXPECT_EQ(count(std::numeric_limits<std::int32_t>::min()), "-2147483648");
}

// std::to_chars with a precision prints the exact value of a double rounded
// half to even, which for values below 10^19 is the same rule: an
// independent oracle over many random floats.
TEST(FixedForms, AgreeWithExactLibraryFormatting) {
  std::mt19937 random(12345);
  for (int i = 0; i < 200000; ++i) {
    float value = fromBits(static_cast<std::uint32_t>(random()));
    if (!(std::fabs(value) < 1e18f)) continue;
    for (int places : {8, 3}) {
      char expected[400];
      const auto result = std::to_chars(expected, expected + sizeof expected,
                                        static_cast<double>(value), std::chars_format::fixed, places);
      std::string text(expected, result.ptr);
      if (places == 8 && text.size() < 12) text.insert(0, 12 - text.size(), ' ');
      ASSERT_EQ(places == 8 ? eight(value) : three(value), text)
          << std::hex << std::bit_cast<std::uint32_t>(value);
    }
  }
}

}  // namespace
}  // namespace tolvak
