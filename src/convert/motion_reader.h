// Reading a motion file field by field, each field at its absolute offset,
// with the exact effects that short and odd files have:
//
//  - The reader is good until the first read that meets the end of the
//    file; from then on it is failed, and stays so. Positioning never
//    clears that state, and a failed reader stores nothing.
//  - A 4-byte value is read into a caller's cell, first byte into the least
//    significant place; a value cut by the end keeps the bytes it got and
//    the cell's other bytes as they were.
//  - The tag read takes up to 8 bytes from offset 0 and the name read up to
//    31 bytes, each stopping before a newline (0x0A), which is no failure;
//    NUL and CR bytes are stored like any other byte.
//  - A position before the start of the file (from a negative count) reads
//    like one past its end.
//
// The file is read forward through one block buffer. Offsets only ever
// grow within a conversion, so each byte of the file is read at most once
// and a position inside the buffer costs nothing.
#pragma once

#include <cstdint>
#include <memory>

#include "convert/files.h"

namespace tolvak {

class MotionReader {
 public:
  static constexpr std::size_t kBlockSize = 256 * 1024;

  explicit MotionReader(InputFile& file);

  bool failed() const { return failed_; }
  // A read error other than the end of the file happened.
  bool ioError() const { return ioError_; }

  void seek(std::int64_t offset) {
    if (!failed_) position_ = offset;
  }

  void readValue(std::uint32_t& cell) {
    if (failed_) return;
    const std::int64_t inBuffer = position_ - bufferStart_;
    if (inBuffer >= 0 && inBuffer + 4 <= static_cast<std::int64_t>(bufferLength_)) {
      const unsigned char* b = buffer_.get() + inBuffer;
      cell = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
             std::uint32_t{b[3]} << 24;
      position_ += 4;
      return;
    }
    readValueSlowly(cell);
  }

  // Reads the file tag (position 0 on a fresh reader); returns its length.
  int readTag(unsigned char tag[8]) { return readText(tag, 8); }

  // Reads a name at the current position; returns its length (0 when the
  // reader is failed).
  int readName(unsigned char name[31]) { return readText(name, 31); }

 private:
  // Next byte at the position, advancing; -1 at the end of the file.
  int takeByte();
  // Next byte without advancing; -1 at the end of the file.
  int peekByte();
  bool load();
  void readValueSlowly(std::uint32_t& cell);
  int readText(unsigned char* out, int capacity);

  InputFile& file_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::int64_t bufferStart_ = 0;    // file offset of buffer_[0]
  std::size_t bufferLength_ = 0;    // valid bytes in buffer_
  std::int64_t filePosition_ = 0;   // where the next file read starts
  std::int64_t position_ = 0;       // the reader's position
  bool failed_ = false;
  bool ioError_ = false;
};

}  // namespace tolvak
