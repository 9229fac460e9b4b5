#pragma once

#include <string>

namespace tolvak {

// The "-w" conversion: reads the text dump at `path` followed by ".tmpw",
// replaces the motion file at `path` with what it describes, and deletes
// the dump. Prints its own messages; returns false when it printed a
// failure message.
bool writeMotion(const std::string& path);

}  // namespace tolvak
