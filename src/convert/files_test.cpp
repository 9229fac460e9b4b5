#include "convert/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tolvak {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// The test checks files with the C library and std::filesystem rather than
// with the classes under test, except where paths are too long for those.
std::optional<std::string> contentOf(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string content;
  char block[4096];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) content.append(block, got);
  std::fclose(file);
  return content;
}

void putContent(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
  ASSERT_EQ(std::fclose(file), 0);
}

// Bytes that differ from block to block, so a read from a wrong offset shows.
std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return bytes;
}

// Reads a whole file through InputFile (used where the path is too long for
// the C library on Windows).
std::optional<std::string> readThroughInputFile(const std::string& path) {
  InputFile file;
  if (!file.open(path)) return std::nullopt;
  std::string content(static_cast<std::size_t>(file.size()), '\0');
  if (file.read(content.data(), content.size()) != static_cast<std::int64_t>(content.size())) {
    return std::nullopt;
  }
  return content;
}

// A path std::filesystem can use whatever its length.
fs::path longForm(const std::string& path) {
#ifdef _WIN32
  return fs::path(L"\\\\?\\" + fs::absolute(fs::path(path)).wstring());
#else
  return fs::path(path);
#endif
}

#ifdef _WIN32
// The names in a folder, through Win32: std::filesystem cannot list folders
// by their extended paths on this platform.
std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((longForm(folder).wstring() + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    char narrow[MAX_PATH * 4];
    const int length = WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, narrow, sizeof narrow,
                                           nullptr, nullptr);
    names.insert(length > 0 ? std::string(narrow) : std::string("?"));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

void removeTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") removeTree(path + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}
#else
std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}
#endif

bool makeFolder(const std::string& path) {
  std::error_code error;
  return fs::create_directory(longForm(path), error);
}

// Takes away every write permission: mode 0444 on POSIX, the read-only
// attribute on Windows. Both bind an administrator or root too.
void makeReadOnly(const std::string& path) {
  std::error_code error;
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove, error);
  ASSERT_FALSE(error) << path;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

#ifndef _WIN32
unsigned modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0xFFFFFFFFu;
  return st.st_mode & 07777;
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

// Runs `body` in a forked child whose files may not grow past 4096 bytes,
// with the process set up as the tool sets it up, and returns the body's
// result (-1 when the child did not end normally). A write past the limit
// must then fail with EFBIG instead of killing the child with SIGXFSZ.
template <class Body>
int resultUnderSizeLimit(Body body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    prepareFileWriting();
    const struct rlimit limit = {4096, 4096};
    ::_exit(::setrlimit(RLIMIT_FSIZE, &limit) == 0 ? body() : 10);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// Each test works in a fresh, empty folder of its own.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(::getpid());
#endif
    folder_ = (fs::temp_directory_path() /
               ("tolvak-files-" + std::to_string(process) + "-" + std::to_string(++serial)))
                  .string();
    std::error_code error;
    ASSERT_TRUE(fs::create_directory(folder_, error)) << folder_;
  }

  void TearDown() override {
#ifdef _WIN32
    removeTree(longForm(folder_).wstring());
#else
    std::error_code error;
    fs::remove_all(folder_, error);
#endif
  }

  std::string at(const std::string& name) const { return folder_ + kSeparator + name; }

  std::set<std::string> listing(const std::string& folder) const { return namesIn(folder); }
  std::set<std::string> listing() const { return namesIn(folder_); }

  std::string folder_;
};

// ---------------------------------------------------------------------------
// InputFile

TEST_F(FilesTest, InputReadsSeeksAndReportsSize) {
  const std::string bytes = pattern(70000);
  putContent(at("motion.bin"), bytes);

  InputFile file;
  ASSERT_TRUE(file.open(at("motion.bin")));
  EXPECT_EQ(file.size(), 70000u);

  std::vector<char> buffer(100000);
  ASSERT_EQ(file.read(buffer.data(), buffer.size()), 70000);
  EXPECT_EQ(std::string(buffer.data(), 70000), bytes);
  EXPECT_EQ(file.read(buffer.data(), buffer.size()), 0);

  struct Case {
    std::uint64_t offset;
    std::size_t capacity;
    std::int64_t expected;
  };
  const Case cases[] = {
      {0, 16, 16}, {65536, 10, 10}, {69990, 100, 10}, {70000, 4, 0}, {70005, 4, 0}, {12345, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    ASSERT_TRUE(file.seek(c.offset));
    ASSERT_EQ(file.read(buffer.data(), c.capacity), c.expected);
    EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(c.expected)),
              bytes.substr(static_cast<std::size_t>(std::min<std::uint64_t>(c.offset, 70000)),
                           static_cast<std::size_t>(c.expected)));
  }
}

TEST_F(FilesTest, InputHandlesOffsetsBeyondFourGigabytes) {
  // A sparse file: only the marker near its end takes disk space.
  const std::uint64_t marker = (std::uint64_t{9} << 29) + 3;  // 4.5 GiB + 3
  const std::uint64_t total = std::uint64_t{5} << 30;
  std::error_code error;
  putContent(at("big.bin"), "");
  fs::resize_file(at("big.bin"), total, error);
  if (error) GTEST_SKIP() << "cannot make a 5 GiB sparse file here: " << error.message();
  std::FILE* raw = std::fopen(at("big.bin").c_str(), "r+b");
  ASSERT_NE(raw, nullptr);
#ifdef _WIN32
  ASSERT_EQ(_fseeki64(raw, static_cast<long long>(marker), SEEK_SET), 0);
#else
  ASSERT_EQ(fseeko(raw, static_cast<off_t>(marker), SEEK_SET), 0);
#endif
  ASSERT_EQ(std::fwrite("MARK", 1, 4, raw), 4u);
  ASSERT_EQ(std::fclose(raw), 0);

  InputFile file;
  ASSERT_TRUE(file.open(at("big.bin")));
  EXPECT_EQ(file.size(), total);
  char buffer[8] = {};
  ASSERT_TRUE(file.seek(marker - 2));
  ASSERT_EQ(file.read(buffer, 8), 8);
  EXPECT_EQ(std::string(buffer, 8), std::string("\0\0MARK\0\0", 8));
  ASSERT_TRUE(file.seek(total - 1));
  EXPECT_EQ(file.read(buffer, 8), 1);
}

TEST_F(FilesTest, InputRefusesWhatIsNotARegularFile) {
  ASSERT_TRUE(makeFolder(at("folder")));
  std::vector<std::string> refused = {at("folder"), at("missing.bin"), ""};
#ifndef _WIN32
  // Opening a FIFO for reading would wait for a writer; it must be refused
  // at once instead.
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0666), 0);
  refused.push_back(at("fifo"));
#endif
  for (const std::string& path : refused) {
    InputFile file;
    EXPECT_FALSE(file.open(path)) << path;
    char byte;
    EXPECT_EQ(file.read(&byte, 1), -1) << path;
  }
}

// ---------------------------------------------------------------------------
// OutputFile

TEST_F(FilesTest, OutputCreatesOrEmptiesTheFile) {
  putContent(at("long.tmp"), pattern(5000));
#ifndef _WIN32
  ASSERT_EQ(::chmod(at("long.tmp").c_str(), 0600), 0);
  ScopedUmask mask(027);
#endif
  for (const char* name : {"long.tmp", "new.tmp"}) {
    SCOPED_TRACE(name);
    OutputFile file;
    ASSERT_TRUE(file.open(at(name)));
    EXPECT_TRUE(file.write("abc", 3));
    EXPECT_TRUE(file.write("", 0));
    EXPECT_TRUE(file.write("\r\n\x1a", 3));
    EXPECT_TRUE(file.close());
    EXPECT_EQ(contentOf(at(name)), std::string("abc\r\n\x1a"));
  }
#ifndef _WIN32
  // Emptying keeps the file's own mode; a new file gets 0666 less the umask.
  EXPECT_EQ(modeOf(at("long.tmp")), 0600u);
  EXPECT_EQ(modeOf(at("new.tmp")), 0640u);
#endif
}

TEST_F(FilesTest, OutputRefusesFolderAndReadOnlyFile) {
  // Run as root (or an administrator) this checks that the refusal does not
  // depend on the process lacking the right to override the mode.
  ASSERT_TRUE(makeFolder(at("folder.tmp")));
  const std::string old = pattern(300);
  putContent(at("locked.tmp"), old);
  makeReadOnly(at("locked.tmp"));

  for (const char* name : {"folder.tmp", "locked.tmp"}) {
    OutputFile file;
    EXPECT_FALSE(file.open(at(name))) << name;
    EXPECT_FALSE(file.write("x", 1)) << name;
  }
  EXPECT_EQ(contentOf(at("locked.tmp")), old);
  EXPECT_TRUE(fs::is_directory(at("folder.tmp")));
  EXPECT_EQ(listing(), (std::set<std::string>{"folder.tmp", "locked.tmp"}));
}

#ifndef _WIN32
TEST_F(FilesTest, OutputReportsWriteFailures) {
  const std::string block = pattern(8192);

  // A file-size limit.
  EXPECT_EQ(resultUnderSizeLimit([&] {
              OutputFile file;
              if (!file.open(at("limited.tmp"))) return 11;
              if (file.write(block.data(), block.size())) return 12;
              if (file.write("x", 1)) return 13;  // the failure sticks
              if (file.close()) return 14;
              return 0;
            }),
            0);

  // A full device, reached through a link as a dump path could be.
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(::symlink("/dev/full", at("full.tmp").c_str()), 0);
  OutputFile file;
  ASSERT_TRUE(file.open(at("full.tmp")));
  EXPECT_FALSE(file.write(block.data(), block.size()));
  EXPECT_FALSE(file.write("x", 1));
  EXPECT_FALSE(file.close());
}
#endif

// ---------------------------------------------------------------------------
// ReplacementFile

TEST_F(FilesTest, ReplacementCommitReplacesContent) {
  putContent(at("motion.bin"), pattern(4000));
  // The dumps of the two conversions sit beside the motion file and must not
  // be touched by a replacement.
  putContent(at("motion.bin.tmp"), "dump");
  putContent(at("motion.bin.tmpw"), "source");
  const std::set<std::string> before = listing();

  ReplacementFile file;
  ASSERT_TRUE(file.open(at("motion.bin")));
  const std::set<std::string> during = listing();
  ASSERT_EQ(during.size(), before.size() + 1);
  std::string fresh;
  for (const std::string& name : during) {
    if (before.count(name) == 0) fresh = name;
  }
  EXPECT_FALSE(endsWith(fresh, ".tmp")) << fresh;
  EXPECT_FALSE(endsWith(fresh, ".tmpw")) << fresh;
  // Until the commit the target is exactly as it was.
  EXPECT_EQ(contentOf(at("motion.bin")), pattern(4000));

  const std::string content = pattern(100000).substr(7);
  ASSERT_TRUE(file.write(content.data(), 50000));
  ASSERT_TRUE(file.write(content.data() + 50000, content.size() - 50000));
  EXPECT_EQ(contentOf(at("motion.bin")), pattern(4000));
  ASSERT_TRUE(file.commit());

  EXPECT_EQ(contentOf(at("motion.bin")), content);
  EXPECT_EQ(contentOf(at("motion.bin.tmp")), std::string("dump"));
  EXPECT_EQ(contentOf(at("motion.bin.tmpw")), std::string("source"));
  EXPECT_EQ(listing(), before);
}

TEST_F(FilesTest, ReplacementKeepsWhatDescribesTheOldFile) {
#ifdef _WIN32
  putContent(at("hidden.bin"), "old");
  ASSERT_TRUE(SetFileAttributesA(at("hidden.bin").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ReplacementFile file;
  ASSERT_TRUE(file.open(at("hidden.bin")));
  ASSERT_TRUE(file.write("new", 3));
  ASSERT_TRUE(file.commit());
  EXPECT_EQ(contentOf(at("hidden.bin")), std::string("new"));
  EXPECT_NE(GetFileAttributesA(at("hidden.bin").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
#else
  // Old files keep their mode whatever the umask; new ones get 0666 less it.
  ScopedUmask mask(022);
  struct Case {
    const char* name;
    unsigned oldMode;  // 0: no old file
    mode_t umask;
    unsigned expected;
  };
  const Case cases[] = {
      {"shared.bin", 0640, 022, 0640}, {"private.bin", 0600, 0, 0600},
      {"wide.bin", 0666, 077, 0666},   {"sticky.bin", 01644, 022, 01644},
      {"new1.bin", 0, 022, 0644},      {"new2.bin", 0, 027, 0640},
      {"new3.bin", 0, 077, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.oldMode != 0) {
      putContent(at(c.name), "old");
      ASSERT_EQ(::chmod(at(c.name).c_str(), c.oldMode), 0);
    }
    ::umask(c.umask);
    ReplacementFile file;
    ASSERT_TRUE(file.open(at(c.name)));
    ASSERT_TRUE(file.write("new", 3));
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(contentOf(at(c.name)), std::string("new"));
    EXPECT_EQ(modeOf(at(c.name)), c.expected);
  }
#endif
}

TEST_F(FilesTest, UncommittedReplacementLeavesNothingBehind) {
  putContent(at("old.bin"), "old content");
  const std::set<std::string> before = listing();
  enum class End { discard, destructor, discardThenDestructor, commitAfterDiscard };
  for (const char* name : {"old.bin", "new.bin"}) {
    for (End end : {End::discard, End::destructor, End::discardThenDestructor,
                    End::commitAfterDiscard}) {
      SCOPED_TRACE(std::string(name) + " case " + std::to_string(static_cast<int>(end)));
      {
        ReplacementFile file;
        ASSERT_TRUE(file.open(at(name)));
        ASSERT_TRUE(file.write("partial", 7));
        ASSERT_EQ(listing().size(), before.size() + 1);
        if (end == End::discard) {
          file.discard();
          EXPECT_EQ(listing(), before);
        }
        if (end == End::discardThenDestructor || end == End::commitAfterDiscard) {
          file.discard();
          file.discard();
        }
        if (end == End::commitAfterDiscard) {
          EXPECT_FALSE(file.commit());
        }
      }
      EXPECT_EQ(listing(), before);
      EXPECT_EQ(contentOf(at("old.bin")), std::string("old content"));
    }
  }
}

TEST_F(FilesTest, ReplacementRefusesFolderAndReadOnlyTarget) {
  ASSERT_TRUE(makeFolder(at("folder.bin")));
  putContent(at("locked.bin"), "locked");
  makeReadOnly(at("locked.bin"));
  const std::set<std::string> before = listing();

  std::vector<std::string> refused = {at("folder.bin"), at("locked.bin"), at("missing") + kSeparator + "x.bin"};
#ifndef _WIN32
  refused.push_back(at("folder.bin") + "/");
  // A device is not a file to be replaced by renaming.
  refused.push_back("/dev/null");
#endif
  for (const std::string& path : refused) {
    ReplacementFile file;
    EXPECT_FALSE(file.open(path)) << path;
    EXPECT_FALSE(file.write("x", 1)) << path;
    EXPECT_FALSE(file.commit()) << path;
  }
  EXPECT_EQ(listing(), before);
  EXPECT_TRUE(listing(at("folder.bin")).empty());
  EXPECT_EQ(contentOf(at("locked.bin")), std::string("locked"));
}

TEST_F(FilesTest, FailedCommitLeavesTargetAndNoNewFile) {
  // The target turns into a folder while the replacement is written: the
  // rename must fail, and neither the folder nor its content may suffer.
  ReplacementFile file;
  ASSERT_TRUE(file.open(at("target.bin")));
  ASSERT_TRUE(file.write("content", 7));
  ASSERT_TRUE(makeFolder(at("target.bin")));
  putContent(at("target.bin") + kSeparator + "inner", "inner");
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(listing(), (std::set<std::string>{"target.bin"}));
  EXPECT_EQ(contentOf(at("target.bin") + kSeparator + "inner"), std::string("inner"));
}

#ifndef _WIN32
TEST_F(FilesTest, ReplacementThroughLinksReplacesTheLinkedFile) {
  ASSERT_TRUE(makeFolder(at("sub")));
  putContent(at("real.bin"), "old");
  ASSERT_EQ(::chmod(at("real.bin").c_str(), 0600), 0);
  putContent(at("sub/deep.bin"), "old");
  ASSERT_EQ(::symlink("real.bin", at("link.bin").c_str()), 0);
  ASSERT_EQ(::symlink("link.bin", at("chain.bin").c_str()), 0);
  ASSERT_EQ(::symlink("sub/deep.bin", at("into-sub.bin").c_str()), 0);
  ASSERT_EQ(::symlink(at("real.bin").c_str(), at("absolute.bin").c_str()), 0);
  ASSERT_EQ(::symlink("sub/later.bin", at("dangling.bin").c_str()), 0);
  ASSERT_EQ(::symlink("loop.bin", at("loop.bin").c_str()), 0);

  struct Case {
    const char* link;
    const char* file;
  };
  const Case cases[] = {{"link.bin", "real.bin"},
                        {"chain.bin", "real.bin"},
                        {"into-sub.bin", "sub/deep.bin"},
                        {"absolute.bin", "real.bin"},
                        {"dangling.bin", "sub/later.bin"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    const std::string content = std::string("new through ") + c.link;
    ReplacementFile file;
    ASSERT_TRUE(file.open(at(c.link)));
    ASSERT_TRUE(file.write(content.data(), content.size()));
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(contentOf(at(c.file)), content);
    struct stat st {};
    ASSERT_EQ(::lstat(at(c.link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
  }
  EXPECT_EQ(modeOf(at("real.bin")), 0600u);
  EXPECT_EQ(listing(), (std::set<std::string>{"real.bin", "sub", "link.bin", "chain.bin",
                                              "into-sub.bin", "absolute.bin", "dangling.bin",
                                              "loop.bin"}));
  EXPECT_EQ(listing(at("sub")), (std::set<std::string>{"deep.bin", "later.bin"}));

  ReplacementFile looping;
  EXPECT_FALSE(looping.open(at("loop.bin")));
}
#endif

TEST_F(FilesTest, LongPathsWork) {
  // A chain of folders making the path well over 1000 characters, with a
  // last component of 250 characters: beyond the classic 260-character limit
  // on Windows, within NAME_MAX for one component.
  std::string folder = folder_;
  for (char letter = 'a'; folder.size() < 1000; ++letter) {
    folder += kSeparator + std::string(120, letter);
    ASSERT_TRUE(makeFolder(folder)) << folder.size();
  }
  const std::string path = folder + kSeparator + std::string(250, 'm');
  ASSERT_GT(path.size(), 1000u);

  const std::string content = pattern(3000);
  {
    OutputFile dump;
    ASSERT_TRUE(dump.open(path + ".tmp"));
    ASSERT_TRUE(dump.write(content.data(), content.size()));
    ASSERT_TRUE(dump.close());
  }
  EXPECT_EQ(readThroughInputFile(path + ".tmp"), content);

  for (int round = 0; round < 2; ++round) {  // first a new file, then a replacement
    SCOPED_TRACE(round);
    const std::string version = content.substr(static_cast<std::size_t>(round));
    ReplacementFile file;
    ASSERT_TRUE(file.open(path));
    for (const std::string& name : listing(folder)) EXPECT_LE(name.size(), 255u) << name;
    ASSERT_TRUE(file.write(version.data(), version.size()));
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(readThroughInputFile(path), version);
  }

  EXPECT_TRUE(removeFile(path + ".tmp"));
  EXPECT_EQ(listing(folder), (std::set<std::string>{std::string(250, 'm')}));
}

TEST_F(FilesTest, RemoveFileReportsWhetherItDeleted) {
  putContent(at("source.tmpw"), "dump");
  ASSERT_TRUE(makeFolder(at("folder.tmpw")));
  EXPECT_TRUE(removeFile(at("source.tmpw")));
  EXPECT_FALSE(contentOf(at("source.tmpw")).has_value());
  EXPECT_FALSE(removeFile(at("source.tmpw")));
  EXPECT_FALSE(removeFile(at("folder.tmpw")));
  EXPECT_TRUE(fs::is_directory(at("folder.tmpw")));
}

// ---------------------------------------------------------------------------
// Interrupts (POSIX: signals from another process)

#ifndef _WIN32
// A child that opens a replacement of `target`, writes part of it, tells the
// parent through `ready`, then waits (for a signal, or for a byte on `go`,
// after which it commits).
int replaceAndWait(const std::string& target, int ready, int go) {
  ReplacementFile file;
  if (!file.open(target)) return 20;
  const std::string part = pattern(1 << 20);
  if (!file.write(part.data(), part.size())) return 21;
  if (::write(ready, "r", 1) != 1) return 22;
  char byte;
  if (::read(go, &byte, 1) != 1) return 23;
  return file.commit() ? 0 : 24;
}

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(ends), 0); }
  ~Pipe() {
    ::close(ends[0]);
    ::close(ends[1]);
  }
  int ends[2] = {-1, -1};
};

TEST_F(FilesTest, InterruptRemovesTheNewFileAndEndsTheProcess) {
  putContent(at("old.bin"), "old content");
  const std::set<std::string> before = listing();
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    for (const char* name : {"old.bin", "new.bin"}) {
      SCOPED_TRACE(std::string(name) + " signal " + std::to_string(signalNumber));
      Pipe ready, go;
      std::fflush(nullptr);
      const pid_t child = ::fork();
      if (child == 0) {
        // A normal process, whatever the test runner ignores.
        for (int s : {SIGTERM, SIGINT, SIGHUP}) ::signal(s, SIG_DFL);
        ::_exit(replaceAndWait(at(name), ready.ends[1], go.ends[0]));
      }
      char byte = 0;
      ASSERT_EQ(::read(ready.ends[0], &byte, 1), 1);
      EXPECT_EQ(listing().size(), before.size() + 1);
      ASSERT_EQ(::kill(child, signalNumber), 0);
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_EQ(WTERMSIG(status), signalNumber);
      EXPECT_EQ(listing(), before);
      EXPECT_EQ(contentOf(at("old.bin")), std::string("old content"));
    }
  }
}

TEST_F(FilesTest, IgnoredHangupStaysIgnored) {
  // Run under nohup, a hangup must neither end the run nor lose the file.
  putContent(at("old.bin"), "old content");
  Pipe ready, go;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGHUP, SIG_IGN);
    ::_exit(replaceAndWait(at("old.bin"), ready.ends[1], go.ends[0]));
  }
  char byte = 0;
  ASSERT_EQ(::read(ready.ends[0], &byte, 1), 1);
  ASSERT_EQ(::kill(child, SIGHUP), 0);
  ASSERT_EQ(::write(go.ends[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(contentOf(at("old.bin")), pattern(1 << 20));
  EXPECT_EQ(listing(), (std::set<std::string>{"old.bin"}));
}

TEST_F(FilesTest, InterruptedChildKeepsItsParentsNewFile) {
  // A child forked while a replacement is pending inherits the handlers; its
  // end by a signal must not take the parent's new file with it.
  ReplacementFile file;
  ASSERT_TRUE(file.open(at("target.bin")));
  ASSERT_TRUE(file.write("parent", 6));
  Pipe ready;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::write(ready.ends[1], "r", 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char byte = 0;
  ASSERT_EQ(::read(ready.ends[0], &byte, 1), 1);
  ASSERT_EQ(::kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  ASSERT_TRUE(file.commit());
  EXPECT_EQ(contentOf(at("target.bin")), std::string("parent"));
}

extern "C" void ownInterruptHandler(int) {}

TEST_F(FilesTest, PreviousSignalHandlersComeBack) {
  struct sigaction own {};
  own.sa_handler = ownInterruptHandler;
  struct sigaction saved[3];
  const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::sigaction(signals[i], &own, &saved[i]), 0);

  auto handlerOf = [](int signalNumber) {
    struct sigaction current {};
    ::sigaction(signalNumber, nullptr, &current);
    return current.sa_handler;
  };
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit);
    ReplacementFile file;
    ASSERT_TRUE(file.open(at("target.bin")));
    for (int s : signals) EXPECT_NE(handlerOf(s), ownInterruptHandler);
    if (commit) {
      EXPECT_TRUE(file.commit());
    } else {
      file.discard();
    }
    for (int s : signals) EXPECT_EQ(handlerOf(s), ownInterruptHandler);
  }
  for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &saved[i], nullptr);
}

TEST_F(FilesTest, ReplacementWriteFailureKeepsTheTarget) {
  putContent(at("old.bin"), "old content");
  const std::string block = pattern(8192);
  EXPECT_EQ(resultUnderSizeLimit([&] {
              ReplacementFile file;
              if (!file.open(at("old.bin"))) return 11;
              if (file.write(block.data(), block.size())) return 12;
              if (file.commit()) return 13;
              return 0;
            }),
            0);
  EXPECT_EQ(contentOf(at("old.bin")), std::string("old content"));
  EXPECT_EQ(listing(), (std::set<std::string>{"old.bin"}));
}
#endif

}  // namespace
}  // namespace tolvak
