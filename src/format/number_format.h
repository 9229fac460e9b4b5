// The dump's three number forms.
//
//  - eight-decimal form: fixed point with 8 digits after the point, padded
//    with spaces on the left to 12 characters (never cut when longer);
//  - three-decimal form: fixed point with 3 digits after the point;
//  - count form: a signed decimal integer.
//
// A float is written from its exact binary value and rounded once, half to
// even. The sign follows the sign bit, so negative zero and tiny negative
// values print "-". At most 19 significant digits are taken from a value
// (the rest of a longer integer part is written as zeros) and at most 40
// digits are written in all, so the largest float prints as
// 340282346638528859800000000000000000000.0 in both forms. Infinities and
// NaNs are the words +INF, -INF, +NAN and -NAN, padded like numbers.
//
// The output never depends on the host's locale.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvak {

// Room any single number text needs: sign, 40 digits and a point, or the
// eight-decimal padding, whichever is longer.
inline constexpr std::size_t kMaxNumberText = 48;

// Each function writes the text at `out`, which must have room for
// kMaxNumberText bytes, and returns the end of what it wrote.
char* formatEightDecimal(float value, char* out);
char* formatThreeDecimal(float value, char* out);
char* formatCount(std::int32_t value, char* out);

}  // namespace tolvak
