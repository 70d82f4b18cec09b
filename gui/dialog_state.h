#pragma once
// The dialog's record and the small helpers every handler uses. The lowest layer
// of the dialog front end: the procedure calls the handlers, and both reach the
// dialog through this header only.
#include <windows.h>

#include <cstdarg>
#include <string>
#include <vector>

/// Posted by the batch worker to wake the dialog for finished files, whose records wait
/// in a queue the two share (wParam: the first one's index).
inline constexpr UINT MSG_FILE_DONE = WM_APP + 1;
/// Posted by the batch worker after the last file.
inline constexpr UINT MSG_BATCH_DONE = WM_APP + 2;
/// Posted by the estimate thread when its figure is ready.
inline constexpr UINT MSG_ESTIMATE_DONE = WM_APP + 3;
/// The one-shot debounce timer of the size preview.
inline constexpr UINT_PTR ESTIMATE_TIMER = 1;

/// Per-dialog record, kept in the window's GWLP_USERDATA.
struct DialogState {
  std::vector<std::wstring> files;  // row i of the list shows files[i]
  bool busy = false;                // a batch runs
};

/// The dialog's window, set first thing in WM_INITDIALOG and never cleared.
extern HWND MainDialogWindow;

/// The record of MainDialogWindow; null before initialisation and after WM_DESTROY.
DialogState* GetDialogState();

/// Text of a dialog control.
std::wstring ControlText(int id, size_t capacity);

/// printf-style wide text (%ls for wide strings) cut to capacity - 1 characters,
/// like a fixed buffer.
std::wstring FormatText(size_t capacity, const wchar_t* format, ...);
std::wstring FormatTextV(size_t capacity, const wchar_t* format, va_list args);

/// UTF-8 text as UTF-16.
std::wstring Widen(const std::string& utf8);

/// The last component of a path: after the last "\" or "/" behind its root.
std::wstring FileNamePart(const std::wstring& path);
