#include "convert/read_motion.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "cli/console.h"
#include "convert/files.h"
#include "convert/motion_reader.h"
#include "convert/output_buffer.h"
#include "format/dump_rules.h"
#include "format/motion_file.h"
#include "format/number_format.h"

namespace tolvak {
namespace {

constexpr std::string_view kOpenFailure =
    "\nERROR: Unable to open your .jqm\nMake sure \"-r\" is followed by a valid [path]\\filename\n";
constexpr std::string_view kDumpOpenFailure = "Unable to open temporary file for writing";
constexpr std::string_view kDumpWriteFailure = "\nERROR: Could not write temporary file\n";
constexpr std::string_view kTooShort =
    "\nERROR: Your .jqm is shorter than its counts call for\n";
constexpr std::string_view kReadFailure = "\nERROR: Could not read your .jqm\n";

// The header fields as the reader gets them. A field the file does not hold
// in full keeps the bytes it got over zero (or, for the second and third
// total move values, over the value before it).
struct Header {
  unsigned char tag[8] = {};
  int tagLength = 0;
  std::uint32_t totalMove[3] = {};
  std::int32_t frameCount = 0;
  std::int32_t objectCount = 0;
};

Header readHeader(MotionReader& reader) {
  Header header;
  header.tagLength = reader.readTag(header.tag);
  std::uint32_t holder = 0;
  for (int t = 0; t < MotionHeader::kTotalMoveCount; ++t) {
    reader.seek(MotionHeader::kTotalMoveOffset + 4 * t);
    reader.readValue(holder);
    header.totalMove[t] = holder;
  }
  std::uint32_t count = 0;
  reader.seek(MotionHeader::kFrameCountOffset);
  reader.readValue(count);
  header.frameCount = static_cast<std::int32_t>(count);
  count = 0;
  reader.seek(MotionHeader::kObjectCountOffset);
  reader.readValue(count);
  header.objectCount = static_cast<std::int32_t>(count);
  return header;
}

using DumpBuffer = OutputBuffer<OutputFile>;

// Bytes up to the first NUL: what the tag line and the name lines show.
std::string_view textUpToNul(const unsigned char* bytes, int length) {
  const void* nul = std::memchr(bytes, 0, static_cast<std::size_t>(length));
  const auto shown = nul ? static_cast<const unsigned char*>(nul) - bytes : length;
  return {reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(shown)};
}

void writeLine(DumpBuffer& out, std::string_view text) {
  out.append(text);
  out.append(kLineEnd);
}

void writeEightDecimalLine(DumpBuffer& out, std::uint32_t bits) {
  char* p = out.reserve(kMaxNumberText + 3);
  *p++ = '\t';
  p = formatEightDecimal(std::bit_cast<float>(bits), p);
  std::memcpy(p, kLineEnd.data(), kLineEnd.size());
  out.advance(p + kLineEnd.size());
}

void writeCountLines(DumpBuffer& out, std::string_view label, std::int32_t count) {
  writeLine(out, label);
  char* p = out.reserve(kMaxNumberText + 3);
  *p++ = '\t';
  p = formatCount(count, p);
  std::memcpy(p, kLineEnd.data(), kLineEnd.size());
  out.advance(p + kLineEnd.size());
}

void writeHeaderLines(DumpBuffer& out, const Header& header) {
  writeLine(out, textUpToNul(header.tag, header.tagLength));
  writeLine(out, "");
  writeLine(out, "");
  writeLine(out, kTotalMoveLabel);
  for (std::uint32_t value : header.totalMove) writeEightDecimalLine(out, value);
  writeCountLines(out, kFramesCountLabel, header.frameCount);
  writeCountLines(out, kObjectsCountLabel, header.objectCount);
  writeLine(out, kObjectsListLabel);
}

void writeNameLines(DumpBuffer& out, MotionReader& reader, std::int32_t objectCount) {
  for (std::int32_t i = 0; i < objectCount && !out.failed(); ++i) {
    reader.seek(nameOffset(i));
    unsigned char name[31];
    const int length = reader.readName(name);
    out.append("\t");
    writeLine(out, textUpToNul(name, length));
  }
  writeLine(out, "");  // closes the object list
}

// One frame section: an empty line, the frame value, one pose line per
// object. The value holder is zeroed before the frame value only, so a value
// the file does not hold repeats the last one that received bytes.
void writeFrame(DumpBuffer& out, MotionReader& reader, std::int32_t objectCount,
                std::int64_t frame) {
  std::uint32_t holder = 0;
  reader.seek(frameOffset(objectCount, frame));
  reader.readValue(holder);
  char* p = out.reserve(2 * kLineEnd.size() + kMaxNumberText);
  std::memcpy(p, kLineEnd.data(), kLineEnd.size());
  p = formatThreeDecimal(std::bit_cast<float>(holder), p + kLineEnd.size());
  std::memcpy(p, kLineEnd.data(), kLineEnd.size());
  out.advance(p + kLineEnd.size());

  for (std::int32_t j = 0; j < objectCount; ++j) {
    const std::int64_t values = poseValueOffset(objectCount, frame, j, 0);
    p = out.reserve(ObjectPose::kValueCount * (kMaxNumberText + 1) + kLineEnd.size());
    for (int k = 0; k < ObjectPose::kValueCount; ++k) {
      reader.seek(values + 4 * k);
      reader.readValue(holder);
      *p++ = '\t';
      p = formatEightDecimal(std::bit_cast<float>(holder), p);
    }
    std::memcpy(p, kLineEnd.data(), kLineEnd.size());
    out.advance(p + kLineEnd.size());
  }
}

}  // namespace

bool readMotion(const std::string& path) {
  InputFile motion;
  if (!motion.open(path)) {
    printMessage(kOpenFailure);
    return false;
  }
  MotionReader reader(motion);
  const Header header = readHeader(reader);

  // Counts may call for far more data than the file holds; a file of 2 GiB
  // or more is only converted when it is really there, so a damaged header
  // cannot make the dump grow to gigabytes of filler.
  const std::int64_t announced = motionFileSize(header.frameCount, header.objectCount);
  if (announced >= kLargeFileSize && motion.size() < static_cast<std::uint64_t>(announced)) {
    printMessage(kTooShort);
    return false;
  }

  const std::string dumpPath = path + ".tmp";
  OutputFile dumpFile;
  if (!dumpFile.open(dumpPath)) {
    printMessage(kDumpOpenFailure);
    return false;
  }
  DumpBuffer out(dumpFile);
  writeHeaderLines(out, header);
  writeNameLines(out, reader, header.objectCount);
  for (std::int64_t f = 0; f < header.frameCount && !out.failed(); ++f) {
    writeFrame(out, reader, header.objectCount, f);
  }
  const bool written = out.flush() && dumpFile.close();
  if (!written || reader.ioError()) {
    // Leave no dump that a caller could take for a whole one.
    removeFile(dumpPath);
    printMessage(written ? kReadFailure : kDumpWriteFailure);
    return false;
  }
  return true;
}

}  // namespace tolvak
