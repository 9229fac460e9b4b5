// The front end: usage text, flag comparison, one converter per run.
#pragma once

namespace tolvak {

enum ExitStatus : int {
  kExitSuccess = 0,  // "-r" or "-w" ran and reported no failure
  kExitFailure = 1,  // the conversion printed a failure message
  kExitUsage = 2,    // usage text, or a flag that is neither "-r" nor "-w"
};

// Runs the tool on an argument vector whose entry 0 is the program, entry 1
// the flag and entry 2 the path; later entries are ignored.
int runTolvak(int argc, const char* const* argv);

}  // namespace tolvak
