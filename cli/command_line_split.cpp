#include "cli/command_line_split.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Where the program's name ends: Windows takes it up to the next quote when it
// begins with one, else up to the first blank, with no escapes.
std::size_t EndOfProgramName(const std::wstring& line) {
  if (!line.empty() && line[0] == L'"') {
    const std::size_t close = line.find(L'"', 1);
    return close == std::wstring::npos ? line.size() : close + 1;
  }
  std::size_t i = 0;
  while (i < line.size() && !IsBlank(line[i])) ++i;
  return i;
}

}  // namespace

std::vector<std::wstring> SplitArgumentsKeepingBackslashes(const std::wstring& line) {
  std::vector<std::wstring> args;
  std::size_t i = EndOfProgramName(line);
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::wstring arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      if (line[i] == L'\\') {
        std::size_t run = 0;
        while (i < line.size() && line[i] == L'\\') ++run, ++i;
        // Before a quote, 2n backslashes are n as usual; 2n+1 are n+1, and the
        // quote still opens or closes: never a quote inside a path.
        const bool beforeQuote = i < line.size() && line[i] == L'"';
        arg.append(beforeQuote ? (run + 1) / 2 : run, L'\\');
        continue;
      }
      if (line[i] == L'"')
        quoted = !quoted;
      else
        arg += line[i];
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

bool HoldsQuote(int count, const wchar_t* const* args) {
  for (int i = 1; i < count; ++i)
    for (const wchar_t* c = args[i]; *c; ++c)
      if (*c == L'"') return true;
  return false;
}
