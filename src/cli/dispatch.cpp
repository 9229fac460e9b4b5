#include "cli/dispatch.h"

#include <string_view>

#include "cli/console.h"
#include "convert/read_motion.h"
#include "convert/write_motion.h"

namespace tolvak {

namespace {

constexpr std::string_view kUsageText =
    "\n"
    "  Usage: tolvak -flag path\n"
    "  Flags: \"-r\" read\n"
    "         \"-w\" write\n";

int statusOf(bool converted) { return converted ? kExitSuccess : kExitFailure; }

}  // namespace

int runTolvak(int argc, const char* const* argv) {
  if (argc < 3) {
    printMessage(kUsageText);
    return kExitUsage;
  }
  const std::string_view flag = argv[1];
  const std::string path = argv[2];

  int status = kExitUsage;
  if (flag == "-r") status = statusOf(readMotion(path));
  if (flag == "-w") status = statusOf(writeMotion(path));
  return status;
}

}  // namespace tolvak
