// Reading numbers back from dump lines.
//
// Float parse: white space (space, TAB, LF, CR, VT, FF) is skipped, then an
// optional sign. Right after an explicit sign, "INF" and "NAN" (upper case
// only) give an infinity or a quiet NaN with that sign. Otherwise decimal
// digits with at most one point and at least one digit, then optionally an
// exponent: "e" or "E", an optional sign and digits, where an "e" with no
// digits counts as exponent 0 and is consumed with its sign.
//
// The number is formed from its first 19 significant digits (later digits
// only move the point) and converted exactly to single precision:
//   magnitude below 2^-149 (but not zero)   -> zero of the same sign
//   2^-149 up to 2^127                      -> nearest float, ties to even
//   2^127 up to 2^128                       -> cut toward zero (stays finite)
//   2^128 and above                         -> infinity
// A zero with a minus sign is negative zero. Exponents of any size are safe.
//
// Integer parse: white space, an optional sign and at least one digit; the
// number modulo 2^32 with its sign applied, as a signed 32-bit value, for
// numbers of any length.
#pragma once

#include <cstdint>

namespace tolvak {

// Parses one float from [begin, end). Returns where the parse stopped and
// stores the value, or returns nullptr (value untouched) when there is no
// number.
const char* parseFloat(const char* begin, const char* end, float& value);

// Parses one count from [begin, end). Returns false (value untouched) when
// there is no number.
bool parseCount(const char* begin, const char* end, std::int32_t& value);

// The conversion step of the float parse on its own: the value of
// `digits` * 10^`exponent10` (digits below 10^19) as a float, by the rules
// above.
float decimalToFloat(std::uint64_t digits, std::int64_t exponent10, bool negative);

}  // namespace tolvak
