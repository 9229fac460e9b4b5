// The text dump's fixed texts and the rules that take a file tag and an
// object name out of a line.
//
// A dump is written with CR LF line ends on every platform. Its layout, with
// N objects and F frames (lines numbered from 1):
//   1            the file tag
//   2, 3         empty
//   4            "Total Move": (with the quotes)
//   5, 6, 7      TAB and a total move value, eight-decimal form
//   8, 9         Frames count:, then TAB and the frame count
//   10, 11       Objects count:, then TAB and the object count
//   12           Objects list:
//   13 .. 12+N   TAB and an object name
//   13+N         empty
//   then per frame: an empty line, the frame value (three-decimal form),
//   and per object a pose line of twelve TAB-prefixed eight-decimal values.
// Readers go by line position alone; the labels are for people.
#pragma once

#include <string_view>

namespace tolvak {

inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr std::string_view kTotalMoveLabel = "\"Total Move\":";
inline constexpr std::string_view kFramesCountLabel = "Frames count:";
inline constexpr std::string_view kObjectsCountLabel = "Objects count:";
inline constexpr std::string_view kObjectsListLabel = "Objects list:";

// Lines of a dump with these counts (a negative count taken as zero):
// 13 + N + F * (2 + N).
long long dumpLineCount(int frameCount, int objectCount);

// File tag rule: the first 8 characters of the line (before any LF),
// followed by zero bytes up to 8.
void tagFromLine(std::string_view line, unsigned char tag[8]);

// Name rule: the first character (the TAB the writer puts there) is dropped
// unseen; the next 32 positions are the name, where an LF and every position
// past the end give a zero byte. Later characters are ignored.
void nameFromLine(std::string_view line, unsigned char name[32]);

}  // namespace tolvak
