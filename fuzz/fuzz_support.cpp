#include "fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "format/motion_file.h"

namespace tolvak::fuzz {

void fail(const std::string& what) {
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

namespace {

std::string& scratchPath() {
  static std::string path;
  return path;
}

void removeScratch() {
  const std::string& dir = scratchPath();
  if (dir.empty()) return;
  for (const std::string& name : scratchEntries()) std::remove((dir + name).c_str());
  ::rmdir(dir.c_str());
}

}  // namespace

const std::string& scratchDir() {
  std::string& dir = scratchPath();
  if (dir.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tolvak-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("cannot create a scratch folder");
    dir = pattern + "/";
    std::atexit(removeScratch);
  }
  return dir;
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) fail("cannot write " + path);
}

bool readFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  bytes.resize(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!in) fail("cannot read " + path);
  return true;
}

bool fileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

void removeIfPresent(const std::string& path) {
  if (std::remove(path.c_str()) != 0 && fileExists(path)) fail("cannot remove " + path);
}

std::vector<std::string> scratchEntries() {
  std::vector<std::string> names;
  DIR* dir = ::opendir(scratchPath().c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> dumpLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string line;
  bool open = false;  // characters since the last LF
  for (char c : bytes) {
    if (c == '\x1a') break;
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
      open = false;
    } else {
      line += c;
      open = true;
    }
  }
  if (open) lines.push_back(line);
  return lines;
}

Bound boundFor(std::int32_t frameCount, std::int32_t objectCount) {
  constexpr std::int64_t kMaxConvertedSize = std::int64_t{1} << 20;
  const std::int64_t announced = motionFileSize(frameCount, objectCount);
  if (announced >= kLargeFileSize) return Bound::kRefused;
  return announced <= kMaxConvertedSize ? Bound::kConvert : Bound::kSkip;
}

std::size_t firstDifference(std::string_view a, std::string_view b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return at;
}

std::uint32_t bitsOf(float value) { return std::bit_cast<std::uint32_t>(value); }
float floatOf(std::uint32_t bits) { return std::bit_cast<float>(bits); }

}  // namespace tolvak::fuzz
