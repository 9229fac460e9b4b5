#include "cli/console.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace tolvak {

void prepareStandardOutput() {
#ifdef _WIN32
  // In text mode the C runtime would turn our CR LF into CR CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

void printMessage(std::string_view text) {
  // Runs of plain bytes go out in one call; each "\n" becomes CR LF.
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    std::fwrite(text.data() + start, 1, i - start, stdout);
    std::fwrite("\r\n", 1, 2, stdout);
    start = i + 1;
  }
  std::fwrite(text.data() + start, 1, text.size() - start, stdout);
}

}  // namespace tolvak
