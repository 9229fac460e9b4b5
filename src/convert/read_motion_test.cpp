#include "convert/read_motion.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "motion_bytes.h"
#include "run_tool.h"

namespace tolvak {
namespace {

using test::f32;
using test::i32;
using test::le32;
using test::name32;
using test::readFile;
using test::TempDir;
using test::writeFile;

// Runs the conversion on `bytes` in `dir` and returns the dump ("<none>"
// when there is none).
struct Converted {
  bool ok;
  std::string dump;
};

Converted convert(const TempDir& dir, const std::string& bytes) {
  const std::filesystem::path motion = dir.path() / "motion.jqm";
  writeFile(motion, bytes);
  const bool ok = readMotion(motion.string());
  const bool exists = std::filesystem::exists(dir.path() / "motion.jqm.tmp");
  return {ok, exists ? readFile(dir.path() / "motion.jqm.tmp") : "<none>"};
}

std::string lines(std::initializer_list<std::string> texts) {
  std::string dump;
  for (const std::string& text : texts) dump += text + "\r\n";
  return dump;
}

const std::string kZeros = "  0.00000000";

std::string poseLine(std::initializer_list<const char*> values) {
  std::string line;
  for (const char* v : values) line += std::string("\t") + v;
  return line;
}

std::string twelve(const std::string& value) {
  std::string line;
  for (int k = 0; k < 12; ++k) line += "\t" + value;
  return line;
}

TEST(ReadMotion, WorkedExample) {
  test::MotionContent m;
  m.tag = "ABCDEFGH";
  m.totalMove[0] = 1.5f;
  m.totalMove[1] = -2.25f;
  m.totalMove[2] = 0.0f;
  m.names = {"hips", "chest"};
  m.frameValues = {1.0f};
  m.poses = {{{0.5f, -0.25f, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1},
              {1000.125f, -1234.5f, 0.001953125f, -0.0f, 12.0625f, 3, -7.75f, 100, -0.5f, 0.1f, 2, -1}}};
  TempDir dir;
  const Converted result = convert(dir, test::motionFileBytes(m));
  ASSERT_TRUE(result.ok);
  const std::string expected = lines({
      "ABCDEFGH", "", "", "\"Total Move\":", "\t  1.50000000", "\t -2.25000000", "\t  0.00000000",
      "Frames count:", "\t1", "Objects count:", "\t2", "Objects list:", "\thips", "\tchest", "", "",
      "1.000",
      poseLine({"  0.50000000", " -0.25000000", "  1.00000000", kZeros.c_str(), kZeros.c_str(),
                kZeros.c_str(), kZeros.c_str(), "  1.00000000", kZeros.c_str(), kZeros.c_str(),
                kZeros.c_str(), "  1.00000000"}),
      poseLine({"1000.12500000", "-1234.50000000", "  0.00195312", " -0.00000000", " 12.06250000",
                "  3.00000000", " -7.75000000", "100.00000000", " -0.50000000", "  0.10000000",
                "  2.00000000", " -1.00000000"}),
  });
  EXPECT_EQ(result.dump, expected);
  EXPECT_EQ(result.dump.size(), 473u);
}

TEST(ReadMotion, AllZeroFileWithOneObjectAndOneFrame) {
  std::string bytes(28 + 32 + 84, '\0');
  bytes.replace(20, 4, i32(1));
  bytes.replace(24, 4, i32(1));
  TempDir dir;
  const Converted result = convert(dir, bytes);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.dump, lines({"", "", "", "\"Total Move\":", "\t" + kZeros, "\t" + kZeros,
                                "\t" + kZeros, "Frames count:", "\t1", "Objects count:", "\t1",
                                "Objects list:", "\t", "", "", "0.000", twelve(kZeros)}));
  EXPECT_EQ(result.dump.size(), 292u);
}

std::string headerLines(const std::string& tag, const std::string& frames, const std::string& objects,
                        const std::string& move = "  0.00000000") {
  return lines({tag, "", "", "\"Total Move\":", "\t" + move, "\t" + move, "\t" + move, "Frames count:",
                "\t" + frames, "Objects count:", "\t" + objects, "Objects list:"});
}

// ---------------------------------------------------------------------------
// A plain model of the conversion as a sequence of positioned reads, kept
// deliberately naive: one byte at a time from an in-memory file, formatting
// through std::to_chars. The converter must give the same bytes for every
// input, however short or odd.

class ModelReader {
 public:
  explicit ModelReader(const std::string& data) : data_(data) {}
  void seek(std::int64_t position) {
    if (!failed_) position_ = position;
  }
  void value(std::uint32_t& cell) {
    if (failed_) return;
    for (int i = 0; i < 4; ++i) {
      if (position_ < 0 || position_ >= static_cast<std::int64_t>(data_.size())) {
        failed_ = true;
        return;
      }
      const auto byte = static_cast<unsigned char>(data_[static_cast<std::size_t>(position_++)]);
      cell = (cell & ~(0xFFu << (8 * i))) | std::uint32_t{byte} << (8 * i);
    }
  }
  std::string text(std::size_t capacity) {
    std::string stored;
    if (failed_) return stored;
    while (stored.size() < capacity) {
      if (position_ >= static_cast<std::int64_t>(data_.size())) {
        failed_ = true;
        break;
      }
      const char c = data_[static_cast<std::size_t>(position_)];
      if (c == '\n') break;
      stored += c;
      ++position_;
    }
    return stored.substr(0, stored.find('\0'));
  }

 private:
  const std::string& data_;
  std::int64_t position_ = 0;
  bool failed_ = false;
};

std::string modelNumber(std::uint32_t bits, int places) {
  const float value = std::bit_cast<float>(bits);
  std::string text;
  if (std::isnan(value)) {
    text = std::signbit(value) ? "-NAN" : "+NAN";
  } else if (std::isinf(value)) {
    text = value < 0 ? "-INF" : "+INF";
  } else {
    char buffer[400];
    text.assign(buffer, std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                      std::chars_format::fixed, places)
                            .ptr);
  }
  if (places == 8 && text.size() < 12) text.insert(0, 12 - text.size(), ' ');
  return text;
}

std::string modelDump(const std::string& data) {
  ModelReader reader(data);
  std::string out = reader.text(8) + "\r\n\r\n\r\n\"Total Move\":\r\n";
  std::uint32_t holder = 0;
  for (int t = 0; t < 3; ++t) {
    reader.seek(8 + 4 * t);
    reader.value(holder);
    out += "\t" + modelNumber(holder, 8) + "\r\n";
  }
  std::uint32_t frames = 0, objects = 0;
  reader.seek(20);
  reader.value(frames);
  reader.seek(24);
  reader.value(objects);
  const std::int64_t f = static_cast<std::int32_t>(frames);
  const std::int64_t n = static_cast<std::int32_t>(objects);
  out += "Frames count:\r\n\t" + std::to_string(f) + "\r\nObjects count:\r\n\t" + std::to_string(n) +
         "\r\nObjects list:\r\n";
  for (std::int64_t i = 0; i < n; ++i) {
    reader.seek(28 + 32 * i);
    out += "\t" + reader.text(31) + "\r\n";
  }
  out += "\r\n";
  for (std::int64_t frame = 0; frame < f; ++frame) {
    const std::int64_t block = 28 + 32 * n + frame * (4 + 80 * n);
    reader.seek(block);
    holder = 0;
    reader.value(holder);
    out += "\r\n" + modelNumber(holder, 3) + "\r\n";
    for (std::int64_t j = 0; j < n; ++j) {
      for (int k = 0; k < 12; ++k) {
        reader.seek(block + 36 + 80 * j + 4 * k);
        reader.value(holder);
        out += "\t" + modelNumber(holder, 8);
      }
      out += "\r\n";
    }
  }
  return out;
}

// A file whose every 4-byte value is distinct, so a value read from the
// wrong place, or a cut value with the wrong bytes kept, shows.
std::string distinctValuesFile(int objects, int frames) {
  test::MotionContent m;
  m.tag = "TAG\rx";
  m.totalMove[0] = 1.25f;
  m.totalMove[1] = -3.5f;
  m.totalMove[2] = 7.0f;
  for (int j = 0; j < objects; ++j) m.names.push_back("object" + std::to_string(j));
  float next = 0.5f;
  for (int f = 0; f < frames; ++f) {
    m.frameValues.push_back(static_cast<float>(f) + 0.25f);
    m.poses.emplace_back();
    for (int j = 0; j < objects; ++j) {
      m.poses.back().emplace_back();
      for (int k = 0; k < 12; ++k) {
        m.poses.back().back().push_back(next);
        next += 1.125f;
      }
    }
  }
  return test::motionFileBytes(m);
}

TEST(ReadMotion, ModelAgreesWithHandWrittenShortFiles) {
  // The model is itself checked on two short files worked out by hand.
  // Cut inside the second total move value: it keeps the first's high bytes.
  std::string bytes = "AB" + std::string(6, 'x') + f32(1.5f) + f32(-2.0f).substr(0, 2);
  std::string expected = lines({"ABxxxxxx", "", "", "\"Total Move\":", "\t  1.50000000",
                                "\t  1.50000000", "\t  1.50000000", "Frames count:", "\t0",
                                "Objects count:", "\t0", "Objects list:", ""});
  EXPECT_EQ(modelDump(bytes), expected);
  bytes += f32(-2.0f).substr(2);  // now complete: the third repeats the second
  expected = lines({"ABxxxxxx", "", "", "\"Total Move\":", "\t  1.50000000", "\t -2.00000000",
                    "\t -2.00000000", "Frames count:", "\t0", "Objects count:", "\t0",
                    "Objects list:", ""});
  EXPECT_EQ(modelDump(bytes), expected);
}

TEST(ReadMotion, EveryCutOfAFileMatchesThePositionedReads) {
  const std::string whole = distinctValuesFile(2, 3);
  ASSERT_EQ(whole.size(), 584u);
  TempDir dir;
  for (std::size_t length = 0; length <= whole.size() + 8; ++length) {
    std::string bytes = whole.substr(0, length);
    if (length > whole.size()) bytes += std::string(length - whole.size(), '\x7F');
    const Converted result = convert(dir, bytes);
    ASSERT_TRUE(result.ok) << length;
    ASSERT_EQ(result.dump, modelDump(bytes)) << "file cut to " << length << " bytes";
  }
}

TEST(ReadMotion, OddFilesMatchThePositionedReads) {
  const std::string base = distinctValuesFile(3, 2);
  struct Case {
    const char* what;
    std::size_t offset;
    std::string bytes;
  } cases[] = {
      {"tag with a NUL after AB", 0, std::string("AB\0cdefg", 8)},
      {"tag with a newline as fourth byte", 0, "ABC\nEFGH"},
      {"tag beginning with NUL", 0, std::string("\0BCDEFGH", 8)},
      {"tag beginning with a newline", 0, "\nBCDEFGH"},
      {"tag with CR bytes", 0, "\r\rCDEFGH"},
      {"name of 32 bytes without NUL", 28, std::string(32, 'N')},
      {"name beginning with a newline", 28 + 32, "\nrest of the name"},
      {"name with NUL inside", 28, std::string("Hip\0junk", 8)},
      {"name with CR and 0x1A", 28 + 64, "a\rb\x1A" "c"},
      {"negative frame count", 20, i32(-1)},
      {"negative object count", 24, i32(-1)},
      {"most negative object count", 24, i32(-2147483647 - 1)},
      {"both negative", 20, i32(-5) + i32(-5)},
      {"infinite and NaN values", 28 + 96 + 4 + 32, le32(0x7F800000u) + le32(0xFF800000u) +
                                                       le32(0xFFC00001u) + le32(0x00000001u) +
                                                       le32(0x80000001u)},
      {"name copies differ from the table", 28 + 96 + 4, std::string(32, 'Z')},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::string bytes = base;
    bytes.replace(c.offset, c.bytes.size(), c.bytes);
    const Converted result = convert(dir, bytes);
    ASSERT_TRUE(result.ok) << c.what;
    EXPECT_EQ(result.dump, modelDump(bytes)) << c.what;
  }
}

TEST(ReadMotion, ShapesOfSmallFiles) {
  TempDir dir;
  // N = 0, F = 0: thirteen lines, the last one empty.
  std::string bytes = "ABC" + std::string(25, '\0');
  EXPECT_EQ(convert(dir, bytes).dump, headerLines("ABC", "0", "0") + "\r\n");
  // N = 0, F = 2: frame values from offsets 28 and 32.
  bytes.replace(20, 4, i32(2));
  bytes += f32(0.0625f) + f32(0.1875f);
  EXPECT_EQ(convert(dir, bytes).dump, headerLines("ABC", "2", "0") + lines({"", "", "0.062", "", "0.188"}));
  // N = 2, F = 0: fifteen lines, the last one empty.
  bytes = "ABC" + std::string(17, '\0') + i32(0) + i32(2) + name32("hips") + name32("chest");
  EXPECT_EQ(convert(dir, bytes).dump, headerLines("ABC", "0", "2") + lines({"\thips", "\tchest", ""}));
  // A negative object count with frames: no names, every frame value zero.
  bytes = "ABC" + std::string(17, '\0') + i32(2) + i32(-1) + std::string(100, '\x11');
  EXPECT_EQ(convert(dir, bytes).dump,
            headerLines("ABC", "2", "-1") + lines({"", "", "0.000", "", "0.000"}));
}

TEST(ReadMotion, EmptyFileGivesHeaderWithZeroCounts) {
  TempDir dir;
  EXPECT_EQ(convert(dir, "").dump, headerLines("", "0", "0") + "\r\n");
}

TEST(ReadMotion, SecondRunReplacesTheDump) {
  TempDir dir;
  writeFile(dir.path() / "motion.jqm.tmp", std::string(5000, 'x'));
  const std::string bytes = distinctValuesFile(1, 1);
  const Converted result = convert(dir, bytes);
  EXPECT_EQ(result.dump, modelDump(bytes));
}

}  // namespace
}  // namespace tolvak
