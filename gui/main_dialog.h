#pragma once
// The main dialog's procedure: it dispatches each message to its handler.
#include <windows.h>

#include <string>

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/// Pictures folder + "Quillmar输出", else the executable's folder + "compressed".
std::wstring DefaultOutputFolder();
