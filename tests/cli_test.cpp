// The front end through the real executable: usage text, flag matching,
// which runs reach a converter, and that the others touch no file.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/dispatch.h"
#include "run_tool.h"

namespace tolvak::test {
namespace {

using Args = std::vector<std::string>;

// Every LF of the usage text leaves the tool as CR LF.
const std::string kUsageOutput =
    "\r\n"
    "  Usage: tolvak -flag path\r\n"
    "  Flags: \"-r\" read\r\n"
    "         \"-w\" write\r\n";

std::string describe(const Args& args) {
  std::string text;
  for (const std::string& arg : args) text += "[" + arg + "]";
  return text;
}

// A directory with inputs for both flags, so that a run that wrongly
// reached a converter would change something.
void seedInputs(const TempDir& dir) {
  writeFile(dir.path() / "m.mot", std::string("not really a motion file\0\x01\x02", 27));
  writeFile(dir.path() / "m.mot.tmpw", "not really a dump\r\n");
  writeFile(dir.path() / "-w", "a file named like the write flag");
  writeFile(dir.path() / "-r", "a file named like the read flag");
}

// Runs the tool through `run` in a seeded directory and checks that it
// printed exactly `expectedOutput`, ended with the usage status and left
// every file as it was: no converter ran.
template <typename Run>
void expectNoConversion(Run run, const std::string& expectedOutput) {
  TempDir dir;
  seedInputs(dir);
  const auto before = dir.snapshot();
  const ToolResult result = run(dir.path());
  EXPECT_EQ(result.output, expectedOutput);
  EXPECT_EQ(result.exitStatus, kExitUsage);
  EXPECT_EQ(dir.snapshot(), before);
}

void expectNoConversion(const Args& args, const std::string& expectedOutput) {
  expectNoConversion(
      [&](const std::filesystem::path& directory) { return runTool(args, directory); },
      expectedOutput);
}

TEST(Cli, UsageTextIsExact) {
  ASSERT_EQ(kUsageOutput.size(), 71u);
  for (const Args& args : {Args{}, Args{"-r"}, Args{"-w"}, Args{"-x"}, Args{""}}) {
    SCOPED_TRACE(describe(args));
    expectNoConversion(args, kUsageOutput);
  }
}

TEST(Cli, OtherFlagsDoNothing) {
  // The comparison is byte for byte over the whole flag; wildcards are no
  // patterns (a directory holding a file "-r" must not turn "*" into "-r").
  const std::vector<Args> cases = {
      {"-R", "m.mot"}, {"-W", "m.mot"},  {"r", "m.mot"},   {"w", "m.mot"},
      {"-rx", "m.mot"}, {"-w-", "m.mot"}, {"--r", "m.mot"}, {"-r ", "m.mot"},
      {" -r", "m.mot"}, {"-", "m.mot"},   {"", "m.mot"},    {"*", "m.mot"},
      {"?r", "m.mot"},  {"-?", "m.mot"},  {"-R", "m.mot", "extra"},
  };
  for (const Args& args : cases) {
    SCOPED_TRACE(describe(args));
    expectNoConversion(args, "");
  }
}

TEST(Cli, FurtherArgumentsChangeNothing) {
  // Each pair must behave alike, on the same inputs: same output, same exit
  // status, same files left behind. The second of "-r -w" is a path.
  struct Pair {
    Args args;
    Args equivalent;
  };
  const std::vector<Pair> pairs = {
      {{"-r", "m.mot", "extra"}, {"-r", "m.mot"}},
      {{"-r", "m.mot", "-w", "m.mot"}, {"-r", "m.mot"}},
      {{"-w", "m.mot", "extra", "more"}, {"-w", "m.mot"}},
      {{"-w", "m.mot", "-r"}, {"-w", "m.mot"}},
      {{"-r", "-w"}, {"-r", "./-w"}},
  };
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(describe(pair.args) + " vs " + describe(pair.equivalent));
    TempDir first;
    TempDir second;
    seedInputs(first);
    seedInputs(second);
    const ToolResult a = runTool(pair.args, first.path());
    const ToolResult b = runTool(pair.equivalent, second.path());
    // A converter ran: success or a reported failure, never the usage case.
    EXPECT_TRUE(a.exitStatus == kExitSuccess || a.exitStatus == kExitFailure)
        << a.exitStatus;
    EXPECT_EQ(a.exitStatus, b.exitStatus);
    EXPECT_EQ(a.output, b.output);
    EXPECT_EQ(first.snapshot(), second.snapshot());
  }
}

TEST(Cli, QuotedArgumentsSplitBackUnchanged) {
  // runTool on Windows relies on quoteArgument agreeing with the tool's
  // splitting; check that for awkward arguments on every platform.
  const Args awkward = {
      "",          " ",        "\t",        "a b",        R"(C:\dir\)",
      R"(C:\my dir\)", R"(a"b)", R"(a\"b)",  R"(\\)",       "\"",
      "\"\"",      R"(a\ b\)",  R"(x\" y\\)", "*?", R"(" \")", "-r",
  };
  std::string line = "tolvak";
  for (const std::string& arg : awkward) {
    line += ' ';
    line += quoteArgument(arg);
  }
  EXPECT_EQ(splitCommandLine(line, nullptr), awkward) << line;
}

#ifdef _WIN32

// Hand-written command lines, split by the tool itself rather than by the C
// runtime.
TEST(Cli, RawWindowsCommandLines) {
  enum class Expect { kUsage, kNothing, kConverterRan };
  struct Case {
    const char* line;
    Expect expect;
  };
  const std::vector<Case> cases = {
      {"", Expect::kUsage},
      {"-r   \t", Expect::kUsage},
      {"\"-r\"", Expect::kUsage},
      {"\"-r m.mot\"", Expect::kUsage},
      {"\"\"", Expect::kUsage},
      // The first backslash stays, the second makes a literal quote, the
      // last quote opens a run to the end: one argument.
      {"-r\\\\\"\" m.mot", Expect::kUsage},
      {"\"-R\" m.mot", Expect::kNothing},
      {"\\\"-r\\\" m.mot", Expect::kNothing},
      {"\"\" \"\"", Expect::kNothing},
      {"* m.mot", Expect::kNothing},
      {"?r m.mot", Expect::kNothing},
      {"\"-r\" m.mot", Expect::kConverterRan},
      {"-\"r\" m.mot", Expect::kConverterRan},
      {"-r\t\"\"", Expect::kConverterRan},
      {"-r \"my file.mot\"", Expect::kConverterRan},
      {"-r \"C:\\dir\\\" extra", Expect::kConverterRan},
      {"\"-r\"\"\" m.mot", Expect::kConverterRan},
      {"-r *.mot", Expect::kConverterRan},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("[") + c.line + "]");
    const auto run = [&](const std::filesystem::path& directory) {
      return runToolRaw(c.line, directory);
    };
    switch (c.expect) {
      case Expect::kUsage:
        expectNoConversion(run, kUsageOutput);
        break;
      case Expect::kNothing:
        expectNoConversion(run, "");
        break;
      case Expect::kConverterRan: {
        TempDir dir;
        seedInputs(dir);
        const int status = run(dir.path()).exitStatus;
        EXPECT_TRUE(status == kExitSuccess || status == kExitFailure) << status;
        break;
      }
    }
  }
}

#endif

}  // namespace
}  // namespace tolvak::test
