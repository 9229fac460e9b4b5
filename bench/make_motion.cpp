// make_motion: writes a well-formed motion file of any size for benchmarks
// and round-trip checks.
//
//   make_motion OUT --objects N --frames F [--seed S] [--values KIND]
//
// This program deliberately shares no code with the tool: it encodes the
// layout on its own, so a file it writes is an independent check of how the
// tool reads and writes that layout.
//
// Layout (little-endian, packed, no padding anywhere):
//   header, 28 bytes: 8-byte file tag, three float32 total move values,
//                     int32 frame count F, int32 object count N
//   name table:       N names of 32 bytes, NUL-padded
//   F frame blocks:   float32 frame value, then N poses of
//                     (32-byte copy of the object's name, 12 float32 values)
// so the file is exactly 28 + 32*N + F*(4 + 80*N) bytes.
//
// Value kinds:
//   realistic    smooth curves within +-180 (rotations, positions) and
//                scale-like channels near 1; frame value = frame index / 30
//   dyadic       multiples of 1/256 below 1000 in magnitude, frame values
//                multiples of 1/8: every value survives the dump's 8-decimal
//                (and 3-decimal) text exactly, so -r then -w must give back
//                the same bytes
//   random-bits  arbitrary 32-bit patterns, with NaNs (signalling, quiet,
//                with payloads), infinities, subnormals, -0 and the extremes
//                mixed in often
//
// Every value is a pure function of (seed, position in the file), computed
// with integer hashing and basic IEEE double arithmetic only (no libm), so
// the same arguments give the same bytes on every platform. Memory use is
// one fixed output buffer and a small name cache, whatever N and F are; the
// size is tracked in 64 bits, so files above 2 GiB and 4 GiB are fine.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char kFileTag[8] = {'T', 'O', 'L', 'V', 'A', 'K', '0', '1'};
constexpr int kNameSize = 32;
constexpr int kPoseValues = 12;
constexpr std::size_t kBufferSize = std::size_t{4} << 20;  // 4 MiB
constexpr std::int64_t kNameCacheLimit = 4096;             // 128 KiB of names

enum class ValueKind { realistic, dyadic, randomBits };

// ---------------------------------------------------------------------------
// Deterministic hashing: the splitmix64 finaliser, chained over the inputs.

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t hash(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0,
                   std::uint64_t c = 0, std::uint64_t d = 0) {
  std::uint64_t h = mix(seed);
  h = mix(h ^ a);
  h = mix(h ^ b);
  h = mix(h ^ c);
  return mix(h ^ d);
}

// Uniform in [-1, 1), from the top 24 bits: exact in a double.
double unitSigned(std::uint64_t h) {
  return static_cast<double>(static_cast<std::int64_t>(h >> 40) - (std::int64_t{1} << 23)) /
         static_cast<double>(std::int64_t{1} << 23);
}

// Uniform in [0, 1).
double unit(std::uint64_t h) {
  return static_cast<double>(h >> 40) / static_cast<double>(std::int64_t{1} << 24);
}

float floatFromBits(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::uint32_t bitsFromFloat(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

// Salts that keep the different uses of the hash apart.
enum Salt : std::uint64_t {
  saltTotalMove = 1,
  saltFrameValue,
  saltPose,
  saltCentre,
  saltAmplitude,
  saltSpeed,
  saltKnot,
};

// ---------------------------------------------------------------------------
// Values.

class ValueSource {
 public:
  ValueSource(ValueKind kind, std::uint64_t seed) : kind_(kind), seed_(seed) {}

  float totalMove(int t) const {
    std::uint64_t h = hash(seed_, saltTotalMove, static_cast<std::uint64_t>(t));
    switch (kind_) {
      case ValueKind::realistic:
        return static_cast<float>(180.0 * unitSigned(h));
      case ValueKind::dyadic:
        return dyadic(h);
      case ValueKind::randomBits:
        return randomBits(h);
    }
    return 0.0f;
  }

  float frameValue(std::int64_t frame) const {
    switch (kind_) {
      case ValueKind::realistic:
        // A time stamp in seconds at 30 frames per second.
        return static_cast<float>(static_cast<double>(frame) / 30.0);
      case ValueKind::dyadic:
        // Multiples of 1/8 have at most three decimals, which is all the
        // frame value line keeps; below 2^17 they are exact in a float.
        return static_cast<float>(static_cast<double>(frame % (std::int64_t{1} << 20)) / 8.0);
      case ValueKind::randomBits:
        return randomBits(hash(seed_, saltFrameValue, static_cast<std::uint64_t>(frame)));
    }
    return 0.0f;
  }

  float pose(std::int64_t frame, std::int64_t object, int k) const {
    switch (kind_) {
      case ValueKind::realistic:
        return smoothPose(frame, object, k);
      case ValueKind::dyadic:
        return dyadic(hash(seed_, saltPose, static_cast<std::uint64_t>(frame),
                           static_cast<std::uint64_t>(object), static_cast<std::uint64_t>(k)));
      case ValueKind::randomBits:
        return randomBits(hash(seed_, saltPose, static_cast<std::uint64_t>(frame),
                               static_cast<std::uint64_t>(object), static_cast<std::uint64_t>(k)));
    }
    return 0.0f;
  }

 private:
  // m / 256 with |m| <= 255999: |value| < 1000, exact in a float, and at most
  // eight decimals. A zero takes a random sign, so -0 shows up too.
  static float dyadic(std::uint64_t h) {
    std::int64_t m = static_cast<std::int64_t>((h >> 16) % 511999) - 255999;
    if (m == 0 && (h & 1)) return -0.0f;
    return static_cast<float>(static_cast<double>(m) / 256.0);
  }

  // A raw bit pattern, or now and then one of the values that formatting and
  // parsing code tends to get wrong.
  static float randomBits(std::uint64_t h) {
    static constexpr std::uint32_t kSpecial[] = {
        0x7F800000u,  // +inf
        0xFF800000u,  // -inf
        0x7FC00000u,  // quiet NaN
        0xFFC00000u,  // quiet NaN, sign set
        0x7F800001u,  // signalling NaN
        0x7FABCDEFu,  // NaN with a payload
        0x00000001u,  // smallest subnormal
        0x807FFFFFu,  // largest subnormal, negative
        0x00800000u,  // smallest normal
        0x7F7FFFFFu,  // largest finite
        0xFF7FFFFFu,  // largest finite, negative
        0x80000000u,  // -0
        0x00000000u,  // +0
        0x3F800000u,  // 1
    };
    constexpr std::uint64_t kCount = sizeof kSpecial / sizeof kSpecial[0];
    if ((h >> 58) == 0) {  // 1 in 64
      return floatFromBits(kSpecial[(h >> 32) % kCount]);
    }
    return floatFromBits(static_cast<std::uint32_t>(h));
  }

  // Value noise: random knots every kKnotSpacing frames (the spacing varies
  // per channel), joined by smoothstep curves, around a per-channel centre.
  float smoothPose(std::int64_t frame, std::int64_t object, int k) const {
    const auto obj = static_cast<std::uint64_t>(object);
    const auto ch = static_cast<std::uint64_t>(k);
    double centre;
    double amplitude;
    if (k >= 6 && k <= 8) {
      // Scale-like channels: close to 1.
      centre = 1.0;
      amplitude = 0.05 * unit(hash(seed_, saltAmplitude, obj, ch));
    } else {
      // Rotations and positions: centre + amplitude stays within +-180.
      centre = 90.0 * unitSigned(hash(seed_, saltCentre, obj, ch));
      amplitude = 90.0 * unit(hash(seed_, saltAmplitude, obj, ch));
    }
    const std::int64_t spacing = 8 + static_cast<std::int64_t>(hash(seed_, saltSpeed, obj, ch) % 57);
    const std::int64_t knot = frame / spacing;
    const double t = static_cast<double>(frame % spacing) / static_cast<double>(spacing);
    const double s = t * t * (3.0 - 2.0 * t);
    const double a = unitSigned(hash(seed_, saltKnot, obj, ch, static_cast<std::uint64_t>(knot)));
    const double b = unitSigned(hash(seed_, saltKnot, obj, ch, static_cast<std::uint64_t>(knot + 1)));
    return static_cast<float>(centre + amplitude * (a + (b - a) * s));
  }

  ValueKind kind_;
  std::uint64_t seed_;
};

// ---------------------------------------------------------------------------
// Names: a short skeleton first, then object_<index>. All are at most 31
// bytes, the longest name the text dump carries, and none holds a byte the
// dump cannot carry (LF, CR, 0x1A).

void objectName(std::int64_t index, char out[kNameSize]) {
  static constexpr const char* kSkeleton[] = {
      "hips",       "spine",       "chest",       "neck",         "head",
      "l_shoulder", "l_upper_arm", "l_forearm",   "l_hand",       "r_shoulder",
      "r_upper_arm", "r_forearm",  "r_hand",      "l_thigh",      "l_shin",
      "l_foot",     "l_toe",       "r_thigh",     "r_shin",       "r_foot",
      "r_toe",      "camera",
  };
  constexpr std::int64_t kCount = sizeof kSkeleton / sizeof kSkeleton[0];
  std::memset(out, 0, kNameSize);
  if (index < kCount) {
    std::memcpy(out, kSkeleton[index], std::strlen(kSkeleton[index]));
  } else {
    std::snprintf(out, kNameSize, "object_%" PRId64, index);
  }
}

// ---------------------------------------------------------------------------
// Buffered output with explicit little-endian encoding of each field.

class Writer {
 public:
  explicit Writer(std::FILE* file) : file_(file), buffer_(kBufferSize) {}

  void bytes(const char* data, std::size_t size) {
    if (size > buffer_.size() - used_) flush();
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
  }

  void u32(std::uint32_t v) {
    if (buffer_.size() - used_ < 4) flush();
    unsigned char* p = buffer_.data() + used_;
    p[0] = static_cast<unsigned char>(v & 0xFFu);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFFu);
    p[2] = static_cast<unsigned char>((v >> 16) & 0xFFu);
    p[3] = static_cast<unsigned char>((v >> 24) & 0xFFu);
    used_ += 4;
  }

  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void f32(float v) { u32(bitsFromFloat(v)); }

  // Returns false when any write failed.
  bool flush() {
    if (used_ > 0) {
      if (std::fwrite(buffer_.data(), 1, used_, file_) != used_) failed_ = true;
      total_ += static_cast<std::int64_t>(used_);
      used_ = 0;
    }
    return !failed_;
  }

  std::int64_t total() const { return total_ + static_cast<std::int64_t>(used_); }

 private:
  std::FILE* file_;
  std::vector<unsigned char> buffer_;
  std::size_t used_ = 0;
  std::int64_t total_ = 0;
  bool failed_ = false;
};

// ---------------------------------------------------------------------------
// Command line.

void usage(std::FILE* to) {
  std::fputs(
      "usage: make_motion OUT --objects N --frames F [--seed S] [--values KIND]\n"
      "  N, F   0 to 2147483647\n"
      "  S      unsigned 64-bit seed (default 1)\n"
      "  KIND   realistic (default), dyadic or random-bits\n"
      "Writes a motion file of 28 + 32*N + F*(4 + 80*N) bytes to OUT.\n",
      to);
}

bool parseUnsigned(const char* text, std::uint64_t max, std::uint64_t& out) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* outPath = nullptr;
  std::uint64_t objects = 0;
  std::uint64_t frames = 0;
  std::uint64_t seed = 1;
  bool haveObjects = false;
  bool haveFrames = false;
  ValueKind kind = ValueKind::realistic;
  constexpr std::uint64_t kCountMax = 2147483647u;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "make_motion: %s needs a value\n", argv[i]);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg == "--objects" || arg == "--frames") {
      const bool isObjects = arg == "--objects";
      const char* v = value();
      if (!parseUnsigned(v, kCountMax, isObjects ? objects : frames)) {
        std::fprintf(stderr, "make_motion: bad %s count '%s'\n", isObjects ? "object" : "frame", v);
        return 2;
      }
      (isObjects ? haveObjects : haveFrames) = true;
    } else if (arg == "--seed") {
      const char* v = value();
      if (!parseUnsigned(v, UINT64_MAX, seed)) {
        std::fprintf(stderr, "make_motion: bad seed '%s'\n", v);
        return 2;
      }
    } else if (arg == "--values") {
      std::string_view v = value();
      if (v == "realistic") {
        kind = ValueKind::realistic;
      } else if (v == "dyadic") {
        kind = ValueKind::dyadic;
      } else if (v == "random-bits") {
        kind = ValueKind::randomBits;
      } else {
        std::fprintf(stderr, "make_motion: unknown value kind '%s'\n", argv[i]);
        return 2;
      }
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      std::fprintf(stderr, "make_motion: unknown option '%s'\n", argv[i]);
      usage(stderr);
      return 2;
    } else if (outPath == nullptr) {
      outPath = argv[i];
    } else {
      std::fprintf(stderr, "make_motion: more than one output path\n");
      return 2;
    }
  }
  if (outPath == nullptr || !haveObjects || !haveFrames) {
    usage(stderr);
    return 2;
  }

  const auto n = static_cast<std::int64_t>(objects);
  const auto f = static_cast<std::int64_t>(frames);
  // At most about 2^31 * 2^31 * 80: fits in a signed 64-bit size.
  const std::int64_t expected = 28 + 32 * n + f * (4 + 80 * n);

  std::FILE* file = std::fopen(outPath, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "make_motion: cannot create %s: %s\n", outPath, std::strerror(errno));
    return 1;
  }
  // Our own buffer does the batching; stdio's would only add a copy.
  std::setvbuf(file, nullptr, _IONBF, 0);

  const ValueSource values(kind, seed);
  Writer out(file);

  // Header.
  out.bytes(kFileTag, sizeof kFileTag);
  for (int t = 0; t < 3; ++t) out.f32(values.totalMove(t));
  out.i32(static_cast<std::int32_t>(f));
  out.i32(static_cast<std::int32_t>(n));

  // Name table; the first names are kept for the name copies in the frames.
  const std::int64_t cached = n < kNameCacheLimit ? n : kNameCacheLimit;
  std::vector<char> nameCache(static_cast<std::size_t>(cached) * kNameSize);
  char name[kNameSize];
  for (std::int64_t j = 0; j < n; ++j) {
    objectName(j, name);
    out.bytes(name, kNameSize);
    if (j < cached) std::memcpy(&nameCache[static_cast<std::size_t>(j) * kNameSize], name, kNameSize);
  }

  // Frame blocks.
  for (std::int64_t fr = 0; fr < f; ++fr) {
    out.f32(values.frameValue(fr));
    for (std::int64_t j = 0; j < n; ++j) {
      if (j < cached) {
        out.bytes(&nameCache[static_cast<std::size_t>(j) * kNameSize], kNameSize);
      } else {
        objectName(j, name);
        out.bytes(name, kNameSize);
      }
      for (int k = 0; k < kPoseValues; ++k) out.f32(values.pose(fr, j, k));
    }
  }

  bool ok = out.flush();
  if (std::fclose(file) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "make_motion: writing %s failed (disk full?)\n", outPath);
    std::remove(outPath);
    return 1;
  }
  if (out.total() != expected) {
    std::fprintf(stderr, "make_motion: internal error: wrote %" PRId64 " bytes, layout says %" PRId64 "\n",
                 out.total(), expected);
    return 1;
  }
  std::printf("%s: %" PRId64 " objects, %" PRId64 " frames, %" PRId64 " bytes\n", outPath, n, f, expected);
  return 0;
}
