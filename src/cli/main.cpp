// Process entry point: forms the argument vector and runs the front end.

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/console.h"
#include "cli/dispatch.h"
#include "convert/files.h"

#ifdef _WIN32
#include <windows.h>

// The C runtime's argv is not used on Windows (see below), but its start-up
// still parses the command line; this keeps it from matching wildcards
// against the file system while doing so. (_mingw.h maps the name to the
// runtime's _dowildcard.)
extern "C" int _CRT_glob = 0;

namespace {

// Full path of the running executable, for entry 0 of the argument vector.
std::string modulePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "tolvak";
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace
#endif

int main(int argc, char** argv) {
  tolvak::prepareStandardOutput();
  tolvak::prepareFileWriting();

#ifdef _WIN32
  // The arguments come from the raw command line, split by the tool's own
  // rules, so that they are the same whichever C runtime the build uses.
  (void)argc;
  (void)argv;
  const std::string program = modulePath();
  const std::vector<std::string> arguments =
      tolvak::splitCommandLine(GetCommandLineA(), tolvak::isSystemLeadByte);
  std::vector<const char*> vector;
  vector.reserve(arguments.size() + 2);
  vector.push_back(program.c_str());
  for (const std::string& argument : arguments) vector.push_back(argument.c_str());
  vector.push_back(nullptr);
  return tolvak::runTolvak(static_cast<int>(arguments.size() + 1), vector.data());
#else
  return tolvak::runTolvak(argc, argv);
#endif
}
