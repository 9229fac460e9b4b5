#include "convert/write_motion.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console.h"
#include "convert/files.h"
#include "convert/line_reader.h"
#include "convert/output_buffer.h"
#include "format/dump_rules.h"
#include "format/motion_file.h"
#include "format/number_parse.h"

namespace tolvak {
namespace {

constexpr std::string_view kSourceMissing = "\nERROR: Source file not fount\n";
constexpr std::string_view kCannotWrite = "Error: Can't write to disk";
constexpr std::string_view kDeleteFailure = "\nERROR: Could not delete temporary file ";
constexpr std::string_view kTooShortMessage =
    "\nERROR: Source file is shorter than its counts call for\n";
constexpr std::string_view kReadFailure = "\nERROR: Could not read source file\n";

enum class Outcome { kWritten, kWriteFailed, kTooShort, kReadFailed };

// The names as read, for the name copies of every frame. Each is kept as
// its length and its bytes up to the last nonzero one, so the table never
// takes more room than the lines it came from; names the dump does not
// hold (it ended early) are all zero bytes and are not stored at all.
class NameTable {
 public:
  void add(const unsigned char name[32]) {
    int length = ObjectName::kSize;
    while (length > 0 && name[length - 1] == 0) --length;
    packed_.push_back(static_cast<unsigned char>(length));
    packed_.insert(packed_.end(), name, name + length);
    ++count_;
  }

  // Walks the table from its first name; next() fills 32 bytes.
  class Cursor {
   public:
    explicit Cursor(const NameTable& table) : table_(table) {}
    void next(unsigned char name[32]) {
      int length = 0;
      if (index_ < table_.count_) {
        length = table_.packed_[offset_];
        std::memcpy(name, table_.packed_.data() + offset_ + 1, static_cast<std::size_t>(length));
        offset_ += 1 + static_cast<std::size_t>(length);
        ++index_;
      }
      std::memset(name + length, 0, static_cast<std::size_t>(ObjectName::kSize - length));
    }

   private:
    const NameTable& table_;
    std::size_t offset_ = 0;
    std::int64_t index_ = 0;
  };

 private:
  std::vector<unsigned char> packed_;
  std::int64_t count_ = 0;
};

class DumpConverter {
 public:
  DumpConverter(InputFile& source, ReplacementFile& output) : lines_(source), out_(output) {}

  Outcome run();

 private:
  // Reads the next line; a dump that has run out keeps its last line.
  void readLine() {
    if (!lines_.next()) ended_ = true;
  }
  const char* lineBegin() const { return lines_.line().data(); }
  const char* lineEnd() const { return lines_.line().data() + lines_.line().size(); }

  void writeFloat(float value) {
    unsigned char bytes[4];
    encodeFloat32(value, bytes);
    out_.append(bytes, 4);
  }
  void writeInt(std::int32_t value) {
    unsigned char bytes[4];
    encodeInt32(value, bytes);
    out_.append(bytes, 4);
  }

  // A dump that announces a motion file of 2 GiB or more must really hold
  // it: otherwise gigabytes of repeated values would be written.
  bool refused() const { return large_ && ended_; }

  LineReader lines_;
  OutputBuffer<ReplacementFile> out_;
  bool ended_ = false;
  bool large_ = false;
};

Outcome DumpConverter::run() {
  readLine();
  unsigned char tag[MotionHeader::kTagSize];
  tagFromLine(lines_.line(), tag);
  out_.append(tag, sizeof tag);
  for (int i = 0; i < 3; ++i) readLine();

  // Every number line parses into a slot that keeps its value when a parse
  // fails; a slot never parsed holds 0.
  float frameSlot = 0.0f;  // shared by the total move values and frame values
  for (int t = 0; t < MotionHeader::kTotalMoveCount; ++t) {
    readLine();
    parseFloat(lineBegin(), lineEnd(), frameSlot);
    writeFloat(frameSlot);
  }
  std::int32_t frameCount = 0;
  std::int32_t objectCount = 0;
  readLine();
  readLine();
  parseCount(lineBegin(), lineEnd(), frameCount);
  writeInt(frameCount);
  readLine();
  readLine();
  parseCount(lineBegin(), lineEnd(), objectCount);
  writeInt(objectCount);
  readLine();

  large_ = motionFileSize(frameCount, objectCount) >= kLargeFileSize;
  if (refused()) return Outcome::kTooShort;

  NameTable names;
  for (std::int32_t j = 0; j < objectCount; ++j) {
    lines_.clearLine();
    readLine();
    if (refused()) return Outcome::kTooShort;
    unsigned char name[ObjectName::kSize];
    nameFromLine(lines_.line(), name);
    out_.append(name, sizeof name);
    if (!ended_) names.add(name);
    if (out_.failed()) return Outcome::kWriteFailed;
  }
  readLine();

  float poseSlots[ObjectPose::kValueCount] = {};
  for (std::int32_t f = 0; f < frameCount; ++f) {
    readLine();
    readLine();
    if (refused()) return Outcome::kTooShort;
    parseFloat(lineBegin(), lineEnd(), frameSlot);
    writeFloat(frameSlot);
    NameTable::Cursor cursor(names);
    for (std::int32_t j = 0; j < objectCount; ++j) {
      readLine();
      if (refused()) return Outcome::kTooShort;
      const char* p = lineBegin();
      const char* const end = lineEnd();
      for (int k = 0; k < ObjectPose::kValueCount && p != nullptr; ++k) {
        p = parseFloat(p, end, poseSlots[k]);
      }
      unsigned char name[ObjectName::kSize];
      cursor.next(name);
      char* record = out_.reserve(ObjectPose::kSize);
      std::memcpy(record, name, sizeof name);
      for (int k = 0; k < ObjectPose::kValueCount; ++k) {
        encodeFloat32(poseSlots[k], reinterpret_cast<unsigned char*>(record) +
                                        ObjectPose::kValuesOffset + 4 * k);
      }
      out_.advance(record + ObjectPose::kSize);
    }
    if (refused()) return Outcome::kTooShort;
    if (out_.failed()) return Outcome::kWriteFailed;
  }
  if (!out_.flush()) return Outcome::kWriteFailed;
  if (lines_.ioError()) return Outcome::kReadFailed;
  return Outcome::kWritten;
}

}  // namespace

bool writeMotion(const std::string& path) {
  const std::string sourcePath = path + ".tmpw";
  bool succeeded = false;
  {
    InputFile source;
    if (!source.open(sourcePath)) {
      printMessage(kSourceMissing);
    } else {
      ReplacementFile output;
      if (!output.open(path)) {
        printMessage(kCannotWrite);
      } else {
        DumpConverter converter(source, output);
        switch (converter.run()) {
          case Outcome::kWritten:
            succeeded = output.commit();
            if (!succeeded) printMessage(kCannotWrite);
            break;
          case Outcome::kWriteFailed:
            printMessage(kCannotWrite);
            break;
          case Outcome::kTooShort:
            printMessage(kTooShortMessage);
            break;
          case Outcome::kReadFailed:
            printMessage(kReadFailure);
            break;
        }
        // An uncommitted replacement is discarded here; the file at the
        // path stays as it was.
      }
    }
  }
  // The dump is deleted at the end of every run, whatever happened.
  if (!removeFile(sourcePath)) {
    printMessage(std::string(kDeleteFailure) + sourcePath + "\n");
    succeeded = false;
  }
  return succeeded;
}

}  // namespace tolvak
