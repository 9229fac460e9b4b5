// One block buffer in front of an output file, so that the converters can
// produce their output in small pieces and the file sees large writes.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace tolvak {

// File is any type with `bool write(const void*, std::size_t)`.
template <class File>
class OutputBuffer {
 public:
  static constexpr std::size_t kCapacity = 256 * 1024;

  explicit OutputBuffer(File& file) : file_(file), data_(new char[kCapacity]) {}
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // Room for at least `size` bytes (size <= kCapacity) at the returned
  // pointer; hand the end of what was written to advance().
  char* reserve(std::size_t size) {
    if (kCapacity - used_ < size) flush();
    return data_.get() + used_;
  }
  void advance(char* end) { used_ = static_cast<std::size_t>(end - data_.get()); }

  void append(std::string_view text) {
    if (text.size() > kCapacity) {
      flush();
      write(text.data(), text.size());
      return;
    }
    char* out = reserve(text.size());
    std::memcpy(out, text.data(), text.size());
    advance(out + text.size());
  }

  void append(const void* bytes, std::size_t size) {
    append(std::string_view(static_cast<const char*>(bytes), size));
  }

  // Hands everything buffered to the file. False once any write failed.
  bool flush() {
    if (used_ != 0) write(data_.get(), used_);
    used_ = 0;
    return !failed_;
  }

  bool failed() const { return failed_; }

 private:
  void write(const char* bytes, std::size_t size) {
    if (!failed_ && !file_.write(bytes, size)) failed_ = true;
  }

  File& file_;
  std::unique_ptr<char[]> data_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

}  // namespace tolvak
