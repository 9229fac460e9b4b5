#include "convert/motion_reader.h"

namespace tolvak {

MotionReader::MotionReader(InputFile& file) : file_(file), buffer_(new unsigned char[kBlockSize]) {}

// Makes the byte at position_ available in the buffer. False at the end of
// the file (or before its start).
bool MotionReader::load() {
  const std::int64_t inBuffer = position_ - bufferStart_;
  if (inBuffer >= 0 && inBuffer < static_cast<std::int64_t>(bufferLength_)) return true;
  if (position_ < 0) return false;
  if (position_ != filePosition_ && !file_.seek(static_cast<std::uint64_t>(position_))) {
    ioError_ = true;
    return false;
  }
  bufferStart_ = position_;
  // InputFile::read fills the block unless the file ends first.
  const std::int64_t got = file_.read(buffer_.get(), kBlockSize);
  if (got < 0) ioError_ = true;
  bufferLength_ = got > 0 ? static_cast<std::size_t>(got) : 0;
  filePosition_ = bufferStart_ + static_cast<std::int64_t>(bufferLength_);
  return bufferLength_ != 0;
}

int MotionReader::peekByte() {
  if (!load()) return -1;
  return buffer_[static_cast<std::size_t>(position_ - bufferStart_)];
}

int MotionReader::takeByte() {
  const int byte = peekByte();
  if (byte >= 0) ++position_;
  return byte;
}

void MotionReader::readValueSlowly(std::uint32_t& cell) {
  for (int i = 0; i < 4; ++i) {
    const int byte = takeByte();
    if (byte < 0) {
      failed_ = true;
      return;
    }
    const int shift = 8 * i;
    cell = (cell & ~(std::uint32_t{0xFF} << shift)) | static_cast<std::uint32_t>(byte) << shift;
  }
}

int MotionReader::readText(unsigned char* out, int capacity) {
  if (failed_) return 0;
  int length = 0;
  while (length < capacity) {
    const int byte = peekByte();
    if (byte < 0) {
      failed_ = true;
      break;
    }
    if (byte == '\n') break;
    out[length++] = static_cast<unsigned char>(byte);
    ++position_;
  }
  return length;
}

}  // namespace tolvak
