#include "format/dump_rules.h"

#include <cstring>

namespace tolvak {
namespace {

// Copies the characters of `text` before its first LF, at most `size`, and
// fills the rest of `out` with zero bytes.
void copyUpToLineFeed(std::string_view text, unsigned char* out, std::size_t size) {
  const std::size_t lineFeed = text.find('\n');
  std::size_t length = lineFeed == std::string_view::npos ? text.size() : lineFeed;
  if (length > size) length = size;
  if (length != 0) std::memcpy(out, text.data(), length);
  std::memset(out + length, 0, size - length);
}

}  // namespace

long long dumpLineCount(int frameCount, int objectCount) {
  const long long n = objectCount < 0 ? 0 : objectCount;
  const long long f = frameCount < 0 ? 0 : frameCount;
  return 13 + n + f * (2 + n);
}

void tagFromLine(std::string_view line, unsigned char tag[8]) { copyUpToLineFeed(line, tag, 8); }

void nameFromLine(std::string_view line, unsigned char name[32]) {
  if (line.starts_with('\n')) line = {};  // the dropped character ended the line
  copyUpToLineFeed(line.empty() ? line : line.substr(1), name, 32);
}

}  // namespace tolvak
