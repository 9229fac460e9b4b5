#include "convert/line_reader.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_tool.h"

namespace tolvak {
namespace {

// Every line the reader gives for `bytes`, then what line() holds once it
// finds no more.
struct ReadAll {
  std::vector<std::string> lines;
  std::string afterEnd;
};

ReadAll readAll(const std::string& bytes) {
  test::TempDir dir;
  const auto path = dir.path() / "dump";
  test::writeFile(path, bytes);
  InputFile file;
  EXPECT_TRUE(file.open(path.string()));
  LineReader reader(file);
  ReadAll result;
  while (reader.next()) result.lines.emplace_back(reader.line());
  EXPECT_FALSE(reader.next());
  result.afterEnd = std::string(reader.line());
  return result;
}

using Lines = std::vector<std::string>;

TEST(LineReader, TextModeRules) {
  struct Case {
    std::string bytes;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb", {"a", "b"}},            // a last line without LF is a line
      {"\n\n", {"", ""}},
      {"a\r\nb\r\n\r", {"a", "b"}},    // trailing CRs are no line
      {"a\n\r\r\r", {"a"}},
      {"a\rb\r\r\nc", {"ab", "c"}},    // CR dropped wherever it stands
      {"a\r\r\n", {"a"}},
      {"a\nb\x1A" "c\nd\n", {"a", "b"}},  // 0x1A ends the input
      {"\x1A" "a\n", {}},
      {"a\n\x1A", {"a"}},
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) {
    const ReadAll result = readAll(c.bytes);
    EXPECT_EQ(result.lines, c.lines) << testing::PrintToString(c.bytes);
    EXPECT_EQ(result.afterEnd, c.lines.empty() ? "" : c.lines.back()) << testing::PrintToString(c.bytes);
  }
}

TEST(LineReader, LinesLongerThanTheBufferAreReadWhole) {
  const std::string longLine(3 * 1024 * 1024 + 17, 'x');
  const std::string crs(2 * 1024 * 1024, '\r');
  struct Case {
    std::string bytes;
    Lines lines;
  } cases[] = {
      {longLine + "\n" + "next\n", {longLine, "next"}},
      {"first\n" + longLine, {"first", longLine}},
      // A buffer full of nothing but CRs after the last line: no line, and
      // the last line is still what the reader holds.
      {"first\n" + longLine + "\n" + crs, {"first", longLine}},
      {"short\n" + crs, {"short"}},
      {std::string(1024 * 1024 - 1, 'y') + "\n" + "z\r", {std::string(1024 * 1024 - 1, 'y'), "z"}},
  };
  for (const Case& c : cases) {
    const ReadAll result = readAll(c.bytes);
    ASSERT_EQ(result.lines.size(), c.lines.size());
    EXPECT_TRUE(result.lines == c.lines);
    EXPECT_TRUE(result.afterEnd == c.lines.back());
  }
}

}  // namespace
}  // namespace tolvak
