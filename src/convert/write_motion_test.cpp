#include "convert/write_motion.h"

#include <bit>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "convert/read_motion.h"
#include "motion_bytes.h"
#include "run_tool.h"

namespace tolvak {
namespace {

using test::f32;
using test::i32;
using test::name32;
using test::readFile;
using test::TempDir;
using test::writeFile;

struct Written {
  bool ok;
  std::string motion;  // "<none>" when no file was written
};

// Converts `dump` (written as the .tmpw) into the motion file in `dir`.
Written convert(const TempDir& dir, const std::string& dump) {
  const std::filesystem::path motion = dir.path() / "out.jqm";
  writeFile(dir.path() / "out.jqm.tmpw", dump);
  std::filesystem::remove(motion);
  const bool ok = writeMotion(motion.string());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "out.jqm.tmpw")) << "the dump is always deleted";
  return {ok, std::filesystem::exists(motion) ? readFile(motion) : "<none>"};
}

std::string lines(std::initializer_list<std::string> texts) {
  std::string dump;
  for (const std::string& text : texts) dump += text + "\n";
  return dump;
}

// The thirteen lines before the name list, with the given counts.
std::string head(const std::string& tag, const std::string& frames, const std::string& objects) {
  return lines({tag, "", "", "\"Total Move\":", "\t  1.50000000", "\t -2.25000000", "\t  0.00000000",
                "Frames count:", "\t" + frames, "Objects count:", "\t" + objects, "Objects list:"});
}

std::string headerBytes(const std::string& tag, std::int32_t frames, std::int32_t objects) {
  return name32(tag).substr(0, 8) + f32(1.5f) + f32(-2.25f) + f32(0.0f) + i32(frames) + i32(objects);
}

std::string twelveValues(float first) {
  std::string line;
  for (int k = 0; k < 12; ++k) line += "\t" + std::to_string(first + static_cast<float>(k));
  return line;
}

std::string poseBytes(const std::string& name, float first) {
  std::string bytes = name32(name);
  for (int k = 0; k < 12; ++k) bytes += f32(first + static_cast<float>(k));
  return bytes;
}

TEST(WriteMotion, SmallestShapes) {
  TempDir dir;
  Written w = convert(dir, head("ABC", "0", "0") + lines({""}));
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.motion, headerBytes("ABC", 0, 0));
  EXPECT_EQ(w.motion.size(), 28u);

  w = convert(dir, head("ABC", "3", "0") + lines({"", "", "0.062", "", "1.000", "", "-INF"}));
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.motion, headerBytes("ABC", 3, 0) + f32(0.062f) + f32(1.0f) +
                          f32(-std::numeric_limits<float>::infinity()));
  EXPECT_EQ(w.motion.size(), 40u);
}

TEST(WriteMotion, TwoObjectsTwoFrames) {
  TempDir dir;
  const std::string dump = head("TAG", "2", "2") +
                           lines({"\thips", "\tchest", "", "", "0.500", twelveValues(1),
                                  twelveValues(20), "", "1.500", twelveValues(-5), twelveValues(100)});
  const Written w = convert(dir, dump);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.motion, headerBytes("TAG", 2, 2) + name32("hips") + name32("chest") + f32(0.5f) +
                          poseBytes("hips", 1) + poseBytes("chest", 20) + f32(1.5f) +
                          poseBytes("hips", -5) + poseBytes("chest", 100));
}

TEST(WriteMotion, TagAndNameLines) {
  const std::string chars40 = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
  struct Case {
    std::string line;
    std::string tag;   // 8 bytes expected from it as line 1
    std::string name;  // 32 bytes expected from it as a name line
  } cases[] = {
      {"\tabc", name32("\tabc").substr(0, 8), name32("abc")},
      {"12345678", "12345678", name32("2345678")},  // no TAB: the first character is lost
      {"1234567890", "12345678", name32("234567890")},
      {"\t" + chars40.substr(0, 31), ("\t" + chars40).substr(0, 8), name32(chars40.substr(0, 31))},
      {"\t" + chars40.substr(0, 32), ("\t" + chars40).substr(0, 8), chars40.substr(0, 32)},
      {"\t" + chars40, ("\t" + chars40).substr(0, 8), chars40.substr(0, 32)},
      {"", std::string(8, '\0'), std::string(32, '\0')},
      {"\tna\rme", name32("\tname").substr(0, 8), name32("name")},  // CR dropped anywhere
  };
  TempDir dir;
  for (const Case& c : cases) {
    const Written w = convert(dir, lines({c.line, "", "", "", "0", "0", "0", "", "0", "", "1", "", c.line, ""}));
    ASSERT_TRUE(w.ok);
    ASSERT_EQ(w.motion.size(), 28u + 32u);
    EXPECT_EQ(w.motion.substr(0, 8), c.tag) << c.line;
    EXPECT_EQ(w.motion.substr(28), c.name) << c.line;
  }
}

TEST(WriteMotion, LineEndsAndLabelsDoNotMatter) {
  const std::string dump = head("TAG", "1", "1") + lines({"\tob\x01j", "", "", "2.000", twelveValues(3)});
  TempDir dir;
  const Written plain = convert(dir, dump);
  ASSERT_TRUE(plain.ok);

  std::string crlf;
  for (char c : dump) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(convert(dir, crlf).motion, plain.motion);

  std::string relabelled = dump;
  for (const char* label : {"\"Total Move\":", "Frames count:", "Objects count:", "Objects list:"}) {
    relabelled.replace(relabelled.find(label), std::string(label).size(), "anything at all 1.5 7");
  }
  relabelled.replace(relabelled.find("\n\n"), 2, "\ntext on an empty line\n");
  EXPECT_EQ(convert(dir, relabelled).motion, plain.motion);

  // 0x1A ends the input: what follows is never read.
  EXPECT_EQ(convert(dir, dump + "\x1A" "garbage\n1\n2\n").motion, plain.motion);
}

TEST(WriteMotion, SlotsKeepTheirLastValue) {
  TempDir dir;
  // The first pose line has eleven numbers: the twelfth slot was never
  // parsed and holds 0. The second has six and then a word: slots 6 to 11
  // repeat the first line's values (slot 11 still 0).
  std::string eleven;
  for (int k = 0; k < 11; ++k) eleven += "\t" + std::to_string(k + 1);
  const std::string dump = head("TAG", "2", "1") +
                           lines({"\tob", "", "", "not a number", eleven, "", "7.5",
                                  "\t-1\t-2\t-3\t-4\t-5\t-6\tword\t-8\t-9\t-10\t-11\t-12"});
  const Written w = convert(dir, dump);
  ASSERT_TRUE(w.ok);
  std::string expected = headerBytes("TAG", 2, 1) + name32("ob");
  expected += f32(0.0f);  // frame 0 repeats the third total move value
  expected += name32("ob");
  for (int k = 0; k < 11; ++k) expected += f32(static_cast<float>(k + 1));
  expected += f32(0.0f);
  expected += f32(7.5f) + name32("ob");
  for (int k = 0; k < 6; ++k) expected += f32(static_cast<float>(-(k + 1)));
  for (int k = 6; k < 11; ++k) expected += f32(static_cast<float>(k + 1));
  expected += f32(0.0f);
  EXPECT_EQ(w.motion, expected);
}

TEST(WriteMotion, NegativeCounts) {
  TempDir dir;
  // A negative object count reads no names and no pose lines: each frame
  // is two lines.
  Written w = convert(dir, head("T", "2", "-1") + lines({"", "", "1.000", "", "2.000", "\t5"}));
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.motion, headerBytes("T", 2, -1) + f32(1.0f) + f32(2.0f));
  // A negative frame count reads no frames.
  w = convert(dir, head("T", "-4", "1") + lines({"\tname", "", "", "1.000", twelveValues(1)}));
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.motion, headerBytes("T", -4, 1) + name32("name"));
}

TEST(WriteMotion, DumpEndingEarly) {
  TempDir dir;
  // Ends after the first name: the second name is zero bytes, and every
  // later number is parsed again from the last line read, the cleared name
  // line, which holds none, so the slots keep their values.
  Written w = convert(dir, head("T", "1", "2") + "\thips");
  ASSERT_TRUE(w.ok);
  std::string expected = headerBytes("T", 1, 2) + name32("hips") + name32("");
  expected += f32(0.0f) + name32("hips") + std::string(48, '\0') + name32("") + std::string(48, '\0');
  EXPECT_EQ(w.motion, expected);

  // Ends after a frame value line without its LF: the pose lines re-read it.
  w = convert(dir, head("T", "1", "2") + lines({"\ta", "\tb", "", ""}) + "2.5");
  ASSERT_TRUE(w.ok);
  std::string pose;
  for (int k = 0; k < 12; ++k) pose += f32(k == 0 ? 2.5f : 0.0f);
  EXPECT_EQ(w.motion, headerBytes("T", 1, 2) + name32("a") + name32("b") + f32(2.5f) + name32("a") + pose +
                          name32("b") + pose);

  // CRs after the last LF are no line: the missing pose line re-reads the
  // frame value line.
  w = convert(dir, head("T", "1", "1") + lines({"\thip", "", "", "1.5"}) + "\r");
  ASSERT_TRUE(w.ok);
  pose.clear();
  for (int k = 0; k < 12; ++k) pose += f32(k == 0 ? 1.5f : 0.0f);
  EXPECT_EQ(w.motion, headerBytes("T", 1, 1) + name32("hip") + f32(1.5f) + name32("hip") + pose);

  // No lines at all: eight zero bytes of tag, zero values and counts.
  w = convert(dir, "");
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.motion, std::string(28, '\0'));
}

TEST(WriteMotion, LongLinesAreReadWhole) {
  // Twelve values of 1e14 make a pose line far longer than 300 characters.
  std::string longLine;
  for (int k = 0; k < 12; ++k) longLine += "\t100000000000000.00000000";
  longLine += std::string(5000, ' ');
  const std::string dump = head("T", "2", "1") + lines({"\tob", "", "", "1.000", longLine, "", "2.000", twelveValues(1)});
  TempDir dir;
  const Written w = convert(dir, dump);
  ASSERT_TRUE(w.ok);
  std::string big = name32("ob");
  for (int k = 0; k < 12; ++k) big += f32(1e14f);
  EXPECT_EQ(w.motion, headerBytes("T", 2, 1) + name32("ob") + f32(1.0f) + big + f32(2.0f) + poseBytes("ob", 1));
}

TEST(WriteMotion, RefusesShortDumpAnnouncingHugeFile) {
  TempDir dir;
  writeFile(dir.path() / "out.jqm", "old");
  struct Case {
    std::string dump;
  } cases[] = {
      {head("T", "0", "2147483647")},
      {head("T", "2147483647", "-1") + lines({"", "", "1.0"})},
      {head("T", "1000000", "1000") + lines({"\ta", "\tb"})},
      {lines({"T", "", "", "", "0", "0", "0", "", "\t2147483647"})},  // counts from a stale line
  };
  for (const Case& c : cases) {
    writeFile(dir.path() / "out.jqm.tmpw", c.dump);
    EXPECT_FALSE(writeMotion((dir.path() / "out.jqm").string()));
    EXPECT_EQ(readFile(dir.path() / "out.jqm"), "old");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "out.jqm.tmpw"));
    EXPECT_EQ(dir.snapshot().size(), 1u) << "no partial file is left";
  }
}

// "-r", then "-w", then "-r" again: the second dump equals the first, and
// values the dump carries exactly come back bit for bit.
TEST(RoundTrip, RandomMotionFiles) {
  std::mt19937 random(7);
  TempDir dir;
  const std::filesystem::path first = dir.path() / "first.jqm";
  const std::filesystem::path second = dir.path() / "second.jqm";
  auto randomText = [&](std::size_t maxLength) {
    std::string text(random() % (maxLength + 1), '\0');
    for (char& c : text) {
      do c = static_cast<char>(random() % 255 + 1);  // no NUL
      while (c == '\n' || c == '\r' || c == '\x1A');
    }
    return text;
  };
  for (int round = 0; round < 60; ++round) {
    const bool exact = round % 2 == 0;
    auto value = [&] {
      if (exact) return static_cast<float>(static_cast<int>(random() % 512000) - 256000) / 256.0f;
      // Any bit pattern, specials included, but not the finite values from
      // 2^127 up: their 19-digit text lies below them and reads back as the
      // next smaller float, as the number forms intend.
      std::uint32_t bits;
      do bits = static_cast<std::uint32_t>(random());
      while (((bits >> 23) & 0xFF) == 0xFE);
      return std::bit_cast<float>(bits);
    };
    test::MotionContent m;
    m.tag = randomText(8);
    for (float& v : m.totalMove) v = value();
    const int objects = static_cast<int>(random() % 5);
    const int frames = static_cast<int>(random() % 5);
    for (int j = 0; j < objects; ++j) m.names.push_back(randomText(31));
    for (int f = 0; f < frames; ++f) {
      m.frameValues.push_back(exact ? static_cast<float>(random() % 100000) / 8.0f : value());
      m.poses.emplace_back();
      for (int j = 0; j < objects; ++j) {
        m.poses.back().emplace_back();
        for (int k = 0; k < 12; ++k) m.poses.back().back().push_back(value());
      }
    }
    const std::string original = test::motionFileBytes(m);
    writeFile(first, original);
    ASSERT_TRUE(readMotion(first.string()));
    const std::string dump = readFile(first.string() + ".tmp");
    writeFile(second.string() + ".tmpw", dump);
    ASSERT_TRUE(writeMotion(second.string()));
    ASSERT_TRUE(readMotion(second.string()));
    ASSERT_EQ(readFile(second.string() + ".tmp"), dump) << "round " << round;
    if (exact) {
      ASSERT_EQ(readFile(second), original) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace tolvak
