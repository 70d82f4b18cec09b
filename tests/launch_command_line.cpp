/* Starts the program named by QUILLMAR_EXE with the command line in
   QUILLMAR_COMMAND_LINE, byte for byte as cmd, PowerShell or Explorer hand one
   to CreateProcessW (Wine's own start-up re-quotes arguments), and ends with
   its exit code. */
#include <windows.h>

int wmain(void) {
  static wchar_t exe[32768], line[32768];
  if (!GetEnvironmentVariableW(L"QUILLMAR_EXE", exe, 32768) ||
      !GetEnvironmentVariableW(L"QUILLMAR_COMMAND_LINE", line, 32768))
    return 99;
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(exe, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process)) return 98;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<int>(code);
}
