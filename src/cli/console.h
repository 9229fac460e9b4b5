// Standard output, the only place the tool writes messages to.
//
// Every "\n" of a message leaves the process as CR LF, on every platform and
// whatever standard output is (console, file or pipe): callers compare the
// bytes, so they must not depend on where the tool runs.
#pragma once

#include <string_view>

namespace tolvak {

// Puts standard output in binary mode (Windows), so that the CR LF written
// by printMessage is not doubled. Call once, before any message.
void prepareStandardOutput();

// Writes one fixed message, "\n" translated to CR LF. Buffered; everything
// reaches the handle no later than the normal end of the process.
void printMessage(std::string_view text);

}  // namespace tolvak
