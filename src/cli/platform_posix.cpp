#include "cli/command_line.h"

namespace tolvak {

// POSIX systems hand over the argument vector ready-made and have no ANSI
// code page; no byte starts a double-byte character here.
bool isSystemLeadByte(unsigned char) { return false; }

}  // namespace tolvak
