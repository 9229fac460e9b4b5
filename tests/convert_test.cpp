// Both conversions through the real executable: their messages, byte for
// byte with CR LF line ends, the exit status, and what is left on disk.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "motion_bytes.h"
#include "run_tool.h"

namespace tolvak::test {
namespace {

namespace fs = std::filesystem;

const std::string kOpenFailure =
    "\r\nERROR: Unable to open your .jqm\r\nMake sure \"-r\" is followed by a valid [path]\\filename\r\n";
const std::string kDumpFailure = "Unable to open temporary file for writing";
const std::string kSourceMissing = "\r\nERROR: Source file not fount\r\n";
const std::string kCannotWrite = "Error: Can't write to disk";

std::string deleteFailure(const std::string& sourcePath) {
  return "\r\nERROR: Could not delete temporary file " + sourcePath + "\r\n";
}

// A small well-formed motion file: two objects, two frames.
std::string sampleMotion() {
  MotionContent m;
  m.tag = "SAMPLE";
  m.totalMove[0] = 1.5f;
  m.names = {"hips", "chest"};
  m.frameValues = {0.5f, 1.0f};
  for (int f = 0; f < 2; ++f) {
    m.poses.emplace_back();
    for (int j = 0; j < 2; ++j) {
      m.poses.back().emplace_back();
      for (int k = 0; k < 12; ++k) m.poses.back().back().push_back(static_cast<float>(f * 100 + j * 12 + k) / 8);
    }
  }
  return motionFileBytes(m);
}

void makeReadOnly(const fs::path& file) {
  fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

TEST(ReadFlag, ConvertsSilentlyAndRoundTrips) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", sampleMotion());
  ToolResult r = runTool({"-r", "m.jqm", "extra", "arguments"}, dir.path());
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.exitStatus, 0);
  const std::string dump = readFile(dir.path() / "m.jqm.tmp");
  EXPECT_EQ(dump.substr(0, 8), "SAMPLE\r\n");

  // And back: "-w" rebuilds the same bytes (all values are multiples of 1/8).
  writeFile(dir.path() / "back.jqm.tmpw", dump);
  r = runTool({"-w", "back.jqm"}, dir.path());
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(readFile(dir.path() / "back.jqm"), sampleMotion());
  EXPECT_FALSE(fs::exists(dir.path() / "back.jqm.tmpw"));
}

TEST(ReadFlag, MissingOrUnreadableMotionFile) {
  TempDir dir;
  writeFile(dir.path() / "gone.jqm.tmp", "an earlier dump");
  fs::create_directory(dir.path() / "folder.jqm");
  for (const char* path : {"gone.jqm", "folder.jqm", "", "-w"}) {
    SCOPED_TRACE(path);
    const auto before = dir.snapshot();
    const ToolResult r = runTool({"-r", path}, dir.path());
    EXPECT_EQ(r.output, kOpenFailure);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(dir.snapshot(), before);
  }
}

TEST(ReadFlag, ReadOnlyDumpIsLeftAlone) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", sampleMotion());
  writeFile(dir.path() / "m.jqm.tmp", "keep me");
  makeReadOnly(dir.path() / "m.jqm.tmp");
  const ToolResult r = runTool({"-r", "m.jqm"}, dir.path());
  EXPECT_EQ(r.output, kDumpFailure);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(readFile(dir.path() / "m.jqm.tmp"), "keep me");
  fs::permissions(dir.path() / "m.jqm.tmp", fs::perms::owner_write, fs::perm_options::add);
}

TEST(ReadFlag, DumpPathThatIsAFolder) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", sampleMotion());
  fs::create_directory(dir.path() / "m.jqm.tmp");
  const ToolResult r = runTool({"-r", "m.jqm"}, dir.path());
  EXPECT_EQ(r.output, kDumpFailure);
  EXPECT_EQ(r.exitStatus, 1);
}

TEST(ReadFlag, RefusesCountsTheFileDoesNotHold) {
  struct Case {
    std::int32_t frames, objects;
  } cases[] = {{2147483647, 2147483647}, {2147483647, -1}, {1, 30000000}, {600000000, 0}};
  for (const Case& c : cases) {
    TempDir dir;
    writeFile(dir.path() / "m.jqm", std::string("HUGE0000") + std::string(12, '\0') + i32(c.frames) + i32(c.objects));
    writeFile(dir.path() / "m.jqm.tmp", "an earlier dump");
    const ToolResult r = runTool({"-r", "m.jqm"}, dir.path());
    EXPECT_EQ(r.output, "\r\nERROR: Your .jqm is shorter than its counts call for\r\n");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(readFile(dir.path() / "m.jqm.tmp"), "an earlier dump");
  }
}

#ifdef __linux__
TEST(ReadFlag, DumpThatCannotBeWrittenIsReported) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", sampleMotion());
  fs::create_symlink("/dev/full", dir.path() / "m.jqm.tmp");
  const ToolResult r = runTool({"-r", "m.jqm"}, dir.path());
  EXPECT_EQ(r.output, "\r\nERROR: Could not write temporary file\r\n");
  EXPECT_EQ(r.exitStatus, 1);
}
#endif

TEST(WriteFlag, MissingSource) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", "old motion file");
  const ToolResult r = runTool({"-w", "m.jqm"}, dir.path());
  EXPECT_EQ(r.output, kSourceMissing + deleteFailure("m.jqm.tmpw"));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(readFile(dir.path() / "m.jqm"), "old motion file");
}

TEST(WriteFlag, UnwritableTargetKeepsItAndDeletesTheSource) {
  TempDir dir;
  fs::create_directory(dir.path() / "folder.jqm");
  writeFile(dir.path() / "ro.jqm", "read-only motion file");
  makeReadOnly(dir.path() / "ro.jqm");
  for (const char* path : {"folder.jqm", "ro.jqm"}) {
    SCOPED_TRACE(path);
    writeFile(dir.path() / (std::string(path) + ".tmpw"), "T\n\n\n\n0\n0\n0\n\n0\n\n0\n\n\n");
    const ToolResult r = runTool({"-w", path}, dir.path());
    EXPECT_EQ(r.output, kCannotWrite);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_FALSE(fs::exists(dir.path() / (std::string(path) + ".tmpw")));
  }
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder.jqm"));
  EXPECT_EQ(readFile(dir.path() / "ro.jqm"), "read-only motion file");
  fs::permissions(dir.path() / "ro.jqm", fs::perms::owner_write, fs::perm_options::add);
}

TEST(WriteFlag, RefusesShortDumpAnnouncingHugeFile) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", "old motion file");
  writeFile(dir.path() / "m.jqm.tmpw", "T\n\n\n\"Total Move\":\n0\n0\n0\nFrames count:\n\t1\nObjects count:\n\t2147483647\nObjects list:\n\tonly one\n");
  const ToolResult r = runTool({"-w", "m.jqm"}, dir.path());
  EXPECT_EQ(r.output, "\r\nERROR: Source file is shorter than its counts call for\r\n");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(readFile(dir.path() / "m.jqm"), "old motion file");
  EXPECT_EQ(dir.snapshot().size(), 1u);
}

TEST(WriteFlag, ReplacesAnExistingFileWholeAndKeepsItsPermissions) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", std::string(100000, 'o'));
#ifndef _WIN32
  fs::permissions(dir.path() / "m.jqm", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
  writeFile(dir.path() / "src.jqm", sampleMotion());
  ASSERT_EQ(runTool({"-r", "src.jqm"}, dir.path()).exitStatus, 0);
  fs::rename(dir.path() / "src.jqm.tmp", dir.path() / "m.jqm.tmpw");
  const ToolResult r = runTool({"-w", "m.jqm"}, dir.path());
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(readFile(dir.path() / "m.jqm"), sampleMotion());
#ifndef _WIN32
  EXPECT_EQ(fs::status(dir.path() / "m.jqm").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
  EXPECT_EQ(dir.snapshot().size(), 2u);  // the motion file and the source
}

TEST(BothFlags, PathsWithSpacesQuotesAndOtherBytes) {
  const std::string longName(200, 'n');
  for (const std::string name : {std::string("with space.jqm"), std::string("quote\"d.jqm"),
                                 std::string("caf\xC3\xA9.jqm"), longName}) {
    SCOPED_TRACE(name);
#ifdef _WIN32
    if (name.find('"') != std::string::npos || name.find('\xC3') != std::string::npos) continue;
#endif
    TempDir dir;
    writeFile(dir.path() / name, sampleMotion());
    ToolResult r = runTool({"-r", name}, dir.path());
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
    fs::rename(dir.path() / (name + ".tmp"), dir.path() / (name + ".tmpw"));
    r = runTool({"-w", name}, dir.path());
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(dir.path() / name), sampleMotion());
  }
}

#ifdef _WIN32
// Raw command lines, split by the tool's own rules: the path each converter
// receives shows in the files it makes or in the message that names it.
TEST(BothFlags, RawCommandLinesReachTheConverterAsSplit) {
  struct Case {
    const char* line;
    const char* madeFile;  // the dump the run must create, or ""
    std::string output;
  } cases[] = {
      {"-r \"my file.jqm\"", "my file.jqm.tmp", ""},
      {"-r my file.jqm", "my.tmp", ""},  // unquoted: only "my" is the path
      {"\"-r\" m.jqm", "m.jqm.tmp", ""},
      {"-r -w", "-w.tmp", ""},           // "-w" is the path of "-r"
      {"-r *.jqm", "", kOpenFailure},    // no wildcard expansion
      {"-r \"\"", "", kOpenFailure},     // an empty path
      // A backslash before the closing quote makes a literal quote, and the
      // run goes on to the end of the line.
      {"-w \"x\\\" y", "", kSourceMissing + deleteFailure("x\" y.tmpw")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TempDir dir;
    for (const char* name : {"my file.jqm", "my", "m.jqm", "-w"}) writeFile(dir.path() / name, sampleMotion());
    const ToolResult r = runToolRaw(c.line, dir.path());
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.exitStatus, c.output.empty() ? 0 : 1);
    if (*c.madeFile != '\0') EXPECT_TRUE(fs::exists(dir.path() / c.madeFile));
    EXPECT_EQ(dir.snapshot().size(), 4u + (*c.madeFile != '\0' ? 1u : 0u));
  }
}
#endif

}  // namespace
}  // namespace tolvak::test
