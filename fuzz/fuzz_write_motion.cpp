// writeMotion on arbitrary text dumps.
//
// The input is written as PATH.tmpw over an existing motion file at PATH and
// converted. The harness builds the expected motion file on its own from the
// lines a dump reader sees (CRs dropped, input cut at the first 0x1A, split
// at LF): the tag and name rules, one float slot shared by the total move
// and frame values, twelve pose slots that keep their values across lines
// and stop at the first number that does not parse, a dump that has run out
// repeating its last line and giving zero names, and a negative count
// running its loops no times. Numbers are parsed with the library's
// parseFloat and parseCount, which fuzz_number_parse checks on their own.
//
// After every run PATH.tmpw must be gone and nothing else may be left in
// the folder. On success PATH must be 28 + 32 N + F (4 + 80 N) bytes (counts
// as parsed, a negative one taken as zero), hold exactly the expected bytes
// and keep the old file's permission bits; on failure the old PATH must be
// unchanged byte for byte.
//
// Work is bounded by the size the counts announce: from 2 GiB on, a dump
// that does not hold every line is refused; between 1 MiB and 2 GiB the
// input is skipped.

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "convert/write_motion.h"
#include "format/number_parse.h"
#include "fuzz_support.h"

namespace {

using namespace tolvak::fuzz;

constexpr mode_t kOldFileMode = 0640;
constexpr std::string_view kOldContent = "an older motion file\n";

// The dump as the converter reads it, line by line. Past the end, the
// last line read stays.
class ModelLines {
 public:
  explicit ModelLines(std::string_view bytes) : lines_(dumpLines(bytes)) {}

  void next() {
    if (next_ < lines_.size()) line_ = lines_[next_++];
  }
  void clear() { line_.clear(); }
  const std::string& line() const { return line_; }

 private:
  std::vector<std::string> lines_;
  std::size_t next_ = 0;
  std::string line_;
};

void addBits(std::string& out, std::uint32_t bits) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(bits >> (8 * i));
}

float parseLineFloat(const std::string& line, float slot) {
  tolvak::parseFloat(line.data(), line.data() + line.size(), slot);
  return slot;
}

std::int32_t parseLineCount(const std::string& line) {
  std::int32_t count = 0;
  tolvak::parseCount(line.data(), line.data() + line.size(), count);
  return count;
}

struct Model {
  std::int32_t frameCount = 0;
  std::int32_t objectCount = 0;
  std::string header;      // the 28 header bytes
  float frameSlot = 0.0f;  // the shared float slot after the total move
};

Model readHeader(ModelLines& lines) {
  Model model;
  lines.next();
  std::string tag = lines.line().substr(0, 8);
  tag.resize(8, '\0');
  model.header = tag;
  for (int i = 0; i < 3; ++i) lines.next();
  for (int t = 0; t < 3; ++t) {
    lines.next();
    model.frameSlot = parseLineFloat(lines.line(), model.frameSlot);
    addBits(model.header, bitsOf(model.frameSlot));
  }
  lines.next();
  lines.next();
  model.frameCount = parseLineCount(lines.line());
  lines.next();
  lines.next();
  model.objectCount = parseLineCount(lines.line());
  addBits(model.header, static_cast<std::uint32_t>(model.frameCount));
  addBits(model.header, static_cast<std::uint32_t>(model.objectCount));
  lines.next();
  return model;
}

// Everything after the header. The float slot shared with the total move
// values continues from the third of them.
std::string readBody(ModelLines& lines, const Model& model) {
  std::string out;
  float frameSlot = model.frameSlot;
  std::vector<std::string> names;
  for (std::int32_t j = 0; j < model.objectCount; ++j) {
    lines.clear();
    lines.next();
    std::string name = lines.line().empty() ? std::string() : lines.line().substr(1, 32);
    name.resize(32, '\0');
    out += name;
    names.push_back(name);
  }
  lines.next();
  std::array<float, 12> poses{};
  for (std::int32_t f = 0; f < model.frameCount; ++f) {
    lines.next();
    lines.next();
    frameSlot = parseLineFloat(lines.line(), frameSlot);
    addBits(out, bitsOf(frameSlot));
    for (std::int32_t j = 0; j < model.objectCount; ++j) {
      lines.next();
      const std::string& line = lines.line();
      const char* p = line.data();
      for (int k = 0; k < 12 && p != nullptr; ++k) {
        p = tolvak::parseFloat(p, line.data() + line.size(), poses[k]);
      }
      out += names[static_cast<std::size_t>(j)];
      for (float value : poses) addBits(out, bitsOf(value));
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view dump(reinterpret_cast<const char*>(data), size);
  ModelLines lines(dump);
  const Model model = readHeader(lines);
  const Bound bound = boundFor(model.frameCount, model.objectCount);
  if (bound == Bound::kSkip) return 0;
  const bool refused = bound == Bound::kRefused;

  const std::string path = scratchDir() + "m.mot";
  const std::string sourcePath = path + ".tmpw";
  writeFile(path, kOldContent);
  check(::chmod(path.c_str(), kOldFileMode) == 0, "cannot set the old file's mode");
  writeFile(sourcePath, dump);

  const bool written = tolvak::writeMotion(path);

  check(!fileExists(sourcePath), "writeMotion left its dump behind");
  check(scratchEntries().size() == 1, "writeMotion left a file other than the motion file");
  std::string result;
  check(readFile(path, result), "the motion file is gone");
  if (!written) {
    check(refused, "writeMotion failed on a dump it should convert");
    check(result == kOldContent, "a failed writeMotion changed the old motion file");
    return 0;
  }
  check(!refused, "counts that announce 2 GiB or more over a short dump were converted");

  const std::int64_t n = model.objectCount < 0 ? 0 : model.objectCount;
  const std::int64_t f = model.frameCount < 0 ? 0 : model.frameCount;
  const std::int64_t expectedSize = 28 + 32 * n + f * (4 + 80 * n);
  if (static_cast<std::int64_t>(result.size()) != expectedSize) {
    fail("the motion file has " + std::to_string(result.size()) + " bytes, its counts call for " +
         std::to_string(expectedSize));
  }
  const std::string expected = model.header + readBody(lines, model);
  if (result != expected) {
    fail("the motion file differs from what the dump gives, from byte " +
         std::to_string(firstDifference(result, expected)));
  }
  struct stat info;
  check(::stat(path.c_str(), &info) == 0 && (info.st_mode & 07777) == kOldFileMode,
        "the new motion file lost the old one's permission bits");
  return 0;
}
