#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvak {
namespace {

using Args = std::vector<std::string>;

struct SplitCase {
  const char* what;
  std::string line;
  Args expected;
};

bool noLeadBytes(unsigned char) { return false; }

// Stands in for a double-byte code page: 0x81 starts a two-byte character.
bool leadByte81(unsigned char byte) { return byte == 0x81; }

void expectSplits(const std::vector<SplitCase>& cases, LeadBytePredicate isLead) {
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": [" + c.line + "]");
    EXPECT_EQ(splitCommandLine(c.line, isLead), c.expected);
  }
}

TEST(SplitCommandLine, ProgramNameAndBlanks) {
  expectSplits(
      {
          {"empty line", "", {}},
          {"blanks only", " \t ", {}},
          {"program alone", "tolvak.exe", {}},
          {"program and trailing blanks", "tolvak.exe \t ", {}},
          {"leading blanks before program", " \t tolvak -r x", {"-r", "x"}},
          {"runs of spaces and tabs separate", "tolvak\t-r \t  x\t", {"-r", "x"}},
          {"quoted program with spaces", R"("C:\Program Files\tolvak.exe" -r x)",
           {"-r", "x"}},
          {"quoted program ends at its closing quote",
           R"("tolvak"-r x)", {"-r", "x"}},
          {"backslash in quoted program is no escape",
           R"("C:\bin\" -r x)", {"-r", "x"}},
          {"unterminated quoted program swallows the line",
           R"("tolvak -r x)", {}},
          {"unquoted program ends at the first blank even after a quote",
           R"(tolvak"a b" c)", {"b c"}},
      },
      noLeadBytes);
}

TEST(SplitCommandLine, QuotedRuns) {
  expectSplits(
      {
          {"quoted flag", R"(tolvak "-r" x)", {"-r", "x"}},
          {"quoted path with spaces", R"(tolvak -r "C:\my files\a.mot")",
           {"-r", R"(C:\my files\a.mot)"}},
          {"same path unquoted splits", R"(tolvak -r C:\my files\a.mot)",
           {"-r", R"(C:\my)", R"(files\a.mot)"}},
          {"quoted tab kept", "tolvak \"a\tb\"", {"a\tb"}},
          {"empty quotes as path", R"(tolvak -r "")", {"-r", ""}},
          {"empty quotes between arguments", R"(tolvak "" x)", {"", "x"}},
          {"two empty runs touching give one empty argument",
           R"(tolvak -r """")", {"-r", ""}},
          {"touching quoted and unquoted pieces", R"(tolvak a"b c"d e)",
           {"ab cd", "e"}},
          {"touching quoted runs", R"(tolvak "a"b"c")", {"abc"}},
          {"unterminated run goes to the end", "tolvak -r \"a b  ", {"-r", "a b  "}},
          {"wildcards stay unexpanded", "tolvak -r *.mot ?x*", {"-r", "*.mot", "?x*"}},
          {"-r then -w", "tolvak -r -w", {"-r", "-w"}},
      },
      noLeadBytes);
}

TEST(SplitCommandLine, Backslashes) {
  expectSplits(
      {
          {"plain backslashes kept", R"(tolvak C:\a\b)", {R"(C:\a\b)"}},
          {"double backslash stays double", R"(tolvak a\\b)", {R"(a\\b)"}},
          {"backslash at the end of the line", R"(tolvak C:\dir\)", {R"(C:\dir\)"}},
          {"backslash-quote outside a run is a literal quote", R"(tolvak a\"b)",
           {R"(a"b)"}},
          {"backslash-quote opens no run", R"(tolvak \"a b\")", {R"("a)", R"(b")"}},
          {"backslash-quote inside a run is a literal quote",
           R"(tolvak "a \" b")", {R"(a " b)"}},
          {"trailing backslash before the closing quote",
           R"(tolvak -r "C:\dir\" extra)", {"-r", R"(C:\dir" extra)"}},
          {"trailing backslash: the run closes at the next quote",
           R"(tolvak -r "C:\dir\" a "b c")", {"-r", R"(C:\dir" a b)", "c"}},
          {"backslash pair then quote: first kept, second escapes",
           R"(tolvak a\\"b c")", {R"(a\"b)", "c"}},
          {"backslash pair then quote inside a run",
           R"(tolvak "a\\" b)", {R"(a\" b)"}},
      },
      noLeadBytes);
}

TEST(SplitCommandLine, LeadBytePairs) {
  // With 0x81 as a lead byte, 0x81 0x5C is one character: its 0x5C is no
  // backslash, so the quote after it opens a run.
  expectSplits(
      {
          {"trail byte 0x5C before a quote", "tolvak \x81\x5C\"a b\"",
           {"\x81\x5C" "a b"}},
          {"trail byte that is a space", "tolvak \x81 x", {"\x81 x"}},
          {"trail byte that is a tab", "tolvak \x81\tx", {"\x81\tx"}},
          {"trail byte that is a quote opens no run", "tolvak \x81\"a b",
           {"\x81\"a", "b"}},
          {"pair inside a run", "tolvak \"\x81\x5C\" x", {"\x81\x5C", "x"}},
          {"lead byte at the end stands alone", "tolvak a\x81", {"a\x81"}},
          {"pair in the program name", "tolvak\x81 x -r m", {"-r", "m"}},
      },
      leadByte81);

  // The same bytes without a double-byte code page.
  expectSplits(
      {
          {"0x5C before a quote is a backslash", "tolvak \x81\x5C\"a b\"",
           {"\x81\"a", "b"}},
          {"space after 0x81 separates", "tolvak \x81 x", {"\x81", "x"}},
      },
      noLeadBytes);
}

}  // namespace
}  // namespace tolvak
