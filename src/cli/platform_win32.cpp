#include <windows.h>

#include "cli/command_line.h"

namespace tolvak {

bool isSystemLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

}  // namespace tolvak
