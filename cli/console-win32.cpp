#include "cli/console.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "cli/texts.h"

void PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

// Each piece is flushed at once, so a report read through a pipe shows every
// image as soon as it is done.
void WriteOut(std::string_view bytes) {
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  fflush(stdout);
}

// The C runtime buffers a redirected standard error fully: unflushed, an error
// line would follow the help text written after it (2>&1 into one file).
void WriteErr(std::string_view bytes) {
  fwrite(bytes.data(), 1, bytes.size(), stderr);
  fflush(stderr);
}

bool ConsoleServesOnlyUs() {
  DWORD processes[8];
  return GetConsoleProcessList(processes, 8) <= 1;
}

void WaitForKey() {
  fflush(stdout);
  DWORD mode = 0;
  // Without a console input (redirected, or none at all) there is nothing to wait for.
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) _getch();
}

std::string_view HelpText() { return kHelpText; }
