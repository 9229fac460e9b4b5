#include "convert/line_reader.h"

#include <cstring>

namespace tolvak {
namespace {

constexpr std::size_t kInitialCapacity = 1024 * 1024;
constexpr char kEndOfInput = 0x1A;

}  // namespace

LineReader::LineReader(InputFile& file)
    : file_(file), buffer_(new char[kInitialCapacity]), capacity_(kInitialCapacity) {}

// Drops the CRs of [begin, end) in place and returns what is left.
std::string_view LineReader::takeLine(char* begin, char* end) {
  char* out = static_cast<char*>(std::memchr(begin, '\r', static_cast<std::size_t>(end - begin)));
  if (out != nullptr) {
    for (char* in = out; in != end; ++in) {
      if (*in != '\r') *out++ = *in;
    }
    end = out;
  }
  return {begin, static_cast<std::size_t>(end - begin)};
}

bool LineReader::next() {
  for (;;) {
    char* const data = buffer_.get();
    if (begin_ != end_) {
      char* const first = data + begin_;
      char* const last = data + end_;
      char* const lineFeed = static_cast<char*>(std::memchr(first, '\n', end_ - begin_));
      if (lineFeed != nullptr) {
        begin_ = static_cast<std::size_t>(lineFeed + 1 - data);
        line_ = takeLine(first, lineFeed);
        return true;
      }
      if (atEnd_) {
        // The last line has no LF; it is a line only if something is left
        // of it once its CRs are dropped.
        begin_ = end_;
        const std::string_view rest = takeLine(first, last);
        if (rest.empty()) return false;
        line_ = rest;
        return true;
      }
    }
    if (atEnd_ || !refill()) return false;
  }
}

// Reads more of the file behind the unread bytes. False when nothing more
// could be read.
bool LineReader::refill() {
  // The buffer is about to be moved or overwritten: keep the last line
  // readable, as the next read may find no line after all.
  if (line_.data() != held_.data()) {
    held_.assign(line_);
    line_ = held_;
  }
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (begin_ != 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  } else if (end_ == capacity_) {
    // One line fills the whole buffer: make room for the rest of it.
    std::unique_ptr<char[]> larger(new char[2 * capacity_]);
    std::memcpy(larger.get(), buffer_.get(), end_);
    buffer_ = std::move(larger);
    capacity_ *= 2;
  }
  const std::int64_t got = file_.read(buffer_.get() + end_, capacity_ - end_);
  if (got <= 0) {
    ioError_ = got < 0;
    atEnd_ = true;
    return begin_ != end_;
  }
  char* const fresh = buffer_.get() + end_;
  end_ += static_cast<std::size_t>(got);
  if (void* stop = std::memchr(fresh, kEndOfInput, static_cast<std::size_t>(got))) {
    end_ = static_cast<std::size_t>(static_cast<char*>(stop) - buffer_.get());
    atEnd_ = true;
  }
  return true;
}

}  // namespace tolvak
