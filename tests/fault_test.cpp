// Fault injection through the real executable, on Linux: a file-size limit
// or a full file system while either conversion writes, SIGKILL at random
// moments of a large "-w", interrupts while "-w" is under way and at every
// system call boundary, and files and paths that cannot be used. Each case
// checks the exact message, the exit status and everything left on disk.
//
// CI runs this as root. Permission bits do not keep root from reading, so
// unreadable inputs are made of other things (a folder, a file whose reads
// fail), and the cases that need an ordinary user run the tool as "nobody".

#include <gtest/gtest.h>

// Linux only: the tests mount file systems, trace the tool and read /proc.
#ifdef __linux__

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "motion_bytes.h"
#include "run_tool.h"

extern char** environ;

#ifndef TOLVAK_EXECUTABLE
#error "TOLVAK_EXECUTABLE must name the tolvak executable under test"
#endif

namespace tolvak::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kOpenFailure =
    "\r\nERROR: Unable to open your .jqm\r\nMake sure \"-r\" is followed by a valid [path]\\filename\r\n";
const std::string kDumpOpenFailure = "Unable to open temporary file for writing";
const std::string kDumpWriteFailure = "\r\nERROR: Could not write temporary file\r\n";
const std::string kMotionReadFailure = "\r\nERROR: Could not read your .jqm\r\n";
const std::string kSourceMissing = "\r\nERROR: Source file not fount\r\n";
const std::string kSourceReadFailure = "\r\nERROR: Could not read source file\r\n";
const std::string kCannotWrite = "Error: Can't write to disk";

std::string deleteFailure(const std::string& sourcePath) {
  return "\r\nERROR: Could not delete temporary file " + sourcePath + "\r\n";
}

// What the child prints instead of the tool's output when it could not
// start the tool the way the test asked.
const std::string kNotStarted = "<the tool could not be started as asked>";

constexpr fs::perms kOldMode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
constexpr fs::perms kReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

bool runningAsRoot() { return ::geteuid() == 0; }

// A whole file in one read (these files run to tens of megabytes).
std::string bytesOf(const fs::path& file) {
  std::string bytes(fs::file_size(file), '\0');
  std::ifstream in(file, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return bytes;
}

// ---------------------------------------------------------------------------
// Test data

// A motion file whose values all survive the dump exactly (multiples of
// 1/256 up to 1024 print in full with eight decimals), so "-w" of its dump
// gives back the same bytes. Different seeds give different files.
std::string motionFile(int objects, int frames, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> steps(-262144, 262144);
  auto value = [&] { return static_cast<float>(steps(random)) / 256.0f; };
  MotionContent m;
  m.tag = "FAULT" + std::to_string(seed % 100);
  for (float& t : m.totalMove) t = value();
  for (int j = 0; j < objects; ++j) m.names.push_back("object " + std::to_string(j));
  for (int f = 0; f < frames; ++f) {
    m.frameValues.push_back(static_cast<float>(f) / 8);
    auto& frame = m.poses.emplace_back();
    for (int j = 0; j < objects; ++j) {
      auto& pose = frame.emplace_back();
      for (int k = 0; k < 12; ++k) pose.push_back(value());
    }
  }
  return motionFileBytes(m);
}

// The dump that "-r" makes of `motion`, which must convert silently.
std::string dumpOf(const std::string& motion) {
  TempDir dir;
  writeFile(dir.path() / "m.jqm", motion);
  const ToolResult r = runTool({"-r", "m.jqm"}, dir.path());
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.exitStatus, 0);
  return bytesOf(dir.path() / "m.jqm.tmp");
}

// A motion file, its dump, and an older, different motion file that the
// dump's "-w" replaces.
struct Replacement {
  std::string next;
  std::string dump;
  std::string old;
};

Replacement replacement(int objects, int frames, unsigned seed) {
  Replacement r;
  r.next = motionFile(objects, frames, seed);
  r.dump = dumpOf(r.next);
  r.old = motionFile(3, 5, seed + 1);
  return r;
}

// ---------------------------------------------------------------------------
// What is on disk

// File contents by name.
using Contents = std::map<std::string, std::string>;

// A file's bytes as the checks show them: short ones as they are, longer
// ones by their size and a 64-bit FNV-1a hash, so that a report of a
// mismatch stays small.
std::string described(const std::string& bytes) {
  if (bytes.size() <= 64) return bytes;
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 0x100000001b3u;
  char text[64];
  std::snprintf(text, sizeof text, "<%zu bytes, hash %016llx>", bytes.size(),
                static_cast<unsigned long long>(hash));
  return text;
}

// Everything below `root` by relative path, links not followed: a regular
// file's bytes (described), or a marker for anything else.
using Tree = std::map<std::string, std::string>;

Tree described(const Contents& contents) {
  Tree tree;
  for (const auto& [name, bytes] : contents) tree[name] = described(bytes);
  return tree;
}

Tree treeOf(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& path = it->path();
    const std::string name = path.lexically_relative(root).string();
    switch (it->symlink_status().type()) {
      case fs::file_type::regular:
        tree[name] = ::access(path.c_str(), R_OK) == 0
                         ? described(bytesOf(path))
                         : "<unreadable, " + std::to_string(fs::file_size(path)) + " bytes>";
        break;
      case fs::file_type::directory:
        tree[name] = "<folder>";
        break;
      case fs::file_type::symlink:
        tree[name] = "<link to " + fs::read_symlink(path).string() + ">";
        break;
      case fs::file_type::fifo:
        tree[name] = "<fifo>";
        break;
      default:
        tree[name] = "<other>";
    }
  }
  return tree;
}

// Permission bits of everything below `root` (links not followed).
std::map<std::string, fs::perms> modesOf(const fs::path& root) {
  std::map<std::string, fs::perms> modes;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    modes[it->path().lexically_relative(root).string()] = it->symlink_status().permissions();
  }
  return modes;
}

// Names directly in `folder` other than `known`.
std::vector<std::string> otherNames(const fs::path& folder, const std::vector<std::string>& known) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (std::find(known.begin(), known.end(), name) == known.end()) names.push_back(name);
  }
  return names;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

// Which of the two expected contents `actual` is, or how it differs.
std::string verdict(const std::string& actual, const std::string& old, const std::string& next) {
  if (actual == old) return "old";
  if (actual == next) return "new";
  const std::size_t common = std::min(actual.size(), next.size());
  std::size_t same = 0;
  while (same < common && actual[same] == next[same]) ++same;
  return "neither: " + std::to_string(actual.size()) + " bytes, first " + std::to_string(same) +
         " as in the new file of " + std::to_string(next.size());
}

// Gives the owner full access to everything below `root`, so that it can be
// inspected and removed whatever a case did to the permissions.
void makeAccessible(const fs::path& root) {
  std::error_code ignored;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(root, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->symlink_status().type() == fs::file_type::symlink) continue;
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
}

// ---------------------------------------------------------------------------
// Running the tool with a child set up beyond what runTool does

struct ChildSetup {
  std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE, soft and hard
  bool fileSizeSignalIgnored = true;    // SIGXFSZ as the tool inherits it
  std::vector<int> ignoredSignals;      // as nohup or a background job leaves them
  std::optional<uid_t> user;            // switch to this user (and group) first
  bool traced = false;                  // stop at the exec for ptrace
};

// Sets NAME=value in an environment, appending to an existing value.
void addOption(std::vector<std::string>& environment, const std::string& name,
               const std::string& value) {
  for (std::string& entry : environment) {
    if (entry.compare(0, name.size() + 1, name + "=") == 0) {
      entry += ":" + value;
      return;
    }
  }
  environment.push_back(name + "=" + value);
}

// The tool, started with fork and exec so that the child can be set up
// first. Its standard output goes into a pipe that finish() drains; a tool
// still running when the object goes away is killed.
class Tool {
 public:
  Tool(const std::vector<std::string>& arguments, const fs::path& directory,
       const ChildSetup& setup = {}) {
    const std::string program = TOLVAK_EXECUTABLE;
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    // LeakSanitizer cannot stop the world in a process that is traced.
    if (setup.traced) addOption(environment, "ASAN_OPTIONS", "detect_leaks=0");
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);
    const std::string folder = directory.string();

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      // Only async-signal-safe calls from here on.
      ::dup2(ends[1], STDOUT_FILENO);
      for (int number : {SIGINT, SIGTERM, SIGHUP}) ::signal(number, SIG_DFL);
      ::signal(SIGXFSZ, setup.fileSizeSignalIgnored ? SIG_IGN : SIG_DFL);
      for (int number : setup.ignoredSignals) ::signal(number, SIG_IGN);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      bool ready = ::chdir(folder.c_str()) == 0;
      if (ready && setup.fileSizeLimit) {
        const struct rlimit limit = {*setup.fileSizeLimit, *setup.fileSizeLimit};
        ready = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
      }
      if (ready && setup.user) {
        ready = ::setgroups(0, nullptr) == 0 && ::setgid(*setup.user) == 0 &&
                ::setuid(*setup.user) == 0;
      }
      if (ready && setup.traced) ready = ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0;
      if (ready) ::execve(program.c_str(), argv.data(), envp.data());
      if (::write(STDOUT_FILENO, kNotStarted.data(), kNotStarted.size()) < 0) {
        // nothing more to say
      }
      ::_exit(127);
    }
    ::close(ends[1]);
    output_ = ends[0];
  }

  ~Tool() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      waitRaw();
    }
    if (output_ >= 0) ::close(output_);
  }

  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  pid_t pid() const { return pid_; }

  // Sends a signal, unless the tool has ended and its process id may
  // already belong to another process.
  void signal(int number) const {
    if (!status_) ::kill(pid_, number);
  }

  // Waits for the next change: a stop, or the end (which is kept).
  int waitRaw() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) throw std::runtime_error("waitpid");
    }
    if (!WIFSTOPPED(status)) status_ = status;
    return status;
  }

  // After a SIGSTOP: true once the tool is stopped, false when it ended.
  bool waitUntilStopped() {
    int status = 0;
    while (::waitpid(pid_, &status, WUNTRACED) < 0) {
      if (errno != EINTR) throw std::runtime_error("waitpid");
    }
    if (WIFSTOPPED(status)) return true;
    status_ = status;
    return false;
  }

  // True once the tool has ended (checked without waiting).
  bool ended() {
    if (status_) return true;
    int status = 0;
    const pid_t changed = ::waitpid(pid_, &status, WNOHANG);
    if (changed < 0 && errno != EINTR) throw std::runtime_error("waitpid");
    if (changed == pid_ && !WIFSTOPPED(status)) status_ = status;
    return status_.has_value();
  }

  // Drains the output and waits for the end. The exit status is the exit
  // code, or minus the signal number when a signal ended the tool.
  ToolResult finish() {
    ToolResult result;
    char buffer[4096];
    for (;;) {
      const ssize_t count = ::read(output_, buffer, sizeof buffer);
      if (count > 0) {
        result.output.append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        break;
      }
    }
    if (!status_) waitRaw();
    result.exitStatus = WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -WTERMSIG(*status_);
    return result;
  }

 private:
  static std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (std::string& s : strings) list.push_back(s.data());
    list.push_back(nullptr);
    return list;
  }

  pid_t pid_ = -1;
  int output_ = -1;
  std::optional<int> status_;
};

ChildSetup sizeLimited(rlim_t limit, bool fileSizeSignalIgnored) {
  ChildSetup setup;
  setup.fileSizeLimit = limit;
  setup.fileSizeSignalIgnored = fileSizeSignalIgnored;
  return setup;
}

ToolResult runWith(const std::vector<std::string>& arguments, const fs::path& directory,
                   const ChildSetup& setup) {
  Tool tool(arguments, directory, setup);
  return tool.finish();
}

// Waits until a file other than `known` shows up in `folder` (the new file
// of a "-w" run) holding at least `size` bytes, and returns its name; empty
// when the tool ended, or the file went away, before that.
std::string waitForNewFile(Tool& tool, const fs::path& folder,
                           const std::vector<std::string>& known, std::uintmax_t size = 0) {
  std::string seen;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline && !tool.ended()) {
    const std::vector<std::string> others = otherNames(folder, known);
    if (!others.empty()) {
      seen = others.front();
      std::error_code gone;
      const std::uintmax_t has = fs::file_size(folder / seen, gone);
      if (!gone && has >= size) return seen;
    } else if (!seen.empty()) {
      return "";
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return "";
}

// ---------------------------------------------------------------------------
// A "-w" scene: the old motion file m.jqm (mode 0640) and the dump
// m.jqm.tmpw of the next one, in a folder of its own. The dump is a second
// name of a copy kept in another folder: the tool only reads and unlinks
// it, so a consumed dump comes back without writing it again.

class WriteScene {
 public:
  explicit WriteScene(const Replacement& data) : data_(data) {
    writeFile(store_.path() / "dump", data_.dump);
    reset();
  }

  const fs::path& folder() const { return dir_.path(); }
  fs::path target() const { return dir_.path() / "m.jqm"; }
  fs::path source() const { return dir_.path() / "m.jqm.tmpw"; }
  static std::vector<std::string> knownNames() { return {"m.jqm", "m.jqm.tmpw"}; }

  // Back to the start, rewriting only what a run changed.
  void reset() {
    for (const std::string& name : otherNames(folder(), knownNames())) fs::remove(folder() / name);
    if (!fs::exists(target()) || bytesOf(target()) != data_.old) writeFile(target(), data_.old);
    fs::permissions(target(), kOldMode);
    if (!fs::exists(source())) fs::create_hard_link(store_.path() / "dump", source());
  }

  // Problems with what a run left, none when it is one of the outcomes
  // allowed after the tool ended with `result`: the old or the whole new
  // motion file with the old mode, nothing else beside it, and after a
  // normal end the new file with the dump deleted. A signal's end leaves
  // the dump as it was.
  std::vector<std::string> problems(const ToolResult& result, int signalNumber) const {
    std::vector<std::string> found;
    const std::string state = verdict(bytesOf(target()), data_.old, data_.next);
    if (state != "old" && state != "new") found.push_back("the motion file is " + state);
    if (fs::status(target()).permissions() != kOldMode) found.push_back("the mode changed");
    const std::vector<std::string> others = otherNames(folder(), knownNames());
    if (!others.empty()) found.push_back("left " + joined(others));
    if (!result.output.empty()) found.push_back("printed \"" + result.output + "\"");
    if (result.exitStatus == 0) {
      if (state != "new") found.push_back("ended normally without the new file");
      if (fs::exists(source())) found.push_back("ended normally but kept the dump");
    } else if (result.exitStatus != -signalNumber) {
      found.push_back("exit status " + std::to_string(result.exitStatus));
    } else if (fs::exists(source()) && fs::file_size(source()) != data_.dump.size()) {
      found.push_back("the dump changed");
    }
    return found;
  }

 private:
  const Replacement& data_;
  TempDir store_;
  TempDir dir_;
};

// ---------------------------------------------------------------------------
// 1. Writes that cannot be completed

TEST(FileSizeLimit, DumpThatHitsTheLimitIsRemoved) {
  const std::string motion = motionFile(10, 400, 1);
  const std::string dump = dumpOf(motion);
  ASSERT_GT(dump.size(), 600000u);  // several blocks of output
  const rlim_t size = dump.size();
  for (rlim_t limit : {rlim_t{0}, rlim_t{1}, size / 3, size / 2 + 1, size - 1, size}) {
    for (bool ignored : {true, false}) {
      for (bool earlierDump : {false, true}) {
        SCOPED_TRACE("limit " + std::to_string(limit) + (ignored ? ", SIGXFSZ ignored" : "") +
                     (earlierDump ? ", an earlier dump there" : ""));
        TempDir dir;
        writeFile(dir.path() / "m.jqm", motion);
        if (earlierDump) writeFile(dir.path() / "m.jqm.tmp", "an earlier dump");
        const ToolResult r = runWith({"-r", "m.jqm"}, dir.path(), sizeLimited(limit, ignored));
        if (limit == size) {
          EXPECT_EQ(r.output, "");
          EXPECT_EQ(r.exitStatus, 0);
          EXPECT_EQ(treeOf(dir.path()), described(Contents{{"m.jqm", motion}, {"m.jqm.tmp", dump}}));
        } else {
          // No partial dump that a caller could take for a whole one.
          EXPECT_EQ(r.output, kDumpWriteFailure);
          EXPECT_EQ(r.exitStatus, 1);
          EXPECT_EQ(treeOf(dir.path()), described(Contents{{"m.jqm", motion}}));
        }
      }
    }
  }
}

TEST(FileSizeLimit, MotionFileThatHitsTheLimitKeepsTheOldOne) {
  const Replacement data = replacement(10, 400, 2);
  const rlim_t size = data.next.size();
  for (rlim_t limit : {rlim_t{0}, rlim_t{8}, rlim_t{28}, size / 2, size - 1, size}) {
    for (bool ignored : {true, false}) {
      for (bool hadOld : {true, false}) {
        SCOPED_TRACE("limit " + std::to_string(limit) + (ignored ? ", SIGXFSZ ignored" : "") +
                     (hadOld ? ", an old motion file there" : ", no motion file yet"));
        TempDir dir;
        if (hadOld) {
          writeFile(dir.path() / "m.jqm", data.old);
          fs::permissions(dir.path() / "m.jqm", kOldMode);
        }
        writeFile(dir.path() / "m.jqm.tmpw", data.dump);
        const ToolResult r = runWith({"-w", "m.jqm"}, dir.path(), sizeLimited(limit, ignored));
        Contents expected;
        if (limit == size) {
          EXPECT_EQ(r.output, "");
          EXPECT_EQ(r.exitStatus, 0);
          expected["m.jqm"] = data.next;
        } else {
          EXPECT_EQ(r.output, kCannotWrite);
          EXPECT_EQ(r.exitStatus, 1);
          if (hadOld) expected["m.jqm"] = data.old;
        }
        // No new file left, the dump deleted either way.
        EXPECT_EQ(treeOf(dir.path()), described(expected));
        if (hadOld) {
          EXPECT_EQ(fs::status(dir.path() / "m.jqm").permissions(), kOldMode);
        }
      }
    }
  }
}

// A tmpfs in a mount namespace of this test process's own, so that no mount
// can outlive the process; unmounted when the object goes away.
class SmallFileSystem {
 public:
  SmallFileSystem(const fs::path& at, const std::string& options) : at_(at) {
    static const bool privateMounts =
        ::unshare(CLONE_NEWNS) == 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    fs::create_directory(at_);
    mounted_ = privateMounts && ::mount("tolvak-test", at_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  bool makeReadOnly() {
    return ::mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string why_;
};

TEST(FullFileSystem, NoSpaceNoFileSlotOrReadOnly) {
  const Replacement data = replacement(4, 200, 3);
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  auto pages = [&](const std::string& bytes) { return (bytes.size() + page - 1) / page; };
  auto bytesOf = [&](std::size_t count) { return "size=" + std::to_string(count * page); };
  const Contents motionOnly{{"m.jqm", data.next}};
  const Contents scene{{"m.jqm", data.old}, {"m.jqm.tmpw", data.dump}};
  struct Case {
    std::string what;
    std::string options;
    Contents files;
    bool readOnly;
    std::string flag;
    std::string output;
    int exitStatus;
    Contents after;
  } cases[] = {
      {"-r, the dump does not fit", bytesOf(pages(data.next) + pages(data.dump) / 2), motionOnly,
       false, "-r", kDumpWriteFailure, 1, motionOnly},
      {"-r, no file slot for the dump", "nr_inodes=2", motionOnly, false, "-r", kDumpOpenFailure,
       1, motionOnly},
      {"-r, read-only file system", "size=1m", motionOnly, true, "-r", kDumpOpenFailure, 1,
       motionOnly},
      {"-w, the new motion file does not fit",
       bytesOf(pages(data.old) + pages(data.dump) + pages(data.next) / 2), scene, false, "-w",
       kCannotWrite, 1, {{"m.jqm", data.old}}},
      {"-w, just room for the new motion file beside the old",
       bytesOf(pages(data.old) + pages(data.dump) + pages(data.next)), scene, false, "-w", "", 0,
       {{"m.jqm", data.next}}},
      {"-w, no file slot for the new motion file", "nr_inodes=3", scene, false, "-w",
       kCannotWrite, 1, {{"m.jqm", data.old}}},
      {"-w, read-only file system", "size=1m", scene, true, "-w",
       kCannotWrite + deleteFailure("m.jqm.tmpw"), 1, scene},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what + " (" + c.options + ")");
    TempDir dir;
    SmallFileSystem small(dir.path() / "fs", c.options);
    if (!small.mounted()) {
      GTEST_SKIP() << "cannot mount a tmpfs here: " << small.why();
    }
    const fs::path folder = dir.path() / "fs";
    for (const auto& [name, content] : c.files) writeFile(folder / name, content);
    if (c.readOnly) {
      ASSERT_TRUE(small.makeReadOnly());
    }
    const ToolResult r = runWith({c.flag, "m.jqm"}, folder, {});
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.exitStatus, c.exitStatus);
    EXPECT_EQ(treeOf(folder), described(c.after));
  }
}

// ---------------------------------------------------------------------------
// 2. SIGKILL at random moments of a large "-w"

TEST(Kill, SigkillLeavesTheOldOrTheWholeNewMotionFile) {
  // A motion file of about 10 MB, so a dump of about 20 MB.
  const Replacement data = replacement(50, 2500, 4);
  WriteScene scene(data);

  // Every run starts with nothing waiting to be written back, so that the
  // final flush of the new file takes about as long each time.
  auto settle = [&] {
    scene.reset();
    ::sync();
  };

  // Undisturbed runs first: they must succeed, and the longest of them
  // says how long a conversion takes here.
  Clock::duration duration{};
  for (int run = 0; run < 2; ++run) {
    settle();
    const auto start = Clock::now();
    const ToolResult r = runWith({"-w", "m.jqm"}, scene.folder(), {});
    duration = std::max(duration, Clock::now() - start);
    ASSERT_EQ(r.output, "");
    ASSERT_EQ(r.exitStatus, 0);
    ASSERT_EQ(verdict(bytesOf(scene.target()), data.old, data.next), "new");
  }

  // Kills spread evenly over that time, each at a random point of its
  // share; runs often end sooner, so the last kills may come after the end.
  constexpr int kRounds = 30;
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  for (int round = 0; round < kRounds; ++round) {
    settle();
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
        duration * ((round + within(random)) / kRounds));
    SCOPED_TRACE("round " + std::to_string(round) + ", kill after " +
                 std::to_string(delay.count()) + " us of " +
                 std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(duration).count()) +
                 ", seed " + std::to_string(seed));
    Tool tool({"-w", "m.jqm"}, scene.folder());
    std::this_thread::sleep_for(delay);
    tool.signal(SIGKILL);
    const ToolResult r = tool.finish();
    // Nothing can clean up after SIGKILL: a new file may be left beside the
    // motion file, under the killed process's own name; the motion file
    // itself must be whole.
    const std::string leftover = ".tolvak-" + std::to_string(tool.pid()) + "-";
    for (const std::string& name : otherNames(scene.folder(), WriteScene::knownNames())) {
      EXPECT_EQ(name.substr(0, leftover.size()), leftover) << name;
      EXPECT_EQ(name.substr(name.size() - 4), ".new") << name;
      fs::remove(scene.folder() / name);
    }
    EXPECT_EQ(scene.problems(r, SIGKILL), std::vector<std::string>{});
  }
}

// ---------------------------------------------------------------------------
// 3. Interrupts during "-w"

// Sends `signalNumber` to a "-w" run while its new file is there and holds
// at least `written` bytes. The tool is frozen (SIGSTOP) while the signal
// is sent, so that it surely lands then. False when the moment was missed
// (the conversion outran the polling); the tool then just goes on.
bool signalWhileWriting(Tool& tool, const fs::path& folder, std::uintmax_t written,
                        int signalNumber) {
  if (waitForNewFile(tool, folder, WriteScene::knownNames(), written).empty()) return false;
  tool.signal(SIGSTOP);
  if (!tool.waitUntilStopped()) return false;
  const bool there = !otherNames(folder, WriteScene::knownNames()).empty();
  if (there) tool.signal(signalNumber);
  tool.signal(SIGCONT);
  return there;
}

constexpr int kAttempts = 10;

TEST(Interrupt, SignalWhileWritingRemovesTheNewFile) {
  const Replacement data = replacement(50, 1000, 5);
  WriteScene scene(data);
  // Moments given by how much of the new file is written: its first bytes,
  // a third, and all of it (being flushed, not yet renamed).
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    for (std::size_t written : {std::size_t{1}, data.next.size() / 3, data.next.size()}) {
      SCOPED_TRACE(std::string(strsignal(signalNumber)) + " with " + std::to_string(written) +
                   " of " + std::to_string(data.next.size()) + " bytes written");
      bool caught = false;
      for (int attempt = 0; attempt < kAttempts && !caught; ++attempt) {
        scene.reset();
        Tool tool({"-w", "m.jqm"}, scene.folder());
        caught = signalWhileWriting(tool, scene.folder(), written, signalNumber);
        const ToolResult r = tool.finish();
        if (!caught) continue;
        EXPECT_EQ(r.exitStatus, -signalNumber);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(treeOf(scene.folder()),
                  described(Contents{{"m.jqm", data.old}, {"m.jqm.tmpw", data.dump}}));
        EXPECT_EQ(fs::status(scene.target()).permissions(), kOldMode);
      }
      EXPECT_TRUE(caught) << "no run was caught with its new file there; nothing was tested";
    }
  }
}

TEST(Interrupt, IgnoredSignalLetsTheConversionFinish) {
  const Replacement data = replacement(50, 1000, 6);
  WriteScene scene(data);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signalNumber));
    ChildSetup setup;
    setup.ignoredSignals = {signalNumber};
    bool caught = false;
    for (int attempt = 0; attempt < kAttempts && !caught; ++attempt) {
      scene.reset();
      Tool tool({"-w", "m.jqm"}, scene.folder(), setup);
      caught = signalWhileWriting(tool, scene.folder(), 1, signalNumber);
      const ToolResult r = tool.finish();
      EXPECT_EQ(r.output, "");
      EXPECT_EQ(r.exitStatus, 0);
      EXPECT_EQ(treeOf(scene.folder()), described(Contents{{"m.jqm", data.next}}));
      EXPECT_EQ(fs::status(scene.target()).permissions(), kOldMode);
    }
    EXPECT_TRUE(caught) << "no run was caught with its new file there; nothing was tested";
  }
}

// Runs a traced tool (ChildSetup::traced) from its exec, stopping it at
// every system call entry and exit. At stop number `deliverAt` (from 0) it
// sends `signalNumber` and lets the tool go on untraced; `onStop` sees every
// stop before that. Returns the number of stops passed, or -1 when the tool
// could not be traced.
int traceToStop(Tool& tool, int deliverAt, int signalNumber,
                const std::function<void(int)>& onStop = {}) {
  int status = tool.waitRaw();  // the stop at the exec
  if (!WIFSTOPPED(status)) return -1;
  if (::ptrace(PTRACE_SETOPTIONS, tool.pid(), nullptr,
               PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    return -1;
  }
  int stops = 0;
  int passOn = 0;  // a signal the tool got meanwhile, handed on
  for (;;) {
    ::ptrace(PTRACE_SYSCALL, tool.pid(), nullptr, passOn);
    passOn = 0;
    status = tool.waitRaw();
    if (!WIFSTOPPED(status)) return stops;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      passOn = WSTOPSIG(status);
      continue;
    }
    if (stops == deliverAt) {
      tool.signal(signalNumber);
      ::ptrace(PTRACE_DETACH, tool.pid(), nullptr, 0);
      return stops;
    }
    if (onStop) onStop(stops);
    ++stops;
  }
}

TEST(Interrupt, SignalAtEverySystemCallBoundary) {
  // A small conversion, so that a run has few system calls.
  const Replacement data = replacement(4, 300, 7);
  WriteScene scene(data);
  ChildSetup traced;
  traced.traced = true;

  // The first stop at which the new file exists, in an undisturbed run.
  int firstWithNewFile = -1;
  int stopCount = 0;
  {
    Tool tool({"-w", "m.jqm"}, scene.folder(), traced);
    stopCount = traceToStop(tool, INT_MAX, 0, [&](int stop) {
      if (firstWithNewFile < 0 && !otherNames(scene.folder(), WriteScene::knownNames()).empty()) {
        firstWithNewFile = stop;
      }
    });
    const ToolResult r = tool.finish();
    if (stopCount < 0) GTEST_SKIP() << "cannot trace the tool here: " << r.output;
    ASSERT_EQ(r.output, "");
    ASSERT_EQ(r.exitStatus, 0);
    ASSERT_GE(firstWithNewFile, 0);
  }

  // A signal at each boundary from a few system calls before the new file
  // is made to the end, taking turns among the three signals.
  const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  std::vector<std::string> failures;
  for (int stop = std::max(0, firstWithNewFile - 8); stop < stopCount; ++stop) {
    scene.reset();
    const int signalNumber = kSignals[stop % 3];
    Tool tool({"-w", "m.jqm"}, scene.folder(), traced);
    traceToStop(tool, stop, signalNumber);
    const ToolResult r = tool.finish();
    const std::vector<std::string> found = scene.problems(r, signalNumber);
    if (!found.empty()) {
      failures.push_back(std::string(strsignal(signalNumber)) + " at stop " + std::to_string(stop) +
                         " (the new file appears at stop " + std::to_string(firstWithNewFile) +
                         "): " + joined(found));
    }
  }
  std::string report;
  for (const std::string& failure : failures) report += "\n  " + failure;
  EXPECT_TRUE(failures.empty()) << failures.size() << " of the boundaries tried:" << report;
}

// ---------------------------------------------------------------------------
// 4. Files and paths that cannot be used

// One run in a fresh folder: how the folder is laid out, the arguments, the
// message and exit status, and the folder afterwards as changes to how it
// was before (a name mapped to nothing is gone). Permission bits of what
// stays must not change.
struct Case {
  std::string what;
  std::function<void(const fs::path&)> prepare;
  std::vector<std::string> arguments;
  std::string output;
  int exitStatus;
  std::map<std::string, std::optional<std::string>> changes;
};

void check(const Case& c, const ChildSetup& setup = {}) {
  SCOPED_TRACE(c.what);
  TempDir dir;
  if (setup.user) fs::permissions(dir.path(), fs::perms::all);
  c.prepare(dir.path());
  Tree expected = treeOf(dir.path());
  for (const auto& [name, content] : c.changes) {
    if (content) {
      expected[name] = described(*content);
    } else {
      expected.erase(name);
    }
  }
  const auto modesBefore = modesOf(dir.path());
  const ToolResult r = runWith(c.arguments, dir.path(), setup);
  if (setup.user && r.output == kNotStarted) {
    makeAccessible(dir.path());
    GTEST_SKIP() << "the tool cannot be run as an ordinary user here";
  }
  EXPECT_EQ(r.output, c.output);
  EXPECT_EQ(r.exitStatus, c.exitStatus);
  EXPECT_EQ(treeOf(dir.path()), expected);
  for (const auto& [name, mode] : modesOf(dir.path())) {
    if (modesBefore.count(name) != 0 && !c.changes.count(name)) {
      EXPECT_EQ(mode, modesBefore.at(name)) << name;
    }
  }
  makeAccessible(dir.path());
}

void writeWithMode(const fs::path& file, const std::string& bytes, fs::perms mode) {
  writeFile(file, bytes);
  fs::permissions(file, mode);
}

void makeFifo(const fs::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }

// Reads of this file fail: it is the memory of the process that opens it,
// whose first page is never mapped.
const char* const kFailingReads = "/proc/self/mem";

TEST(UnusableFiles, ReadFlag) {
  const std::string motion = motionFile(2, 3, 8);
  const std::string dump = dumpOf(motion);
  const std::vector<std::string> args{"-r", "m.jqm"};
  auto withMotion = [&](std::function<void(const fs::path&)> more) {
    return [&motion, more](const fs::path& d) {
      writeFile(d / "m.jqm", motion);
      more(d);
    };
  };
  const Case cases[] = {
      {"motion file is a folder",
       [](const fs::path& d) {
         fs::create_directory(d / "m.jqm");
         writeFile(d / "m.jqm" / "inside", "kept");
       },
       args, kOpenFailure, 1, {}},
      {"motion file is a FIFO", [](const fs::path& d) { makeFifo(d / "m.jqm"); }, args,
       kOpenFailure, 1, {}},
      {"motion file is a link to nothing",
       [](const fs::path& d) { fs::create_symlink("missing", d / "m.jqm"); }, args, kOpenFailure,
       1, {}},
      {"reads of the motion file fail",
       [](const fs::path& d) { fs::create_symlink(kFailingReads, d / "m.jqm"); }, args,
       kMotionReadFailure, 1, {}},
      {"motion file is read-only", withMotion([](const fs::path& d) {
         fs::permissions(d / "m.jqm", kReadOnly);
       }),
       args, "", 0, {{"m.jqm.tmp", dump}}},
      {"dump path is a folder", withMotion([](const fs::path& d) {
         fs::create_directory(d / "m.jqm.tmp");
         writeFile(d / "m.jqm.tmp" / "inside", "kept");
       }),
       args, kDumpOpenFailure, 1, {}},
      {"dump is read-only", withMotion([](const fs::path& d) {
         writeWithMode(d / "m.jqm.tmp", "an earlier dump", kReadOnly);
       }),
       args, kDumpOpenFailure, 1, {}},
      {"dump has no permission bits", withMotion([](const fs::path& d) {
         writeWithMode(d / "m.jqm.tmp", "an earlier dump", fs::perms::none);
       }),
       args, kDumpOpenFailure, 1, {}},
      {"dump is a link to a read-only file", withMotion([](const fs::path& d) {
         writeWithMode(d / "earlier", "an earlier dump", kReadOnly);
         fs::create_symlink("earlier", d / "m.jqm.tmp");
       }),
       args, kDumpOpenFailure, 1, {}},
      {"dump is a link to a folder", withMotion([](const fs::path& d) {
         fs::create_directory(d / "sub");
         fs::create_symlink("sub", d / "m.jqm.tmp");
       }),
       args, kDumpOpenFailure, 1, {}},
  };
  for (const Case& c : cases) check(c);
}

TEST(UnusableFiles, WriteFlag) {
  const Replacement data = replacement(2, 3, 9);
  const std::vector<std::string> args{"-w", "m.jqm"};
  auto withDump = [&](std::function<void(const fs::path&)> more) {
    return [&data, more](const fs::path& d) {
      writeFile(d / "m.jqm.tmpw", data.dump);
      more(d);
    };
  };
  auto oldWithMode = [&](fs::perms mode) {
    return withDump([&data, mode](const fs::path& d) { writeWithMode(d / "m.jqm", data.old, mode); });
  };
  const std::map<std::string, std::optional<std::string>> dumpGone{{"m.jqm.tmpw", std::nullopt}};
  const Case cases[] = {
      {"dump is a folder",
       [&](const fs::path& d) {
         writeFile(d / "m.jqm", data.old);
         fs::create_directory(d / "m.jqm.tmpw");
         writeFile(d / "m.jqm.tmpw" / "inside", "kept");
       },
       args, kSourceMissing + deleteFailure("m.jqm.tmpw"), 1, {}},
      {"dump is a FIFO",
       [&](const fs::path& d) {
         writeFile(d / "m.jqm", data.old);
         makeFifo(d / "m.jqm.tmpw");
       },
       args, kSourceMissing, 1, dumpGone},
      {"reads of the dump fail",
       [&](const fs::path& d) {
         writeFile(d / "m.jqm", data.old);
         fs::create_symlink(kFailingReads, d / "m.jqm.tmpw");
       },
       args, kSourceReadFailure, 1, dumpGone},
      {"motion file is a folder", withDump([](const fs::path& d) {
         fs::create_directory(d / "m.jqm");
         writeFile(d / "m.jqm" / "inside", "kept");
       }),
       args, kCannotWrite, 1, dumpGone},
      {"motion file is read-only", oldWithMode(kReadOnly), args, kCannotWrite, 1, dumpGone},
      {"motion file has no permission bits", oldWithMode(fs::perms::none), args, kCannotWrite, 1,
       dumpGone},
      {"motion file is a link to a read-only file", withDump([&data](const fs::path& d) {
         writeWithMode(d / "real.jqm", data.old, kReadOnly);
         fs::create_symlink("real.jqm", d / "m.jqm");
       }),
       args, kCannotWrite, 1, dumpGone},
      {"motion file is a link to a writable file (replaced through the link)",
       withDump([&data](const fs::path& d) {
         writeWithMode(d / "real.jqm", data.old, kOldMode);
         fs::create_symlink("real.jqm", d / "m.jqm");
       }),
       args, "", 0, {{"m.jqm.tmpw", std::nullopt}, {"real.jqm", data.next}}},
      {"motion file is a link to a folder", withDump([](const fs::path& d) {
         fs::create_directory(d / "sub");
         fs::create_symlink("sub", d / "m.jqm");
       }),
       args, kCannotWrite, 1, dumpGone},
      {"motion file is a FIFO", withDump([](const fs::path& d) { makeFifo(d / "m.jqm"); }), args,
       kCannotWrite, 1, dumpGone},
      {"path ends in a slash, naming a folder",
       [&data](const fs::path& d) {
         fs::create_directory(d / "sub");
         writeFile(d / "sub" / ".tmpw", data.dump);
       },
       {"-w", "sub/"}, kCannotWrite, 1, {{"sub/.tmpw", std::nullopt}}},
  };
  for (const Case& c : cases) check(c);
}

// Permission bits that only bind an ordinary user. As root the tool runs
// as "nobody" here.
TEST(UnusableFiles, ForAnOrdinaryUser) {
  const Replacement data = replacement(2, 3, 10);
  ChildSetup setup;
  if (runningAsRoot()) setup.user = 65534;
  const fs::perms everyone = fs::perms::owner_read | fs::perms::owner_write |
                             fs::perms::group_read | fs::perms::group_write |
                             fs::perms::others_read | fs::perms::others_write;
  const fs::perms listAndEnter = fs::perms::owner_read | fs::perms::owner_exec |
                                 fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec;
  const Case cases[] = {
      {"-r, motion file without read permission",
       [&](const fs::path& d) { writeWithMode(d / "m.jqm", data.next, fs::perms::none); },
       {"-r", "m.jqm"}, kOpenFailure, 1, {}},
      {"-w, dump without read permission",
       [&](const fs::path& d) {
         writeWithMode(d / "m.jqm", data.old, everyone);
         writeWithMode(d / "m.jqm.tmpw", data.dump, fs::perms::none);
       },
       {"-w", "m.jqm"}, kSourceMissing, 1, {{"m.jqm.tmpw", std::nullopt}}},
      {"-r, folder without write permission",
       [&](const fs::path& d) {
         writeFile(d / "m.jqm", data.next);
         fs::permissions(d, listAndEnter);
       },
       {"-r", "m.jqm"}, kDumpOpenFailure, 1, {}},
      {"-w, folder without write permission",
       [&](const fs::path& d) {
         writeWithMode(d / "m.jqm", data.old, everyone);
         writeFile(d / "m.jqm.tmpw", data.dump);
         fs::permissions(d, listAndEnter);
       },
       {"-w", "m.jqm"}, kCannotWrite + deleteFailure("m.jqm.tmpw"), 1, {}},
  };
  for (const Case& c : cases) check(c, setup);
}

// A relative path of exactly `length` bytes: nested folders of 100-byte
// names, then a file name.
std::string nestedPath(std::size_t length, const std::string& fileName) {
  std::string path;
  while (path.size() + 101 + fileName.size() <= length) path += std::string(100, 'd') + "/";
  const std::size_t rest = length - path.size() - fileName.size();
  if (rest > 1) {
    path += std::string(rest - 1, 'e') + "/";
  } else {
    path.insert(0, rest, 'f');
  }
  return path + fileName;
}

// Runs the test's own file operations from `folder`, so that they can use
// relative paths as long as the tool's (absolute ones would pass the
// system's limit); the previous working directory comes back afterwards.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& folder) : previous_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~WorkingDirectory() { fs::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
};

TEST(Paths, UnusualPathsConvertBothWays) {
  const std::string motion = motionFile(2, 3, 11);
  const std::string dump = dumpOf(motion);
  const std::string old = "an older motion file";
  struct PathCase {
    std::string what;
    std::string path;
    bool absolute;
  } cases[] = {
      {"spaces", " folder with spaces / name with spaces .jqm", false},
      {"double quotes", "\"quoted\" folder/\"a\" \"b\".jqm", false},
      {"UTF-8", "caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC \xC3\xBC.jqm", false},
      {"raw 0xFF bytes", "raw\xFF/\xFF\xFE name.jqm", false},
      {"tab, newline, backslash, wildcards", "odd\tfolder/new\nline \\ *?.jqm", false},
      {"a name that looks like a flag", "-w", false},
      {"1,000 bytes, relative", nestedPath(1000, "m.jqm"), false},
      {"about 1,000 bytes, absolute", nestedPath(900, "m.jqm"), true},
      {"4,090 bytes, so the dump name just fits the system's limit",
       nestedPath(PATH_MAX - 1 - 5, "m.jqm"), false},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WorkingDirectory here(dir.path());
    const fs::path file = c.absolute ? dir.path() / c.path : fs::path(c.path);
    const std::string argument = file.string();
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    const std::string name = file.filename().string();
    fs::create_directories(folder);
    writeFile(file, motion);

    ToolResult r = runTool({"-r", argument}, dir.path());
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(treeOf(folder), described(Contents{{name, motion}, {name + ".tmp", dump}}));

    fs::rename(folder / (name + ".tmp"), folder / (name + ".tmpw"));
    writeFile(file, old);
    r = runTool({"-w", argument}, dir.path());
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(treeOf(folder), described(Contents{{name, motion}}));

    // Removed from here: TempDir's absolute paths would be too long.
    for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
  }
}

}  // namespace
}  // namespace tolvak::test

#endif  // __linux__
