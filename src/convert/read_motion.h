#pragma once

#include <string>

namespace tolvak {

// The "-r" conversion: reads the motion file at `path` and writes its text
// dump to `path` followed by ".tmp". Prints its own messages; returns false
// when it printed a failure message.
bool readMotion(const std::string& path);

}  // namespace tolvak
