#pragma once
// The dialog's record. The lowest layer of the dialog front end: the procedure
// calls the handlers, and both reach the dialog's state through this header.
#include <windows.h>

#include <string>
#include <vector>

/// Per-dialog record, kept in the window's GWLP_USERDATA.
struct DialogState {
  std::vector<std::wstring> files;  // row i of the list shows files[i]
  bool busy = false;                // a batch runs
};

/// The dialog's window, set first thing in WM_INITDIALOG and never cleared.
extern HWND MainDialogWindow;

/// The record of MainDialogWindow; null before initialisation and after WM_DESTROY.
DialogState* GetDialogState();
