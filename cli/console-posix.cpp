#include "cli/console.h"

#include <csignal>
#include <cstdio>

#include "cli/texts.h"

// A reader that goes away early (quillmar photos | head) must not end the batch.
// With SIGPIPE ignored a write to the closed pipe just fails and its text is lost.
// Nor must one output larger than the file-size limit (ulimit -f): with SIGXFSZ
// ignored its write fails with EFBIG, that file fails and the next one is tried.
void PrepareConsole() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

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

std::string_view HelpText() { return kHelpTextLinux; }
