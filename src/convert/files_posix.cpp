// Files on POSIX systems, with plain system calls and 64-bit offsets.
//
// The motion file written by "-w" is never rewritten in place: the new
// content goes to a fresh file in the target's folder, which is flushed and
// renamed over the target only once it is complete. Until then an interrupt
// (SIGINT, SIGTERM, SIGHUP) removes the fresh file before the process ends.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "convert/files.h"
#include "convert/files_shared.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace tolvak {
namespace {

constexpr int kNoHandle = -1;

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

void closeQuietly(std::intptr_t& handle) {
  if (handle != kNoHandle) {
    ::close(fdOf(handle));
    handle = kNoHandle;
  }
}

bool writeAll(int fd, const void* data, std::size_t size) {
  return files_shared::writeFully(data, size, [fd](const char* from, std::size_t count) {
    ssize_t written;
    do {
      written = ::write(fd, from, count);
    } while (written < 0 && errno == EINTR);
    return static_cast<std::int64_t>(written);
  });
}

bool hasWriteBits(const struct stat& st) { return (st.st_mode & 0222) != 0; }

// The write of both writable classes: once a write has failed (or there was
// no file to write), later writes do nothing and report the failure again.
bool writeSticky(std::intptr_t handle, bool& failed, const void* data, std::size_t size) {
  failed = failed || handle == kNoHandle || !writeAll(fdOf(handle), data, size);
  return !failed;
}

// ---------------------------------------------------------------------------
// Clean-up on interrupts.
//
// A pending replacement is recorded in a slot: its folder's descriptor and
// the fresh file's name within it. Everything the handler reads is set up
// before the slot is armed, and the handler only calls unlinkat, signal and
// raise, which are async-signal-safe. The slot also remembers the process
// that armed it, so that a child forked meanwhile never deletes its parent's
// file. This code assumes one thread, as the tool has.

constexpr int kSlotCount = 4;
constexpr std::size_t kNameCapacity = 64;  // fresh names are about 40 bytes
constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kCaughtCount = sizeof(kCaughtSignals) / sizeof(kCaughtSignals[0]);

struct CleanupSlot {
  volatile std::sig_atomic_t armed;
  pid_t owner;
  int folder;
  char name[kNameCapacity];
};

CleanupSlot cleanupSlots[kSlotCount];
int armedSlots = 0;
struct sigaction previousActions[kCaughtCount];
bool handlerInstalled[kCaughtCount];

extern "C" void removePendingAndDie(int signalNumber) {
  const int savedErrno = errno;
  const pid_t self = ::getpid();
  for (CleanupSlot& slot : cleanupSlots) {
    if (slot.armed && slot.owner == self) {
      ::unlinkat(slot.folder, slot.name, 0);
      slot.armed = 0;
    }
  }
  // End the process the way the signal would have: with the default action
  // restored, the raised signal is delivered as soon as this handler returns
  // (it is blocked while the handler runs).
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
  errno = savedErrno;
}

void installHandlers() {
  for (int i = 0; i < kCaughtCount; ++i) {
    handlerInstalled[i] = false;
    struct sigaction current {};
    if (::sigaction(kCaughtSignals[i], nullptr, &current) != 0) continue;
    // A signal the process was told to ignore (nohup, a background job)
    // stays ignored: catching it would turn it into a way to end the run.
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = removePendingAndDie;
    sigemptyset(&action.sa_mask);
    for (int other : kCaughtSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = 0;
    if (::sigaction(kCaughtSignals[i], &action, &previousActions[i]) == 0) {
      handlerInstalled[i] = true;
    }
  }
}

void restoreHandlers() {
  for (int i = 0; i < kCaughtCount; ++i) {
    if (handlerInstalled[i]) {
      ::sigaction(kCaughtSignals[i], &previousActions[i], nullptr);
      handlerInstalled[i] = false;
    }
  }
}

// Returns the slot index, or -1 when every slot is taken.
int armCleanup(int folder, const std::string& name) {
  if (name.size() >= kNameCapacity) return -1;
  for (int i = 0; i < kSlotCount; ++i) {
    CleanupSlot& slot = cleanupSlots[i];
    if (slot.armed) continue;
    slot.owner = ::getpid();
    slot.folder = folder;
    name.copy(slot.name, name.size());
    slot.name[name.size()] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (armedSlots++ == 0) installHandlers();
    slot.armed = 1;
    return i;
  }
  return -1;
}

void disarmCleanup(int& index) {
  if (index < 0) return;
  cleanupSlots[index].armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (--armedSlots == 0) restoreHandlers();
  index = -1;
}

// ---------------------------------------------------------------------------
// Naming and locating the replacement.

// A name that only this process uses: a fixed prefix, the process id and a
// 64-bit value mixed from the clock, a counter and an address. Uniqueness is
// guaranteed by O_EXCL, not by the value; the value just makes retries rare.
// The name ends in ".new", so it can never be the path followed by ".tmp" or
// ".tmpw", and its length (at most about 40 bytes) never nears NAME_MAX.
std::string freshName() {
  static std::uint64_t counter = 0;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::uint64_t x = files_shared::scrambled(
      static_cast<std::uint64_t>(now.tv_sec) * 1000000007u + static_cast<std::uint64_t>(now.tv_nsec) +
      (++counter << 40) + reinterpret_cast<std::uintptr_t>(&counter));
  char name[kNameCapacity];
  std::snprintf(name, sizeof name, ".tolvak-%ld-%016llx.new", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(x));
  return name;
}

// Follows symbolic links from `path` until it names no link (an existing
// file, a folder, or nothing yet), so that writing through a link replaces
// the file it points to rather than the link. A relative link target is
// taken from the folder that holds the link, as the kernel does. Resolving
// by text keeps the folder spelling of the caller and works for links that
// point to a file not created yet. False on a link loop or unreadable link.
bool followLinks(std::string& path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t length;
    while ((length = ::readlink(path.c_str(), target.data(), target.size())) >= 0 &&
           static_cast<std::size_t>(length) == target.size()) {
      target.resize(target.size() * 2);  // the link grew since lstat
    }
    if (length <= 0) return false;
    target.resize(static_cast<std::size_t>(length));
    if (target.front() == '/') {
      path = target;
    } else {
      const std::size_t slash = path.rfind('/');
      path = slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
    }
  }
  errno = ELOOP;
  return false;
}

// Splits a path into its folder and its last component. False when there is
// no last component to replace (empty, or ending in a slash).
bool splitPath(const std::string& path, std::string& folder, std::string& name) {
  if (path.empty() || path.back() == '/') return false;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
  return name != "." && name != "..";
}

int openFolder(const std::string& folder) {
  int fd;
  do {
    fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
#ifdef O_PATH
  // A folder we may write to but not list still takes new files; it only
  // cannot be flushed through such a descriptor.
  if (fd < 0 && errno == EACCES) fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
  return fd;
}

}  // namespace

// ---------------------------------------------------------------------------

InputFile::~InputFile() { close(); }

bool InputFile::open(const std::string& path) {
  close();
  // O_NONBLOCK keeps a FIFO at the path from stalling the open; only regular
  // files are accepted, and for those the flag changes nothing.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  handle_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close();
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  size_ = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool InputFile::seek(std::uint64_t offset) {
  if (handle_ == kNoHandle || offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  const off_t target = static_cast<off_t>(offset);
  return ::lseek(fdOf(handle_), target, SEEK_SET) == target;
}

std::int64_t InputFile::read(void* buffer, std::size_t capacity) {
  if (handle_ == kNoHandle) return -1;
  const int fd = fdOf(handle_);
  return files_shared::readFully(buffer, capacity, [fd](char* into, std::size_t count) {
    ssize_t got;
    do {
      got = ::read(fd, into, count);
    } while (got < 0 && errno == EINTR);
    return static_cast<std::int64_t>(got);
  });
}

void InputFile::close() {
  closeQuietly(handle_);
  size_ = 0;
}

// ---------------------------------------------------------------------------

OutputFile::~OutputFile() { close(); }

bool OutputFile::open(const std::string& path) {
  close();
  failed_ = false;
  const char* name = path.c_str();
  int fd = -1;
  // First try to create the file; only a file that was already there is
  // checked for write bits and emptied, so an existing read-only file is
  // refused before a single byte of it changes, and a file we just created
  // is taken whatever mode the umask gave it.
  for (;;) {
    fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) break;
    if (errno == EINTR) continue;
    if (errno != EEXIST) return false;

    fd = ::open(name, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      struct stat st {};
      if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || !hasWriteBits(st) ||
          (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return false;
      }
      break;
    }
    if (errno == EINTR) continue;
    if (errno != ENOENT) return false;
    // The name exists but leads nowhere: a link to a missing file (or the
    // file went away in between). Create what the link points to, as an
    // ordinary create would.
    fd = ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno == EINTR) continue;
    if (fd < 0) return false;
    break;
  }
  handle_ = fd;
  return true;
}

bool OutputFile::write(const void* data, std::size_t size) {
  return writeSticky(handle_, failed_, data, size);
}

bool OutputFile::close() {
  if (handle_ != kNoHandle) {
    // Some file systems report a failed write only when the file is closed.
    if (::close(fdOf(handle_)) != 0) failed_ = true;
    handle_ = kNoHandle;
  }
  return !failed_;
}

// ---------------------------------------------------------------------------

ReplacementFile::~ReplacementFile() { discard(); }

bool ReplacementFile::open(const std::string& targetPath) {
  discard();
  failed_ = false;
  hadTarget_ = false;

  std::string resolved = targetPath;
  std::string folderPath;
  if (!followLinks(resolved) || !splitPath(resolved, folderPath, target_)) return false;

  const int folder = openFolder(folderPath);
  if (folder < 0) return false;
  folder_ = folder;

  struct stat st {};
  if (::fstatat(folder, target_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // Only a regular file is replaced: renaming over a device or a FIFO
    // would swap it for a plain file, and a link here means the link chain
    // changed under us. The target must also be writable in place, with its
    // permission bits (which bind root too) and for whoever runs the tool.
    if (!S_ISREG(st.st_mode) || !hasWriteBits(st) ||
        ::faccessat(folder, target_.c_str(), W_OK, AT_EACCESS) != 0) {
      discard();
      return false;
    }
    hadTarget_ = true;
    mode_ = static_cast<std::uint32_t>(st.st_mode & 07777);
  } else if (errno != ENOENT) {
    discard();
    return false;
  }

  // From the moment the new file exists until it is recorded for the
  // interrupt handler, an interrupt must wait: otherwise it could end the
  // process with the file left behind. Blocked signals are delivered when
  // the mask is restored, and the handler then finds the file.
  sigset_t interrupts;
  sigset_t previousMask;
  sigemptyset(&interrupts);
  for (int signalNumber : kCaughtSignals) sigaddset(&interrupts, signalNumber);
  ::sigprocmask(SIG_BLOCK, &interrupts, &previousMask);

  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary_ = freshName();
    // Mode 0666 through the umask is the ordinary mode of a new file; an
    // existing target's own mode is applied at commit.
    fd = ::openat(folder, temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                  0666);
    if (fd < 0 && errno != EEXIST && errno != EINTR) break;
  }
  if (fd < 0) {
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    temporary_.clear();
    discard();
    return false;
  }
  handle_ = fd;

  slot_ = armCleanup(folder, temporary_);
  ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  if (slot_ < 0) {
    discard();
    return false;
  }
  if (hadTarget_) {
    // Keep the owner and group where we may; an ordinary user usually may
    // not, and the file then belongs to whoever wrote it, as with any save.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
      // deliberately ignored
    }
  }
  return true;
}

bool ReplacementFile::write(const void* data, std::size_t size) {
  return writeSticky(handle_, failed_, data, size);
}

bool ReplacementFile::commit() {
  if (handle_ == kNoHandle || failed_) {
    discard();
    return false;
  }
  const int fd = fdOf(handle_);
  // The mode goes on before the flush so that the flush covers it too; the
  // fchown of open() may have cleared set-id bits, which this puts back.
  bool ok = !hadTarget_ || ::fchmod(fd, static_cast<mode_t>(mode_)) == 0;
  ok = ok && ::fsync(fd) == 0;
  handle_ = kNoHandle;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::renameat(fdOf(folder_), temporary_.c_str(), fdOf(folder_), target_.c_str()) == 0;
  if (!ok) {
    discard();
    return false;
  }
  disarmCleanup(slot_);
  temporary_.clear();
  // Make the rename itself durable. The target has been replaced by now and
  // that cannot be undone, so a folder that cannot be flushed (some file
  // systems refuse) does not turn the commit into a failure.
  ::fsync(fdOf(folder_));
  closeQuietly(folder_);
  return true;
}

void ReplacementFile::discard() {
  closeQuietly(handle_);
  if (!temporary_.empty()) {
    ::unlinkat(fdOf(folder_), temporary_.c_str(), 0);
    temporary_.clear();
  }
  disarmCleanup(slot_);
  closeQuietly(folder_);
}

// ---------------------------------------------------------------------------

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

void prepareFileWriting() { ::signal(SIGXFSZ, SIG_IGN); }

}  // namespace tolvak
