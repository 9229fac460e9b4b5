// Files by path, the way the converters need them. All files are binary:
// no byte is ever translated on the way in or out, so Linux and Windows see
// the same bytes. Each class owns one open handle and closes it in its
// destructor. Nothing here buffers: callers hand over large blocks.
//
// Paths are the narrow byte strings the command line gave, of any length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvak {

// A file opened for reading, read forward in blocks.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens an existing regular file for reading. False when it is missing,
  // a folder, or cannot be read.
  bool open(const std::string& path);

  // Size of the file when it was opened.
  std::uint64_t size() const { return size_; }

  // Moves the read position to an absolute offset (may be past the end).
  bool seek(std::uint64_t offset);

  // Reads `capacity` bytes, fewer only where the file ends (or a read
  // error stops it). Returns the count read, 0 at the end of the file, -1
  // on a read error with nothing read.
  std::int64_t read(void* buffer, std::size_t capacity);

  void close();

 private:
  std::intptr_t handle_ = -1;
  std::uint64_t size_ = 0;
};

// A file created or emptied in place and written front to back.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file, or truncates an existing one to zero length. Refuses
  // (false, file untouched) a folder and a file without write permission
  // bits (on Windows: with the read-only attribute), even when the process
  // could override them. A new file gets the ordinary read/write mode.
  bool open(const std::string& path);

  // Writes all bytes. False on any error (full disk, size limit); the
  // first error sticks and later writes do nothing.
  bool write(const void* data, std::size_t size);

  // Closes the file. False when a write or the close itself failed.
  bool close();

 private:
  std::intptr_t handle_ = -1;
  bool failed_ = false;
};

// A new version of a file, written beside it and put in its place in one
// step. Until commit() succeeds the file at the target path is untouched;
// after it the target holds the complete new content. A replacement that
// is not committed (error, early return, SIGINT/SIGTERM/SIGHUP or a console
// interrupt) leaves no partial file behind.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();  // discards an uncommitted replacement
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Checks the target and creates the new file in the target's folder, under
  // a fresh name that never ends in ".tmp" or ".tmpw". False (nothing
  // created) when the target is a folder, exists without write permission
  // bits (on Windows: read-only attribute), or the new file cannot be made.
  bool open(const std::string& targetPath);

  // Writes all bytes. False on any error; the first error sticks.
  bool write(const void* data, std::size_t size);

  // Flushes the new file to stable storage, gives it the old file's
  // permission bits (a brand-new target gets the ordinary read/write mode),
  // and renames it over the target. False on any failure, in which case the
  // new file is removed and the target is left as it was.
  bool commit();

  // Removes the new file without touching the target.
  void discard();

 private:
#ifdef _WIN32
  using NativePath = std::wstring;
#else
  using NativePath = std::string;
#endif

  std::intptr_t handle_ = -1;
  std::intptr_t folder_ = -1;  // POSIX: the target's folder, opened once
  bool failed_ = false;
  NativePath target_;     // POSIX: name within folder_; Windows: full path
  NativePath temporary_;  // the new file, named likewise; empty when none
  std::uint32_t mode_ = 0;  // POSIX: permission bits; Windows: attributes
  bool hadTarget_ = false;
  int slot_ = -1;  // entry in the interrupt clean-up table while pending
};

// Deletes a file. False when it could not be deleted (missing included).
bool removeFile(const std::string& path);

// Process-wide set-up for file writing: a write past a file-size limit must
// fail with an error instead of killing the process (POSIX: ignore SIGXFSZ).
void prepareFileWriting();

}  // namespace tolvak
