#pragma once
// The dialog's private messages and its timer: how the worker threads and the
// timer reach the dialog procedure.
#include <windows.h>

/// Posted by the batch worker to wake the dialog for finished files, whose records wait
/// in a queue the two share (wParam: the first one's index).
inline constexpr UINT MSG_FILE_DONE = WM_APP + 1;
/// Posted by the batch worker after the last file.
inline constexpr UINT MSG_BATCH_DONE = WM_APP + 2;
/// Posted by the estimate thread with its result (lParam EstimateJob*, whose
/// ownership passes to the dialog).
inline constexpr UINT MSG_ESTIMATE_DONE = WM_APP + 3;
/// The one-shot debounce timer of the size preview.
inline constexpr UINT_PTR ESTIMATE_TIMER = 1;
