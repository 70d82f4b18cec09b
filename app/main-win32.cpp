// Quillmar.exe: with arguments (including files dropped on the icon) the
// command-line batch, without them the dialog.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/app_instance.h"
#include "cli/command_line_split.h"
#include "cli/run_command_line.h"
#include "engine/machine.h"
#include "gui/main_dialog.h"
#include "gui/resource.h"

namespace {

// Looked up at run time, so the program still starts where the call is missing.
void TurnOnPerMonitorDpiAwareness() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  auto set = reinterpret_cast<SetContextFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
  if (set) set(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));  // per monitor, v2
}

// An unattended run (files dropped on the icon) must never wait on a box nobody
// sees: no "insert a disk" box when a card reader or DVD drive is probed, no crash
// box, and abort()'s message on standard error instead of a "Runtime Error!" box.
void NeverStopForSystemBoxes() {
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  _set_error_mode(_OUT_TO_STDERR);
}

// A quote inside an argument came from a backslash before a quote ("My Photos\"
// -o out): the line is read again so that it is the folder and its own options.
int RunWithBackslashesKept(const wchar_t* program) {
  const std::vector<std::wstring> read = SplitArgumentsKeepingBackslashes(GetCommandLineW());
  std::vector<const wchar_t*> args = {program};
  for (const std::wstring& arg : read) args.push_back(arg.c_str());
  return RunCommandLine(static_cast<int>(args.size()), args.data());
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  AppInstance = instance;
  NeverStopForSystemBoxes();
  ReturnLargeBlocksToTheSystem();
  TurnOnPerMonitorDpiAwareness();
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (count > 1) {
    int code = HoldsQuote(count, args) ? RunWithBackslashesKept(args[0])
                                       : RunCommandLine(count, args);
    LocalFree(args);
    return code;
  }
  if (args) LocalFree(args);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the shell's pickers live here
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                        ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);  // on Windows the template's list, slider and bar need it
  INT_PTR result = DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                   MainDialogProc, 0);
  CoUninitialize();
  return static_cast<int>(result);
}
