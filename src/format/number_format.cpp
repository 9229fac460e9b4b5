#include "format/number_format.h"

#include <bit>
#include <cstring>

namespace tolvak {
namespace {

constexpr std::uint64_t kPowersOf10[] = {
    1u,
    10u,
    100u,
    1000u,
    10000u,
    100000u,
    1000000u,
    10000000u,
    100000000u,
    1000000000u,
    10000000000u,
    100000000000u,
    1000000000000u,
    10000000000000u,
    100000000000000u,
    1000000000000000u,
    10000000000000000u,
    100000000000000000u,
    1000000000000000000u,
    10000000000000000000u,
};

constexpr int kMaxSignificantDigits = 19;
constexpr int kMaxDigits = 40;

// "00" "01" ... "99": two digits per table lookup.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int countDigits(std::uint64_t value) {
  int digits = 1;
  while (digits < 20 && value >= kPowersOf10[digits]) ++digits;
  return digits;
}

// Writes exactly `width` decimal digits of `value` (which has no more),
// zero-padded on the left.
void writeDigits(std::uint64_t value, int width, char* out) {
  char* p = out + width;
  while (p - out >= 2) {
    const std::uint64_t pair = value % 100;
    value /= 100;
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * pair, 2);
  }
  if (p != out) *--p = static_cast<char>('0' + value % 10);
}

// Writes the 8 decimal digits of `value` (below 10^8) with a few
// multiplications instead of a division per digit: the two 4-digit halves
// go into 32-bit lanes, split into 2-digit 16-bit lanes, then into byte
// lanes, each step dividing all lanes at once by a multiply and shift that
// is exact in its range.
void writeEightDigits(std::uint32_t value, char* out) {
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t merged = value / 10000 | std::uint64_t{value % 10000} << 32;
    const std::uint64_t hundreds = ((merged * 10486) >> 20) & (0x7Fu | std::uint64_t{0x7F} << 32);
    const std::uint64_t pairs = hundreds | (merged - hundreds * 100) << 16;
    std::uint64_t digits = ((pairs * 103) >> 10) & 0x000F000F000F000Fu;
    digits |= (pairs - digits * 10) << 8;
    digits += 0x3030303030303030u;
    std::memcpy(out, &digits, 8);
  } else {
    writeDigits(value, 8, out);
  }
}

// A float split into sign, significand and binary exponent:
// |value| = significand * 2^exponent.
struct Decomposed {
  bool negative;
  bool finite;
  bool nan;
  std::uint32_t significand;
  int exponent;
};

Decomposed decompose(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t field = (bits >> 23) & 0xFF;
  const std::uint32_t fraction = bits & 0x7FFFFF;
  Decomposed d{};
  d.negative = (bits >> 31) != 0;
  if (field == 0xFF) {
    d.finite = false;
    d.nan = fraction != 0;
    return d;
  }
  d.finite = true;
  if (field == 0) {
    d.significand = fraction;
    d.exponent = -149;
  } else {
    d.significand = fraction | 0x800000;
    d.exponent = static_cast<int>(field) - 150;
  }
  return d;
}

// Decimal digits, most significant first, of significand * 2^exponent for
// exponent 0..104 (values up to 2^128). Returns the digit count (at most 39).
int wholeNumberDigits(std::uint32_t significand, int exponent, char* digits) {
  // Little-endian base-2^32 limbs; five hold any value below 2^160.
  std::uint32_t limbs[5] = {};
  const std::uint64_t shifted = std::uint64_t{significand} << (exponent % 32);
  limbs[exponent / 32] = static_cast<std::uint32_t>(shifted);
  limbs[exponent / 32 + 1] = static_cast<std::uint32_t>(shifted >> 32);
  // Peel off nine decimal digits at a time, least significant chunk first.
  char reversed[48];
  int count = 0;
  bool nonzero = true;
  while (nonzero) {
    std::uint64_t remainder = 0;
    nonzero = false;
    for (int i = 4; i >= 0; --i) {
      const std::uint64_t current = remainder << 32 | limbs[i];
      limbs[i] = static_cast<std::uint32_t>(current / 1000000000u);
      remainder = current % 1000000000u;
      nonzero = nonzero || limbs[i] != 0;
    }
    for (int i = 0; i < 9; ++i) {
      reversed[count++] = static_cast<char>('0' + remainder % 10);
      remainder /= 10;
    }
  }
  while (count > 1 && reversed[count - 1] == '0') --count;
  for (int i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  return count;
}

// Keeps the first `kept` of `count` digits, rounded half to even on what
// follows, and turns the rest into zeros. A carry out of the first digit
// (all nines) makes the number one digit longer. Returns the new count.
int roundToSignificantDigits(char* digits, int count, int kept) {
  if (count <= kept) return count;
  const char first = digits[kept];
  bool restNonzero = false;
  for (int i = kept + 1; i < count; ++i) restNonzero = restNonzero || digits[i] != '0';
  const bool odd = ((digits[kept - 1] - '0') & 1) != 0;
  const bool up = first > '5' || (first == '5' && (restNonzero || odd));
  std::memset(digits + kept, '0', count - kept);
  if (!up) return count;
  int i = kept - 1;
  while (i >= 0 && digits[i] == '9') digits[i--] = '0';
  if (i >= 0) {
    ++digits[i];
    return count;
  }
  std::memmove(digits + 1, digits, count);
  digits[0] = '1';
  return count + 1;
}

// An integer value (exponent >= 0): at most 19 significant digits, then
// zeros, then as many of the `places` zeros after the point as the 40-digit
// limit leaves room for.
char* writeWholeNumber(std::uint32_t significand, int exponent, int places, char* out) {
  char digits[kMaxDigits + 8];
  int integerDigits = wholeNumberDigits(significand, exponent, digits);
  integerDigits = roundToSignificantDigits(digits, integerDigits, kMaxSignificantDigits);
  std::memcpy(out, digits, integerDigits);
  out += integerDigits;
  const int room = kMaxDigits - integerDigits;
  const int fractionDigits = places < room ? places : room;
  if (fractionDigits > 0) {
    *out++ = '.';
    std::memset(out, '0', fractionDigits);
    out += fractionDigits;
  }
  return out;
}

// significand * 10^places / 2^shift rounded to an integer, half to even.
// Exact: the product stays below 2^24 * 10^8 < 2^51, and from a shift of 64
// on the quotient is below one half, so it rounds to 0.
std::uint64_t scaleAndRound(std::uint32_t significand, int places, int shift) {
  if (shift >= 64) return 0;
  const std::uint64_t scaled = std::uint64_t{significand} * kPowersOf10[places];
  std::uint64_t rounded = scaled >> shift;
  const std::uint64_t remainder = scaled & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  if (remainder > half || (remainder == half && (rounded & 1) != 0)) ++rounded;
  return rounded;
}

// Formats a float in fixed point with `places` digits after the point.
char* formatFixed(float value, int places, char* out) {
  const Decomposed d = decompose(value);
  if (!d.finite) {
    std::memcpy(out, d.nan ? (d.negative ? "-NAN" : "+NAN") : (d.negative ? "-INF" : "+INF"), 4);
    return out + 4;
  }
  if (d.negative) *out++ = '-';
  if (d.exponent >= 0) {
    return writeWholeNumber(d.significand, d.exponent, places, out);
  }
  // |value| = significand / 2^shift with shift in 1..149.
  const std::uint64_t rounded = scaleAndRound(d.significand, places, -d.exponent);
  const std::uint64_t integerPart = rounded / kPowersOf10[places];
  const std::uint64_t fractionPart = rounded % kPowersOf10[places];
  const int integerDigits = countDigits(integerPart);
  writeDigits(integerPart, integerDigits, out);
  out += integerDigits;
  *out++ = '.';
  writeDigits(fractionPart, places, out);
  return out + places;
}

}  // namespace

char* formatEightDecimal(float value, char* out) {
  constexpr int kWidth = 12;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t field = (bits >> 23) & 0xFF;
  if (field > 150 - 64 && field < 150) {
    // The common case, written straight into its 12 columns: a normal
    // value from 2^-40 up to 2^24, rounded to 8 places with one shift.
    const bool negative = (bits >> 31) != 0;
    const std::uint64_t rounded =
        scaleAndRound((bits & 0x7FFFFF) | 0x800000, 8, 150 - static_cast<int>(field));
    const auto integerPart = static_cast<std::uint32_t>(rounded / 100000000u);
    const int integerDigits = integerPart < 10 ? 1 : integerPart < 100 ? 2 : integerPart < 1000 ? 3 : countDigits(std::uint64_t{integerPart});
    const int length = (negative ? 1 : 0) + integerDigits + 9;
    // Spaces first, then the text right-aligned over them; a text of 12 or
    // more characters starts at the left edge.
    std::memset(out, ' ', kWidth);
    char* p = out + (length < kWidth ? kWidth - length : 0);
    if (negative) *p++ = '-';
    if (integerDigits == 1) {
      *p = static_cast<char>('0' + integerPart);
    } else if (integerDigits == 2) {
      std::memcpy(p, kDigitPairs + 2 * integerPart, 2);
    } else {
      writeDigits(integerPart, integerDigits, p);
    }
    p += integerDigits;
    *p++ = '.';
    writeEightDigits(static_cast<std::uint32_t>(rounded % 100000000u), p);
    return p + 8;
  }
  char text[kMaxNumberText];
  const int length = static_cast<int>(formatFixed(value, 8, text) - text);
  const int padding = length < kWidth ? kWidth - length : 0;
  std::memset(out, ' ', padding);
  std::memcpy(out + padding, text, length);
  return out + padding + length;
}

char* formatThreeDecimal(float value, char* out) { return formatFixed(value, 3, out); }

char* formatCount(std::int32_t value, char* out) {
  std::uint32_t magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0u - magnitude;
  }
  const int digits = countDigits(std::uint64_t{magnitude});
  writeDigits(magnitude, digits, out);
  return out + digits;
}

}  // namespace tolvak
