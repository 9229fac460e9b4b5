// Pieces shared by the fuzz targets: failing loudly, a private scratch
// folder, whole-file reads and writes, and the dump reader's view of a
// text dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvak::fuzz {

// Prints "invariant broken: <what>" to stderr and aborts, which libFuzzer
// reports as a crash and saves the input for.
[[noreturn]] void fail(const std::string& what);

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// A folder of this process's own, made once under $TMPDIR (or /tmp) and
// removed with its files when the process ends normally. Ends in '/'.
const std::string& scratchDir();

// Replaces the file's content. Fails the run when it cannot.
void writeFile(const std::string& path, std::string_view bytes);

// The whole file; false when it cannot be opened (missing included).
bool readFile(const std::string& path, std::string& bytes);

bool fileExists(const std::string& path);

// Removes the file if it is there; fails the run when it cannot.
void removeIfPresent(const std::string& path);

// The names in the scratch folder, sorted.
std::vector<std::string> scratchEntries();

// The lines a dump reader sees: every CR dropped, the input cut at the
// first 0x1A, then split at LF. A last line without an LF counts; an input
// that ends with LF has no empty line after it.
std::vector<std::string> dumpLines(std::string_view bytes);

// What a converter target does with the counts an input gives, by the size
// of the motion file they announce (a negative count taken as zero):
//  - from 2 GiB on the converters refuse any file or dump that does not
//    really hold that much, which a fuzz input never does: kRefused;
//  - up to 1 MiB: kConvert;
//  - in between the input is skipped, as converting it would write tens of
//    megabytes: kSkip.
enum class Bound { kConvert, kRefused, kSkip };
Bound boundFor(std::int32_t frameCount, std::int32_t objectCount);

// Where two byte strings first differ (the shorter one's length if one is
// the start of the other).
std::size_t firstDifference(std::string_view a, std::string_view b);

// Bit patterns of floats.
std::uint32_t bitsOf(float value);
float floatOf(std::uint32_t bits);

}  // namespace tolvak::fuzz
