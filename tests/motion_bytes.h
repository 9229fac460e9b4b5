// Building motion files byte by byte for tests, independently of the
// tool's own encoders: every field is spelled out little-endian here.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvak::test {

inline std::string le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

inline std::string f32(float value) { return le32(std::bit_cast<std::uint32_t>(value)); }

inline std::string i32(std::int32_t value) { return le32(static_cast<std::uint32_t>(value)); }

// A name field: the bytes, then zero bytes up to 32 (cut at 32).
inline std::string name32(const std::string& name) {
  std::string field = name.substr(0, 32);
  field.resize(32, '\0');
  return field;
}

// A well-formed motion file: tag (8 bytes, zero-padded), total move,
// names, and for every frame its value and each object's twelve values.
struct MotionContent {
  std::string tag;
  float totalMove[3] = {0, 0, 0};
  std::vector<std::string> names;
  std::vector<float> frameValues;
  // poses[f][j][k]: pose value k of object j in frame f.
  std::vector<std::vector<std::vector<float>>> poses;
};

inline std::string motionFileBytes(const MotionContent& m) {
  std::string bytes = name32(m.tag).substr(0, 8);
  for (float v : m.totalMove) bytes += f32(v);
  bytes += i32(static_cast<std::int32_t>(m.frameValues.size()));
  bytes += i32(static_cast<std::int32_t>(m.names.size()));
  for (const std::string& n : m.names) bytes += name32(n);
  for (std::size_t f = 0; f < m.frameValues.size(); ++f) {
    bytes += f32(m.frameValues[f]);
    for (std::size_t j = 0; j < m.names.size(); ++j) {
      bytes += name32(m.names[j]);
      for (int k = 0; k < 12; ++k) bytes += f32(m.poses[f][j][k]);
    }
  }
  return bytes;
}

}  // namespace tolvak::test
