// Helpers for end-to-end tests that run the real `tolvak` executable.
//
//   tolvak::test::TempDir dir;                        // fresh, empty, removed after
//   writeFile(dir.path() / "m.bin", bytes);
//   ToolResult r = runTool({"-r", "m.bin"}, dir.path());
//   EXPECT_EQ(r.exitStatus, 0);
//   EXPECT_EQ(r.output, "");                          // stdout, byte for byte
//   EXPECT_EQ(readFile(dir.path() / "m.bin.tmp"), expectedDump);
//
// The executable's path is compiled in (TOLVAK_EXECUTABLE). The tool runs in
// the given working directory with its standard output captured through a
// pipe; standard input and the error stream are inherited.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tolvak::test {

struct ToolResult {
  // The process's exit code; on POSIX, minus the signal number when a
  // signal ended it.
  int exitStatus = -1;
  // Everything the tool wrote to standard output, unaltered.
  std::string output;
};

// Runs the tool with the given arguments (the flag, the path, ...), which
// reach it exactly as given. POSIX passes them as a vector; Windows joins
// them into one command line with quoteArgument.
ToolResult runTool(const std::vector<std::string>& arguments,
                   const std::filesystem::path& workingDirectory);

#ifdef _WIN32
// Runs the tool with a hand-written command line: the quoted program path,
// one space, then `commandLineAfterProgram` exactly as given, so the tool's
// own splitting of the raw line is what is exercised.
ToolResult runToolRaw(const std::string& commandLineAfterProgram,
                      const std::filesystem::path& workingDirectory);
#endif

// Writes one argument so that the tool's command-line splitting gives it
// back unchanged: as is when it needs nothing, otherwise with a quoted run
// over its blanks and every double quote written as backslash-quote.
// (These are the tool's rules, not those of the C runtimes.) Assumes no
// double-byte code page.
std::string quoteArgument(const std::string& argument);

// A new, empty directory under the system's temporary directory, removed
// with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Name -> content of every regular file directly inside the directory
  // (sub-directories are listed with the content "<dir>"), for checking
  // that a run changed nothing, or exactly what it should.
  std::map<std::string, std::string> snapshot() const;

 private:
  std::filesystem::path path_;
};

// Whole-file helpers, binary: the bytes on disk, nothing translated.
void writeFile(const std::filesystem::path& file, const std::string& bytes);
std::string readFile(const std::filesystem::path& file);

}  // namespace tolvak::test
