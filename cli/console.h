#pragma once
// The console around a command-line run. On Windows the program has only the
// streams its starter handed over; on Linux a terminal always belongs to the
// shell as well, so the closing prompt never applies there.
#include <string_view>

/// Windows: UTF-8 code pages both ways, and binary standard streams so "\n" stays
/// one byte. Linux: a closed pipe on standard output must not end the run.
void PrepareConsole();

/// The help text of this platform's program (kHelpText or kHelpTextLinux).
std::string_view HelpText();

/// Writes bytes as they are, at once; output to a missing or closed stream is
/// silently lost.
void WriteOut(std::string_view bytes);
void WriteErr(std::string_view bytes);

/// True when the console serves this process alone or there is none at all.
bool ConsoleServesOnlyUs();

/// Waits for one key press (no echo, no Enter) when standard input is a console.
void WaitForKey();
