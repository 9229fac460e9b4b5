// A well-formed motion file through "-r", "-w" and "-r" again: the two dumps
// must be identical byte for byte.
//
// The input shapes the file: its first two bytes give the object count and
// the frame count (0 to 4 each), then come the 8 tag bytes, the three total
// move values, the names and, per frame, the frame value and each object's
// twelve pose values; an input that runs out leaves zero bytes. Everything
// the dump is meant to carry is allowed: any float bit pattern (NaNs,
// infinities, subnormals, negative zero, values too wide for their field),
// names of 32 bytes with no NUL, bytes after a NUL, a newline in a name or
// the tag. Left out is what the dump cannot carry by design: the bytes CR and
// 0x1A in the tag and the names (changed to other bytes here), and finite
// values from 2^127 up (exponent field 0xFE), which read back one step
// smaller. The name copies in the frame blocks differ from the name table on
// purpose: the reader never looks at them.
//
// The rebuilt file must also be well formed: its size follows from its
// counts, and every name copy equals its name-table entry.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "convert/read_motion.h"
#include "convert/write_motion.h"
#include "fuzz_support.h"

namespace {

using namespace tolvak::fuzz;

class InputBytes {
 public:
  InputBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

  // A tag or name byte the dump can carry.
  char nextTextByte() {
    const std::uint8_t byte = next();
    return static_cast<char>(byte == 0x0D || byte == 0x1A ? byte ^ 0x40 : byte);
  }

  std::uint32_t nextFloatBits() {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= std::uint32_t{next()} << (8 * i);
    const std::uint32_t exponent = bits >> 23 & 0xFF;
    if (exponent == 0xFE) bits -= std::uint32_t{1} << 23;  // into [2^126, 2^127)
    return bits;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void addBits(std::string& out, std::uint32_t bits) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(bits >> (8 * i));
}

std::string makeMotionFile(InputBytes& input) {
  const int objects = input.next() % 5;
  const int frames = input.next() % 5;
  std::string file;
  for (int i = 0; i < 8; ++i) file += input.nextTextByte();
  for (int t = 0; t < 3; ++t) addBits(file, input.nextFloatBits());
  addBits(file, static_cast<std::uint32_t>(frames));
  addBits(file, static_cast<std::uint32_t>(objects));
  std::string names[4];
  for (int j = 0; j < objects; ++j) {
    for (int i = 0; i < 32; ++i) names[j] += input.nextTextByte();
    file += names[j];
  }
  for (int f = 0; f < frames; ++f) {
    addBits(file, input.nextFloatBits());
    for (int j = 0; j < objects; ++j) {
      for (char c : names[j]) file += static_cast<char>(c + 1);
      for (int k = 0; k < 12; ++k) addBits(file, input.nextFloatBits());
    }
  }
  return file;
}

std::string readDump(const std::string& motionPath) {
  check(tolvak::readMotion(motionPath), "readMotion failed on a well-formed file");
  std::string dump;
  check(readFile(motionPath + ".tmp", dump), "readMotion left no dump");
  return dump;
}

std::uint32_t countAt(const std::string& file, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(file[offset + i])) << (8 * i);
  }
  return value;
}

void checkWellFormed(const std::string& file, std::uint32_t frames, std::uint32_t objects) {
  check(file.size() == 28 + 32 * objects + frames * (4 + 80 * objects),
        "the rebuilt file's size does not follow from its counts");
  check(countAt(file, 20) == frames && countAt(file, 24) == objects,
        "the rebuilt file's counts differ from the original's");
  for (std::uint32_t f = 0; f < frames; ++f) {
    for (std::uint32_t j = 0; j < objects; ++j) {
      const std::size_t copy = 28 + 32 * objects + f * (4 + 80 * objects) + 4 + 80 * j;
      check(file.compare(copy, 32, file, 28 + 32 * j, 32) == 0,
            "a name copy in the rebuilt file differs from its name-table entry");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputBytes input(data, size);
  const std::string original = makeMotionFile(input);
  const std::string first = scratchDir() + "first.mot";
  const std::string second = scratchDir() + "second.mot";
  writeFile(first, original);
  const std::string firstDump = readDump(first);

  check(std::rename((first + ".tmp").c_str(), (second + ".tmpw").c_str()) == 0,
        "cannot move the dump");
  check(tolvak::writeMotion(second), "writeMotion failed on a dump readMotion wrote");
  check(!fileExists(second + ".tmpw"), "writeMotion left its dump behind");
  std::string rebuilt;
  check(readFile(second, rebuilt), "writeMotion left no motion file");
  checkWellFormed(rebuilt, countAt(original, 20), countAt(original, 24));

  const std::string secondDump = readDump(second);
  if (secondDump != firstDump) {
    fail("the dump of the rebuilt file differs from the first dump, from byte " +
         std::to_string(firstDifference(firstDump, secondDump)));
  }
  removeIfPresent(first);
  removeIfPresent(second);
  removeIfPresent(second + ".tmp");
  check(scratchEntries().empty(), "a conversion left a file behind");
  return 0;
}
