// readMotion on arbitrary motion files.
//
// The input is written as a motion file and converted; the dump must then be
// exactly what the reading rules give for those bytes. The harness works the
// expected dump out on its own, byte by byte: a reader that is good until the
// first read that meets the end of the file (or a position before its start)
// and stores nothing after that, names and the tag stopping before a newline,
// a value cut short keeping the bytes it got over the holder's old content,
// and the holder zeroed before each frame value only. The number texts come
// from the library's formatters, which fuzz_number_parse checks on their own.
//
// Beyond the content, every line must end in CR LF, the line count must be
// 13 + N + F * (2 + N) with a negative count taken as zero, the motion file
// must be left as it was and nothing else may appear in the folder.
//
// Work is bounded by the size the counts announce: from 2 GiB on, a file that
// is not really that long is refused (false, and no dump); between 1 MiB and
// 2 GiB the input is skipped, as its dump would be tens of megabytes.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "convert/read_motion.h"
#include "format/number_format.h"
#include "fuzz_support.h"

namespace {

using namespace tolvak::fuzz;

// The motion file as the converter's reader sees it.
class ModelReader {
 public:
  explicit ModelReader(std::string_view file) : file_(file) {}

  void seek(std::int64_t position) {
    if (!failed_) position_ = position;
  }

  void readValue(std::uint32_t& cell) {
    for (int i = 0; i < 4 && !failed_; ++i) {
      const int byte = take();
      if (byte < 0) return;
      cell = (cell & ~(0xFFu << (8 * i))) | static_cast<std::uint32_t>(byte) << (8 * i);
    }
  }

  // Up to `capacity` bytes, stopping before a newline; the shown text is
  // what comes before the first NUL.
  std::string readShownText(int capacity) {
    std::string text;
    while (!failed_ && static_cast<int>(text.size()) < capacity) {
      const int byte = peek();
      if (byte < 0 || byte == '\n') break;
      text += static_cast<char>(byte);
      ++position_;
    }
    return text.substr(0, text.find('\0'));
  }

 private:
  int peek() {
    if (position_ < 0 || position_ >= static_cast<std::int64_t>(file_.size())) {
      failed_ = true;
      return -1;
    }
    return static_cast<unsigned char>(file_[static_cast<std::size_t>(position_)]);
  }
  int take() {
    const int byte = peek();
    if (byte >= 0) ++position_;
    return byte;
  }

  std::string_view file_;
  std::int64_t position_ = 0;
  bool failed_ = false;
};

void addLine(std::string& dump, std::string_view text) {
  dump += text;
  dump += "\r\n";
}

void addEightDecimal(std::string& line, std::uint32_t bits) {
  char text[tolvak::kMaxNumberText];
  line += '\t';
  line.append(text, tolvak::formatEightDecimal(floatOf(bits), text));
}

struct Counts {
  std::int32_t frameCount = 0;
  std::int32_t objectCount = 0;
};

// Adds the lines up to the object list's label; returns the counts read.
Counts readHeader(ModelReader& reader, std::string& dump) {
  Counts header;
  addLine(dump, reader.readShownText(8));
  addLine(dump, "");
  addLine(dump, "");
  addLine(dump, "\"Total Move\":");
  std::uint32_t holder = 0;
  for (int t = 0; t < 3; ++t) {
    reader.seek(8 + 4 * t);
    reader.readValue(holder);
    std::string line;
    addEightDecimal(line, holder);
    addLine(dump, line);
  }
  std::uint32_t count = 0;
  reader.seek(20);
  reader.readValue(count);
  header.frameCount = static_cast<std::int32_t>(count);
  count = 0;
  reader.seek(24);
  reader.readValue(count);
  header.objectCount = static_cast<std::int32_t>(count);
  addLine(dump, "Frames count:");
  addLine(dump, "\t" + std::to_string(header.frameCount));
  addLine(dump, "Objects count:");
  addLine(dump, "\t" + std::to_string(header.objectCount));
  addLine(dump, "Objects list:");
  return header;
}

void addBody(ModelReader& reader, const Counts& header, std::string& dump) {
  const std::int64_t n = header.objectCount;
  for (std::int64_t i = 0; i < n; ++i) {
    reader.seek(28 + 32 * i);
    addLine(dump, "\t" + reader.readShownText(31));
  }
  addLine(dump, "");
  for (std::int64_t f = 0; f < header.frameCount; ++f) {
    const std::int64_t block = n < 0 ? -1 : 28 + 32 * n + f * (4 + 80 * n);
    std::uint32_t holder = 0;
    reader.seek(block);
    reader.readValue(holder);
    char text[tolvak::kMaxNumberText];
    addLine(dump, "");
    addLine(dump, std::string_view(text, tolvak::formatThreeDecimal(floatOf(holder), text)));
    for (std::int64_t j = 0; j < n; ++j) {
      std::string line;
      for (int k = 0; k < 12; ++k) {
        reader.seek(block + 4 + 80 * j + 32 + 4 * k);
        reader.readValue(holder);
        addEightDecimal(line, holder);
      }
      addLine(dump, line);
    }
  }
}

void checkLineEnds(const std::string& dump, std::int64_t expectedLines) {
  std::int64_t lines = 0;
  for (std::size_t i = 0; i < dump.size(); ++i) {
    if (dump[i] != '\n') continue;
    check(i > 0 && dump[i - 1] == '\r', "a dump line ends in a bare LF");
    ++lines;
  }
  check(dump.size() >= 2 && dump.compare(dump.size() - 2, 2, "\r\n") == 0,
        "the dump's last line does not end in CR LF");
  if (lines != expectedLines) {
    fail("the dump has " + std::to_string(lines) + " lines, its counts call for " +
         std::to_string(expectedLines));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string motion(reinterpret_cast<const char*>(data), size);
  ModelReader reader(motion);
  std::string expected;
  const Counts header = readHeader(reader, expected);
  const Bound bound = boundFor(header.frameCount, header.objectCount);
  if (bound == Bound::kSkip) return 0;

  const std::string path = scratchDir() + "m.mot";
  const std::string dumpPath = path + ".tmp";
  writeFile(path, motion);
  removeIfPresent(dumpPath);

  const bool converted = tolvak::readMotion(path);

  std::string after;
  check(readFile(path, after) && after == motion, "readMotion changed the motion file");
  std::string dump;
  const bool dumpExists = readFile(dumpPath, dump);
  if (bound == Bound::kRefused) {
    check(!converted, "counts that announce 2 GiB or more over a short file were converted");
    check(!dumpExists, "a refused file left a dump");
    check(scratchEntries().size() == 1, "a refused conversion left a file behind");
    return 0;
  }
  check(converted, "readMotion failed on a file it should convert");
  check(dumpExists, "readMotion returned true without a dump");
  check(scratchEntries().size() == 2, "readMotion left a file other than its dump");

  const std::int64_t n = header.objectCount < 0 ? 0 : header.objectCount;
  const std::int64_t f = header.frameCount < 0 ? 0 : header.frameCount;
  checkLineEnds(dump, 13 + n + f * (2 + n));

  addBody(reader, header, expected);
  if (dump != expected) {
    fail("the dump differs from what the reading rules give, from byte " +
         std::to_string(firstDifference(dump, expected)));
  }
  return 0;
}
