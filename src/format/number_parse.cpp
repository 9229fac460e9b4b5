#include "format/number_parse.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace tolvak {
namespace {

// A digit is kept while fewer than 19 significant ones are: below 10^18.
constexpr std::uint64_t kKeepAnotherDigit = 1000000000000000000u;

// Eight ASCII digits read as one little-endian 64-bit word: true when every
// byte is '0'..'9' (adding 0x46 carries into the top bit exactly for bytes
// above '9', subtracting 0x30 borrows into it exactly for bytes below '0').
bool areEightDigits(std::uint64_t chunk) {
  if constexpr (std::endian::native != std::endian::little) return false;
  return (((chunk + 0x4646464646464646u) | (chunk - 0x3030303030303030u)) & 0x8080808080808080u) == 0;
}

// Their value: pairs of digits, then pairs of pairs, combined by multiplying
// all lanes at once.
std::uint32_t eightDigitsValue(std::uint64_t chunk) {
  chunk -= 0x3030303030303030u;
  chunk = chunk * 10 + (chunk >> 8);  // each 16-bit lane: two digits' value
  const std::uint64_t mask = 0x000000FF000000FFu;
  const std::uint64_t mul1 = 100 + (std::uint64_t{1000000} << 32);
  const std::uint64_t mul2 = 1 + (std::uint64_t{10000} << 32);
  chunk = (((chunk & mask) * mul1) + (((chunk >> 16) & mask) * mul2)) >> 32;
  return static_cast<std::uint32_t>(chunk);
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

const char* skipSpace(const char* p, const char* end) {
  while (p != end && isSpace(*p)) ++p;
  return p;
}

// ---------------------------------------------------------------------------
// Exact conversion for the cases the fast path cannot settle: a small
// fixed-size unsigned big integer, little-endian base 2^32.

class BigInt {
 public:
  static constexpr int kLimbs = 40;  // 1280 bits; the largest use is ~420

  explicit BigInt(std::uint64_t value) {
    limbs_[0] = static_cast<std::uint32_t>(value);
    limbs_[1] = static_cast<std::uint32_t>(value >> 32);
    size_ = limbs_[1] != 0 ? 2 : (limbs_[0] != 0 ? 1 : 0);
  }

  void multiply(std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (int i = 0; i < size_; ++i) {
      const std::uint64_t product = std::uint64_t{limbs_[i]} * factor + carry;
      limbs_[i] = static_cast<std::uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0) limbs_[size_++] = static_cast<std::uint32_t>(carry);
  }

  void multiplyByPowerOf10(int power) {
    for (; power >= 9; power -= 9) multiply(1000000000u);
    static constexpr std::uint32_t kSmall[] = {1,      10,      100,      1000,     10000,
                                               100000, 1000000, 10000000, 100000000};
    multiply(kSmall[power]);
  }

  void shiftLeft(int bits) {
    if (size_ == 0) return;
    const int whole = bits / 32;
    const int part = bits % 32;
    if (part != 0) {
      std::uint32_t carry = 0;
      for (int i = 0; i < size_; ++i) {
        const std::uint32_t next = limbs_[i] >> (32 - part);
        limbs_[i] = limbs_[i] << part | carry;
        carry = next;
      }
      if (carry != 0) limbs_[size_++] = carry;
    }
    if (whole != 0) {
      for (int i = size_ - 1; i >= 0; --i) limbs_[i + whole] = limbs_[i];
      for (int i = 0; i < whole; ++i) limbs_[i] = 0;
      size_ += whole;
    }
  }

  int bitLength() const {
    if (size_ == 0) return 0;
    return 32 * (size_ - 1) + std::bit_width(limbs_[size_ - 1]);
  }

  friend int compare(const BigInt& a, const BigInt& b) {
    if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
    for (int i = a.size_ - 1; i >= 0; --i) {
      if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
    }
    return 0;
  }

 private:
  std::uint32_t limbs_[kLimbs] = {};
  int size_ = 0;
};

// Sign of numerator - denominator * 2^power.
int compareWithPowerOfTwo(const BigInt& numerator, const BigInt& denominator, int power) {
  BigInt left = numerator;
  BigInt right = denominator;
  if (power >= 0) {
    right.shiftLeft(power);
  } else {
    left.shiftLeft(-power);
  }
  return compare(left, right);
}

int countDecimalDigits(std::uint64_t value) {
  int digits = 0;
  do {
    ++digits;
    value /= 10;
  } while (value != 0);
  return digits;
}

float makeFloat(std::uint32_t significand, int exponent, bool negative) {
  const float magnitude = std::ldexp(static_cast<float>(significand), exponent);
  return negative ? -magnitude : magnitude;
}

// The exact conversion: the value is numerator / denominator with both as
// big integers, and every decision is an exact comparison.
float exactDecimalToFloat(std::uint64_t digits, int exponent10, bool negative) {
  BigInt numerator(digits);
  BigInt denominator(1);
  if (exponent10 >= 0) {
    numerator.multiplyByPowerOf10(exponent10);
  } else {
    denominator.multiplyByPowerOf10(-exponent10);
  }
  // Binary exponent e with 2^e <= value < 2^(e+1); the bit lengths give it
  // to within one.
  int exponent = numerator.bitLength() - denominator.bitLength();
  if (compareWithPowerOfTwo(numerator, denominator, exponent) < 0) --exponent;

  const float infinity = std::numeric_limits<float>::infinity();
  if (exponent >= 128) return negative ? -infinity : infinity;
  if (exponent < -149) return negative ? -0.0f : 0.0f;

  // Scale so that the integer part of value / 2^scale is the significand:
  // 24 bits for normal numbers, fewer below 2^-126.
  const int scale = exponent - 23 > -149 ? exponent - 23 : -149;
  BigInt scaledNumerator = numerator;
  BigInt scaledDenominator = denominator;
  if (scale >= 0) {
    scaledDenominator.shiftLeft(scale);
  } else {
    scaledNumerator.shiftLeft(-scale);
  }
  // Long division, one bit at a time: the quotient has at most 24 bits.
  std::uint32_t significand = 0;
  for (int bit = 24; bit >= 0; --bit) {
    const std::uint32_t candidate = significand | std::uint32_t{1} << bit;
    BigInt product = scaledDenominator;
    product.multiply(candidate);
    if (compare(product, scaledNumerator) <= 0) significand = candidate;
  }
  if (exponent < 127) {
    // Round to nearest, ties to even: compare 2 * value with
    // (2 * significand + 1) * denominator.
    BigInt twiceValue = scaledNumerator;
    twiceValue.shiftLeft(1);
    BigInt midpoint = scaledDenominator;
    midpoint.multiply(2 * significand + 1);
    const int order = compare(twiceValue, midpoint);
    if (order > 0 || (order == 0 && (significand & 1) != 0)) ++significand;
  }
  // From 2^127 up the value is cut toward zero, so it stays finite.
  return makeFloat(significand, scale, negative);
}

constexpr double kExactPowersOf10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

float decimalToFloat(std::uint64_t digits, std::int64_t exponent10, bool negative) {
  if (digits == 0) return negative ? -0.0f : 0.0f;

  // Fast path: with digits below 2^53 and |exponent10| <= 22 both operands
  // are exact doubles, so one multiplication or division gives the
  // correctly rounded double d. Rounding d to float then gives the correct
  // float, unless d lies exactly halfway between two floats (the true value
  // may be on either side), or outside the normal range where plain
  // round-to-nearest is the rule; those go to the exact path.
  if (digits < (std::uint64_t{1} << 53) && exponent10 >= -22 && exponent10 <= 22) {
    const double exact = static_cast<double>(digits);
    const double d = exponent10 < 0 ? exact / kExactPowersOf10[-exponent10]
                                    : exact * kExactPowersOf10[exponent10];
    if (d >= 0x1p-126 && d < 0x1p127) {
      // A float keeps 24 of the double's 53 significand bits; d is halfway
      // when the 29 bits dropped are exactly 1000...0.
      const std::uint64_t dropped = std::bit_cast<std::uint64_t>(d) & 0x1FFFFFFFu;
      if (dropped != 0x10000000u) {
        const float nearest = static_cast<float>(d);
        return negative ? -nearest : nearest;
      }
    }
  }

  const std::int64_t magnitude = countDecimalDigits(digits) + exponent10;
  // value >= 10^(magnitude - 1) and < 10^magnitude.
  if (magnitude > 39) {  // >= 10^39 > 2^128
    const float infinity = std::numeric_limits<float>::infinity();
    return negative ? -infinity : infinity;
  }
  if (magnitude < -45) return negative ? -0.0f : 0.0f;  // < 10^-46 < 2^-149
  return exactDecimalToFloat(digits, static_cast<int>(exponent10), negative);
}

const char* parseFloat(const char* begin, const char* end, float& value) {
  const char* p = skipSpace(begin, end);
  bool negative = false;
  bool hasSign = false;
  if (p != end && (*p == '+' || *p == '-')) {
    hasSign = true;
    negative = *p == '-';
    ++p;
  }
  if (hasSign && p != end && (*p == 'I' || *p == 'N')) {
    if (end - p >= 3 && std::memcmp(p, "INF", 3) == 0) {
      const float infinity = std::numeric_limits<float>::infinity();
      value = negative ? -infinity : infinity;
      return p + 3;
    }
    if (end - p >= 3 && std::memcmp(p, "NAN", 3) == 0) {
      value = std::bit_cast<float>((negative ? 0x80000000u : 0u) | 0x7FC00000u);
      return p + 3;
    }
    return nullptr;
  }

  // Mantissa: the first 19 significant digits go into `digits`; a digit is
  // kept while fewer than 19 are (digits < 10^18), and leading zeros keep
  // `digits` at 0 on their own. `exponent10` places the point: it counts the
  // kept digits after the point and the dropped digits before it.
  std::uint64_t digits = 0;
  std::int64_t exponent10 = 0;
  bool sawDigit = false;
  for (; p != end && isDigit(*p); ++p) {
    sawDigit = true;
    if (digits < kKeepAnotherDigit) {
      digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    } else {
      ++exponent10;
    }
  }
  if (p != end && *p == '.') {
    ++p;
    // Eight digits at a time while the result cannot pass 19 digits.
    while (end - p >= 8 && digits < 100000000000u) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      if (!areEightDigits(chunk)) break;
      digits = digits * 100000000u + eightDigitsValue(chunk);
      exponent10 -= 8;
      p += 8;
      sawDigit = true;
    }
    for (; p != end && isDigit(*p); ++p) {
      sawDigit = true;
      if (digits < kKeepAnotherDigit) {
        digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
        --exponent10;
      }
    }
  }
  if (!sawDigit) return nullptr;

  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negativeExponent = false;
    if (p != end && (*p == '+' || *p == '-')) {
      negativeExponent = *p == '-';
      ++p;
    }
    // Anything beyond a few hundred already decides zero or infinity, so the
    // exponent is held at a bound instead of overflowing.
    constexpr std::int64_t kExponentBound = 100000;
    std::int64_t exponent = 0;
    for (; p != end && isDigit(*p); ++p) {
      if (exponent < kExponentBound) exponent = exponent * 10 + (*p - '0');
    }
    exponent10 += negativeExponent ? -exponent : exponent;
  }
  value = decimalToFloat(digits, exponent10, negative);
  return p;
}

bool parseCount(const char* begin, const char* end, std::int32_t& value) {
  const char* p = skipSpace(begin, end);
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == end || !isDigit(*p)) return false;
  // Unsigned arithmetic wraps modulo 2^32, which is exactly the rule for
  // numbers of any length.
  std::uint32_t magnitude = 0;
  for (; p != end && isDigit(*p); ++p) magnitude = magnitude * 10u + static_cast<std::uint32_t>(*p - '0');
  value = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
  return true;
}

}  // namespace tolvak
