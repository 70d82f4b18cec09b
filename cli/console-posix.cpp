#include "cli/console.h"

#include <cstdio>

void PrepareConsole() {}

// Each piece is flushed at once, so a report read through a pipe shows every
// image as soon as it is done.
void WriteOut(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

void WriteErr(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

bool ConsoleServesOnlyUs() { return false; }

void WaitForKey() {}
