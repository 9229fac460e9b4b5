#include "format/motion_file.h"

#include <bit>
#include <limits>

namespace tolvak {

std::int64_t frameBlockSize(std::int32_t objectCount) {
  return FrameBlock::kPosesOffset + std::int64_t{ObjectPose::kSize} * objectCount;
}

std::int64_t nameOffset(std::int64_t objectIndex) {
  return MotionHeader::kSize + ObjectName::kSize * objectIndex;
}

std::int64_t frameOffset(std::int32_t objectCount, std::int64_t frameIndex) {
  // With a negative count every frame lies before the start of the file;
  // saying so directly keeps the arithmetic clear of overflow.
  if (objectCount < 0) return -1;
  return nameOffset(objectCount) + frameIndex * frameBlockSize(objectCount);
}

std::int64_t poseValueOffset(std::int32_t objectCount, std::int64_t frameIndex,
                             std::int64_t objectIndex, int valueIndex) {
  return frameOffset(objectCount, frameIndex) + FrameBlock::kPosesOffset +
         ObjectPose::kSize * objectIndex + ObjectPose::kValuesOffset + 4 * valueIndex;
}

std::int64_t motionFileSize(std::int32_t frameCount, std::int32_t objectCount) {
  const std::int32_t n = objectCount < 0 ? 0 : objectCount;
  const std::int32_t f = frameCount < 0 ? 0 : frameCount;
  const std::int64_t table = nameOffset(n);
  const std::int64_t block = frameBlockSize(n);
  // F * (4 + 80 * N) reaches 2^68 for the largest counts: saturate.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  if (f != 0 && block > (kMax - table) / f) return kMax;
  return table + f * block;
}

std::uint32_t decodeUint32(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
         std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
}

void encodeUint32(std::uint32_t value, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
  bytes[2] = static_cast<unsigned char>(value >> 16);
  bytes[3] = static_cast<unsigned char>(value >> 24);
}

std::int32_t decodeInt32(const unsigned char* bytes) {
  return static_cast<std::int32_t>(decodeUint32(bytes));
}

void encodeInt32(std::int32_t value, unsigned char* bytes) {
  encodeUint32(static_cast<std::uint32_t>(value), bytes);
}

float decodeFloat32(const unsigned char* bytes) {
  return std::bit_cast<float>(decodeUint32(bytes));
}

void encodeFloat32(float value, unsigned char* bytes) {
  encodeUint32(std::bit_cast<std::uint32_t>(value), bytes);
}

}  // namespace tolvak
