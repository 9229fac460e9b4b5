// Layout of the binary motion file.
//
// A motion file is a 28-byte MotionHeader, a name table of N ObjectName
// entries (32 bytes each) and F FrameBlocks. A FrameBlock is one float32
// frame value followed by N ObjectPose records; an ObjectPose is a 32-byte
// copy of the object's name and twelve float32 pose values. Everything is
// packed and little-endian; int32 is two's complement, float32 is IEEE 754
// binary32. N and F are the header's object and frame counts.
//
// The records are described by offsets and sizes only: fields are always
// encoded and decoded one at a time, never by copying a struct, so neither
// the host's byte order nor its padding rules can leak into a file.
#pragma once

#include <cstdint>

namespace tolvak {

// MotionHeader: file tag, three total move values, frame count, object count.
namespace MotionHeader {
inline constexpr int kSize = 28;
inline constexpr int kTagOffset = 0;
inline constexpr int kTagSize = 8;
inline constexpr int kTotalMoveOffset = 8;  // three float32, 4 bytes apart
inline constexpr int kTotalMoveCount = 3;
inline constexpr int kFrameCountOffset = 20;
inline constexpr int kObjectCountOffset = 24;
}  // namespace MotionHeader

// ObjectName: a name of at most 32 bytes, NUL-padded to 32.
namespace ObjectName {
inline constexpr int kSize = 32;
}

// ObjectPose: name copy, then twelve float32 pose values.
namespace ObjectPose {
inline constexpr int kSize = 80;
inline constexpr int kNameCopyOffset = 0;
inline constexpr int kValuesOffset = 32;
inline constexpr int kValueCount = 12;
}  // namespace ObjectPose

// FrameBlock: float32 frame value, then one ObjectPose per object.
namespace FrameBlock {
inline constexpr int kFrameValueSize = 4;
inline constexpr int kPosesOffset = 4;
}  // namespace FrameBlock

// Files of this size or more cannot be addressed by 32-bit signed offsets;
// counts that call for such a file are only honoured when the data is there.
inline constexpr std::int64_t kLargeFileSize = std::int64_t{1} << 31;

// All offsets below are 64-bit so that counts up to 2^31 - 1 cannot overflow.
// A negative count yields offsets before the start of the file; callers treat
// such positions as unreadable.

// Size of one FrameBlock: 4 + 80 * N.
std::int64_t frameBlockSize(std::int32_t objectCount);

// Offset of name-table entry i: 28 + 32 * i.
std::int64_t nameOffset(std::int64_t objectIndex);

// Offset of frame f's FrameBlock: 28 + 32 * N + f * (4 + 80 * N); -1 (before
// the start of the file) for a negative object count. For f below the frame
// count of a file that holds its frames, this cannot overflow.
std::int64_t frameOffset(std::int32_t objectCount, std::int64_t frameIndex);

// Offset of pose value k of object j in frame f.
std::int64_t poseValueOffset(std::int32_t objectCount, std::int64_t frameIndex,
                             std::int64_t objectIndex, int valueIndex);

// Size a file with these counts has: 28 + 32 * N + F * (4 + 80 * N), with a
// negative count taken as zero (it runs its loops no times). Saturates at the
// largest int64 for counts whose product does not fit.
std::int64_t motionFileSize(std::int32_t frameCount, std::int32_t objectCount);

// Little-endian field encodings. Floats travel as bit patterns, so NaN
// payloads and negative zero pass unchanged.
std::uint32_t decodeUint32(const unsigned char* bytes);
void encodeUint32(std::uint32_t value, unsigned char* bytes);
std::int32_t decodeInt32(const unsigned char* bytes);
void encodeInt32(std::int32_t value, unsigned char* bytes);
float decodeFloat32(const unsigned char* bytes);
void encodeFloat32(float value, unsigned char* bytes);

}  // namespace tolvak
