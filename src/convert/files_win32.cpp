// Files on Windows, through the Win32 API.
//
// Paths arrive in the ANSI code page, as the command line gave them; they
// are turned into wide paths, and a path too long for the classic 260
// character limit is made absolute and given the "\\?\" prefix, which lifts
// the limit.
//
// The motion file written by "-w" is never rewritten in place: the new
// content goes to a fresh file in the target's folder, which is flushed and
// moved over the target only once it is complete. Until then a console
// interrupt (Ctrl+C, Ctrl+Break, closing the window, logoff, shutdown)
// deletes the fresh file before the process ends.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "convert/files.h"
#include "convert/files_shared.h"

#include <windows.h>

#include <climits>
#include <cstdio>

namespace tolvak {
namespace {

constexpr std::intptr_t kNoHandle = -1;
static_assert(sizeof(HANDLE) <= sizeof(std::intptr_t), "a handle must fit the handle member");

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t handleValue(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

void closeQuietly(std::intptr_t& handle) {
  if (handle != kNoHandle) {
    CloseHandle(handleOf(handle));
    handle = kNoHandle;
  }
}

// ---------------------------------------------------------------------------
// Paths.

// Above this length a path goes in the extended form. A little below
// MAX_PATH, because a folder's path must leave room for a file name in it.
constexpr std::size_t kClassicPathLimit = 240;

bool startsWith(const std::wstring& text, const wchar_t* head) {
  return text.rfind(head, 0) == 0;
}

bool isExtendedOrDevice(const std::wstring& path) {
  return startsWith(path, L"\\\\?\\") || startsWith(path, L"\\\\.\\");
}

// The narrow path in the ANSI code page, widened. Empty when it cannot be
// converted, or holds a NUL byte that would silently shorten it.
std::wstring widen(const std::string& path) {
  if (path.empty() || path.size() > INT_MAX || path.find('\0') != std::string::npos) return {};
  const int size = static_cast<int>(path.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, path.data(), size, wide.data(), length) != length) return {};
  return wide;
}

// The absolute form of a path ("." and ".." resolved, "/" turned into "\").
std::wstring absolutePath(const std::wstring& path) {
  DWORD capacity = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  for (int attempt = 0; attempt < 3 && capacity > 0; ++attempt) {
    std::wstring full(capacity, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), capacity, full.data(), nullptr);
    if (length == 0) break;
    if (length < capacity) {
      full.resize(length);
      return full;
    }
    capacity = length;  // the working folder changed in between
  }
  return {};
}

// An absolute path in the form Win32 accepts at any length.
std::wstring extended(const std::wstring& absolute) {
  if (absolute.size() < kClassicPathLimit || isExtendedOrDevice(absolute)) return absolute;
  if (startsWith(absolute, L"\\\\")) return L"\\\\?\\UNC\\" + absolute.substr(2);
  return L"\\\\?\\" + absolute;
}

// The wide path to hand to Win32 for a narrow path: unchanged when short
// (which keeps names such as NUL working), else absolute and extended.
std::wstring nativePath(const std::string& path) {
  std::wstring wide = widen(path);
  if (wide.empty() || isExtendedOrDevice(wide)) return wide;
  const std::wstring absolute = absolutePath(wide);
  if (absolute.empty() || absolute.size() < kClassicPathLimit) return wide;
  return extended(absolute);
}

// When `path` is a symbolic link (or another name surrogate), the path of
// the file it leads to, so that the file is replaced rather than the link.
// A link that leads nowhere yet is replaced itself.
std::wstring followLinks(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return path;
  std::wstring final(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length >= final.size()) {
    final.resize(length + 1);
    length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  CloseHandle(file);
  if (length == 0 || length >= final.size()) return path;
  final.resize(length);
  return final;  // already in the extended form
}

// ---------------------------------------------------------------------------

bool writeAll(HANDLE file, const void* data, std::size_t size) {
  return files_shared::writeFully(data, size, [file](const char* from, std::size_t count) {
    DWORD written = 0;
    if (!WriteFile(file, from, static_cast<DWORD>(count), &written, nullptr)) return std::int64_t{-1};
    return static_cast<std::int64_t>(written);
  });
}

// The write of both writable classes: once a write has failed (or there was
// no file to write), later writes do nothing and report the failure again.
bool writeSticky(std::intptr_t handle, bool& failed, const void* data, std::size_t size) {
  failed = failed || handle == kNoHandle || !writeAll(handleOf(handle), data, size);
  return !failed;
}

// ---------------------------------------------------------------------------
// Clean-up on console interrupts.
//
// The console control handler runs on a thread of its own. Pending
// replacements are listed in a small table guarded by a lock that the
// handler takes too; it deletes each listed file and returns FALSE, so that
// the next handler (by default: the one that ends the process) acts as it
// would have. The fresh file is open with FILE_SHARE_DELETE, so deleting it
// works while this process still writes to it.

constexpr int kSlotCount = 4;
SRWLOCK cleanupLock = SRWLOCK_INIT;
const wchar_t* cleanupPaths[kSlotCount] = {};
int armedSlots = 0;

BOOL WINAPI removePendingOnInterrupt(DWORD) {
  AcquireSRWLockExclusive(&cleanupLock);
  for (const wchar_t*& path : cleanupPaths) {
    if (path != nullptr) {
      DeleteFileW(path);
      path = nullptr;
    }
  }
  ReleaseSRWLockExclusive(&cleanupLock);
  return FALSE;
}

// Returns the slot index, or -1 when every slot is taken. `path` must stay
// valid until the slot is disarmed. The caller holds cleanupLock, from
// before the file is created: an interrupt in between then waits for the
// slot and finds the file.
int armCleanupLocked(const wchar_t* path) {
  int index = -1;
  for (int i = 0; i < kSlotCount && index < 0; ++i) {
    if (cleanupPaths[i] == nullptr) index = i;
  }
  if (index >= 0) {
    if (armedSlots++ == 0) SetConsoleCtrlHandler(removePendingOnInterrupt, TRUE);
    cleanupPaths[index] = path;
  }
  return index;
}

void disarmCleanup(int& index) {
  if (index < 0) return;
  AcquireSRWLockExclusive(&cleanupLock);
  cleanupPaths[index] = nullptr;
  if (--armedSlots == 0) SetConsoleCtrlHandler(removePendingOnInterrupt, FALSE);
  ReleaseSRWLockExclusive(&cleanupLock);
  index = -1;
}

// A name that only this process uses: a fixed prefix, the process id and a
// 64-bit value mixed from the clocks, a counter and an address. Uniqueness
// is guaranteed by CREATE_NEW, not by the value; the value just makes
// retries rare. The name ends in ".new", so it can never be the path
// followed by ".tmp" or ".tmpw".
std::wstring freshName() {
  static std::uint64_t counter = 0;
  LARGE_INTEGER ticks{};
  QueryPerformanceCounter(&ticks);
  const std::uint64_t x = files_shared::scrambled(
      static_cast<std::uint64_t>(ticks.QuadPart) * 1000000007u + GetTickCount64() +
      (++counter << 40) + reinterpret_cast<std::uintptr_t>(&counter));
  wchar_t name[64];
  std::swprintf(name, 64, L".tolvak-%lu-%016llx.new", static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned long long>(x));
  return name;
}

// Moves the finished file over the target. Virus scanners and indexers
// briefly open new files without sharing; a few retries ride that out.
bool moveOver(const std::wstring& from, const std::wstring& to) {
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    if (attempt >= 10) return false;
    if (error == ERROR_ACCESS_DENIED) {
      // Also the answer when the target has become a folder or read-only;
      // waiting would not change that.
      const DWORD attributes = GetFileAttributesW(to.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        return false;
      }
    } else if (error != ERROR_SHARING_VIOLATION) {
      return false;
    }
    Sleep(50);
  }
}

// Attributes a replacement takes over from the file it replaces. Read-only
// targets are refused, and a new file is marked for archiving anyway.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

// ---------------------------------------------------------------------------

InputFile::~InputFile() { close(); }

bool InputFile::open(const std::string& path) {
  close();
  const std::wstring wide = nativePath(path);
  if (wide.empty()) return false;
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = handleValue(file);
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(file, &size)) {
    close();
    return false;
  }
  size_ = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool InputFile::seek(std::uint64_t offset) {
  if (handle_ == kNoHandle || offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handleOf(handle_), position, nullptr, FILE_BEGIN) != 0;
}

std::int64_t InputFile::read(void* buffer, std::size_t capacity) {
  if (handle_ == kNoHandle) return -1;
  HANDLE file = handleOf(handle_);
  return files_shared::readFully(buffer, capacity, [file](char* into, std::size_t count) {
    DWORD got = 0;
    if (!ReadFile(file, into, static_cast<DWORD>(count), &got, nullptr)) return std::int64_t{-1};
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
  const std::wstring wide = nativePath(path);
  if (wide.empty()) return false;
  // Windows refuses to write a read-only file even for an administrator, but
  // the check is made here too, so that it holds wherever the attribute is
  // only advisory (as with some network and emulated file systems).
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  // OPEN_ALWAYS and an explicit truncation rather than CREATE_ALWAYS, which
  // would reset the file's attributes and fail on hidden files.
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file) == FILE_TYPE_DISK && !SetEndOfFile(file)) {
    CloseHandle(file);
    return false;
  }
  handle_ = handleValue(file);
  return true;
}

bool OutputFile::write(const void* data, std::size_t size) {
  return writeSticky(handle_, failed_, data, size);
}

bool OutputFile::close() {
  if (handle_ != kNoHandle) {
    if (!CloseHandle(handleOf(handle_))) failed_ = true;
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

  const std::wstring wide = widen(targetPath);
  if (wide.empty() || startsWith(wide, L"\\\\.\\")) return false;
  std::wstring absolute = absolutePath(wide);
  // A device name (NUL, CON...) comes back in the device form: it is not a
  // file that can be replaced.
  if (absolute.empty() || startsWith(absolute, L"\\\\.\\")) return false;
  absolute = followLinks(extended(absolute));

  const std::size_t separator = absolute.find_last_of(L"\\/");
  if (separator == std::wstring::npos || separator + 1 == absolute.size()) return false;
  const std::wstring folder = absolute.substr(0, separator);

  const DWORD attributes = GetFileAttributesW(absolute.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) return false;
    hadTarget_ = true;
    mode_ = attributes;
  } else {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return false;
  }

  HANDLE file = INVALID_HANDLE_VALUE;
  AcquireSRWLockExclusive(&cleanupLock);
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary_ = extended(folder + L"\\" + freshName());
    file = CreateFileW(temporary_.c_str(), GENERIC_WRITE | DELETE,
                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    ReleaseSRWLockExclusive(&cleanupLock);
    temporary_.clear();
    return false;
  }
  handle_ = handleValue(file);
  slot_ = armCleanupLocked(temporary_.c_str());
  ReleaseSRWLockExclusive(&cleanupLock);
  target_ = extended(absolute);
  if (slot_ < 0) {
    discard();
    return false;
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
  HANDLE file = handleOf(handle_);
  const DWORD kept = hadTarget_ ? (mode_ & kKeptAttributes) : 0;
  if (kept != 0) {
    // Hidden and system files stay so. Losing such a mark loses no data,
    // so a file system that cannot set it does not stop the commit.
    FILE_BASIC_INFO info{};
    info.FileAttributes = kept | FILE_ATTRIBUTE_ARCHIVE;
    SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info);
  }
  bool ok = FlushFileBuffers(file) != 0;
  handle_ = kNoHandle;
  ok = CloseHandle(file) != 0 && ok;
  ok = ok && moveOver(temporary_, target_);
  if (!ok) {
    discard();
    return false;
  }
  disarmCleanup(slot_);
  temporary_.clear();
  return true;
}

void ReplacementFile::discard() {
  closeQuietly(handle_);
  if (!temporary_.empty()) {
    DeleteFileW(temporary_.c_str());
  }
  disarmCleanup(slot_);
  temporary_.clear();
}

// ---------------------------------------------------------------------------

bool removeFile(const std::string& path) {
  const std::wstring wide = nativePath(path);
  return !wide.empty() && DeleteFileW(wide.c_str()) != 0;
}

void prepareFileWriting() {}

}  // namespace tolvak
