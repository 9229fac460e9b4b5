// Reading a text dump line by line, the way text mode reads on the
// platforms the dumps come from: every CR byte is dropped wherever it
// stands, LF ends a line, and the first 0x1A byte ends the input as if the
// file ended there. A last line without an LF is a line all the same.
//
// Lines of any length are read whole. The file is read forward through one
// buffer, which only grows to hold a line longer than itself.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "convert/files.h"

namespace tolvak {

class LineReader {
 public:
  explicit LineReader(InputFile& file);

  // Reads the next line. False when no line is left; line() then keeps what
  // it held.
  bool next();

  // The line read last, without its LF and CRs.
  std::string_view line() const { return line_; }

  // Makes line() empty, as if an empty line had been read.
  void clearLine() { line_ = {}; }

  // A read error other than the end of the file happened.
  bool ioError() const { return ioError_; }

 private:
  bool refill();
  std::string_view takeLine(char* begin, char* end);

  InputFile& file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t begin_ = 0;  // first unread byte
  std::size_t end_ = 0;    // end of the bytes read so far
  bool atEnd_ = false;     // the file (or a 0x1A byte) has ended the input
  bool ioError_ = false;
  std::string_view line_;
  std::string held_;       // the last line, when the buffer must be reused
};

}  // namespace tolvak
