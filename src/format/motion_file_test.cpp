#include "format/motion_file.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

namespace tolvak {
namespace {

TEST(MotionFileLayout, WorkedExampleTwoObjectsThreeFrames) {
  EXPECT_EQ(nameOffset(0), 28);
  EXPECT_EQ(nameOffset(1), 60);
  EXPECT_EQ(frameOffset(2, 0), 92);
  EXPECT_EQ(frameOffset(2, 1), 256);
  EXPECT_EQ(frameOffset(2, 2), 420);
  // Frame 1, object 1: name copy at 340, pose value 0 at 372.
  EXPECT_EQ(poseValueOffset(2, 1, 1, 0) - ObjectPose::kValuesOffset, 340);
  EXPECT_EQ(poseValueOffset(2, 1, 1, 0), 372);
  EXPECT_EQ(poseValueOffset(2, 1, 1, 11), 372 + 44);
  EXPECT_EQ(motionFileSize(3, 2), 584);
}

TEST(MotionFileLayout, SizesOfSmallShapes) {
  struct Case {
    std::int32_t frames, objects;
    std::int64_t size;
  } cases[] = {
      {0, 0, 28}, {3, 0, 40}, {0, 2, 92}, {1, 1, 28 + 32 + 84},
      // A negative count runs its loops no times, so it counts as zero.
      {-1, 5, 28 + 160}, {4, -3, 28 + 16}, {-7, -7, 28},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(motionFileSize(c.frames, c.objects), c.size) << c.frames << " " << c.objects;
  }
}

TEST(MotionFileLayout, LargestCountsDoNotOverflow) {
  const std::int32_t big = std::numeric_limits<std::int32_t>::max();
  const std::int64_t n = big;
  // 80 * N * F overflows 64 bits; the size saturates instead of wrapping.
  EXPECT_EQ(motionFileSize(big, big), std::numeric_limits<std::int64_t>::max());
  const std::int64_t m = 1 << 20;
  EXPECT_EQ(motionFileSize(big, 1 << 20), 28 + 32 * m + n * (4 + 80 * m));
  EXPECT_EQ(motionFileSize(big, 0), 28 + 4 * n);
  EXPECT_GE(motionFileSize(big, -1), kLargeFileSize);
  EXPECT_EQ(frameOffset(1000, big - 1), 28 + 32 * 1000 + (n - 1) * (4 + 80 * 1000));
  // Negative object counts put frames before the start of the file.
  EXPECT_LT(frameOffset(-1, 0), 0);
  EXPECT_LT(frameOffset(-1, big - 1), 0);
  EXPECT_LT(frameOffset(std::numeric_limits<std::int32_t>::min(), big - 1), 0);
}

TEST(MotionFileEncoding, IntegersAreLittleEndianTwosComplement) {
  unsigned char bytes[4];
  encodeInt32(-2, bytes);
  EXPECT_EQ(bytes[0], 0xFE);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(bytes[2], 0xFF);
  EXPECT_EQ(bytes[3], 0xFF);
  encodeInt32(0x01020304, bytes);
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(bytes[3], 0x01);
  EXPECT_EQ(decodeInt32(bytes), 0x01020304);
  const unsigned char min[4] = {0, 0, 0, 0x80};
  EXPECT_EQ(decodeInt32(min), std::numeric_limits<std::int32_t>::min());
}

TEST(MotionFileEncoding, FloatsTravelAsBitPatterns) {
  const std::uint32_t patterns[] = {
      0x3FC00000u,  // 1.5
      0x80000000u,  // negative zero
      0x7F800000u,  // +infinity
      0xFF800001u,  // signalling NaN with sign and payload
      0x7FC12345u,  // quiet NaN with payload
      0x00000001u,  // smallest subnormal
      0x7F7FFFFFu,  // largest finite
  };
  for (std::uint32_t bits : patterns) {
    unsigned char bytes[4];
    encodeUint32(bits, bytes);
    const float value = decodeFloat32(bytes);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), bits);
    unsigned char again[4];
    encodeFloat32(value, again);
    EXPECT_EQ(std::memcmp(bytes, again, 4), 0) << std::hex << bits;
  }
  const unsigned char oneAndHalf[4] = {0x00, 0x00, 0xC0, 0x3F};
  EXPECT_EQ(decodeFloat32(oneAndHalf), 1.5f);
}

}  // namespace
}  // namespace tolvak
