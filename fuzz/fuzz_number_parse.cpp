// The dump's number parsing on arbitrary lines, and its agreement with the
// number forms.
//
// The input is one line. parseFloat is run over it the way a pose line is
// read, each parse starting where the one before stopped, until one fails;
// parseCount is run on it once. Every call works on an exact-size heap copy
// of the rest of the line, so AddressSanitizer reports a read on either side
// of [begin, end). Each result is checked against a reference written here
// from the rules alone: the tokenizer (white space, sign, "INF"/"NAN" only
// after a sign, digits with at most one point, an exponent whose "e" and
// sign are taken even without digits) must stop at the same place, and the
// value must be the one the C library's correctly rounded strtof gives for
// the number cut to 19 significant digits. Where the rules part from plain
// rounding (below 2^-149 the parse gives zero, from 2^127 up it cuts toward
// zero) only the two candidates are allowed. A parse that fails must leave
// its value untouched.
//
// Every float parsed, and the float bit patterns of the input's first bytes,
// go through both dump forms. Below 10^19 in magnitude the text must be the
// C library's fixed-point text of the exact value (half to even, the sign
// from the sign bit), padded as the form says; NaNs and infinities give
// their words. And the text must survive a pass back: parse it, format
// again, and the two texts agree (finite values below 2^127 in magnitude;
// infinities and NaNs keep their sign).
//
// The input's first 17 bytes also drive decimalToFloat directly: digits
// below 10^19 and any decimal exponent within +-10^6 must give the
// reference value, the result must not shrink when the digits or the
// exponent grow, and the sign must only flip the sign bit.

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "format/number_format.h"
#include "format/number_parse.h"
#include "fuzz_support.h"

namespace {

using namespace tolvak::fuzz;

constexpr float kTwoTo127 = 0x1p127f;
constexpr std::uint32_t kUntouched = 0x7FA5A5A5u;  // a NaN no parse produces
constexpr std::uint64_t kTenTo19 = 10000000000000000000u;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }

struct FloatToken {
  bool found = false;
  std::size_t length = 0;  // characters taken, leading white space included
  enum Kind { kNumber, kInfinity, kNaN } kind = kNumber;
  bool negative = false;
  std::string decimal;  // kNumber: the number cut to 19 significant digits
};

FloatToken scanFloat(std::string_view s) {
  FloatToken token;
  std::size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  bool hasSign = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    hasSign = true;
    token.negative = s[i] == '-';
    ++i;
  }
  if (hasSign && i < s.size() && (s[i] == 'I' || s[i] == 'N')) {
    const std::string_view word = s.substr(i, 3);
    if (word == "INF" || word == "NAN") {
      token.found = true;
      token.kind = word == "INF" ? FloatToken::kInfinity : FloatToken::kNaN;
      token.length = i + 3;
    }
    return token;
  }
  std::string mantissa = token.negative ? "-" : "";
  int digits = 0;
  int significant = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (s[i] == '.' && !point) {
      point = true;
      mantissa += '.';
      continue;
    }
    if (!isDigit(s[i])) break;
    ++digits;
    if (s[i] != '0' || significant > 0) ++significant;
    mantissa += significant > 19 ? '0' : s[i];
  }
  if (digits == 0) return token;
  token.decimal = mantissa;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    std::string exponent = "e";
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) exponent += s[i++];
    const std::size_t before = exponent.size();
    while (i < s.size() && isDigit(s[i])) exponent += s[i++];
    if (exponent.size() > before) token.decimal += exponent;
  }
  token.found = true;
  token.length = i;
  return token;
}

// `value` against the correctly rounded `nearest` of the same decimal.
void checkAgainstNearest(float value, float nearest, const std::string& what) {
  const float magnitude = std::fabs(nearest);
  const float min = std::numeric_limits<float>::denorm_min();
  bool allowed = bitsOf(value) == bitsOf(nearest);
  if (magnitude == min) {
    // The decimal may lie below 2^-149, which gives zero.
    allowed = allowed || bitsOf(value) == bitsOf(std::copysign(0.0f, nearest));
  } else if (std::isinf(nearest)) {
    allowed = allowed || value == std::copysign(std::numeric_limits<float>::max(), nearest);
  } else if (magnitude >= kTwoTo127) {
    allowed = allowed || value == std::nextafter(nearest, 0.0f);
  }
  if (!allowed) fail(what + " gives the wrong value");
}

void checkFloatToken(const FloatToken& token, float value, const std::string& text) {
  switch (token.kind) {
    case FloatToken::kInfinity:
      check(std::isinf(value) && std::signbit(value) == token.negative, "+INF/-INF misread");
      return;
    case FloatToken::kNaN:
      check(std::isnan(value) && std::signbit(value) == token.negative, "+NAN/-NAN misread");
      return;
    case FloatToken::kNumber:
      checkAgainstNearest(value, std::strtof(token.decimal.c_str(), nullptr),
                          "the number '" + text + "'");
      return;
  }
}

using Form = char* (*)(float, char*);

struct NumberForm {
  Form format;
  int decimals;
  std::size_t width;  // padded with spaces on the left up to this
  const char* name;
};

constexpr NumberForm kEightDecimal{tolvak::formatEightDecimal, 8, 12, "eight-decimal"};
constexpr NumberForm kThreeDecimal{tolvak::formatThreeDecimal, 3, 0, "three-decimal"};

// The text by the rules, where they come down to plain fixed point: the
// C library prints a float's exact value rounded half to even. Not for
// magnitudes of 10^19 and more, where the rules cut to 19 digits.
std::string referenceText(float value, const NumberForm& form) {
  std::string text;
  if (std::isnan(value) || std::isinf(value)) {
    text = std::signbit(value) ? "-" : "+";
    text += std::isnan(value) ? "NAN" : "INF";
  } else {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", form.decimals, static_cast<double>(value));
    text = buffer;
  }
  if (text.size() < form.width) text.insert(0, form.width - text.size(), ' ');
  return text;
}

// The text is the reference one (where there is one); parsing it and
// formatting again gives the same text and keeps the sign.
void checkForm(float value, const NumberForm& form) {
  char text[tolvak::kMaxNumberText];
  char* end = form.format(value, text);
  check(end > text && end <= text + sizeof text, "a number text has the wrong length");
  const std::string_view written(text, static_cast<std::size_t>(end - text));
  if (std::isnan(value) || std::isinf(value) || std::fabs(value) < 1e19f) {
    const std::string expected = referenceText(value, form);
    if (written != expected) {
      fail(std::string(form.name) + " text of bits " + std::to_string(bitsOf(value)) + " is '" +
           std::string(written) + "', not '" + expected + "'");
    }
  }
  if (!std::isnan(value) && !std::isinf(value) && std::fabs(value) >= kTwoTo127) return;
  float back = floatOf(kUntouched);
  const char* stop = tolvak::parseFloat(text, end, back);
  if (stop != end) fail(std::string(form.name) + " text not read back whole: " + std::string(written));
  check(std::signbit(back) == std::signbit(value), "a number text lost its sign");
  if (std::isnan(value)) {
    check(std::isnan(back), "a NaN text did not read back as NaN");
    return;
  }
  char again[tolvak::kMaxNumberText];
  char* againEnd = form.format(back, again);
  if (written != std::string_view(again, static_cast<std::size_t>(againEnd - again))) {
    fail(std::string(form.name) + " text " + std::string(written) + " reads back as " +
         std::string(again, againEnd));
  }
}

void checkForms(float value) {
  checkForm(value, kEightDecimal);
  checkForm(value, kThreeDecimal);
}

// Parses the rest of the line from a copy that is exactly as long.
const char* parseFloatCopy(std::string_view rest, float& value) {
  std::unique_ptr<char[]> copy(new char[rest.size()]);
  std::memcpy(copy.get(), rest.data(), rest.size());
  const char* stop = tolvak::parseFloat(copy.get(), copy.get() + rest.size(), value);
  if (stop == nullptr) return nullptr;
  check(stop > copy.get() && stop <= copy.get() + rest.size(),
        "parseFloat returned a place outside the line or made no progress");
  return rest.data() + (stop - copy.get());
}

void checkPoseLine(std::string_view line) {
  const char* p = line.data();
  const char* const end = p + line.size();
  for (;;) {
    const std::string_view rest(p, static_cast<std::size_t>(end - p));
    const FloatToken token = scanFloat(rest);
    float value = floatOf(kUntouched);
    const char* stop = parseFloatCopy(rest, value);
    if (stop == nullptr) {
      check(!token.found, "parseFloat found no number where there is one");
      check(bitsOf(value) == kUntouched, "a failed parseFloat changed its value");
      return;
    }
    check(token.found, "parseFloat found a number where there is none");
    check(static_cast<std::size_t>(stop - p) == token.length, "parseFloat stopped at the wrong place");
    checkFloatToken(token, value, std::string(p, stop));
    checkForms(value);
    p = stop;
  }
}

void checkCount(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && isSpace(line[i])) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  std::uint32_t magnitude = 0;  // modulo 2^32
  const std::size_t firstDigit = i;
  for (; i < line.size() && isDigit(line[i]); ++i) {
    magnitude = magnitude * 10 + static_cast<std::uint32_t>(line[i] - '0');
  }
  const bool found = i > firstDigit;
  const std::int32_t expected = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);

  std::unique_ptr<char[]> copy(new char[line.size()]);
  std::memcpy(copy.get(), line.data(), line.size());
  std::int32_t count = 0x5A5A5A5A;
  const bool parsed = tolvak::parseCount(copy.get(), copy.get() + line.size(), count);
  check(parsed == found, "parseCount disagrees on whether there is a count");
  check(count == (found ? expected : 0x5A5A5A5A), "parseCount gives the wrong count");
}

std::uint64_t le64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return value;
}

void checkDecimalToFloat(const std::uint8_t* bytes) {
  const std::uint64_t digits = le64(bytes) % kTenTo19;
  const std::int64_t exponent = static_cast<std::int64_t>(le64(bytes + 8) % 2000001) - 1000000;
  const bool negative = (bytes[16] & 1) != 0;
  const float value = tolvak::decimalToFloat(digits, exponent, negative);
  const std::string decimal =
      (negative ? "-" : "") + std::to_string(digits) + "e" + std::to_string(exponent);
  checkAgainstNearest(value, std::strtof(decimal.c_str(), nullptr), "decimalToFloat " + decimal);

  const float flipped = tolvak::decimalToFloat(digits, exponent, !negative);
  check(bitsOf(flipped) == (bitsOf(value) ^ 0x80000000u), "decimalToFloat: the sign does more");
  if (digits + 1 < kTenTo19) {
    const float larger = tolvak::decimalToFloat(digits + 1, exponent, negative);
    check(std::fabs(larger) >= std::fabs(value), "decimalToFloat shrinks as the digits grow");
  }
  if (exponent < 1000000) {
    const float larger = tolvak::decimalToFloat(digits, exponent + 1, negative);
    check(std::fabs(larger) >= std::fabs(value), "decimalToFloat shrinks as the exponent grows");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  checkPoseLine(line);
  checkCount(line);
  for (std::size_t i = 0; i + 4 <= size && i < 32; i += 4) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, data + i, 4);
    checkForms(floatOf(bits));
  }
  if (size >= 17) checkDecimalToFloat(data);
  return 0;
}
