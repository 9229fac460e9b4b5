#include "cli/command_line.h"

namespace tolvak {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

class Scanner {
 public:
  Scanner(std::string_view line, LeadBytePredicate isLeadByte)
      : line_(line), isLeadByte_(isLeadByte) {}

  bool atEnd() const { return pos_ >= line_.size(); }
  char peek() const { return line_[pos_]; }
  void skip() { ++pos_; }

  void skipBlanks() {
    while (!atEnd() && isBlank(peek())) ++pos_;
  }

  // Length of the character at the current position: 2 for a lead byte
  // with its trail byte, else 1. A lead byte as the very last byte of the
  // line has no partner and stands alone.
  std::size_t characterLength() const {
    const bool lead = isLeadByte_ != nullptr &&
                      isLeadByte_(static_cast<unsigned char>(peek())) &&
                      pos_ + 1 < line_.size();
    return lead ? 2 : 1;
  }

  // Moves over one character and returns its bytes.
  std::string_view take() {
    const std::size_t length = characterLength();
    const std::string_view bytes = line_.substr(pos_, length);
    pos_ += length;
    return bytes;
  }

  bool backslashQuoteAhead() const {
    return peek() == '\\' && pos_ + 1 < line_.size() &&
           line_[pos_ + 1] == '"';
  }

 private:
  std::string_view line_;
  LeadBytePredicate isLeadByte_;
  std::size_t pos_ = 0;
};

// The program's name: up to and including the closing quote when it starts
// with one (no escapes inside), otherwise up to the first blank.
void skipProgramName(Scanner& in) {
  if (in.atEnd()) return;
  if (in.peek() == '"') {
    in.skip();
    while (!in.atEnd() && in.peek() != '"') in.take();
    if (!in.atEnd()) in.skip();
    return;
  }
  while (!in.atEnd() && !isBlank(in.peek())) in.take();
}

// One argument, starting at a non-blank character.
std::string readArgument(Scanner& in) {
  std::string argument;
  bool quoted = false;
  while (!in.atEnd()) {
    if (in.characterLength() == 2) {
      argument += in.take();
    } else if (in.backslashQuoteAhead()) {
      in.skip();
      in.skip();
      argument += '"';
    } else if (in.peek() == '"') {
      quoted = !quoted;
      in.skip();
    } else if (!quoted && isBlank(in.peek())) {
      break;
    } else {
      argument += in.take();
    }
  }
  return argument;
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view commandLine,
                                          LeadBytePredicate isLeadByte) {
  Scanner in(commandLine, isLeadByte);
  in.skipBlanks();
  skipProgramName(in);

  std::vector<std::string> arguments;
  for (in.skipBlanks(); !in.atEnd(); in.skipBlanks()) {
    arguments.push_back(readArgument(in));
  }
  return arguments;
}

}  // namespace tolvak
