// The parts of the file layer that do not depend on the platform. Included
// only by files_posix.cpp and files_win32.cpp, which supply the system calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvak::files_shared {

// The most one system call moves: Linux stops short of 2 GiB, and Win32
// counts bytes in 32 bits.
constexpr std::size_t kMaxBlock = std::size_t{1} << 30;

inline std::size_t blockOf(std::size_t left) { return left < kMaxBlock ? left : kMaxBlock; }

// Fills `buffer` unless the file ends first, so that a short count means the
// end was reached. `readOnce(into, count)` reads at most `count` bytes and
// returns how many it read, 0 at the end, -1 on an error (retrying
// interrupted calls itself). Bytes read before an error are handed over;
// the error shows on the next call.
template <class ReadOnce>
std::int64_t readFully(void* buffer, std::size_t capacity, ReadOnce readOnce) {
  char* next = static_cast<char*>(buffer);
  std::size_t total = 0;
  while (total < capacity) {
    const std::int64_t got = readOnce(next + total, blockOf(capacity - total));
    if (got < 0) return total > 0 ? static_cast<std::int64_t>(total) : -1;
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(total);
}

// Writes every byte, resuming after partial writes. `writeOnce(from, count)`
// writes at most `count` bytes and returns how many it wrote, or -1 on an
// error (retrying interrupted calls itself). A call that writes nothing
// without an error (a full device may do that) counts as a failure, so the
// loop always ends.
template <class WriteOnce>
bool writeFully(const void* data, std::size_t size, WriteOnce writeOnce) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const std::int64_t written = writeOnce(next, blockOf(size));
    if (written <= 0) return false;
    next += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Spreads the bits of `seed` over the whole value (the splitmix64
// finaliser), so that seeds that differ little give unrelated file names.
inline std::uint64_t scrambled(std::uint64_t seed) {
  std::uint64_t x = seed + 0x9e3779b97f4a7c15u;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

}  // namespace tolvak::files_shared
